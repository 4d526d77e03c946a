// The measurement engine's side of the reporters the layer above makes: the
// session reporter and the search-ad reporter its first start makes (the
// latter when the remote setting allows), the shared purchase reporter the
// start switches on, and the de-duplication of the store's transactions
// before they are reported. It owns the two reporters it made.
#pragma once

#include <functional>
#include <memory>

#include "analytics/QRVAMeasurementPart.h"
#include "platform/guarded.h"

class QRVAMeasurementReporters : QRVAMeasurementPart {
public:
    using PaymentTransactions = QRVAMeasurement::PaymentTransactions;
    explicit QRVAMeasurementReporters(QRVAMeasurement& engine) : QRVAMeasurementPart(engine) {}

    // Any thread: passed on to the session reporter on the worker queue.
    void setMinimumSessionInterval(double seconds);
    void setSessionTimeoutInterval(double seconds);
    // Made by the first successful start; nullptr before it and without a
    // factory. Any thread.
    std::shared_ptr<QRVASessionReporting> sessionReporter() const { return sessionReporter_.get(); }
    // Made by the first start when the remote setting allows; nullptr
    // otherwise. Any thread.
    std::shared_ptr<QRVASearchAdReporting> searchAdReporter() const { return searchAdReporter_.get(); }
    // Any thread: calls back once, on the default-priority global queue,
    // with the transactions to report, in the order given. With
    // de-duplication on (remote setting) only purchased transactions not
    // seen before pass, checked on the worker queue; with it off, all pass.
    void filterPurchaseTransactions(PaymentTransactions transactions,
                                    std::function<void(PaymentTransactions)> callback);

    // The start's steps (worker queue).
    void enablePurchaseReportingOnWorkerQueue();
    void makeSessionReporterOnWorkerQueue();
    void makeSearchAdReporterOnWorkerQueue();

private:
    ns::Guarded<std::shared_ptr<QRVASessionReporting>> sessionReporter_;
    ns::Guarded<std::shared_ptr<QRVASearchAdReporting>> searchAdReporter_;
};
