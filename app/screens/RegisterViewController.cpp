#include "app/RegisterViewController.h"

#include "app/ColorFromHex.h"
#include "app/MainStoryboard.h"
#include "app/ScreenStyle.h"
#include "app/ScreenSupport.h"
#include "app/SignInState.h"
#include "app/UserDefaultsKeys.h"
#include "app/WaitDeadline.h"
#include "auth/QRVAuth.h"
#include "database/api/QRVDatabase.h"
#include "platform/application.h"
#include "platform/dispatch.h"
#include "platform/user_defaults.h"
#include "uikit/UIWindow.h"

namespace almavel {

namespace {

std::string textOf(const std::weak_ptr<ns::UITextField>& outlet) {
    auto field = outlet.lock();
    return field ? field->text() : std::string();
}

ns::Value profileRecord(const RegisterViewController& form) {
    return ns::Value(ns::Dictionary{
        {"Apellido", textOf(form.txtApellido)},
        {"Correo", textOf(form.txtCorreo)},
        {"Nombre", textOf(form.txtNombre)},
        {"Telefono", textOf(form.txtTele)},
    });
}

}  // namespace

RegisterViewController::RegisterViewController()
    : ns::UIViewController("RegisterViewController"),
      ref(QRVDatabase::database()->reference()),
      activityIndicator(ns::UIActivityIndicatorView::make()) {
    setTitle("Crear cuenta");
}

void RegisterViewController::loadView() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    const ColorFromHex hex;
    auto root = ns::UIView::make(ns::UIScreen::mainScreen()->bounds());
    root->setBackgroundColor(hex.colorFromHex(kBrandBlue, 1));
    auto heading = ns::UILabel::make(ns::CGRectMake(20, 60, 335, 40));
    heading->setText("Crear cuenta");
    heading->setFont(ns::UIFont::boldSystemFontOfSize(28));
    heading->setTextColor(ns::UIColor::whiteColor());
    heading->setTextAlignment(ns::NSTextAlignment::Center);
    root->addSubview(heading);

    const std::tuple<std::weak_ptr<ns::UITextField>*, const char*, const char*> fields[] = {
        {&txtNombre, "txtNombre", "Nombre"},        {&txtApellido, "txtApellido", "Apellido"},
        {&txtCorreo, "txtCorreo", "Correo"},        {&txtTele, "txtTele", "Teléfono"},
        {&txtPass, "txtPass", "Contraseña"},
    };
    double y = 130;
    for (const auto& [outlet, name, placeholder] : fields) {
        auto field = formField(ns::CGRectMake(40, y, 295, 44), name, placeholder);
        root->addSubview(field);
        *outlet = field;
        y += 54;
    }
    if (auto mail = txtCorreo.lock()) mail->setKeyboardType(ns::UIKeyboardType::EmailAddress);
    if (auto pass = txtPass.lock()) pass->setSecureTextEntry(true);

    auto create = filledButton(ns::CGRectMake(40, y + 14, 295, 48), "Registrar", "Registrar",
                               hex.colorFromHex(kActionOrange, 1), 18);
    create->addTarget(ns::TargetAction::to(this, "Registrar:", &RegisterViewController::Registrar),
                      ns::UIControlEventTouchUpInside);
    root->addSubview(create);
    auto cancel = ns::UIButton::make(ns::CGRectMake(40, y + 74, 295, 36), "Cancelar");
    cancel->setAccessibilityIdentifier("Cancelar");
    cancel->setTitleColor(ns::UIColor::whiteColor());
    cancel->addTarget(ns::TargetAction::to(this, "Cancelar:", &RegisterViewController::Cancelar),
                      ns::UIControlEventTouchUpInside);
    root->addSubview(cancel);
    setView(root);
}

void RegisterViewController::viewDidLoad() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::UIViewController::viewDidLoad();
    addKeyboardDismissTap();
}

void RegisterViewController::dismissKeyboard() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    view()->endEditing(true);
}

void RegisterViewController::addKeyboardDismissTap() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto tap = ns::UITapGestureRecognizer::make(
        ns::TargetAction::to(this, "dismissKeyboard", &RegisterViewController::dismissKeyboard));
    tap->setCancelsTouchesInView(false);
    view()->addGestureRecognizer(tap);
}

void RegisterViewController::Registrar(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    createAccount();
}

void RegisterViewController::Cancelar(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto login = storyboard()->instantiateViewControllerWithIdentifier(kLoginVID);
    showViewController(login, login);
}

void RegisterViewController::createAccount() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    prepareSpinner(*activityIndicator, view());
    // The fields first: an account is made only for a complete form, so no
    // account is ever left without its profile record.
    if (!validateSignUpFields()) return;
    activityIndicator->startAnimating();
    // Until the answer is handled: a second press cannot start a second
    // creation.
    ns::Application::shared()->beginIgnoringInteractionEvents();
    std::weak_ptr<ns::Object> weak = weak_from_this();
    auto answered = [weak](std::shared_ptr<QRVUser> user, ns::ErrorRef error) {
        if (auto self = std::static_pointer_cast<RegisterViewController>(weak.lock())) {
            self->handleSignUpResult(user, error);
        } else {
            ns::Application::shared()->endIgnoringInteractionEvents();
        }
    };
    auto wait = WaitDeadline::start([answered] { answered(nullptr, WaitDeadline::timedOutError()); });
    QRVAuth::auth()->createUserWithEmail(
        textOf(txtCorreo), textOf(txtPass),
        [wait, answered, ref = ref, record = profileRecord(*this)](std::shared_ptr<QRVUser> user, ns::ErrorRef error) {
            if (wait->end()) return answered(user, error);
            // Too late for the screen, which has shown the time-out; but the
            // account exists, and it gets the profile record it was sent with.
            if (user && !error) ref->child("us3r1nf0")->child(user->uid())->setValue(record);
        });
}

void RegisterViewController::handleSignUpResult(const std::shared_ptr<QRVUser>& user, const ns::ErrorRef& error) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto endWait = [this] {
        activityIndicator->stopAnimating();
        ns::Application::shared()->endIgnoringInteractionEvents();
    };
    if (error || !user) {
        endWait();
        presentAlert(*this, "Error", error ? error->localizedDescription() : std::string(), "Cerrar");
        return;
    }
    ref->child("us3r1nf0")->child(user->uid())->setValue(profileRecord(*this));
    // The signed-in state exactly as sign-in keeps it.
    const bool kept = keepSignIn(textOf(txtCorreo), textOf(txtPass));
    // The main menu inside its navigation controller, as after sign-in, so
    // the menu and the screens behind it work the same way.
    auto navCon = storyboard()->instantiateViewControllerWithIdentifier(kNavConID);
    showViewController(navCon, navCon);
    endWait();
    if (!kept) presentAlert(*navCon, kSignInNotKeptTitle, kSignInNotKeptMessage, "Cerrar");
}

bool RegisterViewController::validateSignUpFields() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    bool valid = true;
    for (const auto* outlet : {&txtNombre, &txtApellido, &txtCorreo, &txtTele, &txtPass}) {
        auto field = outlet->lock();
        if (!field) continue;
        const bool empty = field->text().empty();
        field->layer()->setBorderWidth(empty ? 1.0 : 0.0);
        field->layer()->setBorderColor(empty ? ns::UIColor::redColor().CGColor() : ns::UIColor::grayColor().CGColor());
        if (empty) valid = false;
    }
    return valid;
}

}  // namespace almavel
