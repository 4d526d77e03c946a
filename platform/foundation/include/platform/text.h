#pragma once
// Text helpers (UTF-8 checks are in platform/utf8.h).

#include <cstddef>
#include <string>
#include <string_view>

namespace ns {

// A random (version 4) UUID in upper-case text, as NSUUID prints it.
std::string newUUIDString();

}  // namespace ns
