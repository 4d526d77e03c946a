#include "uikit/UIView.h"

#include <algorithm>
#include <cmath>

#include "platform/application.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/no_destructor.h"
#include "platform/runloop.h"
#include "uikit/UIWindow.h"
#include "uikit_internal.h"

namespace ns {

namespace {

std::weak_ptr<UIView>& firstResponderSlot() {
    static ns::NoDestructor<std::weak_ptr<UIView>> slot;
    return *slot;
}

std::vector<double>& animationRecord() {
    static ns::NoDestructor<std::vector<double>> record;
    return *record;
}

double attributeValue(const CGRect& frame, NSLayoutAttribute attribute) {
    switch (attribute) {
        case NSLayoutAttribute::Left:
        case NSLayoutAttribute::Leading: return frame.minX();
        case NSLayoutAttribute::Right:
        case NSLayoutAttribute::Trailing: return frame.maxX();
        case NSLayoutAttribute::Top: return frame.minY();
        case NSLayoutAttribute::Bottom: return frame.maxY();
        case NSLayoutAttribute::Width: return frame.width();
        case NSLayoutAttribute::Height: return frame.height();
        case NSLayoutAttribute::CenterX: return frame.midX();
        case NSLayoutAttribute::CenterY: return frame.midY();
    }
    return 0;
}

// The part both rectangles cover; empty (at the nearest corner) when they
// do not meet.
CGRect intersection(const CGRect& a, const CGRect& b) {
    const double x0 = std::max(a.minX(), b.minX());
    const double y0 = std::max(a.minY(), b.minY());
    const double x1 = std::min(a.maxX(), b.maxX());
    const double y1 = std::min(a.maxY(), b.maxY());
    return CGRectMake(x0, y0, std::max(0.0, x1 - x0), std::max(0.0, y1 - y0));
}

// Takes `item` out of `list` when it is there, moving `index` so that it
// still names the same place among the others.
template <class T>
bool takeOut(std::vector<std::shared_ptr<T>>& list, const std::shared_ptr<T>& item, size_t& index) {
    auto it = std::find(list.begin(), list.end(), item);
    if (it == list.end()) return false;
    const size_t old = size_t(it - list.begin());
    list.erase(it);
    if (old < index) --index;
    return true;
}

}  // namespace

// CALayer

CALayer::~CALayer() {
    for (auto& sub : sublayers_) sub->superlayer_ = nullptr;
}

void CALayer::setPosition(CGPoint p) {
    frame_.origin = {p.x - frame_.size.width / 2, p.y - frame_.size.height / 2};
}

void CALayer::addSublayer(const std::shared_ptr<CALayer>& layer) { insertSublayer(layer, sublayers_.size()); }

void CALayer::insertSublayer(const std::shared_ptr<CALayer>& layer, size_t index) {
    if (!layer || layer.get() == this) {
        Exception::raise(kInvalidArgumentException, "-[CALayer insertSublayer:atIndex:]: a layer cannot contain itself");
    }
    // Keep the layer alive while it moves.
    std::shared_ptr<CALayer> keep = layer;
    if (layer->superlayer_ != this || !takeOut(sublayers_, keep, index)) layer->removeFromSuperlayer();
    index = std::min(index, sublayers_.size());
    sublayers_.insert(sublayers_.begin() + long(index), keep);
    keep->superlayer_ = this;
}

void CALayer::removeFromSuperlayer() {
    if (!superlayer_) return;
    auto& siblings = superlayer_->sublayers_;
    auto it = std::find_if(siblings.begin(), siblings.end(), [this](const auto& l) { return l.get() == this; });
    superlayer_ = nullptr;
    if (it != siblings.end()) siblings.erase(it);
}

// NSLayoutConstraint

std::shared_ptr<NSLayoutConstraint> NSLayoutConstraint::constraintWithItem(const UIViewPtr& first,
                                                                           NSLayoutAttribute attribute,
                                                                           const UIViewPtr& second,
                                                                           NSLayoutAttribute secondAttribute,
                                                                           double multiplier, double constant) {
    if (!first) Exception::raise(kInvalidArgumentException, "NSLayoutConstraint needs a first item");
    auto c = std::make_shared<NSLayoutConstraint>();
    c->first_ = first;
    c->second_ = second;
    c->hasSecond_ = bool(second);
    c->attribute_ = attribute;
    c->secondAttribute_ = secondAttribute;
    c->multiplier_ = multiplier;
    c->constant_ = constant;
    return c;
}

void NSLayoutConstraint::setConstant(double c) {
    constant_ = c;
    if (auto first = first_.lock()) {
        if (auto parent = first->superview()) parent->setNeedsLayout();
        first->setNeedsLayout();
    }
}

void NSLayoutConstraint::setActive(bool active) {
    auto first = first_.lock();
    if (!first || active == active_) return;
    if (active) {
        first->addConstraint(std::static_pointer_cast<NSLayoutConstraint>(shared_from_this()));
    } else {
        first->removeConstraint(std::static_pointer_cast<NSLayoutConstraint>(shared_from_this()));
    }
}

void NSLayoutConstraint::apply() const {
    auto first = first_.lock();
    if (!first) return;
    double reference = 0;
    if (hasSecond_) {
        auto second = second_.lock();
        if (!second) return;
        // The second item's rectangle in the first item's super-view
        // coordinates: its bounds when it is that super-view.
        CGRect rect;
        auto parent = first->superview();
        if (parent.get() == second.get()) {
            // A scroll view's edges hold its content wherever it is scrolled.
            rect = {{0, 0}, second->bounds().size};
        } else if (parent && second->superview() == parent) {
            rect = second->frame();
        } else if (parent) {
            CGRect inWindow = second->frameInWindow();
            CGPoint parentOrigin = parent->convertRectToWindow({}).origin;
            rect = inWindow.offsetBy(-parentOrigin.x, -parentOrigin.y);
        } else {
            rect = second->frame();
        }
        reference = attributeValue(rect, secondAttribute_) * multiplier_;
    }
    const double v = reference + constant_;
    CGRect f = first->frame();
    switch (attribute_) {
        case NSLayoutAttribute::Left:
        case NSLayoutAttribute::Leading: f.origin.x = v; break;
        case NSLayoutAttribute::Right:
        case NSLayoutAttribute::Trailing: f.origin.x = v - f.size.width; break;
        case NSLayoutAttribute::Top: f.origin.y = v; break;
        case NSLayoutAttribute::Bottom: f.origin.y = v - f.size.height; break;
        case NSLayoutAttribute::Width: f.size.width = v; break;
        case NSLayoutAttribute::Height: f.size.height = v; break;
        case NSLayoutAttribute::CenterX: f.origin.x = v - f.size.width / 2; break;
        case NSLayoutAttribute::CenterY: f.origin.y = v - f.size.height / 2; break;
    }
    first->setFrame(f);
}

// UIGestureRecognizer

void UIGestureRecognizer::recognize() {
    if (!enabled_) return;
    state_ = UIGestureRecognizerState::Ended;
    auto self = shared_from_this();
    for (const auto& action : std::vector<TargetAction>(actions_)) action.perform(self);
    state_ = UIGestureRecognizerState::Possible;
}

// UIView

UIView::UIView(CGRect frame) : layer_(std::make_shared<CALayer>()) {
    layer_->view_ = this;
    layer_->setFrame(frame);
}

UIView::~UIView() {
    layer_->view_ = nullptr;
    for (auto& sub : subviews_) sub->superview_.reset();
}

void UIView::setFrame(CGRect frame) {
    if (frame.size != layer_->frame().size) setNeedsLayout();
    layer_->setFrame(frame);
}

void UIView::setBounds(CGRect bounds) {
    CGPoint c = center();
    layer_->setFrame({{c.x - bounds.size.width / 2, c.y - bounds.size.height / 2}, bounds.size});
    layer_->setBoundsOrigin(bounds.origin);
    setNeedsLayout();
}

void UIView::setCenter(CGPoint c) { layer_->setPosition(c); }

void UIView::addSubview(const UIViewPtr& view) { insertSubview(view, subviews_.size()); }

void UIView::insertSubview(const UIViewPtr& view, size_t index) {
    if (!view || view.get() == this || isDescendantOfView(*view)) {
        Exception::raise(kInvalidArgumentException, "-[UIView addSubview:]: a view cannot contain itself");
    }
    UIViewPtr keep = view;
    if (view->superview().get() != this || !takeOut(subviews_, keep, index)) view->removeFromSuperview();
    index = std::min(index, subviews_.size());
    subviews_.insert(subviews_.begin() + long(index), keep);
    keep->superview_ = std::static_pointer_cast<UIView>(shared_from_this());
    // The layer goes just below the layer of the sub-view above it (at the
    // top when there is none), so free sublayers keep their place relative
    // to the views.
    size_t layerIndex = layer_->sublayers_.size();
    if (index + 1 < subviews_.size()) {
        const auto& above = subviews_[index + 1]->layer_;
        auto it = std::find(layer_->sublayers_.begin(), layer_->sublayers_.end(), above);
        if (it != layer_->sublayers_.end()) layerIndex = size_t(it - layer_->sublayers_.begin());
    }
    layer_->insertSublayer(keep->layer_, layerIndex);
    keep->setNeedsLayout();
}

void UIView::removeFromSuperview() {
    auto parent = superview_.lock();
    if (!parent) return;
    // A first responder that leaves the screen stops editing.
    if (auto responder = firstResponderSlot().lock(); responder && (responder.get() == this || responder->isDescendantOfView(*this))) {
        responder->resignFirstResponder();
    }
    UIViewPtr keep = std::static_pointer_cast<UIView>(shared_from_this());
    auto& siblings = parent->subviews_;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), keep), siblings.end());
    superview_.reset();
    layer_->removeFromSuperlayer();
}

void UIView::bringSubviewToFront(const UIViewPtr& view) {
    if (view && view->superview().get() == this) insertSubview(view, subviews_.size());
}

void UIView::sendSubviewToBack(const UIViewPtr& view) {
    if (view && view->superview().get() == this) insertSubview(view, 0);
}

bool UIView::isDescendantOfView(const UIView& view) const {
    for (const UIView* v = this; v; v = v->superview_.lock().get()) {
        if (v == &view) return true;
    }
    return false;
}

UIWindow* UIView::window() const {
    const UIView* top = this;
    for (auto p = superview_.lock(); p; p = p->superview_.lock()) top = p.get();
    return const_cast<UIWindow*>(dynamic_cast<const UIWindow*>(top));
}

UIViewPtr UIView::viewWithIdentifier(const std::string& identifier) {
    if (accessibilityIdentifier_ == identifier) return std::static_pointer_cast<UIView>(shared_from_this());
    for (const auto& sub : subviews_) {
        if (auto found = sub->viewWithIdentifier(identifier)) return found;
    }
    return nullptr;
}

UIViewPtr UIView::viewWithTag(long tag) {
    if (tag_ == tag) return std::static_pointer_cast<UIView>(shared_from_this());
    for (const auto& sub : subviews_) {
        if (auto found = sub->viewWithTag(tag)) return found;
    }
    return nullptr;
}

bool UIView::isVisibleInWindow() const {
    const UIView* v = this;
    while (v) {
        if (v->isHidden() || v->alpha() <= 0) return false;
        auto parent = v->superview_.lock();
        if (!parent) return dynamic_cast<const UIWindow*>(v) != nullptr;
        v = parent.get();
    }
    return false;
}

CGRect UIView::convertRectToWindow(CGRect rect) const {
    for (const UIView* v = this; v; v = v->superview_.lock().get()) {
        if (dynamic_cast<const UIWindow*>(v)) break;
        const CGRect b = v->bounds();
        rect = rect.offsetBy(v->frame().origin.x - b.origin.x, v->frame().origin.y - b.origin.y);
    }
    return rect;
}

CGRect UIView::frameInWindow() const { return convertRectToWindow(bounds()); }

CGRect UIView::visibleFrameInWindow() const {
    CGRect visible = frameInWindow();
    for (auto v = superview_.lock(); v; v = v->superview_.lock()) {
        if (v->clipsToBounds()) visible = intersection(visible, v->frameInWindow());
    }
    return visible;
}

CGPoint UIView::convertPointFromWindow(CGPoint p) const {
    CGRect origin = convertRectToWindow({});
    return {p.x - origin.origin.x, p.y - origin.origin.y};
}

bool UIView::pointInside(CGPoint point) const { return bounds().contains(point); }

UIViewPtr UIView::hitTest(CGPoint point) {
    if (isHidden() || alpha() < 0.01 || !userInteractionEnabled_ || !pointInside(point)) return nullptr;
    for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
        const auto& sub = *it;
        const CGRect b = sub->bounds();
        CGPoint local{point.x - sub->frame().origin.x + b.origin.x, point.y - sub->frame().origin.y + b.origin.y};
        if (auto hit = sub->hitTest(local)) return hit;
    }
    return std::static_pointer_cast<UIView>(shared_from_this());
}

void UIView::addGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& recognizer) {
    if (!recognizer) return;
    if (auto old = recognizer->view()) old->removeGestureRecognizer(recognizer);
    recognizer->view_ = std::static_pointer_cast<UIView>(shared_from_this());
    gestures_.push_back(recognizer);
}

void UIView::removeGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& recognizer) {
    auto it = std::find(gestures_.begin(), gestures_.end(), recognizer);
    if (it == gestures_.end()) return;
    (*it)->view_.reset();
    gestures_.erase(it);
}

void UIView::addConstraint(const std::shared_ptr<NSLayoutConstraint>& constraint) {
    if (!constraint) return;
    auto first = constraint->firstItem();
    if (!first) return;
    // Constraints live with their first item, whichever view they were added to.
    if (first.get() != this) {
        first->addConstraint(constraint);
        return;
    }
    if (std::find(constraints_.begin(), constraints_.end(), constraint) == constraints_.end()) {
        constraints_.push_back(constraint);
    }
    constraint->active_ = true;
    if (auto parent = superview()) parent->setNeedsLayout();
    setNeedsLayout();
}

void UIView::removeConstraint(const std::shared_ptr<NSLayoutConstraint>& constraint) {
    auto it = std::find(constraints_.begin(), constraints_.end(), constraint);
    if (it == constraints_.end()) return;
    (*it)->active_ = false;
    constraints_.erase(it);
}

void UIView::setNeedsLayout() { needsLayout_ = true; }

void UIView::layoutIfNeeded() {
    // Constraints are cheap: apply them all, then lay out what asked for it.
    applyLayoutTree();
}

void UIView::applyLayoutTree() {
    for (const auto& c : std::vector<std::shared_ptr<NSLayoutConstraint>>(constraints_)) c->apply();
    if (needsLayout_ || needsLayoutEveryPass()) {
        needsLayout_ = false;
        layoutSubviews();
    }
    for (const auto& sub : std::vector<UIViewPtr>(subviews_)) sub->applyLayoutTree();
}

bool UIView::becomeFirstResponder() {
    if (!canBecomeFirstResponder()) return false;
    auto self = std::static_pointer_cast<UIView>(shared_from_this());
    auto current = firstResponderSlot().lock();
    if (current == self) return true;
    if (current && !current->resignFirstResponder()) return false;
    firstResponderSlot() = self;
    didBecomeFirstResponder();
    return true;
}

bool UIView::resignFirstResponder() {
    auto current = firstResponderSlot().lock();
    if (current.get() != this) return true;
    firstResponderSlot().reset();
    didResignFirstResponder();
    return true;
}

bool UIView::isFirstResponder() const { return firstResponderSlot().lock().get() == this; }

UIViewPtr UIView::currentFirstResponder() { return firstResponderSlot().lock(); }

bool UIView::endEditing(bool) {
    auto current = firstResponderSlot().lock();
    if (!current || !current->isDescendantOfView(*this)) return false;
    return current->resignFirstResponder();
}

void UIView::animateWithDuration(double duration, const std::function<void()>& animations,
                                 std::function<void(bool)> completion) {
    animationRecord().push_back(duration);
    if (animations) animations();
    if (completion) DispatchQueue::main()->async([completion = std::move(completion)] { completion(true); });
}

const std::vector<double>& UIView::recordedAnimationDurations() { return animationRecord(); }

void UIView::clearRecordedAnimations() { animationRecord().clear(); }

// UIScrollView

UIScrollView::UIScrollView(CGRect frame) : UIView(frame) { setClipsToBounds(true); }

void UIScrollView::setContentSize(CGSize size) {
    contentSize_ = size;
    moveTo(contentOffset());
}

void UIScrollView::setContentOffset(CGPoint offset, bool) {
    updateContentSize();
    moveTo(offset);
}

CGPoint UIScrollView::maximumContentOffset() {
    updateContentSize();
    return limit();
}

CGPoint UIScrollView::limit() const {
    const CGRect b = bounds();
    return {std::max(0.0, contentSize_.width - b.width()), std::max(0.0, contentSize_.height - b.height())};
}

void UIScrollView::moveTo(CGPoint offset) {
    const CGPoint max = limit();
    auto fit = [](double v, double hi) { return std::isnan(v) ? 0.0 : std::clamp(v, 0.0, hi); };
    const CGPoint clamped{fit(offset.x, max.x), fit(offset.y, max.y)};
    if (clamped == contentOffset()) return;
    layer()->setBoundsOrigin(clamped);
    setNeedsLayout();
}

std::shared_ptr<UIScrollView> UIScrollView::scrollAtPoint(UIWindow& window, CGPoint point, CGPoint delta) {
    uikit::assertMainThread("UIWindow input");
    if (Application::shared()->isIgnoringInteractionEvents() || !window.isVisible()) return nullptr;
    window.layoutIfNeeded();
    std::shared_ptr<UIScrollView> innermost;
    for (auto v = window.hitTest(point); v; v = v->superview()) {
        auto scroll = std::dynamic_pointer_cast<UIScrollView>(v);
        if (!scroll) continue;
        if (!innermost) innermost = scroll;
        if (!scroll->isScrollEnabled()) continue;
        const CGPoint before = scroll->contentOffset();
        scroll->setContentOffset({before.x + delta.x, before.y + delta.y});
        if (scroll->contentOffset() != before) return scroll;
    }
    return innermost;
}

std::string UIView::description() const {
    CGRect f = frame();
    std::string text = format("<%@: frame = (%g %g; %g %g)", className(), f.origin.x, f.origin.y, f.size.width,
                              f.size.height);
    if (!accessibilityIdentifier_.empty()) text += format("; identifier = %@", accessibilityIdentifier_);
    if (isHidden()) text += "; hidden = YES";
    return text + ">";
}

}  // namespace ns
