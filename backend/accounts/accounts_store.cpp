#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sqlite3.h>

#include <chrono>
#include <stdexcept>
#include <system_error>

#include "backend/accounts/accounts.h"
#include "backend/core/sqlite_store.h"
#include "platform/crypto.h"

namespace backend {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr int kSaltBytes = 16;
constexpr int kHashBytes = 32;
constexpr size_t kUidLength = 28;

double now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

constexpr const char* kAccountColumns = "uid, email, disabled, created_at, last_sign_in_at, tokens_valid_after_ms";

std::string randomBytes(size_t count) {
    std::string bytes(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), int(count)) != 1) {
        throw std::runtime_error("the random-number generator failed");
    }
    return bytes;
}

// Letters and digits only, so a uid is a safe database key and path segment.
std::string randomUid() {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string uid;
    while (uid.size() < kUidLength) {
        for (unsigned char c : randomBytes(32)) {
            // 62 * 4 = 248: dropping 248..255 keeps every symbol equally likely.
            if (c < 248 && uid.size() < kUidLength) uid += alphabet[c % 62];
        }
    }
    return uid;
}

std::string pbkdf2(const std::string& password, const std::string& salt, int iterations) {
    std::string out(kHashBytes, '\0');
    if (PKCS5_PBKDF2_HMAC(password.data(), int(password.size()), reinterpret_cast<const unsigned char*>(salt.data()),
                          int(salt.size()), iterations, EVP_sha256(), kHashBytes,
                          reinterpret_cast<unsigned char*>(out.data())) != 1) {
        throw std::runtime_error("PBKDF2 failed");
    }
    return out;
}

// Whether `c` may appear in an address: printable ASCII other than space, or
// any byte of a multi-byte UTF-8 sequence.
bool addressByte(unsigned char c) { return c > 0x20 && c != 0x7f; }

}  // namespace

bool isValidEmail(std::string_view email) {
    if (email.empty() || email.size() > 254) return false;
    const size_t at = email.find('@');
    if (at == std::string_view::npos || at == 0 || email.find('@', at + 1) != std::string_view::npos) return false;
    for (unsigned char c : email) {
        if (!addressByte(c)) return false;
    }
    std::string_view domain = email.substr(at + 1);
    const size_t dot = domain.rfind('.');
    if (dot == std::string_view::npos || dot == 0 || dot + 1 == domain.size()) return false;
    if (domain.front() == '.' || domain.find("..") != std::string_view::npos) return false;
    return true;
}

std::size_t passwordLength(std::string_view password) {
    std::size_t count = 0;
    for (unsigned char c : password) {
        if ((c & 0xC0) != 0x80) ++count;
    }
    return count;
}

json toJson(const Account& account) {
    json out{{"uid", account.uid},
             {"email", account.email},
             {"disabled", account.disabled},
             {"createdAt", account.createdAt}};
    if (account.lastSignInAt > 0) out["lastSignInAt"] = account.lastSignInAt;
    if (account.tokensValidAfterMs > 0) out["tokensValidAfterMs"] = account.tokensValidAfterMs;
    return out;
}

// A prepared statement, finalized with its scope.
class AccountStore::Statement : public SqliteStatement {
public:
    using SqliteStatement::SqliteStatement;
};

AccountStore::AccountStore(const fs::path& file, int pbkdf2Iterations) : file_(file), iterations_(pbkdf2Iterations) {
    db_ = openSqliteFile(file, "the account store");
    try {
        exec("PRAGMA journal_mode=WAL");
        exec("PRAGMA foreign_keys=ON");
        exec(R"(CREATE TABLE IF NOT EXISTS accounts(
                  uid TEXT PRIMARY KEY,
                  email TEXT NOT NULL UNIQUE COLLATE NOCASE,
                  salt BLOB NOT NULL,
                  hash BLOB NOT NULL,
                  iterations INTEGER NOT NULL,
                  disabled INTEGER NOT NULL DEFAULT 0,
                  created_at REAL NOT NULL,
                  last_sign_in_at REAL NOT NULL DEFAULT 0,
                  tokens_valid_after_ms INTEGER NOT NULL DEFAULT 0))");
        exec(R"(CREATE TABLE IF NOT EXISTS refresh_tokens(
                  token_hash TEXT PRIMARY KEY,
                  uid TEXT NOT NULL,
                  created_at REAL NOT NULL,
                  revoked INTEGER NOT NULL DEFAULT 0,
                  app_id TEXT NOT NULL DEFAULT ''))");
        // Stores made before revocations and app-bound refresh tokens existed.
        if (!hasColumn("accounts", "tokens_valid_after_ms")) {
            exec("ALTER TABLE accounts ADD COLUMN tokens_valid_after_ms INTEGER NOT NULL DEFAULT 0");
        }
        if (!hasColumn("refresh_tokens", "app_id")) {
            exec("ALTER TABLE refresh_tokens ADD COLUMN app_id TEXT NOT NULL DEFAULT ''");
        }
        exec("CREATE INDEX IF NOT EXISTS refresh_tokens_by_uid ON refresh_tokens(uid)");
        exec(R"(CREATE TABLE IF NOT EXISTS outbox(
                  id INTEGER PRIMARY KEY AUTOINCREMENT,
                  kind TEXT NOT NULL,
                  email TEXT NOT NULL,
                  uid TEXT NOT NULL,
                  created_at REAL NOT NULL))");
        exec("CREATE TABLE IF NOT EXISTS api_keys(api_key TEXT PRIMARY KEY, app_id TEXT NOT NULL)");
        exec("CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL)");
    } catch (const std::exception& e) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot set up the account store " + file.string() + ": " + e.what());
    }
}

AccountStore::~AccountStore() { sqlite3_close(db_); }

void AccountStore::exec(const char* sql) { sqliteExec(db_, sql); }

bool AccountStore::hasColumn(const char* table, const char* column) {
    Statement s(db_, (std::string("PRAGMA table_info(") + table + ")").c_str());
    while (s.step()) {
        if (s.text(1) == column) return true;
    }
    return false;
}

std::optional<Account> AccountStore::findBy(const char* column, const std::string& value) {
    std::string sql = std::string("SELECT ") + kAccountColumns + " FROM accounts WHERE " + column + " = ?1";
    std::lock_guard lock(mutex_);
    Statement s(db_, sql.c_str());
    s.bind(1, value);
    if (!s.step()) return std::nullopt;
    return Account{s.text(0), s.text(1), s.integer(2) != 0, s.real(3), s.real(4), s.integer(5)};
}

std::optional<Account> AccountStore::findByEmail(const std::string& email) { return findBy("email", email); }
std::optional<Account> AccountStore::findByUid(const std::string& uid) { return findBy("uid", uid); }

std::vector<Account> AccountStore::all() {
    std::lock_guard lock(mutex_);
    Statement s(db_, (std::string("SELECT ") + kAccountColumns + " FROM accounts ORDER BY created_at").c_str());
    std::vector<Account> out;
    while (s.step()) out.push_back(Account{s.text(0), s.text(1), s.integer(2) != 0, s.real(3), s.real(4), s.integer(5)});
    return out;
}

AccountResult AccountStore::create(const std::string& email, const std::string& password, const std::string& uid) {
    Account account{uid.empty() ? randomUid() : uid, email, false, now(), 0, 0};
    const std::string salt = randomBytes(kSaltBytes);
    const std::string hash = pbkdf2(password, salt, iterations_);

    std::lock_guard lock(mutex_);
    {
        Statement s(db_, "SELECT 1 FROM accounts WHERE email = ?1");
        s.bind(1, email);
        if (s.step()) return {AccountError::EmailExists, {}};
    }
    {
        Statement s(db_, "SELECT 1 FROM accounts WHERE uid = ?1");
        s.bind(1, account.uid);
        if (s.step()) return {AccountError::UidExists, {}};
    }
    Statement insert(db_,
                     "INSERT INTO accounts(uid, email, salt, hash, iterations, disabled, created_at) "
                     "VALUES(?1, ?2, ?3, ?4, ?5, 0, ?6)");
    insert.bind(1, account.uid).bind(2, email).bindBlob(3, salt).bindBlob(4, hash);
    insert.bind(5, int64_t(iterations_)).bind(6, account.createdAt);
    if (insert.run() != SQLITE_DONE) return {AccountError::EmailExists, {}};
    return {AccountError::None, account};
}

AccountResult AccountStore::authenticate(const std::string& email, const std::string& password) {
    Account account;
    std::string salt, hash;
    int iterations = 0;
    {
        std::lock_guard lock(mutex_);
        Statement s(db_,
                    "SELECT uid, email, disabled, created_at, last_sign_in_at, tokens_valid_after_ms, salt, hash, "
                    "iterations FROM accounts WHERE email = ?1");
        s.bind(1, email);
        if (!s.step()) return {AccountError::UserNotFound, {}};
        account = Account{s.text(0), s.text(1), s.integer(2) != 0, s.real(3), s.real(4), s.integer(5)};
        salt = s.blob(6);
        hash = s.blob(7);
        iterations = int(s.integer(8));
    }
    // Hashing takes a while by design; other requests go on meanwhile.
    const std::string computed = pbkdf2(password, salt, iterations);
    if (computed.size() != hash.size() || CRYPTO_memcmp(computed.data(), hash.data(), hash.size()) != 0) {
        return {AccountError::WrongPassword, {}};
    }
    if (account.disabled) return {AccountError::UserDisabled, {}};
    account.lastSignInAt = now();
    std::lock_guard lock(mutex_);
    Statement s(db_, "UPDATE accounts SET last_sign_in_at = ?1 WHERE uid = ?2");
    s.bind(1, account.lastSignInAt).bind(2, account.uid);
    s.run();
    return {AccountError::None, account};
}

bool AccountStore::setDisabled(const std::string& uid, bool disabled) {
    std::lock_guard lock(mutex_);
    // Re-enabling leaves the valid-after time alone: what was issued before
    // the account was disabled stays refused.
    Statement s(db_,
                "UPDATE accounts SET disabled = ?1, tokens_valid_after_ms = CASE WHEN ?1 != 0 "
                "THEN MAX(tokens_valid_after_ms, ?3) ELSE tokens_valid_after_ms END WHERE uid = ?2");
    s.bind(1, int64_t(disabled)).bind(2, uid).bind(3, nowMilliseconds());
    s.run();
    const bool changed = sqlite3_changes(db_) > 0;
    if (changed) ++revocations_;
    return changed;
}

std::string AccountStore::issueRefreshToken(const std::string& uid, const std::string& appId) {
    // 36 random bytes are 48 URL-safe characters without padding.
    std::string token = ns::crypto::base64UrlEncode(ns::crypto::toData(randomBytes(36)));
    std::lock_guard lock(mutex_);
    Statement s(db_, "INSERT INTO refresh_tokens(token_hash, uid, created_at, app_id) VALUES(?1, ?2, ?3, ?4)");
    s.bind(1, ns::crypto::sha256Hex(token)).bind(2, uid).bind(3, now()).bind(4, appId);
    if (s.run() != SQLITE_DONE) throw std::runtime_error("refresh token collision");
    return token;
}

AccountResult AccountStore::redeemRefreshToken(const std::string& token, const std::optional<std::string>& appId) {
    std::lock_guard lock(mutex_);
    Statement s(db_,
                "SELECT t.revoked, a.uid, a.email, a.disabled, a.created_at, a.last_sign_in_at, "
                "a.tokens_valid_after_ms, t.app_id "
                "FROM refresh_tokens t LEFT JOIN accounts a ON a.uid = t.uid WHERE t.token_hash = ?1");
    s.bind(1, ns::crypto::sha256Hex(token));
    if (!s.step()) return {AccountError::InvalidRefreshToken, {}};
    if (s.integer(0) != 0) return {AccountError::TokenRevoked, {}};
    // Tokens kept from before they were bound to an app carry none.
    const std::string boundTo = s.text(7);
    if (appId && !boundTo.empty() && boundTo != *appId) return {AccountError::OtherApp, {}};
    if (s.text(1).empty()) return {AccountError::UserNotFound, {}};
    Account account{s.text(1), s.text(2), s.integer(3) != 0, s.real(4), s.real(5), s.integer(6)};
    if (account.disabled) return {AccountError::UserDisabled, {}};
    return {AccountError::None, account};
}

int AccountStore::revokeRefreshTokens(const std::string& uid) {
    std::lock_guard lock(mutex_);
    {
        Statement s(db_, "UPDATE accounts SET tokens_valid_after_ms = MAX(tokens_valid_after_ms, ?1) WHERE uid = ?2");
        s.bind(1, nowMilliseconds()).bind(2, uid);
        s.run();
    }
    Statement s(db_, "UPDATE refresh_tokens SET revoked = 1 WHERE uid = ?1 AND revoked = 0");
    s.bind(1, uid);
    s.run();
    ++revocations_;
    return sqlite3_changes(db_);
}

bool AccountStore::revokeIdTokens(const std::string& uid) {
    std::lock_guard lock(mutex_);
    Statement s(db_, "UPDATE accounts SET tokens_valid_after_ms = MAX(tokens_valid_after_ms, ?1) WHERE uid = ?2");
    s.bind(1, nowMilliseconds()).bind(2, uid);
    s.run();
    const bool changed = sqlite3_changes(db_) > 0;
    if (changed) ++revocations_;
    return changed;
}

json AccountStore::appendOutbox(const std::string& kind, const Account& account) {
    const double time = now();
    std::lock_guard lock(mutex_);
    Statement s(db_, "INSERT INTO outbox(kind, email, uid, created_at) VALUES(?1, ?2, ?3, ?4)");
    s.bind(1, kind).bind(2, account.email).bind(3, account.uid).bind(4, time);
    s.run();
    return json{{"id", int64_t(sqlite3_last_insert_rowid(db_))},
                {"kind", kind},
                {"email", account.email},
                {"uid", account.uid},
                {"time", time}};
}

json AccountStore::outbox() {
    std::lock_guard lock(mutex_);
    Statement s(db_, "SELECT id, kind, email, uid, created_at FROM outbox ORDER BY id");
    json messages = json::array();
    while (s.step()) {
        messages.push_back(
            json{{"id", s.integer(0)}, {"kind", s.text(1)}, {"email", s.text(2)}, {"uid", s.text(3)}, {"time", s.real(4)}});
    }
    return messages;
}

void AccountStore::setApiKey(const std::string& apiKey, const std::string& appId) {
    std::lock_guard lock(mutex_);
    Statement s(db_, "INSERT OR REPLACE INTO api_keys(api_key, app_id) VALUES(?1, ?2)");
    s.bind(1, apiKey).bind(2, appId);
    s.run();
}

std::optional<std::string> AccountStore::appIdForApiKey(const std::string& apiKey) {
    std::lock_guard lock(mutex_);
    Statement s(db_, "SELECT app_id FROM api_keys WHERE api_key = ?1");
    s.bind(1, apiKey);
    if (!s.step()) return std::nullopt;
    return s.text(0);
}

std::vector<std::pair<std::string, std::string>> AccountStore::apiKeys() {
    std::lock_guard lock(mutex_);
    Statement s(db_, "SELECT api_key, app_id FROM api_keys ORDER BY api_key");
    std::vector<std::pair<std::string, std::string>> out;
    while (s.step()) out.emplace_back(s.text(0), s.text(1));
    return out;
}

std::optional<std::string> AccountStore::meta(const std::string& key) {
    std::lock_guard lock(mutex_);
    Statement s(db_, "SELECT value FROM meta WHERE key = ?1");
    s.bind(1, key);
    if (!s.step()) return std::nullopt;
    return s.text(0);
}

void AccountStore::setMeta(const std::string& key, const std::string& value) {
    std::lock_guard lock(mutex_);
    Statement s(db_, "INSERT OR REPLACE INTO meta(key, value) VALUES(?1, ?2)");
    s.bind(1, key).bind(2, value);
    s.run();
}

// Token acceptance.

const char* describe(TokenRefusal refusal) {
    switch (refusal) {
    case TokenRefusal::None: return "valid";
    case TokenRefusal::Malformed: return "malformed";
    case TokenRefusal::BadSignature: return "bad signature";
    case TokenRefusal::Expired: return "expired";
    case TokenRefusal::OtherApp: return "issued for another app";
    case TokenRefusal::UserNotFound: return "of an account that no longer exists";
    case TokenRefusal::UserDisabled: return "of a disabled account";
    case TokenRefusal::Revoked: return "revoked";
    }
    return "invalid";
}

TokenVerifier::TokenVerifier(std::shared_ptr<const IdTokenSigner> signer, std::shared_ptr<AccountStore> store)
    : signer_(std::move(signer)), store_(std::move(store)) {
    if (!signer_ || !store_) throw std::invalid_argument("a token verifier needs a signer and an account store");
}

TokenAcceptance TokenVerifier::accept(std::string_view token, const std::optional<std::string>& appId,
                                      std::optional<int64_t> nowSeconds) const {
    TokenAcceptance result;
    auto check = signer_->verify(token, nowSeconds);
    switch (check.error) {
    case IdTokenError::None: break;
    case IdTokenError::Malformed: result.refusal = TokenRefusal::Malformed; return result;
    case IdTokenError::BadSignature: result.refusal = TokenRefusal::BadSignature; return result;
    case IdTokenError::Expired: result.refusal = TokenRefusal::Expired; return result;
    }
    result.claims = std::move(check.claims);
    result.refusal = recheck(result.claims, appId, nowSeconds);
    if (result.refusal == TokenRefusal::None) {
        if (auto account = store_->findByUid(result.claims.uid)) result.account = std::move(*account);
    }
    return result;
}

TokenRefusal TokenVerifier::recheck(const IdTokenClaims& claims, const std::optional<std::string>& appId,
                                    std::optional<int64_t> nowSeconds) const {
    if (claims.expiresAt <= nowSeconds.value_or(backend::nowSeconds())) return TokenRefusal::Expired;
    if (appId && claims.appId != *appId) return TokenRefusal::OtherApp;
    auto account = store_->findByUid(claims.uid);
    if (!account) return TokenRefusal::UserNotFound;
    if (account->disabled) return TokenRefusal::UserDisabled;
    const int64_t issuedAtMs = claims.issuedAtMs > 0 ? claims.issuedAtMs : claims.issuedAt * 1000;
    if (issuedAtMs <= account->tokensValidAfterMs) return TokenRefusal::Revoked;
    return TokenRefusal::None;
}

namespace {

struct StoreHolder {
    std::mutex mutex;
    std::shared_ptr<AccountStore> store;
    std::shared_ptr<const TokenVerifier> verifier;
};

}  // namespace

std::shared_ptr<AccountStore> accountStore(Context& context) {
    auto holder = context.shared<StoreHolder>("auth.accountStore");
    std::lock_guard lock(holder->mutex);
    if (!holder->store) holder->store = std::make_shared<AccountStore>(context.dataDir() / "auth" / "accounts.sqlite");
    return holder->store;
}

std::shared_ptr<const TokenVerifier> tokenVerifier(Context& context) {
    auto store = accountStore(context);
    auto signer = idTokenSigner(context);
    auto holder = context.shared<StoreHolder>("auth.accountStore");
    std::lock_guard lock(holder->mutex);
    if (!holder->verifier) holder->verifier = std::make_shared<TokenVerifier>(std::move(signer), std::move(store));
    return holder->verifier;
}

}  // namespace backend
