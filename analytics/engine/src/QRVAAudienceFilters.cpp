#include "analytics/QRVAAudienceFilters.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <string>

#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAUtilities.h"

namespace {

namespace EF = QRVAPBField::EventFilter;
namespace PF = QRVAPBField::PropertyFilter;
namespace FL = QRVAPBField::Filter;
namespace NF = QRVAPBField::NumberFilter;
namespace SF = QRVAPBField::StringFilter;


// A message as a log context: the message itself, or nil.
ns::Value context(NANOMessageRef message) {
    if (!message.get()) return nullptr;
    auto owner = std::const_pointer_cast<ns::Object>(message.get()->weak_from_this().lock());
    return owner ? ns::Value(owner) : ns::Value(message.get()->description());
}

ns::Value context(const QRVAValue& value) { return ns::Value(value.value()); }

// A present uint32 field; absent is nullopt.
std::optional<uint32_t> presentUInt32(NANOMessageRef message, int32_t field) {
    if (!NANOHasField(message, field)) return std::nullopt;
    return static_cast<uint32_t>(NANOGetInt32(message, field));
}

bool isTrue(NANOMessageRef message, int32_t field) {
    return NANOHasField(message, field) && NANOGetBool(message, field);
}

NANOMessagePtr subMessage(NANOMessageRef message, int32_t field, const NANOMessageClass& messageClass) {
    return NANOHasField(message, field) ? NANOGetMessage(message, field, messageClass) : nullptr;
}

// An operand that must be present and numeric; logs `code` otherwise.
bool hasNumericOperand(NANOMessageRef numberFilter, int32_t field, int64_t code, const char* message) {
    auto text = NANOGetString(numberFilter, field);
    if (NANOHasField(numberFilter, field) && text && QRVAIsValidNumericString(*text)) return true;
    QRVALog(1, code, message, ns::Array{context(numberFilter)});
    return false;
}

// The operands a comparison type reads: one value, or the minimum and the
// maximum of BETWEEN.
struct Operands {
    int32_t first;
    std::optional<int32_t> second;
};
Operands operandsOf(uint32_t type) {
    if (type == kQRVAComparisonBetween) return {NF::min_comparison_value, NF::max_comparison_value};
    return {NF::comparison_value, std::nullopt};
}

// The en_US number formatter with positive format "'+'#": numeric text with
// or without a leading sign (the validity check has already held the text
// to digits with at most one point).
std::optional<double> formatterDouble(NANOMessageRef numberFilter, int32_t field) {
    auto text = NANOGetString(numberFilter, field);
    if (!text || !QRVAIsValidNumericString(*text)) return std::nullopt;
    std::string_view digits = *text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    double value = 0;
    auto [end, fault] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (fault != std::errc() || end != digits.data() + digits.size() || !std::isfinite(value)) return std::nullopt;
    return negative ? -value : value;
}

// Literal text as an ICU pattern: every ASCII character that is not a
// letter or a digit is escaped, so nothing in it is an operator.
std::string literalPattern(std::string_view text) {
    std::string out;
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x80 && !std::isalnum(u)) out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

// A case-free search of literal text through the platform's bounded ICU
// search, which folds case as Unicode does; nullopt when the search failed.
std::optional<bool> foldedSearch(std::string_view pattern, std::string_view subject, bool whole) {
    auto expression = ns::RegularExpression::make(pattern, true);
    if (!expression) return std::nullopt;
    ns::ErrorRef error;
    bool found = whole ? expression->matchesWhole(subject, &error) : expression->firstMatch(subject, &error);
    if (error) return std::nullopt;
    return found;
}

std::optional<bool> matchWithoutCase(uint32_t type, const std::string& e, const std::string& s) {
    std::string literal = literalPattern(e);
    switch (type) {
        case kQRVAMatchBeginsWith: return foldedSearch("\\A" + literal, s, false);
        case kQRVAMatchEndsWith: return foldedSearch(literal + "\\z", s, false);
        case kQRVAMatchContains: return foldedSearch(literal, s, false);
        default: return foldedSearch(literal, s, true);
    }
}

// UTF-8 bytes stand for UTF-16 units here: both encodings match a valid
// UTF-8 substring only at character boundaries.
bool matchWithCase(uint32_t type, const std::string& e, const std::string& s) {
    switch (type) {
        case kQRVAMatchBeginsWith: return s.starts_with(e);
        case kQRVAMatchEndsWith: return s.ends_with(e);
        case kQRVAMatchContains: return s.find(e) != std::string::npos;
        default: return s == e;
    }
}

std::optional<bool> matchesExpression(uint32_t type, const std::string& e, const std::string& s, bool caseSensitive) {
    if (caseSensitive) return matchWithCase(type, e, s);
    return matchWithoutCase(type, e, s);
}

QRVAAudienceOutcome evaluateNumberValue(NANOMessageRef numberFilter, NANOMessageRef filter, const QRVAValue& value) {
    if (value.isString()) {
        if (!QRVAIsValidNumericString(*value.stringValue())) {
            QRVALog(1, 7001, "String value is not a numeric value. Audience filter will not be evaluated. Value, filter",
                     ns::Array{context(value), context(filter)});
            return std::nullopt;
        }
        auto decimal = QRVAParseNumericValueFromString(*value.stringValue());
        if (!decimal) return std::nullopt;
        return QRVAAudienceEvaluateNumberFilterWithDecimalNumber(numberFilter, *decimal);
    }
    if (value.isDouble()) {
        if (!std::isfinite(value.doubleValue())) {
            QRVALog(1, 7002, "Value is not within double range. Audience filter will not be evaluated",
                     ns::Array{context(value), context(filter)});
            return std::nullopt;
        }
        return QRVAAudienceEvaluateNumberFilterWithDouble(numberFilter, value.doubleValue());
    }
    if (value.isInt64()) return QRVAAudienceEvaluateNumberFilterWithInt64(numberFilter, value.int64Value());
    return std::nullopt;
}

// The parameter filters of an event filter, in order; the first that is
// not true decides.
QRVAAudienceOutcome evaluateParameterFilters(NANOMessageRef eventFilter, const QRVAEvent& event) {
    auto filters = NANOGetArray(eventFilter, EF::filters, &QRVAPBFilter::messageClass());
    std::string eventName = QRVAFormattedEventName(event.name());
    for (const auto& element : filters.value_or(ns::Array{})) {
        auto filter = element.asObjectOf<NANOMessageBase>();
        auto paramName = NANOGetString(filter, FL::param_name);
        if (!NANOHasField(filter, FL::param_name) || !paramName) {
            QRVALog(1, 7008, "Event filter does not have parameter name. Audience filter will not be evaluated",
                     ns::Array{eventName, context(eventFilter)});
            return std::nullopt;
        }
        const QRVAValue* value = event.parameters().find(*paramName);
        if (!value) {
            QRVALog(7, 7009, "Event does not have parameter required by filter. Audience filter will not be evaluated",
                     ns::Array{eventName, QRVAFormattedParametersDescription(event.parameters()), context(filter)});
            return std::nullopt;
        }
        if (value->isString() && !NANOHasField(filter, FL::string_filter)) {
            QRVALog(1, 7010,
                     "Event param is a string and the filter does not have a string filter. Audience filter will not "
                     "be evaluated. Event name, event params, filter",
                     ns::Array{eventName, QRVAFormattedParametersDescription(event.parameters()), context(filter)});
            return std::nullopt;
        }
        QRVAAudienceOutcome outcome = QRVAAudienceEvaluateFilter(filter, *value);
        if (!outcome || !*outcome) return outcome;
    }
    return true;
}

}  // namespace

QRVAAudienceOutcome QRVAAudienceEvaluateEventFilter(NANOMessageRef eventFilter, const QRVAEvent* event,
                                                    const QRVAEventAggregates& aggregates) {
    if (!eventFilter.get()) {
        QRVALog(1, 7004, "Event filter is nil. Audience filter will not be evaluated",
                 ns::Array{event ? ns::Value(QRVAFormattedEventName(event->name())) : ns::Value()});
        return std::nullopt;
    }
    if (!event) {
        QRVALog(1, 7005, "Event is nil. Audience filter will not be evaluated", ns::Array{context(eventFilter)});
        return std::nullopt;
    }
    auto filterName = NANOGetString(eventFilter, EF::event_name);
    if (!NANOHasField(eventFilter, EF::event_name) || filterName != event->name()) {
        QRVALog(1, 7006, "Event filter name does not match event name. Audience filter will not be evaluated",
                 ns::Array{QRVAFormattedEventName(event->name())});
        return std::nullopt;
    }
    auto countFilter = subMessage(eventFilter, EF::event_count_filter, QRVAPBNumberFilter::messageClass());
    auto parameterFilters = NANOGetArray(eventFilter, EF::filters, &QRVAPBFilter::messageClass());
    if (!countFilter && (!parameterFilters || parameterFilters->empty())) return true;
    if (countFilter) {
        if (aggregates.name() != event->name()) {
            QRVALog(1, 7007,
                     "Event aggregates name does not match event name. Audience filter will not be evaluated",
                     ns::Array{QRVAFormattedEventName(aggregates.name()), QRVAFormattedEventName(event->name()),
                      context(eventFilter)});
            return std::nullopt;
        }
        QRVAAudienceOutcome counted = QRVAAudienceEvaluateNumberFilterWithInt64(countFilter, aggregates.lifetimeCount());
        if (!counted || !*counted) return counted;
    }
    return evaluateParameterFilters(eventFilter, *event);
}

QRVAAudienceOutcome QRVAAudienceEvaluatePropertyFilter(NANOMessageRef propertyFilter,
                                                       const QRVAUserAttribute* property) {
    if (!propertyFilter.get()) {
        QRVALog(1, 7011, "Property filter is nil. Audience filter will not be evaluated",
                 ns::Array{property ? ns::Value(QRVAFormattedUserPropertyName(property->name())) : ns::Value()});
        return std::nullopt;
    }
    if (!property) {
        QRVALog(1, 7012, "User property is nil. Audience filter will not be evaluated", ns::Array{context(propertyFilter)});
        return std::nullopt;
    }
    std::string propertyName = QRVAFormattedUserPropertyName(property->name());
    auto filterName = NANOGetString(propertyFilter, PF::property_name);
    if (!NANOHasField(propertyFilter, PF::property_name) || filterName != property->name()) {
        QRVALog(1, 7013,
                 "User property name does not match property filter name. Audience filter will not be evaluated",
                 ns::Array{propertyName, context(propertyFilter)});
        return std::nullopt;
    }
    auto filter = subMessage(propertyFilter, PF::filter, QRVAPBFilter::messageClass());
    if (!filter) {
        QRVALog(1, 7014, "Property filter does not have filter. Audience filter will not be evaluated",
                 ns::Array{propertyName, context(propertyFilter)});
        return std::nullopt;
    }
    // Every QRVAValue is a string, an int64 or a double, so the "unknown
    // property type" refusal (7015) has nothing to catch here.
    return QRVAAudienceEvaluateFilter(filter, property->value());
}

QRVAAudienceOutcome QRVAAudienceEvaluateFilter(NANOMessageRef filter, const QRVAValue& value) {
    auto numberFilter = subMessage(filter, FL::number_filter, QRVAPBNumberFilter::messageClass());
    auto stringFilter = subMessage(filter, FL::string_filter, QRVAPBStringFilter::messageClass());
    QRVAAudienceOutcome outcome;
    if (numberFilter) {
        outcome = evaluateNumberValue(numberFilter, filter, value);
    } else if (stringFilter) {
        if (!value.isString()) {
            QRVALog(1, 7003, "Value is not a string. Audience filter will not be evaluated",
                     ns::Array{context(value), context(filter)});
            return std::nullopt;
        }
        outcome = QRVAAudienceEvaluateStringFilterWithString(stringFilter, value.stringValue());
    } else {
        QRVALog(1, 7000, "Filter has neither a number nor string filter. Audience filter will not be evaluated",
                 ns::Array{context(value), context(filter)});
        return std::nullopt;
    }
    if (outcome && isTrue(filter, FL::complement)) return !*outcome;
    return outcome;
}

bool QRVAAudienceIsValidNumberFilter(NANOMessageRef numberFilter) {
    auto type = presentUInt32(numberFilter, NF::comparison_type);
    if (!type) {
        QRVALog(1, 8006, "Number filter has no comparison type", ns::Array{context(numberFilter)});
        return false;
    }
    switch (*type) {
        case kQRVAComparisonLessThan:
        case kQRVAComparisonGreaterThan:
        case kQRVAComparisonEqual:
            return hasNumericOperand(numberFilter, NF::comparison_value, 8008,
                                     "Numeric filter does not have a valid comparison value. Filter");
        case kQRVAComparisonBetween: {
            bool minimum = hasNumericOperand(numberFilter, NF::min_comparison_value, 8009,
                                             "Numeric filter does not have a valid min comparison value. Filter");
            bool maximum = hasNumericOperand(numberFilter, NF::max_comparison_value, 8010,
                                             "Numeric filter does not have a valid max comparison value. Filter");
            return minimum && maximum;
        }
        case kQRVAComparisonUnknown:
            QRVALog(1, 8007, "Number filter has unknown comparison type", ns::Array{context(numberFilter)});
            return false;
        default:
            QRVALog(1, 8011, "Number filter has a real unknown comparison type", ns::Array{context(numberFilter)});
            return false;
    }
}

QRVAAudienceOutcome QRVAAudienceEvaluateNumberFilterWithDouble(NANOMessageRef numberFilter, double value) {
    if (!QRVAAudienceIsValidNumberFilter(numberFilter)) return std::nullopt;
    uint32_t type = static_cast<uint32_t>(NANOGetInt32(numberFilter, NF::comparison_type));
    Operands fields = operandsOf(type);
    auto first = formatterDouble(numberFilter, fields.first);
    auto second = fields.second ? formatterDouble(numberFilter, *fields.second) : first;
    if (!first || !second) {
        QRVALog(1, 8012,
                 "Number filter is invalid, the comparison filter is not valid. Audience filter will not be evaluated",
                 ns::Array{context(numberFilter)});
        return std::nullopt;
    }
    double c = *first;
    switch (type) {
        case kQRVAComparisonLessThan: return value < c;
        case kQRVAComparisonGreaterThan: return value > c;
        case kQRVAComparisonEqual: {
            // The operand's text may round to either neighbour of the value
            // the app computed: two steps each way still count as equal.
            double lo = std::nextafter(std::nextafter(c, -INFINITY), -INFINITY);
            double hi = std::nextafter(std::nextafter(c, INFINITY), INFINITY);
            return lo < value && value < hi;
        }
        default: return c <= value && value <= *second;
    }
}

QRVAAudienceOutcome QRVAAudienceEvaluateNumberFilterWithInt64(NANOMessageRef numberFilter, int64_t value) {
    return QRVAAudienceEvaluateNumberFilterWithDecimalNumber(numberFilter, ns::DecimalNumber::fromInt64(value));
}

QRVAAudienceOutcome QRVAAudienceEvaluateNumberFilterWithDecimalNumber(NANOMessageRef numberFilter,
                                                                      const ns::DecimalNumber& value) {
    if (!QRVAAudienceIsValidNumberFilter(numberFilter)) return std::nullopt;
    uint32_t type = static_cast<uint32_t>(NANOGetInt32(numberFilter, NF::comparison_type));
    auto parse = [&](int32_t field, int64_t code, const char* message) {
        auto decimal = QRVAParseNumericValueFromString(NANOGetString(numberFilter, field).value_or(""));
        if (!decimal) QRVALog(1, code, message, ns::Array{context(numberFilter)});
        return decimal;
    };
    std::optional<ns::DecimalNumber> first, second;
    if (type == kQRVAComparisonBetween) {
        first = parse(NF::min_comparison_value, 8004, "Number filter min comparison value is not a number");
        if (first) second = parse(NF::max_comparison_value, 8005, "Number filter max comparison value is not a number");
    } else {
        first = parse(NF::comparison_value, 8002, "Number filter comparison value is not a number");
        second = first;
    }
    if (!first || !second) {
        QRVALog(1, 8015,
                 "Parsed decimal number comparison values are not valid. Audience filter will not be evaluated. "
                 "Filter",
                 ns::Array{context(numberFilter)});
        return std::nullopt;
    }
    switch (type) {
        case kQRVAComparisonLessThan: return value.compare(*first) < 0;
        case kQRVAComparisonGreaterThan: return value.compare(*first) > 0;
        case kQRVAComparisonEqual: return value.compare(*first) == 0;
        default: return value.compare(*first) >= 0 && value.compare(*second) <= 0;
    }
}

bool QRVAAudienceInternalIsValidStringFilter(NANOMessageRef stringFilter,
                                             std::shared_ptr<ns::RegularExpression>* expression) {
    auto type = presentUInt32(stringFilter, SF::match_type);
    if (!type) {
        QRVALog(1, 9000, "String filter has no match type", ns::Array{context(stringFilter)});
        return false;
    }
    if (*type == kQRVAMatchInList) {
        auto list = NANOGetArray(stringFilter, SF::expression_list);
        if (list && !list->empty()) return true;
        QRVALog(1, 9003, "String filter has no expression list", ns::Array{context(stringFilter)});
        return false;
    }
    if (*type == kQRVAMatchUnknown) {
        QRVALog(1, 9001, "String filter has unknown match type", ns::Array{context(stringFilter)});
        return false;
    }
    auto pattern = NANOGetString(stringFilter, SF::expression);
    if (!NANOHasField(stringFilter, SF::expression) || !pattern) {
        QRVALog(1, 9002, "String filter has no expression", ns::Array{context(stringFilter)});
        return false;
    }
    if (*type != kQRVAMatchRegexp) return true;
    ns::ErrorRef error;
    auto compiled = ns::RegularExpression::make(*pattern, !isTrue(stringFilter, SF::case_sensitive), &error);
    if (!compiled) {
        QRVALog(1, 9004, "Unable to parse regular expression",
                 ns::Array{context(stringFilter), error ? ns::Value(std::const_pointer_cast<ns::Error>(error)) : ns::Value()});
        return false;
    }
    if (expression) *expression = std::move(compiled);
    return true;
}

bool QRVAAudienceIsValidStringFilter(NANOMessageRef stringFilter) {
    return QRVAAudienceInternalIsValidStringFilter(stringFilter, nullptr);
}

QRVAAudienceOutcome QRVAAudienceEvaluateStringFilterWithString(NANOMessageRef stringFilter, const std::string* string) {
    if (!string) {
        QRVALog(1, 9005, "Evaluation string is nil. Audience filter will not be evaluated", ns::Array{context(stringFilter)});
        return std::nullopt;
    }
    std::shared_ptr<ns::RegularExpression> expression;
    auto invalid = [&] {
        QRVALog(1, 9006, "String filter is invalid. Audience filter will not be evaluated", ns::Array{context(stringFilter)});
        return std::nullopt;
    };
    if (!QRVAAudienceInternalIsValidStringFilter(stringFilter, &expression)) return invalid();
    uint32_t type = static_cast<uint32_t>(NANOGetInt32(stringFilter, SF::match_type));
    bool caseSensitive = isTrue(stringFilter, SF::case_sensitive);
    if (type == kQRVAMatchRegexp) {
        // A search stopped by its time or stack limit is no answer at all.
        ns::ErrorRef error;
        bool found = expression->firstMatch(*string, &error);
        if (error) return invalid();
        return found;
    }
    if (type == kQRVAMatchInList) {
        for (const auto& element : NANOGetArray(stringFilter, SF::expression_list).value_or(ns::Array{})) {
            const std::string* listed = element.stringOrNull();
            if (!listed) continue;
            auto matched = matchesExpression(kQRVAMatchExact, *listed, *string, caseSensitive);
            if (!matched) return invalid();
            if (*matched) return true;
        }
        return false;
    }
    if (type > kQRVAMatchInList) return false;
    auto matched = matchesExpression(type, NANOGetString(stringFilter, SF::expression).value_or(""), *string,
                                     caseSensitive);
    if (!matched) return invalid();
    return matched;
}
