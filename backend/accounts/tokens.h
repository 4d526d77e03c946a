#pragma once
// ID tokens: what the account service hands a signed-in user and what every
// service that acts for a user (database, storage) checks.
//
// A token is "<header>.<payload>.<signature>", each part base64url without
// padding: the header {"alg":"HS256","typ":"JWT"}, the payload the claims
// below as JSON, the signature HMAC-SHA256 over "<header>.<payload>" with the
// back end's secret. The secret is made once per data dir and kept in
// <data dir>/auth/id-token-key, so tokens outlive a restart.
//
// The signer checks only the token itself. A service that acts for a user
// accepts tokens through backend::tokenVerifier(context) (accounts.h), which
// adds the app the token was issued for, the account's state and its
// revocations.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "backend/core/service.h"

namespace backend {

struct IdTokenClaims {
    std::string uid;
    std::string email;  // may be empty
    std::string appId;  // the app whose API key the sign-in came with
    int64_t issuedAt = 0;   // seconds since 1970
    int64_t expiresAt = 0;  // seconds since 1970
    // Makes every token distinct, even two issued in the same second.
    std::string tokenId;
    // The issue time to the millisecond ("iat_ms"; 0 when signing: issuedAt
    // in milliseconds), so a revocation can tell tokens of one second apart.
    int64_t issuedAtMs = 0;
};

enum class IdTokenError {
    None,
    Malformed,     // not three base64url parts, or a payload without the claims
    BadSignature,  // signed with another key, or altered
    Expired,       // past its expiry
};

// "malformed", "bad signature", "expired".
const char* describe(IdTokenError error);

struct IdTokenCheck {
    IdTokenError error = IdTokenError::None;
    IdTokenClaims claims;  // meaningful only without an error
    explicit operator bool() const { return error == IdTokenError::None; }
};

class IdTokenSigner {
public:
    // `secret` is the HMAC key; an empty one is refused (std::invalid_argument).
    explicit IdTokenSigner(std::string secret);

    // Reads the key kept in `directory`, making it (32 random bytes, mode
    // 0600) when it is missing. Throws std::runtime_error when the key cannot
    // be read or written.
    static std::shared_ptr<const IdTokenSigner> loadOrCreate(const std::filesystem::path& directory);

    std::string sign(const IdTokenClaims& claims) const;
    // Checks the signature and, against `nowSeconds` (the real clock when
    // absent), the expiry.
    IdTokenCheck verify(std::string_view token, std::optional<int64_t> nowSeconds = std::nullopt) const;

private:
    std::string secret_;
};

// The back end's signer, shared by every service of one server; its key
// lives in <data dir>/auth. Thread-safe. Throws as loadOrCreate does.
std::shared_ptr<const IdTokenSigner> idTokenSigner(Context& context);

// The token of an "Authorization: Quorvane <token>" header value (the form
// the SDK's storage client sends; "Bearer <token>" is accepted too), or
// nullopt.
std::optional<std::string> idTokenFromAuthorization(std::string_view headerValue);

// Seconds and milliseconds since 1970 on the real clock.
int64_t nowSeconds();
int64_t nowMilliseconds();

}  // namespace backend
