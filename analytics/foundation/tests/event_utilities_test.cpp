#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAFacadeBridge.h"
#include "platform/format.h"
#include "analytics_proto/qrvanalytics.pb.h"
#include "wire_reflection.h"
#include "event_test_support.h"
#include "sandboxed_test.h"

namespace {

using namespace eventtest;

ns::Value ordered(QRVAObjectParameters p) {
    return ns::Value(std::make_shared<QRVAObjectParameters>(std::move(p)));
}
std::string describe(const QRVAParameters& p) {
    return QRVAParametersDescription(p);
}

class EventUtilitiesTest : public analyticstest::SandboxedTest {
protected:
    void TearDown() override { QRVASetFacadeHook(&QRVAFacadeHooks::logInternalEvent, nullptr); }
};

// The event's bytes read by libprotobuf: the same names and values in the
// same order, and field for field what the wrapper holds.
void expectLibprotobufReads(const QRVAEvent& event) {
    auto proto = event.protoEvent();
    ns::Data bytes = proto->protoBuffer().value();
    qrvanalytics::Event parsed;
    ASSERT_TRUE(parsed.ParseFromArray(bytes.data(), int(bytes.size())));
    EXPECT_EQ(parsed.name(), event.name());
    EXPECT_EQ(parsed.timestamp_millis(), qrva_millisecondsFromSeconds(event.timestamp()));
    ASSERT_EQ(size_t(parsed.params_size()), event.parameters().size());
    for (int i = 0; i < parsed.params_size(); ++i) {
        const auto& param = parsed.params(i);
        const auto& [key, value] = event.parameters().at(size_t(i));
        EXPECT_EQ(param.name(), key);
        EXPECT_EQ(param.has_string_value(), value.isString()) << key;
        EXPECT_EQ(param.has_int_value(), value.isInt64()) << key;
        EXPECT_EQ(param.has_double_value(), value.isDouble()) << key;
        if (value.isString()) {
            EXPECT_EQ(param.string_value(), *value.stringValue());
        }
        if (value.isInt64()) {
            EXPECT_EQ(param.int_value(), value.int64Value());
        }
        if (value.isDouble()) {
            EXPECT_EQ(param.double_value(), value.doubleValue());
        }
    }
    qrvanalytics::Event viaWrapper;
    wiretest::fromWrapper(proto, viaWrapper);
    EXPECT_EQ(wiretest::differences(viaWrapper, parsed), "");
    auto back = QRVAEvent::initWithEventProto(QRVAPBEvent::initWithBuffer(bytes));
    ASSERT_TRUE(back);
    EXPECT_TRUE(*back == event) << describe(back->parameters()) << "\n" << describe(event.parameters());
}

TEST_F(EventUtilitiesTest, APublicEventWithThirtyParametersAndAListDecomposesAndTravels) {
    QRVAObjectParameters params;
    for (int i = 0; i < 30; ++i) {
        params.append(ns::format("p%02d", i), i % 2 ? ns::Value(ns::format("v%d", i)) : ns::Value(i));
    }
    params.set("p07", ns::Value("𝄞" + times("x", 100)));  // 101 code points
    params.append("items", ns::Value(ns::Array{ordered({{"sku", ns::Value("A1")}, {"qty", ns::Value(1)}}),
                                               ordered({{"sku", ns::Value("B2")}, {"price", ns::Value(9.5)}})}));
    auto events = QRVADecomposeEvent(77, "purchase", "app", params, true, 1700000000.25);
    ASSERT_TRUE(events);
    ASSERT_EQ(events->size(), 3u);

    // The keys in collation order; the over-long value is the recorded fault;
    // of 30 public keys the 25 that sort first stay.
    QRVAParameters expected{{"items", num(2)}};
    for (int i = 0; i < 25; ++i) {
        if (i != 7) expected.append(ns::format("p%02d", i), i % 2 ? str(ns::format("v%d", i)) : num(i));
    }
    for (auto& entry : QRVAParameters{{"_err", num(4)}, {"_ev", str("p07")}, {"_el", num(101)}, {"_o", str("app")},
                                      {"_epc", num(2)}, {"_eid", num(77)}})
        expected.append(entry.first, entry.second);
    const QRVAEvent& main = events->at(0);
    EXPECT_EQ(main.name(), "purchase");
    EXPECT_TRUE(main.parameters() == expected) << describe(main.parameters());

    const QRVAParameters children[] = {
        {{"sku", str("A1")}, {"qty", num(1)}, {"_eid", num(77)}, {"_gn", str("items")}, {"_en", str("purchase")},
         {"_i", num(0)}, {"_o", str("app")}, {"_ll", num(2)}},
        {{"sku", str("B2")}, {"price", QRVAValue(9.5)}, {"_eid", num(77)}, {"_gn", str("items")},
         {"_en", str("purchase")}, {"_i", num(1)}, {"_o", str("app")}, {"_ll", num(2)}},
    };
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(events->at(i + 1).name(), "_ep");
        EXPECT_EQ(events->at(i + 1).timestamp(), 1700000000.25);
        EXPECT_TRUE(events->at(i + 1).parameters() == children[i]) << describe(events->at(i + 1).parameters());
    }
    for (const auto& event : *events) expectLibprotobufReads(event);
}

TEST_F(EventUtilitiesTest, ListParametersMakeChildrenWithinTheirLimits) {
    const ns::Value dict(ns::Dictionary{{"k", ns::Value(1)}});
    struct Case {
        const char* what;
        ns::Array list;
        size_t children;
        std::optional<int64_t> error;  // "_err" on the main event, with "_ev" = "list"
    };
    const Case cases[] = {
        {"1001 dictionaries", ns::Array(1001, dict), 0, 17},
        {"1000 dictionaries", ns::Array(1000, dict), 1000, std::nullopt},
        {"an empty dictionary takes no index", {dict, ns::Value(ns::Dictionary{}), dict}, 2, std::nullopt},
        {"a number stops the list", {dict, ns::Value(3), dict}, 1, 4},
        {"a dictionary with nothing left", {dict, ordered({{"when", ns::Value(ns::Date{1})}})}, 0, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto events = QRVADecomposeEvent(5, "cart", "app", QRVAObjectParameters{{"list", ns::Value(c.list)}}, true, 1);
        ASSERT_TRUE(events);
        ASSERT_EQ(events->size(), c.children + 1);
        const QRVAParameters& main = events->front().parameters();
        if (c.children) {
            EXPECT_EQ(*main.find("list"), num(int64_t(c.children)));
            EXPECT_EQ(*main.find("_epc"), num(int64_t(c.children)));
            EXPECT_EQ(*events->back().parameters().find("_i"), num(int64_t(c.children - 1)));
            EXPECT_EQ(*events->back().parameters().find("_ll"), num(int64_t(c.children)));
        } else {
            EXPECT_FALSE(main.contains("list") || main.contains("_epc") || main.contains("_eid"));
        }
        EXPECT_EQ(main.find("_err") ? std::optional(main.find("_err")->int64Value()) : std::nullopt, c.error);
        if (c.error) {
            EXPECT_EQ(*main.find("_ev"), str("list"));
        }
    }
    // A value that is no number, text or list is dropped with the first fault.
    auto events = QRVADecomposeEvent(5, "cart", "app",
                                     QRVAObjectParameters{{"when", ns::Value(ns::Date{1})}, {"list", ns::Value(ns::Array{dict})}},
                                     true, 1);
    const QRVAParameters& main = events->front().parameters();
    EXPECT_FALSE(main.contains("when"));
    EXPECT_EQ(*main.find("_err"), num(4));
    EXPECT_EQ(*main.find("_ev"), str("when"));
}

TEST_F(EventUtilitiesTest, KeysSortInTheLocalesOrderAfterTheKeyCheck) {
    QRVAParameters errors;
    auto keys = QRVASortedParamKeysFromEvent(
        QRVAObjectParameters{{"b", ns::Value(1)}, {"B", ns::Value(2)}, {"a", ns::Value(3)}, {"_x", ns::Value(4)},
                             {"d", ns::Value(ns::Date{2})}},
        true, errors);
    EXPECT_EQ(keys, (std::vector<std::string>{"a", "b", "B", "d"}));
    EXPECT_TRUE(errors == (QRVAParameters{{"_err", num(3)}, {"_ev", str("_x")}})) << describe(errors);
    EXPECT_FALSE(QRVASortedParamKeysFromEvent(QRVAObjectParameters{}, true, errors));
}

TEST_F(EventUtilitiesTest, ErrorParametersReportTheFirstFaultTrimmedInCodePoints) {
    QRVAParameters p;
    QRVAAddErrorParameters(p, 4, "first", 40, nullptr);
    QRVAAddErrorParameters(p, 3, "second", 40, "second");
    QRVAAddErrorParameter(p, 9);
    EXPECT_TRUE(p == (QRVAParameters{{"_err", num(4)}, {"_ev", str("first")}}));

    struct Case {
        ns::Value value;
        QRVAParameters expected;
    };
    const std::string clef41 = "𝄞" + times("x", 40);
    const Case cases[] = {
        {ns::Value(clef41), {{"_ev", str("𝄞" + times("x", 39) + "...")}, {"_el", num(41)}}},
        {ns::Value(times("x", 40)), {{"_ev", str(times("x", 40))}, {"_el", num(40)}}},
        {ns::Value(), {{"_ev", str("(nil)")}}},  // nil is no length source either
        {ns::Value(12), {{"_ev", str("NSNumber")}, {"_el", num(0)}}},
    };
    for (const auto& c : cases) {
        QRVAParameters added;
        QRVAAddErrorValueAndLengthParameters(added, c.value, 40, c.value);
        EXPECT_TRUE(added == c.expected) << describe(added);
    }
}

TEST_F(EventUtilitiesTest, ErrorEventsGoToTheInstalledLogger) {
    std::vector<std::string> delivered;
    QRVALogErrorEventWithCode(2);  // no logger yet: dropped
    QRVASetFacadeHook(&QRVAFacadeHooks::logInternalEvent, [&](const std::string& origin, const std::string& name, const QRVAObjectParameters& p) {
        delivered.push_back(origin + " " + name + " " + p.description());
    });
    const std::string name30 = times("n", 30), name10 = times("n", 10);
    QRVALogErrorEventWithCode(0);
    QRVALogErrorEventWithCode(13);
    QRVALogErrorEventWithParameters(6, name30, 24, name30);
    QRVALogErrorEventWithParameters(6, name10, 24, name10);
    QRVALogErrorEventWithParameters(4, "v", 40, "abc");
    auto line = [](QRVAObjectParameters p) { return "auto _err " + p.description(); };
    EXPECT_EQ(delivered,
              (std::vector<std::string>{
                  line({{"_err", ns::Value(13)}}),
                  line({{"_err", ns::Value(6)}, {"_ev", ns::Value(times("n", 24) + "...")}, {"_el", ns::Value(30)}}),
                  line({{"_err", ns::Value(6)}, {"_ev", ns::Value(name10)}}),
                  line({{"_err", ns::Value(4)}, {"_ev", ns::Value("v")}, {"_el", ns::Value(3)}}),
              }));
}

TEST_F(EventUtilitiesTest, NamesAndTablesForLogs) {
    EXPECT_EQ(QRVInternalEventNames().size(), 23u);
    EXPECT_EQ(QRVInternalParameterNames().size(), 33u);
    EXPECT_EQ(QRVInternalUserPropertyNames().size(), 4u);
    EXPECT_EQ(QRVAErrorEventCodeNames().size(), 18u);

    auto monitor = QRVAMeasurementMonitor();
    const QRVAParameters errorParams{{"_err", num(4)}, {"_el", num(99)}, {"_ignored", num(1)}};
    for (bool debug : {false, true}) {
        monitor->setDebugModeEnabled(debug);
        SCOPED_TRACE(debug ? "debug" : "not debug");
        EXPECT_EQ(QRVAFormattedEventName("_s"), debug ? "session_start (_s)" : "_s");
        EXPECT_EQ(QRVAFormattedEventName("_zz"), "_zz");
        EXPECT_EQ(QRVAFormattedEventName("purchase"), "purchase");
        EXPECT_EQ(QRVAFormattedParameterName("_o"), debug ? "quorvane_event_origin (_o)" : "_o");
        EXPECT_EQ(QRVAFormattedUserPropertyName("_id"), debug ? "user_id (_id)" : "_id");
        EXPECT_EQ(QRVAFormattedUserPropertyName("_exp_7"), "experiment_id (_exp_7)");
        EXPECT_EQ(QRVAFormattedParametersDescription(errorParams),
                  debug ? "{\n    quorvane_error (_err) = InvalidParameterValue (4);\n"
                          "    quorvane_error_length (_el) = 99;\n    _ignored = 1;\n}"
                        : "{\n    _err = 4;\n    _el = 99;\n    _ignored = 1;\n}");
    }
    struct Case {
        ns::Value name;
        bool isPublic;
    };
    for (const Case& c : {Case{ns::Value("x"), true}, Case{ns::Value("_x"), false}, Case{ns::Value(""), false},
                          Case{ns::Value(3), false}, Case{ns::Value(), false}}) {
        EXPECT_EQ(QRVAEventUtilIsPublicName(c.name), c.isPublic) << c.name.description();
    }
    EXPECT_TRUE(QRVAEventUtilIsErrorEvent(*QRVAEvent::initWithOrigin("auto", false, "_err", 1, 0, QRVAObjectParameters{})));

    const QRVAObjectParameters screen{{"x", ns::Value(1)}, {"_sn", ns::Value("Home")}};
    EXPECT_TRUE(QRVAHasScreenParameters(screen));
    EXPECT_FALSE(QRVAHasScreenParameters(QRVAObjectParameters{{"x", ns::Value(1)}}));
    EXPECT_TRUE(QRVAExtractScreenParameters(screen) == (QRVAObjectParameters{{"_sn", ns::Value("Home")}}));
    EXPECT_TRUE(QRVAHasArrayParameters(QRVAObjectParameters{{"l", ns::Value(ns::Array{})}}));
}

}  // namespace
