// The engine's side of search-ad reporting: the reporter its first start
// makes through the factory the layer above installs, when the remote
// setting allows.

#include "QRVAInstalledHook.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVARemoteConfig.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVASearchAdReporting.h"
#include "platform/dispatch.h"

void QRVAMeasurement::setSearchAdReporterFactory(QRVASearchAdReporterFactory make) {
    QRVAInstalledHook<QRVASearchAdReporterFactory>::shared().set(std::move(make));
}

std::shared_ptr<QRVASearchAdReporting> QRVAMeasurement::searchAdReporter() const { return searchAdReporter_.get(); }

void QRVAMeasurement::makeSearchAdReporterOnWorkerQueue() {
    ns::dispatchAssertQueue(scheduler_->workerQueue());
    if (searchAdReporter_.get() || !remoteConfig_->isSearchAdReporterEnabled()) return;
    QRVASearchAdReporterFactory make = QRVAInstalledHook<QRVASearchAdReporterFactory>::shared().get();
    if (!make) return;
    auto reporter = make(scheduler_->workerQueue(), persistedConfig_);
    if (!reporter) return;
    searchAdReporter_.set(reporter);
    reporter->setSearchAdReporterEnabled(remoteConfig_->isSearchAdReporterEnabled());
    reporter->start();
}
