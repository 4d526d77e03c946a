#include "messaging/QRVMessaging.h"

#include <mutex>

#include "core/QRVApp.h"
#include "messaging/QRVMessagingClient.h"
#include "messaging/QRVMessagingContextManagerService.h"
#include "messaging/QRVMessagingDataMessageManager.h"
#include "messaging/QRVMessagingInstanceIDProxy.h"
#include "messaging/QRVMessagingLogger.h"
#include "messaging/QRVMessagingPubSub.h"
#include "messaging/QRVMessagingRemoteNotificationsProxy.h"
#include "messaging/QRVMessagingRmqManager.h"
#include "messaging/QRVMessagingSyncMessageManager.h"
#include "messaging/QRVMessagingUtilities.h"
#include "platform/application.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/file_manager.h"
#include "platform/format.h"
#include "platform/runloop.h"
#include "platform/runtime.h"
#include "platform/url.h"
#include "platform/user_defaults.h"

namespace {

// Any host that is always there: the checker only tells whether a network
// is up.
constexpr const char* kReachabilityHost = "www.ondrix.com";
constexpr double kExpiredSyncMessagesSweepDelay = 5;
// Instance identity's notifications carry a value that is not an object
// (the token text, the APNs token) in userInfo under this key.
constexpr const char* kNotificationValueKey = "object";

struct Shared {
    std::mutex mutex;
    std::shared_ptr<QRVMessaging> instance;
};

Shared& shared() {
    static auto* s = new Shared();
    return *s;
}

ns::Value notificationValue(const ns::Notification& note) {
    if (note.object) return ns::Value(note.object);
    auto it = note.userInfo.find(kNotificationValueKey);
    return it == note.userInfo.end() ? ns::Value() : it->second;
}

std::string valueClassName(const ns::Value& value) {
    switch (value.type()) {
        case ns::Value::Type::Null: return "(null)";
        case ns::Value::Type::String: return "NSString";
        case ns::Value::Type::Data: return "NSData";
        case ns::Value::Type::Dictionary: return "NSDictionary";
        case ns::Value::Type::Array: return "NSArray";
        case ns::Value::Type::Date: return "NSDate";
        case ns::Value::Type::Object: return value.asObject() ? value.asObject()->className() : "(null)";
        default: return "NSNumber";
    }
}

bool isAPNSSyncMessage(const ns::Dictionary& userInfo) {
    auto aps = userInfo.find("aps");
    if (aps == userInfo.end() || !aps->second.isDictionary()) return false;
    auto available = aps->second.asDictionary().find(kQRVMessagingMessageAPNSContentAvailableKey);
    return available != aps->second.asDictionary().end() && available->second.boolValue();
}

bool delegateResponds(const ns::ObjectPtr& delegate, const char* selector) {
    if (!delegate) return false;
    const ns::Class* cls = ns::Runtime::lookUpClass(delegate->className());
    return cls && cls->instanceRespondsTo(selector);
}

ns::ErrorRef missingInstanceIDError(const char* what) {
    return ns::Error::make(kQRVMessagingDomain, kQRVMessagingErrorCodeUnknown,
                           ns::format("Couldn't %s token because instance identity is not available", what));
}

}  // namespace

// MARK: - Creation

QRVMessaging::QRVMessaging(std::shared_ptr<QRVMessagingConfig> config)
    : config_(std::move(config)), instanceIDProxy_(&QRVMessagingInstanceIDProxy::instanceIDProxy()) {}

std::shared_ptr<QRVMessaging> QRVMessaging::initWithConfig(std::shared_ptr<QRVMessagingConfig> config) {
    if (!config) return nullptr;
    return std::shared_ptr<QRVMessaging>(new QRVMessaging(std::move(config)));
}

std::shared_ptr<QRVMessaging> QRVMessaging::messaging() {
    std::shared_ptr<QRVMessaging> made;
    {
        auto& s = shared();
        std::lock_guard lock(s.mutex);
        if (s.instance) return s.instance;
        made = initWithConfig(QRVMessagingConfig::defaultConfig());
        s.instance = made;
    }
    made->start();
    return made;
}

QRVMessaging::~QRVMessaging() {
    if (reachability_) reachability_->stop();
    for (ns::ObserverToken token : observers_) ns::NotificationCenter::defaultCenter().removeObserver(token);
    teardown();
}

void QRVMessaging::resetForTesting() {
    std::shared_ptr<QRVMessaging> old;
    {
        auto& s = shared();
        std::lock_guard lock(s.mutex);
        old = std::move(s.instance);
    }
}

void QRVMessaging::teardown() {
    if (client_) client_->teardown();
    pubsub_.reset();
    syncMessageManager_.reset();
    rmq2Manager_.reset();
    dataMessageManager_.reset();
    client_.reset();
    isClientSetup_ = false;
    QRVMessagingLoggerDebug(2001, "Did successfully teardown");
}

void QRVMessaging::start() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto self = std::static_pointer_cast<QRVMessaging>(shared_from_this());
    // The library version, for instance identity's check-in.
    ns::UserDefaults::standard()->setObject(ns::Value(QRVMessagingCurrentLibraryVersion()), kQRVMessagingLibraryVersion);
    QRVMessagingLoggerInfo(2000, "QRVMessaging library version %@", QRVMessagingCurrentLibraryVersion());

    auto filter = std::make_shared<QRVMessagingLogLevelFilter>();
    filter->setLevel(config_->logLevel);
    QRVMessagingSharedLogger().setFilter(filter);

    receiver_ = std::make_shared<QRVMessagingReceiver>();
    receiver_->setDelegate(std::weak_ptr<QRVMessagingReceiverDelegate>(self));

    reachability_ = QRVReachabilityChecker::make(std::weak_ptr<QRVReachabilityDelegate>(self), {}, kReachabilityHost);
    reachability_->start();

    if (!hasApplicationSupportSubDirectory(kQRVMessagingApplicationSupportSubDirectory)) {
        createApplicationSupportSubDirectory(kQRVMessagingApplicationSupportSubDirectory);
    }

    rmq2Manager_ = QRVMessagingRmqManager::initWithDatabaseName("rmq2");
    rmq2Manager_->loadRmqId();

    client_ = QRVMessagingClient::initWithDelegate(std::weak_ptr<QRVMessagingClientDelegate>(self), reachability_,
                                                   rmq2Manager_);

    syncMessageManager_ = QRVMessagingSyncMessageManager::initWithRmqManager(rmq2Manager_);
    std::weak_ptr<QRVMessaging> weakSelf = self;
    ns::DispatchQueue::main()->after(kExpiredSyncMessagesSweepDelay, [weakSelf] {
        if (auto strong = weakSelf.lock(); strong && strong->syncMessageManager_) {
            strong->syncMessageManager_->removeExpiredSyncMessages();
        }
    });

    dataMessageManager_ =
        QRVMessagingDataMessageManager::initWithDelegate(receiver_, client_, rmq2Manager_, syncMessageManager_);
    dataMessageManager_->refreshDelayedMessages();
    client_->setDataMessageManager(dataMessageManager_);

    pubsub_ = QRVMessagingPubSub::initWithClient(client_);
    isClientSetup_ = true;
    setupNotificationListeners();
}

void QRVMessaging::setupNotificationListeners() {
    auto& center = ns::NotificationCenter::defaultCenter();
    for (ns::ObserverToken token : observers_) center.removeObserver(token);
    observers_.clear();
    std::weak_ptr<QRVMessaging> weakSelf = std::static_pointer_cast<QRVMessaging>(shared_from_this());
    auto observe = [&](const char* name, void (QRVMessaging::*handler)(const ns::Notification&)) {
        observers_.push_back(center.addObserver(name, nullptr, nullptr, [weakSelf, handler](const ns::Notification& n) {
            if (auto self = weakSelf.lock()) ((*self).*handler)(n);
        }));
    };
    observe(kQRVMessagingQDXTokenNotification, &QRVMessaging::didReceiveDefaultInstanceIDToken);
    observe(kQRVMessagingInstanceIDTokenRefreshNotification, &QRVMessaging::defaultInstanceIDTokenWasRefreshed);
    observe(kQRVMessagingAPNSTokenNotification, &QRVMessaging::didReceiveAPNSToken);
    for (const char* name : {ns::kUIApplicationDidBecomeActiveNotification, ns::kUIApplicationDidEnterBackgroundNotification}) {
        observers_.push_back(center.addObserver(name, nullptr, nullptr, [weakSelf](const ns::Notification&) {
            if (auto self = weakSelf.lock()) self->applicationStateChanged();
        }));
    }
}

// MARK: - Configuration

void QRVMessaging::configureMessaging(const std::shared_ptr<QRVApp>& app) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!app) return;
    const std::optional<std::string> senderID = app->options()->KDXSenderID();
    if (!senderID || senderID->empty()) {
        ns::ErrorRef error = QRVApp::errorForSubspecConfigurationFailureWithDomain(
            kQuorvaneCloudMessagingErrorDomain, -113, kQRVServiceMessaging, "Ondrix Sender ID must not be nil or empty.");
        exitApp(app, error);
        return;
    }
    qdxSenderID_ = *senderID;
    if (QRVMessagingRemoteNotificationsProxy::canSwizzleMethods()) {
        QRVMessagingLoggerNotice(1000,
                                 "QRVMessaging Remote Notifications proxy enabled, will swizzle remote notification "
                                 "receiver handlers. Add \"%@\" to your Info.plist and set it to NO",
                                 kQRVMessagingRemoteNotificationsProxyEnabledInfoPlistKey);
        QRVMessagingRemoteNotificationsProxy::swizzleMethods();
    }
}

void QRVMessaging::exitApp(const std::shared_ptr<QRVApp>& app, const ns::ErrorRef& error) {
    app->sendLogsWithServiceName(kQRVServiceMessaging, QRVMessagingCurrentLibraryVersion(), error);
    if (!error) return;
    std::string message;
    if (app->options()->usingOptionsFromDefaultPlist()) {
        message = ns::format(
            "Quorvane Messaging has stopped your project because there are missing or incorrect values provided in "
            "%@.%@ that may prevent your app from behaving as expected:\n\nError: %@\n\nPlease fix these issues to "
            "ensure that Quorvane is correctly configured in your project.",
            "OndrixService-Info", "plist", error->localizedFailureReason());
    } else {
        message = ns::format(
            "Quorvane Messaging has stopped your project because there are missing or incorrect values in Quorvane's "
            "configuration options that may prevent your app from behaving as expected:\n\nError:%@\n\nPlease fix "
            "these issues to ensure that Quorvane is correctly configured in your project.",
            error->localizedFailureReason());
    }
    ns::Exception::raise(kQuorvaneCloudMessagingErrorDomain, message);
}

// MARK: - Tokens

void QRVMessaging::setAPNSToken(const ns::Data& token, int64_t type) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (token == apnsTokenData_) return;
    apnsTokenData_ = token;
    if (instanceIDProxy_) instanceIDProxy_->setAPNSToken(token, type);
}

void QRVMessaging::setAPNSToken(const ns::Data& token, const ns::ErrorRef&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!token.empty()) apnsTokenData_ = token;
}

std::string QRVMessaging::QDXToken() const {
    if (!defaultQdxToken_.empty()) return defaultQdxToken_;
    if (!instanceIDProxy_) return {};
    return instanceIDProxy_->token().value_or(std::string());
}

void QRVMessaging::retrieveQDXTokenForSenderID(const std::string& senderID, TokenCompletion completion) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (senderID.empty()) {
        QRVMessagingLoggerError(2020, "Sender ID not supplied. It is required for a token fetch, to identify the sender.");
        if (completion) {
            completion({}, ns::Error::make(kQRVMessagingDomain, kQRVMessagingErrorCodeMissingSenderID,
                                           "Couldn't fetch token because a Sender ID was not supplied. A valid Sender "
                                           "ID is required to fetch an QDX token"));
        }
        return;
    }
    ns::Dictionary options;
    if (!apnsTokenData_.empty()) {
        options["apns_token"] = ns::Value(apnsTokenData_);
    } else {
        QRVMessagingLoggerWarning(2022,
                                  "APNS device token not set before retrieving QDX Token for Sender ID '%@'. "
                                  "Notifications to this QDX Token will not be delivered over APNS.Be sure to "
                                  "re-retrieve the QDX token once the APNS device token is set.",
                                  senderID);
    }
    // Without instance identity nobody would ever answer: say so at once.
    if (!instanceIDProxy_ || !instanceIDProxy_->hasInstanceID()) {
        if (completion) {
            ns::DispatchQueue::main()->async([completion] { completion({}, missingInstanceIDError("fetch")); });
        }
        return;
    }
    instanceIDProxy_->tokenWithAuthorizedEntity(
        senderID, "*", options, [completion](std::optional<std::string> token, ns::ErrorRef error) {
            if (completion) completion(token.value_or(std::string()), error);
        });
}

void QRVMessaging::deleteQDXTokenForSenderID(const std::string& senderID, DeleteCompletion completion) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (senderID.empty()) {
        QRVMessagingLoggerError(2021, "Sender ID not supplied. It is required to delete an QDX token.");
        if (completion) {
            completion(ns::Error::make(kQRVMessagingDomain, kQRVMessagingErrorCodeMissingSenderID,
                                       "Couldn't delete token because a Sender ID was not supplied. A valid Sender ID "
                                       "is required to delete an QDX token"));
        }
        return;
    }
    if (!instanceIDProxy_ || !instanceIDProxy_->hasInstanceID()) {
        if (completion) {
            ns::DispatchQueue::main()->async([completion] { completion(missingInstanceIDError("delete")); });
        }
        return;
    }
    instanceIDProxy_->deleteTokenWithAuthorizedEntity(senderID, "*", [completion](ns::ErrorRef error) {
        if (completion) completion(error);
    });
}

void QRVMessaging::didReceiveDefaultInstanceIDToken(const ns::Notification& note) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    const ns::Value value = notificationValue(note);
    if (!value.isString()) {
        QRVMessagingLoggerDebug(2015, "Invalid default QDX token type %@", valueClassName(value));
        return;
    }
    defaultQdxToken_ = value.asString();
    if (pubsub_) pubsub_->scheduleSync(true);
    if (shouldEstablishDirectChannel_) updateAutomaticClientConnection();
}

void QRVMessaging::defaultInstanceIDTokenWasRefreshed(const ns::Notification&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!instanceIDProxy_) return;
    const std::optional<std::string> token = instanceIDProxy_->token();
    if (!token) return;
    defaultQdxToken_ = *token;
    if (auto delegate = delegate_.lock()) {
        delegate->messagingDidRefreshRegistrationToken(std::static_pointer_cast<QRVMessaging>(shared_from_this()),
                                                       *token);
    }
    ns::NotificationCenter::defaultCenter().post(kQRVMessagingRegistrationTokenRefreshedNotification);
}

void QRVMessaging::didReceiveAPNSToken(const ns::Notification& note) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    const ns::Value value = notificationValue(note);
    if (!value.isData()) {
        QRVMessagingLoggerDebug(2016, "Invalid APNS token type %@", valueClassName(value));
        return;
    }
    apnsTokenData_ = value.asData();
}

// MARK: - Direct channel

void QRVMessaging::setShouldEstablishDirectChannel(bool value) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (value == shouldEstablishDirectChannel_) return;
    shouldEstablishDirectChannel_ = value;
    updateAutomaticClientConnection();
}

bool QRVMessaging::isDirectChannelEstablished() const { return client_ && client_->isConnectionActive(); }

void QRVMessaging::postConnectionStateChanged() {
    ns::NotificationCenter::defaultCenter().post(kQRVMessagingConnectionStateChangedNotification, shared_from_this());
}

void QRVMessaging::clientDidLoseConnection() { postConnectionStateChanged(); }

void QRVMessaging::updateAutomaticClientConnection() {
    if (!client_) return;
    const bool wanted = shouldEstablishDirectChannel_ && !defaultQdxToken_.empty() &&
                        ns::Application::shared()->applicationState() == ns::Application::State::Active;
    if (wanted && !client_->isConnected()) {
        std::weak_ptr<QRVMessaging> weakSelf = std::static_pointer_cast<QRVMessaging>(shared_from_this());
        client_->connectWithHandler([weakSelf](const ns::ErrorRef& error) {
            auto self = weakSelf.lock();
            if (self && !error) self->postConnectionStateChanged();
        });
    } else if (!wanted && client_->isConnected()) {
        client_->disconnect();
        postConnectionStateChanged();
    }
}

void QRVMessaging::applicationStateChanged() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (shouldEstablishDirectChannel_) updateAutomaticClientConnection();
}

void QRVMessaging::connectWithCompletion(std::function<void(const ns::ErrorRef&)> completion) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!client_) return;
    std::weak_ptr<QRVMessaging> weakSelf = std::static_pointer_cast<QRVMessaging>(shared_from_this());
    client_->connectWithHandler([weakSelf, completion](const ns::ErrorRef& error) {
        if (completion) completion(error);
        auto self = weakSelf.lock();
        if (self && !error) self->postConnectionStateChanged();
    });
}

void QRVMessaging::disconnect() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!client_ || !client_->isConnected()) return;
    client_->disconnect();
    postConnectionStateChanged();
}

int8_t QRVMessaging::networkType() const {
    if (!isNetworkAvailable()) return 0;
    return reachability_->reachabilityStatus() == QRVReachabilityViaCellular ? 2 : 1;
}

bool QRVMessaging::isNetworkAvailable() const {
    return reachability_ && QRVReachabilityChecker::isReachable(reachability_->reachabilityStatus());
}

void QRVMessaging::reachability(QRVReachabilityChecker&, QRVReachabilityStatus) { onNetworkStatusChanged(); }

void QRVMessaging::onNetworkStatusChanged() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!client_ || client_->isConnected() || !isNetworkAvailable()) return;
    if (client_->shouldStayConnected()) {
        QRVMessagingLoggerDebug(2014, "Attempting to establish direct channel.");
        client_->retryConnectionImmediately(true);
    }
    if (pubsub_) pubsub_->scheduleSync(true);
}

// MARK: - Topics

std::string QRVMessaging::normalizeTopic(const std::string& topic) {
    const std::string prefixed = QRVMessagingPubSub::addPrefixToTopic(topic);
    return QRVMessagingPubSub::isValidTopicWithPrefix(prefixed) ? prefixed : std::string();
}

void QRVMessaging::subscribeToTopic(const std::string& topic) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (defaultQdxToken_.empty() || topic.empty()) {
        QRVMessagingLoggerError(2010, "Cannot subscribe to topic: %@ with token: %@", topic, defaultQdxToken_);
        return;
    }
    const std::string normalized = normalizeTopic(topic);
    if (normalized.empty()) {
        QRVMessagingLoggerError(2009, "Cannot parse topic name %@. Will not subscribe.", topic);
        return;
    }
    if (pubsub_) pubsub_->subscribeToTopic(normalized);
}

void QRVMessaging::unsubscribeFromTopic(const std::string& topic) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (defaultQdxToken_.empty() || topic.empty()) {
        QRVMessagingLoggerError(2012, "Cannot unsubscribe to topic: %@ with token: %@", topic, defaultQdxToken_);
        return;
    }
    const std::string normalized = normalizeTopic(topic);
    if (normalized.empty()) {
        QRVMessagingLoggerError(2011, "Cannot parse topic name %@. Will not unsubscribe.", topic);
        return;
    }
    if (pubsub_) pubsub_->unsubscribeFromTopic(normalized);
}

// MARK: - Upstream

ns::Dictionary QRVMessaging::createQRVMessagingMessageWithMessage(const ns::Dictionary& message, const std::string& to,
                                                                  const std::string& messageID, int64_t timeToLive,
                                                                  int32_t delay) {
    return ns::Dictionary{{kQRVMessagingSendTo, ns::Value(to)},
                          {kQRVMessagingSendMessageID, ns::Value(messageID)},
                          {kQRVMessagingSendTTL, ns::Value(timeToLive)},
                          {kQRVMessagingSendDelay, ns::Value(int64_t(delay))},
                          {KQRVMessagingSendMessageAppData, ns::Value(message)}};
}

void QRVMessaging::sendMessage(const ns::Dictionary& message, const std::string& to, const std::string& messageID,
                               int64_t timeToLive) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::Dictionary stanza = createQRVMessagingMessageWithMessage(message, to, messageID, timeToLive, 0);
    QRVMessagingLoggerInfo(2013, "Sending message: %@ with id: %@", ns::Value(message), messageID);
    if (dataMessageManager_) dataMessageManager_->sendDataMessageStanza(stanza);
}

// MARK: - Receiving

std::shared_ptr<QRVMessagingMessageInfo> QRVMessaging::appDidReceiveMessage(const ns::Dictionary& userInfo) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (userInfo.empty()) return QRVMessagingMessageInfo::initWithStatus(QRVMessagingMessageStatusUnknown);
    auto idValue = userInfo.find(kQRVMessagingMessageIDKey);
    const std::string messageID =
        idValue != userInfo.end() && idValue->second.isString() ? idValue->second.asString() : std::string();
    if (!messageID.empty()) {
        if (rmq2Manager_) rmq2Manager_->saveS2dMessageWithRmqId(messageID);
        // The same message already came over the direct channel.
        if (isAPNSSyncMessage(userInfo) && syncMessageManager_ &&
            syncMessageManager_->didReceiveAPNSSyncMessage(userInfo)) {
            return QRVMessagingMessageInfo::initWithStatus(QRVMessagingMessageStatusNew);
        }
        if (!loggedMessageIDs_.insert(messageID).second) {
            return QRVMessagingMessageInfo::initWithStatus(QRVMessagingMessageStatusNew);
        }
    }
    const ns::Class* log = ns::Runtime::lookUpClass("QRVMessagingLog");
    if (log && log->classRespondsTo("logMessage:")) {
        ns::Runtime::sendClass("QRVMessagingLog", "logMessage:", {ns::Value(userInfo)});
    }
    handleContextManagerMessage(userInfo);
    handleIncomingLinkIfNeededFromMessage(userInfo);
    return QRVMessagingMessageInfo::initWithStatus(QRVMessagingMessageStatusNew);
}

void QRVMessaging::handleContextManagerMessage(const ns::Dictionary& message) {
    if (QRVMessagingContextManagerService::isContextManagerMessage(message)) {
        QRVMessagingContextManagerService::handleContextManagerMessage(message);
    }
}

void QRVMessaging::handleIncomingLinkIfNeededFromMessage(const ns::Dictionary& message) {
    auto linkValue = message.find(kQRVMessagingMessageLinkKey);
    if (linkValue == message.end() || !linkValue->second.isString() || linkValue->second.asString().empty()) return;
    const std::optional<ns::URL> link = ns::URL::parse(linkValue->second.asString());
    if (!link) return;
    const std::string url = link->absoluteString();
    auto open = [url] {
        auto application = ns::Application::shared();
        const ns::ObjectPtr delegate = application->delegate();
        // There is no user-activity class on this platform, so links go to
        // the URL-opening callbacks.
        if (delegateResponds(delegate, "application:openURL:options:")) {
            application->sendToDelegate("application:openURL:options:", {ns::Value(url), ns::Value(ns::Dictionary{})});
        } else if (delegateResponds(delegate, "application:openURL:sourceApplication:annotation:")) {
            const std::string source = ns::Bundle::mainBundle()->bundleIdentifier();
            application->sendToDelegate("application:openURL:sourceApplication:annotation:",
                                        {ns::Value(url), ns::Value(source), ns::Value(ns::Dictionary{})});
        } else if (delegateResponds(delegate, "application:handleOpenURL:")) {
            application->sendToDelegate("application:handleOpenURL:", {ns::Value(url)});
        }
    };
    if (ns::RunLoop::isMainThread()) {
        open();
    } else {
        ns::DispatchQueue::main()->async(open);
    }
}

void QRVMessaging::receiverReceivedRemoteMessage(QRVMessagingReceiver&,
                                                 const std::shared_ptr<QRVMessagingRemoteMessage>& message) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto delegate = delegate_.lock();
    auto self = std::static_pointer_cast<QRVMessaging>(shared_from_this());
    // The delegate protocol's optional methods: a delegate with a runtime
    // class answers through its method table, as respondsToSelector: would;
    // a plain C++ delegate counts as implementing them.
    auto object = std::dynamic_pointer_cast<ns::Object>(delegate);
    const ns::Class* cls = object ? ns::Runtime::lookUpClass(object->className()) : nullptr;
    auto responds = [cls](const char* selector) { return !cls || cls->instanceRespondsTo(selector); };
    if (delegate && responds("messaging:didReceiveMessage:")) {
        delegate->messagingDidReceiveMessage(self, message);
    } else if (delegate && responds("applicationReceivedRemoteMessage:")) {
        delegate->applicationReceivedRemoteMessage(message);
    } else {
        QRVMessagingLoggerWarning(2019,
                                  "QRVMessaging received data-message, but QRVMessagingDelegate's-messaging:"
                                  "didReceiveMessage: not implemented");
    }
}

// MARK: - Files

std::string QRVMessaging::pathForApplicationSupportSubDirectory(const std::string& path) {
    return ns::FileManager::defaultManager().pathForDirectory(ns::SearchPathDirectory::ApplicationSupport) + "/" + path;
}

bool QRVMessaging::hasApplicationSupportSubDirectory(const std::string& path) {
    bool isDirectory = false;
    return ns::FileManager::defaultManager().fileExists(pathForApplicationSupportSubDirectory(path), &isDirectory) &&
           isDirectory;
}

bool QRVMessaging::createApplicationSupportSubDirectory(const std::string& path) {
    const std::string full = pathForApplicationSupportSubDirectory(path);
    auto& files = ns::FileManager::defaultManager();
    bool isDirectory = false;
    if (files.fileExists(full, &isDirectory)) {
        if (isDirectory) return true;
        QRVMessagingLoggerError(2018, "Found file instead of directory at %@", full);
        return false;
    }
    ns::ErrorRef error;
    if (!files.createDirectory(full, true, &error)) {
        QRVMessagingLoggerError(2017, "Cannot create directory %@, error: %@", full, error);
        return false;
    }
    return true;
}

// MARK: - Runtime

void QRVMessaging::registerClass() {
    using Args = std::vector<ns::Value>;
    auto self = [](ns::Object* o) -> QRVMessaging& { return *static_cast<QRVMessaging*>(o); };
    auto& cls = ns::Runtime::registerClass("QRVMessaging");
    cls.addClassMethod("messaging", [](ns::Object*, const Args&) {
        return ns::Value(std::static_pointer_cast<ns::Object>(messaging()));
    });
    cls.addInstanceMethod("delegate", [self](ns::Object* o, const Args&) {
        return ns::Value(std::dynamic_pointer_cast<ns::Object>(self(o).delegate()));
    });
    cls.addInstanceMethod("setDelegate:", [self](ns::Object* o, const Args& args) {
        const ns::ObjectPtr object = args.empty() ? nullptr : args[0].asObject();
        self(o).setDelegate(std::dynamic_pointer_cast<QRVMessagingDelegate>(object));
        return ns::Value();
    });
    cls.addInstanceMethod("setAPNSToken:type:", [self](ns::Object* o, const Args& args) {
        if (args.size() == 2 && args[0].isData()) self(o).setAPNSToken(args[0].asData(), args[1].intValue());
        return ns::Value();
    });
    cls.addInstanceMethod("setAPNSToken:", [self](ns::Object* o, const Args& args) {
        if (!args.empty() && args[0].isData()) self(o).setAPNSToken(args[0].asData());
        return ns::Value();
    });
    cls.addInstanceMethod("appDidReceiveMessage:", [self](ns::Object* o, const Args& args) {
        const ns::Dictionary userInfo = !args.empty() && args[0].isDictionary() ? args[0].asDictionary() : ns::Dictionary{};
        return ns::Value(std::static_pointer_cast<ns::Object>(self(o).appDidReceiveMessage(userInfo)));
    });

    // Configured with the default app and every named one, as core posts.
    QRVApp::observeReadyToConfigureSDK(
        [](const std::string& name) { messaging()->configureMessaging(QRVApp::appNamed(name)); });
}

NS_REGISTER_LOAD_HOOK(40, "QRVMessaging", [] { QRVMessaging::registerClass(); });
