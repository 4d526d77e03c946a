#pragma once
// The type registry's file-extension to MIME type look-up (MobileCoreServices'
// preferred MIME type of the uniform type an extension names).
//
// Answers come from the system's /etc/mime.types, read once; a small table of
// common types stands in where that file is missing or silent. Extensions
// compare case-insensitively and may be given with or without the dot.
// Thread-safe.

#include <optional>
#include <string>
#include <string_view>

namespace ns {

// nullopt for an empty extension or one the registry does not know.
std::optional<std::string> mimeTypeForExtension(std::string_view extension);

}  // namespace ns
