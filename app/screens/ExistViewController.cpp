#include "app/ExistViewController.h"

#include "app/AppConsole.h"
#include "app/ColorFromHex.h"
#include "app/MainStoryboard.h"
#include "app/ScreenStyle.h"
#include "app/ScreenSupport.h"
#include "app/StockPlaces.h"
#include "app/UserDefaultsKeys.h"
#include "database/api/QRVDatabase.h"
#include "platform/application.h"
#include "platform/user_defaults.h"
#include "uikit/UIWindow.h"

namespace almavel {

namespace {

std::shared_ptr<ns::UILabel> rowLabel(ns::UIView& content, ns::CGRect frame, const std::string& outlet,
                                      bool bold = false) {
    auto label = ns::UILabel::make(frame);
    label->setAccessibilityIdentifier(outlet);
    label->setFont(bold ? ns::UIFont::boldSystemFontOfSize(16) : ns::UIFont::systemFontOfSize(16));
    content.addSubview(label);
    return label;
}

// Adds without leaving the 64-bit range: a sum past it stays at the bound.
void addToTotal(int64_t& total, int64_t value) {
    if (__builtin_add_overflow(total, value, &total)) total = value > 0 ? INT64_MAX : INT64_MIN;
}

// The units a stock record holds at a place; a missing or ill-typed field
// holds nothing.
int64_t unitsAt(const ns::Value& record, const StockPlace& place) {
    return integerField(record, stockField(place).c_str()).value_or(0);
}

// A stock record is one whose first place holds a whole number.
bool isStockRecord(const ns::Value& record) {
    return integerField(record, stockField(kStockPlaces[0]).c_str()).has_value();
}

std::string codeFromDefaults() {
    const ns::Value codigo = ns::UserDefaults::standard()->objectForKey(kCodigoKey);
    return codigo.isString() ? codigo.asString() : std::string();
}

}  // namespace

ExistTableViewCell::ExistTableViewCell() : ns::UITableViewCell("LabelCell") {
    txtSuc = rowLabel(*contentView(), ns::CGRectMake(16, 10, 250, 24), "txtSuc");
    txtExist = rowLabel(*contentView(), ns::CGRectMake(270, 10, 89, 24), "txtExist", true);
    txtExist.lock()->setTextAlignment(ns::NSTextAlignment::Right);
}

IngresoTableViewCell::IngresoTableViewCell() : ns::UITableViewCell("LabelCell") {
    txtSucur = rowLabel(*contentView(), ns::CGRectMake(16, 10, 230, 24), "txtSucur");
    txtFecha = rowLabel(*contentView(), ns::CGRectMake(250, 10, 109, 24), "txtFecha", true);
    txtFecha.lock()->setTextAlignment(ns::NSTextAlignment::Right);
}

// MARK: - Shared

StockRecordScreen::StockRecordScreen(std::string className)
    : ns::UIViewController(std::move(className)), ref(QRVDatabase::database()->reference()) {}

void StockRecordScreen::readRecord(const std::string& root, const std::string& code,
                                   std::function<void(StockRecordScreen&, const QRVDataSnapshotPtr&)> fill) {
    if (!isDatabaseKey(code)) {
        showNotFound(code);
        return;
    }
    beginWaiting(actInd, view());
    auto self = std::static_pointer_cast<StockRecordScreen>(shared_from_this());
    std::weak_ptr<StockRecordScreen> weak = self;
    ref->child(root)->child(code)->observeSingleEventOfType(
        QRVDataEventTypeValue,
        [weak, fill = std::move(fill)](QRVDataSnapshotPtr snapshot) {
            if (auto screen = weak.lock()) {
                fill(*screen, snapshot);
            } else {
                ns::Application::shared()->endIgnoringInteractionEvents();
            }
        },
        waitingCancelBlock(self, actInd));
}

std::optional<ns::Value> StockRecordScreen::recordOrNotFound(const QRVDataSnapshotPtr& snapshot,
                                                             const std::string& code,
                                                             const std::function<bool(const ns::Value&)>& isRecord) {
    ns::Value record = snapshot ? snapshot->value() : ns::Value();
    if (isRecord(record)) return record;
    endWaiting(actInd, view());
    showNotFound(code);
    return std::nullopt;
}

void StockRecordScreen::showNotFound(const std::string& code) {
    presentAlert(*this, kNotFoundTitle, kNotFoundMessage + code, "Cerrar");
}

std::shared_ptr<ns::UITableView> StockRecordScreen::makeTable(
    ns::UIView& root, ns::CGRect frame, std::function<std::shared_ptr<ns::UITableViewCell>()> factory) {
    auto list = ns::UITableView::make(frame);
    list->setAccessibilityIdentifier("table");
    list->setRowHeight(44);
    list->registerCellFactory("LabelCell", std::move(factory));
    root.addSubview(list);
    auto self = shared_from_this();
    list->setDelegate(std::dynamic_pointer_cast<ns::UITableViewDelegate>(self));
    list->setDataSource(std::dynamic_pointer_cast<ns::UITableViewDataSource>(self));
    return list;
}

// MARK: - Stock per store

ExistViewController::ExistViewController() : StockRecordScreen("ExistViewController") { setTitle("Existencia"); }

void ExistViewController::loadView() {
    const ns::CGRect screen = ns::UIScreen::mainScreen()->bounds();
    auto root = ns::UIView::make(screen);
    root->setBackgroundColor(ns::UIColor::whiteColor());
    const double top = ns::UINavigationController::kBarBottom;

    auto sorry = ns::UILabel::make(ns::CGRectMake(24, top + 24, screen.width() - 48, 60));
    sorry->setAccessibilityIdentifier("txtSorry");
    sorry->setText(kStockSorryText);
    sorry->setNumberOfLines(2);
    sorry->setTextAlignment(ns::NSTextAlignment::Center);
    sorry->setTextColor(ColorFromHex().colorFromHex(0x7F8C8D, 1));
    root->addSubview(sorry);
    txtSorry = sorry;
    sorryConstraint_ = ns::NSLayoutConstraint::constraintWithItem(sorry, ns::NSLayoutAttribute::Top, root,
                                                                  ns::NSLayoutAttribute::Top, 1, top + 24);
    sorryConstraint_->setActive(true);
    topSrry = sorryConstraint_;

    table = makeTable(*root, ns::CGRectMake(0, top, screen.width(), screen.height() - top - 64),
                      [] { return std::make_shared<ExistTableViewCell>(); });

    auto receipts = filledButton(ns::CGRectMake(16, screen.height() - 56, screen.width() - 32, 44),
                                 "Último ingreso", "UltimoIngreso", ColorFromHex().colorFromHex(kBrandBlue, 1), 17);
    receipts->addTarget(ns::TargetAction::to(this, "UltimoIngreso:", &ExistViewController::UltimoIngreso),
                        ns::UIControlEventTouchUpInside);
    root->addSubview(receipts);
    setView(root);
}

void ExistViewController::viewDidLoad() {
    ns::UIViewController::viewDidLoad();
    if (auto sorry = txtSorry.lock()) sorry->setHidden(true);
    loadStockPerStore(codeFromDefaults());
}

void ExistViewController::UltimoIngreso(const ns::ObjectPtr&) { showScreen(*this, kUltIngID); }

void ExistViewController::loadStockPerStore(const std::string& code) {
    auto total = std::make_shared<int64_t>(0);
    readRecord("d1sp01", code, [total, code](StockRecordScreen& screen, const QRVDataSnapshotPtr& snapshot) {
        static_cast<ExistViewController&>(screen).fillStockPerStore(snapshot, total, code);
    });
}

void ExistViewController::fillStockPerStore(const QRVDataSnapshotPtr& snapshot, const std::shared_ptr<int64_t>& total,
                                            const std::string& code) {
    const auto record = recordOrNotFound(snapshot, code, isStockRecord);
    if (!record) return;
    for (const auto& place : kStockPlaces) {
        // Only the first place decides whether the record exists.
        const int64_t units = unitsAt(*record, place);
        if (units != 0) exists.push_back(Exist{place.name, units});
        addToTotal(*total, units);
    }
    // No stock means no row: units that cancel out (5 and -5) still have
    // their rows to show.
    if (exists.empty()) {
        if (auto list = table.lock()) list->setHidden(true);
        if (auto sorry = txtSorry.lock()) sorry->setHidden(false);
        if (auto constraint = topSrry.lock()) constraint->setConstant(80.0);
    }
    if (auto list = table.lock()) list->reloadData();
    endWaiting(actInd, view());
}

int ExistViewController::tableViewNumberOfRowsInSection(ns::UITableView&, int) { return int(exists.size()); }

std::shared_ptr<ns::UITableViewCell> ExistViewController::tableViewCellForRowAtIndexPath(ns::UITableView& tableView,
                                                                                        ns::NSIndexPath indexPath) {
    auto cell = std::dynamic_pointer_cast<ExistTableViewCell>(
        tableView.dequeueReusableCellWithIdentifier("LabelCell", indexPath));
    if (!cell || indexPath.row < 0 || size_t(indexPath.row) >= exists.size()) return cell;
    const Exist& row = exists[size_t(indexPath.row)];
    if (auto l = cell->txtSuc.lock()) l->setText(row.sucursal);
    if (auto l = cell->txtExist.lock()) l->setText(std::to_string(row.exist));
    return cell;
}

// MARK: - Last receipt per store

IngresoViewController::IngresoViewController() : StockRecordScreen("IngresoViewController") {
    setTitle("Último ingreso");
}

void IngresoViewController::loadView() {
    const ns::CGRect screen = ns::UIScreen::mainScreen()->bounds();
    auto root = ns::UIView::make(screen);
    root->setBackgroundColor(ns::UIColor::whiteColor());
    const double top = ns::UINavigationController::kBarBottom;
    auto none = ns::UILabel::make(ns::CGRectMake(24, top + 80, screen.width() - 48, 60));
    none->setText("Sin ingresos registrados");
    none->setTextAlignment(ns::NSTextAlignment::Center);
    none->setTextColor(ColorFromHex().colorFromHex(0x7F8C8D, 1));
    root->addSubview(none);
    table = makeTable(*root, ns::CGRectMake(0, top, screen.width(), screen.height() - top),
                      [] { return std::make_shared<IngresoTableViewCell>(); });
    setView(root);
}

void IngresoViewController::viewDidLoad() {
    ns::UIViewController::viewDidLoad();
    loadReceiptDates(codeFromDefaults());
}

void IngresoViewController::loadReceiptDates(const std::string& code) {
    auto found = std::make_shared<int>(0);
    readRecord("d1sp01", code, [found, code](StockRecordScreen& screen, const QRVDataSnapshotPtr& snapshot) {
        static_cast<IngresoViewController&>(screen).fillReceiptDates(snapshot, found, code);
    });
}

void IngresoViewController::fillReceiptDates(const QRVDataSnapshotPtr& snapshot, const std::shared_ptr<int>& found,
                                             const std::string& code) {
    const auto record = recordOrNotFound(snapshot, code, [](const ns::Value& value) {
        return stringField(value, receiptField(kStockPlaces[size_t(kReceiptOrder[0])]).c_str()).has_value();
    });
    if (!record) return;
    for (int entry : kReceiptOrder) {
        const StockPlace& place = kStockPlaces[size_t(entry)];
        const std::string date = stringField(*record, receiptField(place).c_str()).value_or("");
        if (date.empty()) continue;
        ingreso.push_back(Ingreso{place.name, date});
        *found = 1;
    }
    if (*found == 0) {
        if (auto list = table.lock()) list->setHidden(true);
    }
    if (auto list = table.lock()) list->reloadData();
    endWaiting(actInd, view());
}

int IngresoViewController::tableViewNumberOfRowsInSection(ns::UITableView&, int) { return int(ingreso.size()); }

std::shared_ptr<ns::UITableViewCell> IngresoViewController::tableViewCellForRowAtIndexPath(ns::UITableView& tableView,
                                                                                          ns::NSIndexPath indexPath) {
    auto cell = std::dynamic_pointer_cast<IngresoTableViewCell>(
        tableView.dequeueReusableCellWithIdentifier("LabelCell", indexPath));
    if (!cell || indexPath.row < 0 || size_t(indexPath.row) >= ingreso.size()) return cell;
    const Ingreso& row = ingreso[size_t(indexPath.row)];
    if (auto l = cell->txtSucur.lock()) l->setText(row.sucursal);
    if (auto l = cell->txtFecha.lock()) l->setText(row.fecha);
    return cell;
}

// MARK: - Older stock screen

DispoViewController::DispoViewController() : StockRecordScreen("DispoViewController") { setTitle("Disponibilidad"); }

void DispoViewController::loadView() {
    const ns::CGRect screen = ns::UIScreen::mainScreen()->bounds();
    auto root = ns::UIView::make(screen);
    root->setBackgroundColor(ns::UIColor::whiteColor());
    const double top = ns::UINavigationController::kBarBottom + 16;
    for (size_t i = 0; i < nameLabels.size(); ++i) {
        const StockPlace& place = kStockPlaces[i];
        const double y = top + 40 * double(i);
        auto name = rowLabel(*root, ns::CGRectMake(16, y, 250, 28), std::string("txt") + place.code + "h");
        name->setText(place.name);
        nameLabels[i] = name;
        auto units = rowLabel(*root, ns::CGRectMake(270, y, 89, 28), std::string("txt") + place.code + "q", true);
        units->setTextAlignment(ns::NSTextAlignment::Right);
        quantityLabels[i] = units;
    }
    auto sorry = rowLabel(*root, ns::CGRectMake(16, top + 300, 343, 48), "txtSrry");
    sorry->setText(kStockSorryText);
    sorry->setNumberOfLines(2);
    txtSrry = sorry;
    setView(root);
}

void DispoViewController::viewDidLoad() {
    ns::UIViewController::viewDidLoad();
    for (size_t i = 0; i < nameLabels.size(); ++i) {
        if (auto l = nameLabels[i].lock()) l->setHidden(true);
        if (auto l = quantityLabels[i].lock()) l->setHidden(true);
    }
    if (auto sorry = txtSrry.lock()) sorry->setHidden(true);
    const ns::Value codigo = ns::UserDefaults::standard()->objectForKey(kCodigoKey);
    if (codigo.isNull()) return;
    loadDispoLabels(codigo.isString() ? codigo.asString() : codigo.description());
}

void DispoViewController::loadDispoLabels(const std::string& code) {
    AppConsole::write(code);
    auto total = std::make_shared<int64_t>(0);
    readRecord("d1sp0", code, [total, code](StockRecordScreen& screen, const QRVDataSnapshotPtr& snapshot) {
        static_cast<DispoViewController&>(screen).fillDispoLabels(snapshot, total, code);
    });
}

void DispoViewController::fillDispoLabels(const QRVDataSnapshotPtr& snapshot, const std::shared_ptr<int64_t>& total,
                                          const std::string& code) {
    const auto record = recordOrNotFound(snapshot, code, isStockRecord);
    if (!record) return;
    bool shown = false;
    for (size_t i = 0; i < nameLabels.size(); ++i) {
        const int64_t units = unitsAt(*record, kStockPlaces[i]);
        if (units != 0) {
            shown = true;
            if (auto l = nameLabels[i].lock()) l->setHidden(false);
            if (auto l = quantityLabels[i].lock()) {
                l->setHidden(false);
                l->setText(std::to_string(units));
            }
        }
        addToTotal(*total, units);
    }
    // As on the stock screen: the sorry label only when no place is shown.
    if (!shown) {
        if (auto sorry = txtSrry.lock()) sorry->setHidden(false);
    }
    endWaiting(actInd, view());
}

}  // namespace almavel
