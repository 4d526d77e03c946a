#include "auth/rpc/QRVAuthRPC.h"

#include <mutex>

#include "auth/QRVAuthErrors.h"
#include "core/QRVLogger.h"
#include "platform/dispatch.h"
#include "platform/format.h"
#include "platform/http.h"
#include "platform/json.h"
#include "platform/url.h"

namespace {

struct RPCState {
    std::mutex mutex;
    std::string pathPrefix;
    ns::URLSessionPtr session;
    ns::DispatchQueuePtr queue;
};

RPCState& state() {
    static RPCState* s = new RPCState();
    return *s;
}

ns::DispatchQueuePtr rpcQueue() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.queue) s.queue = ns::DispatchQueue::serial("com.quorvane.auth.rpc");
    return s.queue;
}

ns::URLSessionPtr session() {
    auto queue = rpcQueue();
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.session) {
        auto configuration = ns::URLSessionConfiguration::ephemeralSessionConfiguration();
        configuration.delegateQueue = queue;
        s.session = ns::URLSession::make(configuration);
    }
    return s.session;
}

// Field readers for answers: a string member, or a number of seconds.
bool readString(const ns::Dictionary& d, const char* key, std::string& out, ns::ErrorRef* error, bool required = true) {
    auto it = d.find(key);
    if (it == d.end() || it->second.isNull()) {
        if (!required) return true;
        if (error) *error = QRVAuthErrorUtils::internalError(ns::format("The server's answer has no \"%@\".", key));
        return false;
    }
    if (!it->second.isString() || (required && it->second.asString().empty())) {
        if (error) *error = QRVAuthErrorUtils::internalError(ns::format("The server's \"%@\" is not a usable string.", key));
        return false;
    }
    out = it->second.asString();
    return true;
}

bool readSeconds(const ns::Dictionary& d, const char* key, double& out, ns::ErrorRef* error) {
    auto it = d.find(key);
    if (it == d.end() || !it->second.isNumber() || it->second.asDouble() <= 0) {
        if (error) *error = QRVAuthErrorUtils::internalError(ns::format("The server's \"%@\" is not a positive number.", key));
        return false;
    }
    out = it->second.asDouble();
    return true;
}

ns::ErrorRef errorFromAnswer(bool signingUp, const ns::HTTPURLResponsePtr& response, const ns::Data& data,
                             QRVAuthRPCResponse& out) {
    ns::ErrorRef parseError;
    ns::Value body = ns::json::parse(data, &parseError);
    const long status = response->statusCode();
    if (status == 200) {
        if (!body.isDictionary()) {
            return QRVAuthErrorUtils::internalError("The server's answer is not a JSON object.", parseError);
        }
        ns::ErrorRef fieldError;
        if (!out.setFieldsFromDictionary(body.asDictionary(), &fieldError)) return fieldError;
        return nullptr;
    }
    const ns::Value& error = body["error"];
    if (error.isDictionary() && error["code"].isString()) {
        std::string message = error["message"].isString() ? error["message"].asString() : std::string();
        return QRVAuthErrorUtils::errorForServerCode(error["code"].asString(), message, signingUp);
    }
    return QRVAuthErrorUtils::internalError(
        ns::format("The server answered HTTP %ld (%@) without a readable error.", status,
                   ns::HTTPURLResponse::localizedStringForStatusCode(status)),
        parseError);
}

}  // namespace

std::string QRVAuthRPCRequest::requestURL() const {
    std::string prefix;
    {
        auto& s = state();
        std::lock_guard lock(s.mutex);
        prefix = s.pathPrefix;
    }
    return std::string("https://") + host() + prefix + endpoint() + "?key=" +
           ns::percentEncode(configuration_.APIKey.value_or(""), "-._~");
}

QRVSignUpRequest::QRVSignUpRequest(std::string email, std::string password, QRVAuthRequestConfiguration configuration)
    : QRVAuthRPCRequest(std::move(configuration)), email_(std::move(email)), password_(std::move(password)) {}
const char* QRVSignUpRequest::host() const { return QRVAuthRPC::kAccountsHost; }
ns::Dictionary QRVSignUpRequest::unencodedHTTPRequestBody() const {
    return {{"email", email_}, {"password", password_}};
}

QRVSignInRequest::QRVSignInRequest(std::string email, std::string password, QRVAuthRequestConfiguration configuration)
    : QRVAuthRPCRequest(std::move(configuration)), email_(std::move(email)), password_(std::move(password)) {}
const char* QRVSignInRequest::host() const { return QRVAuthRPC::kAccountsHost; }
ns::Dictionary QRVSignInRequest::unencodedHTTPRequestBody() const {
    return {{"email", email_}, {"password", password_}};
}

bool QRVSignInResponse::setFieldsFromDictionary(const ns::Dictionary& d, ns::ErrorRef* error) {
    return readString(d, "uid", uid, error) && readString(d, "email", email, error, false) &&
           readString(d, "idToken", idToken, error) && readString(d, "refreshToken", refreshToken, error) &&
           readSeconds(d, "expiresIn", expiresIn, error);
}

QRVSendPasswordResetRequest::QRVSendPasswordResetRequest(std::string email, QRVAuthRequestConfiguration configuration)
    : QRVAuthRPCRequest(std::move(configuration)), email_(std::move(email)) {}
const char* QRVSendPasswordResetRequest::host() const { return QRVAuthRPC::kAccountsHost; }
ns::Dictionary QRVSendPasswordResetRequest::unencodedHTTPRequestBody() const { return {{"email", email_}}; }

bool QRVSendPasswordResetResponse::setFieldsFromDictionary(const ns::Dictionary& d, ns::ErrorRef* error) {
    return readString(d, "email", email, error, false);
}

QRVSecureTokenRequest::QRVSecureTokenRequest(std::string refreshToken, QRVAuthRequestConfiguration configuration)
    : QRVAuthRPCRequest(std::move(configuration)), refreshToken_(std::move(refreshToken)) {}
const char* QRVSecureTokenRequest::host() const { return QRVAuthRPC::kSecureTokenHost; }
ns::Dictionary QRVSecureTokenRequest::unencodedHTTPRequestBody() const {
    return {{"refreshToken", refreshToken_}};
}

bool QRVSecureTokenResponse::setFieldsFromDictionary(const ns::Dictionary& d, ns::ErrorRef* error) {
    return readString(d, "uid", uid, error) && readString(d, "idToken", idToken, error) &&
           readString(d, "refreshToken", refreshToken, error) && readSeconds(d, "expiresIn", expiresIn, error);
}

void QRVAuthRPC::call(const QRVAuthRPCRequest& request, QRVAuthRPCResponse& response, Callback callback) {
    const auto& apiKey = request.configuration().APIKey;
    if (!apiKey || apiKey->empty()) {
        rpcQueue()->async([callback = std::move(callback)] {
            callback(QRVAuthErrorUtils::invalidAPIKeyError("The app's options have no API key."));
        });
        return;
    }
    ns::URLRequest urlRequest(request.requestURL());
    urlRequest.setHTTPMethod("POST");
    urlRequest.setValue("application/json", "Content-Type");
    urlRequest.setHTTPBody(ns::json::serialize(ns::Value(request.unencodedHTTPRequestBody())));

    // The request object may be gone by the time the answer comes; keep
    // what the answer's handling needs.
    std::string endpoint = request.endpoint();
    const bool signUp = request.isSignUp();
    auto* out = &response;
    session()
        ->dataTask(urlRequest,
                   [out, signUp, endpoint, callback = std::move(callback)](ns::HTTPURLResponsePtr httpResponse,
                                                                           ns::Data data, ns::ErrorRef transport) {
                       ns::dispatchAssertQueue(rpcQueue());
                       ns::ErrorRef error;
                       if (transport || !httpResponse) {
                           error = QRVAuthErrorUtils::networkError(transport);
                       } else {
                           error = errorFromAnswer(signUp, httpResponse, data, *out);
                       }
                       if (error) {
                           QRVLogDebug(kQRVLoggerAuth, "I-AUT000006", "Request %@ failed: %@", endpoint,
                                       error->description());
                       }
                       callback(error);
                   })
        ->resume();
}

ns::ErrorRef QRVAuthRPC::callAndWait(const QRVAuthRPCRequest& request, QRVAuthRPCResponse& response) {
    struct Outcome {
        ns::DispatchSemaphore done;
        ns::ErrorRef error;
    };
#ifndef NDEBUG
    // The answer comes through the RPC queue: waiting for it there never ends.
    if (rpcQueue()->isCurrent()) {
        ns::Exception::raise(ns::kInternalInconsistencyException,
                             "QRVAuthRPC::callAndWait must not be called on the RPC queue.");
    }
#endif
    auto outcome = std::make_shared<Outcome>();
    call(request, response, [outcome](ns::ErrorRef error) {
        outcome->error = std::move(error);
        outcome->done.signal();
    });
    outcome->done.wait();
    return outcome->error;
}

void QRVAuthRPC::setPathPrefixForTesting(std::string prefix) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.pathPrefix = std::move(prefix);
}
