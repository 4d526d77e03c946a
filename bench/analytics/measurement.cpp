// Events through the measurement engine's write path (a public event of ten
// parameters under five user properties, so one metadata row serves them
// all), handed in with logEvent and waited for on the worker queue: against
// plain SQLite with the same transaction shape per event (an empty exclusive
// transaction for the counters' read, then two exclusive transactions each
// writing a 200-byte row), default pragmas. And the engine with 99,999 raw
// events stored against the engine over an empty store: the trim before each
// insert must not walk the backlog.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "analytics/QRVAAlarm.h"
#include "analytics/QRVADatabase.h"
#include "analytics/QRVAIdentity.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVASqliteStore.h"
#include "analytics/QRVAUtilities.h"
#include "core/QRVOptions.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/runloop.h"
#include "testing/temp_sandbox.h"

namespace {

constexpr int kEventsPerRound = 500;
constexpr int64_t kBacklog = 99'999;

double secondsOf(const std::function<void()>& fn) {
    auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs `work` on the engine's worker queue and waits, the main queue turning
// meanwhile (the identity reads the device there once).
void onWorker(QRVAMeasurement& engine, std::function<void()> work) {
    std::atomic<bool> done = false;
    engine.scheduler()->scheduleOnWorkerQueueBlockID("bench", [&] {
        work();
        done = true;
    });
    ns::RunLoop::main().runUntil([&] { return done.load(); }, 600);
}

QRVAObjectParameters tenParameters(int i) {
    return {{"item_id", "7450001" + std::to_string(100000 + i)},
            {"item_name", "Arroz con pollo"},
            {"item_category", "almuerzo"},
            {"item_brand", "Almavel"},
            {"currency", "USD"},
            {"location_id", "PA-8"},
            {"quantity", 1 + i % 7},
            {"index", i},
            {"price", 4.75},
            {"value", 12.5 + i}};
}

class Engine {
public:
    explicit Engine(const std::string& databaseName) {
        auto scheduler = QRVAScheduler::initWithWorkerQueueLabel(kQRVASchedulerWorkerQueueLabel);
        auto alarm = QRVAAlarm::initWithDispatchQueue(scheduler->workerQueue(), kQRVAMeasurementTimerName);
        engine_ = QRVAMeasurement::initWithDatabaseName(databaseName, QRVAPersistedConfig::sharedInstance(), nullptr,
                                                        scheduler, alarm, QRVOptions::defaultOptions());
        for (int i = 0; i < 5; ++i) {
            engine_->setUserAttribute(QRVAUserAttribute::initWithOrigin(
                "app", "property_" + std::to_string(i), QRVAValue::string("value " + std::to_string(i)), 1));
        }
        // The start's own automatic events (the first open) are no part of
        // any round.
        onWorker(*engine_, [&] {
            if (engine_->database()) engine_->database()->sqliteStore()->executeSQL("DELETE FROM raw_events", nullptr);
        });
    }
    bool ready() const { return engine_->database() != nullptr; }
    QRVAMeasurement& engine() { return *engine_; }

    void fillBacklog() {
        onWorker(*engine_, [&] {
            engine_->database()->performTransaction([&] {
                for (int64_t i = 0; i < kBacklog; ++i) {
                    auto event = QRVAEvent::initWithOrigin("app", true, "view_item", 1'700'000'000.0 + i, 0,
                                                           tenParameters(int(i)));
                    if (!event || !engine_->database()->insertRawEvent(*event, 1, false, nullptr)) return false;
                }
                return true;
            });
        });
    }
    void logRound() {
        const double now = ns::Clock::nowSeconds();
        for (int i = 0; i < kEventsPerRound; ++i) {
            engine_->logEvent(QRVAEvent::initWithOrigin("app", true, "view_item", now, 0, tenParameters(i)));
        }
        onWorker(*engine_, [] {});
    }
    // Back to the number of stored rows and the counters the round began
    // with, the surplus taken from the oldest rows as the engine's trim takes
    // it; answers the number of rows the round added.
    int64_t resetRound(int64_t keptRows) {
        int64_t added = -1;
        onWorker(*engine_, [&] {
            auto& store = *engine_->database()->sqliteStore();
            added = store.rowCountForTableWithName("raw_events", nullptr).value_or(-1) - keptRows;
            store.deleteRecordsFromTableWithName(
                "raw_events", "rowid IN (SELECT rowid FROM raw_events ORDER BY rowid LIMIT ?)", {added}, nullptr);
            const int32_t today = engine_->database()->dayNumberAt(ns::Clock::nowSeconds());
            engine_->database()->updateDailyCounts(QRVADailyCounts(today, 0, 0, 0, 0, 0), nullptr);
        });
        return added;
    }

private:
    std::shared_ptr<QRVAMeasurement> engine_;
};

// The same transactions per event by hand: what SQLite itself costs.
class PlainLoop {
public:
    explicit PlainLoop(const std::string& path) : blob_(200, 'x') {
        sqlite3_open(path.c_str(), &db_);
        sqlite3_exec(db_, "CREATE TABLE IF NOT EXISTS rows (id INTEGER PRIMARY KEY, data BLOB)", nullptr, nullptr,
                     nullptr);
        sqlite3_prepare_v2(db_, "INSERT INTO rows (data) VALUES (?)", -1, &insert_, nullptr);
    }
    ~PlainLoop() {
        sqlite3_finalize(insert_);
        sqlite3_close(db_);
    }
    bool round() {
        bool ok = true;
        for (int i = 0; i < kEventsPerRound && ok; ++i) {
            ok = exec("BEGIN EXCLUSIVE") && exec("END");
            for (int write = 0; write < 2 && ok; ++write) {
                ok = exec("BEGIN EXCLUSIVE");
                sqlite3_bind_blob(insert_, 1, blob_.data(), int(blob_.size()), SQLITE_STATIC);
                ok = ok && sqlite3_step(insert_) == SQLITE_DONE;
                sqlite3_reset(insert_);
                ok = exec(ok ? "COMMIT" : "ROLLBACK") && ok;
            }
        }
        return ok;
    }

private:
    bool exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }

    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
    std::string blob_;
};

// A sandbox of its own for one benchmark, as a new process would find it,
// removed with everything in it after the engines' queued work is done.
class BenchSandbox {
public:
    BenchSandbox() {
        sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "pa.almavel.asistente"},
                                                               {"CFBundleShortVersionString", "2.4"}});
        sandbox_.writeBundlePlist(kQRVOptionsFileName,
                                  ns::Dictionary{{kQRVOptionsKeyOndrixAppID, "1:1065:ios:ab12"},
                                                 {kQRVOptionsKeyAPIKey, "AKbench-analytics-measurement-00001"}});
        resetShared();
    }
    ~BenchSandbox() {
        ns::waitForQueuedWork(30);
        resetShared();
    }

private:
    static void resetShared() {
        QRVAIdentity::resetSharedForTesting();
        QRVAPersistedConfig::resetSharedForTesting();
        QRVAMonitor::resetSharedForTesting();
        QRVOptions::resetForTesting();
    }
    ns::testing::TempSandbox sandbox_;
};

void AnalyticsEngineEventWrite(benchmark::State& state) {
    BenchSandbox sandbox;
    Engine subject("bench-engine.sql");
    PlainLoop plain(QRVAFilePathForDatabaseName("bench-plain.sql"));  // beside the engine's store
    if (!subject.ready()) {
        state.SkipWithError("the engine did not start");
        return;
    }
    double engineSeconds = 0, plainSeconds = 0;
    for (auto _ : state) {
        bool plainDone = true;
        engineSeconds += secondsOf([&] { subject.logRound(); });
        plainSeconds += secondsOf([&] { plainDone = plain.round(); });
        state.PauseTiming();
        const int64_t added = subject.resetRound(0);
        state.ResumeTiming();
        if (!plainDone || added != kEventsPerRound) {
            state.SkipWithError("a writer lost rows");
            break;
        }
    }
    state.counters["ratio"] = engineSeconds / plainSeconds;
    state.SetItemsProcessed(int64_t(state.iterations()) * kEventsPerRound);
}
BENCHMARK(AnalyticsEngineEventWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);

void AnalyticsEngineEventWriteOverBacklog(benchmark::State& state) {
    BenchSandbox sandbox;
    Engine empty("bench-empty.sql");
    Engine backlog("bench-backlog.sql");
    if (!empty.ready() || !backlog.ready()) {
        state.SkipWithError("the engine did not start");
        return;
    }
    backlog.fillBacklog();
    double backlogSeconds = 0, emptySeconds = 0;
    bool backlogFirst = true;
    for (auto _ : state) {
        // Turn about, so that neither store always writes after the other.
        if (backlogFirst) backlogSeconds += secondsOf([&] { backlog.logRound(); });
        emptySeconds += secondsOf([&] { empty.logRound(); });
        if (!backlogFirst) backlogSeconds += secondsOf([&] { backlog.logRound(); });
        backlogFirst = !backlogFirst;
        state.PauseTiming();
        const bool complete = backlog.resetRound(kBacklog) >= 0 && empty.resetRound(0) == kEventsPerRound;
        state.ResumeTiming();
        if (!complete) {
            state.SkipWithError("a writer lost rows");
            break;
        }
    }
    state.counters["ratio"] = backlogSeconds / emptySeconds;
    state.SetItemsProcessed(int64_t(state.iterations()) * kEventsPerRound);
}
BENCHMARK(AnalyticsEngineEventWriteOverBacklog)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(8);

}  // namespace
