// The app's token provider against the real authentication service: tokens
// from the app's hook and changes from the auth state notification, always
// answered on the worker queue.

#include <gtest/gtest.h>

#include "connection_test_support.h"
#include "database/connection/FAuthTokenProvider.h"
#include "testing/temp_sandbox.h"

namespace {

using namespace conntest;

struct Answer {
    bool done = false;
    bool onWorker = false;
    std::optional<std::string> token;
    ns::ErrorRef error;
};

class TokenProviderTest : public ::testing::Test {
protected:
    void SetUp() override {
        backend_ = startBackend();
        QRVApp::resetForTesting();
        QRVAuth::resetForTesting();
        QRVApp::configure(std::make_shared<QRVOptions>(appOptions("https://almavel-pa.quorvaneio.com")));
        app_ = QRVApp::defaultApp();
        ASSERT_TRUE(app_);
        auth_ = QRVAuth::auth();
    }
    void TearDown() override {
        ns::RunLoop::main().runOnce();
        drainWorker();
        auth_.reset();
        app_.reset();
        QRVAuth::resetForTesting();
        QRVApp::resetForTesting();
    }

    Answer fetch(FAuthTokenProvider& provider, bool force) {
        auto answer = std::make_shared<Answer>();
        auto mutex = std::make_shared<std::mutex>();
        provider.fetchTokenForcingRefresh(force, [answer, mutex](std::optional<std::string> token, ns::ErrorRef e) {
            std::lock_guard lock(*mutex);
            answer->onWorker = FWorkerQueue::sharedQueue()->isCurrent();
            answer->token = std::move(token);
            answer->error = std::move(e);
            answer->done = true;
        });
        EXPECT_TRUE(waitLocked(*mutex, [&] { return answer->done; }));
        std::lock_guard lock(*mutex);
        return *answer;
    }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::testing::Backend> backend_;
    std::shared_ptr<QRVApp> app_;
    std::shared_ptr<QRVAuth> auth_;
};

TEST_F(TokenProviderTest, TheSignedInUsersTokenArrivesOnTheWorkerQueue) {
    auto provider = FAuthTokenProvider::authTokenProviderForApp(app_);
    // Nobody signed in: no token and no error.
    Answer none = fetch(*provider, false);
    EXPECT_TRUE(none.onWorker);
    EXPECT_FALSE(none.token);
    EXPECT_EQ(none.error, nullptr);

    auto signedUp = signUp(auth_, "caja.norte@almavel.com.pa", "secreto1");
    ASSERT_TRUE(signedUp.user) << (signedUp.error ? signedUp.error->description() : "");
    Answer token = fetch(*provider, false);
    EXPECT_TRUE(token.onWorker);
    ASSERT_TRUE(token.token);
    EXPECT_EQ(token.error, nullptr);
    // The token is the service's own: it knows the account.
    auto lookup =
        backend_->post(std::string("/account/v1/lookup?key=") + kAPIKey, json{{"idToken", *token.token}}.dump());
    ASSERT_EQ(lookup.status, 200) << lookup.body;
    EXPECT_EQ(json::parse(lookup.body)["uid"], signedUp.user->uid());

    Answer forced = fetch(*provider, true);
    EXPECT_TRUE(forced.onWorker);
    EXPECT_TRUE(forced.token);
}

TEST_F(TokenProviderTest, HookErrorsZeroAndOneMeanNoAuthenticationOthersArePassedOn) {
    auto other = std::make_shared<QRVApp>("hooked", std::make_shared<QRVOptions>(appOptions("https://x.quorvaneio.com")));
    auto provider = FAuthTokenProvider::authTokenProviderForApp(other);
    // No hook at all: the app answers at once, still reaching us on the worker.
    Answer unhooked = fetch(*provider, false);
    EXPECT_TRUE(unhooked.onWorker);
    EXPECT_FALSE(unhooked.token);
    EXPECT_EQ(unhooked.error, nullptr);

    long code = 0;
    bool hookSawForce = false;
    other->setGetTokenImplementation([&](bool force, QRVApp::TokenCallback callback) {
        hookSawForce = force;
        // The hook answers on a thread of its own.
        ns::DispatchQueue::main()->async([callback, c = code] { callback(std::nullopt, ns::Error::make("auth", c)); });
    });
    for (long c : {0L, 1L}) {
        code = c;
        Answer answer = fetch(*provider, true);
        EXPECT_TRUE(hookSawForce);
        EXPECT_TRUE(answer.onWorker);
        EXPECT_FALSE(answer.token);
        EXPECT_EQ(answer.error, nullptr) << "code " << c;
    }
    code = 17020;
    Answer failed = fetch(*provider, false);
    EXPECT_FALSE(hookSawForce);
    ASSERT_NE(failed.error, nullptr);
    EXPECT_EQ(failed.error->code(), 17020);
    EXPECT_FALSE(failed.token);
}

TEST_F(TokenProviderTest, ListenersHearTheirOwnAppsTokenChangesOnTheWorkerQueue) {
    QRVApp::configure("second", std::make_shared<QRVOptions>(appOptions("https://second.quorvaneio.com")));
    auto secondApp = QRVApp::appNamed("second");
    ASSERT_TRUE(secondApp);
    auto secondAuth = QRVAuth::authWithApp(secondApp);

    struct Heard {
        std::optional<std::string> token;
        bool onWorker = false;
    };
    std::mutex mutex;
    std::vector<Heard> heard;
    auto provider = FAuthTokenProvider::authTokenProviderForApp(app_);
    provider->listenForTokenChanges([&](std::optional<std::string> token) {
        std::lock_guard lock(mutex);
        heard.push_back({std::move(token), FWorkerQueue::sharedQueue()->isCurrent()});
    });

    // The second app's sign-in is not ours.
    ASSERT_TRUE(signUp(secondAuth, "segunda@almavel.com.pa", "secreto2").user);
    pumpUntil([] { return false; }, 0.3);
    drainWorker();
    {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(heard.empty());
    }

    ASSERT_TRUE(signUp(auth_, "primera@almavel.com.pa", "secreto1").user);
    ASSERT_TRUE(waitLocked(mutex, [&] { return !heard.empty(); }));
    {
        std::lock_guard lock(mutex);
        ASSERT_TRUE(heard[0].token);
        EXPECT_TRUE(heard[0].onWorker);
    }
    ASSERT_TRUE(auth_->signOut());
    ASSERT_TRUE(waitLocked(mutex, [&] { return heard.size() >= 2 && !heard.back().token; }));
    std::lock_guard lock(mutex);
    EXPECT_TRUE(heard.back().onWorker);
}

}  // namespace
