#include "app/CantViewController.h"

#include <cmath>
#include <ctime>

#include "app/ColorFromHex.h"
#include "app/MainStoryboard.h"
#include "app/Quotation.h"
#include "app/QuoteViewController.h"
#include "app/ScreenStyle.h"
#include "app/ScreenSupport.h"
#include "app/UserDefaultsKeys.h"
#include "database/api/QRVDatabase.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/user_defaults.h"
#include "uikit/UIWindow.h"

namespace almavel {

namespace {

std::string today() {
    const time_t now = time_t(std::floor(ns::Clock::nowSeconds()));
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[16];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d", &local);
    return buffer;
}

}  // namespace

CantViewController::CantViewController()
    : ns::UIViewController("CantViewController"),
      user(signedInUid()),
      ref(QRVDatabase::database()->reference()) {
    setTitle("Cantidad");
}

void CantViewController::loadView() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto root = ns::UIView::make(ns::UIScreen::mainScreen()->bounds());
    root->setBackgroundColor(ns::UIColor::whiteColor());
    const double top = ns::UINavigationController::kBarBottom + 16;
    txtDes = screenLabel(*root, ns::CGRectMake(16, top, 343, 48), "txtDes", 19, true);
    txtDes.lock()->setNumberOfLines(2);
    txtCod = screenLabel(*root, ns::CGRectMake(16, top + 52, 343, 22), "txtCod", 15);
    txtUprice = screenLabel(*root, ns::CGRectMake(16, top + 82, 343, 24), "txtUprice", 17);
    auto field = ns::UITextField::make(ns::CGRectMake(16, top + 118, 120, 36));
    field->setAccessibilityIdentifier("txtCant");
    field->setKeyboardType(ns::UIKeyboardType::NumberPad);
    root->addSubview(field);
    txtCant = field;
    txtTprice = screenLabel(*root, ns::CGRectMake(16, top + 166, 343, 24), "txtTprice", 17, true);
    auto add = filledButton(ns::CGRectMake(16, top + 210, 343, 44), "Agregar a cotización", "btAdd",
                            ColorFromHex().colorFromHex(kBrandBlue, 1), 17);
    add->addTarget(ns::TargetAction::to(this, "add2Quote:", &CantViewController::add2Quote),
                   ns::UIControlEventTouchUpInside);
    root->addSubview(add);
    btAdd = add;
    setView(root);
}

void CantViewController::viewDidLoad() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::UIViewController::viewDidLoad();
    auto tap = ns::UITapGestureRecognizer::make(
        ns::TargetAction::to(this, "dismissKeyboard", &CantViewController::dismissKeyboard));
    tap->setCancelsTouchesInView(false);
    view()->addGestureRecognizer(tap);
    if (auto field = txtCant.lock()) {
        field->addTarget(ns::TargetAction::to(this, "textViewDidChange:", &CantViewController::textViewDidChange),
                         ns::UIControlEventEditingChanged);
    }
    auto defaults = ns::UserDefaults::standard();
    if (auto d = defaults->stringForKey(kDescripKey)) txtDes.lock()->setText(*d);
    codigo = defaults->stringForKey(kCodigoKey).value_or("");
    txtCod.lock()->setText(codigo);
    vOferta = defaults->doubleForKey(kOfertaKey);
    price = defaults->doubleForKey(kPrecioKey);
    c = formatAmount(vOferta != 0.0 ? vOferta : price);
    txtUprice.lock()->setText("Precio unitario:  B/. " + c);
    txtCant.lock()->setText("1");
    txtTprice.lock()->setText("Total sin ITBMS:  B/. " + c);
    if (!user) {
        btAdd.lock()->setEnabled(false);
        presentAlert(*this, kNoUserTitle, kNoUserMessage, "Cerrar");
    }
}

void CantViewController::textViewDidChange(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto field = txtCant.lock();
    auto total = txtTprice.lock();
    if (!field || !total) return;
    const auto q = parseQuantity(field->text());
    const auto unit = priceCents(c);
    // Nothing to show for a quantity that cannot be added.
    if (field->text().empty() || !q || !unit) {
        total->setText("");
        return;
    }
    total->setText("Total sin ITBMS:  B/. " + formatCents(*unit * *q));
}

void CantViewController::dismissKeyboard() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    view()->endEditing(true);
}

void CantViewController::add2Quote(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!user) {
        presentAlert(*this, kNoUserTitle, kNoUserMessage, "Cerrar");
        return;
    }
    const auto q = parseQuantity(txtCant.lock()->text());
    if (!q) {
        presentAlert(*this, kBadQuantityTitle, kBadQuantityMessage, "Cerrar");
        return;
    }
    if (!isDatabaseKey(codigo) || !priceCents(c)) {
        presentAlert(*this, kBadProductTitle, kBadProductMessage, "Cerrar");
        return;
    }
    ns::Dictionary line{
        {"actualizado", ns::Value(today())},
        {"cantidad", ns::Value(*q)},
        {"codigo", ns::Value(codigo)},
        {"descrip", ns::Value(txtDes.lock()->text())},
        {"fechaOferta", ns::Value(std::string())},
        {"oferta", ns::Value(std::string("0"))},
        {"precio", ns::Value(c)},
        {"userID", ns::Value(*user)},
    };
    ref->child("qu0t3s/users/")->child(*user)->child("quote")->child(codigo)->setValue(ns::Value(std::move(line)));
    returnToScreen<QuoteViewController>(*this, kQuoteViewID);
}

}  // namespace almavel
