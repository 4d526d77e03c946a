#pragma once
// Turns the changes one operation made to a view into the ordered events of
// its registrations: removed, added, moved, changed, then value; within a
// type in the query's order, each child event with its previous sibling.

#include <vector>

#include "database/model/FIndexedNode.h"
#include "database/sync/FChange.h"
#include "database/sync/FEvent.h"
#include "database/sync/FQueryParams.h"

class FEventGenerator {
public:
    explicit FEventGenerator(FQuerySpec query);

    const FQuerySpec& query() const { return query_; }

    FEventList generateEventsForChanges(const FChangeList& changes, const FIndexedNodePtr& eventCache,
                                        const std::vector<FEventRegistrationPtr>& eventRegistrations) const;

    // Appends the events of one type. Raises "InternalInconsistencyError"
    // "Should only compare child_ events" when asked to order a change
    // without a child key against another.
    void generateEvents(FEventList& events, QRVDataEventType eventType, const FChangeList& changes,
                        const FIndexedNodePtr& eventCache,
                        const std::vector<FEventRegistrationPtr>& eventRegistrations) const;
    FEventPtr generateEventForChange(const FChange& change, const FEventRegistrationPtr& registration,
                                     const FIndexedNodePtr& eventCache) const;

private:
    FQuerySpec query_;
};
