// Which listens the sync tree starts and stops, and what each carries: the
// tag, the query's wire parameters, the simple hash of the data held and the
// compound hash when that data is large; complete listens covering filtered
// ones; failed listens.
#include <gtest/gtest.h>

#include "core/QRVLogger.h"
#include "platform/system_log.h"
#include "sync_test_support.h"

using namespace synctest;
using Strings = std::vector<std::string>;

namespace {

std::string productosJson(int count) {
    std::string json = "{\"Productos\":{";
    for (int i = 0; i < count; ++i) {
        if (i) json += ",";
        json += "\"p" + std::to_string(1000 + i) + "\":{\"Nombre\":\"Producto " + std::to_string(i) +
                "\",\"Precio\":" + std::to_string(i) + "}";
    }
    return json + "}}";
}

FQueryParamsPtr ordered(const std::string& child) {
    return FQueryParams::defaultInstance()->orderBy(FPathIndex::make(FPath(child)));
}

using Fixture = ServedTree;

std::string wire(const ns::Dictionary& params) { return ns::json::serialize(ns::Value(params)); }

}  // namespace

TEST(SyncTreeListen, ListensCarryTagWireParametersAndHashes) {
    Fixture f(productosJson(1000));
    FQuerySpec all = FQuerySpec::defaultQueryAtPath(path("/Productos"));
    FQuerySpec top3(path("/Productos"), ordered("Precio")->limitToLast(3));
    auto children = RecordingRegistration::children("top3");
    auto value = RecordingRegistration::value("value");

    // A filtered query with nothing held: its tag, its wire form, the hash
    // of nothing.
    f.tree->addEventRegistration(children, top3);
    ASSERT_EQ(f.server.listens.size(), 1u);
    EXPECT_EQ(f.server.listens[0].tag, std::optional<FQueryTag>(1));
    EXPECT_EQ(wire(f.server.listens[0].wire), R"({"i":"Precio","l":3,"vf":"r"})");
    EXPECT_EQ(f.server.listens[0].simpleHash, "");
    EXPECT_FALSE(f.server.listens[0].includeCompoundHash);
    EXPECT_EQ(describe(f.server.deliver()),
              (Strings{"top3:added p1997 first", "top3:added p1998 after p1997", "top3:added p1999 after p1998"}));

    // A default observer over it: the complete listen starts, then the
    // filtered one stops, with its tag.
    f.tree->addEventRegistration(value, all);
    ASSERT_EQ(f.server.listens.size(), 2u);
    EXPECT_EQ(f.server.listens[1].query, all);
    EXPECT_EQ(f.server.listens[1].tag, std::nullopt);
    EXPECT_EQ(wire(f.server.listens[1].wire), "{}");
    ASSERT_EQ(f.server.unlistens.size(), 1u);
    EXPECT_EQ(f.server.unlistens[0].query, top3);
    EXPECT_EQ(f.server.unlistens[0].tag, std::optional<FQueryTag>(1));
    EXPECT_EQ(wire(f.server.unlistens[0].wire), R"({"i":"Precio","l":3,"vf":"r"})");
    EXPECT_EQ(describe(f.server.deliver()), Strings{"value:value"});

    // Removing the default observer brings the filtered listen back with
    // its old tag, carrying the 1,000 products held now: their simple hash
    // and, that being large, their compound hash. Then the complete listen
    // stops.
    f.tree->removeEventRegistration(value, all, nullptr);
    ASSERT_EQ(f.server.listens.size(), 3u);
    const TestServer::ListenCall& restarted = f.server.listens[2];
    EXPECT_EQ(restarted.query, top3);
    EXPECT_EQ(restarted.tag, std::optional<FQueryTag>(1));
    FNodePtr productos = f.server.data()->getChild(path("/Productos"));
    EXPECT_EQ(restarted.simpleHash, productos->dataHash());
    ASSERT_TRUE(restarted.includeCompoundHash);
    FCompoundHash expected = FCompoundHash::fromNode(productos);
    EXPECT_GT(expected.posts().size(), 1u);
    EXPECT_EQ(restarted.compoundHash->posts(), expected.posts());
    EXPECT_EQ(restarted.compoundHash->hashes(), expected.hashes());
    ASSERT_EQ(f.server.unlistens.size(), 2u);
    EXPECT_EQ(f.server.unlistens[1].query, all);
    EXPECT_EQ(f.server.unlistens[1].tag, std::nullopt);

    // The server answers with the ranges that differ from its window; the
    // window seen does not change, and the server side holds just the window.
    EXPECT_TRUE(f.server.deliver().empty());
    EXPECT_EQ(f.server.answers.back(), TestServer::AnswerKind::RangeMerges);
    FSyncPointPtr syncPoint = *f.tree->syncPointTree().valueAtPath(path("/Productos"));
    EXPECT_EQ(syncPoint->viewForQuery(top3)->serverCache()->numChildren(), 3);
    EXPECT_EQ(describe(f.server.set("/Productos/p1500/Precio", "5000")),
              (Strings{"top3:removed p1997", "top3:added p1500 after p1999"}));

    // A listen holding the window the server has is answered with no data.
    f.tree->removeEventRegistration(children, top3, nullptr);
    f.tree->addEventRegistration(value, all);
    f.server.deliver();
    f.tree->addEventRegistration(children, FQuerySpec(path("/Productos/p1001"), FQueryParams::defaultInstance()));
    f.tree->removeEventRegistration(value, all, nullptr);
    f.server.deliver();
    EXPECT_EQ(f.server.answers.back(), TestServer::AnswerKind::UpToDate);
}

TEST(SyncTreeListen, CompoundHashOnlyAboveTheSizeLimit) {
    // Estimated size of {"k": s}: 1 + (1 + 4 + (|s| + 2)).
    auto containerFor = [](size_t length) {
        FNodePtr data = FSnapshotUtilities::nodeFrom(ns::Dictionary{{"k", std::string(length, 's')}});
        FCacheNode cache(FIndexedNode::indexedNodeWithNode(data), true, false);
        auto view = std::make_shared<FView>(FQuerySpec::defaultQueryAtPath(FPath::empty()), FViewCache(cache, cache));
        return FListenContainer(view, nullptr);
    };
    EXPECT_EQ(FSnapshotUtilities::estimateSerializedNodeSize(containerFor(1016).serverCache()), 1024u);
    EXPECT_FALSE(containerFor(1016).includeCompoundHash());
    EXPECT_TRUE(containerFor(1017).includeCompoundHash());
    EXPECT_EQ(containerFor(1016).simpleHash(), containerFor(1016).serverCache()->dataHash());

    // A location listened to while a child holds complete data starts from
    // that child's data, not fully initialized, and says so in its hash.
    Fixture f(R"({"small":{"a":{"x":1},"b":2}})");
    f.tree->addEventRegistration(RecordingRegistration::value("a"), FQuerySpec::defaultQueryAtPath(path("/small/a")));
    f.server.deliver();
    f.tree->addEventRegistration(RecordingRegistration::value("small"), FQuerySpec::defaultQueryAtPath(path("/small")));
    ASSERT_EQ(f.server.listens.size(), 2u);
    EXPECT_EQ(f.server.listens[1].simpleHash, node(R"({"a":{"x":1}})")->dataHash());
    EXPECT_FALSE(f.server.listens[1].includeCompoundHash);
    ASSERT_EQ(f.server.unlistens.size(), 1u);
    EXPECT_EQ(f.server.unlistens[0].query, FQuerySpec::defaultQueryAtPath(path("/small/a")));
    EXPECT_EQ(describe(f.server.deliver()), Strings{"small:value"});
}

TEST(SyncTreeListen, CompleteListenCoversFilteredListensAtAndBelowIt) {
    Fixture f(R"({"shop":{"a":{"n":1,"m":2},"b":{"n":3}}})");
    FQuerySpec shopFirst(path("/shop"), FQueryParams::defaultInstance()->orderBy(FKeyIndex::keyIndex())->limitToFirst(1));
    FQuerySpec aLast(path("/shop/a"), FQueryParams::defaultInstance()->limitToLast(1));
    FQuerySpec shop = FQuerySpec::defaultQueryAtPath(path("/shop"));
    f.tree->addEventRegistration(RecordingRegistration::children("shopFirst"), shopFirst);
    f.tree->addEventRegistration(RecordingRegistration::children("aLast"), aLast);
    f.server.deliver();
    ASSERT_EQ(f.server.listens.size(), 2u);

    auto value = RecordingRegistration::value("shop");
    f.tree->addEventRegistration(value, shop);
    ASSERT_EQ(f.server.listens.size(), 3u);
    EXPECT_EQ(f.server.listens[2].query, shop);
    ASSERT_EQ(f.server.unlistens.size(), 2u);
    EXPECT_EQ(f.server.unlistens[0].query, shopFirst);
    EXPECT_EQ(f.server.unlistens[0].tag, std::optional<FQueryTag>(1));
    EXPECT_EQ(f.server.unlistens[1].query, aLast);
    EXPECT_EQ(f.server.unlistens[1].tag, std::optional<FQueryTag>(2));
    f.server.deliver();

    // Observers at or below a complete view start no listen; an ordering
    // without bounds or limit loads all data, so it has no tag.
    FQuerySpec byN(path("/shop/b"), FQueryParams::defaultInstance()->orderBy(FPathIndex::make(FPath("n"))));
    f.tree->addEventRegistration(RecordingRegistration::value("b"), byN);
    f.tree->addEventRegistration(RecordingRegistration::children("shopFirst2"), shopFirst);
    EXPECT_EQ(f.server.listens.size(), 3u);
    EXPECT_EQ(f.tree->tagForQuery(byN), std::nullopt);

    // Its removal restarts the covered listens with their old tags (the
    // complete view below /shop/b now counts as a listen on all data there),
    // then stops the complete listen.
    f.tree->removeEventRegistration(value, shop, nullptr);
    ASSERT_EQ(f.server.listens.size(), 6u);
    EXPECT_EQ(f.server.listens[3].query, shopFirst);
    EXPECT_EQ(f.server.listens[3].tag, std::optional<FQueryTag>(1));
    EXPECT_EQ(f.server.listens[4].query, aLast);
    EXPECT_EQ(f.server.listens[4].tag, std::optional<FQueryTag>(2));
    EXPECT_EQ(f.server.listens[5].query, FQuerySpec::defaultQueryAtPath(path("/shop/b")));
    EXPECT_EQ(f.server.listens[5].tag, std::nullopt);
    ASSERT_EQ(f.server.unlistens.size(), 3u);
    EXPECT_EQ(f.server.unlistens[2].query, shop);
    EXPECT_EQ(f.server.unlistens[2].tag, std::nullopt);

    // The ordering's listen completes untagged.
    f.server.deliver();
    EXPECT_TRUE(f.server.isListening(FQuerySpec::defaultQueryAtPath(path("/shop/b"))));
}

TEST(SyncTreeListen, FailedListenCancelsObserversWithoutUnlisten) {
    Fixture f(R"({"secret":{"a":1},"other":{"b":2}})");
    FUtilities::setLoggingEnabled(false);
    f.tree->addEventRegistration(RecordingRegistration::value("other"), FQuerySpec::defaultQueryAtPath(path("/other")));
    f.server.deliver();

    FQuerySpec secret = FQuerySpec::defaultQueryAtPath(path("/secret"));
    FQuerySpec secretFirst(path("/secret"), FQueryParams::defaultInstance()->limitToFirst(1));
    FQuerySpec lone(path("/lone"), FQueryParams::defaultInstance()->limitToLast(2));
    f.tree->addEventRegistration(RecordingRegistration::value("value"), secret);
    f.tree->addEventRegistration(RecordingRegistration::make("silent", {QRVDataEventTypeValue}, false), secret);
    f.tree->addEventRegistration(RecordingRegistration::children("first"), secretFirst);
    f.tree->addEventRegistration(RecordingRegistration::children("lone"), lone);
    EXPECT_EQ(f.tree->tagForQuery(secretFirst), std::optional<FQueryTag>(1));
    EXPECT_EQ(f.tree->tagForQuery(lone), std::optional<FQueryTag>(2));
    ASSERT_EQ(f.server.pendingCount(), 2u);

    auto capture = ns::SystemLog::capture();
    f.server.refuseListens("permission_denied");
    FEventList events = f.server.deliver();
    QRVLoggerFlush();
    // Every observer of the refused queries that can be cancelled hears of
    // it, with the error: the default query's failure reaches every view at
    // its location.
    EXPECT_EQ(describe(events), (Strings{"value:cancel /secret", "first:cancel /secret", "lone:cancel /lone"}));
    auto cancel = std::static_pointer_cast<FCancelEvent>(events.at(0));
    EXPECT_EQ(cancel->error()->domain(), "com.quorvane");
    EXPECT_EQ(cancel->error()->code(), 1);
    EXPECT_EQ(cancel->error()->localizedDescription(), "Permission Denied");
    EXPECT_TRUE(capture.contains("[Quorvane/Database][I-RDB038012] Listener at /secret failed: permission_denied"));
    EXPECT_TRUE(capture.contains("[Quorvane/Database][I-RDB038012] Listener at /lone failed: permission_denied"));

    // Their sync points and tags are gone, and no unlisten was sent for
    // listens the server refused.
    EXPECT_FALSE(f.tree->syncPointTree().valueAtPath(path("/secret")).has_value());
    EXPECT_FALSE(f.tree->syncPointTree().valueAtPath(path("/lone")).has_value());
    EXPECT_EQ(f.tree->tagForQuery(secretFirst), std::nullopt);
    EXPECT_EQ(f.tree->queryForTag(2), std::nullopt);
    EXPECT_TRUE(f.server.unlistens.empty());
    EXPECT_TRUE(f.server.isListening(FQuerySpec::defaultQueryAtPath(path("/other"))));
}

TEST(SyncTreeListen, KeepSyncedHoldsOneListenWithoutEvents) {
    Fixture f(R"({"k":{"a":1}})");
    FQuerySpec query = FQuerySpec::defaultQueryAtPath(path("/k"));
    f.tree->keepQuery(query, true);
    f.tree->keepQuery(query, true);
    EXPECT_EQ(f.server.listens.size(), 1u);
    EXPECT_TRUE(f.server.deliver().empty());
    EXPECT_EQ(f.tree->keepSyncedQueries().size(), 1u);

    f.tree->keepQuery(FQuerySpec::defaultQueryAtPath(path("/never")), false);
    EXPECT_TRUE(f.server.unlistens.empty());
    f.tree->keepQuery(query, false);
    ASSERT_EQ(f.server.unlistens.size(), 1u);
    EXPECT_EQ(f.server.unlistens[0].query, query);
    EXPECT_FALSE(f.tree->syncPointTree().valueAtPath(path("/k")).has_value());
}
