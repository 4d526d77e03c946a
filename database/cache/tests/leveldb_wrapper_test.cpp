#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "core/QRVLogger.h"
#include "database/cache/APLevelDB.h"
#include "platform/file_manager.h"
#include "platform/format.h"
#include "platform/system_log.h"
#include "testing/temp_sandbox.h"

namespace {

class LevelDBWrapperTest : public ::testing::Test {
protected:
    APLevelDBPtr open(const std::string& name = "db") {
        ns::ErrorRef error;
        auto db = APLevelDB::levelDBWithPath(sandbox_.root() + "/" + name, &error);
        EXPECT_TRUE(db) << (error ? error->description() : "");
        return db;
    }
    std::vector<std::string> keysWithPrefix(APLevelDB& db, const std::string& prefix) {
        std::vector<std::string> keys;
        db.enumerateKeysWithPrefix(prefix, [&](const std::string& key, bool&) { keys.push_back(key); });
        return keys;
    }
    ns::testing::TempSandbox sandbox_;
};

TEST_F(LevelDBWrapperTest, OpeningCreatesTheDatabaseAndReopeningFindsItsData) {
    auto db = open();
    ASSERT_TRUE(db->setString("value", "key"));
    ASSERT_TRUE(db->setData(ns::Data{0, 1, 255}, "bytes"));
    db->close();
    EXPECT_FALSE(db->isOpen());
    db->close();  // a second close does nothing

    auto again = open();
    EXPECT_EQ(again->stringForKey("key"), "value");
    EXPECT_EQ(again->dataForKey("bytes"), (ns::Data{0, 1, 255}));
    EXPECT_EQ(again->stringForKey("bytes"), std::nullopt);  // not UTF-8
    EXPECT_EQ(again->stringForKey("missing"), std::nullopt);
    EXPECT_TRUE(again->removeKey("key"));
    EXPECT_TRUE(again->removeKey("key"));  // absent keys remove fine
    EXPECT_EQ(again->allKeys(), std::vector<std::string>{"bytes"});
}

TEST_F(LevelDBWrapperTest, OpeningALockedDatabaseFailsWithLevelDBsStatusText) {
    auto first = open();
    ns::ErrorRef error;
    EXPECT_EQ(APLevelDB::levelDBWithPath(sandbox_.root() + "/db", &error), nullptr);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), kAPLevelDBErrorDomain);
    EXPECT_EQ(error->code(), 0);
    EXPECT_NE(error->description().find("lock"), std::string::npos) << error->description();
    EXPECT_EQ(APLevelDB::levelDBWithPath(sandbox_.root() + "/db", nullptr), nullptr);
}

TEST_F(LevelDBWrapperTest, ADamagedDatabaseIsRepairedKeepingWhatCanBeReadAndStillWrites) {
    namespace fs = std::filesystem;
    // Three launches' rows: two in tables, the last still in the log.
    const std::string made = sandbox_.root() + "/made";
    auto key = [](int i) { return ns::format("k%d", i); };
    for (int launch = 0; launch < 3; ++launch) {
        auto db = open("made");
        for (int i = 0; i < 10; ++i) db->setString("value", key(launch * 10 + i));
    }
    auto named = [&](const std::string& prefix, const std::string& suffix) {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(made)) {
            const std::string name = entry.path().filename().string();
            if (name.starts_with(prefix) && name.ends_with(suffix)) found.push_back(name);
        }
        std::sort(found.begin(), found.end());
        return found;
    };
    const std::string manifest = named("MANIFEST-", "").at(0);
    const std::string firstTable = named("", ".ldb").at(0);
    struct Damage {
        const char* what;
        std::function<void(const std::string& folder)> apply;
        int firstKept;  // the first key that survives
    };
    auto write = [](const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::trunc) << bytes; };
    const std::vector<Damage> damages{
        {"index deleted", [](const std::string& f) { fs::remove(f + "/CURRENT"); }, 0},
        {"index emptied", [&](const std::string& f) { write(f + "/CURRENT", ""); }, 0},
        {"index naming no manifest", [&](const std::string& f) { write(f + "/CURRENT", "MANIFEST-999999\n"); }, 0},
        {"manifest cut short", [&](const std::string& f) { fs::resize_file(f + "/" + manifest, 10); }, 0},
        {"manifest deleted", [&](const std::string& f) { fs::remove(f + "/" + manifest); }, 0},
        {"a table deleted", [&](const std::string& f) { fs::remove(f + "/" + firstTable); }, 10},
    };
    for (const auto& damage : damages) {
        SCOPED_TRACE(damage.what);
        const std::string name = std::string("copy-") + damage.what;
        fs::copy(made, sandbox_.root() + "/" + name);
        damage.apply(sandbox_.root() + "/" + name);
        auto capture = ns::SystemLog::capture();
        auto db = open(name);
        ASSERT_TRUE(db);
        QRVLoggerFlush();
        EXPECT_TRUE(capture.contains("I-RDB076038"));
        for (int i = damage.firstKept; i < 30; ++i) EXPECT_EQ(db->stringForKey(key(i)), "value") << i;
        EXPECT_TRUE(db->setString("new", "after"));
        db->close();
        EXPECT_EQ(open(name)->stringForKey("after"), "new");
    }
}

TEST_F(LevelDBWrapperTest, PrefixEnumerationRunsInByteOrderAndStopsWhenAsked) {
    auto db = open();
    for (const char* key : {"b", "abc", "a", "ab"}) db->setString(key, key);
    EXPECT_EQ(keysWithPrefix(*db, "ab"), (std::vector<std::string>{"ab", "abc"}));
    EXPECT_EQ(keysWithPrefix(*db, ""), (std::vector<std::string>{"a", "ab", "abc", "b"}));

    int calls = 0;
    db->enumerateKeys([&](const std::string&, bool& stop) {
        ++calls;
        stop = true;
    });
    EXPECT_EQ(calls, 1);

    std::vector<std::string> values;
    db->enumerateKeysWithPrefixAsStrings("a", [&](const std::string&, const std::string& value, bool&) {
        values.push_back(value);
    });
    EXPECT_EQ(values, (std::vector<std::string>{"a", "ab", "abc"}));

    // The letter é is two bytes that sort after "z".
    db->setString("x", "\xc3\xa9");
    db->setString("x", "z");
    EXPECT_EQ(db->allKeys().back(), "\xc3\xa9");
}

TEST_F(LevelDBWrapperTest, ExactSizeCountsValueBytesOfTheClosedRange) {
    auto db = open();
    db->setString("123", "a");
    db->setString("12345", "b");
    db->setString("1234567", "c");
    EXPECT_EQ(db->exactSizeFrom("a", "b"), 8u);
    EXPECT_EQ(db->exactSizeFrom("b", "bz"), 5u);
    EXPECT_EQ(db->exactSizeFrom("d", "z"), 0u);
}

TEST_F(LevelDBWrapperTest, IteratorOverAnEmptyDatabaseIsMadeButStandsOnNoKey) {
    auto db = open();
    auto empty = APLevelDBIterator::iteratorWithLevelDB(db);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->key(), std::nullopt);
    EXPECT_EQ(empty->valueAsData(), std::nullopt);
    EXPECT_EQ(empty->nextKey(), std::nullopt);

    db->setString("1", "a");
    db->setString("2", "b");
    auto iter = APLevelDBIterator::iteratorWithLevelDB(db);
    EXPECT_EQ(iter->key(), "a");
    EXPECT_EQ(iter->nextKey(), "b");
    EXPECT_EQ(iter->valueAsString(), "2");
    EXPECT_TRUE(iter->seekToKey("aa"));
    EXPECT_EQ(iter->key(), "b");
    EXPECT_FALSE(iter->seekToKey("c"));
    EXPECT_EQ(iter->key(), std::nullopt);
}

TEST_F(LevelDBWrapperTest, WriteBatchesApplyInOrderAllOrNothing) {
    auto db = open();
    EXPECT_FALSE(db->commitWriteBatch(nullptr));
    auto batch = db->beginWriteBatch();
    batch->setString("1", "k");
    batch->removeKey("k");
    batch->setString("2", "k");
    batch->setString("3", "other");
    EXPECT_TRUE(batch->commit());
    EXPECT_EQ(db->stringForKey("k"), "2");
    EXPECT_EQ(db->stringForKey("other"), "3");

    auto cleared = db->beginWriteBatch();
    cleared->removeKey("k");
    cleared->clear();
    EXPECT_TRUE(cleared->commit());
    EXPECT_EQ(db->stringForKey("k"), "2");
}

}  // namespace
