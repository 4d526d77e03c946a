#pragma once
// Errors of authentication: one domain, one code per thing that can go wrong,
// each with a description a user can read (the sign-up screen shows it as
// is), a failure reason where there is one and, for network failures, the
// transport error as the underlying error.
//
// Codes 0 and 1 are never used: the database's token provider reads them as
// "authentication not configured" and "no token".

#include <string>

#include "platform/error.h"
#include "platform/keychain.h"

inline constexpr const char* kQRVAuthErrorDomain = "com.quorvane.auth";

// userInfo key of the code the account service answered with ("EMAIL_EXISTS", ...).
inline constexpr const char* kQRVAuthErrorServerCodeKey = "QRVAuthErrorServerCode";
// userInfo key of the keychain status behind a keychain error.
inline constexpr const char* kQRVAuthErrorKeychainStatusKey = "QRVAuthErrorKeychainStatus";

enum QRVAuthErrorCode : long {
    QRVAuthErrorCodeInvalidEmail = 20001,
    QRVAuthErrorCodeWrongPassword = 20002,
    QRVAuthErrorCodeUserNotFound = 20003,
    QRVAuthErrorCodeUserDisabled = 20004,
    QRVAuthErrorCodeEmailAlreadyInUse = 20005,
    QRVAuthErrorCodeWeakPassword = 20006,
    QRVAuthErrorCodeNetworkError = 20007,
    // The session can no longer be refreshed (revoked): sign in again.
    QRVAuthErrorCodeUserTokenExpired = 20008,
    QRVAuthErrorCodeInvalidAPIKey = 20009,
    QRVAuthErrorCodeKeychainError = 20010,
    QRVAuthErrorCodeInternalError = 20011,
    // The service does not know the session's token at all.
    QRVAuthErrorCodeInvalidUserToken = 20012,
};

// The failure reason of a sign-up refused locally for an empty password.
inline constexpr const char* kQRVAuthMissingPasswordReason = "Missing Password";

struct QRVAuthErrorUtils {
    static ns::ErrorRef invalidEmailError(const std::string& reason = {});
    static ns::ErrorRef wrongPasswordError(const std::string& reason = {});
    static ns::ErrorRef userNotFoundError(const std::string& reason = {});
    static ns::ErrorRef userDisabledError(const std::string& reason = {});
    static ns::ErrorRef emailAlreadyInUseError(const std::string& reason = {});
    static ns::ErrorRef weakPasswordError(const std::string& reason);
    static ns::ErrorRef networkError(ns::ErrorRef underlying);
    static ns::ErrorRef userTokenExpiredError(const std::string& reason = {});
    static ns::ErrorRef invalidUserTokenError(const std::string& reason = {});
    static ns::ErrorRef invalidAPIKeyError(const std::string& reason = {});
    static ns::ErrorRef keychainError(ns::OSStatus status, const std::string& detail = {});
    static ns::ErrorRef internalError(const std::string& reason, ns::ErrorRef underlying = nullptr);

    // The error for a code the account service answered with ("EMAIL_EXISTS",
    // ...) and its message; unknown codes give an internal error. A missing
    // password means a weak one when signing up, a wrong one otherwise.
    static ns::ErrorRef errorForServerCode(const std::string& serverCode, const std::string& message,
                                           bool signingUp = false);

    // Whether a refresh refused with this error means the session is dead
    // (revoked, disabled or deleted account, unknown token), so the user
    // must be signed out rather than retried.
    static bool isDeadSessionError(const ns::ErrorRef& error);
};
