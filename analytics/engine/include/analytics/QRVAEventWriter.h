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
// seen as such). Everything but `logEvent` runs on the worker queue. The
// writer keeps no state between events: it is the road, the store is the
// record.
#pragma once

#include <cstdint>
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
    // In debug mode every event is debug and real-time.
    void maybeAddDebugAndRealtimeParameters(QRVAEvent& event);
    // What describes the app, the device and the user when an event is
    // written; events written under the same description share one row.
    std::shared_ptr<QRVAPBMeasurementBundle> createRawEventMetadataWithUserAttributes(
        const std::vector<QRVAUserAttribute>& attributes);
    // Whether an event asked to be real-time counts against the day's
    // real-time limit: not in debug mode, and not a purchase ("_iap") or a
    // first open ("_f"), which are always real-time.
    static bool isSubjectToRealtimeLimit(const QRVAEvent& event);

private:
    // What counting decided for the storing transaction.
    struct WriteState {
        bool dropped = false;
        bool realtimeRow = false;
    };
    bool countEventInTransaction(QRVAEvent& event, bool isPublic, WriteState& state);
    bool applyQuotas(const QRVAEvent& event, bool isPublic, const QRVADailyCounts& counts, WriteState& state);
    void markRealtime(QRVAEvent& event, const QRVADailyCounts& counts, WriteState& state);
    bool storeEventInTransaction(const QRVAEvent& event, bool isPublic, const WriteState& state);
    bool isUnderNewPublicNameLimit(const QRVAEvent& event);
};
