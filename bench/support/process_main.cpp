// The main of the benchmarks that run SDK code needing a process like the
// program's: the main thread bound (replies arrive on the main queue, which
// the benchmark pumps), the launch arguments recorded and the load hooks run.
#include <benchmark/benchmark.h>

#include "platform/dispatch.h"
#include "platform/startup.h"

int main(int argc, char** argv) {
    ns::processStartup(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    // A benchmark's client leaves pooled work behind (analytics monitoring
    // draws random numbers, a cache flushes): let it finish first, as a test
    // process does, so that it ends with the statics it uses still there.
    ns::waitForQueuedWork(30);
    return 0;
}
