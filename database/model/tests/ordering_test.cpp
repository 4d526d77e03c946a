#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "database/model/FIndexedNode.h"
#include "database/model/FSnapshotUtilities.h"
#include "platform/json.h"

namespace {

ns::Value J(const char* json) { return ns::json::parse(json); }
FNodePtr N(const char* json) { return FSnapshotUtilities::nodeFrom(J(json)); }

TEST(KeyOrder, IntegersSentinelsAndUtf16) {
    // Each key sorts strictly before the next.
    const std::vector<std::string> ordered = {
        FUtilities::minName(),
        "-2147483648", "-10", "-1", "0", "1", "2", "10", "2147483647",
        "!", "+1", "-0", "-2147483649", "00", "01", "2147483648", "A", "Z", "a", "b", "ba",
        "\xC3\xA9",          // U+00E9
        "\xF0\x9F\x98\x80",  // U+1F600: a surrogate pair in UTF-16, so before U+FF5E
        "\xEF\xBD\x9E",      // U+FF5E
        FUtilities::maxName(),
    };
    for (size_t i = 0; i < ordered.size(); ++i) {
        EXPECT_EQ(FUtilities::compareKey(ordered[i], ordered[i]), 0);
        for (size_t j = i + 1; j < ordered.size(); ++j) {
            EXPECT_LT(FUtilities::compareKey(ordered[i], ordered[j]), 0) << ordered[i] << " < " << ordered[j];
            EXPECT_GT(FUtilities::compareKey(ordered[j], ordered[i]), 0) << ordered[j] << " > " << ordered[i];
        }
    }
    EXPECT_EQ(&FUtilities::minName(), &FUtilities::minName());
    EXPECT_EQ(FPath("a/1").compare(FPath("a/a")), -1);
    EXPECT_EQ(FPath("a").compare(FPath("a/b")), -1);
    EXPECT_EQ(FPath("a/b").compare(FPath("a/b")), 0);
}

// Children named k0...kn, each a node given as JSON; sorts them under the
// index and answers the names in order.
std::vector<std::string> sortedNames(const FIndexPtr& index, const std::vector<std::pair<std::string, FNodePtr>>& children,
                                     bool reverse = false) {
    std::vector<FNamedNode> named;
    for (const auto& [k, n] : children) named.push_back({k, n});
    std::sort(named.begin(), named.end(),
              [&](const FNamedNode& a, const FNamedNode& b) { return index->compare(a, b, reverse) < 0; });
    std::vector<std::string> out;
    for (const auto& n : named) out.push_back(n.name);
    return out;
}

TEST(IndexOrder, ValueIndex) {
    std::vector<std::pair<std::string, FNodePtr>> children = {
        {"obj", N("{\"x\":1}")}, {"str", N("\"a\"")}, {"num2", N("2.5")}, {"t", N("true")}, {"f", N("false")},
        {"num1", N("-3")},       {"b", N("{\"y\":2}")}, {"str2", N("\"B\"")}, {"nil", FEmptyNode::emptyNode()},
        {"num3", N("2.5")}};
    std::vector<std::string> expected = {"nil", "f", "t", "num1", "num2", "num3", "str2", "str", "b", "obj"};
    EXPECT_EQ(sortedNames(FValueIndex::valueIndex(), children), expected);
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(sortedNames(FValueIndex::valueIndex(), children, true), expected);
    // Integers and doubles compare as numbers.
    EXPECT_EQ(FValueIndex::valueIndex()->compare("a", *N("2"), "b", *N("1.5")), 1);
    EXPECT_EQ(FValueIndex::valueIndex()->compare("a", *N("9007199254740993"), "b", *N("9007199254740992.0")), 1);
}

TEST(IndexOrder, PriorityIndex) {
    std::vector<std::pair<std::string, FNodePtr>> children = {
        {"s", N("{\".value\":1,\".priority\":\"b\"}")}, {"n2", N("{\".value\":1,\".priority\":10}")},
        {"none", N("5")},                               {"n1", N("{\"x\":1,\".priority\":2}")},
        {"s0", N("{\".value\":1,\".priority\":\"a\"}")}, {"a", N("{\".value\":1,\".priority\":2}")}};
    EXPECT_EQ(sortedNames(FPriorityIndex::priorityIndex(), children),
              (std::vector<std::string>{"none", "a", "n1", "n2", "s0", "s"}));
    EXPECT_EQ(sortedNames(FPriorityIndex::priorityIndex(), children, true),
              (std::vector<std::string>{"s", "s0", "n2", "n1", "a", "none"}));
    EXPECT_TRUE(FPriorityIndex::priorityIndex()->indexedValueChanged(*children[0].second, *children[1].second));
    EXPECT_FALSE(FPriorityIndex::priorityIndex()->indexedValueChanged(*N("{\".value\":1,\".priority\":2}"),
                                                                      *N("{\".value\":7,\".priority\":2}")));
}

TEST(IndexOrder, KeyAndPathIndexes) {
    std::vector<std::pair<std::string, FNodePtr>> children = {
        {"b", N("{\"age\":{\"y\":3}}")}, {"10", N("{\"age\":30}")}, {"a", N("{\"age\":\"x\"}")},
        {"2", N("{\"age\":30.0}")},      {"c", N("{\"other\":1}")}, {"d", N("{\"age\":false}")}};
    EXPECT_EQ(sortedNames(FKeyIndex::keyIndex(), children), (std::vector<std::string>{"2", "10", "a", "b", "c", "d"}));
    EXPECT_EQ(sortedNames(FKeyIndex::keyIndex(), children, true),
              (std::vector<std::string>{"d", "c", "b", "a", "10", "2"}));
    FIndexPtr age = FIndex::indexFromQueryDefinition("age");
    EXPECT_EQ(sortedNames(age, children), (std::vector<std::string>{"c", "d", "2", "10", "a", "b"}));
    FIndexPtr deep = FIndex::indexFromQueryDefinition("age/y");
    EXPECT_EQ(sortedNames(deep, children).back(), "b");

    EXPECT_FALSE(FKeyIndex::keyIndex()->indexedValueChanged(*N("1"), *N("2")));
    EXPECT_TRUE(FValueIndex::valueIndex()->indexedValueChanged(*N("1"), *N("2")));
    EXPECT_FALSE(age->indexedValueChanged(*N("{\"age\":1,\"x\":1}"), *N("{\"age\":1.0,\"x\":2}")));
    EXPECT_TRUE(age->indexedValueChanged(*N("{\"age\":1}"), *N("{\"age\":2}")));
}

TEST(IndexOrder, DefinitionsEqualityAndPosts) {
    EXPECT_EQ(FIndex::indexFromQueryDefinition(".key").get(), FKeyIndex::keyIndex().get());
    EXPECT_EQ(FIndex::indexFromQueryDefinition(".value").get(), FValueIndex::valueIndex().get());
    EXPECT_EQ(FIndex::indexFromQueryDefinition(".priority").get(), FPriorityIndex::priorityIndex().get());
    FIndexPtr p = FIndex::indexFromQueryDefinition("a/b");
    EXPECT_EQ(p->queryDefinition(), "a/b");
    EXPECT_TRUE(p->isEqual(*FPathIndex::make(FPath("/a/b/"))));
    EXPECT_EQ(p->hash(), FPathIndex::make(FPath("a/b"))->hash());
    EXPECT_FALSE(p->isEqual(*FValueIndex::valueIndex()));
    EXPECT_THROW(FPathIndex::make(FPath()), ns::Exception);
    EXPECT_THROW(FIndex::indexFromQueryDefinition(".priority/x"), ns::Exception);

    // Posts bracket every child; a bound's post sits where its value does.
    std::vector<FNodePtr> nodes = {FEmptyNode::emptyNode(), N("false"), N("-1e300"), N("\"zzzz\""),
                                   N("{\"a\":{\"b\":\"zz\"},\".priority\":\"zz\"}"), N("{\"q\":1}")};
    for (const FIndexPtr& index : {FKeyIndex::keyIndex(), FPriorityIndex::priorityIndex(), FValueIndex::valueIndex(), p}) {
        FNamedNode lo = index->minPost(), hi = index->maxPost();
        for (const auto& n : nodes) {
            EXPECT_LT(index->compare(lo, FNamedNode{"k", n}), 0) << index->queryDefinition();
            EXPECT_GT(index->compare(hi, FNamedNode{"k", n}), 0) << index->queryDefinition();
            EXPECT_GT(index->compare(lo, FNamedNode{"k", n}, true), 0);
        }
    }
    FNamedNode post = FValueIndex::valueIndex()->makePost(N("5"), "m");
    EXPECT_LT(FValueIndex::valueIndex()->compare(FNamedNode{"z", N("4")}, post), 0);
    EXPECT_GT(FValueIndex::valueIndex()->compare(FNamedNode{"z", N("5")}, post), 0);
    EXPECT_LT(FValueIndex::valueIndex()->compare(FNamedNode{"a", N("5")}, post), 0);
    FNamedNode pathPost = p->makePost(N("\"x\""), FUtilities::minName());
    EXPECT_LT(p->compare(pathPost, FNamedNode{"a", N("{\"a\":{\"b\":\"x\"}}")}), 0);
    FNamedNode priorityPost = FPriorityIndex::priorityIndex()->makePost(N("3"), FUtilities::maxName());
    EXPECT_GT(FPriorityIndex::priorityIndex()->compare(priorityPost, FNamedNode{"z", N("{\".value\":1,\".priority\":3}")}), 0);
    EXPECT_EQ(FKeyIndex::keyIndex()->makePost(N("\"key\""), "ignored").name, "key");
    EXPECT_THROW(FKeyIndex::keyIndex()->makePost(N("1"), "n"), ns::Exception);
}

TEST(IndexedNode, FirstLastAndPredecessorUnderEachIndex) {
    FNodePtr node = N("{\"a\":{\"v\":3,\".priority\":30},\"b\":{\"v\":1,\".priority\":10},"
                      "\"c\":{\"v\":2,\".priority\":20},\"d\":{\"w\":0}}");
    struct Case {
        FIndexPtr index;
        std::vector<std::string> order;
    };
    FIndexPtr byV = FIndex::indexFromQueryDefinition("v");
    std::vector<Case> cases = {{FKeyIndex::keyIndex(), {"a", "b", "c", "d"}},
                               {FPriorityIndex::priorityIndex(), {"d", "b", "c", "a"}},
                               {byV, {"d", "b", "c", "a"}},
                               {FValueIndex::valueIndex(), {"a", "b", "c", "d"}}};
    for (const auto& c : cases) {
        FIndexedNodePtr indexed = FIndexedNode::indexedNodeWithNode(node, c.index);
        std::vector<std::string> seen;
        indexed->enumerateChildrenReverse(false, [&](const std::string& k, const FNodePtr&, bool&) { seen.push_back(k); });
        EXPECT_EQ(seen, c.order) << c.index->queryDefinition();
        std::vector<std::string> enumerated;
        for (const auto& n : indexed->childEnumerator()->allObjects()) enumerated.push_back(n.name);
        EXPECT_EQ(enumerated, c.order);
        EXPECT_EQ(indexed->firstChild()->name, c.order.front());
        EXPECT_EQ(indexed->lastChild()->name, c.order.back());
        EXPECT_FALSE(indexed->predecessorForChildKey(c.order[0], node->getImmediateChild(c.order[0]), c.index));
        EXPECT_EQ(*indexed->predecessorForChildKey(c.order[2], node->getImmediateChild(c.order[2]), c.index), c.order[1]);
        std::vector<std::string> reversed;
        indexed->enumerateChildrenReverse(true, [&](const std::string& k, const FNodePtr&, bool&) { reversed.push_back(k); });
        EXPECT_EQ(reversed, std::vector<std::string>(c.order.rbegin(), c.order.rend()));
    }

    FIndexedNodePtr byPriority = FIndexedNode::indexedNodeWithNode(node);
    EXPECT_TRUE(byPriority->hasIndex(FPriorityIndex::priorityIndex()));
    try {
        byPriority->predecessorForChildKey("a", node->getImmediateChild("a"), FKeyIndex::keyIndex());
        FAIL() << "expected a raise";
    } catch (const ns::Exception& e) {
        EXPECT_EQ(e.name(), "NSInvalidArgumentException");
        EXPECT_EQ(e.reason(), "Index not available in IndexedNode!");
    }
    EXPECT_FALSE(FIndexedNode::indexedNodeWithNode(FEmptyNode::emptyNode())->firstChild());
    EXPECT_FALSE(FIndexedNode::indexedNodeWithNode(N("1"))->lastChild());
}

// Updates carry the order forward; the result always equals a fresh sort.
TEST(IndexedNode, UpdatesKeepTheIndexOrder) {
    std::mt19937 rng(5);
    FIndexPtr byScore = FIndex::indexFromQueryDefinition("score");
    for (const FIndexPtr& index : {FPriorityIndex::priorityIndex(), byScore, FValueIndex::valueIndex()}) {
        FIndexedNodePtr indexed = FIndexedNode::indexedNodeWithNode(FEmptyNode::emptyNode(), index);
        for (int step = 0; step < 300; ++step) {
            std::string key = "k" + std::to_string(rng() % 40);
            FNodePtr child;
            switch (rng() % 4) {
                case 0: child = FEmptyNode::emptyNode(); break;
                case 1: child = FLeafNode::make(int64_t(rng() % 10), FLeafNode::make(int64_t(rng() % 5))); break;
                case 2: child = N("{\"other\":1}"); break;
                default:
                    child = FSnapshotUtilities::nodeFrom(ns::Value(ns::Dictionary{{"score", ns::Value(int64_t(rng() % 7))}}));
            }
            // Touch the order so that later updates carry it forward.
            if (step % 3 == 0) (void)indexed->firstChild();
            indexed = indexed->updateChild(key, child);
            if (step % 50 == 49) indexed = indexed->updatePriority(FLeafNode::make(1));
            FIndexedNodePtr fresh = FIndexedNode::indexedNodeWithNode(indexed->node(), index);
            std::vector<std::string> a, b;
            indexed->enumerateChildrenReverse(false, [&](const std::string& k, const FNodePtr&, bool&) { a.push_back(k); });
            fresh->enumerateChildrenReverse(false, [&](const std::string& k, const FNodePtr&, bool&) { b.push_back(k); });
            ASSERT_EQ(a, b) << index->queryDefinition() << " step " << step;
        }
    }
}

}  // namespace
