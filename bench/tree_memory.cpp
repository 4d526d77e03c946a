// Resident memory of the 1,000,000-leaf sample tree (sample_tree.h) against the size of
// its JSON text (target: ratio at most 3), before and after its hashes are
// cached, and the peak while the same tree is read from that text (target: at
// most 4): straight from the text (peak_ratio) and through the values
// (peak_ratio_values).
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>

#include "database/model/FNode.h"
#include "database/model/FSnapshotUtilities.h"
#include "sample_tree.h"
#include "platform/json.h"
#include "support/process_memory.h"

namespace {

using benchsupport::peakBytes;
using benchsupport::residentBytes;


// The peak above the memory in use before, while `readTree` runs. It runs in a
// child process whose heap has held nothing larger than the text, so that no
// resident memory freed earlier is reused unseen.
double peakOf(const std::function<FNodePtr()>& readTree) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        malloc_trim(0);
        if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
            std::fputs("5", f);  // resets the peak to what is resident now
            std::fclose(f);
        }
        const double before = residentBytes();
        FNodePtr node = readTree();
        benchmark::DoNotOptimize(node);
        const double peak = peakBytes() - before;
        _exit(write(fds[1], &peak, sizeof peak) == ssize_t(sizeof peak) ? 0 : 1);
    }
    double peak = -1;
    if (pid < 0 || read(fds[0], &peak, sizeof peak) != ssize_t(sizeof peak)) peak = -1;
    if (pid > 0) waitpid(pid, nullptr, 0);
    close(fds[0]);
    close(fds[1]);
    return peak;
}

void TreeMemory1MLeaves(benchmark::State& state) {
    for (auto _ : state) {
        // The peaks first, while this process has held nothing larger.
        const std::string text = modelbench::sampleTreeJson();
        const double json = double(text.size());
        state.counters["peak_ratio"] = peakOf([&] { return FSnapshotUtilities::nodeFromJsonText(text); }) / json;
        state.counters["peak_ratio_values"] =
            peakOf([&] { return FSnapshotUtilities::nodeFrom(ns::json::parse(text)); }) / json;
        malloc_trim(0);
        double before = residentBytes();
        FNodePtr tree = modelbench::buildSampleTree();
        double built = residentBytes() - before;
        (void)tree->dataHash();
        double hashed = residentBytes() - before;
        if (ns::json::serialize(tree->val()) != text) state.SkipWithError("the sample text is not the tree's");
        state.counters["ratio"] = built / json;
        state.counters["ratio_hashed"] = hashed / json;
        state.counters["tree_MB"] = built / 1e6;
        state.counters["json_MB"] = json / 1e6;
    }
}
BENCHMARK(TreeMemory1MLeaves)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
