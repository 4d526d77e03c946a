#pragma once
// One retry at a time on a serial queue, with exponential back-off and
// jitter: the first retry after a success runs at once (still through the
// queue); each retry after a failure waits longer, up to a maximum. The
// helper holds no lock: use it only on its queue, where its retries run
// (Debug builds raise when retry, signalSuccess or cancel come from
// elsewhere).

#include <functional>
#include <memory>

#include "platform/dispatch.h"

// The block of one scheduled retry, cancellable until it runs.
class QRVRetryHelperTask {
public:
    // initWithBlock:
    explicit QRVRetryHelperTask(std::function<void()> block) : block_(std::move(block)) {}

    bool isCanceled() const { return !block_; }
    void cancel() { block_ = nullptr; }
    // Runs the block while it is still there.
    void execute();

private:
    std::function<void()> block_;
};

class QRVRetryHelper : public std::enable_shared_from_this<QRVRetryHelper> {
public:
    // initWithDispatchQueue:minRetryDelayAfterFailure:maxRetryDelay:retryExponent:jitterFactor:
    QRVRetryHelper(ns::DispatchQueuePtr dispatchQueue, double minRetryDelayAfterFailure, double maxRetryDelay,
                   double retryExponent, double jitterFactor);

    // Schedules the block as the single pending retry (a pending one is
    // cancelled). Retries run only while the helper exists.
    void retry(std::function<void()> block);
    // The next retry runs at once.
    void signalSuccess();
    // Cancels the pending retry and resets the delay; the success state is
    // left as it is.
    void cancel();

    // The un-jittered delay of the last retry after a failure (0 when none).
    double currentRetryDelay() const { return currentRetryDelay_; }
    bool lastWasSuccess() const { return lastWasSuccess_; }
    bool hasScheduledRetry() const { return scheduledRetry_ != nullptr; }

private:
    ns::DispatchQueuePtr dispatchQueue_;
    double minRetryDelayAfterFailure_;
    double maxRetryDelay_;
    double retryExponent_;
    double jitterFactor_;
    bool lastWasSuccess_ = true;
    double currentRetryDelay_ = 0;
    std::shared_ptr<QRVRetryHelperTask> scheduledRetry_;
};
