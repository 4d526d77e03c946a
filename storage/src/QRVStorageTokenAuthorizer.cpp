#include "storage/QRVStorageTokenAuthorizer.h"

#include "platform/format.h"
#include "storage/QRVStorageConstants.h"
#include "storage/QRVStorageErrors.h"

QRVStorageTokenAuthorizer::QRVStorageTokenAuthorizer(std::shared_ptr<QRVApp> app,
                                                     std::weak_ptr<HTKSessionFetcherService> fetcherService)
    : app_(std::move(app)), fetcherService_(std::move(fetcherService)) {}

void QRVStorageTokenAuthorizer::authorizeRequest(const std::shared_ptr<ns::URLRequest>& request,
                                                 FinishHandler finish) {
    request->setValue(ns::format("ios/%s", QRVStorageVersionString), kQRVStorageVersionHeader);
    request->setValue(app_->options()->ondrixAppID(), kQRVStorageAppIDHeader);
    if (!finish) return;
    auto service = fetcherService_.lock();
    ns::DispatchQueuePtr queue = service ? service->callbackQueue() : nullptr;
    if (!queue) queue = ns::DispatchQueue::main();
    auto self = shared_from_this();
    if (!app_->getTokenImplementation()) {
        queue->async([self, request, finish] { finish(*self, request, nullptr); });
        return;
    }
    app_->getTokenForcingRefresh(false, [self, request, finish, queue](std::optional<std::string> token,
                                                                       ns::ErrorRef error) {
        ns::ErrorRef finishError;
        if (error) {
            ns::Dictionary info = error->userInfo();
            info[kQRVStorageResponseErrorDomain] = error->domain();
            info[kQRVStorageResponseErrorCode] = int64_t(error->code());
            finishError = QRVStorageErrors::errorWithCode(QRVStorageErrorCodeUnauthenticated, info);
        } else if (token) {
            request->setValue(ns::format(kQRVStorageAuthTokenFormat, *token), "Authorization");
        }
        queue->async([self, request, finish, finishError] { finish(*self, request, finishError); });
    });
}

bool QRVStorageTokenAuthorizer::isAuthorizedRequest(const ns::URLRequest& request) const {
    auto value = request.valueForHTTPHeaderField("Authorization");
    return value && value->starts_with("Quorvane");
}
