#include <gtest/gtest.h>
#include <sqlite3.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/QRVLogger.h"
#include "messaging/Parlo.h"
#include "messaging/QRVMessagingRmq2PersistentStore.h"
#include "messaging/QRVMessagingRmqManager.h"
#include "messaging/QRVMessagingSyncMessageManager.h"
#include "messaging/QRVMessagingUtilities.h"
#include "platform/clock.h"
#include "platform/file_manager.h"
#include "messaging_log_lines.h"
#include "testing/temp_sandbox.h"

namespace {

constexpr int8_t kDataTag = 8;

std::string applicationSupportFolder() {
    return ns::FileManager::defaultManager().pathForDirectory(ns::SearchPathDirectory::ApplicationSupport) + "/" +
           QRVMessagingRmq2PersistentStore::kSubDirectory;
}

// A sandbox where the messaging folder exists, as the messaging object makes
// it before it opens the store.
class RmqStore : public ::testing::Test {
protected:
    void SetUp() override {
        ns::FileManager::defaultManager().createDirectory(applicationSupportFolder(), true);
    }
    std::shared_ptr<QRVMessagingRmqManager> open() {
        auto manager = QRVMessagingRmqManager::initWithDatabaseName("rmq2");
        manager->loadRmqId();
        return manager;
    }
    void storeOutgoing(QRVMessagingRmqManager& manager, int64_t rmqId) {
        ASSERT_TRUE(manager.rmq2Store().saveMessageWithRmqId(rmqId, kDataTag, ns::Data{1, 2, 3}, nullptr));
    }
    std::vector<int64_t> storedOutgoingIds(QRVMessagingRmqManager& manager) {
        std::vector<int64_t> ids;
        manager.scanWithRmqMessageHandler([&](int64_t rmqId, int8_t, const ns::Data&) { ids.push_back(rmqId); }, {});
        return ids;
    }

    ns::testing::TempSandbox sandbox_;
};

TEST_F(RmqStore, ARestartNeverReusesAnIdAlreadySent) {
    {
        auto manager = open();
        for (int i = 0; i < 5; ++i) storeOutgoing(*manager, manager->nextRmqId());
        // The server confirms everything but the oldest message.
        EXPECT_EQ(manager->removeRmqMessagesWithRmqIds({"3", "4", "5", "6"}), 4);
        EXPECT_EQ(storedOutgoingIds(*manager), (std::vector<int64_t>{2}));
    }
    auto restarted = open();
    const int64_t next = restarted->nextRmqId();
    EXPECT_GT(next, 6) << "ids 3 to 6 already reached the server";
    storeOutgoing(*restarted, next);
    EXPECT_EQ(storedOutgoingIds(*restarted), (std::vector<int64_t>{2, next}));
}

TEST_F(RmqStore, TheCounterLoadsFromTheSavedValueAndGrowsOnlyWithAcknowledgements) {
    {
        auto manager = open();
        ASSERT_TRUE(manager->rmq2Store().updateLastOutgoingRmqId(41));
    }
    EXPECT_EQ(open()->nextRmqId(), 43);

    QRVMessagingRmq2PersistentStore::removeDatabase("rmq2");
    auto manager = open();
    // Acknowledging 5 and 9 while the counter is at 9 saves 10.
    while (manager->rmqId() < 9) manager->nextRmqId();
    storeOutgoing(*manager, 5);
    storeOutgoing(*manager, 9);
    EXPECT_EQ(manager->removeRmqMessagesWithRmqIds({"5", "9"}), 2);
    EXPECT_EQ(manager->rmq2Store().queryLastRmqId(), 10);
    // Ids below the counter leave the saved value alone.
    manager->nextRmqId();
    manager->nextRmqId();
    storeOutgoing(*manager, 3);
    EXPECT_EQ(manager->removeRmqMessagesWithRmqIds({"3"}), 1);
    EXPECT_EQ(manager->rmq2Store().queryLastRmqId(), 10);
    EXPECT_EQ(manager->removeRmqMessagesWithRmqIds({}), 0);
}

TEST_F(RmqStore, ReceivedIdsComeBackInNumericOrderAndGoInBatches) {
    auto manager = open();
    for (const char* id : {"10", "9", "100", "2"}) ASSERT_TRUE(manager->saveS2dMessageWithRmqId(id));
    EXPECT_EQ(manager->unackedS2dRmqIds(), (std::vector<std::string>{"2", "9", "10", "100"}));
    manager->removeS2dIds({"9", "100"});
    EXPECT_EQ(manager->unackedS2dRmqIds(), (std::vector<std::string>{"2", "10"}));

    // 250 outgoing ids take three statements; all of them go.
    std::vector<std::string> ids;
    for (int64_t id = 1; id <= 250; ++id) {
        storeOutgoing(*manager, id);
        ids.push_back(std::to_string(id));
    }
    ids.push_back("not-a-number");
    EXPECT_EQ(manager->removeRmqMessagesWithRmqIds(ids), 250);
    EXPECT_TRUE(storedOutgoingIds(*manager).empty());
}

TEST_F(RmqStore, TheFileMovesFromDocumentsAndADocumentsCopyOfAMovedFileIsDeleted) {
    const auto& files = ns::FileManager::defaultManager();
    const std::string documents = QRVMessagingRmq2PersistentStore::pathForDatabase("rmq2", QRVMessagingRmqDirectoryDocuments);
    const std::string current =
        QRVMessagingRmq2PersistentStore::pathForDatabase("rmq2", QRVMessagingRmqDirectoryApplicationSupport);
    ASSERT_TRUE(files.removeItem(applicationSupportFolder()));
    {
        // Without the messaging folder the store stays in Documents.
        QRVMessagingRmq2PersistentStore store("rmq2");
        EXPECT_EQ(store.currentDirectory(), QRVMessagingRmqDirectoryDocuments);
        ASSERT_TRUE(store.saveUnackedS2dMessageWithRmqId("7"));
    }
    ASSERT_TRUE(files.createDirectory(applicationSupportFolder(), true));
    {
        QRVMessagingRmq2PersistentStore store("rmq2");
        EXPECT_EQ(store.currentDirectory(), QRVMessagingRmqDirectoryApplicationSupport);
        EXPECT_EQ(store.unackedS2dRmqIds(), (std::vector<std::string>{"7"}));
    }
    EXPECT_FALSE(files.fileExists(documents));
    ASSERT_TRUE(files.writeData(documents, ns::Data{'o', 'l', 'd'}));
    QRVMessagingRmq2PersistentStore store("rmq2");
    EXPECT_FALSE(files.fileExists(documents));
    EXPECT_TRUE(files.fileExists(current));
    EXPECT_EQ(store.unackedS2dRmqIds(), (std::vector<std::string>{"7"}));
}

TEST_F(RmqStore, ADamagedFileIsSetAsideAndANewStoreMade) {
    const std::string path =
        QRVMessagingRmq2PersistentStore::pathForDatabase("rmq2", QRVMessagingRmqDirectoryApplicationSupport);
    const auto& files = ns::FileManager::defaultManager();
    ASSERT_TRUE(files.writeData(path, ns::Data(4096, 'x')));
    auto manager = open();
    EXPECT_TRUE(manager->rmq2Store().isOpen());
    EXPECT_EQ(files.readData(path + ".damaged"), ns::Data(4096, 'x')) << "kept as it was";
    EXPECT_EQ(manager->nextRmqId(), 2);
    ns::ErrorRef error;
    EXPECT_TRUE(manager->rmq2Store().saveMessageWithRmqId(2, kDataTag, {}, &error));
    EXPECT_TRUE(manager->saveS2dMessageWithRmqId("1"));
    EXPECT_EQ(manager->unackedS2dRmqIds(), std::vector<std::string>{"1"});
}

// MARK: - A file found without all its tables

std::string currentPath() {
    return QRVMessagingRmq2PersistentStore::pathForDatabase("rmq2", QRVMessagingRmqDirectoryApplicationSupport);
}

// Leaves at the store's path a file holding what `statements` make (an empty
// file when there are none), as an earlier launch or damage left it.
void leaveFile(const std::vector<std::string>& statements) {
    QRVMessagingRmq2PersistentStore::removeDatabase("rmq2");
    ASSERT_TRUE(ns::FileManager::defaultManager().writeData(currentPath(), {}));
    if (statements.empty()) return;
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(currentPath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    for (const auto& sql : statements) {
        EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    }
    sqlite3_close(db);
}

std::set<std::string> tablesInFile() {
    std::set<std::string> tables;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(currentPath().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'table'", -1, &stmt, nullptr);
        while (stmt && sqlite3_step(stmt) == SQLITE_ROW) {
            tables.insert(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return tables;
}

// An upstream message as the client queues it: the store gives it its id.
bool saveUpstream(QRVMessagingRmqManager& manager, const std::string& messageId) {
    ParloDataMessageStanza message;
    message.set_from("almavel-clerk");
    message.set_category("com.almavel");
    message.set_id(messageId);
    return manager.saveRmqMessage(message, nullptr);
}

std::vector<std::pair<int64_t, std::string>> storedUpstream(QRVMessagingRmqManager& manager) {
    std::vector<std::pair<int64_t, std::string>> stored;
    manager.scanWithRmqMessageHandler(
        [&](int64_t rmqId, int8_t, const ns::Data& data) {
            ParloDataMessageStanza message;
            message.ParseFromArray(data.data(), int(data.size()));
            stored.emplace_back(rmqId, message.id());
        },
        {});
    return stored;
}

TEST_F(RmqStore, AFileFoundWithoutSomeTablesGetsThemAndKeepsWhatItHeld) {
    const std::string outgoing =
        "CREATE TABLE outgoingRmqMessages (_id INTEGER PRIMARY KEY, rmq_id INTEGER, type INTEGER, ts INTEGER, data BLOB)";
    const std::string received = "CREATE TABLE s2dRmqIds_1 (_id INTEGER PRIMARY KEY, rmq_id TEXT)";
    const std::string sync =
        "CREATE TABLE incomingSyncMessages (_id INTEGER PRIMARY KEY, rmq_id TEXT, expiration_ts INTEGER, "
        "apns_recv INTEGER, mcs_recv INTEGER)";
    struct Found {
        const char* what;
        std::vector<std::string> statements;
        std::vector<std::string> receivedIds;  // held before the launch
    };
    const std::vector<Found> cases = {
        {"an emptied file", {}, {}},
        {"what an earlier launch made of an emptied file",
         {received, sync, "INSERT INTO s2dRmqIds_1 (rmq_id) VALUES ('7')"},
         {"7"}},
        {"a first launch that ended after its first table", {outgoing}, {}},
        {"the received ids of an older layout beside the outgoing table",
         {outgoing, "CREATE TABLE s2dRmqIds (_id INTEGER PRIMARY KEY, rmq_id INTEGER)",
          "INSERT INTO s2dRmqIds (rmq_id) VALUES (5)"},
         {}},
    };
    for (const auto& found : cases) {
        SCOPED_TRACE(found.what);
        leaveFile(found.statements);
        int64_t confirmed = 0;
        int64_t pending = 0;
        {
            auto manager = open();
            EXPECT_TRUE(manager->rmq2Store().isOpen());
            EXPECT_TRUE(saveUpstream(*manager, "first"));
            EXPECT_TRUE(saveUpstream(*manager, "second"));
            const auto stored = storedUpstream(*manager);
            EXPECT_EQ(stored.size(), 2u);
            if (stored.size() != 2) continue;
            EXPECT_EQ(stored[0].second, "first");
            EXPECT_EQ(stored[1].second, "second");
            confirmed = stored[0].first;
            pending = stored[1].first;
            // The server confirms the first; the counter is saved.
            EXPECT_EQ(manager->removeRmqMessagesWithRmqIds({std::to_string(confirmed)}), 1);
            EXPECT_TRUE(manager->saveS2dMessageWithRmqId("9"));
        }
        auto relaunched = open();
        EXPECT_EQ(storedUpstream(*relaunched), (std::vector<std::pair<int64_t, std::string>>{{pending, "second"}}));
        EXPECT_EQ(relaunched->rmq2Store().queryLastRmqId(), confirmed + 1);
        EXPECT_GT(relaunched->nextRmqId(), pending);
        auto receivedIds = found.receivedIds;
        receivedIds.emplace_back("9");
        EXPECT_EQ(relaunched->unackedS2dRmqIds(), receivedIds);
        relaunched.reset();
        EXPECT_EQ(tablesInFile(), (std::set<std::string>{"incomingSyncMessages", "lastrmqid", "outgoingRmqMessages",
                                                         "s2dRmqIds_1"}));
    }
}

TEST_F(RmqStore, AFileWhoseTablesCannotBeMadeIsReportedSetAsideAndAFreshStoreMade) {
    // An index holds the name of the counter's table, so it cannot be made.
    leaveFile({"CREATE TABLE s2dRmqIds_1 (_id INTEGER PRIMARY KEY, rmq_id TEXT)",
               "CREATE INDEX lastrmqid ON s2dRmqIds_1 (rmq_id)"});
    MessagingLogLines lines;
    const QRVLoggerLevel level = QRVGetLoggerLevel();
    // A clerk's phone shows errors, not debug lines.
    QRVSetLoggerLevel(QRVLoggerLevelError);
    {
        auto manager = open();
        EXPECT_TRUE(manager->rmq2Store().isOpen());
        EXPECT_TRUE(saveUpstream(*manager, "kept"));
    }
    EXPECT_TRUE(lines.contains("Couldn't create table"));
    EXPECT_TRUE(lines.contains("Damaged rmq database set aside"));
    QRVSetLoggerLevel(level);
    EXPECT_TRUE(ns::FileManager::defaultManager().fileExists(currentPath() + ".damaged"));

    auto relaunched = open();
    ASSERT_EQ(storedUpstream(*relaunched).size(), 1u);
    EXPECT_EQ(storedUpstream(*relaunched)[0].second, "kept");
}

// MARK: - Sync messages

class SyncMessages : public RmqStore {
protected:
    void SetUp() override {
        RmqStore::SetUp();
        clock_ = ns::VirtualClock::install(1'700'000'000.0);
        sync_ = QRVMessagingSyncMessageManager::initWithRmqManager(open());
    }
    void TearDown() override { QRVMessagingSetFreeDiskSpaceInMBForTesting(-1); }
    std::shared_ptr<QRVMessagingPersistentSyncMessage> row(const std::string& id) {
        return sync_->rmqManager()->querySyncMessageWithRmqID(id);
    }

    std::unique_ptr<ns::VirtualClock> clock_;
    std::shared_ptr<QRVMessagingSyncMessageManager> sync_;
};

TEST_F(SyncMessages, EachCopyIsJudgedByThePathsItHasComeBy) {
    enum Path { APNs, Channel };
    struct Arrival {
        Path path;
        bool duplicate;
        bool rowAfter;
    };
    // channel then APNs: new, duplicate (row gone), then new again; the same
    // path twice: duplicate, row kept.
    const std::vector<Arrival> arrivals = {
        {Channel, false, true}, {Channel, true, true}, {APNs, true, false}, {APNs, false, true}, {APNs, true, true},
    };
    const ns::Dictionary message{{"kdx.message_id", "m1"}, {"kdx.duplex", "1"}};
    for (size_t i = 0; i < arrivals.size(); ++i) {
        const auto& arrival = arrivals[i];
        const bool duplicate = arrival.path == APNs ? sync_->didReceiveAPNSSyncMessage(message)
                                                    : sync_->didReceiveMCSSyncMessage(message);
        EXPECT_EQ(duplicate, arrival.duplicate) << "arrival " << i;
        EXPECT_EQ(row("m1") != nullptr, arrival.rowAfter) << "arrival " << i;
    }
    EXPECT_FALSE(sync_->didReceiveAPNSSyncMessage({{"kdx.duplex", "1"}})) << "no id: never a duplicate";
}

TEST_F(SyncMessages, RecordsExpireAfterTheirTimeToLive) {
    const double now = ns::Clock::nowSeconds();
    EXPECT_FALSE(sync_->didReceiveMCSSyncMessage({{"kdx.message_id", "short"}, {"kdx.ttl", "60"}}));
    EXPECT_FALSE(sync_->didReceiveMCSSyncMessage({{"kdx.message_id", "long"}}));
    ASSERT_NE(row("short"), nullptr);
    EXPECT_EQ(row("short")->expirationTime(), int64_t(now) + 60);
    EXPECT_EQ(row("long")->expirationTime(), int64_t(now) + 2419200);

    // Expiry exactly now keeps the row; one second later it goes.
    clock_->advance(60);
    sync_->removeExpiredSyncMessages();
    EXPECT_NE(row("short"), nullptr);
    clock_->advance(1);
    sync_->removeExpiredSyncMessages();
    EXPECT_EQ(row("short"), nullptr);
    EXPECT_NE(row("long"), nullptr);
}

TEST_F(SyncMessages, AFullDiskRecordsNothing) {
    QRVMessagingSetFreeDiskSpaceInMBForTesting(0);
    const ns::Dictionary message{{"kdx.message_id", "m2"}};
    EXPECT_FALSE(sync_->didReceiveMCSSyncMessage(message));
    EXPECT_FALSE(sync_->didReceiveAPNSSyncMessage(message));
    EXPECT_EQ(row("m2"), nullptr);
}

}  // namespace
