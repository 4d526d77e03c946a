#pragma once
// Watches whether a host can be reached and tells its delegate, on the main
// thread, whenever the answer changes.

#include <memory>
#include <mutex>
#include <string>

#include "platform/reachability.h"

enum QRVReachabilityStatus : int {
    QRVReachabilityUnknown = 0,  // before the first status is known
    QRVReachabilityNotReachable = 1,
    QRVReachabilityViaWifi = 2,
    QRVReachabilityViaCellular = 3,
};

class QRVReachabilityChecker;
class QRVNetworkLoggerDelegate;

class QRVReachabilityDelegate {
public:
    virtual ~QRVReachabilityDelegate() = default;
    virtual void reachability(QRVReachabilityChecker& checker, QRVReachabilityStatus status) = 0;
};

class QRVReachabilityChecker : public std::enable_shared_from_this<QRVReachabilityChecker> {
public:
    // The delegate and the logger delegate are held weakly.
    static std::shared_ptr<QRVReachabilityChecker> make(std::weak_ptr<QRVReachabilityDelegate> reachabilityDelegate,
                                                        std::weak_ptr<QRVNetworkLoggerDelegate> loggerDelegate,
                                                        std::string host);
    ~QRVReachabilityChecker();

    // Schedules the checker on the main run loop; the first status is read
    // there, after this returns. Returns false when already started or when
    // the host is empty.
    bool start();
    // Unschedules it; no delegate call follows.
    void stop();
    bool isActive() const;

    QRVReachabilityStatus reachabilityStatus() const;
    const std::string& host() const { return host_; }

    // Reachable when 2 or 3.
    static bool isReachable(QRVReachabilityStatus status) {
        return status == QRVReachabilityViaWifi || status == QRVReachabilityViaCellular;
    }
    static QRVReachabilityStatus statusForFlags(ns::Reachability::Flags flags);

private:
    QRVReachabilityChecker(std::weak_ptr<QRVReachabilityDelegate> delegate,
                           std::weak_ptr<QRVNetworkLoggerDelegate> loggerDelegate, std::string host);
    // Main thread only.
    void flagsChanged(ns::Reachability::Flags flags);
    void log(int level, int code, const std::string& message) const;

    const std::string host_;
    std::weak_ptr<QRVReachabilityDelegate> delegate_;
    std::weak_ptr<QRVNetworkLoggerDelegate> loggerDelegate_;
    mutable std::mutex mutex_;
    std::shared_ptr<ns::Reachability> reachability_;
    QRVReachabilityStatus status_ = QRVReachabilityUnknown;
    uint64_t generation_ = 0;  // ignores answers queued before a stop
};
