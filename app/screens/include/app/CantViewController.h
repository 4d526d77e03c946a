#pragma once
// The quotation's quantity entry ("CantView") for the product the look-up
// handed over: the unit price (the offer's when there is one) and the line's
// total as the quantity is typed. "Agregar a cotización" writes one line per
// product under qu0t3s/users/<uid>/quote/<codigo> and goes back to the
// quotation (app/QuoteViewController.h). A quantity that is not a whole
// number from 1 to kMaxQuantity, or a product that cannot be quoted, gets an
// alert and nothing is written. Without a signed-in user the screen says so
// and its button is disabled.
//
// Main thread only.

#include <memory>
#include <optional>
#include <string>

#include "database/api/QRVDatabaseReference.h"
#include "uikit/UIControls.h"
#include "uikit/UIViewController.h"

namespace almavel {

inline constexpr const char* kBadQuantityTitle = "Cantidad no válida";
inline constexpr const char* kBadQuantityMessage = "Ingrese un número entero de 1 a 9999.";
inline constexpr const char* kBadProductTitle = "Producto no válido";
inline constexpr const char* kBadProductMessage = "Vuelva a consultar el producto antes de cotizarlo.";

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

}  // namespace almavel
