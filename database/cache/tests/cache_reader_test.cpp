#include <gtest/gtest.h>

#include "database/cache/FLevelDBStorageEngine.h"
#include "database/model/FSnapshotUtilities.h"
#include "platform/json.h"
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

}  // namespace
