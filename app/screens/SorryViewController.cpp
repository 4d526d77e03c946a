#include "app/SorryViewController.h"

#include "app/ScreenStyle.h"
#include "platform/dispatch.h"
#include "uikit/UIWindow.h"

namespace almavel {

// MARK: - Not found

SorryViewController::SorryViewController() : ns::UIViewController("SorryViewController") {
    setTitle("Tarjeta Almavel");
}

void SorryViewController::loadView() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto root = whiteRoot();
    auto label = addLabel(*root, ns::CGRectMake(24, ns::UINavigationController::kBarBottom + 40, 327, 60), "txtSorry",
                          kNoAccountText);
    label->setNumberOfLines(2);
    label->setTextAlignment(ns::NSTextAlignment::Center);
    setView(root);
}

}  // namespace almavel
