#include "messaging/QRVMessagingDelayedMessageQueue.h"

#include <algorithm>

#include "messaging/Parlo.h"
#include "messaging/QRVMessagingUtilities.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/runloop.h"

std::shared_ptr<QRVMessagingDelayedMessageQueue> QRVMessagingDelayedMessageQueue::initWithRmqScanner(
    std::weak_ptr<QRVMessagingRmqScanner> rmqScanner, SendDelayedMessagesHandler sendDelayedMessagesHandler) {
    return std::make_shared<QRVMessagingDelayedMessageQueue>(std::move(rmqScanner),
                                                             std::move(sendDelayedMessagesHandler));
}

QRVMessagingDelayedMessageQueue::QRVMessagingDelayedMessageQueue(std::weak_ptr<QRVMessagingRmqScanner> rmqScanner,
                                                                 SendDelayedMessagesHandler sendDelayedMessagesHandler)
    : rmqScanner_(std::move(rmqScanner)), sendDelayedMessagesHandler_(std::move(sendDelayedMessagesHandler)) {}

QRVMessagingDelayedMessageQueue::~QRVMessagingDelayedMessageQueue() { ns::RunLoop::main().cancelPerforms(this); }

bool QRVMessagingDelayedMessageQueue::queueMessage(const std::shared_ptr<mobileparlo::DataMessageStanza>& message) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (messages_.size() >= kQRVMessagingMaxDelayedMessagesInMemory) return false;
    if (message->ttl() > 0) {
        ++persistedMessageCount_;
    } else {
        messages_.push_back(message);
    }
    const int64_t flushMillis = QRVMessagingCurrentTimestampInMilliseconds() + int64_t(message->max_delay()) * 1000;
    if (scheduledTimeoutMilliseconds_ <= 0 || flushMillis < scheduledTimeoutMilliseconds_) {
        scheduleTimeoutInMillis(flushMillis);
    }
    return true;
}

QRVMessagingDelayedMessageQueue::Messages QRVMessagingDelayedMessageQueue::removeDelayedMessages() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    cancelTimeout();
    if (messageCount() == 0) return {};
    Messages due = std::move(messages_);
    messages_.clear();
    if (persistedMessageCount_ > 0) {
        if (auto scanner = rmqScanner_.lock()) {
            const int64_t lastScan = lastDBScanTimestampSeconds_;
            scanner->scanWithRmqMessageHandler(
                {}, [&](int64_t, const std::shared_ptr<mobileparlo::DataMessageStanza>& message) {
                    if (message->has_max_delay() && message->sent() >= lastScan) due.push_back(message);
                });
        }
        lastDBScanTimestampSeconds_ = QRVMessagingCurrentTimestampInSeconds();
        persistedMessageCount_ = 0;
    }
    return due;
}

void QRVMessagingDelayedMessageQueue::sendMessages() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (sendDelayedMessagesHandler_) sendDelayedMessagesHandler_(removeDelayedMessages());
}

void QRVMessagingDelayedMessageQueue::scheduleTimeoutInMillis(int64_t timeMillis) {
    cancelTimeout();
    const double delay = std::max(0.0, double(timeMillis - QRVMessagingCurrentTimestampInMilliseconds()) / 1000.0);
    std::weak_ptr<QRVMessagingDelayedMessageQueue> weakSelf = weak_from_this();
    ns::RunLoop::main().performAfter(delay, this, [weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->scheduledTimeoutMilliseconds_ = -1;
            self->sendMessages();
        }
    });
    scheduledTimeoutMilliseconds_ = timeMillis;
}

void QRVMessagingDelayedMessageQueue::cancelTimeout() {
    ns::RunLoop::main().cancelPerforms(this);
    scheduledTimeoutMilliseconds_ = -1;
}
