#pragma once
// One received "sync" message as the reliable-message store keeps it: its
// message id, when the record may go, and the paths (APNs, the direct
// channel) it has arrived by. A plain value without a lock: the store makes a
// fresh one for every query.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/value.h"

class QRVMessagingPersistentSyncMessage : public ns::Object {
public:
    // Both paths NO.
    QRVMessagingPersistentSyncMessage(std::string rmqID, int64_t expirationTime)
        : rmqID_(std::move(rmqID)), expirationTime_(expirationTime) {}

    const std::string& rmqID() const { return rmqID_; }
    // Seconds since 1970.
    int64_t expirationTime() const { return expirationTime_; }
    bool apnsReceived() const { return apnsReceived_; }
    bool mcsReceived() const { return mcsReceived_; }
    void setAPNSReceived(bool received) { apnsReceived_ = received; }
    void setMCSReceived(bool received) { mcsReceived_ = received; }

    std::string className() const override { return "QRVMessagingPersistentSyncMessage"; }
    std::string description() const override;

private:
    std::string rmqID_;
    int64_t expirationTime_;
    bool apnsReceived_ = false;
    bool mcsReceived_ = false;
};
