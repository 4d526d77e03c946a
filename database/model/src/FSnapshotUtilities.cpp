#include "database/model/FSnapshotUtilities.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>

#include "database/model/FStringUtilities.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/json.h"
#include "platform/thread_owned.h"

namespace {

const char kInvalidData[] = "InvalidQuorvaneData";
const char kPriorityKey[] = ".priority";
const char kValueKey[] = ".value";
const char kServerValueKey[] = ".sv";

std::string typeName(const ns::Value& v) {
    using T = ns::Value::Type;
    switch (v.type()) {
        case T::Null: return "NSNull";
        case T::Bool:
        case T::Int:
        case T::UInt:
        case T::Double: return "NSNumber";
        case T::String: return "NSString";
        case T::Data: return "NSData";
        case T::Date: return "NSDate";
        case T::Array: return "NSArray";
        case T::Dictionary: return "NSDictionary";
        case T::Object: return v.asObject()->className();
    }
    return "NSObject";
}

bool isLeafType(const ns::Value& v) { return v.isString() || v.isNumber() || v.isBool(); }

bool isValidKeyPiece(std::string_view key, bool slashAllowed) {
    if (key.empty()) return false;
    for (char c : key) {
        if (c == '.' || c == '#' || c == '$' || c == '[' || c == ']') return false;
        if (c == '/' && !slashAllowed) return false;
    }
    return true;
}

// Whether a key may be an integer, which sorts before every text key; the
// keys of records mostly start with a letter and are settled by one byte.
bool mayBeInteger(std::string_view key) {
    return !key.empty() && (key[0] == '-' || (key[0] >= '0' && key[0] <= '9'));
}

struct Decorated {
    int64_t number;  // the key's integer value, or above every int32 for text keys
    size_t index;
};

// Puts children entries in key order where they lie, deciding integer keys
// once per key rather than in every comparison. `order` and `spare` are
// room the caller keeps for the next node, so a record costs no block here.
void sortInKeyOrder(std::vector<FChildrenDictionary::Entry>& entries, std::vector<Decorated>& order,
                    std::vector<FChildrenDictionary::Entry>& spare) {
    constexpr int64_t kText = int64_t(std::numeric_limits<int32_t>::max()) + 1;
    order.clear();
    for (size_t i = 0; i < entries.size(); ++i) {
        std::optional<int32_t> n;
        if (mayBeInteger(entries[i].first)) n = FUtilities::intForString(entries[i].first);
        order.push_back({n ? int64_t(*n) : kText, i});
    }
    auto less = [&](const Decorated& a, const Decorated& b) {
        if (a.number != b.number) return a.number < b.number;
        if (a.number != kText) return false;
        return FStringUtilities::compareUtf16(entries[a.index].first, entries[b.index].first) < 0;
    };
    if (std::is_sorted(order.begin(), order.end(), less)) return;
    std::sort(order.begin(), order.end(), less);
    spare.clear();
    spare.reserve(entries.size());
    for (const Decorated& d : order) spare.push_back(std::move(entries[d.index]));
    entries.swap(spare);
}

std::vector<FChildrenDictionary::Entry> inKeyOrder(std::vector<FChildrenDictionary::Entry>& entries) {
    std::vector<Decorated> order;
    order.reserve(entries.size());
    std::vector<FChildrenDictionary::Entry> spare;
    sortInKeyOrder(entries, order, spare);
    return std::move(entries);
}

// Converts and validates a Foundation value, keeping the keys of the path
// so far for the reasons of its exceptions.
class Converter {
public:
    Converter(std::string_view fn, FPath base, int maxDepth = kQuorvaneMaxObjectDepth)
        : fn_(fn), base_(std::move(base)), maxDepth_(maxDepth) {
        // The thread's room outlives the conversion: the children of a large
        // object are often converted one by one, and the next one's records
        // have the fields of the last one's.
        thread_local Levels* sharedSlot = nullptr;
        Levels& shared = ns::threadOwned(sharedSlot);
        if (!shared.inUse) {
            levels_ = &shared;
        } else {
            own_ = std::make_unique<Levels>();
            levels_ = own_.get();
        }
        levels_->inUse = true;
    }
    ~Converter() { levels_->inUse = false; }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    FNodePtr convert(const ns::Value& value, const ns::Value* priority, int depth) {
        if (depth > maxDepth_) {
            raise(ns::format("(%@) Max object depth exceeded: %@...", fn_,
                             FStringUtilities::prefixOfUtf16Length(pathString(), 100)));
        }
        if (value.isNull()) return FEmptyNode::emptyNode();
        FNodePtr priorityNode = priority ? priorityFrom(*priority) : nullptr;
        if (const ns::Dictionary* dict = value.dictionaryOrNull()) {
            if (dict->count(kServerValueKey)) {
                if (dict->size() > 1) raise(ns::format("(%@) Cannot store other keys with server value keys.%@.", fn_, pathString()));
                return serverValue(*dict, priorityNode, depth);
            }
            // A ".priority" member wins over a priority given beside the value.
            auto p = dict->find(kPriorityKey);
            if (p != dict->end()) priorityNode = priorityFrom(p->second);
            auto v = dict->find(kValueKey);
            if (v != dict->end()) {
                const ns::Value& inner = v->second;
                if (inner.isNull()) return FEmptyNode::emptyNode();
                if (!isLeafType(inner)) {
                    throw ns::Exception("InvalidLeafValueType",
                                        ns::format("(%@) Invalid data type used with .value. Can only use NSString and "
                                                   "NSNumber or be null. Found %@ instead.",
                                                   fn_, typeName(inner)));
                }
                return leaf(inner, priorityNode);
            }
            return children(*dict, p != dict->end(), priorityNode, depth);
        }
        if (const ns::Array* array = value.arrayOrNull()) {
            std::vector<FChildrenDictionary::Entry> entries;
            entries.reserve(array->size());
            for (size_t i = 0; i < array->size(); ++i) {
                std::string key = std::to_string(i);
                path_.push_back(key);
                FNodePtr node = convert((*array)[i], nullptr, depth + 1);
                path_.pop_back();
                if (!node->isEmpty()) entries.emplace_back(std::move(key), std::move(node));
            }
            // "0", "1", ... are already in key order.
            return FChildrenNode::make(FChildrenDictionary::fromSortedEntries(std::move(entries)), priorityNode);
        }
        if (isLeafType(value)) return leaf(value, priorityNode);
        raise(ns::format("(%@) Cannot store object of type %@ at %@. Can only store objects of type NSNumber, "
                         "NSString, NSDictionary, and NSArray.",
                         fn_, typeName(value), pathString()));
    }

    // A validated priority node; nullptr for none.
    FNodePtr priorityFrom(const ns::Value& p) {
        if (p.isNull()) return nullptr;
        if (p.isBool()) raise(ns::format("(%@) Cannot store true/false as priority at path: %@.", fn_, pathString()));
        if (p.isNumber()) {
            if (p.isDouble() && std::isnan(p.asDouble())) {
                raise(ns::format("(%@) Cannot store NaN as priority at path: %@.", fn_, pathString()));
            }
            return FLeafNode::make(p);
        }
        if (p.isString()) return FLeafNode::make(p);
        if (p.isArray()) raise(ns::format("(%@) Cannot store an NSArray as priority at path: %@.", fn_, pathString()));
        if (const ns::Dictionary* dict = p.dictionaryOrNull()) {
            if (dict->count(kServerValueKey)) {
                if (dict->size() > 1) {
                    raise(ns::format("(%@) Cannot store other keys with server value keys as priority at path: %@.",
                                     fn_, pathString()));
                }
                return serverValue(*dict, nullptr, 0);
            }
            raise(ns::format("(%@) Cannot store an NSDictionary as priority at path: %@.", fn_, pathString()));
        }
        raise(ns::format("(%@) Cannot store object of type %@ at %@. Can only store objects of type NSNumber, "
                         "NSString, NSDictionary, and NSArray.",
                         fn_, typeName(p), pathString()));
    }

    // The node convert() makes of the element's value, or nullptr where the
    // outcome is decided by the value's own conversion: a key that is not
    // plain (".priority", ".value", ".sv", a forbidden character), a key
    // given twice, a string over the leaf limit, deep nesting. Nothing here
    // raises, so the values' conversion words every refusal.
    FNodePtr convert(const ns::json::Element& e, int depth) {
        using Kind = ns::json::Element::Kind;
        switch (e.kind()) {
            case Kind::Null: return FEmptyNode::emptyNode();
            case Kind::Object: return depth < kMaxElementDepth ? children(e, depth) : nullptr;
            case Kind::Array: return depth < kMaxElementDepth ? items(e, depth) : nullptr;
            default: break;
        }
        std::optional<ns::Value> v = leafValue(e);
        return v ? FLeafNode::make(*v) : nullptr;
    }

private:
    // Nesting past this goes through the values, whose reader and
    // conversion each have a limit of their own.
    static constexpr int kMaxElementDepth = 64;

    [[noreturn]] static void raise(std::string reason) { throw ns::Exception(kInvalidData, std::move(reason)); }

    static std::optional<ns::Value> leafValue(const ns::json::Element& e) {
        using Kind = ns::json::Element::Kind;
        switch (e.kind()) {
            case Kind::Bool: return ns::Value(e.boolValue());
            case Kind::Int: return ns::Value(static_cast<long long>(e.intValue()));
            case Kind::UInt: return ns::Value(static_cast<unsigned long long>(e.uintValue()));
            case Kind::Double:
                if (!std::isfinite(e.doubleValue())) return std::nullopt;
                return ns::Value(e.doubleValue());
            case Kind::String:
                if (e.stringValue().size() > kQuorvaneMaxLeafSize) return std::nullopt;
                return ns::Value(e.stringValue());
            default: return std::nullopt;
        }
    }

    FNodePtr children(const ns::json::Element& object, int depth) {
        Level& at = level(depth);
        std::vector<FChildrenDictionary::Entry>& entries = at.entries;
        entries.clear();
        entries.reserve(object.size());
        // While the keys are those of the last record here, in the same
        // order, they are valid and already made, and each field's leaf may
        // be its last one.
        bool sameShape = object.size() == at.shape.size();
        size_t i = 0;
        const bool read = object.forEach([&](std::string_view key, const ns::json::Element& child) {
            sameShape = sameShape && key == at.shape[i].str();
            if (!sameShape && !isValidKeyPiece(key, false)) return false;
            FNodePtr node;
            using Kind = ns::json::Element::Kind;
            const Kind kind = child.kind();
            if (sameShape && kind != Kind::Object && kind != Kind::Array && kind != Kind::Null) {
                std::optional<ns::Value> v = leafValue(child);
                if (!v) return false;
                node = at.places[i].leaf(*v);
            } else {
                node = convert(child, depth + 1);
                if (!node) return false;
            }
            if (sameShape) {
                entries.emplace_back(at.shape[i], std::move(node));
            } else {
                entries.emplace_back(key, std::move(node));
            }
            ++i;
            return true;
        });
        if (!read) {
            entries.clear();
            return nullptr;
        }
        if (!sameShape) {
            sortInKeyOrder(entries, at.order, at.spare);
            for (size_t k = 1; k < entries.size(); ++k) {
                if (entries[k].first == entries[k - 1].first) {
                    entries.clear();
                    return nullptr;
                }
            }
            at.shape.clear();
            if (entries.size() <= kMaxShape) {
                for (const auto& e : entries) at.shape.push_back(e.first);
            }
            at.places.assign(at.shape.size(), FLeafPlace());
        }
        std::erase_if(entries, [](const FChildrenDictionary::Entry& e) { return e.second->isEmpty(); });
        FNodePtr node = FChildrenNode::make(FChildrenDictionary::fromSortedRange(entries.data(), entries.size()));
        entries.clear();
        return node;
    }

    FNodePtr items(const ns::json::Element& array, int depth) {
        std::vector<FChildrenDictionary::Entry> entries;
        entries.reserve(array.size());
        size_t index = 0;
        const bool read = array.forEach([&](std::string_view, const ns::json::Element& item) {
            FNodePtr node = convert(item, depth + 1);
            if (!node) return false;
            if (!node->isEmpty()) entries.emplace_back(std::to_string(index), std::move(node));
            ++index;
            return true;
        });
        if (!read) return nullptr;
        // "0", "1", ... are already in key order.
        return FChildrenNode::make(FChildrenDictionary::fromSortedEntries(std::move(entries)));
    }

    // Room kept per depth for the next dictionary there: the entries, their
    // order, and the keys of the last small record, which the next record of
    // the same fields shares without looking each key up again.
    struct Level {
        std::vector<FChildrenDictionary::Entry> entries;
        std::vector<FChildrenDictionary::Entry> spare;
        std::vector<Decorated> order;
        std::vector<FChildKey> shape;  // in key order
        // Per field of the shape, its last leaf and how its values repeat.
        std::vector<FLeafPlace> places;
    };
    // Records of more fields than this are rare enough not to be compared
    // with the previous one.
    static constexpr size_t kMaxShape = 32;

    struct Levels {
        std::deque<Level> byDepth;
        bool inUse = false;
    };

    Level& level(int depth) {
        std::deque<Level>& levels = levels_->byDepth;
        while (levels.size() <= size_t(depth)) levels.emplace_back();
        return levels[size_t(depth)];
    }

    // Whether the dictionary's keys, in its own order, are the shape's.
    static bool hasShape(const ns::Dictionary& dict, const std::vector<FChildKey>& shape) {
        if (shape.empty() || dict.size() != shape.size()) return false;
        size_t i = 0;
        for (const auto& member : dict) {
            if (member.first != shape[i++].str()) return false;
        }
        return true;
    }

    FNodePtr children(const ns::Dictionary& dict, bool hasPriorityKey, const FNodePtr& priorityNode, int depth) {
        Level& at = level(depth);
        std::vector<FChildrenDictionary::Entry>& entries = at.entries;
        entries.clear();
        entries.reserve(dict.size());
        // The same keys as the last record here: valid, in key order and
        // already made. Its leaves skip convert(), so a record at the depth
        // bound goes the long way, where they are refused.
        const bool sameShape = !hasPriorityKey && depth < maxDepth_ && hasShape(dict, at.shape);
        size_t i = 0;
        for (const auto& [key, child] : dict) {
            if (key == kPriorityKey) continue;
            if (!sameShape && !isValidKeyPiece(key, false)) {
                raise(ns::format("(%@) Invalid key in object at path: %@. Keys must be non-empty and cannot "
                                 "contain '/' '.' '#' '$' '[' or ']'",
                                 fn_, pathString()));
            }
            path_.push_back(key);
            FNodePtr node;
            if (sameShape && isLeafType(child)) {
                check(child);
                node = at.places[i].leaf(child);
            } else {
                node = convert(child, nullptr, depth + 1);
            }
            path_.pop_back();
            if (sameShape) {
                entries.emplace_back(at.shape[i++], std::move(node));
            } else {
                entries.emplace_back(key, std::move(node));
            }
        }
        if (!sameShape) {
            sortInKeyOrder(entries, at.order, at.spare);
            at.shape.clear();
            if (entries.size() <= kMaxShape) {
                for (const auto& e : entries) at.shape.push_back(e.first);
            }
            at.places.assign(at.shape.size(), FLeafPlace());
        }
        std::erase_if(entries, [](const FChildrenDictionary::Entry& e) { return e.second->isEmpty(); });
        FNodePtr node = FChildrenNode::make(FChildrenDictionary::fromSortedRange(entries.data(), entries.size()),
                                            priorityNode);
        entries.clear();
        return node;
    }

    FNodePtr leaf(const ns::Value& v, const FNodePtr& priority) {
        check(v);
        return FLeafNode::make(v, priority);
    }

    // Raises for a leaf value that may not be stored.
    void check(const ns::Value& v) {
        if (v.isString() && v.asString().size() > kQuorvaneMaxLeafSize) {
            raise(ns::format("(%@) String exceeds max size of %u utf8 bytes: %@", fn_, unsigned(kQuorvaneMaxLeafSize),
                             FStringUtilities::prefixOfUtf16Length(v.asString(), 50)));
        }
        if (v.isDouble() && std::isnan(v.asDouble())) {
            raise(ns::format("(%@) Cannot store NaN at path: %@.", fn_, pathString()));
        }
    }

    // A server-value placeholder is stored as it is; the repository resolves
    // it before the write is applied.
    FNodePtr serverValue(const ns::Dictionary& dict, const FNodePtr& priority, int depth) {
        path_.push_back(kServerValueKey);
        FNodePtr inner = convert(dict.at(kServerValueKey), nullptr, depth + 1);
        path_.pop_back();
        FChildrenDictionary children;
        if (!inner->isEmpty()) children = children.insert(kServerValueKey, inner);
        return FChildrenNode::make(std::move(children), priority);
    }

    std::string pathString() const {
        std::vector<std::string> pieces(base_.begin(), base_.end());
        pieces.insert(pieces.end(), path_.begin(), path_.end());
        return FPath(std::move(pieces), 0).toString();
    }

    std::string_view fn_;
    FPath base_;
    int maxDepth_;
    // Keys of the values being converted, which outlive their conversion.
    std::vector<std::string_view> path_;
    Levels* levels_;
    std::unique_ptr<Levels> own_;  // when the thread's room is taken
};

const char kNodeFromTag[] = "nodeFrom:priority:";

// Builds nodes straight from the JSON parser's events, as the conversion of
// the values would. It gives up, leaving the text to that conversion, at
// anything whose outcome the conversion decides in its own order or the
// values' reader decides on its own: a key that is not plain (".priority",
// ".value", ".sv", a forbidden character), a key given twice, a string over
// the leaf limit, a number out of range, deep nesting, text that is not JSON.
class NodeBuilder : public nlohmann::json_sax<nlohmann::json> {
public:
    bool null() override { return put(FEmptyNode::emptyNode()); }
    bool boolean(bool b) override { return put(FLeafNode::make(ns::Value(b))); }
    bool number_integer(number_integer_t i) override { return put(FLeafNode::make(ns::Value(int64_t(i)))); }
    bool number_unsigned(number_unsigned_t u) override {
        return put(FLeafNode::make(ns::Value(static_cast<unsigned long long>(u))));
    }
    bool number_float(number_float_t d, const string_t&) override {
        return std::isfinite(d) && put(FLeafNode::make(ns::Value(double(d))));
    }
    bool string(string_t& s) override {
        return s.size() <= kQuorvaneMaxLeafSize && put(FLeafNode::make(ns::Value(std::move(s))));
    }
    bool binary(binary_t&) override { return false; }
    bool start_object(std::size_t) override { return open(true); }
    bool key(string_t& k) override {
        if (!isValidKeyPiece(k, false)) return false;
        stack_.back().key = std::move(k);
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(false); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }

    FNodePtr result;

private:
    // Nesting past this goes through the values, whose reader and
    // conversion each have a limit of their own.
    static constexpr size_t kMaxDepth = 64;

    struct Frame {
        bool isObject;
        size_t index;  // an array's next index
        std::string key;
        // Every member, the empty ones included until the end (a later
        // member of the same key would replace them).
        std::vector<FChildrenDictionary::Entry> entries;
    };

    bool put(FNodePtr node) {
        if (stack_.empty()) {
            result = std::move(node);
            return true;
        }
        Frame& f = stack_.back();
        if (f.isObject) {
            f.entries.emplace_back(f.key, std::move(node));
        } else if (!node->isEmpty()) {
            // An array's children keep their indexes; null ones leave gaps.
            f.entries.emplace_back(std::to_string(f.index), std::move(node));
        }
        ++f.index;
        return true;
    }
    bool open(bool isObject) {
        if (stack_.size() >= kMaxDepth) return false;
        stack_.push_back(Frame{isObject, 0, {}, {}});
        return true;
    }
    bool close() {
        Frame f = std::move(stack_.back());
        stack_.pop_back();
        if (!f.isObject) return put(FChildrenNode::make(FChildrenDictionary::fromSortedEntries(std::move(f.entries))));
        std::vector<FChildrenDictionary::Entry> sorted = inKeyOrder(f.entries);
        for (size_t i = 1; i < sorted.size(); ++i) {
            if (sorted[i].first == sorted[i - 1].first) return false;
        }
        std::erase_if(sorted, [](const FChildrenDictionary::Entry& e) { return e.second->isEmpty(); });
        return put(FChildrenNode::make(FChildrenDictionary::fromSortedEntries(std::move(sorted))));
    }

    std::vector<Frame> stack_;
};

// The 16 hex digits of the double's bits, without a temporary string.
void appendIeee754(double d, std::string& out) {
    uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    static const char kHex[] = "0123456789abcdef";
    char digits[16];
    for (int i = 15; i >= 0; --i) {
        digits[i] = kHex[bits & 0xF];
        bits >>= 4;
    }
    out.append(digits, 16);
}

}  // namespace

FNodePtr FSnapshotUtilities::nodeFrom(const ns::Value& value) { return nodeFromWithValidation(value, kNodeFromTag); }

FNodePtr FSnapshotUtilities::nodeFrom(const ns::Value& value, const ns::Value& priority) {
    return nodeFromWithValidation(value, priority, kNodeFromTag);
}

FNodePtr FSnapshotUtilities::nodeFromWithValidation(const ns::Value& value, std::string_view validationFrom) {
    Converter converter(validationFrom, FPath());
    return converter.convert(value, nullptr, 0);
}

FNodePtr FSnapshotUtilities::nodeFromWithValidation(const ns::Value& value, const ns::Value& priority,
                                                    std::string_view validationFrom) {
    Converter converter(validationFrom, FPath());
    return converter.convert(value, &priority, 0);
}

FNodePtr FSnapshotUtilities::nodeFromTree(const ns::Value& value, int maxDepth) {
    Converter converter(kNodeFromTag, FPath(), maxDepth);
    return converter.convert(value, nullptr, 0);
}

FNodePtr FSnapshotUtilities::nodeFrom(const ns::json::Element& element) {
    {
        Converter converter(kNodeFromTag, FPath());
        if (FNodePtr node = converter.convert(element, 0)) return node;
    }
    std::optional<ns::Value> value = element.value();
    return value ? nodeFrom(*value) : nullptr;
}

FNodePtr FSnapshotUtilities::nodeFromJsonText(std::string_view text) {
    // Read as the parser's events rather than from a kept document, which
    // would hold about twice the text beside the tree being built.
    NodeBuilder builder;
    if (nlohmann::json::sax_parse(text.begin(), text.end(), &builder, nlohmann::json::input_format_t::json, true) &&
        builder.result) {
        return std::move(builder.result);
    }
    return nodeFrom(ns::json::parse(text));
}

FCompoundWrite FSnapshotUtilities::compoundWriteFromDictionary(const ns::Dictionary& values,
                                                               std::string_view validationFrom) {
    std::vector<std::pair<FPath, FNodePtr>> writes;
    writes.reserve(values.size());
    for (const auto& [key, value] : values) {
        FPath path(key);
        bool valid = !path.isEmpty();
        for (size_t i = 0; valid && i < path.length(); ++i) {
            const std::string& piece = path.pieceAt(i);
            bool priorityAtEnd = piece == kPriorityKey && i + 1 == path.length();
            valid = priorityAtEnd || isValidKeyPiece(piece, true);
        }
        if (!valid) {
            throw ns::Exception(kInvalidData, ns::format("(%@) Invalid key in object. Keys must be non-empty and cannot "
                                                         "contain '.' '#' '$' '[' or ']'",
                                                         validationFrom));
        }
        Converter converter(validationFrom, path);
        FNodePtr node;
        if (path.pieceAt(path.length() - 1) == kPriorityKey) {
            node = converter.priorityFrom(value);
            if (!node) node = FEmptyNode::emptyNode();
        } else {
            node = converter.convert(value, nullptr, 0);
        }
        writes.emplace_back(std::move(path), std::move(node));
    }
    std::sort(writes.begin(), writes.end(), [](const auto& a, const auto& b) { return a.first.compare(b.first) < 0; });
    for (size_t i = 1; i < writes.size(); ++i) {
        if (writes[i - 1].first.contains(writes[i].first)) {
            throw ns::Exception(kInvalidData, ns::format("(%@) Invalid path in object. Path (%@) is an ancestor of (%@).",
                                                         validationFrom, writes[i - 1].first.toString(),
                                                         writes[i].first.toString()));
        }
    }
    FCompoundWrite write;
    for (const auto& [path, node] : writes) write = write.addWrite(node, path);
    return write;
}

uint64_t FSnapshotUtilities::estimateSerializedNodeSize(const FNodePtr& node) {
    return node ? estimateSerializedNodeSize(*node) : 4;
}

uint64_t FSnapshotUtilities::estimateSerializedNodeSize(const FNode& node) {
    if (node.isEmpty()) return 4;
    // Every node that is not a leaf is a children node, which keeps its estimate.
    if (!node.isLeafNode()) return static_cast<const FChildrenNode&>(node).serializedSizeEstimate();
    const auto& leaf = static_cast<const FLeafNode&>(node);
    uint64_t size = leaf.isBool() ? 4 : leaf.isNumber() ? 8 : FStringUtilities::utf16Length(leaf.stringValue()) + 2;
    const FNode& priority = leaf.priorityNode();
    if (!priority.isEmpty()) size += 24 + estimateSerializedNodeSize(priority);
    return size;
}

void FSnapshotUtilities::appendHashRepresentationForLeafNode(const FLeafNode& leaf, std::string& out,
                                                             FDataHashVersion hashVersion) {
    const FNode& priority = leaf.priorityNode();
    if (!priority.isEmpty()) {
        auto* priorityLeaf = dynamic_cast<const FLeafNode*>(&priority);
        if (!priorityLeaf) {
            throw ns::Exception(ns::kInvalidArgumentException,
                                ns::format("Unknown value for hashing: %@", priority.val()));
        }
        out += "priority:";
        appendHashRepresentationForLeafNode(*priorityLeaf, out, hashVersion);
        out += ':';
    }
    if (leaf.isBool()) {
        out += leaf.boolValue() ? "boolean:true" : "boolean:false";
    } else if (leaf.isNumber()) {
        out += "number:";
        appendIeee754(leaf.doubleValue(), out);
    } else if (leaf.isString()) {
        out += "string:";
        if (hashVersion == FDataHashVersion0) {
            out += leaf.stringValue();
        } else {
            appendHashV2RepresentationForString(leaf.stringValue(), out);
        }
    } else {
        throw ns::Exception(ns::kInvalidArgumentException, ns::format("Unknown value for hashing: %@", leaf.value()));
    }
}

void FSnapshotUtilities::appendHashV2RepresentationForString(std::string_view str, std::string& out) {
    // The runs between characters that need a backslash are copied whole.
    out += '"';
    size_t start = 0;
    for (size_t i = 0; i < str.size(); ++i) {
        if (str[i] == '\\' || str[i] == '"') {
            out.append(str.data() + start, i - start);
            out += '\\';
            start = i;
        }
    }
    out.append(str.data() + start, str.size() - start);
    out += '"';
}
