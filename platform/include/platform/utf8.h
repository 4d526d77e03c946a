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

// Text that may stop in the middle of a character: the length of the part
// known to be well formed. A trailing sequence that is a correct beginning
// of a longer one (a lead byte and only trail bytes, fewer than it announces)
// is left out, since the next piece may complete it. nullopt when the bytes
// cannot be the beginning of valid UTF-8.
std::optional<size_t> validPrefixLength(const uint8_t* bytes, size_t length);

// The text when the bytes are valid UTF-8 (NSString initWithBytes:encoding:).
std::optional<std::string> decode(const uint8_t* bytes, size_t length);

}  // namespace ns::utf8
