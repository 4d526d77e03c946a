// The repository end to end against the local back end's database server on
// loopback: local events ahead of the server, two repositories seeing each
// other's writes, transactions under contention and refusal, on-disconnect
// writes, refused listens, the ".info" values and purged writes. The
// repositories are driven directly on the worker queue; their events and
// callbacks arrive on the main queue, which the tests pump. Reconnection
// delays run on the virtual clock, so a dropped connection stays down until
// a test moves it.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>

#include "core/QRVLogger.h"
#include "database/api/FEventRegistrations.h"
#include "database/api/FRepo.h"
#include "database/api/QRVDataSnapshot.h"
#include "database/api/QRVMutableData.h"
#include "database/api/QRVServerValue.h"
#include "database/api/QRVTransactionResult.h"
#include "database/connection/FWorkerQueue.h"
#include "database/model/FSnapshotUtilities.h"
#include "database/model/FUtilities.h"
#include "platform/clock.h"
#include "platform/json.h"
#include "platform/runloop.h"
#include "platform/system_log.h"
#include "sync_test_support.h"
#include "testing/app_backend.h"
#include "testing/admin_json.h"
#include "testing/backend.h"
#include "testing/temp_sandbox.h"

namespace {

using json = nlohmann::json;

constexpr double kWaitSeconds = 30;

bool pumpUntil(const std::function<bool()>& done, double seconds = kWaitSeconds) {
    return ns::RunLoop::main().runUntil(done, seconds);
}

template <class F>
void onWorker(F&& f) {
    FWorkerQueue::sharedQueue()->sync(std::forward<F>(f));
}

// Lets the worker queue, then what it queued on the main queue, run.
void drainQueues() {
    onWorker([] {});
    bool done = false;
    ns::DispatchQueue::main()->async([&] { done = true; });
    pumpUntil([&] { return done; });
}

ns::Value parse(const char* text) { return ns::json::parse(text); }
FNodePtr node(const ns::Value& value) { return FSnapshotUtilities::nodeFrom(value); }
FQuerySpec queryAt(const std::string& path) { return FQuerySpec::defaultQueryAtPath(FPath(path)); }
std::string text(const ns::Value& value) { return ns::json::serialize(value); }

double realNowSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// What a repository's observers and callbacks delivered, in order, as text
// lines (all on the main queue, which only the test thread runs).
class Log {
public:
    void add(std::string line) { lines.push_back(std::move(line)); }
    bool contains(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    size_t count(const std::string& line) const { return size_t(std::count(lines.begin(), lines.end(), line)); }
    long indexOf(const std::string& line) const {
        auto it = std::find(lines.begin(), lines.end(), line);
        return it == lines.end() ? -1 : long(it - lines.begin());
    }
    bool waitFor(const std::string& line) {
        return pumpUntil([&] { return contains(line); });
    }
    std::string dump() const {
        std::string out;
        for (const auto& l : lines) out += "[" + l + "] ";
        return out;
    }

    // "value <json>" for each value event at the query.
    QRVDataSnapshotBlock values(const std::string& name = "value") {
        return [this, name](QRVDataSnapshotPtr snapshot) { add(name + " " + text(snapshot->value())); };
    }
    QRVCancelBlock cancels(const std::string& name = "cancel") {
        return [this, name](ns::ErrorRef error) {
            add(name + " " + std::to_string(error->code()) + " " + error->localizedDescription());
        };
    }
    // "<type> <key> prev=<key or ->" for child events.
    FChildEventRegistration::Callbacks children() {
        FChildEventRegistration::Callbacks callbacks;
        const std::map<QRVDataEventType, std::string> names{{QRVDataEventTypeChildAdded, "added"},
                                                            {QRVDataEventTypeChildRemoved, "removed"},
                                                            {QRVDataEventTypeChildChanged, "changed"},
                                                            {QRVDataEventTypeChildMoved, "moved"}};
        for (const auto& [type, name] : names) {
            callbacks[type] = [this, name = name](QRVDataSnapshotPtr snapshot, std::optional<std::string> prev) {
                add(name + " " + snapshot->key().value_or("/") + " prev=" + prev.value_or("-"));
            };
        }
        return callbacks;
    }
    QRVDatabaseReferenceCompletion completion(const std::string& name) {
        return [this, name](ns::ErrorRef error, QRVDatabaseReferencePtr ref) {
            add(name + " " + (error ? std::to_string(error->code()) + " " + error->localizedDescription() : "ok") +
                " at " + ref->path().toString());
        };
    }
    QRVTransactionCompletion transactionDone(const std::string& name) {
        return [this, name](ns::ErrorRef error, bool committed, QRVDataSnapshotPtr snapshot) {
            add(name + (committed ? " committed " : " aborted ") +
                (error ? std::to_string(error->code()) + " " + error->localizedDescription() : "no error") + " " +
                (snapshot ? text(snapshot->value()) : "no snapshot"));
        };
    }

    std::vector<std::string> lines;
};

// An update block that adds one to a number (null counts as 0), counting
// its runs.
QRVTransactionUpdateBlock increment(std::shared_ptr<std::atomic<int>> runs) {
    return [runs](QRVMutableDataPtr data) {
        ++*runs;
        data->setValue(ns::Value(data->value().intValue(0) + 1));
        return QRVTransactionResult::successWithValue(data);
    };
}

class RepoTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("ALMAVEL_WIRE_LOG")) {
            QRVSetDebugModeEnabled(true);
            FUtilities::setLoggingEnabled(true);
        }
        backend_ = ns::testing::Backend::start();
        // The clock reads real time once the back end is up, so the server's
        // clock and ours agree; after that it stands until a test moves it.
        clock_ = ns::VirtualClock::install(realNowSeconds());
    }

    void TearDown() override {
        onWorker([&] {
            for (const auto& repo : repos_) repo->dispose();
        });
        drainQueues();
        if (HasFailure() && backend_) std::cerr << "back end log:\n" << backend_->log() << "\n";
        repos_.clear();
        drainQueues();
        backend_.reset();
        clock_.reset();
    }

    std::string databaseURL() const { return ns::testing::databaseURL(*backend_, "demo"); }

    // A repository of its own session (so its own connection) on "demo".
    std::shared_ptr<FRepo> makeRepo(const std::string& session, bool online = true) {
        auto config = std::make_shared<QRVDatabaseConfig>(session, std::make_shared<QRVNoopAuthTokenProvider>());
        auto repo = FRepo::make(FUtilities::parseUrl(databaseURL()).repoInfo, config, nullptr);
        repos_.push_back(repo);
        if (!online) onWorker([&] { repo->interrupt(); });
        return repo;
    }
    bool waitConnected(const std::shared_ptr<FRepo>& repo) {
        return pumpUntil([&] {
            bool ready = false;
            onWorker([&] { ready = repo->connection()->connectionState() == ConnectionStateConnected; });
            return ready;
        });
    }

    uint64_t observeValue(const std::shared_ptr<FRepo>& repo, const std::string& path, Log& log,
                          const std::string& name = "value", bool withCancel = false) {
        const uint64_t handle = FUtilities::LUIDGenerator();
        auto registration = std::make_shared<FValueEventRegistration>(repo, handle, log.values(name),
                                                                      withCancel ? log.cancels() : nullptr);
        onWorker([&] { repo->addEventRegistration(registration, queryAt(path)); });
        return handle;
    }
    void observeChildren(const std::shared_ptr<FRepo>& repo, const std::string& path, Log& log) {
        auto registration =
            std::make_shared<FChildEventRegistration>(repo, FUtilities::LUIDGenerator(), log.children(), nullptr);
        onWorker([&] { repo->addEventRegistration(registration, queryAt(path)); });
    }

    json admin(const std::string& path, const json& body) { return ns::testing::postJSON(*backend_, path, body); }
    json get(const std::string& path) { return ns::testing::getJSON(*backend_, path); }
    json serverData(const std::string& path) { return get("/__admin/rtdb/data?ns=demo&path=" + path)["data"]; }
    void setServerData(const std::string& path, const json& data) {
        admin("/__admin/rtdb/data?ns=demo&path=" + path, json{{"data", data}});
    }
    json serverConnections() { return get("/__admin/rtdb/connections?ns=demo")["connections"]; }

    // Logs live as long as the fixture: blocks raised while the test is torn
    // down still find theirs.
    Log& makeLog() { return *logs_.emplace_back(std::make_unique<Log>()); }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::testing::Backend> backend_;
    std::unique_ptr<ns::VirtualClock> clock_;
    std::vector<std::shared_ptr<FRepo>> repos_;
    std::vector<std::unique_ptr<Log>> logs_;
};

TEST_F(RepoTest, LocalEventsComeBeforeTheServerAnswers) {
    auto repo = makeRepo("local", /*online=*/false);
    Log& log = makeLog();
    // Offline, nothing is known of the location: no value yet.
    observeValue(repo, "/items", log);
    onWorker([&] {
        EXPECT_EQ(repo->nextWriteId(), 0);
        repo->set(FPath("/items"), node(parse(R"({"x": 1})")), log.completion("set"));
        repo->update(FPath("/items"), FCompoundWrite().addWrite(node(ns::Value(2)), FPath("y")),
                     log.completion("update"));
        // An empty update is answered at once without a write.
        repo->update(FPath("/items"), FCompoundWrite(), log.completion("empty"));
    });
    // Offline: the local events and the empty update's answer, nothing else.
    ASSERT_TRUE(log.waitFor("empty ok at /items")) << log.dump();
    EXPECT_EQ(log.lines, (std::vector<std::string>{R"(value {"x":1})", R"(value {"x":1,"y":2})",
                                                   "empty ok at /items"}));
    onWorker([&] { EXPECT_EQ(repo->nextWriteId(), 3); });

    onWorker([&] { repo->resume(); });
    ASSERT_TRUE(log.waitFor("update ok at /items")) << log.dump();
    EXPECT_LT(log.indexOf("set ok at /items"), log.indexOf("update ok at /items"));
    EXPECT_EQ(serverData("/items"), json({{"x", 1}, {"y", 2}}));
    // The server's answer changed nothing that was shown.
    drainQueues();
    EXPECT_EQ(log.count(R"(value {"x":1,"y":2})"), 1u) << log.dump();
}

TEST_F(RepoTest, TwoRepositoriesSeeEachOthersWritesAsOrderedChildEvents) {
    auto a = makeRepo("writer");
    auto b = makeRepo("reader");
    Log& log = makeLog();
    observeChildren(b, "/list", log);
    observeValue(b, "/list", log);
    ASSERT_TRUE(log.waitFor("value null")) << log.dump();

    auto step = [&](const std::function<void()>& write, const std::string& value) {
        log.lines.clear();
        onWorker(write);
        EXPECT_TRUE(log.waitFor("value " + value)) << log.dump();
        return log.lines;
    };
    using Lines = std::vector<std::string>;
    EXPECT_EQ(step([&] { a->set(FPath("/list"), node(parse(R"({"a": {"n": 1}, "c": {"n": 3}})")), nullptr); },
                   R"({"a":{"n":1},"c":{"n":3}})"),
              (Lines{"added a prev=-", "added c prev=a", R"(value {"a":{"n":1},"c":{"n":3}})"}));
    EXPECT_EQ(step([&] { a->set(FPath("/list/b"), node(parse(R"({"n": 2})")), nullptr); },
                   R"({"a":{"n":1},"b":{"n":2},"c":{"n":3}})"),
              (Lines{"added b prev=a", R"(value {"a":{"n":1},"b":{"n":2},"c":{"n":3}})"}));
    // A priority moves a after the children without one.
    EXPECT_EQ(step([&] { a->set(FPath("/list/a"), node(parse(R"({"n": 5, ".priority": 10})")), nullptr); },
                   R"({"a":{"n":5},"b":{"n":2},"c":{"n":3}})"),
              (Lines{"moved a prev=c", "changed a prev=c", R"(value {"a":{"n":5},"b":{"n":2},"c":{"n":3}})"}));
    EXPECT_EQ(step([&] { a->set(FPath("/list/b"), node(ns::Value()), nullptr); }, R"({"a":{"n":5},"c":{"n":3}})"),
              (Lines{"removed b prev=-", R"(value {"a":{"n":5},"c":{"n":3}})"}));
}

TEST_F(RepoTest, TwoRepositoriesRunFiftyTransactionsEachOnOneCounter) {
    auto a = makeRepo("counter-a");
    auto b = makeRepo("counter-b");
    ASSERT_TRUE(waitConnected(a));
    ASSERT_TRUE(waitConnected(b));
    // The first puts that carry a hash are answered "datastale" whatever
    // they hold, so reruns certainly happen.
    admin("/__admin/rtdb/faults", {{"forceDatastale", 3}});

    auto runs = std::make_shared<std::atomic<int>>(0);
    Log& log = makeLog();
    onWorker([&] {
        for (int i = 0; i < 50; ++i) {
            a->startTransactionOnPath(FPath("/counter"), increment(runs), log.transactionDone("a"), true);
            b->startTransactionOnPath(FPath("/counter"), increment(runs), log.transactionDone("b"), true);
        }
    });
    ASSERT_TRUE(pumpUntil([&] { return log.lines.size() >= 100; })) << log.dump();
    drainQueues();
    ASSERT_EQ(log.lines.size(), 100u) << log.dump();
    for (const auto& line : log.lines) EXPECT_NE(line.find(" committed no error "), std::string::npos) << line;
    EXPECT_EQ(serverData("/counter"), 100);
    // 100 first runs, and at least one rerun for each forced "datastale".
    EXPECT_GE(runs->load(), 103);
    EXPECT_EQ(get("/__admin/rtdb/faults")["forceDatastale"], 0);

    // Both repositories end on the server's value.
    Log& seen = makeLog();
    observeValue(a, "/counter", seen, "a");
    observeValue(b, "/counter", seen, "b");
    EXPECT_TRUE(seen.waitFor("a 100"));
    EXPECT_TRUE(seen.waitFor("b 100"));
}

TEST_F(RepoTest, ARefusedTransactionShowsItsValueAtOnceThenRevertsAndReportsOnce) {
    admin("/__admin/rtdb/rules?ns=demo",
          {{"rules", {{".read", true}, {"locked", {{".write", false}}}, {"open", {{".write", true}}}}}});
    auto repo = makeRepo("refused");
    ASSERT_TRUE(waitConnected(repo));
    Log& log = makeLog();
    observeValue(repo, "/locked", log);
    ASSERT_TRUE(log.waitFor("value null"));

    auto runs = std::make_shared<std::atomic<int>>(0);
    onWorker([&] { repo->startTransactionOnPath(FPath("/locked"), increment(runs), log.transactionDone("t"), true); });
    // Code 1, with the reason the server gave as its text.
    ASSERT_TRUE(log.waitFor("t aborted 1 Permission denied null")) << log.dump();
    EXPECT_EQ(log.lines, (std::vector<std::string>{"value null", "value 1", "value null",
                                                   "t aborted 1 Permission denied null"}));
    // Nothing more arrives for it after later traffic.
    onWorker([&] { repo->set(FPath("/open/x"), node(ns::Value(1)), log.completion("later")); });
    ASSERT_TRUE(log.waitFor("later ok at /open/x"));
    EXPECT_EQ(log.count("t aborted 1 Permission denied null"), 1u);
    EXPECT_EQ(runs->load(), 1);
    EXPECT_TRUE(serverData("/locked").is_null());
}

TEST_F(RepoTest, TransactionsQueueBehindASentOneAndASetAbortsTheWaitingOne) {
    auto repo = makeRepo("queued", /*online=*/false);
    Log& log = makeLog();
    observeValue(repo, "/t", log);
    auto runs = std::make_shared<std::atomic<int>>(0);
    onWorker([&] {
        // The first is handed to the connection at once; the second waits
        // for its answer.
        repo->startTransactionOnPath(FPath("/t"), increment(runs), log.transactionDone("first"), true);
        repo->startTransactionOnPath(FPath("/t"), increment(runs), log.transactionDone("second"), true);
        repo->set(FPath("/t"), node(ns::Value("x")), log.completion("set"));
    });
    // The waiting one fails with "set" and its local write is reverted; the
    // sent one only waits for its answer.
    ASSERT_TRUE(log.waitFor("second aborted 9999 set no snapshot")) << log.dump();
    EXPECT_EQ(log.lines, (std::vector<std::string>{"value 1", "value 2", "value \"x\"",
                                                   "second aborted 9999 set no snapshot"}));
    onWorker([&] { repo->resume(); });
    // Sent before the set, its hash matched: it commits.
    ASSERT_TRUE(log.waitFor("first committed no error 1")) << log.dump();
    ASSERT_TRUE(log.waitFor("set ok at /t"));
    EXPECT_EQ(serverData("/t"), "x");
    EXPECT_EQ(log.count("second aborted 9999 set no snapshot"), 1u);
}

TEST_F(RepoTest, HiddenTransactionsShowNothingAndASetBelowAbortsThem) {
    setServerData("/h", {{"n", 0}});
    auto repo = makeRepo("hidden");
    Log& log = makeLog();
    observeValue(repo, "/h", log);
    ASSERT_TRUE(log.waitFor(R"(value {"n":0})"));
    onWorker([&] { repo->interrupt(); });
    onWorker([&] {
        // Handed to the connection at once.
        repo->startTransactionOnPath(
            FPath("/h"),
            [](QRVMutableDataPtr data) {
                data->childDataByAppendingPath("m")->setValue(ns::Value(1));
                return QRVTransactionResult::successWithValue(data);
            },
            log.transactionDone("s"), true);
        // Waits below it, invisible to observers.
        repo->startTransactionOnPath(FPath("/h/n"), increment(std::make_shared<std::atomic<int>>(0)),
                                     log.transactionDone("t"), false);
        // A set below the waiting one aborts it; the sent one is only marked.
        repo->set(FPath("/h/n/deep"), node(ns::Value(1)), log.completion("set"));
    });
    ASSERT_TRUE(log.waitFor("t aborted 9999 set no snapshot")) << log.dump();
    EXPECT_EQ(log.lines, (std::vector<std::string>{R"(value {"n":0})", R"(value {"m":1,"n":0})",
                                                   R"(value {"m":1,"n":{"deep":1}})",
                                                   "t aborted 9999 set no snapshot"}));
    onWorker([&] { repo->resume(); });
    // The marked one was sent before the set and matches: it commits.
    ASSERT_TRUE(log.waitFor(R"(s committed no error {"m":1,"n":0})")) << log.dump();
    ASSERT_TRUE(log.waitFor("set ok at /h/n/deep"));
    EXPECT_EQ(serverData("/h"), json({{"m", 1}, {"n", {{"deep", 1}}}}));
}

TEST_F(RepoTest, ASecondAbortKeepsATransactionWhosePutIsOut) {
    setServerData("/s", 1);
    auto repo = makeRepo("twice", /*online=*/false);
    Log& log = makeLog();
    auto runs = std::make_shared<std::atomic<int>>(0);
    onWorker([&] {
        // Offline, the transaction sees no data: its put carries the hash of
        // nothing and will be answered "datastale".
        repo->startTransactionOnPath(FPath("/s"), increment(runs), log.transactionDone("t"), true);
        repo->set(FPath("/s"), node(ns::Value(5)), log.completion("five"));
        repo->set(FPath("/s"), node(ns::Value(6)), log.completion("six"));
    });
    drainQueues();
    EXPECT_TRUE(log.lines.empty()) << log.dump();
    onWorker([&] { repo->resume(); });
    // Marked by the first set and kept by the second, it fails with "set"
    // once its answer comes, instead of never completing.
    ASSERT_TRUE(log.waitFor("six ok at /s")) << log.dump();
    ASSERT_TRUE(pumpUntil([&] { return log.count("t aborted 9999 set null") == 1; })) << log.dump();
    drainQueues();
    EXPECT_EQ(log.count("t aborted 9999 set null"), 1u) << log.dump();
    EXPECT_EQ(runs->load(), 1);
    EXPECT_EQ(serverData("/s"), 6);
    // Its listen went with it.
    onWorker([&] { EXPECT_TRUE(repo->dumpListens().empty()); });
}

TEST_F(RepoTest, UpdateBlocksThatRaiseAbortTheirTransactionWithAWarning) {
    auto repo = makeRepo("raising", /*online=*/false);
    auto capture = ns::SystemLog::capture();
    Log& log = makeLog();
    onWorker([&] {
        repo->startTransactionOnPath(
            FPath("/r"),
            [](QRVMutableDataPtr data) -> std::shared_ptr<QRVTransactionResult> {
                data->setValue(parse(R"({"a.b": 1})"));  // raises InvalidQuorvaneData
                return QRVTransactionResult::successWithValue(data);
            },
            log.transactionDone("t"), true);
    });
    ASSERT_TRUE(log.waitFor("t aborted no error null")) << log.dump();
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("I-RDB038025")) << "no warning for the raising block";
    EXPECT_TRUE(capture.contains("InvalidQuorvaneData"));
}

TEST_F(RepoTest, OnDisconnectWritesAreAppliedByTheServerAndAtOnceLocally) {
    setServerData("/gone", "here");
    auto a = makeRepo("leaver");
    ASSERT_TRUE(waitConnected(a));
    json conns = serverConnections();
    ASSERT_EQ(conns.size(), 1u);
    const uint64_t aConnection = conns[0]["id"].get<uint64_t>();
    auto b = makeRepo("stayer");
    ASSERT_TRUE(waitConnected(b));

    Log& aLog = makeLog();
    Log& bLog = makeLog();
    for (const char* path : {"/presence", "/status", "/gone", "/cancelled"}) {
        observeValue(a, path, aLog, std::string("a") + path);
        observeValue(b, path, bLog, std::string("b") + path);
    }
    ASSERT_TRUE(aLog.waitFor("a/gone \"here\""));
    ASSERT_TRUE(bLog.waitFor("b/cancelled null"));

    onWorker([&] {
        a->onDisconnectSet(FPath("/presence"),
                           node(ns::Value(ns::Dictionary{{"state", ns::Value("offline")},
                                                         {"at", QRVServerValue::timestamp()}})),
                           aLog.completion("set"));
        a->onDisconnectUpdate(FPath("/status"),
                              FCompoundWrite().addWrite(node(ns::Value(1)), FPath("x")).addWrite(node(ns::Value(2)),
                                                                                                 FPath("y/z")),
                              aLog.completion("update"));
        a->onDisconnectUpdate(FPath("/status"), FCompoundWrite(), aLog.completion("empty"));
        a->onDisconnectSet(FPath("/gone"), node(ns::Value()), aLog.completion("remove"));
        a->onDisconnectSet(FPath("/cancelled"), node(ns::Value("x")), aLog.completion("doomed"));
        a->onDisconnectCancel(FPath("/cancelled"), aLog.completion("cancel"));
    });
    ASSERT_TRUE(aLog.waitFor("cancel ok at /cancelled")) << aLog.dump();
    for (const char* done : {"set ok at /presence", "update ok at /status", "empty ok at /status",
                             "remove ok at /gone", "doomed ok at /cancelled"}) {
        EXPECT_TRUE(aLog.contains(done)) << done;
    }
    EXPECT_TRUE(serverData("/presence").is_null());

    aLog.lines.clear();
    const double estimatedServerMs = clock_->now() * 1000;
    admin("/__admin/rtdb/connections/kill", {{"id", aConnection}});
    // A's own view, at once and without the server: the timestamp resolved
    // with its estimate of the server's time.
    ASSERT_TRUE(aLog.waitFor(R"(a/status {"x":1,"y":{"z":2}})")) << aLog.dump();
    EXPECT_TRUE(aLog.contains("a/gone null")) << aLog.dump();
    EXPECT_FALSE(aLog.contains("a/cancelled \"x\"")) << aLog.dump();
    bool presenceSeen = false;
    for (const auto& line : aLog.lines) {
        if (line.rfind("a/presence ", 0) != 0) continue;
        json presence = json::parse(line.substr(strlen("a/presence ")));
        EXPECT_EQ(presence["state"], "offline");
        EXPECT_NEAR(presence["at"].get<double>(), estimatedServerMs, 5000);
        presenceSeen = true;
    }
    EXPECT_TRUE(presenceSeen) << aLog.dump();

    // B sees what the server applied.
    ASSERT_TRUE(bLog.waitFor(R"(b/status {"x":1,"y":{"z":2}})")) << bLog.dump();
    ASSERT_TRUE(bLog.waitFor("b/gone null")) << bLog.dump();
    EXPECT_EQ(serverData("/presence")["state"], "offline");
    EXPECT_TRUE(serverData("/presence")["at"].is_number());
    EXPECT_TRUE(serverData("/cancelled").is_null());
    EXPECT_FALSE(bLog.contains("b/cancelled \"x\""));

    // The tree was emptied: the next drop applies nothing again.
    onWorker([&] { a->set(FPath("/gone"), node(ns::Value("back")), aLog.completion("back")); });
    ASSERT_TRUE(aLog.waitFor("a/gone \"back\""));
    clock_->advance(5);
    ASSERT_TRUE(aLog.waitFor("back ok at /gone")) << aLog.dump();
    aLog.lines.clear();
    admin("/__admin/rtdb/connections/kill", {{"ns", "demo"}});
    ASSERT_TRUE(pumpUntil([&] {
        bool down = false;
        onWorker([&] { down = a->connection()->connectionState() == ConnectionStateDisconnected; });
        return down;
    }));
    drainQueues();
    EXPECT_FALSE(aLog.contains("a/gone null")) << aLog.dump();
    EXPECT_EQ(serverData("/gone"), "back");
}

TEST_F(RepoTest, ARefusedListenCancelsWithTheErrorAndIsRemoved) {
    admin("/__admin/rtdb/rules?ns=demo",
          {{"rules", {{"secret", {{".read", false}}}, {"open", {{".read", true}, {".write", true}}}}}});
    auto repo = makeRepo("refused-listen");
    Log& log = makeLog();
    observeValue(repo, "/secret", log, "secret", /*withCancel=*/true);
    ASSERT_TRUE(log.waitFor("cancel 1 Permission Denied")) << log.dump();
    EXPECT_FALSE(log.contains("secret null")) << log.dump();
    onWorker([&] { EXPECT_FALSE(repo->dumpListens().count(queryAt("/secret"))); });

    // Other reads still work.
    setServerData("/open", "yes");
    observeValue(repo, "/open", log, "open");
    ASSERT_TRUE(log.waitFor("open \"yes\"")) << log.dump();
    EXPECT_EQ(log.count("cancel 1 Permission Denied"), 1u);
}

TEST_F(RepoTest, InfoConnectedIsABooleanAndServerTimeFollowsTheServersClock) {
    admin("/__admin/rtdb/faults", {{"clockOffsetMs", 10000}});
    auto repo = makeRepo("info", /*online=*/false);
    Log& log = makeLog();
    observeValue(repo, "/.info/connected", log, "connected");
    observeValue(repo, "/.info/serverTimeOffset", log, "offset");
    ASSERT_TRUE(log.waitFor("connected false")) << log.dump();

    const double virtualNow = clock_->now();
    onWorker([&] { repo->resume(); });
    ASSERT_TRUE(log.waitFor("connected true")) << log.dump();
    ASSERT_TRUE(pumpUntil([&] {
        return std::any_of(log.lines.begin(), log.lines.end(),
                           [](const std::string& l) { return l.rfind("offset ", 0) == 0; });
    }));
    const double elapsedMs = (realNowSeconds() - virtualNow) * 1000;
    double offset = 0;
    for (const auto& line : log.lines) {
        if (line.rfind("offset ", 0) == 0) offset = std::stod(line.substr(7));
    }
    EXPECT_GE(offset, 10000 - 2);
    EXPECT_LE(offset, 10000 + elapsedMs + 2);
    onWorker([&] { EXPECT_NEAR(repo->serverTime(), clock_->now() + offset / 1000, 0.001); });
    // ".info" is never listened to on the server.
    onWorker([&] { EXPECT_TRUE(repo->dumpListens().empty()); });

    onWorker([&] { repo->interrupt(); });
    ASSERT_TRUE(pumpUntil([&] { return log.count("connected false") == 2; })) << log.dump();
    std::vector<std::string> connected;
    for (const auto& line : log.lines) {
        if (line.rfind("connected ", 0) == 0) connected.push_back(line);
    }
    EXPECT_EQ(connected, (std::vector<std::string>{"connected false", "connected true", "connected false"}));
}

TEST_F(RepoTest, PurgedWritesCompleteAsCancelledAndTheViewFallsBack) {
    setServerData("/p", "server");
    auto repo = makeRepo("purge");
    Log& log = makeLog();
    observeValue(repo, "/p", log);
    ASSERT_TRUE(log.waitFor("value \"server\""));
    onWorker([&] { repo->interrupt(); });
    auto runs = std::make_shared<std::atomic<int>>(0);
    onWorker([&] {
        repo->set(FPath("/p"), node(ns::Value("mine")), log.completion("set"));
        repo->update(FPath("/p2"), FCompoundWrite().addWrite(node(ns::Value(1)), FPath("a")),
                     log.completion("update"));
        repo->startTransactionOnPath(FPath("/q"), increment(runs), log.transactionDone("t"), true);
    });
    ASSERT_TRUE(log.waitFor("value \"mine\""));
    onWorker([&] { repo->purgeOutstandingWrites(); });
    ASSERT_TRUE(log.waitFor("update 3 Write cancelled by user at /p2")) << log.dump();
    EXPECT_TRUE(log.contains("set 3 Write cancelled by user at /p")) << log.dump();
    ASSERT_TRUE(log.waitFor("t aborted 3 Write cancelled by user null")) << log.dump();
    // The local view fell back to the server's data.
    EXPECT_EQ(std::vector<std::string>(log.lines.begin(), log.lines.begin() + 3),
              (std::vector<std::string>{"value \"server\"", "value \"mine\"", "value \"server\""}));

    // Nothing of them reaches the server once online again.
    onWorker([&] { repo->resume(); });
    onWorker([&] { repo->set(FPath("/after"), node(ns::Value(1)), log.completion("after")); });
    ASSERT_TRUE(log.waitFor("after ok at /after")) << log.dump();
    EXPECT_EQ(serverData("/p"), "server");
    EXPECT_TRUE(serverData("/p2").is_null());
    EXPECT_TRUE(serverData("/q").is_null());
    EXPECT_EQ(log.count("t aborted 3 Write cancelled by user null"), 1u);
}

TEST_F(RepoTest, ServerDataThatCannotBeStoredIsDroppedWithAWarning) {
    auto repo = makeRepo("pushes");
    Log& log = makeLog();
    observeValue(repo, "/bad", log);
    ASSERT_TRUE(log.waitFor("value null"));
    auto capture = ns::SystemLog::capture();
    // What the server sends is replaced, before conversion, by data no node
    // can hold.
    onWorker([&] {
        repo->setInterceptServerDataCallback([](const std::string& path, const ns::Value& data) {
            return path == "/bad" ? parse(R"({"a.b": 1})") : data;
        });
    });
    setServerData("/bad", "pushed");
    ASSERT_TRUE(pumpUntil([&] {
        QRVLoggerFlush();
        return capture.contains("I-RDB038024");
    }));
    // A merge that is not a dictionary, handed over as the connection would.
    onWorker([&] { repo->onDataUpdate(*repo->connection(), "/bad", ns::Value(3), true, std::nullopt); });
    onWorker([&] { repo->setInterceptServerDataCallback(nullptr); });
    setServerData("/bad", "fine");
    ASSERT_TRUE(log.waitFor("value \"fine\"")) << log.dump();
    EXPECT_FALSE(log.contains("value \"pushed\""));
    onWorker([&] { EXPECT_GE(repo->dataUpdateCount(), 2); });
}

// A cache holding two pending writes, recording what the repository and
// its sync tree ask of it.
class PendingWritesCache final : public synctest::NullPersistence {
public:
    std::vector<FWriteRecordPtr> writes;
    std::vector<std::string> calls;

    void saveUserOverwrite(const FNodePtr& node, const FPath& path, uint64_t writeId) override {
        calls.push_back("save " + std::to_string(writeId) + " " + path.toString() + " " + text(node->val()));
    }
    void saveUserMerge(const FCompoundWrite& merge, const FPath& path, uint64_t writeId) override {
        calls.push_back("merge " + std::to_string(writeId) + " " + path.toString());
    }
    void removeUserWrite(uint64_t writeId) override { calls.push_back("remove " + std::to_string(writeId)); }
    void removeAllUserWrites() override { calls.push_back("remove all"); }
    std::vector<FWriteRecordPtr> userWrites() override { return writes; }
    void close() override { calls.push_back("close"); }
};

TEST_F(RepoTest, PersistedWritesAreSentFirstAndWriteIdsContinueAfterThem) {
    auto cache = std::make_shared<PendingWritesCache>();
    cache->writes = {
        std::make_shared<FWriteRecord>(FPath("/r/a"), node(QRVServerValue::timestamp()), 5, true),
        // Out of order: skipped with an error, never sent.
        std::make_shared<FWriteRecord>(FPath("/r/z"), node(ns::Value(0)), 4, true),
        std::make_shared<FWriteRecord>(FPath("/r"), FCompoundWrite().addWrite(node(ns::Value(2)), FPath("b")), 9)};
    auto capture = ns::SystemLog::capture();
    // The cache must be in place before the deferred set-up runs.
    FWorkerQueue::sharedQueue()->suspend();
    auto repo = makeRepo("restored");
    repo->setPersistenceManagerForTesting(cache);
    FWorkerQueue::sharedQueue()->resume();

    Log& log = makeLog();
    onWorker([&] {
        EXPECT_EQ(repo->nextWriteId(), 10);
        repo->set(FPath("/r/c"), node(ns::Value(3)), log.completion("c"));
    });
    ASSERT_TRUE(log.waitFor("c ok at /r/c"));
    json stored = serverData("/r");
    EXPECT_EQ(stored["b"], 2);
    EXPECT_EQ(stored["c"], 3);
    EXPECT_TRUE(stored["a"].is_number()) << stored.dump();
    EXPECT_FALSE(stored.contains("z"));
    // Answered restored writes leave the cache; the new one was saved
    // with its id.
    onWorker([&] {
        for (const char* call : {"remove 5", "remove 9", "save 11 /r/c 3", "remove 11"}) {
            EXPECT_NE(std::find(cache->calls.begin(), cache->calls.end(), call), cache->calls.end()) << call;
        }
    });
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("Restored writes were not in order! Skipping write 4"));
}

TEST(RepoCacheFolder, SessionIdentifiersStayOneFolderInsideTheRoot) {
    FRepoInfo info("demo.quorvaneio.com", true, "demo");
    EXPECT_EQ(FRepo::cacheFolder("default", info), "default/demo.quorvaneio.com_demo");
    const std::string escaping = FRepo::cacheFolder("../x", info);
    const std::string nested = FRepo::cacheFolder("a/b", info);
    for (const std::string& folder : {escaping, nested}) {
        const std::string first = folder.substr(0, folder.find('/'));
        EXPECT_NE(first, "..");
        EXPECT_EQ(folder.find('/'), folder.rfind('/')) << folder;
        EXPECT_EQ(folder.find(".."), std::string::npos) << folder;
    }
    EXPECT_NE(FRepo::cacheFolder("a/b", info), FRepo::cacheFolder("a%2Fb", info));
    EXPECT_NE(escaping, FRepo::cacheFolder("..x", info));
}

}  // namespace
