#pragma once
// The measurement service's tables in one SQLite file
// (<data dir>/analytics/measurement.sqlite): the bundles uploaded, grouped
// by the batch they came in, with each batch's app and size; the counts of
// bundles dropped as duplicates and of batches dropped to keep an app,
// or the store, within its room; the bytes the batches hold; and each app's current configuration with the time it
// was set. Bundles and configurations are kept as encoded messages.
// Thread-safe (one connection, serialised).

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct sqlite3;

namespace backend::measurement {

// Bundle bytes one app may keep; past it its oldest batches go. Room for
// four of the largest batches an upload may bring.
inline constexpr int64_t kMaxStoredBytesPerApp = 64 * 1024 * 1024;
// Bundle bytes the whole store keeps unless told otherwise; past it the
// oldest batches go whichever app sent them, so uploads under ever new app
// ids cannot fill the disk.
inline constexpr int64_t kMaxStoredBytes = 256 * 1024 * 1024;

// One bundle as it arrived, with what tells it from every other.
struct Bundle {
    std::string digest;      // bundleDigest() (measurement_wire.h)
    std::string_view bytes;  // the encoded MeasurementBundle
};

struct BatchHead {
    int64_t id = 0;
    int64_t receivedMs = 0;
};

// What storing a batch did besides storing it.
struct Added {
    int duplicates = 0;
    int droppedBatches = 0;
};

struct StoredConfig {
    std::string bytes;         // the encoded MeasurementConfig, as set
    int64_t lastModified = 0;  // seconds since 1970
};

class Store {
public:
    // Keeps at most `maxStoredBytes` of bundles over all apps (and never
    // more than kMaxStoredBytesPerApp of one).
    explicit Store(const std::filesystem::path& file, int64_t maxStoredBytes = kMaxStoredBytes);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Stores the bundles of `appId` not stored before (a bundle is the same
    // as any other of the same digest, in this batch or an earlier one) as
    // one batch, and counts the others as duplicates. Room is made first:
    // the app's oldest batches go while it would keep more than
    // kMaxStoredBytesPerApp, then the oldest of any app while the store
    // would keep more than its bound; the new batch itself always stays.
    Added addBatch(const std::string& appId, const std::vector<Bundle>& bundles, int64_t receivedMs);
    // Up to `limit` batches with an id past `after`, oldest first.
    std::vector<BatchHead> batchPage(int64_t after, int limit);
    // Hands `each` the encoded bundles of a batch in the order they came.
    void forEachBundle(int64_t batch, const std::function<void(const std::string&)>& each);
    int64_t duplicates();
    int64_t droppedBatches();
    // Forgets every batch and both counts.
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
    void createTables();
    // Brings a file whose bundles were told apart by instance id and index
    // to digests.
    void migrate();
    int64_t counter(const char* name);
    // Drops the oldest batches, of `*appId` or (null) of any app, while
    // they hold more than `room` less `incoming` bytes; returns how many.
    int dropOldest(const std::string* appId, int64_t room, int64_t incoming);
    // The bundles of `bundles` not stored yet, and their bytes.
    int64_t newBytes(const std::vector<Bundle>& bundles);

    const int64_t maxStoredBytes_;
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

}  // namespace backend::measurement
