// The analytics facade: started by the core's configure by class name, the
// engine's enabled decision, events held until the start and handed on in
// timestamp order, the public calls' checks and the routing to the
// interceptor, the listeners and the engine.

#include "analytics/QRVAnalytics.h"

#include <gtest/gtest.h>

#include "analytics/QRVAAppDelegateProxy.h"
#include "analytics/QRVAEnvironmentInfo.h"
#include "analytics/QRVAIdentity.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVADatabase.h"
#include "analytics/QRVASqliteStore.h"
#include "core/QRVApp.h"
#include "core/QRVLogger.h"
#include "core/QRVOptions.h"
#include "api_test_support.h"
#include "monitor_lines.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/runloop.h"
#include "testing/temp_sandbox.h"

namespace {

using apitest::kAppID;
using apitest::waitFor;

class FacadeTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock_ = ns::VirtualClock::install();
        sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "com.almavel.app"}});
        newProcess();
    }
    void TearDown() override {
        drain();
        newProcess();
    }
    // Options handed to the configure call, as an app that carries no
    // options file does: no app ID is stored before the first start.
    static std::shared_ptr<const QRVOptions> options(ns::Dictionary extra = {}) {
        ns::Dictionary options = apitest::appOptions();
        options.merge(extra);
        return std::make_shared<const QRVOptions>(options);
    }
    void newProcess() {
        QRVAnalytics::resetForTesting();
        QRVAMeasurementMonitor()->flushForTesting();
        QRVAMonitor::resetSharedForTesting();
        QRVAMeasurement::resetSharedForTesting();
        QRVApp::resetForTesting();
        enginetest::resetProcess();
        sandbox_.relaunch();
    }
    // Everything queued so far on the facade, then on the engine, has run.
    // The serial queue (where a start makes the engine), then, once started,
    // the operation queue and the engine's worker queue: until the start the
    // operation queue holds everything.
    void drain() {
        waitFor(QRVAnalytics::dispatchAsyncOnSerialQueue);
        if (!QRVAMeasurement::hasSharedInstance()) return;
        waitFor(QRVAnalytics::queueOperationWithBlock);
        onWorker([] {});
    }
    void onWorker(const std::function<void()>& work) {
        enginetest::onWorker(*QRVAMeasurement::sharedInstance(), work, 30);
    }
    // What the listeners saw, as "name" or "name err=<code>".
    std::vector<std::string> listen(const std::function<void()>& work) {
        auto seen = std::make_shared<std::vector<std::string>>();
        auto token = QRVAnalytics::addLogEventListener([seen](const QRVAEvent& event) {
            const QRVAValue* code = event.parameters().find("_err");
            seen->push_back(event.name() + (code ? " err=" + std::to_string(code->int64Value()) : ""));
        });
        work();
        drain();
        QRVAnalytics::removeLogEventListener(token);
        drain();
        return *seen;
    }
    std::vector<std::string> monitor(const std::function<void()>& work) {
        return analyticstest::logged([&] {
            work();
            drain();
        });
    }
    // The monitor's sample of what `work` logged at the monitored levels:
    // "1:<key>" for one message, "none" for none.
    std::string sampled(const std::function<void()>& work) {
        drain();
        auto monitor = QRVAMeasurementMonitor();
        monitor->clearMonitoringData();
        work();
        drain();
        monitor->flushForTesting();
        clock_->advance(10);
        return monitor->monitoringDataForDispatchWithSamplePeriod(1, 0).value_or("none");
    }
    static bool hasCode(const std::vector<std::string>& lines, int code) {
        const std::string prefix = std::to_string(code) + " ";
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
    void configure(ns::Dictionary extra = {}) {
        QRVApp::configure(options(std::move(extra)));
        drain();
    }
    bool facadeEnabled() {
        auto lines = monitor([] { QRVAnalytics::userPropertiesIncludingInternal(false, ns::DispatchQueue::main(), [](ns::Dictionary) {}); });
        return !hasCode(lines, 25008);
    }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::VirtualClock> clock_;
};

TEST_F(FacadeTest, ConfigureStartsTheEngineAndEarlierInternalEventsFollowInTimestampOrder) {
    // Before the core is configured: a public event is refused, internal
    // ones wait for the start.
    auto before = analyticstest::logged([&] {
        QRVAnalytics::logEventWithName("compra");
        QRVAnalytics::logInternalEventWithOrigin("qdx", "_no", {});
        clock_->advance(2);
        QRVAnalytics::logInternalEventWithOrigin("qdx", "_nf", {});
    });
    EXPECT_TRUE(hasCode(before, 25018));
    EXPECT_FALSE(QRVAMeasurement::hasSharedInstance());

    auto lines = monitor([&] { QRVApp::configure(options()); });
    // No stored app ID before the first start: the first context is absent.
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        std::string("25020 Analytics requires Ondrix App ID from OndrixService-Info.plist. Your data "
                                    "may be lost. Ondrix App ID has been changed. Original, new ID: (nil), ") + kAppID),
              lines.end());
    ASSERT_TRUE(QRVAMeasurement::hasSharedInstance());
    auto engine = QRVAMeasurement::sharedInstance();
    EXPECT_TRUE(engine->isEnabled());
    std::string label;
    ns::Value first, second;
    onWorker([&] {
        label = ns::DispatchQueue::currentLabel();
        auto store = engine->database()->sqliteStore();
        first = store->numberForQuery("SELECT timestamp FROM raw_events WHERE name = '_no'", {}, nullptr);
        second = store->numberForQuery("SELECT timestamp FROM raw_events WHERE name = '_nf'", {}, nullptr);
    });
    EXPECT_EQ(label, "com.ondrix.qrva.worker");
    EXPECT_LT(first.doubleValue(), second.doubleValue());
    EXPECT_EQ(QRVAIdentity::sharedInstance()->appIDFromVLP(), kAppID);
}

TEST_F(FacadeTest, TheEnabledDecisionFollowsTheDeactivatedFlagThenTheStoredState) {
    struct Case {
        int64_t storedState;
        bool deactivated;
        bool enabled;
    } cases[] = {{0, false, true}, {2, false, false}, {1, true, false}};
    ns::Runtime::registerClass("FacadeDelegate").addInstanceMethod("application:openURL:options:", [](ns::Object*, const std::vector<ns::Value>&) { return ns::Value(true); });
    struct AppDelegate : ns::Object {
        std::string className() const override { return "FacadeDelegate"; }
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.storedState * 10 + c.deactivated);
        newProcess();
        QRVAAppDelegateProxy::resetForTesting();
        clock_->advance(1);  // the generated subclass gets a name of its own
        ns::Application::shared()->setDelegate(std::make_shared<AppDelegate>());
        auto opened = std::make_shared<std::atomic<int>>(0);
        QRVAnalytics::setOpenURLListener([opened](const ns::URL&) { ++*opened; });
        if (c.storedState) QRVAnalyticsConfiguration::sharedInstance()->setAnalyticsCollectionEnabled(c.storedState == 1);
        configure(c.deactivated ? ns::Dictionary{{kQRVOptionsKeyAnalyticsCollectionDeactivated, true}}
                                : ns::Dictionary{});
        EXPECT_EQ(QRVAMeasurement::sharedInstance()->isEnabled(), c.enabled);
        EXPECT_EQ(facadeEnabled(), c.enabled);
        // The delegate is proxied on the main queue unless collection is deactivated.
        waitFor([](std::function<void()> block) { ns::DispatchQueue::main()->async(std::move(block)); });
        auto seen = listen([] { EXPECT_TRUE(ns::Application::shared()->openURL("almavel://oferta/1?utm_source=correo")); });
        EXPECT_EQ(opened->load(), c.deactivated ? 0 : 1);
        // The engine's campaign event, which listeners see only while enabled.
        EXPECT_EQ(seen, c.enabled ? std::vector<std::string>{"_cmp"} : std::vector<std::string>{});
        if (c.deactivated) {  // a later enable is ignored, a disable applied
            QRVAnalytics::setAnalyticsEnabled(true);
            EXPECT_FALSE(facadeEnabled());
        }
    }
}

TEST_F(FacadeTest, PublicCallsRefuseBadNamesAndValues) {
    configure();
    const std::string longName(41, 'a');
    const std::string longValue(37, 'v');
    auto queue = ns::DispatchQueue::main();
    struct Case {
        const char* what;
        std::function<void()> call;
        int errorCode;    // of the "_err" event, 0 for none
        int monitorCode;  // 0 for none
    } cases[] = {
        {"reserved event name", [] { QRVAnalytics::logEventWithName("quorvane_compra"); }, 13, 0},
        {"long event name", [&] { QRVAnalytics::logEventWithName(longName); }, 2, 0},
        {"reserved property", [] { QRVAnalytics::setUserPropertyString("x", "quorvane_plan"); }, 15, 0},
        {"bad property name", [] { QRVAnalytics::setUserPropertyString("x", "1plan"); }, 6, 0},
        {"long property value", [&] { QRVAnalytics::setUserPropertyString(longValue, "plan"); }, 7, 0},
        {"number as string property", [] { QRVAnalytics::setUserPropertyString(5, "plan"); }, 0, 25003},
        {"number as user ID", [] { QRVAnalytics::setUserID(5); }, 0, 25004},
        {"empty origin", [] { QRVAnalytics::sharedInstance()->setInternalUserProperty("x", "plan", ""); }, 0, 25005},
        {"no callback", [&] { QRVAnalytics::userPropertiesIncludingInternal(false, queue, nullptr); }, 0, 25006},
        {"no origin", [&] { QRVAnalytics::sharedInstance()->maxUserPropertiesForOrigin("", queue, [](int32_t) {}); }, 0, 25009},
        {"no queue", [] { QRVAnalytics::sharedInstance()->maxUserPropertiesForOrigin("app", nullptr, [](int32_t) {}); }, 0, 25010},
        {"no max callback", [&] { QRVAnalytics::sharedInstance()->maxUserPropertiesForOrigin("app", queue, nullptr); }, 0, 25011},
        {"enabled not a number", [] { ns::NotificationCenter::defaultCenter().post(kQRVAnalyticsConfigurationSetEnabledNotification, QRVAnalyticsConfiguration::sharedInstance(), {{kQRVAnalyticsConfigurationSetEnabledNotification, "yes"}}); }, 0, 25000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> lines;
        auto seen = listen([&] { lines = monitor(c.call); });
        std::vector<std::string> expected;
        if (c.errorCode) expected.push_back("_err err=" + std::to_string(c.errorCode));
        EXPECT_EQ(seen, expected);
        if (c.monitorCode) {
            EXPECT_TRUE(hasCode(lines, c.monitorCode));
        }
    }
}

TEST_F(FacadeTest, TheInterceptorTakesPublicEventsOnly) {
    configure();
    auto intercepted = std::make_shared<std::vector<std::string>>();
    QRVAnalytics::setLogEventInterceptor([intercepted](const std::string& origin, const std::string& name,
                                                       const QRVAObjectParameters&, double) {
        intercepted->push_back(origin + "/" + name);
    });
    struct Case {
        std::function<void()> log;
        const char* listened;  // nullptr: the listeners see nothing
        const char* interceptedAs;
    } cases[] = {
        {[] { QRVAnalytics::logEventWithName("compra"); }, nullptr, "app/compra"},
        {[] { QRVAnalytics::logInternalEventWithOrigin("qdx", "_no", {}); }, "_no", nullptr},
        {[] { QRVAnalytics::logInternalEventWithOrigin("am", "_ae", {}); }, nullptr, nullptr},
        {[] { QRVAnalytics::logInternalEventWithOrigin("auto", "_xa", {}); }, nullptr, nullptr},
        {[] { QRVAnalytics::logEventWithOrigin("gtm+htk", true, "compra", {}, 1.7e9, false, true); }, "compra", nullptr},
    };
    for (const auto& c : cases) {
        intercepted->clear();
        auto seen = listen(c.log);
        EXPECT_EQ(seen, c.listened ? std::vector<std::string>{c.listened} : std::vector<std::string>{});
        EXPECT_EQ(*intercepted, c.interceptedAs ? std::vector<std::string>{c.interceptedAs} : std::vector<std::string>{});
    }
}

TEST_F(FacadeTest, ListenerRemovalWithoutATableThenWithAStaleToken) {
    configure();
    EXPECT_FALSE(QRVAnalytics::addLogEventListener(nullptr));
    struct Case {
        std::function<void()> call;
        const char* sampled;  // the monitor's message (level 2: sampled, not printed)
    };
    std::optional<QRVAnalyticsListenerToken> token;
    const Case cases[] = {
        {[] { QRVAnalytics::removeLogEventListener(std::nullopt); }, ":Attempted removal of nil log event."},
        {[] { QRVAnalytics::removeLogEventListener(QRVAnalyticsListenerToken{}); }, ":Attempted removal of nil log event listener."},
        {[&] { token = QRVAnalytics::addLogEventListener([](const QRVAEvent&) {}); }, nullptr},
        {[&] { QRVAnalytics::removeLogEventListener(token); }, nullptr},
        {[&] { QRVAnalytics::removeLogEventListener(token); }, ":Attempted removal of log event listener with invalid token."},
    };
    for (const auto& c : cases) {
        const std::string sample = sampled(c.call);
        if (c.sampled) {
            EXPECT_TRUE(sample.ends_with(c.sampled)) << sample;
        } else {
            EXPECT_EQ(sample, "none");
        }
    }
}

TEST_F(FacadeTest, OnlyTheFirstStartCountsAndANilConfigurationIsNotObserved) {
    int willStart = 0;
    auto observer = ns::NotificationCenter::defaultCenter().addObserver(
        kQRVAnalyticsWillStartNotification, nullptr, nullptr, [&](const ns::Notification&) { ++willStart; });
    QRVApp::configure(options());
    auto lines = monitor([] {
        QRVAnalytics::startWithConfiguration(nullptr, options());
        ns::NotificationCenter::defaultCenter().post(kQRVAnalyticsConfigurationSetEnabledNotification,
                                                     QRVAnalyticsConfiguration::sharedInstance(),
                                                     {{kQRVAnalyticsConfigurationSetEnabledNotification, "no"}});
    });
    EXPECT_EQ(willStart, 1);
    EXPECT_TRUE(hasCode(lines, 25000));  // the first start's configuration is still observed
    ns::NotificationCenter::defaultCenter().removeObserver(observer);

    newProcess();
    lines = monitor([] {
        QRVAnalytics::startWithConfiguration(nullptr, options());
        ns::NotificationCenter::defaultCenter().post(kQRVAnalyticsConfigurationSetEnabledNotification,
                                                     QRVAnalyticsConfiguration::sharedInstance(),
                                                     {{kQRVAnalyticsConfigurationSetEnabledNotification, "no"}});
    });
    EXPECT_FALSE(hasCode(lines, 25000));
}

TEST_F(FacadeTest, WithoutAnEngineTheMaxQueryStillAnswers) {
    // Options without an app ID make no engine.
    QRVAnalytics::startWithConfiguration(nullptr, std::make_shared<const QRVOptions>(ns::Dictionary{{kQRVOptionsKeyAPIKey, "AKlocal"}}));
    auto answer = std::make_shared<std::atomic<int32_t>>(-1);
    QRVAnalytics::sharedInstance()->maxUserPropertiesForOrigin("app", ns::DispatchQueue::main(),
                                                               [answer](int32_t count) { *answer = count; });
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return answer->load() >= 0; }, 30));
    EXPECT_EQ(answer->load(), 0);
    EXPECT_FALSE(QRVAMeasurement::hasSharedInstance());
}

TEST_F(FacadeTest, AQueueOfTheSameLabelIsNotTheSerialQueue) {
    auto impostor = ns::DispatchQueue::serial(kQRVAnalyticsQueueLabel);
    bool onImpostor = true, onSerial = false;
    impostor->sync([&] { onImpostor = QRVAnalytics::isCurrentQueueSerialQueue(); });
    QRVAnalytics::serialQueue()->sync([&] { onSerial = QRVAnalytics::isCurrentQueueSerialQueue(); });
    EXPECT_FALSE(onImpostor);
    EXPECT_TRUE(onSerial);
}

}  // namespace
