#pragma once
// The receiver: where the data message manager hands every data message of
// the direct channel and every upstream send result. Messages go on to the
// messaging object (its delegate) as remote messages; send results and the
// server's "messages deleted" report become notifications posted from the
// default notification queue, so observers see them after the current
// run-loop pass. It keeps no duplicate check of its own. Main run loop.

#include <cstdint>
#include <memory>
#include <string>

#include "messaging/QRVMessagingDataMessageManager.h"
#include "messaging/QRVMessagingRemoteMessage.h"
#include "platform/error.h"
#include "platform/value.h"

inline constexpr const char* QRVMessagingSendErrorNotification = "com.quorvane.messaging.notif.send-error";
inline constexpr const char* QRVMessagingSendSuccessNotification = "com.quorvane.messaging.notif.send-success";
inline constexpr const char* QRVMessagingMessagesDeletedNotification = "com.quorvane.messaging.notif.messages-deleted";
// userInfo keys of the send notifications.
inline constexpr const char* QRVMessagingSendMessageIDKey = "messageID";
inline constexpr const char* QRVMessagingSendErrorKey = "error";

class QRVMessagingReceiver;

class QRVMessagingReceiverDelegate {
public:
    virtual ~QRVMessagingReceiverDelegate() = default;
    // receiver:receivedRemoteMessage:
    virtual void receiverReceivedRemoteMessage(QRVMessagingReceiver& receiver,
                                               const std::shared_ptr<QRVMessagingRemoteMessage>& message) = 0;
};

class QRVMessagingReceiver : public ns::Object, public QRVMessagingDataMessageManagerDelegate {
public:
    QRVMessagingReceiver() = default;

    // Held weakly (the messaging object owns the receiver).
    std::shared_ptr<QRVMessagingReceiverDelegate> delegate() const { return delegate_.lock(); }
    void setDelegate(std::weak_ptr<QRVMessagingReceiverDelegate> delegate) { delegate_ = std::move(delegate); }

    // QRVMessagingDataMessageManagerDelegate.
    void didReceiveMessage(const ns::Dictionary& message, const std::string& messageID) override;
    void willSendDataMessageWithID(const std::string& messageID, const ns::ErrorRef& error) override;
    void didSendDataMessageWithID(const std::string& messageID) override;
    void didDeleteMessagesOnServer() override;

    // "kdx-<n>" with a process-wide counter: the first call gives "kdx-1".
    static std::string nextMessageID();

    std::string className() const override { return "QRVMessagingReceiver"; }

private:
    std::weak_ptr<QRVMessagingReceiverDelegate> delegate_;
};
