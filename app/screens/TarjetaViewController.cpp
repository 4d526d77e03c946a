#include "app/TarjetaViewController.h"

#include "app/MainStoryboard.h"
#include "app/ScreenStyle.h"
#include "app/ScreenSupport.h"
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

std::shared_ptr<ns::UITextField> addField(ns::UIView& root, ns::CGRect frame, const std::string& outlet,
                                          const std::string& placeholder) {
    auto field = ns::UITextField::make(frame);
    field->setAccessibilityIdentifier(outlet);
    field->setPlaceholder(placeholder);
    field->setBorderStyle(ns::UITextBorderStyle::RoundedRect);
    root.addSubview(field);
    return field;
}

}  // namespace

// MARK: - Check

TarjetaViewController::TarjetaViewController()
    : ns::UIViewController("TarjetaViewController"),
      ref(QRVDatabase::database()->reference()),
      user(signedInUid()) {}

void TarjetaViewController::loadView() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto root = whiteRoot();
    const double top = ns::UINavigationController::kBarBottom + 24;
    addLabel(*root, ns::CGRectMake(16, top, 343, 22), "lblCedula", "Cédula");
    txtCedula = addField(*root, ns::CGRectMake(16, top + 26, 343, 36), "txtCedula", "8-000-0000");
    addLabel(*root, ns::CGRectMake(16, top + 74, 343, 22), "lblCuenta", "Número de cuenta");
    txtCuenta = addField(*root, ns::CGRectMake(16, top + 100, 343, 36), "txtCuenta", "Cuenta");
    txtCuenta.lock()->setKeyboardType(ns::UIKeyboardType::NumberPad);
    auto confirm = ns::UIButton::make(ns::CGRectMake(16, top + 156, 343, 44), "Consultar");
    confirm->setAccessibilityIdentifier("btConfirm");
    confirm->setTitleColor(cfhex.colorFromHex(kBrandBlue, 1));
    confirm->addTarget(ns::TargetAction::to(this, "Validar:", &TarjetaViewController::Validar),
                       ns::UIControlEventTouchUpInside);
    root->addSubview(confirm);
    btConfirm = confirm;
    setView(root);
}

void TarjetaViewController::viewDidLoad() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::UIViewController::viewDidLoad();
    auto tap = ns::UITapGestureRecognizer::make(
        ns::TargetAction::to(this, "dismissKeyboard", &TarjetaViewController::dismissKeyboard));
    tap->setCancelsTouchesInView(false);
    view()->addGestureRecognizer(tap);
    setTitle("Tarjeta Almavel");
    if (auto confirm = btConfirm.lock()) outlineBorder(*confirm);
    // The owner is compared with the address the member signed in with: the
    // "usuario" hand-over key is rewritten by other screens (a reset asked
    // for any address) and would open someone else's account.
    if (auto current = QRVAuth::auth()->currentUser()) vEmail = current->email().value_or("");
    if (!user) {
        btConfirm.lock()->setEnabled(false);
        presentAlert(*this, kNoUserTitle, kNoUserMessage, "Cerrar");
    }
}

void TarjetaViewController::Validar(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    checkCardAccount();
}

void TarjetaViewController::dismissKeyboard() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    view()->endEditing(true);
}

void TarjetaViewController::checkCardAccount() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!user) return;
    const std::string cedula = txtCedula.lock()->text();
    // An empty number would read the whole collection, and ". # $ [ ] /"
    // raise or reach other records: neither names an account.
    if (!isDatabaseKey(cedula)) {
        showScreen(*this, kSrryConID);
        return;
    }
    beginWaiting(actInd, view());
    std::weak_ptr<TarjetaViewController> weak =
        std::static_pointer_cast<TarjetaViewController>(shared_from_this());
    // Given up at the deadline the account's fate is unknown, not "not
    // found": the check says the read failed, as the other reads do.
    auto timedOut = waitingCancelBlock(std::static_pointer_cast<ns::UIViewController>(shared_from_this()), actInd);
    auto wait = WaitDeadline::start([timedOut] { timedOut(WaitDeadline::timedOutError()); });
    ref->child("cr3d/" + cedula)
        ->observeSingleEventOfType(
            QRVDataEventTypeValue,
            wait->guard([weak, cedula](QRVDataSnapshotPtr snapshot) {
                if (auto screen = weak.lock()) {
                    endWaiting(screen->actInd, screen->view());
                    screen->handleCardSnapshot(snapshot, cedula);
                } else {
                    ns::Application::shared()->endIgnoringInteractionEvents();
                }
            }),
            // A refused read (another member's record) is an account not found.
            wait->guard([weak](ns::ErrorRef) {
                if (auto screen = weak.lock()) {
                    endWaiting(screen->actInd, screen->view());
                    showScreen(*screen, kSrryConID);
                } else {
                    ns::Application::shared()->endIgnoringInteractionEvents();
                }
            }));
}

void TarjetaViewController::handleCardSnapshot(const QRVDataSnapshotPtr& snapshot, const std::string& cedula) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    const ns::Value record = snapshot ? snapshot->value() : ns::Value();
    const auto cuenta = stringField(record, "Cuenta");
    const auto email = stringField(record, "Email");
    // A record without an owner's address belongs to nobody who can prove it.
    if (cuenta && email && !vEmail.empty() && *cuenta == txtCuenta.lock()->text() && *email == vEmail) {
        ns::UserDefaults::standard()->setString(cedula, kCedulaKey);
        showScreen(*this, kDatosConID);
        return;
    }
    showScreen(*this, kSrryConID);
}

}  // namespace almavel
