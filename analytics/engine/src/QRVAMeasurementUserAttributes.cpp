// User attributes in the engine: how many names may exist (25 public, 25
// internal per origin), a set stored together with the audiences it changes
// (one transaction, so a failed evaluation leaves the attribute unset),
// removal, and the reads the facade answers its callers with.

#include "analytics/QRVAAudience.h"
#include "analytics/QRVADatabase.h"
#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAScheduler.h"
#include "platform/dispatch.h"

namespace {

ns::Value nameContext(const std::string& name) { return ns::Value(QRVAFormattedUserPropertyName(std::string_view(name))); }
ns::Value valueContext(const QRVAUserAttribute& attribute) { return ns::Value(attribute.value().description()); }

// Callers hear back on a queue of their own, never the worker queue.
void callBack(std::function<void()> call) { ns::DispatchQueue::global(ns::DispatchQueue::QoS::Background)->async(std::move(call)); }

}  // namespace

// MARK: - Any thread

void QRVAMeasurement::setUserAttribute(std::optional<QRVAUserAttribute> attribute) {
    if (!attribute) {
        monitor()->logWithLevel(4, 23079, "Attempted to set nil user property");
        return;
    }
    std::weak_ptr<QRVAMeasurement> weak = weak_from_this();
    scheduler_->scheduleOnWorkerQueueBlockID("QRVAMeasurement:2102", [weak, attribute = std::move(*attribute)] {
        if (auto engine = weak.lock()) engine->setUserAttributeOnWorkerQueue(attribute);
    });
}

void QRVAMeasurement::removeUserAttribute(std::optional<QRVAUserAttribute> attribute) {
    if (!attribute) {
        monitor()->logWithLevel(4, 23074, "Attempted to remove nil user property");
        return;
    }
    std::weak_ptr<QRVAMeasurement> weak = weak_from_this();
    scheduler_->scheduleOnWorkerQueueBlockID("QRVAMeasurement:2057", [weak, attribute = std::move(*attribute)] {
        if (auto engine = weak.lock()) engine->removeUserAttributeOnWorkerQueue(attribute);
    });
}

void QRVAMeasurement::userAttributeWithName(const std::string& name,
                                            std::function<void(std::optional<QRVAUserAttribute>)> callback) {
    if (!callback) {
        monitor()->logWithLevel(1, 23088, "userAttributeWithName callback is nil");
        return;
    }
    std::weak_ptr<QRVAMeasurement> weak = weak_from_this();
    scheduler_->scheduleOnWorkerQueueBlockID("QRVAMeasurement:2216", [weak, name, callback = std::move(callback)] {
        auto engine = weak.lock();
        std::optional<QRVAUserAttribute> attribute;
        if (engine && engine->database_) {
            ns::ErrorRef error;
            attribute = engine->database_->userAttributeWithName(name, &error);
            if (!attribute && error) {
                monitor()->logWithLevel(1, 23089, "Unable to get user attribute by name. Name", ns::Value(name));
            }
        }
        callBack([callback, attribute] { callback(attribute); });
    });
}

void QRVAMeasurement::userPropertiesIncludingInternal(bool includeInternal,
                                                      std::function<void(ns::Dictionary)> callback) {
    if (!callback) {
        monitor()->logWithLevel(1, 23090, "Unable to retrieve user properties. Callback is nil");
        return;
    }
    std::weak_ptr<QRVAMeasurement> weak = weak_from_this();
    scheduler_->scheduleOnWorkerQueueBlockID("QRVAMeasurement:2265", [weak, includeInternal,
                                                                      callback = std::move(callback)] {
        auto engine = weak.lock();
        ns::Dictionary properties;
        ns::ErrorRef error;
        auto attributes = engine && engine->database_
                              ? engine->database_->userAttributesIncludingInternal(includeInternal, &error)
                              : std::nullopt;
        if (!attributes && error) {
            monitor()->logWithLevel(1, 23091, "Unable to retrieve user properties. Error", QRVAErrorContext(error));
        }
        for (const auto& attribute : attributes.value_or(std::vector<QRVAUserAttribute>{})) {
            const QRVAValue& value = attribute.value();
            if (attribute.name().empty()) {
                monitor()->logWithLevel(1, 23092, "Cannot add invalid public user property name or value.");
            } else if (value.isString()) {
                properties[attribute.name()] = *value.stringValue();
            } else if (value.isDouble()) {
                properties[attribute.name()] = value.doubleValue();
            } else if (value.isInt64()) {
                properties[attribute.name()] = value.int64Value();
            }
        }
        callBack([callback, properties = std::move(properties)] { callback(properties); });
    });
}

void QRVAMeasurement::maxUserPropertiesForOrigin(const std::string& origin, std::function<void(int32_t)> callback) {
    if (origin.empty()) {
        monitor()->logWithLevel(1, 23093, "Origin for querying MaxUserProperties cannot be nil");
        return;
    }
    if (!callback) {
        monitor()->logWithLevel(1, 23094, "MaxUserProperties callback cannot be nil. Origin", ns::Value(origin));
        return;
    }
    callBack([callback = std::move(callback)] { callback(kQRVADatabaseUserAttributePerOriginMaxCount); });
}

// MARK: - Worker queue

bool QRVAMeasurement::isUserAttributeAllowed(const QRVAUserAttribute& attribute) {
    ns::ErrorRef error;
    auto contained = database_->containsUserAttributeWithName(attribute.name(), &error);
    if (!contained && error) {
        monitor()->logWithLevel(1, 23082, "Unable to query existence of user property. Name, error",
                                nameContext(attribute.name()), QRVAErrorContext(error));
        return false;
    }
    // A stored name is replaced whatever the counts.
    if (contained && *contained) return true;
    auto count = attribute.isPublic() ? database_->publicUserAttributeCount(&error)
                                      : database_->userAttributeCountForOrigin(attribute.origin(), &error);
    const int32_t limit = attribute.isPublic() ? kQRVADatabasePublicUserAttributeMaxCount
                                               : kQRVADatabaseUserAttributePerOriginMaxCount;
    if (count && *count < limit) return true;
    if (error) {
        monitor()->logWithLevel(1, 23083, "Unable to query user property count. Origin, error",
                                ns::Value(attribute.origin()), QRVAErrorContext(error));
    } else {
        monitor()->logWithLevel(4, 23084,
                                "Unable to set user property. Reached limit on set user properties for origin. "
                                "Origin, name, value",
                                ns::Value(attribute.origin()), nameContext(attribute.name()), valueContext(attribute));
        QRVALogErrorEventWithCode(kQRVAErrorUserPropertyLimitReached);
    }
    return false;
}

void QRVAMeasurement::setUserAttributeOnWorkerQueue(const QRVAUserAttribute& attribute) {
    QRVAScheduler::checkOnBackgroundThreadWithMethodName("setUserAttributeOnWorkerQueue:");
    ns::dispatchAssertQueue(scheduler_->workerQueue());
    monitor()->logWithLevel(7, 23080, "Setting user property. Name, value", nameContext(attribute.name()),
                            valueContext(attribute));
    if (!isEnabled()) {
        monitor()->logWithLevel(7, 23081, "Quorvane Analytics is disabled. User property not set");
        return;
    }
    // Like an event, a property set before the start got through, or while
    // another program holds the store, waits for the store in memory.
    runWhenStarted([this, attribute](const QRVAStartedComponents& started) {
        QRVADatabase& database = started.database();
        database.forgetLastFailure();
        if (isUserAttributeAllowed(attribute) &&
            database.performTransaction([&] { return storeUserAttributeInTransaction(attribute); })) {
            return QRVAWorkOutcome::Finished;
        }
        return database.wasLockedElsewhere() ? QRVAWorkOutcome::StoreLockedElsewhere : QRVAWorkOutcome::Finished;
    });
}

bool QRVAMeasurement::storeUserAttributeInTransaction(const QRVAUserAttribute& attribute) {
    ns::dispatchAssertQueue(scheduler_->workerQueue());
    ns::ErrorRef error;
    if (!database_->updateUserAttribute(attribute, &error) && error) {
        monitor()->logWithLevel(1, 23085, "Unable to set user property. Name, value, error",
                                nameContext(attribute.name()), valueContext(attribute), QRVAErrorContext(error));
        return false;
    }
    if (!audience_->evaluateFiltersForUserProperty(attribute)) {
        monitor()->logWithLevel(1, 23086, "Unable to evaluate user property. Name, value",
                                nameContext(attribute.name()), valueContext(attribute));
        return false;
    }
    monitor()->logWithLevel(7, 23087, "User property set. Name, value", nameContext(attribute.name()),
                            valueContext(attribute));
    return true;
}

bool QRVAMeasurement::setUserAttributeInTransaction(const QRVAUserAttribute& attribute) {
    return isUserAttributeAllowed(attribute) && storeUserAttributeInTransaction(attribute);
}

void QRVAMeasurement::removeUserAttributeOnWorkerQueue(const QRVAUserAttribute& attribute) {
    QRVAScheduler::checkOnBackgroundThreadWithMethodName("removeUserAttributeOnWorkerQueue:");
    ns::dispatchAssertQueue(scheduler_->workerQueue());
    monitor()->logWithLevel(7, 23075, "Removing user property. Name", nameContext(attribute.name()));
    if (!isEnabled()) {
        monitor()->logWithLevel(7, 23076, "Quorvane Analytics is disabled. User property not removed");
        return;
    }
    runWhenStarted([attribute](const QRVAStartedComponents& started) {
        QRVADatabase& database = started.database();
        database.forgetLastFailure();
        ns::ErrorRef error;
        if (!database.deleteUserAttributeWithName(attribute.name(), &error) && error) {
            if (database.wasLockedElsewhere()) return QRVAWorkOutcome::StoreLockedElsewhere;
            monitor()->logWithLevel(1, 23077, "Unable to remove user property. Name, error",
                                    nameContext(attribute.name()), QRVAErrorContext(error));
            return QRVAWorkOutcome::Finished;
        }
        monitor()->logWithLevel(7, 23078, "User property removed. Name", nameContext(attribute.name()));
        return QRVAWorkOutcome::Finished;
    });
}
