#pragma once
// The hash of a large cached tree cut into consecutive ranges in key order:
// the range boundaries (posts, the path of each range's last leaf) and one
// hash per range, plus an empty hash for everything after the last post.
// The builder walks the tree once, writing each range as self-contained
// nested text and closing a range when the split strategy says so.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "database/model/FNode.h"
#include "database/model/FPath.h"

class FCompoundHashBuilder;
using FCompoundHashSplitStrategy = std::function<bool(const FCompoundHashBuilder& builder)>;

class FCompoundHashBuilder {
public:
    explicit FCompoundHashBuilder(FCompoundHashSplitStrategy splitStrategy);

    bool isBuildingRange() const { return building_; }
    // Length of the range text in UTF-16 code units (counted on demand).
    size_t currentHashLength() const;
    // Its length in UTF-8 bytes, never less than the UTF-16 length: a cheap
    // first test against a threshold.
    size_t currentHashByteLength() const { return text_.size(); }
    // The path of the first `currentPathDepth` keys.
    FPath currentPath() const { return currentPathWithDepth(currentPathDepth_); }
    FPath currentPathWithDepth(int64_t depth) const;
    // The last key of the current path; nullptr at the root.
    const std::string* currentPathBack() const;
    void enumerateCurrentPathToDepth(int64_t depth, const std::function<void(const std::string& key)>& block) const;

    static void appendKey(std::string_view key, std::string& out);
    void ensureRange();
    void processLeaf(const FLeafNode& leaf);
    void startChild(const std::string& key);
    void endChild();
    void endRange();
    void finishHashing();

    int64_t currentPathDepth() const { return currentPathDepth_; }
    const std::vector<FPath>& currentPaths() const { return currentPaths_; }
    const std::vector<std::string>& currentHashes() const { return currentHashes_; }

private:
    // The range text; kept allocated between ranges. A vector, whose appends
    // are inlined: a range is written a few bytes at a time.
    std::vector<char> text_;
    bool building_ = false;
    // UTF-16 units of the first `countedBytes_` bytes of the text.
    mutable size_t countedUnits_ = 0;
    mutable size_t countedBytes_ = 0;
    // Keys from the root; entries past the current depth are stale, and a
    // post may still read them, so they are copies.
    std::vector<std::string> currentPath_;
    int64_t lastLeafDepth_ = -1;
    int64_t currentPathDepth_ = 0;
    bool needsComma_ = true;
    FCompoundHashSplitStrategy splitStrategy_;
    // The threshold when the strategy is the simple size rule (run inline);
    // 0 otherwise.
    uint64_t sizeSplitThreshold_ = 0;
    std::vector<FPath> currentPaths_;
    std::vector<std::string> currentHashes_;
};

class FCompoundHash {
public:
    // Raises NSInvalidArgumentException "Number of posts need to be n-1 for n
    // hashes in FCompoundHash" unless there is one more hash than posts.
    FCompoundHash(std::vector<FPath> posts, std::vector<std::string> hashes);

    static FCompoundHash fromNode(const FNodePtr& node);
    static FCompoundHash fromNode(const FNodePtr& node, const FCompoundHashSplitStrategy& splitStrategy);
    // Closes a range once its text is longer than max(512, sqrt(size x 100)),
    // never right after a priority.
    static FCompoundHashSplitStrategy simpleSizeSplitStrategyForNode(const FNodePtr& node);
    // The same for a node whose size estimate is already known.
    static FCompoundHashSplitStrategy simpleSizeSplitStrategyForSize(uint64_t estimatedNodeSize);
    // The size estimate of +[FSnapshotUtilities estimateSerializedNodeSize:]:
    // hashing a large tree starts with it, and children nodes keep theirs.
    static uint64_t estimateSerializedSize(const FNode& node);
    // The walk: leaves to the builder, children (and the priority) in key order.
    static void processNode(const FNodePtr& node, FCompoundHashBuilder& builder);

    const std::vector<FPath>& posts() const { return posts_; }
    const std::vector<std::string>& hashes() const { return hashes_; }

private:
    std::vector<FPath> posts_;
    std::vector<std::string> hashes_;
};
