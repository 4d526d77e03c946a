// The engine's side of session reporting: the reporter it makes during its
// first start (through the engine bridge's factory, QRVAEngineBridge.h), and
// the interval settings it passes on.

#include "analytics/QRVAEngineBridge.h"
#include "analytics/QRVAMeasurementReporters.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVASessionReporting.h"
#include "platform/dispatch.h"

void QRVAMeasurementReporters::makeSessionReporterOnWorkerQueue() {
    ns::dispatchAssertQueue(scheduler()->workerQueue());
    if (sessionReporter_.get()) return;
    if (auto reporter = QRVAEngineMakeSessionReporter(persistedConfig())) sessionReporter_.set(std::move(reporter));
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
