#pragma once
// The measurement engine's worker queue: one serial queue at background
// priority that does all the engine's work, in submission order.
//
// Blocks are submitted with an ID naming the submitter ("QRVAMeasurement:496").
// A block that throws does not end the process: whatever it throws is
// logged (30000, with the block ID and the exception as context) and the
// queue goes on with the next block. Any thread may submit.

#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch.h"

// The label of the engine's one scheduler.
inline constexpr const char* kQRVASchedulerWorkerQueueLabel = "com.ondrix.qrva.worker";

class QRVAScheduler {
public:
    static std::shared_ptr<QRVAScheduler> initWithWorkerQueueLabel(const std::string& label);
    explicit QRVAScheduler(const std::string& label);

    void scheduleOnWorkerQueueBlockID(const std::string& blockID, std::function<void()> block);
    // For callers that dispatch on the queue themselves.
    const ns::DispatchQueuePtr& workerQueue() const { return workerQueue_; }

    // The guard the engine's worker methods begin with: on the main thread it
    // logs 30001 with the method's name and answers false; elsewhere true.
    // It only reports; the caller goes on either way.
    static bool checkOnBackgroundThreadWithMethodName(const std::string& methodName);

private:
    ns::DispatchQueuePtr workerQueue_;
};
