// The repository reached through the public references, as the app reaches
// it: transactions of two sessions on one counter, and on-disconnect writes
// that the server carries out when one session's socket is killed.

#include <gtest/gtest.h>

#include <mutex>

#include "database/api/QRVMutableData.h"
#include "database/api/QRVTransactionResult.h"
#include "database/connection/FAuthTokenProvider.h"
#include "platform/json.h"
#include "public_api_test_support.h"

namespace {

using namespace apitest;

class RepoThroughReferencesTest : public PublicApiTest {
protected:
    void TearDown() override {
        for (const auto& config : configs_) FRepoManager::disposeRepos(config);
        PublicApiTest::TearDown();
    }

    // A reference at the path of a session of its own (so its own
    // repository and connection).
    QRVDatabaseReferencePtr sessionReference(const std::string& session, const std::string& path) {
        auto config = std::make_shared<QRVDatabaseConfig>(session, std::make_shared<QRVNoopAuthTokenProvider>());
        configs_.push_back(config);
        return std::make_shared<QRVDatabaseReference>(databaseURL("demo") + path, config);
    }

    json connections() {
        auto reply = backend_->get("/__admin/rtdb/connections?ns=demo");
        EXPECT_EQ(reply.status, 200) << reply.body;
        return json::parse(reply.body)["connections"];
    }

    std::vector<QRVDatabaseConfigPtr> configs_;
};

TEST_F(RepoThroughReferencesTest, TwoSessionsCountTogetherAndOnDisconnectWritesReachTheOther) {
    auto a = sessionReference("public-a", "/shop");
    // A's connection is the first the server sees.
    // Observer blocks may still run while the test is torn down: what they
    // touch is shared with them.
    auto aConnected = std::make_shared<bool>(false);
    a->root()->child(".info/connected")->observeEventType(QRVDataEventTypeValue, [aConnected](QRVDataSnapshotPtr snapshot) {
        if (snapshot->value() == ns::Value(true)) *aConnected = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return *aConnected; }));
    json conns = connections();
    ASSERT_EQ(conns.size(), 1u);
    const uint64_t aConnection = conns[0]["id"].get<uint64_t>();
    auto b = sessionReference("public-b", "/shop");

    std::mutex mutex;
    std::vector<std::string> completions;
    auto done = [&](const std::string& who) {
        return [&, who](ns::ErrorRef error, bool committed, QRVDataSnapshotPtr) {
            std::lock_guard lock(mutex);
            completions.push_back(who + (committed && !error ? " ok" : " failed"));
        };
    };
    auto increment = [](QRVMutableDataPtr data) {
        data->setValue(ns::Value(data->value().intValue(0) + 1));
        return QRVTransactionResult::successWithValue(data);
    };
    for (int i = 0; i < 10; ++i) {
        a->child("counter")->runTransactionBlock(increment, done("a"));
        b->child("counter")->runTransactionBlock(increment, done("b"));
    }
    ASSERT_TRUE(pumpUntil([&] {
        std::lock_guard lock(mutex);
        return completions.size() >= 20;
    }));
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(std::count(completions.begin(), completions.end(), "a ok"), 10);
        EXPECT_EQ(std::count(completions.begin(), completions.end(), "b ok"), 10);
    }
    EXPECT_EQ(serverData("/shop/counter", "demo"), 20);

    std::vector<std::string> answers;
    auto answered = [&](const std::string& name) {
        return [&, name](ns::ErrorRef error, QRVDatabaseReferencePtr) {
            answers.push_back(name + (error ? " failed" : " ok"));
        };
    };
    a->child("caja")->onDisconnectSetValue("cerrada", answered("set"));
    a->child("turno")->onDisconnectUpdateChildValues({{"fin", 1}, {"estado/final", true}}, answered("update"));
    a->child("counter")->onDisconnectRemoveValue(answered("remove"));
    a->child("nota")->onDisconnectSetValue("x", answered("doomed"));
    a->child("nota")->cancelDisconnectOperations(answered("cancel"));
    ASSERT_TRUE(pumpUntil([&] { return answers.size() == 5; }));
    EXPECT_EQ(answers, (std::vector<std::string>{"set ok", "update ok", "remove ok", "doomed ok", "cancel ok"}));

    auto seenByB = std::make_shared<std::vector<ns::Value>>();
    b->observeEventType(QRVDataEventTypeValue,
                        [seenByB](QRVDataSnapshotPtr snapshot) { seenByB->push_back(snapshot->value()); });
    ASSERT_TRUE(pumpUntil([&] { return !seenByB->empty(); }));
    admin("/__admin/rtdb/connections/kill", {{"id", aConnection}});
    const ns::Value expected = ns::json::parse(R"({"caja": "cerrada", "turno": {"fin": 1, "estado": {"final": true}}})");
    ASSERT_TRUE(pumpUntil([&] { return seenByB->back() == expected; })) << seenByB->back().description();
}

}  // namespace
