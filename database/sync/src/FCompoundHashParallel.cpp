// A large tree's compound hash on several threads. The ranges depend on one
// another (each closes where its own text passes the threshold), so the work
// goes in three steps that give the builder's bytes:
//   1. the tree, cut into segments of consecutive children, is measured on
//      the threads: at each leaf, the length of the text so far as if no
//      range closed, and where a range starting after it would begin; a
//      subtree measured by an earlier hash counts as one leaf, its last;
//   2. the leaves that close a range are found in order from those lengths
//      alone, walking such a subtree leaf by leaf where one closes in it;
//   3. each segment is walked again on the threads as the builder walks it,
//      closing ranges at those leaves; the text of a range that spans
//      segments is put together from their ends.
// Nothing holds more than a few ranges' text at once: fresh memory is what a
// text of tens of megabytes would cost most.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>

#include "FCompoundHashText.h"
#include "database/model/FStringUtilities.h"
#include "platform/parallel.h"

namespace fcompoundhash {
namespace {

// A tree of fewer ranges is hashed in one walk: the threads and the second
// pass over its text would cost more than they save.
constexpr uint64_t kMinRanges = 32;
// The children of a node with more than this many are not measured one by
// one (each a load from scattered memory): each weighs the node's average.
constexpr size_t kMeasuredChildren = 256;
constexpr int kMaxOpenDepth = 8;
// Segments per thread, so that uneven ones even out: with four, a thread
// waited for the last one a fifth of a million-leaf tree's measuring; a
// range spanning segments, joined and hashed at the end, costs far less.
constexpr size_t kSegmentsPerThread = 16;

// The walk as a list: a large node opens, its children follow, it closes;
// every other child is walked whole by the segment holding it.
struct Item {
    enum Kind : uint8_t { kOpen, kClose, kChild };
    Kind kind;
    const std::string* key;
    const FNode* node;
    uint64_t weight;
};

// Hands a segment's items in order to `open`, `close` and `child`, fetching
// the next node ahead: both walks over a segment go through here.
template <class Open, class Close, class Child>
void walkItems(const std::vector<Item>& items, Open&& open, Close&& close, Child&& child) {
    for (size_t i = 0; i < items.size(); ++i) {
        if (i + 1 < items.size() && items[i + 1].node) __builtin_prefetch(items[i + 1].node);
        const Item& item = items[i];
        if (item.kind == Item::kOpen) {
            open(*item.key);
        } else if (item.kind == Item::kClose) {
            close();
        } else {
            child(*item.key, *item.node);
        }
    }
}

// A leaf, or a subtree measured whole (see Summary): the segment's unbroken
// text length in UTF-16 units right after its leaf (its last one), the top
// bit set for a priority; where a range starting after that leaf would
// begin, less its path prefix (kNoBase when that is in a later segment); the
// index of its (first) leaf in the segment; and, for a subtree, its place in
// the segment's subtrees plus one.
struct Mark {
    uint32_t unitsEnd;
    int32_t base;
    uint32_t firstLeaf;
    uint32_t subtree;
};
constexpr uint32_t kPriorityBit = 1u << 31;
constexpr int32_t kNoBase = INT32_MIN;

// A subtree a segment measured whole: where its children's text begins in
// the segment, and the length of the path prefix there.
struct Subtree {
    const FChildrenNode* node;
    uint32_t unitsStart;
    uint32_t prefix;
};

// What a measured children node keeps (FChildrenNode's range text summary)
// when every leaf under it may close a range: no priority and no empty node
// anywhere below. The length of its children's text, its leaves, and the
// brackets closing after the last of them; they do not depend on where the
// node lies, so a tree sharing it, or measured again, reads them instead of
// walking its leaves. They share 32 bits, enough for a record of a few
// hundred leaves; a larger subtree keeps nothing, and its records their own.
struct Summary {
    static constexpr int kUnitBits = 20;
    static constexpr int kLeafBits = 8;
    static constexpr int kClosingBits = 3;
    static constexpr uint32_t kKept = 1u << 31;

    uint64_t units = 0;
    uint64_t leaves = 0;
    uint64_t closing = 0;

    uint32_t packed() const {
        if (leaves == 0 || units >> kUnitBits || leaves >> kLeafBits || closing >> kClosingBits) return 0;
        return kKept | uint32_t(units << (kLeafBits + kClosingBits) | leaves << kClosingBits | closing);
    }
    static bool unpack(uint32_t kept, Summary& out) {
        if (!(kept & kKept)) return false;
        out.units = (kept >> (kLeafBits + kClosingBits)) & ((1u << kUnitBits) - 1);
        out.leaves = (kept >> kClosingBits) & ((1u << kLeafBits) - 1);
        out.closing = kept & ((1u << kClosingBits) - 1);
        return true;
    }
};

struct Segment {
    std::vector<Item> items;
    std::vector<const std::string*> openPath;
    bool needsComma = false;
    uint64_t weight = 0;
    std::exception_ptr fault;

    // Step 1.
    std::vector<Mark> marks;
    std::vector<Subtree> subtrees;
    // The base of a range starting at the segment's first key, when no mark
    // of the segment comes before it.
    bool startsBeforeLeaves = false;
    int64_t firstBase = 0;
    uint64_t units = 0;
    uint64_t unitsBefore = 0;
    // What the one walk does differently: an empty child (a key written
    // with no leaf under it), or lengths past 31 bits.
    bool unusual = false;

    // Step 2.
    bool buildingAtStart = false;
    std::vector<uint32_t> splits;
    size_t firstRange = 0;

    // Step 3: the text closing a range begun in an earlier segment, the
    // text of the range still open at the end, and the ranges in between.
    RangeText head;
    RangeText tail;
    bool buildingAtEnd = false;
    std::vector<std::string> hashes;
    std::vector<FPath> posts;
    FPath lastLeafPath;
};

// Step 1: the lengths, counted as the builder would write the text. A
// children node measured before is one mark; the others are walked leaf by
// leaf, and keep what was measured of them.
class LengthWalker {
public:
    explicit LengthWalker(Segment& segment) : marks_(segment.marks), s_(&segment) {
        marks_.reserve(segment.items.size() + 16);
        prefix_.push_back(1);
        for (const std::string* key : segment.openPath) prefix_.push_back(prefix_.back() + quotedUnits(*key) + 2);
        needsComma_ = segment.needsComma;
    }

    // A subtree step 1 measured whole, leaf by leaf, as its segment would
    // have: the marks of its leaves (the last one's base left to the caller).
    LengthWalker(std::vector<Mark>& marks, const Subtree& subtree) : marks_(marks), units_(subtree.unitsStart) {
        prefix_.push_back(subtree.prefix);
        forEachChildAndPriorityPrefetched(*subtree.node, [&](const std::string& key, const FNode& next) { child(key, next); });
    }

    void run() {
        walkItems(
            s_->items, [&](const std::string& key) { start(key); }, [&] { close(); },
            [&](const std::string& key, const FNode& node) { child(key, node); });
        s_->units = units_;
        s_->unusual = s_->unusual || units_ >= kPriorityBit;
    }

private:
    void start(const std::string& key) {
        units_ += size_t(needsComma_);
        keyStarts();
        const uint64_t keyUnits = quotedUnits(key) + 2;
        units_ += keyUnits;
        prefix_.push_back(prefix_.back() + keyUnits);
        needsComma_ = false;
    }

    // A key starts here: the base of a range starting at it.
    void keyStarts() {
        const int64_t base = int64_t(units_) - int64_t(prefix_.back());
        if (pendingLeaf_) {
            marks_.back().base = int32_t(base);
            pendingLeaf_ = false;
        } else if (s_ && marks_.empty() && !s_->startsBeforeLeaves) {
            s_->startsBeforeLeaves = true;
            s_->firstBase = base;
        }
    }

    void close() {
        units_ += 1;
        prefix_.pop_back();
        needsComma_ = true;
        ++closing_;
    }

    void child(const std::string& key, const FNode& node) {
        start(key);
        if (node.isLeafNode()) {
            leaf(key, static_cast<const FLeafNode&>(node));
        } else {
            children(static_cast<const FChildrenNode&>(node));
        }
        close();
    }

    void leaf(const std::string& key, const FLeafNode& node) {
        units_ += leafUnits(node);
        const bool priority = key == kPriorityKey;
        odd_ += priority;
        marks_.push_back({uint32_t(units_ & (kPriorityBit - 1)) | (priority ? kPriorityBit : 0), kNoBase, leaves_, 0});
        ++leaves_;
        pendingLeaf_ = true;
        closing_ = 0;
    }

    void children(const FChildrenNode& node) {
        Summary summary;
        if (s_ && Summary::unpack(node.keptRangeTextSummary(), summary)) return measured(node, summary);
        const uint64_t unitsBefore = units_;
        const uint32_t leavesBefore = leaves_;
        const uint64_t oddBefore = odd_;
        if (node.isEmpty()) {
            ++odd_;
            if (s_) s_->unusual = true;
        }
        forEachChildAndPriorityPrefetched(node, [&](const std::string& key, const FNode& next) { child(key, next); });
        if (s_ && odd_ == oddBefore) {
            summary.units = units_ - unitsBefore;
            summary.leaves = leaves_ - leavesBefore;
            summary.closing = closing_;
            node.keepRangeTextSummary(summary.packed());
        }
    }

    // A subtree measured before: one mark at its last leaf.
    void measured(const FChildrenNode& node, const Summary& summary) {
        s_->subtrees.push_back({&node, uint32_t(std::min<uint64_t>(units_, kPriorityBit)), uint32_t(prefix_.back())});
        units_ += summary.units;
        const uint64_t lastLeafEnd = units_ - summary.closing;
        marks_.push_back({uint32_t(lastLeafEnd & (kPriorityBit - 1)), kNoBase, leaves_, uint32_t(s_->subtrees.size())});
        leaves_ += uint32_t(summary.leaves);
        pendingLeaf_ = true;
        closing_ = summary.closing;
    }

    uint64_t leafUnits(const FLeafNode& leaf) {
        if (!leaf.priorityNode().isEmpty()) {
            scratch_.clear();
            putLeaf(scratch_, leaf);
            return utf16Units(std::string_view(scratch_.data(), scratch_.size()));
        }
        if (leaf.isBool()) return leaf.boolValue() ? 12 : 13;
        if (leaf.isNumber()) return 23;
        return 7 + quotedUnits(leaf.stringValue());
    }

    std::vector<Mark>& marks_;
    Segment* s_ = nullptr;  // null when walking a measured subtree again
    std::vector<uint64_t> prefix_;
    uint64_t units_ = 0;
    uint32_t leaves_ = 0;
    // Priorities and empty nodes met: a subtree holding any keeps nothing.
    uint64_t odd_ = 0;
    // Brackets closed since the last leaf.
    uint64_t closing_ = 0;
    bool needsComma_ = false;
    bool pendingLeaf_ = false;
    RangeText scratch_;
};

// Cuts the walk into segments of about equal weight while it lists it, and
// hands each over as soon as it is complete: the threads measure the first
// segments while the rest of a large node's children are still being listed.
class Planner {
public:
    Planner(size_t count, uint64_t total) : segments_(count), step_(std::max<uint64_t>(total / count, 1)) {}

    void plan(const FChildrenNode& root) {
        try {
            planChildren(root, step_ / 2, 0);
        } catch (...) {
            finish();
            throw;
        }
        finish();
    }

    // The next segment to write, waiting for it to be listed; nullptr once
    // every segment is taken.
    Segment* next() {
        const size_t i = taken_.fetch_add(1);
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return published_ > i || done_; });
        return i < published_ ? &segments_[i] : nullptr;
    }

    std::vector<Segment> segments() {
        segments_.resize(published_);
        return std::move(segments_);
    }

private:
    void planChildren(const FChildrenNode& node, uint64_t chunk, int depth) {
        const size_t count = node.children().count();
        const bool measured = count <= kMeasuredChildren;
        const uint64_t average = FSnapshotUtilities::estimateSerializedNodeSize(node) / std::max<size_t>(count, 1);
        forEachChildAndPriority(node, [&](const std::string& key, const FNode& child) {
            const uint64_t weight = measured ? FSnapshotUtilities::estimateSerializedNodeSize(child) : average;
            if (measured && weight > chunk && depth < kMaxOpenDepth && !child.isLeafNode() && !child.isEmpty()) {
                add({Item::kOpen, &key, &child, 0});
                planChildren(static_cast<const FChildrenNode&>(child), chunk, depth + 1);
                add({Item::kClose, nullptr, nullptr, 0});
            } else {
                add({Item::kChild, &key, &child, weight});
            }
        });
    }

    void add(const Item& item) {
        Segment* segment = &segments_[listed_];
        if (!segment->items.empty() && weight_ >= step_ * (listed_ + 1) && listed_ + 1 < segments_.size()) {
            publish();
            segment = &segments_[++listed_];
            segment->openPath = path_;
            segment->needsComma = needsComma_;
        }
        segment->items.push_back(item);
        segment->weight += item.weight;
        weight_ += item.weight;
        if (item.kind == Item::kOpen) path_.push_back(item.key);
        if (item.kind == Item::kClose) path_.pop_back();
        needsComma_ = item.kind != Item::kOpen;
    }

    void publish() {
        {
            std::lock_guard lock(mutex_);
            published_ = listed_ + 1;
        }
        ready_.notify_all();
    }

    void finish() {
        {
            std::lock_guard lock(mutex_);
            if (!segments_[listed_].items.empty()) published_ = listed_ + 1;
            done_ = true;
        }
        ready_.notify_all();
    }

    std::vector<Segment> segments_;
    const uint64_t step_;
    size_t listed_ = 0;
    uint64_t weight_ = 0;
    std::vector<const std::string*> path_;
    bool needsComma_ = false;
    std::mutex mutex_;
    std::condition_variable ready_;
    size_t published_ = 0;
    bool done_ = false;
    std::atomic<size_t> taken_{0};
};

// One of the process's parallel threads (the first to start, almost always
// the caller) lists the walk while the others measure the segments listed;
// it then measures too. Listing never waits for the measuring, so with no
// thread free the caller lists everything first and then measures it all.
std::vector<Segment> measureSegments(const FChildrenNode& root, unsigned threads, uint64_t size) {
    Planner planner(threads * kSegmentsPerThread, size);
    ns::parallel::run(threads, threads, 1, [&](size_t i) {
        if (i == 0) planner.plan(root);
        while (Segment* segment = planner.next()) {
            try {
                LengthWalker(*segment).run();
            } catch (...) {
                segment->fault = std::current_exception();
            }
        }
    });
    std::vector<Segment> segments = planner.segments();
    for (const Segment& segment : segments) {
        if (segment.fault) std::rethrow_exception(segment.fault);
    }
    return segments;
}

// Step 2: the leaves closing a range, as the size rule finds them.
class SplitFinder {
public:
    SplitFinder(std::vector<Segment>& segments, uint64_t threshold) : segments_(segments), threshold_(threshold) {
        uint64_t units = 0;
        for (Segment& segment : segments_) {
            segment.unitsBefore = units;
            units += segment.units;
        }
    }

    // The number of ranges closed at a leaf; whether one is left open at the end.
    size_t find(bool& openAtEnd) {
        // The first range starts at the first key with the prefix "(".
        int64_t base = -1;
        size_t openFrom = 0;
        Cursor at;
        Split split{};
        size_t ranges = 0;
        size_t marked = 0;  // segments whose start is settled
        while (nextSplit(base, at, split)) {
            markStarts(marked, at.segment, openFrom);
            Segment& s = segments_[at.segment];
            if (s.splits.empty()) s.firstRange = ranges;
            s.splits.push_back(split.leaf);
            ++ranges;
            if (!baseAfter(at.segment, split.baseAfter, base, openFrom)) {
                openAtEnd = false;
                markStarts(marked, segments_.size() - 1, kNone);
                return ranges;
            }
            // On past the leaf: the rest of a measured subtree's first.
            if (s.marks[at.mark].subtree && at.within + 1 < expanded_.size()) {
                ++at.within;
            } else {
                ++at.mark;
                at.within = 0;
            }
        }
        markStarts(marked, segments_.size() - 1, openFrom);
        openAtEnd = true;
        return ranges;
    }

private:
    static constexpr size_t kNone = SIZE_MAX;

    // Where the search goes on: a segment, a mark in it and, in a measured
    // subtree, a leaf of it.
    struct Cursor {
        size_t segment = 0;
        size_t mark = 0;
        size_t within = 0;
    };
    // A leaf closing a range: its index in its segment, and the base of the
    // range starting after it (kNoBase: in a later segment).
    struct Split {
        uint32_t leaf;
        int32_t baseAfter;
    };

    // Segments up to `upTo` start inside the range open since `openFrom`
    // when they come after its first key.
    void markStarts(size_t& marked, size_t upTo, size_t openFrom) {
        for (; marked <= upTo && marked < segments_.size(); ++marked) {
            segments_[marked].buildingAtStart = openFrom != kNone && openFrom < marked;
        }
    }

    // The first leaf from `at` on, not a priority, where the range of this
    // base passes the threshold. A measured subtree it falls in is walked
    // leaf by leaf for it.
    bool nextSplit(int64_t base, Cursor& at, Split& split) {
        for (; at.segment < segments_.size(); ++at.segment, at.mark = 0, at.within = 0) {
            const Segment& s = segments_[at.segment];
            const int64_t limit = int64_t(threshold_) + base - int64_t(s.unitsBefore);
            auto it = std::upper_bound(s.marks.begin() + ptrdiff_t(at.mark), s.marks.end(), limit,
                                       [](int64_t units, const Mark& mark) {
                                           return units < int64_t(mark.unitsEnd & (kPriorityBit - 1));
                                       });
            for (; it != s.marks.end(); ++it) {
                if (it->unitsEnd & kPriorityBit) continue;
                const size_t index = size_t(it - s.marks.begin());
                if (!it->subtree) {
                    at.mark = index;
                    at.within = 0;
                    split = {it->firstLeaf, it->base};
                    return true;
                }
                const std::vector<Mark>& leaves = expand(at.segment, index);
                for (size_t j = index == at.mark ? at.within : 0; j < leaves.size(); ++j) {
                    if (int64_t(leaves[j].unitsEnd) > limit) {
                        at.mark = index;
                        at.within = j;
                        split = {it->firstLeaf + uint32_t(j), j + 1 == leaves.size() ? it->base : leaves[j].base};
                        return true;
                    }
                }
            }
        }
        return false;
    }

    // The marks of the leaves of a measured subtree, kept for the next search.
    const std::vector<Mark>& expand(size_t segment, size_t mark) {
        if (segment != expandedSegment_ || mark != expandedMark_) {
            expanded_.clear();
            const Segment& s = segments_[segment];
            LengthWalker(expanded_, s.subtrees[s.marks[mark].subtree - 1]);
            expandedSegment_ = segment;
            expandedMark_ = mark;
        }
        return expanded_;
    }

    // The base of the range starting after a leaf (`after`, kNoBase when not
    // in its segment), and the segment of its first key; false when the walk
    // ends first.
    bool baseAfter(size_t segment, int32_t after, int64_t& base, size_t& openFrom) const {
        if (after != kNoBase) {
            base = int64_t(segments_[segment].unitsBefore) + after;
            openFrom = segment;
            return true;
        }
        for (size_t next = segment + 1; next < segments_.size(); ++next) {
            if (segments_[next].startsBeforeLeaves) {
                base = int64_t(segments_[next].unitsBefore) + segments_[next].firstBase;
                openFrom = next;
                return true;
            }
        }
        return false;
    }

    std::vector<Segment>& segments_;
    uint64_t threshold_;
    std::vector<Mark> expanded_;
    size_t expandedSegment_ = SIZE_MAX;
    size_t expandedMark_ = SIZE_MAX;
};

// Step 3: a segment walked as the builder walks it, closing its ranges at
// the leaves found.
class RangeWriter {
public:
    explicit RangeWriter(Segment& segment) : s_(segment), path_(segment.openPath) {
        depth_ = path_.size();
        building_ = s_.buildingAtStart;
        inHead_ = building_;
        needsComma_ = s_.needsComma;
    }

    void run() {
        walkItems(
            s_.items, [&](const std::string& key) { startChild(key); }, [&] { endChild(); },
            [&](const std::string& key, const FNode& node) { child(key, node); });
        s_.buildingAtEnd = building_;
        if (building_) (inHead_ ? s_.head : s_.tail) = std::move(text_);
        if (lastLeafDepth_ >= 0) s_.lastLeafPath = pathOf(size_t(lastLeafDepth_));
    }

private:
    void child(const std::string& key, const FNode& node) {
        startChild(key);
        if (node.isLeafNode()) {
            leaf(static_cast<const FLeafNode&>(node));
        } else {
            forEachChildAndPriorityPrefetched(static_cast<const FChildrenNode&>(node),
                                              [&](const std::string& key, const FNode& next) { child(key, next); });
        }
        endChild();
    }

    void ensureRange() {
        if (building_) return;
        building_ = true;
        text_.clear();
        text_.push_back('(');
        for (size_t i = 0; i < depth_; ++i) {
            putQuoted(text_, *path_[i]);
            put(text_, ":(");
        }
        needsComma_ = false;
    }

    void startChild(const std::string& key) {
        ensureRange();
        if (needsComma_) text_.push_back(',');
        putQuoted(text_, key);
        put(text_, ":(");
        if (depth_ == path_.size()) {
            path_.push_back(&key);
        } else {
            path_[depth_] = &key;
        }
        ++depth_;
        needsComma_ = false;
    }

    void endChild() {
        --depth_;
        if (building_) text_.push_back(')');
        needsComma_ = true;
    }

    void leaf(const FLeafNode& leaf) {
        ensureRange();
        lastLeafDepth_ = int64_t(depth_);
        putLeaf(text_, leaf);
        needsComma_ = true;
        if (nextSplit_ < s_.splits.size() && s_.splits[nextSplit_] == leafIndex_) endRange();
        ++leafIndex_;
    }

    void endRange() {
        text_.insert(text_.end(), depth_ + 1, ')');
        s_.posts.push_back(pathOf(size_t(lastLeafDepth_)));
        if (inHead_) {
            s_.head = std::move(text_);
            text_ = RangeText();
            inHead_ = false;
        } else {
            s_.hashes.push_back(FStringUtilities::base64EncodedSha1(std::string_view(text_.data(), text_.size())));
        }
        building_ = false;
        text_.clear();
        ++nextSplit_;
    }

    FPath pathOf(size_t depth) const {
        std::vector<std::string> pieces;
        pieces.reserve(depth);
        for (size_t i = 0; i < depth; ++i) pieces.push_back(*path_[i]);
        return FPath(std::move(pieces), 0);
    }

    Segment& s_;
    // Keys from the root; entries past the depth are stale, as the builder's.
    std::vector<const std::string*> path_;
    size_t depth_ = 0;
    bool building_ = false;
    bool inHead_ = false;
    bool needsComma_ = false;
    int64_t lastLeafDepth_ = -1;
    uint32_t leafIndex_ = 0;
    size_t nextSplit_ = 0;
    RangeText text_;
};

}  // namespace

bool hashOnThreads(const FNode& node, uint64_t threshold, std::vector<FPath>& posts, std::vector<std::string>& hashes) {
    const unsigned threads = ns::parallel::threadCount();
    if (threads < 2 || node.isLeafNode() || node.isEmpty()) return false;
    const uint64_t size = FSnapshotUtilities::estimateSerializedNodeSize(node);
    if (size / kMinRanges < threshold) return false;

    std::vector<Segment> segments = measureSegments(static_cast<const FChildrenNode&>(node), threads, size);
    for (const Segment& segment : segments) {
        if (segment.unusual) return false;
    }
    bool openAtEnd = false;
    const size_t closed = SplitFinder(segments, threshold).find(openAtEnd);
    ns::parallel::run(threads, segments.size(), 1, [&](size_t i) { RangeWriter(segments[i]).run(); });

    // The ranges in order; one that spans segments is their texts joined.
    std::vector<std::string> found(closed + size_t(openAtEnd) + 1);
    std::vector<FPath> foundPosts;
    foundPosts.reserve(found.size());
    RangeText carried;
    for (Segment& s : segments) {
        if (s.buildingAtStart) carried.insert(carried.end(), s.head.begin(), s.head.end());
        if (!s.splits.empty()) {
            size_t range = s.firstRange;
            if (s.buildingAtStart) {
                found[range++] = FStringUtilities::base64EncodedSha1(std::string_view(carried.data(), carried.size()));
            }
            for (std::string& hash : s.hashes) found[range++] = std::move(hash);
            carried = std::move(s.tail);
        } else if (!s.buildingAtStart) {
            carried = std::move(s.tail);
        }
        for (FPath& post : s.posts) foundPosts.push_back(std::move(post));
    }
    if (openAtEnd) {
        carried.push_back(')');
        found[closed] = FStringUtilities::base64EncodedSha1(std::string_view(carried.data(), carried.size()));
        for (auto s = segments.rbegin(); s != segments.rend(); ++s) {
            if (s->marks.empty()) continue;
            foundPosts.push_back(s->lastLeafPath);
            break;
        }
    }
    posts = std::move(foundPosts);
    hashes = std::move(found);
    return true;
}

}  // namespace fcompoundhash
