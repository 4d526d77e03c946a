// The XML form against what XML 1.0 and other readers of property lists
// (Python's plistlib, the format library) hold and read.

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <algorithm>
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

// XML 1.0 reads each raw line end as one line feed before anything else
// (a carriage return alone, or before a line feed), in CDATA too; a
// character reference to a carriage return stays one. Each text read as
// Python's plistlib reads it, in a string and in a key.
TEST(PlistXML, RawLineEndsReadAsOneLineFeedAndReferencesAsWritten) {
    const struct {
        std::string raw;
        std::string read;
    } cases[] = {
        {"a\nb", "a\nb"},
        {"a\rb", "a\nb"},
        {"a\r\nb", "a\nb"},
        {"a\n\rb", "a\n\nb"},
        {"a\r\r\nb", "a\n\nb"},
        {"a\r\n\r\nb", "a\n\nb"},
        {"a\r", "a\n"},
        {"\r", "\n"},
        {"\r\n", "\n"},
        {"a&#13;\nb", "a\r\nb"},
        {"a&#xD;&#10;b", "a\r\nb"},
        {"a\r&#10;b", "a\n\nb"},
        {"&#13;\r\n", "\r\n"},
        {"&#xd;\r", "\r\n"},
        {"a\r&amp;\r\n", "a\n&\n"},
        {"a<![CDATA[\r\n\r]]>b", "a\n\nb"},
        {"<![CDATA[\r]]>\n", "\n\n"},
        {"a\r<!-- x -->\nb", "a\n\nb"},
    };
    for (const auto& c : cases) {
        const std::string asString = "<plist version=\"1.0\"><string>" + c.raw + "</string></plist>";
        const std::string asKey = "<plist version=\"1.0\"><dict><key>" + c.raw + "</key><true/></dict></plist>";
        for (const auto& [document, expected] :
             {std::pair{asString, Value(c.read)}, std::pair{asKey, Value(ns::Dictionary{{c.read, Value(true)}})}}) {
            ns::ErrorRef error;
            const Value read = ns::plist::parse(bytesOf(document), &error);
            ASSERT_EQ(error, nullptr) << document << ": " << error->description();
            EXPECT_EQ(read, expected) << document;
            // What reads writes again as text every reader reads the same.
            EXPECT_EQ(ns::plist::parse(ns::plist::serialize(read, Format::XML)), expected) << document;
        }
    }
}

// The XML form holds whole seconds: a date is written as the second it falls
// in, as Python's plistlib writes it, before 2001 as after.
TEST(PlistXML, DatesAreWrittenAsTheSecondTheyFallIn) {
    const double epoch = 978307200.0;  // 2001-01-01T00:00:00Z, since 1970
    const double earliest = -2147483647.0, latest = 2147483646.0;  // since 2001, both excluded
    const struct {
        double since2001;
        const char* written;
    } cases[] = {
        {0, "2001-01-01T00:00:00Z"},
        {0.5, "2001-01-01T00:00:00Z"},
        {123.999999, "2001-01-01T00:02:03Z"},
        {-0.5, "2000-12-31T23:59:59Z"},
        {-1e-6, "2000-12-31T23:59:59Z"},
        {-4e-7, "2001-01-01T00:00:00Z"},  // rounds to no microsecond, as stored
        {-0.9999998, "2000-12-31T23:59:59Z"},
        {-1.5, "2000-12-31T23:59:58Z"},
        {-123.999999, "2000-12-31T23:57:56Z"},
        {-86400.25, "2000-12-30T23:59:59Z"},
        {-31536000.999999, "2000-01-01T23:59:59Z"},
        {-epoch - 0.25, "1969-12-31T23:59:59Z"},
        {-epoch - 1e-6, "1969-12-31T23:59:59Z"},
        {-1596154154.000001, "1950-06-03T23:50:45Z"},
        {610456230.75, "2020-05-06T11:10:30Z"},
        {latest - 1e-6, "2069-01-19T03:14:05Z"},
        {earliest + 1.5, "1932-12-13T20:45:54Z"},
        {earliest + 1, "1932-12-13T20:45:54Z"},
        // Inside the range's first second plistlib writes the excluded end
        // (20:45:53), which no reader holds: the earliest second held instead.
        {earliest + 0.5, "1932-12-13T20:45:54Z"},
        {earliest + 1e-6, "1932-12-13T20:45:54Z"},
    };
    for (const auto& c : cases) {
        const Value date(ns::Date{epoch + c.since2001});
        ns::ErrorRef error;
        const ns::Data xml = ns::plist::serialize(date, Format::XML, &error);
        ASSERT_EQ(error, nullptr) << c.written << ": " << error->description();
        EXPECT_NE(textOf(xml).find(std::string("<date>") + c.written + "</date>"), std::string::npos)
            << c.since2001 << "\n" << textOf(xml);
        EXPECT_TRUE(ns::plist::parse(xml, &error).isDate()) << c.written;
    }

    // Across the range, at fractions either side of a second, the XML form
    // reads as the binary form's date floored, the range's first second aside.
    const double fractions[] = {0, 1e-6, 0.25, 0.5, 0.999999, -1e-6, -0.25, -0.5, -0.999999};
    for (double second = earliest + 1; second < latest; second += 9999991) {
        for (double fraction : fractions) {
            const Value date(ns::Date{epoch + second + fraction});
            if (!ns::plist::isValidPropertyList(date)) continue;
            const Value binary = ns::plist::parse(ns::plist::serialize(date, Format::Binary));
            const Value xml = ns::plist::parse(ns::plist::serialize(date, Format::XML));
            ASSERT_TRUE(binary.isDate() && xml.isDate()) << second << " " << fraction;
            const double floored = std::max(std::floor(binary.asDate().secondsSince1970), epoch + earliest + 1);
            EXPECT_EQ(xml.asDate().secondsSince1970, floored) << second << " " << fraction;
        }
    }
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
