#include "messaging/QRVMessagingRemoteMessage.h"

#include "platform/format.h"

QRVMessagingRemoteMessage::QRVMessagingRemoteMessage(const QRVMessagingRemoteMessage& other)
    : ns::Object(), appData_(other.appData_) {}

std::string QRVMessagingRemoteMessage::description() const {
    return ns::format("<QRVMessagingRemoteMessage appData=%@>", ns::Value(appData_));
}
