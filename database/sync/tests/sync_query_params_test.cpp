// Query parameters: their wire form, reading it back (it also comes back
// from disk, so bad members are refused), equality and hashing.
#include <gtest/gtest.h>

#include <cmath>
#include <unordered_map>
#include <unordered_set>

#include "database/sync/FNodeFilter.h"
#include "database/sync/FQueryParams.h"
#include "sync_test_support.h"

using namespace synctest;

namespace {

std::string wire(const FQueryParamsPtr& params) { return ns::json::serialize(ns::Value(params->wireProtocolParams())); }

const FQueryParamsPtr& base() { return FQueryParams::defaultInstance(); }

void expectRefused(const std::string& json, const std::string& reason) {
    try {
        FQueryParams::fromQueryObject(ns::json::parse(json));
        ADD_FAILURE() << "accepted " << json;
    } catch (const ns::Exception& e) {
        EXPECT_EQ(e.name(), ns::kInvalidArgumentException) << json;
        EXPECT_EQ(e.reason(), reason) << json;
    }
}

}  // namespace

TEST(QueryParams, WireForm) {
    EXPECT_EQ(wire(base()), "{}");
    EXPECT_EQ(wire(base()->limitTo(5)), R"({"l":5,"vf":"r"})");
    EXPECT_EQ(wire(base()->startAt(node("1"))->limitTo(5)), R"({"l":5,"sp":1,"vf":"l"})");
    EXPECT_EQ(wire(base()->limitToFirst(5)), R"({"l":5,"vf":"l"})");
    EXPECT_EQ(wire(base()->startAt(node("1"))->limitToLast(5)), R"({"l":5,"sp":1,"vf":"r"})");
    // Bounds without child keys write no names, and read as the sentinels.
    auto bounded = base()->startAt(node("\"a\""))->endAt(node("\"z\""));
    EXPECT_EQ(wire(bounded), R"({"ep":"z","sp":"a"})");
    EXPECT_EQ(bounded->indexStartKey(), "[MIN_NAME]");
    EXPECT_EQ(bounded->indexEndKey(), "[MAX_NAME]");
    EXPECT_EQ(wire(base()->startAt(node("2"), "k")->endAt(node("3"), "m")), R"({"en":"m","ep":3,"sn":"k","sp":2})");
    // The export form keeps a bound's priority.
    EXPECT_EQ(wire(base()->startAt(FSnapshotUtilities::nodeFrom(ns::Value(4), ns::Value("p")))),
              R"({"sp":{".priority":"p",".value":4}})");
    // The priority index is never written; the others by definition.
    EXPECT_EQ(wire(base()->orderBy(FPriorityIndex::priorityIndex())), "{}");
    EXPECT_EQ(wire(base()->orderBy(FKeyIndex::keyIndex())), R"({"i":".key"})");
    EXPECT_EQ(wire(base()->orderBy(FValueIndex::valueIndex())), R"({"i":".value"})");
    EXPECT_EQ(wire(base()->orderBy(FPathIndex::make(FPath("/a/b/")))), R"({"i":"a/b"})");
    EXPECT_EQ(base()->limitToLast(2)->description(), "{\n    l = 2;\n    vf = r;\n}");
}

TEST(QueryParams, RoundTripThroughQueryObject) {
    // The empty dictionary is the shared default instance itself.
    EXPECT_EQ(FQueryParams::fromQueryObject(ns::Dictionary{}), base());
    std::vector<FQueryParamsPtr> all = {
        base()->limitTo(5),
        base()->startAt(node("1"))->limitTo(5),
        base()->limitToFirst(3)->orderBy(FKeyIndex::keyIndex()),
        base()->limitToLast(7)->orderBy(FPathIndex::make(FPath("Precio"))),
        base()->startAt(node("\"b\""), "key")->endAt(node("\"y\""))->orderBy(FValueIndex::valueIndex()),
        base()->startAt(FSnapshotUtilities::nodeFrom(ns::Value(true)))->limitToFirst(2147483647),
        base()->endAt(node("9"), "z")->limitToLast(1),
        base()->orderBy(FPathIndex::make(FPath("a/b"))),
    };
    for (const FQueryParamsPtr& params : all) {
        FQueryParamsPtr back = FQueryParams::fromQueryObject(params->wireProtocolParams());
        EXPECT_TRUE(back->isEqual(*params)) << wire(params);
        EXPECT_EQ(back->hash(), params->hash()) << wire(params);
        EXPECT_EQ(wire(back), wire(params));
    }
    // "i" = ".priority" is the priority index; names without their values
    // are ignored; unknown keys too.
    auto read = FQueryParams::fromQueryObject(ns::json::parse(R"({"i":".priority","sn":"x","en":"y","zz":1})"));
    EXPECT_TRUE(read->isDefault());
    EXPECT_FALSE(read->storedIndexStartKey().has_value());
    // A side to view from without a limit reads as what is written back.
    for (const char* object : {R"({"vf":"l"})", R"({"sp":1,"vf":"r"})"}) {
        FQueryParamsPtr stored = FQueryParams::fromQueryObject(ns::json::parse(object));
        FQueryParamsPtr back = FQueryParams::fromQueryObject(stored->wireProtocolParams());
        EXPECT_TRUE(back->isEqual(*stored)) << object;
        EXPECT_EQ(back->hash(), stored->hash()) << object;
    }
}

TEST(QueryParams, BadQueryObjectsAreRefused) {
    expectRefused(R"({"vf":"x"})", "Unknown view from paramter: x");
    expectRefused(R"({"vf":1})", "Unknown view from paramter: 1");
    expectRefused(R"({"l":0})", "Invalid limit in query object: 0");
    expectRefused(R"({"l":-3})", "Invalid limit in query object: -3");
    expectRefused(R"({"l":2147483648})", "Invalid limit in query object: 2147483648");
    expectRefused(R"({"l":"3"})", "Invalid limit in query object: 3");
    expectRefused(R"({"l":true})", "Invalid limit in query object: 1");
    expectRefused(R"({"l":2.5})", "Invalid limit in query object: 2.5");
    expectRefused(R"({"sp":1,"sn":2})", "Invalid start name in query object: 2");
    expectRefused(R"({"ep":1,"en":[]})", "Invalid end name in query object: (\n)");
    expectRefused(R"({"i":5})", "Invalid index in query object: 5");
    expectRefused(R"([1,2])", "Query object is not a dictionary: (\n    1,\n    2\n)");
    // A whole-number double is a limit like any other.
    EXPECT_EQ(FQueryParams::fromQueryObject(ns::json::parse(R"({"l":4.0})"))->limit(), 4);
}

TEST(QueryParams, EqualityHashAndPredicates) {
    // A plain limit equals the anchor it implies, and hashes alike.
    EXPECT_TRUE(base()->limitTo(3)->isEqual(*base()->limitToLast(3)));
    EXPECT_EQ(base()->limitTo(3)->hash(), base()->limitToLast(3)->hash());
    auto started = base()->startAt(node("1"));
    EXPECT_TRUE(started->limitTo(3)->isEqual(*started->limitToFirst(3)));
    EXPECT_FALSE(base()->limitTo(3)->isEqual(*base()->limitToFirst(3)));
    EXPECT_FALSE(base()->limitToLast(3)->isEqual(*base()->limitToLast(4)));
    // Stored keys are compared, not the sentinels they read as.
    EXPECT_FALSE(base()->startAt(node("1"))->isEqual(*base()->startAt(node("1"), "[MIN_NAME]")));

    EXPECT_FALSE(base()->startAt(node("1"))->endAt(node("2"))->limitTo(1)->isValid());
    EXPECT_TRUE(base()->startAt(node("1"))->endAt(node("2"))->limitToFirst(1)->isValid());
    EXPECT_TRUE(base()->orderBy(FKeyIndex::keyIndex())->loadsAllData());
    EXPECT_FALSE(base()->orderBy(FKeyIndex::keyIndex())->isDefault());
    EXPECT_TRUE(base()->limitToFirst(1)->isViewFromLeft());
    EXPECT_FALSE(base()->limitTo(1)->isViewFromLeft());

    // Builders leave the shared default untouched.
    base()->limitToFirst(9)->startAt(node("1"));
    EXPECT_TRUE(base()->isDefault());
    EXPECT_FALSE(base()->limitSet());

    EXPECT_NE(dynamic_cast<const FIndexedFilter*>(base()->nodeFilter().get()), nullptr);
    EXPECT_NE(dynamic_cast<const FRangedFilter*>(base()->startAt(node("1"))->nodeFilter().get()), nullptr);
    EXPECT_NE(dynamic_cast<const FLimitedFilter*>(base()->limitToLast(1)->nodeFilter().get()), nullptr);

    FQuerySpec a(path("/a"), base()->limitTo(2));
    FQuerySpec b(path("a/"), base()->limitToLast(2));
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<FQuerySpec>()(a), std::hash<FQuerySpec>()(b));
    EXPECT_NE(a, FQuerySpec::defaultQueryAtPath(path("/a")));
    EXPECT_EQ(FQuerySpec::defaultQueryAtPath(path("/x")).description(), "FQuerySpec (path: /x, params: {\n})");
}

// startAt(-0.0) and startAt(0) are the same window: equal parameters and
// specs, one key in a hash map, while each keeps the value it was given.
TEST(QueryParams, NegativeZeroBoundsAreOneKey) {
    const FNodePtr negative = FLeafNode::make(ns::Value(-0.0));
    const FNodePtr zero = FLeafNode::make(ns::Value(int64_t(0)));
    const auto viaNegative = base()->startAt(negative)->endAt(negative, "k")->limitToFirst(2);
    const auto viaZero = base()->startAt(zero)->endAt(FLeafNode::make(ns::Value(0.0)), "k")->limitToFirst(2);
    ASSERT_TRUE(viaNegative->isEqual(*viaZero));
    EXPECT_EQ(viaNegative->hash(), viaZero->hash());
    EXPECT_NE(viaNegative->hash(), base()->startAt(FLeafNode::make(ns::Value(1.0)))->endAt(negative, "k")
                                       ->limitToFirst(2)->hash());

    std::unordered_map<FQueryParamsPtr, int, FQueryParamsHash, FQueryParamsEqual> byParams;
    byParams[viaNegative] = 1;
    byParams[viaZero] = 2;
    EXPECT_EQ(byParams.size(), 1u);
    EXPECT_EQ(byParams[viaNegative], 2);

    const FQuerySpec negativeSpec(path("/shop/items"), viaNegative);
    const FQuerySpec zeroSpec(path("shop/items"), viaZero);
    ASSERT_EQ(negativeSpec, zeroSpec);
    EXPECT_EQ(std::hash<FQuerySpec>()(negativeSpec), std::hash<FQuerySpec>()(zeroSpec));
    std::unordered_set<FQuerySpec> specs{negativeSpec, zeroSpec};
    EXPECT_EQ(specs.size(), 1u);

    // The parameters still say what they were given.
    EXPECT_TRUE(std::signbit(viaNegative->indexStartValue()->val().asDouble()));
}
