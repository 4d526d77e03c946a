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

// The height of values and what they cost in memory (plist_codec::cost),
// each storage counted once however many places share it (a list read with
// shared objects holds such values), so that measuring is linear in what
// the list holds.
class Measure {
public:
    // The value's height (0 for a leaf), with what it costs added to bytes().
    int operator()(const Value& value) {
        bytes_ += cost::kValue;
        if (!value.isArray() && !value.isDictionary()) {
            bytes_ += value.isString() ? cost::sharedText(value.asString().size())
                    : value.isData()   ? cost::sharedData(value.asData().size())
                                       : 0;
            return 0;
        }
        const void* storage = value.sharedStorage();
        if (storage) {
            auto [seen, fresh] = heights_.emplace(storage, 0);
            if (!fresh) return seen->second;
        }
        int height = 0;
        if (value.isArray()) {
            bytes_ += cost::arrayStorage(value.asArray().size());
            for (const Value& item : value.asArray()) height = std::max(height, (*this)(item) + 1);
        } else {
            bytes_ += cost::kDictionaryBlock;
            for (const auto& [key, member] : value.asDictionary()) {
                bytes_ += cost::entry(key.size());
                height = std::max(height, (*this)(member) + 1);
            }
        }
        if (storage) heights_[storage] = height;
        return height;
    }

    uint64_t bytes() const { return bytes_; }

private:
    uint64_t bytes_ = 0;
    std::map<const void*, int> heights_;
};

// Members name table objects by UID, one object from as many places as
// they like: each object is decoded once and every place shares it (its
// text or data too), so decoding is linear in the table and what it
// decodes into is counted as plist_codec::cost counts it, each object once
// and each place a slot. The bound, maxCost, is what a property list of
// the archive's size may read as; only an archive whose dictionaries copy
// long keys into very many members comes near it. A reference back into
// an object being decoded is a cycle, which no value can hold.
class Decoder {
public:
    Decoder(const Array& objects, uint64_t maxCost)
        : objects_(objects), maxCost_(maxCost), decoded_(objects.size()) {}

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
        count(cost::kValue);
        Decoded& done = decoded_[size_t(*ref)];
        if (done.state == kOpen) fail("The archive contains a reference cycle.");
        if (done.state == kUnseen) {
            done.state = kOpen;
            int height = 0;
            Value decoded = object(objects_[size_t(*ref)], depth, height);
            decoded.share();
            Decoded& now = decoded_[size_t(*ref)];
            now.value = std::move(decoded);
            now.height = height;
            now.state = kDone;
            return now.value;
        }
        if (depth + done.height > kMaxDepth) fail("The archive nests too deeply.");
        return done.value;
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
    enum : uint8_t { kUnseen, kOpen, kDone };
    struct Decoded {
        Value value;
        int height = 0;
        uint8_t state = kUnseen;
    };

    // A table object's value, decoded at `depth`, and how far below it
    // values nest. Its slot is counted at each place that names it.
    Value object(const Value& object, int depth, int& height) {
        if (!object.isDictionary()) return kept(object, depth, height);
        const Dictionary& dict = object.asDictionary();
        const std::string className = classNameOf(dict);
        const auto below = [&](const Value& member) {
            Value v = decode(member, depth + 1);
            height = std::max(height, heightOf(member) + 1);
            return v;
        };
        if (className == "NSDictionary" || className == "NSMutableDictionary") {
            const Array& keys = arrayMember(dict, "NS.keys");
            const Array& values = arrayMember(dict, "NS.objects");
            if (keys.size() != values.size()) fail("An archived dictionary has unequal keys and objects.");
            count(cost::kDictionaryBlock);
            Dictionary out;
            for (size_t i = 0; i < keys.size(); ++i) {
                // The key is copied into its member's node.
                Value key = below(keys[i]);
                if (!key.isString()) fail("An archived dictionary has a key that is not a string.");
                count(cost::entry(key.asString().size()));
                out.insert_or_assign(key.asString(), below(values[i]));
            }
            return Value(std::move(out));
        }
        if (className == "NSArray" || className == "NSMutableArray") {
            const Array& items = arrayMember(dict, "NS.objects");
            count(cost::arrayStorage(items.size()));
            Array out;
            out.reserve(items.size());
            for (const Value& item : items) out.push_back(below(item));
            return Value(std::move(out));
        }
        if (className == "NSString" || className == "NSMutableString") {
            auto text = dict.find("NS.string");
            if (text == dict.end() || !text->second.isString()) fail("An archived string has no text.");
            count(cost::sharedText(text->second.asString().size()));
            return text->second;
        }
        if (className == "NSData" || className == "NSMutableData") {
            auto bytes = dict.find("NS.data");
            if (bytes == dict.end() || !bytes->second.isData()) fail("An archived data object has no bytes.");
            count(cost::sharedData(bytes->second.asData().size()));
            return bytes->second;
        }
        if (className == "NSDate") {
            auto time = dict.find("NS.time");
            if (time == dict.end() || !time->second.isNumber()) fail("An archived date has no time.");
            const Date date{time->second.asDouble() + plist_date::kEpoch2001};
            if (!plist_date::holds(date.secondsSince1970)) fail("An archived date is outside the range archives hold.");
            return Value(date);
        }
        fail("The archive holds an object of class " + className + " inside a member.");
    }

    // The height of what a member decoded into: a reference's object's,
    // recorded once it was decoded; a primitive in place has none.
    int heightOf(const Value& member) const {
        std::optional<uint64_t> ref = uidOf(member);
        return ref ? decoded_[size_t(*ref)].height : 0;
    }

    void count(uint64_t cost) {
        spent_ += cost;
        if (spent_ > maxCost_) fail("The archive decodes into more values and bytes than it holds.");
    }

    // An object of the table that is not an archived object (a collection
    // kept as it is among them) is returned as it is; it nests and counts
    // as it will once archived again (its slot is counted where it is named).
    Value kept(const Value& object, int depth, int& height) {
        Measure measure;
        height = measure(object);
        if (depth + height > kMaxDepth) fail("The archive nests too deeply.");
        count(measure.bytes() - cost::kValue);
        return object.isString() && object.asString() == "$null" ? Value() : object;
    }

    const Array& arrayMember(const Dictionary& dict, const char* key) {
        auto found = dict.find(key);
        if (found == dict.end() || !found->second.isArray()) fail(std::string("An archived collection has no ") + key + ".");
        return found->second.asArray();
    }

    const Array& objects_;
    const uint64_t maxCost_;
    uint64_t spent_ = 0;
    std::vector<Decoded> decoded_;
};

ErrorRef corrupt(const std::string& why) {
    return Error::make(kCocoaErrorDomain, kCoderReadCorruptError,
                       "The data couldn\xe2\x80\x99t be read because it isn\xe2\x80\x99t in the correct format.", why);
}

// Each value is archived once however many places hold it: a container
// several places share (one storage, as an archive read with shared objects
// decodes into) and equal texts, data, numbers, dates and booleans are one
// table object named from every place, so an archive read and written
// again is no larger.
class Encoder {
public:
    Encoder() { objects_.push_back(Value("$null")); }

    // Nesting past what unarchiving reads is refused here, before it could
    // run the stack out.
    Value encode(const Value& value, int depth) {
        if (depth > kMaxDepth) throw std::runtime_error("A member nests too deeply to archive.");
        deepest_ = std::max(deepest_, depth);
        const bool container = value.isArray() || value.isDictionary();
        const void* storage = container ? value.sharedStorage() : nullptr;
        if (storage) {
            auto found = containers_.find(storage);
            if (found != containers_.end()) {
                deepest_ = std::max(deepest_, depth + found->second.height);
                if (deepest_ > kMaxDepth) throw std::runtime_error("A member nests too deeply to archive.");
                return found->second.ref;
            }
        }
        if (!container) {
            if (value.isNull() || value.isObject()) return encodeOnce(value, depth);
            std::string key = leafKey(value);
            auto found = leaves_.find(key);
            if (found != leaves_.end()) return found->second;
            Value ref = encodeOnce(value, depth);
            leaves_.emplace(std::move(key), ref);
            return ref;
        }
        const int deepestBefore = deepest_;
        deepest_ = depth;
        Value ref = encodeOnce(value, depth);
        if (storage) containers_.emplace(storage, Shared{ref, deepest_ - depth});
        deepest_ = std::max(deepest_, deepestBefore);
        return ref;
    }

private:
    // What tells a leaf from every other: its kind and its bytes (a
    // number's, a date's or a boolean's as stored in memory).
    static std::string leafKey(const Value& value) {
        std::string key(1, char(value.type()));
        const auto raw = [&key](const auto& number) {
            key.append(reinterpret_cast<const char*>(&number), sizeof number);
        };
        switch (value.type()) {
            case Value::Type::String: key += value.asString(); break;
            case Value::Type::Data: key.append(value.asData().begin(), value.asData().end()); break;
            case Value::Type::Bool: key += value.asBool() ? '1' : '0'; break;
            case Value::Type::Int: raw(value.asInt()); break;
            case Value::Type::UInt: raw(value.asUInt()); break;
            case Value::Type::Double: raw(value.asDouble()); break;
            case Value::Type::Date: raw(value.asDate().secondsSince1970); break;
            default: break;
        }
        return key;
    }

    Value encodeOnce(const Value& value, int depth) {
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

public:
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
    struct Shared {
        Value ref;
        int height = 0;  // how far below the container its members nest
    };

    Array objects_;
    std::map<std::string, Value> classes_;
    // Trees, not hash tables: no chosen value makes a look-up slow.
    std::map<std::string, Value> leaves_;
    std::map<const void*, Shared> containers_;
    int deepest_ = 0;  // the deepest member met in the container being archived
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
        Decoder decoder(table, plist_codec::kExpansionPerByte * uint64_t(bytes.size()));
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

bool expandsWithinReason(const Dictionary& members, size_t archiveBytes) {
    const uint64_t most = std::max<uint64_t>(uint64_t(1) << 20, archiveBytes);
    // The members' own dictionary counts one more.
    return expandedCount(Value(members), most + 2) <= most + 1;
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
