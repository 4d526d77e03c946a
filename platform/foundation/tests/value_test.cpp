#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/format.h"
#include "platform/value.h"

using ns::Value;

TEST(Value, BooleansAreNeverNumbers) {
    EXPECT_FALSE(Value(true) == Value(1));
    EXPECT_FALSE(Value(false) == Value(0.0));
    EXPECT_TRUE(Value(true).isBool());
    EXPECT_FALSE(Value(true).isNumber());
    EXPECT_THROW(Value(1).asBool(), ns::Exception);
}

TEST(Value, NumbersCompareByValueAcrossKinds) {
    EXPECT_TRUE(Value(3) == Value(3.0));
    EXPECT_FALSE(Value(3) == Value(3.5));
    EXPECT_TRUE(Value(uint64_t(5)) == Value(int64_t(5)));
    Value big(uint64_t(18446744073709551615ull));
    EXPECT_EQ(big.type(), Value::Type::UInt);
    EXPECT_FALSE(big == Value(int64_t(-1)));
    // 2^63 as a double is not INT64_MAX, though a plain conversion would round it so.
    EXPECT_FALSE(Value(9223372036854775807ll) == Value(9223372036854775808.0));
}

TEST(Value, ContainersCopyOnWrite) {
    Value a(ns::Dictionary{{"k", 1}});
    Value b = a;
    b.mutableDictionary()["k"] = 2;
    EXPECT_EQ(a["k"].asInt(), 1);
    EXPECT_EQ(b["k"].asInt(), 2);
    EXPECT_TRUE(a["missing"].isNull());
}

TEST(Format, FoundationConversions) {
    EXPECT_EQ(ns::format("I-ACS%06ld", 12001L), "I-ACS012001");
    EXPECT_EQ(ns::format("App with name %@ does not exist.", std::string("x")), "App with name x does not exist.");
    EXPECT_EQ(ns::format("%.2f", 3.14159), "3.14");
    EXPECT_EQ(ns::format("%@", Value()), "(null)");
    EXPECT_EQ(ns::format("100%% %s", "done"), "100% done");
    EXPECT_EQ(ns::format("%d %@"), "0 (null)");  // missing arguments never crash
    EXPECT_EQ(ns::format("%-4s|%4s", "a", "b"), "a   |   b");
    EXPECT_EQ(ns::format("%@", Value(ns::Array{1, "a b"})), "(\n    1,\n    \"a b\"\n)");
}

TEST(Error, DescriptionReasonAndUnderlying) {
    auto inner = ns::Error::make(ns::kURLErrorDomain, ns::kURLErrorTimedOut, "The request timed out.");
    auto e = ns::Error::make("com.quorvane.auth", 17020, "Network error", "Could not reach", inner);
    EXPECT_EQ(e->localizedDescription(), "Network error");
    EXPECT_EQ(e->localizedFailureReason(), "Could not reach");
    ASSERT_TRUE(e->underlyingError());
    EXPECT_EQ(e->underlyingError()->code(), ns::kURLErrorTimedOut);
    EXPECT_EQ(ns::Error::make("d", 4)->localizedDescription(), "The operation couldn\u2019t be completed. (d error 4.)");
}
