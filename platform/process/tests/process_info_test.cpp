// Uptime and boot time: the kernel's under the system clock, moving with the
// wall clock under a virtual one.

#include "platform/process_info.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/clock.h"

namespace {

// The kernel's own boot time (seconds since 1970) from /proc/stat.
double procBootTime() {
    std::ifstream in("/proc/stat");
    std::string word;
    while (in >> word)
        if (word == "btime" && in >> word) return std::stod(word);
    return 0;
}

TEST(ProcessInfo, BootTimeIsTheKernelsUnderTheSystemClock) {
    const auto& info = ns::ProcessInfo::processInfo();
    EXPECT_GT(info.systemUptime(), 0);
    EXPECT_NEAR(info.kernelBootTime(), procBootTime(), 2);
    EXPECT_NEAR(info.kernelBootTime() + info.systemUptime(), ns::Clock::nowSeconds(), 1);
}

TEST(ProcessInfo, UptimeAndWallClockAdvanceTogetherOnTheVirtualClock) {
    const auto& info = ns::ProcessInfo::processInfo();
    const double realBoot = info.kernelBootTime();
    auto clock = ns::VirtualClock::install(1'700'000'000);
    const double uptime = info.systemUptime();
    const double boot = info.kernelBootTime();
    EXPECT_NEAR(boot, 1'700'000'000 - uptime, 1e-6);
    EXPECT_NE(boot, realBoot);  // the virtual wall clock's boot, not the kernel's

    clock->advance(3600);
    EXPECT_EQ(info.systemUptime(), uptime + 3600);
    EXPECT_EQ(ns::Clock::nowSeconds(), 1'700'000'000 + 3600);
    EXPECT_NEAR(info.kernelBootTime(), boot, 1e-6);
    ns::VirtualClock::advanceInstalled(0.25);
    EXPECT_EQ(info.systemUptime(), uptime + 3600.25);

    clock.reset();
    EXPECT_NEAR(info.kernelBootTime(), realBoot, 1);
}

}  // namespace
