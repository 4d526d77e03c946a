#include "database/model/FNode.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>

#include "FDigest.h"
#include "database/model/FSnapshotUtilities.h"
#include "platform/error.h"
#include "platform/format.h"

namespace {

const char kPriorityKey[] = ".priority";

// Reused text buffer for hash texts; a node builds its text only after its
// children's digests are cached, so nested use never overlaps.
std::string& hashTextBuffer() {
    thread_local std::string buffer;
    return buffer;
}

// Kept only when there is a priority.
std::unique_ptr<const FNodePtr> priorityHolder(const FNodePtr& p) {
    if (!p || p->isEmpty()) return nullptr;
    return std::make_unique<const FNodePtr>(p);
}

bool prioritiesEqual(const FNode& a, const FNode& b) { return &a == &b || a.isEqual(b); }

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

FNode::~FNode() = default;

FNode::Digest FNode::digest() const {
    if (hashState_.load(std::memory_order_acquire) >= 2) return digest_;
    Digest d{};
    bool negativeZero = false;
    if (!isEmpty()) {
        // Children are hashed (and cached) before this node's text is built
        // in the shared buffer, so their texts never overlap with it.
        ensureChildHashes();
        std::string& text = hashTextBuffer();
        text.clear();
        appendHashText(text);
        d = fdigest::sha1(text);
        negativeZero = computeContainsNegativeZero();
    }
    // The first thread to finish keeps its result; a thread that finds the
    // digest being written uses its own copy.
    uint8_t expected = 0;
    if (hashState_.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
        digest_ = d;
        hashState_.store(negativeZero ? 3 : 2, std::memory_order_release);
    }
    return d;
}

bool FNode::containsNegativeZero() const {
    if (isEmpty()) return false;
    (void)digest();
    const uint8_t state = hashState_.load(std::memory_order_acquire);
    // Another thread may still be writing the cache.
    if (state < 2) return computeContainsNegativeZero();
    return state == 3;
}

std::string FNode::dataHash() const {
    if (isEmpty()) return "";
    return fdigest::base64(digest());
}

void FNode::appendDataHash(std::string& out) const {
    if (isEmpty()) return;
    fdigest::appendBase64(digest(), out);
}

namespace {

bool isNegativeZero(const FLeafNode& leaf) {
    return leaf.isNumber() && leaf.doubleValue() == 0 && std::signbit(leaf.doubleValue());
}

// The node with 0 wherever it holds -0.0: an equal node whose hash text is
// the one every equal node without -0.0 has. Only the parts holding -0.0 are
// rebuilt.
FNodePtr withUnsignedZeros(const FNodePtr& node) {
    if (!node->containsNegativeZero()) return node;
    FNodePtr priority = node->getPriority();
    if (priority->containsNegativeZero()) priority = withUnsignedZeros(priority);
    if (node->isLeafNode()) {
        const auto& leaf = static_cast<const FLeafNode&>(*node);
        return FLeafNode::make(isNegativeZero(leaf) ? ns::Value(0.0) : leaf.value(), priority);
    }
    FNodePtr out = node;
    node->enumerateChildren([&](const std::string& key, const FNodePtr& child, bool&) {
        if (child->containsNegativeZero()) out = out->updateImmediateChild(key, withUnsignedZeros(child));
    });
    return out->updatePriority(priority);
}

}  // namespace

size_t FNode::hash() const {
    if (isEmpty()) return 0;
    size_t h;
    const Digest d = containsNegativeZero() ? withUnsignedZeros(self())->digest() : digest();
    std::memcpy(&h, d.data(), sizeof h);
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

namespace {

class FLeafNodeWithPriority final : public FLeafNode {
public:
    FLeafNodeWithPriority(const ns::Value& value, FNodePtr priority) : FLeafNode(value), priority_(std::move(priority)) {}
    FNodePtr getPriority() const override { return priority_; }
    const FNode& priorityNode() const override { return *priority_; }

private:
    FNodePtr priority_;
};

}  // namespace

FNodePtr FLeafNode::make(const ns::Value& value, FNodePtr priority) {
    if (priority && !priority->isEmpty()) return std::make_shared<const FLeafNodeWithPriority>(value, std::move(priority));
    return std::make_shared<const FLeafNode>(value);
}

FLeafNode::FLeafNode(const ns::Value& value) {
    using T = ns::Value::Type;
    switch (value.type()) {
        case T::Bool:
            subclassByte_ = uint8_t(Kind::Bool);
            v_.b = value.asBool();
            break;
        case T::Int:
            subclassByte_ = uint8_t(Kind::Int);
            v_.i = value.asInt();
            break;
        case T::UInt:
            subclassByte_ = uint8_t(Kind::UInt);
            v_.u = value.asUInt();
            break;
        case T::Double:
            subclassByte_ = uint8_t(Kind::Double);
            v_.d = value.asDouble();
            break;
        case T::String: {
            const std::string& str = value.asString();
            subclassByte_ = uint8_t(Kind::String);
            void* mem = ::operator new(offsetof(Text, bytes) + str.size() + 1);
            v_.text = static_cast<Text*>(mem);
            v_.text->size = str.size();
            char* bytes = v_.text->bytes;  // the block holds size + 1 bytes here
            std::memcpy(bytes, str.data(), str.size());
            bytes[str.size()] = '\0';
            break;
        }
        default:
            throw ns::Exception(ns::kInvalidArgumentException,
                                ns::format("A leaf holds a string, a number or a boolean, not %@", value));
    }
}

FLeafNode::~FLeafNode() {
    if (kind() == Kind::String) ::operator delete(v_.text);
}

ns::Value FLeafNode::value() const {
    switch (kind()) {
        case Kind::Bool: return ns::Value(v_.b);
        case Kind::Int: return ns::Value(v_.i);
        case Kind::UInt: return ns::Value(static_cast<unsigned long long>(v_.u));
        case Kind::Double: return ns::Value(v_.d);
        case Kind::String: return ns::Value(stringValue());
    }
    return ns::Value();
}

double FLeafNode::doubleValue() const {
    switch (kind()) {
        case Kind::Int: return double(v_.i);
        case Kind::UInt: return double(v_.u);
        case Kind::Double: return v_.d;
        default: return 0;
    }
}

std::string_view FLeafNode::stringValue() const {
    if (kind() != Kind::String) return {};
    return std::string_view(v_.text->bytes, v_.text->size);
}

int FLeafNode::compareNumbers(const FLeafNode& a, const FLeafNode& b) {
    if (a.kind() == Kind::Int && b.kind() == Kind::Int) return a.v_.i < b.v_.i ? -1 : (a.v_.i > b.v_.i ? 1 : 0);
    // An 80-bit long double holds every int64, uint64 and double exactly.
    auto wide = [](const FLeafNode& n) -> long double {
        switch (n.kind()) {
            case Kind::Int: return static_cast<long double>(n.v_.i);
            case Kind::UInt: return static_cast<long double>(n.v_.u);
            default: return static_cast<long double>(n.v_.d);
        }
    };
    long double x = wide(a), y = wide(b);
    return x < y ? -1 : (x > y ? 1 : 0);
}

FNodePtr FLeafNode::getPriority() const { return FEmptyNode::emptyNode(); }

const FNode& FLeafNode::priorityNode() const { return *FEmptyNode::emptyNode(); }

FNodePtr FLeafNode::updatePriority(const FNodePtr& priority) const { return make(value(), priority); }

FNodePtr FLeafNode::getImmediateChild(std::string_view key) const {
    if (key == kPriorityKey) return getPriority();
    return FEmptyNode::emptyNode();
}

FNodePtr FLeafNode::updateImmediateChild(const std::string& key, const FNodePtr& child) const {
    if (key == kPriorityKey) return updatePriority(child);
    if (!child || child->isEmpty()) return self();
    return FEmptyNode::emptyNode()->updateImmediateChild(key, child)->updatePriority(getPriority());
}

ns::Value FLeafNode::valForExport(bool exportFormat) const {
    const FNode& priority = priorityNode();
    if (exportFormat && !priority.isEmpty()) {
        ns::Dictionary d;
        d[".value"] = value();
        d[".priority"] = priority.val();
        return ns::Value(std::move(d));
    }
    return value();
}

bool FLeafNode::isEqual(const FNode& other) const {
    if (this == &other) return true;
    auto* leaf = dynamic_cast<const FLeafNode*>(&other);
    if (!leaf) return false;
    bool same;
    if (isNumber() && leaf->isNumber()) {
        same = compareNumbers(*this, *leaf) == 0;
    } else if (kind() != leaf->kind()) {
        same = false;
    } else if (isBool()) {
        same = v_.b == leaf->v_.b;
    } else {
        same = stringValue() == leaf->stringValue();
    }
    return same && prioritiesEqual(priorityNode(), leaf->priorityNode());
}

void FLeafNode::appendHashText(std::string& out) const {
    FSnapshotUtilities::appendHashRepresentationForLeafNode(*this, out, FDataHashVersion0);
}

bool FLeafNode::computeContainsNegativeZero() const {
    return isNegativeZero(*this) || priorityNode().containsNegativeZero();
}

// ----- FChildrenNode

FChildrenNode::FChildrenNode(FChildrenDictionary children, FNodePtr priority)
    : children_(std::move(children)), priority_(priorityHolder(priority)) {}

FNodePtr FChildrenNode::make(FChildrenDictionary children, FNodePtr priority) {
    if (children.isEmpty()) return FEmptyNode::emptyNode();
    return std::make_shared<const FChildrenNode>(std::move(children), std::move(priority));
}

FNodePtr FChildrenNode::getPriority() const { return priority_ ? *priority_ : FEmptyNode::emptyNode(); }

const FNode& FChildrenNode::priorityNode() const { return priority_ ? **priority_ : *FEmptyNode::emptyNode(); }

FNodePtr FChildrenNode::updatePriority(const FNodePtr& priority) const {
    if (children_.isEmpty()) return FEmptyNode::emptyNode();
    return make(children_, priority);
}

FNodePtr FChildrenNode::priorityPtr() const { return priority_ ? *priority_ : nullptr; }

FNodePtr FChildrenNode::getImmediateChild(std::string_view key) const {
    if (key == kPriorityKey) return getPriority();
    const FNodePtr* child = children_.find(key);
    return child ? *child : FEmptyNode::emptyNode();
}

FNodePtr FChildrenNode::updateImmediateChild(const std::string& key, const FNodePtr& child) const {
    if (key == kPriorityKey) return updatePriority(child);
    if (!child || child->isEmpty()) {
        if (!children_.contains(key)) return self();
        return make(children_.remove(key), priorityPtr());
    }
    // One descent: the insert replaces the child or adds it.
    return make(children_.insert(key, child), priorityPtr());
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
    if (exportFormat && priority_) d[".priority"] = (*priority_)->val();
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
            block(kPriorityKey, *priority_, stop);
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
    if (!prioritiesEqual(priorityNode(), node->priorityNode())) return false;
    auto it = node->children_.iterator();
    return children_.forEach([&](const std::string& key, const FNodePtr& child) {
        bool same = it.valid() && it.key() == key && (it.value() == child || child->isEqual(*it.value()));
        it.next();
        return same;
    });
}

void FChildrenNode::ensureChildHashes() const {
    children_.forEach([](const std::string&, const FNodePtr& child) {
        (void)child->digest();
        return true;
    });
}

bool FChildrenNode::computeContainsNegativeZero() const {
    // The members, not getPriority/getImmediateChild: the max node is its
    // own priority and child, but holds neither.
    if (priority_ && (*priority_)->containsNegativeZero()) return true;
    return !children_.forEach([](const std::string&, const FNodePtr& child) {
        return !child->containsNegativeZero();
    });
}

void FChildrenNode::appendHashText(std::string& out) const {
    if (priority_) {
        auto* leaf = dynamic_cast<const FLeafNode*>(priority_->get());
        if (!leaf) {
            throw ns::Exception(ns::kInvalidArgumentException,
                                ns::format("Unknown value for hashing: %@", (*priority_)->val()));
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
