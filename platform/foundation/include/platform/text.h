#pragma once
// Text helpers (UTF-8 checks are in platform/utf8.h).

#include <cstddef>
#include <string>
#include <string_view>

namespace ns {

// A random (version 4) UUID in upper-case text, as NSUUID prints it.
std::string newUUIDString();

// Whether two texts are equal with ASCII letters compared without case, as
// HTTP compares header names, tokens and host names. (Boost.Beast's iequals
// reads a byte past both texts when they differ only in the case of their
// last letter.)
bool equalsIgnoringASCIICase(std::string_view a, std::string_view b);

}  // namespace ns
