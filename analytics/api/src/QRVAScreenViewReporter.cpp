#include "analytics/QRVAScreenViewReporter.h"

#include <unordered_map>

#include "analytics/QRVAAEU.h"
#include "analytics/QRVAAdExposureReporter.h"
#include "analytics/QRVADataTypeValidator.h"
#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVASessionReporter.h"
#include "analytics/QRVAUtilities.h"
#include "core/QRVLogger.h"
#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/format.h"
#include "platform/runtime.h"
#include "platform/sandbox.h"
#include "platform/utf8.h"
#include "uikit/UIWindow.h"

namespace {

constexpr size_t kMaxScreenClassLength = 100;

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

std::string logCode(long code) { return ns::format("I-ACS%06ld", code); }

void monitorLog(int level, int code, const std::string& message, const ns::Array& contexts = {}) {
    if (contexts.empty()) {
        QRVAMeasurementMonitor()->logWithLevel(level, code, message);
    } else {
        QRVAMeasurementMonitor()->logWithLevel(level, code, message, contexts);
    }
}

QRVAObjectParameters screenParametersUnder(const QRVAScreen* screen, const char* classKey, const char* idKey,
                                           const char* nameKey) {
    QRVAObjectParameters parameters;
    if (!screen || screen->className().empty() ||
        !QRVADataTypeValidator::isValidScreenParameterValue(screen->className())) {
        return parameters;
    }
    parameters.set(classKey, screen->className());
    parameters.set(idKey, screen->instanceID());
    if (screen->name() && QRVADataTypeValidator::isValidScreenParameterValue(*screen->name())) {
        parameters.set(nameKey, *screen->name());
    }
    return parameters;
}

// The first `count` characters (code points; a byte that starts no
// character counts as one).
std::string prefixOfCharacters(const std::string& text, size_t count) {
    size_t at = 0;
    for (size_t taken = 0; at < text.size() && taken < count; ++taken) {
        at += std::max<size_t>(1, ns::utf8::sequenceLength(text, at));
    }
    return text.substr(0, at);
}

// The runtime keeps no bundle per class: UIKit's own classes and private
// ones (a leading "_") are the system's, everything else is the app's.
bool isSystemClassName(const std::string& name) { return name.starts_with("UI") || name.starts_with("_"); }

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

// The key window's stack, made empty and attached when it has none; null
// without a key window.
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

// MARK: - Screens and their parameters

QRVAObjectParameters QRVAScreenParameters(const QRVAScreen* screen) {
    return screenParametersUnder(screen, "_sc", "_si", "_sn");
}

QRVAObjectParameters QRVAPreviousScreenParameters(const QRVAScreen* screen) {
    return screenParametersUnder(screen, "_pc", "_pi", "_pn");
}

namespace {

struct ScreenReportingSwitch {
    bool enabled = true;
};

std::shared_ptr<ScreenReportingSwitch> readScreenReportingSwitch(const std::shared_ptr<ns::Sandbox>& sandbox) {
    auto bundle = ns::Bundle::mainBundle(sandbox);
    ns::Value value = bundle->objectForInfoDictionaryKey(kQRVAScreenReportingEnabledPlistKey);
    if (value.isNull()) value = bundle->objectForInfoDictionaryKey(kQRVAAutomaticScreenReportingEnabledPlistKey);
    auto made = std::make_shared<ScreenReportingSwitch>();
    if (value.isBool() || value.isNumber()) made->enabled = value.boolValue();
    return made;
}

}  // namespace

// Read once per sandbox, as the app's Info.plist cannot change while it
// runs: the facade asks for every event.
bool QRVAIsScreenReportingEnabled() {
    auto sandbox = ns::Sandbox::current();
    auto read = [&sandbox] { return readScreenReportingSwitch(sandbox); };
    return sandbox->attachment<ScreenReportingSwitch>("QRVAScreenReportingEnabled", read)->enabled;
}

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
        monitorLog(4, 31011, "Root view controller not found");
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

// MARK: - Replacing the appearance methods

namespace {

using AppearanceHandler = void (QRVAScreenViewReporter::*)(const std::shared_ptr<ns::UIViewController>&);

// Adds the reporting method under `replacement` (calling the class's own
// implementation first, then the reporter) and puts it in place of
// `selector`; the implementation replaced, or nothing when either is
// missing.
std::optional<ns::Method> replaceAppearance(ns::Class* cls, std::string_view selector, std::string_view replacement,
                                            AppearanceHandler handler) {
    if (!cls) return std::nullopt;
    ns::Method original = cls->instanceMethod(selector);
    if (!original) return std::nullopt;
    cls->addInstanceMethod(replacement, [original, handler](ns::Object* self, const std::vector<ns::Value>& args) {
        original(self, args);
        auto* viewController = dynamic_cast<ns::UIViewController*>(self);
        auto held = viewController ? viewController->weak_from_this().lock() : nullptr;
        if (held) {
            auto reporter = QRVAScreenViewReporter::sharedInstance();
            ((*reporter).*handler)(std::static_pointer_cast<ns::UIViewController>(held));
        }
        return ns::Value();
    });
    ns::Method added = cls->instanceMethod(replacement);
    if (!added) return std::nullopt;
    return cls->replaceInstanceMethod(selector, added);
}

}  // namespace

bool QRVAReplaceViewControllerAppearanceMethods(std::string_view className) {
    if (!QRVAIsScreenReportingEnabled()) {
        QRVLogInfo(kQRVLoggerAnalytics, logCode(36001),
                   "Quorvane screen reporting is disabled. UIViewController transitions will not be logged.");
        return false;
    }
    ns::Class* cls = ns::Runtime::lookUpClass(className);
    auto appeared = replaceAppearance(cls, "viewDidAppear:", "qrva_viewDidAppear:",
                                      &QRVAScreenViewReporter::viewControllerDidAppear);
    if (!appeared) {
        QRVLogWarning(kQRVLoggerAnalytics, logCode(36003),
                      "Failed to set implementation of -[UIViewController viewDidAppear:]. UIViewController "
                      "transitions will not be logged.");
        return false;
    }
    auto disappeared = replaceAppearance(cls, "viewDidDisappear:", "qrva_viewDidDisappear:",
                                         &QRVAScreenViewReporter::viewControllerDidDisappear);
    if (!disappeared) {
        cls->replaceInstanceMethod("viewDidAppear:", *appeared);
        QRVLogWarning(kQRVLoggerAnalytics, logCode(36004),
                      "Failed to set implementation of -[UIViewController viewDidDisappear:]. UIViewController "
                      "transitions will not be logged.");
        return false;
    }
    QRVLogInfo(kQRVLoggerAnalytics, logCode(36002),
               "Quorvane screen reporting is enabled. Call +[QRVAnalytics setScreenName:setScreenClass:] to set the "
               "screen name or override the default screen class name. To disable screen reporting, set the flag %@ "
               "to NO (boolean) in the Info.plist",
               kQRVAScreenReportingEnabledPlistKey);
    return true;
}

// After UIKit has registered its classes; the reporter exists from load
// time on, so the app-active flag follows the application from the start.
NS_REGISTER_LOAD_HOOK(20, "QRVAScreenViewReporter", [] {
    QRVAScreenViewReporter::sharedInstance();
    QRVAReplaceViewControllerAppearanceMethods();
});

// MARK: - The reporter

namespace {

std::shared_ptr<QRVAScreenViewReporter>& sharedSlot() {
    static auto* slot = new std::shared_ptr<QRVAScreenViewReporter>();
    return *slot;
}

std::mutex& sharedMutex() {
    static auto* mutex = new std::mutex();
    return *mutex;
}

std::shared_ptr<QRVASessionReporter> engineSessionReporter() {
    if (!QRVAMeasurement::hasSharedInstance()) return nullptr;
    auto engine = QRVAMeasurement::sharedInstance();
    return engine ? std::dynamic_pointer_cast<QRVASessionReporter>(engine->sessionReporter()) : nullptr;
}

ns::Value screenValue(QRVAValue value) { return ns::Value(std::make_shared<QRVAValue>(std::move(value))); }

}  // namespace

std::shared_ptr<QRVAScreenViewReporter> QRVAScreenViewReporter::sharedInstance() {
    std::lock_guard lock(sharedMutex());
    auto& slot = sharedSlot();
    if (!slot) {
        slot = std::make_shared<QRVAScreenViewReporter>();
        std::weak_ptr<QRVAScreenViewReporter> weak = slot;
        QRVASetAppActiveProvider([weak] {
            auto reporter = weak.lock();
            return reporter && reporter->isAppActive();
        });
    }
    return slot;
}

void QRVAScreenViewReporter::resetSharedForTesting() {
    std::shared_ptr<QRVAScreenViewReporter> gone;
    std::lock_guard lock(sharedMutex());
    gone = std::exchange(sharedSlot(), nullptr);
}

QRVAScreenViewReporter::QRVAScreenViewReporter() : nextScreenID_(QRVANumericUtil::randomInt64()) {
    auto& center = ns::NotificationCenter::defaultCenter();
    // The reporter is made once and outlives its observers' removal in the
    // destructor, so the blocks may hold it by address.
    observers_.push_back(center.addObserver(ns::kUIWindowDidResignKeyNotification, nullptr, nullptr,
                                            [this](const ns::Notification&) { handleWindowDidResign(); }));
    observers_.push_back(center.addObserver(ns::kUIApplicationDidBecomeActiveNotification, nullptr, nullptr,
                                            [this](const ns::Notification&) { handleApplicationDidBecomeActive(); }));
    observers_.push_back(center.addObserver(ns::kUIApplicationWillResignActiveNotification, nullptr, nullptr,
                                            [this](const ns::Notification&) { handleApplicationWillResignActive(); }));
}

QRVAScreenViewReporter::~QRVAScreenViewReporter() {
    for (auto token : observers_) ns::NotificationCenter::defaultCenter().removeObserver(token);
}

int64_t QRVAScreenViewReporter::takeScreenID() { return nextScreenID_++; }

QRVAObjectParameters QRVAScreenViewReporter::screenParameters() {
    QRVAObjectParameters parameters;
    if (!QRVAIsScreenReportingEnabled() || !isAppActive()) return parameters;
    std::lock_guard lock(mutex_);
    if (!currentScreen_ || currentScreen_->className().empty()) return parameters;
    parameters.set("_sc", screenValue(QRVAValue::string(currentScreen_->className())));
    parameters.set("_si", screenValue(QRVAValue(currentScreen_->instanceID())));
    if (currentScreen_->name() && !currentScreen_->name()->empty()) {
        parameters.set("_sn", screenValue(QRVAValue::string(*currentScreen_->name())));
    }
    return parameters;
}

void QRVAScreenViewReporter::getScreenName(std::optional<std::string>* screenName,
                                           std::optional<std::string>* screenClass) {
    std::lock_guard lock(mutex_);
    if (screenName) *screenName = currentScreen_ ? currentScreen_->name() : std::nullopt;
    if (screenClass) *screenClass = currentScreen_ ? std::optional(currentScreen_->className()) : std::nullopt;
}

QRVAScreenPtr QRVAScreenViewReporter::currentScreen() {
    std::lock_guard lock(mutex_);
    return currentScreen_;
}

QRVAScreenPtr QRVAScreenViewReporter::previousScreen() {
    std::lock_guard lock(mutex_);
    return previousScreen_;
}

// MARK: Naming the screen

void QRVAScreenViewReporter::setScreenName(const std::optional<std::string>& screenName,
                                           const std::optional<std::string>& screenClass) {
    if (!QRVAIsScreenReportingEnabled()) {
        monitorLog(3, 31000, "Ignoring call to setScreenName:screenClass:. Screen reporting is disabled.");
        return;
    }
    if (screenName && !QRVADataTypeValidator::isValidScreenParameterValue(*screenName)) {
        monitorLog(4, 31001, "Received invalid screen name", {ns::Value(*screenName)});
        return;
    }
    if (screenClass && !QRVADataTypeValidator::isValidScreenParameterValue(*screenClass)) {
        monitorLog(4, 31002, "Received invalid screen class", {ns::Value(*screenClass)});
        return;
    }
    auto stack = keyWindowStack();
    if (stack) compact(*stack);
    auto top = stack && !stack->empty() ? stack->back().lock() : nullptr;
    if (!top) {
        monitorLog(4, 31003, "setScreenName:screenClass: must be called after a view controller has appeared");
        return;
    }
    const std::string className = screenClass.value_or(top->className());
    std::optional<Change> change;
    {
        std::lock_guard lock(mutex_);
        if (currentScreen_ && currentScreen_->name() == screenName && currentScreen_->className() == className) {
            monitorLog(7, 31004, "Ignoring duplicate screen name and screen class",
                       {ns::Value(screenName.value_or("(nil)")), ns::Value(className)});
            return;
        }
        auto screen = std::make_shared<QRVAScreen>(screenName, className, takeScreenID());
        screen->setManuallySet(true);
        QRVASetViewControllerScreen(*top, screen);
        currentViewController_ = top;
        monitorLog(7, 31009, "Set screen name and screen class",
                   {ns::Value(screenName.value_or("(nil)")), ns::Value(className)});
        change = Change{std::exchange(currentScreen_, screen), screen};
    }
    announce(change);
}

// MARK: Following the controllers

void QRVAScreenViewReporter::viewControllerDidAppear(const std::shared_ptr<ns::UIViewController>& viewController) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto window = keyWindow();
    auto stack = keyWindowStack();
    if (!window || !stack) return;
    if (window->rootViewController() == viewController && !stack->empty() &&
        stack->front().lock() != viewController) {
        stack = std::make_shared<QRVAViewControllerStack>();
        QRVASetWindowStack(*window, stack);
    }
    if (auto index = QRVAIndexOfViewControllerInStack(*viewController, *stack)) {
        stack->erase(stack->begin() + std::ptrdiff_t(*index));
    }
    if (isTrackable(*viewController)) stack->push_back(viewController);
    trackCurrentViewControllerInKeyWindow(*stack);
}

void QRVAScreenViewReporter::viewControllerDidDisappear(const std::shared_ptr<ns::UIViewController>& viewController) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto stack = keyWindowStack();
    if (!stack) return;
    // The bottom of the stack stays: it is the screen when nothing else is.
    auto index = QRVAIndexOfViewControllerInStack(*viewController, *stack);
    if (index && *index > 0) stack->erase(stack->begin() + std::ptrdiff_t(*index));
    trackCurrentViewControllerInKeyWindow(*stack);
}

void QRVAScreenViewReporter::handleWindowDidResign() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto stack = keyWindowStack();
    if (stack && !stack->empty()) trackCurrentViewControllerInKeyWindow(*stack);
}

void QRVAScreenViewReporter::trackCurrentViewControllerInKeyWindow(QRVAViewControllerStack& stack) {
    compact(stack);
    auto current = QRVACurrentViewControllerInStack(stack);
    if (current && isTrackable(*current)) setCurrentViewController(current);
}

void QRVAScreenViewReporter::setCurrentViewController(const std::shared_ptr<ns::UIViewController>& viewController) {
    if (!viewController) {
        monitorLog(4, 31005, "Received nil view controller");
        return;
    }
    std::optional<Change> change;
    {
        std::lock_guard lock(mutex_);
        if (currentViewController_.lock() == viewController) {
            auto screen = QRVAViewControllerScreen(*viewController);
            monitorLog(7, 31006, "View controller already tracked. Class, ID",
                       {ns::Value(viewController->className()), ns::Value(screen ? screen->instanceID() : 0)});
            return;
        }
        std::string className = viewController->className();
        if (className.size() > kMaxScreenClassLength) {
            std::string trimmed = prefixOfCharacters(className, kMaxScreenClassLength);
            monitorLog(7, 31007, "Trimmed name of default screen class. Original screen class, trimmed screen class",
                       {ns::Value(className), ns::Value(trimmed)});
            className = std::move(trimmed);
        }
        if (!QRVADataTypeValidator::isValidScreenParameterValue(className)) {
            monitorLog(4, 31008, "Received invalid default screen class", {ns::Value(className)});
            return;
        }
        auto screen = QRVAViewControllerScreen(*viewController);
        if (!screen) {
            screen = std::make_shared<QRVAScreen>(std::nullopt, className, takeScreenID());
            QRVASetViewControllerScreen(*viewController, screen);
        }
        currentViewController_ = viewController;
        if (screen != currentScreen_) {
            monitorLog(7, 31010, "Tracking view controller. Class, ID",
                       {ns::Value(className), ns::Value(screen->instanceID())});
            change = Change{std::exchange(currentScreen_, screen), screen};
        }
    }
    announce(change);
}

// Outside the lock: the session reporter's events and "_vs" go through the
// facade, which asks this reporter for the screen parameters of any event
// that carries none.
void QRVAScreenViewReporter::announce(const std::optional<Change>& change) {
    if (!change) return;
    postScreenDidChangeNotificationWithPreviousScreen(change->previous, change->next);
    logViewScreenEventWithPreviousScreen(change->previous, change->next);
}

void QRVAScreenViewReporter::postScreenDidChangeNotificationWithPreviousScreen(const QRVAScreenPtr& previous,
                                                                               const QRVAScreenPtr& next) {
    if (!isAppActive()) return;
    if (auto sessions = engineSessionReporter()) {
        // The session reporter's timers live on the main queue; a name the
        // app set from another thread is handed over there.
        auto main = ns::DispatchQueue::main();
        if (main->isCurrent()) {
            sessions->handleScreenDidChangeFromScreen(previous, next);
        } else {
            main->async([sessions, previous, next] { sessions->handleScreenDidChangeFromScreen(previous, next); });
        }
    }
    QRVAAdExposureReporter::sharedInstance()->handleScreenDidChangeFromScreen(previous, next);
}

void QRVAScreenViewReporter::logViewScreenEventWithPreviousScreen(const QRVAScreenPtr& previous,
                                                                  const QRVAScreenPtr& next) {
    if (!QRVAIsScreenReportingEnabled() || !next) return;
    if (!isAppActive()) {
        monitorLog(7, 31013, "Screen view event not logged. App is not active.");
        return;
    }
    QRVAObjectParameters parameters = QRVAScreenParameters(next.get());
    if (previous) {
        for (const auto& [key, value] : QRVAPreviousScreenParameters(previous.get())) parameters.set(key, value);
    }
    if (!QRVAHasScreenParameters(parameters)) {
        monitorLog(1, 31012, "Screen view event not logged. Screen parameters were empty");
        return;
    }
    {
        std::lock_guard lock(mutex_);
        previousScreen_ = next;
    }
    QRVALogInternalEvent("auto", "_vs", parameters);
}

// MARK: Application notifications

void QRVAScreenViewReporter::handleApplicationDidBecomeActive() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    appActive_ = true;
    if (auto sessions = engineSessionReporter()) sessions->handleAppDidBecomeActive();
    QRVAAdExposureReporter::sharedInstance()->handleAppDidBecomeActive();
    QRVAScreenPtr previous;
    QRVAScreenPtr current;
    {
        std::lock_guard lock(mutex_);
        previous = previousScreen_;
        current = currentScreen_;
    }
    // A screen change while inactive is reported now.
    if (previous != current) logViewScreenEventWithPreviousScreen(previous, current);
}

void QRVAScreenViewReporter::handleApplicationWillResignActive() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    QRVAScreenPtr screen;
    if (QRVAIsScreenReportingEnabled() && isAppActive()) screen = currentScreen();
    if (auto sessions = engineSessionReporter()) sessions->handleAppWillResignActiveWithScreen(screen);
    QRVAAdExposureReporter::sharedInstance()->handleAppWillResignActiveWithScreen(screen);
    // Only now, so that both reporters still saw the app as active.
    appActive_ = false;
}
