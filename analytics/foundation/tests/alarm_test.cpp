// The one-shot alarm on the virtual clock: arming again replaces the shot,
// cancelling drops it, and each step is logged under the alarm's name.

#include "analytics/QRVAAlarm.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "monitor_lines.h"
#include "platform/clock.h"
#include "platform/runloop.h"
#include "sandboxed_test.h"

namespace {

constexpr double kStart = 1'700'000'000;

class AlarmTest : public analyticstest::LoggingTest {
protected:
    // Runs `work` on the alarms' queue, where their callers must be.
    void onQueue(const std::function<void()>& work) { queue_->sync(work); }

    std::unique_ptr<ns::VirtualClock> clock_ = ns::VirtualClock::install(kStart);
    ns::DispatchQueuePtr queue_ = ns::DispatchQueue::serial("alarm-test");
};

TEST_F(AlarmTest, FiresOnceAtTheLastArmingDisarmedInsideItsBlockAndNeverOnceCancelled) {
    auto alarm = QRVAAlarm::initWithDispatchQueue(queue_, "Measurement timer");
    std::vector<std::string> fired;
    std::vector<double> firedAt;
    bool disarmedInBlock = false;
    std::function<void()> rearming = [&] {
        firedAt.push_back(ns::Clock::nowSeconds());
        disarmedInBlock = !alarm->hasActiveTimer() && !alarm->scheduledTimestamp();
        if (firedAt.size() < 2) alarm->runAfterDelay(7, rearming);
    };
    onQueue([&] {
        alarm->runAfterDelay(10, [&] { fired.push_back("first"); });
        alarm->runAfterDelay(20, [&] { fired.push_back("second"); });
        alarm->runAfterDelay(30, rearming);
        EXPECT_EQ(alarm->scheduledTimestamp(), ns::Date{kStart + 30});
        EXPECT_TRUE(alarm->hasActiveTimer());
    });
    clock_->advance(29.5);
    EXPECT_TRUE(firedAt.empty());
    clock_->advance(100);
    EXPECT_TRUE(fired.empty());
    EXPECT_EQ(firedAt, (std::vector<double>{kStart + 30, kStart + 37}));
    EXPECT_TRUE(disarmedInBlock);

    onQueue([&] {
        alarm->runAfterDelay(5, [&] { fired.push_back("cancelled"); });
        alarm->cancel();
        EXPECT_FALSE(alarm->hasActiveTimer());
        EXPECT_FALSE(alarm->scheduledTimestamp());
    });
    clock_->advance(60);
    EXPECT_TRUE(fired.empty());
}

TEST_F(AlarmTest, LogsEachStepUnderItsNameAtTheMonitorsLevels) {
    QRVAMeasurementMonitor()->setDebugModeEnabled(true);
    auto named = QRVAAlarm::initWithDispatchQueue(queue_, "Measurement timer");
    auto unnamed = QRVAAlarm::initWithDispatchQueue(queue_, "");
    QRVAMeasurementMonitor()->flushForTesting();
    QRVLoggerFlush();
    auto capture = ns::SystemLog::capture();
    onQueue([&] {
        named->runAfterDelay(1.5, [] {});
        named->runAfterDelay(2, {});  // refused: the pending shot stays
        EXPECT_EQ(named->scheduledTimestamp(), ns::Date{kStart + 1.5});
        unnamed->cancel();  // nothing armed: nothing logged
    });
    clock_->advance(2);
    const std::string prefix = "[Quorvane/Analytics][I-ACS00";
    EXPECT_EQ(analyticstest::consoleLines(capture), (std::vector<std::string>{
                                  prefix + "2002] Measurement timer scheduled to fire in approx. (s): 1.5",
                                  prefix + "2000] Measurement timer tried to schedule an empty block",
                                  prefix + "2001] Measurement timer fired",
                                  prefix + "2003] Measurement timer canceled",
                              }));

    // Without a queue the shot still comes, on a global queue.
    capture.clear();
    std::atomic<bool> fired{false};
    auto queueless = QRVAAlarm::initWithDispatchQueue(nullptr, "");
    queueless->runAfterDelay(3, [&] { fired = true; });
    EXPECT_TRUE(queueless->hasActiveTimer());
    clock_->advance(3);
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return fired.load(); }, 30));
    EXPECT_EQ(analyticstest::consoleLines(capture), (std::vector<std::string>{
                                  prefix + "2002] Timer scheduled to fire in approx. (s): 3",
                                  prefix + "2001] Timer fired",
                                  prefix + "2003] Timer canceled",
                              }));
}

}  // namespace
