#include "database/connection/FWorkerQueue.h"

#include "platform/format.h"

// Never destroyed: the network thread and pooled work hand work to it until
// the process is gone, also while static destructors run at exit.
const ns::DispatchQueuePtr& FWorkerQueue::sharedQueue() {
    static const auto* queue = new ns::DispatchQueuePtr(ns::DispatchQueue::serial(kFWorkerQueueLabel));
    return *queue;
}

std::string FDatabaseVersion::sdkVersion() { return "4.0.0"; }

std::string FDatabaseVersion::buildVersion() {
    // __DATE__ has the "Mmm dd yyyy" form, the day padded with a blank.
    return ns::format("%s_%s", sdkVersion(), __DATE__);
}
