#pragma once
// What the benchmarks against the local back end share: the back end program
// of this build on a data dir of its own (on /dev/shm when there is one, so
// the server's journal fdatasync costs next to nothing and the client's own
// costs show), its admin endpoints, a counter threads wait on, and a raw
// web-socket echo on the back end's /echo endpoint, the baseline the client
// is measured against.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>

#include "database/connection/FSRWebSocket.h"
#include "platform/dispatch.h"
#include "platform/sandbox.h"
#include "support/paired.h"

namespace benchsupport {

inline double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Processor time (ns) and thread switches of a process so far, over the
// threads it has now.
struct Usage {
    double cpuNs = 0;
    double switches = 0;
};

inline Usage usageOf(pid_t pid) {
    Usage usage;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
        std::ifstream schedstat(task.path() / "schedstat");
        double ns = 0;
        if (schedstat >> ns) usage.cpuNs += ns;
        std::ifstream status(task.path() / "status");
        for (std::string line; std::getline(status, line);) {
            if (line.find("ctxt_switches:") != std::string::npos) {
                usage.switches += std::stod(line.substr(line.find(':') + 1));
            }
        }
    }
    return usage;
}

// Counts events and lets a thread wait for a number of them.
class Counter {
public:
    void add() {
        std::lock_guard lock(mutex_);
        // The waiter is woken once, when its count is reached: waking it at
        // every add would put a thread switch per answer into what is timed.
        if (++count_ == awaited_) cv_.notify_all();
    }
    void waitFor(uint64_t target) {
        std::unique_lock lock(mutex_);
        awaited_ = target;
        const bool reached = cv_.wait_for(lock, std::chrono::seconds(60), [&] { return count_ >= target; });
        awaited_ = 0;
        if (!reached) throw std::runtime_error("timed out waiting for answers");
    }
    uint64_t count() {
        std::lock_guard lock(mutex_);
        return count_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    uint64_t count_ = 0;
    uint64_t awaited_ = 0;  // what a waiter waits for; 0 while nobody waits
};

// The back end program of this build, on a data dir of its own, with a
// sandbox of the benchmark's own for the client. The back end dies with the
// benchmark, and the dir goes when this is destroyed.
class BackendProcess {
public:
    BackendProcess() {
        const auto self = std::filesystem::read_symlink("/proc/self/exe");
        const auto program = self.parent_path().parent_path() / "backend" / "almavel-backend";
        if (!std::filesystem::exists(program)) throw std::runtime_error("no back end at " + program.string());
        const std::filesystem::path base = std::filesystem::exists("/dev/shm") ? "/dev/shm" : "/tmp";
        dir_ = base / ("almavel-bench-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        try {
            ns::Sandbox::setCurrent(ns::Sandbox::open((dir_ / "sandbox").string()));
            launch(program.string());
        } catch (...) {
            stop();
            throw;
        }
    }
    ~BackendProcess() { stop(); }
    BackendProcess(const BackendProcess&) = delete;
    BackendProcess& operator=(const BackendProcess&) = delete;

    // An admin request; throws unless it is answered 200.
    nlohmann::json admin(const std::string& method, const std::string& path, const nlohmann::json& body = {}) const {
        httplib::Client client("127.0.0.1", httpPort);
        client.set_read_timeout(60, 0);
        httplib::Headers headers{{"X-Almavel-Admin-Secret", adminSecret}};
        auto reply = method == "GET" ? client.Get(path, headers)
                                     : client.Post(path, headers, body.dump(), "application/json");
        if (!reply || reply->status != 200) {
            throw std::runtime_error("admin " + path + " failed" + (reply ? ": " + reply->body : std::string()));
        }
        return nlohmann::json::parse(reply->body, nullptr, false);
    }

    // The back end's process id, for benchmarks that read its resources.
    pid_t pid() const { return pid_; }

    int wsPort = 0;
    int httpPort = 0;
    std::string adminSecret;

private:
    void launch(const std::string& program) {
        const std::string ready = (dir_ / "ready.json").string();
        const std::string data = (dir_ / "data").string();
        const std::string log = (dir_ / "backend.log").string();
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("cannot start the back end");
        if (pid_ == 0) {
            // Only async-signal-safe calls between fork and exec.
            const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (out < 0) ::_exit(126);
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
            ::close_range(3, ~0u, 0);
            // A benchmark that dies, or exits without its destructors, must
            // not leave its back end behind.
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) ::_exit(1);
            struct sigaction dfl {};
            dfl.sa_handler = SIG_DFL;
            ::sigaction(SIGTERM, &dfl, nullptr);
            sigset_t none;
            ::sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::execl(program.c_str(), program.c_str(), "--data-dir", data.c_str(), "--ready-file", ready.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        for (int i = 0; i < 600 && !std::filesystem::exists(ready); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        std::ifstream in(ready);
        const auto info = nlohmann::json::parse(in, nullptr, false);
        if (!info.is_object()) throw std::runtime_error("the back end did not come up");
        wsPort = info.value("ws", 0);
        httpPort = info.value("http", 0);
        adminSecret = info.value("adminSecret", std::string());
    }
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    pid_t pid_ = -1;
    std::filesystem::path dir_;
};

// A raw web socket on the back end's echo endpoint (or another of its
// web-socket endpoints), counting what comes back.
class Echo {
public:
    explicit Echo(const BackendProcess& backend)
        : Echo("ws://echo.localhost:" + std::to_string(backend.wsPort) + "/echo") {}
    explicit Echo(const std::string& url) {
        delegate_ = std::make_shared<Delegate>();
        socket_ = FSRWebSocket::make(ns::URLRequest(url), queue_, std::nullopt);
        socket_->setDelegateDispatchQueue(queue_);
        socket_->setDelegate(delegate_);
        socket_->open();
        delegate_->opened.waitFor(1);
    }

    // A text sent, timed until `timed` more messages have come back; returns
    // once `answers` have.
    double exchange(const std::string& text, uint64_t timed, uint64_t answers) {
        const uint64_t base = delegate_->messages.count();
        const auto start = std::chrono::steady_clock::now();
        socket_->send(ns::Value(text));
        delegate_->messages.waitFor(base + timed);
        const double elapsed = seconds(start);
        delegate_->messages.waitFor(base + answers);
        return elapsed;
    }
    void waitForMessages(uint64_t count) { delegate_->messages.waitFor(count); }

    // `count` texts sent one after another, each after the previous one came back.
    double roundTrips(const std::string& text, size_t count) {
        const uint64_t base = delegate_->messages.count();
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < count; ++i) {
            socket_->send(ns::Value(text));
            delegate_->messages.waitFor(base + i + 1);
        }
        return seconds(start);
    }
    // `count` texts sent back to back, until the last one comes back.
    double pipelined(const std::string& text, size_t count) {
        const uint64_t base = delegate_->messages.count();
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < count; ++i) socket_->send(ns::Value(text));
        delegate_->messages.waitFor(base + count);
        return seconds(start);
    }

private:
    struct Delegate : FSRWebSocketDelegate {
        void webSocket(const std::shared_ptr<FSRWebSocket>&, const ns::Value&) override { messages.add(); }
        void webSocketDidOpen(const std::shared_ptr<FSRWebSocket>&) override { opened.add(); }
        Counter messages;
        Counter opened;
    };
    ns::DispatchQueuePtr queue_ = ns::DispatchQueue::serial("bench.echo");
    std::shared_ptr<Delegate> delegate_;
    std::shared_ptr<FSRWebSocket> socket_;
};

// "ratio" is the subject's total over the baseline's (an echo), beside the
// per-operation times of both.
inline void setRoundTripCounters(benchmark::State& state, const PairedTotals& totals, size_t operations) {
    const double ops = double(operations * state.iterations());
    state.counters["ratio"] = totals.subject / totals.baseline;
    state.counters["us/op"] = totals.subject / ops * 1e6;
    state.counters["echo us/op"] = totals.baseline / ops * 1e6;
}

// One run of the subject and one of the baseline per iteration, the
// subject's time the iteration's.
template <class Fixture>
void runAgainstBaseline(benchmark::State& state, Fixture& (*fixture)(), double (Fixture::*subject)(),
                        double (Fixture::*baseline)(), size_t operations) {
    const PairedTotals totals = runPaired(
        state, [&] { fixture(); }, [&] { return (fixture().*subject)(); }, [&] { return (fixture().*baseline)(); });
    if (!totals.ran) return;
    setRoundTripCounters(state, totals, operations);
}

}  // namespace benchsupport
