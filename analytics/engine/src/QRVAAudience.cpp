#include "analytics/QRVAAudience.h"

#include <algorithm>
#include <map>
#include <string>

#include "analytics/QRVAAudienceFilters.h"
#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAMonitor.h"

namespace {

namespace AU = QRVAPBField::Audience;
namespace EF = QRVAPBField::EventFilter;
namespace PF = QRVAPBField::PropertyFilter;
namespace FL = QRVAPBField::Filter;
namespace NF = QRVAPBField::NumberFilter;
namespace RD = QRVAPBField::ResultData;
namespace LR = QRVAPBField::AudienceLeafFilterResult;


ns::Value errorContext(const ns::ErrorRef& error) {
    return error ? ns::Value(std::const_pointer_cast<ns::Error>(error)) : ns::Value();
}

template <class T>
ns::Value messageContext(const std::shared_ptr<T>& message) {
    return message ? ns::Value(std::static_pointer_cast<ns::Object>(message)) : ns::Value();
}

// A filter's two masks as words of 64 filters each.
struct Masks {
    std::vector<uint64_t> status;
    std::vector<uint64_t> results;

    static bool bit(const std::vector<uint64_t>& words, int32_t filterID) {
        size_t word = size_t(filterID) / 64;
        return word < words.size() && (words[word] >> (filterID % 64)) & 1;
    }
    bool anyStatus() const {
        return std::any_of(status.begin(), status.end(), [](uint64_t w) { return w != 0; });
    }
};

std::vector<uint64_t> words(NANOMessageRef message, int32_t field) {
    std::vector<uint64_t> out;
    for (const auto& value : NANOGetArray(message, field).value_or(ns::Array{})) out.push_back(value.asUInt());
    return out;
}

std::shared_ptr<QRVAPBResultData> decodeResultData(const ns::Data& bytes) {
    return bytes.empty() ? nullptr : QRVAPBResultData::initWithBuffer(bytes);
}

Masks masksOf(NANOMessageRef data) { return {words(data, RD::status), words(data, RD::results)}; }

ns::Data encodeMasks(const Masks& masks) {
    auto data = QRVAPBResultData::message();
    NANOSetArray(data, RD::status, ns::Array(masks.status.begin(), masks.status.end()));
    NANOSetArray(data, RD::results, ns::Array(masks.results.begin(), masks.results.end()));
    return data->protoBuffer().value_or(ns::Data{});
}

template <class T>
std::vector<std::shared_ptr<T>> messages(NANOMessageRef message, int32_t field) {
    std::vector<std::shared_ptr<T>> out;
    for (const auto& element : NANOGetArray(message, field, &T::messageClass()).value_or(ns::Array{})) {
        if (auto item = element.template asObjectOf<T>()) out.push_back(item);
    }
    return out;
}

std::string internalName(const QRVANameTable& table, const std::string& name) {
    auto found = table.find(name);
    return found == table.end() ? name : found->second;
}

// The messages' codes and contexts of one kind of filter row.
struct RowLog {
    std::string name;  // formatted event or property name
    int64_t readCode, noDataCode, saveCode;
    const char* readMessage;
    const char* noDataMessage;
    const char* saveMessage;
};

// Runs each row not yet true through `evaluate` (nullopt: the row's data
// does not decode), reading each audience's result once and writing the
// changed ones once at the end.
template <class Row>
bool evaluateRows(QRVADatabase& database, const std::vector<Row>& rows, const RowLog& log,
                  const std::function<std::optional<QRVAAudienceOutcome>(const Row&)>& evaluate) {
    std::map<int32_t, QRVAFilterResult> updated;
    std::map<int32_t, std::optional<QRVAFilterResult>> read;
    for (const Row& row : rows) {
        const QRVAFilterResult* current = nullptr;
        if (auto found = updated.find(row.audienceID); found != updated.end()) {
            current = &found->second;
        } else {
            auto stored = read.find(row.audienceID);
            if (stored == read.end()) {
                ns::ErrorRef error;
                auto result = database.filterResultForAudienceID(row.audienceID, &error);
                if (!result && error) {
                    QRVALog(1, log.readCode, log.readMessage, ns::Array{log.name, errorContext(error)});
                    return false;
                }
                stored = read.emplace(row.audienceID, std::move(result)).first;
            }
            current = stored->second ? &*stored->second : nullptr;
        }
        if (QRVAAudience::isFilterResultTrueForFilterID(current, row.filterID)) continue;
        std::optional<QRVAAudienceOutcome> outcome = evaluate(row);
        if (!outcome) {
            QRVALog(1, log.noDataCode, log.noDataMessage, ns::Array{log.name, row.filterID, row.audienceID});
            continue;
        }
        if (!*outcome) continue;
        QRVAFilterResult next = QRVAAudience::updatedFilterResult(row.filterID, row.audienceID, current, **outcome);
        updated[row.audienceID] = std::move(next);
        read.erase(row.audienceID);
    }
    if (updated.empty()) return true;
    std::vector<QRVAFilterResult> changed;
    for (auto& entry : updated) changed.push_back(std::move(entry.second));
    ns::ErrorRef error;
    if (!database.updateFilterResults(changed, &error) && error) {
        QRVALog(1, log.saveCode, log.saveMessage, ns::Array{log.name, errorContext(error)});
        return false;
    }
    return true;
}

bool refuse(ns::ErrorRef* error, int64_t code, const char* description) {
    QRVASetError(error, code, description);
    return false;
}

// A parameter or property filter's Filter: exactly one of a valid number
// filter and a valid string filter.
enum class FilterFault { None, NotExactlyOne, Number, String };
FilterFault filterFault(NANOMessageRef filter) {
    bool number = NANOHasField(filter, FL::number_filter);
    bool string = NANOHasField(filter, FL::string_filter);
    if (number == string) return FilterFault::NotExactlyOne;
    if (number && !QRVAAudienceIsValidNumberFilter(
                      NANOGetMessage(filter, FL::number_filter, QRVAPBNumberFilter::messageClass()))) {
        return FilterFault::Number;
    }
    if (string &&
        !QRVAAudienceIsValidStringFilter(NANOGetMessage(filter, FL::string_filter, QRVAPBStringFilter::messageClass()))) {
        return FilterFault::String;
    }
    return FilterFault::None;
}

// The event filter as stored: names turned to the internal short names the
// events and their parameters are logged under.
QRVAEventFilter eventFilterRow(int32_t audienceID, const std::shared_ptr<QRVAPBEventFilter>& filter) {
    std::string name = internalName(QRVInternalEventNames(), NANOGetString(filter, EF::event_name).value_or(""));
    NANOSetString(filter, EF::event_name, name);
    auto parameters = NANOGetArray(filter, EF::filters, &QRVAPBFilter::messageClass()).value_or(ns::Array{});
    bool renamed = false;
    for (const auto& element : parameters) {
        auto parameter = element.asObjectOf<QRVAPBFilter>();
        auto paramName = NANOGetString(parameter, FL::param_name);
        if (!parameter || !paramName) continue;
        std::string mapped = internalName(QRVInternalParameterNames(), *paramName);
        if (mapped == *paramName) continue;
        NANOSetString(parameter, FL::param_name, mapped);
        renamed = true;
    }
    if (renamed) NANOSetArray(filter, EF::filters, parameters);
    return {audienceID, NANOGetInt32(filter, EF::filter_id), name, filter->protoBuffer().value_or(ns::Data{})};
}

QRVAPropertyFilter propertyFilterRow(int32_t audienceID, const std::shared_ptr<QRVAPBPropertyFilter>& filter) {
    std::string name =
        internalName(QRVInternalUserPropertyNames(), NANOGetString(filter, PF::property_name).value_or(""));
    NANOSetString(filter, PF::property_name, name);
    return {audienceID, NANOGetInt32(filter, PF::filter_id), name, filter->protoBuffer().value_or(ns::Data{})};
}

}  // namespace

std::shared_ptr<QRVAAudience> QRVAAudience::initWithDatabase(std::shared_ptr<QRVADatabase> database) {
    return std::make_shared<QRVAAudience>(std::move(database));
}

bool QRVAAudience::updateAudiences(const std::vector<std::shared_ptr<QRVAPBAudience>>& audiences) {
    if (audiences.size() > size_t(std::max(settings().maxAudienceCount, 0))) {
        QRVALog(1, 6008, "Configuration contains too many audiences. Audiences will not be saved. Audience count",
                 ns::Array{int64_t(audiences.size())});
        return true;
    }
    std::set<int32_t> used;
    std::vector<QRVAEventFilter> eventRows;
    std::vector<QRVAPropertyFilter> propertyRows;
    for (const auto& audience : audiences) {
        ns::ErrorRef error;
        if (!audience || !isValidAudienceProto(*audience, used, &error)) {
            QRVALog(1, 6009, "Audience definition is invalid. Audience will not be saved. Audience, error",
                     ns::Array{messageContext(audience), errorContext(error)});
            continue;
        }
        int32_t audienceID = NANOGetInt32(audience, AU::audience_id);
        used.insert(audienceID);
        for (const auto& filter : messages<QRVAPBEventFilter>(audience, AU::event_filters)) {
            eventRows.push_back(eventFilterRow(audienceID, filter));
        }
        for (const auto& filter : messages<QRVAPBPropertyFilter>(audience, AU::property_filters)) {
            propertyRows.push_back(propertyFilterRow(audienceID, filter));
        }
    }
    if (!maybeDeleteStaleFilterResults(used) || !replaceFilterRows(eventRows, propertyRows)) return false;
    ns::ErrorRef error;
    auto properties = database_->userAttributesIncludingInternal(true, &error);
    if (!properties && error) {
        QRVALog(1, 6014, "Unable to query current user properties. Audiences will not be saved. Error",
                 ns::Array{errorContext(error)});
        return false;
    }
    for (const auto& property : properties.value_or(std::vector<QRVAUserAttribute>{})) {
        if (!evaluateFiltersForUserProperty(property)) return false;
    }
    return true;
}

bool QRVAAudience::replaceFilterRows(const std::vector<QRVAEventFilter>& events,
                                     const std::vector<QRVAPropertyFilter>& properties) {
    auto failed = [](bool ok, const ns::ErrorRef& error, int64_t code, const char* message) {
        if (ok || !error) return false;
        QRVALog(1, code, message, ns::Array{errorContext(error)});
        return true;
    };
    ns::ErrorRef error;
    if (failed(database_->deleteAllEventFilters(&error), error, 6010,
               "Unable to delete existing Audience event filters. Audiences will not be saved. Error") ||
        failed(database_->deleteAllPropertyFilters(&error), error, 6011,
               "Unable to delete existing Audience user property filters. Audiences will not be saved. Error")) {
        return false;
    }
    if (!events.empty() && failed(database_->updateEventFilters(events, &error), error, 6012,
                                  "Unable to save Audience event filters. Audiences will not be saved. Error")) {
        return false;
    }
    return properties.empty() ||
           !failed(database_->updatePropertyFilters(properties, &error), error, 6013,
                   "Unable to save Audience user property filters. Audiences will not be saved. Error");
}

bool QRVAAudience::evaluateFiltersForEvent(const QRVAEvent& event, const QRVAEventAggregates& aggregates) {
    auto rows = eventFiltersForEventName(event.name());
    return rows && evaluateEventFilters(*rows, event, aggregates);
}

std::optional<std::vector<QRVAEventFilter>> QRVAAudience::eventFiltersForEventName(const std::string& name) {
    ns::ErrorRef error;
    auto rows = database_->eventFiltersForEventName(name, &error);
    if (!rows && error) {
        QRVALog(1, 6000, "Unable to query event filters for event. Event will not be evaluated. Event name, error",
                 ns::Array{QRVAFormattedEventName(name), errorContext(error)});
        return std::nullopt;
    }
    return rows.value_or(std::vector<QRVAEventFilter>{});
}

bool QRVAAudience::evaluateEventFilters(const std::vector<QRVAEventFilter>& rows, const QRVAEvent& event,
                                        const QRVAEventAggregates& aggregates) {
    if (rows.empty()) return true;
    std::string eventName = QRVAFormattedEventName(event.name());
    RowLog log{eventName, 6001, 6002, 6003,
               "Unable to query filter result for audience. Event will not be evaluated. Event name, error",
               "Event filter contains no data. Event will not be evaluated. Event name, filter ID, audience ID",
               "Unable to save updated Audience filter results. Event will not be evaluated. Event name, error"};
    return evaluateRows<QRVAEventFilter>(
        *database_, rows, log, [&](const QRVAEventFilter& row) -> std::optional<QRVAAudienceOutcome> {
            auto filter = row.data.empty() ? nullptr : QRVAPBEventFilter::initWithBuffer(row.data);
            if (!filter) return std::nullopt;
            return QRVAAudienceEvaluateEventFilter(filter, &event, aggregates);
        });
}

bool QRVAAudience::evaluateFiltersForUserProperty(const QRVAUserAttribute& property) {
    std::string propertyName = QRVAFormattedUserPropertyName(property.name());
    ns::ErrorRef error;
    auto rows = database_->propertyFiltersForPropertyName(property.name(), &error);
    if (!rows && error) {
        QRVALog(1, 6004,
                 "Unable to query property filters for property. Property will not be evaluated. Property name, error",
                 ns::Array{propertyName, errorContext(error)});
        return false;
    }
    RowLog log{propertyName, 6005, 6006, 6007,
               "Unable to query filter result for audience. Property will not be evaluated. Property name, error",
               "User property filter contains no data. User property will not be evaluated. User property name, "
               "filter ID, audience ID",
               "Unable to save updated Audience filter results. User property will not be evaluated. User property "
               "name, error"};
    return evaluateRows<QRVAPropertyFilter>(
        *database_, rows.value_or(std::vector<QRVAPropertyFilter>{}), log,
        [&](const QRVAPropertyFilter& row) -> std::optional<QRVAAudienceOutcome> {
            auto filter = row.data.empty() ? nullptr : QRVAPBPropertyFilter::initWithBuffer(row.data);
            if (!filter) return std::nullopt;
            return QRVAAudienceEvaluatePropertyFilter(filter, &property);
        });
}

bool QRVAAudience::resultsForBundling(std::vector<std::shared_ptr<QRVAPBAudienceLeafFilterResult>>& results) {
    results.clear();
    ns::ErrorRef error;
    std::vector<QRVAFilterResult> reported;
    for (const auto& [audienceID, stored] : database_->allFilterResults(&error)) {
        auto current = decodeResultData(stored.currentResults);
        if (!current) {
            QRVALog(1, 6020, "Current result data is nil. Audience result will not be bundled. Audience ID",
                     ns::Array{audienceID});
            continue;
        }
        if (!masksOf(current).anyStatus()) {
            QRVALog(1, 6021, "Current result status is 0. Audience result will not be bundled. Audience ID",
                     ns::Array{audienceID});
            continue;
        }
        auto leaf = QRVAPBAudienceLeafFilterResult::message();
        NANOSetInt32(leaf, LR::audience_id, audienceID);
        NANOSetMessage(leaf, LR::current_results, current);
        bool reportedBefore = stored.previousResults && !stored.previousResults->empty();
        NANOSetBool(leaf, LR::new_audience, !reportedBefore);
        if (reportedBefore && *stored.previousResults != stored.currentResults) {
            if (auto previous = decodeResultData(*stored.previousResults)) {
                NANOSetMessage(leaf, LR::previous_results, previous);
            }
        }
        results.push_back(leaf);
        reported.push_back({audienceID, stored.currentResults, stored.currentResults});
    }
    error = nullptr;
    if (!reported.empty() && !database_->updateFilterResults(reported, &error) && error) {
        QRVALog(1, 6022, "Unable to save updated Audience filter results. Audience results will not be bundled. Error",
                 ns::Array{errorContext(error)});
        results.clear();
        return false;
    }
    return true;
}

bool QRVAAudience::maybeDeleteStaleFilterResults(const std::set<int32_t>& usedAudienceIDs) {
    ns::ErrorRef error;
    auto stored = database_->allFilterResults(&error);
    int32_t maximum = settings().maxFilterResultCount;
    if (stored.size() <= size_t(std::max(maximum, 0))) return true;
    QRVALog(3, 6016,
             "Too many Audience filter results. Deleting filter results for deleted Audiences. Filter result count, "
             "max filter result count",
             ns::Array{int64_t(stored.size()), maximum});
    error = nullptr;
    auto kept = database_->allAudienceIDs(&error);
    if (!kept && error) {
        QRVALog(1, 6017, "Unable to query current Audience IDs. Audiences will not be saved. Error",
                 ns::Array{errorContext(error)});
        return false;
    }
    std::set<int32_t> live(usedAudienceIDs);
    for (int32_t id : kept.value_or(std::vector<int32_t>{})) live.insert(id);
    std::vector<QRVAFilterResult> stale;
    for (const auto& [audienceID, result] : stored) {
        if (!live.contains(audienceID)) stale.push_back(result);
    }
    if (!stale.empty() && !database_->deleteFilterResults(stale, &error) && error) {
        QRVALog(1, 6018, "Unable to delete stale Audience filter results. Audiences will not be saved. Error",
                 ns::Array{errorContext(error)});
        return false;
    }
    return true;
}

bool QRVAAudience::isFilterResultTrueForFilterID(const QRVAFilterResult* result, int32_t filterID) {
    if (!result || result->currentResults.empty() || filterID < 0) return false;
    auto data = decodeResultData(result->currentResults);
    if (!data) return false;
    Masks masks = masksOf(data);
    if (masks.status.empty() || masks.results.empty()) {
        QRVALog(2, 6023,
                 "Audience filter result is non-nil and is missing status or results array. Audience result will not "
                 "be bundled. Audience ID, result data",
                 ns::Array{result->audienceID, messageContext(data)});
        return false;
    }
    return Masks::bit(masks.status, filterID) && Masks::bit(masks.results, filterID);
}

QRVAFilterResult QRVAAudience::updatedFilterResult(int32_t filterID, int32_t audienceID,
                                                   const QRVAFilterResult* current, bool newEvaluationResult) {
    Masks masks;
    if (current) {
        if (auto data = decodeResultData(current->currentResults)) masks = masksOf(data);
        if (masks.status.empty() || masks.results.empty()) masks = {};
    }
    size_t word = size_t(std::max(filterID, 0)) / 64;
    size_t size = std::max({masks.status.size(), masks.results.size(), word + 1});
    masks.status.resize(size);
    masks.results.resize(size);
    uint64_t bit = uint64_t(1) << (std::max(filterID, 0) % 64);
    masks.status[word] |= bit;
    masks.results[word] = newEvaluationResult ? masks.results[word] | bit : masks.results[word] & ~bit;
    return {audienceID, encodeMasks(masks), current ? current->previousResults : std::nullopt};
}

bool QRVAAudience::isValidAudienceProto(const QRVAPBAudience& audience, const std::set<int32_t>& usedAudienceIDs,
                                        ns::ErrorRef* error) const {
    if (!NANOHasField(audience, AU::audience_id)) return refuse(error, 9, "Missing audience ID");
    int32_t audienceID = NANOGetInt32(audience, AU::audience_id);
    if (audienceID < 0) return refuse(error, 9, "Audience ID is negative");
    if (usedAudienceIDs.contains(audienceID)) return refuse(error, 9, "Duplicate audience ID");
    if (!NANOHasField(audience, AU::event_filters) && !NANOHasField(audience, AU::property_filters)) {
        return refuse(error, 9, "Audience missing filters arrays");
    }
    auto events = messages<QRVAPBEventFilter>(audience, AU::event_filters);
    auto properties = messages<QRVAPBPropertyFilter>(audience, AU::property_filters);
    size_t count = events.size() + properties.size();
    if (count < 1 || count > size_t(std::max(settings().maxFiltersPerAudience, 0))) {
        return refuse(error, 9, "Audience filter count out of range");
    }
    std::set<int32_t> filterIDs;
    for (const auto& filter : events) {
        if (!isValidEventFilter(filter, filterIDs, error)) return false;
    }
    for (const auto& filter : properties) {
        if (!isValidPropertyFilter(filter, filterIDs, error)) return false;
    }
    return true;
}

bool QRVAAudience::isValidEventFilter(NANOMessageRef filter, std::set<int32_t>& filterIDs, ns::ErrorRef* error) const {
    QRVAAudienceSettings limits = settings();
    if (NANOGetString(filter, EF::event_name).value_or("").empty()) {
        return refuse(error, 10, "Event filter missing event name");
    }
    if (!NANOHasField(filter, EF::filter_id)) return refuse(error, 10, "Missing event filter ID");
    int32_t filterID = NANOGetInt32(filter, EF::filter_id);
    if (filterID < 0 || filterID >= limits.maxFiltersPerAudience) {
        return refuse(error, 10, "Event filter ID is out of range");
    }
    if (!filterIDs.insert(filterID).second) return refuse(error, 10, "Duplicate event filter ID");
    if (auto count = NANOHasField(filter, EF::event_count_filter)
                         ? NANOGetMessage(filter, EF::event_count_filter, QRVAPBNumberFilter::messageClass())
                         : nullptr) {
        if (NANOHasField(count, NF::match_as_float) && NANOGetBool(count, NF::match_as_float)) {
            return refuse(error, 10, "Event filter has float event count filter");
        }
        if (!QRVAAudienceIsValidNumberFilter(count)) return refuse(error, 10, "Event filter has invalid event count filter");
    }
    auto parameters = messages<QRVAPBFilter>(filter, EF::filters);
    if (parameters.size() > size_t(std::max(limits.maxParametersPerFilter, 0))) {
        return refuse(error, 10, "Event filter parameters filters count out of range");
    }
    for (const auto& parameter : parameters) {
        if (NANOGetString(parameter, FL::param_name).value_or("").empty()) {
            return refuse(error, 10, "Event filter missing parameter name");
        }
        switch (filterFault(parameter)) {
            case FilterFault::NotExactlyOne:
                return refuse(error, 10, "Event filter must have exactly one of number or string filter");
            case FilterFault::Number: return refuse(error, 10, "Event filter has invalid number filter");
            case FilterFault::String: return refuse(error, 10, "Event filter has invalid string filter");
            case FilterFault::None: break;
        }
    }
    return true;
}

bool QRVAAudience::isValidPropertyFilter(NANOMessageRef filter, std::set<int32_t>& filterIDs,
                                         ns::ErrorRef* error) const {
    if (NANOGetString(filter, PF::property_name).value_or("").empty()) {
        return refuse(error, 11, "Property filter missing property name");
    }
    if (!NANOHasField(filter, PF::filter_id)) return refuse(error, 11, "Missing property filter ID");
    int32_t filterID = NANOGetInt32(filter, PF::filter_id);
    if (filterID < 0 || filterID >= settings().maxFiltersPerAudience) {
        return refuse(error, 11, "Property filter ID is out of range");
    }
    if (!filterIDs.insert(filterID).second) return refuse(error, 11, "Duplicate property filter ID");
    if (!NANOHasField(filter, PF::filter)) return refuse(error, 11, "Property filter has no filter");
    switch (filterFault(NANOGetMessage(filter, PF::filter, QRVAPBFilter::messageClass()))) {
        case FilterFault::NotExactlyOne:
            return refuse(error, 11, "Property filter must have exactly one of number or string filter");
        case FilterFault::Number: return refuse(error, 11, "Property filter has invalid number filter");
        case FilterFault::String: return refuse(error, 11, "Property filter has invalid string filter");
        case FilterFault::None: break;
    }
    return true;
}
