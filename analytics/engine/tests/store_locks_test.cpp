// The analytics store shared with another program, and a store that cannot
// be written: a lock another process holds (a reader's, a writer's, an
// exclusive one) is waited for and tried again later, never taken for
// damage; an engine whose start failed, or whose store is locked in the
// middle of its work, keeps what is logged meanwhile and writes it, once,
// when a later try gets through; only damage sets the file aside.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "analytics/QRVAAlarm.h"
#include "analytics/QRVADatabase.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVASqliteStore.h"
#include "analytics/QRVAUtilities.h"
#include "core/QRVLogger.h"
#include "core/QRVOptions.h"
#include "engine_test_support.h"
#include "platform/clock.h"
#include "platform/application.h"
#include "platform/file_manager.h"
#include "platform/notification_center.h"
#include "store_test_support.h"
#include "testing/app_backend.h"
#include "testing/sqlite_lock_holder.h"
#include "testing/temp_sandbox.h"

namespace {

using ns::testing::SqliteLock;
using ns::testing::SqliteLockHolder;

TEST(SqliteLockHolderProcess, HoldsTheLockItIsAskedFor) {
    if (!SqliteLockHolder::isChild()) GTEST_SKIP() << "runs only as the second process of another test";
    EXPECT_EQ(SqliteLockHolder::holdAsChild(), 0);
}

TEST(AnalyticsStoreFailures, OnlyCorruptionAndAFileThatIsNoDatabaseAreDamage) {
    const struct {
        int code;
        bool damage;
        bool lockedElsewhere;
    } cases[] = {
        {SQLITE_OK, false, false},
        {SQLITE_ERROR, false, false},
        {SQLITE_INTERNAL, false, false},
        {SQLITE_PERM, false, false},
        {SQLITE_ABORT, false, false},
        {SQLITE_BUSY, false, true},
        {SQLITE_BUSY_RECOVERY, false, true},
        {SQLITE_BUSY_SNAPSHOT, false, true},
        {SQLITE_BUSY_TIMEOUT, false, true},
        {SQLITE_LOCKED, false, true},
        {SQLITE_LOCKED_SHAREDCACHE, false, true},
        {SQLITE_NOMEM, false, false},
        {SQLITE_READONLY, false, false},
        {SQLITE_READONLY_DBMOVED, false, false},
        {SQLITE_READONLY_CANTLOCK, false, false},
        {SQLITE_INTERRUPT, false, false},
        {SQLITE_IOERR, false, false},
        {SQLITE_IOERR_READ, false, false},
        {SQLITE_IOERR_SHORT_READ, false, false},
        {SQLITE_IOERR_WRITE, false, false},
        {SQLITE_IOERR_FSYNC, false, false},
        {SQLITE_IOERR_LOCK, false, false},
        {SQLITE_IOERR_CORRUPTFS, false, false},
        {SQLITE_CORRUPT, true, false},
        {SQLITE_CORRUPT_VTAB, true, false},
        {SQLITE_CORRUPT_SEQUENCE, true, false},
        {SQLITE_CORRUPT_INDEX, true, false},
        {SQLITE_NOTFOUND, false, false},
        {SQLITE_FULL, false, false},
        {SQLITE_CANTOPEN, false, false},
        {SQLITE_CANTOPEN_NOTEMPDIR, false, false},
        {SQLITE_CANTOPEN_ISDIR, false, false},
        {SQLITE_CANTOPEN_FULLPATH, false, false},
        {SQLITE_PROTOCOL, false, false},
        {SQLITE_EMPTY, false, false},
        {SQLITE_SCHEMA, false, false},
        {SQLITE_TOOBIG, false, false},
        {SQLITE_CONSTRAINT, false, false},
        {SQLITE_MISMATCH, false, false},
        {SQLITE_MISUSE, false, false},
        {SQLITE_NOLFS, false, false},
        {SQLITE_AUTH, false, false},
        {SQLITE_FORMAT, false, false},
        {SQLITE_RANGE, false, false},
        {SQLITE_NOTADB, true, false},
        {SQLITE_NOTICE, false, false},
        {SQLITE_WARNING, false, false},
        {SQLITE_ROW, false, false},
        {SQLITE_DONE, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(QRVASqliteStore::isDamage(c.code), c.damage) << sqlite3_errstr(c.code);
        EXPECT_EQ(QRVASqliteStore::isLockedElsewhere(c.code), c.lockedElsewhere) << sqlite3_errstr(c.code);
    }
}

constexpr SqliteLock kLocks[] = {SqliteLock::Read, SqliteLock::Write, SqliteLock::Exclusive};

// An engine over the sandbox's store with no network (uploads would take the
// raw events these tests count), on the virtual clock.
class StoreLocksTest : public ::testing::Test {
protected:
    void SetUp() override {
        QRVLoggerResetForTesting();
        sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "com.almavel.app"},
                                                               {"CFBundleShortVersionString", "2.4"}});
        sandbox_.writeBundlePlist(kQRVOptionsFileName,
                                  ns::Dictionary{{kQRVOptionsKeyOndrixAppID, ns::testing::kTestAppID},
                                                 {kQRVOptionsKeyAPIKey, "AKtest-analytics-engine-0000000001"}});
        QRVOptions::resetForTesting();
        clock_ = ns::VirtualClock::install();
        enginetest::resetProcess();
    }
    void TearDown() override {
        stop();
        QRVAMeasurement::resetSharedForTesting();
        enginetest::resetProcess();
        QRVLoggerResetForTesting();
    }
    static std::string storePath() { return QRVAFilePathForDatabaseName(kQRVADatabaseFileName); }
    // A store as an earlier launch left it, its first open already reported,
    // so the events counted are the test's own.
    static void prepareStore() {
        QRVASqliteStore::deleteDatabaseFiles(storePath(), nullptr);
        auto store = QRVADatabase::initWithDatabaseName(kQRVADatabaseFileName, QRVAPersistedConfig::sharedInstance());
        ASSERT_TRUE(store);
        auto firstOpen = QRVAUserAttribute::initWithOrigin("seed", "_fot", QRVAValue(int64_t(3600000)), 1);
        ASSERT_TRUE(store->updateUserAttribute(*firstOpen, nullptr));
    }
    void start() {
        auto scheduler = QRVAScheduler::initWithWorkerQueueLabel(kQRVASchedulerWorkerQueueLabel);
        auto alarm = QRVAAlarm::initWithDispatchQueue(scheduler->workerQueue(), kQRVAMeasurementTimerName);
        engine_ = QRVAMeasurement::initWithDatabaseName(kQRVADatabaseFileName, QRVAPersistedConfig::sharedInstance(),
                                                        nullptr, scheduler, alarm, QRVOptions::defaultOptions());
        drain();
    }
    void stop() {
        if (!engine_) return;
        drain();
        engine_.reset();
        enginetest::resetProcess();
    }
    void drain() { enginetest::drain(*engine_); }
    bool started() {
        bool answer = false;
        enginetest::onWorker(*engine_, [&] { answer = engine_->started() != nullptr; });
        return answer;
    }
    void log(const std::string& name, double timestamp = ns::Clock::nowSeconds()) {
        engine_->logEvent(QRVAEvent::initWithOrigin("app", true, name, timestamp, 0, QRVAObjectParameters{}));
    }
    // Past every retry the engine may have armed.
    void retry() {
        clock_->advance(kQRVAWaitingWorkMaxRetrySeconds);
        drain();
    }
    // The stored raw events' names in the order they were stored, read from
    // the side.
    static std::vector<std::string> storedEvents() {
        return storetest::RawDatabase(storePath()).rows("SELECT name FROM raw_events ORDER BY rowid");
    }
    static std::string storedProperty(const std::string& name) {
        return storetest::RawDatabase(storePath()).value("SELECT name FROM user_attributes WHERE name = '" + name + "'");
    }
    // Files beside the store that were set aside.
    static std::vector<std::string> setAside() {
        std::vector<std::string> names;
        const auto folder = std::filesystem::path(storePath()).parent_path();
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            const std::string name = entry.path().filename().string();
            if (name.find(".damaged") != std::string::npos) names.push_back(name);
        }
        return names;
    }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::VirtualClock> clock_;
    std::shared_ptr<QRVAMeasurement> engine_;
};

TEST_F(StoreLocksTest, ALockHeldAtLaunchIsWaitedForAndWhatWasLoggedMeanwhileIsWrittenOnceItGoes) {
    for (SqliteLock lock : kLocks) {
        SCOPED_TRACE(ns::testing::sqliteLockName(lock));
        prepareStore();
        const auto before = ns::FileManager::defaultManager().readData(storePath());
        {
            SqliteLockHolder holder(storePath(), lock);
            start();
            EXPECT_TRUE(engine_->isEnabled()) << "the failed start leaves measurement on";
            EXPECT_FALSE(started());
            log("logged_while_locked");
            log("also_while_locked");
            engine_->setUserAttribute(QRVAUserAttribute::initWithOrigin("app", "shelf", QRVAValue::string("b2"), 1));
            drain();
            holder.release();
        }
        EXPECT_EQ(ns::FileManager::defaultManager().readData(storePath()), before) << "nothing written, nothing moved";
        retry();
        EXPECT_TRUE(started());
        EXPECT_EQ(storedEvents(), (std::vector<std::string>{"logged_while_locked", "also_while_locked"}));
        EXPECT_EQ(storedProperty("shelf"), "shelf");
        EXPECT_EQ(setAside(), std::vector<std::string>{});
        stop();
    }
}

TEST_F(StoreLocksTest, ALockTakenInTheMiddleOfWorkHoldsTheEventsInOrderUntilItGoes) {
    for (SqliteLock lock : kLocks) {
        SCOPED_TRACE(ns::testing::sqliteLockName(lock));
        prepareStore();
        start();
        ASSERT_TRUE(started());
        log("before_the_lock");
        drain();
        {
            SqliteLockHolder holder(storePath(), lock);
            log("during_the_lock");
            log("behind_it");
            drain();
            size_t waiting = 0;
            enginetest::onWorker(*engine_, [&] { waiting = engine_->waitingWorkCount(); });
            EXPECT_EQ(waiting, 2u);
            holder.release();
        }
        log("after_the_lock");  // goes behind the waiting ones, not ahead of them
        retry();
        EXPECT_EQ(storedEvents(),
                  (std::vector<std::string>{"before_the_lock", "during_the_lock", "behind_it", "after_the_lock"}));
        EXPECT_EQ(storetest::RawDatabase(storePath()).value("SELECT daily_events_count FROM app_metadata"), "4")
            << "each counted once";
        EXPECT_EQ(setAside(), std::vector<std::string>{});
        stop();
    }
}

// The start fails on storage that refuses writes (a full disk, a file that
// opens read-only): the file stays where it is, and what was logged
// meanwhile is written once the storage takes writes again.
TEST_F(StoreLocksTest, AStoreThatCannotBeWrittenAtLaunchIsKeptAndWrittenLater) {
    const struct {
        const char* what;
        bool fileThere;
        int writeError;
    } cases[] = {
        {"a full disk, new phone", false, SQLITE_FULL},
        {"a full disk", true, SQLITE_FULL},
        {"a read-only file", true, SQLITE_READONLY},
        {"an I/O error", true, SQLITE_IOERR_WRITE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        prepareStore();
        if (!c.fileThere) QRVASqliteStore::deleteDatabaseFiles(storePath(), nullptr);
        // A store that must write at its start: its app_metadata row is gone.
        if (c.fileThere) {
            ASSERT_TRUE(storetest::RawDatabase(storePath()).exec("DELETE FROM app_metadata"));
        }
        const auto before = ns::FileManager::defaultManager().readData(storePath());
        {
            storetest::FaultyStorage storage;
            storetest::faults.writesLeft = 0;
            storetest::faults.writeError = c.writeError;
            start();
            EXPECT_FALSE(started());
            log("logged_while_full");
            drain();
            storetest::faults = {};
        }
        EXPECT_EQ(setAside(), std::vector<std::string>{});
        if (c.fileThere) {
            EXPECT_EQ(ns::FileManager::defaultManager().readData(storePath()), before);
        }
        retry();
        EXPECT_TRUE(started());
        // A new phone's store reports its first open first.
        const std::vector<std::string> expected =
            c.fileThere ? std::vector<std::string>{"logged_while_full"}
                        : std::vector<std::string>{"_f", "_e", "logged_while_full"};
        EXPECT_EQ(storedEvents(), expected);
        stop();
    }
}

// Past the bound, newer work is dropped and counted; what came first is
// written.
TEST_F(StoreLocksTest, WhatWaitsIsBoundedAndTheOldestIsKept) {
    prepareStore();
    SqliteLockHolder holder(storePath(), SqliteLock::Exclusive);
    start();
    ASSERT_FALSE(started());
    // One name (the day's distinct public names are limited), told apart by
    // their times.
    const double first = ns::Clock::nowSeconds();
    for (size_t i = 0; i < kQRVAWaitingWorkLimit + 5; ++i) log("queued", first + double(i));
    drain();
    size_t waiting = 0;
    enginetest::onWorker(*engine_, [&] { waiting = engine_->waitingWorkCount(); });
    EXPECT_EQ(waiting, kQRVAWaitingWorkLimit);
    holder.release();
    retry();
    // In the order logged, one step of time apart: the first
    // kQRVAWaitingWorkLimit of them.
    const auto times = storetest::RawDatabase(storePath()).rows("SELECT timestamp FROM raw_events ORDER BY rowid");
    ASSERT_EQ(times.size(), kQRVAWaitingWorkLimit);
    const double step = std::stod(times[1]) - std::stod(times[0]);
    EXPECT_GT(step, 0);
    EXPECT_DOUBLE_EQ(std::stod(times.back()) - std::stod(times.front()), step * double(kQRVAWaitingWorkLimit - 1));
}

// Coming back to the app is a try of its own, before the timer's.
TEST_F(StoreLocksTest, TheAppBecomingActiveTriesTheStartAgainAtOnce) {
    prepareStore();
    {
        SqliteLockHolder holder(storePath(), SqliteLock::Exclusive);
        start();
        ASSERT_FALSE(started());
        log("logged_while_locked");
        drain();
        ns::NotificationCenter::defaultCenter().post(ns::kUIApplicationDidBecomeActiveNotification);
        drain();
        EXPECT_FALSE(started()) << "still locked: tried and kept";
        holder.release();
    }
    EXPECT_EQ(storedEvents(), std::vector<std::string>{});
    ns::NotificationCenter::defaultCenter().post(ns::kUIApplicationDidBecomeActiveNotification);
    drain();
    EXPECT_TRUE(started());
    EXPECT_EQ(storedEvents(), std::vector<std::string>{"logged_while_locked"});
}

}  // namespace
