#pragma once
// A device checked in with a local back end of its own: the service hosts
// routed to it, the network reachable, a virtual clock, the app configured
// with a sender id and instance identity holding its default token. Test
// fixtures of messaging against the back end derive from it and call its
// SetUp first and its TearDown last.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>

#include "core/QRVApp.h"
#include "core/QRVOptions.h"
#include "instanceid/QRVInstanceID.h"
#include "messaging/QRVMessaging.h"
#include "platform/clock.h"
#include "platform/reachability.h"
#include "platform/runloop.h"
#include "testing/app_backend.h"
#include "testing/backend.h"
#include "testing/temp_sandbox.h"

namespace messagingtest {

inline constexpr const char* kSenderID = ns::testing::kTestSenderID;
inline constexpr const char* kBundleID = "com.almavel.app";

inline bool pumpUntil(const std::function<bool()>& done, double seconds = 30) {
    return ns::RunLoop::main().runUntil(done, seconds);
}

class CheckedInDevice : public ::testing::Test {
protected:
    void SetUp() override {
        const ns::testing::TestApp app{.apiKey = "AKtest-iid-0000000000000000000001", .senderID = kSenderID};
        backend_ = ns::testing::startBackendFor(app);
        sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", kBundleID},
                                                               {"CFBundleShortVersionString", "1.0"}});
        ns::Reachability::setOverride(ns::Reachability::Status::ReachableViaWiFi);
        clock_ = ns::VirtualClock::install();
        QRVApp::resetForTesting();
        QRVInstanceID::resetForTesting();
        QRVApp::configure(std::make_shared<QRVOptions>(app.options()));
        auto iid = QRVInstanceID::instanceID();
        ASSERT_TRUE(pumpUntil([&] { return iid->defaultQDXToken().has_value(); }, 60)) << backend_->log();
        deviceToken_ = *iid->defaultQDXToken();
    }
    void TearDown() override {
        QRVMessaging::resetForTesting();
        // Completions already queued run before the objects they name go.
        ns::RunLoop::main().runFor(0.2);
        QRVInstanceID::resetForTesting();
        QRVApp::resetForTesting();
        ns::Reachability::setOverride(std::nullopt);
        clock_.reset();
    }

    // Asks for the direct channel and waits until it is up.
    void connectChannel(QRVMessaging& messaging) {
        bool done = false;
        ns::ErrorRef error;
        messaging.connectWithCompletion([&](const ns::ErrorRef& e) {
            error = e;
            done = true;
        });
        ASSERT_TRUE(pumpUntil([&] { return done; })) << backend_->log();
        ASSERT_FALSE(error) << error->description();
    }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::testing::Backend> backend_;
    std::unique_ptr<ns::VirtualClock> clock_;
    std::string deviceToken_;  // instance identity's default token
};

}  // namespace messagingtest
