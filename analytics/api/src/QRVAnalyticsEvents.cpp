// Events: the caller's checks and timestamp, the serial-queue step that makes
// the event list, and its routing to the interceptor, the engine and the
// listeners.

#include "analytics/QRVADataTypeValidator.h"
#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAScreenViewReporter.h"
#include "analytics/QRVAUtilities.h"
#include "analytics/QRVAnalytics.h"
#include "core/QRVApp.h"
#include "platform/clock.h"
#include "platform/no_destructor.h"

namespace {


ns::DispatchQueuePtr timestampQueue() {
    static const ns::NoDestructor<ns::DispatchQueuePtr> queue(
        ns::DispatchQueue::serial(kQRVAnalyticsTimestampQueueLabel));
    return *queue;
}

// The configure check: without a default app only internal events with an
// internal name may wait for the start.
bool mayLogBeforeConfigure(bool isPublicEvent, const std::string& name) {
    if (QRVApp::defaultApp()) return true;
    return !isPublicEvent && !QRVAEventUtilIsPublicName(name);
}

}  // namespace

bool QRVAShouldEventSkipInterceptorAndListeners(const QRVAEvent& event) {
    return event.origin() == kQRVAnalyticsOriginAdExposure || event.name() == "_xa" || event.name() == "_xu";
}

void QRVAnalytics::logEventWithName(const std::string& name, const QRVAObjectParameters& parameters) {
    logEventWithOrigin(kQRVAnalyticsOriginApp, name, parameters);
}

void QRVAnalytics::logEventWithOrigin(const std::string& origin, const std::string& name,
                                      const QRVAObjectParameters& parameters) {
    int64_t failure = kQRVAFailureNone;
    if (!QRVADataTypeValidator::isValidPublicEventName(name, &failure)) {
        const int64_t code = failure == kQRVAFailureReserved ? kQRVAErrorEventNameIsReserved : kQRVAErrorInvalidEventName;
        QRVALogErrorEventWithParameters(code, name, kQRVADataTypeEventNameMaxLength, name);
        return;
    }
    logEventWithOrigin(origin, true, name, parameters);
}

void QRVAnalytics::logInternalEventWithOrigin(const std::string& origin, const std::string& name,
                                              const QRVAObjectParameters& parameters) {
    logEventWithOrigin(origin, false, name, parameters);
}

void QRVAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const QRVAObjectParameters& parameters) {
    if (!mayLogBeforeConfigure(isPublicEvent, name)) {
        QRVALog(4, 25018, "Event not logged. Call +[QRVApp configure]", ns::Array{ns::Value(QRVAFormattedEventName(name))});
        return;
    }
    QRVAObjectParameters screen;
    if (!QRVAHasScreenParameters(parameters)) screen = QRVAScreenViewReporter::sharedInstance()->screenParameters();
    // Taking the time and queueing are one step, so the serial queue sees
    // events in the order of their timestamps.
    timestampQueue()->sync([&] {
        const double timestamp = ns::Clock::nowSeconds();
        queueOperationWithBlock([=] {
            logEventOnSerialQueue(origin, isPublicEvent, name, parameters, timestamp, false, false, screen);
        });
    });
}

void QRVAnalytics::logEventWithOrigin(const std::string& origin, bool isPublicEvent, const std::string& name,
                                      const QRVAObjectParameters& parameters, double timestamp, bool ignoreEnabled,
                                      bool ignoreInterceptor) {
    queueOperationWithBlock([=] {
        logEventOnSerialQueue(origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled, ignoreInterceptor, {});
    });
}

void QRVAnalytics::logEventOnSerialQueue(const std::string& origin, bool isPublicEvent, const std::string& name,
                                         QRVAObjectParameters parameters, double timestamp, bool ignoreEnabled,
                                         bool ignoreInterceptor, QRVAObjectParameters addedScreenParameters) {
    ns::dispatchAssertQueue(serialQueue());
    if (ignoreInterceptor && addedScreenParameters.empty() &&
        QRVADataTypeValidator::isValidForwardedEventOrigin(origin)) {
        addedScreenParameters = QRVAExtractScreenParameters(parameters);
        for (const auto& [key, value] : addedScreenParameters) parameters.remove(key);
    }
    const int64_t eventID = QRVANumericUtil::randomInt64();
    std::vector<QRVAEvent> events = eventsToLogWithEventID(eventID, origin, isPublicEvent, name, timestamp, parameters);
    if (events.empty()) {
        QRVALog(1, 25017, "No events to log. Invalid event(s). Name, origin, parameters",
               ns::Array{ns::Value(QRVAFormattedEventName(name)), ns::Value(origin),
                ns::Value(QRVAFormattedParametersDescription(parameters))});
        return;
    }
    if (!addedScreenParameters.empty()) {
        for (auto& event : events) event.addScreenParameters(addedScreenParameters);
    }
    routeEventsOnSerialQueue(events, origin, isPublicEvent, name, parameters, timestamp, ignoreEnabled,
                             ignoreInterceptor, addedScreenParameters);
}

std::vector<QRVAEvent> QRVAnalytics::eventsToLogWithEventID(int64_t eventID, const std::string& origin, bool isPublic,
                                                            const std::string& name, double timestamp,
                                                            const QRVAObjectParameters& parameters) {
    if (QRVAHasArrayParameters(parameters)) {
        return QRVADecomposeEvent(eventID, name, origin, parameters, isPublic, timestamp)
            .value_or(std::vector<QRVAEvent>{});
    }
    std::optional<QRVAEvent> event = QRVAEvent::initWithOrigin(origin, isPublic, name, timestamp, 0, parameters);
    if (!event) {
        QRVALog(1, 25022, "Attempted to log nil event. Origin, name, parameters",
               ns::Array{ns::Value(origin), ns::Value(QRVAFormattedEventName(name)),
                ns::Value(QRVAFormattedParametersDescription(parameters))});
        return {};
    }
    return {std::move(*event)};
}

void QRVAnalytics::routeEventsOnSerialQueue(const std::vector<QRVAEvent>& events, const std::string& origin,
                                            bool isPublicEvent, const std::string& name,
                                            const QRVAObjectParameters& parameters, double timestamp,
                                            bool ignoreEnabled, bool ignoreInterceptor,
                                            const QRVAObjectParameters& addedScreenParameters) {
    auto& s = state();
    if ((!s.enabled && !ignoreEnabled) || QRVAShouldEventSkipInterceptorAndListeners(events.front())) {
        logEventsOnWorkerQueue(events, false);
        return;
    }
    if (s.interceptor && !ignoreInterceptor && isPublicEvent) {
        QRVAObjectParameters merged = parameters;
        for (const auto& [key, value] : addedScreenParameters) merged.set(key, value);
        s.interceptor(origin, name, merged, timestamp);
        return;
    }
    logEventsOnWorkerQueue(events, true);
}

void QRVAnalytics::logEventsOnWorkerQueue(const std::vector<QRVAEvent>& events, bool notifyListeners) {
    auto engine = QRVAMeasurement::sharedInstance();
    for (const auto& event : events) {
        if (engine) engine->logEvent(event);
        if (notifyListeners) notifyEventListenersOnSerialQueue(event);
    }
}

// MARK: - Listeners and interceptor

void QRVAnalytics::notifyEventListenersOnSerialQueue(const QRVAEvent& event) {
    ns::dispatchAssertQueue(serialQueue());
    if (!state().listeners) return;
    // A listener may add or remove listeners inline: walk a copy.
    const auto listeners = *state().listeners;
    for (const auto& [token, listener] : listeners) (*listener)(event);
}

void QRVAnalytics::notifyEventListeners(const QRVAEvent& event) {
    queueOperationWithBlock([event] { notifyEventListenersOnSerialQueue(event); });
}

void QRVAnalytics::setLogEventInterceptor(Interceptor interceptor) {
    if (isCurrentQueueSerialQueue()) {
        setInterceptorOnSerialQueue(std::move(interceptor));
        return;
    }
    queueOperationWithBlock([interceptor = std::move(interceptor)] { setInterceptorOnSerialQueue(interceptor); });
}

void QRVAnalytics::setInterceptorOnSerialQueue(Interceptor interceptor) {
    ns::dispatchAssertQueue(serialQueue());
    state().interceptor = std::move(interceptor);
}

std::optional<QRVAnalyticsListenerToken> QRVAnalytics::addLogEventListener(Listener listener) {
    if (!listener) {
        QRVALog(2, 25012, "Attempted addition of nil log event listener.");
        return std::nullopt;
    }
    auto copy = std::make_shared<Listener>(std::move(listener));
    const QRVAnalyticsListenerToken token{copy.get()};
    if (isCurrentQueueSerialQueue()) {
        addListenerOnSerialQueue(token, std::move(copy));
    } else {
        queueOperationWithBlock([token, copy] { addListenerOnSerialQueue(token, copy); });
    }
    return token;
}

void QRVAnalytics::addListenerOnSerialQueue(QRVAnalyticsListenerToken token, std::shared_ptr<Listener> listener) {
    ns::dispatchAssertQueue(serialQueue());
    auto& listeners = state().listeners;
    if (!listeners) listeners.emplace();
    listeners->emplace_back(token, std::move(listener));
}

void QRVAnalytics::removeLogEventListener(const std::optional<QRVAnalyticsListenerToken>& token) {
    if (!token) {
        QRVALog(2, 25013, "Attempted removal of nil log event.");
        return;
    }
    queueOperationWithBlock([token = *token] { removeListenerOnSerialQueue(token); });
}

void QRVAnalytics::removeListenerOnSerialQueue(QRVAnalyticsListenerToken token) {
    ns::dispatchAssertQueue(serialQueue());
    auto& listeners = state().listeners;
    if (!listeners) {
        QRVALog(2, 25014, "Attempted removal of nil log event listener.");
        return;
    }
    if (!std::erase_if(*listeners, [token](const auto& entry) { return entry.first == token; })) {
        QRVALog(2, 25015, "Attempted removal of log event listener with invalid token.");
    }
}
