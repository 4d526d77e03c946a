// The one UTF-8 validator: whole texts, single sequences and the cleaned
// text error messages quote, at the edges of every sequence length.

#include "platform/utf8.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using ns::utf8::isValid;
using ns::utf8::sanitized;
using ns::utf8::sequenceLength;

TEST(UTF8Validator, AcceptsTheFirstAndLastCodePointOfEveryLength) {
    for (const char* good : {"\x7F", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
                             "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"}) {
        EXPECT_TRUE(isValid(good)) << good;
        EXPECT_EQ(sequenceLength(good, 0), std::string(good).size());
    }
    EXPECT_TRUE(isValid(std::string("\0", 1)));
    EXPECT_TRUE(isValid(""));
}

TEST(UTF8Validator, RefusesOverlongSurrogateTooLargeAndCutShortSequences) {
    const char* bad[] = {
        "\xC0\x80", "\xC1\xBF",                  // overlong two-byte forms
        "\xE0\x80\x80", "\xE0\x9F\xBF",          // overlong three-byte forms
        "\xF0\x80\x80\x80", "\xF0\x8F\xBF\xBF",  // overlong four-byte forms
        "\xED\xA0\x80", "\xED\xBF\xBF",          // the first and last surrogate
        "\xED\xA0\xBD\xED\xB8\x80",              // a surrogate pair spelled out (CESU-8)
        "\xF4\x90\x80\x80", "\xF5\x80\x80\x80",  // above U+10FFFF
        "\xF8\x88\x80\x80\x80",                  // the old five-byte form
        "\xFE", "\xFF",                          // never in UTF-8
        "\xC2", "\xE2\x82", "\xF0\x9F\x98",      // cut short at the end
        "\xE2\x82x", "\xF0\x9F\x98 ",            // cut short by ASCII
        "\x80", "\xBF\xBF",                      // trail bytes with no lead
    };
    for (const char* text : bad) {
        EXPECT_FALSE(isValid(text)) << testing::PrintToString(std::string(text));
        EXPECT_EQ(sequenceLength(text, 0), 0u) << testing::PrintToString(std::string(text));
    }
}

TEST(UTF8Validator, AFaultAfterALongASCIIRunIsFound) {
    // The ASCII fast path reads 32 and 8 bytes at a time; a bad byte at each
    // offset around those strides must still be seen.
    for (size_t at = 0; at < 80; ++at) {
        std::string text(80, 'a');
        text[at] = '\xC0';
        EXPECT_FALSE(isValid(text)) << at;
        text[at] = '\x7F';
        EXPECT_TRUE(isValid(text)) << at;
    }
    std::string cut(40, 'a');
    cut += "\xF0\x9F\x98";
    EXPECT_FALSE(isValid(cut));
}

TEST(UTF8Validator, SequenceLengthWalksMixedText) {
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    EXPECT_EQ(sequenceLength(text, 0), 1u);
    EXPECT_EQ(sequenceLength(text, 1), 2u);
    EXPECT_EQ(sequenceLength(text, 2), 0u) << "a trail byte starts nothing";
    EXPECT_EQ(sequenceLength(text, 3), 3u);
    EXPECT_EQ(sequenceLength(text, 6), 4u);
    EXPECT_EQ(sequenceLength(text, text.size()), 0u) << "past the end";
}

TEST(UTF8Validator, SanitizedReplacesEachBadByteAndKeepsTheRest) {
    EXPECT_EQ(sanitized("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(sanitized("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(sanitized("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(sanitized("x\xE2\x82"), "x\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_TRUE(isValid(sanitized("\xC0\x80\xF4\x90\x80\x80 tail \xE2")));
}

// Every split of each text into three pieces: after each piece the stream
// validator answers as validPrefixLength over all bytes so far, and at the
// end as isValid. Characters and faults sit around the 8-, 16- and 32-byte
// strides of the fast paths and in sequences cut by the pieces.
TEST(UTF8Validator, StreamValidatorAgreesWithValidPrefixLengthAtEveryBoundary) {
    std::vector<std::string> texts = {
        "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80z", "\xF4\x8F\xBF\xBF\xED\x9F\xBF\xEE\x80\x80",
        "\xC0\xAF", "\xC1\xBF!", "\xE0\x80\x80", "\xE0\x9F", "\xED\xA0\x80", "\xED\xBF",
        "\xF0\x8F\xBF\xBF", "\xF4\x90\x80\x80", "\xF4\x90", "\xF5\x80\x80\x80", "\xF8\x88\x80\x80\x80",
        "\xFC\x84\x80\x80\x80\x80", "\xFE", "ab\xFF", "\x80", "x\xE2\x82", "\xE2\x82x", "\xF0\x9F\x98 ",
        "\xC3\xA9\xBF",
    };
    for (size_t at : {7, 8, 14, 15, 16, 17, 31, 32, 33, 47, 63, 64}) {
        std::string text(72, 'a');
        text.replace(at, 2, "\xC3\xA9");
        texts.push_back(text);
        text[at + 1] = 'b';
        texts.push_back(text);
        texts.push_back(text.replace(at, 3, "\xE2\x82\xAC"));
        texts.push_back(text.replace(at, 2, "\xC0\xAF"));
    }
    for (const std::string& text : texts) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
        for (size_t first = 0; first <= text.size(); ++first) {
            for (size_t second = first; second <= text.size(); ++second) {
                ns::utf8::StreamValidator validator;
                size_t from = 0;
                for (size_t to : {first, second, text.size()}) {
                    const bool accepted = validator.append(bytes + from, to - from);
                    EXPECT_EQ(accepted, ns::utf8::validPrefixLength(bytes, to).has_value())
                        << testing::PrintToString(text) << " cut at " << first << ", " << second << " to " << to;
                    from = to;
                }
                EXPECT_EQ(validator.isComplete(), isValid(text)) << testing::PrintToString(text);
            }
        }
    }
}

}  // namespace
