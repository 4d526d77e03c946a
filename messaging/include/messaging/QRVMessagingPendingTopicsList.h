#pragma once
// Topic subscriptions waiting to reach the topic registration service, as
// a list of batches kept in the standard user defaults so that they survive
// restarts and wait for a token and a network.
//
// A batch holds topics of one action (subscribe or unsubscribe). Batches
// are worked strictly one at a time, oldest first; the topics of the
// current batch run in parallel. A subscribe and an unsubscribe of one topic
// therefore reach the server in the order they were asked for, and a topic
// asked for twice before it is sent makes one request.
//
// The list's fields are guarded by its own lock, so any thread may call it;
// the resumes it schedules itself and the answers of finished topics run on
// the background-priority global queue, handlers are called on the main
// queue. The delegate (the pub-sub object) is held
// weakly.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/value.h"

enum QRVMessagingTopicAction : int64_t {
    QRVMessagingTopicActionSubscribe = 0,
    QRVMessagingTopicActionUnsubscribe = 1,
};

enum QRVMessagingTopicOperationResult : int64_t {
    QRVMessagingTopicOperationResultSucceeded = 0,
    QRVMessagingTopicOperationResultError = 1,
    QRVMessagingTopicOperationResultCancelled = 2,
};

using QRVMessagingTopicOperationCompletion =
    std::function<void(QRVMessagingTopicOperationResult result, const ns::ErrorRef& error)>;

// The user-defaults key of the archived list.
inline constexpr const char* kQRVMessagingPendingSubscriptionsKey = "com.quorvane.messaging.pending-subscriptions";

class QRVMessagingTopicBatch {
public:
    explicit QRVMessagingTopicBatch(QRVMessagingTopicAction action) : action_(action) {}

    QRVMessagingTopicAction action() const { return action_; }
    std::set<std::string> topics;
    // Not archived.
    std::map<std::string, std::vector<QRVMessagingTopicOperationCompletion>> topicHandlers;

    // Archive members: "action" (integer) and "topics" (the set, as an array).
    ns::Dictionary encode() const;
    // Action 1 stays 1, any other value becomes 0; "topics" is taken only
    // when it is a collection of strings. Handlers start empty.
    static std::shared_ptr<QRVMessagingTopicBatch> decode(const ns::Value& archived);

private:
    QRVMessagingTopicAction action_;
};

class QRVMessagingPendingTopicsList;

class QRVMessagingPendingTopicsListDelegate {
public:
    virtual ~QRVMessagingPendingTopicsListDelegate() = default;
    // pendingTopicsList:requestedUpdateForTopic:action:completion:
    virtual void pendingTopicsListRequestedUpdateForTopic(QRVMessagingPendingTopicsList& list,
                                                          const std::string& topic, QRVMessagingTopicAction action,
                                                          QRVMessagingTopicOperationCompletion completion) = 0;
    // pendingTopicsListDidUpdate: (archive the list)
    virtual void pendingTopicsListDidUpdate(QRVMessagingPendingTopicsList& list) = 0;
    // pendingTopicsListCanRequestTopicUpdates:
    virtual bool pendingTopicsListCanRequestTopicUpdates(QRVMessagingPendingTopicsList& list) = 0;
};

class QRVMessagingPendingTopicsList : public std::enable_shared_from_this<QRVMessagingPendingTopicsList> {
public:
    QRVMessagingPendingTopicsList() = default;

    void setDelegate(std::weak_ptr<QRVMessagingPendingTopicsListDelegate> delegate);
    std::shared_ptr<QRVMessagingPendingTopicsListDelegate> delegate() const;

    // Queues the topic in the last batch when it has the same action, else
    // in a new batch; a new topic of the current batch starts at once (on
    // the background queue) when requests are allowed.
    void addOperationForTopic(const std::string& topic, QRVMessagingTopicAction action,
                              QRVMessagingTopicOperationCompletion completion = {});
    // Starts every topic of the current batch that is not in flight, when
    // there is a delegate that allows requests.
    void resumeOperationsIfNeeded();
    // Network errors (NSURLErrorDomain) leave the topic queued for later.
    static bool subscriptionErrorIsRecoverable(const ns::ErrorRef& error);
    void beginUpdateForCurrentBatchTopic(const std::string& topic);
    // Drops batches without topics, scanning from the last to the first.
    static void pruneTopicBatches(std::vector<std::shared_ptr<QRVMessagingTopicBatch>>& batches);

    size_t numberOfBatches() const;
    // Copies for inspection: the batches' actions and topics, oldest first.
    std::vector<std::pair<QRVMessagingTopicAction, std::set<std::string>>> batchSummary() const;
    bool hasCurrentBatch() const;
    std::set<std::string> topicsInFlight() const;
    std::optional<ns::Date> archiveDate() const;

    // The keyed archive: "ts" (now) and "batches".
    ns::Data archive() const;
    // nullptr for an archive that cannot be read.
    static std::shared_ptr<QRVMessagingPendingTopicsList> unarchive(const ns::Data& archive);

private:
    void topicFinished(const std::string& topic, QRVMessagingTopicOperationResult result, const ns::ErrorRef& error);
    void resumeLater();
    void tellDidUpdate();

    mutable std::recursive_mutex mutex_;
    std::weak_ptr<QRVMessagingPendingTopicsListDelegate> delegate_;
    std::optional<ns::Date> archiveDate_;
    std::vector<std::shared_ptr<QRVMessagingTopicBatch>> topicBatches_;
    std::shared_ptr<QRVMessagingTopicBatch> currentBatch_;
    std::set<std::string> topicsInFlight_;
};
