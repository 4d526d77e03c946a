#pragma once
// The reliable-message manager: numbers outgoing channel messages and offers
// the store's operations to the channel (connection, client) and the data
// message manager. The outgoing id counter is loaded once from the store and
// only grows afterwards: it starts above both the highest stored outgoing id
// and the saved counter, so ids already sent are never reused after a
// restart.
//
// Main thread only (one SQLite connection without locks).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "messaging/QRVMessagingPersistentSyncMessage.h"
#include "messaging/QRVMessagingRmq2PersistentStore.h"
#include "platform/error.h"

namespace google::protobuf {
class Message;
}
namespace mobileparlo {
class DataMessageStanza;
}

// What the delayed message queue sees of the manager: a scan of the stored
// outgoing messages.
class QRVMessagingRmqScanner {
public:
    using RmqMessageHandler = QRVMessagingRmq2PersistentStore::RmqMessageHandler;
    // (reliable-message id, the stored data message).
    using DataMessageHandler =
        std::function<void(int64_t rmqId, const std::shared_ptr<mobileparlo::DataMessageStanza>& message)>;

    virtual ~QRVMessagingRmqScanner() = default;
    // Every stored outgoing message in ascending id order: the first handler
    // gets its bytes; data messages (tag 8) also go, parsed, to the second.
    // Nothing when both handlers are empty.
    virtual void scanWithRmqMessageHandler(const RmqMessageHandler& rmqMessageHandler,
                                           const DataMessageHandler& dataMessageHandler) = 0;
};

class QRVMessagingRmqManager : public QRVMessagingRmqScanner {
public:
    // Opens (creating) the store of `databaseName` ("rmq2" for the app).
    static std::shared_ptr<QRVMessagingRmqManager> initWithDatabaseName(const std::string& databaseName);
    explicit QRVMessagingRmqManager(const std::string& databaseName);

    // Once the store answers: the larger of the highest stored outgoing id
    // and the saved counter, plus one (never below the counter as it is).
    // A store that cannot answer leaves it for the next call.
    void loadRmqId();
    // The counter plus one, kept; loads it first when it is not yet.
    int64_t nextRmqId();
    int64_t rmqId() const { return rmqId_; }

    // Gives a message without a reliable-message id the next one, then
    // stores (id, tag, bytes).
    bool saveRmqMessage(google::protobuf::Message& message, ns::ErrorRef* error);
    bool saveS2dMessageWithRmqId(const std::string& rmqId);
    std::vector<std::string> unackedS2dRmqIds();
    void removeS2dIds(const std::vector<std::string>& rmqIds);
    // Deletes the outgoing messages; the saved counter becomes one above the
    // highest id given when that reaches the counter. The rows deleted (none
    // when the commit failed).
    int removeRmqMessagesWithRmqIds(const std::vector<std::string>& rmqIds);

    void scanWithRmqMessageHandler(const RmqMessageHandler& rmqMessageHandler,
                                   const DataMessageHandler& dataMessageHandler) override;

    std::shared_ptr<QRVMessagingPersistentSyncMessage> querySyncMessageWithRmqID(const std::string& rmqID);
    bool saveSyncMessageWithRmqID(const std::string& rmqID, int64_t expirationTime, bool apnsReceived,
                                  bool mcsReceived, ns::ErrorRef* error);
    bool updateSyncMessageViaAPNSWithRmqID(const std::string& rmqID, ns::ErrorRef* error);
    bool updateSyncMessageViaMCSWithRmqID(const std::string& rmqID, ns::ErrorRef* error);
    bool deleteSyncMessageWithRmqID(const std::string& rmqID);
    int deleteExpiredOrFinishedSyncMessages(ns::ErrorRef* error);

    QRVMessagingRmq2PersistentStore& rmq2Store() { return *rmq2Store_; }

private:
    std::unique_ptr<QRVMessagingRmq2PersistentStore> rmq2Store_;
    int64_t rmqId_ = -1;
    bool rmqIdLoaded_ = false;
};
