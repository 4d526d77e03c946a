#pragma once
// The product search ("SearchView", "Búsqueda avanzada"): by part number
// ("qParte") or by description ("Descrip"), the records whose field begins
// with the typed text, at most 25, in the field's order; choosing a row
// looks that product up by its key as the barcode screen does. Each search
// follows its query's children as they arrive; a new search, or the screen
// going away, stops following the earlier one.
//
// Main thread only.

#include <memory>
#include <string>
#include <vector>

#include "app/ColorFromHex.h"
#include "app/ProductLookUpScreen.h"
#include "app/WaitDeadline.h"
#include "database/api/QRVDatabaseQuery.h"
#include "uikit/UIControls.h"
#include "uikit/UITableView.h"

namespace almavel {

inline constexpr uint64_t kSearchLimit = 25;

// One row of the result list.
class Prods {
public:
    std::string Descrip;
    std::string qParte;
    std::string Codigo;  // the record's key
    double Precio = 0;
};

class SearchTableViewCell : public ns::UITableViewCell {
public:
    SearchTableViewCell();
    std::weak_ptr<ns::UILabel> txtDesc, txtParte, txtCodigo, txtPrecio;
    std::string className() const override { return "SearchTableViewCell"; }
};

class SearchViewController : public ProductLookUpScreen,
                             public ns::UITableViewDelegate,
                             public ns::UITableViewDataSource {
public:
    SearchViewController();
    ~SearchViewController() override;

    ColorFromHex cfhex;
    std::vector<Prods> prods;

    std::weak_ptr<ns::UIButton> btParte, btDesc;
    std::weak_ptr<ns::UISearchBar> searchBar;
    std::weak_ptr<ns::UITableView> table;

    void loadView() override;
    void viewDidLoad() override;
    void viewDidDisappear(bool animated) override;

    // Actions.
    void buscarParte(const ns::ObjectPtr& sender);
    void buscarDesc(const ns::ObjectPtr& sender);

    using SearchOperation = void (SearchViewController::*)(const std::string& text);
    void runSearch(SearchOperation operation);
    void searchByPart(const std::string& text);
    void searchByDescription(const std::string& text);
    void handleSearchSnapshot(const QRVDataSnapshotPtr& snapshot);
    void appendPartResult(const QRVDataSnapshotPtr& snapshot);
    void appendDescriptionResult(const QRVDataSnapshotPtr& snapshot);

    // The query of records whose `child` begins with `text`: from the text
    // to the text followed by U+F8FF (a character above every letter and
    // digit in use), at most 25.
    QRVDatabaseQueryPtr prefixQuery(const std::string& child, const std::string& text) const;

    int numberOfSectionsInTableView(ns::UITableView&) override { return 1; }
    int tableViewNumberOfRowsInSection(ns::UITableView& tableView, int section) override;
    std::shared_ptr<ns::UITableViewCell> tableViewCellForRowAtIndexPath(ns::UITableView& tableView,
                                                                       ns::NSIndexPath indexPath) override;
    void tableViewDidSelectRowAtIndexPath(ns::UITableView& tableView, ns::NSIndexPath indexPath) override;

protected:
    // "OK" without a handler.
    void showNotFound(const std::string& code) override;

private:
    void startSearch(const std::string& child, const std::string& text, bool closesKeyboard);
    void appendResult(const QRVDataSnapshotPtr& snapshot);
    // Stops following the current search's children.
    void stopFollowing();
    // The overlay and ignored touches of one search, ended once whichever
    // answer comes first.
    void beginSearchWait();
    void endSearchWait();
    bool waiting_ = false;
    WaitDeadline::Ptr deadline_;
    QRVDatabaseQueryPtr following_;
    QRVDatabaseHandle followHandle_ = 0;
    // Which search answers belong to: those of an earlier one are dropped.
    uint64_t generation_ = 0;
};

}  // namespace almavel
