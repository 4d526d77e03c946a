#pragma once
// Upstream messages the application asked to delay. Messages with a time to
// live live in the reliable-message store and are only counted here; the
// others are kept in memory, at most 10. One flush is pending at a time, at
// the earliest due delay (a delayed perform on the main run loop, read from
// ns::Clock); it hands every waiting message to the send handler.
//
// Main thread only.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "messaging/QRVMessagingRmqManager.h"

inline constexpr size_t kQRVMessagingMaxDelayedMessagesInMemory = 10;

class QRVMessagingDelayedMessageQueue : public std::enable_shared_from_this<QRVMessagingDelayedMessageQueue> {
public:
    using Messages = std::vector<std::shared_ptr<mobileparlo::DataMessageStanza>>;
    using SendDelayedMessagesHandler = std::function<void(const Messages& messages)>;

    // The scanner is held weakly.
    static std::shared_ptr<QRVMessagingDelayedMessageQueue> initWithRmqScanner(
        std::weak_ptr<QRVMessagingRmqScanner> rmqScanner, SendDelayedMessagesHandler sendDelayedMessagesHandler);
    ~QRVMessagingDelayedMessageQueue();

    // NO when 10 messages without a time to live already wait; otherwise
    // counts or keeps the message and makes sure a flush is due by its
    // `max_delay`.
    bool queueMessage(const std::shared_ptr<mobileparlo::DataMessageStanza>& message);
    // Every waiting message (the stored ones found by a scan of the store),
    // with the pending flush cancelled.
    Messages removeDelayedMessages();
    int messageCount() const { return int(messages_.size()) + persistedMessageCount_; }
    // Milliseconds since 1970 of the pending flush; -1 when none.
    int64_t scheduledTimeoutMilliseconds() const { return scheduledTimeoutMilliseconds_; }

    QRVMessagingDelayedMessageQueue(std::weak_ptr<QRVMessagingRmqScanner> rmqScanner,
                                    SendDelayedMessagesHandler sendDelayedMessagesHandler);

private:
    void sendMessages();
    void scheduleTimeoutInMillis(int64_t timeMillis);
    void cancelTimeout();

    std::weak_ptr<QRVMessagingRmqScanner> rmqScanner_;
    SendDelayedMessagesHandler sendDelayedMessagesHandler_;
    Messages messages_;
    int32_t persistedMessageCount_ = 0;
    int64_t scheduledTimeoutMilliseconds_ = -1;
    int64_t lastDBScanTimestampSeconds_ = 0;
};
