#pragma once
// NSRunLoop stand-in: a per-thread loop of posted blocks, timers and delayed
// performs. The main run loop is the main queue: the program's main thread
// runs it, tests pump it with runUntil / runOnce.
//
// Time-driven work (timers, delayed performs) reads ns::Clock, so tests move
// it with ns::VirtualClock::advance instead of sleeping. The run methods'
// time-outs (runUntil, runFor) are real time: they are how a test thread
// waits for asynchronous results.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch.h"

namespace ns {

class RunLoop : public std::enable_shared_from_this<RunLoop> {
public:
    // Makes the calling thread the main thread. The test main and the
    // program's main call it first thing. If nobody did, the first call to
    // RunLoop::main() (or the first run of the main loop) binds whichever
    // thread makes it, so call this early. Calling it again from the bound
    // thread does nothing; from another thread it raises
    // NSInternalInconsistencyException.
    static void bindMainThread();
    static bool isMainThread();

    // The main thread's loop (see bindMainThread).
    static RunLoop& main();
    // The calling thread's own loop, made on first use. It lives as long as
    // the thread does, or longer when someone keeps currentShared().
    static RunLoop& current();
    static std::shared_ptr<RunLoop> currentShared();
    static std::shared_ptr<RunLoop> mainShared();

    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    // "com.apple.main-thread" for the main loop, "runloop.<n>" for others.
    const std::string& label() const { return label_; }

    // Queues a block for the loop's thread and wakes the loop. Thread-safe.
    // A block that throws prints "uncaught exception on queue <label>: <what>"
    // and aborts.
    void perform(Block block);
    // performSelector:afterDelay: — runs the block on this loop after `delay`
    // seconds of ns::Clock time. `owner` keys the request for cancelPerforms
    // (may be nullptr: then only cancelPerforms(nullptr) cancels it).
    void performAfter(double delaySeconds, const void* owner, Block block);
    // cancelPreviousPerformRequestsWithTarget: — drops every delayed perform
    // of `owner` on this loop that has not started yet.
    void cancelPerforms(const void* owner);

    // Runs the loop on the calling thread until done() is true, stop() is
    // called or `timeoutSeconds` of real time pass (negative: no limit).
    // done() is checked before every block and at least every few
    // milliseconds, so it may watch state set by other threads. Returns
    // done() (false when done is empty). Only the loop's thread may run it:
    // others get NSInternalInconsistencyException.
    bool runUntil(const std::function<bool()>& done, double timeoutSeconds);
    // Runs the loop for `seconds` of real time (or until stop()).
    void runFor(double seconds);
    // Runs the loop until stop().
    void run();
    // Makes the innermost running run / runUntil / runFor return. Ignored
    // when the loop is not running.
    void stop();
    // Runs what is due now (posted blocks, timers and performs whose time
    // has come) without waiting. Returns how many blocks ran.
    std::size_t runOnce();
    // Wakes a waiting loop so it re-checks its done() condition.
    void wakeUp();

    // True when the calling thread owns this loop.
    bool isCurrent() const;
    // True while the owner thread is inside run / runUntil / runFor / runOnce.
    bool isRunning() const;

    struct Impl;

private:
    struct Passkey {};

public:
    RunLoop(Passkey, std::string label, bool isMain);

private:
    friend struct RunLoopAccess;
    std::string label_;
    std::unique_ptr<Impl> impl_;
};

// NSTimer stand-in. A scheduled timer is held by its run loop until it is
// invalidated (a non-repeating timer: until it has fired), so callers may
// drop their reference. Its block runs on the loop's thread.
class Timer : public std::enable_shared_from_this<Timer> {
public:
    using TimerBlock = std::function<void(Timer&)>;

    // Fires `interval` seconds from now (ns::Clock), then every `interval`
    // seconds when repeating; firings missed while the loop was busy are
    // skipped, not queued. A repeating interval <= 0 becomes 0.1 ms, as in
    // Foundation. An empty block raises NSInvalidArgumentException.
    static std::shared_ptr<Timer> scheduled(RunLoop& loop, double interval, bool repeats, TimerBlock block);

    ~Timer();

    // The next fire time, seconds since 1970 of ns::Clock time.
    double fireDate() const;
    // Moves the next firing to `absoluteSeconds` (a past date fires as soon
    // as the loop runs). A repeating timer continues every interval from
    // there. No effect on an invalid timer.
    void setFireDate(double absoluteSeconds);
    double timeInterval() const;
    bool repeats() const;
    // Stops the timer for good and releases its block. Safe from the block.
    void invalidate();
    bool isValid() const;
    // Calls the block now on the calling thread without changing the
    // schedule of a repeating timer; a non-repeating timer is invalidated.
    void fire();

    struct State;

private:
    struct Passkey {};

public:
    Timer(Passkey, std::shared_ptr<State> state);

private:
    friend struct TimerAccess;
    std::shared_ptr<State> state_;
};

}  // namespace ns
