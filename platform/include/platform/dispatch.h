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
    // thread the queue owns while it has work.
    static DispatchQueuePtr serial(std::string label, QoS qos = QoS::Default);
    // A new concurrent queue (blocks may run in parallel).
    static DispatchQueuePtr concurrent(std::string label, QoS qos = QoS::Default);
    // The process's main queue: blocks run on the main thread when its run
    // loop runs (ns::RunLoop::main()).
    static DispatchQueuePtr main();
    // The shared concurrent queue of a quality of service.
    static DispatchQueuePtr global(QoS qos = QoS::Default);

    // The queue the calling thread is running a block of, or nullptr.
    static DispatchQueuePtr current();
    // The label of the current queue, or "" when not on a queue.
    static std::string currentLabel();

    virtual ~DispatchQueue() = default;

    const std::string& label() const { return label_; }
    Kind kind() const { return kind_; }
    // True when the calling thread is running a block of this queue (directly
    // or through nested sync calls).
    virtual bool isCurrent() const = 0;

    virtual void async(Block block) = 0;
    // Runs the block on this queue and waits for it. Calling sync onto the
    // queue the caller is already on raises NSInternalInconsistencyException
    // instead of deadlocking.
    virtual void sync(const Block& block) = 0;
    // Submits the block after `seconds` of ns::Clock time.
    void after(double seconds, Block block);
    // Concurrent queues only: a block that runs alone (no other block of the
    // queue runs at the same time). On a serial queue it is a plain async.
    virtual void barrierAsync(Block block) = 0;

    // Suspends or resumes the start of new blocks (counts nest).
    virtual void suspend() = 0;
    virtual void resume() = 0;

protected:
    DispatchQueue(std::string label, Kind kind) : label_(std::move(label)), kind_(kind) {}

private:
    std::string label_;
    Kind kind_;
};

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
    void leave();
    void async(const DispatchQueuePtr& queue, Block block);
    // Runs the block on the queue once the group is empty (at once if it is).
    void notify(const DispatchQueuePtr& queue, Block block);
    // Waits until the group is empty or `timeoutSeconds` of ns::Clock time
    // pass (negative: forever). Returns true when the group emptied.
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
    // forever). Returns true when it got the signal.
    bool wait(double timeoutSeconds = -1);

private:
    struct State;
    std::shared_ptr<State> state_;
};

// A dispatch timer source: fires its handler on its queue at `start` seconds
// from now and then every `interval` seconds (0: once), by ns::Clock time.
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
    // No handler call starts after cancel returns; the cancel handler runs on the queue.
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
};

}  // namespace ns
