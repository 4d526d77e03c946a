// The realtime database server against a raw web-socket client speaking the
// wire protocol's JSON, on the real back-end program.

#include <gtest/gtest.h>

#include <filesystem>

#include "backend/accounts/tokens.h"
#include "backend/database/rtdb_server.h"
#include "database/model/FSnapshotUtilities.h"
#include "database/sync/FCompoundHash.h"
#include "database/sync/FQueryParams.h"
#include "database/sync/FRangeMerge.h"
#include "platform/json.h"
#include "rtdb_test_support.h"

namespace {

using namespace rtdbtest;
using ns::testing::Backend;

FNodePtr nodeOf(const json& value) { return FSnapshotUtilities::nodeFrom(ns::json::parse(value.dump())); }
json jsonOf(const FNodePtr& node) { return json::parse(ns::json::serialize(node->valForExport(true))); }
std::string hashOf(const json& value) { return nodeOf(value)->dataHash(); }

// A token signed with the back end's own ID-token key, as the auth service
// would issue it, for an account that exists (made on first use).
std::string tokenFor(const Backend& backend, const std::string& uid, int64_t expiresIn = 3600,
                     const std::string& tokenId = "t1") {
    auto made = backend.post("/__admin/auth/users",
                             json{{"email", uid + "@almavel.com.pa"}, {"password", "secreto1"}, {"uid", uid}}.dump());
    if (made.status != 200 && made.status != 409) ADD_FAILURE() << "making " << uid << ": " << made.body;
    auto signer = backend::IdTokenSigner::loadOrCreate(std::filesystem::path(backend.dataDir()) / "auth");
    backend::IdTokenClaims claims;
    claims.uid = uid;
    claims.email = uid + "@almavel.com.pa";
    claims.issuedAt = backend::nowSeconds() - 10;
    claims.expiresAt = backend::nowSeconds() + expiresIn;
    claims.tokenId = tokenId;
    return signer->sign(claims);
}

class RtdbServer : public ::testing::Test {
protected:
    void SetUp() override { backend = Backend::start(); }
    // A sanitizer report or a crash anywhere in the server's life, its
    // shutdown included, shows in its exit status.
    void TearDown() override {
        if (backend && backend->running()) {
            const int status = backend->stop();
            EXPECT_EQ(status, 0) << backend->log();
        }
    }

    std::unique_ptr<WireClient> open(const std::string& ns = "demo") {
        auto client = WireClient::connect(backend->wsPort(), "v=5&ns=" + ns, ns + ".almavel.localhost");
        client->readHandshake();
        return client;
    }

    std::unique_ptr<Backend> backend;
};

TEST_F(RtdbServer, HandshakeNamesTimeHostAndSessionAndFollowsTheClockOffset) {
    auto client = WireClient::connect(backend->wsPort());
    const json hello = client->readHandshake();
    EXPECT_EQ(hello["h"], client->host());
    EXPECT_EQ(hello["v"], "5");
    ASSERT_TRUE(hello["s"].is_string());
    EXPECT_FALSE(hello["s"].get<std::string>().empty());
    const int64_t now = backend::nowSeconds() * 1000;
    EXPECT_GT(hello["ts"].get<int64_t>(), now - 3600 * 1000);

    const int64_t tenDays = 10ll * 24 * 3600 * 1000;
    adminPost(*backend, "/__admin/rtdb/faults", json{{"clockOffsetMs", tenDays}});
    auto later = WireClient::connect(backend->wsPort(), "v=5&ns=demo&ls=" + hello["s"].get<std::string>());
    const json shifted = later->readHandshake();
    EXPECT_GT(shifted["ts"].get<int64_t>(), now + tenDays - 3600 * 1000);
    EXPECT_NE(shifted["s"], hello["s"]);
    auto connections = adminGet(*backend, "/__admin/rtdb/connections?ns=demo")["connections"];
    ASSERT_EQ(connections.size(), 2u);
    EXPECT_EQ(connections[1]["lastSession"], hello["s"]);

    // A handshake host set by a test goes out as given, whatever its kind.
    adminPost(*backend, "/__admin/rtdb/faults", json{{"handshakeHost", 42}});
    EXPECT_EQ(WireClient::connect(backend->wsPort())->readHandshake()["h"], 42);
}

TEST_F(RtdbServer, RefusesUpgradesWithoutANamespaceOrVersion) {
    for (const char* query : {"v=5", "v=4&ns=demo", "v=5&ns=Bad_Name", "ns=demo"}) {
        auto reply = httplib::Client("127.0.0.1", backend->wsPort())
                         .Get(std::string("/.ws?") + query,
                              {{"Upgrade", "websocket"},
                               {"Connection", "Upgrade"},
                               {"Sec-WebSocket-Key", "dGhlIHNhbXBsZSBub25jZQ=="},
                               {"Sec-WebSocket-Version", "13"}});
        ASSERT_TRUE(reply) << query;
        EXPECT_EQ(reply->status, 400) << query;
    }
}

TEST_F(RtdbServer, ListenSendsDataBeforeOkUnlessTheHashMatches) {
    const json shops = {{"T-01", {{"Nombre", "Vía España"}}}, {"T-02", {{"Nombre", "Los Pueblos"}}}};
    setData(*backend, "/Tiendas", shops);
    auto client = open();

    std::vector<json> pushes;
    json answer = client->call("q", {{"p", "/Tiendas"}, {"h", ""}}, &pushes);
    EXPECT_EQ(answer["s"], "ok");
    ASSERT_EQ(pushes.size(), 1u);
    EXPECT_EQ(pushes[0]["a"], "d");
    EXPECT_EQ(pushes[0]["b"]["p"], "/Tiendas");
    EXPECT_EQ(pushes[0]["b"]["d"], shops);
    EXPECT_FALSE(pushes[0]["b"].contains("t"));

    pushes.clear();
    answer = client->call("q", {{"p", "/Tiendas"}, {"h", hashOf(shops)}}, &pushes);
    EXPECT_EQ(answer["s"], "ok");
    EXPECT_TRUE(pushes.empty());
    // Nothing at a location and nothing held: no data either.
    answer = client->call("q", {{"p", "/nada"}, {"h", ""}}, &pushes);
    EXPECT_TRUE(pushes.empty());

    const json seen = counters(*backend);
    EXPECT_EQ(counter(seen, "listens", "overwrite"), 1);
    EXPECT_EQ(counter(seen, "listens", "upToDate"), 2);
    EXPECT_EQ(counter(seen, "requests", "q"), 3);

    // Another namespace has a tree of its own.
    auto elsewhere = open("otra");
    pushes.clear();
    EXPECT_EQ(elsewhere->call("q", {{"p", "/Tiendas"}, {"h", ""}}, &pushes)["s"], "ok");
    EXPECT_TRUE(pushes.empty());
    EXPECT_EQ(elsewhere->call("p", {{"p", "/Tiendas"}, {"d", 1}})["s"], "ok");
    EXPECT_EQ(data(*backend, "/Tiendas"), shops);
    EXPECT_EQ(data(*backend, "/Tiendas", "otra"), 1);
}

TEST_F(RtdbServer, CompoundHashGetsRangeMergesThatBringTheClientUpToDate) {
    json server = json::object();
    for (int i = 0; i < 200; ++i) {
        char key[16];
        std::snprintf(key, sizeof key, "item%03d", i);
        server[key] = {{"name", std::string("product ") + key}, {"price", i * 1.25}};
    }
    setData(*backend, "/big", server);
    json cached = server;
    cached["item150"]["price"] = 0;
    cached.erase("item151");
    const FNodePtr cachedNode = nodeOf(cached);
    const FCompoundHash compound = FCompoundHash::fromNode(cachedNode);
    ASSERT_GT(compound.posts().size(), 2u);
    json ps = json::array(), hs = json::array();
    for (const auto& p : compound.posts()) ps.push_back(p.wireFormat());
    for (const auto& h : compound.hashes()) hs.push_back(h);

    auto client = open();
    std::vector<json> pushes;
    json body = {{"p", "/big"}, {"h", cachedNode->dataHash()}, {"ch", {{"ps", ps}, {"hs", hs}}}};
    EXPECT_EQ(client->call("q", body, &pushes)["s"], "ok");
    ASSERT_EQ(pushes.size(), 1u);
    ASSERT_EQ(pushes[0]["a"], "rm");
    FNodePtr result = cachedNode;
    for (const auto& range : pushes[0]["b"]["d"]) {
        std::optional<FPath> start, end;
        if (range.contains("s")) start = FPath(range["s"].get<std::string>());
        if (range.contains("e")) end = FPath(range["e"].get<std::string>());
        result = FRangeMerge(start, end, nodeOf(range["m"])).applyToNode(result);
    }
    EXPECT_EQ(jsonOf(result), server);
    // Only the differing ranges travel.
    EXPECT_LT(pushes[0]["b"]["d"].dump().size(), server.dump().size() / 2);

    // With range merges switched off the whole location goes instead.
    adminPost(*backend, "/__admin/rtdb/faults", json{{"rangeMerges", false}});
    pushes.clear();
    client->call("q", body, &pushes);
    ASSERT_EQ(pushes.size(), 1u);
    EXPECT_EQ(pushes[0]["a"], "d");
    EXPECT_EQ(pushes[0]["b"]["d"], server);
    const json seen = counters(*backend);
    EXPECT_EQ(counter(seen, "listens", "rangeMerges"), 1);
    EXPECT_EQ(counter(seen, "listens", "overwrite"), 1);
}

TEST_F(RtdbServer, TaggedListensGetTheirWindowAndLaterChangesOfIt) {
    setData(*backend, "/items", {{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}});
    auto client = open();
    auto writer = open();
    const json query = json::parse(ns::json::serialize(
        ns::Value(FQueryParams::defaultInstance()->orderBy(FKeyIndex::keyIndex())->limitToFirst(2)->wireProtocolParams())));
    std::vector<json> pushes;
    json answer = client->call("q", {{"p", "/items"}, {"h", ""}, {"q", query}, {"t", 7}}, &pushes);
    EXPECT_EQ(answer["s"], "ok");
    EXPECT_FALSE(answer.contains("d")) << "no warning for the key index";
    ASSERT_EQ(pushes.size(), 1u);
    EXPECT_EQ(pushes[0]["a"], "d");
    EXPECT_EQ(pushes[0]["b"]["t"], 7);
    EXPECT_EQ(pushes[0]["b"]["d"], (json{{"a", 1}, {"b", 2}}));

    // A write outside the window changes nothing the client holds.
    EXPECT_EQ(writer->call("p", {{"p", "/items/d"}, {"d", 40}})["s"], "ok");
    // A new first child enters the window and pushes "b" out.
    EXPECT_EQ(writer->call("p", {{"p", "/items/0"}, {"d", 0}})["s"], "ok");
    json push = client->nextPush();
    EXPECT_EQ(push["a"], "m");
    EXPECT_EQ(push["b"]["t"], 7);
    EXPECT_EQ(push["b"]["p"], "/items");
    EXPECT_EQ(push["b"]["d"], (json{{"0", 0}, {"b", nullptr}}));

    // Unlistening stops the pushes (a later one for another listen shows
    // nothing came in between).
    EXPECT_EQ(client->call("n", {{"p", "/items"}, {"q", query}, {"t", 7}})["s"], "ok");
    EXPECT_EQ(client->call("n", {{"p", "/never"}})["s"], "ok") << "an unknown listen is a no-op";
    client->call("q", {{"p", "/other"}, {"h", ""}});
    writer->call("p", {{"p", "/items/00"}, {"d", -1}});
    writer->call("p", {{"p", "/other"}, {"d", "x"}});
    push = client->nextPush();
    EXPECT_EQ(push["b"]["p"], "/other");
}

TEST_F(RtdbServer, QueriesOnUnindexedChildrenWarnUntilTheRulesIndexThem) {
    setData(*backend, "/Productos", {{"P-1", {{"Precio", 3}}}, {"P-2", {{"Precio", 1}}}});
    const json query = json::parse(ns::json::serialize(ns::Value(
        FQueryParams::defaultInstance()->orderBy(FPathIndex::make(FPath("Precio")))->limitToFirst(1)->wireProtocolParams())));
    auto client = open();
    std::vector<json> pushes;
    json answer = client->call("q", {{"p", "/Productos"}, {"h", ""}, {"q", query}, {"t", 1}}, &pushes);
    EXPECT_EQ(answer["s"], "ok");
    EXPECT_EQ(answer["d"]["w"], json::array({"no_index"}));
    ASSERT_EQ(pushes.size(), 1u);
    EXPECT_EQ(pushes[0]["b"]["d"], (json{{"P-2", {{"Precio", 1}}}}));

    adminPost(*backend, "/__admin/rtdb/rules?ns=demo",
              json{{"rules", {{".read", true}, {".write", true}, {"Productos", {{".indexOn", {"Precio"}}}}}}});
    answer = client->call("q", {{"p", "/Productos"}, {"h", ""}, {"q", query}, {"t", 2}});
    EXPECT_EQ(answer["s"], "ok");
    EXPECT_FALSE(answer.contains("d"));
}

TEST_F(RtdbServer, WritesAreAcknowledgedAndPushedToEveryListen) {
    auto alice = open();
    auto bob = open();
    std::vector<json> pushes;
    alice->call("q", {{"p", "/shop"}, {"h", ""}});
    bob->call("q", {{"p", "/shop/stock"}, {"h", ""}});

    EXPECT_EQ(bob->call("p", {{"p", "/shop/stock/rice"}, {"d", 12}}, &pushes)["s"], "ok");
    // The writer's own listen hears of the write before the acknowledgement.
    ASSERT_EQ(pushes.size(), 1u);
    EXPECT_EQ(pushes[0]["a"], "d");
    EXPECT_EQ(pushes[0]["b"]["p"], "/shop/stock/rice");
    json push = alice->nextPush();
    EXPECT_EQ(push["a"], "d");
    EXPECT_EQ(push["b"], (json{{"p", "/shop/stock/rice"}, {"d", 12}}));

    pushes.clear();
    EXPECT_EQ(alice->call("m", {{"p", "/shop"}, {"d", {{"stock/oil", 3}, {"name", "Vía España"}}}}, &pushes)["s"], "ok");
    ASSERT_EQ(pushes.size(), 1u);
    EXPECT_EQ(pushes[0]["a"], "m");
    EXPECT_EQ(pushes[0]["b"]["d"], (json{{"stock/oil", 3}, {"name", "Vía España"}}));
    // A merge above a listen reaches it as the listen location's new data.
    push = bob->nextPush();
    EXPECT_EQ(push["a"], "d");
    EXPECT_EQ(push["b"], (json{{"p", "/shop/stock"}, {"d", {{"rice", 12}, {"oil", 3}}}}));

    // Server values are resolved with the server's clock.
    pushes.clear();
    EXPECT_EQ(alice->call("p", {{"p", "/shop/updated"}, {"d", {{".sv", "timestamp"}}}}, &pushes)["s"], "ok");
    ASSERT_EQ(pushes.size(), 1u);
    EXPECT_TRUE(pushes[0]["b"]["d"].is_number_integer());
    EXPECT_GT(pushes[0]["b"]["d"].get<int64_t>(), (backend::nowSeconds() - 3600) * 1000);
    EXPECT_EQ(alice->call("p", {{"p", "/shop/x"}, {"d", {{".sv", "nonsense"}}}})["s"], "invalid_data");

    EXPECT_EQ(data(*backend, "/shop/stock"), (json{{"oil", 3}, {"rice", 12}}));
}

TEST_F(RtdbServer, AnswersComeInRequestOrderWhenRequestsArePipelined) {
    auto client = open();
    std::vector<int64_t> sent;
    for (int i = 0; i < 300; ++i) {
        sent.push_back(i % 3 == 0 ? client->send("q", {{"p", "/n/" + std::to_string(i)}, {"h", ""}})
                                  : client->send("p", {{"p", "/n/" + std::to_string(i)}, {"d", i}}));
    }
    int64_t last = 0;
    size_t answers = 0;
    while (answers < sent.size()) {
        auto packet = client->readPacket();
        ASSERT_TRUE(packet);
        if (!(*packet)["d"].contains("r")) continue;
        const int64_t r = (*packet)["d"]["r"];
        EXPECT_GT(r, last);
        last = r;
        ++answers;
    }
    EXPECT_EQ(data(*backend, "/n/299"), 299);
}

TEST_F(RtdbServer, AnOkAnswerIsTheWrittenJsonOfItsPacket) {
    auto client = open();
    const int64_t r = client->send("p", {{"p", "/a"}, {"d", 1}});
    const ns::Value body(ns::Dictionary{{"s", ns::Value("ok")}});
    EXPECT_EQ(*client->readFrame(),
              ns::json::serialize(ns::Value(ns::Dictionary{
                  {"t", ns::Value("d")}, {"d", ns::Value(ns::Dictionary{{"r", ns::Value(r)}, {"b", body}})}})));
}

// A write of the data a place holds already leaves the tree as it is; data
// that differ only in the kind of number, the sign of zero or a priority
// still replace what is there.
TEST_F(RtdbServer, AWriteOfEqualLookingDataKeepsItsKindSignAndPriority) {
    const struct {
        json first, second;
        std::string stored;
        std::string below = "";  // where the second write goes, below the first
    } cases[] = {
        {5, 5, "5"},
        {1, 1.0, "1.0"},
        {1.0, 1, "1"},
        {0.0, -0.0, "-0.0"},
        {-0.0, 0.0, "0.0"},
        {1, true, "true"},
        {true, 1, "1"},
        {false, true, "true"},
        {"1", 1, "1"},
        {"a", "a", "\"a\""},
        {json{{".value", 1}, {".priority", 2}}, 1, "1"},
        {1, json{{".value", 1}, {".priority", 2}}, "{\".priority\":2,\".value\":1}"},
        {json{{"k", 1}}, json{{"k", 1.0}}, "{\"k\":1.0}"},
        {json{{"k", 1}}, nullptr, "null"},
        {nullptr, nullptr, "null"},
        {json{{".value", 1}, {".priority", 2}}, 2, "{\".priority\":2,\".value\":1}", "/.priority"},
        {json{{".value", 1}, {".priority", 2}}, 2.0, "{\".priority\":2.0,\".value\":1}", "/.priority"},
        {json{{"k", 1}}, 1.0, "{\"k\":1.0}", "/k"},
    };
    auto client = open();
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string path = "/same/" + std::to_string(i);
        EXPECT_EQ(client->call("p", {{"p", path}, {"d", cases[i].first}})["s"], "ok") << i;
        EXPECT_EQ(client->call("p", {{"p", path + cases[i].below}, {"d", cases[i].second}})["s"], "ok") << i;
        EXPECT_EQ(data(*backend, path).dump(), cases[i].stored) << i;
    }
}

// Requests of unusual shapes are read as they always were, whichever way
// the server takes to read them: the answer's status, or the close code.
TEST_F(RtdbServer, RequestsOfUnusualShapesGetTheirUsualAnswers) {
    const struct {
        std::string text;
        int64_t r;
        std::string status;  // "" when the connection closes with 1008
    } cases[] = {
        {R"({"t":"d","d":{"r":1,"a":"p","b":{"p":"/u","d":1}}})", 1, "ok"},
        {R"({"d":{"b":{"d":2,"p":"/u"},"a":"p","r":2},"t":"d"})", 2, "ok"},
        {R"({"t":"d","d":{"r":3,"a":"p","b":{"p":"/u","d":3},"x":0}})", 3, "ok"},
        {R"({"t":"d","d":{"r":4,"a":"n","b":{"p":"/u"}},"x":0})", 4, "ok"},
        {R"({"t":"d","d":{"r":5,"a":"s","b":null}})", 5, "ok"},
        {R"({"t":"d","d":{"r":6,"a":"p"}})", 6, "invalid_path"},
        {R"({"t":"d","d":{"r":7,"a":5,"b":{}}})", 7, "invalid_request"},
        {R"({"t":"d","d":{"r":8,"a":"p","b":[1]}})", 8, "invalid_request"},
        {R"({"t":"d","d":{"r":9223372036854775807,"a":"n","b":{"p":"/u"}}})", INT64_MAX, "ok"},
        {R"({"t":"d","d":{"r":9223372036854775808,"a":"n","b":{"p":"/u"}}})", 0, ""},
        {R"({"t":"d","d":{"r":10.0,"a":"n","b":{"p":"/u"}}})", 0, ""},
        {R"({"t":"c","d":{"r":11,"a":"n","b":{"p":"/u"}}})", 0, ""},
        {R"({"t":"d","d":[11]})", 0, ""},
    };
    for (const auto& c : cases) {
        auto client = open();
        client->sendText(c.text);
        if (c.status.empty()) {
            EXPECT_TRUE(ns::testing::closedWith(client->readToEnd(), 1008)) << c.text;
        } else {
            EXPECT_EQ(client->answerTo(c.r)["s"], c.status) << c.text;
        }
    }
    EXPECT_EQ(data(*backend, "/u"), 3);
}

TEST_F(RtdbServer, CompareAndSetAnswersDatastaleOnAMismatch) {
    setData(*backend, "/counter", 5);
    auto client = open();
    EXPECT_EQ(client->call("p", {{"p", "/counter"}, {"d", 6}, {"h", hashOf(4)}})["s"], "datastale");
    EXPECT_EQ(data(*backend, "/counter"), 5);
    EXPECT_EQ(client->call("p", {{"p", "/counter"}, {"d", 6}, {"h", hashOf(5)}})["s"], "ok");
    EXPECT_EQ(client->call("p", {{"p", "/fresh"}, {"d", 1}, {"h", ""}})["s"], "ok") << "nothing there hashes to \"\"";

    adminPost(*backend, "/__admin/rtdb/faults", json{{"forceDatastale", 1}});
    EXPECT_EQ(client->call("p", {{"p", "/counter"}, {"d", 7}, {"h", hashOf(6)}})["s"], "datastale");
    EXPECT_EQ(client->call("p", {{"p", "/counter"}, {"d", 7}, {"h", hashOf(6)}})["s"], "ok");
    EXPECT_EQ(data(*backend, "/counter"), 7);
}

TEST_F(RtdbServer, OnDisconnectWritesRunInOrderWhenTheConnectionEnds) {
    auto watcher = open();
    watcher->call("q", {{"p", "/presence"}, {"h", ""}});
    for (bool closeFrame : {true, false}) {
        auto leaving = open();
        EXPECT_EQ(leaving->call("o", {{"p", "/presence/ana"}, {"d", "online"}})["s"], "ok");
        EXPECT_EQ(leaving->call("o", {{"p", "/presence/ana"}, {"d", "offline"}})["s"], "ok");
        EXPECT_EQ(leaving->call("om", {{"p", "/presence"}, {"d", {{"last", {{".sv", "timestamp"}}}, {"luis", "gone"}}}})["s"],
                  "ok");
        EXPECT_EQ(leaving->call("o", {{"p", "/presence/cancelled/x"}, {"d", 1}})["s"], "ok");
        EXPECT_EQ(leaving->call("oc", {{"p", "/presence/cancelled"}, {"d", nullptr}})["s"], "ok");
        if (closeFrame) {
            leaving->close();
        } else {
            leaving->drop();
        }
        std::vector<json> seen;
        while (seen.size() < 3) seen.push_back(watcher->nextPush());
        EXPECT_EQ(seen[0]["b"], (json{{"p", "/presence/ana"}, {"d", "online"}}));
        EXPECT_EQ(seen[1]["b"], (json{{"p", "/presence/ana"}, {"d", "offline"}}));
        EXPECT_EQ(seen[2]["a"], "m");
        EXPECT_TRUE(seen[2]["b"]["d"]["last"].is_number_integer());
        EXPECT_FALSE(data(*backend, "/presence").contains("cancelled"));
        setData(*backend, "/presence", nullptr);
        watcher->nextPush();
    }
}

TEST_F(RtdbServer, AuthVerifiesTokensAndPushesRevocationAndExpiry) {
    auto client = open();
    json answer = client->call("auth", {{"cred", tokenFor(*backend, "ana")}});
    EXPECT_EQ(answer["s"], "ok");
    EXPECT_EQ(answer["d"]["auth"]["uid"], "ana");
    answer = client->call("auth", {{"cred", "not.a.token"}});
    EXPECT_EQ(answer["s"], "invalid_token");
    EXPECT_TRUE(answer["d"].is_string());
    EXPECT_EQ(client->call("auth", {{"cred", tokenFor(*backend, "ana", -60)}})["s"], "expired_token");
    EXPECT_EQ(client->call("unauth", json::object())["s"], "ok");

    // Revoked by the admin: "ac", and the token is refused from then on.
    const std::string token = tokenFor(*backend, "ana", 3600, "revoked-one");
    EXPECT_EQ(client->call("auth", {{"cred", token}})["s"], "ok");
    EXPECT_EQ(adminPost(*backend, "/__admin/rtdb/auth/revoke", json{{"uid", "ana"}})["count"], 1);
    json push = client->nextPush();
    EXPECT_EQ(push["a"], "ac");
    EXPECT_EQ(push["b"]["s"], "invalid_token");
    EXPECT_EQ(client->call("auth", {{"cred", token}})["s"], "invalid_token");

    // Expired by the server's clock.
    auto other = open();
    EXPECT_EQ(other->call("auth", {{"cred", tokenFor(*backend, "luis", 600, "short")}})["s"], "ok");
    adminPost(*backend, "/__admin/rtdb/faults", json{{"clockOffsetMs", 3600 * 1000}});
    push = other->nextPush();
    EXPECT_EQ(push["a"], "ac");
    EXPECT_EQ(push["b"]["s"], "expired_token");
    EXPECT_EQ(other->call("auth", {{"cred", tokenFor(*backend, "luis", 600, "again")}})["s"], "expired_token");
    EXPECT_EQ(counter(counters(*backend), "auth", "expired"), 1);
}

TEST_F(RtdbServer, RulesRefuseReadsAndWritesAndCancelListensThatBecomeIllegal) {
    adminPost(*backend, "/__admin/rtdb/rules?ns=demo",
              json{{"rules",
                    {{"public", {{".read", true}}},
                     {"private", {{".read", "auth != null"}, {".write", "auth != null"}}},
                     {"locked", {{".read", false}, {".write", false}}}}}});
    auto client = open();
    EXPECT_EQ(client->call("q", {{"p", "/private"}, {"h", ""}})["s"], "permission_denied");
    EXPECT_EQ(client->call("p", {{"p", "/private/x"}, {"d", 1}})["s"], "permission_denied");
    EXPECT_EQ(client->call("m", {{"p", "/"}, {"d", {{"private/x", 1}}}})["s"], "permission_denied");
    EXPECT_EQ(client->call("p", {{"p", "/public"}, {"d", 1}})["s"], "permission_denied") << "no .write granted there";
    EXPECT_EQ(client->call("o", {{"p", "/private/x"}, {"d", 1}})["s"], "permission_denied");

    EXPECT_EQ(client->call("auth", {{"cred", tokenFor(*backend, "ana")}})["s"], "ok");
    EXPECT_EQ(client->call("q", {{"p", "/private"}, {"h", ""}})["s"], "ok");
    EXPECT_EQ(client->call("q", {{"p", "/public"}, {"h", ""}})["s"], "ok");
    EXPECT_EQ(client->call("p", {{"p", "/private/x"}, {"d", 1}})["s"], "ok");
    EXPECT_EQ(client->call("p", {{"p", "/locked"}, {"d", 1}})["s"], "permission_denied");

    // Signing out makes the private listen illegal: "c" for its path only.
    std::vector<json> pushes;
    EXPECT_EQ(client->call("unauth", json::object(), &pushes)["s"], "ok");
    ASSERT_EQ(pushes.size(), 1u);
    EXPECT_EQ(pushes[0], (json{{"a", "c"}, {"b", {{"p", "/private"}}}}));
    // New rules do the same to the public one.
    adminPost(*backend, "/__admin/rtdb/rules?ns=demo", json{{"rules", {{".read", false}}}});
    EXPECT_EQ(client->nextPush(), (json{{"a", "c"}, {"b", {{"p", "/public"}}}}));

    // Rules that are not rules are refused and change nothing.
    for (const json& bad : {json{{"rules", {{".read", "maybe"}}}}, json{{"rulez", json::object()}},
                            json{{"rules", {{"a.b", {{".read", true}}}}}}}) {
        EXPECT_EQ(backend->post("/__admin/rtdb/rules?ns=demo", bad.dump()).status, 400) << bad;
    }
    EXPECT_EQ(adminGet(*backend, "/__admin/rtdb/rules?ns=demo"), (json{{"rules", {{".read", false}}}}));
}

TEST_F(RtdbServer, BadRequestsGetAStatusAndBadPacketsACloseWithoutHarm) {
    setData(*backend, "/keep", {{"a", 1}});
    auto client = open();
    EXPECT_EQ(client->call("zz", json::object())["s"], "unknown_action");
    EXPECT_EQ(client->call("p", {{"p", "/a.b"}, {"d", 1}})["s"], "invalid_path");
    EXPECT_EQ(client->call("p", {{"p", 5}, {"d", 1}})["s"], "invalid_path");
    EXPECT_EQ(client->call("p", {{"p", "/keep"}, {"d", {{"bad$key", 1}}}})["s"], "invalid_data");
    EXPECT_EQ(client->call("p", {{"p", "/keep"}})["s"], "invalid_request");
    EXPECT_EQ(client->call("m", {{"p", "/keep"}, {"d", 3}})["s"], "invalid_data");
    EXPECT_EQ(client->call("q", {{"p", "/keep"}, {"q", {{"vf", "x"}, {"l", 1}}}, {"t", 1}})["s"], "invalid_query");
    EXPECT_EQ(client->call("q", {{"p", "/keep"}, {"ch", {{"ps", json::array()}, {"hs", json::array()}}}})["s"],
              "invalid_request");
    // The deepest data a client writes, one level too deep for the tree
    // under this path.
    json deep = 1;
    for (int i = 0; i < 1000; ++i) deep = json{{"k", deep}};
    std::string under = "/keep/deep";
    for (size_t keys = 2; keys + 1000 <= backend::rtdb::kMaxTreeDepth; ++keys) under += "/p";
    EXPECT_EQ(client->call("p", {{"p", under}, {"d", deep}})["s"], "invalid_data");
    // A count frame, its pieces and keep-alives in between make one request.
    const std::string text = json{{"t", "d"}, {"d", {{"r", 99}, {"a", "p"}, {"b", {{"p", "/split"}, {"d", "ok"}}}}}}.dump();
    client->sendText("0");
    client->sendText("2");
    client->sendText(text.substr(0, 10));
    client->sendText("0");
    client->sendText(text.substr(10));
    EXPECT_EQ(client->answerTo(99)["s"], "ok");

    // Packets that are not this protocol end the connection.
    client->sendText("{\"t\":\"d\",\"d\":");
    EXPECT_TRUE(ns::testing::closedWith(client->readToEnd(), 1008));
    std::string nested(ns::json::kMaxDepth + 1, '[');
    nested += std::string(ns::json::kMaxDepth + 1, ']');
    for (const std::string& bad : {std::string("[1,2]"), std::string("{\"d\":{\"r\":1,\"a\":\"s\"}}"),
                                   std::string("{\"t\":\"d\",\"d\":{\"a\":\"s\"}}"), nested}) {
        auto other = open();
        other->sendText(bad);
        EXPECT_TRUE(ns::testing::closedWith(other->readToEnd(), 1008)) << bad.substr(0, 40);
    }
    auto binary = open();
    binary->sendBinary("\x01\x02");
    EXPECT_TRUE(ns::testing::closedWith(binary->readToEnd(), 1008));
    auto huge = open();
    huge->sendText("2");
    huge->sendText(std::string(9u << 20, ' '));
    huge->sendText(std::string(9u << 20, ' '));
    EXPECT_TRUE(ns::testing::closedWith(huge->readToEnd(), 1009));

    EXPECT_EQ(data(*backend, "/keep"), (json{{"a", 1}}));
    EXPECT_EQ(open()->call("s", {{"c", {{"sdk.objc.4-0-0", 1}}}})["s"], "ok");
}

TEST_F(RtdbServer, RequestsWithAnyFieldReplacedGetAnAnswerOrACloseAndNeverHarmTheData) {
    setData(*backend, "/keep", {{"a", 1}});
    const std::vector<std::pair<std::string, json>> valid = {
        {"p", {{"p", "/x/y"}, {"d", {{"k", 1}}}, {"h", ""}}},
        {"m", {{"p", "/x"}, {"d", {{"y/z", 2}, {"w", {{".sv", "timestamp"}}}}}}},
        {"q", {{"p", "/x"}, {"h", ""}, {"q", {{"sp", 1}, {"sn", "a"}, {"l", 2}, {"vf", "l"}, {"i", "k"}}}, {"t", 3}}},
        {"q", {{"p", "/x"}, {"h", "abc"}, {"ch", {{"ps", {"a"}}, {"hs", {"h1", ""}}}}}},
        {"n", {{"p", "/x"}, {"q", {{"l", 1}}}, {"t", 3}}},
        {"o", {{"p", "/x/gone"}, {"d", true}}},
        {"om", {{"p", "/x"}, {"d", {{"a", 1}}}}},
        {"oc", {{"p", "/x"}, {"d", nullptr}}},
        {"auth", {{"cred", "a.b.c"}}},
        {"s", {{"c", {{"n", 1}}}}},
    };
    const std::vector<json> replacements = {nullptr, 0, -1, 1e308, 2147483648ll, "", "/", "a.b", "[", "/.priority",
                                            json::array(), json::object(), true, json{{".sv", "timestamp"}},
                                            json{{".value", 1}, {".priority", {1}}}, std::string(2000, 'k'),
                                            json::array({1, json::object(), "x"}), json{{"$", 1}}};
    uint32_t seed = 12345;
    auto random = [&](size_t n) {
        seed = seed * 1103515245u + 12345u;
        return size_t((seed >> 8) % n);
    };
    // Every field of every body, at every depth, replaced in turn.
    std::function<void(json&, std::vector<json*>&)> fields = [&](json& j, std::vector<json*>& out) {
        if (!j.is_object() && !j.is_array()) return;
        for (auto& [key, value] : j.items()) {
            out.push_back(&value);
            fields(value, out);
        }
    };
    auto client = open();
    int answers = 0, closes = 0;
    for (int round = 0; round < 300; ++round) {
        auto [action, body] = valid[random(valid.size())];
        std::vector<json*> slots;
        fields(body, slots);
        *slots[random(slots.size())] = replacements[random(replacements.size())];
        if (random(4) == 0) body = replacements[random(replacements.size())];
        const int64_t r = client->send(random(10) == 0 ? "p" + std::to_string(round) : action, body);
        try {
            const json answer = client->answerTo(r);
            EXPECT_TRUE(answer["s"].is_string()) << answer;
            ++answers;
        } catch (const std::runtime_error&) {
            ++closes;
            client = open();
        }
    }
    EXPECT_GT(answers, 200);
    EXPECT_EQ(data(*backend, "/keep"), (json{{"a", 1}}));
    EXPECT_EQ(backend->get("/__admin/health").status, 200);
}

TEST_F(RtdbServer, AcknowledgedWritesSurviveAKillAndARestart) {
    backend.reset();
    const auto dataDir = std::filesystem::temp_directory_path() / ("rtdb-restart-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dataDir);
    backend = Backend::start({.dataDir = dataDir.string()});
    {
        auto client = open();
        for (int i = 0; i < 50; ++i) {
            ASSERT_EQ(client->call("p", {{"p", "/orders/o" + std::to_string(i)}, {"d", {{"n", i}}}})["s"], "ok");
        }
        ASSERT_EQ(client->call("m", {{"p", "/orders"}, {"d", {{"o0/n", -1}, {"extra", true}}}})["s"], "ok");
        backend->kill();
    }
    backend->restart();
    const json orders = data(*backend, "/orders");
    EXPECT_EQ(orders.size(), 51u);
    EXPECT_EQ(orders["o0"]["n"], -1);
    EXPECT_EQ(orders["o49"]["n"], 49);
    EXPECT_EQ(orders["extra"], true);

    // After a compaction and another kill, the snapshot alone holds it all.
    adminPost(*backend, "/__admin/rtdb/compact?ns=demo", json::object());
    open()->call("p", {{"p", "/orders/late"}, {"d", "x"}});
    backend->kill();
    backend->restart();
    EXPECT_EQ(data(*backend, "/orders/late"), "x");
    EXPECT_EQ(data(*backend, "/orders/o49/n"), 49);
    backend.reset();
    std::filesystem::remove_all(dataDir);
}

TEST_F(RtdbServer, AStopEndsConnectionsWithGoingAwayAndKeepsTheirOnDisconnectWrites) {
    auto client = open();
    ASSERT_EQ(client->call("o", {{"p", "/status"}, {"d", "server went down"}})["s"], "ok");
    // The client answers the server's close frame while the server stops.
    ns::testing::WebSocketClose ending;
    std::thread reader([&] { ending = client->readToEnd(); });
    EXPECT_EQ(backend->stop(), 0) << backend->log();
    reader.join();
    EXPECT_TRUE(ns::testing::closedWith(ending, 1001));
    backend->restart();
    EXPECT_EQ(data(*backend, "/status"), "server went down");
}

TEST_F(RtdbServer, SampleDataIsTheTreeOfAlmavelPa) {
    backend = Backend::start({.seed = true});
    auto client = WireClient::connect(backend->wsPort(), "v=5&ns=almavel-pa", "almavel-pa.almavel.localhost");
    client->readHandshake();
    std::vector<json> pushes;
    // Only signed-in staff read the sample tree.
    EXPECT_EQ(client->call("q", {{"p", "/Tiendas/T-01/Nombre"}, {"h", ""}}, &pushes)["s"], "permission_denied");
    EXPECT_TRUE(pushes.empty());
    EXPECT_EQ(adminGet(*backend, "/__admin/rtdb/data?ns=almavel-pa&path=/Tiendas/T-01/Nombre")["data"], "Vía España");
    EXPECT_EQ(adminGet(*backend, "/__admin/rtdb/data?ns=almavel-pa&path=/d1sp01/741751003253/ExLP")["data"], 10);
}

// The admin route takes what a client may write: the model's 1000 levels
// under a path, inside the {"data": ...} wrapper.
TEST_F(RtdbServer, AnAdminWriteAsDeepAsTheModelAllowsIsKeptAndReadBack) {
    auto nested = [](int levels) {
        json value = "leaf";
        for (int i = 1; i < levels; ++i) value = json{{"k", std::move(value)}};
        return value;
    };
    const json deep = nested(1000);
    setData(*backend, "/a/b", deep);
    EXPECT_EQ(data(*backend, "/a/b"), deep);
    // Past what the platform reads, the body is refused before it is parsed.
    const auto reply = backend->post("/__admin/rtdb/data?ns=demo&path=/c", json{{"data", nested(1200)}}.dump());
    EXPECT_EQ(reply.status, 400) << reply.body;
    EXPECT_TRUE(data(*backend, "/c").is_null());
}

TEST_F(RtdbServer, FaultsShapeWhatTheClientReceives) {
    auto client = open();
    const int64_t id = adminGet(*backend, "/__admin/rtdb/connections?ns=demo")["connections"][0]["id"];

    // Count frames.
    adminPost(*backend, "/__admin/rtdb/faults", json{{"connection", id}, {"splitFrames", 10}});
    EXPECT_EQ(client->call("p", {{"p", "/f"}, {"d", "a long enough value"}})["s"], "ok");
    EXPECT_GT(client->lastFrameCount(), 1);

    // Held answers wait (and everything behind them), in order.
    adminPost(*backend, "/__admin/rtdb/faults", json{{"splitFrames", 0}, {"holdAnswers", true}});
    const int64_t first = client->send("p", {{"p", "/held"}, {"d", 1}});
    const int64_t second = client->send("s", json::object());
    ASSERT_TRUE(eventually([&] {
        auto c = adminGet(*backend, "/__admin/rtdb/connections?ns=demo")["connections"][0];
        return c["queued"].get<int>() >= 2;
    }));
    adminPost(*backend, "/__admin/rtdb/faults", json{{"holdAnswers", false}, {"answerDelayMs", 5}});
    EXPECT_EQ(client->answerTo(first)["s"], "ok");
    EXPECT_EQ(client->answerTo(second)["s"], "ok");
    EXPECT_EQ(client->call("s", json::object())["s"], "ok") << "delayed answers still come";

    // Raw packets as a test wants them.
    adminPost(*backend, "/__admin/rtdb/connections/send", json{{"id", id}, {"kind", "error"}});
    EXPECT_EQ(client->readFrame(), R"({"t":"d","d":{"error":"a server error made by the test"}})");
    adminPost(*backend, "/__admin/rtdb/connections/send", json{{"id", id}, {"frames", {"3", "{", "}", "x"}}});
    for (const char* expected : {"3", "{", "}", "x"}) EXPECT_EQ(client->readFrame(), expected);
    adminPost(*backend, "/__admin/rtdb/connections/securityDebug", json{{"id", id}, {"msg", "line 1\nline 2"}});
    EXPECT_EQ(client->nextPush(), (json{{"a", "sd"}, {"b", {{"msg", "line 1\nline 2"}}}}));

    // Reset, then shutdown with a close frame.
    adminPost(*backend, "/__admin/rtdb/connections/reset", json{{"id", id}, {"host", "demo.almavel.localhost:1"}});
    EXPECT_EQ(*client->readPacket(), (json{{"t", "c"}, {"d", {{"t", "r"}, {"d", "demo.almavel.localhost:1"}}}}));
    adminPost(*backend, "/__admin/rtdb/connections/shutdown", json{{"id", id}, {"reason", "maintenance"}});
    EXPECT_EQ(*client->readPacket(), (json{{"t", "c"}, {"d", {{"t", "s"}, {"d", "maintenance"}}}}));
    EXPECT_TRUE(ns::testing::closedWith(client->readToEnd(), 1000));

    // Kills, with and without a close frame.
    auto polite = open();
    auto rude = open();
    adminPost(*backend, "/__admin/rtdb/faults", json{{"killOn", {{"action", "p"}, {"closeFrame", true}}}});
    polite->send("p", {{"p", "/killed"}, {"d", 1}});
    EXPECT_TRUE(ns::testing::closedWith(polite->readToEnd(), 1000));
    adminPost(*backend, "/__admin/rtdb/faults", json{{"killOn", {{"action", "p"}, {"apply", true}}}});
    rude->send("p", {{"p", "/applied"}, {"d", 1}});
    EXPECT_EQ(rude->readToEnd(), ns::testing::WebSocketClose{});
    EXPECT_EQ(data(*backend, "/killed"), nullptr);
    EXPECT_EQ(data(*backend, "/applied"), 1);
}

TEST_F(RtdbServer, TheAlternatePortReachesTheSameServer) {
    const int alternate = adminGet(*backend, "/__admin/rtdb/info")["alternatePort"];
    ASSERT_GT(alternate, 0);
    auto client = WireClient::connect(alternate);
    EXPECT_EQ(client->readHandshake()["h"], "demo.almavel.localhost:" + std::to_string(alternate));
    EXPECT_EQ(client->call("p", {{"p", "/via"}, {"d", "relay"}})["s"], "ok");
    EXPECT_EQ(data(*backend, "/via"), "relay");
}

}  // namespace
