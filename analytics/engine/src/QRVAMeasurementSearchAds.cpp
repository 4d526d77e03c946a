// The engine's side of search-ad reporting: the reporter its first start
// makes through the engine bridge's factory (QRVAEngineBridge.h), when the
// remote setting allows.

#include "analytics/QRVAEngineBridge.h"
#include "analytics/QRVAMeasurementReporters.h"
#include "analytics/QRVARemoteConfig.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVASearchAdReporting.h"
#include "platform/dispatch.h"

void QRVAMeasurementReporters::makeSearchAdReporterOnWorkerQueue() {
    ns::dispatchAssertQueue(scheduler()->workerQueue());
    if (searchAdReporter_.get() || !remoteConfig()->isSearchAdReporterEnabled()) return;
    auto reporter = QRVAEngineMakeSearchAdReporter(scheduler()->workerQueue(), persistedConfig());
    if (!reporter) return;
    searchAdReporter_.set(reporter);
    reporter->setSearchAdReporterEnabled(remoteConfig()->isSearchAdReporterEnabled());
    reporter->start();
}
