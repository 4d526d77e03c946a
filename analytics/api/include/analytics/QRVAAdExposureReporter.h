#pragma once
// How long ad units are on screen. An ads library says when an ad unit
// starts and stops being shown (`beginAdUnitExposure`, `endAdUnitExposure`,
// by ad-unit ID, nestable); the reporter logs one "_xu" per ad unit ("_ai"
// the ID, "_xt" milliseconds) and one "_xa" with the time during which at
// least one ad unit was shown, both of origin "am" through the facade, which
// hands them to the engine without interceptor or listeners. Besides an ad
// unit's last end, it reports at every screen change, every engagement-timer
// tick of the session reporter and every resignation, each time restarting
// the spans, so that each event carries the screen the time was spent on.
// Spans under a second and time while the app is inactive are not reported;
// at most 100 distinct ad units are tracked at once.
//
// Times are the session reporter's uptime (wall clock less the kernel's boot
// time); a span whose start or end is unknown (no boot time) counts as 0.
//
// Threads: every public method may be called from any thread. Tracking state
// lives on the reporter's serial queue "QRVAAdExposureReporter": a begin
// enters it asynchronously; an end, the reports and the activation enter it
// synchronously, so the caller waits until the events are with the facade.
// Methods whose names end in `OnSerialQueue` run only there (asserted in
// Debug builds). The screen-view reporter makes the singleton at its first
// application or screen notification and hands on screen changes,
// activation and resignation; the reporter observes
// kQRVASessionReporterEngagementTimerDidFireNotification itself, from its
// creation until it goes.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "analytics/QRVAScreenViewReporter.h"
#include "analytics/QRVAValue.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"

inline constexpr const char* kQRVAAdExposureReporterQueueLabel = "QRVAAdExposureReporter";
inline constexpr size_t kQRVAAdExposureMaxAdUnits = 100;

class QRVAAdExposureReporter {
public:
    static std::shared_ptr<QRVAAdExposureReporter> sharedInstance();
    // Stands for a new process: the next sharedInstance() is a fresh one.
    static void resetSharedForTesting();
    QRVAAdExposureReporter();
    ~QRVAAdExposureReporter();
    QRVAAdExposureReporter(const QRVAAdExposureReporter&) = delete;
    QRVAAdExposureReporter& operator=(const QRVAAdExposureReporter&) = delete;

    // An empty ID stands for an ads library's nil and is refused (logged).
    void beginAdUnitExposure(const std::string& adUnitID);
    void endAdUnitExposure(const std::string& adUnitID);

    void handleScreenDidChangeFromScreen(const QRVAScreenPtr& previous, const QRVAScreenPtr& next);
    void handleEngagementTimer(const ns::Notification& notification);
    void handleAppDidBecomeActive();
    void handleAppWillResignActiveWithScreen(const QRVAScreenPtr& screen);

    bool isReportingEnabled() const { return reportingEnabled_.load(); }
    void setReportingEnabled(bool enabled) { reportingEnabled_ = enabled; }

    // The checkpoint report, now, with these screen parameters.
    void logExposureEventsWithScreenParameters(const QRVAObjectParameters& screenParameters);

    // Serial queue only.
    void logExposureEventsOnSerialQueue(double endTime, const QRVAObjectParameters& screenParameters);
    void logAdExposureEventOnSerialQueue(double endTime, const QRVAObjectParameters& screenParameters);
    void logAdUnitExposureEventOnSerialQueue(const std::string& adUnitID, double endTime,
                                             const QRVAObjectParameters& screenParameters);
    void updateStartTimesOnSerialQueue(double time);

private:
    void beginOnSerialQueue(const std::string& adUnitID, double time);
    void endOnSerialQueue(const std::string& adUnitID, double time, const QRVAObjectParameters& screenParameters);

    ns::DispatchQueuePtr queue_;
    // Open begin calls and the start of the unreported span, per ad unit.
    std::map<std::string, int64_t> adUnitCounts_;
    std::map<std::string, double> adUnitStartTimes_;
    // Start of the unreported span during which any ad unit was shown.
    double adExposureStartTime_ = 0;
    std::atomic<bool> reportingEnabled_{true};
    ns::ObserverToken observer_ = 0;
};
