// Turning raw events into upload bundles. One pass takes the oldest run of
// raw events that share a metadata row, completes a copy of that metadata
// into a bundle (events, time span, previous-bundle times, audience results,
// monitoring sample, configuration version), queues it and deletes the run,
// together with the day's counters, the event aggregates and the app
// metadata it changes, in one store transaction: a failure anywhere leaves
// everything as it was for the next pass.
//
// A pass always makes progress on the oldest run: its first event goes out
// whatever its size, and rows or metadata that can never be read are
// deleted with the run rather than met again on every pass.

#include <algorithm>
#include <cmath>

#include "analytics/QRVAAudience.h"
#include "analytics/QRVADatabase.h"
#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAEventWriter.h"
#include "analytics/QRVAIdentity.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVARemoteConfig.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVAUploader.h"
#include "analytics/QRVAUtilities.h"
#include "analytics/QRVAWire.h"
#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/dispatch.h"

namespace F = QRVAPBField;

namespace {

constexpr int64_t kSecondsPerHour = 3600;

std::shared_ptr<QRVAMonitor> monitor() {
    return QRVAMeasurement::monitor();
}
ns::Value nameContext(const std::string& name) {
    return ns::Value(QRVAFormattedEventName(std::string_view(name)));
}
ns::Value parametersContext(const QRVAEvent& event) {
    return ns::Value(QRVAFormattedParametersDescription(event.parameters()));
}

// UTC hours since 1970. The stale-data sweep keeps events as far ahead as
// the clock is, so the seconds are taken in 64 bits (held within its range).
int64_t clockHourOf(double seconds) {
    constexpr double kLimit = 9.0e18;
    double whole = std::floor(seconds);
    if (std::isnan(whole)) whole = 0;
    return int64_t(std::clamp(whole, -kLimit, kLimit)) / kSecondsPerHour;
}

// Which rows of one metadata row make one bundle: consecutive row ids from
// the oldest, one clock hour, at most `maxEvents` events whose encoded sizes
// stay below `maxBytes`. The first event is taken whatever its size, so an
// oversized event goes out alone instead of holding every later one back.
// A row that cannot be decoded joins the run when it is consecutive (it is
// then deleted with it) and counts towards no limit.
class GroupFilter {
public:
    GroupFilter(int64_t maxEvents, int64_t maxBytes) : maxEvents_(maxEvents), maxBytes_(maxBytes) {}

    bool accept(const QRVASqliteRow& row, const std::optional<QRVARawEventData>& raw, const ns::ErrorRef& error) {
        if (events_ > 0 && events_ >= maxEvents_) return false;
        if (!raw) return acceptUndecodable(row, error);
        const int64_t hour = clockHourOf(raw->rawEvent().timestamp());
        if (events_ > 0 && hour != hour_) return false;
        if (!follows(raw->rowID())) return false;
        const auto size = int64_t(raw->rawEvent().protoEventSize());
        if (events_ > 0 && !(totalSize_ + size < maxBytes_)) return false;
        if (events_ == 0) hour_ = hour;
        totalSize_ += size;
        lastRowID_ = raw->rowID();
        ++events_;
        return true;
    }

    int64_t lastRowID() const { return lastRowID_; }
    int64_t eventCount() const { return events_; }
    int64_t undecodableCount() const { return undecodable_; }

private:
    bool follows(int64_t rowID) const { return lastRowID_ < 0 || rowID == lastRowID_ + 1; }

    bool acceptUndecodable(const QRVASqliteRow& row, const ns::ErrorRef& error) {
        const ns::Value& rowID = QRVARowValue(row, "rowid");
        if (!rowID.isNumber() || !follows(rowID.intValue())) return false;
        monitor()->logWithLevel(4, 23096, "Failed to bundle raw event. Error", QRVAErrorContext(error));
        lastRowID_ = rowID.intValue();
        ++undecodable_;
        return true;
    }

    const int64_t maxEvents_;
    const int64_t maxBytes_;
    int64_t hour_ = -1;
    int64_t lastRowID_ = -1;
    int64_t totalSize_ = 0;
    int64_t events_ = 0;
    int64_t undecodable_ = 0;
};

// One pass of bundling, run inside the store transaction: `run` answers
// whether to commit, `made` whether a bundle was queued.
class Bundler {
public:
    Bundler(QRVADatabase& database, QRVARemoteConfig& remoteConfig, QRVAAudience& audience,
            const QRVAIdentity& identity, QRVAPersistedConfig* persistedConfig)
        : database_(database), remoteConfig_(remoteConfig), audience_(audience), identity_(identity),
          persistedConfig_(persistedConfig) {}

    bool run();
    bool made() const { return made_; }

private:
    enum class Step { Failed, Stop, Go };
    struct NameState {
        std::string name;
        std::optional<QRVAEventAggregates> aggregates;
        std::optional<std::vector<QRVAEventFilter>> filters;  // read with the name's first evaluation
    };

    Step readGroup();
    Step readMetadata();
    void dropBlacklisted();
    bool packEvents();
    void countEvent(QRVAEvent& event, QRVADailyCounts& counts, int32_t day, bool& changed);
    void markRealtime(QRVAEvent& event, QRVADailyCounts& counts, int32_t day, bool& changed);
    bool aggregateEvent(QRVAEvent& event);
    NameState* stateOf(const std::string& name);
    bool storeAggregates();
    bool recordAppMetadata();
    bool addAudienceResults();
    void addMonitoringData();
    void addConfigVersionAndAppID();
    bool storeBundle();
    std::optional<ns::Data> encodedBundle();
    bool deleteGroup();

    QRVADatabase& database_;
    QRVARemoteConfig& remoteConfig_;
    QRVAAudience& audience_;
    const QRVAIdentity& identity_;
    QRVAPersistedConfig* persistedConfig_;

    int64_t fingerprint_ = 0;
    int64_t lastRowID_ = -1;
    std::vector<QRVAEvent> events_;
    std::shared_ptr<QRVAPBMeasurementBundle> bundle_;
    ns::Data eventFields_;  // the bundle's events as encoded fields
    // Each name's aggregates as the pass leaves them and its event filters,
    // in the order the names came: read once, aggregates written once after
    // the last event.
    std::vector<NameState> names_;
    double start_ = 0;
    double end_ = 0;
    bool realtime_ = false;
    bool made_ = false;
};

bool Bundler::run() {
    Step step = readGroup();
    if (step == Step::Go) step = readMetadata();
    if (step != Step::Go) return step == Step::Stop;
    dropBlacklisted();
    if (events_.empty()) {
        if (!deleteGroup()) return false;
        monitor()->logWithLevel(4, 23100, "Rejected all events. Contact Quorvane Support for more information.");
        return true;
    }
    auto [earliest, latest] = std::minmax_element(events_.begin(), events_.end(), [](const auto& a, const auto& b) {
        return a.timestamp() < b.timestamp();
    });
    start_ = earliest->timestamp();
    end_ = latest->timestamp();
    NANOSetInt64(bundle_, F::MeasurementBundle::start_timestamp_millis, qrva_millisecondsFromSeconds(start_));
    NANOSetInt64(bundle_, F::MeasurementBundle::end_timestamp_millis, qrva_millisecondsFromSeconds(end_));
    if (!packEvents() || !recordAppMetadata() || !addAudienceResults()) return false;
    addMonitoringData();
    addConfigVersionAndAppID();
    return storeBundle();
}

Bundler::Step Bundler::readGroup() {
    ns::ErrorRef error;
    auto fingerprint = database_.nextMetadataFingerprintToProcess(&error);
    if (!fingerprint) {
        if (!error) return Step::Stop;  // no raw event
        monitor()->logWithLevel(1, 23095, "Unable to fetch next event metadata. Error", QRVAErrorContext(error));
        return Step::Failed;
    }
    fingerprint_ = *fingerprint;
    GroupFilter filter(remoteConfig_.uploadMaxEventsPerBundle(), remoteConfig_.uploadMaxSizeLimitBytes());
    error = nullptr;
    auto raws = database_.rawEventsWithMetadataFingerprint(
        fingerprint_, &error,
        [&filter](const QRVASqliteRow& row, const std::optional<QRVARawEventData>& raw, const ns::ErrorRef& rowError) {
            return filter.accept(row, raw, rowError);
        });
    lastRowID_ = filter.lastRowID();
    if (!raws && filter.eventCount() == 0 && filter.undecodableCount() > 0) {
        // Nothing of the run can ever be read: it leaves without a bundle.
        return deleteGroup() ? Step::Stop : Step::Failed;
    }
    if (!raws) {
        monitor()->logWithLevel(1, 23097, "Inconsistent state, raw event is expected. Error", QRVAErrorContext(error));
        return Step::Failed;
    }
    events_.reserve(raws->size());
    for (const auto& raw : *raws) events_.push_back(raw.rawEvent());
    return events_.empty() ? Step::Stop : Step::Go;
}

Bundler::Step Bundler::readMetadata() {
    ns::ErrorRef error;
    bundle_ = database_.queryRawEventsMetadataWithFingerprint(fingerprint_, &error);
    if (bundle_) return Step::Go;
    monitor()->logWithLevel(1, 23098, "Unable to fetch event metadata. Metadata fingerprint, error",
                            ns::Value(fingerprint_), QRVAErrorContext(error));
    // A statement that failed may run next time; metadata that is missing or
    // cannot be decoded never will, and its run leaves without a bundle.
    const bool lasting = !error || error->code() == 2;
    return lasting && deleteGroup() ? Step::Stop : Step::Failed;
}

void Bundler::dropBlacklisted() {
    std::vector<QRVAEvent> kept;
    kept.reserve(events_.size());
    for (auto& event : events_) {
        if (!remoteConfig_.isEventBlacklisted(event.name())) {
            kept.push_back(std::move(event));
            continue;
        }
        monitor()->logWithLevel(4, 23099, "Rejected event. Contact Quorvane Support for more information. Event name",
                                nameContext(event.name()));
    }
    events_ = std::move(kept);
}

bool Bundler::packEvents() {
    ns::ErrorRef error;
    auto stored = database_.dailyCounts(&error);
    if (!stored && error) {
        monitor()->logWithLevel(1, 23101, "Failed to query daily event counts. Error", QRVAErrorContext(error));
        return false;
    }
    const int32_t today = database_.dayNumberAt(ns::Clock::nowSeconds());
    // Another day's counters are no limit for today's bundles.
    QRVADailyCounts counts = stored && stored->day() == today ? *stored : QRVADailyCounts(today, 0, 0, 0, 0, 0);
    eventFields_.clear();
    for (auto& event : events_) {
        bool changed = false;
        countEvent(event, counts, today, changed);
        error = nullptr;
        if (changed && !database_.updateDailyCounts(counts, &error) && error) {
            monitor()->logWithLevel(1, 23106, "Failed to update daily event counts. Name, error",
                                    nameContext(event.name()), QRVAErrorContext(error));
            return false;
        }
        if (!aggregateEvent(event)) return false;
        // Written straight to the wire as the bundle's events field.
        qrvawire::appendDelimitedHead(eventFields_, qrvawire::kBundleEvents, event.protoEventSize());
        event.appendProtoEvent(eventFields_);
        realtime_ = realtime_ || event.isRealtime();
    }
    return storeAggregates();
}

void Bundler::countEvent(QRVAEvent& event, QRVADailyCounts& counts, int32_t day, bool& changed) {
    const std::string& name = event.name();
    if (remoteConfig_.isEventCustomConversion(name)) event.setConversion(true);
    if (event.isConversion() && QRVAEventUtilIsPublicName(std::string_view(name))) {
        const int32_t limit = remoteConfig_.maxConversionsPerDay();
        if (counts.conversionsCount() >= limit) {
            event.setConversion(false);
            monitor()->logWithLevel(4, 23102,
                                    "Too many conversion events. Not logging event as conversion. Name, limit",
                                    nameContext(name), ns::Value(int64_t(limit)));
        } else {
            counts.incrementCountsForCurrentDay(day, false, true);
            changed = true;
        }
    }
    if (event.isRealtime() || event.isConversion()) markRealtime(event, counts, day, changed);
}

// Real-time within the day's limit, unless exempt from it.
void Bundler::markRealtime(QRVAEvent& event, QRVADailyCounts& counts, int32_t day, bool& changed) {
    const std::string& name = event.name();
    if (!QRVAEventWriter::isSubjectToRealtimeLimit(event)) {
        event.setRealtime(true);
        monitor()->logWithLevel(7, 23105,
                                "Event is not subject to real-time event count daily limit. Marking an event as "
                                "real-time. Event name, parameters",
                                nameContext(name), parametersContext(event));
    } else if (counts.realtimeCount() >= remoteConfig_.maxRealtimeEventCountPerDay()) {
        event.setRealtime(false);
        monitor()->logWithLevel(4, 23104,
                                "Number of real-time events is over the real-time event count daily limit. Event is "
                                "no longer real-time. Event name, parameters",
                                nameContext(name), parametersContext(event));
    } else {
        counts.incrementRealtimeCountsForCurrentDay(day);
        event.setRealtime(true);
        changed = true;
        monitor()->logWithLevel(7, 23103,
                                "Event is under real-time event count daily limit. Marking the event as real-time. "
                                "Event name, parameters",
                                nameContext(name), parametersContext(event));
    }
}

// The events table is written in the same transaction and read by nothing
// else of the pass, and the event filters do not change during it, so each
// name's rows are read once and the pass's counts kept here until the last
// event.
Bundler::NameState* Bundler::stateOf(const std::string& name) {
    for (auto& state : names_) {
        if (state.name == name) return &state;
    }
    ns::ErrorRef error;
    auto aggregates = database_.eventAggregatesWithName(name, &error);
    if (!aggregates && error) {
        monitor()->logWithLevel(1, 23107, "Failed to query event aggregates. Name, error", nameContext(name),
                                QRVAErrorContext(error));
        return nullptr;
    }
    return &names_.emplace_back(NameState{name, std::move(aggregates), {}});
}

bool Bundler::aggregateEvent(QRVAEvent& event) {
    const std::string& name = event.name();
    NameState* state = stateOf(name);
    if (!state) return false;
    auto& aggregates = state->aggregates;
    if (aggregates) {
        if (auto copy = event.copyWithPreviousTimestamp(aggregates->lastFireTimestamp())) event = std::move(*copy);
        aggregates->incrementCurrentBundleCount();
        aggregates->incrementLifetimeCount();
        aggregates->setLastFireTimestamp(event.timestamp());
    } else {
        aggregates = QRVAEventAggregates::initWithName(name, 1, 1, event.timestamp());
    }
    if (!aggregates) return true;  // a name no aggregate can hold
    if (!state->filters && !(state->filters = audience_.eventFiltersForEventName(name))) return false;
    return audience_.evaluateEventFilters(*state->filters, event, *aggregates);
}

bool Bundler::storeAggregates() {
    for (const auto& state : names_) {
        ns::ErrorRef error;
        if (state.aggregates && !database_.updateEventAggregates(*state.aggregates, &error) && error) {
            monitor()->logWithLevel(1, 23108, "Failed to update event aggregates. Error", QRVAErrorContext(error));
            return false;
        }
    }
    return true;
}

bool Bundler::recordAppMetadata() {
    ns::ErrorRef error;
    auto metadata = database_.queryAppMetadata(&error);
    if (!metadata && error) {
        monitor()->logWithLevel(1, 23111, "Unable to fetch app metadata for bundling events. Error",
                                QRVAErrorContext(error));
        return false;
    }
    if (!metadata) metadata = QRVAAppMetadata::initWithLastBundleIndex(0, 0, 0);
    const double previousEnd = metadata->lastBundleEndTimestamp();
    const double previousStart = metadata->lastBundleStartTimestamp() > 0 ? metadata->lastBundleStartTimestamp()
                                                                           : previousEnd;
    if (previousEnd > 0) {
        NANOSetInt64(bundle_, F::MeasurementBundle::previous_bundle_end_timestamp_millis,
                     qrva_millisecondsFromSeconds(previousEnd));
    }
    if (previousStart > 0) {
        NANOSetInt64(bundle_, F::MeasurementBundle::previous_bundle_start_timestamp_millis,
                     qrva_millisecondsFromSeconds(previousStart));
    }
    metadata->incrementLastBundleIndex();
    metadata->setLastBundleStartTimestamp(start_);
    metadata->setLastBundleEndTimestamp(end_);
    NANOSetInt32(bundle_, F::MeasurementBundle::bundle_index, metadata->lastBundleIndex());
    error = nullptr;
    if (!database_.updateAppMetadata(*metadata, &error) && error) {
        monitor()->logWithLevel(1, 23112, "Unable to update the app metadata. Error", QRVAErrorContext(error));
        return false;
    }
    return true;
}

bool Bundler::addAudienceResults() {
    std::vector<std::shared_ptr<QRVAPBAudienceLeafFilterResult>> results;
    if (!audience_.resultsForBundling(results)) {
        monitor()->logWithLevel(1, 23113, "Unable to read audience evaluation results");
        return false;
    }
    if (!results.empty()) {
        NANOSetArray(bundle_, F::MeasurementBundle::audience_evaluation_results,
                     ns::Array(results.begin(), results.end()));
    }
    return true;
}

void Bundler::addMonitoringData() {
    const double last = persistedConfig_ ? persistedConfig_->lastMonitorDataSampledTimestamp() : 0.0;
    auto data = monitor()->monitoringDataForDispatchWithSamplePeriod(remoteConfig_.monitoringSamplePeriod(), last);
    if (!data || data->empty()) return;
    NANOSetString(bundle_, F::MeasurementBundle::monitoring_data, *data);
    if (persistedConfig_) persistedConfig_->setLastMonitorDataSampledTimestamp(ns::Clock::nowSeconds());
}

void Bundler::addConfigVersionAndAppID() {
    if (const int64_t version = remoteConfig_.version(); version >= 0) {
        NANOSetInt64(bundle_, F::MeasurementBundle::config_version, version);
    }
    if (!NANOGetString(bundle_, F::MeasurementBundle::app_id).value_or("").empty()) return;
    const std::string& appID = identity_.appID();
    NANOSetString(bundle_, F::MeasurementBundle::app_id,
                  appID.empty() ? ns::Bundle::mainBundle()->bundleIdentifier() : appID);
    monitor()->logWithLevel(4, 23114, "Added missing App ID to event metadata.");
}

bool Bundler::storeBundle() {
    ns::ErrorRef error;
    // Raw events are deleted next: a bundle that was not stored, with or
    // without an error, must roll that back. A bundle the store refuses
    // outright (code 1: no time span it can keep) would be refused on every
    // pass, so its run leaves without it.
    if (!database_.insertBundle(bundle_, encodedBundle(), realtime_, &error)) {
        monitor()->logWithLevel(1, 23115, "Unable to insert bundle. Error", QRVAErrorContext(error));
        return error && error->code() == 1 && deleteGroup();
    }
    monitor()->logWithLevel(7, 23116, "Bundle added to the upload queue. BundleID, timestamp (ms)",
                            ns::Value(int64_t(NANOGetInt32(bundle_, F::MeasurementBundle::bundle_index))),
                            ns::Value(NANOGetInt64(bundle_, F::MeasurementBundle::end_timestamp_millis)));
    if (!deleteGroup()) return false;
    made_ = true;
    return true;
}

// The bundle's encoding with the events' fields where the encoder would put
// them: after protocol_version, the one field of a lower tag. The events are
// not made as messages (that was most of a pass); the encoding is the same.
std::optional<ns::Data> Bundler::encodedBundle() {
    NANOClearField(bundle_, F::MeasurementBundle::events);
    auto head = bundle_->protoBuffer();
    if (!head) return std::nullopt;
    const auto at = qrvawire::placeAfterVarintFields(*head, qrvanalytics_MeasurementBundle_events_tag);
    if (!at) {  // not what the encoder writes: the events as messages after all
        std::vector<std::shared_ptr<QRVAPBEvent>> protos;
        for (const auto& event : events_) protos.push_back(event.protoEvent());
        QRVAPBMoveMessages(bundle_, F::MeasurementBundle::events, protos);
        return bundle_->protoBuffer();
    }
    ns::Data bytes;
    bytes.reserve(head->size() + eventFields_.size());
    qrvawire::appendSpliced(bytes, *head, {{*at, eventFields_}});
    return bytes;
}

// Every raw event up to the run's last row belongs to the run (it starts at
// the oldest row and has no gaps); the metadata row goes when nothing else
// uses it.
bool Bundler::deleteGroup() {
    ns::ErrorRef error;
    if (!database_.deleteRawEventsWithMaxRowID(lastRowID_, &error) && error) {
        monitor()->logWithLevel(1, 23119, "Unable to delete raw events. RowID, error", ns::Value(lastRowID_),
                                QRVAErrorContext(error));
        return false;
    }
    error = nullptr;
    auto contains = database_.containsRawEventWithMetadataFingerprint(fingerprint_, &error);
    if (!contains && error) {
        monitor()->logWithLevel(1, 23120, "Unable to query existence of raw event. Metadata, error",
                                ns::Value(fingerprint_), QRVAErrorContext(error));
        return false;
    }
    if (contains.value_or(false)) return true;
    error = nullptr;
    if (!database_.deleteRawEventMetadataWithMetadataFingerprint(fingerprint_, &error) && error) {
        monitor()->logWithLevel(1, 23121, "Unable to delete raw event metadata. Metadata, error",
                                ns::Value(fingerprint_), QRVAErrorContext(error));
        return false;
    }
    return true;
}

}  // namespace

bool QRVAMeasurement::bundleRawEvents() {
    QRVAScheduler::checkOnBackgroundThreadWithMethodName("bundleRawEvents");
    ns::dispatchAssertQueue(scheduler_->workerQueue());
    // Before the start sequence has made the store there is nothing to bundle.
    if (!database_ || !remoteConfig_ || !audience_ || !identity_) return false;
    Bundler bundler(*database_, *remoteConfig_, *audience_, *identity_, persistedConfig_.get());
    if (!database_->performTransaction([&] { return bundler.run(); }) || !bundler.made()) return false;
    uploader().resumeUploads();
    return true;
}
