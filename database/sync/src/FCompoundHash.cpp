#include "database/sync/FCompoundHash.h"

#include <cmath>

#include "database/model/FSnapshotUtilities.h"
#include "database/model/FStringUtilities.h"
#include "platform/error.h"

namespace {

const std::string kPriorityKey = ".priority";

// UTF-16 code units of UTF-8 text: one per character, two for those outside
// the Basic Multilingual Plane (four-byte sequences).
size_t utf16Units(std::string_view text) {
    size_t units = 0;
    for (unsigned char c : text) units += size_t((c & 0xC0) != 0x80) + size_t(c >= 0xF0);
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

void walk(const FNode& node, FCompoundHashBuilder& builder) {
    if (node.isLeafNode()) {
        builder.processLeaf(static_cast<const FLeafNode&>(node));
        return;
    }
    // Every node that is not a leaf is a children node.
    forEachChildAndPriority(static_cast<const FChildrenNode&>(node), [&](const std::string& key, const FNode& child) {
        builder.startChild(key);
        walk(child, builder);
        builder.endChild();
    });
}

}  // namespace

FCompoundHashBuilder::FCompoundHashBuilder(FCompoundHashSplitStrategy splitStrategy)
    : splitStrategy_(std::move(splitStrategy)) {}

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
        countedUnits_ += utf16Units(std::string_view(text_).substr(countedBytes_));
        countedBytes_ = text_.size();
    }
    return countedUnits_;
}

void FCompoundHashBuilder::appendKey(std::string_view key, std::string& out) {
    // As +[FSnapshotUtilities appendHashV2RepresentationForString:], copying
    // the runs between characters that need a backslash in one go.
    out += '"';
    size_t start = 0;
    for (size_t i = 0; i < key.size(); ++i) {
        if (key[i] == '\\' || key[i] == '"') {
            out.append(key.data() + start, i - start);
            out += '\\';
            start = i;
        }
    }
    out.append(key.data() + start, key.size() - start);
    out += '"';
}

void FCompoundHashBuilder::ensureRange() {
    if (building_) return;
    building_ = true;
    text_.clear();
    countedUnits_ = 0;
    countedBytes_ = 0;
    text_ += '(';
    for (int64_t i = 0; i < currentPathDepth_; ++i) {
        appendKey(currentPath_[size_t(i)], text_);
        text_ += ":(";
    }
    needsComma_ = false;
}

void FCompoundHashBuilder::processLeaf(const FLeafNode& leaf) {
    ensureRange();
    lastLeafDepth_ = currentPathDepth_;
    FSnapshotUtilities::appendHashRepresentationForLeafNode(leaf, text_, FDataHashVersion1);
    needsComma_ = true;
    if (splitStrategy_ && splitStrategy_(*this)) endRange();
}

void FCompoundHashBuilder::startChild(const std::string& key) {
    ensureRange();
    if (needsComma_) text_ += ',';
    appendKey(key, text_);
    text_ += ":(";
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
    if (building_) text_ += ')';
    needsComma_ = true;
}

void FCompoundHashBuilder::endRange() {
    text_.append(size_t(currentPathDepth_ + 1), ')');
    currentPaths_.push_back(currentPathWithDepth(lastLeafDepth_));
    currentHashes_.push_back(FStringUtilities::base64EncodedSha1(text_));
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
    if (node.isEmpty()) return 4;
    if (node.isLeafNode()) {
        const auto& leaf = static_cast<const FLeafNode&>(node);
        uint64_t size = leaf.isBool() ? 4 : leaf.isNumber() ? 8 : utf16Units(leaf.stringValue()) + 2;
        const FNode& priority = leaf.priorityNode();
        if (!priority.isEmpty()) size += 24 + estimateSerializedSize(priority);
        return size;
    }
    uint64_t size = 1;
    forEachChildAndPriority(static_cast<const FChildrenNode&>(node), [&](const std::string& key, const FNode& child) {
        size += utf16Units(key) + 4 + estimateSerializedSize(child);
    });
    return size;
}

FCompoundHashSplitStrategy FCompoundHash::simpleSizeSplitStrategyForNode(const FNodePtr& node) {
    return simpleSizeSplitStrategyForSize(estimateSerializedSize(*node));
}

FCompoundHashSplitStrategy FCompoundHash::simpleSizeSplitStrategyForSize(uint64_t estimatedNodeSize) {
    uint64_t splitThreshold = std::max<uint64_t>(512, uint64_t(std::sqrt(double(estimatedNodeSize * 100))));
    return [splitThreshold](const FCompoundHashBuilder& builder) {
        // UTF-16 units never outnumber bytes: most calls end at the first test.
        if (builder.currentHashByteLength() <= splitThreshold) return false;
        const std::string* back = builder.currentPathBack();
        return builder.currentHashLength() > splitThreshold && (!back || *back != kPriorityKey);
    };
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
