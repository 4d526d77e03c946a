#include "messaging/QRVMessagingClient.h"

#include <algorithm>
#include <cstdlib>
#include <set>

#include "core/QRVReachabilityChecker.h"
#include "messaging/QRVMessagingDataMessageManager.h"
#include "messaging/QRVMessagingLogger.h"
#include "messaging/QRVMessagingRegistrar.h"
#include "messaging/QRVMessagingRmqManager.h"
#include "messaging/QRVMessagingUtilities.h"
#include "platform/dispatch.h"
#include "platform/format.h"
#include "platform/no_destructor.h"
#include "platform/process_info.h"
#include "platform/runloop.h"

namespace {

// The error a pending connect gets when the network went away while retrying.
constexpr const char* kNoInternetErrorDomain = "No internet available, cannot connect to QRVMessaging";
constexpr long kNoInternetErrorCode = 4;

struct Endpoint {
    std::string host;
    uint32_t port;
};

const Endpoint& endpoint() {
    static const ns::NoDestructor<Endpoint> value([] {
        const auto environment = ns::ProcessInfo::processInfo().environment();
        const auto variable = environment.find("QDX_MCS_HOST");
        auto [host, port] = QRVMessagingClient::endpointFromVariable(
            variable == environment.end() ? nullptr : variable->second.c_str());
        return Endpoint{host, port};
    }());
    return *value;
}

}  // namespace

std::pair<std::string, uint32_t> QRVMessagingClient::endpointFromVariable(const char* value) {
    if (!value) return {kQRVMessagingDefaultMCSHost, kQRVMessagingDefaultMCSPort};
    const std::string text(value);
    const size_t firstColon = text.find(':');
    const std::string host = text.substr(0, firstColon);
    uint32_t port = kQRVMessagingDefaultMCSPort;
    if (firstColon != std::string::npos) {
        // The integer value of what follows the last colon, as -[NSString
        // intValue] reads it: leading digits, anything else is 0.
        const std::string tail = text.substr(text.rfind(':') + 1);
        const long parsed = std::strtol(tail.c_str(), nullptr, 10);
        if (parsed > 0 && parsed <= 65535) port = uint32_t(parsed);
    }
    return {host, port};
}

const std::string& QRVMessagingClient::mcsHost() { return endpoint().host; }
uint32_t QRVMessagingClient::mcsPort() { return endpoint().port; }

QRVMessagingClient::QRVMessagingClient(std::weak_ptr<QRVMessagingClientDelegate> delegate,
                                       std::weak_ptr<QRVReachabilityChecker> reachability,
                                       std::weak_ptr<QRVMessagingRmqManager> rmq2Manager)
    : clientDelegate_(std::move(delegate)),
      registrar_(std::make_shared<QRVMessagingRegistrar>()),
      rmq2Manager_(std::move(rmq2Manager)),
      reachability_(std::move(reachability)) {}

std::shared_ptr<QRVMessagingClient> QRVMessagingClient::initWithDelegate(
    std::weak_ptr<QRVMessagingClientDelegate> delegate, std::weak_ptr<QRVReachabilityChecker> reachability,
    std::weak_ptr<QRVMessagingRmqManager> rmq2Manager) {
    return std::shared_ptr<QRVMessagingClient>(
        new QRVMessagingClient(std::move(delegate), std::move(reachability), std::move(rmq2Manager)));
}

QRVMessagingClient::~QRVMessagingClient() {
    cancelConnectTimeout();
    cancelRetry();
    if (connection_) {
        connection_->setDelegate({});
        connection_->teardown();
    }
}

std::shared_ptr<QRVMessagingClient> QRVMessagingClient::self() {
    return std::static_pointer_cast<QRVMessagingClient>(shared_from_this());
}

// MARK: - State

bool QRVMessagingClient::isConnected() const {
    return stayConnected_ && connection_ && connection_->state() != kQRVMessagingConnectionStateDisconnected;
}

bool QRVMessagingClient::isConnectionActive() const {
    return stayConnected_ && connection_ && connection_->state() == kQRVMessagingConnectionStateSignedIn;
}

// MARK: - Connecting

void QRVMessagingClient::connectWithHandler(ConnectHandler handler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (isConnected()) {
        ns::ErrorRef error = ns::Error::make(kQRVMessagingDomain, kQRVMessagingErrorCodeAlreadyConnected,
                                             {{ns::kLocalizedFailureReasonErrorKey,
                                               ns::Value("QRVMessaging is already connected")}});
        if (handler) handler(error);
        return;
    }
    connectHandler_ = std::move(handler);
    registrar_->tryToLoadValidCheckinInfo();
    connect();
}

void QRVMessagingClient::connect() {
    connectRetryCount_ = 0;
    if (isConnected()) return;
    stayConnected_ = true;
    if (!registrar_->tryToLoadValidCheckinInfo()) {
        // The completion stays: a later connect that finds credentials
        // still answers it.
        if (connectHandler_) connectHandler_(ns::Error::make(kQRVMessagingDomain, kQRVMessagingErrorCodeMissingDeviceID));
        QRVMessagingLoggerDebug(4009, "Failed to connect to MCS. No deviceID and secret found.");
        return;
    }
    if (connection_) {
        connection_->signOut();
        connection_->setDelegate({});
    }
    connection_ = QRVMessagingConnection::initWithAuthID(registrar_->deviceAuthID(), registrar_->secretToken(),
                                                        mcsHost(), mcsPort(), ns::RunLoop::mainShared(),
                                                        rmq2Manager_, dataMessageManager_);
    std::weak_ptr<QRVReachabilityChecker> reachability = reachability_;
    connection_->setNetworkTypeProvider([reachability]() -> int8_t {
        auto checker = reachability.lock();
        const QRVReachabilityStatus status = checker ? checker->reachabilityStatus() : QRVReachabilityUnknown;
        if (status == QRVReachabilityViaCellular) return 0;
        return QRVReachabilityChecker::isReachable(status) ? 1 : -1;
    });
    connection_->setDelegate(std::weak_ptr<QRVMessagingConnectionDelegate>(self()));
    tryToConnect();
}

void QRVMessagingClient::tryToConnect() {
    if (!stayConnected_) return;
    cancelRetry();
    if (!connection_ || connection_->state() != kQRVMessagingConnectionStateDisconnected) return;
    connectRetryCount_ = std::min(connectRetryCount_ + 1, kQRVMessagingClientMaxRetryCount);
    cancelConnectTimeout();
    std::weak_ptr<QRVMessagingClient> weakSelf = self();
    ns::RunLoop::main().performAfter(connectionTimeoutInterval_, &timeoutKey_, [weakSelf] {
        if (auto strong = weakSelf.lock()) strong->didConnectTimeout();
    });
    connection_->signIn();
}

void QRVMessagingClient::didConnectTimeout() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!stayConnected_) return;
    if (connection_) connection_->signOut();
    scheduleConnectRetry();
}

double QRVMessagingClient::nextRetryInterval() const { return double(uint64_t(1) << connectRetryCount_); }

void QRVMessagingClient::scheduleConnectRetry() {
    auto checker = reachability_.lock();
    if (checker && QRVReachabilityChecker::isReachable(checker->reachabilityStatus())) {
        const double delay = nextRetryInterval();
        QRVMessagingLoggerDebug(4011, "Failed to sign in to MCS, retry in %lu seconds", static_cast<unsigned long>(delay));
        cancelRetry();
        std::weak_ptr<QRVMessagingClient> weakSelf = self();
        ns::RunLoop::main().performAfter(delay, &retryKey_, [weakSelf] {
            if (auto strong = weakSelf.lock()) strong->tryToConnect();
        });
        return;
    }
    QRVMessagingLoggerDebug(4010, "Internet not reachable when signing into MCS during a retry");
    ConnectHandler handler = connectHandler_;
    disconnectWithTryToConnectLater(true);
    if (handler) handler(ns::Error::make(kNoInternetErrorDomain, kNoInternetErrorCode));
}

void QRVMessagingClient::retryConnectionImmediately(bool immediately) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!stayConnected_ || !connection_ || connection_->host().empty() || connection_->port() == 0) {
        QRVMessagingLoggerDebug(4004, "QRVMessaging connection will not reconnect to MCS. Stay connected: %d",
                                int(stayConnected_));
        return;
    }
    if (isConnectionActive()) {
        QRVMessagingLoggerDebug(4005, "QRVMessaging Connection skip retry, active");
        return;
    }
    if (isConnected()) {
        QRVMessagingLoggerDebug(4006, "QRVMessaging Connection skip retry, connected");
        return;
    }
    if (immediately) {
        QRVMessagingLoggerDebug(4007, "Try to connect to MCS immediately");
        tryToConnect();
        return;
    }
    QRVMessagingLoggerDebug(4008, "Try to connect to MCS lazily");
    if (didScheduleReconnect_) return;
    didScheduleReconnect_ = true;
    std::weak_ptr<QRVMessagingClient> weakSelf = self();
    ns::DispatchQueue::main()->after(kQRVMessagingClientLazyReconnectDelay, [weakSelf] {
        auto strong = weakSelf.lock();
        if (!strong) return;
        strong->didScheduleReconnect_ = false;
        strong->tryToConnect();
    });
}

void QRVMessagingClient::disconnectWithTryToConnectLater(bool tryToConnectLater) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    stayConnected_ = tryToConnectLater;
    if (connection_) connection_->signOut();
    cancelRetry();
    cancelConnectTimeout();
    connectHandler_ = nullptr;
}

void QRVMessagingClient::teardown() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    QRVMessagingLoggerDebug(4000, "");
    stayConnected_ = false;
    connectHandler_ = nullptr;
    if (connection_) connection_->teardown();
    registrar_->cancelAllRequests();
    cancelRetry();
    cancelConnectTimeout();
}

void QRVMessagingClient::cancelConnectTimeout() { ns::RunLoop::main().cancelPerforms(&timeoutKey_); }
void QRVMessagingClient::cancelRetry() { ns::RunLoop::main().cancelPerforms(&retryKey_); }

// MARK: - Sending

void QRVMessagingClient::sendMessage(const std::shared_ptr<google::protobuf::Message>& message) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (connection_) connection_->sendProto(message);
}

void QRVMessagingClient::sendOnConnectOrDrop(const std::shared_ptr<google::protobuf::Message>& message) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (connection_) connection_->sendOnConnectOrDrop(message);
}

void QRVMessagingClient::updateSubscriptionWithToken(const std::string& token, const std::string& topic,
                                                     const ns::Dictionary& options, bool shouldDelete,
                                                     TopicHandler handler) {
    // Loading the credentials reads instance identity's check-in record,
    // which it keeps and replaces on the main queue without a lock; topic
    // requests come from the pending list's background queue.
    if (!ns::DispatchQueue::main()->isCurrent()) {
        ns::DispatchQueue::main()->async(
            [self = self(), token, topic, options, shouldDelete, handler = std::move(handler)]() mutable {
                self->updateSubscriptionWithToken(token, topic, options, shouldDelete, std::move(handler));
            });
        return;
    }
    registrar_->tryToLoadValidCheckinInfo();
    registrar_->updateSubscriptionToTopic(
        topic, token, options, shouldDelete,
        [topic, shouldDelete, handler](QRVMessagingTopicOperationResult result, const ns::ErrorRef& error) {
            if (error) {
                QRVMessagingLoggerError(4001, "Failed to subscribe to topic %@", error);
            } else if (shouldDelete) {
                QRVMessagingLoggerInfo(4002, "Successfully unsubscribed from topic %@", topic);
            } else {
                QRVMessagingLoggerInfo(4003, "Successfully subscribed to topic %@", topic);
            }
            if (handler) handler(int64_t(result), error);
        });
}

// MARK: - QRVMessagingConnectionDelegate

void QRVMessagingClient::didLoginWithConnection(QRVMessagingConnection& connection) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    cancelConnectTimeout();
    connectRetryCount_ = 0;
    if (auto manager = dataMessageManager_.lock()) {
        manager->setDeviceAuthID(registrar_->deviceAuthID(), registrar_->secretToken());
        // Stored upstream messages otherwise wait for the next selective
        // acknowledgement, which only a new upstream message brings: one cut
        // off before it was confirmed, or stored while the channel was down,
        // would sit in the store for as long as the app sends nothing else.
        // The server drops a copy it already has by its id.
        manager->resendMessagesWithConnection(connection);
    }
    ConnectHandler handler = std::move(connectHandler_);
    connectHandler_ = nullptr;
    if (handler) handler(nullptr);
}

void QRVMessagingClient::connectionDidCloseForReason(QRVMessagingConnection&, uint64_t reason) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (reason == kQRVMessagingConnectionCloseReasonSocketDisconnected) cancelConnectTimeout();
    if (stayConnected_) scheduleConnectRetry();
}

void QRVMessagingClient::connectionDidReceiveClose(QRVMessagingConnection&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    // The server ended the channel on purpose: no retry (the channel stays
    // wanted for a later retry on demand), but the owner learns that it is
    // down, so what it reports matches isConnected.
    cancelConnectTimeout();
    if (auto delegate = clientDelegate_.lock()) delegate->clientDidLoseConnection();
}

void QRVMessagingClient::connectionDidRecieveMessage(const ParloDataMessageStanza& message) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto manager = dataMessageManager_.lock();
    if (!manager) return;
    std::optional<ns::Dictionary> parsed = manager->processPacket(message);
    if (parsed && !parsed->empty()) manager->didReceiveParsedMessage(*parsed);
}

int32_t QRVMessagingClient::connectionDidReceiveAckForRmqIds(const std::vector<std::string>& rmqIds) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto store = rmq2Manager_.lock();
    if (!store) return 0;
    const std::set<std::string> acked(rmqIds.begin(), rmqIds.end());
    std::vector<std::shared_ptr<mobileparlo::DataMessageStanza>> confirmed;
    store->scanWithRmqMessageHandler({}, [&](int64_t rmqId, const std::shared_ptr<mobileparlo::DataMessageStanza>& m) {
        if (acked.contains(ns::format("%lld", static_cast<long long>(rmqId)))) confirmed.push_back(m);
    });
    if (auto manager = dataMessageManager_.lock()) {
        for (const auto& message : confirmed) manager->didSendDataMessageStanza(*message);
    }
    return store->removeRmqMessagesWithRmqIds(rmqIds);
}
