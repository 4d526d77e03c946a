#pragma once
// The cache's record of one query it has ever listened to, and the prune
// forest: which paths of the server cache to drop and which to keep.

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include "database/model/FImmutableTree.h"
#include "database/model/FPath.h"
#include "database/sync/FQueryParams.h"

// A value: every change makes a new record.
class FTrackedQuery {
public:
    FTrackedQuery(uint64_t queryId, FQuerySpec query, double lastUse, bool isActive, bool isComplete = false)
        : queryId_(queryId), query_(std::move(query)), lastUse_(lastUse), isComplete_(isComplete), isActive_(isActive) {}

    uint64_t queryId() const { return queryId_; }
    const FQuerySpec& query() const { return query_; }
    double lastUse() const { return lastUse_; }
    bool isComplete() const { return isComplete_; }
    bool isActive() const { return isActive_; }

    FTrackedQuery updateLastUse(double lastUse) const;
    FTrackedQuery setComplete() const;
    FTrackedQuery setActiveState(bool isActive) const;

    bool isEqual(const FTrackedQuery& other) const;
    friend bool operator==(const FTrackedQuery& a, const FTrackedQuery& b) { return a.isEqual(b); }
    size_t hash() const;

private:
    uint64_t queryId_;
    FQuerySpec query_;
    double lastUse_;
    bool isComplete_;
    bool isActive_;
};

// Marks on paths: true prunes the subtree, false keeps it; the deepest mark
// along a path decides.
class FPruneForest {
public:
    explicit FPruneForest(FImmutableTree<bool> forest) : pruneForest_(std::move(forest)) {}

    static const FImmutableTree<bool>& pruneTree();
    static const FImmutableTree<bool>& keepTree();
    static const FPruneForest& empty();

    const FImmutableTree<bool>& pruneForest() const { return pruneForest_; }

    bool prunesAnything() const;
    bool shouldPruneUnkeptDescendantsAtPath(const FPath& path) const;
    bool shouldKeepPath(const FPath& path) const;
    bool affectsPath(const FPath& path) const;
    FPruneForest child(const std::string& key) const;
    FPruneForest childAtPath(const FPath& path) const;
    // Raises NSInvalidArgumentException "Can't prune path that was kept
    // previously!" when a keep mark lies on the path.
    FPruneForest prunePath(const FPath& path) const;
    FPruneForest keepPath(const FPath& path) const;
    FPruneForest keepAll(const std::set<std::string>& children, const FPath& path) const;
    FPruneForest pruneAll(const std::set<std::string>& children, const FPath& path) const;
    FPruneForest setPruneValue(const FImmutableTree<bool>& pruneValue, const std::set<std::string>& children,
                               const FPath& path) const;
    void enumarateKeptNodesUsingBlock(const std::function<void(const FPath& path)>& block) const;

private:
    FImmutableTree<bool> pruneForest_;
};
