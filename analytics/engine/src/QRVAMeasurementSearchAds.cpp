// The engine's side of search-ad reporting: the reporter its first start
// makes through the factory the layer above installs, when the remote
// setting allows.

#include <mutex>

#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVARemoteConfig.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVASearchAdReporting.h"
#include "platform/dispatch.h"

namespace {

struct Factory {
    std::mutex mutex;
    QRVASearchAdReporterFactory make;
};

Factory& factory() {
    // Installed from a static initializer of another library: made on first
    // use, whichever runs first, and never destroyed.
    static Factory* instance = new Factory;
    return *instance;
}

}  // namespace

void QRVAMeasurement::setSearchAdReporterFactory(QRVASearchAdReporterFactory make) {
    std::lock_guard lock(factory().mutex);
    factory().make = std::move(make);
}

std::shared_ptr<QRVASearchAdReporting> QRVAMeasurement::searchAdReporter() const { return searchAdReporter_.get(); }

void QRVAMeasurement::makeSearchAdReporterOnWorkerQueue() {
    ns::dispatchAssertQueue(scheduler_->workerQueue());
    if (searchAdReporter_.get() || !remoteConfig_->isSearchAdReporterEnabled()) return;
    QRVASearchAdReporterFactory make;
    {
        std::lock_guard lock(factory().mutex);
        make = factory().make;
    }
    if (!make) return;
    auto reporter = make(scheduler_->workerQueue(), persistedConfig_);
    if (!reporter) return;
    searchAdReporter_.set(reporter);
    reporter->setSearchAdReporterEnabled(remoteConfig_->isSearchAdReporterEnabled());
    reporter->start();
}
