// Who the database and the token service accept, and what the database
// refuses to store: tokens of other apps, of disabled or revoked accounts
// (across a restart too), on-disconnect writes the rules no longer allow,
// keys and paths no read could address, queries that are not queries, and
// client-named stats without bound. Also the rules parser on documents
// nested without bound.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "backend/database/rtdb_rules.h"
#include "rtdb_test_support.h"
#include "testing/app_backend.h"

namespace {

using namespace rtdbtest;
using ns::testing::Backend;

// The app and key of the sample data (seeded data dirs).
constexpr const char* kSampleKey = "AKlocal-almavel-0000000000000000000000";
constexpr const char* kSampleApp = ns::testing::kTestAppID;
constexpr const char* kOtherKey = "AKtest-other-app-00000000000000000000001";
constexpr const char* kOtherApp = "1:111111111111:ios:00000000000000bb";

class RtdbSecurity : public ::testing::Test {
protected:
    void SetUp() override {
        Backend::Options options;
        options.seed = true;
        backend = Backend::start(options);
        adminPost(*backend, "/__admin/auth/apiKeys", json{{"apiKey", kOtherKey}, {"appId", kOtherApp}});
    }
    void TearDown() override {
        if (backend && backend->running()) {
            const int status = backend->stop();
            EXPECT_EQ(status, 0) << backend->log();
        }
    }

    std::unique_ptr<WireClient> open(const std::string& ns) {
        auto client = WireClient::connect(backend->wsPort(), "v=5&ns=" + ns, ns + ".almavel.localhost");
        client->readHandshake();
        return client;
    }
    ns::testing::HttpReply call(const std::string& endpoint, const json& body, const std::string& key) {
        return backend->post(endpoint + "?key=" + key, body.dump());
    }
    // Signs up through the account service with `key`; the answer's fields.
    json signUp(const std::string& email, const std::string& key) {
        auto reply = call("/account/v1/signUp", {{"email", email}, {"password", "secreto1"}}, key);
        EXPECT_EQ(reply.status, 200) << reply.body;
        return json::parse(reply.body);
    }
    json signIn(const std::string& email, const std::string& key) {
        auto reply = call("/account/v1/signIn", {{"email", email}, {"password", "secreto1"}}, key);
        EXPECT_EQ(reply.status, 200) << reply.body;
        return json::parse(reply.body);
    }
    static std::string errorCode(const ns::testing::HttpReply& reply) {
        auto body = json::parse(reply.body, nullptr, false);
        if (!body.is_object() || !body.contains("error")) return "<none: " + reply.body + ">";
        return body["error"].value("code", "");
    }
    std::string authStatus(const std::string& ns, const std::string& token) {
        return open(ns)->call("auth", {{"cred", token}})["s"];
    }

    std::unique_ptr<Backend> backend;
};

TEST_F(RtdbSecurity, TheDatabaseAndLookupAcceptOnlyTokensOfTheirAppAndOfLiveAccounts) {
    const json ana = signUp("ana@almavel.com.pa", kSampleKey);
    const json intruder = signUp("otra@ejemplo.com", kOtherKey);

    // The sample namespace belongs to the sample app.
    EXPECT_EQ(adminGet(*backend, "/__admin/rtdb/app?ns=almavel-pa")["appId"], kSampleApp);
    EXPECT_EQ(authStatus("almavel-pa", ana["idToken"]), "ok");
    EXPECT_EQ(authStatus("almavel-pa", intruder["idToken"]), "invalid_token");
    EXPECT_EQ(errorCode(call("/account/v1/lookup", {{"idToken", intruder["idToken"]}}, kSampleKey)),
              "INVALID_ID_TOKEN");

    // A namespace given an app through the admin interface follows it, and
    // connections signed in with another app's token are signed out.
    auto bound = open("tienda");
    EXPECT_EQ(bound->call("auth", {{"cred", intruder["idToken"]}})["s"], "ok");
    adminPost(*backend, "/__admin/rtdb/app?ns=tienda", json{{"appId", kSampleApp}});
    json push = bound->nextPush();
    EXPECT_EQ(push["a"], "ac");
    EXPECT_EQ(push["b"]["s"], "invalid_token");
    EXPECT_EQ(authStatus("tienda", intruder["idToken"]), "invalid_token");
    EXPECT_EQ(authStatus("tienda", ana["idToken"]), "ok");

    // A disabled account's token: refused, and a connection holding it is told.
    auto holder = open("almavel-pa");
    EXPECT_EQ(holder->call("auth", {{"cred", ana["idToken"]}})["s"], "ok");
    adminPost(*backend, "/__admin/auth/users/disable", json{{"uid", ana["uid"]}});
    push = holder->nextPush();
    EXPECT_EQ(push["a"], "ac");
    EXPECT_EQ(push["b"]["s"], "invalid_token");
    EXPECT_EQ(authStatus("almavel-pa", ana["idToken"]), "invalid_token");
    EXPECT_EQ(errorCode(call("/account/v1/lookup", {{"idToken", ana["idToken"]}}, kSampleKey)), "USER_DISABLED");
    // Enabling it again does not bring back what was issued before.
    adminPost(*backend, "/__admin/auth/users/disable", json{{"uid", ana["uid"]}, {"disabled", false}});
    EXPECT_EQ(authStatus("almavel-pa", ana["idToken"]), "invalid_token");
    EXPECT_EQ(authStatus("almavel-pa", signIn("ana@almavel.com.pa", kSampleKey)["idToken"]), "ok");
}

TEST_F(RtdbSecurity, RevocationsHoldAcrossARestartEverywhereTokensAreAccepted) {
    const json luis = signUp("luis@almavel.com.pa", kSampleKey);
    const json rosa = signUp("rosa@almavel.com.pa", kSampleKey);
    EXPECT_EQ(authStatus("almavel-pa", luis["idToken"]), "ok");

    // Revoked through the account service, then through the database.
    adminPost(*backend, "/__admin/auth/users/revoke", json{{"uid", luis["uid"]}});
    adminPost(*backend, "/__admin/rtdb/auth/revoke", json{{"uid", rosa["uid"]}});
    backend->restart();

    for (const json* who : {&luis, &rosa}) {
        EXPECT_EQ(authStatus("almavel-pa", (*who)["idToken"]), "invalid_token") << (*who)["email"];
        EXPECT_EQ(errorCode(call("/account/v1/lookup", {{"idToken", (*who)["idToken"]}}, kSampleKey)),
                  "TOKEN_REVOKED")
            << (*who)["email"];
    }
    // The refresh token revoked with the account's tokens is refused too.
    EXPECT_EQ(errorCode(call("/token/v1/refresh", {{"refreshToken", luis["refreshToken"]}}, kSampleKey)),
              "TOKEN_REVOKED");
    // Signing in again gives tokens that are accepted.
    const json again = signIn("luis@almavel.com.pa", kSampleKey);
    EXPECT_EQ(authStatus("almavel-pa", again["idToken"]), "ok");
    EXPECT_EQ(call("/account/v1/lookup", {{"idToken", again["idToken"]}}, kSampleKey).status, 200);
}

TEST_F(RtdbSecurity, ARefreshTokenOnlyMakesTokensOfItsOwnApp) {
    const json ana = signUp("ana@almavel.com.pa", kSampleKey);
    auto foreign = call("/token/v1/refresh", {{"refreshToken", ana["refreshToken"]}}, kOtherKey);
    EXPECT_EQ(foreign.status, 400) << foreign.body;
    EXPECT_EQ(errorCode(foreign), "INVALID_REFRESH_TOKEN");
    EXPECT_EQ(json::parse(foreign.body, nullptr, false).value("idToken", ""), "");

    auto own = call("/token/v1/refresh", {{"refreshToken", ana["refreshToken"]}}, kSampleKey);
    ASSERT_EQ(own.status, 200) << own.body;
    const json refreshed = json::parse(own.body);
    auto looked = call("/account/v1/lookup", {{"idToken", refreshed["idToken"]}}, kSampleKey);
    ASSERT_EQ(looked.status, 200) << looked.body;
    EXPECT_EQ(json::parse(looked.body)["appId"], kSampleApp);
}

TEST_F(RtdbSecurity, OnDisconnectWritesActForTheConnectionAsItIsWhenTheyRun) {
    adminPost(*backend, "/__admin/rtdb/rules?ns=almavel-pa",
              json{{"rules", {{".read", true}, {"presence", {{".write", "auth != null"}}}}}});
    const json ana = signUp("ana@almavel.com.pa", kSampleKey);

    // Signed in throughout: the write runs.
    auto staying = open("almavel-pa");
    ASSERT_EQ(staying->call("auth", {{"cred", ana["idToken"]}})["s"], "ok");
    ASSERT_EQ(staying->call("o", {{"p", "/presence/staying"}, {"d", "gone"}})["s"], "ok");
    staying->close();

    // Signed out, revoked, or the account disabled before the end: dropped.
    auto signedOut = open("almavel-pa");
    ASSERT_EQ(signedOut->call("auth", {{"cred", ana["idToken"]}})["s"], "ok");
    ASSERT_EQ(signedOut->call("o", {{"p", "/presence/signedOut"}, {"d", "gone"}})["s"], "ok");
    ASSERT_EQ(signedOut->call("unauth", json::object())["s"], "ok");
    signedOut->close();

    auto revoked = open("almavel-pa");
    ASSERT_EQ(revoked->call("auth", {{"cred", ana["idToken"]}})["s"], "ok");
    ASSERT_EQ(revoked->call("om", {{"p", "/presence"}, {"d", {{"revoked", "gone"}}}})["s"], "ok");
    uint64_t newest = 0;
    const json listed = adminGet(*backend, "/__admin/rtdb/connections?ns=almavel-pa");
    for (const auto& c : listed["connections"]) {
        newest = std::max(newest, c["id"].get<uint64_t>());
    }
    adminPost(*backend, "/__admin/rtdb/auth/revoke", json{{"id", newest}});
    EXPECT_EQ(revoked->nextPush()["a"], "ac");
    revoked->drop();

    const json rosa = signUp("rosa@almavel.com.pa", kSampleKey);
    auto disabled = open("almavel-pa");
    ASSERT_EQ(disabled->call("auth", {{"cred", rosa["idToken"]}})["s"], "ok");
    ASSERT_EQ(disabled->call("o", {{"p", "/presence/disabled"}, {"d", "gone"}})["s"], "ok");
    // Disabled without the connection being told yet: the write still must not run.
    adminPost(*backend, "/__admin/auth/users/disable", json{{"uid", rosa["uid"]}});
    disabled->drop();

    ASSERT_TRUE(eventually([&] { return adminGet(*backend, "/__admin/rtdb/connections")["connections"].empty(); }));
    const json presence = data(*backend, "/presence", "almavel-pa");
    EXPECT_EQ(presence, (json{{"staying", "gone"}}));
    EXPECT_EQ(counter(counters(*backend, "almavel-pa"), "onDisconnect", "denied"), 3);
}

TEST_F(RtdbSecurity, WritesAndListensThatNoReadCouldAddressAreRefused) {
    auto client = open("demo");
    setData(*backend, "/keep", {{"a", 1}});
    const std::string longKey(769, 'k');
    struct Case {
        const char* what;
        std::string action;
        json body;
        const char* status;
    };
    const std::vector<Case> cases{
        {"control character in a key", "p", {{"p", "/keep"}, {"d", {{"a\x01" "b", 1}}}}, "invalid_data"},
        {"control character deeper down", "p", {{"p", "/keep"}, {"d", {{"x", {{"tab\there", 1}}}}}}, "invalid_data"},
        {"key over 768 bytes", "p", {{"p", "/keep"}, {"d", {{longKey, 1}}}}, "invalid_data"},
        {"path key over 768 bytes", "p", {{"p", "/keep/" + longKey}, {"d", 1}}, "invalid_path"},
        {".value beside a key", "p", {{"p", "/keep"}, {"d", {{".value", 1}, {"x", 2}}}}, "invalid_data"},
        {"merge key with a control character", "m", {{"p", "/keep"}, {"d", {{"b\x7f", 1}}}}, "invalid_data"},
        {"merge value with a long key", "m", {{"p", "/keep"}, {"d", {{"b", {{longKey, 1}}}}}}, "invalid_data"},
        {"on-disconnect with a control key", "o", {{"p", "/keep"}, {"d", {{"\n", 1}}}}, "invalid_data"},
        {"index ..", "q", {{"p", "/keep"}, {"q", {{"i", ".."}}}, {"t", 1}}, "invalid_query"},
        {"index a/../b", "q", {{"p", "/keep"}, {"q", {{"i", "a/../b"}}}, {"t", 2}}, "invalid_query"},
        {"object start value", "q", {{"p", "/keep"}, {"q", {{"sp", {{"a", 1}}}, {"i", ".value"}}}, {"t", 3}},
         "invalid_query"},
        {"array end value", "q", {{"p", "/keep"}, {"q", {{"ep", json::array({1})}}}, {"t", 4}}, "invalid_query"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(client->call(c.action, c.body)["s"], c.status) << c.what;
    }
    // What may be stored still is.
    const std::string longest(768, 'k');
    EXPECT_EQ(client->call("p", {{"p", "/edge"}, {"d", {{longest, 1}, {".priority", 2}}}})["s"], "ok");
    EXPECT_EQ(client->call("p", {{"p", "/edge/v"}, {"d", {{".value", 1}, {".priority", 2}}}})["s"], "ok");
    EXPECT_EQ(client->call("q", {{"p", "/keep"}, {"q", {{"i", "a/b"}, {"sp", 1}}}, {"t", 9}})["s"], "ok");

    // A path that is not UTF-8 is refused as it is, not stored under
    // replacement characters: as raw bytes (which the web socket may refuse
    // first, ending the connection) or as an unpaired surrogate escape.
    const std::vector<std::pair<std::string, const char*>> notUtf8{
        {std::string(R"({"t":"d","d":{"r":1,"a":"p","b":{"p":"/bad)") + "\xff\xfe" + R"(","d":1}}})", "invalid_path"},
        {std::string(R"({"t":"d","d":{"r":1,"a":"p","b":{"p":"/keep","d":{"k)") + "\xc3\x28" + R"(":1}}}})",
         "invalid_data"},
        {R"({"t":"d","d":{"r":1,"a":"p","b":{"p":"/bad\ud800x","d":1}}})", "invalid_path"},
        {R"({"t":"d","d":{"r":1,"a":"p","b":{"p":"/keep","d":{"k\udfff":1}}}})", "invalid_data"},
    };
    for (const auto& [text, status] : notUtf8) {
        auto raw = open("demo");
        raw->sendText(text);
        std::optional<json> packet = raw->readPacket();
        if (packet) {
            EXPECT_EQ((*packet)["d"]["b"]["s"], status) << packet->dump();
        } else {
            EXPECT_TRUE(raw->ending().clean) << "dropped without a close frame";
        }
    }

    const json root = data(*backend, "/");
    EXPECT_EQ(root["keep"], (json{{"a", 1}}));
    EXPECT_EQ(root.size(), 2u) << root.dump().substr(0, 300);

    // A request number the answer cannot carry ends the connection instead
    // of being answered as another number.
    auto wrapping = open("demo");
    wrapping->sendText(R"({"t":"d","d":{"r":18446744073709551615,"a":"p","b":{"p":"/wrapped","d":1}}})");
    std::optional<json> packet;
    while ((packet = wrapping->readPacket())) {
        EXPECT_FALSE((*packet)["d"].contains("r")) << packet->dump();
    }
    EXPECT_TRUE(ns::testing::closedWith(wrapping->ending(), 1008));
    EXPECT_FALSE(data(*backend, "/").contains("wrapped"));
}

TEST_F(RtdbSecurity, ClientStatsAreKeptForOnlySoManyNamesOfBoundedLength) {
    auto client = open("demo");
    for (int batch = 0; batch < 3; ++batch) {
        json names = json::object();
        for (int i = 0; i < 60; ++i) names["sdk.stat." + std::to_string(batch * 60 + i)] = 1;
        EXPECT_EQ(client->call("s", {{"c", names}})["s"], "ok");
    }
    EXPECT_EQ(client->call("s", {{"c", {{std::string(300, 'x'), 1}}}})["s"], "ok");
    // Names already kept go on counting.
    EXPECT_EQ(client->call("s", {{"c", {{"sdk.stat.0", 4}}}})["s"], "ok");

    const json all = counters(*backend);
    EXPECT_EQ(all["stats"].size(), 100u);
    EXPECT_EQ(counter(all, "stats", "sdk.stat.0"), 5);
    EXPECT_EQ(counter(all, "limits", "statsDropped"), 81);
}

TEST(RtdbRulesDepth, DeeplyNestedRulesAreRefusedWithoutExhaustingTheStack) {
    std::string error;
    for (size_t depth : {size_t(100000), size_t(backend::RtdbRules::kMaxDepth + 1)}) {
        nlohmann::json inner = {{".read", true}};
        for (size_t i = 0; i < depth; ++i) {
            nlohmann::json outer = nlohmann::json::object();
            outer["k"] = std::move(inner);
            inner = std::move(outer);
        }
        nlohmann::json document = nlohmann::json::object();
        document["rules"] = std::move(inner);
        error.clear();
        EXPECT_FALSE(backend::RtdbRules::parse(document, &error)) << depth;
        EXPECT_NE(error.find("deeper"), std::string::npos) << error;
    }
    // As deep as allowed: parsed, and the grant at the bottom applies there.
    nlohmann::json inner = {{".read", true}};
    for (size_t i = 0; i < backend::RtdbRules::kMaxDepth; ++i) {
        nlohmann::json outer = nlohmann::json::object();
        outer["k"] = std::move(inner);
        inner = std::move(outer);
    }
    auto rules = backend::RtdbRules::parse(nlohmann::json{{"rules", inner}}, &error);
    ASSERT_TRUE(rules) << error;
    std::string path;
    for (size_t i = 0; i < backend::RtdbRules::kMaxDepth; ++i) path += "/k";
    EXPECT_TRUE(rules->canRead(FPath(path), false));
    EXPECT_FALSE(rules->canRead(FPath("/k"), false));
}

}  // namespace
