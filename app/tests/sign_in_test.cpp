#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "app/MainViewController.h"
#include "app/ResetViewController.h"
#include "app/SavedPassword.h"
#include "app/ViewController.h"
#include "app_test_support.h"
#include "platform/keychain.h"

namespace {

using apptest::AppTest;
using apptest::consoleHas;
using apptest::kStaffEmail;
using apptest::kStaffPassword;

// As a new process on a phone where the app kept nothing of its own (the
// SDK's files stay).
void forgetWhatTheAppStored(ns::testing::TempSandbox& sandbox) {
    apptest::forgetProcessState();
    sandbox.relaunch();
    ns::UserDefaults::standard()->removePersistentDomain();
    ns::Keychain::shared()->remove({{ns::kSecClass, ns::kSecClassGenericPassword},
                                    {ns::kSecAttrService, almavel::kSavedPasswordService}});
}

// Signs in to the service itself: a session the sign-in screen did not start.
bool signInToTheService() {
    bool done = false;
    QRVAuth::auth()->signInWithEmail(kStaffEmail, kStaffPassword, [&](auto, auto) { done = true; });
    return ns::RunLoop::main().runUntil([&] { return done; }, 60) && QRVAuth::auth()->currentUser() != nullptr;
}

std::shared_ptr<almavel::MainViewController> mainMenuOnTop(ns::UIWindow& window) {
    auto nav = std::dynamic_pointer_cast<ns::UINavigationController>(window.topmostViewController());
    if (!nav) return nullptr;
    return std::dynamic_pointer_cast<almavel::MainViewController>(nav->topViewController());
}

TEST_F(AppTest, AWrongPasswordShowsTheLoginErrorAndStoresNothing) {
    launch();
    auto login = std::dynamic_pointer_cast<almavel::ViewController>(driver.window()->rootViewController());
    ASSERT_NE(login, nullptr);
    EXPECT_EQ(driver.find<ns::UITextField>("txtUser")->text(), "");
    EXPECT_EQ(driver.find<ns::UITextField>("txtPass")->text(), "");

    ASSERT_TRUE(driver.type("txtUser", kStaffEmail));
    ASSERT_TRUE(driver.type("txtPass", "equivocada"));
    ASSERT_TRUE(driver.tap("logIn"));
    // While the request runs the overlay covers the screen and input is refused.
    EXPECT_EQ(login->actInd.container()->superview(), login->view());
    EXPECT_TRUE(login->actInd.activityIndicator()->isAnimating());
    EXPECT_TRUE(ns::Application::shared()->isIgnoringInteractionEvents());
    EXPECT_FALSE(driver.tap("logIn"));
    EXPECT_FALSE(driver.type("txtPass", kStaffPassword));
    EXPECT_FALSE(driver.window()->sendTapToView(*driver.find("txtUser")));

    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_EQ(login->actInd.container()->superview(), nullptr);
    EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());
    auto alert = std::dynamic_pointer_cast<ns::UIAlertController>(driver.window()->topmostViewController());
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->alertTitle(), "Login Error");
    EXPECT_EQ(alert->message(), "Usuario o contraseña incorrectos, vuelva a intentar");
    EXPECT_EQ(alert->preferredStyle(), ns::UIAlertControllerStyle::Alert);
    ASSERT_EQ(alert->actions().size(), 1u);
    EXPECT_EQ(alert->actions()[0]->title(), "Cerrar");
    EXPECT_TRUE(consoleHas("error: "));
    // The alert covers the screen: the button under it takes no tap.
    EXPECT_FALSE(driver.tap("logIn"));

    EXPECT_TRUE(defaults()->objectForKey("usuario").isNull());
    EXPECT_TRUE(defaults()->objectForKey("logged").isNull());
    EXPECT_FALSE(almavel::SavedPassword::passwordForUser(kStaffEmail));

    ASSERT_TRUE(driver.answerAlert("Cerrar"));
    EXPECT_EQ(driver.window()->topmostViewController(), login);
    EXPECT_TRUE(driver.tap("logIn"));
}

TEST_F(AppTest, TheStaffAccountSignsInKeepsThePasswordInTheKeychainAndShowsTheMainMenu) {
    launch();
    ASSERT_TRUE(signIn(kStaffEmail, kStaffPassword)) << driver.lastError();
    EXPECT_EQ(defaults()->stringForKey("usuario"), std::optional<std::string>(kStaffEmail));
    EXPECT_EQ(defaults()->stringForKey("logged"), std::optional<std::string>("1"));
    // Never in plain text in user defaults.
    EXPECT_TRUE(defaults()->objectForKey("clave").isNull());
    ASSERT_TRUE(defaults()->synchronize());
    EXPECT_EQ(apptest::readFile(defaults()->path()).find(kStaffPassword), std::string::npos);
    EXPECT_EQ(almavel::SavedPassword::passwordForUser(kStaffEmail), std::optional<std::string>(kStaffPassword));

    ASSERT_NE(mainMenuOnTop(*driver.window()), nullptr) << driver.screenText();
    ASSERT_NE(QRVAuth::auth()->currentUser(), nullptr);
    EXPECT_EQ(QRVAuth::auth()->currentUser()->email(), std::optional<std::string>(kStaffEmail));
    EXPECT_TRUE(driver.element("btCap"));
    EXPECT_TRUE(driver.element("ShowHideMenu"));
    EXPECT_FALSE(driver.element("back")) << "the main menu has no way back to sign-in";

    // The next launch signs in by itself with what was kept.
    relaunch();
    auto login = std::dynamic_pointer_cast<almavel::ViewController>(driver.window()->rootViewController());
    ASSERT_NE(login, nullptr);
    EXPECT_EQ(login->loggedIn, "1");
    EXPECT_TRUE(ns::Application::shared()->isIgnoringInteractionEvents());
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_NE(mainMenuOnTop(*driver.window()), nullptr) << driver.screenText();
}

TEST_F(AppTest, APasswordAnOlderVersionLeftInUserDefaultsMovesToTheKeychain) {
    defaults()->setString(kStaffEmail, "usuario");
    defaults()->setString(kStaffPassword, "clave");
    defaults()->setString("1", "logged");
    launch();
    EXPECT_TRUE(defaults()->objectForKey("clave").isNull());
    EXPECT_EQ(almavel::SavedPassword::passwordForUser(kStaffEmail), std::optional<std::string>(kStaffPassword));
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_NE(mainMenuOnTop(*driver.window()), nullptr) << driver.screenText();
}

TEST_F(AppTest, WhatIsStoredDecidesTheFieldsAndWhetherTheScreenSignsInByItself) {
    struct Case {
        const char* what;
        std::optional<std::string> usuario;
        std::optional<std::string> password;
        std::optional<std::string> logged;
        std::string expectedUser;
        std::string expectedPass;
        bool signsIn;
    };
    const std::vector<Case> cases{
        {"nothing stored", {}, {}, {}, "", "", false},
        {"signed out", kStaffEmail, kStaffPassword, "0", kStaffEmail, kStaffPassword, false},
        {"signed in without a password", kStaffEmail, {}, "1", kStaffEmail, "", false},
        {"signed in", kStaffEmail, kStaffPassword, "1", kStaffEmail, kStaffPassword, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        forgetWhatTheAppStored(sandbox);
        if (c.usuario) defaults()->setString(*c.usuario, "usuario");
        if (c.logged) defaults()->setString(*c.logged, "logged");
        if (c.usuario && c.password) almavel::SavedPassword::save(*c.usuario, *c.password);

        launch();
        EXPECT_EQ(driver.find<ns::UITextField>("txtUser")->text(), c.expectedUser);
        EXPECT_EQ(driver.find<ns::UITextField>("txtPass")->text(), c.expectedPass);
        EXPECT_EQ(ns::Application::shared()->isIgnoringInteractionEvents(), c.signsIn);
        ASSERT_TRUE(driver.waitUntilIdle());
        EXPECT_EQ(mainMenuOnTop(*driver.window()) != nullptr, c.signsIn) << driver.screenText();
    }
}

// A sign-out stores "logged" "0" before the SDK's session goes, and a
// sign-in stores "1" after it: a session found at launch while "logged" is
// not "1" is one an ended sign-out or sign-in left, and the app, which shows
// sign-in, signs it out, so that it is signed in exactly when the SDK is.
TEST_F(AppTest, ALaunchSignsOutASessionTheAppDoesNotCountAsSignedIn) {
    struct Case {
        const char* what;
        std::optional<std::string> logged;
        bool savedPassword;
        bool signedIn;
    };
    const std::vector<Case> cases{
        {"a sign-in ended before \"logged\" was stored", {}, true, false},
        {"a sign-out ended after \"logged\" \"0\" was stored", "0", true, false},
        {"signed in but the password is gone", "1", false, false},
        {"signed in", "1", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        forgetWhatTheAppStored(sandbox);
        launch();
        ASSERT_TRUE(driver.waitUntilIdle());
        ASSERT_TRUE(signInToTheService());
        defaults()->setString(kStaffEmail, "usuario");
        if (c.logged) defaults()->setString(*c.logged, "logged");
        if (c.savedPassword) almavel::SavedPassword::save(kStaffEmail, kStaffPassword);

        apptest::forgetProcessState();
        sandbox.relaunch();
        launch();
        ASSERT_TRUE(driver.waitUntilIdle());
        EXPECT_EQ(mainMenuOnTop(*driver.window()) != nullptr, c.signedIn) << driver.screenText();
        EXPECT_EQ(QRVAuth::auth()->currentUser() != nullptr, c.signedIn);
    }
}

// A store that cannot be read at launch is not one that holds nothing: the
// launch removes no session for it, and shows the clerk signed in exactly
// when the SDK has a user; once it reads again, the clerk is signed in as
// before.
TEST_F(AppTest, AStoreThatCannotBeReadAtLaunchEndsNoSignIn) {
    launch();
    ASSERT_TRUE(driver.waitUntilIdle());
    ASSERT_TRUE(signIn(kStaffEmail, kStaffPassword)) << driver.lastError();
    ASSERT_NE(mainMenuOnTop(*driver.window()), nullptr) << driver.screenText();
    ASSERT_TRUE(defaults()->synchronize());
    const std::string list = defaults()->path();
    const struct {
        const char* what;
        std::function<void()> make, undo;
    } obstacles[] = {
        {"the keychain's reads fail",
         [] { ns::Keychain::shared()->injectFailure(ns::errSecIO, -1, ns::Keychain::Operation::CopyMatching); },
         [] {}},
        {"a folder where the preferences list is",
         [&] {
             std::filesystem::rename(list, list + ".kept");
             std::filesystem::create_directory(list);
         },
         [&] {
             std::filesystem::remove(list);
             std::filesystem::rename(list + ".kept", list);
         }},
    };
    for (const auto& o : obstacles) {
        SCOPED_TRACE(o.what);
        finishLaunch();
        apptest::forgetProcessState();
        sandbox.relaunch();
        o.make();
        launch();
        ASSERT_TRUE(driver.waitUntilIdle());
        EXPECT_EQ(mainMenuOnTop(*driver.window()) != nullptr, QRVAuth::auth()->currentUser() != nullptr)
            << driver.screenText();
        finishLaunch();
        // Read past the launch's own keychain object and its failures.
        ns::Keychain file(ns::Sandbox::current()->keychainPath());
        EXPECT_EQ(file.copyMatching({{ns::kSecClass, ns::kSecClassGenericPassword},
                                     {ns::kSecAttrService, kQRVAuthKeychainService}}),
                  ns::errSecSuccess)
            << "the SDK's session was removed";
        for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(list).parent_path())) {
            EXPECT_EQ(entry.path().filename().string().find("corrupt"), std::string::npos) << "set aside";
        }
        o.undo();
        relaunch();
        ASSERT_TRUE(driver.waitUntilIdle());
        EXPECT_NE(mainMenuOnTop(*driver.window()), nullptr) << "the sign-in was undone\n" << driver.screenText();
        EXPECT_NE(QRVAuth::auth()->currentUser(), nullptr);
    }
}

TEST_F(AppTest, TheForgottenPasswordButtonSignsOutAndChangesNothingStored) {
    defaults()->setString(kStaffEmail, "usuario");
    defaults()->setString("0", "logged");
    launch();
    ASSERT_TRUE(driver.waitUntilIdle());
    ASSERT_TRUE(signInToTheService());

    ASSERT_TRUE(driver.tap("forgotPass"));
    EXPECT_EQ(QRVAuth::auth()->currentUser(), nullptr);
    EXPECT_TRUE(consoleHas("signed out"));
    EXPECT_EQ(defaults()->stringForKey("usuario"), std::optional<std::string>(kStaffEmail));
    EXPECT_EQ(defaults()->stringForKey("logged"), std::optional<std::string>("0"));
    // The button goes on to the reset screen, which offers the kept address.
    EXPECT_NE(std::dynamic_pointer_cast<almavel::ResetViewController>(driver.window()->topmostViewController()),
              nullptr);
    EXPECT_EQ(driver.find<ns::UITextField>("txtEmail")->text(), kStaffEmail);
}

TEST_F(AppTest, TappingTheBackgroundEndsEditingAndTheFieldsStillTakeTaps) {
    launch();
    auto user = driver.find<ns::UITextField>("txtUser");
    ASSERT_TRUE(driver.tap("txtUser"));
    EXPECT_TRUE(user->isFirstResponder());
    // An empty spot of the screen, between the title and the fields.
    ASSERT_TRUE(driver.window()->sendTap({187, 220}));
    EXPECT_FALSE(user->isFirstResponder());
    ASSERT_TRUE(driver.tap("txtPass"));
    EXPECT_TRUE(driver.find<ns::UITextField>("txtPass")->isFirstResponder());
}

// A sign-in whose stores refuse writes: one the SDK could not save is not a
// wrong password, and one whose "logged" "1" never reached the phone is
// signed in for this run only, and said so; either way the next launch
// shows the clerk signed in exactly when the SDK has a user.
struct SignInCase {
    const char* what;
    apptest::BrokenStores broken;
    bool mainMenu;
    std::string alertTitle;
    std::string alertMessage;
};

void PrintTo(const SignInCase& c, std::ostream* out) { *out << c.what; }

class SignInWhenStoresFail : public AppTest, public ::testing::WithParamInterface<SignInCase> {};

TEST_P(SignInWhenStoresFail, ASignInThatCannotBeKeptIsSaidAndTheNextLaunchAgreesWithTheSDK) {
    const SignInCase& c = GetParam();
    launch();
    ASSERT_TRUE(driver.waitUntilIdle());
    apptest::breakStores(c.broken);
    ASSERT_TRUE(signIn(kStaffEmail, kStaffPassword)) << driver.lastError();

    auto alert = apptest::alertOnTop(*driver.window());
    ASSERT_NE(alert, nullptr) << driver.screenText();
    EXPECT_EQ(alert->alertTitle(), c.alertTitle);
    EXPECT_EQ(alert->message(), c.alertMessage);
    ASSERT_TRUE(driver.answerAlert("Cerrar"));
    const bool appSignedIn = mainMenuOnTop(*driver.window()) != nullptr;
    EXPECT_EQ(appSignedIn, c.mainMenu) << driver.screenText();
    EXPECT_EQ(QRVAuth::auth()->currentUser() != nullptr, appSignedIn);

    relaunch(c.broken);
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_EQ(mainMenuOnTop(*driver.window()), nullptr) << driver.screenText();
    EXPECT_EQ(QRVAuth::auth()->currentUser(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Stores, SignInWhenStoresFail,
    ::testing::Values(
        // "logged" "1" never reached the phone: the next launch asks for the
        // password and the SDK's session goes.
        SignInCase{"PreferencesRefuseWrites",
                   {.preferences = true},
                   true,
                   "Atención",
                   "No se pudo guardar la sesión en el teléfono, al abrir de nuevo la aplicación deberá iniciar sesión"},
        SignInCase{"TheKeychainRefusesWrites",
                   {.keychain = true},
                   false,
                   "Login Error",
                   "No se pudo guardar la sesión en el teléfono, vuelva a intentar"}),
    [](const auto& info) { return std::string(info.param.what); });

}  // namespace
