#include "analytics/QRVAInAppPurchaseProductCache.h"

#include "analytics/QRVAMonitor.h"

// MARK: - Products request

void QRVAProductsRequest::requestProductsWithProductIdentifiers(std::set<std::string> productIdentifiers,
                                                               ns::DispatchQueuePtr queue,
                                                               QRVAProductsCompletionHandler completionHandler) {
    if (!queue || !completionHandler) return;
    auto request = initWithProductIdentifiers(std::move(productIdentifiers));
    if (!request) {
        auto error = qrva_errorWithCode(1, "Invalid product identifiers.");
        queue->async([completionHandler = std::move(completionHandler), error] {
            completionHandler({}, {}, error);
        });
        return;
    }
    // The handler holds the request until the answer has been delivered;
    // nothing else does.
    request->requestWithQueue(queue, [request, completionHandler = std::move(completionHandler)](
                                         const QRVAProducts& valid, const std::set<std::string>& invalid,
                                         const ns::ErrorRef& error) { completionHandler(valid, invalid, error); });
}

std::shared_ptr<QRVAProductsRequest> QRVAProductsRequest::initWithProductIdentifiers(
    std::set<std::string> productIdentifiers) {
    auto productsRequest = ns::SKProductsRequest::initWithProductIdentifiers(std::move(productIdentifiers));
    if (!productsRequest) return nullptr;
    return std::make_shared<QRVAProductsRequest>(std::move(productsRequest));
}

QRVAProductsRequest::QRVAProductsRequest(std::shared_ptr<ns::SKProductsRequest> productsRequest)
    : productsRequest_(std::move(productsRequest)) {}

void QRVAProductsRequest::requestWithQueue(ns::DispatchQueuePtr queue,
                                           QRVAProductsCompletionHandler completionHandler) {
    {
        std::lock_guard lock(mutex_);
        completionHandler_ = std::move(completionHandler);
        queue_ = std::move(queue);
    }
    productsRequest_->setDelegate(shared_from_this());
    productsRequest_->start();
}

void QRVAProductsRequest::productsRequestDidReceiveResponse(const std::shared_ptr<ns::SKProductsRequest>&,
                                                            const ns::SKProductsResponse& response) {
    QRVAProducts products;
    for (const auto& product : response.products) {
        if (product && !product->productIdentifier().empty()) products[product->productIdentifier()] = product;
    }
    std::set<std::string> invalid(response.invalidProductIdentifiers.begin(), response.invalidProductIdentifiers.end());
    deliver(std::move(products), std::move(invalid), nullptr);
}

void QRVAProductsRequest::requestDidFailWithError(const std::shared_ptr<ns::SKProductsRequest>&,
                                                  const ns::ErrorRef& error) {
    deliver({}, {}, error);
}

void QRVAProductsRequest::deliver(QRVAProducts products, std::set<std::string> invalid, ns::ErrorRef error) {
    QRVAProductsCompletionHandler handler;
    ns::DispatchQueuePtr queue;
    {
        // Moved out, so the handler (which holds this request) is let go of
        // once it has run.
        std::lock_guard lock(mutex_);
        handler = std::move(completionHandler_);
        queue = std::move(queue_);
        completionHandler_ = nullptr;
    }
    if (!handler || !queue) return;
    queue->async([handler = std::move(handler), products = std::move(products), invalid = std::move(invalid),
                  error = std::move(error)] { handler(products, invalid, error); });
}

// MARK: - Product cache

std::shared_ptr<QRVAInAppPurchaseProductCache> QRVAInAppPurchaseProductCache::sharedInstance() {
    // Reached from pooled threads until the process ends: never destroyed.
    static auto* cache = new std::shared_ptr<QRVAInAppPurchaseProductCache>(
        std::make_shared<QRVAInAppPurchaseProductCache>());
    return *cache;
}

QRVAInAppPurchaseProductCache::QRVAInAppPurchaseProductCache()
    : lockQueue_(ns::DispatchQueue::serial(kQRVAInAppPurchaseCacheQueueLabel)) {}

ns::SKProductPtr QRVAInAppPurchaseProductCache::cachedProductForProductIdentifier(const std::string& productIdentifier) {
    ns::SKProductPtr product;
    lockQueue_->sync([&] {
        auto found = validProducts_.find(productIdentifier);
        if (found != validProducts_.end()) product = found->second;
    });
    return product;
}

void QRVAInAppPurchaseProductCache::requestProductsWithProductIdentifiers(
    std::set<std::string> productIdentifiers, ns::DispatchQueuePtr queue,
    QRVAProductsCompletionHandler completionHandler) {
    if (!queue || !completionHandler) return;
    auto self = shared_from_this();
    QRVAProductsRequest::requestProductsWithProductIdentifiers(
        std::move(productIdentifiers), lockQueue_,
        [self, queue = std::move(queue), completionHandler = std::move(completionHandler)](
            const QRVAProducts& valid, const std::set<std::string>& invalid, const ns::ErrorRef& error) {
            self->updateOnLockQueue(valid, invalid);
            queue->async([completionHandler, valid, invalid, error] { completionHandler(valid, invalid, error); });
        });
}

void QRVAInAppPurchaseProductCache::updateOnLockQueue(const QRVAProducts& valid, const std::set<std::string>& invalid) {
    ns::dispatchAssertQueue(lockQueue_);
    for (const auto& [identifier, product] : valid) {
        validProducts_[identifier] = product;
        invalidProductIdentifiers_.erase(identifier);
    }
    for (const auto& identifier : invalid) {
        validProducts_.erase(identifier);
        invalidProductIdentifiers_.insert(identifier);
    }
    // Bounded: past the limit only what the store said last is kept.
    if (validProducts_.size() + invalidProductIdentifiers_.size() >= kQRVAInAppPurchaseCacheResetCount) {
        validProducts_ = valid;
        invalidProductIdentifiers_ = invalid;
    }
}
