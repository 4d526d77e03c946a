#pragma once
// The current offer flyers ("Ofertas", storyboard "SalesCon"), a read-only
// table of the signed-in side: one picture of the bundle's resources per
// flyer, looked up by the names app/StoreDirectory.h lists. It does not talk
// to the back end, and rows do nothing when chosen.
//
// Main thread only.

#include <memory>
#include <string>
#include <vector>

#include "uikit/UIViewController.h"

namespace almavel {

class SalesTableViewCell : public ns::UITableViewCell {
public:
    SalesTableViewCell();
    std::weak_ptr<ns::UIImageView> imgOferta;
    std::string className() const override { return "SalesTableViewCell"; }
};

class SalesTableViewController : public ns::UITableViewController {
public:
    SalesTableViewController();
    std::vector<std::string> salesPhotos;

    void loadView() override;
    void viewDidLoad() override;
    int numberOfSectionsInTableView(ns::UITableView&) override { return 1; }
    int tableViewNumberOfRowsInSection(ns::UITableView&, int section) override;
    std::shared_ptr<ns::UITableViewCell> tableViewCellForRowAtIndexPath(ns::UITableView& tableView,
                                                                       ns::NSIndexPath indexPath) override;
};

}  // namespace almavel
