// The table half of the store: creating tables from column lists, adding
// the columns later versions added, and rebuilding a table whose column
// changed type, rows kept.
#include <sqlite3.h>

#include <set>

#include "analytics/QRVAMonitor.h"
#include "analytics/QRVASqliteStore.h"

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
    if (!QRVAAssertTrue(!columns->empty(), error, 2, "Table has no columns")) return std::nullopt;
    std::set<std::string> existing;
    for (const auto& column : *columns) existing.insert(column.name);
    for (const auto& column : requiredColumnNames) {
        if (!QRVAAssertTrue(existing.count(column) > 0, error, 2, "Table is missing required columns")) return false;
    }
    std::set<std::string> known(requiredColumnNames.begin(), requiredColumnNames.end());
    for (const auto& [column, alter] : addOnColumns) {
        known.insert(column);
        if (!existing.count(column) && !executeSQL(alter, error)) return false;
    }
    for (const auto& column : *columns) {
        if (!known.count(column.name) &&
            !QRVAAssertTrue(!column.notNull, error, 2, "Table contains unknown non-optional columns")) {
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
    static const std::string kQuery = "SELECT name FROM sqlite_master WHERE type='table' AND name=?";
    sqlite3_stmt* statement = statementForQuery(kQuery, {ns::Value(name)}, error);
    if (!statement) return std::nullopt;
    std::optional<bool> exists;
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) {
        exists = rc == SQLITE_ROW;
    } else {
        setDatabaseError(error, "table exists");
    }
    cleanUpStatement(statement, kQuery);
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
