// The framed connection against real peers on loopback: the back end's echo
// endpoint (frames come back as sent) and its raw endpoint (frames written by
// hand, and the client's frames as they arrived). Time-driven behaviour
// (keep-alive, connect time-out) runs on the virtual clock.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "connection_test_support.h"
#include "core/QRVLogger.h"
#include "database/connection/FConnection.h"
#include "database/connection/FConstants.h"
#include "database/connection/FWebSocketConnection.h"
#include "database/model/FUtilities.h"
#include "platform/clock.h"
#include "platform/json.h"
#include "platform/system_log.h"
#include "platform/user_defaults.h"
#include "testing/temp_sandbox.h"

namespace {

using namespace conntest;

// Records what a web-socket connection tells its owner.
class SocketRecorder : public FWebSocketDelegate {
public:
    void onMessage(FWebSocketConnection&, const std::optional<ns::Value>& message) override {
        std::lock_guard lock(mutex);
        messages.push_back(message);
    }
    void onDisconnect(FWebSocketConnection&, bool wasEverConnected) override {
        std::lock_guard lock(mutex);
        disconnects.push_back(wasEverConnected);
    }
    bool waitMessages(size_t n) { return waitLocked(mutex, [&] { return messages.size() >= n; }); }
    bool waitDisconnect() { return waitLocked(mutex, [&] { return !disconnects.empty(); }); }
    std::mutex mutex;
    std::vector<std::optional<ns::Value>> messages;
    std::vector<bool> disconnects;
};

// Records what a framed connection tells its owner.
class ConnectionRecorder : public FConnectionDelegate {
public:
    void onReady(FConnection&, std::optional<double> timestamp, const std::optional<std::string>& sessionID) override {
        std::lock_guard lock(mutex);
        events.push_back("ready " + (timestamp ? ns::formatDouble(*timestamp) : "-") + " " + sessionID.value_or("-"));
    }
    void onDataMessage(FConnection&, const ns::Dictionary& message) override {
        std::lock_guard lock(mutex);
        events.push_back("data " + ns::json::serialize(ns::Value(message)));
    }
    void onDisconnect(FConnection&, FDisconnectReason reason) override {
        std::lock_guard lock(mutex);
        events.push_back("disconnect " + std::to_string(int(reason)));
    }
    void onKill(FConnection&, const std::string& reason) override {
        std::lock_guard lock(mutex);
        events.push_back("kill " + reason);
    }
    bool waitEvents(size_t n) { return waitLocked(mutex, [&] { return events.size() >= n; }); }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return events;
    }
    std::mutex mutex;
    std::vector<std::string> events;
};

std::string handshake(const ns::Value& host, const std::string& session = "sess-1", double ts = 1700000000123.0) {
    ns::Dictionary data{{"ts", ts}, {"s", session}, {"v", "5"}};
    if (!host.isNull()) data["h"] = host;
    return ns::json::serialize(
        ns::Value(ns::Dictionary{{"t", "c"}, {"d", ns::Dictionary{{"t", "h"}, {"d", data}}}}));
}

std::string control(const std::string& type, const ns::Value& data) {
    return ns::json::serialize(ns::Value(ns::Dictionary{{"t", "c"}, {"d", ns::Dictionary{{"t", type}, {"d", data}}}}));
}

class FramedConnectionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { backend_ = ns::testing::Backend::start(); }
    static void TearDownTestSuite() { backend_.reset(); }

    void TearDown() override {
        ns::RunLoop::main().runOnce();
        drainWorker();
    }

    std::string echoURL() const { return "ws://echo.localhost:" + std::to_string(backend_->wsPort()) + "/echo"; }
    // A unique raw peer per test.
    RawPeer peer(const std::string& suffix = "") const {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        return RawPeer(*backend_, std::string(info->name()) + suffix);
    }

    std::shared_ptr<FWebSocketConnection> openSocket(const std::string& url, const std::shared_ptr<SocketRecorder>& r) {
        std::shared_ptr<FWebSocketConnection> conn;
        onWorker([&] {
            conn = FWebSocketConnection::makeWithURLForTesting(url, FWorkerQueue::sharedQueue());
            conn->setDelegate(r);
            conn->open();
        });
        return conn;
    }

    std::shared_ptr<FRepoInfo> repoInfo() const {
        return FUtilities::parseUrl(ns::testing::databaseURL(*backend_, "demo")).repoInfo;
    }

    std::shared_ptr<FConnection> openConnection(const std::shared_ptr<FRepoInfo>& info, const RawPeer& raw,
                                                const std::shared_ptr<ConnectionRecorder>& recorder) {
        std::shared_ptr<FConnection> connection;
        onWorker([&] {
            connection = FConnection::makeWithURLForTesting(info, FWorkerQueue::sharedQueue(), raw.url());
            connection->setDelegate(recorder);
            connection->open();
        });
        EXPECT_TRUE(pumpUntil([&] { return raw.connected(); }));
        return connection;
    }

    static std::unique_ptr<ns::testing::Backend> backend_;
    ns::testing::TempSandbox sandbox_;
};

std::unique_ptr<ns::testing::Backend> FramedConnectionTest::backend_;

// A packet whose JSON text is {"a":"xxx..."} with `length` characters in all.
ns::Value packetOfLength(size_t length) {
    return ns::Value(ns::Dictionary{{"a", std::string(length - 8, 'x')}});
}

TEST_F(FramedConnectionTest, PacketsAreCutAtSixteenThousandCharactersWithACountFirst) {
    auto raw = peer();
    auto recorder = std::make_shared<SocketRecorder>();
    auto conn = openSocket(raw.url(), recorder);
    // Open once the keep-alive timer runs.
    ASSERT_TRUE(pumpUntil([&] { return conn->keepAliveTimerForTesting() != nullptr; }));
    ASSERT_EQ(ns::json::serialize(packetOfLength(16384)).size(), 16384u);

    // Cut by UTF-16 units, not bytes: 18,008 bytes are 9,008 units, one frame.
    std::string wide;
    for (int i = 0; i < 9000; ++i) wide += "ñ";
    onWorker([&] {
        conn->send(packetOfLength(16384));
        conn->send(packetOfLength(16385));
        conn->send(ns::Value(ns::Dictionary{{"b", 1}}));
        conn->send(ns::Value(ns::Dictionary{{"w", wide}}));
    });
    ASSERT_TRUE(pumpUntil([&] { return raw.texts().size() >= 6; }));
    auto texts = raw.texts();
    ASSERT_EQ(texts.size(), 6u);
    EXPECT_EQ(texts[5], ns::json::serialize(ns::Value(ns::Dictionary{{"w", wide}})));
    EXPECT_EQ(texts[0], ns::json::serialize(packetOfLength(16384)));
    EXPECT_EQ(texts[1], "2");
    EXPECT_EQ(texts[2].size(), 16384u);
    EXPECT_EQ(texts[3], "}");
    EXPECT_EQ(texts[2] + texts[3], ns::json::serialize(packetOfLength(16385)));
    EXPECT_EQ(texts[4], R"({"b":1})");
    onWorker([&] { conn->close(); });
}

TEST_F(FramedConnectionTest, MultiFramePacketsComeBackWholeThroughAnEchoingPeer) {
    auto recorder = std::make_shared<SocketRecorder>();
    auto conn = openSocket(echoURL(), recorder);
    // Text with characters outside ASCII: pieces are counted in UTF-16
    // units and never cut a character.
    std::string text;
    for (int i = 0; i < 9000; ++i) text += i % 3 ? "ñ" : "🛒";
    ns::Value big(ns::Dictionary{{"t", "d"}, {"d", ns::Dictionary{{"text", text}, {"n", 40000}}}});
    // Sends go out once the socket is open (the keep-alive timer runs).
    ASSERT_TRUE(pumpUntil([&] { return conn->keepAliveTimerForTesting() != nullptr; }));
    onWorker([&] {
        EXPECT_FALSE(conn->buffering());
        conn->send(big);
        conn->send(ns::Value(ns::Dictionary{{"small", true}}));
    });
    ASSERT_TRUE(recorder->waitMessages(2));
    std::lock_guard lock(recorder->mutex);
    ASSERT_TRUE(recorder->messages[0]);
    EXPECT_EQ(*recorder->messages[0], big);
    ASSERT_TRUE(recorder->messages[1]);
    EXPECT_EQ(*recorder->messages[1], ns::Value(ns::Dictionary{{"small", true}}));
}

TEST_F(FramedConnectionTest, CountFramesAreShortPositiveNumbersAndEverythingElseIsAPacket) {
    auto raw = peer();
    auto recorder = std::make_shared<SocketRecorder>();
    auto conn = openSocket(raw.url(), recorder);
    ASSERT_TRUE(pumpUntil([&] { return raw.connected(); }));

    raw.sendTexts({"3", R"({"a":)", R"([1,2,)", "3]}"});
    ASSERT_TRUE(recorder->waitMessages(1));
    raw.sendTexts({"12345", "0", "-3", "2", "{not", " json}", R"(["after"])"});
    ASSERT_TRUE(recorder->waitMessages(6));
    {
        std::lock_guard lock(recorder->mutex);
        ASSERT_EQ(recorder->messages.size(), 6u);
        EXPECT_EQ(recorder->messages[0], ns::Value(ns::Dictionary{{"a", ns::Array{1, 2, 3}}}));
        // Five characters: a packet, not a count.
        EXPECT_EQ(recorder->messages[1], ns::Value(12345));
        // "0" and "-3" announce nothing: each is a packet by itself.
        EXPECT_EQ(recorder->messages[2], ns::Value(0));
        EXPECT_EQ(recorder->messages[3], ns::Value(-3));
        // Two frames that do not make JSON together: one unparsable packet.
        EXPECT_FALSE(recorder->messages[4].has_value());
        EXPECT_EQ(recorder->messages[5], ns::Value(ns::Array{"after"}));
    }

    // The largest count there can be: the packet is held until its last frame.
    raw.sendTexts({"9999", "[1"});
    drainWorker();
    ASSERT_TRUE(pumpUntil([&] {
        bool buffering = false;
        onWorker([&] { buffering = conn->buffering(); });
        return buffering;
    }));
    onWorker([&] { conn->close(); });
}

TEST_F(FramedConnectionTest, HandshakeMakesTheConnectionReadyOnceAndStoresTheServersHost) {
    auto info = repoInfo();
    auto raw = peer();
    auto recorder = std::make_shared<ConnectionRecorder>();
    auto connection = openConnection(info, raw, recorder);

    onWorker([&] {
        EXPECT_EQ(connection->state(), REALTIME_STATE_CONNECTING);
        try {
            connection->sendRequest(ns::Dictionary{{"r", 1}}, false);
            ADD_FAILURE() << "sent before the handshake";
        } catch (const ns::Exception& e) {
            EXPECT_EQ(e.name(), "InvalidConnectionState");
            EXPECT_EQ(e.reason(), "Tried to send data on an unconnected FConnection");
        }
    });

    raw.sendText(handshake("s-7.ns.localhost:" + std::to_string(backend_->wsPort())));
    ASSERT_TRUE(recorder->waitEvents(1));
    EXPECT_EQ(recorder->snapshot()[0], "ready 1700000000123 sess-1");
    EXPECT_EQ(info->internalHost(), "s-7.ns.localhost:" + std::to_string(backend_->wsPort()));
    EXPECT_EQ(ns::UserDefaults::standard()->stringForKey("quorvane:host:" + info->host()), info->internalHost());

    // Hosts the URL parser would not take, and hosts that are no hosts, are ignored.
    for (const ns::Value& bad : {ns::Value("two.labels"), ns::Value("a.b.c/../x"), ns::Value("a.b.c d"),
                                 ns::Value(42), ns::Value(ns::Dictionary{})}) {
        raw.sendText(handshake(bad, "sess-2"));
    }
    // A later handshake only changes the host.
    raw.sendText(handshake("s-8.ns.localhost:1", "sess-3"));
    ASSERT_TRUE(pumpUntil([&] { return info->internalHost() == "s-8.ns.localhost:1"; }));
    drainWorker();
    EXPECT_EQ(recorder->snapshot().size(), 1u);

    onWorker([&] {
        EXPECT_EQ(connection->state(), REALTIME_STATE_CONNECTED);
        connection->sendRequest(ns::Dictionary{{"r", 1}, {"a", "s"}, {"b", ns::Dictionary{}}}, false);
    });
    ASSERT_TRUE(pumpUntil([&] { return !raw.texts().empty(); }));
    EXPECT_EQ(raw.texts()[0], R"({"d":{"a":"s","b":{},"r":1},"t":"d"})");
}

TEST_F(FramedConnectionTest, DataMessagesReachTheOwnerAndBadPacketsAreDropped) {
    auto raw = peer();
    auto recorder = std::make_shared<ConnectionRecorder>();
    auto connection = openConnection(repoInfo(), raw, recorder);
    raw.sendText(handshake(ns::Value()));
    ASSERT_TRUE(recorder->waitEvents(1));

    raw.sendTexts({"not json", "[1,2]", "true", R"({"d":{"r":1}})", R"({"t":"x","d":{}})", R"({"t":5})",
                   R"({"t":"d","d":"text"})", R"({"t":"c","d":{"t":"zz","d":1}})", R"({"t":"c","d":"str"})",
                   R"({"t":"d","d":{"r":3,"b":{"s":"ok"}}})"});
    ASSERT_TRUE(recorder->waitEvents(2));
    drainWorker();
    auto events = recorder->snapshot();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1], R"(data {"b":{"s":"ok"},"r":3})");
    onWorker([&] { EXPECT_EQ(connection->state(), REALTIME_STATE_CONNECTED); });
}

TEST_F(FramedConnectionTest, AResetClosesWithReasonZeroAndTheNextURLNamesItsHost) {
    auto info = repoInfo();
    auto raw = peer();
    auto recorder = std::make_shared<ConnectionRecorder>();
    auto connection = openConnection(info, raw, recorder);
    raw.sendText(handshake(ns::Value()));
    ASSERT_TRUE(recorder->waitEvents(1));
    raw.sendText(control("r", "other.ns.localhost:4321"));
    ASSERT_TRUE(recorder->waitEvents(2));
    EXPECT_EQ(recorder->snapshot()[1], "disconnect 0");
    EXPECT_EQ(info->internalHost(), "other.ns.localhost:4321");
    onWorker([&] {
        EXPECT_EQ(connection->state(), REALTIME_STATE_DISCONNECTED);
        EXPECT_EQ(connection->webSocketConnection(), nullptr);
        auto next = FWebSocketConnection::make(info, FWorkerQueue::sharedQueue(), "sess-1");
        EXPECT_EQ(next->url(), "ws://other.ns.localhost:4321/.ws?v=5&ns=demo&ls=sess-1");
        // Closing again tells nobody.
        connection->close();
    });
    // The client's close frame went to the peer.
    ASSERT_TRUE(pumpUntil([&] {
        auto ops = raw.opcodes();
        return !ops.empty() && ops.back() == 8;
    }));
    drainWorker();
    EXPECT_EQ(recorder->snapshot().size(), 2u);

    // A reset naming no usable host still ends the connection, but keeps the host.
    auto second = peer("-2");
    auto recorder2 = std::make_shared<ConnectionRecorder>();
    auto connection2 = openConnection(info, second, recorder2);
    second.sendText(handshake(ns::Value()));
    ASSERT_TRUE(recorder2->waitEvents(1));
    second.sendText(control("r", "nowhere"));
    ASSERT_TRUE(recorder2->waitEvents(2));
    EXPECT_EQ(recorder2->snapshot()[1], "disconnect 0");
    EXPECT_EQ(info->internalHost(), "other.ns.localhost:4321");
}

TEST_F(FramedConnectionTest, AShutdownIsReportedAsAKillAndThenADisconnect) {
    auto raw = peer();
    auto recorder = std::make_shared<ConnectionRecorder>();
    auto connection = openConnection(repoInfo(), raw, recorder);
    raw.sendText(handshake(ns::Value()));
    ASSERT_TRUE(recorder->waitEvents(1));
    raw.sendText(control("s", "namespace disabled"));
    ASSERT_TRUE(recorder->waitEvents(3));
    auto events = recorder->snapshot();
    EXPECT_EQ(events[1], "kill namespace disabled");
    EXPECT_EQ(events[2], "disconnect 1");
}

TEST_F(FramedConnectionTest, OnlyAConnectionThatNeverOpenedForgetsTheRememberedHost) {
    auto info = repoInfo();
    // Refused upgrade: the socket fails before it opens.
    info->setInternalHost("cached.ns.localhost:1");
    RawPeer refusing(*backend_, "refusing?status=500");
    auto recorder = std::make_shared<ConnectionRecorder>();
    std::shared_ptr<FConnection> connection;
    onWorker([&] {
        connection = FConnection::makeWithURLForTesting(info, FWorkerQueue::sharedQueue(), refusing.url());
        connection->setDelegate(recorder);
        connection->open();
    });
    ASSERT_TRUE(recorder->waitEvents(1));
    EXPECT_EQ(recorder->snapshot()[0], "disconnect 1");
    EXPECT_EQ(info->internalHost(), info->host());
    EXPECT_FALSE(ns::UserDefaults::standard()->stringForKey("quorvane:host:" + info->host()));

    // Dropped after the handshake: the host stays.
    auto raw = peer();
    auto recorder2 = std::make_shared<ConnectionRecorder>();
    auto connection2 = openConnection(info, raw, recorder2);
    raw.sendText(handshake("kept.ns.localhost:2"));
    ASSERT_TRUE(recorder2->waitEvents(1));
    raw.end();
    ASSERT_TRUE(recorder2->waitEvents(2));
    EXPECT_EQ(recorder2->snapshot()[1], "disconnect 1");
    EXPECT_EQ(info->internalHost(), "kept.ns.localhost:2");
}

class FramedConnectionClockTest : public FramedConnectionTest {
protected:
    void SetUp() override {
        QRVLoggerResetForTesting();
        QRVSetDebugModeEnabled(true);
        FUtilities::setLoggingEnabled(true);
        clock_ = ns::VirtualClock::install();
    }
    void TearDown() override {
        FramedConnectionTest::TearDown();
        clock_.reset();
        FUtilities::setLoggingEnabled(false);
        QRVLoggerResetForTesting();
    }
    size_t nops(const ns::LineCapture& capture, uint64_t id) {
        QRVLoggerFlush();
        const std::string line = "[I-RDB083004] (wsc:" + std::to_string(id) + ") nop";
        size_t n = 0;
        for (const auto& l : capture.lines()) n += l.find(line) != std::string::npos;
        return n;
    }
    std::unique_ptr<ns::VirtualClock> clock_;
};

TEST_F(FramedConnectionClockTest, AKeepAliveGoesAfterFortyFiveQuietSecondsAndTrafficMovesIt) {
    auto capture = ns::SystemLog::capture();
    auto raw = peer();
    auto recorder = std::make_shared<SocketRecorder>();
    auto conn = openSocket(raw.url(), recorder);
    ASSERT_TRUE(pumpUntil([&] { return conn->keepAliveTimerForTesting() != nullptr; }));
    const double opened = ns::Clock::nowSeconds();
    auto timer = conn->keepAliveTimerForTesting();
    EXPECT_DOUBLE_EQ(timer->fireDate(), opened + 45);

    clock_->advance(44.5);
    EXPECT_EQ(nops(capture, conn->connectionId()), 0u);
    clock_->advance(0.5);
    EXPECT_EQ(nops(capture, conn->connectionId()), 1u);
    ASSERT_TRUE(pumpUntil([&] {
        auto texts = raw.texts();
        return !texts.empty() && texts.back() == "0";
    }));

    // A send 10 s before the next keep-alive moves it to 45 s after the send.
    clock_->advance(35);
    onWorker([&] { conn->send(ns::Value(ns::Dictionary{{"x", 1}})); });
    EXPECT_DOUBLE_EQ(timer->fireDate(), opened + 80 + 45);
    // Moves of 5 s or less are not made.
    clock_->advance(4);
    raw.sendText("[1]");
    ASSERT_TRUE(recorder->waitMessages(1));
    EXPECT_DOUBLE_EQ(timer->fireDate(), opened + 125);
    clock_->advance(10);
    EXPECT_EQ(nops(capture, conn->connectionId()), 1u);
    clock_->advance(31);
    EXPECT_EQ(nops(capture, conn->connectionId()), 2u);

    // Once the socket is gone the timer is invalidated.
    raw.end();
    ASSERT_TRUE(recorder->waitDisconnect());
    EXPECT_FALSE(timer->isValid());
    std::lock_guard lock(recorder->mutex);
    EXPECT_EQ(recorder->disconnects, std::vector<bool>{true});
}

TEST_F(FramedConnectionClockTest, ASocketThatDoesNotOpenWithinThirtySecondsIsClosed) {
    RawPeer silent(*backend_, "silent?hold=1");
    auto recorder = std::make_shared<SocketRecorder>();
    auto conn = openSocket(silent.url(), recorder);
    ASSERT_TRUE(pumpUntil([&] { return silent.state().contains("request"); }));
    clock_->advance(29.5);
    drainWorker();
    {
        std::lock_guard lock(recorder->mutex);
        EXPECT_TRUE(recorder->disconnects.empty());
    }
    clock_->advance(0.5);
    ASSERT_TRUE(recorder->waitDisconnect());
    std::lock_guard lock(recorder->mutex);
    EXPECT_EQ(recorder->disconnects, std::vector<bool>{false});
}

// A request's text goes through the JSON writer's compact path, which
// writes most values itself: it must be the very bytes nlohmann's document
// gives for the envelope's dictionaries, and no text at all where the
// writer refuses the packet.
TEST(FramedConnectionRequestText, IsTheWritersTextOfTheEnvelope) {
    auto nested = [](size_t depth) {
        ns::Value value(1);
        for (size_t i = 0; i < depth; ++i) value = ns::Value(ns::Dictionary{{"k", value}});
        return value;
    };
    const struct {
        int64_t number;
        std::string action;
        ns::Value body;
    } cases[] = {
        {0, "p", ns::Dictionary{{"p", "/bench/p/12"}, {"d", 12}}},
        {7, "m", ns::Dictionary{{"p", "a b"}, {"d", ns::Dictionary{{"x/y", true}, {"z", nullptr}}}}},
        {-3, "q", ns::Dictionary{{"p", "/"}, {"h", ""}, {"q", ns::Dictionary{{"l", 5}, {"vf", "r"}}}, {"t", 2}}},
        {1, "p", ns::Dictionary{{"p", "/quote\"and\\slash"}, {"d", "tab\there\nnl \x01"}}},
        {2, "p", ns::Dictionary{{"p", "/precio/\xc3\xb1" "and\xe2\x82\xac"}, {"d", "bad \xff utf-8"}}},
        {3, "p", ns::Dictionary{{"d", ns::Array{1.5, 1.0, -0.0, 1e300, 2, "s", ns::Array{}, ns::Dictionary{}}}}},
        {4, "p", ns::Dictionary{{"d", ns::Value(uint64_t(18446744073709551615ull))}, {"e", int64_t(INT64_MIN)}}},
        {5, "s", ns::Dictionary{{"c", ns::Dictionary{{"sdk.objc.4-0-0", 1}, {"\u00e9\x7f", false}}}}},
        {6, "n", ns::Dictionary{}},
        {8, "p", ns::Dictionary{{"d", nested(ns::json::kMaxDepth - 3)}}},
        {9, "p", ns::Dictionary{{"d", nested(ns::json::kMaxDepth - 2)}}},
        {10, "p", ns::Dictionary{{"d", std::nan("")}}},
        {11, "p", ns::Dictionary{{"d", ns::Data{1, 2}}}},
        {12, "\"odd\" action", ns::Value("a body that is a string")},
    };
    for (const auto& c : cases) {
        const ns::Dictionary request{{"r", c.number}, {"a", c.action}, {"b", c.body}};
        ns::ErrorRef error;
        // The pretty path still builds the document; its compact dump is the reference.
        const ns::Value envelope(ns::Dictionary{{"t", "d"}, {"d", request}});
        const std::string pretty = ns::json::serialize(envelope, ns::json::WriteOptions{true}, &error);
        const std::string expected = error ? std::string() : nlohmann::json::parse(pretty).dump();
        const std::optional<std::string> text = FConnection::requestText(c.number, c.action, c.body);
        if (error) {
            EXPECT_FALSE(text) << c.number;
        } else {
            ASSERT_TRUE(text) << c.number;
            EXPECT_EQ(*text, expected) << c.number;
        }
    }
}

}  // namespace
