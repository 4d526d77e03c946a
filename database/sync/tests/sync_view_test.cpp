// Views from the inside: change accumulation, the three filters (the
// limited window especially), event generation order, views, the view
// processor's corner cases, operations narrowed per child, sync points.
#include <gtest/gtest.h>

#include <random>

#include "database/sync/FNodeFilter.h"
#include "database/sync/FSyncPoint.h"
#include "sync_test_support.h"

using namespace synctest;
using Strings = std::vector<std::string>;

namespace {

FIndexedNodePtr indexed(const std::string& json, const FIndexPtr& index = FKeyIndex::keyIndex()) {
    return FIndexedNode::indexedNodeWithNode(node(json), index);
}

std::string json(const FNodePtr& n) { return ns::json::serialize(n->valForExport(true)); }

Strings changeLines(FChangeList changes) {
    std::sort(changes.begin(), changes.end(),
              [](const FChange& a, const FChange& b) { return a.childKey() < b.childKey(); });
    Strings lines;
    for (const FChange& c : changes) {
        std::string line = std::string(typeName(c.type())) + " " + c.childKey().value_or("") + " " +
                           json(c.indexedNode()->node());
        if (c.oldIndexedNode()) line += " was " + json(c.oldIndexedNode()->node());
        lines.push_back(line);
    }
    return lines;
}

// The children a limited window may pull in: the next child after a post
// in a node the test gives.
class NodeSource final : public FCompleteChildSource {
public:
    explicit NodeSource(FNodePtr data) : data_(std::move(data)) {}
    FNodePtr completeChild(const std::string& key) const override { return data_->getImmediateChild(key); }
    std::optional<FNamedNode> childByIndex(const FIndexPtr& index, const FNamedNode& post, bool reverse) const override {
        std::optional<FNamedNode> best;
        data_->enumerateChildren([&](const std::string& key, const FNodePtr& child, bool&) {
            if (index->compare(key, *child, post.name, *post.node, reverse) <= 0) return;
            if (!best || index->compare(key, *child, best->name, *best->node, reverse) < 0) best = FNamedNode{key, child};
        });
        return best;
    }

private:
    FNodePtr data_;
};

FChange added(const std::string& key, const std::string& value) {
    return FChange(QRVDataEventTypeChildAdded, FIndexedNode::indexedNodeWithNode(node(value)), key);
}
FChange removed(const std::string& key, const std::string& value) {
    return FChange(QRVDataEventTypeChildRemoved, FIndexedNode::indexedNodeWithNode(node(value)), key);
}
FChange changed(const std::string& key, const std::string& value, const std::string& old) {
    return FChange(QRVDataEventTypeChildChanged, FIndexedNode::indexedNodeWithNode(node(value)), key,
                   FIndexedNode::indexedNodeWithNode(node(old)));
}

}  // namespace

TEST(ChildChangeAccumulator, FoldsChangesOfOneChild) {
    FChildChangeAccumulator acc;
    acc.trackChildChange(added("a", "1"));
    acc.trackChildChange(removed("a", "1"));
    acc.trackChildChange(removed("b", "1"));
    acc.trackChildChange(added("b", "2"));
    acc.trackChildChange(added("c", "1"));
    acc.trackChildChange(changed("c", "2", "1"));
    acc.trackChildChange(changed("d", "2", "1"));
    acc.trackChildChange(removed("d", "2"));
    acc.trackChildChange(changed("e", "2", "1"));
    acc.trackChildChange(changed("e", "3", "2"));
    EXPECT_EQ(changeLines(acc.changes()),
              (Strings{"changed b 2 was 1", "added c 2", "removed d 1", "changed e 3 was 1"}));
    try {
        acc.trackChildChange(added("c", "5"));
        ADD_FAILURE();
    } catch (const ns::Exception& e) {
        EXPECT_EQ(e.name(), "QuorvaneDatabaseInternalError");
        EXPECT_EQ(e.reason(), "Illegal combination of changes: event: 0, data: 5 occurred after event: 0, data: 2");
    }
}

// A full update puts its children's changes into an empty accumulator
// without indexing them; changes tracked after it must still fold with them.
TEST(ChildChangeAccumulator, ChangesAfterAFullUpdateFoldWithIt) {
    struct Case {
        const char* name;
        std::vector<FChange> before;  // tracked before the full update
        const char* oldJson;
        const char* newJson;
        std::vector<FChange> after;  // tracked after it
        Strings expected;            // empty with `throws`
        bool throws = false;
    };
    const std::vector<Case> cases = {
        {"adds then folds", {}, "{}", R"({"a":1,"b":2,"c":3})",
         {removed("a", "1"), changed("b", "5", "2"), added("d", "4")},
         {"added b 5", "added c 3", "added d 4"}},
        {"all kinds then folds", {}, R"({"a":1,"b":2})", R"({"b":3,"c":4})",
         {added("a", "7"), changed("c", "6", "4"), removed("b", "3")},
         {"changed a 7 was 1", "removed b 2", "added c 6"}},
        {"into a held change", {added("x", "1")}, R"({"x":1})", "{}", {}, {}},
        {"held change then more", {added("x", "1")}, R"({"x":1})", R"({"y":2})", {changed("y", "3", "2")},
         {"added y 3"}},
        {"an impossible sequence still raises", {}, "{}", R"({"a":1})", {added("a", "2")}, {}, true},
    };
    FIndexedFilter filter(FKeyIndex::keyIndex());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FChildChangeAccumulator acc;
        for (const FChange& change : c.before) acc.trackChildChange(change);
        filter.updateFullNode(indexed(c.oldJson), indexed(c.newJson), &acc);
        try {
            for (const FChange& change : c.after) acc.trackChildChange(change);
            EXPECT_FALSE(c.throws);
        } catch (const ns::Exception& e) {
            EXPECT_TRUE(c.throws) << e.reason();
            continue;
        }
        EXPECT_EQ(acc.isEmpty(), c.expected.empty());
        EXPECT_EQ(changeLines(acc.changes()), c.expected);
        EXPECT_EQ(changeLines(acc.takeChanges()), c.expected);
        EXPECT_TRUE(acc.isEmpty());
        EXPECT_TRUE(acc.changes().empty());
    }
}

TEST(NodeFilters, IndexedAndRangedFilters) {
    FIndexedFilter filter(FKeyIndex::keyIndex());
    FChildChangeAccumulator acc;
    FIndexedNodePtr snap = indexed(R"({"a":{"x":1},"b":2})");
    // The same data at the affected path, or an empty child where there is
    // none, changes nothing.
    EXPECT_EQ(filter.updateChildIn(snap, "a", node(R"({"x":1,"y":5})"), path("x"), FNoCompleteChildSource::instance(), &acc),
              snap);
    EXPECT_EQ(filter.updateChildIn(snap, "z", FEmptyNode::emptyNode(), FPath::empty(), FNoCompleteChildSource::instance(), &acc),
              snap);
    EXPECT_TRUE(acc.isEmpty());
    FIndexedNodePtr full = filter.updateFullNode(snap, indexed(R"({"b":3,"c":4})"), &acc);
    EXPECT_EQ(json(full->node()), R"({"b":3,"c":4})");
    EXPECT_EQ(changeLines(acc.changes()), (Strings{"removed a {\"x\":1}", "changed b 3 was 2", "added c 4"}));

    // From the value 5, with and without a start key; both bounds inclusive.
    auto params = FQueryParams::defaultInstance()->orderBy(FValueIndex::valueIndex())->startAt(node("5"));
    FRangedFilter ranged(*params);
    EXPECT_TRUE(ranged.matchesKey("a", *node("5")));
    EXPECT_FALSE(ranged.matchesKey("a", *node("4")));
    FRangedFilter keyed(*params->startAt(node("5"), "m"));
    EXPECT_FALSE(keyed.matchesKey("a", *node("5")));
    EXPECT_TRUE(keyed.matchesKey("n", *node("5")));
    // A full update keeps the range and drops the location's priority.
    FIndexedNodePtr result = ranged.updateFullNode(FIndexedNode::indexedNodeWithNode(FEmptyNode::emptyNode(), FValueIndex::valueIndex()),
                                                   indexed(R"({".priority":1,"a":4,"b":5,"c":6})", FValueIndex::valueIndex()),
                                                   nullptr);
    EXPECT_EQ(json(result->node()), R"({"b":5,"c":6})");
    // A child moving out of range is removed.
    FChildChangeAccumulator acc2;
    ranged.updateChildIn(result, "b", node("1"), FPath::empty(), FNoCompleteChildSource::instance(), &acc2);
    EXPECT_EQ(changeLines(acc2.changes()), Strings{"removed b 5"});
}

TEST(NodeFilters, LimitedWindow) {
    auto first2 = FQueryParams::defaultInstance()->orderBy(FKeyIndex::keyIndex())->limitToFirst(2);
    auto last2 = FQueryParams::defaultInstance()->orderBy(FKeyIndex::keyIndex())->limitToLast(2);
    FIndexedNodePtr empty = indexed("{}");
    EXPECT_EQ(json(FLimitedFilter(*first2).updateFullNode(empty, indexed(R"({"a":1,"b":2,"c":3})"), nullptr)->node()),
              R"({"a":1,"b":2})");
    EXPECT_EQ(json(FLimitedFilter(*last2).updateFullNode(empty, indexed(R"({"a":1,"b":2,"c":3})"), nullptr)->node()),
              R"({"b":2,"c":3})");

    FLimitedFilter filter(*first2);
    FIndexedNodePtr window = indexed(R"({"a":1,"b":2})");
    NodeSource source(node(R"({"a":1,"b":2,"c":3})"));
    FChildChangeAccumulator acc;
    // A child before the edge displaces it; one after it changes nothing.
    FIndexedNodePtr result = filter.updateChildIn(window, "aa", node("9"), FPath::empty(), source, &acc);
    EXPECT_EQ(json(result->node()), R"({"a":1,"aa":9})");
    EXPECT_EQ(changeLines(acc.changes()), (Strings{"added aa 9", "removed b 2"}));
    FChildChangeAccumulator none;
    EXPECT_EQ(filter.updateChildIn(window, "c", node("3"), FPath::empty(), source, &none), window);
    EXPECT_TRUE(none.isEmpty());
    // A child leaving pulls in the next one the source knows, if any.
    FChildChangeAccumulator acc2;
    result = filter.updateChildIn(window, "a", FEmptyNode::emptyNode(), FPath::empty(), source, &acc2);
    EXPECT_EQ(json(result->node()), R"({"b":2,"c":3})");
    EXPECT_EQ(changeLines(acc2.changes()), (Strings{"removed a 1", "added c 3"}));
    result = filter.updateChildIn(window, "a", FEmptyNode::emptyNode(), FPath::empty(), FNoCompleteChildSource::instance(), nullptr);
    EXPECT_EQ(json(result->node()), R"({"b":2})");
    // A window not full admits any child in range without the source.
    EXPECT_EQ(json(filter.updateChildIn(indexed(R"({"b":2})"), "z", node("1"), FPath::empty(),
                                        FNoCompleteChildSource::instance(), nullptr)->node()),
              R"({"b":2,"z":1})");

    // Under the value index, with c (5) beyond the window {a, b}.
    FLimitedFilter byValue(*FQueryParams::defaultInstance()->orderBy(FValueIndex::valueIndex())->limitToFirst(2));
    FIndexedNodePtr valueWindow = indexed(R"({"a":1,"b":2})", FValueIndex::valueIndex());
    NodeSource valueSource(node(R"({"a":1,"b":2,"c":5})"));
    FChildChangeAccumulator stays;
    byValue.updateChildIn(valueWindow, "b", node("3"), FPath::empty(), valueSource, &stays);
    EXPECT_EQ(changeLines(stays.changes()), Strings{"changed b 3 was 2"});
    FChildChangeAccumulator leaves;
    result = byValue.updateChildIn(valueWindow, "b", node("9"), FPath::empty(), valueSource, &leaves);
    EXPECT_EQ(changeLines(leaves.changes()), (Strings{"removed b 2", "added c 5"}));
    EXPECT_EQ(json(result->node()), R"({"a":1,"c":5})");
}

// The window a full replacement keeps is the one the direction-order walk
// from the start post keeps, whatever the index, bounds and values.
TEST(NodeFilters, LimitedFullUpdateMatchesTheOrderedWalk) {
    std::mt19937 rng(4242);
    auto randomValue = [&]() -> ns::Value {
        switch (rng() % 5) {
            case 0: return ns::Value(int64_t(rng() % 10));
            case 1: return ns::Value(double(rng() % 10) + 0.5);
            case 2: return ns::Value(std::string(1, char('a' + rng() % 5)));
            case 3: return ns::Value(rng() % 2 == 0);
            default: return ns::Value();
        }
    };
    for (int round = 0; round < 200; ++round) {
        ns::Dictionary data;
        int count = int(rng() % 30);
        for (int i = 0; i < count; ++i) {
            ns::Dictionary product;
            ns::Value price = randomValue();
            if (!price.isNull()) product["Precio"] = price;
            product["n"] = i;
            data["k" + std::to_string(rng() % 40)] = product;
        }
        FIndexPtr index = rng() % 2 ? FPathIndex::make(FPath("Precio")) : FIndexPtr(FKeyIndex::keyIndex());
        auto params = FQueryParams::defaultInstance()->orderBy(index);
        bool keyIndex = index->isEqual(FKeyIndex::keyIndex());
        auto bound = [&]() {
            return keyIndex ? FSnapshotUtilities::nodeFrom(ns::Value("k" + std::to_string(rng() % 40)))
                            : FSnapshotUtilities::nodeFrom(ns::Value(int64_t(rng() % 10)));
        };
        if (rng() % 3 == 0) params = params->startAt(bound());
        if (rng() % 3 == 0) params = params->endAt(bound());
        int64_t limit = 1 + int64_t(rng() % 6);
        params = rng() % 2 ? params->limitToFirst(limit) : params->limitToLast(limit);

        FIndexedNodePtr full = FIndexedNode::indexedNodeWithNode(FSnapshotUtilities::nodeFrom(ns::Value(data)), index);
        FLimitedFilter filter(*params);
        FIndexedNodePtr result =
            filter.updateFullNode(FIndexedNode::indexedNodeWithNode(FEmptyNode::emptyNode(), index), full, nullptr);

        bool reverse = !params->isViewFromLeft();
        FNamedNode startPost = reverse ? filter.rangedFilter().endPost() : filter.rangedFilter().startPost();
        FNamedNode endPost = reverse ? filter.rangedFilter().startPost() : filter.rangedFilter().endPost();
        bool foundStart = false;
        int64_t kept = 0;
        FNodePtr expected = FEmptyNode::emptyNode();
        full->enumerateChildrenReverse(reverse, [&](const std::string& key, const FNodePtr& child, bool&) {
            if (!foundStart && index->compare(startPost.name, *startPost.node, key, *child, reverse) <= 0) foundStart = true;
            if (foundStart && kept < limit && index->compare(key, *child, endPost.name, *endPost.node, reverse) <= 0) {
                ++kept;
                expected = expected->updateImmediateChild(key, child);
            }
        });
        ASSERT_TRUE(result->node()->isEqual(*expected))
            << "round " << round << ": " << json(result->node()) << " vs " << json(expected);
    }
}

TEST(EventGenerator, OrderOfEventsAndPreviousSiblings) {
    FQuerySpec byKey(path("/items"), FQueryParams::defaultInstance()->orderBy(FKeyIndex::keyIndex()));
    FEventGenerator generator(byKey);
    auto children = RecordingRegistration::children("c");
    FIndexedNodePtr cache = indexed(R"({"a":1,"b":2,"c":3})");
    FEventList events = generator.generateEventsForChanges({added("c", "3"), added("a", "1"), added("b", "2")}, cache,
                                                           {children});
    EXPECT_EQ(describe(events), (Strings{"c:added a first", "c:added b after a", "c:added c after b"}));
    EXPECT_TRUE(generator.generateEventsForChanges({}, cache, {children}).empty());

    // Child events before the value event, whatever the registration order.
    auto value = RecordingRegistration::value("v");
    auto addedOnly = RecordingRegistration::make("k", {QRVDataEventTypeChildAdded, QRVDataEventTypeChildRemoved});
    events = FEventGenerator(FQuerySpec::defaultQueryAtPath(path("/items")))
                 .generateEventsForChanges({added("a", "1"), FChange(QRVDataEventTypeValue, indexed(R"({"a":1})"))},
                                           FIndexedNode::indexedNodeWithNode(node(R"({"a":1})")), {value, addedOnly});
    EXPECT_EQ(describe(events), (Strings{"k:added a first", "v:value"}));
    EXPECT_EQ(events[0]->path(), path("/items"));

    // Under the priority index a changed priority also moves the child.
    FEventGenerator byPriority(FQuerySpec::defaultQueryAtPath(path("/p")));
    FIndexedNodePtr pcache = FIndexedNode::indexedNodeWithNode(
        node(R"({"a":{".value":1,".priority":1},"b":{".value":2,".priority":3}})"));
    events = byPriority.generateEventsForChanges(
        {changed("b", R"({".value":2,".priority":3})", R"({".value":2,".priority":0})"), changed("a", R"({".value":1,".priority":1})", R"({".value":0,".priority":1})")},
        pcache, {children});
    EXPECT_EQ(describe(events), (Strings{"c:moved b after a", "c:changed a first", "c:changed b after a"}));
}

TEST(View, WindowsCancelsAndCompleteData) {
    FQuerySpec limited(path("/l"), FQueryParams::defaultInstance()->orderBy(FKeyIndex::keyIndex())->limitToFirst(2));
    FCacheNode cache(indexed(R"({"a":1,"b":2,"c":3})"), true, false);
    FView view(limited, FViewCache(cache, cache));
    EXPECT_EQ(json(view.eventCache()), R"({"a":1,"b":2})");
    EXPECT_EQ(json(view.serverCache()), R"({"a":1,"b":2,"c":3})");
    EXPECT_EQ(view.completeServerCacheFor(FPath::empty()), nullptr);
    EXPECT_EQ(json(view.completeServerCacheFor(path("a"))), "1");
    EXPECT_EQ(view.description(), "FView (FQuerySpec (path: /l, params: {\n    i = .key;\n    l = 2;\n    vf = l;\n}))");

    auto cancellable = RecordingRegistration::value("v");
    auto silent = RecordingRegistration::make("s", {QRVDataEventTypeValue}, false);
    view.addEventRegistration(cancellable);
    view.addEventRegistration(silent);
    view.addEventRegistration(FKeepSyncedEventRegistration::instance());
    // The match-all handle removes value and child registrations only.
    EXPECT_TRUE(view.removeEventRegistration(RecordingRegistration::matchAll(), nullptr).empty());
    EXPECT_EQ(view.eventRegistrations().size(), 1u);
    view.addEventRegistration(cancellable);
    view.addEventRegistration(silent);
    FEventList cancels = view.removeEventRegistration(nullptr, FUtilities::errorForStatus("permission_denied", std::nullopt));
    EXPECT_EQ(describe(cancels), Strings{"v:cancel /l"});
    EXPECT_TRUE(view.isEmpty());

    FView complete(FQuerySpec::defaultQueryAtPath(path("/e")),
                   FViewCache(FCacheNode(indexed("{}"), true, false), FCacheNode(indexed("{}"), true, false)));
    EXPECT_EQ(describe(complete.initialEvents(cancellable)), Strings{"v:value"});
    EXPECT_EQ(json(complete.completeServerCacheFor(FPath::empty())), "null");
}

namespace {

class StrayOperation final : public FOperation {
public:
    FOperationPtr operationForChild(const std::string&) const override { return nullptr; }
    const FOperationSourcePtr& source() const override { return FOperationSource::serverInstance(); }
    FOperationType type() const override { return FOperationType(7); }
    const FPath& path() const override { return FPath::empty(); }
    std::string description() const override { return "stray"; }
};

FViewCache emptyCache(bool complete) {
    FCacheNode c(FIndexedNode::indexedNodeWithNode(FEmptyNode::emptyNode()), complete, false);
    return FViewCache(c, c);
}

}  // namespace

TEST(ViewProcessor, CornerCases) {
    auto writes = FWriteTree::make();
    FWriteTreeRef ref = writes->childWritesForPath(path("/v"));
    FViewProcessor processor(FQueryParams::defaultInstance()->nodeFilter());

    // A listen completion on a location without data: one value change.
    FViewProcessorResult result = processor.applyOperationOn(
        emptyCache(false), FListenComplete(FOperationSource::serverInstance(), FPath::empty()), ref, nullptr);
    ASSERT_EQ(result.changes.size(), 1u);
    EXPECT_EQ(result.changes[0].type(), QRVDataEventTypeValue);
    EXPECT_TRUE(result.viewCache.cachedEventSnap().isFullyInitialized());

    // Nothing changed, no value change; a priority alone is a change.
    FCacheNode data(FIndexedNode::indexedNodeWithNode(node(R"({"a":1})")), true, false);
    FViewCache cache(data, data);
    result = processor.applyOperationOn(cache, FOverwrite(FOperationSource::serverInstance(), path("a"), node("1")), ref, nullptr);
    EXPECT_TRUE(result.changes.empty());
    result = processor.applyOperationOn(cache, FOverwrite(FOperationSource::userInstance(), path(".priority"), node("4")), ref, nullptr);
    ASSERT_EQ(result.changes.size(), 1u);
    // A priority is never set on a location that does not exist.
    result = processor.applyOperationOn(cache, FOverwrite(FOperationSource::userInstance(), path("b/.priority"), node("4")), ref, nullptr);
    EXPECT_FALSE(result.viewCache.cachedEventSnap().node()->hasChild("b"));
    // A deep server write where the server side is unknown is dropped.
    result = processor.applyOperationOn(emptyCache(false), FOverwrite(FOperationSource::serverInstance(), path("a/b/c"), node("1")),
                                        ref, nullptr);
    EXPECT_TRUE(result.changes.empty());
    EXPECT_TRUE(result.viewCache.cachedServerSnap().node()->isEmpty());
    // A server merge into an empty, uninitialized server side does nothing.
    result = processor.applyOperationOn(emptyCache(false), FMerge(FOperationSource::serverInstance(), FPath::empty(),
                                                                  FCompoundWrite::compoundWriteWithValueDictionary({{"a", 1}})),
                                        ref, nullptr);
    EXPECT_TRUE(result.viewCache.cachedServerSnap().node()->isEmpty());

    try {
        processor.applyOperationOn(cache, StrayOperation(), ref, nullptr);
        ADD_FAILURE();
    } catch (const ns::Exception& e) {
        EXPECT_EQ(e.name(), ns::kInternalInconsistencyException);
        EXPECT_EQ(e.reason(), "Unknown operation encountered 7.");
    }
}

TEST(Operations, NarrowedPerChild) {
    auto server = FOperationSource::serverInstance();
    EXPECT_EQ(FOperationSource::userInstance(), FOperationSource::userInstance());
    EXPECT_NE(FOperationSource::forServerTaggedQuery(nullptr), FOperationSource::forServerTaggedQuery(nullptr));

    FOverwrite overwrite(server, FPath::empty(), node(R"({"a":1})"));
    auto child = std::static_pointer_cast<const FOverwrite>(overwrite.operationForChild("b"));
    EXPECT_TRUE(child->snap()->isEmpty());

    FMerge merge(server, FPath::empty(), FCompoundWrite::compoundWriteWithValueDictionary({{"a/b", 1}, {"x", 2}}));
    auto mergeA = merge.operationForChild("a");
    ASSERT_EQ(mergeA->type(), FOperationTypeMerge);
    EXPECT_EQ(ns::json::serialize(static_cast<const FMerge&>(*mergeA).children().valForExport(true)), R"({"b":1})");
    EXPECT_EQ(merge.operationForChild("c"), nullptr);
    ASSERT_EQ(merge.operationForChild("x")->type(), FOperationTypeOverwrite);

    auto ack = std::make_shared<const FAckUserWrite>(FPath::empty(), FAffectedTree().setValue(true, FPath::empty()), true);
    EXPECT_EQ(ack->operationForChild("q"), ack);
    FAckUserWrite partial(FPath::empty(), FAffectedTree().setValue(true, path("a/x")), true);
    auto ackB = std::static_pointer_cast<const FAckUserWrite>(partial.operationForChild("b"));
    EXPECT_TRUE(ackB->affectedTree().isEmpty());
    EXPECT_TRUE(ackB->revert());
    EXPECT_EQ(partial.description(), "FAckUserWrite { path=/, revert=1, affectedTree={ /a/x } }");
    EXPECT_EQ(FListenComplete(server, path("a/b")).operationForChild("a")->path(), path("b"));
}

namespace {

// Records what the tracked-key calls are given.
class KeyRecorder final : public NullPersistence {
public:
    void setTrackedQueryKeys(const std::set<std::string>& keys, const FQuerySpec&) override {
        std::string line = "set";
        for (const auto& k : keys) line += " " + k;
        calls.push_back(line);
    }
    void updateTrackedQueryKeysWithAddedKeys(const std::set<std::string>& added, const std::set<std::string>& removed,
                                const FQuerySpec&) override {
        std::string line = "update";
        for (const auto& k : added) line += " +" + k;
        for (const auto& k : removed) line += " -" + k;
        calls.push_back(line);
    }
    Strings calls;
};

}  // namespace

TEST(SyncPoint, TrackedKeysAndRemovedQueries) {
    auto persistence = std::make_shared<KeyRecorder>();
    FSyncPoint syncPoint(persistence);
    auto writes = FWriteTree::make();
    FWriteTreeRef ref = writes->childWritesForPath(path("/s"));
    FQuerySpec limited(path("/s"), FQueryParams::defaultInstance()->orderBy(FKeyIndex::keyIndex())->limitToFirst(2));
    FQuerySpec all = FQuerySpec::defaultQueryAtPath(path("/s"));
    FCacheNode serverData(indexed(R"({"b":2,"c":3})"), true, false);
    auto value = RecordingRegistration::value("v");
    auto kids = RecordingRegistration::children("k");
    syncPoint.addEventRegistration(kids, limited, ref, serverData);
    syncPoint.addEventRegistration(value, all, ref,
                                                     FCacheNode(FIndexedNode::indexedNodeWithNode(node(R"({"b":2,"c":3})")), true, false));
    // Only the filtered view reports its keys; a change that only alters a
    // child's value reports nothing.
    EXPECT_EQ(persistence->calls, Strings{"set b c"});
    syncPoint.applyOperation(FOverwrite(FOperationSource::serverInstance(), path("b"), node("5")), ref, nullptr);
    syncPoint.applyOperation(FOverwrite(FOperationSource::serverInstance(), path("a"), node("1")), ref, nullptr);
    EXPECT_EQ(persistence->calls, (Strings{"set b c", "update +a -c"}));
    EXPECT_EQ(syncPoint.queryViews().size(), 1u);
    EXPECT_NE(syncPoint.completeView(), nullptr);

    // Removing the filtered view's only registration removes that query;
    // removing the default's removes the default query through the check
    // on complete views.
    FTupleRemovedQueriesEvents result = syncPoint.removeEventRegistration(kids, limited, nullptr);
    EXPECT_EQ(result.removedQueries, std::vector<FQuerySpec>{limited});
    result = syncPoint.removeEventRegistration(value, all, nullptr);
    EXPECT_EQ(result.removedQueries, std::vector<FQuerySpec>{all});
    EXPECT_TRUE(syncPoint.isEmpty());
}

namespace {

// A view of all data at /v holding `start` (nothing known when empty).
FView viewAt(const std::string& start) {
    const FIndexPtr& index = FPriorityIndex::priorityIndex();
    FCacheNode cache(indexed(start.empty() ? "{}" : start, index), !start.empty(), false);
    return FView(FQuerySpec::defaultQueryAtPath(path("/v")), FViewCache(cache, cache));
}

}  // namespace

// A view only value registrations watch gets no child changes, yet raises
// the value events, with the same values, of a view with child registrations.
TEST(View, ValueOnlyViewsRaiseTheSameValueEvents) {
    struct Case {
        std::string start, at, data;  // start empty: not loaded yet
        bool fromUser, valueEvent;
    };
    const std::vector<Case> cases = {
        {"", "", "{}", false, true},          {"", "", R"({"a":1})", false, true},
        {"{}", "", "{}", false, false},       {R"({"a":1})", "", R"({"a":1})", false, false},
        {R"({"a":1})", "", R"({"a":2})", false, true},
        {R"({"a":1,"b":2})", "", R"({"a":1})", false, true},
        {R"({"a":1})", "", "null", false, true},
        {R"({"a":1})", "", R"({"a":1,".priority":5})", false, true},
        {"5", "", "5", false, false},         {"5", "", "6", false, true},
        {"5", "", R"({"a":5})", false, true}, {R"({"a":5})", "", "5", false, true},
        {R"({"a":1})", "b", "2", false, true}, {R"({"a":1})", "", R"({"a":1})", true, false},
        {R"({"a":1})", "", R"({"b":1})", true, true}, {R"({"a":1})", "a", "null", true, true},
    };
    auto writes = FWriteTree::make();
    FWriteTreeRef ref = writes->childWritesForPath(path("/v"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.start + " <- " + c.at + " " + c.data);
        FOverwrite overwrite(c.fromUser ? FOperationSource::userInstance() : FOperationSource::serverInstance(),
                             c.at.empty() ? FPath::empty() : path(c.at), node(c.data));
        FView valueOnly = viewAt(c.start), both = viewAt(c.start);
        valueOnly.addEventRegistration(RecordingRegistration::value("v"));
        both.addEventRegistration(RecordingRegistration::value("v"));
        both.addEventRegistration(RecordingRegistration::children("c"));
        FEventList values = valueOnly.applyOperation(overwrite, ref, nullptr).events;
        FEventList all = both.applyOperation(overwrite, ref, nullptr).events;
        ASSERT_EQ(describe(values), c.valueEvent ? Strings{"v:value"} : Strings{});
        ASSERT_EQ(!all.empty() && describe(all).back() == "v:value", c.valueEvent);
        if (c.valueEvent) {
            EXPECT_EQ(ns::json::serialize(valueOf(values, 0)), ns::json::serialize(valueOf(all, all.size() - 1)));
        }
    }
}

// A child registration joining a view loaded for value events alone gets
// every child at once and each later child change.
TEST(View, ChildRegistrationAfterValueOnlyLoad) {
    auto writes = FWriteTree::make();
    FWriteTreeRef ref = writes->childWritesForPath(path("/v"));
    FView view = viewAt("");
    auto children = RecordingRegistration::children("c");
    view.addEventRegistration(RecordingRegistration::value("v"));
    auto serverSet = [&](const std::string& data) {
        FOverwrite overwrite(FOperationSource::serverInstance(), FPath::empty(), node(data));
        return describe(view.applyOperation(overwrite, ref, nullptr).events);
    };
    EXPECT_EQ(serverSet(R"({"a":1,"b":2})"), Strings{"v:value"});
    view.addEventRegistration(children);
    EXPECT_EQ(describe(view.initialEvents(children)), (Strings{"c:added a first", "c:added b after a"}));
    EXPECT_EQ(serverSet(R"({"b":3,"d":4})"),
              (Strings{"c:removed a", "c:added d after b", "c:changed b first", "v:value"}));
    EXPECT_EQ(serverSet(R"({"b":3,"d":4})"), Strings{});
}
