#include "app/IngresoViewController.h"

#include "app/ColorFromHex.h"
#include "app/ScreenSupport.h"
#include "platform/dispatch.h"
#include "uikit/UIWindow.h"

namespace almavel {

IngresoTableViewCell::IngresoTableViewCell() : ns::UITableViewCell("LabelCell") {
    txtSucur = rowLabel(*contentView(), ns::CGRectMake(16, 10, 230, 24), "txtSucur");
    txtFecha = rowLabel(*contentView(), ns::CGRectMake(250, 10, 109, 24), "txtFecha", true);
    txtFecha.lock()->setTextAlignment(ns::NSTextAlignment::Right);
}

IngresoViewController::IngresoViewController() : StockRecordScreen("IngresoViewController") {
    setTitle("Último ingreso");
}

void IngresoViewController::loadView() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
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
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::UIViewController::viewDidLoad();
    loadReceiptDates(codeFromDefaults());
}

void IngresoViewController::loadReceiptDates(const std::string& code) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto found = std::make_shared<int>(0);
    readRecord("d1sp01", code, [found, code](StockRecordScreen& screen, const QRVDataSnapshotPtr& snapshot) {
        static_cast<IngresoViewController&>(screen).fillReceiptDates(snapshot, found, code);
    });
}

void IngresoViewController::fillReceiptDates(const QRVDataSnapshotPtr& snapshot, const std::shared_ptr<int>& found,
                                             const std::string& code) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
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

int IngresoViewController::tableViewNumberOfRowsInSection(ns::UITableView&, int) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    return int(ingreso.size());
}

std::shared_ptr<ns::UITableViewCell> IngresoViewController::tableViewCellForRowAtIndexPath(ns::UITableView& tableView,
                                                                                          ns::NSIndexPath indexPath) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto cell = std::dynamic_pointer_cast<IngresoTableViewCell>(
        tableView.dequeueReusableCellWithIdentifier("LabelCell", indexPath));
    if (!cell || indexPath.row < 0 || size_t(indexPath.row) >= ingreso.size()) return cell;
    const Ingreso& row = ingreso[size_t(indexPath.row)];
    if (auto l = cell->txtSucur.lock()) l->setText(row.sucursal);
    if (auto l = cell->txtFecha.lock()) l->setText(row.fecha);
    return cell;
}

}  // namespace almavel
