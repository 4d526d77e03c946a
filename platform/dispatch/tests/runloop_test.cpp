#include "platform/runloop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/error.h"

namespace {

const bool kMainBound = (ns::RunLoop::bindMainThread(), true);

using ns::RunLoop;
using ns::Timer;

TEST(RunLoop, PerformsFromAnyThreadRunInOrderOnTheOwner) {
    auto& loop = RunLoop::main();
    EXPECT_TRUE(RunLoop::isMainThread());
    EXPECT_EQ(&RunLoop::current(), &loop);
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i)
            loop.perform([&, i] {
                order.push_back(i);
                threads.push_back(std::this_thread::get_id());
            });
    });
    poster.join();
    EXPECT_TRUE(loop.runUntil([&] { return order.size() == 100; }, 20));
    for (int i = 0; i < 100; ++i) ASSERT_EQ(order[i], i);
    for (auto id : threads) ASSERT_EQ(id, std::this_thread::get_id());

    // Only the owner may run a loop.
    bool raised = false;
    std::thread other([&] {
        try {
            loop.runOnce();
        } catch (const ns::Exception& e) {
            raised = e.name() == ns::kInternalInconsistencyException;
        }
    });
    other.join();
    EXPECT_TRUE(raised);
    EXPECT_THROW(loop.perform(nullptr), ns::Exception);
}

TEST(RunLoop, RunOnceDrainsWhatIsThereAndStopEndsRun) {
    auto& loop = RunLoop::main();
    std::vector<int> order;
    loop.perform([&] {
        order.push_back(1);
        loop.perform([&] { order.push_back(3); });  // waits for the next turn
    });
    loop.perform([&] { order.push_back(2); });
    EXPECT_EQ(loop.runOnce(), 2u);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(loop.runOnce(), 1u);
    EXPECT_EQ(loop.runOnce(), 0u);

    loop.perform([&] { loop.stop(); });
    loop.run();  // returns only because of the stop
    loop.stop();  // not running: ignored, so the next run is not cut short
    EXPECT_FALSE(loop.runUntil([] { return false; }, 0.01));
}

TEST(RunLoop, LoopOnAnotherThreadRunsItsWorkThere) {
    std::shared_ptr<RunLoop> loop;
    std::atomic<bool> ready{false};
    std::thread owner([&] {
        loop = RunLoop::currentShared();
        EXPECT_FALSE(RunLoop::isMainThread());
        EXPECT_NE(loop.get(), &RunLoop::main());
        ready = true;
        loop->run();
    });
    while (!ready) std::this_thread::yield();
    std::atomic<bool> ranThere{false};
    auto ownerId = owner.get_id();
    loop->perform([&] { ranThere = std::this_thread::get_id() == ownerId; });
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return ranThere.load(); }, 20));
    EXPECT_THROW(loop->runOnce(), ns::Exception);
    loop->perform([&] { loop->stop(); });
    owner.join();
}

class VirtualTime : public ::testing::Test {
protected:
    std::unique_ptr<ns::VirtualClock> clock = ns::VirtualClock::install(1'000'000);
    double t0 = 1'000'000;
};

TEST_F(VirtualTime, RepeatingTimerFiresAtEachDeadline) {
    std::vector<double> fires;
    auto timer = Timer::scheduled(RunLoop::main(), 45, true, [&](Timer&) { fires.push_back(ns::Clock::nowSeconds()); });
    EXPECT_EQ(timer->fireDate(), t0 + 45);
    clock->advance(180);
    EXPECT_EQ(fires, (std::vector<double>{t0 + 45, t0 + 90, t0 + 135, t0 + 180}));
    EXPECT_EQ(timer->fireDate(), t0 + 225);
    clock->advance(44);
    EXPECT_EQ(fires.size(), 4u);
    timer->invalidate();
    EXPECT_FALSE(timer->isValid());
    clock->advance(1000);
    EXPECT_EQ(fires.size(), 4u);
}

TEST_F(VirtualTime, MovedFireDatesAndOneShotTimers) {
    int fires = 0;
    auto once = Timer::scheduled(RunLoop::main(), 100, false, [&](Timer& t) {
        EXPECT_TRUE(t.isValid());  // still valid inside its block
        fires++;
    });
    once->setFireDate(t0 + 10);
    clock->advance(10);
    EXPECT_EQ(fires, 1);
    EXPECT_FALSE(once->isValid());
    once->setFireDate(t0 + 20);  // no effect once invalid
    clock->advance(100);
    EXPECT_EQ(fires, 1);

    // A repeating timer continues every interval from the moved date.
    std::vector<double> at;
    auto rep = Timer::scheduled(RunLoop::main(), 30, true, [&](Timer&) { at.push_back(ns::Clock::nowSeconds()); });
    double now = clock->now();
    rep->setFireDate(now + 100);
    clock->advance(99);
    EXPECT_TRUE(at.empty());
    clock->advance(61);
    EXPECT_EQ(at, (std::vector<double>{now + 100, now + 130, now + 160}));
    // A date in the past fires as soon as the loop runs.
    rep->setFireDate(now - 5);
    RunLoop::main().runOnce();
    EXPECT_EQ(at.size(), 4u);
    rep->invalidate();
}

TEST_F(VirtualTime, BlocksMayInvalidateOrRescheduleTheirTimer) {
    int fires = 0;
    Timer::scheduled(RunLoop::main(), 5, true, [&](Timer& t) {
        if (++fires == 3) t.invalidate();
    });  // the run loop holds the timer
    clock->advance(100);
    EXPECT_EQ(fires, 3);

    // A one-shot whose block moves its date stays scheduled.
    int rearmed = 0;
    auto t = Timer::scheduled(RunLoop::main(), 5, false, [&](Timer& self) {
        if (++rearmed < 3) self.setFireDate(ns::Clock::nowSeconds() + 5);
    });
    clock->advance(100);
    EXPECT_EQ(rearmed, 3);
    EXPECT_FALSE(t->isValid());

    // fire() calls the block without disturbing the schedule.
    int manual = 0;
    auto r = Timer::scheduled(RunLoop::main(), 10, true, [&](Timer&) { manual++; });
    r->fire();
    EXPECT_EQ(manual, 1);
    EXPECT_EQ(r->fireDate(), clock->now() + 10);
    r->invalidate();
    r->fire();
    EXPECT_EQ(manual, 1);
}

TEST_F(VirtualTime, WorkScheduledByFiredWorkInsideTheWindowFiresToo) {
    std::vector<std::pair<char, double>> log;
    auto q = ns::DispatchQueue::serial("test.chain");
    Timer::scheduled(RunLoop::main(), 10, false, [&](Timer&) {
        log.emplace_back('t', ns::Clock::nowSeconds());
        q->after(5, [&] {
            log.emplace_back('q', ns::Clock::nowSeconds());
            RunLoop::main().performAfter(3, nullptr, [&] { log.emplace_back('p', ns::Clock::nowSeconds()); });
        });
    });
    clock->advance(30);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], std::make_pair('t', t0 + 10));
    EXPECT_EQ(log[1], std::make_pair('q', t0 + 15));
    EXPECT_EQ(log[2], std::make_pair('p', t0 + 18));
    EXPECT_EQ(clock->now(), t0 + 30);
}

TEST_F(VirtualTime, DelayedPerformsAreCancelledByOwner) {
    int a = 0, b = 0;
    std::vector<int> order;
    auto& loop = RunLoop::main();
    loop.performAfter(5, &a, [&] { order.push_back(1); });
    loop.performAfter(7, &b, [&] { order.push_back(2); });
    loop.performAfter(9, &a, [&] { order.push_back(3); });
    loop.performAfter(7, &b, [&] { order.push_back(4); });  // same deadline: scheduling order
    loop.cancelPerforms(&a);
    clock->advance(10);
    EXPECT_EQ(order, (std::vector<int>{2, 4}));

    // A perform that came due but has not run yet is still cancellable.
    loop.performAfter(5, &a, [&] { order.push_back(5); });
    std::thread other([&] { clock->advance(5); });  // off the main thread: queued for the loop
    other.join();
    loop.cancelPerforms(&a);
    loop.runOnce();
    EXPECT_EQ(order.size(), 2u);
}

TEST_F(VirtualTime, AdvanceWaitsForBackgroundWorkAndQueuesMainWorkFromOtherThreads) {
    std::shared_ptr<RunLoop> loop;
    std::atomic<bool> ready{false};
    std::thread owner([&] {
        loop = RunLoop::currentShared();
        ready = true;
        loop->run();
    });
    while (!ready) std::this_thread::yield();
    while (!loop->isRunning()) std::this_thread::yield();
    int fired = 0;  // written on the owner thread, read after advance returns
    auto timer = Timer::scheduled(*loop, 45, true, [&](Timer&) { fired++; });
    clock->advance(45 * 1920);  // a day of keep-alives
    EXPECT_EQ(fired, 1920);
    timer->invalidate();
    loop->perform([&] { loop->stop(); });
    owner.join();

    // Main-loop work due while another thread advances waits for the loop.
    bool mainRan = false;
    RunLoop::main().performAfter(10, nullptr, [&] { mainRan = true; });
    std::thread advancer([&] { clock->advance(10); });
    advancer.join();
    EXPECT_FALSE(mainRan);
    RunLoop::main().runOnce();
    EXPECT_TRUE(mainRan);
}

TEST(RunLoopSystemClock, TimersFireWithRealTime) {
    int fires = 0;
    auto timer = Timer::scheduled(RunLoop::main(), 0.005, true, [&](Timer&) { fires++; });
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return fires >= 3; }, 20));
    timer->invalidate();
    bool performed = false;
    RunLoop::main().performAfter(0.01, nullptr, [&] { performed = true; });
    EXPECT_TRUE(RunLoop::main().runUntil([&] { return performed; }, 20));
}

}  // namespace
