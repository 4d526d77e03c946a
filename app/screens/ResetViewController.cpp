#include "app/ResetViewController.h"

#include "app/ColorFromHex.h"
#include "app/ScreenStyle.h"
#include "app/ScreenSupport.h"
#include "app/UserDefaultsKeys.h"
#include "app/WaitDeadline.h"
#include "auth/QRVAuth.h"
#include "platform/application.h"
#include "platform/dispatch.h"
#include "platform/user_defaults.h"
#include "uikit/UIWindow.h"

namespace almavel {

ResetViewController::ResetViewController()
    : ns::UIViewController("ResetViewController"), activityIndicator(ns::UIActivityIndicatorView::make()) {
    setTitle("Restablecer contraseña");
}

void ResetViewController::loadView() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    const ColorFromHex hex;
    auto root = ns::UIView::make(ns::UIScreen::mainScreen()->bounds());
    root->setBackgroundColor(hex.colorFromHex(kBrandBlue, 1));
    auto heading = ns::UILabel::make(ns::CGRectMake(20, 110, 335, 60));
    heading->setText("Restablecer contraseña");
    heading->setFont(ns::UIFont::boldSystemFontOfSize(26));
    heading->setTextColor(ns::UIColor::whiteColor());
    heading->setTextAlignment(ns::NSTextAlignment::Center);
    heading->setAdjustsFontSizeToFitWidth(true);
    heading->setMinimumScaleFactor(0.6);
    root->addSubview(heading);
    auto email = formField(ns::CGRectMake(40, 220, 295, 44), "txtEmail", "Correo electrónico");
    email->setKeyboardType(ns::UIKeyboardType::EmailAddress);
    root->addSubview(email);
    txtEmail = email;
    auto send = filledButton(ns::CGRectMake(40, 288, 295, 48), "Enviar correo", "SendMail",
                             hex.colorFromHex(kActionOrange, 1), 18);
    send->addTarget(ns::TargetAction::to(this, "SendMail:", &ResetViewController::SendMail),
                    ns::UIControlEventTouchUpInside);
    root->addSubview(send);
    auto back = ns::UIButton::make(ns::CGRectMake(40, 348, 295, 36), "Regresar");
    back->setAccessibilityIdentifier("Regresar");
    back->setTitleColor(ns::UIColor::whiteColor());
    back->addTarget(ns::TargetAction::to(this, "Regresar:", &ResetViewController::Regresar),
                    ns::UIControlEventTouchUpInside);
    root->addSubview(back);
    setView(root);
}

void ResetViewController::viewDidLoad() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::UIViewController::viewDidLoad();
    addKeyboardDismissTap();
    const ns::Value usuario = ns::UserDefaults::standard()->objectForKey(kUsuarioKey);
    if (auto field = txtEmail.lock()) field->setText(usuario.isString() ? usuario.asString() : "");
}

void ResetViewController::dismissKeyboard() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    view()->endEditing(true);
}

void ResetViewController::addKeyboardDismissTap() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto tap = ns::UITapGestureRecognizer::make(
        ns::TargetAction::to(this, "dismissKeyboard", &ResetViewController::dismissKeyboard));
    tap->setCancelsTouchesInView(false);
    view()->addGestureRecognizer(tap);
}

void ResetViewController::SendMail(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    sendResetMail();
}

// Back to the sign-in screen this one was shown over.
void ResetViewController::Regresar(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    dismissViewControllerAnimated(true);
}

void ResetViewController::sendResetMail() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    prepareSpinner(*activityIndicator, view());
    activityIndicator->startAnimating();
    ns::Application::shared()->beginIgnoringInteractionEvents();

    auto field = txtEmail.lock();
    const std::string text = field ? field->text() : std::string();
    if (text.empty()) {
        presentAlert(*this, "Ingrese su correo", "Debe ingresar su correo primero", "Cerrar");
        activityIndicator->stopAnimating();
        ns::Application::shared()->endIgnoringInteractionEvents();
        return;
    }
    std::weak_ptr<ns::Object> weak = weak_from_this();
    auto answered = [weak, text](ns::ErrorRef error) {
        if (auto self = std::static_pointer_cast<ResetViewController>(weak.lock())) {
            self->handleResetResult(text, error);
        } else {
            ns::Application::shared()->endIgnoringInteractionEvents();
        }
    };
    auto wait = WaitDeadline::start([answered] { answered(WaitDeadline::timedOutError()); });
    QRVAuth::auth()->sendPasswordResetWithEmail(text, wait->guard(answered));
}

void ResetViewController::handleResetResult(const std::string& sentTo, const ns::ErrorRef& error) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (error) {
        presentAlert(*this, "Error", "Vuelva a intentarlo", "Cerrar");
        if (auto field = txtEmail.lock()) field->selectAll(nullptr);
    } else {
        presentAlert(*this, "Completado", "En pocos minutos recibira un correo", "Cerrar");
        ns::UserDefaults::standard()->setString(sentTo, kUsuarioKey);
    }
    activityIndicator->stopAnimating();
    ns::Application::shared()->endIgnoringInteractionEvents();
}

}  // namespace almavel
