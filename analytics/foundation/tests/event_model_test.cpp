#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "analytics/QRVAEvent.h"
#include "platform/format.h"
#include "event_test_support.h"
#include "sandboxed_test.h"

namespace {

using namespace eventtest;

namespace F = QRVAPBField;

std::vector<std::string> keysOf(const QRVAParameters& p) {
    std::vector<std::string> keys;
    for (const auto& entry : p) keys.push_back(entry.first);
    return keys;
}

using EventModelTest = analyticstest::SandboxedTest;

TEST_F(EventModelTest, ValuesKeepTheirKindAndCompareByKindAndObject) {
    struct Case {
        ns::Value object;
        std::optional<QRVAValue> expected;
    };
    const Case cases[] = {
        {ns::Value(1.0), QRVAValue(1.0)},
        {ns::Value(7), QRVAValue(int64_t(7))},
        {ns::Value(true), QRVAValue(int64_t(1))},
        {ns::Value("text"), str("text")},
        {ns::Value(std::make_shared<QRVAValue>(str("given"))), str("given")},
        {ns::Value(), std::nullopt},
        {ns::Value(ns::Date{5}), std::nullopt},
        {ns::Value(std::string("\xc3")), std::nullopt},
    };
    for (const auto& c : cases) {
        auto value = QRVAValue::valueFromObject(c.object);
        EXPECT_EQ(value, c.expected) << c.object.description();
        if (value) {
            EXPECT_EQ(value->valueType(), c.expected->valueType());
        }
    }
    EXPECT_EQ(QRVAValue(2.5).int64Value(), 0);
    EXPECT_EQ(QRVAValue(int64_t(2)).doubleValue(), 0.0);
    EXPECT_EQ(QRVAValue(int64_t(2)).stringValue(), nullptr);
    EXPECT_NE(QRVAValue(int64_t(3)), QRVAValue(3.0));
    QRVAValue original = str("same"), copy = original;
    EXPECT_EQ(copy, original);
    EXPECT_EQ(copy.hash(), original.hash());
}

TEST_F(EventModelTest, ParametersAreNormalisedAsTheEventsFaultsDecide) {
    QRVAObjectParameters thirty;
    QRVAParameters firstTwentyFive;
    for (int i = 29; i >= 0; --i) thirty.append(ns::format("p%02d", i), ns::Value(i));
    for (int i = 29; i >= 0; --i)
        if (i < 25) firstTwentyFive.append(ns::format("p%02d", i), num(i));
    QRVAObjectParameters thirtyInternal = thirty;
    thirtyInternal.append("_r", ns::Value(1));
    QRVAParameters keptInternal = firstTwentyFive;
    keptInternal.append("_r", num(1));
    firstTwentyFive.append("_err", num(5));
    keptInternal.append("_err", num(5));
    const std::string long101 = times("ö", 101), long300 = times("x", 300);
    struct Case {
        const char* what;
        bool isPublic;
        QRVAObjectParameters input;
        QRVAParameters expected;  // before "_o"
    };
    const Case cases[] = {
        {"thirty public parameters", true, thirty, firstTwentyFive},
        {"internal ones are never cut", false, thirtyInternal, keptInternal},
        {"a leading underscore", true, {{"a", ns::Value(1)}, {"_x", ns::Value(2)}},
         {{"a", num(1)}, {"_err", num(3)}, {"_ev", str("_x")}}},
        {"the reserved prefix", true, {{"quorvane_x", ns::Value(2)}}, {{"_err", num(14)}, {"_ev", str("quorvane_x")}}},
        {"a name too long", true, {{times("n", 41), ns::Value(2)}},
         {{"_err", num(3)}, {"_ev", str(times("n", 40) + "...")}, {"_el", num(41)}}},
        {"a value too long", true, {{"v", ns::Value(long101)}, {"w", ns::Value(1.5)}},
         {{"w", QRVAValue(1.5)}, {"_err", num(4)}, {"_ev", str("v")}, {"_el", num(101)}}},
        {"the first fault in the given order", true, {{"zz", ns::Value(long101)}, {"aa", ns::Value(long101)}},
         {{"_err", num(4)}, {"_ev", str("zz")}, {"_el", num(101)}}},
        {"an unsupported value", true, {{"when", ns::Value(ns::Date{1})}, {"x", ns::Value("y")}}, {{"x", str("y")}}},
        {"an over-long error value", false, {{"_ev", ns::Value(long300)}, {"k", ns::Value(1)}},
         {{"k", num(1)}, {"_ev", str(times("x", 256) + "...")}, {"_el", num(300)}}},
        {"an error value cut already", false, {{"_ev", ns::Value(times("x", 256) + "...")}},
         {{"_ev", str(times("x", 256) + "...")}}},
        {"a caller's error code wins", false, {{"v", ns::Value(times("x", 257))}, {"_err", ns::Value(9)}},
         {{"_err", num(9)}, {"_ev", str("v")}, {"_el", num(257)}}},
        {"nothing", true, {}, {}},
    };
    for (const auto& c : cases) {
        auto event = QRVAEvent::initWithOrigin("app", c.isPublic, "view_item", 10, 0, c.input);
        ASSERT_TRUE(event) << c.what;
        QRVAParameters expected = c.expected;
        expected.append("_o", str("app"));
        EXPECT_EQ(keysOf(event->parameters()), keysOf(expected)) << c.what;
        EXPECT_TRUE(event->parameters() == expected) << c.what << "\n" << QRVAParametersDescription(event->parameters());
    }
}

TEST_F(EventModelTest, OriginsAndNamesDecideWhetherAnEventIsMade) {
    struct Case {
        const char* origin;
        bool isPublic;
        const char* name;
        bool made;
    };
    const Case cases[] = {
        {"am+htk", false, "_s", true},   {"app", true, "purchase", true},   {"auto", false, "_s", true},
        {"", false, "_s", false},        {"+htk", false, "_s", false},      {"a-b", false, "_s", false},
        {"app", true, "_s", false},      {"app", true, "session_start", false}, {"app", false, "", false},
        {"app", false, "session_start", true},
    };
    for (const auto& c : cases) {
        auto event = QRVAEvent::initWithOrigin(c.origin, c.isPublic, c.name, 2, 1, QRVAObjectParameters{});
        ASSERT_EQ(bool(event), c.made) << c.origin << " " << c.name;
        if (event) {
            EXPECT_EQ(*event->parameters().find("_o"), str(c.origin));
        }
    }
    // A previous time after the event's own is logged, not refused.
    EXPECT_TRUE(QRVAEvent::initWithOrigin("app", false, "_s", 1, 2, QRVAObjectParameters{}));
}

TEST_F(EventModelTest, TheWireFormKeepsOrderValuesAndMillisecondsAndComesBack) {
    QRVAObjectParameters input{{"zeta", ns::Value(-4)}, {"alpha", ns::Value("ä")}, {"mid", ns::Value(2.25)}};
    auto event = QRVAEvent::initWithOrigin("app", true, "view_item", 1700000000.5, 1699999999.9999, input);
    ASSERT_TRUE(event);
    auto proto = event->protoEvent();
    EXPECT_EQ(NANOGetInt64(proto, F::Event::timestamp_millis), 1700000000500);
    EXPECT_EQ(NANOGetInt64(proto, F::Event::previous_timestamp_millis), 1699999999999);
    EXPECT_FALSE(NANOHasField(proto, F::Event::reserved_int32_5));
    auto params = NANOGetArray(proto, F::Event::params, &QRVAPBEventParam::messageClass()).value();
    std::vector<std::string> names;
    for (const auto& p : params) names.push_back(NANOGetString(p.asObjectOf<NANOMessageBase>(), F::EventParam::name).value());
    EXPECT_EQ(names, (std::vector<std::string>{"zeta", "alpha", "mid", "_o"}));

    auto back = QRVAEvent::initWithEventProto(QRVAPBEvent::initWithBuffer(proto->protoBuffer().value()));
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->parameters() == event->parameters());
    EXPECT_EQ(back->timestamp(), event->timestamp());
    // Seconds from milliseconds may sit a hair below the millisecond.
    EXPECT_EQ(std::llround(back->previousTimestamp() * 1000), 1699999999999);

    // No previous time is no field; a message without an origin, or with one
    // that is not text, is no event; a float alone is no value.
    auto first = QRVAEvent::initWithOrigin("app", false, "_s", 3, 0, QRVAObjectParameters{})->protoEvent();
    EXPECT_FALSE(NANOHasField(first, F::Event::previous_timestamp_millis));
    auto param = [](const char* name, auto set) {
        auto p = QRVAPBEventParam::message();
        NANOSetString(p, F::EventParam::name, name);
        set(p);
        return ns::Value(ns::ObjectPtr(p));
    };
    auto noOrigin = QRVAPBEvent::message();
    NANOSetString(noOrigin, F::Event::name, "_s");
    EXPECT_FALSE(QRVAEvent::initWithEventProto(noOrigin));
    auto numericOrigin = QRVAPBEvent::message();
    NANOSetString(numericOrigin, F::Event::name, "_s");
    NANOSetArray(numericOrigin, F::Event::params,
                 {param("_o", [](auto& p) { NANOSetInt64(p, F::EventParam::int_value, 1); })});
    EXPECT_FALSE(QRVAEvent::initWithEventProto(numericOrigin));
    NANOSetArray(numericOrigin, F::Event::params,
                 {param("f", [](auto& p) { nano_set_float(&p->messageInfo()->messageFields[F::EventParam::float_value], 1.5f); }),
                  param("_o", [](auto& p) { NANOSetString(p, F::EventParam::string_value, "auto"); })});
    auto floatOnly = QRVAEvent::initWithEventProto(numericOrigin);
    ASSERT_TRUE(floatOnly);
    EXPECT_EQ(keysOf(floatOnly->parameters()), std::vector<std::string>{"_o"});
}

TEST_F(EventModelTest, TheWireFormIsWorkedOutAsTheEncoderWritesIt) {
    const std::string longText(300, 'y');
    const struct {
        const char* name;
        double timestamp, previous;
        QRVAParameters parameters;
    } cases[] = {
        {"_s", 0, 0, {}},
        {"view_item", 1700000000.5, 1699999999.9999, {{"n", QRVAValue(int64_t(-1))}, {"d", QRVAValue(2.5)}}},
        {"_e", -3, 1e-300, {{"texto", QRVAValue::string("ñandú")}, {"big", QRVAValue(INT64_MAX)}}},
        {"_vs", 9e15, 0, {{"long", QRVAValue::string(longText)}, {"zero", QRVAValue(int64_t(0))}}},
    };
    for (const auto& c : cases) {
        auto event = QRVAEvent::initWithOrigin("app", false, c.name, c.timestamp, c.previous, c.parameters);
        ASSERT_TRUE(event) << c.name;
        ns::Data bytes{0x7F};  // appended after what is there
        event->appendProtoEvent(bytes);
        const ns::Data encoded = *event->protoEvent()->protoBuffer();
        EXPECT_EQ(ns::Data(bytes.begin() + 1, bytes.end()), encoded) << c.name;
        EXPECT_EQ(event->protoEventSize(), encoded.size()) << c.name;
    }
}

TEST_F(EventModelTest, FlagsAndScreenParameters) {
    auto event = QRVAEvent::initWithOrigin("app", false, "_s", 1, 0, QRVAObjectParameters{{"_c", ns::Value(1)}});
    ASSERT_TRUE(event->isConversion());
    event->setConversion(false);
    EXPECT_EQ(*event->parameters().find("_err"), num(10));
    event->setConversion(true);
    EXPECT_FALSE(event->parameters().contains("_err"));
    event->setRealtime(true);
    event->setDebug(true);
    EXPECT_TRUE(event->isRealtime() && event->isDebug());
    event->setDebug(false);
    EXPECT_FALSE(event->parameters().contains("_dbg"));
    event->mutableParameters().set("_r", str("1"));
    EXPECT_FALSE(event->isRealtime());

    struct Case {
        QRVAObjectParameters screen;
        bool added;
    };
    const Case cases[] = {
        {{{"_sc", ns::Value("Cart")}, {"_si", ns::Value(7)}, {"_sn", ns::Value("Checkout")}}, true},
        {{{"_sc", ns::Value(std::make_shared<QRVAValue>(str("Cart")))}, {"_si", ns::Value(std::make_shared<QRVAValue>(num(7)))}}, true},
        {{{"_sc", ns::Value("Cart")}}, false},
        {{{"_sc", ns::Value(times("c", 101))}, {"_si", ns::Value(7)}}, false},
        {{{"_sc", ns::Value("Cart")}, {"_si", ns::Value("7")}}, false},
        {{{"_sc", ns::Value("Cart")}, {"_si", ns::Value(7)}, {"_sn", ns::Value(3)}}, false},
        {{}, false},
    };
    for (const auto& c : cases) {
        auto plain = QRVAEvent::initWithOrigin("app", false, "_vs", 1, 0, QRVAObjectParameters{});
        EXPECT_EQ(plain->addScreenParameters(c.screen), c.added) << c.screen.description();
        if (c.added) {
            EXPECT_EQ(*plain->parameters().find("_sc"), str("Cart"));
            EXPECT_EQ(*plain->parameters().find("_si"), num(7));
            EXPECT_FALSE(plain->addScreenParameters(c.screen)) << "already holds screen parameters";
        }
    }
}

TEST_F(EventModelTest, UserPropertiesAndStoreRecords) {
    EXPECT_TRUE(QRVAUserAttribute::initWithOrigin("app", times("u", 24), str("v"), 1));
    EXPECT_FALSE(QRVAUserAttribute::initWithOrigin("app", times("u", 25), str("v"), 1));
    EXPECT_FALSE(QRVAUserAttribute::initWithOrigin("app", "store", str(""), 1));
    auto property = QRVAUserAttribute::initWithOrigin("", "_fot", QRVAValue(2.5), 1.9999);
    ASSERT_TRUE(property);
    EXPECT_FALSE(property->isPublic());
    auto proto = property->protoUserAttribute();
    EXPECT_EQ(NANOGetInt64(proto, F::UserAttribute::set_timestamp_millis), 1999);
    EXPECT_EQ(NANOGetDouble(proto, F::UserAttribute::double_value), 2.5);
    EXPECT_FALSE(NANOHasField(proto, F::UserAttribute::int_value) || NANOHasField(proto, F::UserAttribute::string_value));

    EXPECT_FALSE(QRVAEventAggregates::initWithName("_s", -1, 0, 0));
    EXPECT_FALSE(QRVAEventAggregates::initWithName("a b", 0, 0, 0));
    auto aggregates = QRVAEventAggregates::initWithName("_s", INT32_MAX, 4, 0);
    aggregates->incrementLifetimeCount();
    aggregates->incrementCurrentBundleCount();
    EXPECT_EQ(aggregates->lifetimeCount(), 0);
    EXPECT_EQ(aggregates->currentBundleCount(), 5);

    EXPECT_FALSE(QRVAAppMetadata::initWithLastBundleIndex(-1, 0, 0));
    auto metadata = QRVAAppMetadata::initWithLastBundleIndex(INT32_MAX, 0, 0);
    metadata->incrementLastBundleIndex();
    EXPECT_EQ(metadata->lastBundleIndex(), 0);

    QRVADailyCounts counts(3, 9, 9, 9, 9, 9);
    counts.incrementCountsForCurrentDay(4, true, false);
    counts.incrementCountsForCurrentDay(4, false, true);
    counts.incrementErrorEventsCountForCurrentDay(4);
    counts.incrementRealtimeCountsForCurrentDay(4);
    auto all = [](const QRVADailyCounts& c) {
        return std::vector<int32_t>{c.day(), c.conversionsCount(), c.allEventsCount(), c.publicEventsCount(),
                                    c.errorEventsCount(), c.realtimeCount()};
    };
    EXPECT_EQ(all(counts), (std::vector<int32_t>{4, 1, 3, 1, 1, 1}));
    counts.incrementRealtimeCountsForCurrentDay(5);
    counts.decrementAllEventsCount();
    EXPECT_EQ(all(counts), (std::vector<int32_t>{5, 0, 0, 0, 0, 1}));

    auto event = QRVAEvent::initWithOrigin("app", false, "_s", 1, 0, QRVAObjectParameters{});
    EXPECT_FALSE(QRVARawEventData::initWithRawEvent(std::nullopt, 1, 2));
    EXPECT_FALSE(QRVARawEventData::initWithRawEvent(event, -1, 2));
    EXPECT_EQ(QRVARawEventData::initWithRawEvent(event, 0, -2)->metadataFingerprint(), -2);
}

}  // namespace
