// The road every event takes through the store, in SQL: raw events beside
// their metadata, bundles gzip-compressed in the upload queue, and the sweep
// of stale rows from both. What the rows' bytes hold is read beside the wire
// code (QRVAStoredEvent, QRVAWireBundle).
#include <sqlite3.h>

#include <cmath>
#include <cstring>

#include "analytics/QRVADatabase.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVAStoredEvent.h"
#include "analytics/QRVAUtilities.h"
#include "platform/clock.h"
#include "platform/format.h"
#include "platform/no_destructor.h"
#include "platform/toolbox.h"

namespace F = QRVAPBField;

namespace {

std::shared_ptr<QRVAMonitor> monitor() {
    return QRVAMeasurementMonitor();
}

std::optional<double> doubleOrNone(const ns::Value& value) {
    if (value.isNull()) return std::nullopt;
    return value.doubleValue();
}

}  // namespace

// MARK: - Raw-event metadata

// The stored bytes are compared rather than decoded (every event write asks,
// so no row is built either): the same fingerprint with other bytes is a
// damaged row, and a failed look-up counts as none; both get written over.
bool QRVADatabase::hasStoredMetadata(int64_t fingerprint, const ns::Data& bytes) {
    static const ns::NoDestructor<std::string> kQuery(
        "SELECT metadata FROM raw_events_metadata WHERE metadata_fingerprint = ?");
    sqlite3_stmt* statement = sqliteStore_->statementForQuery(*kQuery, {fingerprint}, nullptr);
    if (!statement) return false;
    bool same = sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_type(statement, 0) == SQLITE_BLOB &&
                size_t(sqlite3_column_bytes(statement, 0)) == bytes.size() &&
                std::memcmp(sqlite3_column_blob(statement, 0), bytes.data(), bytes.size()) == 0;
    sqliteStore_->cleanUpStatement(statement, *kQuery);
    return same;
}

std::optional<int64_t> QRVADatabase::fingerprintOfMetadata(const QRVAPBMeasurementBundle& metadata) {
    auto bytes = metadata.protoBuffer();
    if (!bytes) return std::nullopt;
    return qrva_64LSBMD5(*bytes);
}

bool QRVADatabase::insertIfNotExistsRawEventMetadata(const std::shared_ptr<QRVAPBMeasurementBundle>& metadata,
                                                     ns::ErrorRef* error) {
    auto bytes = metadata ? metadata->protoBuffer() : std::nullopt;
    int64_t fingerprint = bytes ? qrva_64LSBMD5(*bytes) : 0;
    if (bytes && hasStoredMetadata(fingerprint, *bytes)) return true;
    using Bundle = QRVAPBMeasurementBundle;
    return upsertDataType<Bundle>(metadata.get(), "raw_events_metadata", "metadata_fingerprint", fingerprint,
                                  kQRVADatabaseRawEventsMetadataMaxCount, error,
                                  [&](const Bundle&) -> std::optional<QRVASqliteRecord> {
                                      if (!bytes) {
                                          monitor()->logWithLevel(4, 12011,
                                                                  "Received empty measurement bundle metadata for "
                                                                  "getting dictionary representation");
                                          return std::nullopt;
                                      }
                                      return QRVASqliteRecord{{"metadata_fingerprint", qrva_64LSBMD5(*bytes)},
                                                              {"metadata", *bytes}};
                                  });
}

std::shared_ptr<QRVAPBMeasurementBundle> QRVADatabase::queryRawEventsMetadataWithFingerprint(int64_t fingerprint,
                                                                                             ns::ErrorRef* error) {
    using Metadata = std::shared_ptr<QRVAPBMeasurementBundle>;
    auto read = [](const QRVASqliteRow& row) -> std::optional<Metadata> {
        if (row.empty()) {
            monitor()->logWithLevel(4, 12012, "Received empty dictionary for getting measurement bundle");
            return std::nullopt;
        }
        const ns::Value& bytes = QRVARowValue(row, "metadata");
        if (!bytes.isData() || bytes.asData().empty()) {
            monitor()->logWithLevel(4, 12013, "Event metadata should not be empty for getting measurement bundle");
            return std::nullopt;
        }
        auto metadata = QRVAPBMeasurementBundle::initWithBuffer(bytes.asData());
        if (!metadata) return std::nullopt;
        return metadata;
    };
    auto rows = dataTypesFromTableWithName<Metadata>("raw_events_metadata", "metadata_fingerprint", fingerprint, error,
                                                     read);
    if (!rows || rows->empty()) return nullptr;
    return rows->front();
}

bool QRVADatabase::deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint, ns::ErrorRef* error) {
    return sqliteStore_->deleteRecordsFromTableWithName("raw_events_metadata", "metadata_fingerprint == ?",
                                                        {fingerprint}, error)
        .has_value();
}

bool QRVADatabase::deleteUnusedRawEventsMetadata(ns::ErrorRef* error) {
    return sqliteStore_
        ->deleteRecordsFromTableWithName(
            "raw_events_metadata", "metadata_fingerprint NOT IN (SELECT DISTINCT metadata_fingerprint FROM raw_events)",
            {}, error)
        .has_value();
}

// MARK: - Raw events

bool QRVADatabase::insertRawEvent(const QRVAEvent& event, int64_t metadataFingerprint, bool isRealtime,
                                  ns::ErrorRef* error) {
    return insertDataType<QRVAEvent>(
        &event, "raw_events", error, [&](const QRVAEvent& raw) -> std::optional<QRVASqliteRecord> {
            // The name lives in its column only.
            auto proto = raw.protoEvent();
            NANOClearField(proto, F::Event::name);
            auto data = proto->protoBuffer();
            if (!data) return std::nullopt;
            return QRVASqliteRecord{{"name", raw.name()},
                                    {"timestamp", raw.timestamp()},
                                    {"metadata_fingerprint", metadataFingerprint},
                                    {"data", std::move(*data)},
                                    {"is_realtime", isRealtime ? 1 : 0}};
        });
}

std::optional<QRVARawEventData> QRVADatabase::rawEventDataFromDictionary(const QRVASqliteRow& row,
                                                                         ns::ErrorRef* error) {
    const ns::Value& rowID = QRVARowValue(row, "rowid");
    const ns::Value& data = QRVARowValue(row, "data");
    const ns::Value& fingerprint = QRVARowValue(row, "metadata_fingerprint");
    if (!QRVAAssertTrue(!row.empty(), error, 1, "Received empty dictionary for getting raw event data") ||
        !QRVAAssertNotNil(rowID, error, 1, "Unable to find row ID in the database dictionary") ||
        !QRVAAssertNotNil(data, error, 1, "Unable to find event data in the database dictionary") ||
        !QRVAAssertNotNil(fingerprint, error, 1, "Unable to find event metadata in the database dictionary")) {
        return std::nullopt;
    }
    auto stored = QRVAReadStoredEvent(data.isData() ? &data.asData() : nullptr, error);
    if (!stored) return std::nullopt;
    const std::string* name = QRVARowValue(row, "name").stringOrNull();
    auto event = QRVAEvent::initWithOrigin(stored->origin, false, name ? *name : "",
                                           QRVARowValue(row, "timestamp").doubleValue(), stored->previousTimestamp,
                                           stored->parameters);
    if (!event) return std::nullopt;
    auto raw = QRVARawEventData::initWithRawEvent(event, rowID.intValue(), fingerprint.intValue());
    QRVAAssertTrue(raw.has_value(), error, 2, "Failed to initialize raw event data from dictionary");
    return raw;
}

std::optional<std::vector<QRVARawEventData>> QRVADatabase::rawEventsWithMetadataFingerprint(
    int64_t metadataFingerprint, ns::ErrorRef* error, const QRVASqliteRowFilter& eventFilter) {
    size_t index = 0;
    RawEventFilter filter;
    if (eventFilter) {
        filter = [&](const QRVASqliteRow& row, const std::optional<QRVARawEventData>&, const ns::ErrorRef&) {
            return eventFilter(index++, row);
        };
    }
    return rawEventsWithMetadataFingerprint(metadataFingerprint, error, filter);
}

std::optional<std::vector<QRVARawEventData>> QRVADatabase::rawEventsWithMetadataFingerprint(
    int64_t metadataFingerprint, ns::ErrorRef* error, const RawEventFilter& eventFilter) {
    // Decoding is most of the read: each row once, its event kept when taken.
    std::vector<QRVARawEventData> events;
    ns::ErrorRef decodeError;
    QRVASqliteRowFilter decoding;  // none without a filter: the store refuses the read
    if (eventFilter) {
        decoding = [&](size_t, const QRVASqliteRow& row) {
            ns::ErrorRef rowError;
            auto event = rawEventDataFromDictionary(row, &rowError);
            if (!eventFilter(row, event, rowError)) return false;
            if (event) {
                events.push_back(std::move(*event));
            } else {
                decodeError = rowError;
            }
            return true;
        };
    }
    auto rows = sqliteStore_->recordsForQuery(
        "SELECT rowid, * FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?",
        {metadataFingerprint, kQRVADatabaseRawEventsSelectLimit}, error, decoding);
    if (!rows) return std::nullopt;
    if (!rows->empty() && events.empty()) {
        if (error) *error = decodeError;
        return std::nullopt;
    }
    return events;
}

std::optional<int64_t> QRVADatabase::nextMetadataFingerprintToProcess(ns::ErrorRef* error) {
    auto rows = sqliteStore_->recordsForQuery("SELECT metadata_fingerprint, MIN(rowid) FROM raw_events", {}, error);
    if (!rows) return std::nullopt;
    if (!QRVAAssertTrue(rows->size() == 1, error, 2, "Only one event metadata should be processed")) return std::nullopt;
    const ns::Value& fingerprint = QRVARowValue(rows->front(), "metadata_fingerprint");
    if (!fingerprint.isNumber()) return std::nullopt;
    return fingerprint.intValue();
}

std::optional<bool> QRVADatabase::containsRawEventWithMetadataFingerprint(int64_t metadataFingerprint,
                                                                          ns::ErrorRef* error) {
    return booleanForQuery("SELECT EXISTS (SELECT 1 FROM raw_events WHERE metadata_fingerprint = ? LIMIT 1)",
                           {metadataFingerprint}, error);
}

bool QRVADatabase::deleteRawEventsWithMaxRowID(int64_t rowID, ns::ErrorRef* error) {
    return sqliteStore_->deleteRecordsFromTableWithName("raw_events", "rowid <= ?", {rowID}, error).has_value();
}

namespace {

// What this connection knows of the raw events without walking them: how
// many there are and the newest time among them. Temporary triggers keep
// both as its statements run, and they roll back with its transactions.
// Either is worked out with one walk when first asked for; a deletion that
// may take the newest time makes that unknown again (the trim takes the
// oldest rows, which seldom hold it), and a commit by another connection,
// which no trigger here sees, makes both unknown.
struct RawEventTotals {
    ns::Value count;   // null until counted
    ns::Value latest;  // with latestKnown; null then: no rows
    bool latestKnown = false;
};

enum class RawEventTotal { count, latest };

constexpr const char* kTotalsSetUp[] = {
    "CREATE TEMP TABLE IF NOT EXISTS raw_events_totals "
    "(n INTEGER, latest, latest_known INTEGER NOT NULL, seen INTEGER)",
    "DELETE FROM temp.raw_events_totals",
    // An empty table needs no walk for either.
    "INSERT INTO temp.raw_events_totals SELECT CASE WHEN e THEN NULL ELSE 0 END, NULL, NOT e, "
    "(SELECT data_version FROM pragma_data_version) FROM (SELECT EXISTS (SELECT 1 FROM main.raw_events) AS e)",
    "CREATE TEMP TRIGGER IF NOT EXISTS raw_events_totals_insert AFTER INSERT ON raw_events BEGIN "
    "UPDATE raw_events_totals SET n = n + 1, "
    "latest = CASE WHEN latest IS NULL OR new.timestamp > latest THEN new.timestamp ELSE latest END; END",
    "CREATE TEMP TRIGGER IF NOT EXISTS raw_events_totals_delete AFTER DELETE ON raw_events BEGIN "
    "UPDATE raw_events_totals SET n = n - 1, latest_known = coalesce(latest_known AND old.timestamp < latest, 0); END",
    "CREATE TEMP TRIGGER IF NOT EXISTS raw_events_totals_update AFTER UPDATE OF timestamp ON raw_events BEGIN "
    "UPDATE raw_events_totals SET latest_known = 0; END",
};

// All of it or none: a table left without its triggers would be believed.
bool setUpRawEventTotals(QRVASqliteStore& store) {
    if (!store.executeSQL("SAVEPOINT raw_events_totals", nullptr)) return false;
    for (const char* sql : kTotalsSetUp) {
        if (!store.executeSQL(sql, nullptr)) {
            store.executeSQL("ROLLBACK TO raw_events_totals", nullptr);
            store.executeSQL("RELEASE raw_events_totals", nullptr);
            return false;
        }
    }
    return store.executeSQL("RELEASE raw_events_totals", nullptr);
}

// nullopt when this connection has none (never made, or gone with a rolled
// back transaction); `changed` when another connection committed since.
std::optional<RawEventTotals> readRawEventTotals(QRVASqliteStore& store, bool& changed) {
    static const ns::NoDestructor<std::string> kRead(
        "SELECT n, latest, latest_known, seen IS NOT (SELECT data_version FROM pragma_data_version) "
        "FROM temp.raw_events_totals");
    sqlite3_stmt* statement = store.statementForQuery(*kRead, nullptr);
    if (!statement) return std::nullopt;
    std::optional<RawEventTotals> totals;
    if (sqlite3_step(statement) == SQLITE_ROW) {
        totals = RawEventTotals{store.valueAtColumn(0, statement).value_or(ns::Value()),
                                store.valueAtColumn(1, statement).value_or(ns::Value()),
                                sqlite3_column_int64(statement, 2) != 0};
        changed = sqlite3_column_int64(statement, 3) != 0;
    }
    store.cleanUpStatement(statement, *kRead);
    return totals;
}

// One of the totals, worked out first when unknown; nullopt when the
// connection cannot keep them, and the caller walks the table itself.
std::optional<ns::Value> rawEventTotal(QRVASqliteStore& store, RawEventTotal which) {
    for (int step = 0; step < 4; ++step) {
        bool changed = false;
        auto totals = readRawEventTotals(store, changed);
        const char* settle = nullptr;
        if (!totals) {
            if (!setUpRawEventTotals(store)) return std::nullopt;
            continue;
        }
        if (changed) {
            settle = "UPDATE temp.raw_events_totals SET n = NULL, latest_known = 0, "
                     "seen = (SELECT data_version FROM pragma_data_version)";
        } else if (which == RawEventTotal::count) {
            if (!totals->count.isNull()) return totals->count;
            settle = "UPDATE temp.raw_events_totals SET n = (SELECT count(*) FROM main.raw_events)";
        } else {
            if (totals->latestKnown) return totals->latest;
            settle = "UPDATE temp.raw_events_totals SET latest = (SELECT MAX(timestamp) FROM main.raw_events), "
                     "latest_known = 1";
        }
        if (!store.executeSQL(settle, nullptr)) return std::nullopt;
    }
    return std::nullopt;  // other connections keep committing: walk
}

}  // namespace

std::optional<int64_t> QRVADatabase::deleteRawEventsOverAbsoluteLimit(ns::ErrorRef* error) {
    // The span of row ids bounds the count at the cost of two look-ups (each
    // MIN and MAX alone in its SELECT), which settles the usual case; near
    // the limit the kept count decides, and only the oldest rows past the
    // newest `keep` are walked, not the whole backlog.
    const int64_t keep = std::max<int64_t>(0, int64_t(settings().maxEventsStored) - 1);
    ns::ErrorRef spanError;
    ns::Value span = sqliteStore_->numberForQuery(
        "SELECT (SELECT MAX(rowid) FROM raw_events) - (SELECT MIN(rowid) FROM raw_events) + 1", {}, &spanError);
    if (spanError) {
        if (error) *error = spanError;
        return std::nullopt;
    }
    if (span.isNull()) return 0;  // no rows
    if (span.intValue() <= keep) return 0;
    std::optional<int64_t> count;
    if (auto kept = rawEventTotal(*sqliteStore_, RawEventTotal::count)) {
        count = kept->intValue();
    } else {
        count = sqliteStore_->rowCountForTableWithName("raw_events", error);
    }
    if (!count) return std::nullopt;
    if (*count <= keep) return 0;
    return sqliteStore_->deleteRecordsFromTableWithName(
        "raw_events", "rowid IN (SELECT rowid FROM raw_events ORDER BY rowid LIMIT ?)", {*count - keep}, error);
}

std::optional<bool> QRVADatabase::isRawEventsTableEmpty(ns::ErrorRef* error) {
    return booleanForQuery("SELECT NOT EXISTS (SELECT 1 FROM raw_events LIMIT 1)", {}, error);
}

std::optional<double> QRVADatabase::queryLatestRawEventTime(ns::ErrorRef* error) {
    // Anything but a number or none is left to the walk, which words the error.
    auto latest = rawEventTotal(*sqliteStore_, RawEventTotal::latest);
    if (latest && !latest->isString() && !latest->isData()) return doubleOrNone(*latest);
    return doubleOrNone(sqliteStore_->numberForQuery("SELECT MAX(timestamp) FROM raw_events", {}, error));
}

std::optional<bool> QRVADatabase::containsRealtimeRawEventsWithError(ns::ErrorRef* error) {
    return booleanForQuery("SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = 1 LIMIT 1)", {}, error);
}

// MARK: - Stale data

bool QRVADatabase::deleteStaleRows(const std::string& table, const std::string& timeColumn, double maxAge,
                                   ns::ErrorRef* error) {
    auto deleted = sqliteStore_->deleteRecordsFromTableWithName(
        table, "abs(" + timeColumn + " - cast(? as REAL)) > cast(? as REAL)", {ns::Clock::nowSeconds(), maxAge},
        error);
    if (!deleted) return false;
    if (*deleted == 0 || table != "raw_events") return true;
    return deleteUnusedRawEventsMetadata(error);
}

bool QRVADatabase::deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(maxAge >= 0, error, 1, "Cannot delete stale raw events given negative time period")) {
        return false;
    }
    return deleteStaleRows("raw_events", "timestamp", maxAge, error);
}

bool QRVADatabase::deleteStaleBundlesOlderThanMaxAge(double maxAge, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(maxAge >= 0, error, 1, "Cannot delete stale bundles after negative time period")) return false;
    return deleteStaleRows("queue", "bundle_end_timestamp", maxAge, error);
}

std::optional<bool> QRVADatabase::maybeDeleteStaleData(ns::ErrorRef* error) {
    double now = ns::Clock::nowSeconds();
    QRVADatabaseSettings limits = settings();
    double last = persistedConfig_ ? persistedConfig_->lastDeleteStaleBundlesTimestamp() : 0.0;
    if (!(std::fabs(now - last) > limits.databaseDeleteStaleBundlesInterval)) return false;
    if (!deleteStaleRawEventsDataOlderThanMaxAge(limits.maxQueueTime, error) ||
        !deleteStaleBundlesOlderThanMaxAge(limits.maxQueueTime, error)) {
        return std::nullopt;
    }
    if (persistedConfig_) persistedConfig_->setLastDeleteStaleBundlesTimestamp(now);
    return true;
}

// MARK: - Upload queue

bool QRVADatabase::insertBundle(const std::shared_ptr<QRVAPBMeasurementBundle>& bundle, bool isRealtime,
                                ns::ErrorRef* error) {
    return insertBundle(bundle, bundle ? bundle->protoBuffer() : std::nullopt, isRealtime, error);
}

bool QRVADatabase::insertBundle(const std::shared_ptr<QRVAPBMeasurementBundle>& bundle,
                                const std::optional<ns::Data>& bytes, bool isRealtime, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(bytes && !bytes->empty(), error, 1, "Failed to insert nil bundle")) return false;
    auto appID = NANOGetString(bundle, F::MeasurementBundle::app_id);
    if (!QRVAAssertTrue(appID && !appID->empty(), error, 1, "Failed to insert bundle without App ID")) return false;
    int64_t endMillis = NANOGetInt64(bundle, F::MeasurementBundle::end_timestamp_millis);
    if (!QRVAAssertTrue(endMillis >= 1, error, 1, "Failed to insert bundle without valid timestamp")) return false;
    if (!maybeDeleteStaleData(error)) return false;
    double end = double(endMillis) / 1000.0;
    if (std::fabs(ns::Clock::nowSeconds() - end) > settings().maxQueueTime) {
        monitor()->logWithLevel(4, 12016, "Storing bundle outside of the max uploading time span");
    }
    ns::ErrorRef compressionError;
    ns::Data compressed = htk_dataByGzippingData(*bytes, &compressionError);
    if (compressed.empty()) {
        QRVASetError(error, 2, "Failed to compress bundle");
        monitor()->logWithLevel(1, 12017, "Cannot compress data. Error", QRVAErrorContext(compressionError));
        return false;
    }
    monitor()->logWithLevel(7, 12018, "Saving bundle. size (bytes)", ns::Value(std::to_string(compressed.size())));
    return sqliteStore_->upsertRecord(
        {{"bundle_end_timestamp", end}, {"data", std::move(compressed)}, {"is_realtime", isRealtime ? 1 : 0}}, "queue",
        error);
}

// MARK: - Queued bundles

std::optional<std::vector<QRVAQueuedBundle>> QRVADatabase::queryBundlesWithCountLimit(int64_t countLimit,
                                                                                      int64_t sizeLimit,
                                                                                      ns::ErrorRef* error) {
    auto rows = sqliteStore_->recordsForQuery("SELECT rowid, data FROM queue ORDER BY bundle_end_timestamp ASC LIMIT ?",
                                              {countLimit}, error);
    if (!rows) return std::nullopt;
    std::vector<QRVAQueuedBundle> taken;
    ns::Array unreadable;
    // 64 bits: a 32-bit total wraps past 2 GiB of bundles and never stops.
    int64_t total = 0;
    for (const auto& row : *rows) {
        const ns::Value& rowID = QRVARowValue(row, "rowid");
        const ns::Value& data = QRVARowValue(row, "data");
        if (!data.isData() || data.asData().empty()) {
            monitor()->logWithLevel(1, 12049, "Cannot decompress an empty bundle data");
            unreadable.push_back(rowID);
            continue;
        }
        ns::ErrorRef inflateError;
        ns::Data inflated = htk_dataByInflatingData(data.asData(), &inflateError);
        if (inflated.empty()) {
            monitor()->logWithLevel(1, 12050, "Cannot decompress data. Error", QRVAErrorContext(inflateError));
            unreadable.push_back(rowID);
            continue;
        }
        const auto size = int64_t(inflated.size());
        if (!taken.empty() && size + total > sizeLimit) break;
        // The encoder's own bytes are kept as they are, anything else decoded.
        auto wire = QRVAWireBundle::of(std::move(inflated));
        auto bundle = wire ? nullptr : QRVAPBMeasurementBundle::initWithBuffer(inflated);
        if (!wire && !bundle) {
            monitor()->logWithLevel(1, 12051, "Unable to parse bundle from decompressed data");
            unreadable.push_back(rowID);
            continue;
        }
        taken.push_back({std::move(bundle), rowID.intValue(), std::move(wire)});
        total += size;
        if (total > sizeLimit) break;
    }
    // A row that does not inflate or decode now never will; left in place it
    // would be read first on every upload and hold the newer bundles back.
    if (!unreadable.empty()) {
        ns::ErrorRef deleteError;
        if (!deleteBundlesWithRowIDs(unreadable, &deleteError)) {
            monitor()->logWithLevel(1, 12052, "Failed to delete unreadable bundles. Error",
                                    QRVAErrorContext(deleteError));
        }
    }
    return taken;
}

bool QRVADatabase::deleteBundlesWithRowIDs(const ns::Array& rowIDs, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!rowIDs.empty(), error, 1, "Received empty row IDs to delete bundles")) return false;
    for (const auto& rowID : rowIDs) {
        if (!QRVAAssertTrue(rowID.isNumber(), error, 1, "Received invalid type for row ID to delete bundles")) {
            return false;
        }
    }
    std::string places(2 * rowIDs.size() - 1, ',');
    for (size_t i = 0; i < places.size(); i += 2) places[i] = '?';
    return sqliteStore_->deleteRecordsFromTableWithName("queue", ns::format("rowid IN (%@)", places), rowIDs, error)
        .has_value();
}

std::optional<bool> QRVADatabase::isQueuedBundleTableEmpty(ns::ErrorRef* error) {
    return booleanForQuery("SELECT NOT EXISTS (SELECT 1 FROM queue LIMIT 1)", {}, error);
}

std::optional<double> QRVADatabase::queryLatestBundleTime(ns::ErrorRef* error) {
    return doubleOrNone(sqliteStore_->numberForQuery("SELECT MAX(bundle_end_timestamp) FROM queue", {}, error));
}

std::optional<bool> QRVADatabase::containsRealtimeBundlesWithError(ns::ErrorRef* error) {
    return booleanForQuery("SELECT EXISTS (SELECT 1 FROM queue WHERE is_realtime = 1 LIMIT 1)", {}, error);
}
