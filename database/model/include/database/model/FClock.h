#pragma once
// Clocks of the database: the device clock and one offset by the server's
// time difference.

#include <memory>

class FClock {
public:
    virtual ~FClock() = default;
    // Seconds since 1970, with fraction.
    virtual double currentTime() const = 0;
};

using FClockPtr = std::shared_ptr<const FClock>;

class FSystemClock final : public FClock {
public:
    // The shared device clock (the platform clock in force, so a test's
    // virtual clock drives it).
    static const FClockPtr& clock();
    double currentTime() const override;
};

class FOffsetClock final : public FClock {
public:
    // initWithClock:offset:
    FOffsetClock(FClockPtr clock, double offset) : clock_(std::move(clock)), offset_(offset) {}
    double currentTime() const override { return clock_->currentTime() + offset_; }

private:
    FClockPtr clock_;
    double offset_;
};
