#pragma once
// The screens over a product's stock record d1sp01/<codigo>, read once when
// they load: the stock per store ("ExistCont", one row per place whose
// units are not zero, in the stock table's order, or the sorry label when
// no row was built), the last goods receipt per store ("UltIng", one row per
// store with a date, in the receipt table's order), and the older stock
// screen over d1sp0/<codigo> with fixed labels for the first seven places.
// A missing record, or one whose first field is missing or of another type,
// shows the not-found alert; any other missing or ill-typed field counts as
// 0 (or no date). A refused or failed read ends the wait with an alert.
//
// Main thread only.

#include <array>
#include <functional>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "app/ActivityInicator.h"
#include "database/api/QRVDataSnapshot.h"
#include "database/api/QRVDatabaseReference.h"
#include "uikit/UIControls.h"
#include "uikit/UITableView.h"
#include "uikit/UIViewController.h"

namespace almavel {

inline constexpr const char* kStockSorryText = "Lo sentimos, este producto no tiene existencia en ninguna sucursal";

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

// What the three screens share: the root reference, the overlay, the one
// read of a record and the not-found alert.
class StockRecordScreen : public ns::UIViewController {
public:
    const std::shared_ptr<QRVDatabaseReference> ref;
    ActivityInicator actInd;

protected:
    explicit StockRecordScreen(std::string className);
    // Reads <root>/<code> once and hands the snapshot to `fill` (not called
    // once the screen is gone). A code that cannot name one record is not
    // found without a read.
    void readRecord(const std::string& root, const std::string& code,
                    std::function<void(StockRecordScreen&, const QRVDataSnapshotPtr&)> fill);
    void showNotFound(const std::string& code);
    // The snapshot's value when `isRecord` takes it for a record; otherwise
    // the wait ends with the not-found alert.
    std::optional<ns::Value> recordOrNotFound(const QRVDataSnapshotPtr& snapshot, const std::string& code,
                                              const std::function<bool(const ns::Value&)>& isRecord);
    std::shared_ptr<ns::UITableView> makeTable(ns::UIView& root, ns::CGRect frame,
                                               std::function<std::shared_ptr<ns::UITableViewCell>()> factory);
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

class DispoViewController : public StockRecordScreen {
public:
    DispoViewController();
    std::weak_ptr<ns::UILabel> txtSrry;
    // Name and quantity labels of the stock table's first seven places, in
    // order; outlets "txt" + the place's code + "h" / "q".
    std::array<std::weak_ptr<ns::UILabel>, 7> nameLabels, quantityLabels;

    void loadView() override;
    void viewDidLoad() override;
    void loadDispoLabels(const std::string& code);
    void fillDispoLabels(const QRVDataSnapshotPtr& snapshot, const std::shared_ptr<int64_t>& total,
                         const std::string& code);
};

}  // namespace almavel
