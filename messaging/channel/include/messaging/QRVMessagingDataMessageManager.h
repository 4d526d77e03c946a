#pragma once
// Turns application messages into channel data messages and back.
//
// Upstream: the dictionary the messaging object builds for sendMessage
// ("ondrix.to", "ondrix.msg_id", "ondrix.ttl", "ondrix.delay", "ondrix.data")
// is checked (check-in secret, destination, data size at most 4096 UTF-16
// units, time to live at most 86400 s, delay at most 3600 s), stored in the
// reliable-message store when it has an id and a time to live, held in the
// delayed queue when a delay was asked for, and sent through the channel
// client. Failures reach the delegate as messaging errors (501, 1003, 1004,
// 1005, 4; 1001 when a stored message's time to live ran out).
//
// Downstream: a received data message becomes a dictionary; the messaging
// service's own control messages go no further, instance-identity commands
// are posted for instance identity, "deleted_messages" only tells the
// delegate, a message holding "kdx.duplex" goes through the sync duplicate
// check, and the delegate gets the rest without any "kdx." key.
//
// Main thread only: calls come from the messaging object and from the
// channel on the main run loop. Every collaborator is held weakly.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "messaging/QRVMessagingDelayedMessageQueue.h"
#include "messaging/QRVMessagingRmqManager.h"
#include "messaging/QRVMessagingSyncMessageManager.h"
#include "platform/error.h"
#include "platform/value.h"

class QRVMessagingClient;
class QRVMessagingConnection;

// Keys, senders and limits of data messages, kept in the class so that they
// never collide with the messaging object's names for the same keys.
struct QRVMessagingDataMessageKeys {
    // The upstream message dictionary.
    static constexpr const char* kTo = "ondrix.to";
    static constexpr const char* kMessageID = "ondrix.msg_id";
    static constexpr const char* kTTL = "ondrix.ttl";
    static constexpr const char* kDelay = "ondrix.delay";
    static constexpr const char* kAppData = "ondrix.data";
    // The downstream message dictionary.
    static constexpr const char* kFrom = "from";
    static constexpr const char* kRawData = "rawData";
    static constexpr const char* kCollapseKey = "collapse_key";
    static constexpr const char* kMessageType = "message_type";
    static constexpr const char* kNotification = "notification";
    static constexpr const char* kPersistentID = "kdx.message_id";
    static constexpr const char* kDuplex = "kdx.duplex";
    static constexpr const char* kNotificationPrefix = "kdx.notification.";
    static constexpr const char* kReservedPrefix = "kdx.";
    static constexpr const char* kMessageTypeDeleted = "deleted_messages";
    // Senders and categories that are the service talking to itself.
    static constexpr const char* kServiceDomain = "mcs.ondrix.com";
    static constexpr const char* kInstanceIDSender = "kdx@ondrix.com";
    static constexpr const char* kControlCategory = "com.ondrix.kdx";
    static constexpr const char* kParloServiceCategory = "com.ondrix.verdos.ksv.parloservice";
    // Posted with instance-identity commands as object.
    static constexpr const char* kIIDMessageNotification = "com.ondrix.kdx/notification/iid";
};

inline constexpr int32_t kQRVMessagingMaxTTL = 86400;
inline constexpr int32_t kQRVMessagingMaxDelay = 3600;
inline constexpr int kQRVMessagingMaxAppDataSize = 4096;

// What the data message manager tells the receiver. The receiver implements it.
class QRVMessagingDataMessageManagerDelegate {
public:
    virtual ~QRVMessagingDataMessageManagerDelegate() = default;
    // A downstream message (no "kdx." key left) and its persistent id, if any.
    virtual void didReceiveMessage(const ns::Dictionary& message, const std::string& messageID) = 0;
    // The upstream message was accepted (no error) or refused.
    virtual void willSendDataMessageWithID(const std::string& messageID, const ns::ErrorRef& error) = 0;
    // The server confirmed the upstream message (empty id when it had none).
    virtual void didSendDataMessageWithID(const std::string& messageID) = 0;
    virtual void didDeleteMessagesOnServer() = 0;
};

// What the manager needs of the channel: by default the channel client and
// the messaging object's view of the network.
class QRVMessagingDataMessageChannel {
public:
    virtual ~QRVMessagingDataMessageChannel() = default;
    virtual bool isConnectionActive() = 0;
    virtual bool isNetworkAvailable() = 0;
    virtual void sendMessage(const std::shared_ptr<google::protobuf::Message>& message) = 0;
    virtual void sendOnConnectOrDrop(const std::shared_ptr<google::protobuf::Message>& message) = 0;
    virtual void retryConnectionImmediately(bool immediately) = 0;
};

class QRVMessagingDataMessageManager : public std::enable_shared_from_this<QRVMessagingDataMessageManager> {
public:
    using Stanza = mobileparlo::DataMessageStanza;

    static std::shared_ptr<QRVMessagingDataMessageManager> initWithDelegate(
        std::weak_ptr<QRVMessagingDataMessageManagerDelegate> delegate, std::weak_ptr<QRVMessagingClient> client,
        std::weak_ptr<QRVMessagingRmqManager> rmq2Manager,
        std::weak_ptr<QRVMessagingSyncMessageManager> syncMessageManager);
    // The same over any channel (tests).
    static std::shared_ptr<QRVMessagingDataMessageManager> initWithDelegate(
        std::weak_ptr<QRVMessagingDataMessageManagerDelegate> delegate,
        std::shared_ptr<QRVMessagingDataMessageChannel> channel, std::weak_ptr<QRVMessagingRmqManager> rmq2Manager,
        std::weak_ptr<QRVMessagingSyncMessageManager> syncMessageManager);

    // A new delayed queue over the reliable-message manager.
    void refreshDelayedMessages();
    const std::shared_ptr<QRVMessagingDelayedMessageQueue>& delayedMessagesQueue() const {
        return delayedMessagesQueue_;
    }

    // Upstream.
    void sendDataMessageStanza(ns::Dictionary dataMessage);
    void sendDelayedMessages(const QRVMessagingDelayedMessageQueue::Messages& messages);
    void didSendDataMessageStanza(const Stanza& message);
    // After a selective acknowledgement: resends what is stored and still
    // valid, drops and reports what expired.
    void resendMessagesWithConnection(QRVMessagingConnection& connection);
    void resendMessagesWithSender(
        const std::function<void(const std::shared_ptr<google::protobuf::Message>&)>& sendProto);

    // Downstream, called in this order for every received data message.
    std::optional<ns::Dictionary> processPacket(const Stanza& message);
    void didReceiveParsedMessage(const ns::Dictionary& message);

    // The check-in credentials, set by the client after each login.
    void setDeviceAuthID(const std::string& deviceAuthID, const std::string& secretToken) {
        deviceAuthID_ = deviceAuthID;
        secretToken_ = secretToken;
    }

    int32_t ttl() const { return ttl_; }
    int maxAppDataSize() const { return maxAppDataSize_; }

    QRVMessagingDataMessageManager(std::weak_ptr<QRVMessagingDataMessageManagerDelegate> delegate,
                                   std::shared_ptr<QRVMessagingDataMessageChannel> channel,
                                   std::weak_ptr<QRVMessagingRmqManager> rmq2Manager,
                                   std::weak_ptr<QRVMessagingSyncMessageManager> syncMessageManager);

private:
    bool tryToSendDataMessageStanza(const std::shared_ptr<Stanza>& stanza);
    void failToSendMessageWithID(const std::string& messageID, long code);
    // The data's size (UTF-16 units of keys and values, bytes of raw data).
    int addData(const ns::Dictionary& data, Stanza& stanza);

    std::weak_ptr<QRVMessagingDataMessageManagerDelegate> delegate_;
    std::shared_ptr<QRVMessagingDataMessageChannel> channel_;
    std::weak_ptr<QRVMessagingRmqManager> rmq2Manager_;
    std::weak_ptr<QRVMessagingSyncMessageManager> syncMessageManager_;
    std::shared_ptr<QRVMessagingDelayedMessageQueue> delayedMessagesQueue_;
    int32_t ttl_ = kQRVMessagingMaxTTL;
    int maxAppDataSize_ = kQRVMessagingMaxAppDataSize;
    std::string deviceAuthID_;
    std::string secretToken_;
};
