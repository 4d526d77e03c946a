#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "core/QRVLogger.h"
#include "database/cache/FCacheNodeReader.h"
#include "database/cache/FLevelDBStorageEngine.h"
#include "database/model/FSnapshotUtilities.h"
#include "platform/json.h"
#include "platform/system_log.h"
#include "testing/temp_sandbox.h"

namespace {

FNodePtr node(std::string_view json) { return FSnapshotUtilities::nodeFrom(ns::json::parse(json)); }

std::vector<std::string> childKeys(const FNodePtr& n) {
    std::vector<std::string> keys;
    n->enumerateChildren([&](const std::string& key, const FNodePtr&, bool&) { keys.push_back(key); });
    return keys;
}

// Same data, kinds (an integer stays an integer), priorities and child order.
void expectSame(const FNodePtr& read, const FNodePtr& written, const std::string& what) {
    EXPECT_TRUE(read->isEqual(*written)) << what;
    EXPECT_EQ(read->valForExport(true), written->valForExport(true)) << what;
    EXPECT_EQ(childKeys(read), childKeys(written)) << what;
}

// Export-form values covering what a cached node holds.
const char* const kNodes[] = {
    R"({"b": true, "f": false, "i": -42, "u": 18446744073709551615, "d": 2.5, "e": 1e-7, "z": 0, "n": 0.0})",
    R"({"s": "q\"b\\n\nt\tc\u0001 é 日本 </", "empty": "", "long": "a string longer than fifteen bytes"})",
    R"({".priority": 3, "x": {".value": "v", ".priority": "p"}, "y": {".priority": 1.5, "k": 1}})",
    R"({"10": 1, "2": 2, "-5": 3, "a": 4, "a!": 5, "a b": 6, "clé": 7, "日": 8, "9": {"1": 9}})",
    R"({"a": {"b": {"c": {"d": {"e": {"f": "deep"}}}}}, "a-": 1})",
    R"({".value": 12, ".priority": "only"})",
    R"("a lone string")",
};

class CacheReaderTest : public ::testing::Test {
protected:
    FLevelDBStorageEngine& engine() {
        if (!engine_) engine_ = std::make_unique<FLevelDBStorageEngine>("session/reader");
        return *engine_;
    }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<FLevelDBStorageEngine> engine_;
};

TEST_F(CacheReaderTest, ServerCacheRowsReadBackAsTheNodesWritten) {
    for (const char* json : kNodes) {
        FNodePtr written = node(json);
        engine().updateServerCache(written, FPath("/n/sub"), false);
        expectSame(engine().serverCacheAtPath(FPath("/n/sub")), written, json);
        expectSame(engine().serverCacheAtPath(FPath("/n")), node("{}")->updateImmediateChild("sub", written), json);
    }
    expectSame(engine().serverCacheAtPath(FPath("/n/sub")), node(kNodes[6]), "a leaf read at its own path");
}

TEST_F(CacheReaderTest, WritesReadBackAsTheRecordsSaved) {
    uint64_t id = 0;
    for (const char* json : kNodes) engine().saveUserOverwrite(node(json), FPath("/w"), ++id);
    engine().saveUserOverwrite(node(R"({"t": {".sv": "timestamp"}})"), FPath("/sv"), ++id);
    const FCompoundWrite flat = FCompoundWrite::compoundWriteWithValueDictionary(
        {{"s", ns::Value(1)}, {"p", ns::Value(2.5)}, {"10", ns::Value("x")}, {"2", ns::Value()}});
    const FCompoundWrite nested = FCompoundWrite::compoundWriteWithValueDictionary(
        {{"a/b", ns::Value(1)},
         {"a/c/.priority", ns::Value(4)},
         {"d", ns::Value(ns::Dictionary{{"e", ns::Value(true)}})}});
    engine().saveUserMerge(flat, FPath("/m"), ++id);
    engine().saveUserMerge(nested, FPath("/m"), ++id);

    auto writes = engine().userWrites();
    ASSERT_EQ(writes.size(), id);
    for (size_t i = 0; i < std::size(kNodes); ++i) expectSame(writes[i]->overwrite(), node(kNodes[i]), kNodes[i]);
    EXPECT_TRUE(writes[7]->overwrite()->isEqual(*node(R"({"t": {".sv": "timestamp"}})")));
    EXPECT_TRUE(writes[8]->compoundWrite() == flat);
    EXPECT_TRUE(writes[9]->compoundWrite() == nested);
    EXPECT_EQ(writes[9]->path(), FPath("/m"));
}

// Rows the cache did not write in its own form still restore as the generic
// reader reads them, and rows that would stop it are passed over.
TEST_F(CacheReaderTest, OtherRowsReadTheGenericWayAndBadOnesAreDropped) {
    auto& writes = *engine().writesDB();
    const struct {
        const char* row;
        const char* overwrite;  // null when the row is dropped
    } kRows[] = {
        {R"({"id":1,"path":"/a/","o":{"k":"\u00e9\ud83d\ude00"}})", "{\"k\": \"é😀\"}"},
        {R"({ "id" : 2.0, "path" : "/a/", "o" : [1, {"x": 2}], "extra": 1 })", R"({"0": 1, "1": {"x": 2}})"},
        {R"({"path":"/a/","o":5,"id":3})", "5"},
        {R"({"id":4,"path":"/a/","o":{"bad$key":1}})", nullptr},
        {R"({"id":18446744073709551615,"path":"/a/","o":1})", nullptr},
        {R"({"id":6,"path":"/a/","o":1e999})", nullptr},
    };
    for (size_t i = 0; i < std::size(kRows); ++i) writes.setString(kRows[i].row, std::to_string(i + 1));
    std::vector<FNodePtr> expected;
    for (const auto& row : kRows) {
        if (row.overwrite) expected.push_back(node(row.overwrite));
    }
    auto restored = engine().userWrites();
    ASSERT_EQ(restored.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) expectSame(restored[i]->overwrite(), expected[i], kRows[i].row);

    // A server row whose key lacks the closing "/" is skipped, not looped on.
    engine().updateServerCache(node(R"({"a": 1, "b": 2})"), FPath("/r"), false);
    engine().serverCacheDB()->setString("3", "/server_cache//r/a/x");
    expectSame(engine().serverCacheAtPath(FPath("/r")), node(R"({"a": 1, "b": 2})"), "stray row");
}

// A server row lying deeper than a location may (kQuorvaneMaxTreeDepth
// keys, and one more for a leaf's priority row) is damage: skipped wherever
// the read starts, never followed one level at a time.
TEST_F(CacheReaderTest, ServerRowsDeeperThanALocationMayLieAreSkipped) {
    auto keys = [](size_t count, const char* key) {
        std::string text;
        for (size_t i = 0; i < count; ++i) text += std::string(key) + "/";
        return text;
    };
    const size_t most = kQuorvaneMaxTreeDepth + 1;
    auto& rows = *engine().serverCacheDB();
    rows.setString("1", "/server_cache//ok/");
    rows.setString("2", "/server_cache//" + keys(most, "j"));
    rows.setString("3", "/server_cache//" + keys(most + 1, "k"));
    rows.setString("4", "/server_cache//" + keys(45000, "l"));
    rows.setString("5", "/server_cache//" + keys(most - 1, "m") + ".value/");
    rows.setString("6", "/server_cache//" + keys(most - 1, "m") + ".priority/");
    const FNodePtr within = FEmptyNode::emptyNode()->updateChild(FPath(keys(most, "j")), node("2"));
    const FNodePtr withPriority = FSnapshotUtilities::nodeFrom(ns::Value(5), ns::Value(6));
    const FNodePtr all = within->updateImmediateChild("ok", node("1"))
                             ->updateChild(FPath(keys(most - 1, "m")), withPriority);
    const struct {
        FPath at;
        FNodePtr read;
    } kReads[] = {
        {FPath(), all},
        {FPath("j"), all->getImmediateChild("j")},
        {FPath(keys(most - 1, "m")), withPriority},
        {FPath("k"), FEmptyNode::emptyNode()},
        {FPath(keys(most, "k")), FEmptyNode::emptyNode()},
        {FPath("l"), FEmptyNode::emptyNode()},
    };
    for (const auto& read : kReads) {
        EXPECT_TRUE(engine().serverCacheAtPath(read.at)->isEqual(*read.read)) << read.at.length() << " keys in";
    }
}

// Sibling records one after another, as a reader meets them: what it made
// at a place for one record must never stand for a value of another kind or
// sign in the next, nor a key for another name, whatever the places have
// learnt to share before.
ns::Value records(size_t count, const std::function<void(size_t, ns::Dictionary&)>& fill) {
    ns::Dictionary all;
    for (size_t i = 0; i < count; ++i) {
        ns::Dictionary record;
        fill(i, record);
        all.emplace("r" + std::to_string(100000 + i), ns::Value(std::move(record)));
    }
    return ns::Value(std::move(all));
}

const std::pair<const char*, ns::Value> kRecordRuns[] = {
    {"equal values of other kinds in turn",
     records(300, [](size_t i, ns::Dictionary& r) {
         const ns::Value kinds[] = {ns::Value(1), ns::Value(1.0), ns::Value("1"), ns::Value(true),
                                    ns::Value(0.0), ns::Value(-0.0), ns::Value(18446744073709551615ULL)};
         r["k"] = kinds[i % std::size(kinds)];
     })},
    {"unique values, then repeating ones, then unique again",
     records(400, [](size_t i, ns::Dictionary& r) {
         r["v"] = i % 200 < 100 ? ns::Value("id " + std::to_string(i)) : ns::Value(2.5 + double(i % 3));
         r["w"] = ns::Value(int64_t(i) * 1000);
     })},
    {"other names at the same place",
     records(300, [](size_t i, ns::Dictionary& r) {
         if (i % 3 != 0) r["a" + std::to_string(i % 5)] = ns::Value(int64_t(i));
         if (i % 2 == 0) r["b"] = ns::Value(ns::Dictionary{{"c" + std::to_string(i % 7), ns::Value("x")}});
         r["z"] = ns::Value(i % 4 == 0);
     })},
    {"a level past every kept buffer beside small ones",
     ns::Value(ns::Dictionary{{"big", records(5000, [](size_t i, ns::Dictionary& r) { r["n"] = ns::Value(int64_t(i)); })},
                              {"small", ns::Value(ns::Dictionary{{"a", ns::Value(1)}, {"b", ns::Value(2)}})}})},
};

std::string exported(const FNodePtr& n) { return ns::json::serialize(n->valForExport(true)); }

TEST_F(CacheReaderTest, SiblingRecordsReadBackWithEveryKindAndKey) {
    uint64_t id = 0;
    for (const auto& [what, value] : kRecordRuns) {
        FNodePtr written = FSnapshotUtilities::nodeFrom(value);
        engine().updateServerCache(written, FPath("/runs"), false);
        EXPECT_EQ(exported(engine().serverCacheAtPath(FPath("/runs"))), exported(written)) << what;
        engine().saveUserOverwrite(written, FPath("/runs"), ++id);
        engine().saveUserMerge(FCompoundWrite::compoundWriteWithValueDictionary(value.asDictionary()), FPath("/m"), ++id);
    }
    const auto writes = engine().userWrites();
    ASSERT_EQ(writes.size(), id);
    for (size_t i = 0; i < std::size(kRecordRuns); ++i) {
        const auto& [what, value] = kRecordRuns[i];
        EXPECT_EQ(exported(writes[2 * i]->overwrite()), exported(FSnapshotUtilities::nodeFrom(value))) << what;
        EXPECT_EQ(exported(writes[2 * i + 1]->compoundWrite().applyToNode(FEmptyNode::emptyNode())),
                  exported(FSnapshotUtilities::nodeFrom(value)))
            << what;
    }
}

// Numbers as a lone row and as members of sibling rows: the reader takes
// them with the generic reader's kind, or leaves the text to it.
TEST_F(CacheReaderTest, NumbersReadWithTheGenericKindsOrNotAtAll) {
    const struct {
        const char* text;
        bool taken;
    } kNumbers[] = {
        {"0", true},     {"7", true},        {"255", true},   {"256", true},
        {"-12", true},   {"12.0", true},     {"12e1", true},  {"1E2", true},  {"0.5", true},
        {"2.5", true},   {"0.1", true},      {"-0.0", true},  {"-7.25", true}, {"0.30000000000000004", true},
        {"123456789.012345", true},          {"1234567890.1234567", true},    {"9007199254740993.0", true},
        {"999999999999999999", true},        {"1000000000000000000", true},   {"9223372036854775807", true},
        {"9223372036854775808", true},       {"123456789012345678901", false},
        {"0123", false}, {"00", false},      {"7x", false},   {"7.", false},  {"7e", false},
    };
    FCacheNodeReader::Sharing::Place place;
    for (const auto& [text, taken] : kNumbers) {
        const std::string member = std::string(R"({"a":)") + text + "}";
        for (int row = 0; row < 3; ++row) {
            FNodePtr read = FCacheNodeReader::nodeFromJSON(text, &place);
            FNodePtr inObject = FCacheNodeReader::nodeFromJSON(member);
            ASSERT_EQ(read != nullptr, taken) << text;
            ASSERT_EQ(inObject != nullptr, taken) << member;
            if (!taken) break;
            const ns::Value generic = ns::json::parse(text);
            EXPECT_EQ(read->val().type(), generic.type()) << text;
            EXPECT_EQ(read->val(), generic) << text;
            EXPECT_EQ(read->dataHash(), node(text)->dataHash()) << text;
            EXPECT_EQ(inObject->getImmediateChild("a")->val().type(), generic.type()) << member;
            expectSame(inObject, node(member), member);
        }
    }
}

// Bytes a string reader must stop at or carry, each at every place of a
// word of text and just past it, in leaves, keys and write paths.
TEST_F(CacheReaderTest, StringsReadBackWhateverByteStandsWhereInThem) {
    const std::string kBytes[] = {"\"", "\\", "\n", "\x01", "\x1f", " ", "\x7f", "~", "\xc3\xa9", "\xe6\x97\xa5"};
    uint64_t id = 0;
    for (const std::string& byte : kBytes) {
        for (size_t at = 0; at <= 17; ++at) {
            const std::string text = std::string(at, 'a') + byte + std::string(17 - at, 'b');
            const std::string what = ns::json::serialize(ns::Value(text));
            FNodePtr written = FSnapshotUtilities::nodeFrom(ns::Value(
                ns::Dictionary{{"s", ns::Value(text)}, {"t", ns::Value(ns::Dictionary{{"u", ns::Value(text)}})}}));
            engine().updateServerCache(written, FPath("/s"), false);
            expectSame(engine().serverCacheAtPath(FPath("/s")), written, what);
            engine().updateServerCache(FSnapshotUtilities::nodeFrom(ns::Value(text)), FPath("/s"), false);
            expectSame(engine().serverCacheAtPath(FPath("/s")), FSnapshotUtilities::nodeFrom(ns::Value(text)), what);
            engine().saveUserOverwrite(written, FPath("/w"), ++id);
            const FCompoundWrite merge =
                FCompoundWrite::compoundWriteWithValueDictionary({{"s", ns::Value(text)}, {"z", ns::Value(1)}});
            const FPath path("/m/" + text + "/x");
            engine().saveUserMerge(merge, path, ++id);
            const auto writes = engine().userWrites();
            ASSERT_EQ(writes.size(), id) << what;
            expectSame(writes[id - 2]->overwrite(), written, what);
            EXPECT_TRUE(writes[id - 1]->compoundWrite() == merge) << what;
            EXPECT_EQ(writes[id - 1]->path(), path) << what;
        }
    }
}

// Byte order stands for key order only where the reader is told it does:
// for any two keys it passes, "key/" rows and members come in key order.
TEST_F(CacheReaderTest, KeysPassedAsInByteOrderComeInKeyOrder) {
    const struct {
        const char* key;
        bool passes;
    } kKeys[] = {
        {"a", true},      {"ab", true},      {"a0", true},     {"Z", true},      {"_x", true},
        {"a~", true},     {"a b", false},    {"a-b", false},   {"a!", false},    {"a,", false},
        {"10", false},    {"9", false},      {"-5", false},    {"0x", false},    {"[MIN_NAME]", false},
        {"\xc3\xa9", false}, {"a\xef\xbd\xa1", false}, {"a\xf0\x9f\x98\x80", false}, {"", false},
    };
    for (const auto& a : kKeys) {
        EXPECT_EQ(FCacheNodeReader::byteOrderIsKeyOrder(a.key), a.passes) << a.key;
        for (const auto& b : kKeys) {
            if (!a.passes || !b.passes) continue;
            const int keyOrder = FUtilities::compareKey(a.key, b.key);
            const int memberOrder = std::string_view(a.key).compare(b.key);
            const int rowOrder = (std::string(a.key) + "/").compare(std::string(b.key) + "/");
            EXPECT_EQ(keyOrder < 0, memberOrder < 0) << a.key << " " << b.key;
            EXPECT_EQ(keyOrder < 0, rowOrder < 0) << a.key << " " << b.key;
        }
    }
    // Keys that do not pass are put in key order.
    FNodePtr mixed = node(R"({"a": 1, "a b": 2, "a-b": 3, "a!": 4, "10": 5, "9": 6, "-5": 7, "\u00e9": 8, "b": 9})");
    engine().updateServerCache(mixed, FPath("/k"), false);
    expectSame(engine().serverCacheAtPath(FPath("/k")), mixed, "rows");
    engine().saveUserOverwrite(mixed, FPath("/k"), 1);
    expectSame(engine().userWrites()[0]->overwrite(), mixed, "members");
}

// A restore of more rows than one thread reads: rows in other forms, bad
// rows and an id taken twice among them, wherever they fall.
TEST_F(CacheReaderTest, ALargeRestoreKeepsOrderRemovalsAndWarnings) {
    constexpr uint64_t kWrites = 6000;
    for (uint64_t id = 1; id <= kWrites; ++id) {
        const FPath path("/stock/P" + std::to_string(7450000 + id));
        if (id % 3 == 0) {
            engine().saveUserMerge(FCompoundWrite::compoundWriteWithValueDictionary(
                                       {{"s", ns::Value(int64_t(id % 13))}, {"p/q", ns::Value(2.5)}}),
                                   path, id);
        } else {
            engine().saveUserOverwrite(node(R"({"d": "N)" + std::to_string(id) + R"(", "s": 3})"), path, id);
        }
    }
    const struct {
        const char* key;
        const char* row;
    } kOdd[] = {
        {"0005", R"({"id":5,"path":"/dup/","o":1})"},  // comes first: row "5" gives way
        {"9x", R"({"id":5,"path":"/dup/","o":2})"},    // comes last: gives way
        {"5999x", R"({ "id" : 6001, "path" : "/spaced/", "o" : 2 })"},
        {"6002", R"({"path":"/late/","o":{"b":1,"a":2},"id":6002})"},
        {"7", R"({"id":7,"path":"/bad/","o":{"bad$key":1}})"},  // replaces row "7"
        {"800", "not json"},                                     // replaces row "800"
        {"801", "{\"id\":801,\"o\":{\"a\":\"\xff\"},\"path\":\"/x/\"}"},  // not UTF-8
        {"9000", R"({"id":9000,"path":"/\u00e9/","m":{"a/b":1,"10":2,"9":3}})"},
    };
    auto& writes = *engine().writesDB();
    for (const auto& odd : kOdd) writes.setString(odd.row, odd.key);
    // Read on another thread, removed on this one, in row order.
    std::string deep = R"({"id":9001,"o":1,"path":")";
    for (size_t i = 0; i <= kQuorvaneMaxTreeDepth; ++i) deep += "/k";
    writes.setString(deep + "\"}", "9001");
    auto capture = ns::SystemLog::capture();
    const auto restored = engine().userWrites();
    QRVLoggerFlush();
    EXPECT_EQ(restored.size(), kWrites - 3 + 3);  // rows "7", "800" and "801" replaced by bad ones
    for (size_t i = 1; i < restored.size(); ++i) {
        ASSERT_LT(restored[i - 1]->writeId(), restored[i]->writeId()) << i;
    }
    EXPECT_TRUE(capture.contains("[I-RDB076036] Skipping write with key 5:"));
    EXPECT_TRUE(capture.contains("[I-RDB076036] Skipping write with key 9x:"));
    EXPECT_TRUE(capture.contains("Removing failed write with key 7"));
    EXPECT_TRUE(capture.contains("Removing failed write with key 800"));
    EXPECT_TRUE(capture.contains("[I-RDB076043] Removing write with key 9001: it writes 1033 keys deep"));
    EXPECT_FALSE(writes.stringForKey("9001"));
    EXPECT_FALSE(writes.stringForKey("7"));
    EXPECT_FALSE(writes.stringForKey("800"));
    EXPECT_FALSE(writes.stringForKey("801"));
    EXPECT_EQ(restored[4]->path(), FPath("/dup"));
    EXPECT_TRUE(restored[4]->overwrite()->isEqual(*node("1")));
    for (const auto& record : restored) {
        const int64_t id = record->writeId();
        if (id == 5) {
            continue;
        } else if (id == 6001) {
            EXPECT_TRUE(record->overwrite()->isEqual(*node("2")));
        } else if (id == 6002) {
            EXPECT_TRUE(record->overwrite()->isEqual(*node(R"({"a": 2, "b": 1})")));
        } else if (id == 9000) {
            EXPECT_EQ(record->path(), FPath("/\xc3\xa9"));
            EXPECT_TRUE(record->compoundWrite() ==
                        FCompoundWrite::compoundWriteWithValueDictionary(
                            {{"a/b", ns::Value(1)}, {"10", ns::Value(2)}, {"9", ns::Value(3)}}));
        } else if (id % 3 == 0) {
            EXPECT_TRUE(record->compoundWrite() ==
                        FCompoundWrite::compoundWriteWithValueDictionary(
                            {{"s", ns::Value(int64_t(id % 13))}, {"p/q", ns::Value(2.5)}}))
                << id;
        } else {
            ASSERT_TRUE(record->overwrite()->isEqual(*node(R"({"d": "N)" + std::to_string(id) + R"(", "s": 3})")))
                << id;
            ASSERT_EQ(record->path(), FPath("/stock/P" + std::to_string(7450000 + id))) << id;
        }
    }
}

// A row skipped for an id another row took first is named by its own key
// when that key only looks like the id (a leading zero, more digits than an
// id has, a letter after it), whether it falls among the first rows, among
// those copied ahead, or among those read on other threads (after rows
// whose keys sort first).
TEST_F(CacheReaderTest, ASkippedRowIsNamedByItsOwnKey) {
    const struct {
        const char* key;
        int64_t id;
    } kTwins[] = {
        {"00", 0}, {"12a", 12}, {"30000000000000000000", 3}, {"40000000000000000004", 4}, {"5 ", 5},
    };
    for (const int64_t firstRows : {0, 500, 2000}) {
        SCOPED_TRACE(firstRows);
        auto& writes = *engine().writesDB();
        ASSERT_TRUE(engine().removeAllUserWrites());
        for (int64_t i = 0; i < firstRows; ++i) {
            writes.setString(R"({"id":)" + std::to_string(100000 + i) + R"(,"path":"/f/","o":1})",
                             " " + std::to_string(100000 + i));
        }
        for (const auto& twin : kTwins) {
            engine().saveUserOverwrite(node("1"), FPath("/kept"), uint64_t(twin.id));
            writes.setString(R"({"id":)" + std::to_string(twin.id) + R"(,"path":"/skipped/","o":2})", twin.key);
        }
        auto capture = ns::SystemLog::capture();
        const auto restored = engine().userWrites();
        QRVLoggerFlush();
        ASSERT_EQ(restored.size(), size_t(firstRows) + std::size(kTwins));
        for (const auto& twin : kTwins) {
            EXPECT_TRUE(capture.contains("Skipping write with key " + std::string(twin.key) + ":")) << twin.key;
        }
        for (const auto& record : restored) {
            if (record->writeId() < 100000) {
                EXPECT_EQ(record->path(), FPath("/kept")) << record->writeId();
            }
        }
    }
}

}  // namespace

// Rows in the cache's own form, one after another, restore as the generic
// reader reads them: integers and ids around the lengths read without
// from_chars, and merges whose member names change at the same place or
// are paths of several keys.
TEST_F(CacheReaderTest, IntegersIdsAndMergeMembersReadBackAsTheGenericReaderReadsThem) {
    const char* const kRows[] = {
        R"({"id":999999999999999999,"o":{"a":999999999999999999,"b":-999999999999999999},"path":"/i/"})",
        R"({"id":1000000000000000000,"o":{"a":1000000000000000000,"b":9223372036854775807},"path":"/i/"})",
        R"({"id":9223372036854775807,"o":{"a":9223372036854775808,"b":-9223372036854775808},"path":"/i/"})",
        R"({"id":0,"o":{"a":0,"b":-0,"c":12345678901234567890},"path":"/i/"})",
        R"({"id":10,"m":{"a":1,"b":2},"path":"/m/"})",
        R"({"id":11,"m":{"a":1,"c":{"d":2}},"path":"/m/"})",
        R"({"id":12,"m":{"b":3},"path":"/m/"})",
        R"({"id":13,"m":{"a/x":1,"b":2},"path":"/m/"})",
        R"({"id":14,"m":{"10":1,"9":2,"a":3},"path":"/m/"})",
        R"({"id":15,"m":{"":{"k":1},"z":2},"path":"/m/"})",
        R"({"id":16,"m":{},"path":"/m/"})",
        R"({"id":17,"m":{"a":1,"b":2},"path":"/m/"})",
    };
    auto& writes = *engine().writesDB();
    for (const char* row : kRows) {
        writes.setString(row, std::to_string(ns::json::parse(row).asDictionary().at("id").asUInt()));
    }
    const auto restored = engine().userWrites();
    ASSERT_EQ(restored.size(), std::size(kRows));
    std::map<int64_t, FWriteRecordPtr> byId;
    for (const auto& record : restored) byId[record->writeId()] = record;
    for (const char* row : kRows) {
        const ns::Dictionary generic = ns::json::parse(row).asDictionary();
        const auto& record = byId[int64_t(generic.at("id").asUInt())];
        ASSERT_TRUE(record) << row;
        if (generic.count("o")) {
            EXPECT_EQ(exported(record->overwrite()), exported(FSnapshotUtilities::nodeFrom(generic.at("o")))) << row;
        } else {
            EXPECT_TRUE(record->compoundWrite() ==
                        FCompoundWrite::compoundWriteWithValueDictionary(generic.at("m").asDictionary()))
                << row;
        }
    }
}
