// The engine's side of session reporting: the reporter it makes during its
// first start (through the factory the layer above installs), and the
// interval settings it passes on.

#include "analytics/QRVAMeasurementReporters.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVASessionReporting.h"
#include "platform/dispatch.h"

namespace {

// Installed from a static initializer of the layer above, whichever side
// runs first; never destroyed.
ns::Guarded<QRVASessionReporterFactory>& installedFactory() {
    static auto* factory = new ns::Guarded<QRVASessionReporterFactory>;
    return *factory;
}

}  // namespace

void QRVAMeasurement::setSessionReporterFactory(QRVASessionReporterFactory make) {
    installedFactory().set(std::move(make));
}

void QRVAMeasurementReporters::makeSessionReporterOnWorkerQueue() {
    ns::dispatchAssertQueue(scheduler()->workerQueue());
    if (sessionReporter_.get()) return;
    QRVASessionReporterFactory make = installedFactory().get();
    if (make) sessionReporter_.set(make(persistedConfig()));
}

void QRVAMeasurementReporters::setMinimumSessionInterval(double seconds) {
    scheduler()->scheduleOnWorkerQueueBlockID("QRVAMeasurement:947", [weak = weakEngine(), seconds] {
        auto engine = weak.lock();
        if (auto reporter = engine ? engine->sessionReporter() : nullptr) reporter->setMinimumSessionInterval(seconds);
    });
}

void QRVAMeasurementReporters::setSessionTimeoutInterval(double seconds) {
    scheduler()->scheduleOnWorkerQueueBlockID("QRVAMeasurement:955", [weak = weakEngine(), seconds] {
        auto engine = weak.lock();
        if (auto reporter = engine ? engine->sessionReporter() : nullptr) reporter->setTimeoutSessionInterval(seconds);
    });
}
