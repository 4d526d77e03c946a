#include "messaging/QRVMessagingRmq2PersistentStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <utility>

#include "messaging/QRVMessagingLogger.h"
#include "messaging/QRVMessagingUtilities.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/file_manager.h"
#include "platform/format.h"
#include "platform/store_writes.h"

namespace {

constexpr const char* kLogPrefix = "QRVMessagingRmqStore:";
constexpr const char* kCreateTableWithPrefix = "create TABLE IF NOT EXISTS %@%@ %@";
constexpr const char* kTablePrefix = "";
constexpr const char* kIdColumn = "_id";
constexpr const char* kRmqIdColumn = "rmq_id";
constexpr const char* kOutgoingColumns = "(_id INTEGER PRIMARY KEY, rmq_id INTEGER, type INTEGER, ts INTEGER, data BLOB)";
constexpr const char* kLastRmqIdColumns = "(_id INTEGER PRIMARY KEY, rmq_id INTEGER)";
constexpr const char* kS2dColumns = "(_id INTEGER PRIMARY KEY, rmq_id TEXT)";
constexpr const char* kSyncColumns =
    "(_id INTEGER PRIMARY KEY, rmq_id TEXT, expiration_ts INTEGER, apns_recv INTEGER, mcs_recv INTEGER)";

// The SQLite code the statement that is this thread's one-statement commit
// is to fail with (a failure point of the store-write gate): it fails as
// SQLite would, with nothing written.
thread_local int failingCommit = SQLITE_OK;

// One prepared statement, finalised when it goes out of scope.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) {
        if (db) code_ = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr && code_ == SQLITE_OK; }
    int code() const { return code_; }
    sqlite3_stmt* get() const { return stmt_; }
    bool bindText(int index, const std::string& text) {
        return sqlite3_bind_text(stmt_, index, text.data(), int(text.size()), SQLITE_TRANSIENT) == SQLITE_OK;
    }
    bool bindInt64(int index, int64_t value) { return sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK; }
    bool bindBlob(int index, const ns::Data& data) {
        return sqlite3_bind_blob(stmt_, index, data.data(), int(data.size()), SQLITE_TRANSIENT) == SQLITE_OK;
    }
    int step() {
        if (failingCommit != SQLITE_OK && !sqlite3_stmt_readonly(stmt_)) return std::exchange(failingCommit, SQLITE_OK);
        return sqlite3_step(stmt_);
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int code_ = SQLITE_MISUSE;
};

std::string columnText(sqlite3_stmt* stmt, int column) {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    return text ? std::string(reinterpret_cast<const char*>(text), size_t(sqlite3_column_bytes(stmt, column)))
                : std::string();
}

std::string databaseFileName(const std::string& databaseName) { return ns::format("%@.sqlite", databaseName); }

constexpr const char* kCommitWrite = "messaging commit";

// One statement outside a transaction is its own commit: it runs under the
// store-write gate. Inside a transaction of the store the transaction's
// commit holds the gate, and the statement is part of it.
template <class Body>
auto oneStatementCommit(sqlite3* db, Body&& body) {
    if (!db || !sqlite3_get_autocommit(db)) return body();
    ns::StoreWrite guard(kCommitWrite);
    failingCommit = ns::storeWrites::sqliteCodeFor(guard.failure());
    struct Clear {
        ~Clear() { failingCommit = SQLITE_OK; }
    } clear;
    return body();
}

}  // namespace

std::string QRVMessagingPersistentSyncMessage::description() const {
    return ns::format("%@: (rmqID: %@, apns: %d, mcs: %d, expiry: %@", className(), rmqID_, int(apnsReceived_),
                      int(mcsReceived_), ns::Value(ns::Date{double(expirationTime_)}));
}

std::string QRVMessagingRmq2PersistentStore::pathForDatabase(const std::string& databaseName,
                                                             QRVMessagingRmqDirectory directory) {
    const auto& files = ns::FileManager::defaultManager();
    if (directory == QRVMessagingRmqDirectoryApplicationSupport) {
        return files.pathForDirectory(ns::SearchPathDirectory::ApplicationSupport) + "/" + kSubDirectory + "/" +
               databaseFileName(databaseName);
    }
    return files.pathForDirectory(ns::SearchPathDirectory::Documents) + "/" + databaseFileName(databaseName);
}

void QRVMessagingRmq2PersistentStore::removeDatabase(const std::string& databaseName) {
    const auto& files = ns::FileManager::defaultManager();
    for (auto directory : {QRVMessagingRmqDirectoryDocuments, QRVMessagingRmqDirectoryApplicationSupport}) {
        const std::string path = pathForDatabase(databaseName, directory);
        if (files.fileExists(path)) files.removeItem(path);
    }
}

bool QRVMessagingRmq2PersistentStore::moveToApplicationSupportSubDirectory(const std::string& databaseName,
                                                                          const std::string& subDirectory) {
    const auto& files = ns::FileManager::defaultManager();
    const std::string folder = files.pathForDirectory(ns::SearchPathDirectory::ApplicationSupport) + "/" + subDirectory;
    if (!files.isDirectory(folder)) return false;
    const std::string oldPath = pathForDatabase(databaseName, QRVMessagingRmqDirectoryDocuments);
    const std::string newPath = folder + "/" + databaseFileName(databaseName);
    if (!files.fileExists(oldPath)) return true;
    ns::ErrorRef error;
    if (files.fileExists(newPath)) {
        if (!files.removeItem(oldPath, &error)) {
            QRVMessagingLoggerError(13000, "Failed to delete old copy of %@.sqlite in Documents %@", databaseName, error);
        }
        return true;
    }
    if (!files.moveItem(oldPath, newPath, &error)) {
        QRVMessagingLoggerError(13001, "Failed to move file %@ from %@ to %@. Error: %@", databaseFileName(databaseName),
                                oldPath, newPath, error);
        return false;
    }
    return true;
}

QRVMessagingRmq2PersistentStore::QRVMessagingRmq2PersistentStore(std::string databaseName)
    : databaseName_(std::move(databaseName)) {
    currentDirectory_ = moveToApplicationSupportSubDirectory(databaseName_, kSubDirectory)
                            ? QRVMessagingRmqDirectoryApplicationSupport
                            : QRVMessagingRmqDirectoryDocuments;
    openDatabase();
}

QRVMessagingRmq2PersistentStore::~QRVMessagingRmq2PersistentStore() {
    if (db_) sqlite3_close(db_);
}

bool QRVMessagingRmq2PersistentStore::isDamage(int resultCode) {
    const int primary = resultCode & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

void QRVMessagingRmq2PersistentStore::openDatabase() {
    const std::string path = pathForDatabase(databaseName_, currentDirectory_);
    int failure = openAndLayOut(path);
    if (failure != SQLITE_OK && isDamage(failure)) {
        // The damaged file is kept for whoever looks into why, with its
        // journal under the copy's name, where SQLite finds it.
        const auto& files = ns::FileManager::defaultManager();
        ns::StoreWrite guard(kCommitWrite);
        ns::ErrorRef error = guard.failure() ? ns::fileError(guard.failure(), path, true, "set aside") : nullptr;
        if (auto aside = guard.failure() ? std::nullopt : files.setAside(path, &error)) {
            if (files.fileExists(path + "-journal")) files.moveItem(path + "-journal", *aside + "-journal");
            QRVMessagingLoggerError(13007, "%@ Damaged rmq database set aside as %@ (code %d)", kLogPrefix, *aside,
                                    failure);
            failure = openAndLayOut(path);
        } else {
            QRVMessagingLoggerError(13007, "%@ Damaged rmq database could not be set aside: %@", kLogPrefix, error);
        }
    }
    if (failure == SQLITE_OK) {
        nextOpenAt_ = 0;
        reopenDelay_ = kQRVMessagingRmqFirstReopenSeconds;
        return;
    }
    // Kept as it is: locked by another program, not writable for now.
    nextOpenAt_ = ns::Clock::nowSeconds() + reopenDelay_;
    QRVMessagingLoggerError(13008, "%@ rmq database kept for a later try in %@ seconds (code %d)", kLogPrefix,
                            ns::Value(reopenDelay_), failure);
    reopenDelay_ = std::min(reopenDelay_ * 2, kQRVMessagingRmqMaxReopenSeconds);
}

int QRVMessagingRmq2PersistentStore::openAndLayOut(const std::string& path) {
    const bool existed = ns::FileManager::defaultManager().fileExists(path);
    sqlite3* db = nullptr;
    const int refused = ns::storeWrites::sqliteOpenCodeFor(ns::storeWrites::opening("messaging open"));
    const int opened =
        refused != SQLITE_OK ? refused
                             : sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (opened != SQLITE_OK) {
        QRVMessagingLoggerError(13006, "%@ Could not open rmq database: %@", kLogPrefix,
                                db ? sqlite3_errmsg(db) : sqlite3_errstr(opened));
        const int code = db ? sqlite3_extended_errcode(db) : opened;
        sqlite3_close(db);
        return code == SQLITE_OK ? SQLITE_CANTOPEN : code;
    }
    sqlite3_busy_timeout(db, kQRVMessagingRmqBusyTimeoutMilliseconds);
    db_ = db;
    std::string failure;
    int code = SQLITE_OK;
    if (layOutTables(existed, failure, code)) return SQLITE_OK;
    // A store that cannot hold its tables is no store for now: answering as
    // an empty one until a later try.
    sqlite3_close(db_);
    db_ = nullptr;
    // An error, not a debug line: every save fails quietly from here on.
    QRVMessagingLoggerError(13006, "Couldn't create table: %@", failure);
    return code == SQLITE_OK ? SQLITE_ERROR : code;
}

void QRVMessagingRmq2PersistentStore::reopenIfDue() {
    if (db_ || commitDepth_ > 0 || ns::Clock::nowSeconds() < nextOpenAt_) return;
    openDatabase();
}

bool QRVMessagingRmq2PersistentStore::layOutTables(bool existed, std::string& failure, int& code) {
    // Every table is made when missing, whatever file was found: a file that
    // exists need not hold them all (it was emptied, or a first launch ended
    // before its tables), and a missing table would fail every save to it on
    // every launch. They are made together, so no end of the process leaves
    // a file with some of them.
    const std::pair<const char*, const char*> tables[] = {
        {kQRVMessagingOutgoingRmqTable, kOutgoingColumns},
        {kQRVMessagingLastRmqIdTable, kLastRmqIdColumns},
        {kQRVMessagingS2dRmqIdsTable, kS2dColumns},
        {kQRVMessagingSyncMessagesTable, kSyncColumns},
    };
    auto run = [&](const std::string& sql) {
        char* message = nullptr;
        const bool ran = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) == SQLITE_OK;
        if (!ran) {
            failure = sql + " " + (message ? message : sqlite3_errmsg(db_));
            code = sqlite3_extended_errcode(db_);
        }
        sqlite3_free(message);
        return ran;
    };
    ns::StoreWrite guard(kCommitWrite);
    if (guard.failure()) {
        code = ns::storeWrites::sqliteCodeFor(guard.failure());
        failure = std::string("BEGIN IMMEDIATE ") + sqlite3_errstr(code);
        return false;
    }
    if (!run("BEGIN IMMEDIATE")) return false;
    for (const auto& [table, columns] : tables) {
        if (!run(ns::format(kCreateTableWithPrefix, kTablePrefix, table, columns))) {
            // A name the file already gives to something else: its layout
            // cannot take the store's tables, which is damage to this store.
            if ((code & 0xff) == SQLITE_ERROR) code = SQLITE_CORRUPT;
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            return false;
        }
    }
    if (existed) {
        const std::string drop = ns::format("drop TABLE if exists %@%@", kTablePrefix, kQRVMessagingOldS2dRmqIdsTable);
        if (sqlite3_exec(db_, drop.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            QRVMessagingLoggerError(13002, "Failed to remove table %@", kQRVMessagingOldS2dRmqIdsTable);
        }
    }
    if (run("COMMIT")) return true;
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
}

bool QRVMessagingRmq2PersistentStore::writeInOneCommit(const std::function<bool()>& body) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    reopenIfDue();
    ++commitDepth_;
    struct Leave {
        int& depth;
        ~Leave() { --depth; }
    } leave{commitDepth_};
    if (!db_) return body();
    if (!sqlite3_get_autocommit(db_)) return body();
    ns::StoreWrite guard(kCommitWrite);
    if (guard.failure()) {
        logDatabaseError(ns::storeWrites::sqliteCodeFor(guard.failure()));
        return false;
    }
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) {
        logDatabaseError(sqlite3_errcode(db_));
        return false;
    }
    const bool done = body();
    if (done && sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    if (done) logDatabaseError(sqlite3_errcode(db_));
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return false;
}

void QRVMessagingRmq2PersistentStore::logDatabaseError(int code) {
    QRVMessagingLoggerError(13006, "%@ error: code (%d) message: %@", kLogPrefix, code,
                            db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(code));
}

// MARK: - Outgoing messages

bool QRVMessagingRmq2PersistentStore::saveMessageWithRmqId(int64_t rmqId, int8_t tag, const ns::Data& data,
                                                           ns::ErrorRef* error) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    reopenIfDue();
    return oneStatementCommit(db_, [&]() -> bool {
        const std::string sql = ns::format("INSERT INTO %@ (%@, %@, %@) VALUES (?, ?, ?)",
                                           kQRVMessagingOutgoingRmqTable, kRmqIdColumn, "type", "data");
        Statement stmt(db_, sql);
        if (!stmt.ok()) {
            if (error) {
                *error = db_ ? ns::Error::make(sqlite3_errmsg(db_), sqlite3_errcode(db_))
                             : ns::Error::make(sqlite3_errstr(SQLITE_CANTOPEN), SQLITE_CANTOPEN);
            }
            if (db_) logDatabaseError(sqlite3_errcode(db_));
            return false;
        }
        if (!stmt.bindInt64(1, rmqId) || !stmt.bindInt64(2, tag) || !stmt.bindBlob(3, data) ||
            stmt.step() != SQLITE_DONE) {
            const int code = sqlite3_errcode(db_);
            if (error) *error = ns::Error::make(sqlite3_errmsg(db_), code);
            logDatabaseError(code);
            return false;
        }
        return true;
    });
}

namespace {

int64_t queryFirstInt64(sqlite3* db, const char* table) {
    const std::string sql =
        ns::format("SELECT %@ FROM %@ ORDER BY %@ DESC LIMIT %d", kRmqIdColumn, table, kRmqIdColumn, 1);
    Statement stmt(db, sql);
    if (!stmt.ok() || stmt.step() != SQLITE_ROW) return 0;
    return sqlite3_column_int64(stmt.get(), 0);
}

}  // namespace

int64_t QRVMessagingRmq2PersistentStore::queryHighestRmqId() {
    reopenIfDue();
    return queryFirstInt64(db_, kQRVMessagingOutgoingRmqTable);
}

int64_t QRVMessagingRmq2PersistentStore::queryLastRmqId() {
    reopenIfDue();
    return queryFirstInt64(db_, kQRVMessagingLastRmqIdTable);
}

std::optional<int64_t> QRVMessagingRmq2PersistentStore::highestRmqIdOnRecord() {
    reopenIfDue();
    int64_t highest = 0;
    for (const char* table : {kQRVMessagingOutgoingRmqTable, kQRVMessagingLastRmqIdTable}) {
        Statement stmt(db_, ns::format("SELECT MAX(%@) FROM %@", kRmqIdColumn, table));
        if (!stmt.ok() || stmt.step() != SQLITE_ROW) return std::nullopt;
        highest = std::max<int64_t>(highest, sqlite3_column_int64(stmt.get(), 0));
    }
    return highest;
}

bool QRVMessagingRmq2PersistentStore::updateLastOutgoingRmqId(int64_t rmqId) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    reopenIfDue();
    return oneStatementCommit(db_, [&]() -> bool {
        const std::string sql = ns::format("INSERT OR REPLACE INTO %@ (%@, %@) VALUES (?, ?)",
                                           kQRVMessagingLastRmqIdTable, kIdColumn, kRmqIdColumn);
        Statement stmt(db_, sql);
        if (!stmt.ok() || !stmt.bindInt64(1, 1) || !stmt.bindInt64(2, rmqId) || stmt.step() != SQLITE_DONE) {
            if (db_) logDatabaseError(sqlite3_errcode(db_));
            return false;
        }
        return true;
    });
}

void QRVMessagingRmq2PersistentStore::scanOutgoingRmqMessagesWithHandler(const RmqMessageHandler& handler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    reopenIfDue();
    const std::string sql = ns::format("SELECT %@ FROM %@ WHERE %@ != 0 ORDER BY %@ ASC", "rmq_id, type, data",
                                       kQRVMessagingOutgoingRmqTable, kRmqIdColumn, kRmqIdColumn);
    Statement stmt(db_, sql);
    if (!stmt.ok()) {
        if (db_) logDatabaseError(stmt.code());
        return;
    }
    while (stmt.step() == SQLITE_ROW) {
        const int64_t rmqId = sqlite3_column_int64(stmt.get(), 0);
        const auto tag = int8_t(sqlite3_column_int(stmt.get(), 1));
        const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(stmt.get(), 2));
        const ns::Data data(bytes, bytes + sqlite3_column_bytes(stmt.get(), 2));
        if (handler) handler(rmqId, tag, data);
    }
}

// MARK: - Received ids

bool QRVMessagingRmq2PersistentStore::saveUnackedS2dMessageWithRmqId(const std::string& rmqId) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    reopenIfDue();
    return oneStatementCommit(db_, [&]() -> bool {
        const std::string sql = ns::format("INSERT INTO %@ (%@) VALUES (?)", kQRVMessagingS2dRmqIdsTable, kRmqIdColumn);
        Statement stmt(db_, sql);
        if (!stmt.ok() || !stmt.bindText(1, rmqId) || stmt.step() != SQLITE_DONE) {
            if (db_) logDatabaseError(sqlite3_errcode(db_));
            return false;
        }
        return true;
    });
}

std::vector<std::string> QRVMessagingRmq2PersistentStore::unackedS2dRmqIds() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    reopenIfDue();
    const std::string sql =
        ns::format("SELECT %@ FROM %@ ORDER BY %@ ASC", kRmqIdColumn, kQRVMessagingS2dRmqIdsTable, kRmqIdColumn);
    Statement stmt(db_, sql);
    if (!stmt.ok()) {
        QRVMessagingLoggerDebug(13005, "%@: Could not find s2d ids", kLogPrefix);
        return {};
    }
    std::vector<std::string> ids;
    while (stmt.step() == SQLITE_ROW) ids.push_back(columnText(stmt.get(), 0));
    // The column is text, so SQLite puts "10" before "9"; the server's ids are
    // numbers and the order the channel reports them in is theirs.
    std::stable_sort(ids.begin(), ids.end(), [](const std::string& a, const std::string& b) {
        const auto x = QRVMessagingInt64FromString(a);
        const auto y = QRVMessagingInt64FromString(b);
        if (x && y) return *x < *y;
        return !x && y;  // what is not a number first, in text order
    });
    return ids;
}

int QRVMessagingRmq2PersistentStore::deleteMessagesFromTable(const std::string& table,
                                                             const std::vector<std::string>& rmqIds) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    reopenIfDue();
    const bool bindAsInteger = table == kQRVMessagingOutgoingRmqTable;
    int deleted = 0;
    // The ids the server confirmed together leave together: one commit
    // however many statements they take. What was deleted before a failing
    // statement stays deleted, as the count says.
    if (!rmqIds.empty()) {
        writeInOneCommit([&] {
            deleted = deleteInStatements(table, rmqIds, bindAsInteger);
            return true;
        });
    }
    QRVMessagingLoggerDebug(13004, "%@ Trying to delete %d s2D ID's, successfully deleted %d", kLogPrefix,
                            int(rmqIds.size()), deleted);
    return deleted;
}

int QRVMessagingRmq2PersistentStore::deleteInStatements(const std::string& table,
                                                        const std::vector<std::string>& rmqIds, bool bindAsInteger) {
    int deleted = 0;
    for (size_t start = 0; start < rmqIds.size(); start += kQRVMessagingMaxIdsPerDelete) {
        const size_t count = std::min(kQRVMessagingMaxIdsPerDelete, rmqIds.size() - start);
        std::string sql = ns::format("DELETE FROM %@ WHERE ", table);
        for (size_t i = 0; i < count; ++i) sql += ns::format("%@ = ? OR ", kRmqIdColumn);
        sql.resize(sql.size() - 4);
        Statement stmt(db_, sql);
        if (!stmt.ok()) {
            if (db_) logDatabaseError(stmt.code());
            return 0;
        }
        for (size_t i = 0; i < count; ++i) {
            const std::string& rmqId = rmqIds[start + i];
            bool bound = false;
            if (bindAsInteger) {
                const auto number = QRVMessagingInt64FromString(rmqId);
                bound = number && stmt.bindInt64(int(i + 1), *number);
            } else {
                bound = stmt.bindText(int(i + 1), rmqId);
            }
            // An unbound placeholder is NULL and matches no row.
            if (!bound) QRVMessagingLoggerDebug(13003, "Failed to bind rmqID %@", rmqId);
        }
        if (stmt.step() != SQLITE_DONE) {
            logDatabaseError(sqlite3_errcode(db_));
            return deleted;
        }
        deleted += sqlite3_changes(db_);
    }
    return deleted;
}

// MARK: - Sync messages

std::shared_ptr<QRVMessagingPersistentSyncMessage> QRVMessagingRmq2PersistentStore::querySyncMessageWithRmqID(
    const std::string& rmqID) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    reopenIfDue();
    const std::string sql = ns::format("SELECT %@ FROM %@ WHERE %@ = ?", "rmq_id, expiration_ts, apns_recv, mcs_recv",
                                       kQRVMessagingSyncMessagesTable, kRmqIdColumn);
    Statement stmt(db_, sql);
    if (!stmt.ok() || !stmt.bindText(1, rmqID)) {
        if (db_) logDatabaseError(sqlite3_errcode(db_));
        return nullptr;
    }
    std::shared_ptr<QRVMessagingPersistentSyncMessage> found;
    while (stmt.step() == SQLITE_ROW) {
        found = std::make_shared<QRVMessagingPersistentSyncMessage>(columnText(stmt.get(), 0),
                                                                    sqlite3_column_int64(stmt.get(), 1));
        found->setAPNSReceived(sqlite3_column_int(stmt.get(), 2) != 0);
        found->setMCSReceived(sqlite3_column_int(stmt.get(), 3) != 0);
    }
    return found;
}

namespace {

ns::ErrorRef syncError(sqlite3* db, const char* text) {
    const int code = db ? sqlite3_errcode(db) : SQLITE_CANTOPEN;
    return qdx_errorWithCode(code, {{"error", ns::Value(text)}});
}

}  // namespace

bool QRVMessagingRmq2PersistentStore::saveSyncMessageWithRmqID(const std::string& rmqID, int64_t expirationTime,
                                                               bool apnsReceived, bool mcsReceived,
                                                               ns::ErrorRef* error) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    reopenIfDue();
    return oneStatementCommit(db_, [&]() -> bool {
        const std::string sql = ns::format("INSERT INTO %@ (%@, %@, %@, %@) VALUES (?, ?, ?, ?)",
                                           kQRVMessagingSyncMessagesTable, kRmqIdColumn, "expiration_ts", "apns_recv",
                                           "mcs_recv");
        Statement stmt(db_, sql);
        if (!stmt.ok() || !stmt.bindText(1, rmqID) || !stmt.bindInt64(2, expirationTime) ||
            !stmt.bindInt64(3, apnsReceived ? 1 : 0) || !stmt.bindInt64(4, mcsReceived ? 1 : 0) ||
            stmt.step() != SQLITE_DONE) {
            if (error) *error = syncError(db_, "Failed to save sync message to store.");
            if (db_) logDatabaseError(sqlite3_errcode(db_));
            return false;
        }
        return true;
    });
}

bool QRVMessagingRmq2PersistentStore::updateSyncMessageWithRmqID(const std::string& rmqID, const char* column,
                                                                 ns::ErrorRef* error) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    reopenIfDue();
    return oneStatementCommit(db_, [&]() -> bool {
        const std::string sql =
            ns::format("UPDATE %@ SET %@ = %d WHERE %@ = ?", kQRVMessagingSyncMessagesTable, column, 1, kRmqIdColumn);
        Statement stmt(db_, sql);
        if (!stmt.ok() || !stmt.bindText(1, rmqID) || stmt.step() != SQLITE_DONE) {
            if (error) *error = syncError(db_, "Failed to update sync message");
            if (db_) logDatabaseError(sqlite3_errcode(db_));
            return false;
        }
        return true;
    });
}

bool QRVMessagingRmq2PersistentStore::updateSyncMessageViaAPNSWithRmqID(const std::string& rmqID, ns::ErrorRef* error) {
    return updateSyncMessageWithRmqID(rmqID, "apns_recv", error);
}

bool QRVMessagingRmq2PersistentStore::updateSyncMessageViaMCSWithRmqID(const std::string& rmqID, ns::ErrorRef* error) {
    return updateSyncMessageWithRmqID(rmqID, "mcs_recv", error);
}

bool QRVMessagingRmq2PersistentStore::deleteSyncMessageWithRmqID(const std::string& rmqID) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    reopenIfDue();
    return deleteMessagesFromTable(kQRVMessagingSyncMessagesTable, {rmqID}) > 0;
}

int QRVMessagingRmq2PersistentStore::deleteExpiredOrFinishedSyncMessages(ns::ErrorRef* error) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    reopenIfDue();
    return oneStatementCommit(db_, [&]() -> int {
        const std::string sql = ns::format("DELETE FROM %@ WHERE %@ < %lld OR (%@ = 1 AND %@ = 1)",
                                           kQRVMessagingSyncMessagesTable, "expiration_ts",
                                           static_cast<long long>(QRVMessagingCurrentTimestampInSeconds()), "apns_recv",
                                           "mcs_recv");
        Statement stmt(db_, sql);
        if (!stmt.ok() || stmt.step() != SQLITE_DONE) {
            if (error) *error = syncError(db_, "Failed to save delete expired sync messages from store.");
            if (db_) logDatabaseError(sqlite3_errcode(db_));
            return 0;
        }
        return sqlite3_changes(db_);
    });
}
