#include "database/connection/FWorkerQueue.h"

#include "platform/format.h"

const ns::DispatchQueuePtr& FWorkerQueue::sharedQueue() {
    static ns::OnceFlag once;
    static ns::DispatchQueuePtr queue;
    ns::dispatchOnce(once, [] { queue = ns::DispatchQueue::serial(kFWorkerQueueLabel); });
    return queue;
}

std::string FDatabaseVersion::sdkVersion() { return "4.0.0"; }

std::string FDatabaseVersion::buildVersion() {
    // __DATE__ has the "Mmm dd yyyy" form, the day padded with a blank.
    return ns::format("%s_%s", sdkVersion(), __DATE__);
}
