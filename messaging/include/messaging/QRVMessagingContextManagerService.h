#pragma once
// Turns a message carrying local-time keys ("ondrix.c.cm.lt_start" and
// "ondrix.c.cm.lt_end", "yyyy-MM-dd HH:mm:ss" in the device's time zone) into
// a local notification scheduled with the shared application. Class methods
// only; main thread.

#include <string>

#include "platform/value.h"

inline constexpr const char* kQRVMessagingContextManagerLocalTimeStart = "ondrix.c.cm.lt_start";
inline constexpr const char* kQRVMessagingContextManagerLocalTimeEnd = "ondrix.c.cm.lt_end";
inline constexpr const char* kQRVMessagingContextManagerPrefix = "ondrix.c.cm.";
inline constexpr const char* kQRVMessagingContextManagerBodyKey = "kdx.notification.body";
inline constexpr const char* kQRVMessagingContextManagerTitleKey = "kdx.notification.title";
inline constexpr const char* kQRVMessagingContextManagerSoundKey = "kdx.notification.sound";
inline constexpr const char* kQRVMessagingContextManagerBadgeKey = "kdx.notification.badge";
inline constexpr const char* kQRVMessagingContextManagerCategoryKey = "kdx.notification.click_action";
inline constexpr const char* kQRVMessagingContextManagerContentAvailableKey = "kdx.notification.content-available";

class QRVMessagingContextManagerService {
public:
    QRVMessagingContextManagerService() = delete;

    // Whether the message names a local start time (logs 6000 when not).
    static bool isContextManagerMessage(const ns::Dictionary& message);
    // Schedules what a local-time message asks for; NO for a message without
    // a start time or whose start time cannot be read.
    static bool handleContextManagerMessage(const ns::Dictionary& message);
    static bool handleContextManagerLocalTimeMessage(const ns::Dictionary& message);
    static void scheduleLocalNotificationForMessage(const ns::Dictionary& message, ns::Date date);
    // The message without "kdx.notification.content-available" and the
    // "ondrix.c.cm." keys: the scheduled notification's userInfo.
    static ns::Dictionary parseDataFromMessage(const ns::Dictionary& message);
};
