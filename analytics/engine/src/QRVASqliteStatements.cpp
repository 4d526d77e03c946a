// The store's statements and what is built on them: preparing, caching by
// text and binding values, and the records written and queries read through
// them. The connection and the tables (opening, schema, transactions,
// errors) are QRVASqliteStore.cpp.
#include <sqlite3.h>

#include <algorithm>
#include <cctype>

#include "analytics/QRVAMonitor.h"
#include "analytics/QRVASqliteStore.h"
#include "analytics/QRVAUtilities.h"
#include "platform/format.h"
#include "platform/no_destructor.h"
#include "platform/store_writes.h"

namespace {

std::shared_ptr<QRVAMonitor> monitor() {
    return QRVAMeasurementMonitor();
}

bool containsWhere(const std::string& text) {
    constexpr std::string_view kWhere = "where";
    return std::search(text.begin(), text.end(), kWhere.begin(), kWhere.end(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           }) != text.end();
}

// Values a record may hold; anything else (dates, containers, objects, and
// unsigned numbers past int64) has no storage class to go to.
bool isStorableValue(const ns::Value& value) {
    switch (value.type()) {
        case ns::Value::Type::Null:
        case ns::Value::Type::Bool:
        case ns::Value::Type::Int:
        case ns::Value::Type::Double:
        case ns::Value::Type::String:
        case ns::Value::Type::Data:
            return true;
        default:
            return false;
    }
}

// Blobs and texts are copied by SQLite: the values are often temporaries of
// the caller, gone before the statement is reset.
int bindOne(sqlite3_stmt* statement, int index, const ns::Value& value) {
    switch (value.type()) {
        case ns::Value::Type::Null:
            return sqlite3_bind_null(statement, index);
        case ns::Value::Type::Bool:
            return sqlite3_bind_int64(statement, index, value.asBool() ? 1 : 0);
        case ns::Value::Type::Int:
            return sqlite3_bind_int64(statement, index, value.asInt());
        case ns::Value::Type::Double:
            return sqlite3_bind_double(statement, index, value.asDouble());
        case ns::Value::Type::String: {
            const std::string& text = value.asString();
            return sqlite3_bind_text64(statement, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        }
        case ns::Value::Type::Data: {
            const ns::Data& data = value.asData();
            // An empty vector may have no storage, and a null pointer would
            // bind NULL rather than an empty blob.
            if (data.empty()) return sqlite3_bind_zeroblob(statement, index, 0);
            return sqlite3_bind_blob64(statement, index, data.data(), data.size(), SQLITE_TRANSIENT);
        }
        default:
            return SQLITE_MISMATCH;
    }
}

}  // namespace

// MARK: - Statements

sqlite3_stmt* QRVASqliteStore::prepareSQL(const std::string& sql, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!sql.empty(), error, 1, "Received empty SQL string to prepare")) return nullptr;
    if (!QRVAAssertNotNull(sqliteHandle_, error, 2, "Prepare SQL failed. Database not open.")) return nullptr;
    sqlite3_stmt* statement = nullptr;
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v2(sqliteHandle_, sql.c_str(), int(sql.size() + 1), &statement, &tail);
    if (rc != SQLITE_OK) {
        setDatabaseError(error, "prepare statement");
        sqlite3_finalize(statement);
        return nullptr;
    }
    if (tail && tail < sql.c_str() + sql.size()) {
        sqlite3_finalize(statement);
        QRVASetError(error, 1, "Query contained more than one SQL statement.");
        return nullptr;
    }
    if (!statement) QRVASetError(error, 1, "Received empty SQL string to prepare");
    return statement;
}

sqlite3_stmt* QRVASqliteStore::statementForQuery(const std::string& query, ns::ErrorRef* error) {
    return statementForQuery(query, {}, error);
}

sqlite3_stmt* QRVASqliteStore::statementForQuery(const std::string& query, const ns::Array& parameterValues,
                                                 ns::ErrorRef* error) {
    if (!QRVAAssertNotNull(sqliteHandle_, error, 2, "Statement for query failed. Database not open.")) {
        return nullptr;
    }
    bool parameterised = query.find('?') != std::string::npos;
    if (!QRVAAssertTrue(!parameterised || !parameterValues.empty(), error, 1, "Received empty parameters")) {
        return nullptr;
    }
    sqlite3_stmt* statement = cachedStatement(query, error);
    if (!statement) return nullptr;
    if (!parameterValues.empty() && !bindValues(parameterValues, statement, error)) {
        cleanUpStatement(statement, query);
        return nullptr;
    }
    return statement;
}

sqlite3_stmt* QRVASqliteStore::cachedStatement(const std::string& query, ns::ErrorRef* error) {
    if (auto cached = statementCache_.find(query); cached != statementCache_.end()) return cached->second;
    sqlite3_stmt* statement = prepareSQL(query, error);
    if (!statement) return nullptr;
    // A text with literal values after WHERE is never cached, so the cache
    // cannot grow with the data.
    if (query.find('?') != std::string::npos || !containsWhere(query)) statementCache_.emplace(query, statement);
    return statement;
}

void QRVASqliteStore::cleanUpStatement(sqlite3_stmt* statement, const std::string& query) {
    if (!statement) return;
    auto cached = statementCache_.find(query);
    if (cached != statementCache_.end() && cached->second == statement) {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
        return;
    }
    if (cached != statementCache_.end()) {
        monitor()->logWithLevel(4, 34016, "Statement is not the same one in the cache");
    }
    // Only the cache's own statements are kept; any other one is the
    // caller's, and nothing else would ever finalize it.
    for (const auto& [text, held] : statementCache_) {
        if (held == statement) {
            sqlite3_reset(statement);
            sqlite3_clear_bindings(statement);
            return;
        }
    }
    sqlite3_finalize(statement);
}

bool QRVASqliteStore::executeSQL(const std::string& sql, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!sql.empty(), error, 1, "Received empty SQL string to execute")) return false;
    if (!QRVAAssertNotNull(sqliteHandle_, error, 2, "Execute SQL failed. Database not open.")) return false;
    sqlite3_stmt* statement = prepareSQL(sql, error);
    if (!statement) return false;
    return executeSQLStatement(statement, error);
}

bool QRVASqliteStore::executeSQLStatement(sqlite3_stmt* statement, ns::ErrorRef* error) {
    if (!QRVAAssertNotNull(statement, error, 1, "Execute SQL statement failed. Statement is NULL.")) return false;
    if (!QRVAAssertNotNull(sqliteHandle_, error, 2, "Execute SQL statement failed. Database not open.")) {
        sqlite3_finalize(statement);
        return false;
    }
    int rc = stepStatement(statement);
    if (rc != SQLITE_DONE) setDatabaseError(error, "execute statement");
    sqlite3_finalize(statement);
    return rc == SQLITE_DONE;
}

bool QRVASqliteStore::bindValues(const ns::Array& values, sqlite3_stmt* statement, ns::ErrorRef* error) {
    if (!QRVAAssertNotNull(statement, error, 1, "Failed to bind to NULL statement")) return false;
    sqlite3_clear_bindings(statement);
    bool ok = true;
    for (size_t i = 0; i < values.size(); ++i) {
        if (bindOne(statement, int(i + 1), values[i]) != SQLITE_OK) {
            if (ok) setDatabaseError(error, "bind values");
            ok = false;
        }
    }
    return ok;
}

std::optional<ns::Value> QRVASqliteStore::valueAtColumn(int column, sqlite3_stmt* statement) {
    if (!statement) return std::nullopt;
    switch (sqlite3_column_type(statement, column)) {
        case SQLITE_INTEGER:
            return ns::Value(int64_t(sqlite3_column_int64(statement, column)));
        case SQLITE_FLOAT:
            return ns::Value(sqlite3_column_double(statement, column));
        case SQLITE_TEXT: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
            return ns::Value(std::string(text ? text : "", size_t(sqlite3_column_bytes(statement, column))));
        }
        case SQLITE_BLOB: {
            const auto* bytes = static_cast<const uint8_t*>(sqlite3_column_blob(statement, column));
            if (!bytes) return std::nullopt;
            return ns::Value(ns::Data(bytes, bytes + sqlite3_column_bytes(statement, column)));
        }
        default:
            return ns::Value();
    }
}

int QRVASqliteStore::stepStatement(sqlite3_stmt* statement) {
    if (sqlite3_get_autocommit(sqliteHandle_) == 0 || sqlite3_stmt_readonly(statement)) return sqlite3_step(statement);
    ns::StoreWrite write("analytics commit");
    int rc;
    if (write.failure()) {
        failedByTheGate_ = ns::storeWrites::sqliteCodeFor(write.failure());
        rc = failedByTheGate_;
    } else {
        rc = sqlite3_step(statement);
    }
    // A write with no transaction around it is a commit of its own: one that
    // fails is said here, whatever its caller makes of it.
    if (rc != SQLITE_DONE && rc != SQLITE_ROW) {
        monitor()->logWithLevel(4, 34027, "Failed to write to database. Code, error", ns::Value(int64_t(rc)),
                                ns::Value(std::string(sqlite3_errstr(rc))));
    }
    return rc;
}

// MARK: - Records and queries

bool QRVASqliteStore::runWriteStatement(const std::string& sql, const ns::Array& values,
                                        const std::string& operation, ns::ErrorRef* error) {
    sqlite3_stmt* statement = statementForQuery(sql, values, error);
    if (!statement) return false;
    int rc = stepStatement(statement);
    if (rc != SQLITE_DONE) setDatabaseError(error, operation);
    cleanUpStatement(statement, sql);
    return rc == SQLITE_DONE;
}

std::optional<int64_t> QRVASqliteStore::rowCountForTableWithName(const std::string& name, ns::ErrorRef* error) {
    return rowCountForTableWithName(name, "", ns::Value(), error);
}

std::optional<int64_t> QRVASqliteStore::rowCountForTableWithName(const std::string& name,
                                                                 const std::string& columnName,
                                                                 const ns::Value& columnValue, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!name.empty(), error, 1, "Received empty table name for row count")) return std::nullopt;
    if (!QRVAAssertNotNull(sqliteHandle_, error, 2, "Row count failed. Database not open.")) return std::nullopt;
    std::string sql = "SELECT count(1) FROM " + name;
    ns::Array values;
    if (!columnName.empty() && !columnValue.isNull()) {
        sql += " WHERE " + columnName + "=?";
        values.push_back(columnValue);
    }
    sqlite3_stmt* statement = statementForQuery(sql, values, error);
    if (!statement) return std::nullopt;
    std::optional<int64_t> count;
    if (sqlite3_step(statement) == SQLITE_ROW) {
        count = sqlite3_column_int64(statement, 0);
    } else {
        setDatabaseError(error, "row count");
    }
    cleanUpStatement(statement, sql);
    return count;
}

bool QRVASqliteStore::upsertRecord(const QRVASqliteRecord& record, const std::string& table, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!record.empty(), error, 1, "Received empty record for upsert")) return false;
    if (!QRVAAssertTrue(!table.empty(), error, 1, "Received empty table name for upsert")) return false;
    if (!QRVAAssertNotNull(sqliteHandle_, error, 2, "Upsert record failed. Database not open.")) return false;
    std::string columns;
    std::string places;
    columns.reserve(record.size() * 24);
    places.reserve(record.size() * 3);
    for (const auto& [column, value] : record) {
        if (!isStorableValue(value)) {
            monitor()->logWithLevel(4, 34020, "Record has value of unexpected type", ns::Value(column));
            QRVASetError(error, 1, "Record has value of unexpected type");
            return false;
        }
        columns += column + ", ";
        places += "?, ";
    }
    columns.resize(columns.size() - 2);
    places.resize(places.size() - 2);
    std::string sql = "INSERT OR REPLACE INTO " + table + " (" + columns + ") VALUES (" + places + ");";
    sqlite3_stmt* statement = cachedStatement(sql, error);
    if (!statement) return false;
    int bound = SQLITE_OK;
    for (size_t i = 0; i < record.size() && bound == SQLITE_OK; ++i) {
        bound = bindOne(statement, int(i + 1), record[i].second);
    }
    int rc = bound == SQLITE_OK ? stepStatement(statement) : bound;
    if (rc != SQLITE_DONE) setDatabaseError(error, bound == SQLITE_OK ? "upsert record" : "bind values");
    cleanUpStatement(statement, sql);
    return rc == SQLITE_DONE;
}

bool QRVASqliteStore::updateRecord(const QRVASqliteRecord& record, const std::string& table,
                                   const std::string& columnName, const ns::Value& columnValue, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!record.empty(), error, 1, "Empty record for update")) return false;
    if (!QRVAAssertTrue(!table.empty(), error, 1, "Empty table name for update")) return false;
    if (!QRVAAssertTrue(!columnName.empty(), error, 1, "Empty column name for update")) return false;
    if (!QRVAAssertNotNil(columnValue, error, 1, "Nil column value for update")) return false;
    if (!QRVAAssertNotNull(sqliteHandle_, error, 2, "Update record failed. Database not open.")) return false;
    std::string assignments;
    ns::Array values;
    values.reserve(record.size() + 1);
    for (const auto& [column, value] : record) {
        if (!isStorableValue(value)) {
            monitor()->logWithLevel(4, 34021, "Record has value of unexpected type (update)", ns::Value(column));
            QRVASetError(error, 1, "Failed to bind parameter of unexpected type to update statement");
            return false;
        }
        assignments += column + "=?,";
        values.push_back(value);
    }
    if (!QRVAAssertTrue(isStorableValue(columnValue), error, 1,
                        "Failed to bind parameter of unexpected type to update statement")) {
        return false;
    }
    assignments.pop_back();
    values.push_back(columnValue);
    return runWriteStatement("UPDATE " + table + " SET " + assignments + " WHERE " + columnName + "=?", values,
                             "update record", error);
}

bool QRVASqliteStore::deleteRecordFromTableWithName(const std::string& table, const std::string& columnName,
                                                    const ns::Value& columnValue, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!table.empty(), error, 1, "Received empty table name for delete record")) return false;
    if (!QRVAAssertTrue(!columnName.empty(), error, 1, "Received empty column for delete record")) return false;
    if (!QRVAAssertNotNil(columnValue, error, 1, "Received nil value for delete record")) return false;
    if (!QRVAAssertNotNull(sqliteHandle_, error, 2, "Delete record failed. Database not open.")) return false;
    return runWriteStatement("DELETE FROM " + table + " WHERE " + columnName + "=?", {columnValue}, "delete record",
                             error);
}

std::optional<int64_t> QRVASqliteStore::deleteRecordsFromTableWithName(const std::string& table,
                                                                       const std::string& condition,
                                                                       const ns::Array& parameterValues,
                                                                       ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!table.empty(), error, 1, "Received empty table name for delete record")) return std::nullopt;
    if (!QRVAAssertTrue(!condition.empty(), error, 1, "Received empty condition for delete record")) {
        return std::nullopt;
    }
    if (!QRVAAssertNotNull(sqliteHandle_, error, 2, "Delete records with condition failed. Database not open.")) {
        return std::nullopt;
    }
    if (!runWriteStatement("DELETE FROM " + table + " WHERE " + condition, parameterValues,
                           "delete records with condition", error)) {
        return std::nullopt;
    }
    return sqlite3_changes(sqliteHandle_);
}

bool QRVASqliteStore::deleteAllRecordsFromTableWithName(const std::string& table, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!table.empty(), error, 1, "Received empty table name for delete all records")) return false;
    if (!QRVAAssertNotNull(sqliteHandle_, error, 2, "Delete all records failed. Database not open.")) return false;
    return runWriteStatement("DELETE FROM " + table, {}, "delete all records", error);
}

std::optional<std::vector<QRVASqliteRow>> QRVASqliteStore::recordsForQuery(const std::string& query,
                                                                           const ns::Array& parameterValues,
                                                                           ns::ErrorRef* error) {
    static const ns::NoDestructor<QRVASqliteRowFilter> kEveryRow([](size_t, const QRVASqliteRow&) { return true; });
    return recordsForQuery(query, parameterValues, error, *kEveryRow);
}

std::optional<std::vector<QRVASqliteRow>> QRVASqliteStore::recordsForQuery(const std::string& query,
                                                                           const ns::Array& parameterValues,
                                                                           ns::ErrorRef* error,
                                                                           const QRVASqliteRowFilter& filter) {
    if (!QRVAAssertTrue(!query.empty(), error, 1, "Received empty query for records for query")) return std::nullopt;
    if (!QRVAAssertTrue(bool(filter), error, 1, "Received empty filter for selecting records")) return std::nullopt;
    if (!QRVAAssertNotNull(sqliteHandle_, error, 2, "Query records failed. Database not open.")) return std::nullopt;
    bool isSelect = query.size() >= 6 && std::equal(query.begin(), query.begin() + 6, "select", [](char a, char b) {
                        return std::tolower(static_cast<unsigned char>(a)) == b;
                    });
    if (!QRVAAssertTrue(isSelect, error, 1, "Received invalid select query")) return std::nullopt;
    sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
    if (!statement) return std::nullopt;

    std::vector<QRVASqliteRow> rows;
    size_t read = 0;
    int columns = sqlite3_column_count(statement);
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        ++read;
        QRVASqliteRow row;
        for (int i = 0; i < columns; ++i) {
            const char* name = sqlite3_column_name(statement, i);
            if (!name) {
                monitor()->logWithLevel(4, 34003, "Failed to get column name");
                continue;
            }
            auto value = valueAtColumn(i, statement);
            if (!value) {
                monitor()->logWithLevel(4, 34004, "Value is nil for column", ns::Value(name));
                continue;
            }
            row.insert_or_assign(name, std::move(*value));
        }
        if (!filter(rows.size(), row)) {
            rc = SQLITE_DONE;
            break;
        }
        rows.push_back(std::move(row));
    }
    // A step that fails part-way (a damaged page, an I/O error) must not
    // pass for the end of the rows.
    if (rc != SQLITE_DONE) {
        setDatabaseError(error, "query records");
        cleanUpStatement(statement, query);
        return std::nullopt;
    }
    cleanUpStatement(statement, query);
    if (read > 0 && rows.empty()) {
        monitor()->logWithLevel(4, 34005, "Database contains records that were all filtered out");
    }
    return rows;
}

ns::Value QRVASqliteStore::numberForQuery(const std::string& query, const ns::Array& parameterValues,
                                          ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!query.empty(), error, 1, "Received empty query to get numeric result")) return {};
    if (!QRVAAssertNotNull(sqliteHandle_, error, 2, "Query numeric result failed. Database not open.")) return {};
    sqlite3_stmt* statement = statementForQuery(query, parameterValues, error);
    if (!statement) return {};
    ns::Value result;
    if (sqlite3_step(statement) == SQLITE_ROW) {
        switch (sqlite3_column_type(statement, 0)) {
            case SQLITE_NULL:
                break;
            case SQLITE_INTEGER:
                result = ns::Value(int64_t(sqlite3_column_int64(statement, 0)));
                break;
            case SQLITE_FLOAT:
                result = ns::Value(sqlite3_column_double(statement, 0));
                break;
            default:
                QRVASetError(error, 1, "Found result that was not numeric");
        }
    } else {
        setDatabaseError(error, "query numeric result");
    }
    cleanUpStatement(statement, query);
    return result;
}
