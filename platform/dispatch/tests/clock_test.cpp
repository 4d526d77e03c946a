#include "platform/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <ctime>
#include <thread>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/runloop.h"

namespace {

const bool kMainBound = (ns::RunLoop::bindMainThread(), true);

TEST(Clock, VirtualClockIsInForceWhileInstalled) {
    EXPECT_FALSE(ns::Clock::current().isVirtual());
    EXPECT_NEAR(ns::Clock::nowSeconds(), double(std::time(nullptr)), 5);
    {
        auto clock = ns::VirtualClock::install(500);
        EXPECT_TRUE(ns::Clock::current().isVirtual());
        EXPECT_EQ(ns::Clock::nowSeconds(), 500);
        EXPECT_THROW(ns::VirtualClock::install(), ns::Exception);
        EXPECT_THROW(clock->advance(-1), ns::Exception);
        clock->advance(2.5);
        EXPECT_EQ(ns::Clock::nowSeconds(), 502.5);
        clock->advanceTo(400);  // never backwards
        EXPECT_EQ(clock->now(), 502.5);
        clock->advanceTo(600);
        EXPECT_EQ(clock->now(), 600);
    }
    EXPECT_FALSE(ns::Clock::current().isVirtual());
    EXPECT_NEAR(ns::Clock::nowSeconds(), double(std::time(nullptr)), 5);
}

TEST(Clock, PendingWorkKeepsItsRemainingDelayAcrossClockSwitches) {
    auto& loop = ns::RunLoop::main();
    auto timer = ns::Timer::scheduled(loop, 1000, false, [](ns::Timer&) {});
    EXPECT_NEAR(timer->fireDate() - ns::Clock::nowSeconds(), 1000, 1);
    {
        auto clock = ns::VirtualClock::install(10);
        EXPECT_NEAR(timer->fireDate(), 1010, 1);
        clock->advance(400);
        EXPECT_TRUE(timer->isValid());
    }
    EXPECT_NEAR(timer->fireDate() - ns::Clock::nowSeconds(), 600, 1);
    timer->invalidate();
}

TEST(Clock, AdvanceStepsThroughEveryTargetInDeadlineOrder) {
    auto clock = ns::VirtualClock::install(0);
    auto serial = ns::DispatchQueue::serial("test.steps");
    auto global = ns::DispatchQueue::global();
    std::vector<std::pair<int, double>> log;  // each step finishes before the next starts
    auto record = [&](int id) { log.emplace_back(id, ns::Clock::nowSeconds()); };
    ns::RunLoop::main().performAfter(30, nullptr, [&] { record(3); });
    serial->after(10, [&] { record(1); });
    global->after(20, [&] { record(2); });
    ns::DispatchQueue::main()->after(40, [&] { record(4); });
    serial->after(40, [&] { record(5); });  // tie with 4: scheduling order
    clock->advance(39);
    EXPECT_EQ(log, (std::vector<std::pair<int, double>>{{1, 10}, {2, 20}, {3, 30}}));
    clock->advance(1);
    EXPECT_EQ(log, (std::vector<std::pair<int, double>>{{1, 10}, {2, 20}, {3, 30}, {4, 40}, {5, 40}}));
}

TEST(Clock, AdvanceDoesNotWaitForASuspendedQueue) {
    auto clock = ns::VirtualClock::install(0);
    auto q = ns::DispatchQueue::serial("test.held");
    q->suspend();
    bool ran = false;
    q->after(5, [&] { ran = true; });
    clock->advance(10);  // returns although the work cannot run yet
    EXPECT_FALSE(ran);
    q->resume();
    q->sync([] {});
    EXPECT_TRUE(ran);
}

}  // namespace

// Another thread may have taken the current clock just before a test
// uninstalls its virtual clock: what it holds must stay readable.
TEST(VirtualClockLifetime, ReadersOfTheCurrentClockOutliveItsUninstall) {
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0};
    std::thread reader([&] {
        while (!stop.load()) {
            const ns::Clock& clock = ns::Clock::current();
            volatile double t = clock.now();
            (void)t;
            volatile bool v = clock.isVirtual();
            (void)v;
            reads.fetch_add(1);
        }
    });
    // No scheduler promises the reader a turn during the loop, so it is
    // known to be reading before the installs start.
    while (reads.load() == 0) std::this_thread::yield();
    for (int i = 0; i < 2000; ++i) {
        auto clock = ns::VirtualClock::install(1'000.0 + i);
        EXPECT_TRUE(ns::VirtualClock::advanceInstalled(0.5));
        EXPECT_EQ(clock->now(), 1'000.5 + i);
    }
    EXPECT_FALSE(ns::VirtualClock::advanceInstalled(1));
    stop = true;
    reader.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_FALSE(ns::Clock::current().isVirtual());
}
