// The event writer: an event's road from the worker queue to its raw-event
// row (see QRVAEventWriter.h).

#include "analytics/QRVAConditionalUserPropertyController.h"
#include "analytics/QRVADatabase.h"
#include "analytics/QRVADataTypeValidator.h"
#include "analytics/QRVAEnvironmentInfo.h"
#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAIdentity.h"
#include "analytics/QRVALifetimeValueRecorder.h"
#include "analytics/QRVAAutomaticEvents.h"
#include "analytics/QRVAEventWriter.h"
#include "analytics/QRVAAEU.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVARemoteConfig.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVAUtilities.h"
#include "platform/clock.h"
#include "platform/dispatch.h"

namespace F = QRVAPBField;

namespace {

ns::Value nameContext(const std::string& name) { return ns::Value(QRVAFormattedEventName(std::string_view(name))); }
ns::Value parametersContext(const QRVAEvent& event) {
    return ns::Value(QRVAFormattedParametersDescription(event.parameters()));
}

bool isConversionName(const std::string& name) {
    return name == "ecommerce_purchase" || name == "_f" || name == "_iap";
}

// Overruns of a quota are logged on the first and then every thousandth.
bool isLoggedOverrun(int64_t overrun) { return overrun % kQRVAMeasurementQuotaLogInterval == 0; }

}  // namespace

// MARK: - Entry

void QRVAEventWriter::logEvent(std::optional<QRVAEvent> event) {
    if (!event) {
        monitor()->logWithLevel(4, 23048, "Attempted to log nil event");
        return;
    }
    auto write = [weak = weakEngine(), event = std::move(*event)]() mutable {
        if (auto engine = weak.lock()) engine->handleEventOnWorkerQueue(std::move(event));
    };
    scheduler()->scheduleOnWorkerQueueBlockID("QRVAMeasurement:1581", std::move(write));
}

void QRVAEventWriter::handleEventOnWorkerQueue(QRVAEvent event) {
    QRVAScheduler::checkOnBackgroundThreadWithMethodName("handleEventOnWorkerQueue:");
    ns::dispatchAssertQueue(scheduler()->workerQueue());
    if (!engine_.isEnabled()) {
        monitor()->logWithLevel(7, 23049, "Quorvane Analytics is disabled. Event not logged");
        return;
    }
    engine_.runWhenStarted([this, handling = Handling{Write{std::move(event), Step::Admit, {}}, false, std::nullopt}](const Started& started) mutable {
        return handleStartedEvent(started, handling);
    });
}

QRVAWorkOutcome QRVAEventWriter::handleStartedEvent(const Started& started, Handling& handling) {
    if (!handling.processed) {
        // An event that waited for the start may find its first open waiting
        // for its screen now.
        if (heldBehindFirstOpen(handling.write.event, true)) return QRVAWorkOutcome::Finished;
        const QRVAEvent& event = handling.write.event;
        handling.triggered = QRVAConditionalUserPropertyController::sharedInstance()->processEventOnWorkerQueue(&event);
        if (!handling.triggered) {
            monitor()->logWithLevel(4, 23050, "Unable to process conditional user property. Event name, origin",
                                    nameContext(event.name()), ns::Value(event.origin()));
        }
        handling.processed = true;
    }
    if (writeStartedEvent(started, handling.write) == QRVAWorkOutcome::StoreLockedElsewhere) {
        return QRVAWorkOutcome::StoreLockedElsewhere;
    }
    if (handling.triggered) {
        for (QRVAEvent& derived : *handling.triggered) writeEventOnWorkerQueue(std::move(derived));
    }
    engine_.updateSchedule();
    return QRVAWorkOutcome::Finished;
}

bool QRVAEventWriter::heldBehindFirstOpen(const QRVAEvent& event, bool handle) {
    QRVAAutomaticEvents& automatic = engine_.automaticEvents();
    if (!automatic.isWaitingForFirstScreen()) return false;
    automatic.holdBehindFirstOpen([this, event, handle]() mutable {
        if (handle) {
            handleEventOnWorkerQueue(std::move(event));
        } else {
            writeEventOnWorkerQueue(std::move(event));
        }
    });
    return true;
}

void QRVAEventWriter::maybeAddDebugAndRealtimeParameters(QRVAEvent& event) {
    if (!monitor()->isDebugModeEnabled()) return;
    event.setRealtime(true);
    event.setDebug(true);
    monitor()->logWithLevel(7, 23073, "Debug mode is enabled. Marking event as debug and real-time. Event name, parameters",
                            nameContext(event.name()), parametersContext(event));
}

// MARK: - Writing

void QRVAEventWriter::writeEventOnWorkerQueue(QRVAEvent event) {
    QRVAScheduler::checkOnBackgroundThreadWithMethodName("writeEventOnWorkerQueue:");
    ns::dispatchAssertQueue(scheduler()->workerQueue());
    engine_.runWhenStarted([this, write = Write{std::move(event), Step::Admit, {}}](const Started& started) mutable {
        if (write.step == Step::Admit && heldBehindFirstOpen(write.event, false)) return QRVAWorkOutcome::Finished;
        return writeStartedEvent(started, write);
    });
}

// Each transaction's step is done once: one that could not begin for a
// lock held elsewhere is where the next try starts.
QRVAWorkOutcome QRVAEventWriter::writeStartedEvent(const Started& started, Write& write) {
    QRVADatabase& database = started.database();
    QRVAEvent& event = write.event;
    const auto failed = [&] {
        return database.wasLockedElsewhere() ? QRVAWorkOutcome::StoreLockedElsewhere : QRVAWorkOutcome::Finished;
    };
    const bool isPublic = QRVAEventUtilIsPublicName(std::string_view(event.name()));
    switch (write.step) {
        case Step::Admit:
            if (!admitEvent(started, event)) return QRVAWorkOutcome::Finished;
            write.step = Step::LifetimeValue;
            [[fallthrough]];
        case Step::LifetimeValue:
            if (QRVALifetimeValueRecorder::isPurchaseEvent(event) &&
                !database.performTransaction([&] { return recordLifetimeValueInTransaction(started, event); })) {
                return failed();
            }
            write.step = Step::Count;
            [[fallthrough]];
        case Step::Count:
            write.state = WriteState{};
            if (!database.performTransaction(
                    [&] { return countEventInTransaction(started, event, isPublic, write.state); })) {
                return failed();
            }
            if (write.state.dropped) {
                logDropped(event);
                return QRVAWorkOutcome::Finished;
            }
            write.step = Step::Store;
            [[fallthrough]];
        case Step::Store:
            if (!database.performTransaction(
                    [&] { return storeEventInTransaction(started, event, isPublic, write.state); })) {
                return failed();
            }
            countStoredFirstOpens({event.name()});
            return QRVAWorkOutcome::Finished;
    }
    return QRVAWorkOutcome::Finished;
}

bool QRVAEventWriter::writeEventsTogether(std::vector<QRVAEvent> events, const std::function<bool()>& alongside) {
    ns::dispatchAssertQueue(scheduler()->workerQueue());
    if (!engine_.isEnabled()) {
        monitor()->logWithLevel(7, 23049, "Quorvane Analytics is disabled. Event not logged");
        return false;
    }
    const Started* started = engine_.started();
    if (!started) return false;
    std::vector<QRVAEvent> triggered;
    for (const QRVAEvent& event : events) {
        auto derived = QRVAConditionalUserPropertyController::sharedInstance()->processEventOnWorkerQueue(&event);
        if (!derived) {
            monitor()->logWithLevel(4, 23050, "Unable to process conditional user property. Event name, origin",
                                    nameContext(event.name()), ns::Value(event.origin()));
            continue;
        }
        for (QRVAEvent& one : *derived) triggered.push_back(std::move(one));
    }
    std::vector<std::string> stored;
    const bool committed = started->database().performTransaction([&] {
        if (alongside && !alongside()) return false;
        for (QRVAEvent& event : events) {
            bool isStored = false;
            if (!writeEventInTransaction(*started, event, isStored)) return false;
            if (isStored) stored.push_back(event.name());
        }
        return true;
    });
    if (committed) countStoredFirstOpens(stored);
    for (QRVAEvent& derived : triggered) writeEventOnWorkerQueue(std::move(derived));
    engine_.updateSchedule();
    return committed;
}

bool QRVAEventWriter::writeEventInTransaction(const Started& started, QRVAEvent& event, bool& stored) {
    stored = false;
    if (!admitEvent(started, event)) return true;
    if (QRVALifetimeValueRecorder::isPurchaseEvent(event) && !recordLifetimeValueInTransaction(started, event)) {
        return false;
    }
    const bool isPublic = QRVAEventUtilIsPublicName(std::string_view(event.name()));
    WriteState state;
    if (!countEventInTransaction(started, event, isPublic, state)) return false;
    if (state.dropped) {
        logDropped(event);
        return true;
    }
    stored = storeEventInTransaction(started, event, isPublic, state);
    return stored;
}

// Logs the event on its way in; false for a blacklisted one, which is
// rejected (with an error event unless a blacklist switch is on).
bool QRVAEventWriter::admitEvent(const Started& started, QRVAEvent& event) {
    monitor()->logWithLevel(7, 23051, "Logging event: origin, name, params", ns::Value(event.origin()),
                            nameContext(event.name()), parametersContext(event));
    const std::string& name = event.name();
    QRVARemoteConfig& settings = started.remoteConfig();
    if (settings.isEventBlacklisted(name)) {
        monitor()->logWithLevel(4, 23052, "Rejected event. Contact Quorvane Support for more information. Event name",
                                nameContext(name));
        if (!settings.blacklistInternal() && !settings.blacklistPublic() &&
            !QRVAEventUtilIsErrorEvent(event)) {
            QRVALogErrorEventWithParameters(kQRVAErrorEventIsBlacklisted, std::string_view(name),
                                            kQRVADataTypeEventNameMaxLength, std::string_view(name));
        }
        return false;
    }
    if (isConversionName(name)) event.setConversion(true);
    return true;
}

bool QRVAEventWriter::recordLifetimeValueInTransaction(const Started& started, const QRVAEvent& event) {
    if (QRVALifetimeValueRecorder::recordLifetimeValueToDatabase(started.database(), event)) return true;
    const QRVAValue* currency = event.parameters().find("currency");
    const QRVAValue* value = event.parameters().find("value");
    monitor()->logWithLevel(1, 23053, "Cannot record lifetime value of event. Name, currency code, transaction value",
                            nameContext(event.name()), ns::Value(currency ? currency->description() : std::string()),
                            ns::Value(value ? value->description() : std::string()));
    return false;
}

void QRVAEventWriter::logDropped(const QRVAEvent& event) {
    monitor()->logWithLevel(7, 23062, "Event dropped. Event name, event params", nameContext(event.name()),
                            parametersContext(event));
}

// The keychain counts a first open once it is stored for good: counted
// before its commit, a process ended between the two would leave a count of
// a first open that no store holds.
void QRVAEventWriter::countStoredFirstOpens(const std::vector<std::string>& storedNames) {
    for (const std::string& name : storedNames) {
        if (name == "_f") QRVAAutomaticEvents::countFirstOpen();
    }
}

bool QRVAEventWriter::countEventInTransaction(const Started& started, QRVAEvent& event, bool isPublic,
                                              WriteState& state) {
    QRVADatabase& database = started.database();
    ns::ErrorRef error;
    const int32_t today = database.dayNumberAt(ns::Clock::nowSeconds());
    auto stored = database.dailyCounts(&error);
    if (!stored && error) {
        monitor()->logWithLevel(1, 23054, "Data loss. Unable to query daily event counts. Error",
                                QRVAErrorContext(error));
        return false;
    }
    // Yesterday's counters are no quota for today: restart them before
    // comparing, not only when counting.
    QRVADailyCounts counts = stored && stored->day() == today ? *stored : QRVADailyCounts(today, 0, 0, 0, 0, 0);
    const bool droppedByKind = applyQuotas(started, event, isPublic, counts, state);
    if (QRVAEventUtilIsErrorEvent(event)) {
        counts.incrementErrorEventsCountForCurrentDay(today);
    } else {
        counts.incrementCountsForCurrentDay(today, isPublic, false);
    }
    // An event over the all-events quota stays counted, so the overrun keeps
    // growing; one dropped for its kind was never one of the day's events.
    if (droppedByKind) counts.decrementAllEventsCount();
    markRealtime(started, event, counts, state);
    maybeAddDebugAndRealtimeParameters(event);
    state.realtimeRow = state.realtimeRow || event.isRealtime();
    error = nullptr;
    if (!database.updateDailyCounts(counts, &error) && error) {
        monitor()->logWithLevel(1, 23061, "Data loss. Unable to update daily event counts. Name, error",
                                nameContext(event.name()), QRVAErrorContext(error));
        return false;
    }
    return true;
}

// The day's quotas in the order they are checked: the first one over drops
// the event. Answers whether it was dropped for its kind (error or public).
bool QRVAEventWriter::applyQuotas(const Started& started, const QRVAEvent& event, bool isPublic,
                                  const QRVADailyCounts& counts, WriteState& state) {
    QRVARemoteConfig& settings = started.remoteConfig();
    const bool isError = QRVAEventUtilIsErrorEvent(event);
    enum class Subject { Name, ErrorCode };
    struct Quota {
        bool applies;
        int64_t count, limit;
        bool byKind;
        int64_t code;
        const char* message;
        Subject subject;
        int64_t errorEvent;  // logged at every drop; 0 for none
    };
    const Quota quotas[] = {
        {true, counts.allEventsCount(), settings.maxEventsPerDay(), false, 23055,
         "Data loss. Too many events logged. Name, limit", Subject::Name, 0},
        {isError, counts.errorEventsCount(), settings.maxErrorEventsPerDay(), true, 23056,
         "Too many error events logged. Error code, limit", Subject::ErrorCode, 0},
        {isPublic, counts.publicEventsCount(), settings.maxPublicEventsPerDay(), true, 23057,
         "Data loss. Too many public events logged. Name, limit", Subject::Name, kQRVAErrorPublicEventLimitReached},
    };
    for (const Quota& quota : quotas) {
        const int64_t over = quota.count - quota.limit;
        if (!quota.applies || over < 0) continue;
        state.dropped = true;
        if (isLoggedOverrun(over)) {
            const QRVAValue* code = quota.subject == Subject::ErrorCode ? event.parameters().find("_err") : nullptr;
            monitor()->logWithLevel(1, quota.code, quota.message,
                                    quota.subject == Subject::Name ? nameContext(event.name())
                                                                   : ns::Value(code ? code->description() : std::string()),
                                    ns::Value(quota.limit));
        }
        if (quota.errorEvent != 0) QRVALogErrorEventWithCode(quota.errorEvent);
        return quota.byKind;
    }
    return false;
}

bool QRVAEventWriter::isSubjectToRealtimeLimit(const QRVAEvent& event) {
    return !monitor()->isDebugModeEnabled() && event.name() != "_iap" && event.name() != "_f";
}

// Conversions are real-time within the day's limit, or always when exempt
// from it; any other real-time event over the limit is no longer real-time.
void QRVAEventWriter::markRealtime(const Started& started, QRVAEvent& event, const QRVADailyCounts& counts,
                                   WriteState& state) {
    const std::string& name = event.name();
    const bool subjectToLimit = isSubjectToRealtimeLimit(event);
    const int32_t maxRealtime = started.remoteConfig().maxRealtimeEventCountPerDay();
    if (event.isConversion() || started.remoteConfig().isEventCustomConversion(name)) {
        if (counts.realtimeCount() < maxRealtime) {
            monitor()->logWithLevel(7, 23058,
                                    "Conversion event is under real-time daily limit. Marking the event as real-time. "
                                    "Event name, parameters",
                                    nameContext(name), parametersContext(event));
            state.realtimeRow = true;
        }
        if (!subjectToLimit) {
            monitor()->logWithLevel(7, 23059,
                                    "Conversion event is not subject to real-time daily limit. Marking the event as "
                                    "real-time. Event name, parameters",
                                    nameContext(name), parametersContext(event));
            state.realtimeRow = true;
        }
    }
    if (event.isRealtime() && subjectToLimit && counts.realtimeCount() >= maxRealtime) {
        event.setRealtime(false);
        monitor()->logWithLevel(4, 23060,
                                "Too many real-time events. Event is no longer real-time. Event name, parameters",
                                nameContext(name), parametersContext(event));
    }
}

bool QRVAEventWriter::isUnderNewPublicNameLimit(const Started& started, const QRVAEvent& event) {
    ns::ErrorRef error;
    auto count = started.database().publicEventCount(&error);
    if (!count && error) {
        monitor()->logWithLevel(1, 23064, "Unable to query event count. Error", QRVAErrorContext(error));
        return false;
    }
    if (count && *count >= kQRVADatabasePublicEventMaxCount) {
        monitor()->logWithLevel(1, 23065, "Unable to set event. Reached limit on set events. Name",
                                nameContext(event.name()));
        QRVALogErrorEventWithCode(kQRVAErrorEventLimitReached);
        return false;
    }
    return true;
}

bool QRVAEventWriter::storeEventInTransaction(const Started& started, const QRVAEvent& event, bool isPublic,
                                              const WriteState& state) {
    QRVADatabase& database = started.database();
    const std::string& name = event.name();
    ns::ErrorRef error;
    auto aggregates = database.eventAggregatesWithName(name, &error);
    if (!aggregates && error) {
        monitor()->logWithLevel(1, 23063, "Unable to query event aggregates. Name, error", nameContext(name),
                                QRVAErrorContext(error));
        return false;
    }
    if (!aggregates) {
        if (isPublic && !isUnderNewPublicNameLimit(started, event)) return false;
        auto fresh = QRVAEventAggregates::initWithName(name, 0, 0, 0);
        error = nullptr;
        if (fresh && !database.updateEventAggregates(*fresh, &error) && error) {
            monitor()->logWithLevel(1, 23066, "Data loss. Cannot record event aggregates. Error",
                                    QRVAErrorContext(error));
            return false;
        }
    }
    error = nullptr;
    auto attributes = database.userAttributesIncludingInternal(true, &error);
    if (!attributes && error) {
        monitor()->logWithLevel(1, 23067, "Data loss. Cannot query user properties. Error", QRVAErrorContext(error));
        return false;
    }
    auto metadata = metadataFor(started.identity(), attributes.value_or(std::vector<QRVAUserAttribute>{}));
    error = nullptr;
    if (!database.insertIfNotExistsRawEventMetadata(metadata, &error) && error) {
        monitor()->logWithLevel(1, 23068, "Data loss. Cannot record event metadata. Error", QRVAErrorContext(error));
        return false;
    }
    error = nullptr;
    auto deleted = database.deleteRawEventsOverAbsoluteLimit(&error);
    if (!deleted && error) {
        monitor()->logWithLevel(1, 23069, "Data loss. Unable to check raw event storage limit. Error",
                                QRVAErrorContext(error));
        return false;
    }
    if (deleted && *deleted != 0) {
        monitor()->logWithLevel(4, 23070, "Data loss. Too many events stored on disk. Deleted count",
                                ns::Value(int64_t(*deleted)));
    }
    auto bytes = metadata->protoBuffer();
    const int64_t fingerprint = bytes ? qrva_64LSBMD5(*bytes) : 0;
    error = nullptr;
    if (!database.insertRawEvent(event, fingerprint, state.realtimeRow, &error) && error) {
        monitor()->logWithLevel(1, 23071, "Data loss. Cannot record raw event. Error", QRVAErrorContext(error));
        return false;
    }
    monitor()->logWithLevel(7, 23072, "Event logged. Event name, event params", nameContext(name),
                            parametersContext(event));
    return true;
}

// MARK: - Metadata

std::shared_ptr<QRVAPBMeasurementBundle> QRVAEventWriter::createRawEventMetadataWithUserAttributes(
    const std::vector<QRVAUserAttribute>& attributes) {
    const Started* started = engine_.started();
    return started ? metadataFor(started->identity(), attributes) : nullptr;
}

std::shared_ptr<QRVAPBMeasurementBundle> QRVAEventWriter::metadataFor(QRVAIdentity& identity,
                                                                      const std::vector<QRVAUserAttribute>& attributes) {
    auto bundle = QRVAPBMeasurementBundle::message();
    auto environment = QRVAEnvironmentInfo::sharedInstance();
    NANOSetInt32(bundle, F::MeasurementBundle::protocol_version, 1);
    NANOSetString(bundle, F::MeasurementBundle::platform, "ios");
    NANOSetString(bundle, F::MeasurementBundle::os_version, environment->deviceOSVersion());
    NANOSetString(bundle, F::MeasurementBundle::device_model, environment->deviceModel());
    if (auto language = environment->userDefaultLanguage()) {
        NANOSetString(bundle, F::MeasurementBundle::user_default_language, *language);
    }
    NANOSetInt32(bundle, F::MeasurementBundle::timezone_offset_minutes, environment->timeZoneOffsetMinutes());
    if (!identity.isFromAppStore()) NANOSetString(bundle, F::MeasurementBundle::app_store, "manual_install");
    NANOSetString(bundle, F::MeasurementBundle::app_id, identity.appID());
    if (auto version = identity.appVersion()) NANOSetString(bundle, F::MeasurementBundle::app_version, *version);
    NANOSetInt64(bundle, F::MeasurementBundle::library_version, QRVAIdentity::quorvaneAnalyticsLibraryVersion());
    NANOSetString(bundle, F::MeasurementBundle::app_instance_id, identity.appInstanceID());
    if (auto appID = identity.appIDFromVLP()) NANOSetString(bundle, F::MeasurementBundle::vlp_app_id, *appID);
    if (auto instanceID = identity.quorvaneInstanceID()) {
        NANOSetString(bundle, F::MeasurementBundle::quorvane_instance_id, *instanceID);
    }
    if (auto major = identity.appVersionMajor()) NANOSetInt32(bundle, F::MeasurementBundle::app_version_major, *major);
    if (auto minor = identity.appVersionMinor()) NANOSetInt32(bundle, F::MeasurementBundle::app_version_minor, *minor);
    if (auto release = identity.appVersionRelease()) {
        NANOSetInt32(bundle, F::MeasurementBundle::app_version_release, *release);
    }
    auto deviceID = identity.resettableDeviceID();
    if (identity.hasLimitedAdTracking() && deviceID) {
        NANOSetBool(bundle, F::MeasurementBundle::limited_ad_tracking, identity.limitedAdTracking());
        NANOSetString(bundle, F::MeasurementBundle::resettable_device_id, *deviceID);
    } else if (auto vendorID = identity.identifierForVendor()) {
        NANOSetString(bundle, F::MeasurementBundle::vendor_device_id, *vendorID);
    }
    if (!attributes.empty()) {
        ns::Array protos;
        for (const auto& attribute : attributes) {
            if (auto proto = attribute.protoUserAttribute()) protos.push_back(ns::Value(proto));
        }
        NANOSetArray(bundle, F::MeasurementBundle::user_attributes, protos);
    }
    return bundle;
}
