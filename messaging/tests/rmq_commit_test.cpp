// The reliable-message store's commits are store writes: each one counted
// once (so the program's end waits for it and a crash test can end the
// process right before it), reads none, and what belongs together (the
// tables of a file, a long delete, the counter with the deletion it
// guards) one commit that an ended process leaves whole or not at all.

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "messaging/QRVMessagingRmq2PersistentStore.h"
#include "messaging/QRVMessagingRmqManager.h"
#include "messaging/QRVMessagingUtilities.h"
#include "platform/file_manager.h"
#include "platform/store_writes.h"
#include "testing/child_process.h"
#include "testing/temp_sandbox.h"


namespace {

constexpr int8_t kDataTag = 8;
constexpr const char* kPhoneEnv = "ALMAVEL_RMQ_COMMIT_PHONE";
constexpr int kOutgoing = 150;  // two delete statements

void makeMessagingFolder() {
    ns::FileManager::defaultManager().createDirectory(
        ns::FileManager::defaultManager().pathForDirectory(ns::SearchPathDirectory::ApplicationSupport) + "/" +
            QRVMessagingRmq2PersistentStore::kSubDirectory,
        true);
}

std::shared_ptr<QRVMessagingRmqManager> openStore() {
    auto manager = QRVMessagingRmqManager::initWithDatabaseName("rmq2");
    manager->loadRmqId();
    return manager;
}

std::vector<std::string> idsUpTo(int last) {
    std::vector<std::string> ids;
    for (int i = 1; i <= last; ++i) ids.push_back(std::to_string(i));
    return ids;
}

size_t outgoingCount(QRVMessagingRmqManager& manager) {
    size_t n = 0;
    manager.scanWithRmqMessageHandler([&](int64_t, int8_t, const ns::Data&) { ++n; }, {});
    return n;
}

// Runs this binary's confirming half on `root`, ended before its
// `endAtWrite`-th store write (0: not ended). Returns the exit status (128 +
// the signal when killed).
int runConfirmation(const std::string& root, uint64_t endAtWrite) {
    return ns::testing::runThisTestAgain(
        "RmqCommitProcess.*", {{kPhoneEnv, root}, {"ALMAVEL_END_AT_WRITE", endAtWrite > 0 ? std::to_string(endAtWrite) : ""}});
}

// A phone whose store holds outgoing messages 1..kOutgoing, none confirmed.
void prepareUnconfirmedMessages() {
    makeMessagingFolder();
    auto manager = openStore();
    for (int i = 1; i <= kOutgoing; ++i) {
        ASSERT_TRUE(manager->rmq2Store().saveMessageWithRmqId(i, kDataTag, ns::Data{1, 2, 3}, nullptr));
    }
}

}  // namespace

TEST(RmqCommits, EveryCommitIsOneStoreWriteAndReadsAreNone) {
    ns::testing::TempSandbox sandbox;
    makeMessagingFolder();
    std::shared_ptr<QRVMessagingRmqManager> manager;
    auto store = [&]() -> QRVMessagingRmq2PersistentStore& { return manager->rmq2Store(); };
    struct Step {
        const char* name;
        std::function<void()> run;
        uint64_t writes;
        std::function<bool()> done;
    };
    const std::vector<Step> steps = {
        {"a new file and its tables", [&] { manager = openStore(); }, 1, [&] { return store().isOpen(); }},
        {"an outgoing message",
         [&] {
             for (int i = 1; i <= 3; ++i) store().saveMessageWithRmqId(i, kDataTag, ns::Data{7}, nullptr);
         },
         3, [&] { return store().queryHighestRmqId() == 3; }},
        {"the counter", [&] { store().updateLastOutgoingRmqId(2); }, 1, [&] { return store().queryLastRmqId() == 2; }},
        {"received ids", [&] { for (const auto& id : idsUpTo(kOutgoing)) store().saveUnackedS2dMessageWithRmqId(id); },
         uint64_t(kOutgoing), [&] { return store().unackedS2dRmqIds().size() == size_t(kOutgoing); }},
        {"reads",
         [&] {
             EXPECT_EQ(store().queryHighestRmqId(), 3);
             EXPECT_EQ(store().queryLastRmqId(), 2);
             EXPECT_FALSE(store().unackedS2dRmqIds().empty());
             EXPECT_EQ(outgoingCount(*manager), 3u);
         },
         0, [] { return true; }},
        {"received ids confirmed, two statements",
         [&] { store().deleteMessagesFromTable(kQRVMessagingS2dRmqIdsTable, idsUpTo(kOutgoing)); }, 1,
         [&] { return store().unackedS2dRmqIds().empty(); }},
        {"a sync message", [&] { store().saveSyncMessageWithRmqID("s", 1 << 30, false, true, nullptr); }, 1,
         [&] { return store().querySyncMessageWithRmqID("s") != nullptr; }},
        {"its other path", [&] { store().updateSyncMessageViaAPNSWithRmqID("s", nullptr); }, 1,
         [&] { return store().querySyncMessageWithRmqID("s")->apnsReceived(); }},
        {"finished sync messages", [&] { store().deleteExpiredOrFinishedSyncMessages(nullptr); }, 1,
         [&] { return store().querySyncMessageWithRmqID("s") == nullptr; }},
        {"outgoing messages confirmed with the counter", [&] { manager->removeRmqMessagesWithRmqIds({"1", "3"}); }, 1,
         [&] { return store().queryLastRmqId() == 4 && outgoingCount(*manager) == 1; }},
        {"a commit its body refuses",
         [&] {
             store().writeInOneCommit([&] {
                 store().saveMessageWithRmqId(9, kDataTag, ns::Data{9}, nullptr);
                 return false;
             });
         },
         1, [&] { return store().queryHighestRmqId() == 2; }},
        {"the file found again", [&] { manager = openStore(); }, 1, [&] { return outgoingCount(*manager) == 1; }},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        const uint64_t before = ns::storeWrites::count();
        step.run();
        EXPECT_EQ(ns::storeWrites::count() - before, step.writes);
        EXPECT_TRUE(step.done());
    }
}

// The confirming half: skipped unless started by the test below. Opens the
// phone's store, notes how many store writes the process has made, and
// confirms every outgoing message.
TEST(RmqCommitProcess, ConfirmsEveryOutgoingMessage) {
    const char* root = std::getenv(kPhoneEnv);
    if (!root) GTEST_SKIP() << "runs only as the second process of another test";
    ns::Sandbox::setCurrent(ns::Sandbox::open(root));
    auto manager = openStore();
    std::ofstream(std::string(root) + "/writes-before-confirming") << ns::storeWrites::count();
    EXPECT_EQ(manager->removeRmqMessagesWithRmqIds(idsUpTo(kOutgoing)), kOutgoing);
}

// Ended right before the commit that confirms them, the messages are all
// still there and the counter as it was; not ended, all are gone and the
// counter is past them. Nothing in between.
TEST(RmqCommits, AConfirmationEndedBeforeItsCommitLeavesEverythingAsItWas) {
    uint64_t writesBefore = 0;
    {
        ns::testing::TempSandbox phone;
        prepareUnconfirmedMessages();
        ASSERT_EQ(runConfirmation(phone.root(), 0), 0);
        std::ifstream(phone.root() + "/writes-before-confirming") >> writesBefore;
        phone.relaunch();
        auto manager = openStore();
        EXPECT_EQ(outgoingCount(*manager), 0u);
        EXPECT_EQ(manager->rmq2Store().queryLastRmqId(), kOutgoing + 1);
    }
    ASSERT_GT(writesBefore, 0u) << "opening the store made no store write";
    ns::testing::TempSandbox phone;
    prepareUnconfirmedMessages();
    EXPECT_EQ(runConfirmation(phone.root(), writesBefore + 1), 128 + SIGKILL) << "not ended at the confirmation";
    phone.relaunch();
    auto manager = openStore();
    EXPECT_EQ(outgoingCount(*manager), size_t(kOutgoing));
    EXPECT_EQ(manager->rmq2Store().queryLastRmqId(), 0);
}
