#pragma once
// Snapshot nodes: immutable JSON trees with priorities. A node is a leaf
// (string, number or boolean) or a children node whose children live in a
// persistent sorted dictionary in key order; the empty node is the shared
// children node with no children. Nodes are shared by std::shared_ptr and
// never change, so any version may be read from any thread; each children
// node caches its hash, built from its children's hashes. A leaf re-hashes
// its short text when asked (the per-thread memo of leaf digests makes that
// cheap), so the most numerous nodes carry no cache.

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "database/model/FChildKey.h"
#include "database/model/FEnumerator.h"
#include "database/model/FImmutableSortedDictionary.h"
#include "database/model/FPath.h"
#include "database/model/FUtilities.h"
#include "platform/value.h"

class FNode;
using FNodePtr = std::shared_ptr<const FNode>;

// Keys are interned (see FChildKey): an entry is a pointer and a node, and
// children nodes of the same keys (records of one shape) share one array of
// them.
template <>
struct FSortedKeySharing<FChildKey> {
    static constexpr bool kEnabled = true;
    static const void* identity(const FChildKey& key) { return key.identity(); }
};
using FChildrenDictionary = FImmutableSortedDictionary<FChildKey, FNodePtr, FKeyComparator>;

// A key and a node: the form of ordered children and of query bounds.
struct FNamedNode {
    std::string name;
    FNodePtr node;

    static FNamedNode nodeWithName(std::string name, FNodePtr node) { return FNamedNode{std::move(name), std::move(node)}; }
    bool isEqual(const FNamedNode& other) const;
    friend bool operator==(const FNamedNode& a, const FNamedNode& b) { return a.isEqual(b); }
    // "NamedNode[name] <node>"
    std::string description() const;
};

// Block of key, child and stop flag.
using FNodeChildBlock = std::function<void(const std::string& key, const FNodePtr& child, bool& stop)>;

class FNode : public ns::Object {
public:
    ~FNode() override;

    virtual bool isLeafNode() const = 0;
    virtual bool isEmpty() const = 0;
    // 0 for leaves.
    virtual int32_t numChildren() const = 0;
    // The priority node; the empty node when there is none.
    virtual FNodePtr getPriority() const = 0;
    // The same without taking a reference (valid while this node lives).
    virtual const FNode& priorityNode() const = 0;
    virtual FNodePtr updatePriority(const FNodePtr& priority) const = 0;
    // ".priority" gives the priority; the empty node when absent.
    virtual FNodePtr getImmediateChild(std::string_view key) const = 0;
    // The node itself for the root path; the empty node when absent.
    virtual FNodePtr getChild(const FPath& path) const;
    bool hasChild(std::string_view key) const;
    // A node with that child replaced; an empty child removes it; ".priority"
    // sets the priority.
    virtual FNodePtr updateImmediateChild(const std::string& key, const FNodePtr& child) const = 0;
    // The same at a path, making intermediate nodes; the root path replaces
    // the whole node.
    FNodePtr updateChild(const FPath& path, const FNodePtr& node) const;

    // Plain value: null for the empty node, the leaf's value, a dictionary of
    // children, or an array when every key is a non-negative integer and the
    // largest key is below twice the number of children.
    ns::Value val() const { return valForExport(false); }
    // With YES: no arrays, ".priority" members, a leaf with a priority as
    // {".value", ".priority"}; the form sent on the wire and stored.
    virtual ns::Value valForExport(bool exportFormat) const = 0;

    // Base64 of the SHA-1 of the node's hash text, cached; "" for the empty
    // node.
    std::string dataHash() const;

    // Children in key order (nothing for a leaf).
    virtual void enumerateChildren(const FNodeChildBlock& block) const;
    virtual void enumerateChildrenReverse(bool reverse, const FNodeChildBlock& block) const;
    virtual FEnumeratorPtr<FNamedNode> childEnumerator() const;

    // Same data and priority (an integer and a double of the same value are
    // equal).
    virtual bool isEqual(const FNode& other) const = 0;
    bool isEqual(const FNodePtr& other) const { return other && isEqual(*other); }
    // The hash for hash containers: equal nodes hash equally. It is taken
    // from the digest, except that a node holding -0.0 (equal to 0, but with
    // other hash text) hashes as the same node with 0 in its place; the
    // digest and dataHash keep the -0.0.
    size_t hash() const;
    // Whether -0.0 is a value or priority anywhere in the node (cached with
    // the digest).
    bool containsNegativeZero() const;

    std::string description() const override;

    // This node as a shared pointer (nodes are always made shared).
    FNodePtr self() const { return std::static_pointer_cast<const FNode>(shared_from_this()); }

    // The hash text the digest is taken over (see dataHash).
    virtual void appendHashText(std::string& out) const = 0;

    // Appends the 28-character base64 digest (computing and caching it).
    void appendDataHash(std::string& out) const;

    using Digest = std::array<uint8_t, 20>;
    // The SHA-1 of the hash text, computed once and kept.
    Digest digest() const;

protected:
    FNode() = default;
    // The SHA-1 of the hash text and whether the node holds -0.0; a children
    // node computes (and keeps) its children's digests on the way.
    virtual Digest computeDigest(bool& negativeZero) const = 0;
    // The digest and -0.0 flag, from the node's cache where it keeps one.
    virtual Digest keptDigest(bool& negativeZero) const { return computeDigest(negativeZero); }
    static Digest digestOf(const FNode& node, bool& negativeZero) { return node.keptDigest(negativeZero); }
    // containsNegativeZero, computed (children answer from their caches).
    virtual bool computeContainsNegativeZero() const = 0;

    // A byte for subclasses, kept in the padding after the base.
    uint8_t subclassByte_ = 0;
};

class FLeafNode : public FNode {
public:
    // initWithValue:withPriority: (a string, number or boolean; raises
    // NSInvalidArgumentException for anything else). A null or empty
    // priority means none. Leaves with a priority are of a subclass, so the
    // common leaf carries no room for one. The booleans and the integers
    // 0-255 without a priority are shared leaves, each thread's own (the
    // most repeated values: counts, flags, states); other numbers and short
    // strings are shared with the equal leaf the thread made recently (the
    // values of a tree repeat: prices, quantities, states).
    static FNodePtr make(const ns::Value& value, FNodePtr priority = nullptr);
    // The same without a priority, telling whether the leaf is one made
    // before (a shared or recent one) rather than a new one.
    static FNodePtr make(const ns::Value& value, bool& reused);
    // A leaf without a priority that is not looked up among the recent ones
    // (the shared booleans and small integers still are): for a reader that
    // has seen the values where it reads do not repeat, so the look-up would
    // only cost.
    static FNodePtr makeNew(const ns::Value& value);
    // make(value, reused) and makeNew(value) for a string's text, with no
    // value made on the way (readers of JSON text).
    static FNodePtr makeText(std::string_view text, bool& reused);
    static FNodePtr makeNewText(std::string_view text);
    // The same for an integer.
    static FNodePtr makeInt(int64_t value, bool& reused);
    static FNodePtr makeNewInt(int64_t value);
    // Whether this leaf holds exactly `value` (same kind, same bits; a
    // priority is not looked at).
    bool holds(const ns::Value& value) const;
    // Whether this leaf is the string `text`.
    bool holdsText(std::string_view text) const { return isString() && stringValue() == text; }
    // Whether this leaf is the integer `value` (an int64, not a double).
    bool holdsInt(int64_t value) const { return kind() == Kind::Int && load<int64_t>(kValueAt) == value; }
    // A leaf without a priority.
    explicit FLeafNode(const ns::Value& value);
    // A string leaf made by make(): a text longer than kShortText lies in
    // the room allocated after the leaf, in the leaf's own block.
    class InlineText {
        friend class FLeafNode;
        InlineText() = default;
    };
    FLeafNode(std::string_view text, InlineText);
    ~FLeafNode() override;

    // The value as a Foundation value (made on each call).
    ns::Value value() const;
    // Typed reads without making a value.
    bool isBool() const { return kind() == Kind::Bool; }
    bool isNumber() const { return kind() == Kind::Int || kind() == Kind::UInt || kind() == Kind::Double; }
    bool isString() const { return kind() == Kind::String; }
    bool boolValue() const { return isBool() && load<bool>(kValueAt); }
    // Any number as a double (0 for other kinds).
    double doubleValue() const;
    // The string (empty for other kinds).
    std::string_view stringValue() const;
    // Numeric order of two number leaves, exact across integer and double.
    static int compareNumbers(const FLeafNode& a, const FLeafNode& b);

    bool isLeafNode() const override { return true; }
    bool isEmpty() const override { return false; }
    int32_t numChildren() const override { return 0; }
    FNodePtr getPriority() const override;
    const FNode& priorityNode() const override;
    FNodePtr updatePriority(const FNodePtr& priority) const override;
    FNodePtr getImmediateChild(std::string_view key) const override;
    FNodePtr updateImmediateChild(const std::string& key, const FNodePtr& child) const override;
    ns::Value valForExport(bool exportFormat) const override;
    bool isEqual(const FNode& other) const override;
    void appendHashText(std::string& out) const override;
    std::string className() const override { return "FLeafNode"; }

protected:
    Digest computeDigest(bool& negativeZero) const override;
    bool computeContainsNegativeZero() const override;

private:
    enum class Kind : uint8_t { Bool, Int, UInt, Double, String };
    // subclassByte_ holds the kind in its low three bits; a string lying in
    // the leaf itself has its length + 1 in the next four, and kTextAfter
    // marks a longer string whose bytes follow the leaf in its own block.
    static constexpr uint8_t kKindBits = 0x07;
    static constexpr uint8_t kTextAfter = 0x80;
    // Strings up to this many bytes (most keys' values: names, codes,
    // states) lie in data_, with no block of their own.
    static constexpr size_t kShortText = 14;
    Kind kind() const { return Kind(subclassByte_ & kKindBits); }
    size_t shortTextSize() const { return size_t((subclassByte_ >> 3) & 0x0F) - 1; }
    bool isShortText() const { return kind() == Kind::String && (subclassByte_ & 0x78) != 0; }
    void init(const ns::Value& value);
    void initText(std::string_view text, char* room);
    static FNodePtr makeUnshared(const ns::Value& value);
    static FNodePtr makeUnsharedText(std::string_view text);

    // The value's bytes, right after the base's byte so that a leaf is 40
    // bytes: a short string's bytes, or a longer string's length (uint32 at
    // kSizeAt) and the number, boolean or pointer to the string's bytes (at
    // kValueAt, 8-byte aligned in the leaf).
    static constexpr size_t kSizeAt = 3;
    static constexpr size_t kValueAt = 7;
    char data_[15];
    template <class T>
    T load(size_t at) const {
        T v;
        std::memcpy(&v, data_ + at, sizeof v);
        return v;
    }
    template <class T>
    void store(size_t at, T v) {
        std::memcpy(data_ + at, &v, sizeof v);
    }
};

// Whether a place that makes values one after another (a member of sibling
// rows, a field of records of one shape) should look the next one up among
// its thread's recent ones: a place whose values keep being new (ids, names)
// stops, and looks again every 32nd value in case they start to repeat.
class FRecentLookUps {
public:
    bool shouldLook() { return misses_ < kMissesToStop || ++turn_ % kLookEvery == 0; }
    void note(bool reused) {
        if (reused) {
            misses_ = 0;
        } else if (misses_ < UINT8_MAX) {
            ++misses_;
        }
    }

private:
    static constexpr uint8_t kMissesToStop = 8;
    static constexpr uint8_t kLookEvery = 32;
    uint8_t misses_ = 0;
    uint8_t turn_ = 0;
};

// The leaves of one such place: its last leaf again while the value
// repeats, otherwise a recent or new one as its look-ups say.
class FLeafPlace {
public:
    // A leaf without a priority.
    FNodePtr leaf(const ns::Value& value) {
        if (last_ && static_cast<const FLeafNode&>(*last_).holds(value)) {
            lookUps_.note(true);
            return last_;
        }
        if (lookUps_.shouldLook()) {
            bool reused;
            last_ = FLeafNode::make(value, reused);
            lookUps_.note(reused);
        } else {
            last_ = FLeafNode::makeNew(value);
        }
        return last_;
    }

    // The same for a string's text and for an integer.
    FNodePtr textLeaf(std::string_view text) {
        return leafOf([&](const FLeafNode& leaf) { return leaf.holdsText(text); },
                      [&](bool& reused) { return FLeafNode::makeText(text, reused); },
                      [&] { return FLeafNode::makeNewText(text); });
    }
    FNodePtr intLeaf(int64_t value) {
        return leafOf([&](const FLeafNode& leaf) { return leaf.holdsInt(value); },
                      [&](bool& reused) { return FLeafNode::makeInt(value, reused); },
                      [&] { return FLeafNode::makeNewInt(value); });
    }

private:
    template <class Holds, class Make, class MakeNew>
    [[gnu::always_inline]] FNodePtr leafOf(Holds&& holds, Make&& make, MakeNew&& makeNew) {
        if (last_ && holds(static_cast<const FLeafNode&>(*last_))) {
            lookUps_.note(true);
            return last_;
        }
        if (lookUps_.shouldLook()) {
            bool reused;
            last_ = make(reused);
            lookUps_.note(reused);
        } else {
            last_ = makeNew();
        }
        return last_;
    }

    FNodePtr last_;
    FRecentLookUps lookUps_;
};

class FChildrenNode : public FNode {
public:
    FChildrenNode() = default;
    FChildrenNode(FChildrenDictionary children, FNodePtr priority);
    // Lets go of its children without one nested call per level below it
    // (a node is as deep as the path it was updated at).
    ~FChildrenNode() override;
    // The empty node when there are no children (a priority alone is not
    // kept).
    static FNodePtr make(FChildrenDictionary children, FNodePtr priority = nullptr);

    const FChildrenDictionary& children() const { return children_; }

    bool isLeafNode() const override { return false; }
    bool isEmpty() const override { return children_.isEmpty(); }
    int32_t numChildren() const override { return int32_t(children_.count()); }
    FNodePtr getPriority() const override;
    const FNode& priorityNode() const override;
    FNodePtr updatePriority(const FNodePtr& priority) const override;
    FNodePtr getImmediateChild(std::string_view key) const override;
    FNodePtr updateImmediateChild(const std::string& key, const FNodePtr& child) const override;
    ns::Value valForExport(bool exportFormat) const override;
    void enumerateChildren(const FNodeChildBlock& block) const override;
    void enumerateChildrenReverse(bool reverse, const FNodeChildBlock& block) const override;
    FEnumeratorPtr<FNamedNode> childEnumerator() const override;
    bool isEqual(const FNode& other) const override;
    void appendHashText(std::string& out) const override;
    std::string className() const override { return "FChildrenNode"; }

    // Children in key order, with the priority passed once as ".priority"
    // just before the first child whose key sorts after ".priority" (not at
    // all when none does).
    void enumerateChildrenAndPriority(const FNodeChildBlock& block) const;

    // Key order helpers over the children.
    std::optional<std::string> firstChildKey() const { return children_.minKey(); }
    std::optional<std::string> lastChildKey() const { return children_.maxKey(); }
    std::optional<std::string> predecessorChildKey(std::string_view key) const {
        return children_.predecessorKey(key);
    }

    // +[FSnapshotUtilities estimateSerializedNodeSize:] of this node,
    // computed once and kept like the digest.
    uint64_t serializedSizeEstimate() const;

    // What the compound hash's threaded walk learnt of this subtree's range
    // text (0: nothing yet), kept like the digest so that another hash of a
    // tree holding it reads the node instead of its leaves.
    uint32_t keptRangeTextSummary() const { return rangeTextSummary_.load(std::memory_order_relaxed); }
    void keepRangeTextSummary(uint32_t summary) const { rangeTextSummary_.store(summary, std::memory_order_relaxed); }

protected:
    Digest computeDigest(bool& negativeZero) const override;
    Digest keptDigest(bool& negativeZero) const override;
    bool computeContainsNegativeZero() const override;

private:
    static bool digestKept(const FNode& node);
    FNodePtr priorityPtr() const;
    // Computes the digests of large unhashed subtrees on several threads.
    void digestChildrenInParallel() const;
    // 0: not computed, 1: being computed by one thread, 2: digest_ holds it,
    // 3: digest_ holds it and the node contains -0.0.
    mutable std::atomic<uint8_t> hashState_{0};
    mutable Digest digest_;
    FChildrenDictionary children_;
    std::unique_ptr<const FNodePtr> priority_;  // null when none
    // Both in the room one 64-bit count took, so that a children node stays
    // as large as it was: 0 for not computed (an estimate is at least 1; one
    // past 32 bits is computed again at each call).
    mutable std::atomic<uint32_t> sizeEstimate_{0};
    mutable std::atomic<uint32_t> rangeTextSummary_{0};
};

class FEmptyNode {
public:
    // The shared children node with no children and no priority.
    static const FNodePtr& emptyNode();
};

// The node that sorts after every other node under every index: the node of
// the posts after all children. It is its own child and its own priority.
class FMaxNode final : public FChildrenNode {
public:
    static const FNodePtr& maxNode();
    static bool isMax(const FNode& node) { return &node == maxNode().get(); }

    bool isEmpty() const override { return false; }
    FNodePtr getPriority() const override { return maxNode(); }
    const FNode& priorityNode() const override { return *this; }
    FNodePtr getImmediateChild(std::string_view) const override { return maxNode(); }
    FNodePtr getChild(const FPath&) const override { return maxNode(); }
    ns::Value valForExport(bool) const override { return ns::Value("[MAX_NODE]"); }
    bool isEqual(const FNode& other) const override { return isMax(other); }
    std::string className() const override { return "FMaxNode"; }
};
