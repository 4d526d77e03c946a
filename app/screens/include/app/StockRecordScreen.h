#pragma once
// What the screens over a product's stock record share: the root reference,
// the overlay, the one read of a record (d1sp01/<codigo>, or d1sp0/<codigo>
// for the older screen) when the screen loads, and the not-found alert. A
// missing record, or one whose first field is missing or of another type,
// shows the not-found alert; any other missing or ill-typed field counts as
// 0 (or no date). A refused or failed read ends the wait with an alert.
//
// The screens and rowLabel are main thread only (checked in Debug where
// they are entered); the record helpers read only their arguments, and
// codeFromDefaults the user defaults, which lock themselves.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/ActivityInicator.h"
#include "app/StockPlaces.h"
#include "database/api/QRVDataSnapshot.h"
#include "database/api/QRVDatabaseReference.h"
#include "uikit/UIControls.h"
#include "uikit/UITableView.h"
#include "uikit/UIViewController.h"

namespace almavel {

inline constexpr const char* kStockSorryText = "Lo sentimos, este producto no tiene existencia en ninguna sucursal";

// A label of the stock screens' rows, in the system font of 16 points
// (bold when asked), named `outlet`, added to `content`.
std::shared_ptr<ns::UILabel> rowLabel(ns::UIView& content, ns::CGRect frame, const std::string& outlet,
                                      bool bold = false);
// Adds without leaving the 64-bit range: a sum past it stays at the bound.
void addToTotal(int64_t& total, int64_t value);
// The units a stock record holds at a place; a missing or ill-typed field
// holds nothing.
int64_t unitsAt(const ns::Value& record, const StockPlace& place);
// A stock record is one whose first place holds a whole number.
bool isStockRecord(const ns::Value& record);
// The code the product look-up handed over, "" when there is none.
std::string codeFromDefaults();

// What the stock screens share: the root reference, the overlay, the one
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

}  // namespace almavel
