#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "app/MainViewController.h"
#include "app/SavedPassword.h"
#include "app/ViewController.h"
#include "app_test_support.h"

namespace {

using apptest::kStaffEmail;

class MainMenuTest : public apptest::SignedInAppTest {
protected:
    void SetUp() override {
        SignedInAppTest::SetUp();
        if (HasFatalFailure()) return;
        menu = std::dynamic_pointer_cast<almavel::MainViewController>(nav->topViewController());
        ASSERT_NE(menu, nullptr);
        ns::UIView::clearRecordedAnimations();
    }
    double panelX() { return driver.find("mView")->frameInWindow().origin.x; }

    std::shared_ptr<almavel::MainViewController> menu;
};

TEST_F(MainMenuTest, TheMenuButtonBringsThePanelInAndOutWithARecordedAnimation) {
    EXPECT_EQ(menu->MenuLeadConst.lock()->constant(), -230);
    EXPECT_EQ(panelX(), -230);
    EXPECT_FALSE(driver.element("CloseSession")) << "the hidden panel's buttons are out of reach";
    EXPECT_EQ(driver.find("mView")->layer()->shadowOpacity(), 1.0);
    EXPECT_EQ(driver.find("mView")->layer()->shadowRadius(), 6.0);
    EXPECT_EQ(driver.find("btCap")->layer()->cornerRadius(), 5.0);

    ASSERT_TRUE(driver.tap("ShowHideMenu"));
    EXPECT_TRUE(menu->menuShowig);
    EXPECT_EQ(menu->MenuLeadConst.lock()->constant(), 0);
    EXPECT_EQ(panelX(), 0);
    EXPECT_TRUE(driver.element("CloseSession"));

    ASSERT_TRUE(driver.tap("ShowHideMenu"));
    EXPECT_FALSE(menu->menuShowig);
    EXPECT_EQ(menu->MenuLeadConst.lock()->constant(), -230);
    EXPECT_EQ(panelX(), -230);
    EXPECT_EQ(ns::UIView::recordedAnimationDurations(), (std::vector<double>{0.3, 0.3}));
}

TEST_F(MainMenuTest, LeavingTheScreenWithThePanelOutPullsItIn) {
    ASSERT_TRUE(driver.tap("ShowHideMenu"));
    nav->pushViewController(ns::UIViewController::make(), false);
    EXPECT_FALSE(menu->menuShowig);
    EXPECT_EQ(menu->MenuLeadConst.lock()->constant(), -230);
    nav->popViewControllerAnimated(false);
    EXPECT_EQ(panelX(), -230);
    // Leaving with the panel in leaves it in.
    nav->pushViewController(ns::UIViewController::make(), false);
    EXPECT_FALSE(menu->menuShowig);
    EXPECT_EQ(ns::UIView::recordedAnimationDurations(), (std::vector<double>{0.3, 0.3}));
}

TEST_F(MainMenuTest, SignOutStoresZeroSignsOutAndLeavesNoWayBack) {
    std::weak_ptr<ns::UINavigationController> oldNav = nav;
    std::weak_ptr<almavel::MainViewController> oldMenu = menu;
    nav.reset();
    menu.reset();
    ASSERT_TRUE(driver.tap("ShowHideMenu"));
    ASSERT_TRUE(driver.tap("CloseSession"));
    ASSERT_TRUE(driver.waitUntilIdle());

    EXPECT_EQ(defaults()->stringForKey("logged"), std::optional<std::string>("0"));
    EXPECT_EQ(QRVAuth::auth()->currentUser(), nullptr);
    auto window = driver.window();
    auto login = std::dynamic_pointer_cast<almavel::ViewController>(window->rootViewController());
    ASSERT_NE(login, nullptr);
    EXPECT_EQ(window->topmostViewController(), login);
    // The signed-in screens are gone, not hidden under the new one.
    EXPECT_TRUE(oldNav.expired());
    EXPECT_TRUE(oldMenu.expired());
    for (const char* signedIn : {"back", "btCap", "ShowHideMenu", "CloseSession", "mView"}) {
        EXPECT_EQ(driver.find(signedIn), nullptr) << signedIn;
    }
    // The address comes back; the password left the keychain first, so
    // nothing can sign in by itself.
    EXPECT_EQ(driver.find<ns::UITextField>("txtUser")->text(), kStaffEmail);
    EXPECT_EQ(driver.find<ns::UITextField>("txtPass")->text(), "");
    EXPECT_FALSE(almavel::SavedPassword::passwordForUser(kStaffEmail));
    EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());

    // And a relaunch stays signed out.
    relaunch();
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_NE(std::dynamic_pointer_cast<almavel::ViewController>(driver.window()->topmostViewController()), nullptr);
}

// A sign-out on a phone whose stores refuse writes stops at the first write
// that fails, says so, undoes nothing, and the launch then and the next one
// show the clerk signed in exactly when the SDK has a user.
struct SignOutCase {
    const char* what;
    apptest::BrokenStores broken;
    // The alert the sign-out stops with; none when it is done.
    std::optional<std::string> alert;
    // How the console line naming what could not be written begins.
    const char* line;
    bool passwordKept;
    bool signedInAtNextLaunch;
};

void PrintTo(const SignOutCase& c, std::ostream* out) { *out << c.what; }

std::shared_ptr<almavel::MainViewController> mainMenuOnTop(ns::UIWindow& window) {
    auto top = std::dynamic_pointer_cast<ns::UINavigationController>(window.topmostViewController());
    if (!top) return nullptr;
    return std::dynamic_pointer_cast<almavel::MainViewController>(top->topViewController());
}

class SignOutWhenStoresFail : public apptest::SignedInAppTest, public ::testing::WithParamInterface<SignOutCase> {};

TEST_P(SignOutWhenStoresFail, TheSignOutStopsAtTheFirstFailedWriteAndTheNextLaunchAgreesWithTheSDK) {
    const SignOutCase& c = GetParam();
    ASSERT_NE(mainMenuOnTop(*driver.window()), nullptr) << driver.screenText();
    apptest::breakStores(c.broken);
    ASSERT_TRUE(driver.tap("ShowHideMenu"));
    ASSERT_TRUE(driver.tap("CloseSession"));
    ASSERT_TRUE(driver.waitUntilIdle());

    if (c.alert) {
        auto alert = apptest::alertOnTop(*driver.window());
        ASSERT_NE(alert, nullptr) << driver.screenText();
        EXPECT_EQ(alert->alertTitle(), "Cerrar sesión");
        EXPECT_EQ(alert->message(), *c.alert);
        EXPECT_TRUE(apptest::consoleHasLineStarting(c.line)) << c.line;
        // Still signed in, as the SDK is.
        EXPECT_NE(QRVAuth::auth()->currentUser(), nullptr);
        ASSERT_TRUE(driver.answerAlert("Cerrar"));
        EXPECT_NE(mainMenuOnTop(*driver.window()), nullptr) << driver.screenText();
    } else {
        EXPECT_NE(std::dynamic_pointer_cast<almavel::ViewController>(driver.window()->rootViewController()), nullptr);
        EXPECT_EQ(QRVAuth::auth()->currentUser(), nullptr);
    }
    EXPECT_EQ(almavel::SavedPassword::passwordForUser(kStaffEmail).has_value(), c.passwordKept);

    // The next launch on the same phone, whose stores still fail.
    relaunch(c.broken);
    ASSERT_TRUE(driver.waitUntilIdle());
    const bool appSignedIn = mainMenuOnTop(*driver.window()) != nullptr;
    EXPECT_EQ(appSignedIn, c.signedInAtNextLaunch) << driver.screenText();
    EXPECT_EQ(QRVAuth::auth()->currentUser() != nullptr, appSignedIn) << driver.screenText();
}

INSTANTIATE_TEST_SUITE_P(
    Stores, SignOutWhenStoresFail,
    ::testing::Values(
        SignOutCase{"NothingFails", {}, std::nullopt, "", false, false},
        // The password is gone before "logged" "0" fails: the next launch
        // cannot sign in by itself, and signs the SDK's session out.
        SignOutCase{"PreferencesRefuseWrites",
                    {.preferences = true},
                    "No se pudo guardar el cierre de sesión en las preferencias del teléfono, la sesión sigue abierta",
                    "Unable to keep the sign-out: ",
                    false,
                    false},
        // Nothing changed: the next launch signs in, with the session the
        // SDK keeps, although it cannot save a renewed one.
        SignOutCase{"TheKeychainRefusesWrites",
                    {.keychain = true},
                    "No se pudo borrar la contraseña guardada en el teléfono, la sesión sigue abierta",
                    "Unable to forget the password: ",
                    true,
                    true},
        SignOutCase{"BothRefuseWrites",
                    {.preferences = true, .keychain = true},
                    "No se pudo borrar la contraseña guardada en el teléfono, la sesión sigue abierta",
                    "Unable to forget the password: ",
                    true,
                    true}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
