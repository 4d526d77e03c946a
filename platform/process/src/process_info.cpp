#include "platform/process_info.h"
#include "platform/text.h"

#include <openssl/rand.h>
#include <sys/sysinfo.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "platform/clock.h"
#include "platform/sandbox.h"

extern char** environ;

namespace ns {

namespace {

std::vector<std::string> readCommandLine() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> args;
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\0', start);
        if (end == std::string::npos) end = all.size();
        args.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return args;
}

std::string lastComponent(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

long leadingNumber(const std::string& s, size_t& pos) {
    long v = 0;
    bool any = false;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        v = v * 10 + (s[pos] - '0');
        ++pos;
        any = true;
        if (v > 1'000'000) break;
    }
    return any ? v : 0;
}

}  // namespace

ProcessInfo& ProcessInfo::processInfo() {
    static ProcessInfo* info = new ProcessInfo();  // lives until exit, for use from atexit paths
    return *info;
}

std::vector<std::string> ProcessInfo::arguments() const {
    std::lock_guard lock(mutex_);
    if (!argumentsLoaded_) {
        arguments_ = readCommandLine();
        argumentsLoaded_ = true;
    }
    return arguments_;
}

void ProcessInfo::setArguments(std::vector<std::string> arguments) {
    std::lock_guard lock(mutex_);
    arguments_ = std::move(arguments);
    argumentsLoaded_ = true;
}

std::map<std::string, std::string> ProcessInfo::environment() const {
    std::map<std::string, std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        if (eq == std::string::npos) continue;
        env.emplace(entry.substr(0, eq), entry.substr(eq + 1));
    }
    return env;
}

std::string ProcessInfo::processName() const {
    {
        std::lock_guard lock(mutex_);
        if (!processName_.empty()) return processName_;
    }
    auto args = arguments();
    return args.empty() ? std::string("almavel") : lastComponent(args[0]);
}

void ProcessInfo::setProcessName(std::string name) {
    std::lock_guard lock(mutex_);
    processName_ = std::move(name);
}

int ProcessInfo::processIdentifier() const {
    return int(::getpid());
}

std::string ProcessInfo::hostName() const {
    char buf[256] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return "localhost";
    return buf;
}

std::string ProcessInfo::globallyUniqueString() const {
    static std::atomic<uint64_t> counter{0};
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, "-%d-%016llX", processIdentifier(),
                  static_cast<unsigned long long>(++counter));
    return newUUIDString() + suffix;
}

std::string ProcessInfo::operatingSystemVersionString() const {
    DeviceProfile p = Sandbox::current()->deviceProfile();
    return "Version " + p.systemVersion + " (Build " + p.systemBuild + ")";
}

OperatingSystemVersion ProcessInfo::operatingSystemVersion() const {
    std::string v = Sandbox::current()->deviceProfile().systemVersion;
    OperatingSystemVersion out;
    size_t pos = 0;
    out.majorVersion = leadingNumber(v, pos);
    if (pos < v.size() && v[pos] == '.') out.minorVersion = leadingNumber(v, ++pos);
    if (pos < v.size() && v[pos] == '.') out.patchVersion = leadingNumber(v, ++pos);
    return out;
}

bool ProcessInfo::isOperatingSystemAtLeastVersion(const OperatingSystemVersion& want) const {
    OperatingSystemVersion have = operatingSystemVersion();
    if (have.majorVersion != want.majorVersion) return have.majorVersion > want.majorVersion;
    if (have.minorVersion != want.minorVersion) return have.minorVersion > want.minorVersion;
    return have.patchVersion >= want.patchVersion;
}

unsigned ProcessInfo::activeProcessorCount() const {
    unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

unsigned long long ProcessInfo::physicalMemory() const {
    long pages = ::sysconf(_SC_PHYS_PAGES);
    long pageSize = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0 ? static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(pageSize)
                                     : 0;
}

double ProcessInfo::systemUptime() const { return Clock::uptimeSeconds(); }

double ProcessInfo::kernelBootTime() const {
    // Both from one clock object, so an install in between cannot mix a real
    // reading with a virtual one.
    const Clock& clock = Clock::current();
    return clock.now() - clock.uptime();
}

}  // namespace ns
