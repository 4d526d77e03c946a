#include "database/sync/FEventGenerator.h"

#include <algorithm>

#include "platform/error.h"

FEventGenerator::FEventGenerator(FQuerySpec query) : query_(std::move(query)) {}

FEventList FEventGenerator::generateEventsForChanges(const FChangeList& changes, const FIndexedNodePtr& eventCache,
                                                     const std::vector<FEventRegistrationPtr>& registrations) const {
    FEventList events;
    FChangeList moves;
    const FIndexPtr& index = query_.index();
    for (const FChange& change : changes) {
        if (change.type() == QRVDataEventTypeChildChanged &&
            index->indexedValueChanged(*change.oldIndexedNode()->node(), *change.indexedNode()->node())) {
            moves.emplace_back(QRVDataEventTypeChildMoved, change.indexedNode(), change.childKey(), nullptr);
        }
    }
    generateEvents(events, QRVDataEventTypeChildRemoved, changes, eventCache, registrations);
    generateEvents(events, QRVDataEventTypeChildAdded, changes, eventCache, registrations);
    generateEvents(events, QRVDataEventTypeChildMoved, moves, eventCache, registrations);
    generateEvents(events, QRVDataEventTypeChildChanged, changes, eventCache, registrations);
    generateEvents(events, QRVDataEventTypeValue, changes, eventCache, registrations);
    return events;
}

void FEventGenerator::generateEvents(FEventList& events, QRVDataEventType eventType, const FChangeList& changes,
                                     const FIndexedNodePtr& eventCache,
                                     const std::vector<FEventRegistrationPtr>& registrations) const {
    // Ordering changes no one receives would only cost time.
    bool anyResponds = std::any_of(registrations.begin(), registrations.end(),
                                   [&](const FEventRegistrationPtr& r) { return r->responseTo(eventType); });
    if (!anyResponds) return;
    std::vector<const FChange*> filtered;
    for (const FChange& change : changes) {
        if (change.type() == eventType) filtered.push_back(&change);
    }
    const FIndexPtr& index = query_.index();
    std::stable_sort(filtered.begin(), filtered.end(), [&](const FChange* a, const FChange* b) {
        if (!a->childKey() || !b->childKey()) {
            throw ns::Exception("InternalInconsistencyError", "Should only compare child_ events");
        }
        return index->compare(*a->childKey(), *a->indexedNode()->node(), *b->childKey(), *b->indexedNode()->node()) < 0;
    });
    for (const FChange* change : filtered) {
        for (const FEventRegistrationPtr& registration : registrations) {
            if (registration->responseTo(eventType)) {
                events.push_back(generateEventForChange(*change, registration, eventCache));
            }
        }
    }
}

FEventPtr FEventGenerator::generateEventForChange(const FChange& change, const FEventRegistrationPtr& registration,
                                                  const FIndexedNodePtr& eventCache) const {
    if (change.type() == QRVDataEventTypeValue || change.type() == QRVDataEventTypeChildRemoved) {
        return registration->createEventFrom(change, query_);
    }
    std::optional<std::string> prevKey =
        eventCache->predecessorForChildKey(*change.childKey(), change.indexedNode()->node(), query_.index());
    return registration->createEventFrom(change.changeWithPrevKey(std::move(prevKey)), query_);
}
