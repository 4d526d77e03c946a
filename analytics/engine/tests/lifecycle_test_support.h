#pragma once
// What the life-cycle and automatic-event tests share: an engine over a
// fresh sandbox on the virtual clock, the facade's hooks answered by the test
// (load time, listeners, screen), the internal events it would log, and the
// monitor codes a piece of work logged.

#include <gtest/gtest.h>
#include <google/protobuf/util/json_util.h>

#include <mutex>
#include <nlohmann/json.hpp>

#include "analytics/QRVADatabase.h"
#include "analytics/QRVAEnvironmentInfo.h"
#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAFacadeBridge.h"
#include "analytics/QRVAIdentity.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVARemoteConfig.h"
#include "analytics/QRVAScheduler.h"
#include "analytics_proto/qrvanalytics.pb.h"
#include "core/QRVLogger.h"
#include "core/QRVOptions.h"
#include "monitor_lines.h"
#include "platform/clock.h"
#include "platform/runloop.h"
#include "engine_test_support.h"
#include "testing/app_backend.h"
#include "testing/temp_sandbox.h"

namespace lifecycletest {

inline constexpr const char* kAppID = ns::testing::kTestAppID;
inline constexpr double kLoadTime = 1'700'000'000.25;

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        QRVLoggerResetForTesting();
        QRVSetLoggerLevel(QRVLoggerLevelDebug);
        sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "com.almavel.app"},
                                                               {"CFBundleShortVersionString", "1.1"}});
        sandbox_.writeBundlePlist(kQRVOptionsFileName, ns::Dictionary{{kQRVOptionsKeyOndrixAppID, kAppID},
                                                                      {kQRVOptionsKeyAPIKey, "AKtest-lifecycle-01"}});
        clock_ = ns::VirtualClock::install(kLoadTime + 5);
        resetProcess();
        // The facade's serial queue is the test's: its blocks wait in a list.
        QRVASetFacadeHooks({.dispatchAsyncOnSerialQueue =
                                [this](std::function<void()> block) {
                                    std::lock_guard lock(mutex_);
                                    facadeQueue_.push_back(std::move(block));
                                },
                            .loadTimestamp = [this] { return loadTime_; },
                            .notifyEventListeners = [this](const QRVAEvent& event) {
                                std::lock_guard lock(mutex_);
                                heard_.push_back(event);
                            },
                            .screenParameters = [this] { return screen_; },
                            .logInternalEvent = [this](const std::string& origin, const std::string& name,
                                                       const QRVAObjectParameters& parameters) {
                                std::lock_guard lock(mutex_);
                                std::string text = name;
                                for (const auto& [key, value] : parameters) text += " " + key + "=" + value.description();
                                internal_.push_back(text);
                            }});
    }
    void TearDown() override {
        if (engine_) drain();
        engine_.reset();
        QRVASetFacadeHooks({});
        QRVAMeasurement::resetSharedForTesting();
        resetProcess();
        QRVLoggerResetForTesting();
    }
    static void resetProcess() { enginetest::resetProcess(); }
    // A new process's engine over the same sandbox.
    void start() {
        if (engine_) drain();
        engine_.reset();
        QRVAMeasurement::resetSharedForTesting();
        resetProcess();
        engine_ = QRVAMeasurement::initWithOptions(QRVOptions::defaultOptions());
        drain();
    }
    void onWorker(const std::function<void()>& work) { enginetest::onWorker(*engine_, work); }
    void drain() { enginetest::drain(*engine_); }
    // The monitor codes `work` logged, once the worker queue is idle again.
    std::vector<int> codes(const std::function<void()>& work) {
        std::vector<int> found;
        for (const auto& line : analyticstest::logged([&] {
                 work();
                 drain();
             })) {
            found.push_back(std::stoi(line));
        }
        return found;
    }
    static bool has(const std::vector<int>& codes, int code) {
        return std::find(codes.begin(), codes.end(), code) != codes.end();
    }
    // Puts settings in force as a fetched configuration would.
    void configure(const nlohmann::json& settings) {
        auto wrapper = enginetest::measurementConfig(enginetest::configWithSettings(kAppID, settings));
        onWorker([&] { ASSERT_TRUE(engine_->currentRemoteConfig()->updateMeasurementConfig(wrapper)); });
    }
    // The internal events handed to the facade, as "name key=value ...".
    std::vector<std::string> takeInternal() {
        std::lock_guard lock(mutex_);
        return std::exchange(internal_, {});
    }
    std::vector<QRVAEvent> takeHeard() {
        std::lock_guard lock(mutex_);
        return std::exchange(heard_, {});
    }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::VirtualClock> clock_;
    std::shared_ptr<QRVAMeasurement> engine_;
    double loadTime_ = kLoadTime;
    QRVAObjectParameters screen_;
    std::mutex mutex_;
    std::vector<std::string> internal_;
    std::vector<QRVAEvent> heard_;
    std::vector<std::function<void()>> facadeQueue_;
};

}  // namespace lifecycletest
