#pragma once
// The data event and the observer registrations of the public API. A
// registration says which event types it answers, turns a change of a view
// into an event carrying a snapshot, makes cancel events, and fires events
// by handing the user's block to the callback queue.
//
// Events and registrations are made, asked and fired on the worker queue;
// the user's blocks run only on the callback queue. Registrations are held by
// the views of the repository's sync trees, so they hold the repository
// weakly (it is only needed to build references while it is calling them).

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "database/api/QRVDataSnapshot.h"
#include "database/api/QRVDatabaseQuery.h"
#include "database/sync/FEvent.h"

// A value or child event with its snapshot.
class FDataEvent final : public FEvent {
public:
    FDataEvent(QRVDataEventType eventType, FEventRegistrationPtr registration, QRVDataSnapshotPtr snapshot,
               std::optional<std::string> prevName = std::nullopt);

    const FEventRegistrationPtr& eventRegistration() const { return registration_; }
    const QRVDataSnapshotPtr& snapshot() const { return snapshot_; }
    const std::optional<std::string>& prevName() const { return prevName_; }
    QRVDataEventType eventType() const { return eventType_; }

    // A value event's own location; for a child event the location of the
    // query whose child changed (the parent of the snapshot's).
    FPath path() const override;
    void fireEventOnQueue(const ns::DispatchQueuePtr& queue) override;
    bool isCancelEvent() const override { return false; }
    // "event %d, data: %@"
    std::string description() const override;
    std::string className() const override { return "FDataEvent"; }

private:
    QRVDataEventType eventType_;
    FEventRegistrationPtr registration_;
    QRVDataSnapshotPtr snapshot_;
    std::optional<std::string> prevName_;
};

// What the value and child registrations share: the repository that
// builds references for snapshots, the observer's handle (the removal rule
// matches it) and the optional cancel block.
class FObserverEventRegistration : public FEventRegistration {
public:
    FEventPtr createCancelEventFromError(const ns::ErrorRef& error, const FPath& path) override;
    // Either handle matches everything, or both are equal; never the
    // keep-synced registration.
    bool matches(const FEventRegistration& other) const override;
    uint64_t handle() const override { return handle_; }

    const QRVCancelBlock& cancelCallback() const { return cancelCallback_; }
    FRepoPtr repo() const { return repo_.lock(); }

protected:
    FObserverEventRegistration(const FRepoPtr& repo, uint64_t handle, QRVCancelBlock cancelCallback);
    // Submits the cancel block for a cancel event, logging with `code`.
    void fireCancelEvent(const FEvent& event, const ns::DispatchQueuePtr& queue, const char* code) const;

private:
    std::weak_ptr<FRepo> repo_;
    uint64_t handle_;
    QRVCancelBlock cancelCallback_;
};

// Answers value events only.
class FValueEventRegistration final : public FObserverEventRegistration {
public:
    // initWithRepo:handle:callback:cancelCallback: (either block may be empty).
    FValueEventRegistration(const FRepoPtr& repo, uint64_t handle, QRVDataSnapshotBlock callback,
                            QRVCancelBlock cancelCallback);

    bool responseTo(QRVDataEventType eventType) const override { return eventType == QRVDataEventTypeValue; }
    FEventPtr createEventFrom(const FChange& change, const FQuerySpec& query) override;
    void fireEvent(const FEventPtr& event, const ns::DispatchQueuePtr& queue) override;
    std::string className() const override { return "FValueEventRegistration"; }

    const QRVDataSnapshotBlock& callback() const { return callback_; }

private:
    QRVDataSnapshotBlock callback_;
};

// Answers the event types it holds a block for (the public observers
// register their value blocks this way too, keyed by the value type).
class FChildEventRegistration final : public FObserverEventRegistration {
public:
    using Callbacks = std::map<QRVDataEventType, QRVDataSnapshotPrevKeyBlock>;

    // initWithRepo:handle:callbacks:cancelCallback: (no callbacks: answers
    // nothing; the cancel block may be empty).
    FChildEventRegistration(const FRepoPtr& repo, uint64_t handle, std::optional<Callbacks> callbacks,
                            QRVCancelBlock cancelCallback);

    bool responseTo(QRVDataEventType eventType) const override;
    FEventPtr createEventFrom(const FChange& change, const FQuerySpec& query) override;
    void fireEvent(const FEventPtr& event, const ns::DispatchQueuePtr& queue) override;
    std::string className() const override { return "FChildEventRegistration"; }

    const std::optional<Callbacks>& callbacks() const { return callbacks_; }

private:
    std::optional<Callbacks> callbacks_;
};
