#pragma once
// The quotation: the quantity entry ("CantView") for the product the
// look-up handed over, which writes one line per product under
// qu0t3s/users/<uid>/quote/<codigo>, and the quotation ("QuoteView"), which
// follows the stored lines and shows each line's total, the subtotal, the
// ITBMS (7 %) and the total. The line-detail screen is kept for its layout
// only.
//
// Money is counted in whole cents: a stored price is the "%.2f" text of the
// unit price, a line is quantity × price, the subtotal is the sum of the
// lines shown, the ITBMS is 7 % of it rounded half up, and the total is
// exactly the subtotal plus the ITBMS shown, so the three figures always
// agree. The totals are worked out from the lines on screen each time they
// change, so clearing the quote and adding lines again gives right totals.
//
// Quantities are whole numbers from 1 to kMaxQuantity; anything else gets
// an alert and nothing is written. Without a signed-in user both screens
// say so and their actions are disabled.
//
// Main thread only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/ActivityInicator.h"
#include "app/ColorFromHex.h"
#include "database/api/QRVDataSnapshot.h"
#include "database/api/QRVDatabaseReference.h"
#include "uikit/UIControls.h"
#include "uikit/UITableView.h"
#include "uikit/UIViewController.h"

namespace almavel {

inline constexpr int64_t kMaxQuantity = 9999;
inline constexpr const char* kNoUserTitle = "Sesión no iniciada";
inline constexpr const char* kNoUserMessage = "Inicie sesión para usar esta opción.";
inline constexpr const char* kBadQuantityTitle = "Cantidad no válida";
inline constexpr const char* kBadQuantityMessage = "Ingrese un número entero de 1 a 9999.";
inline constexpr const char* kBadProductTitle = "Producto no válido";
inline constexpr const char* kBadProductMessage = "Vuelva a consultar el producto antes de cotizarlo.";

// The signed-in user's id, if anyone is signed in.
std::optional<std::string> signedInUid();

// A quantity as typed: digits only (an optional "+" first), 1..kMaxQuantity.
std::optional<int64_t> parseQuantity(const std::string& text);
// A price text ("10.00", "74.9", "5") in cents, rounded half up; nullopt
// when it is not a plain non-negative decimal number below a billion.
std::optional<int64_t> priceCents(const std::string& text);
// 7 % of `subtotalCents`, rounded half up.
int64_t itbmsCents(int64_t subtotalCents);
// "30.00" for 3000.
std::string formatCents(int64_t cents);

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

class CantViewController : public ns::UIViewController {
public:
    CantViewController();

    std::weak_ptr<ns::UILabel> txtCod, txtDes, txtUprice, txtTprice;
    std::weak_ptr<ns::UITextField> txtCant;
    std::weak_ptr<ns::UIButton> btAdd;
    std::string c;
    double price = 0;
    double vOferta = 0;
    std::string codigo;
    const std::optional<std::string> user;
    const std::shared_ptr<QRVDatabaseReference> ref;

    void loadView() override;
    void viewDidLoad() override;
    void textViewDidChange(const ns::ObjectPtr& sender);
    void dismissKeyboard();
    void add2Quote(const ns::ObjectPtr& sender);
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

class EditViewController : public ns::UIViewController {
public:
    EditViewController();
    std::weak_ptr<ns::UILabel> txtCodigo, txtDescrip, txtPrecioU, txtPrecioT;
    void loadView() override;
    // Both actions of the detail view do nothing.
    void EliminarArt(const ns::ObjectPtr& sender);
    void ModArt(const ns::ObjectPtr& sender);
};

}  // namespace almavel
