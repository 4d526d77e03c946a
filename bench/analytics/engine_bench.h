// What the analytics benchmarks of the engine and the facade share:
// temporary sandboxes (one holding the bundle's Info.plist and options,
// removed after every queue has finished, with the shared analytics state
// reset for the next benchmark as a new process would find it), the time one
// call takes, and work run on the engine's worker queue while the main queue
// turns.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "analytics/QRVAEnvironmentInfo.h"
#include "analytics/QRVAIdentity.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVAScheduler.h"
#include "core/QRVOptions.h"
#include "platform/dispatch.h"
#include "platform/runloop.h"
#include "testing/temp_sandbox.h"

namespace analyticsbench {

inline constexpr const char* kAppID = "1:1065:ios:ab12";

inline double secondsOf(const std::function<void()>& fn) {
    auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs `work` on the engine's worker queue and waits, the main queue turning
// meanwhile (the identity reads the device there once).
inline void onWorker(QRVAMeasurement& engine, const std::function<void()>& work) {
    std::atomic<bool> done = false;
    engine.scheduler()->scheduleOnWorkerQueueBlockID("bench", [&] {
        work();
        done = true;
    });
    ns::RunLoop::main().runUntil([&] { return done.load(); }, 600);
}

// One benchmark's sandbox with the app's Info.plist and options, the shared
// analytics state reset as a new process would find it, and on the way out
// every queue waited for before the files go.
class BenchSandbox {
public:
    explicit BenchSandbox(ns::Dictionary extraOptions = {}) {
        sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "pa.almavel.asistente"},
                                                               {"CFBundleShortVersionString", "2.4"}});
        ns::Dictionary options{{kQRVOptionsKeyOndrixAppID, kAppID},
                               {kQRVOptionsKeyAPIKey, "AKbench-analytics-engine-000000001"}};
        options.merge(extraOptions);
        sandbox_.writeBundlePlist(kQRVOptionsFileName, options);
        resetShared();
    }
    ~BenchSandbox() {
        ns::waitForQueuedWork(30);
        resetShared();
    }
    BenchSandbox(const BenchSandbox&) = delete;
    BenchSandbox& operator=(const BenchSandbox&) = delete;

private:
    static void resetShared() {
        QRVAMeasurement::resetSharedForTesting();
        QRVAIdentity::resetSharedForTesting();
        QRVAEnvironmentInfo::resetSharedForTesting();
        QRVAPersistedConfig::resetSharedForTesting();
        QRVAMonitor::resetSharedForTesting();
        QRVOptions::resetForTesting();
    }

    ns::testing::TempSandbox sandbox_;
};

}  // namespace analyticsbench
