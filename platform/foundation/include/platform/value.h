#pragma once
// The one Foundation value type: what JSON, property lists, notification
// userInfo and user defaults carry. A boolean is never equal to a number, and
// integers and doubles keep their kind, because the database's hashes and
// validation tell them apart.

#include <compare>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ns {

// Base of every object that can travel inside a Value (an app in a
// notification's userInfo, an error as an underlying error, ...).
class Object : public std::enable_shared_from_this<Object> {
public:
    virtual ~Object() = default;
    // The text `%@` prints for the object.
    virtual std::string description() const;
    // The runtime class name used for look-ups by name.
    virtual std::string className() const { return "NSObject"; }
};
using ObjectPtr = std::shared_ptr<Object>;

class Value;
using Data = std::vector<uint8_t>;
using Array = std::vector<Value>;
using Dictionary = std::map<std::string, Value, std::less<>>;

// A point in time, seconds since 1970 (like NSDate's timeIntervalSince1970).
struct Date {
    double secondsSince1970 = 0;
    friend bool operator==(const Date&, const Date&) = default;
};

struct Null {
    friend bool operator==(const Null&, const Null&) = default;
};

class Value {
public:
    enum class Type { Null, Bool, Int, UInt, Double, String, Data, Date, Array, Dictionary, Object };

    Value() : v_(Null{}) {}
    Value(std::nullptr_t) : v_(Null{}) {}
    Value(Null) : v_(Null{}) {}
    Value(bool b) : v_(b) {}
    Value(int i) : v_(int64_t(i)) {}
    Value(long i) : v_(int64_t(i)) {}
    Value(long long i) : v_(int64_t(i)) {}
    Value(unsigned u) : v_(int64_t(u)) {}
    // Unsigned 64-bit values keep their kind only above INT64_MAX.
    Value(unsigned long u) { setUnsigned(u); }
    Value(unsigned long long u) { setUnsigned(u); }
    Value(double d) : v_(d) {}
    Value(float f) : v_(double(f)) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(ns::Data d) : v_(std::move(d)) {}
    Value(ns::Date d) : v_(d) {}
    Value(ns::Array a) : v_(std::make_shared<ns::Array>(std::move(a))) {}
    Value(ns::Dictionary d) : v_(std::make_shared<ns::Dictionary>(std::move(d))) {}
    Value(ObjectPtr o);
    template <class T, class = std::enable_if_t<std::is_base_of_v<Object, T>>>
    Value(std::shared_ptr<T> o) : Value(std::static_pointer_cast<Object>(std::move(o))) {}

    Type type() const { return kTypes[v_.index()]; }
    bool isNull() const { return type() == Type::Null; }
    bool isBool() const { return type() == Type::Bool; }
    // Int, UInt or Double; never Bool.
    bool isNumber() const { return type() == Type::Int || type() == Type::UInt || type() == Type::Double; }
    bool isInteger() const { return type() == Type::Int || type() == Type::UInt; }
    bool isDouble() const { return type() == Type::Double; }
    bool isString() const { return type() == Type::String; }
    bool isData() const { return type() == Type::Data; }
    bool isDate() const { return type() == Type::Date; }
    bool isArray() const { return type() == Type::Array; }
    bool isDictionary() const { return type() == Type::Dictionary; }
    bool isObject() const { return type() == Type::Object; }

    // Checked accessors: throw ns::Exception (NSInvalidArgumentException) on a
    // kind mismatch.
    bool asBool() const;
    int64_t asInt() const;      // Int, UInt within range, or an integral Double
    uint64_t asUInt() const;    // non-negative Int, UInt, or integral Double
    double asDouble() const;    // any number
    const std::string& asString() const;
    const ns::Data& asData() const;
    ns::Date asDate() const;
    const ns::Array& asArray() const;
    const ns::Dictionary& asDictionary() const;
    const ObjectPtr& asObject() const;
    template <class T>
    std::shared_ptr<T> asObjectOf() const {
        return isObject() ? std::dynamic_pointer_cast<T>(std::get<ObjectPtr>(v_)) : nullptr;
    }

    // Loose readers in the style of -[NSNumber boolValue]: a number or boolean
    // is converted, anything else gives the fallback.
    bool boolValue(bool fallback = false) const;
    int64_t intValue(int64_t fallback = 0) const;
    double doubleValue(double fallback = 0) const;
    // nullptr unless the value has that kind.
    const std::string* stringOrNull() const;
    const ns::Array* arrayOrNull() const;
    const ns::Dictionary* dictionaryOrNull() const;

    // Dictionary look-up; a null Value when absent or when this is not a dictionary.
    const Value& operator[](std::string_view key) const;
    bool contains(std::string_view key) const;

    // Mutable access copies shared containers first (copy-on-write).
    ns::Array& mutableArray();
    ns::Dictionary& mutableDictionary();

    // Keeps a text beyond what a string holds in itself, or data, in one
    // immutable buffer that every copy of this value shares, as arrays and
    // dictionaries share their storage: a reader that meets one object at
    // many places builds it once, and each further place costs a slot.
    // Nothing can change a shared buffer (a value is replaced whole), so a
    // change at one place never reaches another. Other kinds are unchanged.
    void share();
    // The address of the storage this value shares with a copy of it (an
    // array's, a dictionary's, a shared text's or data's buffer), or null
    // when nothing else holds it: what a writer names once however many
    // places hold it, and what a walk over the value need look at once.
    const void* sharedStorage() const;

    // Numbers compare by numeric value across Int/UInt/Double; a boolean is
    // never equal to a number; containers compare element-wise; objects by identity.
    friend bool operator==(const Value& a, const Value& b);

    // Foundation-style description, used by `%@`: strings bare, numbers in
    // shortest form, arrays "(\n    a,\n    b\n)", dictionaries "{\n    k = v;\n}".
    std::string description() const;

private:
    void setUnsigned(unsigned long long u);
    // A shared text or data is an alternative of its own, so that an
    // unshared one costs no more than before and a shared one no more than
    // a slot at each place.
    using Storage = std::variant<Null, bool, int64_t, uint64_t, double, std::string, ns::Data, ns::Date,
                                 std::shared_ptr<ns::Array>, std::shared_ptr<ns::Dictionary>, ObjectPtr,
                                 std::shared_ptr<const std::string>, std::shared_ptr<const ns::Data>>;
    static constexpr Type kTypes[] = {Type::Null,  Type::Bool,  Type::Int,        Type::UInt,   Type::Double,
                                      Type::String, Type::Data, Type::Date,       Type::Array,  Type::Dictionary,
                                      Type::Object, Type::String, Type::Data};
    static_assert(std::size(kTypes) == std::variant_size_v<Storage>);
    Storage v_;
};

const Value& nullValue();

// How many values `v` comes to where nothing is shared (JSON, XML, a tree
// of nodes): itself and all it holds, at every place that names it, at most
// `cap`. Each shared storage is walked once, so the count is linear in what
// the value holds: what a reader that shares objects gives (a few bytes
// naming one array from many places, each level of it the next) can be
// told apart before anything writes it out place by place.
uint64_t expandedCount(const Value& v, uint64_t cap);

// Shortest text that reads back as the same double ("1", "0.1", "1e+100").
std::string formatDouble(double d);

}  // namespace ns
