#include <gtest/gtest.h>

#include <functional>

#include <memory>
#include <string>
#include <vector>

#include "analytics/QRVADataTypeValidator.h"
#include "monitor_lines.h"
#include "sandboxed_test.h"

namespace {

using V = QRVADataTypeValidator;
using Check = bool (*)(QRVAObjectRef, int64_t*);

std::string times(std::string_view piece, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += piece;
    return out;
}
ns::Value text(std::string_view s) {
    return ns::Value(std::string(s));
}
ns::Value stringValue(std::string s) {
    return ns::Value(std::make_shared<QRVAValue>(QRVAValue::string(std::move(s))));
}
ns::Value intValue(int64_t i) {
    return ns::Value(std::make_shared<QRVAValue>(QRVAValue(i)));
}

class ValidatorTest : public analyticstest::LoggingTest {
protected:
    void SetUp() override { QRVSetLoggerLevel(QRVLoggerLevelDebug); }
    static std::vector<std::string> logged(const std::function<void()>& work) { return analyticstest::logged(work); }
};

TEST_F(ValidatorTest, EveryEntryPointHoldsItsLengthsCharactersReservedNamesAndType) {
    struct Case {
        const char* entry;
        Check check;
        ns::Value object;
        int64_t code;      // 0: valid
        std::string log;   // the start of the one line logged; "" for none
    };
    const std::string a40 = times("a", 40), a41 = times("a", 41), a24 = times("a", 24), a25 = times("a", 25);
    const std::string a32 = times("a", 32), a33 = times("a", 33);
    const Case cases[] = {
        {"public event name", V::isValidPublicEventName, text("purchase"), 0, ""},
        {"public event name", V::isValidPublicEventName, text(a40), 0, ""},
        {"public event name", V::isValidPublicEventName, text(times("é", 40)), 0, ""},
        {"public event name", V::isValidPublicEventName, text("naïve_名前_٣"), 0, ""},
        {"public event name", V::isValidPublicEventName, text("Quorvane_promo"), 0, ""},
        {"public event name", V::isValidPublicEventName, text(a41), 2,
         "13000 Event name is too long. The maximum supported length is 40: " + a41},
        {"public event name", V::isValidPublicEventName, text("1purchase"), 3, "13003 Event name must start with a letter"},
        {"public event name", V::isValidPublicEventName, text("٣purchase"), 3, "13003 Event name must start with a letter"},
        {"public event name", V::isValidPublicEventName, text("_s"), 3, "13003 Event name must start with a letter"},
        {"public event name", V::isValidPublicEventName, text("e\u0301vent"), 3,
         "13002 Event name must contain only letters, numbers, or underscores"},
        {"public event name", V::isValidPublicEventName, text("buy-now"), 3, "13002 Event name must contain only"},
        {"public event name", V::isValidPublicEventName, text("buy now"), 3, "13002 Event name must contain only"},
        {"public event name", V::isValidPublicEventName, text("buy😀"), 3, "13002 Event name must contain only"},
        {"public event name", V::isValidPublicEventName, text("session_start"), 4,
         "13006 Event name is reserved. Ignoring event: session_start"},
        {"public event name", V::isValidPublicEventName, text("quorvane_promo"), 4,
         "13007 Event name uses reserved prefix. Ignoring event"},
        {"public event name", V::isValidPublicEventName, text(""), 1, "13001 Event name is required and can't be empty"},
        {"public event name", V::isValidPublicEventName, ns::Value(), 1, "13001 Event name is required and can't be nil"},
        {"public event name", V::isValidPublicEventName, ns::Value(5), 5, "13000 Event name must be of type NSString"},
        {"public event name", V::isValidPublicEventName, text("\xff\xfe"), 5, "13000 Event name must be of type NSString"},
        {"internal event name", V::isValidInternalEventName, text("_s"), 0, ""},
        {"internal event name", V::isValidInternalEventName, text("1purchase"), 0, ""},
        {"internal event name", V::isValidInternalEventName, text("session_start"), 0, ""},
        {"internal event name", V::isValidInternalEventName, text(a41), 2, "13000 Event name is too long"},
        {"public parameter name", V::isValidPublicEventParameterName, text("item_id"), 0, ""},
        {"public parameter name", V::isValidPublicEventParameterName, text(a40), 0, ""},
        {"public parameter name", V::isValidPublicEventParameterName, text(a41), 2,
         "13000 Event parameter name is too long. The maximum supported length is 40"},
        {"public parameter name", V::isValidPublicEventParameterName, text("_x"), 3,
         "13003 Event parameter name must start with a letter"},
        {"public parameter name", V::isValidPublicEventParameterName, text("quorvane_x"), 4,
         "13008 Parameter name uses reserved prefix. Ignoring parameter: quorvane_x"},
        {"internal parameter name", V::isValidInternalEventParameterName, text("quorvane_x"), 0, ""},
        {"internal parameter name", V::isValidInternalEventParameterName, text("_x"), 0, ""},
        {"internal parameter name", V::isValidInternalEventParameterName, text("x.y"), 3,
         "13002 Event parameter name must contain only"},
        {"public parameter value", V::isValidPublicEventParameterValue, stringValue(""), 0, ""},
        {"public parameter value", V::isValidPublicEventParameterValue, stringValue(times("ü", 100)), 0, ""},
        {"public parameter value", V::isValidPublicEventParameterValue, intValue(INT64_MAX), 0, ""},
        {"public parameter value", V::isValidPublicEventParameterValue, stringValue(times("x", 101)), 2,
         "13000 Event parameter value is too long. The maximum supported length is 100"},
        {"public parameter value", V::isValidPublicEventParameterValue, ns::Value(), 1,
         "13004 Event parameter value cannot be nil"},
        {"public parameter value", V::isValidPublicEventParameterValue, text("x"), 5,
         "13005 Event parameter value must be a QRVAValue instance. value: NSString"},
        {"internal parameter value", V::isValidInternalEventParameterValue, stringValue(times("x", 256)), 0, ""},
        {"internal parameter value", V::isValidInternalEventParameterValue, stringValue(times("x", 257)), 2,
         "13000 Event parameter value is too long. The maximum supported length is 256"},
        {"internal origin", V::isValidInternalEventOrigin, text("app"), 0, ""},
        {"internal origin", V::isValidInternalEventOrigin, text(a32), 0, ""},
        {"internal origin", V::isValidInternalEventOrigin, text(a33), 2,
         "13000 Event origin is too long. The maximum supported length is 32"},
        {"internal origin", V::isValidInternalEventOrigin, text("am+htk"), 3, "13002 Event origin must contain only"},
        {"forwarded origin", V::isValidForwardedEventOrigin, text("am+htk"), 0, ""},
        {"forwarded origin", V::isValidForwardedEventOrigin, text(a32 + "+htk"), 0, ""},
        {"forwarded origin", V::isValidForwardedEventOrigin, text("app"), 6, ""},
        {"forwarded origin", V::isValidForwardedEventOrigin, text(""), 1, ""},
        {"forwarded origin", V::isValidForwardedEventOrigin, ns::Value(), 1, ""},
        {"forwarded origin", V::isValidForwardedEventOrigin, text("+htk"), 1,
         "13001 Event origin is required and can't be empty"},
        {"forwarded origin", V::isValidForwardedEventOrigin, text(a33 + "+htk"), 2, "13000 Event origin is too long"},
        {"public property name", V::isValidPublicUserAttributeName, text("store"), 0, ""},
        {"public property name", V::isValidPublicUserAttributeName, text(a24), 0, ""},
        {"public property name", V::isValidPublicUserAttributeName, text(a25), 2,
         "13000 User property name is too long. The maximum supported length is 24"},
        {"public property name", V::isValidPublicUserAttributeName, text("user_id"), 4,
         "13009 User property name is reserved. Ignoring user property"},
        {"public property name", V::isValidPublicUserAttributeName, text("quorvane_x"), 4,
         "13010 User property name uses reserved prefix. Ignoring user property"},
        {"public property name", V::isValidPublicUserAttributeName, text("_id"), 3,
         "13003 User property name must start with a letter"},
        {"public property value", V::isValidPublicUserAttributeValue, stringValue(times("x", 36)), 0, ""},
        {"public property value", V::isValidPublicUserAttributeValue, intValue(INT64_MIN), 0, ""},
        {"public property value", V::isValidPublicUserAttributeValue, stringValue(""), 1, ""},
        {"public property value", V::isValidPublicUserAttributeValue, stringValue(times("x", 37)), 2,
         "13000 User property value is too long. The maximum supported length is 36"},
        {"internal property name", V::isValidInternalUserAttributeName, text("_fot"), 0, ""},
        {"internal property name", V::isValidInternalUserAttributeName, text(a25), 2, "13000 User property name is too long"},
        {"internal property value", V::isValidInternalUserAttributeValue, stringValue("x"), 0, ""},
        {"internal property value", V::isValidInternalUserAttributeValue, stringValue(times("x", 37)), 2,
         "13000 User property value is too long"},
        {"screen value", V::isValidScreenParameterValue, text("Home"), 0, ""},
        {"screen value", V::isValidScreenParameterValue, text(times("x", 100)), 0, ""},
        {"screen value", V::isValidScreenParameterValue, text(times("x", 101)), 2,
         "13000 Screen parameter value is too long. The maximum supported length is 100"},
        {"screen value", V::isValidScreenParameterValue, text(""), 1, "13001 Screen parameter value is required and can't be empty"},
        {"screen value", V::isValidScreenParameterValue, stringValue("Home"), 5,
         "13000 Screen parameter value must be of type NSString"},
        {"conditional origin", V::isValidConditionalUserPropertyOrigin, text(a32), 0, ""},
        {"conditional origin", V::isValidConditionalUserPropertyOrigin, text(a33), 2,
         "13000 Conditional user property origin is too long. The maximum supported length is 32"},
        {"conditional name", V::isValidConditionalUserPropertyName, text(a24), 0, ""},
        {"conditional name", V::isValidConditionalUserPropertyName, text("a b"), 3,
         "13002 Conditional user property name must contain only letters, numbers, or underscores"},
        {"conditional value", V::isValidConditionalUserPropertyValue, stringValue(times("x", 36)), 0, ""},
        {"conditional value", V::isValidConditionalUserPropertyValue, stringValue(""), 1,
         "13001 Conditional user property value is required and can't be empty"},
        {"conditional value", V::isValidConditionalUserPropertyValue, stringValue(times("x", 37)), 2,
         "13000 Conditional user property value is too long. The maximum supported length is 36"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.entry) + ": " + c.object.description());
        int64_t code = -1;
        bool valid = false, validWithoutCode = false;
        // Without an out-parameter the answer and the log are the same.
        auto lines = logged([&] {
            valid = c.check(c.object, &code);
            validWithoutCode = c.check(c.object, nullptr);
        });
        EXPECT_EQ(valid, c.code == 0);
        EXPECT_EQ(validWithoutCode, valid);
        EXPECT_EQ(code, c.code);
        if (c.log.empty()) {
            EXPECT_TRUE(lines.empty()) << ::testing::PrintToString(lines);
        } else {
            ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
            EXPECT_EQ(lines[0].substr(0, c.log.size()), c.log);
            EXPECT_EQ(lines[1], lines[0]);
        }
    }
}

TEST_F(ValidatorTest, BaseChecksReportShortTextsAndValuesLogAsWarnings) {
    int64_t code = 0;
    auto lines = logged([&] { EXPECT_FALSE(V::isValidString(text("ab"), 3, 10, 99, &code)); });
    EXPECT_EQ(code, 7);
    EXPECT_EQ(lines, std::vector<std::string>{"13000 Object is too short. The minimum supported length is 3: ab"});

    // Values log at level 4, names at level 1: at the error level only the
    // name's refusal is printed.
    QRVSetLoggerLevel(QRVLoggerLevelError);
    lines = logged([&] {
        EXPECT_FALSE(V::isValidPublicUserAttributeValue(QRVAValue::string(times("x", 37)), &code));
        EXPECT_FALSE(V::isValidPublicEventName(times("x", 41), &code));
    });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].substr(0, 28), "13000 Event name is too long");
}

}  // namespace
