#pragma once
// View filters: what part of a location's data a query keeps. Every filter
// reports each child that enters, leaves or changes to an accumulator. The
// indexed filter keeps everything, the ranged filter the children between two
// posts, the limited filter at most `limit` of those, taken from either end.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "database/model/FIndex.h"
#include "database/model/FIndexedNode.h"
#include "database/model/FNode.h"
#include "database/model/FPath.h"
#include "database/sync/FViewCache.h"

class FQueryParams;

// Where a filter asks for children it does not hold itself.
class FCompleteChildSource {
public:
    virtual ~FCompleteChildSource() = default;
    // The child's complete value when it can be known, else nullptr.
    virtual FNodePtr completeChild(const std::string& childKey) const = 0;
    // The complete child that follows the post under the index (precedes it
    // when reverse), or nullopt.
    virtual std::optional<FNamedNode> childByIndex(const FIndexPtr& index, const FNamedNode& post,
                                                   bool reverse) const = 0;
};

// A source that knows nothing.
class FNoCompleteChildSource final : public FCompleteChildSource {
public:
    static const FNoCompleteChildSource& instance();
    FNodePtr completeChild(const std::string&) const override { return nullptr; }
    std::optional<FNamedNode> childByIndex(const FIndexPtr&, const FNamedNode&, bool) const override {
        return std::nullopt;
    }
};

class FNodeFilter {
public:
    virtual ~FNodeFilter() = default;

    // The old node with one immediate child replaced; `affectedPath` is the
    // part below the child the operation touched (empty when the whole child
    // was replaced). A null accumulator tracks nothing.
    virtual FIndexedNodePtr updateChildIn(const FIndexedNodePtr& oldSnap, const std::string& childKey,
                                          const FNodePtr& newChild, const FPath& affectedPath,
                                          const FCompleteChildSource& source,
                                          FChildChangeAccumulator* accumulator) const = 0;
    virtual FIndexedNodePtr updateFullNode(const FIndexedNodePtr& oldSnap, const FIndexedNodePtr& newSnap,
                                           FChildChangeAccumulator* accumulator) const = 0;
    virtual FIndexedNodePtr updatePriority(const FNodePtr& priority, const FIndexedNodePtr& snap) const = 0;
    // Whether the filter may drop children.
    virtual bool filtersNodes() const = 0;
    // The filter of the same index that drops nothing (itself for that one).
    virtual const FNodeFilter& indexedFilter() const = 0;
    virtual const FIndexPtr& index() const = 0;
};

using FNodeFilterPtr = std::shared_ptr<const FNodeFilter>;

class FIndexedFilter final : public FNodeFilter {
public:
    explicit FIndexedFilter(FIndexPtr index);

    FIndexedNodePtr updateChildIn(const FIndexedNodePtr& oldSnap, const std::string& childKey,
                                  const FNodePtr& newChild, const FPath& affectedPath,
                                  const FCompleteChildSource& source,
                                  FChildChangeAccumulator* accumulator) const override;
    FIndexedNodePtr updateFullNode(const FIndexedNodePtr& oldSnap, const FIndexedNodePtr& newSnap,
                                   FChildChangeAccumulator* accumulator) const override;
    FIndexedNodePtr updatePriority(const FNodePtr& priority, const FIndexedNodePtr& snap) const override;
    bool filtersNodes() const override { return false; }
    const FNodeFilter& indexedFilter() const override { return *this; }
    const FIndexPtr& index() const override { return index_; }

private:
    FIndexPtr index_;
};

class FRangedFilter final : public FNodeFilter {
public:
    explicit FRangedFilter(const FQueryParams& params);

    static FNamedNode startPostFromQueryParams(const FQueryParams& params);
    static FNamedNode endPostFromQueryParams(const FQueryParams& params);

    const FNamedNode& startPost() const { return startPost_; }
    const FNamedNode& endPost() const { return endPost_; }
    // Both bounds inclusive.
    bool matchesKey(std::string_view key, const FNode& node) const;

    FIndexedNodePtr updateChildIn(const FIndexedNodePtr& oldSnap, const std::string& childKey,
                                  const FNodePtr& newChild, const FPath& affectedPath,
                                  const FCompleteChildSource& source,
                                  FChildChangeAccumulator* accumulator) const override;
    FIndexedNodePtr updateFullNode(const FIndexedNodePtr& oldSnap, const FIndexedNodePtr& newSnap,
                                   FChildChangeAccumulator* accumulator) const override;
    FIndexedNodePtr updatePriority(const FNodePtr&, const FIndexedNodePtr& snap) const override { return snap; }
    bool filtersNodes() const override { return true; }
    const FNodeFilter& indexedFilter() const override { return indexedFilter_; }
    const FIndexPtr& index() const override { return index_; }

private:
    FIndexPtr index_;
    FIndexedFilter indexedFilter_;
    FNamedNode startPost_;
    FNamedNode endPost_;
};

class FLimitedFilter final : public FNodeFilter {
public:
    explicit FLimitedFilter(const FQueryParams& params);

    const FRangedFilter& rangedFilter() const { return rangedFilter_; }
    int64_t limit() const { return limit_; }
    bool reverse() const { return reverse_; }

    FIndexedNodePtr updateChildIn(const FIndexedNodePtr& oldSnap, const std::string& childKey,
                                  const FNodePtr& newChild, const FPath& affectedPath,
                                  const FCompleteChildSource& source,
                                  FChildChangeAccumulator* accumulator) const override;
    FIndexedNodePtr updateFullNode(const FIndexedNodePtr& oldSnap, const FIndexedNodePtr& newSnap,
                                   FChildChangeAccumulator* accumulator) const override;
    // Limited views drop priority changes of the location.
    FIndexedNodePtr updatePriority(const FNodePtr&, const FIndexedNodePtr& snap) const override { return snap; }
    bool filtersNodes() const override { return true; }
    const FNodeFilter& indexedFilter() const override { return rangedFilter_.indexedFilter(); }
    const FIndexPtr& index() const override { return index_; }

    // One child's update when the window is full.
    FIndexedNodePtr fullLimitUpdateNode(const FIndexedNodePtr& oldIndexed, const std::string& childKey,
                                        const FNodePtr& childSnap, const FCompleteChildSource& source,
                                        FChildChangeAccumulator* accumulator) const;

private:
    FRangedFilter rangedFilter_;
    FIndexPtr index_;
    int64_t limit_;
    bool reverse_;
};
