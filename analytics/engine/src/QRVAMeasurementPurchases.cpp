// The engine's side of purchase reporting: the shared reporter its start
// switches on (installed by the layer above), and the de-duplication of the
// store's transactions before they are reported.

#include <mutex>

#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAPurchaseReporting.h"
#include "analytics/QRVAScheduler.h"
#include "platform/dispatch.h"

namespace {

struct Provider {
    std::mutex mutex;
    QRVAPurchaseReporterProvider shared;
};

Provider& provider() {
    // Installed from a static initializer of another library: made on first
    // use, whichever runs first, and never destroyed.
    static Provider* instance = new Provider;
    return *instance;
}

}  // namespace

void QRVAMeasurement::setPurchaseReporterProvider(QRVAPurchaseReporterProvider shared) {
    std::lock_guard lock(provider().mutex);
    provider().shared = std::move(shared);
}

void QRVAMeasurement::enablePurchaseReportingOnWorkerQueue() {
    ns::dispatchAssertQueue(scheduler_->workerQueue());
    QRVAPurchaseReporterProvider shared;
    {
        std::lock_guard lock(provider().mutex);
        shared = provider().shared;
    }
    auto reporter = shared ? shared() : nullptr;
    if (reporter && !reporter->reportingWasDisabled()) reporter->enableReporting();
}

void QRVAMeasurement::filterPurchaseTransactions(PaymentTransactions transactions,
                                                 std::function<void(PaymentTransactions)> callback) {
    // Placeholder until de-duplication lands: everything passes.
    ns::DispatchQueue::global()->async(
        [transactions = std::move(transactions), callback = std::move(callback)]() mutable {
            callback(std::move(transactions));
        });
}
