// A subject and its baseline run one after the other in every iteration of
// a benchmark, so both see the same machine; the iteration is timed by the
// subject (manual time) and both are summed for the ratio.
#pragma once

#include <benchmark/benchmark.h>

#include <exception>

namespace benchsupport {

struct PairedTotals {
    double subject = 0;
    double baseline = 0;
    bool ran = false;  // false: a step threw, and the run is marked skipped with its message
};

// `setup` runs once before the first iteration (making the fixture, say);
// `subject` and `baseline` return their seconds.
template <class Setup, class Subject, class Baseline>
PairedTotals runPaired(benchmark::State& state, Setup&& setup, Subject&& subject, Baseline&& baseline) {
    PairedTotals totals;
    try {
        setup();
        for (auto _ : state) {
            const double s = subject();
            const double b = baseline();
            totals.subject += s;
            totals.baseline += b;
            state.SetIterationTime(s);
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return totals;
    }
    totals.ran = true;
    return totals;
}

}  // namespace benchsupport
