// The channel connection against a TLS peer on loopback that plays the
// server: the login and what waits for it, stream ids and acknowledgements
// both ways, heartbeats and the time-out on the virtual clock, the server's
// close, and received ids kept in the reliable-message store until the
// server's count covers them.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "channel_peer.h"
#include "core/QRVLogger.h"
#include "messaging/QRVMessagingConnection.h"
#include "messaging/QRVMessagingRmqManager.h"
#include "platform/clock.h"
#include "platform/runloop.h"
#include "platform/system_log.h"

namespace {

using channel_test::ChannelPeer;
using channel_test::Frame;

struct ConnectionRecorder : QRVMessagingConnectionDelegate {
    void connectionDidCloseForReason(QRVMessagingConnection&, uint64_t reason) override { closes.push_back(reason); }
    void didLoginWithConnection(QRVMessagingConnection&) override { ++logins; }
    void connectionDidRecieveMessage(const ParloDataMessageStanza& message) override { messages.push_back(message); }
    void connectionDidReceiveClose(QRVMessagingConnection& connection) override {
        ++serverCloses;
        EXPECT_FALSE(connection.isSignedIn());  // already down when told
    }
    int32_t connectionDidReceiveAckForRmqIds(const std::vector<std::string>& rmqIds) override {
        if (!rmqIds.empty()) acks.push_back(rmqIds);
        return int32_t(rmqIds.size());
    }
    std::vector<uint64_t> closes;
    int logins = 0;
    int serverCloses = 0;
    std::vector<ParloDataMessageStanza> messages;
    std::vector<std::vector<std::string>> acks;
};

template <class M>
M parsed(const Frame& frame) {
    M message;
    EXPECT_TRUE(message.ParsePartialFromString(frame.bytes));
    return message;
}

ParloDataMessageStanza dataMessage(const std::string& persistentId, bool immediateAck = false) {
    ParloDataMessageStanza m;
    m.set_from("mcs.ondrix.com");
    m.set_category("com.almavel");
    if (!persistentId.empty()) m.set_persistent_id(persistentId);
    if (immediateAck) m.set_immediate_ack(true);
    return m;
}

ParloHeartbeatAck ackUpTo(int32_t lastStreamId) {
    ParloHeartbeatAck ack;
    ack.set_last_stream_id_received(lastStreamId);
    return ack;
}

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override { connect(); }

    void connect(std::weak_ptr<QRVMessagingRmqManager> store = {}) {
        connection = QRVMessagingConnection::initWithAuthID("4557512345678", "s3cret", "mtalk.localhost", peer.port(),
                                                            ns::RunLoop::mainShared(), store, {});
        connection->setDelegate(recorder);
        connection->setNetworkTypeProvider([] { return int8_t(1); });
    }
    bool pump(const std::function<bool()>& done) { return ns::RunLoop::main().runUntil(done, 30); }
    // Frames of the peer's current connection with the given tag.
    std::vector<Frame> framesWithTag(int tag) const {
        std::vector<Frame> out;
        for (auto& f : peer.frames()) {
            if (f.tag == tag) out.push_back(f);
        }
        return out;
    }
    bool waitForFrames(size_t count) { return pump([&] { return peer.frames().size() >= count; }); }
    // Signs in and accepts the login: frames so far are login and ping.
    void signedIn() {
        const int connectionsBefore = peer.connections();
        connection->signIn();
        ASSERT_TRUE(pump([&] { return peer.connections() > connectionsBefore && !peer.frames().empty(); }));
        ParloLoginResponse response;
        response.set_id("r");
        peer.sendFrame(3, response);
        ASSERT_TRUE(pump([&] { return connection->isSignedIn(); }));
        ASSERT_TRUE(waitForFrames(2));
    }

    // The peer hangs up; signing in again, the new login's received ids.
    std::vector<std::string> reconnectedLoginIds() {
        // The client can see the close before the peer marks the old
        // connection gone, so wait for a new connection, not for "connected".
        const int before = peer.connections();
        peer.hangUp();
        if (!pump([&] { return !recorder->closes.empty(); })) return {"(no close)"};
        connection->signIn();
        if (!pump([&] { return peer.connections() > before && !peer.frames().empty(); })) return {"(no login)"};
        const auto login = parsed<ParloLoginRequest>(peer.frames()[0]);
        return {login.received_persistent_id().begin(), login.received_persistent_id().end()};
    }

    ChannelPeer peer;
    std::shared_ptr<ConnectionRecorder> recorder = std::make_shared<ConnectionRecorder>();
    std::shared_ptr<QRVMessagingConnection> connection;
};

TEST_F(ConnectionTest, LoginCarriesTheCheckinCredentialsAndReleasesWhatWaited) {
    auto early = std::make_shared<ParloDataMessageStanza>(dataMessage("u1"));
    auto waiting = std::make_shared<ParloDataMessageStanza>(dataMessage("u2"));
    connection->sendProto(early);  // not signed in: dropped
    connection->sendOnConnectOrDrop(waiting);
    connection->signIn();
    EXPECT_EQ(connection->state(), kQRVMessagingConnectionStateConnecting);
    ASSERT_TRUE(waitForFrames(1));
    EXPECT_EQ(connection->state(), kQRVMessagingConnectionStateConnected);

    const auto login = parsed<ParloLoginRequest>(peer.frames()[0]);
    EXPECT_EQ(peer.frames()[0].tag, 2);
    EXPECT_TRUE(login.IsInitialized());
    EXPECT_EQ(login.account_id(), 1000000);
    EXPECT_EQ(login.auth_service(), mobileparlo::LoginRequest::VERDOS_ID);
    EXPECT_EQ(login.auth_token(), "s3cret");
    EXPECT_EQ(login.id(), "ios-2.0.0");
    EXPECT_EQ(login.domain(), "mcs.ondrix.com");
    EXPECT_EQ(login.device_id(), "verdos-42520e7884e");  // 4557512345678 in hexadecimal
    EXPECT_EQ(login.network_type(), 1);
    EXPECT_EQ(login.resource(), "4557512345678");
    EXPECT_EQ(login.user(), "4557512345678");
    EXPECT_TRUE(login.use_rmq2());
    EXPECT_EQ(login.last_rmq_id(), 1);
    EXPECT_EQ(login.received_persistent_id_size(), 0);
    ASSERT_EQ(login.setting_size(), 1);
    EXPECT_EQ(login.setting(0).name(), "new_vc");
    EXPECT_EQ(login.setting(0).value(), "1");
    EXPECT_EQ(connection->outStreamId(), 1);

    ParloLoginResponse response;
    response.set_id("r");
    peer.sendFrame(3, response);
    ASSERT_TRUE(waitForFrames(3));
    EXPECT_EQ(recorder->logins, 1);
    EXPECT_EQ(connection->state(), kQRVMessagingConnectionStateSignedIn);
    const auto frames = peer.frames();
    // The ping reports the login response; then what waited, in order.
    EXPECT_EQ(frames[1].tag, 0);
    EXPECT_EQ(parsed<ParloHeartbeatPing>(frames[1]).last_stream_id_received(), 1);
    EXPECT_EQ(frames[2].tag, 8);
    EXPECT_EQ(parsed<ParloDataMessageStanza>(frames[2]).persistent_id(), "u2");
    EXPECT_EQ(connection->sendOnConnectCount(), 0u);
    EXPECT_EQ(connection->outStreamId(), 3);
    EXPECT_EQ(connection->description(),
              "host: mtalk.localhost, port: " + std::to_string(peer.port()) + ", stream id in: 1, stream id out: 3");
}

TEST_F(ConnectionTest, RefusedLoginKeepsTheConnectionWaiting) {
    connection->signIn();
    ASSERT_TRUE(waitForFrames(1));
    ParloLoginResponse response;
    response.set_id("r");
    response.mutable_error()->set_code(401);
    response.mutable_error()->set_type("auth");
    peer.sendFrame(3, response);
    // Anything but a login response is not for a connection not signed in.
    peer.sendFrame(8, dataMessage("x"));
    ASSERT_TRUE(pump([&] { return connection->inStreamId() == 1; }));
    ns::RunLoop::main().runFor(0.2);
    EXPECT_EQ(connection->state(), kQRVMessagingConnectionStateConnected);
    EXPECT_EQ(recorder->logins, 0);
    EXPECT_TRUE(recorder->messages.empty());
    EXPECT_EQ(peer.frames().size(), 1u);
}

TEST_F(ConnectionTest, StreamAcknowledgementAfterTenMessagesAndAtOnceWhenAsked) {
    signedIn();
    // Login response was 1 and reported by the ping: nine more are not enough.
    for (int i = 0; i < 9; ++i) peer.sendFrame(1, ParloHeartbeatAck());
    ASSERT_TRUE(pump([&] { return connection->inStreamId() == 10; }));
    EXPECT_TRUE(framesWithTag(7).empty());
    peer.sendFrame(1, ParloHeartbeatAck());
    ASSERT_TRUE(pump([&] { return framesWithTag(7).size() == 1; }));
    auto iq = parsed<ParloIqStanza>(framesWithTag(7)[0]);
    EXPECT_EQ(iq.type(), mobileparlo::IqStanza::SET);
    EXPECT_EQ(iq.id(), "");
    EXPECT_EQ(iq.extension().id(), 13);
    EXPECT_EQ(iq.extension().data(), "");
    EXPECT_EQ(iq.last_stream_id_received(), 11);
    EXPECT_EQ(connection->lastStreamIdAcked(), 11);

    peer.sendFrame(8, dataMessage("", true));
    ASSERT_TRUE(pump([&] { return framesWithTag(7).size() == 2; }));
    EXPECT_EQ(parsed<ParloIqStanza>(framesWithTag(7)[1]).last_stream_id_received(), 12);
    ASSERT_EQ(recorder->messages.size(), 1u);

    // The server's own stream acknowledgement changes only the counters.
    ParloIqStanza serverAck;
    serverAck.set_type(mobileparlo::IqStanza::SET);
    serverAck.set_id("");
    serverAck.mutable_extension()->set_id(13);
    serverAck.mutable_extension()->set_data("");
    peer.sendFrame(7, serverAck);
    ASSERT_TRUE(pump([&] { return connection->inStreamId() == 13; }));
    EXPECT_EQ(framesWithTag(7).size(), 2u);
    EXPECT_TRUE(recorder->closes.empty());
}

TEST_F(ConnectionTest, HeartbeatAfterThirtySecondsAndTimeOutAfterTwentyMore) {
    auto clock = ns::VirtualClock::install();
    signedIn();
    ASSERT_EQ(framesWithTag(0).size(), 1u);  // the ping right after the login
    peer.sendFrame(1, ParloHeartbeatAck());  // answers it: no time-out
    ASSERT_TRUE(pump([&] { return connection->inStreamId() == 2; }));
    clock->advance(29);
    ns::RunLoop::main().runFor(0.1);
    EXPECT_EQ(framesWithTag(0).size(), 1u);
    clock->advance(1);
    ASSERT_TRUE(pump([&] { return framesWithTag(0).size() == 2; }));
    EXPECT_TRUE(recorder->closes.empty());
    clock->advance(19);
    EXPECT_TRUE(recorder->closes.empty());
    clock->advance(1);
    ASSERT_EQ(recorder->closes, (std::vector<uint64_t>{kQRVMessagingConnectionCloseReasonTimeout}));
    EXPECT_EQ(connection->state(), kQRVMessagingConnectionStateDisconnected);
    EXPECT_EQ(connection->socket(), nullptr);
    ASSERT_TRUE(pump([&] { return !peer.connected(); }));
}

TEST_F(ConnectionTest, ServerCloseEndsTheConnectionWithoutTellingTheDelegate) {
    signedIn();
    peer.sendFrame(4, ParloClose());
    ASSERT_TRUE(pump([&] { return connection->state() == kQRVMessagingConnectionStateDisconnected; }));
    EXPECT_TRUE(recorder->closes.empty());
    EXPECT_EQ(recorder->serverCloses, 1);
    ASSERT_TRUE(pump([&] { return !peer.connected(); }));
    // A lost socket is told, with reason 0.
    signedIn();
    peer.hangUp();
    ASSERT_TRUE(pump([&] { return !recorder->closes.empty(); }));
    EXPECT_EQ(recorder->closes, (std::vector<uint64_t>{kQRVMessagingConnectionCloseReasonSocketDisconnected}));
    EXPECT_FALSE(connection->isSignedIn());
}

TEST_F(ConnectionTest, UnknownTagsAreDroppedAndUndecodableMessagesCloseTheChannel) {
    signedIn();
    auto capture = ns::SystemLog::capture();
    peer.send(channel_test::frameBytes(5, std::string("\x08\x01", 2)) + channel_test::frameBytes(6, ""));
    peer.sendFrame(1, ParloHeartbeatAck());
    ASSERT_TRUE(pump([&] { return connection->inStreamId() == 2; }));
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("I-QDX005003"));
    EXPECT_TRUE(capture.contains("Invalid tag 5 for proto"));
    EXPECT_TRUE(connection->isSignedIn());

    peer.send(channel_test::frameBytes(8, std::string("\x0a\x05\x01", 3)));  // a string field cut short
    ASSERT_TRUE(pump([&] { return !recorder->closes.empty(); }));
    EXPECT_EQ(connection->state(), kQRVMessagingConnectionStateDisconnected);
    EXPECT_TRUE(recorder->messages.empty());
}

TEST_F(ConnectionTest, OutgoingIdsAreConfirmedUpToTheServersCountAndBySelectiveAck) {
    signedIn();  // login 1, ping 2
    for (const char* id : {"5", "6", "7"}) {
        connection->sendProto(std::make_shared<ParloDataMessageStanza>(dataMessage(id)));
    }
    ASSERT_TRUE(waitForFrames(5));  // streams 3, 4, 5
    EXPECT_EQ(connection->d2sInfos(),
              (std::vector<QRVMessagingD2SInfo>{{3, "5"}, {4, "6"}, {5, "7"}}));
    peer.sendFrame(1, ackUpTo(3));
    ASSERT_TRUE(pump([&] { return recorder->acks.size() == 1; }));
    EXPECT_EQ(recorder->acks[0], (std::vector<std::string>{"5"}));
    EXPECT_EQ(connection->d2sInfos().size(), 2u);

    ParloSelectiveAck selective;
    selective.add_id("7");
    ParloIqStanza iq;
    iq.set_type(mobileparlo::IqStanza::SET);
    iq.set_id("");
    iq.mutable_extension()->set_id(12);
    iq.mutable_extension()->set_data(selective.SerializeAsString());
    peer.sendFrame(7, iq);
    ASSERT_TRUE(pump([&] { return recorder->acks.size() == 2; }));
    EXPECT_EQ(recorder->acks[1], (std::vector<std::string>{"7"}));
}

TEST_F(ConnectionTest, ReceivedIdsStayStoredUntilTheServerCountsThem) {
    const std::string name = "rmq2-connection-" + std::to_string(::getpid());
    auto store = QRVMessagingRmqManager::initWithDatabaseName(name);
    connect(store);
    signedIn();  // login 1, ping 2
    peer.sendFrame(8, dataMessage("p1"));
    ASSERT_TRUE(pump([&] { return recorder->messages.size() == 1; }));
    EXPECT_EQ(store->unackedS2dRmqIds(), (std::vector<std::string>{"p1"}));
    EXPECT_EQ(connection->unackedS2dIds(), (std::vector<std::string>{"p1"}));

    // Reported with the next outgoing message (stream 3)...
    connection->sendProto(std::make_shared<ParloHeartbeatPing>());
    ASSERT_TRUE(waitForFrames(3));
    EXPECT_TRUE(connection->unackedS2dIds().empty());
    // ...which the server has not counted yet: the id stays stored.
    peer.sendFrame(1, ackUpTo(2));
    ASSERT_TRUE(pump([&] { return connection->inStreamId() == 3; }));
    EXPECT_EQ(store->unackedS2dRmqIds(), (std::vector<std::string>{"p1"}));

    // A reconnect before the server counted it: the login lists it again.
    EXPECT_EQ(reconnectedLoginIds(), (std::vector<std::string>{"p1"}));
    ParloLoginResponse response;
    response.set_id("r");
    peer.sendFrame(3, response);
    // The login response's own count is not read; the server's next
    // message counts the login, which carried p1.
    ASSERT_TRUE(pump([&] { return connection->isSignedIn(); }));
    EXPECT_EQ(store->unackedS2dRmqIds(), (std::vector<std::string>{"p1"}));
    peer.sendFrame(1, ackUpTo(1));
    ASSERT_TRUE(pump([&] { return store->unackedS2dRmqIds().empty(); }));
    // A new store over the same file agrees.
    EXPECT_TRUE(QRVMessagingRmqManager::initWithDatabaseName(name)->unackedS2dRmqIds().empty());
}

// Ids reported with outgoing streams 9 and 10 come back to the next login
// in stream order, which as text ("10" < "9") would be reversed.
TEST_F(ConnectionTest, UnconfirmedIdsReturnToTheLoginInStreamOrder) {
    signedIn();  // login 1, ping 2
    for (int i = 0; i < 6; ++i) connection->sendProto(std::make_shared<ParloHeartbeatAck>());  // 3..8
    for (const char* id : {"x9", "x10"}) {
        const int32_t in = connection->inStreamId();
        peer.sendFrame(8, dataMessage(id));
        ASSERT_TRUE(pump([&] { return connection->inStreamId() == in + 1; }));
        connection->sendProto(std::make_shared<ParloHeartbeatAck>());  // 9, then 10
    }
    ASSERT_EQ(connection->outStreamId(), 10);
    ASSERT_TRUE(waitForFrames(10));
    EXPECT_EQ(reconnectedLoginIds(), (std::vector<std::string>{"x9", "x10"}));
}

}  // namespace
