#pragma once
// The account service and the secure-token service: e-mail/password accounts
// kept in SQLite in the data dir (<data dir>/auth/accounts.sqlite), ID tokens
// signed with backend/tokens.h, refresh tokens that can be revoked, and an
// outbox of password-reset mails.
//
// Client endpoints (POST, JSON, API key in the query parameter "key"):
//   /account/v1/signUp             {email, password} -> {uid, email, idToken, refreshToken, expiresIn}
//   /account/v1/signIn             {email, password} -> the same
//   /account/v1/sendPasswordReset  {email}           -> {email}
//   /account/v1/lookup             {idToken}         -> {uid, email, appId, issuedAt, expiresAt}
//                                  (only a token issued for the key's app)
//   /token/v1/refresh              {refreshToken}    -> {uid, idToken, refreshToken, expiresIn}
//                                  (only with a key of the app the refresh token was issued for)
// Failures are an HTTP status with {"error": {"code", "message"}}; the codes
// are the kError* constants below.
//
// Admin endpoints (loopback only, JSON):
//   POST /__admin/auth/users            {email, password, uid?, disabled?} -> the account
//   GET  /__admin/auth/users            {"users": [...]}; ?email= or ?uid= for one account
//   POST /__admin/auth/users/disable    {uid | email, disabled = true}; disabling also
//                                       ends every ID token issued so far
//   POST /__admin/auth/users/revoke     {uid | email} -> {"revoked": number of refresh tokens};
//                                       every ID token issued so far is refused from now on
//   GET  /__admin/auth/outbox           {"messages": [...]}, oldest first
//   GET  /__admin/auth/tokenLifetime    {"seconds"}
//   POST /__admin/auth/tokenLifetime    {"seconds"}: lifetime of ID tokens issued from now on
//   GET  /__admin/auth/apiKeys          {"apiKeys": [{"apiKey", "appId"}]}
//   POST /__admin/auth/apiKeys          {apiKey, appId}: accept that key from now on
//
// Seeding: an "auth.json" in the data dir (the sample data carries one) is
// imported once, on the first start that finds it:
//   {"apiKeys": [{"apiKey", "appId"}], "users": [{"email", "password", "uid"?}]}

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "backend/core/service.h"
#include "backend/accounts/tokens.h"

struct sqlite3;

namespace backend {

// Wire error codes.
inline constexpr const char* kErrorInvalidArgument = "INVALID_ARGUMENT";
inline constexpr const char* kErrorPayloadTooLarge = "PAYLOAD_TOO_LARGE";
inline constexpr const char* kErrorInvalidApiKey = "INVALID_API_KEY";
inline constexpr const char* kErrorInvalidEmail = "INVALID_EMAIL";
inline constexpr const char* kErrorMissingPassword = "MISSING_PASSWORD";
inline constexpr const char* kErrorWeakPassword = "WEAK_PASSWORD";
inline constexpr const char* kErrorEmailExists = "EMAIL_EXISTS";
inline constexpr const char* kErrorEmailNotFound = "EMAIL_NOT_FOUND";
inline constexpr const char* kErrorInvalidPassword = "INVALID_PASSWORD";
inline constexpr const char* kErrorUserDisabled = "USER_DISABLED";
inline constexpr const char* kErrorUserNotFound = "USER_NOT_FOUND";
inline constexpr const char* kErrorInvalidRefreshToken = "INVALID_REFRESH_TOKEN";
inline constexpr const char* kErrorTokenRevoked = "TOKEN_REVOKED";
inline constexpr const char* kErrorInvalidIdToken = "INVALID_ID_TOKEN";
inline constexpr const char* kErrorTokenExpired = "TOKEN_EXPIRED";
inline constexpr const char* kErrorNotFound = "NOT_FOUND";
inline constexpr const char* kErrorInternal = "INTERNAL";

// Bodies of the client endpoints are small; anything bigger is refused.
inline constexpr std::size_t kMaxAuthBodyBytes = 64 * 1024;
inline constexpr std::size_t kMinPasswordLength = 6;
// Longer passwords are refused rather than hashed.
inline constexpr std::size_t kMaxPasswordBytes = 4096;
inline constexpr int64_t kDefaultTokenLifetimeSeconds = 3600;

// One address with a local part, an "@" and a dotted domain; no spaces or
// control characters; at most 254 bytes.
bool isValidEmail(std::string_view email);
// Password length in characters (UTF-8 code points).
std::size_t passwordLength(std::string_view password);

struct Account {
    std::string uid;
    std::string email;
    bool disabled = false;
    double createdAt = 0;
    double lastSignInAt = 0;  // 0: never signed in
    // ID tokens issued at or before this time (ms since 1970) are refused;
    // set by a revocation and by disabling.
    int64_t tokensValidAfterMs = 0;
};
nlohmann::json toJson(const Account& account);

enum class AccountError {
    None,
    EmailExists,
    UidExists,
    UserNotFound,
    WrongPassword,
    UserDisabled,
    InvalidRefreshToken,
    TokenRevoked,
    OtherApp,  // a refresh token presented with another app's key
};

struct AccountResult {
    AccountError error = AccountError::None;
    Account account;
    explicit operator bool() const { return error == AccountError::None; }
};

// The accounts table and its companions. Thread-safe (one connection under a
// mutex; password hashing happens outside it).
class AccountStore {
public:
    static constexpr int kDefaultIterations = 100000;

    // Opens the SQLite file, creating it and its tables when missing. Throws
    // std::runtime_error naming the file.
    explicit AccountStore(const std::filesystem::path& file, int pbkdf2Iterations = kDefaultIterations);
    ~AccountStore();
    AccountStore(const AccountStore&) = delete;
    AccountStore& operator=(const AccountStore&) = delete;

    // The caller checks the e-mail and password rules first. An empty `uid`
    // makes a new random one (28 letters and digits).
    AccountResult create(const std::string& email, const std::string& password, const std::string& uid = {});
    // WrongPassword, UserNotFound or UserDisabled on failure; records the
    // sign-in time on success.
    AccountResult authenticate(const std::string& email, const std::string& password);
    std::optional<Account> findByEmail(const std::string& email);
    std::optional<Account> findByUid(const std::string& uid);
    std::vector<Account> all();
    // False when there is no such account. Disabling also refuses every ID
    // token issued until now (re-enabling does not bring them back).
    bool setDisabled(const std::string& uid, bool disabled);

    // A new refresh token for the account, bound to the app it is issued
    // for (only its SHA-256 is kept).
    std::string issueRefreshToken(const std::string& uid, const std::string& appId = {});
    // The account the token belongs to, unless the token is unknown, revoked,
    // bound to another app than `appId` (when given), or its account is gone
    // or disabled.
    AccountResult redeemRefreshToken(const std::string& token, const std::optional<std::string>& appId = std::nullopt);
    // Revokes every refresh token of the account and every ID token issued
    // until now; returns how many refresh tokens were live.
    int revokeRefreshTokens(const std::string& uid);
    // Refuses every ID token of the account issued until now. False when
    // there is no such account.
    bool revokeIdTokens(const std::string& uid);
    // Grows with every revocation and every change of an account's disabled
    // state, so holders of accepted tokens know when to look again.
    uint64_t revocations() const { return revocations_.load(); }

    // Appends a message to the outbox and returns it.
    nlohmann::json appendOutbox(const std::string& kind, const Account& account);
    nlohmann::json outbox();

    void setApiKey(const std::string& apiKey, const std::string& appId);
    std::optional<std::string> appIdForApiKey(const std::string& apiKey);
    std::vector<std::pair<std::string, std::string>> apiKeys();

    std::optional<std::string> meta(const std::string& key);
    void setMeta(const std::string& key, const std::string& value);

private:
    class Statement;
    void exec(const char* sql);
    bool hasColumn(const char* table, const char* column);
    std::optional<Account> findBy(const char* column, const std::string& value);

    std::filesystem::path file_;
    int iterations_;
    std::mutex mutex_;
    sqlite3* db_ = nullptr;
    std::atomic<uint64_t> revocations_{0};
};

// Why a token is not accepted.
enum class TokenRefusal {
    None,
    Malformed,     // not a token of this back end's form
    BadSignature,  // signed with another key, or altered
    Expired,
    OtherApp,      // issued for another app than the one asking
    UserNotFound,  // its account is gone
    UserDisabled,
    Revoked,       // issued before the account's tokens were revoked
};
// "malformed", "bad signature", "expired", "issued for another app", ...
const char* describe(TokenRefusal refusal);

struct TokenAcceptance {
    TokenRefusal refusal = TokenRefusal::None;
    IdTokenClaims claims;  // meaningful only when accepted
    Account account;       // likewise
    explicit operator bool() const { return refusal == TokenRefusal::None; }
};

// The one place where the services of this back end accept an ID token:
// the signature and expiry, the app it was issued for, the state of its
// account and the account's revocations (kept in the account store, so they
// hold across restarts). Thread-safe.
class TokenVerifier {
public:
    TokenVerifier(std::shared_ptr<const IdTokenSigner> signer, std::shared_ptr<AccountStore> store);

    // `appId`: the app the caller acts for; nullopt only where no app is
    // known (then a token of any app of this back end passes). `nowSeconds`:
    // the caller's clock (the real one when absent).
    TokenAcceptance accept(std::string_view token, const std::optional<std::string>& appId,
                           std::optional<int64_t> nowSeconds = std::nullopt) const;
    // For a token accepted earlier and still relied on: the same checks on
    // its claims as they stand now.
    TokenRefusal recheck(const IdTokenClaims& claims, const std::optional<std::string>& appId,
                         std::optional<int64_t> nowSeconds = std::nullopt) const;
    // See AccountStore::revocations.
    uint64_t revocations() const { return store_->revocations(); }
    AccountStore& store() const { return *store_; }

private:
    std::shared_ptr<const IdTokenSigner> signer_;
    std::shared_ptr<AccountStore> store_;
};

// The back end's account store (<data dir>/auth/accounts.sqlite) and token
// verifier, shared by every service of one server. Throw as the
// constructors do.
std::shared_ptr<AccountStore> accountStore(Context& context);
std::shared_ptr<const TokenVerifier> tokenVerifier(Context& context);

class AccountsService : public Service {
public:
    std::string name() const override { return "accounts"; }
    void start(Context& context) override;
    void install(HttpRouter& server, const Listener& listener, Context& context) override;

    // For a server made in-process (tests).
    AccountStore& store() { return *store_; }

private:
    void importSeed(const std::filesystem::path& file);
    nlohmann::json issueTokens(const Account& account, const std::string& appId);
    // The app an API key belongs to; answers 403 and gives nullopt otherwise.
    std::optional<std::string> appFor(const Request& req, Response& res);
    // The account a body names by "uid" or "email"; answers and gives nullopt otherwise.
    std::optional<Account> accountNamed(const nlohmann::json& body, Response& res);

    // The client endpoints; the POST ones get the body parsed as an object.
    void signUp(const Request& req, Response& res, const nlohmann::json& body);
    void signIn(const Request& req, Response& res, const nlohmann::json& body);
    void sendPasswordReset(const Request& req, Response& res, const nlohmann::json& body);
    void lookup(const Request& req, Response& res, const nlohmann::json& body);
    void refresh(const Request& req, Response& res, const nlohmann::json& body);
    // The test interface.
    void createUser(const Request& req, Response& res, const nlohmann::json& body);
    void getUsers(const Request& req, Response& res, const std::string& body);
    void disableUser(const Request& req, Response& res, const nlohmann::json& body);
    void revokeUser(const Request& req, Response& res, const nlohmann::json& body);
    void getOutbox(const Request& req, Response& res, const std::string& body);
    void getTokenLifetime(const Request& req, Response& res, const std::string& body);
    void setTokenLifetime(const Request& req, Response& res, const nlohmann::json& body);
    void getApiKeys(const Request& req, Response& res, const std::string& body);
    void setApiKey(const Request& req, Response& res, const nlohmann::json& body);

    std::shared_ptr<AccountStore> store_;
    std::shared_ptr<const IdTokenSigner> signer_;
    std::shared_ptr<const TokenVerifier> verifier_;
    std::atomic<int64_t> tokenLifetime_{kDefaultTokenLifetimeSeconds};
};

}  // namespace backend
