// Back-off of the retry helper, driven by the virtual clock.

#include <gtest/gtest.h>

#include <cmath>
#include <mutex>
#include <vector>

#include "core/QRVLogger.h"
#include "database/connection/FPersistentConnection.h"
#include "database/connection/QRVRetryHelper.h"
#include "database/model/FUtilities.h"
#include "platform/clock.h"
#include "platform/system_log.h"

namespace {

class RetryHelperTest : public ::testing::Test {
protected:
    void SetUp() override { clock_ = ns::VirtualClock::install(); }
    void TearDown() override {
        helper_.reset();
        clock_.reset();
    }

    void makeHelper(double min, double max, double exponent, double jitter) {
        helper_ = std::make_shared<QRVRetryHelper>(queue_, min, max, exponent, jitter);
    }
    // The helper is used only on its queue.
    template <class F>
    void onQueue(F&& f) {
        queue_->sync(std::forward<F>(f));
    }
    // Schedules a retry that records the virtual time it ran at under `name`.
    void retry(const std::string& name) {
        onQueue([&] {
            helper_->retry([this, name] {
                std::lock_guard lock(mutex_);
                runs_.push_back({name, ns::Clock::nowSeconds() - start_});
            });
        });
    }
    // Moves the clock, then lets what the queue was handed at once run too.
    void advance(double seconds) {
        clock_->advance(seconds);
        queue_->sync([] {});
    }
    struct Run {
        std::string name;
        double at;
    };
    std::vector<Run> runs() {
        std::lock_guard lock(mutex_);
        return runs_;
    }
    // Makes "now" the reference for recorded times.
    void mark() { start_ = ns::Clock::nowSeconds(); }

    std::unique_ptr<ns::VirtualClock> clock_;
    ns::DispatchQueuePtr queue_ = ns::DispatchQueue::serial("retry.test");
    std::shared_ptr<QRVRetryHelper> helper_;
    std::mutex mutex_;
    std::vector<Run> runs_;
    double start_ = 0;
};

TEST_F(RetryHelperTest, WithoutJitterDelaysGrowByTheExponentUpToTheMaximum) {
    makeHelper(1.0, 5.0, 2.0, 0.0);
    const std::vector<double> expected{0, 1, 2, 4, 5, 5};
    for (size_t i = 0; i < expected.size(); ++i) {
        mark();
        retry("r" + std::to_string(i));
        advance(0);
        if (expected[i] > 0) {
            advance(expected[i] - 0.001);
            EXPECT_EQ(runs().size(), i) << "retry " << i << " ran early";
            advance(0.001);
        }
        ASSERT_EQ(runs().size(), i + 1) << "retry " << i;
        EXPECT_NEAR(runs().back().at, expected[i], 1e-9) << "retry " << i;
    }
}

TEST_F(RetryHelperTest, TheConnectionsValuesJitterBetweenThirtyAndAHundredPercentOfTheDelay) {
    makeHelper(FPersistentConnection::kMinRetryDelayAfterFailure, FPersistentConnection::kMaxRetryDelay,
               double(FPersistentConnection::kRetryExponent), FPersistentConnection::kJitterFactor);
    EXPECT_EQ(double(FPersistentConnection::kRetryExponent), 1.2999999523162842);

    mark();
    retry("first");
    advance(0);
    ASSERT_EQ(runs().size(), 1u);
    EXPECT_EQ(runs()[0].at, 0);

    double unjittered = 0;
    for (int i = 1; i < 20; ++i) {
        unjittered = unjittered == 0 ? 1.0 : std::min(unjittered * 1.2999999523162842, 30.0);
        mark();
        retry("again");
        onQueue([&] { EXPECT_DOUBLE_EQ(helper_->currentRetryDelay(), unjittered) << "failure " << i; });
        advance(0.3 * unjittered - 1e-6);
        EXPECT_EQ(runs().size(), size_t(i)) << "failure " << i << " ran before 30% of its delay";
        advance(0.7 * unjittered + 1e-6);
        ASSERT_EQ(runs().size(), size_t(i) + 1) << "failure " << i << " had not run at 100% of its delay";
        EXPECT_GE(runs().back().at, 0.3 * unjittered - 1e-6);
        EXPECT_LE(runs().back().at, unjittered + 1e-6);
    }
    // The product passed 30 s a few failures ago and stays capped.
    EXPECT_EQ(unjittered, 30.0);
}

TEST_F(RetryHelperTest, ASecondRetryReplacesThePendingOneWithTheGrownDelay) {
    makeHelper(1.0, 30.0, 2.0, 0.0);
    retry("success");
    advance(0);
    mark();
    retry("replaced");
    retry("kept");
    advance(10);
    ASSERT_EQ(runs().size(), 2u);
    EXPECT_EQ(runs()[1].name, "kept");
    EXPECT_NEAR(runs()[1].at, 2.0, 1e-9);
    onQueue([&] { EXPECT_FALSE(helper_->hasScheduledRetry()); });
}

TEST_F(RetryHelperTest, SuccessMakesTheNextRetryImmediateAndCancelRestartsFromTheMinimum) {
    makeHelper(1.0, 30.0, 2.0, 0.0);
    for (int i = 0; i < 4; ++i) {
        retry("fail");
        advance(30);
    }
    onQueue([&] { EXPECT_EQ(helper_->currentRetryDelay(), 4.0); });

    onQueue([&] { helper_->signalSuccess(); });
    mark();
    retry("immediate");
    advance(0);
    ASSERT_EQ(runs().back().name, "immediate");
    EXPECT_EQ(runs().back().at, 0);
    mark();
    retry("minimum");
    advance(30);
    EXPECT_NEAR(runs().back().at, 1.0, 1e-9);

    // Cancel drops the pending retry and the grown delay, not the failure state.
    retry("grown");  // 2 s
    onQueue([&] { helper_->cancel(); });
    const size_t before = runs().size();
    advance(30);
    EXPECT_EQ(runs().size(), before);
    mark();
    retry("after cancel");
    advance(30);
    ASSERT_EQ(runs().back().name, "after cancel");
    EXPECT_NEAR(runs().back().at, 1.0, 1e-9);
}

TEST_F(RetryHelperTest, CancelWithNothingPendingSaysSoAndStillResetsTheDelay) {
    QRVLoggerResetForTesting();
    QRVSetDebugModeEnabled(true);
    FUtilities::setLoggingEnabled(true);
    auto capture = ns::SystemLog::capture();
    makeHelper(1.0, 30.0, 2.0, 0.0);
    retry("a");
    advance(0);
    retry("b");
    advance(5);
    onQueue([&] {
        EXPECT_EQ(helper_->currentRetryDelay(), 1.0);
        helper_->cancel();
        EXPECT_EQ(helper_->currentRetryDelay(), 0.0);
        EXPECT_FALSE(helper_->lastWasSuccess());
    });
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("[Quorvane/Database][I-RDB054004] No existing retry attempt to cancel"));
    EXPECT_TRUE(capture.contains("[Quorvane/Database][I-RDB054002] Scheduling retry in 1.000000s"));
    FUtilities::setLoggingEnabled(false);
    QRVLoggerResetForTesting();
}

TEST_F(RetryHelperTest, ARetryDueAfterTheHelperIsGoneDoesNotRun) {
    makeHelper(1.0, 30.0, 2.0, 0.0);
    retry("a");
    advance(0);
    retry("orphan");
    onQueue([&] { helper_.reset(); });
    advance(5);
    EXPECT_EQ(runs().size(), 1u);
}

}  // namespace
