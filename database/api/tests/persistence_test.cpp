// The repository with its local cache against the local back end: writes
// made offline survive a restart and reach the server once each, cached data
// answers observers offline and makes the re-listen carry its hash, damaged
// cache rows never turn into writes, a cache whose files are damaged keeps
// what it can read and goes on, and a cache that cannot be opened leaves the
// repository running without one.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include <nlohmann/json.hpp>

#include "core/QRVLogger.h"
#include "database/api/FEventRegistrations.h"
#include "database/api/FRepo.h"
#include "database/api/QRVDataSnapshot.h"
#include "database/cache/FLevelDBStorageEngine.h"
#include "database/connection/FWorkerQueue.h"
#include "database/model/FSnapshotUtilities.h"
#include "database/model/FUtilities.h"
#include "platform/json.h"
#include "platform/runloop.h"
#include "platform/system_log.h"
#include "testing/app_backend.h"
#include "testing/admin_json.h"
#include "testing/backend.h"
#include "testing/temp_sandbox.h"

#include "public_api_test_support.h"

namespace {

using json = nlohmann::json;
using apitest::drainQueues;
using apitest::pumpUntil;

template <class F>
void onWorker(F&& f) {
    FWorkerQueue::sharedQueue()->sync(std::forward<F>(f));
}

FNodePtr node(const char* text) { return FSnapshotUtilities::nodeFrom(ns::json::parse(text)); }

class PersistenceTest : public ::testing::Test {
protected:
    void SetUp() override { backend_ = ns::testing::Backend::start(); }

    void TearDown() override {
        for (const auto& repo : repos_) dispose(repo);
        drainQueues();
        if (HasFailure() && backend_) std::cerr << "back end log:\n" << backend_->log() << "\n";
        repos_.clear();
        drainQueues();
        backend_.reset();
    }

    std::string databaseURL() const { return ns::testing::databaseURL(*backend_, "demo"); }

    // A repository with the cache on; offline ones are interrupted before
    // their connection can open.
    std::shared_ptr<FRepo> makeRepo(bool online, bool cached = true) {
        auto config = std::make_shared<QRVDatabaseConfig>(cached ? "cached" : "uncached",
                                                          std::make_shared<QRVNoopAuthTokenProvider>());
        config->setPersistenceEnabled(cached);
        std::shared_ptr<FRepo> repo;
        onWorker([&] {
            repo = FRepo::make(FUtilities::parseUrl(databaseURL()).repoInfo, config, nullptr);
            if (!online) FWorkerQueue::sharedQueue()->async([repo] { repo->interrupt(); });
        });
        drainQueues();
        repos_.push_back(repo);
        return repo;
    }
    void dispose(const std::shared_ptr<FRepo>& repo) {
        onWorker([&] { repo->dispose(); });
    }
    void goOnline(const std::shared_ptr<FRepo>& repo) {
        onWorker([&] { repo->resume(); });
    }

    std::vector<std::string>& observeValue(const std::shared_ptr<FRepo>& repo, const std::string& path) {
        auto& lines = *logs_.emplace_back(std::make_unique<std::vector<std::string>>());
        auto registration = std::make_shared<FValueEventRegistration>(
            repo, FUtilities::LUIDGenerator(),
            [&lines](QRVDataSnapshotPtr snapshot) { lines.push_back(ns::json::serialize(snapshot->value())); },
            nullptr);
        onWorker([&] { repo->addEventRegistration(registration, FQuerySpec::defaultQueryAtPath(FPath(path))); });
        return lines;
    }

    json get(const std::string& path) { return ns::testing::getJSON(*backend_, path); }
    json serverData(const std::string& path) { return get("/__admin/rtdb/data?ns=demo&path=" + path)["data"]; }
    void setServerData(const std::string& path, const json& data) {
        auto reply = backend_->post("/__admin/rtdb/data?ns=demo&path=" + path, json{{"data", data}}.dump());
        EXPECT_EQ(reply.status, 200) << reply.body;
    }
    json counters() { return get("/__admin/rtdb/counters?ns=demo"); }
    int64_t counter(const char* group, const char* name) {
        json all = counters();
        return all.contains(group) && all[group].contains(name) ? all[group][name].get<int64_t>() : 0;
    }
    std::string cacheFolder() const {
        return "cached/" + FUtilities::parseUrl(databaseURL()).repoInfo->host() + "_demo";
    }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::testing::Backend> backend_;
    std::vector<std::shared_ptr<FRepo>> repos_;
    std::vector<std::unique_ptr<std::vector<std::string>>> logs_;
};

TEST_F(PersistenceTest, OfflineWritesSurviveARestartAndReachTheServerOnceEachInOrder) {
    auto first = makeRepo(false);
    onWorker([&] {
        first->set(FPath("/shop/a"), node("1"), nullptr);
        first->set(FPath("/shop/b"), node(R"({"n": "x"})"), nullptr);
        first->update(FPath("/shop"), FCompoundWrite::compoundWriteWithValueDictionary({{"a", ns::Value(2)}}), nullptr);
        first->set(FPath("/shop/c"), node("3"), nullptr);
    });
    dispose(first);
    drainQueues();
    EXPECT_EQ(counter("requests", "p") + counter("requests", "m"), 0);

    auto second = makeRepo(false);
    // Each written location is known whole from the writes alone.
    auto& a = observeValue(second, "/shop/a");
    auto& b = observeValue(second, "/shop/b");
    ASSERT_TRUE(pumpUntil([&] { return !a.empty() && !b.empty(); }));
    EXPECT_EQ(a.front(), "2");
    EXPECT_EQ(b.front(), R"({"n":"x"})");
    int64_t nextId = -1;
    onWorker([&] { nextId = second->nextWriteId(); });
    EXPECT_EQ(nextId, 4);  // the restored writes had ids 0 to 3

    goOnline(second);
    ASSERT_TRUE(pumpUntil([&] { return serverData("/shop") == json::parse(R"({"a":2,"b":{"n":"x"},"c":3})"); }));
    // The server holds the data before its answers reach the client: the
    // writes leave the cache only once each is acknowledged.
    ASSERT_TRUE(pumpUntil([&] {
        size_t pending = 1;
        onWorker([&] { pending = second->persistenceManagerForTesting()->userWrites().size(); });
        return pending == 0;
    }));
    drainQueues();
    EXPECT_EQ(counter("requests", "p"), 3);
    EXPECT_EQ(counter("requests", "m"), 1);

    // Acknowledged writes are gone from the cache: a third start sends
    // nothing.
    dispose(second);
    drainQueues();
    auto third = makeRepo(true);
    auto& again = observeValue(third, "/shop");
    ASSERT_TRUE(pumpUntil([&] { return !again.empty(); }));
    drainQueues();
    EXPECT_EQ(counter("requests", "p"), 3);
    EXPECT_EQ(counter("requests", "m"), 1);
}

// The deepest data the model takes goes through every layer whole: the
// cache's write row, a restart, the wire, the back end's store (across its
// own restart) and a read by another client.
TEST_F(PersistenceTest, TheDeepestWriteSurvivesARestartReachesTheServerAndReadsBack) {
    ns::Value deep("leaf");
    for (int i = 0; i < kQuorvaneMaxObjectDepth; ++i) deep = ns::Value(ns::Dictionary{{"k", std::move(deep)}});
    const std::string text = ns::json::serialize(deep);
    ASSERT_FALSE(text.empty());
    auto first = makeRepo(false);
    onWorker([&] {
        first->set(FPath("/deep/store"), FSnapshotUtilities::nodeFromWithValidation(deep, "setValue:"), nullptr);
    });
    dispose(first);
    drainQueues();

    auto second = makeRepo(false);
    auto& restored = observeValue(second, "/deep/store");
    ASSERT_TRUE(pumpUntil([&] { return !restored.empty(); }));
    EXPECT_EQ(restored.front(), text);
    goOnline(second);
    ASSERT_TRUE(pumpUntil([&] { return serverData("/deep/store") == json::parse(text); }));
    ASSERT_TRUE(pumpUntil([&] {
        size_t pending = 1;
        onWorker([&] { pending = second->persistenceManagerForTesting()->userWrites().size(); });
        return pending == 0;
    }));
    dispose(second);
    drainQueues();

    backend_->restart();
    auto reader = makeRepo(true, false);
    auto& read = observeValue(reader, "/deep/store");
    ASSERT_TRUE(pumpUntil([&] { return !read.empty(); }));
    EXPECT_EQ(read.back(), text);
}

TEST_F(PersistenceTest, CachedDataAnswersOfflineAndTheReListenCarriesItsHash) {
    setServerData("/catalog", json::parse(R"({"p1": {"name": "milk"}, "p2": {"name": "bread"}})"));
    auto first = makeRepo(true);
    auto& online = observeValue(first, "/catalog");
    ASSERT_TRUE(pumpUntil([&] { return !online.empty(); }));
    drainQueues();
    dispose(first);
    drainQueues();
    EXPECT_EQ(counter("listens", "overwrite"), 1);

    auto offline = makeRepo(false);
    auto& cached = observeValue(offline, "/catalog");
    ASSERT_TRUE(pumpUntil([&] { return !cached.empty(); }));
    EXPECT_EQ(cached.front(), R"({"p1":{"name":"milk"},"p2":{"name":"bread"}})");

    goOnline(offline);
    ASSERT_TRUE(pumpUntil([&] { return counter("listens", "upToDate") == 1; }));
    drainQueues();
    EXPECT_EQ(counter("listens", "overwrite"), 1);  // no data sent again
    EXPECT_EQ(cached.size(), 1u);
}

TEST_F(PersistenceTest, DamagedWriteRowsNeverLeaveTheClientAsNullWrites) {
    setServerData("/keep", json::parse(R"({"x": 1})"));
    {
        FLevelDBStorageEngine engine(cacheFolder());
        auto& rows = *engine.writesDB();
        rows.setString(R"({"id":0})", "0");                          // no path, no data: once a root delete
        rows.setString(R"({"id":1,"path":"/keep/"})", "1");          // no data: once a delete of /keep
        rows.setString(R"({"id":2,"path":"/tr)", "2");               // truncated
        rows.setString(R"({"id":3,"path":"/good/","o":"yes"})", "3");
        rows.setString(R"({"id":3,"path":"/keep/","o":null})", "4");  // a second row with id 3
    }
    auto capture = ns::SystemLog::capture();
    auto repo = makeRepo(true);
    ASSERT_TRUE(pumpUntil([&] { return serverData("/good") == json("yes"); }));
    drainQueues();
    QRVLoggerFlush();
    EXPECT_EQ(counter("requests", "p"), 1);
    EXPECT_EQ(serverData("/keep"), json::parse(R"({"x": 1})"));
    EXPECT_TRUE(capture.contains("Removing failed write with key 0"));
    EXPECT_TRUE(capture.contains("Removing failed write with key 1"));
    EXPECT_TRUE(capture.contains("Removing failed write with key 2"));
    EXPECT_TRUE(capture.contains("Skipping write with key 4"));
}

// Each file of the cache's two leveldb folders (and the version file beside
// them) in turn is cut short at a random offset, has bytes flipped, gets
// garbage appended, is emptied or deleted (a fixed seed: every run damages
// alike), and a repository starts over it: it reads what the undamaged
// folder holds (the cached catalog, or the two writes made offline), sends
// the pending writes it kept, and still writes.
TEST_F(PersistenceTest, ACacheWithADamagedFileKeepsWhatItCanReadAndStillWrites) {
    namespace fs = std::filesystem;
    const json catalog = json::parse(R"({"p1": {"name": "milk"}, "p2": {"name": "bread"}})");
    setServerData("/catalog", catalog);
    auto online = makeRepo(true);
    auto& seen = observeValue(online, "/catalog");
    ASSERT_TRUE(pumpUntil([&] { return !seen.empty(); }));
    drainQueues();
    dispose(online);
    // Two launches offline: a write each, the first moved into a table by
    // the second's start, the second still in the log.
    for (const char* key : {"a", "b"}) {
        auto offline = makeRepo(false);
        onWorker([&] { offline->set(FPath(std::string("/pending/") + key), node("\"kept\""), nullptr); });
        dispose(offline);
        drainQueues();
    }
    const std::string folder = FLevelDBStorageEngine::quorvaneDir() + "/" + cacheFolder();
    const std::string golden = sandbox_.root() + "/golden";
    fs::copy(folder, golden, fs::copy_options::recursive);
    std::vector<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(golden)) {
        if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), golden).string());
    }
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 12u) << "both folders hold an index, a manifest, tables and a log";

    std::mt19937 random(21);
    auto below = [&](size_t n) { return n == 0 ? size_t(0) : std::uniform_int_distribution<size_t>(0, n - 1)(random); };
    const char* const modes[] = {"cut short", "bytes flipped", "garbage appended", "emptied", "deleted"};
    const int damages = std::max<int>(50, int(files.size() * std::size(modes)));
    for (int i = 0; i < damages; ++i) {
        const std::string& file = files[size_t(i) % files.size()];
        const size_t mode = (size_t(i) / files.size()) % std::size(modes);
        SCOPED_TRACE(::testing::Message() << "damage " << i << ": " << file << " " << modes[mode]);
        fs::remove_all(folder);
        fs::copy(golden, folder, fs::copy_options::recursive);
        const std::string path = folder + "/" + file;
        std::ifstream in(path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        in.close();
        if (mode == 0) bytes.resize(below(bytes.size()));
        for (size_t n = mode == 1 ? 1 + below(16) : 0; n > 0 && !bytes.empty(); --n) {
            bytes[below(bytes.size())] ^= char(1 + below(255));
        }
        for (size_t n = mode == 2 ? 1 + below(64) : 0; n > 0; --n) bytes.push_back(char(below(256)));
        if (mode == 3) bytes.clear();
        if (mode == 4) {
            fs::remove(path);
        } else {
            std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        }
        setServerData("/pending", nullptr);

        auto repo = makeRepo(false);
        json cached;
        size_t pending = 0;
        onWorker([&] {
            const auto& cache = repo->persistenceManagerForTesting();
            ASSERT_NE(cache, nullptr) << "the repository keeps its cache";
            cached = json::parse(ns::json::serialize(
                cache->serverCacheForQuery(FQuerySpec::defaultQueryAtPath(FPath("/catalog"))).node()->val()));
            pending = cache->userWrites().size();
        });
        if (!file.starts_with("server_data/")) {
            EXPECT_EQ(cached, catalog) << "the cached data is kept";
        }
        if (!file.starts_with("writes/")) {
            EXPECT_EQ(pending, 2u) << "the pending writes are kept";
        }
        goOnline(repo);
        const std::string after = "/after/" + std::to_string(i);
        onWorker([&] { repo->set(FPath(after), node("1"), nullptr); });
        ASSERT_TRUE(pumpUntil([&] { return serverData(after) == json(1); })) << "the repository still writes";
        if (pending == 2) {
            EXPECT_EQ(serverData("/pending"), json::parse(R"({"a": "kept", "b": "kept"})")) << "and sends them";
        }
        dispose(repo);
        drainQueues();
    }
}

TEST_F(PersistenceTest, ACacheThatCannotOpenLeavesTheRepositoryRunningWithoutOne) {
    FLevelDBStorageEngine holder(cacheFolder());  // another process would hold the lock this way
    holder.saveUserOverwrite(node("7"), FPath("/kept"), 0);
    auto capture = ns::SystemLog::capture();
    auto repo = makeRepo(true);
    onWorker([&] { repo->set(FPath("/live"), node("1"), nullptr); });
    ASSERT_TRUE(pumpUntil([&] { return serverData("/live") == json(1); }));
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("[I-RDB038027] Could not open the local cache"));
    EXPECT_EQ(holder.userWrites().size(), 1u);  // nothing of the cache was lost
}

}  // namespace
