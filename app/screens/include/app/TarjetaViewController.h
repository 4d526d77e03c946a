#pragma once
// The store credit-card account check ("TarjCon"), reached from the main
// menu's panel: a signed-in member types the national identity number and
// the account number of the record cr3d/<cedula>. The check passes only when
// the record's "Cuenta" is the typed account number and its "Email" is the
// signed-in user's own address (taken from the signed-in user, never from
// the hand-over keys another screen may have overwritten); then "cedula" is
// handed over and the account's data ("DatosCon") shown. In every other
// case, including an identity number that cannot name one record (empty, or
// with ". # $ [ ] /") and a read the server refuses, the not-found screen
// ("SrryCon") is shown and "cedula" is left as it was.
//
// The read runs behind the busy overlay with touches ignored, so the button
// cannot start a second check; a back end that does not answer within
// kWaitDeadlineSeconds ends the wait with the read-failed alert, and its
// late answer shows nothing.
//
// Main thread only.

#include <memory>
#include <optional>
#include <string>

#include "app/ActivityInicator.h"
#include "app/ColorFromHex.h"
#include "database/api/QRVDataSnapshot.h"
#include "database/api/QRVDatabaseReference.h"
#include "uikit/UIControls.h"
#include "uikit/UIViewController.h"

namespace almavel {

class TarjetaViewController : public ns::UIViewController {
public:
    TarjetaViewController();

    std::weak_ptr<ns::UIButton> btConfirm;
    std::weak_ptr<ns::UITextField> txtCedula, txtCuenta;
    const std::shared_ptr<QRVDatabaseReference> ref;
    const std::optional<std::string> user;
    ColorFromHex cfhex;
    std::string vEmail;
    ActivityInicator actInd;

    void loadView() override;
    void viewDidLoad() override;
    void Validar(const ns::ObjectPtr& sender);
    void dismissKeyboard();
    void checkCardAccount();
    void handleCardSnapshot(const QRVDataSnapshotPtr& snapshot, const std::string& cedula);
};

}  // namespace almavel
