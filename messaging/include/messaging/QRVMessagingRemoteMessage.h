#pragma once
// A remote message handed to the messaging delegate: the data part of a
// downstream message or notification payload. The receiver builds them; the
// application only reads appData. A plain value holder with no queue and no
// lock of its own; the receiver hands it to the delegate on the main thread.

#include <memory>

#include "platform/value.h"

class QRVMessagingRemoteMessage : public ns::Object {
public:
    // An empty (never null) appData.
    QRVMessagingRemoteMessage() = default;
    // A copy of the other message's appData.
    explicit QRVMessagingRemoteMessage(const QRVMessagingRemoteMessage& other);
    static std::shared_ptr<QRVMessagingRemoteMessage> initWithMessage(const QRVMessagingRemoteMessage& other) {
        return std::make_shared<QRVMessagingRemoteMessage>(other);
    }
    QRVMessagingRemoteMessage& operator=(const QRVMessagingRemoteMessage&) = delete;

    const ns::Dictionary& appData() const { return appData_; }
    void setAppData(ns::Dictionary appData) { appData_ = std::move(appData); }

    std::string className() const override { return "QRVMessagingRemoteMessage"; }
    std::string description() const override;

private:
    ns::Dictionary appData_;
};
