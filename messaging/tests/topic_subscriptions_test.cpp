#include <gtest/gtest.h>

#include "checked_in_device.h"

#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>

#include "core/QRVApp.h"
#include "core/QRVOptions.h"
#include "instanceid/QRVInstanceID.h"
#include "messaging/QRVMessaging.h"
#include "messaging/QRVMessagingCheckinService.h"
#include "messaging/QRVMessagingClient.h"
#include "messaging/QRVMessagingPubSub.h"
#include "messaging/QRVMessagingRegistrar.h"
#include "platform/clock.h"
#include "platform/keyed_archive.h"
#include "platform/runloop.h"
#include "platform/user_defaults.h"
#include "testing/admin_json.h"
#include "testing/backend.h"
#include "testing/temp_sandbox.h"

namespace {

using json = nlohmann::json;

using messagingtest::kBundleID;

bool pumpUntil(const std::function<bool()>& done) { return messagingtest::pumpUntil(done, 60); }

struct Answer {
    QRVMessagingTopicOperationResult result;
    ns::ErrorRef error;
};

// Collects the answers of topic requests, which arrive on other queues.
class Answers {
public:
    QRVMessagingTopicOperationCompletion handler(const std::string& name) {
        return [this, name](QRVMessagingTopicOperationResult result, const ns::ErrorRef& error) {
            std::lock_guard lock(mutex_);
            answers_.emplace(name, Answer{result, error});
        };
    }
    bool has(const std::string& name) const {
        std::lock_guard lock(mutex_);
        return answers_.count(name) != 0;
    }
    size_t count() const {
        std::lock_guard lock(mutex_);
        return answers_.size();
    }
    Answer at(const std::string& name) const {
        std::lock_guard lock(mutex_);
        return answers_.at(name);
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, Answer> answers_;
};

// The pending list's topics, batch by batch.
std::vector<std::pair<QRVMessagingTopicAction, std::set<std::string>>> batches(
    std::initializer_list<std::pair<QRVMessagingTopicAction, std::set<std::string>>> rows) {
    return rows;
}

// A device checked in with the local back end and holding its default
// messaging token, with a pub-sub of its own whose token the test hands over.
class TopicSubscriptions : public messagingtest::CheckedInDevice {
protected:
    void SetUp() override {
        CheckedInDevice::SetUp();
        if (HasFatalFailure()) return;
        client_ = QRVMessagingClient::initWithDelegate({}, {}, {});
        pubsub_ = makePubSub();
    }
    void TearDown() override {
        if (client_) client_->teardown();
        CheckedInDevice::TearDown();
    }

    std::shared_ptr<QRVMessagingPubSub> makePubSub() {
        return QRVMessagingPubSub::initWithClient(client_, [this] {
            std::lock_guard lock(tokenMutex_);
            return token_;
        });
    }
    void handOverToken() {
        {
            std::lock_guard lock(tokenMutex_);
            token_ = deviceToken_;
        }
        pubsub_->scheduleSync(true);
    }
    bool drained() {
        return pumpUntil([&] { return pubsub_->pendingTopicUpdates()->numberOfBatches() == 0; });
    }

    json admin(const std::string& path) { return ns::testing::getJSON(*backend_, path); }
    json subscribers(const std::string& topic) { return admin("/__admin/topics")["topics"][topic]; }
    json requests() { return admin("/__admin/topics/requests")["requests"]; }
    void addFault(const std::string& action, int count = 1) {
        auto reply = backend_->post("/__admin/topics/faults", json{{"action", action}, {"count", count}}.dump());
        ASSERT_EQ(reply.status, 200) << reply.body;
    }

    std::mutex tokenMutex_;
    std::string token_;
    std::shared_ptr<QRVMessagingClient> client_;
    std::shared_ptr<QRVMessagingPubSub> pubsub_;
};

// Sends topic requests to the back end's recorder for one test.
struct RecorderEndpoint {
    explicit RecorderEndpoint(const ns::testing::Backend& backend) {
        ::setenv("QDX_SERVER_ENDPOINT", backend.httpURL("/__recorder/iid/register").c_str(), 1);
    }
    ~RecorderEndpoint() { ::unsetenv("QDX_SERVER_ENDPOINT"); }
    RecorderEndpoint(const RecorderEndpoint&) = delete;
    RecorderEndpoint& operator=(const RecorderEndpoint&) = delete;
};

}  // namespace

TEST_F(TopicSubscriptions, BatchesWaitForTheTokenThenReachTheServiceInTheOrderAsked) {
    auto list = pubsub_->pendingTopicUpdates();
    pubsub_->subscribeToTopic("/topics/a");
    pubsub_->subscribeToTopic("/topics/b");
    pubsub_->unsubscribeFromTopic("/topics/a");
    pubsub_->unsubscribeFromTopic("/topics/a");  // once per batch
    EXPECT_EQ(list->batchSummary(), batches({{QRVMessagingTopicActionSubscribe, {"/topics/a", "/topics/b"}},
                                             {QRVMessagingTopicActionUnsubscribe, {"/topics/a"}}}));
    // Without a token nothing is sent, but the list is kept.
    ns::RunLoop::main().runFor(0.2);
    EXPECT_TRUE(requests().empty());
    auto stored = ns::UserDefaults::standard()->dataForKey(kQRVMessagingPendingSubscriptionsKey);
    ASSERT_TRUE(stored);
    EXPECT_EQ(QRVMessagingPendingTopicsList::unarchive(*stored)->numberOfBatches(), 2u);

    handOverToken();
    ASSERT_TRUE(drained()) << backend_->log();
    auto log = requests();
    ASSERT_EQ(log.size(), 3u) << log.dump();
    // Both subscribes (in either order) before the unsubscribe, which alone deletes.
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(log[i]["reply"], "token=" + deviceToken_);
        EXPECT_EQ(log[i]["body"].get<std::string>().find("delete"), std::string::npos);
    }
    EXPECT_TRUE(log[2]["body"].get<std::string>().ends_with("&delete=true")) << log[2]["body"];
    EXPECT_TRUE(subscribers("/topics/a").is_null());
    ASSERT_EQ(subscribers("/topics/b").size(), 1u);
    EXPECT_EQ(subscribers("/topics/b")[0]["token"], deviceToken_);
    // Nothing left to do after a restart either.
    EXPECT_EQ(QRVMessagingPendingTopicsList::unarchive(
                  *ns::UserDefaults::standard()->dataForKey(kQRVMessagingPendingSubscriptionsKey))
                  ->numberOfBatches(),
              0u);
}

// A stored list is the app's own file and may come back damaged: any number
// as a batch's action restores (as the action it reads as), never stops it.
TEST(TopicBatchArchive, ABatchWhoseActionIsAnyNumberIsRestored) {
    ns::Array archived;
    for (const ns::Value& action : {ns::Value(1.0), ns::Value(1.5e-263), ns::Value(static_cast<unsigned long long>(1) << 63), ns::Value(-1)}) {
        archived.emplace_back(ns::Dictionary{{"action", action}, {"topics", ns::Array{ns::Value("/topics/t")}}});
    }
    auto list = QRVMessagingPendingTopicsList::unarchive(ns::keyed_archive::archiveRoot(
        "QRVMessagingPendingTopicsList", ns::Dictionary{{"batches", ns::Value(std::move(archived))}}));
    ASSERT_TRUE(list);
    EXPECT_EQ(list->batchSummary(), batches({{QRVMessagingTopicActionUnsubscribe, {"/topics/t"}},
                                             {QRVMessagingTopicActionSubscribe, {"/topics/t"}},
                                             {QRVMessagingTopicActionSubscribe, {"/topics/t"}},
                                             {QRVMessagingTopicActionSubscribe, {"/topics/t"}}}));
}

TEST_F(TopicSubscriptions, TopicsPendingAtARestartAreRestoredWithoutHandlersAndSent) {
    Answers answers;
    pubsub_->pendingTopicUpdates()->addOperationForTopic("/topics/restart", QRVMessagingTopicActionSubscribe,
                                                         answers.handler("lost"));
    pubsub_.reset();
    sandbox_.relaunch();

    pubsub_ = makePubSub();
    auto restored = pubsub_->pendingTopicUpdates();
    EXPECT_EQ(restored->batchSummary(), batches({{QRVMessagingTopicActionSubscribe, {"/topics/restart"}}}));
    EXPECT_FALSE(restored->hasCurrentBatch());
    EXPECT_TRUE(restored->archiveDate().has_value());
    handOverToken();
    ASSERT_TRUE(drained()) << backend_->log();
    EXPECT_EQ(subscribers("/topics/restart").size(), 1u);
    ns::RunLoop::main().runFor(0.1);
    EXPECT_EQ(answers.count(), 0u);
}

TEST_F(TopicSubscriptions, TopicsWithPercentSignsArriveAsTheyWereNamed) {
    // Sent as it stands, "%C3%A9" would be read back as "é", which no topic may hold.
    const std::string topic = "/topics/caf%C3%A9_news~1";
    Answers answers;
    handOverToken();
    pubsub_->pendingTopicUpdates()->addOperationForTopic(topic, QRVMessagingTopicActionSubscribe,
                                                         answers.handler("sub"));
    ASSERT_TRUE(pumpUntil([&] { return answers.has("sub"); }));
    EXPECT_EQ(answers.at("sub").result, QRVMessagingTopicOperationResultSucceeded);
    ASSERT_EQ(subscribers(topic).size(), 1u) << admin("/__admin/topics").dump();
    EXPECT_EQ(requests()[0]["body"].get<std::string>().find("%C3"), std::string::npos);
}

TEST_F(TopicSubscriptions, NetworkFailuresKeepTheTopicWhileRefusalsEndIt) {
    Answers answers;
    handOverToken();
    // Twice: the transport may retry a request whose reused connection closed.
    addFault("drop", 2);
    pubsub_->pendingTopicUpdates()->addOperationForTopic("/topics/kept", QRVMessagingTopicActionSubscribe,
                                                         answers.handler("kept"));
    // The dropped request leaves the topic queued and its handler waiting.
    ASSERT_TRUE(pumpUntil([&] { return !requests().empty(); }));
    ASSERT_TRUE(pumpUntil([&] { return pubsub_->pendingTopicUpdates()->topicsInFlight().empty(); }));
    ns::RunLoop::main().runFor(0.1);
    EXPECT_FALSE(answers.has("kept"));
    EXPECT_EQ(pubsub_->pendingTopicUpdates()->numberOfBatches(), 1u);
    // The next resume (the network is back) sends it again.
    ASSERT_EQ(backend_->del("/__admin/topics/faults").status, 200);
    pubsub_->scheduleSync(true);
    ASSERT_TRUE(pumpUntil([&] { return answers.has("kept"); }));
    EXPECT_EQ(answers.at("kept").result, QRVMessagingTopicOperationResultSucceeded);

    addFault("unavailable");
    pubsub_->pendingTopicUpdates()->addOperationForTopic("/topics/refused", QRVMessagingTopicActionSubscribe,
                                                         answers.handler("refused"));
    ASSERT_TRUE(pumpUntil([&] { return answers.has("refused"); }));
    EXPECT_EQ(answers.at("refused").result, QRVMessagingTopicOperationResultError);
    ASSERT_TRUE(answers.at("refused").error);
    EXPECT_EQ(answers.at("refused").error->domain(), "com.ondrix.qdx");
    EXPECT_EQ(answers.at("refused").error->code(), 0);
    EXPECT_TRUE(drained());
}

TEST(TopicRequests, RefusedBeforeAnyRequest) {
    ns::testing::TempSandbox sandbox;
    QRVInstanceID::resetForTesting();
    struct Row {
        const char* name;
        bool withClient;
        std::string topic;
        long code;
    };
    // No client, a topic that is not one, and no check-in credentials.
    const std::vector<Row> rows{{"no client", false, "/topics/a", 3004},
                                {"bad topic", true, "/topics/a b", 3003},
                                {"no topic", true, "/topics/", 3003},
                                {"no credentials", true, "/topics/a", 501}};
    auto client = QRVMessagingClient::initWithDelegate({}, {}, {});
    for (const auto& row : rows) {
        auto pubsub = QRVMessagingPubSub::initWithClient(row.withClient ? client : nullptr, [] { return "t"; });
        std::optional<Answer> answer;
        pubsub->subscribeWithToken("t", row.topic, {{"k", ns::Value(int64_t(1))}},
                                   [&](QRVMessagingTopicOperationResult result, const ns::ErrorRef& error) {
                                       answer = Answer{result, error};
                                   });
        ASSERT_TRUE(answer) << row.name;
        EXPECT_EQ(answer->result, QRVMessagingTopicOperationResultError) << row.name;
        ASSERT_TRUE(answer->error) << row.name;
        EXPECT_EQ(answer->error->code(), row.code) << row.name;
    }
    client->teardown();
}

TEST(TopicRequests, TheEndpointOverrideIsUsedAndAnswersAreReadByTheirFirstField) {
    auto backend = ns::testing::Backend::start();
    RecorderEndpoint endpoint(*backend);
    ns::testing::TempSandbox sandbox;
    auto registrar = std::make_shared<QRVMessagingPubSubRegistrar>(std::make_shared<QRVMessagingCheckinService>());
    struct Row {
        std::string reply;
        QRVMessagingTopicOperationResult result;
    };
    const std::vector<Row> rows{{"token=abc", QRVMessagingTopicOperationResultSucceeded},
                                {"token=", QRVMessagingTopicOperationResultSucceeded},
                                {"token", QRVMessagingTopicOperationResultError},
                                {"Error=INVALID_SENDER", QRVMessagingTopicOperationResultError},
                                {"", QRVMessagingTopicOperationResultError}};
    for (const auto& row : rows) {
        backend->setRecorderResponse(ns::testing::RecorderResponse{200, row.reply});
        Answers answers;
        registrar->updateSubscriptionToTopic("/topics/x", "tok:en", {}, false, answers.handler("x"));
        ASSERT_TRUE(pumpUntil([&] { return answers.has("x"); })) << row.reply;
        EXPECT_EQ(answers.at("x").result, row.result) << row.reply;
        if (row.result != QRVMessagingTopicOperationResultSucceeded) {
            EXPECT_EQ(answers.at("x").error->code(), 0) << row.reply;
        }
    }
    auto recorded = backend->recordedRequests();
    ASSERT_EQ(recorded.size(), rows.size());
    EXPECT_EQ(recorded[0].listener, "http");
    EXPECT_EQ(recorded[0].header("app"), "");  // the sandbox's bundle has no identifier
    EXPECT_EQ(recorded[0].header("Authorization"), "VdxLogin :");
    EXPECT_EQ(recorded[0].body, "sender=tok%3Aen&app=&device=&app_ver=&X-kdx.topic=%2Ftopics%2Fx&X-scope=%2Ftopics%2Fx");
}

TEST(TopicRequests, AtMostTenRunAtOnceAndCancellingEndsEveryOne) {
    auto backend = ns::testing::Backend::start();
    RecorderEndpoint endpoint(*backend);
    ns::testing::TempSandbox sandbox;
    backend->setRecorderResponse(ns::testing::RecorderResponse{200, "token=t", {}, 0, true});
    QRVMessagingRegistrar registrar;
    auto queue = registrar.pubsubRegistrar()->topicOperations();
    Answers answers;
    for (int i = 0; i < 12; ++i) {
        registrar.pubsubRegistrar()->updateSubscriptionToTopic("/topics/t" + std::to_string(i), "t", {}, i % 2 == 1,
                                                                answers.handler("t" + std::to_string(i)));
    }
    ASSERT_TRUE(pumpUntil([&] { return backend->heldCount() == 10; }));
    size_t executing = 0;
    for (const auto& op : queue->operations()) executing += op->isExecuting();
    EXPECT_EQ(executing, 10u);
    EXPECT_EQ(queue->operationCount(), 12u);

    registrar.cancelAllRequests();
    EXPECT_TRUE(registrar.stopAllSubscriptions());
    ASSERT_TRUE(pumpUntil([&] { return answers.count() == 12 && queue->operationCount() == 0; }));
    for (int i = 0; i < 12; ++i) {
        EXPECT_EQ(answers.at("t" + std::to_string(i)).result, QRVMessagingTopicOperationResultCancelled) << i;
    }
    backend->releaseHeld();
    EXPECT_EQ(backend->recordedRequests().size(), 10u);
}
