#include <gtest/gtest.h>

#include <cmath>

#include "analytics/QRVAAudienceFilters.h"
#include "audience_test_support.h"
#include "store_test_support.h"

namespace {

using namespace audiencetest;

class AudienceFiltersTest : public storetest::StoreTest {};

QRVAValue str(const char* text) { return QRVAValue::string(text); }

TEST_F(AudienceFiltersTest, NumberFiltersCompareExactlyAndDoublesWithinOneStep) {
    const double c = 0.1;
    const double up1 = std::nextafter(c, 1.0), up2 = std::nextafter(up1, 1.0);
    const double down1 = std::nextafter(c, 0.0), down2 = std::nextafter(down1, 0.0);
    const struct {
        std::shared_ptr<QRVAPBFilter> filter;
        QRVAValue value;
        const char* outcome;
    } cases[] = {
        {filter(number(kQRVAComparisonLessThan, "10")), QRVAValue(int64_t(10)), "false"},
        {filter(number(kQRVAComparisonLessThan, "10")), QRVAValue(int64_t(9)), "true"},
        {filter(number(kQRVAComparisonLessThan, "10"), "", true), QRVAValue(int64_t(11)), "true"},
        {filter(number(kQRVAComparisonBetween, {}, "1", "10")), QRVAValue(int64_t(1)), "true"},
        {filter(number(kQRVAComparisonBetween, {}, "1", "10")), QRVAValue(int64_t(10)), "true"},
        {filter(number(kQRVAComparisonBetween, {}, "1", "10")), QRVAValue(int64_t(11)), "false"},
        {filter(number(kQRVAComparisonBetween, {}, "1", "10")), QRVAValue(0.999), "false"},
        {filter(number(kQRVAComparisonBetween, {}, "+1.", "10")), QRVAValue(1.0), "true"},
        // Beyond a double's 53 bits the decimal still tells them apart.
        {filter(number(kQRVAComparisonEqual, "9007199254740993")), QRVAValue(int64_t(9007199254740993)), "true"},
        {filter(number(kQRVAComparisonEqual, "9007199254740993")), QRVAValue(int64_t(9007199254740992)), "false"},
        {filter(number(kQRVAComparisonGreaterThan, "9223372036854775806")), QRVAValue(INT64_MAX), "true"},
        {filter(number(kQRVAComparisonEqual, "5")), str("5.0"), "true"},
        {filter(number(kQRVAComparisonGreaterThan, "-.5")), str("-0.25"), "true"},
        {filter(number(kQRVAComparisonEqual, "0.1")), QRVAValue(c), "true"},
        {filter(number(kQRVAComparisonEqual, "0.1")), QRVAValue(up1), "true"},
        {filter(number(kQRVAComparisonEqual, "0.1")), QRVAValue(down1), "true"},
        {filter(number(kQRVAComparisonEqual, "0.1")), QRVAValue(up2), "false"},
        {filter(number(kQRVAComparisonEqual, "0.1")), QRVAValue(down2), "false"},
        {filter(number(kQRVAComparisonEqual, "5")), str("five"), "undefined"},
        {filter(number(kQRVAComparisonEqual, "5"), "", true), QRVAValue(NAN), "undefined"},
        {filter(number(kQRVAComparisonEqual, "5"), "", true), QRVAValue(INFINITY), "undefined"},
        {filter(number(kQRVAComparisonEqual, "1e3")), QRVAValue(int64_t(1000)), "undefined"},
        {filter(number(kQRVAComparisonBetween, {}, "1", {})), QRVAValue(int64_t(1)), "undefined"},
        {filter(number(kQRVAComparisonUnknown, "1")), QRVAValue(int64_t(1)), "undefined"},
        {filter(number(5, "1")), QRVAValue(int64_t(1)), "undefined"},
        {filter(nullptr), QRVAValue(int64_t(1)), "undefined"},
        {filter(string(kQRVAMatchExact, "1")), QRVAValue(int64_t(1)), "undefined"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text(QRVAAudienceEvaluateFilter(c.filter, c.value)), c.outcome)
            << c.filter->description() << " " << c.value.description();
    }
    for (int code : {7000, 7001, 7002, 7003, 8007, 8008, 8010, 8011}) EXPECT_TRUE(logged(code)) << code;
}

TEST_F(AudienceFiltersTest, StringFiltersFollowTheirCaseRulesAndBoundedPatterns) {
    const std::string pathological = std::string(30, 'a') + "b";
    const struct {
        std::shared_ptr<QRVAPBStringFilter> filter;
        std::string value;
        const char* outcome;
    } cases[] = {
        {string(kQRVAMatchBeginsWith, "abc"), "ABCdef", "true"},
        {string(kQRVAMatchBeginsWith, "abc", true), "ABCdef", "false"},
        {string(kQRVAMatchEndsWith, "DEF"), "abcdef", "true"},
        {string(kQRVAMatchEndsWith, "DEF", true), "abcdef", "false"},
        {string(kQRVAMatchEndsWith, "abc"), "abcdef", "false"},
        {string(kQRVAMatchContains, "C.D"), "abc.def", "true"},
        {string(kQRVAMatchContains, "C.D"), "abcXdef", "false"},
        {string(kQRVAMatchExact, "Ärger"), "äRGER", "true"},
        {string(kQRVAMatchExact, "abc"), "ABCD", "false"},
        {string(kQRVAMatchExact, "a+b"), "A+B", "true"},
        {string(kQRVAMatchRegexp, "b.d"), "abcde", "true"},
        {string(kQRVAMatchRegexp, "B.D", true), "abcde", "false"},
        {string(kQRVAMatchRegexp, "("), "(", "undefined"},
        // Catastrophic backtracking: stopped by the search's limits, and
        // the next filters are still evaluated.
        {string(kQRVAMatchRegexp, "(a+)+$"), pathological, "undefined"},
        {string(kQRVAMatchInList, {}, false, ns::Array{"a", "B"}), "b", "true"},
        {string(kQRVAMatchInList, {}, true, ns::Array{"a", "B"}), "b", "false"},
        {string(kQRVAMatchInList, {}), "b", "undefined"},
        {string(7, "x"), "x", "false"},
        {string(kQRVAMatchUnknown, "x"), "x", "undefined"},
        {string(kQRVAMatchContains, {}), "x", "undefined"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text(QRVAAudienceEvaluateStringFilterWithString(c.filter, &c.value)), c.outcome)
            << c.filter->description() << " " << c.value;
    }
    EXPECT_EQ(text(QRVAAudienceEvaluateStringFilterWithString(string(kQRVAMatchExact, "x"), nullptr)), "undefined");
    EXPECT_TRUE(QRVAAudienceIsValidStringFilter(string(7, "x")));
    for (int code : {9001, 9002, 9003, 9004, 9005, 9006}) EXPECT_TRUE(logged(code)) << code;
}

TEST_F(AudienceFiltersTest, EventAndPropertyFiltersDecideByNameCountAndParameters) {
    auto event = *QRVAEvent::initWithOrigin("app", true, "level_up", 1.0, 0,
                                            QRVAObjectParameters{{"level", 5}, {"hero", "Ada"}});
    auto aggregates = [](const char* name, int32_t count) { return *QRVAEventAggregates::initWithName(name, count, 0, 0); };
    auto greaterThanTwo = number(kQRVAComparisonGreaterThan, "2");
    const struct {
        std::shared_ptr<QRVAPBEventFilter> filter;
        int32_t lifetimeCount;
        const char* aggregatesName;
        const char* outcome;
    } cases[] = {
        {eventFilter(0, "level_up"), 1, "level_up", "true"},
        {eventFilter(0, "other"), 1, "level_up", "undefined"},
        {eventFilter(0, "level_up", {}, greaterThanTwo), 2, "level_up", "false"},
        {eventFilter(0, "level_up", {}, greaterThanTwo), 3, "level_up", "true"},
        {eventFilter(0, "level_up", {}, greaterThanTwo), 3, "other", "undefined"},
        {eventFilter(0, "level_up", {filter(number(kQRVAComparisonEqual, "5"), "level")}, greaterThanTwo), 3,
         "level_up", "true"},
        {eventFilter(0, "level_up", {filter(number(kQRVAComparisonEqual, "5"), "level"),
                                     filter(string(kQRVAMatchExact, "ada"), "hero")}),
         1, "level_up", "true"},
        {eventFilter(0, "level_up", {filter(number(kQRVAComparisonEqual, "4"), "level"),
                                     filter(string(kQRVAMatchExact, "("), "missing")}),
         1, "level_up", "false"},
        {eventFilter(0, "level_up", {filter(number(kQRVAComparisonEqual, "5"), "hero")}), 1, "level_up", "undefined"},
        {eventFilter(0, "level_up", {filter(number(kQRVAComparisonEqual, "5"), "missing")}), 1, "level_up",
         "undefined"},
        {eventFilter(0, "level_up", {filter(number(kQRVAComparisonEqual, "5"))}), 1, "level_up", "undefined"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(text(QRVAAudienceEvaluateEventFilter(c.filter, &event, aggregates(c.aggregatesName, c.lifetimeCount))),
                  c.outcome)
            << c.filter->description();
    }
    EXPECT_EQ(text(QRVAAudienceEvaluateEventFilter(nullptr, &event, aggregates("level_up", 1))), "undefined");
    EXPECT_EQ(text(QRVAAudienceEvaluateEventFilter(eventFilter(0, "level_up"), nullptr, aggregates("level_up", 1))),
              "undefined");

    auto property = *QRVAUserAttribute::initWithOrigin("app", "score", QRVAValue::string("5.0"), 1.0);
    auto equalFive = filter(number(kQRVAComparisonEqual, "5"));
    EXPECT_EQ(text(QRVAAudienceEvaluatePropertyFilter(propertyFilter(1, "score", equalFive), &property)), "true");
    EXPECT_EQ(text(QRVAAudienceEvaluatePropertyFilter(propertyFilter(1, "other", equalFive), &property)), "undefined");
    EXPECT_EQ(text(QRVAAudienceEvaluatePropertyFilter(propertyFilter(1, "score", nullptr), &property)), "undefined");
    EXPECT_EQ(text(QRVAAudienceEvaluatePropertyFilter(nullptr, &property)), "undefined");
    for (int code : {7004, 7005, 7006, 7007, 7008, 7010, 7011, 7013, 7014}) EXPECT_TRUE(logged(code)) << code;
}

}  // namespace
