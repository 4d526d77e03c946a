#include "analytics/QRVAEvent.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "analytics/QRVADataTypeValidator.h"
#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAUtilities.h"
#include "analytics/QRVAWire.h"
#include "platform/format.h"

namespace F = QRVAPBField;
namespace W = qrvawire;
using Validator = QRVADataTypeValidator;

namespace {

constexpr std::string_view kErrorKeys[] = {"_err", "_ev", "_el"};

bool holdsAnyErrorKey(const QRVAParameters& parameters) {
    return std::any_of(std::begin(kErrorKeys), std::end(kErrorKeys),
                       [&](std::string_view key) { return parameters.contains(key); });
}

bool isErrorKey(std::string_view key) {
    return std::find(std::begin(kErrorKeys), std::end(kErrorKeys), key) != std::end(kErrorKeys);
}

bool isPublicKey(std::string_view key) {
    return !key.empty() && key.front() != '_';
}

// What a caller's object already is, when it is a QRVAValue.
const QRVAValue* givenValue(const ns::Value& object) {
    return object.isObject() ? dynamic_cast<const QRVAValue*>(object.asObject().get()) : nullptr;
}
const QRVAValue* givenValue(const QRVAValue& value) {
    return &value;
}

std::optional<QRVAValue> converted(const ns::Value& object) {
    return QRVAValue::valueFromObject(object);
}
std::optional<QRVAValue> converted(const QRVAValue& value) {
    return value;
}

std::string classNameOf(const ns::Value& object) {
    return QRVAObjectRef(object).className();
}
std::string classNameOf(const QRVAValue&) {
    return "QRVAValue";
}

// "_ev" carries text that was cut already ("..." after 256 code points); a
// longer one is cut here, once, and its full length kept in "_el".
bool isOverlongErrorValue(const QRVAValue& value, QRVAParameters& replacements) {
    const std::string* text = value.stringValue();
    if (!text) return false;
    const size_t length = qrva_UTF32Length(*text);
    const size_t max = kQRVADataTypeInternalEventParameterMaxValueLength;
    if (length <= max || (length == max + 3 && text->ends_with("..."))) return false;
    QRVAAddErrorValueAndLengthParameters(replacements, *text, max, *text);
    return true;
}

// Keeps the kQRVAMaxPublicEventParameters public keys that sort first.
void limitPublicParameters(QRVAParameters& parameters) {
    const auto count = std::count_if(parameters.begin(), parameters.end(),
                                     [](const QRVAParameters::Entry& entry) { return isPublicKey(entry.first); });
    if (size_t(count) <= kQRVAMaxPublicEventParameters) return;
    std::vector<std::string_view> publicKeys;
    for (const auto& entry : parameters)
        if (isPublicKey(entry.first)) publicKeys.push_back(entry.first);
    std::sort(publicKeys.begin(), publicKeys.end());
    std::vector<std::string> removed(publicKeys.begin() + kQRVAMaxPublicEventParameters, publicKeys.end());
    parameters.removeIf([&](const QRVAParameters::Entry& entry) {
        return std::binary_search(removed.begin(), removed.end(), entry.first);
    });
    QRVAAddErrorParameter(parameters, kQRVAErrorParameterLimitReached);
    QRVAMeasurementMonitor()->logWithLevel(
        1, 16001, ns::format("Event cannot contain more than %d parameters", int(kQRVAMaxPublicEventParameters)));
}

// Every key's value is checked in the given order, so the first fault is
// the one the event reports. Converted values and error parameters meet in
// one set of replacements, as a value given for "_err" and the record of a
// fault compete for the same key: whichever was written last wins, and the
// replacements win over what the caller gave. Only the three error keys can
// be written twice, so only they are kept apart until the merge.
template <class V>
QRVAParameters normalize(const QRVAOrderedDictionary<V>& input, bool isPublicEvent) {
    QRVAParameters result;
    QRVAParameters replacements;
    if (input.empty()) return result;
    result.reserve(input.size() + 3);
    size_t dropped = 0;
    for (const auto& [key, object] : input) {
        if (!QRVAEvent::isValidParameterKey(key, isPublicEvent, replacements)) {
            ++dropped;
            continue;
        }
        const QRVAValue* given = givenValue(object);
        std::optional<QRVAValue> value = given ? std::optional<QRVAValue>() : converted(object);
        if (!given && !value) {
            QRVAMeasurementMonitor()->logWithLevel(
                4, 16000, "Event parameter value must be of type NSString or NSNumber. Type",
                ns::Value(classNameOf(object)));
            ++dropped;
            continue;
        }
        const QRVAValue& checked = given ? *given : *value;
        int64_t failure = 0;
        bool valid = true;
        if (isPublicEvent) {
            // Within the public limit is within the internal one.
            valid = Validator::isValidPublicEventParameterValue(checked, &failure);
        } else if (key == "_ev") {
            if (isOverlongErrorValue(checked, replacements)) {
                ++dropped;
                continue;
            }
        } else {
            valid = Validator::isValidInternalEventParameterValue(checked, &failure);
        }
        if (!valid) {
            ++dropped;
            if (failure == kQRVAFailureTooLong && !holdsAnyErrorKey(replacements)) {
                QRVAAddErrorParameters(replacements, kQRVAErrorInvalidParameterValue, key,
                                       kQRVADataTypeEventParameterMaxNameLength, *checked.stringValue());
            }
            continue;
        }
        if (!given && isErrorKey(key)) replacements.set(key, checked);
        result.append(key, given ? *given : std::move(*value));
    }
    if (dropped == input.size()) return replacements;
    for (auto& [key, value] : replacements) result.set(key, value);
    return result;
}

}  // namespace

int64_t qrva_millisecondsFromSeconds(double seconds) {
    const double millis = seconds * 1000.0;
    if (std::isnan(millis)) return 0;
    if (millis >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    if (millis <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(millis);
}

QRVAParameters QRVAEvent::normalizedParametersForParameters(const QRVAObjectParameters& parameters,
                                                            bool isPublicEvent) {
    QRVAParameters result = normalize(parameters, isPublicEvent);
    limitPublicParameters(result);
    return result;
}

QRVAParameters QRVAEvent::normalizedParametersForParameters(const QRVAParameters& parameters, bool isPublicEvent) {
    QRVAParameters result = normalize(parameters, isPublicEvent);
    limitPublicParameters(result);
    return result;
}

bool QRVAEvent::isValidParameterKey(std::string_view key, bool isPublicEvent, QRVAParameters& errorParameters) {
    int64_t failure = 0;
    // A public name is an internal name too, with the same limit.
    if (isPublicEvent ? Validator::isValidPublicEventParameterName(key, &failure)
                      : Validator::isValidInternalEventParameterName(key, &failure)) {
        return true;
    }
    if (failure != kQRVAFailureNone) {
        const int64_t code =
            failure == kQRVAFailureReserved ? kQRVAErrorParameterNameIsReserved : kQRVAErrorInvalidParameterName;
        const auto text = QRVAObjectRef(key).string();
        const bool longKey = text && qrva_UTF32Length(*text) > size_t(kQRVADataTypeEventParameterMaxNameLength);
        QRVAAddErrorParameters(errorParameters, code, key, kQRVADataTypeEventParameterMaxNameLength,
                               longKey ? QRVAObjectRef(key) : QRVAObjectRef(nullptr));
    }
    return false;
}

template <class Input>
std::optional<QRVAEvent> QRVAEvent::make(std::string_view origin, bool isPublic, std::string_view name,
                                         double timestamp, double previousTimestamp, const Input& parameters) {
    int64_t failure = 0;
    if (!Validator::isValidForwardedEventOrigin(origin, &failure) &&
        (failure != kQRVAFailureNotForwarded || !Validator::isValidInternalEventOrigin(origin))) {
        return std::nullopt;
    }
    // A public name is an internal name too, with the same limit.
    if (isPublic ? !Validator::isValidPublicEventName(name) : !Validator::isValidInternalEventName(name)) {
        return std::nullopt;
    }
    if (previousTimestamp > timestamp) {
        QRVAMeasurementMonitor()->logWithLevel(4, 16002,
                                               "Event created with previous timestamp after current timestamp");
    }
    QRVAEvent event;
    event.origin_ = origin;
    event.name_ = name;
    event.timestamp_ = timestamp;
    event.previousTimestamp_ = previousTimestamp;
    event.parameters_ = normalizedParametersForParameters(parameters, isPublic);
    event.parameters_.set("_o", QRVAValue::string(event.origin_));
    return event;
}

std::optional<QRVAEvent> QRVAEvent::initWithOrigin(std::string_view origin, bool isPublic, std::string_view name,
                                                   double timestamp, double previousTimestamp,
                                                   const QRVAObjectParameters& parameters) {
    return make(origin, isPublic, name, timestamp, previousTimestamp, parameters);
}

std::optional<QRVAEvent> QRVAEvent::initWithOrigin(std::string_view origin, bool isPublic, std::string_view name,
                                                   double timestamp, double previousTimestamp,
                                                   const QRVAParameters& parameters) {
    return make(origin, isPublic, name, timestamp, previousTimestamp, parameters);
}

std::optional<QRVAEvent> QRVAEvent::copyWithPreviousTimestamp(double previousTimestamp) const {
    return make(origin_, false, name_, timestamp_, previousTimestamp, parameters_);
}

std::optional<QRVAEvent> QRVAEvent::copyWithParameters(const QRVAParameters& parameters) const {
    return make(origin_, false, name_, timestamp_, previousTimestamp_, parameters);
}

namespace {

bool isSetFlag(const QRVAParameters& parameters, std::string_view key) {
    const QRVAValue* value = parameters.find(key);
    return value && value->isInt64() && value->int64Value() == 1;
}

void setFlag(QRVAParameters& parameters, std::string_view key, bool set) {
    if (set) {
        parameters.set(key, QRVAValue(int64_t(1)));
    } else {
        parameters.remove(key);
    }
}

}  // namespace

bool QRVAEvent::isConversion() const {
    return isSetFlag(parameters_, "_c");
}

bool QRVAEvent::isRealtime() const {
    const QRVAValue* value = parameters_.find("_r");
    if (value && !value->isInt64()) {
        QRVAMeasurementMonitor()->logWithLevel(1, 16006, "Realtime parameter must be an int64. Event name",
                                               ns::Value(name_));
    }
    return isSetFlag(parameters_, "_r");
}

bool QRVAEvent::isDebug() const {
    return isSetFlag(parameters_, "_dbg");
}

void QRVAEvent::setConversion(bool conversion) {
    if (conversion) {
        parameters_.set("_c", QRVAValue(int64_t(1)));
        const QRVAValue* error = parameters_.find("_err");
        if (error && error->isInt64() && error->int64Value() == kQRVAErrorConversionEventLimitReached) {
            parameters_.remove("_err");
        }
    } else if (parameters_.remove("_c")) {
        QRVAAddErrorParameter(parameters_, kQRVAErrorConversionEventLimitReached);
    }
}

void QRVAEvent::setRealtime(bool realtime) {
    setFlag(parameters_, "_r", realtime);
}

void QRVAEvent::setDebug(bool debug) {
    setFlag(parameters_, "_dbg", debug);
}

namespace {

// The text of a string or of a string QRVAValue.
std::optional<std::string_view> screenText(const ns::Value& object) {
    QRVAObjectRef ref(object);
    if (const QRVAValue* value = ref.qrvaValue()) {
        if (const std::string* text = value->stringValue()) return *text;
        return std::nullopt;
    }
    return ref.string();
}

bool isScreenID(const ns::Value& object) {
    const QRVAValue* value = givenValue(object);
    return value ? value->isInt64() : (object.isNumber() || object.isBool());
}

}  // namespace

bool QRVAEvent::addScreenParameters(const QRVAObjectParameters& screen) {
    if (screen.empty() || parameters_.contains("_sn") || parameters_.contains("_sc") || parameters_.contains("_si")) {
        return false;
    }
    const ns::Value* screenClass = screen.find("_sc");
    const ns::Value* screenID = screen.find("_si");
    if (!screenClass || !screenID) return false;
    std::optional<std::string_view> classText = screenText(*screenClass);
    if (!classText) return false;
    if (!Validator::isValidScreenParameterValue(*classText)) {
        QRVAMeasurementMonitor()->logWithLevel(4, 16003, "Received invalid screen class", *screenClass);
        return false;
    }
    if (!isScreenID(*screenID)) return false;
    const ns::Value* screenName = screen.find("_sn");
    if (screenName) {
        std::optional<std::string_view> nameText = screenText(*screenName);
        if (!nameText || !Validator::isValidScreenParameterValue(*nameText)) {
            QRVAMeasurementMonitor()->logWithLevel(4, 16004, "Received invalid screen name", *screenName);
            return false;
        }
        parameters_.append("_sn", *QRVAValue::valueFromObject(*screenName));
    }
    parameters_.append("_sc", *QRVAValue::valueFromObject(*screenClass));
    parameters_.append("_si", *QRVAValue::valueFromObject(*screenID));
    return true;
}

std::shared_ptr<QRVAPBEvent> QRVAEvent::protoEvent() const {
    auto event = QRVAPBEvent::message();
    NANOSetString(event, F::Event::name, name_);
    if (previousTimestamp_ > DBL_EPSILON) {
        NANOSetInt64(event, F::Event::previous_timestamp_millis, qrva_millisecondsFromSeconds(previousTimestamp_));
    }
    NANOSetInt64(event, F::Event::timestamp_millis, qrva_millisecondsFromSeconds(timestamp_));
    std::vector<std::shared_ptr<QRVAPBEventParam>> params;
    params.reserve(parameters_.size());
    for (const auto& [key, value] : parameters_) {
        auto param = QRVAPBEventParam::message();
        NANOSetString(param, F::EventParam::name, key);
        switch (value.valueType()) {
            case QRVAValue::kDouble: NANOSetDouble(param, F::EventParam::double_value, value.doubleValue()); break;
            case QRVAValue::kInt64: NANOSetInt64(param, F::EventParam::int_value, value.int64Value()); break;
            case QRVAValue::kString: NANOSetString(param, F::EventParam::string_value, *value.stringValue()); break;
        }
        params.push_back(std::move(param));
    }
    // The parameters were made for this event only: moved in, not copied.
    QRVAPBMoveMessages(event, F::Event::params, params);
    return event;
}

namespace {

// Every key protoEvent() writes is one byte, which the sizes below rely on.
static_assert(W::varintSize(W::kEventParams) == 1 && W::varintSize(W::kEventName) == 1 &&
              W::varintSize(W::kEventTimestamp) == 1 && W::varintSize(W::kEventPreviousTimestamp) == 1 &&
              W::varintSize(W::kParamName) == 1 && W::varintSize(W::kParamString) == 1 &&
              W::varintSize(W::kParamInt) == 1 && W::varintSize(W::kParamDouble) == 1);

// Wire sizes, as nanopb writes the fields protoEvent() sets: integers are
// varints of their 64-bit pattern (ten bytes when negative), doubles eight
// bytes.
size_t int64FieldSize(int64_t value) {
    return 1 + W::varintSize(static_cast<uint64_t>(value));
}

size_t paramSize(const std::string& key, const QRVAValue& value) {
    size_t size = W::delimitedSize(W::kParamName, key.size());
    switch (value.valueType()) {
        case QRVAValue::kDouble: return size + 1 + sizeof(double);
        case QRVAValue::kInt64: return size + int64FieldSize(value.int64Value());
        case QRVAValue::kString: return size + W::delimitedSize(W::kParamString, value.stringValue()->size());
    }
    return size;
}

}  // namespace

size_t QRVAEvent::protoEventSize() const {
    size_t size = W::delimitedSize(W::kEventName, name_.size()) +
                  int64FieldSize(qrva_millisecondsFromSeconds(timestamp_));
    if (previousTimestamp_ > DBL_EPSILON) size += int64FieldSize(qrva_millisecondsFromSeconds(previousTimestamp_));
    for (const auto& [key, value] : parameters_) size += W::delimitedSize(W::kEventParams, paramSize(key, value));
    return size;
}

// The fields in tag order: params (name, then the value), name, timestamp,
// previous timestamp.
void QRVAEvent::appendProtoEvent(ns::Data& out) const {
    for (const auto& [key, value] : parameters_) {
        W::appendDelimitedHead(out, W::kEventParams, paramSize(key, value));
        W::appendDelimited(out, W::kParamName, key);
        switch (value.valueType()) {
            case QRVAValue::kDouble:
                W::appendFixed64Field(out, W::kParamDouble, std::bit_cast<uint64_t>(value.doubleValue()));
                break;
            case QRVAValue::kInt64:
                W::appendVarintField(out, W::kParamInt, static_cast<uint64_t>(value.int64Value()));
                break;
            case QRVAValue::kString: W::appendDelimited(out, W::kParamString, *value.stringValue()); break;
        }
    }
    W::appendDelimited(out, W::kEventName, name_);
    W::appendVarintField(out, W::kEventTimestamp, static_cast<uint64_t>(qrva_millisecondsFromSeconds(timestamp_)));
    if (previousTimestamp_ > DBL_EPSILON) {
        W::appendVarintField(out, W::kEventPreviousTimestamp,
                             static_cast<uint64_t>(qrva_millisecondsFromSeconds(previousTimestamp_)));
    }
}

namespace {

// A parameter's value as the event model reads it: text, then an integer,
// then a double; a float alone is no value it accepts.
std::optional<QRVAValue> paramValue(const NANOMessagePtr& param) {
    if (NANOHasField(param, F::EventParam::string_value)) {
        if (auto text = NANOGetString(param, F::EventParam::string_value)) return QRVAValue::string(std::move(*text));
    }
    if (NANOHasField(param, F::EventParam::int_value)) return QRVAValue(NANOGetInt64(param, F::EventParam::int_value));
    if (NANOHasField(param, F::EventParam::double_value)) {
        return QRVAValue(NANOGetDouble(param, F::EventParam::double_value));
    }
    return std::nullopt;
}

}  // namespace

std::optional<QRVAEvent> QRVAEvent::initWithEventProto(NANOMessageRef proto) {
    const std::string name = NANOGetString(proto, F::Event::name).value_or("");
    const double timestamp = double(NANOGetInt64(proto, F::Event::timestamp_millis)) / 1000.0;
    const double previous = NANOHasField(proto, F::Event::previous_timestamp_millis)
                                ? double(NANOGetInt64(proto, F::Event::previous_timestamp_millis)) / 1000.0
                                : 0.0;
    std::string origin;
    QRVAParameters parameters;
    auto params = NANOGetArray(proto, F::Event::params, &QRVAPBEventParam::messageClass());
    for (const ns::Value& element : params.value_or(ns::Array())) {
        auto param = element.asObjectOf<NANOMessageBase>();
        std::optional<std::string> key = NANOGetString(param, F::EventParam::name);
        if (!key) {
            QRVAMeasurementMonitor()->logWithLevel(1, 15000, "Ignoring parameter. Parameter name is nil. Event name",
                                                   ns::Value(name));
            continue;
        }
        std::optional<QRVAValue> value = paramValue(param);
        if (*key == "_o") {
            if (!value || !value->isString()) {
                QRVAMeasurementMonitor()->logWithLevel(
                    1, 15001, "Cannot create an event from event proto. Origin parameter is not a string. Event name",
                    ns::Value(name));
                return std::nullopt;
            }
            origin = *value->stringValue();
        }
        if (!value) {
            QRVAMeasurementMonitor()->logWithLevel(
                4, 15002,
                "Unknown event parameter type from converting an event proto into QRVAEvent instance. Event param name",
                ns::Value(QRVAFormattedParameterName(*key)));
            continue;
        }
        // "_o" keeps its place; the initialiser writes the origin over it.
        parameters.set(*key, std::move(*value));
    }
    return make(origin, false, name, timestamp, previous, parameters);
}
