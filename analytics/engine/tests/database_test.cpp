#include <gtest/gtest.h>

#include <functional>

#include "analytics/QRVADatabase.h"
#include "analytics/QRVASqliteStore.h"
#include "analytics/QRVAUtilities.h"
#include "platform/clock.h"
#include "platform/file_manager.h"
#include "store_test_support.h"

namespace {

using storetest::RawDatabase;
namespace F = QRVAPBField;

class DatabaseTest : public storetest::StoreTest {
protected:
    std::string path() { return QRVAFilePathForDatabaseName(kQRVADatabaseFileName); }
    // A file made before this version: its raw_events keep whole seconds
    // and neither it nor the queue has the real-time flag.
    void writeOldLayout() {
        ns::FileManager::defaultManager().createDirectory(path().substr(0, path().rfind('/')), true);
        RawDatabase old(path());
        ASSERT_TRUE(old.exec(
            "CREATE TABLE raw_events (name TEXT NOT NULL, timestamp INTEGER NOT NULL, "
            "metadata_fingerprint INTEGER NOT NULL, data BLOB NOT NULL);"
            "INSERT INTO raw_events VALUES ('_s', 1700000000, 7, x'0a00'), ('_e', 1700000005, 7, x'0a01');"
            "CREATE TABLE queue (data BLOB NOT NULL, bundle_end_timestamp REAL NOT NULL);"
            "INSERT INTO queue VALUES (x'1f8b', 1700000009.5);"
            "CREATE TABLE app_metadata (last_bundle_index INTEGER NOT NULL, last_bundle_end_timestamp REAL NOT NULL);"
            "INSERT INTO app_metadata (rowid, last_bundle_index, last_bundle_end_timestamp) VALUES (1, 41, 1700000009.5);"));
    }
    static std::shared_ptr<QRVAPBMeasurementConfig> config(const std::string& appID, int64_t version) {
        auto message = QRVAPBMeasurementConfig::message();
        NANOSetInt64(message, F::MeasurementConfig::version, version);
        if (!appID.empty()) NANOSetString(message, F::MeasurementConfig::app_id, appID);
        return message;
    }
};

TEST_F(DatabaseTest, AFirstStartMakesElevenTablesAndTheBookkeepingRow) {
    auto database = openDatabase();
    ASSERT_TRUE(database);
    EXPECT_TRUE(ns::FileManager::defaultManager().isExcludedFromBackup(path()));
    RawDatabase raw(path());
    EXPECT_EQ(raw.rows("SELECT name FROM sqlite_master WHERE type='table' ORDER BY name"),
              (std::vector<std::string>{"app_metadata", "audience_filter_values", "conditional_properties", "event_filters",
                                        "events", "property_filters", "purchase_transactions", "queue", "raw_events",
                                        "raw_events_metadata", "user_attributes"}));
    const std::string row1 =
        "SELECT rowid, last_bundle_index, last_bundle_start_timestamp, last_bundle_end_timestamp, day, "
        "daily_events_count, remote_config_data, daily_real_time_conversion_events_count FROM app_metadata";
    EXPECT_EQ(raw.rows(row1), (std::vector<std::string>{"1|0|0.0|0.0|NULL|NULL|NULL|NULL"}));
    EXPECT_EQ(raw.value("SELECT type FROM pragma_table_info('raw_events') WHERE name='timestamp'"), "REAL");
    EXPECT_EQ(raw.value("SELECT pk FROM pragma_table_info('event_filters') WHERE name='filter_id'"), "2");

    // A second opening changes nothing.
    database.reset();
    ASSERT_TRUE(openDatabase());
    EXPECT_EQ(raw.rows(row1), (std::vector<std::string>{"1|0|0.0|0.0|NULL|NULL|NULL|NULL"}));
}

TEST_F(DatabaseTest, AnOlderLayoutIsUpgradedWithItsRows) {
    writeOldLayout();
    auto database = openDatabase();
    ASSERT_TRUE(database);
    RawDatabase raw(path());
    EXPECT_EQ(raw.rows("SELECT name, typeof(timestamp), metadata_fingerprint, is_realtime FROM raw_events ORDER BY rowid"),
              (std::vector<std::string>{"_s|real|7|NULL", "_e|real|7|NULL"}));
    EXPECT_EQ(raw.rows("SELECT bundle_end_timestamp, is_realtime FROM queue"),
              (std::vector<std::string>{"1700000009.5|NULL"}));
    ns::ErrorRef error;
    auto metadata = database->queryAppMetadata(&error);
    ASSERT_TRUE(metadata);
    EXPECT_EQ(metadata->lastBundleIndex(), 41);
    EXPECT_EQ(metadata->lastBundleStartTimestamp(), 0.0);
    EXPECT_EQ(database->queryLatestRawEventTime(&error), 1700000005.0);
    EXPECT_EQ(raw.value("SELECT count(*) FROM sqlite_master WHERE name LIKE '%_old'"), "0");

    // Upgraded once: a second opening finds the layout it wants and
    // rebuilds nothing (the trigger on the table would go with it).
    raw.exec("CREATE TRIGGER marker AFTER INSERT ON raw_events BEGIN SELECT 1; END");
    database.reset();
    ASSERT_TRUE(openDatabase());
    EXPECT_EQ(raw.value("SELECT count(*) FROM sqlite_master WHERE name='marker'"), "1");
}

TEST_F(DatabaseTest, AFileThatCannotTakeTheLayoutIsDeletedAndTheNextOpeningStartsAfresh) {
    ns::FileManager::defaultManager().createDirectory(path().substr(0, path().rfind('/')), true);
    RawDatabase(path()).exec("CREATE TABLE events (name TEXT NOT NULL PRIMARY KEY, lifetime_count INTEGER NOT NULL, "
                             "current_bundle_count INTEGER NOT NULL, last_fire_timestamp REAL NOT NULL, "
                             "owner TEXT NOT NULL)");
    EXPECT_EQ(openDatabase(), nullptr);
    EXPECT_TRUE(logged(12047));
    EXPECT_TRUE(logged(12002));
    EXPECT_FALSE(ns::FileManager::defaultManager().fileExists(path()));
    EXPECT_TRUE(openDatabase());

    EXPECT_EQ(QRVADatabase::initWithDatabaseName("", nullptr), nullptr);
    EXPECT_TRUE(logged(12000));
}

TEST_F(DatabaseTest, GarbageInPlaceOfTheFileIsReplacedJournalIncluded) {
    const auto& files = ns::FileManager::defaultManager();
    files.createDirectory(path().substr(0, path().rfind('/')), true);
    ASSERT_TRUE(files.writeData(path(), ns::Data(8192, 'g')));
    ASSERT_TRUE(files.writeData(path() + "-journal", ns::Data(600, 'j')));
    auto database = openDatabase();
    ASSERT_TRUE(database);
    EXPECT_FALSE(files.fileExists(path() + "-journal"));
    ns::ErrorRef error;
    EXPECT_TRUE(database->queryAppMetadata(&error));
}

TEST_F(DatabaseTest, ADamagedFileIsSetAsideWithAnErrorLineAndANewOneStarts) {
    const auto& files = ns::FileManager::defaultManager();
    files.createDirectory(path().substr(0, path().rfind('/')), true);
    // A file of several pages, written by a plain connection.
    const auto written = [&] {
        RawDatabase(path()).exec(
            "CREATE TABLE t (a); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 8) "
            "INSERT INTO t SELECT randomblob(3000) FROM n");
        return *files.readData(path());
    };
    // A journal SQLite does not take for hot (its first byte is zero), so
    // it is still there when the file is found damaged.
    ns::Data journal(600, 'j');
    journal[0] = 0;
    const struct {
        const char* what;
        std::function<void()> damage;
        bool withJournal;
        const char* keptAs;  // after the copies of the cases before
        bool untouched;      // the copy is byte for byte the damaged file
    } cases[] = {
        {"garbage in place of the file", [&] { files.writeData(path(), ns::Data(8192, 'g')); }, true, ".damaged", true},
        {"a file cut short",
         [&] {
             ns::Data bytes = written();
             bytes.resize(bytes.size() / 3);
             files.writeData(path(), bytes);
         },
         false, ".damaged-2", true},
        {"a table page's cell pointers overwritten",
         [&] {
             ns::Data bytes = written();
             std::fill(bytes.begin() + 4096 + 8, bytes.begin() + 4096 + 100, uint8_t(0x55));
             files.writeData(path(), bytes);
         },
         true, ".damaged-3", true},
        // Found out only after the tables before it were made in the file.
        {"a table that cannot take the store's layout",
         [&] {
             RawDatabase(path()).exec("CREATE TABLE events (name TEXT NOT NULL PRIMARY KEY, lifetime_count INTEGER "
                                      "NOT NULL, current_bundle_count INTEGER NOT NULL, last_fire_timestamp REAL NOT "
                                      "NULL, owner TEXT NOT NULL)");
         },
         false, ".damaged-4", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(QRVASqliteStore::deleteDatabaseFiles(path(), nullptr));
        c.damage();
        if (c.withJournal) {
            ASSERT_TRUE(files.writeData(path() + "-journal", journal));
        }
        const std::optional<ns::Data> damaged = files.readData(path());
        std::shared_ptr<QRVADatabase> database;
        // As the engine opens it: a second time when the first gives none.
        const auto lines = analyticstest::logged([&] {
            database = openDatabase();
            if (!database) database = openDatabase();
        });
        ASSERT_TRUE(database);
        ns::ErrorRef error;
        EXPECT_TRUE(database->queryAppMetadata(&error)) << "a new store works";
        EXPECT_EQ(database->sqliteStore()->tableExists("t", &error), false);
        const std::string aside = path() + c.keptAs;
        if (c.untouched) {
            EXPECT_EQ(files.readData(aside), damaged) << "kept as it was";
        } else {
            EXPECT_EQ(RawDatabase(aside).value("SELECT name FROM pragma_table_info('events') WHERE name = 'owner'"),
                      "owner");
        }
        if (c.withJournal) {
            EXPECT_EQ(files.readData(aside + "-journal"), journal) << "beside the copy, under its name";
        }
        EXPECT_FALSE(files.fileExists(path() + "-journal"));
        const auto said = std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
            return line.rfind("34024 ", 0) == 0 && line.find(path() + ", ") != std::string::npos &&
                   line.find(aside + ", ") != std::string::npos;
        });
        EXPECT_EQ(said, 1) << ::testing::PrintToString(lines);
        database.reset();
    }
}

TEST_F(DatabaseTest, TheRemoteConfigurationIsStoredWithItsTime) {
    auto clock = ns::VirtualClock::install(1'700'000'000.5);
    auto database = openDatabase();
    ns::ErrorRef error;
    EXPECT_EQ(database->queryMeasurementConfigWithError(&error), nullptr);
    EXPECT_EQ(database->lastRemoteConfigUpdateTimestamp(&error), std::nullopt);
    EXPECT_EQ(error, nullptr);

    ASSERT_TRUE(database->updateRemoteConfig(config("1:1065:ios:ab", 7), &error));
    auto stored = database->queryMeasurementConfigWithError(&error);
    ASSERT_TRUE(stored);
    EXPECT_EQ(NANOGetInt64(stored, F::MeasurementConfig::version), 7);
    EXPECT_EQ(database->lastRemoteConfigUpdateTimestamp(&error), 1'700'000'000.5);
    ASSERT_TRUE(database->updateRemoteConfigSuccessfulTimestamp(1'700'000'100, &error));
    EXPECT_EQ(database->lastRemoteConfigUpdateTimestamp(&error), 1'700'000'100);

    const struct {
        std::shared_ptr<QRVAPBMeasurementConfig> config;
        const char* error;
    } refused[] = {
        {config("", 8), "1 Missing VLP app ID in measurement configuration"},
        {QRVAPBMeasurementConfig::message(), "1 Invalid measurement config data"},
        {nullptr, "1 Invalid measurement config data"},
    };
    for (const auto& c : refused) {
        error = nullptr;
        EXPECT_FALSE(database->updateRemoteConfig(c.config, &error));
        EXPECT_EQ(storetest::describe(error), c.error);
    }
    EXPECT_EQ(NANOGetInt64(database->queryMeasurementConfigWithError(&error), F::MeasurementConfig::version), 7);

    // Bytes that do not decode as a configuration.
    RawDatabase(path()).exec("UPDATE app_metadata SET remote_config_data = x'0a05ff'");
    error = nullptr;
    EXPECT_EQ(database->queryMeasurementConfigWithError(&error), nullptr);
    EXPECT_STORE_ERROR(error, 2, "Remote config data is corrupted");
}

TEST_F(DatabaseTest, AnUpdateOfAMissingKeyFailsAndInsertsNothing) {
    auto database = openDatabase();
    ns::ErrorRef error;
    std::string key = "t-1";
    EXPECT_FALSE(database->updateDataType<std::string>(
        &key, "purchase_transactions", "fingerprint", key, &error,
        [](const std::string& name) { return std::optional<QRVASqliteRecord>({{"fingerprint", name}}); }));
    EXPECT_STORE_ERROR(error, 2, "Failed to update record. Item doesn't exist");
    EXPECT_EQ(database->sqliteStore()->rowCountForTableWithName("purchase_transactions", &error), 0);
}

}  // namespace
