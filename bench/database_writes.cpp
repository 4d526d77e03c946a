// Writes through the public API (a reference's setValue with a completion
// block, through the repository, the sync tree and the wire-protocol client
// to the back end's realtime server and back to the callback queue),
// measured against a raw web-socket echo on the same loopback listener in
// the same run ("ratio" = write time / echo time):
//   - one setValue and its completion, against one echo round trip of a
//     text of the put packet's size (target 1.3);
//   - 10,000 setValue calls to distinct children made back to back until the
//     last completion, against 10,000 echoes sent back to back until the
//     last one returns (target 2).
// Beside the times, the processor time per operation of either side, this
// process's ("client cpu us/op") and the back end's ("back-end cpu us/op"),
// summed over their threads: on a shared machine they move far less than
// the times, and show which side a change moved.

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>

#include "backend_process.h"
#include "database/api/QRVDatabase.h"
#include "database/api/QRVDatabaseReference.h"
#include "database/connection/FAuthTokenProvider.h"
#include "database/model/FUtilities.h"
#include "platform/json.h"
#include "support/fixture.h"

namespace {

using namespace benchsupport;

constexpr size_t kPipelined = 10000;
constexpr size_t kRoundTrips = 200;

class Fixture {
public:
    Fixture() : echo_(backend_) {
        auto config = std::make_shared<QRVDatabaseConfig>("bench", std::make_shared<QRVNoopAuthTokenProvider>());
        config->setCallbackQueue(callbacks_);
        database_ = QRVDatabase::createDatabaseForTests(
            FUtilities::parseUrl("http://bench.ns.localhost:" + std::to_string(backend_.wsPort)).repoInfo, config);
        root_ = database_->reference();
        Counter warm;
        root_->child("bench/warm")->setValue(0, [&](ns::ErrorRef, QRVDatabaseReferencePtr) { warm.add(); });
        warm.waitFor(1);
        // An echo of the size of a put packet for a pipelined write.
        echoText_ = ns::json::serialize(ns::Value(ns::Dictionary{
            {"t", "d"},
            {"d", ns::Dictionary{{"r", 12345}, {"a", "p"}, {"b", ns::Dictionary{{"p", "bench/p/12345"}, {"d", 123456}}}}}}));
    }

    double setRoundTrips() {
        Counter acks;
        auto ref = root_->child("bench/k");
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < kRoundTrips; ++i) {
            ref->setValue(int64_t(i), [&](ns::ErrorRef error, QRVDatabaseReferencePtr) {
                if (error) std::abort();
                acks.add();
            });
            acks.waitFor(i + 1);
        }
        return seconds(start);
    }

    double pipelinedSets() {
        Counter acks;
        auto parent = root_->child("bench/p");
        // Each pass writes values the children do not hold yet: rewriting
        // what is stored lets the back end keep its tree as it is.
        const int64_t base = int64_t(++passes_ * kPipelined);
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < kPipelined; ++i) {
            parent->child(std::to_string(i))->setValue(base + int64_t(i), [&](ns::ErrorRef error, QRVDatabaseReferencePtr) {
                if (error) std::abort();
                acks.add();
            });
        }
        acks.waitFor(kPipelined);
        return seconds(start);
    }

    double echoRoundTrips() { return echo_.roundTrips(echoText_, kRoundTrips); }
    double pipelinedEchoes() { return echo_.pipelined(echoText_, kPipelined); }

    // Runs `step`, adding what either process spent on it.
    double measured(double (Fixture::*step)(), Usage& client, Usage& backend) {
        const Usage clientBefore = usageOf(::getpid());
        const Usage backendBefore = usageOf(backend_.pid());
        const double elapsed = (this->*step)();
        const Usage clientAfter = usageOf(::getpid());
        const Usage backendAfter = usageOf(backend_.pid());
        client.cpuNs += clientAfter.cpuNs - clientBefore.cpuNs;
        backend.cpuNs += backendAfter.cpuNs - backendBefore.cpuNs;
        return elapsed;
    }

private:
    BackendProcess backend_;
    Echo echo_;
    ns::DispatchQueuePtr callbacks_ = ns::DispatchQueue::serial("bench.callbacks");
    std::shared_ptr<QRVDatabase> database_;
    QRVDatabaseReferencePtr root_;
    std::string echoText_;
    size_t passes_ = 0;
};

Fixture& fixture() {
    return benchsupport::sharedFixture<Fixture>();
}

void against(benchmark::State& state, double (Fixture::*subject)(), double (Fixture::*baseline)(), size_t operations) {
    Usage client, backend, echoClient, echoBackend;
    const PairedTotals totals = runPaired(
        state, [] { fixture(); }, [&] { return fixture().measured(subject, client, backend); },
        [&] { return fixture().measured(baseline, echoClient, echoBackend); });
    if (!totals.ran) return;
    setRoundTripCounters(state, totals, operations);
    const double ops = double(operations * state.iterations());
    state.counters["client cpu us/op"] = client.cpuNs / ops / 1e3;
    state.counters["back-end cpu us/op"] = backend.cpuNs / ops / 1e3;
    state.counters["echo client cpu us/op"] = echoClient.cpuNs / ops / 1e3;
    state.counters["echo back-end cpu us/op"] = echoBackend.cpuNs / ops / 1e3;
}

void SetValueRoundTrip(benchmark::State& state) {
    against(state, &Fixture::setRoundTrips, &Fixture::echoRoundTrips, kRoundTrips);
}
void PipelinedSetValues10000(benchmark::State& state) {
    against(state, &Fixture::pipelinedSets, &Fixture::pipelinedEchoes, kPipelined);
}

BENCHMARK(SetValueRoundTrip)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(PipelinedSetValues10000)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);

}  // namespace

BENCHMARK_MAIN();
