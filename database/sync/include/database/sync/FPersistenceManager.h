#pragma once
// The sync engine's one entry into the local cache. The engine calls it only
// through this interface and skips every call when there is none (persistence
// off); the disk-backed manager implements it over a storage engine.

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "database/model/FCompoundWrite.h"
#include "database/model/FNode.h"
#include "database/model/FPath.h"
#include "database/sync/FQueryParams.h"
#include "database/sync/FViewCache.h"
#include "database/sync/FWriteTree.h"

class FPersistenceManager {
public:
    virtual ~FPersistenceManager() = default;

    // Pending user writes (the repository's side).
    virtual void saveUserOverwrite(const FNodePtr& node, const FPath& path, uint64_t writeId) = 0;
    virtual void saveUserMerge(const FCompoundWrite& merge, const FPath& path, uint64_t writeId) = 0;
    virtual void removeUserWrite(uint64_t writeId) = 0;
    virtual void removeAllUserWrites() = 0;
    // Ascending write-id order.
    virtual std::vector<FWriteRecordPtr> userWrites() = 0;

    // Server data.
    virtual FCacheNode serverCacheForQuery(const FQuerySpec& query) = 0;
    virtual void updateServerCacheWithNode(const FNodePtr& node, const FQuerySpec& query) = 0;
    virtual void updateServerCacheWithMerge(const FCompoundWrite& merge, const FPath& path) = 0;
    virtual void applyUserWrite(const FNodePtr& node, const FPath& path) = 0;
    virtual void applyUserMergeAtPath(const FCompoundWrite& merge, const FPath& path) = 0;

    // Tracked queries.
    virtual void setQueryComplete(const FQuerySpec& query) = 0;
    virtual void setQueryActive(const FQuerySpec& query) = 0;
    virtual void setQueryInactive(const FQuerySpec& query) = 0;
    virtual void setTrackedQueryKeys(const std::set<std::string>& keys, const FQuerySpec& query) = 0;
    virtual void updateTrackedQueryKeysWithAddedKeys(const std::set<std::string>& added, const std::set<std::string>& removed,
                                        const FQuerySpec& query) = 0;

    virtual void close() = 0;
};

using FPersistenceManagerPtr = std::shared_ptr<FPersistenceManager>;
