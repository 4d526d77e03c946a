// Percent-encoding and file URLs, MIME types by extension, and the ICU date
// formatter: the small text utilities the storage client builds on, and the
// case-blind comparison HTTP heads are read with.

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "platform/date_formatter.h"
#include "platform/error.h"
#include "platform/mime_types.h"
#include "platform/text.h"
#include "platform/url.h"

TEST(PercentEncodingTest, EncodesOutsideTheSetAndDecodesLeniently) {
    struct Case {
        const char* text;
        const char* unreserved;
        const char* encoded;
    };
    const Case cases[] = {
        {"a/b c", "", "a%2Fb%20c"},
        {"a/b c", "/", "a/b%20c"},
        {"ñ%", "", "%C3%B1%25"},
        {"", "", ""},
        {"A-z_0.9~", "-_.~", "A-z_0.9~"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ns::percentEncode(c.text, c.unreserved), c.encoded) << c.text;
        EXPECT_EQ(ns::percentDecode(c.encoded), c.text) << c.encoded;
    }
    // Escapes that are not two hex digits stay as they are.
    EXPECT_EQ(ns::percentDecode("100%"), "100%");
    EXPECT_EQ(ns::percentDecode("%zz%4"), "%zz%4");
    EXPECT_EQ(ns::percentDecode("%-1"), "%-1");
    EXPECT_EQ(ns::percentDecode("%41%62"), "Ab");
    // The strict reverse refuses those escapes and otherwise agrees.
    const std::pair<const char*, std::optional<std::string>> strict[] = {
        {"%41%62", "Ab"}, {"a+b%20c", "a+b c"}, {"", ""},          {"100%", std::nullopt},
        {"%4", std::nullopt}, {"%zz", std::nullopt}, {"%%41", std::nullopt}, {"%41%", std::nullopt},
    };
    for (const auto& [text, decoded] : strict) EXPECT_EQ(ns::percentDecodeStrict(text), decoded) << text;
}

TEST(PercentEncodingTest, FileURLsRoundTripPaths) {
    for (const char* path : {"/tmp/a b/c.jpg", "/x/ñ#?%.txt", "/"}) {
        std::string url = ns::fileURLWithPath(path);
        EXPECT_EQ(url.rfind("file:///", 0), 0u) << url;
        EXPECT_EQ(url.find(' '), std::string::npos) << url;
        EXPECT_EQ(ns::filePathFromURL(url), path);
    }
    EXPECT_EQ(ns::filePathFromURL("file://localhost/etc/hosts"), "/etc/hosts");
    EXPECT_EQ(ns::filePathFromURL("/plain/path"), "/plain/path");
}

TEST(TextTest, EqualsIgnoringASCIICaseComparesEveryByteAndNoMore) {
    struct Case {
        std::string_view a, b;
        bool equal;
    } cases[] = {{"localhost", "LOCALHOST", true}, {"localhosT", "localhost", true}, {"", "", true},
                 {"localhost", "localhos", false}, {"localhosu", "localhost", false}, {"\xC3\x89", "\xC3\xA9", false}};
    for (const Case& c : cases) {
        // Exact-size copies, so that a read past either text is seen.
        auto a = std::make_unique<char[]>(c.a.size()), b = std::make_unique<char[]>(c.b.size());
        std::copy(c.a.begin(), c.a.end(), a.get());
        std::copy(c.b.begin(), c.b.end(), b.get());
        EXPECT_EQ(ns::equalsIgnoringASCIICase({a.get(), c.a.size()}, {b.get(), c.b.size()}), c.equal) << c.a;
    }
}

TEST(TextTest, UUIDTextIsThirtyTwoHexDigitsInFiveHyphenatedGroups) {
    for (int i = 0; i < 8; ++i) {
        const std::string made = ns::newUUIDString();
        EXPECT_TRUE(ns::isUUIDString(made)) << made;
    }
    const struct Case {
        std::string_view text;
        bool uuid;
    } cases[] = {
        {"6F9619FF-8B86-D011-B42D-00C04FC964FF", true},
        {"6f9619ff-8b86-d011-b42d-00c04fc964ff", true},
        {"6F9619FF-8B86-D011-B42D-00C04FC964F", false},
        {"6F9619FF-8B86-D011-B42D-00C04FC964FFF", false},
        {"6F9619FG-8B86-D011-B42D-00C04FC964FF", false},
        {"6F9619FF-8B86-D011-B42D+00C04FC964FF", false},
        {"6F9619FF8-B86-D011-B42D-00C04FC964FF", false},
        {"6F9619FF-8B86-D011-B42D-00C04FC964\xC3\xBF", false},
        {"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(ns::isUUIDString(c.text), c.uuid) << c.text;
}

TEST(MIMETypesTest, ExtensionsMapToTheirPreferredType) {
    EXPECT_EQ(ns::mimeTypeForExtension("jpg"), "image/jpeg");
    EXPECT_EQ(ns::mimeTypeForExtension(".JPEG"), "image/jpeg");
    EXPECT_EQ(ns::mimeTypeForExtension("png"), "image/png");
    EXPECT_EQ(ns::mimeTypeForExtension("json"), "application/json");
    EXPECT_EQ(ns::mimeTypeForExtension(""), std::nullopt);
    EXPECT_EQ(ns::mimeTypeForExtension("."), std::nullopt);
    EXPECT_EQ(ns::mimeTypeForExtension("surely-not-an-extension"), std::nullopt);
}

TEST(DateFormatterTest, PrintsAndParsesItsPatternOnly) {
    ns::DateFormatter rfc3339("yyyy'-'MM'-'dd'T'HH':'mm':'ss.SSSZZZZZ");
    EXPECT_EQ(rfc3339.stringFromDate(ns::Date{0}), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(rfc3339.stringFromDate(ns::Date{1796648673.5}), "2026-12-07T13:04:33.500Z");
    auto parsed = rfc3339.dateFromString("2026-12-07T13:04:33.123+02:00");
    ASSERT_TRUE(parsed);
    EXPECT_NEAR(parsed->secondsSince1970, 1796648673.123 - 7200, 1e-6);
    EXPECT_FALSE(rfc3339.dateFromString("2026-12-07T13:04:33.123Z trailing"));
    EXPECT_FALSE(rfc3339.dateFromString("2026-13-40T13:04:33.123Z"));
    EXPECT_FALSE(rfc3339.dateFromString(""));

    ns::DateFormatter panama("dd/MM/yyyy HH:mm", "es_PA", -5 * 3600);
    EXPECT_EQ(panama.stringFromDate(ns::Date{1796648673}), "07/12/2026 08:04");
}
