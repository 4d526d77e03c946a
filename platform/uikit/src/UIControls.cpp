#include "uikit/UIControls.h"

#include <algorithm>

#include "platform/format.h"

namespace ns {

namespace {

// UTF-8 code point boundaries: the byte offset of code point `index`.
size_t byteOffset(const std::string& s, size_t index) {
    size_t i = 0;
    size_t count = 0;
    while (i < s.size() && count < index) {
        ++i;
        while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
        ++count;
    }
    return i;
}

size_t codePoints(const std::string& s) {
    return size_t(std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

}  // namespace

std::string UIColor::description() const {
    return format("UIExtendedSRGBColorSpace %g %g %g %g", red_, green_, blue_, alpha_);
}

// UIControl

void UIControl::addTarget(TargetAction action, UIControlEvents events) {
    actions_.push_back({std::move(action), events});
}

void UIControl::removeTarget(const std::string& actionName, UIControlEvents events) {
    for (auto& r : actions_) {
        if (actionName.empty() || r.action.name() == actionName) r.events &= ~events;
    }
    actions_.erase(std::remove_if(actions_.begin(), actions_.end(), [](const Registered& r) { return r.events == 0; }),
                   actions_.end());
}

std::vector<std::string> UIControl::actionNames(UIControlEvents events) const {
    std::vector<std::string> names;
    for (const auto& r : actions_) {
        if (r.events & events) names.push_back(r.action.name());
    }
    return names;
}

void UIControl::sendActionsForControlEvents(UIControlEvents events) {
    auto self = shared_from_this();
    // A copy: an action may add or remove actions.
    for (const auto& r : std::vector<Registered>(actions_)) {
        if (r.events & events) r.action.perform(self);
    }
}

// UITextField

void UITextField::setText(std::string text) {
    text_ = std::move(text);
    selStart_ = codePoints(text_);
    selLength_ = 0;
}

std::string UITextField::displayText() const {
    if (!secure_) return text_;
    std::string bullets;
    for (size_t i = 0, n = codePoints(text_); i < n; ++i) bullets += "\u2022";
    return bullets;
}

std::string UITextField::selectedText() const {
    const size_t from = byteOffset(text_, selStart_);
    const size_t to = byteOffset(text_, selStart_ + selLength_);
    return text_.substr(from, to - from);
}

void UITextField::selectAll(const ObjectPtr&) {
    selStart_ = 0;
    selLength_ = codePoints(text_);
}

void UITextField::insertText(const std::string& text) {
    const size_t from = byteOffset(text_, selStart_);
    const size_t to = byteOffset(text_, selStart_ + selLength_);
    text_.replace(from, to - from, text);
    selStart_ += codePoints(text);
    selLength_ = 0;
    sendActionsForControlEvents(UIControlEventEditingChanged);
}

void UITextField::deleteBackward() {
    if (selLength_ == 0) {
        if (selStart_ == 0) return;
        --selStart_;
        selLength_ = 1;
    }
    const size_t from = byteOffset(text_, selStart_);
    const size_t to = byteOffset(text_, selStart_ + selLength_);
    text_.erase(from, to - from);
    selLength_ = 0;
    sendActionsForControlEvents(UIControlEventEditingChanged);
}

void UITextField::didBecomeFirstResponder() {
    selStart_ = codePoints(text_);
    selLength_ = 0;
    sendActionsForControlEvents(UIControlEventEditingDidBegin);
}

void UITextField::didResignFirstResponder() {
    selLength_ = 0;
    sendActionsForControlEvents(UIControlEventEditingDidEnd);
}

// UIButton

UIButton::UIButton(CGRect frame, UIButtonType type)
    : UIControl(frame),
      type_(type),
      titleColor_(type == UIButtonType::System ? UIColor::systemBlueColor() : UIColor::whiteColor()) {}

std::shared_ptr<UIButton> UIButton::make(CGRect frame, const std::string& title, UIButtonType type) {
    auto button = std::make_shared<UIButton>(frame, type);
    button->setTitle(title);
    return button;
}

std::string UIButton::titleForState(UIControlState state) const {
    if (state == UIControlStateDisabled && !disabledTitle_.empty()) return disabledTitle_;
    return title_;
}

void UIButton::setTitle(std::string title, UIControlState state) {
    if (state == UIControlStateDisabled) {
        disabledTitle_ = std::move(title);
    } else {
        title_ = std::move(title);
    }
}

std::string UIButton::currentTitle() const { return titleForState(isEnabled() ? UIControlStateNormal : UIControlStateDisabled); }

UIColor UIButton::titleColorForState(UIControlState state) const {
    if (state == UIControlStateDisabled) {
        return disabledTitleColor_ ? *disabledTitleColor_ : titleColor_.colorWithAlphaComponent(0.35);
    }
    return titleColor_;
}

void UIButton::setTitleColor(UIColor color, UIControlState state) {
    if (state == UIControlStateDisabled) {
        disabledTitleColor_ = color;
    } else {
        titleColor_ = color;
    }
}

// UIBarButtonItem

void UIBarButtonItem::performAction() {
    if (enabled_) action_.perform(shared_from_this());
}

// UISearchBar

UISearchBar::UISearchBar(CGRect frame) : UIView(frame), field_(std::make_shared<UITextField>()) {
    setBackgroundColor(UIColor(0.79, 0.79, 0.81, 1));
    field_->setPlaceholder("Search");
    field_->setBackgroundColor(UIColor::whiteColor());
    field_->layer()->setCornerRadius(10);
    field_->setBorderStyle(UITextBorderStyle::None);
}

std::shared_ptr<UISearchBar> UISearchBar::make(CGRect frame) {
    auto bar = std::make_shared<UISearchBar>(frame);
    bar->wire();
    return bar;
}

void UISearchBar::wire() {
    if (wired_) return;
    wired_ = true;
    addSubview(field_);
    // The delegate hears typing through the field's editing events.
    std::weak_ptr<UISearchBar> weak = std::static_pointer_cast<UISearchBar>(shared_from_this());
    field_->addTarget(TargetAction::block("searchBarTextDidChange",
                                          [weak](const ObjectPtr&) {
                                              auto self = weak.lock();
                                              if (!self) return;
                                              if (auto d = self->delegate_.lock()) {
                                                  d->searchBarTextDidChange(*self, self->text());
                                              }
                                          }),
                      UIControlEventEditingChanged);
    setNeedsLayout();
}

const std::string& UISearchBar::text() const { return field_->text(); }
void UISearchBar::setText(std::string text) { field_->setText(std::move(text)); }
const std::string& UISearchBar::placeholder() const { return field_->placeholder(); }
void UISearchBar::setPlaceholder(std::string p) { field_->setPlaceholder(std::move(p)); }

void UISearchBar::searchButtonClicked() {
    if (auto d = delegate_.lock()) d->searchBarSearchButtonClicked(*this);
}

void UISearchBar::layoutSubviews() {
    // Made with the plain constructor (not make): put the field in now.
    wire();
    CGRect b = bounds();
    field_->setFrame(CGRectMake(8, 8, std::max(0.0, b.width() - 16), std::max(0.0, b.height() - 16)));
}

// UIImageView

CGRect UIImageView::imageRect() const {
    CGRect b = bounds();
    if (!image_) return b;
    const CGSize s = image_->size();
    if (s.width <= 0 || s.height <= 0) return b;
    switch (contentMode_) {
        case UIViewContentMode::ScaleToFill:
        case UIViewContentMode::Redraw: return b;
        case UIViewContentMode::ScaleAspectFit:
        case UIViewContentMode::ScaleAspectFill: {
            const double sx = b.width() / s.width;
            const double sy = b.height() / s.height;
            const double k = contentMode_ == UIViewContentMode::ScaleAspectFit ? std::min(sx, sy) : std::max(sx, sy);
            const double w = s.width * k;
            const double h = s.height * k;
            return CGRectMake((b.width() - w) / 2, (b.height() - h) / 2, w, h);
        }
        case UIViewContentMode::Center: return CGRectMake((b.width() - s.width) / 2, (b.height() - s.height) / 2, s.width, s.height);
        case UIViewContentMode::Top: return CGRectMake((b.width() - s.width) / 2, 0, s.width, s.height);
        case UIViewContentMode::Bottom: return CGRectMake((b.width() - s.width) / 2, b.height() - s.height, s.width, s.height);
        case UIViewContentMode::Left: return CGRectMake(0, (b.height() - s.height) / 2, s.width, s.height);
        case UIViewContentMode::Right: return CGRectMake(b.width() - s.width, (b.height() - s.height) / 2, s.width, s.height);
    }
    return b;
}

// UIActivityIndicatorView

UIActivityIndicatorView::UIActivityIndicatorView(CGRect frame) : UIView(frame) {
    setUserInteractionEnabled(false);
    updateHidden();
}

void UIActivityIndicatorView::setActivityIndicatorViewStyle(UIActivityIndicatorViewStyle s) {
    style_ = s;
    color_ = s == UIActivityIndicatorViewStyle::Gray ? UIColor::grayColor() : UIColor::whiteColor();
}

void UIActivityIndicatorView::setHidesWhenStopped(bool h) {
    hidesWhenStopped_ = h;
    updateHidden();
}

void UIActivityIndicatorView::startAnimating() {
    animating_ = true;
    updateHidden();
}

void UIActivityIndicatorView::stopAnimating() {
    animating_ = false;
    updateHidden();
}

void UIActivityIndicatorView::updateHidden() {
    if (hidesWhenStopped_) setHidden(!animating_);
}

}  // namespace ns
