// The reliable-message store shared with another program: a lock another
// process holds (a reader's, a writer's, an exclusive one), at launch or in
// the middle of work, is waited for and tried again later, never taken for
// damage, and the file keeps every message; a file that cannot be opened for
// now leaves a store that answers empty until a later try opens it; only a
// damaged file is set aside.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

#include "messaging/QRVMessagingRmq2PersistentStore.h"
#include "messaging/QRVMessagingRmqManager.h"
#include "messaging/QRVMessagingUtilities.h"
#include "platform/clock.h"
#include "platform/file_manager.h"
#include "testing/sqlite_lock_holder.h"
#include "testing/temp_sandbox.h"

namespace {

using ns::testing::SqliteLock;
using ns::testing::SqliteLockHolder;

constexpr int8_t kDataTag = 8;

TEST(SqliteLockHolderProcess, HoldsTheLockItIsAskedFor) {
    if (!SqliteLockHolder::isChild()) GTEST_SKIP() << "runs only as the second process of another test";
    EXPECT_EQ(SqliteLockHolder::holdAsChild(), 0);
}

TEST(RmqStoreFailures, OnlyCorruptionAndAFileThatIsNoDatabaseAreDamage) {
    const struct {
        int code;
        bool damage;
    } cases[] = {
        {SQLITE_OK, false},           {SQLITE_ERROR, false},         {SQLITE_PERM, false},
        {SQLITE_ABORT, false},        {SQLITE_BUSY, false},          {SQLITE_BUSY_SNAPSHOT, false},
        {SQLITE_LOCKED, false},       {SQLITE_NOMEM, false},         {SQLITE_READONLY, false},
        {SQLITE_READONLY_DBMOVED, false}, {SQLITE_IOERR, false},     {SQLITE_IOERR_SHORT_READ, false},
        {SQLITE_IOERR_CORRUPTFS, false}, {SQLITE_CORRUPT, true},     {SQLITE_CORRUPT_INDEX, true},
        {SQLITE_CORRUPT_SEQUENCE, true}, {SQLITE_FULL, false},       {SQLITE_CANTOPEN, false},
        {SQLITE_CANTOPEN_ISDIR, false}, {SQLITE_PROTOCOL, false},    {SQLITE_SCHEMA, false},
        {SQLITE_CONSTRAINT, false},   {SQLITE_MISUSE, false},        {SQLITE_AUTH, false},
        {SQLITE_NOTADB, true},        {SQLITE_ROW, false},           {SQLITE_DONE, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(QRVMessagingRmq2PersistentStore::isDamage(c.code), c.damage) << c.code << " " << sqlite3_errstr(c.code);
    }
}

constexpr SqliteLock kLocks[] = {SqliteLock::Read, SqliteLock::Write, SqliteLock::Exclusive};

class RmqLocksTest : public ::testing::Test {
protected:
    void SetUp() override { ns::FileManager::defaultManager().createDirectory(folder(), true); }
    static std::string folder() {
        return ns::FileManager::defaultManager().pathForDirectory(ns::SearchPathDirectory::ApplicationSupport) + "/" +
               QRVMessagingRmq2PersistentStore::kSubDirectory;
    }
    static std::string path() {
        return QRVMessagingRmq2PersistentStore::pathForDatabase("rmq2", QRVMessagingRmqDirectoryApplicationSupport);
    }
    static std::shared_ptr<QRVMessagingRmqManager> open() {
        auto manager = QRVMessagingRmqManager::initWithDatabaseName("rmq2");
        manager->loadRmqId();
        return manager;
    }
    // A store as an earlier launch left it: outgoing message 7 waiting for
    // the server, received id "r1" not yet acknowledged.
    static void prepareStore() {
        QRVMessagingRmq2PersistentStore::removeDatabase("rmq2");
        auto manager = open();
        ASSERT_TRUE(manager->rmq2Store().saveMessageWithRmqId(7, kDataTag, ns::Data{7}, nullptr));
        ASSERT_TRUE(manager->saveS2dMessageWithRmqId("r1"));
    }
    static std::vector<int64_t> outgoing(QRVMessagingRmqManager& manager) {
        std::vector<int64_t> ids;
        manager.scanWithRmqMessageHandler([&](int64_t rmqId, int8_t, const ns::Data&) { ids.push_back(rmqId); }, {});
        return ids;
    }
    static bool anythingSetAside() {
        for (const auto& entry : std::filesystem::directory_iterator(folder())) {
            if (entry.path().filename().string().find(".damaged") != std::string::npos) return true;
        }
        return false;
    }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::VirtualClock> clock_ = ns::VirtualClock::install();
};

TEST_F(RmqLocksTest, ALockHeldAtLaunchKeepsTheFileAndTheStoreOpensOnceItGoes) {
    for (SqliteLock lock : kLocks) {
        SCOPED_TRACE(ns::testing::sqliteLockName(lock));
        prepareStore();
        const auto before = ns::FileManager::defaultManager().readData(path());
        std::shared_ptr<QRVMessagingRmqManager> manager;
        {
            SqliteLockHolder holder(path(), lock);
            manager = open();
            // Opening commits (the tables the file lacks), which every one
            // of these locks keeps out for now.
            EXPECT_FALSE(manager->rmq2Store().isOpen());
            holder.release();
        }
        EXPECT_EQ(ns::FileManager::defaultManager().readData(path()), before) << "kept as it was";
        EXPECT_FALSE(anythingSetAside());
        clock_->advance(kQRVMessagingRmqFirstReopenSeconds);
        EXPECT_GT(manager->nextRmqId(), 7) << "no id the earlier launch handed out";
        EXPECT_TRUE(manager->rmq2Store().isOpen());
        EXPECT_EQ(outgoing(*manager), std::vector<int64_t>{7});
        EXPECT_EQ(manager->unackedS2dRmqIds(), std::vector<std::string>{"r1"});
    }
}

TEST_F(RmqLocksTest, ALockTakenInTheMiddleOfWorkFailsTheWriteAndKeepsEverything) {
    for (SqliteLock lock : kLocks) {
        SCOPED_TRACE(ns::testing::sqliteLockName(lock));
        prepareStore();
        auto manager = open();
        ASSERT_TRUE(manager->rmq2Store().isOpen());
        {
            SqliteLockHolder holder(path(), lock);
            ns::ErrorRef error;
            EXPECT_FALSE(manager->rmq2Store().saveMessageWithRmqId(8, kDataTag, ns::Data{8}, &error));
            ASSERT_NE(error, nullptr);
            EXPECT_EQ(error->code() & 0xff, SQLITE_BUSY);
            EXPECT_EQ(manager->removeRmqMessagesWithRmqIds({"7"}), 0) << "the confirmation waits for the store";
            holder.release();
        }
        EXPECT_FALSE(anythingSetAside());
        EXPECT_TRUE(manager->rmq2Store().isOpen());
        ASSERT_TRUE(manager->rmq2Store().saveMessageWithRmqId(8, kDataTag, ns::Data{8}, nullptr));
        EXPECT_EQ(outgoing(*manager), (std::vector<int64_t>{7, 8}));
        EXPECT_EQ(manager->removeRmqMessagesWithRmqIds({"7", "8"}), 2);
        EXPECT_EQ(manager->unackedS2dRmqIds(), std::vector<std::string>{"r1"});
    }
}

// A folder where the file belongs: it cannot be opened, and nothing is
// moved; the store answers empty until a try after the folder went.
TEST_F(RmqLocksTest, AFileThatCannotBeOpenedLeavesAStoreThatAnswersEmptyUntilALaterTryOpensIt) {
    QRVMessagingRmq2PersistentStore::removeDatabase("rmq2");
    ASSERT_TRUE(ns::FileManager::defaultManager().createDirectory(path(), true));
    auto manager = open();
    EXPECT_FALSE(manager->rmq2Store().isOpen());
    EXPECT_EQ(manager->nextRmqId(), 1) << "nothing on record to start above";
    ns::ErrorRef error;
    EXPECT_FALSE(manager->rmq2Store().saveMessageWithRmqId(2, kDataTag, {}, &error));
    EXPECT_NE(error, nullptr);
    EXPECT_FALSE(manager->saveS2dMessageWithRmqId("1"));
    EXPECT_TRUE(manager->unackedS2dRmqIds().empty());
    EXPECT_EQ(manager->removeRmqMessagesWithRmqIds({"1"}), 0);
    EXPECT_EQ(manager->querySyncMessageWithRmqID("m"), nullptr);
    EXPECT_FALSE(manager->saveSyncMessageWithRmqID("m", 0, true, false, &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain(), kQRVMessagingDomain);
    EXPECT_FALSE(anythingSetAside());
    EXPECT_TRUE(ns::FileManager::defaultManager().isDirectory(path()));

    ASSERT_TRUE(ns::FileManager::defaultManager().removeItem(path(), nullptr));
    EXPECT_FALSE(manager->saveS2dMessageWithRmqId("1")) << "not before its retry time";
    clock_->advance(kQRVMessagingRmqMaxReopenSeconds);
    EXPECT_TRUE(manager->saveS2dMessageWithRmqId("1"));
    EXPECT_TRUE(manager->rmq2Store().isOpen());
    EXPECT_EQ(manager->unackedS2dRmqIds(), std::vector<std::string>{"1"});
}

}  // namespace
