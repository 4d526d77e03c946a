#pragma once
// The chain's stores ("Sucursales", storyboard "StoreCon"), a read-only
// table of the signed-in side: name, photo, hours, telephone and fax of each
// store, compiled in (app/StoreDirectory.h) with the photos from the bundle's
// resources. It does not talk to the back end, and rows do nothing when
// chosen.
//
// Main thread only.

#include <memory>
#include <string>
#include <vector>

#include "uikit/UIViewController.h"

namespace almavel {

class StoreTableViewCell : public ns::UITableViewCell {
public:
    StoreTableViewCell();
    std::weak_ptr<ns::UIImageView> storePhoto;
    std::weak_ptr<ns::UILabel> storeName;
    std::weak_ptr<ns::UILabel> storeHours;
    std::weak_ptr<ns::UILabel> storePhone;
    std::weak_ptr<ns::UILabel> storeFax;
    std::string className() const override { return "StoreTableViewCell"; }
};

class StoreTableViewController : public ns::UITableViewController {
public:
    StoreTableViewController();
    // Parallel lists: entry i of each describes store i.
    std::vector<std::string> stores;
    std::vector<std::string> storePhotos;
    std::vector<std::string> hours;
    std::vector<std::string> phones;
    std::vector<std::string> fax;

    void loadView() override;
    void viewDidLoad() override;
    int numberOfSectionsInTableView(ns::UITableView&) override { return 1; }
    int tableViewNumberOfRowsInSection(ns::UITableView&, int section) override;
    std::shared_ptr<ns::UITableViewCell> tableViewCellForRowAtIndexPath(ns::UITableView& tableView,
                                                                       ns::NSIndexPath indexPath) override;
};

}  // namespace almavel
