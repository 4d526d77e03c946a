// What the analytics benchmarks of the engine and the facade share:
// temporary sandboxes (one holding the bundle's Info.plist and options,
// removed after every queue has finished, with the shared analytics state
// reset for the next benchmark as a new process would find it), the time one
// call takes, and work run on the engine's worker queue while the main queue
// turns.
#pragma once

#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
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
#include "platform/plist.h"
#include "platform/runloop.h"
#include "platform/sandbox.h"

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

// A sandbox of its own, current while it lives, removed with everything in
// it. The program's load hooks already read the bundle: main holds one
// around them too, so nothing reaches the user's default sandbox.
class TemporarySandbox {
public:
    TemporarySandbox() {
        char pattern[] = "/tmp/almavel-bench-analytics-XXXXXX";
        root_ = ::mkdtemp(pattern);
        sandbox_ = ns::Sandbox::open(root_);
        previous_ = ns::Sandbox::setCurrent(sandbox_);
    }
    ~TemporarySandbox() {
        ns::Sandbox::setCurrent(previous_);
        sandbox_->removeAllAttachments();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    TemporarySandbox(const TemporarySandbox&) = delete;
    TemporarySandbox& operator=(const TemporarySandbox&) = delete;

    void writeBundlePlist(const std::string& name, const ns::Value& value) {
        std::filesystem::create_directories(sandbox_->bundlePath());
        ns::plist::writeFile(sandbox_->bundlePath() + "/" + name, value, ns::plist::Format::XML);
    }

private:
    std::string root_;
    std::shared_ptr<ns::Sandbox> sandbox_;
    std::shared_ptr<ns::Sandbox> previous_;
};

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
        sandbox_.writeBundlePlist(std::string(kQRVOptionsFileName) + ".plist", options);
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

    TemporarySandbox sandbox_;
};

}  // namespace analyticsbench
