#pragma once
// The store credit-card account's data ("DatosCon"): the amounts, dates and
// holder of the record cr3d/<cedula> for the "cedula" the check handed over.
// A record without a string "Cuenta" fills nothing.
//
// Main thread only.

#include <memory>

#include "database/api/QRVDataSnapshot.h"
#include "database/api/QRVDatabaseReference.h"
#include "uikit/UIControls.h"
#include "uikit/UIViewController.h"

namespace almavel {

// The record's purchase-date key.
inline constexpr const char* kPurchaseDateKey = "FecUltComp";

class DatosViewController : public ns::UIViewController {
public:
    DatosViewController();

    const std::shared_ptr<QRVDatabaseReference> ref;
    std::weak_ptr<ns::UILabel> txtLimit, txtNow, txtDay, txtMin, txtLast, txtAmount, txtPayd, txtLpay, txtName,
        txtAccount;

    void loadView() override;
    void viewDidLoad() override;
    void loadCardAccount();
    void fillCardAccount(const QRVDataSnapshotPtr& snapshot);
};

}  // namespace almavel
