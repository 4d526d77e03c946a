#pragma once
// The quotation's line-detail screen, kept for its layout only: code,
// description, unit and line price, and two actions that do nothing.
//
// Main thread only.

#include <memory>

#include "uikit/UIControls.h"
#include "uikit/UIViewController.h"

namespace almavel {

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
