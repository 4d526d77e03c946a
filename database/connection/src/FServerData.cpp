#include "FServerData.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "database/model/FSnapshotUtilities.h"
#include "database/model/FUtilities.h"
#include "platform/parallel.h"

namespace {

// Below this many children the threads' start costs more than they save.
constexpr size_t kParallelChildren = 4096;
constexpr size_t kChunk = 256;

// A key the object's conversion takes as a child's name: not empty, none of
// the characters a key may not hold. The dot also catches ".priority",
// ".value" and ".sv", which make the object something else than children.
bool isPlainKey(std::string_view key) {
    if (key.empty()) return false;
    return key.find_first_of("/.#$[]") == std::string_view::npos;
}

bool keyLess(const FChildrenDictionary::Entry& a, const FChildrenDictionary::Entry& b) {
    return FUtilities::compareKey(a.first, b.first) < 0;
}

// The entries of converted children in key order, the empty ones left out;
// `inKeyOrder` when the caller has seen they are.
FNodePtr childrenNode(std::vector<FChildrenDictionary::Entry>& converted, bool inKeyOrder = false) {
    std::vector<FChildrenDictionary::Entry> entries;
    entries.reserve(converted.size());
    for (auto& entry : converted) {
        if (!entry.second->isEmpty()) entries.push_back(std::move(entry));
    }
    // The object's text order is key order unless integer keys are mixed in.
    const bool sorted = inKeyOrder || std::is_sorted(entries.begin(), entries.end(), keyLess);
    return FChildrenNode::make(sorted ? FChildrenDictionary::fromSortedEntries(std::move(entries))
                                      : FChildrenDictionary::fromEntries(std::move(entries)));
}

}  // namespace

FNodePtr nodeFromServerData(const ns::json::Element& data) {
    const unsigned threads = ns::parallel::threadCount();
    if (!data.isObject() || data.size() < kParallelChildren || threads < 2) return FSnapshotUtilities::nodeFrom(data);
    std::vector<std::pair<std::string_view, ns::json::Element>> members;
    members.reserve(data.size());
    // Keys given twice and keys that are not plain take the whole object's
    // own conversion, which decides what they mean.
    const bool plain = data.forEach([&](std::string_view key, const ns::json::Element& child) {
        if (!isPlainKey(key)) return false;
        members.emplace_back(key, child);
        return true;
    });
    if (!plain) return FSnapshotUtilities::nodeFrom(data);
    std::vector<FChildrenDictionary::Entry> converted(members.size());
    std::atomic<bool> refused = false;
    try {
        ns::parallel::run(threads, members.size(), kChunk, [&](size_t i) {
            FNodePtr node = FSnapshotUtilities::nodeFrom(members[i].second);
            if (!node) {
                refused = true;
                return;
            }
            converted[i] = {FChildKey(members[i].first), std::move(node)};
        });
    } catch (...) {
        refused = true;
    }
    // Keys in strictly rising order are each there once.
    auto notRising = [](const auto& a, const auto& b) { return !keyLess(a, b); };
    const bool rising =
        !refused && std::adjacent_find(converted.begin(), converted.end(), notRising) == converted.end();
    if (!refused && !rising) {
        std::vector<FChildrenDictionary::Entry> sorted = converted;
        std::sort(sorted.begin(), sorted.end(), keyLess);
        refused = std::adjacent_find(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
                      return a.first == b.first;
                  }) != sorted.end();
    }
    // A refused child, or a key given twice: the whole object's conversion
    // words the refusal (its path and all) as it always has.
    if (refused) return FSnapshotUtilities::nodeFrom(data);
    return childrenNode(converted, rising);
}

FNodePtr nodeFromServerData(const ns::Value& data) {
    const ns::Dictionary* object = data.dictionaryOrNull();
    const unsigned threads = ns::parallel::threadCount();
    if (!object || object->size() < kParallelChildren || threads < 2) return FSnapshotUtilities::nodeFrom(data);
    std::vector<const ns::Dictionary::value_type*> members;
    members.reserve(object->size());
    for (const auto& member : *object) {
        // ".priority", ".value" and ".sv" (and any key that is refused)
        // take the whole object's own conversion.
        if (!isPlainKey(member.first)) return FSnapshotUtilities::nodeFrom(data);
        members.push_back(&member);
    }
    // Each child converts as it would inside the object: the same checks,
    // one level shallower, which never matters here since JSON text the
    // connection reads nests at most 512 deep and the limit is 1000.
    std::vector<FChildrenDictionary::Entry> converted(members.size());
    try {
        ns::parallel::run(threads, members.size(), kChunk, [&](size_t i) {
            converted[i] = {FChildKey(members[i]->first), FSnapshotUtilities::nodeFrom(members[i]->second)};
        });
    } catch (...) {
        // A refused child: the whole object's conversion words the refusal
        // (its path and all) as it always has.
        return FSnapshotUtilities::nodeFrom(data);
    }
    return childrenNode(converted);
}
