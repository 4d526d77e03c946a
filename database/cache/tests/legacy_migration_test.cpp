#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>

#include "core/QRVLogger.h"
#include "database/cache/FLevelDBStorageEngine.h"
#include "database/model/FSnapshotUtilities.h"
#include "platform/file_manager.h"
#include "platform/keyed_archive.h"
#include "platform/plist.h"
#include "platform/system_log.h"
#include "testing/temp_sandbox.h"

namespace {

class LegacyMigrationTest : public ::testing::Test {
protected:
    std::string legacyFolder() const { return FLevelDBStorageEngine::quorvaneDir() + "/1/db.example.com_db/v1"; }

    // The older layout as its own code left it: one keyed archive per write.
    void writeLegacyRows(const std::vector<std::pair<std::string, ns::Data>>& rows) {
        ASSERT_TRUE(ns::FileManager::defaultManager().createDirectory(legacyFolder(), true));
        auto db = APLevelDB::levelDBWithPath(legacyFolder() + "/outstanding_puts", nullptr);
        ASSERT_TRUE(db);
        for (const auto& [key, value] : rows) db->setData(value, key);
    }
    static ns::Data archive(const std::string& cls, const ns::Dictionary& members) {
        ns::ErrorRef error;
        ns::Data bytes = ns::keyed_archive::archiveRoot(cls, members, &error);
        EXPECT_FALSE(bytes.empty()) << (error ? error->description() : "");
        return bytes;
    }
    std::shared_ptr<FLevelDBStorageEngine> start() {
        auto engine = std::make_shared<FLevelDBStorageEngine>("default/db.example.com_db");
        engine->runLegacyMigration(repoInfo_);
        return engine;
    }

    ns::testing::TempSandbox sandbox_;
    FRepoInfo repoInfo_{"db.example.com", true, "db"};
};

TEST_F(LegacyMigrationTest, WithoutAnOlderFolderNothingHappens) {
    auto capture = ns::SystemLog::capture();
    auto engine = start();
    QRVLoggerFlush();
    EXPECT_FALSE(capture.contains("I-RDB0760"));
    EXPECT_TRUE(engine->userWrites().empty());
}

TEST_F(LegacyMigrationTest, OlderWritesMoveUnderTheirIdsAndTheFolderGoes) {
    writeLegacyRows({
        {"1", archive("FPendingPut", {{"path", ns::Value("/a/b")},
                                       {"data", ns::Value(ns::Dictionary{{"x", ns::Value(1)}})},
                                       {"priority", ns::Value("p")}})},
        {"2", archive("FPendingPutPriority", {{"path", ns::Value("/a")}, {"priority", ns::Value(5)}})},
        {"3", archive("FPendingUpdate",
                      {{"path", ns::Value("/a")}, {"data", ns::Value(ns::Dictionary{{"b", ns::Value(1)}})}})},
        {"4", archive("FSomethingElse", {{"path", ns::Value("/z")}})},
        {"5", ns::Data{'n', 'o', 't'}},
        {"x", archive("FPendingPut", {{"path", ns::Value("/k")}, {"data", ns::Value(1)}})},
    });
    auto capture = ns::SystemLog::capture();
    auto engine = start();
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("[I-RDB076002] Legacy database found, migrating..."));
    EXPECT_TRUE(capture.contains("[I-RDB076004] Migrated 3 writes"));
    EXPECT_TRUE(capture.contains("[I-RDB076007] Finished migrating legacy database."));
    const auto lines = capture.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& line) {
                                return line.find("[I-RDB076003] Failed to migrate legacy write, meh!") !=
                                       std::string::npos;
                            }),
              3)
        << "one warning per skipped row";
    EXPECT_FALSE(ns::FileManager::defaultManager().fileExists(legacyFolder()));
    EXPECT_TRUE(ns::FileManager::defaultManager().fileExists(FLevelDBStorageEngine::quorvaneDir() + "/1"));

    auto writes = engine->userWrites();
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0]->path(), FPath("/a/b"));
    EXPECT_TRUE(writes[0]->overwrite()->isEqual(
        *FSnapshotUtilities::nodeFrom(ns::Value(ns::Dictionary{{"x", ns::Value(1)}}), ns::Value("p"))));
    EXPECT_EQ(writes[1]->path(), FPath("/a/.priority"));
    EXPECT_TRUE(writes[1]->overwrite()->isEqual(*FSnapshotUtilities::nodeFrom(ns::Value(5))));
    EXPECT_TRUE(writes[2]->isMerge());
    EXPECT_TRUE(writes[2]->compoundWrite() ==
                FCompoundWrite::compoundWriteWithValueDictionary({{"b", ns::Value(1)}}));
}

TEST_F(LegacyMigrationTest, AFolderLeftBehindIsNotMigratedAgainOnceItsWritesAreAcknowledged) {
    const ns::Data put = archive("FPendingPut", {{"path", ns::Value("/a")}, {"data", ns::Value(1)}});
    writeLegacyRows({{"7", put}});
    auto engine = start();
    ASSERT_EQ(engine->userWrites().size(), 1u);
    engine->removeUserWrite(7);  // the server acknowledged it
    engine->close();
    engine.reset();

    // The delete failed last time: the same folder is back at the next start.
    writeLegacyRows({{"7", put}});
    auto capture = ns::SystemLog::capture();
    auto restarted = start();
    QRVLoggerFlush();
    EXPECT_TRUE(restarted->userWrites().empty());
    EXPECT_FALSE(capture.contains("Legacy database found"));
    EXPECT_TRUE(capture.contains("Finished migrating legacy database."));
    EXPECT_FALSE(ns::FileManager::defaultManager().fileExists(legacyFolder()));
}

TEST_F(LegacyMigrationTest, AnOlderDatabaseThatCannotOpenStaysForALaterStart) {
    writeLegacyRows({{"1", archive("FPendingPut", {{"path", ns::Value("/a")}, {"data", ns::Value(1)}})}});
    auto holder = APLevelDB::levelDBWithPath(legacyFolder() + "/outstanding_puts", nullptr);  // holds the lock
    ASSERT_TRUE(holder);
    auto capture = ns::SystemLog::capture();
    auto engine = start();
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("I-RDB076008"));
    EXPECT_TRUE(engine->userWrites().empty());
    holder.reset();
    engine->close();
    engine.reset();

    auto later = start();
    EXPECT_EQ(later->userWrites().size(), 1u);
}

// A path of `keys` keys.
std::string pathOf(size_t keys, const char* key = "k") {
    std::string path;
    for (size_t i = 0; i < keys; ++i) path += std::string("/") + key;
    return path;
}

// A write no server could hold (its location lies deeper than any may) is
// dropped as a damaged record is, however its depth is reached, and one
// just within the bound moves.
TEST_F(LegacyMigrationTest, WritesDeeperThanALocationMayLieAreDroppedAsDamage) {
    const size_t most = kQuorvaneMaxTreeDepth;
    auto put = [](const std::string& path) {
        return archive("FPendingPut", {{"path", ns::Value(path)}, {"data", ns::Value(1)}});
    };
    auto update = [](const std::string& path, const std::string& member) {
        return archive("FPendingUpdate",
                       {{"path", ns::Value(path)}, {"data", ns::Value(ns::Dictionary{{member, ns::Value(1)}})}});
    };
    auto priority = [](const std::string& path) {
        return archive("FPendingPutPriority", {{"path", ns::Value(path)}, {"priority", ns::Value(2)}});
    };
    struct Row {
        const char* id;
        ns::Data bytes;
        bool moves;
    };
    const Row rows[] = {
        {"1", update(pathOf(45000), "b"), false},
        {"2", update("/a", pathOf(45000).substr(1)), false},
        {"3", put(pathOf(45000)), false},
        {"4", priority(pathOf(45000)), false},
        {"5", put(pathOf(most)), true},
        {"6", put(pathOf(most + 1)), false},
        {"7", update(pathOf(most - 32), pathOf(32).substr(1)), true},
        {"8", update(pathOf(most - 32), pathOf(33).substr(1)), false},
        {"9", priority(pathOf(most - 1)), true},
        {"10", priority(pathOf(most)), false},
    };
    std::vector<std::pair<std::string, ns::Data>> stored;
    for (const Row& row : rows) stored.emplace_back(row.id, row.bytes);
    writeLegacyRows(stored);

    auto capture = ns::SystemLog::capture();
    auto engine = start();
    QRVLoggerFlush();
    std::set<int64_t> moved;
    for (const auto& write : engine->userWrites()) moved.insert(write->writeId());
    for (const Row& row : rows) {
        EXPECT_EQ(moved.count(std::stoll(row.id)), row.moves ? 1u : 0u) << "row " << row.id;
        const std::string warning = std::string("[I-RDB076042] Legacy write ") + row.id + " writes ";
        EXPECT_EQ(capture.contains(warning), !row.moves) << "row " << row.id;
    }
    EXPECT_TRUE(capture.contains("[I-RDB076004] Migrated 3 writes"));
    EXPECT_FALSE(ns::FileManager::defaultManager().fileExists(legacyFolder()));
}

ns::Value uidTo(int n) { return ns::Value(ns::Dictionary{{"CF$UID", ns::Value(n)}}); }

// A put at /a whose data is an NSArray naming one NSArray of two numbers
// `times` times, as the older layout's archiver would name one array from
// many places: a keyed archive by hand, in binary.
ns::Data putNamingOneArray(size_t times) {
    ns::Array objects{
        ns::Value("$null"),
        ns::Value(ns::Dictionary{{"path", ns::Value("/a")}, {"data", uidTo(3)}, {"$class", uidTo(2)}}),
        ns::Value(ns::Dictionary{{"$classname", ns::Value("FPendingPut")}}),
        ns::Value(ns::Dictionary{{"NS.objects", ns::Value(ns::Array(times, uidTo(4)))}, {"$class", uidTo(5)}}),
        ns::Value(ns::Dictionary{{"NS.objects", ns::Value(ns::Array{uidTo(6), uidTo(6)})}, {"$class", uidTo(5)}}),
        ns::Value(ns::Dictionary{{"$classname", ns::Value("NSArray")}}),
        ns::Value(7)};
    return ns::plist::serialize(ns::Value(ns::Dictionary{{"$archiver", ns::Value("NSKeyedArchiver")},
                                                         {"$top", ns::Value(ns::Dictionary{{"root", uidTo(1)}})},
                                                         {"$objects", ns::Value(std::move(objects))}}),
                                ns::plist::Format::Binary);
}

// A put at /a whose data is arrays that each name the next one twice,
// `levels` deep: a few hundred bytes that come to 2^levels values.
ns::Data putDoubling(size_t levels) {
    ns::Array objects{
        ns::Value("$null"),
        ns::Value(ns::Dictionary{{"path", ns::Value("/a")}, {"data", uidTo(4)}, {"$class", uidTo(2)}}),
        ns::Value(ns::Dictionary{{"$classname", ns::Value("FPendingPut")}}),
        ns::Value(ns::Dictionary{{"$classname", ns::Value("NSArray")}})};
    for (size_t i = 0; i < levels; ++i) {
        objects.push_back(ns::Value(ns::Dictionary{{"NS.objects", ns::Value(ns::Array{uidTo(int(5 + i)), uidTo(int(5 + i))})},
                                                   {"$class", uidTo(3)}}));
    }
    objects.push_back(ns::Value(7));
    return ns::plist::serialize(ns::Value(ns::Dictionary{{"$archiver", ns::Value("NSKeyedArchiver")},
                                                         {"$top", ns::Value(ns::Dictionary{{"root", uidTo(1)}})},
                                                         {"$objects", ns::Value(std::move(objects))}}),
                                ns::plist::Format::Binary);
}

// A pending put whose data names one array from many places, as the older
// layout's archiver names an equal value once, moves whole: the array is
// decoded once and shared, and the write holds it at every place.
TEST_F(LegacyMigrationTest, APutNamingOneArrayFromManyPlacesMoves) {
    const ns::Value pair(ns::Array{ns::Value(7), ns::Value(7)});
    writeLegacyRows({
        {"1", putNamingOneArray(5000)},
        {"2", archive("FPendingPut", {{"path", ns::Value("/b")}, {"data", ns::Value(ns::Array(5000, pair))}})},
        {"3", putNamingOneArray(3)},
    });
    auto capture = ns::SystemLog::capture();
    auto engine = start();
    QRVLoggerFlush();
    EXPECT_FALSE(capture.contains("[I-RDB076003] Failed to migrate legacy write, meh!"));
    EXPECT_TRUE(capture.contains("[I-RDB076004] Migrated 3 writes"));
    const auto writes = engine->userWrites();
    ASSERT_EQ(writes.size(), 3u);
    const size_t times[] = {5000, 5000, 3};
    for (size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i]->writeId(), int64_t(i + 1));
        EXPECT_TRUE(writes[i]->overwrite()->isEqual(*FSnapshotUtilities::nodeFrom(ns::Value(ns::Array(times[i], pair)))))
            << i;
    }
}

// One that names its values from so many places that written out it would
// come to billions (arrays naming the next twice, 40 deep) is dropped as
// damage, in the time it takes to read it, and the rest move.
TEST_F(LegacyMigrationTest, APutThatComesToBillionsOfValuesIsDroppedAsDamage) {
    writeLegacyRows({{"1", putDoubling(40)}, {"2", putDoubling(3)}});
    auto capture = ns::SystemLog::capture();
    auto engine = start();
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("[I-RDB076044] Legacy write 1 names its values from more places than a write holds"));
    EXPECT_TRUE(capture.contains("[I-RDB076004] Migrated 1 writes"));
    const auto writes = engine->userWrites();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0]->writeId(), 2);
    const ns::Value two(ns::Array{ns::Value(7), ns::Value(7)});
    const ns::Value four(ns::Array{two, two});
    EXPECT_TRUE(writes[0]->overwrite()->isEqual(*FSnapshotUtilities::nodeFrom(ns::Value(ns::Array{four, four}))));
}

}  // namespace
