#pragma once
// The quotation ("QuoteView"): follows the signed-in user's stored lines
// under qu0t3s/users/<uid>/quote and shows each line's total, the subtotal,
// the ITBMS (7 %) and the total, counted as app/Quotation.h says. The totals
// are worked out from the lines on screen each time they change, so clearing
// the quote and adding lines again gives right totals. Without a signed-in
// user the screen says so and its clear button is disabled.
//
// Main thread only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/ActivityInicator.h"
#include "database/api/QRVDataSnapshot.h"
#include "database/api/QRVDatabaseReference.h"
#include "uikit/UIControls.h"
#include "uikit/UITableView.h"
#include "uikit/UIViewController.h"

namespace almavel {

// One line of the quotation as the screen holds it.
class Quotes {
public:
    int64_t cantidad = 0;
    std::string codigo;
    std::string descrip;
    std::string precio;
    // cantidad × precio; 0 when the stored price is not a number.
    int64_t lineCents() const;
};

class QuoteTableViewCell : public ns::UITableViewCell {
public:
    QuoteTableViewCell();
    std::weak_ptr<ns::UILabel> txtDes, txtUprice, txtCant, txtCodigo, txtLine;
    std::string className() const override { return "QuoteTableViewCell"; }
};

class QuoteViewController : public ns::UIViewController,
                            public ns::UITableViewDelegate,
                            public ns::UITableViewDataSource {
public:
    QuoteViewController();
    ~QuoteViewController() override;

    const std::shared_ptr<QRVDatabaseReference> ref;
    const std::optional<std::string> user;
    std::vector<Quotes> quotes;
    ActivityInicator actInd;
    std::weak_ptr<ns::UIButton> btClean, btGen;
    std::weak_ptr<ns::UILabel> txtSub, txtItbms, txtTotal;
    std::weak_ptr<ns::UITableView> table;

    void loadView() override;
    void viewDidLoad() override;
    void observeQuoteLines();
    // A line stored or replaced under the quote; `key` is its code.
    void appendQuoteLine(const QRVDataSnapshotPtr& snapshot);
    void removeQuoteLine(const QRVDataSnapshotPtr& snapshot);
    void recalculateQuoteTotals();
    void backtomenu();
    void CleanQuote(const ns::ObjectPtr& sender);
    void confirmClearQuote();
    void clearQuote();
    void GenQuote(const ns::ObjectPtr& sender);
    void back2Menu(const ns::ObjectPtr& sender);
    // Whether an observer of the stored lines is registered now.
    bool isObserving() const { return !handles_.empty(); }

    int numberOfSectionsInTableView(ns::UITableView&) override { return 1; }
    int tableViewNumberOfRowsInSection(ns::UITableView& tableView, int section) override;
    std::shared_ptr<ns::UITableViewCell> tableViewCellForRowAtIndexPath(ns::UITableView& tableView,
                                                                       ns::NSIndexPath indexPath) override;

private:
    void stopObserving();
    std::weak_ptr<ns::UIButton> back2Menu_;
    QRVDatabaseReferencePtr quoteRef_;
    std::vector<QRVDatabaseHandle> handles_;
};

}  // namespace almavel
