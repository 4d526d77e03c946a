#include "app/AppDriver.h"

#include <chrono>
#include <functional>
#include <thread>

#include "app/AppDelegate.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/runloop.h"
#include "uikit/renderer.h"

namespace almavel {

AppDriver AppDriver::launch() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::UIApplicationLaunch(AppDelegate().className());
    return AppDriver();
}

std::shared_ptr<ns::UIWindow> AppDriver::window() const {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    return ns::keyWindow();
}

std::optional<ns::UIElement> AppDriver::element(const std::string& name) const {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto w = window();
    if (!w) return std::nullopt;
    const auto elements = ns::interactiveElements(*w);
    // The last drawn is the one on top.
    for (auto it = elements.rbegin(); it != elements.rend(); ++it) {
        if (it->name == name) return *it;
    }
    for (auto it = elements.rbegin(); it != elements.rend(); ++it) {
        if (it->kind != ns::UIElement::Kind::TextField && it->text == name) return *it;
    }
    return std::nullopt;
}

ns::UIViewPtr AppDriver::find(const std::string& name) const {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (auto e = element(name)) {
        if (auto v = e->view.lock()) return v;
    }
    auto w = window();
    if (!w) return nullptr;
    ns::UIViewPtr hiddenMatch;
    std::function<ns::UIViewPtr(const ns::UIViewPtr&)> walk = [&](const ns::UIViewPtr& v) -> ns::UIViewPtr {
        // Later sub-views lie on top: look at them first.
        for (auto it = v->subviews().rbegin(); it != v->subviews().rend(); ++it) {
            if (auto found = walk(*it)) return found;
        }
        if (v->accessibilityIdentifier() == name) {
            if (v->isVisibleInWindow()) return v;
            if (!hiddenMatch) hiddenMatch = v;
        }
        return nullptr;
    };
    if (auto visible = walk(std::static_pointer_cast<ns::UIView>(w->shared_from_this()))) return visible;
    return hiddenMatch;
}

bool AppDriver::refuse(std::string why) {
    lastError_ = std::move(why);
    return false;
}

bool AppDriver::tap(const std::string& name) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto w = window();
    if (!w) return refuse("no window");
    if (ns::Application::shared()->isIgnoringInteractionEvents()) return refuse("the app is ignoring input");
    auto e = element(name);
    auto view = e ? e->view.lock() : nullptr;
    if (!view) return refuse("nothing named \"" + name + "\" can be tapped");
    if (!w->sendTapToView(*view)) return refuse("\"" + name + "\" did not take the tap");
    lastError_.clear();
    return true;
}

bool AppDriver::type(const std::string& name, const std::string& text) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto w = window();
    if (!w) return refuse("no window");
    if (ns::Application::shared()->isIgnoringInteractionEvents()) return refuse("the app is ignoring input");
    auto e = element(name);
    auto field = e ? std::dynamic_pointer_cast<ns::UITextField>(e->view.lock()) : nullptr;
    if (!field) return refuse("no field named \"" + name + "\"");
    if (!w->sendReplaceText(*field, text)) return refuse("\"" + name + "\" did not take the text");
    lastError_.clear();
    return true;
}

bool AppDriver::selectRow(int row, int section) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto w = window();
    if (!w) return refuse("no window");
    if (ns::Application::shared()->isIgnoringInteractionEvents()) return refuse("the app is ignoring input");
    for (const auto& e : ns::interactiveElements(*w)) {
        if (e.kind != ns::UIElement::Kind::TableRow || e.row.row != row || e.row.section != section) continue;
        auto view = e.view.lock();
        if (view && w->sendTapToView(*view)) {
            lastError_.clear();
            return true;
        }
        return refuse("the row did not take the tap");
    }
    return refuse("no row " + std::to_string(row) + " on screen");
}

bool AppDriver::answerAlert(const std::string& buttonTitle) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto w = window();
    if (!w) return refuse("no window");
    auto alert = std::dynamic_pointer_cast<ns::UIAlertController>(w->topmostViewController());
    if (!alert) return refuse("no alert on screen");
    if (ns::Application::shared()->isIgnoringInteractionEvents()) return refuse("the app is ignoring input");
    for (const auto& button : alert->actionButtons()) {
        if (button->currentTitle() != buttonTitle) continue;
        if (!w->sendTapToView(*button)) return refuse("the alert's button did not take the tap");
        lastError_.clear();
        return true;
    }
    return refuse("the alert has no button \"" + buttonTitle + "\"");
}

bool AppDriver::back() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    return tap("back");
}

bool AppDriver::waitUntilIdle(double timeoutSeconds) const {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto& loop = ns::RunLoop::main();
    auto app = ns::Application::shared();
    // Real time: the back end answers in real time whatever clock the app
    // reads.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    int quiet = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        ns::VirtualClock::advanceInstalled(0);
        const size_t ran = loop.runOnce();
        if (ran == 0 && !app->isIgnoringInteractionEvents()) {
            if (++quiet >= 3) return true;
        } else {
            quiet = 0;
        }
        // Answers from other threads (the network) land on the main queue.
        if (ran == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

std::string AppDriver::screenText() const {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto w = window();
    return w ? ns::describeScreen(*w) : std::string("(no window)\n");
}

ns::Data AppDriver::screenshotPNG() const {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto w = window();
    if (!w) return {};
    return ns::UIImagePNGRepresentation(*ns::snapshotWindow(*w));
}

}  // namespace almavel
