#pragma once
// A node together with the order of its children under one index. The order
// is built on first need and carried forward when one child changes, so an
// update costs O(log n) instead of a re-sort. Under the key index, or while
// no child has a value under the index, the node's own key order is used.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "database/model/FEnumerator.h"
#include "database/model/FImmutableSortedDictionary.h"
#include "database/model/FIndex.h"
#include "database/model/FNode.h"

struct FNamedNodeIndexComparator {
    FIndexPtr index;
    int operator()(const FNamedNode& a, const FNamedNode& b) const {
        return index->compare(a.name, *a.node, b.name, *b.node);
    }
};

using FIndexedChildren = FImmutableSortedSet<FNamedNode, FNamedNodeIndexComparator>;

class FIndexedNode;
using FIndexedNodePtr = std::shared_ptr<const FIndexedNode>;

class FIndexedNode {
public:
    FIndexedNode(FNodePtr node, FIndexPtr index);

    // Under the priority index.
    static FIndexedNodePtr indexedNodeWithNode(FNodePtr node);
    static FIndexedNodePtr indexedNodeWithNode(FNodePtr node, FIndexPtr index);

    const FNodePtr& node() const { return node_; }
    const FIndexPtr& index() const { return index_; }
    bool hasIndex(const FIndexPtr& index) const { return index_->isEqual(index); }

    // A new indexed node with that immediate child replaced (the empty node
    // removes it), same index.
    FIndexedNodePtr updateChild(const std::string& key, const FNodePtr& child) const;
    FIndexedNodePtr updatePriority(const FNodePtr& priority) const;

    // First / last child in index order; nullopt when there are none.
    std::optional<FNamedNode> firstChild() const;
    std::optional<FNamedNode> lastChild() const;

    // The key of the child just before (key, child) in index order; nullopt
    // when it is first. Raises NSInvalidArgumentException "Index not
    // available in IndexedNode!" for an index other than the node's own.
    std::optional<std::string> predecessorForChildKey(const std::string& key, const FNodePtr& childNode,
                                                      const FIndexPtr& index) const;

    // Children in index order, or its reverse.
    void enumerateChildrenReverse(bool reverse, const FNodeChildBlock& block) const;
    FEnumeratorPtr<FNamedNode> childEnumerator() const;

private:
    enum class Order { NotBuilt, KeyOrder, Indexed };
    struct State {
        Order order = Order::NotBuilt;
        std::shared_ptr<const FIndexedChildren> children;
    };
    FIndexedNode(FNodePtr node, FIndexPtr index, State state);
    State state() const;

    FNodePtr node_;
    FIndexPtr index_;
    mutable std::mutex mutex_;
    mutable State state_;
};
