#pragma once
// What the measurement engine asks of the session reporter. The reporter
// (QRVASessionReporter) lives in the analytics API folder above the engine;
// that library installs a factory in the engine bridge (QRVAEngineBridge.h)
// when the program loads, and the engine makes one reporter with it during
// its first start. Without a
// factory the engine has no session reporter.
//
// Threads: any thread may call these. The reporter's timers live on the main
// queue, so it carries each change out there (at once when called on the
// main thread, otherwise queued), never on the caller's queue.

#include <functional>
#include <memory>

class QRVAPersistedConfig;

class QRVASessionReporting {
public:
    virtual ~QRVASessionReporting() = default;

    // Whether "_s" and "_e" are logged; switching on arms what is pending.
    virtual void setReportingEnabled(bool enabled) = 0;
    // Foreground seconds before a session counts (negative is stored as 0).
    virtual void setMinimumSessionInterval(double seconds) = 0;
    // Seconds of inactivity after which a new session starts (negative is
    // stored as 0).
    virtual void setTimeoutSessionInterval(double seconds) = 0;
};

// Makes the reporter over the engine's persisted state.
using QRVASessionReporterFactory =
    std::function<std::shared_ptr<QRVASessionReporting>(std::shared_ptr<QRVAPersistedConfig> persistedConfig)>;
