#pragma once
// Whole files read and written for the codecs (property-list files). The
// file system stands above the values and codecs, with the sandbox: it
// installs its file manager here while the program loads, so a codec's file
// goes through the same reads, atomic replacement, kept attributes and
// NSCocoaErrorDomain file errors (path in kFilePathErrorKey) as every other
// file the app touches. Any thread.

#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/value.h"

namespace ns {

struct WholeFileStore {
    std::optional<Data> (*read)(const std::string& path, ErrorRef* error) = nullptr;
    // Atomic; `permissions` is the mode of a newly created file.
    bool (*write)(const std::string& path, const Data& data, ErrorRef* error, int permissions) = nullptr;
};

// The last store installed is the one used.
void installWholeFileStore(WholeFileStore store);

// Both raise NSInternalInconsistencyException in a program that links no file
// system (nothing installed a store).
std::optional<Data> readWholeFile(const std::string& path, ErrorRef* error);
bool writeWholeFile(const std::string& path, const Data& data, ErrorRef* error, int permissions);

}  // namespace ns
