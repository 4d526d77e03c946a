#pragma once
// The older stock screen ("DispoCon", which no screen opens) over
// d1sp0/<codigo>: fixed labels for the stock table's first seven places,
// shown for the places whose units are not zero, or the sorry label.
//
// Main thread only.

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "app/StockRecordScreen.h"

namespace almavel {

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
