#include "auth/QRVAuthErrors.h"

#include <map>

#include "platform/format.h"
#include "platform/no_destructor.h"

namespace {

ns::ErrorRef make(QRVAuthErrorCode code, const char* description, const std::string& reason,
                  ns::ErrorRef underlying = nullptr, const std::string& serverCode = {}) {
    ns::Dictionary info{{ns::kLocalizedDescriptionKey, description}};
    if (!reason.empty()) info[ns::kLocalizedFailureReasonErrorKey] = reason;
    if (underlying) info[ns::kUnderlyingErrorKey] = ns::Value(std::const_pointer_cast<ns::Error>(underlying));
    if (!serverCode.empty()) info[kQRVAuthErrorServerCodeKey] = serverCode;
    return ns::Error::make(kQRVAuthErrorDomain, code, std::move(info));
}

constexpr const char* kInvalidEmail = "The e-mail address is badly formatted.";
constexpr const char* kWrongPassword = "The password is wrong.";
constexpr const char* kUserNotFound = "There is no account with this e-mail address.";
constexpr const char* kUserDisabled = "This account has been disabled by an administrator.";
constexpr const char* kEmailInUse = "The e-mail address is already in use by another account.";
constexpr const char* kWeakPassword = "The password is too weak: it must be at least 6 characters long.";
constexpr const char* kNetwork = "A network error occurred (the server could not be reached, or the connection was "
                                 "interrupted or timed out).";
constexpr const char* kTokenExpired = "Your session has expired. Please sign in again.";
constexpr const char* kInvalidToken = "Your session is no longer valid. Please sign in again.";
constexpr const char* kInvalidAPIKey = "The app's API key is not valid.";
constexpr const char* kKeychain = "The signed-in user could not be saved to or removed from the keychain.";
constexpr const char* kInternal = "An internal error occurred. Please try again later.";

}  // namespace

ns::ErrorRef QRVAuthErrorUtils::invalidEmailError(const std::string& reason) {
    return make(QRVAuthErrorCodeInvalidEmail, kInvalidEmail, reason);
}
ns::ErrorRef QRVAuthErrorUtils::wrongPasswordError(const std::string& reason) {
    return make(QRVAuthErrorCodeWrongPassword, kWrongPassword, reason);
}
ns::ErrorRef QRVAuthErrorUtils::userNotFoundError(const std::string& reason) {
    return make(QRVAuthErrorCodeUserNotFound, kUserNotFound, reason);
}
ns::ErrorRef QRVAuthErrorUtils::userDisabledError(const std::string& reason) {
    return make(QRVAuthErrorCodeUserDisabled, kUserDisabled, reason);
}
ns::ErrorRef QRVAuthErrorUtils::emailAlreadyInUseError(const std::string& reason) {
    return make(QRVAuthErrorCodeEmailAlreadyInUse, kEmailInUse, reason);
}
ns::ErrorRef QRVAuthErrorUtils::weakPasswordError(const std::string& reason) {
    return make(QRVAuthErrorCodeWeakPassword, kWeakPassword, reason);
}
ns::ErrorRef QRVAuthErrorUtils::networkError(ns::ErrorRef underlying) {
    return make(QRVAuthErrorCodeNetworkError, kNetwork, underlying ? underlying->localizedDescription() : "",
                underlying);
}
ns::ErrorRef QRVAuthErrorUtils::userTokenExpiredError(const std::string& reason) {
    return make(QRVAuthErrorCodeUserTokenExpired, kTokenExpired, reason);
}
ns::ErrorRef QRVAuthErrorUtils::invalidUserTokenError(const std::string& reason) {
    return make(QRVAuthErrorCodeInvalidUserToken, kInvalidToken, reason);
}
ns::ErrorRef QRVAuthErrorUtils::invalidAPIKeyError(const std::string& reason) {
    return make(QRVAuthErrorCodeInvalidAPIKey, kInvalidAPIKey, reason);
}

ns::ErrorRef QRVAuthErrorUtils::keychainError(ns::OSStatus status, const std::string& detail) {
    std::string reason = ns::format("The keychain answered %d: %@", int(status), ns::SecCopyErrorMessageString(status));
    if (!detail.empty()) reason += " (" + detail + ")";
    auto underlying = ns::Error::make(ns::kOSStatusErrorDomain, status, ns::SecCopyErrorMessageString(status));
    ns::Dictionary info{{ns::kLocalizedDescriptionKey, kKeychain},
                        {ns::kLocalizedFailureReasonErrorKey, reason},
                        {ns::kUnderlyingErrorKey, ns::Value(std::const_pointer_cast<ns::Error>(underlying))},
                        {kQRVAuthErrorKeychainStatusKey, int64_t(status)}};
    return ns::Error::make(kQRVAuthErrorDomain, QRVAuthErrorCodeKeychainError, std::move(info));
}

ns::ErrorRef QRVAuthErrorUtils::internalError(const std::string& reason, ns::ErrorRef underlying) {
    return make(QRVAuthErrorCodeInternalError, kInternal, reason, std::move(underlying));
}

ns::ErrorRef QRVAuthErrorUtils::errorForServerCode(const std::string& serverCode, const std::string& message,
                                                   bool signingUp) {
    struct Entry {
        QRVAuthErrorCode code;
        const char* description;
    };
    static const ns::NoDestructor<std::map<std::string, Entry>> table(std::map<std::string, Entry>{
        {"INVALID_EMAIL", {QRVAuthErrorCodeInvalidEmail, kInvalidEmail}},
        {"INVALID_PASSWORD", {QRVAuthErrorCodeWrongPassword, kWrongPassword}},
        {"EMAIL_NOT_FOUND", {QRVAuthErrorCodeUserNotFound, kUserNotFound}},
        {"USER_NOT_FOUND", {QRVAuthErrorCodeUserNotFound, kUserNotFound}},
        {"USER_DISABLED", {QRVAuthErrorCodeUserDisabled, kUserDisabled}},
        {"EMAIL_EXISTS", {QRVAuthErrorCodeEmailAlreadyInUse, kEmailInUse}},
        {"WEAK_PASSWORD", {QRVAuthErrorCodeWeakPassword, kWeakPassword}},
        {"TOKEN_REVOKED", {QRVAuthErrorCodeUserTokenExpired, kTokenExpired}},
        {"TOKEN_EXPIRED", {QRVAuthErrorCodeUserTokenExpired, kTokenExpired}},
        {"INVALID_REFRESH_TOKEN", {QRVAuthErrorCodeInvalidUserToken, kInvalidToken}},
        {"INVALID_ID_TOKEN", {QRVAuthErrorCodeInvalidUserToken, kInvalidToken}},
        {"INVALID_API_KEY", {QRVAuthErrorCodeInvalidAPIKey, kInvalidAPIKey}},
    });
    if (serverCode == "MISSING_PASSWORD") {
        return signingUp ? make(QRVAuthErrorCodeWeakPassword, kWeakPassword, kQRVAuthMissingPasswordReason, nullptr,
                                serverCode)
                         : make(QRVAuthErrorCodeWrongPassword, kWrongPassword, message, nullptr, serverCode);
    }
    auto it = table->find(serverCode);
    if (it == table->end()) {
        std::string reason = serverCode.empty() ? message : serverCode + (message.empty() ? "" : ": " + message);
        return make(QRVAuthErrorCodeInternalError, kInternal, reason, nullptr, serverCode);
    }
    return make(it->second.code, it->second.description, message, nullptr, serverCode);
}

bool QRVAuthErrorUtils::isDeadSessionError(const ns::ErrorRef& error) {
    if (!error || error->domain() != kQRVAuthErrorDomain) return false;
    switch (error->code()) {
    case QRVAuthErrorCodeUserTokenExpired:
    case QRVAuthErrorCodeInvalidUserToken:
    case QRVAuthErrorCodeUserDisabled:
    case QRVAuthErrorCodeUserNotFound: return true;
    default: return false;
    }
}
