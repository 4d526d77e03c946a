#include "database/sync/FEvent.h"

#include <utility>

#include "platform/format.h"

FCancelEvent::FCancelEvent(FEventRegistrationPtr registration, ns::ErrorRef error, FPath path)
    : registration_(std::move(registration)), error_(std::move(error)), path_(std::move(path)) {}

void FCancelEvent::fireEventOnQueue(const ns::DispatchQueuePtr& queue) { registration_->fireEvent(selfEvent(), queue); }

std::string FCancelEvent::description() const { return ns::format("%@: cancel", path_.description()); }

const FEventRegistrationPtr& FKeepSyncedEventRegistration::instance() {
    // Never destroyed: the worker queue may still use it while the process exits.
    static const FEventRegistrationPtr& kInstance = *new FEventRegistrationPtr(std::make_shared<FKeepSyncedEventRegistration>());
    return kInstance;
}

FEventPtr FKeepSyncedEventRegistration::createEventFrom(const FChange&, const FQuerySpec&) {
    throw ns::Exception(ns::kInternalInconsistencyException,
                        "Should never create event for FKeepSyncedEventRegistration");
}

void FKeepSyncedEventRegistration::fireEvent(const FEventPtr&, const ns::DispatchQueuePtr&) {
    throw ns::Exception(ns::kInternalInconsistencyException,
                        "Should never raise event for FKeepSyncedEventRegistration");
}

FEventRaiser::FEventRaiser() {
    throw ns::Exception(ns::kInternalInconsistencyException, "Can't use default constructor");
}

FEventRaiser::FEventRaiser(ns::DispatchQueuePtr queue) : queue_(std::move(queue)) {}

FEventRaiser::FEventRaiser(ns::DispatchQueuePtr queue, ns::DispatchQueuePtr workQueue)
    : queue_(std::move(queue)), workQueue_(std::move(workQueue)), held_(std::make_shared<Held>()) {}

void FEventRaiser::raiseEvents(const FEventList& events) const {
    if (events.empty()) return;
    // Callbacks raised before these events reach the queue before them.
    if (held_) release(*held_, queue_);
    for (const FEventPtr& event : events) event->fireEventOnQueue(queue_);
}

void FEventRaiser::raiseCallback(ns::Block callback) const {
    if (held_) return hold(std::move(callback));
    queue_->async(std::move(callback));
}

void FEventRaiser::raiseCallbacks(const std::vector<ns::Block>& callbacks) const {
    if (!held_) return raiseCallbacks(callbacks, queue_);
    for (const ns::Block& callback : callbacks) hold(callback);
}

void FEventRaiser::hold(ns::Block callback) const {
    ns::dispatchAssertQueue(workQueue_);
    held_->callbacks.push_back(std::move(callback));
    if (std::exchange(held_->releaseQueued, true)) return;
    workQueue_->async([held = held_, queue = queue_] {
        held->releaseQueued = false;
        release(*held, queue);
    });
}

void FEventRaiser::release(Held& held, const ns::DispatchQueuePtr& queue) {
    if (held.callbacks.empty()) return;
    if (held.callbacks.size() == 1) {
        queue->async(std::move(held.callbacks.front()));
    } else {
        queue->async([callbacks = std::move(held.callbacks)] {
            for (const ns::Block& callback : callbacks) callback();
        });
    }
    held.callbacks.clear();
}

void FEventRaiser::raiseCallbacks(const std::vector<ns::Block>& callbacks, const ns::DispatchQueuePtr& queue) {
    for (const ns::Block& callback : callbacks) queue->async(callback);
}
