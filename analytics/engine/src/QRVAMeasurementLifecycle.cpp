// The application's life cycle as the engine sees it: an upload kept alive
// by a background task when the app leaves the foreground, the end of that
// task, a weekly configuration refresh on activation, the launch link caught
// before any engine exists, and the first-open time.

#include <cmath>
#include <cstdlib>

#include "analytics/QRVAAEU.h"
#include "analytics/QRVADatabase.h"
#include "analytics/QRVAFacadeBridge.h"
#include "analytics/QRVAAutomaticEvents.h"
#include "analytics/QRVAMeasurementLifecycle.h"
#include "analytics/QRVAUploader.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVARemoteConfig.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVAUtilities.h"
#include "platform/application.h"
#include "platform/block_object.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/runloop.h"
#include "platform/runtime.h"
#include "platform/user_defaults.h"

namespace {

constexpr const char* kLaunchOptionsURLKey = "UIApplicationLaunchOptionsURLKey";
constexpr const char* kLaunchOptionsUserActivityDictionaryKey = "UIApplicationLaunchOptionsUserActivityDictionaryKey";
constexpr const char* kLaunchOptionsUserActivityKey = "UIApplicationLaunchOptionsUserActivityKey";

ns::Value taskContext(uint64_t taskID) { return ns::Value(taskID); }

// The application object answers the background-task selectors only where
// there is one (not in an app extension, not in a program without it).
ns::ObjectPtr application() {
    ns::Value app = QRVAAEU::sharedApplication();
    return app.isObject() ? app.asObject() : nullptr;
}

uint64_t beginBackgroundTask(std::function<void()> expirationHandler) {
    auto app = application();
    const char* selector = "beginBackgroundTaskWithName:expirationHandler:";
    if (!app || !ns::Runtime::lookUpClass(app->className()) ||
        !ns::Runtime::lookUpClass(app->className())->instanceRespondsTo(selector)) {
        return ns::kUIBackgroundTaskInvalid;
    }
    auto handler = ns::BlockObject::makeVoid([expirationHandler](const auto&) { expirationHandler(); });
    ns::Value answer = ns::Runtime::send(*app, selector, {kQRVAMeasurementBackgroundTaskName, ns::Value(handler)});
    return answer.isInteger() && answer.intValue() > 0 ? uint64_t(answer.intValue()) : ns::kUIBackgroundTaskInvalid;
}

void endBackgroundTask(uint64_t taskID) {
    auto app = application();
    auto* cls = app ? ns::Runtime::lookUpClass(app->className()) : nullptr;
    if (cls && cls->instanceRespondsTo("endBackgroundTask:")) {
        ns::Runtime::send(*app, "endBackgroundTask:", {ns::Value(taskID)});
    }
}

int majorSystemVersion() { return std::atoi(QRVAAEU::systemVersion().c_str()); }

// The page of the launch's browsing activity; empty when there is none.
std::string launchActivityLink(const ns::Dictionary& options) {
    if (majorSystemVersion() < 9) return "";
    auto found = options.find(kLaunchOptionsUserActivityDictionaryKey);
    if (found == options.end() || !found->second.isDictionary() || found->second.asDictionary().empty()) return "";
    const ns::Value& activity = found->second[kLaunchOptionsUserActivityKey];
    if (!activity.isObject()) return "";
    auto link = QRVAAutomaticEvents::deepLinkFromUserActivity(activity.asObject());
    return link ? link->absoluteString() : "";
}

}  // namespace

// MARK: - Background task

void QRVAMeasurementLifecycle::terminateBackgroundTask() {
    if (persistedConfig()) persistedConfig()->synchronizeToDisk();
    swapBackgroundTaskWithNewTaskID(ns::kUIBackgroundTaskInvalid);
}

void QRVAMeasurementLifecycle::swapBackgroundTaskWithNewTaskID(uint64_t taskID) {
    const uint64_t previous = backgroundUpdateTask_.exchange(taskID);
    if (previous == ns::kUIBackgroundTaskInvalid) return;
    monitor()->logWithLevel(7, 23142, "Cancelling background upload task. Task ID ", taskContext(previous));
    endBackgroundTask(previous);
}

// MARK: - Application notifications

void QRVAMeasurementLifecycle::registerLifecycleObservers() {
    auto& center = ns::NotificationCenter::defaultCenter();
    std::weak_ptr<QRVAMeasurement> weak = weakEngine();
    auto observe = [&](const char* name, void (QRVAMeasurementLifecycle::*handler)(const ns::Notification&)) {
        center.addObserver(name, nullptr, nullptr, [weak, handler](const ns::Notification& notification) {
            if (auto engine = weak.lock()) (engine->lifecycle().*handler)(notification);
        }, this);
    };
    observe(ns::kUIApplicationDidBecomeActiveNotification, &QRVAMeasurementLifecycle::handleAppDidBecomeActiveEvent);
    observe(ns::kUIApplicationWillResignActiveNotification, &QRVAMeasurementLifecycle::handleAppWillResignActiveEvent);
    observe(ns::kUIApplicationWillEnterForegroundNotification,
            &QRVAMeasurementLifecycle::handleAppWillEnterForegroundNotification);
    observe(ns::kUIApplicationWillTerminateNotification, &QRVAMeasurementLifecycle::handleAppWillTerminateEvent);
    // Gone with the engine: its observers leave the centre with it.
    const void* owner = this;
    lifecycleObservers_ = std::shared_ptr<void>(nullptr, [owner](void*) {
        ns::NotificationCenter::defaultCenter().removeObservers(owner);
    });
}

// A first launch may leave before its first screen is known (the user
// leaves, the system ends the app): the first open goes with the screen
// shown now rather than with the launch.
void QRVAMeasurementLifecycle::writeWaitingFirstOpen(bool waitForIt) {
    if (!engine_.automaticEvents().mayBeWaitingForFirstScreen()) return;
    // The loop turned below may deliver the end again (a repeating timer
    // asking to end): the wait under way covers it.
    if (waitForIt && endWaiting_.exchange(true)) return;
    auto done = std::make_shared<std::atomic<bool>>(false);
    writeWaitingFirstOpenBeforeLeaving([done] {
        done->store(true);
        ns::RunLoop::main().wakeUp();
    });
    if (waitForIt) {
        ns::RunLoop::main().runUntil([done] { return done->load(); }, kQRVAMeasurementFirstOpenAtEndWaitSeconds);
        endWaiting_ = false;
    }
}

void QRVAMeasurementLifecycle::writeWaitingFirstOpenBeforeLeaving(std::function<void()> done) {
    scheduler()->scheduleOnWorkerQueueBlockID("QRVAMeasurement:firstOpenOnLeaving", [weak = weakEngine(), done] {
        if (auto engine = weak.lock()) engine->automaticEvents().writeWaitingFirstOpenWithCurrentScreen();
        if (done) done();
    });
}

void QRVAMeasurementLifecycle::handleAppWillTerminateEvent(const ns::Notification&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    writeWaitingFirstOpen(true);
}

void QRVAMeasurementLifecycle::handleAppWillResignActiveEvent(const ns::Notification&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    writeWaitingFirstOpen(false);
    persistedConfig()->synchronizeToDisk();
    if (!remoteConfig() || !remoteConfig()->uploadWhenAppInBackgroundEnabled()) return;
    monitor()->logWithLevel(7, 23144, "App will resign active state. Scheduling data upload");
    std::weak_ptr<QRVAMeasurement> weak = weakEngine();
    const uint64_t taskID = beginBackgroundTask([weak] {
        if (auto engine = weak.lock()) engine->lifecycle().terminateBackgroundTask();
    });
    swapBackgroundTaskWithNewTaskID(taskID);
    monitor()->logWithLevel(7, 23145, "Background task started. Task ID", taskContext(taskID));
    // Behind the facade's queue, so events handed to the facade before the
    // resign are written before this upload runs.
    QRVAFacadeDispatchAsyncOnSerialQueue([weak] {
        auto engine = weak.lock();
        if (!engine) return;
        engine->scheduler()->scheduleOnWorkerQueueBlockID("QRVAMeasurement:3288", [weak] {
            if (auto engine = weak.lock()) engine->uploadData();
        });
    });
}

void QRVAMeasurementLifecycle::handleAppWillEnterForegroundNotification(const ns::Notification&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    terminateBackgroundTask();
}

void QRVAMeasurementLifecycle::handleAppDidBecomeActiveEvent(const ns::Notification&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!remoteConfig() || !remoteConfig()->blacklistInternal()) return;
    std::weak_ptr<QRVAMeasurement> weak = weakEngine();
    scheduler()->scheduleOnWorkerQueueBlockID("QRVAMeasurement:3249", [weak] {
        auto engine = weak.lock();
        if (!engine) return;
        const double fetched = engine->currentRemoteConfig()->lastRemoteConfigUpdateTimestamp();
        const double age = std::fabs(ns::Clock::nowSeconds() - fetched);
        if (age < kQRVARemoteConfigRefreshBlacklistTimeInterval) return;
        if (engine->uploader().isNetworkReadyForRequest()) {
            engine->fetchRemoteConfig();
        } else {
            monitor()->logWithLevel(7, 23143, "Network operation is pending. Ignoring request to fetch configuration");
        }
    });
}

// MARK: - Launch link

void QRVAMeasurementLifecycle::handleAppDidFinishLaunching(const ns::Notification& notification) {
    if (notification.userInfo.empty()) return;
    std::string link = launchActivityLink(notification.userInfo);
    if (link.empty()) {
        auto url = notification.userInfo.find(kLaunchOptionsURLKey);
        if (url != notification.userInfo.end() && url->second.isString()) link = url->second.asString();
    }
    if (!link.empty()) ns::UserDefaults::standard()->setString(link, kQRVAMeasurementDeepLinkKey);
}

// From class-load time, so a launch link is caught whether or not an engine
// is ever made.
NS_REGISTER_LOAD_HOOK(200, "QRVAMeasurement", [] {
    ns::NotificationCenter::defaultCenter().addObserver(ns::kUIApplicationDidFinishLaunchingNotification, nullptr,
                                                        nullptr, &QRVAMeasurementLifecycle::handleAppDidFinishLaunching);
});

// MARK: - First-open time

double QRVAMeasurementLifecycle::firstOpenTimestamp() {
    ns::dispatchAssertQueue(scheduler()->workerQueue());
    ns::ErrorRef error;
    auto attributes = database() ? database()->userAttributesIncludingInternal(true, &error) : std::nullopt;
    if (!attributes) {
        monitor()->logWithLevel(1, 23123, "Unable to query current user properties. Error", QRVAErrorContext(error));
        return 0;
    }
    if (attributes->empty()) {
        monitor()->logWithLevel(1, 23124, "Unable to extract first open timestamp. Empty user properties");
        return 0;
    }
    double earliest = attributes->front().lastSetTimestamp();
    for (const auto& attribute : *attributes) {
        if (attribute.name() == "_fot") return attribute.lastSetTimestamp();
        earliest = std::min(earliest, attribute.lastSetTimestamp());
    }
    return earliest;
}
