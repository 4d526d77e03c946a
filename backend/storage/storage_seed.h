#pragma once
// The sample photos of a seeded data dir: drawn as JPEGs (libjpeg-turbo) when
// the storage service first starts on it, so no image is kept in the source
// tree.

#include <cstdint>
#include <filesystem>
#include <string>

namespace backend::storage {

class Store;

// The sample file a seeded data dir carries (storage_service.h gives its form).
inline constexpr const char* kSeedFile = "storage.json";

// A width x height JPEG at `quality` (1-100): a soft gradient with a disc,
// coloured by `seed`, or with `noise` random pixels, which hardly compress.
// The same arguments give the same bytes. Throws std::runtime_error.
std::string drawJpeg(int width, int height, uint32_t seed, bool noise, int quality);

// Imports <dataDir>/storage.json into the store once (a marker in
// <dataDir>/storage remembers it, so objects deleted later stay deleted):
// its buckets' settings and its photos. Throws std::runtime_error when the
// file is not of that form.
void seedStorage(Store& store, const std::filesystem::path& dataDir);

}  // namespace backend::storage
