#pragma once
// E-mail/password authentication, one QRVAuth per configured app.
//
// An auth object is made for every app when the app announces itself
// (kQRVAppReadyToConfigureSDKNotification, observed from load time); it
// installs the app's token hook and restores the user saved in the keychain
// by an earlier run, without the network.
//
// Threads: sign-in, sign-up, password reset and token requests are tasks on
// one serial task queue (one at a time, each waiting for its request); the
// state (current user and tokens) lives on the authentication work queue.
// Every completion, and every state notification, arrives on the main queue.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "auth/QRVAuthErrors.h"
#include "auth/QRVUser.h"
#include "auth/rpc/QRVAuthRPC.h"
#include "core/QRVApp.h"
#include "platform/dispatch.h"
#include "platform/error.h"

// Posted through the default centre, asynchronously on the main queue, with
// the auth object as sender, after every sign-in, sign-up, sign-out and
// token refresh, and once after a restored sign-in.
inline constexpr const char* QRVAuthStateDidChangeInternalNotification = "QRVAuthStateDidChangeInternalNotification";
// userInfo key of the current ID token; present only with a non-empty token.
inline constexpr const char* QRVAuthStateDidChangeInternalNotificationTokenKey =
    "QRVAuthStateDidChangeInternalNotificationTokenKey";

// Keychain item of the signed-in user: one generic password per app name.
inline constexpr const char* kQRVAuthKeychainService = "com.quorvane.auth.currentUser";

class QRVAuth : public ns::Object {
public:
    using AuthResultCallback = std::function<void(std::shared_ptr<QRVUser> user, ns::ErrorRef error)>;
    using SendPasswordResetCallback = std::function<void(ns::ErrorRef error)>;

    // A token with more than this many seconds left is handed out as is.
    static constexpr double kTokenRefreshHeadStart = 5 * 60;

    // The default app's auth object, the same on every call. Raises
    // NSInternalInconsistencyException when no default app is configured.
    static std::shared_ptr<QRVAuth> auth();
    // The app's auth object, made (and the app's token hook installed) on
    // first use. Raises NSInvalidArgumentException for a null app.
    static std::shared_ptr<QRVAuth> authWithApp(const std::shared_ptr<QRVApp>& app);

    // Held weakly: nullptr once the app is gone.
    std::shared_ptr<QRVApp> app() const { return app_.lock(); }
    const std::string& appName() const { return appName_; }

    std::shared_ptr<QRVUser> currentUser() const;

    // On success the user becomes the current user and is saved for the next
    // launch; the completion gets (user, nullptr), otherwise (nullptr, error).
    // A null e-mail or password counts as empty: refused without a request.
    void signInWithEmail(const std::optional<std::string>& email, const std::optional<std::string>& password,
                         AuthResultCallback completion);
    // Creates the account and signs it in. An empty password is refused at
    // once, without a request, with a weak-password error whose failure
    // reason is "Missing Password".
    void createUserWithEmail(const std::optional<std::string>& email, const std::optional<std::string>& password,
                             AuthResultCallback completion);
    // Asks the service to mail a password reset. A null e-mail raises
    // NSInvalidArgumentException on the calling thread.
    void sendPasswordResetWithEmail(const std::optional<std::string>& email, SendPasswordResetCallback completion);
    // Synchronous, on the work queue. Signed in: removes the saved copy and
    // clears the current user; returns false with *error set (and stays
    // signed in) when the saved copy cannot be removed. Nobody signed in:
    // true.
    bool signOut(ns::ErrorRef* error = nullptr);

    // The token hook installed into the app: no user gives (nullopt,
    // nullptr); a token with more than kTokenRefreshHeadStart left and no
    // force gives it without a request; otherwise the token is refreshed,
    // saved, announced and handed out. A refresh refused because the
    // session is dead signs the user out. Answers on the main queue.
    void getTokenForcingRefresh(bool forceRefresh, QRVApp::TokenCallback callback);

    std::string className() const override { return "QRVAuth"; }
    std::string description() const override;

    // The queues (process-wide).
    static ns::DispatchQueuePtr workQueue();
    static ns::DispatchQueuePtr taskQueue();

    // Forgets every auth object (tests configure apps afresh).
    static void resetForTesting();

    // Use authWithApp; public for std::make_shared.
    explicit QRVAuth(const std::shared_ptr<QRVApp>& app);
    ~QRVAuth() override;

    struct Session;

private:
    void restoreSavedUser();
    QRVAuthRequestConfiguration requestConfiguration() const;
    std::shared_ptr<QRVAuth> self();

    void completeSignIn(const QRVSignInResponse& response, AuthResultCallback completion);
    void runTokenTask(bool forceRefresh, QRVApp::TokenCallback callback);
    void postStateChange(std::optional<std::string> token);

    // Run on the work queue (inline when already there).
    void onWorkQueue(const std::function<void()>& block) const;

    std::weak_ptr<QRVApp> app_;
    std::string appName_;
    std::optional<std::string> apiKey_;
    std::optional<std::string> appID_;
    // Confined to the work queue.
    std::unique_ptr<Session> session_;
};
