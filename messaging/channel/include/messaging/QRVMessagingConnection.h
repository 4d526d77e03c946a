#pragma once
// The channel protocol over one secure socket at a time: login with the
// device's check-in credentials, heartbeats, stream ids in both directions,
// acknowledgements of what each side received, and data messages and
// acknowledgements handed on to the delegate (the channel client).
//
// Ids of received reliable messages are kept in the reliable-message store
// until the server's last-stream-id shows it has heard they arrived; after a
// reconnect the ones still unconfirmed go again in the login request.
//
// A heartbeat ping goes 30 s after the last accepted incoming message; a
// ping left unanswered for 20 s closes the connection (reason 1). Both read
// ns::Clock through the run loop's delayed performs.
//
// Single-threaded on the run loop given at creation (the main run loop).

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "messaging/Parlo.h"
#include "messaging/QRVMessagingSecureSocket.h"
#include "platform/value.h"

class QRVMessagingConnection;
class QRVMessagingDataMessageManager;
class QRVMessagingRmqManager;

inline constexpr double kQRVMessagingHeartbeatDelay = 30;
inline constexpr double kQRVMessagingConnectionTimeoutInterval = 20;
inline constexpr int32_t kQRVMessagingUnackedMessagesBeforeStreamAck = 10;
inline constexpr int32_t kQRVMessagingConfirmedMessagesBeforeStreamAck = 5;
inline constexpr int32_t kQRVMessagingSelectiveAckExtensionId = 12;
inline constexpr int32_t kQRVMessagingStreamAckExtensionId = 13;
// The service domain of the login request.
inline constexpr const char* kQRVMessagingLoginDomain = "mcs.ondrix.com";

enum QRVMessagingConnectionState : uint64_t {
    kQRVMessagingConnectionStateDisconnected = 0,
    kQRVMessagingConnectionStateConnecting = 1,
    kQRVMessagingConnectionStateConnected = 2,
    kQRVMessagingConnectionStateSignedIn = 3,
};

enum QRVMessagingConnectionCloseReason : uint64_t {
    kQRVMessagingConnectionCloseReasonSocketDisconnected = 0,
    kQRVMessagingConnectionCloseReasonTimeout = 1,
};

class QRVMessagingConnectionDelegate {
public:
    virtual ~QRVMessagingConnectionDelegate() = default;
    // connection:didCloseForReason: (a QRVMessagingConnectionCloseReason).
    virtual void connectionDidCloseForReason(QRVMessagingConnection& connection, uint64_t reason) = 0;
    virtual void didLoginWithConnection(QRVMessagingConnection& connection) = 0;
    virtual void connectionDidRecieveMessage(const ParloDataMessageStanza& message) = 0;
    // The outgoing messages the server confirmed; answers how many were
    // removed from the store.
    virtual int32_t connectionDidReceiveAckForRmqIds(const std::vector<std::string>& rmqIds) = 0;
    // The server's Close ended the connection. Not a reason to retry (no
    // connection:didCloseForReason: follows), but the channel is down.
    virtual void connectionDidReceiveClose(QRVMessagingConnection& connection) {}
};

// A sent message that carries a reliable-message id, by its stream id.
struct QRVMessagingD2SInfo {
    int32_t streamId = 0;
    std::string d2sID;
    bool operator==(const QRVMessagingD2SInfo&) const = default;
};

class QRVMessagingConnection : public ns::Object, public QRVMessagingSecureSocketDelegate {
public:
    using Message = google::protobuf::Message;

    // The store and the data message manager are held weakly; the received
    // ids still unconfirmed are loaded from the store here.
    static std::shared_ptr<QRVMessagingConnection> initWithAuthID(
        const std::string& authId, const std::string& token, const std::string& host, uint32_t port,
        std::shared_ptr<ns::RunLoop> runLoop, std::weak_ptr<QRVMessagingRmqManager> rmq2Manager,
        std::weak_ptr<QRVMessagingDataMessageManager> dataMessageManager);
    ~QRVMessagingConnection() override;

    void setDelegate(std::weak_ptr<QRVMessagingConnectionDelegate> delegate) { delegate_ = std::move(delegate); }
    // The login's network type: 1 reachable other than over cellular, 0 over
    // cellular, -1 unreachable. The client passes the messaging object's
    // view; without one the platform's reachability of the host answers.
    void setNetworkTypeProvider(std::function<int8_t()> provider) { networkTypeProvider_ = std::move(provider); }

    // Only when disconnected: a new secure socket, connecting.
    void signIn();
    // Drops what waits for the login, says Close when signed in, disconnects.
    void signOut();
    void teardown();
    // Sends now when the state allows the message's kind, else drops it.
    void sendProto(const std::shared_ptr<Message>& message);
    // Sends now when signed in, else after the next successful login.
    void sendOnConnectOrDrop(const std::shared_ptr<Message>& message);

    uint64_t state() const { return state_; }
    bool isSignedIn() const { return state_ == kQRVMessagingConnectionStateSignedIn; }
    const std::string& host() const { return host_; }
    uint32_t port() const { return port_; }
    int32_t inStreamId() const { return inStreamId_; }
    int32_t outStreamId() const { return outStreamId_; }
    int32_t lastStreamIdAcked() const { return lastStreamIdAcked_; }
    const std::vector<std::string>& unackedS2dIds() const { return unackedS2dIds_; }
    const std::vector<QRVMessagingD2SInfo>& d2sInfos() const { return d2sInfos_; }
    size_t sendOnConnectCount() const { return sendOnConnectMessages_.size(); }
    const std::shared_ptr<QRVMessagingSecureSocket>& socket() const { return socket_; }

    std::string className() const override { return "QRVMessagingConnection"; }
    std::string description() const override;

    // QRVMessagingSecureSocketDelegate.
    void secureSocketDidReceiveDataWithTag(QRVMessagingSecureSocket& socket, std::span<const uint8_t> data,
                                           int8_t tag) override;
    void secureSocketDidSendProtoWithTagRmqId(QRVMessagingSecureSocket& socket, int8_t tag,
                                              const std::string& rmqId) override;
    void secureSocketDidConnect(QRVMessagingSecureSocket& socket) override;
    void didDisconnectWithSecureSocket(QRVMessagingSecureSocket& socket) override;

    QRVMessagingConnection(const std::string& authId, const std::string& token, const std::string& host,
                           uint32_t port, std::shared_ptr<ns::RunLoop> runLoop,
                           std::weak_ptr<QRVMessagingRmqManager> rmq2Manager,
                           std::weak_ptr<QRVMessagingDataMessageManager> dataMessageManager);

private:
    std::shared_ptr<QRVMessagingConnection> self() {
        return std::static_pointer_cast<QRVMessagingConnection>(shared_from_this());
    }
    std::weak_ptr<QRVMessagingConnection> weakSelf() { return self(); }
    std::shared_ptr<ParloLoginRequest> loginRequest();
    // An accepted or refused incoming message, by its state and kind.
    void didReceiveProto(const Message& message, int8_t tag);
    void willSendProto(Message& message);
    void willProcessProto(const Message& message, int8_t tag);
    void confirmAckedD2sIdsWithStreamId(int32_t lastReceivedStreamId);
    void confirmAckedS2dIdsWithStreamId(int32_t lastReceivedStreamId);
    void sendStreamAck();
    void handleIqStanza(const ParloIqStanza& iq);
    void didReceiveLoginResponse(const ParloLoginResponse& response);
    void sendHeartbeatPing();
    void cancelConnectionTimeout();
    void scheduleHeartbeatPing();
    void connectionTimedOut();
    void disconnect();

    uint64_t state_ = kQRVMessagingConnectionStateDisconnected;
    std::string host_;
    uint32_t port_;
    std::string authId_;
    std::string token_;
    std::weak_ptr<QRVMessagingConnectionDelegate> delegate_;
    std::weak_ptr<QRVMessagingRmqManager> rmq2Manager_;
    std::weak_ptr<QRVMessagingDataMessageManager> dataMessageManager_;
    std::shared_ptr<QRVMessagingSecureSocket> socket_;
    std::shared_ptr<ns::RunLoop> runLoop_;
    int32_t inStreamId_ = 0;
    int32_t outStreamId_ = 0;
    int32_t lastStreamIdAcked_ = 0;
    std::vector<std::string> unackedS2dIds_;
    // Outgoing stream id -> the received ids reported with that message.
    std::map<int32_t, std::vector<std::string>> ackedS2dMap_;
    std::vector<QRVMessagingD2SInfo> d2sInfos_;
    std::vector<std::shared_ptr<Message>> sendOnConnectMessages_;
    // Keys of the delayed performs on the run loop.
    char heartbeatKey_ = 0;
    char timeoutKey_ = 0;
    bool heartbeatScheduled_ = false;
    bool timeoutScheduled_ = false;
    std::function<int8_t()> networkTypeProvider_;
    // Incoming message objects kept for reuse, by tag.
    std::array<std::unique_ptr<Message>, 9> receivedMessages_;
};
