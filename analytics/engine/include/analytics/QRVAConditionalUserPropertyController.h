#pragma once
// Conditional user properties: a user property value that takes effect when
// its trigger event comes within a time-out (or at once without one), stays
// for a time to live, and is then removed, each turn logging the event the
// setter supplied. Records live in the store's conditional_properties
// table (at most 1000; a new name past that is refused); all work runs on
// the shared engine's worker queue in store transactions, and a step that
// fails rolls its whole transaction back, derived events included.
//
//     QRVAConditionalUserProperty record;
//     record.origin = "app";
//     record.value = QRVAValue::string("gold");
//     record.triggerEventName = "level_up";
//     record.triggerTimeout = 3600;   // the trigger may come within an hour
//     record.timeToLive = 86400;      // then the value stays a day
//     QRVAConditionalUserPropertyController::sharedInstance()->setConditionalUserProperty(record, "tier");
//
// There is no timer: time-outs and expiries are noticed when the next event
// passes through the engine's write path (`processEventOnWorkerQueue`).
//
// Threads: `setConditionalUserProperty` and
// `clearConditionalUserPropertyWithClearEvent` may be called from any
// thread; they validate and queue. The query may be called from any thread
// but the worker queue: it blocks for at most 30 seconds of ns::Clock time
// (on the worker queue it answers nullopt at once). The other methods run
// only on the worker queue (checked in Debug builds); the three event steps
// run inside the caller's store transaction.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/QRVAEvent.h"
#include "analytics/QRVAStoreRecords.h"
#include "platform/value.h"

// Bounds of `triggerTimeout` and `timeToLive`, in seconds, both included.
inline constexpr double kQRVAConditionalUserPropertyMinInterval = 0.001;
inline constexpr double kQRVAConditionalUserPropertyMaxInterval = 15552000;  // 180 days
// How long a query waits for the worker queue, in seconds.
inline constexpr double kQRVAConditionalUserPropertyQueryTimeout = 30;

// Origin, name and (when set) value pass their checks, and both intervals
// are finite numbers within the bounds (11000 / 11001 otherwise).
bool QRVAIsValidConditionalUserProperty(const QRVAConditionalUserProperty& property);

class QRVAConditionalUserPropertyController {
public:
    static std::shared_ptr<QRVAConditionalUserPropertyController> sharedInstance();

    // Any thread. Stores a copy of the record under `name`, stamped now; a
    // record without a value removes the stored one instead, its
    // `expiredEvent` logged as the clear event. nullopt: 11002.
    void setConditionalUserProperty(std::optional<QRVAConditionalUserProperty> record, const std::string& name);
    // Any thread. Removes the record of that name (and its user property
    // when active), then logs the clear event when given.
    void clearConditionalUserPropertyWithClearEvent(std::optional<QRVAEvent> clearEvent, const std::string& name);
    // Not on the worker queue. The records whose origin is LIKE `origin`
    // and whose name is LIKE `prefix` followed by anything (each only when
    // non-empty; null is empty); nullopt when a filter is not a string
    // (11003 / 11004), the engine is disabled (11005), the read failed
    // (11006) or the worker queue did not answer in time.
    std::optional<std::vector<QRVAConditionalUserProperty>> conditionalUserPropertiesWithNamePrefix(
        const ns::Value& prefix, const ns::Value& origin);

    // Worker queue, for every event the engine logs, before writing it:
    // removes timed-out and expired records (writing their events), applies
    // the records this event triggers and answers their triggered events,
    // to be written after it. nullopt on failure (nothing written).
    std::optional<std::vector<QRVAEvent>> processEventOnWorkerQueue(const QRVAEvent* event);

    // Worker queue: the stored side of setting and removing.
    void setConditionalUserPropertyOnWorkerQueue(const QRVAConditionalUserProperty* record);
    void removeConditionalUserPropertyOnWorkerQueue(const QRVAConditionalUserProperty* request);

    // Worker queue, inside the caller's transaction: the three steps of
    // processing an event. The first two append the events to log and
    // answer false when the transaction must roll back; the third answers
    // the triggered events, nullopt for a roll back.
    bool removeTimedOutCUPWithTimedOutEvents(std::vector<QRVAEvent>* timedOutEvents);
    bool removeExpiredCUPWithExpiredEvents(std::vector<QRVAEvent>* expiredEvents);
    std::optional<std::vector<QRVAEvent>> updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
        const std::string& eventName);
};
