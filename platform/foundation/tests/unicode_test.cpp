// Character classes as Foundation's character sets name them, code points
// of UTF-8 texts, and comparison in a locale's order.

#include "platform/unicode.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace ns::unicode;

TEST(Unicode, ClassifiesLettersMarksAndDecimalDigitsOfEveryScript) {
    const struct {
        char32_t c;
        bool letter;
        bool nonBase;
        bool digit;
    } cases[] = {
        {U'a', true, false, false},     {U'Z', true, false, false},     {U'é', true, false, false},
        {U'ß', true, false, false},     {U'ǅ', true, false, false},     {U'ʰ', true, false, false},   // Lt, Lm
        {U'日', true, false, false},    {U'א', true, false, false},     {U'\u0301', false, true, false},  // Mn
        {U'\u0903', false, true, false},  {U'\u20DD', false, true, false},                           // Mc, Me
        {U'7', false, false, true},     {U'٣', false, false, true},     {U'𝟘', false, false, true},  // Nd
        {U'½', false, false, false},    {U'Ⅻ', false, false, false},    {U'_', false, false, false},
        {U' ', false, false, false},    {U'😀', false, false, false},   {char32_t(0x10FFFF), false, false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isLetter(c.c), c.letter) << std::hex << uint32_t(c.c);
        EXPECT_EQ(isNonBase(c.c), c.nonBase) << std::hex << uint32_t(c.c);
        EXPECT_EQ(isDecimalDigit(c.c), c.digit) << std::hex << uint32_t(c.c);
    }
}

TEST(Unicode, CodePointsOfValidUTF8Only) {
    EXPECT_EQ(codePoints("aé日😀"), std::u32string(U"aé日😀"));
    EXPECT_EQ(codePoints("e\xCC\x81"), std::u32string(U"e\u0301"));
    EXPECT_EQ(codePoints(""), std::u32string());
    EXPECT_EQ(codePoints(std::string("a\0b", 3)), std::u32string(U"a\0b", 3));
    for (const char* bad : {"\xC3", "a\xFF", "\xED\xA0\x80", "\xC0\x80"}) EXPECT_FALSE(codePoints(bad)) << bad;
}

TEST(Unicode, ComparesInTheLocalesOrder) {
    const struct {
        const char* a;
        const char* b;
        const char* locale;
        int order;
    } cases[] = {
        {"apple", "Banana", "en_US", -1},  // byte order would put "B" first
        {"a", "A", "en_US", -1},           {"résumé", "resume", "en_US", 1},
        {"same", "same", "en_US", 0},      {"z", "ä", "en_US", 1},
        {"z", "ä", "sv_SE", -1},           // Swedish sorts ä after z
        {"ch", "d", "cs_CZ", 1},           // Czech "ch" comes after "h"
        {"b", "a", "xx_NOWHERE", 1},       {"", "a", "en_US", -1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(compareLocalized(c.a, c.b, c.locale), c.order) << c.a << " / " << c.b << " in " << c.locale;
        EXPECT_EQ(compareLocalized(c.b, c.a, c.locale), -c.order) << c.b << " / " << c.a << " in " << c.locale;
    }
}

}  // namespace
