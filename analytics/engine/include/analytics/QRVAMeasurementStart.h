// What the measurement engine's start makes, and the work that waits for it.
//
// `QRVAStartedComponents` is the store and the components over it (identity,
// remote settings, audiences), made together: the engine holds one only once
// every one of them was made, so code handed one has them all and code that
// was handed none has nothing to reach through. A start that failed (the
// store locked by another program, a full disk, a file it may not write)
// leaves the engine with none.
//
// `QRVAWaitingWork` is what was logged meanwhile (events, user-property
// changes), and what found the store locked by another program, kept in
// memory in the order it came until a later try gets through: at most
// kQRVAWaitingWorkLimit items. An event or a property is bounded by the
// validator (names of 40 characters, 25 parameters of at most 100), so a
// few kilobytes each and a few megabytes in all. Past the bound new work is
// dropped (the engine logs the first drop of each spell and the count when
// the work is written); what came first is kept, as the store itself keeps
// the oldest raw events.
//
// Threads: both belong to the engine's worker queue.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <utility>

class QRVAAudience;
class QRVADatabase;
class QRVAIdentity;
class QRVARemoteConfig;

class QRVAStartedComponents {
public:
    // nullptr unless every component is there.
    static std::shared_ptr<const QRVAStartedComponents> make(std::shared_ptr<QRVADatabase> database,
                                                             std::shared_ptr<QRVAIdentity> identity,
                                                             std::shared_ptr<QRVARemoteConfig> remoteConfig,
                                                             std::shared_ptr<QRVAAudience> audience) {
        if (!database || !identity || !remoteConfig || !audience) return nullptr;
        return std::shared_ptr<const QRVAStartedComponents>(new QRVAStartedComponents(
            std::move(database), std::move(identity), std::move(remoteConfig), std::move(audience)));
    }

    QRVADatabase& database() const { return *database_; }
    QRVAIdentity& identity() const { return *identity_; }
    QRVARemoteConfig& remoteConfig() const { return *remoteConfig_; }
    QRVAAudience& audience() const { return *audience_; }
    const std::shared_ptr<QRVADatabase>& sharedDatabase() const { return database_; }
    const std::shared_ptr<QRVAIdentity>& sharedIdentity() const { return identity_; }
    const std::shared_ptr<QRVARemoteConfig>& sharedRemoteConfig() const { return remoteConfig_; }
    const std::shared_ptr<QRVAAudience>& sharedAudience() const { return audience_; }

private:
    QRVAStartedComponents(std::shared_ptr<QRVADatabase> database, std::shared_ptr<QRVAIdentity> identity,
                          std::shared_ptr<QRVARemoteConfig> remoteConfig, std::shared_ptr<QRVAAudience> audience)
        : database_(std::move(database)),
          identity_(std::move(identity)),
          remoteConfig_(std::move(remoteConfig)),
          audience_(std::move(audience)) {}

    const std::shared_ptr<QRVADatabase> database_;
    const std::shared_ptr<QRVAIdentity> identity_;
    const std::shared_ptr<QRVARemoteConfig> remoteConfig_;
    const std::shared_ptr<QRVAAudience> audience_;
};

// What a piece of waiting work did with the started store.
enum class QRVAWorkOutcome {
    // Done, or failed for good (logged): it does not run again.
    Finished,
    // Another connection held the store's lock, so nothing was written: it
    // runs again, first, at the next try.
    StoreLockedElsewhere,
};

using QRVAStartedWork = std::function<QRVAWorkOutcome(const QRVAStartedComponents&)>;

inline constexpr size_t kQRVAWaitingWorkLimit = 1000;
// The first try after a failed start or a locked store comes this long
// after it, each further one twice as long after the one before, up to the
// maximum; writing everything that waited starts over.
inline constexpr double kQRVAWaitingWorkFirstRetrySeconds = 5;
inline constexpr double kQRVAWaitingWorkMaxRetrySeconds = 300;

class QRVAWaitingWork {
public:
    bool empty() const { return items_.empty(); }
    size_t size() const { return items_.size(); }
    // False, keeping nothing, when kQRVAWaitingWorkLimit items wait; the
    // drop is counted.
    bool push(QRVAStartedWork work) {
        if (items_.size() >= kQRVAWaitingWorkLimit) {
            ++dropped_;
            return false;
        }
        items_.push_back(std::move(work));
        return true;
    }
    // Runs the items in order until one finds the store locked elsewhere
    // (kept, first) or none is left; true when none is left. Work an item
    // adds while it runs goes behind the others.
    bool runAll(const QRVAStartedComponents& started) {
        while (!items_.empty()) {
            QRVAStartedWork work = std::move(items_.front());
            items_.pop_front();
            if (work(started) == QRVAWorkOutcome::StoreLockedElsewhere) {
                items_.push_front(std::move(work));
                return false;
            }
            ++written_;
        }
        return true;
    }
    // How many items were dropped and run since the last call; both start
    // over.
    std::pair<uint64_t, uint64_t> takeCounts() {
        std::pair<uint64_t, uint64_t> counts{written_, dropped_};
        written_ = dropped_ = 0;
        return counts;
    }
    uint64_t dropped() const { return dropped_; }

private:
    std::deque<QRVAStartedWork> items_;
    uint64_t written_ = 0;
    uint64_t dropped_ = 0;
};
