#include "analytics/QRVAValue.h"

#include <functional>

#include "analytics/QRVAMonitor.h"
#include "platform/utf8.h"

namespace {

bool isNumberObject(const ns::Value& v) {
    return v.isNumber() || v.isBool();
}

}  // namespace

std::optional<QRVAValue> QRVAValue::valueFromObject(const ns::Value& object) {
    if (object.isNull()) {
        QRVAMeasurementMonitor()->logWithLevel(0, 35000, "Cannot create Value type with nil value");
        return std::nullopt;
    }
    if (auto value = object.asObjectOf<QRVAValue>()) return *value;
    if (object.isString() && ns::utf8::isValid(object.asString())) return QRVAValue(Text{object.asString()});
    if (isNumberObject(object)) {
        if (object.isDouble()) return QRVAValue(object.asDouble());
        // A number beyond INT64_MAX reads back as its long long value, as
        // Foundation's would.
        if (object.type() == ns::Value::Type::UInt) return QRVAValue(static_cast<int64_t>(object.asUInt()));
        return QRVAValue(object.isBool() ? int64_t(object.asBool()) : object.asInt());
    }
    QRVAMeasurementMonitor()->logWithLevel(
        0, 35001, "Cannot create Value type with unsupported value. The Value has to be NSNumber or NSString. Value",
        object);
    return std::nullopt;
}

std::optional<QRVAValue> QRVAValue::initWithString(const ns::Value& object) {
    if (object.isNull()) {
        QRVAMeasurementMonitor()->logWithLevel(0, 35002, "Cannot create String value with nil");
        return std::nullopt;
    }
    if (!object.isString() || !ns::utf8::isValid(object.asString())) {
        QRVAMeasurementMonitor()->logWithLevel(0, 35003, "Cannot create String value with non-string value. Value",
                                               object);
        return std::nullopt;
    }
    return QRVAValue(Text{object.asString()});
}

ns::Value QRVAValue::value() const {
    switch (valueType()) {
        case kDouble: return ns::Value(std::get<double>(value_));
        case kInt64: return ns::Value(static_cast<long long>(std::get<int64_t>(value_)));
        case kString: break;
    }
    return ns::Value(std::get<Text>(value_).text);
}

size_t QRVAValue::hash() const {
    size_t held = 0;
    switch (valueType()) {
        case kDouble: held = std::hash<double>()(std::get<double>(value_)); break;
        case kInt64: held = std::hash<int64_t>()(std::get<int64_t>(value_)); break;
        case kString: held = std::hash<std::string>()(std::get<Text>(value_).text); break;
    }
    return (static_cast<size_t>(valueType()) * 31) ^ held;
}

std::string QRVAValue::description() const {
    switch (valueType()) {
        case kDouble: return ns::formatDouble(std::get<double>(value_));
        case kInt64: return std::to_string(std::get<int64_t>(value_));
        case kString: break;
    }
    return std::get<Text>(value_).text;
}

QRVAObjectParameters::QRVAObjectParameters(const ns::Dictionary& dictionary) {
    reserve(dictionary.size());
    for (const auto& [key, value] : dictionary) append(key, value);
}

QRVAObjectParameters::QRVAObjectParameters(const QRVAParameters& parameters) {
    reserve(parameters.size());
    for (const auto& [key, value] : parameters) append(key, value.value());
}

namespace {

template <class Dictionary, class Describe>
std::string describeEntries(const Dictionary& dictionary, Describe describe) {
    std::string out = "{\n";
    for (const auto& [key, value] : dictionary) {
        out += "    " + key + " = " + describe(value) + ";\n";
    }
    return out + "}";
}

}  // namespace

std::string QRVAObjectParameters::description() const {
    return describeEntries(*this, [](const ns::Value& v) { return v.description(); });
}

std::string QRVAParametersDescription(const QRVAParameters& parameters) {
    return describeEntries(parameters, [](const QRVAValue& v) { return v.description(); });
}

bool QRVAObjectRef::isUTF8(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return ns::utf8::isValid(text);
    }
    return true;
}

QRVAObjectRef::QRVAObjectRef(const ns::Value& object) {
    if (object.isNull()) return;
    if (object.isString()) {
        kind_ = Kind::Text;
        text_ = object.asString();
        isUTF8_ = isUTF8(text_);
        object_ = &object;
        return;
    }
    if (auto value = object.asObjectOf<QRVAValue>()) {
        kind_ = Kind::Value;
        value_ = value.get();
        return;
    }
    kind_ = Kind::Other;
    object_ = &object;
}

std::string QRVAObjectRef::className() const {
    switch (kind_) {
        case Kind::Nil: return "(nil)";
        case Kind::Text: return string() ? "NSString" : "NSData";
        case Kind::Value: return "QRVAValue";
        case Kind::Other: break;
    }
    using T = ns::Value::Type;
    switch (object_->type()) {
        case T::Bool:
        case T::Int:
        case T::UInt:
        case T::Double: return "NSNumber";
        case T::Data: return "NSData";
        case T::Date: return "NSDate";
        case T::Array: return "NSArray";
        case T::Dictionary: return "NSDictionary";
        case T::Object: return object_->asObject()->className();
        default: return "NSNull";
    }
}

ns::Value QRVAObjectRef::context() const {
    switch (kind_) {
        case Kind::Nil: return ns::Value();
        case Kind::Text:
            if (!string()) return ns::Value(ns::utf8::sanitized(text_));
            return object_ ? *object_ : ns::Value(std::string(text_));
        case Kind::Value: return ns::Value(value_->value());
        case Kind::Other: break;
    }
    return *object_;
}
