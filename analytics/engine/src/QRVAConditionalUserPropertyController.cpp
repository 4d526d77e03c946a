// Conditional user properties: validation and queueing on the caller's
// thread, the stored side on the shared engine's worker queue. Each worker
// operation is one store transaction; the events it derives are built
// inside and written only once it has committed, so a roll back leaves
// records, user properties and events as they were.

#include "analytics/QRVAConditionalUserPropertyController.h"

#include "analytics/QRVADataTypeValidator.h"
#include "analytics/QRVADatabase.h"
#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAScheduler.h"
#include "platform/clock.h"
#include "platform/dispatch.h"

namespace {

using Validator = QRVADataTypeValidator;
using Records = std::vector<QRVAConditionalUserProperty>;

std::shared_ptr<QRVAMonitor> monitor() { return QRVAMeasurementMonitor(); }
ns::Value nameContext(const std::string& name) { return ns::Value(QRVAFormattedUserPropertyName(std::string_view(name))); }
ns::Value eventNameContext(const std::string& name) { return ns::Value(QRVAFormattedEventName(std::string_view(name))); }
ns::Value eventContext(const std::optional<QRVAEvent>& event) {
    return event ? eventNameContext(event->name()) : ns::Value();
}
ns::Value valueContext(const QRVAConditionalUserProperty& record) {
    return record.value ? ns::Value(record.value->description()) : ns::Value();
}

// The shared engine on its worker queue, or nullptr when none was made (an
// engine made apart from it, as tests make one, has no records of its own).
std::shared_ptr<QRVAMeasurement> workerEngine(const char* methodName) {
    QRVAScheduler::checkOnBackgroundThreadWithMethodName(methodName);
    auto engine = QRVAMeasurement::hasSharedInstance() ? QRVAMeasurement::sharedInstance() : nullptr;
    if (engine) ns::dispatchAssertQueue(engine->scheduler()->workerQueue());
    return engine;
}

// The store, when the engine has started and is on.
QRVADatabase* enabledDatabase(const std::shared_ptr<QRVAMeasurement>& engine) {
    return engine && engine->isEnabled() ? engine->database().get() : nullptr;
}

// NaN is neither below nor above a bound: test that it is within both.
bool isWithinBounds(double seconds) {
    return seconds >= kQRVAConditionalUserPropertyMinInterval && seconds <= kQRVAConditionalUserPropertyMaxInterval;
}

// A new internal event of the record's origin with the supplied event's
// name and parameters; nullopt when none was supplied.
std::optional<QRVAEvent> derivedEvent(const std::optional<QRVAEvent>& supplied, const std::string& origin,
                                      double timestamp) {
    if (!supplied) return std::nullopt;
    return QRVAEvent::initWithOrigin(origin, false, supplied->name(), timestamp, 0, supplied->parameters());
}

void append(std::vector<QRVAEvent>* events, std::optional<QRVAEvent> event) {
    if (events && event) events->push_back(std::move(*event));
}

// Writes the record's value as its user property, straight to the store.
bool writeUserProperty(QRVADatabase& database, const QRVAConditionalUserProperty& record, double lastSet,
                       ns::ErrorRef* error) {
    auto attribute = record.value ? QRVAUserAttribute::initWithOrigin(record.origin, record.name, *record.value, lastSet)
                                  : std::nullopt;
    if (!QRVAAssertTrue(attribute.has_value(), error, 1, "Invalid user property from conditional user property")) {
        return false;
    }
    return database.updateUserAttribute(*attribute, error);
}

// MARK: Storing a record (inside the set transaction)

// Steps 3-5: how the stored record shapes the new one; answers whether a
// triggered event is due.
bool mergeWithStored(QRVAConditionalUserProperty& record, const std::optional<QRVAConditionalUserProperty>& stored) {
    if (stored && stored->active) {
        record.origin = stored->origin;
        record.creationTimestamp = stored->creationTimestamp;
        record.triggerEventName = stored->triggerEventName;
        record.triggeredEvent = stored->triggeredEvent;
        record.triggerTimeout = stored->triggerTimeout;
        return false;
    }
    if (!record.triggerEventName.empty()) return false;
    record.active = true;
    record.triggeredTimestamp = record.creationTimestamp;
    return true;
}

void applyActiveRecord(QRVADatabase& database, const QRVAConditionalUserProperty& record) {
    ns::ErrorRef error;
    if (writeUserProperty(database, record, record.triggeredTimestamp, &error)) {
        monitor()->logWithLevel(7, 11012, "User property updated. Name, origin", nameContext(record.name),
                                ns::Value(record.origin));
    } else {
        monitor()->logWithLevel(1, 11011, "Unable to update user property from conditional user property. Name, origin, error",
                                nameContext(record.name), ns::Value(record.origin), QRVAErrorContext(error));
    }
}

bool storeRecord(QRVADatabase& database, QRVAConditionalUserProperty& record, std::optional<QRVAEvent>& triggered) {
    ns::ErrorRef readError;
    auto stored = database.conditionalUserPropertyWithName(record.name, &readError);
    if (!stored && readError) {
        monitor()->logWithLevel(1, 11009, "Unable to query conditional user property. Name, origin, error",
                                nameContext(record.name), ns::Value(record.origin), QRVAErrorContext(readError));
        return false;
    }
    if (stored && stored->origin != record.origin) {
        monitor()->logWithLevel(4, 11010, "Updating a conditional user property with different origin. Name, origin, saved origin",
                                nameContext(record.name), ns::Value(record.origin), ns::Value(stored->origin));
    }
    const bool triggerDue = mergeWithStored(record, stored);
    if (record.active) {
        applyActiveRecord(database, record);
        if (triggerDue) triggered = derivedEvent(record.triggeredEvent, record.origin, record.triggeredTimestamp);
    }
    if (stored && stored->active) {
        // The time to live keeps counting from the first activation.
        record.active = true;
        record.triggeredTimestamp = stored->triggeredTimestamp;
    }
    ns::ErrorRef writeError;
    if (!database.updateConditionalUserProperty(record, &writeError)) {
        // Committing now would leave a value applied by no record, one that
        // would never expire.
        monitor()->logWithLevel(1, 11014, "Unable to insert user property from conditional user property. Name, origin, error",
                                nameContext(record.name), ns::Value(record.origin), QRVAErrorContext(writeError));
        return false;
    }
    monitor()->logWithLevel(7, 11013, "Conditional user property added. Name, origin", nameContext(record.name),
                            ns::Value(record.origin));
    return true;
}

// MARK: Removing a record (inside the removal transaction)

bool removeRecord(QRVADatabase& database, const QRVAConditionalUserProperty& request,
                  std::optional<QRVAEvent>& clearEvent) {
    ns::ErrorRef readError;
    auto stored = database.conditionalUserPropertyWithName(request.name, &readError);
    if (!stored) {
        if (readError) {
            monitor()->logWithLevel(1, 11017, "Unable to remove conditional user property. Cannot query conditional user property. Name, origin, error",
                                    nameContext(request.name), ns::Value(request.origin), QRVAErrorContext(readError));
            return false;
        }
        monitor()->logWithLevel(4, 11018, "Unable to remove conditional user property. Conditional user property doesn't exist. Name, origin",
                                nameContext(request.name), ns::Value(request.origin));
        return true;
    }
    ns::ErrorRef error;
    if (!database.deleteConditionalUserPropertyWithName(request.name, &error)) {
        monitor()->logWithLevel(1, 11019, "Unable to remove conditional user property. Failed to execute the delete operation. Name, origin, error",
                                nameContext(request.name), ns::Value(stored->origin), QRVAErrorContext(error));
        return false;
    }
    if (stored->active && !database.deleteUserAttributeWithName(request.name, &error)) {
        monitor()->logWithLevel(1, 11020, "Unable to remove conditional user property. Failed to delete the user property. Name, origin, error",
                                nameContext(request.name), ns::Value(stored->origin), QRVAErrorContext(error));
        return false;
    }
    clearEvent = derivedEvent(request.expiredEvent, stored->origin, ns::Clock::nowSeconds());
    return true;
}

// MARK: Querying

// What the query's worker block and its caller share: the caller may have
// stopped waiting (and returned) before the block runs.
struct PendingQuery {
    ns::DispatchSemaphore done;
    std::optional<Records> result;
    ns::ErrorRef error;
};

// nullopt for a filter that is not a string (logged); else its text.
std::optional<std::string> filterText(const ns::Value& filter, int64_t code, const char* message) {
    QRVAObjectRef object(filter);
    if (object.isNil()) return std::string();
    if (auto text = object.string()) return std::string(*text);
    monitor()->logWithLevel(1, code, message, ns::Value(object.className()));
    return std::nullopt;
}

}  // namespace

bool QRVAIsValidConditionalUserProperty(const QRVAConditionalUserProperty& property) {
    if (!Validator::isValidConditionalUserPropertyOrigin(property.origin) ||
        !Validator::isValidConditionalUserPropertyName(property.name) ||
        (property.value && !Validator::isValidConditionalUserPropertyValue(*property.value))) {
        return false;
    }
    if (!isWithinBounds(property.triggerTimeout)) {
        monitor()->logWithLevel(1, 11000, "Invalid conditional user property timeout. Trigger timeout",
                                ns::Value(property.triggerTimeout));
        return false;
    }
    if (!isWithinBounds(property.timeToLive)) {
        monitor()->logWithLevel(1, 11001, "Invalid conditional user property time to live. Time to live",
                                ns::Value(property.timeToLive));
        return false;
    }
    return true;
}

std::shared_ptr<QRVAConditionalUserPropertyController> QRVAConditionalUserPropertyController::sharedInstance() {
    static auto* shared = new std::shared_ptr<QRVAConditionalUserPropertyController>(
        std::make_shared<QRVAConditionalUserPropertyController>());
    return *shared;
}

// MARK: - Any thread

void QRVAConditionalUserPropertyController::setConditionalUserProperty(
    std::optional<QRVAConditionalUserProperty> record, const std::string& name) {
    if (!record) {
        monitor()->logWithLevel(1, 11002, "Unable to set conditional user property. Conditional user property is nil");
        return;
    }
    record->name = name;
    if (!QRVAIsValidConditionalUserProperty(*record)) return;
    record->creationTimestamp = ns::Clock::nowSeconds();
    auto engine = QRVAMeasurement::sharedInstance();
    if (!engine) return;
    engine->scheduler()->scheduleOnWorkerQueueBlockID(
        "QRVAConditionalUserPropertyController:89", [record = std::move(*record)] {
            auto controller = sharedInstance();
            if (record.value) {
                controller->setConditionalUserPropertyOnWorkerQueue(&record);
            } else {
                controller->removeConditionalUserPropertyOnWorkerQueue(&record);
            }
        });
}

void QRVAConditionalUserPropertyController::clearConditionalUserPropertyWithClearEvent(
    std::optional<QRVAEvent> clearEvent, const std::string& name) {
    if (!Validator::isValidConditionalUserPropertyName(name)) return;
    QRVAConditionalUserProperty request;
    request.name = name;
    request.expiredEvent = std::move(clearEvent);
    auto engine = QRVAMeasurement::sharedInstance();
    if (!engine) return;
    engine->scheduler()->scheduleOnWorkerQueueBlockID(
        "QRVAConditionalUserPropertyController:111",
        [request = std::move(request)] { sharedInstance()->removeConditionalUserPropertyOnWorkerQueue(&request); });
}

std::optional<std::vector<QRVAConditionalUserProperty>>
QRVAConditionalUserPropertyController::conditionalUserPropertiesWithNamePrefix(const ns::Value& prefix,
                                                                               const ns::Value& origin) {
    auto prefixText = filterText(prefix, 11003,
                                 "Unable to query for conditional user properties. Name prefix is not a string. Class");
    if (!prefixText) return std::nullopt;
    auto originText =
        filterText(origin, 11004, "Unable to query for conditional user properties. Origin is not a string. Class");
    if (!originText) return std::nullopt;
    auto engine = QRVAMeasurement::sharedInstance();
    // On the worker queue the read could only run after the wait gave up.
    if (!engine || engine->scheduler()->workerQueue()->isCurrent()) return std::nullopt;
    auto query = std::make_shared<PendingQuery>();
    std::weak_ptr<QRVAMeasurement> weak = engine;
    engine->scheduler()->scheduleOnWorkerQueueBlockID(
        "QRVAConditionalUserPropertyController:158", [weak, query, prefix = *prefixText, origin = *originText] {
            if (QRVADatabase* database = enabledDatabase(weak.lock())) {
                query->result = database->conditionalUserPropertiesWithPrefix(prefix, origin, &query->error);
            } else {
                monitor()->logWithLevel(3, 11005,
                                        "Unable to query for conditional user properties. Quorvane Analytics is disabled");
            }
            query->done.signal();
        });
    if (!query->done.wait(kQRVAConditionalUserPropertyQueryTimeout)) return std::nullopt;
    if (!query->result && query->error) {
        monitor()->logWithLevel(1, 11006, "Unable to query for conditional user properties. Name prefix, origin, error",
                                ns::Value(*prefixText), ns::Value(*originText), QRVAErrorContext(query->error));
    }
    return query->result;
}

// MARK: - Worker queue

void QRVAConditionalUserPropertyController::setConditionalUserPropertyOnWorkerQueue(
    const QRVAConditionalUserProperty* record) {
    auto engine = workerEngine("setConditionalUserPropertyOnWorkerQueue");
    QRVADatabase* database = enabledDatabase(engine);
    if (!database) {
        monitor()->logWithLevel(3, 11007, "Unable to set conditional user property. Quorvane Analytics is disabled");
        return;
    }
    if (!record) {
        monitor()->logWithLevel(1, 11008,
                                "Unable to set conditional user property on worker queue. Conditional user property is nil");
        return;
    }
    QRVAConditionalUserProperty stored = *record;
    std::optional<QRVAEvent> triggered;
    if (!database->performTransaction([&] { return storeRecord(*database, stored, triggered); })) return;
    if (triggered) engine->writeEventOnWorkerQueue(std::move(*triggered));
}

void QRVAConditionalUserPropertyController::removeConditionalUserPropertyOnWorkerQueue(
    const QRVAConditionalUserProperty* request) {
    auto engine = workerEngine("removeConditionalUserPropertyOnWorkerQueue:");
    QRVADatabase* database = enabledDatabase(engine);
    if (!database) {
        monitor()->logWithLevel(3, 11015, "Unable to remove conditional user property. Quorvane Analytics is disabled");
        return;
    }
    if (!request) {
        monitor()->logWithLevel(1, 11016,
                                "Unable to remove conditional user property on worker queue. Conditional user property is nil");
        return;
    }
    std::optional<QRVAEvent> clearEvent;
    if (!database->performTransaction([&] { return removeRecord(*database, *request, clearEvent); })) return;
    if (clearEvent) engine->writeEventOnWorkerQueue(std::move(*clearEvent));
}

std::optional<std::vector<QRVAEvent>> QRVAConditionalUserPropertyController::processEventOnWorkerQueue(
    const QRVAEvent* event) {
    auto engine = workerEngine("processEventOnWorkerQueue:");
    if (!event) {
        monitor()->logWithLevel(1, 10000, "Unable to process event for conditional user property. Event is nil");
        return std::nullopt;
    }
    QRVADatabase* database = engine ? engine->database().get() : nullptr;
    if (!database) return std::vector<QRVAEvent>();
    std::vector<QRVAEvent> timedOut;
    std::vector<QRVAEvent> expired;
    std::optional<std::vector<QRVAEvent>> triggered;
    const bool committed = database->performTransaction([&] {
        if (!removeTimedOutCUPWithTimedOutEvents(&timedOut) || !removeExpiredCUPWithExpiredEvents(&expired)) {
            return false;
        }
        triggered = updateConditionalUserPropertiesWithEventNameOnWorkerQueue(event->name());
        return triggered.has_value();
    });
    if (!committed) return std::nullopt;
    for (QRVAEvent& derived : timedOut) engine->writeEventOnWorkerQueue(std::move(derived));
    for (QRVAEvent& derived : expired) engine->writeEventOnWorkerQueue(std::move(derived));
    return triggered;
}

bool QRVAConditionalUserPropertyController::removeTimedOutCUPWithTimedOutEvents(
    std::vector<QRVAEvent>* timedOutEvents) {
    auto engine = workerEngine("removeTimedOutCUPWithTimedOutEvents:");
    QRVADatabase* database = engine ? engine->database().get() : nullptr;
    if (!database) return false;
    ns::ErrorRef error;
    auto records = database->timedOutConditionalUserPropertiesWithError(&error);
    if (!records) {
        monitor()->logWithLevel(1, 10001, "Unable to fetch timed out conditional user properties. Error",
                                QRVAErrorContext(error));
        return false;
    }
    const double now = ns::Clock::nowSeconds();
    for (const auto& record : *records) {
        monitor()->logWithLevel(7, 10002, "Conditional user property has timed out. Name", nameContext(record.name));
        if (!database->deleteConditionalUserPropertyWithName(record.name, &error)) {
            monitor()->logWithLevel(7, 10003, "Unable to delete timed out condition user property. Name, error",
                                    nameContext(record.name), QRVAErrorContext(error));
            return false;
        }
        append(timedOutEvents, derivedEvent(record.timedOutEvent, record.origin, now));
    }
    return true;
}

bool QRVAConditionalUserPropertyController::removeExpiredCUPWithExpiredEvents(std::vector<QRVAEvent>* expiredEvents) {
    auto engine = workerEngine("removeExpiredCUPWithExpiredEvents:");
    QRVADatabase* database = engine ? engine->database().get() : nullptr;
    if (!database) return false;
    ns::ErrorRef error;
    auto records = database->expiredConditionalUserPropertiesWithError(&error);
    if (!records) {
        monitor()->logWithLevel(1, 10004, "Unable to fetch expired conditional user properties. Error",
                                QRVAErrorContext(error));
        return false;
    }
    const double now = ns::Clock::nowSeconds();
    for (const auto& record : *records) {
        monitor()->logWithLevel(7, 10005, "Conditional user property has expired. Name, expired event",
                                nameContext(record.name), eventContext(record.expiredEvent));
        if (!database->deleteUserAttributeWithName(record.name, &error)) {
            monitor()->logWithLevel(1, 10006, "Unable to remove conditional user property. Failed to delete the user property. Name, origin, error",
                                    nameContext(record.name), ns::Value(record.origin), QRVAErrorContext(error));
            return false;
        }
        if (!database->deleteConditionalUserPropertyWithName(record.name, &error)) {
            monitor()->logWithLevel(7, 10007, "Unable to delete expired condition user property. Name, error",
                                    nameContext(record.name), QRVAErrorContext(error));
            return false;
        }
        append(expiredEvents, derivedEvent(record.expiredEvent, record.origin, now));
    }
    return true;
}

std::optional<std::vector<QRVAEvent>>
QRVAConditionalUserPropertyController::updateConditionalUserPropertiesWithEventNameOnWorkerQueue(
    const std::string& eventName) {
    auto engine = workerEngine("updateConditionalUserPropertiesBasedOnEventNameOnWorkerQueue:");
    QRVADatabase* database = engine ? engine->database().get() : nullptr;
    if (!database) return std::nullopt;
    ns::ErrorRef error;
    auto records = database->triggeredConditionalUserPropertiesWithEventName(eventName, &error);
    if (!records) {
        monitor()->logWithLevel(1, 10008, "Unable to fetch triggering conditional user properties. Event name, error",
                                eventNameContext(eventName), QRVAErrorContext(error));
        return std::nullopt;
    }
    std::vector<QRVAEvent> triggered;
    for (auto& record : *records) {
        const double now = ns::Clock::nowSeconds();
        ns::ErrorRef writeError;
        if (writeUserProperty(*database, record, now, &writeError)) {
            monitor()->logWithLevel(7, 10010, "User property updated. Name, origin, value", nameContext(record.name),
                                    ns::Value(record.origin), valueContext(record));
        } else {
            monitor()->logWithLevel(1, 10009, "Unable to update user property from conditional user property. Name, origin, error",
                                    nameContext(record.name), ns::Value(record.origin), QRVAErrorContext(writeError));
        }
        append(&triggered, derivedEvent(record.triggeredEvent, record.origin, now));
        record.active = true;
        record.triggeredTimestamp = now;
        if (!database->updateConditionalUserProperty(record, &error)) {
            monitor()->logWithLevel(1, 10011, "Unable to update conditional user property. Name, origin, error",
                                    nameContext(record.name), ns::Value(record.origin), QRVAErrorContext(error));
            return std::nullopt;
        }
    }
    return triggered;
}
