#pragma once
// What the persistence manager and the tracked-query manager need of a
// store. The configuration may supply its own in place of the leveldb one.
//
// Every change answers whether it was stored: the managers only record a
// query as complete once its data is on disk, and say so when a user's write
// could not be kept.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "database/cache/FTrackedQuery.h"
#include "database/model/FCompoundWrite.h"
#include "database/model/FNode.h"
#include "database/model/FPath.h"
#include "database/sync/FWriteTree.h"

class FStorageEngine {
public:
    virtual ~FStorageEngine() = default;

    virtual void close() = 0;

    virtual bool saveUserOverwrite(const FNodePtr& node, const FPath& path, uint64_t writeId) = 0;
    virtual bool saveUserMerge(const FCompoundWrite& merge, const FPath& path, uint64_t writeId) = 0;
    virtual bool removeUserWrite(uint64_t writeId) = 0;
    virtual bool removeAllUserWrites() = 0;
    // Ascending write-id order.
    virtual std::vector<FWriteRecordPtr> userWrites() = 0;

    virtual FNodePtr serverCacheAtPath(const FPath& path) = 0;
    virtual FNodePtr serverCacheForKeys(const std::set<std::string>& keys, const FPath& path) = 0;
    virtual bool updateServerCache(const FNodePtr& node, const FPath& path, bool merge) = 0;
    virtual bool updateServerCacheWithMerge(const FCompoundWrite& merge, const FPath& path) = 0;
    virtual uint64_t serverCacheEstimatedSizeInBytes() = 0;
    virtual bool pruneCache(const FPruneForest& pruneForest, const FPath& path) = 0;

    virtual std::vector<FTrackedQuery> loadTrackedQueries() = 0;
    virtual bool removeTrackedQuery(uint64_t queryId) = 0;
    virtual bool saveTrackedQuery(const FTrackedQuery& query) = 0;
    virtual bool setTrackedQueryKeys(const std::set<std::string>& keys, uint64_t queryId) = 0;
    virtual bool updateTrackedQueryKeysWithAddedKeys(const std::set<std::string>& added,
                                                     const std::set<std::string>& removed, uint64_t queryId) = 0;
    virtual std::set<std::string> trackedQueryKeysForQuery(uint64_t queryId) = 0;
};

using FStorageEnginePtr = std::shared_ptr<FStorageEngine>;
