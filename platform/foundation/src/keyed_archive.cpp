#include "platform/keyed_archive.h"

#include <algorithm>
#include <map>
#include <memory>
#include <stdexcept>

#include "platform/plist.h"
#include "plist_private.h"

namespace ns::keyed_archive {

namespace {

const char* const kUIDKey = "CF$UID";

std::optional<uint64_t> uidOf(const Value& value) {
    if (!value.isDictionary()) return std::nullopt;
    const Dictionary& dict = value.asDictionary();
    if (dict.size() != 1) return std::nullopt;
    auto found = dict.find(kUIDKey);
    if (found == dict.end() || !found->second.isInteger()) return std::nullopt;
    return found->second.asUInt();
}

Value uid(uint64_t index) { return Value(Dictionary{{kUIDKey, Value(static_cast<unsigned long long>(index))}}); }

// Members nest no deeper than this below the root object.
constexpr int kMaxDepth = 64;

namespace cost = plist_codec::cost;

// The height of a value and what it costs in memory (plist_codec::cost).
// With `referencesAsSlots`, a reference ({"CF$UID": n}) counts as a slot
// only, as it stands for its object, which is counted where it is kept.
void measure(const Value& value, int level, int& height, uint64_t& bytes, bool referencesAsSlots = false) {
    height = std::max(height, level);
    if (value.isArray()) {
        bytes += cost::array(value.asArray().size());
        for (const Value& item : value.asArray()) measure(item, level + 1, height, bytes, referencesAsSlots);
    } else if (referencesAsSlots && uidOf(value)) {
        bytes += cost::kValue;
    } else if (value.isDictionary()) {
        bytes += cost::kDictionary;
        for (const auto& [key, member] : value.asDictionary()) {
            bytes += cost::entry(key.size());
            measure(member, level + 1, height, bytes, referencesAsSlots);
        }
    } else {
        bytes += cost::leaf(value);
    }
}

// Members can refer to one object from many places, and each place gets a
// copy: without a bound, an archive of a few hundred bytes whose arrays each
// name the next one twice would decode into billions of values, and one
// that names a long text or an array many times into as many copies of it
// (which archiving again would write out, an object each). An archive
// decodes into no more memory than its property list holds, `maxCost`:
// each value counted as measure() counts it, a reference a slot. The
// archiver names each value once, from a reference that holds more than
// the slot it decodes into, and spends a table object on it that holds more
// than the value, so no archive of ours comes near; what names a container,
// a text or data from more places than its table pays for is refused.
class Decoder {
public:
    Decoder(const Array& objects, uint64_t maxCost) : objects_(objects), maxCost_(maxCost) {}

    // A member's value: a reference into the table or a primitive kept in
    // place.
    Value decode(const Value& value, int depth) {
        if (depth > kMaxDepth) fail("The archive nests too deeply.");
        std::optional<uint64_t> ref = uidOf(value);
        if (!ref) {
            if (value.isDictionary() || value.isArray()) fail("The archive holds a container outside its table.");
            count(cost::leaf(value));
            return value;
        }
        if (*ref >= objects_.size()) fail("The archive refers to an object it does not hold.");
        const Value& object = objects_[*ref];
        if (!object.isDictionary()) return kept(object, depth);
        const Dictionary& dict = object.asDictionary();
        const std::string className = classNameOf(dict);
        if (className == "NSDictionary" || className == "NSMutableDictionary") {
            const Array& keys = arrayMember(dict, "NS.keys");
            const Array& values = arrayMember(dict, "NS.objects");
            if (keys.size() != values.size()) fail("An archived dictionary has unequal keys and objects.");
            count(cost::kDictionary);
            Dictionary out;
            for (size_t i = 0; i < keys.size(); ++i) {
                // The key, counted as a value, is kept in its member's node.
                Value key = decode(keys[i], depth + 1);
                if (!key.isString()) fail("An archived dictionary has a key that is not a string.");
                count(cost::kEntry - cost::kValue);
                out.insert_or_assign(key.asString(), decode(values[i], depth + 1));
            }
            return Value(std::move(out));
        }
        if (className == "NSArray" || className == "NSMutableArray") {
            const Array& items = arrayMember(dict, "NS.objects");
            count(cost::array(items.size()));
            Array out;
            out.reserve(items.size());
            for (const Value& item : items) out.push_back(decode(item, depth + 1));
            return Value(std::move(out));
        }
        if (className == "NSString" || className == "NSMutableString") {
            auto text = dict.find("NS.string");
            if (text == dict.end() || !text->second.isString()) fail("An archived string has no text.");
            count(cost::leaf(text->second));
            return text->second;
        }
        if (className == "NSData" || className == "NSMutableData") {
            auto bytes = dict.find("NS.data");
            if (bytes == dict.end() || !bytes->second.isData()) fail("An archived data object has no bytes.");
            count(cost::leaf(bytes->second));
            return bytes->second;
        }
        if (className == "NSDate") {
            auto time = dict.find("NS.time");
            if (time == dict.end() || !time->second.isNumber()) fail("An archived date has no time.");
            const Date date{time->second.asDouble() + plist_date::kEpoch2001};
            if (!plist_date::holds(date.secondsSince1970)) fail("An archived date is outside the range archives hold.");
            count(cost::kValue);
            return Value(date);
        }
        fail("The archive holds an object of class " + className + " inside a member.");
    }

    std::string classNameOf(const Dictionary& object) {
        auto classRef = object.find("$class");
        if (classRef == object.end()) fail("An archived object has no class.");
        std::optional<uint64_t> ref = uidOf(classRef->second);
        if (!ref || *ref >= objects_.size() || !objects_[*ref].isDictionary()) fail("An archived class is damaged.");
        const Dictionary& cls = objects_[*ref].asDictionary();
        auto name = cls.find("$classname");
        if (name == cls.end() || !name->second.isString()) fail("An archived class has no name.");
        return name->second.asString();
    }

    [[noreturn]] static void fail(const std::string& why) { throw std::runtime_error(why); }

private:
    // Counted before the copy is made.
    void count(uint64_t cost) {
        decoded_ += cost;
        if (decoded_ > maxCost_) fail("The archive decodes into more values and bytes than it holds.");
    }

    // An object of the table that is not an archived object (a collection
    // kept as it is among them) is returned as it is; it nests and counts
    // as it will once archived again.
    Value kept(const Value& object, int depth) {
        int height = 0;
        uint64_t bytes = 0;
        measure(object, 0, height, bytes);
        if (depth + height > kMaxDepth) fail("The archive nests too deeply.");
        count(bytes);
        return object.isString() && object.asString() == "$null" ? Value() : object;
    }

    const Array& arrayMember(const Dictionary& dict, const char* key) {
        auto found = dict.find(key);
        if (found == dict.end() || !found->second.isArray()) fail(std::string("An archived collection has no ") + key + ".");
        return found->second.asArray();
    }

    const Array& objects_;
    const uint64_t maxCost_;
    uint64_t decoded_ = 0;
};

ErrorRef corrupt(const std::string& why) {
    return Error::make(kCocoaErrorDomain, kCoderReadCorruptError,
                       "The data couldn\xe2\x80\x99t be read because it isn\xe2\x80\x99t in the correct format.", why);
}

class Encoder {
public:
    Encoder() { objects_.push_back(Value("$null")); }

    // Nesting past what unarchiving reads is refused here, before it could
    // run the stack out.
    Value encode(const Value& value, int depth) {
        if (depth > kMaxDepth) throw std::runtime_error("A member nests too deeply to archive.");
        switch (value.type()) {
            case Value::Type::Null:
                return uid(0);
            case Value::Type::Dictionary: {
                Array keys;
                Array values;
                for (const auto& [key, member] : value.asDictionary()) {
                    keys.push_back(encode(Value(key), depth + 1));
                    values.push_back(encode(member, depth + 1));
                }
                return add(Value(Dictionary{{"NS.keys", Value(std::move(keys))},
                                            {"NS.objects", Value(std::move(values))},
                                            {"$class", classRef("NSDictionary")}}));
            }
            case Value::Type::Array: {
                Array items;
                for (const Value& item : value.asArray()) items.push_back(encode(item, depth + 1));
                return add(Value(Dictionary{{"NS.objects", Value(std::move(items))}, {"$class", classRef("NSArray")}}));
            }
            case Value::Type::Object:
                throw std::runtime_error("An object member has no archived form.");
            case Value::Type::String:
                // The table's own nil marker, kept plainly, would read back as
                // nil: that one text goes in a string object.
                if (value.asString() == "$null") {
                    return add(Value(Dictionary{{"NS.string", value}, {"$class", classRef("NSString")}}));
                }
                return add(value);
            default:
                return add(value);
        }
    }

    Value classRef(const std::string& name) {
        auto found = classes_.find(name);
        if (found != classes_.end()) return found->second;
        Value ref = add(Value(Dictionary{{"$classname", Value(name)}, {"$classes", Value(Array{Value(name), Value("NSObject")})}}));
        classes_.emplace(name, ref);
        return ref;
    }

    Value add(Value object) {
        objects_.push_back(std::move(object));
        return uid(objects_.size() - 1);
    }

    Array& objects() { return objects_; }

private:
    Array objects_;
    std::map<std::string, Value> classes_;
};

}  // namespace

std::optional<ArchivedObject> unarchiveRoot(const Data& bytes, ErrorRef* error) {
    ErrorRef parseError;
    Value archive = plist::parse(bytes, &parseError);
    try {
        if (parseError) Decoder::fail(parseError->description());
        if (!archive.isDictionary()) Decoder::fail("The archive is not a dictionary.");
        const Dictionary& top = archive.asDictionary();
        auto objects = top.find("$objects");
        auto roots = top.find("$top");
        if (objects == top.end() || !objects->second.isArray() || roots == top.end() || !roots->second.isDictionary()) {
            Decoder::fail("The archive has no object table.");
        }
        auto root = roots->second.asDictionary().find("root");
        if (root == roots->second.asDictionary().end()) Decoder::fail("The archive has no root object.");
        std::optional<uint64_t> ref = uidOf(root->second);
        const Array& table = objects->second.asArray();
        if (!ref || *ref >= table.size() || !table[*ref].isDictionary()) Decoder::fail("The archive's root is damaged.");
        int height = 0;
        uint64_t held = 0;
        measure(archive, 0, height, held, true);
        Decoder decoder(table, held);
        const Dictionary& object = table[*ref].asDictionary();
        ArchivedObject result;
        result.className = decoder.classNameOf(object);
        for (const auto& [key, member] : object) {
            if (key == "$class") continue;
            result.members.emplace(key, decoder.decode(member, 0));
        }
        return result;
    } catch (const std::exception& e) {
        if (error) *error = corrupt(e.what());
        return std::nullopt;
    }
}

Data archiveRoot(const std::string& className, const Dictionary& members, ErrorRef* error) {
    Encoder encoder;
    Value root;
    try {
        const size_t rootIndex = encoder.objects().size();
        encoder.objects().push_back(Value());  // filled once its members are in the table
        Dictionary object;
        for (const auto& [key, member] : members) {
            if (!member.isNull()) object.emplace(key, encoder.encode(member, 0));
        }
        object.emplace("$class", encoder.classRef(className));
        encoder.objects()[rootIndex] = Value(std::move(object));
        root = uid(rootIndex);
    } catch (const std::exception& e) {
        if (error) *error = Error::make(kCocoaErrorDomain, plist::kWriteInvalidError, e.what());
        return {};
    }
    const Value archive(Dictionary{{"$archiver", Value("NSKeyedArchiver")},
                                   {"$version", Value(100000)},
                                   {"$top", Value(Dictionary{{"root", root}})},
                                   {"$objects", Value(std::move(encoder.objects()))}});
    if (std::string problem = plist_codec::unwritable(archive); !problem.empty()) {
        if (error) *error = Error::make(kCocoaErrorDomain, plist::kWriteInvalidError, "The archive could not be built. " + problem);
        return {};
    }
    if (error) *error = nullptr;
    // The archive's {"CF$UID": n} references are written as the format's UIDs.
    return plist_codec::writeBinary(archive, true);
}

}  // namespace ns::keyed_archive
