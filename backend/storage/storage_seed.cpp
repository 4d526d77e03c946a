#include "backend/storage/storage_seed.h"

#include <turbojpeg.h>

#include <cmath>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <stdexcept>
#include <vector>

#include "backend/core/http_util.h"
#include "backend/storage/storage_store.h"

namespace backend::storage {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr const char* kSeedMarker = ".seed-imported";
// The seeded database, whose products get photos.
constexpr const char* kProductsFile = "database.json";
constexpr int kMaxSide = 4096;

}  // namespace

std::string drawJpeg(int width, int height, uint32_t seed, bool noise, int quality) {
    if (width < 1 || height < 1 || width > kMaxSide || height > kMaxSide || quality < 1 || quality > 100) {
        throw std::runtime_error("a photo must be 1 to " + std::to_string(kMaxSide) + " pixels a side, quality 1-100");
    }
    std::mt19937 random(seed);
    std::vector<unsigned char> pixels(std::size_t(width) * std::size_t(height) * 3);
    if (noise) {
        for (auto& p : pixels) p = static_cast<unsigned char>(random() & 0xff);
    } else {
        const int base[3] = {int(random() % 200), int(random() % 200), int(random() % 200)};
        const double cx = width * (0.3 + 0.4 * (random() % 100) / 100.0), cy = height / 2.0;
        const double radius = std::min(width, height) / 3.0;
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                unsigned char* p = &pixels[(std::size_t(y) * std::size_t(width) + std::size_t(x)) * 3];
                const bool inDisc = std::hypot(x - cx, y - cy) < radius;
                for (int c = 0; c < 3; ++c) {
                    const int shade = base[c] + (55 * (x + y)) / (width + height);
                    p[c] = static_cast<unsigned char>(inDisc ? 255 - shade : shade);
                }
            }
        }
    }
    std::unique_ptr<void, int (*)(tjhandle)> handle(tjInitCompress(), tjDestroy);
    if (!handle) throw std::runtime_error("cannot start the JPEG encoder");
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    if (tjCompress2(handle.get(), pixels.data(), width, 0, height, TJPF_RGB, &jpeg, &size,
                    noise ? TJSAMP_444 : TJSAMP_420, quality, TJFLAG_ACCURATEDCT) != 0) {
        tjFree(jpeg);
        throw std::runtime_error(std::string("cannot encode a JPEG: ") + tjGetErrorStr2(handle.get()));
    }
    std::string out(reinterpret_cast<const char*>(jpeg), size);
    tjFree(jpeg);
    return out;
}

namespace {

// FNV-1a: a stable drawing seed for a product code.
uint32_t seedOf(const std::string& text) {
    uint32_t hash = 2166136261u;
    for (unsigned char c : text) hash = (hash ^ c) * 16777619u;
    return hash;
}

void putPhoto(Store& store, const std::string& bucket, const std::string& name, const std::string& bytes) {
    if (!isValidBucketName(bucket) || !isValidObjectName(name)) {
        throw std::runtime_error("bad photo name " + bucket + "/" + name);
    }
    MetadataPatch metadata;
    metadata.fields["contentType"] = "image/jpeg";
    if (!store.put(bucket, name, metadata, bytes).object) {
        throw std::runtime_error("the bucket " + bucket + " has no room for " + name);
    }
}

// A photo for each product of the seeded database but one, one of them large.
void putProductPhotos(Store& store, const json& settings, const fs::path& dataDir) {
    const std::string bucket = settings.at("bucket");
    auto text = readFile(dataDir / kProductsFile);
    const json database = text ? json::parse(*text, nullptr, false) : json();
    if (!database.is_object() || !database.contains("Productos") || !database["Productos"].is_object()) return;
    // Each is a list of codes, the first one the database has being used, so
    // the sample data may change its products without losing either case.
    auto firstPresent = [&](const char* key) {
        for (const auto& code : settings.value(key, json::array())) {
            if (database["Productos"].contains(code.get<std::string>())) return code.get<std::string>();
        }
        return std::string();
    };
    const std::string large = firstPresent("largePhoto"), without = firstPresent("withoutPhoto");
    for (const auto& [code, product] : database["Productos"].items()) {
        if (code == without) continue;
        putPhoto(store, bucket, "products/" + code + ".jpg",
                 code == large ? drawJpeg(1000, 750, seedOf(code), true, 95) : drawJpeg(480, 360, seedOf(code), false, 85));
    }
}

}  // namespace

void seedStorage(Store& store, const fs::path& dataDir) {
    const fs::path file = dataDir / kSeedFile, marker = dataDir / "storage" / kSeedMarker;
    if (!fs::exists(file) || fs::exists(marker)) return;
    auto text = readFile(file);
    const json seed = text ? json::parse(*text, nullptr, false) : json();
    if (!seed.is_object()) throw std::runtime_error("cannot read " + file.string());
    try {
        const json buckets = seed.value("buckets", json::object()), photos = seed.value("photos", json::array());
        for (const auto& [bucket, settings] : buckets.items()) {
            BucketSettings b;
            if (settings.contains("appId")) b.appId = settings["appId"].get<std::string>();
            if (settings.contains("quotaBytes")) b.quotaBytes = settings["quotaBytes"].get<int64_t>();
            store.setBucket(bucket, b);
        }
        if (seed.contains("productPhotos")) putProductPhotos(store, seed["productPhotos"], dataDir);
        for (const auto& photo : photos) {
            putPhoto(store, photo.at("bucket"), photo.at("name"),
                     drawJpeg(photo.at("width"), photo.at("height"), photo.at("seed"), photo.value("noise", false),
                              photo.value("quality", 85)));
        }
    } catch (const json::exception& e) {
        throw std::runtime_error("cannot read " + file.string() + ": " + e.what());
    }
    writeFileAtomic(marker, "{}\n");
}

}  // namespace backend::storage
