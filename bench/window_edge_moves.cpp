// A location of 10,000 and of 100,000 children with an orderByChild
// limitToFirst(100) view; 10,000 single-child server overwrites, each moving
// an item out of the window across its edge (the next one comes in), events
// included. Per update, against one std::map erase and insert at the same
// size. The ratio may grow only logarithmically from 10,000 to 100,000: a
// tenfold growth means an O(n) step per update.
#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <map>

#include "database/model/FSnapshotUtilities.h"
#include "database/sync/FSyncTree.h"

namespace {

class CountingRegistration final : public FEventRegistration {
public:
    bool responseTo(QRVDataEventType type) const override { return type != QRVDataEventTypeValue; }
    FEventPtr createEventFrom(const FChange& change, const FQuerySpec&) override {
        ++created;
        benchmark::DoNotOptimize(change.prevKey());
        return nullptr;
    }
    void fireEvent(const FEventPtr&, const ns::DispatchQueuePtr&) override {}
    FEventPtr createCancelEventFromError(const ns::ErrorRef&, const FPath&) override { return nullptr; }
    bool matches(const FEventRegistration& other) const override { return &other == this; }
    uint64_t handle() const override { return 1; }
    size_t created = 0;
};

std::string key(int i) { return "p" + std::to_string(1000000 + i); }

FNodePtr product(int64_t price) {
    return FChildrenNode::make(FChildrenDictionary::fromSortedEntries(
        {{"Nombre", FLeafNode::make(ns::Value("Producto"))}, {"Precio", FLeafNode::make(ns::Value(price))}}));
}

double secondsOf(const std::function<void()>& fn) {
    auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

constexpr int kUpdates = 10000;

void WindowEdgeMoves(benchmark::State& state) {
    int size = int(state.range(0));
    std::vector<FChildrenDictionary::Entry> entries;
    for (int i = 0; i < size; ++i) entries.emplace_back(key(i), product(i));
    FNodePtr data = FChildrenNode::make(FChildrenDictionary::fromEntries(std::move(entries)));
    FPath productos("/Productos");
    auto params = FQueryParams::defaultInstance()->orderBy(FPathIndex::make(FPath("Precio")))->limitToFirst(100);

    std::map<std::string, int64_t> map;
    for (int i = 0; i < size; ++i) map.emplace(key(i), i);

    double subject = 0, baseline = 0;
    size_t events = 0;
    for (auto _ : state) {
        auto tree = FSyncTree::make(nullptr, FListenProvider());
        auto registration = std::make_shared<CountingRegistration>();
        tree->addEventRegistration(registration, FQuerySpec(productos, params));
        tree->applyServerOverwriteAtPath(productos, data);
        registration->created = 0;
        // Item j is the window's first; moved past every price it leaves,
        // and item 100 + j comes in at the edge.
        subject += secondsOf([&] {
            for (int j = 0; j < kUpdates; ++j) {
                tree->applyServerOverwriteAtPath(productos.childFromString(key(j)), product(size + j));
            }
        });
        events = registration->created;
        baseline += secondsOf([&] {
            for (int j = 0; j < kUpdates; ++j) {
                auto it = map.find(key(j));
                int64_t value = it->second;
                map.erase(it);
                map.emplace(key(j), value + size);
            }
        });
    }
    state.counters["ratio"] = subject / baseline;
    state.counters["us_per_update"] = subject / double(state.iterations()) / kUpdates * 1e6;
    state.counters["events_per_update"] = double(events) / kUpdates;
}
BENCHMARK(WindowEdgeMoves)->ArgName("children")->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
