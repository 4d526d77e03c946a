#pragma once
// A view's two cached snapshots: what the server is known to hold (server
// cache) and what observers have been shown (event cache), and the
// accumulator that sums up what one operation did to each child.

#include <string>
#include <unordered_map>
#include <vector>

#include "database/model/FIndexedNode.h"
#include "database/model/FPath.h"
#include "database/sync/FChange.h"

class FCacheNode {
public:
    FCacheNode(FIndexedNodePtr indexedNode, bool isFullyInitialized, bool isFiltered);

    const FIndexedNodePtr& indexedNode() const { return indexedNode_; }
    const FNodePtr& node() const { return indexedNode_->node(); }
    // The whole location's data (as far as the filter keeps it) is known.
    bool isFullyInitialized() const { return isFullyInitialized_; }
    // A filter removed some of the location's children.
    bool isFiltered() const { return isFiltered_; }

    bool isCompleteForPath(const FPath& path) const;
    bool isCompleteForChild(const std::string& key) const;

private:
    FIndexedNodePtr indexedNode_;
    bool isFullyInitialized_;
    bool isFiltered_;
};

class FViewCache {
public:
    FViewCache(FCacheNode eventCache, FCacheNode serverCache);

    const FCacheNode& cachedEventSnap() const { return eventCache_; }
    const FCacheNode& cachedServerSnap() const { return serverCache_; }

    FViewCache updateEventSnap(FIndexedNodePtr eventSnap, bool isComplete, bool isFiltered) const;
    FViewCache updateServerSnap(FIndexedNodePtr serverSnap, bool isComplete, bool isFiltered) const;

    // The side's node when it is fully initialized, else nullptr.
    FNodePtr completeEventSnap() const;
    FNodePtr completeServerSnap() const;

private:
    FCacheNode eventCache_;
    FCacheNode serverCache_;
};

class FChildChangeAccumulator {
public:
    // A view no one asks child events of does without them: a whole new node
    // then counts as replaced rather than diffed child by child.
    explicit FChildChangeAccumulator(bool childChangesWanted = true) : childChangesWanted_(childChangesWanted) {}

    bool childChangesWanted() const { return childChangesWanted_; }
    // A whole node was put in place without its child changes being tracked.
    void noteUntrackedReplacement() { untrackedReplacement_ = true; }
    bool hadUntrackedReplacement() const { return untrackedReplacement_; }

    // Folds the change into the one already held for its child; an
    // impossible sequence raises "QuorvaneDatabaseInternalError".
    void trackChildChange(FChange change);
    // A change for a child no change is held for (the caller knows): kept
    // without looking for one, so a whole node's children go in unindexed
    // until a later change needs the index.
    void trackFirstChildChange(FChange change);
    // One change per child that still has one (no defined order).
    FChangeList changes() const;
    // The same, moved out: the accumulator is left empty (its wish for
    // child changes stays).
    FChangeList takeChanges();
    bool isEmpty() const { return live_ == 0; }

private:
    // Key to slot, for the slots below `indexed_`.
    std::unordered_map<std::string, size_t> index_;
    size_t indexed_ = 0;
    std::vector<std::optional<FChange>> slots_;
    size_t live_ = 0;
    bool childChangesWanted_ = true;
    bool untrackedReplacement_ = false;
};
