#pragma once
// Text helpers shared by the JSON and property-list readers and writers.

#include <cstddef>
#include <string>
#include <string_view>

namespace ns {

// Length of the well-formed UTF-8 sequence at s[i] (1 to 4), or 0 when the
// bytes there are not one (overlong forms, surrogates and code points above
// U+10FFFF count as malformed).
size_t utf8SequenceLength(std::string_view s, size_t i);

// Whether every byte of `s` belongs to a well-formed sequence.
bool isValidUTF8(std::string_view s);

// A random (version 4) UUID in upper-case text, as NSUUID prints it.
std::string newUUIDString();

}  // namespace ns
