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
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80) units += 1;
        if (c >= 0xF0) units += 1;
    }
    return units;
}

}  // namespace

FCompoundHashBuilder::FCompoundHashBuilder(FCompoundHashSplitStrategy splitStrategy)
    : splitStrategy_(std::move(splitStrategy)) {}

FPath FCompoundHashBuilder::currentPathWithDepth(int64_t depth) const {
    if (depth <= 0) return FPath::empty();
    return FPath(std::vector<std::string>(currentPath_.begin(), currentPath_.begin() + depth), 0);
}

const std::string* FCompoundHashBuilder::currentPathBack() const {
    return currentPathDepth_ > 0 ? &currentPath_[size_t(currentPathDepth_ - 1)] : nullptr;
}

void FCompoundHashBuilder::enumerateCurrentPathToDepth(int64_t depth,
                                                       const std::function<void(const std::string&)>& block) const {
    for (int64_t i = 0; i < depth; ++i) block(currentPath_[size_t(i)]);
}

void FCompoundHashBuilder::append(std::string_view text) {
    optHashValueBuilder_->append(text);
    currentHashLength16_ += utf16Units(text);
}

void FCompoundHashBuilder::appendKey(const std::string& key, std::string& out) {
    FSnapshotUtilities::appendHashV2RepresentationForString(key, out);
}

void FCompoundHashBuilder::ensureRange() {
    if (isBuildingRange()) return;
    optHashValueBuilder_.emplace();
    currentHashLength16_ = 0;
    append("(");
    std::string keys;
    for (int64_t i = 0; i < currentPathDepth_; ++i) {
        appendKey(currentPath_[size_t(i)], keys);
        keys += ":(";
    }
    append(keys);
    needsComma_ = false;
}

void FCompoundHashBuilder::processLeaf(const FLeafNode& leaf) {
    ensureRange();
    lastLeafDepth_ = currentPathDepth_;
    std::string text;
    FSnapshotUtilities::appendHashRepresentationForLeafNode(leaf, text, FDataHashVersion1);
    append(text);
    needsComma_ = true;
    if (splitStrategy_ && splitStrategy_(*this)) endRange();
}

void FCompoundHashBuilder::startChild(const std::string& key) {
    ensureRange();
    std::string text;
    if (needsComma_) text += ",";
    appendKey(key, text);
    text += ":(";
    append(text);
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
    if (isBuildingRange()) append(")");
    needsComma_ = true;
}

void FCompoundHashBuilder::endRange() {
    append(std::string(size_t(currentPathDepth_ + 1), ')'));
    currentPaths_.push_back(currentPathWithDepth(lastLeafDepth_));
    currentHashes_.push_back(FStringUtilities::base64EncodedSha1(*optHashValueBuilder_));
    optHashValueBuilder_.reset();
    currentHashLength16_ = 0;
}

void FCompoundHashBuilder::finishHashing() {
    if (isBuildingRange()) endRange();
    currentHashes_.emplace_back();
}

FCompoundHash::FCompoundHash(std::vector<FPath> posts, std::vector<std::string> hashes)
    : posts_(std::move(posts)), hashes_(std::move(hashes)) {
    if (posts_.size() + 1 != hashes_.size()) {
        throw ns::Exception(ns::kInvalidArgumentException,
                            "Number of posts need to be n-1 for n hashes in FCompoundHash");
    }
}

FCompoundHashSplitStrategy FCompoundHash::simpleSizeSplitStrategyForNode(const FNodePtr& node) {
    uint64_t estimatedNodeSize = FSnapshotUtilities::estimateSerializedNodeSize(node);
    uint64_t splitThreshold = std::max<uint64_t>(512, uint64_t(std::sqrt(double(estimatedNodeSize * 100))));
    return [splitThreshold](const FCompoundHashBuilder& builder) {
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

void FCompoundHash::processNode(const FNodePtr& node, FCompoundHashBuilder& builder) {
    if (node->isLeafNode()) {
        builder.processLeaf(static_cast<const FLeafNode&>(*node));
        return;
    }
    auto* children = dynamic_cast<const FChildrenNode*>(node.get());
    if (!children) return;
    children->enumerateChildrenAndPriority([&](const std::string& key, const FNodePtr& child, bool&) {
        builder.startChild(key);
        processNode(child, builder);
        builder.endChild();
    });
}
