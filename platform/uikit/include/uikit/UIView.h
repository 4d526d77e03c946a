#pragma once
// Views and layers of the UIKit stand-in: a retained tree, headless, drawn
// only when someone asks for a picture (uikit/renderer.h).
//
// Every UIView owns one CALayer; adding a sub-view adds its layer to the
// super-view's layer, so the layer tree is what the renderer draws and the
// view tree is what hit-testing walks. A layer may also carry layers of its
// own that belong to no view.
//
// Geometry is in points. A view's frame is in its super-view's coordinates.
// Its bounds are the part of its own coordinates it shows: they start at
// (0, 0) except in a scroll view, whose bounds origin is its content offset,
// so its sub-views keep their frames in the content while hit-testing,
// conversion to the window and drawing see them moved. Setting the centre
// moves the frame.
//
// Layout: NSLayoutConstraint is a small subset of Auto Layout. An active
// constraint sets one attribute of its first item from an attribute of its
// second item (or from the constant alone) when layoutIfNeeded runs on a view
// that contains the first item; changing a constant marks the layout as
// needed, and the window lays itself out before it is drawn or touched.
//
// animateWithDuration runs the animation block at once (there is no frame
// clock) and records the duration, which tests read back.
//
// Threads: UIKit is main-thread only; Debug builds raise
// NSInternalInconsistencyException when a controller's view is loaded, a
// screen presented, pushed or popped, a window's root set or input sent off
// the main thread. Objects are shared_ptr-owned; a view holds its sub-views
// strongly and its super-view weakly.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/value.h"
#include "uikit/UIColor.h"
#include "uikit/geometry.h"
#include "uikit/target_action.h"

namespace ns {

struct CGContext;
class UIImage;
class UIView;
class UIWindow;
class UIViewController;
using UIViewPtr = std::shared_ptr<UIView>;

class CALayer : public Object {
public:
    static std::shared_ptr<CALayer> layer() { return std::make_shared<CALayer>(); }
    CALayer() = default;
    // Sublayers that outlive this layer no longer name it as their parent.
    ~CALayer() override;
    CALayer(const CALayer&) = delete;
    CALayer& operator=(const CALayer&) = delete;

    CGRect frame() const { return frame_; }
    void setFrame(CGRect frame) { frame_ = frame; }
    // The frame's size at the bounds origin: the point of the layer's own
    // coordinates drawn at the frame's top left corner.
    CGRect bounds() const { return {boundsOrigin_, frame_.size}; }
    void setBoundsOrigin(CGPoint origin) { boundsOrigin_ = origin; }
    // The centre of the frame (anchor point fixed in the middle).
    CGPoint position() const { return frame_.center(); }
    void setPosition(CGPoint p);

    UIColor backgroundColor() const { return backgroundColor_; }
    void setBackgroundColor(UIColor c) { backgroundColor_ = c; }
    double cornerRadius() const { return cornerRadius_; }
    void setCornerRadius(double r) { cornerRadius_ = r; }
    double borderWidth() const { return borderWidth_; }
    void setBorderWidth(double w) { borderWidth_ = w; }
    UIColor borderColor() const { return borderColor_; }
    void setBorderColor(UIColor c) { borderColor_ = c; }
    double shadowOpacity() const { return shadowOpacity_; }
    void setShadowOpacity(double o) { shadowOpacity_ = o; }
    double shadowRadius() const { return shadowRadius_; }
    void setShadowRadius(double r) { shadowRadius_ = r; }
    CGSize shadowOffset() const { return shadowOffset_; }
    void setShadowOffset(CGSize s) { shadowOffset_ = s; }
    UIColor shadowColor() const { return shadowColor_; }
    void setShadowColor(UIColor c) { shadowColor_ = c; }
    bool masksToBounds() const { return masksToBounds_; }
    void setMasksToBounds(bool m) { masksToBounds_ = m; }
    bool isHidden() const { return hidden_; }
    void setHidden(bool h) { hidden_ = h; }
    double opacity() const { return opacity_; }
    void setOpacity(double o) { opacity_ = o; }
    // An image drawn over the background, stretched to the bounds.
    std::shared_ptr<UIImage> contents() const { return contents_; }
    void setContents(std::shared_ptr<UIImage> image) { contents_ = std::move(image); }

    const std::vector<std::shared_ptr<CALayer>>& sublayers() const { return sublayers_; }
    CALayer* superlayer() const { return superlayer_; }
    void addSublayer(const std::shared_ptr<CALayer>& layer);
    void insertSublayer(const std::shared_ptr<CALayer>& layer, size_t index);
    void removeFromSuperlayer();

    // The view whose layer this is; nullptr for a free layer or once the
    // view is gone.
    UIView* view() const { return view_; }

    // Draws this layer and everything under it into an image context
    // (uikit/renderer.h), the layer's origin at the context's.
    void renderInContext(CGContext* context) const;

    std::string className() const override { return "CALayer"; }

private:
    friend class UIView;
    CGRect frame_{};
    CGPoint boundsOrigin_{};
    UIColor backgroundColor_ = UIColor::clearColor();
    double cornerRadius_ = 0;
    double borderWidth_ = 0;
    UIColor borderColor_ = UIColor::blackColor();
    double shadowOpacity_ = 0;
    double shadowRadius_ = 3;
    CGSize shadowOffset_{0, -3};
    UIColor shadowColor_ = UIColor::blackColor();
    bool masksToBounds_ = false;
    bool hidden_ = false;
    double opacity_ = 1;
    std::shared_ptr<UIImage> contents_;
    std::vector<std::shared_ptr<CALayer>> sublayers_;
    CALayer* superlayer_ = nullptr;
    UIView* view_ = nullptr;
};

enum class NSLayoutAttribute { Left = 1, Right, Top, Bottom, Leading, Trailing, Width, Height, CenterX, CenterY };

class NSLayoutConstraint : public Object {
public:
    // first.attribute = second.secondAttribute * multiplier + constant; with
    // no second item, first.attribute = constant.
    static std::shared_ptr<NSLayoutConstraint> constraintWithItem(const UIViewPtr& first, NSLayoutAttribute attribute,
                                                                  const UIViewPtr& second,
                                                                  NSLayoutAttribute secondAttribute,
                                                                  double multiplier = 1, double constant = 0);

    double constant() const { return constant_; }
    // Marks the first item's super-view as needing layout.
    void setConstant(double c);
    double multiplier() const { return multiplier_; }
    bool isActive() const { return active_; }
    // Activating installs the constraint on its first item.
    void setActive(bool active);
    UIViewPtr firstItem() const { return first_.lock(); }
    UIViewPtr secondItem() const { return second_.lock(); }
    NSLayoutAttribute firstAttribute() const { return attribute_; }
    NSLayoutAttribute secondAttribute() const { return secondAttribute_; }

    // Sets the first item's attribute; does nothing when an item is gone.
    void apply() const;

    std::string className() const override { return "NSLayoutConstraint"; }

private:
    friend class UIView;
    std::weak_ptr<UIView> first_;
    std::weak_ptr<UIView> second_;
    bool hasSecond_ = false;
    NSLayoutAttribute attribute_ = NSLayoutAttribute::Leading;
    NSLayoutAttribute secondAttribute_ = NSLayoutAttribute::Leading;
    double multiplier_ = 1;
    double constant_ = 0;
    bool active_ = false;
};

enum class UIGestureRecognizerState { Possible = 0, Began, Changed, Ended, Cancelled, Failed };

class UIGestureRecognizer : public Object {
public:
    UIGestureRecognizer() = default;
    explicit UIGestureRecognizer(TargetAction action) { addTarget(std::move(action)); }

    void addTarget(TargetAction action) { actions_.push_back(std::move(action)); }
    const std::vector<TargetAction>& actions() const { return actions_; }
    // The view it is attached to; nullptr before addGestureRecognizer.
    UIViewPtr view() const { return view_.lock(); }
    bool cancelsTouchesInView() const { return cancelsTouchesInView_; }
    void setCancelsTouchesInView(bool c) { cancelsTouchesInView_ = c; }
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool e) { enabled_ = e; }
    UIGestureRecognizerState state() const { return state_; }

    // Called by the window when the gesture is recognised: runs the actions.
    void recognize();

    std::string className() const override { return "UIGestureRecognizer"; }

private:
    friend class UIView;
    std::vector<TargetAction> actions_;
    std::weak_ptr<UIView> view_;
    bool cancelsTouchesInView_ = true;
    bool enabled_ = true;
    UIGestureRecognizerState state_ = UIGestureRecognizerState::Possible;
};

class UITapGestureRecognizer : public UIGestureRecognizer {
public:
    using UIGestureRecognizer::UIGestureRecognizer;
    static std::shared_ptr<UITapGestureRecognizer> make(TargetAction action) {
        return std::make_shared<UITapGestureRecognizer>(std::move(action));
    }
    std::string className() const override { return "UITapGestureRecognizer"; }
};

class UIView : public Object {
public:
    explicit UIView(CGRect frame = {});
    ~UIView() override;
    UIView(const UIView&) = delete;
    UIView& operator=(const UIView&) = delete;
    static UIViewPtr make(CGRect frame = {}) { return std::make_shared<UIView>(frame); }

    // Geometry.
    CGRect frame() const { return layer_->frame(); }
    void setFrame(CGRect frame);
    CGRect bounds() const { return layer_->bounds(); }
    // Keeps the centre; the origin is what the view shows of its own
    // coordinates (a scroll view's content offset).
    void setBounds(CGRect bounds);
    CGPoint center() const { return layer_->position(); }
    void setCenter(CGPoint c);

    // Appearance (stored on the layer).
    UIColor backgroundColor() const { return layer_->backgroundColor(); }
    void setBackgroundColor(UIColor c) { layer_->setBackgroundColor(c); }
    bool isHidden() const { return layer_->isHidden(); }
    void setHidden(bool h) { layer_->setHidden(h); }
    double alpha() const { return layer_->opacity(); }
    void setAlpha(double a) { layer_->setOpacity(a); }
    bool clipsToBounds() const { return layer_->masksToBounds(); }
    void setClipsToBounds(bool c) { layer_->setMasksToBounds(c); }
    const std::shared_ptr<CALayer>& layer() const { return layer_; }
    UIColor tintColor() const { return tintColor_; }
    void setTintColor(UIColor c) { tintColor_ = c; }

    bool isUserInteractionEnabled() const { return userInteractionEnabled_; }
    void setUserInteractionEnabled(bool e) { userInteractionEnabled_ = e; }
    long tag() const { return tag_; }
    void setTag(long t) { tag_ = t; }
    // The outlet name the storyboard gives the view; how tests, the script
    // player and the browser page find it.
    const std::string& accessibilityIdentifier() const { return accessibilityIdentifier_; }
    void setAccessibilityIdentifier(std::string id) { accessibilityIdentifier_ = std::move(id); }
    // A person-readable name (a button's title is used when this is empty).
    const std::string& accessibilityLabel() const { return accessibilityLabel_; }
    void setAccessibilityLabel(std::string label) { accessibilityLabel_ = std::move(label); }

    // The tree.
    UIViewPtr superview() const { return superview_.lock(); }
    const std::vector<UIViewPtr>& subviews() const { return subviews_; }
    // Takes the view out of its current super-view first. Adding a view to
    // itself or to one of its own sub-views raises
    // NSInvalidArgumentException.
    void addSubview(const UIViewPtr& view);
    void insertSubview(const UIViewPtr& view, size_t index);
    void removeFromSuperview();
    void bringSubviewToFront(const UIViewPtr& view);
    void sendSubviewToBack(const UIViewPtr& view);
    bool isDescendantOfView(const UIView& view) const;
    // The window the view is in, or nullptr.
    UIWindow* window() const;
    // The first view in this subtree (this view included, depth first) whose
    // accessibilityIdentifier is `identifier`.
    UIViewPtr viewWithIdentifier(const std::string& identifier);
    UIViewPtr viewWithTag(long tag);

    // Visible on screen: not hidden, alpha above zero, and the same for every
    // super-view up to a window.
    bool isVisibleInWindow() const;
    // This view's bounds (or a rectangle of it) in window coordinates.
    CGRect frameInWindow() const;
    // frameInWindow cut to every super-view that clips to its bounds: what
    // of the view can be seen (empty when it is scrolled out of sight).
    CGRect visibleFrameInWindow() const;
    CGRect convertRectToWindow(CGRect rect) const;
    CGPoint convertPointFromWindow(CGPoint p) const;

    // Hit-testing, in this view's coordinates: the deepest visible,
    // interaction-enabled view under the point (later sub-views first), or
    // nullptr.
    virtual UIViewPtr hitTest(CGPoint point);
    virtual bool pointInside(CGPoint point) const;

    // Gestures.
    void addGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& recognizer);
    void removeGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& recognizer);
    const std::vector<std::shared_ptr<UIGestureRecognizer>>& gestureRecognizers() const { return gestures_; }

    // Layout.
    void addConstraint(const std::shared_ptr<NSLayoutConstraint>& constraint);
    void removeConstraint(const std::shared_ptr<NSLayoutConstraint>& constraint);
    // The active constraints whose first item is this view.
    const std::vector<std::shared_ptr<NSLayoutConstraint>>& constraints() const { return constraints_; }
    void setNeedsLayout();
    bool needsLayout() const { return needsLayout_; }
    // Applies the constraints of every view in this subtree and runs
    // layoutSubviews where a layout is needed (parents before children).
    void layoutIfNeeded();
    // Subclasses place their own sub-views here.
    virtual void layoutSubviews() {}
    // Containers whose layout follows state outside the view tree (a
    // navigation bar showing the top screen's item) lay out on every pass.
    virtual bool needsLayoutEveryPass() const { return false; }

    // First responder (text input focus).
    virtual bool canBecomeFirstResponder() const { return false; }
    bool becomeFirstResponder();
    bool resignFirstResponder();
    bool isFirstResponder() const;
    static UIViewPtr currentFirstResponder();
    // Resigns the first responder when it is in this subtree; `force` is
    // accepted for the signature's sake (nothing refuses to resign).
    bool endEditing(bool force);

    // The controller whose root view this is (held weakly).
    std::shared_ptr<UIViewController> viewController() const { return viewController_.lock(); }

    // Animation: runs `animations` now, records `duration`, and calls
    // `completion(true)` on the main queue afterwards.
    static void animateWithDuration(double duration, const std::function<void()>& animations,
                                    std::function<void(bool finished)> completion = {});
    static const std::vector<double>& recordedAnimationDurations();
    static void clearRecordedAnimations();

    std::string className() const override { return "UIView"; }
    std::string description() const override;

protected:
    virtual void didBecomeFirstResponder() {}
    virtual void didResignFirstResponder() {}

private:
    friend class UIViewController;
    friend class NSLayoutConstraint;
    void applyLayoutTree();
    std::shared_ptr<CALayer> layer_;
    std::weak_ptr<UIView> superview_;
    std::vector<UIViewPtr> subviews_;
    std::vector<std::shared_ptr<UIGestureRecognizer>> gestures_;
    std::vector<std::shared_ptr<NSLayoutConstraint>> constraints_;
    std::weak_ptr<UIViewController> viewController_;
    UIColor tintColor_ = UIColor::systemBlueColor();
    bool userInteractionEnabled_ = true;
    bool needsLayout_ = true;
    long tag_ = 0;
    std::string accessibilityIdentifier_;
    std::string accessibilityLabel_;
};

// UIScrollView stand-in: shows a part of a content larger than itself.
//
// The content offset is the bounds origin, the point of the content shown at
// the view's top left corner. It stays within [0, contentSize - bounds size]
// on each axis, without bounce: a content no larger than the view does not
// move. Moving it marks the view as needing layout (a table brings in the
// rows that came into sight then); the renderer draws the content moved by
// the offset and clipped to the view, and taps reach what is drawn there.
class UIScrollView : public UIView {
public:
    explicit UIScrollView(CGRect frame = {});
    static std::shared_ptr<UIScrollView> make(CGRect frame = {}) { return std::make_shared<UIScrollView>(frame); }

    CGSize contentSize() const { return contentSize_; }
    // Brings the offset back within the new content when it no longer fits.
    void setContentSize(CGSize size);
    CGPoint contentOffset() const { return bounds().origin; }
    // Clamped to the content. There is no frame clock, so an animated move
    // ends at once, as animateWithDuration does.
    void setContentOffset(CGPoint offset, bool animated = false);
    // The largest offset the content allows on each axis.
    CGPoint maximumContentOffset();
    bool isScrollEnabled() const { return scrollEnabled_; }
    void setScrollEnabled(bool e) { scrollEnabled_ = e; }

    // A person's drag or mouse wheel over `point` of `window` (window
    // coordinates), asking the content to move by `delta` (a positive y
    // shows what lies further down, as a drag upwards does). The point is
    // hit-tested as a tap is; the innermost scroll view under it that can
    // move that way (scrolling enabled, not already at that end) moves,
    // clamped, and is returned; when none can, the innermost one is returned
    // unmoved. nullptr when the application ignores interaction events, the
    // window is not shown or no scroll view lies under the point (a busy
    // overlay or an alert covers the list).
    static std::shared_ptr<UIScrollView> scrollAtPoint(UIWindow& window, CGPoint point, CGPoint delta);

    std::string className() const override { return "UIScrollView"; }

protected:
    // Subclasses whose content follows their data (a table's rows) bring
    // the content size up to date here, before an offset is clamped to it.
    virtual void updateContentSize() {}

private:
    CGPoint limit() const;
    void moveTo(CGPoint offset);
    CGSize contentSize_{};
    bool scrollEnabled_ = true;
};

}  // namespace ns
