#include "platform/reachability.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <string_view>
#include <vector>

#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/host_routing.h"
#include "platform/runloop.h"

namespace ns {

struct Reachability::Registry {
    std::mutex mutex;
    std::optional<Status> override;
    std::vector<std::weak_ptr<Reachability>> scheduled;
    bool polling = false;
    DispatchQueuePtr pollQueue;

    static Registry& shared() {
        static Registry* r = new Registry();  // never destroyed: poll blocks may run during exit
        return *r;
    }

    std::vector<std::shared_ptr<Reachability>> live() {
        std::lock_guard lock(mutex);
        std::vector<std::shared_ptr<Reachability>> out;
        std::erase_if(scheduled, [&](const std::weak_ptr<Reachability>& w) {
            auto p = w.lock();
            if (!p) return true;
            out.push_back(std::move(p));
            return false;
        });
        return out;
    }

    // Under a virtual clock polling would add a step every few virtual
    // seconds to every long advance, for interfaces that cannot change in a
    // test; there only setOverride and refresh change the answer.
    void ensurePolling() {
        if (Clock::current().isVirtual()) return;
        std::lock_guard lock(mutex);
        if (polling) return;
        polling = true;
        if (!pollQueue) pollQueue = DispatchQueue::serial("com.almavel.reachability.poll", DispatchQueue::QoS::Utility);
        armLocked();
    }

    void armLocked() {
        pollQueue->after(kPollIntervalSeconds, [this] {
            {
                std::lock_guard lock(mutex);
                bool any = std::any_of(scheduled.begin(), scheduled.end(),
                                       [](const std::weak_ptr<Reachability>& w) { return !w.expired(); });
                if (!any || Clock::current().isVirtual()) {
                    polling = false;
                    return;
                }
            }
            Reachability::refresh();
            std::lock_guard lock(mutex);
            armLocked();
        });
    }
};

namespace {

bool isCellularName(std::string_view name) {
    for (std::string_view prefix : {"wwan", "rmnet", "pdp_ip", "ccmni"})
        if (name.starts_with(prefix)) return true;
    return false;
}

// Flags for "the internet" from the local interfaces; nullopt when they
// cannot be read.
std::optional<Reachability::Flags> interfaceFlags() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    bool any = false;
    bool nonCellular = false;
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || !i->ifa_name) continue;
        int family = i->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        unsigned flags = i->ifa_flags;
        if (!(flags & IFF_UP) || !(flags & IFF_RUNNING) || (flags & IFF_LOOPBACK)) continue;
        any = true;
        if (!isCellularName(i->ifa_name)) nonCellular = true;
    }
    freeifaddrs(list);
    if (!any) return Reachability::Flags(0);
    return nonCellular ? Reachability::kReachable : (Reachability::kReachable | Reachability::kIsWWAN);
}

bool isLocalHost(const std::string& host) {
    if (host.empty()) return false;
    return HostRouting::isLocalhostName(host) || HostRouting::isLoopbackAddress(host) ||
           HostRouting::shared().isRoutedToLoopback(host);
}

}  // namespace

Reachability::Reachability(std::string host) : host_(std::move(host)) {}

Reachability::~Reachability() = default;

std::shared_ptr<Reachability> Reachability::make(std::string hostName) {
    return std::shared_ptr<Reachability>(new Reachability(std::move(hostName)));
}

Reachability::Flags Reachability::flagsFor(Status status) {
    switch (status) {
        case Status::NotReachable: return 0;
        case Status::ReachableViaWiFi: return kReachable;
        case Status::ReachableViaWWAN: return kReachable | kIsWWAN;
        case Status::ConnectionRequired: return kReachable | kConnectionRequired | kTransientConnection;
    }
    return 0;
}

bool Reachability::getFlags(Flags& flags) const {
    if (auto o = currentOverride()) {
        flags = flagsFor(*o);
        return true;
    }
    if (isLocalHost(host_)) {
        flags = kReachable | kIsLocalAddress | kIsDirect;
        return true;
    }
    std::optional<Flags> f = interfaceFlags();
    flags = f.value_or(0);
    return f.has_value();
}

void Reachability::setCallback(std::function<void(Flags)> callback) {
    std::lock_guard lock(mutex_);
    callback_ = std::move(callback);
}

bool Reachability::scheduleOnRunLoop(RunLoop& loop) {
    std::shared_ptr<RunLoop> shared = loop.weak_from_this().lock();
    if (!shared) return false;
    Flags now = 0;
    getFlags(now);
    {
        std::lock_guard lock(mutex_);
        bool wasScheduled = scheduled_;
        loop_ = shared;
        scheduled_ = true;
        ++scheduleGeneration_;
        if (!wasScheduled) lastFlags_ = now;
    }
    Registry& r = Registry::shared();
    {
        std::lock_guard lock(r.mutex);
        auto self = weak_from_this();
        bool present = std::any_of(r.scheduled.begin(), r.scheduled.end(), [&](const std::weak_ptr<Reachability>& w) {
            return !w.owner_before(self) && !self.owner_before(w);
        });
        if (!present) r.scheduled.push_back(self);
    }
    r.ensurePolling();
    return true;
}

void Reachability::unschedule() {
    {
        std::lock_guard lock(mutex_);
        scheduled_ = false;
        ++scheduleGeneration_;
        loop_.reset();
    }
    Registry& r = Registry::shared();
    std::lock_guard lock(r.mutex);
    auto self = weak_from_this();
    std::erase_if(r.scheduled, [&](const std::weak_ptr<Reachability>& w) {
        return w.expired() || (!w.owner_before(self) && !self.owner_before(w));
    });
}

bool Reachability::isScheduled() const {
    std::lock_guard lock(mutex_);
    return scheduled_;
}

void Reachability::notifyIfChanged() {
    Flags flags = 0;
    getFlags(flags);
    std::shared_ptr<RunLoop> loop;
    uint64_t generation;
    {
        std::lock_guard lock(mutex_);
        if (!scheduled_ || flags == lastFlags_) return;
        lastFlags_ = flags;
        generation = scheduleGeneration_;
        loop = loop_.lock();
    }
    if (!loop) return;
    loop->perform([weak = weak_from_this(), generation, flags] {
        auto self = weak.lock();
        if (!self) return;
        std::function<void(Flags)> callback;
        {
            std::lock_guard lock(self->mutex_);
            if (!self->scheduled_ || self->scheduleGeneration_ != generation) return;
            callback = self->callback_;
        }
        if (callback) callback(flags);
    });
}

void Reachability::setOverride(std::optional<Status> status) {
    {
        Registry& r = Registry::shared();
        std::lock_guard lock(r.mutex);
        r.override = status;
    }
    refresh();
}

std::optional<Reachability::Status> Reachability::currentOverride() {
    Registry& r = Registry::shared();
    std::lock_guard lock(r.mutex);
    return r.override;
}

void Reachability::refresh() {
    for (auto& object : Registry::shared().live()) object->notifyIfChanged();
}

}  // namespace ns
