// The account and secure-token services of the almavel-backend program,
// started for real and spoken to over loopback.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "testing/backend.h"

namespace {

using json = nlohmann::json;
using ns::testing::Backend;

constexpr const char* kKey = "AKtest-backend-auth-000000000000000001";
constexpr const char* kAppId = "1:480326711275:ios:00000000000000aa";

json parse(const std::string& text) { return json::parse(text, nullptr, false); }

class AuthServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        backend_ = Backend::start();
        auto reply = backend_->post("/__admin/auth/apiKeys", json{{"apiKey", kKey}, {"appId", kAppId}}.dump());
        ASSERT_EQ(reply.status, 200) << reply.body;
    }
    ns::testing::HttpReply call(const std::string& endpoint, const json& body, const std::string& key = kKey) {
        return backend_->post(endpoint + "?key=" + key, body.dump());
    }
    // The answer's error code, checking the error shape on the way.
    static std::string errorCode(const ns::testing::HttpReply& reply) {
        auto body = parse(reply.body);
        if (!body.is_object() || !body["error"].is_object() || !body["error"]["code"].is_string() ||
            !body["error"]["message"].is_string()) {
            ADD_FAILURE() << "not an error body: HTTP " << reply.status << " " << reply.body;
            return "";
        }
        return body["error"]["code"];
    }
    void expectServing() {
        auto health = backend_->get("/__admin/health");
        EXPECT_EQ(health.status, 200) << health.error;
    }
    std::unique_ptr<Backend> backend_;
};

TEST_F(AuthServiceTest, SignUpSignInRefreshAndLookUp) {
    auto up = call("/account/v1/signUp", {{"email", "ana@almavel.com.pa"}, {"password", "secreto1"}});
    ASSERT_EQ(up.status, 200) << up.body;
    auto account = parse(up.body);
    for (const char* field : {"uid", "email", "idToken", "refreshToken"}) {
        EXPECT_TRUE(account[field].is_string() && !account[field].get<std::string>().empty()) << field;
    }
    EXPECT_EQ(account["expiresIn"], 3600);

    auto in = call("/account/v1/signIn", {{"email", "ana@almavel.com.pa"}, {"password", "secreto1"}});
    ASSERT_EQ(in.status, 200) << in.body;
    EXPECT_EQ(parse(in.body)["uid"], account["uid"]);

    auto refreshed = call("/token/v1/refresh", {{"refreshToken", account["refreshToken"]}});
    ASSERT_EQ(refreshed.status, 200) << refreshed.body;
    auto tokens = parse(refreshed.body);
    EXPECT_EQ(tokens["uid"], account["uid"]);
    EXPECT_EQ(tokens["refreshToken"], account["refreshToken"]);
    EXPECT_NE(tokens["idToken"], account["idToken"]);

    auto looked = call("/account/v1/lookup", {{"idToken", tokens["idToken"]}});
    ASSERT_EQ(looked.status, 200) << looked.body;
    EXPECT_EQ(parse(looked.body)["uid"], account["uid"]);
    EXPECT_EQ(parse(looked.body)["appId"], kAppId);

    // The same token under another app's key is not accepted.
    backend_->post("/__admin/auth/apiKeys", json{{"apiKey", "other-key"}, {"appId", "1:9:ios:9"}}.dump());
    EXPECT_EQ(errorCode(call("/account/v1/lookup", {{"idToken", tokens["idToken"]}}, "other-key")),
              "INVALID_ID_TOKEN");
    std::string tampered = tokens["idToken"].get<std::string>();
    tampered[tampered.size() / 2] = tampered[tampered.size() / 2] == 'A' ? 'B' : 'A';
    EXPECT_EQ(errorCode(call("/account/v1/lookup", {{"idToken", tampered}})), "INVALID_ID_TOKEN");
}

TEST_F(AuthServiceTest, RefusalsHaveTheirOwnCodes) {
    ASSERT_EQ(call("/account/v1/signUp", {{"email", "caja@almavel.com.pa"}, {"password", "secreto1"}}).status, 200);
    struct Case {
        const char* endpoint;
        json body;
        int status;
        const char* code;
    };
    const std::vector<Case> cases{
        {"/account/v1/signIn", {{"email", "caja@almavel.com.pa"}, {"password", "otra-cosa"}}, 401, "INVALID_PASSWORD"},
        {"/account/v1/signIn", {{"email", "nadie@almavel.com.pa"}, {"password", "secreto1"}}, 404, "EMAIL_NOT_FOUND"},
        {"/account/v1/signIn", {{"email", "caja@almavel.com.pa"}, {"password", ""}}, 400, "MISSING_PASSWORD"},
        {"/account/v1/signUp", {{"email", "CAJA@almavel.com.pa"}, {"password", "secreto1"}}, 409, "EMAIL_EXISTS"},
        {"/account/v1/signUp", {{"email", "sin-arroba"}, {"password", "secreto1"}}, 400, "INVALID_EMAIL"},
        {"/account/v1/signUp", {{"email", "corta@almavel.com.pa"}, {"password", "12345"}}, 400, "WEAK_PASSWORD"},
        {"/account/v1/sendPasswordReset", {{"email", "nadie@almavel.com.pa"}}, 404, "EMAIL_NOT_FOUND"},
        {"/token/v1/refresh", {{"refreshToken", "made-up"}}, 400, "INVALID_REFRESH_TOKEN"},
    };
    for (const auto& c : cases) {
        auto reply = call(c.endpoint, c.body);
        EXPECT_EQ(reply.status, c.status) << c.endpoint << " " << c.body.dump() << " -> " << reply.body;
        EXPECT_EQ(errorCode(reply), c.code) << c.endpoint << " " << c.body.dump();
    }
    // Nothing was created by the refused sign-ups.
    auto users = parse(backend_->get("/__admin/auth/users").body)["users"];
    EXPECT_EQ(users.size(), 1u);
}

TEST_F(AuthServiceTest, BadInputGetsAnErrorBodyAndTheServerKeepsServing) {
    const std::string signUp = std::string("/account/v1/signUp?key=") + kKey;
    struct Case {
        std::string what;
        std::string target;
        std::string body;
        int status;
        std::string code;
    };
    const std::vector<Case> cases{
        {"missing password", signUp, R"({"email":"a@b.co"})", 400, "INVALID_ARGUMENT"},
        {"missing everything", signUp, "{}", 400, "INVALID_ARGUMENT"},
        {"number as e-mail", signUp, R"({"email":5,"password":"secreto1"})", 400, "INVALID_ARGUMENT"},
        {"array as password", signUp, R"({"email":"a@b.co","password":["x"]})", 400, "INVALID_ARGUMENT"},
        {"object as token", std::string("/token/v1/refresh?key=") + kKey, R"({"refreshToken":{}})", 400,
         "INVALID_ARGUMENT"},
        {"not JSON", signUp, "email=a@b.co", 400, "INVALID_ARGUMENT"},
        {"JSON but not an object", signUp, "[1,2]", 400, "INVALID_ARGUMENT"},
        {"empty body", signUp, "", 400, "INVALID_ARGUMENT"},
        {"1 MB body", signUp, R"({"email":")" + std::string(1 << 20, 'a') + R"("})", 413, "PAYLOAD_TOO_LARGE"},
        {"unknown API key", "/account/v1/signUp?key=nope", R"({"email":"a@b.co","password":"secreto1"})", 403,
         "INVALID_API_KEY"},
        {"no API key", "/account/v1/signIn", R"({"email":"a@b.co","password":"secreto1"})", 403, "INVALID_API_KEY"},
        {"unknown endpoint", std::string("/account/v1/deleteEverything?key=") + kKey, "{}", 404, "NOT_FOUND"},
    };
    for (const auto& c : cases) {
        auto reply = backend_->post(c.target, c.body);
        EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body.substr(0, 200) << reply.error;
        EXPECT_EQ(errorCode(reply), c.code) << c.what;
        expectServing();
    }
    auto get = backend_->get(signUp);
    EXPECT_EQ(get.status, 405);
    EXPECT_EQ(errorCode(get), "INVALID_ARGUMENT");
    // The back end still does its real work.
    EXPECT_EQ(call("/account/v1/signUp", {{"email", "a@b.co"}, {"password", "secreto1"}}).status, 200);
}

TEST_F(AuthServiceTest, AdminDisablesRevokesSetsLifetimeAndReadsTheOutbox) {
    auto created = backend_->post("/__admin/auth/users", json{{"email", "admin@almavel.com.pa"}, {"password", "secreto1"}}.dump());
    ASSERT_EQ(created.status, 200) << created.body;
    std::string uid = parse(created.body)["uid"];
    auto session = parse(call("/account/v1/signIn", {{"email", "admin@almavel.com.pa"}, {"password", "secreto1"}}).body);

    // Revoked: the refresh token is dead, a new sign-in works.
    EXPECT_EQ(parse(backend_->post("/__admin/auth/users/revoke", json{{"email", "admin@almavel.com.pa"}}.dump()).body)["revoked"], 1);
    auto revoked = call("/token/v1/refresh", {{"refreshToken", session["refreshToken"]}});
    EXPECT_EQ(revoked.status, 401);
    EXPECT_EQ(errorCode(revoked), "TOKEN_REVOKED");
    session = parse(call("/account/v1/signIn", {{"email", "admin@almavel.com.pa"}, {"password", "secreto1"}}).body);

    // Disabled: no sign-in, no refresh, no reset; enabled again: all work.
    ASSERT_EQ(backend_->post("/__admin/auth/users/disable", json{{"uid", uid}}.dump()).status, 200);
    EXPECT_EQ(errorCode(call("/account/v1/signIn", {{"email", "admin@almavel.com.pa"}, {"password", "secreto1"}})),
              "USER_DISABLED");
    EXPECT_EQ(errorCode(call("/token/v1/refresh", {{"refreshToken", session["refreshToken"]}})), "USER_DISABLED");
    EXPECT_EQ(errorCode(call("/account/v1/sendPasswordReset", {{"email", "admin@almavel.com.pa"}})), "USER_DISABLED");
    ASSERT_EQ(backend_->post("/__admin/auth/users/disable", json{{"uid", uid}, {"disabled", false}}.dump()).status, 200);
    EXPECT_EQ(call("/token/v1/refresh", {{"refreshToken", session["refreshToken"]}}).status, 200);

    // Token lifetime: new tokens carry it.
    ASSERT_EQ(backend_->post("/__admin/auth/tokenLifetime", R"({"seconds": 90})").status, 200);
    EXPECT_EQ(parse(call("/token/v1/refresh", {{"refreshToken", session["refreshToken"]}}).body)["expiresIn"], 90);
    EXPECT_EQ(parse(backend_->get("/__admin/auth/tokenLifetime").body)["seconds"], 90);
    for (const char* bad : {R"({"seconds": 0})", R"({"seconds": "90"})", R"({"seconds": 1.5})", "{}"}) {
        EXPECT_EQ(backend_->post("/__admin/auth/tokenLifetime", bad).status, 400) << bad;
    }

    // Outbox: one message per accepted reset, oldest first.
    ASSERT_EQ(call("/account/v1/sendPasswordReset", {{"email", "ADMIN@almavel.com.pa"}}).status, 200);
    auto outbox = parse(backend_->get("/__admin/auth/outbox").body)["messages"];
    ASSERT_EQ(outbox.size(), 1u);
    EXPECT_EQ(outbox[0]["email"], "admin@almavel.com.pa");
    EXPECT_EQ(outbox[0]["uid"], uid);

    // Admin input is checked too.
    EXPECT_EQ(backend_->post("/__admin/auth/users", R"({"email":"x@y.co","password":"secreto1","uid":"a/b"})").status, 400);
    EXPECT_EQ(backend_->post("/__admin/auth/users/revoke", R"({"uid":"nobody"})").status, 404);
    EXPECT_EQ(backend_->post("/__admin/auth/users/disable", R"({})").status, 400);
}

TEST_F(AuthServiceTest, AccountsAndTokensSurviveARestart) {
    auto up = parse(call("/account/v1/signUp", {{"email", "dura@almavel.com.pa"}, {"password", "secreto1"}}).body);
    backend_->restart();
    EXPECT_EQ(call("/account/v1/lookup", {{"idToken", up["idToken"]}}).status, 200);
    EXPECT_EQ(call("/token/v1/refresh", {{"refreshToken", up["refreshToken"]}}).status, 200);
    EXPECT_EQ(call("/account/v1/signIn", {{"email", "dura@almavel.com.pa"}, {"password", "secreto1"}}).status, 200);
    EXPECT_EQ(call("/account/v1/signIn", {{"email", "dura@almavel.com.pa"}, {"password", "secreto1"}}, "k").status, 403);
}

TEST(AuthSeedTest, TheSampleDataSeedsTheProgramKeyAndTheStaffAccountOnce) {
    auto backend = Backend::start({.seed = true});
    const std::string key = "AKlocal-almavel-0000000000000000000000";
    auto signIn = backend->post("/account/v1/signIn?key=" + key,
                                json{{"email", "personal@almavel.com.pa"}, {"password", "Almavel2024"}}.dump());
    ASSERT_EQ(signIn.status, 200) << signIn.body;
    EXPECT_EQ(parse(signIn.body)["uid"], "almavelStaff0000000000000001");

    // Imported once: a change made since is not undone by the next start.
    ASSERT_EQ(backend->post("/__admin/auth/users/disable", json{{"email", "personal@almavel.com.pa"}}.dump()).status, 200);
    backend->restart();
    auto after = backend->post("/account/v1/signIn?key=" + key,
                               json{{"email", "personal@almavel.com.pa"}, {"password", "Almavel2024"}}.dump());
    EXPECT_EQ(after.status, 403) << after.body;
}

}  // namespace
