#pragma once
// Shared machinery of the executors: the worker pool every background queue
// borrows threads from, the per-thread stack of queues being run, the
// deadline scheduler behind every piece of delayed work, and the guard that
// turns an escaping exception into a loud abort.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/dispatch.h"

namespace ns {
class RunLoop;
}

namespace ns::detail {

// Runs a block at a queue boundary: an escaping exception prints
// "uncaught exception on queue <label>: <what>" and aborts, like an uncaught
// NSException, instead of unwinding into the executor.
void runGuarded(const std::string& label, const Block& block) noexcept;

// A growing pool of threads. Threads are made when every existing one is
// busy, so a block that blocks cannot starve the others, and leave after
// idling a while.
class WorkerPool {
public:
    static WorkerPool& instance();
    void submit(Block task);
    // Waits until no task is queued or running, for at most `timeout` of
    // real time; true when the pool went idle.
    bool waitUntilIdle(std::chrono::milliseconds timeout);

private:
    WorkerPool() = default;
    void workerLoop();

    std::mutex mutex_;
    std::condition_variable cv_;
    std::condition_variable idleCv_;
    std::deque<Block> tasks_;
    std::size_t idle_ = 0;
    std::size_t threads_ = 0;
    std::size_t running_ = 0;
};

// The queues the calling thread is inside, outermost first. A block run for
// a sync caller on another thread (the main queue) carries the caller's
// frames, so a sync back into any of them raises instead of deadlocking.
using QueueStack = std::vector<DispatchQueue*>;
QueueStack& queueStack();
bool onQueue(const DispatchQueue* q);

// Pushes frames for the lifetime of the object.
class QueueFrames {
public:
    QueueFrames(const QueueStack& frames, DispatchQueue* top);
    explicit QueueFrames(DispatchQueue* top);
    ~QueueFrames();
    QueueFrames(const QueueFrames&) = delete;
    QueueFrames& operator=(const QueueFrames&) = delete;

private:
    std::size_t size_;
};

// Internal accessor to the main queue's backing object that does not bind
// the main thread.
RunLoop& mainLoopUnbound();
std::shared_ptr<RunLoop> mainLoopUnboundShared();

// Where a deadline's work runs.
struct Target {
    enum class Kind { Inline, Queue, Loop };
    Kind kind = Kind::Inline;
    DispatchQueuePtr queue;       // kept alive until the work has been handed over
    std::weak_ptr<RunLoop> loop;  // a loop may end with its thread

    static Target inlineOnFiringThread() { return {}; }
    static Target onQueue(DispatchQueuePtr q) {
        Target t;
        t.kind = Kind::Queue;
        t.queue = std::move(q);
        return t;
    }
    static Target onLoop(std::weak_ptr<RunLoop> l) {
        Target t;
        t.kind = Kind::Loop;
        t.loop = std::move(l);
        return t;
    }
};

// Work at a deadline; receives the deadline it was scheduled for.
using TimedWork = std::function<void(double deadline)>;

// Every deadline in the process, in (deadline, scheduling order). With the
// system clock a single timer thread sleeps until the earliest deadline and
// hands the work to its target; with a virtual clock nothing moves until
// VirtualClock::advance steps through the deadlines itself. Work scheduled
// for a time that has already come is handed to its target at once.
class Scheduler {
public:
    static Scheduler& instance();

    // Returns an id for cancel. Inline work runs on whichever thread fires
    // it, so it must be tiny and never throw.
    uint64_t schedule(double deadline, Target target, TimedWork work);
    // True when the entry was still pending (and is now dropped).
    bool cancel(uint64_t id);
    std::optional<double> deadlineOf(uint64_t id);

    // Hands everything that is due by the system clock to its target now
    // (a no-op under a virtual clock: only advance fires virtual time).
    void fireDue();

    // Clock switching and virtual stepping (clock.cpp).
    // Makes `to` the clock in force, shifting every pending deadline so it
    // keeps its remaining delay. Installing a virtual clock over another
    // raises NSInternalInconsistencyException.
    void switchClock(Clock* to);
    void advanceVirtual(double target, std::atomic<double>& now);

private:
    Scheduler() = default;
    struct Entry {
        double deadline;
        uint64_t seq;
        Target target;
        TimedWork work;
    };
    using Key = std::pair<double, uint64_t>;

    void timerLoop();
    void ensureThreadLocked();
    std::vector<Entry> popDueLocked(double now);
    static void deliver(Entry& e);
    static void deliverAndWait(Entry& e);

    std::mutex mutex_;
    std::condition_variable cv_;
    std::map<Key, Entry> entries_;
    std::unordered_map<uint64_t, Key> byId_;
    uint64_t nextSeq_ = 1;
    bool threadStarted_ = false;
    // Keeps handovers of concurrently fired entries in deadline order.
    std::mutex deliverMutex_;
};

// Waits on `cv` (with `lock` held on its mutex) until pred() is true or
// `timeoutSeconds` of ns::Clock time pass (negative: forever). The time-out
// is a scheduler deadline, so a virtual clock honours it. `owner` keeps the
// mutex and condition variable alive for the deadline's work.
bool timedWait(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, const std::shared_ptr<void>& owner,
               double timeoutSeconds, const std::function<bool()>& pred);

// A one-shot flag a waiter can block on; optionally wakes a run loop that is
// pumping while it waits.
struct DoneFlag {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::weak_ptr<RunLoop> wake;
    void set();
    bool isSet();
    // False when the real-time cap passed first.
    bool waitFor(double seconds);
};

}  // namespace ns::detail
