// The engine and the application's life cycle: the background task held
// while the app resigns (ended by a later resign, the foreground or its
// expiry on the virtual clock), the weekly configuration refresh on
// activation against the local back end, the launch link stored before any
// engine exists, the network's levels in the monitor and the first-open time.

#include <gtest/gtest.h>

#include "lifecycle_test_support.h"
#include "platform/application.h"
#include "platform/notification_center.h"
#include "platform/reachability.h"
#include "platform/system_log.h"
#include "platform/user_activity.h"
#include "platform/user_defaults.h"
#include "testing/backend.h"

namespace {

using lifecycletest::kAppID;

class LifecycleTest : public lifecycletest::EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        app_->resetForTesting();
        // Nothing of the engine's own goes out, so no upload ends a task by itself.
        ns::Reachability::setOverride(ns::Reachability::Status::NotReachable);
    }
    void TearDown() override {
        ns::Reachability::setOverride(std::nullopt);
        app_->resetForTesting();
        EngineTest::TearDown();
    }
    // The notifications arrive on the main thread, as the application posts them.
    void post(const char* name) { ns::NotificationCenter::defaultCenter().post(name, app_); }
    std::vector<std::string> tasks() const { return app_->backgroundTaskNames(); }
    // Until the engine's configuration request has ended.
    void settle() {
        for (int i = 0; i < 600; ++i) {
            drain();
            if (!engine_->isNetworkRequestPending()) return;
            ns::RunLoop::main().runUntil([] { return false; }, 0.05);
        }
        FAIL() << "the configuration request did not end";
    }
    void setConfigAge(double seconds) {
        onWorker([&] {
            engine_->database()->updateRemoteConfigSuccessfulTimestamp(ns::Clock::nowSeconds() - seconds, nullptr);
        });
    }

    std::shared_ptr<ns::Application> app_ = ns::Application::shared();
    const std::vector<std::string> kOneTask{kQRVAMeasurementBackgroundTaskName};
    int64_t syncs() const { return QRVAPersistedConfig::sharedInstance()->synchronizationCountForTesting(); }
};

}  // namespace

TEST_F(LifecycleTest, ResigningHoldsOneBackgroundTaskUntilTheForegroundOrItsExpiry) {
    start();
    // Each step: what happens, the codes it logs, whether a task is held after.
    const std::function<void()> resign = [&] { post(ns::kUIApplicationWillResignActiveNotification); };
    const std::tuple<std::function<void()>, std::vector<int>, bool> steps[] = {
        {resign, {23144, 23145}, true},
        {resign, {23144, 23142, 23145}, true},  // the second ends the first
        {[&] { post(ns::kUIApplicationWillEnterForegroundNotification); }, {23142}, false},
        {resign, {23144, 23145}, true},
        {[&] { clock_->advance(ns::kUIBackgroundTaskTimeAllowance - 1); }, {}, true},
        {[&] { clock_->advance(1); }, {23142}, false},  // expired on the clock
    };
    uint64_t held = ns::kUIBackgroundTaskInvalid;
    for (const auto& [step, expected, holding] : steps) {
        const int64_t before = syncs();
        auto logged = codes(step);
        std::erase_if(logged, [](int code) { return code < 23142 || code > 23145; });
        EXPECT_EQ(logged, expected);
        EXPECT_EQ(tasks(), holding ? kOneTask : std::vector<std::string>{});
        EXPECT_EQ(engine_->backgroundUpdateTask() != ns::kUIBackgroundTaskInvalid, holding);
        EXPECT_TRUE(!holding || engine_->backgroundUpdateTask() != held || expected.empty());
        EXPECT_TRUE(expected.empty() || syncs() > before);  // the state is flushed each time
        held = engine_->backgroundUpdateTask();
    }
    std::lock_guard lock(mutex_);
    EXPECT_EQ(facadeQueue_.size(), 3u);  // an upload behind the facade's calls per resign
}

TEST_F(LifecycleTest, WithoutUploadsInTheBackgroundResigningOnlyFlushesTheState) {
    start();
    configure({{"measurement.upload.upload_when_app_in_background_enabled", "0"}});
    const int64_t before = syncs();
    auto logged = codes([&] { post(ns::kUIApplicationWillResignActiveNotification); });
    EXPECT_FALSE(has(logged, 23144) || has(logged, 23145));
    EXPECT_TRUE(tasks().empty());
    EXPECT_GT(syncs(), before);
    std::lock_guard lock(mutex_);
    EXPECT_TRUE(facadeQueue_.empty());
}

TEST_F(LifecycleTest, ActivationRefreshesAWeekOldConfigurationOnlyWhileInternalEventsAreBlacklisted) {
    ns::Reachability::setOverride(std::nullopt);
    auto backend = ns::testing::Backend::start();
    backend->routeServiceHosts();
    const nlohmann::json blacklisting = {
        {"version", 4}, {"app_id", kAppID},
        {"settings", {{{"name", "measurement.upload.blacklist_internal"}, {"value", "1"}}}}};
    backend->setAnalyticsConfig(kAppID, blacklisting);
    start();
    settle();
    const double day = 86400;
    const struct {
        const char* blacklist;
        double age;
        bool requestRunning;
        bool fetches;
        bool pendingLine;
    } cases[] = {
        {"0", 8 * day, false, false, false},
        {"1", 6 * day, false, false, false},
        {"1", 8 * day, false, true, false},
        {"1", 8 * day, true, false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.blacklist << " " << c.age / day << " days " << c.requestRunning);
        configure({{"measurement.upload.blacklist_internal", c.blacklist}});
        setConfigAge(c.age);
        if (c.requestRunning) {
            backend->addAnalyticsFault({.path = "/config", .delayMs = 1500});
            onWorker([&] { engine_->fetchRemoteConfig(); });
        }
        auto logged = codes([&] { post(ns::kUIApplicationDidBecomeActiveNotification); });
        EXPECT_EQ(has(logged, 23126), c.fetches);
        EXPECT_EQ(has(logged, 23143), c.pendingLine);
        settle();
    }
}

TEST_F(LifecycleTest, TheLaunchStoresTheBrowsingActivitysPageElseTheLaunchURL) {
    const auto page = ns::URL::parse("https://shop.example/from-activity?utm_source=a");
    const ns::Value url("almavel://open?utm_source=b");
    auto activity = [&](const char* type) {
        return ns::Value(
            ns::Dictionary{{"UIApplicationLaunchOptionsUserActivityKey", ns::UserActivity::make(type, page)}});
    };
    const std::pair<ns::Dictionary, std::optional<std::string>> cases[] = {
        {{{"UIApplicationLaunchOptionsURLKey", url}}, url.asString()},
        {{{"UIApplicationLaunchOptionsURLKey", url},
          {"UIApplicationLaunchOptionsUserActivityDictionaryKey", activity(ns::kNSUserActivityTypeBrowsingWeb)}},
         page->absoluteString()},
        {{{"UIApplicationLaunchOptionsUserActivityDictionaryKey", activity("com.example.handoff")}}, std::nullopt},
    };
    auto defaults = ns::UserDefaults::standard();
    for (const auto& [options, stored] : cases) {
        defaults->removeObjectForKey(kQRVAMeasurementDeepLinkKey);
        app_->resetForTesting();
        app_->finishLaunching(options);  // no engine exists
        EXPECT_EQ(defaults->stringForKey(kQRVAMeasurementDeepLinkKey), stored) << stored.value_or("none");
    }
}

TEST_F(LifecycleTest, TheNetworksLevelsBecomeTheMonitorsOnTheConsole) {
    start();
    auto logger = engine_->networkLoggerDelegate();
    // The console level each core level reaches through the monitor (whose
    // 5 would never be printed).
    const std::pair<int, int> cases[] = {{3, ns::SystemLog::kError},  {4, ns::SystemLog::kWarning},
                                         {5, ns::SystemLog::kWarning}, {6, ns::SystemLog::kNotice},
                                         {7, ns::SystemLog::kDebug},   {1, ns::SystemLog::kWarning}};
    const int filter = ns::SystemLog::filterLevel();
    for (const auto& [coreLevel, consoleLevel] : cases) {
        auto printedAt = [&, coreLevel = coreLevel](int level) {
            ns::SystemLog::setFilterLevel(level);
            return analyticstest::logged([&] { logger->qrvNetwork_logWithLevel(coreLevel, 900, "probe"); }) ==
                   std::vector<std::string>{"900 probe"};
        };
        EXPECT_TRUE(printedAt(consoleLevel)) << coreLevel;
        EXPECT_FALSE(consoleLevel > ns::SystemLog::kError && printedAt(consoleLevel - 1)) << coreLevel;
    }
    ns::SystemLog::setFilterLevel(filter);
}

TEST_F(LifecycleTest, TheFirstOpenTimeIsWhenItsPropertyWasSetElseTheEarliestProperty) {
    start();
    const std::tuple<const char*, double, int> cases[] = {
        {"", lifecycletest::kLoadTime, 0},
        {"DELETE FROM user_attributes WHERE name = '_fot'", 1'600'000'000, 0},
        {"DELETE FROM user_attributes", 0, 23124},
    };
    for (const char* name : {"tier", "level"}) {
        const double at = name[0] == 'l' ? 1'600'000'000 : 1'650'000'000;
        auto property = QRVAUserAttribute::initWithOrigin("app", name, QRVAValue(1), at);
        onWorker([&] { engine_->setUserAttributeOnWorkerQueue(*property); });
    }
    for (const auto& [statement, expected, code] : cases) {
        double first = -1;
        auto logged = codes([&, &statement = statement] {
            onWorker([&] {
                engine_->database()->sqliteStore()->executeSQL(statement, nullptr);
                first = engine_->firstOpenTimestamp();
            });
        });
        EXPECT_EQ(first, expected) << statement;
        EXPECT_EQ(has(logged, code), code != 0) << statement;
    }
}
