#include "platform/storekit.h"

#include <unicode/ucurr.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>

#include "platform/dispatch.h"
#include "platform/format.h"

namespace ns {

namespace {

struct Catalogue {
    std::mutex mutex;
    std::map<std::string, SKProductPtr, std::less<>> products;
    ErrorRef storeError;
};

Catalogue& catalogue() {
    // Read by requests answering on pooled threads: never destroyed.
    static Catalogue* instance = new Catalogue;
    return *instance;
}

// Sixteen digits as the store's are. Random, not counted, so that a later
// process (a relaunch over the same store) never repeats an earlier one.
std::string newTransactionIdentifier() {
    static std::mutex mutex;
    static std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<uint64_t> digits(0, 999999999);
    uint64_t number;
    {
        std::lock_guard lock(mutex);
        number = digits(generator);
    }
    char text[20];
    std::snprintf(text, sizeof text, "1000000%09llu", static_cast<unsigned long long>(number));
    return text;
}

}  // namespace

// MARK: - Transactions

SKPaymentTransaction::SKPaymentTransaction(SKPayment payment, SKPaymentTransactionState state,
                                           std::optional<std::string> transactionIdentifier, ErrorRef error)
    : payment_(std::move(payment)),
      state_(state),
      transactionIdentifier_(std::move(transactionIdentifier)),
      error_(std::move(error)) {}

std::shared_ptr<SKPaymentTransaction> SKPaymentTransaction::make(SKPayment payment, SKPaymentTransactionState state,
                                                                 std::optional<std::string> transactionIdentifier,
                                                                 ErrorRef error) {
    return std::make_shared<SKPaymentTransaction>(std::move(payment), state, std::move(transactionIdentifier),
                                                  std::move(error));
}

std::string SKPaymentTransaction::description() const {
    return format("<SKPaymentTransaction %@ x%@ state %@ id %@>", payment_.productIdentifier(),
                  std::to_string(payment_.quantity()), std::to_string(static_cast<long>(state_)),
                  transactionIdentifier_.value_or("(null)"));
}

// MARK: - Payment queue

std::shared_ptr<SKPaymentQueue> SKPaymentQueue::defaultQueue() {
    static auto* queue = new std::shared_ptr<SKPaymentQueue>(std::make_shared<SKPaymentQueue>());
    return *queue;
}

void SKPaymentQueue::addTransactionObserver(const std::shared_ptr<SKPaymentTransactionObserver>& observer) {
    if (!observer) return;
    std::lock_guard lock(mutex_);
    std::erase_if(observers_, [](const auto& weak) { return weak.expired(); });
    for (const auto& weak : observers_) {
        if (weak.lock() == observer) return;
    }
    observers_.push_back(observer);
}

void SKPaymentQueue::removeTransactionObserver(const SKPaymentTransactionObserver* observer) {
    std::lock_guard lock(mutex_);
    std::erase_if(observers_, [observer](const auto& weak) {
        auto held = weak.lock();
        return !held || held.get() == observer;
    });
}

size_t SKPaymentQueue::observerCount() const {
    std::lock_guard lock(mutex_);
    return size_t(std::count_if(observers_.begin(), observers_.end(), [](const auto& w) { return !w.expired(); }));
}

void SKPaymentQueue::addPayment(const SKPayment& payment) {
    deliverTransactions({SKPaymentTransaction::make(payment, SKPaymentTransactionState::Purchasing)});
    if (SKProductsRequest::registeredProduct(payment.productIdentifier())) {
        deliverTransactions({SKPaymentTransaction::make(payment, SKPaymentTransactionState::Purchased,
                                                        newTransactionIdentifier())});
        return;
    }
    auto error = Error::make(kSKErrorDomain, kSKErrorStoreProductNotAvailable, "The product is not available in the store.");
    deliverTransactions({SKPaymentTransaction::make(payment, SKPaymentTransactionState::Failed, std::nullopt, error)});
}

void SKPaymentQueue::deliverTransactions(SKPaymentTransactions transactions) {
    auto self = std::static_pointer_cast<SKPaymentQueue>(shared_from_this());
    DispatchQueue::main()->async([self, transactions = std::move(transactions)] {
        std::vector<std::weak_ptr<SKPaymentTransactionObserver>> observers;
        {
            std::lock_guard lock(self->mutex_);
            observers = self->observers_;
        }
        // Observers may add or remove observers while they are told.
        for (const auto& weak : observers) {
            if (auto observer = weak.lock()) observer->paymentQueueUpdatedTransactions(self, transactions);
        }
    });
}

// MARK: - Products

std::optional<std::string> PriceLocale::currencyCode() const {
    // ICU reads "" as the process's default locale; NSLocale reads it as the
    // root locale, which has no currency.
    if (localeIdentifier_.empty()) return std::nullopt;
    UChar code[4] = {};
    UErrorCode status = U_ZERO_ERROR;
    const int32_t length = ucurr_forLocale(localeIdentifier_.c_str(), code, 4, &status);
    if (U_FAILURE(status) || length != 3) return std::nullopt;
    std::string text;
    for (int i = 0; i < 3; ++i) {
        if (code[i] > 0x7f) return std::nullopt;
        text.push_back(static_cast<char>(code[i]));
    }
    return text;
}

SKProduct::SKProduct(std::string productIdentifier, DecimalNumber price, PriceLocale priceLocale,
                     std::optional<std::string> localizedTitle)
    : productIdentifier_(std::move(productIdentifier)),
      price_(price),
      priceLocale_(std::move(priceLocale)),
      localizedTitle_(std::move(localizedTitle)) {}

std::shared_ptr<SKProduct> SKProduct::make(std::string productIdentifier, DecimalNumber price,
                                           std::string priceLocaleIdentifier,
                                           std::optional<std::string> localizedTitle) {
    return std::make_shared<SKProduct>(std::move(productIdentifier), price,
                                       PriceLocale(std::move(priceLocaleIdentifier)), std::move(localizedTitle));
}

// MARK: - Product requests

SKProductsRequest::SKProductsRequest(std::set<std::string> productIdentifiers)
    : productIdentifiers_(std::move(productIdentifiers)) {}

std::shared_ptr<SKProductsRequest> SKProductsRequest::initWithProductIdentifiers(
    std::set<std::string> productIdentifiers) {
    if (productIdentifiers.empty()) return nullptr;
    return std::make_shared<SKProductsRequest>(std::move(productIdentifiers));
}

void SKProductsRequest::setDelegate(const std::shared_ptr<SKProductsRequestDelegate>& delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}

void SKProductsRequest::start() {
    auto self = std::static_pointer_cast<SKProductsRequest>(shared_from_this());
    DispatchQueue::main()->async([self] {
        ErrorRef error;
        SKProductsResponse response;
        {
            std::lock_guard lock(catalogue().mutex);
            error = catalogue().storeError;
            for (const auto& identifier : self->productIdentifiers_) {
                auto found = catalogue().products.find(identifier);
                if (found == catalogue().products.end()) {
                    response.invalidProductIdentifiers.push_back(identifier);
                } else {
                    response.products.push_back(found->second);
                }
            }
        }
        std::shared_ptr<SKProductsRequestDelegate> delegate;
        {
            std::lock_guard lock(self->mutex_);
            delegate = self->delegate_.lock();
        }
        if (!delegate) return;
        if (error) {
            delegate->requestDidFailWithError(self, error);
        } else {
            delegate->productsRequestDidReceiveResponse(self, response);
        }
    });
}

void SKProductsRequest::registerProduct(SKProductPtr product) {
    if (!product) return;
    std::lock_guard lock(catalogue().mutex);
    catalogue().products[product->productIdentifier()] = std::move(product);
}

void SKProductsRequest::removeAllProducts() {
    std::lock_guard lock(catalogue().mutex);
    catalogue().products.clear();
}

SKProductPtr SKProductsRequest::registeredProduct(const std::string& productIdentifier) {
    std::lock_guard lock(catalogue().mutex);
    auto found = catalogue().products.find(productIdentifier);
    return found == catalogue().products.end() ? nullptr : found->second;
}

void SKProductsRequest::setStoreError(ErrorRef error) {
    std::lock_guard lock(catalogue().mutex);
    catalogue().storeError = std::move(error);
}

}  // namespace ns
