#pragma once
// The two read-only tables of the signed-in side: the current offer flyers
// ("Ofertas") and the chain's stores ("Sucursales"). Everything they show is
// compiled in (app/StoreDirectory.h) or is a picture of the bundle's
// resources looked up by name; neither talks to the back end, and rows do
// nothing when chosen. Main thread only.

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
