#pragma once
// The sign-in screen (storyboard "LoginV"): an e-mail address, a password
// and the sign-in button. It keeps the signed-in state across launches:
// after a successful sign-in the address goes to "usuario", the password to
// the keychain (SavedPassword) and "1" to "logged"; each time the screen
// loads it fills the fields from them and, when "logged" is "1", signs in
// again by itself (with the saved password); otherwise a session the SDK
// still keeps is signed out.
// Success shows "NavCon" over it.
//
// Main thread only; the authentication completions arrive there.

#include <memory>
#include <string>

#include "app/ActivityInicator.h"
#include "auth/QRVUser.h"
#include "platform/error.h"
#include "uikit/UIViewController.h"

namespace almavel {

class ViewController : public ns::UIViewController {
public:
    ViewController();

    // Fields in the screen's order.
    ActivityInicator actInd;
    std::string loggedIn = "0";
    std::weak_ptr<ns::UITextField> txtUser;
    std::weak_ptr<ns::UITextField> txtPass;

    void loadView() override;
    void viewDidLoad() override;

    // Actions.
    void logIn(const ns::ObjectPtr& sender);
    void forgotPass(const ns::ObjectPtr& sender);
    void dismissKeyboard();

    void addKeyboardDismissTap();
    void signInWithFields();
    void signOutLeftoverSession();
    void enterWithKeptSession(const std::string& email);
    void handleSignInResult(const std::shared_ptr<QRVUser>& user, const ns::ErrorRef& error);

private:
    void beginWaiting();
    void endWaiting();
};

}  // namespace almavel
