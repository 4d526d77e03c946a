#pragma once
// What the measurement engine's start asks of the in-app purchase reporter.
// The reporter (QRVAInAppPurchaseTransactionReporter) lives in the analytics
// API folder above the engine; that library installs the shared reporter
// with `QRVAMeasurement::setPurchaseReporterProvider` when the program
// loads. Without a provider the engine reports no purchases.

#include <functional>
#include <memory>

class QRVAPurchaseReporting {
public:
    virtual ~QRVAPurchaseReporting() = default;

    // Reporting was switched off at least once in this process; the engine
    // then leaves it off.
    virtual bool reportingWasDisabled() const = 0;
    // Starts observing the store's payment queue (once).
    virtual void enableReporting() = 0;
};

// Answers the one shared reporter.
using QRVAPurchaseReporterProvider = std::function<std::shared_ptr<QRVAPurchaseReporting>()>;
