// Resident memory of the 1,000,000-leaf sample tree (sample_tree.h) against the size of
// its JSON text (target: ratio at most 3), before and after its hashes are
// cached.
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>

#include <cstdio>

#include "database/model/FNode.h"
#include "sample_tree.h"
#include "platform/json.h"

namespace {

double residentBytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return double(resident) * double(sysconf(_SC_PAGESIZE));
}

void TreeMemory1MLeaves(benchmark::State& state) {
    for (auto _ : state) {
        malloc_trim(0);
        double before = residentBytes();
        FNodePtr tree = modelbench::buildSampleTree();
        double built = residentBytes() - before;
        (void)tree->dataHash();
        double hashed = residentBytes() - before;
        double json = double(ns::json::serialize(tree->val()).size());
        state.counters["ratio"] = built / json;
        state.counters["ratio_hashed"] = hashed / json;
        state.counters["tree_MB"] = built / 1e6;
        state.counters["json_MB"] = json / 1e6;
    }
}
BENCHMARK(TreeMemory1MLeaves)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
