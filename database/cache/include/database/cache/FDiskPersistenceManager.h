#pragma once
// The sync engine's persistence manager over a storage engine: keeps the
// user's unacknowledged writes, server data with the record of which queries
// are fully cached, answers queries from the cache and prunes the least
// recently used inactive queries under the cache policy.

#include "database/cache/FCachePolicy.h"
#include "database/cache/FStorageEngine.h"
#include "database/cache/FTrackedQueryManager.h"
#include "database/sync/FPersistenceManager.h"

class FDiskPersistenceManager final : public FPersistenceManager {
public:
    FDiskPersistenceManager(FStorageEnginePtr storageEngine, FCachePolicyPtr cachePolicy);
    // The same with the tracked queries' clock given (tests).
    FDiskPersistenceManager(FStorageEnginePtr storageEngine, FCachePolicyPtr cachePolicy, FClockPtr clock);

    void close() override;

    void saveUserOverwrite(const FNodePtr& node, const FPath& path, uint64_t writeId) override;
    void saveUserMerge(const FCompoundWrite& merge, const FPath& path, uint64_t writeId) override;
    void removeUserWrite(uint64_t writeId) override;
    void removeAllUserWrites() override;
    std::vector<FWriteRecordPtr> userWrites() override;

    FCacheNode serverCacheForQuery(const FQuerySpec& query) override;
    void updateServerCacheWithNode(const FNodePtr& node, const FQuerySpec& query) override;
    void updateServerCacheWithMerge(const FCompoundWrite& merge, const FPath& path) override;
    void applyUserWrite(const FNodePtr& node, const FPath& path) override;
    void applyUserMergeAtPath(const FCompoundWrite& merge, const FPath& path) override;

    void setQueryComplete(const FQuerySpec& query) override;
    void setQueryActive(const FQuerySpec& query) override;
    void setQueryInactive(const FQuerySpec& query) override;
    void setTrackedQueryKeys(const std::set<std::string>& keys, const FQuerySpec& query) override;
    void updateTrackedQueryKeysWithAddedKeys(const std::set<std::string>& added, const std::set<std::string>& removed,
                                             const FQuerySpec& query) override;

    void doPruneCheckAfterServerUpdate();

    const FStorageEnginePtr& storageEngine() const { return storageEngine_; }
    const FCachePolicyPtr& cachePolicy() const { return cachePolicy_; }
    FTrackedQueryManager* trackedQueryManager() const { return trackedQueryManager_.get(); }
    uint64_t serverCacheUpdatesSinceLastPruneCheck() const { return serverCacheUpdatesSinceLastPruneCheck_; }

private:
    FStorageEnginePtr storageEngine_;
    FCachePolicyPtr cachePolicy_;
    std::unique_ptr<FTrackedQueryManager> trackedQueryManager_;
    uint64_t serverCacheUpdatesSinceLastPruneCheck_ = 0;
};
