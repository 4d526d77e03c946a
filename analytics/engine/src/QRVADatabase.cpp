// The store's file, its eleven tables and their upgrades, the one
// app_metadata row, and the generic row operations the queries use.
#include "analytics/QRVADatabase.h"

#include <cmath>

#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVAUtilities.h"
#include "platform/clock.h"
#include "platform/format.h"

namespace {

struct TableSchema {
    const char* name;
    QRVAColumnInfo elementary;
    QRVAColumnInfo addOn;
    QRVAModifyColumnInfo modify;
};

const std::vector<TableSchema>& schema() {
    static const auto* tables = new std::vector<TableSchema>{
        {"app_metadata",
         {{"last_bundle_index", "INTEGER NOT NULL"}, {"last_bundle_end_timestamp", "REAL NOT NULL"}},
         {{"last_bundle_start_timestamp", "REAL"},
          {"day", "INTEGER"},
          {"daily_conversions_count", "INTEGER"},
          {"daily_events_count", "INTEGER"},
          {"daily_public_events_count", "INTEGER"},
          {"daily_error_events_count", "INTEGER"},
          {"remote_config_data", "BLOB"},
          {"remote_config_timestamp", "REAL"},
          {"daily_real_time_conversion_events_count", "INTEGER"}},
         {}},
        {"raw_events_metadata",
         {{"metadata_fingerprint", "INTEGER NOT NULL PRIMARY KEY"}, {"metadata", "BLOB NOT NULL"}},
         {},
         {}},
        // Files made before event times kept their fraction declare
        // timestamp INTEGER; the modify entry rebuilds them as REAL.
        {"raw_events",
         {{"name", "TEXT NOT NULL"},
          {"timestamp", "INTEGER NOT NULL"},
          {"metadata_fingerprint", "INTEGER NOT NULL"},
          {"data", "BLOB NOT NULL"}},
         {{"is_realtime", "INTEGER"}},
         {{"timestamp", "REAL NOT NULL"}}},
        {"events",
         {{"name", "TEXT NOT NULL PRIMARY KEY"},
          {"lifetime_count", "INTEGER NOT NULL"},
          {"current_bundle_count", "INTEGER NOT NULL"},
          {"last_fire_timestamp", "REAL NOT NULL"}},
         {},
         {}},
        {"user_attributes",
         {{"name", "TEXT NOT NULL PRIMARY KEY"}, {"set_timestamp", "REAL NOT NULL"}, {"value", "BLOB NOT NULL"}},
         {{"origin", "TEXT"}},
         {}},
        {"queue", {{"data", "BLOB NOT NULL"}, {"bundle_end_timestamp", "REAL NOT NULL"}}, {{"is_realtime", "INTEGER"}}, {}},
        {"event_filters",
         {{"audience_id", "INTEGER NOT NULL"},
          {"filter_id", "INTEGER NOT NULL"},
          {"event_name", "TEXT NOT NULL"},
          {"data", "BLOB NOT NULL"},
          {kQRVAPrimaryKeyTag, ns::format("(%@, %@)", "audience_id", "filter_id")}},
         {},
         {}},
        {"property_filters",
         {{"audience_id", "INTEGER NOT NULL"},
          {"filter_id", "INTEGER NOT NULL"},
          {"property_name", "TEXT NOT NULL"},
          {"data", "BLOB NOT NULL"},
          {kQRVAPrimaryKeyTag, ns::format("(%@, %@)", "audience_id", "filter_id")}},
         {},
         {}},
        {"audience_filter_values",
         {{"audience_id", "INTEGER NOT NULL PRIMARY KEY"}, {"current_results", "BLOB"}, {"previous_results", "BLOB"}},
         {},
         {}},
        {"purchase_transactions", {{"fingerprint", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
        {"conditional_properties",
         {{"name", "TEXT NOT NULL PRIMARY KEY"},
          {"origin", "TEXT NOT NULL"},
          {"value", "BLOB NOT NULL"},
          {"creation_timestamp", "REAL NOT NULL"},
          {"active", "INTEGER NOT NULL"},
          {"trigger_timeout", "REAL NOT NULL"},
          {"triggered_timestamp", "REAL NOT NULL"},
          {"time_to_live", "REAL NOT NULL"},
          {"trigger_event_name", "TEXT"},
          {"timed_out_event", "BLOB"},
          {"triggered_event", "BLOB"},
          {"expired_event", "BLOB"}},
         {},
         {}},
    };
    return *tables;
}

std::shared_ptr<QRVAMonitor> monitor() {
    return QRVAMeasurementMonitor();
}

std::optional<QRVASqliteRecord> appMetadataRecord(const QRVAAppMetadata& metadata) {
    return QRVASqliteRecord{{"rowid", "1"},
                            {"last_bundle_index", metadata.lastBundleIndex()},
                            {"last_bundle_start_timestamp", metadata.lastBundleStartTimestamp()},
                            {"last_bundle_end_timestamp", metadata.lastBundleEndTimestamp()}};
}

std::optional<QRVAAppMetadata> appMetadataFromRow(const QRVASqliteRow& row) {
    if (row.empty()) {
        monitor()->logWithLevel(4, 12007, "Received empty dictionary for getting app metadata");
        return std::nullopt;
    }
    return QRVAAppMetadata::initWithLastBundleIndex(int32_t(QRVARowValue(row, "last_bundle_index").intValue()),
                                                    QRVARowValue(row, "last_bundle_start_timestamp").doubleValue(0.0),
                                                    QRVARowValue(row, "last_bundle_end_timestamp").doubleValue());
}

}  // namespace

// MARK: - Lifecycle

std::shared_ptr<QRVADatabase> QRVADatabase::initWithDatabaseName(const std::string& name,
                                                                 std::shared_ptr<QRVAPersistedConfig> persistedConfig) {
    if (name.empty()) {
        monitor()->logWithLevel(1, 12000, "Received empty database name in init");
        return nullptr;
    }
    auto store = QRVASqliteStore::initWithDatabasePath(QRVAFilePathForDatabaseName(name));
    if (!store) {
        monitor()->logWithLevel(1, 12001, "Failed to open database");
        return nullptr;
    }
    auto database = std::make_shared<QRVADatabase>(store, std::move(persistedConfig));
    std::string problem;
    if (!database->ensureAllTables(&problem)) {
        monitor()->logWithLevel(1, 12002, "Failed to create or validate required database tables");
        // A file whose tables cannot take the layout is damaged for this
        // store: kept aside, closed first and with its journal (a connection
        // left writing to the moved file, or a journal beside the next file
        // of this name, would corrupt the fresh store the next attempt makes).
        // A layout that failed for a lock held elsewhere, a full disk or a
        // permission is no damage: the file is closed and kept.
        ns::ErrorRef moveError;
        if (!store->closeAndSetAsideDamagedDatabase(problem, &moveError) && moveError) {
            monitor()->logWithLevel(4, 12003, "Failed to delete old database file after failed validation. Error",
                                    QRVAErrorContext(moveError));
        }
        return nullptr;
    }
    if (!database->initializeAppMetadata()) {
        monitor()->logWithLevel(1, 12004, "Failed to initialize App Metadata table");
        return nullptr;
    }
    return database;
}

QRVADatabase::QRVADatabase(std::shared_ptr<QRVASqliteStore> store, std::shared_ptr<QRVAPersistedConfig> persistedConfig)
    : sqliteStore_(std::move(store)), persistedConfig_(std::move(persistedConfig)) {}

bool QRVADatabase::performTransaction(const std::function<bool()>& block) {
    return sqliteStore_->performTransaction(block);
}

bool QRVADatabase::ensureAllTables(std::string* problem) {
    for (const auto& table : schema()) {
        ns::ErrorRef error;
        if (!sqliteStore_->ensureTableWithName(table.name, table.elementary, table.addOn, table.modify, &error) &&
            error) {
            monitor()->logWithLevel(1, 12047, "Failed to ensure table. Table, error", ns::Value(table.name),
                                    QRVAErrorContext(error));
            if (problem) *problem = ns::format("table %@: %@", table.name, error->localizedDescription());
            return false;
        }
    }
    // Every event asks whether any raw event is real-time (the upload
    // schedule): a partial index holds the few that are. The newest time it
    // also asks for is kept by the connection instead (see
    // queryLatestRawEventTime): an index on the time cost each write to a
    // full store two more pages, the trimmed row's and the new row's. Speed
    // only: a store that cannot make or drop these still works.
    for (const char* sql : {"CREATE INDEX IF NOT EXISTS raw_events_realtime ON raw_events (is_realtime) "
                            "WHERE is_realtime = 1",
                            "DROP INDEX IF EXISTS raw_events_timestamp"}) {
        ns::ErrorRef error;
        if (!sqliteStore_->executeSQL(sql, &error)) {
            monitor()->logWithLevel(4, 12053, "Failed to make or drop an index; the store works without it. "
                                    "Statement, error", ns::Value(std::string(sql)), QRVAErrorContext(error));
        }
    }
    return true;
}

bool QRVADatabase::initializeAppMetadata() {
    return performTransaction([this] {
        ns::ErrorRef error;
        if (queryAppMetadata(&error)) return true;
        if (error) {
            monitor()->logWithLevel(1, 12005, "Failed to query app metadata");
            return false;
        }
        auto fresh = QRVAAppMetadata::initWithLastBundleIndex(0, 0.0, 0.0);
        if (!upsertDataType<QRVAAppMetadata>(&*fresh, "app_metadata", "rowid", "1", 1, &error, appMetadataRecord)) {
            monitor()->logWithLevel(1, 12006, "Unable to update the app metadata. Error", QRVAErrorContext(error));
            return false;
        }
        return true;
    });
}

// MARK: - Generic row operations

bool QRVADatabase::readAllRows(const std::string& table, int64_t tableLimit, ns::ErrorRef* error,
                               const RowVisitor& visit) {
    auto rows = sqliteStore_->recordsForQuery(
        ns::format("SELECT rowid, * FROM %@ ORDER BY rowid LIMIT %lld", table, (long long)tableLimit), {}, error);
    if (!rows) return false;
    for (const auto& row : *rows) visit(row);
    return true;
}

bool QRVADatabase::readRowsWhere(const std::string& table, const std::string& columnName,
                                 const ns::Value& columnValue, ns::ErrorRef* error, bool hasBlock,
                                 const RowVisitor& visit) {
    if (!QRVAAssertTrue(!table.empty(), error, 1, "Received empty table name to create data type from table")) {
        return false;
    }
    if (!QRVAAssertTrue(!columnName.empty(), error, 1, "Received empty column name to create data type from table")) {
        return false;
    }
    if (!QRVAAssertNotNil(columnValue, error, 1, "Received nil column value to create data type from table")) {
        return false;
    }
    if (!QRVAAssertTrue(hasBlock, error, 2, "Received nil block to create data type from table")) return false;
    auto rows = sqliteStore_->recordsForQuery(ns::format("SELECT rowid, * FROM %@ WHERE %@ = ?", table, columnName),
                                              {columnValue}, error);
    if (!rows) return false;
    size_t converted = 0;
    for (const auto& row : *rows) converted += visit(row) ? 1 : 0;
    return QRVAAssertTrue(rows->empty() || converted > 0, error, 2, "Failed to initialize data types from dictionaries");
}

bool QRVADatabase::insertMadeRecord(const std::string& table, ns::ErrorRef* error, const RecordMaker* maker) {
    if (!QRVAAssertTrue(!table.empty(), error, 1, "Received empty table name for inserting")) return false;
    if (!QRVAAssertNotNull(maker, error, 1, "Received nil block to create dictionary for inserting")) return false;
    auto record = (*maker)();
    if (!QRVAAssertTrue(record.has_value(), error, 2, "Failed to insert unknown data type")) return false;
    return sqliteStore_->upsertRecord(*record, table, error);
}

bool QRVADatabase::upsertMadeRecord(bool hasObject, const std::string& table, const std::string& columnName,
                                    const ns::Value& columnValue, int64_t tableLimit, ns::ErrorRef* error,
                                    const RecordMaker* maker) {
    if (!QRVAAssertTrue(hasObject, error, 1, "Received empty data type to upsert")) return false;
    if (!QRVAAssertTrue(!table.empty(), error, 1, "Received empty table name for checking upsert")) return false;
    if (!QRVAAssertNotNull(maker, error, 1, "Received nil block to create dictionary for upserting")) return false;
    auto existing = sqliteStore_->rowCountForTableWithName(table, columnName, columnValue, error);
    if (!existing) return false;
    if (*existing == 0) {
        auto count = sqliteStore_->rowCountForTableWithName(table, error);
        if (!count) return false;
        if (!QRVAAssertTrue(*count < tableLimit, error, 2, "Failed to insert data type. Table is full")) return false;
    }
    auto record = (*maker)();
    if (!QRVAAssertTrue(record.has_value(), error, 2, "Failed to insert/update unknown data type")) return false;
    return sqliteStore_->upsertRecord(*record, table, error);
}

bool QRVADatabase::updateMadeRecord(bool hasObject, const std::string& table, const std::string& columnName,
                                    const ns::Value& columnValue, ns::ErrorRef* error, const RecordMaker* maker) {
    if (!QRVAAssertTrue(hasObject, error, 1, "Received empty data type to update")) return false;
    if (!QRVAAssertTrue(!table.empty(), error, 1, "Received empty table name for updating")) return false;
    if (!QRVAAssertNotNull(maker, error, 1, "Received nil block to create dictionary for updating")) return false;
    auto existing = sqliteStore_->rowCountForTableWithName(table, columnName, columnValue, error);
    if (!existing) return false;
    if (!QRVAAssertTrue(*existing > 0, error, 2, "Failed to update record. Item doesn't exist")) return false;
    auto record = (*maker)();
    if (!QRVAAssertTrue(record.has_value(), error, 2, "Failed to update unknown data type")) return false;
    return sqliteStore_->updateRecord(*record, table, columnName, columnValue, error);
}

std::optional<bool> QRVADatabase::booleanForQuery(const std::string& query, const ns::Array& parameters,
                                                  ns::ErrorRef* error) {
    ns::Value number = sqliteStore_->numberForQuery(query, parameters, error);
    if (number.isNull()) return std::nullopt;
    return number.intValue() != 0;
}

// MARK: - App metadata

std::optional<QRVAAppMetadata> QRVADatabase::queryAppMetadata(ns::ErrorRef* error) {
    auto rows = dataTypesFromTableWithName<QRVAAppMetadata>("app_metadata", "rowid", "1", error, appMetadataFromRow);
    if (!rows || rows->empty()) return std::nullopt;
    return rows->front();
}

bool QRVADatabase::updateAppMetadata(const QRVAAppMetadata& appMetadata, ns::ErrorRef* error) {
    return updateDataType<QRVAAppMetadata>(&appMetadata, "app_metadata", "rowid", "1", error, appMetadataRecord);
}

bool QRVADatabase::updateAppMetadataRow(const QRVASqliteRecord& record, ns::ErrorRef* error) {
    return updateDataType<QRVASqliteRecord>(&record, "app_metadata", "rowid", "1", error,
                                            [](const QRVASqliteRecord& same) { return same; });
}

int32_t QRVADatabase::dayNumberAt(double seconds) {
    double offset = persistedConfig_ ? persistedConfig_->midnightOffset() : 0.0;
    return int32_t(std::floor((seconds - offset) / 86400.0));
}

std::optional<QRVADailyCounts> QRVADatabase::dailyCounts(ns::ErrorRef* error) {
    int32_t today = dayNumberAt(ns::Clock::nowSeconds());
    auto read = [today](const QRVASqliteRow& row) -> std::optional<QRVADailyCounts> {
        if (row.empty()) {
            monitor()->logWithLevel(4, 12009, "Received empty dictionary for getting daily counts");
            return std::nullopt;
        }
        auto counter = [&](const char* column) { return int32_t(QRVARowValue(row, column).intValue(0)); };
        return QRVADailyCounts(QRVARowValue(row, "day").isNumber() ? counter("day") : today, counter("daily_conversions_count"),
                               counter("daily_events_count"), counter("daily_public_events_count"),
                               counter("daily_error_events_count"),
                               counter("daily_real_time_conversion_events_count"));
    };
    auto rows = dataTypesFromTableWithName<QRVADailyCounts>("app_metadata", "rowid", "1", error, read);
    if (!rows || rows->empty()) return std::nullopt;
    return rows->front();
}

bool QRVADatabase::updateDailyCounts(const QRVADailyCounts& counts, ns::ErrorRef* error) {
    return updateDataType<QRVADailyCounts>(&counts, "app_metadata", "rowid", "1", error, [](const QRVADailyCounts& c) {
        return std::optional<QRVASqliteRecord>({{"day", c.day()},
                                                {"daily_conversions_count", c.conversionsCount()},
                                                {"daily_events_count", c.allEventsCount()},
                                                {"daily_public_events_count", c.publicEventsCount()},
                                                {"daily_error_events_count", c.errorEventsCount()},
                                                {"daily_real_time_conversion_events_count", c.realtimeCount()}});
    });
}

bool QRVADatabase::updateRemoteConfig(const std::shared_ptr<QRVAPBMeasurementConfig>& config, ns::ErrorRef* error) {
    auto bytes = config ? config->protoBuffer() : std::nullopt;
    if (!QRVAAssertTrue(bytes && !bytes->empty(), error, 1, "Invalid measurement config data")) return false;
    auto appID = NANOGetString(config, QRVAPBField::MeasurementConfig::app_id);
    if (!QRVAAssertTrue(appID && !appID->empty(), error, 1, "Missing VLP app ID in measurement configuration")) {
        return false;
    }
    return updateAppMetadataRow({{"remote_config_data", std::move(*bytes)},
                                 {"remote_config_timestamp", ns::Clock::nowSeconds()}},
                                error);
}

bool QRVADatabase::updateRemoteConfigSuccessfulTimestamp(double timestamp, ns::ErrorRef* error) {
    return updateAppMetadataRow({{"remote_config_timestamp", timestamp}}, error);
}

std::shared_ptr<QRVAPBMeasurementConfig> QRVADatabase::queryMeasurementConfigWithError(ns::ErrorRef* error) {
    auto rows = sqliteStore_->recordsForQuery("SELECT remote_config_data FROM app_metadata LIMIT 1", {}, error);
    if (!rows || rows->empty()) return nullptr;
    auto data = rows->front().find("remote_config_data");
    if (data == rows->front().end() || !data->second.isData() || data->second.asData().empty()) return nullptr;
    auto config = QRVAPBMeasurementConfig::initWithBuffer(data->second.asData());
    QRVAAssertNotNull(config.get(), error, 2, "Remote config data is corrupted");
    return config;
}

std::optional<double> QRVADatabase::lastRemoteConfigUpdateTimestamp(ns::ErrorRef* error) {
    ns::Value time = sqliteStore_->numberForQuery("SELECT remote_config_timestamp FROM app_metadata LIMIT 1", {}, error);
    if (time.isNull()) return std::nullopt;
    return time.doubleValue();
}
