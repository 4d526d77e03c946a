#include "auth/QRVAuth.h"

#include <mutex>
#include <vector>

#include "QRVAuthKeychain.h"
#include "core/QRVLogger.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/format.h"
#include "platform/notification_center.h"
#include "platform/runtime.h"

struct QRVAuth::Session {
    std::shared_ptr<QRVUser> user;
    std::string refreshToken;
    std::string idToken;
    double expirationDate = 0;  // seconds since 1970, ns::Clock time
};

namespace {

// The app association: one auth object per live app. Apps are held weakly;
// entries of apps that are gone are dropped on the next look-up.
struct Registry {
    struct Entry {
        std::weak_ptr<QRVApp> app;
        std::shared_ptr<QRVAuth> auth;
    };
    std::mutex mutex;
    std::vector<Entry> entries;
};

Registry& registry() {
    static Registry* r = new Registry();
    return *r;
}

void answerOnMain(const QRVAuth::AuthResultCallback& completion, std::shared_ptr<QRVUser> user, ns::ErrorRef error) {
    if (!completion) return;
    ns::DispatchQueue::main()->async(
        [completion, user = std::move(user), error = std::move(error)] { completion(user, error); });
}

void answerOnMain(const QRVApp::TokenCallback& callback, std::optional<std::string> token, ns::ErrorRef error) {
    if (!callback) return;
    ns::DispatchQueue::main()->async(
        [callback, token = std::move(token), error = std::move(error)] { callback(token, error); });
}

QRVAuthSavedUser savedUser(const QRVAuth::Session& session, const std::string& appID) {
    return QRVAuthSavedUser{session.user->uid(), session.user->email(), session.refreshToken, session.idToken,
                            session.expirationDate, appID};
}

}  // namespace

// MARK: - Queues and registry

ns::DispatchQueuePtr QRVAuth::workQueue() {
    static auto* queue = new ns::DispatchQueuePtr(ns::DispatchQueue::serial("com.quorvane.auth.globalWorkQueue"));
    return *queue;
}

ns::DispatchQueuePtr QRVAuth::taskQueue() {
    static auto* queue = new ns::DispatchQueuePtr(ns::DispatchQueue::serial("com.quorvane.auth.taskQueue"));
    return *queue;
}

std::shared_ptr<QRVAuth> QRVAuth::auth() {
    auto app = QRVApp::defaultApp();
    if (!app) {
        ns::Exception::raise(ns::kInternalInconsistencyException,
                             "The default Quorvane app has not been configured yet: call QRVApp::configure() before "
                             "asking for QRVAuth::auth().");
    }
    return authWithApp(app);
}

std::shared_ptr<QRVAuth> QRVAuth::authWithApp(const std::shared_ptr<QRVApp>& app) {
    if (!app) ns::Exception::raise(ns::kInvalidArgumentException, "QRVAuth::authWithApp: the app must not be null.");
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.entries, [](const Registry::Entry& e) { return e.app.expired(); });
    for (const auto& entry : r.entries) {
        if (entry.app.lock() == app) return entry.auth;
    }
    QRVLogDebug(kQRVLoggerAuth, "I-AUT000001", "Creating the auth object of app %@.", app->name());
    auto auth = std::make_shared<QRVAuth>(app);
    auth->restoreSavedUser();
    std::weak_ptr<QRVAuth> weakAuth = auth;
    app->setGetTokenImplementation([weakAuth](bool forceRefresh, QRVApp::TokenCallback callback) {
        if (auto strong = weakAuth.lock()) {
            strong->getTokenForcingRefresh(forceRefresh, std::move(callback));
        } else {
            answerOnMain(callback, std::nullopt, nullptr);
        }
    });
    r.entries.push_back({app, auth});
    return auth;
}

void QRVAuth::resetForTesting() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.entries.clear();
}

QRVAuth::QRVAuth(const std::shared_ptr<QRVApp>& app) : app_(app), appName_(app->name()) {
    auto options = app->options();
    apiKey_ = options->APIKey();
    appID_ = options->ondrixAppID();
}

QRVAuth::~QRVAuth() = default;

std::shared_ptr<QRVAuth> QRVAuth::self() { return std::static_pointer_cast<QRVAuth>(shared_from_this()); }

std::string QRVAuth::description() const { return ns::format("<QRVAuth app=%@>", appName_); }

QRVAuthRequestConfiguration QRVAuth::requestConfiguration() const { return {apiKey_, appID_}; }

void QRVAuth::onWorkQueue(const std::function<void()>& block) const {
    auto queue = workQueue();
    if (queue->isCurrent()) {
        block();
    } else {
        queue->sync(block);
    }
}

// MARK: - State

void QRVAuth::restoreSavedUser() {
    std::optional<std::string> restoredToken;
    bool restored = false;
    onWorkQueue([&] {
        ns::OSStatus status = ns::errSecSuccess;
        std::string detail;
        auto saved = QRVAuthKeychain::load(appName_, &status, &detail);
        if (!saved) {
            if (status != ns::errSecItemNotFound) {
                QRVLogWarning(kQRVLoggerAuth, "I-AUT000003", "Could not read the saved user of app %@: %@",
                              appName_, detail);
            }
            return;
        }
        if (!saved->appID.empty() && saved->appID != appID_.value_or("")) {
            QRVLogWarning(kQRVLoggerAuth, "I-AUT000008",
                          "The user saved for app %@ signed in to another app ID; it is not restored.", appName_);
            return;
        }
        if (!QRVUser::isKeySafeUid(saved->uid)) {
            QRVLogWarning(kQRVLoggerAuth, "I-AUT000003", "Could not read the saved user of app %@: %@", appName_,
                          "its uid is not usable");
            return;
        }
        session_ = std::make_unique<Session>(
            Session{std::make_shared<QRVUser>(saved->uid, saved->email), saved->refreshToken, saved->idToken,
                    saved->expirationDate});
        restoredToken = saved->idToken;
        restored = true;
        QRVLogInfo(kQRVLoggerAuth, "I-AUT000002", "Restored the signed-in user %@ of app %@.", saved->uid,
                   appName_);
    });
    if (restored) postStateChange(restoredToken);
}

std::shared_ptr<QRVUser> QRVAuth::currentUser() const {
    std::shared_ptr<QRVUser> user;
    onWorkQueue([&] {
        if (session_) user = session_->user;
    });
    return user;
}

void QRVAuth::postStateChange(std::optional<std::string> token) {
    ns::ObjectPtr sender = shared_from_this();
    ns::DispatchQueue::main()->async([sender, token = std::move(token)] {
        ns::Dictionary userInfo;
        if (token && !token->empty()) userInfo[QRVAuthStateDidChangeInternalNotificationTokenKey] = *token;
        ns::NotificationCenter::defaultCenter().post(QRVAuthStateDidChangeInternalNotification, sender,
                                                     std::move(userInfo));
    });
}

// MARK: - Sign-in, sign-up, reset, sign-out

void QRVAuth::signInWithEmail(const std::optional<std::string>& email, const std::optional<std::string>& password,
                              AuthResultCallback completion) {
    std::string e = email.value_or(""), p = password.value_or("");
    if (e.empty()) return answerOnMain(completion, nullptr, QRVAuthErrorUtils::invalidEmailError("Missing Email"));
    if (p.empty()) {
        return answerOnMain(completion, nullptr, QRVAuthErrorUtils::wrongPasswordError(kQRVAuthMissingPasswordReason));
    }
    taskQueue()->async([self = self(), e = std::move(e), p = std::move(p), completion = std::move(completion)] {
        QRVSignInRequest request(e, p, self->requestConfiguration());
        QRVSignInResponse response;
        if (auto error = QRVAuthRPC::callAndWait(request, response)) return answerOnMain(completion, nullptr, error);
        self->completeSignIn(response, completion);
    });
}

void QRVAuth::createUserWithEmail(const std::optional<std::string>& email, const std::optional<std::string>& password,
                                  AuthResultCallback completion) {
    std::string e = email.value_or(""), p = password.value_or("");
    if (p.empty()) {
        return answerOnMain(completion, nullptr, QRVAuthErrorUtils::weakPasswordError(kQRVAuthMissingPasswordReason));
    }
    if (e.empty()) return answerOnMain(completion, nullptr, QRVAuthErrorUtils::invalidEmailError("Missing Email"));
    taskQueue()->async([self = self(), e = std::move(e), p = std::move(p), completion = std::move(completion)] {
        QRVSignUpRequest request(e, p, self->requestConfiguration());
        QRVSignInResponse response;
        if (auto error = QRVAuthRPC::callAndWait(request, response)) return answerOnMain(completion, nullptr, error);
        self->completeSignIn(response, completion);
    });
}

void QRVAuth::completeSignIn(const QRVSignInResponse& response, AuthResultCallback completion) {
    ns::dispatchAssertQueue(taskQueue());
    if (!QRVUser::isKeySafeUid(response.uid)) {
        QRVLogWarning(kQRVLoggerAuth, "I-AUT000010", "The service answered with a uid that cannot be used as a key: %@",
                      response.uid);
        return answerOnMain(completion, nullptr,
                            QRVAuthErrorUtils::internalError("The service answered with an unusable user ID."));
    }
    auto session = std::make_unique<Session>(Session{
        std::make_shared<QRVUser>(response.uid,
                                  response.email.empty() ? std::nullopt : std::optional<std::string>(response.email)),
        response.refreshToken, response.idToken, ns::Clock::nowSeconds() + response.expiresIn});
    auto user = session->user;
    ns::ErrorRef error;
    onWorkQueue([&] {
        std::string detail;
        ns::OSStatus status = QRVAuthKeychain::save(appName_, savedUser(*session, appID_.value_or("")), &detail);
        if (status != ns::errSecSuccess) {
            QRVLogError(kQRVLoggerAuth, "I-AUT000004", "Could not save the signed-in user of app %@: %@", appName_,
                        detail);
            error = QRVAuthErrorUtils::keychainError(status, detail);
            return;
        }
        session_ = std::move(session);
    });
    if (error) return answerOnMain(completion, nullptr, error);
    postStateChange(response.idToken);
    answerOnMain(completion, user, nullptr);
}

void QRVAuth::sendPasswordResetWithEmail(const std::optional<std::string>& email,
                                         SendPasswordResetCallback completion) {
    if (!email) {
        ns::Exception::raise(ns::kInvalidArgumentException,
                             "QRVAuth::sendPasswordResetWithEmail: the e-mail address must not be nil.");
    }
    auto answer = [completion](ns::ErrorRef error) {
        if (completion) ns::DispatchQueue::main()->async([completion, error] { completion(error); });
    };
    if (email->empty()) return answer(QRVAuthErrorUtils::invalidEmailError("Missing Email"));
    taskQueue()->async([self = self(), e = *email, answer] {
        QRVSendPasswordResetRequest request(e, self->requestConfiguration());
        QRVSendPasswordResetResponse response;
        answer(QRVAuthRPC::callAndWait(request, response));
    });
}

bool QRVAuth::signOut(ns::ErrorRef* error) {
    ns::ErrorRef failure;
    bool signedOut = false;
    onWorkQueue([&] {
        if (!session_) return;
        std::string detail;
        ns::OSStatus status = QRVAuthKeychain::remove(appName_, &detail);
        if (status != ns::errSecSuccess) {
            QRVLogError(kQRVLoggerAuth, "I-AUT000005", "Could not remove the saved user of app %@: %@", appName_,
                        detail);
            failure = QRVAuthErrorUtils::keychainError(status, detail);
            return;
        }
        session_.reset();
        signedOut = true;
    });
    if (failure) {
        if (error) *error = failure;
        return false;
    }
    if (signedOut) postStateChange(std::nullopt);
    return true;
}

// MARK: - Tokens

void QRVAuth::getTokenForcingRefresh(bool forceRefresh, QRVApp::TokenCallback callback) {
    taskQueue()->async([self = self(), forceRefresh, callback = std::move(callback)] {
        self->runTokenTask(forceRefresh, callback);
    });
}

void QRVAuth::runTokenTask(bool forceRefresh, QRVApp::TokenCallback callback) {
    ns::dispatchAssertQueue(taskQueue());
    std::optional<Session> snapshot;
    onWorkQueue([&] {
        if (session_) snapshot = *session_;
    });
    if (!snapshot) return answerOnMain(callback, std::nullopt, nullptr);
    if (!forceRefresh && !snapshot->idToken.empty() &&
        snapshot->expirationDate - ns::Clock::nowSeconds() > kTokenRefreshHeadStart) {
        return answerOnMain(callback, snapshot->idToken, nullptr);
    }

    QRVSecureTokenRequest request(snapshot->refreshToken, requestConfiguration());
    QRVSecureTokenResponse response;
    ns::ErrorRef error = QRVAuthRPC::callAndWait(request, response);
    if (!error && response.uid != snapshot->user->uid()) {
        error = QRVAuthErrorUtils::internalError("The refreshed token belongs to another user.");
    }
    // Only the session this refresh was made for may be changed: a sign-out
    // meanwhile must not be undone.
    auto sameSession = [&] { return session_ && session_->refreshToken == snapshot->refreshToken; };

    if (error) {
        bool signedOut = false;
        if (QRVAuthErrorUtils::isDeadSessionError(error)) {
            onWorkQueue([&] {
                if (!sameSession()) return;
                std::string detail;
                if (QRVAuthKeychain::remove(appName_, &detail) != ns::errSecSuccess) {
                    QRVLogError(kQRVLoggerAuth, "I-AUT000005", "Could not remove the saved user of app %@: %@",
                                appName_, detail);
                }
                session_.reset();
                signedOut = true;
            });
        }
        if (signedOut) {
            QRVLogNotice(kQRVLoggerAuth, "I-AUT000007", "The session of user %@ has ended (%@); signing out.",
                         snapshot->user->uid(), error->localizedFailureReason());
            postStateChange(std::nullopt);
        }
        return answerOnMain(callback, std::nullopt, error);
    }

    bool updated = false;
    onWorkQueue([&] {
        if (!sameSession()) return;
        session_->idToken = response.idToken;
        session_->refreshToken = response.refreshToken;
        session_->expirationDate = ns::Clock::nowSeconds() + response.expiresIn;
        std::string detail;
        if (QRVAuthKeychain::save(appName_, savedUser(*session_, appID_.value_or("")), &detail) != ns::errSecSuccess) {
            // The fresh token still serves this run; the next launch refreshes again.
            QRVLogError(kQRVLoggerAuth, "I-AUT000004", "Could not save the signed-in user of app %@: %@", appName_,
                        detail);
        }
        updated = true;
    });
    // Signed out (or in as someone else) while the request ran: answer for the current state.
    if (!updated) return runTokenTask(false, callback);
    postStateChange(response.idToken);
    answerOnMain(callback, response.idToken, nullptr);
}

// MARK: - Load time

NS_REGISTER_LOAD_HOOK(20, "QRVAuth", [] {
    auto& cls = ns::Runtime::registerClass("QRVAuth");
    cls.addClassMethod("auth", [](ns::Object*, const std::vector<ns::Value>&) { return ns::Value(QRVAuth::auth()); });
    cls.addClassMethod("authWithApp:", [](ns::Object*, const std::vector<ns::Value>& args) {
        auto app = args.empty() ? nullptr : args[0].asObjectOf<QRVApp>();
        return app ? ns::Value(QRVAuth::authWithApp(app)) : ns::Value();
    });
    cls.addInstanceMethod("app", [](ns::Object* self, const std::vector<ns::Value>&) {
        return ns::Value(static_cast<QRVAuth*>(self)->app());
    });
    cls.addInstanceMethod("currentUser", [](ns::Object* self, const std::vector<ns::Value>&) {
        return ns::Value(static_cast<QRVAuth*>(self)->currentUser());
    });

    // Every configured app gets its auth object as soon as it is announced.
    QRVApp::observeReadyToConfigureSDK([](const std::string& name) {
        try {
            if (auto app = QRVApp::appNamed(name)) QRVAuth::authWithApp(app);
        } catch (const std::exception& e) {
            QRVLogError(kQRVLoggerAuth, "I-AUT000009", "Could not create the auth object of app %@: %@", name,
                        e.what());
        }
    });
    ns::NotificationCenter::defaultCenter().addObserver(
        kQRVAppDeleteNotification, nullptr, nullptr, [](const ns::Notification& note) {
            auto name = note.userInfo.find(kQRVAppNameKey);
            if (name == note.userInfo.end() || !name->second.isString()) return;
            auto& r = registry();
            std::lock_guard lock(r.mutex);
            std::erase_if(r.entries, [&](const Registry::Entry& e) {
                auto app = e.app.lock();
                return !app || app->name() == name->second.asString();
            });
        });
});
