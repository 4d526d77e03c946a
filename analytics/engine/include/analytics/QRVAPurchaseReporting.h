#pragma once
// What the measurement engine's start asks of the in-app purchase reporter.
// The reporter (QRVAInAppPurchaseTransactionReporter) lives in the analytics
// API folder above the engine; that library installs the shared reporter
// in the engine bridge (QRVAEngineBridge.h) when the program loads. Without a provider the engine reports no purchases.

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace ns {
class SKPaymentTransaction;
}

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

// The identity of a purchased transaction for de-duplication: the lower-case
// hex MD5 of the store's transaction identifier. nullopt for a transaction
// in another state (silently), and for a missing transaction (21014) or a
// missing, empty or all "0"/"-" identifier (21015, 21016, 21017, with the
// transaction error's code). Any thread. The reporter's
// `transactionFingerprint` is this; the engine's purchase filter calls it
// here so that it needs nothing from the layer above.
std::optional<std::string> QRVAPurchaseTransactionFingerprint(const ns::SKPaymentTransaction* transaction);
