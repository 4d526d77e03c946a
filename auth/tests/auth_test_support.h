#pragma once
// Shared set-up of the authentication tests: a real back end on loopback
// that accepts the test app's API key, the SDK's service hosts routed to it,
// and the default app configured (which makes its auth object).

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "auth/QRVAuth.h"
#include "core/QRVApp.h"
#include "core/QRVOptions.h"
#include "platform/notification_center.h"
#include "platform/runloop.h"
#include "testing/app_backend.h"
#include "testing/admin_json.h"
#include "testing/backend.h"
#include "testing/temp_sandbox.h"

namespace authtest {

using json = nlohmann::json;

inline constexpr const char* kAPIKey = "AKtest-auth-0000000000000000000000001";
inline constexpr const char* kAppID = ns::testing::kTestAppID;

inline ns::testing::TestApp testApp(const std::string& apiKey = kAPIKey) {
    return {.apiKey = apiKey,
            .databaseURL = "https://almavel-pa.quorvaneio.com",
            .storageBucket = ns::testing::kTestStorageBucket};
}
inline ns::Dictionary testOptions(const std::string& apiKey = kAPIKey) { return testApp(apiKey).options(); }

inline bool pumpUntil(const std::function<bool()>& done) { return ns::RunLoop::main().runUntil(done, 60); }

struct UserResult {
    bool done = false;
    bool onMainThread = false;
    std::shared_ptr<QRVUser> user;
    ns::ErrorRef error;
};

struct TokenResult {
    bool done = false;
    bool onMainThread = false;
    std::optional<std::string> token;
    ns::ErrorRef error;
};

// Runs a call that takes a (user, error) completion and waits for it.
template <class Call>
UserResult waitForUser(Call call) {
    auto result = std::make_shared<UserResult>();
    call([result](std::shared_ptr<QRVUser> user, ns::ErrorRef error) {
        result->onMainThread = ns::RunLoop::isMainThread();
        result->user = std::move(user);
        result->error = std::move(error);
        result->done = true;
    });
    EXPECT_TRUE(pumpUntil([&] { return result->done; }));
    return *result;
}

inline TokenResult getToken(const std::shared_ptr<QRVApp>& app, bool force) {
    auto result = std::make_shared<TokenResult>();
    app->getTokenForcingRefresh(force, [result](std::optional<std::string> token, ns::ErrorRef error) {
        result->onMainThread = ns::RunLoop::isMainThread();
        result->token = std::move(token);
        result->error = std::move(error);
        result->done = true;
    });
    EXPECT_TRUE(pumpUntil([&] { return result->done; }));
    return *result;
}

// Every auth state notification, from any sender, as received on the main thread.
class StateRecorder {
public:
    struct Seen {
        ns::ObjectPtr sender;
        std::optional<std::string> token;
        bool onMainThread = false;
    };
    StateRecorder() {
        token_ = ns::NotificationCenter::defaultCenter().addObserver(
            QRVAuthStateDidChangeInternalNotification, nullptr, nullptr, [this](const ns::Notification& note) {
                Seen seen{note.object, std::nullopt, ns::RunLoop::isMainThread()};
                auto it = note.userInfo.find(QRVAuthStateDidChangeInternalNotificationTokenKey);
                if (it != note.userInfo.end() && it->second.isString()) seen.token = it->second.asString();
                std::lock_guard lock(mutex_);
                seen_.push_back(std::move(seen));
            });
    }
    ~StateRecorder() { ns::NotificationCenter::defaultCenter().removeObserver(token_); }
    std::vector<Seen> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    size_t count() const { return seen().size(); }
    bool waitForCount(size_t n) const {
        return pumpUntil([&] { return count() >= n; });
    }

private:
    ns::ObserverToken token_ = 0;
    mutable std::mutex mutex_;
    std::vector<Seen> seen_;
};

class AuthBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        backend_ = ns::testing::startBackendFor(testApp());
        QRVApp::resetForTesting();
        QRVAuth::resetForTesting();
        QRVApp::configure(std::make_shared<QRVOptions>(testOptions()));
        app_ = QRVApp::defaultApp();
        ASSERT_TRUE(app_);
        auth_ = QRVAuth::auth();
    }
    void TearDown() override {
        QRVAuthRPC::setPathPrefixForTesting("");
        // Completions still queued for the main thread run before the objects go.
        ns::RunLoop::main().runOnce();
        auth_.reset();
        app_.reset();
        QRVAuth::resetForTesting();
        QRVApp::resetForTesting();
    }

    UserResult signUp(const std::string& email, const std::string& password) {
        return waitForUser([&](auto done) { auth_->createUserWithEmail(email, password, done); });
    }
    UserResult signIn(const std::string& email, const std::string& password) {
        return waitForUser([&](auto done) { auth_->signInWithEmail(email, password, done); });
    }
    ns::ErrorRef sendReset(const std::optional<std::string>& email) {
        bool done = false;
        ns::ErrorRef error;
        auth_->sendPasswordResetWithEmail(email, [&](ns::ErrorRef e) {
            error = std::move(e);
            done = true;
        });
        EXPECT_TRUE(pumpUntil([&] { return done; }));
        return error;
    }
    // The back end's view of an ID token (POST /account/v1/lookup).
    ns::testing::HttpReply lookup(const std::string& idToken) {
        return backend_->post(std::string("/account/v1/lookup?key=") + kAPIKey, json{{"idToken", idToken}}.dump());
    }
    json admin(const std::string& path, const json& body) { return ns::testing::postJSON(*backend_, path, body); }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::testing::Backend> backend_;
    std::shared_ptr<QRVApp> app_;
    std::shared_ptr<QRVAuth> auth_;
};

}  // namespace authtest
