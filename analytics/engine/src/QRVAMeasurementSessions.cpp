// The engine's side of session reporting: the reporter it makes during its
// first start (through the factory the layer above installs), and the
// interval settings it passes on.

#include "QRVAInstalledHook.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVASessionReporting.h"
#include "platform/dispatch.h"

void QRVAMeasurement::setSessionReporterFactory(QRVASessionReporterFactory make) {
    QRVAInstalledHook<QRVASessionReporterFactory>::shared().set(std::move(make));
}

std::shared_ptr<QRVASessionReporting> QRVAMeasurement::sessionReporter() const { return sessionReporter_.get(); }

void QRVAMeasurement::makeSessionReporterOnWorkerQueue() {
    ns::dispatchAssertQueue(scheduler_->workerQueue());
    if (sessionReporter_.get()) return;
    QRVASessionReporterFactory make = QRVAInstalledHook<QRVASessionReporterFactory>::shared().get();
    if (make) sessionReporter_.set(make(persistedConfig_));
}

void QRVAMeasurement::setMinimumSessionInterval(double seconds) {
    std::weak_ptr<QRVAMeasurement> weak = weak_from_this();
    scheduler_->scheduleOnWorkerQueueBlockID("QRVAMeasurement:947", [weak, seconds] {
        auto engine = weak.lock();
        if (auto reporter = engine ? engine->sessionReporter() : nullptr) reporter->setMinimumSessionInterval(seconds);
    });
}

void QRVAMeasurement::setSessionTimeoutInterval(double seconds) {
    std::weak_ptr<QRVAMeasurement> weak = weak_from_this();
    scheduler_->scheduleOnWorkerQueueBlockID("QRVAMeasurement:955", [weak, seconds] {
        auto engine = weak.lock();
        if (auto reporter = engine ? engine->sessionReporter() : nullptr) reporter->setTimeoutSessionInterval(seconds);
    });
}
