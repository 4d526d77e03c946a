#pragma once
// The measurement service's tables in one SQLite file
// (<data dir>/analytics/measurement.sqlite): the bundles uploaded, grouped
// by the batch they came in, the count of bundles dropped as duplicates, and
// each app's current configuration with the time it was set. Bundles and
// configurations are kept as encoded messages. Thread-safe (one connection,
// serialised).

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace backend::measurement {

// One bundle as it arrived, with what identifies it across deliveries.
struct Bundle {
    std::optional<std::string> appInstanceId;
    std::optional<int64_t> bundleIndex;
    std::string bytes;  // the encoded MeasurementBundle
};

struct StoredBatch {
    int64_t id = 0;
    int64_t receivedMs = 0;
    std::vector<std::string> bundles;  // encoded, in the order they came
};

struct StoredConfig {
    std::string bytes;         // the encoded MeasurementConfig, as set
    int64_t lastModified = 0;  // seconds since 1970
};

class Store {
public:
    explicit Store(const std::filesystem::path& file);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Stores the bundles not stored before (a bundle with both an app
    // instance id and an index is the same bundle as any other with both
    // equal, in this batch or an earlier one) as one batch, and counts the
    // others as duplicates. Returns how many were duplicates.
    int addBatch(const std::vector<Bundle>& bundles, int64_t receivedMs);
    // Oldest first.
    std::vector<StoredBatch> batches();
    int64_t duplicates();
    // Forgets every batch and the duplicate count.
    void clearBatches();

    std::optional<StoredConfig> config(const std::string& appId);
    // Replaces the app's configuration. Without `lastModified` it is `now`,
    // or one second past the previous value when `now` is not later, so a
    // change always shows. Returns the time kept.
    int64_t setConfig(const std::string& appId, const std::string& bytes, std::optional<int64_t> lastModified,
                      int64_t now);
    // False when the app had none.
    bool removeConfig(const std::string& appId);

private:
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

}  // namespace backend::measurement
