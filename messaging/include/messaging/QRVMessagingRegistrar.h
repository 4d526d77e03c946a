#pragma once
// Topic requests with the device's check-in credentials.
//
// QRVMessagingRegistrar, made by the channel client, holds the check-in
// bridge (device id and secret, also used for the channel's login) and
// hands each topic request to QRVMessagingPubSubRegistrar, which runs it as
// a QRVMessagingTopicOperation on an operation queue of at most 10 at once.
//
// QRVMessagingTopicOperation posts the form to the topic registration
// service: QRVMessagingSubscriptionsServer(), which is "QDX_SERVER_ENDPOINT"
// when that is set and not empty, else kQRVMessagingDefaultSubscriptionsServer;
// looked up for each request. Form values are percent-encoded, since topics
// may hold "%" and tokens other reserved characters. An answer "token=..."
// succeeds; an empty or other answer fails with messaging error 0; network
// failures carry the NSURLErrorDomain error, so the pending list keeps the
// topic for a later try. A cancelled operation reports result 2.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "messaging/QRVMessagingPendingTopicsList.h"
#include "platform/http.h"
#include "platform/operation_queue.h"
#include "platform/value.h"

class QRVMessagingCheckinService;

inline constexpr const char* kQRVMessagingDefaultSubscriptionsServer = "https://iid.ondrixapis.com/iid/register";
inline constexpr long kQRVMessagingMaxTopicOperations = 10;

// The topic registration endpoint, as the environment names it now.
std::string QRVMessagingSubscriptionsServer();

class QRVMessagingTopicOperation : public ns::Operation {
public:
    QRVMessagingTopicOperation(std::string topic, QRVMessagingTopicAction action, std::string token,
                               ns::Dictionary options, std::shared_ptr<QRVMessagingCheckinService> checkinService,
                               QRVMessagingTopicOperationCompletion completion);
    static std::shared_ptr<QRVMessagingTopicOperation> initWithTopic(
        std::string topic, QRVMessagingTopicAction action, std::string token, ns::Dictionary options,
        std::shared_ptr<QRVMessagingCheckinService> checkinService, QRVMessagingTopicOperationCompletion completion) {
        return std::make_shared<QRVMessagingTopicOperation>(std::move(topic), action, std::move(token),
                                                            std::move(options), std::move(checkinService),
                                                            std::move(completion));
    }

    const std::string& topic() const { return topic_; }
    QRVMessagingTopicAction action() const { return action_; }
    const std::string& token() const { return token_; }

    bool isAsynchronous() const override { return true; }
    // start: a cancelled operation finishes with result 2.
    void main() override;
    // The operation's own cancel, the request's cancel, then result 2.
    void cancel() override;
    // Works once.
    void finishWithResult(QRVMessagingTopicOperationResult result, const ns::ErrorRef& error);
    void performSubscriptionChange();

    // The request this operation sends (exposed for tests).
    ns::URLRequest subscriptionRequest() const;
    // The shared session of every topic request (resource time-out 60 s).
    static ns::URLSessionPtr sharedSession();

private:
    void handleResponse(const ns::Data& body, const ns::ErrorRef& error);

    const std::string topic_;
    const QRVMessagingTopicAction action_;
    const std::string token_;
    const ns::Dictionary options_;
    const std::shared_ptr<QRVMessagingCheckinService> checkinService_;
    QRVMessagingTopicOperationCompletion completion_;
    std::atomic<bool> finished_{false};
    std::mutex taskMutex_;
    ns::URLSessionDataTaskPtr dataTask_;
};

class QRVMessagingPubSubRegistrar {
public:
    explicit QRVMessagingPubSubRegistrar(std::shared_ptr<QRVMessagingCheckinService> checkinService);
    ~QRVMessagingPubSubRegistrar();

    void updateSubscriptionToTopic(const std::string& topic, const std::string& token, const ns::Dictionary& options,
                                   bool shouldDelete, QRVMessagingTopicOperationCompletion handler);
    // Cancels every queued and running operation.
    void stopAllSubscriptionRequests();

    const std::shared_ptr<QRVMessagingCheckinService>& checkinService() const { return checkinService_; }
    const ns::OperationQueuePtr& topicOperations() const { return topicOperations_; }

private:
    std::shared_ptr<QRVMessagingCheckinService> checkinService_;
    ns::OperationQueuePtr topicOperations_;
};

class QRVMessagingRegistrar {
public:
    // A new check-in bridge and a pub-sub registrar over it.
    QRVMessagingRegistrar();

    // Loads instance identity's check-in record when none valid is held;
    // whether one is held afterwards. On the main queue, where instance
    // identity keeps the record.
    bool tryToLoadValidCheckinInfo();
    bool hasValidCheckinInfo() const;
    // Empty when there are no credentials.
    std::string deviceAuthID() const;
    std::string secretToken() const;

    // Without credentials: handler(1, messaging error 501) at once.
    void updateSubscriptionToTopic(const std::string& topic, const std::string& token, const ns::Dictionary& options,
                                   bool shouldDelete, QRVMessagingTopicOperationCompletion handler);
    void cancelAllRequests();

    bool stopAllSubscriptions() const { return stopAllSubscriptions_; }
    const std::shared_ptr<QRVMessagingCheckinService>& checkinService() const { return checkinService_; }
    const std::shared_ptr<QRVMessagingPubSubRegistrar>& pubsubRegistrar() const { return pubsubRegistrar_; }

private:
    // The channel client loads credentials on the main thread; the topic
    // operations read them on their operation queue.
    mutable std::mutex checkinMutex_;
    std::shared_ptr<QRVMessagingCheckinService> checkinService_;
    std::shared_ptr<QRVMessagingPubSubRegistrar> pubsubRegistrar_;
    std::atomic<bool> stopAllSubscriptions_{false};
};
