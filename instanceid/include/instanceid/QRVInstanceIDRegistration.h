#pragma once
// Token registration: the form request that obtains or deletes a
// registration token for (authorized entity, scope), signed with the
// installation's key pair, and the registrar that keeps one client per pair.
//
// Form values are percent-encoded and sent as
// application/x-www-form-urlencoded; the registration service decodes them.
// Reply lines are "key=value", split at the first "=". Replies and retries
// (a "PHONE_REGISTRATION_ERROR" reply is retried after 1, 2, 4, ... seconds
// of ns::Clock time, ten times per run at most) arrive on the main queue, and
// every handler is called there exactly once.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "instanceid/QRVInstanceIDCheckin.h"
#include "instanceid/QRVInstanceIDKeyPair.h"
#include "platform/http.h"

struct QRVInstanceIDURLQueryItem {
    std::string name;
    std::string value;
    static QRVInstanceIDURLQueryItem queryItemWithName(std::string name, std::string value) {
        return {std::move(name), std::move(value)};
    }
};

// name=value pairs joined by "&", names and values percent-encoded (all but
// the unreserved characters of RFC 3986).
std::string QRVInstanceIDQueryFromQueryItems(const std::vector<QRVInstanceIDURLQueryItem>& items);
inline constexpr const char* kQRVInstanceIDFormContentType = "application/x-www-form-urlencoded";

using QRVInstanceIDTokenHandler = std::function<void(std::optional<std::string> token, ns::ErrorRef error)>;
using QRVInstanceIDDeleteHandler = std::function<void(ns::ErrorRef error)>;

class QRVInstanceIDRegistrationClient : public std::enable_shared_from_this<QRVInstanceIDRegistrationClient> {
public:
    QRVInstanceIDRegistrationClient(std::shared_ptr<QRVInstanceIDAuthService> authService, std::string authorizedEntity,
                                    std::string scope, QRVInstanceIDKeyPairPtr keyPair);
    ~QRVInstanceIDRegistrationClient();

    const std::string& authorizedEntity() const { return authorizedEntity_; }
    const std::string& scope() const { return scope_; }
    void setKeyPair(QRVInstanceIDKeyPairPtr keyPair) { keyPair_ = std::move(keyPair); }
    void setOptionsForFetchingNewToken(ns::Dictionary options) { options_ = std::move(options); }
    bool inProgress() const;

    void fetchTokenWithHandler(QRVInstanceIDTokenHandler handler);
    void deleteTokenWithHandler(QRVInstanceIDDeleteHandler handler);
    void stopFetching();

    // Deletes the messaging registrations of an earlier installation with
    // its credentials (scope "qdx", no key items).
    static void deleteKDXTokenOnAppResetWithDeviceID(const std::string& deviceID, const std::string& secretToken,
                                                     QRVInstanceIDDeleteHandler handler);

    // How many PHONE_REGISTRATION_ERROR retries have been scheduled in this
    // process, so a test can move the clock once the wait is set.
    static uint64_t scheduledPhoneRegistrationRetries();

    static ns::URLRequest requestWithAuthHeader(const std::string& authHeader);
    static std::vector<QRVInstanceIDURLQueryItem> standardQueryItemsWithDeviceID(const std::string& deviceID,
                                                                                 const std::string& scope,
                                                                                 uint64_t requestID);
    std::vector<QRVInstanceIDURLQueryItem> publicKeyQueryItems() const;
    static std::vector<QRVInstanceIDURLQueryItem> queryItemsFromOptions(const ns::Dictionary& options);
    std::string HTTPAuthHeaderForAuthorizedEntity(const std::string& entity) const;
    // The reply's lines as key to value (split at the first "=", later lines win).
    static std::map<std::string, std::string> parseFetchTokenResponse(const std::string& body);
    // The token of a "token" reply value for the request `requestID`;
    // nullopt when the value carries none. Runs the "|ID|" commands.
    static std::optional<std::string> tokenFromReplyValue(const std::string& value, uint64_t requestID);
    static void updateDeleteHandler(const QRVInstanceIDDeleteHandler& handler, const ns::Data& body,
                                    ns::ErrorRef error);
    static uint64_t nextRequestID();

    static void resetForTesting();

private:
    void handleFetchReply(const ns::HTTPURLResponsePtr& response, const ns::Data& body, ns::ErrorRef error,
                          uint64_t requestID, const QRVInstanceIDTokenHandler& handler);
    void send(const ns::URLRequest& request, ns::DataTaskCompletion completion);
    static ns::URLSessionPtr newSession();

    std::shared_ptr<QRVInstanceIDAuthService> authService_;
    std::string authorizedEntity_;
    std::string scope_;
    QRVInstanceIDKeyPairPtr keyPair_;
    ns::Dictionary options_;
    ns::URLSessionPtr session_;
    ns::URLSessionDataTaskPtr task_;
};

class QRVInstanceIDRegistrar {
public:
    explicit QRVInstanceIDRegistrar(std::shared_ptr<QRVInstanceIDAuthService> authService);

    const std::shared_ptr<QRVInstanceIDAuthService>& authService() const { return authService_; }

    // 501 without valid check-in, 5 while the pair's request runs.
    void fetchTokenWithAuthorizedEntity(const std::string& entity, const std::string& scope,
                                        QRVInstanceIDKeyPairPtr keyPair, const ns::Dictionary& options,
                                        QRVInstanceIDTokenHandler handler);
    void deleteTokenWithAuthorizedEntity(const std::string& entity, const std::string& scope,
                                         QRVInstanceIDKeyPairPtr keyPair, QRVInstanceIDDeleteHandler handler);
    void stopAllRequests();

private:
    std::shared_ptr<QRVInstanceIDRegistrationClient> clientFor(const std::string& entity, const std::string& scope,
                                                               const QRVInstanceIDKeyPairPtr& keyPair);

    std::shared_ptr<QRVInstanceIDAuthService> authService_;
    std::map<std::string, std::shared_ptr<QRVInstanceIDRegistrationClient>> registrationClientsByKeyMap_;
};
