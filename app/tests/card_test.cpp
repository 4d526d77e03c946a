#include <gtest/gtest.h>

#include "app/DatosViewController.h"
#include "app/MainStoryboard.h"
#include "app/ResetViewController.h"
#include "app/SorryViewController.h"
#include "app/ScreenSupport.h"
#include "app/TarjetaViewController.h"
#include "app/WaitDeadline.h"
#include "app_test_support.h"

namespace {

using almavel::DatosViewController;
using almavel::SorryViewController;
using almavel::TarjetaViewController;

class CardTest : public apptest::SignedInAppTest {
protected:
    std::shared_ptr<TarjetaViewController> openCheck() {
        auto screen = nav->storyboard()->instantiateViewControllerWithIdentifier(almavel::kTarjConID);
        nav->pushViewController(screen, false);
        EXPECT_TRUE(driver.waitUntilIdle());
        return std::dynamic_pointer_cast<TarjetaViewController>(screen);
    }
    // Types both numbers, confirms and waits for the screen the check shows.
    ns::UIViewControllerPtr check(const std::string& cedula, const std::string& cuenta) {
        auto checkScreen = openCheck();
        EXPECT_NE(checkScreen, nullptr);
        EXPECT_TRUE(driver.type("txtCedula", cedula) && driver.type("txtCuenta", cuenta) && driver.tap("btConfirm"))
            << driver.lastError();
        EXPECT_TRUE(waitFor([&] { return nav->topViewController() != checkScreen; })) << cedula;
        EXPECT_TRUE(driver.waitUntilIdle());
        return nav->topViewController();
    }
    bool notFound(const std::string& cedula, const std::string& cuenta) {
        auto shown = check(cedula, cuenta);
        const bool sorry = std::dynamic_pointer_cast<SorryViewController>(shown) != nullptr;
        EXPECT_TRUE(driver.back() && driver.back() && driver.waitUntilIdle());
        return sorry;
    }
    std::string text(const std::string& name) { return driver.find<ns::UILabel>(name)->text(); }
};

TEST_F(CardTest, TheMembersOwnAccountOpensWithItsAmounts) {
    auto shown = std::dynamic_pointer_cast<DatosViewController>(check("8-123-456", "400012345678"));
    ASSERT_NE(shown, nullptr) << driver.screenText();
    EXPECT_EQ(defaults()->stringForKey("cedula"), "8-123-456");
    ASSERT_TRUE(waitFor([&] { return !text("txtAccount").empty(); }));
    EXPECT_EQ(text("txtAccount"), "400012345678");
    EXPECT_EQ(text("txtName"), "María Fernanda Ríos");
    EXPECT_EQ(text("txtLimit"), "B/. 1500.00");
    EXPECT_EQ(text("txtNow"), "B/. 312.40");
    EXPECT_EQ(text("txtDay"), "B/. 1187.60");
    EXPECT_EQ(text("txtMin"), "B/. 25.00");
    EXPECT_EQ(text("txtLast"), "12/11/2024");
    EXPECT_EQ(text("txtAmount"), "B/. 89.95");
    EXPECT_EQ(text("txtPayd"), "01/11/2024");
    EXPECT_EQ(text("txtLpay"), "B/. 50.00");
}

TEST_F(CardTest, ARecordWithoutDatesOrNameLeavesThoseLabelsEmpty) {
    ASSERT_NE(std::dynamic_pointer_cast<DatosViewController>(check("4-222-333", "400098765432")), nullptr);
    ASSERT_TRUE(waitFor([&] { return !text("txtAccount").empty(); }));
    EXPECT_EQ(text("txtLimit"), "B/. 1250.00");
    EXPECT_EQ(text("txtLpay"), "B/. 120.50");
    EXPECT_EQ(text("txtLast"), "");
    EXPECT_EQ(text("txtPayd"), "");
    EXPECT_EQ(text("txtName"), "");
}

TEST_F(CardTest, WrongMissingMalformedOrOtherPeoplesAccountsAreNotFound) {
    defaults()->setString("antes", "cedula");
    EXPECT_TRUE(notFound("8-123-456", "400012345679"));   // wrong account number
    EXPECT_TRUE(notFound("1-111-111", "400012345678"));   // no record
    EXPECT_TRUE(notFound("8-765-4321", "400055554444"));  // another member's account
    // Empty, or not one path segment: never read.
    for (const char* bad : {"", "8.123.456", "cr3d/8-123-456", "../8-123-456", "8#1", "$x", "[0]"}) {
        EXPECT_TRUE(notFound(bad, "400012345678")) << bad;
    }
    // The owner's address in another letter case is another address.
    auto reply = backend->post("/__admin/rtdb/data?ns=almavel-pa&path=/cr3d/9-999-999",
                               R"({"data": {"Cuenta": "1", "Email": "Personal@Almavel.com.pa"}})");
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_TRUE(notFound("9-999-999", "1"));
    reply = backend->post("/__admin/rtdb/data?ns=almavel-pa&path=/cr3d/9-999-998", R"({"data": {"Cuenta": "2"}})");
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_TRUE(notFound("9-999-998", "2"));  // no owner at all
    EXPECT_EQ(defaults()->stringForKey("cedula"), "antes");
}

TEST_F(CardTest, AnAddressTypedIntoTheHandOverKeyDoesNotUnlockSomeoneElsesAccount) {
    // What the password-reset screen leaves behind for any typed address.
    defaults()->setString("caja@almavel.com.pa", "usuario");
    EXPECT_TRUE(notFound("8-765-4321", "400055554444"));
    // The member's own account still opens.
    EXPECT_NE(std::dynamic_pointer_cast<DatosViewController>(check("8-123-456", "400012345678")), nullptr);
}

TEST_F(CardTest, TheBackEndRefusesAnotherMembersRecordEvenToADirectRead) {
    struct Read {
        std::string path;
        bool refused;
    };
    for (const Read& r : {Read{"cr3d/8-765-4321", true}, Read{"cr3d/8-765-4321/Limite", true}, Read{"cr3d", true},
                          Read{"cr3d/8-123-456", false}}) {
        bool answered = false;
        ns::ErrorRef refusal;
        ns::Value seen;
        QRVDatabase::database()->reference()->child(r.path)->observeSingleEventOfType(
            QRVDataEventTypeValue,
            [&](QRVDataSnapshotPtr snapshot) {
                seen = snapshot->value();
                answered = true;
            },
            [&](ns::ErrorRef error) {
                refusal = error;
                answered = true;
            });
        ASSERT_TRUE(waitFor([&] { return answered; })) << r.path;
        EXPECT_EQ(refusal != nullptr, r.refused) << r.path;
        if (r.refused) {
            EXPECT_TRUE(seen.isNull()) << r.path;
        } else {
            EXPECT_EQ(seen["Cuenta"], ns::Value("400012345678"));
        }
    }
}

TEST_F(CardTest, AResetRequestedForAnotherMembersAddressDoesNotUnlockTheirAccount) {
    auto reset = std::make_shared<almavel::ResetViewController>();
    nav->presentViewController(reset, false);
    ASSERT_TRUE(driver.waitUntilIdle());
    driver.find<ns::UITextField>("txtEmail")->setText("");
    ASSERT_TRUE(driver.type("txtEmail", "caja@almavel.com.pa") && driver.tap("SendMail") && driver.waitUntilIdle());
    auto done = std::dynamic_pointer_cast<ns::UIAlertController>(driver.window()->topmostViewController());
    ASSERT_NE(done, nullptr) << driver.screenText();
    EXPECT_EQ(done->alertTitle(), "Completado");
    ASSERT_TRUE(driver.answerAlert("Cerrar") && driver.tap("Regresar") && driver.waitUntilIdle());
    EXPECT_EQ(defaults()->stringForKey("usuario"), std::optional<std::string>("caja@almavel.com.pa"));
    EXPECT_NE(backend->get("/__admin/auth/outbox").body.find("caja@almavel.com.pa"), std::string::npos);

    EXPECT_TRUE(notFound("8-765-4321", "400055554444"));
    EXPECT_EQ(QRVAuth::auth()->currentUser()->email(), std::optional<std::string>(apptest::kStaffEmail));
}

TEST_F(CardTest, AnUnansweredCheckGivesUpAtTheDeadlineAndALaterOneOpensOneScreen) {
    auto screen = openCheck();
    ASSERT_TRUE(driver.type("txtCedula", "8-123-456") && driver.type("txtCuenta", "400012345678"));
    const size_t depth = nav->viewControllers().size();
    auto app = ns::Application::shared();
    apptest::StalledBackend stall(*backend);
    ASSERT_TRUE(stall.stopped());
    ASSERT_TRUE(driver.tap("btConfirm"));
    EXPECT_NE(driver.find("actInd"), nullptr) << "the overlay is up";
    EXPECT_FALSE(driver.tap("btConfirm")) << "a second press is ignored";
    clock->advance(almavel::kWaitDeadlineSeconds - 1);
    EXPECT_TRUE(app->isIgnoringInteractionEvents());

    clock->advance(1);
    EXPECT_FALSE(app->isIgnoringInteractionEvents());
    EXPECT_EQ(driver.find("actInd"), nullptr);
    auto alert = std::dynamic_pointer_cast<ns::UIAlertController>(driver.window()->topmostViewController());
    ASSERT_NE(alert, nullptr) << driver.screenText();
    EXPECT_EQ(alert->alertTitle(), almavel::kReadFailedTitle);
    EXPECT_EQ(alert->message(), almavel::readFailedMessage(almavel::WaitDeadline::timedOutError()));
    ASSERT_TRUE(driver.answerAlert("Cerrar"));

    // The late answer shows nothing; the next press, answered, one screen.
    stall.resume();
    EXPECT_TRUE(readNode("cr3d/8-123-456").isDictionary());
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_EQ(nav->topViewController(), screen);
    EXPECT_EQ(nav->viewControllers().size(), depth);
    ASSERT_TRUE(driver.tap("btConfirm"));
    ASSERT_TRUE(waitFor([&] { return nav->topViewController() != screen; }));
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_NE(std::dynamic_pointer_cast<DatosViewController>(nav->topViewController()), nullptr);
    EXPECT_EQ(nav->viewControllers().size(), depth + 1);
}

TEST_F(CardTest, WithNobodySignedInTheCheckSaysSoAndReadsNothing) {
    ASSERT_TRUE(QRVAuth::auth()->signOut());
    auto screen = openCheck();
    auto alert = std::dynamic_pointer_cast<ns::UIAlertController>(driver.window()->topmostViewController());
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->alertTitle(), "Sesión no iniciada");
    ASSERT_TRUE(driver.answerAlert("Cerrar") && driver.waitUntilIdle());
    EXPECT_FALSE(screen->btConfirm.lock()->isEnabled());
    screen->checkCardAccount();
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_EQ(nav->topViewController(), screen);
}

TEST_F(CardTest, TheCheckScreenIsStyledAndItsBackgroundTapHidesTheKeyboard) {
    auto screen = openCheck();
    EXPECT_EQ(screen->title(), "Tarjeta Almavel");
    auto layer = screen->btConfirm.lock()->layer();
    EXPECT_EQ(layer->borderWidth(), 1.0);
    EXPECT_EQ(layer->cornerRadius(), 5.0);
    ASSERT_TRUE(driver.tap("txtCedula"));
    EXPECT_TRUE(driver.find("txtCedula")->isFirstResponder());
    ASSERT_TRUE(driver.window()->sendTap({200, 600}));
    EXPECT_FALSE(driver.find("txtCedula")->isFirstResponder());
}

}  // namespace
