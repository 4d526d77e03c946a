// Resident memory of the 1,000,000-leaf sample tree (sample_tree.h) against the size of
// its JSON text (target: ratio at most 3), before and after its hashes are
// cached, and the peak while the same tree is read from that text (target: at
// most 4): straight from the text (peak_ratio) and through the values
// (peak_ratio_values).
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>

#include "database/model/FNode.h"
#include "database/model/FSnapshotUtilities.h"
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

// The most memory the process has held since the last reset.
double peakBytes() {
    double kb = 0;
    if (FILE* f = std::fopen("/proc/self/status", "r")) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            if (std::strncmp(line, "VmHWM:", 6) == 0) kb = std::atof(line + 6);
        }
        std::fclose(f);
    }
    return kb * 1024;
}

// The peak above the memory in use before, while `read` runs.
double peakOf(const std::function<FNodePtr()>& read) {
    malloc_trim(0);
    if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", f);  // resets the peak to what is resident now
        std::fclose(f);
    }
    const double before = residentBytes();
    FNodePtr node = read();
    benchmark::DoNotOptimize(node);
    return peakBytes() - before;
}

void TreeMemory1MLeaves(benchmark::State& state) {
    for (auto _ : state) {
        malloc_trim(0);
        double before = residentBytes();
        FNodePtr tree = modelbench::buildSampleTree();
        double built = residentBytes() - before;
        (void)tree->dataHash();
        double hashed = residentBytes() - before;
        const std::string text = ns::json::serialize(tree->val());
        const double json = double(text.size());
        tree.reset();
        state.counters["peak_ratio"] = peakOf([&] { return FSnapshotUtilities::nodeFromJsonText(text); }) / json;
        state.counters["peak_ratio_values"] =
            peakOf([&] { return FSnapshotUtilities::nodeFrom(ns::json::parse(text)); }) / json;
        state.counters["ratio"] = built / json;
        state.counters["ratio_hashed"] = hashed / json;
        state.counters["tree_MB"] = built / 1e6;
        state.counters["json_MB"] = json / 1e6;
    }
}
BENCHMARK(TreeMemory1MLeaves)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
