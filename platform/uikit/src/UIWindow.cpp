#include "uikit/UIWindow.h"

#include <algorithm>
#include <cstdlib>

#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/error.h"
#include "platform/no_destructor.h"
#include "platform/notification_center.h"
#include "platform/runloop.h"
#include "platform/runtime.h"
#include "platform/sandbox.h"
#include "uikit_internal.h"

namespace ns {

namespace uikit {
void assertMainThreadChecked(const char* what) {
    if (RunLoop::isMainThread()) return;
    Exception::raise(kInternalInconsistencyException, std::string(what) + " must be used from the main thread only");
}
}  // namespace uikit

// UIScreen, UIDevice

std::shared_ptr<UIScreen> UIScreen::mainScreen() {
    static ns::NoDestructor<std::shared_ptr<UIScreen>> screen(std::make_shared<UIScreen>());
    return *screen;
}

std::shared_ptr<UIDevice> UIDevice::currentDevice() {
    static ns::NoDestructor<std::shared_ptr<UIDevice>> device(std::make_shared<UIDevice>());
    return *device;
}

std::string UIDevice::systemName() const { return Sandbox::current()->deviceProfile().systemName; }
std::string UIDevice::systemVersion() const { return Sandbox::current()->deviceProfile().systemVersion; }
int UIDevice::systemMajorVersion() const { return std::atoi(systemVersion().c_str()); }
std::string UIDevice::model() const { return Sandbox::current()->deviceProfile().model; }
std::string UIDevice::name() const { return Sandbox::current()->deviceProfile().name; }
std::string UIDevice::identifierForVendor() const { return Sandbox::current()->deviceProfile().identifierForVendor; }

// UIWindow

UIWindow::UIWindow(CGRect frame) : UIView(frame) {}

void UIWindow::setRootViewController(const UIViewControllerPtr& vc) {
    uikit::assertMainThread("-[UIWindow setRootViewController:]");
    auto old = root_;
    if (old == vc) return;
    if (old) {
        if (visible_) old->beginAppearanceTransition(false, false);
        // Whatever the old root presents goes with it, after the old root's
        // own view: what it presented uncovers nothing as it goes.
        if (old->isViewLoaded()) old->view()->removeFromSuperview();
        old->dismissPresentedForRemoval();
        old->window_.reset();
    }
    root_ = vc;
    if (vc) {
        vc->window_ = std::static_pointer_cast<UIWindow>(shared_from_this());
        // A window not yet shown loads its root's view when it is.
        if (visible_) {
            installRootView();
            vc->beginAppearanceTransition(true, false);
        }
    }
    if (old && visible_) old->endAppearanceTransition();
    if (vc && visible_) vc->endAppearanceTransition();
}

void UIWindow::makeKeyAndVisible() {
    uikit::assertMainThread("-[UIWindow makeKeyAndVisible]");
    auto app = Application::shared();
    auto self = shared_from_this();
    auto previous = std::dynamic_pointer_cast<UIWindow>(app->keyWindow());
    if (previous.get() != this) {
        if (previous) NotificationCenter::defaultCenter().post(kUIWindowDidResignKeyNotification, previous);
        app->setKeyWindow(self);
        NotificationCenter::defaultCenter().post(kUIWindowDidBecomeKeyNotification, self);
    }
    if (!visible_) {
        visible_ = true;
        if (root_) {
            installRootView();
            root_->beginAppearanceTransition(true, false);
            root_->endAppearanceTransition();
        }
    }
    layoutIfNeeded();
}

void UIWindow::installRootView() {
    root_->view()->setFrame(bounds());
    if (root_->view()->superview().get() != this) insertSubview(root_->view(), 0);
}

bool UIWindow::isKeyWindow() const { return Application::shared()->keyWindow().get() == this; }

UIViewControllerPtr UIWindow::topmostViewController() const {
    auto top = root_;
    while (top && top->presentedViewController()) top = top->presentedViewController();
    return top;
}

void UIWindow::addPresentedView(const UIViewPtr& view) {
    view->setFrame(bounds());
    addSubview(view);
}

void UIWindow::removePresentedView(const UIViewPtr& view) {
    if (view->superview().get() == this) view->removeFromSuperview();
}

void UIWindow::layoutSubviews() {
    for (const auto& sub : subviews()) {
        if (sub->viewController()) sub->setFrame(bounds());
    }
}

bool UIWindow::sendTap(CGPoint point) {
    uikit::assertMainThread("UIWindow input");
    if (Application::shared()->isIgnoringInteractionEvents() || !visible_) return false;
    layoutIfNeeded();
    auto hit = hitTest(point);
    return hit && deliverTap(hit);
}

bool UIWindow::sendTapToView(const UIView& view) {
    uikit::assertMainThread("UIWindow input");
    if (Application::shared()->isIgnoringInteractionEvents() || !visible_) return false;
    layoutIfNeeded();
    if (view.window() != this || !view.isVisibleInWindow()) return false;
    auto hit = hitTest(view.frameInWindow().center());
    // A view under another one (an overlay, an alert) does not get the tap.
    if (!hit || !hit->isDescendantOfView(view)) return false;
    return deliverTap(hit);
}

bool UIWindow::deliverTap(const UIViewPtr& hit) {
    bool recognized = false;
    bool cancelled = false;
    for (auto v = hit; v; v = v->superview()) {
        for (const auto& g : std::vector<std::shared_ptr<UIGestureRecognizer>>(v->gestureRecognizers())) {
            if (!g->isEnabled() || !std::dynamic_pointer_cast<UITapGestureRecognizer>(g)) continue;
            g->recognize();
            recognized = true;
            if (g->cancelsTouchesInView()) cancelled = true;
        }
    }
    if (cancelled) return true;
    for (auto v = hit; v; v = v->superview()) {
        if (auto field = std::dynamic_pointer_cast<UITextField>(v)) {
            return field->isEnabled() ? field->becomeFirstResponder() : recognized;
        }
        if (auto control = std::dynamic_pointer_cast<UIControl>(v)) {
            if (!control->isEnabled()) return recognized;
            control->sendActionsForControlEvents(UIControlEventTouchDown);
            control->sendActionsForControlEvents(UIControlEventTouchUpInside | UIControlEventPrimaryActionTriggered);
            return true;
        }
        if (auto cell = std::dynamic_pointer_cast<UITableViewCell>(v)) {
            auto table = std::dynamic_pointer_cast<UITableView>(cell->superview());
            NSIndexPath path;
            if (table && table->allowsSelection() && table->indexPathForCell(*cell, &path)) {
                table->userSelectRow(path);
                return true;
            }
        }
    }
    return recognized;
}

bool UIWindow::sendText(const std::string& text) {
    uikit::assertMainThread("UIWindow input");
    if (Application::shared()->isIgnoringInteractionEvents() || !visible_) return false;
    auto field = std::dynamic_pointer_cast<UITextField>(UIView::currentFirstResponder());
    if (!field || field->window() != this) return false;
    field->insertText(text);
    return true;
}

bool UIWindow::sendDeleteBackward() {
    uikit::assertMainThread("UIWindow input");
    if (Application::shared()->isIgnoringInteractionEvents() || !visible_) return false;
    auto field = std::dynamic_pointer_cast<UITextField>(UIView::currentFirstResponder());
    if (!field || field->window() != this) return false;
    field->deleteBackward();
    return true;
}

bool UIWindow::sendReplaceText(UITextField& field, const std::string& text) {
    if (!sendTapToView(field) || !field.isFirstResponder()) return false;
    field.selectAll();
    if (text.empty()) {
        if (!field.text().empty()) field.deleteBackward();
    } else {
        field.insertText(text);
    }
    return true;
}

// UIApplicationMain

std::shared_ptr<UIWindow> keyWindow() { return std::dynamic_pointer_cast<UIWindow>(Application::shared()->keyWindow()); }

ObjectPtr UIApplicationLaunch(const std::string& delegateClassName) {
    Value made = Runtime::sendClass(delegateClassName, "new");
    if (!made.isObject()) {
        Exception::raise(kInternalInconsistencyException,
                         "Unable to instantiate the UIApplication delegate instance. No class named " +
                             delegateClassName + " is loaded.");
    }
    ObjectPtr delegate = made.asObject();
    auto app = Application::shared();
    app->setDelegate(delegate);

    Value storyboardName = Bundle::mainBundle()->objectForInfoDictionaryKey("UIMainStoryboardFile");
    const std::string name = storyboardName.isString() ? storyboardName.asString() : "Main";
    std::shared_ptr<UIWindow> window;
    if (UIStoryboard::hasStoryboardNamed(name)) {
        auto storyboard = UIStoryboard::storyboardWithName(name);
        window = UIWindow::make();
        if (auto initial = storyboard->instantiateInitialViewController()) window->setRootViewController(initial);
        if (Runtime::respondsTo(*delegate, "setWindow:")) {
            Runtime::send(*delegate, "setWindow:", {Value(std::static_pointer_cast<Object>(window))});
        }
    }
    app->finishLaunching();
    // The delegate may have made its own window during the launch.
    if (Runtime::respondsTo(*delegate, "window")) {
        if (auto own = Runtime::send(*delegate, "window").asObjectOf<UIWindow>()) window = own;
    }
    if (window && !window->isKeyWindow()) window->makeKeyAndVisible();
    app->becomeActive();
    return delegate;
}

int UIApplicationMain(int, char**, const std::string& principalClassName, const std::string& delegateClassName) {
    if (!principalClassName.empty() && principalClassName != "UIApplication") {
        Exception::raise(kInvalidArgumentException, "Only UIApplication can be the principal class");
    }
    UIApplicationLaunch(delegateClassName);
    RunLoop::main().run();
    return 0;
}

}  // namespace ns
