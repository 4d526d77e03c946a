#include "platform/operation_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "platform/error.h"
#include "platform/runloop.h"

namespace {

const bool kMainBound = (ns::RunLoop::bindMainThread(), true);

using ns::OperationQueue;

bool waitFor(const std::function<bool()>& done) { return ns::RunLoop::main().runUntil(done, 20); }

TEST(OperationQueue, NeverRunsMoreThanTheLimitAtOnce) {
    auto queue = OperationQueue::make("test.limit");
    queue->setMaxConcurrentOperationCount(3);
    std::atomic<int> active{0}, peak{0}, done{0};
    ns::DispatchSemaphore gate;
    for (int i = 0; i < 20; ++i) {
        queue->addOperation([&] {
            int now = ++active;
            int seen = peak.load();
            while (now > seen && !peak.compare_exchange_weak(seen, now)) {
            }
            gate.wait();
            --active;
            ++done;
        });
    }
    // Three are blocked on the gate; a broken limit would let more start.
    EXPECT_TRUE(waitFor([&] { return active.load() == 3; }));
    ns::RunLoop::main().runFor(0.05);
    EXPECT_EQ(active.load(), 3);
    EXPECT_EQ(queue->operationCount(), 20u);
    for (int i = 0; i < 20; ++i) gate.signal();
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(done.load(), 20);
    EXPECT_EQ(peak.load(), 3);
    EXPECT_EQ(queue->operationCount(), 0u);
    EXPECT_THROW(queue->setMaxConcurrentOperationCount(-2), ns::Exception);
}

TEST(OperationQueue, SuspendedQueueRunsEverythingInOrderOnceResumed) {
    auto queue = OperationQueue::make("test.suspended", true);
    queue->setMaxConcurrentOperationCount(1);
    std::mutex mutex;
    std::vector<int> order;
    for (int i = 0; i < 6; ++i) queue->addOperation([&, i] {
            std::lock_guard<std::mutex> lock(mutex);
            order.push_back(i);
        });
    ns::RunLoop::main().runFor(0.05);
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_TRUE(order.empty());
    }
    EXPECT_EQ(queue->operationCount(), 6u);
    EXPECT_TRUE(queue->isSuspended());
    queue->setSuspended(false);
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST(OperationQueue, CancelledOperationsFinishWithoutRunning) {
    auto queue = OperationQueue::make("test.cancel", true);
    std::atomic<int> ran{0}, completed{0};
    std::vector<ns::OperationPtr> ops;
    for (int i = 0; i < 5; ++i) {
        auto op = ns::BlockOperation::make([&] { ran++; });
        op->setCompletionBlock([&] { completed++; });
        ops.push_back(op);
        queue->addOperation(op);
    }
    queue->cancelAllOperations();
    queue->setSuspended(false);
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(ran.load(), 0);
    for (auto& op : ops) {
        EXPECT_TRUE(op->isCancelled());
        EXPECT_TRUE(op->isFinished());
    }
    EXPECT_TRUE(waitFor([&] { return completed.load() == 5; }));
    EXPECT_THROW(queue->addOperation(ops[0]), ns::Exception);  // finished
}

TEST(OperationQueue, DependenciesOrderOperationsAcrossQueues) {
    auto first = OperationQueue::make("test.deps.a", true);
    auto second = OperationQueue::make("test.deps.b");
    std::mutex mutex;
    std::vector<char> order;
    auto log = [&](char c) {
        std::lock_guard<std::mutex> lock(mutex);
        order.push_back(c);
    };
    auto a = ns::BlockOperation::make([&] { log('a'); });
    auto b = ns::BlockOperation::make([&] { log('b'); });
    auto c = ns::BlockOperation::make([&] { log('c'); });
    b->addDependency(a);
    c->addDependency(b);
    EXPECT_THROW(a->addDependency(a), ns::Exception);
    EXPECT_FALSE(b->isReady());
    second->addOperation(c);
    second->addOperation(b);
    first->addOperation(a);  // held: nothing can start yet
    ns::RunLoop::main().runFor(0.02);
    EXPECT_EQ(second->operationCount(), 2u);
    first->setSuspended(false);
    c->waitUntilFinished();
    EXPECT_EQ(order, (std::vector<char>{'a', 'b', 'c'}));
    EXPECT_THROW(second->addOperation(b), ns::Exception);
}

TEST(OperationQueue, WaitingFromInsideTheQueueRaisesAndMainQueueUsesTheMainLoop) {
    auto queue = OperationQueue::make("test.inside");
    std::atomic<bool> raised{false};
    std::atomic<bool> sawCurrent{false};
    queue->addOperation([&] {
        sawCurrent = OperationQueue::current() == queue;
        try {
            queue->waitUntilAllOperationsAreFinished();
        } catch (const ns::Exception&) {
            raised = true;
        }
    });
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(raised.load());
    EXPECT_TRUE(sawCurrent.load());
    EXPECT_EQ(OperationQueue::current(), nullptr);

    bool onMain = false;
    OperationQueue::main()->addOperation([&] { onMain = ns::RunLoop::isMainThread(); });
    EXPECT_TRUE(waitFor([&] { return OperationQueue::main()->operationCount() == 0; }));
    EXPECT_TRUE(onMain);
}

}  // namespace

namespace {

// Stays executing after main() until the test calls done(), like an
// operation waiting for a network answer.
class Pending : public ns::Operation {
public:
    bool isAsynchronous() const override { return true; }
    void main() override { ++started; }
    void done() { finish(); }
    std::atomic<int> started{0};
};

// Like a network request: cancelling it ends it at once, freeing its slot.
class EndsAtCancel : public Pending {
public:
    void cancel() override {
        waitingAlreadyCancelled = waiting && waiting->isCancelled();
        Pending::cancel();
        done();
    }
    ns::OperationPtr waiting;
    bool waitingAlreadyCancelled = false;
};

}  // namespace

TEST(OperationQueue, CancellingAllGivesNoFreedSlotToAnOperationAboutToBeCancelled) {
    auto queue = OperationQueue::make("test.cancel.order");
    queue->setMaxConcurrentOperationCount(1);
    auto running = std::make_shared<EndsAtCancel>();
    auto waiting = std::make_shared<Pending>();
    running->waiting = waiting;
    queue->addOperation(running);
    queue->addOperation(waiting);
    ASSERT_TRUE(waitFor([&] { return running->started == 1; }));
    queue->cancelAllOperations();
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(running->waitingAlreadyCancelled);
    EXPECT_EQ(waiting->started, 0);
}

TEST(OperationQueue, AsynchronousOperationsHoldTheirPlaceUntilTheyFinish) {
    auto queue = OperationQueue::make("test.async");
    queue->setMaxConcurrentOperationCount(2);
    std::vector<std::shared_ptr<Pending>> ops;
    for (int i = 0; i < 3; ++i) {
        ops.push_back(std::make_shared<Pending>());
        queue->addOperation(ops.back());
    }
    ASSERT_TRUE(waitFor([&] { return ops[0]->started == 1 && ops[1]->started == 1; }));
    // main() returned, yet both still count against the limit.
    ns::RunLoop::main().runFor(0.05);
    EXPECT_EQ(ops[2]->started, 0);
    EXPECT_TRUE(ops[0]->isExecuting());
    EXPECT_FALSE(ops[0]->isFinished());

    ops[0]->done();
    ops[0]->done();  // a second finish changes nothing
    EXPECT_TRUE(ops[0]->isFinished());
    ASSERT_TRUE(waitFor([&] { return ops[2]->started == 1; }));
    ops[1]->done();
    ops[2]->done();
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(queue->operationCount(), 0u);

    // Finishing from inside main() or before a cancelled start completes at once.
    auto early = std::make_shared<Pending>();
    early->cancel();
    early->done();
    queue->addOperation(early);
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_EQ(early->started, 0);
    EXPECT_TRUE(early->isFinished());
}
