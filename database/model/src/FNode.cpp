#include "database/model/FNode.h"

#include <cstring>
#include <memory>

#include "FDigest.h"
#include "database/model/FSnapshotUtilities.h"
#include "platform/error.h"
#include "platform/format.h"

struct FNode::HashCache {
    fdigest::Digest digest;
};

namespace {

const char kPriorityKey[] = ".priority";

// Reused text buffer for hash texts; a node builds its text only after its
// children's digests are cached, so nested use never overlaps.
std::string& hashTextBuffer() {
    thread_local std::string buffer;
    return buffer;
}

bool isPriorityEmpty(const FNodePtr& p) { return !p || p->isEmpty(); }

FNodePtr normalisedPriority(const FNodePtr& p) { return isPriorityEmpty(p) ? nullptr : p; }

bool prioritiesEqual(const FNodePtr& a, const FNodePtr& b) {
    bool ea = isPriorityEmpty(a), eb = isPriorityEmpty(b);
    if (ea || eb) return ea == eb;
    return a == b || a->isEqual(*b);
}

bool leafValuesEqual(const ns::Value& a, const ns::Value& b) {
    if (a.isNumber() && b.isNumber()) return FUtilities::compareNumbers(a, b) == 0;
    if (a.type() != b.type()) return false;
    if (a.isBool()) return a.asBool() == b.asBool();
    if (a.isString()) return a.asString() == b.asString();
    return false;
}

// The children as an array of their values when every key is a non-negative
// integer without a leading zero and the keys are dense enough.
bool arrayShape(const FChildrenDictionary& children, int64_t& maxKey) {
    maxKey = -1;
    bool allIntegers = children.forEach([&](const std::string& key, const FNodePtr&) {
        if (key.empty() || key[0] == '-') return false;
        auto n = FUtilities::intForString(key);
        if (!n) return false;
        if (*n > maxKey) maxKey = *n;
        return true;
    });
    return allIntegers && maxKey < 2 * int64_t(children.count());
}

}  // namespace

// ----- FNamedNode

bool FNamedNode::isEqual(const FNamedNode& other) const {
    if (name != other.name) return false;
    if (node == other.node) return true;
    return node && other.node && node->isEqual(*other.node);
}

std::string FNamedNode::description() const {
    return ns::format("NamedNode[%@] %@", name, node ? node->description() : std::string("(null)"));
}

// ----- FNode

FNode::~FNode() { delete hash_.load(std::memory_order_relaxed); }

const FNode::HashCache& FNode::hashCache() const {
    const HashCache* cached = hash_.load(std::memory_order_acquire);
    if (cached) return *cached;
    auto fresh = std::make_unique<HashCache>();
    if (isEmpty()) {
        fresh->digest.fill(0);
    } else {
        // Children are hashed (and cached) before this node's text is built
        // in the shared buffer, so their texts never overlap with it.
        ensureChildHashes();
        std::string& text = hashTextBuffer();
        text.clear();
        appendHashText(text);
        fresh->digest = fdigest::sha1(text);
    }
    const HashCache* expected = nullptr;
    if (hash_.compare_exchange_strong(expected, fresh.get(), std::memory_order_acq_rel, std::memory_order_acquire)) {
        return *fresh.release();
    }
    return *expected;
}

std::string FNode::dataHash() const {
    if (isEmpty()) return "";
    return fdigest::base64(hashCache().digest);
}

void FNode::appendDataHash(std::string& out) const {
    if (isEmpty()) return;
    fdigest::appendBase64(hashCache().digest, out);
}

size_t FNode::hash() const {
    if (isEmpty()) return 0;
    size_t h;
    std::memcpy(&h, hashCache().digest.data(), sizeof h);
    return h;
}

std::string FNode::description() const { return valForExport(true).description(); }

FNodePtr FNode::getChild(const FPath& path) const {
    if (path.isEmpty()) return self();
    FNodePtr node = getImmediateChild(path.pieceAt(0));
    for (size_t i = 1; i < path.length(); ++i) node = node->getImmediateChild(path.pieceAt(i));
    return node;
}

bool FNode::hasChild(std::string_view key) const { return !getImmediateChild(key)->isEmpty(); }

FNodePtr FNode::updateChild(const FPath& path, const FNodePtr& node) const {
    if (path.isEmpty()) return node;
    const std::string& front = path.pieceAt(0);
    if (front == kPriorityKey && path.length() == 1) return updateImmediateChild(front, node);
    FNodePtr newChild = getImmediateChild(front)->updateChild(path.popFront(), node);
    return updateImmediateChild(front, newChild);
}

void FNode::enumerateChildren(const FNodeChildBlock& block) const { enumerateChildrenReverse(false, block); }

void FNode::enumerateChildrenReverse(bool, const FNodeChildBlock&) const {}

FEnumeratorPtr<FNamedNode> FNode::childEnumerator() const {
    return std::make_shared<FBlockEnumerator<FNamedNode>>(nullptr);
}

// ----- FLeafNode

FLeafNode::FLeafNode(ns::Value value, FNodePtr priority)
    : value_(std::move(value)), priority_(normalisedPriority(priority)) {
    if (!(value_.isString() || value_.isNumber() || value_.isBool())) {
        throw ns::Exception(ns::kInvalidArgumentException,
                            ns::format("A leaf holds a string, a number or a boolean, not %@", value_));
    }
}

FNodePtr FLeafNode::getPriority() const { return priority_ ? priority_ : FEmptyNode::emptyNode(); }

FNodePtr FLeafNode::updatePriority(const FNodePtr& priority) const { return make(value_, priority); }

FNodePtr FLeafNode::getImmediateChild(std::string_view key) const {
    if (key == kPriorityKey) return getPriority();
    return FEmptyNode::emptyNode();
}

FNodePtr FLeafNode::updateImmediateChild(const std::string& key, const FNodePtr& child) const {
    if (key == kPriorityKey) return updatePriority(child);
    if (!child || child->isEmpty()) return self();
    return FEmptyNode::emptyNode()->updateImmediateChild(key, child)->updatePriority(priority_);
}

ns::Value FLeafNode::valForExport(bool exportFormat) const {
    if (exportFormat && priority_) {
        ns::Dictionary d;
        d[".value"] = value_;
        d[".priority"] = priority_->val();
        return ns::Value(std::move(d));
    }
    return value_;
}

bool FLeafNode::isEqual(const FNode& other) const {
    if (this == &other) return true;
    auto* leaf = dynamic_cast<const FLeafNode*>(&other);
    return leaf && leafValuesEqual(value_, leaf->value_) && prioritiesEqual(priority_, leaf->priority_);
}

void FLeafNode::appendHashText(std::string& out) const {
    FSnapshotUtilities::appendHashRepresentationForLeafNode(*this, out, FDataHashVersion0);
}

// ----- FChildrenNode

FChildrenNode::FChildrenNode(FChildrenDictionary children, FNodePtr priority)
    : children_(std::move(children)), priority_(normalisedPriority(priority)) {}

FNodePtr FChildrenNode::make(FChildrenDictionary children, FNodePtr priority) {
    if (children.isEmpty()) return FEmptyNode::emptyNode();
    return std::make_shared<const FChildrenNode>(std::move(children), std::move(priority));
}

FNodePtr FChildrenNode::getPriority() const { return priority_ ? priority_ : FEmptyNode::emptyNode(); }

FNodePtr FChildrenNode::updatePriority(const FNodePtr& priority) const {
    if (children_.isEmpty()) return FEmptyNode::emptyNode();
    return make(children_, priority);
}

FNodePtr FChildrenNode::getImmediateChild(std::string_view key) const {
    if (key == kPriorityKey) return getPriority();
    const FNodePtr* child = children_.find(key);
    return child ? *child : FEmptyNode::emptyNode();
}

FNodePtr FChildrenNode::updateImmediateChild(const std::string& key, const FNodePtr& child) const {
    if (key == kPriorityKey) return updatePriority(child);
    const FNodePtr* existing = children_.find(key);
    if (!child || child->isEmpty()) {
        if (!existing) return self();
        return make(children_.remove(key), priority_);
    }
    if (existing && *existing == child) return self();
    return make(children_.insert(key, child), priority_);
}

ns::Value FChildrenNode::valForExport(bool exportFormat) const {
    if (isEmpty()) return ns::Value();
    int64_t maxKey = -1;
    if (!exportFormat && arrayShape(children_, maxKey)) {
        ns::Array array(size_t(maxKey + 1));
        children_.forEach([&](const std::string& key, const FNodePtr& child) {
            array[size_t(*FUtilities::intForString(key))] = child->valForExport(false);
            return true;
        });
        return ns::Value(std::move(array));
    }
    ns::Dictionary d;
    children_.forEach([&](const std::string& key, const FNodePtr& child) {
        d.emplace_hint(d.end(), key, child->valForExport(exportFormat));
        return true;
    });
    if (exportFormat && priority_) d[".priority"] = priority_->val();
    return ns::Value(std::move(d));
}

void FChildrenNode::enumerateChildren(const FNodeChildBlock& block) const { enumerateChildrenReverse(false, block); }

void FChildrenNode::enumerateChildrenReverse(bool reverse, const FNodeChildBlock& block) const {
    children_.enumerateReverse(reverse, block);
}

FEnumeratorPtr<FNamedNode> FChildrenNode::childEnumerator() const {
    auto it = std::make_shared<FChildrenDictionary::Iterator>(children_.iterator());
    return std::make_shared<FBlockEnumerator<FNamedNode>>([it]() -> std::optional<FNamedNode> {
        if (!it->valid()) return std::nullopt;
        FNamedNode n{it->key(), it->value()};
        it->next();
        return n;
    });
}

void FChildrenNode::enumerateChildrenAndPriority(const FNodeChildBlock& block) const {
    if (!priority_) {
        enumerateChildren(block);
        return;
    }
    bool passedPriority = false;
    children_.forEach([&](const std::string& key, const FNodePtr& child) {
        bool stop = false;
        if (!passedPriority && FUtilities::compareKey(key, kPriorityKey) > 0) {
            passedPriority = true;
            block(kPriorityKey, priority_, stop);
            if (stop) return false;
        }
        block(key, child, stop);
        return !stop;
    });
}

bool FChildrenNode::isEqual(const FNode& other) const {
    if (this == &other) return true;
    if (FMaxNode::isMax(other) || FMaxNode::isMax(*this)) return false;
    auto* node = dynamic_cast<const FChildrenNode*>(&other);
    if (!node || node->numChildren() != numChildren()) return false;
    if (!prioritiesEqual(priority_, node->priority_)) return false;
    auto it = node->children_.iterator();
    return children_.forEach([&](const std::string& key, const FNodePtr& child) {
        bool same = it.valid() && it.key() == key && (it.value() == child || child->isEqual(*it.value()));
        it.next();
        return same;
    });
}

void FChildrenNode::ensureChildHashes() const {
    children_.forEach([](const std::string&, const FNodePtr& child) {
        child->hashCache();
        return true;
    });
}

void FChildrenNode::appendHashText(std::string& out) const {
    if (priority_) {
        auto* leaf = dynamic_cast<const FLeafNode*>(priority_.get());
        if (!leaf) {
            throw ns::Exception(ns::kInvalidArgumentException,
                                ns::format("Unknown value for hashing: %@", priority_->val()));
        }
        out += "priority:";
        FSnapshotUtilities::appendHashRepresentationForLeafNode(*leaf, out, FDataHashVersion0);
        out += ':';
    }
    children_.forEach([&](const std::string& key, const FNodePtr& child) {
        out += ':';
        out += key;
        out += ':';
        child->appendDataHash(out);
        return true;
    });
}

// ----- shared nodes

const FNodePtr& FEmptyNode::emptyNode() {
    static const FNodePtr kEmpty = std::make_shared<const FChildrenNode>();
    return kEmpty;
}

const FNodePtr& FMaxNode::maxNode() {
    static const FNodePtr kMax = std::make_shared<const FMaxNode>();
    return kMax;
}
