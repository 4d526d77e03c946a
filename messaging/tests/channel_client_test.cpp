// The channel client against the local back end's channel server: the
// device's check-in credentials come from instance identity, the connect
// cycle, its errors, the back-off and the lazy reconnect on the virtual
// clock, and the server's Close.

#include <gtest/gtest.h>

#include "checked_in_device.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <regex>

#include "core/QRVApp.h"
#include "core/QRVLogger.h"
#include "core/QRVOptions.h"
#include "instanceid/QRVInstanceID.h"
#include "messaging/QRVMessaging.h"
#include "messaging/QRVMessagingClient.h"
#include "messaging/QRVMessagingRegistrar.h"
#include "messaging/QRVMessagingUtilities.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/host_routing.h"
#include "platform/notification_center.h"
#include "platform/reachability.h"
#include "platform/runloop.h"
#include "platform/system_log.h"
#include "testing/loopback.h"
#include "testing/backend.h"
#include "testing/temp_sandbox.h"

namespace {

using json = nlohmann::json;

bool pumpUntil(const std::function<bool()>& done, double seconds = 30) {
    return ns::RunLoop::main().runUntil(done, seconds);
}

TEST(ChannelEndpoint, ReadsHostAndPortFromTheVariable) {
    struct Case {
        const char* value;
        std::string host;
        uint32_t port;
    };
    const Case cases[] = {{nullptr, "mtalk.ondrix.com", 5228},
                          {"mcs.localhost:4443", "mcs.localhost", 4443},
                          {"mcs.localhost", "mcs.localhost", 5228},
                          {"mcs.localhost:0", "mcs.localhost", 5228},
                          {"mcs.localhost:x", "mcs.localhost", 5228},
                          {"a:b:7000", "a", 7000}};
    for (const Case& c : cases) {
        auto [host, port] = QRVMessagingClient::endpointFromVariable(c.value);
        EXPECT_EQ(host, c.host) << (c.value ? c.value : "(unset)");
        EXPECT_EQ(port, c.port) << (c.value ? c.value : "(unset)");
    }
}

// A device checked in with the local back end; the messaging object made and
// started as at launch, the channel server reached through the routed
// default host.
class ChannelClient : public messagingtest::CheckedInDevice {
protected:
    void SetUp() override {
        ns::SystemLog::setFilterLevel(ns::SystemLog::kDebug);
        QRVSetLoggerLevel(QRVLoggerLevelDebug);
        CheckedInDevice::SetUp();
        if (HasFatalFailure()) return;
        messaging_ = QRVMessaging::messaging();
        client_ = messaging_->client();
        ASSERT_TRUE(pumpUntil([&] { return messaging_->isNetworkAvailable(); }));
        stateChanges_ = ns::NotificationCenter::defaultCenter().addObserver(
            kQRVMessagingConnectionStateChangedNotification, nullptr, nullptr,
            [this](const ns::Notification&) { ++stateChangedPosts_; });
        capture_ = std::make_unique<ns::SystemLog::Capture>(ns::SystemLog::capture());
    }
    void TearDown() override {
        ns::NotificationCenter::defaultCenter().removeObserver(stateChanges_);
        client_.reset();
        messaging_.reset();
        CheckedInDevice::TearDown();
    }

    std::string device() const { return client_->registrar()->deviceAuthID(); }
    json session() {
        auto reply = backend_->get("/__admin/mcs/sessions");
        const json all = json::parse(reply.body);
        for (const auto& s : all["devices"]) {
            if (s["device"] == device()) return s;
        }
        return json::object();
    }
    // Every login the server accepted from the device.
    size_t logins() {
        const json s = session();
        return s.contains("logins") ? s["logins"].size() : 0;
    }
    void fault(json request) {
        if (!request.contains("device")) request["device"] = device();
        auto reply = backend_->post("/__admin/mcs/faults", request.dump());
        ASSERT_EQ(reply.status, 200) << reply.body;
    }
    bool logged(const std::string& text) {
        QRVLoggerFlush();
        return capture_->contains(text);
    }
    // The delays of the 4011 lines so far, in order.
    std::vector<int> retryDelays() {
        QRVLoggerFlush();
        std::vector<int> delays;
        static const std::regex line("I-QDX004011.*retry in ([0-9]+) seconds");
        for (const auto& l : capture_->lines()) {
            std::smatch m;
            if (std::regex_search(l, m, line)) delays.push_back(std::stoi(m[1]));
        }
        return delays;
    }
    void connect() { connectChannel(*messaging_); }

    std::shared_ptr<QRVMessaging> messaging_;
    std::shared_ptr<QRVMessagingClient> client_;
    std::unique_ptr<ns::SystemLog::Capture> capture_;
    ns::ObserverToken stateChanges_ = 0;
    int stateChangedPosts_ = 0;
};

TEST_F(ChannelClient, ConnectsOnceAndTellsWhenConnected) {
    connect();
    EXPECT_TRUE(client_->isConnected());
    EXPECT_TRUE(messaging_->isDirectChannelEstablished());
    EXPECT_EQ(stateChangedPosts_, 1);
    EXPECT_EQ(logins(), 1u);
    EXPECT_EQ(client_->connectRetryCount(), 0u);

    ns::ErrorRef again;
    client_->connectWithHandler([&](const ns::ErrorRef& e) { again = e; });
    ASSERT_TRUE(again);
    EXPECT_EQ(again->code(), 2001);
    EXPECT_EQ(again->localizedFailureReason(), "QRVMessaging is already connected");
    EXPECT_EQ(logins(), 1u);

    messaging_->disconnect();
    EXPECT_FALSE(client_->isConnected());
    EXPECT_FALSE(client_->shouldStayConnected());
    EXPECT_EQ(stateChangedPosts_, 2);
    messaging_->disconnect();  // already down: nothing
    EXPECT_EQ(stateChangedPosts_, 2);
}

TEST_F(ChannelClient, AfterTheServersCloseItIsDownAndWaitsToBeAsked) {
    connect();
    fault({{"action", "close"}});
    ASSERT_TRUE(pumpUntil([&] { return !client_->isConnected(); }));
    EXPECT_FALSE(messaging_->isDirectChannelEstablished());
    EXPECT_TRUE(pumpUntil([&] { return stateChangedPosts_ == 2; }));
    EXPECT_TRUE(client_->shouldStayConnected());

    // No retry of its own, however long.
    clock_->advance(2000);
    ns::RunLoop::main().runFor(0.3);
    EXPECT_EQ(logins(), 1u);

    // A lazy request reconnects after 120 s; a second one adds nothing.
    client_->retryConnectionImmediately(false);
    client_->retryConnectionImmediately(false);
    clock_->advance(119);
    ns::RunLoop::main().runFor(0.3);
    EXPECT_FALSE(client_->isConnected());
    clock_->advance(1);
    ASSERT_TRUE(pumpUntil([&] { return client_->isConnectionActive(); }));
    EXPECT_EQ(logins(), 2u);
}

TEST_F(ChannelClient, FailedAttemptsBackOffUpTo1024Seconds) {
    fault({{"action", "badVersion"}, {"count", 12}});
    bool done = false;
    client_->connectWithHandler([&](const ns::ErrorRef&) { done = true; });
    std::vector<int> expected;
    for (int attempt = 1; attempt <= 12; ++attempt) {
        const int delay = 1 << std::min(attempt, 10);
        expected.push_back(delay);
        ASSERT_TRUE(pumpUntil([&] { return retryDelays().size() == expected.size(); })) << attempt;
        EXPECT_EQ(client_->connectRetryCount(), uint64_t(std::min(attempt, 10)));
        clock_->advance(delay - 1);
        ns::RunLoop::main().runFor(0.1);
        EXPECT_EQ(retryDelays().size(), expected.size());  // not before its time
        clock_->advance(1);
    }
    EXPECT_EQ(retryDelays(), expected);
    // The thirteenth attempt meets the right version byte.
    ASSERT_TRUE(pumpUntil([&] { return done; }));
    EXPECT_TRUE(client_->isConnectionActive());
    EXPECT_EQ(client_->connectRetryCount(), 0u);
}

TEST_F(ChannelClient, WithoutNetworkTheLoopEndsWithTheNetworkErrorAndResumesOnRequest) {
    fault({{"action", "badVersion"}, {"count", 1}});
    ns::Reachability::setOverride(ns::Reachability::Status::NotReachable);
    ASSERT_TRUE(pumpUntil([&] { return !messaging_->isNetworkAvailable(); }));
    ns::ErrorRef error;
    bool done = false;
    client_->connectWithHandler([&](const ns::ErrorRef& e) {
        error = e;
        done = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return done; }));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), "No internet available, cannot connect to QRVMessaging");
    EXPECT_EQ(error->code(), 4);
    EXPECT_TRUE(client_->shouldStayConnected());
    EXPECT_FALSE(client_->isConnected());
    EXPECT_TRUE(logged("I-QDX004010"));

    // The network comes back: the messaging object asks for a retry at once.
    ns::Reachability::setOverride(ns::Reachability::Status::ReachableViaWiFi);
    ASSERT_TRUE(pumpUntil([&] { return client_->isConnectionActive(); }));
    EXPECT_TRUE(logged("I-QDX002014"));
}

// A listener that accepts and never answers: the login never comes back.
class SilentServer {
public:
    SilentServer() {
        fd_ = ns::testing::listenOnLoopback(port_, 8);
    }
    ~SilentServer() { ::close(fd_); }
    uint16_t port() const { return port_; }

private:
    int fd_;
    uint16_t port_;
};

TEST_F(ChannelClient, AnAttemptNotSignedInWithin40SecondsIsRetried) {
    SilentServer silent;
    ns::HostRouting::shared().remove("mtalk.ondrix.com", 5228);
    ASSERT_TRUE(ns::HostRouting::shared().add("mtalk.ondrix.com", 5228, "127.0.0.1", silent.port()));
    client_->connectWithHandler([](const ns::ErrorRef&) {});
    ASSERT_TRUE(pumpUntil([&] { return client_->isConnected(); }));
    clock_->advance(39);
    ns::RunLoop::main().runFor(0.2);
    EXPECT_TRUE(retryDelays().empty());
    clock_->advance(1);
    ASSERT_TRUE(pumpUntil([&] { return retryDelays() == std::vector<int>{2}; }));
    EXPECT_TRUE(client_->shouldStayConnected());
    ns::HostRouting::shared().remove("mtalk.ondrix.com", 5228);
}

TEST_F(ChannelClient, DirectAndTopicMessagesReachTheDelegate) {
    class Delegate : public QRVMessagingDelegate {
    public:
        void messagingDidRefreshRegistrationToken(const std::shared_ptr<QRVMessaging>&, const std::string&) override {}
        void messagingDidReceiveMessage(const std::shared_ptr<QRVMessaging>&,
                                        const std::shared_ptr<QRVMessagingRemoteMessage>& message) override {
            messages.push_back(message->appData());
        }
        std::vector<ns::Dictionary> messages;
    };
    auto delegate = std::make_shared<Delegate>();
    messaging_->setDelegate(delegate);
    connect();
    auto reply = backend_->post("/__admin/mcs/send",
                                json{{"device", device()},
                                     {"message", {{"from", "480326711275"}, {"category", "com.almavel.app"}}},
                                     {"data", {{"oferta", "2x1"}, {"kdx.message_id", "m1"}}},
                                     {"persistent", true}}
                                    .dump());
    ASSERT_EQ(reply.status, 200) << reply.body;
    ASSERT_TRUE(pumpUntil([&] { return !delegate->messages.empty(); }));
    EXPECT_EQ(delegate->messages[0].at("oferta"), ns::Value("2x1"));
    EXPECT_EQ(delegate->messages[0].at("from"), ns::Value("480326711275"));
    for (const auto& [key, value] : delegate->messages[0]) EXPECT_FALSE(key.starts_with("kdx.")) << key;

    // A message to a topic the app subscribed to comes the same way.
    messaging_->subscribeToTopic("/topics/ofertas");
    ASSERT_TRUE(pumpUntil([&] { return backend_->topicSubscriptions().contains("/topics/ofertas"); }))
        << backend_->log();
    backend_->sendTopicMessage("ofertas", json{{"oferta", "3x2"}}, nullptr, "channel");
    ASSERT_TRUE(pumpUntil([&] { return delegate->messages.size() == 2; })) << backend_->log();
    EXPECT_EQ(delegate->messages[1].at("oferta"), ns::Value("3x2"));
    EXPECT_EQ(delegate->messages[1].at("from"), ns::Value("/topics/ofertas"));
}

TEST_F(ChannelClient, AnUpstreamMessageReachesTheServerAndIsConfirmed) {
    connect();
    std::vector<ns::Dictionary> confirmed;
    auto token = ns::NotificationCenter::defaultCenter().addObserver(
        QRVMessagingSendSuccessNotification, nullptr, nullptr,
        [&](const ns::Notification& n) { confirmed.push_back(n.userInfo); });
    messaging_->sendMessage({{"pedido", "42"}}, "480326711275@gcm.ondrix.com", "up-1", 600);
    json message;
    ASSERT_TRUE(pumpUntil([&] {
        const json all = json::parse(backend_->get("/__admin/mcs/upstream").body);
        if (all["messages"].empty()) return false;
        message = all["messages"][0]["message"];
        return true;
    }));
    EXPECT_EQ(message["to"], "480326711275@gcm.ondrix.com");
    EXPECT_EQ(message["id"], "up-1");
    EXPECT_EQ(message["ttl"], 600);
    EXPECT_EQ(message["category"], "com.almavel.app");
    ASSERT_EQ(message["app_data"].size(), 1u);
    EXPECT_EQ(message["app_data"][0]["key"], "pedido");
    EXPECT_EQ(message["app_data"][0]["value"], "42");
    // The server's selective acknowledgement confirms it.
    ASSERT_TRUE(pumpUntil([&] { return !confirmed.empty(); }));
    EXPECT_EQ(confirmed[0].at("messageID"), ns::Value("up-1"));
    ns::NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(ChannelClient, ATopicSubscriptionReachesTheRegistrationService) {
    const std::string token = *QRVInstanceID::instanceID()->defaultQDXToken();
    ns::NotificationCenter::defaultCenter().post(kQRVMessagingQDXTokenNotification, nullptr, {{"object", token}});
    ASSERT_EQ(messaging_->defaultQdxToken(), token);
    messaging_->subscribeToTopic("ofertas");
    ASSERT_TRUE(pumpUntil([&] {
        const json topics = json::parse(backend_->get("/__admin/topics").body)["topics"];
        return topics.contains("/topics/ofertas") && topics["/topics/ofertas"][0]["token"] == token;
    }));
    messaging_->unsubscribeFromTopic("/topics/ofertas");
    EXPECT_TRUE(pumpUntil([&] {
        const json topics = json::parse(backend_->get("/__admin/topics").body)["topics"];
        return !topics.contains("/topics/ofertas") || topics["/topics/ofertas"].empty();
    }));
}

}  // namespace
