#pragma once
// The stock per store ("ExistCont") over the product's stock record: one row
// per place whose units are not zero, in the stock table's order
// (app/StockPlaces.h), or the sorry label when no row was built. Leads to
// the last goods receipt ("UltIng").
//
// Main thread only.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/StockRecordScreen.h"

namespace almavel {

class Exist {
public:
    std::string sucursal;
    int64_t exist = 0;
};

class ExistTableViewCell : public ns::UITableViewCell {
public:
    ExistTableViewCell();
    std::weak_ptr<ns::UILabel> txtSuc, txtExist;
    std::string className() const override { return "ExistTableViewCell"; }
};

class ExistViewController : public StockRecordScreen,
                            public ns::UITableViewDelegate,
                            public ns::UITableViewDataSource {
public:
    ExistViewController();
    std::vector<Exist> exists;
    std::weak_ptr<ns::UILabel> txtSorry;
    std::weak_ptr<ns::UITableView> table;
    std::weak_ptr<ns::NSLayoutConstraint> topSrry;

    void loadView() override;
    void viewDidLoad() override;
    void UltimoIngreso(const ns::ObjectPtr& sender);
    void loadStockPerStore(const std::string& code);
    void fillStockPerStore(const QRVDataSnapshotPtr& snapshot, const std::shared_ptr<int64_t>& total,
                           const std::string& code);

    int numberOfSectionsInTableView(ns::UITableView&) override { return 1; }
    int tableViewNumberOfRowsInSection(ns::UITableView& tableView, int section) override;
    std::shared_ptr<ns::UITableViewCell> tableViewCellForRowAtIndexPath(ns::UITableView& tableView,
                                                                       ns::NSIndexPath indexPath) override;

private:
    std::shared_ptr<ns::NSLayoutConstraint> sorryConstraint_;
};

}  // namespace almavel
