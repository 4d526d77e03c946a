#include "app/QuoteViewController.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "app/AppConsole.h"
#include "app/MainStoryboard.h"
#include "app/MainViewController.h"
#include "app/ScreenStyle.h"
#include "app/ScreenSupport.h"
#include "app/UserDefaultsKeys.h"
#include "auth/QRVAuth.h"
#include "database/api/QRVDatabase.h"
#include "platform/clock.h"
#include "platform/user_defaults.h"
#include "uikit/UIWindow.h"

namespace almavel {

namespace {

// Prices from a billion cents up are not prices this store writes.
constexpr int64_t kMaxPriceCents = 1'000'000'000;

std::string today() {
    const time_t now = time_t(std::floor(ns::Clock::nowSeconds()));
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[16];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d", &local);
    return buffer;
}

// Pops back to the screen of class T when the navigation stack holds one,
// so going back and forth never piles up copies; makes a new one only
// when there is none.
template <class T>
void returnToScreen(ns::UIViewController& from, const char* identifier) {
    if (auto nav = from.navigationController()) {
        auto stack = nav->viewControllers();
        for (size_t i = stack.size(); i-- > 0;) {
            if (!std::dynamic_pointer_cast<T>(stack[i])) continue;
            stack.resize(i + 1);
            nav->setViewControllers(std::move(stack), true);
            return;
        }
    }
    showScreen(from, identifier);
}

}  // namespace

std::optional<std::string> signedInUid() {
    if (auto current = QRVAuth::auth()->currentUser()) return current->uid();
    return std::nullopt;
}

// MARK: - Money

std::optional<int64_t> parseQuantity(const std::string& text) {
    size_t i = !text.empty() && text[0] == '+' ? 1 : 0;
    if (i == text.size()) return std::nullopt;
    int64_t q = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        q = q * 10 + (text[i] - '0');
        if (q > kMaxQuantity) return std::nullopt;
    }
    if (q < 1) return std::nullopt;
    return q;
}

std::optional<int64_t> priceCents(const std::string& text) {
    int64_t whole = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        whole = whole * 10 + (text[i] - '0');
        if (whole * 100 >= kMaxPriceCents) return std::nullopt;
    }
    const size_t wholeDigits = i;
    int64_t fraction = 0;   // the first two decimals
    int scale = 100;
    bool roundUp = false;
    if (i < text.size() && text[i] == '.') {
        ++i;
        int place = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++place) {
            if (place < 2) {
                scale /= 10;
                fraction += (text[i] - '0') * scale;
            } else if (place == 2) {
                roundUp = text[i] >= '5';
            }
        }
        if (place == 0 && wholeDigits == 0) return std::nullopt;
    }
    if (i != text.size() || (wholeDigits == 0 && i == 0)) return std::nullopt;
    return whole * 100 + fraction + (roundUp ? 1 : 0);
}

int64_t itbmsCents(int64_t subtotalCents) {
    // Half up for the amounts a quote can hold (never negative).
    return (subtotalCents * 7 + 50) / 100;
}

std::string formatCents(int64_t cents) {
    const bool negative = cents < 0;
    const uint64_t magnitude = negative ? uint64_t(0) - uint64_t(cents) : uint64_t(cents);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%s%llu.%02llu", negative ? "-" : "", (unsigned long long)(magnitude / 100),
                  (unsigned long long)(magnitude % 100));
    return buffer;
}

int64_t Quotes::lineCents() const {
    const auto unit = priceCents(precio);
    if (!unit || cantidad < 0 || cantidad > kMaxQuantity) return 0;
    return *unit * cantidad;
}

QuoteTableViewCell::QuoteTableViewCell() : ns::UITableViewCell("LabelCell") {
    auto& content = *contentView();
    txtDes = screenLabel(content, ns::CGRectMake(16, 4, 343, 22), "txtDes", 15, true);
    txtCodigo = screenLabel(content, ns::CGRectMake(16, 26, 170, 18), "txtCodigo", 13);
    txtUprice = screenLabel(content, ns::CGRectMake(190, 26, 169, 18), "txtUprice", 13);
    txtCant = screenLabel(content, ns::CGRectMake(16, 46, 170, 18), "txtCant", 13);
    txtLine = screenLabel(content, ns::CGRectMake(190, 46, 169, 18), "txtLine", 13, true);
}

// MARK: - Quantity

CantViewController::CantViewController()
    : ns::UIViewController("CantViewController"),
      user(signedInUid()),
      ref(QRVDatabase::database()->reference()) {
    setTitle("Cantidad");
}

void CantViewController::loadView() {
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

void CantViewController::dismissKeyboard() { view()->endEditing(true); }

void CantViewController::add2Quote(const ns::ObjectPtr&) {
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

// MARK: - Quotation

QuoteViewController::QuoteViewController()
    : ns::UIViewController("QuoteViewController"),
      ref(QRVDatabase::database()->reference()),
      user(signedInUid()) {
    setTitle("Cotizacion");
}

QuoteViewController::~QuoteViewController() { stopObserving(); }

void QuoteViewController::loadView() {
    const ns::CGRect screen = ns::UIScreen::mainScreen()->bounds();
    auto root = ns::UIView::make(screen);
    root->setBackgroundColor(ns::UIColor::whiteColor());
    const double top = ns::UINavigationController::kBarBottom;
    const double bottom = screen.height() - 150;

    auto list = ns::UITableView::make(ns::CGRectMake(0, top, screen.width(), bottom - top));
    list->setAccessibilityIdentifier("table");
    list->setRowHeight(70);
    list->registerCellFactory("LabelCell", [] { return std::make_shared<QuoteTableViewCell>(); });
    root->addSubview(list);
    table = list;

    screenLabel(*root, ns::CGRectMake(16, bottom + 4, 150, 22), "lblSub", 15)->setText("Subtotal:");
    screenLabel(*root, ns::CGRectMake(16, bottom + 28, 150, 22), "lblItbms", 15)->setText("ITBMS (7%):");
    screenLabel(*root, ns::CGRectMake(16, bottom + 52, 150, 22), "lblTotal", 15, true)->setText("Total:");
    txtSub = screenLabel(*root, ns::CGRectMake(170, bottom + 4, 189, 22), "txtSub", 15);
    txtItbms = screenLabel(*root, ns::CGRectMake(170, bottom + 28, 189, 22), "txtItbms", 15);
    txtTotal = screenLabel(*root, ns::CGRectMake(170, bottom + 52, 189, 22), "txtTotal", 15, true);
    for (const auto& label : {txtSub, txtItbms, txtTotal}) label.lock()->setTextAlignment(ns::NSTextAlignment::Right);

    auto clean = outlinedButton(*root, ns::CGRectMake(16, bottom + 84, 107, 44), "Limpiar", "btClean");
    clean->addTarget(ns::TargetAction::to(this, "CleanQuote:", &QuoteViewController::CleanQuote),
                     ns::UIControlEventTouchUpInside);
    btClean = clean;
    auto gen = outlinedButton(*root, ns::CGRectMake(134, bottom + 84, 107, 44), "Generar", "btGen");
    gen->addTarget(ns::TargetAction::to(this, "GenQuote:", &QuoteViewController::GenQuote),
                   ns::UIControlEventTouchUpInside);
    btGen = gen;
    auto scan = outlinedButton(*root, ns::CGRectMake(252, bottom + 84, 107, 44), "Escanear", "back2Menu");
    scan->addTarget(ns::TargetAction::to(this, "back2Menu:", &QuoteViewController::back2Menu),
                    ns::UIControlEventTouchUpInside);
    back2Menu_ = scan;
    setView(root);
}

void QuoteViewController::viewDidLoad() {
    ns::UIViewController::viewDidLoad();
    navigationItem()->setHidesBackButton(true);
    auto menu = ns::UIBarButtonItem::make("Menu", ns::UIBarButtonItemStyle::Plain,
                                          ns::TargetAction::to(this, "backtomenu", &QuoteViewController::backtomenu));
    menu->setAccessibilityIdentifier("Menu");
    navigationItem()->setLeftBarButtonItem(menu);
    if (auto list = table.lock()) {
        auto self = shared_from_this();
        list->setDelegate(std::dynamic_pointer_cast<ns::UITableViewDelegate>(self));
        list->setDataSource(std::dynamic_pointer_cast<ns::UITableViewDataSource>(self));
    }
    for (const auto& weak : {btClean, btGen, back2Menu_}) {
        if (auto button = weak.lock()) outlineBorder(*button);
    }
    recalculateQuoteTotals();
    observeQuoteLines();
}

void QuoteViewController::observeQuoteLines() {
    if (!user) {
        // No uid, no path: say so instead of reading someone else's node.
        btClean.lock()->setEnabled(false);
        presentAlert(*this, kNoUserTitle, kNoUserMessage, "Cerrar");
        return;
    }
    stopObserving();
    beginWaiting(actInd, view());
    quoteRef_ = ref->child("qu0t3s")->child("users")->child(*user)->child("quote");
    auto self = std::static_pointer_cast<QuoteViewController>(shared_from_this());
    std::weak_ptr<QuoteViewController> weak = self;
    auto onLine = [weak](QRVDataSnapshotPtr snapshot) {
        if (auto screen = weak.lock()) screen->appendQuoteLine(snapshot);
    };
    // The wait ended as soon as the observer was registered, so a refusal
    // only has to say so.
    auto refused = [weak](ns::ErrorRef error) {
        if (auto screen = weak.lock()) presentAlert(*screen, kReadFailedTitle, readFailedMessage(error), "Cerrar");
    };
    handles_.push_back(quoteRef_->observeEventType(QRVDataEventTypeChildAdded, onLine, refused));
    handles_.push_back(quoteRef_->observeEventType(QRVDataEventTypeChildChanged, onLine));
    handles_.push_back(quoteRef_->observeEventType(QRVDataEventTypeChildRemoved, [weak](QRVDataSnapshotPtr snapshot) {
        if (auto screen = weak.lock()) screen->removeQuoteLine(snapshot);
    }));
    endWaiting(actInd, view());
}

void QuoteViewController::stopObserving() {
    if (quoteRef_) {
        for (auto handle : handles_) quoteRef_->removeObserverWithHandle(handle);
    }
    handles_.clear();
}

void QuoteViewController::appendQuoteLine(const QRVDataSnapshotPtr& snapshot) {
    if (!snapshot) return;
    const std::string key = snapshot->key().value_or("");
    AppConsole::write(key);
    const ns::Value value = snapshot->value();
    Quotes line;
    line.descrip = stringField(value, "descrip").value_or("");
    line.codigo = stringField(value, "codigo").value_or("");
    line.cantidad = integerField(value, "cantidad").value_or(0);
    line.precio = stringField(value, "precio").value_or("");
    // One line per stored code: a replaced line takes its old place.
    bool replaced = false;
    for (auto& existing : quotes) {
        if (existing.codigo == line.codigo && !line.codigo.empty()) {
            existing = line;
            replaced = true;
            break;
        }
    }
    if (!replaced) quotes.push_back(std::move(line));
    if (auto list = table.lock()) list->reloadData();
    recalculateQuoteTotals();
}

void QuoteViewController::removeQuoteLine(const QRVDataSnapshotPtr& snapshot) {
    if (!snapshot) return;
    const std::string codigo = stringField(snapshot->value(), "codigo").value_or("");
    std::erase_if(quotes, [&](const Quotes& q) { return q.codigo == codigo; });
    if (auto list = table.lock()) list->reloadData();
    recalculateQuoteTotals();
}

void QuoteViewController::recalculateQuoteTotals() {
    int64_t subtotal = 0;
    for (const auto& line : quotes) subtotal += line.lineCents();
    const int64_t itbms = itbmsCents(subtotal);
    if (auto l = txtSub.lock()) l->setText("B/. " + formatCents(subtotal));
    if (auto l = txtItbms.lock()) l->setText("B/. " + formatCents(itbms));
    if (auto l = txtTotal.lock()) l->setText("B/. " + formatCents(subtotal + itbms));
}

void QuoteViewController::backtomenu() { returnToScreen<MainViewController>(*this, kMainStorID); }

void QuoteViewController::CleanQuote(const ns::ObjectPtr&) { confirmClearQuote(); }

void QuoteViewController::confirmClearQuote() {
    auto alert = ns::UIAlertController::alertControllerWithTitle("Limpiar cotización",
                                                                 "¿Desea limpiar todos los productos?",
                                                                 ns::UIAlertControllerStyle::Alert);
    alert->addAction(ns::UIAlertAction::actionWithTitle("Cancelar", ns::UIAlertActionStyle::Default, {}));
    std::weak_ptr<QuoteViewController> weak = std::static_pointer_cast<QuoteViewController>(shared_from_this());
    alert->addAction(ns::UIAlertAction::actionWithTitle("OK", ns::UIAlertActionStyle::Default, [weak](const auto&) {
        if (auto screen = weak.lock()) screen->clearQuote();
    }));
    presentViewController(alert, true);
}

void QuoteViewController::clearQuote() {
    if (!user) return;
    quotes.clear();
    ref->child("qu0t3s")->child("users")->child(*user)->removeValue();
    if (auto list = table.lock()) list->reloadData();
    recalculateQuoteTotals();
}

void QuoteViewController::GenQuote(const ns::ObjectPtr&) {}

void QuoteViewController::back2Menu(const ns::ObjectPtr&) { showScreen(*this, kCapViewID); }

int QuoteViewController::tableViewNumberOfRowsInSection(ns::UITableView&, int) { return int(quotes.size()); }

std::shared_ptr<ns::UITableViewCell> QuoteViewController::tableViewCellForRowAtIndexPath(ns::UITableView& tableView,
                                                                                        ns::NSIndexPath indexPath) {
    auto cell = std::dynamic_pointer_cast<QuoteTableViewCell>(
        tableView.dequeueReusableCellWithIdentifier("LabelCell", indexPath));
    if (!cell || indexPath.row < 0 || size_t(indexPath.row) >= quotes.size()) return cell;
    const Quotes& line = quotes[size_t(indexPath.row)];
    if (auto l = cell->txtDes.lock()) l->setText(line.descrip);
    if (auto l = cell->txtCodigo.lock()) l->setText(line.codigo);
    if (auto l = cell->txtCant.lock()) l->setText("Cantidad: " + std::to_string(line.cantidad));
    if (auto l = cell->txtUprice.lock()) l->setText("B/. " + line.precio);
    if (auto l = cell->txtLine.lock()) l->setText("Total en linea: B/. " + formatCents(line.lineCents()));
    return cell;
}

// MARK: - Line detail

EditViewController::EditViewController() : ns::UIViewController("EditViewController") {}

void EditViewController::loadView() {
    auto root = ns::UIView::make(ns::UIScreen::mainScreen()->bounds());
    root->setBackgroundColor(ns::UIColor::whiteColor());
    const double top = ns::UINavigationController::kBarBottom + 16;
    txtCodigo = screenLabel(*root, ns::CGRectMake(16, top, 343, 22), "txtCodigo", 15);
    txtDescrip = screenLabel(*root, ns::CGRectMake(16, top + 28, 343, 22), "txtDescrip", 15);
    txtPrecioU = screenLabel(*root, ns::CGRectMake(16, top + 56, 343, 22), "txtPrecioU", 15);
    txtPrecioT = screenLabel(*root, ns::CGRectMake(16, top + 84, 343, 22), "txtPrecioT", 15);
    setView(root);
}

void EditViewController::EliminarArt(const ns::ObjectPtr&) {}
void EditViewController::ModArt(const ns::ObjectPtr&) {}

}  // namespace almavel
