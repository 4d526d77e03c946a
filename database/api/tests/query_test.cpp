// Queries, references and observers against the local back end: every
// misuse raises on the caller's thread before anything reaches the worker
// queue; the queries the app's search makes give exactly their window of
// products in order; one-shot reads end their registration and listen;
// keep-synced queries stay listened.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <thread>
#include <vector>

#include "core/QRVLogger.h"
#include "database/api/QRVMutableData.h"
#include "database/api/QRVTransactionResult.h"
#include "database/model/FIndexedNode.h"
#include "database/model/FSnapshotUtilities.h"
#include "platform/error.h"
#include "platform/system_log.h"
#include "public_api_test_support.h"

namespace {

using namespace apitest;

struct Raised {
    std::string name;
    std::string reason;
};

std::optional<Raised> raisedBy(const std::function<void()>& f) {
    try {
        f();
    } catch (const ns::Exception& e) {
        return Raised{e.name(), e.reason()};
    }
    return std::nullopt;
}

// One misuse: what it does, and the exception it must raise. A reason
// ending in "..." is matched as a prefix (the rest names a path or a type).
struct MisuseCase {
    std::string what;
    std::function<void()> call;
    std::string name;
    std::string reason;
};

bool reasonMatches(const std::string& expected, const std::string& actual) {
    const std::string ellipsis = "...";
    if (expected.size() > ellipsis.size() && expected.compare(expected.size() - 3, 3, ellipsis) == 0) {
        return actual.rfind(expected.substr(0, expected.size() - 3), 0) == 0;
    }
    return actual == expected;
}

std::vector<std::string> keysOf(const QRVDataSnapshotPtr& snapshot) {
    std::vector<std::string> keys;
    for (const auto& child : snapshot->children()->allObjects()) keys.push_back(child->key().value_or("?"));
    return keys;
}

// The paths the back end listens to for the namespace's connections.
std::vector<std::string> serverListens(const ns::testing::Backend& backend, const std::string& ns) {
    auto reply = backend.get("/__admin/rtdb/connections?ns=" + ns);
    std::vector<std::string> out;
    if (reply.status != 200) return out;
    const json connections = json::parse(reply.body)["connections"];
    for (const auto& connection : connections) {
        for (const auto& listen : connection["listens"]) out.push_back(listen["path"].get<std::string>());
    }
    return out;
}

bool listensTo(const ns::testing::Backend& backend, const std::string& ns, const std::string& path) {
    for (const auto& p : serverListens(backend, ns)) {
        if (p == path) return true;
    }
    return false;
}

const char kPathReason[] = "Must be a non-empty string and not contain '.' '#' '$' '[' or ']'";

std::string pathReason(const std::string& tag) { return "(" + tag + ") " + kPathReason; }

std::string infoReason(const std::string& tag, const std::string& path) {
    return "(" + tag + ") failed to path " + path + ": Can't modify data under .info";
}

class QueryTest : public PublicApiTest {
protected:
    void SetUp() override {
        PublicApiTest::SetUp();
        if (HasFatalFailure()) return;
        database_ = configureDefaultDatabase();
        root_ = database_->reference();
    }

    // Waits for the answer to a write sent now: the server answers in order,
    // so every answer to what was sent before has been handled too.
    void serverBarrier() {
        auto done = std::make_shared<std::atomic<bool>>(false);
        root_->child("Pruebas/barrera")->setValue(true, [done](ns::ErrorRef, QRVDatabaseReferencePtr) { *done = true; });
        ASSERT_TRUE(pumpUntil([&] { return done->load(); }));
    }

    std::shared_ptr<QRVDatabase> database_;
    QRVDatabaseReferencePtr root_;
};

TEST_F(QueryTest, EveryMisuseRaisesOnTheCallersThreadBeforeAnythingIsQueued) {
    // Everything the failed calls could have written lands under this
    // location, which a value observer watches from the start.
    auto area = root_->child("Validacion");
    auto info = root_->child(".info/connected");
    std::mutex mutex;
    std::vector<ns::Value> seen;
    area->observeEventType(QRVDataEventTypeValue, [&](QRVDataSnapshotPtr snapshot) {
        std::lock_guard lock(mutex);
        seen.push_back(snapshot->value());
    });
    ASSERT_TRUE(pumpUntil([&] {
        std::lock_guard lock(mutex);
        return !seen.empty();
    }));
    auto query = area->queryOrderedByChild("qParte");
    auto snapshot = std::make_shared<QRVDataSnapshot>(
        area, FIndexedNode::indexedNodeWithNode(FSnapshotUtilities::nodeFrom(ns::Dictionary{{"a", 1}})));
    auto mutableData = std::make_shared<QRVMutableData>(FSnapshotUtilities::nodeFrom(ns::Dictionary{{"a", 1}}));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    auto noop = [](ns::ErrorRef, QRVDatabaseReferencePtr) {};
    auto update = [](std::shared_ptr<QRVMutableData> data) { return QRVTransactionResult::successWithValue(data); };
    const std::string q = kInvalidQueryParameter;
    const std::string key = "Can't use queryStartingAtValue: with other types than string in combination with ";

    const std::vector<MisuseCase> cases = {
        // Queries.
        {"limit zero", [&] { area->queryLimitedToFirst(0); }, q, "Limit can't be zero"},
        {"limit last zero", [&] { area->queryLimitedToLast(0); }, q, "Limit can't be zero"},
        {"limit too large", [&] { area->queryLimitedToFirst(2147483648ULL); }, q,
         "Limit must be less than 2,147,483,648"},
        {"second limit first", [&] { area->queryLimitedToLast(3)->queryLimitedToFirst(1); }, q,
         "Can't call queryLimitedToFirst: if a limit was previously set"},
        {"second limit last", [&] { area->queryLimitedToFirst(3)->queryLimitedToLast(1); }, q,
         "Can't call queryLimitedToLast: if a limit was previously set"},
        {"order by slashes", [&] { area->queryOrderedByChild("/"); }, q,
         "(queryOrderedByChild:) with an empty path is invalid.  Use queryOrderedByValue: instead."},
        {"order by dotted child", [&] { area->queryOrderedByChild("a.b"); }, "InvalidPathValidation",
         pathReason("queryOrderedByChild:")},
        {"order by $key", [&] { area->queryOrderedByChild("$key"); }, q,
         "(queryOrderedByChild:) $key is invalid.  Use queryOrderedByKey: instead."},
        {"order by .priority", [&] { area->queryOrderedByChild(".priority"); }, q,
         "(queryOrderedByChild:) .priority is invalid.  Use queryOrderedByPriority: instead."},
        {"order by .value after an order", [&] { area->queryOrderedByKey()->queryOrderedByChild(".value"); }, q,
         "(queryOrderedByChild:) .value is invalid.  Use queryOrderedByValue: instead."},
        {"two orders", [&] { query->queryOrderedByValue(); }, q, "Cannot use multiple queryOrderedBy calls!"},
        {"two orders by child", [&] { area->queryOrderedByPriority()->queryOrderedByChild("x"); }, q,
         "Cannot use multiple queryOrderedBy calls!"},
        {"start twice", [&] { query->queryStartingAtValue("A")->queryStartingAtValue("B"); }, q,
         "Can't call queryStartingAtValue: after queryStartingAtValue or queryEqualToValue was previously called"},
        {"end twice", [&] { query->queryEqualToValue("A")->queryEndingAtValue("B", "k"); }, q,
         "Can't call queryEndingAtValue:childKey: after queryEndingAtValue or queryEqualToValue was previously "
         "called"},
        {"equal after start", [&] { query->queryStartingAtValue(1)->queryEqualToValue(1); }, q,
         "Can't call queryEqualToValue: after queryStartingAtValue, queryEndingAtValue or queryEqualToValue was "
         "previously called"},
        {"array bound", [&] { query->queryStartingAtValue(ns::Array{ns::Value(1)}); }, q,
         "You can only pass nil, NSString or NSNumber to queryStartingAtValue:"},
        {"dictionary bound", [&] { query->queryEqualToValue(ns::Dictionary{{"a", 1}}, "k"); }, q,
         "You can only pass nil, NSString or NSNumber to queryEqualToValue:childKey:"},
        {"bad child key", [&] { query->queryStartingAtValue(1, "a/b"); }, "InvalidKeyValidation",
         "(queryStartingAtValue:childKey:) Must be a non-empty string and not contain '/' '.' '#' '$' '[' or ']'"},
        {"key order number start", [&] { area->queryOrderedByKey()->queryStartingAtValue(1); }, q,
         key + "queryOrderedByKey"},
        {"key order boolean end", [&] { area->queryOrderedByKey()->queryEndingAtValue(true); }, q,
         "Can't use queryEndingAtValue: with other types than string in combination with queryOrderedByKey"},
        {"key order start with key", [&] { area->queryOrderedByKey()->queryStartingAtValue("a", "k"); }, q,
         "You must use queryStartingAtValue: instead of queryStartingAtValue:childKey: when using "
         "queryOrderedByKey:"},
        {"key order end with key", [&] { area->queryOrderedByKey()->queryEndingAtValue("a", "k"); }, q,
         "You must use queryEndingAtValue: instead of queryEndingAtValue:childKey: when using queryOrderedByKey:"},
        {"key order equal with key", [&] { area->queryOrderedByKey()->queryEqualToValue("a", "k"); }, q,
         "You must use queryEqualToValue: instead of queryEqualTo:childKey: when using queryOrderedByKey:"},
        {"number start before key order", [&] { area->queryStartingAtValue(1)->queryOrderedByKey(); }, q,
         key + "queryOrderedByKey"},
        {"keyed start before key order", [&] { area->queryStartingAtValue("a", "k")->queryOrderedByKey(); }, q,
         "Can't use queryStartingAtValue:childKey: or queryEqualTo:andChildKey: in combination with "
         "queryOrderedByKey"},
        {"keyed end before key order", [&] { area->queryEndingAtValue("a", "k")->queryOrderedByKey(); }, q,
         "Can't use queryEndingAtValue:childKey: or queryEqualToValue:childKey: in combination with "
         "queryOrderedByKey"},
        {"boolean bound after priority order", [&] { area->queryOrderedByPriority()->queryStartingAtValue(false); },
         q,
         "When using queryOrderedByPriority, values provided to queryStartingAtValue:, queryEndingAtValue:, or "
         "queryEqualToValue: must be valid priorities."},
        {"three constraints",
         [&] {
             auto params = FQueryParams::defaultInstance()->limitTo(5)->startAt(FSnapshotUtilities::nodeFrom(1))->endAt(
                 FSnapshotUtilities::nodeFrom(2));
             QRVDatabaseQuery(area->repo(), area->path(), params, false, false);
         },
         "InvalidArgumentError", "Queries are limited to two constraints"},
        // Observers.
        {"unknown event type", [&] { area->observeEventType(QRVDataEventType(5), [](QRVDataSnapshotPtr) {}); },
         "KnownEventTypeValidation", "(observeEventType:withBlock:) Unknown event type: 5"},
        {"negative event type",
         [&] {
             area->observeEventType(QRVDataEventType(-1),
                                    [](QRVDataSnapshotPtr, std::optional<std::string>) {});
         },
         "KnownEventTypeValidation", "(observeEventType:andPreviousSiblingKeyWithBlock:) Unknown event type: -1"},
        {"unknown event type with cancel",
         [&] { area->observeEventType(QRVDataEventType(7), [](QRVDataSnapshotPtr) {}, [](ns::ErrorRef) {}); },
         "KnownEventTypeValidation", "(observeEventType:withBlock:withCancelBlock:) Unknown event type: 7"},
        {"unknown single event type",
         [&] { area->observeSingleEventOfType(QRVDataEventType(9), [](QRVDataSnapshotPtr) {}); },
         "KnownEventTypeValidation",
         "(observeEventType:andPreviousSiblingKeyWithBlock:withCancelBlock:) Unknown event type: 9"},
        {"previous-sibling block missing",
         [&] { area->observeEventType(QRVDataEventTypeChildAdded, QRVDataSnapshotPrevKeyBlock{}); },
         ns::kInvalidArgumentException, "attempt to insert nil object from objects[0]"},
        {"single read without block",
         [&] { area->observeSingleEventOfType(QRVDataEventTypeValue, QRVDataSnapshotBlock{}); },
         ns::kInvalidArgumentException, "attempt to insert nil object from objects[0]"},
        {"keep .info synced", [&] { info->keepSynced(true); }, ns::kInvalidArgumentException,
         "Can't keep query on .info tree synced (this already is the case)."},
        // References.
        {"dotted child at the root", [&] { root_->child("a.b"); }, "InvalidPathValidation", pathReason("child:")},
        {"empty child", [&] { area->child(""); }, "InvalidPathValidation", pathReason("child:")},
        {".info below the root", [&] { area->child(".info"); }, "InvalidPathValidation", pathReason("child:")},
        {"bracket child", [&] { area->childByAppendingPath("x/[0]"); }, "InvalidPathValidation",
         pathReason("child:")},
        {"set under .info", [&] { info->setValue(true); }, "WritablePathValidation",
         infoReason("setValue:", "/.info/connected")},
        {"remove under .info", [&] { info->removeValue(); }, "WritablePathValidation",
         infoReason("removeValue:", "/.info/connected")},
        {"remove under .info with block", [&] { info->removeValue(noop); }, "WritablePathValidation",
         infoReason("removeValueWithCompletionBlock:", "/.info/connected")},
        {"update under .info", [&] { info->parent()->updateChildValues({{"a", 1}}); }, "WritablePathValidation",
         infoReason("updateChildValues:", "/.info")},
        {"priority under .info", [&] { info->setPriority(1); }, "WritablePathValidation",
         infoReason("setPriority:", "/.info/connected")},
        {"push under .info", [&] { info->childByAutoId(); }, "WritablePathValidation",
         infoReason("childByAutoId:", "/.info/connected")},
        {"transaction under .info", [&] { info->runTransactionBlock(update); }, "WritablePathValidation",
         infoReason("runTransactionBlock:", "/.info/connected")},
        {"transaction with completion under .info",
         [&] { info->runTransactionBlock(update, [](ns::ErrorRef, bool, QRVDataSnapshotPtr) {}); },
         "WritablePathValidation", infoReason("runTransactionBlock:andCompletionBlock:", "/.info/connected")},
        {"disconnect set under .info", [&] { info->onDisconnectSetValue(1); }, "WritablePathValidation",
         infoReason("onDisconnectSetValue:", "/.info/connected")},
        {"disconnect remove under .info", [&] { info->onDisconnectRemoveValue(); }, "WritablePathValidation",
         infoReason("onDisconnectRemoveValue:", "/.info/connected")},
        {"data that cannot be stored", [&] { area->setValue(ns::Data{1, 2}); }, "InvalidQuorvaneData",
         "(setValue:) Cannot store object of type ..."},
        {"NaN", [&] { area->child("n")->setValue(nan, noop); }, "InvalidQuorvaneData",
         "(setValue:withCompletionBlock:) Cannot store NaN at path: ..."},
        {"bad key in value", [&] { area->setValue(ns::Dictionary{{"a.b", 1}}); }, "InvalidQuorvaneData",
         "(setValue:) Invalid key in object at path: ..."},
        {"bad .value", [&] { area->setValue(ns::Dictionary{{".value", ns::Array{}}}); }, "InvalidLeafValueType",
         "(setValue:) Invalid data type used with .value. ..."},
        {"boolean priority", [&] { area->setValue(1, true); }, "InvalidQuorvaneData",
         "(setValue:andPriority:) Cannot store true/false as priority at path: ..."},
        {"dictionary priority with block", [&] { area->setValue(1, ns::Dictionary{{"a", 1}}, noop); },
         "InvalidQuorvaneData", "(setValue:andPriority:withCompletionBlock:) Cannot store an NSDictionary as ..."},
        {"set priority boolean", [&] { area->setPriority(false); }, "InvalidQuorvaneData",
         "(setPriority:) Cannot store true/false as priority at path: ..."},
        {"set priority NaN", [&] { area->setPriority(nan); }, "InvalidQuorvaneData",
         "(setPriority:) Cannot store NaN as priority at path: ..."},
        {"set priority array", [&] { area->setPriority(ns::Array{ns::Value(1)}, noop); }, "InvalidQuorvaneData",
         "(setPriority:withCompletionBlock:) Cannot store an NSArray as priority at path: ..."},
        {"set priority dictionary", [&] { area->setPriority(ns::Dictionary{{"a", 1}}); }, "InvalidQuorvaneData",
         "(setPriority:) Cannot store an NSDictionary as priority at path: ..."},
        {"update with ancestor", [&] { area->updateChildValues({{"a", 1}, {"a/b", 2}}); }, "InvalidQuorvaneData",
         "(updateChildValues:) Invalid path in object. Path (/a) is an ancestor of (/a/b)."},
        {"update with bad key", [&] { area->updateChildValues({{"a#", 1}}, noop); }, "InvalidQuorvaneData",
         "(updateChildValues:withCompletionBlock:) Invalid key in object. Keys must be non-empty and cannot "
         "contain '.' '#' '$' '[' or ']'"},
        {"disconnect update with bad key", [&] { area->onDisconnectUpdateChildValues({{"$x", 1}}); },
         "InvalidQuorvaneData", "(onDisconnectUpdateChildValues:) Invalid key in object. ..."},
        {"disconnect set NaN", [&] { area->onDisconnectSetValue(nan, 1, noop); }, "InvalidQuorvaneData",
         "(onDisconnectSetValue:andPriority:withCompletionBlock:) Cannot store NaN at path: ..."},
        {"reference from a bad URL", [&] { QRVDatabaseReference("http://localhost/x"); },
         "No Quorvane database specified.", "No Quorvane database found for input: http://localhost/x"},
        // Snapshots and mutable data.
        {"snapshot hasChild", [&] { snapshot->hasChild("a.b"); }, "InvalidPathValidation", pathReason("hasChild:")},
        {"snapshot child", [&] { snapshot->childSnapshotForPath(""); }, "InvalidPathValidation",
         pathReason("child:")},
        {"mutable data NaN", [&] { mutableData->childDataByAppendingPath("a")->setValue(nan); },
         "InvalidQuorvaneData", "(setValue:) Cannot store NaN at path: ..."},
        {"mutable data bad .value",
         [&] { mutableData->setValue(ns::Dictionary{{".value", ns::Dictionary{{"x", 1}}}}); },
         "InvalidLeafValueType", "(setValue:) Invalid data type used with .value. ..."},
    };

    const auto caller = std::this_thread::get_id();
    for (const auto& c : cases) {
        std::optional<Raised> raised = raisedBy(c.call);
        ASSERT_TRUE(raised.has_value()) << c.what << ": nothing raised";
        EXPECT_EQ(raised->name, c.name) << c.what;
        EXPECT_TRUE(reasonMatches(c.reason, raised->reason)) << c.what << ": " << raised->reason;
        EXPECT_EQ(std::this_thread::get_id(), caller);
    }
    EXPECT_TRUE(mutableData->value() == ns::Value(ns::Dictionary{{"a", 1}}));

    // Nothing reached the worker queue: a last valid write is the only
    // change the observer sees, and the server holds only it.
    auto done = std::make_shared<std::optional<ns::ErrorRef>>();
    area->child("fin")->setValue(true, [done](ns::ErrorRef error, QRVDatabaseReferencePtr) { *done = error; });
    ASSERT_TRUE(pumpUntil([&] { return done->has_value(); }));
    EXPECT_FALSE(**done);
    drainQueues();
    std::lock_guard lock(mutex);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(seen[0].isNull()) << seen[0].description();
    EXPECT_EQ(seen[1], ns::Value(ns::Dictionary{{"fin", true}}));
    EXPECT_EQ(serverData("/Validacion"), json({{"fin", true}}));
    EXPECT_EQ(serverListens(*backend_, kSampleNamespace), std::vector<std::string>{"/Validacion"});
}

TEST_F(QueryTest, BuildersAcceptWhatTheyShould) {
    auto products = root_->child("Productos");
    EXPECT_EQ(products->queryLimitedToFirst(2147483647)->queryParams()->limit(), 2147483647);
    // A bound set before ordering by priority is not checked again.
    auto byPriority = products->queryStartingAtValue(true)->queryOrderedByPriority();
    EXPECT_TRUE(byPriority->orderByCalled());
    EXPECT_NO_THROW(products->queryOrderedByKey()->queryStartingAtValue("7501")->queryEndingAtValue("7502"));
    auto deep = products->queryOrderedByChild("/precios//lista/");
    EXPECT_EQ(deep->queryParams()->index()->queryDefinition(), "precios/lista");
    auto equal = products->queryOrderedByChild("qParte")->queryEqualToValue("LAC-0101", "7501031311309");
    EXPECT_EQ(equal->queryParams()->indexStartKey(), "7501031311309");
    EXPECT_EQ(equal->queryParams()->indexEndKey(), "7501031311309");
    EXPECT_EQ(equal->path(), products->path());
    // A builder's result is a plain query; ref drops the constraints.
    EXPECT_EQ(equal->className(), "QRVDatabaseQuery");
    EXPECT_TRUE(equal->ref()->queryParams()->isDefault());
    EXPECT_EQ(equal->ref()->path(), products->path());
    EXPECT_EQ(products->queryParams(), FQueryParams::defaultInstance());

    // Navigation.
    EXPECT_EQ(root_->key(), std::nullopt);
    EXPECT_EQ(root_->parent(), nullptr);
    auto item = root_->child("Productos/7501031311309");
    EXPECT_EQ(item->key(), "7501031311309");
    EXPECT_EQ(item->parent()->path().toString(), "/Productos");
    EXPECT_TRUE(item->root()->path().isEmpty());
    EXPECT_EQ(root_->child(".info/connected")->path().toString(), "/.info/connected");
    EXPECT_EQ(root_->child("Tiendas")->child("T 01 ñ")->URL(), root_->URL() + "/Tiendas/T%2001%20%C3%B1");
    EXPECT_EQ(item->description(), item->URL());
    EXPECT_NO_THROW(root_->child(".info")->cancelDisconnectOperations());

    // Push keys sort in creation order and share the time prefix.
    auto first = products->childByAutoId()->key().value();
    auto second = products->childByAutoId()->key().value();
    ASSERT_EQ(first.size(), 20u);
    EXPECT_LT(first, second);
}

TEST_F(QueryTest, PartNumberSearchGivesExactlyTheWindowInOrder) {
    auto capture = ns::SystemLog::capture();
    // The search screen's query: ordered by part number, from the text to
    // the end of what starts with it, at most 25.
    auto search = [&] {
        return root_->child("Productos")
            ->queryOrderedByChild("qParte")
            ->queryStartingAtValue("LAC-01")
            ->queryEndingAtValue("LAC-01\xef\xa3\xbf")
            ->queryLimitedToFirst(25);
    };
    auto result = readOnce(search());
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->onMainThread);
    EXPECT_TRUE(result->snapshot->hasChildren());
    EXPECT_EQ(keysOf(result->snapshot),
              (std::vector<std::string>{"7501031311309", "7501031311316", "7501031311323"}));

    // Child-added events come in the query's order, each with the key before it.
    std::vector<std::pair<std::string, std::optional<std::string>>> added;
    search()->observeEventType(QRVDataEventTypeChildAdded,
                               [&](QRVDataSnapshotPtr snapshot, std::optional<std::string> prevKey) {
                                   added.emplace_back(snapshot->key().value_or("?"), prevKey);
                               });
    ASSERT_TRUE(pumpUntil([&] { return added.size() == 3; }));
    EXPECT_EQ(added[0], std::make_pair(std::string("7501031311309"), std::optional<std::string>()));
    EXPECT_EQ(added[1], std::make_pair(std::string("7501031311316"), std::optional<std::string>("7501031311309")));
    EXPECT_EQ(added[2], std::make_pair(std::string("7501031311323"), std::optional<std::string>("7501031311316")));

    // A product entering the window later is added in its place.
    setServerData("/Productos/7501031399999", {{"Descrip", "Leche de coco 400 ml"}, {"qParte", "LAC-0105"}});
    ASSERT_TRUE(pumpUntil([&] { return added.size() == 4; }));
    EXPECT_EQ(added[3], std::make_pair(std::string("7501031399999"), std::optional<std::string>("7501031311316")));

    // A limit keeps the first ones of the range.
    auto firstTwo = readOnce(root_->child("Productos")->queryOrderedByChild("qParte")->queryStartingAtValue("LAC")
                                 ->queryLimitedToFirst(2));
    ASSERT_TRUE(firstTwo.has_value());
    EXPECT_EQ(keysOf(firstTwo->snapshot), (std::vector<std::string>{"7501031311309", "7501031311316"}));

    // Nothing matches: a snapshot without children.
    auto none = readOnce(root_->child("Productos")->queryOrderedByChild("qParte")->queryStartingAtValue("ZZZ")
                             ->queryLimitedToFirst(25));
    ASSERT_TRUE(none.has_value());
    EXPECT_FALSE(none->snapshot->hasChildren());

    // The sample rules index "qParte": no warning about an unspecified index.
    serverBarrier();
    QRVLoggerFlush();
    EXPECT_FALSE(capture.contains("I-RDB034028")) << "unexpected no_index warning";
}

TEST_F(QueryTest, QueryOnAnUnindexedChildWarnsOnce) {
    auto capture = ns::SystemLog::capture();
    auto byMargin =
        root_->child("Productos")->queryOrderedByChild("Margen")->queryStartingAtValue(17)->queryEndingAtValue(23);
    auto result = readOnce(byMargin);
    ASSERT_TRUE(result.has_value());
    // The back end still answers; the client sorts the window itself.
    EXPECT_EQ(keysOf(result->snapshot), (std::vector<std::string>{"7501031311316", "7501031311309", "7501031311330"}));
    // The listen's answer, which carries the warning, may come after its data.
    serverBarrier();
    QRVLoggerFlush();
    size_t warnings = 0;
    for (const auto& line : capture.lines()) {
        if (line.find("I-RDB034028") != std::string::npos) {
            ++warnings;
            EXPECT_NE(line.find("\".indexOn\": \"Margen\" at /Productos"), std::string::npos) << line;
        }
    }
    EXPECT_EQ(warnings, 1u);
}

TEST_F(QueryTest, OneShotReadCallsItsBlockOnceAndEndsItsListen) {
    auto item = root_->child("Pruebas/unica");
    // All queued before the main loop runs: the one-shot sees the first
    // value, and the changes after it reach the wrapper before the removal
    // it asks for is applied.
    item->setValue(1);
    std::vector<ns::Value> values;
    item->observeSingleEventOfType(QRVDataEventTypeValue,
                                   [&](QRVDataSnapshotPtr snapshot) { values.push_back(snapshot->value()); });
    item->setValue(2);
    item->setValue(3);
    ASSERT_TRUE(pumpUntil([&] { return !values.empty(); }));
    drainQueues();
    drainQueues();
    EXPECT_EQ(values, std::vector<ns::Value>{ns::Value(1)});
    ASSERT_TRUE(pumpUntil([&] { return !listensTo(*backend_, kSampleNamespace, "/Pruebas/unica"); }));

    // Two observations in a row get consecutive handles; removing all ends both.
    int calls = 0;
    auto h1 = item->observeEventType(QRVDataEventTypeValue, [&](QRVDataSnapshotPtr) { ++calls; });
    auto h2 = item->observeEventType(QRVDataEventTypeChildAdded, [&](QRVDataSnapshotPtr) { ++calls; });
    EXPECT_EQ(h2, h1 + 1);
    ASSERT_TRUE(pumpUntil([&] { return listensTo(*backend_, kSampleNamespace, "/Pruebas/unica"); }));
    item->removeAllObservers();
    ASSERT_TRUE(pumpUntil([&] { return !listensTo(*backend_, kSampleNamespace, "/Pruebas/unica"); }));
    // Events raised before the removal may still be on the callback queue.
    drainQueues();
    const int before = calls;
    setServerData("/Pruebas/unica", 4);
    drainQueues();
    EXPECT_EQ(calls, before);
}

// A one-shot read started from another one's block, before the first
// one's removal reaches the worker, still gets its value; the removal takes
// only the first registration, and the listen ends once both are done.
TEST_F(QueryTest, OneShotReadFromAOneShotsBlockGetsItsValueAndBothEnd) {
    auto item = root_->child("Pruebas/encadenada");
    setServerData("/Pruebas/encadenada", 5);
    std::vector<ns::Value> values;
    item->observeSingleEventOfType(QRVDataEventTypeValue, [&](QRVDataSnapshotPtr snapshot) {
        values.push_back(snapshot->value());
        item->observeSingleEventOfType(QRVDataEventTypeValue,
                                       [&](QRVDataSnapshotPtr again) { values.push_back(again->value()); });
    });
    ASSERT_TRUE(pumpUntil([&] { return values.size() == 2; }));
    EXPECT_EQ(values, (std::vector<ns::Value>{ns::Value(5), ns::Value(5)}));
    ASSERT_TRUE(pumpUntil([&] { return !listensTo(*backend_, kSampleNamespace, "/Pruebas/encadenada"); }));
    setServerData("/Pruebas/encadenada", 6);
    drainQueues();
    EXPECT_EQ(values.size(), 2u);
}

// The wrappers of a one-shot read hold its handle from the start, so reads
// started off the callback queue's thread, with the callback queue running
// elsewhere, still remove exactly their own registration.
TEST_F(QueryTest, OneShotReadsFromOtherThreadsLeaveNoRegistrationBehind) {
    auto other = track(QRVDatabase::databaseForApp([&] {
        QRVApp::configure("hilos", std::make_shared<QRVOptions>(appOptions(databaseURL())));
        return QRVApp::appNamed("hilos");
    }()));
    auto callbacks = ns::DispatchQueue::serial("one-shot callbacks");
    other->setCallbackQueue(callbacks);
    auto item = other->reference()->child("Productos/7501031311330");
    // A continuous observer keeps the data in the local view, so each
    // one-shot gets its value at once, while the caller may still be busy.
    std::atomic<int> held{0};
    auto holder = item->observeEventType(QRVDataEventTypeValue, [&](QRVDataSnapshotPtr) { ++held; });
    ASSERT_TRUE(pumpUntil([&] { return held.load() > 0; }));

    std::atomic<int> delivered{0};
    constexpr int kThreads = 4;
    constexpr int kReadsPerThread = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kReadsPerThread; ++i) {
                item->observeSingleEventOfType(QRVDataEventTypeValue, [&](QRVDataSnapshotPtr snapshot) {
                    EXPECT_EQ(snapshot->value()["qParte"], ns::Value("LAC-0200"));
                    ++delivered;
                });
            }
        });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_TRUE(pumpUntil([&] { return delivered.load() == kThreads * kReadsPerThread; }));
    drainQueues();
    callbacks->sync([] {});
    drainQueues();

    // Only the continuous observer is left: removing it ends the listen.
    item->removeObserverWithHandle(holder);
    ASSERT_TRUE(pumpUntil([&] { return !listensTo(*backend_, kSampleNamespace, "/Productos/7501031311330"); }))
        << "a one-shot registration was left behind";
    // And a change reaches nobody.
    const int heldBefore = held.load();
    setServerData("/Productos/7501031311330/Precio", 3.2);
    drainQueues();
    callbacks->sync([] {});
    EXPECT_EQ(held.load(), heldBefore);
    EXPECT_EQ(delivered.load(), kThreads * kReadsPerThread);
}

TEST_F(QueryTest, KeepSyncedKeepsTheListenAfterTheLastObserverGoes) {
    auto stores = root_->child("Tiendas");
    stores->keepSynced(true);
    auto once = readOnce(stores);
    ASSERT_TRUE(once.has_value());
    EXPECT_TRUE(once->snapshot->hasChildren());
    drainQueues();
    // The one-shot observer is gone; the listen stays and follows changes.
    EXPECT_TRUE(listensTo(*backend_, kSampleNamespace, "/Tiendas"));
    ns::Value latest;
    auto watcher = stores->child("T-09")->observeEventType(
        QRVDataEventTypeValue, [&](QRVDataSnapshotPtr snapshot) { latest = snapshot->value(); });
    setServerData("/Tiendas/T-09", {{"Nombre", "Albrook"}});
    EXPECT_TRUE(pumpUntil([&] { return latest["Nombre"] == ns::Value("Albrook"); }));
    stores->child("T-09")->removeObserverWithHandle(watcher);

    stores->keepSynced(false);
    EXPECT_TRUE(pumpUntil([&] { return !listensTo(*backend_, kSampleNamespace, "/Tiendas"); }));

    // Without it, the listen ends with the last observer.
    auto offers = root_->child("Productos/7441001234561");
    ASSERT_TRUE(readOnce(offers).has_value());
    EXPECT_TRUE(pumpUntil([&] { return !listensTo(*backend_, kSampleNamespace, "/Productos/7441001234561"); }));
}

TEST_F(QueryTest, WritesReachTheServerAndPriorityIsSetThere) {
    auto quote = root_->child("Cotizaciones")->childByAutoId();
    auto done = std::make_shared<std::optional<ns::ErrorRef>>();
    quote->setValue(ns::Dictionary{{"Total", 10.7}, {"Items", 2}});
    quote->setPriority(5, [done](ns::ErrorRef error, QRVDatabaseReferencePtr ref) { *done = error; });
    ASSERT_TRUE(pumpUntil([&] { return done->has_value(); }));
    EXPECT_FALSE(**done);
    auto stored = readOnce(quote);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->snapshot->priority(), ns::Value(5));
    EXPECT_EQ(stored->snapshot->value()["Items"], ns::Value(2));

    // Removal, and setting null, both delete.
    auto removed = std::make_shared<std::optional<ns::ErrorRef>>();
    quote->child("Items")->removeValue();
    quote->child("Total")->setValue(ns::Value(), [removed](ns::ErrorRef error, QRVDatabaseReferencePtr) {
        *removed = error;
    });
    ASSERT_TRUE(pumpUntil([&] { return removed->has_value(); }));
    EXPECT_TRUE(serverData("/Cotizaciones/" + quote->key().value()).is_null());
}

}  // namespace
