#pragma once
// The products the purchase reporter prices purchases with, kept for the
// process (in memory only: each process asks the store again), and the
// store request that fetches them.
//
// `QRVAInAppPurchaseProductCache` holds the products the store answered and
// the identifiers it called invalid, touched only on its serial lock queue
// "com.ondrix.vlp.measurement.iap-cache". An answer adds its products,
// forgets products now called invalid and invalid identifiers now sold;
// once the two together reach 101 entries, the latest answer alone is kept.
//
// `QRVAProductsRequest` is one `ns::SKProductsRequest` and its delegate: it
// keeps itself alive until the store has answered, then hands the products
// by identifier, the invalid identifiers and the error to its handler on the
// queue given.
//
// Threads: any thread may call every method; handlers run on the queue
// given (nothing happens without a queue or a handler).

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "platform/dispatch.h"
#include "platform/storekit.h"

inline constexpr const char* kQRVAInAppPurchaseCacheQueueLabel = "com.ondrix.vlp.measurement.iap-cache";
// Entries (products and invalid identifiers together) at which the cache
// starts over from the latest answer.
inline constexpr size_t kQRVAInAppPurchaseCacheResetCount = 101;

using QRVAProducts = std::map<std::string, ns::SKProductPtr>;
// (valid products by identifier, invalid identifiers, error); the two
// collections are empty when the request failed.
using QRVAProductsCompletionHandler =
    std::function<void(const QRVAProducts&, const std::set<std::string>&, const ns::ErrorRef&)>;

class QRVAProductsRequest : public ns::SKProductsRequestDelegate,
                            public std::enable_shared_from_this<QRVAProductsRequest> {
public:
    // Starts a request; when none can be made the handler gets error 1
    // "Invalid product identifiers.".
    static void requestProductsWithProductIdentifiers(std::set<std::string> productIdentifiers,
                                                      ns::DispatchQueuePtr queue,
                                                      QRVAProductsCompletionHandler completionHandler);
    // nullptr when the store cannot make the request.
    static std::shared_ptr<QRVAProductsRequest> initWithProductIdentifiers(std::set<std::string> productIdentifiers);
    // Becomes the store request's delegate and starts it.
    void requestWithQueue(ns::DispatchQueuePtr queue, QRVAProductsCompletionHandler completionHandler);

    void productsRequestDidReceiveResponse(const std::shared_ptr<ns::SKProductsRequest>& request,
                                           const ns::SKProductsResponse& response) override;
    void requestDidFailWithError(const std::shared_ptr<ns::SKProductsRequest>& request,
                                 const ns::ErrorRef& error) override;

    explicit QRVAProductsRequest(std::shared_ptr<ns::SKProductsRequest> productsRequest);

private:
    // Hands the answer to the handler once, on its queue, and lets go of it.
    void deliver(QRVAProducts products, std::set<std::string> invalid, ns::ErrorRef error);

    const std::shared_ptr<ns::SKProductsRequest> productsRequest_;
    std::mutex mutex_;
    QRVAProductsCompletionHandler completionHandler_;
    ns::DispatchQueuePtr queue_;
};

class QRVAInAppPurchaseProductCache : public std::enable_shared_from_this<QRVAInAppPurchaseProductCache> {
public:
    static std::shared_ptr<QRVAInAppPurchaseProductCache> sharedInstance();
    QRVAInAppPurchaseProductCache();

    // nullptr when the product is not cached. Not on the lock queue.
    ns::SKProductPtr cachedProductForProductIdentifier(const std::string& productIdentifier);
    // Asks the store, updates the cache on the lock queue, then answers the
    // handler on `queue`.
    void requestProductsWithProductIdentifiers(std::set<std::string> productIdentifiers, ns::DispatchQueuePtr queue,
                                               QRVAProductsCompletionHandler completionHandler);

private:
    void updateOnLockQueue(const QRVAProducts& valid, const std::set<std::string>& invalid);

    const ns::DispatchQueuePtr lockQueue_;
    std::set<std::string> invalidProductIdentifiers_;
    QRVAProducts validProducts_;
};
