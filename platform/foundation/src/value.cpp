#include "platform/value.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>

#include "platform/error.h"
#include "platform/format.h"
#include "platform/no_destructor.h"

namespace ns {

std::string Object::description() const {
    char buf[64];
    std::snprintf(buf, sizeof buf, "<%s: %p>", className().c_str(), static_cast<const void*>(this));
    return buf;
}

Value::Value(ObjectPtr o) {
    if (o) {
        v_ = std::move(o);
    } else {
        v_ = Null{};
    }
}

void Value::setUnsigned(unsigned long long u) {
    if (u > uint64_t(std::numeric_limits<int64_t>::max())) {
        v_ = uint64_t(u);
    } else {
        v_ = int64_t(u);
    }
}

const Value& nullValue() {
    static const ns::NoDestructor<Value> kNull;
    return *kNull;
}

namespace {
[[noreturn]] void kindMismatch(const char* wanted, const Value& v) {
    throw Exception(kInvalidArgumentException,
                    format("Value of kind %d is not %s: %@", int(v.type()), wanted, v));
}
}  // namespace

bool Value::asBool() const {
    if (auto* b = std::get_if<bool>(&v_)) return *b;
    kindMismatch("a boolean", *this);
}

int64_t Value::asInt() const {
    switch (type()) {
        case Type::Int: return std::get<int64_t>(v_);
        case Type::UInt: {
            uint64_t u = std::get<uint64_t>(v_);
            if (u <= uint64_t(std::numeric_limits<int64_t>::max())) return int64_t(u);
            break;
        }
        case Type::Double: {
            double d = std::get<double>(v_);
            if (std::trunc(d) == d && d >= -9223372036854775808.0 && d < 9223372036854775808.0) return int64_t(d);
            break;
        }
        default: break;
    }
    kindMismatch("an integer", *this);
}

uint64_t Value::asUInt() const {
    switch (type()) {
        case Type::Int: {
            int64_t i = std::get<int64_t>(v_);
            if (i >= 0) return uint64_t(i);
            break;
        }
        case Type::UInt: return std::get<uint64_t>(v_);
        case Type::Double: {
            double d = std::get<double>(v_);
            if (std::trunc(d) == d && d >= 0 && d < 18446744073709551616.0) return uint64_t(d);
            break;
        }
        default: break;
    }
    kindMismatch("an unsigned integer", *this);
}

double Value::asDouble() const {
    switch (type()) {
        case Type::Int: return double(std::get<int64_t>(v_));
        case Type::UInt: return double(std::get<uint64_t>(v_));
        case Type::Double: return std::get<double>(v_);
        default: kindMismatch("a number", *this);
    }
}

const std::string& Value::asString() const {
    if (auto* s = stringOrNull()) return *s;
    kindMismatch("a string", *this);
}

const ns::Data& Value::asData() const {
    if (auto* d = std::get_if<ns::Data>(&v_)) return *d;
    if (auto* d = std::get_if<std::shared_ptr<const ns::Data>>(&v_)) return **d;
    kindMismatch("data", *this);
}

ns::Date Value::asDate() const {
    if (auto* d = std::get_if<ns::Date>(&v_)) return *d;
    kindMismatch("a date", *this);
}

const ns::Array& Value::asArray() const {
    if (auto* a = std::get_if<std::shared_ptr<ns::Array>>(&v_)) return **a;
    kindMismatch("an array", *this);
}

const ns::Dictionary& Value::asDictionary() const {
    if (auto* d = std::get_if<std::shared_ptr<ns::Dictionary>>(&v_)) return **d;
    kindMismatch("a dictionary", *this);
}

const ObjectPtr& Value::asObject() const {
    if (auto* o = std::get_if<ObjectPtr>(&v_)) return *o;
    kindMismatch("an object", *this);
}

bool Value::boolValue(bool fallback) const {
    switch (type()) {
        case Type::Bool: return std::get<bool>(v_);
        case Type::Int: return std::get<int64_t>(v_) != 0;
        case Type::UInt: return std::get<uint64_t>(v_) != 0;
        case Type::Double: return std::get<double>(v_) != 0;
        default: return fallback;
    }
}

int64_t Value::intValue(int64_t fallback) const {
    switch (type()) {
        case Type::Bool: return std::get<bool>(v_) ? 1 : 0;
        case Type::Int: return std::get<int64_t>(v_);
        case Type::UInt: return int64_t(std::get<uint64_t>(v_));
        case Type::Double: {
            double d = std::get<double>(v_);
            if (std::isnan(d)) return 0;
            if (d >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
            if (d <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
            return int64_t(d);
        }
        default: return fallback;
    }
}

double Value::doubleValue(double fallback) const {
    switch (type()) {
        case Type::Bool: return std::get<bool>(v_) ? 1 : 0;
        case Type::Int: return double(std::get<int64_t>(v_));
        case Type::UInt: return double(std::get<uint64_t>(v_));
        case Type::Double: return std::get<double>(v_);
        default: return fallback;
    }
}

const std::string* Value::stringOrNull() const {
    if (auto* s = std::get_if<std::string>(&v_)) return s;
    if (auto* s = std::get_if<std::shared_ptr<const std::string>>(&v_)) return s->get();
    return nullptr;
}

const ns::Array* Value::arrayOrNull() const {
    auto* a = std::get_if<std::shared_ptr<ns::Array>>(&v_);
    return a ? a->get() : nullptr;
}

const ns::Dictionary* Value::dictionaryOrNull() const {
    auto* d = std::get_if<std::shared_ptr<ns::Dictionary>>(&v_);
    return d ? d->get() : nullptr;
}

const Value& Value::operator[](std::string_view key) const {
    if (auto* d = dictionaryOrNull()) {
        auto it = d->find(key);
        if (it != d->end()) return it->second;
    }
    return nullValue();
}

bool Value::contains(std::string_view key) const {
    auto* d = dictionaryOrNull();
    return d && d->find(key) != d->end();
}

ns::Array& Value::mutableArray() {
    auto* a = std::get_if<std::shared_ptr<ns::Array>>(&v_);
    if (!a) kindMismatch("an array", *this);
    if (a->use_count() > 1) *a = std::make_shared<ns::Array>(**a);
    return **a;
}

ns::Dictionary& Value::mutableDictionary() {
    auto* d = std::get_if<std::shared_ptr<ns::Dictionary>>(&v_);
    if (!d) kindMismatch("a dictionary", *this);
    if (d->use_count() > 1) *d = std::make_shared<ns::Dictionary>(**d);
    return **d;
}

void Value::share() {
    if (auto* s = std::get_if<std::string>(&v_)) {
        // A text the string holds in itself is copied as cheaply as a
        // reference to a buffer would be.
        if (s->size() > std::string().capacity()) v_ = std::make_shared<const std::string>(std::move(*s));
    } else if (auto* d = std::get_if<ns::Data>(&v_)) {
        if (!d->empty()) v_ = std::make_shared<const ns::Data>(std::move(*d));
    }
}

const void* Value::sharedStorage() const {
    // A storage only this value holds cannot be met again at another place,
    // so the walks that remember shared storages need not remember it.
    const auto shared = [](const auto& storage) -> const void* {
        return storage.use_count() > 1 ? storage.get() : nullptr;
    };
    if (auto* a = std::get_if<std::shared_ptr<ns::Array>>(&v_)) return shared(*a);
    if (auto* d = std::get_if<std::shared_ptr<ns::Dictionary>>(&v_)) return shared(*d);
    if (auto* s = std::get_if<std::shared_ptr<const std::string>>(&v_)) return shared(*s);
    if (auto* d = std::get_if<std::shared_ptr<const ns::Data>>(&v_)) return shared(*d);
    return nullptr;
}

namespace {
uint64_t expandedCount(const Value& v, uint64_t cap, std::map<const void*, uint64_t>& known) {
    if (!v.isArray() && !v.isDictionary()) return 1;
    const void* storage = v.sharedStorage();
    if (auto found = storage ? known.find(storage) : known.end(); found != known.end()) return found->second;
    uint64_t count = 1;
    if (v.isArray()) {
        for (const Value& item : v.asArray()) count = std::min(cap, count + expandedCount(item, cap, known));
    } else {
        for (const auto& entry : v.asDictionary()) count = std::min(cap, count + expandedCount(entry.second, cap, known));
    }
    if (storage) known.emplace(storage, count);
    return count;
}
}  // namespace

uint64_t expandedCount(const Value& v, uint64_t cap) {
    std::map<const void*, uint64_t> known;
    return std::min(cap, expandedCount(v, cap, known));
}

namespace {
// Exact comparison of numbers of mixed kinds, without the rounding of a
// plain conversion to double.
bool numbersEqual(const Value& a, const Value& b) {
    using T = Value::Type;
    if (a.type() == T::Double || b.type() == T::Double) {
        const Value& d = a.type() == T::Double ? a : b;
        const Value& o = a.type() == T::Double ? b : a;
        double dv = d.asDouble();
        if (o.type() == T::Double) return dv == o.asDouble();
        if (std::trunc(dv) != dv) return false;
        if (o.type() == T::Int) {
            if (dv < -9223372036854775808.0 || dv >= 9223372036854775808.0) return false;
            return int64_t(dv) == o.asInt();
        }
        if (dv < 0 || dv >= 18446744073709551616.0) return false;
        return uint64_t(dv) == o.asUInt();
    }
    if (a.type() == T::UInt && b.type() == T::UInt) return a.asUInt() == b.asUInt();
    if (a.type() == T::Int && b.type() == T::Int) return a.asInt() == b.asInt();
    // One Int and one UInt: a UInt above INT64_MAX never equals an Int.
    const Value& i = a.type() == T::Int ? a : b;
    const Value& u = a.type() == T::Int ? b : a;
    return i.asInt() >= 0 && uint64_t(i.asInt()) == u.asUInt();
}
}  // namespace

bool operator==(const Value& a, const Value& b) {
    if (a.isNumber() && b.isNumber()) return numbersEqual(a, b);
    if (a.type() != b.type()) return false;
    // One storage shared by both (a value and its copy, or an object a
    // list names from two places) is equal to itself without a walk, which
    // could otherwise visit it once per path to it.
    if (const void* storage = a.sharedStorage(); storage && storage == b.sharedStorage()) return true;
    using T = Value::Type;
    switch (a.type()) {
        case T::Null: return true;
        case T::Bool: return a.asBool() == b.asBool();
        case T::String: return a.asString() == b.asString();
        case T::Data: return a.asData() == b.asData();
        case T::Date: return a.asDate() == b.asDate();
        case T::Array: return a.asArray() == b.asArray();
        case T::Dictionary: return a.asDictionary() == b.asDictionary();
        case T::Object: return a.asObject() == b.asObject();
        default: return false;
    }
}

std::string formatDouble(double d) {
    if (std::isnan(d)) return "nan";
    if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, d);
    return std::string(buf, res.ptr);
}

namespace {
bool needsQuotes(const std::string& s) {
    if (s.empty()) return true;
    for (unsigned char c : s) {
        if (!(std::isalnum(c) || c == '_' || c == '.' || c == '/' || c == '$' || c == ':' || c >= 0x80)) return true;
    }
    return false;
}

std::string quoted(const std::string& s) {
    if (!needsQuotes(s)) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out + "\"";
}

void describe(const Value& v, int indent, bool nested, std::string& out) {
    using T = Value::Type;
    std::string pad(size_t(indent) * 4, ' ');
    switch (v.type()) {
        case T::Null: out += nested ? "\"<null>\"" : "<null>"; break;
        case T::Bool: out += v.asBool() ? "1" : "0"; break;
        case T::Int: out += std::to_string(v.asInt()); break;
        case T::UInt: out += std::to_string(v.asUInt()); break;
        case T::Double: out += formatDouble(v.asDouble()); break;
        case T::String: out += nested ? quoted(v.asString()) : v.asString(); break;
        case T::Data: {
            out += "{length = " + std::to_string(v.asData().size()) + ", bytes = 0x";
            static const char* hex = "0123456789abcdef";
            for (uint8_t b : v.asData()) {
                out += hex[b >> 4];
                out += hex[b & 15];
            }
            out += "}";
            break;
        }
        case T::Date: out += formatDouble(v.asDate().secondsSince1970); break;
        case T::Array: {
            out += "(\n";
            const auto& a = v.asArray();
            for (size_t i = 0; i < a.size(); ++i) {
                out += pad + "    ";
                describe(a[i], indent + 1, true, out);
                if (i + 1 < a.size()) out += ",";
                out += "\n";
            }
            out += pad + ")";
            break;
        }
        case T::Dictionary: {
            out += "{\n";
            for (const auto& [k, child] : v.asDictionary()) {
                out += pad + "    " + quoted(k) + " = ";
                describe(child, indent + 1, true, out);
                out += ";\n";
            }
            out += pad + "}";
            break;
        }
        case T::Object: out += v.asObject()->description(); break;
    }
}
}  // namespace

std::string Value::description() const {
    std::string out;
    describe(*this, 0, false, out);
    return out;
}

}  // namespace ns
