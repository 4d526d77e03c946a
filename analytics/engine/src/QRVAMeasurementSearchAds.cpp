// The engine's side of search-ad reporting: the reporter its first start
// makes through the factory the layer above installs, when the remote
// setting allows.

#include "analytics/QRVAMeasurementReporters.h"
#include "analytics/QRVARemoteConfig.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVASearchAdReporting.h"
#include "platform/dispatch.h"

namespace {

// Installed from a static initializer of the layer above, whichever side
// runs first; never destroyed.
ns::Guarded<QRVASearchAdReporterFactory>& installedFactory() {
    static auto* factory = new ns::Guarded<QRVASearchAdReporterFactory>;
    return *factory;
}

}  // namespace

void QRVAMeasurement::setSearchAdReporterFactory(QRVASearchAdReporterFactory make) {
    installedFactory().set(std::move(make));
}

void QRVAMeasurementReporters::makeSearchAdReporterOnWorkerQueue() {
    ns::dispatchAssertQueue(scheduler()->workerQueue());
    if (searchAdReporter_.get() || !remoteConfig()->isSearchAdReporterEnabled()) return;
    QRVASearchAdReporterFactory make = installedFactory().get();
    if (!make) return;
    auto reporter = make(scheduler()->workerQueue(), persistedConfig());
    if (!reporter) return;
    searchAdReporter_.set(reporter);
    reporter->setSearchAdReporterEnabled(remoteConfig()->isSearchAdReporterEnabled());
    reporter->start();
}
