#include "analytics/QRVAAlarm.h"

#include <cmath>
#include <cstdint>

#include "analytics/QRVAMonitor.h"
#include "platform/clock.h"
#include "platform/error.h"

namespace {

// Seconds as whole nanoseconds, truncated, as a dispatch time delta is
// made; out-of-range delays are held at the ends of the range.
double truncatedToNanoseconds(double delay) {
    if (std::isnan(delay)) return 0;
    const double nanoseconds = delay * 1e9;
    if (nanoseconds >= 9.2e18) return 9.2e9;
    if (nanoseconds <= -9.2e18) return -9.2e9;
    return double(int64_t(nanoseconds)) / 1e9;
}

}  // namespace

std::shared_ptr<QRVAAlarm> QRVAAlarm::initWithDispatchQueue(ns::DispatchQueuePtr queue, const std::string& name) {
    return std::make_shared<QRVAAlarm>(std::move(queue), name);
}

QRVAAlarm::QRVAAlarm(ns::DispatchQueuePtr queue, std::string name)
    : queue_(std::move(queue)), name_(name.empty() ? std::string("Timer") : std::move(name)) {}

// Not checked for the queue: the last reference may go on any thread.
QRVAAlarm::~QRVAAlarm() { disarm(); }

void QRVAAlarm::runAfterDelay(double delay, std::function<void()> block) {
    ns::dispatchAssertQueue(queue_);
    if (!block) {
        QRVAMeasurementMonitor()->logWithLevel(1, 2000, name_ + " tried to schedule an empty block");
        return;
    }
    disarm();
    scheduledTimestamp_ = ns::Date{ns::Clock::nowSeconds() + delay};
    std::string firedMessage = name_ + " fired";

    // Without a queue of its own the shot runs on a global queue, as a GCD
    // timer source made without a queue does: an alarm that reported itself
    // armed and never fired would leave its owner waiting on a shot that
    // cannot come (the engine's uploads would stop for good).
    auto timer = ns::DispatchTimerSource::make(queue_ ? queue_ : ns::DispatchQueue::global());
    if (timer) {
        timer->setTimer(truncatedToNanoseconds(delay), 0, 0);
        // The shot holds the alarm and the block until it fires or is
        // cancelled (cancelling a source drops its handler).
        timer->setEventHandler([self = shared_from_this(), block = std::move(block),
                                firedMessage = std::move(firedMessage)] {
            QRVAMeasurementMonitor()->logWithLevel(7, 2001, firedMessage);
            self->disarm();
            block();
        });
        timer->resume();
    }
    timer_ = std::move(timer);
    QRVAMeasurementMonitor()->logWithLevel(7, 2002, name_ + " scheduled to fire in approx. (s)", ns::Value(delay));
}

void QRVAAlarm::cancel() {
    ns::dispatchAssertQueue(queue_);
    disarm();
}

void QRVAAlarm::disarm() {
    if (!scheduledTimestamp_) return;
    QRVAMeasurementMonitor()->logWithLevel(7, 2003, name_ + " canceled");
    if (timer_ && !timer_->isCancelled())
        timer_->cancel();
    else
        QRVAMeasurementMonitor()->logWithLevel(4, 2004, name_ + " is not active");
    scheduledTimestamp_.reset();
}

bool QRVAAlarm::hasActiveTimer() const {
    ns::dispatchAssertQueue(queue_);
    return timer_ && !timer_->isCancelled();
}

std::optional<ns::Date> QRVAAlarm::scheduledTimestamp() const {
    ns::dispatchAssertQueue(queue_);
    return scheduledTimestamp_;
}
