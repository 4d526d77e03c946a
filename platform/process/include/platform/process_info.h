#pragma once
// NSProcessInfo stand-in.
//
// The launch arguments are whatever the program's main (or the test main)
// set; until then they are read from /proc/self/cmdline. The operating
// system version comes from the current sandbox's device profile.

#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace ns {

struct OperatingSystemVersion {
    long majorVersion = 0;
    long minorVersion = 0;
    long patchVersion = 0;
};

class ProcessInfo {
public:
    static ProcessInfo& processInfo();

    // argv, program name first.
    std::vector<std::string> arguments() const;
    void setArguments(std::vector<std::string> arguments);

    // A snapshot of the real environment.
    std::map<std::string, std::string> environment() const;

    // The last path component of the first argument.
    std::string processName() const;
    void setProcessName(std::string name);
    int processIdentifier() const;
    std::string hostName() const;

    // Unique across processes and calls: a random UUID, the process id and a
    // per-process counter.
    std::string globallyUniqueString() const;

    // "Version 16.4 (Build 20E247)", from the device profile.
    std::string operatingSystemVersionString() const;
    OperatingSystemVersion operatingSystemVersion() const;
    bool isOperatingSystemAtLeastVersion(const OperatingSystemVersion& version) const;

    unsigned activeProcessorCount() const;
    unsigned long long physicalMemory() const;
    // Seconds since boot, on ns::Clock: under a virtual clock it advances
    // with the virtual time (platform/clock.h).
    double systemUptime() const;
    // When the machine booted, in seconds since 1970 (kern.boottime as the
    // wall clock minus the uptime): Clock::nowSeconds() - systemUptime(), so
    // it stays put while a virtual clock advances.
    double kernelBootTime() const;

private:
    ProcessInfo() = default;
    mutable std::mutex mutex_;
    mutable bool argumentsLoaded_ = false;
    mutable std::vector<std::string> arguments_;
    std::string processName_;
};

}  // namespace ns
