// The back end's own share of the database's answers, with no SDK in the
// way: protocol text on a raw web socket, against the raw echo on the same
// listener in the same run ("ratio" = database time / echo time):
//   - RawListenOneOf40k: a listen of one product of a 40,000-product
//     catalogue, timed to its data push (its answer and the unlisten's come
//     back untimed), against an echo of the push's size;
//   - RawPutRoundTrip: one put and its answer, against one echo of its size;
//   - RawPipelinedPuts10000: 10,000 puts to distinct children sent back to
//     back until the last answer, against as many pipelined echoes.
// Beside the times, what the back end spent per operation on either side:
// processor time ("cpu us/op") and thread switches ("switches/op"), summed
// over its threads (a listen's include its unlisten). On a shared machine these move far less than the
// times, and the switches count the hand-offs between threads an answer
// takes.

#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "../backend_process.h"
#include "../support/catalogue.h"
#include "../support/fixture.h"

namespace {

using namespace benchsupport;

constexpr size_t kLookUps = 200;
constexpr size_t kRoundTrips = 200;
constexpr size_t kPipelined = 10000;

// A raw web socket that counts what comes back.
class Socket : public FSRWebSocketDelegate {
public:
    static std::shared_ptr<Socket> open(const std::string& url) {
        auto socket = std::make_shared<Socket>();
        socket->socket_ = FSRWebSocket::make(ns::URLRequest(url), socket->queue_, std::nullopt);
        socket->socket_->setDelegateDispatchQueue(socket->queue_);
        socket->socket_->setDelegate(socket);
        socket->socket_->open();
        socket->opened_.waitFor(1);
        return socket;
    }

    void send(const std::string& text) { socket_->send(ns::Value(text)); }
    uint64_t received() { return messages_.count(); }
    void waitFor(uint64_t count) { messages_.waitFor(count); }

    void webSocket(const std::shared_ptr<FSRWebSocket>&, const ns::Value&) override { messages_.add(); }
    void webSocketDidOpen(const std::shared_ptr<FSRWebSocket>&) override { opened_.add(); }

private:
    Counter messages_;
    Counter opened_;
    ns::DispatchQueuePtr queue_ = ns::DispatchQueue::serial("bench.socket");
    std::shared_ptr<FSRWebSocket> socket_;
};

class Fixture {
public:
    Fixture() {
        backend_.admin("POST", "/__admin/rtdb/data?ns=bench&path=/bench/productos",
                       nlohmann::json{{"data", nlohmann::json::parse(catalogueText())}});
        const std::string port = std::to_string(backend_.wsPort);
        database_ = Socket::open("ws://bench.ns.localhost:" + port + "/.ws?v=5&ns=bench");
        database_->waitFor(1);  // the handshake
        echo_ = Socket::open("ws://echo.localhost:" + port + "/echo");
    }

    // Each returns its seconds and adds the back end's usage to `usage`.
    double listens(Usage& usage) {
        return measured(usage, [&] {
            double timed = 0;
            for (size_t i = 0; i < kLookUps; ++i) {
                const std::string path =
                    "\"/bench/productos/" + productCode(int(lookUp_++ * 7919 % kCatalogueProducts)) + "\"";
                const uint64_t base = database_->received();
                const auto start = std::chrono::steady_clock::now();
                send("q", "{\"p\":" + path + ",\"h\":\"\"}");
                database_->waitFor(base + 1);
                timed += seconds(start);
                send("n", "{\"p\":" + path + "}");
                database_->waitFor(base + 3);
            }
            return timed;
        });
    }

    double putRoundTrips(Usage& usage) {
        return measured(usage, [&] {
            const auto start = std::chrono::steady_clock::now();
            for (size_t i = 0; i < kRoundTrips; ++i) {
                const uint64_t base = database_->received();
                send("p", "{\"p\":\"/bench/k\",\"d\":" + std::to_string(i) + "}");
                database_->waitFor(base + 1);
            }
            return seconds(start);
        });
    }

    double pipelinedPuts(Usage& usage) {
        return measured(usage, [&] {
            const uint64_t base = database_->received();
            const auto start = std::chrono::steady_clock::now();
            for (size_t i = 0; i < kPipelined; ++i) {
                send("p", "{\"p\":\"/bench/p/" + std::to_string(i) + "\",\"d\":" + std::to_string(i) + "}");
            }
            database_->waitFor(base + kPipelined);
            return seconds(start);
        });
    }

    double echoes(Usage& usage, size_t bytes, size_t count, bool pipelined) {
        const std::string text(bytes, 'x');
        return measured(usage, [&] {
            const uint64_t base = echo_->received();
            const auto start = std::chrono::steady_clock::now();
            for (size_t i = 0; i < count; ++i) {
                echo_->send(text);
                if (!pipelined) echo_->waitFor(base + i + 1);
            }
            echo_->waitFor(base + count);
            return seconds(start);
        });
    }

    // A listen's data push and a put, as the server words them.
    size_t pushBytes() const {
        return productPushText(0).size();
    }
    size_t putBytes() const {
        return std::string("{\"t\":\"d\",\"d\":{\"r\":12345,\"a\":\"p\",\"b\":{\"p\":\"/bench/p/1234\",\"d\":1234}}}").size();
    }

private:
    template <class F>
    double measured(Usage& usage, F&& run) {
        const Usage before = usageOf(backend_.pid());
        const double elapsed = run();
        const Usage after = usageOf(backend_.pid());
        usage.cpuNs += after.cpuNs - before.cpuNs;
        usage.switches += after.switches - before.switches;
        return elapsed;
    }

    void send(const char* action, const std::string& body) {
        database_->send("{\"t\":\"d\",\"d\":{\"r\":" + std::to_string(++request_) + ",\"a\":\"" + action +
                        "\",\"b\":" + body + "}}");
    }

    BackendProcess backend_;
    std::shared_ptr<Socket> database_;
    std::shared_ptr<Socket> echo_;
    int64_t lookUp_ = 0;
    int64_t request_ = 0;
};

Fixture& fixture() {
    return benchsupport::sharedFixture<Fixture>();
}

template <class Subject, class Baseline>
void against(benchmark::State& state, Subject subject, Baseline baseline, size_t operations) {
    Usage subjectUsage, baselineUsage;
    const PairedTotals totals = runPaired(
        state, [] { fixture(); }, [&] { return subject(subjectUsage); }, [&] { return baseline(baselineUsage); });
    if (!totals.ran) return;
    setRoundTripCounters(state, totals, operations);
    const double ops = double(operations * state.iterations());
    state.counters["cpu us/op"] = subjectUsage.cpuNs / ops / 1e3;
    state.counters["echo cpu us/op"] = baselineUsage.cpuNs / ops / 1e3;
    state.counters["switches/op"] = subjectUsage.switches / ops;
    state.counters["echo switches/op"] = baselineUsage.switches / ops;
}

void RawListenOneOf40k(benchmark::State& state) {
    against(
        state, [](Usage& u) { return fixture().listens(u); },
        [](Usage& u) { return fixture().echoes(u, fixture().pushBytes(), kLookUps, false); }, kLookUps);
}

void RawPutRoundTrip(benchmark::State& state) {
    against(
        state, [](Usage& u) { return fixture().putRoundTrips(u); },
        [](Usage& u) { return fixture().echoes(u, fixture().putBytes(), kRoundTrips, false); }, kRoundTrips);
}

void RawPipelinedPuts10000(benchmark::State& state) {
    against(
        state, [](Usage& u) { return fixture().pipelinedPuts(u); },
        [](Usage& u) { return fixture().echoes(u, fixture().putBytes(), kPipelined, true); }, kPipelined);
}

BENCHMARK(RawListenOneOf40k)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1);
BENCHMARK(RawPutRoundTrip)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1);
BENCHMARK(RawPipelinedPuts10000)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1);

}  // namespace

BENCHMARK_MAIN();
