#include "database/model/FClock.h"

#include "platform/clock.h"

const FClockPtr& FSystemClock::clock() {
    // Never destroyed: see FEmptyNode::emptyNode.
    static const FClockPtr& kClock = *new FClockPtr(std::make_shared<const FSystemClock>());
    return kClock;
}

double FSystemClock::currentTime() const { return ns::Clock::nowSeconds(); }
