// Compound hashes and range merges: the hash texts, the split rule, range
// merges on their own, and the server's changed ranges applied as range
// merges giving exactly the full overwrite, for random trees and ranges.
#include <gtest/gtest.h>

#include <random>

#include "database/model/FStringUtilities.h"
#include "sync_test_support.h"

using namespace synctest;

namespace {

std::string json(const FNodePtr& n) { return ns::json::serialize(n->valForExport(true)); }

FNodePtr merged(const FRangeMerge& merge, const std::string& data) { return merge.applyToNode(node(data)); }

// Random data with the shapes that matter to ranges: nesting, leaves of
// every kind, integer and quoted keys, priorities.
class RandomData {
public:
    explicit RandomData(uint32_t seed) : rng_(seed) {}

    FNodePtr tree(int depth) {
        if (depth == 0 || chance(0.25)) return leaf();
        FNodePtr result = FEmptyNode::emptyNode();
        int count = int(pick(6));
        for (int i = 0; i < count; ++i) result = result->updateImmediateChild(key(), tree(depth - 1));
        // A priority is hashed where a key sorts after ".priority".
        if (hasLetterKey(result) && chance(0.2)) result = result->updatePriority(priority());
        return result;
    }

    // The same data with a few random changes.
    FNodePtr mutate(const FNodePtr& data, int depth) {
        if (data->isLeafNode() || depth == 0) return chance(0.5) ? tree(depth) : data;
        FNodePtr result = data;
        data->enumerateChildren([&](const std::string& key, const FNodePtr& child, bool&) {
            double roll = uniform_(rng_);
            if (roll < 0.1) {
                result = result->updateImmediateChild(key, FEmptyNode::emptyNode());
            } else if (roll < 0.35) {
                result = result->updateImmediateChild(key, mutate(child, depth - 1));
            }
        });
        if (chance(0.3)) result = result->updateImmediateChild(key(), tree(depth - 1));
        // Compound hashes carry a location's priority only where some key
        // sorts after ".priority"; keep data within what they can compare.
        if (!hasLetterKey(result)) result = result->updatePriority(FEmptyNode::emptyNode());
        return result;
    }

    bool chance(double p) { return uniform_(rng_) < p; }
    uint32_t pick(uint32_t n) { return rng_() % n; }

private:
    static bool hasLetterKey(const FNodePtr& n) {
        bool letterKey = false;
        n->enumerateChildren([&](const std::string& k, const FNodePtr&, bool&) {
            letterKey = letterKey || !FUtilities::intForString(k);
        });
        return letterKey;
    }
    std::string key() {
        static const char* keys[] = {"a", "b", "c", "d", "e", "f", "g", "ab", "1", "2", "10", "q\"uote", "z"};
        return keys[pick(13)];
    }
    FNodePtr priority() { return chance(0.5) ? node(std::to_string(pick(5))) : node("\"p" + std::to_string(pick(3)) + "\""); }
    FNodePtr leaf() {
        FNodePtr value;
        switch (pick(4)) {
            case 0: value = node(std::to_string(int(pick(100)) - 50)); break;
            case 1: value = node(std::to_string(pick(10)) + ".5"); break;
            case 2: value = node(chance(0.5) ? "true" : "false"); break;
            default: value = node("\"s" + std::to_string(pick(20)) + "\""); break;
        }
        return chance(0.15) ? value->updatePriority(priority()) : value;
    }

    std::mt19937 rng_;
    std::uniform_real_distribution<double> uniform_{0.0, 1.0};
};

// Closes a range after any leaf with the given chance, never after a
// priority: random ranges, as the client may cut them.
FCompoundHashSplitStrategy randomSplits(RandomData& random, double p) {
    return [&random, p](const FCompoundHashBuilder& builder) {
        const std::string* back = builder.currentPathBack();
        return (!back || *back != ".priority") && random.chance(p);
    };
}

}  // namespace

TEST(CompoundHash, RangeTextsAndSplits) {
    // The worked example: one range with both leaves, posted at b.
    FCompoundHash hash = FCompoundHash::fromNode(node(R"({"a":1,"b":"x"})"));
    std::string text = R"(("a":(number:3ff0000000000000),"b":(string:"x")))";
    ASSERT_EQ(hash.posts().size(), 1u);
    EXPECT_EQ(hash.posts()[0], path("/b"));
    EXPECT_EQ(hash.hashes(), (std::vector<std::string>{FStringUtilities::base64EncodedSha1(text), ""}));

    EXPECT_TRUE(FCompoundHash::fromNode(FEmptyNode::emptyNode()).posts().empty());
    EXPECT_EQ(FCompoundHash::fromNode(FEmptyNode::emptyNode()).hashes(), std::vector<std::string>{""});
    FCompoundHash single = FCompoundHash::fromNode(node("true"));
    EXPECT_EQ(single.posts(), std::vector<FPath>{FPath::empty()});
    EXPECT_EQ(single.hashes()[0], FStringUtilities::base64EncodedSha1("(boolean:true)"));

    // Quotes in keys are escaped; a priority comes at its key-order place.
    FCompoundHash quoted = FCompoundHash::fromNode(node(R"({"q\"k":{".value":"v",".priority":2}})"));
    EXPECT_EQ(quoted.hashes()[0],
              FStringUtilities::base64EncodedSha1(R"(("q\"k":(priority:number:4000000000000000:string:"v")))"));

    // Threshold: the larger of 512 and sqrt(size x 100).
    auto longKeyOver = [](uint64_t size, size_t keyLength) {
        FNodePtr sized = FSnapshotUtilities::nodeFrom(ns::Dictionary{{"k", std::string(size - 8, 's')}});
        EXPECT_EQ(FSnapshotUtilities::estimateSerializedNodeSize(sized), size);
        FCompoundHashBuilder builder(nullptr);
        std::string key(keyLength, 'x');
        builder.startChild(key);  // "(" + quoted key + ":("
        return FCompoundHash::simpleSizeSplitStrategyForNode(sized)(builder);
    };
    EXPECT_FALSE(longKeyOver(2000, 512 - 5));
    EXPECT_TRUE(longKeyOver(2000, 512 - 4));
    EXPECT_FALSE(longKeyOver(10000, 1000 - 5));
    EXPECT_TRUE(longKeyOver(10000, 1000 - 4));

    // A range never closes right after a priority leaf.
    std::string big(600, 'v');
    FNodePtr withPriority = FSnapshotUtilities::nodeFrom(
        ns::Dictionary{{".priority", ns::Value(big)}, {"x", 1}, {"y", 2}});
    FCompoundHash split = FCompoundHash::fromNode(withPriority, [](const FCompoundHashBuilder& builder) {
        const std::string* back = builder.currentPathBack();
        return builder.currentHashLength() > 512 && (!back || *back != ".priority");
    });
    EXPECT_EQ(split.posts(), (std::vector<FPath>{path("/x"), path("/y")}));

    EXPECT_THROW(FCompoundHash({}, {}), ns::Exception);
}

TEST(RangeMerge, ReplacesExactlyTheRange) {
    const std::string data = R"({"a":1,"b":2,"c":3,"d":{".value":4,".priority":1}})";
    EXPECT_EQ(json(merged(FRangeMerge(std::nullopt, std::nullopt, node(R"({"z":9})")), data)), R"({"z":9})");
    // After b: b itself is kept (its priority comes from the update), c on
    // from the update; keys before b never come in.
    EXPECT_EQ(json(merged(FRangeMerge(path("/b"), std::nullopt, node(R"({"0":7,"c":30,"e":5})")), data)),
              R"({"a":1,"b":2,"c":30,"e":5})");
    // Up to and including b: a and b from the update, c kept.
    EXPECT_EQ(json(merged(FRangeMerge(std::nullopt, path("/b"), node(R"({"b":20})")), data)), R"({"b":20,"c":3,"d":{".priority":1,".value":4}})");
    EXPECT_EQ(json(merged(FRangeMerge(std::nullopt, path("/b"), node(R"({"b":{"x":1}})")), data)),
              R"({"c":3,"d":{".priority":1,".value":4}})");
    // A deep start: inside a, before x kept, x's own value kept and its
    // children updated, after x updated; outside a, after a updated.
    FNodePtr deep = FRangeMerge(path("/a/x"), std::nullopt, node(R"({"a":{"w":0,"x":{"k":1},"y":9},"b":8})"))
                        .applyToNode(node(R"({"0":5,"a":{"w":1,"x":2,"y":3,"z":4},"b":5})"));
    EXPECT_EQ(json(deep), R"({"0":5,"a":{"w":1,"x":{"k":1},"y":9},"b":8})");
    // Data outside the range keeps its very object.
    FNodePtr original = node(R"({"a":{"k":1},"b":2})");
    FNodePtr result = FRangeMerge(path("/b"), std::nullopt, node("{}")).applyToNode(original);
    EXPECT_EQ(result->getImmediateChild("a"), original->getImmediateChild("a"));
    EXPECT_EQ(FRangeMerge(path("/c"), path("/d"), node("{}")).applyToNode(original), original);
    EXPECT_EQ(FRangeMerge(path("/a"), path("/b"), node("1")).description(),
              "RangeMerge (optExclusiveStart = /a, optExclusiveEng = /b, updates = 1)");
}

// The server hashes its data over the client's ranges and sends only the
// ranges that differ; applied in order they give the server's data.
TEST(RangeMerge, ServerRangesEqualTheFullOverwrite) {
    RandomData random(20240611);
    int withMerges = 0;
    int partial = 0;
    for (int round = 0; round < 300; ++round) {
        FNodePtr client = random.tree(4);
        // The hash's own walk estimates sizes as the data model does.
        ASSERT_EQ(FCompoundHash::estimateSerializedSize(*client), FSnapshotUtilities::estimateSerializedNodeSize(client));
        FNodePtr server = random.chance(0.1) ? client : random.mutate(client, 4);
        double p = std::vector<double>{0.05, 0.3, 1.0}[random.pick(3)];
        FCompoundHash clientHash = FCompoundHash::fromNode(client, randomSplits(random, p));
        std::vector<FRangeMerge> merges = FQueryEvaluator::rangeMergesFor(server, clientHash);
        FNodePtr result = client;
        for (const FRangeMerge& merge : merges) result = merge.applyToNode(result);
        ASSERT_TRUE(result->isEqual(*server)) << "round " << round << "\nclient " << json(client) << "\nserver "
                                              << json(server) << "\nresult " << json(result);
        EXPECT_EQ(result->dataHash(), server->dataHash());
        if (server->isEqual(*client)) {
            EXPECT_TRUE(merges.empty()) << "round " << round;
        }
        // Equal data over the client's own ranges hash the same.
        EXPECT_EQ(FQueryEvaluator::rangeHashes(client, clientHash.posts()), clientHash.hashes());
        withMerges += merges.empty() ? 0 : 1;
        std::vector<std::string> serverHashes = FQueryEvaluator::rangeHashes(server, clientHash.posts());
        size_t same = 0;
        for (size_t i = 0; i < serverHashes.size(); ++i) same += serverHashes[i] == clientHash.hashes()[i] ? 1 : 0;
        partial += !merges.empty() && same > 1 ? 1 : 0;
    }
    // Most rounds change something, and many change only some ranges.
    EXPECT_GT(withMerges, 100);
    EXPECT_GT(partial, 50);
}

// Through the sync tree: a range merge on a complete view gives the same
// data and events as the full overwrite.
TEST(RangeMerge, SyncTreeRangeMergeMatchesOverwrite) {
    RandomData random(77);
    for (int round = 0; round < 40; ++round) {
        FNodePtr before = random.tree(3);
        FNodePtr after = random.mutate(before, 3);
        FCompoundHash clientHash = FCompoundHash::fromNode(before, randomSplits(random, 0.3));
        std::vector<FRangeMerge> merges = FQueryEvaluator::rangeMergesFor(after, clientHash);

        std::vector<std::vector<std::string>> seen;
        std::vector<FNodePtr> finalData;
        for (bool useRanges : {false, true}) {
            auto tree = FSyncTree::make(nullptr, FListenProvider());
            auto value = RecordingRegistration::value("value");
            auto children = RecordingRegistration::children("children");
            FQuerySpec query = FQuerySpec::defaultQueryAtPath(path("/data"));
            tree->addEventRegistration(value, query);
            tree->addEventRegistration(children, query);
            tree->applyServerOverwriteAtPath(path("/data"), before);
            FEventList events = useRanges ? tree->applyServerRangeMergeAtPath(path("/data"), merges)
                                          : tree->applyServerOverwriteAtPath(path("/data"), after);
            seen.push_back(describe(events));
            finalData.push_back((*tree->syncPointTree().valueAtPath(path("/data")))->completeView()->eventCache());
        }
        EXPECT_EQ(seen[0], seen[1]) << "round " << round;
        EXPECT_TRUE(finalData[1]->isEqual(*after)) << "round " << round;
    }
    // Without a complete view at the path, a range merge is dropped.
    auto tree = FSyncTree::make(nullptr, FListenProvider());
    EXPECT_TRUE(tree->applyServerRangeMergeAtPath(path("/none"), {FRangeMerge(std::nullopt, std::nullopt, node("1"))}).empty());
}
