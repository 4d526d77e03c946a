// The wire-protocol client end to end, against the back end's realtime
// database server on loopback with a real token from its auth service.
// Reconnection delays run on the virtual clock (started at the real time,
// so the server's clock and tokens still agree with ours): nothing is
// retried until a test moves the clock.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>

#include "connection_test_support.h"
#include "core/QRVLogger.h"
#include "database/connection/FAuthTokenProvider.h"
#include "database/connection/FConstants.h"
#include "database/model/FSnapshotUtilities.h"
#include "database/model/FUtilities.h"
#include "database/sync/FCompoundHash.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/json.h"
#include "platform/notification_center.h"
#include "platform/reachability.h"
#include "platform/system_log.h"
#include "platform/user_defaults.h"
#include "testing/admin_json.h"
#include "testing/temp_sandbox.h"

namespace {

using namespace conntest;

// What a listen holds locally: its hashes are computed from a node.
class NodeHash : public FSyncTreeHash {
public:
    NodeHash(FNodePtr node, bool compound) : node_(std::move(node)), compound_(compound) {}
    std::string simpleHash() const override { return node_->dataHash(); }
    FCompoundHash compoundHash() const override { return FCompoundHash::fromNode(node_); }
    bool includeCompoundHash() const override { return compound_; }

private:
    FNodePtr node_;
    bool compound_;
};

FSyncTreeHashPtr hashOf(const ns::Value& value, bool compound = false) {
    return std::make_shared<NodeHash>(FSnapshotUtilities::nodeFrom(value), compound);
}
FSyncTreeHashPtr emptyHash() { return hashOf(ns::Value()); }

// The app's provider, with every request and answer recorded; answers can be
// held back and released later.
class RecordingProvider : public FAuthTokenProvider {
public:
    explicit RecordingProvider(FAuthTokenProviderPtr inner) : inner_(std::move(inner)) {}

    void fetchTokenForcingRefresh(bool forceRefresh, TokenCallback callback) override {
        {
            std::lock_guard lock(mutex);
            forces.push_back(forceRefresh);
            if (hold) {
                held.push_back(std::move(callback));
                return;
            }
        }
        inner_->fetchTokenForcingRefresh(forceRefresh, [this, callback](std::optional<std::string> token,
                                                                        ns::ErrorRef error) {
            {
                std::lock_guard lock(mutex);
                tokens.push_back(token);
            }
            callback(token, error);
        });
    }
    void listenForTokenChanges(TokenListener listener) override { inner_->listenForTokenChanges(listener); }

    std::mutex mutex;
    bool hold = false;
    std::vector<TokenCallback> held;
    std::vector<bool> forces;
    std::vector<std::optional<std::string>> tokens;

private:
    FAuthTokenProviderPtr inner_;
};

class PersistentConnectionTest : public ::testing::Test {
protected:
    void SetUp() override {
        // ALMAVEL_WIRE_LOG=1 shows the client's debug lines.
        if (std::getenv("ALMAVEL_WIRE_LOG")) {
            QRVSetDebugModeEnabled(true);
            FUtilities::setLoggingEnabled(true);
        }
        backend_ = startBackend();
        QRVApp::resetForTesting();
        QRVAuth::resetForTesting();
        QRVApp::configure(std::make_shared<QRVOptions>(appOptions(databaseURL())));
        app_ = QRVApp::defaultApp();
        ASSERT_TRUE(app_);
        auth_ = QRVAuth::auth();
        auto user = signUp(auth_, "caja.sur@almavel.com.pa", "secreto1");
        ASSERT_TRUE(user.user) << (user.error ? user.error->description() : "");
        uid_ = user.user->uid();
        // The virtual clock starts once the back end is up and the user is
        // signed in, so that it reads close to the back end's real clock when
        // the client connects (work already scheduled keeps its delay).
        clock_ = ns::VirtualClock::install(ns::Clock::nowSeconds());
        provider_ = std::make_shared<RecordingProvider>(FAuthTokenProvider::authTokenProviderForApp(app_));
        config_ = std::make_shared<QRVDatabaseConfig>("wire", provider_);
        repoInfo_ = FUtilities::parseUrl(databaseURL()).repoInfo;
        delegate_ = std::make_shared<RecordingDelegate>();
    }

    void TearDown() override {
        if (connection_) {
            onWorker([&] {
                connection_->interruptForReason("test_over");
                connection_.reset();
            });
        }
        drainWorker();
        ns::RunLoop::main().runOnce();
        if (HasFailure() && backend_) std::cerr << "back end log:\n" << backend_->log() << "\n";
        auth_.reset();
        app_.reset();
        QRVAuth::resetForTesting();
        QRVApp::resetForTesting();
        backend_.reset();
        clock_.reset();
    }

    std::string databaseURL() const {
        return "http://demo.ns.localhost:" + std::to_string(backend_ ? backend_->wsPort() : 0);
    }

    // Makes the client and opens it; waits for its first connection.
    void connect(bool waitForConnect = true) {
        onWorker([&] {
            connection_ = FPersistentConnection::make(repoInfo_, FWorkerQueue::sharedQueue(), config_);
            connection_->setDelegate(delegate_);
            connection_->open();
        });
        if (waitForConnect) {
            ASSERT_TRUE(waitConnects(1)) << delegate_->describe();
        }
    }
    bool waitConnects(int n) {
        return delegate_->waitFor([&] { return delegate_->connects >= n; });
    }
    bool waitDisconnects(int n) {
        return delegate_->waitFor([&] { return delegate_->disconnects >= n; });
    }
    FPersistentConnectionState state() {
        FPersistentConnectionState s{};
        onWorker([&] { s = connection_->connectionState(); });
        return s;
    }
    // Connected (state 4) with everything restored answered.
    bool waitReady() {
        return pumpUntil([&] { return state() == ConnectionStateConnected; });
    }

    json admin(const std::string& path, const json& body) { return ns::testing::postJSON(*backend_, path, body); }
    json get(const std::string& path) { return ns::testing::getJSON(*backend_, path); }
    void faults(const json& settings) { admin("/__admin/rtdb/faults", settings); }
    json counters() { return get("/__admin/rtdb/counters?ns=demo"); }
    int64_t counter(const std::string& group, const std::string& name) {
        json c = counters();
        if (!c.contains(group) || !c[group].contains(name)) return 0;
        return c[group][name].get<int64_t>();
    }
    json serverConnections() { return get("/__admin/rtdb/connections?ns=demo")["connections"]; }
    json serverData(const std::string& path) {
        return get("/__admin/rtdb/data?ns=demo&path=" + path)["data"];
    }
    void setServerData(const std::string& path, const json& data) {
        admin("/__admin/rtdb/data?ns=demo&path=" + path, json{{"data", data}});
    }
    // Moves the virtual clock (from the main thread, so main-loop timers run).
    void advance(double seconds) { clock_->advance(seconds); }

    std::unique_ptr<ns::VirtualClock> clock_;
    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::testing::Backend> backend_;
    std::shared_ptr<QRVApp> app_;
    std::shared_ptr<QRVAuth> auth_;
    std::string uid_;
    std::shared_ptr<RecordingProvider> provider_;
    QRVDatabaseConfigPtr config_;
    std::shared_ptr<FRepoInfo> repoInfo_;
    std::shared_ptr<RecordingDelegate> delegate_;
    std::shared_ptr<FPersistentConnection> connection_;
};

FQuerySpec defaultQuery(const std::string& path) { return FQuerySpec::defaultQueryAtPath(FPath(path)); }

double realNowSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

TEST_F(PersistentConnectionTest, ConnectsAuthenticatesWithARealTokenAndReportsTheServersClockOffset) {
    faults({{"clockOffsetMs", 10000}});
    // The offset is the server's time less our (virtual, standing) time, so
    // it is 10 s plus however long the real clock ran on since the virtual
    // one was set.
    const double virtualNow = ns::Clock::nowSeconds();
    connect();
    ASSERT_TRUE(waitReady());
    const double elapsedMs = (realNowSeconds() - virtualNow) * 1000;

    auto conns = serverConnections();
    ASSERT_EQ(conns.size(), 1u);
    EXPECT_EQ(conns[0]["ns"], "demo");
    EXPECT_EQ(conns[0]["host"], "demo.ns.localhost:" + std::to_string(backend_->wsPort()));
    // Signed in with the auth service's token for our user.
    ASSERT_TRUE(conns[0]["auth"].is_object()) << conns[0].dump();
    EXPECT_EQ(conns[0]["auth"]["uid"], uid_);
    EXPECT_EQ(counter("requests", "s"), 1);
    EXPECT_EQ(counter("auth", "ok"), 1);
    EXPECT_EQ(counter("stats", "sdk.objc.4-0-0"), 1);
    EXPECT_EQ(counter("stats", "persistence.ios.enabled"), 0);
    {
        std::lock_guard lock(delegate_->mutex);
        ASSERT_EQ(delegate_->infoUpdates.size(), 1u);
        const double offset = delegate_->infoUpdates[0].at("serverTimeOffset").asDouble();
        // The server's clock runs 10 s ahead (its timestamps are whole
        // milliseconds).
        EXPECT_GE(offset, 10000 - 2);
        EXPECT_LE(offset, 10000 + elapsedMs + 2);
    }
    {
        std::lock_guard lock(provider_->mutex);
        EXPECT_EQ(provider_->forces, std::vector<bool>{false});
    }

    // A dropped connection comes back with its session id; stats are not
    // sent again, the token is.
    const std::string session = conns[0]["session"].get<std::string>();
    admin("/__admin/rtdb/connections/kill", {{"ns", "demo"}});
    ASSERT_TRUE(waitDisconnects(1));
    advance(2.0);
    ASSERT_TRUE(waitConnects(2)) << delegate_->describe();
    ASSERT_TRUE(waitReady());
    conns = serverConnections();
    ASSERT_EQ(conns.size(), 1u);
    EXPECT_EQ(conns[0]["lastSession"], session);
    EXPECT_EQ(counter("requests", "s"), 1);
    EXPECT_EQ(counter("auth", "ok"), 2);
}

TEST_F(PersistentConnectionTest, TheHostedDomainConnectsOverTLS) {
    repoInfo_ = FUtilities::parseUrl("https://demo.quorvaneio.com").repoInfo;
    ASSERT_TRUE(repoInfo_->secure());
    connect();
    ASSERT_TRUE(waitReady());
    auto conns = serverConnections();
    ASSERT_EQ(conns.size(), 1u);
    EXPECT_EQ(conns[0]["tls"], true);
    EXPECT_EQ(conns[0]["host"], "demo.quorvaneio.com");
    onWorker([&] { connection_->putData(ns::Value("tls"), "/secure", std::nullopt, delegate_->completion("put")); });
    ASSERT_TRUE(delegate_->waitEvent("put ok"));
    EXPECT_EQ(serverData("/secure"), "tls");
}

TEST_F(PersistentConnectionTest, ListensGetTheirDataBeforeOkAndNothingWhenTheHashMatches) {
    setServerData("/items", {{"a", {{"n", 1}}}, {"b", {{"n", 2}}}, {"c", {{"n", 3}}}});
    setServerData("/shop", {{"name", "Almavel"}, {"open", true}});
    connect();
    ASSERT_TRUE(waitReady());

    const FQueryTag tag = 7;
    FQuerySpec firstTwo(FPath("/items"), FQueryParams::defaultInstance()->limitToFirst(2));
    onWorker([&] {
        connection_->listen(firstTwo, tag, emptyHash(), delegate_->listenCompletion("items"));
        connection_->listen(defaultQuery("/shop"), std::nullopt,
                            hashOf(ns::Value(ns::Dictionary{{"name", "Almavel"}, {"open", true}})),
                            delegate_->listenCompletion("shop"));
    });
    ASSERT_TRUE(delegate_->waitEvent("shop ok")) << delegate_->describe();
    EXPECT_LT(delegate_->indexOf("update /items"), delegate_->indexOf("items ok")) << delegate_->describe();
    EXPECT_EQ(delegate_->indexOf("update /shop"), -1) << delegate_->describe();
    {
        std::lock_guard lock(delegate_->mutex);
        ASSERT_EQ(delegate_->updates.size(), 1u);
        EXPECT_EQ(delegate_->updates[0].tag, tag);
        EXPECT_FALSE(delegate_->updates[0].isMerge);
        EXPECT_EQ(delegate_->updates[0].data,
                  ns::Value(ns::Dictionary{{"a", ns::Dictionary{{"n", 1}}}, {"b", ns::Dictionary{{"n", 2}}}}));
    }
    EXPECT_EQ(counter("listens", "upToDate"), 1);
    auto listens = serverConnections()[0]["listens"];
    ASSERT_EQ(listens.size(), 2u);

    // Later changes are pushed; an unlisten stops them, and an unknown
    // unlisten sends nothing.
    setServerData("/shop/open", false);
    ASSERT_TRUE(delegate_->waitEvent("update /shop/open")) << delegate_->describe();
    onWorker([&] {
        connection_->unlisten(defaultQuery("/shop"), std::nullopt);
        connection_->unlisten(defaultQuery("/nowhere"), std::nullopt);
        EXPECT_EQ(connection_->dumpListens().size(), 1u);
    });
    ASSERT_TRUE(pumpUntil([&] { return serverConnections()[0]["listens"].size() == 1; }));
    EXPECT_EQ(counter("requests", "n"), 1);

    // Two listens for equal queries keep one entry: the earlier one's
    // answer reaches no completion.
    onWorker([&] {
        connection_->listen(defaultQuery("/again"), std::nullopt, emptyHash(), delegate_->listenCompletion("first"));
        connection_->listen(defaultQuery("/again"), std::nullopt, emptyHash(), delegate_->listenCompletion("second"));
    });
    ASSERT_TRUE(delegate_->waitEvent("second ok"));
    EXPECT_FALSE(delegate_->hasEvent("first ok"));
}

TEST_F(PersistentConnectionTest, ALargeCacheGetsRangeMergesThatRebuildTheServersData) {
    json server = json::object();
    for (int i = 0; i < 300; ++i) {
        char key[8];
        std::snprintf(key, sizeof key, "k%03d", i);
        server[key] = {{"name", std::string("producto ") + key}, {"price", i}};
    }
    setServerData("/catalog", server);
    // The local cache differs in a few places: a changed price, a missing
    // item, an item the server no longer has.
    json local = server;
    local["k010"]["price"] = 999;
    local.erase("k150");
    local["k299x"] = {{"name", "gone"}, {"price", 0}};
    const ns::Value localValue = ns::json::parse(local.dump());
    const FNodePtr localNode = FSnapshotUtilities::nodeFrom(localValue);
    const FNodePtr serverNode = FSnapshotUtilities::nodeFrom(ns::json::parse(server.dump()));
    ASSERT_GT(FCompoundHash::fromNode(localNode).hashes().size(), 3u);

    faults({{"rangeMerges", true}});
    connect();
    ASSERT_TRUE(waitReady());
    onWorker([&] {
        connection_->listen(defaultQuery("/catalog"), std::nullopt, hashOf(localValue, true),
                            delegate_->listenCompletion("catalog"));
    });
    ASSERT_TRUE(delegate_->waitEvent("catalog ok")) << delegate_->describe();
    EXPECT_EQ(counter("listens", "rangeMerges"), 1);
    std::lock_guard lock(delegate_->mutex);
    ASSERT_EQ(delegate_->ranges.size(), 1u) << delegate_->describe();
    EXPECT_TRUE(delegate_->updates.empty());
    EXPECT_EQ(delegate_->ranges[0].path, "/catalog");
    EXPECT_FALSE(delegate_->ranges[0].tag);
    FNodePtr rebuilt = localNode;
    for (const auto& range : delegate_->ranges[0].ranges) rebuilt = range.applyToNode(rebuilt);
    EXPECT_TRUE(rebuilt->isEqual(*serverNode));
    // Only what differs came: fewer ranges than the hash has.
    EXPECT_LT(delegate_->ranges[0].ranges.size(), FCompoundHash::fromNode(localNode).hashes().size());
}

TEST_F(PersistentConnectionTest, PutsAndMergesAreAcknowledgedAndAStaleHashGetsDatastale) {
    connect();
    ASSERT_TRUE(waitReady());
    const ns::Value price(ns::Dictionary{{"precio", 12.5}, {"nombre", "café"}});
    onWorker([&] {
        connection_->putData(price, "/productos/p1", std::nullopt, delegate_->completion("put"));
        connection_->mergeData(ns::Dictionary{{"p2/nombre", "té"}, {"p1/stock", 4}}, "/productos",
                               delegate_->completion("merge"));
        connection_->putData(ns::Value(1), "/productos/p1/precio", std::string("not-the-hash"),
                             delegate_->completion("stale"));
        const std::string hash = FSnapshotUtilities::nodeFrom(ns::Value(12.5))->dataHash();
        connection_->putData(ns::Value(13), "/productos/p1/precio", hash, delegate_->completion("cas"));
    });
    ASSERT_TRUE(delegate_->waitEvent("cas ok")) << delegate_->describe();
    EXPECT_TRUE(delegate_->hasEvent("put ok"));
    EXPECT_TRUE(delegate_->hasEvent("merge ok"));
    EXPECT_TRUE(delegate_->hasEvent("stale datastale")) << delegate_->describe();
    EXPECT_EQ(serverData("/productos"),
              json::parse(R"({"p1":{"nombre":"café","precio":13,"stock":4},"p2":{"nombre":"té"}})"));
    onWorker([&] { EXPECT_EQ(connection_->outstandingPutCountForTesting(), 0u); });

    // A server refusal is passed on with its reason.
    admin("/__admin/rtdb/rules?ns=demo", {{"rules", {{".read", true}, {"cerrado", {{".write", false}}}}}});
    onWorker([&] { connection_->putData(ns::Value(1), "/cerrado/x", std::nullopt, delegate_->completion("denied")); });
    ASSERT_TRUE(delegate_->waitEvent("denied permission_denied")) << delegate_->describe();
}

TEST_F(PersistentConnectionTest, AKilledConnectionRestoresListensFirstThenOutstandingPutsInIdOrder) {
    connect();
    ASSERT_TRUE(waitReady());
    onWorker([&] {
        connection_->listen(defaultQuery("/w"), std::nullopt, emptyHash(), delegate_->listenCompletion("listen"));
        connection_->putData(ns::Value(0), "/acked", std::nullopt, delegate_->completion("p0"));
    });
    ASSERT_TRUE(delegate_->waitEvent("p0 ok"));
    ASSERT_EQ(counter("requests", "p"), 1);

    // The server applies the next put and drops the socket before answering.
    faults({{"killOn", {{"action", "p"}, {"apply", true}, {"closeFrame", false}}}});
    const std::string hash = FSnapshotUtilities::nodeFrom(ns::Value())->dataHash();
    onWorker([&] {
        connection_->putData(ns::Value(1), "/w/v", std::nullopt, delegate_->completion("p1"));
        connection_->putData(ns::Value(2), "/w/hashed", hash, delegate_->completion("p2"));
        connection_->putData(ns::Value(3), "/w/v", std::nullopt, delegate_->completion("p3"));
    });
    ASSERT_TRUE(waitDisconnects(1));
    ASSERT_TRUE(delegate_->waitEvent("p2 disconnect")) << delegate_->describe();
    {
        std::lock_guard lock(delegate_->mutex);
        EXPECT_EQ(delegate_->reasons["p2"], "Client was disconnected while running a transaction");
    }
    EXPECT_EQ(serverData("/w/v"), 1);
    EXPECT_EQ(counter("requests", "p"), 2);
    onWorker([&] { EXPECT_EQ(connection_->outstandingPutCountForTesting(), 2u); });

    // Back-off: a connection that lived a short while is retried after
    // 0.3 to 1 s, not at once.
    advance(0.29);
    drainWorker();
    EXPECT_EQ(state(), ConnectionStateDisconnected);
    EXPECT_TRUE(serverConnections().empty());

    // The next connection dies at its first listen: had a put gone first,
    // the server would have counted it.
    faults({{"killOn", {{"action", "q"}, {"apply", false}, {"closeFrame", false}}}});
    advance(0.71);
    ASSERT_TRUE(waitDisconnects(2)) << delegate_->describe();
    EXPECT_EQ(counter("requests", "p"), 2);
    EXPECT_EQ(counter("requests", "q"), 2);

    advance(2.0);
    ASSERT_TRUE(waitConnects(3)) << delegate_->describe();
    ASSERT_TRUE(delegate_->waitFor([&] {
        size_t oks = 0;
        for (const auto& e : delegate_->events) oks += e == "p1 ok" || e == "p3 ok";
        return oks == 2;
    })) << delegate_->describe();
    // Ascending ids: the last value written is p3's.
    EXPECT_EQ(serverData("/w/v"), 3);
    EXPECT_TRUE(serverData("/w/hashed").is_null());
    EXPECT_EQ(serverData("/acked"), 0);
    // p0 was acknowledged and never sent again; p1 and p3 went once more.
    EXPECT_EQ(counter("requests", "p"), 4);
    EXPECT_LT(delegate_->indexOf("p1 ok"), delegate_->indexOf("p3 ok"));
    // Each completion ran once.
    std::lock_guard lock(delegate_->mutex);
    for (const char* e : {"p0 ok", "p1 ok", "p2 disconnect", "p3 ok"}) {
        EXPECT_EQ(std::count(delegate_->events.begin(), delegate_->events.end(), e), 1) << e;
    }
}

TEST_F(PersistentConnectionTest, AcknowledgedWritesAndInFlightOnDisconnectRequestsCompleteAtTheDrop) {
    connect();
    ASSERT_TRUE(waitReady());
    // The put is answered while the listen after it is unanswered; then the
    // connection closes before the listen's answer. (A compare-and-set that
    // fails writes nothing, so its answer goes out at once.)
    faults({{"killOn", {{"action", "q"}, {"apply", false}, {"closeFrame", true}}}});
    onWorker([&] {
        connection_->putData(ns::Value("x"), "/held", std::string("stale"), delegate_->completion("held"));
        connection_->listen(defaultQuery("/held"), std::nullopt, emptyHash(), delegate_->listenCompletion("q"));
    });
    ASSERT_TRUE(waitDisconnects(1));
    // Delivered at the drop, with no new connection and no listen answer.
    ASSERT_TRUE(delegate_->waitEvent("held datastale")) << delegate_->describe();
    EXPECT_FALSE(delegate_->hasEvent("q ok"));
    EXPECT_EQ(state(), ConnectionStateDisconnected);

    advance(2.0);
    ASSERT_TRUE(waitConnects(2));
    ASSERT_TRUE(delegate_->waitEvent("q ok"));
    {
        std::lock_guard lock(delegate_->mutex);
        EXPECT_EQ(std::count(delegate_->events.begin(), delegate_->events.end(), "held datastale"), 1);
    }

    // An on-disconnect request the drop catches unanswered.
    faults({{"killOn", {{"action", "o"}, {"apply", false}, {"closeFrame", false}}}});
    onWorker([&] {
        connection_->onDisconnectPutData(ns::Value("bye"), FPath("/status"), delegate_->completion("od"));
    });
    ASSERT_TRUE(delegate_->waitEvent("od disconnect")) << delegate_->describe();
    // The request fails before the retry is scheduled: the clock moves only
    // once the drop has been seen through, or the retry would be set past it.
    ASSERT_TRUE(waitDisconnects(2)) << delegate_->describe();
    // Not sent again after the next handshake.
    advance(2.0);
    ASSERT_TRUE(waitConnects(3));
    ASSERT_TRUE(waitReady());
    EXPECT_EQ(counter("requests", "o"), 1);

    // Made while disconnected, it waits for the connection and is then run
    // by the server when that connection ends.
    onWorker([&] { connection_->interruptForReason(kFInterruptReasonRepoInterrupt); });
    ASSERT_TRUE(waitDisconnects(3));
    onWorker([&] {
        connection_->onDisconnectPutData(ns::Value("offline"), FPath("/status"), delegate_->completion("queued"));
        connection_->onDisconnectMergeData(ns::Dictionary{{"a", 1}}, FPath("/m"), delegate_->completion("merge"));
        connection_->resumeForReason(kFInterruptReasonRepoInterrupt);
    });
    ASSERT_TRUE(delegate_->waitEvent("merge ok")) << delegate_->describe();
    EXPECT_TRUE(delegate_->hasEvent("queued ok"));
    admin("/__admin/rtdb/connections/kill", {{"ns", "demo"}});
    ASSERT_TRUE(pumpUntil([&] { return serverData("/status") == "offline"; }));
    EXPECT_EQ(serverData("/m"), json({{"a", 1}}));
}

TEST_F(PersistentConnectionTest, PurgedWritesAndQueuedOnDisconnectRequestsAreCanceled) {
    connect();
    ASSERT_TRUE(waitReady());
    onWorker([&] {
        connection_->interruptForReason(kFInterruptReasonRepoInterrupt);
        connection_->putData(ns::Value(1), "/a", std::nullopt, delegate_->completion("a"));
        connection_->mergeData(ns::Dictionary{{"x", 1}}, "/b", delegate_->completion("b"));
        connection_->onDisconnectCancelPath(FPath("/c"), delegate_->completion("c"));
        connection_->purgeOutstandingWrites();
        EXPECT_EQ(connection_->outstandingPutCountForTesting(), 0u);
    });
    std::lock_guard lock(delegate_->mutex);
    std::vector<std::string> tail(delegate_->events.end() - 3, delegate_->events.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"a write_canceled", "b write_canceled", "c write_canceled"}));
}

TEST_F(PersistentConnectionTest, AResetMovesTheClientAndAFailedRedirectFallsBackToTheConfiguredHost) {
    connect();
    ASSERT_TRUE(waitReady());
    const int alternate = get("/__admin/rtdb/info")["alternatePort"].get<int>();
    const std::string moved = "demo.ns.localhost:" + std::to_string(alternate);
    const std::string key = "quorvane:host:" + repoInfo_->host();

    admin("/__admin/rtdb/connections/reset", {{"ns", "demo"}, {"host", moved}});
    // A reset reconnects at once, without moving the clock.
    ASSERT_TRUE(waitConnects(2)) << delegate_->describe();
    EXPECT_EQ(repoInfo_->internalHost(), moved);
    EXPECT_EQ(ns::UserDefaults::standard()->stringForKey(key), moved);
    ASSERT_TRUE(pumpUntil([&] {
        auto conns = serverConnections();
        return conns.size() == 1 && conns[0]["host"] == moved;
    }));

    // Sent to a port where nothing listens: that attempt fails before
    // opening, and the next one goes to the configured host.
    admin("/__admin/rtdb/connections/reset", {{"ns", "demo"}, {"host", "demo.ns.localhost:1"}});
    // The failed attempt's disconnect comes after its retry is scheduled: the
    // clock moves only once that retry waits on it.
    ASSERT_TRUE(waitDisconnects(3)) << delegate_->describe();
    EXPECT_FALSE(ns::UserDefaults::standard()->stringForKey(key).has_value());
    EXPECT_EQ(repoInfo_->internalHost(), repoInfo_->host());
    advance(2.0);
    ASSERT_TRUE(waitConnects(3)) << delegate_->describe();
    // The server drops the moved connection from its list once it sees it close.
    ASSERT_TRUE(pumpUntil([&] {
        auto conns = serverConnections();
        return conns.size() == 1 && conns[0]["host"] == repoInfo_->host();
    })) << serverConnections().dump();
}

TEST_F(PersistentConnectionTest, AfterAShutdownItNeverReconnects) {
    connect();
    ASSERT_TRUE(waitReady());
    auto capture = ns::SystemLog::capture();
    admin("/__admin/rtdb/connections/shutdown", {{"ns", "demo"}, {"reason", "namespace disabled"}});
    ASSERT_TRUE(waitDisconnects(1));
    onWorker([&] { EXPECT_TRUE(connection_->isInterruptedForReason(kFInterruptReasonServerKill)); });
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("[Quorvane/Database][I-RDB034005] Quorvane Database connection was forcefully killed "
                                 "by the server.  Will not attempt reconnect. Reason: namespace disabled"));

    // Neither time, the foreground, the network nor resuming other reasons
    // bring it back.
    advance(120);
    ns::NotificationCenter::defaultCenter().post(ns::kUIApplicationWillEnterForegroundNotification);
    onWorker([&] {
        connection_->interruptForReason(kFInterruptReasonRepoInterrupt);
        connection_->resumeForReason(kFInterruptReasonRepoInterrupt);
    });
    advance(120);
    drainWorker();
    EXPECT_EQ(state(), ConnectionStateDisconnected);
    // The server forgets the closed connection once its side has ended,
    // which may be a moment after our side reported it.
    EXPECT_TRUE(pumpUntil([&] { return serverConnections().empty(); })) << serverConnections().dump();
    EXPECT_EQ(state(), ConnectionStateDisconnected);
    std::lock_guard lock(provider_->mutex);
    EXPECT_EQ(provider_->forces.size(), 1u);
}

TEST_F(PersistentConnectionTest, AnExpiredOrRevokedTokenLeadsToARefreshedTokenAndANewConnection) {
    // Two hours ahead, the server finds every token expired.
    faults({{"clockOffsetMs", 2 * 3600 * 1000}});
    connect();
    ASSERT_TRUE(waitDisconnects(1)) << delegate_->describe();
    EXPECT_EQ(counter("auth", "expired_token"), 1);
    EXPECT_EQ(state(), ConnectionStateDisconnected);

    faults({{"clockOffsetMs", 0}});
    advance(2.0);
    ASSERT_TRUE(waitConnects(2));
    ASSERT_TRUE(waitReady());
    EXPECT_EQ(counter("auth", "ok"), 1);
    {
        std::lock_guard lock(provider_->mutex);
        EXPECT_EQ(provider_->forces, (std::vector<bool>{false, true}));
    }
    ASSERT_TRUE(serverConnections()[0]["auth"].is_object());

    // Revoked while connected: the server pushes "ac"; a refreshed token
    // is fetched for the next connection.
    admin("/__admin/rtdb/auth/revoke", {{"uid", uid_}, {"status", "invalid_token"}});
    ASSERT_TRUE(waitDisconnects(2));
    advance(2.0);
    ASSERT_TRUE(waitConnects(3));
    ASSERT_TRUE(waitReady());
    std::lock_guard lock(provider_->mutex);
    EXPECT_EQ(provider_->forces, (std::vector<bool>{false, true, true}));
    ASSERT_EQ(provider_->tokens.size(), 3u);
    EXPECT_NE(provider_->tokens[2], provider_->tokens[1]);
}

TEST_F(PersistentConnectionTest, WhileAuthenticatingListensGoAtOnceAndWritesWaitForTheRestore) {
    // The auth answer is held: the client stays in the authenticating state.
    faults({{"holdAnswers", true}});
    connect();
    ASSERT_TRUE(pumpUntil([&] { return state() == ConnectionStateAuthenticating; }));
    onWorker([&] {
        EXPECT_TRUE(connection_->connected());
        EXPECT_FALSE(connection_->canSendWrites());
        connection_->listen(defaultQuery("/l"), std::nullopt, emptyHash(), delegate_->listenCompletion("l"));
        connection_->putData(ns::Value(1), "/w", std::nullopt, delegate_->completion("w"));
    });
    ASSERT_TRUE(pumpUntil([&] { return counter("requests", "q") == 1; }));
    EXPECT_EQ(counter("requests", "p"), 0);

    faults({{"holdAnswers", false}});
    ASSERT_TRUE(delegate_->waitEvent("w ok")) << delegate_->describe();
    EXPECT_EQ(counter("requests", "q"), 2);
    EXPECT_EQ(counter("requests", "p"), 1);
    EXPECT_EQ(state(), ConnectionStateConnected);
}

TEST_F(PersistentConnectionTest, TokenChangesWhileConnectedAreSentAndSigningOutSendsUnauth) {
    connect();
    ASSERT_TRUE(waitReady());
    std::optional<std::string> token;
    {
        std::lock_guard lock(provider_->mutex);
        token = provider_->tokens.back();
    }
    onWorker([&] { connection_->refreshAuthToken(std::nullopt); });
    ASSERT_TRUE(pumpUntil([&] { return serverConnections()[0]["auth"].is_null(); }));
    EXPECT_EQ(counter("requests", "unauth"), 1);
    onWorker([&] { connection_->refreshAuthToken(token); });
    ASSERT_TRUE(pumpUntil([&] { return serverConnections()[0]["auth"].is_object(); }));
    EXPECT_EQ(counter("requests", "auth"), 2);
    EXPECT_EQ(state(), ConnectionStateConnected);
}

TEST_F(PersistentConnectionTest, ListensTheServerCancelsAreRemovedWithPermissionDenied) {
    connect();
    ASSERT_TRUE(waitReady());
    onWorker([&] {
        connection_->listen(defaultQuery("/a"), std::nullopt, emptyHash(), delegate_->listenCompletion("a"));
        connection_->listen(defaultQuery("/a/b"), std::nullopt, emptyHash(), delegate_->listenCompletion("ab"));
        connection_->listen(defaultQuery("/x"), std::nullopt, emptyHash(), delegate_->listenCompletion("x"));
    });
    ASSERT_TRUE(delegate_->waitEvent("x ok"));
    // Only /a becomes unreadable: the server cancels the listen at /a ("c").
    admin("/__admin/rtdb/rules?ns=demo",
          {{"rules", {{"a", {{"$k", {{".read", true}}}}}, {"x", {{".read", true}}}}}});
    ASSERT_TRUE(delegate_->waitEvent("a permission_denied")) << delegate_->describe();
    onWorker([&] {
        const auto& listens = connection_->dumpListens();
        EXPECT_EQ(listens.size(), 2u);
        EXPECT_FALSE(listens.count(defaultQuery("/a")));
        EXPECT_TRUE(listens.count(defaultQuery("/a/b")));
    });
    // A listen refused outright is removed too.
    onWorker([&] {
        connection_->listen(defaultQuery("/a"), std::nullopt, emptyHash(), delegate_->listenCompletion("again"));
    });
    ASSERT_TRUE(delegate_->waitEvent("again permission_denied"));
    onWorker([&] { EXPECT_FALSE(connection_->dumpListens().count(defaultQuery("/a"))); });
}

TEST_F(PersistentConnectionTest, ServerInputTheDatabaseCannotUseIsDroppedAndTheConnectionStays) {
    connect();
    ASSERT_TRUE(waitReady());
    auto capture = ns::SystemLog::capture();
    auto push = [&](const json& action, const json& body) {
        admin("/__admin/rtdb/connections/send",
              {{"ns", "demo"}, {"packet", {{"t", "d"}, {"d", {{"a", action}, {"b", body}}}}}});
    };
    for (const char* kind : {"malformed", "error", "noType"}) {
        admin("/__admin/rtdb/connections/send", {{"ns", "demo"}, {"kind", kind}});
    }
    push("d", {{"p", "/x"}, {"d", {{"a.b", 1}}}});               // invalid key
    push("d", {{"p", "/x"}, {"d", {{".sv", "timestamp"}, {"x", 1}}}});
    push("m", {{"p", "/x"}, {"d", {1, 2, 3}}});                    // merge body not an object
    push("m", {{"p", "/x"}, {"d", {{"a/b", 1}, {"a", 2}}}});       // a key inside another
    push("m", {{"p", "/x"}, {"d", json::object()}});               // empty merge: nothing
    push("d", {{"p", 5}, {"d", 1}});                               // path not a text
    push("d", {{"p", "/x"}, {"d", 1}, {"t", "seven"}});            // tag not a number
    push("d", {{"p", "/x"}});                                      // no data
    push("rm", {{"p", "/x"}, {"d", {{{"s", 1}, {"m", 1}}}}});      // range bound not a path
    push("rm", {{"p", "/x"}, {"d", "ranges"}});
    push("c", {{"q", "/x"}});
    push("zz", json::object());
    push(42, json::object());
    // Something usable after all that arrives, with the conversion that
    // checked it.
    push("m", {{"p", "/merged"}, {"d", {{"a/b", 1}, {"c", "x"}}}});
    push("d", {{"p", "/ok"}, {"d", {{"fine", true}}}, {"t", 3}});
    ASSERT_TRUE(delegate_->waitEvent("update /ok")) << delegate_->describe();
    {
        std::lock_guard lock(delegate_->mutex);
        ASSERT_EQ(delegate_->updates.size(), 2u) << delegate_->describe();
        EXPECT_TRUE(delegate_->updates[0].isMerge);
        EXPECT_EQ(delegate_->updates[0].checked, ns::json::parse(R"({"a": {"b": 1}, "c": "x"})"));
        EXPECT_EQ(delegate_->updates[1].tag, 3u);
        EXPECT_EQ(delegate_->updates[1].checked, delegate_->updates[1].data);
    }
    EXPECT_EQ(state(), ConnectionStateConnected);
    EXPECT_FALSE(delegate_->hasEvent("disconnect"));
    onWorker([&] { connection_->putData(ns::Value(1), "/after", std::nullopt, delegate_->completion("after")); });
    ASSERT_TRUE(delegate_->waitEvent("after ok"));
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("I-RDB034046")) << "server error not reported";
    EXPECT_TRUE(capture.contains("I-RDB034047"));
}

// Pushed objects of thousands of children are converted a share of children
// per thread: the node (priorities, order, dropped empties) and every
// refusal must be the whole object's conversion.
TEST_F(PersistentConnectionTest, LargePushedObjectsConvertAsTheWholeObjectWould) {
    connect();
    ASSERT_TRUE(waitReady());
    auto children = [](const std::function<void(json&, int)>& add) {
        json data = json::object();
        for (int i = 0; i < 5000; ++i) add(data, i);
        return data;
    };
    auto record = [](int i) {
        return json{{"n", "P" + std::to_string(i)}, {"p", i + 0.25}, {"s", i % 13}, {"o", i % 3 == 0}};
    };
    struct Case {
        const char* name;
        json data;
        bool dropped = false;
    };
    json withPriority = children([&](json& d, int i) { d["k" + std::to_string(i)] = record(i); });
    withPriority[".priority"] = 5;
    json deepBadKey = children([&](json& d, int i) { d["k" + std::to_string(i)] = record(i); });
    deepBadKey["k4321"]["x"] = {{"bad.key", 1}};
    json badKey = children([&](json& d, int i) { d["k" + std::to_string(i)] = record(i); });
    badKey["a#b"] = 1;
    const std::vector<Case> cases = {
        {"records", children([&](json& d, int i) { d["k" + std::to_string(i)] = record(i); })},
        {"integer and text keys, nulls and empties", children([](json& d, int i) {
             const std::string key = i % 2 ? "t" + std::to_string(i) : std::to_string(i);
             d[key] = i % 7 == 0 ? json(nullptr) : i % 11 == 0 ? json::object() : i % 13 == 0 ? json{{"x", nullptr}} : json(i);
         })},
        {"priorities, values and server values inside children", children([](json& d, int i) {
             const std::string key = "k" + std::to_string(i);
             if (i % 3 == 0) d[key] = {{".priority", i}, {"v", 1}};
             if (i % 3 == 1) d[key] = {{".value", "x"}, {".priority", "p" + std::to_string(i)}};
             if (i % 3 == 2) d[key] = {{".sv", "timestamp"}};
         })},
        {"a priority of the object itself", withPriority},
        {"an invalid key deep inside", deepBadKey, true},
        {"an invalid key among the children", badKey, true},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        const std::string path = "/large" + std::to_string(i);
        for (const auto& [target, data] : {std::pair{path, cases[i].data}, {path + "/done", json(true)}}) {
            admin("/__admin/rtdb/connections/send",
                  {{"ns", "demo"}, {"packet", {{"t", "d"}, {"d", {{"a", "d"}, {"b", {{"p", target}, {"d", data}}}}}}}});
        }
        ASSERT_TRUE(delegate_->waitEvent("update " + path + "/done")) << delegate_->describe();
        std::lock_guard lock(delegate_->mutex);
        auto update = std::find_if(delegate_->updates.begin(), delegate_->updates.end(),
                                   [&](const auto& u) { return u.path == path; });
        if (cases[i].dropped) {
            EXPECT_EQ(update, delegate_->updates.end());
            continue;
        }
        ASSERT_NE(update, delegate_->updates.end());
        const FNodePtr expected = FSnapshotUtilities::nodeFrom(ns::json::parse(cases[i].data.dump()));
        EXPECT_EQ(ns::json::serialize(update->checkedNode->valForExport(true)),
                  ns::json::serialize(expected->valForExport(true)));
        EXPECT_TRUE(update->checkedNode->isEqual(*expected));
        std::vector<std::string> order, expectedOrder;
        update->checkedNode->enumerateChildren([&](const std::string& k, const FNodePtr&, bool&) { order.push_back(k); });
        expected->enumerateChildren([&](const std::string& k, const FNodePtr&, bool&) { expectedOrder.push_back(k); });
        EXPECT_EQ(order, expectedOrder);
    }
}

TEST_F(PersistentConnectionTest, CountFramedPacketsFromTheServerAreJoined) {
    faults({{"splitFrames", 100}});
    setServerData("/big", {{"text", std::string(5000, 'z')}});
    connect();
    ASSERT_TRUE(waitReady());
    onWorker([&] {
        connection_->listen(defaultQuery("/big"), std::nullopt, emptyHash(), delegate_->listenCompletion("big"));
    });
    ASSERT_TRUE(delegate_->waitEvent("big ok"));
    std::lock_guard lock(delegate_->mutex);
    ASSERT_EQ(delegate_->updates.size(), 1u);
    EXPECT_EQ(delegate_->updates[0].data["text"], ns::Value(std::string(5000, 'z')));
}

TEST_F(PersistentConnectionTest, InterruptsHoldTheConnectionDownAndLateTokensAreIgnored) {
    {
        std::lock_guard lock(provider_->mutex);
        provider_->hold = true;
    }
    connect(false);
    ASSERT_TRUE(pumpUntil([&] {
        std::lock_guard lock(provider_->mutex);
        return provider_->held.size() == 1;
    }));
    EXPECT_EQ(state(), ConnectionStateGettingToken);
    // Interrupted while waiting for the token: the token, when it comes, is not used.
    onWorker([&] { connection_->interruptForReason(kFInterruptReasonRepoInterrupt); });
    EXPECT_EQ(state(), ConnectionStateDisconnected);
    FAuthTokenProvider::TokenCallback late;
    {
        std::lock_guard lock(provider_->mutex);
        late = provider_->held[0];
    }
    FWorkerQueue::sharedQueue()->async([late] { late(std::string("late-token"), nullptr); });
    drainWorker();
    EXPECT_EQ(state(), ConnectionStateDisconnected);
    EXPECT_TRUE(serverConnections().empty());

    // Resumed: a new attempt; an answer to the older one, even arriving
    // first, is ignored.
    onWorker([&] { connection_->resumeForReason(kFInterruptReasonRepoInterrupt); });
    ASSERT_TRUE(pumpUntil([&] {
        std::lock_guard lock(provider_->mutex);
        return provider_->held.size() == 2;
    }));
    FWorkerQueue::sharedQueue()->async([late] { late(std::string("older-token"), nullptr); });
    drainWorker();
    EXPECT_EQ(state(), ConnectionStateGettingToken);
    FAuthTokenProvider::TokenCallback current;
    {
        std::lock_guard lock(provider_->mutex);
        current = provider_->held[1];
        provider_->hold = false;
    }
    FWorkerQueue::sharedQueue()->async([current] { current(std::nullopt, nullptr); });
    ASSERT_TRUE(waitConnects(1));
    ASSERT_TRUE(waitReady());
    // Without a token nothing is authenticated.
    EXPECT_TRUE(serverConnections()[0]["auth"].is_null());
    EXPECT_EQ(counter("requests", "auth"), 0);
}

TEST_F(PersistentConnectionTest, TheForegroundAndTheNetworkTriggerAnImmediateAttempt) {
    connect();
    ASSERT_TRUE(waitReady());
    // A token error leaves the client disconnected, waiting out a delay.
    {
        std::lock_guard lock(provider_->mutex);
        provider_->hold = true;
    }
    admin("/__admin/rtdb/connections/kill", {{"ns", "demo"}});
    ASSERT_TRUE(waitDisconnects(1));
    advance(2.0);
    ASSERT_TRUE(pumpUntil([&] {
        std::lock_guard lock(provider_->mutex);
        return provider_->held.size() == 1;
    }));
    FAuthTokenProvider::TokenCallback failing;
    {
        std::lock_guard lock(provider_->mutex);
        failing = provider_->held[0];
        provider_->hold = false;
    }
    FWorkerQueue::sharedQueue()->async([failing] { failing(std::nullopt, ns::Error::make("auth", 17020)); });
    drainWorker();
    EXPECT_EQ(state(), ConnectionStateDisconnected);

    // Coming to the foreground retries now, without moving the clock.
    ns::NotificationCenter::defaultCenter().post(ns::kUIApplicationWillEnterForegroundNotification);
    ASSERT_TRUE(waitConnects(2)) << delegate_->describe();
    ASSERT_TRUE(waitReady());

    // So does the network coming back.
    admin("/__admin/rtdb/connections/kill", {{"ns", "demo"}});
    ASSERT_TRUE(waitDisconnects(2));
    ns::Reachability::setOverride(ns::Reachability::Status::NotReachable);
    ns::Reachability::setOverride(ns::Reachability::Status::ReachableViaWiFi);
    ASSERT_TRUE(waitConnects(3)) << delegate_->describe();
    ns::Reachability::setOverride(std::nullopt);
}

}  // namespace

// Data pushes are read from the packet's text straight into nodes: the node,
// the values the delegate sees and every refusal must be those of the whole
// packet parsed into values and converted.
TEST_F(PersistentConnectionTest, PushedTextBecomesTheNodeItsValuesWould) {
    connect();
    ASSERT_TRUE(waitReady());
    std::string large = "{";
    for (int i = 0; i < 5000; ++i) {
        large += "\"k" + std::to_string(i) + "\":{\"n\":" + std::to_string(i) + ",\"s\":\"x\"},";
    }
    std::string deep = "1";
    for (int i = 0; i < 80; ++i) deep = "{\"d\":" + deep + "}";
    struct Case {
        const char* name;
        std::string action;
        std::string body;  // the push's body, as the server would word it
    };
    const std::vector<Case> cases = {
        {"plain value", "d", R"({"p":"/v","d":42})"},
        {"nested object, nulls and empties", "d", R"({"p":"/v","d":{"b":{"c":"x","n":null},"e":{},"a":[true,1.5]}})"},
        {"array-like", "d", R"({"p":"/v","d":[10,null,{"x":1},"s"]})"},
        {"integer keys before text keys", "d", R"({"d":{"10":1,"9":2,"a":3,"-1":4},"p":"/v"})"},
        {"priorities, values and server values", "d",
         R"({"p":"/v","d":{".priority":5,"a":{".value":"x",".priority":"p"},"b":{".sv":"timestamp"}}})"},
        {"a key twice: the last one", "d", R"({"p":"/v","d":{"a":1,"b":2,"a":{"c":3}}})"},
        {"numbers of every kind", "d",
         R"({"p":"/v","d":{"i":-9223372036854775808,"u":18446744073709551615,"f":1.5e300,"z":-0.0}})"},
        {"unicode escapes", "d", R"({"p":"/v","d":{"k\u00e9":"\ud83d\ude00 \"q\" \\ \u0001","\u6771":"\u00e9"}})"},
        {"deep nesting", "d", R"({"p":"/v","d":)" + deep + "}"},
        {"large object", "d", R"({"p":"/v","t":7,"d":)" + large + R"("k17":5,"10":{".priority":1,"v":2}}})"},
        {"merge", "m", R"({"p":"/v","d":{"a/b":1,"c":{"d":true}},"t":3})"},
        {"unstorable key", "d", R"({"p":"/v","d":{"a.b":1}})"},
        {"unstorable in a large object", "d", R"({"p":"/v","d":)" + large + R"("bad":{"x#":1}}})"},
        {"unstorable merge", "m", R"({"p":"/v","d":{"a/b":1,"a":2}})"},
        {"unusable tag", "d", R"({"p":"/v","d":1,"t":"seven"})"},
        {"the packet is not JSON", "d", R"({"p":"/v","d":[1,,2]})"},
    };
    auto capture = ns::SystemLog::capture();
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].name);
        std::string text = R"({"t":"d","d":{"a":")" + cases[i].action + R"(","b":)" + cases[i].body + "}}";
        const std::string path = "/case" + std::to_string(i);
        text.replace(text.find("\"/v\""), 4, "\"" + path + "\"");
        const std::string done = R"({"t":"d","d":{"a":"d","b":{"p":")" + path + R"(/done","d":1}}})";
        admin("/__admin/rtdb/connections/send", {{"ns", "demo"}, {"frames", {text, done}}});
        ASSERT_TRUE(delegate_->waitEvent("update " + path + "/done")) << delegate_->describe();

        // What the values would have given.
        ns::ErrorRef error;
        const ns::Value packet = ns::json::parse(text, &error);
        const ns::Value& data = packet["d"]["b"]["d"];
        FNodePtr expected;
        try {
            if (!error && cases[i].action == "m") {
                expected = FSnapshotUtilities::compoundWriteFromDictionary(data.asDictionary(), "onDataUpdate")
                               .applyToNode(FEmptyNode::emptyNode());
            } else if (!error) {
                expected = FSnapshotUtilities::nodeFrom(data);
            }
        } catch (const ns::Exception&) {
        }
        std::lock_guard lock(delegate_->mutex);
        auto update = std::find_if(delegate_->updates.begin(), delegate_->updates.end(),
                                   [&](const auto& u) { return u.path == path; });
        const bool usableTag = !packet["d"]["b"]["t"].isString();
        if (!expected || !usableTag) {
            EXPECT_EQ(update, delegate_->updates.end());
            continue;
        }
        ASSERT_NE(update, delegate_->updates.end());
        EXPECT_EQ(update->data, data);
        EXPECT_EQ(update->isMerge, cases[i].action == "m");
        EXPECT_EQ(update->tag.has_value(), packet["d"]["b"]["t"].isNumber());
        EXPECT_TRUE(update->checkedNode->isEqual(*expected));
        EXPECT_EQ(ns::json::serialize(update->checkedNode->valForExport(true)),
                  ns::json::serialize(expected->valForExport(true)));
        std::vector<std::string> order, expectedOrder;
        update->checkedNode->enumerateChildren([&](const std::string& k, const FNodePtr&, bool&) { order.push_back(k); });
        expected->enumerateChildren([&](const std::string& k, const FNodePtr&, bool&) { expectedOrder.push_back(k); });
        EXPECT_EQ(order, expectedOrder);
    }
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("I-RDB034047"));
    EXPECT_EQ(state(), ConnectionStateConnected);
}
