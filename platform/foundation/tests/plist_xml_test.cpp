// The XML form against what XML 1.0 and other readers of property lists
// (Python's plistlib, the format library) hold and read.

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "platform/plist.h"
#include "testing/temp_sandbox.h"

namespace {

using ns::Value;
using ns::plist::Format;

ns::Data bytesOf(std::string_view s) { return ns::Data(s.begin(), s.end()); }

std::string textOf(const ns::Data& d) { return std::string(d.begin(), d.end()); }

// The format library's reading of an XML list's one string.
std::string libraryString(const ns::Data& xml) {
    plist_t node = nullptr;
    plist_from_xml(reinterpret_cast<const char*>(xml.data()), uint32_t(xml.size()), &node);
    if (!node) return "(unread)";
    char* text = nullptr;
    plist_get_string_val(node, &text);
    std::string out = text ? text : "(not a string)";
    free(text);
    plist_free(node);
    return out;
}

// A character XML 1.0 cannot hold makes any XML reader refuse the whole
// list: writing such text, as a string or a key, is refused for XML with
// where it is, while the binary form keeps it.
TEST(PlistXML, TextXMLCannotHoldIsRefusedForXMLAndKeptInBinary) {
    const char* refused[] = {"\x01", "a\x08z", "\x0B", "\x0C", "\x0E", "\x1F", "\xEF\xBF\xBE", "x\xEF\xBF\xBF"};
    for (const char* text : refused) {
        const Value asString(ns::Dictionary{{"list", Value(ns::Array{Value("ok"), Value(text)})}});
        const Value asKey(ns::Dictionary{{"outer", Value(ns::Dictionary{{text, Value(1)}})}});
        for (const auto& [value, where] : {std::pair{asString, "at list[1]"}, std::pair{asKey, "at outer."}}) {
            ns::ErrorRef error;
            EXPECT_TRUE(ns::plist::serialize(value, Format::XML, &error).empty()) << where;
            ASSERT_NE(error, nullptr) << where;
            EXPECT_EQ(error->domain(), ns::kCocoaErrorDomain);
            EXPECT_EQ(error->code(), ns::plist::kWriteInvalidError);
            EXPECT_NE(error->localizedDescription().find("XML 1.0"), std::string::npos) << error->localizedDescription();
            EXPECT_NE(error->localizedDescription().find(where), std::string::npos) << error->localizedDescription();
            EXPECT_TRUE(ns::plist::isValidPropertyList(value));
            const ns::Data binary = ns::plist::serialize(value, Format::Binary, &error);
            ASSERT_EQ(error, nullptr) << error->description();
            EXPECT_EQ(ns::plist::parse(binary), value);
        }
    }
    // A file in XML is refused the same way, and not written.
    ns::testing::TempSandbox sandbox;
    const std::string path = sandbox.root() + "/list.plist";
    ns::ErrorRef error;
    EXPECT_FALSE(ns::plist::writeFile(path, Value("\x01"), Format::XML, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), ns::plist::kWriteInvalidError);
    EXPECT_NE(error->localizedDescription().find("XML 1.0"), std::string::npos) << error->localizedDescription();

    // Tab, line feed, DEL, U+FFFD and the characters around U+FFFE are text.
    for (const char* text : {"\t\n", "\x7F", "\xEF\xBF\xBD", "\xEF\xBF\xBC", "\xEF\xBE\xBF", "\xF0\x9F\x98\x80"}) {
        const ns::Data xml = ns::plist::serialize(Value(text), Format::XML, &error);
        ASSERT_EQ(error, nullptr) << error->description();
        EXPECT_EQ(ns::plist::parse(xml), Value(text));
        EXPECT_EQ(libraryString(xml), text);
    }
}

// XML readers read a raw carriage return (and one before a line feed) as a
// line feed: it is written as a character reference and reads back as itself.
TEST(PlistXML, CarriageReturnsAreWrittenAsReferences) {
    const std::string text = "a\rb\r\nc\r";
    for (const Value& value : {Value(text), Value(ns::Dictionary{{text, Value(text)}})}) {
        ns::ErrorRef error;
        const ns::Data xml = ns::plist::serialize(value, Format::XML, &error);
        ASSERT_EQ(error, nullptr) << error->description();
        EXPECT_EQ(textOf(xml).find('\r'), std::string::npos) << textOf(xml);
        EXPECT_NE(textOf(xml).find("a&#13;b&#13;\nc&#13;<"), std::string::npos) << textOf(xml);
        EXPECT_EQ(ns::plist::parse(xml, &error), value);
    }
    EXPECT_EQ(libraryString(ns::plist::serialize(Value(text), Format::XML)), text);
}

// Forms that Python's plistlib and the format library both read, and that
// the format's own description allows, read as they do: reals past a
// double's range, dates with their smaller units left out, character
// references with leading zeros. What either refuses or misreads stays
// refused, as does a plist element inside one, which the format's
// description does not allow (a plist holds one value).
TEST(PlistXML, FormsOtherReadersReadAreRead) {
    const double inf = std::numeric_limits<double>::infinity();
    const double may6 = 1588723200;  // 2020-05-06T00:00:00Z
    const struct {
        const char* body;
        Value value;  // null: refused
    } cases[] = {
        {"<real>1e400</real>", Value(inf)},
        {"<real>-1e400</real>", Value(-inf)},
        {"<real>+1E+400</real>", Value(inf)},
        {"<real>12345e99999999999999999999</real>", Value(inf)},
        {"<real>1e-400</real>", Value(0.0)},
        {"<real>0.001e-321</real>", Value(0.0)},
        {"<real>100000e-99999999999999999999</real>", Value(0.0)},
        {"<real>1e308</real>", Value(1e308)},
        {"<real>1e400x</real>", Value()},
        {"<date>2020-05-06Z</date>", Value(ns::Date{may6})},
        {"<date>2020-05-06T10Z</date>", Value(ns::Date{may6 + 36000})},
        {"<date>2020-05-06T10:20Z</date>", Value(ns::Date{may6 + 37200})},
        {"<date>2020-05-06T10:20:30.25Z</date>", Value(ns::Date{may6 + 37230})},
        {"<date>2020-05Z</date>", Value()},
        {"<date>2020Z</date>", Value()},
        {"<date>2020-05-06</date>", Value()},
        {"<date>2020-05-06TZ</date>", Value()},
        {"<date>2020-05-06T1Z</date>", Value()},
        {"<date>2020-05-06T10:20.5Z</date>", Value()},
        {"<date>2020-05-06Z </date>", Value(ns::Date{may6})},
        {"<string>&#0000000000065;</string>", Value("A")},
        {"<string>&#x0000000000041;&#00000000000000000000000000000000000000066;</string>", Value("AB")},
        {"<string>&#0001114111;</string>", Value("\xF4\x8F\xBF\xBF")},
        {"<string>&#0001114112;</string>", Value()},
        {"<string>&#x0000110000;</string>", Value()},
        {"<string>&#000;</string>", Value()},
        {"<string>&#;</string>", Value()},
        {"<string>&#x;</string>", Value()},
        {"<string>&#00000065</string>", Value()},
        {"<string>&apos;&quot;&lt;&gt;&amp;</string>", Value("'\"<>&")},
        {"<plist><true/></plist>", Value()},
    };
    for (const auto& c : cases) {
        ns::ErrorRef error;
        const Value read = ns::plist::parse(bytesOf(std::string("<plist version=\"1.0\">") + c.body + "</plist>"), &error);
        if (c.value.isNull()) {
            EXPECT_TRUE(read.isNull()) << c.body;
            EXPECT_NE(error, nullptr) << c.body;
            continue;
        }
        ASSERT_EQ(error, nullptr) << c.body << ": " << error->description();
        EXPECT_EQ(read, c.value) << c.body;
    }
    // Below the least double a number keeps its sign, as C's strtod gives it.
    EXPECT_TRUE(std::signbit(ns::plist::parse(bytesOf("<plist><real>-1e-400</real></plist>")).asDouble()));
    EXPECT_FALSE(std::signbit(ns::plist::parse(bytesOf("<plist><real>1e-400</real></plist>")).asDouble()));
}

}  // namespace
