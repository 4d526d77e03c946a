// A public event of a few parameters logged through the analytics facade, as
// the app logs one, on the caller's thread: the name checked, the configure
// check, the screen parameters looked up, the time taken and the event
// handed to the operation queue. The engine exists but measurement is off
// (the options deactivate it), so what the queues do afterwards is no
// store work, and they are drained between batches outside the timing.
// Against the least a hand-off costs: an empty block given to a serial
// dispatch queue.
#include <benchmark/benchmark.h>

#include "analytics/QRVAnalytics.h"
#include "core/QRVApp.h"
#include "engine_bench.h"

namespace {

constexpr int kBatch = 64;

// Everything the facade queued so far has run: the operation queue, the
// serial queue behind it, then the engine's worker queue.
void drainFacade() {
    std::atomic<bool> done = false;
    QRVAnalytics::queueOperationWithBlock([&done] { done = true; });
    ns::RunLoop::main().runUntil([&] { return done.load(); }, 600);
    if (auto engine = QRVAMeasurement::sharedInstance()) analyticsbench::onWorker(*engine, [] {});
}

void drain(const ns::DispatchQueuePtr& queue) {
    queue->sync([] {});
}

void AnalyticsFacadeLogEvent(benchmark::State& state) {
    analyticsbench::BenchSandbox sandbox({{kQRVOptionsKeyAnalyticsCollectionDeactivated, true}});
    // The facade as loaded at program start, once its bundle is in place.
    QRVAnalytics::load();
    QRVApp::configure(QRVOptions::defaultOptions());
    drainFacade();
    auto engine = QRVAMeasurement::hasSharedInstance() ? QRVAMeasurement::sharedInstance() : nullptr;
    if (!QRVApp::defaultApp() || !engine || engine->isEnabled()) {
        state.SkipWithError("the facade did not start with measurement off");
        return;
    }
    const QRVAObjectParameters parameters{{"item_id", "7450001123456"}, {"item_category", "despensa"},
                                          {"quantity", 2}, {"value", 4.75}};
    auto queue = ns::DispatchQueue::serial("pa.almavel.bench.handoff");
    double facadeSeconds = 0, queueSeconds = 0;
    for (auto _ : state) {
        facadeSeconds += analyticsbench::secondsOf([&] {
            for (int i = 0; i < kBatch; ++i) QRVAnalytics::logEventWithName("view_item", parameters);
        });
        queueSeconds += analyticsbench::secondsOf([&] {
            for (int i = 0; i < kBatch; ++i) queue->async([] {});
        });
        state.PauseTiming();
        drainFacade();
        drain(queue);
        state.ResumeTiming();
    }
    state.counters["ratio"] = facadeSeconds / queueSeconds;
    const double calls = double(state.iterations()) * kBatch;
    state.counters["subject_ns"] = facadeSeconds * 1e9 / calls;
    state.counters["baseline_ns"] = queueSeconds * 1e9 / calls;
    state.SetItemsProcessed(int64_t(state.iterations()) * kBatch);
    QRVAnalytics::resetForTesting();
    QRVApp::resetForTesting();
}
BENCHMARK(AnalyticsFacadeLogEvent)->Unit(benchmark::kMicrosecond);

}  // namespace

// The main thread bound; of the load hooks only the facade's runs (in the
// benchmark, in its sandbox): the other parts' would answer the configure
// call by registering the device over the network.
int main(int argc, char** argv) {
    ns::RunLoop::bindMainThread();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
