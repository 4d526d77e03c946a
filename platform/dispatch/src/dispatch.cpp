#include "platform/dispatch.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <exception>
#include <thread>
#include <vector>

#include "executor_impl.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/runloop.h"
#include "platform/thread_owned.h"

namespace ns {
namespace detail {

// ---------------------------------------------------------------- guards

void runGuarded(const std::string& label, const Block& block) noexcept {
    const char* what = nullptr;
    std::string text;
    try {
        block();
        return;
    } catch (const std::exception& e) {
        text = e.what();
        what = text.c_str();
    } catch (...) {
        what = "unknown exception";
    }
    std::fprintf(stderr, "uncaught exception on queue %s: %s\n", label.c_str(), what);
    std::fflush(stderr);
    std::abort();
}

// ---------------------------------------------------------------- WorkerPool

namespace {
// Enough for every queue of the process to block at once; beyond it, work
// waits for a thread to come free.
constexpr std::size_t kMaxPoolThreads = 512;
constexpr auto kIdleThreadLifetime = std::chrono::seconds(5);
}  // namespace

WorkerPool& WorkerPool::instance() {
    // Never destroyed: detached workers may still touch it during exit.
    static WorkerPool* pool = new WorkerPool;
    return *pool;
}

void WorkerPool::submit(Block task) {
    bool spawn = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        tasks_.push_back(std::move(task));
        if (idle_ < tasks_.size() && threads_ < kMaxPoolThreads) {
            ++threads_;
            spawn = true;
        }
    }
    if (!spawn) {
        cv_.notify_one();
        return;
    }
    try {
        std::thread([this] { workerLoop(); }).detach();
    } catch (const std::system_error&) {
        std::lock_guard<std::mutex> lock(mutex_);
        --threads_;
        if (threads_ == 0) {
            std::fprintf(stderr, "dispatch: cannot start a worker thread\n");
            std::abort();
        }
    }
}

void WorkerPool::workerLoop() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (!tasks_.empty()) {
            Block task = std::move(tasks_.front());
            tasks_.pop_front();
            ++running_;
            lock.unlock();
            task();
            task = nullptr;  // captures die before the thread looks for more
            lock.lock();
            if (--running_ == 0 && tasks_.empty()) idleCv_.notify_all();
            continue;
        }
        ++idle_;
        bool got = cv_.wait_for(lock, kIdleThreadLifetime, [this] { return !tasks_.empty(); });
        --idle_;
        if (!got) {
            --threads_;
            return;
        }
    }
}

bool WorkerPool::waitUntilIdle(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return idleCv_.wait_for(lock, timeout, [this] { return running_ == 0 && tasks_.empty(); });
}

}  // namespace detail

bool waitForQueuedWork(double seconds) {
    return detail::WorkerPool::instance().waitUntilIdle(
        std::chrono::milliseconds(static_cast<int64_t>(seconds * 1000)));
}

namespace detail {

// ---------------------------------------------------------------- queue stack

QueueStack& queueStack() {
    thread_local QueueStack* stack = nullptr;
    return threadOwned(stack);
}

bool onQueue(const DispatchQueue* q) {
    for (auto* f : queueStack())
        if (f == q) return true;
    return false;
}

QueueFrames::QueueFrames(const QueueStack& frames, DispatchQueue* top) {
    auto& stack = queueStack();
    size_ = stack.size();
    stack.insert(stack.end(), frames.begin(), frames.end());
    stack.push_back(top);
}

QueueFrames::QueueFrames(DispatchQueue* top) {
    auto& stack = queueStack();
    size_ = stack.size();
    stack.push_back(top);
}

QueueFrames::~QueueFrames() { queueStack().resize(size_); }

}  // namespace detail

namespace {

using detail::QueueFrames;
using detail::WorkerPool;

void requireBlock(const Block& block, const char* what) {
    if (!block) Exception::raise(kInvalidArgumentException, format("%s needs a block", what));
}

[[noreturn]] void raiseSyncOnCurrent(const std::string& label) {
    Exception::raise(kInternalInconsistencyException,
                     format("sync onto queue %@, which the calling thread is already on, would deadlock", label));
}

// A sync caller waiting for its turn on a busy queue.
struct SyncTicket {
    std::mutex mutex;
    std::condition_variable cv;
    bool granted = false;
    void grant() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            granted = true;
        }
        cv.notify_one();
    }
    void wait() {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [this] { return granted; });
    }
};

// ---------------------------------------------------------------- serial

class SerialQueue final : public DispatchQueue {
public:
    SerialQueue(std::string label, QoS qos) : DispatchQueue(std::move(label), Kind::Serial, qos) {}

    bool isCurrent() const override { return detail::onQueue(this); }

    void async(Block block) override {
        requireBlock(block, "async");
        bool start;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            items_.push_back(Item{std::move(block), nullptr});
            start = claimLocked();
        }
        if (start) startDrain();
    }

    void sync(const Block& block) override {
        requireBlock(block, "sync");
        if (isCurrent()) raiseSyncOnCurrent(label());
        std::shared_ptr<SyncTicket> ticket;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!active_ && suspendCount_ == 0 && items_.empty()) {
                active_ = true;
            } else {
                ticket = std::make_shared<SyncTicket>();
                items_.push_back(Item{nullptr, ticket});
            }
        }
        if (ticket) ticket->wait();
        // The queue is ours until the block returns (or throws).
        struct Release {
            SerialQueue* q;
            ~Release() { q->releaseAfterSync(); }
        } release{this};
        QueueFrames frames(this);
        block();
    }

    void barrierAsync(Block block) override { async(std::move(block)); }

    void suspend() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++suspendCount_;
    }

    void resume() override {
        bool start;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (suspendCount_ == 0)
                Exception::raise(kInternalInconsistencyException,
                                 format("resume of queue %@, which is not suspended", label()));
            --suspendCount_;
            start = claimLocked();
        }
        if (start) startDrain();
    }

    bool isSuspended() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return suspendCount_ > 0;
    }

private:
    struct Item {
        Block block;
        std::shared_ptr<SyncTicket> ticket;
    };

    // True when the caller must start a drain: the queue had no owner and
    // now has runnable work.
    bool claimLocked() {
        if (active_ || suspendCount_ > 0 || items_.empty()) return false;
        active_ = true;
        return true;
    }

    void startDrain() {
        // The drain holds the queue: pending work keeps it alive.
        auto self = std::static_pointer_cast<SerialQueue>(shared_from_this());
        WorkerPool::instance().submit([self] { self->drain(); });
    }

    void drain() {
        QueueFrames frames(this);
        for (;;) {
            Item item;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (suspendCount_ > 0 || items_.empty()) {
                    active_ = false;
                    return;
                }
                item = std::move(items_.front());
                items_.pop_front();
                if (item.ticket) {
                    // Ownership passes to the waiting sync caller.
                    item.ticket->grant();
                    return;
                }
            }
            detail::runGuarded(label(), item.block);
        }
    }

    void releaseAfterSync() {
        bool start;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            active_ = false;
            start = claimLocked();
        }
        if (start) startDrain();
    }

    mutable std::mutex mutex_;
    std::deque<Item> items_;
    bool active_ = false;  // a drain or a sync caller owns the queue
    int suspendCount_ = 0;
};

// ---------------------------------------------------------------- concurrent

class ConcurrentQueue final : public DispatchQueue {
public:
    ConcurrentQueue(std::string label, QoS qos, bool isGlobal)
        : DispatchQueue(std::move(label), Kind::Concurrent, qos), isGlobal_(isGlobal) {}

    bool isCurrent() const override { return detail::onQueue(this); }

    void async(Block block) override {
        requireBlock(block, "async");
        enqueue(Item{std::move(block), false, nullptr});
    }

    void barrierAsync(Block block) override {
        requireBlock(block, "barrierAsync");
        // The shared queues have no barriers, as in GCD.
        enqueue(Item{std::move(block), !isGlobal_, nullptr});
    }

    void sync(const Block& block) override {
        requireBlock(block, "sync");
        if (isCurrent()) raiseSyncOnCurrent(label());
        std::shared_ptr<SyncTicket> ticket;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (suspendCount_ == 0 && items_.empty() && !barrierRunning_) {
                ++running_;
            } else {
                ticket = std::make_shared<SyncTicket>();
                items_.push_back(Item{nullptr, false, ticket});
            }
        }
        if (ticket) ticket->wait();
        struct Release {
            ConcurrentQueue* q;
            ~Release() { q->finished(false); }
        } release{this};
        QueueFrames frames(this);
        block();
    }

    void suspend() override {
        if (isGlobal_) return;  // the shared queues cannot be suspended
        std::lock_guard<std::mutex> lock(mutex_);
        ++suspendCount_;
    }

    void resume() override {
        if (isGlobal_) return;
        std::vector<Item> start;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (suspendCount_ == 0)
                Exception::raise(kInternalInconsistencyException,
                                 format("resume of queue %@, which is not suspended", label()));
            --suspendCount_;
            start = takeRunnableLocked();
        }
        launch(start);
    }

    bool isSuspended() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return suspendCount_ > 0;
    }

private:
    struct Item {
        Block block;
        bool barrier;
        std::shared_ptr<SyncTicket> ticket;
    };

    void enqueue(Item item) {
        std::vector<Item> start;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            items_.push_back(std::move(item));
            start = takeRunnableLocked();
        }
        launch(start);
    }

    std::vector<Item> takeRunnableLocked() {
        std::vector<Item> start;
        while (suspendCount_ == 0 && !items_.empty() && !barrierRunning_) {
            Item& front = items_.front();
            if (front.barrier) {
                if (running_ > 0) break;
                barrierRunning_ = true;
            }
            ++running_;
            start.push_back(std::move(front));
            items_.pop_front();
        }
        return start;
    }

    void launch(std::vector<Item>& start) {
        if (start.empty()) return;
        auto self = std::static_pointer_cast<ConcurrentQueue>(shared_from_this());
        for (auto& item : start) {
            if (item.ticket) {
                item.ticket->grant();
                continue;
            }
            WorkerPool::instance().submit([self, block = std::move(item.block), barrier = item.barrier]() mutable {
                {
                    QueueFrames frames(self.get());
                    detail::runGuarded(self->label(), block);
                    block = nullptr;
                }
                self->finished(barrier);
            });
        }
    }

    void finished(bool barrier) {
        std::vector<Item> start;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            --running_;
            if (barrier) barrierRunning_ = false;
            start = takeRunnableLocked();
        }
        launch(start);
    }

    const bool isGlobal_;
    mutable std::mutex mutex_;
    std::deque<Item> items_;
    int running_ = 0;
    bool barrierRunning_ = false;
    int suspendCount_ = 0;
};

// ---------------------------------------------------------------- main

// Blocks go to the main run loop one perform each, so they interleave with
// the loop's other work in submission order.
class MainQueue final : public DispatchQueue {
public:
    MainQueue() : DispatchQueue("com.apple.main-thread", Kind::Main, QoS::UserInteractive) {}

    bool isCurrent() const override { return RunLoop::isMainThread() || detail::onQueue(this); }

    void async(Block block) override {
        requireBlock(block, "async");
        push(Item{std::move(block), nullptr});
    }

    void sync(const Block& block) override {
        requireBlock(block, "sync");
        if (isCurrent()) raiseSyncOnCurrent(label());
        auto call = std::make_shared<SyncCall>();
        call->block = &block;
        call->frames = detail::queueStack();
        push(Item{nullptr, call});
        std::unique_lock<std::mutex> lock(call->mutex);
        call->cv.wait(lock, [&] { return call->done; });
        if (call->error) std::rethrow_exception(call->error);
    }

    void barrierAsync(Block block) override { async(std::move(block)); }

    void suspend() override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++suspendCount_;
    }

    void resume() override {
        std::size_t owed;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (suspendCount_ == 0)
                Exception::raise(kInternalInconsistencyException,
                                 format("resume of queue %@, which is not suspended", label()));
            if (--suspendCount_ > 0) return;
            owed = owed_;
            owed_ = 0;
        }
        for (std::size_t i = 0; i < owed; ++i) post();
    }

    bool isSuspended() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return suspendCount_ > 0;
    }

private:
    struct SyncCall {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        std::exception_ptr error;
        const Block* block = nullptr;
        detail::QueueStack frames;
    };
    struct Item {
        Block block;
        std::shared_ptr<SyncCall> sync;
    };

    void push(Item item) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            items_.push_back(std::move(item));
            if (suspendCount_ > 0) {
                ++owed_;
                return;
            }
        }
        post();
    }

    void post() {
        // The main queue is never destroyed, so a raw pointer is safe.
        detail::mainLoopUnbound().perform([this] { runNext(); });
    }

    void runNext() {
        Item item;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (suspendCount_ > 0) {
                ++owed_;
                return;
            }
            if (items_.empty()) return;
            item = std::move(items_.front());
            items_.pop_front();
        }
        if (item.sync) {
            auto& call = *item.sync;
            {
                QueueFrames frames(call.frames, this);
                try {
                    (*call.block)();
                } catch (...) {
                    call.error = std::current_exception();
                }
            }
            {
                std::lock_guard<std::mutex> lock(call.mutex);
                call.done = true;
            }
            call.cv.notify_all();
            return;
        }
        QueueFrames frames(this);
        detail::runGuarded(label(), item.block);
    }

    mutable std::mutex mutex_;
    std::deque<Item> items_;
    int suspendCount_ = 0;
    std::size_t owed_ = 0;  // performs skipped while suspended
};

const char* globalLabel(DispatchQueue::QoS qos) {
    switch (qos) {
        case DispatchQueue::QoS::Background: return "com.apple.root.background-qos";
        case DispatchQueue::QoS::Utility: return "com.apple.root.utility-qos";
        case DispatchQueue::QoS::Default: return "com.apple.root.default-qos";
        case DispatchQueue::QoS::UserInitiated: return "com.apple.root.user-initiated-qos";
        case DispatchQueue::QoS::UserInteractive: return "com.apple.root.user-interactive-qos";
    }
    return "com.apple.root.default-qos";
}

}  // namespace

// ---------------------------------------------------------------- DispatchQueue

DispatchQueuePtr DispatchQueue::serial(std::string label, QoS qos) {
    return std::make_shared<SerialQueue>(std::move(label), qos);
}

DispatchQueuePtr DispatchQueue::concurrent(std::string label, QoS qos) {
    return std::make_shared<ConcurrentQueue>(std::move(label), qos, false);
}

DispatchQueuePtr DispatchQueue::main() {
    // Never destroyed: blocks may be posted to it during exit.
    static DispatchQueuePtr* queue = new DispatchQueuePtr(std::make_shared<MainQueue>());
    return *queue;
}

DispatchQueuePtr DispatchQueue::global(QoS qos) {
    static DispatchQueuePtr* queues = [] {
        auto* q = new DispatchQueuePtr[5];
        for (int i = 0; i < 5; ++i) {
            auto level = static_cast<QoS>(i);
            q[i] = std::make_shared<ConcurrentQueue>(globalLabel(level), level, true);
        }
        return q;
    }();
    int index = static_cast<int>(qos);
    if (index < 0 || index > 4) index = static_cast<int>(QoS::Default);
    return queues[index];
}

DispatchQueuePtr DispatchQueue::current() {
    auto& stack = detail::queueStack();
    if (!stack.empty()) return stack.back()->shared_from_this();
    if (RunLoop::isMainThread()) return main();
    return nullptr;
}

void dispatchAssertQueueChecked(const DispatchQueue& queue) {
    if (queue.isCurrent()) return;
    const std::string current = DispatchQueue::currentLabel();
    Exception::raise(kInternalInconsistencyException,
                     format("Must be called on the queue \"%@\", not %@", queue.label(),
                            current.empty() ? std::string("off every queue") : "on \"" + current + "\""));
}

std::string DispatchQueue::currentLabel() {
    auto q = current();
    return q ? q->label() : std::string();
}

void DispatchQueue::after(double seconds, Block block) {
    requireBlock(block, "after");
    if (!(seconds > 0)) {
        async(std::move(block));
        return;
    }
    detail::Scheduler::instance().schedule(Clock::nowSeconds() + seconds, detail::Target::onQueue(shared_from_this()),
                                           [block = std::move(block)](double) { block(); });
}

// ---------------------------------------------------------------- DispatchGroup

struct DispatchGroup::State {
    std::mutex mutex;
    std::condition_variable cv;
    long count = 0;
    std::vector<std::pair<DispatchQueuePtr, Block>> notifies;

    void leave() {
        std::vector<std::pair<DispatchQueuePtr, Block>> ready;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (count == 0)
                Exception::raise(kInternalInconsistencyException, "unbalanced call to DispatchGroup::leave");
            if (--count > 0) return;
            ready.swap(notifies);
        }
        cv.notify_all();
        for (auto& [queue, block] : ready) queue->async(std::move(block));
    }
};

DispatchGroup::DispatchGroup() : state_(std::make_shared<State>()) {}
DispatchGroup::~DispatchGroup() = default;

void DispatchGroup::enter() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    ++state_->count;
}

void DispatchGroup::leave() {
    // Our own reference: a woken waiter may destroy the group at once.
    auto state = state_;
    state->leave();
}

void DispatchGroup::async(const DispatchQueuePtr& queue, Block block) {
    if (!queue) Exception::raise(kInvalidArgumentException, "DispatchGroup::async needs a queue");
    requireBlock(block, "DispatchGroup::async");
    enter();
    queue->async([state = state_, block = std::move(block)] {
        block();
        state->leave();
    });
}

void DispatchGroup::notify(const DispatchQueuePtr& queue, Block block) {
    if (!queue) Exception::raise(kInvalidArgumentException, "DispatchGroup::notify needs a queue");
    requireBlock(block, "DispatchGroup::notify");
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->count > 0) {
            state_->notifies.emplace_back(queue, std::move(block));
            return;
        }
    }
    queue->async(std::move(block));
}

bool DispatchGroup::wait(double timeoutSeconds) {
    std::unique_lock<std::mutex> lock(state_->mutex);
    return detail::timedWait(lock, state_->cv, state_, timeoutSeconds, [this] { return state_->count == 0; });
}

// ---------------------------------------------------------------- DispatchSemaphore

struct DispatchSemaphore::State {
    std::mutex mutex;
    std::condition_variable cv;
    long value = 0;
    long waiters = 0;
    long wakeups = 0;
};

DispatchSemaphore::DispatchSemaphore(long value) : state_(std::make_shared<State>()) {
    if (value < 0) Exception::raise(kInvalidArgumentException, "DispatchSemaphore needs a non-negative value");
    state_->value = value;
}

DispatchSemaphore::~DispatchSemaphore() = default;

bool DispatchSemaphore::signal() {
    // Our own reference: a woken waiter may destroy the semaphore at once.
    auto state = state_;
    {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (state->waiters <= state->wakeups) {
            ++state->value;
            return false;
        }
        ++state->wakeups;
    }
    state->cv.notify_all();
    return true;
}

bool DispatchSemaphore::wait(double timeoutSeconds) {
    auto& s = *state_;
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.value > 0) {
        --s.value;
        return true;
    }
    ++s.waiters;
    bool got = detail::timedWait(lock, s.cv, state_, timeoutSeconds, [&s] { return s.wakeups > 0; });
    if (got) --s.wakeups;
    --s.waiters;
    return got;
}

// ---------------------------------------------------------------- timer source

namespace {

class TimerSource final : public DispatchTimerSource, public std::enable_shared_from_this<TimerSource> {
public:
    explicit TimerSource(DispatchQueuePtr queue) : queue_(std::move(queue)) {}

    ~TimerSource() override {
        if (entry_) detail::Scheduler::instance().cancel(entry_);
    }

    void setTimer(double startSeconds, double intervalSeconds, double) override {
        if (std::isnan(startSeconds) || std::isnan(intervalSeconds))
            Exception::raise(kInvalidArgumentException, "DispatchTimerSource::setTimer needs times");
        uint64_t stale;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (cancelled_) return;
            armed_ = true;
            deadline_ = Clock::nowSeconds() + std::max(startSeconds, 0.0);
            interval_ = std::max(intervalSeconds, 0.0);
            stale = rearmLocked();
        }
        dropEntry(stale);
    }

    void setEventHandler(Block handler) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!cancelled_) handler_ = std::make_shared<Block>(std::move(handler));
    }

    void setCancelHandler(Block handler) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!cancelled_) cancelHandler_ = std::move(handler);
    }

    void resume() override {
        uint64_t stale;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (suspendCount_ == 0)
                Exception::raise(kInternalInconsistencyException, "resume of a timer source that is not suspended");
            --suspendCount_;
            stale = rearmLocked();
        }
        dropEntry(stale);
    }

    void suspend() override {
        uint64_t stale;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++suspendCount_;
            stale = rearmLocked();
        }
        dropEntry(stale);
    }

    void cancel() override {
        uint64_t stale;
        Block onCancel;
        std::shared_ptr<Block> handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (cancelled_) return;
            cancelled_ = true;
            stale = rearmLocked();
            onCancel = std::move(cancelHandler_);
            handler = std::move(handler_);  // released outside the lock
        }
        dropEntry(stale);
        if (onCancel) queue_->async(std::move(onCancel));
    }

    bool isCancelled() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return cancelled_;
    }

private:
    // Replaces the pending deadline with one matching the current state;
    // returns the old entry for the caller to drop outside the lock.
    uint64_t rearmLocked() {
        uint64_t stale = entry_;
        entry_ = 0;
        ++generation_;
        if (armed_ && suspendCount_ == 0 && !cancelled_) {
            std::weak_ptr<TimerSource> weak = shared_from_this();
            uint64_t generation = generation_;
            entry_ = detail::Scheduler::instance().schedule(
                deadline_, detail::Target::onQueue(queue_), [weak, generation](double deadline) {
                    if (auto self = weak.lock()) self->fired(generation, deadline);
                });
        }
        return stale;
    }

    static void dropEntry(uint64_t id) {
        if (id) detail::Scheduler::instance().cancel(id);
    }

    // On the source's queue.
    void fired(uint64_t generation, double deadline) {
        std::shared_ptr<Block> handler;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (cancelled_ || generation != generation_) return;
            entry_ = 0;
            if (interval_ > 0) {
                // Firings missed while the queue was late coalesce into this one.
                double next = deadline + interval_;
                double now = Clock::nowSeconds();
                if (next <= now) next += interval_ * (std::floor((now - next) / interval_) + 1);
                deadline_ = next;
                rearmLocked();
            } else {
                armed_ = false;
            }
            handler = handler_;
        }
        if (handler && *handler) (*handler)();
    }

    const DispatchQueuePtr queue_;
    mutable std::mutex mutex_;
    std::shared_ptr<Block> handler_;
    Block cancelHandler_;
    bool armed_ = false;
    bool cancelled_ = false;
    int suspendCount_ = 1;  // sources start suspended
    double deadline_ = 0;
    double interval_ = 0;
    uint64_t entry_ = 0;
    uint64_t generation_ = 0;
};

}  // namespace

std::shared_ptr<DispatchTimerSource> DispatchTimerSource::make(DispatchQueuePtr queue) {
    if (!queue) Exception::raise(kInvalidArgumentException, "DispatchTimerSource needs a queue");
    return std::make_shared<TimerSource>(std::move(queue));
}

}  // namespace ns
