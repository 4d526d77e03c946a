// The wire-protocol client against the back end's realtime database server,
// measured against a raw web-socket echo on the same loopback listener in the
// same run ("ratio" = client time / echo time):
//   - one put and its acknowledgement, against one echo round trip of a text
//     of the put packet's size;
//   - 10,000 small puts sent back to back until the last acknowledgement,
//     against 10,000 echoes sent back to back until the last one returns.
// The server's journal lives on /dev/shm when there is one, so its
// fdatasync costs next to nothing and the protocol's own costs show.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "backend_process.h"
#include "database/connection/FPersistentConnection.h"
#include "database/connection/FWorkerQueue.h"
#include "database/model/FUtilities.h"
#include "platform/json.h"
#include "support/fixture.h"

namespace {

using namespace benchsupport;

constexpr size_t kPipelined = 10000;
constexpr size_t kRoundTrips = 200;

class ClientDelegate : public FPersistentConnectionDelegate {
public:
    void onDataUpdate(FPersistentConnection&, const std::string&, const ns::Value&, bool,
                      std::optional<FQueryTag>) override {}
    void onRangeMerge(const std::vector<FRangeMerge>&, const std::string&, std::optional<FQueryTag>) override {}
    void onConnect(FPersistentConnection&) override { connects.add(); }
    void onDisconnect(FPersistentConnection&) override {}
    void onServerInfoUpdate(FPersistentConnection&, const ns::Dictionary&) override {}
    Counter connects;
};

class Fixture {
public:
    Fixture() {
        backend_ = std::make_unique<BackendProcess>();
        const std::string port = std::to_string(backend_->wsPort);
        echo_ = std::make_unique<Echo>(*backend_);

        clientDelegate_ = std::make_shared<ClientDelegate>();
        auto repoInfo = FUtilities::parseUrl("http://bench.ns.localhost:" + port).repoInfo;
        auto config = std::make_shared<QRVDatabaseConfig>("bench", std::make_shared<QRVNoopAuthTokenProvider>());
        worker_->sync([&] {
            client_ = FPersistentConnection::make(repoInfo, worker_, config);
            client_->setDelegate(clientDelegate_);
            client_->open();
        });
        clientDelegate_->connects.waitFor(1);
        // The first put answered means the restore after the handshake is over.
        Counter first;
        worker_->async([&] {
            client_->putData(ns::Value(0), "/bench/warm", std::nullopt,
                             [&](const std::string&, const std::optional<std::string>&) { first.add(); });
        });
        first.waitFor(1);
        // An echo of the same size as a put packet.
        echoText_ = ns::json::serialize(ns::Value(ns::Dictionary{
            {"t", "d"},
            {"d", ns::Dictionary{{"r", 12345}, {"a", "p"}, {"b", ns::Dictionary{{"p", "/bench/k"}, {"d", 12345}}}}}}));
    }

    double putRoundTrips() {
        Counter acks;
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < kRoundTrips; ++i) {
            worker_->async([&, i] {
                client_->putData(ns::Value(int64_t(i)), "/bench/k", std::nullopt,
                                 [&](const std::string& status, const std::optional<std::string>&) {
                                     if (status != "ok") std::abort();
                                     acks.add();
                                 });
            });
            acks.waitFor(i + 1);
        }
        return seconds(start);
    }

    double echoRoundTrips() { return echo_->roundTrips(echoText_, kRoundTrips); }

    double pipelinedPuts() {
        Counter acks;
        const auto start = std::chrono::steady_clock::now();
        worker_->async([&] {
            for (size_t i = 0; i < kPipelined; ++i) {
                client_->putData(ns::Value(int64_t(i)), "/bench/p/" + std::to_string(i % 100), std::nullopt,
                                 [&](const std::string& status, const std::optional<std::string>&) {
                                     if (status != "ok") std::abort();
                                     acks.add();
                                 });
            }
        });
        acks.waitFor(kPipelined);
        return seconds(start);
    }

    double pipelinedEchoes() { return echo_->pipelined(echoText_, kPipelined); }

private:
    std::unique_ptr<BackendProcess> backend_;
    ns::DispatchQueuePtr worker_ = FWorkerQueue::sharedQueue();
    std::unique_ptr<Echo> echo_;
    std::shared_ptr<ClientDelegate> clientDelegate_;
    std::shared_ptr<FPersistentConnection> client_;
    std::string echoText_;
};

Fixture& fixture() {
    return benchsupport::sharedFixture<Fixture>();
}

void PutRoundTrip(benchmark::State& state) {
    runAgainstBaseline(state, fixture, &Fixture::putRoundTrips, &Fixture::echoRoundTrips, kRoundTrips);
}
void PipelinedPuts10000(benchmark::State& state) {
    runAgainstBaseline(state, fixture, &Fixture::pipelinedPuts, &Fixture::pipelinedEchoes, kPipelined);
}

BENCHMARK(PutRoundTrip)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(PipelinedPuts10000)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);

}  // namespace

BENCHMARK_MAIN();
