#pragma once
// What the messaging object answers when the application hands it a remote
// notification: 0 for an empty payload, 1 for every other one.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/value.h"

enum QRVMessagingMessageStatus : int64_t {
    QRVMessagingMessageStatusUnknown = 0,
    QRVMessagingMessageStatusNew = 1,
};

class QRVMessagingMessageInfo : public ns::Object {
public:
    explicit QRVMessagingMessageInfo(int64_t status) : status_(status) {}
    static std::shared_ptr<QRVMessagingMessageInfo> initWithStatus(int64_t status) {
        return std::make_shared<QRVMessagingMessageInfo>(status);
    }
    int64_t status() const { return status_; }
    std::string className() const override { return "QRVMessagingMessageInfo"; }

private:
    int64_t status_;
};
