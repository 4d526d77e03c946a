#include "database/cache/FDiskPersistenceManager.h"

#include "database/connection/FLog.h"
#include "database/model/FIndexedNode.h"
#include "platform/clock.h"

FDiskPersistenceManager::FDiskPersistenceManager(FStorageEnginePtr storageEngine, FCachePolicyPtr cachePolicy)
    : FDiskPersistenceManager(std::move(storageEngine), std::move(cachePolicy), FSystemClock::clock()) {}

FDiskPersistenceManager::FDiskPersistenceManager(FStorageEnginePtr storageEngine, FCachePolicyPtr cachePolicy,
                                                 FClockPtr clock)
    : storageEngine_(std::move(storageEngine)),
      cachePolicy_(std::move(cachePolicy)),
      trackedQueryManager_(std::make_unique<FTrackedQueryManager>(storageEngine_, std::move(clock))) {}

void FDiskPersistenceManager::close() {
    if (storageEngine_) storageEngine_->close();
    storageEngine_.reset();
    trackedQueryManager_.reset();
}

// After close there is nothing to reach; every operation below then does
// nothing (reads answer empty).

void FDiskPersistenceManager::saveUserOverwrite(const FNodePtr& node, const FPath& path, uint64_t writeId) {
    if (!storageEngine_) return;
    if (!storageEngine_->saveUserOverwrite(node, path, writeId)) {
        FFWarn("I-RDB078005", "Failed to persist write %lu at %@; it is still sent to the server",
               (unsigned long)writeId, path.description());
    }
}

void FDiskPersistenceManager::saveUserMerge(const FCompoundWrite& merge, const FPath& path, uint64_t writeId) {
    if (!storageEngine_) return;
    if (!storageEngine_->saveUserMerge(merge, path, writeId)) {
        FFWarn("I-RDB078005", "Failed to persist write %lu at %@; it is still sent to the server",
               (unsigned long)writeId, path.description());
    }
}

void FDiskPersistenceManager::removeUserWrite(uint64_t writeId) {
    if (storageEngine_) storageEngine_->removeUserWrite(writeId);
}

void FDiskPersistenceManager::removeAllUserWrites() {
    if (storageEngine_) storageEngine_->removeAllUserWrites();
}

std::vector<FWriteRecordPtr> FDiskPersistenceManager::userWrites() {
    return storageEngine_ ? storageEngine_->userWrites() : std::vector<FWriteRecordPtr>{};
}

FCacheNode FDiskPersistenceManager::serverCacheForQuery(const FQuerySpec& query) {
    if (!storageEngine_) {
        return FCacheNode(FIndexedNode::indexedNodeWithNode(FEmptyNode::emptyNode(), query.index()), false, false);
    }
    std::optional<std::set<std::string>> trackedKeys;
    const bool complete = trackedQueryManager_->isQueryComplete(query);
    if (complete) {
        if (!query.loadsAllData()) {
            std::optional<FTrackedQuery> record = trackedQueryManager_->findTrackedQuery(query);
            if (record && record->isComplete()) {
                trackedKeys = storageEngine_->trackedQueryKeysForQuery(record->queryId());
            }
        }
    } else {
        trackedKeys = trackedQueryManager_->knownCompleteChildrenAtPath(query.path());
    }
    FNodePtr node = trackedKeys ? storageEngine_->serverCacheForKeys(*trackedKeys, query.path())
                                : storageEngine_->serverCacheAtPath(query.path());
    return FCacheNode(FIndexedNode::indexedNodeWithNode(node, query.index()), complete, trackedKeys.has_value());
}

void FDiskPersistenceManager::updateServerCacheWithNode(const FNodePtr& node, const FQuerySpec& query) {
    if (!storageEngine_) return;
    // Only data that reached the disk makes its query complete: otherwise a
    // later start would show the partial data as the whole answer.
    if (storageEngine_->updateServerCache(node, query.path(), !query.loadsAllData())) setQueryComplete(query);
    doPruneCheckAfterServerUpdate();
}

void FDiskPersistenceManager::updateServerCacheWithMerge(const FCompoundWrite& merge, const FPath& path) {
    if (!storageEngine_) return;
    storageEngine_->updateServerCacheWithMerge(merge, path);
    doPruneCheckAfterServerUpdate();
}

void FDiskPersistenceManager::applyUserWrite(const FNodePtr& node, const FPath& path) {
    if (!storageEngine_) return;
    if (trackedQueryManager_->hasActiveDefaultQueryAtPath(path)) return;
    if (storageEngine_->updateServerCache(node, path, false)) {
        trackedQueryManager_->ensureCompleteTrackedQueryAtPath(path);
    }
}

void FDiskPersistenceManager::applyUserMergeAtPath(const FCompoundWrite& merge, const FPath& path) {
    merge.enumerateWrites([&](const FPath& relativePath, const FNodePtr& node, bool&) {
        applyUserWrite(node, path.child(relativePath));
    });
}

void FDiskPersistenceManager::setQueryComplete(const FQuerySpec& query) {
    if (!trackedQueryManager_) return;
    if (query.loadsAllData()) {
        trackedQueryManager_->setQueriesCompleteAtPath(query.path());
    } else {
        trackedQueryManager_->setQueryComplete(query);
    }
}

void FDiskPersistenceManager::setQueryActive(const FQuerySpec& query) {
    if (trackedQueryManager_) trackedQueryManager_->setQueryActive(query);
}

void FDiskPersistenceManager::setQueryInactive(const FQuerySpec& query) {
    if (trackedQueryManager_) trackedQueryManager_->setQueryInactive(query);
}

void FDiskPersistenceManager::setTrackedQueryKeys(const std::set<std::string>& keys, const FQuerySpec& query) {
    if (!trackedQueryManager_) return;
    // An untracked query has no keys to change, and no other query's may.
    std::optional<FTrackedQuery> record = trackedQueryManager_->findTrackedQuery(query);
    if (record) storageEngine_->setTrackedQueryKeys(keys, record->queryId());
}

void FDiskPersistenceManager::updateTrackedQueryKeysWithAddedKeys(const std::set<std::string>& added,
                                                                  const std::set<std::string>& removed,
                                                                  const FQuerySpec& query) {
    if (!trackedQueryManager_) return;
    std::optional<FTrackedQuery> record = trackedQueryManager_->findTrackedQuery(query);
    if (record) storageEngine_->updateTrackedQueryKeysWithAddedKeys(added, removed, record->queryId());
}

void FDiskPersistenceManager::doPruneCheckAfterServerUpdate() {
    ++serverCacheUpdatesSinceLastPruneCheck_;
    if (!cachePolicy_->shouldCheckCacheSize(serverCacheUpdatesSinceLastPruneCheck_)) return;
    FFLog("I-RDB078001", "Reached prune check threshold. Checking...");
    const double start = ns::Clock::nowSeconds();
    serverCacheUpdatesSinceLastPruneCheck_ = 0;
    uint64_t size = storageEngine_->serverCacheEstimatedSizeInBytes();
    FFLog("I-RDB078002", "Server cache size: %lu", (unsigned long)size);
    while (cachePolicy_->shouldPruneCacheWithSize(size, trackedQueryManager_->numberOfPrunableQueries())) {
        FPruneForest forest = trackedQueryManager_->pruneOldQueries(*cachePolicy_);
        const bool prunes = forest.prunesAnything();
        if (prunes) storageEngine_->pruneCache(forest, FPath::empty());
        size = storageEngine_->serverCacheEstimatedSizeInBytes();
        FFLog("I-RDB078003", "Cache size after pruning: %lu", (unsigned long)size);
        if (!prunes) break;
    }
    FFLog("I-RDB078004", "Pruning round took %fms", (ns::Clock::nowSeconds() - start) * 1000.0);
}
