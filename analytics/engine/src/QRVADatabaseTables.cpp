// The store's smaller tables: per-name event aggregates, user properties,
// audience filters and their results, purchase fingerprints and
// conditional user properties. Each maps one record to one row.
#include <set>

#include "analytics/QRVADatabase.h"
#include "analytics/QRVAEventUtilities.h"
#include "platform/clock.h"
#include "platform/format.h"
#include "platform/no_destructor.h"

namespace {

std::shared_ptr<QRVAMonitor> monitor() {
    return QRVAMeasurementMonitor();
}

const std::string& text(const QRVASqliteRow& row, std::string_view column) {
    static const ns::NoDestructor<std::string> kEmpty;
    const std::string* value = QRVARowValue(row, column).stringOrNull();
    return value ? *value : *kEmpty;
}

int32_t int32At(const QRVASqliteRow& row, std::string_view column) {
    return int32_t(QRVARowValue(row, column).intValue());
}

std::optional<ns::Data> dataAt(const QRVASqliteRow& row, std::string_view column) {
    const ns::Value& value = QRVARowValue(row, column);
    if (!value.isData()) return std::nullopt;
    return value.asData();
}

// Refuses (logging the code at the level) when the condition fails.
bool accepted(bool condition, int64_t level, int64_t code, const char* message) {
    if (!condition) monitor()->logWithLevel(level, code, message);
    return condition;
}

// MARK: Event aggregates

std::optional<QRVASqliteRecord> aggregatesRecord(const QRVAEventAggregates& aggregates) {
    if (!accepted(!aggregates.name().empty(), 4, 12020,
                  "Received event aggregates object with empty name for getting dictionary representation")) {
        return std::nullopt;
    }
    return QRVASqliteRecord{{"name", aggregates.name()},
                            {"lifetime_count", aggregates.lifetimeCount()},
                            {"current_bundle_count", aggregates.currentBundleCount()},
                            {"last_fire_timestamp", aggregates.lastFireTimestamp()}};
}

std::optional<QRVAEventAggregates> aggregatesFromRow(const QRVASqliteRow& row) {
    return QRVAEventAggregates::initWithName(text(row, "name"), int32At(row, "lifetime_count"),
                                             int32At(row, "current_bundle_count"),
                                             QRVARowValue(row, "last_fire_timestamp").doubleValue());
}

// MARK: User attributes

std::optional<QRVASqliteRecord> userAttributeRecord(const QRVAUserAttribute& attribute) {
    const std::string* string = attribute.value().stringValue();
    if (!accepted(!attribute.origin().empty(), 1, 12022,
                  "Received user property with empty origin for getting dictionary representation") ||
        !accepted(!attribute.name().empty(), 4, 12023,
                  "Received user property with empty name for getting dictionary representation") ||
        !accepted(!string || !string->empty(), 1, 12024, "Received empty string value for user property")) {
        return std::nullopt;
    }
    return QRVASqliteRecord{{"origin", attribute.origin()},
                            {"name", attribute.name()},
                            {"value", attribute.value().value()},
                            {"set_timestamp", attribute.lastSetTimestamp()}};
}

std::optional<QRVAUserAttribute> userAttributeFromRow(const QRVASqliteRow& row) {
    auto value = QRVAValue::valueFromObject(QRVARowValue(row, "value"));
    if (!value) return std::nullopt;
    return QRVAUserAttribute::initWithOrigin(text(row, "origin"), text(row, "name"), *value,
                                             QRVARowValue(row, "set_timestamp").doubleValue());
}

bool isInternalUserAttributeName(const std::string& name) {
    return name.starts_with("_") || name.starts_with("quorvane_") || QRVInternalUserPropertyNames().count(name) > 0;
}

// MARK: Audience filters and results

std::optional<QRVASqliteRecord> eventFilterRecord(const QRVAEventFilter& filter) {
    if (!accepted(!filter.eventName.empty(), 4, 12027,
                  "Received event filter with empty event name for getting dictionary representation") ||
        !accepted(!filter.data.empty(), 4, 12028,
                  "Received event filter with empty data for getting dictionary representation")) {
        return std::nullopt;
    }
    return QRVASqliteRecord{{"audience_id", filter.audienceID},
                            {"filter_id", filter.filterID},
                            {"event_name", filter.eventName},
                            {"data", filter.data}};
}

std::optional<QRVAEventFilter> eventFilterFromRow(const QRVASqliteRow& row) {
    if (!accepted(!row.empty(), 4, 12025, "Received empty dictionary for getting event filter")) return std::nullopt;
    return QRVAEventFilter{int32At(row, "audience_id"), int32At(row, "filter_id"), text(row, "event_name"),
                           dataAt(row, "data").value_or(ns::Data{})};
}

std::optional<QRVASqliteRecord> propertyFilterRecord(const QRVAPropertyFilter& filter) {
    if (!accepted(!filter.propertyName.empty(), 4, 12031,
                  "Received property filter with empty property name for getting dictionary representation") ||
        !accepted(!filter.data.empty(), 4, 12032,
                  "Received property filter with empty data for getting dictionary representation")) {
        return std::nullopt;
    }
    return QRVASqliteRecord{{"audience_id", filter.audienceID},
                            {"filter_id", filter.filterID},
                            {"property_name", filter.propertyName},
                            {"data", filter.data}};
}

std::optional<QRVAPropertyFilter> propertyFilterFromRow(const QRVASqliteRow& row) {
    if (!accepted(!row.empty(), 4, 12029, "Received empty dictionary for getting property filter")) return std::nullopt;
    return QRVAPropertyFilter{int32At(row, "audience_id"), int32At(row, "filter_id"), text(row, "property_name"),
                              dataAt(row, "data").value_or(ns::Data{})};
}

std::optional<QRVASqliteRecord> filterResultRecord(const QRVAFilterResult& result) {
    if (!accepted(!result.currentResults.empty(), 4, 12035,
                  "Received filter result with empty data for getting dictionary representation")) {
        return std::nullopt;
    }
    bool hasPrevious = result.previousResults && !result.previousResults->empty();
    return QRVASqliteRecord{{"audience_id", result.audienceID},
                            {"current_results", result.currentResults},
                            {"previous_results", hasPrevious ? ns::Value(*result.previousResults) : ns::Value()}};
}

std::optional<QRVAFilterResult> filterResultFromRow(const QRVASqliteRow& row) {
    if (!accepted(!row.empty(), 4, 12033, "Received empty dictionary for getting filter result")) return std::nullopt;
    return QRVAFilterResult{int32At(row, "audience_id"), dataAt(row, "current_results").value_or(ns::Data{}),
                            dataAt(row, "previous_results")};
}

// Writes each record in order; the first refused or failed one ends it.
template <class T>
bool upsertEach(QRVASqliteStore& store, const std::vector<T>& items, const std::string& table,
                std::optional<QRVASqliteRecord> (*record)(const T&), ns::ErrorRef* error) {
    for (const auto& item : items) {
        if (!store.upsertRecord(record(item).value_or(QRVASqliteRecord{}), table, error)) return false;
    }
    return true;
}

// MARK: Conditional user properties

std::optional<QRVASqliteRecord> conditionalPropertyRecord(const QRVAConditionalUserProperty& property) {
    if (!accepted(!property.name.empty(), 1, 12040,
                  "Received conditional user property with empty name for getting dictionary representation") ||
        !accepted(!property.origin.empty(), 1, 12041,
                  "Received conditional user property with empty origin for getting dictionary representation") ||
        !accepted(property.value.has_value(), 1, 12042,
                  "Received conditional user property with nil value for getting dictionary representation")) {
        return std::nullopt;
    }
    QRVASqliteRecord record{{"name", property.name},
                            {"origin", property.origin},
                            {"value", property.value->value()},
                            {"creation_timestamp", property.creationTimestamp},
                            {"active", property.active ? 1 : 0},
                            {"trigger_timeout", property.triggerTimeout},
                            {"triggered_timestamp", property.triggeredTimestamp},
                            {"time_to_live", property.timeToLive}};
    if (!property.triggerEventName.empty()) record.emplace_back("trigger_event_name", property.triggerEventName);
    auto addEvent = [&](const char* column, const std::optional<QRVAEvent>& event) {
        if (!event) return;
        if (auto bytes = event->protoEvent()->protoBuffer()) record.emplace_back(column, std::move(*bytes));
    };
    addEvent("triggered_event", property.triggeredEvent);
    addEvent("timed_out_event", property.timedOutEvent);
    addEvent("expired_event", property.expiredEvent);
    return record;
}

// An event column: absent or NULL is no event; anything else must decode.
bool readStoredEvent(const QRVASqliteRow& row, const char* column, std::optional<QRVAEvent>& event,
                     ns::ErrorRef* error) {
    const ns::Value& value = QRVARowValue(row, column);
    if (value.isNull()) return true;
    if (!QRVAAssertTrue(value.isData(), error, 2, "Failed to convert data to an event. Data must be a NSData instance")) {
        return false;
    }
    auto proto = QRVAPBEvent::initWithBuffer(value.asData());
    if (!QRVAAssertNotNull(proto.get(), error, 2, "Failed to parse event from data")) return false;
    event = QRVAEvent::initWithEventProto(proto);
    return QRVAAssertTrue(event.has_value(), error, 2, "Failed to initialize event from proto data");
}

std::optional<QRVAConditionalUserProperty> conditionalPropertyFromRow(const QRVASqliteRow& row) {
    QRVAConditionalUserProperty property;
    property.name = text(row, "name");
    property.origin = text(row, "origin");
    property.value = QRVAValue::valueFromObject(QRVARowValue(row, "value"));
    property.triggerTimeout = QRVARowValue(row, "trigger_timeout").doubleValue();
    property.timeToLive = QRVARowValue(row, "time_to_live").doubleValue();
    property.triggerEventName = text(row, "trigger_event_name");
    const struct {
        const char* column;
        std::optional<QRVAEvent>& event;
        int64_t code;
        const char* message;
    } events[] = {
        {"triggered_event", property.triggeredEvent, 12036,
         "Cannot create conditional user property from database. Triggered event data is invalid. Name, error"},
        {"timed_out_event", property.timedOutEvent, 12037,
         "Cannot create conditional user property from database. Timed out event data is invalid. Name, error"},
        {"expired_event", property.expiredEvent, 12038,
         "Cannot create conditional user property from database. Expired event data is invalid. Name, error"},
    };
    for (const auto& e : events) {
        ns::ErrorRef error;
        if (!readStoredEvent(row, e.column, e.event, &error)) {
            monitor()->logWithLevel(1, e.code, e.message, ns::Value(property.name), QRVAErrorContext(error));
            return std::nullopt;
        }
    }
    property.active = QRVARowValue(row, "active").boolValue();
    property.creationTimestamp = QRVARowValue(row, "creation_timestamp").doubleValue();
    property.triggeredTimestamp = QRVARowValue(row, "triggered_timestamp").doubleValue();
    return property;
}

template <class T>
std::optional<T> firstOf(std::optional<std::vector<T>> items) {
    if (!items || items->empty()) return std::nullopt;
    return std::move(items->front());
}

}  // namespace

// MARK: - Event aggregates

std::optional<QRVAEventAggregates> QRVADatabase::eventAggregatesWithName(const std::string& name,
                                                                         ns::ErrorRef* error) {
    return firstOf(dataTypesFromTableWithName<QRVAEventAggregates>("events", "name", name, error, aggregatesFromRow));
}

bool QRVADatabase::updateEventAggregates(const QRVAEventAggregates& aggregates, ns::ErrorRef* error) {
    return upsertDataType<QRVAEventAggregates>(&aggregates, "events", "name", aggregates.name(),
                                               kQRVADatabaseAllEventMaxCount, error, aggregatesRecord);
}

std::optional<std::vector<QRVAEventAggregates>> QRVADatabase::allEventAggregates(ns::ErrorRef* error) {
    return allDataTypesFromTableWithName<QRVAEventAggregates>("events", kQRVADatabaseAllEventMaxCount, error,
                                                              aggregatesFromRow);
}

std::optional<int64_t> QRVADatabase::publicEventCount(ns::ErrorRef* error) {
    ns::Value count =
        sqliteStore_->numberForQuery("SELECT count(1) FROM events WHERE name NOT LIKE '!_%%' ESCAPE '!'", {}, error);
    if (count.isNull()) return std::nullopt;
    return count.intValue();
}

// MARK: - User attributes

std::optional<int64_t> QRVADatabase::publicUserAttributeCount(ns::ErrorRef* error) {
    ns::Value count = sqliteStore_->numberForQuery(
        "SELECT count(1) FROM user_attributes WHERE name NOT LIKE '!_%%' ESCAPE '!'", {}, error);
    if (count.isNull()) return std::nullopt;
    return count.intValue();
}

std::optional<int64_t> QRVADatabase::userAttributeCountForOrigin(const std::string& origin, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!origin.empty(), error, 1, "Received empty user property origin for count query")) {
        return std::nullopt;
    }
    ns::Value count =
        sqliteStore_->numberForQuery("SELECT count(1) FROM user_attributes WHERE origin = ?", {origin}, error);
    if (count.isNull()) return std::nullopt;
    return count.intValue();
}

std::optional<bool> QRVADatabase::containsUserAttributeWithName(const std::string& name, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!name.empty(), error, 1, "Received empty user property name for exists query")) {
        return std::nullopt;
    }
    return booleanForQuery("SELECT EXISTS (SELECT 1 FROM user_attributes WHERE name = ? LIMIT 1)", {name}, error);
}

std::optional<QRVAUserAttribute> QRVADatabase::userAttributeWithName(const std::string& name, ns::ErrorRef* error) {
    return firstOf(
        dataTypesFromTableWithName<QRVAUserAttribute>("user_attributes", "name", name, error, userAttributeFromRow));
}

std::optional<std::vector<QRVAUserAttribute>> QRVADatabase::userAttributesIncludingInternal(bool includeInternal,
                                                                                            ns::ErrorRef* error) {
    auto attributes = allDataTypesFromTableWithName<QRVAUserAttribute>(
        "user_attributes", kQRVADatabaseAllUserAttributeMaxCount, error, userAttributeFromRow);
    if (attributes && !includeInternal) {
        std::erase_if(*attributes, [](const QRVAUserAttribute& a) { return isInternalUserAttributeName(a.name()); });
    }
    return attributes;
}

std::optional<std::vector<QRVAUserAttribute>> QRVADatabase::allLifetimeValueUserAttributes(ns::ErrorRef* error) {
    // The prefix is compared as it is: under LIKE its underscores would match
    // any character and its letters any case, so "altv_x" or "_LTV_x" would
    // pass for lifetime values (and be evicted as one later).
    auto rows = sqliteStore_->recordsForQuery(
        "SELECT * FROM user_attributes WHERE substr(name, 1, length(?1)) = ?1 ORDER BY set_timestamp DESC",
        {kQRVAMeasurementUserAttributeNamePrefixLifetimeValue}, error);
    if (!rows) return std::nullopt;
    std::vector<QRVAUserAttribute> attributes;
    for (const auto& row : *rows) {
        if (auto attribute = userAttributeFromRow(row)) attributes.push_back(std::move(*attribute));
    }
    return attributes;
}

bool QRVADatabase::updateUserAttribute(const QRVAUserAttribute& attribute, ns::ErrorRef* error) {
    return upsertDataType<QRVAUserAttribute>(&attribute, "user_attributes", "name", attribute.name(),
                                             kQRVADatabaseAllUserAttributeMaxCount, error, userAttributeRecord);
}

bool QRVADatabase::deleteUserAttributeWithName(const std::string& name, ns::ErrorRef* error) {
    return sqliteStore_->deleteRecordFromTableWithName("user_attributes", "name", name, error);
}

// MARK: - Audience filters and results

std::optional<std::vector<QRVAEventFilter>> QRVADatabase::eventFiltersForEventName(const std::string& name,
                                                                                   ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!name.empty(), error, 1, "Received empty event name for getting event filters")) {
        return std::nullopt;
    }
    return dataTypesFromTableWithName<QRVAEventFilter>("event_filters", "event_name", name, error, eventFilterFromRow);
}

std::optional<std::vector<QRVAPropertyFilter>> QRVADatabase::propertyFiltersForPropertyName(const std::string& name,
                                                                                           ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!name.empty(), error, 1, "Received empty property name for getting property filters")) {
        return std::nullopt;
    }
    return dataTypesFromTableWithName<QRVAPropertyFilter>("property_filters", "property_name", name, error,
                                                          propertyFilterFromRow);
}

std::optional<QRVAFilterResult> QRVADatabase::filterResultForAudienceID(int32_t audienceID, ns::ErrorRef* error) {
    return firstOf(dataTypesFromTableWithName<QRVAFilterResult>("audience_filter_values", "audience_id", audienceID,
                                                                error, filterResultFromRow));
}

std::map<int32_t, QRVAFilterResult> QRVADatabase::allFilterResults(ns::ErrorRef* error) {
    std::map<int32_t, QRVAFilterResult> byAudience;
    auto results =
        allDataTypesFromTableWithName<QRVAFilterResult>("audience_filter_values", -1, error, filterResultFromRow);
    for (auto& result : results.value_or(std::vector<QRVAFilterResult>{})) {
        byAudience.insert_or_assign(result.audienceID, std::move(result));
    }
    return byAudience;
}

std::optional<std::vector<int32_t>> QRVADatabase::allAudienceIDs(ns::ErrorRef* error) {
    auto rows = sqliteStore_->recordsForQuery(
        "SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters", {}, error);
    if (!rows) return std::nullopt;
    std::vector<int32_t> ids;
    for (const auto& row : *rows) {
        const ns::Value& id = QRVARowValue(row, "audience_id");
        if (!QRVAAssertTrue(id.isNumber(), error, 1, "Received nil audience ID for querying all audience IDs")) {
            return std::nullopt;
        }
        ids.push_back(int32_t(id.intValue()));
    }
    return ids;
}

bool QRVADatabase::updateEventFilters(const std::vector<QRVAEventFilter>& filters, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!filters.empty(), error, 1, "Received empty event filters to update")) return false;
    return upsertEach(*sqliteStore_, filters, "event_filters", eventFilterRecord, error);
}

bool QRVADatabase::updatePropertyFilters(const std::vector<QRVAPropertyFilter>& filters, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!filters.empty(), error, 1, "Received empty property filters to update")) return false;
    return upsertEach(*sqliteStore_, filters, "property_filters", propertyFilterRecord, error);
}

bool QRVADatabase::updateFilterResults(const std::vector<QRVAFilterResult>& results, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!results.empty(), error, 1, "Received empty filter results to update")) return false;
    return upsertEach(*sqliteStore_, results, "audience_filter_values", filterResultRecord, error);
}

bool QRVADatabase::deleteFilterResults(const std::vector<QRVAFilterResult>& results, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!results.empty(), error, 1, "Received empty filter results to delete")) return false;
    std::set<int32_t> seen;
    std::string ids;
    for (const auto& result : results) {
        if (seen.insert(result.audienceID).second) ids += (ids.empty() ? "" : ",") + std::to_string(result.audienceID);
    }
    return sqliteStore_
        ->deleteRecordsFromTableWithName("audience_filter_values", ns::format("%@ IN (%@)", "audience_id", ids), {},
                                         error)
        .has_value();
}

namespace {

template <class Filter>
std::string filterKeysCondition(const std::vector<Filter>& filters) {
    std::string condition;
    for (const auto& filter : filters) {
        if (!condition.empty()) condition += " OR ";
        condition += ns::format("(audience_id=%d AND filter_id=%d)", filter.audienceID, filter.filterID);
    }
    return condition;
}

}  // namespace

bool QRVADatabase::deleteEventFilters(const std::vector<QRVAEventFilter>& filters, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!filters.empty(), error, 1, "Received empty event filters to delete")) return false;
    return sqliteStore_->deleteRecordsFromTableWithName("event_filters", filterKeysCondition(filters), {}, error)
        .has_value();
}

bool QRVADatabase::deletePropertyFilters(const std::vector<QRVAPropertyFilter>& filters, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!filters.empty(), error, 1, "Received empty property filters to delete")) return false;
    return sqliteStore_->deleteRecordsFromTableWithName("property_filters", filterKeysCondition(filters), {}, error)
        .has_value();
}

bool QRVADatabase::deleteAllEventFilters(ns::ErrorRef* error) {
    return sqliteStore_->deleteAllRecordsFromTableWithName("event_filters", error);
}

bool QRVADatabase::deleteAllPropertyFilters(ns::ErrorRef* error) {
    return sqliteStore_->deleteAllRecordsFromTableWithName("property_filters", error);
}

// MARK: - Purchase fingerprints

std::optional<bool> QRVADatabase::insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint,
                                                                          ns::ErrorRef* error) {
    if (fingerprint.empty()) return false;
    auto seen = booleanForQuery("SELECT EXISTS (SELECT 1 FROM purchase_transactions WHERE fingerprint = ? LIMIT 1)",
                                {fingerprint}, error);
    if (!seen) return std::nullopt;
    if (*seen) return false;
    if (!sqliteStore_->upsertRecord({{"fingerprint", fingerprint}}, "purchase_transactions", error)) return std::nullopt;
    if (!sqliteStore_->deleteRecordsFromTableWithName(
            "purchase_transactions",
            "rowid IN (SELECT rowid FROM purchase_transactions ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
            {kQRVADatabasePurchaseTransactionsMaxCount}, error)) {
        return std::nullopt;
    }
    return true;
}

// MARK: - Conditional user properties

std::optional<QRVAConditionalUserProperty> QRVADatabase::conditionalUserPropertyWithName(const std::string& name,
                                                                                         ns::ErrorRef* error) {
    return firstOf(dataTypesFromTableWithName<QRVAConditionalUserProperty>("conditional_properties", "name", name,
                                                                           error, conditionalPropertyFromRow));
}

bool QRVADatabase::updateConditionalUserProperty(const QRVAConditionalUserProperty& property, ns::ErrorRef* error) {
    return upsertDataType<QRVAConditionalUserProperty>(&property, "conditional_properties", "name", property.name,
                                                       kQRVADatabaseConditionalUserPropertyMaxCount, error,
                                                       conditionalPropertyRecord);
}

bool QRVADatabase::deleteConditionalUserPropertyWithName(const std::string& name, ns::ErrorRef* error) {
    return sqliteStore_->deleteRecordFromTableWithName("conditional_properties", "name", name, error);
}

std::optional<std::vector<QRVAConditionalUserProperty>> QRVADatabase::conditionalUserPropertiesWithCondition(
    const std::string& condition, const ns::Array& parameterValues, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!condition.empty(), error, 1,
                        "Received empty condition for querying a conditional user property")) {
        return std::nullopt;
    }
    auto rows = sqliteStore_->recordsForQuery(
        ns::format("SELECT rowid, * FROM %@ WHERE %@", "conditional_properties", condition), parameterValues, error);
    if (!rows) return std::nullopt;
    std::vector<QRVAConditionalUserProperty> properties;
    for (const auto& row : *rows) {
        if (auto property = conditionalPropertyFromRow(row)) properties.push_back(std::move(*property));
    }
    return properties;
}

std::optional<std::vector<QRVAConditionalUserProperty>> QRVADatabase::timedOutConditionalUserPropertiesWithError(
    ns::ErrorRef* error) {
    return conditionalUserPropertiesWithCondition("active=0 and abs(? - creation_timestamp) > trigger_timeout",
                                                  {ns::Clock::nowSeconds()}, error);
}

std::optional<std::vector<QRVAConditionalUserProperty>> QRVADatabase::expiredConditionalUserPropertiesWithError(
    ns::ErrorRef* error) {
    return conditionalUserPropertiesWithCondition("active=1 and abs(? - triggered_timestamp) > time_to_live",
                                                  {ns::Clock::nowSeconds()}, error);
}

std::optional<std::vector<QRVAConditionalUserProperty>> QRVADatabase::triggeredConditionalUserPropertiesWithEventName(
    const std::string& eventName, ns::ErrorRef* error) {
    if (!QRVAAssertTrue(!eventName.empty(), error, 1,
                        "Received nil/empty event name for querying triggered conditional user properties")) {
        return std::nullopt;
    }
    return conditionalUserPropertiesWithCondition(
        "active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout",
        {eventName, ns::Clock::nowSeconds()}, error);
}

std::optional<std::vector<QRVAConditionalUserProperty>> QRVADatabase::conditionalUserPropertiesWithPrefix(
    const std::string& prefix, const std::string& origin, ns::ErrorRef* error) {
    std::vector<std::string> terms;
    ns::Array parameters;
    if (!origin.empty()) {
        terms.push_back(ns::format("%@ LIKE ?", "origin"));
        parameters.push_back(origin);
    }
    if (!prefix.empty()) {
        terms.push_back(ns::format("%@ LIKE ? || '%%'", "name"));
        parameters.push_back(prefix);
    }
    std::string condition;
    for (const auto& term : terms) condition += (condition.empty() ? "" : " AND ") + term;
    return conditionalUserPropertiesWithCondition(condition.empty() ? "1 == 1" : condition, parameters, error);
}
