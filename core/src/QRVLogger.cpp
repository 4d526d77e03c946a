#include "core/QRVLogger.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "core/QRVAppEnvironmentUtil.h"
#include "platform/dispatch.h"
#include "platform/process_info.h"
#include "platform/system_log.h"

namespace {

struct LoggerState {
    std::atomic<int64_t> level{QRVLoggerLevelNotice};
    std::atomic<bool> analyticsDebugMode{false};
    std::atomic<bool> debugMode{false};
    std::mutex argumentsMutex;
    bool argumentsRead = false;
};

LoggerState& state() {
    static LoggerState* s = new LoggerState();  // never destroyed: logging may run during exit
    return *s;
}

ns::DispatchQueuePtr& loggerQueue() {
    static ns::DispatchQueuePtr* q = new ns::DispatchQueuePtr(ns::DispatchQueue::serial("com.ondrix.QRVLogger"));
    return *q;
}

// The launch arguments decide the SDK-wide debug mode once; a disabling
// argument wins over an enabling one.
void readLaunchArguments() {
    std::lock_guard lock(state().argumentsMutex);
    if (state().argumentsRead) return;
    state().argumentsRead = true;
    const auto args = ns::ProcessInfo::processInfo().arguments();
    bool enabled = std::find(args.begin(), args.end(), kQRVDebugEnabledArgument) != args.end();
    bool disabled = std::find(args.begin(), args.end(), kQRVDebugDisabledArgument) != args.end();
    if (enabled && !disabled) state().debugMode = true;
}

}  // namespace

bool QRVIsDebugModeEnabled() {
    readLaunchArguments();
    return state().debugMode;
}

void QRVSetDebugModeEnabled(bool enabled) {
    readLaunchArguments();
    state().debugMode = enabled;
}

bool QRVIsLoggableLevel(QRVLoggerLevel level, bool analyticsComponent) {
    if (QRVIsDebugModeEnabled()) return true;
    if (analyticsComponent && state().analyticsDebugMode) return true;
    return level <= state().level;
}

void QRVSetLoggerLevel(QRVLoggerLevel level) {
    state().level = std::clamp<int64_t>(level, QRVLoggerLevelMin, QRVLoggerLevelMax);
}

QRVLoggerLevel QRVGetLoggerLevel() { return QRVLoggerLevel(state().level.load()); }

void QRVSetAnalyticsDebugMode(bool analyticsDebugMode) {
    loggerQueue()->async([analyticsDebugMode] {
        // Debug output is never switched on in a build installed from the store.
        if (analyticsDebugMode && QRVAppEnvironmentUtil::isFromAppStore()) return;
        state().analyticsDebugMode = analyticsDebugMode;
        ns::SystemLog::setFilterLevel(QRVLoggerLevelDebug);
    });
}

void QRVLogBasicV(QRVLoggerLevel level, std::string_view service, std::string_view messageCode,
                  std::string_view format, std::span<const ns::FormatArg> args) {
    bool analytics = service == kQRVLoggerAnalytics;
    if (!QRVIsLoggableLevel(level, analytics)) return;
    std::string message = ns::vformat(format, args);
    std::string line;
    line.reserve(service.size() + messageCode.size() + message.size() + 3);
    line.append(service).append("[").append(messageCode).append("] ").append(message);
    loggerQueue()->async([level, line = std::move(line)] { ns::SystemLog::write(int(level), line); });
}

void QRVLoggerFlush() { loggerQueue()->sync([] {}); }

void QRVLoggerResetForTesting() {
    QRVLoggerFlush();
    state().level = QRVLoggerLevelNotice;
    state().analyticsDebugMode = false;
    state().debugMode = false;
    // Re-read the launch arguments on next use.
    std::lock_guard lock(state().argumentsMutex);
    state().argumentsRead = false;
}
