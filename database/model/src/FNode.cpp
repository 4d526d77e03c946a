#include "database/model/FNode.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "FDigest.h"
#include "database/model/FSlotPool.h"
#include "database/model/FSnapshotUtilities.h"
#include "database/model/FStringUtilities.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/parallel.h"
#include "platform/thread_owned.h"

namespace {

const char kPriorityKey[] = ".priority";

// Subtrees worth hashing on other threads: at least this many nodes left to
// hash (a sampled estimate), where a thread costs some tens of microseconds.
constexpr uint64_t kParallelHashNodes = uint64_t(1) << 16;
// Set on the threads of a parallel hash (the caller's included), which hash
// their subtrees on their own.
thread_local bool tHashingInParallel = false;

// Runs work(i) for every i below n on the threads of a parallel hash, the
// caller's included, taking indexes in chunks; each of those threads hashes
// its subtrees on its own.
void runInParallel(size_t n, const std::function<void(size_t)>& work) {
    const unsigned threads = unsigned(std::min<size_t>(ns::parallel::threadCount(), n));
    ns::parallel::run(threads, n, n / (size_t(threads) * 16), [&](size_t i) {
        const bool outer = tHashingInParallel;
        tHashingInParallel = true;
        work(i);
        tHashingInParallel = outer;
    });
}

// Reused per-thread text buffers for hash texts. A children node builds its
// text while its children's digests are computed (one walk), so each level
// of the walk has a buffer of its own.
class HashTextBuffer {
public:
    HashTextBuffer() : stack_(stack()) {
        if (stack_.depth == stack_.buffers.size()) stack_.buffers.push_back(std::make_unique<std::string>());
        text_ = stack_.buffers[stack_.depth++].get();
        text_->clear();
    }
    ~HashTextBuffer() { --stack_.depth; }
    HashTextBuffer(const HashTextBuffer&) = delete;
    HashTextBuffer& operator=(const HashTextBuffer&) = delete;
    std::string& text() { return *text_; }

private:
    struct Stack {
        std::vector<std::unique_ptr<std::string>> buffers;
        size_t depth = 0;
    };
    static Stack& stack() {
        thread_local Stack* s = nullptr;
        return ns::threadOwned(s);
    }
    Stack& stack_;
    std::string* text_;
};

// "priority:<leaf text>:", raising for a priority that is not a leaf.
void appendPriorityHashText(const FNode& priority, std::string& out) {
    auto* leaf = dynamic_cast<const FLeafNode*>(&priority);
    if (!leaf) {
        throw ns::Exception(ns::kInvalidArgumentException, ns::format("Unknown value for hashing: %@", priority.val()));
    }
    out += "priority:";
    FSnapshotUtilities::appendHashRepresentationForLeafNode(*leaf, out, FDataHashVersion0);
    out += ':';
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
    bool negativeZero;
    return digestOf(*this, negativeZero);
}

bool FNode::containsNegativeZero() const {
    if (isEmpty()) return false;
    if (isLeafNode()) return computeContainsNegativeZero();
    bool negativeZero;
    (void)digestOf(*this, negativeZero);
    return negativeZero;
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
    // A path has as many keys as the input it was read from: the nodes along
    // it are noted on the way down and copied bottom up in a loop, never one
    // call per key. Most paths are short: their nodes are noted without the
    // heap.
    const size_t length = path.length();
    if (length == 0) return node;
    const std::string* keys = path.begin();
    constexpr size_t kNoted = 16;
    FNodePtr noted[kNoted];
    std::vector<FNodePtr> many;
    FNodePtr* below = noted;
    if (length > kNoted) {
        many.resize(length);
        below = many.data();
    }
    // below[i] is the node at the first i keys (below[0], this node, is not
    // held); a last key of ".priority" is the priority's place, as
    // updateImmediateChild takes it.
    const FNode* at = this;
    for (size_t i = 1; i < length; ++i) {
        below[i] = at->getImmediateChild(keys[i - 1]);
        at = below[i].get();
    }
    FNodePtr result = node;
    for (size_t i = length; i-- > 1;) result = below[i]->updateImmediateChild(keys[i], result);
    return updateImmediateChild(keys[0], result);
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

constexpr int64_t kSharedIntegers = 256;

// The shared leaves: the integers below kSharedIntegers, then false and true.
// Each thread makes its own as it first needs them: readers on several
// threads take these leaves for most rows, and one leaf's count, shared
// between processors, had its cache line move between them on every take.
const FNodePtr& sharedLeafAt(size_t index) {
    thread_local std::array<FNodePtr, kSharedIntegers + 2>* leaves = nullptr;
    FNodePtr& leaf = ns::threadOwned(leaves)[index];
    if (!leaf) [[unlikely]] {
        leaf = std::make_shared<const FLeafNode>(index < size_t(kSharedIntegers)
                                                     ? ns::Value(int64_t(index))
                                                     : ns::Value(index == size_t(kSharedIntegers) + 1));
    }
    return leaf;
}

bool isSharedInteger(int64_t i) { return i >= 0 && i < kSharedIntegers; }

const FNodePtr* sharedLeaf(const ns::Value& value) {
    if (value.isBool()) return &sharedLeafAt(size_t(kSharedIntegers + (value.asBool() ? 1 : 0)));
    if (value.type() != ns::Value::Type::Int) return nullptr;
    const int64_t i = value.asInt();
    return isSharedInteger(i) ? &sharedLeafAt(size_t(i)) : nullptr;
}

// The room for a string leaf's text: its size, asked for before the shared
// block is allocated, and where it lies once it is. The allocator holds no
// state, so the shared block keeps no copy of it.
thread_local size_t tTextRoomSize = 0;
thread_local char* tTextRoom = nullptr;

template <class T>
struct TextRoomAllocator {
    using value_type = T;
    TextRoomAllocator() = default;
    template <class U>
    TextRoomAllocator(const TextRoomAllocator<U>&) {}  // NOLINT: rebinding
    T* allocate(size_t n) {
        char* block = static_cast<char*>(::operator new(n * sizeof(T) + tTextRoomSize));
        tTextRoom = block + n * sizeof(T);
        return reinterpret_cast<T*>(block);
    }
    void deallocate(T* p, size_t) { ::operator delete(p); }
    template <class U>
    bool operator==(const TextRoomAllocator<U>&) const {
        return true;
    }
};

// The slot of a number or short string among a thread's recent leaves;
// none for other values.
constexpr size_t kRecentLeaves = 2048;
constexpr size_t kRecentStringLength = 15;

size_t recentSlotOfBits(uint64_t bits) {
    // A double's differences are in its high bits: fold them down first.
    bits ^= bits >> 32;
    bits *= 0x9E3779B97F4A7C15ULL;
    return size_t(bits >> 54) % kRecentLeaves & ~size_t(1);
}

size_t recentTextSlot(std::string_view text) { return recentSlotOfBits(std::hash<std::string_view>{}(text)); }

std::optional<size_t> recentSlot(const ns::Value& value) {
    using T = ns::Value::Type;
    uint64_t bits = 0;
    switch (value.type()) {
        case T::Int: bits = uint64_t(value.asInt()); break;
        case T::UInt: bits = value.asUInt() ^ 0x5555555555555555ULL; break;
        case T::Double: {
            const double d = value.asDouble();
            std::memcpy(&bits, &d, sizeof bits);
            break;
        }
        case T::String:
            if (value.asString().size() > kRecentStringLength) return std::nullopt;
            return recentTextSlot(value.asString());
        default: return std::nullopt;
    }
    return recentSlotOfBits(bits);
}

// The recent leaves of this thread, two ways a slot: the newer leaf first,
// the older one next to it.
std::array<FNodePtr, kRecentLeaves>& recentLeaves() {
    thread_local std::array<FNodePtr, kRecentLeaves>* recent = nullptr;
    return ns::threadOwned(recent);
}

// The recent leaf at `slot` that `holds` says is the one, or the one `make`
// makes in its place.
template <class Holds, class Make>
FNodePtr recentLeaf(size_t slot, bool& reused, Holds&& holds, Make&& make) {
    auto& recent = recentLeaves();
    FNodePtr& newer = recent[slot];
    FNodePtr& older = recent[slot ^ 1];
    auto held = [&](const FNodePtr& leaf) { return leaf && holds(static_cast<const FLeafNode&>(*leaf)); };
    reused = true;
    if (held(newer)) return newer;
    if (!held(older)) {
        reused = false;
        older = make();
    }
    std::swap(newer, older);
    return newer;
}

}  // namespace

FNodePtr FLeafNode::make(const ns::Value& value, FNodePtr priority) {
    if (priority && !priority->isEmpty()) return std::make_shared<const FLeafNodeWithPriority>(value, std::move(priority));
    bool reused;
    return make(value, reused);
}

FNodePtr FLeafNode::make(const ns::Value& value, bool& reused) {
    reused = true;
    if (const FNodePtr* shared = sharedLeaf(value)) return *shared;
    const std::optional<size_t> slot = recentSlot(value);
    reused = false;
    if (!slot) return makeUnshared(value);
    return recentLeaf(
        *slot, reused, [&](const FLeafNode& leaf) { return leaf.holds(value); },
        [&] { return makeUnshared(value); });
}

FNodePtr FLeafNode::makeNew(const ns::Value& value) {
    if (const FNodePtr* shared = sharedLeaf(value)) return *shared;
    return makeUnshared(value);
}

FNodePtr FLeafNode::makeText(std::string_view text, bool& reused) {
    reused = false;
    if (text.size() > kRecentStringLength) return makeUnsharedText(text);
    return recentLeaf(
        recentTextSlot(text), reused, [&](const FLeafNode& leaf) { return leaf.holdsText(text); },
        [&] { return makeUnsharedText(text); });
}

FNodePtr FLeafNode::makeNewText(std::string_view text) { return makeUnsharedText(text); }

FNodePtr FLeafNode::makeInt(int64_t value, bool& reused) {
    reused = true;
    if (isSharedInteger(value)) return sharedLeafAt(size_t(value));
    return recentLeaf(
        recentSlotOfBits(uint64_t(value)), reused, [&](const FLeafNode& leaf) { return leaf.holdsInt(value); },
        [&] { return makeUnshared(ns::Value(value)); });
}

FNodePtr FLeafNode::makeNewInt(int64_t value) {
    if (isSharedInteger(value)) return sharedLeafAt(size_t(value));
    return makeUnshared(ns::Value(value));
}

bool FLeafNode::holds(const ns::Value& value) const {
    using T = ns::Value::Type;
    switch (value.type()) {
        case T::Int: return kind() == Kind::Int && load<int64_t>(kValueAt) == value.asInt();
        case T::UInt: return kind() == Kind::UInt && load<uint64_t>(kValueAt) == value.asUInt();
        case T::Double: {
            // Bits, not ==: -0.0 and 0.0 are different leaves.
            const double d = value.asDouble();
            return kind() == Kind::Double && std::memcmp(data_ + kValueAt, &d, sizeof d) == 0;
        }
        case T::String: return kind() == Kind::String && stringValue() == value.asString();
        default: return false;
    }
}

// A short string or a number lies in the leaf itself: a leaf and its count
// take one 56-byte pooled slot, on huge pages past 32 MiB of them.
static_assert(sizeof(FLeafNode) <= 40);
constexpr size_t kLeafHugeAfter = size_t(32) << 20;

FNodePtr FLeafNode::makeUnshared(const ns::Value& value) {
    if (value.isString()) return makeUnsharedText(value.asString());
    return std::allocate_shared<const FLeafNode>(FSlotAllocator<FLeafNode, kLeafHugeAfter>(), value);
}

FNodePtr FLeafNode::makeUnsharedText(std::string_view text) {
    if (text.size() > kShortText) {
        tTextRoomSize = text.size() + 1;
        return std::allocate_shared<const FLeafNode>(TextRoomAllocator<FLeafNode>(), text, InlineText());
    }
    return std::allocate_shared<const FLeafNode>(FSlotAllocator<FLeafNode, kLeafHugeAfter>(), text, InlineText());
}

FLeafNode::FLeafNode(const ns::Value& value) { init(value); }

FLeafNode::FLeafNode(std::string_view text, InlineText) {
    initText(text, text.size() > kShortText ? tTextRoom : nullptr);
}

void FLeafNode::init(const ns::Value& value) {
    using T = ns::Value::Type;
    switch (value.type()) {
        case T::Bool:
            subclassByte_ = uint8_t(Kind::Bool);
            store(kValueAt, value.asBool());
            break;
        case T::Int:
            subclassByte_ = uint8_t(Kind::Int);
            store(kValueAt, value.asInt());
            break;
        case T::UInt:
            subclassByte_ = uint8_t(Kind::UInt);
            store(kValueAt, value.asUInt());
            break;
        case T::Double:
            subclassByte_ = uint8_t(Kind::Double);
            store(kValueAt, value.asDouble());
            break;
        case T::String: initText(value.asString(), nullptr); break;
        default:
            throw ns::Exception(ns::kInvalidArgumentException,
                                ns::format("A leaf holds a string, a number or a boolean, not %@", value));
    }
}

void FLeafNode::initText(std::string_view str, char* room) {
    if (str.size() > UINT32_MAX) throw ns::Exception(ns::kInvalidArgumentException, "A leaf's string is too long");
    if (str.size() <= kShortText && !room) {
        subclassByte_ = uint8_t(uint8_t(Kind::String) | ((str.size() + 1) << 3));
        if (!str.empty()) std::memcpy(data_, str.data(), str.size());
        return;
    }
    subclassByte_ = uint8_t(Kind::String) | (room ? kTextAfter : 0);
    char* text = room ? room : static_cast<char*>(::operator new(str.size() + 1));
    std::memcpy(text, str.data(), str.size());
    text[str.size()] = '\0';
    store(kSizeAt, uint32_t(str.size()));
    store(kValueAt, text);
}

FLeafNode::~FLeafNode() {
    if (kind() == Kind::String && !isShortText() && !(subclassByte_ & kTextAfter)) ::operator delete(load<char*>(kValueAt));
}

ns::Value FLeafNode::value() const {
    switch (kind()) {
        case Kind::Bool: return ns::Value(load<bool>(kValueAt));
        case Kind::Int: return ns::Value(load<int64_t>(kValueAt));
        case Kind::UInt: return ns::Value(static_cast<unsigned long long>(load<uint64_t>(kValueAt)));
        case Kind::Double: return ns::Value(load<double>(kValueAt));
        case Kind::String: return ns::Value(stringValue());
    }
    return ns::Value();
}

double FLeafNode::doubleValue() const {
    switch (kind()) {
        case Kind::Int: return double(load<int64_t>(kValueAt));
        case Kind::UInt: return double(load<uint64_t>(kValueAt));
        case Kind::Double: return load<double>(kValueAt);
        default: return 0;
    }
}

std::string_view FLeafNode::stringValue() const {
    if (kind() != Kind::String) return {};
    if (isShortText()) return std::string_view(data_, shortTextSize());
    return std::string_view(load<const char*>(kValueAt), load<uint32_t>(kSizeAt));
}

int FLeafNode::compareNumbers(const FLeafNode& a, const FLeafNode& b) {
    if (a.kind() == Kind::Int && b.kind() == Kind::Int) {
        const int64_t x = a.load<int64_t>(kValueAt), y = b.load<int64_t>(kValueAt);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    // An 80-bit long double holds every int64, uint64 and double exactly.
    auto wide = [](const FLeafNode& n) -> long double {
        switch (n.kind()) {
            case Kind::Int: return static_cast<long double>(n.load<int64_t>(kValueAt));
            case Kind::UInt: return static_cast<long double>(n.load<uint64_t>(kValueAt));
            default: return static_cast<long double>(n.load<double>(kValueAt));
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
        same = boolValue() == leaf->boolValue();
    } else {
        same = stringValue() == leaf->stringValue();
    }
    return same && prioritiesEqual(priorityNode(), leaf->priorityNode());
}

void FLeafNode::appendHashText(std::string& out) const {
    FSnapshotUtilities::appendHashRepresentationForLeafNode(*this, out, FDataHashVersion0);
}

FNode::Digest FLeafNode::computeDigest(bool& negativeZero) const {
    // A leaf's text holds no other node's digest: one buffer per thread.
    thread_local std::string* buffer = nullptr;
    std::string& text = ns::threadOwned(buffer);
    text.clear();
    appendHashText(text);
    const Digest d = fdigest::sha1OfLeafText(text);
    negativeZero = computeContainsNegativeZero();
    return d;
}

bool FLeafNode::computeContainsNegativeZero() const {
    return isNegativeZero(*this) || priorityNode().containsNegativeZero();
}

// ----- FChildrenNode

FChildrenNode::FChildrenNode(FChildrenDictionary children, FNodePtr priority)
    : children_(std::move(children)), priority_(priorityHolder(priority)) {}

namespace {

// Children nodes let go of their children inside their own destructor, so a
// chain of them would be destroyed one nested call per level. Past this
// many nested on a thread, a dying node hands its children to the outermost
// one, which lets them go after its own, one after the other.
constexpr unsigned kNestedReleases = 32;

struct HandedOver {
    FChildrenDictionary children;
    std::unique_ptr<const FNodePtr> priority;
};
thread_local unsigned tReleasing = 0;
// The outermost release's list, while one runs on this thread.
thread_local std::vector<HandedOver>* tHandedOver = nullptr;

}  // namespace

FChildrenNode::~FChildrenNode() {
    if (children_.isEmpty() && !priority_) return;
    if (tReleasing >= kNestedReleases) {
        tHandedOver->push_back(HandedOver{std::move(children_), std::move(priority_)});
        return;
    }
    std::vector<HandedOver> handedOver;
    const bool outermost = tReleasing++ == 0;
    if (outermost) tHandedOver = &handedOver;
    {
        const HandedOver own{std::move(children_), std::move(priority_)};
    }
    // Each let go here starts nested releases of its own, which may hand
    // over more.
    while (outermost && !handedOver.empty()) {
        const HandedOver next = std::move(handedOver.back());
        handedOver.pop_back();
    }
    if (outermost) tHandedOver = nullptr;
    --tReleasing;
}

FNodePtr FChildrenNode::make(FChildrenDictionary children, FNodePtr priority) {
    if (children.isEmpty()) return FEmptyNode::emptyNode();
    // Pooled like leaves: a load or a restore makes children nodes by the
    // thousand, and freed slots are taken again without the heap.
    return std::allocate_shared<const FChildrenNode>(FSlotAllocator<FChildrenNode, kLeafHugeAfter>(),
                                                     std::move(children), std::move(priority));
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
    children_.enumerateReverse(reverse, [&](const FChildKey& key, const FNodePtr& child, bool& stop) {
        block(key, child, stop);
    });
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

FNode::Digest FChildrenNode::keptDigest(bool& negativeZero) const {
    const uint8_t state = hashState_.load(std::memory_order_acquire);
    if (state >= 2) {
        negativeZero = state == 3;
        return digest_;
    }
    Digest d{};
    negativeZero = false;
    if (!isEmpty()) d = computeDigest(negativeZero);
    // The first thread to finish keeps its result; a thread that finds the
    // digest being written uses its own copy.
    uint8_t expected = 0;
    if (hashState_.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
        digest_ = d;
        hashState_.store(negativeZero ? 3 : 2, std::memory_order_release);
    }
    return d;
}

bool FChildrenNode::digestKept(const FNode& node) {
    if (node.isLeafNode()) return false;
    return static_cast<const FChildrenNode&>(node).hashState_.load(std::memory_order_acquire) >= 2;
}

FNode::Digest FChildrenNode::computeDigest(bool& negativeZero) const {
    digestChildrenInParallel();
    HashTextBuffer buffer;
    std::string& text = buffer.text();
    negativeZero = false;
    if (priority_) {
        appendPriorityHashText(**priority_, text);
        negativeZero = (*priority_)->containsNegativeZero();
    }
    children_.forEach([&](const std::string& key, const FNodePtr& child) {
        bool childNegativeZero;
        const Digest d = digestOf(*child, childNegativeZero);
        negativeZero = negativeZero || childNegativeZero;
        text += ':';
        text += key;
        text += ':';
        if (!child->isEmpty()) fdigest::appendBase64(d, text);
        return true;
    });
    return fdigest::sha1(text);
}

void FChildrenNode::digestChildrenInParallel() const {
    if (tHashingInParallel || ns::parallel::threadCount() < 2) return;
    // The unhashed children, and an estimate of the nodes left to hash: the
    // unhashed children counted at each level down the first unhashed one.
    std::vector<const FNode*> pending;
    uint64_t estimate = 1;
    const FChildrenNode* level = this;
    for (int depth = 0; depth < 4 && level && estimate < kParallelHashNodes; ++depth) {
        uint64_t unhashed = 0;
        const FNode* first = nullptr;
        level->children_.forEach([&](const std::string&, const FNodePtr& child) {
            if (digestKept(*child)) return true;
            if (!first) first = child.get();
            // A leaf keeps no digest: hashing it ahead would be lost work.
            if (depth == 0 && !child->isLeafNode()) pending.push_back(child.get());
            ++unhashed;
            return true;
        });
        estimate *= std::max<uint64_t>(unhashed, 1);
        level = first && !first->isLeafNode() ? static_cast<const FChildrenNode*>(first) : nullptr;
    }
    if (pending.size() < 2 || estimate < kParallelHashNodes) return;
    runInParallel(pending.size(), [&](size_t i) {
        try {
            (void)pending[i]->digest();
        } catch (...) {
            // Left unhashed: the caller's own walk meets the fault and raises it.
        }
    });
}

uint64_t FChildrenNode::serializedSizeEstimate() const {
    uint64_t size = sizeEstimate_.load(std::memory_order_relaxed);
    if (size != 0) return size;
    size = 1;
    auto add = [&](const std::string& key, const FNode& child) {
        size += FStringUtilities::utf16Length(key) + 4 + FSnapshotUtilities::estimateSerializedNodeSize(child);
    };
    // The priority counts at its key-order place, as enumerateChildrenAndPriority gives it.
    bool priorityPending = priority_ != nullptr;
    children_.forEach([&](const std::string& key, const FNodePtr& child) {
        if (priorityPending && FUtilities::compareKey(key, kPriorityKey) > 0) {
            priorityPending = false;
            add(kPriorityKey, **priority_);
        }
        add(key, *child);
        return true;
    });
    if (size <= UINT32_MAX) sizeEstimate_.store(uint32_t(size), std::memory_order_relaxed);
    return size;
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
    if (priority_) appendPriorityHashText(**priority_, out);
    children_.forEach([&](const std::string& key, const FNodePtr& child) {
        out += ':';
        out += key;
        out += ':';
        child->appendDataHash(out);
        return true;
    });
}

// ----- shared nodes

// The shared nodes are never destroyed: the database's queues may still run
// on other threads while the process exits, and a node destroyed by the
// exit handlers would be freed under them when their last reference goes.
const FNodePtr& FEmptyNode::emptyNode() {
    static const FNodePtr& kEmpty = *new FNodePtr(std::make_shared<const FChildrenNode>());
    return kEmpty;
}

const FNodePtr& FMaxNode::maxNode() {
    static const FNodePtr& kMax = *new FNodePtr(std::make_shared<const FMaxNode>());
    return kMax;
}
