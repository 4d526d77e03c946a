// The channel's framing over a real TLS peer on loopback: the version byte
// each way, frames split and joined by the network, the input buffer's
// growth and limit, malformed input that closes the socket; and the tag
// table with the accessors every layer uses.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "channel_peer.h"
#include "core/QRVLogger.h"
#include "messaging/QRVMessagingCodedInputStream.h"
#include "messaging/QRVMessagingConstants.h"
#include "messaging/QRVMessagingPacket.h"
#include "messaging/QRVMessagingSecureSocket.h"
#include "platform/runloop.h"
#include "platform/system_log.h"

namespace {

using channel_test::ChannelPeer;
using channel_test::frameBytes;

struct SocketRecorder : QRVMessagingSecureSocketDelegate {
    void secureSocketDidReceiveDataWithTag(QRVMessagingSecureSocket&, std::span<const uint8_t> data,
                                           int8_t tag) override {
        received.push_back({tag, std::string(data.begin(), data.end())});
    }
    void secureSocketDidSendProtoWithTagRmqId(QRVMessagingSecureSocket&, int8_t tag, const std::string& rmqId) override {
        sent.push_back({tag, rmqId});
    }
    void secureSocketDidConnect(QRVMessagingSecureSocket&) override { ++connected; }
    void didDisconnectWithSecureSocket(QRVMessagingSecureSocket&) override { ++disconnected; }

    std::vector<std::pair<int, std::string>> received;
    std::vector<std::pair<int, std::string>> sent;
    int connected = 0;
    int disconnected = 0;
};

bool pump(const std::function<bool()>& done) { return ns::RunLoop::main().runUntil(done, 30); }

struct Connected {
    std::shared_ptr<QRVMessagingSecureSocket> socket = QRVMessagingSecureSocket::make();
    std::shared_ptr<SocketRecorder> recorder = std::make_shared<SocketRecorder>();
    explicit Connected(ChannelPeer& peer) {
        socket->setDelegate(recorder);
        socket->connectToHost("mtalk.localhost", peer.port(), ns::RunLoop::mainShared());
        EXPECT_EQ(socket->state(), kQRVMessagingSecureSocketStateOpening);
    }
    bool open() { return pump([&] { return recorder->connected || recorder->disconnected; }) && recorder->connected; }
};

TEST(SecureSocketTest, VersionByteThenFramesInOrderBothWays) {
    ChannelPeer peer;
    ParloDataMessageStanza data;
    data.set_from("f");
    data.set_category("c");
    data.set_persistent_id("0:1");
    // Two frames in one write, one of them of a tag without a message kind.
    peer.send(frameBytes(8, data) + frameBytes(5, std::string("\x01\x02", 2)) + frameBytes(4, ParloClose()));
    Connected c(peer);
    ASSERT_TRUE(c.open());
    EXPECT_EQ(c.socket->state(), kQRVMessagingSecureSocketStateOpen);
    ASSERT_TRUE(pump([&] { return c.recorder->received.size() == 3; }));
    EXPECT_EQ(c.recorder->received[0], std::make_pair(8, data.SerializeAsString()));
    EXPECT_EQ(c.recorder->received[1], std::make_pair(5, std::string("\x01\x02", 2)));
    EXPECT_EQ(c.recorder->received[2], std::make_pair(4, std::string()));
    EXPECT_EQ(c.socket->inputBufferLength(), 0u);

    ParloHeartbeatPing ping;
    ping.set_last_stream_id_received(3);
    const std::string pingBytes = ping.SerializeAsString();
    c.socket->sendData(ns::Data(pingBytes.begin(), pingBytes.end()), 0, "");
    c.socket->sendData(ns::Data{'x'}, 8, "17");
    ASSERT_TRUE(pump([&] { return c.recorder->sent.size() == 2; }));
    EXPECT_EQ(c.recorder->sent, (std::vector<std::pair<int, std::string>>{{0, ""}, {8, "17"}}));
    ASSERT_TRUE(pump([&] { return peer.frames().size() == 2; }));
    EXPECT_EQ(peer.received()[0], char(40));  // once, before the first frame only
    const auto frames = peer.frames();
    EXPECT_EQ(frames[0].tag, 0);
    EXPECT_EQ(frames[0].bytes, pingBytes);
    EXPECT_EQ(frames[1].tag, 8);
    EXPECT_EQ(frames[1].bytes, "x");
    EXPECT_EQ(c.socket->queuedPacketCount(), 0u);
}

TEST(SecureSocketTest, SplitFrameIsDeliveredOnceWholeAndLargeOnesGrowTheBuffer) {
    ChannelPeer peer;
    Connected c(peer);
    ASSERT_TRUE(c.open());
    // 100 KB in one frame, sent in two parts: nothing until the second.
    const std::string big(100 * 1000, 'b');
    const std::string frame = frameBytes(7, big);
    peer.send(frame.substr(0, 40000));
    ASSERT_TRUE(pump([&] { return c.socket->inputBufferLength() == 40000; }));
    EXPECT_TRUE(c.recorder->received.empty());
    peer.send(frame.substr(40000) + frameBytes(1, ParloHeartbeatAck()));
    ASSERT_TRUE(pump([&] { return c.recorder->received.size() == 2; }));
    EXPECT_EQ(c.recorder->received[0].second, big);
    EXPECT_EQ(c.recorder->received[1].first, 1);
    EXPECT_EQ(c.socket->inputBufferCapacity() % kQRVMessagingBufferSizeStep, 0u);
    EXPECT_GT(c.socket->inputBufferCapacity(), big.size());
    EXPECT_EQ(c.recorder->disconnected, 0);
}

// Input the socket must not accept: each closes it once, before any frame
// of it reaches the delegate.
TEST(SecureSocketTest, MalformedInputClosesTheSocket) {
    struct Case {
        const char* name;
        uint8_t version;
        std::string bytes;
        const char* line;
    };
    const std::string tenByteMinusOne = std::string(1, '\0') + std::string(9, '\xff') + '\x01';
    const std::vector<Case> cases = {
        {"wrong version byte", 41, frameBytes(0, ParloHeartbeatPing()), "Version do not match. Received 41, Expecting 40"},
        {"tag of 128", 40, std::string("\x80\x01\x00", 3), "Buffer data corrupted."},
        {"negative length", 40, tenByteMinusOne, "Buffer data corrupted."},
        {"frame over 1 MiB", 40, frameBytes(8, std::string(1100 * 1024, 'o')), "Input buffer exceed 1M, disconnect socket"},
    };
    QRVSetLoggerLevel(QRVLoggerLevelDebug);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto capture = ns::SystemLog::capture();
        ChannelPeer peer(true, c.version);
        peer.send(c.bytes);
        Connected socket(peer);
        ASSERT_TRUE(socket.open());
        ASSERT_TRUE(pump([&] { return socket.recorder->disconnected > 0; }));
        EXPECT_EQ(socket.recorder->disconnected, 1);
        EXPECT_TRUE(socket.recorder->received.empty());
        EXPECT_EQ(socket.socket->state(), kQRVMessagingSecureSocketStateClosed);
        EXPECT_LE(socket.socket->inputBufferCapacity(), kQRVMessagingMaxBufferSize);
        QRVLoggerFlush();
        EXPECT_TRUE(capture.contains(c.line));
        // Closed is closed: a second disconnect says so and reports nothing.
        socket.socket->disconnect();
        QRVLoggerFlush();
        EXPECT_EQ(socket.recorder->disconnected, 1);
        EXPECT_TRUE(capture.contains("I-QDX015002"));
        // A used socket does not connect again.
        socket.socket->connectToHost("mtalk.localhost", peer.port(), ns::RunLoop::mainShared());
        EXPECT_EQ(socket.socket->state(), kQRVMessagingSecureSocketStateClosed);
    }
}

TEST(SecureSocketTest, PeerHangingUpIsADisconnect) {
    ChannelPeer peer;
    Connected c(peer);
    ASSERT_TRUE(c.open());
    peer.hangUp();
    ASSERT_TRUE(pump([&] { return c.recorder->disconnected > 0; }));
    EXPECT_EQ(c.socket->state(), kQRVMessagingSecureSocketStateClosed);
    // Frames given to a closed socket are dropped with it.
    c.socket->sendData(ns::Data{1}, 0, "");
    EXPECT_TRUE(c.recorder->sent.empty());
}

TEST(SecureSocketTest, FrameReaderLengths) {
    struct Case {
        const char* name;
        std::string bytes;
        bool ok;
        int32_t length;
        uint64_t offset;
    };
    const std::vector<Case> cases = {
        {"one byte", "\x05", true, 5, 1},
        {"two bytes", "\xac\x02", true, 300, 2},
        {"five bytes", "\xff\xff\xff\xff\x07", true, 0x7fffffff, 5},
        {"ten-byte negative", std::string(9, '\xff') + '\x01', true, -1, 10},
        {"cut short", "\xff\xff", false, 0, 0},
        {"never ends", std::string(11, '\xff'), false, 0, 0},
        {"empty", "", false, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QRVMessagingCodedInputStream in(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()));
        int32_t length = 0;
        EXPECT_EQ(in.readLength(&length), c.ok);
        EXPECT_EQ(in.offset(), c.offset);
        if (c.ok) {
            EXPECT_EQ(length, c.length);
        }
    }
    const uint8_t bytes[] = {0x90, 1, 2};
    QRVMessagingCodedInputStream in{std::span<const uint8_t>(bytes)};
    int8_t tag = 0;
    ASSERT_TRUE(in.readTag(&tag));
    EXPECT_EQ(tag, int8_t(0x90));
    EXPECT_FALSE(in.readDataWithLength(3));  // two left: no read, no advance
    EXPECT_EQ(in.offset(), 1u);
    EXPECT_EQ(in.readDataWithLength(2), (ns::Data{1, 2}));
    EXPECT_FALSE(in.readTag(&tag));
}

TEST(ChannelConstantsTest, TagTableAndFieldAccessors) {
    const std::vector<std::pair<int, std::string>> table = {
        {0, "mobileparlo.HeartbeatPing"}, {1, "mobileparlo.HeartbeatAck"}, {2, "mobileparlo.LoginRequest"},
        {3, "mobileparlo.LoginResponse"}, {4, "mobileparlo.Close"},        {7, "mobileparlo.IqStanza"},
        {8, "mobileparlo.DataMessageStanza"},
    };
    for (const auto& [tag, name] : table) {
        const auto* prototype = QRVMessagingGetClassForTag(int8_t(tag));
        ASSERT_NE(prototype, nullptr) << tag;
        EXPECT_EQ(prototype->GetTypeName(), name);
        EXPECT_EQ(QRVMessagingGetTagForProto(*prototype), tag);
    }
    for (int tag : {5, 6, 9, -1, 127}) EXPECT_EQ(QRVMessagingGetClassForTag(int8_t(tag)), nullptr) << tag;
    EXPECT_EQ(QRVMessagingGetTagForProto(ParloSelectiveAck()), -1);

    // Persistent ids: IQ and data message stanzas only, and only when set.
    ParloIqStanza iq;
    ParloDataMessageStanza data;
    ParloHeartbeatPing ping;
    ParloHeartbeatAck ack;
    ParloLoginRequest login;
    EXPECT_EQ(QRVMessagingGetRmq2Id(iq), "");
    QRVMessagingSetRmq2Id(iq, "a");
    QRVMessagingSetRmq2Id(data, "b");
    QRVMessagingSetRmq2Id(ping, "c");
    EXPECT_EQ(QRVMessagingGetRmq2Id(iq), "a");
    EXPECT_EQ(QRVMessagingGetRmq2Id(data), "b");
    EXPECT_EQ(QRVMessagingGetRmq2Id(ping), "");
    EXPECT_EQ(ping.SerializeAsString(), "");

    // Last stream ids: those four kinds, -1 when unset or elsewhere.
    int32_t value = 10;
    for (google::protobuf::Message* m : std::vector<google::protobuf::Message*>{&iq, &data, &ping, &ack}) {
        EXPECT_EQ(QRVMessagingGetLastStreamId(*m), -1) << m->GetTypeName();
        QRVMessagingSetLastStreamId(*m, value);
        EXPECT_EQ(QRVMessagingGetLastStreamId(*m), value) << m->GetTypeName();
        ++value;
    }
    QRVMessagingSetLastStreamId(login, 5);
    EXPECT_EQ(QRVMessagingGetLastStreamId(login), -1);
    EXPECT_EQ(login.ByteSizeLong(), 0u);

    EXPECT_EQ(QRVMessagingPacket(8, "42", ns::Data(3)).description(), "<Packet: Tag - 8, Length - 3>, RmqId - 42");
    EXPECT_EQ(QRVMessagingPacket(0, "", ns::Data()).description(), "<Packet: Tag - 0, Length - 0>");
    QRVMessagingPacketQueue queue;
    queue.push(QRVMessagingPacket::packetWithTag(1, "", {}));
    queue.pushHead(QRVMessagingPacket::packetWithTag(2, "", {}));
    EXPECT_EQ(queue.count(), 2u);
    EXPECT_EQ(queue.pop()->tag(), 2);
    EXPECT_EQ(queue.pop()->tag(), 1);
    EXPECT_EQ(queue.pop(), nullptr);
    EXPECT_TRUE(queue.isEmpty());
}

}  // namespace
