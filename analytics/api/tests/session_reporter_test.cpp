// Sessions and engagement on the virtual clock: when "_s" comes across
// foreground periods and relaunches, what "_e" reports, the settings (also
// from other threads and through the engine), reporting switched off and an
// unreadable boot time.

#include "analytics/QRVASessionReporter.h"

#include <gtest/gtest.h>

#include "analytics/QRVAAEU.h"
#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAFacadeBridge.h"
#include "analytics/QRVAIdentity.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVAScheduler.h"
#include "core/QRVLogger.h"
#include "core/QRVOptions.h"
#include "monitor_lines.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/runloop.h"
#include "sandboxed_test.h"
#include "uikit/UIWindow.h"

namespace {

constexpr double kStart = 1'700'000'000;

struct Logged {
    std::string name;
    double at;
    QRVAObjectParameters parameters;
    int64_t number(const char* key) const {
        const ns::Value* value = parameters.find(key);
        auto held = value ? value->asObjectOf<QRVAValue>() : nullptr;
        return held ? held->int64Value() : value ? value->intValue(-1) : -1;
    }
};

class SessionReporterTest : public analyticstest::LoggingTest {
protected:
    void SetUp() override {
        QRVSetLoggerLevel(QRVLoggerLevelDebug);
        QRVAPersistedConfig::resetSharedForTesting();
        config_ = QRVAPersistedConfig::sharedInstance();
        QRVAScreenViewReporter::resetSharedForTesting();
        QRVAScreenViewReporter::sharedInstance();
        ns::Application::shared()->finishLaunching();
        QRVASetFacadeHook(&QRVAFacadeHooks::logInternalEvent, [this](const std::string&, const std::string& name, const QRVAObjectParameters& p) {
            events_.push_back({name, ns::Clock::nowSeconds(), p});
        });
    }
    void TearDown() override {
        QRVASetFacadeHook(&QRVAFacadeHooks::logInternalEvent, {});
        QRVASessionReporter::setBootTimeReaderForTesting({});
        ns::Application::shared()->resetForTesting();
        QRVAScreenViewReporter::resetSharedForTesting();
        // Let go of the state before the clock leaves: its delayed write would
        // otherwise come due on the real clock, after the test's sandbox and
        // possibly while the process is exiting.
        QRVAPersistedConfig::resetSharedForTesting();
    }
    std::shared_ptr<QRVASessionReporter> make(double lastCheckpoint) {
        config_->setLastEngagementCheckpointClockTime(lastCheckpoint);
        auto reporter = QRVASessionReporter::initWithPersistedConfig(config_);
        reporter->setReportingEnabled(true);
        return reporter;
    }
    void activate(QRVASessionReporter& reporter) {
        ns::Application::shared()->becomeActive();
        reporter.handleAppDidBecomeActive();
        ns::RunLoop::main().runOnce();  // a start already due
    }
    void resign(QRVASessionReporter& reporter, const QRVAScreenPtr& screen = nullptr) {
        reporter.handleAppWillResignActiveWithScreen(screen);
        ns::Application::shared()->resignActive();
    }
    std::vector<double> timesOf(const std::string& name) const {
        std::vector<double> times;
        for (const auto& e : events_)
            if (e.name == name) times.push_back(e.at - kStart);
        return times;
    }

    std::unique_ptr<ns::VirtualClock> clock_ = ns::VirtualClock::install(kStart);
    std::shared_ptr<QRVAPersistedConfig> config_;
    std::vector<Logged> events_;
};

}  // namespace

TEST_F(SessionReporterTest, ASessionStartsAfterTheMinimumForegroundTimeAcrossPeriods) {
    const struct {
        const char* what;
        double checkpointAgo;
        double minimum;  // < 0: the default
        std::vector<double> periods;  // foreground seconds, 5 s apart
        std::vector<double> sessionStarts;
    } cases[] = {
        {"relaunch after 40 minutes", 2400, -1, {30}, {10}},
        {"two periods of 6 s", 2400, -1, {6, 30}, {6 + 5 + 4}},
        {"within the timeout", 600, -1, {30}, {}},
        {"a minimum of 0", 2400, 0, {30}, {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        events_.clear();
        clock_.reset();
        clock_ = ns::VirtualClock::install(kStart);
        auto reporter = make(kStart - c.checkpointAgo);
        if (c.minimum >= 0) reporter->setMinimumSessionInterval(c.minimum);
        for (double period : c.periods) {
            activate(*reporter);
            clock_->advance(period);
            resign(*reporter);
            clock_->advance(5);
        }
        EXPECT_EQ(timesOf("_s"), c.sessionStarts);
    }
}

TEST_F(SessionReporterTest, EngagementIsReportedOnScreenChangesResignationAndTheTimer) {
    auto reporter = make(kStart);
    auto home = std::make_shared<QRVAScreen>("Inicio", "HomeController", 41);
    auto detail = std::make_shared<QRVAScreen>(std::nullopt, "DetailController", 42);
    int timerPosts = 0;
    auto token = ns::NotificationCenter::defaultCenter().addObserver(
        kQRVASessionReporterEngagementTimerDidFireNotification, nullptr, nullptr,
        [&](const ns::Notification&) { ++timerPosts; });
    activate(*reporter);
    clock_->advance(0.5);
    reporter->handleScreenDidChangeFromScreen(home, detail);  // under a second: nothing
    clock_->advance(1.5);
    reporter->handleScreenDidChangeFromScreen(home, detail);
    clock_->advance(3600);
    clock_->advance(5.25);
    resign(*reporter, detail);
    ns::NotificationCenter::defaultCenter().removeObserver(token);

    ASSERT_EQ(timesOf("_e"), (std::vector<double>{2, 3602, 3607.25}));
    EXPECT_EQ(events_[0].number("_et"), 2000);
    EXPECT_EQ(events_[0].parameters.find("_sn")->asString(), "Inicio");
    EXPECT_EQ(events_[0].number("_si"), 41);
    EXPECT_EQ(events_[1].number("_et"), 3600000);
    EXPECT_FALSE(events_[1].parameters.contains("_sc"));
    EXPECT_EQ(events_[2].number("_et"), 5250);
    EXPECT_EQ(events_[2].parameters.find("_sc")->asString(), "DetailController");
    EXPECT_FALSE(events_[2].parameters.contains("_sn"));
    EXPECT_EQ(timerPosts, 1);
    EXPECT_EQ(config_->lastEngagementCheckpointClockTime(), kStart + 3607.25);
}

TEST_F(SessionReporterTest, SettingsAreCarriedOutOnTheMainQueueAndNegativeIntervalsAreZero) {
    auto reporter = make(kStart - 2400);
    activate(*reporter);  // a start is pending, 10 s away
    const struct {
        std::function<void()> set;
        std::function<double()> read;
        double stored;
        std::string line;
    } cases[] = {
        {[&] { reporter->setTimeoutSessionInterval(-4); }, [&] { return reporter->timeoutSessionInterval(); }, 0,
         "33001 Received negative timeout session duration. Setting to 0.0 instead."},
        {[&] { reporter->setMinimumSessionInterval(-1); }, [&] { return reporter->minimumSessionInterval(); }, 0,
         "33000 Received negative minimum session duration. Setting to 0.0 instead."},
    };
    for (const auto& c : cases) {
        auto lines = analyticstest::logged([&] {
            // From a queue of its own, as the engine's worker queue calls them.
            ns::DispatchQueue::global()->async(c.set);
            ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return c.read() == c.stored; }, 30));
        });
        EXPECT_NE(std::find(lines.begin(), lines.end(), c.line), lines.end());
    }
    // The pending start moved to the new minimum: it fires at once.
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return !timesOf("_s").empty(); }, 30));
    EXPECT_EQ(timesOf("_s"), std::vector<double>{0});
}

TEST_F(SessionReporterTest, WithReportingOffNothingIsLoggedYetTheCheckpointMoves) {
    auto reporter = make(kStart - 2400);
    reporter->setReportingEnabled(false);
    activate(*reporter);
    clock_->advance(10);
    EXPECT_FALSE(config_->startNewSession());
    EXPECT_EQ(config_->lastEngagementCheckpointClockTime(), kStart + 10);
    clock_->advance(3600);
    EXPECT_EQ(config_->lastEngagementCheckpointClockTime(), kStart + 3600);  // the engagement timer
    EXPECT_TRUE(events_.empty());
}

TEST_F(SessionReporterTest, AnUnreadableBootTimeMakesEverySpanZero) {
    const std::optional<double> bootTimes[] = {std::nullopt, 0.75};
    for (const auto& boot : bootTimes) {
        events_.clear();
        QRVASessionReporter::setBootTimeReaderForTesting([boot] { return boot; });
        auto reporter = make(kStart);
        EXPECT_EQ(reporter->currentUptime(), -1.0);
        activate(*reporter);
        clock_->advance(5);
        resign(*reporter);
        ASSERT_EQ(events_.size(), 1u);
        EXPECT_EQ(events_[0].number("_et"), 0);
    }
}

TEST_F(SessionReporterTest, TheEngineMakesTheReporterAtStartSwitchesItAndPassesScreensAndSettings) {
    sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "com.almavel.app"}});
    sandbox_.writeBundlePlist(kQRVOptionsFileName, ns::Dictionary{{kQRVOptionsKeyOndrixAppID, "1:480326711275:ios:5e55"},
                                                                  {kQRVOptionsKeyAPIKey, "AKtest-sessions-0001"}});
    QRVOptions::resetForTesting();
    QRVAIdentity::resetSharedForTesting();
    QRVAPersistedConfig::resetSharedForTesting();
    QRVAMeasurement::resetSharedForTesting();
    QRVAMeasurement::initializeSharedInstanceWithOptions(QRVOptions::defaultOptions());
    auto engine = QRVAMeasurement::sharedInstance();
    ASSERT_TRUE(engine);
    auto reporter = [&] { return std::dynamic_pointer_cast<QRVASessionReporter>(engine->sessionReporter()); };
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return reporter() && reporter()->isReportingEnabled(); }, 60));

    auto home = std::make_shared<ns::UIViewController>("QRVASessionHomeController");
    auto navigation = ns::UINavigationController::initWithRootViewController(home);
    auto window = ns::UIWindow::make();
    window->setRootViewController(navigation);
    window->makeKeyAndVisible();
    ns::Application::shared()->becomeActive();
    engine->setMinimumSessionInterval(-2);
    engine->setSessionTimeoutInterval(900);
    // Each setting reaches the main queue on its own: the start can fire
    // before the timeout arrives.
    ASSERT_TRUE(ns::RunLoop::main().runUntil(
        [&] { return !timesOf("_s").empty() && reporter()->timeoutSessionInterval() == 900; }, 60));

    clock_->advance(3);
    navigation->pushViewController(std::make_shared<ns::UIViewController>("QRVASessionDetailController"), false);
    clock_->advance(4);
    ns::Application::shared()->resignActive();
    EXPECT_FALSE(QRVAIsAppActive());
    std::vector<std::pair<int64_t, std::string>> engagement;
    for (const auto& e : events_) {
        if (e.name == "_e") engagement.emplace_back(e.number("_et"), e.parameters.find("_sc")->asString());
    }
    EXPECT_EQ(engagement, (std::vector<std::pair<int64_t, std::string>>{{3000, "QRVASessionHomeController"},
                                                                          {4000, "QRVASessionDetailController"}}));
    engine->setEnabled(false);
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return !reporter()->isReportingEnabled(); }, 60));
    window->setRootViewController(nullptr);
    engine->scheduler()->workerQueue()->sync([] {});
    QRVAMeasurement::resetSharedForTesting();
}
