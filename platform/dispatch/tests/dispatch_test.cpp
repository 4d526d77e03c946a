#include "platform/dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/runloop.h"
#include "platform/sandbox.h"

namespace {

const bool kMainBound = (ns::RunLoop::bindMainThread(), true);

using ns::DispatchQueue;

// Runs the main loop until `done` (real time cap: a failure, not a timing claim).
bool pumpUntil(const std::function<bool()>& done) { return ns::RunLoop::main().runUntil(done, 20); }

TEST(DispatchQueue, SerialQueueKeepsPerSubmitterOrderAndRunsOneAtATime) {
    auto q = DispatchQueue::serial("test.order");
    constexpr int kThreads = 8, kPerThread = 500;
    std::map<int, std::vector<int>> seen;  // touched only on q
    std::atomic<int> inFlight{0};
    std::atomic<int> overlaps{0};
    std::vector<std::thread> submitters;
    for (int t = 0; t < kThreads; ++t) {
        submitters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                q->async([&, t, i] {
                    if (inFlight.fetch_add(1) != 0) overlaps++;
                    seen[t].push_back(i);
                    inFlight.fetch_sub(1);
                });
            }
        });
    }
    for (auto& s : submitters) s.join();
    q->sync([] {});  // FIFO: everything submitted before has run
    EXPECT_EQ(overlaps.load(), 0);
    ASSERT_EQ(seen.size(), size_t(kThreads));
    for (auto& [t, list] : seen) {
        ASSERT_EQ(list.size(), size_t(kPerThread)) << "submitter " << t;
        for (int i = 0; i < kPerThread; ++i) ASSERT_EQ(list[i], i) << "submitter " << t;
    }
}

TEST(DispatchQueue, SyncOntoAQueueTheCallerIsOnRaises) {
    auto q1 = DispatchQueue::serial("test.q1");
    auto q2 = DispatchQueue::concurrent("test.q2");
    auto q3 = DispatchQueue::serial("test.q3");
    std::string name, label;
    bool innerRan = false;
    q1->sync([&] {
        try {
            q1->sync([] {});
        } catch (const ns::Exception& e) {
            name = e.name();
        }
        q2->sync([&] {
            label = DispatchQueue::currentLabel();
            EXPECT_TRUE(q1->isCurrent());
            EXPECT_TRUE(q2->isCurrent());
            EXPECT_THROW(q1->sync([] {}), ns::Exception);  // outer queue of the chain
            EXPECT_THROW(q2->sync([] {}), ns::Exception);
            q3->sync([&] { innerRan = true; });  // a different queue is fine
        });
    });
    EXPECT_EQ(name, ns::kInternalInconsistencyException);
    EXPECT_EQ(label, "test.q2");
    EXPECT_TRUE(innerRan);
    EXPECT_FALSE(q1->isCurrent());

    // The same from an async block on the queue's own thread.
    ns::DispatchSemaphore done;
    std::atomic<bool> raised{false};
    q1->async([&] {
        try {
            q1->sync([] {});
        } catch (const ns::Exception&) {
            raised = true;
        }
        done.signal();
    });
    done.wait();
    EXPECT_TRUE(raised.load());
}

TEST(DispatchQueue, SyncWaitsForEarlierWorkAndPassesExceptionsToTheCaller) {
    auto q = DispatchQueue::serial("test.sync");
    ns::DispatchSemaphore gate;
    std::vector<int> order;
    q->async([&] {
        gate.wait();
        order.push_back(1);
    });
    std::thread opener([&] { gate.signal(); });
    q->sync([&] { order.push_back(2); });
    opener.join();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_THROW(q->sync([] { throw std::runtime_error("inside"); }), std::runtime_error);
    // The queue is free again after the throwing block.
    q->sync([&] { order.push_back(3); });
    EXPECT_EQ(order.back(), 3);
    EXPECT_THROW(q->async(nullptr), ns::Exception);
}

TEST(DispatchQueue, MainQueueRunsWhenTheMainLoopIsPumped) {
    auto main = DispatchQueue::main();
    EXPECT_TRUE(main->isCurrent());
    EXPECT_EQ(DispatchQueue::currentLabel(), "com.apple.main-thread");
    EXPECT_THROW(main->sync([] {}), ns::Exception);

    std::vector<int> order;
    for (int i = 0; i < 5; ++i) main->async([&, i] { order.push_back(i); });
    EXPECT_TRUE(order.empty());  // nothing runs until the loop does
    EXPECT_TRUE(pumpUntil([&] { return order.size() == 5; }));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));

    // sync from a background queue waits until the main loop runs it, on the
    // main thread, and a sync back into the caller's queue raises there.
    auto bg = DispatchQueue::serial("test.bg");
    std::thread::id ranOn;
    std::atomic<bool> finished{false};
    bool raisedOnMain = false;
    bg->async([&] {
        main->sync([&] {
            ranOn = std::this_thread::get_id();
            try {
                bg->sync([] {});
            } catch (const ns::Exception&) {
                raisedOnMain = true;
            }
        });
        finished = true;
    });
    EXPECT_TRUE(pumpUntil([&] { return finished.load(); }));
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_TRUE(raisedOnMain);
}

TEST(DispatchQueue, ConcurrentQueueRunsInParallelAndBarriersRunAlone) {
    auto q = DispatchQueue::concurrent("test.concurrent");
    // Two blocks that each wait for the other only finish if they overlap.
    ns::DispatchSemaphore a, b;
    ns::DispatchGroup group;
    group.async(q, [&] {
        a.signal();
        b.wait();
    });
    group.async(q, [&] {
        b.signal();
        a.wait();
    });
    EXPECT_TRUE(group.wait(20));

    std::atomic<int> active{0};
    std::atomic<int> beforeDone{0};
    int activeInBarrier = -1, beforeDoneAtBarrier = -1;
    std::atomic<bool> barrierDone{false};
    std::atomic<int> afterSawBarrier{0};
    for (int i = 0; i < 8; ++i) group.async(q, [&] {
            active++;
            std::this_thread::yield();
            active--;
            beforeDone++;
        });
    q->barrierAsync([&] {
        activeInBarrier = active.load();
        beforeDoneAtBarrier = beforeDone.load();
        barrierDone = true;
    });
    for (int i = 0; i < 8; ++i) group.async(q, [&] {
            if (barrierDone) afterSawBarrier++;
        });
    EXPECT_TRUE(group.wait(20));
    q->sync([] {});
    EXPECT_EQ(activeInBarrier, 0);
    EXPECT_EQ(beforeDoneAtBarrier, 8);
    EXPECT_EQ(afterSawBarrier.load(), 8);
}

TEST(DispatchQueue, BlockingBlocksDoNotStarveOtherQueues) {
    // More blocked queues than any fixed pool would have threads.
    constexpr int kQueues = 80;
    ns::DispatchSemaphore gate;
    ns::DispatchGroup group;
    std::vector<ns::DispatchQueuePtr> queues;
    for (int i = 0; i < kQueues; ++i) {
        queues.push_back(DispatchQueue::serial("test.blocked"));
        group.async(queues.back(), [&] { gate.wait(); });
    }
    auto opener = DispatchQueue::serial("test.opener");
    opener->async([&] {
        for (int i = 0; i < kQueues; ++i) gate.signal();
    });
    EXPECT_TRUE(group.wait(30));
}

TEST(DispatchQueue, DroppedQueueFinishesItsWork) {
    std::atomic<int> count{0};
    ns::DispatchSemaphore done;
    {
        auto q = DispatchQueue::serial("test.dropped");
        for (int i = 0; i < 100; ++i) q->async([&] { count++; });
        q->async([&] { done.signal(); });
    }
    EXPECT_TRUE(done.wait(20));
    EXPECT_EQ(count.load(), 100);
}

TEST(DispatchQueue, SuspendedQueueHoldsWorkUntilResumed) {
    auto q = DispatchQueue::serial("test.suspend");
    q->suspend();
    EXPECT_TRUE(q->isSuspended());
    std::atomic<int> ran{0};
    q->async([&] { ran++; });
    q->async([&] { ran++; });
    ns::RunLoop::main().runFor(0.05);  // room for a wrongly started block
    EXPECT_EQ(ran.load(), 0);
    q->resume();
    q->sync([] {});
    EXPECT_EQ(ran.load(), 2);
    EXPECT_THROW(q->resume(), ns::Exception);
}

TEST(DispatchGroup, NotifyRunsAfterEveryMemberAndLeaveMustBalance) {
    ns::DispatchGroup group;
    auto q = DispatchQueue::concurrent("test.group");
    std::atomic<int> members{0};
    int seenByNotify = -1;
    ns::DispatchSemaphore gate;
    for (int i = 0; i < 10; ++i) group.async(q, [&] {
            gate.wait();
            members++;
        });
    group.enter();
    group.notify(DispatchQueue::main(), [&] { seenByNotify = members.load(); });
    for (int i = 0; i < 10; ++i) gate.signal();
    ns::RunLoop::main().runFor(0.02);
    EXPECT_EQ(seenByNotify, -1);  // one member (the enter) is still out
    group.leave();
    EXPECT_TRUE(pumpUntil([&] { return seenByNotify != -1; }));
    EXPECT_EQ(seenByNotify, 10);
    EXPECT_TRUE(group.wait(0));
    EXPECT_THROW(group.leave(), ns::Exception);

    // Notify on an empty group runs at once (on its queue).
    bool ran = false;
    group.notify(DispatchQueue::main(), [&] { ran = true; });
    EXPECT_TRUE(pumpUntil([&] { return ran; }));
}

TEST(DispatchSemaphore, CountsSignalsAndWakesWaiters) {
    ns::DispatchSemaphore sem(2);
    EXPECT_TRUE(sem.wait(0));
    EXPECT_TRUE(sem.wait(0));
    EXPECT_FALSE(sem.wait(0));
    EXPECT_FALSE(sem.wait(0.01));  // real clock time-out
    EXPECT_FALSE(sem.signal());    // nobody waiting: the count goes up
    EXPECT_TRUE(sem.wait(0));

    std::atomic<int> woke{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 4; ++i) waiters.emplace_back([&] {
            if (sem.wait()) woke++;
        });
    for (int i = 0; i < 4; ++i) sem.signal();
    for (auto& w : waiters) w.join();
    EXPECT_EQ(woke.load(), 4);
    EXPECT_FALSE(sem.wait(0));
    EXPECT_THROW(ns::DispatchSemaphore(-1), ns::Exception);
}

// Advances the clock a second at a time until `finished`: the waiting
// thread's deadline is only known once it has started waiting.
void advanceUntil(ns::VirtualClock& clock, const std::atomic<bool>& finished) {
    for (int i = 0; i < 100000 && !finished; ++i) {
        clock.advance(1);
        std::this_thread::yield();
    }
}

TEST(DispatchSemaphore, TimedWaitsFollowTheVirtualClock) {
    auto clock = ns::VirtualClock::install();
    ns::DispatchSemaphore sem;
    ns::DispatchGroup group;
    group.enter();
    std::atomic<bool> finished{false};
    bool semGot = true, groupEmptied = true;
    double semWaited = 0, groupWaited = 0;
    std::thread waiter([&] {
        double start = ns::Clock::nowSeconds();
        semGot = sem.wait(30);
        semWaited = ns::Clock::nowSeconds() - start;
        start = ns::Clock::nowSeconds();
        groupEmptied = group.wait(60);
        groupWaited = ns::Clock::nowSeconds() - start;
        finished = true;
    });
    advanceUntil(*clock, finished);
    waiter.join();
    EXPECT_FALSE(semGot);
    EXPECT_FALSE(groupEmptied);
    EXPECT_GE(semWaited, 30);
    EXPECT_GE(groupWaited, 60);
    group.leave();
}

TEST(DispatchQueue, AfterRunsWhenTheVirtualClockReachesIt) {
    auto clock = ns::VirtualClock::install(1000);
    auto q = DispatchQueue::serial("test.after");
    double ranAt = 0, mainRanAt = 0;
    q->after(30, [&] { ranAt = ns::Clock::nowSeconds(); });
    DispatchQueue::main()->after(20, [&] { mainRanAt = ns::Clock::nowSeconds(); });
    clock->advance(19.5);
    EXPECT_EQ(ranAt, 0);
    EXPECT_EQ(mainRanAt, 0);
    clock->advance(0.5);
    EXPECT_EQ(mainRanAt, 1020);  // main-loop work runs inside advance on the main thread
    clock->advance(10);
    EXPECT_EQ(ranAt, 1030);
    EXPECT_EQ(clock->now(), 1030);
}

TEST(DispatchTimerSource, FiresEveryIntervalSuspendsCoalescesAndCancels) {
    auto clock = ns::VirtualClock::install(0);
    auto q = DispatchQueue::serial("test.source");
    auto source = ns::DispatchTimerSource::make(q);
    std::vector<double> fires;  // touched on q; advance waits for it
    std::atomic<bool> cancelled{false};
    source->setEventHandler([&] { fires.push_back(ns::Clock::nowSeconds()); });
    source->setCancelHandler([&] { cancelled = true; });
    source->setTimer(10, 45);
    clock->advance(100);
    EXPECT_TRUE(fires.empty());  // sources start suspended
    source->resume();            // deadline (t=10) has passed: fires at once, then every 45 s
    q->sync([] {});
    ASSERT_EQ(fires.size(), 1u);
    EXPECT_EQ(fires[0], 100);
    clock->advance(180);  // the missed firings coalesced; next at 100 + 45 ...
    EXPECT_EQ(fires, (std::vector<double>{100, 145, 190, 235, 280}));

    source->suspend();
    clock->advance(200);
    EXPECT_EQ(fires.size(), 5u);
    source->resume();  // one coalesced firing for everything missed
    q->sync([] {});
    ASSERT_EQ(fires.size(), 6u);
    EXPECT_EQ(fires.back(), 480);

    source->cancel();
    EXPECT_TRUE(source->isCancelled());
    clock->advance(1000);
    EXPECT_EQ(fires.size(), 6u);
    q->sync([] {});
    EXPECT_TRUE(cancelled.load());

    // A one-shot source fires once; setTimer restarts it.
    auto once = ns::DispatchTimerSource::make(q);
    int onceFires = 0;
    once->setEventHandler([&] { onceFires++; });
    once->setTimer(5, 0);
    once->resume();
    clock->advance(100);
    EXPECT_EQ(onceFires, 1);
    once->setTimer(5, 0);
    clock->advance(5);
    EXPECT_EQ(onceFires, 2);
}

TEST(DispatchQueueDeathTest, UncaughtExceptionAbortsWithTheQueueLabel) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The re-executed child makes its own process sandbox and dies before it
    // could remove it: let it make it inside this process's, which goes.
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string previous = tmpdir ? tmpdir : "";
    ::setenv("TMPDIR", ns::Sandbox::current()->rootPath().c_str(), 1);
    EXPECT_DEATH(
        {
            auto q = DispatchQueue::serial("test.thrower");
            q->async([] { throw ns::Exception(ns::kGenericException, "boom"); });
            ns::DispatchSemaphore().wait();
        },
        "uncaught exception on queue test.thrower: NSGenericException: boom");
    if (tmpdir) {
        ::setenv("TMPDIR", previous.c_str(), 1);
    } else {
        ::unsetenv("TMPDIR");
    }
}

}  // namespace
