#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "messaging/Parlo.h"
#include "messaging/QRVMessagingDataMessageManager.h"
#include "messaging/QRVMessagingUtilities.h"
#include "platform/clock.h"
#include "platform/file_manager.h"
#include "platform/notification_center.h"
#include "testing/temp_sandbox.h"

namespace {

using Keys = QRVMessagingDataMessageKeys;

// The channel as the manager sees it: whether it is up, whether the network
// is, and what was handed to it.
class RecordingChannel : public QRVMessagingDataMessageChannel {
public:
    bool isConnectionActive() override { return active; }
    bool isNetworkAvailable() override { return network; }
    void sendMessage(const std::shared_ptr<google::protobuf::Message>& message) override {
        sent.push_back(std::dynamic_pointer_cast<ParloDataMessageStanza>(message));
    }
    void sendOnConnectOrDrop(const std::shared_ptr<google::protobuf::Message>& message) override {
        onConnect.push_back(std::dynamic_pointer_cast<ParloDataMessageStanza>(message));
    }
    void retryConnectionImmediately(bool immediately) override { retries += immediately ? 1 : 0; }

    bool active = true;
    bool network = true;
    std::vector<std::shared_ptr<ParloDataMessageStanza>> sent;
    std::vector<std::shared_ptr<ParloDataMessageStanza>> onConnect;
    int retries = 0;
};

class RecordingReceiver : public QRVMessagingDataMessageManagerDelegate {
public:
    void didReceiveMessage(const ns::Dictionary& message, const std::string& messageID) override {
        received.push_back(message);
        receivedIDs.push_back(messageID);
    }
    void willSendDataMessageWithID(const std::string& messageID, const ns::ErrorRef& error) override {
        willSend.emplace_back(messageID, error ? error->code() : 0);
    }
    void didSendDataMessageWithID(const std::string& messageID) override { didSend.push_back(messageID); }
    void didDeleteMessagesOnServer() override { ++deleted; }

    std::vector<ns::Dictionary> received;
    std::vector<std::string> receivedIDs;
    std::vector<std::pair<std::string, long>> willSend;  // (id, error code or 0)
    std::vector<std::string> didSend;
    int deleted = 0;
};

class DataMessages : public ::testing::Test {
protected:
    void SetUp() override {
        const auto& files = ns::FileManager::defaultManager();
        files.createDirectory(files.pathForDirectory(ns::SearchPathDirectory::ApplicationSupport) + "/" +
                                  QRVMessagingRmq2PersistentStore::kSubDirectory,
                              true);
        sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "com.ondrix.almavel"}});
        channel_ = std::make_shared<RecordingChannel>();
        receiver_ = std::make_shared<RecordingReceiver>();
        rmq_ = QRVMessagingRmqManager::initWithDatabaseName("rmq2");
        rmq_->loadRmqId();
        sync_ = QRVMessagingSyncMessageManager::initWithRmqManager(rmq_);
        manager_ = QRVMessagingDataMessageManager::initWithDelegate(receiver_, channel_, rmq_, sync_);
        manager_->refreshDelayedMessages();
        manager_->setDeviceAuthID("4242", "secret");
    }

    static ns::Dictionary upstream(ns::Dictionary data, const std::string& messageID = "up-1") {
        return {{Keys::kTo, "123@kdx.ondrix.com"},
                {Keys::kMessageID, messageID},
                {Keys::kTTL, int64_t(0)},
                {Keys::kAppData, ns::Value(std::move(data))}};
    }
    std::vector<int64_t> storedIds() {
        std::vector<int64_t> ids;
        rmq_->scanWithRmqMessageHandler([&](int64_t id, int8_t, const ns::Data&) { ids.push_back(id); }, {});
        return ids;
    }
    ns::Dictionary deliver(const ParloDataMessageStanza& stanza) {
        auto parsed = manager_->processPacket(stanza);
        if (parsed) manager_->didReceiveParsedMessage(*parsed);
        return parsed.value_or(ns::Dictionary());
    }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::VirtualClock> clock_ = ns::VirtualClock::install(1'700'000'000.0);
    std::shared_ptr<RecordingChannel> channel_;
    std::shared_ptr<RecordingReceiver> receiver_;
    std::shared_ptr<QRVMessagingRmqManager> rmq_;
    std::shared_ptr<QRVMessagingSyncMessageManager> sync_;
    std::shared_ptr<QRVMessagingDataMessageManager> manager_;
};

TEST_F(DataMessages, UpstreamMessagesAreCheckedAndLimited) {
    struct Case {
        const char* name;
        ns::Dictionary overrides;  // replaced entries (a null value removes one)
        ns::Dictionary data;
        bool secret;
        long error;         // 0: sent
        int32_t ttl;        // as sent
        int32_t maxDelay;   // as queued (0: sent at once)
    };
    const std::string k2048(2048, 'k');
    const Case cases[] = {
        {"ttl above the maximum", {{Keys::kTTL, int64_t(100000)}, {Keys::kMessageID, ""}}, {}, true, 0, 86400, 0},
        {"negative ttl", {{Keys::kTTL, int64_t(-5)}, {Keys::kMessageID, ""}}, {}, true, 0, 86400, 0},
        {"a real ttl past the integers", {{Keys::kTTL, 1e300}, {Keys::kMessageID, ""}}, {}, true, 0, 86400, 0},
        {"a real ttl below them", {{Keys::kTTL, -1e300}, {Keys::kMessageID, ""}}, {}, true, 0, 86400, 0},
        {"no ttl", {{Keys::kTTL, nullptr}}, {}, true, 0, 0, 0},
        {"no delay", {{Keys::kDelay, int64_t(0)}}, {}, true, 0, 0, 0},
        {"negative delay", {{Keys::kDelay, int64_t(-3)}}, {}, true, 0, 0, 0},
        {"long delay", {{Keys::kDelay, int64_t(7200)}}, {}, true, 0, 0, 3600},
        {"no secret", {}, {}, false, 501, 0, 0},
        {"no destination", {{Keys::kTo, ""}}, {}, true, 1003, 0, 0},
        {"4096 characters", {}, {{"a", k2048.substr(1)}, {"b", std::string(2047, 'v')}}, true, 0, 0, 0},
        {"4097 characters", {}, {{"a", k2048}, {"b", std::string(2047, 'v')}}, true, 1005, 0, 0},
        {"an emoji counts two units, not four bytes", {}, {{"ab", std::string(4092, 'v') + "\xF0\x9F\x98\x80"}}, true, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        if (!c.secret) manager_->setDeviceAuthID("", "");
        ns::Dictionary message = upstream(c.data);
        for (const auto& [key, value] : c.overrides) {
            if (value.isNull()) {
                message.erase(key);
            } else {
                message[key] = value;
            }
        }
        manager_->sendDataMessageStanza(message);
        if (c.error != 0) {
            EXPECT_TRUE(channel_->sent.empty());
            ASSERT_EQ(receiver_->willSend.size(), 1u);
            EXPECT_EQ(receiver_->willSend[0].second, c.error);
            continue;
        }
        EXPECT_TRUE(receiver_->willSend.empty());
        if (c.maxDelay > 0) {
            EXPECT_TRUE(channel_->sent.empty());
            EXPECT_EQ(manager_->delayedMessagesQueue()->messageCount(), 1);
            continue;
        }
        ASSERT_EQ(channel_->sent.size(), 1u);
        const auto& stanza = *channel_->sent[0];
        EXPECT_EQ(stanza.ttl(), c.ttl);
        EXPECT_EQ(stanza.sent(), 1'700'000'000);
        EXPECT_EQ(stanza.to(), "123@kdx.ondrix.com");
        EXPECT_EQ(stanza.category(), "com.ondrix.almavel");
        EXPECT_FALSE(stanza.has_max_delay());
    }
}

TEST_F(DataMessages, AMessageThatMustSurviveIsStoredBeforeAnySendAndWaitsThere) {
    channel_->active = false;
    channel_->network = false;
    ns::Dictionary message = upstream({{"order", "7"}, {"count", 3}, {"collapse_key", "orders"}}, "keep-1");
    message[Keys::kTTL] = int64_t(600);
    manager_->sendDataMessageStanza(message);
    EXPECT_EQ(receiver_->willSend, (std::vector<std::pair<std::string, long>>{{"keep-1", 0}}));
    ASSERT_EQ(storedIds(), (std::vector<int64_t>{2}));
    EXPECT_TRUE(channel_->sent.empty());

    // The same without an id cannot wait: error 4.
    message[Keys::kMessageID] = "";
    manager_->sendDataMessageStanza(message);
    EXPECT_EQ(receiver_->willSend.back(), (std::pair<std::string, long>{"", 4}));
    EXPECT_EQ(storedIds().size(), 1u);

    // With the network back but no channel yet, a message without a time to
    // live waits for the login; every send asks for a reconnect.
    channel_->network = true;
    manager_->sendDataMessageStanza(upstream({}, "later"));
    EXPECT_EQ(channel_->onConnect.size(), 1u);
    EXPECT_EQ(channel_->retries, 1);

    // What was stored is the whole stanza, numbered by the store.
    rmq_->scanWithRmqMessageHandler({}, [](int64_t rmqId, const auto& stored) {
        EXPECT_EQ(stored->persistent_id(), std::to_string(rmqId));
        EXPECT_EQ(stored->id(), "keep-1");
        EXPECT_EQ(stored->token(), "orders");
        ASSERT_EQ(stored->app_data_size(), 3);
        EXPECT_EQ(stored->app_data(1).key(), "count");
        EXPECT_EQ(stored->app_data(1).value(), "3");
    });
}

TEST_F(DataMessages, DelayedMessagesLeaveWhenDueOrBeforeTheNextUndelayedSend) {
    ns::Dictionary delayed = upstream({{"n", "0"}});
    delayed[Keys::kDelay] = int64_t(30);
    manager_->sendDataMessageStanza(delayed);
    clock_->advance(29);
    EXPECT_TRUE(channel_->sent.empty());
    clock_->advance(1);
    ASSERT_EQ(channel_->sent.size(), 1u);
    EXPECT_EQ(channel_->sent[0]->actual_delay(), 30);
    EXPECT_EQ(manager_->delayedMessagesQueue()->scheduledTimeoutMilliseconds(), -1);

    // Ten wait in memory; the eleventh is refused by the queue and goes at
    // once, after the ten.
    channel_->sent.clear();
    for (int i = 1; i <= 11; ++i) {
        delayed[Keys::kMessageID] = "d" + std::to_string(i);
        delayed[Keys::kDelay] = int64_t(600 - i);
        manager_->sendDataMessageStanza(delayed);
        if (i == 10) {
            EXPECT_TRUE(channel_->sent.empty());
            EXPECT_EQ(manager_->delayedMessagesQueue()->scheduledTimeoutMilliseconds(), (1'700'000'030 + 590) * 1000LL);
        }
    }
    ASSERT_EQ(channel_->sent.size(), 11u);
    EXPECT_EQ(channel_->sent.front()->id(), "d1");
    EXPECT_EQ(channel_->sent.back()->id(), "d11");
    EXPECT_EQ(manager_->delayedMessagesQueue()->messageCount(), 0);
    clock_->advance(600);
    EXPECT_EQ(channel_->sent.size(), 11u) << "the flush was cancelled with the queue emptied";
}

TEST_F(DataMessages, StoredMessagesAreResentUntilTheirTimeToLiveRunsOut) {
    channel_->active = false;
    channel_->network = false;
    for (auto [id, ttl] : {std::pair{"short", 60}, std::pair{"long", 3600}}) {
        ns::Dictionary message = upstream({}, id);
        message[Keys::kTTL] = int64_t(ttl);
        manager_->sendDataMessageStanza(message);
    }
    ASSERT_EQ(storedIds().size(), 2u);
    clock_->advance(61);
    std::vector<std::string> resent;
    manager_->resendMessagesWithSender([&](const std::shared_ptr<google::protobuf::Message>& message) {
        resent.push_back(std::dynamic_pointer_cast<ParloDataMessageStanza>(message)->id());
    });
    EXPECT_EQ(resent, (std::vector<std::string>{"long"}));
    EXPECT_EQ(receiver_->willSend.back(), (std::pair<std::string, long>{"short", 1001}));
    EXPECT_EQ(storedIds().size(), 1u);

    ParloDataMessageStanza confirmed;
    confirmed.set_id("long");
    manager_->didSendDataMessageStanza(confirmed);
    EXPECT_EQ(receiver_->didSend, (std::vector<std::string>{"long"}));
}

// MARK: - Downstream

ParloDataMessageStanza received(const std::string& persistentID,
                                std::initializer_list<std::pair<const char*, const char*>> appData) {
    ParloDataMessageStanza stanza;
    stanza.set_from("123");
    stanza.set_category("com.ondrix.almavel");
    stanza.set_persistent_id(persistentID);
    for (auto [key, value] : appData) {
        auto* entry = stanza.add_app_data();
        entry->set_key(key);
        entry->set_value(value);
    }
    return stanza;
}

TEST_F(DataMessages, TheReceiverGetsTheMessageWithoutServiceKeys) {
    auto stanza = received("0:17", {{"oferta", "2x1"},
                                    {"kdx.notification.title", "Hola"},
                                    {"kdx.notification.", "bad"},
                                    {"ondrix.c.cm.lt_start", "x"},
                                    {"ONDRIX.private", "x"},
                                    {"from", "someone"},
                                    {"kdx.ttl", "60"}});
    stanza.set_token("ofertas");
    stanza.set_raw_data("\x01\x02");
    const ns::Dictionary parsed = deliver(stanza);
    EXPECT_EQ(parsed.at("from"), ns::Value("123"));
    EXPECT_EQ(parsed.at("notification"), ns::Value(ns::Dictionary{{"title", "Hola"}}));
    EXPECT_EQ(parsed.at("kdx.message_id"), ns::Value("0:17"));
    EXPECT_FALSE(parsed.contains("kdx.duplex")) << "only a message that holds it is a sync message";
    EXPECT_FALSE(parsed.contains("ondrix.c.cm.lt_start"));

    ASSERT_EQ(receiver_->received.size(), 1u);
    EXPECT_EQ(receiver_->receivedIDs[0], "0:17");
    const ns::Dictionary expected{{"from", "123"},
                                  {"oferta", "2x1"},
                                  {"collapse_key", "ofertas"},
                                  {"rawData", ns::Data{1, 2}},
                                  {"notification", ns::Dictionary{{"title", "Hola"}}}};
    EXPECT_EQ(receiver_->received[0], expected);
}

TEST_F(DataMessages, OnlyMessagesMarkedDuplexAreCheckedForASecondCopy) {
    // Without the mark, every copy is delivered.
    deliver(received("0:1", {{"a", "1"}}));
    deliver(received("0:1", {{"a", "1"}}));
    EXPECT_EQ(receiver_->received.size(), 2u);

    // With it, a copy that already came through APNs is not.
    EXPECT_FALSE(sync_->didReceiveAPNSSyncMessage({{"kdx.message_id", "0:2"}, {"kdx.duplex", "1"}}));
    deliver(received("0:2", {{"kdx.duplex", "1"}}));
    EXPECT_EQ(receiver_->received.size(), 2u);
    deliver(received("0:3", {{"kdx.duplex", "1"}}));
    EXPECT_EQ(receiver_->received.size(), 3u);
    EXPECT_FALSE(receiver_->received.back().contains("kdx.duplex"));
}

TEST_F(DataMessages, ServiceMessagesGoNoFurther) {
    deliver(received("", {{"message_type", "deleted_messages"}}));
    EXPECT_EQ(receiver_->deleted, 1);
    EXPECT_TRUE(receiver_->received.empty());

    auto control = received("", {{"a", "1"}});
    control.set_category("com.ondrix.kdx");
    EXPECT_EQ(manager_->processPacket(control), std::nullopt);

    ns::Dictionary command;
    auto observer = ns::NotificationCenter::defaultCenter().addObserver(
        Keys::kIIDMessageNotification, nullptr, nullptr,
        [&](const ns::Notification& note) { command = note.userInfo; });
    auto iid = received("", {{"CMD", "RST"}, {"subtype", ""}});
    iid.set_from(Keys::kInstanceIDSender);
    EXPECT_EQ(manager_->processPacket(iid), std::nullopt);
    ns::NotificationCenter::defaultCenter().removeObserver(observer);
    EXPECT_EQ(command, (ns::Dictionary{{"CMD", "RST"}}));
    EXPECT_TRUE(receiver_->received.empty());

    // An unknown type is logged and delivered.
    deliver(received("", {{"message_type", "odd"}}));
    EXPECT_EQ(receiver_->received.size(), 1u);
}

}  // namespace
