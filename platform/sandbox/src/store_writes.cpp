#include "platform/store_writes.h"

#include <signal.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <thread>

#include "platform/no_destructor.h"

namespace ns {

namespace {

// How many StoreWrites this thread holds: nested ones neither wait nor count
// against the end twice.
thread_local int heldOnThisThread = 0;

int failureNamed(const char* name) {
    const std::string_view n = name;
    if (n == "EACCES") return EACCES;
    if (n == "ENOSPC") return ENOSPC;
    if (n == "SQLITE_BUSY" || n == "EBUSY") return EBUSY;
    return EIO;
}

uint64_t number(const char* variable) {
    const char* value = std::getenv(variable);
    return value ? std::strtoull(value, nullptr, 10) : 0;
}

// The writes and opens are numbered, and each number is checked against the
// crash and failure points, under one mutex: a number is never given out
// after the crash point's, and the trace lists them in their order.
struct Gate {
    Gate() {
        endAt = number("ALMAVEL_END_AT_WRITE");
        failWriteAt = number("ALMAVEL_FAIL_AT_WRITE");
        failOpenAt = number("ALMAVEL_FAIL_AT_OPEN");
        if (const char* with = std::getenv("ALMAVEL_FAIL_WITH")) failWith = failureNamed(with);
        if (const char* t = std::getenv("ALMAVEL_WRITE_TRACE")) tracing = *t != '\0' && std::strcmp(t, "0") != 0;
    }

    std::mutex mutex;
    std::condition_variable changed;
    int underWay = 0;
    bool closed = false;
    std::thread::id closer;

    uint64_t writes = 0;
    uint64_t opens = 0;
    uint64_t endAt = 0;
    uint64_t failWriteAt = 0;
    uint64_t failOpenAt = 0;
    int failWith = EIO;
    bool tracing = false;
    // The crash point was reached: the process is going, and no write
    // starts or goes on past a point any more.
    bool ending = false;
    // Writes under way whose thread stopped at a later point of them: they
    // will never finish, and the end does not wait for them.
    int stoppedUnderWay = 0;
};

Gate& gate() {
    // Read from the environment at the first write or open (a test may
    // move the points later).
    static NoDestructor<Gate> g;
    return *g;
}

// Written with write(2) alone: the trace must reach the terminal even when
// the very next step kills the process.
void emit(const char* line, int len, size_t capacity) {
    if (len > 0) {
        [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line, std::min(size_t(len), capacity - 1));
    }
}

void traceLine(const char* kind, uint64_t n, const char* what, int failure) {
    char line[256];
    const int len = failure ? std::snprintf(line, sizeof line, "store %s %llu: %s (fails: %s)\n", kind,
                                            static_cast<unsigned long long>(n), what, strerrorname_np(failure))
                            : std::snprintf(line, sizeof line, "store %s %llu: %s\n", kind,
                                            static_cast<unsigned long long>(n), what);
    emit(line, len, sizeof line);
}

// A thread that reaches a write once the end is under way goes with the
// process, its write never made.
[[noreturn]] void stopForTheEnd(Gate& g, std::unique_lock<std::mutex>& lock) {
    if (heldOnThisThread > 0) {
        ++g.stoppedUnderWay;
        g.changed.notify_all();
    }
    for (;;) g.changed.wait(lock);
}

// Numbers a write (the gate's mutex held) and returns the errno it is to
// fail with; at the crash point, ends the process instead.
int numberWrite(Gate& g, std::unique_lock<std::mutex>& lock, const char* what) {
    if (g.ending) stopForTheEnd(g, lock);
    const uint64_t n = ++g.writes;
    const int failure = n == g.failWriteAt ? g.failWith : 0;
    if (g.tracing) traceLine("write", n, what, failure);
    if (n != g.endAt) return failure;
    g.ending = true;
    // The writes numbered before this one finish first, so that the process
    // has made exactly those; this thread's own (the write around a nested
    // point) cannot, and one stopped at a later point never will. Bounded
    // as the program's end is: a write never ends a crash test's run.
    const int own = heldOnThisThread > 0 ? 1 : 0;
    g.changed.wait_for(lock, std::chrono::seconds(10), [&] { return g.underWay - g.stoppedUnderWay <= own; });
    // As the phone ends an app: nothing of ours runs after this. The mutex
    // stays held, so no other thread numbers a write meanwhile.
    ::kill(::getpid(), SIGKILL);
    for (;;) ::pause();
}

}  // namespace

StoreWrite::StoreWrite(const char* what) {
    Gate& g = gate();
    std::unique_lock lock(g.mutex);
    if (heldOnThisThread == 0) {
        if (g.closed && g.closer != std::this_thread::get_id()) {
            // The program is ending: this write never starts, and its thread
            // goes with the process.
            g.changed.wait(lock, [] { return false; });
        }
        if (g.ending) stopForTheEnd(g, lock);
        ++g.underWay;
        held_ = true;
    }
    ++heldOnThisThread;
    failure_ = numberWrite(g, lock, what);
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

int point(const char* what) {
    Gate& g = gate();
    std::unique_lock lock(g.mutex);
    return numberWrite(g, lock, what);
}

int opening(const char* what) {
    Gate& g = gate();
    std::lock_guard lock(g.mutex);
    const uint64_t n = ++g.opens;
    const int failure = n == g.failOpenAt ? g.failWith : 0;
    if (g.tracing) traceLine("open", n, what, failure);
    return failure;
}

void mark(const char* what) {
    Gate& g = gate();
    std::lock_guard lock(g.mutex);
    if (!g.tracing) return;
    char line[256];
    const int len = std::snprintf(line, sizeof line, "store mark after write %llu, open %llu: %s\n",
                                  static_cast<unsigned long long>(g.writes), static_cast<unsigned long long>(g.opens), what);
    emit(line, len, sizeof line);
}

int sqliteCodeFor(int failure) {
    switch (failure) {
        case 0:
            return SQLITE_OK;
        case EBUSY:
            return SQLITE_BUSY;
        case ENOSPC:
            return SQLITE_FULL;
        default:
            return SQLITE_IOERR;
    }
}

int sqliteOpenCodeFor(int failure) {
    if (failure == 0) return SQLITE_OK;
    return failure == EBUSY ? SQLITE_BUSY : SQLITE_CANTOPEN;
}

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

uint64_t count() {
    Gate& g = gate();
    std::lock_guard lock(g.mutex);
    return g.writes;
}

uint64_t openCount() {
    Gate& g = gate();
    std::lock_guard lock(g.mutex);
    return g.opens;
}

void endAtWriteForTesting(uint64_t k) {
    Gate& g = gate();
    std::lock_guard lock(g.mutex);
    g.endAt = k;
}

void failAtWriteForTesting(uint64_t k, int error) {
    Gate& g = gate();
    std::lock_guard lock(g.mutex);
    g.failWriteAt = k;
    g.failWith = error;
}

void failAtOpenForTesting(uint64_t k, int error) {
    Gate& g = gate();
    std::lock_guard lock(g.mutex);
    g.failOpenAt = k;
    g.failWith = error;
}

}  // namespace storeWrites
}  // namespace ns
