#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "app/MainViewController.h"
#include "app/RegisterViewController.h"
#include "app/ResetViewController.h"
#include "app/SavedPassword.h"
#include "app/ViewController.h"
#include "app_test_support.h"
#include "database/api/QRVDataSnapshot.h"
#include "database/api/QRVDatabase.h"

namespace {

using apptest::kStaffEmail;

class SignUpTest : public apptest::AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        launch();
        ASSERT_TRUE(driver.waitUntilIdle());
    }

    std::shared_ptr<almavel::RegisterViewController> openSignUp() {
        if (!driver.tap("signUp")) return nullptr;
        return std::dynamic_pointer_cast<almavel::RegisterViewController>(driver.window()->topmostViewController());
    }

    bool fill(const std::map<std::string, std::string>& texts) {
        for (const auto& [field, text] : texts) {
            if (!driver.type(field, text)) return false;
        }
        return true;
    }

    int accountsNamed(const std::string& email) {
        auto reply = backend->get("/__admin/auth/users");
        const auto users = nlohmann::json::parse(reply.body);
        int count = 0;
        for (const auto& user : users.is_array() ? users : users.value("users", nlohmann::json::array())) {
            if (user.value("email", "") == email) ++count;
        }
        return count;
    }

    static std::map<std::string, std::string> form(const std::string& email) {
        return {{"txtNombre", "Ana"},
                {"txtApellido", "Pérez"},
                {"txtCorreo", email},
                {"txtTele", "6612-3344"},
                {"txtPass", "Cajera2024"}};
    }
};

TEST_F(SignUpTest, AnEmptyFieldIsMarkedRedAndNoAccountIsRequested) {
    auto screen = openSignUp();
    ASSERT_NE(screen, nullptr) << driver.lastError() << driver.screenText();
    auto texts = form("nueva@almavel.com.pa");
    texts.erase("txtTele");
    texts["txtApellido"] = "   ";  // blanks count as filled
    ASSERT_TRUE(fill(texts));
    ASSERT_TRUE(driver.tap("Registrar"));
    // Refused at once: no request, no waiting, no alert.
    EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());
    EXPECT_FALSE(screen->activityIndicator->isAnimating());
    EXPECT_EQ(driver.window()->topmostViewController(), screen);
    for (const char* name : {"txtNombre", "txtApellido", "txtCorreo", "txtPass"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(driver.find(name)->layer()->borderWidth(), 0.0);
        EXPECT_EQ(driver.find(name)->layer()->borderColor(), ns::UIColor::grayColor());
    }
    EXPECT_EQ(driver.find("txtTele")->layer()->borderWidth(), 1.0);
    EXPECT_EQ(driver.find("txtTele")->layer()->borderColor(), ns::UIColor::redColor());
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_EQ(accountsNamed("nueva@almavel.com.pa"), 0);
    EXPECT_TRUE(defaults()->objectForKey("logged").isNull());
}

TEST_F(SignUpTest, ACompleteFormMakesOneAccountWritesTheProfileAndShowsTheMainMenu) {
    const std::string email = "ana.perez@almavel.com.pa";
    auto screen = openSignUp();
    ASSERT_NE(screen, nullptr) << driver.lastError();
    ASSERT_TRUE(fill(form(email)));
    ASSERT_TRUE(driver.tap("Registrar"));
    // A second press while the account is being made reaches nothing.
    EXPECT_TRUE(ns::Application::shared()->isIgnoringInteractionEvents());
    EXPECT_TRUE(screen->activityIndicator->isAnimating());
    EXPECT_FALSE(driver.tap("Registrar"));
    ASSERT_TRUE(driver.waitUntilIdle());

    auto nav = std::dynamic_pointer_cast<ns::UINavigationController>(driver.window()->topmostViewController());
    ASSERT_NE(nav, nullptr) << driver.screenText();
    EXPECT_NE(std::dynamic_pointer_cast<almavel::MainViewController>(nav->topViewController()), nullptr);
    EXPECT_FALSE(screen->activityIndicator->isAnimating());
    EXPECT_EQ(accountsNamed(email), 1);
    EXPECT_EQ(defaults()->stringForKey("usuario"), std::optional<std::string>(email));
    EXPECT_EQ(defaults()->stringForKey("logged"), std::optional<std::string>("1"));
    EXPECT_EQ(almavel::SavedPassword::passwordForUser(email), std::optional<std::string>("Cajera2024"));
    EXPECT_TRUE(defaults()->objectForKey("clave").isNull());

    auto user = QRVAuth::auth()->currentUser();
    ASSERT_NE(user, nullptr);
    const ns::Value profile = readNode("us3r1nf0/" + user->uid());
    EXPECT_EQ(profile, ns::Value(ns::Dictionary{{"Apellido", "Pérez"},
                                                {"Correo", email},
                                                {"Nombre", "Ana"},
                                                {"Telefono", "6612-3344"}}))
        << profile.description();
}

TEST_F(SignUpTest, AnAddressInUseShowsTheServicesMessageWithNoRedBorder) {
    auto screen = openSignUp();
    ASSERT_NE(screen, nullptr) << driver.lastError();
    ASSERT_TRUE(fill(form(kStaffEmail)));
    ASSERT_TRUE(driver.tap("Registrar"));
    ASSERT_TRUE(driver.waitUntilIdle());
    auto alert = std::dynamic_pointer_cast<ns::UIAlertController>(driver.window()->topmostViewController());
    ASSERT_NE(alert, nullptr) << driver.screenText();
    EXPECT_EQ(alert->alertTitle(), "Error");
    EXPECT_FALSE(alert->message().empty());
    ASSERT_EQ(alert->actions().size(), 1u);
    EXPECT_EQ(alert->actions()[0]->title(), "Cerrar");
    for (const char* name : {"txtNombre", "txtApellido", "txtCorreo", "txtTele", "txtPass"}) {
        EXPECT_EQ(driver.find(name)->layer()->borderWidth(), 0.0) << name;
    }
    EXPECT_EQ(accountsNamed(kStaffEmail), 1);
    EXPECT_TRUE(defaults()->objectForKey("logged").isNull());
    ASSERT_TRUE(driver.answerAlert("Cerrar"));
    EXPECT_EQ(driver.window()->topmostViewController(), screen);
    EXPECT_TRUE(driver.tap("Cancelar"));
    EXPECT_NE(std::dynamic_pointer_cast<almavel::ViewController>(driver.window()->topmostViewController()), nullptr);
}

class ResetTest : public SignUpTest {
protected:
    std::shared_ptr<almavel::ResetViewController> openReset() {
        if (!driver.tap("forgotPass")) return nullptr;
        return std::dynamic_pointer_cast<almavel::ResetViewController>(driver.window()->topmostViewController());
    }
    std::shared_ptr<ns::UIAlertController> alertShown() {
        return std::dynamic_pointer_cast<ns::UIAlertController>(driver.window()->topmostViewController());
    }
};

TEST_F(ResetTest, TheFieldStartsWithTheStoredAddressAndAnEmptyOneIsRefusedWithoutARequest) {
    defaults()->setString(kStaffEmail, "usuario");
    auto screen = openReset();
    ASSERT_NE(screen, nullptr) << driver.lastError() << driver.screenText();
    EXPECT_EQ(driver.find<ns::UITextField>("txtEmail")->text(), kStaffEmail);

    driver.find<ns::UITextField>("txtEmail")->setText("");
    ASSERT_TRUE(driver.tap("SendMail"));
    EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());
    auto alert = alertShown();
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->alertTitle(), "Ingrese su correo");
    EXPECT_EQ(alert->message(), "Debe ingresar su correo primero");
    EXPECT_EQ(alert->actions()[0]->title(), "Cerrar");
    EXPECT_NE(backend->get("/__admin/auth/outbox").body.find("\"messages\":[]"), std::string::npos);
    ASSERT_TRUE(driver.answerAlert("Cerrar"));
    ASSERT_TRUE(driver.tap("Regresar"));
    EXPECT_NE(std::dynamic_pointer_cast<almavel::ViewController>(driver.window()->topmostViewController()), nullptr);
}

TEST_F(ResetTest, ASentMailIsInTheOutboxAndTheAddressIsKeptARefusedOneIsSelected) {
    auto screen = openReset();
    ASSERT_NE(screen, nullptr) << driver.lastError();
    ASSERT_TRUE(driver.type("txtEmail", kStaffEmail));
    ASSERT_TRUE(driver.tap("SendMail"));
    EXPECT_TRUE(ns::Application::shared()->isIgnoringInteractionEvents());
    ASSERT_TRUE(driver.waitUntilIdle());
    auto done = alertShown();
    ASSERT_NE(done, nullptr) << driver.screenText();
    EXPECT_EQ(done->alertTitle(), "Completado");
    EXPECT_EQ(done->message(), "En pocos minutos recibira un correo");
    EXPECT_EQ(defaults()->stringForKey("usuario"), std::optional<std::string>(kStaffEmail));
    EXPECT_NE(backend->get("/__admin/auth/outbox").body.find(kStaffEmail), std::string::npos);
    ASSERT_TRUE(driver.answerAlert("Cerrar"));

    auto field = driver.find<ns::UITextField>("txtEmail");
    field->setText("nadie@almavel.com.pa");
    ASSERT_TRUE(driver.tap("SendMail"));
    ASSERT_TRUE(driver.waitUntilIdle());
    auto refused = alertShown();
    ASSERT_NE(refused, nullptr) << driver.screenText();
    EXPECT_EQ(refused->alertTitle(), "Error");
    EXPECT_EQ(refused->message(), "Vuelva a intentarlo");
    EXPECT_EQ(defaults()->stringForKey("usuario"), std::optional<std::string>(kStaffEmail));
    EXPECT_FALSE(screen->activityIndicator->isAnimating());
}

}  // namespace
