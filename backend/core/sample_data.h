#pragma once
// Seeding a fresh data dir with the chain's sample stores and products.

#include <filesystem>
#include <string>

namespace backend {

// Name of the marker the first seeding leaves in the data dir.
inline constexpr const char* kSeedMarker = ".seeded";

// Copies every file of `sampleDir` into `dataDir` unless the data dir was
// seeded before (so data changed or deleted since is never brought back).
// Files already present are never overwritten. Returns true when it copied.
// Throws std::runtime_error when the sample data cannot be read or copied.
bool seedDataDir(const std::filesystem::path& dataDir, const std::filesystem::path& sampleDir);

}  // namespace backend
