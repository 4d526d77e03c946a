#pragma once
// The analytics store's table layer: one SQLite file, opened and checked
// (set aside and replaced by an empty one when it is damaged), tables created,
// extended and rebuilt from column lists, records written as INSERT OR
// REPLACE / UPDATE / DELETE, queries read into row dictionaries, prepared
// statements cached by their text, work wrapped in exclusive transactions.
// It knows no table of its own: `QRVADatabase` names every table and column
// and writes every query.
//
//     auto store = QRVASqliteStore::initWithDatabasePath(path);  // nullptr: no usable file
//     ns::ErrorRef error;
//     store->performTransaction([&] {
//         return store->upsertRecord({{"name", "_s"}, {"count", 1}}, "events", &error);
//     });
//
// Failures come back as analytics errors (kQRVAErrorDomain) in the caller's
// error slot: code 1 a bad argument, 2 the store is not open or a table
// fails a structural check, 3 SQLite refused (description "Database
// operation "<op>" failed with sqlite code <n> and error message "<msg>"",
// and a monitor context "<op>,<code>,<protection>,<free space decade>").
// Failures without a slot are logged through the analytics monitor
// (34000-34022). Nothing is raised, except that an exception thrown by a
// transaction block is thrown again after the rollback.
//
// Record values: strings (text), numbers (a double stays REAL, integers and
// booleans INTEGER), data (BLOB) and null (NULL); anything else refuses the
// record. Row values come back by SQLite's storage class the same way; a
// zero-length blob has no entry in its row.
//
// A lock another connection holds (another program on the same file) is
// waited for at most kQRVASqliteBusyTimeoutMilliseconds at each statement,
// then the statement fails busy and the file is kept: only damage
// (`isDamage`) sets a file aside.
//
// Every commit (a transaction's, or a write statement's outside one) and
// every file it moves or removes holds an ns::StoreWrite ("analytics
// commit", "analytics set aside", "analytics delete"): the program's end
// waits for it, and a crash test can end the process just before it.
//
// Threads: no lock and no queue of its own. Its owner keeps it to one queue
// at a time (the engine's worker queue); statements in the cache belong to
// the one connection and are reset after each use.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/value.h"

struct sqlite3;
struct sqlite3_stmt;

// Ordered (column name, declaration) pairs. A pair named kQRVAPrimaryKeyTag
// is a table constraint: its declaration is the parenthesised key list.
using QRVAColumnInfo = std::vector<std::pair<std::string, std::string>>;
// Column name -> the declaration it must now have.
using QRVAModifyColumnInfo = std::map<std::string, std::string>;
// A record to write: (column, value) in the order the statement lists them.
using QRVASqliteRecord = std::vector<std::pair<std::string, ns::Value>>;
// A row read back: column name as SQLite reports it -> value.
using QRVASqliteRow = ns::Dictionary;
// Offered each row with the number of rows accepted so far; false ends the
// query without that row.
using QRVASqliteRowFilter = std::function<bool(size_t index, const QRVASqliteRow& row)>;

inline constexpr const char* kQRVAPrimaryKeyTag = "PRIMARY KEY";

// How long a statement waits for a lock another connection holds. Its
// caller is the engine's worker queue, which waits with it, and everything
// queued behind it: another writer's transactions last milliseconds, so two
// seconds outlast any of them on a slow disk while keeping a stuck holder
// from stalling the queue. A lock held longer is a holder that will not let
// go soon; the engine keeps its work and tries again later instead.
inline constexpr int kQRVASqliteBusyTimeoutMilliseconds = 2000;

// A row's value for the column; null when the row has no such entry.
inline const ns::Value& QRVARowValue(const QRVASqliteRow& row, std::string_view column) {
    auto it = row.find(column);
    return it == row.end() ? ns::nullValue() : it->second;
}

class QRVASqliteStore {
public:
    // Opens (creating folders and the file as needed) and validates the
    // file; a damaged one (see isDamage) is set aside
    // (closeAndSetAsideDamagedDatabase) and made again once. nullptr for an
    // empty path (34000), for a file that could not be opened or read for
    // now and is kept as it is (34026: locked elsewhere, no permission, a
    // full disk, an I/O error), when a damaged file cannot be moved out of
    // the way (34001) or when the second attempt fails too (34002).
    static std::shared_ptr<QRVASqliteStore> initWithDatabasePath(const std::string& path);
    // Whether a failure with this SQLite result code (primary or extended)
    // means the file is damaged: SQLITE_CORRUPT and SQLITE_NOTADB, and
    // nothing else. A lock held elsewhere, a permission, a full disk or an
    // I/O error passes, or is the phone's and not the file's, and setting
    // aside a sound file would lose what it holds while its other user
    // writes into the moved file.
    static bool isDamage(int resultCode);
    // Whether it means another connection holds the lock (SQLITE_BUSY,
    // SQLITE_LOCKED): the work can be tried again later.
    static bool isLockedElsewhere(int resultCode);
    // The extended SQLite result code of the last failure the store met
    // while opening, validating, laying out tables or beginning a
    // transaction (SQLITE_CORRUPT for a failed integrity check or a table
    // that cannot take its layout; SQLITE_CANTOPEN for a file or folder the
    // platform refused); SQLITE_OK when the last of them succeeded.
    int lastFailureCode() const { return lastFailureCode_; }
    // Starts lastFailureCode over (SQLITE_OK), so that it tells what the
    // statements after it met.
    void forgetLastFailure() { lastFailureCode_ = 0; }
    explicit QRVASqliteStore(std::string path);
    ~QRVASqliteStore();
    QRVASqliteStore(const QRVASqliteStore&) = delete;
    QRVASqliteStore& operator=(const QRVASqliteStore&) = delete;

    const std::string& databasePath() const { return databasePath_; }
    bool isOpen() const { return sqliteHandle_ != nullptr; }
    // The connection, for tests that look at it from the side.
    sqlite3* sqliteHandle() const { return sqliteHandle_; }

    // MARK: Lifecycle
    bool openAndValidateDatabase(ns::ErrorRef* error);
    bool validateDatabaseWithError(ns::ErrorRef* error);
    void closeDatabase();
    // Closes, then removes the file with its "-journal", "-wal" and "-shm"
    // companions: a journal left beside a new file of the same name would be
    // rolled back into it. A missing file is success.
    bool closeAndDeleteDatabase(ns::ErrorRef* error = nullptr);
    void finalizeAndClearStatements();
    // Removes a database file and its companions (the store need not exist).
    static bool deleteDatabaseFiles(const std::string& path, ns::ErrorRef* error);
    // Closes, then, when the last failure is damage (isDamage of
    // lastFailureCode), keeps the file beside itself (setAsideDatabaseFiles)
    // and logs the error 34024 with `problem`; a file that cannot be moved
    // is deleted instead (34025), and one that is not there leaves only its
    // companions to delete. A file whose failure is not damage stays where
    // it is (34026, false). True when the path is free for a new file.
    bool closeAndSetAsideDamagedDatabase(const std::string& problem, ns::ErrorRef* error = nullptr);
    // Moves the file aside as FileManager::setAside does ("<path>.damaged",
    // "-2", ..., never over an earlier copy) and its "-journal" and "-wal"
    // under the copy's name ("<copy>-journal"), where SQLite finds them when
    // the copy is opened; "-shm" goes. The copy's path, or nullopt.
    static std::optional<std::string> setAsideDatabaseFiles(const std::string& path, ns::ErrorRef* error);

    // MARK: Tables
    bool ensureTableWithName(const std::string& name, const QRVAColumnInfo& elementaryColumnInfo,
                             const QRVAColumnInfo& addOnColumnInfo, ns::ErrorRef* error);
    // `addOnColumns`: (column name, its ALTER TABLE text), added in order.
    bool ensureTableWithName(const std::string& name, const std::string& createSQL,
                             const std::vector<std::string>& requiredColumnNames,
                             const std::vector<std::pair<std::string, std::string>>& addOnColumns,
                             ns::ErrorRef* error);
    // Ensures, then rebuilds the table with its rows when a column named in
    // `modifyColumnInfo` has another declared type in the file.
    bool ensureTableWithName(const std::string& name, const QRVAColumnInfo& elementaryColumnInfo,
                             const QRVAColumnInfo& addOnColumnInfo, const QRVAModifyColumnInfo& modifyColumnInfo,
                             ns::ErrorRef* error);
    // nullopt on a bad argument or a table without columns.
    std::optional<bool> validateTableWithName(const std::string& name,
                                              const std::vector<std::string>& requiredColumnNames,
                                              const std::vector<std::pair<std::string, std::string>>& addOnColumns,
                                              ns::ErrorRef* error);
    bool ensureSchemaOfTableWithName(const std::string& name, const QRVAColumnInfo& elementaryColumnInfo,
                                     const QRVAColumnInfo& addOnColumnInfo, ns::ErrorRef* error);
    bool dropTableWithName(const std::string& name, ns::ErrorRef* error);
    bool renameTable(const std::string& oldName, const std::string& newName, ns::ErrorRef* error);
    bool copyContentsFromTable(const std::string& source, const std::string& destination, ns::ErrorRef* error);
    std::optional<bool> tableExists(const std::string& name, ns::ErrorRef* error);
    std::optional<std::vector<std::string>> columnsForTableWithName(const std::string& name, ns::ErrorRef* error);
    // Column name -> declared type.
    std::optional<std::map<std::string, std::string>> columnInfoForTableWithName(const std::string& name,
                                                                                ns::ErrorRef* error);

    // MARK: Records and queries
    std::optional<int64_t> rowCountForTableWithName(const std::string& name, ns::ErrorRef* error);
    // Counts the rows whose column equals the value (all rows without a
    // column or with a null value).
    std::optional<int64_t> rowCountForTableWithName(const std::string& name, const std::string& columnName,
                                                    const ns::Value& columnValue, ns::ErrorRef* error);
    bool upsertRecord(const QRVASqliteRecord& record, const std::string& table, ns::ErrorRef* error);
    bool updateRecord(const QRVASqliteRecord& record, const std::string& table, const std::string& columnName,
                      const ns::Value& columnValue, ns::ErrorRef* error);
    bool deleteRecordFromTableWithName(const std::string& table, const std::string& columnName,
                                       const ns::Value& columnValue, ns::ErrorRef* error);
    // The number of rows deleted.
    std::optional<int64_t> deleteRecordsFromTableWithName(const std::string& table, const std::string& condition,
                                                          const ns::Array& parameterValues, ns::ErrorRef* error);
    bool deleteAllRecordsFromTableWithName(const std::string& table, ns::ErrorRef* error);
    // A SELECT's rows. A step that fails part-way is an error (code 3) and no
    // answer, never a short answer.
    std::optional<std::vector<QRVASqliteRow>> recordsForQuery(const std::string& query,
                                                              const ns::Array& parameterValues, ns::ErrorRef* error,
                                                              const QRVASqliteRowFilter& filter);
    std::optional<std::vector<QRVASqliteRow>> recordsForQuery(const std::string& query,
                                                              const ns::Array& parameterValues, ns::ErrorRef* error);
    // The first column of the first row: a number; null without an error for
    // SQL NULL; null with an error when no row comes back or on failure.
    ns::Value numberForQuery(const std::string& query, const ns::Array& parameterValues, ns::ErrorRef* error);

    // MARK: Transactions
    // BEGIN EXCLUSIVE; the block's true commits, false rolls back. A commit
    // that fails and leaves the transaction open is rolled back, so the
    // connection can begin again. Transactions do not nest. After a false,
    // lastFailureCode tells a lock held elsewhere (the block never ran) from
    // the rest.
    bool performTransaction(const std::function<bool()>& block);
    bool beginTransaction();
    bool endTransaction();
    bool rollbackTransaction();

    // MARK: Statements
    // Cached when the text has a "?" or no WHERE; hand it back to
    // cleanUpStatement with the same text.
    sqlite3_stmt* statementForQuery(const std::string& query, ns::ErrorRef* error);
    sqlite3_stmt* statementForQuery(const std::string& query, const ns::Array& parameterValues, ns::ErrorRef* error);
    void cleanUpStatement(sqlite3_stmt* statement, const std::string& query);
    // A new statement the caller owns (one statement per text).
    sqlite3_stmt* prepareSQL(const std::string& sql, ns::ErrorRef* error);
    bool executeSQL(const std::string& sql, ns::ErrorRef* error);
    // Steps once and finalizes; uncached statements only.
    bool executeSQLStatement(sqlite3_stmt* statement, ns::ErrorRef* error);
    bool bindValues(const ns::Array& values, sqlite3_stmt* statement, ns::ErrorRef* error);
    // The column's value; nullopt for a null statement or a zero-length blob.
    std::optional<ns::Value> valueAtColumn(int column, sqlite3_stmt* statement);

    // MARK: Errors
    std::optional<std::string> lastErrorMessage();
    std::optional<std::string> errorDescriptionForDatabaseOperation(const std::string& operation);
    std::string monitorContextForDatabaseOperation(const std::string& operation);
    // Code 3 with the connection's code and message.
    void setDatabaseError(ns::ErrorRef* error, const std::string& operation);

    // How many statements the cache holds (tests).
    size_t cachedStatementCountForTesting() const { return statementCache_.size(); }

private:
    struct ColumnDescription {
        std::string name;
        std::string type;
        bool notNull = false;
    };
    std::optional<std::vector<ColumnDescription>> tableInfo(const std::string& name, ns::ErrorRef* error);
    // The cached statement for the text, or a new one (cached when the text
    // has a "?" or no WHERE); no checks, nothing bound.
    sqlite3_stmt* cachedStatement(const std::string& query, ns::ErrorRef* error);
    bool runWriteStatement(const std::string& sql, const ns::Array& values, const std::string& operation,
                           ns::ErrorRef* error);
    bool rebuildTable(const std::string& name, const QRVAColumnInfo& elementaryColumnInfo,
                      const QRVAColumnInfo& addOnColumnInfo, ns::ErrorRef* error);
    void rollbackIfStillInTransaction(const char* when);
    // Steps a statement; one that writes outside a transaction commits by
    // itself, so it holds the store write while it runs.
    int stepStatement(sqlite3_stmt* statement);
    // Keeps the connection's failure (or `code` without one) for
    // lastFailureCode.
    void noteFailure(int code = 0);
    bool openHandle(ns::ErrorRef* error);

    sqlite3* sqliteHandle_ = nullptr;
    int lastFailureCode_ = 0;
    // The SQLite code of the last step the store-write gate made fail (a
    // failure point), which the connection itself never saw.
    int failedByTheGate_ = 0;
    std::unordered_map<std::string, sqlite3_stmt*> statementCache_;
    std::string databasePath_;
};
