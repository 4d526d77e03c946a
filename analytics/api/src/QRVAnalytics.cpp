// The facade's queues, its start and what it hands the engine and the
// configuration notifications.

#include "analytics/QRVAnalytics.h"

#include "analytics/QRVAAEU.h"
#include "analytics/QRVAAppDelegateProxy.h"
#include "analytics/QRVAIdentity.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAScreenViewReporter.h"
#include "core/QRVApp.h"
#include "core/QRVNetwork.h"
#include "core/QRVOptions.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/no_destructor.h"
#include "platform/runloop.h"
#include "platform/runtime.h"

QRVAnalytics::State& QRVAnalytics::state() {
    // Never destroyed: pooled work may still reach it while the process ends.
    static auto* state = new State();
    return *state;
}

namespace {


std::shared_ptr<ns::OperationQueue> makeOperationQueue() {
    auto queue = ns::OperationQueue::make(kQRVAnalyticsOperationQueueName, true);
    queue->setMaxConcurrentOperationCount(1);
    return queue;
}

}  // namespace

// MARK: - Queues

ns::DispatchQueuePtr QRVAnalytics::serialQueue() {
    static const ns::NoDestructor<ns::DispatchQueuePtr> queue(
        ns::DispatchQueue::serial(kQRVAnalyticsQueueLabel, ns::DispatchQueue::QoS::Background));
    return *queue;
}

void QRVAnalytics::dispatchAsyncOnSerialQueue(std::function<void()> block) {
    if (block) serialQueue()->async(std::move(block));
}

void QRVAnalytics::queueOperationWithBlock(std::function<void()> block) {
    if (!block) return;
    std::shared_ptr<ns::OperationQueue> queue;
    {
        std::lock_guard lock(state().mutex);
        queue = state().operationQueue;
    }
    queue->addOperation([block = std::move(block)]() mutable { dispatchAsyncOnSerialQueue(std::move(block)); });
}

bool QRVAnalytics::isCurrentQueueSerialQueue() {
    // By identity: a queue of someone else's with the same label must not
    // touch the facade's state inline.
    return ns::DispatchQueue::current() == serialQueue();
}

double QRVAnalytics::loadTimestamp() {
    std::lock_guard lock(state().mutex);
    return state().loadTimestamp;
}

std::shared_ptr<QRVAnalytics> QRVAnalytics::sharedInstance() {
    static const ns::NoDestructor<std::shared_ptr<QRVAnalytics>> instance(std::make_shared<QRVAnalytics>());
    return *instance;
}

void QRVAnalytics::unsuspendOperationQueue() {
    std::lock_guard lock(state().mutex);
    state().operationQueue->setSuspended(false);
}

// MARK: - Start

void QRVAnalytics::startWithConfiguration(const std::shared_ptr<QRVAnalyticsConfiguration>& configuration,
                                          const std::shared_ptr<const QRVOptions>& options) {
    if (state().started.exchange(true)) return;
    const std::optional<std::string> newID = options ? options->ondrixAppID() : std::nullopt;
    auto identity = QRVAIdentity::sharedInstance();
    const std::optional<std::string> storedID = identity->appIDFromVLP();
    if (storedID != newID) {
        // Options without an ID must not erase the one stored.
        if (newID) identity->setAppIDFromVLP(*newID);
        QRVALog(1, 25020,
                           "Analytics requires Ondrix App ID from OndrixService-Info.plist. Your data may be lost. "
                           "Ondrix App ID has been changed. Original, new ID",
                           ns::Array{storedID ? ns::Value(*storedID) : ns::Value(), newID ? ns::Value(*newID) : ns::Value()});
    }
    ns::NotificationCenter::defaultCenter().post(kQRVAnalyticsWillStartNotification);
    // The options travel with the engine step, which keeps them before
    // anything else on the serial queue can read them.
    dispatchAsyncOnSerialQueue([options] { startEngineOnSerialQueue(options); });
    observeNotificationsForAnalyticsConfiguration(configuration);
    ns::NotificationCenter::defaultCenter().addObserver(ns::kUIApplicationWillTerminateNotification, nullptr, nullptr,
                                                        handleApplicationWillTerminate, &state().started);
    unsuspendOperationQueue();
}

// An app may end moments after it launched: the engine's start may still
// be queued, or its first open waiting for a screen that will never come.
// Without this wait the first launch would go unreported until the next.
void QRVAnalytics::handleApplicationWillTerminate(const ns::Notification&) {
    // The loop turned below may deliver the end again (a repeating timer
    // asking to end): the wait under way covers it.
    static std::atomic<bool> waiting{false};
    if (!ns::RunLoop::isMainThread() || waiting.exchange(true)) return;
    auto done = std::make_shared<std::atomic<bool>>(false);
    auto finish = [done] {
        done->store(true);
        ns::RunLoop::main().wakeUp();
    };
    dispatchAsyncOnSerialQueue([finish] {
        auto engine = QRVAMeasurement::hasSharedInstance() ? QRVAMeasurement::sharedInstance() : nullptr;
        if (!engine) return finish();
        engine->writeWaitingFirstOpenBeforeLeaving(finish);
    });
    ns::RunLoop::main().runUntil([done] { return done->load(); }, kQRVAMeasurementFirstOpenAtEndWaitSeconds);
    waiting = false;
}

void QRVAnalytics::startEngineOnSerialQueue(const std::shared_ptr<const QRVOptions>& options) {
    ns::dispatchAssertQueue(serialQueue());
    state().options = options;
    QRVAMeasurement::initializeSharedInstanceWithOptions(options);
    const bool deactivated = options && options->isAnalyticsCollectionDeactivated();
    if (QRVAAppDelegateProxy::isAppDelegateProxyEnabled() && !deactivated) {
        ns::DispatchQueue::main()->async([] { createAppDelegateProxy(); });
    }
    auto engine = QRVAMeasurement::hasSharedInstance() ? QRVAMeasurement::sharedInstance() : nullptr;
    state().enabled = engine && engine->wasEnabledDuringInitialization();
    maybeEnableZelbrook();
}

void QRVAnalytics::createAppDelegateProxy() {
    if (state().proxyCreated.exchange(true)) return;
    auto application = QRVAAEU::sharedApplication().asObjectOf<ns::Application>();
    ns::ObjectPtr delegate = application ? application->delegate() : nullptr;
    if (delegate) QRVAAppDelegateProxy::proxyOriginalDelegate(delegate);
}

void QRVAnalytics::maybeEnableZelbrook() {
    ns::Class* manager = ns::Runtime::lookUpClass("ZLBManager");
    if (!manager || !manager->classRespondsTo("initializeSharedInstance")) return;
    ns::Method method = manager->classMethod("initializeSharedInstance");
    if (!method) {
        QRVALog(2, 25016, "ZLBManager class doesn't define initializeSharedInstance");
        return;
    }
    method(manager, {});
}

// MARK: - Enabled state, URLs and the configuration's notifications

void QRVAnalytics::setAnalyticsEnabled(bool enabled) {
    dispatchAsyncOnSerialQueue([enabled] {
        auto& s = state();
        if (enabled && s.options && s.options->isAnalyticsCollectionDeactivated()) return;
        s.enabled = enabled;
        if (auto engine = QRVAMeasurement::sharedInstance()) engine->setEnabled(enabled);
    });
}

void QRVAnalytics::handleOpenURL(const ns::URL& url) {
    dispatchAsyncOnSerialQueue([url] {
        if (auto engine = QRVAMeasurement::sharedInstance()) engine->handleOpenURL(url);
        if (state().openURLListener) state().openURLListener(url);
    });
}

void QRVAnalytics::handleUserActivity(const ns::ObjectPtr& userActivity) {
    dispatchAsyncOnSerialQueue([userActivity] {
        const std::optional<ns::URL> link = QRVAMeasurement::deepLinkFromUserActivity(userActivity);
        if (!link || link->absoluteString().empty()) return;
        if (auto engine = QRVAMeasurement::sharedInstance()) engine->handleOpenURL(*link);
    });
}

void QRVAnalytics::handleEventsForBackgroundURLSession(const std::string& identifier,
                                                       std::function<void()> completion) {
    QRVNetwork::handleEventsForBackgroundURLSessionID(identifier, std::move(completion));
}

void QRVAnalytics::setOpenURLListener(OpenURLListener listener) {
    dispatchAsyncOnSerialQueue([listener = std::move(listener)]() mutable { state().openURLListener = std::move(listener); });
}

void QRVAnalytics::observeNotificationsForAnalyticsConfiguration(
    const std::shared_ptr<QRVAnalyticsConfiguration>& configuration) {
    auto& center = ns::NotificationCenter::defaultCenter();
    center.removeObservers(&state());
    if (!configuration) return;
    center.addObserver(kQRVAnalyticsConfigurationSetEnabledNotification, configuration, nullptr, handleSetEnabled,
                       &state());
    center.addObserver(kQRVAnalyticsConfigurationSetMinimumSessionIntervalNotification, configuration, nullptr,
                       handleSetMinimumSessionInterval, &state());
    center.addObserver(kQRVAnalyticsConfigurationSetSessionTimeoutIntervalNotification, configuration, nullptr,
                       handleSetSessionTimeoutInterval, &state());
}

namespace {

// The entry under the notification's own name, when it is a number.
std::optional<ns::Value> numberEntry(const ns::Notification& notification, int64_t code, const char* what) {
    auto it = notification.userInfo.find(notification.name);
    ns::Value entry = it == notification.userInfo.end() ? ns::Value() : it->second;
    if (entry.isNumber() || entry.isBool()) return entry;
    QRVALog(4, code, std::string("Received ") + what + " notification without NSNumber", ns::Array{entry});
    return std::nullopt;
}

}  // namespace

void QRVAnalytics::handleSetEnabled(const ns::Notification& notification) {
    if (auto number = numberEntry(notification, 25000, "setEnabled")) setAnalyticsEnabled(number->boolValue());
}

void QRVAnalytics::handleSetMinimumSessionInterval(const ns::Notification& notification) {
    auto number = numberEntry(notification, 25001, "setMinimumSessionInterval");
    if (!number) return;
    dispatchAsyncOnSerialQueue([seconds = number->doubleValue()] {
        if (auto engine = QRVAMeasurement::sharedInstance()) engine->setMinimumSessionInterval(seconds);
    });
}

void QRVAnalytics::handleSetSessionTimeoutInterval(const ns::Notification& notification) {
    auto number = numberEntry(notification, 25002, "setSessionTimeoutInterval");
    if (!number) return;
    dispatchAsyncOnSerialQueue([seconds = number->doubleValue()] {
        if (auto engine = QRVAMeasurement::sharedInstance()) engine->setSessionTimeoutInterval(seconds);
    });
}

// MARK: - Screens and identity

void QRVAnalytics::setScreenName(const std::optional<std::string>& screenName,
                                 const std::optional<std::string>& screenClass) {
    QRVAScreenViewReporter::sharedInstance()->setScreenName(screenName, screenClass);
}

std::string QRVAnalytics::appInstanceID() { return QRVAIdentity::sharedInstance()->appInstanceID(); }

// MARK: - Load

void QRVAnalytics::load() {
    {
        std::lock_guard lock(state().mutex);
        state().loadTimestamp = ns::Clock::nowSeconds();
        if (!state().operationQueue) state().operationQueue = makeOperationQueue();
    }
    QRVAScreenViewReporter::sharedInstance();
    registerRuntimeClass();
    installBridges();
}

void QRVAnalytics::resetForTesting() {
    auto& s = state();
    ns::NotificationCenter::defaultCenter().removeObservers(&s);
    ns::NotificationCenter::defaultCenter().removeObservers(&s.started);
    serialQueue()->sync([&s] {
        s.enabled = false;
        s.options.reset();
        s.interceptor = nullptr;
        s.openURLListener = nullptr;
        s.listeners.reset();
    });
    std::lock_guard lock(s.mutex);
    s.operationQueue = makeOperationQueue();
    s.started = false;
    s.proxyCreated = false;
}
