// The engine's side of purchase reporting: the shared reporter its start
// switches on (through the engine bridge, QRVAEngineBridge.h), and the
// de-duplication of the store's transactions before they are reported.

#include "analytics/QRVADatabase.h"
#include "analytics/QRVAEngineBridge.h"
#include "analytics/QRVAMeasurementReporters.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPurchaseReporting.h"
#include "analytics/QRVARemoteConfig.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVAUtilities.h"
#include "platform/dispatch.h"
#include "platform/storekit.h"

namespace {

// The purchased transactions whose fingerprint the store has not seen, in
// order; one that cannot be checked passes (logged). Worker queue.
QRVAMeasurement::PaymentTransactions newPurchases(QRVADatabase* database,
                                                  const QRVAMeasurement::PaymentTransactions& transactions) {
    auto monitor = QRVAMeasurementMonitor();
    QRVAMeasurement::PaymentTransactions kept;
    for (const auto& transaction : transactions) {
        if (!transaction || transaction->transactionState() != ns::SKPaymentTransactionState::Purchased) continue;
        const ns::Value productID(transaction->payment().productIdentifier());
        auto fingerprint = QRVAPurchaseTransactionFingerprint(transaction.get());
        if (!fingerprint || fingerprint->empty()) {
            monitor->logWithLevel(
                1, 23139, "Purchase has nil or empty fingerprint. Purchase will not be checked for duplicates. Product ID",
                productID);
            kept.push_back(transaction);
            continue;
        }
        ns::ErrorRef error;
        auto isNew = database ? database->insertIfNotDuplicatePurchaseFingerprint(*fingerprint, &error) : std::nullopt;
        if (isNew == false) {
            monitor->logWithLevel(4, 23141, "Purchase is a duplicate and will not be reported. Product ID",
                                    productID);
            continue;
        }
        if (!isNew) {
            monitor->logWithLevel(
                1, 23140,
                "Failed to save purchase fingerprint. Purchase will not be checked for duplicates. Product ID, error",
                productID, QRVAErrorContext(error));
        }
        kept.push_back(transaction);
    }
    return kept;
}

}  // namespace

void QRVAMeasurementReporters::enablePurchaseReportingOnWorkerQueue() {
    ns::dispatchAssertQueue(scheduler()->workerQueue());
    auto reporter = QRVAEnginePurchaseReporter();
    if (reporter && !reporter->reportingWasDisabled()) reporter->enableReporting();
}

void QRVAMeasurementReporters::filterPurchaseTransactions(PaymentTransactions transactions,
                                                          std::function<void(PaymentTransactions)> callback) {
    // The switch is read on the worker queue, where the settings the start
    // makes are safe to reach; with it off everything passes on unchecked.
    std::weak_ptr<QRVAMeasurement> weak = weakEngine();
    scheduler()->scheduleOnWorkerQueueBlockID(
        "QRVAMeasurement:3154", [weak, transactions = std::move(transactions), callback = std::move(callback)]() mutable {
            auto engine = weak.lock();
            auto settings = engine ? engine->currentRemoteConfig() : nullptr;
            if (!settings) settings = QRVARemoteConfig::defaultInstance();
            if (engine && settings->dedupePurchasesEnabled()) {
                transactions = newPurchases(engine->database().get(), transactions);
            }
            ns::DispatchQueue::global()->async(
                [transactions = std::move(transactions), callback = std::move(callback)]() mutable {
                    callback(std::move(transactions));
                });
        });
}

std::optional<std::string> QRVAPurchaseTransactionFingerprint(const ns::SKPaymentTransaction* transaction) {
    auto monitor = QRVAMeasurementMonitor();
    if (!transaction) {
        monitor->logWithLevel(2, 21014, "Transaction is nil");
        return std::nullopt;
    }
    if (transaction->transactionState() != ns::SKPaymentTransactionState::Purchased) return std::nullopt;
    const auto& identifier = transaction->transactionIdentifier();
    const ns::Value code(int64_t(transaction->error() ? transaction->error()->code() : 0));
    if (!identifier) {
        monitor->logWithLevel(2, 21015, "Transaction identifier is nil. Code", code);
        return std::nullopt;
    }
    if (identifier->empty()) {
        monitor->logWithLevel(2, 21016, "Transaction identifier is empty. Code", code);
        return std::nullopt;
    }
    if (identifier->find_first_not_of("0-") == std::string::npos) {
        monitor->logWithLevel(2, 21017, "Transaction identifier is only zeroes. Code", code);
        return std::nullopt;
    }
    return qrva_MD5String(*identifier);
}
