// The realtime database's persistence (snapshot and journal) and its rules,
// in process.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <filesystem>
#include <fstream>
#include <optional>

#include "backend/database/rtdb_rules.h"
#include "backend/database/rtdb_server.h"
#include "backend/database/rtdb_store.h"
#include "database/model/FSnapshotUtilities.h"
#include "platform/json.h"

namespace {

namespace fs = std::filesystem;
using backend::RtdbRules;
using backend::RtdbStore;

FNodePtr node(const std::string& json) { return FSnapshotUtilities::nodeFrom(ns::json::parse(json)); }
std::string text(const FNodePtr& n) { return ns::json::serialize(n->valForExport(true)); }

class RtdbStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = fs::temp_directory_path() / ("rtdb-store-" + std::to_string(::getpid()) + "-" +
                                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder);
    }
    void TearDown() override { fs::remove_all(folder); }

    fs::path journal() const { return folder / "journal.log"; }
    uintmax_t journalSize() const { return fs::file_size(journal()); }

    // Three writes, each acknowledged (durable) before the next.
    void writeThree() {
        RtdbStore store(folder, node(R"({"a":1})"));
        FNodePtr root = store.recoveredRoot();
        root = root->updateChild(FPath("/b"), node("2"));
        store.appendSet(FPath("/b"), node("2"));
        FCompoundWrite merge = FCompoundWrite::compoundWriteWithValueDictionary(
            ns::json::parse(R"({"c/d":3,"a":null})").asDictionary());
        store.appendMerge(FPath("/"), merge);
        store.appendSet(FPath("/e"), node(R"({"f":"x"})"));
        store.flush();
        EXPECT_EQ(store.durableSeq(), store.appendedSeq());
        EXPECT_TRUE(store.whenDurable(store.appendedSeq(), [] { ADD_FAILURE() << "already durable"; }));
    }

    fs::path folder;
};

TEST_F(RtdbStoreTest, ANewFolderStartsFromTheSeedAndTheJournalReplaysOverIt) {
    {
        RtdbStore store(folder, node(R"({"a":1})"));
        EXPECT_TRUE(store.recovery().fresh);
        EXPECT_EQ(text(store.recoveredRoot()), R"({"a":1})");
    }
    writeThree();
    RtdbStore reopened(folder, node(R"({"ignored":true})"));
    EXPECT_FALSE(reopened.recovery().fresh);
    EXPECT_EQ(reopened.recovery().replayedRecords, 3u);
    EXPECT_FALSE(reopened.recovery().droppedTornTail);
    EXPECT_EQ(text(reopened.recoveredRoot()), R"({"b":2,"c":{"d":3},"e":{"f":"x"}})");
    EXPECT_EQ(reopened.appendedSeq(), 3u) << "numbering goes on after a restart";
}

TEST_F(RtdbStoreTest, ATornLastRecordIsCutOffAndEverythingBeforeItKept) {
    writeThree();
    fs::resize_file(journal(), journalSize() - 3);
    {
        RtdbStore store(folder, nullptr);
        EXPECT_TRUE(store.recovery().droppedTornTail);
        EXPECT_EQ(store.recovery().replayedRecords, 2u);
        EXPECT_EQ(text(store.recoveredRoot()), R"({"b":2,"c":{"d":3}})");
        EXPECT_TRUE(fs::exists(folder / "journal.damaged"));
        // A record written now follows the last good one.
        store.appendSet(FPath("/z"), node("26"));
    }
    RtdbStore store(folder, nullptr);
    EXPECT_FALSE(store.recovery().droppedTornTail);
    EXPECT_EQ(text(store.recoveredRoot()), R"({"b":2,"c":{"d":3},"z":26})");
}

TEST_F(RtdbStoreTest, ADamagedRecordEndsTheReplayWhereItLies) {
    writeThree();
    const auto size = journalSize();
    {
        // A flipped byte in the middle of the journal (inside the second
        // record) fails that record's CRC.
        std::fstream f(journal(), std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(std::streamoff(size / 2));
        char c;
        f.seekg(std::streamoff(size / 2));
        f.get(c);
        f.seekp(std::streamoff(size / 2));
        f.put(char(c ^ 0x20));
    }
    RtdbStore store(folder, nullptr);
    EXPECT_TRUE(store.recovery().droppedTornTail);
    EXPECT_LT(store.recovery().replayedRecords, 3u);
    EXPECT_EQ(store.recoveredRoot()->getChild(FPath("/e"))->isEmpty(), true);
    EXPECT_LT(journalSize(), size);
}

TEST_F(RtdbStoreTest, CompactionWritesASnapshotAndEmptiesTheJournal) {
    RtdbStore::Options options;
    options.compactAfterBytes = 100;
    FNodePtr root;
    {
        RtdbStore store(folder, nullptr, options);
        root = store.recoveredRoot();
        for (int i = 0; i < 10; ++i) {
            FPath at("/k" + std::to_string(i));
            root = root->updateChild(at, node(std::to_string(i)));
            store.appendSet(at, node(std::to_string(i)));
        }
        EXPECT_TRUE(store.wantsCompaction());
        std::atomic<bool> told{false};
        const bool durable = store.whenDurable(store.appendedSeq(), [&] { told = true; });
        store.compact(root);
        EXPECT_TRUE(durable || told.load()) << "the snapshot makes every appended write durable";
        EXPECT_EQ(store.journalBytes(), 0u);
        EXPECT_FALSE(store.wantsCompaction());
        EXPECT_EQ(journalSize(), 0u);
        root = root->updateChild(FPath("/after"), node("true"));
        store.appendSet(FPath("/after"), node("true"));
    }
    RtdbStore store(folder, nullptr, options);
    EXPECT_EQ(store.recovery().replayedRecords, 1u);
    EXPECT_EQ(text(store.recoveredRoot()), text(root));
    EXPECT_EQ(store.appendedSeq(), 11u);
}

// A journal is folded into the snapshot only once it is longer than both
// the threshold and the snapshot, whether the snapshot was written by this
// store or found on opening.
TEST_F(RtdbStoreTest, CompactionWaitsForAJournalLongerThanTheSnapshot) {
    struct Case {
        const char* name;
        size_t seedBytes;  // a string leaf of this length
        int writes;        // about 40 journal bytes each
        bool reopened;
        bool wanted;
    };
    const Case cases[] = {
        {"small snapshot: the threshold decides", 10, 10, false, true},
        {"journal shorter than the snapshot", 2000, 10, false, false},
        {"journal longer than the snapshot", 2000, 80, false, true},
        {"snapshot found on opening", 2000, 10, true, false},
        {"snapshot found on opening, long journal", 2000, 80, true, true},
    };
    RtdbStore::Options options;
    options.compactAfterBytes = 100;
    for (const Case& c : cases) {
        fs::remove_all(folder);
        const FNodePtr seed = FSnapshotUtilities::nodeFrom(ns::Value(std::string(c.seedBytes, 'x')));
        std::optional<RtdbStore> store(std::in_place, folder, seed, options);
        if (c.reopened) store.emplace(folder, nullptr, options);
        for (int i = 0; i < c.writes; ++i) store->appendSet(FPath("/k" + std::to_string(i % 10)), node("1"));
        EXPECT_EQ(store->wantsCompaction(), c.wanted) << c.name << ", journal " << store->journalBytes();
        store->compact(FSnapshotUtilities::nodeFrom(ns::Value(std::string(c.seedBytes, 'y'))));
        EXPECT_FALSE(store->wantsCompaction()) << c.name;
    }
}

// Records no writer syncs are made durable by the store's own thread: the
// first after it is woken, the next while it keeps looking on its own.
TEST_F(RtdbStoreTest, TheStoresThreadSyncsWhatNoWriterSynced) {
    RtdbStore store(folder, nullptr, RtdbStore::Options{});
    for (int burst = 0; burst < 2; ++burst) {
        store.appendSet(FPath("/k" + std::to_string(burst)), node("1"));
        auto durable = std::make_shared<std::promise<void>>();
        std::future<void> told = durable->get_future();
        if (store.whenDurable(store.appendedSeq(), [durable] { durable->set_value(); })) continue;
        ASSERT_EQ(told.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "burst " << burst;
    }
}

TEST_F(RtdbStoreTest, RecordsTheSnapshotHoldsAreNotReplayedAgain) {
    // A crash after the snapshot was written but before the journal was
    // emptied leaves records the snapshot already holds.
    writeThree();
    const fs::path saved = folder / "journal.saved";
    fs::copy_file(journal(), saved);
    {
        RtdbStore store(folder, nullptr);
        store.compact(store.recoveredRoot());
    }
    fs::copy_file(saved, journal(), fs::copy_options::overwrite_existing);
    {
        RtdbStore store(folder, nullptr);
        EXPECT_EQ(store.recovery().replayedRecords, 0u);
        EXPECT_EQ(text(store.recoveredRoot()), R"({"b":2,"c":{"d":3},"e":{"f":"x"}})");
        EXPECT_EQ(store.appendSet(FPath("/n"), node("1")), 4u);
    }
    RtdbStore store(folder, nullptr);
    EXPECT_EQ(store.recovery().replayedRecords, 1u);
    EXPECT_EQ(store.recoveredRoot()->getChild(FPath("/n"))->val(), ns::Value(1));
}

// The deepest data a client writes, under as deep a path as the tree
// allows, is journalled, replayed, snapshotted and read back whole.
TEST_F(RtdbStoreTest, TheDeepestWriteUnderTheDeepestPathIsKeptThroughJournalAndSnapshot) {
    ns::Value deep("leaf");
    for (int i = 0; i < kQuorvaneMaxObjectDepth; ++i) deep = ns::Value(ns::Dictionary{{"k", std::move(deep)}});
    std::string where;
    for (size_t i = 0; i < backend::rtdb::kMaxTreeDepth - size_t(kQuorvaneMaxObjectDepth); ++i) {
        where += "/p" + std::to_string(i);
    }
    const FPath at(where);
    const FNodePtr data = FSnapshotUtilities::nodeFrom(deep);
    FNodePtr root;
    {
        RtdbStore store(folder, nullptr);
        root = store.recoveredRoot()->updateChild(at, data);
        store.appendSet(at, data);
    }
    {
        RtdbStore store(folder, nullptr);
        EXPECT_EQ(store.recovery().replayedRecords, 1u);
        EXPECT_EQ(text(store.recoveredRoot()), text(root));
        store.compact(store.recoveredRoot());
    }
    RtdbStore store(folder, nullptr);
    EXPECT_EQ(store.recovery().replayedRecords, 0u);
    EXPECT_EQ(text(store.recoveredRoot()), text(root));
    EXPECT_EQ(store.recoveredRoot()->getChild(at)->valForExport(true), deep);
}

TEST_F(RtdbStoreTest, ADamagedSnapshotStopsTheOpeningInsteadOfStartingEmpty) {
    { RtdbStore store(folder, node(R"({"a":1})")); }
    std::ofstream(folder / "snapshot.json") << "{\"seq\":0,\"data\":{";
    EXPECT_THROW(RtdbStore(folder, nullptr), std::runtime_error);
}

// Records are what the JSON writer makes of {"a","d","p","s"}, whatever the
// path or data holds, so journals stay readable by every build.
TEST_F(RtdbStoreTest, JournalRecordsAreTheWrittenJsonOfTheWrite) {
    const struct {
        const char* path;
        const char* data;
        bool merge;
    } cases[] = {
        {"/a/b", "12", false},
        {"/", R"({"x":{"y":[1,"two",null,true]},".priority":3})", false},
        {"/q\"u\\o/té", R"("line\nbreak \"quoted\"")", false},
        {"/m", R"({"c/d":3,"e":null,"f":{"g":1.5}})", true},
    };
    std::vector<std::string> expected;
    {
        RtdbStore store(folder, nullptr);
        uint64_t seq = 0;
        for (const auto& c : cases) {
            const ns::Value data = ns::json::parse(c.data);
            const FPath path(c.path);
            ns::Value written;
            if (c.merge) {
                FCompoundWrite write = FCompoundWrite::compoundWriteWithValueDictionary(data.asDictionary());
                seq = store.appendMerge(path, write);
                written = write.valForExport(true);
            } else {
                FNodePtr n = FSnapshotUtilities::nodeFrom(data);
                seq = store.appendSet(path, n);
                written = n->valForExport(true);
            }
            expected.push_back(ns::json::serialize(ns::Value(ns::Dictionary{{"a", ns::Value(c.merge ? "m" : "p")},
                                                                            {"p", ns::Value(path.toString())},
                                                                            {"d", written},
                                                                            {"s", ns::Value(seq)}})));
        }
    }
    std::ifstream in(journal(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t offset = 0;
    for (const std::string& record : expected) {
        ASSERT_LE(offset + 8, bytes.size());
        const uint32_t length = uint8_t(bytes[offset]) | uint8_t(bytes[offset + 1]) << 8 |
                                uint8_t(bytes[offset + 2]) << 16 | uint32_t(uint8_t(bytes[offset + 3])) << 24;
        EXPECT_EQ(bytes.substr(offset + 8, length), record);
        offset += 8 + length;
    }
    EXPECT_EQ(offset, bytes.size());
    EXPECT_EQ(RtdbStore(folder, nullptr).recovery().replayedRecords, expected.size());
}

RtdbRules rules(const std::string& json) {
    std::string error;
    auto parsed = RtdbRules::parse(nlohmann::json::parse(json), &error);
    EXPECT_TRUE(parsed) << error;
    return parsed ? *parsed : RtdbRules::open();
}

TEST(RtdbRulesTest, AGrantCoversEverythingBelowItAndARefusalDeeperDoesNotTakeItBack) {
    auto r = rules(R"({"rules":{"shop":{".read":true,"secret":{".read":false}},
                                "staff":{".read":"auth != null",".write":"auth!=null"},
                                "users":{"$uid":{".write":true,".indexOn":["name","age/years"]}}}})");
    EXPECT_TRUE(r.canRead(FPath("/shop"), false));
    EXPECT_TRUE(r.canRead(FPath("/shop/secret/x"), false));
    EXPECT_FALSE(r.canRead(FPath("/"), true)) << "nothing grants at the root";
    EXPECT_FALSE(r.canRead(FPath("/other"), true));
    EXPECT_FALSE(r.canWrite(FPath("/shop"), true));
    EXPECT_FALSE(r.canRead(FPath("/staff/list"), false));
    EXPECT_TRUE(r.canRead(FPath("/staff/list"), true));
    EXPECT_TRUE(r.canWrite(FPath("/staff"), true));
    EXPECT_TRUE(r.canWrite(FPath("/users/ana/name"), false)) << "a wildcard matches any key";
    EXPECT_FALSE(r.canWrite(FPath("/users"), false));
    EXPECT_TRUE(r.hasIndex(FPath("/users/luis"), "name"));
    EXPECT_TRUE(r.hasIndex(FPath("/users/luis"), "age/years"));
    EXPECT_FALSE(r.hasIndex(FPath("/users/luis"), "age"));
    EXPECT_FALSE(r.hasIndex(FPath("/users/luis/x"), "name")) << "only at the location itself";
    EXPECT_FALSE(r.hasIndex(FPath("/users"), "name"));

    EXPECT_TRUE(RtdbRules::open().canWrite(FPath("/any/where"), false));
}

TEST(RtdbRulesTest, DocumentsThatAreNotRulesAreRefusedWithAReason) {
    for (const char* bad : {R"([])", R"({"rules":{},"more":1})", R"({"rules":[]})", R"({"rules":{".read":1}})",
                            R"({"rules":{".read":"auth.uid == $x"}})", R"({"rules":{"a.b":{}}})",
                            R"({"rules":{"a":{".indexOn":[1]}}})", R"({"rules":{"$a":{},"$b":{}}})",
                            R"({"rules":{"a":5}})", R"({"rules":{".other":true}})"}) {
        std::string error;
        EXPECT_FALSE(RtdbRules::parse(nlohmann::json::parse(bad), &error)) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
}

}  // namespace
