#pragma once
// What the upload and configuration tests share: an engine for a fresh
// install on the virtual clock (ten seconds before a clock hour), the local
// back end's measurement service serving the app's configuration, and the
// steps the tests take (log, advance, let the network exchanges finish, look
// at the store and at what the back end received).

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "analytics/QRVADatabase.h"
#include "analytics/QRVAEnvironmentInfo.h"
#include "analytics/QRVAIdentity.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVAScheduler.h"
#include "core/QRVLogger.h"
#include "core/QRVOptions.h"
#include "platform/clock.h"
#include "platform/format.h"
#include "platform/reachability.h"
#include "platform/runloop.h"
#include "testing/app_backend.h"
#include "engine_test_support.h"
#include "testing/temp_sandbox.h"

namespace uploadtest {

inline constexpr const char* kAppID = ns::testing::kTestAppID;
inline constexpr double kStart = 1'700'002'790.0;  // the hour ends at ...800

class UploadTest : public ::testing::Test {
protected:
    void SetUp() override {
        QRVLoggerResetForTesting();
        QRVSetLoggerLevel(QRVLoggerLevelDebug);
        sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "com.almavel.app"}});
        sandbox_.writeBundlePlist(kQRVOptionsFileName, ns::Dictionary{{kQRVOptionsKeyOndrixAppID, kAppID},
                                                                      {kQRVOptionsKeyAPIKey, "AKtest-upload-01"}});
        clock_ = ns::VirtualClock::install(kStart);
        resetProcess();
        backend_ = ns::testing::Backend::start();
        backend_->routeServiceHosts();
        backend_->setAnalyticsConfig(kAppID, {{"version", 1}, {"app_id", kAppID}});
    }
    void TearDown() override {
        ns::Reachability::setOverride(std::nullopt);
        if (engine_) drain();
        QRVAMeasurement::resetSharedForTesting();
        resetProcess();
        QRVLoggerResetForTesting();
    }
    static void resetProcess() { enginetest::resetProcess(); }
    void start() {
        engine_ = QRVAMeasurement::initWithOptions(QRVOptions::defaultOptions());
        drain();
    }
    static std::shared_ptr<QRVAPersistedConfig> persisted() { return QRVAPersistedConfig::sharedInstance(); }
    void onWorker(const std::function<void()>& work) { enginetest::onWorker(*engine_, work); }
    void drain() { enginetest::drain(*engine_); }
    // Until no request of the engine is in flight nor its answer queued.
    void settle() {
        ASSERT_TRUE(enginetest::settle(*engine_, [this] { drain(); })) << "the engine's requests did not finish";
    }
    // Settles until a condition on the engine's state holds, read on the
    // worker queue that owns that state; false when it never does.
    bool settleUntil(const std::function<bool()>& condition) {
        for (int i = 0; i < 600; ++i) {
            settle();
            bool met = false;
            onWorker([&] { met = condition(); });
            if (met) return true;
            ns::RunLoop::main().runUntil([] { return false; }, 0.05);
        }
        return false;
    }
    // Moves the virtual clock on until the request in flight gives up.
    void timeOut() {
        ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return engine_->isNetworkRequestPending(); }, 60));
        ns::RunLoop::main().runUntil([] { return false; }, 0.3);  // on its way to the server
        for (int i = 0; i < 40 && engine_->isNetworkRequestPending(); ++i) {
            clock_->advance(6);
            ns::RunLoop::main().runUntil([&] { return !engine_->isNetworkRequestPending(); }, 1);
        }
    }
    void advance(double seconds) {
        clock_->advance(seconds);
        drain();
    }
    void advanceTo(double time) {
        clock_->advanceTo(time);
        drain();
    }
    void logEvents(int count) {
        for (int i = 0; i < count; ++i) {
            engine_->logEvent(QRVAEvent::initWithOrigin("app", true, "upload_probe", ns::Clock::nowSeconds(), 0,
                                                        QRVAObjectParameters{{"i", ns::Value(int64_t(i))}}));
        }
        drain();
    }
    void sql(const std::string& statement) {
        bool done = false;
        onWorker([&] { done = engine_->database()->sqliteStore()->executeSQL(statement, nullptr); });
        ASSERT_TRUE(done) << statement;
    }
    // On the worker queue.
    int64_t rowsIn(const std::string& table) {
        return engine_->database()->sqliteStore()->numberForQuery("SELECT COUNT(*) FROM " + table, {}, nullptr).intValue();
    }
    int64_t count(const std::string& table) {
        int64_t rows = -1;
        onWorker([&] { rows = rowsIn(table); });
        return rows;
    }
    nlohmann::json requests() const { return backend_->analyticsRequests(); }
    // Every bundle the back end stored, in arrival order.
    nlohmann::json bundles() const {
        nlohmann::json all = nlohmann::json::array();
        const nlohmann::json received = backend_->analyticsBatches();
        for (const auto& batch : received["batches"]) {
            for (const auto& bundle : batch["bundles"]) all.push_back(bundle);
        }
        return all;
    }
    static size_t eventsNamed(const nlohmann::json& bundle, const std::string& name) {
        size_t n = 0;
        for (const auto& event : bundle.value("events", nlohmann::json::array())) n += event.value("name", "") == name;
        return n;
    }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::VirtualClock> clock_;
    std::unique_ptr<ns::testing::Backend> backend_;
    std::shared_ptr<QRVAMeasurement> engine_;
};

}  // namespace uploadtest
