#pragma once
// Shared set-up of the instance-identity tests that talk to the local back
// end: the back end on loopback with the SDK's hosts routed to it, a fresh
// sandbox whose bundle names the app and its version, a virtual clock for
// every wait and retry, and helpers to configure the app (as a launch does)
// and to read the instance-identity services' admin endpoints.

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "core/QRVApp.h"
#include "core/QRVOptions.h"
#include "instanceid/QRVInstanceID.h"
#include "platform/clock.h"
#include "platform/notification_center.h"
#include "platform/runloop.h"
#include "testing/app_backend.h"
#include "testing/admin_json.h"
#include "testing/backend.h"
#include "testing/temp_sandbox.h"

namespace iidtest {

using json = nlohmann::json;

inline constexpr const char* kSenderID = ns::testing::kTestSenderID;
inline constexpr const char* kAppID = ns::testing::kTestAppID;
// The app a launch configures: no database or bucket, a sender id.
inline const ns::testing::TestApp kApp{.apiKey = "AKtest-iid-0000000000000000000001", .senderID = kSenderID};
inline constexpr const char* kBundleID = "com.almavel.app";

inline bool pumpUntil(const std::function<bool()>& done) { return ns::RunLoop::main().runUntil(done, 60); }

// Lets what is already queued on the main queue run.
inline void settle() { ns::RunLoop::main().runFor(0.2); }

// Records the posts of one notification name.
class NotificationLog {
public:
    explicit NotificationLog(const std::string& name) {
        token_ = ns::NotificationCenter::defaultCenter().addObserver(
            name, nullptr, nullptr, [this](const ns::Notification& note) { posts.push_back(note); });
    }
    ~NotificationLog() { ns::NotificationCenter::defaultCenter().removeObserver(token_); }
    std::vector<ns::Notification> posts;

private:
    ns::ObserverToken token_;
};

class IidBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        backend_ = ns::testing::startBackendFor(kApp);
        writeInfoPlist("1.0");
        clock_ = ns::VirtualClock::install();
        QRVApp::resetForTesting();
        QRVInstanceID::resetForTesting();
    }
    void TearDown() override {
        settle();
        QRVInstanceID::resetForTesting();
        QRVApp::resetForTesting();
        clock_.reset();
    }

    void writeInfoPlist(const std::string& version) {
        sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", kBundleID},
                                                               {"CFBundleShortVersionString", version}});
    }

    // Configures the default app as a launch does.
    void configure() {
        QRVApp::configure(std::make_shared<QRVOptions>(kApp.options()));
    }

    // Another run of the program on the same sandbox: every process-wide
    // and per-sandbox value starts afresh, the files and keychain stay.
    void relaunch() {
        QRVInstanceID::resetForTesting();
        QRVApp::resetForTesting();
        sandbox_.relaunch();
    }

    // Configures and waits for the default token.
    std::string launchAndWaitForDefaultToken() {
        configure();
        auto iid = QRVInstanceID::instanceID();
        EXPECT_TRUE(pumpUntil([&] { return iid->defaultQDXToken().has_value(); })) << backend_->log();
        return iid->defaultQDXToken().value_or("");
    }

    json admin(const std::string& path) { return ns::testing::getJSON(*backend_, path); }
    json stats() { return admin("/__admin/iid/stats"); }
    json registrations() { return admin("/__admin/iid/registrations")["registrations"]; }
    json requests() { return admin("/__admin/iid/requests")["requests"]; }
    void addFault(const std::string& action, int count = 1) {
        auto reply = backend_->post("/__admin/iid/faults", json{{"action", action}, {"count", count}}.dump());
        ASSERT_EQ(reply.status, 200) << reply.body;
    }
    int64_t count(const char* counter) { return stats()[counter].get<int64_t>(); }
    // How many registration requests met a queued fault so far.
    size_t faultReplies() {
        size_t n = 0;
        for (const auto& r : requests()) n += r["kind"] == "fault";
        return n;
    }
    // Advances the virtual clock and lets the main queue run what fell due.
    void advance(double seconds) {
        clock_->advance(seconds);
        settle();
    }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::testing::Backend> backend_;
    std::unique_ptr<ns::VirtualClock> clock_;
};

}  // namespace iidtest
