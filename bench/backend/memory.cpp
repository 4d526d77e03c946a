// The back end's resident memory under the same load again and again: each
// round, 200 clients connect to the realtime database over raw web sockets,
// each sends 200 puts back to back to the same 200 paths as in every other
// round, waits for their acknowledgements and hangs up. The stored data is
// the same size after every round, so memory that keeps growing from round
// to round is the allocator's, not the data's. Counters: the back end's
// resident set after round 2 and round 10 (MB), "ratio" = round 10 / round 2
// (target 1.2), and the puts' throughput over all rounds.

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "../backend_process.h"

namespace {

using namespace benchsupport;

constexpr size_t kClients = 200;
constexpr size_t kPuts = 200;
constexpr int kRounds = 10;

// The back end is this process's only child; BackendProcess keeps its id to
// itself.
pid_t backendPid() {
    const std::string self = std::to_string(::getpid());
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream status(entry.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("PPid:", 0) != 0) continue;
            if (line.substr(line.find_first_not_of(" \t", 5)) == self) return std::stoi(entry.path().filename());
            break;
        }
    }
    throw std::runtime_error("the back end process is not running");
}

double residentMegabytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    throw std::runtime_error("no resident size for the back end");
}

// One client: a raw web socket on the realtime database endpoint, counting
// the put acknowledgements that come back.
class Client : public FSRWebSocketDelegate {
public:
    static std::shared_ptr<Client> open(const BackendProcess& backend, size_t index) {
        auto client = std::make_shared<Client>();
        client->index_ = index;
        client->socket_ = FSRWebSocket::make(
            ns::URLRequest("ws://bench.ns.localhost:" + std::to_string(backend.wsPort) + "/.ws?v=5&ns=bench"),
            client->queue_, std::nullopt);
        client->socket_->setDelegateDispatchQueue(client->queue_);
        client->socket_->setDelegate(client);
        client->socket_->open();
        return client;
    }

    // Waits for the server's handshake, then sends every put back to back.
    void sendPuts(int round) {
        handshakes.waitFor(1);
        const std::string text(160, char('a' + round % 26));
        for (size_t i = 0; i < kPuts; ++i) {
            socket_->send(ns::Value("{\"t\":\"d\",\"d\":{\"r\":" + std::to_string(i + 1) +
                                    ",\"a\":\"p\",\"b\":{\"p\":\"/load/c" + std::to_string(index_) + "/p" +
                                    std::to_string(i) + "\",\"d\":{\"round\":" + std::to_string(round) +
                                    ",\"n\":" + std::to_string(i) + ",\"text\":\"" + text + "\"}}}}"));
        }
    }
    void close() { socket_->close(); }

    void webSocket(const std::shared_ptr<FSRWebSocket>&, const ns::Value& message) override {
        const std::string& text = message.asString();
        if (text.find("\"t\":\"h\"") != std::string::npos) return handshakes.add();
        if (text.find("\"r\":") == std::string::npos) return;
        if (text.find("\"s\":\"ok\"") == std::string::npos) failures.fetch_add(1);
        acks.add();
    }

    Counter handshakes;
    Counter acks;
    std::atomic<int> failures{0};

private:
    size_t index_ = 0;
    ns::DispatchQueuePtr queue_ = ns::DispatchQueue::serial("bench.client");
    std::shared_ptr<FSRWebSocket> socket_;
};

// One round; returns the seconds from the first put sent to the last
// acknowledgement.
double round(const BackendProcess& backend, int number) {
    std::vector<std::shared_ptr<Client>> clients;
    for (size_t c = 0; c < kClients; ++c) clients.push_back(Client::open(backend, c));
    for (auto& client : clients) client->handshakes.waitFor(1);
    const auto start = std::chrono::steady_clock::now();
    for (auto& client : clients) client->sendPuts(number);
    for (auto& client : clients) client->acks.waitFor(kPuts);
    const double elapsed = seconds(start);
    for (auto& client : clients) {
        if (client->failures.load() != 0) throw std::runtime_error("a put was refused");
        client->close();
    }
    // Read once the back end is quiet: it lets go of a connection when it
    // has seen it close, and an allocator may hand freed pages back to the
    // system a moment later. What is still resident then is what it keeps.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    return elapsed;
}

void BackendMemoryRepeatedLoad(benchmark::State& state) {
    try {
        for (auto _ : state) {
            BackendProcess backend;
            const pid_t pid = backendPid();
            double putSeconds = 0, round2 = 0, round10 = 0;
            for (int r = 1; r <= kRounds; ++r) {
                putSeconds += round(backend, r);
                const double resident = residentMegabytes(pid);
                if (r == 2) round2 = resident;
                if (r == kRounds) round10 = resident;
            }
            state.SetIterationTime(putSeconds);
            state.counters["round2"] = round2;
            state.counters["round10"] = round10;
            state.counters["ratio"] = round10 / round2;
            state.counters["puts/s"] = double(kClients * kPuts * kRounds) / putSeconds;
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
    }
}

BENCHMARK(BackendMemoryRepeatedLoad)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
