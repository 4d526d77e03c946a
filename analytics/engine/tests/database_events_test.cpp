#include <gtest/gtest.h>

#include <functional>

#include "analytics/QRVADatabase.h"
#include "analytics/QRVAUtilities.h"
#include "platform/clock.h"
#include "platform/toolbox.h"
#include "store_test_support.h"

namespace {

namespace F = QRVAPBField;
using storetest::kNow;

class DatabaseEventsTest : public storetest::OpenDatabaseTest {
protected:
    static std::shared_ptr<QRVAPBMeasurementBundle> metadata(const std::string& appInstanceID) {
        auto bundle = QRVAPBMeasurementBundle::message();
        NANOSetString(bundle, F::MeasurementBundle::app_id, "pa.almavel.asistente");
        NANOSetString(bundle, F::MeasurementBundle::app_instance_id, appInstanceID);
        NANOSetString(bundle, F::MeasurementBundle::os_version, "17.4.1");
        return bundle;
    }
    // A bundle whose encoding is about `size` bytes.
    static std::shared_ptr<QRVAPBMeasurementBundle> bundle(size_t size, double end) {
        auto message = metadata("A1");
        NANOSetInt64(message, F::MeasurementBundle::end_timestamp_millis, int64_t(end * 1000));
        NANOSetString(message, F::MeasurementBundle::device_model, std::string(size > 60 ? size - 60 : 1, 'm'));
        return message;
    }
    static QRVAEvent event(const std::string& name, double time, const QRVAObjectParameters& parameters = {}) {
        return *QRVAEvent::initWithOrigin("app", false, name, time, time - 10, parameters);
    }
    std::optional<int64_t> write(const std::shared_ptr<QRVAPBMeasurementBundle>& meta, const QRVAEvent& e,
                                 bool realtime = false) {
        ns::ErrorRef error;
        auto fingerprint = QRVADatabase::fingerprintOfMetadata(*meta);
        bool ok = database_->performTransaction([&] {
            return database_->insertIfNotExistsRawEventMetadata(meta, &error) &&
                   database_->deleteRawEventsOverAbsoluteLimit(&error) &&
                   database_->insertRawEvent(e, *fingerprint, realtime, &error);
        });
        EXPECT_TRUE(ok) << storetest::describe(error);
        return fingerprint;
    }
    int64_t count(const std::string& table) {
        ns::ErrorRef error;
        return database_->sqliteStore()->rowCountForTableWithName(table, &error).value_or(-1);
    }
    static bool everyRow(size_t, const QRVASqliteRow&) { return true; }
};

TEST_F(DatabaseEventsTest, RawEventsAreKeptBesideOneCopyOfTheirMetadataAndReadBackInGroups) {
    ns::ErrorRef error;
    EXPECT_EQ(database_->nextMetadataFingerprintToProcess(&error), std::nullopt);
    EXPECT_EQ(error, nullptr);
    auto first = metadata("A1"), second = metadata("B2");
    auto a = write(first, event("_s", kNow - 3.25, QRVAObjectParameters{{"_sn", "Inicio"}, {"_si", 7}}));
    write(first, event("_vs", kNow - 1.5, QRVAObjectParameters{{"_et", 2.5}}));
    auto b = write(second, event("_e", kNow - 2), true);
    EXPECT_EQ(count("raw_events_metadata"), 2);
    EXPECT_EQ(count("raw_events"), 3);

    EXPECT_EQ(database_->nextMetadataFingerprintToProcess(&error), a);
    auto group = database_->rawEventsWithMetadataFingerprint(*a, &error, everyRow);
    ASSERT_TRUE(group && group->size() == 2) << storetest::describe(error);
    EXPECT_EQ((*group)[0].rawEvent(), event("_s", kNow - 3.25, QRVAObjectParameters{{"_sn", "Inicio"}, {"_si", 7}}));
    EXPECT_EQ((*group)[1].rawEvent(), event("_vs", kNow - 1.5, QRVAObjectParameters{{"_et", 2.5}}));
    EXPECT_EQ((*group)[1].metadataFingerprint(), *a);
    EXPECT_EQ(database_->queryRawEventsMetadataWithFingerprint(*a, &error)->protoBuffer(), first->protoBuffer());

    EXPECT_EQ(database_->containsRealtimeRawEventsWithError(&error), true);
    // Bundling the first group: its events and then its metadata go.
    ASSERT_TRUE(database_->deleteRawEventsWithMaxRowID((*group)[1].rowID(), &error));
    EXPECT_EQ(database_->containsRawEventWithMetadataFingerprint(*a, &error), false);
    ASSERT_TRUE(database_->deleteRawEventMetadataWithMetadataFingerprint(*a, &error));
    EXPECT_EQ(database_->nextMetadataFingerprintToProcess(&error), b);
    EXPECT_EQ(count("raw_events_metadata"), 1);
}

TEST_F(DatabaseEventsTest, StoredEventsThatCannotBeReadAreLeftOut) {
    const struct {
        const char* what;
        ns::Value data;
        const char* error;
    } cases[] = {
        // Encoded Events by hand (the wrappers write no float_value): params
        // "_o" = "app" and "f" with only float_value 1.5; "x" = "y"; "_o" = 4.
        {"origin and a float-only parameter",
         ns::Data{0x0a, 0x09, 0x0a, 0x02, '_', 'o', 0x12, 0x03, 'a', 'p', 'p',
                  0x0a, 0x08, 0x0a, 0x01, 'f', 0x25, 0x00, 0x00, 0xc0, 0x3f},
         "no error"},
        {"no origin", ns::Data{0x0a, 0x06, 0x0a, 0x01, 'x', 0x12, 0x01, 'y'},
         "2 Cannot create an event from database. Missing origin parameter"},
        {"numeric origin", ns::Data{0x0a, 0x06, 0x0a, 0x02, '_', 'o', 0x18, 0x04},
         "2 Cannot create an event from database. Origin parameter is not a string"},
        {"not an event", ns::Data{0xff, 0xff}, "2 Failed to parse event from data"},
        {"no data", ns::Value(), "1 Unable to find event data in the database dictionary"},
    };
    for (const auto& c : cases) {
        QRVASqliteRow row{{"rowid", 4}, {"name", "_s"}, {"timestamp", kNow}, {"metadata_fingerprint", 9}};
        if (!c.data.isNull()) row["data"] = c.data;
        ns::ErrorRef error;
        auto raw = database_->rawEventDataFromDictionary(row, &error);
        EXPECT_EQ(raw.has_value(), std::string(c.error) == "no error") << c.what;
        EXPECT_EQ(storetest::describe(error), c.error) << c.what;
        if (raw) {
            EXPECT_FALSE(raw->rawEvent().parameters().contains("f"));
        }
    }
    EXPECT_TRUE(logged(12015));

    // A group whose only accepted rows fail is no answer; a group with no
    // accepted rows is an empty one.
    ASSERT_TRUE(database_->sqliteStore()->upsertRecord(
        {{"name", "_s"}, {"timestamp", kNow}, {"metadata_fingerprint", 9}, {"data", ns::Data{0xff}}}, "raw_events",
        nullptr));
    ns::ErrorRef error;
    EXPECT_EQ(database_->rawEventsWithMetadataFingerprint(9, &error, everyRow), std::nullopt);
    EXPECT_STORE_ERROR(error, 2, "Failed to parse event from data");
    EXPECT_EQ(database_->rawEventsWithMetadataFingerprint(9, &error, [](size_t, const QRVASqliteRow&) { return false; })
                  ->size(),
              0u);
}

TEST_F(DatabaseEventsTest, StoredParametersReadAsTheFullDecoderReadsThem) {
    // Events encoded by hand: [param]s of name and values, then the times.
    auto param = [](std::string name, std::initializer_list<uint8_t> fields) {
        ns::Data p{0x0a, uint8_t(name.size())};
        p.insert(p.end(), name.begin(), name.end());
        p.insert(p.end(), fields);
        p.insert(p.begin(), {0x0a, uint8_t(p.size())});
        return p;
    };
    const ns::Data origin = param("_o", {0x12, 0x03, 'a', 'p', 'p'});
    const struct {
        const char* what;
        std::vector<ns::Data> params;
        ns::Data times;
        QRVAParameters read;
        double previous;
    } cases[] = {
        {"every kind, origin last", {param("n", {0x18, 0x05}), param("s", {0x12, 0x01, 't'}), origin},
         {0x18, 0x01, 0x20, 0xdc, 0x0b}, {{"n", QRVAValue(int64_t(5))}, {"s", QRVAValue::string("t")}}, 1.5},
        {"a later entry of a name wins in place", {param("x", {0x18, 0x01}), origin, param("x", {0x12, 0x01, 'y'})},
         {}, {{"x", QRVAValue::string("y")}}, 0},
        {"text before a number", {origin, param("x", {0x18, 0x02, 0x12, 0x01, 'y'})}, {}, {{"x", QRVAValue::string("y")}}, 0},
        {"the first of two names", {origin, param("x", {0x0a, 0x01, 'z', 0x18, 0x02})}, {}, {{"x", QRVAValue(int64_t(2))}}, 0},
        {"a negative number", {origin, param("m", {0x18, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01})},
         {}, {{"m", QRVAValue(int64_t(-1))}}, 0},
        {"an undeclared field", {origin}, {0x48, 0x07}, {}, 0},
    };
    for (const auto& c : cases) {
        ns::Data data;
        for (const auto& p : c.params) data.insert(data.end(), p.begin(), p.end());
        data.insert(data.end(), c.times.begin(), c.times.end());
        QRVASqliteRow row{{"rowid", 4}, {"name", "_s"}, {"timestamp", kNow}, {"metadata_fingerprint", 9}, {"data", data}};
        ns::ErrorRef error;
        auto raw = database_->rawEventDataFromDictionary(row, &error);
        ASSERT_TRUE(raw) << c.what << ": " << storetest::describe(error);
        EXPECT_EQ(raw->rawEvent(), *QRVAEvent::initWithOrigin("app", false, "_s", kNow, c.previous, c.read)) << c.what;
    }
}

TEST_F(DatabaseEventsTest, BundlesAreQueuedCompressedAndReadOldestFirstWithinTheSizeBudget) {
    ns::ErrorRef error;
    const struct {
        std::vector<size_t> sizes;
        int64_t sizeLimit;
        size_t firstCall;
    } cases[] = {
        {{70000, 10}, 65536, 1},
        {{30000, 30000, 30000}, 65536, 2},
        {{100, 100, 100}, 0, 1},
        {{100, 100, 100}, 65536, 3},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(database_->sqliteStore()->deleteAllRecordsFromTableWithName("queue", &error));
        // Stored newest first; read back by end time.
        for (size_t i = 0; i < c.sizes.size(); ++i) {
            ASSERT_TRUE(database_->insertBundle(bundle(c.sizes[i], kNow - double(i)), false, &error))
                << storetest::describe(error);
        }
        auto taken = database_->queryBundlesWithCountLimit(100, c.sizeLimit, &error);
        ASSERT_TRUE(taken);
        ASSERT_EQ(taken->size(), c.firstCall) << c.sizes.size() << " bundles, limit " << c.sizeLimit;
        for (size_t i = 0; i < taken->size(); ++i) {
            EXPECT_EQ(NANOGetInt64((*taken)[i].record(), F::MeasurementBundle::end_timestamp_millis),
                      int64_t((kNow - double(c.sizes.size() - 1 - i)) * 1000));
        }
        EXPECT_EQ(database_->queryBundlesWithCountLimit(1, c.sizeLimit, &error)->size(), 1u);
    }
    auto stored = database_->sqliteStore()->recordsForQuery("SELECT data FROM queue LIMIT 1", {}, &error);
    EXPECT_EQ(QRVARowValue(stored->front(), "data").asData()[0], 0x1f);  // gzip
    EXPECT_EQ(database_->queryLatestBundleTime(&error), kNow);

    const struct {
        std::shared_ptr<QRVAPBMeasurementBundle> bundle;
        const char* error;
    } refused[] = {
        {nullptr, "1 Failed to insert nil bundle"},
        {QRVAPBMeasurementBundle::message(), "1 Failed to insert nil bundle"},
        {bundle(100, 0), "1 Failed to insert bundle without valid timestamp"},
    };
    for (const auto& c : refused) {
        error = nullptr;
        EXPECT_FALSE(database_->insertBundle(c.bundle, false, &error));
        EXPECT_EQ(storetest::describe(error), c.error);
    }
}

TEST_F(DatabaseEventsTest, QueueRowsThatCanNeverBeReadAreDeletedAsTheyAreMet) {
    ns::ErrorRef error;
    auto store = database_->sqliteStore();
    const struct {
        ns::Data data;
        int code;
    } unreadable[] = {
        {ns::Data{}, 12049},
        {ns::Data{'n', 'o', 't', ' ', 'g', 'z'}, 12050},
        {htk_dataByGzippingData(ns::Data{0xff, 0xff, 0xff}, nullptr), 12051},
    };
    for (const auto& c : unreadable) {
        ASSERT_TRUE(store->upsertRecord({{"data", c.data}, {"bundle_end_timestamp", kNow - 100}}, "queue", &error));
    }
    ASSERT_TRUE(database_->insertBundle(bundle(200, kNow - 5), true, &error));
    auto taken = database_->queryBundlesWithCountLimit(100, 65536, &error);
    ASSERT_TRUE(taken);
    EXPECT_EQ(taken->size(), 1u);
    for (const auto& c : unreadable) EXPECT_TRUE(logged(c.code)) << c.code;
    EXPECT_EQ(count("queue"), 1);

    // Deleting sent bundles: ids must all be numbers.
    EXPECT_FALSE(database_->deleteBundlesWithRowIDs({taken->front().rowID, "7"}, &error));
    EXPECT_STORE_ERROR(error, 1, "Received invalid type for row ID to delete bundles");
    EXPECT_EQ(count("queue"), 1);
    EXPECT_TRUE(database_->deleteBundlesWithRowIDs({taken->front().rowID}, &error));
    EXPECT_EQ(database_->isQueuedBundleTableEmpty(&error), true);
}

TEST_F(DatabaseEventsTest, StaleRowsAreSweptOncePerIntervalWhetherPastOrFuture) {
    const double maxQueueTime = QRVADatabaseSettings().maxQueueTime;
    ns::ErrorRef error;
    // The first sweep after installation is due at once (nothing recorded).
    EXPECT_EQ(database_->maybeDeleteStaleData(&error), true);
    EXPECT_EQ(database_->maybeDeleteStaleData(&error), false);

    auto meta = metadata("A1");
    write(meta, event("_s", kNow - maxQueueTime - 1));
    write(meta, event("_e", kNow + 2 * maxQueueTime));
    write(metadata("C3"), event("_vs", kNow));
    ASSERT_TRUE(database_->insertBundle(bundle(100, kNow - maxQueueTime - 1), false, &error));
    EXPECT_TRUE(logged(12016));
    ASSERT_TRUE(database_->insertBundle(bundle(100, kNow), false, &error));

    clock_->advance(QRVADatabaseSettings().databaseDeleteStaleBundlesInterval + 1);
    EXPECT_EQ(database_->maybeDeleteStaleData(&error), true);
    EXPECT_EQ(count("raw_events"), 1);
    EXPECT_EQ(count("raw_events_metadata"), 1);
    EXPECT_EQ(count("queue"), 1);
    EXPECT_EQ(QRVAPersistedConfig::sharedInstance()->lastDeleteStaleBundlesTimestamp(), ns::Clock::nowSeconds());

    EXPECT_FALSE(database_->deleteStaleBundlesOlderThanMaxAge(-1, &error));
    EXPECT_STORE_ERROR(error, 1, "Cannot delete stale bundles after negative time period");
}

TEST_F(DatabaseEventsTest, TheOldestRawEventsGiveWayPastTheStoredLimit) {
    database_->setSettingsProvider([] {
        QRVADatabaseSettings settings;
        settings.maxEventsStored = 3;
        return settings;
    });
    auto meta = metadata("A1");
    auto fingerprint = QRVADatabase::fingerprintOfMetadata(*meta);
    ns::ErrorRef error;
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(database_->insertRawEvent(event("_s", kNow + i), *fingerprint, false, &error));
    // Room for the event about to be written: the newest two stay.
    EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(&error), 3);
    auto left = database_->sqliteStore()->recordsForQuery("SELECT timestamp FROM raw_events ORDER BY rowid", {}, &error);
    ASSERT_EQ(left->size(), 2u);
    EXPECT_EQ(QRVARowValue(left->front(), "timestamp"), ns::Value(kNow + 3));
}

// The newest time the upload schedule asks for and the count the trim goes
// by stay those of the table through every kind of change, each step
// checked against what another connection reads from the file.
TEST_F(DatabaseEventsTest, TheNewestTimeAndTheTrimFollowEveryChangeToTheRawEvents) {
    database_->setSettingsProvider([] {
        QRVADatabaseSettings settings;
        settings.maxEventsStored = 4;
        return settings;
    });
    const int64_t fingerprint = *QRVADatabase::fingerprintOfMetadata(*metadata("A1"));
    auto& store = *database_->sqliteStore();
    storetest::RawDatabase other(QRVAFilePathForDatabaseName(kQRVADatabaseFileName));
    ns::ErrorRef error;
    auto insert = [&](double offset) {
        return database_->insertRawEvent(event("_s", kNow + offset), fingerprint, false, &error);
    };
    auto sql = [&](const std::string& text) { return store.executeSQL(text, &error); };
    auto retime = [&](double offset) {
        return sql("UPDATE raw_events SET timestamp = " + std::to_string(kNow + offset) + " WHERE rowid = 4");
    };
    auto othersInsert = [&](double offset) {
        return other.exec("INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data) VALUES ('_s', " +
                          std::to_string(kNow + offset) + ", " + std::to_string(fingerprint) + ", x'0a')");
    };
    auto rolledBack = [&](const std::function<bool()>& work) {
        return !database_->performTransaction([&] { return work() && false; });
    };
    const std::string kNewest = "rowid = (SELECT MAX(rowid) FROM raw_events)";
    const struct {
        const char* what;
        std::function<bool()> change;
    } steps[] = {
        {"first asked in a transaction rolled back",
         [&] { return rolledBack([&] { return database_->queryLatestRawEventTime(&error) && insert(1); }); }},
        {"nothing stored", [] { return true; }},
        {"written out of time order", [&] { return insert(5) && insert(1) && insert(3); }},
        {"the oldest row, with the newest time, deleted",
         [&] { return sql("DELETE FROM raw_events WHERE rowid = 1"); }},
        {"one more than the trim keeps", [&] { return insert(2) && insert(9); }},
        {"the newest deleted", [&] { return sql("DELETE FROM raw_events WHERE " + kNewest); }},
        {"a time raised", [&] { return retime(20); }},
        {"the time lowered again", [&] { return retime(0); }},
        {"writes and deletes rolled back",
         [&] {
             return rolledBack([&] { return insert(50) && insert(60) && insert(70); }) &&
                    rolledBack([&] { return store.deleteAllRecordsFromTableWithName("raw_events", &error); });
         }},
        {"another connection writes", [&] { return othersInsert(70) && othersInsert(71) && othersInsert(72); }},
        {"another connection deletes the newest",
         [&] { return other.exec("DELETE FROM raw_events WHERE " + kNewest); }},
        {"every row deleted", [&] { return store.deleteAllRecordsFromTableWithName("raw_events", &error); }},
        {"written again", [&] { return insert(4); }},
    };
    for (const auto& step : steps) {
        ASSERT_TRUE(step.change()) << step.what << " " << storetest::describe(error);
        const std::string newest = other.value("SELECT MAX(timestamp) FROM raw_events");
        const auto latest = database_->queryLatestRawEventTime(&error);
        EXPECT_EQ(latest, newest == "NULL" ? std::nullopt : std::optional<double>(std::stod(newest)))
            << step.what << ", newest " << newest;
        const int64_t stored = std::stoll(other.value("SELECT count(*) FROM raw_events"));
        EXPECT_EQ(database_->deleteRawEventsOverAbsoluteLimit(&error), std::max<int64_t>(0, stored - 3)) << step.what;
        EXPECT_EQ(count("raw_events"), std::min<int64_t>(stored, 3)) << step.what;
    }
}

}  // namespace
