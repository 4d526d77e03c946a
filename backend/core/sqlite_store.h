#pragma once
// What the back end's SQLite stores share: opening a store's file, running
// a statement text, a prepared statement finalized with its scope, and a
// transaction rolled back with it. Every failure throws std::runtime_error
// with SQLite's message.

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace backend {

// Opens (creating it and its folder) the database file for use from many
// threads, with a busy time-out; `what` names the store in errors.
inline sqlite3* openSqliteFile(const std::filesystem::path& file, const std::string& what) {
    std::error_code ec;
    if (file.has_parent_path()) std::filesystem::create_directories(file.parent_path(), ec);
    if (ec) throw std::runtime_error("cannot create " + file.parent_path().string() + ": " + ec.message());
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        std::string message = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw std::runtime_error("cannot open " + what + " " + file.string() + ": " + message);
    }
    sqlite3_busy_timeout(db, 5000);
    return db;
}

inline void sqliteExec(sqlite3* db, const char* sql) {
    char* message = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : "unknown error";
        sqlite3_free(message);
        throw std::runtime_error(text);
    }
}

class SqliteStatement {
public:
    SqliteStatement(sqlite3* db, const char* sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            throw std::runtime_error(std::string("cannot prepare a query: ") + sqlite3_errmsg(db));
        }
    }
    ~SqliteStatement() { sqlite3_finalize(stmt_); }
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    SqliteStatement& bind(int index, const std::string& text) {
        check(sqlite3_bind_text(stmt_, index, text.data(), int(text.size()), SQLITE_TRANSIENT));
        return *this;
    }
    SqliteStatement& bindBlob(int index, std::string_view bytes) {
        check(sqlite3_bind_blob(stmt_, index, bytes.data(), int(bytes.size()), SQLITE_TRANSIENT));
        return *this;
    }
    SqliteStatement& bind(int index, int64_t value) {
        check(sqlite3_bind_int64(stmt_, index, value));
        return *this;
    }
    SqliteStatement& bind(int index, double value) {
        check(sqlite3_bind_double(stmt_, index, value));
        return *this;
    }
    // True while there is a row.
    bool step() {
        int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        throw std::runtime_error(std::string("query failed: ") + sqlite3_errmsg(db_));
    }
    // SQLITE_DONE, SQLITE_CONSTRAINT (for the caller to tell apart), or throws.
    int run() {
        int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_DONE || (rc & 0xff) == SQLITE_CONSTRAINT) return rc & 0xff;
        throw std::runtime_error(std::string("query failed: ") + sqlite3_errmsg(db_));
    }
    std::string text(int column) const {
        auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
        return p ? std::string(p, size_t(sqlite3_column_bytes(stmt_, column))) : std::string();
    }
    std::string blob(int column) const {
        auto* p = static_cast<const char*>(sqlite3_column_blob(stmt_, column));
        return p ? std::string(p, size_t(sqlite3_column_bytes(stmt_, column))) : std::string();
    }
    int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    double real(int column) const { return sqlite3_column_double(stmt_, column); }
    // Rows the last statement on the connection changed.
    int changes() const { return sqlite3_changes(db_); }

private:
    void check(int rc) {
        if (rc != SQLITE_OK) throw std::runtime_error(std::string("cannot bind a value: ") + sqlite3_errmsg(db_));
    }
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// An immediate transaction, rolled back at the end of its scope unless
// committed.
class SqliteTransaction {
public:
    explicit SqliteTransaction(sqlite3* db) : db_(db) { sqliteExec(db_, "BEGIN IMMEDIATE"); }
    ~SqliteTransaction() {
        if (!done_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    SqliteTransaction(const SqliteTransaction&) = delete;
    SqliteTransaction& operator=(const SqliteTransaction&) = delete;
    void commit() {
        sqliteExec(db_, "COMMIT");
        done_ = true;
    }

private:
    sqlite3* db_;
    bool done_ = false;
};

}  // namespace backend
