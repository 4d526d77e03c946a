// The sync tree driven like the repository drives it, against the
// in-process server: the events of windowed child queries over a large
// location, local writes with their acknowledgement or reversion, and
// server values.
#include <gtest/gtest.h>

#include "database/model/FClock.h"
#include "database/sync/FServerValues.h"
#include "platform/clock.h"
#include "sync_test_support.h"

using namespace synctest;
using Strings = std::vector<std::string>;

namespace {

std::string productKey(int i) {
    char key[8];
    snprintf(key, sizeof key, "p%04d", i);
    return key;
}

std::string productosJson(int count) {
    std::string json = "{\"Productos\":{";
    for (int i = 0; i < count; ++i) {
        if (i) json += ",";
        json += "\"" + productKey(i) + "\":{\"Nombre\":\"Producto " + std::to_string(i) +
                "\",\"Precio\":" + std::to_string(i) + "}";
    }
    return json + "}}";
}

FQuerySpec byPrice(FQueryParamsPtr params) { return FQuerySpec(path("/Productos"), std::move(params)); }

FQueryParamsPtr orderedByPrice() { return FQueryParams::defaultInstance()->orderBy(FPathIndex::make(FPath("Precio"))); }

using Fixture = ServedTree;

// Records what the sync tree hands the persistence manager.
class RecordingPersistence final : public NullPersistence {
public:
    void removeUserWrite(uint64_t writeId) override { calls.push_back("removeUserWrite " + std::to_string(writeId)); }
    void removeAllUserWrites() override { calls.push_back("removeAllUserWrites"); }
    void updateServerCacheWithNode(const FNodePtr&, const FQuerySpec& query) override {
        calls.push_back("updateServerCache " + query.path().toString());
    }
    void updateServerCacheWithMerge(const FCompoundWrite&, const FPath& path) override {
        calls.push_back("updateServerCacheWithMerge " + path.toString());
    }
    void applyUserWrite(const FNodePtr& node, const FPath& path) override {
        calls.push_back("applyUserWrite " + path.toString() + " " + ns::json::serialize(node->val()));
    }
    void applyUserMergeAtPath(const FCompoundWrite& merge, const FPath& path) override {
        calls.push_back("applyUserMerge " + path.toString() + " " + ns::json::serialize(merge.valForExport(true)));
    }
    void setQueryComplete(const FQuerySpec& query) override { calls.push_back("complete " + query.path().toString()); }
    void setQueryActive(const FQuerySpec& query) override { calls.push_back("active " + query.path().toString()); }
    void setQueryInactive(const FQuerySpec& query) override { calls.push_back("inactive " + query.path().toString()); }
    void setTrackedQueryKeys(const std::set<std::string>& keys, const FQuerySpec&) override {
        calls.push_back("trackedKeys " + std::to_string(keys.size()));
    }
    void updateTrackedQueryKeysWithAddedKeys(const std::set<std::string>& added, const std::set<std::string>& removed,
                                const FQuerySpec&) override {
        std::string line = "trackedKeys";
        for (const auto& k : added) line += " +" + k;
        for (const auto& k : removed) line += " -" + k;
        calls.push_back(line);
    }

    std::vector<std::string> calls;
};

}  // namespace

// A value observer and windowed child observers on 1,000 products: each
// server merge gives removed, added, moved, changed, then value, each child
// event with the key of the child before it in the window.
TEST(SyncTreeEvents, WindowsOverLargeLocationFollowServerMerges) {
    Fixture f(productosJson(1000));
    auto all = FQuerySpec::defaultQueryAtPath(path("/Productos"));
    auto top3 = byPrice(orderedByPrice()->limitToLast(3));
    auto first2 = byPrice(orderedByPrice()->limitToFirst(2));
    auto value = RecordingRegistration::value("value");
    auto top3Children = RecordingRegistration::children("top3");
    auto top3Value = RecordingRegistration::value("top3value");
    auto first2Children = RecordingRegistration::children("first2");

    EXPECT_TRUE(f.tree->addEventRegistration(value, all).empty());
    EXPECT_TRUE(f.tree->addEventRegistration(top3Children, top3).empty());
    EXPECT_TRUE(f.tree->addEventRegistration(top3Value, top3).empty());
    // Filtered queries are tagged from 1 in the order their views appear;
    // the default listen covers them, so only it goes to the server.
    EXPECT_EQ(f.tree->tagForQuery(top3), std::optional<FQueryTag>(1));
    EXPECT_EQ(f.tree->tagForQuery(all), std::nullopt);
    ASSERT_EQ(f.server.listens.size(), 1u);
    EXPECT_EQ(f.server.listens[0].query, all);

    FEventList events = f.server.deliver();
    EXPECT_EQ(describe(events), (Strings{"value:value", "top3:added p0997 first", "top3:added p0998 after p0997",
                                         "top3:added p0999 after p0998", "top3value:value"}));
    EXPECT_EQ(valueOf(events, 0).asDictionary().size(), 1000u);
    EXPECT_EQ(valueOf(events, 4).asDictionary().size(), 3u);

    // A later filtered query starts from the data held, with the next tag.
    events = f.tree->addEventRegistration(first2Children, byPrice(orderedByPrice()->limitToFirst(2)));
    EXPECT_EQ(describe(events), (Strings{"first2:added p0000 first", "first2:added p0001 after p0000"}));
    EXPECT_EQ(f.tree->tagForQuery(first2), std::optional<FQueryTag>(2));
    EXPECT_EQ(f.server.listens.size(), 1u);

    // An item jumps into the window: the lowest one leaves.
    events = f.server.set("/Productos/p0500/Precio", "5000");
    EXPECT_EQ(describe(events), (Strings{"value:value", "top3:removed p0997", "top3:added p0500 after p0999",
                                         "top3value:value"}));

    // One merge moving, changing, adding and removing at once.
    FNodePtr productos = f.server.data()->getChild(path("/Productos"));
    productos = productos->updateChild(path("p0998/Precio"), node("6000"));
    productos = productos->updateChild(path("p0999/Nombre"), node("\"Renombrado\""));
    productos = productos->updateChild(path("p0200/Precio"), node("7000"));
    productos = productos->updateChild(path("p0500/Nombre"), node("\"Oferta\""));
    events = f.server.set("/Productos", ns::json::serialize(productos->valForExport(true)));
    EXPECT_EQ(describe(events),
              (Strings{"value:value", "top3:removed p0999", "top3:added p0200 after p0998",
                       "top3:moved p0998 after p0500", "top3:changed p0500 first", "top3:changed p0998 after p0500",
                       "top3value:value"}));
    EXPECT_EQ(ns::json::serialize(valueOf(events, 6)),
              R"({"p0200":{"Nombre":"Producto 200","Precio":7000},"p0500":{"Nombre":"Oferta","Precio":5000},)"
              R"("p0998":{"Nombre":"Producto 998","Precio":6000}})");

    // An item leaving the window pulls in the next one from the data held.
    events = f.server.set("/Productos/p0200/Precio", "3");
    EXPECT_EQ(describe(events), (Strings{"value:value", "top3:removed p0200", "top3:added p0999 first",
                                         "top3value:value"}));

    // Removing the child observers drops the view and its tag; the next
    // filtered query gets a fresh tag.
    EXPECT_TRUE(f.tree->removeEventRegistration(top3Children, top3, nullptr).empty());
    EXPECT_EQ(f.tree->tagForQuery(top3), std::optional<FQueryTag>(1));
    EXPECT_TRUE(f.tree->removeEventRegistration(top3Value, top3, nullptr).empty());
    EXPECT_EQ(f.tree->tagForQuery(top3), std::nullopt);
    EXPECT_EQ(f.tree->queryForTag(1), std::nullopt);
    auto top5 = byPrice(orderedByPrice()->limitToLast(5));
    f.tree->addEventRegistration(RecordingRegistration::children("top5"), top5);
    EXPECT_EQ(f.tree->tagForQuery(top5), std::optional<FQueryTag>(3));
}

TEST(SyncTreeEvents, LocalWritesShowAtOnceAndSettleOnAcknowledgement) {
    Fixture f(R"({"items":{"a":1}})");
    auto items = FQuerySpec::defaultQueryAtPath(path("/items"));
    auto value = RecordingRegistration::value("value");
    f.tree->addEventRegistration(value, items);
    f.server.deliver();
    auto clock = FSystemClock::clock();

    // A set shows before the server has seen it.
    FEventList events = f.tree->applyUserOverwriteAtPath(path("/items/b"), node("2"), 1, true);
    ASSERT_EQ(describe(events), Strings{"value:value"});
    EXPECT_EQ(ns::json::serialize(valueOf(events, 0)), R"({"a":1,"b":2})");
    // The server's echo lands under the pending write: nothing to tell.
    EXPECT_TRUE(f.server.set("/items/b", "2").empty());
    EXPECT_TRUE(f.tree->ackUserWriteWithWriteId(1, false, false, *clock).empty());

    // A refused write is taken back.
    events = f.tree->applyUserOverwriteAtPath(path("/items/a"), node("10"), 2, true);
    EXPECT_EQ(ns::json::serialize(valueOf(events, 0)), R"({"a":10,"b":2})");
    events = f.tree->ackUserWriteWithWriteId(2, true, false, *clock);
    ASSERT_EQ(describe(events), Strings{"value:value"});
    EXPECT_EQ(ns::json::serialize(valueOf(events, 0)), R"({"a":1,"b":2})");

    // An accepted write whose data the server never sent leaves the
    // server's data showing.
    f.tree->applyUserOverwriteAtPath(path("/items/c"), node("3"), 3, true);
    events = f.tree->ackUserWriteWithWriteId(3, false, false, *clock);
    ASSERT_EQ(describe(events), Strings{"value:value"});
    EXPECT_EQ(ns::json::serialize(valueOf(events, 0)), R"({"a":1,"b":2})");

    // An update shows every child it writes.
    events = f.tree->applyUserMergeAtPath(path("/items"), FCompoundWrite::compoundWriteWithValueDictionary({{"a", 5}, {"d/e", 6}}), 4);
    EXPECT_EQ(ns::json::serialize(valueOf(events, 0)), R"({"a":5,"b":2,"d":{"e":6}})");
    events = f.tree->ackUserWriteWithWriteId(4, true, false, *clock);
    EXPECT_EQ(ns::json::serialize(valueOf(events, 0)), R"({"a":1,"b":2})");
}

// Removing every write, or taking back a write at the root, reaches views
// below the root with an operation that was never owned by a shared pointer.
TEST(SyncTreeEvents, RemovingAllWritesOrARootWriteReachesViewsBelowTheRoot) {
    Fixture f(R"({"items":{"a":1}})");
    auto value = RecordingRegistration::value("value");
    f.tree->addEventRegistration(value, FQuerySpec::defaultQueryAtPath(path("/items")));
    f.server.deliver();
    auto clock = FSystemClock::clock();

    f.tree->applyUserOverwriteAtPath(path("/items/a"), node("2"), 1, true);
    FEventList events = f.tree->removeAllWrites();
    ASSERT_EQ(describe(events), Strings{"value:value"});
    EXPECT_EQ(ns::json::serialize(valueOf(events, 0)), R"({"a":1})");

    f.tree->applyUserOverwriteAtPath(path("/"), node(R"({"items":{"a":3}})"), 2, true);
    events = f.tree->ackUserWriteWithWriteId(2, true, false, *clock);
    ASSERT_EQ(describe(events), Strings{"value:value"});
    EXPECT_EQ(ns::json::serialize(valueOf(events, 0)), R"({"a":1})");
}

TEST(SyncTreeEvents, WritesHiddenFromViewRaiseNothing) {
    Fixture f(R"({"items":{"a":1,"c":0}})");
    auto value = RecordingRegistration::value("value");
    f.tree->addEventRegistration(value, FQuerySpec::defaultQueryAtPath(path("/items")));
    f.server.deliver();
    auto clock = FSystemClock::clock();

    // A write under a complete server overwrite keeps showing the user's
    // data: an overwrite that differs only there changes nothing seen.
    ASSERT_EQ(f.tree->applyUserOverwriteAtPath(path("/items/c"), node("9"), 1, true).size(), 1u);
    EXPECT_TRUE(f.tree->applyServerOverwriteAtPath(path("/items"), node(R"({"a":1,"c":5})")).empty());
    FEventList events = f.tree->ackUserWriteWithWriteId(1, true, false, *clock);
    ASSERT_EQ(describe(events), Strings{"value:value"});
    EXPECT_EQ(ns::json::serialize(valueOf(events, 0)), R"({"a":1,"c":5})");

    // A write made without local events shows neither when made nor when
    // acknowledged, and does not reach the persistence manager.
    auto persistence = std::make_shared<RecordingPersistence>();
    TestServer server(R"({"items":{"a":1}})");
    auto tree = FSyncTree::make(persistence, server.provider());
    server.attach(tree);
    tree->addEventRegistration(RecordingRegistration::value("v"), FQuerySpec::defaultQueryAtPath(path("/items")));
    server.deliver();
    persistence->calls.clear();
    EXPECT_TRUE(tree->applyUserOverwriteAtPath(path("/items/a"), node("2"), 7, false).empty());
    EXPECT_TRUE(tree->ackUserWriteWithWriteId(7, false, true, *clock).empty());
    EXPECT_TRUE(persistence->calls.empty());
}

// Placeholders resolve against the server's estimated time: the device
// clock plus the offset the server reported.
TEST(SyncTreeEvents, ServerValuesResolveWithTheOffsetClock) {
    auto virtualClock = ns::VirtualClock::install(1'700'000'000.0);
    auto offsetClock = std::make_shared<FOffsetClock>(FSystemClock::clock(), 2.5);
    auto persistence = std::make_shared<RecordingPersistence>();
    TestServer server(R"({"items":{}})");
    auto tree = FSyncTree::make(persistence, server.provider());
    server.attach(tree);
    auto value = RecordingRegistration::value("value");
    tree->addEventRegistration(value, FQuerySpec::defaultQueryAtPath(path("/items")));
    server.deliver();

    FNodePtr written = node(R"({"at":{".sv":"timestamp"},"n":1})");
    ns::Dictionary serverValues = FServerValues::generateServerValues(*offsetClock);
    EXPECT_EQ(serverValues.at("timestamp"), ns::Value(int64_t(1'700'000'002'500)));
    FEventList events = tree->applyUserOverwriteAtPath(
        path("/items/w"), FServerValues::resolveDeferredValueSnapshot(written, serverValues), 1, true);
    EXPECT_EQ(ns::json::serialize(valueOf(events, 0)), R"({"w":{"at":1700000002500,"n":1}})");

    // The acknowledgement resolves the write as stored against the clock it
    // is given, now 10 s later, for the cached server data.
    persistence->calls.clear();
    tree->applyUserOverwriteAtPath(path("/items/x"), written, 2, true);
    virtualClock->advance(10);
    tree->ackUserWriteWithWriteId(2, false, true, *offsetClock);
    EXPECT_EQ(persistence->calls,
              (Strings{"removeUserWrite 2", R"(applyUserWrite /items/x {"at":1700000012500,"n":1})"}));

    persistence->calls.clear();
    tree->applyUserMergeAtPath(path("/items"),
                         FCompoundWrite::compoundWriteWithValueDictionary(
                             {{"y", ns::Dictionary{{".sv", "timestamp"}}}, {"z", "plain"}}),
                         3);
    tree->ackUserWriteWithWriteId(3, false, true, *offsetClock);
    EXPECT_EQ(persistence->calls,
              (Strings{"removeUserWrite 3", R"(applyUserMerge /items {"y":1700000012500,"z":"plain"})"}));
}

// A removed write whose data an older write above it absorbed, or that had
// replaced an update's writes below it, must not leave the wrong data
// showing: the visible writes are rebuilt from the ones that remain.
TEST(SyncTreeEvents, RevertedWriteFoldedIntoAnOlderWriteIsRebuilt) {
    Fixture f(R"({"a":{"x":0,"y":0}})");
    auto value = RecordingRegistration::value("value");
    f.tree->addEventRegistration(value, FQuerySpec::defaultQueryAtPath(path("/a")));
    f.server.deliver();
    auto clock = FSystemClock::clock();

    // A sent transaction's set at /a, then a queued one under it, aborted.
    f.tree->applyUserOverwriteAtPath(path("/a"), node(R"({"x":1,"y":1})"), 1, true);
    FEventList events = f.tree->applyUserOverwriteAtPath(path("/a/x"), node("2"), 2, true);
    EXPECT_EQ(ns::json::serialize(valueOf(events, 0)), R"({"x":2,"y":1})");
    events = f.tree->ackUserWriteWithWriteId(2, true, false, *clock);
    ASSERT_EQ(describe(events), Strings{"value:value"});
    EXPECT_EQ(ns::json::serialize(valueOf(events, 0)), R"({"x":1,"y":1})");
    f.tree->ackUserWriteWithWriteId(1, true, false, *clock);

    // An update above /a/x with a write below it, then a set at /a/x that
    // replaced that write, reverted: the update's write shows again.
    f.tree->applyUserMergeAtPath(path("/"), FCompoundWrite::compoundWriteWithValueDictionary({{"a/x/z", 5}}), 3);
    events = f.tree->applyUserOverwriteAtPath(path("/a/x"), node("7"), 4, true);
    EXPECT_EQ(ns::json::serialize(valueOf(events, 0)), R"({"x":7,"y":0})");
    events = f.tree->ackUserWriteWithWriteId(4, true, false, *clock);
    ASSERT_EQ(describe(events), Strings{"value:value"});
    EXPECT_EQ(ns::json::serialize(valueOf(events, 0)), R"({"x":{"z":5},"y":0})");
}
