#pragma once
// Sessions and engagement: when a session starts ("_s") and how long the
// user spends in the app ("_e" with "_et", milliseconds), both logged as
// automatic events (origin "auto") through the facade.
//
// A session becomes pending (persisted "start_new_session") when the app is
// active and more wall-clock time than the timeout interval has passed since
// the last checkpoint (the last "_s" or "_e"). It starts once the app has
// been in the foreground for the minimum interval, counted across
// foreground periods (what a period contributed is persisted at each
// resignation). Engagement is reported at each resignation, when the user
// leaves a screen after at least a second, and by a periodic timer while the
// app is active, which also posts
// kQRVASessionReporterEngagementTimerDidFireNotification. With reporting off
// the timers still run and the checkpoint still moves; only the events are
// skipped.
//
// The engine makes one reporter at its first start (through the factory
// installed at load) and switches it with measurement; the screen-view
// reporter hands it activation, resignation and screen changes.
//
// Threads: both timers live on the main queue. The three settings of
// QRVASessionReporting may be called from any thread and are carried out on
// the main queue; every other method runs on the main thread (checked in
// Debug builds). Timer blocks hold the reporter weakly; its destructor
// disarms both timers.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "analytics/QRVAScreenViewReporter.h"
#include "analytics/QRVASessionReporting.h"

class QRVAAlarm;
class QRVAPersistedConfig;

inline constexpr const char* kQRVASessionReporterEngagementTimerDidFireNotification =
    "kQRVASessionReporterEngagementTimerDidFire";
inline constexpr const char* kQRVASessionTimerName = "Session timer";
inline constexpr const char* kQRVAEngagementTimerName = "Engagement timer";

class QRVASessionReporter : public QRVASessionReporting, public std::enable_shared_from_this<QRVASessionReporter> {
public:
    // Intervals from the remote settings; a session is pending from the
    // start when the app is active and the timeout has passed.
    static std::shared_ptr<QRVASessionReporter> initWithPersistedConfig(
        std::shared_ptr<QRVAPersistedConfig> persistedConfig);
    explicit QRVASessionReporter(std::shared_ptr<QRVAPersistedConfig> persistedConfig);
    ~QRVASessionReporter() override;
    QRVASessionReporter(const QRVASessionReporter&) = delete;
    QRVASessionReporter& operator=(const QRVASessionReporter&) = delete;

    // Any thread (carried out on the main queue).
    void setReportingEnabled(bool enabled) override;
    void setMinimumSessionInterval(double seconds) override;
    void setTimeoutSessionInterval(double seconds) override;
    bool isReportingEnabled() const { return reportingEnabled_.load(); }
    double minimumSessionInterval() const { return minimumSessionInterval_.load(); }
    double timeoutSessionInterval() const { return timeoutSessionInterval_.load(); }

    // Main thread from here on.
    void handleAppDidBecomeActive();
    void handleAppWillResignActiveWithScreen(const QRVAScreenPtr& screen);
    void handleScreenDidChangeFromScreen(const QRVAScreenPtr& previous, const QRVAScreenPtr& next);
    void logSessionStartEvent();
    void logUserEngagementEvent();
    void logUserEngagementEventWithScreen(const QRVAScreenPtr& screen);
    bool shouldStartNewSession();
    void rescheduleSessionStartTimer();
    void rescheduleUserEngagementTimer();

    // Seconds since the kernel booted; -1 when the boot time is unknown.
    // Any thread; the ad-exposure reporter measures with it too.
    static double currentUptime();
    // Seconds since 1970.
    double currentClockTime() const;
    // Seconds since the engagement span began; never negative (33004).
    double incurredEngagementTime();

    // The kernel's boot time (seconds since 1970), or nullopt when it cannot
    // be read; an empty reader restores the system's.
    static void setBootTimeReaderForTesting(std::function<std::optional<double>()> reader);

private:
    void onMainQueue(std::function<void(QRVASessionReporter&)> work);

    std::shared_ptr<QRVAPersistedConfig> persistedConfig_;
    std::shared_ptr<QRVAAlarm> sessionStartTimer_;
    std::shared_ptr<QRVAAlarm> userEngagementTimer_;
    double engagementStartUptime_ = 0;
    std::atomic<bool> reportingEnabled_{false};
    std::atomic<double> minimumSessionInterval_{0};
    std::atomic<double> timeoutSessionInterval_{0};
};
