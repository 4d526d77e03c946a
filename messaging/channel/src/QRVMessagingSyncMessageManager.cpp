#include "messaging/QRVMessagingSyncMessageManager.h"

#include "messaging/QRVMessagingLogger.h"
#include "messaging/QRVMessagingUtilities.h"
#include "platform/dispatch.h"

std::shared_ptr<QRVMessagingSyncMessageManager> QRVMessagingSyncMessageManager::initWithRmqManager(
    std::shared_ptr<QRVMessagingRmqManager> rmqManager) {
    return std::make_shared<QRVMessagingSyncMessageManager>(std::move(rmqManager));
}

int64_t QRVMessagingSyncMessageManager::expirationTimeForSyncMessage(const ns::Dictionary& message) {
    int64_t ttl = kQRVMessagingSyncMessageDefaultTTL;
    if (auto entry = message.find(kQRVMessagingSyncMessageTTLKey); entry != message.end()) {
        ttl = QRVMessagingIntegerValue(entry->second);
    }
    return QRVMessagingCurrentTimestampInSeconds() + ttl;
}

bool QRVMessagingSyncMessageManager::didReceiveAPNSSyncMessage(const ns::Dictionary& message) {
    return didReceiveSyncMessage(message, true, false);
}

bool QRVMessagingSyncMessageManager::didReceiveMCSSyncMessage(const ns::Dictionary& message) {
    return didReceiveSyncMessage(message, false, true);
}

bool QRVMessagingSyncMessageManager::didReceiveSyncMessage(const ns::Dictionary& message, bool viaAPNS, bool viaMCS) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    std::string rmqID;
    if (auto entry = message.find(kQRVMessagingSyncMessageIDKey); entry != message.end() && entry->second.isString()) {
        rmqID = entry->second.asString();
    }
    if (rmqID.empty()) {
        QRVMessagingLoggerError(16002, "Invalid nil rmqID for sync message.");
        return false;
    }
    auto record = rmqManager_->querySyncMessageWithRmqID(rmqID);
    if (!record) {
        if (QRVMessagingGetFreeDiskSpaceInMB() == 0) return false;
        ns::ErrorRef error;
        if (!rmqManager_->saveSyncMessageWithRmqID(rmqID, expirationTimeForSyncMessage(message), viaAPNS, viaMCS,
                                                   &error)) {
            QRVMessagingLoggerError(16003, "Failed to save sync message with rmqID %@", rmqID);
        } else {
            QRVMessagingLoggerInfo(16004, "Added sync message to cache: %@", rmqID);
        }
        return false;
    }
    if (viaAPNS && !record->apnsReceived()) {
        ns::ErrorRef error;
        if (rmqManager_->updateSyncMessageViaAPNSWithRmqID(rmqID, &error)) {
            record->setAPNSReceived(true);
        } else {
            QRVMessagingLoggerError(16005, "Failed to update APNS state for sync message %@", rmqID);
        }
    } else if (viaMCS && !record->mcsReceived()) {
        ns::ErrorRef error;
        if (rmqManager_->updateSyncMessageViaMCSWithRmqID(rmqID, &error)) {
            record->setMCSReceived(true);
        } else {
            QRVMessagingLoggerError(16006, "Failed to update MCS state for sync message %@", rmqID);
        }
    }
    if (record->apnsReceived() && record->mcsReceived()) {
        if (!rmqManager_->deleteSyncMessageWithRmqID(rmqID)) {
            QRVMessagingLoggerError(16007, "Failed to delete sync message %@", rmqID);
        } else {
            QRVMessagingLoggerInfo(16008, "Successfully deleted sync message from cache %@", rmqID);
        }
    }
    return true;
}

void QRVMessagingSyncMessageManager::removeExpiredSyncMessages() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    ns::ErrorRef error;
    const int deleted = rmqManager_->deleteExpiredOrFinishedSyncMessages(&error);
    if (error) {
        QRVMessagingLoggerError(16000, "Error while deleting expired sync messages %@", error);
    } else if (deleted > 0) {
        QRVMessagingLoggerDebug(16001, "Successfully deleted %d sync messages from store", deleted);
    }
}
