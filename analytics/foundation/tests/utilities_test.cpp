#include <gtest/gtest.h>

#include "analytics/QRVAUtilities.h"

namespace {

TEST(UtilitiesTest, TextIsMeasuredInCodePoints) {
    const struct {
        std::string text;
        size_t length;
    } cases[] = {
        {"", 0},
        {"abc", 3},
        {"ñandú", 5},
        {"\xE2\x82\xAC", 1},                  // one three-byte character
        {"a\xF0\x9F\x98\x80" "b", 3},         // one character outside the BMP
        {"\xFF\xFE" "a", 3},                  // bytes that start nothing count one each
        {std::string("a\0b", 3), 3},
    };
    for (const auto& c : cases) EXPECT_EQ(qrva_UTF32Length(c.text), c.length) << c.text;
}

}  // namespace
