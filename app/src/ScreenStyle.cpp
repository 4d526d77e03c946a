#include "app/ScreenStyle.h"

#include "app/ColorFromHex.h"
#include "platform/dispatch.h"
#include "uikit/UIWindow.h"

namespace almavel {

std::shared_ptr<ns::UILabel> screenLabel(ns::UIView& root, ns::CGRect frame, const std::string& outlet, double size,
                                         bool bold) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto label = ns::UILabel::make(frame);
    label->setAccessibilityIdentifier(outlet);
    label->setFont(bold ? ns::UIFont::boldSystemFontOfSize(size) : ns::UIFont::systemFontOfSize(size));
    label->setTextColor(ns::UIColor::blackColor());
    root.addSubview(label);
    return label;
}

std::shared_ptr<ns::UIButton> outlinedButton(ns::UIView& root, ns::CGRect frame, const std::string& title,
                                             const std::string& outlet) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto button = ns::UIButton::make(frame, title);
    button->setAccessibilityIdentifier(outlet);
    button->setTitleColor(ColorFromHex().colorFromHex(kBrandBlue, 1));
    root.addSubview(button);
    return button;
}

void outlineBorder(ns::UIButton& button) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    button.layer()->setBorderWidth(1.0);
    button.layer()->setCornerRadius(5.0);
    button.layer()->setBorderColor(ColorFromHex().colorFromHex(kBrandBlue, 0.5).CGColor());
}

std::shared_ptr<ns::UIButton> filledButton(ns::CGRect frame, const std::string& title, const std::string& outlet,
                                           ns::UIColor fill, double fontSize) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto button = ns::UIButton::make(frame, title, ns::UIButtonType::Custom);
    button->setAccessibilityIdentifier(outlet);
    button->setBackgroundColor(fill);
    button->setTitleColor(ns::UIColor::whiteColor());
    button->setTitleFont(ns::UIFont::boldSystemFontOfSize(fontSize));
    button->layer()->setCornerRadius(5);
    return button;
}

std::shared_ptr<ns::UIView> whiteRoot() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto root = ns::UIView::make(ns::UIScreen::mainScreen()->bounds());
    root->setBackgroundColor(ns::UIColor::whiteColor());
    return root;
}

std::shared_ptr<ns::UILabel> addLabel(ns::UIView& root, ns::CGRect frame, const std::string& outlet,
                                      const std::string& text, bool bold) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto label = ns::UILabel::make(frame);
    label->setAccessibilityIdentifier(outlet);
    label->setText(text);
    label->setFont(bold ? ns::UIFont::boldSystemFontOfSize(16) : ns::UIFont::systemFontOfSize(16));
    root.addSubview(label);
    return label;
}

std::shared_ptr<ns::UITextField> formField(ns::CGRect frame, const std::string& outlet, const std::string& placeholder) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto field = ns::UITextField::make(frame);
    field->setAccessibilityIdentifier(outlet);
    field->setPlaceholder(placeholder);
    field->setBackgroundColor(ns::UIColor::whiteColor());
    field->setBorderStyle(ns::UITextBorderStyle::RoundedRect);
    field->layer()->setCornerRadius(5);
    return field;
}

}  // namespace almavel
