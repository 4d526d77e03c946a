// The store's connection and schema: the file opened, checked and replaced
// when damaged; tables created from column lists, given the columns later
// versions added, and rebuilt with their rows when a column changed type;
// exclusive transactions; how SQLite's failures are reported. Statements,
// records and queries are QRVASqliteStatements.cpp.
#include "analytics/QRVASqliteStore.h"

#include <sqlite3.h>

#include <cmath>
#include <set>
#include <utility>

#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAUtilities.h"
#include "platform/file_manager.h"
#include "platform/format.h"
#include "platform/no_destructor.h"
#include "platform/store_writes.h"

namespace {

std::shared_ptr<QRVAMonitor> monitor() {
    return QRVAMeasurementMonitor();
}

std::string folderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace

// MARK: - Lifecycle

std::shared_ptr<QRVASqliteStore> QRVASqliteStore::initWithDatabasePath(const std::string& path) {
    if (path.empty()) {
        monitor()->logWithLevel(4, 34000, "Received empty database path on init");
        return nullptr;
    }
    auto store = std::make_shared<QRVASqliteStore>(path);
    ns::ErrorRef failure;
    if (store->openAndValidateDatabase(&failure)) return store;
    // A damaged file makes way for an empty one: the analytics data are not
    // worth a store that cannot work, but the file is kept for whoever
    // looks into why. Any other failure keeps the file as it is (see
    // closeAndSetAsideDamagedDatabase) and this attempt gives no store.
    const bool damaged = isDamage(store->lastFailureCode());
    ns::ErrorRef moveError;
    if (!store->closeAndSetAsideDamagedDatabase(failure ? failure->localizedDescription() : "", &moveError)) {
        if (damaged) {
            monitor()->logWithLevel(1, 34001, "Failed to delete existing database file. Error",
                                    QRVAErrorContext(moveError));
        }
        return nullptr;
    }
    ns::ErrorRef openError;
    if (!store->openAndValidateDatabase(&openError)) {
        store->closeDatabase();
        monitor()->logWithLevel(1, 34002, "Failed to recreate database file. Error", QRVAErrorContext(openError));
        return nullptr;
    }
    return store;
}

bool QRVASqliteStore::isDamage(int resultCode) {
    const int primary = resultCode & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

bool QRVASqliteStore::isLockedElsewhere(int resultCode) {
    const int primary = resultCode & 0xff;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

void QRVASqliteStore::noteFailure(int code) {
    if (code == 0) code = std::exchange(failedByTheGate_, SQLITE_OK);
    if (code == 0) code = sqliteHandle_ ? sqlite3_extended_errcode(sqliteHandle_) : SQLITE_CANTOPEN;
    // A failure reported without a code of its own is no damage either.
    lastFailureCode_ = code == SQLITE_OK ? SQLITE_ERROR : code;
}

QRVASqliteStore::QRVASqliteStore(std::string path) : databasePath_(std::move(path)) {}

QRVASqliteStore::~QRVASqliteStore() {
    closeDatabase();
}

bool QRVASqliteStore::openAndValidateDatabase(ns::ErrorRef* error) {
    lastFailureCode_ = SQLITE_OK;
    const auto& files = ns::FileManager::defaultManager();
    // What the platform refuses here (attributes, the immutable flag, the
    // folder) is a permission or a path, never the file's contents.
    if (files.fileExists(databasePath_)) {
        if (!files.attributesOfItem(databasePath_, error) ||
            (files.isImmutable(databasePath_) && !files.setImmutable(databasePath_, false, error))) {
            noteFailure(SQLITE_CANTOPEN);
            return false;
        }
    } else if (!files.createDirectory(folderOf(databasePath_), true, error)) {
        noteFailure(SQLITE_CANTOPEN);
        return false;
    }
    if (!openHandle(error)) return false;
    ns::ErrorRef backupError;
    if (!QRVAExcludeFilePathFromBackup(databasePath_, &backupError)) {
        monitor()->logWithLevel(4, 34017, "Failed to exclude database file from backup",
                                QRVAErrorContext(backupError));
    }
    if (!validateDatabaseWithError(error)) {
        closeDatabase();
        return false;
    }
    return true;
}

bool QRVASqliteStore::openHandle(ns::ErrorRef* error) {
    closeDatabase();
    const int refused = ns::storeWrites::sqliteOpenCodeFor(ns::storeWrites::opening("analytics open"));
    int rc = refused != SQLITE_OK ? refused
                                  : sqlite3_open_v2(databasePath_.c_str(), &sqliteHandle_,
                                                    SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        setDatabaseError(error, "initialize sqlite handle");
        noteFailure(sqliteHandle_ ? 0 : rc);
        closeDatabase();
        return false;
    }
    sqlite3_busy_timeout(sqliteHandle_, kQRVASqliteBusyTimeoutMilliseconds);
    return true;
}

bool QRVASqliteStore::validateDatabaseWithError(ns::ErrorRef* error) {
    if (!QRVAAssertNotNull(sqliteHandle_, error, 2, "Validate database failed. Database not open.")) return false;
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(sqliteHandle_, "PRAGMA integrity_check", -1, &statement, nullptr);
    if (rc == SQLITE_OK && statement) rc = sqlite3_step(statement);
    bool ok = false;
    if (rc == SQLITE_ROW && sqlite3_column_count(statement) == 1) {
        const unsigned char* text = sqlite3_column_text(statement, 0);
        ok = text && std::string(reinterpret_cast<const char*>(text)) == "ok";
    }
    if (!ok) {
        // A check that ran and found problems is damage whatever code the
        // connection holds; one that could not run failed with its code.
        setDatabaseError(error, "validate database");
        noteFailure(rc == SQLITE_ROW ? SQLITE_CORRUPT : 0);
    }
    sqlite3_finalize(statement);
    return ok;
}

void QRVASqliteStore::finalizeAndClearStatements() {
    for (auto& [query, statement] : statementCache_) sqlite3_finalize(statement);
    statementCache_.clear();
}

void QRVASqliteStore::closeDatabase() {
    finalizeAndClearStatements();
    if (!sqliteHandle_) return;
    int rc = sqlite3_close(sqliteHandle_);
    if (rc != SQLITE_OK) {
        monitor()->logWithLevel(4, 34018, "Failed to close database. Got error code", ns::Value(rc));
        // Whatever still holds the connection, it goes when that does.
        sqlite3_close_v2(sqliteHandle_);
    }
    sqliteHandle_ = nullptr;
}

bool QRVASqliteStore::closeAndDeleteDatabase(ns::ErrorRef* error) {
    closeDatabase();
    if (!deleteDatabaseFiles(databasePath_, error)) {
        monitor()->logWithLevel(4, 34019, "Failed to delete database");
        return false;
    }
    return true;
}

bool QRVASqliteStore::deleteDatabaseFiles(const std::string& path, ns::ErrorRef* error) {
    const auto& files = ns::FileManager::defaultManager();
    ns::StoreWrite write("analytics delete");
    if (write.failure()) {
        if (error) *error = ns::fileError(write.failure(), path, true, "remove");
        return false;
    }
    // The main file first: while it stays, its journal may be what makes it
    // whole, so a file that cannot go keeps its companions.
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        std::string file = path + suffix;
        if (!files.fileExists(file)) continue;
        files.setImmutable(file, false);
        if (!files.removeItem(file, error)) return false;
    }
    return true;
}

bool QRVASqliteStore::closeAndSetAsideDamagedDatabase(const std::string& problem, ns::ErrorRef* error) {
    closeDatabase();
    // Every road to setting the file aside passes here, so this is where a
    // sound file (locked by another program, unreadable for now) is kept.
    if (!isDamage(lastFailureCode_)) {
        monitor()->logWithLevel(1, 34026,
                                "Database file could not be used for now and is kept as it is. Path, sqlite code, "
                                "problem",
                                ns::Value(databasePath_), ns::Value(lastFailureCode_), ns::Value(problem));
        return false;
    }
    if (!ns::FileManager::defaultManager().fileExists(databasePath_)) return deleteDatabaseFiles(databasePath_, error);
    ns::ErrorRef moveError;
    if (auto aside = setAsideDatabaseFiles(databasePath_, &moveError)) {
        monitor()->logWithLevel(1, 34024,
                                "Database file is damaged. It was set aside and a new one is started. Path, set aside "
                                "as, problem",
                                ns::Value(databasePath_), ns::Value(*aside), ns::Value(problem));
        return true;
    }
    // Past the copies setAside keeps, another one helps no one: the file
    // goes, so that analytics can go on.
    monitor()->logWithLevel(1, 34025, "Damaged database file could not be set aside and is deleted. Path, problem, error",
                            ns::Value(databasePath_), ns::Value(problem), QRVAErrorContext(moveError));
    return deleteDatabaseFiles(databasePath_, error);
}

std::optional<std::string> QRVASqliteStore::setAsideDatabaseFiles(const std::string& path, ns::ErrorRef* error) {
    const auto& files = ns::FileManager::defaultManager();
    ns::StoreWrite write("analytics set aside");
    if (write.failure()) {
        if (error) *error = ns::fileError(write.failure(), path, true, "set aside");
        return std::nullopt;
    }
    files.setImmutable(path, false);
    auto aside = files.setAside(path, error);
    if (!aside) return std::nullopt;
    // The journal or log may be what makes the copy whole: each goes under
    // the copy's name, where SQLite looks for it when the copy is opened.
    // The shared-memory index is rebuilt from the log and goes.
    for (const char* suffix : {"-journal", "-wal"}) {
        const std::string companion = path + suffix;
        if (!files.fileExists(companion)) continue;
        if (ns::storeWrites::point("analytics set aside") || !files.moveItem(companion, *aside + suffix)) {
            files.setAside(companion);
        }
    }
    if (files.fileExists(path + "-shm")) files.removeItem(path + "-shm");
    return aside;
}

// MARK: - Tables

namespace {

std::string firstWord(const std::string& declaration) {
    size_t start = declaration.find_first_not_of(' ');
    if (start == std::string::npos) return "";
    size_t end = declaration.find(' ', start);
    return declaration.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

QRVAColumnInfo withDeclarations(const QRVAColumnInfo& columns, const QRVAModifyColumnInfo& modify) {
    QRVAColumnInfo changed = columns;
    for (auto& [name, declaration] : changed) {
        if (auto it = modify.find(name); it != modify.end()) declaration = it->second;
    }
    return changed;
}

}  // namespace

bool QRVASqliteStore::ensureTableWithName(const std::string& name, const QRVAColumnInfo& elementaryColumnInfo,
                                          const QRVAColumnInfo& addOnColumnInfo, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!name.empty(), error, 1, "Received empty table name for ensure table")) return false;
    if (!QRVAAssertTrue(!elementaryColumnInfo.empty(), error, 1,
                        "Received empty elementary column info for ensure table")) {
        return false;
    }
    std::string create = "CREATE TABLE IF NOT EXISTS " + name + " ( ";
    std::vector<std::string> required;
    for (const auto& [column, declaration] : elementaryColumnInfo) {
        if (!QRVAAssertTrue(!column.empty() && !declaration.empty(), error, 2, "Failed to create statement for table")) {
            return false;
        }
        create += column + " " + declaration + ", ";
        if (column != kQRVAPrimaryKeyTag) required.push_back(column);
    }
    create.replace(create.size() - 2, 2, ");");
    std::vector<std::pair<std::string, std::string>> addOn;
    for (const auto& [column, type] : addOnColumnInfo) {
        if (!QRVAAssertTrue(!column.empty() && !type.empty(), error, 2, "Failed to create alter statement for table")) {
            return false;
        }
        addOn.emplace_back(column, "ALTER TABLE " + name + " ADD COLUMN " + column + " " + type);
    }
    return ensureTableWithName(name, create, required, addOn, error);
}

bool QRVASqliteStore::ensureTableWithName(const std::string& name, const std::string& createSQL,
                                          const std::vector<std::string>& requiredColumnNames,
                                          const std::vector<std::pair<std::string, std::string>>& addOnColumns,
                                          ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!name.empty(), error, 1, "Received empty table name for ensure table")) return false;
    if (!QRVAAssertTrue(!requiredColumnNames.empty(), error, 1, "Received no table columns for ensure table")) {
        return false;
    }
    if (!QRVAAssertTrue(!createSQL.empty(), error, 1, "Received empty create statement for ensure table")) return false;
    if (!QRVAAssertNotNull(sqliteHandle_, error, 2, "Ensure table failed. Database not open.")) return false;
    auto exists = tableExists(name, error);
    if (!exists) return false;
    if (!*exists && !executeSQL(createSQL, error)) return false;
    return validateTableWithName(name, requiredColumnNames, addOnColumns, error).value_or(false);
}

std::optional<bool> QRVASqliteStore::validateTableWithName(
    const std::string& name, const std::vector<std::string>& requiredColumnNames,
    const std::vector<std::pair<std::string, std::string>>& addOnColumns, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!name.empty(), error, 1, "Received empty table name for validate table")) return std::nullopt;
    if (!QRVAAssertTrue(!requiredColumnNames.empty(), error, 1, "Received no table columns for validate table")) {
        return std::nullopt;
    }
    if (!QRVAAssertNotNull(sqliteHandle_, error, 2, "Validate table failed. Database not open.")) return std::nullopt;
    auto columns = tableInfo(name, error);
    if (!columns) return std::nullopt;
    // A table the layout cannot take is damage to this store, as a failed
    // integrity check is: nothing but setting the file aside makes it work.
    if (!QRVAAssertTrue(!columns->empty(), error, 2, "Table has no columns")) {
        noteFailure(SQLITE_CORRUPT);
        return std::nullopt;
    }
    std::set<std::string> existing;
    for (const auto& column : *columns) existing.insert(column.name);
    for (const auto& column : requiredColumnNames) {
        if (!QRVAAssertTrue(existing.count(column) > 0, error, 2, "Table is missing required columns")) {
            noteFailure(SQLITE_CORRUPT);
            return false;
        }
    }
    std::set<std::string> known(requiredColumnNames.begin(), requiredColumnNames.end());
    for (const auto& [column, alter] : addOnColumns) {
        known.insert(column);
        if (!existing.count(column) && !executeSQL(alter, error)) return false;
    }
    for (const auto& column : *columns) {
        if (!known.count(column.name) &&
            !QRVAAssertTrue(!column.notNull, error, 2, "Table contains unknown non-optional columns")) {
            noteFailure(SQLITE_CORRUPT);
            return false;
        }
    }
    return true;
}

bool QRVASqliteStore::ensureSchemaOfTableWithName(const std::string& name, const QRVAColumnInfo& elementaryColumnInfo,
                                                  const QRVAColumnInfo& addOnColumnInfo, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!name.empty(), error, 1, "Received empty table name for ensure table schema")) return false;
    if (!QRVAAssertTrue(!elementaryColumnInfo.empty(), error, 1, "Received empty column info for ensure table schema")) {
        return false;
    }
    auto exists = tableExists(name, error);
    if (!exists) return false;
    if (!QRVAAssertTrue(*exists, error, 2, "Table does not exist for ensure table schema")) return false;
    std::map<std::string, std::string> wanted;
    for (const auto& [column, declaration] : elementaryColumnInfo) {
        std::string type = firstWord(declaration);
        if (column != kQRVAPrimaryKeyTag && !column.empty() && !type.empty()) wanted[column] = type;
    }
    for (const auto& [column, type] : addOnColumnInfo) {
        if (!column.empty() && !type.empty()) wanted[column] = type;
    }
    auto declared = columnInfoForTableWithName(name, error);
    if (!declared) return false;
    if (*declared == wanted) return true;
    return rebuildTable(name, elementaryColumnInfo, addOnColumnInfo, error);
}

// Rows are copied by position: the new table lists its columns in the same
// order as the old one (elementary first, then add-ons, as created).
bool QRVASqliteStore::rebuildTable(const std::string& name, const QRVAColumnInfo& elementaryColumnInfo,
                                   const QRVAColumnInfo& addOnColumnInfo, ns::ErrorRef* error) {
    ns::ErrorRef stepError;
    std::string old = name + "_old";
    bool rebuilt = performTransaction([&] {
        return renameTable(name, old, &stepError) &&
               ensureTableWithName(name, elementaryColumnInfo, addOnColumnInfo, &stepError) &&
               copyContentsFromTable(old, name, &stepError) && dropTableWithName(old, &stepError);
    });
    if (rebuilt) return true;
    if (stepError) {
        if (error) *error = stepError;
    } else {
        setDatabaseError(error, "rebuild table");
    }
    return false;
}

bool QRVASqliteStore::ensureTableWithName(const std::string& name, const QRVAColumnInfo& elementaryColumnInfo,
                                          const QRVAColumnInfo& addOnColumnInfo,
                                          const QRVAModifyColumnInfo& modifyColumnInfo, ns::ErrorRef* error) {
    if (!ensureTableWithName(name, elementaryColumnInfo, addOnColumnInfo, error)) return false;
    if (modifyColumnInfo.empty()) return true;
    return ensureSchemaOfTableWithName(name, withDeclarations(elementaryColumnInfo, modifyColumnInfo),
                                       withDeclarations(addOnColumnInfo, modifyColumnInfo), error);
}

bool QRVASqliteStore::dropTableWithName(const std::string& name, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!name.empty(), error, 1, "Received empty table name for drop table")) return false;
    return executeSQL("DROP TABLE " + name, error);
}

bool QRVASqliteStore::renameTable(const std::string& oldName, const std::string& newName, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!oldName.empty(), error, 1, "Received empty old name for rename table")) return false;
    if (!QRVAAssertTrue(!newName.empty(), error, 1, "Received empty new name for rename table")) return false;
    if (!QRVAAssertTrue(oldName != newName, error, 1, "Received duplicate name for rename table")) return false;
    return executeSQL("ALTER TABLE " + oldName + " RENAME TO " + newName, error);
}

bool QRVASqliteStore::copyContentsFromTable(const std::string& source, const std::string& destination,
                                            ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!source.empty(), error, 1, "Received empty source name for copy table")) return false;
    if (!QRVAAssertTrue(!destination.empty(), error, 1, "Received empty destination name for copy table")) {
        return false;
    }
    if (!QRVAAssertTrue(source != destination, error, 1, "Received duplicate name for copy table")) return false;
    return executeSQL("INSERT INTO " + destination + " SELECT * FROM " + source, error);
}

std::optional<bool> QRVASqliteStore::tableExists(const std::string& name, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!name.empty(), error, 1, "Received empty table name for table exists")) return std::nullopt;
    if (!QRVAAssertNotNull(sqliteHandle_, error, 2, "Table exists failed. Database not open.")) return std::nullopt;
    static const ns::NoDestructor<std::string> kQuery("SELECT name FROM sqlite_master WHERE type='table' AND name=?");
    sqlite3_stmt* statement = statementForQuery(*kQuery, {ns::Value(name)}, error);
    if (!statement) return std::nullopt;
    std::optional<bool> exists;
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
        exists = rc == SQLITE_ROW;
    } else {
        setDatabaseError(error, "table exists");
    }
    cleanUpStatement(statement, *kQuery);
    return exists;
}

std::optional<std::vector<QRVASqliteStore::ColumnDescription>> QRVASqliteStore::tableInfo(const std::string& name,
                                                                                       ns::ErrorRef* error) {
    std::string query = "PRAGMA table_info(" + name + ")";
    sqlite3_stmt* statement = statementForQuery(query, error);
    if (!statement) return std::nullopt;
    std::vector<ColumnDescription> columns;
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        auto text = [&](int column) {
            const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
            return std::string(value ? value : "");
        };
        columns.push_back({text(1), text(2), sqlite3_column_int(statement, 3) != 0});
    }
    cleanUpStatement(statement, query);
    if (rc != SQLITE_DONE) {
        setDatabaseError(error, "table info");
        return std::nullopt;
    }
    return columns;
}

std::optional<std::vector<std::string>> QRVASqliteStore::columnsForTableWithName(const std::string& name,
                                                                                 ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!name.empty(), error, 1, "Received empty table name for get columns")) return std::nullopt;
    if (!QRVAAssertNotNull(sqliteHandle_, error, 2, "Get table columns failed. Database not open.")) {
        return std::nullopt;
    }
    auto info = tableInfo(name, error);
    if (!info) return std::nullopt;
    std::vector<std::string> names;
    for (const auto& column : *info) {
        if (!column.name.empty()) names.push_back(column.name);
    }
    return names;
}

std::optional<std::map<std::string, std::string>> QRVASqliteStore::columnInfoForTableWithName(const std::string& name,
                                                                                            ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!name.empty(), error, 1, "Received empty table name for column info")) return std::nullopt;
    if (!QRVAAssertNotNull(sqliteHandle_, error, 2, "Get table column info failed. Database not open.")) {
        return std::nullopt;
    }
    auto info = tableInfo(name, error);
    if (!info) return std::nullopt;
    std::map<std::string, std::string> types;
    for (const auto& column : *info) {
        if (!column.name.empty() && !column.type.empty()) types[column.name] = column.type;
    }
    return types;
}

// MARK: - Transactions

bool QRVASqliteStore::beginTransaction() {
    if (!sqliteHandle_) {
        monitor()->logWithLevel(1, 34013, "Begin transaction failed. Database not open");
        return false;
    }
    if (sqlite3_exec(sqliteHandle_, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    noteFailure();
    return false;
}

bool QRVASqliteStore::endTransaction() {
    if (!sqliteHandle_) {
        monitor()->logWithLevel(1, 34014, "End transaction failed. Database not open");
        return false;
    }
    // The commit is when the store writes: the program's end waits for it,
    // and a crash test can end the process just before it.
    ns::StoreWrite write("analytics commit");
    if (write.failure()) {
        failedByTheGate_ = ns::storeWrites::sqliteCodeFor(write.failure());
        // As SQLite does: a commit that could not write rolls the
        // transaction back, one that found the file busy leaves it open.
        if (failedByTheGate_ != SQLITE_BUSY) rollbackTransaction();
        return false;
    }
    return sqlite3_exec(sqliteHandle_, "END TRANSACTION", nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool QRVASqliteStore::rollbackTransaction() {
    if (!sqliteHandle_) {
        monitor()->logWithLevel(1, 34015, "Rollback transaction failed. Database not open");
        return false;
    }
    return sqlite3_exec(sqliteHandle_, "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK;
}

// A commit that fails busy leaves the transaction open, and then every
// later BEGIN fails until the process ends: close it here instead.
void QRVASqliteStore::rollbackIfStillInTransaction(const char* when) {
    if (!sqliteHandle_ || sqlite3_get_autocommit(sqliteHandle_)) return;
    int code = sqlite3_errcode(sqliteHandle_);
    bool rolledBack = rollbackTransaction();
    monitor()->logWithLevel(1, 34023, "Transaction left open. Rolled back after failure to", ns::Value(when),
                            ns::Value(code), ns::Value(rolledBack));
}

bool QRVASqliteStore::performTransaction(const std::function<bool()>& block) {
    if (!block) {
        monitor()->logWithLevel(1, 34006, "Received nil transaction block");
        return false;
    }
    if (!sqliteHandle_) {
        monitor()->logWithLevel(1, 34007, "Perform transaction failed. Database not open");
        return false;
    }
    lastFailureCode_ = SQLITE_OK;
    if (!beginTransaction()) {
        monitor()->logWithLevel(1, 34008, "Failed to begin transaction");
        return false;
    }
    bool commit = false;
    try {
        commit = block();
    } catch (...) {
        if (!rollbackTransaction()) {
            monitor()->logWithLevel(1, 34009, "Failed to rollback transaction after exception");
            rollbackIfStillInTransaction("roll back after exception");
        }
        throw;
    }
    if (!commit) {
        if (lastFailureCode_ == SQLITE_OK) noteFailure(SQLITE_ABORT);
        monitor()->logWithLevel(0, 34010, "Transaction failed");
        if (!rollbackTransaction()) {
            monitor()->logWithLevel(1, 34011, "Failed to rollback transaction");
            rollbackIfStillInTransaction("roll back");
        }
        return false;
    }
    if (!endTransaction()) {
        noteFailure();
        monitor()->logWithLevel(1, 34012, "Failed to end transaction");
        rollbackIfStillInTransaction("end");
        return false;
    }
    return true;
}

// MARK: - Errors

std::optional<std::string> QRVASqliteStore::lastErrorMessage() {
    if (!sqliteHandle_) {
        monitor()->logWithLevel(1, 34022, "Failed to get last error message. Database not open");
        return std::nullopt;
    }
    return std::string(sqlite3_errmsg(sqliteHandle_));
}

std::optional<std::string> QRVASqliteStore::errorDescriptionForDatabaseOperation(const std::string& operation) {
    if (!sqliteHandle_) return std::nullopt;
    return ns::format("Database operation \"%@\" failed with sqlite code %d and error message \"%@\"", operation,
                      sqlite3_errcode(sqliteHandle_), std::string(sqlite3_errmsg(sqliteHandle_)));
}

std::string QRVASqliteStore::monitorContextForDatabaseOperation(const std::string& operation) {
    const auto& files = ns::FileManager::defaultManager();
    // The platform keeps no locked state for protected data, so a file whose
    // attributes can be read counts as available.
    std::string protection = files.attributesOfItem(databasePath_) ? "A" : "";
    std::string freeSpace;
    if (auto bytes = files.systemFreeSize(folderOf(databasePath_))) {
        double mebibytes = double(*bytes) / double(1 << 20);
        freeSpace = mebibytes < 1 ? "-1" : std::to_string(int(std::floor(std::log10(mebibytes))));
    }
    return ns::format("%@,%d,%@,%@", operation.empty() ? std::string("Unknown operation") : operation,
                      sqliteHandle_ ? sqlite3_errcode(sqliteHandle_) : SQLITE_CANTOPEN, protection, freeSpace);
}

void QRVASqliteStore::setDatabaseError(ns::ErrorRef* error, const std::string& operation) {
    noteFailure();
    if (!error) return;
    std::string description = errorDescriptionForDatabaseOperation(operation).value_or(
        ns::format("Database operation \"%@\" failed: database not open", operation));
    QRVASetErrorWithMonitorContext(error, 3, description, monitorContextForDatabaseOperation(operation));
}
