#pragma once
// The window, the screen, the device, UIApplicationMain and input.
//
// The window shows its root controller's view and, above it, the view of
// every controller presented in the chain from the root. It is where input
// arrives (the headless stand-in of touches and the keyboard):
//   - sendTap(point) hit-tests the point, runs the tap gesture recognisers
//     of the views under it (innermost first), then, unless one of them
//     cancels touches in its view, delivers the tap: a control's touch-up
//     actions, a text field's focus, a table row's selection;
//   - sendTapToView(view) taps the middle of a view; a view covered by
//     another (a busy overlay, an alert) does not get the tap;
//   - sendText / sendDeleteBackward type into the first responder.
// All of them refuse (return false, nothing happens) while the application
// ignores interaction events, and also when the tap lands on nothing that
// takes it. Before each input and each picture the window lays itself out.
//
// Main thread only.

#include <memory>
#include <string>
#include <vector>

#include "platform/value.h"
#include "uikit/UIViewController.h"

namespace ns {

inline constexpr const char* kUIWindowDidBecomeKeyNotification = "UIWindowDidBecomeKeyNotification";
inline constexpr const char* kUIWindowDidResignKeyNotification = "UIWindowDidResignKeyNotification";

class UIScreen : public Object {
public:
    // The phone: 375 x 667 points at scale 2.
    static std::shared_ptr<UIScreen> mainScreen();
    CGRect bounds() const { return {{0, 0}, {375, 667}}; }
    double scale() const { return 2; }
    // In pixels.
    CGRect nativeBounds() const { return {{0, 0}, {750, 1334}}; }
    std::string className() const override { return "UIScreen"; }
};

// Reads the current sandbox's device profile on every call, so a test that
// changes the profile (TempSandbox::setDeviceProfile) switches the version.
class UIDevice : public Object {
public:
    static std::shared_ptr<UIDevice> currentDevice();
    std::string systemName() const;
    std::string systemVersion() const;
    // The major version as an integer ("9.3" -> 9), as -[NSString intValue].
    int systemMajorVersion() const;
    std::string model() const;
    std::string name() const;
    std::string identifierForVendor() const;
    std::string className() const override { return "UIDevice"; }
};

class UIWindow : public UIView {
public:
    explicit UIWindow(CGRect frame);
    static std::shared_ptr<UIWindow> make() { return std::make_shared<UIWindow>(UIScreen::mainScreen()->bounds()); }

    UIViewControllerPtr rootViewController() const { return root_; }
    // Replaces the root: the old root and everything it presents disappear
    // and are dismissed, the new root appears when the window is visible.
    void setRootViewController(const UIViewControllerPtr& vc);
    // Shows the window and makes it the application's key window.
    void makeKeyAndVisible();
    bool isKeyWindow() const;
    bool isVisible() const { return visible_; }

    // The controller on top: the last one presented in the chain from the
    // root, or the root.
    UIViewControllerPtr topmostViewController() const;

    // Input (see the header's comment).
    bool sendTap(CGPoint point);
    bool sendTapToView(const UIView& view);
    bool sendText(const std::string& text);
    bool sendDeleteBackward();
    // Replaces the whole text of a field as a person would: tap it, select
    // all, type. False when the field does not take the tap.
    bool sendReplaceText(UITextField& field, const std::string& text);

    // Adds / removes the view of a presented controller above the others.
    void addPresentedView(const UIViewPtr& view);
    void removePresentedView(const UIViewPtr& view);

    void layoutSubviews() override;
    std::string className() const override { return "UIWindow"; }

private:
    bool deliverTap(const UIViewPtr& hit);
    void installRootView();
    UIViewControllerPtr root_;
    bool visible_ = false;
};

// Makes the application delegate from its class name (it must answer the
// class method "new"), loads the main storyboard (when one is registered)
// into a new window whose root is its initial controller and hands the
// window to the delegate ("setWindow:" when it answers it), runs the launch
// (application:didFinishLaunchingWithOptions:), makes the window key and
// visible and makes the application active. Returns the delegate. The run
// loop is left to the caller (tests, the browser host).
ObjectPtr UIApplicationLaunch(const std::string& delegateClassName);
// UIApplicationLaunch, then the main run loop until the application
// terminates. `principalClassName` must be empty (only UIApplication is
// supported). Returns 0.
int UIApplicationMain(int argc, char** argv, const std::string& principalClassName,
                      const std::string& delegateClassName);
// The application's key window as a UIWindow, or nullptr.
std::shared_ptr<UIWindow> keyWindow();

}  // namespace ns
