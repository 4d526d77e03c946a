// Pending writes, server values with the sparse snapshot tree, and the
// event raiser.
#include <gtest/gtest.h>

#include <atomic>

#include "database/sync/FServerValues.h"
#include "database/sync/FWriteTree.h"
#include "platform/runloop.h"
#include "sync_test_support.h"

using namespace synctest;

namespace {

std::string json(const FNodePtr& n) { return n ? ns::json::serialize(n->valForExport(true)) : "(absent)"; }

FCompoundWrite writes(const ns::Dictionary& d) { return FCompoundWrite::compoundWriteWithValueDictionary(d); }

class FixedClock final : public FClock {
public:
    explicit FixedClock(double t) : t_(t) {}
    double currentTime() const override { return t_; }

private:
    double t_;
};

}  // namespace

TEST(WriteTree, RemovalAnswersWhetherViewsChange) {
    auto tree = FWriteTree::make();
    // A hidden set changes no answer and its removal changes nothing.
    tree->addOverwriteAtPath(path("/a"), node("1"), 1, false);
    FNodePtr server = node("0");
    EXPECT_EQ(tree->calculateCompleteEventCacheAtPath(path("/a"), server, std::nullopt, false), server);
    EXPECT_FALSE(tree->removeWriteId(1));

    // A write a newer visible write covers: NO, visible writes unchanged.
    tree->addOverwriteAtPath(path("/a/b"), node("1"), 2, true);
    tree->addOverwriteAtPath(path("/a"), node(R"({"b":2})"), 3, true);
    FCompoundWrite before = tree->visibleWrites();
    EXPECT_FALSE(tree->removeWriteId(2));
    EXPECT_TRUE(tree->visibleWrites().isEqual(before));
    // The only write left: YES, nothing visible any more.
    EXPECT_TRUE(tree->removeWriteId(3));
    EXPECT_TRUE(tree->visibleWrites().isEmpty());

    // An older write below, or a newer one strictly below: rebuilt from the
    // remaining visible records only.
    tree->addOverwriteAtPath(path("/x/y"), node("1"), 4, true);
    tree->addOverwriteAtPath(path("/x/h"), node("5"), 5, false);
    tree->addOverwriteAtPath(path("/x"), node(R"({"z":2})"), 6, true);
    tree->addOverwriteAtPath(path("/x/w"), node("3"), 7, true);
    EXPECT_TRUE(tree->removeWriteId(6));
    EXPECT_EQ(ns::json::serialize(tree->visibleWrites().valForExport(true)), R"({"x/w":3,"x/y":1})");
    std::vector<FWriteRecordPtr> all = tree->removeAllWrites();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0]->writeId(), 4);
    EXPECT_TRUE(tree->visibleWrites().isEmpty());
    EXPECT_EQ(tree->writeForId(4), nullptr);
}

TEST(WriteTree, Calculations) {
    auto tree = FWriteTree::make();
    // Nothing pending: the server node as it is, absent included.
    EXPECT_EQ(tree->calculateCompleteEventCacheAtPath(path("/p"), nullptr, std::nullopt, false), nullptr);

    // A deep update with no server data: nothing to tell in the common
    // case; applied to nothing once hidden writes are asked for.
    tree->addMergeAtPath(path("/p"), writes({{"q/r", 1}}), 1);
    EXPECT_EQ(tree->calculateCompleteEventCacheAtPath(path("/p"), nullptr, std::nullopt, false), nullptr);
    EXPECT_EQ(json(tree->calculateCompleteEventCacheAtPath(path("/p"), nullptr, std::nullopt, true)), R"({"q":{"r":1}})");
    EXPECT_EQ(json(tree->calculateCompleteEventCacheAtPath(path("/p"), nullptr, std::vector<int64_t>{1}, true)), "null");

    // Children under a visible set of a leaf: none.
    tree->addOverwriteAtPath(path("/leaf"), node("5"), 2, true);
    EXPECT_EQ(json(tree->calculateCompleteEventChildrenAtPath(path("/leaf"), node(R"({"a":1})"))), "null");
    // Server children with the writes below them, plus written children.
    EXPECT_EQ(json(tree->calculateCompleteEventChildrenAtPath(path("/p"), node(R"({".priority":3,"q":{"s":2},"t":1})"))),
              R"({"q":{"r":1,"s":2},"t":1})");

    // The next child after a post, in either direction; none past the end.
    FNodePtr data = node(R"({"a":3,"b":1,"c":2})");
    FNamedNode post{"b", node("1")};
    auto next = tree->calculateNextNodeAfterPost(post, path("/none"), data, false, FValueIndex::valueIndex());
    EXPECT_EQ(next->name, "c");
    EXPECT_FALSE(tree->calculateNextNodeAfterPost(post, path("/none"), data, true, FValueIndex::valueIndex()));
    // Through the data's own order, the same answers.
    FIndexedNodePtr ordered = FIndexedNode::indexedNodeWithNode(data, FValueIndex::valueIndex());
    EXPECT_EQ(tree->calculateNextNodeAfterPost(post, path("/none"), data, false, FValueIndex::valueIndex(), ordered)->name, "c");
    EXPECT_EQ(tree->calculateNextNodeAfterPost(FNamedNode{"a", node("3")}, path("/none"), data, true,
                                               FValueIndex::valueIndex(), ordered)->name,
              "c");
    EXPECT_FALSE(tree->calculateNextNodeAfterPost(FNamedNode{"a", node("3")}, path("/none"), data, false,
                                                  FValueIndex::valueIndex(), ordered));

    // Covering: an update at a with b and c/d covers a/c/d/e, not a.
    FWriteRecord update(path("/a"), std::optional<FCompoundWrite>(writes({{"b", 1}, {"c/d", 2}})), 9);
    EXPECT_TRUE(FWriteTree::record(update, path("/a/c/d/e")));
    EXPECT_FALSE(FWriteTree::record(update, path("/a")));
    // Layering below an update at the root that sets a.
    std::vector<FWriteRecordPtr> records = {std::make_shared<const FWriteRecord>(
        FPath::empty(), std::optional<FCompoundWrite>(writes({{"a", ns::Dictionary{{"b", 7}}}})), 1)};
    EXPECT_EQ(json(FWriteTree::layerTreeFromWrites(records, FWriteTree::defaultFilter(), path("/a/b")).rootWrite()), "7");

    try {
        FWriteRecord bad(path("/a"), FNodePtr(), 1, true);
        ADD_FAILURE();
    } catch (const ns::Exception& e) {
        EXPECT_EQ(e.reason(), "Can't pass nil as overwrite parameter to an overwrite write record");
    }
    EXPECT_THROW(FWriteRecord(path("/a"), std::optional<FCompoundWrite>(), 1), ns::Exception);
    EXPECT_THROW(update.overwrite(), ns::Exception);
    EXPECT_EQ(update.description(), R"(FWriteRecord { writeId = 9, path = /a, merge = )" + update.compoundWrite().description() + " }");
}

TEST(ServerValues, ResolveAndSparseTree) {
    ns::Dictionary values = FServerValues::generateServerValues(FixedClock(1.5));
    EXPECT_EQ(values.at("timestamp"), ns::Value(int64_t(1500)));
    FNodePtr plain = node(R"({"a":{"b":1}})");
    EXPECT_EQ(FServerValues::resolveDeferredValueSnapshot(plain, values), plain);
    FCompoundWrite plainWrite = writes({{"x", 1}});
    EXPECT_TRUE(FServerValues::resolveDeferredValueCompoundWrite(plainWrite, values).isEqual(plainWrite));
    // In values and priorities alike; unknown names stay as they are.
    FNodePtr deferred = FSnapshotUtilities::nodeFrom(
        ns::Dictionary{{"t", ns::Dictionary{{".sv", "timestamp"}}}, {"u", ns::Dictionary{{".sv", "other"}}},
                       {"p", ns::Dictionary{{".value", 1}, {".priority", ns::Dictionary{{".sv", "timestamp"}}}}}});
    EXPECT_EQ(json(FServerValues::resolveDeferredValueSnapshot(deferred, values)),
              R"({"p":{".priority":1500,".value":1},"t":1500,"u":{".sv":"other"}})");

    FSparseSnapshotTree tree;
    EXPECT_TRUE(tree.forgetPath(path("/any")));
    tree.rememberData(node("1"), path("/a/b"));
    tree.rememberData(node(R"({"b":2,"c":3})"), path("/a"));
    EXPECT_EQ(json(tree.findPath(path("/a/c"))), "3");
    EXPECT_FALSE(tree.forgetPath(path("/a/b")));
    EXPECT_EQ(tree.findPath(path("/a/b")), nullptr);
    EXPECT_EQ(json(tree.findPath(path("/a/c"))), "3");
    EXPECT_TRUE(tree.forgetPath(path("/a/c")));

    FSparseSnapshotTree leaf;
    leaf.rememberData(node("5"), path("/a"));
    EXPECT_FALSE(leaf.forgetPath(path("/a/b")));
    EXPECT_EQ(json(leaf.findPath(path("/a"))), "5");

    FSparseSnapshotTree placeholders;
    placeholders.rememberData(deferred, path("/d"));
    placeholders.rememberData(node("2"), path("/e/f"));
    auto resolved = FServerValues::resolveDeferredValueTree(placeholders, values);
    std::vector<std::string> seen;
    resolved->forEachTreeAtPath(path("/root"), [&](const FPath& p, const FNodePtr& n) {
        seen.push_back(p.toString() + "=" + json(n));
    });
    EXPECT_EQ(seen, (std::vector<std::string>{R"(/root/d={"p":{".priority":1500,".value":1},"t":1500,"u":{".sv":"other"}})",
                                              "/root/e/f=2"}));

    FSnapshotHolder holder;
    holder.updateSnapshot(path("/info/connected"), node("true"));
    EXPECT_EQ(json(holder.getNode(path("/info"))), R"({"connected":true})");
}

TEST(EventRaiser, OneBlockPerEventInOrder) {
    EXPECT_THROW(FEventRaiser(), ns::Exception);
    auto queue = ns::DispatchQueue::serial("raiser-test");
    FEventRaiser raiser(queue);
    auto registration = RecordingRegistration::value("v");
    FIndexedNodePtr data = FIndexedNode::indexedNodeWithNode(node("1"));
    FEventList events;
    for (int i = 0; i < 3; ++i) {
        events.push_back(registration->createEventFrom(FChange(QRVDataEventTypeValue, data), FQuerySpec::defaultQueryAtPath(path("/r"))));
    }
    raiser.raiseEvents(events);
    EXPECT_EQ(registration->fired, (std::vector<std::string>(3, "v:value")));

    std::vector<int> order;
    raiser.raiseCallbacks({[&] { order.push_back(1); }, [&] { order.push_back(2); }});
    raiser.raiseCallbacks({});
    queue->sync([] {});
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

// An event that notes itself on the queue it is fired on.
class NotingEvent : public FEvent {
public:
    NotingEvent(std::vector<std::string>& notes, std::string name) : notes_(notes), name_(std::move(name)) {}
    FPath path() const override { return FPath(); }
    void fireEventOnQueue(const ns::DispatchQueuePtr& queue) override {
        queue->async([&notes = notes_, name = name_] { notes.push_back(name); });
    }
    bool isCancelEvent() const override { return false; }

private:
    std::vector<std::string>& notes_;
    std::string name_;
};

TEST(EventRaiser, HeldCallbacksKeepTheirPlaceAmongEventsAndOutliveTheRaiser) {
    // Each case: what is raised in one turn of the work queue, "e..." an
    // event and anything else a callback.
    const std::vector<std::vector<std::string>> cases = {
        {"a", "b", "c"},
        {"a", "e1", "b", "c", "e2", "e3", "d"},
        {"e1", "a"},
    };
    for (const auto& raised : cases) {
        auto queue = ns::DispatchQueue::serial("raiser-callbacks");
        auto work = ns::DispatchQueue::serial("raiser-work");
        std::vector<std::string> notes;
        work->sync([&] {
            FEventRaiser raiser(queue, work);
            for (const std::string& name : raised) {
                if (name[0] == 'e') {
                    raiser.raiseEvents({std::make_shared<NotingEvent>(notes, name)});
                } else {
                    raiser.raiseCallback([&notes, name] { notes.push_back(name); });
                }
            }
        });
        work->sync([] {});
        queue->sync([] {});
        EXPECT_EQ(notes, raised);
    }
}
