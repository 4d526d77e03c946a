#include "instanceid/QRVInstanceID.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "core/QRVApp.h"
#include "platform/block_object.h"
#include "platform/bundle.h"
#include "platform/dispatch.h"
#include "platform/file_manager.h"
#include "platform/plist.h"
#include "platform/runtime.h"

namespace {

constexpr int64_t kMaxDefaultTokenRetries = 5;
constexpr int64_t kMaxCheckinRefreshWaits = 21;
constexpr double kCheckinRefreshWaitSeconds = 2.0;
constexpr double kCommandNotificationDelay = 2.0;

struct Singleton {
    std::mutex mutex;
    std::shared_ptr<QRVInstanceID> instance;
    std::once_flag sandboxOnce;
    std::optional<bool> sandboxApp;
};

Singleton& singleton() {
    static Singleton* s = new Singleton();
    return *s;
}

bool messagingPresent() { return ns::Runtime::lookUpClass("QRVMessaging") != nullptr; }

ns::ErrorRef iidError(long code) { return errorWithQRVInstanceIDErrorCode(code); }

// Posted at the end of the current main-queue turn, as a notification queue
// posts "as soon as possible".
void postQueued(const char* name, ns::Value value) {
    ns::DispatchQueue::main()->async([name, value = std::move(value)] {
        ns::Dictionary userInfo;
        if (!value.isNull()) userInfo[kQRVInstanceIDNotificationValueKey] = value;
        ns::NotificationCenter::defaultCenter().post(name, nullptr, std::move(userInfo));
    });
}

void onMain(std::function<void()> block) { ns::DispatchQueue::main()->async(std::move(block)); }

void logAPNSConfigurationError(const std::string& report) {
    if (messagingPresent()) {
        QRVInstanceIDLoggerError(3014, "%@", report);
    } else {
        QRVInstanceIDLoggerDebug(3015, "%@", report);
    }
}

bool environmentAnswers(const char* selector) {
    ns::Class* util = ns::Runtime::lookUpClass("QRVAppEnvironmentUtil");
    if (!util || !util->classRespondsTo(selector)) return false;
    return ns::Runtime::sendClass("QRVAppEnvironmentUtil", selector).boolValue();
}

// The production test of the APNs environment: true unless the embedded
// provisioning profile says "development".
bool isProductionApp() {
    if (environmentAnswers("isSimulator")) {
        logAPNSConfigurationError("Running InstanceID on a simulator doesn't have APNS. Use prod profile by default.");
        return true;
    }
    if (environmentAnswers("isFromAppStore")) return true;
    auto bundle = ns::Bundle::mainBundle();
    auto path = bundle->pathForResource("embedded", "mobileprovision");
    ns::ErrorRef readError;
    std::optional<ns::Data> bytes;
    if (path) {
        bytes = ns::FileManager::defaultManager().readData(*path, &readError);
    } else {
        readError = ns::fileError(ENOENT, bundle->bundlePath() + "/embedded.mobileprovision", false, "read");
    }
    if (!bytes || bytes->empty()) {
        logAPNSConfigurationError(ns::format("Error while reading embedded mobileprovision %@", readError));
        return true;
    }
    std::string text(bytes->size(), '.');
    for (size_t i = 0; i < bytes->size(); ++i) {
        const uint8_t b = (*bytes)[i];
        if (b != 0 && b < 0x80) text[i] = char(b);
    }
    const size_t start = text.find("<plist");
    const size_t end = start == std::string::npos ? std::string::npos : text.find("</plist>", start);
    if (start == std::string::npos || end == std::string::npos) return true;
    const std::string plistText = text.substr(start, end - start) + "</plist>";
    ns::ErrorRef parseError;
    ns::Value profile = ns::plist::parse(ns::Data(plistText.begin(), plistText.end()), &parseError);
    if (parseError || !profile.isDictionary()) {
        logAPNSConfigurationError(ns::format("Error while converting assumed plist to dict %@",
                                             parseError ? parseError->description() : std::string("(null)")));
        return true;
    }
    if (profile.contains("ProvisionedDevices")) {
        QRVInstanceIDLoggerDebug(3012, "Provisioning profile has specifically provisioned devices, most likely a Dev "
                                       "profile.");
    }
    const ns::Value& environment = profile["Entitlements"]["aps-environment"];
    QRVInstanceIDLoggerDebug(3013, "%@", ns::format("APNS Environment in profile: %@", environment));
    if (!environment.isString()) {
        logAPNSConfigurationError("No aps-environment set. If testing on a device APNS is not correctly configured. "
                                  "Please recheck your provisioning profiles. If testing on a simulator this is fine "
                                  "since APNS doesn't work on the simulator.");
        return true;
    }
    return environment.asString() != "development";
}

}  // namespace

// MARK: - Life cycle

QRVInstanceID::QRVInstanceID(QRVInstanceIDConfig config) : config_(config) {}

QRVInstanceID::~QRVInstanceID() {
    if (messageObserver_) ns::NotificationCenter::defaultCenter().removeObserver(messageObserver_);
}

std::shared_ptr<QRVInstanceID> QRVInstanceID::instanceID() {
    Singleton& s = singleton();
    std::lock_guard lock(s.mutex);
    if (!s.instance) {
        s.instance = std::make_shared<QRVInstanceID>(QRVInstanceIDConfig::defaultConfig());
        s.instance->startWithConfig(s.instance->config_);
    }
    return s.instance;
}

void QRVInstanceID::resetForTesting() {
    Singleton& s = singleton();
    std::shared_ptr<QRVInstanceID> old;
    {
        std::lock_guard lock(s.mutex);
        old = std::move(s.instance);
        s.sandboxApp.reset();
    }
    if (old) old->stopAllRequests();
    QRVInstanceIDAuthKeychain::resetForTesting();
    QRVInstanceIDRegistrationClient::resetForTesting();
}

void QRVInstanceID::startWithConfig(const QRVInstanceIDConfig& config) {
    if (!QRVInstanceIDStore::hasApplicationSupportSubDirectory(kQRVInstanceIDApplicationSupportSubDirectory)) {
        QRVInstanceIDStore::createApplicationSupportSubDirectory(kQRVInstanceIDApplicationSupportSubDirectory);
    }
    QRVInstanceIDSharedLogger().setFilter(QRVInstanceIDLogLevelFilter(config.logLevel()));
    tokenManager_ = std::make_unique<QRVInstanceIDTokenManager>();
    tokenManager_->setAllowMissingAPNSToken(config.allowMissingAPNSToken);
    keyPairStore_ = std::make_shared<QRVInstanceIDKeyPairStore>();
    // Tokens name the identity they were made for: they leave the keychain
    // before anything of a new identity is stored, so that no process end
    // leaves the new identity with the old one's tokens, and tokens that
    // could not leave keep the new identity from being made. The store is
    // reached from the key-pair thread; its token removals touch only the
    // keychain.
    keyPairStore_->setBeforeNewIdentityIsRecorded([store = tokenManager_->instanceIDStore()]() -> ns::ErrorRef {
        ns::ErrorRef error;
        if (store->removeAllCachedTokensWithError(&error)) return nullptr;
        QRVInstanceIDLoggerError(3019, "Failed to drop the tokens of an earlier identity %@", error);
        return error ? error : iidError(kQRVInstanceIDErrorCodeCacheClearFailed);
    });
    auto& center = ns::NotificationCenter::defaultCenter();
    if (messageObserver_) center.removeObserver(messageObserver_);
    std::weak_ptr<QRVInstanceID> weakSelf = std::static_pointer_cast<QRVInstanceID>(shared_from_this());
    messageObserver_ = center.addObserver(kQRVInstanceIDIIDMessageNotification, nullptr, nullptr,
                                          [weakSelf](const ns::Notification& note) {
                                              auto self = weakSelf.lock();
                                              if (!self) return;
                                              if (note.object) {
                                                  self->didReceiveKDXMessage(ns::Value(note.object));
                                              } else {
                                                  self->didReceiveKDXMessage(ns::Value(note.userInfo));
                                              }
                                          });
}

// MARK: - Configuration

void QRVInstanceID::didReceiveConfigureSDKNotification(const std::string& name) {
    ns::Class* appClass = ns::Runtime::lookUpClass("QRVApp");
    ns::Value app = appClass && appClass->classRespondsTo("appNamed:")
                        ? ns::Runtime::sendClass("QRVApp", "appNamed:", {ns::Value(name)})
                        : ns::Value();
    if (!app.isObject() || !app.asObject()) exitApp(nullptr, ns::format("Could not find QRVApp named '%@'", name));
    ns::ObjectPtr appObject = app.asObject();
    if (!appClass->instanceRespondsTo("options")) exitApp(appObject, "Could not find QRVApp's 'options' property.");
    auto options = ns::Runtime::send(*appObject, "options").asObjectOf<QRVOptions>();
    instanceID()->configureInstanceIDWithOptions(options, appObject);
}

void QRVInstanceID::configureInstanceIDWithOptions(const std::shared_ptr<const QRVOptions>& options,
                                                   const ns::ObjectPtr& app) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!options) exitApp(app, "QRVOptions object was invalid (no KDXSenderID property).");
    const std::string senderID = options->KDXSenderID().value_or("");
    if (senderID.empty()) {
        QRVInstanceIDLoggerError(1000, "Quorvane not set up correctly, nil or empty senderID.");
        exitApp(app, "KDX_SENDER_ID must not be nil or empty.");
    }
    qdxSenderID_ = senderID;
    if (auto appID = options->ondrixAppID()) qdxAppID_ = *appID;
    didCompleteConfigure();
}

void QRVInstanceID::exitApp(const ns::ObjectPtr& app, const std::string& reason) {
    const std::string failure = reason.empty() ? "Unknown reason" : reason;
    ns::ErrorRef error = ns::Error::make(kQRVInstanceIDConfigurationDomain, kQRVInstanceIDConfigurationErrorCode,
                                         {{ns::kLocalizedDescriptionKey, "Configuration failed for service InstanceID."},
                                          {ns::kLocalizedFailureReasonErrorKey, failure}});
    ns::Class* appClass = ns::Runtime::lookUpClass("QRVApp");
    if (app && appClass && appClass->instanceRespondsTo("sendLogsWithServiceName:version:error:")) {
        ns::Runtime::send(*app, "sendLogsWithServiceName:version:error:",
                          {ns::Value("InstanceID"), ns::Value(QRVInstanceIDCurrentLibraryVersion()),
                           ns::Value(std::const_pointer_cast<ns::Error>(error))});
    }
    throw ns::Exception(kQRVInstanceIDConfigurationDomain, "Could not configure Quorvane InstanceID. " + reason);
}

void QRVInstanceID::didCompleteConfigure() {
    setDefaultToken(cachedDefaultToken());
    if (!defaultQDXToken_) fetchDefaultToken();
    tokenManager_->authService()->scheduleCheckin(true);
}

// MARK: - Default token

bool QRVInstanceID::isSandboxApp() {
    Singleton& s = singleton();
    {
        std::lock_guard lock(s.mutex);
        if (s.sandboxApp) return *s.sandboxApp;
    }
    const bool sandbox = !isProductionApp();
    std::lock_guard lock(s.mutex);
    if (!s.sandboxApp) s.sandboxApp = sandbox;
    return *s.sandboxApp;
}

bool QRVInstanceID::sandboxFlagForType(int64_t type) const {
    if (type == QRVInstanceIDAPNSTokenTypeSandbox) return true;
    if (type == QRVInstanceIDAPNSTokenTypeProd) return false;
    return isSandboxApp();
}

ns::Dictionary QRVInstanceID::defaultTokenOptions(bool useData) {
    if (!messagingPresent()) return {};
    if (useData) {
        if (!apnsTokenData_) return {};
        return {{kQRVInstanceIDRegisterAPNSOption, *apnsTokenData_},
                {kQRVInstanceIDAPNSServerTypeSandboxOption, sandboxFlagForType(apnsTokenType_)}};
    }
    if (!apnsTokenString_ || apnsTokenString_->empty()) return {};
    return {{kQRVInstanceIDRegisterAPNSOption, *apnsTokenString_},
            {kQRVInstanceIDAPNSServerTypeSandboxOption, sandboxFlagForType(apnsTokenType_)}};
}

void QRVInstanceID::forgetTokensOfAnEarlierIdentity() {
    if (!keyPairStore_ || !keyPairStore_->takeIdentityChange()) return;
    // A token names the identity it was given to (its prefix is the id):
    // one cached for an earlier pair would keep that identity in use.
    ns::ErrorRef error;
    if (!tokenManager_->deleteAllTokensLocallyWithError(&error) && error && error->code() != ns::errSecItemNotFound) {
        QRVInstanceIDLoggerError(3017, "Failed to drop the tokens of an earlier identity %@", error);
    }
    if (defaultQDXToken_) {
        QRVInstanceIDLoggerInfo(3018, "New instance identity; fetching a new default token");
        defaultQDXToken_.reset();
        fetchDefaultToken();
    }
}

std::optional<std::string> QRVInstanceID::cachedDefaultToken() {
    if (qdxSenderID_.empty()) return std::nullopt;
    forgetTokensOfAnEarlierIdentity();
    QRVInstanceIDCachedToken cached =
        tokenManager_->tokenWithAuthorizedEntity(qdxSenderID_, kQRVInstanceIDDefaultTokenScope, defaultTokenOptions(false));
    if (cached.status != QRVInstanceIDCachedToken::kUsable) return std::nullopt;
    return cached.token;
}

std::optional<std::string> QRVInstanceID::token() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (qdxSenderID_.empty()) return std::nullopt;
    if (auto cached = cachedDefaultToken()) return cached;
    fetchDefaultToken();
    return std::nullopt;
}

void QRVInstanceID::setDefaultToken(std::optional<std::string> token) {
    if (token && token != defaultQDXToken_) postQueued(kQRVInstanceIDDefaultKDXTokenNotification, *token);
    defaultQDXToken_ = std::move(token);
}

void QRVInstanceID::fetchDefaultToken() {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    // Unconfigured, there is no sender to fetch the default token for.
    if (qdxSenderID_.empty() || isFetchingDefaultToken_ || isDefaultTokenFetchScheduled_) return;
    std::weak_ptr<QRVInstanceID> weakSelf = std::static_pointer_cast<QRVInstanceID>(shared_from_this());
    defaultTokenWithHandler([weakSelf](std::optional<std::string> token, ns::ErrorRef error) {
        auto self = weakSelf.lock();
        if (!self) return;
        if (error) {
            QRVInstanceIDLoggerError(3007, "Failed to retrieve the default KDX token after %zd retries",
                                     size_t(self->retryCountForDefaultToken_));
            return;
        }
        QRVInstanceIDLoggerDebug(3008, "Got default token %@", token.value_or(""));
        const std::optional<std::string> previous = self->defaultQDXToken_;
        self->setDefaultToken(token);
        if (token && !token->empty() && token != previous) {
            postQueued(kQRVInstanceIDTokenRefreshNotification, *token);
        }
    });
}

void QRVInstanceID::defaultTokenWithHandler(TokenHandler handler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    // A handler given while a fetch runs or waits for its retry gets that
    // fetch's answer instead of being dropped.
    defaultTokenHandlers_.push_back(std::move(handler));
    if (isFetchingDefaultToken_ || isDefaultTokenFetchScheduled_) return;
    // Each fetch has its own retries; failures of an earlier one don't count.
    retryCountForDefaultToken_ = 0;
    attemptDefaultToken();
}

void QRVInstanceID::attemptDefaultToken() {
    ns::Dictionary options = defaultTokenOptions(true);
    defaultTokenHadAPNSToken_ = options.contains(kQRVInstanceIDRegisterAPNSOption);
    messagingPresentAtFetch_ = messagingPresent();
    isFetchingDefaultToken_ = true;
    std::weak_ptr<QRVInstanceID> weakSelf = std::static_pointer_cast<QRVInstanceID>(shared_from_this());
    tokenWithAuthorizedEntity(
        qdxSenderID_, kQRVInstanceIDDefaultTokenScope, options,
        [weakSelf](std::optional<std::string> token, ns::ErrorRef error) {
            auto self = weakSelf.lock();
            if (!self) return;
            self->isFetchingDefaultToken_ = false;
            if (error) {
                QRVInstanceIDLoggerError(3009, "Failed to fetch default token %@", error);
                postQueued(kQRVInstanceIDDefaultKDXTokenFailNotification, ns::Value(std::const_pointer_cast<ns::Error>(error)));
                self->retryCountForDefaultToken_ =
                    std::min(self->retryCountForDefaultToken_ + 1, kMaxDefaultTokenRetries);
                const int64_t c = self->retryCountForDefaultToken_;
                if (c >= kMaxDefaultTokenRetries) return self->finishDefaultToken(std::nullopt, error);
                const double interval = std::min(double(c * 10) + std::ldexp(1.0, int(c)), 1200.0);
                self->isDefaultTokenFetchScheduled_ = true;
                ns::DispatchQueue::main()->after(interval, [weakSelf] {
                    if (auto again = weakSelf.lock()) {
                        again->isDefaultTokenFetchScheduled_ = false;
                        again->attemptDefaultToken();
                    }
                });
                return;
            }
            if (!self->defaultTokenHadAPNSToken_ && self->messagingPresentAtFetch_ && self->apnsTokenData_) {
                self->isDefaultTokenFetchScheduled_ = true;
                onMain([weakSelf] {
                    if (auto again = weakSelf.lock()) {
                        again->isDefaultTokenFetchScheduled_ = false;
                        again->attemptDefaultToken();
                    }
                });
                QRVInstanceIDLoggerDebug(3016, "Received APNS token while fetching default token. Refetching default "
                                               "token.");
                return;
            }
            QRVInstanceIDLoggerInfo(3010, "Successfully fetched default token.");
            self->retryCountForDefaultToken_ = 0;
            self->finishDefaultToken(token, nullptr);
        });
}

void QRVInstanceID::finishDefaultToken(std::optional<std::string> token, ns::ErrorRef error) {
    std::vector<TokenHandler> handlers = std::move(defaultTokenHandlers_);
    defaultTokenHandlers_.clear();
    for (auto& handler : handlers) handler(token, error);
}

// MARK: - Check-in

void QRVInstanceID::fetchCheckinInfoWithHandler(CheckinHandler handler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto authService = tokenManager_->authService();
    if (authService->hasValidCheckinInfo()) return handler(authService->checkinPreferences(), nullptr);
    std::weak_ptr<QRVInstanceID> weakSelf = std::static_pointer_cast<QRVInstanceID>(shared_from_this());
    authService->fetchCheckinInfoWithHandler(
        [weakSelf, handler](QRVInstanceIDCheckinPreferencesPtr preferences, ns::ErrorRef error) {
            auto self = weakSelf.lock();
            if (self && error && error->domain() == kQRVInstanceIDDomain &&
                error->code() == kQRVInstanceIDErrorCodeAlreadyRunning) {
                // Each wait counts its own turns: one long check-in must not use
                // up the patience of every later request in the process.
                return self->scheduleCheckinRefreshWait(handler, 0);
            }
            handler(preferences, error);
        });
}

void QRVInstanceID::scheduleCheckinRefreshWait(CheckinHandler handler, int64_t waits) {
    auto authService = tokenManager_->authService();
    if (authService->hasValidCheckinInfo()) return handler(authService->checkinPreferences(), nullptr);
    if (waits >= kMaxCheckinRefreshWaits) return handler(nullptr, QRVInstanceIDErrorMissingCheckin());
    std::weak_ptr<QRVInstanceID> weakSelf = std::static_pointer_cast<QRVInstanceID>(shared_from_this());
    ns::DispatchQueue::main()->after(kCheckinRefreshWaitSeconds, [weakSelf, handler, waits] {
        if (auto self = weakSelf.lock()) self->scheduleCheckinRefreshWait(handler, waits + 1);
    });
}

QRVInstanceIDCheckinPreferencesPtr QRVInstanceID::cachedCheckinPreferences() const {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    return tokenManager_->authService()->checkinPreferences();
}

bool QRVInstanceID::hasValidCheckinInfo() const {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    return tokenManager_->authService()->hasValidCheckinInfo();
}

void QRVInstanceID::stopAllRequests() { tokenManager_->registrar().stopAllRequests(); }

// MARK: - Tokens

void QRVInstanceID::loadKeyPair(std::function<void(QRVInstanceIDKeyPairPtr keyPair, ns::ErrorRef error)> done) {
    std::shared_ptr<QRVInstanceIDKeyPairStore> store = keyPairStore_;
    std::weak_ptr<QRVInstanceID> weakSelf = std::static_pointer_cast<QRVInstanceID>(shared_from_this());
    ns::DispatchQueue::global()->async([store, done, weakSelf] {
        ns::ErrorRef error;
        QRVInstanceIDKeyPairPtr keyPair = store->loadKeyPairWithError(&error);
        onMain([keyPair, error, done, weakSelf] {
            if (auto self = weakSelf.lock()) self->forgetTokensOfAnEarlierIdentity();
            done(keyPair, error);
        });
    });
}

void QRVInstanceID::tokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                              const ns::Dictionary& options, TokenHandler handler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!handler) {
        QRVInstanceIDLoggerError(3000, "Invalid nil handler.");
        return;
    }
    auto answer = [handler](std::optional<std::string> token, ns::ErrorRef error) {
        onMain([handler, token, error] { handler(token, error); });
    };
    if (QRVInstanceIDIsValidKDXScope(scope) && !config_.allowMissingAPNSToken) {
        auto apns = options.find(kQRVInstanceIDRegisterAPNSOption);
        if (apns == options.end()) return answer(std::nullopt, iidError(kQRVInstanceIDErrorCodeMissingAPNSToken));
        if (!options.contains(kQRVInstanceIDAPNSServerTypeSandboxOption)) {
            return answer(std::nullopt, iidError(kQRVInstanceIDErrorCodeMissingAPNSServerType));
        }
        if (!apns->second.isData()) return answer(std::nullopt, iidError(kQRVInstanceIDErrorCodeInvalidReply));
    }
    if (authorizedEntity.empty()) return answer(std::nullopt, iidError(kQRVInstanceIDErrorCodeInvalidAuthorizedEntity));
    if (scope.empty()) return answer(std::nullopt, iidError(kQRVInstanceIDErrorCodeInvalidScope));
    if (!keyPairStore_) return answer(std::nullopt, iidError(kQRVInstanceIDErrorCodeMissingKeyPairStore));

    ns::Dictionary completed = options;
    if (!qdxAppID_.empty()) completed[kQRVInstanceIDQuorvaneAppID] = qdxAppID_;
    if (auto apns = completed.find(kQRVInstanceIDRegisterAPNSOption);
        apns != completed.end() && apns->second.isData()) {
        const bool sandbox = completed[kQRVInstanceIDAPNSServerTypeSandboxOption].boolValue();
        apns->second = QRVInstanceIDAPNSStringForToken(apns->second.asData(), sandbox);
    }
    std::weak_ptr<QRVInstanceID> weakSelf = std::static_pointer_cast<QRVInstanceID>(shared_from_this());
    fetchCheckinInfoWithHandler([weakSelf, authorizedEntity, scope, completed, answer](
                                    QRVInstanceIDCheckinPreferencesPtr, ns::ErrorRef error) {
        auto self = weakSelf.lock();
        if (!self) return answer(std::nullopt, iidError(kQRVInstanceIDErrorCodeUnknown));
        if (error) return answer(std::nullopt, error);
        self->forgetTokensOfAnEarlierIdentity();
        QRVInstanceIDCachedToken cached =
            self->tokenManager_->tokenWithAuthorizedEntity(authorizedEntity, scope, completed);
        if (cached.isValid()) return answer(cached.token, nullptr);
        self->loadKeyPair([weakSelf, authorizedEntity, scope, completed, answer, cached](QRVInstanceIDKeyPairPtr keyPair,
                                                                                          ns::ErrorRef loadError) {
            auto self = weakSelf.lock();
            if (!self) return answer(std::nullopt, iidError(kQRVInstanceIDErrorCodeUnknown));
            if (loadError) QRVInstanceIDLoggerDebug(3002, "Failed to retreieve keyPair %@", loadError);
            if (!keyPair || loadError) return answer(std::nullopt, iidError(kQRVInstanceIDErrorCodeMissingKeyPair));
            if (cached.shouldInvalidateAllTokens) {
                self->tokenManager_->invalidateCachedToken(cached, authorizedEntity, scope, completed);
            }
            self->tokenManager_->fetchNewTokenWithAuthorizedEntity(authorizedEntity, scope, keyPair, completed, answer);
        });
    });
}

void QRVInstanceID::deleteTokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                                    DeleteHandler handler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!handler) {
        QRVInstanceIDLoggerError(3001, "Invalid nil handler.");
        return;
    }
    auto answer = [handler](ns::ErrorRef error) { onMain([handler, error] { handler(error); }); };
    if (authorizedEntity.empty()) return answer(iidError(kQRVInstanceIDErrorCodeInvalidAuthorizedEntity));
    if (scope.empty()) return answer(iidError(kQRVInstanceIDErrorCodeInvalidScope));
    if (!keyPairStore_) return answer(iidError(kQRVInstanceIDErrorCodeMissingKeyPairStore));
    std::weak_ptr<QRVInstanceID> weakSelf = std::static_pointer_cast<QRVInstanceID>(shared_from_this());
    fetchCheckinInfoWithHandler([weakSelf, authorizedEntity, scope, answer](QRVInstanceIDCheckinPreferencesPtr,
                                                                            ns::ErrorRef error) {
        auto self = weakSelf.lock();
        if (!self) return answer(iidError(kQRVInstanceIDErrorCodeUnknown));
        if (error) return answer(error);
        self->loadKeyPair([weakSelf, authorizedEntity, scope, answer](QRVInstanceIDKeyPairPtr keyPair, ns::ErrorRef loadError) {
            auto self = weakSelf.lock();
            if (!self || !keyPair || loadError) return answer(iidError(kQRVInstanceIDErrorCodeMissingKeyPair));
            self->tokenManager_->deleteTokenWithAuthorizedEntity(authorizedEntity, scope, keyPair, answer);
        });
    });
}

// MARK: - Identity

void QRVInstanceID::getIDWithHandler(IDHandler handler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!handler) {
        QRVInstanceIDLoggerError(3003, "Invalid nil handler.");
        return;
    }
    if (!keyPairStore_) {
        return onMain([handler] { handler(std::nullopt, iidError(kQRVInstanceIDErrorCodeMissingKeyPairStore)); });
    }
    std::shared_ptr<QRVInstanceIDKeyPairStore> store = keyPairStore_;
    ns::DispatchQueue::global()->async([store, handler] {
        ns::ErrorRef error;
        auto identity = store->appIdentityWithError(&error);
        onMain([handler, identity, error] { handler(identity, error); });
    });
}

std::optional<std::string> QRVInstanceID::appInstanceID(ns::ErrorRef* error) {
    if (!keyPairStore_) {
        if (error) *error = iidError(kQRVInstanceIDErrorCodeMissingKeyPairStore);
        return std::nullopt;
    }
    return keyPairStore_->appIdentityWithError(error);
}

void QRVInstanceID::deleteIDWithHandler(DeleteHandler handler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!handler) {
        QRVInstanceIDLoggerError(3004, "Invalid nil handler.");
        return;
    }
    auto answer = [handler](ns::ErrorRef error) { onMain([handler, error] { handler(error); }); };
    if (!keyPairStore_) return answer(iidError(kQRVInstanceIDErrorCodeMissingKeyPairStore));
    std::weak_ptr<QRVInstanceID> weakSelf = std::static_pointer_cast<QRVInstanceID>(shared_from_this());
    loadKeyPair([weakSelf, answer](QRVInstanceIDKeyPairPtr keyPair, ns::ErrorRef loadError) {
        auto self = weakSelf.lock();
        if (!self || !keyPair || loadError) return answer(iidError(kQRVInstanceIDErrorCodeMissingKeyPair));
        std::shared_ptr<QRVInstanceIDKeyPairStore> store = self->keyPairStore_;
        self->tokenManager_->deleteAllTokensWithKeyPair(keyPair, [store, answer](ns::ErrorRef error) {
            if (error) return answer(error);
            const bool keysGone = store->deleteSavedKeyPairWithSubtype(kQRVInstanceIDKeyPairSubType);
            const bool listGone = store->removeKeyPairCreationTimePlistWithError();
            answer(keysGone && listGone ? nullptr : iidError(kQRVInstanceIDErrorCodeUnknown));
        });
    });
}

// MARK: - APNs

void QRVInstanceID::setAPNSToken(const ns::Data& token, int64_t type) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (apnsTokenData_ && *apnsTokenData_ == token) {
        QRVInstanceIDLoggerDebug(3011, "Trying to reset APNS token to the same value. Will return");
        return;
    }
    apnsTokenType_ = type;
    const bool sandbox = sandboxFlagForType(type);
    apnsTokenData_ = token;
    apnsTokenString_ = QRVInstanceIDAPNSStringForToken(token, sandbox);
    if (messagingPresent()) postQueued(kQRVInstanceIDAPNSTokenNotification, token);
    if (!defaultQDXToken_) {
        fetchDefaultToken();
    } else if (!cachedDefaultToken()) {
        fetchDefaultToken();
    }
}

// MARK: - Server commands

void QRVInstanceID::didReceiveKDXMessage(const ns::Value& message) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!message.isDictionary()) {
        const std::string className = message.isObject() && message.asObject() ? message.asObject()->className()
                                                                                : std::string("(null)");
        QRVInstanceIDLoggerError(3005, "Invalid KDX message with object %@", className);
        return;
    }
    const std::string* command = message["CMD"].stringOrNull();
    if (!command || command->empty()) {
        QRVInstanceIDLoggerError(3006, "Invalid nil command to InstanceID");
        return;
    }
    const std::string* subtype = message["subtype"].stringOrNull();
    handleRefreshMessage(*command, subtype ? *subtype : std::string());
}

void QRVInstanceID::handleRefreshMessage(const std::string& command, const std::string&) {
    if (command == kQRVInstanceID_CMD_RST) {
        keyPairStore_->deleteSavedKeyPairWithSubtype(kQRVInstanceIDKeyPairSubType);
        tokenManager_->deleteAllTokensLocallyWithError();
        postRefreshNotification(0);
    } else if (command == kQRVInstanceID_CMD_RST_FULL) {
        const bool hadKeyPairs = keyPairStore_->hasCachedKeyPairs();
        if (hadKeyPairs) keyPairStore_->deleteSavedKeyPairWithSubtype(kQRVInstanceIDKeyPairSubType);
        ns::ErrorRef error;
        if (!tokenManager_->deleteAllTokensLocallyWithError(&error)) {
            QRVInstanceIDLoggerDebug(2001, "Failed to delete all tokens %@", error);
            if (hadKeyPairs) postRefreshNotification(0);
        } else if (hadKeyPairs || !(error && error->code() == ns::errSecItemNotFound)) {
            postRefreshNotification(0);
        }
    } else if (command == kQRVInstanceID_CMD_SYNC) {
        ns::ErrorRef error;
        if (!tokenManager_->deleteAllTokensLocallyWithError(&error)) {
            QRVInstanceIDLoggerDebug(2000, "Failed to delete tokens from the cache %@", error);
        }
        postRefreshNotification(0);
    }
}

void QRVInstanceID::postRefreshNotification(double delay) {
    auto post = [] { ns::NotificationCenter::defaultCenter().post(kQRVInstanceIDTokenRefreshNotification); };
    if (delay == 0) {
        ns::DispatchQueue::main()->async(post);
    } else {
        ns::DispatchQueue::main()->after(delay, post);
    }
}

void QRVInstanceID::performWithDelay(double delay, std::function<void(QRVInstanceID&)> action) {
    std::weak_ptr<QRVInstanceID> weakSelf = std::static_pointer_cast<QRVInstanceID>(shared_from_this());
    ns::DispatchQueue::main()->after(delay, [weakSelf, action] {
        if (auto self = weakSelf.lock()) action(*self);
    });
}

void QRVInstanceID::notifyTokenRefresh() {
    instanceID()->performWithDelay(kCommandNotificationDelay, [](QRVInstanceID& self) {
        ns::ErrorRef error;
        if (!self.tokenManager_->deleteAllTokensLocallyWithError(&error)) {
            QRVInstanceIDLoggerDebug(2000, "Failed to delete tokens from the cache %@", error);
        }
        self.postRefreshNotification(0);
    });
}

void QRVInstanceID::notifyIdentityLost() {
    instanceID()->performWithDelay(kCommandNotificationDelay, [](QRVInstanceID& self) {
        self.keyPairStore_->deleteSavedKeyPairWithSubtype(kQRVInstanceIDKeyPairSubType);
        self.tokenManager_->deleteAllTokensLocallyWithError();
        self.postRefreshNotification(0);
    });
}

// MARK: - Load time

namespace {

// The check-in record as an object of the runtime, so messaging can read it
// by selector names without linking instance identity.
class CheckinPreferencesObject : public ns::Object {
public:
    explicit CheckinPreferencesObject(QRVInstanceIDCheckinPreferencesPtr p) : preferences(std::move(p)) {}
    std::string className() const override { return "QRVInstanceIDCheckinPreferences"; }
    QRVInstanceIDCheckinPreferencesPtr preferences;
};

ns::Value errorValue(const ns::ErrorRef& error) {
    return error ? ns::Value(std::const_pointer_cast<ns::Error>(error)) : ns::Value();
}

}  // namespace

NS_REGISTER_LOAD_HOOK(30, "QRVInstanceID", [] {
    auto& cls = ns::Runtime::registerClass("QRVInstanceID");
    cls.addClassMethod("instanceID",
                       [](ns::Object*, const std::vector<ns::Value>&) { return ns::Value(QRVInstanceID::instanceID()); });
    cls.addClassMethod("notifyTokenRefresh", [](ns::Object*, const std::vector<ns::Value>&) {
        QRVInstanceID::notifyTokenRefresh();
        return ns::Value();
    });
    cls.addClassMethod("notifyIdentityLost", [](ns::Object*, const std::vector<ns::Value>&) {
        QRVInstanceID::notifyIdentityLost();
        return ns::Value();
    });
    cls.addInstanceMethod("token", [](ns::Object* self, const std::vector<ns::Value>&) {
        auto token = static_cast<QRVInstanceID*>(self)->token();
        return token ? ns::Value(*token) : ns::Value();
    });
    // A caller by name has no error slot to pass: the answer is the
    // identifier, or the error it could not be had with.
    cls.addInstanceMethod("appInstanceID:", [](ns::Object* self, const std::vector<ns::Value>&) {
        ns::ErrorRef error;
        auto identity = static_cast<QRVInstanceID*>(self)->appInstanceID(&error);
        return identity ? ns::Value(*identity) : errorValue(error);
    });
    cls.addInstanceMethod("setAPNSToken:type:", [](ns::Object* self, const std::vector<ns::Value>& args) {
        if (args.size() == 2 && args[0].isData()) {
            static_cast<QRVInstanceID*>(self)->setAPNSToken(args[0].asData(), args[1].intValue());
        }
        return ns::Value();
    });
    cls.addInstanceMethod("hasValidCheckinInfo", [](ns::Object* self, const std::vector<ns::Value>&) {
        return ns::Value(static_cast<QRVInstanceID*>(self)->hasValidCheckinInfo());
    });
    // What messaging reaches by name: the check-in record and token requests.
    cls.addInstanceMethod("cachedCheckinPreferences", [](ns::Object* self, const std::vector<ns::Value>&) {
        auto preferences = static_cast<QRVInstanceID*>(self)->cachedCheckinPreferences();
        return preferences ? ns::Value(std::make_shared<CheckinPreferencesObject>(std::move(preferences))) : ns::Value();
    });
    cls.addInstanceMethod("tokenWithAuthorizedEntity:scope:options:handler:",
                          [](ns::Object* self, const std::vector<ns::Value>& args) {
                              if (args.size() != 4 || !args[0].isString() || !args[1].isString()) return ns::Value();
                              const ns::Dictionary* options = args[2].dictionaryOrNull();
                              static_cast<QRVInstanceID*>(self)->tokenWithAuthorizedEntity(
                                  args[0].asString(), args[1].asString(), options ? *options : ns::Dictionary(),
                                  [handler = args[3]](std::optional<std::string> token, ns::ErrorRef error) {
                                      ns::BlockObject::call(handler, {token ? ns::Value(*token) : ns::Value(),
                                                                      errorValue(error)});
                                  });
                              return ns::Value();
                          });
    cls.addInstanceMethod("deleteTokenWithAuthorizedEntity:scope:handler:",
                          [](ns::Object* self, const std::vector<ns::Value>& args) {
                              if (args.size() != 3 || !args[0].isString() || !args[1].isString()) return ns::Value();
                              static_cast<QRVInstanceID*>(self)->deleteTokenWithAuthorizedEntity(
                                  args[0].asString(), args[1].asString(), [handler = args[2]](ns::ErrorRef error) {
                                      ns::BlockObject::call(handler, {errorValue(error)});
                                  });
                              return ns::Value();
                          });
    auto& preferencesClass = ns::Runtime::registerClass("QRVInstanceIDCheckinPreferences");
    auto text = [](std::string (*read)(const QRVInstanceIDCheckinPreferences&)) {
        return [read](ns::Object* self, const std::vector<ns::Value>&) {
            return ns::Value(read(*static_cast<CheckinPreferencesObject*>(self)->preferences));
        };
    };
    preferencesClass.addInstanceMethod("deviceID", text([](const QRVInstanceIDCheckinPreferences& p) { return p.deviceID(); }));
    preferencesClass.addInstanceMethod("secretToken",
                                       text([](const QRVInstanceIDCheckinPreferences& p) { return p.secretToken(); }));
    preferencesClass.addInstanceMethod("versionInfo",
                                       text([](const QRVInstanceIDCheckinPreferences& p) { return p.versionInfo; }));
    preferencesClass.addInstanceMethod("digest", text([](const QRVInstanceIDCheckinPreferences& p) { return p.digest; }));
    preferencesClass.addInstanceMethod("hasValidCheckinInfo", [](ns::Object* self, const std::vector<ns::Value>&) {
        return ns::Value(static_cast<CheckinPreferencesObject*>(self)->preferences->hasValidCheckinInfo());
    });

    QRVApp::observeReadyToConfigureSDK(&QRVInstanceID::didReceiveConfigureSDKNotification);
});
