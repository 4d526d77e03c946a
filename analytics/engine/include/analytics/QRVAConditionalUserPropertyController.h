#pragma once
// Conditional user properties: a user property value that takes effect when
// its trigger event comes within a time-out (or at once without one), stays
// for a time to live, and is then removed, each turn logging the event the
// setter supplied. Records live in the store's conditional_properties
// table; all work runs on the analytics worker queue in store transactions.

#include <memory>
#include <optional>
#include <vector>

#include "analytics/QRVAEvent.h"
#include "analytics/QRVAStoreRecords.h"

class QRVAConditionalUserPropertyController {
public:
    static std::shared_ptr<QRVAConditionalUserPropertyController> sharedInstance();

    // Worker queue, for every event the engine logs, before writing it:
    // removes timed-out and expired records (writing their events), applies
    // the records this event triggers and answers their triggered events,
    // to be written after it. nullopt on failure (nothing written).
    std::optional<std::vector<QRVAEvent>> processEventOnWorkerQueue(const QRVAEvent* event);
};
