#include "app/ViewController.h"

#include "app/AppConsole.h"
#include "app/ColorFromHex.h"
#include "app/MainStoryboard.h"
#include "app/SavedPassword.h"
#include "app/ScreenStyle.h"
#include "app/ScreenSupport.h"
#include "app/SignInState.h"
#include "app/UserDefaultsKeys.h"
#include "app/WaitDeadline.h"
#include "auth/QRVAuth.h"
#include "platform/application.h"
#include "platform/dispatch.h"
#include "platform/user_defaults.h"
#include "uikit/UIWindow.h"

namespace almavel {

ViewController::ViewController() : ns::UIViewController("ViewController") { setTitle("Iniciar sesión"); }

void ViewController::loadView() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    const ColorFromHex hex;
    auto root = ns::UIView::make(ns::UIScreen::mainScreen()->bounds());
    root->setBackgroundColor(hex.colorFromHex(kBrandBlue, 1));

    auto brand = ns::UILabel::make(ns::CGRectMake(20, 110, 335, 50));
    brand->setText("Almavel");
    brand->setFont(ns::UIFont::boldSystemFontOfSize(40));
    brand->setTextColor(ns::UIColor::whiteColor());
    brand->setTextAlignment(ns::NSTextAlignment::Center);
    root->addSubview(brand);
    auto subtitle = ns::UILabel::make(ns::CGRectMake(20, 162, 335, 24));
    subtitle->setText("Asistente de tienda");
    subtitle->setFont(ns::UIFont::systemFontOfSize(17));
    subtitle->setTextColor(hex.colorFromHex(0xffffff, 0.8));
    subtitle->setTextAlignment(ns::NSTextAlignment::Center);
    root->addSubview(subtitle);

    auto user = formField(ns::CGRectMake(40, 250, 295, 44), "txtUser", "Correo electrónico");
    user->setKeyboardType(ns::UIKeyboardType::EmailAddress);
    root->addSubview(user);
    txtUser = user;
    auto pass = formField(ns::CGRectMake(40, 306, 295, 44), "txtPass", "Contraseña");
    pass->setSecureTextEntry(true);
    root->addSubview(pass);
    txtPass = pass;

    auto signIn = filledButton(ns::CGRectMake(40, 374, 295, 48), "Iniciar sesión", "logIn",
                               hex.colorFromHex(kActionOrange, 1), 18);
    signIn->addTarget(ns::TargetAction::to(this, "logIn:", &ViewController::logIn), ns::UIControlEventTouchUpInside);
    root->addSubview(signIn);

    auto forgot = ns::UIButton::make(ns::CGRectMake(40, 436, 295, 32), "¿Olvidó su contraseña?");
    forgot->setAccessibilityIdentifier("forgotPass");
    forgot->setTitleColor(ns::UIColor::whiteColor());
    forgot->setTitleFont(ns::UIFont::systemFontOfSize(15));
    forgot->addTarget(ns::TargetAction::to(this, "forgotPass:", &ViewController::forgotPass),
                      ns::UIControlEventTouchUpInside);
    root->addSubview(forgot);
    // The storyboard's roads from here: the same button goes on to the reset
    // screen, and a second one to sign-up.
    addSegue(kResetConID, kResetConID);
    forgot->addTarget(segueAction(kResetConID), ns::UIControlEventTouchUpInside);
    auto signUp = ns::UIButton::make(ns::CGRectMake(40, 476, 295, 32), "Crear cuenta");
    signUp->setAccessibilityIdentifier("signUp");
    signUp->setTitleColor(ns::UIColor::whiteColor());
    signUp->setTitleFont(ns::UIFont::boldSystemFontOfSize(15));
    addSegue(kRegisterConID, kRegisterConID);
    signUp->addTarget(segueAction(kRegisterConID), ns::UIControlEventTouchUpInside);
    root->addSubview(signUp);

    setView(root);
}

void ViewController::viewDidLoad() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::UIViewController::viewDidLoad();
    addKeyboardDismissTap();

    SavedPassword::migrateFromUserDefaults();
    auto defaults = ns::UserDefaults::standard();
    const ns::Value logged = defaults->objectForKey(kLoggedKey);
    if (!logged.isNull()) loggedIn = logged.isString() ? logged.asString() : logged.description();

    ns::Value usuario = defaults->objectForKey(kUsuarioKey);
    if (const ns::ErrorRef unread = defaults->readError()) {
        // Preferences that cannot be read now say nothing of the sign-in, and
        // nothing may be undone for them: what they lack is taken from the
        // SDK's session, and the password saved for its address (a sign-out
        // removes it first) decides as at any launch.
        AppConsole::write("Preferences could not be read: " + unread->localizedDescription());
        auto user = QRVAuth::auth()->currentUser();
        if (user && user->email()) {
            if (logged.isNull()) loggedIn = "1";
            if (!usuario.isString()) usuario = *user->email();
        }
    }
    std::optional<std::string> clave;
    bool claveUnread = false;
    if (usuario.isString()) clave = SavedPassword::passwordForUser(usuario.asString(), &claveUnread);
    if (auto field = txtUser.lock()) field->setText(usuario.isString() ? usuario.asString() : "");
    if (auto field = txtPass.lock()) field->setText(clave.value_or(""));

    if (usuario.isString() && clave && loggedIn == "1") {
        beginWaiting();
        signInWithFields();
    } else if (usuario.isString() && claveUnread && loggedIn == "1") {
        enterWithKeptSession(usuario.asString());
    } else {
        signOutLeftoverSession();
    }
}

// A saved password that cannot be read now says nothing of the sign-in, and
// the session may not be removed for it: the clerk is signed in with the
// session the SDK kept for the stored address, as a sign-in whose renewed
// session could not be saved is, and otherwise signs in by hand.
void ViewController::enterWithKeptSession(const std::string& email) {
    auto user = QRVAuth::auth()->currentUser();
    if (!user || user->email() != email) return;
    AppConsole::write("Signed in with the kept session of " + email);
    std::weak_ptr<ns::Object> weak = weak_from_this();
    ns::DispatchQueue::main()->async([weak] {
        auto self = std::static_pointer_cast<ViewController>(weak.lock());
        if (!self) return;
        auto navCon = self->storyboard()->instantiateViewControllerWithIdentifier(kNavConID);
        self->showViewController(navCon, navCon);
    });
}

// "logged" is stored after the session a sign-in makes and before a
// sign-out removes it, so a session found while "logged" is not "1" belongs
// to a sign-out or a sign-in that the app's end cut short (and one found
// without the saved password cannot be renewed by this screen): the screen
// shows the clerk signed out, and the SDK is made to agree, so that the app
// is signed in exactly when the SDK has a user. Nothing here can undo a
// sign-out: the session's removal is the only write, and while it fails
// the next launch finds the same stores and tries it again.
void ViewController::signOutLeftoverSession() {
    auto auth = QRVAuth::auth();
    if (!auth->currentUser()) return;
    ns::ErrorRef error;
    if (!auth->signOut(&error)) {
        AppConsole::write("Error signing out: " + (error ? error->localizedDescription() : std::string()));
    }
}

void ViewController::logIn(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    beginWaiting();
    signInWithFields();
}

void ViewController::forgotPass(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::ErrorRef error;
    if (!QRVAuth::auth()->signOut(&error)) {
        AppConsole::write("Error signing out: " + (error ? error->localizedDescription() : std::string()));
        return;
    }
    AppConsole::write("signed out");
}

void ViewController::dismissKeyboard() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    view()->endEditing(true);
}

void ViewController::addKeyboardDismissTap() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto tap = ns::UITapGestureRecognizer::make(
        ns::TargetAction::to(this, "dismissKeyboard", &ViewController::dismissKeyboard));
    tap->setCancelsTouchesInView(false);
    view()->addGestureRecognizer(tap);
}

void ViewController::signInWithFields() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto user = txtUser.lock();
    auto pass = txtPass.lock();
    std::weak_ptr<ns::Object> weak = weak_from_this();
    auto answered = [weak](std::shared_ptr<QRVUser> signedIn, ns::ErrorRef error) {
        if (auto self = std::static_pointer_cast<ViewController>(weak.lock())) {
            self->handleSignInResult(signedIn, error);
        } else {
            // The screen is gone; what it began must still end.
            ns::Application::shared()->endIgnoringInteractionEvents();
        }
    };
    // No answer by the deadline is a failed sign-in; a later one is dropped.
    auto wait = WaitDeadline::start([answered] { answered(nullptr, WaitDeadline::timedOutError()); });
    QRVAuth::auth()->signInWithEmail(user ? std::optional(user->text()) : std::nullopt,
                                     pass ? std::optional(pass->text()) : std::nullopt, wait->guard(answered));
}

void ViewController::handleSignInResult(const std::shared_ptr<QRVUser>& user, const ns::ErrorRef& error) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto field = txtUser.lock();
    auto pass = txtPass.lock();
    const std::string email = field ? field->text() : std::string();
    // The SDK still holding the session it restored, for this address, when
    // it could not save the renewed one: the clerk is signed in with it, as
    // the SDK is, so the app and the SDK agree.
    const bool keptSession = signedInWithKeptSession(error, email);
    if (error && !keptSession) {
        AppConsole::write("error: ");
        endWaiting();
        const bool notSaved =
            error->domain() == kQRVAuthErrorDomain && error->code() == QRVAuthErrorCodeKeychainError;
        auto alert = ns::UIAlertController::alertControllerWithTitle(
            "Login Error", notSaved ? kSessionNotSavedMessage : "Usuario o contraseña incorrectos, vuelva a intentar",
            ns::UIAlertControllerStyle::Alert);
        alert->addAction(ns::UIAlertAction::actionWithTitle("Cerrar", ns::UIAlertActionStyle::Default));
        presentViewController(alert, true);
        return;
    }
    if (keptSession) AppConsole::write("Unable to keep the session: " + error->localizedDescription());
    const bool kept = keepSignIn(email, pass ? pass->text() : std::string());

    auto navCon = storyboard()->instantiateViewControllerWithIdentifier(kNavConID);
    showViewController(navCon, navCon);
    endWaiting();
    // Signed in for this run; the next launch, not finding it all, asks for
    // the password and signs out the session the SDK kept.
    if (!kept) presentAlert(*navCon, kSignInNotKeptTitle, kSignInNotKeptMessage, "Cerrar");
}

void ViewController::beginWaiting() {
    actInd.showActivityIndicator(view());
    ns::Application::shared()->beginIgnoringInteractionEvents();
}

void ViewController::endWaiting() {
    actInd.hideActivityIndicator(view());
    ns::Application::shared()->endIgnoringInteractionEvents();
}

}  // namespace almavel
