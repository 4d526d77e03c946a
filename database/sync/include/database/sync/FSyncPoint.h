#pragma once
// Every view open at one location: one per distinct parameter set, each
// holding at least one registration. The sync tree hands each operation to
// the sync points it touches; a sync point passes it to its views (or to the
// one view of a tagged query) and keeps the persistence manager's record of
// the children each filtered view holds.

#include <memory>
#include <unordered_map>
#include <vector>

#include "database/sync/FEvent.h"
#include "database/sync/FOperation.h"
#include "database/sync/FPersistenceManager.h"
#include "database/sync/FQueryParams.h"
#include "database/sync/FView.h"
#include "database/sync/FViewCache.h"
#include "database/sync/FWriteTree.h"

class FSyncPoint;
using FSyncPointPtr = std::shared_ptr<FSyncPoint>;

class FSyncPoint {
public:
    explicit FSyncPoint(FPersistenceManagerPtr persistenceManager);

    bool isEmpty() const { return views_.empty(); }

    FEventList applyOperation(const FOperation& operation, const FWriteTreeRef& writesCache,
                              const FNodePtr& optCompleteServerCache);

    // The initial events of the registration on a new view for the query.
    FEventList addEventRegistration(const FEventRegistrationPtr& registration,
                                                      const FQuerySpec& query, const FWriteTreeRef& writesCache,
                                                      const FCacheNode& serverCache);
    FEventList addEventRegistration(const FEventRegistrationPtr& registration, const FQuerySpec& query);
    FTupleRemovedQueriesEvents removeEventRegistration(const FEventRegistrationPtr& registration,
                                                       const FQuerySpec& query, const ns::ErrorRef& cancelError);

    // The views whose query does not load all data.
    std::vector<FViewPtr> queryViews() const;
    // Complete server data at a path relative to the sync point, or nullptr.
    FNodePtr completeServerCacheAtPath(const FPath& path) const;
    FViewPtr viewForQuery(const FQuerySpec& query) const;
    bool viewExistsForQuery(const FQuerySpec& query) const { return viewForQuery(query) != nullptr; }
    FViewPtr completeView() const;
    bool hasCompleteView() const { return completeView() != nullptr; }

    // Views in the order they are visited.
    std::vector<FViewPtr> views() const;

private:
    FEventList applyOperationToView(const FViewPtr& view, const FOperation& operation,
                                    const FWriteTreeRef& writesCache, const FNodePtr& optCompleteServerCache);

    // Kept in creation order, so events and removed queries come out in a
    // stable order; looked up by parameters through the index.
    std::vector<std::pair<FQueryParamsPtr, FViewPtr>> views_;
    std::unordered_map<FQueryParamsPtr, FViewPtr, FQueryParamsHash, FQueryParamsEqual> viewIndex_;
    FPersistenceManagerPtr persistenceManager_;
};
