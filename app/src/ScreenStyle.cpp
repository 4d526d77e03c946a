#include "app/ScreenStyle.h"

namespace almavel {

std::shared_ptr<ns::UIButton> filledButton(ns::CGRect frame, const std::string& title, const std::string& outlet,
                                           ns::UIColor fill, double fontSize) {
    auto button = ns::UIButton::make(frame, title, ns::UIButtonType::Custom);
    button->setAccessibilityIdentifier(outlet);
    button->setBackgroundColor(fill);
    button->setTitleColor(ns::UIColor::whiteColor());
    button->setTitleFont(ns::UIFont::boldSystemFontOfSize(fontSize));
    button->layer()->setCornerRadius(5);
    return button;
}

}  // namespace almavel
