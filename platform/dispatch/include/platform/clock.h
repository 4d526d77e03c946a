#pragma once
// The one clock every delayed piece of work reads: timers, delayed performs,
// `after`, timer sources, timed waits, URL time-outs, token expiries.
// Production uses the system clock; tests install a virtual clock and jump
// time forward, which fires what came due, in time order, without sleeping.

#include <functional>
#include <memory>

namespace ns {

class Clock {
public:
    virtual ~Clock() = default;
    // Seconds since 1970, with fraction.
    virtual double now() const = 0;
    virtual bool isVirtual() const { return false; }
    // Seconds since the machine booted (CLOCK_BOOTTIME). Under a virtual
    // clock: the real uptime in whole seconds when it was installed plus the
    // virtual time advanced since, so uptime and now() move together.
    virtual double uptime() const;

    // The clock in force (the system clock unless a virtual clock is installed).
    static Clock& current();
    static double nowSeconds() { return current().now(); }
    static double uptimeSeconds() { return current().uptime(); }
};

class VirtualClock : public Clock {
public:
    // Installs a virtual clock reading `start` for the lifetime of the
    // returned object; the system clock is back when it is destroyed.
    // Work already scheduled keeps its remaining delay across the switch
    // (in both directions). Only one virtual clock may be installed at a
    // time: a second install raises NSInternalInconsistencyException.
    static std::unique_ptr<VirtualClock> install(double start = 1'700'000'000.0);
    ~VirtualClock() override;

    double now() const override;
    bool isVirtual() const override { return true; }
    double uptime() const override;

    // Nothing fires by itself under a virtual clock: deadlines fire inside
    // advance (advance(0) fires what is already due). Work scheduled for a
    // time that has already come is handed to its queue or loop at once.
    //
    // Moves time forward by `seconds`, step by step through every deadline
    // that falls due on the way (earliest first; ties in scheduling order).
    // Work due on a background queue or run loop has run when advance
    // returns; work due on the main queue / main run loop is run before
    // returning when advance is called on the main thread, otherwise it is
    // queued for the main run loop. Each step sets now() to the deadline
    // before its work runs, and work scheduled by that work within the
    // window is stepped through too. A negative `seconds` raises
    // NSInvalidArgumentException.
    void advance(double seconds);
    // Moves time forward to `absoluteSeconds` (no-op if already past it).
    void advanceTo(double absoluteSeconds);
    // advance(seconds) on whichever virtual clock is installed, for code
    // that does not own it (Clock::current() is not a VirtualClock object);
    // false, and nothing done, under the system clock.
    static bool advanceInstalled(double seconds);

private:
    VirtualClock() = default;
    struct Impl;
    std::unique_ptr<Impl> impl_;
    friend struct VirtualClockAccess;
};

}  // namespace ns
