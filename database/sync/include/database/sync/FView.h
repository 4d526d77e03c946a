#pragma once
// The live state of one query in a sync point: its view cache, the processor
// that applies operations to it, its event generator and its registrations.

#include <memory>
#include <vector>

#include "database/sync/FEvent.h"
#include "database/sync/FEventGenerator.h"
#include "database/sync/FOperation.h"
#include "database/sync/FQueryParams.h"
#include "database/sync/FViewCache.h"
#include "database/sync/FViewProcessor.h"
#include "database/sync/FWriteTree.h"

class FView;
using FViewPtr = std::shared_ptr<FView>;

class FView {
public:
    FView(FQuerySpec query, const FViewCache& initialViewCache);

    const FQuerySpec& query() const { return query_; }
    const FViewCache& viewCache() const { return viewCache_; }
    const std::vector<FEventRegistrationPtr>& eventRegistrations() const { return eventRegistrations_; }

    const FNodePtr& serverCache() const { return viewCache_.cachedServerSnap().node(); }
    const FNodePtr& eventCache() const { return viewCache_.cachedEventSnap().node(); }

    // Complete server data at a path relative to the view, or nullptr.
    FNodePtr completeServerCacheFor(const FPath& path) const;

    bool isEmpty() const { return eventRegistrations_.empty(); }
    void addEventRegistration(const FEventRegistrationPtr& registration);
    // A null registration removes every registration; an error makes each
    // registration that can be cancelled answer a cancel event.
    FEventList removeEventRegistration(const FEventRegistrationPtr& registration, const ns::ErrorRef& cancelError);

    FViewOperationResult applyOperation(const FOperation& operation, const FWriteTreeRef& writesCache,
                                        const FNodePtr& completeServerCache);
    // The events that bring a newly added registration up to date.
    FEventList initialEvents(const FEventRegistrationPtr& registration) const;
    // For one registration, or for all when it is null.
    FEventList generateEventsForChanges(const FChangeList& changes, const FIndexedNodePtr& eventCache,
                                        const FEventRegistrationPtr& registration) const;

    // "FView (%@)"
    std::string description() const;

private:
    // Whether an operation has to report child changes: for the persisted
    // keys of a filtered query, or for a registration taking child events.
    bool wantsChildChanges() const;

    FQuerySpec query_;
    FViewProcessor processor_;
    FViewCache viewCache_;
    std::vector<FEventRegistrationPtr> eventRegistrations_;
    FEventGenerator eventGenerator_;
};
