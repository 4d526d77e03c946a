#include "messaging/QRVMessagingLog.h"

#include "core/QRVLogger.h"
#include "platform/application.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/runtime.h"

namespace {

constexpr const char* kAnalyticsClass = "QRVAnalytics";
constexpr const char* kLogEventSelector = "logInternalEventWithOrigin:name:parameters:";
constexpr const char* kUserPropertySelector = "setInternalUserProperty:forName:";
constexpr const char* kOrigin = "qdx";
constexpr const char* kOpenEvent = "_no";
constexpr const char* kForegroundEvent = "_nf";
constexpr const char* kCampaignEvent = "_cmp";
constexpr const char* kLastNotificationProperty = "_ln";

constexpr const char* kComposerIDKey = "ondrix.c.a.c_id";
constexpr const char* kComposerLabelKey = "ondrix.c.a.c_l";
constexpr const char* kSendTimestampKey = "ondrix.c.a.ts";
constexpr const char* kDeviceTimeKey = "ondrix.c.a.udt";
constexpr const char* kTrackConversionsKey = "ondrix.c.a.tc";

// These lines carry instance identity's tag and codes: the notification
// analytics reports through instance identity's logger, which messaging
// reaches without linking to it.
template <class... A>
void logDebug(long code, std::string_view format, const A&... args) {
    QRVLogBasic(QRVLoggerLevelDebug, kQRVLoggerInstanceID, ns::format("I-IID%06ld", code), format, args...);
}
template <class... A>
void logError(long code, std::string_view format, const A&... args) {
    QRVLogBasic(QRVLoggerLevelError, kQRVLoggerInstanceID, ns::format("I-IID%06ld", code), format, args...);
}

const std::string* nonEmptyString(const ns::Dictionary& d, const char* key) {
    auto it = d.find(key);
    if (it == d.end() || !it->second.isString() || it->second.asString().empty()) return nullptr;
    return &it->second.asString();
}

bool analyticsResponds(const char* selector) {
    const ns::Class* cls = ns::Runtime::lookUpClass(kAnalyticsClass);
    return cls && cls->classRespondsTo(selector);
}

}  // namespace

void QRVMessagingLog::logMessage(const ns::Dictionary& notification) {
    if (!canLogNotification(notification)) return;
    switch (ns::Application::shared()->applicationState()) {
        case ns::Application::State::Active: logForegroundNotification(notification); break;
        case ns::Application::State::Inactive: logOpenNotification(notification); break;
        case ns::Application::State::Background: break;
    }
}

bool QRVMessagingLog::canLogNotification(const ns::Dictionary& notification) {
    if (notification.empty()) return false;
    auto aps = notification.find("aps");
    if (aps == notification.end() || !aps->second.isDictionary()) return false;
    const ns::Dictionary& apsDict = aps->second.asDictionary();
    if (!apsDict.contains("alert") && !apsDict.contains("sound") && !apsDict.contains("badge")) return false;
    return nonEmptyString(notification, kComposerIDKey) != nullptr;
}

void QRVMessagingLog::logOpenNotification(const ns::Dictionary& notification) { logEvent(kOpenEvent, notification); }

void QRVMessagingLog::logForegroundNotification(const ns::Dictionary& notification) {
    logEvent(kForegroundEvent, notification);
}

void QRVMessagingLog::logEvent(const std::string& event, const ns::Dictionary& notification) {
    if (notification.empty()) {
        logDebug(17000, "No data found in notification. Will not log any analytics events.");
        return;
    }
    const std::string* composerID = nonEmptyString(notification, kComposerIDKey);
    if (!composerID) {
        logDebug(17001, "Nil composer id for event: %@. Do not log message.", event);
        return;
    }
    ns::Dictionary parameters{{"_nmid", ns::Value(*composerID)}};
    if (const std::string* label = nonEmptyString(notification, kComposerLabelKey)) parameters["_nmn"] = *label;
    if (auto from = notification.find("from");
        from != notification.end() && from->second.isString() &&
        from->second.asString().find("/topics/") != std::string::npos) {
        parameters["_nt"] = from->second;
    }
    if (auto ts = notification.find(kSendTimestampKey); ts != notification.end() && ts->second.intValue() != 0) {
        parameters["_nmt"] = ns::Value(ts->second.intValue());
    }
    if (auto udt = notification.find(kDeviceTimeKey); udt != notification.end()) parameters["_ndt"] = udt->second;

    auto tc = notification.find(kTrackConversionsKey);
    if (tc != notification.end() && tc->second.intValue() == 1 && event == kOpenEvent) {
        if (analyticsResponds(kUserPropertySelector)) {
            ns::Runtime::sendClass(kAnalyticsClass, kUserPropertySelector,
                                   {ns::Value(*composerID), ns::Value(kLastNotificationProperty)});
            const ns::Dictionary campaign{{"source", ns::Value("Quorvane")},
                                          {"medium", ns::Value("notification")},
                                          {"campaign", ns::Value(*composerID)}};
            logAnalyticsEventWithOrigin(kOrigin, kCampaignEvent, campaign);
            logDebug(17003, "%@: Sending event: %@ params: %@", "QRVMessagingLog", kCampaignEvent, ns::Value(campaign));
        } else {
            logDebug(17004, "%@: Failed to set user property: %@ value: %@", "QRVMessagingLog",
                     kLastNotificationProperty, *composerID);
        }
    }
    logAnalyticsEventWithOrigin(kOrigin, event, parameters);
    logDebug(17005, "%@: Sending event: %@ params: %@", "QRVMessagingLog", event, ns::Value(parameters));
}

void QRVMessagingLog::logAnalyticsEventWithOrigin(const std::string& origin, const std::string& name,
                                                  const ns::Dictionary& parameters) {
    if (!analyticsResponds(kLogEventSelector)) {
        logDebug(17008, "%@: Missing selector %@, failed to send event to Analytics.", "QRVMessagingLog",
                 kLogEventSelector);
        return;
    }
    try {
        ns::Runtime::sendClass(kAnalyticsClass, kLogEventSelector,
                               {ns::Value(origin), ns::Value(name), ns::Value(parameters)});
    } catch (const ns::Exception&) {
        logError(17009, "Encountered exception sending notification event to Analytics.");
    }
}

void QRVMessagingLog::registerClass() {
    auto& cls = ns::Runtime::registerClass("QRVMessagingLog");
    cls.addClassMethod("logMessage:", [](ns::Object*, const std::vector<ns::Value>& args) {
        if (!args.empty() && args[0].isDictionary()) logMessage(args[0].asDictionary());
        return ns::Value();
    });
}

NS_REGISTER_LOAD_HOOK(40, "QRVMessagingLog", [] { QRVMessagingLog::registerClass(); });
