#include "platform/operation_queue.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

#include "executor_impl.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/thread_owned.h"

namespace ns {

struct Operation::State {
    mutable std::mutex mutex;
    std::condition_variable cv;
    bool cancelled = false;
    bool started = false;  // handed to a queue's executor
    bool executing = false;
    bool finished = false;
    bool enqueued = false;
    bool finishCalled = false;    // finish() of an asynchronous operation
    bool awaitingFinish = false;  // main() returned, finish() not yet called
    // Keeps the queue's state while an asynchronous operation is out, even
    // if the queue object goes away meanwhile.
    std::shared_ptr<OperationQueue::Impl> awaitingQueue;
    std::vector<OperationPtr> dependencies;
    std::vector<std::weak_ptr<Operation>> dependents;
    std::weak_ptr<OperationQueue::Impl> queue;
    Block completion;
    std::string name;
};

struct OperationQueue::Impl : std::enable_shared_from_this<OperationQueue::Impl> {
    mutable std::mutex mutex;
    std::condition_variable cv;
    std::string name;
    DispatchQueuePtr target;
    DispatchQueue::QoS qos = DispatchQueue::QoS::Default;
    std::weak_ptr<OperationQueue> facade;
    std::vector<OperationPtr> operations;  // in the order added, until finished
    long maxConcurrent = kDefaultMaxConcurrentOperationCount;
    bool suspended = false;
    long running = 0;

    void pump();
    void run(const OperationPtr& op);
    void complete(const OperationPtr& op);
};

namespace {

std::weak_ptr<OperationQueue>& currentQueueSlot() {
    thread_local std::weak_ptr<OperationQueue>* slot = nullptr;
    return threadOwned(slot);
}

}  // namespace

struct OperationAccess {
    static Operation::State& state(const Operation& op) { return *op.state_; }
    static OperationQueue::Impl& impl(const OperationQueue& q) { return *q.impl_; }
    static std::shared_ptr<OperationQueue::Impl> queueOf(const Operation& op) {
        std::lock_guard<std::mutex> lock(op.state_->mutex);
        return op.state_->queue.lock();
    }
};

// ---------------------------------------------------------------- Operation

Operation::Operation() : state_(std::make_shared<State>()) {}
Operation::~Operation() = default;

void Operation::cancel() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->cancelled || state_->finished) return;
        state_->cancelled = true;
    }
    // A cancelled operation is ready at once.
    if (auto q = OperationAccess::queueOf(*this)) q->pump();
}

bool Operation::isCancelled() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->cancelled;
}

bool Operation::isExecuting() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->executing;
}

bool Operation::isFinished() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->finished;
}

bool Operation::isReady() const {
    std::vector<OperationPtr> deps;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->cancelled) return true;
        deps = state_->dependencies;
    }
    return std::all_of(deps.begin(), deps.end(), [](const OperationPtr& d) { return d->isFinished(); });
}

void Operation::addDependency(const std::shared_ptr<Operation>& op) {
    if (!op) Exception::raise(kInvalidArgumentException, "addDependency needs an operation");
    if (op.get() == this) Exception::raise(kInvalidArgumentException, "an operation cannot depend on itself");
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->started)
            Exception::raise(kInvalidArgumentException, "addDependency on an operation that has already started");
        if (std::find(state_->dependencies.begin(), state_->dependencies.end(), op) != state_->dependencies.end())
            return;
        state_->dependencies.push_back(op);
    }
    std::lock_guard<std::mutex> lock(op->state_->mutex);
    op->state_->dependents.push_back(weak_from_this());
}

void Operation::removeDependency(const std::shared_ptr<Operation>& op) {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        auto& deps = state_->dependencies;
        auto it = std::find(deps.begin(), deps.end(), op);
        if (it == deps.end()) return;
        deps.erase(it);
    }
    if (auto q = OperationAccess::queueOf(*this)) q->pump();
}

std::vector<std::shared_ptr<Operation>> Operation::dependencies() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->dependencies;
}

void Operation::setCompletionBlock(Block block) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->completion = std::move(block);
}

void Operation::waitUntilFinished() {
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->cv.wait(lock, [this] { return state_->finished; });
}

void Operation::setName(std::string name) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->name = std::move(name);
}

std::string Operation::name() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->name;
}

std::shared_ptr<BlockOperation> BlockOperation::make(Block block) {
    if (!block) Exception::raise(kInvalidArgumentException, "BlockOperation needs a block");
    return std::make_shared<BlockOperation>(Passkey{}, std::move(block));
}

BlockOperation::BlockOperation(Passkey, Block block) : block_(std::move(block)) {}

void BlockOperation::main() { block_(); }

// ---------------------------------------------------------------- queue

void OperationQueue::Impl::pump() {
    std::vector<OperationPtr> start;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (suspended) return;
        for (auto& op : operations) {
            if (maxConcurrent != kDefaultMaxConcurrentOperationCount && running >= maxConcurrent) break;
            auto& s = OperationAccess::state(*op);
            {
                std::lock_guard<std::mutex> opLock(s.mutex);
                if (s.started) continue;
            }
            if (!op->isReady()) continue;
            {
                std::lock_guard<std::mutex> opLock(s.mutex);
                s.started = true;
            }
            ++running;
            start.push_back(op);
        }
    }
    if (start.empty()) return;
    auto self = shared_from_this();
    for (auto& op : start) target->async([self, op] { self->run(op); });
}

void OperationQueue::Impl::run(const OperationPtr& op) {
    auto& s = OperationAccess::state(*op);
    bool cancelled;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        cancelled = s.cancelled;
        s.executing = !cancelled;
    }
    if (!cancelled) {
        std::string label;
        {
            std::lock_guard<std::mutex> lock(mutex);
            label = name;
        }
        auto& current = currentQueueSlot();
        auto saved = current;
        current = facade;
        detail::runGuarded(label, [&] { op->main(); });
        current = saved;
        if (op->isAsynchronous()) {
            std::lock_guard<std::mutex> lock(s.mutex);
            if (!s.finishCalled) {
                s.awaitingFinish = true;
                s.awaitingQueue = shared_from_this();
                return;
            }
        }
    }
    complete(op);
}

void Operation::finish() {
    std::shared_ptr<OperationQueue::Impl> queue;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        if (state_->finishCalled || state_->finished) return;
        state_->finishCalled = true;
        if (!state_->awaitingFinish) return;  // run() completes it when main() returns
        state_->awaitingFinish = false;
        queue = std::move(state_->awaitingQueue);
    }
    if (queue) queue->complete(shared_from_this());
}

void OperationQueue::Impl::complete(const OperationPtr& op) {
    auto& s = OperationAccess::state(*op);
    Block completion;
    std::vector<std::weak_ptr<Operation>> dependents;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.executing = false;
        s.finished = true;
        completion = std::move(s.completion);
        dependents = s.dependents;
    }
    s.cv.notify_all();
    {
        std::lock_guard<std::mutex> lock(mutex);
        operations.erase(std::find(operations.begin(), operations.end(), op));
        --running;
    }
    cv.notify_all();
    if (completion) DispatchQueue::global(qos)->async(std::move(completion));
    // Dependents may live in other queues.
    for (auto& weak : dependents) {
        auto dependent = weak.lock();
        if (!dependent) continue;
        auto q = OperationAccess::queueOf(*dependent);
        if (q && q.get() != this) q->pump();
    }
    pump();
}

OperationQueue::OperationQueue(Passkey, std::string name, bool suspended, DispatchQueuePtr target)
    : impl_(std::make_shared<Impl>()) {
    impl_->name = name.empty() ? format("NSOperationQueue %p", static_cast<const void*>(this)) : std::move(name);
    impl_->suspended = suspended;
    impl_->qos = target->qos();
    impl_->target = std::move(target);
}

OperationQueue::~OperationQueue() = default;

std::shared_ptr<OperationQueue> OperationQueue::make(std::string name, bool suspended, DispatchQueue::QoS qos) {
    auto q = std::make_shared<OperationQueue>(Passkey{}, std::move(name), suspended, DispatchQueue::global(qos));
    q->impl_->facade = q;
    return q;
}

std::shared_ptr<OperationQueue> OperationQueue::main() {
    static auto* queue = [] {
        auto q = std::make_shared<OperationQueue>(Passkey{}, "NSOperationQueue Main Queue", false,
                                                  DispatchQueue::main());
        q->impl_->facade = q;
        q->impl_->maxConcurrent = 1;
        return new std::shared_ptr<OperationQueue>(q);
    }();
    return *queue;
}

std::shared_ptr<OperationQueue> OperationQueue::current() { return currentQueueSlot().lock(); }

void OperationQueue::addOperation(const OperationPtr& op) {
    if (!op) Exception::raise(kInvalidArgumentException, "addOperation needs an operation");
    auto& s = OperationAccess::state(*op);
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.enqueued)
            Exception::raise(kInvalidArgumentException, "operation is already enqueued on a queue");
        if (s.finished || s.executing)
            Exception::raise(kInvalidArgumentException, "operation is finished or executing and cannot be enqueued");
        s.enqueued = true;
        s.queue = impl_;
    }
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->operations.push_back(op);
    }
    impl_->pump();
}

void OperationQueue::addOperation(Block block) { addOperation(BlockOperation::make(std::move(block))); }

void OperationQueue::addOperations(const std::vector<OperationPtr>& ops, bool waitUntilFinished) {
    for (auto& op : ops)
        if (!op) Exception::raise(kInvalidArgumentException, "addOperations needs operations");
    for (auto& op : ops) addOperation(op);
    if (waitUntilFinished)
        for (auto& op : ops) op->waitUntilFinished();
}

void OperationQueue::setMaxConcurrentOperationCount(long count) {
    if (count < kDefaultMaxConcurrentOperationCount)
        Exception::raise(kInvalidArgumentException,
                         format("maxConcurrentOperationCount cannot be %ld", count));
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->maxConcurrent = count;
    }
    impl_->pump();
}

long OperationQueue::maxConcurrentOperationCount() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->maxConcurrent;
}

void OperationQueue::setSuspended(bool suspended) {
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->suspended = suspended;
    }
    if (!suspended) impl_->pump();
}

bool OperationQueue::isSuspended() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->suspended;
}

void OperationQueue::cancelAllOperations() {
    // Waiting operations are cancelled before running ones: a running one
    // that stops at its cancel frees a slot, and the queue must not hand that
    // slot to an operation this call was about to cancel.
    auto ops = operations();
    std::vector<OperationPtr> running;
    for (auto& op : ops) {
        auto& s = OperationAccess::state(*op);
        bool started;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            started = s.started;
        }
        if (started)
            running.push_back(op);
        else
            op->cancel();
    }
    for (auto& op : running) op->cancel();
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
    if (auto current = currentQueueSlot().lock(); current && current->impl_ == impl_)
        Exception::raise(kInternalInconsistencyException,
                         format("waitUntilAllOperationsAreFinished from an operation of %@ would never return",
                                impl_->name));
    std::unique_lock<std::mutex> lock(impl_->mutex);
    impl_->cv.wait(lock, [this] { return impl_->operations.empty(); });
}

std::size_t OperationQueue::operationCount() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->operations.size();
}

std::vector<OperationPtr> OperationQueue::operations() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->operations;
}

void OperationQueue::setName(std::string name) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->name = std::move(name);
}

std::string OperationQueue::name() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->name;
}

}  // namespace ns
