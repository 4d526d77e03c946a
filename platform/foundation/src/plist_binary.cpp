// The binary property-list form ("bplist00"): a reader that checks the
// whole object graph before it builds anything, and a writer.

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <numeric>
#include <string_view>
#include <vector>

#include "platform/format.h"
#include "platform/utf8.h"
#include "plist_private.h"

namespace ns::plist_codec {

namespace {

const char* const kUIDKey = "CF$UID";

uint64_t readBE(const uint8_t* p, size_t size) {
    uint64_t v = 0;
    for (size_t i = 0; i < size; ++i) v = (v << 8) | p[i];
    return v;
}

void appendBE(Data& out, uint64_t v, size_t size) {
    for (size_t i = size; i-- > 0;) out.push_back(uint8_t(v >> (8 * i)));
}

// The fewest of 1, 2, 4 or 8 bytes that hold `v`, as every reader of the
// form accepts for offsets, references and counts.
size_t bytesFor(uint64_t v) {
    if (v <= 0xFF) return 1;
    if (v <= 0xFFFF) return 2;
    if (v <= 0xFFFFFFFF) return 4;
    return 8;
}

size_t log2Of(size_t bytes) { return bytes == 1 ? 0 : bytes == 2 ? 1 : bytes == 4 ? 2 : bytes == 8 ? 3 : 4; }

constexpr const char* kDamagedObject = "The binary property list has a damaged object.";
constexpr const char* kBadText = "A string is not valid UTF-8 or contains a NUL character.";

// A binary list's layout, as its trailer describes it.
struct Layout {
    const uint8_t* data = nullptr;
    size_t size = 0, offsetSize = 0, refSize = 0;
    uint64_t count = 0, top = 0, tableOffset = 0;

    uint64_t offsetOf(uint64_t object) const { return readBE(data + tableOffset + object * offsetSize, offsetSize); }
    uint64_t refAt(uint64_t position) const { return readBE(data + position, refSize); }
};

std::string readLayout(const uint8_t* data, size_t size, Layout& layout) {
    if (size < 8 + 32) return "The binary property list is truncated.";
    if (std::memcmp(data, "bplist00", 8) != 0) return "Unsupported binary property list version.";
    const uint8_t* trailer = data + size - 32;
    layout.data = data;
    layout.size = size;
    layout.offsetSize = trailer[6];
    layout.refSize = trailer[7];
    layout.count = readBE(trailer + 8, 8);
    layout.top = readBE(trailer + 16, 8);
    layout.tableOffset = readBE(trailer + 24, 8);
    const uint64_t bodyEnd = size - 32;
    if (layout.offsetSize < 1 || layout.offsetSize > 8 || layout.refSize < 1 || layout.refSize > 8) {
        return "The binary property list's trailer is damaged.";
    }
    if (layout.count == 0 || layout.top >= layout.count || layout.tableOffset < 8 || layout.tableOffset > bodyEnd ||
        layout.count > (bodyEnd - layout.tableOffset) / layout.offsetSize) {
        return "The binary property list's object table is damaged.";
    }
    return {};
}

// An object's marker: its type (high four bits), its low four bits, the
// count they give (or the integer after them when all are set) and where
// the object's contents start.
struct Marker {
    uint8_t type = 0, low = 0;
    uint64_t count = 0, contents = 0;
};

// False for an object that starts or whose count runs outside the objects.
bool readMarker(const Layout& layout, uint64_t object, Marker& m) {
    const uint64_t off = layout.offsetOf(object);
    if (off < 8 || off >= layout.tableOffset) return false;
    const uint8_t* data = layout.data;
    m.type = data[off] >> 4;
    m.low = data[off] & 0x0F;
    m.count = m.low;
    m.contents = off + 1;
    const bool counted = m.type == 0x4 || m.type == 0x5 || m.type == 0x6 || m.type == 0xA || m.type == 0xD;
    if (counted && m.low == 0x0F) {
        const uint64_t p = m.contents;
        if (p >= layout.tableOffset || (data[p] >> 4) != 0x1) return false;
        const size_t intSize = size_t(1) << (data[p] & 0x0F);
        if (intSize > 8 || p + 1 + intSize > layout.tableOffset) return false;
        m.count = readBE(data + p + 1, intSize);
        m.contents = p + 1 + intSize;
    }
    return true;
}

// Whether `units` items of `unit` bytes fit between `from` and the offset table.
bool fits(const Layout& layout, uint64_t from, uint64_t units, uint64_t unit) {
    return from <= layout.tableOffset && units <= (layout.tableOffset - from) / unit;
}

// UTF-16 (big-endian) as UTF-8; false for an unpaired surrogate or a NUL.
bool appendUTF16(const uint8_t* p, uint64_t units, std::string& out) {
    out.reserve(size_t(units));
    for (uint64_t i = 0; i < units; ++i) {
        uint32_t c = uint32_t(p[2 * i] << 8 | p[2 * i + 1]);
        if (c >= 0xDC00 && c <= 0xDFFF) return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == units) return false;
            const uint32_t low = uint32_t(p[2 * i + 2] << 8 | p[2 * i + 3]);
            if (low < 0xDC00 || low > 0xDFFF) return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        }
        if (c == 0) return false;
        ns::utf8::appendCodePoint(c, out);
    }
    return true;
}

// 1, 2 and 4-byte integers are unsigned, 8-byte ones signed; a 16-byte one
// holds an unsigned value above INT64_MAX (or a negative one, sign-extended).
bool readInteger(const uint8_t* p, size_t size, Value& out) {
    if (size < 16) {
        const uint64_t v = readBE(p, size);
        out = size == 8 ? Value(int64_t(v)) : Value(static_cast<unsigned long long>(v));
        return true;
    }
    const uint64_t high = readBE(p, 8), low = readBE(p + 8, 8);
    if (high == 0) {
        out = Value(static_cast<unsigned long long>(low));
    } else if (high == ~uint64_t(0) && (low >> 63) != 0) {
        out = Value(int64_t(low));
    } else {
        return false;
    }
    return true;
}

double readDouble(const uint8_t* p, size_t size) {
    const uint64_t bits = readBE(p, size);
    if (size == 4) {
        float f;
        const uint32_t b32 = uint32_t(bits);
        std::memcpy(&f, &b32, sizeof f);
        return double(f);
    }
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

class BinaryReader {
public:
    explicit BinaryReader(const Layout& layout) : layout_(layout), nodes_(size_t(layout.count)) {}

    Value read(std::string& problem) {
        problem = walk();
        if (!problem.empty()) return Value();
        return build(layout_.top);
    }

private:
    enum class Kind : uint8_t { Leaf, Text, Data, UID, Array, Dict };
    enum : uint8_t { kUnseen = 0, kOpen = 1, kDone = 2 };
    struct Node {
        uint64_t refs = 0;      // where a container's references start
        uint64_t refCount = 0;
        uint64_t size = 0;      // a text's bytes as read (UTF-8), or data's
        uint32_t places = 0;    // how many places name it as a value (at most 2 counted)
        uint32_t built = 0;     // its value in built_, plus one, once built
        uint16_t height = 0;    // how far below it values nest
        uint8_t state = kUnseen;
        Kind kind = Kind::Leaf;
    };

    // A leaf object's value, or null with `problem` set.
    Value leaf(const Marker& m, std::string& problem) const {
        const uint8_t* p = layout_.data + m.contents;
        const auto damaged = [&] {
            problem = kDamagedObject;
            return Value();
        };
        switch (m.type) {
            case 0x0:
                if (m.low == 0x8 || m.low == 0x9) return Value(m.low == 0x9);
                problem = "The binary property list holds an object of a kind property lists do not have.";
                return Value();
            case 0x1: {
                const size_t size = size_t(1) << std::min<uint8_t>(m.low, 5);
                Value v;
                if (m.low > 4 || !fits(layout_, m.contents, size, 1)) return damaged();
                if (!readInteger(p, size, v)) problem = "The binary property list has an integer past 64 bits.";
                return v;
            }
            case 0x2:
                if ((m.low != 2 && m.low != 3) || !fits(layout_, m.contents, size_t(1) << m.low, 1)) return damaged();
                return Value(readDouble(p, size_t(1) << m.low));
            case 0x3: {
                if (m.low != 3 || !fits(layout_, m.contents, 8, 1)) return damaged();
                const auto date = plist_date::readDate(readDouble(p, 8));
                if (!date) problem = "A date is outside the range property lists can hold, 1933 to 2069.";
                return date ? Value(Date{*date}) : Value();
            }
            case 0x4:
                if (!fits(layout_, m.contents, m.count, 1)) return damaged();
                return Value(Data(p, p + m.count));
            case 0x5: {
                if (!fits(layout_, m.contents, m.count, 1)) return damaged();
                std::string text(reinterpret_cast<const char*>(p), size_t(m.count));
                if (!validText(text)) problem = kBadText;
                return problem.empty() ? Value(std::move(text)) : Value();
            }
            case 0x6: {
                if (!fits(layout_, m.contents, m.count, 2)) return damaged();
                std::string text;
                if (!appendUTF16(p, m.count, text)) problem = kBadText;
                return problem.empty() ? Value(std::move(text)) : Value();
            }
            case 0x8:
                if (m.low > 7 || !fits(layout_, m.contents, m.low + 1u, 1)) return damaged();
                return Value(static_cast<unsigned long long>(readBE(p, m.low + 1u)));
            default:
                problem = "The binary property list holds an object of a kind property lists do not have.";
                return Value();
        }
    }

    // First sight of an object at `depth`: its kind, for a container where
    // its references are and its storage's cost, for a leaf its size.
    std::string open(uint64_t object, size_t depth) {
        Node& node = nodes_[size_t(object)];
        Marker m;
        if (!readMarker(layout_, object, m)) return kDamagedObject;
        if (m.type == 0xA || m.type == 0xD) {
            const uint64_t refs = m.type == 0xD ? m.count * 2 : m.count;
            if (m.count > layout_.tableOffset || !fits(layout_, m.contents, refs, layout_.refSize)) return kDamagedObject;
            node.kind = m.type == 0xD ? Kind::Dict : Kind::Array;
            node.refs = m.contents;
            node.refCount = refs;
            node.state = refs ? kOpen : kDone;
            if (auto problem = spend(node.kind == Kind::Dict ? cost::kDictionaryBlock : cost::arrayStorage(m.count));
                !problem.empty()) {
                return problem;
            }
            return depth > kMaxDepth ? tooDeep() : std::string();
        }
        std::string problem;
        const Value v = leaf(m, problem);
        if (!problem.empty()) return problem;
        node.state = kDone;
        if (m.type == 0x8) {
            node.kind = Kind::UID;  // read as {"CF$UID": n}
            node.height = 1;
        } else if (v.isString() || v.isData()) {
            node.kind = v.isString() ? Kind::Text : Kind::Data;
            node.size = v.isString() ? v.asString().size() : v.asData().size();
        }
        return depth + node.height > kMaxDepth ? tooDeep() : std::string();
    }

    // Depth first from the top with a stack of its own, each object opened
    // once: every reference to an object that exists and is well formed, no
    // cycles, keys that are text, no value nested past kMaxDepth, and what
    // the whole takes in memory (see kExpansionPerByte) within the bound.
    std::string walk() {
        budget_ = kExpansionPerByte * uint64_t(layout_.size);
        std::vector<std::pair<uint64_t, uint64_t>> stack;  // an open container and its next reference
        if (auto problem = open(layout_.top, 0); !problem.empty()) return problem;
        if (auto problem = place(nodes_[size_t(layout_.top)], false); !problem.empty()) return problem;
        if (nodes_[size_t(layout_.top)].state == kOpen) stack.emplace_back(layout_.top, 0);
        while (!stack.empty()) {
            auto& [object, next] = stack.back();
            Node& parent = nodes_[size_t(object)];
            if (next == parent.refCount) {
                parent.state = kDone;
                const uint16_t height = parent.height;
                stack.pop_back();
                if (!stack.empty()) {
                    Node& above = nodes_[size_t(stack.back().first)];
                    above.height = std::max<uint16_t>(above.height, uint16_t(height + 1));
                }
                continue;
            }
            const bool isKey = parent.kind == Kind::Dict && next < parent.refCount / 2;
            const uint64_t child = layout_.refAt(parent.refs + next * layout_.refSize);
            ++next;
            if (child >= layout_.count) return "The binary property list refers to a missing object.";
            Node& node = nodes_[size_t(child)];
            if (node.state == kOpen) return "The binary property list contains a reference cycle.";
            if (node.state == kUnseen) {
                if (auto problem = open(child, stack.size()); !problem.empty()) return problem;
            } else if (stack.size() + node.height > kMaxDepth) {
                return tooDeep();
            }
            if (isKey && node.kind != Kind::Text) return "The binary property list has a key that is not a string.";
            if (auto problem = place(node, isKey); !problem.empty()) return problem;
            if (node.state == kOpen) {
                stack.emplace_back(child, 0);
                continue;
            }
            parent.height = std::max<uint16_t>(parent.height, uint16_t(node.height + 1));
        }
        // What each text, data and UID takes once is known now: kept in
        // the one place that names it, or shared by the places that do.
        for (const Node& node : nodes_) {
            if (node.places == 0) continue;
            const bool shared = node.places > 1;
            switch (node.kind) {
                case Kind::Text:
                    if (auto p = spend(shared ? cost::sharedText(node.size) : cost::text(node.size)); !p.empty()) return p;
                    break;
                case Kind::Data:
                    if (auto p = spend(shared ? cost::sharedData(node.size) : cost::data(node.size)); !p.empty()) return p;
                    break;
                case Kind::UID:
                    if (auto p = spend(cost::kUIDStorage); !p.empty()) return p;
                    break;
                default: break;
            }
        }
        return {};
    }

    // A place naming `node`: a member's key (its node and its own copy of
    // the text) or a value's slot.
    std::string place(Node& node, bool isKey) {
        if (isKey) return spend(cost::entry(node.size));
        if (node.places < 2) ++node.places;
        return spend(cost::kValue);
    }

    std::string spend(uint64_t bytes) {
        spent_ += bytes;
        if (spent_ <= budget_) return {};
        return format("The binary property list expands into too many objects and bytes (more than %llu bytes).",
                      static_cast<unsigned long long>(budget_));
    }

    // The value of an object walk() accepted. An object named from several
    // places is built once and shared by them all (its text or data too).
    Value build(uint64_t object) {
        Node& node = nodes_[size_t(object)];
        if (node.built != 0) return built_[node.built - 1];
        std::string unused;
        Marker m;
        Value value;
        switch (node.kind) {
            case Kind::Leaf:
            case Kind::Text:
            case Kind::Data: readMarker(layout_, object, m); value = leaf(m, unused); break;
            case Kind::UID: readMarker(layout_, object, m); value = Value(Dictionary{{kUIDKey, leaf(m, unused)}}); break;
            case Kind::Array: {
                Array items;
                items.reserve(size_t(node.refCount));
                for (uint64_t i = 0; i < node.refCount; ++i) items.push_back(build(refAt(node, i)));
                value = Value(std::move(items));
                break;
            }
            case Kind::Dict: {
                Dictionary entries;
                const uint64_t half = node.refCount / 2;
                for (uint64_t i = 0; i < half; ++i) {
                    readMarker(layout_, refAt(node, i), m);
                    Value key = leaf(m, unused);
                    // Keys mostly come in order: placed at the end in constant time.
                    entries.insert_or_assign(entries.end(), key.asString(), build(refAt(node, half + i)));
                }
                value = Value(std::move(entries));
                break;
            }
        }
        if (node.places > 1) {
            value.share();
            built_.push_back(value);
            node.built = uint32_t(built_.size());
        }
        return value;
    }

    uint64_t refAt(const Node& node, uint64_t i) const { return layout_.refAt(node.refs + i * layout_.refSize); }

    const Layout& layout_;
    std::vector<Node> nodes_;
    std::vector<Value> built_;
    uint64_t budget_ = 0, spent_ = 0;
};

// The objects of a value in the order they are written, the first on top:
// containers before what they hold. Equal texts, data, numbers, dates and
// UIDs are one object named from every place they stand (keys most of all),
// and so is a container several places share (one storage, as a list read
// with shared objects holds), so a list read and written again is no
// larger than it was.
class BinaryWriter {
public:
    explicit BinaryWriter(bool uids) : uids_(uids) {}

    Data write(const Value& value) {
        add(value);
        mergeEqualLeaves();
        const size_t refSize = bytesFor(objects_.size() - 1);
        Data out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
        out.reserve(sizeEstimate(refSize));
        std::vector<uint64_t> offsets;
        offsets.reserve(objects_.size());
        for (const Object& object : objects_) {
            offsets.push_back(out.size());
            encode(object, refSize, out);
        }
        const uint64_t tableOffset = out.size();
        const size_t offsetSize = bytesFor(offsets.empty() ? 0 : offsets.back());
        for (uint64_t off : offsets) appendBE(out, off, offsetSize);
        out.insert(out.end(), 6, 0);  // unused, then the sort version
        out.push_back(uint8_t(offsetSize));
        out.push_back(uint8_t(refSize));
        appendBE(out, objects_.size(), 8);
        appendBE(out, 0, 8);  // the top object
        appendBE(out, tableOffset, 8);
        return out;
    }

private:
    enum class Kind : uint8_t { Value, Text, UID };
    struct Object {
        const Value* value = nullptr;
        const std::string* text = nullptr;
        Kind kind = Kind::Value;
        size_t refs = 0, refCount = 0;  // a container's references, in refs_
    };

    bool isUID(const Value& v) const {
        if (!uids_ || !v.isDictionary() || v.asDictionary().size() != 1) return false;
        const auto& [key, number] = *v.asDictionary().begin();
        return key == kUIDKey && number.isInteger() && (number.type() == Value::Type::UInt || number.asInt() >= 0);
    }

    // The object standing for `v`: the one made for the same shared storage
    // (a container, text or data read once for all its places, whose bytes
    // are then neither hashed nor compared again at each place), or a new
    // one; equal leaves are folded once the walk is over (mergeEqualLeaves).
    uint64_t add(const Value& v) {
        const void* storage = v.sharedStorage();
        if (storage) {
            if (auto at = shared_.find(storage); at != shared_.end()) return at->second;
        }
        const uint64_t index = addAt(v);
        if (storage) shared_.emplace(storage, index);
        return index;
    }

    // A container's references are gathered on `pending_` above those of
    // the containers around it, then moved to refs_ once all are known.
    uint64_t addAt(const Value& v) {
        if (v.isString()) return addText(v.asString());
        const bool uid = isUID(v);
        const bool container = !uid && (v.isArray() || v.isDictionary());
        const uint64_t index = objects_.size();
        if (v.isData()) {
            const Data& bytes = v.asData();
            bytes_.push_back(Leaf::of(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), index, true));
            leafBytes_ += bytes.size();
        } else if (!container) {
            scalars_.emplace_back(scalarKey(v, uid), index);
        }
        objects_.push_back(Object{&v, nullptr, uid ? Kind::UID : Kind::Value});
        if (!container) return index;
        const size_t start = pending_.size();
        if (v.isArray()) {
            for (const Value& item : v.asArray()) pending_.push_back(add(item));
        } else {
            for (const auto& entry : v.asDictionary()) pending_.push_back(addText(entry.first));
            for (const auto& entry : v.asDictionary()) pending_.push_back(add(entry.second));
        }
        objects_[index].refs = refs_.size();
        objects_[index].refCount = pending_.size() - start;
        refs_.insert(refs_.end(), pending_.begin() + long(start), pending_.end());
        pending_.resize(start);
        return index;
    }

    // What tells a number, date, boolean or UID from every other as it is
    // written: its kind and its bits (a date's as written, to the microsecond).
    static std::pair<uint8_t, uint64_t> scalarKey(const Value& v, bool uid) {
        const auto bits = [](double d) {
            uint64_t b;
            std::memcpy(&b, &d, sizeof b);
            return b;
        };
        if (uid) return {0, v.asDictionary().begin()->second.asUInt()};
        switch (v.type()) {
            case Value::Type::Bool: return {1, v.asBool() ? 1u : 0u};
            case Value::Type::Int: return {2, uint64_t(v.asInt())};
            case Value::Type::UInt: return {3, v.asUInt()};
            case Value::Type::Double: return {4, bits(v.asDouble())};
            case Value::Type::Date: {
                const auto date = plist_date::libraryDate(v.asDate().secondsSince1970 - plist_date::kEpoch2001);
                return {5, bits(double(date->seconds) + double(date->microseconds) / 1e6)};
            }
            default: return {6, 0};  // unwritable() refused the rest
        }
    }

    // Short texts (keys above all) are looked up as they come: most repeat.
    // Longer ones, like data, numbers and dates, each get an object, and
    // mergeEqualLeaves() folds the equal ones once all are known.
    uint64_t addText(const std::string& text) {
        if (text.size() <= kLookedUpText) {
            auto [at, fresh] = texts_.emplace(text, objects_.size());
            if (!fresh) return at->second;
        } else {
            bytes_.push_back(Leaf::of(text, objects_.size(), false));
        }
        leafBytes_ += text.size();
        objects_.push_back(Object{nullptr, &text, Kind::Text});
        return objects_.size() - 1;
    }

    // One sort of each kind instead of a tree look-up per leaf: equal
    // leaves end up side by side, and each stands for the first of its run
    // (the earliest object, so the objects keep the order they were met in).
    // std::sort's comparisons stay n log n whatever the input.
    void mergeEqualLeaves() {
        // (a folded object, the earlier one it stands for): none in a list
        // whose leaves all differ, which then costs no table the size of all.
        std::vector<std::pair<uint64_t, uint64_t>> folds;
        std::sort(bytes_.begin(), bytes_.end(), [](const Leaf& a, const Leaf& b) {
            if (a.hash != b.hash) return a.hash < b.hash;
            if (a.size != b.size) return a.size < b.size;
            const int order = std::memcmp(a.bytes, b.bytes, a.size);
            return order != 0 ? order < 0 : a.index < b.index;
        });
        for (size_t i = 1, first = 0; i < bytes_.size(); ++i) {
            const Leaf &leaf = bytes_[i], &run = bytes_[first];
            if (leaf.hash == run.hash && leaf.size == run.size && std::memcmp(leaf.bytes, run.bytes, leaf.size) == 0) {
                folds.emplace_back(leaf.index, run.index);
            } else {
                first = i;
            }
        }
        std::sort(scalars_.begin(), scalars_.end());
        for (size_t i = 1, first = 0; i < scalars_.size(); ++i) {
            if (scalars_[i].sameAs(scalars_[first])) {
                folds.emplace_back(scalars_[i].index(), scalars_[first].index());
            } else {
                first = i;
            }
        }
        if (folds.empty()) return;
        std::vector<uint64_t> same(objects_.size());
        std::iota(same.begin(), same.end(), uint64_t(0));
        for (const auto& [folded, into] : folds) same[folded] = into;
        // An object folded into an earlier one takes that one's number.
        size_t kept = 0;
        for (size_t i = 0; i < objects_.size(); ++i) {
            if (same[i] == i) {
                objects_[kept] = objects_[i];
                same[i] = kept++;
            } else {
                same[i] = same[same[i]];
            }
        }
        objects_.resize(kept);
        for (uint64_t& ref : refs_) ref = same[ref];
    }

    // About what the list takes, so the output grows once: a marker with
    // its count (or a scalar) and an offset an object, the leaves' bytes
    // (folded ones too) and the references.
    size_t sizeEstimate(size_t refSize) const { return 40 + objects_.size() * 17 + leafBytes_ + refs_.size() * refSize; }

    static void marker(uint8_t type, uint64_t count, Data& out) {
        if (count < 15) {
            out.push_back(uint8_t(type << 4 | count));
            return;
        }
        out.push_back(uint8_t(type << 4 | 0x0F));
        const size_t size = bytesFor(count);
        out.push_back(uint8_t(0x10 | log2Of(size)));
        appendBE(out, count, size);
    }

    static void encodeText(const std::string& text, Data& out) {
        if (std::all_of(text.begin(), text.end(), [](char c) { return uint8_t(c) < 0x80; })) {
            marker(0x5, text.size(), out);
            out.insert(out.end(), text.begin(), text.end());
            return;
        }
        std::vector<uint16_t> units;
        const std::u32string codePoints = utf8::codePoints(text).value_or(std::u32string());
        for (char32_t c : codePoints) {
            if (c < 0x10000) {
                units.push_back(uint16_t(c));
            } else {
                units.push_back(uint16_t(0xD800 + ((c - 0x10000) >> 10)));
                units.push_back(uint16_t(0xDC00 + ((c - 0x10000) & 0x3FF)));
            }
        }
        marker(0x6, units.size(), out);
        for (uint16_t u : units) appendBE(out, u, 2);
    }

    static void encodeInteger(const Value& v, Data& out) {
        if (v.type() == Value::Type::UInt) {
            out.push_back(0x14);  // 16 bytes: the high half zero
            appendBE(out, 0, 8);
            appendBE(out, v.asUInt(), 8);
            return;
        }
        const int64_t i = v.asInt();
        const size_t size = i < 0 ? 8 : bytesFor(uint64_t(i));
        // 8-byte integers are signed; smaller ones are unsigned.
        out.push_back(uint8_t(0x10 | log2Of(size)));
        appendBE(out, uint64_t(i), size);
    }

    static void encodeDouble(uint8_t markerByte, double d, Data& out) {
        uint64_t bits;
        std::memcpy(&bits, &d, sizeof bits);
        out.push_back(markerByte);
        appendBE(out, bits, 8);
    }

    void encode(const Object& o, size_t refSize, Data& out) const {
        if (o.kind == Kind::Text) return encodeText(*o.text, out);
        const Value& v = *o.value;
        if (o.kind == Kind::UID) {
            const uint64_t uid = v.asDictionary().begin()->second.asUInt();
            const size_t size = bytesFor(uid);
            out.push_back(uint8_t(0x80 | (size - 1)));
            return appendBE(out, uid, size);
        }
        switch (v.type()) {
            case Value::Type::Bool: out.push_back(v.asBool() ? 0x09 : 0x08); return;
            case Value::Type::Int:
            case Value::Type::UInt: return encodeInteger(v, out);
            case Value::Type::Double: return encodeDouble(0x23, v.asDouble(), out);
            case Value::Type::Date: {
                const auto date = plist_date::libraryDate(v.asDate().secondsSince1970 - plist_date::kEpoch2001);
                return encodeDouble(0x33, double(date->seconds) + double(date->microseconds) / 1e6, out);
            }
            case Value::Type::Data:
                marker(0x4, v.asData().size(), out);
                out.insert(out.end(), v.asData().begin(), v.asData().end());
                return;
            case Value::Type::Array:
            case Value::Type::Dictionary:
                marker(v.isArray() ? 0xA : 0xD, v.isArray() ? o.refCount : o.refCount / 2, out);
                for (size_t i = 0; i < o.refCount; ++i) appendBE(out, refs_[o.refs + i], refSize);
                return;
            default: return;  // unwritable() refused the rest
        }
    }

    const bool uids_;
    std::vector<Object> objects_;
    std::vector<uint64_t> refs_, pending_;
    static constexpr size_t kLookedUpText = 32;
    // Trees, not hash tables: no chosen input makes a look-up slow.
    std::map<std::string_view, uint64_t> texts_;
    std::map<const void*, uint64_t> shared_;
    // The leaves mergeEqualLeaves() folds. Long texts and data: a hash
    // (whose top bit tells data from text) orders most unequal ones without
    // a look at their bytes; equal hashes (chosen ones too) fall back to
    // comparing the bytes, no slower than without it.
    struct Leaf {
        const char* bytes;
        size_t size;
        uint64_t index;
        size_t hash;
        static Leaf of(std::string_view bytes, uint64_t index, bool data) {
            const size_t hash = std::hash<std::string_view>()(bytes) >> 1 | (data ? ~(~size_t(0) >> 1) : 0);
            return {bytes.data(), bytes.size(), index, hash};
        }
    };
    std::vector<Leaf> bytes_;
    size_t leafBytes_ = 0;
    // Numbers, dates, booleans and UIDs, by kind and bits (scalarKey). The
    // kind rides in the top byte of its object's index (no list
    // holds 2^56 objects): sixteen bytes a scalar.
    struct Scalar {
        uint64_t bits;
        uint64_t kindAndIndex;
        Scalar(std::pair<uint8_t, uint64_t> key, uint64_t index) : bits(key.second), kindAndIndex(uint64_t(key.first) << 56 | index) {}
        uint64_t index() const { return kindAndIndex & ((uint64_t(1) << 56) - 1); }
        bool sameAs(const Scalar& other) const { return bits == other.bits && kindAndIndex >> 56 == other.kindAndIndex >> 56; }
        bool operator<(const Scalar& other) const {
            const uint64_t kind = kindAndIndex >> 56, otherKind = other.kindAndIndex >> 56;
            if (kind != otherKind) return kind < otherKind;
            return bits != other.bits ? bits < other.bits : kindAndIndex < other.kindAndIndex;
        }
    };
    std::vector<Scalar> scalars_;
};

}  // namespace

std::string tooDeep() { return format("Too many nested arrays or dictionaries (more than %zu).", kMaxDepth); }

bool validText(std::string_view s) { return s.find('\0') == std::string_view::npos && utf8::isValid(s); }

Value readBinary(const uint8_t* bytes, size_t size, std::string& problem) {
    Layout layout;
    problem = readLayout(bytes, size, layout);
    if (!problem.empty()) return Value();
    return BinaryReader(layout).read(problem);
}

Data writeBinary(const Value& value, bool uids) { return BinaryWriter(uids).write(value); }

}  // namespace ns::plist_codec
