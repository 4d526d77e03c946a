#pragma once
// The request/response family of the account service and the secure-token
// service, and the one place that sends them.
//
// Protocol: JSON over HTTPS, POST, the app's API key as the query parameter
// "key". Success is 200 with the response object; failure is an HTTP status
// with {"error": {"code", "message"}}, mapped to QRVAuthErrors codes.
// Requests go to fixed host names (QRVAuthRPC::kAccountsHost,
// kSecureTokenHost); the platform's routing decides where those names lead.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"
#include "platform/value.h"

// What every request carries besides its own fields.
struct QRVAuthRequestConfiguration {
    std::optional<std::string> APIKey;
    std::optional<std::string> appID;
};

class QRVAuthRPCRequest {
public:
    explicit QRVAuthRPCRequest(QRVAuthRequestConfiguration configuration)
        : configuration_(std::move(configuration)) {}
    virtual ~QRVAuthRPCRequest() = default;

    const QRVAuthRequestConfiguration& configuration() const { return configuration_; }
    // The service host and path ("/account/v1/signIn").
    virtual const char* host() const = 0;
    virtual const char* endpoint() const = 0;
    // The JSON body.
    virtual ns::Dictionary unencodedHTTPRequestBody() const = 0;
    // The full URL, with the API key percent-encoded.
    std::string requestURL() const;
    // Whether a missing password in the answer means a weak one (sign-up).
    virtual bool isSignUp() const { return false; }

private:
    QRVAuthRequestConfiguration configuration_;
};

class QRVAuthRPCResponse {
public:
    virtual ~QRVAuthRPCResponse() = default;
    // Fills the fields from the answer's JSON object; on a missing or
    // mistyped field returns false with an internal error naming it.
    virtual bool setFieldsFromDictionary(const ns::Dictionary& dictionary, ns::ErrorRef* error) = 0;
};

class QRVSignUpRequest : public QRVAuthRPCRequest {
public:
    QRVSignUpRequest(std::string email, std::string password, QRVAuthRequestConfiguration configuration);
    const char* host() const override;
    const char* endpoint() const override { return "/account/v1/signUp"; }
    ns::Dictionary unencodedHTTPRequestBody() const override;
    bool isSignUp() const override { return true; }

private:
    std::string email_, password_;
};

class QRVSignInRequest : public QRVAuthRPCRequest {
public:
    QRVSignInRequest(std::string email, std::string password, QRVAuthRequestConfiguration configuration);
    const char* host() const override;
    const char* endpoint() const override { return "/account/v1/signIn"; }
    ns::Dictionary unencodedHTTPRequestBody() const override;

private:
    std::string email_, password_;
};

// Sign-in and sign-up answer alike.
class QRVSignInResponse : public QRVAuthRPCResponse {
public:
    bool setFieldsFromDictionary(const ns::Dictionary& dictionary, ns::ErrorRef* error) override;
    std::string uid, email, idToken, refreshToken;
    double expiresIn = 0;  // seconds
};

class QRVSendPasswordResetRequest : public QRVAuthRPCRequest {
public:
    QRVSendPasswordResetRequest(std::string email, QRVAuthRequestConfiguration configuration);
    const char* host() const override;
    const char* endpoint() const override { return "/account/v1/sendPasswordReset"; }
    ns::Dictionary unencodedHTTPRequestBody() const override;

private:
    std::string email_;
};

class QRVSendPasswordResetResponse : public QRVAuthRPCResponse {
public:
    bool setFieldsFromDictionary(const ns::Dictionary& dictionary, ns::ErrorRef* error) override;
    std::string email;
};

class QRVSecureTokenRequest : public QRVAuthRPCRequest {
public:
    QRVSecureTokenRequest(std::string refreshToken, QRVAuthRequestConfiguration configuration);
    const char* host() const override;
    const char* endpoint() const override { return "/token/v1/refresh"; }
    ns::Dictionary unencodedHTTPRequestBody() const override;

private:
    std::string refreshToken_;
};

class QRVSecureTokenResponse : public QRVAuthRPCResponse {
public:
    bool setFieldsFromDictionary(const ns::Dictionary& dictionary, ns::ErrorRef* error) override;
    std::string uid, idToken, refreshToken;
    double expiresIn = 0;
};

class QRVAuthRPC {
public:
    static constexpr const char* kAccountsHost = "accounts.quorvaneapis.com";
    static constexpr const char* kSecureTokenHost = "securetoken.quorvaneapis.com";

    using Callback = std::function<void(ns::ErrorRef error)>;

    // Sends the request and fills `response` from the answer. The callback
    // runs once, on the RPC layer's own serial queue, with nullptr on
    // success. `response` must stay alive until then. A configuration
    // without an API key fails at once (still through the queue) with an
    // invalid-API-key error and no request.
    static void call(const QRVAuthRPCRequest& request, QRVAuthRPCResponse& response, Callback callback);
    // The same, waiting for the answer; never call it on the RPC queue.
    static ns::ErrorRef callAndWait(const QRVAuthRPCRequest& request, QRVAuthRPCResponse& response);

    // Tests only: put a path before every endpoint (e.g. "/__recorder" to
    // talk to a scripted server behind the same host names). Empty: none.
    static void setPathPrefixForTesting(std::string prefix);
};
