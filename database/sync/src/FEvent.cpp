#include "database/sync/FEvent.h"

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

void FEventRaiser::raiseEvents(const FEventList& events) const {
    for (const FEventPtr& event : events) event->fireEventOnQueue(queue_);
}

void FEventRaiser::raiseCallback(ns::Block callback) const { queue_->async(std::move(callback)); }

void FEventRaiser::raiseCallbacks(const std::vector<ns::Block>& callbacks) const {
    raiseCallbacks(callbacks, queue_);
}

void FEventRaiser::raiseCallbacks(const std::vector<ns::Block>& callbacks, const ns::DispatchQueuePtr& queue) {
    for (const ns::Block& callback : callbacks) queue->async(callback);
}
