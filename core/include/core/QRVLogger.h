#pragma once
// The SDK's logger: one filter for every part, one serial queue that writes
// "<service>[<code>] <message>" lines to the system log.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/format.h"

// Levels, as the system log numbers them.
enum QRVLoggerLevel : int64_t {
    QRVLoggerLevelError = 3,
    QRVLoggerLevelWarning = 4,
    QRVLoggerLevelNotice = 5,
    QRVLoggerLevelInfo = 6,
    QRVLoggerLevelDebug = 7,
    QRVLoggerLevelMin = QRVLoggerLevelError,
    QRVLoggerLevelMax = QRVLoggerLevelDebug,
};

// Service tags.
inline constexpr const char* kQRVLoggerCore = "[Quorvane/Core]";
inline constexpr const char* kQRVLoggerAuth = "[Quorvane/Auth]";
inline constexpr const char* kQRVLoggerDatabase = "[Quorvane/Database]";
inline constexpr const char* kQRVLoggerStorage = "[Quorvane/Storage]";
inline constexpr const char* kQRVLoggerInstanceID = "[Quorvane/InstanceID]";
inline constexpr const char* kQRVLoggerMessaging = "[Quorvane/Messaging]";
inline constexpr const char* kQRVLoggerAnalytics = "[Quorvane/Analytics]";
inline constexpr const char* kQRVLoggerNetwork = "[Quorvane/Network]";

// Launch arguments that switch the SDK-wide debug mode.
inline constexpr const char* kQRVDebugEnabledArgument = "-QRVDebugEnabled";
inline constexpr const char* kQRVDebugDisabledArgument = "-QRVDebugDisabled";

// Writes one line unless the filter drops it: the line passes in SDK-wide
// debug mode, or when `level` is at most the logger level, or in analytics
// debug mode when `service` is the analytics tag. The message is formatted on
// the caller's thread and written asynchronously on the logger's queue, so
// lines keep the order in which each thread logged them.
void QRVLogBasicV(QRVLoggerLevel level, std::string_view service, std::string_view messageCode,
                  std::string_view format, std::span<const ns::FormatArg> args);

template <class... A>
void QRVLogBasic(QRVLoggerLevel level, std::string_view service, std::string_view messageCode,
                 std::string_view format, const A&... args) {
    std::array<ns::FormatArg, sizeof...(A)> list{ns::FormatArg(args)...};
    QRVLogBasicV(level, service, messageCode, format, std::span<const ns::FormatArg>(list.data(), list.size()));
}

template <class... A>
void QRVLogError(std::string_view service, std::string_view code, std::string_view format, const A&... args) {
    QRVLogBasic(QRVLoggerLevelError, service, code, format, args...);
}
template <class... A>
void QRVLogWarning(std::string_view service, std::string_view code, std::string_view format, const A&... args) {
    QRVLogBasic(QRVLoggerLevelWarning, service, code, format, args...);
}
template <class... A>
void QRVLogNotice(std::string_view service, std::string_view code, std::string_view format, const A&... args) {
    QRVLogBasic(QRVLoggerLevelNotice, service, code, format, args...);
}
template <class... A>
void QRVLogInfo(std::string_view service, std::string_view code, std::string_view format, const A&... args) {
    QRVLogBasic(QRVLoggerLevelInfo, service, code, format, args...);
}
template <class... A>
void QRVLogDebug(std::string_view service, std::string_view code, std::string_view format, const A&... args) {
    QRVLogBasic(QRVLoggerLevelDebug, service, code, format, args...);
}

// YES in SDK-wide debug mode, or in analytics debug mode when
// `analyticsComponent` is YES; otherwise YES exactly when `level` is at most
// the logger level (notice by default).
bool QRVIsLoggableLevel(QRVLoggerLevel level, bool analyticsComponent);

// Sets or clears the analytics debug flag (a YES is ignored in an app-store
// build) and opens the system log filter to all levels; asynchronously on
// the logger's queue.
void QRVSetAnalyticsDebugMode(bool analyticsDebugMode);

// The logger level (clamped to error...debug).
void QRVSetLoggerLevel(QRVLoggerLevel level);
QRVLoggerLevel QRVGetLoggerLevel();

// SDK-wide debug mode. Decided once from the launch arguments ("-QRVDebugEnabled"
// turns it on, "-QRVDebugDisabled" keeps it off, the latter winning), and
// settable for the program and tests.
bool QRVIsDebugModeEnabled();
void QRVSetDebugModeEnabled(bool enabled);

// Waits until every line logged so far has been written.
void QRVLoggerFlush();

// Forgets the launch-argument decision, the level and the debug flags, so a
// test starts from the defaults.
void QRVLoggerResetForTesting();
