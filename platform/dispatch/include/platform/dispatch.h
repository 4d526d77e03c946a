#pragma once
// Grand Central Dispatch stand-in: serial queues with labels, the global
// concurrent queues, the main queue (the main run loop), groups, semaphores,
// once, and timer sources. All delayed work reads time from ns::Clock (see
// platform/clock.h), so tests drive it with the virtual clock.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace ns {

using Block = std::function<void()>;

class DispatchQueue;
using DispatchQueuePtr = std::shared_ptr<DispatchQueue>;

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
public:
    enum class Kind { Serial, Concurrent, Main };
    enum class QoS { Background, Utility, Default, UserInitiated, UserInteractive };

    // A new serial queue. Blocks run one at a time, in submission order, on a
    // thread the queue borrows from a growing pool while it has work (so a
    // block that blocks never starves another queue). Pending blocks keep
    // the queue alive, as in GCD: dropping the last reference never loses
    // submitted work.
    static DispatchQueuePtr serial(std::string label, QoS qos = QoS::Default);
    // A new concurrent queue (blocks may run in parallel).
    static DispatchQueuePtr concurrent(std::string label, QoS qos = QoS::Default);
    // The process's main queue: blocks run on the main thread when its run
    // loop runs (ns::RunLoop::main()). Getting it does not bind the main
    // thread (see ns::RunLoop::bindMainThread).
    static DispatchQueuePtr main();
    // The shared concurrent queue of a quality of service.
    static DispatchQueuePtr global(QoS qos = QoS::Default);

    // The queue the calling thread is running a block of (the innermost one
    // of a nested sync chain); on the main thread outside any block, the
    // main queue; otherwise nullptr.
    static DispatchQueuePtr current();
    // The label of the current queue, or "" when not on a queue.
    static std::string currentLabel();

    virtual ~DispatchQueue() = default;

    const std::string& label() const { return label_; }
    Kind kind() const { return kind_; }
    QoS qos() const { return qos_; }
    // True when the calling thread is running a block of this queue (directly
    // or through nested sync calls). The main queue is also current on the
    // main thread outside any block.
    virtual bool isCurrent() const = 0;

    // An empty block raises NSInvalidArgumentException. A block that throws
    // is a programming error: the process prints
    // "uncaught exception on queue <label>: <what>" and aborts.
    virtual void async(Block block) = 0;
    // Runs the block on this queue and waits for it. Calling sync onto a
    // queue the caller is already on (including outer queues of a nested
    // sync chain, and the main queue from the main thread) raises
    // NSInternalInconsistencyException instead of deadlocking. Serial and
    // concurrent queues run the block on the calling thread once the queue
    // is free; the main queue runs it on the main thread. An exception
    // thrown by the block reaches the caller of sync.
    virtual void sync(const Block& block) = 0;
    // Submits the block after `seconds` of ns::Clock time (at once when
    // `seconds` <= 0). The queue stays alive until the block has run.
    void after(double seconds, Block block);
    // Concurrent queues only: a block that runs alone (no other block of the
    // queue runs at the same time). On a serial queue it is a plain async.
    virtual void barrierAsync(Block block) = 0;

    // Suspends or resumes the start of new blocks (counts nest).
    // Resuming a queue that is not suspended raises
    // NSInternalInconsistencyException.
    virtual void suspend() = 0;
    virtual void resume() = 0;
    virtual bool isSuspended() const = 0;

protected:
    DispatchQueue(std::string label, Kind kind, QoS qos = QoS::Default)
        : label_(std::move(label)), kind_(kind), qos_(qos) {}

private:
    std::string label_;
    Kind kind_;
    QoS qos_;
};

// dispatch_assert_queue, checked in Debug builds only (nothing under
// NDEBUG): raises NSInternalInconsistencyException naming the queue's label
// when the caller is not running a block of `queue`.
void dispatchAssertQueueChecked(const DispatchQueue& queue);
inline void dispatchAssertQueue([[maybe_unused]] const DispatchQueue& queue) {
#ifndef NDEBUG
    dispatchAssertQueueChecked(queue);
#endif
}
inline void dispatchAssertQueue([[maybe_unused]] const DispatchQueuePtr& queue) {
#ifndef NDEBUG
    if (queue) dispatchAssertQueueChecked(*queue);
#endif
}

// dispatch_once.
using OnceFlag = std::once_flag;
template <class F>
void dispatchOnce(OnceFlag& flag, F&& f) {
    std::call_once(flag, std::forward<F>(f));
}

class DispatchGroup {
public:
    DispatchGroup();
    ~DispatchGroup();
    void enter();
    // More leaves than enters raise NSInternalInconsistencyException.
    void leave();
    void async(const DispatchQueuePtr& queue, Block block);
    // Runs the block on the queue once the group is empty (at once if it is).
    void notify(const DispatchQueuePtr& queue, Block block);
    // Waits until the group is empty or `timeoutSeconds` of ns::Clock time
    // pass (negative: forever). Returns true when the group emptied. Under a
    // virtual clock the wait times out only when some other thread advances
    // the clock past the deadline.
    bool wait(double timeoutSeconds = -1);

private:
    struct State;
    std::shared_ptr<State> state_;
};

class DispatchSemaphore {
public:
    explicit DispatchSemaphore(long value = 0);
    ~DispatchSemaphore();
    // Returns true when it woke a waiter.
    bool signal();
    // Waits for a signal or `timeoutSeconds` of ns::Clock time (negative:
    // forever). Returns true when it got the signal. Under a virtual clock
    // the wait times out only when some other thread advances the clock
    // past the deadline.
    bool wait(double timeoutSeconds = -1);

private:
    struct State;
    std::shared_ptr<State> state_;
};

// A dispatch timer source: fires its handler on its queue at `start` seconds
// from now and then every `interval` seconds (0: once), by ns::Clock time.
// Missed firings (a late queue, a suspension) coalesce into one handler call,
// as in GCD. Dropping the last reference stops the source.
class DispatchTimerSource {
public:
    static std::shared_ptr<DispatchTimerSource> make(DispatchQueuePtr queue);
    virtual ~DispatchTimerSource() = default;
    virtual void setTimer(double startSeconds, double intervalSeconds, double leewaySeconds = 0) = 0;
    virtual void setEventHandler(Block handler) = 0;
    virtual void setCancelHandler(Block handler) = 0;
    // Sources start suspended, as in GCD.
    virtual void resume() = 0;
    virtual void suspend() = 0;
    // No handler call starts after cancel returns; the cancel handler runs on
    // the queue (once, even when the source was never resumed).
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
};

// Waits, for at most `seconds` of real time, until no queue has a block
// waiting or running. A test process calls it before its last objects go,
// so that work still running (a key pair being made) does not outlive the
// sandbox and the statics it uses. True when everything had finished.
bool waitForQueuedWork(double seconds);

}  // namespace ns
