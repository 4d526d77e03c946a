#include "database/connection/QRVRetryHelper.h"

#include <cstdint>

#include "FLog.h"

void QRVRetryHelperTask::execute() {
    if (block_) block_();
}

QRVRetryHelper::QRVRetryHelper(ns::DispatchQueuePtr dispatchQueue, double minRetryDelayAfterFailure,
                               double maxRetryDelay, double retryExponent, double jitterFactor)
    : dispatchQueue_(std::move(dispatchQueue)),
      minRetryDelayAfterFailure_(minRetryDelayAfterFailure),
      maxRetryDelay_(maxRetryDelay),
      retryExponent_(retryExponent),
      jitterFactor_(jitterFactor) {}

void QRVRetryHelper::retry(std::function<void()> block) {
    ns::dispatchAssertQueue(dispatchQueue_);
    if (scheduledRetry_) {
        FFLog("I-RDB054001", "Canceling existing retry attempt");
        scheduledRetry_->cancel();
        scheduledRetry_ = nullptr;
    }

    double delay;
    if (lastWasSuccess_) {
        delay = 0;
    } else {
        if (currentRetryDelay_ == 0) {
            currentRetryDelay_ = minRetryDelayAfterFailure_;
        } else {
            const double next = currentRetryDelay_ * retryExponent_;
            currentRetryDelay_ = next < maxRetryDelay_ ? next : maxRetryDelay_;
        }
        delay = (1 - jitterFactor_) * currentRetryDelay_ +
                jitterFactor_ * currentRetryDelay_ * FUtilities::randomDouble();
        FFLog("I-RDB054002", "Scheduling retry in %fs", delay);
    }
    lastWasSuccess_ = false;

    auto task = std::make_shared<QRVRetryHelperTask>(std::move(block));
    scheduledRetry_ = task;
    // Whole nanoseconds, as the delay is handed to the queue.
    const int64_t nanoseconds = int64_t(delay * 1e9);
    std::weak_ptr<QRVRetryHelper> weakSelf = weak_from_this();
    dispatchQueue_->after(double(nanoseconds) / 1e9, [weakSelf, task] {
        auto self = weakSelf.lock();
        if (!self || task->isCanceled()) return;
        if (self->scheduledRetry_ == task) self->scheduledRetry_ = nullptr;
        task->execute();
    });
}

void QRVRetryHelper::signalSuccess() {
    ns::dispatchAssertQueue(dispatchQueue_);
    lastWasSuccess_ = true;
    currentRetryDelay_ = 0;
}

void QRVRetryHelper::cancel() {
    ns::dispatchAssertQueue(dispatchQueue_);
    if (scheduledRetry_) {
        FFLog("I-RDB054003", "Canceling existing retry attempt");
        scheduledRetry_->cancel();
        scheduledRetry_ = nullptr;
    } else {
        FFLog("I-RDB054004", "No existing retry attempt to cancel");
    }
    currentRetryDelay_ = 0;
}
