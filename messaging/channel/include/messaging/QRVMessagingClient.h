#pragma once
// The channel client: decides when the direct channel exists.
//
// The messaging object asks it to connect (while the app is in front with a
// token and the channel wanted) and to disconnect otherwise. Each connect
// cycle builds a fresh QRVMessagingConnection with the device's check-in
// credentials (held by the registrar); an attempt not signed in within 40 s
// is abandoned, and while the channel is wanted and the network reachable
// retries follow after 2, 4, 8 ... 1024 s. A lazy reconnect waits 120 s.
// Every delay reads ns::Clock. What the connection reports goes on to the
// data message manager and the reliable-message store. Topic requests pass
// through to the registrar.
//
// The server's Close ends a connection without a retry (the channel stays
// wanted); the client hears of it so that isConnected and the messaging
// object's connection-state notification say the channel is down.
//
// Endpoint: "QDX_MCS_HOST" ("host:port", or a bare host with port 5228),
// read once per process; without it kQRVMessagingDefaultMCSHost:5228.
//
// Main thread only, but for the topic requests that pass through.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "messaging/QRVMessagingClientDelegate.h"
#include "messaging/QRVMessagingConnection.h"
#include "platform/error.h"
#include "platform/value.h"

class QRVMessagingDataMessageManager;
class QRVMessagingRegistrar;
class QRVMessagingRmqManager;
class QRVReachabilityChecker;

inline constexpr const char* kQRVMessagingDefaultMCSHost = "mtalk.ondrix.com";
inline constexpr uint32_t kQRVMessagingDefaultMCSPort = 5228;
inline constexpr double kQRVMessagingClientConnectTimeout = 40;
inline constexpr double kQRVMessagingClientLazyReconnectDelay = 120;
inline constexpr uint64_t kQRVMessagingClientMaxRetryCount = 10;

class QRVMessagingClient : public ns::Object, public QRVMessagingConnectionDelegate {
public:
    using ConnectHandler = std::function<void(const ns::ErrorRef& error)>;
    // (result: QRVMessagingTopicOperationResult, error)
    using TopicHandler = std::function<void(int64_t result, const ns::ErrorRef& error)>;

    // The delegate, reachability checker and store are held weakly; the
    // registrar is made here.
    static std::shared_ptr<QRVMessagingClient> initWithDelegate(std::weak_ptr<QRVMessagingClientDelegate> delegate,
                                                                std::weak_ptr<QRVReachabilityChecker> reachability,
                                                                std::weak_ptr<QRVMessagingRmqManager> rmq2Manager);
    ~QRVMessagingClient() override;

    // Held weakly; set by the messaging object after creation.
    void setDataMessageManager(std::weak_ptr<QRVMessagingDataMessageManager> manager) {
        dataMessageManager_ = std::move(manager);
    }
    std::shared_ptr<QRVMessagingDataMessageManager> dataMessageManager() const { return dataMessageManager_.lock(); }
    const std::shared_ptr<QRVMessagingRegistrar>& registrar() const { return registrar_; }
    const std::shared_ptr<QRVMessagingConnection>& connection() const { return connection_; }

    // Error 2001 at once when already connected; 501 without check-in
    // credentials; the code-4 error when the network is gone while retrying.
    void connectWithHandler(ConnectHandler handler);
    void disconnect() { disconnectWithTryToConnectLater(false); }
    void disconnectWithTryToConnectLater(bool tryToConnectLater);
    // Immediately, or lazily (once, 120 s from now).
    void retryConnectionImmediately(bool immediately);

    bool isConnected() const;
    bool isConnectionActive() const;
    bool shouldStayConnected() const { return stayConnected_; }
    uint64_t connectRetryCount() const { return connectRetryCount_; }
    double connectionTimeoutInterval() const { return connectionTimeoutInterval_; }

    void sendMessage(const std::shared_ptr<google::protobuf::Message>& message);
    void sendOnConnectOrDrop(const std::shared_ptr<google::protobuf::Message>& message);

    // From any thread (topic requests come from the pending list's queue):
    // the credentials are loaded on the main queue, then the registrar
    // queues the request.
    void updateSubscriptionWithToken(const std::string& token, const std::string& topic, const ns::Dictionary& options,
                                     bool shouldDelete, TopicHandler handler);

    void teardown();

    // The endpoint ("QDX_MCS_HOST" or the default), read once per process.
    static const std::string& mcsHost();
    static uint32_t mcsPort();
    // Parses a "QDX_MCS_HOST" value; exposed for tests.
    static std::pair<std::string, uint32_t> endpointFromVariable(const char* value);

    // QRVMessagingConnectionDelegate.
    void connectionDidCloseForReason(QRVMessagingConnection& connection, uint64_t reason) override;
    void didLoginWithConnection(QRVMessagingConnection& connection) override;
    void connectionDidRecieveMessage(const ParloDataMessageStanza& message) override;
    int32_t connectionDidReceiveAckForRmqIds(const std::vector<std::string>& rmqIds) override;
    void connectionDidReceiveClose(QRVMessagingConnection& connection) override;

    std::string className() const override { return "QRVMessagingClient"; }

private:
    QRVMessagingClient(std::weak_ptr<QRVMessagingClientDelegate> delegate,
                       std::weak_ptr<QRVReachabilityChecker> reachability,
                       std::weak_ptr<QRVMessagingRmqManager> rmq2Manager);
    std::shared_ptr<QRVMessagingClient> self();
    // 2 to the power of the retry count, in seconds.
    double nextRetryInterval() const;
    void connect();
    void tryToConnect();
    void didConnectTimeout();
    void scheduleConnectRetry();
    void cancelConnectTimeout();
    void cancelRetry();

    bool stayConnected_ = false;
    bool didScheduleReconnect_ = false;
    std::shared_ptr<QRVMessagingConnection> connection_;
    std::weak_ptr<QRVMessagingDataMessageManager> dataMessageManager_;
    std::weak_ptr<QRVMessagingClientDelegate> clientDelegate_;
    std::shared_ptr<QRVMessagingRegistrar> registrar_;
    std::weak_ptr<QRVMessagingRmqManager> rmq2Manager_;
    std::weak_ptr<QRVReachabilityChecker> reachability_;
    uint64_t connectRetryCount_ = 0;
    double connectionTimeoutInterval_ = kQRVMessagingClientConnectTimeout;
    ConnectHandler connectHandler_;
    // Keys of the delayed performs on the main run loop (retry, time-out).
    char retryKey_ = 0;
    char timeoutKey_ = 0;
};
