// The user property and the small records the store reads and writes.
#include <limits>

#include "analytics/QRVADataTypeValidator.h"
#include "analytics/QRVAEvent.h"
#include "analytics/QRVAMonitor.h"

namespace F = QRVAPBField;

namespace {


// A counter that starts again from 0 rather than overflowing.
void increment(int32_t& counter, int64_t code, const char* message) {
    if (counter == std::numeric_limits<int32_t>::max()) {
        counter = 0;
        QRVALog(4, code, message);
        return;
    }
    ++counter;
}

// Daily counts come back from the store; a stored count at the top of the
// range stays there rather than overflowing.
void add(int32_t& counter, bool one) {
    if (one && counter < std::numeric_limits<int32_t>::max()) ++counter;
}

}  // namespace

std::optional<QRVAUserAttribute> QRVAUserAttribute::initWithOrigin(std::string_view origin, std::string_view name,
                                                                   const QRVAValue& value, double lastSetTimestamp) {
    if (!QRVADataTypeValidator::isValidInternalUserAttributeName(name) ||
        !QRVADataTypeValidator::isValidInternalUserAttributeValue(value)) {
        return std::nullopt;
    }
    return QRVAUserAttribute(std::string(origin), std::string(name), value, lastSetTimestamp);
}

bool QRVAUserAttribute::isPublic() const {
    return !name_.empty() && name_.front() != '_';
}

std::shared_ptr<QRVAPBUserAttribute> QRVAUserAttribute::protoUserAttribute() const {
    auto attribute = QRVAPBUserAttribute::message();
    NANOSetInt64(attribute, F::UserAttribute::set_timestamp_millis, qrva_millisecondsFromSeconds(lastSetTimestamp_));
    NANOSetString(attribute, F::UserAttribute::name, name_);
    switch (value_.valueType()) {
        case QRVAValue::kDouble: NANOSetDouble(attribute, F::UserAttribute::double_value, value_.doubleValue()); break;
        case QRVAValue::kInt64: NANOSetInt64(attribute, F::UserAttribute::int_value, value_.int64Value()); break;
        case QRVAValue::kString:
            NANOSetString(attribute, F::UserAttribute::string_value, *value_.stringValue());
            break;
    }
    return attribute;
}

std::optional<QRVAEventAggregates> QRVAEventAggregates::initWithName(std::string_view name, int32_t lifetimeCount,
                                                                     int32_t currentBundleCount,
                                                                     double lastFireTimestamp) {
    if (!QRVADataTypeValidator::isValidInternalEventName(name)) return std::nullopt;
    if (lifetimeCount < 0 || currentBundleCount < 0) {
        QRVALog(4, 17000, "Failed to create event aggregates object. Received negative count.");
        return std::nullopt;
    }
    QRVAEventAggregates aggregates;
    aggregates.name_ = name;
    aggregates.lifetimeCount_ = lifetimeCount;
    aggregates.currentBundleCount_ = currentBundleCount;
    aggregates.lastFireTimestamp_ = lastFireTimestamp;
    return aggregates;
}

void QRVAEventAggregates::incrementLifetimeCount() {
    increment(lifetimeCount_, 17001, "Lifetime count overflow. Lifetime count reset to 0.");
}

void QRVAEventAggregates::incrementCurrentBundleCount() {
    increment(currentBundleCount_, 17002, "Bundle count overflow. Bundle count reset to 0.");
}

std::optional<QRVAAppMetadata> QRVAAppMetadata::initWithLastBundleIndex(int32_t lastBundleIndex,
                                                                        double lastBundleStartTimestamp,
                                                                        double lastBundleEndTimestamp) {
    if (lastBundleIndex < 0) {
        QRVALog(4, 4000, "Failed to create app metadata object. Received negative last bundle index.");
        return std::nullopt;
    }
    QRVAAppMetadata metadata;
    metadata.lastBundleIndex_ = lastBundleIndex;
    metadata.lastBundleStartTimestamp_ = lastBundleStartTimestamp;
    metadata.lastBundleEndTimestamp_ = lastBundleEndTimestamp;
    return metadata;
}

void QRVAAppMetadata::incrementLastBundleIndex() {
    increment(lastBundleIndex_, 4001, "Bundle index overflow. Bundle index reset to 0.");
}

void QRVADailyCounts::startDay(int32_t day) {
    day_ = day;
    conversions_ = all_ = public_ = errors_ = realtime_ = 0;
}

void QRVADailyCounts::incrementCountsForCurrentDay(int32_t day, bool isPublicEvent, bool isConversion) {
    if (day != day_) startDay(day);
    add(conversions_, isConversion);
    add(all_, true);
    add(public_, isPublicEvent);
}

void QRVADailyCounts::incrementErrorEventsCountForCurrentDay(int32_t day) {
    if (day != day_) startDay(day);
    add(all_, true);
    add(errors_, true);
}

void QRVADailyCounts::incrementRealtimeCountsForCurrentDay(int32_t day) {
    if (day != day_) startDay(day);
    add(realtime_, true);
}

void QRVADailyCounts::decrementAllEventsCount() {
    if (all_ > 0) --all_;
}

std::optional<QRVARawEventData> QRVARawEventData::initWithRawEvent(const std::optional<QRVAEvent>& rawEvent,
                                                                   int64_t rowID, int64_t metadataFingerprint) {
    if (!rawEvent) {
        QRVALog(4, 28000, "Failed to create raw event data. Received invalid raw event.");
        return std::nullopt;
    }
    if (rowID < 0) {
        QRVAMeasurementMonitor()->logWithLevel(4, 28001,
                                               "Failed to create raw event data. Received invalid row ID. Row ID",
                                               ns::Value(static_cast<long long>(rowID)));
        return std::nullopt;
    }
    return QRVARawEventData(*rawEvent, rowID, metadataFingerprint);
}
