#include "analytics/QRVASessionReporter.h"

#include <cmath>
#include <mutex>

#include "analytics/QRVAAEU.h"
#include "analytics/QRVAAlarm.h"
#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVARemoteConfig.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "platform/process_info.h"

namespace {

std::mutex& bootTimeMutex() {
    static auto* mutex = new std::mutex();
    return *mutex;
}

std::function<std::optional<double>()>& bootTimeReader() {
    static auto* reader = new std::function<std::optional<double>()>();
    return *reader;
}

std::optional<double> kernelBootTime() {
    std::function<std::optional<double>()> reader;
    {
        std::lock_guard lock(bootTimeMutex());
        reader = bootTimeReader();
    }
    if (reader) return reader();
    return ns::ProcessInfo::processInfo().kernelBootTime();
}

struct SecondsAndMicroseconds {
    int64_t seconds;
    int64_t microseconds;
};

SecondsAndMicroseconds split(double time) {
    const double seconds = std::floor(time);
    return {int64_t(seconds), int64_t(std::llround((time - seconds) * 1e6))};
}

void assertMain() { ns::dispatchAssertQueue(ns::DispatchQueue::main()); }

}  // namespace

// MARK: - Creation

std::shared_ptr<QRVASessionReporter> QRVASessionReporter::initWithPersistedConfig(
    std::shared_ptr<QRVAPersistedConfig> persistedConfig) {
    return std::make_shared<QRVASessionReporter>(std::move(persistedConfig));
}

QRVASessionReporter::QRVASessionReporter(std::shared_ptr<QRVAPersistedConfig> persistedConfig)
    : persistedConfig_(std::move(persistedConfig)) {
    auto settings = QRVAMeasurement::remoteConfig();
    minimumSessionInterval_ = settings->sessionDefaultMinimumInterval();
    timeoutSessionInterval_ = settings->sessionDefaultTimeoutInterval();
    engagementStartUptime_ = currentUptime();
    persistedConfig_->setStartNewSession(shouldStartNewSession());
    persistedConfig_->setEngagementTimeBeforeSessionStart(0);
    sessionStartTimer_ = QRVAAlarm::initWithDispatchQueue(ns::DispatchQueue::main(), kQRVASessionTimerName);
    userEngagementTimer_ = QRVAAlarm::initWithDispatchQueue(ns::DispatchQueue::main(), kQRVAEngagementTimerName);
}

// An armed shot holds its alarm until it fires: both are disarmed here, on
// the main queue where they live.
QRVASessionReporter::~QRVASessionReporter() {
    auto disarm = [timers = std::vector{sessionStartTimer_, userEngagementTimer_}] {
        for (const auto& timer : timers) timer->cancel();
    };
    if (ns::DispatchQueue::main()->isCurrent()) {
        disarm();
    } else {
        ns::DispatchQueue::main()->async(disarm);
    }
}

void QRVASessionReporter::setBootTimeReaderForTesting(std::function<std::optional<double>()> reader) {
    std::lock_guard lock(bootTimeMutex());
    bootTimeReader() = std::move(reader);
}

// MARK: - Clocks

double QRVASessionReporter::currentUptime() {
    auto boot = kernelBootTime();
    if (!boot || split(*boot).seconds == 0) return -1.0;
    const auto now = split(ns::Clock::nowSeconds());
    const auto since = split(*boot);
    int64_t seconds = now.seconds - since.seconds;
    int64_t microseconds = now.microseconds - since.microseconds;
    if (microseconds < 0) {
        seconds -= 1;
        microseconds += 1000000;
    }
    return double(seconds) + double(microseconds) * 0.000001;
}

double QRVASessionReporter::currentClockTime() const { return ns::Clock::nowSeconds(); }

double QRVASessionReporter::incurredEngagementTime() {
    const double incurred = currentUptime() - engagementStartUptime_;
    if (incurred < 0) {
        QRVAMeasurementMonitor()->logWithLevel(4, 33004, "Incurred engagement time is negative. Setting to 0.0 instead");
        return 0;
    }
    return incurred;
}

// MARK: - Settings

// The engine calls these from its worker queue; the timers they may arm
// live on the main queue.
void QRVASessionReporter::onMainQueue(std::function<void(QRVASessionReporter&)> work) {
    auto main = ns::DispatchQueue::main();
    if (main->isCurrent()) {
        work(*this);
        return;
    }
    std::weak_ptr<QRVASessionReporter> weak = weak_from_this();
    main->async([weak, work = std::move(work)] {
        if (auto reporter = weak.lock()) work(*reporter);
    });
}

void QRVASessionReporter::setReportingEnabled(bool enabled) {
    onMainQueue([enabled](QRVASessionReporter& self) {
        self.reportingEnabled_ = enabled;
        if (!enabled) return;
        if (self.persistedConfig_->startNewSession() && !self.sessionStartTimer_->scheduledTimestamp()) {
            self.rescheduleSessionStartTimer();
        }
        if (QRVAIsAppActive() && !self.userEngagementTimer_->scheduledTimestamp()) {
            self.rescheduleUserEngagementTimer();
        }
    });
}

void QRVASessionReporter::setMinimumSessionInterval(double seconds) {
    onMainQueue([seconds](QRVASessionReporter& self) {
        double interval = seconds;
        if (interval < 0) {
            QRVAMeasurementMonitor()->logWithLevel(
                4, 33000, "Received negative minimum session duration. Setting to 0.0 instead.");
            interval = 0;
        }
        self.minimumSessionInterval_ = interval;
        if (self.persistedConfig_->startNewSession() && self.sessionStartTimer_->scheduledTimestamp()) {
            self.rescheduleSessionStartTimer();
        }
    });
}

void QRVASessionReporter::setTimeoutSessionInterval(double seconds) {
    onMainQueue([seconds](QRVASessionReporter& self) {
        double interval = seconds;
        if (interval < 0) {
            QRVAMeasurementMonitor()->logWithLevel(
                4, 33001, "Received negative timeout session duration. Setting to 0.0 instead.");
            interval = 0;
        }
        self.timeoutSessionInterval_ = interval;
    });
}

// MARK: - Timers

bool QRVASessionReporter::shouldStartNewSession() {
    if (!QRVAIsAppActive()) return false;
    const double since = currentClockTime() - persistedConfig_->lastEngagementCheckpointClockTime();
    return std::fabs(since) > timeoutSessionInterval();
}

void QRVASessionReporter::rescheduleSessionStartTimer() {
    assertMain();
    QRVAMeasurementMonitor()->logWithLevel(7, 33002, "Scheduling session start timer");
    const double delay = minimumSessionInterval() - persistedConfig_->engagementTimeBeforeSessionStart();
    std::weak_ptr<QRVASessionReporter> weak = weak_from_this();
    sessionStartTimer_->runAfterDelay(delay, [weak] {
        if (auto reporter = weak.lock()) reporter->logSessionStartEvent();
    });
}

void QRVASessionReporter::rescheduleUserEngagementTimer() {
    assertMain();
    QRVAMeasurementMonitor()->logWithLevel(7, 33003, "Scheduling user engagement timer");
    const double delay = QRVAMeasurement::remoteConfig()->sessionEventUserEngagementInterval();
    std::weak_ptr<QRVASessionReporter> weak = weak_from_this();
    userEngagementTimer_->runAfterDelay(delay, [weak] {
        auto reporter = weak.lock();
        if (!reporter) return;
        ns::NotificationCenter::defaultCenter().post(kQRVASessionReporterEngagementTimerDidFireNotification);
        reporter->logUserEngagementEvent();
    });
}

// MARK: - Events

void QRVASessionReporter::logSessionStartEvent() {
    assertMain();
    if (!QRVAIsAppActive()) {
        QRVAMeasurementMonitor()->logWithLevel(7, 33005, "Session start event not logged. Application is not active");
        return;
    }
    if (isReportingEnabled()) QRVALogInternalEvent("auto", "_s", {});
    persistedConfig_->setStartNewSession(false);
    persistedConfig_->setLastEngagementCheckpointClockTime(currentClockTime());
}

void QRVASessionReporter::logUserEngagementEvent() { logUserEngagementEventWithScreen(nullptr); }

void QRVASessionReporter::logUserEngagementEventWithScreen(const QRVAScreenPtr& screen) {
    assertMain();
    if (!QRVAIsAppActive()) {
        QRVAMeasurementMonitor()->logWithLevel(7, 33006, "User engagement event not logged. Application is not active");
        return;
    }
    if (isReportingEnabled()) {
        const auto milliseconds = int64_t(incurredEngagementTime() * 1000);
        QRVAObjectParameters parameters{{"_et", ns::Value(std::make_shared<QRVAValue>(milliseconds))}};
        for (const auto& [key, value] : QRVAScreenParameters(screen.get())) parameters.set(key, value);
        QRVALogInternalEvent("auto", "_e", parameters);
    }
    engagementStartUptime_ = currentUptime();
    persistedConfig_->setLastEngagementCheckpointClockTime(currentClockTime());
    rescheduleUserEngagementTimer();
}

// MARK: - What the screen-view reporter hands on

void QRVASessionReporter::handleAppDidBecomeActive() {
    assertMain();
    engagementStartUptime_ = currentUptime();
    rescheduleUserEngagementTimer();
    if (shouldStartNewSession()) {
        persistedConfig_->setStartNewSession(true);
        persistedConfig_->setEngagementTimeBeforeSessionStart(0);
    }
    if (persistedConfig_->startNewSession()) rescheduleSessionStartTimer();
}

void QRVASessionReporter::handleAppWillResignActiveWithScreen(const QRVAScreenPtr& screen) {
    assertMain();
    // Measured before the engagement report below restarts the span: the
    // foreground time of this period counts toward a pending session start.
    const double incurred = incurredEngagementTime();
    logUserEngagementEventWithScreen(screen);
    userEngagementTimer_->cancel();
    if (persistedConfig_->startNewSession()) {
        sessionStartTimer_->cancel();
        persistedConfig_->setEngagementTimeBeforeSessionStart(persistedConfig_->engagementTimeBeforeSessionStart() +
                                                              incurred);
    }
}

void QRVASessionReporter::handleScreenDidChangeFromScreen(const QRVAScreenPtr& previous, const QRVAScreenPtr&) {
    assertMain();
    if (previous && incurredEngagementTime() >= 1.0) logUserEngagementEventWithScreen(previous);
}
