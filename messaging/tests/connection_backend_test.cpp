// The channel connection against the local back end's channel server, with
// a device checked in at the back end: login with its credentials,
// downstream messages to the delegate, the device's stream acknowledgement,
// received ids confirmed by the server's count and removed from the store,
// and the server's faults that must close the socket.

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/QRVLogger.h"
#include "messaging/QRVMessagingConnection.h"
#include "messaging/QRVMessagingRmqManager.h"
#include "platform/clock.h"
#include "platform/runloop.h"
#include "platform/system_log.h"
#include "testing/backend.h"

namespace {

using json = nlohmann::json;

struct Recorder : QRVMessagingConnectionDelegate {
    void connectionDidCloseForReason(QRVMessagingConnection&, uint64_t reason) override { closes.push_back(reason); }
    void didLoginWithConnection(QRVMessagingConnection&) override { ++logins; }
    void connectionDidRecieveMessage(const ParloDataMessageStanza& message) override { messages.push_back(message); }
    int32_t connectionDidReceiveAckForRmqIds(const std::vector<std::string>&) override { return 0; }
    std::vector<uint64_t> closes;
    int logins = 0;
    std::vector<ParloDataMessageStanza> messages;
};

class ConnectionBackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        backend = ns::testing::Backend::start();
        backend->routeServiceHosts();
        auto checkin = backend->post("/checkin", json{{"id", 0}, {"security_token", 0}, {"checkin", json::object()},
                                                       {"version", 2}}.dump());
        ASSERT_EQ(checkin.status, 200) << checkin.body;
        const auto answer = json::parse(checkin.body);
        deviceId = std::to_string(answer.at("verdos_id").get<uint64_t>());
        secret = std::to_string(answer.at("security_token").get<uint64_t>());
    }
    // The channel goes first, so the back end stops with no session open.
    void TearDown() override {
        if (connection) connection->teardown();
    }
    void connect(const std::string& token) {
        connection = QRVMessagingConnection::initWithAuthID(deviceId, token, "mtalk.ondrix.com", 5228,
                                                            ns::RunLoop::mainShared(), store, {});
        connection->setDelegate(recorder);
        connection->signIn();
    }
    bool pump(const std::function<bool()>& done) { return ns::RunLoop::main().runUntil(done, 30); }
    json admin(const std::string& path, const json& body) {
        auto reply = backend->post("/__admin/mcs/" + path, body.dump());
        EXPECT_EQ(reply.status, 200) << path << ": " << reply.body;
        return reply.status == 200 ? json::parse(reply.body) : json();
    }
    std::string sendDown(const std::string& text, bool immediateAck = false) {
        json message{{"from", "mcs.ondrix.com"}, {"category", "com.almavel.tienda"}};
        if (immediateAck) message["immediateAck"] = true;
        return admin("send", {{"device", deviceId}, {"message", message}, {"data", {{"texto", text}}}})
            .value("persistentId", "");
    }
    // Stream acknowledgements the device sent.
    int deviceStreamAcks() {
        int count = 0;
        const json frames = json::parse(backend->get("/__admin/mcs/frames").body);
        for (const auto& frame : frames.at("frames")) {
            if (frame.value("direction", "") == "in" && frame.value("tag", -1) == 7) ++count;
        }
        return count;
    }

    std::unique_ptr<ns::testing::Backend> backend;
    std::string deviceId, secret;
    std::shared_ptr<QRVMessagingRmqManager> store;
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<QRVMessagingConnection> connection;
};

TEST_F(ConnectionBackendTest, CheckedInDeviceLogsInReceivesAndAcknowledges) {
    connect(secret);
    ASSERT_TRUE(pump([&] { return connection->isSignedIn() || !recorder->closes.empty(); }));
    ASSERT_TRUE(connection->isSignedIn());
    EXPECT_EQ(recorder->logins, 1);

    std::vector<std::string> sent;
    for (int i = 0; i < 10; ++i) sent.push_back(sendDown("mensaje " + std::to_string(i)));
    ASSERT_TRUE(pump([&] { return recorder->messages.size() == 10; }));
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(recorder->messages[i].persistent_id(), sent[i]);
        ASSERT_EQ(recorder->messages[i].app_data_size(), 1);
        EXPECT_EQ(recorder->messages[i].app_data(0).value(), "mensaje " + std::to_string(i));
    }
    // Login response and ten messages, the first reported by the ping after
    // the login: the tenth unreported one makes the device acknowledge.
    ASSERT_TRUE(pump([&] { return deviceStreamAcks() == 1; }));
    sendDown("ya", true);
    ASSERT_TRUE(pump([&] { return deviceStreamAcks() == 2; }));
    EXPECT_TRUE(recorder->closes.empty());
}

TEST_F(ConnectionBackendTest, WrongSecretIsRefused) {
    connect("0");
    ASSERT_TRUE(pump([&] { return !recorder->closes.empty(); }));
    EXPECT_EQ(recorder->logins, 0);
    EXPECT_FALSE(connection->isSignedIn());
}

TEST_F(ConnectionBackendTest, ReceivedIdsLeaveTheStoreOnceTheServerCountedThem) {
    auto clock = ns::VirtualClock::install();
    store = QRVMessagingRmqManager::initWithDatabaseName("rmq2-backend-" + std::to_string(::getpid()));
    connect(secret);
    ASSERT_TRUE(pump([&] { return connection->isSignedIn(); }));
    const std::string id = sendDown("guardado");
    ASSERT_TRUE(pump([&] { return recorder->messages.size() == 1; }));
    EXPECT_EQ(store->unackedS2dRmqIds(), (std::vector<std::string>{id}));
    // The next ping reports the id; the server's answer counts the ping.
    clock->advance(30);
    ASSERT_TRUE(pump([&] { return store->unackedS2dRmqIds().empty(); }));
    EXPECT_TRUE(connection->unackedS2dIds().empty());
    EXPECT_TRUE(recorder->closes.empty());
}

TEST_F(ConnectionBackendTest, ServerFaultsThatCloseTheSocket) {
    for (const char* action : {"garbledFrame", "oversizedFrame"}) {
        SCOPED_TRACE(action);
        recorder->closes.clear();
        connect(secret);
        ASSERT_TRUE(pump([&] { return connection->isSignedIn(); }));
        admin("faults", {{"action", action}, {"device", deviceId}});
        ASSERT_TRUE(pump([&] { return !recorder->closes.empty(); }));
        EXPECT_EQ(recorder->closes[0], kQRVMessagingConnectionCloseReasonSocketDisconnected);
    }
    // A wrong version byte ends the connection before the login is answered.
    recorder->closes.clear();
    admin("faults", {{"action", "badVersion"}, {"count", 1}});
    connect(secret);
    ASSERT_TRUE(pump([&] { return !recorder->closes.empty(); }));
    EXPECT_EQ(recorder->logins, 2);
}

TEST_F(ConnectionBackendTest, UnknownTagIsDroppedAndTheChannelStays) {
    connect(secret);
    ASSERT_TRUE(pump([&] { return connection->isSignedIn(); }));
    auto capture = ns::SystemLog::capture();
    admin("faults", {{"action", "unknownTag"}, {"device", deviceId}});
    sendDown("después");
    ASSERT_TRUE(pump([&] { return recorder->messages.size() == 1; }));
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("I-QDX005003"));
    EXPECT_TRUE(connection->isSignedIn());
    EXPECT_TRUE(recorder->closes.empty());
}

}  // namespace
