#pragma once
// Duplicate suppression for "sync" messages, which the server sends both
// over the direct channel and through APNs: the first copy (by either path)
// is new and recorded; a later copy is a duplicate, and once both paths have
// delivered it the record goes. Records expire after the message's "kdx.ttl"
// (28 days without one). Records live in the reliable-message store.
//
// Main thread only.

#include <cstdint>
#include <memory>

#include "messaging/QRVMessagingRmqManager.h"
#include "platform/value.h"

inline constexpr const char* kQRVMessagingSyncMessageIDKey = "kdx.message_id";
inline constexpr const char* kQRVMessagingSyncMessageTTLKey = "kdx.ttl";
// 28 days.
inline constexpr int64_t kQRVMessagingSyncMessageDefaultTTL = 2419200;

class QRVMessagingSyncMessageManager {
public:
    // The manager is held, not owned alone (the messaging object owns it too).
    static std::shared_ptr<QRVMessagingSyncMessageManager> initWithRmqManager(
        std::shared_ptr<QRVMessagingRmqManager> rmqManager);
    explicit QRVMessagingSyncMessageManager(std::shared_ptr<QRVMessagingRmqManager> rmqManager)
        : rmqManager_(std::move(rmqManager)) {}

    // YES when the message is a duplicate.
    bool didReceiveAPNSSyncMessage(const ns::Dictionary& message);
    bool didReceiveMCSSyncMessage(const ns::Dictionary& message);
    void removeExpiredSyncMessages();

    // Now (whole seconds since 1970) plus "kdx.ttl", or plus 28 days.
    static int64_t expirationTimeForSyncMessage(const ns::Dictionary& message);

    const std::shared_ptr<QRVMessagingRmqManager>& rmqManager() const { return rmqManager_; }

private:
    bool didReceiveSyncMessage(const ns::Dictionary& message, bool viaAPNS, bool viaMCS);
    std::shared_ptr<QRVMessagingRmqManager> rmqManager_;
};
