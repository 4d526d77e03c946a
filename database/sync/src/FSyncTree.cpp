#include "database/sync/FSyncTree.h"

#include <algorithm>

#include "core/QRVLogger.h"
#include "database/model/FSnapshotUtilities.h"
#include "database/model/FUtilities.h"
#include "database/sync/FServerValues.h"

namespace {

void append(FEventList& events, FEventList more) {
    events.insert(events.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
}

}  // namespace

// Listen container.

FListenContainer::FListenContainer(FViewPtr view, FListenCompleteBlock onComplete)
    : view_(std::move(view)), onComplete_(std::move(onComplete)) {}

std::string FListenContainer::simpleHash() const { return serverCache()->dataHash(); }

uint64_t FListenContainer::estimatedSize() const {
    const FNodePtr& cache = serverCache();
    if (estimatedNode_ != cache) {
        estimatedSize_ = FCompoundHash::estimateSerializedSize(*cache);
        estimatedNode_ = cache;
    }
    return estimatedSize_;
}

FCompoundHash FListenContainer::compoundHash() const {
    return FCompoundHash::fromNode(serverCache(), FCompoundHash::simpleSizeSplitStrategyForSize(estimatedSize()));
}

bool FListenContainer::includeCompoundHash() const { return estimatedSize() > 1024; }

// Sync tree.

FSyncTree::FSyncTree(FPersistenceManagerPtr persistenceManager, FListenProvider listenProvider)
    : pendingWriteTree_(FWriteTree::make()),
      listenProvider_(std::move(listenProvider)),
      persistenceManager_(std::move(persistenceManager)) {}

FSyncTree::FSyncTree(FListenProvider listenProvider) : FSyncTree(nullptr, std::move(listenProvider)) {}

FEventList FSyncTree::applyUserOverwriteAtPath(const FPath& path, const FNodePtr& newData, int64_t writeId,
                                         bool isVisible) {
    pendingWriteTree_->addOverwriteAtPath(path, newData, writeId, isVisible);
    if (!isVisible) return {};
    return applyOperationToSyncPoints(FOverwrite(FOperationSource::userInstance(), path, newData));
}

FEventList FSyncTree::applyUserMergeAtPath(const FPath& path, const FCompoundWrite& changedChildren, int64_t writeId) {
    pendingWriteTree_->addMergeAtPath(path, changedChildren, writeId);
    return applyOperationToSyncPoints(FMerge(FOperationSource::userInstance(), path, changedChildren));
}

FEventList FSyncTree::ackUserWriteWithWriteId(int64_t writeId, bool revert, bool persist, const FClock& clock) {
    FWriteRecordPtr write = pendingWriteTree_->writeForId(writeId);
    if (!write) return {};
    bool needToReevaluate = pendingWriteTree_->removeWriteId(writeId);
    if (write->visible() && persistenceManager_) {
        if (persist) persistenceManager_->removeUserWrite(uint64_t(writeId));
        if (!revert) {
            ns::Dictionary serverValues = FServerValues::generateServerValues(clock);
            if (write->isOverwrite()) {
                FNodePtr resolved = FServerValues::resolveDeferredValueSnapshot(write->overwrite(), serverValues);
                persistenceManager_->applyUserWrite(resolved, write->path());
            } else {
                FCompoundWrite resolved =
                    FServerValues::resolveDeferredValueCompoundWrite(write->compoundWrite(), serverValues);
                persistenceManager_->applyUserMergeAtPath(resolved, write->path());
            }
        }
    }
    if (!needToReevaluate) return {};
    FAffectedTree affectedTree;
    std::vector<FPath> writtenPaths;
    if (write->isOverwrite()) {
        affectedTree = affectedTree.setValue(true, FPath::empty());
        writtenPaths.push_back(write->path());
    } else {
        write->compoundWrite().enumerateWrites([&](const FPath& path, const FNodePtr&, bool&) {
            affectedTree = affectedTree.setValue(true, path);
            writtenPaths.push_back(write->path().child(path));
        });
    }
    FEventList events = applyOperationToSyncPoints(FAckUserWrite(write->path(), affectedTree, revert));
    // Where the remaining writes still fully determine the data (an older
    // write above absorbed this one), views skip the acknowledgement as
    // shadowed, yet they show this write's data: show the remaining writes'.
    for (const FPath& path : writtenPaths) {
        if (FNodePtr shown = pendingWriteTree_->shadowingWriteAtPath(path)) {
            append(events, applyOperationToSyncPoints(FOverwrite(FOperationSource::userInstance(), path, shown)));
        }
    }
    return events;
}

FEventList FSyncTree::removeAllWrites() {
    if (persistenceManager_) persistenceManager_->removeAllUserWrites();
    std::vector<FWriteRecordPtr> removed = pendingWriteTree_->removeAllWrites();
    if (removed.empty()) return {};
    FAffectedTree affectedTree = FAffectedTree().setValue(true, FPath::empty());
    return applyOperationToSyncPoints(FAckUserWrite(FPath::empty(), affectedTree, true));
}

FEventList FSyncTree::applyServerOverwriteAtPath(const FPath& path, const FNodePtr& newData) {
    if (persistenceManager_) {
        persistenceManager_->updateServerCacheWithNode(newData, FQuerySpec::defaultQueryAtPath(path));
    }
    return applyOperationToSyncPoints(FOverwrite(FOperationSource::serverInstance(), path, newData));
}

FEventList FSyncTree::applyServerMergeAtPath(const FPath& path, const FCompoundWrite& changedChildren) {
    if (persistenceManager_) persistenceManager_->updateServerCacheWithMerge(changedChildren, path);
    return applyOperationToSyncPoints(FMerge(FOperationSource::serverInstance(), path, changedChildren));
}

FEventList FSyncTree::applyServerRangeMergeAtPath(const FPath& path, const std::vector<FRangeMerge>& updates) {
    std::optional<FSyncPointPtr> syncPoint = syncPointTree_.valueAtPath(path);
    if (!syncPoint) return {};
    FViewPtr view = (*syncPoint)->completeView();
    if (!view) return {};
    FNodePtr updated = view->serverCache();
    for (const FRangeMerge& merge : updates) updated = merge.applyToNode(updated);
    return applyServerOverwriteAtPath(path, updated);
}

FEventList FSyncTree::applyListenCompleteAtPath(const FPath& path) {
    if (persistenceManager_) persistenceManager_->setQueryComplete(FQuerySpec::defaultQueryAtPath(path));
    return applyOperationToSyncPoints(FListenComplete(FOperationSource::serverInstance(), path));
}

std::optional<std::pair<FQuerySpec, FPath>> FSyncTree::taggedTarget(const FPath& path, FQueryTag tagId) const {
    std::optional<FQuerySpec> query = queryForTag(tagId);
    // An unknown tag belongs to a query removed since; data outside the
    // query's location cannot be meant for it.
    if (!query || !query->path().contains(path)) return std::nullopt;
    FPath relativePath = FPath::relativePathFrom(query->path(), path);
    return std::make_pair(std::move(*query), std::move(relativePath));
}

FEventList FSyncTree::applyTaggedQueryOverwriteAtPath(const FPath& path, const FNodePtr& newData, FQueryTag tagId) {
    auto target = taggedTarget(path, tagId);
    if (!target) return {};
    const auto& [query, relativePath] = *target;
    if (persistenceManager_) {
        persistenceManager_->updateServerCacheWithNode(
            newData, relativePath.isEmpty() ? query : FQuerySpec::defaultQueryAtPath(path));
    }
    FOverwrite operation(FOperationSource::forServerTaggedQuery(query.params()), relativePath, newData);
    return applyTaggedOperation(operation, query.path());
}

FEventList FSyncTree::applyTaggedQueryMergeAtPath(const FPath& path, const FCompoundWrite& changedChildren,
                                            FQueryTag tagId) {
    auto target = taggedTarget(path, tagId);
    if (!target) return {};
    const auto& [query, relativePath] = *target;
    if (persistenceManager_) persistenceManager_->updateServerCacheWithMerge(changedChildren, path);
    FMerge operation(FOperationSource::forServerTaggedQuery(query.params()), relativePath, changedChildren);
    return applyTaggedOperation(operation, query.path());
}

FEventList FSyncTree::applyTaggedServerRangeMergeAtPath(const FPath& path, const std::vector<FRangeMerge>& updates,
                                                  FQueryTag tagId) {
    std::optional<FQuerySpec> query = queryForTag(tagId);
    if (!query) return {};
    std::optional<FSyncPointPtr> syncPoint = syncPointTree_.valueAtPath(path);
    if (!syncPoint) return {};
    FViewPtr view = (*syncPoint)->viewForQuery(*query);
    if (!view) return {};
    FNodePtr updated = view->serverCache();
    for (const FRangeMerge& merge : updates) updated = merge.applyToNode(updated);
    return applyTaggedQueryOverwriteAtPath(path, updated, tagId);
}

FEventList FSyncTree::applyTaggedListenCompleteAtPath(const FPath& path, FQueryTag tagId) {
    auto target = taggedTarget(path, tagId);
    if (!target) return {};
    const auto& [query, relativePath] = *target;
    if (persistenceManager_) persistenceManager_->setQueryComplete(query);
    FListenComplete operation(FOperationSource::forServerTaggedQuery(query.params()), relativePath);
    return applyTaggedOperation(operation, query.path());
}

FEventList FSyncTree::applyTaggedOperation(const FOperation& operation, const FPath& queryPath) {
    std::optional<FSyncPointPtr> syncPoint = syncPointTree_.valueAtPath(queryPath);
    // A tagged query always has its view, so its sync point exists.
    if (!syncPoint) return {};
    FWriteTreeRef writesCache = pendingWriteTree_->childWritesForPath(queryPath);
    return (*syncPoint)->applyOperation(operation, writesCache, nullptr);
}

FEventList FSyncTree::applyOperationToSyncPoints(const FOperation& operation) {
    return applyOperationHelper(operation, syncPointTree_, nullptr, pendingWriteTree_->childWritesForPath(FPath::empty()));
}

FEventList FSyncTree::applyOperationHelper(const FOperation& operation, const FImmutableTree<FSyncPointPtr>& tree,
                                           FNodePtr serverCache, const FWriteTreeRef& writesCache) {
    if (operation.path().isEmpty()) return applyOperationDescendantsHelper(operation, tree, serverCache, writesCache);
    const std::optional<FSyncPointPtr>& syncPoint = tree.value();
    if (!serverCache && syncPoint) serverCache = (*syncPoint)->completeServerCacheAtPath(FPath::empty());
    FEventList events;
    const std::string& childKey = operation.path().pieceAt(0);
    // The child's operation is made only where a view lies below: a write
    // where nobody listens costs no copy of it.
    const FImmutableTree<FSyncPointPtr>* childTree = tree.children().find(childKey);
    FOperationPtr childOperation = childTree ? operation.operationForChild(childKey) : nullptr;
    if (childOperation) {
        FNodePtr childServerCache = serverCache ? serverCache->getImmediateChild(childKey) : nullptr;
        append(events, applyOperationHelper(*childOperation, *childTree, childServerCache,
                                            writesCache.childWriteTreeRef(childKey)));
    }
    if (syncPoint) append(events, (*syncPoint)->applyOperation(operation, writesCache, serverCache));
    return events;
}

FEventList FSyncTree::applyOperationDescendantsHelper(const FOperation& operation,
                                                      const FImmutableTree<FSyncPointPtr>& tree, FNodePtr serverCache,
                                                      const FWriteTreeRef& writesCache) {
    const std::optional<FSyncPointPtr>& syncPoint = tree.value();
    if (!serverCache && syncPoint) serverCache = (*syncPoint)->completeServerCacheAtPath(FPath::empty());
    FEventList events;
    tree.children().forEach([&](const std::string& childKey, const FImmutableTree<FSyncPointPtr>& childTree) {
        FNodePtr childServerCache = serverCache ? serverCache->getImmediateChild(childKey) : nullptr;
        if (FOperationPtr childOperation = operation.operationForChild(childKey)) {
            append(events, applyOperationDescendantsHelper(*childOperation, childTree, childServerCache,
                                                           writesCache.childWriteTreeRef(childKey)));
        }
        return true;
    });
    if (syncPoint) append(events, (*syncPoint)->applyOperation(operation, writesCache, serverCache));
    return events;
}

FNodePtr FSyncTree::calcCompleteEventCacheAtPath(const FPath& path, const std::vector<int64_t>& excludeWriteIds) const {
    std::optional<FNodePtr> serverCache = syncPointTree_.findOnPath<FNodePtr>(
        path, [&](const FPath& pathSoFar, const FSyncPointPtr& syncPoint) -> std::optional<FNodePtr> {
            FNodePtr cache = syncPoint->completeServerCacheAtPath(FPath::relativePathFrom(pathSoFar, path));
            return cache ? std::optional<FNodePtr>(cache) : std::nullopt;
        });
    return pendingWriteTree_->calculateCompleteEventCacheAtPath(path, serverCache.value_or(nullptr), excludeWriteIds,
                                                                true);
}

// Observers and listening.

FEventList FSyncTree::addEventRegistration(const FEventRegistrationPtr& registration, const FQuerySpec& query) {
    const FPath& path = query.path();
    bool foundAncestorDefaultView = false;
    syncPointTree_.forEachOnPath(path, [&](const FPath&, const FSyncPointPtr& syncPoint) {
        foundAncestorDefaultView = syncPoint->hasCompleteView();
        return !foundAncestorDefaultView;
    });
    if (persistenceManager_) persistenceManager_->setQueryActive(query);

    FSyncPointPtr syncPoint = syncPointTree_.valueAtPath(path).value_or(nullptr);
    if (!syncPoint) {
        syncPoint = std::make_shared<FSyncPoint>(persistenceManager_);
        syncPointTree_ = syncPointTree_.setValue(syncPoint, path);
    }
    if (syncPoint->viewExistsForQuery(query)) return syncPoint->addEventRegistration(registration, query);

    if (!query.loadsAllData()) {
        FQueryTag tag = queryTagCounter_.getAndIncrement();
        queryToTagMap_.insert_or_assign(query, tag);
        tagToQueryMap_.insert_or_assign(tag, query);
    }
    FWriteTreeRef writesCache = pendingWriteTree_->childWritesForPath(path);
    FEventList events =
        syncPoint->addEventRegistration(registration, query, writesCache, serverCacheForQuery(query));
    if (!foundAncestorDefaultView) append(events, setupListenerOnQuery(query, syncPoint->viewForQuery(query)));
    return events;
}

FCacheNode FSyncTree::serverCacheForQuery(const FQuerySpec& query) const {
    const FPath& path = query.path();
    FNodePtr serverCache;
    syncPointTree_.forEachOnPath(path, [&](const FPath& pathToSyncPoint, const FSyncPointPtr& syncPoint) {
        serverCache = syncPoint->completeServerCacheAtPath(FPath::relativePathFrom(pathToSyncPoint, path));
        return serverCache == nullptr;
    });
    if (serverCache) return FCacheNode(FIndexedNode::indexedNodeWithNode(serverCache, query.index()), true, false);
    std::optional<FCacheNode> persisted;
    if (persistenceManager_) {
        persisted = persistenceManager_->serverCacheForQuery(query);
        if (persisted->isFullyInitialized()) return *persisted;
    }
    FNodePtr node = FEmptyNode::emptyNode();
    syncPointTree_.subtreeAtPath(path).forEachChild([&](const std::string& key, const FSyncPointPtr& syncPoint) {
        if (FNodePtr complete = syncPoint->completeServerCacheAtPath(FPath::empty())) {
            node = node->updateImmediateChild(key, complete);
        }
    });
    if (persisted) {
        persisted->node()->enumerateChildren([&](const std::string& key, const FNodePtr& child, bool&) {
            if (!node->hasChild(key)) node = node->updateImmediateChild(key, child);
        });
    }
    return FCacheNode(FIndexedNode::indexedNodeWithNode(node, query.index()), false, false);
}

void FSyncTree::startListening(const FQuerySpec& query, const std::shared_ptr<FListenContainer>& container,
                               FEventList* events) {
    if (!listenProvider_.startListening()) return;
    FEventList answered = listenProvider_.startListening()(queryForListening(query), tagForQuery(query), container,
                                                           container->onComplete());
    if (events) append(*events, std::move(answered));
}

FEventList FSyncTree::setupListenerOnQuery(const FQuerySpec& query, const FViewPtr& view) {
    std::optional<FQueryTag> tag = tagForQuery(query);
    FEventList events;
    startListening(query, createListenerForView(view), &events);
    if (tag) return events;
    // A listen on all data here makes every listen below it redundant.
    using Queries = std::vector<FQuerySpec>;
    Queries queriesToStop = syncPointTree_.subtreeAtPath(query.path()).foldWithBlock<Queries>(
        [](const FPath& relativePath, const std::optional<FSyncPointPtr>& maybeSyncPoint,
           const std::map<std::string, Queries>& childResults) {
            if (!relativePath.isEmpty() && maybeSyncPoint && (*maybeSyncPoint)->hasCompleteView()) {
                return Queries{(*maybeSyncPoint)->completeView()->query()};
            }
            Queries queries;
            if (maybeSyncPoint) {
                for (const FViewPtr& view : (*maybeSyncPoint)->queryViews()) queries.push_back(view->query());
            }
            for (const auto& [key, childQueries] : childResults) {
                queries.insert(queries.end(), childQueries.begin(), childQueries.end());
            }
            return queries;
        });
    if (listenProvider_.stopListening()) {
        for (const FQuerySpec& queryToStop : queriesToStop) {
            listenProvider_.stopListening()(queryForListening(queryToStop), tagForQuery(queryToStop));
        }
    }
    return events;
}

std::shared_ptr<FListenContainer> FSyncTree::createListenerForView(const FViewPtr& view) {
    FQuerySpec query = view->query();
    std::optional<FQueryTag> tag = tagForQuery(query);
    std::weak_ptr<FSyncTree> weakSelf = weak_from_this();
    FListenCompleteBlock onComplete = [weakSelf, query, tag](const std::string& status) -> FEventList {
        std::shared_ptr<FSyncTree> self = weakSelf.lock();
        if (!self) return {};
        if (status == "ok") {
            if (tag) return self->applyTaggedListenCompleteAtPath(query.path(), *tag);
            return self->applyListenCompleteAtPath(query.path());
        }
        ns::ErrorRef error = FUtilities::errorForStatus(status, std::nullopt);
        if (FFIsLoggingEnabled(FLogLevelWarn)) {
            QRVLogWarning(kQRVLoggerDatabase, "I-RDB038012", "Listener at %@ failed: %@", query.path().description(),
                          status);
        }
        return self->removeEventRegistration(nullptr, query, error);
    };
    return std::make_shared<FListenContainer>(view, std::move(onComplete));
}

FEventList FSyncTree::removeEventRegistration(const FEventRegistrationPtr& registration, const FQuerySpec& query,
                                              const ns::ErrorRef& cancelError) {
    const FPath& path = query.path();
    FSyncPointPtr syncPoint = syncPointTree_.valueAtPath(path).value_or(nullptr);
    if (!syncPoint || (!query.isDefault() && !syncPoint->viewExistsForQuery(query))) return {};

    FTupleRemovedQueriesEvents removed = syncPoint->removeEventRegistration(registration, query, cancelError);
    if (syncPoint->isEmpty()) syncPointTree_ = syncPointTree_.removeValueAtPath(path);
    const std::vector<FQuerySpec>& removedQueries = removed.removedQueries;
    bool removingDefault = std::any_of(removedQueries.begin(), removedQueries.end(),
                                       [](const FQuerySpec& q) { return q.loadsAllData(); });
    if (persistenceManager_) {
        for (const FQuerySpec& removedQuery : removedQueries) persistenceManager_->setQueryInactive(removedQuery);
    }
    bool covered = syncPointTree_
                       .findOnPath<bool>(path,
                                         [](const FPath&, const FSyncPointPtr& sp) -> std::optional<bool> {
                                             return sp->hasCompleteView();
                                         })
                       .value_or(false);
    if (removingDefault && !covered) {
        // The listens the removed complete listen made redundant come back.
        FImmutableTree<FSyncPointPtr> subtree = syncPointTree_.subtreeAtPath(path);
        if (!subtree.isEmpty()) {
            for (const FViewPtr& view : collectDistinctViewsForSubTree(subtree)) {
                startListening(view->query(), createListenerForView(view), nullptr);
            }
        }
    }
    if (!covered && !removedQueries.empty() && !cancelError && listenProvider_.stopListening()) {
        if (removingDefault) {
            listenProvider_.stopListening()(queryForListening(query), std::nullopt);
        } else {
            for (const FQuerySpec& removedQuery : removedQueries) {
                listenProvider_.stopListening()(queryForListening(removedQuery), tagForQuery(removedQuery));
            }
        }
    }
    removeTags(removedQueries);
    return std::move(removed.cancelEvents);
}

std::vector<FViewPtr> FSyncTree::collectDistinctViewsForSubTree(const FImmutableTree<FSyncPointPtr>& subtree) {
    using Views = std::vector<FViewPtr>;
    return subtree.foldWithBlock<Views>([](const FPath&, const std::optional<FSyncPointPtr>& maybeSyncPoint,
                                           const std::map<std::string, Views>& childResults) {
        if (maybeSyncPoint && (*maybeSyncPoint)->hasCompleteView()) return Views{(*maybeSyncPoint)->completeView()};
        Views views;
        if (maybeSyncPoint) views = (*maybeSyncPoint)->queryViews();
        for (const auto& [key, childViews] : childResults) views.insert(views.end(), childViews.begin(), childViews.end());
        return views;
    });
}

void FSyncTree::removeTags(const std::vector<FQuerySpec>& queries) {
    for (const FQuerySpec& query : queries) {
        if (query.loadsAllData()) continue;
        auto found = queryToTagMap_.find(query);
        if (found == queryToTagMap_.end()) continue;
        tagToQueryMap_.erase(found->second);
        queryToTagMap_.erase(found);
    }
}

FQuerySpec FSyncTree::queryForListening(const FQuerySpec& query) {
    if (query.loadsAllData() && !query.isDefault()) return FQuerySpec::defaultQueryAtPath(query.path());
    return query;
}

std::optional<FQuerySpec> FSyncTree::queryForTag(FQueryTag tag) const {
    auto found = tagToQueryMap_.find(tag);
    if (found == tagToQueryMap_.end()) return std::nullopt;
    return found->second;
}

std::optional<FQueryTag> FSyncTree::tagForQuery(const FQuerySpec& query) const {
    auto found = queryToTagMap_.find(query);
    if (found == queryToTagMap_.end()) return std::nullopt;
    return found->second;
}

void FSyncTree::keepQuery(const FQuerySpec& query, bool synced) {
    bool kept = keepSyncedQueries_.count(query) > 0;
    if (synced == kept) return;
    if (synced) {
        addEventRegistration(FKeepSyncedEventRegistration::instance(), query);
        keepSyncedQueries_.insert(query);
    } else {
        removeEventRegistration(FKeepSyncedEventRegistration::instance(), query, nullptr);
        keepSyncedQueries_.erase(query);
    }
}
