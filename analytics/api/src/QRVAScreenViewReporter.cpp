#include "analytics/QRVAScreenViewReporter.h"

#include "QRVAScreenViewShared.h"
#include "analytics/QRVAAEU.h"
#include "analytics/QRVAAdExposureReporter.h"
#include "analytics/QRVADataTypeValidator.h"
#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVASessionReporter.h"
#include "analytics/QRVAnalytics.h"
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

using qrva_screen_view::compact;
using qrva_screen_view::engineSessionReporter;
using qrva_screen_view::isTrackable;
using qrva_screen_view::keyWindow;
using qrva_screen_view::keyWindowStack;

namespace {

constexpr size_t kMaxScreenClassLength = 100;

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

}  // namespace

namespace qrva_screen_view {


std::shared_ptr<QRVASessionReporter> engineSessionReporter() {
    if (!QRVAMeasurement::hasSharedInstance()) return nullptr;
    auto engine = QRVAMeasurement::sharedInstance();
    return engine ? std::dynamic_pointer_cast<QRVASessionReporter>(engine->sessionReporter()) : nullptr;
}

}  // namespace qrva_screen_view

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

// MARK: - The reporter

namespace {

ns::Value screenValue(QRVAValue value) { return ns::Value(std::make_shared<QRVAValue>(std::move(value))); }

}  // namespace

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
    observers_.push_back(center.addObserver(kQRVAnalyticsWillStartNotification, nullptr, nullptr,
                                            [this](const ns::Notification&) { handleAnalyticsWillStart(); }));
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
        QRVALog(3, 31000, "Ignoring call to setScreenName:screenClass:. Screen reporting is disabled.");
        return;
    }
    if (screenName && !QRVADataTypeValidator::isValidScreenParameterValue(*screenName)) {
        QRVALog(4, 31001, "Received invalid screen name", ns::Array{ns::Value(*screenName)});
        return;
    }
    if (screenClass && !QRVADataTypeValidator::isValidScreenParameterValue(*screenClass)) {
        QRVALog(4, 31002, "Received invalid screen class", ns::Array{ns::Value(*screenClass)});
        return;
    }
    auto stack = keyWindowStack();
    if (stack) compact(*stack);
    auto top = stack && !stack->empty() ? stack->back().lock() : nullptr;
    if (!top) {
        QRVALog(4, 31003, "setScreenName:screenClass: must be called after a view controller has appeared");
        return;
    }
    const std::string className = screenClass.value_or(top->className());
    std::optional<Change> change;
    {
        std::lock_guard lock(mutex_);
        if (currentScreen_ && currentScreen_->name() == screenName && currentScreen_->className() == className) {
            QRVALog(7, 31004, "Ignoring duplicate screen name and screen class",
                       ns::Array{ns::Value(screenName.value_or("(nil)")), ns::Value(className)});
            return;
        }
        auto screen = std::make_shared<QRVAScreen>(screenName, className, takeScreenID());
        screen->setManuallySet(true);
        QRVASetViewControllerScreen(*top, screen);
        currentViewController_ = top;
        QRVALog(7, 31009, "Set screen name and screen class",
                   ns::Array{ns::Value(screenName.value_or("(nil)")), ns::Value(className)});
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
        QRVALog(4, 31005, "Received nil view controller");
        return;
    }
    std::optional<Change> change;
    {
        std::lock_guard lock(mutex_);
        if (currentViewController_.lock() == viewController) {
            auto screen = QRVAViewControllerScreen(*viewController);
            QRVALog(7, 31006, "View controller already tracked. Class, ID",
                       ns::Array{ns::Value(viewController->className()), ns::Value(screen ? screen->instanceID() : 0)});
            return;
        }
        std::string className = viewController->className();
        if (className.size() > kMaxScreenClassLength) {
            std::string trimmed = prefixOfCharacters(className, kMaxScreenClassLength);
            QRVALog(7, 31007, "Trimmed name of default screen class. Original screen class, trimmed screen class",
                       ns::Array{ns::Value(className), ns::Value(trimmed)});
            className = std::move(trimmed);
        }
        if (!QRVADataTypeValidator::isValidScreenParameterValue(className)) {
            QRVALog(4, 31008, "Received invalid default screen class", ns::Array{ns::Value(className)});
            return;
        }
        auto screen = QRVAViewControllerScreen(*viewController);
        if (!screen) {
            screen = std::make_shared<QRVAScreen>(std::nullopt, className, takeScreenID());
            QRVASetViewControllerScreen(*viewController, screen);
        }
        currentViewController_ = viewController;
        if (screen != currentScreen_) {
            QRVALog(7, 31010, "Tracking view controller. Class, ID",
                       ns::Array{ns::Value(className), ns::Value(screen->instanceID())});
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
        QRVALog(7, 31013, "Screen view event not logged. App is not active.");
        return;
    }
    QRVAObjectParameters parameters = QRVAScreenParameters(next.get());
    if (previous) {
        for (const auto& [key, value] : QRVAPreviousScreenParameters(previous.get())) parameters.set(key, value);
    }
    if (!QRVAHasScreenParameters(parameters)) {
        QRVALog(1, 31012, "Screen view event not logged. Screen parameters were empty");
        return;
    }
    {
        std::lock_guard lock(mutex_);
        previousScreen_ = next;
    }
    QRVALogInternalEvent("auto", "_vs", parameters);
}

