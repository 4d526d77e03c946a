#pragma once
// Where the database gets its access token: a provider is asked for the
// current token before every connection attempt and tells a listener when
// the signed-in user's token changes. Every answer and every listener call
// reaches the database asynchronously on the worker queue.
//
// The provider of an app asks the app's token hook and observes the
// authentication service's internal state notification for that app; the
// no-op provider, for configurations not tied to an app, never has a token.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/QRVApp.h"
#include "platform/error.h"
#include "platform/notification_center.h"
#include "platform/value.h"

class FAuthTokenProvider {
public:
    using TokenCallback = std::function<void(std::optional<std::string> token, ns::ErrorRef error)>;
    using TokenListener = std::function<void(std::optional<std::string> token)>;

    virtual ~FAuthTokenProvider() = default;

    // fetchTokenForcingRefresh:withCallback:
    virtual void fetchTokenForcingRefresh(bool forceRefresh, TokenCallback callback) = 0;
    // listenForTokenChanges:
    virtual void listenForTokenChanges(TokenListener listener) = 0;

    // +authTokenProviderForApp: a new app provider for the app.
    static std::shared_ptr<FAuthTokenProvider> authTokenProviderForApp(std::shared_ptr<QRVApp> app);
};

using FAuthTokenProviderPtr = std::shared_ptr<FAuthTokenProvider>;

// Answers (no token, no error) on the worker queue, whatever the flag; never
// calls a listener.
class QRVNoopAuthTokenProvider final : public FAuthTokenProvider {
public:
    void fetchTokenForcingRefresh(bool forceRefresh, TokenCallback callback) override;
    void listenForTokenChanges(TokenListener listener) override {}
};

// Ties one listener to the auth state notification of one app: the token of
// each notification whose auth object belongs to that very app reaches the
// listener on the worker queue. Observes from creation until destruction.
class FAuthStateListenerWrapper {
public:
    // initWithListener:app:
    static std::shared_ptr<FAuthStateListenerWrapper> make(FAuthTokenProvider::TokenListener listener,
                                                           const std::shared_ptr<QRVApp>& app);
    ~FAuthStateListenerWrapper();
    FAuthStateListenerWrapper(const FAuthStateListenerWrapper&) = delete;
    FAuthStateListenerWrapper& operator=(const FAuthStateListenerWrapper&) = delete;

    struct Passkey {};
    FAuthStateListenerWrapper(Passkey, FAuthTokenProvider::TokenListener listener, std::weak_ptr<QRVApp> app);

private:
    void authStateDidChangeNotification(const ns::Notification& notification);

    FAuthTokenProvider::TokenListener listener_;
    std::weak_ptr<QRVApp> app_;
    ns::ObserverToken observer_ = 0;
};

// The provider of an app: tokens from the app's token hook, changes from the
// authentication service's notification.
class QRVOvalithAuthTokenProvider final : public FAuthTokenProvider {
public:
    // initWithQuorvaneApp:
    explicit QRVOvalithAuthTokenProvider(std::shared_ptr<QRVApp> app);

    // Error code 0 (authentication not configured) and 1 are answered as no
    // token and no error; any other error is passed on.
    void fetchTokenForcingRefresh(bool forceRefresh, TokenCallback callback) override;
    // The listener is kept for the provider's life; there is no removal.
    void listenForTokenChanges(TokenListener listener) override;

    const std::shared_ptr<QRVApp>& app() const { return app_; }

private:
    std::shared_ptr<QRVApp> app_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<FAuthStateListenerWrapper>> authListeners_;
};
