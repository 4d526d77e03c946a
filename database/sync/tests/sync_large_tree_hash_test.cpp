// The data hash and the compound hash of a million-leaf tree hold their
// values: every leaf kind, repeated and unique values, priorities on leaves
// and on nodes, nesting, integer, unicode and quoted keys. The values were
// taken from the straightforward one-node-at-a-time hashing; faster hashing
// (caches, parallel subtrees) must give the same bytes.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "database/model/FSnapshotUtilities.h"
#include "database/model/FStringUtilities.h"
#include "database/sync/FCompoundHash.h"

namespace {

FNodePtr leaf(int n) {
    switch (n % 8) {
        case 0: return FLeafNode::make(ns::Value("v" + std::to_string(n % 50)));
        case 1: return FLeafNode::make(ns::Value("ítem 😀 " + std::to_string(n)));
        case 2: return FLeafNode::make(ns::Value(int64_t(n % 1000) - 500));
        case 3: return FLeafNode::make(ns::Value(double(n) * 0.5 + 0.125));
        case 4: return FLeafNode::make(ns::Value(n % 3 == 0));
        case 5: return FLeafNode::make(ns::Value("p"), FLeafNode::make(ns::Value(double(n % 10))));
        case 6: return FLeafNode::make(ns::Value(int64_t(n % 7)), FLeafNode::make(ns::Value("pri" + std::to_string(n % 5))));
        default: return FLeafNode::make(ns::Value(1e300 / double(n + 1)));
    }
}

std::string key(int j) {
    static const char* const kPrefixes[] = {"", "f", "ñandú", "日本", "😀", "k\"", "k\\", "Z"};
    return kPrefixes[j % 8] + std::to_string(j);
}

FNodePtr children(std::vector<FChildrenDictionary::Entry> entries, FNodePtr priority = nullptr) {
    return FChildrenNode::make(FChildrenDictionary::fromEntries(std::move(entries)), std::move(priority));
}

// 100 groups of 100 items of 95 leaves and one nested node of 5: a million leaves.
FNodePtr millionLeafTree() {
    int n = 0;
    std::vector<FChildrenDictionary::Entry> groups;
    for (int g = 0; g < 100; ++g) {
        std::vector<FChildrenDictionary::Entry> items;
        for (int i = 0; i < 100; ++i) {
            std::vector<FChildrenDictionary::Entry> fields, nested;
            for (int f = 0; f < 95; ++f) fields.emplace_back(key(f), leaf(n++));
            for (int f = 0; f < 5; ++f) nested.emplace_back(key(f + i), leaf(n++));
            fields.emplace_back("nested", children(std::move(nested), i % 4 ? nullptr : FLeafNode::make(ns::Value("n" + std::to_string(i)))));
            items.emplace_back(key(i * 37 + g), children(std::move(fields), i % 7 ? nullptr : FLeafNode::make(ns::Value(double(i) / 4))));
        }
        groups.emplace_back(key(g), children(std::move(items), g % 3 ? nullptr : FLeafNode::make(ns::Value("g"))));
    }
    return children(std::move(groups));
}

TEST(LargeTreeHash, DataHashAndCompoundHashHoldTheirValues) {
    FNodePtr tree = millionLeafTree();
    EXPECT_EQ(tree->dataHash(), "jAhbufZOxdUCHTtkQoWtVm5T8LA=");
    FCompoundHash compound = FCompoundHash::fromNode(tree);
    std::string all;
    for (size_t i = 0; i < compound.posts().size(); ++i) {
        all += compound.posts()[i].toString() + "|" + compound.hashes()[i] + "\n";
    }
    all += compound.hashes().back();
    EXPECT_EQ(FCompoundHash::estimateSerializedSize(*tree), 23286071u);
    EXPECT_EQ(FSnapshotUtilities::estimateSerializedNodeSize(tree), 23286071u);
    EXPECT_EQ(compound.posts().size(), 747u);
    EXPECT_EQ(FStringUtilities::base64EncodedSha1(all), "EPlK4NJqZoNsDklLF1fdgcBNyBE=");
    // Again, with the size estimates the nodes kept.
    EXPECT_EQ(FCompoundHash::fromNode(tree).hashes(), compound.hashes());
    EXPECT_EQ(tree->getImmediateChild(key(1))->dataHash(), "iThN2oVmrmsR2Hnx44VrLnvgPdo=");
}

// Trees of every shape the threaded walk cuts differently: a root of many
// children, a few large children among small ones, deep nesting, priorities
// on nodes and leaves, unicode and quoted keys, and keys longer than a range.
FNodePtr shapedTree(std::mt19937& random, int depth, int fanout) {
    static const char* const kKeys[] = {"a", "ñ", "😀x", "q\"", "b\\", "10", "-3", "zz"};
    std::vector<FChildrenDictionary::Entry> entries;
    for (int i = 0; i < fanout; ++i) {
        std::string k = kKeys[random() % 8] + std::to_string(i);
        if (random() % 97 == 0) k += std::string(700, 'L');
        const bool nested = depth > 0 && random() % 3 != 0;
        entries.emplace_back(k, nested ? shapedTree(random, depth - 1, 1 + int(random() % (fanout + 1)))
                                       : leaf(int(random() % 1000)));
    }
    return children(std::move(entries), random() % 4 ? nullptr : FLeafNode::make(ns::Value(double(depth))));
}

TEST(LargeTreeHash, ThreadedRangesAreTheBuildersOnEveryShape) {
    std::mt19937 random(20261208);
    const std::vector<std::pair<int, int>> shapes = {{0, 3000}, {1, 400}, {2, 40}, {3, 14}, {5, 6}};
    for (auto [depth, fanout] : shapes) {
        FNodePtr tree = shapedTree(random, depth, fanout);
        if (depth == 2) tree = children({{"big", tree}, {"a", leaf(1)}, {"z", leaf(2)}});
        // The tree, the same again (its subtrees measured by the first
        // hash), and both under one root at two depths.
        const std::vector<FNodePtr> trees = {tree, tree, children({{"m", tree}, {"n", children({{"o", tree}})}})};
        for (size_t variant = 0; variant < trees.size(); ++variant) {
            // The size rule at its 512-unit floor, threaded, and the same
            // rule through the builder one leaf at a time.
            FCompoundHash threaded =
                FCompoundHash::fromNode(trees[variant], FCompoundHash::simpleSizeSplitStrategyForSize(0));
            FCompoundHash built = FCompoundHash::fromNode(trees[variant], [](const FCompoundHashBuilder& builder) {
                const std::string* back = builder.currentPathBack();
                return builder.currentHashLength() > 512 && (!back || *back != ".priority");
            });
            EXPECT_GT(built.posts().size(), 32u) << depth << " " << variant;
            EXPECT_EQ(threaded.posts(), built.posts()) << depth << " " << variant;
            EXPECT_EQ(threaded.hashes(), built.hashes()) << depth << " " << variant;
        }
    }
}

}  // namespace
