#pragma once
// What the tests of the public database classes share: a seeded back end
// with the SDK's hosts routed to it, a default app whose database URL names
// a "*.localhost" host of the back end's web-socket listener, waiting on the
// main run loop, reads that wait for their one value event, and the back
// end's admin view of the stored data and rules.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "auth/QRVAuth.h"
#include "core/QRVApp.h"
#include "core/QRVOptions.h"
#include "database/api/FRepoManager.h"
#include "database/api/QRVDataSnapshot.h"
#include "database/api/QRVDatabase.h"
#include "database/api/QRVDatabaseReference.h"
#include "database/connection/FWorkerQueue.h"
#include "platform/runloop.h"
#include "testing/app_backend.h"
#include "testing/admin_json.h"
#include "testing/backend.h"
#include "testing/temp_sandbox.h"

namespace apitest {

using json = nlohmann::json;

// The seeded sample data's API key, app and namespace.
inline constexpr const char* kAPIKey = ns::testing::kSampleAPIKey;
inline constexpr const char* kAppID = ns::testing::kTestAppID;
inline constexpr const char* kSampleNamespace = ns::testing::kTestProjectID;
// Real time allowed for anything asynchronous.
inline constexpr double kWaitSeconds = 30;

inline bool pumpUntil(const std::function<bool()>& done, double seconds = kWaitSeconds) {
    return ns::RunLoop::main().runUntil(done, seconds);
}

// Lets everything already queued on the worker queue run, then what that
// queued on the main queue.
inline void drainQueues() {
    FWorkerQueue::sharedQueue()->sync([] {});
    bool mainDone = false;
    ns::DispatchQueue::main()->async([&] { mainDone = true; });
    pumpUntil([&] { return mainDone; });
}

inline ns::Dictionary appOptions(const std::string& databaseURL) {
    return ns::testing::TestApp{
        .apiKey = kAPIKey, .databaseURL = databaseURL, .storageBucket = ns::testing::kTestStorageBucket}
        .options();
}

// What one observation delivered, recorded on the callback queue.
struct Delivery {
    QRVDataSnapshotPtr snapshot;
    bool onMainThread = false;
};

class PublicApiTest : public ::testing::Test {
protected:
    void SetUp() override {
        backend_ = ns::testing::startBackendFor(ns::testing::TestApp{.apiKey = kAPIKey}, {.seed = true});
        // The sample rules let only signed-in staff read; these tests read
        // the sample data as nobody in particular (the tests about rules set
        // their own).
        setRules(json{{"rules",
                       {{".read", true}, {".write", true}, {"Productos", {{".indexOn", {"qParte", "Descrip"}}}}}}});
        QRVApp::resetForTesting();
        QRVAuth::resetForTesting();
        QRVDatabase::resetInstancesForTesting();
    }

    void TearDown() override {
        // Blocks still queued for the main queue are never run: they may hold
        // the finished test's locals.
        for (const auto& database : databases_) FRepoManager::disposeRepos(database->config());
        if (HasFailure() && backend_) std::cerr << "back end log:\n" << backend_->log() << "\n";
        databases_.clear();
        QRVDatabase::resetInstancesForTesting();
        QRVAuth::resetForTesting();
        QRVApp::resetForTesting();
        backend_.reset();
    }

    std::string databaseURL(const std::string& name = kSampleNamespace) const {
        return ns::testing::databaseURL(*backend_, name);
    }

    // Configures the default app for the namespace and answers its database
    // (disposed at the end of the test).
    std::shared_ptr<QRVDatabase> configureDefaultDatabase(const std::string& ns = kSampleNamespace) {
        QRVApp::configure(std::make_shared<QRVOptions>(appOptions(databaseURL(ns))));
        return track(QRVDatabase::database());
    }
    std::shared_ptr<QRVDatabase> track(std::shared_ptr<QRVDatabase> database) {
        databases_.push_back(database);
        return database;
    }

    // Reads the query once with a value event and waits for it.
    std::optional<Delivery> readOnce(const QRVDatabaseQueryPtr& query) {
        auto delivered = std::make_shared<std::optional<Delivery>>();
        query->observeSingleEventOfType(QRVDataEventTypeValue, [delivered](QRVDataSnapshotPtr snapshot) {
            *delivered = Delivery{std::move(snapshot), ns::RunLoop::isMainThread()};
        });
        pumpUntil([&] { return delivered->has_value(); });
        return *delivered;
    }

    json admin(const std::string& path, const json& body) { return ns::testing::postJSON(*backend_, path, body); }
    json serverData(const std::string& path, const std::string& ns = kSampleNamespace) {
        return ::ns::testing::getJSON(*backend_, "/__admin/rtdb/data?ns=" + ns + "&path=" + path)["data"];
    }
    void setServerData(const std::string& path, const json& data, const std::string& ns = kSampleNamespace) {
        admin("/__admin/rtdb/data?ns=" + ns + "&path=" + path, json{{"data", data}});
    }
    void setRules(const json& rules, const std::string& ns = kSampleNamespace) {
        admin("/__admin/rtdb/rules?ns=" + ns, rules);
    }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::testing::Backend> backend_;
    std::vector<std::shared_ptr<QRVDatabase>> databases_;
};

}  // namespace apitest
