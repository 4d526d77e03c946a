#include "messaging/QRVMessagingPendingTopicsList.h"

#include "messaging/QRVMessagingLogger.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/keyed_archive.h"

namespace {

constexpr const char* kArchiveClassName = "QRVMessagingPendingTopicsList";

}  // namespace

ns::Dictionary QRVMessagingTopicBatch::encode() const {
    ns::Array topicArray;
    for (const auto& topic : topics) topicArray.emplace_back(topic);
    return ns::Dictionary{{"action", ns::Value(int64_t(action_))}, {"topics", ns::Value(std::move(topicArray))}};
}

std::shared_ptr<QRVMessagingTopicBatch> QRVMessagingTopicBatch::decode(const ns::Value& archived) {
    if (!archived.isDictionary()) return nullptr;
    const ns::Dictionary& members = archived.asDictionary();
    auto action = members.find("action");
    // Read leniently: a damaged archive may hold any number here (a real, or
    // past a signed integer), which must not stop the restore.
    const bool unsubscribe = action != members.end() && action->second.isNumber() && action->second.intValue() == 1;
    auto batch = std::make_shared<QRVMessagingTopicBatch>(unsubscribe ? QRVMessagingTopicActionUnsubscribe
                                                                      : QRVMessagingTopicActionSubscribe);
    auto topics = members.find("topics");
    if (topics != members.end() && topics->second.isArray()) {
        for (const auto& topic : topics->second.asArray()) {
            if (topic.isString()) batch->topics.insert(topic.asString());
        }
    }
    return batch;
}

void QRVMessagingPendingTopicsList::setDelegate(std::weak_ptr<QRVMessagingPendingTopicsListDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<QRVMessagingPendingTopicsListDelegate> QRVMessagingPendingTopicsList::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

void QRVMessagingPendingTopicsList::addOperationForTopic(const std::string& topic, QRVMessagingTopicAction action,
                                                         QRVMessagingTopicOperationCompletion completion) {
    std::lock_guard lock(mutex_);
    std::shared_ptr<QRVMessagingTopicBatch> batch;
    if (!topicBatches_.empty() && topicBatches_.back()->action() == action) {
        batch = topicBatches_.back();
    } else {
        batch = std::make_shared<QRVMessagingTopicBatch>(action);
        topicBatches_.push_back(batch);
    }
    const bool topicIsNew = batch->topics.insert(topic).second;
    if (topicIsNew) tellDidUpdate();
    if (completion) batch->topicHandlers[topic].push_back(std::move(completion));
    if (!currentBatch_) currentBatch_ = batch;
    if (topicIsNew && batch == currentBatch_) resumeLater();
}

void QRVMessagingPendingTopicsList::resumeOperationsIfNeeded() {
    std::lock_guard lock(mutex_);
    if (!currentBatch_ && !topicBatches_.empty()) currentBatch_ = topicBatches_.front();
    if (!currentBatch_ || currentBatch_->topics.empty()) return;
    auto delegate = delegate_.lock();
    if (!delegate) {
        QRVMessagingLoggerError(8000, "Attempted to update pending topics without a delegate");
        return;
    }
    if (!delegate->pendingTopicsListCanRequestTopicUpdates(*this)) return;
    // A copy: an answer given synchronously may change the batch meanwhile.
    const std::set<std::string> topics = currentBatch_->topics;
    for (const auto& topic : topics) {
        if (!topicsInFlight_.count(topic)) beginUpdateForCurrentBatchTopic(topic);
    }
}

bool QRVMessagingPendingTopicsList::subscriptionErrorIsRecoverable(const ns::ErrorRef& error) {
    return error && error->domain() == ns::kURLErrorDomain;
}

void QRVMessagingPendingTopicsList::beginUpdateForCurrentBatchTopic(const std::string& topic) {
    std::shared_ptr<QRVMessagingPendingTopicsListDelegate> delegate;
    QRVMessagingTopicAction action;
    {
        std::lock_guard lock(mutex_);
        if (!currentBatch_) return;
        topicsInFlight_.insert(topic);
        delegate = delegate_.lock();
        action = currentBatch_->action();
    }
    if (!delegate) return;
    std::weak_ptr<QRVMessagingPendingTopicsList> weakSelf = weak_from_this();
    delegate->pendingTopicsListRequestedUpdateForTopic(
        *this, topic, action, [weakSelf, topic](QRVMessagingTopicOperationResult result, const ns::ErrorRef& error) {
            ns::DispatchQueue::global(ns::DispatchQueue::QoS::Background)->async([weakSelf, topic, result, error] {
                if (auto self = weakSelf.lock()) self->topicFinished(topic, result, error);
            });
        });
}

void QRVMessagingPendingTopicsList::topicFinished(const std::string& topic, QRVMessagingTopicOperationResult result,
                                                  const ns::ErrorRef& error) {
    ns::dispatchAssertQueue(ns::DispatchQueue::global(ns::DispatchQueue::QoS::Background));
    std::lock_guard lock(mutex_);
    topicsInFlight_.erase(topic);
    // Kept for the next resume (a new topic, the token, the network's return).
    if (result == QRVMessagingTopicOperationResultError && subscriptionErrorIsRecoverable(error)) return;
    if (!currentBatch_) return;
    auto handlers = currentBatch_->topicHandlers.find(topic);
    if (handlers != currentBatch_->topicHandlers.end()) {
        for (auto& handler : handlers->second) {
            ns::DispatchQueue::main()->async([handler = std::move(handler), result, error] { handler(result, error); });
        }
        currentBatch_->topicHandlers.erase(handlers);
    }
    currentBatch_->topics.erase(topic);
    if (currentBatch_->topics.empty()) {
        std::erase(topicBatches_, currentBatch_);
        currentBatch_.reset();
    }
    tellDidUpdate();
    resumeLater();
}

void QRVMessagingPendingTopicsList::resumeLater() {
    std::weak_ptr<QRVMessagingPendingTopicsList> weakSelf = weak_from_this();
    ns::DispatchQueue::global(ns::DispatchQueue::QoS::Background)->async([weakSelf] {
        if (auto self = weakSelf.lock()) self->resumeOperationsIfNeeded();
    });
}

void QRVMessagingPendingTopicsList::tellDidUpdate() {
    if (auto delegate = delegate_.lock()) delegate->pendingTopicsListDidUpdate(*this);
}

void QRVMessagingPendingTopicsList::pruneTopicBatches(std::vector<std::shared_ptr<QRVMessagingTopicBatch>>& batches) {
    // One pass, whatever the order of the empty batches: a stored list read
    // back may hold thousands of them.
    std::erase_if(batches, [](const auto& batch) { return !batch || batch->topics.empty(); });
}

size_t QRVMessagingPendingTopicsList::numberOfBatches() const {
    std::lock_guard lock(mutex_);
    return topicBatches_.size();
}

std::vector<std::pair<QRVMessagingTopicAction, std::set<std::string>>> QRVMessagingPendingTopicsList::batchSummary()
    const {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<QRVMessagingTopicAction, std::set<std::string>>> summary;
    for (const auto& batch : topicBatches_) summary.emplace_back(batch->action(), batch->topics);
    return summary;
}

bool QRVMessagingPendingTopicsList::hasCurrentBatch() const {
    std::lock_guard lock(mutex_);
    return currentBatch_ != nullptr;
}

std::set<std::string> QRVMessagingPendingTopicsList::topicsInFlight() const {
    std::lock_guard lock(mutex_);
    return topicsInFlight_;
}

std::optional<ns::Date> QRVMessagingPendingTopicsList::archiveDate() const {
    std::lock_guard lock(mutex_);
    return archiveDate_;
}

ns::Data QRVMessagingPendingTopicsList::archive() const {
    ns::Array batches;
    {
        std::lock_guard lock(mutex_);
        for (const auto& batch : topicBatches_) batches.emplace_back(batch->encode());
    }
    return ns::keyed_archive::archiveRoot(
        kArchiveClassName, ns::Dictionary{{"ts", ns::Value(ns::Date{ns::Clock::nowSeconds()})},
                                          {"batches", ns::Value(std::move(batches))}});
}

std::shared_ptr<QRVMessagingPendingTopicsList> QRVMessagingPendingTopicsList::unarchive(const ns::Data& archive) {
    auto root = ns::keyed_archive::unarchiveRoot(archive);
    if (!root || root->className != kArchiveClassName) return nullptr;
    // Each batch and topic is taken out one by one: a list naming them from
    // more places than it could hold written out is not one this class made.
    if (!ns::keyed_archive::expandsWithinReason(root->members, archive.size())) return nullptr;
    auto list = std::make_shared<QRVMessagingPendingTopicsList>();
    if (auto ts = root->members.find("ts"); ts != root->members.end() && ts->second.isDate()) {
        list->archiveDate_ = ts->second.asDate();
    }
    if (auto batches = root->members.find("batches"); batches != root->members.end() && batches->second.isArray()) {
        for (const auto& archived : batches->second.asArray()) {
            if (auto batch = QRVMessagingTopicBatch::decode(archived)) list->topicBatches_.push_back(std::move(batch));
        }
    }
    pruneTopicBatches(list->topicBatches_);
    return list;
}
