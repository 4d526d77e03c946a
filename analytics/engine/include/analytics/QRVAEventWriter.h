// The measurement engine's event writer: where an event is written. An event
// logged on any thread is queued to the worker queue, passes the conditional
// user properties (which may derive more events), the settings' blacklist and
// the lifetime value of purchases, is counted against the day's quotas and
// marked real-time or not, and is stored as a raw-event row beside the
// metadata row that describes the app, device and user at that moment.
//
// Each write is short transactions run back to back on the worker queue, so
// no other event comes between them; a failure rolls back only its own
// transaction (the counters of a dropped event stay, so the next overrun is
// seen as such). Events that must reach the store together with something
// else (the first open with its time) go in one transaction instead
// (`writeEventsTogether`). A stored first open ("_f") is counted in the
// keychain after its commit. Everything but `logEvent` runs on the worker
// queue. The writer keeps no state between events: it is the road, the
// store is the record.
//
// An event is written only with the components a start made, which the
// engine hands it (QRVAMeasurement::runWhenStarted): before a start got
// through, and while another program holds the store's lock, it waits in
// the engine's memory and is written, in order, at a later try. An event
// that found the lock taken between two of its transactions goes on from
// the one that could not begin, so nothing is counted or recorded twice.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/QRVAMeasurementPart.h"

// Overruns of a day's quota are logged on the first and every this many after.
inline constexpr int64_t kQRVAMeasurementQuotaLogInterval = 1000;

class QRVAEventWriter : QRVAMeasurementPart {
public:
    explicit QRVAEventWriter(QRVAMeasurement& engine) : QRVAMeasurementPart(engine) {}

    // Any thread; a nullopt event is logged (23048).
    void logEvent(std::optional<QRVAEvent> event);
    // The event and those its conditional user properties derive, then a
    // new upload schedule. Nothing is written while measurement is off.
    void handleEventOnWorkerQueue(QRVAEvent event);
    void writeEventOnWorkerQueue(QRVAEvent event);
    // The events, each seen first by the conditional user properties, stored
    // in one transaction together with what `alongside` writes in it (false
    // from it rolls everything back); what the properties derive is written
    // after the commit, then a new upload schedule. False when nothing was
    // committed (measurement off, or a step failed).
    bool writeEventsTogether(std::vector<QRVAEvent> events, const std::function<bool()>& alongside);
    // In debug mode every event is debug and real-time.
    void maybeAddDebugAndRealtimeParameters(QRVAEvent& event);
    // What describes the app, the device and the user when an event is
    // written; events written under the same description share one row.
    // nullptr before the engine has started.
    std::shared_ptr<QRVAPBMeasurementBundle> createRawEventMetadataWithUserAttributes(
        const std::vector<QRVAUserAttribute>& attributes);
    // Whether an event asked to be real-time counts against the day's
    // real-time limit: not in debug mode, and not a purchase ("_iap") or a
    // first open ("_f"), which are always real-time.
    static bool isSubjectToRealtimeLimit(const QRVAEvent& event);

private:
    using Started = QRVAStartedComponents;
    // What counting decided for the storing transaction.
    struct WriteState {
        bool dropped = false;
        bool realtimeRow = false;
    };
    // An event's way through its transactions, kept while it waits for the
    // store, so that a later try goes on where the lock stopped it.
    enum class Step { Admit, LifetimeValue, Count, Store };
    struct Write {
        QRVAEvent event;
        Step step = Step::Admit;
        WriteState state;
    };
    struct Handling {
        Write write;
        bool processed = false;
        std::optional<std::vector<QRVAEvent>> triggered;
    };
    QRVAWorkOutcome handleStartedEvent(const Started& started, Handling& handling);
    QRVAWorkOutcome writeStartedEvent(const Started& started, Write& write);
    // Whether the event waits for its first open's screen (then held there).
    bool heldBehindFirstOpen(const QRVAEvent& event, bool handle);
    bool countEventInTransaction(const Started& started, QRVAEvent& event, bool isPublic, WriteState& state);
    bool applyQuotas(const Started& started, const QRVAEvent& event, bool isPublic, const QRVADailyCounts& counts,
                     WriteState& state);
    void markRealtime(const Started& started, QRVAEvent& event, const QRVADailyCounts& counts, WriteState& state);
    bool storeEventInTransaction(const Started& started, const QRVAEvent& event, bool isPublic,
                                 const WriteState& state);
    // One event inside a transaction the caller holds: false when a step
    // failed (roll back); `stored` whether it now has its row (a rejected or
    // dropped event has none).
    bool writeEventInTransaction(const Started& started, QRVAEvent& event, bool& stored);
    bool admitEvent(const Started& started, QRVAEvent& event);
    bool recordLifetimeValueInTransaction(const Started& started, const QRVAEvent& event);
    void logDropped(const QRVAEvent& event);
    static void countStoredFirstOpens(const std::vector<std::string>& storedNames);
    bool isUnderNewPublicNameLimit(const Started& started, const QRVAEvent& event);
    std::shared_ptr<QRVAPBMeasurementBundle> metadataFor(QRVAIdentity& identity,
                                                         const std::vector<QRVAUserAttribute>& attributes);
};
