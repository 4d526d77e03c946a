// Replacing one child of a node with 10,000 and with 1,000,000 children
// (push-id keys, the usual keys of long lists). Each update keeps the new
// node and drops the old version, as a view does.
//  - ReplaceChild/children:n: ratio = one update / one std::map insert of
//    a new key into a map of the same size (target at most 5).
//  - ReplaceChildGrowth10kTo1M: ratio = update at 1M / update at 10k, both measured
//    in the same run (logarithmic growth: target at most 2.5).
#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <random>

#include "database/model/FNode.h"

namespace {

constexpr int kBatch = 1000;

struct Fixture {
    FNodePtr node;
    std::vector<std::string> keys;
    std::vector<FNodePtr> leaves;
};

// Keys shaped like push ids: 8 characters of time, 12 random ones.
std::string pushIdLike(int64_t millis, std::mt19937& rng) {
    static const char kChars[] = "-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz";
    std::string id(20, '-');
    for (int i = 7; i >= 0; --i) {
        id[size_t(i)] = kChars[millis % 64];
        millis /= 64;
    }
    for (size_t i = 8; i < 20; ++i) id[i] = kChars[rng() % 64];
    return id;
}

Fixture makeFixture(size_t n) {
    Fixture f;
    std::mt19937 rng(9);
    std::vector<FChildrenDictionary::Entry> entries;
    entries.reserve(n);
    for (size_t i = 0; i < n; ++i) {
        std::string key = pushIdLike(1700000000000 + int64_t(i), rng);
        f.keys.push_back(key);
        entries.emplace_back(std::move(key), FLeafNode::make(int64_t(i)));
    }
    f.node = FChildrenNode::make(FChildrenDictionary::fromEntries(std::move(entries)));
    for (int i = 0; i < kBatch; ++i) f.leaves.push_back(FLeafNode::make(ns::Value("updated " + std::to_string(i))));
    return f;
}

// Seconds per update, over `rounds` batches of random keys.
double timeUpdates(Fixture& f, std::mt19937& rng, int rounds) {
    double total = 0;
    for (int r = 0; r < rounds; ++r) {
        std::vector<const std::string*> picks;
        for (int i = 0; i < kBatch; ++i) picks.push_back(&f.keys[rng() % f.keys.size()]);
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kBatch; ++i) f.node = f.node->updateImmediateChild(*picks[size_t(i)], f.leaves[size_t(i)]);
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    return total / (double(rounds) * kBatch);
}

// Seconds per std::map insert of a new key at size n, at random places among
// the existing keys (the batch is removed again outside the timing).
double timeMapInserts(std::map<std::string, FNodePtr>& map, const std::vector<std::string>& keys,
                      const FNodePtr& leaf, std::mt19937& rng, int rounds) {
    double total = 0;
    for (int r = 0; r < rounds; ++r) {
        std::vector<std::string> fresh;
        // One character more than a random existing key: new, and sorted
        // right after that key.
        for (int i = 0; i < kBatch; ++i) fresh.push_back(keys[rng() % keys.size()] + "0");
        auto start = std::chrono::steady_clock::now();
        for (const auto& k : fresh) map.emplace(k, leaf);
        total += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        for (const auto& k : fresh) map.erase(k);
    }
    return total / (double(rounds) * kBatch);
}

void ReplaceChild(benchmark::State& state) {
    size_t n = size_t(state.range(0));
    Fixture f = makeFixture(n);
    std::map<std::string, FNodePtr> map;
    for (const auto& k : f.keys) map.emplace(k, f.leaves[0]);
    std::mt19937 rng(1);
    double subject = 0, baseline = 0;
    for (auto _ : state) {
        subject += timeUpdates(f, rng, 1);
        baseline += timeMapInserts(map, f.keys, f.leaves[0], rng, 1);
    }
    state.counters["ratio"] = subject / baseline;
    state.counters["update_ns"] = subject / double(state.iterations()) * 1e9;
    state.counters["map_insert_ns"] = baseline / double(state.iterations()) * 1e9;
}
BENCHMARK(ReplaceChild)->ArgName("children")->Arg(10000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void ReplaceChildGrowth10kTo1M(benchmark::State& state) {
    Fixture small = makeFixture(10000);
    Fixture large = makeFixture(1000000);
    std::mt19937 rng(2);
    double atSmall = 0, atLarge = 0;
    for (auto _ : state) {
        atSmall += timeUpdates(small, rng, 1);
        atLarge += timeUpdates(large, rng, 1);
    }
    state.counters["ratio"] = atLarge / atSmall;
    state.counters["update_10k_ns"] = atSmall / double(state.iterations()) * 1e9;
    state.counters["update_1M_ns"] = atLarge / double(state.iterations()) * 1e9;
}
BENCHMARK(ReplaceChildGrowth10kTo1M)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
