#pragma once
// QRVInstanceID, the one object through which the program uses instance
// identity: registration tokens per (authorized entity, scope) with their
// cache, the default token of the app's sender id (fetched when the app is
// configured, retried after 12, 24, 38 and 56 seconds of ns::Clock time),
// token and identity deletion, the installation's identifier, the device's
// check-in, the APNs token hand-over with the APNs environment read from the
// embedded provisioning profile, and the server commands (RST, RST_FULL,
// SYNC) that messaging delivers.
//
// A process-wide singleton, configured by the configure notification of the
// core (observed from a load hook). Call it on the main thread; every
// handler is called on the main queue (asynchronously), key pairs are loaded
// on a global queue. `appInstanceID` may be called from any thread.
//
// Notifications carry their value in userInfo under
// kQRVInstanceIDNotificationValueKey (the token text, the APNs token data or
// the error), since a notification's object can only be an ns::Object.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/QRVOptions.h"
#include "instanceid/QRVInstanceIDCheckin.h"
#include "instanceid/QRVInstanceIDKeyPair.h"
#include "instanceid/QRVInstanceIDTokenManager.h"
#include "instanceid/QRVInstanceIDUtilities.h"
#include "platform/notification_center.h"
#include "platform/value.h"

inline constexpr const char* kQRVInstanceIDDefaultKDXTokenNotification = "com.quorvane.iid.notif.qdx-token";
inline constexpr const char* kQRVInstanceIDTokenRefreshNotification = "com.quorvane.iid.notif.refresh-token";
inline constexpr const char* kQRVInstanceIDDefaultKDXTokenFailNotification = "com.quorvane.iid.notif.qdx-token-fail";
inline constexpr const char* kQRVInstanceIDAPNSTokenNotification = "com.quorvane.iid.notif.apns-token";
// Posted by messaging with the command dictionary ("CMD", "subtype") as userInfo.
inline constexpr const char* kQRVInstanceIDIIDMessageNotification = "com.ondrix.kdx/notification/iid";
inline constexpr const char* kQRVInstanceIDNotificationValueKey = "object";

inline constexpr const char* kQRVInstanceIDRegisterAPNSOption = "apns_token";
inline constexpr const char* kQRVInstanceIDAPNSServerTypeSandboxOption = "apns_sandbox";
inline constexpr const char* kQRVInstanceIDQuorvaneAppID = "vlp_app_id";
inline constexpr const char* kQRVInstanceIDDefaultTokenScope = "*";
inline constexpr const char* kQRVInstanceIDScopeQuorvaneMessaging = "qdx";

inline constexpr const char* kQRVInstanceID_CMD_RST = "RST";
inline constexpr const char* kQRVInstanceID_CMD_RST_FULL = "RST_FULL";
inline constexpr const char* kQRVInstanceID_CMD_SYNC = "SYNC";
inline constexpr const char* kQRVInstanceID_CMD_PING = "PING";

// Domain, code and exception name of a configuration that cannot work.
inline constexpr const char* kQRVInstanceIDConfigurationDomain = "com.quorvane.instanceid";
inline constexpr long kQRVInstanceIDConfigurationErrorCode = -121;

enum QRVInstanceIDAPNSTokenType : int64_t {
    QRVInstanceIDAPNSTokenTypeUnknown = 0,
    QRVInstanceIDAPNSTokenTypeSandbox = 1,
    QRVInstanceIDAPNSTokenTypeProd = 2,
};

class QRVInstanceIDConfig {
public:
    explicit QRVInstanceIDConfig(int8_t logLevel) : logLevel_(logLevel) {}
    static QRVInstanceIDConfig defaultConfig() { return QRVInstanceIDConfig(2); }

    int8_t logLevel() const { return logLevel_; }
    bool allowMissingAPNSToken = false;
    bool allowKDXRegistrationWithoutAPNSToken() const { return allowMissingAPNSToken; }
    void setAllowKDXRegistrationWithoutAPNSToken(bool allow) { allowMissingAPNSToken = allow; }

private:
    int8_t logLevel_;
};

class QRVInstanceID : public ns::Object {
public:
    using TokenHandler = std::function<void(std::optional<std::string> token, ns::ErrorRef error)>;
    using DeleteHandler = std::function<void(ns::ErrorRef error)>;
    using IDHandler = std::function<void(std::optional<std::string> identity, ns::ErrorRef error)>;
    using CheckinHandler = std::function<void(QRVInstanceIDCheckinPreferencesPtr preferences, ns::ErrorRef error)>;

    // The singleton, made and started on first use (possibly before the app
    // is configured).
    static std::shared_ptr<QRVInstanceID> instanceID();
    // Resync / reset two seconds from now (registration's answers).
    static void notifyTokenRefresh();
    static void notifyIdentityLost();

    // The valid cached default token; nullopt starts a default-token fetch.
    std::optional<std::string> token();
    void tokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                   const ns::Dictionary& options, TokenHandler handler);
    void deleteTokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                         DeleteHandler handler);
    void getIDWithHandler(IDHandler handler);
    void deleteIDWithHandler(DeleteHandler handler);
    std::optional<std::string> appInstanceID(ns::ErrorRef* error = nullptr);
    void setAPNSToken(const ns::Data& token, int64_t type);
    void fetchCheckinInfoWithHandler(CheckinHandler handler);
    QRVInstanceIDCheckinPreferencesPtr cachedCheckinPreferences() const;
    void stopAllRequests();
    bool hasValidCheckinInfo() const;

    // The default token's fetch (its answer sets the default token and posts
    // the notifications) and its handler form. A handler given while a fetch
    // runs or waits to retry is answered with that fetch's result.
    void fetchDefaultToken();
    void defaultTokenWithHandler(TokenHandler handler);

    // Configuration by the core's configure notification, for the app it names.
    static void didReceiveConfigureSDKNotification(const std::string& appName);
    void configureInstanceIDWithOptions(const std::shared_ptr<const QRVOptions>& options, const ns::ObjectPtr& app);
    [[noreturn]] static void exitApp(const ns::ObjectPtr& app, const std::string& reason);

    // Server commands ("CMD": RST, RST_FULL, SYNC, PING).
    void didReceiveKDXMessage(const ns::Value& message);
    void handleRefreshMessage(const std::string& command, const std::string& subtype);

    // Whether the embedded provisioning profile makes this a development
    // (sandbox) app; worked out once per process.
    static bool isSandboxApp();

    const std::optional<std::string>& defaultQDXToken() const { return defaultQDXToken_; }
    const std::string& qdxSenderID() const { return qdxSenderID_; }
    const std::string& qdxAppID() const { return qdxAppID_; }
    const std::optional<std::string>& apnsTokenString() const { return apnsTokenString_; }
    QRVInstanceIDTokenManager& tokenManager() { return *tokenManager_; }
    const std::shared_ptr<QRVInstanceIDKeyPairStore>& keyPairStore() const { return keyPairStore_; }

    std::string className() const override { return "QRVInstanceID"; }

    // Drops the singleton and every process-wide value of instance identity
    // (request counters, access group, sandbox flag), as a new process would
    // start.
    static void resetForTesting();

    explicit QRVInstanceID(QRVInstanceIDConfig config);
    ~QRVInstanceID() override;

private:
    void startWithConfig(const QRVInstanceIDConfig& config);
    void didCompleteConfigure();
    std::optional<std::string> cachedDefaultToken();
    void forgetTokensOfAnEarlierIdentity();
    ns::Dictionary defaultTokenOptions(bool useData);
    void attemptDefaultToken();
    void finishDefaultToken(std::optional<std::string> token, ns::ErrorRef error);
    void setDefaultToken(std::optional<std::string> token);
    void scheduleCheckinRefreshWait(CheckinHandler handler, int64_t waits);
    void loadKeyPair(std::function<void(QRVInstanceIDKeyPairPtr keyPair, ns::ErrorRef error)> done);
    void performWithDelay(double delay, std::function<void(QRVInstanceID&)> action);
    bool sandboxFlagForType(int64_t type) const;
    void postRefreshNotification(double delay);

    std::string qdxSenderID_;
    std::string qdxAppID_;
    std::optional<ns::Data> apnsTokenData_;
    int64_t apnsTokenType_ = QRVInstanceIDAPNSTokenTypeUnknown;
    std::optional<std::string> apnsTokenString_;
    std::optional<std::string> defaultQDXToken_;
    QRVInstanceIDConfig config_;
    std::unique_ptr<QRVInstanceIDTokenManager> tokenManager_;
    std::shared_ptr<QRVInstanceIDKeyPairStore> keyPairStore_;
    bool isFetchingDefaultToken_ = false;
    bool isDefaultTokenFetchScheduled_ = false;
    int64_t retryCountForDefaultToken_ = 0;
    bool defaultTokenHadAPNSToken_ = false;
    bool messagingPresentAtFetch_ = false;
    std::vector<TokenHandler> defaultTokenHandlers_;
    ns::ObserverToken messageObserver_ = 0;
};
