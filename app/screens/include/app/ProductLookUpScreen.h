#pragma once
// What the barcode and search screens share: the product look-up. A code is
// read once under Productos/<code>; a record with a string "Descrip" is
// found, its fields go to the user-defaults hand-over keys (a missing or
// ill-typed field removes its key, so nothing of an earlier product
// survives) and the result screen "ResCon" is shown; anything else shows
// the screen's not-found alert. A code that cannot name one record (empty,
// or with a character paths forbid or read as a separator) is not found
// without asking the database, and a refused or failed read ends the wait
// with an alert instead of leaving the screen covered.
//
// Main thread only.

#include <memory>
#include <string>

#include "app/ActivityInicator.h"
#include "database/api/QRVDataSnapshot.h"
#include "database/api/QRVDatabaseReference.h"
#include "uikit/UIViewController.h"

namespace almavel {

class ProductLookUpScreen : public ns::UIViewController {
public:
    // The database root, taken when the screen is made.
    const std::shared_ptr<QRVDatabaseReference> ref;
    ActivityInicator actInd;

    void lookUpProduct(const std::string& code);
    void handleProductSnapshot(const QRVDataSnapshotPtr& snapshot, const std::string& code);

    // Writes the seven product keys from a record; false, writing nothing,
    // when the record is not a product (no dictionary with a string
    // "Descrip").
    static bool writeProductKeys(const ns::Value& record, const std::string& code);

    void dismissKeyboard();

protected:
    explicit ProductLookUpScreen(std::string className);
    // The screen's not-found alert for `code`.
    virtual void showNotFound(const std::string& code) = 0;
    // The alert for a read the server refused or the connection lost.
    virtual void showReadFailed(const std::string& title, const std::string& message);
    // A tap on the background closes the keyboard, touches still reaching
    // the controls.
    void addKeyboardDismissTap();
};

}  // namespace almavel
