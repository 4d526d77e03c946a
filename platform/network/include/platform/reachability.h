#pragma once
// SCNetworkReachability stand-in. A reachability object is made for a host
// name and never sends a packet: its answer comes from the local interfaces
// and the host routing table.
//
//   - "localhost", names under ".localhost", loopback literals and hosts the
//     routing table sends to the local back end: reachable, local, direct;
//   - any other host (or an empty name, meaning "the internet"): reachable
//     when a non-loopback interface is up and running (getifaddrs), with
//     kIsWWAN when every such interface is a cellular-style one ("wwan*",
//     "rmnet*", "pdp_ip*", "ccmni*"); otherwise not reachable (flags 0).
//
// Tests switch the answer with `setOverride`, which applies to every
// reachability object and notifies each scheduled one whose flags change.
//
// Interface changes are noticed by polling: while at least one object is
// scheduled and the system clock is in force, the interfaces are re-read every
// kPollIntervalSeconds. With a virtual clock installed there is no polling
// (long virtual advances would otherwise step through every poll); only
// `setOverride` and `refresh()` (which re-reads the interfaces at once) change
// the answer then.
//
// Callbacks run on the run loop the object is scheduled on, and only when
// its flags differ from the ones it last reported (or, for the first
// change, from the flags it had when it was scheduled).

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace ns {

class RunLoop;

class Reachability : public std::enable_shared_from_this<Reachability> {
public:
    // SCNetworkReachabilityFlags.
    using Flags = uint32_t;
    static constexpr Flags kTransientConnection = 1u << 0;
    static constexpr Flags kReachable = 1u << 1;
    static constexpr Flags kConnectionRequired = 1u << 2;
    static constexpr Flags kConnectionOnTraffic = 1u << 3;
    static constexpr Flags kInterventionRequired = 1u << 4;
    static constexpr Flags kConnectionOnDemand = 1u << 5;
    static constexpr Flags kIsLocalAddress = 1u << 16;
    static constexpr Flags kIsDirect = 1u << 17;
    static constexpr Flags kIsWWAN = 1u << 18;

    // What a test can force.
    enum class Status {
        NotReachable,        // flags 0
        ReachableViaWiFi,    // kReachable
        ReachableViaWWAN,    // kReachable | kIsWWAN
        ConnectionRequired,  // kReachable | kConnectionRequired | kTransientConnection
    };

    static constexpr double kPollIntervalSeconds = 10;

    static std::shared_ptr<Reachability> make(std::string hostName);
    ~Reachability();
    Reachability(const Reachability&) = delete;
    Reachability& operator=(const Reachability&) = delete;

    const std::string& hostName() const { return host_; }

    // The current flags. False (flags 0) only when the interfaces cannot be read.
    bool getFlags(Flags& flags) const;

    // Replaces the callback (an empty function removes it).
    void setCallback(std::function<void(Flags)> callback);
    // Starts change notifications on `loop` (moving them there if already
    // scheduled elsewhere). Returns false if the loop is not owned by a
    // shared pointer (RunLoop::main()/current() always are).
    bool scheduleOnRunLoop(RunLoop& loop);
    // Stops notifications; a callback already queued on the loop is dropped.
    void unschedule();
    bool isScheduled() const;

    // Forces every object's answer (nullopt: back to the real answer) and
    // notifies the scheduled objects whose flags change. Thread-safe.
    static void setOverride(std::optional<Status> status);
    static std::optional<Status> currentOverride();
    static Flags flagsFor(Status status);
    // Re-reads the interfaces now and notifies changes.
    static void refresh();

    struct Registry;

private:
    explicit Reachability(std::string host);
    // Queues the callback if the flags changed since last reported.
    void notifyIfChanged();

    const std::string host_;
    mutable std::mutex mutex_;
    std::function<void(Flags)> callback_;
    std::weak_ptr<RunLoop> loop_;
    bool scheduled_ = false;
    uint64_t scheduleGeneration_ = 0;
    Flags lastFlags_ = 0;
};

}  // namespace ns
