#include "database/sync/FCompoundHash.h"

#include <cmath>
#include <cstring>

#include "database/model/FSnapshotUtilities.h"
#include "database/model/FStringUtilities.h"
#include "FCompoundHashText.h"
#include "platform/error.h"

namespace {

using namespace fcompoundhash;

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

void walk(const FNode& node, FCompoundHashBuilder& builder) {
    if (node.isLeafNode()) {
        builder.processLeaf(static_cast<const FLeafNode&>(node));
        return;
    }
    // Every node that is not a leaf is a children node. Each child is
    // walked once its next sibling is known, and that sibling is fetched
    // into the cache meanwhile: a large tree's nodes are scattered in memory.
    forEachChildAndPriorityPrefetched(static_cast<const FChildrenNode&>(node),
                                      [&](const std::string& key, const FNode& child) {
                                          builder.startChild(key);
                                          walk(child, builder);
                                          builder.endChild();
                                      });
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
    if (const auto* sizeSplit = splitStrategy.target<SizeSplit>()) {
        std::vector<FPath> posts;
        std::vector<std::string> hashes;
        if (hashOnThreads(*node, sizeSplit->threshold, posts, hashes)) {
            return FCompoundHash(std::move(posts), std::move(hashes));
        }
    }
    FCompoundHashBuilder builder(splitStrategy);
    processNode(node, builder);
    builder.finishHashing();
    return FCompoundHash(builder.currentPaths(), builder.currentHashes());
}

void FCompoundHash::processNode(const FNodePtr& node, FCompoundHashBuilder& builder) { walk(*node, builder); }
