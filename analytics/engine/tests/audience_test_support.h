#pragma once
// Makers of the server's audience messages for the audience tests, and the
// outcome as text ("true", "false", "undefined") for tables of cases.

#include <optional>
#include <string>
#include <vector>

#include "analytics/QRVAAudienceFilters.h"
#include "analytics/QRVAPBMessages.h"

namespace audiencetest {

namespace F = QRVAPBField;

inline std::shared_ptr<QRVAPBNumberFilter> number(uint32_t type, std::optional<std::string> value,
                                                  std::optional<std::string> min = {},
                                                  std::optional<std::string> max = {}) {
    auto filter = QRVAPBNumberFilter::message();
    NANOSetInt32(filter, F::NumberFilter::comparison_type, int32_t(type));
    if (value) NANOSetString(filter, F::NumberFilter::comparison_value, *value);
    if (min) NANOSetString(filter, F::NumberFilter::min_comparison_value, *min);
    if (max) NANOSetString(filter, F::NumberFilter::max_comparison_value, *max);
    return filter;
}

inline std::shared_ptr<QRVAPBStringFilter> string(uint32_t type, std::optional<std::string> expression,
                                                  bool caseSensitive = false, const ns::Array& list = {}) {
    auto filter = QRVAPBStringFilter::message();
    NANOSetInt32(filter, F::StringFilter::match_type, int32_t(type));
    if (expression) NANOSetString(filter, F::StringFilter::expression, *expression);
    if (caseSensitive) NANOSetBool(filter, F::StringFilter::case_sensitive, true);
    if (!list.empty()) NANOSetArray(filter, F::StringFilter::expression_list, list);
    return filter;
}

// A Filter holding the number or string filter (or neither).
inline std::shared_ptr<QRVAPBFilter> filter(NANOMessageRef numberOrString, const std::string& paramName = "",
                                            bool complement = false) {
    auto out = QRVAPBFilter::message();
    if (auto* message = numberOrString.get()) {
        bool isNumber = message->className() == "QRVAPBNumberFilter";
        NANOSetMessage(out, isNumber ? F::Filter::number_filter : F::Filter::string_filter, numberOrString);
    }
    if (complement) NANOSetBool(out, F::Filter::complement, true);
    if (!paramName.empty()) NANOSetString(out, F::Filter::param_name, paramName);
    return out;
}

inline std::shared_ptr<QRVAPBEventFilter> eventFilter(int32_t id, const std::string& eventName,
                                                      const std::vector<std::shared_ptr<QRVAPBFilter>>& params = {},
                                                      NANOMessageRef countFilter = nullptr) {
    auto out = QRVAPBEventFilter::message();
    NANOSetInt32(out, F::EventFilter::filter_id, id);
    NANOSetString(out, F::EventFilter::event_name, eventName);
    NANOSetArray(out, F::EventFilter::filters, ns::Array(params.begin(), params.end()));
    if (countFilter.get()) NANOSetMessage(out, F::EventFilter::event_count_filter, countFilter);
    return out;
}

inline std::shared_ptr<QRVAPBPropertyFilter> propertyFilter(int32_t id, const std::string& name, NANOMessageRef filter) {
    auto out = QRVAPBPropertyFilter::message();
    NANOSetInt32(out, F::PropertyFilter::filter_id, id);
    NANOSetString(out, F::PropertyFilter::property_name, name);
    if (filter.get()) NANOSetMessage(out, F::PropertyFilter::filter, filter);
    return out;
}

inline std::string text(const QRVAAudienceOutcome& outcome) {
    return outcome ? (*outcome ? "true" : "false") : "undefined";
}

}  // namespace audiencetest
