#include "database/connection/FAuthTokenProvider.h"

#include "FLog.h"
#include "auth_notification_names.h"
#include "database/connection/FWorkerQueue.h"
#include "platform/runtime.h"

std::shared_ptr<FAuthTokenProvider> FAuthTokenProvider::authTokenProviderForApp(std::shared_ptr<QRVApp> app) {
    return std::make_shared<QRVOvalithAuthTokenProvider>(std::move(app));
}

void QRVNoopAuthTokenProvider::fetchTokenForcingRefresh(bool forceRefresh, TokenCallback callback) {
    FWorkerQueue::sharedQueue()->async([callback = std::move(callback)] { callback(std::nullopt, nullptr); });
}

// ---------------------------------------------------------------- app provider

QRVOvalithAuthTokenProvider::QRVOvalithAuthTokenProvider(std::shared_ptr<QRVApp> app) : app_(std::move(app)) {}

void QRVOvalithAuthTokenProvider::fetchTokenForcingRefresh(bool forceRefresh, TokenCallback callback) {
    app_->getTokenForcingRefresh(
        forceRefresh, [callback = std::move(callback)](std::optional<std::string> token, ns::ErrorRef error) {
            // The hook answers on a thread of its own (or at once, on the
            // caller's, without authentication): always move to the worker.
            FWorkerQueue::sharedQueue()->async([callback, token = std::move(token), error = std::move(error)] {
                if (!error) {
                    callback(token, nullptr);
                } else if (error->code() == 0) {
                    FFLog("I-RDB073001", "Quorvane Auth is not configured, not going to use authentication.");
                    callback(std::nullopt, nullptr);
                } else if (error->code() == 1) {
                    callback(std::nullopt, nullptr);
                } else {
                    callback(std::nullopt, error);
                }
            });
        });
}

void QRVOvalithAuthTokenProvider::listenForTokenChanges(TokenListener listener) {
    auto wrapper = FAuthStateListenerWrapper::make(std::move(listener), app_);
    std::lock_guard lock(mutex_);
    authListeners_.push_back(std::move(wrapper));
}

// ---------------------------------------------------------------- listener wrapper

FAuthStateListenerWrapper::FAuthStateListenerWrapper(Passkey, FAuthTokenProvider::TokenListener listener,
                                                     std::weak_ptr<QRVApp> app)
    : listener_(std::move(listener)), app_(std::move(app)) {}

std::shared_ptr<FAuthStateListenerWrapper> FAuthStateListenerWrapper::make(FAuthTokenProvider::TokenListener listener,
                                                                           const std::shared_ptr<QRVApp>& app) {
    auto wrapper = std::make_shared<FAuthStateListenerWrapper>(Passkey{}, std::move(listener), app);
    std::weak_ptr<FAuthStateListenerWrapper> weak = wrapper;
    // Delivered on the posting thread (the main queue); the listener itself
    // runs later on the worker queue.
    wrapper->observer_ = ns::NotificationCenter::defaultCenter().addObserver(
        kQRVAuthStateDidChangeInternalNotification, nullptr, nullptr, [weak](const ns::Notification& notification) {
            if (auto self = weak.lock()) self->authStateDidChangeNotification(notification);
        });
    return wrapper;
}

FAuthStateListenerWrapper::~FAuthStateListenerWrapper() {
    ns::NotificationCenter::defaultCenter().removeObserver(observer_);
}

void FAuthStateListenerWrapper::authStateDidChangeNotification(const ns::Notification& notification) {
    auto app = app_.lock();
    if (!app || !notification.object) return;
    // The sender is the auth object; it is asked for its app by name, so the
    // database needs no link to the authentication library.
    ns::Class* cls = ns::Runtime::lookUpClass(notification.object->className());
    if (!cls || !cls->instanceRespondsTo("app")) return;
    ns::Value senderApp = ns::Runtime::send(*notification.object, "app");
    if (!senderApp.isObject() || senderApp.asObject().get() != static_cast<ns::Object*>(app.get())) return;

    std::optional<std::string> token;
    auto it = notification.userInfo.find(kQRVAuthStateDidChangeInternalNotificationTokenKey);
    if (it != notification.userInfo.end() && it->second.isString()) token = it->second.asString();
    FWorkerQueue::sharedQueue()->async([listener = listener_, token = std::move(token)] { listener(token); });
}
