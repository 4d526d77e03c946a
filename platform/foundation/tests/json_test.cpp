#include "platform/json.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>
#include <vector>

namespace {

using ns::Value;

Value roundTrip(const Value& v) {
    ns::ErrorRef error;
    std::string text = ns::json::serialize(v, &error);
    EXPECT_EQ(error, nullptr) << (error ? error->description() : "");
    Value back = ns::json::parse(text, &error);
    EXPECT_EQ(error, nullptr) << text;
    return back;
}

TEST(JSON, ScalarsKeepTheirKinds) {
    Value t = roundTrip(Value(true));
    EXPECT_TRUE(t.isBool());
    EXPECT_TRUE(t.asBool());

    Value one = roundTrip(Value(1.0));
    EXPECT_TRUE(one.isDouble());
    EXPECT_EQ(ns::json::serialize(Value(1.0)), "1.0");

    Value i = roundTrip(Value(1));
    EXPECT_EQ(i.type(), Value::Type::Int);

    Value neg = roundTrip(Value(std::numeric_limits<int64_t>::min()));
    EXPECT_EQ(neg.type(), Value::Type::Int);
    EXPECT_EQ(neg.asInt(), std::numeric_limits<int64_t>::min());

    Value umax = roundTrip(Value(std::numeric_limits<uint64_t>::max()));
    EXPECT_EQ(umax.type(), Value::Type::UInt);
    EXPECT_EQ(umax.asUInt(), std::numeric_limits<uint64_t>::max());

    Value imax = roundTrip(Value(uint64_t(std::numeric_limits<int64_t>::max())));
    EXPECT_EQ(imax.type(), Value::Type::Int);

    Value tenth = roundTrip(Value(0.1));
    EXPECT_EQ(tenth.asDouble(), 0.1);
    EXPECT_TRUE(roundTrip(Value()).isNull());
}

TEST(JSON, DoublesAreWrittenAsNlohmannWritesThem) {
    std::vector<double> values = {0.0, -0.0, 1.0, -2.5, 0.1, 1e300, -1e-300, 5e-324, 1e-7, 1e21, 1.5e20,
                                  123456789.125, std::numeric_limits<double>::max(), 0.30000000000000004};
    std::mt19937_64 random(20261209);
    while (values.size() < 2000) {
        const uint64_t bits = random();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (std::isfinite(d)) values.push_back(d);
    }
    for (double d : values) {
        ASSERT_EQ(ns::json::serialize(Value(ns::Array{Value(d)})), "[" + nlohmann::json(d).dump() + "]") << d;
    }
}

TEST(JSON, ContainersRoundTripAndDictionariesComeOutSorted) {
    Value v(ns::Dictionary{
        {"zeta", ns::Array{Value(1), Value(false), Value("x"), Value(2.5), Value()}},
        {"alpha", ns::Dictionary{{"nested", Value("é ✓ 😀")}}},
    });
    EXPECT_EQ(roundTrip(v), v);
    std::string text = ns::json::serialize(v);
    EXPECT_LT(text.find("alpha"), text.find("zeta"));
    std::string pretty = ns::json::serialize(v, true);
    EXPECT_NE(pretty.find('\n'), std::string::npos);
    EXPECT_EQ(ns::json::parse(pretty), v);
}

TEST(JSON, ParsesNumbersByTheirText) {
    Value v = ns::json::parse(R"({"a": 3, "b": 3.0, "c": -7, "d": 1e2, "e": 18446744073709551615})");
    EXPECT_EQ(v["a"].type(), Value::Type::Int);
    EXPECT_EQ(v["b"].type(), Value::Type::Double);
    EXPECT_EQ(v["c"].asInt(), -7);
    EXPECT_EQ(v["d"].type(), Value::Type::Double);
    EXPECT_EQ(v["e"].type(), Value::Type::UInt);
    // Top-level fragments are accepted.
    EXPECT_EQ(ns::json::parse("\"hi\""), Value("hi"));
    EXPECT_EQ(ns::json::parse("false"), Value(false));
}

TEST(JSON, MalformedInputGivesA3840ErrorNamingTheProblem) {
    struct Case {
        const char* text;
        const char* mentions;
    };
    for (const Case& c : {Case{"{\"a\": }", "line 1"}, Case{"[1, 2", "end of input"}, Case{"", "end of input"},
                          Case{"{\"a\" 1}", "line 1"}, Case{"tru", "literal"}, Case{"[1] x", "line 1"}}) {
        ns::ErrorRef error;
        Value v = ns::json::parse(c.text, &error);
        EXPECT_TRUE(v.isNull()) << c.text;
        ASSERT_NE(error, nullptr) << c.text;
        EXPECT_EQ(error->domain(), ns::kCocoaErrorDomain);
        EXPECT_EQ(error->code(), 3840);
        EXPECT_NE(error->localizedDescription().find(c.mentions), std::string::npos)
            << c.text << " -> " << error->localizedDescription();
    }
    // Empty bytes have no data pointer at all.
    ns::ErrorRef error;
    EXPECT_TRUE(ns::json::parse(ns::Data{}, &error).isNull());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), 3840);
}

TEST(JSON, InvalidUTF8AndDeepNestingAreErrorsNotCrashes) {
    ns::ErrorRef error;
    EXPECT_TRUE(ns::json::parse(std::string("\"\xff\xfe\""), &error).isNull());
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), 3840);
    EXPECT_EQ(error->localizedDescription().find('\xff'), std::string::npos) << "the message itself is clean UTF-8";

    std::string deep(100000, '[');
    EXPECT_TRUE(ns::json::parse(deep + std::string(100000, ']'), &error).isNull());
    ASSERT_NE(error, nullptr);
    EXPECT_NE(error->localizedDescription().find("nested"), std::string::npos);

    // Just under the limit is fine.
    std::string ok = std::string(ns::json::kMaxDepth, '[') + std::string(ns::json::kMaxDepth, ']');
    EXPECT_TRUE(ns::json::parse(ok, &error).isArray());

    // Invalid UTF-8 in a string being written is replaced, not fatal.
    std::string written = ns::json::serialize(Value(std::string("a\xff" "b")), &error);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(ns::json::parse(written), Value("a\xEF\xBF\xBD" "b"));
}

// Texts at the edges of the reader: each reads as JSON says, whichever of its
// two parsers takes it.
TEST(JSON, EdgeTextsReadAsJSONSays) {
    struct Case {
        std::string text;
        Value expected;
    };
    const Case cases[] = {
        {"\xEF\xBB\xBF{\"a\":1}", Value(ns::Dictionary{{"a", Value(1)}})},
        {"18446744073709551616", Value(18446744073709551616.0)},
        {"-9223372036854775809", Value(-9223372036854775808.0)},
        {"-0", Value(0)},
        {"1e-400", Value(0.0)},
        {R"({"b":1,"a":2,"b":3,"c":{"y":[true,null],"x":"\u00e9\ud83d\ude00"}})",
         Value(ns::Dictionary{{"a", Value(2)},
                              {"b", Value(3)},
                              {"c", ns::Dictionary{{"x", Value("\u00e9\U0001F600")},
                                                   {"y", ns::Array{Value(true), Value()}}}}})},
    };
    for (const Case& c : cases) {
        ns::ErrorRef error;
        const Value v = ns::json::parse(c.text, &error);
        EXPECT_EQ(error, nullptr) << c.text;
        EXPECT_EQ(v, c.expected) << c.text;
        EXPECT_EQ(v.type(), c.expected.type()) << c.text;
    }
    EXPECT_EQ(ns::json::parse("-0.0").type(), Value::Type::Double);
    const std::string tooDeep = std::string(ns::json::kMaxDepth + 1, '[') + std::string(ns::json::kMaxDepth + 1, ']');
    for (const std::string& bad :
         {tooDeep, std::string("1e400"), std::string("\"a\tb\""), std::string("\"\\ud800\"")}) {
        ns::ErrorRef error;
        EXPECT_TRUE(ns::json::parse(bad, &error).isNull()) << bad;
        EXPECT_NE(error, nullptr) << bad;
    }
}

// A database write's deepest data (1000 levels) inside the levels its
// stored record, the wire's envelope and a server's paths add is read and
// written, by both readers, on a thread's stack as a pool gives it (under
// the sanitizers too); one level past the bound is refused, never a crash.
TEST(JSON, DataAsDeepAsADatabaseWriteIsReadAndWrittenOnAThreadAndDeeperIsRefused) {
    auto nested = [](size_t depth) {
        Value v("leaf");
        for (size_t i = 0; i < depth; ++i) v = Value(ns::Dictionary{{"k", std::move(v)}});
        return v;
    };
    auto brackets = [](size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    std::thread([&] {
        for (const size_t depth : {size_t(1040), ns::json::kMaxDepth, ns::json::kMaxDepth + 1}) {
            const bool fits = depth <= ns::json::kMaxDepth;
            const Value value = nested(depth);
            for (const bool pretty : {false, true}) {
                ns::ErrorRef error;
                const std::string text = ns::json::serialize(value, ns::json::WriteOptions{pretty}, &error);
                EXPECT_EQ(error == nullptr, fits) << depth;
                EXPECT_EQ(text.empty(), !fits) << depth;
                if (fits) {
                    EXPECT_EQ(ns::json::parse(text), value) << depth;
                }
            }
            ns::ErrorRef error;
            EXPECT_EQ(ns::json::parse(brackets(depth), &error).isArray(), fits) << depth;
            EXPECT_EQ(error == nullptr, fits) << depth;
            // The fast reader takes what parse() takes, not only its own
            // default depth.
            ns::json::Document document;
            const std::string text = brackets(depth);
            EXPECT_EQ(document.read(text) && document.root().value().has_value(), fits) << depth;
        }
        ns::ErrorRef error;
        EXPECT_TRUE(ns::json::parse(brackets(100000), &error).isNull());
        ASSERT_NE(error, nullptr);
        EXPECT_NE(error->localizedDescription().find("nested"), std::string::npos);
    }).join();
}

TEST(JSON, ValuesWithoutAJSONFormAreRefused) {
    for (const Value& bad : {Value(ns::Data{1, 2}), Value(ns::Date{1.0}),
                             Value(std::numeric_limits<double>::quiet_NaN()),
                             Value(std::numeric_limits<double>::infinity()),
                             Value(ns::Array{Value(1), Value(ns::Dictionary{{"d", ns::Data{}}})}),
                             Value(std::make_shared<ns::Object>())}) {
        ns::ErrorRef error;
        EXPECT_FALSE(ns::json::isValidJSONObject(bad));
        EXPECT_EQ(ns::json::serialize(bad, &error), "");
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->domain(), ns::kCocoaErrorDomain);
        EXPECT_FALSE(error->localizedDescription().empty());
        EXPECT_EQ(ns::json::serialize(bad), "");
    }
    EXPECT_TRUE(ns::json::isValidJSONObject(Value(ns::Array{Value(), Value(1.5)})));
}

}  // namespace

// A document read on one thread may be read again, or end, on another: a
// server's session moves between its pool's threads. The thread that lent
// its parser keeps reading meanwhile, and may end before the document does.
TEST(JSON, ADocumentMovesBetweenThreadsAndOutlivesTheThreadThatLentItsParser) {
    const std::string first = R"({"a":1})", second = R"({"a":2})", own = R"({"b":3})";
    auto doc = std::make_unique<ns::json::Document>();
    std::atomic<bool> lent{false}, stop{false};
    std::thread reader([&] {
        ASSERT_TRUE(doc->read(first));
        lent = true;
        while (!stop) {
            ns::json::Document mine;
            ASSERT_TRUE(mine.read(own));
            ASSERT_EQ(mine.root().member("b")->intValue(), 3);
        }
    });
    while (!lent) std::this_thread::yield();
    EXPECT_EQ(doc->root().member("a")->intValue(), 1);
    ASSERT_TRUE(doc->read(second));
    EXPECT_EQ(doc->root().member("a")->intValue(), 2);
    stop = true;
    reader.join();

    std::thread([&] { ASSERT_TRUE(doc->read(first)); }).join();
    EXPECT_EQ(doc->root().member("a")->intValue(), 1);
    doc.reset();
}
