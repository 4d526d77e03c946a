#include "app/QuoteViewController.h"

#include "app/AppConsole.h"
#include "app/MainStoryboard.h"
#include "app/MainViewController.h"
#include "app/Quotation.h"
#include "app/ScreenStyle.h"
#include "app/ScreenSupport.h"
#include "database/api/QRVDatabase.h"
#include "platform/dispatch.h"
#include "uikit/UIWindow.h"

namespace almavel {

int64_t Quotes::lineCents() const {
    const auto unit = priceCents(precio);
    if (!unit || cantidad < 0 || cantidad > kMaxQuantity) return 0;
    return *unit * cantidad;
}

QuoteTableViewCell::QuoteTableViewCell() : ns::UITableViewCell("LabelCell") {
    auto& content = *contentView();
    txtDes = screenLabel(content, ns::CGRectMake(16, 4, 343, 22), "txtDes", 15, true);
    txtCodigo = screenLabel(content, ns::CGRectMake(16, 26, 130, 18), "txtCodigo", 13);
    txtUprice = screenLabel(content, ns::CGRectMake(150, 26, 209, 18), "txtUprice", 13);
    txtCant = screenLabel(content, ns::CGRectMake(16, 46, 130, 18), "txtCant", 13);
    txtLine = screenLabel(content, ns::CGRectMake(150, 46, 209, 18), "txtLine", 13, true);
    // Amounts keep to the right edge and shrink rather than lose digits; a
    // long product name shrinks too.
    for (const auto& label : {txtUprice, txtLine}) label.lock()->setTextAlignment(ns::NSTextAlignment::Right);
    for (const auto& label : {txtDes, txtUprice, txtLine}) {
        label.lock()->setAdjustsFontSizeToFitWidth(true);
        label.lock()->setMinimumScaleFactor(0.7);
    }
}

QuoteViewController::QuoteViewController()
    : ns::UIViewController("QuoteViewController"),
      ref(QRVDatabase::database()->reference()),
      user(signedInUid()) {
    setTitle("Cotizacion");
}

QuoteViewController::~QuoteViewController() { stopObserving(); }

void QuoteViewController::loadView() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
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
    for (const auto& label : {txtSub, txtItbms, txtTotal}) {
        label.lock()->setTextAlignment(ns::NSTextAlignment::Right);
        label.lock()->setAdjustsFontSizeToFitWidth(true);
        label.lock()->setMinimumScaleFactor(0.7);
    }

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
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
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
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
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
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
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
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!snapshot) return;
    const std::string codigo = stringField(snapshot->value(), "codigo").value_or("");
    std::erase_if(quotes, [&](const Quotes& q) { return q.codigo == codigo; });
    if (auto list = table.lock()) list->reloadData();
    recalculateQuoteTotals();
}

void QuoteViewController::recalculateQuoteTotals() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    int64_t subtotal = 0;
    for (const auto& line : quotes) subtotal += line.lineCents();
    const int64_t itbms = itbmsCents(subtotal);
    if (auto l = txtSub.lock()) l->setText("B/. " + formatCents(subtotal));
    if (auto l = txtItbms.lock()) l->setText("B/. " + formatCents(itbms));
    if (auto l = txtTotal.lock()) l->setText("B/. " + formatCents(subtotal + itbms));
}

void QuoteViewController::backtomenu() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    returnToScreen<MainViewController>(*this, kMainStorID);
}

void QuoteViewController::CleanQuote(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    confirmClearQuote();
}

void QuoteViewController::confirmClearQuote() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
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
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!user) return;
    quotes.clear();
    ref->child("qu0t3s")->child("users")->child(*user)->removeValue();
    if (auto list = table.lock()) list->reloadData();
    recalculateQuoteTotals();
}

void QuoteViewController::GenQuote(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
}

void QuoteViewController::back2Menu(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    showScreen(*this, kCapViewID);
}

int QuoteViewController::tableViewNumberOfRowsInSection(ns::UITableView&, int) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    return int(quotes.size());
}

std::shared_ptr<ns::UITableViewCell> QuoteViewController::tableViewCellForRowAtIndexPath(ns::UITableView& tableView,
                                                                                        ns::NSIndexPath indexPath) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
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

}  // namespace almavel
