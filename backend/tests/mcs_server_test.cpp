// The messaging channel server of the almavel-backend program, spoken to by
// a raw TLS peer that frames protobuf messages the way the device does.

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <nlohmann/json.hpp>
#include <algorithm>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "backend/messaging/mcs_server.h"
#include "messaging/parlo_core.pb.h"
#include "messaging/parlo_extensions.pb.h"
#include "messaging_test_support.h"
#include "platform/crypto.h"
#include "testing/backend.h"

namespace {

namespace net = boost::asio;
namespace pb = mobileparlo;
using json = nlohmann::json;
using messaging_test::Device;
using ns::testing::Backend;
using tcp = net::ip::tcp;

struct Frame {
    uint8_t tag = 0;
    std::string bytes;
    template <class Message>
    Message as() const {
        Message message;
        EXPECT_TRUE(message.ParseFromString(bytes)) << "tag " << int(tag);
        return message;
    }
};

// One device-side connection: TLS verified against the back end's CA for
// the channel's host name, then raw bytes and frames.
class ChannelPeer {
public:
    explicit ChannelPeer(int port) : ssl_(net::ssl::context::tls_client), stream_(io_, ssl_) {
        ssl_.load_verify_file(Backend::caPath());
        stream_.set_verify_mode(net::ssl::verify_peer);
        stream_.set_verify_callback(net::ssl::host_name_verification("mtalk.ondrix.com"));
        SSL_set_tlsext_host_name(stream_.native_handle(), "mtalk.ondrix.com");
        stream_.lowest_layer().connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), uint16_t(port)));
        stream_.handshake(net::ssl::stream_base::client);
    }

    void write(const std::string& bytes) {
        boost::system::error_code ec;
        net::write(stream_, net::buffer(bytes), ec);
    }
    template <class Message>
    void send(uint8_t tag, const Message& message) {
        write(backend::mcs::encodeFrame(tag, message.SerializeAsString()));
    }
    // The server's version byte, or nullopt when the connection ended.
    std::optional<uint8_t> readVersion() {
        if (!fill(1)) return std::nullopt;
        const auto byte = uint8_t(buffer_[0]);
        buffer_.erase(0, 1);
        return byte;
    }
    // The next frame, or nullopt when the connection ended.
    std::optional<Frame> read() {
        while (true) {
            Frame frame;
            size_t consumed = 0;
            const auto status = backend::mcs::readFrame(buffer_, frame.tag, frame.bytes, consumed);
            if (status == backend::mcs::FrameStatus::Complete) {
                buffer_.erase(0, consumed);
                return frame;
            }
            if (status != backend::mcs::FrameStatus::Incomplete || !fill(buffer_.size() + 1)) return std::nullopt;
        }
    }
    // Reads until a frame of `tag` arrives (skipping others).
    std::optional<Frame> readTag(uint8_t tag) {
        while (auto frame = read()) {
            if (frame->tag == tag) return frame;
        }
        return std::nullopt;
    }
    bool closedByServer() { return !read().has_value(); }

    // The version byte and a login as the device's client makes it.
    pb::LoginResponse login(const Device& device, const std::vector<std::string>& received = {},
                            const std::string& secret = "") {
        write(std::string(1, char(backend::mcs::kVersion)));
        EXPECT_EQ(readVersion(), backend::mcs::kVersion);
        pb::LoginRequest request;
        request.set_id("ios-1.0.0");
        request.set_domain(backend::mcs::kServiceDomain);
        request.set_user(device.id);
        request.set_resource(device.id);
        request.set_auth_token(secret.empty() ? device.secret : secret);
        char hex[32];
        std::snprintf(hex, sizeof hex, "verdos-%llx", std::stoull(device.id));
        request.set_device_id(hex);
        request.set_account_id(1000000);
        request.set_auth_service(pb::LoginRequest::VERDOS_ID);
        request.set_use_rmq2(true);
        request.set_last_rmq_id(1);
        for (const auto& id : received) request.add_received_persistent_id(id);
        auto* setting = request.add_setting();
        setting->set_name("new_vc");
        setting->set_value("1");
        send(backend::mcs::kLoginRequestTag, request);
        auto frame = read();
        EXPECT_TRUE(frame && frame->tag == backend::mcs::kLoginResponseTag);
        return frame ? frame->as<pb::LoginResponse>() : pb::LoginResponse();
    }

private:
    bool fill(size_t size) {
        while (buffer_.size() < size) {
            char chunk[16384];
            boost::system::error_code ec;
            const size_t n = stream_.read_some(net::buffer(chunk), ec);
            if (ec) return false;
            buffer_.append(chunk, n);
        }
        return true;
    }

    net::io_context io_;
    net::ssl::context ssl_;
    net::ssl::stream<tcp::socket> stream_;
    std::string buffer_;
};

pb::IqStanza streamAck() {
    pb::IqStanza iq;
    iq.set_type(pb::IqStanza::SET);
    iq.set_id("");
    iq.mutable_extension()->set_id(backend::mcs::kStreamAckExtension);
    iq.mutable_extension()->set_data("");
    return iq;
}

class McsServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        backend_ = Backend::start();
        device_ = messaging_test::checkInAndRegister(*backend_);
    }

    std::unique_ptr<ChannelPeer> connect() { return std::make_unique<ChannelPeer>(backend_->mcsPort()); }
    std::string queue(const json& data = json::object(), bool persistent = true) {
        return backend_->queueChannelMessage(device_.id, kDataMessage, data, persistent);
    }
    json fault(const std::string& action) {
        return json::parse(
            backend_->post("/__admin/mcs/faults", json{{"action", action}, {"device", device_.id}}.dump()).body,
            nullptr, false);
    }
    json session() {
        for (const auto& d : backend_->channelSessions()) {
            if (d["device"] == device_.id) return d;
        }
        return json();
    }

    static inline const json kDataMessage{{"from", "4242"}, {"category", messaging_test::kBundle}};
    std::unique_ptr<Backend> backend_;
    Device device_;
};

TEST_F(McsServerTest, LogsInDeliversQueuedMessagesAndForgetsThemOnceTheDeviceReportsThem) {
    const std::string first = queue({{"producto", "7501"}});
    const std::string second = queue();
    auto peer = connect();
    const auto response = peer->login(device_);
    EXPECT_FALSE(response.has_error());
    EXPECT_EQ(response.id(), "ios-1.0.0");

    auto one = peer->read()->as<pb::DataMessageStanza>();
    auto two = peer->read()->as<pb::DataMessageStanza>();
    EXPECT_EQ(one.persistent_id(), first);
    EXPECT_EQ(two.persistent_id(), second);
    ASSERT_EQ(one.app_data_size(), 1);
    EXPECT_EQ(one.app_data(0).key(), "producto");
    // The first message that reads a count tells the device its login (1) arrived.
    EXPECT_EQ(one.last_stream_id_received(), 1);
    EXPECT_FALSE(two.has_last_stream_id_received());
    EXPECT_EQ(session()["pending"].size(), 2u);

    // The device has three messages (response and two data): once it says
    // so, they are the device's; the server's own acknowledgement counts
    // the device's login and this stanza.
    auto ack = streamAck();
    ack.set_last_stream_id_received(3);
    peer->send(backend::mcs::kIqStanzaTag, ack);
    auto answer = peer->readTag(backend::mcs::kIqStanzaTag)->as<pb::IqStanza>();
    EXPECT_EQ(answer.extension().id(), backend::mcs::kStreamAckExtension);
    EXPECT_EQ(answer.last_stream_id_received(), 2);
    EXPECT_TRUE(session()["pending"].empty());
    const json login = session()["logins"][0];
    EXPECT_EQ(login["device_id"].get<std::string>().rfind("verdos-", 0), 0u);
}

TEST_F(McsServerTest, UnconfirmedMessagesComeAgainAfterAReconnectUnlessTheLoginListsThem) {
    const std::string id = queue();
    queue({{"once", "yes"}}, false);
    auto peer = connect();
    peer->login(device_);
    EXPECT_EQ(peer->read()->as<pb::DataMessageStanza>().persistent_id(), id);
    // One without a persistent id goes once.
    EXPECT_EQ(peer->read()->as<pb::DataMessageStanza>().app_data(0).key(), "once");
    peer.reset();  // gone without a word

    peer = connect();
    peer->login(device_);
    EXPECT_EQ(peer->read()->as<pb::DataMessageStanza>().persistent_id(), id);
    peer.reset();

    peer = connect();
    peer->login(device_, {id});
    EXPECT_TRUE(session()["pending"].empty());
    // Nothing more comes: the next frame is the answer to a ping.
    peer->send(backend::mcs::kHeartbeatPingTag, pb::HeartbeatPing());
    EXPECT_EQ(peer->read()->tag, backend::mcs::kHeartbeatAckTag);
}

TEST_F(McsServerTest, RefusesLoginsThatDoNotProveTheDevice) {
    const Device other = messaging_test::checkInAndRegister(*backend_);
    Device withOthersId = device_;
    withOthersId.id = other.id;
    const struct {
        Device device;
        std::string secret;
    } cases[] = {{device_, "12345"}, {withOthersId, ""}};
    for (const auto& c : cases) {
        auto peer = connect();
        const auto response = peer->login(c.device, {}, c.secret);
        ASSERT_TRUE(response.has_error());
        EXPECT_EQ(response.error().type(), "AUTHENTICATION_FAILED");
        EXPECT_TRUE(peer->closedByServer());
    }
    EXPECT_TRUE(session().is_null());
}

TEST_F(McsServerTest, ClosesConnectionsThatBreakTheFraming) {
    const std::string version(1, char(backend::mcs::kVersion));
    pb::LoginRequest incomplete;
    incomplete.set_id("x");
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"bad version byte", std::string(1, char(41)) + backend::mcs::encodeFrame(0, "")},
        {"first frame not a login", version + backend::mcs::encodeFrame(backend::mcs::kHeartbeatPingTag, "")},
        {"login missing required fields",
         version + backend::mcs::encodeFrame(backend::mcs::kLoginRequestTag, incomplete.SerializePartialAsString())},
        {"tag of 128", version + std::string("\x80\x00", 2)},
        {"length over the limit", version + std::string("\x02\x81\x80\x80\x01", 5)},
        {"negative length", version + std::string("\x02\xff\xff\xff\xff\x0f", 6)},
    };
    for (const auto& c : cases) {
        auto peer = connect();
        peer->write(c.bytes);
        peer->readVersion();
        EXPECT_TRUE(peer->closedByServer()) << c.what;
    }
    // After login, an undecodable message ends the connection too.
    auto peer = connect();
    peer->login(device_);
    peer->write(backend::mcs::encodeFrame(backend::mcs::kDataMessageStanzaTag, std::string("\x0a\x7f", 2)));
    EXPECT_TRUE(peer->closedByServer());
}

TEST_F(McsServerTest, UpstreamMessagesReachTheSinkAndPersistentOnesAreSelectivelyAcknowledged) {
    auto peer = connect();
    peer->login(device_);
    pb::DataMessageStanza upstream;
    upstream.set_from("");
    upstream.set_category(messaging_test::kBundle);
    upstream.set_to("4242@kdx.ondrix.com");
    upstream.set_id("m1");
    upstream.set_persistent_id("7");
    peer->send(backend::mcs::kDataMessageStanzaTag, upstream);
    auto ack = peer->read()->as<pb::IqStanza>();
    EXPECT_EQ(ack.extension().id(), backend::mcs::kSelectiveAckExtension);
    pb::SelectiveAck ids;
    ASSERT_TRUE(ids.ParseFromString(ack.extension().data()));
    ASSERT_EQ(ids.id_size(), 1);
    EXPECT_EQ(ids.id(0), "7");
    EXPECT_EQ(ack.last_stream_id_received(), 2);

    // Held: nothing confirms the next one, not even a heartbeat answer.
    fault("holdAcks");
    upstream.set_persistent_id("8");
    peer->send(backend::mcs::kDataMessageStanzaTag, upstream);
    peer->send(backend::mcs::kHeartbeatPingTag, pb::HeartbeatPing());
    auto heartbeat = peer->read();
    ASSERT_EQ(heartbeat->tag, backend::mcs::kHeartbeatAckTag);
    EXPECT_FALSE(heartbeat->as<pb::HeartbeatAck>().has_last_stream_id_received());
    fault("releaseAcks");
    auto released = peer->read()->as<pb::IqStanza>();
    ASSERT_TRUE(ids.ParseFromString(released.extension().data()));
    EXPECT_EQ(ids.id(0), "8");
    EXPECT_EQ(released.last_stream_id_received(), 4);

    // A message sent again (after a reconnect) is marked as a duplicate.
    peer->send(backend::mcs::kDataMessageStanzaTag, upstream);
    peer->read();
    const auto sink = backend_->channelUpstream();
    ASSERT_EQ(sink.size(), 3u);
    EXPECT_EQ(sink[0]["message"]["to"], "4242@kdx.ondrix.com");
    EXPECT_EQ(sink[0]["duplicate"], false);
    EXPECT_EQ(sink[2]["duplicate"], true);

    // A large message is taken and acknowledged; the sink keeps only its size.
    upstream.set_persistent_id("9");
    upstream.set_raw_data(std::string(100 * 1024, 'x'));
    peer->send(backend::mcs::kDataMessageStanzaTag, upstream);
    EXPECT_EQ(peer->read()->as<pb::IqStanza>().extension().id(), backend::mcs::kSelectiveAckExtension);
    EXPECT_EQ(backend_->channelUpstream()[3]["message"]["bytes"], upstream.ByteSizeLong());
}

TEST_F(McsServerTest, AcknowledgesAfterTenUnreportedMessages) {
    auto peer = connect();
    peer->login(device_);
    pb::HeartbeatAck quiet;  // answers nothing, reports nothing
    for (int i = 0; i < 9; ++i) peer->send(backend::mcs::kHeartbeatAckTag, quiet);
    auto ack = peer->read()->as<pb::IqStanza>();
    EXPECT_EQ(ack.extension().id(), backend::mcs::kStreamAckExtension);
    EXPECT_EQ(ack.last_stream_id_received(), 10);
}

TEST_F(McsServerTest, TestFaultsReachTheDevicesConnection) {
    backend_->channelFault("badVersion");
    auto peer = connect();
    peer->write(std::string(1, char(backend::mcs::kVersion)));
    EXPECT_EQ(peer->readVersion(), backend::mcs::kVersion + 1);

    const struct {
        const char* action;
        std::optional<uint8_t> tag;  // nullopt: the connection ends
        size_t minimumBytes;
    } cases[] = {
        {"ping", backend::mcs::kHeartbeatPingTag, 0},
        {"unknownTag", 5, 0},
        {"garbledFrame", backend::mcs::kDataMessageStanzaTag, 4},
        {"close", backend::mcs::kCloseTag, 0},
        {"cut", std::nullopt, 0},
    };
    for (const auto& c : cases) {
        peer = connect();
        peer->login(device_);
        EXPECT_EQ(fault(c.action)["action"], c.action);
        auto frame = peer->read();
        ASSERT_EQ(frame.has_value(), c.tag.has_value()) << c.action;
        if (frame) {
            EXPECT_EQ(frame->tag, *c.tag) << c.action;
            EXPECT_GE(frame->bytes.size(), c.minimumBytes) << c.action;
        }
    }
    // Our own reader stops at the same limit the device's does.
    peer = connect();
    peer->login(device_);
    fault("oversizedFrame");
    EXPECT_FALSE(peer->read().has_value());
    EXPECT_EQ(fault("nonsense").value("error", ""), "\"action\" must name a fault");
    // Only devices of the check-in table have a mailbox.
    const json unknown{{"device", "12345"}, {"action", "cut"}, {"message", kDataMessage}};
    EXPECT_EQ(backend_->post("/__admin/mcs/faults", unknown.dump()).status, 404);
    EXPECT_EQ(backend_->post("/__admin/mcs/send", unknown.dump()).status, 404);
}

TEST_F(McsServerTest, TopicMessagesGoOverTheChannelToSignedInDevices) {
    const std::string body = "sender=" + messaging_test::formValue(device_.token) + "&app=" + messaging_test::kBundle +
                             "&device=" + device_.id + "&app_ver=1.0&X-kdx.topic=%2Ftopics%2Fofertas" +
                             "&X-scope=%2Ftopics%2Fofertas";
    auto subscribed = backend_->tlsClient()->Post(
        "/iid/register", {{"Authorization", device_.authorization()}, {"app", messaging_test::kBundle}}, body, "");
    ASSERT_TRUE(subscribed && subscribed->status == 200);
    auto peer = connect();
    peer->login(device_);
    const json sent = backend_->sendTopicMessage("/topics/ofertas", json::object(), {{"title", "2x1"}});
    EXPECT_EQ(sent["deliveries"][0]["via"], "channel");
    auto stanza = peer->read()->as<pb::DataMessageStanza>();
    EXPECT_EQ(stanza.from(), "/topics/ofertas");
    EXPECT_EQ(stanza.category(), messaging_test::kBundle);
    EXPECT_EQ(stanza.persistent_id(), sent["messageId"]);
    ASSERT_EQ(stanza.app_data_size(), 1);
    EXPECT_EQ(stanza.app_data(0).key(), "kdx.notification.title");
}

TEST_F(McsServerTest, AMessageSentBothWaysCarriesOneIdAndTheChannelsCopyIsMarked) {
    const json gateway = json::parse(
        backend_->post("/push/v1/devices", json{{"bundleId", messaging_test::kBundle}, {"deviceId", "v"}}.dump()).body);
    const Device device = messaging_test::checkInAndRegister(*backend_, "s_" + gateway["deviceToken"].get<std::string>());
    ChannelPeer peer(backend_->mcsPort());
    peer.login(device);
    const json sent = backend_->sendToToken(device.token, {{"precio", "9.99"}}, nullptr, "both");
    EXPECT_EQ(sent["delivery"]["status"], 200);
    const auto stanza = peer.read()->as<pb::DataMessageStanza>();
    EXPECT_EQ(stanza.persistent_id(), sent["messageId"]);
    EXPECT_EQ(stanza.from(), "4242");
    std::map<std::string, std::string> appData;
    for (const auto& entry : stanza.app_data()) appData[entry.key()] = entry.value();
    EXPECT_EQ(appData, (std::map<std::string, std::string>{{"precio", "9.99"}, {"kdx.duplex", "1"}}));
    const auto pushed = json::parse(
        backend_->get("/push/v1/devices/" + gateway["deviceToken"].get<std::string>() + "/messages").body)["messages"];
    ASSERT_EQ(pushed.size(), 1u);
    EXPECT_EQ(pushed[0]["kdx.message_id"], sent["messageId"]);
    EXPECT_EQ(pushed[0]["aps"]["content-available"], 1);
    EXPECT_EQ(pushed[0]["precio"], "9.99");
}

TEST_F(McsServerTest, APeerThatStopsReadingIsLetGo) {
    auto peer = connect();
    peer->login(device_);
    ASSERT_EQ(session()["connected"], true);
    // Each oversized frame is a little over 1 MiB that the peer never reads:
    // fifteen stay under the 16 MiB output bound even if the socket took
    // nothing, so a peer let go any sooner went for another reason.
    int frames = 0;
    while (frames < 32 && session()["connected"] == true) {
        ASSERT_EQ(fault("oversizedFrame")["action"], "oversizedFrame") << "after " << frames << " frames";
        ++frames;
    }
    EXPECT_EQ(session()["connected"], false);
    EXPECT_GT(frames, 15);
    // Cut off: the server never said close.
    for (const auto& frame : backend_->channelFrames()) EXPECT_NE(frame["tag"], backend::mcs::kCloseTag) << frame;
}

TEST_F(McsServerTest, AStoppingServerSaysCloseToSignedInDevices) {
    auto peer = connect();
    peer->login(device_);
    backend_->stop();
    auto frame = peer->read();
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->tag, backend::mcs::kCloseTag);
    EXPECT_TRUE(peer->closedByServer());
}

TEST(McsServerLimitsTest, AConnectionThatDoesNotLogInIsClosed) {
    // The time-out runs from the accept and must outlast the server's side
    // of the TLS handshake, which is what sends the version byte: on a
    // loaded machine running sanitized code that alone took over 200 ms. The
    // two peers wait out the one time-out together.
    auto backend = Backend::start({.extraArgs = {"--request-timeout-ms", "3000"}});
    ChannelPeer silent(backend->mcsPort());
    ChannelPeer versionOnly(backend->mcsPort());
    versionOnly.write(std::string(1, char(backend::mcs::kVersion)));
    EXPECT_EQ(versionOnly.readVersion(), backend::mcs::kVersion);
    EXPECT_TRUE(silent.closedByServer());
    EXPECT_TRUE(versionOnly.closedByServer());
}

// Sends an upstream message with `persistentId` and waits for the server to
// confirm it; returns whether the sink marked it as a duplicate.
std::optional<bool> sendUpstream(ChannelPeer& peer, const Backend& backend, const std::string& persistentId,
                                 size_t rawBytes = 0) {
    pb::DataMessageStanza upstream;
    upstream.set_from("");
    upstream.set_category(messaging_test::kBundle);
    upstream.set_to("4242@kdx.ondrix.com");
    upstream.set_persistent_id(persistentId);
    if (rawBytes) upstream.set_raw_data(std::string(rawBytes, 'r'));
    peer.send(backend::mcs::kDataMessageStanzaTag, upstream);
    while (auto frame = peer.readTag(backend::mcs::kIqStanzaTag)) {
        const auto iq = frame->as<pb::IqStanza>();
        pb::SelectiveAck ack;
        if (iq.extension().id() != backend::mcs::kSelectiveAckExtension || !ack.ParseFromString(iq.extension().data()))
            continue;
        if (ack.id_size() > 0 && ack.id(ack.id_size() - 1) == persistentId) {
            return backend.channelUpstream().back()["duplicate"].get<bool>();
        }
    }
    return std::nullopt;
}

TEST_F(McsServerTest, RemembersUpstreamIdsOnlyWithinTheirBounds) {
    auto peer = connect();
    peer->login(device_);
    const auto advanceClock = [&](std::chrono::milliseconds by) {
        const json request{{"action", "advanceClock"}, {"ms", by.count()}};
        EXPECT_EQ(backend_->post("/__admin/mcs/faults", request.dump()).status, 200);
    };
    const struct {
        const char* what;
        std::function<void()> between;
        bool duplicate;
    } cases[] = {
        {"sent again at once", [] {}, true},
        {"sent again while younger than the lifetime",
         [&] { advanceClock(backend::mcs::kUpstreamIdLifetime - std::chrono::minutes(1)); }, true},
        {"sent again after the lifetime",
         [&] { advanceClock(backend::mcs::kUpstreamIdLifetime + std::chrono::minutes(1)); }, false},
        {"pushed out by newer ids",
         [&] {
             // Sent in one go; only the last confirmation is waited for.
             std::string frames;
             for (size_t i = 0; i < backend::mcs::kMaxRememberedUpstreamIds - 1; ++i) {
                 pb::DataMessageStanza other;
                 other.set_from("");
                 other.set_category(messaging_test::kBundle);
                 other.set_persistent_id("other-" + std::to_string(i));
                 frames += backend::mcs::encodeFrame(backend::mcs::kDataMessageStanzaTag, other.SerializeAsString());
             }
             peer->write(frames);
             EXPECT_EQ(sendUpstream(*peer, *backend_, "last-other"), false);
         },
         false},
        {"sent again after the sink was cleared",
         [&] { EXPECT_EQ(backend_->del("/__admin/mcs/upstream").status, 200); }, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string id = "up-" + std::to_string(++n);
        ASSERT_EQ(sendUpstream(*peer, *backend_, id), false) << c.what;
        c.between();
        EXPECT_EQ(sendUpstream(*peer, *backend_, id), c.duplicate) << c.what;
    }

    // The logs keep a message of a few KiB only by its size.
    ASSERT_EQ(sendUpstream(*peer, *backend_, "medium", 6 * 1024), false);
    EXPECT_TRUE(backend_->channelUpstream().back()["message"].contains("bytes"));
    EXPECT_EQ(backend_->channelUpstream().back()["message"]["persistent_id"], "medium");
    const json frames = backend_->channelFrames();
    const auto in = std::find_if(frames.rbegin(), frames.rend(), [](const json& f) { return f["direction"] == "in"; });
    ASSERT_NE(in, frames.rend());
    EXPECT_EQ((*in)["message"]["persistent_id"], "medium");
    EXPECT_TRUE((*in)["message"].contains("bytes"));

    // An id longer than any the client makes ends the connection.
    EXPECT_FALSE(sendUpstream(*peer, *backend_, std::string(backend::mcs::kMaxPersistentIdBytes + 1, '7')).has_value());
    EXPECT_EQ(session()["connected"], false);
}

TEST_F(McsServerTest, ADeviceWithMoreQueuedThanTheOutputBoundGetsEverythingAtLogin) {
    // 48 messages of 900 KiB: well past the 16 MiB a connection may have unsent.
    std::vector<std::string> ids;
    for (int i = 0; i < 48; ++i) ids.push_back(queue({{"blob", std::string(900 * 1024, char('a' + i % 26))}}));
    auto peer = connect();
    EXPECT_FALSE(peer->login(device_).has_error());
    for (size_t i = 0; i < ids.size(); ++i) {
        auto frame = peer->readTag(backend::mcs::kDataMessageStanzaTag);
        ASSERT_TRUE(frame.has_value()) << "message " << i << " of " << ids.size();
        const auto stanza = frame->as<pb::DataMessageStanza>();
        EXPECT_EQ(stanza.persistent_id(), ids[i]);
        ASSERT_EQ(stanza.app_data_size(), 1);
        EXPECT_EQ(stanza.app_data(0).value(), std::string(900 * 1024, char('a' + i % 26)));
    }
    // Queued while connected, a message waits its turn behind the rest.
    const std::string later = queue({{"later", "1"}});
    EXPECT_EQ(peer->readTag(backend::mcs::kDataMessageStanzaTag)->as<pb::DataMessageStanza>().persistent_id(), later);
    // A message the client could not read is refused.
    const json tooLarge{{"device", device_.id},
                        {"message", kDataMessage},
                        {"data", {{"blob", std::string(backend::mcs::kMaxMessageBytes, 'x')}}}};
    EXPECT_EQ(backend_->post("/__admin/mcs/send", tooLarge.dump()).status, 413);
}

TEST(McsServerLimitsTest, IdleConnectionsThatNeverLogInDoNotLockOutADevice) {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    auto backend = Backend::start();
    const Device device = messaging_test::checkInAndRegister(*backend);
    // The listener's whole allowance, held open without a handshake.
    net::io_context io;
    std::vector<tcp::socket> idle;
    for (int i = 0; i < 1024; ++i) {
        idle.emplace_back(io);
        idle.back().connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), uint16_t(backend->mcsPort())));
    }
    std::optional<pb::LoginResponse> response;
    try {
        ChannelPeer peer(backend->mcsPort());
        response = peer.login(device);
    } catch (const boost::system::system_error& e) {
        ADD_FAILURE() << "the device could not connect: " << e.what();
    }
    ASSERT_TRUE(response.has_value());
    EXPECT_FALSE(response->has_error());
}

}  // namespace
