#include "backend/messaging/push_gateway_store.h"

#include <sqlite3.h>

#include <stdexcept>

#include "backend/core/sqlite_store.h"
#include "platform/crypto.h"

namespace backend::pushgw {

namespace {

// The mark, in the meta table, of the old file's devices brought in.
constexpr const char* kImportedMark = "importedJsonFile";

bool knownToken(sqlite3* db, const std::string& token) {
    SqliteStatement s(db, "SELECT 1 FROM devices WHERE token = ?1");
    return s.bind(1, token).step();
}

}  // namespace

Store::Store(const std::filesystem::path& file) {
    db_ = openSqliteFile(file, "the push gateway's store");
    try {
        sqliteExec(db_, "PRAGMA journal_mode=WAL");
        // An installation is looked up by its two identifiers; a file kept
        // before this store may hold one twice, and the lowest token wins
        // as it did there.
        sqliteExec(db_, R"(CREATE TABLE IF NOT EXISTS devices(
                             token TEXT PRIMARY KEY,
                             bundle_id TEXT NOT NULL,
                             device_id TEXT NOT NULL,
                             environment TEXT NOT NULL))");
        sqliteExec(db_, "CREATE INDEX IF NOT EXISTS devices_by_installation ON devices(bundle_id, device_id, token)");
        sqliteExec(db_, R"(CREATE TABLE IF NOT EXISTS messages(
                             id INTEGER PRIMARY KEY,
                             token TEXT NOT NULL,
                             payload TEXT NOT NULL))");
        sqliteExec(db_, "CREATE INDEX IF NOT EXISTS messages_of_device ON messages(token, id)");
        sqliteExec(db_, "CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value TEXT NOT NULL)");
    } catch (const std::exception& e) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot set up the push gateway's store " + file.string() + ": " + e.what());
    }
}

Store::~Store() { sqlite3_close(db_); }

std::string Store::registerDevice(const std::string& bundleId, const std::string& deviceId,
                                  const std::string& environment) {
    std::lock_guard lock(mutex_);
    SqliteTransaction transaction(db_);
    SqliteStatement known(db_, R"(SELECT token, environment FROM devices WHERE bundle_id = ?1 AND device_id = ?2
                                    ORDER BY token LIMIT 1)");
    std::string token;
    if (known.bind(1, bundleId).bind(2, deviceId).step()) {
        token = known.text(0);
        if (known.text(1) != environment) {
            SqliteStatement(db_, "UPDATE devices SET environment = ?2 WHERE token = ?1")
                .bind(1, token)
                .bind(2, environment)
                .run();
        }
    } else {
        while (true) {
            token = ns::crypto::hex(ns::crypto::randomBytes(32));
            SqliteStatement insert(db_, R"(INSERT OR IGNORE INTO devices(token, bundle_id, device_id, environment)
                                             VALUES(?1, ?2, ?3, ?4))");
            insert.bind(1, token).bind(2, bundleId).bind(3, deviceId).bind(4, environment).run();
            if (insert.changes() == 1) break;
        }
    }
    transaction.commit();
    return token;
}

std::optional<std::vector<std::string>> Store::takeMessages(const std::string& token) {
    std::lock_guard lock(mutex_);
    if (!knownToken(db_, token)) return std::nullopt;
    std::vector<std::string> payloads;
    int64_t last = 0;
    {
        SqliteStatement queued(db_, "SELECT id, payload FROM messages WHERE token = ?1 ORDER BY id");
        for (queued.bind(1, token); queued.step();) {
            last = queued.integer(0);
            payloads.push_back(queued.text(1));
        }
    }
    // An empty queue writes nothing; a fetch is mostly that.
    if (!payloads.empty()) {
        SqliteStatement(db_, "DELETE FROM messages WHERE token = ?1 AND id <= ?2").bind(1, token).bind(2, last).run();
    }
    return payloads;
}

std::optional<std::size_t> Store::enqueue(const std::string& token, const std::string& payload,
                                          std::size_t maxQueued) {
    std::lock_guard lock(mutex_);
    SqliteTransaction transaction(db_);
    if (!knownToken(db_, token)) return std::nullopt;
    SqliteStatement(db_, "INSERT INTO messages(token, payload) VALUES(?1, ?2)").bind(1, token).bind(2, payload).run();
    // The newest `maxQueued` stay.
    SqliteStatement(db_, R"(DELETE FROM messages WHERE token = ?1 AND id <= (
                              SELECT id FROM messages WHERE token = ?1 ORDER BY id DESC LIMIT 1 OFFSET ?2))")
        .bind(1, token)
        .bind(2, int64_t(maxQueued))
        .run();
    SqliteStatement count(db_, "SELECT COUNT(*) FROM messages WHERE token = ?1");
    count.bind(1, token).step();
    const auto queued = std::size_t(count.integer(0));
    transaction.commit();
    return queued;
}

std::vector<ListedDevice> Store::devices() {
    std::lock_guard lock(mutex_);
    SqliteStatement s(db_, R"(SELECT token, bundle_id, device_id, environment,
                                     (SELECT COUNT(*) FROM messages WHERE messages.token = devices.token)
                                FROM devices ORDER BY token)");
    std::vector<ListedDevice> out;
    while (s.step()) {
        out.push_back(ListedDevice{Device{s.text(0), s.text(1), s.text(2), s.text(3)}, std::size_t(s.integer(4))});
    }
    return out;
}

bool Store::importedOldFile() {
    std::lock_guard lock(mutex_);
    SqliteStatement s(db_, "SELECT 1 FROM meta WHERE name = ?1");
    return s.bind(1, std::string(kImportedMark)).step();
}

void Store::importOldFile(const std::vector<SavedDevice>& devices) {
    std::lock_guard lock(mutex_);
    SqliteTransaction transaction(db_);
    for (const auto& [device, queue] : devices) {
        SqliteStatement(db_, "DELETE FROM messages WHERE token = ?1").bind(1, device.token).run();
        SqliteStatement(db_, R"(INSERT OR REPLACE INTO devices(token, bundle_id, device_id, environment)
                                  VALUES(?1, ?2, ?3, ?4))")
            .bind(1, device.token)
            .bind(2, device.bundleId)
            .bind(3, device.deviceId)
            .bind(4, device.environment)
            .run();
        for (const auto& payload : queue) {
            SqliteStatement(db_, "INSERT INTO messages(token, payload) VALUES(?1, ?2)")
                .bind(1, device.token)
                .bind(2, payload)
                .run();
        }
    }
    SqliteStatement(db_, "INSERT OR REPLACE INTO meta(name, value) VALUES(?1, '1')")
        .bind(1, std::string(kImportedMark))
        .run();
    transaction.commit();
}

}  // namespace backend::pushgw
