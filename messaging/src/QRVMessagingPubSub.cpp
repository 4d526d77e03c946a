#include "messaging/QRVMessagingPubSub.h"

#include <algorithm>

#include "messaging/QRVMessaging.h"
#include "messaging/QRVMessagingClient.h"
#include "messaging/QRVMessagingLogger.h"
#include "messaging/QRVMessagingUtilities.h"
#include "platform/dispatch.h"
#include "platform/user_defaults.h"

namespace {

constexpr std::string_view kTopicsPrefix = "/topics/";

bool isTopicCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.' || c == '~' || c == '%';
}

}  // namespace

std::shared_ptr<QRVMessagingPubSub> QRVMessagingPubSub::initWithClient(std::shared_ptr<QRVMessagingClient> client,
                                                                       DefaultTokenProvider defaultToken) {
    if (!defaultToken) {
        // The messaging object made this pub-sub and outlives it.
        defaultToken = [] { return QRVMessaging::messaging()->defaultQdxToken(); };
    }
    std::shared_ptr<QRVMessagingPubSub> pubsub(new QRVMessagingPubSub(std::move(client), std::move(defaultToken)));
    pubsub->restorePendingTopicsList();
    return pubsub;
}

QRVMessagingPubSub::QRVMessagingPubSub(std::shared_ptr<QRVMessagingClient> client, DefaultTokenProvider defaultToken)
    : client_(std::move(client)), defaultTokenProvider_(std::move(defaultToken)) {}

void QRVMessagingPubSub::refreshDefaultToken() {
    std::string token = defaultTokenProvider_();
    std::lock_guard lock(tokenMutex_);
    defaultToken_ = std::move(token);
}

std::string QRVMessagingPubSub::defaultToken() const {
    std::lock_guard lock(tokenMutex_);
    return defaultToken_;
}

void QRVMessagingPubSub::restorePendingTopicsList() {
    auto defaults = ns::UserDefaults::standard();
    std::shared_ptr<QRVMessagingPendingTopicsList> list;
    if (auto archive = defaults->dataForKey(kQRVMessagingPendingSubscriptionsKey)) {
        list = QRVMessagingPendingTopicsList::unarchive(*archive);
    }
    pendingTopicUpdates_ = list ? list : std::make_shared<QRVMessagingPendingTopicsList>();
    pendingTopicUpdates_->setDelegate(weak_from_this());
}

void QRVMessagingPubSub::archivePendingTopicsList(QRVMessagingPendingTopicsList& list) {
    // The whole list is one value, so one change. It is written when a topic
    // joins it, before that topic's request goes out (the list resumes on a
    // later turn), and again once an answer takes a topic out: a process
    // ended between an answer and this write asks for the topic once more,
    // which the service takes as the same subscription, never loses it.
    auto defaults = ns::UserDefaults::standard();
    defaults->setObject(ns::Value(list.archive()), kQRVMessagingPendingSubscriptionsKey);
    defaults->synchronize();
}

void QRVMessagingPubSub::subscribeToTopic(const std::string& topic) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    refreshDefaultToken();
    pendingTopicUpdates_->addOperationForTopic(topic, QRVMessagingTopicActionSubscribe);
}

void QRVMessagingPubSub::unsubscribeFromTopic(const std::string& topic) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    refreshDefaultToken();
    pendingTopicUpdates_->addOperationForTopic(topic, QRVMessagingTopicActionUnsubscribe);
}

void QRVMessagingPubSub::scheduleSync(bool) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    refreshDefaultToken();
    if (!defaultToken().empty()) pendingTopicUpdates_->resumeOperationsIfNeeded();
}

void QRVMessagingPubSub::subscribeWithToken(const std::string& token, const std::string& topic,
                                            const ns::Dictionary& options, Handler handler) {
    updateSubscription(token, topic, options, false, std::move(handler));
}

void QRVMessagingPubSub::unsubscribeWithToken(const std::string& token, const std::string& topic,
                                              const ns::Dictionary& options, Handler handler) {
    updateSubscription(token, topic, options, true, std::move(handler));
}

void QRVMessagingPubSub::updateSubscription(const std::string& token, const std::string& topic,
                                            const ns::Dictionary& options, bool shouldDelete, Handler handler) {
    if (!client_) {
        handler(QRVMessagingTopicOperationResultError, errorWithQDXErrorCode(3004));
        return;
    }
    if (!isValidTopicWithPrefix(topic)) {
        if (shouldDelete) {
            QRVMessagingLoggerError(9002, "Invalid QRVMessaging Pubsub topic %@", topic);
        } else {
            QRVMessagingLoggerError(9000, "Invalid QRVMessaging Pubsub topic %@", topic);
        }
        handler(QRVMessagingTopicOperationResultError, errorWithQDXErrorCode(3003));
        return;
    }
    ns::Dictionary stringOptions = options;
    if (qdx_hasNonStringKeysOrValues(options)) {
        if (shouldDelete) {
            QRVMessagingLoggerError(9003,
                                    "Invalid options passed to QRVMessagingPubSub with non-string keys or values.");
        } else {
            QRVMessagingLoggerError(9001,
                                    "Invalid options passed to QRVMessagingPubSub with non-string keys or values.");
        }
        stringOptions = qdx_trimNonStringValues(options);
    }
    client_->updateSubscriptionWithToken(token, topic, stringOptions, shouldDelete,
                                         [handler = std::move(handler)](int64_t result, const ns::ErrorRef& error) {
                                             handler(QRVMessagingTopicOperationResult(result), error);
                                         });
}

void QRVMessagingPubSub::pendingTopicsListRequestedUpdateForTopic(QRVMessagingPendingTopicsList&,
                                                                  const std::string& topic,
                                                                  QRVMessagingTopicAction action,
                                                                  QRVMessagingTopicOperationCompletion completion) {
    const std::string token = defaultToken();
    if (action != QRVMessagingTopicActionSubscribe) {
        unsubscribeWithToken(token, topic, {}, std::move(completion));
    } else {
        subscribeWithToken(token, topic, {}, std::move(completion));
    }
}

void QRVMessagingPubSub::pendingTopicsListDidUpdate(QRVMessagingPendingTopicsList& list) {
    archivePendingTopicsList(list);
}

bool QRVMessagingPubSub::pendingTopicsListCanRequestTopicUpdates(QRVMessagingPendingTopicsList&) {
    return !defaultToken().empty();
}

std::string QRVMessagingPubSub::addPrefixToTopic(const std::string& topic) {
    return hasTopicsPrefix(topic) ? topic : std::string(kTopicsPrefix) + topic;
}

bool QRVMessagingPubSub::hasTopicsPrefix(const std::string& topic) { return topic.starts_with(kTopicsPrefix); }

bool QRVMessagingPubSub::isValidTopicWithPrefix(const std::string& topic) {
    if (!hasTopicsPrefix(topic) || topic.size() == kTopicsPrefix.size()) return false;
    return std::all_of(topic.begin() + long(kTopicsPrefix.size()), topic.end(), isTopicCharacter);
}
