// The token hook and the state notification, as the database and storage
// use them, against the real back end on loopback.

#include "auth/QRVAuth.h"
#include "auth_test_support.h"
#include "platform/clock.h"
#include "platform/keychain.h"
#include "platform/runtime.h"

namespace {

using namespace authtest;

class AuthTokenTest : public AuthBackendTest {
protected:
    // Signs a fresh account up and returns the ID token it was announced with.
    std::string signUpAndGetToken(const std::string& email, StateRecorder& states) {
        size_t before = states.count();
        auto result = signUp(email, "secreto1");
        EXPECT_TRUE(result.user) << (result.error ? result.error->description() : "");
        EXPECT_TRUE(states.waitForCount(before + 1));
        auto token = states.seen().back().token;
        EXPECT_TRUE(token.has_value());
        return token.value_or("");
    }
};

TEST_F(AuthTokenTest, NobodySignedInGivesNoTokenAndNoError) {
    auto result = getToken(app_, false);
    EXPECT_TRUE(result.onMainThread);
    EXPECT_FALSE(result.token.has_value());
    EXPECT_EQ(result.error, nullptr);
    EXPECT_FALSE(getToken(app_, true).token.has_value());
}

TEST_F(AuthTokenTest, AValidTokenIsHandedOutWithoutARequest) {
    StateRecorder states;
    std::string token = signUpAndGetToken("vigente@almavel.com.pa", states);
    // From here on every request would reach the recorder.
    QRVAuthRPC::setPathPrefixForTesting("/__recorder");
    backend_->clearRecordedRequests();

    auto result = getToken(app_, false);
    EXPECT_TRUE(result.onMainThread);
    EXPECT_EQ(result.error, nullptr);
    EXPECT_EQ(result.token, token);
    EXPECT_TRUE(backend_->recordedRequests().empty());
    EXPECT_EQ(states.count(), 1u);
}

TEST_F(AuthTokenTest, AForcedRefreshGivesANewTokenTheBackEndAccepts) {
    StateRecorder states;
    std::string first = signUpAndGetToken("forzado@almavel.com.pa", states);
    auto uid = auth_->currentUser()->uid();

    auto result = getToken(app_, true);
    ASSERT_EQ(result.error, nullptr) << result.error->description();
    ASSERT_TRUE(result.token.has_value());
    EXPECT_NE(*result.token, first);
    auto reply = lookup(*result.token);
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(json::parse(reply.body)["uid"], uid);

    // Announced before it was handed out, and saved: a later unforced call
    // gives the new one.
    ASSERT_EQ(states.count(), 2u);
    EXPECT_EQ(states.seen()[1].token, result.token);
    EXPECT_EQ(getToken(app_, false).token, result.token);
}

TEST_F(AuthTokenTest, ATokenWithFiveMinutesOrLessLeftIsRefreshed) {
    auto clock = ns::VirtualClock::install();
    StateRecorder states;
    std::string first = signUpAndGetToken("reloj@almavel.com.pa", states);
    // The back end's tokens live an hour; just over five minutes remain.
    clock->advance(3600 - 300 - 5);
    EXPECT_EQ(getToken(app_, false).token, first);
    EXPECT_EQ(states.count(), 1u);

    clock->advance(10);
    auto refreshed = getToken(app_, false);
    ASSERT_EQ(refreshed.error, nullptr) << refreshed.error->description();
    ASSERT_TRUE(refreshed.token.has_value());
    EXPECT_NE(*refreshed.token, first);
    EXPECT_EQ(lookup(*refreshed.token).status, 200);
    ASSERT_TRUE(states.waitForCount(2));
    EXPECT_EQ(states.seen()[1].token, refreshed.token);

    // Far past expiry the same happens again.
    clock->advance(5 * 3600);
    auto again = getToken(app_, false);
    ASSERT_TRUE(again.token.has_value());
    EXPECT_NE(again.token, refreshed.token);
}

TEST_F(AuthTokenTest, ARevokedSessionSignsOutAndAnnouncesNoToken) {
    StateRecorder states;
    signUpAndGetToken("revocada@almavel.com.pa", states);
    auto uid = auth_->currentUser()->uid();
    EXPECT_EQ(admin("/__admin/auth/users/revoke", json{{"uid", uid}})["revoked"], 1);

    auto result = getToken(app_, true);
    EXPECT_TRUE(result.onMainThread);
    EXPECT_FALSE(result.token.has_value());
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->domain(), "com.quorvane.auth");
    EXPECT_EQ(result.error->code(), QRVAuthErrorCodeUserTokenExpired);
    EXPECT_EQ(auth_->currentUser(), nullptr);
    ASSERT_TRUE(states.waitForCount(2));
    EXPECT_FALSE(states.seen()[1].token.has_value());
    EXPECT_EQ(states.seen()[1].sender, std::static_pointer_cast<ns::Object>(auth_));

    // The saved copy is gone too, and the hook now has nothing to give.
    ns::Dictionary query{{ns::kSecClass, ns::kSecClassGenericPassword},
                         {ns::kSecAttrService, kQRVAuthKeychainService},
                         {ns::kSecAttrAccount, app_->name()}};
    EXPECT_EQ(ns::SecItemCopyMatching(query, nullptr), ns::errSecItemNotFound);
    auto after = getToken(app_, true);
    EXPECT_FALSE(after.token.has_value());
    EXPECT_EQ(after.error, nullptr);
}

TEST_F(AuthTokenTest, ADisabledAccountEndsTheSessionButANetworkFailureDoesNot) {
    StateRecorder states;
    signUpAndGetToken("pausa@almavel.com.pa", states);
    auto uid = auth_->currentUser()->uid();

    backend_->stop();
    auto offline = getToken(app_, true);
    ASSERT_TRUE(offline.error);
    EXPECT_EQ(offline.error->code(), QRVAuthErrorCodeNetworkError);
    EXPECT_TRUE(offline.error->underlyingError());
    EXPECT_TRUE(auth_->currentUser());

    backend_->restart();
    admin("/__admin/auth/users/disable", json{{"uid", uid}});
    auto disabled = getToken(app_, true);
    ASSERT_TRUE(disabled.error);
    EXPECT_EQ(disabled.error->code(), QRVAuthErrorCodeUserDisabled);
    EXPECT_EQ(auth_->currentUser(), nullptr);
}

// What the database's token provider does with the notification: take the
// sender, ask it for its app through the runtime, and act only when that is
// the very app it was made for.
class ProviderLikeListener {
public:
    explicit ProviderLikeListener(std::shared_ptr<QRVApp> app) : app_(app) {
        token_ = ns::NotificationCenter::defaultCenter().addObserver(
            QRVAuthStateDidChangeInternalNotification, nullptr, nullptr, [this](const ns::Notification& note) {
                if (!note.object) return;
                auto app = ns::Runtime::send(*note.object, "app").asObjectOf<QRVApp>();
                if (!app || app != app_.lock()) return;
                auto it = note.userInfo.find(QRVAuthStateDidChangeInternalNotificationTokenKey);
                heard_.push_back(it != note.userInfo.end() ? std::optional(it->second.asString()) : std::nullopt);
            });
    }
    ~ProviderLikeListener() { ns::NotificationCenter::defaultCenter().removeObserver(token_); }
    std::vector<std::optional<std::string>> heard_;

private:
    std::weak_ptr<QRVApp> app_;
    ns::ObserverToken token_ = 0;
};

TEST_F(AuthTokenTest, AProviderForOneAppHearsItsOwnSignInRefreshAndSignOutOnly) {
    ProviderLikeListener listener(app_);
    StateRecorder states;
    std::string signedIn = signUpAndGetToken("proveedor@almavel.com.pa", states);
    auto refreshed = getToken(app_, true).token;
    ASSERT_TRUE(refreshed.has_value());
    ASSERT_TRUE(auth_->signOut());
    ASSERT_TRUE(states.waitForCount(3));
    ASSERT_EQ(listener.heard_.size(), 3u);
    EXPECT_EQ(listener.heard_[0], signedIn);
    EXPECT_EQ(listener.heard_[1], refreshed);
    EXPECT_EQ(listener.heard_[2], std::nullopt);

    // A second app's auth object is not the first app's: its sign-in reaches
    // the recorder of all notifications but not this listener.
    QRVApp::configure("segunda", std::make_shared<QRVOptions>(testOptions()));
    auto second = QRVApp::appNamed("segunda");
    auto secondAuth = QRVAuth::authWithApp(second);
    EXPECT_NE(secondAuth->app(), app_);
    auto other = waitForUser([&](auto done) { secondAuth->createUserWithEmail("otra@almavel.com.pa", "secreto1", done); });
    ASSERT_TRUE(other.user);
    ASSERT_TRUE(states.waitForCount(4));
    EXPECT_EQ(states.seen()[3].sender, std::static_pointer_cast<ns::Object>(secondAuth));
    EXPECT_EQ(listener.heard_.size(), 3u);
    // Each app keeps its own user and its own hook.
    EXPECT_EQ(auth_->currentUser(), nullptr);
    EXPECT_FALSE(getToken(app_, false).token.has_value());
    EXPECT_TRUE(getToken(second, false).token.has_value());
}

}  // namespace
