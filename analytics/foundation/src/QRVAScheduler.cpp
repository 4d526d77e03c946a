#include "analytics/QRVAScheduler.h"

#include <cxxabi.h>

#include <cstdlib>
#include <exception>
#include <typeinfo>

#include "analytics/QRVAMonitor.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/runloop.h"

namespace {

std::string demangled(const std::type_info* type) {
    if (!type) return "unknown exception";
    int status = 0;
    char* name = abi::__cxa_demangle(type->name(), nullptr, nullptr, &status);
    std::string text = status == 0 && name ? name : type->name();
    std::free(name);
    return text;
}

// What the block threw, as a log context. C++ lets anything be thrown; none
// of it may end the process, since a thrown block would otherwise abort.
std::shared_ptr<QRVAExceptionContext> currentExceptionContext() {
    try {
        throw;
    } catch (const ns::Exception& e) {
        return std::make_shared<QRVAExceptionContext>(e.name(), e.reason());
    } catch (const std::exception& e) {
        return std::make_shared<QRVAExceptionContext>(demangled(&typeid(e)), e.what());
    } catch (...) {
        return std::make_shared<QRVAExceptionContext>(demangled(abi::__cxa_current_exception_type()), "");
    }
}

}  // namespace

std::shared_ptr<QRVAScheduler> QRVAScheduler::initWithWorkerQueueLabel(const std::string& label) {
    return std::make_shared<QRVAScheduler>(label);
}

QRVAScheduler::QRVAScheduler(const std::string& label)
    : workerQueue_(ns::DispatchQueue::serial(label, ns::DispatchQueue::QoS::Background)) {}

void QRVAScheduler::scheduleOnWorkerQueueBlockID(const std::string& blockID, std::function<void()> block) {
    workerQueue_->async([blockID, block = std::move(block)] {
        try {
            block();
        } catch (...) {
            QRVAMeasurementMonitor()->logWithLevel(1, 30000,
                                                   ns::format("Exception on worker queue. Block ID=%@. Exception", blockID),
                                                   ns::Value(currentExceptionContext()));
        }
    });
}

bool QRVAScheduler::checkOnBackgroundThreadWithMethodName(const std::string& methodName) {
    if (!ns::RunLoop::isMainThread()) return true;
    QRVAMeasurementMonitor()->logWithLevel(
        1, 30001,
        ns::format("Method %@ should execute on background thread", methodName.empty() ? "<empty method name>" : methodName));
    return false;
}
