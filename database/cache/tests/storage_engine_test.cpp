#include <gtest/gtest.h>

#include <set>
#include <string>

#include "core/QRVLogger.h"
#include "database/cache/FLevelDBStorageEngine.h"
#include "database/model/FSnapshotUtilities.h"
#include "platform/file_manager.h"
#include "platform/json.h"
#include "platform/system_log.h"
#include "testing/temp_sandbox.h"

namespace {

FNodePtr node(std::string_view json) { return FSnapshotUtilities::nodeFrom(ns::json::parse(json)); }

class StorageEngineTest : public ::testing::Test {
protected:
    std::shared_ptr<FLevelDBStorageEngine> engine() {
        if (!engine_) engine_ = std::make_shared<FLevelDBStorageEngine>("session/host_ns");
        return engine_;
    }
    std::vector<std::string> serverKeys() { return engine()->serverCacheDB()->allKeys(); }
    std::vector<int64_t> writeIds() {
        std::vector<int64_t> ids;
        for (const auto& write : engine()->userWrites()) ids.push_back(write->writeId());
        return ids;
    }

    ns::testing::TempSandbox sandbox_;
    std::shared_ptr<FLevelDBStorageEngine> engine_;
};

TEST_F(StorageEngineTest, AFreshDirectoryGetsVersionOneAndAnotherVersionIsRefused) {
    const std::string base = engine()->basePath();
    EXPECT_EQ(base, FLevelDBStorageEngine::quorvaneDir() + "/session/host_ns");
    auto version = ns::FileManager::defaultManager().readData(base + "/version");
    ASSERT_TRUE(version);
    EXPECT_EQ(std::string(version->begin(), version->end()), "1");
    EXPECT_TRUE(ns::FileManager::defaultManager().isExcludedFromBackup(base));
    engine_->close();
    engine_.reset();

    ns::FileManager::defaultManager().writeData(base + "/version", ns::Data{'2'});
    try {
        FLevelDBStorageEngine again("session/host_ns");
        FAIL() << "a version 2 folder was opened";
    } catch (const ns::Exception& e) {
        EXPECT_EQ(e.name(), "NSInternalInconsistencyException");
        EXPECT_EQ(e.reason(), "Unrecognized database version: 2");
    }
}

TEST_F(StorageEngineTest, ADamagedVersionFileIsSetAsideAndTheCacheKeptWhileAnotherNumberIsRefused) {
    engine()->saveUserOverwrite(node("7"), FPath("/kept"), 0);
    const std::string base = engine()->basePath();
    engine_.reset();
    const std::vector<std::string> damaged{"", "1\xff\x02", "x", "\n", "01"};
    for (size_t i = 0; i < damaged.size(); ++i) {
        SCOPED_TRACE(i);
        ns::FileManager::defaultManager().writeData(base + "/version", ns::Data(damaged[i].begin(), damaged[i].end()));
        FLevelDBStorageEngine again("session/host_ns");
        EXPECT_EQ(again.userWrites().size(), 1u) << "the pending write is kept";
        EXPECT_EQ(ns::FileManager::defaultManager().readData(base + "/version"), ns::Data{'1'});
        const std::string aside = base + "/version.damaged" + (i == 0 ? "" : "-" + std::to_string(i + 1));
        const auto kept = ns::FileManager::defaultManager().readData(aside);
        EXPECT_EQ(kept, ns::Data(damaged[i].begin(), damaged[i].end()));
    }
    ns::FileManager::defaultManager().writeData(base + "/version", ns::Data{'1', '2'});
    EXPECT_THROW(FLevelDBStorageEngine("session/host_ns"), ns::Exception) << "a newer layout is refused";
}

TEST_F(StorageEngineTest, ALockedCacheRaisesThePersistenceFailure) {
    engine();
    try {
        FLevelDBStorageEngine second("session/host_ns");
        FAIL() << "the same cache opened twice";
    } catch (const ns::Exception& e) {
        EXPECT_EQ(e.name(), "QuorvaneDatabasePersistenceFailure");
        EXPECT_EQ(e.reason().rfind("Error initializing persistence: ", 0), 0u) << e.reason();
    }
}

TEST_F(StorageEngineTest, UserWritesComeBackInNumericIdOrderAndGoAway) {
    engine()->saveUserOverwrite(node(R"({"x": 1})"), FPath("/a"), 10);
    engine()->saveUserMerge(FCompoundWrite::compoundWriteWithValueDictionary({{"b/c", ns::Value(2)}}), FPath("/m"), 2);
    engine()->saveUserOverwrite(node("null"), FPath("/gone"), 9);
    EXPECT_EQ(writeIds(), (std::vector<int64_t>{2, 9, 10}));

    auto writes = engine()->userWrites();
    EXPECT_TRUE(writes[0]->isMerge());
    EXPECT_EQ(writes[0]->path(), FPath("/m"));
    EXPECT_TRUE(writes[0]->compoundWrite() ==
                FCompoundWrite::compoundWriteWithValueDictionary({{"b/c", ns::Value(2)}}));
    EXPECT_TRUE(writes[1]->overwrite()->isEmpty());
    EXPECT_TRUE(writes[2]->overwrite()->isEqual(*node(R"({"x": 1})")));
    EXPECT_EQ(engine()->writesDB()->stringForKey("10"), R"({"id":10,"o":{"x":1},"path":"/a/"})");

    EXPECT_TRUE(engine()->removeUserWrite(9));
    EXPECT_EQ(writeIds(), (std::vector<int64_t>{2, 10}));
    EXPECT_TRUE(engine()->removeAllUserWrites());
    EXPECT_TRUE(writeIds().empty());
}

// The deepest data a write may hold is stored and restored whole, set or
// merged; a record the JSON writer refuses is answered as not stored and
// leaves no row, which would read back as no write at all.
TEST_F(StorageEngineTest, TheDeepestWritesAreStoredWholeAndOnesTheWriterRefusesAreNotStored) {
    auto chain = [](size_t depth) {
        FNodePtr n = FLeafNode::make(ns::Value("leaf"));
        for (size_t i = 0; i < depth; ++i) n = FEmptyNode::emptyNode()->updateImmediateChild("k", n);
        return n;
    };
    const FNodePtr deepest = chain(size_t(kQuorvaneMaxObjectDepth));
    const FNodePtr tooDeep = chain(ns::json::kMaxDepth);
    auto merge = [](const FNodePtr& n) { return FCompoundWrite().addWrite(n, FPath("/a/b")); };
    EXPECT_TRUE(engine()->saveUserOverwrite(deepest, FPath("/deep"), 1));
    EXPECT_TRUE(engine()->saveUserMerge(merge(deepest), FPath("/deep"), 2));
    auto capture = ns::SystemLog::capture();
    EXPECT_FALSE(engine()->saveUserOverwrite(tooDeep, FPath("/deep"), 3));
    EXPECT_FALSE(engine()->saveUserMerge(merge(tooDeep), FPath("/deep"), 4));
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("[I-RDB076037] Cannot store write 3"));
    EXPECT_TRUE(capture.contains("[I-RDB076037] Cannot store write 4"));
    EXPECT_EQ(engine()->writesDB()->allKeys(), (std::vector<std::string>{"1", "2"}));

    const auto writes = engine()->userWrites();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_TRUE(writes[0]->overwrite()->isEqual(*deepest));
    EXPECT_TRUE(writes[1]->compoundWrite() == merge(deepest));
}

TEST_F(StorageEngineTest, BadWriteRowsAreDroppedWithWarningsAndNeverBecomeNullWrites) {
    auto& writes = *engine()->writesDB();
    writes.setString(R"({"id":1,"path":"/ok/","o":5})", "1");
    writes.setString(R"({"id":2,"path":"/tr)", "2");                  // truncated
    writes.setString("not json", "3");                                // malformed
    writes.setString(R"({"id":4,"path":"/a/"})", "4");                // neither "o" nor "m"
    writes.setString(R"({"id":5})", "5");                             // no path either
    writes.setString(R"({"id":"6","path":"/a/","o":1})", "6");        // id not a number
    writes.setString(R"({"id":7,"path":"/a/","o":1,"m":{}})", "7");   // both
    writes.setString(R"({"id":8,"path":3,"o":1})", "8");              // path not a string
    writes.setString(R"({"id":1,"path":"/dup/","o":6})", "91");       // same id as row "1"
    writes.setString(R"({"id":12,"path":"/m/","m":5})", "92");        // merge not an object
    writes.setString(R"([1,2])", "93");                               // not an object

    auto capture = ns::SystemLog::capture();
    auto restored = engine()->userWrites();
    QRVLoggerFlush();
    ASSERT_EQ(restored.size(), 1u);
    EXPECT_EQ(restored[0]->path(), FPath("/ok"));
    EXPECT_TRUE(restored[0]->overwrite()->isEqual(*node("5")));
    for (const char* key : {"2", "3", "4", "5", "6", "7", "8", "92", "93"}) {
        EXPECT_TRUE(capture.contains(std::string("Removing failed write with key ") + key)) << key;
        EXPECT_FALSE(writes.stringForKey(key)) << key;
    }
    EXPECT_TRUE(capture.contains("I-RDB076012"));
    EXPECT_TRUE(capture.contains("Failed to deserialize write (not json)"));
    EXPECT_TRUE(capture.contains("[I-RDB076036] Skipping write with key 91"));

    // The second start sees the surviving rows only.
    EXPECT_EQ(engine()->userWrites().size(), 1u);
}

// "/k/k/.../k/", `keys` keys, with `between` slashes between them.
std::string keysPath(size_t keys, const std::string& between = "/") {
    std::string path = "/";
    for (size_t i = 0; i < keys; ++i) path += "k" + between;
    return path;
}

// A stored write lying deeper than a location may (kQuorvaneMaxTreeDepth
// keys of path and update member) was never acknowledged: it is removed as
// a damaged row is, with one warning, in whichever form the row is read
// (as written, members out of order, text only the generic reader takes),
// and one within the bound is restored.
TEST_F(StorageEngineTest, WritesDeeperThanALocationMayLieAreRemovedAsDamage) {
    const size_t most = kQuorvaneMaxTreeDepth;
    const std::string deepMember = keysPath(45000).substr(1);
    auto merge = [](const std::string& id, const std::string& path, const std::string& members) {
        return R"({"id":)" + id + R"(,"m":{)" + members + R"(},"path":")" + path + R"("})";
    };
    auto set = [](const std::string& id, const std::string& path) {
        return R"({"id":)" + id + R"(,"o":1,"path":")" + path + R"("})";
    };
    struct Row {
        std::string id;
        std::string text;
        size_t keys;  // 0 when restored
    };
    const Row rows[] = {
        {"1", merge("1", "/", R"("a":1,"a/)" + keysPath(44999).substr(1) + R"(":2)"), 45000},
        {"2", merge("2", keysPath(45000), R"("b":1)"), 45001},
        {"3", set("3", keysPath(45000)), 45000},
        {"4", set("4", keysPath(most)), 0},
        {"5", set("5", keysPath(most + 1)), most + 1},
        {"6", set("6", keysPath(most, "//")), 0},
        {"7", merge("7", keysPath(most - 32), "\"" + keysPath(32).substr(1) + R"(":1)"), 0},
        {"8", merge("8", keysPath(most - 32), "\"" + keysPath(33).substr(1) + R"(":1)"), most + 1},
        {"9", set("9", keysPath(most - 1) + ".priority/"), 0},
        {"10", set("10", keysPath(most) + ".priority/"), most + 1},
        {"11", R"({"path":")" + keysPath(45000) + R"(","m":{"b":1},"id":11})", 45001},
        {"12", R"({"path":")" + keysPath(most) + R"(","id":12,"o":1})", 0},
        {"13", R"({"id":13,"o":1,"path":"/\u00e9)" + keysPath(45000) + R"("})", 45001},
        {"14", R"({"id":14, "m":{")" + deepMember + R"(":1}, "path":"/a/"})", 45001},
    };
    auto& writes = *engine()->writesDB();
    for (const Row& row : rows) writes.setString(row.text, row.id);
    auto capture = ns::SystemLog::capture();
    std::set<int64_t> restored;
    for (const auto& write : engine()->userWrites()) restored.insert(write->writeId());
    QRVLoggerFlush();
    for (const Row& row : rows) {
        SCOPED_TRACE("row " + row.id);
        EXPECT_EQ(restored.count(std::stoll(row.id)), row.keys ? 0u : 1u);
        EXPECT_EQ(writes.stringForKey(row.id).has_value(), !row.keys);
        const std::string warning = "[I-RDB076043] Removing write with key " + row.id + ": it writes ";
        EXPECT_EQ(capture.contains(warning + std::to_string(row.keys) + " keys deep"), row.keys != 0);
    }
    EXPECT_FALSE(capture.contains("I-RDB076012")) << "a deep row is warned about once";
}

TEST_F(StorageEngineTest, ANodeIsOneRowPerLeafAndReadsBackWhole) {
    engine()->updateServerCache(node("7"), FPath::empty(), false);
    EXPECT_EQ(serverKeys(), std::vector<std::string>{"/server_cache//"});

    engine()->updateServerCache(node(R"({"a": {"b": 1, "c": "x"}})"), FPath::empty(), false);
    EXPECT_EQ(serverKeys(), (std::vector<std::string>{"/server_cache//a/b/", "/server_cache//a/c/"}));
    EXPECT_EQ(engine()->serverCacheDB()->stringForKey("/server_cache//a/c/"), "\"x\"");
    EXPECT_TRUE(engine()->serverCacheAtPath(FPath("/a"))->isEqual(*node(R"({"b": 1, "c": "x"})")));
    EXPECT_TRUE(engine()->serverCacheAtPath(FPath("/a/b"))->isEqual(*node("1")));
    EXPECT_TRUE(engine()->serverCacheAtPath(FPath("/nothing"))->isEmpty());

    FNodePtr withPriority = FSnapshotUtilities::nodeFrom(ns::Value("x"), ns::Value(1));
    engine()->updateServerCache(withPriority, FPath("/p"), false);
    EXPECT_TRUE(engine()->serverCacheDB()->stringForKey("/server_cache//p/.priority/"));
    EXPECT_TRUE(engine()->serverCacheAtPath(FPath("/p"))->isEqual(*withPriority));

    // Strings with quotes, escapes, control characters and non-ASCII text.
    const std::string odd = "q\"b\\n\nt\tc\x01 \xc3\xa9 </";
    FNodePtr oddNode = FSnapshotUtilities::nodeFrom(ns::Value(ns::Dictionary{{"s", ns::Value(odd)}, {"t", ns::Value(true)}}));
    engine()->updateServerCache(oddNode, FPath("/odd"), false);
    EXPECT_TRUE(engine()->serverCacheAtPath(FPath("/odd"))->isEqual(*oddNode));
    EXPECT_EQ(engine()->serverCacheDB()->stringForKey("/server_cache//odd/t/"), "true");

    engine()->updateServerCache(node("0.1"), FPath("/d"), false);
    engine()->updateServerCache(node("3"), FPath("/i"), false);
    ns::Value d = engine()->serverCacheAtPath(FPath("/d"))->val();
    ns::Value i = engine()->serverCacheAtPath(FPath("/i"))->val();
    EXPECT_TRUE(d.isDouble());
    EXPECT_EQ(d.asDouble(), 0.1);
    EXPECT_TRUE(i.isInteger());
    EXPECT_EQ(i.asInt(), 3);
}

TEST_F(StorageEngineTest, ALeafRowThatIsNotJSONReadsAsNoData) {
    engine()->serverCacheDB()->setString("{broken", "/server_cache//bad/");
    engine()->serverCacheDB()->setString("1", "/server_cache//good/");
    for (const FNodePtr& read : {engine()->serverCacheAtPath(FPath("/bad")),
                                 engine()->serverCacheForKeys({"bad"}, FPath::empty())}) {
        ASSERT_TRUE(read);
        EXPECT_TRUE(read->isEmpty());
    }
    EXPECT_TRUE(engine()->serverCacheAtPath(FPath::empty())->isEqual(*node(R"({"good": 1})")));
}

TEST_F(StorageEngineTest, OverwritesDropStalePrimitivesAndNullRemovesTheSubtree) {
    engine()->updateServerCache(node("1"), FPath("/a"), false);
    engine()->updateServerCache(node("2"), FPath("/a/b/c"), false);
    EXPECT_EQ(serverKeys(), std::vector<std::string>{"/server_cache//a/b/c/"});

    engine()->updateServerCache(node(R"({"x": 1, "y": 2})"), FPath("/s"), false);
    engine()->updateServerCache(node(R"({"y": 3, "z": 4})"), FPath("/s"), true);
    EXPECT_TRUE(engine()->serverCacheAtPath(FPath("/s"))->isEqual(*node(R"({"x": 1, "y": 3, "z": 4})")));

    engine()->updateServerCacheWithMerge(FCompoundWrite::compoundWriteWithValueDictionary({{"x", ns::Value()}}),
                                         FPath("/s"));
    EXPECT_TRUE(engine()->serverCacheAtPath(FPath("/s"))->isEqual(*node(R"({"y": 3, "z": 4})")));

    engine()->updateServerCache(node("null"), FPath("/s"), false);
    EXPECT_EQ(serverKeys(), std::vector<std::string>{"/server_cache//a/b/c/"});
}

TEST_F(StorageEngineTest, KeysOfOneQueryAreNotAnothersAndSizesCountOnlyServerValues) {
    engine()->setTrackedQueryKeys({"a", "b"}, 1);
    engine()->setTrackedQueryKeys({"z"}, 10);
    EXPECT_EQ(engine()->trackedQueryKeysForQuery(1), (std::set<std::string>{"a", "b"}));
    engine()->setTrackedQueryKeys({"b", "c"}, 1);
    EXPECT_EQ(engine()->trackedQueryKeysForQuery(1), (std::set<std::string>{"b", "c"}));
    engine()->updateTrackedQueryKeysWithAddedKeys({"d", "b"}, {"b", "c"}, 1);
    EXPECT_EQ(engine()->trackedQueryKeysForQuery(1), (std::set<std::string>{"b", "d"}));
    EXPECT_EQ(engine()->trackedQueryKeysForQuery(10), std::set<std::string>{"z"});

    FTrackedQuery query(1, FQuerySpec::defaultQueryAtPath(FPath("/q")), 12.5, true, false);
    engine()->saveTrackedQuery(query);
    EXPECT_EQ(engine()->serverCacheEstimatedSizeInBytes(), 0u);
    engine()->updateServerCache(node(R"({"a": "xy", "b": 12})"), FPath::empty(), false);
    EXPECT_EQ(engine()->serverCacheEstimatedSizeInBytes(), 6u);  // "xy" with quotes, and 12

    auto loaded = engine()->loadTrackedQueries();
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0], query);
    engine()->removeTrackedQuery(1);
    EXPECT_TRUE(engine()->loadTrackedQueries().empty());
    EXPECT_TRUE(engine()->trackedQueryKeysForQuery(1).empty());
    EXPECT_EQ(engine()->trackedQueryKeysForQuery(10), std::set<std::string>{"z"});
}

TEST_F(StorageEngineTest, BadTrackedQueryRowsAreDroppedWithWarnings) {
    engine()->saveTrackedQuery(FTrackedQuery(3, FQuerySpec::defaultQueryAtPath(FPath("/q")), 1, false, true));
    engine()->serverCacheDB()->setString("{broken", "/tracked_queries/4");
    engine()->serverCacheDB()->setString(R"({"id":5,"path":"/x/"})", "/tracked_queries/5");
    auto capture = ns::SystemLog::capture();
    auto loaded = engine()->loadTrackedQueries();
    QRVLoggerFlush();
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0].queryId(), 3u);
    EXPECT_TRUE(capture.contains("Removing failed tracked query with key /tracked_queries/4"));
    EXPECT_TRUE(capture.contains("Removing failed tracked query with key /tracked_queries/5"));
    EXPECT_EQ(engine()->loadTrackedQueries().size(), 1u);
}

TEST_F(StorageEngineTest, PruningDropsRowsUnderPruneMarksAndKeepsKeptSubtrees) {
    engine()->updateServerCache(node(R"({"a": {"b": {"x": 1}, "c": 2}, "d": 3})"), FPath::empty(), false);
    FPruneForest forest = FPruneForest::empty().prunePath(FPath("/a")).keepPath(FPath("/a/b"));
    EXPECT_TRUE(engine()->pruneCache(forest, FPath::empty()));
    EXPECT_EQ(serverKeys(), (std::vector<std::string>{"/server_cache//a/b/x/", "/server_cache//d/"}));

    // A keep above a prune replaces it.
    FPruneForest keptAbove = FPruneForest::empty().prunePath(FPath("/a/b")).keepPath(FPath("/a"));
    EXPECT_FALSE(keptAbove.prunesAnything());
    EXPECT_THROW(keptAbove.prunePath(FPath("/a/b/c")), ns::Exception);
    EXPECT_TRUE(engine()->pruneCache(keptAbove, FPath::empty()));
    EXPECT_EQ(serverKeys().size(), 2u);
}

}  // namespace
