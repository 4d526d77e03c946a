// The application's life cycle as the measurement engine sees it: an upload
// kept alive by a background task when the app leaves the foreground, the end
// of that task, a weekly configuration refresh on activation while internal
// events are blacklisted, the launch link caught before any engine exists,
// and the first-open time. It owns the background task held and the engine's
// observers of the application's notifications (gone with it).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "analytics/QRVAMeasurementPart.h"
#include "platform/notification_center.h"

inline constexpr double kQRVARemoteConfigRefreshBlacklistTimeInterval = 604800.0;

class QRVAMeasurementLifecycle : QRVAMeasurementPart {
public:
    explicit QRVAMeasurementLifecycle(QRVAMeasurement& engine) : QRVAMeasurementPart(engine) {}

    // Flushes the persisted state and ends any background task held. Any
    // thread.
    void terminateBackgroundTask();
    // Holds `taskID` and ends the task held before (when there was one);
    // every task begun is ended exactly once, whichever thread swaps. Any
    // thread.
    void swapBackgroundTaskWithNewTaskID(uint64_t taskID);
    // The background task held; kUIBackgroundTaskInvalid (0) when none.
    uint64_t backgroundUpdateTask() const { return backgroundUpdateTask_.load(); }
    // Starts observing the application's notifications: called by the
    // engine's start.
    void registerLifecycleObservers();
    // Observers of the application's notifications (main thread): resigning
    // flushes the persisted state and, when uploads in the background are
    // allowed, begins a background task and queues an upload behind the
    // facade's serial queue; entering the foreground ends the task; becoming
    // active refreshes a week-old configuration while internal events are
    // blacklisted. Resigning or ending while the first open waits for its
    // screen writes it with the current screen; the end waits for that (at
    // most kQRVAMeasurementFirstOpenAtEndWaitSeconds, the main loop turning
    // meanwhile, since the write may read the device there).
    void handleAppWillResignActiveEvent(const ns::Notification& notification);
    void handleAppWillTerminateEvent(const ns::Notification& notification);
    // Any thread: once the worker queue has run what it holds (a start among
    // it), a first open still waiting for its screen is written with the
    // facade's current screen; then `done`, on the worker queue.
    void writeWaitingFirstOpenBeforeLeaving(std::function<void()> done);
    void handleAppWillEnterForegroundNotification(const ns::Notification& notification);
    void handleAppDidBecomeActiveEvent(const ns::Notification& notification);
    // Observer of the launch notification from load time, engine or not:
    // stores the page of a browsing user activity, else the launch URL,
    // under kQRVAMeasurementDeepLinkKey for the first-open report.
    static void handleAppDidFinishLaunching(const ns::Notification& notification);
    // Seconds since 1970 at which the first open was recorded (the "_fot"
    // property's set time, else the earliest set time of any property); 0
    // when it cannot be told. Worker queue.
    double firstOpenTimestamp();

private:
    void writeWaitingFirstOpen(bool waitForIt);

    std::atomic<uint64_t> backgroundUpdateTask_{0};
    std::atomic<bool> endWaiting_{false};  // main thread
    std::shared_ptr<void> lifecycleObservers_;
};
