#pragma once
// Store purchases reported automatically: the reporter observes the default
// payment queue, lets the engine drop transactions it has already seen
// (`QRVAMeasurement::filterPurchaseTransactions`), looks up each product's
// price in the process-wide product cache (QRVAInAppPurchaseProductCache.h),
// and logs one "_iap" event (origin "auto") per purchased transaction:
// "product_id", "quantity", "price" and "value" in millionths of the
// currency unit, "currency" and, when the product has one, "product_name".
// A purchase whose product the store does not know, or whose price or value
// cannot be counted in 64 bits (22002), is not reported.
//
// The engine switches the shared reporter on at its start (unless reporting
// was switched off before); this library installs it as the engine's
// purchase reporter when the program loads.
//
// Threads: every method may be called from any thread. The store calls the
// observer on a thread of its choosing; the engine's filter answers on the
// default-priority global queue, and reporting runs there.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "analytics/QRVAPurchaseReporting.h"
#include "analytics/QRVAValue.h"
#include "platform/storekit.h"

class QRVAInAppPurchaseTransactionReporter : public QRVAPurchaseReporting,
                                             public ns::SKPaymentTransactionObserver,
                                             public std::enable_shared_from_this<QRVAInAppPurchaseTransactionReporter> {
public:
    static std::shared_ptr<QRVAInAppPurchaseTransactionReporter> sharedInstance();
    QRVAInAppPurchaseTransactionReporter() = default;
    ~QRVAInAppPurchaseTransactionReporter() override;

    bool reportingWasDisabled() const override;
    // Observes the default payment queue (once).
    void enableReporting() override;
    // Stops observing, and keeps the engine from switching reporting on again.
    void disableReporting();
    bool isReportingEnabled() const;

    // The store's update: the engine filters it, then the transactions left
    // go to paymentQueueUpdatedFilteredTransactions. Without an engine,
    // nothing happens.
    void paymentQueueUpdatedTransactions(const std::shared_ptr<ns::SKPaymentQueue>& queue,
                                         const ns::SKPaymentTransactions& transactions) override;
    // The purchased ones become {"product_id", "quantity"}; products not in
    // the cache are asked for first, and the list is reported either way.
    void paymentQueueUpdatedFilteredTransactions(const std::shared_ptr<ns::SKPaymentQueue>& queue,
                                                 const ns::SKPaymentTransactions& transactions);
    // Completes each {"product_id", "quantity"} from the cached product and
    // logs it as "_iap"; one whose product is not cached is skipped.
    void reportTransactionsFromArray(const std::vector<QRVAObjectParameters>& transactions);

    // The identity of a purchased transaction for de-duplication
    // (QRVAPurchaseTransactionFingerprint, which the engine calls).
    static std::optional<std::string> transactionFingerprint(const ns::SKPaymentTransaction* transaction);

private:
    mutable std::mutex mutex_;
    bool reportingEnabled_ = false;
    bool reportingWasDisabled_ = false;
};
