#pragma once
// The push gateway's devices and their queued payloads, in one SQLite file
// (<data dir>/messaging/push_gateway.sqlite). Every request touches only
// the rows of its own device through an index, so a registration or a fetch
// costs the same with ten devices as with a hundred thousand; each change is
// committed before the call returns, so what a caller was told is kept
// survives the process being killed. Payloads are kept as their JSON text.
// Thread-safe (one connection, serialised).

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace backend::pushgw {

struct Device {
    std::string token;  // 64 lower-case hex digits
    std::string bundleId;
    std::string deviceId;
    std::string environment;
};

struct ListedDevice {
    Device device;
    std::size_t queued = 0;
};

// A device of the file kept before this store, with its payloads' JSON
// text, oldest first.
struct SavedDevice {
    Device device;
    std::vector<std::string> queue;
};

class Store {
public:
    explicit Store(const std::filesystem::path& file);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // The token of the installation (bundleId, deviceId), its environment
    // now `environment`; a new random one for an installation not seen.
    std::string registerDevice(const std::string& bundleId, const std::string& deviceId,
                               const std::string& environment);
    // The device's payloads, oldest first, taken from its queue; nullopt for
    // an unknown token.
    std::optional<std::vector<std::string>> takeMessages(const std::string& token);
    // Queues a payload, dropping the oldest past `maxQueued`; the queue's
    // length then, or nullopt for an unknown token.
    std::optional<std::size_t> enqueue(const std::string& token, const std::string& payload, std::size_t maxQueued);
    // Every device with its queue's length, by token.
    std::vector<ListedDevice> devices();

    // Whether the devices of the file kept before this store were brought in.
    bool importedOldFile();
    // Brings those devices in with their queues (a token seen again replaces
    // the device before it) and marks them brought in, all in one
    // transaction.
    void importOldFile(const std::vector<SavedDevice>& devices);

private:
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

}  // namespace backend::pushgw
