// The measurement engine over a real store: creation only with an app ID,
// the enabled decision (deactivated switch, persisted state, options), the
// start on the worker queue and the store wiped for another app; the event
// write path with its day's quotas (on the virtual clock, across midnight),
// the blacklist and the public-name limit under a configuration served by
// the local back end, the first-open counter in the keychain, and the app
// instance ID on disk before any event that carries it.

#include "analytics/QRVAMeasurement.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <map>
#include <nlohmann/json.hpp>

#include "analytics/QRVAAEU.h"
#include "analytics/QRVAAlarm.h"
#include "analytics/QRVAConstants.h"
#include "analytics/QRVADatabase.h"
#include "analytics/QRVAEnvironmentInfo.h"
#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAFacadeBridge.h"
#include "analytics/QRVAIdentity.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVARemoteConfig.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVAUtilities.h"
#include "core/QRVApp.h"
#include "core/QRVLogger.h"
#include "core/QRVOptions.h"
#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/file_manager.h"
#include "platform/runloop.h"
#include "platform/system_log.h"
#include "platform/user_defaults.h"
#include "testing/app_backend.h"
#include "engine_test_support.h"
#include "testing/temp_sandbox.h"

namespace {

// At each commit of any connection that stored raw events, the app instance
// ID a reader of its own finds in the measurement state's file: what the
// next launch would take for the installation's ID, had the process ended
// right after that commit.
class CommitWatch {
public:
    CommitWatch() {
        watch() = this;
        sqlite3_auto_extension(reinterpret_cast<void (*)()>(&installHooks));
    }
    ~CommitWatch() {
        sqlite3_cancel_auto_extension(reinterpret_cast<void (*)()>(&installHooks));
        watch() = nullptr;
    }
    CommitWatch(const CommitWatch&) = delete;
    CommitWatch& operator=(const CommitWatch&) = delete;
    std::vector<std::string> idsOnDisk() {
        std::lock_guard lock(mutex_);
        return idsOnDisk_;
    }

private:
    // Connections opened while a watch lived may outlive it: their hooks
    // then do nothing.
    static std::atomic<CommitWatch*>& watch() {
        static std::atomic<CommitWatch*> current = nullptr;
        return current;
    }
    static int installHooks(sqlite3* db, const char**, const sqlite3_api_routines*) {
        sqlite3_update_hook(db, &updated, db);
        sqlite3_commit_hook(db, &committing, db);
        sqlite3_rollback_hook(db, &rolledBack, db);
        return SQLITE_OK;
    }
    static void updated(void* db, int operation, const char*, const char* table, sqlite3_int64) {
        CommitWatch* self = watch();
        if (!self || operation != SQLITE_INSERT || std::string(table) != "raw_events") return;
        std::lock_guard lock(self->mutex_);
        self->storingRawEvents_[db] = true;
    }
    static int committing(void* db) {
        if (!watch()) return 0;
        CommitWatch& self = *watch();
        {
            std::lock_guard lock(self.mutex_);
            if (!std::exchange(self.storingRawEvents_[db], false)) return 0;
        }
        ns::UserDefaults reader(kQRVAPersistedConfigName, nullptr);
        reader.synchronize();  // nothing of its own to write: it reads
        std::lock_guard lock(self.mutex_);
        self.idsOnDisk_.push_back(reader.stringForKey(kQRVAPersistedConfigAppInstanceIDKey).value_or("none"));
        return 0;
    }
    static void rolledBack(void* db) {
        CommitWatch* self = watch();
        if (!self) return;
        std::lock_guard lock(self->mutex_);
        self->storingRawEvents_[db] = false;
    }

    std::mutex mutex_;
    std::map<void*, bool> storingRawEvents_;
    std::vector<std::string> idsOnDisk_;
};

constexpr const char* kAppID = ns::testing::kTestAppID;
constexpr const char* kOtherAppID = "1:480326711275:ios:0000aaaa1111bbbb";

class MeasurementTest : public ::testing::Test {
protected:
    void SetUp() override {
        QRVLoggerResetForTesting();
        QRVSetLoggerLevel(QRVLoggerLevelDebug);
        sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "com.almavel.app"},
                                                               {"CFBundleShortVersionString", "2.4"}});
        writeOptions({{kQRVOptionsKeyOndrixAppID, kAppID}});
        clock_ = ns::VirtualClock::install();
        resetProcess();
        QRVASetFacadeHook(&QRVAFacadeHooks::logInternalEvent, [this](const std::string&, const std::string& name,
                                          const QRVAObjectParameters& parameters) {
            std::lock_guard lock(mutex_);
            const ns::Value* code = parameters.find("_err");
            if (name == "_err" && code) errorCodes_.push_back(code->intValue());
        });
    }
    void TearDown() override {
        if (engine_) drain();
        QRVASetFacadeHook(&QRVAFacadeHooks::logInternalEvent, {});
        QRVAMeasurement::resetSharedForTesting();
        resetProcess();
        QRVLoggerResetForTesting();
    }
    void writeOptions(ns::Dictionary options) {
        options[kQRVOptionsKeyAPIKey] = "AKtest-analytics-engine-0000000001";
        sandbox_.writeBundlePlist(kQRVOptionsFileName, options);
        QRVOptions::resetForTesting();
    }
    static void resetProcess() { enginetest::resetProcess(); }
    // The store already holds a first open, so the start writes no "_f" and
    // "_e" of its own and each test counts only what it logs. A start that
    // wipes the store for another app reports its first open again.
    std::shared_ptr<QRVAMeasurement> start() {
        auto store = QRVADatabase::initWithDatabaseName(kQRVADatabaseFileName, QRVAPersistedConfig::sharedInstance());
        auto firstOpen = QRVAUserAttribute::initWithOrigin("seed", "_fot", QRVAValue(int64_t(3600000)), 1);
        if (store && firstOpen) store->updateUserAttribute(*firstOpen, nullptr);
        store.reset();
        // No network: uploads would take the raw events these tests count.
        auto scheduler = QRVAScheduler::initWithWorkerQueueLabel(kQRVASchedulerWorkerQueueLabel);
        auto alarm = QRVAAlarm::initWithDispatchQueue(scheduler->workerQueue(), kQRVAMeasurementTimerName);
        engine_ = QRVAMeasurement::initWithDatabaseName(kQRVADatabaseFileName, QRVAPersistedConfig::sharedInstance(),
                                                        nullptr, scheduler, alarm, QRVOptions::defaultOptions());
        drain();
        return engine_;
    }
    void onWorker(const std::function<void()>& work) { enginetest::onWorker(*engine_, work); }
    void drain() { enginetest::drain(*engine_); }
    void log(const std::string& name, const QRVAObjectParameters& parameters = {}) {
        const double now = ns::Clock::nowSeconds();
        engine_->logEvent(QRVAEvent::initWithOrigin("app", name[0] != '_', name, now, 0, parameters));
    }
    // The app instance IDs the stored events' metadata rows carry.
    std::vector<std::string> storedInstanceIDs() {
        std::vector<std::string> ids;
        onWorker([&] {
            auto rows = engine_->database()->sqliteStore()->recordsForQuery("SELECT metadata FROM raw_events_metadata",
                                                                            {}, nullptr);
            for (const auto& row : rows.value_or(std::vector<QRVASqliteRow>{})) {
                const ns::Data& bytes = QRVARowValue(row, "metadata").asData();
                qrvanalytics::MeasurementBundle metadata;
                EXPECT_TRUE(metadata.ParseFromArray(bytes.data(), int(bytes.size())));
                ids.push_back(metadata.app_instance_id());
            }
        });
        return ids;
    }
    int64_t rawEventCount() {
        int64_t count = -1;
        onWorker([&] {
            count = engine_->database()->sqliteStore()->numberForQuery("SELECT COUNT(*) FROM raw_events", {}, nullptr)
                        .intValue();
        });
        return count;
    }
    QRVADailyCounts counts() {
        std::optional<QRVADailyCounts> answer;
        onWorker([&] { answer = engine_->database()->dailyCounts(nullptr); });
        return answer.value_or(QRVADailyCounts(0, 0, 0, 0, 0, 0));
    }
    // The engine's monitor codes logged while `work` ran.
    std::vector<int> codes(const std::function<void()>& work) {
        // Earlier lines may still be on their way to the console.
        QRVAMeasurementMonitor()->flushForTesting();
        QRVLoggerFlush();
        auto capture = ns::SystemLog::capture();
        work();
        drain();
        QRVAMeasurementMonitor()->flushForTesting();
        QRVLoggerFlush();
        std::vector<int> found;
        for (const auto& line : capture.lines()) {
            auto at = line.find("[I-ACS");
            if (at != std::string::npos) found.push_back(std::stoi(line.substr(at + 6, 6)));
        }
        return found;
    }
    // The switching lines among them.
    static std::vector<int> switching(std::vector<int> codes) {
        std::erase_if(codes, [](int code) { return code < 23011 || code > 23013; });
        return codes;
    }
    static int count(const std::vector<int>& codes, int code) { return int(std::count(codes.begin(), codes.end(), code)); }
    std::vector<int64_t> takeErrorCodes() {
        std::lock_guard lock(mutex_);
        return std::exchange(errorCodes_, {});
    }
    // A configuration for the app served by the local back end, fetched and
    // put in force as the configuration fetch does.
    void applyServedConfig(const nlohmann::json& settings, const nlohmann::json& eventConfig = nlohmann::json::array()) {
        auto backend = ns::testing::Backend::start();
        backend->routeServiceHosts();
        nlohmann::json config = {{"version", 3}, {"app_id", kAppID}, {"settings", nlohmann::json::array()},
                                 {"event_config", eventConfig}};
        for (const auto& [name, value] : settings.items()) {
            config["settings"].push_back({{"name", name}, {"value", value}});
        }
        backend->setAnalyticsConfig(kAppID, config);
        auto url = engine_->currentRemoteConfig()->remoteConfigURLWithAppInstanceID("A1", "ios", 40002);
        ASSERT_TRUE(url);
        std::optional<ns::Data> body;
        auto network = QRVNetwork::make(kQRVAMeasurementHost);
        ASSERT_TRUE(network->getURL(url->absoluteString(), {}, nullptr, false,
                                               [&](ns::HTTPURLResponsePtr response, ns::Data data, ns::ErrorRef) {
                                                   body = response && response->statusCode() == 200 ? data : ns::Data();
                                               }));
        ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return body.has_value(); }, 60));
        bool applied = false;
        onWorker([&] {
            applied = engine_->currentRemoteConfig()->updateMeasurementConfig(QRVAPBMeasurementConfig::initWithBuffer(*body));
        });
        ASSERT_TRUE(applied);
    }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::VirtualClock> clock_;
    std::shared_ptr<QRVAMeasurement> engine_;
    std::mutex mutex_;
    std::vector<int64_t> errorCodes_;
};

}  // namespace

TEST_F(MeasurementTest, TheSharedEngineExistsOnlyForOptionsWithAnAppIDAndIsMadeOncePerProcess) {
    auto capture = ns::SystemLog::capture();
    auto warnings = [&] {
        QRVLoggerFlush();
        const auto lines = capture.lines();
        return std::count_if(lines.begin(), lines.end(),
                             [](const std::string& line) { return line.find("I-ACS023147") != std::string::npos; });
    };
    EXPECT_EQ(QRVAMeasurement::sharedInstance(), nullptr);
    EXPECT_EQ(warnings(), 1);

    QRVAMeasurement::initializeSharedInstanceWithOptions(std::make_shared<QRVOptions>(ns::Dictionary{}));
    EXPECT_FALSE(QRVAMeasurement::hasSharedInstance());
    EXPECT_EQ(QRVAMeasurement::sharedInstance(), nullptr);
    QRVAMeasurement::initializeSharedInstanceWithOptions(QRVOptions::defaultOptions());
    EXPECT_FALSE(QRVAMeasurement::hasSharedInstance());
    EXPECT_EQ(warnings(), 1);  // not after a refused creation
    EXPECT_EQ(QRVAMeasurement::remoteConfig(), QRVARemoteConfig::defaultInstance());

    QRVAMeasurement::resetSharedForTesting();
    QRVAMeasurement::initializeSharedInstanceWithOptions(QRVOptions::defaultOptions());
    ASSERT_TRUE(QRVAMeasurement::hasSharedInstance());
    engine_ = QRVAMeasurement::sharedInstance();
    drain();
    EXPECT_EQ(engine_->scheduler()->workerQueue()->label(), "com.ondrix.qrva.worker");
    EXPECT_TRUE(engine_->isEnabled());
    EXPECT_EQ(QRVAMeasurement::remoteConfig(), engine_->currentRemoteConfig());
}

TEST_F(MeasurementTest, TheEnabledDecisionFollowsTheDeactivatedSwitchThenTheStoredStateThenTheOptions) {
    const struct {
        int64_t storedState;  // 0: none
        bool deactivated;
        bool collectionEnabled;
        bool enabled;
    } cases[] = {
        {0, false, true, true}, {0, false, false, false}, {1, false, false, true},
        {2, false, true, false}, {1, true, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.storedState << c.deactivated << c.collectionEnabled);
        if (c.storedState) {
            ns::UserDefaults::standard()->setInteger(c.storedState, kQRVAPersistedConfigMeasurementEnabledStateKey);
        } else {
            ns::UserDefaults::standard()->removeObjectForKey(kQRVAPersistedConfigMeasurementEnabledStateKey);
        }
        writeOptions({{kQRVOptionsKeyOndrixAppID, kAppID},
                      {kQRVOptionsKeyAnalyticsCollectionDeactivated, c.deactivated},
                      {kQRVOptionsKeyAnalyticsCollectionEnabled, c.collectionEnabled}});
        start();
        EXPECT_EQ(engine_->wasEnabledDuringInitialization(), c.enabled);
        EXPECT_EQ(engine_->isEnabled(), c.enabled);
        EXPECT_EQ(engine_->database() != nullptr, c.enabled);  // the store opens only with a start
    }
}

TEST_F(MeasurementTest, EnablingAtRunTimeStartsOnceAndTheDeactivatedSwitchRefusesIt) {
    ns::UserDefaults::standard()->setInteger(2, kQRVAPersistedConfigMeasurementEnabledStateKey);
    start();
    auto logged = switching(codes([&] {
        engine_->setEnabled(true);
        engine_->setEnabled(false);
        engine_->setEnabled(true);
    }));
    EXPECT_EQ(logged, (std::vector<int>{23012, 23013, 23012}));  // the store was opened once
    auto database = engine_->database();
    engine_->setEnabled(true);
    drain();
    EXPECT_EQ(engine_->database(), database);

    writeOptions({{kQRVOptionsKeyOndrixAppID, kAppID}, {kQRVOptionsKeyAnalyticsCollectionDeactivated, true}});
    start();
    logged = switching(codes([&] {
        engine_->setEnabled(true);
        engine_->setEnabled(false);
    }));
    EXPECT_EQ(logged, std::vector<int>{23013});
    EXPECT_FALSE(engine_->isEnabled());
    EXPECT_EQ(engine_->database(), nullptr);
}

TEST_F(MeasurementTest, AnotherAppIDWipesTheStoreBeforeItOpensAndTheSameOneKeepsIt) {
    start();
    log("kept_event");
    EXPECT_EQ(rawEventCount(), 1);
    drain();
    engine_.reset();  // the store closes with its engine

    resetProcess();
    start();
    EXPECT_EQ(rawEventCount(), 1);
    EXPECT_FALSE(engine_->previousVLPAppID());
    engine_.reset();

    resetProcess();
    writeOptions({{kQRVOptionsKeyOndrixAppID, kOtherAppID}});
    start();
    EXPECT_EQ(engine_->previousVLPAppID(), std::optional<std::string>(kAppID));
    EXPECT_EQ(QRVAPersistedConfig::sharedInstance()->appIDFromVLP(), std::optional<std::string>(kOtherAppID));
    EXPECT_EQ(rawEventCount(), 2);  // only the new app's first open: "_f" and "_e"
}

TEST_F(MeasurementTest, EventsLandInRawEventsBesideOneMetadataRowAndAreCountedForTheDay) {
    start();
    log("view_item", {{"item_id", "A-17"}, {"quantity", 2}});
    log("_s");
    log("_err", {{"_err", 4}});
    EXPECT_EQ(rawEventCount(), 3);
    const QRVADailyCounts day = counts();
    EXPECT_EQ(day.allEventsCount(), 3);
    EXPECT_EQ(day.publicEventsCount(), 1);
    EXPECT_EQ(day.errorEventsCount(), 1);
    int64_t metadataRows = 0;
    onWorker([&] {
        metadataRows = engine_->database()->sqliteStore()->numberForQuery("SELECT COUNT(*) FROM raw_events_metadata",
                                                                           {}, nullptr).intValue();
    });
    EXPECT_EQ(metadataRows, 1);

    engine_->setEnabled(false);
    EXPECT_EQ(count(codes([&] { log("view_item"); }), 23049), 1);
    EXPECT_EQ(rawEventCount(), 3);
    EXPECT_EQ(count(codes([&] { engine_->logEvent(std::nullopt); }), 23048), 1);
}

TEST_F(MeasurementTest, TheDailyQuotaDropsEventsLoggingEveryThousandthOverrunAndRestartsAtMidnight) {
    start();
    applyServedConfig({{"measurement.upload.max_events_per_day", "10"}});
    for (int i = 0; i < 10; ++i) log("_s");
    EXPECT_EQ(rawEventCount(), 10);
    auto logged = codes([&] { log("_s"); });  // the 11th
    EXPECT_EQ(count(logged, 23055), 1);
    EXPECT_EQ(count(logged, 23062), 1);
    logged = codes([&] {
        for (int i = 12; i <= 1010; ++i) log("_s");
    });
    EXPECT_EQ(count(logged, 23055), 0);
    EXPECT_EQ(count(logged, 23062), 999);
    EXPECT_EQ(count(codes([&] { log("_s"); }), 23055), 1);  // the 1011th
    EXPECT_EQ(counts().allEventsCount(), 1011);
    EXPECT_EQ(rawEventCount(), 10);

    clock_->advance(86400);  // the next day: yesterday's counters are no quota
    auto next = codes([&] { log("view_item"); });
    EXPECT_EQ(count(next, 23055) + count(next, 23062), 0);
    EXPECT_TRUE(takeErrorCodes().empty());
    EXPECT_EQ(rawEventCount(), 11);
    EXPECT_EQ(counts().allEventsCount(), 1);
}

TEST_F(MeasurementTest, ThePublicQuotaDropsPublicEventsWithAnErrorEventAndTheNewDayTakesThemAgain) {
    start();
    applyServedConfig({{"measurement.upload.max_public_events_per_day", "2"}});
    log("view_item");
    log("view_item");
    log("view_item");
    log("_s");
    EXPECT_EQ(rawEventCount(), 3);
    EXPECT_EQ(takeErrorCodes(), std::vector<int64_t>{16});
    EXPECT_EQ(counts().allEventsCount(), 3);
    EXPECT_EQ(counts().publicEventsCount(), 3);
    clock_->advance(86400);
    log("view_item");
    EXPECT_TRUE(takeErrorCodes().empty());
    EXPECT_EQ(rawEventCount(), 4);
}

TEST_F(MeasurementTest, BlacklistedEventsAreRejectedWithAnErrorEventUnlessABlacklistSwitchIsOn) {
    start();
    applyServedConfig({}, {{{"name", "promo_view"}, {"blacklisted", true}}, {{"name", "_err"}, {"blacklisted", true}}});
    EXPECT_EQ(count(codes([&] { log("promo_view"); }), 23052), 1);
    log("_err", {{"_err", 4}});
    EXPECT_EQ(takeErrorCodes(), std::vector<int64_t>{11});  // none for a rejected error event
    EXPECT_EQ(rawEventCount(), 0);

    applyServedConfig({{"measurement.upload.blacklist_public", "1"}}, {{{"name", "promo_view"}, {"blacklisted", true}}});
    log("promo_view");
    EXPECT_TRUE(takeErrorCodes().empty());
    EXPECT_EQ(rawEventCount(), 0);
}

TEST_F(MeasurementTest, FiveHundredPublicNamesAreKeptAndANewOneIsRefusedWithAnErrorEvent) {
    start();
    onWorker([&] {
        engine_->database()->performTransaction([&] {
            for (int i = 0; i < 500; ++i) {
                engine_->database()->updateEventAggregates(
                    *QRVAEventAggregates::initWithName("name_" + std::to_string(i), 1, 0, 0), nullptr);
            }
            return true;
        });
    });
    EXPECT_EQ(count(codes([&] { log("name_501"); }), 23065), 1);
    EXPECT_EQ(takeErrorCodes(), std::vector<int64_t>{8});
    log("name_7");
    log("_new_internal");
    EXPECT_EQ(rawEventCount(), 2);
}

TEST_F(MeasurementTest, EachStoredFirstOpenCountsInTheKeychain) {
    start();
    const std::string bundleID = ns::Bundle::mainBundle()->bundleIdentifier();
    QRVAKeychainWrapper::deleteKeychainValueWithIdentifier("_pfo", bundleID);
    log("_f");
    drain();
    EXPECT_EQ(QRVAKeychainWrapper::keychainValueWithIdentifier("_pfo", bundleID), std::optional<std::string>("1"));
    log("_f");
    drain();
    EXPECT_EQ(QRVAKeychainWrapper::keychainValueWithIdentifier("_pfo", bundleID), std::optional<std::string>("2"));
    log("_s");
    drain();
    EXPECT_EQ(QRVAKeychainWrapper::keychainValueWithIdentifier("_pfo", bundleID), std::optional<std::string>("2"));
    int64_t realtime = 0;
    onWorker([&] {
        realtime = engine_->database()->sqliteStore()->numberForQuery(
            "SELECT COUNT(*) FROM raw_events WHERE is_realtime = 1", {}, nullptr).intValue();
    });
    EXPECT_EQ(realtime, 2);  // a first open is a conversion outside the real-time limit
}

TEST_F(MeasurementTest, TheStoredEventsSettingKeepsTheNewestRawEvents) {
    start();
    applyServedConfig({{"measurement.store.max_stored_events_per_app", "5"}});
    std::vector<int> logged = codes([&] {
        for (int i = 0; i < 8; ++i) log("_s", {{"n", i}});
    });
    EXPECT_EQ(count(logged, 23070), 3);
    std::vector<QRVASqliteRow> rows;
    onWorker([&] {
        rows = engine_->database()->sqliteStore()->recordsForQuery("SELECT rowid FROM raw_events ORDER BY rowid", {},
                                                                   nullptr).value_or(std::vector<QRVASqliteRow>{});
    });
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(QRVARowValue(rows.front(), "rowid").intValue(), 4);
    EXPECT_EQ(QRVARowValue(rows.back(), "rowid").intValue(), 8);
}

TEST_F(MeasurementTest, UserPropertiesHoldTwentyFivePublicNamesAndTwentyFiveInternalOnesPerOrigin) {
    start();
    auto set = [&](const std::string& origin, const std::string& name, int64_t value) {
        engine_->setUserAttribute(QRVAUserAttribute::initWithOrigin(origin, name, QRVAValue(value), 1));
    };
    auto properties = [&](bool includeInternal) {
        std::optional<ns::Dictionary> answer;
        std::mutex answerMutex;
        engine_->userPropertiesIncludingInternal(includeInternal, [&](ns::Dictionary dictionary) {
            std::lock_guard lock(answerMutex);
            answer = std::move(dictionary);
        });
        EXPECT_TRUE(ns::RunLoop::main().runUntil([&] { std::lock_guard lock(answerMutex); return answer.has_value(); }, 60));
        std::lock_guard lock(answerMutex);
        return answer.value_or(ns::Dictionary{});
    };
    for (int i = 0; i < 25; ++i) {
        set("app", "public_" + std::to_string(i), i);
        set("auto", "_internal_" + std::to_string(i), i);
    }
    drain();
    std::vector<int> logged = codes([&] {
        set("app", "public_25", 25);      // refused: 25 public names
        set("app", "public_3", 33);       // a stored name is replaced
        set("auto", "_internal_25", 25);  // refused: 25 of origin "auto"
        set("ext", "_internal_25", 1);    // the same name counts against origin "ext"
        set("auto", "_internal_3", 33);
    });
    EXPECT_EQ(count(logged, 23084), 2);
    EXPECT_EQ(count(logged, 23087), 3);
    EXPECT_EQ(takeErrorCodes(), (std::vector<int64_t>{9, 9}));
    ns::Dictionary all = properties(true);
    EXPECT_EQ(all.size(), 52u);  // with the first open's "_fot"
    EXPECT_EQ(all["public_3"], ns::Value(int64_t(33)));
    EXPECT_EQ(all["_internal_3"], ns::Value(int64_t(33)));
    EXPECT_EQ(properties(false).size(), 25u);

    engine_->removeUserAttribute(QRVAUserAttribute::initWithOrigin("app", "public_0", QRVAValue(0), 1));
    set("app", "public_25", 25);  // room again
    ns::Dictionary after = properties(false);
    EXPECT_EQ(after.count("public_0"), 0u);
    EXPECT_EQ(after.count("public_25"), 1u);

    engine_->setEnabled(false);
    logged = codes([&] {
        set("app", "public_1", 100);
        engine_->removeUserAttribute(QRVAUserAttribute::initWithOrigin("app", "public_1", QRVAValue(0), 1));
        engine_->maxUserPropertiesForOrigin("", [](int32_t) { ADD_FAILURE(); });
    });
    EXPECT_EQ(count(logged, 23081) + count(logged, 23076) + count(logged, 23093), 3);
    EXPECT_EQ(properties(false)["public_1"], ns::Value(int64_t(1)));  // reads still answer
    std::atomic<int32_t> maximum = 0;
    engine_->maxUserPropertiesForOrigin("app", [&](int32_t value) { maximum = value; });
    EXPECT_TRUE(ns::RunLoop::main().runUntil([&] { return maximum.load() != 0; }, 60));
    EXPECT_EQ(maximum.load(), 25);
}

TEST_F(MeasurementTest, AStoreThatCannotBeOpenedIsTriedAgainLaterAndWhatWasLoggedMeanwhileIsWritten) {
    // A file where the store's folder belongs: the store cannot be made, nor
    // made again.
    const std::string folder = sandbox_.sandbox()->applicationSupportPath() + "/Ondrix/Measurement";
    auto& files = ns::FileManager::defaultManager();
    ASSERT_TRUE(files.writeData(folder, ns::Data{1}, nullptr, {.createIntermediateDirectories = true}));
    auto logged = switching(codes([&] {
        start();
        log("logged_before_the_store_came_back");
    }));
    EXPECT_EQ(logged, (std::vector<int>{23011}));
    EXPECT_TRUE(engine_->isEnabled()) << "measurement stays on";
    EXPECT_EQ(engine_->database(), nullptr);
    EXPECT_EQ(engine_->currentRemoteConfig(), nullptr) << "no component without the others";
    EXPECT_EQ(engine_->identity(), nullptr);

    // Still missing at the first retry: tried again later.
    clock_->advance(kQRVAWaitingWorkFirstRetrySeconds);
    drain();
    EXPECT_EQ(engine_->database(), nullptr);

    ASSERT_TRUE(files.removeItem(folder, nullptr));
    logged = switching(codes([&] {
        clock_->advance(kQRVAWaitingWorkMaxRetrySeconds);
        drain();
    }));
    EXPECT_EQ(logged, std::vector<int>{23012});
    EXPECT_TRUE(engine_->isEnabled());
    ASSERT_NE(engine_->database(), nullptr);
    log("after_the_store_came_back");
    // The new store's first open ("_f", "_e"), the event that waited and the
    // one after.
    EXPECT_EQ(rawEventCount(), 4);
}

TEST_F(MeasurementTest, TheAppInstanceIDIsOnDiskBeforeAnyEventCarryingItIsCommitted) {
    auto persisted = [] { return QRVAPersistedConfig::sharedInstance(); };
    const struct {
        const char* what;
        std::function<void()> before;  // what the launch finds, before the engine starts
    } cases[] = {
        {"a first launch", [&] { persisted()->clearValues(); }},
        {"a later launch", [] {}},
        // The facade makes the identity as it starts, before the engine
        // wipes the other app's data, that ID with it.
        {"another app's data is wiped under an identity made before the start",
         [&] {
             persisted()->setAppIDFromVLP(std::string(kOtherAppID));
             QRVAIdentity::sharedInstance();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        resetProcess();
        c.before();
        CommitWatch watch;
        start();
        log("view_item");
        drain();
        const std::vector<std::string> carried = storedInstanceIDs();
        ASSERT_FALSE(carried.empty());
        const std::vector<std::string> onDisk = watch.idsOnDisk();
        ASSERT_FALSE(onDisk.empty());
        for (const std::string& id : onDisk) EXPECT_EQ(id, carried.back()) << "on disk when events were committed";
        for (const std::string& id : carried) EXPECT_EQ(id, carried.back());
        engine_.reset();
    }
}
