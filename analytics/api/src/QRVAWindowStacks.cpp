// The stacks of controllers the screen-view reporter keeps per window, the
// screen each controller carries, and how the controller the user sees is
// picked from a stack. Both live as associations with the window or the
// controller, as Objective-C's associated objects do.
#include <unordered_map>

#include "QRVAScreenViewShared.h"
#include "analytics/QRVAScreenViewReporter.h"
#include "analytics/QRVAAEU.h"
#include "analytics/QRVAMonitor.h"
#include "platform/application.h"
#include "platform/runtime.h"
#include "uikit/UIWindow.h"

using qrva_screen_view::compact;
using qrva_screen_view::isViewInWindow;

namespace {

// What Objective-C keeps as associated objects: a value per live object,
// forgotten once the object is gone (its entry is dropped when next met,
// and all dead entries now and then, so the table stays as small as the
// set of live objects).
template <class T>
class Associations {
public:
    std::shared_ptr<T> get(const ns::Object& owner) {
        std::lock_guard lock(mutex_);
        auto found = entries_.find(&owner);
        if (found == entries_.end()) return nullptr;
        if (found->second.owner.expired()) {
            entries_.erase(found);
            return nullptr;
        }
        return found->second.value;
    }
    void set(const ns::Object& owner, std::shared_ptr<T> value) {
        std::shared_ptr<T> replaced;
        std::lock_guard lock(mutex_);
        if (entries_.size() >= pruneAt_) {
            std::erase_if(entries_, [](const auto& entry) { return entry.second.owner.expired(); });
            pruneAt_ = std::max<size_t>(64, entries_.size() * 2);
        }
        Entry& entry = entries_[&owner];
        entry.owner = owner.weak_from_this();
        replaced = std::exchange(entry.value, std::move(value));
    }

private:
    struct Entry {
        std::weak_ptr<const ns::Object> owner;
        std::shared_ptr<T> value;
    };
    std::mutex mutex_;
    std::unordered_map<const ns::Object*, Entry> entries_;
    size_t pruneAt_ = 64;
};

Associations<QRVAScreen>& screens() {
    static auto* table = new Associations<QRVAScreen>;
    return *table;
}

Associations<QRVAViewControllerStack>& stacks() {
    static auto* table = new Associations<QRVAViewControllerStack>;
    return *table;
}

// The runtime keeps no bundle per class: UIKit's own classes and private
// ones (a leading "_") are the system's, everything else is the app's.
bool isSystemClassName(const std::string& name) { return name.starts_with("UI") || name.starts_with("_"); }

}  // namespace

namespace qrva_screen_view {

std::shared_ptr<ns::UIWindow> keyWindow() {
    auto application = std::dynamic_pointer_cast<ns::Application>(QRVAAEU::sharedApplication().asObject());
    return application ? std::dynamic_pointer_cast<ns::UIWindow>(application->keyWindow()) : nullptr;
}

bool isViewInWindow(ns::UIViewController& viewController) {
    return viewController.isViewLoaded() && viewController.view()->window();
}

bool isTrackable(ns::UIViewController& viewController) {
    const std::string name = viewController.className();
    if (isSystemClassName(name)) {
        ns::Class* cls = ns::Runtime::lookUpClass(name);
        if (name.starts_with("_") || (cls && cls->superclassName().starts_with("_"))) return false;
    }
    auto window = keyWindow();
    return window && viewController.isViewLoaded() && viewController.view()->window() == window.get();
}

std::shared_ptr<QRVAViewControllerStack> keyWindowStack() {
    auto window = keyWindow();
    if (!window) return nullptr;
    auto stack = QRVAWindowStack(*window);
    if (!stack) {
        stack = std::make_shared<QRVAViewControllerStack>();
        QRVASetWindowStack(*window, stack);
    }
    return stack;
}

void compact(QRVAViewControllerStack& stack) {
    std::erase_if(stack, [](const auto& entry) { return entry.expired(); });
}

}  // namespace qrva_screen_view

namespace {

std::vector<std::shared_ptr<ns::UIViewController>> childrenOf(const ns::UIViewController& parent) {
    if (auto* navigation = dynamic_cast<const ns::UINavigationController*>(&parent)) {
        return navigation->viewControllers();
    }
    return {};
}

// A container whose other child is off screen shows this one: the
// container is the screen when it has one.
bool hasChildOffScreen(const ns::UIViewController& parent, const ns::UIViewController& child) {
    auto children = childrenOf(parent);
    if (children.size() < 2) return false;
    for (const auto& other : children) {
        if (other.get() != &child && !isViewInWindow(*other)) return true;
    }
    return false;
}

std::shared_ptr<ns::UIViewController> resolved(const std::shared_ptr<ns::UIViewController>& viewController) {
    if (auto navigation = std::dynamic_pointer_cast<ns::UINavigationController>(viewController)) {
        return navigation->visibleViewController();
    }
    if (auto presented = viewController->presentedViewController()) return presented;
    if (viewController->presentingViewController()) return viewController;
    return nullptr;
}

std::shared_ptr<ns::UIViewController> manuallyNamedInWindow(const QRVAViewControllerStack& stack) {
    for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
        auto viewController = it->lock();
        if (!viewController) continue;
        auto screen = QRVAViewControllerScreen(*viewController);
        if (screen && screen->isManuallySet() && isViewInWindow(*viewController)) return viewController;
    }
    return nullptr;
}

// Step from the top of the stack downwards; true when `answer` is final.
bool pickFrom(std::shared_ptr<ns::UIViewController> candidate, std::shared_ptr<ns::UIViewController>& answer) {
    if (!isViewInWindow(*candidate)) {
        answer = candidate;
        return false;
    }
    if (QRVAViewControllerScreen(*candidate)) {
        answer = candidate;
        return true;
    }
    auto parent = candidate->parentViewController();
    if (parent && hasChildOffScreen(*parent, *candidate)) {
        candidate = parent;
        if (QRVAViewControllerScreen(*candidate)) {
            answer = candidate;
            return true;
        }
    }
    auto shown = resolved(candidate);
    answer = shown;
    return shown && isViewInWindow(*shown);
}

}  // namespace

QRVAScreenPtr QRVAViewControllerScreen(const ns::UIViewController& viewController) {
    return screens().get(viewController);
}

void QRVASetViewControllerScreen(const ns::UIViewController& viewController, QRVAScreenPtr screen) {
    screens().set(viewController, std::move(screen));
}

std::shared_ptr<QRVAViewControllerStack> QRVAWindowStack(const ns::UIWindow& window) { return stacks().get(window); }

void QRVASetWindowStack(const ns::UIWindow& window, std::shared_ptr<QRVAViewControllerStack> stack) {
    stacks().set(window, std::move(stack));
}

// MARK: - Stacks

std::optional<size_t> QRVAIndexOfViewControllerInStack(const ns::UIViewController& viewController,
                                                       const QRVAViewControllerStack& stack) {
    for (size_t index = 0; index < stack.size(); ++index) {
        if (stack[index].lock().get() == &viewController) return index;
    }
    return std::nullopt;
}

// A screen the app named itself wins while it is on screen; otherwise, from
// the top down, the first controller with a screen, or what the first one
// on screen shows (a navigation controller's visible controller, what a
// controller presents); failing all, the bottom one.
std::shared_ptr<ns::UIViewController> QRVACurrentViewControllerInStack(QRVAViewControllerStack& stack) {
    compact(stack);
    if (stack.empty()) {
        QRVALog(4, 31011, "Root view controller not found");
        return nullptr;
    }
    if (auto named = manuallyNamedInWindow(stack)) return named;
    std::shared_ptr<ns::UIViewController> answer;
    for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
        auto candidate = it->lock();
        if (candidate && pickFrom(candidate, answer)) return answer;
    }
    if (!answer) answer = stack.front().lock();
    return answer;
}
