// The leveldb cache against leveldb itself, in one run:
// - CacheWriteNode100kLeaves: a node of 100,000 leaves stored as server data
//   (export form, one JSON row per leaf, one batch) / a raw leveldb
//   WriteBatch of the same keys and values. Target: ratio at most 1.5.
// - CacheReadNode100kLeaves: the same node read back into a node / a raw
//   prefix scan of its rows. Target: ratio at most 3.
// - CacheRestoreWrites10000: 10,000 outstanding writes read back as write
//   records at start / reading the same rows with a raw iterator. Target:
//   ratio at most 4.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <leveldb/db.h>
#include <leveldb/write_batch.h>
#include <stdexcept>
#include <string>

#include "database/cache/FLevelDBStorageEngine.h"
#include "database/model/FSnapshotUtilities.h"
#include "platform/file_manager.h"
#include "platform/json.h"
#include "platform/sandbox.h"
#include "support/fixture.h"

namespace {

double secondsOf(const std::function<void()>& fn) {
    auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A sandbox of its own, so the benchmark never touches the program's data;
// it goes, with every database in it, when the process exits.
class TemporarySandbox {
public:
    TemporarySandbox() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/almavel-bench-cache-XXXXXX";
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
        root_ = pattern;
        ns::Sandbox::setCurrent(ns::Sandbox::open(root_));
    }
    ~TemporarySandbox() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    const std::string& root() const { return root_; }

private:
    std::string root_;
};

std::string useTemporarySandbox() { return benchsupport::sharedFixture<TemporarySandbox>().root(); }

// 25,000 product records of four leaves each.
FNodePtr sampleNode() {
    ns::Dictionary products;
    for (int i = 0; i < 25000; ++i) {
        products.emplace("P" + std::to_string(7450000 + i),
                         ns::Value(ns::Dictionary{{"d", ns::Value("N" + std::to_string(i))},
                                                  {"n", ns::Value("Product " + std::to_string(i))},
                                                  {"p", ns::Value(1.5 + i % 97)},
                                                  {"s", ns::Value(int64_t(i % 13))}}));
    }
    return FSnapshotUtilities::nodeFrom(ns::Value(std::move(products)));
}

// The rows the engine writes for the node, made once for the baseline.
std::vector<std::pair<std::string, std::string>> rowsOf(const FNodePtr& node, const FPath& path) {
    std::vector<std::pair<std::string, std::string>> rows;
    const std::string base = FLevelDBStorageEngine::serverCacheKey(path);
    const ns::Value exported = node->valForExport(true);
    for (const auto& [key, record] : exported.asDictionary()) {
        for (const auto& [leaf, value] : record.asDictionary()) {
            rows.emplace_back(base + key + "/" + leaf + "/", FLevelDBStorageEngine::serializePrimitive(value));
        }
    }
    return rows;
}

std::unique_ptr<leveldb::DB> openRaw(const std::string& dir) {
    leveldb::DB* db = nullptr;
    leveldb::Options options;
    options.create_if_missing = true;
    leveldb::DB::Open(options, dir, &db);
    return std::unique_ptr<leveldb::DB>(db);
}

// The baseline read: every row under the prefix copied out of leveldb.
void rawScan(leveldb::DB* db, const std::string& prefix) {
    std::unique_ptr<leveldb::Iterator> it(db->NewIterator(leveldb::ReadOptions()));
    size_t bytes = 0;
    for (it->Seek(prefix); it->Valid() && it->key().starts_with(prefix); it->Next()) {
        std::string key = it->key().ToString();
        std::string value = it->value().ToString();
        bytes += key.size() + value.size();
        benchmark::DoNotOptimize(value);
    }
    benchmark::DoNotOptimize(bytes);
}

void CacheWriteNode100kLeaves(benchmark::State& state) {
    const std::string root = useTemporarySandbox();
    FNodePtr node = sampleNode();
    const FPath path("/products");
    auto rows = rowsOf(node, path);
    int run = 0;
    double subject = 0, baseline = 0;
    for (auto _ : state) {
        ++run;
        // Fresh databases each round, so neither side overwrites old rows.
        FLevelDBStorageEngine engine("write/" + std::to_string(run));
        auto raw = openRaw(root + "/raw-write-" + std::to_string(run));
        subject += secondsOf([&] { engine.updateServerCache(node, path, false); });
        baseline += secondsOf([&] {
            leveldb::WriteBatch batch;
            for (const auto& [key, value] : rows) batch.Put(key, value);
            raw->Write(leveldb::WriteOptions(), &batch);
        });
    }
    state.counters["ratio"] = subject / baseline;
    state.counters["rows"] = double(rows.size());
}
BENCHMARK(CacheWriteNode100kLeaves)->Unit(benchmark::kMillisecond)->Iterations(5);

void CacheReadNode100kLeaves(benchmark::State& state) {
    const std::string root = useTemporarySandbox();
    FNodePtr node = sampleNode();
    const FPath path("/products");
    FLevelDBStorageEngine engine("read");
    engine.updateServerCache(node, path, false);
    leveldb::DB* db = engine.serverCacheDB()->db();
    const std::string prefix = FLevelDBStorageEngine::serverCacheKey(path);
    double subject = 0, baseline = 0;
    for (auto _ : state) {
        FNodePtr read;
        subject += secondsOf([&] { read = engine.serverCacheAtPath(path); });
        if (!read->isEqual(*node)) state.SkipWithError("the node read back differs");
        baseline += secondsOf([&] { rawScan(db, prefix); });
    }
    state.counters["ratio"] = subject / baseline;
}
BENCHMARK(CacheReadNode100kLeaves)->Unit(benchmark::kMillisecond)->Iterations(5);

// The stored writes the restore reads, written once per process: every
// repetition reads the same 10,000 rows. Writing them again each time would
// leave the earlier versions of the rows in leveldb for both sides to skip,
// so later repetitions would compare other work than the first.
class StoredWrites {
public:
    StoredWrites() : engine_((useTemporarySandbox(), "restore")) {
        for (uint64_t id = 0; id < 10000; ++id) {
            const FPath path("/stock/P" + std::to_string(7450000 + id));
            if (id % 4 == 3) {
                engine_.saveUserMerge(FCompoundWrite::compoundWriteWithValueDictionary(
                                          {{"s", ns::Value(int64_t(id % 13))}, {"p", ns::Value(2.5)}}),
                                      path, id);
            } else {
                engine_.saveUserOverwrite(
                    FSnapshotUtilities::nodeFrom(ns::Value(ns::Dictionary{
                        {"d", ns::Value("N" + std::to_string(id))}, {"s", ns::Value(int64_t(id % 13))}})),
                    path, id);
            }
        }
    }
    FLevelDBStorageEngine& engine() { return engine_; }

private:
    FLevelDBStorageEngine engine_;
};

void CacheRestoreWrites10000(benchmark::State& state) {
    FLevelDBStorageEngine& engine = benchsupport::sharedFixture<StoredWrites>().engine();
    leveldb::DB* db = engine.writesDB()->db();
    double subject = 0, baseline = 0;
    for (auto _ : state) {
        // Several rounds in turn, each side first in every other one, so a
        // burst of load on a shared machine falls on both sides alike.
        for (int round = 0; round < 4; ++round) {
            std::vector<FWriteRecordPtr> writes;
            auto restore = [&] { subject += secondsOf([&] { writes = engine.userWrites(); }); };
            auto scan = [&] { baseline += secondsOf([&] { rawScan(db, ""); }); };
            if (round % 2 == 0) {
                restore();
                scan();
            } else {
                scan();
                restore();
            }
            if (writes.size() != 10000) state.SkipWithError("writes missing");
        }
    }
    state.counters["ratio"] = subject / baseline;
    // Each side's time per run, to tell which side a swing moved.
    const double runs = 4.0 * double(state.iterations());
    state.counters["restore_ms"] = subject * 1000 / runs;
    state.counters["scan_ms"] = baseline * 1000 / runs;
}
BENCHMARK(CacheRestoreWrites10000)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

BENCHMARK_MAIN();
