#include "backend/analytics/measurement_store.h"

#include <sqlite3.h>

#include <set>
#include <stdexcept>

#include "backend/analytics/measurement_wire.h"
#include "backend/core/sqlite_store.h"

namespace backend::measurement {

namespace {

void addToCounter(sqlite3* db, const char* name, int64_t amount) {
    SqliteStatement s(db, R"(INSERT INTO counters(name, value) VALUES(?1, ?2)
                               ON CONFLICT(name) DO UPDATE SET value = value + ?2)");
    s.bind(1, std::string(name)).bind(2, amount).run();
}

int64_t readCounter(sqlite3* db, const char* name) {
    SqliteStatement s(db, "SELECT value FROM counters WHERE name = ?1");
    s.bind(1, std::string(name));
    return s.step() ? s.integer(0) : 0;
}

// The bytes of bundles the batches hold, kept beside them so that making
// room does not sum every batch on each upload.
constexpr const char* kStoredBytes = "storedBytes";

}  // namespace

Store::Store(const std::filesystem::path& file, int64_t maxStoredBytes) : maxStoredBytes_(maxStoredBytes) {
    db_ = openSqliteFile(file, "the measurement store");
    try {
        sqliteExec(db_, "PRAGMA journal_mode=WAL");
        // The log of a large batch would otherwise keep its size on disk.
        sqliteExec(db_, "PRAGMA journal_size_limit=67108864");
        migrate();
        createTables();
        // Counted afresh: a file from before the count, or one changed by
        // hand, starts right.
        sqliteExec(db_, R"(INSERT OR REPLACE INTO counters(name, value)
                             SELECT 'storedBytes', COALESCE(SUM(size), 0) FROM batches)");
    } catch (const std::exception& e) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot set up the measurement store " + file.string() + ": " + e.what());
    }
}

Store::~Store() { sqlite3_close(db_); }

void Store::createTables() {
    sqliteExec(db_, R"(CREATE TABLE IF NOT EXISTS batches(
                         id INTEGER PRIMARY KEY AUTOINCREMENT,
                         received_ms INTEGER NOT NULL,
                         app_id TEXT,
                         size INTEGER NOT NULL DEFAULT 0))");
    sqliteExec(db_, "CREATE INDEX IF NOT EXISTS batches_of_app ON batches(app_id, id)");
    sqliteExec(db_, R"(CREATE TABLE IF NOT EXISTS bundles(
                         id INTEGER PRIMARY KEY AUTOINCREMENT,
                         batch_id INTEGER NOT NULL,
                         digest BLOB UNIQUE,
                         bytes BLOB NOT NULL))");
    sqliteExec(db_, "CREATE INDEX IF NOT EXISTS bundles_of_batch ON bundles(batch_id, id)");
    sqliteExec(db_, R"(CREATE TABLE IF NOT EXISTS counters(
                         name TEXT PRIMARY KEY,
                         value INTEGER NOT NULL))");
    sqliteExec(db_, R"(CREATE TABLE IF NOT EXISTS configs(
                         app_id TEXT PRIMARY KEY,
                         bytes BLOB NOT NULL,
                         last_modified INTEGER NOT NULL))");
}

void Store::migrate() {
    bool old = false;
    for (SqliteStatement s(db_, "PRAGMA table_info(bundles)"); s.step();) old = old || s.text(1) == "bundle_index";
    if (!old) return;
    SqliteTransaction transaction(db_);
    sqliteExec(db_, "ALTER TABLE bundles RENAME TO bundles_before");
    sqliteExec(db_, "ALTER TABLE batches ADD COLUMN app_id TEXT");
    sqliteExec(db_, "ALTER TABLE batches ADD COLUMN size INTEGER NOT NULL DEFAULT 0");
    createTables();
    for (SqliteStatement s(db_, "SELECT id, batch_id, bytes FROM bundles_before ORDER BY id"); s.step();) {
        const std::string bytes = s.blob(2);
        qrvanalytics::MeasurementBundle bundle;
        // Stored only after it decoded, by this same class.
        if (!bundle.ParseFromString(bytes)) throw std::runtime_error("a stored bundle no longer decodes");
        SqliteStatement insert(db_, "INSERT OR IGNORE INTO bundles(id, batch_id, digest, bytes) VALUES(?1, ?2, ?3, ?4)");
        insert.bind(1, s.integer(0)).bind(2, s.integer(1)).bindBlob(4, bytes);
        insert.bindBlob(3, bundleDigest(bundle)).run();
        if (insert.changes() == 0) continue;
        SqliteStatement(db_, "UPDATE batches SET app_id = ?1, size = size + ?2 WHERE id = ?3")
            .bind(1, bundle.app_id())
            .bind(2, int64_t(bytes.size()))
            .bind(3, s.integer(1))
            .run();
    }
    sqliteExec(db_, "DROP TABLE bundles_before");
    sqliteExec(db_, "DELETE FROM batches WHERE id NOT IN (SELECT batch_id FROM bundles)");
    transaction.commit();
}

Added Store::addBatch(const std::string& appId, const std::vector<Bundle>& bundles, int64_t receivedMs) {
    std::lock_guard lock(mutex_);
    SqliteTransaction transaction(db_);
    Added added;
    // Room is made before the batch goes in, so it takes the pages the
    // dropped batches free and the file never holds a batch past the bound.
    if (const int64_t incoming = newBytes(bundles); incoming > 0) {
        added.droppedBatches = dropOldest(&appId, kMaxStoredBytesPerApp, incoming);
        added.droppedBatches += dropOldest(nullptr, maxStoredBytes_, incoming);
    }
    SqliteStatement(db_, "INSERT INTO batches(received_ms, app_id) VALUES(?1, ?2)")
        .bind(1, receivedMs)
        .bind(2, appId)
        .run();
    const int64_t batch = sqlite3_last_insert_rowid(db_);
    int64_t size = 0;
    for (const auto& bundle : bundles) {
        SqliteStatement s(db_, "INSERT OR IGNORE INTO bundles(batch_id, digest, bytes) VALUES(?1, ?2, ?3)");
        s.bind(1, batch).bindBlob(2, bundle.digest).bindBlob(3, bundle.bytes).run();
        if (s.changes() == 0) {
            ++added.duplicates;
        } else {
            size += int64_t(bundle.bytes.size());
        }
    }
    if (added.duplicates == int(bundles.size())) {
        SqliteStatement(db_, "DELETE FROM batches WHERE id = ?1").bind(1, batch).run();
    } else {
        SqliteStatement(db_, "UPDATE batches SET size = ?1 WHERE id = ?2").bind(1, size).bind(2, batch).run();
        addToCounter(db_, kStoredBytes, size);
    }
    if (added.duplicates > 0) addToCounter(db_, "duplicates", added.duplicates);
    if (added.droppedBatches > 0) addToCounter(db_, "droppedBatches", added.droppedBatches);
    transaction.commit();
    return added;
}

int64_t Store::newBytes(const std::vector<Bundle>& bundles) {
    std::set<std::string_view> seen;
    int64_t bytes = 0;
    for (const auto& bundle : bundles) {
        if (!seen.insert(bundle.digest).second) continue;
        SqliteStatement stored(db_, "SELECT 1 FROM bundles WHERE digest = ?1");
        if (!stored.bindBlob(1, bundle.digest).step()) bytes += int64_t(bundle.bytes.size());
    }
    return bytes;
}

int Store::dropOldest(const std::string* appId, int64_t room, int64_t incoming) {
    int64_t held = 0;
    if (appId) {
        SqliteStatement total(db_, "SELECT COALESCE(SUM(size), 0) FROM batches WHERE app_id = ?1");
        total.bind(1, *appId).step();
        held = total.integer(0);
    } else {
        held = readCounter(db_, kStoredBytes);
    }
    int dropped = 0;
    int64_t freed = 0;
    while (held + incoming > room) {
        SqliteStatement oldest(db_, appId ? "SELECT id, size FROM batches WHERE app_id = ?1 ORDER BY id LIMIT 1"
                                          : "SELECT id, size FROM batches ORDER BY id LIMIT 1");
        if (appId) oldest.bind(1, *appId);
        if (!oldest.step()) break;
        SqliteStatement(db_, "DELETE FROM bundles WHERE batch_id = ?1").bind(1, oldest.integer(0)).run();
        SqliteStatement(db_, "DELETE FROM batches WHERE id = ?1").bind(1, oldest.integer(0)).run();
        held -= oldest.integer(1);
        freed += oldest.integer(1);
        ++dropped;
    }
    if (freed > 0) addToCounter(db_, kStoredBytes, -freed);
    return dropped;
}

std::vector<BatchHead> Store::batchPage(int64_t after, int limit) {
    std::lock_guard lock(mutex_);
    SqliteStatement s(db_, "SELECT id, received_ms FROM batches WHERE id > ?1 ORDER BY id LIMIT ?2");
    s.bind(1, after).bind(2, int64_t(limit));
    std::vector<BatchHead> out;
    while (s.step()) out.push_back(BatchHead{s.integer(0), s.integer(1)});
    return out;
}

void Store::forEachBundle(int64_t batch, const std::function<void(const std::string&)>& each) {
    std::lock_guard lock(mutex_);
    SqliteStatement s(db_, "SELECT bytes FROM bundles WHERE batch_id = ?1 ORDER BY id");
    s.bind(1, batch);
    while (s.step()) each(s.blob(0));
}

int64_t Store::counter(const char* name) {
    std::lock_guard lock(mutex_);
    return readCounter(db_, name);
}

int64_t Store::duplicates() { return counter("duplicates"); }

int64_t Store::droppedBatches() { return counter("droppedBatches"); }

void Store::clearBatches() {
    std::lock_guard lock(mutex_);
    SqliteTransaction transaction(db_);
    sqliteExec(db_, "DELETE FROM bundles");
    sqliteExec(db_, "DELETE FROM batches");
    sqliteExec(db_, "DELETE FROM counters WHERE name IN ('duplicates', 'droppedBatches', 'storedBytes')");
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
    SqliteTransaction transaction(db_);
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
