#pragma once
// Follows the retry waits session fetchers announce
// (kHTKSessionFetcherRetryDelayStartedNotification), so a test under
// ns::VirtualClock can move the clock over each wait as it starts:
//
//   auto clock = ns::VirtualClock::install(ns::Clock::nowSeconds());
//   ns::testing::RetryWaits waits;
//   ... start the fetch ...
//   waits.drive(*clock, [&] { return finished; });
//   EXPECT_EQ(waits.waits(), (std::vector<double>{1, 2, 4}));

#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <vector>

#include "platform/clock.h"
#include "platform/notification_center.h"
#include "platform/runloop.h"
#include "platform/session_fetcher.h"

namespace ns::testing {

class RetryWaits {
public:
    RetryWaits() {
        token_ = NotificationCenter::defaultCenter().addObserver(
            kHTKSessionFetcherRetryDelayStartedNotification, nullptr, nullptr, [this](const Notification& note) {
                std::lock_guard lock(mutex_);
                waits_.push_back(note.userInfo.at(kHTKSessionFetcherRetryDelayKey).asDouble());
            });
    }
    ~RetryWaits() { NotificationCenter::defaultCenter().removeObserver(token_); }
    RetryWaits(const RetryWaits&) = delete;
    RetryWaits& operator=(const RetryWaits&) = delete;

    // Seconds of each wait announced so far, in order.
    std::vector<double> waits() const {
        std::lock_guard lock(mutex_);
        return waits_;
    }

    // Pumps the main run loop and moves the clock over every wait announced
    // until `done` (real time limit: 120 s for each step).
    void drive(VirtualClock& clock, const std::function<bool()>& done) {
        size_t advanced = 0;
        while (!done()) {
            ASSERT_TRUE(RunLoop::main().runUntil([&] { return done() || waits().size() > advanced; }, 120));
            if (done()) break;
            clock.advance(waits()[advanced++]);
        }
    }

private:
    ObserverToken token_ = 0;
    mutable std::mutex mutex_;
    std::vector<double> waits_;
};

}  // namespace ns::testing
