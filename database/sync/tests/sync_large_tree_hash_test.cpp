// The data hash and the compound hash of a million-leaf tree hold their
// values: every leaf kind, repeated and unique values, priorities on leaves
// and on nodes, nesting, integer, unicode and quoted keys. The values were
// taken from the straightforward one-node-at-a-time hashing; faster hashing
// (caches, parallel subtrees) must give the same bytes.
#include <gtest/gtest.h>

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

}  // namespace
