#include "database/sync/FCompoundHash.h"

#include <cmath>
#include <cstring>

#include "database/model/FSnapshotUtilities.h"
#include "database/model/FStringUtilities.h"
#include "platform/error.h"

namespace {

const std::string kPriorityKey = ".priority";

// UTF-16 code units of UTF-8 text: one per character, two for those outside
// the Basic Multilingual Plane (four-byte sequences).
size_t utf8LeadUnits(unsigned char c) { return size_t((c & 0xC0) != 0x80) + size_t(c >= 0xF0); }

size_t utf16Units(std::string_view text) {
    size_t units = 0;
    size_t i = 0;
    // Runs of ASCII eight bytes at a time.
    for (; i + 8 <= text.size(); i += 8) {
        uint64_t word;
        std::memcpy(&word, text.data() + i, 8);
        if ((word & 0x8080808080808080ULL) == 0) {
            units += 8;
            continue;
        }
        for (size_t j = i; j < i + 8; ++j) units += utf8LeadUnits(static_cast<unsigned char>(text[j]));
    }
    for (; i < text.size(); ++i) units += utf8LeadUnits(static_cast<unsigned char>(text[i]));
    return units;
}

bool sortsAfterPriority(const std::string& key) { return FUtilities::compareKey(key, kPriorityKey) > 0; }

// Children in key order with the priority at its key-order place: before
// the first child whose key sorts after ".priority", not at all when none does.
template <class F>
void forEachChildAndPriority(const FChildrenNode& node, F&& f) {
    const FNode& priority = node.priorityNode();
    bool pending = !priority.isEmpty();
    node.children().forEach([&](const std::string& key, const FNodePtr& child) {
        if (pending && sortsAfterPriority(key)) {
            pending = false;
            f(kPriorityKey, priority);
        }
        f(key, *child);
        return true;
    });
}

// The simple size rule: close a range once its text is longer than the
// threshold in UTF-16 units, never right after a priority. A builder given
// this rule runs it inline rather than through the function object.
bool exceedsSize(const FCompoundHashBuilder& builder, uint64_t threshold) {
    // UTF-16 units never outnumber bytes: most calls end at the first test.
    if (builder.currentHashByteLength() <= threshold) return false;
    const std::string* back = builder.currentPathBack();
    return builder.currentHashLength() > threshold && (!back || *back != kPriorityKey);
}

struct SizeSplit {
    uint64_t threshold;
    bool operator()(const FCompoundHashBuilder& builder) const { return exceedsSize(builder, threshold); }
};

// Range text writers: appends to the range text that the compiler inlines
// (a range is written a few bytes at a time).
using RangeText = std::vector<char>;

void put(RangeText& text, std::string_view bytes) { text.insert(text.end(), bytes.begin(), bytes.end()); }

// As +[FSnapshotUtilities appendHashV2RepresentationForString:].
void putQuoted(RangeText& text, std::string_view str) {
    text.push_back('"');
    size_t start = 0;
    for (size_t i = 0; i < str.size(); ++i) {
        if (str[i] == '\\' || str[i] == '"') {
            put(text, str.substr(start, i - start));
            text.push_back('\\');
            start = i;
        }
    }
    put(text, str.substr(start));
    text.push_back('"');
}

// The leaf's version 1 hash text, as +[FSnapshotUtilities
// appendHashRepresentationForLeafNode:] writes it (which writes the rare
// leaves with a priority, and raises for what cannot be hashed).
void putLeaf(RangeText& text, const FLeafNode& leaf) {
    if (!leaf.priorityNode().isEmpty()) {
        std::string out;
        FSnapshotUtilities::appendHashRepresentationForLeafNode(leaf, out, FDataHashVersion1);
        put(text, out);
    } else if (leaf.isBool()) {
        put(text, leaf.boolValue() ? "boolean:true" : "boolean:false");
    } else if (leaf.isNumber()) {
        const double d = leaf.doubleValue();
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        static const char kHex[] = "0123456789abcdef";
        char digits[16];
        for (int i = 15; i >= 0; --i, bits >>= 4) digits[i] = kHex[bits & 0xF];
        put(text, "number:");
        put(text, std::string_view(digits, 16));
    } else {
        put(text, "string:");
        putQuoted(text, leaf.stringValue());
    }
}

void walk(const FNode& node, FCompoundHashBuilder& builder) {
    if (node.isLeafNode()) {
        builder.processLeaf(static_cast<const FLeafNode&>(node));
        return;
    }
    // Every node that is not a leaf is a children node. Each child is
    // walked once its next sibling is known, and that sibling is fetched
    // into the cache meanwhile: a large tree's nodes are scattered in memory.
    const std::string* key = nullptr;
    const FNode* child = nullptr;
    auto walkChild = [&] {
        builder.startChild(*key);
        walk(*child, builder);
        builder.endChild();
    };
    forEachChildAndPriority(static_cast<const FChildrenNode&>(node), [&](const std::string& nextKey, const FNode& next) {
        __builtin_prefetch(&next);
        if (child) walkChild();
        key = &nextKey;
        child = &next;
    });
    if (child) walkChild();
}

}  // namespace

FCompoundHashBuilder::FCompoundHashBuilder(FCompoundHashSplitStrategy splitStrategy)
    : splitStrategy_(std::move(splitStrategy)) {
    if (const auto* sizeSplit = splitStrategy_.target<SizeSplit>()) sizeSplitThreshold_ = sizeSplit->threshold;
}

FPath FCompoundHashBuilder::currentPathWithDepth(int64_t depth) const {
    if (depth <= 0) return FPath::empty();
    std::vector<std::string> keys;
    keys.reserve(size_t(depth));
    for (int64_t i = 0; i < depth; ++i) keys.push_back(currentPath_[size_t(i)]);
    return FPath(std::move(keys), 0);
}

const std::string* FCompoundHashBuilder::currentPathBack() const {
    return currentPathDepth_ > 0 ? &currentPath_[size_t(currentPathDepth_ - 1)] : nullptr;
}

void FCompoundHashBuilder::enumerateCurrentPathToDepth(int64_t depth,
                                                       const std::function<void(const std::string&)>& block) const {
    for (int64_t i = 0; i < depth; ++i) block(currentPath_[size_t(i)]);
}

size_t FCompoundHashBuilder::currentHashLength() const {
    if (countedBytes_ < text_.size()) {
        countedUnits_ += utf16Units(std::string_view(text_.data() + countedBytes_, text_.size() - countedBytes_));
        countedBytes_ = text_.size();
    }
    return countedUnits_;
}

void FCompoundHashBuilder::appendKey(std::string_view key, std::string& out) {
    FSnapshotUtilities::appendHashV2RepresentationForString(key, out);
}

void FCompoundHashBuilder::ensureRange() {
    if (building_) return;
    building_ = true;
    text_.clear();
    countedUnits_ = 0;
    countedBytes_ = 0;
    text_.push_back('(');
    for (int64_t i = 0; i < currentPathDepth_; ++i) {
        putQuoted(text_, currentPath_[size_t(i)]);
        put(text_, ":(");
    }
    needsComma_ = false;
}

void FCompoundHashBuilder::processLeaf(const FLeafNode& leaf) {
    ensureRange();
    lastLeafDepth_ = currentPathDepth_;
    putLeaf(text_, leaf);
    needsComma_ = true;
    const bool split =
        sizeSplitThreshold_ != 0 ? exceedsSize(*this, sizeSplitThreshold_) : splitStrategy_ && splitStrategy_(*this);
    if (split) endRange();
}

void FCompoundHashBuilder::startChild(const std::string& key) {
    ensureRange();
    if (needsComma_) text_.push_back(',');
    putQuoted(text_, key);
    put(text_, ":(");
    if (size_t(currentPathDepth_) == currentPath_.size()) {
        currentPath_.push_back(key);
    } else {
        currentPath_[size_t(currentPathDepth_)] = key;
    }
    currentPathDepth_ += 1;
    needsComma_ = false;
}

void FCompoundHashBuilder::endChild() {
    currentPathDepth_ -= 1;
    if (building_) text_.push_back(')');
    needsComma_ = true;
}

void FCompoundHashBuilder::endRange() {
    text_.insert(text_.end(), size_t(currentPathDepth_ + 1), ')');
    currentPaths_.push_back(currentPathWithDepth(lastLeafDepth_));
    currentHashes_.push_back(FStringUtilities::base64EncodedSha1(std::string_view(text_.data(), text_.size())));
    building_ = false;
    text_.clear();
    countedUnits_ = 0;
    countedBytes_ = 0;
}

void FCompoundHashBuilder::finishHashing() {
    if (building_) endRange();
    currentHashes_.emplace_back();
}

FCompoundHash::FCompoundHash(std::vector<FPath> posts, std::vector<std::string> hashes)
    : posts_(std::move(posts)), hashes_(std::move(hashes)) {
    if (posts_.size() + 1 != hashes_.size()) {
        throw ns::Exception(ns::kInvalidArgumentException,
                            "Number of posts need to be n-1 for n hashes in FCompoundHash");
    }
}

uint64_t FCompoundHash::estimateSerializedSize(const FNode& node) {
    return FSnapshotUtilities::estimateSerializedNodeSize(node);
}

FCompoundHashSplitStrategy FCompoundHash::simpleSizeSplitStrategyForNode(const FNodePtr& node) {
    return simpleSizeSplitStrategyForSize(estimateSerializedSize(*node));
}

FCompoundHashSplitStrategy FCompoundHash::simpleSizeSplitStrategyForSize(uint64_t estimatedNodeSize) {
    return SizeSplit{std::max<uint64_t>(512, uint64_t(std::sqrt(double(estimatedNodeSize * 100))))};
}

FCompoundHash FCompoundHash::fromNode(const FNodePtr& node) {
    return fromNode(node, simpleSizeSplitStrategyForNode(node));
}

FCompoundHash FCompoundHash::fromNode(const FNodePtr& node, const FCompoundHashSplitStrategy& splitStrategy) {
    if (node->isEmpty()) return FCompoundHash({}, {""});
    FCompoundHashBuilder builder(splitStrategy);
    processNode(node, builder);
    builder.finishHashing();
    return FCompoundHash(builder.currentPaths(), builder.currentHashes());
}

void FCompoundHash::processNode(const FNodePtr& node, FCompoundHashBuilder& builder) { walk(*node, builder); }
