#pragma once
// UTF-8 checks on ICU's decoder (U8_NEXT / utf8_nextCharSafeBody): strict
// well-formedness as Foundation's string decoding demands (no overlong forms,
// no surrogates, nothing above U+10FFFF), and an incremental form for text
// that arrives in pieces.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ns::utf8 {

// True when every byte belongs to a well-formed sequence.
bool isValid(const uint8_t* bytes, size_t length);
inline bool isValid(std::string_view text) {
    return isValid(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Length of the well-formed sequence at bytes[i] (1 to 4), or 0 when the
// bytes there are not one (a stray trail byte, an overlong form, a
// surrogate, a code point above U+10FFFF, or a sequence cut short).
size_t sequenceLength(const uint8_t* bytes, size_t length, size_t i);
inline size_t sequenceLength(std::string_view text, size_t i) {
    return sequenceLength(reinterpret_cast<const uint8_t*>(text.data()), text.size(), i);
}

// Appends the UTF-8 form of code point `c` (at most U+10FFFF, no
// surrogate: callers decode it from text that says so).
void appendCodePoint(uint32_t c, std::string& out);

// The text with every byte that belongs to no well-formed sequence replaced
// by U+FFFD, for messages that quote input which may not be UTF-8.
std::string sanitized(std::string_view text);

// Text that may stop in the middle of a character: the length of the part
// known to be well formed. A trailing sequence that is a correct beginning
// of a longer one (a lead byte and only trail bytes, fewer than it announces)
// is left out, since the next piece may complete it. nullopt when the bytes
// cannot be the beginning of valid UTF-8.
std::optional<size_t> validPrefixLength(const uint8_t* bytes, size_t length);

// validPrefixLength for text checked as it arrives, each byte once: every
// piece continues the one before, so a sequence may be split anywhere, and
// after each piece the answer is validPrefixLength's over all bytes so far.
// A trailing sequence of the right shape (a lead byte and fewer trail bytes
// than it announces) waits for more even when it is already malformed; it is
// refused once it reaches the announced length or meets a non-trail byte.
class StreamValidator {
public:
    // False once the bytes so far cannot begin valid UTF-8 (and from then on).
    bool append(const uint8_t* bytes, size_t length);
    // True when the bytes so far are valid UTF-8 ending on a whole character.
    bool isComplete() const { return !_failed && _trailBytesDue == 0; }
    void reset() { *this = StreamValidator(); }

private:
    bool startSequence(uint8_t lead);
    bool continueSequence(uint8_t byte);

    uint8_t _trailBytesDue = 0;
    // The range the next trail byte must be in for a well-formed sequence.
    uint8_t _low = 0x80, _high = 0xBF;
    bool _malformed = false;
    bool _failed = false;
};

// The text when the bytes are valid UTF-8 (NSString initWithBytes:encoding:).
std::optional<std::string> decode(const uint8_t* bytes, size_t length);

// The code points of valid UTF-8 (a string's UTF-32 form); nullopt when the
// bytes are not valid UTF-8.
std::optional<std::u32string> codePoints(const uint8_t* bytes, size_t length);
inline std::optional<std::u32string> codePoints(std::string_view text) {
    return codePoints(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

}  // namespace ns::utf8
