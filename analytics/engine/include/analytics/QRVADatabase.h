#pragma once
// The analytics client's persistent store: one SQLite file
// (<Application Support>/Ondrix/Measurement/ondrix-app-measurement.sql,
// excluded from backup) holding the raw events waiting to be bundled, the
// gzip-compressed bundles waiting to be uploaded, the per-event and per-day
// counters, user properties, audience filters and their results, purchase
// fingerprints, conditional user properties and the stored remote
// configuration. Eleven tables; a file from an older layout is upgraded in
// place with its rows kept, and a damaged file is set aside
// ("<file>.damaged", "-2", ...; QRVASqliteStore) and replaced, while one
// locked by another program, or not writable for now, is kept as it is.
//
//     auto database = QRVADatabase::initWithDatabaseName(kQRVADatabaseFileName,
//                                                        QRVAPersistedConfig::sharedInstance());
//     ns::ErrorRef error;
//     database->performTransaction([&] {
//         return database->insertIfNotExistsRawEventMetadata(metadata, &error) &&
//                database->deleteRawEventsOverAbsoluteLimit(&error) &&
//                database->insertRawEvent(event, fingerprint, false, &error);
//     });
//
// Every call answers a value or a success flag and fills the caller's error
// slot (kQRVAErrorDomain: 1 a bad argument, 2 a data or structure failure,
// 3 SQLite refused, with the statement's monitor context). A step has
// failed when the answer is missing (nullopt, nullptr, false) and an error
// was given; "missing without an error" means "nothing there". Several
// operations that must hold together go in one `performTransaction`, which
// commits when its block answers true; transactions do not nest.
//
// Threads: no lock of its own. The engine creates it on its worker queue
// and keeps every use there; tests use one from a single thread.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "analytics/QRVAEvent.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPBMessages.h"
#include "analytics/QRVASqliteStore.h"
#include "analytics/QRVAStoreRecords.h"
#include "analytics/QRVAWireBundle.h"
#include "platform/error.h"
#include "platform/value.h"

class QRVAPersistedConfig;

inline constexpr const char* kQRVADatabaseFileName = "ondrix-app-measurement.sql";

inline constexpr int64_t kQRVADatabaseRawEventsMetadataMaxCount = 100000;
inline constexpr int64_t kQRVADatabaseRawEventsSelectLimit = 1000;
inline constexpr int32_t kQRVADatabaseAllEventMaxCount = 1000;
inline constexpr int32_t kQRVADatabasePublicEventMaxCount = 500;
inline constexpr int32_t kQRVADatabaseAllUserAttributeMaxCount = 1000;
inline constexpr int32_t kQRVADatabasePublicUserAttributeMaxCount = 25;
inline constexpr int32_t kQRVADatabaseUserAttributePerOriginMaxCount = 25;
inline constexpr int32_t kQRVADatabasePurchaseTransactionsMaxCount = 1000;
inline constexpr int64_t kQRVADatabaseConditionalUserPropertyMaxCount = 1000;

// The names of lifetime-value user properties begin with this.
inline constexpr const char* kQRVAMeasurementUserAttributeNamePrefixLifetimeValue = "_ltv_";

// What the store's limits read from the remote settings in force
// (QRVARemoteConfig); the defaults are the settings' own.
struct QRVADatabaseSettings {
    int32_t maxEventsStored = 100000;                     // measurement.store.max_stored_events_per_app
    double maxQueueTime = 2419200;                        // measurement.upload.max_queue_time, seconds
    double databaseDeleteStaleBundlesInterval = 86400;  // measurement.upload.stale_data_deletion_interval
};

class QRVADatabase {
public:
    // Opens (or makes) the file, brings every table to the current layout
    // and makes sure app_metadata row 1 exists; nullptr when the store
    // cannot be made (logged 12000-12004). A file that cannot be brought to
    // the layout because it is damaged is closed and set aside, so a second
    // call starts afresh; one that failed for any other reason is closed and
    // kept for a later call.
    static std::shared_ptr<QRVADatabase> initWithDatabaseName(const std::string& name,
                                                              std::shared_ptr<QRVAPersistedConfig> persistedConfig);
    QRVADatabase(std::shared_ptr<QRVASqliteStore> store, std::shared_ptr<QRVAPersistedConfig> persistedConfig);

    const std::shared_ptr<QRVASqliteStore>& sqliteStore() const { return sqliteStore_; }
    const std::shared_ptr<QRVAPersistedConfig>& persistedConfig() const { return persistedConfig_; }
    // Where the limits come from; without a provider, the defaults.
    void setSettingsProvider(std::function<QRVADatabaseSettings()> provider) { settings_ = std::move(provider); }

    // MARK: Lifecycle
    bool performTransaction(const std::function<bool()>& block);
    // After a false from performTransaction: another connection held the
    // lock, so the block never ran and the work can be tried again later.
    // (Also after a failed statement outside one, when forgetLastFailure
    // came before it.)
    bool wasLockedElsewhere() const { return QRVASqliteStore::isLockedElsewhere(sqliteStore_->lastFailureCode()); }
    void forgetLastFailure() { sqliteStore_->forgetLastFailure(); }
    bool initializeAppMetadata();
    // False, with what went wrong in `problem`, when a table cannot take its
    // layout.
    bool ensureAllTables(std::string* problem = nullptr);

    // MARK: Generic row operations
    // Rows in row-id order ("SELECT rowid, *"), converted by the block; rows
    // it answers nullopt for are left out. A limit of -1 reads every row.
    template <class T>
    std::optional<std::vector<T>> allDataTypesFromTableWithName(
        const std::string& table, int64_t tableLimit, ns::ErrorRef* error,
        const std::function<std::optional<T>(const QRVASqliteRow&)>& createDataTypeBlock);
    // Rows whose column equals the value; an error when rows came back but
    // none converted.
    template <class T>
    std::optional<std::vector<T>> dataTypesFromTableWithName(
        const std::string& table, const std::string& columnName, const ns::Value& columnValue, ns::ErrorRef* error,
        const std::function<std::optional<T>(const QRVASqliteRow&)>& createDataTypeBlock);
    // INSERT OR REPLACE of the block's record, no row limit.
    template <class T>
    bool insertDataType(const T* object, const std::string& table, ns::ErrorRef* error,
                        const std::function<std::optional<QRVASqliteRecord>(const T&)>& createDictionaryBlock);
    // Updates the row with that key, or inserts while the table holds fewer
    // than `tableLimit` rows ("Table is full" past it; nothing is evicted).
    template <class T>
    bool upsertDataType(const T* object, const std::string& table, const std::string& columnName,
                        const ns::Value& columnValue, int64_t tableLimit, ns::ErrorRef* error,
                        const std::function<std::optional<QRVASqliteRecord>(const T&)>& createDictionaryBlock);
    // Sets the record's columns of the existing row with that key.
    template <class T>
    bool updateDataType(const T* object, const std::string& table, const std::string& columnName,
                        const ns::Value& columnValue, ns::ErrorRef* error,
                        const std::function<std::optional<QRVASqliteRecord>(const T&)>& createDictionaryBlock);

    // MARK: Raw-event metadata
    bool insertIfNotExistsRawEventMetadata(const std::shared_ptr<QRVAPBMeasurementBundle>& metadata,
                                           ns::ErrorRef* error);
    std::shared_ptr<QRVAPBMeasurementBundle> queryRawEventsMetadataWithFingerprint(int64_t fingerprint,
                                                                                   ns::ErrorRef* error);
    bool deleteRawEventMetadataWithMetadataFingerprint(int64_t fingerprint, ns::ErrorRef* error);
    bool deleteUnusedRawEventsMetadata(ns::ErrorRef* error);
    // The row key of a metadata message: the low 64 bits of the MD5 of its
    // encoded bytes.
    static std::optional<int64_t> fingerprintOfMetadata(const QRVAPBMeasurementBundle& metadata);

    // MARK: Raw events
    bool insertRawEvent(const QRVAEvent& event, int64_t metadataFingerprint, bool isRealtime, ns::ErrorRef* error);
    // Up to 1000 events of that metadata, oldest first, as long as the
    // filter takes them; empty when none was taken, nullopt when some were
    // taken but none decoded.
    std::optional<std::vector<QRVARawEventData>> rawEventsWithMetadataFingerprint(
        int64_t metadataFingerprint, ns::ErrorRef* error, const QRVASqliteRowFilter& eventFilter);
    // The same read with each row decoded once, before the filter sees it:
    // the row's event, or nullopt and the decoding error.
    using RawEventFilter = std::function<bool(const QRVASqliteRow& row, const std::optional<QRVARawEventData>& event,
                                              const ns::ErrorRef& decodeError)>;
    std::optional<std::vector<QRVARawEventData>> rawEventsWithMetadataFingerprint(
        int64_t metadataFingerprint, ns::ErrorRef* error, const RawEventFilter& eventFilter);
    std::optional<QRVARawEventData> rawEventDataFromDictionary(const QRVASqliteRow& row, ns::ErrorRef* error);
    // The metadata of the oldest raw event; nullopt without an error when
    // there is none.
    std::optional<int64_t> nextMetadataFingerprintToProcess(ns::ErrorRef* error);
    std::optional<bool> containsRawEventWithMetadataFingerprint(int64_t metadataFingerprint, ns::ErrorRef* error);
    bool deleteRawEventsWithMaxRowID(int64_t rowID, ns::ErrorRef* error);
    // Keeps the newest maxEventsStored - 1 rows; the number deleted.
    std::optional<int64_t> deleteRawEventsOverAbsoluteLimit(ns::ErrorRef* error);
    std::optional<bool> isRawEventsTableEmpty(ns::ErrorRef* error);
    std::optional<double> queryLatestRawEventTime(ns::ErrorRef* error);
    std::optional<bool> containsRealtimeRawEventsWithError(ns::ErrorRef* error);
    bool deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, ns::ErrorRef* error);

    // MARK: Upload queue
    // Stores the encoded bundle gzip-compressed.
    bool insertBundle(const std::shared_ptr<QRVAPBMeasurementBundle>& bundle, bool isRealtime, ns::ErrorRef* error);
    // The same with the bundle's encoding made by the caller (`bundle` gives
    // the app ID and the end time).
    bool insertBundle(const std::shared_ptr<QRVAPBMeasurementBundle>& bundle, const std::optional<ns::Data>& bytes,
                      bool isRealtime, ns::ErrorRef* error);
    // Oldest end time first, at most `countLimit`, within `sizeLimit`
    // decompressed bytes (the first bundle is taken whatever its size). Rows
    // that can never be read back are deleted as they are met.
    std::optional<std::vector<QRVAQueuedBundle>> queryBundlesWithCountLimit(int64_t countLimit, int64_t sizeLimit,
                                                                            ns::ErrorRef* error);
    // Row IDs as numbers; anything else refuses the whole call.
    bool deleteBundlesWithRowIDs(const ns::Array& rowIDs, ns::ErrorRef* error);
    bool deleteStaleBundlesOlderThanMaxAge(double maxAge, ns::ErrorRef* error);
    std::optional<bool> isQueuedBundleTableEmpty(ns::ErrorRef* error);
    std::optional<double> queryLatestBundleTime(ns::ErrorRef* error);
    std::optional<bool> containsRealtimeBundlesWithError(ns::ErrorRef* error);

    // Deletes raw events and bundles older (or further in the future) than
    // maxQueueTime once per stale-data interval: true when it ran, false when
    // not due, nullopt on failure (tried again next time).
    std::optional<bool> maybeDeleteStaleData(ns::ErrorRef* error);

    // MARK: App metadata, daily counts and configuration (row 1 of app_metadata)
    std::optional<QRVAAppMetadata> queryAppMetadata(ns::ErrorRef* error);
    bool updateAppMetadata(const QRVAAppMetadata& appMetadata, ns::ErrorRef* error);
    // The stored counters; a day never stored reads as today with zeros.
    std::optional<QRVADailyCounts> dailyCounts(ns::ErrorRef* error);
    bool updateDailyCounts(const QRVADailyCounts& dailyCounts, ns::ErrorRef* error);
    // Stores the encoded configuration and now as its time.
    bool updateRemoteConfig(const std::shared_ptr<QRVAPBMeasurementConfig>& config, ns::ErrorRef* error);
    bool updateRemoteConfigSuccessfulTimestamp(double timestamp, ns::ErrorRef* error);
    // nullptr without an error while none is stored; code 2 "Remote config
    // data is corrupted" when the stored bytes do not decode.
    std::shared_ptr<QRVAPBMeasurementConfig> queryMeasurementConfigWithError(ns::ErrorRef* error);
    // nullopt without an error while none was stored.
    std::optional<double> lastRemoteConfigUpdateTimestamp(ns::ErrorRef* error);
    // The day number of a time: whole days since 1970 past the install's
    // midnight offset.
    int32_t dayNumberAt(double seconds);

    // MARK: Event aggregates
    std::optional<QRVAEventAggregates> eventAggregatesWithName(const std::string& name, ns::ErrorRef* error);
    bool updateEventAggregates(const QRVAEventAggregates& aggregates, ns::ErrorRef* error);
    std::optional<std::vector<QRVAEventAggregates>> allEventAggregates(ns::ErrorRef* error);
    std::optional<int64_t> publicEventCount(ns::ErrorRef* error);

    // MARK: User attributes
    std::optional<int64_t> publicUserAttributeCount(ns::ErrorRef* error);
    std::optional<int64_t> userAttributeCountForOrigin(const std::string& origin, ns::ErrorRef* error);
    std::optional<bool> containsUserAttributeWithName(const std::string& name, ns::ErrorRef* error);
    std::optional<QRVAUserAttribute> userAttributeWithName(const std::string& name, ns::ErrorRef* error);
    // Without internal ones: no "_" or "quorvane_" prefix, no name of the
    // internal user-property table.
    std::optional<std::vector<QRVAUserAttribute>> userAttributesIncludingInternal(bool includeInternal,
                                                                                  ns::ErrorRef* error);
    // Names beginning exactly with "_ltv_", newest first.
    std::optional<std::vector<QRVAUserAttribute>> allLifetimeValueUserAttributes(ns::ErrorRef* error);
    bool updateUserAttribute(const QRVAUserAttribute& attribute, ns::ErrorRef* error);
    bool deleteUserAttributeWithName(const std::string& name, ns::ErrorRef* error);

    // MARK: Audience filters and results
    std::optional<std::vector<QRVAEventFilter>> eventFiltersForEventName(const std::string& name, ns::ErrorRef* error);
    std::optional<std::vector<QRVAPropertyFilter>> propertyFiltersForPropertyName(const std::string& name,
                                                                                 ns::ErrorRef* error);
    std::optional<QRVAFilterResult> filterResultForAudienceID(int32_t audienceID, ns::ErrorRef* error);
    // Empty (with the error) when the query fails.
    std::map<int32_t, QRVAFilterResult> allFilterResults(ns::ErrorRef* error);
    std::optional<std::vector<int32_t>> allAudienceIDs(ns::ErrorRef* error);
    // The first refused element ends the call; rows before it stay written
    // (inside the caller's transaction).
    bool updateEventFilters(const std::vector<QRVAEventFilter>& filters, ns::ErrorRef* error);
    bool updatePropertyFilters(const std::vector<QRVAPropertyFilter>& filters, ns::ErrorRef* error);
    bool updateFilterResults(const std::vector<QRVAFilterResult>& results, ns::ErrorRef* error);
    bool deleteFilterResults(const std::vector<QRVAFilterResult>& results, ns::ErrorRef* error);
    bool deleteEventFilters(const std::vector<QRVAEventFilter>& filters, ns::ErrorRef* error);
    bool deletePropertyFilters(const std::vector<QRVAPropertyFilter>& filters, ns::ErrorRef* error);
    bool deleteAllEventFilters(ns::ErrorRef* error);
    bool deleteAllPropertyFilters(ns::ErrorRef* error);

    // MARK: Purchase fingerprints
    // true: new and recorded (the newest 1000 kept); false: empty or seen.
    std::optional<bool> insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint, ns::ErrorRef* error);

    // MARK: Conditional user properties
    std::optional<QRVAConditionalUserProperty> conditionalUserPropertyWithName(const std::string& name,
                                                                               ns::ErrorRef* error);
    bool updateConditionalUserProperty(const QRVAConditionalUserProperty& property, ns::ErrorRef* error);
    bool deleteConditionalUserPropertyWithName(const std::string& name, ns::ErrorRef* error);
    // Rows matching the condition (with "?" places for the values);
    // unreadable rows left out.
    std::optional<std::vector<QRVAConditionalUserProperty>> conditionalUserPropertiesWithCondition(
        const std::string& condition, const ns::Array& parameterValues, ns::ErrorRef* error);
    std::optional<std::vector<QRVAConditionalUserProperty>> timedOutConditionalUserPropertiesWithError(
        ns::ErrorRef* error);
    std::optional<std::vector<QRVAConditionalUserProperty>> expiredConditionalUserPropertiesWithError(
        ns::ErrorRef* error);
    std::optional<std::vector<QRVAConditionalUserProperty>> triggeredConditionalUserPropertiesWithEventName(
        const std::string& eventName, ns::ErrorRef* error);
    // Origin matched with LIKE, names by LIKE prefix; every row when both
    // are empty.
    std::optional<std::vector<QRVAConditionalUserProperty>> conditionalUserPropertiesWithPrefix(
        const std::string& prefix, const std::string& origin, ns::ErrorRef* error);

private:
    using RecordMaker = std::function<std::optional<QRVASqliteRecord>()>;
    using RowVisitor = std::function<bool(const QRVASqliteRow&)>;
    QRVADatabaseSettings settings() const { return settings_ ? settings_() : QRVADatabaseSettings{}; }
    // The non-template bodies of the generic operations: `visit` answers
    // whether the row converted; a null maker stands for a null block.
    bool readAllRows(const std::string& table, int64_t tableLimit, ns::ErrorRef* error, const RowVisitor& visit);
    bool readRowsWhere(const std::string& table, const std::string& columnName, const ns::Value& columnValue,
                       ns::ErrorRef* error, bool hasBlock, const RowVisitor& visit);
    bool insertMadeRecord(const std::string& table, ns::ErrorRef* error, const RecordMaker* maker);
    bool upsertMadeRecord(bool hasObject, const std::string& table, const std::string& columnName,
                          const ns::Value& columnValue, int64_t tableLimit, ns::ErrorRef* error,
                          const RecordMaker* maker);
    bool updateMadeRecord(bool hasObject, const std::string& table, const std::string& columnName,
                          const ns::Value& columnValue, ns::ErrorRef* error, const RecordMaker* maker);
    bool hasStoredMetadata(int64_t fingerprint, const ns::Data& bytes);
    bool deleteStaleRows(const std::string& table, const std::string& timeColumn, double maxAge, ns::ErrorRef* error);
    bool updateAppMetadataRow(const QRVASqliteRecord& record, ns::ErrorRef* error);
    std::optional<bool> booleanForQuery(const std::string& query, const ns::Array& parameters, ns::ErrorRef* error);

    std::shared_ptr<QRVASqliteStore> sqliteStore_;
    std::shared_ptr<QRVAPersistedConfig> persistedConfig_;
    std::function<QRVADatabaseSettings()> settings_;
};

// MARK: - Generic row operations

template <class T>
std::optional<std::vector<T>> QRVADatabase::allDataTypesFromTableWithName(
    const std::string& table, int64_t tableLimit, ns::ErrorRef* error,
    const std::function<std::optional<T>(const QRVASqliteRow&)>& createDataTypeBlock) {
    if (!QRVAAssertTrue(bool(createDataTypeBlock), error, 1, "Received nil block to get all data types")) {
        return std::nullopt;
    }
    std::vector<T> objects;
    bool read = readAllRows(table, tableLimit, error, [&](const QRVASqliteRow& row) {
        auto object = createDataTypeBlock(row);
        if (object) objects.push_back(std::move(*object));
        return object.has_value();
    });
    if (!read) return std::nullopt;
    return objects;
}

template <class T>
std::optional<std::vector<T>> QRVADatabase::dataTypesFromTableWithName(
    const std::string& table, const std::string& columnName, const ns::Value& columnValue, ns::ErrorRef* error,
    const std::function<std::optional<T>(const QRVASqliteRow&)>& createDataTypeBlock) {
    std::vector<T> objects;
    bool read = readRowsWhere(table, columnName, columnValue, error, bool(createDataTypeBlock),
                              [&](const QRVASqliteRow& row) {
                                  auto object = createDataTypeBlock(row);
                                  if (object) objects.push_back(std::move(*object));
                                  return object.has_value();
                              });
    if (!read) return std::nullopt;
    return objects;
}

template <class T>
bool QRVADatabase::insertDataType(const T* object, const std::string& table, ns::ErrorRef* error,
                                  const std::function<std::optional<QRVASqliteRecord>(const T&)>& createDictionaryBlock) {
    RecordMaker maker = [&]() -> std::optional<QRVASqliteRecord> {
        if (!object) return std::nullopt;
        return createDictionaryBlock(*object);
    };
    return insertMadeRecord(table, error, createDictionaryBlock ? &maker : nullptr);
}

template <class T>
bool QRVADatabase::upsertDataType(const T* object, const std::string& table, const std::string& columnName,
                                  const ns::Value& columnValue, int64_t tableLimit, ns::ErrorRef* error,
                                  const std::function<std::optional<QRVASqliteRecord>(const T&)>& createDictionaryBlock) {
    RecordMaker maker = [&]() { return createDictionaryBlock(*object); };
    return upsertMadeRecord(object != nullptr, table, columnName, columnValue, tableLimit, error,
                            createDictionaryBlock ? &maker : nullptr);
}

template <class T>
bool QRVADatabase::updateDataType(const T* object, const std::string& table, const std::string& columnName,
                                  const ns::Value& columnValue, ns::ErrorRef* error,
                                  const std::function<std::optional<QRVASqliteRecord>(const T&)>& createDictionaryBlock) {
    RecordMaker maker = [&]() { return createDictionaryBlock(*object); };
    return updateMadeRecord(object != nullptr, table, columnName, columnValue, error,
                            createDictionaryBlock ? &maker : nullptr);
}
