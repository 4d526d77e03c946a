#pragma once
// The analytics client as an app runs it, for end-to-end tests of the
// automatic reporters: a temporary sandbox whose bundle holds the app's
// Info.plist and options file, the local back end's measurement service
// serving the app's configuration, the virtual clock, and the core's
// configure step starting the facade and the engine. What a test checks is
// what the back end stored after an upload.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analytics/QRVAAdExposureReporter.h"
#include "analytics/QRVAAppDelegateProxy.h"
#include "analytics/QRVADatabase.h"
#include "analytics/QRVAEnvironmentInfo.h"
#include "analytics/QRVAIdentity.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVAScreenViewReporter.h"
#include "analytics/QRVASearchAdReporter.h"
#include "analytics/QRVASqliteStore.h"
#include "analytics/QRVAnalytics.h"
#include "core/QRVApp.h"
#include "core/QRVLogger.h"
#include "core/QRVOptions.h"
#include "engine_test_support.h"
#include "monitor_lines.h"
#include "platform/clock.h"
#include "platform/runloop.h"
#include "stored_batches.h"
#include "testing/app_backend.h"
#include "testing/temp_sandbox.h"

namespace apitest {

inline constexpr const char* kAppID = ns::testing::kTestAppID;
inline constexpr double kStart = 1'700'002'790.0;

// The app's options, keyed as its options file keys them.
inline ns::Dictionary appOptions() {
    return {{kQRVOptionsKeyOndrixAppID, kAppID},
            {kQRVOptionsKeyAPIKey, "AKlocal"},
            {kQRVOptionsKeySenderID, "480326711275"},
            {kQRVOptionsKeyProjectID, "almavel-pa"}};
}

// Waits until what `queue` (one of the facade's) holds so far has run.
inline void waitFor(void (*queue)(std::function<void()>)) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    queue([done] { *done = true; });
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return done->load(); }, 30));
}

class ReportingTest : public ::testing::Test {
protected:
    void SetUp() override {
        clock_ = ns::VirtualClock::install(kStart);
        sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "com.almavel.app"}});
        sandbox_.writeBundlePlist(kQRVOptionsFileName, appOptions());
        backend_ = ns::testing::Backend::start();
        backend_->routeServiceHosts();
        serveSettings({});
        newProcess();
    }
    void TearDown() override {
        drain();
        newProcess();
    }

    // The configuration the back end serves, with these remote settings
    // ({"measurement.search_ad_enabled": "1", ...}); takes effect at the
    // engine's next configuration fetch (the first start fetches).
    void serveSettings(const nlohmann::json& settings) {
        backend_->setAnalyticsConfig(kAppID, enginetest::configWithSettings(kAppID, settings));
    }
    // The core's configure step, as the app's launch makes it: the facade
    // starts the engine, whose start sequence has run on return.
    void start() {
        QRVApp::configure();
        drain();
        ASSERT_TRUE(QRVAMeasurement::hasSharedInstance());
        // The first configuration fetch is on its way: a test moving the
        // clock on now would time it out.
        settle();
    }
    // A new process over the same sandbox: what the queues hold runs, the
    // persisted state is written, and everything kept in memory goes.
    void relaunch() {
        drain();
        newProcess();
    }
    // Everything queued on the facade, then on the engine, has run (twice
    // round: a step of one may queue work on the other).
    void drain() {
        for (int round = 0; round < 2; ++round) {
            waitFor(QRVAnalytics::dispatchAsyncOnSerialQueue);
            if (!QRVAMeasurement::hasSharedInstance()) continue;
            waitFor(QRVAnalytics::queueOperationWithBlock);
            onWorker([] {});
        }
    }
    void onWorker(const std::function<void()>& work) { enginetest::onWorker(*engine(), work, 30); }
    void advance(double seconds) {
        clock_->advance(seconds);
        drain();
    }
    // Uploads what is stored: the clock moves on until no raw event or
    // bundle is left and no request is in flight. A request started while
    // the clock moves would time out within the same move (its deadline
    // falls inside it), so the clock jumps only to just before the upload
    // timer and then moves in steps well under a request's time-out, the
    // exchange finishing between them. Then every event the back end has
    // stored, oldest first.
    std::vector<analyticstest::StoredEvent> uploadedEvents() {
        settle();
        for (int step = 0; step < 200 && pendingRows() > 0; ++step) {
            double next = 0;
            onWorker([&] { next = engine()->nextUploadingTime(); });
            if (next > clock_->now() + kStep) clock_->advanceTo(next - 1);
            clock_->advance(kStep);
            settle();
        }
        EXPECT_EQ(pendingRows(), 0) << "events left unsent";
        return analyticstest::storedEvents(backend_->analyticsBatches());
    }
    std::vector<std::string> uploadedNames(const std::string& prefix = "") {
        std::vector<std::string> names;
        for (const auto& event : uploadedEvents()) {
            if (event.name.rfind(prefix, 0) == 0) names.push_back(event.name);
        }
        return names;
    }
    std::map<std::string, std::string> uploadedUserProperties() {
        uploadedEvents();
        return analyticstest::storedUserProperties(backend_->analyticsBatches());
    }
    // The monitor's lines while `work` runs and drains, as "<code> <message>
    // <contexts>".
    std::vector<std::string> monitorLines(const std::function<void()>& work) {
        return analyticstest::logged([&] {
            work();
            drain();
        });
    }

    ns::VirtualClock& clock() { return *clock_; }
    ns::testing::Backend& backend() { return *backend_; }
    static std::shared_ptr<QRVAMeasurement> engine() { return QRVAMeasurement::sharedInstance(); }

private:
    static constexpr double kStep = 15;  // seconds; requests time out after 60

    // Raw events and bundles not yet uploaded.
    int64_t pendingRows() {
        if (!QRVAMeasurement::hasSharedInstance()) return 0;
        int64_t rows = 0;
        onWorker([&] {
            auto store = engine()->database()->sqliteStore();
            for (const char* table : {"raw_events", "queue"}) {
                rows += store->numberForQuery(std::string("SELECT COUNT(*) FROM ") + table, {}, nullptr).intValue();
            }
        });
        return rows;
    }
    // Until no request of the engine is in flight nor its answer queued,
    // the facade's queues drained with the engine's.
    void settle() {
        if (!QRVAMeasurement::hasSharedInstance()) return;
        ASSERT_TRUE(enginetest::settle(*engine(), [this] { drain(); })) << "the engine's requests did not finish";
    }
    void newProcess() {
        if (QRVAMeasurement::hasSharedInstance()) QRVAPersistedConfig::sharedInstance()->synchronizeToDisk();
        QRVAnalytics::resetForTesting();
        QRVAMeasurementMonitor()->flushForTesting();
        QRVAMeasurement::resetSharedForTesting();
        QRVAScreenViewReporter::resetSharedForTesting();
        QRVAAdExposureReporter::resetSharedForTesting();
        QRVASearchAdReporter::resetForTesting();
        QRVAAppDelegateProxy::resetForTesting();
        QRVApp::resetForTesting();
        enginetest::resetProcess();
        sandbox_.relaunch();
        QRVAnalytics::load();
    }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::VirtualClock> clock_;
    std::unique_ptr<ns::testing::Backend> backend_;
};

}  // namespace apitest
