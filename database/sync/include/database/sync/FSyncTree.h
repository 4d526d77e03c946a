#pragma once
// The entry of the sync engine: sync points by path, the pending user writes
// layered over server data, a tag per filtered query, keep-synced queries,
// and the decision of which queries are listened to on the server and which
// a complete listen at or above them covers. Every operation answers the
// events it caused, in the order to raise them.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "database/model/FAtomicNumber.h"
#include "database/model/FClock.h"
#include "database/model/FCompoundWrite.h"
#include "database/model/FImmutableTree.h"
#include "database/model/FNode.h"
#include "database/model/FPath.h"
#include "database/sync/FCompoundHash.h"
#include "database/sync/FEvent.h"
#include "database/sync/FOperation.h"
#include "database/sync/FPersistenceManager.h"
#include "database/sync/FQueryParams.h"
#include "database/sync/FRangeMerge.h"
#include "database/sync/FSyncPoint.h"
#include "database/sync/FView.h"
#include "database/sync/FWriteTree.h"

// Tags address server data to one filtered query; they start at 1.
using FQueryTag = uint64_t;

// What the connection reads of the data a listen already holds.
class FSyncTreeHash {
public:
    virtual ~FSyncTreeHash() = default;
    virtual std::string simpleHash() const = 0;
    virtual FCompoundHash compoundHash() const = 0;
    // Whether the compound hash is sent.
    virtual bool includeCompoundHash() const = 0;
};
using FSyncTreeHashPtr = std::shared_ptr<FSyncTreeHash>;

// Called once the listen has been answered, with the status ("ok" or a
// refusal); answers the events to raise.
using FListenCompleteBlock = std::function<FEventList(const std::string& status)>;

// The record handed along with each listen.
class FListenContainer final : public FSyncTreeHash {
public:
    FListenContainer(FViewPtr view, FListenCompleteBlock onComplete);

    const FViewPtr& view() const { return view_; }
    const FListenCompleteBlock& onComplete() const { return onComplete_; }
    const FNodePtr& serverCache() const { return view_->serverCache(); }

    // The server cache's dataHash.
    std::string simpleHash() const override;
    FCompoundHash compoundHash() const override;
    // YES when the server cache's estimated size is above 1024.
    bool includeCompoundHash() const override;

private:
    uint64_t estimatedSize() const;

    FViewPtr view_;
    FListenCompleteBlock onComplete_;
    // The server cache's size estimate, which both the decision to send the
    // compound hash and its ranges need: one walk of a large cache, redone
    // when the view holds other data (a listen restored later).
    mutable FNodePtr estimatedNode_;
    mutable uint64_t estimatedSize_ = 0;
};

// The two blocks through which the sync tree starts and stops listens.
class FListenProvider {
public:
    using StartListening = std::function<FEventList(const FQuerySpec& query, std::optional<FQueryTag> tag,
                                                    const FSyncTreeHashPtr& hash,
                                                    const FListenCompleteBlock& onComplete)>;
    using StopListening = std::function<void(const FQuerySpec& query, std::optional<FQueryTag> tag)>;

    void setStartListening(StartListening block) { startListening_ = std::move(block); }
    void setStopListening(StopListening block) { stopListening_ = std::move(block); }
    const StartListening& startListening() const { return startListening_; }
    const StopListening& stopListening() const { return stopListening_; }

private:
    StartListening startListening_;
    StopListening stopListening_;
};

class FSyncTree : public std::enable_shared_from_this<FSyncTree> {
public:
    // Listen completions reach the tree through a weak reference, so make
    // it shared (make): a completion after the tree is gone does nothing.
    FSyncTree(FPersistenceManagerPtr persistenceManager, FListenProvider listenProvider);
    explicit FSyncTree(FListenProvider listenProvider);
    static std::shared_ptr<FSyncTree> make(FPersistenceManagerPtr persistenceManager, FListenProvider listenProvider) {
        return std::make_shared<FSyncTree>(std::move(persistenceManager), std::move(listenProvider));
    }

    // User writes.
    FEventList applyUserOverwriteAtPath(const FPath& path, const FNodePtr& newData, int64_t writeId, bool isVisible);
    FEventList applyUserMergeAtPath(const FPath& path, const FCompoundWrite& changedChildren, int64_t writeId);
    // `writeId` must be pending.
    FEventList ackUserWriteWithWriteId(int64_t writeId, bool revert, bool persist, const FClock& clock);
    FEventList removeAllWrites();

    // Untagged server data.
    FEventList applyServerOverwriteAtPath(const FPath& path, const FNodePtr& newData);
    FEventList applyServerMergeAtPath(const FPath& path, const FCompoundWrite& changedChildren);
    FEventList applyServerRangeMergeAtPath(const FPath& path, const std::vector<FRangeMerge>& updates);
    FEventList applyListenCompleteAtPath(const FPath& path);

    // Server data for the one query that owns the tag.
    FEventList applyTaggedQueryOverwriteAtPath(const FPath& path, const FNodePtr& newData, FQueryTag tagId);
    FEventList applyTaggedQueryMergeAtPath(const FPath& path, const FCompoundWrite& changedChildren, FQueryTag tagId);
    FEventList applyTaggedServerRangeMergeAtPath(const FPath& path, const std::vector<FRangeMerge>& updates,
                                           FQueryTag tagId);
    FEventList applyTaggedListenCompleteAtPath(const FPath& path, FQueryTag tagId);

    // Observers: the initial events, then those the listen provider answered.
    FEventList addEventRegistration(const FEventRegistrationPtr& registration, const FQuerySpec& query);
    // A null registration stands for every registration of the query; with
    // an error each answers a cancel event.
    FEventList removeEventRegistration(const FEventRegistrationPtr& registration, const FQuerySpec& query,
                                       const ns::ErrorRef& cancelError);
    void keepQuery(const FQuerySpec& query, bool synced);

    // What is seen at the path from server data and pending writes (hidden
    // ones included), leaving out the given writes.
    FNodePtr calcCompleteEventCacheAtPath(const FPath& path, const std::vector<int64_t>& excludeWriteIds) const;

    // Listening and tags.
    FCacheNode serverCacheForQuery(const FQuerySpec& query) const;
    FEventList setupListenerOnQuery(const FQuerySpec& query, const FViewPtr& view);
    std::shared_ptr<FListenContainer> createListenerForView(const FViewPtr& view);
    static std::vector<FViewPtr> collectDistinctViewsForSubTree(const FImmutableTree<FSyncPointPtr>& subtree);
    void removeTags(const std::vector<FQuerySpec>& queries);
    static FQuerySpec queryForListening(const FQuerySpec& query);
    std::optional<FQuerySpec> queryForTag(FQueryTag tag) const;
    std::optional<FQueryTag> tagForQuery(const FQuerySpec& query) const;

    const FImmutableTree<FSyncPointPtr>& syncPointTree() const { return syncPointTree_; }
    const std::shared_ptr<FWriteTree>& pendingWriteTree() const { return pendingWriteTree_; }
    const std::unordered_set<FQuerySpec>& keepSyncedQueries() const { return keepSyncedQueries_; }

private:
    FEventList applyOperationToSyncPoints(const FOperation& operation);
    FEventList applyOperationHelper(const FOperation& operation, const FImmutableTree<FSyncPointPtr>& syncPointTree,
                                    FNodePtr serverCache, const FWriteTreeRef& writesCache);
    FEventList applyOperationDescendantsHelper(const FOperation& operation,
                                               const FImmutableTree<FSyncPointPtr>& syncPointTree,
                                               FNodePtr serverCache, const FWriteTreeRef& writesCache);
    FEventList applyTaggedOperation(const FOperation& operation, const FPath& queryPath);
    // The tagged query and the path relative to it, when the tag is known
    // and the path lies at or below the query.
    std::optional<std::pair<FQuerySpec, FPath>> taggedTarget(const FPath& path, FQueryTag tagId) const;
    void startListening(const FQuerySpec& query, const std::shared_ptr<FListenContainer>& container,
                        FEventList* events);

    FImmutableTree<FSyncPointPtr> syncPointTree_;
    std::shared_ptr<FWriteTree> pendingWriteTree_;
    std::unordered_map<FQueryTag, FQuerySpec> tagToQueryMap_;
    std::unordered_map<FQuerySpec, FQueryTag> queryToTagMap_;
    FListenProvider listenProvider_;
    FPersistenceManagerPtr persistenceManager_;
    FAtomicNumber queryTagCounter_;
    std::unordered_set<FQuerySpec> keepSyncedQueries_;
};
