#pragma once
// What the measurement engine's start asks of the search-ad reporter. The
// reporter (QRVASearchAdReporter) lives in the analytics API folder above
// the engine; that library installs a factory in the engine bridge
// (QRVAEngineBridge.h) when the program loads, and the engine makes one
// reporter with it during its first start when the remote setting allows. Without a factory there is no search-ad reporting.

#include <functional>
#include <memory>

#include "platform/dispatch.h"

class QRVAPersistedConfig;

class QRVASearchAdReporting {
public:
    virtual ~QRVASearchAdReporting() = default;

    virtual void setSearchAdReporterEnabled(bool enabled) = 0;
    // Asks the attribution service (at once, or a day after the last
    // look-up) when it is there; otherwise only logs that it is not.
    virtual void start() = 0;
};

// Makes the reporter on the engine's worker queue over its persisted state;
// nullptr when nothing is left to report (answered, or out of retries).
using QRVASearchAdReporterFactory = std::function<std::shared_ptr<QRVASearchAdReporting>(
    ns::DispatchQueuePtr workerQueue, std::shared_ptr<QRVAPersistedConfig> persistedConfig)>;
