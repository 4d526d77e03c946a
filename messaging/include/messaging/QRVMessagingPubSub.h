#pragma once
// Topic subscriptions: the messaging object validates a topic and hands it
// here; it is queued in the persisted pending list, and when the list may
// proceed (a default messaging token is known) each topic of the current
// batch goes through the channel client to the registrar, which performs
// the HTTP request to the topic registration service.
//
// A valid topic is "/topics/" followed by one or more of letters, digits,
// "-", "_", ".", "~" and "%".

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "messaging/QRVMessagingPendingTopicsList.h"
#include "platform/value.h"

class QRVMessagingClient;

class QRVMessagingPubSub : public QRVMessagingPendingTopicsListDelegate,
                           public std::enable_shared_from_this<QRVMessagingPubSub> {
public:
    // The default messaging token. It is read where the messaging object
    // calls in (the main thread, where the token is set) and the copy is
    // what the list's background queue uses.
    using DefaultTokenProvider = std::function<std::string()>;

    // Keeps the client and restores the pending list from user defaults.
    // The token is the messaging object's default token unless a provider
    // is given.
    static std::shared_ptr<QRVMessagingPubSub> initWithClient(std::shared_ptr<QRVMessagingClient> client,
                                                              DefaultTokenProvider defaultToken = {});

    const std::shared_ptr<QRVMessagingClient>& client() const { return client_; }
    const std::shared_ptr<QRVMessagingPendingTopicsList>& pendingTopicUpdates() const { return pendingTopicUpdates_; }

    // Normalized topics; no result reaches the caller.
    void subscribeToTopic(const std::string& topic);
    void unsubscribeFromTopic(const std::string& topic);
    // Resumes pending work once a default token is known.
    void scheduleSync(bool immediately);

    using Handler = QRVMessagingTopicOperationCompletion;
    // Error 3004 without a client, 3003 for an invalid topic; options that
    // are not string to string are trimmed to those that are.
    void subscribeWithToken(const std::string& token, const std::string& topic, const ns::Dictionary& options,
                            Handler handler);
    void unsubscribeWithToken(const std::string& token, const std::string& topic, const ns::Dictionary& options,
                              Handler handler);

    // QRVMessagingPendingTopicsListDelegate.
    void pendingTopicsListRequestedUpdateForTopic(QRVMessagingPendingTopicsList& list, const std::string& topic,
                                                  QRVMessagingTopicAction action,
                                                  QRVMessagingTopicOperationCompletion completion) override;
    void pendingTopicsListDidUpdate(QRVMessagingPendingTopicsList& list) override;
    bool pendingTopicsListCanRequestTopicUpdates(QRVMessagingPendingTopicsList& list) override;

    // "/topics/" + topic unless it already starts with it.
    static std::string addPrefixToTopic(const std::string& topic);
    static bool hasTopicsPrefix(const std::string& topic);
    // The whole string must match "/topics/([a-zA-Z0-9-_.~%]+)".
    static bool isValidTopicWithPrefix(const std::string& topic);

private:
    QRVMessagingPubSub(std::shared_ptr<QRVMessagingClient> client, DefaultTokenProvider defaultToken);
    void restorePendingTopicsList();
    void archivePendingTopicsList(QRVMessagingPendingTopicsList& list);
    void updateSubscription(const std::string& token, const std::string& topic, const ns::Dictionary& options,
                            bool shouldDelete, Handler handler);

    void refreshDefaultToken();
    std::string defaultToken() const;

    std::shared_ptr<QRVMessagingClient> client_;
    DefaultTokenProvider defaultTokenProvider_;
    mutable std::mutex tokenMutex_;
    std::string defaultToken_;
    std::shared_ptr<QRVMessagingPendingTopicsList> pendingTopicUpdates_;
};
