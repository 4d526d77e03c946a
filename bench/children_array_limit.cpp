// Where the sorted array form of a children dictionary pays against the
// red-black tree form, by number of children: replacing one child (the array
// copies every entry, the tree O(log n) nodes), visiting every child, and the
// bytes each entry costs. The dictionary's array limit is chosen from this.
// ratio = array time / tree time.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <random>

#include "database/model/FNode.h"

namespace {

using ArrayForm = FImmutableSortedDictionary<std::string, FNodePtr, FKeyComparator, 1 << 20>;
using TreeForm = FImmutableSortedDictionary<std::string, FNodePtr, FKeyComparator, 0>;

// "k1000", "k1001", ... (built by appending: GCC 12 warns falsely about
// operator+ on short strings at -O3).
std::string key(int i) {
    std::string k = "k";
    k += std::to_string(1000 + i);
    return k;
}

template <class Dict>
Dict build(int n) {
    std::vector<typename Dict::Entry> entries;
    for (int i = 0; i < n; ++i) entries.emplace_back(key(i), FLeafNode::make(int64_t(i)));
    return Dict::fromSortedEntries(std::move(entries));
}

template <class Dict>
double updateSeconds(Dict& d, int n, std::mt19937& rng, const FNodePtr& leaf) {
    std::vector<std::string> keys;
    for (int i = 0; i < 1000; ++i) keys.push_back(key(int(rng() % unsigned(n))));
    auto start = std::chrono::steady_clock::now();
    for (const auto& k : keys) d = d.insert(k, leaf);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / 1000;
}

template <class Dict>
double visitSeconds(const Dict& d) {
    auto start = std::chrono::steady_clock::now();
    size_t total = 0;
    for (int r = 0; r < 100; ++r) {
        d.forEach([&](const std::string& k, const FNodePtr& v) {
            total += k.size() + size_t(v->isLeafNode());
            return true;
        });
    }
    benchmark::DoNotOptimize(total);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / 100;
}

void ArrayVsTreeReplaceChild(benchmark::State& state) {
    int n = int(state.range(0));
    ArrayForm a = build<ArrayForm>(n);
    TreeForm t = build<TreeForm>(n);
    FNodePtr leaf = FLeafNode::make(ns::Value("x"));
    std::mt19937 rng(4);
    double array = 0, tree = 0;
    for (auto _ : state) {
        array += updateSeconds(a, n, rng, leaf);
        tree += updateSeconds(t, n, rng, leaf);
    }
    state.counters["ratio"] = array / tree;
    state.counters["array_ns"] = array / double(state.iterations()) * 1e9;
    state.counters["tree_ns"] = tree / double(state.iterations()) * 1e9;
}
BENCHMARK(ArrayVsTreeReplaceChild)->ArgName("children")->Arg(8)->Arg(25)->Arg(64)->Arg(128)->Arg(256)->Unit(benchmark::kMicrosecond);

void ArrayVsTreeVisit(benchmark::State& state) {
    int n = int(state.range(0));
    ArrayForm a = build<ArrayForm>(n);
    TreeForm t = build<TreeForm>(n);
    double array = 0, tree = 0;
    for (auto _ : state) {
        array += visitSeconds(a);
        tree += visitSeconds(t);
    }
    state.counters["ratio"] = array / tree;
    // Entry bytes: the array keeps the pair; a tree node adds links, counts
    // and its allocation.
    state.counters["array_entry_bytes"] = double(sizeof(ArrayForm::Entry));
    state.counters["tree_entry_bytes"] = double(((sizeof(TreeForm::Entry) + 24 + 8 + 15) / 16) * 16);
}
BENCHMARK(ArrayVsTreeVisit)->ArgName("children")->Arg(8)->Arg(25)->Arg(64)->Arg(128)->Arg(256)->Unit(benchmark::kMicrosecond);

// Visiting the children of many dictionaries that together do not fit in the
// caches (a large tree being hashed or converted), in random order.
template <class Dict>
double coldVisitSeconds(const std::vector<Dict>& dicts, const std::vector<size_t>& order) {
    auto start = std::chrono::steady_clock::now();
    size_t total = 0;
    for (size_t i : order) {
        dicts[i].forEach([&](const std::string& k, const FNodePtr& v) {
            total += k.size() + size_t(v->isLeafNode());
            return true;
        });
    }
    benchmark::DoNotOptimize(total);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void ArrayVsTreeColdVisit(benchmark::State& state) {
    int n = int(state.range(0));
    size_t count = size_t(2000000 / n);
    std::vector<ArrayForm> arrays;
    std::vector<TreeForm> trees;
    for (size_t i = 0; i < count; ++i) {
        arrays.push_back(build<ArrayForm>(n));
        trees.push_back(build<TreeForm>(n));
    }
    std::vector<size_t> order(count);
    for (size_t i = 0; i < count; ++i) order[i] = i;
    std::shuffle(order.begin(), order.end(), std::mt19937(5));
    double array = 0, tree = 0;
    for (auto _ : state) {
        array += coldVisitSeconds(arrays, order);
        tree += coldVisitSeconds(trees, order);
    }
    state.counters["ratio"] = array / tree;
}
BENCHMARK(ArrayVsTreeColdVisit)->ArgName("children")->Arg(25)->Arg(64)->Arg(128)->Arg(256)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
