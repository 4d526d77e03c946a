#pragma once
// StoreKit stand-in: the payment queue that tells its observers how
// purchases go, and product requests that answer a product's price, price
// locale and title. There is no store: the program (a test, the app) lists
// what is for sale with `SKProductsRequest::registerProduct`; identifiers
// not listed come back invalid, and a payment for one fails.
//
// Threads: every method may be called from any thread. Transaction
// observers and request delegates are held weakly and are called on the
// main queue, as StoreKit calls them on the main thread; a request keeps
// itself alive until it has answered. Payments, transactions and products
// do not change once made.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/decimal_number.h"
#include "platform/error.h"
#include "platform/value.h"

namespace ns {

inline constexpr const char* kSKErrorDomain = "SKErrorDomain";
// The store does not sell the product paid for.
inline constexpr long kSKErrorStoreProductNotAvailable = 5;

// The store's values.
enum class SKPaymentTransactionState : long {
    Purchasing = 0,
    Purchased = 1,
    Failed = 2,
    Restored = 3,
    Deferred = 4,
};

class SKPayment {
public:
    explicit SKPayment(std::string productIdentifier, int64_t quantity = 1)
        : productIdentifier_(std::move(productIdentifier)), quantity_(quantity) {}
    const std::string& productIdentifier() const { return productIdentifier_; }
    int64_t quantity() const { return quantity_; }

private:
    std::string productIdentifier_;
    int64_t quantity_;
};

class SKPaymentTransaction : public Object {
public:
    // The identifier is the store's, set once a purchase or restore went
    // through; the error tells why a failed one failed.
    SKPaymentTransaction(SKPayment payment, SKPaymentTransactionState state,
                         std::optional<std::string> transactionIdentifier = std::nullopt, ErrorRef error = nullptr);
    static std::shared_ptr<SKPaymentTransaction> make(SKPayment payment, SKPaymentTransactionState state,
                                                      std::optional<std::string> transactionIdentifier = std::nullopt,
                                                      ErrorRef error = nullptr);

    const SKPayment& payment() const { return payment_; }
    SKPaymentTransactionState transactionState() const { return state_; }
    const std::optional<std::string>& transactionIdentifier() const { return transactionIdentifier_; }
    const ErrorRef& error() const { return error_; }

    std::string className() const override { return "SKPaymentTransaction"; }
    std::string description() const override;

private:
    SKPayment payment_;
    SKPaymentTransactionState state_;
    std::optional<std::string> transactionIdentifier_;
    ErrorRef error_;
};
using SKPaymentTransactionPtr = std::shared_ptr<SKPaymentTransaction>;
using SKPaymentTransactions = std::vector<SKPaymentTransactionPtr>;

class SKPaymentQueue;

class SKPaymentTransactionObserver {
public:
    virtual ~SKPaymentTransactionObserver() = default;
    // paymentQueue:updatedTransactions: (main queue).
    virtual void paymentQueueUpdatedTransactions(const std::shared_ptr<SKPaymentQueue>& queue,
                                                 const SKPaymentTransactions& transactions) = 0;
};

class SKPaymentQueue : public Object {
public:
    // The one queue of the process.
    static std::shared_ptr<SKPaymentQueue> defaultQueue();

    // Held weakly; adding one already there does nothing.
    void addTransactionObserver(const std::shared_ptr<SKPaymentTransactionObserver>& observer);
    void removeTransactionObserver(const SKPaymentTransactionObserver* observer);
    size_t observerCount() const;

    // The store completes the purchase at once: the observers hear of it as
    // purchasing, then as purchased under a new transaction identifier (or
    // as failed, kSKErrorStoreProductNotAvailable, for a product the
    // catalogue does not list).
    void addPayment(const SKPayment& payment);
    // Delivers these transactions to the observers as one update, as the
    // store would (restores, failures, a purchase seen again at a later
    // launch).
    void deliverTransactions(SKPaymentTransactions transactions);

    std::string className() const override { return "SKPaymentQueue"; }

private:
    mutable std::mutex mutex_;
    std::vector<std::weak_ptr<SKPaymentTransactionObserver>> observers_;
};

// The part of NSLocale a price needs: the locale identifier ("de_DE",
// "en_US@currency=EUR") and the currency it implies.
class PriceLocale {
public:
    explicit PriceLocale(std::string localeIdentifier) : localeIdentifier_(std::move(localeIdentifier)) {}
    const std::string& localeIdentifier() const { return localeIdentifier_; }
    // NSLocaleCurrencyCode: the "currency" keyword, else the region's
    // currency (ICU); nullopt for a locale without a region or currency.
    std::optional<std::string> currencyCode() const;

private:
    std::string localeIdentifier_;
};

class SKProduct : public Object {
public:
    SKProduct(std::string productIdentifier, DecimalNumber price, PriceLocale priceLocale,
              std::optional<std::string> localizedTitle = std::nullopt);
    static std::shared_ptr<SKProduct> make(std::string productIdentifier, DecimalNumber price,
                                           std::string priceLocaleIdentifier,
                                           std::optional<std::string> localizedTitle = std::nullopt);

    const std::string& productIdentifier() const { return productIdentifier_; }
    const DecimalNumber& price() const { return price_; }
    const PriceLocale& priceLocale() const { return priceLocale_; }
    const std::optional<std::string>& localizedTitle() const { return localizedTitle_; }

    std::string className() const override { return "SKProduct"; }

private:
    std::string productIdentifier_;
    DecimalNumber price_;
    PriceLocale priceLocale_;
    std::optional<std::string> localizedTitle_;
};
using SKProductPtr = std::shared_ptr<SKProduct>;

struct SKProductsResponse {
    std::vector<SKProductPtr> products;
    std::vector<std::string> invalidProductIdentifiers;
};

class SKProductsRequest;

class SKProductsRequestDelegate {
public:
    virtual ~SKProductsRequestDelegate() = default;
    // productsRequest:didReceiveResponse: (main queue).
    virtual void productsRequestDidReceiveResponse(const std::shared_ptr<SKProductsRequest>& request,
                                                   const SKProductsResponse& response) = 0;
    // request:didFailWithError: (main queue).
    virtual void requestDidFailWithError(const std::shared_ptr<SKProductsRequest>& request,
                                         const ErrorRef& error) = 0;
};

class SKProductsRequest : public Object {
public:
    // nullptr for an empty set: there is nothing to ask the store.
    static std::shared_ptr<SKProductsRequest> initWithProductIdentifiers(std::set<std::string> productIdentifiers);

    void setDelegate(const std::shared_ptr<SKProductsRequestDelegate>& delegate);
    // Answers the delegate once, on the main queue: the listed products (in
    // identifier order) and the identifiers not listed, or the store's
    // error while one is set.
    void start();

    // The catalogue: a product replaces one of the same identifier.
    static void registerProduct(SKProductPtr product);
    static void removeAllProducts();
    static SKProductPtr registeredProduct(const std::string& productIdentifier);
    // While set, every request fails with this error (no network).
    static void setStoreError(ErrorRef error);

    std::string className() const override { return "SKProductsRequest"; }

    explicit SKProductsRequest(std::set<std::string> productIdentifiers);

private:
    const std::set<std::string> productIdentifiers_;
    mutable std::mutex mutex_;
    std::weak_ptr<SKProductsRequestDelegate> delegate_;
};

}  // namespace ns
