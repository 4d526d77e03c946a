#pragma once
// The messaging object: the one messaging type the application touches.
//
// Made once per process (+messaging) and configured on the core configure
// notification, it builds the messaging parts in a fixed order and owns
// them; they refer back to it weakly or not at all. It keeps the APNs
// device token and the default messaging token, hands tokens to and from
// instance identity (reached only by class name), tells the application's
// delegate about new tokens and about data messages of the direct channel,
// decides when the direct channel should be up, queues topic
// subscriptions, sends upstream data messages and takes the remote
// notifications the application-delegate proxy passes to it.
//
// Everything runs on the main thread: the configure observer, the
// notification observers, the reachability callback and the receiver's
// calls. The runtime class "QRVMessaging" (class method "messaging",
// instance methods "setDelegate:", "delegate", "appDidReceiveMessage:", ...)
// is how the application and instance identity reach it.

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "core/QRVApp.h"
#include "core/QRVReachabilityChecker.h"
#include "messaging/QRVMessagingClientDelegate.h"
#include "messaging/QRVMessagingDelegate.h"
#include "messaging/QRVMessagingMessageInfo.h"
#include "messaging/QRVMessagingReceiver.h"
#include "platform/error.h"
#include "platform/notification_center.h"
#include "platform/value.h"

class QRVApp;
class QRVMessagingClient;
class QRVMessagingDataMessageManager;
class QRVMessagingInstanceIDProxy;
class QRVMessagingPubSub;
class QRVMessagingRmqManager;
class QRVMessagingSyncMessageManager;

inline constexpr int64_t kQRVMessagingSendTtlDefault = 86400;
inline constexpr const char* kQRVMessagingSendTo = "ondrix.to";
inline constexpr const char* kQRVMessagingSendMessageID = "ondrix.msg_id";
inline constexpr const char* kQRVMessagingSendTTL = "ondrix.ttl";
inline constexpr const char* kQRVMessagingSendDelay = "ondrix.delay";
inline constexpr const char* KQRVMessagingSendMessageAppData = "ondrix.data";
inline constexpr const char* kQRVMessagingRawDataKey = "rawData";
inline constexpr const char* kQRVMessagingCollapseKey = "collapse_key";
inline constexpr const char* kQRVMessagingFromKey = "from";
inline constexpr const char* kQRVMessagingMessageInternalReservedKeyword = "kdx.";
inline constexpr const char* kQRVMessagingMessageIDKey = "kdx.message_id";
inline constexpr const char* kQRVMessagingMessageAPNSContentAvailableKey = "content-available";
inline constexpr const char* kQRVMessagingMessageSyncViaMCSKey = "kdx.duplex";
inline constexpr const char* kQRVMessagingMessageSyncMessageTTLKey = "kdx.ttl";
inline constexpr const char* kQRVMessagingMessageLinkKey = "kdx.app_link";
inline constexpr const char* kQRVMessagingLibraryVersion = "QRVMessaging-version";
// The Info.plist switch of the application-delegate proxy is in
// QRVMessagingRemoteNotificationsProxy.h.
inline constexpr const char* kQRVMessagingApplicationSupportSubDirectory = "Ondrix/QuorvaneMessaging";
inline constexpr const char* kQRVMessagingAPNSTokenNotification = "com.quorvane.iid.notif.apns-token";
inline constexpr const char* kQRVMessagingQDXTokenNotification = "com.quorvane.iid.notif.qdx-token";
inline constexpr const char* kQRVMessagingInstanceIDTokenRefreshNotification = "com.quorvane.iid.notif.refresh-token";

// Posted by the messaging object (default centre, at once).
inline constexpr const char* kQRVMessagingConnectionStateChangedNotification =
    "com.quorvane.messaging.notif.connection-state-changed";
inline constexpr const char* kQRVMessagingRegistrationTokenRefreshedNotification =
    "com.quorvane.messaging.notif.qdx-token-refreshed";

// APNs token types of setAPNSToken(token, type).
enum QRVMessagingAPNSTokenType : int64_t {
    QRVMessagingAPNSTokenTypeUnknown = 0,
    QRVMessagingAPNSTokenTypeSandbox = 1,
    QRVMessagingAPNSTokenTypeProd = 2,
};

class QRVMessagingConfig : public ns::Object {
public:
    explicit QRVMessagingConfig(int8_t logLevel) : logLevel(logLevel) {}
    // logLevel 2.
    static std::shared_ptr<QRVMessagingConfig> defaultConfig() { return std::make_shared<QRVMessagingConfig>(2); }
    int8_t logLevel;
    std::string className() const override { return "QRVMessagingConfig"; }
};

class QRVMessaging : public ns::Object,
                     public QRVMessagingClientDelegate,
                     public QRVMessagingReceiverDelegate,
                     public QRVReachabilityDelegate {
public:
    // The shared object, made (initWithConfig with the default config) and
    // started on first use.
    static std::shared_ptr<QRVMessaging> messaging();
    // Keeps the config; nothing starts here.
    static std::shared_ptr<QRVMessaging> initWithConfig(std::shared_ptr<QRVMessagingConfig> config);
    ~QRVMessaging() override;

    // Builds and starts every messaging part (see the source for the order).
    void start();
    // On the configure notification: keeps the app's sender id, or raises
    // "com.quorvane.cloudmessaging" (after the diagnostics call) when it has
    // none; then installs the application-delegate proxy unless switched off.
    void configureMessaging(const std::shared_ptr<QRVApp>& app);
    void exitApp(const std::shared_ptr<QRVApp>& app, const ns::ErrorRef& error);

    // The application's delegate, held weakly; remoteMessageDelegate is a
    // second name for it.
    std::shared_ptr<QRVMessagingDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(const std::shared_ptr<QRVMessagingDelegate>& delegate) { delegate_ = delegate; }
    std::shared_ptr<QRVMessagingDelegate> remoteMessageDelegate() const { return delegate(); }
    void setRemoteMessageDelegate(const std::shared_ptr<QRVMessagingDelegate>& delegate) { setDelegate(delegate); }

    // Tokens. Empty data / text stand for "none".
    const ns::Data& APNSToken() const { return apnsTokenData_; }
    void setAPNSToken(const ns::Data& token) { setAPNSToken(token, QRVMessagingAPNSTokenTypeUnknown); }
    // Passes a changed token with its type to instance identity; an equal
    // token does nothing.
    void setAPNSToken(const ns::Data& token, int64_t type);
    void setAPNSToken(const ns::Data& token, const ns::ErrorRef& error);
    // The default messaging token, else instance identity's token.
    std::string QDXToken() const;
    const std::string& defaultQdxToken() const { return defaultQdxToken_; }
    const std::string& qdxSenderID() const { return qdxSenderID_; }

    using TokenCompletion = std::function<void(const std::string& token, const ns::ErrorRef& error)>;
    using DeleteCompletion = std::function<void(const ns::ErrorRef& error)>;
    // Completed by instance identity on the main queue; at once with error 7
    // for an empty sender id, and with an error when instance identity is
    // not in the process.
    void retrieveQDXTokenForSenderID(const std::string& senderID, TokenCompletion completion);
    void deleteQDXTokenForSenderID(const std::string& senderID, DeleteCompletion completion);

    // The direct channel.
    bool shouldEstablishDirectChannel() const { return shouldEstablishDirectChannel_; }
    void setShouldEstablishDirectChannel(bool value);
    bool isDirectChannelEstablished() const;
    void connectWithCompletion(std::function<void(const ns::ErrorRef&)> completion);
    void disconnect();

    // 0 no network, 2 cellular, 1 otherwise.
    int8_t networkType() const;
    bool isNetworkAvailable() const;

    // Topics: queued for the topic registration service once a default
    // token is known; refused (logged) before or for an invalid name.
    void subscribeToTopic(const std::string& topic);
    void unsubscribeFromTopic(const std::string& topic);
    // "/topics/" added when missing; empty when the result is not a topic.
    static std::string normalizeTopic(const std::string& topic);

    // Upstream data messages through the data message manager.
    void sendMessage(const ns::Dictionary& message, const std::string& to, const std::string& messageID,
                     int64_t timeToLive);
    static ns::Dictionary createQRVMessagingMessageWithMessage(const ns::Dictionary& message, const std::string& to,
                                                               const std::string& messageID, int64_t timeToLive,
                                                               int32_t delay);

    // A remote notification's payload, handed over by the proxy: analytics,
    // local-notification scheduling and the app link, once per message id.
    std::shared_ptr<QRVMessagingMessageInfo> appDidReceiveMessage(const ns::Dictionary& userInfo);

    // QRVMessagingReceiverDelegate.
    void receiverReceivedRemoteMessage(QRVMessagingReceiver& receiver,
                                       const std::shared_ptr<QRVMessagingRemoteMessage>& message) override;
    // QRVMessagingClientDelegate: the server closed the channel.
    void clientDidLoseConnection() override;
    // QRVReachabilityDelegate.
    void reachability(QRVReachabilityChecker& checker, QRVReachabilityStatus status) override;

    // Application Support/<path>.
    static std::string pathForApplicationSupportSubDirectory(const std::string& path);
    static bool hasApplicationSupportSubDirectory(const std::string& path);
    static bool createApplicationSupportSubDirectory(const std::string& path);

    // The parts (none before start).
    const std::shared_ptr<QRVMessagingClient>& client() const { return client_; }
    const std::shared_ptr<QRVMessagingReceiver>& receiver() const { return receiver_; }
    const std::shared_ptr<QRVMessagingPubSub>& pubsub() const { return pubsub_; }
    const std::shared_ptr<QRVMessagingRmqManager>& rmq2Manager() const { return rmq2Manager_; }
    const std::shared_ptr<QRVMessagingDataMessageManager>& dataMessageManager() const { return dataMessageManager_; }
    const std::shared_ptr<QRVMessagingSyncMessageManager>& syncMessageManager() const { return syncMessageManager_; }
    const std::shared_ptr<QRVReachabilityChecker>& reachabilityChecker() const { return reachability_; }
    bool isClientSetup() const { return isClientSetup_; }
    // The bridge to instance identity (the process-wide one unless a test
    // gives another, which must outlive the messaging object).
    void setInstanceIDProxyForTesting(QRVMessagingInstanceIDProxy* proxy) { instanceIDProxy_ = proxy; }

    std::string className() const override { return "QRVMessaging"; }

    // The runtime class and the configure observer (a load hook does this).
    static void registerClass();
    // Drops the shared object (tearing its parts down) so the next
    // messaging() makes a new one: a new process, for tests.
    static void resetForTesting();

private:
    explicit QRVMessaging(std::shared_ptr<QRVMessagingConfig> config);
    void teardown();
    void setupNotificationListeners();
    void didReceiveDefaultInstanceIDToken(const ns::Notification& note);
    void defaultInstanceIDTokenWasRefreshed(const ns::Notification& note);
    void didReceiveAPNSToken(const ns::Notification& note);
    void applicationStateChanged();
    void updateAutomaticClientConnection();
    void onNetworkStatusChanged();
    void postConnectionStateChanged();
    void handleContextManagerMessage(const ns::Dictionary& message);
    void handleIncomingLinkIfNeededFromMessage(const ns::Dictionary& message);

    std::shared_ptr<QRVMessagingConfig> config_;
    std::weak_ptr<QRVMessagingDelegate> delegate_;
    bool shouldEstablishDirectChannel_ = false;
    std::string qdxSenderID_;
    ns::Data apnsTokenData_;
    std::string defaultQdxToken_;
    QRVMessagingInstanceIDProxy* instanceIDProxy_ = nullptr;
    bool isClientSetup_ = false;
    std::shared_ptr<QRVMessagingClient> client_;
    std::shared_ptr<QRVReachabilityChecker> reachability_;
    std::shared_ptr<QRVMessagingDataMessageManager> dataMessageManager_;
    std::shared_ptr<QRVMessagingPubSub> pubsub_;
    std::shared_ptr<QRVMessagingRmqManager> rmq2Manager_;
    std::shared_ptr<QRVMessagingReceiver> receiver_;
    std::shared_ptr<QRVMessagingSyncMessageManager> syncMessageManager_;
    std::set<std::string> loggedMessageIDs_;
    std::vector<ns::ObserverToken> observers_;
};
