// Snapshots, mutable data, transaction results, the server-value placeholder
// and the data events and registrations, as values: no repository runs
// (references are made without one; nothing here reaches it).

#include <gtest/gtest.h>

#include "database/api/FEventRegistrations.h"
#include "database/api/QRVDataSnapshot.h"
#include "database/api/QRVDatabaseReference.h"
#include "database/api/QRVMutableData.h"
#include "database/api/QRVServerValue.h"
#include "database/api/QRVTransactionResult.h"
#include "database/model/FIndex.h"
#include "database/model/FSnapshotUtilities.h"
#include "platform/error.h"
#include "platform/json.h"

namespace {

ns::Value json(const char* text) { return ns::json::parse(text); }

QRVDataSnapshotPtr snapshotOf(const ns::Value& value, const std::string& path = "/items",
                              FIndexPtr index = nullptr) {
    FNodePtr node = FSnapshotUtilities::nodeFrom(value);
    return std::make_shared<QRVDataSnapshot>(
        std::make_shared<QRVDatabaseReference>(nullptr, FPath(path)),
        index ? FIndexedNode::indexedNodeWithNode(node, index) : FIndexedNode::indexedNodeWithNode(node));
}

std::vector<std::string> keysOf(const FEnumeratorPtr<QRVDataSnapshotPtr>& children) {
    std::vector<std::string> keys;
    for (const auto& child : children->allObjects()) keys.push_back(child->key().value_or("<root>"));
    return keys;
}

// The exception name a call raises, "" when it raises none.
template <class F>
std::string raisedName(F&& f) {
    try {
        f();
    } catch (const ns::Exception& e) {
        return e.name();
    }
    return "";
}

}  // namespace

TEST(DataSnapshot, EmptyLeafAndSparseArrayReadAsTheirPlainAndExportValues) {
    auto empty = snapshotOf(ns::Value());
    EXPECT_FALSE(empty->exists());
    EXPECT_TRUE(empty->value().isNull());
    EXPECT_EQ(empty->childrenCount(), 0u);
    EXPECT_FALSE(empty->hasChildren());
    EXPECT_TRUE(empty->children()->allObjects().empty());
    EXPECT_TRUE(empty->priority().isNull());

    auto leaf = snapshotOf(json(R"({".value": 5, ".priority": 1})"));
    EXPECT_EQ(leaf->value(), ns::Value(5));
    EXPECT_EQ(leaf->valueInExportFormat(), json(R"({".value": 5, ".priority": 1})"));
    EXPECT_EQ(leaf->priority(), ns::Value(1));
    EXPECT_FALSE(leaf->hasChildren());
    EXPECT_EQ(leaf->childrenCount(), 0u);

    auto sparse = snapshotOf(json(R"({"0": "a", "1": "b", "3": "d"})"));
    EXPECT_EQ(sparse->value(), json(R"(["a", "b", null, "d"])"));
    EXPECT_EQ(sparse->valueInExportFormat(), json(R"({"0": "a", "1": "b", "3": "d"})"));
    EXPECT_EQ(sparse->description(), "Snap (items) " + FSnapshotUtilities::nodeFrom(json(R"({"0": "a", "1": "b", "3": "d"})"))->description());
}

TEST(DataSnapshot, ChildrenFollowTheSnapshotsIndexAndChildSnapshotsOrderByPriority) {
    const ns::Value data = json(R"({
        "a": {"n": 3, "z": {".value": 1, ".priority": 2}, "y": {".value": 1, ".priority": 1}},
        "b": {"n": 1},
        "c": {"n": 2}})");
    auto byN = snapshotOf(data, "/items", FPathIndex::make(FPath("n")));
    EXPECT_EQ(keysOf(byN->children()), (std::vector<std::string>{"b", "c", "a"}));
    auto a = byN->childSnapshotForPath("a");
    EXPECT_EQ(a->ref()->path(), FPath("/items/a"));
    EXPECT_EQ(keysOf(a->children()), (std::vector<std::string>{"n", "y", "z"}));

    auto missing = byN->childSnapshotForPath("a/q");
    EXPECT_FALSE(missing->exists());
    EXPECT_EQ(missing->key(), "q");
    EXPECT_TRUE(byN->hasChild("b/n"));
    EXPECT_FALSE(byN->hasChild("b/m"));
}

TEST(DataSnapshot, InvalidChildPathsRaiseWithTheirTag) {
    auto snapshot = snapshotOf(json(R"({"a": 1})"));
    auto expectRefused = [](const std::string& bad, const char* tag, const std::function<void()>& call) {
        try {
            call();
            ADD_FAILURE() << tag << " accepted '" << bad << "'";
        } catch (const ns::Exception& e) {
            EXPECT_EQ(e.name(), "InvalidPathValidation");
            EXPECT_NE(e.reason().find(std::string("(") + tag + ")"), std::string::npos) << e.reason();
        }
    };
    for (const std::string bad : {"", "a.b", "a#", "$a", "[x", "x]"}) {
        expectRefused(bad, "hasChild:", [&] { snapshot->hasChild(bad); });
        expectRefused(bad, "child:", [&] { snapshot->childSnapshotForPath(bad); });
    }
}

TEST(MutableData, ObjectsOfOneHolderSeeEachOthersChanges) {
    auto top = std::make_shared<QRVMutableData>(FSnapshotUtilities::nodeFrom(json(R"({"a": {"b": 1}})")));
    EXPECT_EQ(top->parent(), nullptr);
    EXPECT_EQ(top->key(), std::nullopt);
    EXPECT_EQ(top->description().rfind("QRVMutableData (top-most transaction) (null) ", 0), 0u) << top->description();

    auto b = top->childDataByAppendingPath("a/b");
    auto before = top->nodeValue();
    b->setValue(ns::Value(2));
    EXPECT_EQ(top->value(), json(R"({"a": {"b": 2}})"));
    // Nodes handed out earlier keep their data.
    EXPECT_EQ(before->val(), json(R"({"a": {"b": 1}})"));

    // A child made before the top is replaced reads the new data.
    auto c = top->childDataByAppendingPath("a/c");
    top->setValue(json(R"({"a": {"c": "x"}})"));
    EXPECT_EQ(c->value(), ns::Value("x"));
    EXPECT_FALSE(b->hasChildAtPath(""));

    c->setPriority(ns::Value(4));
    EXPECT_EQ(c->priority(), ns::Value(4));
    EXPECT_EQ(top->value(), json(R"({"a": {"c": "x"}})"));
    EXPECT_EQ(c->parent()->key(), "a");
    EXPECT_EQ(c->description(), "QRVMutableData (c) x");

    c->setValue(ns::Value());
    EXPECT_TRUE(top->value().isNull());
}

TEST(MutableData, EqualityIsTheSameHolderAndPathAndChildrenComeInPriorityOrder) {
    auto top = std::make_shared<QRVMutableData>(
        FSnapshotUtilities::nodeFrom(json(R"({"x": {".value": 1, ".priority": 2}, "y": {".value": 1, ".priority": 1}})")));
    auto other = std::make_shared<QRVMutableData>(top->nodeValue());
    EXPECT_TRUE(top->childDataByAppendingPath("x")->isEqualToData(*top->childDataByAppendingPath("/x/")));
    EXPECT_FALSE(top->childDataByAppendingPath("x")->isEqualToData(*other->childDataByAppendingPath("x")));

    std::vector<std::string> keys;
    for (const auto& child : top->children()->allObjects()) keys.push_back(*child->key());
    EXPECT_EQ(keys, (std::vector<std::string>{"y", "x"}));
    EXPECT_EQ(top->childrenCount(), 2u);
    EXPECT_TRUE(top->hasChildren());

    EXPECT_EQ(raisedName([&] { top->setValue(json(R"({"a.b": 1})")); }), "InvalidQuorvaneData");
    EXPECT_EQ(top->childrenCount(), 2u);
}

TEST(TransactionResult, SuccessCarriesTheDataAndAbortCarriesNone) {
    auto data = std::make_shared<QRVMutableData>(FSnapshotUtilities::nodeFrom(ns::Value(1)));
    auto success = QRVTransactionResult::successWithValue(data);
    EXPECT_TRUE(success->isSuccess());
    EXPECT_EQ(success->update(), data);
    auto aborted = QRVTransactionResult::abort();
    EXPECT_FALSE(aborted->isSuccess());
    EXPECT_EQ(aborted->update(), nullptr);
}

TEST(ServerValue, TimestampIsOneSharedPlaceholder) {
    const ns::Value& first = QRVServerValue::timestamp();
    EXPECT_EQ(&first, &QRVServerValue::timestamp());
    EXPECT_EQ(first, ns::Value(ns::Dictionary{{".sv", ns::Value("timestamp")}}));
}

TEST(EventRegistrations, ChildRegistrationsAnswerOnlyTheirTypesAndMatchByHandle) {
    FChildEventRegistration::Callbacks callbacks{
        {QRVDataEventTypeChildAdded, [](QRVDataSnapshotPtr, std::optional<std::string>) {}},
        {QRVDataEventTypeChildChanged, [](QRVDataSnapshotPtr, std::optional<std::string>) {}}};
    auto child = std::make_shared<FChildEventRegistration>(nullptr, 7, callbacks, nullptr);
    EXPECT_TRUE(child->responseTo(QRVDataEventTypeChildAdded));
    EXPECT_TRUE(child->responseTo(QRVDataEventTypeChildChanged));
    for (auto type : {QRVDataEventTypeChildRemoved, QRVDataEventTypeChildMoved, QRVDataEventTypeValue}) {
        EXPECT_FALSE(child->responseTo(type)) << type;
    }
    auto noCallbacks = std::make_shared<FChildEventRegistration>(nullptr, 8, std::nullopt, nullptr);
    EXPECT_FALSE(noCallbacks->responseTo(QRVDataEventTypeChildAdded));

    auto value = std::make_shared<FValueEventRegistration>(nullptr, 7, nullptr, nullptr);
    auto all = std::make_shared<FValueEventRegistration>(nullptr, kFRegistrationHandleMatchAll, nullptr, nullptr);
    EXPECT_TRUE(child->matches(*value));
    EXPECT_FALSE(child->matches(*noCallbacks));
    EXPECT_TRUE(child->matches(*all));
    EXPECT_TRUE(value->matches(*all));
    EXPECT_FALSE(value->responseTo(QRVDataEventTypeChildAdded));
    EXPECT_TRUE(value->responseTo(QRVDataEventTypeValue));
    // The removal of everything leaves the keep-synced registration alone.
    const auto& keepSynced = FKeepSyncedEventRegistration::instance();
    EXPECT_FALSE(keepSynced->matches(*all));
    EXPECT_FALSE(all->matches(*keepSynced));
    // Without a cancel block nothing is made to cancel.
    EXPECT_EQ(value->createCancelEventFromError(nullptr, FPath("/x")), nullptr);
}

TEST(EventRegistrations, EventsCarryTheQueryPathTheChildKeyAndThePreviousSibling) {
    std::vector<std::string> seen;
    auto child = std::make_shared<FChildEventRegistration>(
        nullptr, 1,
        FChildEventRegistration::Callbacks{
            {QRVDataEventTypeChildAdded, [&](QRVDataSnapshotPtr snapshot, std::optional<std::string> prev) {
                 seen.push_back(*snapshot->key() + " after " + prev.value_or("nothing"));
             }}},
        [&](ns::ErrorRef error) { seen.push_back("cancel " + std::to_string(error->code())); });
    const FQuerySpec query = FQuerySpec::defaultQueryAtPath(FPath("/items"));
    FIndexedNodePtr node = FIndexedNode::indexedNodeWithNode(FSnapshotUtilities::nodeFrom(ns::Value(2)));

    FEventPtr added = child->createEventFrom(FChange(QRVDataEventTypeChildAdded, node, "b").changeWithPrevKey("a"), query);
    auto data = std::static_pointer_cast<FDataEvent>(added);
    EXPECT_EQ(data->path(), FPath("/items"));
    EXPECT_EQ(data->snapshot()->key(), "b");
    EXPECT_EQ(data->prevName(), "a");
    EXPECT_EQ(data->description(), "event 0, data: 2");

    FEventPtr first =
        child->createEventFrom(FChange(QRVDataEventTypeChildAdded, node, "a").changeWithPrevKey(std::nullopt), query);
    EXPECT_EQ(std::static_pointer_cast<FDataEvent>(first)->prevName(), std::nullopt);

    auto value = std::make_shared<FValueEventRegistration>(nullptr, 2, nullptr, nullptr);
    FEventPtr valueEvent = value->createEventFrom(FChange(QRVDataEventTypeValue, node), query);
    EXPECT_EQ(valueEvent->path(), FPath("/items"));

    // Firing hands the blocks to the queue, in order.
    auto queue = ns::DispatchQueue::serial("snapshot-test");
    added->fireEventOnQueue(queue);
    first->fireEventOnQueue(queue);
    FEventPtr cancel = child->createCancelEventFromError(ns::Error::make("com.quorvane", 1, "Permission Denied"),
                                                         FPath("/items"));
    ASSERT_NE(cancel, nullptr);
    EXPECT_EQ(cancel->description(), "/items: cancel");
    cancel->fireEventOnQueue(queue);
    queue->sync([] {});
    EXPECT_EQ(seen, (std::vector<std::string>{"b after a", "a after nothing", "cancel 1"}));
}
