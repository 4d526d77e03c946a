// 1,000 raw events written with their metadata through the analytics store,
// as the event write path does for each event (metadata stored once, the
// raw-event limit enforced, the event row written), in one transaction;
// against the same rows written by plain prepared statements in the same
// transaction shape: the same look-up of the metadata, the same limit
// delete, the same insert, and the same encoding of the event and of the
// metadata. The difference is what the table layer costs: statement texts
// built and looked up per call, records of values, the generic row
// operations' checks.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "analytics/QRVADatabase.h"
#include "analytics/QRVAUtilities.h"
#include "platform/sandbox.h"

namespace F = QRVAPBField;

namespace {

double secondsOf(const std::function<void()>& fn) {
    auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A sandbox of its own for one run, removed with everything in it after.
class TemporarySandbox {
public:
    TemporarySandbox() {
        char pattern[] = "/tmp/almavel-bench-store-XXXXXX";
        root_ = ::mkdtemp(pattern);
        previous_ = ns::Sandbox::setCurrent(ns::Sandbox::open(root_));
    }
    ~TemporarySandbox() {
        ns::Sandbox::setCurrent(previous_);
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

private:
    std::string root_;
    std::shared_ptr<ns::Sandbox> previous_;
};

std::shared_ptr<QRVAPBMeasurementBundle> sampleMetadata() {
    auto bundle = QRVAPBMeasurementBundle::message();
    NANOSetInt32(bundle, F::MeasurementBundle::protocol_version, 1);
    NANOSetString(bundle, F::MeasurementBundle::platform, "ios");
    NANOSetString(bundle, F::MeasurementBundle::os_version, "17.4.1");
    NANOSetString(bundle, F::MeasurementBundle::device_model, "iPhone15,2");
    NANOSetString(bundle, F::MeasurementBundle::user_default_language, "es-pa");
    NANOSetInt32(bundle, F::MeasurementBundle::timezone_offset_minutes, -300);
    NANOSetString(bundle, F::MeasurementBundle::app_id, "pa.almavel.asistente");
    NANOSetString(bundle, F::MeasurementBundle::app_version, "2.4");
    NANOSetInt64(bundle, F::MeasurementBundle::library_version, 40002);
    NANOSetString(bundle, F::MeasurementBundle::app_instance_id, "5F0C2A9B1D3E4F60718293A4B5C6D7E8");
    NANOSetString(bundle, F::MeasurementBundle::vlp_app_id, "1:1065:ios:ab12");
    return bundle;
}

std::vector<QRVAEvent> sampleEvents() {
    std::vector<QRVAEvent> events;
    for (int i = 0; i < 1000; ++i) {
        double time = 1'700'000'000.0 + i * 0.25;
        events.push_back(*QRVAEvent::initWithOrigin(
            "app", true, i % 3 ? "view_item" : "add_to_cart", time, time - 0.25,
            QRVAObjectParameters{{"item_id", "7450001" + std::to_string(100000 + i)},
                                 {"quantity", 1 + i % 7},
                                 {"value", 12.5 + i}}));
    }
    return events;
}

bool writeThroughStore(QRVADatabase& database, const std::shared_ptr<QRVAPBMeasurementBundle>& metadata,
                       const std::vector<QRVAEvent>& events) {
    ns::ErrorRef error;
    return database.performTransaction([&] {
        for (const auto& event : events) {
            auto fingerprint = QRVADatabase::fingerprintOfMetadata(*metadata);
            if (!fingerprint || !database.insertIfNotExistsRawEventMetadata(metadata, &error) ||
                !database.deleteRawEventsOverAbsoluteLimit(&error) ||
                !database.insertRawEvent(event, *fingerprint, false, &error)) {
                return false;
            }
        }
        return true;
    });
}

// The same statements, prepared once and bound by hand.
class PlainWriter {
public:
    explicit PlainWriter(const std::string& path) {
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr);
        prepare(&lookup_, "SELECT metadata FROM raw_events_metadata WHERE metadata_fingerprint = ?");
        prepare(&insertMetadata_,
                "INSERT OR REPLACE INTO raw_events_metadata (metadata_fingerprint, metadata) VALUES (?, ?)");
        prepare(&trim_,
                "DELETE FROM raw_events WHERE rowid IN (SELECT rowid FROM raw_events ORDER BY rowid DESC LIMIT -1 "
                "OFFSET ?)");
        prepare(&insertEvent_,
                "INSERT OR REPLACE INTO raw_events (name, timestamp, metadata_fingerprint, data, is_realtime) "
                "VALUES (?, ?, ?, ?, ?)");
    }
    ~PlainWriter() {
        for (auto* s : {lookup_, insertMetadata_, trim_, insertEvent_}) sqlite3_finalize(s);
        sqlite3_close(db_);
    }

    bool write(const std::shared_ptr<QRVAPBMeasurementBundle>& metadata, const std::vector<QRVAEvent>& events) {
        bool ok = sqlite3_exec(db_, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr) == SQLITE_OK;
        for (const auto& event : events) {
            if (!ok) break;
            ns::Data bytes = *metadata->protoBuffer();
            int64_t fingerprint = qrva_64LSBMD5(bytes);
            sqlite3_bind_int64(lookup_, 1, fingerprint);
            bool stored = sqlite3_step(lookup_) == SQLITE_ROW &&
                          size_t(sqlite3_column_bytes(lookup_, 0)) == bytes.size() &&
                          std::memcmp(sqlite3_column_blob(lookup_, 0), bytes.data(), bytes.size()) == 0;
            sqlite3_reset(lookup_);
            if (!stored) {
                sqlite3_bind_int64(insertMetadata_, 1, fingerprint);
                sqlite3_bind_blob(insertMetadata_, 2, bytes.data(), int(bytes.size()), SQLITE_TRANSIENT);
                ok = run(insertMetadata_);
            }
            sqlite3_bind_int(trim_, 1, 100000 - 1);
            ok = ok && run(trim_);
            auto proto = event.protoEvent();
            NANOClearField(proto, F::Event::name);
            ns::Data data = *proto->protoBuffer();
            sqlite3_bind_text(insertEvent_, 1, event.name().data(), int(event.name().size()), SQLITE_TRANSIENT);
            sqlite3_bind_double(insertEvent_, 2, event.timestamp());
            sqlite3_bind_int64(insertEvent_, 3, fingerprint);
            sqlite3_bind_blob(insertEvent_, 4, data.data(), int(data.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int(insertEvent_, 5, 0);
            ok = ok && run(insertEvent_);
        }
        return sqlite3_exec(db_, ok ? "END TRANSACTION" : "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK && ok;
    }

    // Rows written, then the tables emptied for the next round.
    int64_t takeRows() {
        sqlite3_stmt* count = nullptr;
        prepare(&count, "SELECT count(*) FROM raw_events");
        int64_t rows = sqlite3_step(count) == SQLITE_ROW ? sqlite3_column_int64(count, 0) : -1;
        sqlite3_finalize(count);
        sqlite3_exec(db_, "DELETE FROM raw_events; DELETE FROM raw_events_metadata", nullptr, nullptr, nullptr);
        return rows;
    }

private:
    void prepare(sqlite3_stmt** statement, const char* sql) { sqlite3_prepare_v2(db_, sql, -1, statement, nullptr); }
    static bool run(sqlite3_stmt* statement) {
        bool done = sqlite3_step(statement) == SQLITE_DONE;
        sqlite3_reset(statement);
        return done;
    }

    sqlite3* db_ = nullptr;
    sqlite3_stmt* lookup_ = nullptr;
    sqlite3_stmt* insertMetadata_ = nullptr;
    sqlite3_stmt* trim_ = nullptr;
    sqlite3_stmt* insertEvent_ = nullptr;
};

// Rows the store wrote, then its tables emptied for the next round.
int64_t takeRows(QRVASqliteStore& store) {
    ns::ErrorRef error;
    int64_t rows = store.rowCountForTableWithName("raw_events", &error).value_or(-1);
    store.deleteAllRecordsFromTableWithName("raw_events", &error);
    store.deleteAllRecordsFromTableWithName("raw_events_metadata", &error);
    return rows;
}

void AnalyticsStoreInsert1000RawEvents(benchmark::State& state) {
    TemporarySandbox sandbox;
    auto metadata = sampleMetadata();
    auto events = sampleEvents();
    auto subject = QRVADatabase::initWithDatabaseName("bench-subject.sql", nullptr);
    // The baseline's file is laid out by the store, then written by hand.
    auto layout = QRVADatabase::initWithDatabaseName("bench-baseline.sql", nullptr);
    if (!subject || !layout) {
        state.SkipWithError("the store cannot be opened");
        return;
    }
    layout.reset();
    PlainWriter plain(QRVAFilePathForDatabaseName("bench-baseline.sql"));

    double storeSeconds = 0, plainSeconds = 0;
    for (auto _ : state) {
        bool written = true;
        storeSeconds += secondsOf([&] { written = writeThroughStore(*subject, metadata, events); });
        plainSeconds += secondsOf([&] { written = plain.write(metadata, events) && written; });
        state.PauseTiming();
        int64_t expected = int64_t(events.size());
        bool complete = takeRows(*subject->sqliteStore()) == expected && plain.takeRows() == expected;
        state.ResumeTiming();
        if (!written || !complete) {
            state.SkipWithError("a writer lost rows");
            break;
        }
    }
    state.counters["ratio"] = storeSeconds / plainSeconds;
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(events.size()));
}
BENCHMARK(AnalyticsStoreInsert1000RawEvents)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
