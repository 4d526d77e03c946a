#pragma once
// The devices the check-in service has issued and the registration tokens
// the registration service keeps, in one SQLite file of the data dir
// (<data dir>/iid/iid.sqlite). Device ids and secrets are random numbers
// below 2^63, never zero. Thread-safe (one connection, serialised).

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace backend {

class Context;

namespace iid {

struct Device {
    uint64_t id = 0;
    uint64_t secret = 0;
    std::string digest;
    int64_t checkinMs = 0;
};

// One registration: a token per (device, app identity, sender, scope).
struct Registration {
    uint64_t deviceId = 0;
    std::string appIdentity;  // the "appid" derived from the key
    std::string sender;
    std::string scope;
    std::string token;
    std::string bundle;     // the app's bundle identifier
    std::string apnsToken;  // "p_..." / "s_..." or empty
    std::string appId;      // the "vlp_app_id" option, or empty
    int64_t createdMs = 0;
};

class Store {
public:
    explicit Store(const std::filesystem::path& file);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // A new device with a fresh id, secret and digest, checked in at `nowMs`.
    Device createDevice(int64_t nowMs);
    std::optional<Device> device(uint64_t id);
    // A new digest and check-in time for a known device.
    Device renewDevice(const Device& device, int64_t nowMs);
    std::vector<Device> devices();

    // Adds or replaces the registration of its (device, identity, sender, scope).
    void saveRegistration(const Registration& registration);
    // Removes the device's registrations; an empty identity, sender or scope
    // matches any. Returns how many went.
    int deleteRegistrations(uint64_t deviceId, const std::string& appIdentity, const std::string& sender,
                            const std::string& scope);
    // All registrations, or those of one device.
    std::vector<Registration> registrations(std::optional<uint64_t> deviceId = std::nullopt);

    // The IID auth token the service hands a device for one sender (made on
    // first use), and the device a token belongs to.
    std::string authTokenFor(uint64_t deviceId, const std::string& sender);
    std::optional<std::pair<uint64_t, std::string>> authTokenOwner(const std::string& token);

private:
    class Statement;
    void exec(const char* sql);
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
};

// The store of this back end's data dir, opened on first use.
std::shared_ptr<Store> store(Context& context);

// A device id or secret as the protocols write it: decimal digits without a
// leading zero, below 2^64; nullopt for anything else.
std::optional<uint64_t> decimalId(const std::string& text);

// Wall-clock milliseconds since 1970.
int64_t nowMillis();
// A random number in [1, 2^63).
uint64_t randomId();
// Random base64url text of `length` characters.
std::string randomText(size_t length);

}  // namespace iid
}  // namespace backend
