#pragma once
// The sign-up screen, reached from sign-in: first and last name, e-mail
// address, telephone and password. The fields are checked before anything
// is asked of the service (an empty one gets a red border and no request
// goes out), touches are ignored from the press until the answer is
// handled, so one press makes at most one account. Success writes the
// profile record us3r1nf0/<uid>, keeps the signed-in state as sign-in does
// and shows the main menu.
//
// Main thread only; the authentication completions arrive there.

#include <memory>

#include "auth/QRVUser.h"
#include "database/api/QRVDatabaseReference.h"
#include "platform/error.h"
#include "uikit/UIViewController.h"

namespace almavel {

class RegisterViewController : public ns::UIViewController {
public:
    RegisterViewController();

    // Fields in the screen's order.
    QRVDatabaseReferencePtr ref;
    std::shared_ptr<ns::UIActivityIndicatorView> activityIndicator;
    std::weak_ptr<ns::UITextField> txtNombre;
    std::weak_ptr<ns::UITextField> txtApellido;
    std::weak_ptr<ns::UITextField> txtCorreo;
    std::weak_ptr<ns::UITextField> txtTele;
    std::weak_ptr<ns::UITextField> txtPass;

    void loadView() override;
    void viewDidLoad() override;

    // Actions.
    void Registrar(const ns::ObjectPtr& sender);
    void Cancelar(const ns::ObjectPtr& sender);
    void dismissKeyboard();

    void addKeyboardDismissTap();
    void createAccount();
    void handleSignUpResult(const std::shared_ptr<QRVUser>& user, const ns::ErrorRef& error);
    // Marks the empty fields red (and resets the others); true when all
    // five hold something.
    bool validateSignUpFields();
};

}  // namespace almavel
