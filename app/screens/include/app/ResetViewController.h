#pragma once
// The password-reset screen, reached from sign-in's forgotten-password
// button: the e-mail address (filled from "usuario") and the send button.
// A sent mail stores the address under "usuario", so sign-in offers it next
// time; nothing else is kept. Touches are ignored from the press until the
// answer is handled.
//
// Main thread only; the authentication completions arrive there.

#include <memory>
#include <string>

#include "platform/error.h"
#include "uikit/UIViewController.h"

namespace almavel {

class ResetViewController : public ns::UIViewController {
public:
    ResetViewController();

    std::shared_ptr<ns::UIActivityIndicatorView> activityIndicator;
    std::weak_ptr<ns::UITextField> txtEmail;

    void loadView() override;
    void viewDidLoad() override;

    // Actions.
    void SendMail(const ns::ObjectPtr& sender);
    void Regresar(const ns::ObjectPtr& sender);
    void dismissKeyboard();

    void addKeyboardDismissTap();
    void sendResetMail();
    void handleResetResult(const std::string& sentTo, const ns::ErrorRef& error);
};

}  // namespace almavel
