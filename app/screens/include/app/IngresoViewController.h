#pragma once
// The last goods receipt per store ("UltIng") over the product's stock
// record: one row per store with a date, in the receipt table's order
// (app/StockPlaces.h).
//
// Main thread only.

#include <memory>
#include <string>
#include <vector>

#include "app/StockRecordScreen.h"

namespace almavel {

class Ingreso {
public:
    std::string sucursal;
    std::string fecha;
};

class IngresoTableViewCell : public ns::UITableViewCell {
public:
    IngresoTableViewCell();
    std::weak_ptr<ns::UILabel> txtSucur, txtFecha;
    std::string className() const override { return "IngresoTableViewCell"; }
};

class IngresoViewController : public StockRecordScreen,
                              public ns::UITableViewDelegate,
                              public ns::UITableViewDataSource {
public:
    IngresoViewController();
    std::vector<Ingreso> ingreso;
    std::weak_ptr<ns::UITableView> table;

    void loadView() override;
    void viewDidLoad() override;
    void loadReceiptDates(const std::string& code);
    void fillReceiptDates(const QRVDataSnapshotPtr& snapshot, const std::shared_ptr<int>& found,
                          const std::string& code);

    int tableViewNumberOfRowsInSection(ns::UITableView& tableView, int section) override;
    std::shared_ptr<ns::UITableViewCell> tableViewCellForRowAtIndexPath(ns::UITableView& tableView,
                                                                       ns::NSIndexPath indexPath) override;
};

}  // namespace almavel
