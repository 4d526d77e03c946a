// Removing pending writes from the write tree: whatever the order and
// however the writes overlap, what stays visible is what layering the
// remaining writes anew gives, and a removal reports a change unless the
// write was hidden or a newer visible write covers it.
#include <gtest/gtest.h>

#include <deque>
#include <random>

#include "database/sync/FWriteTree.h"
#include "sync_test_support.h"

using namespace synctest;

namespace {

// A path of one to three keys from a small alphabet, so that writes are
// often related (at, above or below each other) and often not.
FPath randomPath(std::mt19937& random) {
    static const char* const kKeys[] = {"a", "b", "c"};
    std::vector<std::string> keys;
    const int depth = 1 + int(random() % 3);
    for (int i = 0; i < depth; ++i) keys.emplace_back(kKeys[random() % 3]);
    return FPath(std::move(keys), 0);
}

// Whether a newer visible write than the one at `index` covers `path`.
bool coveredByNewer(const std::deque<FWriteRecordPtr>& writes, size_t index, const FPath& path) {
    for (size_t j = index + 1; j < writes.size(); ++j) {
        if (writes[j]->visible() && FWriteTree::record(*writes[j], path)) return true;
    }
    return false;
}

}  // namespace

TEST(WriteTreeRemoval, VisibleWritesStayWhatLayeringTheRestGives) {
    std::mt19937 random(20261207);
    for (int round = 0; round < 200; ++round) {
        auto tree = FWriteTree::make();
        const int count = 1 + int(random() % 12);
        for (int id = 0; id < count; ++id) {
            const FPath at = randomPath(random);
            switch (random() % 4) {
            case 0:
                tree->addOverwriteAtPath(at, node(std::to_string(id)), id, /*isVisible=*/false);
                break;
            case 1: {
                ns::Dictionary children{{"x", id}, {"y/z", id}};
                tree->addMergeAtPath(at, FCompoundWrite::compoundWriteWithValueDictionary(children), id);
                break;
            }
            default:
                tree->addOverwriteAtPath(at, node(std::to_string(id)), id, /*isVisible=*/true);
            }
        }
        // Mostly in order, as acknowledgements come; sometimes not.
        std::vector<int64_t> order;
        for (int id = 0; id < count; ++id) order.push_back(id);
        if (round % 3 == 0) std::shuffle(order.begin(), order.end(), random);
        for (int64_t id : order) {
            const auto& writes = tree->allWrites();
            size_t index = 0;
            while (writes[index]->writeId() != id) ++index;
            const FWriteRecordPtr removed = writes[index];
            const bool expected = removed->visible() && !coveredByNewer(writes, index, removed->path());

            EXPECT_EQ(tree->removeWriteId(id), expected) << "round " << round << ", write " << id;
            const FCompoundWrite rebuilt =
                FWriteTree::layerTreeFromWrites(tree->allWrites(), FWriteTree::defaultFilter(), FPath());
            ASSERT_TRUE(tree->visibleWrites() == rebuilt)
                << "round " << round << ", after removing write " << id << ": " << tree->visibleWrites().description()
                << " instead of " << rebuilt.description();
        }
        EXPECT_TRUE(tree->visibleWrites().isEmpty());
    }
}

// Writes added and removed in any interleaving, the layering looked at only
// now and then (as views ask), show what layering the rest anew gives.
TEST(WriteTreeRemoval, InterleavedWritesLookedAtNowAndThenLayerAsTheRest) {
    std::mt19937 random(20261208);
    for (int round = 0; round < 300; ++round) {
        auto tree = FWriteTree::make();
        int64_t nextId = 0;
        for (int step = 0; step < 40; ++step) {
            const auto& writes = tree->allWrites();
            if (writes.empty() || random() % 2) {
                const FPath at = randomPath(random);
                if (random() % 5 == 0) {
                    ns::Dictionary children{{"x", int(nextId)}, {"y/z", int(nextId)}};
                    tree->addMergeAtPath(at, FCompoundWrite::compoundWriteWithValueDictionary(children), nextId);
                } else {
                    tree->addOverwriteAtPath(at, node(std::to_string(nextId)), nextId, random() % 6 != 0);
                }
                ++nextId;
            } else {
                // Mostly the oldest, as acknowledgements come.
                const size_t index = random() % 4 ? 0 : random() % writes.size();
                tree->removeWriteId(writes[index]->writeId());
            }
            if (random() % 4 == 0 || step == 39) {
                const FCompoundWrite rebuilt =
                    FWriteTree::layerTreeFromWrites(tree->allWrites(), FWriteTree::defaultFilter(), FPath());
                ASSERT_TRUE(tree->visibleWrites() == rebuilt) << "round " << round << ", step " << step << ": "
                                                              << tree->visibleWrites().description() << " instead of "
                                                              << rebuilt.description();
            }
        }
    }
}
