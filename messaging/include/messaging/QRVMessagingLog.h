#pragma once
// Reports a notification shown in the foreground ("_nf") or opened by the
// person ("_no") to analytics, which it reaches only by class name
// ("QRVAnalytics"): without analytics in the program the events are dropped
// with a debug line and the message is still handled. The messaging object
// finds this class by name too ("QRVMessagingLog", "logMessage:"). Lines are
// written under instance identity's service tag. Class methods only; main
// thread.

#include <string>

#include "platform/value.h"

class QRVMessagingLog {
public:
    QRVMessagingLog() = delete;

    static void logMessage(const ns::Dictionary& notification);
    static bool canLogNotification(const ns::Dictionary& notification);
    static void logOpenNotification(const ns::Dictionary& notification);
    static void logForegroundNotification(const ns::Dictionary& notification);
    static void logEvent(const std::string& event, const ns::Dictionary& notification);
    static void logAnalyticsEventWithOrigin(const std::string& origin, const std::string& name,
                                            const ns::Dictionary& parameters);

    // The runtime class (a load hook registers it).
    static void registerClass();
};
