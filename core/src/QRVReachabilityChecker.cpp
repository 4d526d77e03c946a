#include "core/QRVReachabilityChecker.h"

#include "core/QRVLogger.h"
#include "core/QRVNetwork.h"
#include "platform/dispatch.h"
#include "platform/format.h"
#include "platform/runloop.h"

std::shared_ptr<QRVReachabilityChecker> QRVReachabilityChecker::make(
    std::weak_ptr<QRVReachabilityDelegate> reachabilityDelegate, std::weak_ptr<QRVNetworkLoggerDelegate> loggerDelegate,
    std::string host) {
    return std::shared_ptr<QRVReachabilityChecker>(
        new QRVReachabilityChecker(std::move(reachabilityDelegate), std::move(loggerDelegate), std::move(host)));
}

QRVReachabilityChecker::QRVReachabilityChecker(std::weak_ptr<QRVReachabilityDelegate> delegate,
                                               std::weak_ptr<QRVNetworkLoggerDelegate> loggerDelegate, std::string host)
    : host_(std::move(host)), delegate_(std::move(delegate)), loggerDelegate_(std::move(loggerDelegate)) {}

QRVReachabilityChecker::~QRVReachabilityChecker() { stop(); }

QRVReachabilityStatus QRVReachabilityChecker::statusForFlags(ns::Reachability::Flags flags) {
    using R = ns::Reachability;
    if (!(flags & R::kReachable)) return QRVReachabilityNotReachable;
    if (flags & R::kConnectionRequired) {
        // A connection made on demand or on traffic, without user
        // intervention, still counts as reachable.
        bool automatic = (flags & (R::kConnectionOnDemand | R::kConnectionOnTraffic)) && !(flags & R::kInterventionRequired);
        if (!automatic) return QRVReachabilityNotReachable;
    }
    return (flags & R::kIsWWAN) ? QRVReachabilityViaCellular : QRVReachabilityViaWifi;
}

bool QRVReachabilityChecker::start() {
    if (host_.empty()) return false;
    std::shared_ptr<ns::Reachability> reachability;
    uint64_t generation;
    {
        std::lock_guard lock(mutex_);
        if (reachability_) return false;
        reachability_ = ns::Reachability::make(host_);
        reachability = reachability_;
        generation = ++generation_;
    }
    std::weak_ptr<QRVReachabilityChecker> weakSelf = shared_from_this();
    auto deliver = [weakSelf, generation](ns::Reachability::Flags flags) {
        auto self = weakSelf.lock();
        if (!self) return;
        {
            std::lock_guard lock(self->mutex_);
            if (self->generation_ != generation || !self->reachability_) return;
        }
        self->flagsChanged(flags);
    };
    reachability->setCallback(deliver);
    if (!reachability->scheduleOnRunLoop(ns::RunLoop::main())) {
        std::lock_guard lock(mutex_);
        reachability_.reset();
        log(QRVLoggerLevelError, kQRVNetworkMessageCodeReachability002, "Failed to start reachability handle");
        return false;
    }
    log(QRVLoggerLevelDebug, kQRVNetworkMessageCodeReachability000, "Monitoring the network status");
    // The first status is read on the main thread, like every later one.
    ns::DispatchQueue::main()->async([reachability, deliver] {
        ns::Reachability::Flags flags = 0;
        reachability->getFlags(flags);
        deliver(flags);
    });
    return true;
}

void QRVReachabilityChecker::stop() {
    std::shared_ptr<ns::Reachability> reachability;
    {
        std::lock_guard lock(mutex_);
        reachability = std::move(reachability_);
        reachability_.reset();
        ++generation_;
        status_ = QRVReachabilityUnknown;
    }
    if (reachability) {
        reachability->unschedule();
        reachability->setCallback({});
        log(QRVLoggerLevelDebug, kQRVNetworkMessageCodeReachability001, "Stopped monitoring the network status");
    }
}

bool QRVReachabilityChecker::isActive() const {
    std::lock_guard lock(mutex_);
    return reachability_ != nullptr;
}

QRVReachabilityStatus QRVReachabilityChecker::reachabilityStatus() const {
    std::lock_guard lock(mutex_);
    return status_;
}

void QRVReachabilityChecker::flagsChanged(ns::Reachability::Flags flags) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    QRVReachabilityStatus status = statusForFlags(flags);
    {
        std::lock_guard lock(mutex_);
        if (status == status_) return;
        status_ = status;
    }
    log(QRVLoggerLevelDebug, kQRVNetworkMessageCodeReachability000, ns::format("Network status has changed. Code:%d, status:%@", int(status), std::string(isReachable(status) ? "Connected" : "Disconnected")));
    if (auto delegate = delegate_.lock()) delegate->reachability(*this, status);
}

void QRVReachabilityChecker::log(int level, int code, const std::string& message) const {
    if (auto logger = loggerDelegate_.lock()) {
        logger->qrvNetwork_logWithLevel(level, code, message);
        return;
    }
    QRVLogBasic(QRVLoggerLevel(level), kQRVLoggerNetwork, ns::format("I-NET%06ld", long(code)), "%@", message);
}
