#include "backend/analytics/measurement_store.h"

#include <sqlite3.h>

#include <stdexcept>

#include "backend/core/sqlite_store.h"

namespace backend::measurement {

namespace {

// Rolls back the transaction it began unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db) { sqliteExec(db_, "BEGIN IMMEDIATE"); }
    ~Transaction() {
        if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        sqliteExec(db_, "COMMIT");
        done_ = true;
    }

private:
    sqlite3* db_;
    bool done_ = false;
};

void addToCounter(sqlite3* db, const char* name, int64_t amount) {
    SqliteStatement s(db, R"(INSERT INTO counters(name, value) VALUES(?1, ?2)
                               ON CONFLICT(name) DO UPDATE SET value = value + ?2)");
    s.bind(1, std::string(name)).bind(2, amount).run();
}

}  // namespace

Store::Store(const std::filesystem::path& file) {
    db_ = openSqliteFile(file, "the measurement store");
    try {
        sqliteExec(db_, "PRAGMA journal_mode=WAL");
        sqliteExec(db_, R"(CREATE TABLE IF NOT EXISTS batches(
                             id INTEGER PRIMARY KEY AUTOINCREMENT,
                             received_ms INTEGER NOT NULL))");
        // SQLite counts NULLs as distinct in a unique key, so bundles
        // without an instance id or an index are never duplicates.
        sqliteExec(db_, R"(CREATE TABLE IF NOT EXISTS bundles(
                             id INTEGER PRIMARY KEY AUTOINCREMENT,
                             batch_id INTEGER NOT NULL,
                             app_instance_id TEXT,
                             bundle_index INTEGER,
                             bytes BLOB NOT NULL,
                             UNIQUE(app_instance_id, bundle_index)))");
        sqliteExec(db_, R"(CREATE TABLE IF NOT EXISTS counters(
                             name TEXT PRIMARY KEY,
                             value INTEGER NOT NULL))");
        sqliteExec(db_, R"(CREATE TABLE IF NOT EXISTS configs(
                             app_id TEXT PRIMARY KEY,
                             bytes BLOB NOT NULL,
                             last_modified INTEGER NOT NULL))");
    } catch (const std::exception& e) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot set up the measurement store " + file.string() + ": " + e.what());
    }
}

Store::~Store() { sqlite3_close(db_); }

int Store::addBatch(const std::vector<Bundle>& bundles, int64_t receivedMs) {
    std::lock_guard lock(mutex_);
    Transaction transaction(db_);
    SqliteStatement(db_, "INSERT INTO batches(received_ms) VALUES(?1)").bind(1, receivedMs).run();
    const int64_t batch = sqlite3_last_insert_rowid(db_);
    int duplicates = 0;
    for (const auto& bundle : bundles) {
        SqliteStatement s(db_, R"(INSERT OR IGNORE INTO bundles(batch_id, app_instance_id, bundle_index, bytes)
                                    VALUES(?1, ?2, ?3, ?4))");
        // Parameters left unbound are NULL.
        s.bind(1, batch).bindBlob(4, bundle.bytes);
        if (bundle.appInstanceId) s.bind(2, *bundle.appInstanceId);
        if (bundle.bundleIndex) s.bind(3, *bundle.bundleIndex);
        s.run();
        if (s.changes() == 0) ++duplicates;
    }
    if (duplicates == int(bundles.size())) {
        SqliteStatement(db_, "DELETE FROM batches WHERE id = ?1").bind(1, batch).run();
    }
    if (duplicates > 0) addToCounter(db_, "duplicates", duplicates);
    transaction.commit();
    return duplicates;
}

std::vector<StoredBatch> Store::batches() {
    std::lock_guard lock(mutex_);
    SqliteStatement s(db_, R"(SELECT batches.id, batches.received_ms, bundles.bytes FROM batches
                                JOIN bundles ON bundles.batch_id = batches.id ORDER BY batches.id, bundles.id)");
    std::vector<StoredBatch> out;
    while (s.step()) {
        if (out.empty() || out.back().id != s.integer(0)) out.push_back(StoredBatch{s.integer(0), s.integer(1), {}});
        out.back().bundles.push_back(s.blob(2));
    }
    return out;
}

int64_t Store::duplicates() {
    std::lock_guard lock(mutex_);
    SqliteStatement s(db_, "SELECT value FROM counters WHERE name = 'duplicates'");
    return s.step() ? s.integer(0) : 0;
}

void Store::clearBatches() {
    std::lock_guard lock(mutex_);
    Transaction transaction(db_);
    sqliteExec(db_, "DELETE FROM bundles");
    sqliteExec(db_, "DELETE FROM batches");
    sqliteExec(db_, "DELETE FROM counters WHERE name = 'duplicates'");
    transaction.commit();
}

std::optional<StoredConfig> Store::config(const std::string& appId) {
    std::lock_guard lock(mutex_);
    SqliteStatement s(db_, "SELECT bytes, last_modified FROM configs WHERE app_id = ?1");
    s.bind(1, appId);
    if (!s.step()) return std::nullopt;
    return StoredConfig{s.blob(0), s.integer(1)};
}

int64_t Store::setConfig(const std::string& appId, const std::string& bytes, std::optional<int64_t> lastModified,
                         int64_t now) {
    std::lock_guard lock(mutex_);
    Transaction transaction(db_);
    if (!lastModified) {
        lastModified = now;
        SqliteStatement s(db_, "SELECT last_modified FROM configs WHERE app_id = ?1");
        s.bind(1, appId);
        if (s.step() && s.integer(0) >= now) lastModified = s.integer(0) + 1;
    }
    SqliteStatement s(db_, "INSERT OR REPLACE INTO configs(app_id, bytes, last_modified) VALUES(?1, ?2, ?3)");
    s.bind(1, appId).bindBlob(2, bytes).bind(3, *lastModified).run();
    transaction.commit();
    return *lastModified;
}

bool Store::removeConfig(const std::string& appId) {
    std::lock_guard lock(mutex_);
    SqliteStatement s(db_, "DELETE FROM configs WHERE app_id = ?1");
    s.bind(1, appId).run();
    return s.changes() > 0;
}

}  // namespace backend::measurement
