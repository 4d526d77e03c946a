// What each part of the measurement engine (the event writer, the uploader,
// the configuration fetch, the automatic events) has in common: the engine it
// belongs to, and short reads of the components the engine's start makes
// (null until the start has run). A part is made with its engine, lives as
// long as it, and runs on the engine's worker queue unless its header says
// otherwise; it keeps its own state and reaches another part only through the
// engine.
#pragma once

#include <memory>

#include "analytics/QRVAMeasurement.h"

class QRVAMeasurementPart {
public:
    QRVAMeasurementPart(const QRVAMeasurementPart&) = delete;
    QRVAMeasurementPart& operator=(const QRVAMeasurementPart&) = delete;

protected:
    explicit QRVAMeasurementPart(QRVAMeasurement& engine) : engine_(engine) {}
    ~QRVAMeasurementPart() = default;

    const std::shared_ptr<QRVADatabase>& database() const { return engine_.database(); }
    const std::shared_ptr<QRVARemoteConfig>& remoteConfig() const { return engine_.currentRemoteConfig(); }
    const std::shared_ptr<QRVAIdentity>& identity() const { return engine_.identity(); }
    const std::shared_ptr<QRVAAudience>& audience() const { return engine_.audience(); }
    const std::shared_ptr<QRVNetwork>& network() const { return engine_.network(); }
    const std::shared_ptr<QRVAScheduler>& scheduler() const { return engine_.scheduler(); }
    const std::shared_ptr<QRVAPersistedConfig>& persistedConfig() const { return engine_.persistedConfig(); }
    static std::shared_ptr<QRVAMonitor> monitor() { return QRVAMeasurement::monitor(); }
    // The engine as callbacks hold it: a block that outlives it does nothing.
    std::weak_ptr<QRVAMeasurement> weakEngine() const { return engine_.weak_from_this(); }

    QRVAMeasurement& engine_;
};
