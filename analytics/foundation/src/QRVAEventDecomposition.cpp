// An event whose parameters hold arrays of dictionaries, split into its main
// event and one "_ep" child event per dictionary.
#include <algorithm>
#include <memory>

#include "analytics/QRVADataTypeValidator.h"
#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAMonitor.h"
#include "platform/unicode.h"
#include "platform/utf8.h"

namespace {

constexpr uint32_t kMaxErrorValueLength = kQRVADataTypeEventParameterMaxNameLength;

// These lines always carry three contexts, the missing ones nil.
const ns::Value& kNil = ns::nullValue();

bool isNumberOrString(const ns::Value& value) {
    return value.isNumber() || value.isBool() || (value.isString() && ns::utf8::isValid(value.asString()));
}

// A dictionary element keeps its order when it is a QRVAObjectParameters;
// an ns::Dictionary comes in its key order.
std::optional<QRVAObjectParameters> dictionaryOf(const ns::Value& element) {
    if (element.isDictionary()) return QRVAObjectParameters(element.asDictionary());
    if (auto parameters = element.asObjectOf<QRVAObjectParameters>()) return *parameters;
    return std::nullopt;
}

ns::Value describable(const QRVAObjectParameters& parameters) {
    return ns::Value(std::make_shared<QRVAObjectParameters>(parameters));
}

}  // namespace

bool QRVAHasArrayParameters(const QRVAObjectParameters& parameters) {
    return std::any_of(parameters.begin(), parameters.end(),
                       [](const QRVAObjectParameters::Entry& entry) { return entry.second.isArray(); });
}

std::optional<std::vector<std::string>> QRVASortedParamKeysFromEvent(const QRVAObjectParameters& parameters,
                                                                     bool isPublicEvent, QRVAParameters& errors) {
    if (parameters.empty()) return std::nullopt;
    std::vector<const QRVAObjectParameters::Entry*> entries;
    entries.reserve(parameters.size());
    for (const auto& entry : parameters) entries.push_back(&entry);
    std::stable_sort(entries.begin(), entries.end(), [](const auto* a, const auto* b) {
        return ns::unicode::compareLocalized(a->first, b->first, "en_US") < 0;
    });
    std::vector<std::string> keys;
    keys.reserve(entries.size());
    for (const auto* entry : entries) {
        const auto& [key, value] = *entry;
        if (!QRVAEvent::isValidParameterKey(key, isPublicEvent, errors)) continue;
        if (!isNumberOrString(value) && !value.isArray()) {
            QRVALog(1, 18005,
                    "Invalid event parameter. Parameter must be a number, string or array. Param key, param value",
                    ns::Value(key), value, kNil);
            QRVAAddErrorParameters(errors, kQRVAErrorInvalidParameterValue, key, kMaxErrorValueLength, nullptr);
        }
        keys.push_back(key);
    }
    return keys;
}

std::optional<std::vector<QRVAEvent>> QRVAExtractChildEventsFromParamValue(
    const ns::Array& array, std::string_view origin, bool isPublicEvent, std::string_view mainEventName,
    QRVAObjectRef groupName, int64_t eventID, QRVAParameters& errors, double timestamp) {
    if (mainEventName.empty()) {
        QRVALog(1, 18006, "Cannot create child events. Main event name cannot be nil", kNil, kNil, kNil);
        return std::nullopt;
    }
    std::optional<std::string_view> group = groupName.string();
    if (!group) {
        QRVALog(1, 18007, "Cannot create child events. Event's group name cannot be nil", kNil, kNil, kNil);
        return std::nullopt;
    }
    if (array.empty()) return std::nullopt;
    if (array.size() > size_t(kQRVAMeasurementMaxExtraParamEventsCountPerParam)) {
        QRVALog(1, 18008, "Event has too many extra param events. Dropping all of extra param events. Event name",
                ns::Value(mainEventName), kNil, kNil);
        QRVAAddErrorParameters(errors, kQRVAErrorTooManyExtraParamEvents, *group, kMaxErrorValueLength, nullptr);
        return std::nullopt;
    }
    auto failAll = [&]() -> std::optional<std::vector<QRVAEvent>> {
        QRVALog(1, 18010, "Couldn't create extra param event. Original event name, param key, param value",
                ns::Value(mainEventName), ns::Value(*group), ns::Value(array));
        QRVAAddErrorParameters(errors, kQRVAErrorInvalidParameterValue, *group, kMaxErrorValueLength, nullptr);
        return std::nullopt;
    };
    std::vector<QRVAEvent> children;
    int64_t index = 0;
    for (const ns::Value& element : array) {
        std::optional<QRVAObjectParameters> dictionary = dictionaryOf(element);
        if (!dictionary) {
            QRVALog(1, 18009, "Invalid extra param structure. Must be a dictionary. Parameters", element, kNil, kNil);
            QRVAAddErrorParameters(errors, kQRVAErrorInvalidParameterValue, *group, kMaxErrorValueLength, nullptr);
            break;
        }
        if (dictionary->empty()) continue;
        QRVAParameters parameters = QRVAEvent::normalizedParametersForParameters(*dictionary, isPublicEvent);
        if (parameters.empty()) return failAll();
        parameters.set("_eid", QRVAValue(eventID));
        parameters.set("_gn", QRVAValue::string(std::string(*group)));
        parameters.set("_en", QRVAValue::string(std::string(mainEventName)));
        parameters.set("_i", QRVAValue(index));
        auto child = QRVAEvent::initWithOrigin(origin, false, "_ep", timestamp, 0, parameters);
        if (!child) {
            QRVALog(2, 18011, "Cannot create a child event. Original name, group name", ns::Value(mainEventName),
                    ns::Value(*group), kNil);
            return failAll();
        }
        children.push_back(std::move(*child));
        ++index;
    }
    return children;
}

std::optional<QRVAEvent> QRVAValidatedMainEvent(const std::optional<QRVAEvent>& mainEvent, int64_t eventID,
                                                const QRVAOrderedDictionary<int64_t>& childCounts,
                                                const QRVAParameters& errors) {
    if (!mainEvent) return std::nullopt;
    QRVAParameters parameters = mainEvent->parameters();
    if (!parameters.empty()) {
        int64_t sum = 0;
        for (const auto& [key, count] : childCounts) sum += count;
        const auto total = static_cast<int32_t>(sum);
        if (total >= 1) {
            parameters.set("_epc", QRVAValue(int64_t(total)));
            parameters.set("_eid", QRVAValue(eventID));
        }
    }
    for (const auto& [key, value] : errors) parameters.set(key, value);
    return mainEvent->copyWithParameters(parameters);
}

std::optional<std::vector<QRVAEvent>> QRVADecomposeEvent(int64_t eventID, std::string_view name,
                                                         std::string_view origin,
                                                         const QRVAObjectParameters& parameters, bool isPublicEvent,
                                                         double timestamp) {
    QRVAParameters errors;
    auto keys = QRVASortedParamKeysFromEvent(parameters, isPublicEvent, errors);
    QRVAObjectParameters mainParameters;
    QRVAOrderedDictionary<int64_t> childCounts;
    std::vector<QRVAEvent> children;
    for (const std::string& key : keys.value_or(std::vector<std::string>())) {
        const ns::Value& value = *parameters.find(key);
        if (isNumberOrString(value)) {
            mainParameters.append(key, value);
            continue;
        }
        if (!value.isArray()) continue;
        auto made = QRVAExtractChildEventsFromParamValue(value.asArray(), origin, isPublicEvent, name, key, eventID,
                                                         errors, timestamp);
        if (!made || made->empty()) continue;
        const auto count = static_cast<int64_t>(made->size());
        for (QRVAEvent& child : *made) {
            child.mutableParameters().set("_ll", QRVAValue(count));
            children.push_back(std::move(child));
        }
        mainParameters.append(key, ns::Value(static_cast<long long>(count)));
        childCounts.append(key, count);
    }
    auto mainEvent = QRVAEvent::initWithOrigin(origin, isPublicEvent, name, timestamp, 0, mainParameters);
    auto validated = QRVAValidatedMainEvent(mainEvent, eventID, childCounts, errors);
    if (!validated) {
        QRVALog(1, 18013, "Main event is nil. Origin, name, params", ns::Value(origin), ns::Value(name),
                describable(mainParameters));
        return std::nullopt;
    }
    std::vector<QRVAEvent> events;
    events.reserve(children.size() + 1);
    events.push_back(std::move(*validated));
    for (QRVAEvent& child : children) events.push_back(std::move(child));
    return events;
}
