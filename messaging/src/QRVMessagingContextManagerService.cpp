#include "messaging/QRVMessagingContextManagerService.h"

#include <cstdlib>
#include <optional>

#include "messaging/QRVMessagingLogger.h"
#include "platform/clock.h"
#include "platform/date_formatter.h"
#include "platform/dispatch.h"
#include "platform/sandbox.h"
#include "uikit/UserNotifications.h"

namespace {

// The period after which a message whose start has come but whose end has
// not is shown.
constexpr double kLocalNotificationDelayAfterStart = 10;

const std::string* nonEmptyString(const ns::Dictionary& message, const char* key) {
    auto it = message.find(key);
    if (it == message.end() || !it->second.isString() || it->second.asString().empty()) return nullptr;
    return &it->second.asString();
}

// -[NSString integerValue] and -[NSNumber integerValue]: the leading digits
// of a text, 0 when there are none.
int64_t integerValue(const ns::Value& value) {
    if (value.isString()) return std::strtoll(value.asString().c_str(), nullptr, 10);
    return value.intValue();
}

// Local times are read in the device's time zone, as the person set it.
std::optional<ns::Date> parseLocalTime(const std::string& text) {
    ns::DateFormatter formatter("yyyy-MM-dd HH:mm:ss");
    formatter.setTimeZoneNamed(ns::Sandbox::current()->deviceProfile().timeZone);
    return formatter.dateFromString(text);
}

}  // namespace

bool QRVMessagingContextManagerService::isContextManagerMessage(const ns::Dictionary& message) {
    if (nonEmptyString(message, kQRVMessagingContextManagerLocalTimeStart)) return true;
    QRVMessagingLoggerDebug(6000, "Received message missing local start time, dropped.");
    return false;
}

bool QRVMessagingContextManagerService::handleContextManagerMessage(const ns::Dictionary& message) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    const std::string* start = nonEmptyString(message, kQRVMessagingContextManagerLocalTimeStart);
    if (!start) return false;
    QRVMessagingLoggerDebug(6001, "%@ Received context manager message with local time %@", "QRVMessagingAnalytics",
                            *start);
    return handleContextManagerLocalTimeMessage(message);
}

bool QRVMessagingContextManagerService::handleContextManagerLocalTimeMessage(const ns::Dictionary& message) {
    auto startValue = message.find(kQRVMessagingContextManagerLocalTimeStart);
    const std::string startText =
        startValue != message.end() && startValue->second.isString() ? startValue->second.asString() : std::string();
    const std::optional<ns::Date> start = parseLocalTime(startText);
    if (!start) {
        QRVMessagingLoggerError(6002, "Invalid local start date format %@. Message dropped", startText);
        return false;
    }
    const ns::Date now{ns::Clock::nowSeconds()};
    if (now.secondsSince1970 < start->secondsSince1970) {
        scheduleLocalNotificationForMessage(message, *start);
        return true;
    }
    auto endValue = message.find(kQRVMessagingContextManagerLocalTimeEnd);
    if (endValue == message.end() || endValue->second.isNull()) {
        QRVMessagingLoggerInfo(6003, "No end date specified for message, start date elapsed. Message dropped.");
        return true;
    }
    const std::string endText = endValue->second.isString() ? endValue->second.asString() : std::string();
    // An end that cannot be read counts as one still to come.
    const std::optional<ns::Date> end = parseLocalTime(endText);
    if (end && end->secondsSince1970 < now.secondsSince1970) {
        QRVMessagingLoggerInfo(6005, "End date %@ has already passed. Message dropped.", endText);
        return true;
    }
    scheduleLocalNotificationForMessage(message, ns::Date{now.secondsSince1970 + kLocalNotificationDelayAfterStart});
    return true;
}

void QRVMessagingContextManagerService::scheduleLocalNotificationForMessage(const ns::Dictionary& message,
                                                                            ns::Date date) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto notification = std::make_shared<ns::UILocalNotification>();
    notification->timeZone = ns::Sandbox::current()->deviceProfile().timeZone;
    notification->fireDate = date;
    if (const std::string* body = nonEmptyString(message, kQRVMessagingContextManagerBodyKey)) {
        notification->alertBody = *body;
    }
    if (const std::string* title = nonEmptyString(message, kQRVMessagingContextManagerTitleKey)) {
        notification->alertTitle = *title;
    }
    if (auto sound = message.find(kQRVMessagingContextManagerSoundKey);
        sound != message.end() && sound->second.isString()) {
        notification->soundName = sound->second.asString();
    }
    if (auto badge = message.find(kQRVMessagingContextManagerBadgeKey); badge != message.end()) {
        notification->applicationIconBadgeNumber = integerValue(badge->second);
    }
    if (auto category = message.find(kQRVMessagingContextManagerCategoryKey);
        category != message.end() && category->second.isString()) {
        notification->category = category->second.asString();
    }
    ns::Dictionary userInfo = parseDataFromMessage(message);
    if (!userInfo.empty()) notification->userInfo = std::move(userInfo);
    ns::scheduleLocalNotification(notification);
}

ns::Dictionary QRVMessagingContextManagerService::parseDataFromMessage(const ns::Dictionary& message) {
    ns::Dictionary data;
    for (const auto& [key, value] : message) {
        if (key == kQRVMessagingContextManagerContentAvailableKey) continue;
        if (key.starts_with(kQRVMessagingContextManagerPrefix)) continue;
        data.emplace(key, value);
    }
    return data;
}
