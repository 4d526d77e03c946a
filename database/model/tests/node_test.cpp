#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <limits>
#include <random>
#include <thread>
#include <unordered_set>

#include "database/model/FIndex.h"
#include "database/model/FNode.h"
#include "database/model/FSnapshotUtilities.h"
#include "database/model/FStringUtilities.h"
#include "platform/json.h"

namespace {

ns::Value J(const char* json) { return ns::json::parse(json); }

FNodePtr N(const char* json) { return FSnapshotUtilities::nodeFrom(J(json)); }

// ----- a generator of random nested values and their documented forms

class ValueGenerator {
public:
    explicit ValueGenerator(unsigned seed) : rng_(seed) {}

    ns::Value value(int depth) {
        unsigned kind = rng_() % (depth > 3 ? 6 : 9);
        switch (kind) {
            case 0: return ns::Value(rng_() % 2 == 0);
            case 1: return ns::Value(int64_t(rng_() % 2000) - 1000);
            case 2: return ns::Value(double(rng_() % 1000) / 8.0 + 0.5);
            case 3: return ns::Value("s" + std::to_string(rng_() % 50));
            case 4: return ns::Value();
            case 5: return ns::Value(int64_t(rng_() % 5));
            case 6: {
                ns::Array a;
                size_t n = rng_() % 5;
                for (size_t i = 0; i < n; ++i) a.push_back(value(depth + 1));
                return ns::Value(std::move(a));
            }
            default: {
                ns::Dictionary d;
                static const char* keys[] = {"0", "1", "2", "3", "5", "05", "-1", "a", "b", "zz", "k9", "10"};
                size_t n = rng_() % 6;
                for (size_t i = 0; i < n; ++i) d[keys[rng_() % 12]] = value(depth + 1);
                unsigned extra = rng_() % 6;
                if (extra == 0) d[".priority"] = ns::Value(int64_t(rng_() % 10));
                if (extra == 1) d[".priority"] = ns::Value("p" + std::to_string(rng_() % 3));
                if (extra == 2) {
                    ns::Dictionary leaf;
                    leaf[".value"] = value(99);  // a leaf or null at this depth
                    if (rng_() % 2) leaf[".priority"] = ns::Value(1.5);
                    return ns::Value(std::move(leaf));
                }
                return ns::Value(std::move(d));
            }
        }
    }

private:
    std::mt19937 rng_;
};

bool isArrayKey(const std::string& k) {
    auto n = FUtilities::intForString(k);
    return n && *n >= 0;
}

// The documented forms, written independently of the node code: `val` drops
// priorities and turns dense integer-keyed objects into arrays; the export
// form keeps objects and adds ".priority" members.
ns::Value expected(const ns::Value& v, bool exportForm) {
    ns::Value priority;
    ns::Dictionary members;
    if (v.isDictionary()) {
        const auto& d = v.asDictionary();
        if (d.count(".priority")) priority = d.at(".priority");
        if (d.count(".value")) {
            const ns::Value& inner = d.at(".value");
            if (inner.isNull() || !exportForm || priority.isNull()) return inner;
            return ns::Value(ns::Dictionary{{".value", inner}, {".priority", priority}});
        }
        for (const auto& [k, child] : d) {
            if (k == ".priority") continue;
            ns::Value c = expected(child, exportForm);
            if (!c.isNull()) members[k] = c;
        }
    } else if (v.isArray()) {
        const auto& a = v.asArray();
        for (size_t i = 0; i < a.size(); ++i) {
            ns::Value c = expected(a[i], exportForm);
            if (!c.isNull()) members[std::to_string(i)] = c;
        }
    } else {
        return v;
    }
    if (members.empty()) return ns::Value();
    if (!exportForm) {
        bool allInts = std::all_of(members.begin(), members.end(), [](const auto& m) { return isArrayKey(m.first); });
        int64_t maxKey = -1;
        for (const auto& m : members) {
            if (isArrayKey(m.first)) maxKey = std::max<int64_t>(maxKey, *FUtilities::intForString(m.first));
        }
        if (allInts && maxKey < 2 * int64_t(members.size())) {
            ns::Array array(size_t(maxKey + 1));
            for (const auto& [k, c] : members) array[size_t(*FUtilities::intForString(k))] = c;
            return ns::Value(std::move(array));
        }
    }
    if (exportForm && !priority.isNull()) members[".priority"] = priority;
    return ns::Value(std::move(members));
}

// Every leaf of a node as (path, leaf-with-priority) and every priority of a
// children node, to rebuild the node in another order.
void collectWrites(const FNodePtr& node, const FPath& at, std::vector<std::pair<FPath, FNodePtr>>& out) {
    if (node->isLeafNode()) {
        out.emplace_back(at, node);
        return;
    }
    if (!node->getPriority()->isEmpty()) out.emplace_back(at.childFromString(".priority"), node->getPriority());
    node->enumerateChildren([&](const std::string& key, const FNodePtr& child, bool&) {
        collectWrites(child, at.childFromString(key), out);
    });
}

TEST(NodeRoundTrip, RandomValuesGiveTheDocumentedForms) {
    ValueGenerator gen(7);
    for (int i = 0; i < 400; ++i) {
        ns::Value v = gen.value(0);
        FNodePtr node = FSnapshotUtilities::nodeFrom(v);
        ASSERT_EQ(node->val(), expected(v, false)) << ns::json::serialize(v);
        ASSERT_EQ(node->valForExport(true), expected(v, true)) << ns::json::serialize(v);
        // The export form reads back as the same node.
        FNodePtr again = FSnapshotUtilities::nodeFrom(node->valForExport(true));
        ASSERT_TRUE(again->isEqual(*node));
        ASSERT_EQ(again->dataHash(), node->dataHash());
    }
}

TEST(NodeRoundTrip, EqualDataBuiltInDifferentOrdersIsEqual) {
    ValueGenerator gen(11);
    std::mt19937 rng(3);
    for (int i = 0; i < 200; ++i) {
        FNodePtr node = FSnapshotUtilities::nodeFrom(gen.value(0));
        std::vector<std::pair<FPath, FNodePtr>> writes;
        collectWrites(node, FPath(), writes);
        // Priorities last: a priority only sticks where there is data.
        std::stable_partition(writes.begin(), writes.end(),
                              [](const auto& w) { return w.first.getBack() != std::optional<std::string>(".priority"); });
        auto dataEnd = std::find_if(writes.begin(), writes.end(), [](const auto& w) {
            return w.first.getBack() == std::optional<std::string>(".priority");
        });
        std::shuffle(writes.begin(), dataEnd, rng);
        FNodePtr rebuilt = FEmptyNode::emptyNode();
        for (const auto& [path, leaf] : writes) rebuilt = rebuilt->updateChild(path, leaf);
        ASSERT_TRUE(rebuilt->isEqual(*node)) << node->description() << " vs " << rebuilt->description();
        ASSERT_EQ(rebuilt->dataHash(), node->dataHash());
        ASSERT_EQ(rebuilt->hash(), node->hash());
    }
}

TEST(NodeRoundTrip, SpecialForms) {
    EXPECT_TRUE(FSnapshotUtilities::nodeFrom(ns::Value())->isEmpty());
    EXPECT_EQ(FSnapshotUtilities::nodeFrom(ns::Value())->val(), ns::Value());
    EXPECT_EQ(N("{\"a\":{}}")->val(), ns::Value());
    EXPECT_EQ(N("[1,null,3]")->val(), J("[1,null,3]"));
    EXPECT_EQ(N("{\"0\":true,\"4\":false}")->val(), J("{\"0\":true,\"4\":false}"));  // 4 >= 2*2
    EXPECT_EQ(N("{\"0\":1,\"2\":2}")->val(), J("[1,null,2]"));
    EXPECT_EQ(N("{\"01\":1,\"1\":2}")->val(), J("{\"01\":1,\"1\":2}"));
    EXPECT_EQ(N("{\"-1\":1,\"0\":2}")->val(), J("{\"-1\":1,\"0\":2}"));
    EXPECT_TRUE(N("true")->val().isBool());
    EXPECT_EQ(N("{\".value\":\"x\",\".priority\":2}")->valForExport(true), J("{\".value\":\"x\",\".priority\":2}"));
    // A boolean never equals a number; an integer equals the same double.
    EXPECT_FALSE(N("1")->isEqual(*N("true")));
    EXPECT_TRUE(N("1")->isEqual(*N("1.0")));
    EXPECT_EQ(N("{\"a\":1}")->dataHash(), N("{\"a\":1.0}")->dataHash());
}

TEST(Node, ChildrenPrioritiesAndUpdates) {
    FNodePtr empty = FEmptyNode::emptyNode();
    EXPECT_TRUE(empty->isEmpty());
    EXPECT_EQ(empty->dataHash(), "");
    EXPECT_TRUE(empty->updatePriority(FLeafNode::make(1))->isEmpty());

    FNodePtr n = empty->updateChild(FPath("a/b"), FLeafNode::make("x"));
    EXPECT_EQ(n->val(), J("{\"a\":{\"b\":\"x\"}}"));
    EXPECT_TRUE(n->getChild(FPath("a/b/c"))->isEmpty());
    EXPECT_EQ(n->getChild(FPath()).get(), n.get());
    EXPECT_TRUE(n->hasChild("a"));

    FNodePtr p = n->updateChild(FPath("a/.priority"), FLeafNode::make(5));
    EXPECT_EQ(p->getChild(FPath("a"))->getPriority()->val(), ns::Value(5));
    EXPECT_EQ(p->getChild(FPath("a/.priority"))->val(), ns::Value(5));

    // Removing the last child gives the empty node, priority dropped.
    FNodePtr removed = p->updateChild(FPath("a/b"), empty);
    EXPECT_TRUE(removed->isEmpty());

    // A leaf that gets a child becomes a children node keeping its priority.
    FNodePtr leaf = FLeafNode::make("v", FLeafNode::make(3));
    FNodePtr grown = leaf->updateImmediateChild("c", FLeafNode::make(1));
    EXPECT_FALSE(grown->isLeafNode());
    EXPECT_EQ(grown->getPriority()->val(), ns::Value(3));
    EXPECT_EQ(leaf->updateImmediateChild("c", empty).get(), leaf.get());

    EXPECT_THROW(FLeafNode(ns::Value(ns::Array{})), ns::Exception);

    // Booleans and integers 0-255 without a priority are shared leaves.
    EXPECT_EQ(FLeafNode::make(true).get(), FLeafNode::make(ns::Value(true)).get());
    EXPECT_EQ(FLeafNode::make(255).get(), FLeafNode::make(int64_t(255)).get());
    // Other numbers and short strings share the equal leaf made just
    // before, never one of another kind or with other bits.
    EXPECT_EQ(FLeafNode::make(256).get(), FLeafNode::make(256).get());
    EXPECT_EQ(FLeafNode::make(2.5).get(), FLeafNode::make(2.5).get());
    EXPECT_EQ(FLeafNode::make("open").get(), FLeafNode::make("open").get());
    EXPECT_NE(FLeafNode::make(std::string(16, 'x')).get(), FLeafNode::make(std::string(16, 'x')).get());
    for (const auto& [a, b] : std::vector<std::pair<ns::Value, ns::Value>>{
             {ns::Value(0.0), ns::Value(-0.0)},
             {ns::Value(300), ns::Value(300.0)},
             {ns::Value(std::numeric_limits<int64_t>::min()), ns::Value(1ULL << 63)},
             {ns::Value("1"), ns::Value(1.0)}}) {
        FNodePtr first = FLeafNode::make(a), second = FLeafNode::make(b);
        EXPECT_NE(first.get(), second.get());
        EXPECT_EQ(second->val().type(), b.type());
        EXPECT_EQ(FLeafNode::make(a).get(), first.get());
    }
    EXPECT_NE(FLeafNode::make(7, FLeafNode::make(1)).get(), FLeafNode::make(7).get());
    EXPECT_EQ(FLeafNode::make(7, FLeafNode::make(1))->getPriority()->val(), ns::Value(1));

    // Strings in the leaf's block (make), apart (constructor) and with a priority.
    const std::string text(70000, 'x');
    EXPECT_EQ(FLeafNode::make(text)->val(), ns::Value(text));
    EXPECT_EQ(FLeafNode::make("")->val(), ns::Value(""));
    EXPECT_EQ(FLeafNode(ns::Value("abc")).stringValue(), "abc");
    EXPECT_TRUE(FLeafNode::make("abc", FLeafNode::make(2))->isEqual(*FLeafNode::make("abc")->updatePriority(FLeafNode::make(2))));
}

// Strings lie in the leaf, after it in its block, or in a block of their own
// by length and how the leaf was made: every form reads and hashes alike.
TEST(Node, StringLeavesOfEveryLength) {
    for (size_t length : {size_t(0), size_t(1), size_t(13), size_t(14), size_t(15), size_t(16), size_t(300)}) {
        std::string text(length, 'x');
        if (length) text[length - 1] = 'y';
        const FNodePtr made = FLeafNode::make(ns::Value(text));
        const FNodePtr built = std::make_shared<const FLeafNode>(ns::Value(text));
        bool reused;
        const FNodePtr fromText = FLeafNode::makeText(text, reused);
        for (const FNodePtr& leaf : {made, built, fromText, FLeafNode::makeNewText(text)}) {
            EXPECT_EQ(static_cast<const FLeafNode&>(*leaf).stringValue(), text) << length;
            EXPECT_EQ(leaf->val(), ns::Value(text)) << length;
            EXPECT_TRUE(leaf->isEqual(*built)) << length;
            EXPECT_EQ(leaf->dataHash(), built->dataHash()) << length;
        }
        EXPECT_EQ(reused, length <= 15) << length;
        EXPECT_FALSE(made->isEqual(*FLeafNode::make(ns::Value(text + "z")))) << length;
    }
}

TEST(Node, ChildrenAndPriorityEnumeration) {
    // ".priority" sorts after "0" and "-x" ("-" is below ".") and before "B".
    FNodePtr n = N("{\"B\":1,\"0\":2,\"-x\":3,\".priority\":7}");
    std::vector<std::string> keys;
    static_cast<const FChildrenNode&>(*n).enumerateChildrenAndPriority(
        [&](const std::string& key, const FNodePtr&, bool&) { keys.push_back(key); });
    EXPECT_EQ(keys, (std::vector<std::string>{"0", "-x", ".priority", "B"}));

    // No child after ".priority": the priority is not passed.
    keys.clear();
    static_cast<const FChildrenNode&>(*N("{\"0\":2,\".priority\":7}"))
        .enumerateChildrenAndPriority([&](const std::string& key, const FNodePtr&, bool&) { keys.push_back(key); });
    EXPECT_EQ(keys, (std::vector<std::string>{"0"}));

    keys.clear();
    n->enumerateChildrenReverse(true, [&](const std::string& key, const FNodePtr&, bool& stop) {
        keys.push_back(key);
        stop = key == "B";  // the last key: stops at once
    });
    EXPECT_EQ(keys, (std::vector<std::string>{"B"}));

    auto names = n->childEnumerator()->allObjects();
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0].name, "0");
    EXPECT_EQ(names[2].name, "B");
}

TEST(Node, SerializedSizeEstimate) {
    EXPECT_EQ(FSnapshotUtilities::estimateSerializedNodeSize(FEmptyNode::emptyNode()), 4u);
    EXPECT_EQ(FSnapshotUtilities::estimateSerializedNodeSize(N("12")), 8u);
    EXPECT_EQ(FSnapshotUtilities::estimateSerializedNodeSize(N("true")), 4u);
    EXPECT_EQ(FSnapshotUtilities::estimateSerializedNodeSize(N("\"abc\"")), 5u);
    // "é" and an emoji count as 1 and 2 units.
    EXPECT_EQ(FSnapshotUtilities::estimateSerializedNodeSize(N("\"\\u00e9\\ud83d\\ude00\"")), 5u);
    EXPECT_EQ(FSnapshotUtilities::estimateSerializedNodeSize(N("{\".value\":1,\".priority\":\"ab\"}")), 8u + 24 + 4);
    // 1 + ("a": 1+4+8) + (".priority": 9+4+8) + ("b": 1+4+4)
    EXPECT_EQ(FSnapshotUtilities::estimateSerializedNodeSize(N("{\"a\":1,\"b\":true,\".priority\":3}")),
              1u + 13 + 21 + 9);
    // One node of an 8 MB text under 600 keys: past what a node keeps of
    // its estimate, so it is counted again, the same, at each call.
    const FNodePtr text = N(("{\"t\":\"" + std::string(8 << 20, 'x') + "\"}").c_str());
    std::vector<FChildrenDictionary::Entry> entries;
    for (int i = 0; i < 600; ++i) entries.emplace_back("k" + std::to_string(i + 100), text);
    const FNodePtr wide = FChildrenNode::make(FChildrenDictionary::fromEntries(std::move(entries)));
    const uint64_t expected = 1 + 600 * (4 + 4 + (1 + 1 + 4 + (uint64_t(8) << 20) + 2));
    EXPECT_EQ(FSnapshotUtilities::estimateSerializedNodeSize(wide), expected);
    EXPECT_EQ(FSnapshotUtilities::estimateSerializedNodeSize(wide), expected);
}

// ----- hashes

std::string opensslSha1Base64(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(text.data(), text.size(), digest, &len, EVP_sha1(), nullptr);
    unsigned char out[64];
    int n = EVP_EncodeBlock(out, digest, int(len));
    return std::string(reinterpret_cast<char*>(out), size_t(n));
}

std::string leafText(const FNodePtr& node, FDataHashVersion version) {
    std::string out;
    FSnapshotUtilities::appendHashRepresentationForLeafNode(static_cast<const FLeafNode&>(*node), out, version);
    return out;
}

TEST(NodeHash, LeafTextsOfBothVersions) {
    EXPECT_EQ(leafText(N("1"), FDataHashVersion0), "number:3ff0000000000000");
    EXPECT_EQ(leafText(N("-2.5"), FDataHashVersion0), "number:c004000000000000");
    EXPECT_EQ(leafText(N("1.0"), FDataHashVersion1), "number:3ff0000000000000");
    EXPECT_EQ(leafText(N("true"), FDataHashVersion0), "boolean:true");
    EXPECT_EQ(leafText(N("false"), FDataHashVersion1), "boolean:false");
    EXPECT_EQ(leafText(N("\"a\\\"b\\\\c\""), FDataHashVersion0), "string:a\"b\\c");
    EXPECT_EQ(leafText(N("\"a\\\"b\\\\c\""), FDataHashVersion1), "string:\"a\\\"b\\\\c\"");
    FNodePtr withPriority = N("{\".value\":\"x\",\".priority\":\"p\"}");
    EXPECT_EQ(leafText(withPriority, FDataHashVersion0), "priority:string:p:string:x");
    EXPECT_EQ(leafText(withPriority, FDataHashVersion1), "priority:string:\"p\":string:\"x\"");
    EXPECT_EQ(leafText(N("{\".value\":3,\".priority\":2}"), FDataHashVersion0),
              "priority:number:4000000000000000:number:4008000000000000");

    std::string quoted;
    FSnapshotUtilities::appendHashV2RepresentationForString("q\"\\", quoted);
    EXPECT_EQ(quoted, "\"q\\\"\\\\\"");
}

TEST(NodeHash, DigestsMatchSha1OfTheTexts) {
    FNodePtr leaf = N("{\".value\":\"x\",\".priority\":1}");
    EXPECT_EQ(leaf->dataHash(), opensslSha1Base64("priority:number:3ff0000000000000:string:x"));
    EXPECT_EQ(leaf->dataHash(), FStringUtilities::base64EncodedSha1("priority:number:3ff0000000000000:string:x"));

    FNodePtr tree = N("{\"b\":{\"c\":true},\"a\":\"s\",\"10\":2,\".priority\":\"top\"}");
    std::string aHash = opensslSha1Base64("string:s");
    std::string cHash = opensslSha1Base64("boolean:true");
    std::string bHash = opensslSha1Base64(":c:" + cHash);
    std::string tenHash = opensslSha1Base64("number:4000000000000000");
    std::string text = "priority:string:top::10:" + tenHash + ":a:" + aHash + ":b:" + bHash;
    EXPECT_EQ(tree->dataHash(), opensslSha1Base64(text));
    EXPECT_EQ(tree->getImmediateChild("b")->dataHash(), bHash);

    // An update re-hashes only the changed path and gives the fresh result.
    FNodePtr updated = tree->updateChild(FPath("b/c"), FLeafNode::make(false));
    std::string newB = opensslSha1Base64(":c:" + opensslSha1Base64("boolean:false"));
    EXPECT_EQ(updated->dataHash(),
              opensslSha1Base64("priority:string:top::10:" + tenHash + ":a:" + aHash + ":b:" + newB));
    EXPECT_EQ(tree->dataHash(), opensslSha1Base64(text));

    EXPECT_EQ(FEmptyNode::emptyNode()->dataHash(), "");
}

// Nodes are shared between threads; hashing the same fresh tree from many
// threads at once gives every thread the same digests.
TEST(NodeHash, SharedTreeHashedFromManyThreads) {
    ValueGenerator gen(17);
    ns::Dictionary d;
    for (int i = 0; i < 300; ++i) d["k" + std::to_string(i)] = gen.value(1);
    ns::Value v(std::move(d));
    std::string expected = FSnapshotUtilities::nodeFrom(v)->dataHash();
    FNodePtr shared = FSnapshotUtilities::nodeFrom(v);
    std::vector<std::string> results(8);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&, t] {
            std::string childHashes;
            shared->enumerateChildrenReverse(t % 2 == 1, [&](const std::string&, const FNodePtr& c, bool&) {
                childHashes += c->dataHash();
            });
            results[t] = shared->dataHash();
        });
    }
    for (auto& th : threads) th.join();
    for (const auto& r : results) EXPECT_EQ(r, expected);
}

// -0.0 equals 0 (and the integer 0), so hash containers must see one key;
// the data hash stays the one of the node's own text.
TEST(NodeHash, NegativeZeroHashesLikeZeroAndKeepsItsDataHash) {
    const FNodePtr negative = FLeafNode::make(ns::Value(-0.0));
    const FNodePtr positive = FLeafNode::make(ns::Value(0.0));
    const FNodePtr integer = FLeafNode::make(ns::Value(int64_t(0)));
    ASSERT_TRUE(negative->isEqual(*positive));
    ASSERT_TRUE(negative->isEqual(*integer));
    EXPECT_EQ(negative->hash(), positive->hash());
    EXPECT_EQ(negative->hash(), integer->hash());
    EXPECT_TRUE(negative->containsNegativeZero());
    EXPECT_FALSE(positive->containsNegativeZero());
    EXPECT_EQ(negative->dataHash(), opensslSha1Base64("number:8000000000000000"));
    EXPECT_EQ(positive->dataHash(), opensslSha1Base64("number:0000000000000000"));

    // As a priority of a leaf and of a children node, and deep in a tree.
    const FNodePtr leafNegativePriority = FLeafNode::make(ns::Value("x"), negative);
    const FNodePtr leafZeroPriority = FLeafNode::make(ns::Value("x"), integer);
    ASSERT_TRUE(leafNegativePriority->isEqual(*leafZeroPriority));
    EXPECT_EQ(leafNegativePriority->hash(), leafZeroPriority->hash());
    EXPECT_EQ(leafNegativePriority->dataHash(), opensslSha1Base64("priority:number:8000000000000000:string:x"));

    auto tree = [](const FNodePtr& zero) {
        return N("{\"a\":{\"b\":1,\"c\":\"s\"},\"d\":true}")
            ->updateChild(FPath("a/z"), zero)
            ->updateChild(FPath("d"), FLeafNode::make(ns::Value(true), zero))
            ->updatePriority(zero);
    };
    const FNodePtr negativeTree = tree(negative);
    const FNodePtr zeroTree = tree(positive);
    ASSERT_TRUE(negativeTree->isEqual(*zeroTree));
    EXPECT_EQ(negativeTree->hash(), zeroTree->hash());
    EXPECT_TRUE(negativeTree->containsNegativeZero());
    EXPECT_FALSE(negativeTree->getImmediateChild("a")->getImmediateChild("c")->containsNegativeZero());
    const std::string zeroText = "number:8000000000000000";
    const std::string aHash = opensslSha1Base64(":b:" + opensslSha1Base64("number:3ff0000000000000") + ":c:" +
                                                opensslSha1Base64("string:s") + ":z:" + opensslSha1Base64(zeroText));
    const std::string dHash = opensslSha1Base64("priority:" + zeroText + ":boolean:true");
    EXPECT_EQ(negativeTree->getImmediateChild("a")->dataHash(), aHash);
    EXPECT_EQ(negativeTree->getImmediateChild("d")->dataHash(), dHash);
    EXPECT_EQ(negativeTree->dataHash(),
              opensslSha1Base64("priority:" + zeroText + "::a:" + aHash + ":d:" + dHash));
    EXPECT_NE(negativeTree->dataHash(), zeroTree->dataHash());

    // Different nodes still hash apart.
    EXPECT_NE(negativeTree->hash(), tree(FLeafNode::make(ns::Value(1.0)))->hash());
    EXPECT_NE(negative->hash(), FLeafNode::make(ns::Value(-1.0))->hash());

    struct Hash {
        size_t operator()(const FNodePtr& n) const { return n->hash(); }
    };
    struct Equal {
        bool operator()(const FNodePtr& a, const FNodePtr& b) const { return a->isEqual(*b); }
    };
    std::unordered_set<FNodePtr, Hash, Equal> keys{negative, positive, integer, negativeTree, zeroTree};
    EXPECT_EQ(keys.size(), 2u);
}

TEST(NodeHash, NonLeafPriorityCannotBeHashed) {
    // A server-value placeholder priority stays unresolved in the node.
    FNodePtr node = FSnapshotUtilities::nodeFrom(J("\"v\""), J("{\".sv\":\"timestamp\"}"));
    try {
        (void)node->dataHash();
        FAIL() << "expected a raise";
    } catch (const ns::Exception& e) {
        EXPECT_EQ(e.name(), "NSInvalidArgumentException");
        EXPECT_EQ(e.reason().rfind("Unknown value for hashing: ", 0), 0u) << e.reason();
    }
    // Deep in a tree large enough to be hashed on several threads, the raise
    // still reaches the caller, every time.
    std::vector<FChildrenDictionary::Entry> groups;
    for (int g = 0; g < 300; ++g) {
        std::vector<FChildrenDictionary::Entry> leaves;
        for (int i = 0; i < 300; ++i) leaves.emplace_back("k" + std::to_string(i), FLeafNode::make(ns::Value(int64_t(i))));
        if (g == 157) leaves.emplace_back("bad", node);
        groups.emplace_back("g" + std::to_string(g), FChildrenNode::make(FChildrenDictionary::fromEntries(std::move(leaves))));
    }
    FNodePtr tree = FChildrenNode::make(FChildrenDictionary::fromEntries(std::move(groups)));
    EXPECT_THROW((void)tree->dataHash(), ns::Exception);
    EXPECT_THROW((void)tree->dataHash(), ns::Exception);
}

// The database's queues may still use the shared nodes, leaves and indexes
// on other threads while the process exits: the exit handlers must not free
// them.
// Integer leaves made from the number alone are the leaves made from its
// value, whichever thread made them and whether or not that thread is
// still there.
TEST(Node, IntegerLeavesMadeWithoutAValue) {
    for (const int64_t i : {int64_t(0), int64_t(255), int64_t(256), int64_t(-1), std::numeric_limits<int64_t>::min(),
                            std::numeric_limits<int64_t>::max()}) {
        const FNodePtr made = FLeafNode::make(ns::Value(i));
        FNodePtr onThread;
        std::thread([&] { onThread = FLeafNode::makeNewInt(i); }).join();
        bool reused;
        for (const FNodePtr& leaf : {FLeafNode::makeInt(i, reused), FLeafNode::makeNewInt(i), onThread}) {
            EXPECT_EQ(leaf->val().type(), ns::Value::Type::Int) << i;
            EXPECT_EQ(leaf->val(), ns::Value(i)) << i;
            EXPECT_TRUE(leaf->isEqual(*made)) << i;
            EXPECT_EQ(leaf->dataHash(), made->dataHash()) << i;
        }
        EXPECT_EQ(FLeafNode::makeInt(i, reused).get(), made.get()) << i;
        EXPECT_TRUE(reused) << i;
        const auto& leaf = static_cast<const FLeafNode&>(*made);
        EXPECT_TRUE(leaf.holdsInt(i) && !leaf.holdsInt(i ^ 1)) << i;
        EXPECT_FALSE(static_cast<const FLeafNode&>(*FLeafNode::make(ns::Value(double(i)))).holdsInt(i)) << i;
    }
}

TEST(NodeDeathTest, SharedNodesOutliveTheExitHandlers) {
    EXPECT_EXIT(
        {
            std::atomic<bool> running{false};
            std::thread([&running] {
                for (;;) {
                    FNodePtr shared[] = {FEmptyNode::emptyNode(), FMaxNode::maxNode(), FLeafNode::make(true)};
                    FIndexPtr index = FPriorityIndex::priorityIndex();
                    running = shared[0]->isEmpty() && shared[2]->isLeafNode() && index != nullptr;
                }
            }).detach();
            while (!running) std::this_thread::yield();
            std::exit(0);
        },
        testing::ExitedWithCode(0), "");
}

TEST(ChildKey, ShortKeysShareTheStringOfARecentEqualKey) {
    FChildKey a(std::string("name")), b("name");
    EXPECT_EQ(&a.str(), &b.str());
    const std::string longText(FChildKey::kSharedLength + 1, 'k');
    FChildKey c(longText), d(longText);
    EXPECT_NE(&c.str(), &d.str());
    EXPECT_TRUE(c == d && c == longText && a != c);

    // Keys made on several threads and handed back: each reads its text.
    std::vector<std::vector<FChildKey>> made(4);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < made.size(); ++t) {
        threads.emplace_back([&made, t] {
            for (int i = 0; i < 5000; ++i) made[t].emplace_back("k" + std::to_string(i % 700));
        });
    }
    for (auto& thread : threads) thread.join();
    for (const auto& keys : made) {
        for (size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(keys[i], "k" + std::to_string(i % 700));
    }
}

// Children arrays with the same keys share one block of them: no version may
// see another's keys or values.
TEST(ChildrenDictionary, ArraysOfTheSameKeysShareThem) {
    using Contents = std::vector<std::pair<std::string, int64_t>>;
    auto build = [](const Contents& contents) {
        std::vector<FChildrenDictionary::Entry> entries;
        for (const auto& [key, value] : contents) entries.emplace_back(key, FLeafNode::make(ns::Value(value)));
        return FChildrenDictionary::fromSortedEntries(std::move(entries));
    };
    auto contentsOf = [](const FChildrenDictionary& d) {
        Contents out;
        d.forEach([&](const std::string& key, const FNodePtr& leaf) {
            out.emplace_back(key, leaf->val().asInt());
            return true;
        });
        return out;
    };
    const Contents firstContents{{"a", 300}, {"b", 301}, {"c", 302}};
    const FChildrenDictionary first = build(firstContents);
    struct Case {
        const char* what;
        std::function<FChildrenDictionary()> make;
        bool shares;
        Contents contents;
    };
    const Case cases[] = {
        {"the same keys again", [&] { return build({{"a", 400}, {"b", 401}, {"c", 402}}); }, true,
         {{"a", 400}, {"b", 401}, {"c", 402}}},
        {"a value replaced", [&] { return first.insert("b", FLeafNode::make(ns::Value(int64_t(500)))); }, true,
         {{"a", 300}, {"b", 500}, {"c", 302}}},
        {"a key added", [&] { return first.insert("bb", FLeafNode::make(ns::Value(int64_t(500)))); }, false,
         {{"a", 300}, {"b", 301}, {"bb", 500}, {"c", 302}}},
        {"a key removed", [&] { return first.remove("a"); }, false, {{"b", 301}, {"c", 302}}},
        {"a key fewer", [&] { return build({{"a", 1}, {"b", 2}}); }, false, {{"a", 1}, {"b", 2}}},
        {"another last key", [&] { return build({{"a", 1}, {"b", 2}, {"d", 3}}); }, false,
         {{"a", 1}, {"b", 2}, {"d", 3}}},
    };
    for (const Case& c : cases) {
        const FChildrenDictionary second = c.make();
        EXPECT_EQ(second.sharesKeysWith(first), c.shares) << c.what;
        EXPECT_EQ(contentsOf(second), c.contents) << c.what;
        EXPECT_EQ(contentsOf(first), firstContents) << c.what;
        EXPECT_TRUE(second.checkInvariants()) << c.what;
    }
}

// Leaves come from per-thread lists of pooled slots: leaves made on one
// thread and freed on another, either thread ending in between, keep their
// values, and slots freed are used again without touching live leaves.
TEST(Node, LeavesMadeAndFreedOnThreadsThatEnd) {
    struct Case {
        const char* what;
        bool madeOnWorker;
        bool freedOnWorker;
    };
    const Case cases[] = {
        {"made and freed here", false, false},
        {"made on an ended thread, freed here", true, false},
        {"made here, freed on an ended thread", false, true},
        {"made and freed on ended threads", true, true},
    };
    constexpr int64_t kLeaves = 3000;
    auto onThread = [](bool worker, const std::function<void()>& work) {
        if (!worker) return work();
        std::thread(work).join();
    };
    for (const Case& c : cases) {
        std::vector<FNodePtr> made, kept;
        onThread(c.madeOnWorker, [&] {
            for (int64_t i = 0; i < kLeaves; ++i) made.push_back(FLeafNode::makeNew(ns::Value(1000 + i)));
        });
        for (size_t i = 0; i < made.size(); i += 3) kept.push_back(made[i]);
        onThread(c.freedOnWorker, [&] { made.clear(); });
        std::vector<FNodePtr> again;
        for (int64_t i = 0; i < kLeaves; ++i) again.push_back(FLeafNode::makeNew(ns::Value(-1 - i)));
        for (size_t i = 0; i < kept.size(); ++i) ASSERT_EQ(kept[i]->val(), ns::Value(int64_t(1000 + 3 * i))) << c.what;
        for (size_t i = 0; i < again.size(); ++i) ASSERT_EQ(again[i]->val(), ns::Value(-1 - int64_t(i))) << c.what;
    }
}

}  // namespace
