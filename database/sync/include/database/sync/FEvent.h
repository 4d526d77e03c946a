#pragma once
// What is delivered to observers (events) and who receives them
// (registrations), the pair a view answers per operation, and the raiser
// that hands events to the callback queue. The sync engine only makes
// events through registrations; the registrations that build snapshots for
// the public API live with the repository, while the cancel event and the
// keep-synced registration, which need nothing of it, live here.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "database/model/FPath.h"
#include "database/sync/FChange.h"
#include "database/sync/FQueryParams.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/value.h"

// The handle that matches every value and child registration in a removal
// (NSNotFound).
inline constexpr uint64_t kFRegistrationHandleMatchAll = 9223372036854775807ULL;
// The keep-synced registration's own handle.
inline constexpr uint64_t kFKeepSyncedRegistrationHandle = 9223372036854775806ULL;

class FEvent;
class FEventRegistration;
using FEventPtr = std::shared_ptr<FEvent>;
using FEventList = std::vector<FEventPtr>;
using FEventRegistrationPtr = std::shared_ptr<FEventRegistration>;

class FEvent : public ns::Object {
public:
    // The location the event concerns.
    virtual FPath path() const = 0;
    // Delivers the event on the queue (through its registration).
    virtual void fireEventOnQueue(const ns::DispatchQueuePtr& queue) = 0;
    virtual bool isCancelEvent() const = 0;

    FEventPtr selfEvent() { return std::static_pointer_cast<FEvent>(shared_from_this()); }
};

class FEventRegistration : public ns::Object {
public:
    // Whether the registration wants events of the type.
    virtual bool responseTo(QRVDataEventType eventType) const = 0;
    // A data event for the change of a view of the query.
    virtual FEventPtr createEventFrom(const FChange& change, const FQuerySpec& query) = 0;
    // Calls the user's block for the event, asynchronously on the queue.
    virtual void fireEvent(const FEventPtr& event, const ns::DispatchQueuePtr& queue) = 0;
    // A cancel event, or nullptr when the registration has no cancel block.
    virtual FEventPtr createCancelEventFromError(const ns::ErrorRef& error, const FPath& path) = 0;
    // Whether `other` designates this registration in a removal.
    virtual bool matches(const FEventRegistration& other) const = 0;
    virtual uint64_t handle() const = 0;

    FEventRegistrationPtr selfRegistration() {
        return std::static_pointer_cast<FEventRegistration>(shared_from_this());
    }
};

// The cancellation of a registration, with the reason.
class FCancelEvent final : public FEvent {
public:
    FCancelEvent(FEventRegistrationPtr registration, ns::ErrorRef error, FPath path);

    const FEventRegistrationPtr& eventRegistration() const { return registration_; }
    const ns::ErrorRef& error() const { return error_; }

    FPath path() const override { return path_; }
    void fireEventOnQueue(const ns::DispatchQueuePtr& queue) override;
    bool isCancelEvent() const override { return true; }
    // "%@: cancel"
    std::string description() const override;
    std::string className() const override { return "FCancelEvent"; }

private:
    FEventRegistrationPtr registration_;
    ns::ErrorRef error_;
    FPath path_;
};

// The one registration that keeps a query listened without observers: it
// never answers an event type and matches only itself.
class FKeepSyncedEventRegistration final : public FEventRegistration {
public:
    static const FEventRegistrationPtr& instance();

    bool responseTo(QRVDataEventType) const override { return false; }
    // Both raise NSInternalInconsistencyException.
    FEventPtr createEventFrom(const FChange& change, const FQuerySpec& query) override;
    void fireEvent(const FEventPtr& event, const ns::DispatchQueuePtr& queue) override;
    FEventPtr createCancelEventFromError(const ns::ErrorRef&, const FPath&) override { return nullptr; }
    bool matches(const FEventRegistration& other) const override { return &other == this; }
    uint64_t handle() const override { return kFKeepSyncedRegistrationHandle; }
    std::string className() const override { return "FKeepSyncedEventRegistration"; }

    FKeepSyncedEventRegistration() = default;
};

// The handle rule of value and child registrations: either handle matches
// everything, or both are equal.
inline bool FRegistrationHandlesMatch(uint64_t a, uint64_t b) {
    return a == kFRegistrationHandleMatchAll || b == kFRegistrationHandleMatchAll || a == b;
}

// What a view answers for one operation.
struct FViewOperationResult {
    FChangeList changes;
    FEventList events;
};

// The queries a removal took away and the cancel events it produced.
struct FTupleRemovedQueriesEvents {
    std::vector<FQuerySpec> removedQueries;
    FEventList cancelEvents;
};

// Hands events and plain callbacks to the user callback queue, in order:
// each event in a block of its own, and each callback too unless the raiser
// holds callbacks on a serial work queue it is called on. Then the
// callbacks raised one after another are held and go as one block once
// the work queue gets to the turn queued behind the first of them (or at
// once when an event is raised after them), so a burst of write
// acknowledgements starts the callback queue once rather than once each.
class FEventRaiser {
public:
    // Raises NSInternalInconsistencyException "Can't use default constructor".
    FEventRaiser();
    explicit FEventRaiser(ns::DispatchQueuePtr queue);
    // Holds callbacks as above; every raise is made on `workQueue`.
    FEventRaiser(ns::DispatchQueuePtr queue, ns::DispatchQueuePtr workQueue);

    const ns::DispatchQueuePtr& queue() const { return queue_; }

    void raiseEvents(const FEventList& events) const;
    void raiseCallback(ns::Block callback) const;
    void raiseCallbacks(const std::vector<ns::Block>& callbacks) const;
    static void raiseCallbacks(const std::vector<ns::Block>& callbacks, const ns::DispatchQueuePtr& queue);

private:
    struct Held {
        std::vector<ns::Block> callbacks;
        bool releaseQueued = false;
    };
    void hold(ns::Block callback) const;
    static void release(Held& held, const ns::DispatchQueuePtr& queue);

    ns::DispatchQueuePtr queue_;
    ns::DispatchQueuePtr workQueue_;
    // Shared with the release queued on the work queue, which may run after
    // the raiser is gone.
    std::shared_ptr<Held> held_;
};
