// A large tree's compound hash on several threads. The ranges depend on one
// another (each closes where its own text passes the threshold), so the work
// goes in three steps that give the builder's bytes:
//   1. the tree, cut into segments of consecutive children, is written on
//      the threads as one unbroken text (the text a range would have if none
//      closed), noting at each leaf the text's length so far;
//   2. the ranges are found in order from those lengths alone: a range's
//      text is its path prefix followed by a slice of that text;
//   3. the ranges are assembled and hashed on the threads.
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <functional>
#include <system_error>
#include <thread>

#include "FCompoundHashText.h"
#include "database/model/FStringUtilities.h"

namespace fcompoundhash {
namespace {

// A tree of fewer ranges is hashed in one walk: the threads and the second
// pass over its text would cost more than they save.
constexpr uint64_t kMinRanges = 32;
// The children of a node with more than this many are not measured one by
// one (each a load from scattered memory): each weighs the node's average.
constexpr size_t kMeasuredChildren = 256;
constexpr int kMaxOpenDepth = 8;
// Segments per thread, so that uneven ones even out.
constexpr size_t kSegmentsPerThread = 4;

// The threads this process may run on, at most 8.
unsigned threadCount() {
    static const unsigned kThreads = [] {
        cpu_set_t set;
        CPU_ZERO(&set);
        unsigned n = sched_getaffinity(0, sizeof set, &set) == 0 ? unsigned(CPU_COUNT(&set))
                                                                 : std::thread::hardware_concurrency();
        return std::clamp(n, 1u, 8u);
    }();
    return kThreads;
}

// Runs work(i) for every i below n on up to `threads` threads, the caller's
// included; the fault of the lowest i is raised on the caller.
void runOnThreads(unsigned threads, size_t n, const std::function<void(size_t)>& work) {
    std::vector<std::exception_ptr> faults(n);
    std::atomic<size_t> next{0};
    auto loop = [&] {
        for (size_t i; (i = next.fetch_add(1)) < n;) {
            try {
                work(i);
            } catch (...) {
                faults[i] = std::current_exception();
            }
        }
    };
    std::vector<std::thread> workers;
    try {
        for (size_t t = 1; t < std::min<size_t>(threads, n); ++t) workers.emplace_back(loop);
    } catch (const std::system_error&) {
        // Fewer threads: the rest of the work stays with the caller.
    }
    loop();
    for (auto& worker : workers) worker.join();
    for (auto& fault : faults) {
        if (fault) std::rethrow_exception(fault);
    }
}

// The walk as a list: a large node opens, its children follow, it closes;
// every other child is walked whole by the segment holding it.
struct Item {
    enum Kind : uint8_t { kOpen, kClose, kChild };
    Kind kind;
    const std::string* key;
    const FNode* node;
    uint64_t weight;
};

void planChildren(const FChildrenNode& node, uint64_t chunk, int depth, std::vector<Item>& items) {
    const size_t count = node.children().count();
    const bool measured = count <= kMeasuredChildren;
    const uint64_t average = FSnapshotUtilities::estimateSerializedNodeSize(node) / std::max<size_t>(count, 1);
    items.reserve(items.size() + count + 1);
    forEachChildAndPriority(node, [&](const std::string& key, const FNode& child) {
        const uint64_t weight = measured ? FSnapshotUtilities::estimateSerializedNodeSize(child) : average;
        if (measured && weight > chunk && depth < kMaxOpenDepth && !child.isLeafNode() && !child.isEmpty()) {
            items.push_back({Item::kOpen, &key, &child, 0});
            planChildren(static_cast<const FChildrenNode&>(child), chunk, depth + 1, items);
            items.push_back({Item::kClose, nullptr, nullptr, 0});
        } else {
            items.push_back({Item::kChild, &key, &child, weight});
        }
    });
}

// A key of the path, with its parent's index in the segment's steps.
struct PathStep {
    uint32_t parent;
    uint32_t depth;
    const std::string* key;
};

// A leaf: the segment's text length (UTF-16 units and bytes) right after it.
struct LeafMark {
    uint32_t unitsEnd;
    uint32_t bytesEnd;
    uint32_t parent;
    const std::string* key;
};

struct Segment {
    size_t first = 0;
    size_t last = 0;
    std::vector<const std::string*> openPath;
    bool needsComma = false;
    uint64_t weight = 0;

    RangeText text;
    std::vector<PathStep> steps;
    std::vector<LeafMark> leaves;
    // What the one walk does differently: an empty child (a key written
    // with no leaf under it) or a text past 32-bit lengths.
    bool unusual = false;
    uint64_t units = 0;
    uint64_t unitsBefore = 0;
    uint64_t bytesBefore = 0;
};

// Writes a segment's items as the builder would write them inside one range.
class SegmentWriter {
public:
    SegmentWriter(Segment& segment, const std::vector<Item>& items) : s_(segment), items_(items) {
        // The text runs about 1.5 times the size estimate, a leaf to some
        // 20 of it: room enough that the buffers seldom move.
        s_.text.reserve(size_t(s_.weight + s_.weight / 2 + s_.weight / 8) + 4096);
        s_.leaves.reserve(size_t(s_.weight / 16) + 16);
        s_.steps.push_back({0, 0, nullptr});
        for (const std::string* key : s_.openPath) push(*key);
        needsComma_ = s_.needsComma;
    }

    void run() {
        for (size_t i = s_.first; i < s_.last; ++i) {
            if (i + 1 < s_.last && items_[i + 1].node) __builtin_prefetch(items_[i + 1].node);
            const Item& item = items_[i];
            if (item.kind == Item::kOpen) {
                startKey(*item.key);
                push(*item.key);
            } else if (item.kind == Item::kClose) {
                endKey();
                current_ = s_.steps[current_].parent;
            } else {
                child(*item.key, *item.node);
            }
        }
        s_.units = units_ + utf16Units(std::string_view(s_.text.data() + counted_, s_.text.size() - counted_));
        s_.unusual = s_.unusual || s_.text.size() > UINT32_MAX;
    }

private:
    void push(const std::string& key) {
        s_.steps.push_back({current_, s_.steps[current_].depth + 1, &key});
        current_ = uint32_t(s_.steps.size() - 1);
    }

    void startKey(const std::string& key) {
        if (needsComma_) s_.text.push_back(',');
        putQuoted(s_.text, key);
        put(s_.text, ":(");
        needsComma_ = false;
    }

    void endKey() {
        s_.text.push_back(')');
        needsComma_ = true;
    }

    void child(const std::string& key, const FNode& node) {
        startKey(key);
        if (node.isLeafNode()) {
            leaf(static_cast<const FLeafNode&>(node), key);
        } else {
            s_.unusual = s_.unusual || node.isEmpty();
            const uint32_t parent = current_;
            push(key);
            children(static_cast<const FChildrenNode&>(node));
            current_ = parent;
        }
        endKey();
    }

    // Each child is walked once its next sibling is known, and that sibling
    // is fetched into the cache meanwhile.
    void children(const FChildrenNode& node) {
        const std::string* key = nullptr;
        const FNode* pending = nullptr;
        forEachChildAndPriority(node, [&](const std::string& nextKey, const FNode& next) {
            __builtin_prefetch(&next);
            if (pending) child(*key, *pending);
            key = &nextKey;
            pending = &next;
        });
        if (pending) child(*key, *pending);
    }

    void leaf(const FLeafNode& leaf, const std::string& key) {
        putLeaf(s_.text, leaf);
        units_ += utf16Units(std::string_view(s_.text.data() + counted_, s_.text.size() - counted_));
        counted_ = s_.text.size();
        s_.leaves.push_back({uint32_t(units_), uint32_t(s_.text.size()), current_, &key});
    }

    Segment& s_;
    const std::vector<Item>& items_;
    uint32_t current_ = 0;
    bool needsComma_ = false;
    uint64_t units_ = 0;
    size_t counted_ = 0;
};

std::vector<Segment> cutIntoSegments(const std::vector<Item>& items, size_t count) {
    uint64_t total = 0;
    for (const Item& item : items) total += item.weight;
    std::vector<Segment> segments;
    std::vector<const std::string*> path;
    bool needsComma = false;
    uint64_t weight = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        if (segments.empty() || (weight >= total / count * segments.size() && segments.back().first < i)) {
            if (!segments.empty()) segments.back().last = i;
            Segment& segment = segments.emplace_back();
            segment.first = i;
            segment.openPath = path;
            segment.needsComma = needsComma;
        }
        weight += items[i].weight;
        segments.back().weight += items[i].weight;
        if (items[i].kind == Item::kOpen) path.push_back(items[i].key);
        if (items[i].kind == Item::kClose) path.pop_back();
        needsComma = items[i].kind != Item::kOpen;
    }
    segments.back().last = items.size();
    return segments;
}

// One range: its path prefix, a slice of the unbroken text (bytes from the
// start of the first segment) and its closing brackets.
struct Range {
    std::vector<const std::string*> prefix;
    uint64_t begin;
    uint64_t end;
    size_t closes;
};

// Finds the ranges in order, as the size rule closes them.
class RangeFinder {
public:
    RangeFinder(std::vector<Segment>& segments, uint64_t threshold) : segments_(segments), threshold_(threshold) {
        for (Segment& segment : segments_) {
            segment.unitsBefore = units_;
            segment.bytesBefore = bytes_;
            units_ += segment.units;
            bytes_ += segment.text.size();
        }
    }

    void find(std::vector<Range>& ranges, std::vector<FPath>& posts) {
        std::vector<const std::string*> prefix;
        uint64_t beginUnits = 0;
        uint64_t beginBytes = 0;
        size_t segment = 0;
        size_t leaf = 0;
        std::vector<const std::string*> lastPath;
        while (true) {
            const int64_t limit = int64_t(threshold_) - int64_t(prefixUnits(prefix)) + int64_t(beginUnits);
            if (!nextSplit(limit, segment, leaf)) break;
            const Segment& s = segments_[segment];
            const LeafMark& mark = s.leaves[leaf];
            lastPath = leafPath(s, mark);
            const uint64_t endBytes = s.bytesBefore + mark.bytesEnd;
            ranges.push_back({prefix, beginBytes, endBytes, lastPath.size() + 1});
            posts.push_back(pathOf(lastPath));
            size_t closes = 0;
            if (!nextStartAfter(endBytes, closes)) return;
            beginUnits = s.unitsBefore + mark.unitsEnd + closes + 1;
            beginBytes = endBytes + closes + 1;
            prefix.assign(lastPath.begin(), lastPath.end() - ptrdiff_t(closes));
            ++leaf;
        }
        // What is left closes at the end of the walk, at the last leaf's path.
        for (auto s = segments_.rbegin(); s != segments_.rend(); ++s) {
            if (s->leaves.empty()) continue;
            lastPath = leafPath(*s, s->leaves.back());
            break;
        }
        ranges.push_back({prefix, beginBytes, bytes_, 1});
        posts.push_back(pathOf(lastPath));
    }

    // The bytes [begin, end) of the unbroken text.
    void copy(uint64_t begin, uint64_t end, RangeText& out) const {
        auto s = std::upper_bound(segments_.begin(), segments_.end(), begin,
                                  [](uint64_t at, const Segment& seg) { return at < seg.bytesBefore; });
        for (--s; begin < end; ++s) {
            const uint64_t from = begin - s->bytesBefore;
            const uint64_t to = std::min<uint64_t>(end - s->bytesBefore, s->text.size());
            out.insert(out.end(), s->text.begin() + ptrdiff_t(from), s->text.begin() + ptrdiff_t(to));
            begin = s->bytesBefore + to;
        }
    }

private:
    static uint64_t prefixUnits(const std::vector<const std::string*>& prefix) {
        uint64_t units = 1;
        for (const std::string* key : prefix) units += quotedUnits(*key) + 2;
        return units;
    }

    static std::vector<const std::string*> leafPath(const Segment& s, const LeafMark& mark) {
        std::vector<const std::string*> path(s.steps[mark.parent].depth + 1);
        path.back() = mark.key;
        for (uint32_t step = mark.parent; step != 0; step = s.steps[step].parent) {
            path[s.steps[step].depth - 1] = s.steps[step].key;
        }
        return path;
    }

    static FPath pathOf(const std::vector<const std::string*>& keys) {
        std::vector<std::string> pieces;
        pieces.reserve(keys.size());
        for (const std::string* key : keys) pieces.push_back(*key);
        return FPath(std::move(pieces), 0);
    }

    // The first leaf from (segment, leaf) on whose text end passes `limit`
    // units and that is not a priority.
    bool nextSplit(int64_t limit, size_t& segment, size_t& leaf) const {
        for (; segment < segments_.size(); ++segment, leaf = 0) {
            const Segment& s = segments_[segment];
            const int64_t relative = limit - int64_t(s.unitsBefore);
            auto it = std::upper_bound(s.leaves.begin() + ptrdiff_t(leaf), s.leaves.end(), relative,
                                       [](int64_t units, const LeafMark& mark) { return units < int64_t(mark.unitsEnd); });
            for (; it != s.leaves.end(); ++it) {
                if (*it->key != kPriorityKey) {
                    leaf = size_t(it - s.leaves.begin());
                    return true;
                }
            }
        }
        return false;
    }

    // After a leaf the text closes keys and, unless the walk ends, goes on
    // with a comma and the next key.
    bool nextStartAfter(uint64_t at, size_t& closes) const {
        for (; at < bytes_; ++at) {
            const char c = byteAt(at);
            if (c != ')') return c == ',';
            ++closes;
        }
        return false;
    }

    char byteAt(uint64_t at) const {
        auto s = std::upper_bound(segments_.begin(), segments_.end(), at,
                                  [](uint64_t pos, const Segment& seg) { return pos < seg.bytesBefore; });
        --s;
        return s->text[size_t(at - s->bytesBefore)];
    }

    std::vector<Segment>& segments_;
    uint64_t threshold_;
    uint64_t units_ = 0;
    uint64_t bytes_ = 0;
};

}  // namespace

bool hashOnThreads(const FNode& node, uint64_t threshold, std::vector<FPath>& posts, std::vector<std::string>& hashes) {
    const unsigned threads = threadCount();
    if (threads < 2 || node.isLeafNode() || node.isEmpty()) return false;
    const uint64_t size = FSnapshotUtilities::estimateSerializedNodeSize(node);
    if (size / kMinRanges < threshold) return false;

    const size_t segmentCount = threads * kSegmentsPerThread;
    std::vector<Item> items;
    planChildren(static_cast<const FChildrenNode&>(node), size / segmentCount / 2, 0, items);
    std::vector<Segment> segments = cutIntoSegments(items, segmentCount);
    runOnThreads(threads, segments.size(), [&](size_t i) { SegmentWriter(segments[i], items).run(); });
    for (const Segment& segment : segments) {
        if (segment.unusual) return false;
    }

    RangeFinder finder(segments, threshold);
    std::vector<Range> ranges;
    std::vector<FPath> found;
    finder.find(ranges, found);
    std::vector<std::string> rangeHashes(ranges.size() + 1);
    runOnThreads(threads, ranges.size(), [&](size_t i) {
        const Range& range = ranges[i];
        RangeText text;
        text.reserve(size_t(range.end - range.begin) + 256);
        text.push_back('(');
        for (const std::string* key : range.prefix) {
            putQuoted(text, *key);
            put(text, ":(");
        }
        finder.copy(range.begin, range.end, text);
        text.insert(text.end(), range.closes, ')');
        rangeHashes[i] = FStringUtilities::base64EncodedSha1(std::string_view(text.data(), text.size()));
    });
    posts = std::move(found);
    hashes = std::move(rangeHashes);
    return true;
}

}  // namespace fcompoundhash
