#include "backend/instanceid/iid_store.h"

#include <openssl/rand.h>
#include <sqlite3.h>

#include <charconv>
#include <chrono>
#include <stdexcept>

#include "backend/core/service.h"
#include "backend/core/sqlite_store.h"
#include "platform/crypto.h"

namespace backend::iid {

namespace fs = std::filesystem;

namespace {

std::string randomBytes(size_t count) {
    std::string bytes(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), int(count)) != 1) {
        throw std::runtime_error("the random-number generator failed");
    }
    return bytes;
}

}  // namespace

std::optional<uint64_t> decimalId(const std::string& text) {
    uint64_t value = 0;
    if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

int64_t nowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

uint64_t randomId() {
    while (true) {
        uint64_t value = 0;
        for (unsigned char c : randomBytes(8)) value = (value << 8) | c;
        value &= 0x7fffffffffffffffULL;
        if (value != 0) return value;
    }
}

std::string randomText(size_t length) {
    // Whole groups of three bytes: every character carries six random bits.
    std::string text = ns::crypto::base64UrlEncode(ns::crypto::toData(randomBytes((length + 3) / 4 * 3)));
    text.resize(length);
    return text;
}

// 64-bit ids are kept as SQLite integers: they are below 2^63 by
// construction.
class Store::Statement : public SqliteStatement {
public:
    using SqliteStatement::SqliteStatement;
    using SqliteStatement::bind;
    Statement& bind(int index, uint64_t value) {
        SqliteStatement::bind(index, int64_t(value));
        return *this;
    }
    Statement& bind(int index, const std::string& text) {
        SqliteStatement::bind(index, text);
        return *this;
    }
    Statement& bind(int index, int64_t value) {
        SqliteStatement::bind(index, value);
        return *this;
    }
};

Store::Store(const fs::path& file) {
    db_ = openSqliteFile(file, "the instance-identity store");
    try {
        exec("PRAGMA journal_mode=WAL");
        exec(R"(CREATE TABLE IF NOT EXISTS devices(
                  id INTEGER PRIMARY KEY,
                  secret INTEGER NOT NULL,
                  digest TEXT NOT NULL,
                  checkin_ms INTEGER NOT NULL))");
        exec(R"(CREATE TABLE IF NOT EXISTS registrations(
                  device_id INTEGER NOT NULL,
                  app_identity TEXT NOT NULL,
                  sender TEXT NOT NULL,
                  scope TEXT NOT NULL,
                  token TEXT NOT NULL,
                  bundle TEXT NOT NULL,
                  apns_token TEXT NOT NULL,
                  app_id TEXT NOT NULL,
                  created_ms INTEGER NOT NULL,
                  PRIMARY KEY(device_id, app_identity, sender, scope)))");
        exec(R"(CREATE TABLE IF NOT EXISTS auth_tokens(
                  token TEXT PRIMARY KEY,
                  device_id INTEGER NOT NULL,
                  sender TEXT NOT NULL,
                  UNIQUE(device_id, sender)))");
    } catch (const std::exception& e) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot set up the instance-identity store " + file.string() + ": " + e.what());
    }
}

Store::~Store() { sqlite3_close(db_); }

void Store::exec(const char* sql) { sqliteExec(db_, sql); }

Device Store::createDevice(int64_t nowMs) {
    std::lock_guard lock(mutex_);
    while (true) {
        Device device{randomId(), randomId(), randomText(22), nowMs};
        Statement s(db_, "INSERT OR IGNORE INTO devices(id, secret, digest, checkin_ms) VALUES(?1, ?2, ?3, ?4)");
        s.bind(1, device.id).bind(2, device.secret).bind(3, device.digest).bind(4, nowMs).step();
        if (s.changes() == 1) return device;
    }
}

std::optional<Device> Store::device(uint64_t id) {
    std::lock_guard lock(mutex_);
    Statement s(db_, "SELECT id, secret, digest, checkin_ms FROM devices WHERE id = ?1");
    s.bind(1, id);
    if (!s.step()) return std::nullopt;
    return Device{uint64_t(s.integer(0)), uint64_t(s.integer(1)), s.text(2), s.integer(3)};
}

Device Store::renewDevice(const Device& device, int64_t nowMs) {
    std::lock_guard lock(mutex_);
    Device renewed = device;
    renewed.digest = randomText(22);
    renewed.checkinMs = nowMs;
    Statement s(db_, "UPDATE devices SET digest = ?2, checkin_ms = ?3 WHERE id = ?1");
    s.bind(1, device.id).bind(2, renewed.digest).bind(3, nowMs).step();
    return renewed;
}

std::vector<Device> Store::devices() {
    std::lock_guard lock(mutex_);
    Statement s(db_, "SELECT id, secret, digest, checkin_ms FROM devices ORDER BY checkin_ms");
    std::vector<Device> out;
    while (s.step()) out.push_back(Device{uint64_t(s.integer(0)), uint64_t(s.integer(1)), s.text(2), s.integer(3)});
    return out;
}

void Store::saveRegistration(const Registration& r) {
    std::lock_guard lock(mutex_);
    Statement s(db_, R"(INSERT OR REPLACE INTO registrations(device_id, app_identity, sender, scope, token, bundle,
                          apns_token, app_id, created_ms) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9))");
    s.bind(1, r.deviceId).bind(2, r.appIdentity).bind(3, r.sender).bind(4, r.scope).bind(5, r.token);
    s.bind(6, r.bundle).bind(7, r.apnsToken).bind(8, r.appId).bind(9, r.createdMs).step();
}

int Store::deleteRegistrations(uint64_t deviceId, const std::string& appIdentity, const std::string& sender,
                               const std::string& scope) {
    std::lock_guard lock(mutex_);
    Statement s(db_, R"(DELETE FROM registrations WHERE device_id = ?1 AND (?2 = '' OR app_identity = ?2)
                          AND (?3 = '' OR sender = ?3) AND (?4 = '' OR scope = ?4))");
    s.bind(1, deviceId).bind(2, appIdentity).bind(3, sender).bind(4, scope).step();
    return s.changes();
}

std::vector<Registration> Store::registrations(std::optional<uint64_t> deviceId) {
    std::lock_guard lock(mutex_);
    Statement s(db_, R"(SELECT device_id, app_identity, sender, scope, token, bundle, apns_token, app_id, created_ms
                          FROM registrations WHERE ?1 = 0 OR device_id = ?2 ORDER BY created_ms, scope)");
    s.bind(1, int64_t(deviceId ? 1 : 0)).bind(2, deviceId.value_or(0));
    std::vector<Registration> out;
    while (s.step()) {
        out.push_back(Registration{uint64_t(s.integer(0)), s.text(1), s.text(2), s.text(3), s.text(4), s.text(5),
                                   s.text(6), s.text(7), s.integer(8)});
    }
    return out;
}

std::string Store::authTokenFor(uint64_t deviceId, const std::string& sender) {
    std::lock_guard lock(mutex_);
    {
        Statement s(db_, "SELECT token FROM auth_tokens WHERE device_id = ?1 AND sender = ?2");
        s.bind(1, deviceId).bind(2, sender);
        if (s.step()) return s.text(0);
    }
    const std::string token = randomText(43);
    Statement s(db_, "INSERT INTO auth_tokens(token, device_id, sender) VALUES(?1, ?2, ?3)");
    s.bind(1, token).bind(2, deviceId).bind(3, sender).step();
    return token;
}

std::optional<std::pair<uint64_t, std::string>> Store::authTokenOwner(const std::string& token) {
    std::lock_guard lock(mutex_);
    Statement s(db_, "SELECT device_id, sender FROM auth_tokens WHERE token = ?1");
    s.bind(1, token);
    if (!s.step()) return std::nullopt;
    return std::make_pair(uint64_t(s.integer(0)), s.text(1));
}

namespace {

struct StoreHolder {
    std::mutex mutex;
    std::shared_ptr<Store> store;
};

}  // namespace

std::shared_ptr<Store> store(Context& context) {
    auto holder = context.shared<StoreHolder>("iid.store");
    std::lock_guard lock(holder->mutex);
    if (!holder->store) holder->store = std::make_shared<Store>(context.dataDir() / "iid" / "iid.sqlite");
    return holder->store;
}

}  // namespace backend::iid
