#include "app/ExistViewController.h"

#include "app/ColorFromHex.h"
#include "app/MainStoryboard.h"
#include "app/ScreenStyle.h"
#include "app/ScreenSupport.h"
#include "platform/dispatch.h"
#include "uikit/UIWindow.h"

namespace almavel {

ExistTableViewCell::ExistTableViewCell() : ns::UITableViewCell("LabelCell") {
    txtSuc = rowLabel(*contentView(), ns::CGRectMake(16, 10, 250, 24), "txtSuc");
    txtExist = rowLabel(*contentView(), ns::CGRectMake(270, 10, 89, 24), "txtExist", true);
    txtExist.lock()->setTextAlignment(ns::NSTextAlignment::Right);
}

ExistViewController::ExistViewController() : StockRecordScreen("ExistViewController") { setTitle("Existencia"); }

void ExistViewController::loadView() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
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
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::UIViewController::viewDidLoad();
    if (auto sorry = txtSorry.lock()) sorry->setHidden(true);
    loadStockPerStore(codeFromDefaults());
}

void ExistViewController::UltimoIngreso(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    showScreen(*this, kUltIngID);
}

void ExistViewController::loadStockPerStore(const std::string& code) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto total = std::make_shared<int64_t>(0);
    readRecord("d1sp01", code, [total, code](StockRecordScreen& screen, const QRVDataSnapshotPtr& snapshot) {
        static_cast<ExistViewController&>(screen).fillStockPerStore(snapshot, total, code);
    });
}

void ExistViewController::fillStockPerStore(const QRVDataSnapshotPtr& snapshot, const std::shared_ptr<int64_t>& total,
                                            const std::string& code) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
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

int ExistViewController::tableViewNumberOfRowsInSection(ns::UITableView&, int) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    return int(exists.size());
}

std::shared_ptr<ns::UITableViewCell> ExistViewController::tableViewCellForRowAtIndexPath(ns::UITableView& tableView,
                                                                                        ns::NSIndexPath indexPath) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto cell = std::dynamic_pointer_cast<ExistTableViewCell>(
        tableView.dequeueReusableCellWithIdentifier("LabelCell", indexPath));
    if (!cell || indexPath.row < 0 || size_t(indexPath.row) >= exists.size()) return cell;
    const Exist& row = exists[size_t(indexPath.row)];
    if (auto l = cell->txtSuc.lock()) l->setText(row.sucursal);
    if (auto l = cell->txtExist.lock()) l->setText(std::to_string(row.exist));
    return cell;
}

}  // namespace almavel
