#include "app/DatosViewController.h"

#include <cmath>

#include "app/Quotation.h"
#include "app/ScreenStyle.h"
#include "app/ScreenSupport.h"
#include "app/UserDefaultsKeys.h"
#include "database/api/QRVDatabase.h"
#include "platform/dispatch.h"
#include "platform/user_defaults.h"
#include "uikit/UIWindow.h"

namespace almavel {

namespace {

// "B/. 1250.00", or empty when the record holds no number there.
std::string amountText(const ns::Value& record, const char* key) {
    const auto amount = doubleField(record, key);
    return amount ? "B/. " + formatAmount(*amount) : std::string();
}

}  // namespace

// MARK: - Data

DatosViewController::DatosViewController()
    : ns::UIViewController("DatosViewController"), ref(QRVDatabase::database()->reference()) {
    setTitle("Estado de cuenta");
}

void DatosViewController::loadView() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
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
        // The holder's name may take two lines; the other rows one.
        const bool name = outlet == &txtName;
        const double height = name ? 44 : 24;
        auto heading = addLabel(*root, ns::CGRectMake(16, y, 166, height), std::string("lbl") + outlets[i], title);
        auto value = addLabel(*root, ns::CGRectMake(186, y, 173, height), outlets[i], "", true);
        value->setTextAlignment(ns::NSTextAlignment::Right);
        value->setNumberOfLines(name ? 2 : 1);
        // Headings, names and amounts shrink rather than lose their ends.
        for (const auto& label : {heading, value}) {
            label->setAdjustsFontSizeToFitWidth(true);
            label->setMinimumScaleFactor(0.7);
        }
        *outlet = value;
        y += height + 10;
        ++i;
    }
    setView(root);
}

void DatosViewController::viewDidLoad() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::UIViewController::viewDidLoad();
    for (auto* label : {&txtLimit, &txtNow, &txtDay, &txtMin, &txtLast, &txtAmount, &txtPayd, &txtLpay, &txtName,
                        &txtAccount}) {
        if (auto l = label->lock()) l->setText("");
    }
    loadCardAccount();
}

void DatosViewController::loadCardAccount() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
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
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
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

}  // namespace almavel
