#include "messaging/QRVMessagingRmqManager.h"

#include <algorithm>

#include "messaging/Parlo.h"
#include "messaging/QRVMessagingConstants.h"
#include "messaging/QRVMessagingLogger.h"
#include "messaging/QRVMessagingUtilities.h"
#include "platform/dispatch.h"
#include "platform/format.h"

std::shared_ptr<QRVMessagingRmqManager> QRVMessagingRmqManager::initWithDatabaseName(const std::string& databaseName) {
    return std::make_shared<QRVMessagingRmqManager>(databaseName);
}

QRVMessagingRmqManager::QRVMessagingRmqManager(const std::string& databaseName)
    : rmq2Store_(std::make_unique<QRVMessagingRmq2PersistentStore>(databaseName)) {}

void QRVMessagingRmqManager::loadRmqId() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (rmqIdLoaded_) return;
    // The saved counter is written only when acknowledgements empty the
    // table up to or past it, so an old unacknowledged id can sit below ids
    // already sent: start above both, never at an id the server has seen.
    // A store that cannot tell now (locked by another program) is asked
    // again at the next id: its zero is no record.
    auto highest = rmq2Store_->highestRmqIdOnRecord();
    if (!highest) {
        // Ids go on from 1 meanwhile; 0 is no id.
        rmqId_ = std::max<int64_t>(rmqId_, 0);
        return;
    }
    rmqId_ = std::max(rmqId_, *highest + 1);
    rmqIdLoaded_ = true;
}

int64_t QRVMessagingRmqManager::nextRmqId() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    loadRmqId();
    return ++rmqId_;
}

bool QRVMessagingRmqManager::saveRmqMessage(google::protobuf::Message& message, ns::ErrorRef* error) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    std::string rmqId = QRVMessagingGetRmq2Id(message);
    if (rmqId.empty()) {
        rmqId = ns::format("%lld", static_cast<long long>(nextRmqId()));
        QRVMessagingSetRmq2Id(message, rmqId);
    }
    const auto number = QRVMessagingInt64FromString(rmqId);
    const std::string bytes = message.SerializeAsString();
    return rmq2Store_->saveMessageWithRmqId(number.value_or(0), QRVMessagingGetTagForProto(message),
                                            ns::Data(bytes.begin(), bytes.end()), error);
}

bool QRVMessagingRmqManager::saveS2dMessageWithRmqId(const std::string& rmqId) {
    return rmq2Store_->saveUnackedS2dMessageWithRmqId(rmqId);
}

std::vector<std::string> QRVMessagingRmqManager::unackedS2dRmqIds() { return rmq2Store_->unackedS2dRmqIds(); }

void QRVMessagingRmqManager::removeS2dIds(const std::vector<std::string>& rmqIds) {
    rmq2Store_->deleteMessagesFromTable(kQRVMessagingS2dRmqIdsTable, rmqIds);
}

int QRVMessagingRmqManager::removeRmqMessagesWithRmqIds(const std::vector<std::string>& rmqIds) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (rmqIds.empty()) return 0;
    int64_t highest = 0;
    for (const std::string& rmqId : rmqIds) {
        highest = std::max(highest, QRVMessagingInt64FromString(rmqId).value_or(0));
    }
    const int64_t next = highest + 1;
    // The counter and the deletion are one commit: rows gone without the
    // counter past them would let a later launch hand out ids the server has
    // already seen. A counter that cannot be written keeps the rows (they
    // are sent again) rather than lose the ids' high-water mark.
    // Rows a commit that failed (another program's lock) rolled back are no
    // deletion.
    int deleted = 0;
    const bool committed = rmq2Store_->writeInOneCommit([&] {
        if (next >= rmqId_ && !rmq2Store_->updateLastOutgoingRmqId(next)) return false;
        deleted = rmq2Store_->deleteMessagesFromTable(kQRVMessagingOutgoingRmqTable, rmqIds);
        return true;
    });
    return committed ? deleted : 0;
}

void QRVMessagingRmqManager::scanWithRmqMessageHandler(const RmqMessageHandler& rmqMessageHandler,
                                                       const DataMessageHandler& dataMessageHandler) {
    if (!rmqMessageHandler && !dataMessageHandler) return;
    rmq2Store_->scanOutgoingRmqMessagesWithHandler([&](int64_t rmqId, int8_t tag, const ns::Data& data) {
        if (rmqMessageHandler) rmqMessageHandler(rmqId, tag, data);
        if (tag == kQRVMessagingProtoTagDataMessageStanza && dataMessageHandler) {
            auto message = std::make_shared<ParloDataMessageStanza>();
            if (message->ParseFromArray(data.data(), int(data.size()))) dataMessageHandler(rmqId, message);
        }
    });
}

std::shared_ptr<QRVMessagingPersistentSyncMessage> QRVMessagingRmqManager::querySyncMessageWithRmqID(
    const std::string& rmqID) {
    return rmq2Store_->querySyncMessageWithRmqID(rmqID);
}

bool QRVMessagingRmqManager::saveSyncMessageWithRmqID(const std::string& rmqID, int64_t expirationTime,
                                                      bool apnsReceived, bool mcsReceived, ns::ErrorRef* error) {
    return rmq2Store_->saveSyncMessageWithRmqID(rmqID, expirationTime, apnsReceived, mcsReceived, error);
}

bool QRVMessagingRmqManager::updateSyncMessageViaAPNSWithRmqID(const std::string& rmqID, ns::ErrorRef* error) {
    return rmq2Store_->updateSyncMessageViaAPNSWithRmqID(rmqID, error);
}

bool QRVMessagingRmqManager::updateSyncMessageViaMCSWithRmqID(const std::string& rmqID, ns::ErrorRef* error) {
    return rmq2Store_->updateSyncMessageViaMCSWithRmqID(rmqID, error);
}

bool QRVMessagingRmqManager::deleteSyncMessageWithRmqID(const std::string& rmqID) {
    return rmq2Store_->deleteSyncMessageWithRmqID(rmqID);
}

int QRVMessagingRmqManager::deleteExpiredOrFinishedSyncMessages(ns::ErrorRef* error) {
    return rmq2Store_->deleteExpiredOrFinishedSyncMessages(error);
}
