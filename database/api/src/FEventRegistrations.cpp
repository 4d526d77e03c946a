#include "database/api/FEventRegistrations.h"

#include "database/api/QRVDatabaseReference.h"
#include "database/connection/FLog.h"
#include "platform/format.h"

FDataEvent::FDataEvent(QRVDataEventType eventType, FEventRegistrationPtr registration, QRVDataSnapshotPtr snapshot,
                       std::optional<std::string> prevName)
    : eventType_(eventType),
      registration_(std::move(registration)),
      snapshot_(std::move(snapshot)),
      prevName_(std::move(prevName)) {}

FPath FDataEvent::path() const {
    const FPath& path = snapshot_->ref()->path();
    if (eventType_ == QRVDataEventTypeValue) return path;
    return path.parent().value_or(path);
}

void FDataEvent::fireEventOnQueue(const ns::DispatchQueuePtr& queue) { registration_->fireEvent(selfEvent(), queue); }

std::string FDataEvent::description() const {
    return ns::format("event %d, data: %@", long(eventType_), snapshot_->value());
}

namespace {

// The snapshot of a change, at the query's path or one of its children.
QRVDataSnapshotPtr snapshotFor(const FRepoPtr& repo, const FPath& path, const FChange& change) {
    return std::make_shared<QRVDataSnapshot>(std::make_shared<QRVDatabaseReference>(repo, path),
                                             change.indexedNode());
}

}  // namespace

FObserverEventRegistration::FObserverEventRegistration(const FRepoPtr& repo, uint64_t handle,
                                                       QRVCancelBlock cancelCallback)
    : repo_(repo), handle_(handle), cancelCallback_(std::move(cancelCallback)) {}

FEventPtr FObserverEventRegistration::createCancelEventFromError(const ns::ErrorRef& error, const FPath& path) {
    if (!cancelCallback_) return nullptr;
    return std::make_shared<FCancelEvent>(selfRegistration(), error, path);
}

bool FObserverEventRegistration::matches(const FEventRegistration& other) const {
    return FRegistrationHandlesMatch(handle_, other.handle()) && other.handle() != kFKeepSyncedRegistrationHandle;
}

void FObserverEventRegistration::fireCancelEvent(const FEvent& event, const ns::DispatchQueuePtr& queue,
                                                 const char* code) const {
    const auto& cancel = static_cast<const FCancelEvent&>(event);
    FFLog(code, "Raising cancel value event on %@", cancel.path().toString());
    if (!cancelCallback_) return;
    queue->async([cancelCallback = cancelCallback_, error = cancel.error()] { cancelCallback(error); });
}

FValueEventRegistration::FValueEventRegistration(const FRepoPtr& repo, uint64_t handle, QRVDataSnapshotBlock callback,
                                                 QRVCancelBlock cancelCallback)
    : FObserverEventRegistration(repo, handle, std::move(cancelCallback)), callback_(std::move(callback)) {}

FEventPtr FValueEventRegistration::createEventFrom(const FChange& change, const FQuerySpec& query) {
    return std::make_shared<FDataEvent>(QRVDataEventTypeValue, selfRegistration(),
                                        snapshotFor(repo(), query.path(), change));
}

void FValueEventRegistration::fireEvent(const FEventPtr& event, const ns::DispatchQueuePtr& queue) {
    if (event->isCancelEvent()) {
        fireCancelEvent(*event, queue, "I-RDB065001");
        return;
    }
    if (!callback_) return;
    auto data = std::static_pointer_cast<FDataEvent>(event);
    FFLog("I-RDB065002", "Raising value event on %@", data->snapshot()->key().value_or(""));
    queue->async([callback = callback_, snapshot = data->snapshot()] { callback(snapshot); });
}

FChildEventRegistration::FChildEventRegistration(const FRepoPtr& repo, uint64_t handle,
                                                 std::optional<Callbacks> callbacks, QRVCancelBlock cancelCallback)
    : FObserverEventRegistration(repo, handle, std::move(cancelCallback)), callbacks_(std::move(callbacks)) {}

bool FChildEventRegistration::responseTo(QRVDataEventType eventType) const {
    return callbacks_ && callbacks_->count(eventType) > 0;
}

FEventPtr FChildEventRegistration::createEventFrom(const FChange& change, const FQuerySpec& query) {
    FPath path = change.childKey() ? query.path().childFromString(*change.childKey()) : query.path();
    return std::make_shared<FDataEvent>(change.type(), selfRegistration(), snapshotFor(repo(), path, change),
                                        change.prevKey());
}

void FChildEventRegistration::fireEvent(const FEventPtr& event, const ns::DispatchQueuePtr& queue) {
    if (event->isCancelEvent()) {
        fireCancelEvent(*event, queue, "I-RDB061001");
        return;
    }
    if (!callbacks_) return;
    auto data = std::static_pointer_cast<FDataEvent>(event);
    FFLog("I-RDB061002", "Raising event callback (%ld) on %@", long(data->eventType()), data->path().toString());
    auto it = callbacks_->find(data->eventType());
    if (it == callbacks_->end() || !it->second) return;
    queue->async([callback = it->second, snapshot = data->snapshot(), prevName = data->prevName()] {
        callback(snapshot, prevName);
    });
}
