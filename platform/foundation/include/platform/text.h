#pragma once
// Text helpers (UTF-8 checks are in platform/utf8.h).

#include <cstddef>
#include <string>
#include <string_view>

namespace ns {

// A random (version 4) UUID in upper-case text, as NSUUID prints it.
std::string newUUIDString();
// Whether `text` is a UUID as text: 32 hex digits of either case in groups
// of 8-4-4-4-12 joined by hyphens, as NSUUID reads it.
bool isUUIDString(std::string_view text);

// Whether two texts are equal with ASCII letters compared without case, as
// HTTP compares header names, tokens and host names. (Boost.Beast's iequals
// reads a byte past both texts when they differ only in the case of their
// last letter.)
bool equalsIgnoringASCIICase(std::string_view a, std::string_view b);

}  // namespace ns
