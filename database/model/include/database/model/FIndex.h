#pragma once
// The orderings of children: by key, by priority (the default of queries), by
// value, or by the value at a child path. Every ordering breaks ties by key
// order. Value order: null < false < true < numbers < strings < nodes with
// children (equal among themselves). Priority order: none < numbers <
// strings (a boolean priority, which validation refuses, sorts before
// numbers; a priority that is not a leaf after strings).

#include <memory>
#include <string>
#include <string_view>

#include "database/model/FNode.h"
#include "database/model/FPath.h"
#include "platform/value.h"

class FIndex;
using FIndexPtr = std::shared_ptr<const FIndex>;

class FIndex : public ns::Object {
public:
    // -1, 0 or 1: by the indexed value, ties by key order.
    virtual int compare(std::string_view key, const FNode& node, std::string_view otherKey,
                        const FNode& otherNode) const = 0;
    // With reverse the two pairs are exchanged.
    int compare(std::string_view key, const FNode& node, std::string_view otherKey, const FNode& otherNode,
                bool reverse) const {
        return reverse ? compare(otherKey, otherNode, key, node) : compare(key, node, otherKey, otherNode);
    }
    int compare(const FNamedNode& a, const FNamedNode& b, bool reverse = false) const {
        return compare(a.name, *a.node, b.name, *b.node, reverse);
    }

    // YES when the value this index orders by differs between the nodes.
    virtual bool indexedValueChanged(const FNode& oldNode, const FNode& newNode) const = 0;
    // YES when the node has a value under this index.
    virtual bool isDefinedOn(const FNode& node) const = 0;

    // Posts before and after every child.
    virtual FNamedNode minPost() const = 0;
    virtual FNamedNode maxPost() const = 0;
    // The post standing for a query bound (an index value and a key).
    virtual FNamedNode makePost(const FNodePtr& indexValue, const std::string& name) const = 0;

    // ".key", ".value", ".priority", or the child path ("a/b").
    virtual std::string queryDefinition() const = 0;

    virtual bool isEqual(const FIndex& other) const = 0;
    bool isEqual(const FIndexPtr& other) const { return other && isEqual(*other); }
    virtual size_t hash() const = 0;
    std::string description() const override { return queryDefinition(); }

    // The key index for ".key", the value index for ".value", the priority
    // index for ".priority", otherwise a child-path index on that path.
    static FIndexPtr indexFromQueryDefinition(const std::string& definition);

    // The order of two values under the value order (null for a missing one).
    static int compareValues(const FNode& a, const FNode& b);
    // The order of two priority nodes.
    static int comparePriorities(const FNode& a, const FNode& b);
};

class FKeyIndex final : public FIndex {
public:
    static const FIndexPtr& keyIndex();

    using FIndex::compare;
    int compare(std::string_view key, const FNode& node, std::string_view otherKey,
                const FNode& otherNode) const override;
    bool indexedValueChanged(const FNode&, const FNode&) const override { return false; }
    bool isDefinedOn(const FNode&) const override { return true; }
    FNamedNode minPost() const override;
    FNamedNode maxPost() const override;
    // The key is the index value's string (raises NSInvalidArgumentException
    // when it is not a string leaf).
    FNamedNode makePost(const FNodePtr& indexValue, const std::string& name) const override;
    std::string queryDefinition() const override { return ".key"; }
    bool isEqual(const FIndex& other) const override;
    size_t hash() const override;
    std::string className() const override { return "FKeyIndex"; }
};

class FPriorityIndex final : public FIndex {
public:
    static const FIndexPtr& priorityIndex();

    using FIndex::compare;
    int compare(std::string_view key, const FNode& node, std::string_view otherKey,
                const FNode& otherNode) const override;
    bool indexedValueChanged(const FNode& oldNode, const FNode& newNode) const override;
    bool isDefinedOn(const FNode& node) const override;
    FNamedNode minPost() const override;
    FNamedNode maxPost() const override;
    FNamedNode makePost(const FNodePtr& indexValue, const std::string& name) const override;
    std::string queryDefinition() const override { return ".priority"; }
    bool isEqual(const FIndex& other) const override;
    size_t hash() const override;
    std::string className() const override { return "FPriorityIndex"; }
};

class FValueIndex final : public FIndex {
public:
    static const FIndexPtr& valueIndex();

    using FIndex::compare;
    int compare(std::string_view key, const FNode& node, std::string_view otherKey,
                const FNode& otherNode) const override;
    bool indexedValueChanged(const FNode& oldNode, const FNode& newNode) const override;
    bool isDefinedOn(const FNode&) const override { return true; }
    FNamedNode minPost() const override;
    FNamedNode maxPost() const override;
    FNamedNode makePost(const FNodePtr& indexValue, const std::string& name) const override;
    std::string queryDefinition() const override { return ".value"; }
    bool isEqual(const FIndex& other) const override;
    size_t hash() const override;
    std::string className() const override { return "FValueIndex"; }
};

class FPathIndex final : public FIndex {
public:
    // initWithPath: the root path or one starting with ".priority" raises
    // NSInvalidArgumentException (those are the value and priority indexes).
    explicit FPathIndex(FPath path);
    static FIndexPtr make(FPath path) { return std::make_shared<const FPathIndex>(std::move(path)); }

    const FPath& path() const { return path_; }

    using FIndex::compare;
    int compare(std::string_view key, const FNode& node, std::string_view otherKey,
                const FNode& otherNode) const override;
    bool indexedValueChanged(const FNode& oldNode, const FNode& newNode) const override;
    bool isDefinedOn(const FNode& node) const override;
    FNamedNode minPost() const override;
    FNamedNode maxPost() const override;
    FNamedNode makePost(const FNodePtr& indexValue, const std::string& name) const override;
    std::string queryDefinition() const override { return path_.wireFormat(); }
    bool isEqual(const FIndex& other) const override;
    size_t hash() const override;
    std::string className() const override { return "FPathIndex"; }

private:
    FPath path_;
};

// Equality and hashing of indexes by value, for use as keys.
struct FIndexEqual {
    bool operator()(const FIndexPtr& a, const FIndexPtr& b) const { return a == b || (a && a->isEqual(b)); }
};
struct FIndexHash {
    size_t operator()(const FIndexPtr& i) const { return i ? i->hash() : 0; }
};
