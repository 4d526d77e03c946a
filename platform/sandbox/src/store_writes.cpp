#include "platform/store_writes.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/no_destructor.h"

namespace ns {

namespace {

// The crash point and the trace, from the environment at the first write
// (a test may move the crash point later).
std::atomic<uint64_t> endAt{0};
std::atomic<bool> tracing{false};

void readEnvironmentOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (const char* k = std::getenv("ALMAVEL_END_AT_WRITE")) endAt = std::strtoull(k, nullptr, 10);
        if (const char* t = std::getenv("ALMAVEL_WRITE_TRACE")) tracing = *t != '\0' && std::strcmp(t, "0") != 0;
    });
}

std::atomic<uint64_t> writes{0};

// Written with write(2) alone: the trace must reach the terminal even when
// the very next step kills the process.
void traceLine(uint64_t n, const char* what) {
    char line[256];
    const int len = std::snprintf(line, sizeof line, "store write %llu: %s\n", static_cast<unsigned long long>(n), what);
    if (len > 0) {
        [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line, size_t(std::min(len, int(sizeof line) - 1)));
    }
}

void countWrite(const char* what) {
    readEnvironmentOnce();
    const uint64_t n = writes.fetch_add(1, std::memory_order_relaxed) + 1;
    if (tracing.load(std::memory_order_relaxed)) traceLine(n, what);
    if (n == endAt.load(std::memory_order_relaxed)) {
        // As the phone ends an app: nothing of ours runs after this.
        ::kill(::getpid(), SIGKILL);
        for (;;) ::pause();
    }
}

struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    int underWay = 0;
    bool closed = false;
    std::thread::id closer;
};

Gate& gate() {
    static NoDestructor<Gate> g;
    return *g;
}

// How many StoreWrites this thread holds: nested ones neither wait nor count
// against the end twice.
thread_local int heldOnThisThread = 0;

}  // namespace

StoreWrite::StoreWrite(const char* what) {
    if (heldOnThisThread == 0) {
        Gate& g = gate();
        std::unique_lock lock(g.mutex);
        if (g.closed && g.closer != std::this_thread::get_id()) {
            // The program is ending: this write never starts, and its thread
            // goes with the process.
            g.changed.wait(lock, [] { return false; });
        }
        ++g.underWay;
        held_ = true;
    }
    ++heldOnThisThread;
    countWrite(what);
}

StoreWrite::~StoreWrite() {
    --heldOnThisThread;
    if (!held_) return;
    Gate& g = gate();
    {
        std::lock_guard lock(g.mutex);
        --g.underWay;
    }
    g.changed.notify_all();
}

namespace storeWrites {

void point(const char* what) { countWrite(what); }

void closeForExit(double timeoutSeconds) {
    Gate& g = gate();
    std::unique_lock lock(g.mutex);
    if (!g.closed) {
        g.closed = true;
        g.closer = std::this_thread::get_id();
    }
    // The ending thread's own writes (held further up its stack) are not
    // waited for: they finish after this returns, on this thread.
    const int own = heldOnThisThread > 0 ? 1 : 0;
    g.changed.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] { return g.underWay <= own; });
}

uint64_t count() { return writes.load(std::memory_order_relaxed); }

void endAtWriteForTesting(uint64_t k) {
    readEnvironmentOnce();
    endAt = k;
}

}  // namespace storeWrites
}  // namespace ns
