#pragma once
// Stamps every storage request with the client's version, the app ID and,
// when someone is signed in, "Authorization: Quorvane <ID token>" taken
// from the app's token hook. The finishing call always comes
// asynchronously on the fetcher service's callback queue (the main queue
// when it has none).

#include <memory>

#include "core/QRVApp.h"
#include "platform/session_fetcher.h"

class QRVStorageTokenAuthorizer : public HTKFetcherAuthorizationProtocol,
                                  public std::enable_shared_from_this<QRVStorageTokenAuthorizer> {
public:
    QRVStorageTokenAuthorizer(std::shared_ptr<QRVApp> app, std::weak_ptr<HTKSessionFetcherService> fetcherService);

    // A token hook failure finishes with -13020 carrying the hook's userInfo
    // plus "ResponseErrorDomain" and "ResponseErrorCode".
    void authorizeRequest(const std::shared_ptr<ns::URLRequest>& request, FinishHandler finish) override;
    // True when "Authorization" begins with "Quorvane".
    bool isAuthorizedRequest(const ns::URLRequest& request) const override;
    bool isAuthorizingRequest(const ns::URLRequest&) const override { return false; }
    void stopAuthorization() override {}
    void stopAuthorizationForRequest(const ns::URLRequest&) override {}
    std::optional<std::string> userEmail() const override { return std::nullopt; }

    const std::shared_ptr<QRVApp>& app() const { return app_; }
    std::shared_ptr<HTKSessionFetcherService> fetcherService() const { return fetcherService_.lock(); }

private:
    std::shared_ptr<QRVApp> app_;
    std::weak_ptr<HTKSessionFetcherService> fetcherService_;
};
