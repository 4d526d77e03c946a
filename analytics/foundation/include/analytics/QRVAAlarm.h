#pragma once
// A named one-shot timer: runs a block on its queue after a delay, on
// ns::Clock time (so tests drive it with ns::VirtualClock). Arming again
// replaces the pending shot; the wall-clock time of the pending shot can be
// read back, which owners use to see whether an earlier shot is already
// pending. The measurement engine keeps one ("Measurement timer") on its
// worker queue for uploads; the session and search-ad reporters keep their
// own.
//
// Threads: runAfterDelay, cancel, hasActiveTimer and scheduledTimestamp must
// be called on the alarm's queue (checked in Debug builds), where the block
// also runs; the alarm holds no lock. Every step is logged on the analytics
// monitor under the alarm's name (codes 2000-2004).
//
// Ownership: an armed shot holds the alarm and its block until it fires or
// is cancelled, so an alarm whose owner lets go still fires once. The
// destructor cancels, from whichever thread drops the last reference.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/dispatch.h"
#include "platform/value.h"

class QRVAAlarm : public std::enable_shared_from_this<QRVAAlarm> {
public:
    // `name` names the alarm in every log line ("Timer" when empty). A null
    // queue leaves the alarm unable to make its timer source: it logs as
    // armed but never fires, and cancel reports it as not active (2004).
    static std::shared_ptr<QRVAAlarm> initWithDispatchQueue(ns::DispatchQueuePtr queue, const std::string& name);
    ~QRVAAlarm();
    QRVAAlarm(const QRVAAlarm&) = delete;
    QRVAAlarm& operator=(const QRVAAlarm&) = delete;

    // Arms the alarm to run `block` once, `delay` seconds from now; a
    // pending shot is cancelled first. An empty block is refused (2000) and
    // leaves a pending shot as it was. When the shot fires the alarm is
    // disarmed before the block runs, so the block may arm it again.
    void runAfterDelay(double delay, std::function<void()> block);
    // Disarms (2003); nothing, and no log, when nothing is armed.
    void cancel();
    // A timer source exists and has not been cancelled.
    bool hasActiveTimer() const;
    // When the armed shot fires (the wall clock, ns::Clock); nullopt when
    // disarmed.
    std::optional<ns::Date> scheduledTimestamp() const;
    const std::string& name() const { return name_; }

    // Not for callers: made by initWithDispatchQueue.
    QRVAAlarm(ns::DispatchQueuePtr queue, std::string name);

private:
    void disarm();

    ns::DispatchQueuePtr queue_;
    // Kept after cancellation until the next arming replaces it.
    std::shared_ptr<ns::DispatchTimerSource> timer_;
    std::string name_;
    std::optional<ns::Date> scheduledTimestamp_;
};
