#include "app/EditViewController.h"

#include "app/ScreenStyle.h"
#include "platform/dispatch.h"
#include "uikit/UIWindow.h"

namespace almavel {

EditViewController::EditViewController() : ns::UIViewController("EditViewController") {}

void EditViewController::loadView() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto root = ns::UIView::make(ns::UIScreen::mainScreen()->bounds());
    root->setBackgroundColor(ns::UIColor::whiteColor());
    const double top = ns::UINavigationController::kBarBottom + 16;
    txtCodigo = screenLabel(*root, ns::CGRectMake(16, top, 343, 22), "txtCodigo", 15);
    txtDescrip = screenLabel(*root, ns::CGRectMake(16, top + 28, 343, 22), "txtDescrip", 15);
    txtPrecioU = screenLabel(*root, ns::CGRectMake(16, top + 56, 343, 22), "txtPrecioU", 15);
    txtPrecioT = screenLabel(*root, ns::CGRectMake(16, top + 84, 343, 22), "txtPrecioT", 15);
    setView(root);
}

void EditViewController::EliminarArt(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
}
void EditViewController::ModArt(const ns::ObjectPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
}

}  // namespace almavel
