#pragma once
// The store credit-card account, kept at cr3d/<cedula>: the check screen,
// where a signed-in member types the national identity number and the
// account number, and the data screen ("DatosCon") with the account's
// amounts, dates and holder. The check passes only when the record's
// "Cuenta" is the typed account number and its "Email" is the signed-in
// user's own address (taken from the signed-in user, never from the
// hand-over keys another screen may have overwritten); then "cedula" is
// handed over and "DatosCon" shown. In every other case, including an
// identity number that cannot name one record (empty, or with ". # $ [ ] /")
// and a read the server refuses, the not-found screen ("SrryCon") is shown
// and "cedula" is left as it was.
//
// Main thread only.

#include <memory>
#include <optional>
#include <string>

#include "app/ColorFromHex.h"
#include "database/api/QRVDataSnapshot.h"
#include "database/api/QRVDatabaseReference.h"
#include "uikit/UIControls.h"
#include "uikit/UIViewController.h"

namespace almavel {

// The record's purchase-date key.
inline constexpr const char* kPurchaseDateKey = "FecUltComp";
inline constexpr const char* kNoAccountText = "Lo sentimos, no encontramos una cuenta con esos datos.";

class TarjetaViewController : public ns::UIViewController {
public:
    TarjetaViewController();

    std::weak_ptr<ns::UIButton> btConfirm;
    std::weak_ptr<ns::UITextField> txtCedula, txtCuenta;
    const std::shared_ptr<QRVDatabaseReference> ref;
    const std::optional<std::string> user;
    ColorFromHex cfhex;
    std::string vEmail;

    void loadView() override;
    void viewDidLoad() override;
    void Validar(const ns::ObjectPtr& sender);
    void dismissKeyboard();
    void checkCardAccount();
    void handleCardSnapshot(const QRVDataSnapshotPtr& snapshot, const std::string& cedula);
};

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

// "SrryCon": the account was not found.
class SorryViewController : public ns::UIViewController {
public:
    SorryViewController();
    void loadView() override;
};

}  // namespace almavel
