#include <algorithm>
#include <cctype>
#include <iterator>
#include <stdexcept>
#include <string_view>

#include "backend/accounts/accounts.h"
#include "backend/core/http_util.h"
#include "backend/core/route_table.h"

namespace backend {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

constexpr const char* kSeedFileName = "auth.json";
constexpr const char* kSeedImportedKey = "seedImported";
constexpr int64_t kMaxTokenLifetimeSeconds = 30 * 24 * 3600;

void sendAuthError(Response& res, int status, const std::string& code, const std::string& message) {
    sendJson(res, status, json{{"error", {{"code", code}, {"message", message}}}});
}

// POST rows of this service: the whole body is read (so the client gets
// its answer on a clean connection however big the body), bounded, and
// parsed as a JSON object; every failure is answered in the service's error
// shape. Exceptions from the handler become a 500 of the same shape.
template <void (AccountsService::*Handler)(const Request&, Response&, const json&)>
void postJson(AccountsService& service, const Request& req, Response& res, const std::string& body) {
    if (body.size() > kMaxAuthBodyBytes) {
        sendAuthError(res, 413, kErrorPayloadTooLarge,
                      "the request body is too large (limit " + std::to_string(kMaxAuthBodyBytes) + " bytes)");
        return;
    }
    if (!jsonDepthWithin(body)) {
        sendAuthError(res, 400, kErrorInvalidArgument, "the request body nests too deep");
        return;
    }
    json parsed = json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        sendAuthError(res, 400, kErrorInvalidArgument, "the request body must be a JSON object");
        return;
    }
    try {
        (service.*Handler)(req, res, parsed);
    } catch (const json::type_error& e) {
        sendAuthError(res, 400, kErrorInvalidArgument, std::string("a field has the wrong type: ") + e.what());
    } catch (const json::out_of_range& e) {
        sendAuthError(res, 400, kErrorInvalidArgument, std::string("a field is out of range: ") + e.what());
    } catch (const std::exception& e) {
        sendAuthError(res, 500, kErrorInternal, std::string("internal error: ") + e.what());
    }
}

// Anything else under the service's prefixes: the service's own error shape.
void refuseOther(AccountsService&, const Request& req, Response& res, const std::string&) {
    static constexpr std::string_view kEndpoints[] = {"/account/v1/signUp", "/account/v1/signIn",
                                                      "/account/v1/sendPasswordReset", "/account/v1/lookup",
                                                      "/token/v1/refresh"};
    if (std::ranges::find(kEndpoints, req.path) != std::end(kEndpoints)) {
        // HEAD is answered by the GET route, and named as such.
        const std::string method = req.method == "HEAD" ? "GET" : req.method;
        sendAuthError(res, 405, kErrorInvalidArgument, method + " is not allowed here; use POST");
    } else {
        sendAuthError(res, 404, kErrorNotFound, "no such endpoint: " + req.path);
    }
}

// A required string member; answers 400 and gives nullptr when it is absent
// or of another type.
const std::string* stringField(const json& body, const char* name, Response& res) {
    auto it = body.find(name);
    if (it == body.end() || it->is_null()) {
        sendAuthError(res, 400, kErrorInvalidArgument, std::string("missing field \"") + name + "\"");
        return nullptr;
    }
    if (!it->is_string()) {
        sendAuthError(res, 400, kErrorInvalidArgument, std::string("field \"") + name + "\" must be a string");
        return nullptr;
    }
    return it->get_ptr<const std::string*>();
}

void sendEmailProblem(Response& res) {
    sendAuthError(res, 400, kErrorInvalidEmail, "the e-mail address is badly formatted");
}

// Sign-up and admin creation share the rules.
bool checkNewCredentials(const std::string& email, const std::string& password, Response& res) {
    if (!isValidEmail(email)) {
        sendEmailProblem(res);
        return false;
    }
    if (password.empty()) {
        sendAuthError(res, 400, kErrorMissingPassword, "a password is required");
        return false;
    }
    if (passwordLength(password) < kMinPasswordLength) {
        sendAuthError(res, 400, kErrorWeakPassword,
                      "the password must be at least " + std::to_string(kMinPasswordLength) + " characters long");
        return false;
    }
    if (password.size() > kMaxPasswordBytes) {
        sendAuthError(res, 400, kErrorInvalidArgument,
                      "the password is longer than " + std::to_string(kMaxPasswordBytes) + " bytes");
        return false;
    }
    return true;
}

void sendAccountError(Response& res, AccountError error) {
    switch (error) {
    case AccountError::None: break;
    case AccountError::EmailExists:
        return sendAuthError(res, 409, kErrorEmailExists, "the e-mail address is already in use by another account");
    case AccountError::UidExists:
        return sendAuthError(res, 409, kErrorInvalidArgument, "an account with this uid exists already");
    case AccountError::UserNotFound:
        return sendAuthError(res, 404, kErrorEmailNotFound, "there is no account with this e-mail address");
    case AccountError::WrongPassword:
        return sendAuthError(res, 401, kErrorInvalidPassword, "the password is wrong");
    case AccountError::UserDisabled:
        return sendAuthError(res, 403, kErrorUserDisabled, "this account has been disabled by an administrator");
    case AccountError::InvalidRefreshToken:
        return sendAuthError(res, 400, kErrorInvalidRefreshToken, "the refresh token is not valid");
    case AccountError::TokenRevoked:
        return sendAuthError(res, 401, kErrorTokenRevoked, "the session has been revoked; sign in again");
    case AccountError::OtherApp:
        return sendAuthError(res, 400, kErrorInvalidRefreshToken, "the refresh token was issued for another app");
    }
}

// Uids become database keys and storage path segments.
bool isSafeUid(const std::string& uid) {
    if (uid.empty() || uid.size() > 128) return false;
    for (unsigned char c : uid) {
        if (!std::isalnum(c) && c != '-' && c != '_') return false;
    }
    return true;
}

}  // namespace

void AccountsService::start(Context& context) {
    store_ = accountStore(context);
    signer_ = idTokenSigner(context);
    verifier_ = tokenVerifier(context);
    const fs::path seed = context.dataDir() / kSeedFileName;
    if (fs::exists(seed) && !store_->meta(kSeedImportedKey)) {
        importSeed(seed);
        store_->setMeta(kSeedImportedKey, seed.string());
    }
}

void AccountsService::importSeed(const fs::path& file) {
    auto fail = [&](const std::string& why) { throw std::runtime_error("the auth seed " + file.string() + " " + why); };
    auto text = readFile(file);
    if (!text) fail("cannot be read");
    json seed = json::parse(*text, nullptr, false);
    if (!seed.is_object()) fail("is not a JSON object");
    auto str = [](const json& object, const char* key) -> std::string {
        auto it = object.find(key);
        return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
    };
    for (const auto& entry : seed.value("apiKeys", json::array())) {
        if (!entry.is_object() || str(entry, "apiKey").empty() || str(entry, "appId").empty()) {
            fail("has an API key entry without \"apiKey\" and \"appId\"");
        }
        store_->setApiKey(str(entry, "apiKey"), str(entry, "appId"));
    }
    for (const auto& entry : seed.value("users", json::array())) {
        if (!entry.is_object()) fail("has a user entry that is not an object");
        const std::string email = str(entry, "email"), password = str(entry, "password"), uid = str(entry, "uid");
        if (!isValidEmail(email) || passwordLength(password) < kMinPasswordLength || password.size() > kMaxPasswordBytes) {
            fail("has a user without a valid \"email\" and a \"password\" of at least 6 characters");
        }
        if (!uid.empty() && !isSafeUid(uid)) fail("has a user whose uid is not letters, digits, '-' and '_'");
        if (store_->findByEmail(email)) continue;
        auto created = store_->create(email, password, uid);
        if (!created && created.error != AccountError::EmailExists) fail("has a user whose uid is taken: " + uid);
    }
}

json AccountsService::issueTokens(const Account& account, const std::string& appId) {
    const int64_t lifetime = tokenLifetime_.load();
    // To the millisecond, so a token issued right after a revocation in the
    // same second is told apart from those it revoked.
    const int64_t issuedAtMs = nowMilliseconds();
    const int64_t issuedAt = issuedAtMs / 1000;
    IdTokenClaims claims{account.uid, account.email, appId, issuedAt, issuedAt + lifetime, {}, issuedAtMs};
    return json{{"uid", account.uid},
                {"email", account.email},
                {"idToken", signer_->sign(claims)},
                {"expiresIn", lifetime}};
}

void AccountsService::install(HttpRouter& server, const Listener&, Context&) {
    const RouteRow<AccountsService> routes[] = {
        {"POST", "/account/v1/signUp", postJson<&AccountsService::signUp>},
        {"POST", "/account/v1/signIn", postJson<&AccountsService::signIn>},
        {"POST", "/account/v1/sendPasswordReset", postJson<&AccountsService::sendPasswordReset>},
        {"POST", "/account/v1/lookup", postJson<&AccountsService::lookup>},
        {"POST", "/token/v1/refresh", postJson<&AccountsService::refresh>},
        {"*", "/account/v1/**", refuseOther},
        {"*", "/token/v1/**", refuseOther},
        {"POST", "/__admin/auth/users", postJson<&AccountsService::createUser>},
        {"GET", "/__admin/auth/users", &AccountsService::getUsers},
        {"POST", "/__admin/auth/users/disable", postJson<&AccountsService::disableUser>},
        {"POST", "/__admin/auth/users/revoke", postJson<&AccountsService::revokeUser>},
        {"GET", "/__admin/auth/outbox", &AccountsService::getOutbox},
        {"GET", "/__admin/auth/tokenLifetime", &AccountsService::getTokenLifetime},
        {"POST", "/__admin/auth/tokenLifetime", postJson<&AccountsService::setTokenLifetime>},
        {"GET", "/__admin/auth/apiKeys", &AccountsService::getApiKeys},
        {"POST", "/__admin/auth/apiKeys", postJson<&AccountsService::setApiKey>},
    };
    installRoutes(server, *this, routes);
}

std::optional<std::string> AccountsService::appFor(const Request& req, Response& res) {
    if (!req.has_param("key") || req.get_param_value("key").empty()) {
        sendAuthError(res, 403, kErrorInvalidApiKey, "an API key is required (query parameter \"key\")");
        return std::nullopt;
    }
    auto appId = store_->appIdForApiKey(req.get_param_value("key"));
    if (!appId) sendAuthError(res, 403, kErrorInvalidApiKey, "the API key is not valid");
    return appId;
}

std::optional<Account> AccountsService::accountNamed(const json& body, Response& res) {
    std::optional<Account> account;
    if (auto uid = body.find("uid"); uid != body.end() && uid->is_string()) {
        account = store_->findByUid(uid->get<std::string>());
    } else if (auto email = body.find("email"); email != body.end() && email->is_string()) {
        account = store_->findByEmail(email->get<std::string>());
    } else {
        sendAuthError(res, 400, kErrorInvalidArgument, "name the account by \"uid\" or \"email\" (strings)");
        return std::nullopt;
    }
    if (!account) sendAuthError(res, 404, kErrorUserNotFound, "no such account");
    return account;
}

void AccountsService::signUp(const Request& req, Response& res, const json& body) {
    auto appId = appFor(req, res);
    if (!appId) return;
    const std::string* email = stringField(body, "email", res);
    if (!email) return;
    const std::string* password = stringField(body, "password", res);
    if (!password || !checkNewCredentials(*email, *password, res)) return;
    auto created = store_->create(*email, *password);
    if (!created) return sendAccountError(res, created.error);
    json answer = issueTokens(created.account, *appId);
    answer["refreshToken"] = store_->issueRefreshToken(created.account.uid, *appId);
    sendJson(res, 200, answer);
}

void AccountsService::signIn(const Request& req, Response& res, const json& body) {
    auto appId = appFor(req, res);
    if (!appId) return;
    const std::string* email = stringField(body, "email", res);
    if (!email) return;
    const std::string* password = stringField(body, "password", res);
    if (!password) return;
    if (!isValidEmail(*email)) return sendEmailProblem(res);
    if (password->empty()) return sendAuthError(res, 400, kErrorMissingPassword, "a password is required");
    // Sign-up never stores one this long, so it cannot match.
    if (password->size() > kMaxPasswordBytes) {
        return sendAccountError(res, store_->findByEmail(*email) ? AccountError::WrongPassword
                                                                 : AccountError::UserNotFound);
    }
    auto signedIn = store_->authenticate(*email, *password);
    if (!signedIn) return sendAccountError(res, signedIn.error);
    json answer = issueTokens(signedIn.account, *appId);
    answer["refreshToken"] = store_->issueRefreshToken(signedIn.account.uid, *appId);
    sendJson(res, 200, answer);
}

void AccountsService::sendPasswordReset(const Request& req, Response& res, const json& body) {
    if (!appFor(req, res)) return;
    const std::string* email = stringField(body, "email", res);
    if (!email) return;
    if (!isValidEmail(*email)) return sendEmailProblem(res);
    auto account = store_->findByEmail(*email);
    if (!account) return sendAccountError(res, AccountError::UserNotFound);
    if (account->disabled) return sendAccountError(res, AccountError::UserDisabled);
    store_->appendOutbox("passwordReset", *account);
    sendJson(res, 200, json{{"email", account->email}});
}

void AccountsService::lookup(const Request& req, Response& res, const json& body) {
    auto appId = appFor(req, res);
    if (!appId) return;
    const std::string* token = stringField(body, "idToken", res);
    if (!token) return;
    auto check = verifier_->accept(*token, *appId);
    switch (check.refusal) {
    case TokenRefusal::None: break;
    case TokenRefusal::Expired: return sendAuthError(res, 401, kErrorTokenExpired, "the ID token has expired");
    case TokenRefusal::UserNotFound:
        return sendAuthError(res, 404, kErrorUserNotFound, "the account no longer exists");
    case TokenRefusal::UserDisabled: return sendAccountError(res, AccountError::UserDisabled);
    case TokenRefusal::Revoked:
        return sendAuthError(res, 401, kErrorTokenRevoked, "the ID token has been revoked; sign in again");
    case TokenRefusal::Malformed:
    case TokenRefusal::BadSignature:
    case TokenRefusal::OtherApp:
        return sendAuthError(res, 401, kErrorInvalidIdToken, std::string("the ID token is ") + describe(check.refusal));
    }
    const Account* account = &check.account;
    sendJson(res, 200,
             json{{"uid", account->uid},
                  {"email", account->email},
                  {"appId", check.claims.appId},
                  {"issuedAt", check.claims.issuedAt},
                  {"expiresAt", check.claims.expiresAt}});
}

void AccountsService::refresh(const Request& req, Response& res, const json& body) {
    auto appId = appFor(req, res);
    if (!appId) return;
    const std::string* refreshToken = stringField(body, "refreshToken", res);
    if (!refreshToken) return;
    // A refresh token only ever makes ID tokens of the app it was issued for.
    auto redeemed = store_->redeemRefreshToken(*refreshToken, *appId);
    if (redeemed.error == AccountError::UserNotFound) {
        return sendAuthError(res, 404, kErrorUserNotFound, "the account no longer exists");
    }
    if (!redeemed) return sendAccountError(res, redeemed.error);
    json answer = issueTokens(redeemed.account, *appId);
    answer.erase("email");
    // Refresh tokens live until revoked; the client keeps using the one it has.
    answer["refreshToken"] = *refreshToken;
    sendJson(res, 200, answer);
}

void AccountsService::createUser(const Request&, Response& res, const json& body) {
    const std::string* email = stringField(body, "email", res);
    if (!email) return;
    const std::string* password = stringField(body, "password", res);
    if (!password || !checkNewCredentials(*email, *password, res)) return;
    std::string uid;
    if (auto it = body.find("uid"); it != body.end()) {
        if (!it->is_string() || !isSafeUid(it->get<std::string>())) {
            return sendAuthError(res, 400, kErrorInvalidArgument, "\"uid\" must be letters, digits, '-' and '_'");
        }
        uid = it->get<std::string>();
    }
    auto disabled = body.find("disabled");
    if (disabled != body.end() && !disabled->is_boolean()) {
        return sendAuthError(res, 400, kErrorInvalidArgument, "\"disabled\" must be a boolean");
    }
    auto created = store_->create(*email, *password, uid);
    if (!created) return sendAccountError(res, created.error);
    if (disabled != body.end() && disabled->get<bool>()) {
        store_->setDisabled(created.account.uid, true);
        created.account.disabled = true;
    }
    sendJson(res, 200, toJson(created.account));
}

void AccountsService::getUsers(const Request& req, Response& res, const std::string&) {
    std::optional<Account> account;
    if (req.has_param("uid")) {
        account = store_->findByUid(req.get_param_value("uid"));
    } else if (req.has_param("email")) {
        account = store_->findByEmail(req.get_param_value("email"));
    } else {
        json users = json::array();
        for (const auto& a : store_->all()) users.push_back(toJson(a));
        return sendJson(res, 200, json{{"users", users}});
    }
    if (!account) return sendAuthError(res, 404, kErrorUserNotFound, "no such account");
    sendJson(res, 200, toJson(*account));
}

void AccountsService::disableUser(const Request&, Response& res, const json& body) {
    auto disabled = body.find("disabled");
    if (disabled != body.end() && !disabled->is_boolean()) {
        return sendAuthError(res, 400, kErrorInvalidArgument, "\"disabled\" must be a boolean");
    }
    auto account = accountNamed(body, res);
    if (!account) return;
    account->disabled = disabled == body.end() || disabled->get<bool>();
    store_->setDisabled(account->uid, account->disabled);
    sendJson(res, 200, toJson(*account));
}

void AccountsService::revokeUser(const Request&, Response& res, const json& body) {
    auto account = accountNamed(body, res);
    if (!account) return;
    sendJson(res, 200, json{{"uid", account->uid}, {"revoked", store_->revokeRefreshTokens(account->uid)}});
}

void AccountsService::getOutbox(const Request&, Response& res, const std::string&) {
    sendJson(res, 200, json{{"messages", store_->outbox()}});
}

void AccountsService::getTokenLifetime(const Request&, Response& res, const std::string&) {
    sendJson(res, 200, json{{"seconds", tokenLifetime_.load()}});
}

void AccountsService::setTokenLifetime(const Request&, Response& res, const json& body) {
    auto seconds = body.find("seconds");
    if (seconds == body.end() || !seconds->is_number_integer() || seconds->get<int64_t>() < 1 ||
        seconds->get<int64_t>() > kMaxTokenLifetimeSeconds) {
        return sendAuthError(res, 400, kErrorInvalidArgument,
                             "\"seconds\" must be an integer from 1 to " + std::to_string(kMaxTokenLifetimeSeconds));
    }
    tokenLifetime_ = seconds->get<int64_t>();
    sendJson(res, 200, json{{"seconds", tokenLifetime_.load()}});
}

void AccountsService::getApiKeys(const Request&, Response& res, const std::string&) {
    json keys = json::array();
    for (const auto& [key, appId] : store_->apiKeys()) keys.push_back(json{{"apiKey", key}, {"appId", appId}});
    sendJson(res, 200, json{{"apiKeys", keys}});
}

void AccountsService::setApiKey(const Request&, Response& res, const json& body) {
    const std::string* key = stringField(body, "apiKey", res);
    if (!key) return;
    const std::string* appId = stringField(body, "appId", res);
    if (!appId) return;
    if (key->empty() || appId->empty()) {
        return sendAuthError(res, 400, kErrorInvalidArgument, "\"apiKey\" and \"appId\" cannot be empty");
    }
    store_->setApiKey(*key, *appId);
    sendJson(res, 200, json{{"apiKey", *key}, {"appId", *appId}});
}

}  // namespace backend
