#include "analytics/QRVAAdExposureReporter.h"

#include <cmath>
#include <mutex>

#include "analytics/QRVAAEU.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVASessionReporter.h"
#include "analytics/QRVAnalytics.h"

namespace {

std::shared_ptr<QRVAAdExposureReporter>& sharedSlot() {
    static auto* slot = new std::shared_ptr<QRVAAdExposureReporter>();
    return *slot;
}

std::mutex& sharedMutex() {
    static auto* mutex = new std::mutex();
    return *mutex;
}

double currentTime() { return QRVASessionReporter::currentUptime(); }

// Milliseconds from start to end, truncated. The times are whole
// microseconds, so the span is first rounded to them: 2.5 s must not come
// out as 2499 ms for a difference of two doubles a hair short. A time of -1
// means the boot time could not be read: a span with such an end is
// unknown, and counting it would report the whole uptime as exposure, so it
// counts as nothing.
int64_t exposureMilliseconds(double start, double end) {
    if (start < 0 || end < 0) return 0;
    const double microseconds = std::round((end - start) * 1e6);
    if (!std::isfinite(microseconds) || std::fabs(microseconds) >= 9e18) return 0;
    return int64_t(microseconds) / 1000;
}

ns::Value number(int64_t value) { return ns::Value(std::make_shared<QRVAValue>(value)); }

}  // namespace

// MARK: - Creation

std::shared_ptr<QRVAAdExposureReporter> QRVAAdExposureReporter::sharedInstance() {
    std::lock_guard lock(sharedMutex());
    auto& slot = sharedSlot();
    if (!slot) slot = std::make_shared<QRVAAdExposureReporter>();
    return slot;
}

void QRVAAdExposureReporter::resetSharedForTesting() {
    std::shared_ptr<QRVAAdExposureReporter> gone;
    std::lock_guard lock(sharedMutex());
    gone = std::exchange(sharedSlot(), nullptr);
}

QRVAAdExposureReporter::QRVAAdExposureReporter()
    : queue_(ns::DispatchQueue::serial(kQRVAAdExposureReporterQueueLabel)), adExposureStartTime_(currentTime()) {
    // The destructor removes the observer, and removal waits for a call in
    // progress, so the block may hold the reporter by address.
    observer_ = ns::NotificationCenter::defaultCenter().addObserver(
        kQRVASessionReporterEngagementTimerDidFireNotification, nullptr, nullptr,
        [this](const ns::Notification& notification) { handleEngagementTimer(notification); });
}

// Begins still queued work on the reporter: they run before it goes.
QRVAAdExposureReporter::~QRVAAdExposureReporter() {
    ns::NotificationCenter::defaultCenter().removeObserver(observer_);
    queue_->sync([] {});
}

// MARK: - What an ads library calls

void QRVAAdExposureReporter::beginAdUnitExposure(const std::string& adUnitID) {
    if (adUnitID.empty()) {
        QRVALog(4, 1000, "Ignoring call to begin ad unit exposure. Received empty ad unit ID");
        return;
    }
    const double time = currentTime();
    queue_->async([this, adUnitID, time] { beginOnSerialQueue(adUnitID, time); });
}

// The limit is on distinct ad units: nesting one already tracked adds none,
// and refusing it would end its exposure at the first of its ends.
void QRVAAdExposureReporter::beginOnSerialQueue(const std::string& adUnitID, double time) {
    ns::dispatchAssertQueue(queue_);
    const bool tracked = adUnitCounts_.contains(adUnitID);
    if (!tracked && adUnitCounts_.size() >= kQRVAAdExposureMaxAdUnits) {
        QRVALog(4, 1002, "Reached limit on ad units. Ignoring ad unit with ID", adUnitID);
        return;
    }
    if (adUnitCounts_.empty()) adExposureStartTime_ = time;
    if (!tracked) adUnitStartTimes_[adUnitID] = time;
    adUnitCounts_[adUnitID] += 1;
}

void QRVAAdExposureReporter::endAdUnitExposure(const std::string& adUnitID) {
    if (adUnitID.empty()) {
        QRVALog(4, 1003, "Ignoring call to end ad unit exposure. Received empty ad unit ID");
        return;
    }
    const double time = currentTime();
    const QRVAObjectParameters screenParameters = QRVAScreenViewReporter::sharedInstance()->screenParameters();
    queue_->sync([&] { endOnSerialQueue(adUnitID, time, screenParameters); });
}

void QRVAAdExposureReporter::endOnSerialQueue(const std::string& adUnitID, double time,
                                              const QRVAObjectParameters& screenParameters) {
    ns::dispatchAssertQueue(queue_);
    auto count = adUnitCounts_.find(adUnitID);
    if (count == adUnitCounts_.end()) {
        QRVALog(4, 1004, "Unknown ad unit. Ignoring ad unit with ID", adUnitID);
        return;
    }
    if (count->second >= 2) {
        count->second -= 1;
        return;
    }
    logAdUnitExposureEventOnSerialQueue(adUnitID, time, screenParameters);
    adUnitCounts_.erase(count);
    adUnitStartTimes_.erase(adUnitID);
    if (adUnitCounts_.empty()) {
        logAdExposureEventOnSerialQueue(time, screenParameters);
        adExposureStartTime_ = time;
    }
}

// MARK: - Events

void QRVAAdExposureReporter::logAdUnitExposureEventOnSerialQueue(const std::string& adUnitID, double endTime,
                                                                 const QRVAObjectParameters& screenParameters) {
    ns::dispatchAssertQueue(queue_);
    if (!isReportingEnabled()) {
        QRVALog(4, 1007, "Ad unit exposure not logged. Reporting is disabled.");
        return;
    }
    if (adUnitID.empty()) {
        QRVALog(4, 1008, "Ad unit exposure not logged. Received empty ad unit ID");
        return;
    }
    if (!QRVAIsAppActive()) {
        QRVALog(7, 10011, "Ad unit exposure not logged. App is not active.");
        return;
    }
    auto start = adUnitStartTimes_.find(adUnitID);
    const int64_t milliseconds = start == adUnitStartTimes_.end() ? 0 : exposureMilliseconds(start->second, endTime);
    if (milliseconds <= 999) {
        QRVALog(7, 1009, "Ad unit exposure not logged. Exposure time was less than 1 sec");
        return;
    }
    QRVAObjectParameters parameters = screenParameters;
    parameters.set("_ai", ns::Value(adUnitID));
    parameters.set("_xt", number(milliseconds));
    QRVAnalytics::logInternalEventWithOrigin(kQRVAnalyticsOriginAdExposure, "_xu", parameters);
}

void QRVAAdExposureReporter::logAdExposureEventOnSerialQueue(double endTime,
                                                             const QRVAObjectParameters& screenParameters) {
    ns::dispatchAssertQueue(queue_);
    if (!isReportingEnabled()) {
        QRVALog(4, 1005, "Ad exposure not logged. Reporting is disabled.");
        return;
    }
    if (!QRVAIsAppActive()) {
        QRVALog(7, 10010, "Ad exposure not logged. App is not active.");
        return;
    }
    const int64_t milliseconds = exposureMilliseconds(adExposureStartTime_, endTime);
    if (milliseconds <= 999) {
        QRVALog(7, 1006, "Ad exposure not logged. Exposure time was less than 1 sec");
        return;
    }
    QRVAObjectParameters parameters = screenParameters;
    parameters.set("_xt", number(milliseconds));
    QRVAnalytics::logInternalEventWithOrigin(kQRVAnalyticsOriginAdExposure, "_xa", parameters);
}

// MARK: - Checkpoint reports

// Tracked ad units stay open with their counts; only their spans restart,
// whether or not the events were logged.
void QRVAAdExposureReporter::logExposureEventsOnSerialQueue(double endTime,
                                                            const QRVAObjectParameters& screenParameters) {
    ns::dispatchAssertQueue(queue_);
    for (const auto& [adUnitID, count] : adUnitCounts_) {
        logAdUnitExposureEventOnSerialQueue(adUnitID, endTime, screenParameters);
    }
    if (!adUnitCounts_.empty()) logAdExposureEventOnSerialQueue(endTime, screenParameters);
    updateStartTimesOnSerialQueue(endTime);
}

void QRVAAdExposureReporter::updateStartTimesOnSerialQueue(double time) {
    ns::dispatchAssertQueue(queue_);
    for (auto& [adUnitID, start] : adUnitStartTimes_) start = time;
    adExposureStartTime_ = time;
}

void QRVAAdExposureReporter::logExposureEventsWithScreenParameters(const QRVAObjectParameters& screenParameters) {
    const double time = currentTime();
    queue_->sync([&] { logExposureEventsOnSerialQueue(time, screenParameters); });
}

// MARK: - Triggers

// The events carry the screen left, so the facade need not ask the
// screen-view reporter, which is in the middle of the change.
void QRVAAdExposureReporter::handleScreenDidChangeFromScreen(const QRVAScreenPtr& previous, const QRVAScreenPtr&) {
    if (previous) logExposureEventsWithScreenParameters(QRVAScreenParameters(previous.get()));
}

void QRVAAdExposureReporter::handleEngagementTimer(const ns::Notification&) {
    logExposureEventsWithScreenParameters(QRVAScreenViewReporter::sharedInstance()->screenParameters());
}

// Time spent inactive is not counted.
void QRVAAdExposureReporter::handleAppDidBecomeActive() {
    const double time = currentTime();
    queue_->sync([&] { updateStartTimesOnSerialQueue(time); });
}

void QRVAAdExposureReporter::handleAppWillResignActiveWithScreen(const QRVAScreenPtr& screen) {
    QRVAObjectParameters parameters;
    if (screen) parameters = QRVAScreenParameters(screen.get());
    if (parameters.empty()) parameters = QRVAScreenViewReporter::sharedInstance()->screenParameters();
    logExposureEventsWithScreenParameters(parameters);
}
