#include "analytics/QRVAInAppPurchaseTransactionReporter.h"

#include <cmath>
#include <set>

#include "analytics/QRVAInAppPurchaseProductCache.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAnalytics.h"
#include "platform/decimal_number.h"
#include "platform/dispatch.h"

namespace {

// 2^63, the first double past the int64 range.
constexpr double kInt64Bound = 9223372036854775808.0;

// amount x 1000000 in decimal, then as a double truncated toward zero;
// nullopt where that has no int64 (a double out of its range converts to
// nothing defined).
std::optional<int64_t> millionths(const std::optional<ns::DecimalNumber>& amount) {
    static const ns::DecimalNumber million = ns::DecimalNumber::fromInt64(1000000);
    auto scaled = amount ? amount->multiply(million) : std::nullopt;
    if (!scaled) return std::nullopt;
    const double value = scaled->doubleValue();
    if (!std::isfinite(value) || value < -kInt64Bound || value >= kInt64Bound) return std::nullopt;
    return static_cast<int64_t>(value);
}

// Adds price, value, currency and name from the product; false when the
// price or the value cannot be counted.
bool addProductParameters(QRVAObjectParameters& parameters, const ns::SKProduct& product) {
    const auto price = millionths(product.price());
    if (!price) return false;
    parameters.set("price", ns::Value(*price));
    if (const ns::Value* quantity = parameters.find("quantity")) {
        const auto value = millionths(ns::DecimalNumber::fromInt64(quantity->intValue()).multiply(product.price()));
        if (!value) return false;
        parameters.set("value", ns::Value(*value));
    }
    if (auto currency = product.priceLocale().currencyCode()) parameters.set("currency", ns::Value(*currency));
    if (const auto& title = product.localizedTitle()) parameters.set("product_name", ns::Value(*title));
    return true;
}

}  // namespace

// MARK: - Switching

std::shared_ptr<QRVAInAppPurchaseTransactionReporter> QRVAInAppPurchaseTransactionReporter::sharedInstance() {
    // Observed by the store and reached from pooled threads until the
    // process ends: never destroyed.
    static auto* reporter = new std::shared_ptr<QRVAInAppPurchaseTransactionReporter>(
        std::make_shared<QRVAInAppPurchaseTransactionReporter>());
    return *reporter;
}

QRVAInAppPurchaseTransactionReporter::~QRVAInAppPurchaseTransactionReporter() {
    // The queue holds observers weakly; this only tidies its list.
    ns::SKPaymentQueue::defaultQueue()->removeTransactionObserver(this);
}

bool QRVAInAppPurchaseTransactionReporter::reportingWasDisabled() const {
    std::lock_guard lock(mutex_);
    return reportingWasDisabled_;
}

bool QRVAInAppPurchaseTransactionReporter::isReportingEnabled() const {
    std::lock_guard lock(mutex_);
    return reportingEnabled_;
}

void QRVAInAppPurchaseTransactionReporter::enableReporting() {
    std::lock_guard lock(mutex_);
    if (reportingEnabled_) return;
    ns::SKPaymentQueue::defaultQueue()->addTransactionObserver(shared_from_this());
    reportingEnabled_ = true;
}

void QRVAInAppPurchaseTransactionReporter::disableReporting() {
    std::lock_guard lock(mutex_);
    reportingWasDisabled_ = true;
    if (!reportingEnabled_) return;
    ns::SKPaymentQueue::defaultQueue()->removeTransactionObserver(this);
    reportingEnabled_ = false;
}

// MARK: - Transactions

void QRVAInAppPurchaseTransactionReporter::paymentQueueUpdatedTransactions(
    const std::shared_ptr<ns::SKPaymentQueue>& queue, const ns::SKPaymentTransactions& transactions) {
    if (!QRVAMeasurement::hasSharedInstance()) return;
    auto engine = QRVAMeasurement::sharedInstance();
    if (!engine) return;
    std::weak_ptr<QRVAInAppPurchaseTransactionReporter> weak = weak_from_this();
    engine->filterPurchaseTransactions(transactions, [weak, queue](ns::SKPaymentTransactions filtered) {
        if (auto self = weak.lock()) self->paymentQueueUpdatedFilteredTransactions(queue, filtered);
    });
}

void QRVAInAppPurchaseTransactionReporter::paymentQueueUpdatedFilteredTransactions(
    const std::shared_ptr<ns::SKPaymentQueue>&, const ns::SKPaymentTransactions& transactions) {
    auto cache = QRVAInAppPurchaseProductCache::sharedInstance();
    std::vector<QRVAObjectParameters> purchases;
    std::set<std::string> missing;
    for (const auto& transaction : transactions) {
        if (!transaction || transaction->transactionState() != ns::SKPaymentTransactionState::Purchased) continue;
        const std::string productID = transaction->payment().productIdentifier();
        if (productID.empty()) continue;
        if (!cache->cachedProductForProductIdentifier(productID)) missing.insert(productID);
        QRVAObjectParameters purchase;
        purchase.set("product_id", ns::Value(productID));
        purchase.set("quantity", ns::Value(transaction->payment().quantity()));
        purchases.push_back(std::move(purchase));
    }
    if (purchases.empty()) return;
    std::weak_ptr<QRVAInAppPurchaseTransactionReporter> weak = weak_from_this();
    auto report = [weak, purchases = std::move(purchases)] {
        if (auto self = weak.lock()) self->reportTransactionsFromArray(purchases);
    };
    auto global = ns::DispatchQueue::global();
    if (missing.empty()) {
        global->async(std::move(report));
        return;
    }
    // Whatever the store answers: products it did not give stay uncached
    // and their purchases are skipped.
    cache->requestProductsWithProductIdentifiers(
        std::move(missing), global,
        [report = std::move(report)](const QRVAProducts&, const std::set<std::string>&, const ns::ErrorRef&) {
            report();
        });
}

void QRVAInAppPurchaseTransactionReporter::reportTransactionsFromArray(
    const std::vector<QRVAObjectParameters>& transactions) {
    auto cache = QRVAInAppPurchaseProductCache::sharedInstance();
    for (const auto& transaction : transactions) {
        const ns::Value* productID = transaction.find("product_id");
        if (!productID || !productID->isString()) continue;
        auto product = cache->cachedProductForProductIdentifier(productID->asString());
        QRVAObjectParameters parameters = transaction;
        if (product && !addProductParameters(parameters, *product)) {
            QRVAMeasurementMonitor()->logWithLevel(1, 22002,
                                                   "Cannot record transaction with value that is out of bounds");
            continue;
        }
        const bool complete = parameters.contains("price") && parameters.contains("value") &&
                              parameters.contains("currency") && parameters.contains("product_id");
        if (!complete) continue;
        QRVAnalytics::logInternalEventWithOrigin(kQRVAnalyticsOriginAuto, "_iap", parameters);
    }
}

std::optional<std::string> QRVAInAppPurchaseTransactionReporter::transactionFingerprint(
    const ns::SKPaymentTransaction* transaction) {
    return QRVAPurchaseTransactionFingerprint(transaction);
}
