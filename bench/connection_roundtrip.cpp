// The wire-protocol client against the back end's realtime database server,
// measured against a raw web-socket echo on the same loopback listener in the
// same run ("ratio" = client time / echo time):
//   - one put and its acknowledgement, against one echo round trip of a text
//     of the put packet's size;
//   - 10,000 small puts sent back to back until the last acknowledgement,
//     against 10,000 echoes sent back to back until the last one returns.
// The server's journal lives on /dev/shm when there is one, so its
// fdatasync costs next to nothing and the protocol's own costs show.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>

#include "database/connection/FPersistentConnection.h"
#include "database/connection/FSRWebSocket.h"
#include "database/connection/FWorkerQueue.h"
#include "database/model/FUtilities.h"
#include "platform/json.h"
#include "platform/sandbox.h"

namespace {

constexpr size_t kPipelined = 10000;
constexpr size_t kRoundTrips = 200;

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Counts events and lets a thread wait for a number of them.
class Counter {
public:
    void add() {
        std::lock_guard lock(mutex_);
        ++count_;
        cv_.notify_all();
    }
    void waitFor(uint64_t target) {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, std::chrono::seconds(60), [&] { return count_ >= target; })) {
            throw std::runtime_error("timed out waiting for answers");
        }
    }
    uint64_t count() {
        std::lock_guard lock(mutex_);
        return count_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    uint64_t count_ = 0;
};

// The back end program of this build, on a data dir of its own.
class BackendProcess {
public:
    BackendProcess() {
        const auto self = std::filesystem::read_symlink("/proc/self/exe");
        const auto program = self.parent_path().parent_path() / "backend" / "almavel-backend";
        if (!std::filesystem::exists(program)) throw std::runtime_error("no back end at " + program.string());
        const std::filesystem::path base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
        dir_ = base / ("almavel-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        const std::string ready = (dir_ / "ready.json").string();
        const std::string data = (dir_ / "data").string();
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string log = (dir_ / "backend.log").string();
            if (!std::freopen(log.c_str(), "w", stdout) || !std::freopen(log.c_str(), "a", stderr)) _exit(126);
            ::execl(program.c_str(), program.c_str(), "--data-dir", data.c_str(), "--ready-file", ready.c_str(),
                    static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 600 && !std::filesystem::exists(ready); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        std::ifstream in(ready);
        const auto info = nlohmann::json::parse(in, nullptr, false);
        if (!info.is_object()) throw std::runtime_error("the back end did not come up");
        wsPort = info.value("ws", 0);
    }
    ~BackendProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    int wsPort = 0;

private:
    pid_t pid_ = -1;
    std::filesystem::path dir_;
};

class EchoDelegate : public FSRWebSocketDelegate {
public:
    void webSocket(const std::shared_ptr<FSRWebSocket>&, const ns::Value&) override { messages.add(); }
    void webSocketDidOpen(const std::shared_ptr<FSRWebSocket>&) override { opened.add(); }
    Counter messages;
    Counter opened;
};

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
        const auto sandboxDir = std::filesystem::temp_directory_path() / ("almavel-bench-sandbox-" +
                                                                           std::to_string(::getpid()));
        ns::Sandbox::setCurrent(ns::Sandbox::open(sandboxDir.string()));
        sandboxDir_ = sandboxDir;
        backend_ = std::make_unique<BackendProcess>();
        const std::string port = std::to_string(backend_->wsPort);

        echoDelegate_ = std::make_shared<EchoDelegate>();
        echo_ = FSRWebSocket::make(ns::URLRequest("ws://echo.localhost:" + port + "/echo"), echoQueue_, std::nullopt);
        echo_->setDelegateDispatchQueue(echoQueue_);
        echo_->setDelegate(echoDelegate_);
        echo_->open();
        echoDelegate_->opened.waitFor(1);

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

    double echoRoundTrips() {
        const uint64_t base = echoDelegate_->messages.count();
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < kRoundTrips; ++i) {
            echo_->send(ns::Value(echoText_));
            echoDelegate_->messages.waitFor(base + i + 1);
        }
        return seconds(start);
    }

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

    double pipelinedEchoes() {
        const uint64_t base = echoDelegate_->messages.count();
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < kPipelined; ++i) echo_->send(ns::Value(echoText_));
        echoDelegate_->messages.waitFor(base + kPipelined);
        return seconds(start);
    }

private:
    std::filesystem::path sandboxDir_;
    std::unique_ptr<BackendProcess> backend_;
    ns::DispatchQueuePtr worker_ = FWorkerQueue::sharedQueue();
    ns::DispatchQueuePtr echoQueue_ = ns::DispatchQueue::serial("bench.echo");
    std::shared_ptr<EchoDelegate> echoDelegate_;
    std::shared_ptr<FSRWebSocket> echo_;
    std::shared_ptr<ClientDelegate> clientDelegate_;
    std::shared_ptr<FPersistentConnection> client_;
    std::string echoText_;
};

Fixture& fixture() {
    static Fixture* f = new Fixture;
    return *f;
}

template <double (Fixture::*Subject)(), double (Fixture::*Baseline)()>
void runAgainstEcho(benchmark::State& state, size_t operations) {
    double subject = 0, baseline = 0;
    try {
        Fixture& f = fixture();
        for (auto _ : state) {
            const double s = (f.*Subject)();
            const double b = (f.*Baseline)();
            subject += s;
            baseline += b;
            state.SetIterationTime(s);
        }
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    state.counters["ratio"] = subject / baseline;
    state.counters["us/op"] = subject / double(operations * state.iterations()) * 1e6;
    state.counters["echo us/op"] = baseline / double(operations * state.iterations()) * 1e6;
}

void PutRoundTrip(benchmark::State& state) {
    runAgainstEcho<&Fixture::putRoundTrips, &Fixture::echoRoundTrips>(state, kRoundTrips);
}
void PipelinedPuts10000(benchmark::State& state) {
    runAgainstEcho<&Fixture::pipelinedPuts, &Fixture::pipelinedEchoes>(state, kPipelined);
}

BENCHMARK(PutRoundTrip)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK(PipelinedPuts10000)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);

}  // namespace

BENCHMARK_MAIN();
