#pragma once
// The analytics client's scalar value and its parameter dictionaries.
//
// `QRVAValue` is what an event parameter or a user property holds: a double,
// an int64 or a string, with no conversion between the three (the int64 of
// a double value is 0). It is immutable and copied freely; it is also an
// ns::Object so that a caller may put one among ordinary values
// (`ns::Value(std::make_shared<QRVAValue>(...))`) and have it taken as is.
//
// Parameter dictionaries keep the order their entries were first inserted:
// the order decides which fault of an event is recorded first and the order
// of its parameters on the wire, so it must not depend on hashing or on a
// sort. `QRVAParameters` holds an event's normalised parameters;
// `QRVAObjectParameters` holds parameters as callers give them (strings,
// numbers, arrays of dictionaries, `QRVAValue`s, anything else), and is an
// ns::Object itself so that the dictionaries of an array parameter can keep
// their order too (an ns::Dictionary is taken in its sorted key order).
//
//     QRVAObjectParameters params{{"item_id", "7450001"}, {"quantity", 2}};
//     std::optional<QRVAValue> v = QRVAValue::valueFromObject(ns::Value(1.5));  // a double
//
// `QRVAObjectRef` is how the checks and the error helpers take "any object":
// text, an ns::Value of any kind, a `QRVAValue` or nil. It is a view, valid
// for the call it is passed to. Text that is not valid UTF-8 counts as not a
// string, as it could never be an NSString.
//
// Threads: none of these types is locked; each object is used by one thread
// at a time (the engine's worker queue, the facade's queue).

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "platform/value.h"

class QRVAValue final : public ns::Object {
public:
    enum Type : int64_t { kDouble = 0, kInt64 = 1, kString = 2 };

    explicit QRVAValue(double value) : value_(value) {}
    explicit QRVAValue(int64_t value) : value_(value) {}
    explicit QRVAValue(int value) : value_(int64_t(value)) {}
    // Text the caller knows to be UTF-8 (names, trimmed error values); text
    // from outside goes through initWithString.
    static QRVAValue string(std::string text) { return QRVAValue(Text{std::move(text)}); }

    // A `QRVAValue` as is; a string (35001 when it is not UTF-8); a number:
    // a double when it is a floating-point number, else an int64 (a boolean
    // is 0 or 1); nullopt for nil (35000) or any other kind (35001).
    static std::optional<QRVAValue> valueFromObject(const ns::Value& object);
    // nullopt for nil (35002) or anything but UTF-8 text (35003).
    static std::optional<QRVAValue> initWithString(const ns::Value& object);

    Type valueType() const { return Type(value_.index()); }
    bool isDouble() const { return valueType() == kDouble; }
    bool isInt64() const { return valueType() == kInt64; }
    bool isString() const { return valueType() == kString; }
    double doubleValue() const { return isDouble() ? std::get<double>(value_) : 0.0; }
    int64_t int64Value() const { return isInt64() ? std::get<int64_t>(value_) : 0; }
    // nullptr unless a string value.
    const std::string* stringValue() const { return isString() ? &std::get<Text>(value_).text : nullptr; }
    // The held object as Foundation holds it: a number or a string.
    ns::Value value() const;

    // Same type and equal held objects (3 and 3.0 differ).
    friend bool operator==(const QRVAValue& a, const QRVAValue& b) { return a.value_ == b.value_; }
    // (valueType x 31) XOR the held object's hash.
    size_t hash() const;
    // The held object's description.
    std::string description() const override;
    std::string className() const override { return "QRVAValue"; }

private:
    struct Text {
        std::string text;
        friend bool operator==(const Text&, const Text&) = default;
    };
    explicit QRVAValue(Text text) : value_(std::move(text)) {}
    std::variant<double, int64_t, Text> value_;
};

// A dictionary that keeps the order in which its keys were first set.
// Look-ups are linear: event dictionaries hold a few dozen entries.
template <class V>
class QRVAOrderedDictionary {
public:
    using Entry = std::pair<std::string, V>;
    using const_iterator = typename std::vector<Entry>::const_iterator;

    QRVAOrderedDictionary() = default;
    // A key given twice keeps its first place and its last value.
    QRVAOrderedDictionary(std::initializer_list<Entry> entries) {
        entries_.reserve(entries.size());
        for (const auto& e : entries) set(e.first, e.second);
    }

    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    const_iterator begin() const { return entries_.begin(); }
    const_iterator end() const { return entries_.end(); }
    const Entry& at(size_t index) const { return entries_[index]; }
    void reserve(size_t n) { entries_.reserve(n); }
    void clear() { entries_.clear(); }

    const V* find(std::string_view key) const {
        for (const auto& e : entries_)
            if (e.first == key) return &e.second;
        return nullptr;
    }
    V* find(std::string_view key) {
        for (auto& e : entries_)
            if (e.first == key) return &e.second;
        return nullptr;
    }
    bool contains(std::string_view key) const { return find(key) != nullptr; }
    // Replaces the value in place, or appends the key.
    void set(std::string_view key, V value) {
        if (V* existing = find(key)) {
            *existing = std::move(value);
        } else {
            entries_.emplace_back(std::string(key), std::move(value));
        }
    }
    // Appends without looking for the key: for a caller that knows it is new.
    void append(std::string key, V value) { entries_.emplace_back(std::move(key), std::move(value)); }
    bool remove(std::string_view key) {
        for (auto it = entries_.begin(); it != entries_.end(); ++it) {
            if (it->first == key) {
                entries_.erase(it);
                return true;
            }
        }
        return false;
    }
    template <class Pred>
    void removeIf(Pred pred) {
        std::erase_if(entries_, pred);
    }

    // Same entries in the same order.
    friend bool operator==(const QRVAOrderedDictionary& a, const QRVAOrderedDictionary& b) {
        return a.entries_ == b.entries_;
    }

private:
    std::vector<Entry> entries_;
};

// An event's parameters once normalised.
using QRVAParameters = QRVAOrderedDictionary<QRVAValue>;

// Parameters as callers give them.
class QRVAObjectParameters final : public ns::Object, public QRVAOrderedDictionary<ns::Value> {
public:
    using QRVAOrderedDictionary<ns::Value>::QRVAOrderedDictionary;
    QRVAObjectParameters() = default;
    // The entries of a Foundation dictionary, in its (sorted) key order.
    explicit QRVAObjectParameters(const ns::Dictionary& dictionary);
    // An event's parameters as the objects they hold.
    explicit QRVAObjectParameters(const QRVAParameters& parameters);
    std::string description() const override;
    std::string className() const override { return "NSDictionary"; }
};

// "{\n    key = value;\n}" in the dictionary's order, as Foundation prints one.
std::string QRVAParametersDescription(const QRVAParameters& parameters);

// Any object a check or an error helper is given. A view: it must not
// outlive the call.
class QRVAObjectRef {
public:
    enum class Kind { Nil, Text, Value, Other };

    QRVAObjectRef(std::nullptr_t) {}
    QRVAObjectRef(const char* text) : kind_(text ? Kind::Text : Kind::Nil), text_(text ? text : "") {
        isUTF8_ = isUTF8(text_);
    }
    QRVAObjectRef(std::string_view text) : kind_(Kind::Text), text_(text), isUTF8_(isUTF8(text)) {}
    QRVAObjectRef(const std::string& text) : kind_(Kind::Text), text_(text), isUTF8_(isUTF8(text)) {}
    QRVAObjectRef(const QRVAValue& value) : kind_(Kind::Value), value_(&value) {}
    // ns::Value null is nil; a string is text; an object holding a
    // `QRVAValue` is that value; anything else is another object.
    QRVAObjectRef(const ns::Value& object);

    bool isNil() const { return kind_ == Kind::Nil; }
    // The text when the object is UTF-8 text; nullopt otherwise.
    std::optional<std::string_view> string() const {
        if (kind_ != Kind::Text || !isUTF8_) return std::nullopt;
        return text_;
    }
    // The value when the object is a `QRVAValue`; nullptr otherwise.
    const QRVAValue* qrvaValue() const { return kind_ == Kind::Value ? value_ : nullptr; }
    // Foundation's class name for the object ("NSString", "NSNumber",
    // "NSDate", "QRVAValue", ...); "NSData" for text that is not UTF-8.
    std::string className() const;
    // The object as a log context (null for nil).
    ns::Value context() const;

private:
    // Decided once, as the reference is made: the checks ask several times.
    static bool isUTF8(std::string_view text);

    Kind kind_ = Kind::Nil;
    std::string_view text_;
    bool isUTF8_ = false;
    const QRVAValue* value_ = nullptr;
    const ns::Value* object_ = nullptr;
};
