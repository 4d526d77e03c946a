#include "database/model/FClock.h"

#include "platform/clock.h"

const FClockPtr& FSystemClock::clock() {
    static const FClockPtr kClock = std::make_shared<const FSystemClock>();
    return kClock;
}

double FSystemClock::currentTime() const { return ns::Clock::nowSeconds(); }
