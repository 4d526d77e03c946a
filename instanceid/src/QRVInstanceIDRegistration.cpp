#include "instanceid/QRVInstanceIDRegistration.h"

#include <cmath>
#include <mutex>

#include "instanceid/QRVInstanceID.h"
#include "instanceid/QRVInstanceIDTokenManager.h"
#include "instanceid/QRVInstanceIDUtilities.h"
#include "platform/crypto.h"
#include "platform/dispatch.h"
#include "platform/format.h"
#include "platform/url.h"

namespace {

constexpr uint32_t kMaxPhoneRegistrationRetries = 10;
// RFC 3986's unreserved marks; everything else in a form value is escaped.
constexpr std::string_view kUnreserved = "-._~";

struct ClassState {
    std::mutex mutex;
    uint64_t requestCounter = 0;
    uint32_t phoneRegistrationRetries = 0;
    uint64_t scheduledRetries = 0;
};

ClassState& classState() {
    static ClassState* state = new ClassState();
    return *state;
}

ns::ErrorRef replyError() { return errorWithQRVInstanceIDErrorCode(kQRVInstanceIDErrorCodeUnknown); }

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) return parts;
        start = at + 1;
    }
}

void append(std::vector<QRVInstanceIDURLQueryItem>& items, const std::vector<QRVInstanceIDURLQueryItem>& more) {
    items.insert(items.end(), more.begin(), more.end());
}

}  // namespace

std::string QRVInstanceIDQueryFromQueryItems(const std::vector<QRVInstanceIDURLQueryItem>& items) {
    std::string out;
    for (const auto& item : items) {
        if (!out.empty()) out += '&';
        out += ns::percentEncode(item.name, kUnreserved);
        out += '=';
        out += ns::percentEncode(item.value, kUnreserved);
    }
    return out;
}

// MARK: - Registration client

QRVInstanceIDRegistrationClient::QRVInstanceIDRegistrationClient(std::shared_ptr<QRVInstanceIDAuthService> authService,
                                                                 std::string authorizedEntity, std::string scope,
                                                                 QRVInstanceIDKeyPairPtr keyPair)
    : authService_(std::move(authService)),
      authorizedEntity_(std::move(authorizedEntity)),
      scope_(std::move(scope)),
      keyPair_(std::move(keyPair)) {}

QRVInstanceIDRegistrationClient::~QRVInstanceIDRegistrationClient() {
    if (session_) session_->invalidateAndCancel();
}

uint64_t QRVInstanceIDRegistrationClient::nextRequestID() {
    std::lock_guard lock(classState().mutex);
    return ++classState().requestCounter;
}

void QRVInstanceIDRegistrationClient::resetForTesting() {
    std::lock_guard lock(classState().mutex);
    classState().requestCounter = 0;
    classState().phoneRegistrationRetries = 0;
}

bool QRVInstanceIDRegistrationClient::inProgress() const {
    return task_ && task_->state() == ns::URLSessionDataTask::State::Running;
}

ns::URLSessionPtr QRVInstanceIDRegistrationClient::newSession() {
    ns::URLSessionConfiguration configuration = ns::URLSessionConfiguration::defaultSessionConfiguration();
    configuration.timeoutIntervalForResource = 60;
    configuration.delegateQueue = ns::DispatchQueue::main();
    return ns::URLSession::make(configuration);
}

void QRVInstanceIDRegistrationClient::send(const ns::URLRequest& request, ns::DataTaskCompletion completion) {
    if (!session_) session_ = newSession();
    task_ = session_->dataTask(request, std::move(completion));
    task_->resume();
}

void QRVInstanceIDRegistrationClient::stopFetching() {
    if (session_) session_->invalidateAndCancel();
    session_.reset();
    task_.reset();
}

uint64_t QRVInstanceIDRegistrationClient::scheduledPhoneRegistrationRetries() {
    std::lock_guard lock(classState().mutex);
    return classState().scheduledRetries;
}

ns::URLRequest QRVInstanceIDRegistrationClient::requestWithAuthHeader(const std::string& authHeader) {
    ns::URLRequest request(QRVInstanceIDRegisterServer());
    request.setHTTPMethod("POST");
    request.setValue(authHeader, "Authorization");
    request.setValue(QRVInstanceIDAppIdentifier(), "app");
    request.setValue(std::string(kQRVInstanceIDFormContentType), "Content-Type");
    return request;
}

std::vector<QRVInstanceIDURLQueryItem> QRVInstanceIDRegistrationClient::standardQueryItemsWithDeviceID(
    const std::string& deviceID, const std::string& scope, uint64_t requestID) {
    std::vector<QRVInstanceIDURLQueryItem> items{{"X-osv", QRVInstanceIDOperatingSystemVersion()}};
    if (!deviceID.empty()) items.push_back({"device", deviceID});
    if (!scope.empty()) items.push_back({"X-scope", scope});
    items.push_back({"plat", "2"});
    items.push_back({"app", QRVInstanceIDAppIdentifier()});
    items.push_back({"app_ver", QRVInstanceIDCurrentAppVersion()});
    items.push_back({"X-kid", std::to_string(requestID)});
    if (auto version = QRVInstanceIDCurrentKDXVersion(); version && !version->empty()) {
        items.push_back({"X-kdx_ver", *version});
    }
    return items;
}

std::vector<QRVInstanceIDURLQueryItem> QRVInstanceIDRegistrationClient::publicKeyQueryItems() const {
    std::vector<QRVInstanceIDURLQueryItem> items;
    if (!keyPair_ || !keyPair_->isValid()) return items;
    const std::string pub2 = QRVInstanceIDSecKeyBase64Encoding(keyPair_->publicKeyData());
    items.push_back({"appid", QRVInstanceIDKeyPair::appIdentityWithKeyPair(*keyPair_).value_or("")});
    items.push_back({"pub2", pub2});
    const std::string signedText = QRVInstanceIDConcatenateStrings(QRVInstanceIDAppIdentifier(), {pub2});
    auto signature = QRVInstanceIDSignParams(keyPair_->privateKey(), signedText);
    if (!signature) {
        QRVInstanceIDLoggerError(12007, "Failed to create signature by encrypting params %@", signedText);
        return items;
    }
    items.push_back({"sig", *signature});
    // A check of our own signing; the service decides.
    const bool verified = QRVInstanceIDVerifyData(keyPair_->publicKey(), signedText, *signature);
    QRVInstanceIDLoggerDebug(12004, "Registration signature verifies locally: %@", verified ? "YES" : "NO");
    return items;
}

std::vector<QRVInstanceIDURLQueryItem> QRVInstanceIDRegistrationClient::queryItemsFromOptions(
    const ns::Dictionary& options) {
    std::vector<QRVInstanceIDURLQueryItem> items;
    for (const auto& [key, value] : options) {
        if (key != "apns_token" && key != "vlp_app_id") {
            QRVInstanceIDLoggerDebug(12012, "Dropping invalid option: %@ for registration request", key);
            continue;
        }
        if (value.isString()) {
            items.push_back({key, value.asString()});
        } else if (value.isNumber()) {
            items.push_back({key, value.description()});
        } else {
            QRVInstanceIDLoggerDebug(12011, "Dropping option %@ with invalid value %@ for registration request", key,
                                     value);
        }
    }
    return items;
}

std::string QRVInstanceIDRegistrationClient::HTTPAuthHeaderForAuthorizedEntity(const std::string& entity) const {
    if (auto token = authService_->cachedIIDAuthTokenForAuthorizedEntity(entity); token && !token->empty()) {
        QRVInstanceIDLoggerDebug(12013, "Found IID Auth token for authentication %@", *token);
        return "VdxLogin " + *token;
    }
    const std::string checkin = authService_->checkinAuthToken();
    QRVInstanceIDLoggerDebug(12014, "No IID Auth token. Using Checkin auth token for authentication %@", checkin);
    return "VdxLogin " + checkin;
}

std::map<std::string, std::string> QRVInstanceIDRegistrationClient::parseFetchTokenResponse(const std::string& body) {
    std::map<std::string, std::string> lines;
    for (const std::string& line : split(body, '\n')) {
        // Values may hold "=" themselves (base64 padding); only the first
        // one separates.
        const size_t at = line.find('=');
        if (at == std::string::npos) continue;
        lines[line.substr(0, at)] = line.substr(at + 1);
    }
    return lines;
}

std::optional<std::string> QRVInstanceIDRegistrationClient::tokenFromReplyValue(const std::string& value,
                                                                               uint64_t requestID) {
    if (!value.empty() && value[0] == '|') {
        const std::vector<std::string> parts = split(value, '|');
        if (parts.size() < 2 || parts[1] != "ID") {
            QRVInstanceIDLoggerError(12010, "Unexpected token structure in response %@", value);
        }
        if (parts.size() < 5) return std::nullopt;
        if (parts[3] == "SYNC") QRVInstanceID::notifyTokenRefresh();
        if (parts[3] == "RST") QRVInstanceID::notifyIdentityLost();
        std::string token = parts.back();
        if (!token.empty() && token[0] == ':') token.erase(0, 1);
        if (token.empty()) return std::nullopt;
        return token;
    }
    const std::string prefix = ns::format("%lu:", static_cast<unsigned long>(requestID));
    if (value.rfind(prefix, 0) != 0 || value.size() == prefix.size()) return std::nullopt;
    return value.substr(prefix.size());
}

void QRVInstanceIDRegistrationClient::fetchTokenWithHandler(QRVInstanceIDTokenHandler handler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto preferences = authService_->checkinPreferences();
    if (!preferences || preferences->deviceID().empty() || preferences->secretToken().empty()) {
        return handler(std::nullopt, errorWithQRVInstanceIDErrorCode(kQRVInstanceIDErrorCodeMissingDevice));
    }
    ns::URLRequest request = requestWithAuthHeader(HTTPAuthHeaderForAuthorizedEntity(authorizedEntity_));
    request.setValue(preferences->versionInfo, "info");
    const uint64_t requestID = nextRequestID();
    std::vector<QRVInstanceIDURLQueryItem> items =
        standardQueryItemsWithDeviceID(preferences->deviceID(), scope_, requestID);
    items.push_back({"sender", authorizedEntity_});
    items.push_back({"X-subtype", authorizedEntity_});
    append(items, publicKeyQueryItems());
    append(items, queryItemsFromOptions(options_));
    const std::string body = QRVInstanceIDQueryFromQueryItems(items);
    QRVInstanceIDLoggerDebug(12000, "Register request to %@ content: %@", request.URL(), body);
    request.setHTTPBody(body);
    std::weak_ptr<QRVInstanceIDRegistrationClient> weakSelf = weak_from_this();
    send(request, [weakSelf, requestID, handler](ns::HTTPURLResponsePtr response, ns::Data data, ns::ErrorRef error) {
        auto self = weakSelf.lock();
        if (!self) return handler(std::nullopt, error ? error : replyError());
        self->handleFetchReply(response, data, error, requestID, handler);
    });
}

void QRVInstanceIDRegistrationClient::handleFetchReply(const ns::HTTPURLResponsePtr& response, const ns::Data& body,
                                                       ns::ErrorRef error, uint64_t requestID,
                                                       const QRVInstanceIDTokenHandler& handler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (error) {
        QRVInstanceIDLoggerDebug(12001, "Device registration HTTP fetch error. Error Code: %zd", size_t(error->code()));
        return handler(std::nullopt, error);
    }
    const std::string text = ns::crypto::toString(body);
    if (text.empty()) return handler(std::nullopt, replyError());
    const auto lines = parseFetchTokenResponse(text);
    if (auto it = lines.find("token"); it != lines.end() && !it->second.empty()) {
        std::string authToken;
        if (response) {
            if (auto header = response->valueForHTTPHeaderField("X-iid-auth")) {
                authToken = *header;
                QRVInstanceIDLoggerDebug(12003, "Received IID-Auth token %@", authToken);
            }
        }
        auto token = tokenFromReplyValue(it->second, requestID);
        if (!token) {
            // A reply for another request, or a command without a token,
            // gives nothing to hand out or cache.
            return handler(std::nullopt, replyError());
        }
        if (!authToken.empty()) authService_->saveIIDAuthToken(authToken, authorizedEntity_);
        return handler(token, nullptr);
    }
    if (auto it = lines.find("Error"); it != lines.end() && !it->second.empty()) {
        bool phoneRegistrationError = false;
        for (const std::string& part : split(it->second, ':')) {
            if (part == "PHONE_REGISTRATION_ERROR") phoneRegistrationError = true;
        }
        uint32_t retries = 0;
        {
            std::lock_guard lock(classState().mutex);
            retries = classState().phoneRegistrationRetries;
        }
        if (phoneRegistrationError && retries < kMaxPhoneRegistrationRetries) {
            std::weak_ptr<QRVInstanceIDRegistrationClient> weakSelf = weak_from_this();
            ns::DispatchQueue::main()->after(std::ldexp(1.0, int(retries)), [weakSelf, handler] {
                {
                    std::lock_guard lock(classState().mutex);
                    classState().phoneRegistrationRetries++;
                }
                if (auto self = weakSelf.lock()) {
                    self->fetchTokenWithHandler(handler);
                } else {
                    handler(std::nullopt, replyError());
                }
            });
            std::lock_guard lock(classState().mutex);
            classState().scheduledRetries++;
            return;
        }
    }
    QRVInstanceIDLoggerDebug(12002, "Invalid registration request, response");
    handler(std::nullopt, replyError());
}

void QRVInstanceIDRegistrationClient::updateDeleteHandler(const QRVInstanceIDDeleteHandler& handler,
                                                          const ns::Data& body, ns::ErrorRef error) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (error) {
        QRVInstanceIDLoggerDebug(12008, "Device unregister HTTP fetch error. Error code: %ld", error->code());
        return handler(error);
    }
    const std::string text = ns::crypto::toString(body);
    if (text.rfind("deleted=", 0) == 0) return handler(nullptr);
    if (!text.empty()) QRVInstanceIDLoggerDebug(12009, "Invalid unregister response %@", text);
    handler(replyError());
}

void QRVInstanceIDRegistrationClient::deleteTokenWithHandler(QRVInstanceIDDeleteHandler handler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    auto preferences = authService_->checkinPreferences();
    if (!preferences || preferences->deviceID().empty() || preferences->secretToken().empty()) {
        return handler(errorWithQRVInstanceIDErrorCode(kQRVInstanceIDErrorCodeMissingDevice));
    }
    ns::URLRequest request = requestWithAuthHeader(HTTPAuthHeaderForAuthorizedEntity(authorizedEntity_));
    std::vector<QRVInstanceIDURLQueryItem> items =
        standardQueryItemsWithDeviceID(preferences->deviceID(), scope_, nextRequestID());
    items.push_back({"delete", "true"});
    append(items, publicKeyQueryItems());
    const std::string body = QRVInstanceIDQueryFromQueryItems(items);
    QRVInstanceIDLoggerDebug(12005, "Unregister request to %@ content: %@", request.URL(), body);
    request.setHTTPBody(body);
    send(request, [handler](ns::HTTPURLResponsePtr, ns::Data data, ns::ErrorRef error) {
        updateDeleteHandler(handler, data, error);
    });
}

void QRVInstanceIDRegistrationClient::deleteKDXTokenOnAppResetWithDeviceID(const std::string& deviceID,
                                                                           const std::string& secretToken,
                                                                           QRVInstanceIDDeleteHandler handler) {
    if (deviceID.empty() || secretToken.empty()) {
        return handler(errorWithQRVInstanceIDErrorCode(kQRVInstanceIDErrorCodeMissingDevice));
    }
    ns::URLRequest request = requestWithAuthHeader("VdxLogin " + deviceID + ":" + secretToken);
    std::vector<QRVInstanceIDURLQueryItem> items = standardQueryItemsWithDeviceID(deviceID, "qdx", nextRequestID());
    items.push_back({"delete", "true"});
    request.setHTTPBody(QRVInstanceIDQueryFromQueryItems(items));
    // One session for this one request, kept alive by its own completion.
    ns::URLSessionPtr session = newSession();
    session
        ->dataTask(request,
                   [handler, session](ns::HTTPURLResponsePtr, ns::Data data, ns::ErrorRef error) mutable {
                       updateDeleteHandler(handler, data, error);
                       session->finishTasksAndInvalidate();
                       session.reset();
                   })
        ->resume();
}

// MARK: - Registrar

QRVInstanceIDRegistrar::QRVInstanceIDRegistrar(std::shared_ptr<QRVInstanceIDAuthService> authService)
    : authService_(std::move(authService)) {}

std::shared_ptr<QRVInstanceIDRegistrationClient> QRVInstanceIDRegistrar::clientFor(
    const std::string& entity, const std::string& scope, const QRVInstanceIDKeyPairPtr& keyPair) {
    const std::string key = QRVInstanceIDTokenStore::cacheKeyForAuthorizedEntity(entity, scope);
    auto it = registrationClientsByKeyMap_.find(key);
    if (it != registrationClientsByKeyMap_.end()) {
        it->second->setKeyPair(keyPair);
        return it->second;
    }
    auto client = std::make_shared<QRVInstanceIDRegistrationClient>(authService_, entity, scope, keyPair);
    registrationClientsByKeyMap_.emplace(key, client);
    return client;
}

void QRVInstanceIDRegistrar::fetchTokenWithAuthorizedEntity(const std::string& entity, const std::string& scope,
                                                            QRVInstanceIDKeyPairPtr keyPair,
                                                            const ns::Dictionary& options,
                                                            QRVInstanceIDTokenHandler handler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!authService_->hasValidCheckinInfo()) return handler(std::nullopt, QRVInstanceIDErrorMissingCheckin());
    auto client = clientFor(entity, scope, keyPair);
    client->setOptionsForFetchingNewToken(options);
    if (client->inProgress()) {
        return handler(std::nullopt, errorWithQRVInstanceIDErrorCode(kQRVInstanceIDErrorCodeAlreadyRunning));
    }
    client->fetchTokenWithHandler(std::move(handler));
}

void QRVInstanceIDRegistrar::deleteTokenWithAuthorizedEntity(const std::string& entity, const std::string& scope,
                                                             QRVInstanceIDKeyPairPtr keyPair,
                                                             QRVInstanceIDDeleteHandler handler) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    if (!authService_->hasValidCheckinInfo()) return handler(QRVInstanceIDErrorMissingCheckin());
    auto client = clientFor(entity, scope, keyPair);
    client->setOptionsForFetchingNewToken({});
    if (client->inProgress()) return handler(errorWithQRVInstanceIDErrorCode(kQRVInstanceIDErrorCodeAlreadyRunning));
    client->deleteTokenWithHandler(std::move(handler));
}

void QRVInstanceIDRegistrar::stopAllRequests() {
    for (auto& [key, client] : registrationClientsByKeyMap_) client->stopFetching();
    authService_->stopCheckinRequest();
}
