#pragma once
// The in-memory set of tracked-query records, mirrored into the storage
// engine before each change is cached; answers which queries are complete and
// picks the least recently used inactive ones to forget.

#include <memory>
#include <set>
#include <unordered_map>

#include "database/cache/FCachePolicy.h"
#include "database/cache/FStorageEngine.h"
#include "database/cache/FTrackedQuery.h"
#include "database/model/FClock.h"
#include "database/model/FImmutableTree.h"

class FTrackedQueryManager {
public:
    // Records at one path by their parameters; shared and changed in place.
    using QueriesAtPath = std::unordered_map<FQueryParamsPtr, FTrackedQuery, FQueryParamsHash, FQueryParamsEqual>;
    using QueriesAtPathPtr = std::shared_ptr<QueriesAtPath>;

    // Loads every stored record; ones left active by the previous run are
    // stored back as inactive, last used now.
    FTrackedQueryManager(FStorageEnginePtr storageEngine, FClockPtr clock);

    static FQuerySpec normalizeQuery(const FQuerySpec& query);

    std::optional<FTrackedQuery> findTrackedQuery(const FQuerySpec& query) const;
    void removeTrackedQuery(const FQuerySpec& query);
    void setQueryActive(const FQuerySpec& query) { setQueryActive(true, query); }
    void setQueryInactive(const FQuerySpec& query) { setQueryActive(false, query); }
    void setQueryActive(bool isActive, const FQuerySpec& query);
    // False when the record could not be stored (it is then not cached
    // either, so memory never claims more than the disk holds).
    bool setQueryComplete(const FQuerySpec& query);
    bool setQueriesCompleteAtPath(const FPath& path);
    bool isQueryComplete(const FQuerySpec& query) const;
    bool hasActiveDefaultQueryAtPath(const FPath& path) const;
    bool isIncludedInDefaultCompleteQuery(const FQuerySpec& query) const;
    bool ensureCompleteTrackedQueryAtPath(const FPath& path);
    void cacheTrackedQuery(const FTrackedQuery& query);

    uint64_t numberOfQueriesToPrune(const FCachePolicy& policy, uint64_t prunableCount) const;
    FPruneForest pruneOldQueries(const FCachePolicy& policy);
    uint64_t numberOfPrunableQueries() const;
    std::set<uint64_t> filteredQueryIdsAtPath(const FPath& path) const;
    std::set<std::string> knownCompleteChildrenAtPath(const FPath& path) const;
    // Raises NSInternalInconsistencyException when memory and disk differ.
    void verifyCache() const;

    uint64_t currentQueryId() const { return currentQueryId_; }
    const FImmutableTree<QueriesAtPathPtr>& trackedQueryTree() const { return trackedQueryTree_; }

private:
    bool saveAndCache(const FTrackedQuery& query);
    std::vector<FTrackedQuery> allRecords() const;

    FImmutableTree<QueriesAtPathPtr> trackedQueryTree_;
    FStorageEnginePtr storageEngine_;
    FClockPtr clock_;
    uint64_t currentQueryId_ = 0;
};
