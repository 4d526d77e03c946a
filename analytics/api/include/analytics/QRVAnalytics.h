#pragma once
// The analytics client's one entry point: events, user properties, screen
// names, opened URLs and configuration changes come in here, are checked,
// stamped with their time and queued in arrival order, then handed to the
// measurement engine (analytics/QRVAMeasurement.h).
//
// Three queues keep the order: the operation queue
// "QRVAnalyticsOperationQueue" (one operation at a time, suspended until the
// core starts analytics), the serial queue "QRVAnalyticsQueue" that runs
// every facade step, and a timestamp queue on which taking an event's time
// and queueing it are one step, so events reach the engine in the order of
// their timestamps. An operation only re-dispatches its block onto the serial
// queue; the engine step of the start is put there first, so everything
// queued before the start runs after it, in order.
//
// The core reaches the class by name ("QRVAnalytics",
// "startWithConfiguration:options:"), as does messaging
// ("logInternalEventWithOrigin:name:parameters:",
// "setInternalUserProperty:forName:"); the load hook of this library
// registers those, installs the facade's answers to the foundation's error
// events and the engine's bridge (QRVAFacadeBridge.h), so programs link the
// library whole.
//
// Threads: the public calls may be made from any thread and return at once;
// refusals are only logged through the analytics monitor. Methods whose
// names end in `OnSerialQueue` run only on the serial queue (asserted in
// Debug builds); listeners, the interceptor and the open-URL listener are
// called there, one at a time. Query callbacks arrive on the queue the
// caller gives.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/QRVAEvent.h"
#include "analytics/QRVAValue.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "platform/operation_queue.h"
#include "platform/url.h"
#include "platform/value.h"

class QRVAnalyticsConfiguration;
class QRVOptions;

inline constexpr const char* kQRVAnalyticsWillStartNotification = "kQRVAnalyticsWillStartNotification";
inline constexpr const char* kQRVAnalyticsOperationQueueName = "QRVAnalyticsOperationQueue";
inline constexpr const char* kQRVAnalyticsQueueLabel = "QRVAnalyticsQueue";
inline constexpr const char* kQRVAnalyticsTimestampQueueLabel = "QRVAnalyticsTimestampQueue";
inline constexpr const char* kQRVAnalyticsOriginApp = "app";
inline constexpr const char* kQRVAnalyticsOriginAuto = "auto";
inline constexpr const char* kQRVAnalyticsOriginAdExposure = "am";
inline constexpr const char* kQRVAnalyticsUserIDName = "_id";

// A registered listener: the identity of the listener's copy, which it does
// not keep alive. Two tokens are equal when they name the same copy.
struct QRVAnalyticsListenerToken {
    const void* block = nullptr;
    friend bool operator==(const QRVAnalyticsListenerToken&, const QRVAnalyticsListenerToken&) = default;
};

// Events of origin "am" and the ad-exposure events "_xa" and "_xu" go to the
// engine without listeners or interceptor.
bool QRVAShouldEventSkipInterceptorAndListeners(const QRVAEvent& event);

class QRVAnalytics : public ns::Object {
public:
    using Interceptor = std::function<void(const std::string& origin, const std::string& name,
                                           const QRVAObjectParameters& parameters, double timestamp)>;
    using Listener = std::function<void(const QRVAEvent&)>;
    using OpenURLListener = std::function<void(const ns::URL&)>;

    // MARK: Public calls
    static void logEventWithName(const std::string& name, const QRVAObjectParameters& parameters = {});
    // A null value removes the property; anything but text is refused.
    static void setUserPropertyString(const ns::Value& value, const std::string& name);
    // The user property "_id"; null removes it.
    static void setUserID(const ns::Value& userID);
    // On the caller's thread, to the screen-view reporter.
    static void setScreenName(const std::optional<std::string>& screenName,
                              const std::optional<std::string>& screenClass);
    static std::string appInstanceID();
    // Straight to the serial queue, not held until the start.
    static void setAnalyticsEnabled(bool enabled);
    static void handleOpenURL(const ns::URL& url);
    static void handleUserActivity(const ns::ObjectPtr& userActivity);
    static void handleEventsForBackgroundURLSession(const std::string& identifier, std::function<void()> completion);

    // MARK: For the rest of the client
    // Once per process; later calls do nothing.
    static void startWithConfiguration(const std::shared_ptr<QRVAnalyticsConfiguration>& configuration,
                                       const std::shared_ptr<const QRVOptions>& options);
    static void logEventWithOrigin(const std::string& origin, const std::string& name,
                                   const QRVAObjectParameters& parameters);
    static void logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                           const QRVAObjectParameters& parameters);
    static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                   const QRVAObjectParameters& parameters);
    // For libraries that forward events with their own time: no configure
    // check, no screen parameters added here.
    static void logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                   const QRVAObjectParameters& parameters, double timestamp, bool ignoreEnabled,
                                   bool ignoreInterceptor);
    // Origin "auto".
    static void setInternalUserProperty(const ns::Value& value, const std::string& name);
    void setInternalUserProperty(const ns::Value& value, const std::string& name, const std::string& origin);
    static void setUserAttributeNumber(const ns::Value& value, const std::string& name);
    static void removeUserAttributeForName(const std::string& name);
    static void removeInternalUserAttributeForName(const std::string& name);
    // A null queue answers on the main queue after logging.
    static void userPropertiesIncludingInternal(bool includeInternal, ns::DispatchQueuePtr queue,
                                                std::function<void(ns::Dictionary)> callback);
    void maxUserPropertiesForOrigin(const std::optional<std::string>& origin, ns::DispatchQueuePtr queue,
                                    std::function<void(int32_t)> callback);
    static void setLogEventInterceptor(Interceptor interceptor);
    // nullopt for an empty listener.
    static std::optional<QRVAnalyticsListenerToken> addLogEventListener(Listener listener);
    static void removeLogEventListener(const std::optional<QRVAnalyticsListenerToken>& token);
    static void notifyEventListeners(const QRVAEvent& event);
    static void setOpenURLListener(OpenURLListener listener);
    static void dispatchAsyncOnSerialQueue(std::function<void()> block);
    static void queueOperationWithBlock(std::function<void()> block);
    // The current queue is the facade's serial queue itself (not merely one
    // of the same label).
    static bool isCurrentQueueSerialQueue();
    static double loadTimestamp();
    static std::shared_ptr<QRVAnalytics> sharedInstance();
    // Main queue, once per process.
    static void createAppDelegateProxy();
    static void maybeEnableZelbrook();

    // MARK: Steps
    static void logEventOnSerialQueue(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      QRVAObjectParameters parameters, double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor, QRVAObjectParameters addedScreenParameters);
    static std::vector<QRVAEvent> eventsToLogWithEventID(int64_t eventID, const std::string& origin, bool isPublic,
                                                         const std::string& name, double timestamp,
                                                         const QRVAObjectParameters& parameters);
    static void logEventsOnWorkerQueue(const std::vector<QRVAEvent>& events, bool notifyEventListeners);
    static void notifyEventListenersOnSerialQueue(const QRVAEvent& event);
    static void handleSetEnabled(const ns::Notification& notification);
    static void handleSetMinimumSessionInterval(const ns::Notification& notification);
    static void handleSetSessionTimeoutInterval(const ns::Notification& notification);
    static void observeNotificationsForAnalyticsConfiguration(
        const std::shared_ptr<QRVAnalyticsConfiguration>& configuration);
    static void unsuspendOperationQueue();
    // From the start on (main thread): the application's end waits until
    // the serial queue and then the engine's worker queue have run what they
    // hold, the engine's start among it, and a first open still waiting for
    // its screen is stored with the current one (at most
    // kQRVAMeasurementFirstOpenAtEndWaitSeconds; the main loop turns
    // meanwhile, as the start may read the device there).
    static void handleApplicationWillTerminate(const ns::Notification& notification);

    // The class as loaded: timestamp, suspended operation queue, screen
    // reporter, runtime class and bridge hooks. Run by the load hook.
    static void load();
    // Stands for a new process: a new suspended operation queue, not
    // started, disabled, no options, listeners, interceptor or observers.
    // Callers drain the queues first.
    static void resetForTesting();
    // The serial queue, for tests that wait for it.
    static ns::DispatchQueuePtr serialQueue();

    std::string className() const override { return "QRVAnalytics"; }

private:
    // Process-wide state. The members after `mutex`'s group are read and
    // written only on the serial queue.
    struct State {
        std::mutex mutex;
        double loadTimestamp = 0;
        std::shared_ptr<ns::OperationQueue> operationQueue;
        std::atomic<bool> started{false};
        std::atomic<bool> proxyCreated{false};

        bool enabled = false;
        std::shared_ptr<const QRVOptions> options;
        Interceptor interceptor;
        OpenURLListener openURLListener;
        // Made at the first addition.
        std::optional<std::vector<std::pair<QRVAnalyticsListenerToken, std::shared_ptr<Listener>>>> listeners;
    };
    static State& state();
    static void startEngineOnSerialQueue(const std::shared_ptr<const QRVOptions>& options);
    static void setInterceptorOnSerialQueue(Interceptor interceptor);
    static void addListenerOnSerialQueue(QRVAnalyticsListenerToken token, std::shared_ptr<Listener> listener);
    static void removeListenerOnSerialQueue(QRVAnalyticsListenerToken token);
    static void routeEventsOnSerialQueue(const std::vector<QRVAEvent>& events, const std::string& origin,
                                         bool isPublicEvent, const std::string& name,
                                         const QRVAObjectParameters& parameters, double timestamp,
                                         bool ignoreEnabled, bool ignoreInterceptor,
                                         const QRVAObjectParameters& addedScreenParameters);
    static void setUserAttributeValue(const QRVAValue& value, const std::string& name, const std::string& origin);
    static void registerRuntimeClass();
    static void installBridges();
};
