#include "app/TarjetaViewController.h"

#include <cmath>

#include "app/MainStoryboard.h"
#include "app/QuoteViewController.h"
#include "app/ScreenStyle.h"
#include "app/ScreenSupport.h"
#include "app/UserDefaultsKeys.h"
#include "auth/QRVAuth.h"
#include "database/api/QRVDatabase.h"
#include "platform/user_defaults.h"
#include "uikit/UIWindow.h"

namespace almavel {

namespace {

std::shared_ptr<ns::UIView> whiteRoot() {
    auto root = ns::UIView::make(ns::UIScreen::mainScreen()->bounds());
    root->setBackgroundColor(ns::UIColor::whiteColor());
    return root;
}

std::shared_ptr<ns::UILabel> addLabel(ns::UIView& root, ns::CGRect frame, const std::string& outlet,
                                      const std::string& text, bool bold = false) {
    auto label = ns::UILabel::make(frame);
    label->setAccessibilityIdentifier(outlet);
    label->setText(text);
    label->setFont(bold ? ns::UIFont::boldSystemFontOfSize(16) : ns::UIFont::systemFontOfSize(16));
    root.addSubview(label);
    return label;
}

std::shared_ptr<ns::UITextField> addField(ns::UIView& root, ns::CGRect frame, const std::string& outlet,
                                          const std::string& placeholder) {
    auto field = ns::UITextField::make(frame);
    field->setAccessibilityIdentifier(outlet);
    field->setPlaceholder(placeholder);
    field->setBorderStyle(ns::UITextBorderStyle::RoundedRect);
    root.addSubview(field);
    return field;
}

// "B/. 1250.00", or empty when the record holds no number there.
std::string amountText(const ns::Value& record, const char* key) {
    const auto amount = doubleField(record, key);
    return amount ? "B/. " + formatAmount(*amount) : std::string();
}

}  // namespace

// MARK: - Check

TarjetaViewController::TarjetaViewController()
    : ns::UIViewController("TarjetaViewController"),
      ref(QRVDatabase::database()->reference()),
      user(signedInUid()) {}

void TarjetaViewController::loadView() {
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

void TarjetaViewController::Validar(const ns::ObjectPtr&) { checkCardAccount(); }

void TarjetaViewController::dismissKeyboard() { view()->endEditing(true); }

void TarjetaViewController::checkCardAccount() {
    if (!user) return;
    const std::string cedula = txtCedula.lock()->text();
    // An empty number would read the whole collection, and ". # $ [ ] /"
    // raise or reach other records: neither names an account.
    if (!isDatabaseKey(cedula)) {
        showScreen(*this, kSrryConID);
        return;
    }
    std::weak_ptr<TarjetaViewController> weak =
        std::static_pointer_cast<TarjetaViewController>(shared_from_this());
    ref->child("cr3d/" + cedula)
        ->observeSingleEventOfType(
            QRVDataEventTypeValue,
            [weak, cedula](QRVDataSnapshotPtr snapshot) {
                if (auto screen = weak.lock()) screen->handleCardSnapshot(snapshot, cedula);
            },
            // A refused read (another member's record) is an account not found.
            [weak](ns::ErrorRef) {
                if (auto screen = weak.lock()) showScreen(*screen, kSrryConID);
            });
}

void TarjetaViewController::handleCardSnapshot(const QRVDataSnapshotPtr& snapshot, const std::string& cedula) {
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

// MARK: - Data

DatosViewController::DatosViewController()
    : ns::UIViewController("DatosViewController"), ref(QRVDatabase::database()->reference()) {
    setTitle("Estado de cuenta");
}

void DatosViewController::loadView() {
    auto root = whiteRoot();
    const double top = ns::UINavigationController::kBarBottom + 16;
    const std::pair<const char*, std::weak_ptr<ns::UILabel>*> rows[] = {
        {"Nombre", &txtName},           {"Cuenta", &txtAccount},         {"Límite", &txtLimit},
        {"Saldo actual", &txtNow},      {"Disponible", &txtDay},         {"Pago mínimo", &txtMin},
        {"Última compra", &txtLast},    {"Monto última compra", &txtAmount}, {"Último pago", &txtPayd},
        {"Monto último pago", &txtLpay},
    };
    static const char* const outlets[] = {"txtName", "txtAccount", "txtLimit", "txtNow",  "txtDay",
                                          "txtMin",  "txtLast",    "txtAmount", "txtPayd", "txtLpay"};
    double y = top;
    size_t i = 0;
    for (const auto& [title, outlet] : rows) {
        addLabel(*root, ns::CGRectMake(16, y, 170, 24), std::string("lbl") + outlets[i], title);
        *outlet = addLabel(*root, ns::CGRectMake(190, y, 169, 24), outlets[i], "", true);
        outlet->lock()->setTextAlignment(ns::NSTextAlignment::Right);
        y += 34;
        ++i;
    }
    setView(root);
}

void DatosViewController::viewDidLoad() {
    ns::UIViewController::viewDidLoad();
    for (auto* label : {&txtLimit, &txtNow, &txtDay, &txtMin, &txtLast, &txtAmount, &txtPayd, &txtLpay, &txtName,
                        &txtAccount}) {
        if (auto l = label->lock()) l->setText("");
    }
    loadCardAccount();
}

void DatosViewController::loadCardAccount() {
    const auto cedula = ns::UserDefaults::standard()->stringForKey(kCedulaKey);
    if (!cedula || !isDatabaseKey(*cedula)) return;
    std::weak_ptr<DatosViewController> weak = std::static_pointer_cast<DatosViewController>(shared_from_this());
    ref->child("cr3d/" + *cedula)
        ->observeSingleEventOfType(
            QRVDataEventTypeValue,
            [weak](QRVDataSnapshotPtr snapshot) {
                if (auto screen = weak.lock()) screen->fillCardAccount(snapshot);
            },
            [](ns::ErrorRef) {});
}

void DatosViewController::fillCardAccount(const QRVDataSnapshotPtr& snapshot) {
    const ns::Value record = snapshot ? snapshot->value() : ns::Value();
    const auto cuenta = stringField(record, "Cuenta");
    if (!cuenta) return;
    txtLimit.lock()->setText(amountText(record, "Limite"));
    txtNow.lock()->setText(amountText(record, "UltSaldo"));
    // What is left of the limit, when both are numbers.
    const auto limit = doubleField(record, "Limite");
    const auto balance = doubleField(record, "UltSaldo");
    if (limit && balance && std::fabs(*limit) < 1e12 && std::fabs(*balance) < 1e12) {
        txtDay.lock()->setText("B/. " + formatCents(std::llround(*limit * 100) - std::llround(*balance * 100)));
    }
    txtMin.lock()->setText(amountText(record, "PagoMin"));
    txtLast.lock()->setText(stringField(record, kPurchaseDateKey).value_or(""));
    txtAmount.lock()->setText(amountText(record, "MontUltComp"));
    txtPayd.lock()->setText(stringField(record, "FecUltPago").value_or(""));
    txtLpay.lock()->setText(amountText(record, "MonUltPago"));
    txtName.lock()->setText(stringField(record, "Nombre").value_or(""));
    txtAccount.lock()->setText(*cuenta);
}

// MARK: - Not found

SorryViewController::SorryViewController() : ns::UIViewController("SorryViewController") {
    setTitle("Tarjeta Almavel");
}

void SorryViewController::loadView() {
    auto root = whiteRoot();
    auto label = addLabel(*root, ns::CGRectMake(24, ns::UINavigationController::kBarBottom + 40, 327, 60), "txtSorry",
                          kNoAccountText);
    label->setNumberOfLines(2);
    label->setTextAlignment(ns::NSTextAlignment::Center);
    setView(root);
}

}  // namespace almavel
