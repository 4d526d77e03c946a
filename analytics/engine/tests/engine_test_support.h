#pragma once
// What the engine's tests share: running work on an engine's worker queue
// while the main queue turns, forgetting the process-wide analytics objects
// as a new process would, and a measurement configuration made from
// libprotobuf's JSON mapping, through the wire, as the back end would send it.

#include <gtest/gtest.h>
#include <google/protobuf/util/json_util.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "analytics/QRVAEnvironmentInfo.h"
#include "analytics/QRVAIdentity.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPBMessages.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVAScheduler.h"
#include "core/QRVOptions.h"
#include "platform/runloop.h"
#include "analytics_proto/qrvanalytics.pb.h"

namespace enginetest {

// Runs `work` on the engine's worker queue and waits for it (at most
// `seconds`), the main queue turning meanwhile (the identity reads the device
// there).
inline void onWorker(QRVAMeasurement& engine, const std::function<void()>& work, double seconds = 60) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    engine.scheduler()->scheduleOnWorkerQueueBlockID("test", [&work, done] {
        work();
        *done = true;
    });
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return done->load(); }, seconds));
}

// Two turns: blocks queued from blocks (a disable after a failed start, an
// alarm's upload) run too.
inline void drain(QRVAMeasurement& engine) {
    for (int i = 0; i < 2; ++i) onWorker(engine, [] {});
}

// Runs `drain` until no request of the engine is in flight nor its answer
// queued; false when that does not come within 600 rounds. The flag drops as
// an answer's block starts, which may send the next request: it must stay
// down across a drain.
inline bool settle(QRVAMeasurement& engine, const std::function<void()>& drain) {
    for (int i = 0; i < 600; ++i) {
        drain();
        if (!engine.isNetworkRequestPending()) {
            drain();
            if (!engine.isNetworkRequestPending()) return true;
        }
        ns::RunLoop::main().runUntil([] { return false; }, 0.05);
    }
    return false;
}

// The shared objects a new process would make again; files stay.
inline void resetProcess() {
    QRVAIdentity::resetSharedForTesting();
    QRVAEnvironmentInfo::resetSharedForTesting();
    QRVAPersistedConfig::resetSharedForTesting();
    QRVAMonitor::resetSharedForTesting();
    QRVOptions::resetForTesting();
}

// {"version", "app_id", "settings": [{"name", "value"}], "event_config", ...}
// as the client's wrapper; nullptr (and a test failure) when the JSON does
// not map.
inline std::shared_ptr<QRVAPBMeasurementConfig> measurementConfig(const nlohmann::json& config) {
    qrvanalytics::MeasurementConfig message;
    EXPECT_TRUE(google::protobuf::util::JsonStringToMessage(config.dump(), &message).ok()) << config.dump();
    const std::string bytes = message.SerializeAsString();
    return QRVAPBMeasurementConfig::initWithBuffer(ns::Data(bytes.begin(), bytes.end()));
}

// A configuration for `appID` with the settings given as {name: value}.
inline nlohmann::json configWithSettings(const std::string& appID, const nlohmann::json& settings, int version = 2) {
    nlohmann::json config = {{"version", version}, {"app_id", appID}, {"settings", nlohmann::json::array()}};
    for (const auto& [name, value] : settings.items()) {
        config["settings"].push_back({{"name", name}, {"value", value}});
    }
    return config;
}

}  // namespace enginetest
