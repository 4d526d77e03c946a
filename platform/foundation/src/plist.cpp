#include "platform/plist.h"

#include <plist/plist.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <set>
#include <string_view>
#include <vector>

#include "platform/format.h"
#include "platform/utf8.h"
#include "platform/whole_file.h"
#include "plist_date.h"

namespace ns::plist {

namespace {

// Containers deeper than this are refused: the format library recurses once
// per level and would exhaust the stack on hostile input.
constexpr size_t kMaxDepth = 512;

// A binary list may refer to one object from many places, and the library
// expands each reference into a copy: a list of a hundred bytes whose arrays
// each name the next one twice would become a tree of billions. A list read
// expands into no more objects than this many per byte of it. Written lists
// hold at most three per byte: containers are never shared and every
// reference takes a byte at least (a UID, which reads as a dictionary of one
// key, counts three), so no list of ours comes near.
constexpr uint64_t kMaxObjectsPerByte = 4;

std::string tooDeep() { return format("Too many nested arrays or dictionaries (more than %zu).", kMaxDepth); }

// Seconds between 1970 and 2001, the property-list epoch.
using plist_date::kEpoch2001;

struct NodeDeleter {
    void operator()(void* node) const {
        if (node) plist_free(node);
    }
};
using NodePtr = std::unique_ptr<void, NodeDeleter>;

ErrorRef readError(const std::string& problem) {
    return Error::make(kCocoaErrorDomain, kReadCorruptError,
                       "The data couldn’t be read because it isn’t in the correct format. " + problem);
}

ErrorRef writeError(const std::string& problem) {
    return Error::make(kCocoaErrorDomain, kWriteInvalidError,
                       "The data couldn’t be written as a property list. " + problem);
}

std::string keyPathText(const std::string& keyPath) {
    return keyPath.empty() ? std::string("at the top level") : "at " + keyPath;
}

// The format library's strings end at NUL, so a NUL counts as malformed here.
bool validUTF8(const std::string& s) { return s.find('\0') == std::string::npos && utf8::isValid(s); }

// An integer node that the library flags as unsigned. Its setter always
// marks values as signed 64-bit, so the only way to get the unsigned flag is
// to have the XML reader produce the node.
NodePtr unsignedNode(uint64_t u) {
    std::string xml = "<plist><integer>" + std::to_string(u) + "</integer></plist>";
    plist_t node = nullptr;
    plist_from_xml(xml.data(), uint32_t(xml.size()), &node);
    return NodePtr(node);
}

// The library keeps one 64-bit payload for integers; values with the top bit
// set are either negative int64s or uint64s above INT64_MAX, told apart by the
// unsigned flag that node comparison takes into account.
Value integerValue(plist_t node) {
    uint64_t u = 0;
    plist_get_uint_val(node, &u);
    if (u <= uint64_t(std::numeric_limits<int64_t>::max())) return Value(int64_t(u));
    NodePtr reference = unsignedNode(u);
    if (reference && plist_compare_node_value(node, reference.get())) return Value(static_cast<unsigned long long>(u));
    return Value(int64_t(u));
}

// Seconds since 2001 to the microsecond, split as writing splits them, so
// that a date read and written again reads back the same.
double microsecondDate(double t) {
    double whole = std::trunc(t);
    long long usec = std::llround((t - whole) * 1e6);
    if (usec >= 1000000 || usec <= -1000000) {
        whole += usec > 0 ? 1 : -1;
        usec = 0;
    }
    return whole + double(usec) / 1e6;
}

Value dateValue(plist_t node, std::string& problem) {
    // Nodes straight from the binary reader don't answer plist_get_date_val;
    // a copy does.
    NodePtr copy(plist_copy(node));
    int32_t sec = 0, usec = 0;
    plist_get_date_val(copy.get(), &sec, &usec);
    // The reader gives whole seconds truncated toward zero and the fraction
    // unsigned, so the sign comes from the seconds, or, within the first
    // second either side of the epoch, from comparing with the positive value.
    double frac = double(usec) / 1e6;
    bool negative = sec < 0;
    if (sec == 0 && usec != 0) {
        NodePtr positive(plist_new_date(0, usec));
        negative = !plist_compare_node_value(copy.get(), positive.get());
    }
    double t = negative ? double(sec) - frac : double(sec) + frac;
    // The XML reader gives a date past what it can hold (year 1900, 9999)
    // as the least 32-bit second; one that could never be written again is
    // refused, as the binary reader refuses it.
    const Date date{t + kEpoch2001};
    if (!plist_date::holds(date.secondsSince1970)) {
        problem = "A date is outside the range property lists can hold, 1933 to 2069.";
        return Value();
    }
    return Value(date);
}

// Text that is not UTF-8 or holds a NUL has no value form (it could never
// be written again): null with `problem` set.
Value stringValue(plist_t node, std::string& problem) {
    uint64_t len = 0;
    const char* p = plist_get_string_ptr(node, &len);
    std::string text = p ? std::string(p, size_t(len)) : std::string();
    if (!validUTF8(text)) {
        problem = "A string is not valid UTF-8 or contains a NUL character.";
        return Value();
    }
    return Value(std::move(text));
}

Value dataValue(plist_t node) {
    uint64_t len = 0;
    const char* p = plist_get_data_ptr(node, &len);
    Data d;
    if (p && len) d.assign(reinterpret_cast<const uint8_t*>(p), reinterpret_cast<const uint8_t*>(p) + len);
    return Value(std::move(d));
}

// A binary list's date whose node holds its ordinal in `dates`, the dates
// as the file wrote them.
Value dateFromTable(plist_t node, const std::vector<double>& dates, std::string& problem) {
    NodePtr copy(plist_copy(node));
    int32_t ordinal = 0, usec = 0;
    plist_get_date_val(copy.get(), &ordinal, &usec);
    if (ordinal < 0 || size_t(ordinal) >= dates.size()) {
        problem = "The binary property list has a damaged date.";
        return Value();
    }
    return Value(Date{microsecondDate(dates[size_t(ordinal)]) + kEpoch2001});
}

// Builds the value; on content with no value form (text that is not UTF-8
// or holds a NUL, which could never be written again) returns null with
// `problem` set.
Value toValue(plist_t node, size_t depth, std::string& problem, const std::vector<double>* dates) {
    if (!node || !problem.empty()) return Value();
    // The checks before the library saw the bytes bound the depth; this
    // recursion does not rely on them alone.
    if (depth > kMaxDepth) {
        problem = tooDeep();
        return Value();
    }
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return Value(b != 0);
        }
        case PLIST_UINT: return integerValue(node);
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return Value(d);
        }
        case PLIST_STRING:
        case PLIST_KEY: return stringValue(node, problem);
        case PLIST_DATA: return dataValue(node);
        case PLIST_DATE: return dates ? dateFromTable(node, *dates, problem) : dateValue(node, problem);
        case PLIST_UID: {
            uint64_t uid = 0;
            plist_get_uid_val(node, &uid);
            return Value(Dictionary{{"CF$UID", Value(static_cast<unsigned long long>(uid))}});
        }
        case PLIST_ARRAY: {
            Array a;
            uint32_t n = plist_array_get_size(node);
            a.reserve(n);
            for (uint32_t i = 0; i < n; ++i) a.push_back(toValue(plist_array_get_item(node, i), depth + 1, problem, dates));
            return Value(std::move(a));
        }
        case PLIST_DICT: {
            Dictionary d;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            if (!it) return Value(std::move(d));
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, it, &key, &item);
                if (!item) {
                    free(key);
                    break;
                }
                std::string k = key ? key : "";
                free(key);
                if (!validUTF8(k)) {
                    problem = "A key is not valid UTF-8.";
                    break;
                }
                d.insert_or_assign(std::move(k), toValue(item, depth + 1, problem, dates));
            }
            free(it);
            return Value(std::move(d));
        }
        default: return Value();
    }
}

// Builds the library's tree; on failure returns null with `problem` set.
NodePtr toNode(const Value& v, const std::string& keyPath, std::string& problem, size_t depth) {
    if (depth > kMaxDepth) {
        problem = format("Too many nested arrays or dictionaries (more than %zu) %s.", kMaxDepth,
                         keyPathText(keyPath).c_str());
        return nullptr;
    }
    switch (v.type()) {
        case Value::Type::Null:
            problem = "Property lists cannot contain null values (" + keyPathText(keyPath) + ").";
            return nullptr;
        case Value::Type::Bool: return NodePtr(plist_new_bool(v.asBool() ? 1 : 0));
        case Value::Type::Int: return NodePtr(plist_new_uint(uint64_t(v.asInt())));
        case Value::Type::UInt: {
            NodePtr n = unsignedNode(v.asUInt());
            if (!n) problem = "Cannot store an unsigned integer (" + keyPathText(keyPath) + ").";
            return n;
        }
        case Value::Type::Double: return NodePtr(plist_new_real(v.asDouble()));
        case Value::Type::String: {
            const std::string& s = v.asString();
            if (!validUTF8(s)) {
                problem = "A string is not valid UTF-8 or contains a NUL character (" + keyPathText(keyPath) + ").";
                return nullptr;
            }
            return NodePtr(plist_new_string(s.c_str()));
        }
        case Value::Type::Data: {
            const Data& d = v.asData();
            return NodePtr(plist_new_data(reinterpret_cast<const char*>(d.data()), d.size()));
        }
        case Value::Type::Date: {
            const auto date = plist_date::libraryDate(v.asDate().secondsSince1970 - kEpoch2001);
            if (!date) {
                problem = "A date is outside the range property lists can hold, 1933 to 2069 (" +
                          keyPathText(keyPath) + ").";
                return nullptr;
            }
            return NodePtr(plist_new_date(date->seconds, date->microseconds));
        }
        case Value::Type::Array: {
            NodePtr node(plist_new_array());
            const Array& a = v.asArray();
            for (size_t i = 0; i < a.size(); ++i) {
                NodePtr child = toNode(a[i], keyPath + "[" + std::to_string(i) + "]", problem, depth + 1);
                if (!child) return nullptr;
                plist_array_append_item(node.get(), child.release());
            }
            return node;
        }
        case Value::Type::Dictionary: {
            NodePtr node(plist_new_dict());
            for (const auto& [k, e] : v.asDictionary()) {
                std::string path = keyPath.empty() ? k : keyPath + "." + k;
                if (!validUTF8(k)) {
                    problem = "A key is not valid UTF-8 or contains a NUL character (at " + path + ").";
                    return nullptr;
                }
                NodePtr child = toNode(e, path, problem, depth + 1);
                if (!child) return nullptr;
                plist_dict_set_item(node.get(), k.c_str(), child.release());
            }
            return node;
        }
        case Value::Type::Object:
            problem = "Property lists cannot contain objects of class " + v.asObject()->className() + " (" +
                      keyPathText(keyPath) + ").";
            return nullptr;
    }
    problem = "Unknown value kind.";
    return nullptr;
}

// The depth of an XML property list's containers as the format library's
// parser (2.2) will see them, found by following its tokenizer step by step.
// Comments, processing instructions, the DOCTYPE and its internal subset,
// quoted attribute values, and text and CDATA inside leaf elements are
// skipped just as the parser skips them, so no tag that the parser ignores
// counts and none that it reads is missed. Where the parser would stop on an
// error, the walk stops too: it reads nothing past that point.
class XMLShape {
public:
    XMLShape(const char* p, size_t n) : p_(p), n_(n) {}

    // The problem when the list nests too deeply.
    std::string check() {
        while (i_ < n_) {
            while (i_ < n_ && isSpace(p_[i_])) ++i_;
            if (i_ >= n_ || p_[i_] != '<' || ++i_ >= n_) break;
            bool more = p_[i_] == '?' ? skipPast(i_, "?>", true) : p_[i_] == '!' ? skipSpecial() : tag();
            if (!problem_.empty()) return problem_;
            if (!more) break;
        }
        return {};
    }

private:
    static bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

    bool at(size_t i, std::string_view s) const {
        return n_ - i >= s.size() && std::memcmp(p_ + i, s.data(), s.size()) == 0;
    }

    // Moves `i` to the first place `s` starts at, or to the end; a quoted
    // stretch is passed over whole when `quotes`.
    bool skipTo(size_t& i, std::string_view s, bool quotes) const {
        while (i + s.size() <= n_) {
            if (at(i, s)) return true;
            if (quotes && p_[i] == '"') {
                const void* close = std::memchr(p_ + i + 1, '"', n_ - i - 1);
                if (!close) return false;
                i = size_t(static_cast<const char*>(close) - p_);
            }
            ++i;
        }
        return false;
    }

    bool skipPast(size_t& i, std::string_view s, bool quotes) const {
        if (!skipTo(i, s, quotes)) return false;
        i += s.size();
        return true;
    }

    // Moves `i` to the first of `chars`, or to the end.
    bool findAny(size_t& i, std::string_view chars, bool quotes) const {
        for (; i < n_; ++i) {
            if (quotes && p_[i] == '"') {
                const void* close = std::memchr(p_ + i + 1, '"', n_ - i - 1);
                if (!close) return false;
                i = size_t(static_cast<const char*>(close) - p_);
            } else if (chars.find(p_[i]) != std::string_view::npos) {
                return true;
            }
        }
        return false;
    }

    // A comment or the DOCTYPE, `i_` at the '!'.
    bool skipSpecial() {
        if (n_ - i_ > 3 && at(i_, "!--")) {
            i_ += 3;
            return skipPast(i_, "-->", false);
        }
        if (n_ - i_ <= 8 || !at(i_, "!DOCTYPE")) return false;
        i_ += 8;
        for (;;) {
            if (!findAny(i_, " \t\r\n[>", true)) return false;
            if (p_[i_] == '[') return skipPast(i_, "]>", true);
            if (p_[i_] == '>') return ++i_, true;
            while (i_ < n_ && isSpace(p_[i_])) ++i_;
        }
    }

    // An element's tag, `i_` past its '<'.
    bool tag() {
        const size_t start = i_;
        if (!findAny(i_, " \r\n\t<>", false)) return false;
        const size_t length = i_ - start;
        if (p_[i_] != '>' && !findAny(i_, "<>", true)) return false;
        if (p_[i_] != '>') return false;
        const bool empty = p_[i_ - 1] == '/';
        // The parser copies the name as a C string and cuts it at the '/'.
        std::string name(p_ + start, std::min(length, empty ? i_ - start - 1 : length));
        name.resize(std::strlen(name.c_str()));
        ++i_;
        if (name == "plist" || name == "/plist") return true;
        if (name == "/array" || name == "/dict") {
            if (depth_ > 0) --depth_;
            return true;
        }
        if (!name.empty() && name[0] == '/') return true;  // refused by the parser unless it closes
        if (name == "array" || name == "dict") {
            if (!empty && ++depth_ > kMaxDepth) problem_ = tooDeep();
            return true;
        }
        static const char* const kLeaves[] = {"key", "string", "integer", "real", "true", "false", "data", "date"};
        if (std::none_of(std::begin(kLeaves), std::end(kLeaves), [&](const char* leaf) { return name == leaf; })) {
            return false;
        }
        return empty || skipText(std::string(p_ + start, length));
    }

    // A leaf's text up to its closing tag, which the parser finds by the
    // tag's name as it was copied (cut at a NUL, compared as C strings).
    bool skipText(std::string tagName) {
        for (;;) {
            const void* lt = std::memchr(p_ + i_, '<', n_ - i_);
            if (!lt) return false;
            i_ = size_t(static_cast<const char*>(lt) - p_) + 1;
            if (i_ >= n_) return false;
            if (p_[i_] == '/') break;
            if (p_[i_] != '!' || ++i_ >= n_ - 1) return false;
            if (p_[i_] == '-' && p_[i_ + 1] == '-') {
                i_ += 2;
                if (!skipPast(i_, "-->", false)) return false;
            } else if (p_[i_] == '[' && ++i_ < n_ - 8 && at(i_, "CDATA[")) {
                i_ += 6;
                if (!skipPast(i_, "]]>", false)) return false;
            } else {
                return false;
            }
        }
        ++i_;
        const size_t length = tagName.size();
        tagName.resize(std::strlen(tagName.c_str()));
        if (i_ + length >= n_ || std::strncmp(std::string(p_ + i_, length).c_str(), tagName.c_str(), length) != 0) {
            return false;
        }
        i_ += length;
        while (i_ < n_ && isSpace(p_[i_])) ++i_;
        return i_ < n_ && p_[i_++] == '>';
    }

    const char* p_;
    size_t n_;
    size_t i_ = 0;
    size_t depth_ = 0;
    std::string problem_;
};

uint64_t readBE(const uint8_t* p, size_t size) {
    uint64_t v = 0;
    for (size_t i = 0; i < size; ++i) v = (v << 8) | p[i];
    return v;
}

// A binary property list's object table, as its trailer describes it.
struct BinaryTable {
    const uint8_t* data = nullptr;
    size_t size = 0, offsetSize = 0, refSize = 0;
    uint64_t numObjects = 0, top = 0, tableOffset = 0;

    uint64_t objectOffset(uint64_t i) const { return readBE(data + tableOffset + i * offsetSize, offsetSize); }

    // The count in the marker of the object at `off` (its low four bits,
    // or the integer after it when they are all set), and `p` past the
    // marker and that integer; false for a damaged object.
    bool markerCount(uint64_t off, uint64_t& n, uint64_t& p) const {
        n = data[off] & 0x0F;
        p = off + 1;
        if (n == 0x0F) {
            if (p >= tableOffset || (data[p] >> 4) != 0x1) return false;
            size_t intSize = size_t(1) << (data[p] & 0x0F);
            if (intSize > 8 || p + 1 + intSize > tableOffset) return false;
            n = readBE(data + p + 1, intSize);
            p += 1 + intSize;
        }
        return true;
    }

    // Locates the references of a container; false for a damaged object.
    // Non-containers get count 0.
    bool refsOf(uint64_t obj, uint64_t& refPos, uint64_t& count) const {
        uint64_t off = objectOffset(obj);
        if (off < 8 || off >= tableOffset) return false;
        uint8_t type = data[off] >> 4;
        count = 0;
        if (type != 0xA && type != 0xC && type != 0xD) return true;
        uint64_t n = 0, p = 0;
        if (!markerCount(off, n, p)) return false;
        uint64_t refs = type == 0xD ? n * 2 : n;
        if (n > tableOffset || refs > (tableOffset - p) / refSize) return false;
        refPos = p;
        count = refs;
        return true;
    }
};

// Reads the trailer into `table`; the problem when it or the offset table
// is out of bounds.
std::string readBinaryTable(const uint8_t* data, size_t size, BinaryTable& table) {
    if (size < 8 + 32) return "The binary property list is truncated.";
    if (std::memcmp(data, "bplist00", 8) != 0) return "Unsupported binary property list version.";
    const uint8_t* trailer = data + size - 32;
    table.data = data;
    table.size = size;
    table.offsetSize = trailer[6];
    table.refSize = trailer[7];
    table.numObjects = readBE(trailer + 8, 8);
    table.top = readBE(trailer + 16, 8);
    table.tableOffset = readBE(trailer + 24, 8);
    const uint64_t bodyEnd = size - 32;
    if (table.offsetSize < 1 || table.offsetSize > 8 || table.refSize < 1 || table.refSize > 8) {
        return "The binary property list's trailer is damaged.";
    }
    if (table.numObjects == 0 || table.top >= table.numObjects || table.tableOffset < 8 ||
        table.tableOffset > bodyEnd || table.numObjects > (bodyEnd - table.tableOffset) / table.offsetSize) {
        return "The binary property list's object table is damaged.";
    }
    return {};
}

// Strings with a NUL inside trip an assertion in the library when used
// as keys, and none of ours ever holds one: refuse them up front.
std::string checkBinaryStrings(const BinaryTable& table) {
    const uint8_t* data = table.data;
    for (uint64_t i = 0; i < table.numObjects; ++i) {
        uint64_t off = table.objectOffset(i);
        if (off < 8 || off >= table.tableOffset) return "The binary property list has a damaged object.";
        uint8_t type = data[off] >> 4;
        if (type != 0x5 && type != 0x6) continue;
        uint64_t n = 0, p = 0;
        if (!table.markerCount(off, n, p)) return "The binary property list has a damaged object.";
        const uint64_t unit = type == 0x6 ? 2 : 1;
        if (n > (table.tableOffset - p) / unit) return "The binary property list has a damaged string.";
        for (uint64_t k = 0; k < n; ++k) {
            bool nul = unit == 1 ? data[p + k] == 0 : (data[p + 2 * k] == 0 && data[p + 2 * k + 1] == 0);
            if (nul) return "The binary property list has a string with a NUL character.";
        }
    }
    return {};
}

// Walks the references from the top object, depth first with a stack of
// its own: every reference to an object that exists, no cycles, no nesting
// past kMaxDepth (an object reached twice counts its height once), and no
// more objects than kMaxObjectsPerByte allows once every reference is
// expanded (each object's expanded size is found once and added at every
// place it is used).
std::string checkBinaryGraph(const BinaryTable& table) {
    struct Frame {
        uint64_t obj, refPos, count, next;
    };
    enum : uint8_t { kUnseen = 0, kOpen = 1, kDone = 2 };
    std::vector<uint8_t> state(size_t(table.numObjects), kUnseen);
    std::vector<uint32_t> height(size_t(table.numObjects), 0);
    std::vector<uint64_t> size(size_t(table.numObjects), 0);
    std::vector<Frame> stack;
    auto push = [&](uint64_t obj) -> std::string {
        Frame f{obj, 0, 0, 0};
        if (!table.refsOf(obj, f.refPos, f.count)) return "The binary property list has a damaged object.";
        // A UID reads as a dictionary of one key.
        size[obj] = (table.data[table.objectOffset(obj)] >> 4) == 0x8 ? 3 : 1;
        if (f.count == 0) {
            state[obj] = kDone;
            return {};
        }
        if (stack.size() >= kMaxDepth) return tooDeep();
        state[obj] = kOpen;
        stack.push_back(f);
        return {};
    };
    // Adds a finished child's size to the open container on top.
    const uint64_t maxObjects = kMaxObjectsPerByte * uint64_t(table.size);
    auto addToTop = [&](uint64_t child) -> std::string {
        uint64_t& total = size[stack.back().obj];
        total += size[child];
        if (total <= maxObjects) return {};
        return format("The binary property list expands into too many objects (more than %llu).",
                      static_cast<unsigned long long>(maxObjects));
    };
    if (auto problem = push(table.top); !problem.empty()) return problem;
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next == f.count) {
            const uint64_t done = f.obj;
            state[done] = kDone;
            uint32_t h = ++height[done];
            stack.pop_back();
            if (stack.empty()) break;
            height[stack.back().obj] = std::max(height[stack.back().obj], h);
            if (auto problem = addToTop(done); !problem.empty()) return problem;
            continue;
        }
        uint64_t child = readBE(table.data + f.refPos + f.next * table.refSize, table.refSize);
        ++f.next;
        if (child >= table.numObjects) return "The binary property list refers to a missing object.";
        if (state[child] == kOpen) return "The binary property list contains a reference cycle.";
        if (state[child] == kDone) {
            height[f.obj] = std::max(height[f.obj], height[child]);
            if (height[child] + stack.size() > kMaxDepth) return tooDeep();
            if (auto problem = addToTop(child); !problem.empty()) return problem;
            continue;
        }
        if (auto problem = push(child); !problem.empty()) return problem;
        if (state[child] == kDone) {
            if (auto problem = addToTop(child); !problem.empty()) return problem;
        }
    }
    return {};
}

// Checks a binary property list's object graph before the library sees it:
// every offset and reference in bounds, no reference cycles, and nesting
// within kMaxDepth. Returns an empty string when fine, else the problem.
std::string checkBinaryStructure(const uint8_t* data, size_t size) {
    BinaryTable table;
    if (auto problem = readBinaryTable(data, size, table); !problem.empty()) return problem;
    if (auto problem = checkBinaryStrings(table); !problem.empty()) return problem;
    return checkBinaryGraph(table);
}

// A binary date is a double of seconds since 2001, which the library turns
// into whole seconds and microseconds by truncation: most dates would read
// a microsecond early (and earlier on every rewrite), and within a second of
// 2001 the sign is lost. So the dates are taken from the bytes here, and the
// library is handed each date's ordinal instead, which it reads exactly;
// toValue maps the ordinal back. Dates the library cannot hold in 32-bit
// seconds are refused, as writing refuses them. Call after
// checkBinaryStructure accepted the bytes; `copy` receives the rewritten
// bytes when there are dates. A damaged offset table can make two dates
// share bytes, where one ordinal would overwrite the other: refused.
std::string takeBinaryDates(const Data& bytes, Data& copy, std::vector<double>& dates) {
    const uint8_t* data = bytes.data();
    const uint8_t* trailer = data + bytes.size() - 32;
    const size_t offsetSize = trailer[6];
    const uint64_t numObjects = readBE(trailer + 8, 8);
    const uint64_t tableOffset = readBE(trailer + 24, 8);
    std::set<uint64_t> taken;  // each date's offset, once
    for (uint64_t i = 0; i < numObjects; ++i) {
        const uint64_t off = readBE(data + tableOffset + i * offsetSize, offsetSize);
        if (data[off] != 0x33 || off + 9 > tableOffset) continue;
        auto [at, fresh] = taken.insert(off);
        if (!fresh) continue;
        const bool overlapsBefore = at != taken.begin() && *std::prev(at) + 9 > off;
        const bool overlapsAfter = std::next(at) != taken.end() && off + 9 > *std::next(at);
        if (overlapsBefore || overlapsAfter) {
            return "The binary property list has a damaged date.";
        }
        uint64_t bits = readBE(data + off + 1, 8);
        double t;
        std::memcpy(&t, &bits, sizeof t);
        // Refused unless a writer could write the date as it will read.
        if (!std::isfinite(t) || !plist_date::holds(microsecondDate(t) + kEpoch2001)) {
            return "A date is outside the range property lists can hold, 1933 to 2069.";
        }
        const double ordinal = double(dates.size());
        dates.push_back(t);
        std::memcpy(&bits, &ordinal, sizeof bits);
        if (copy.empty()) copy = bytes;
        for (int k = 0; k < 8; ++k) copy[size_t(off + 1 + uint64_t(k))] = uint8_t(bits >> (56 - 8 * k));
    }
    return {};
}

void setError(ErrorRef* error, ErrorRef value) {
    if (error) *error = std::move(value);
}

}  // namespace

Value parse(const Data& bytes, ErrorRef* error, Format* detected) {
    setError(error, nullptr);
    if (bytes.empty()) {
        setError(error, readError("The data is empty."));
        return Value();
    }
    if (bytes.size() > std::numeric_limits<uint32_t>::max()) {
        setError(error, readError("The data is too large for a property list."));
        return Value();
    }
    const char* p = reinterpret_cast<const char*>(bytes.data());
    const uint32_t n = uint32_t(bytes.size());
    plist_t root = nullptr;
    std::vector<double> binaryDates;
    bool binary = false;
    if (bytes.size() >= 6 && std::memcmp(p, "bplist", 6) == 0) {
        if (detected) *detected = Format::Binary;
        binary = true;
        std::string problem = checkBinaryStructure(bytes.data(), bytes.size());
        if (!problem.empty()) {
            setError(error, readError(problem));
            return Value();
        }
        Data adjusted;
        problem = takeBinaryDates(bytes, adjusted, binaryDates);
        if (!problem.empty()) {
            setError(error, readError(problem));
            return Value();
        }
        if (!adjusted.empty()) {
            // The ordinals were written over the dates' bytes: whatever the
            // offsets made them overlap (a key's text, a container's
            // references) is checked again as the library will see it, since
            // a NUL written into a key trips an assertion in the library.
            problem = checkBinaryStructure(adjusted.data(), adjusted.size());
            if (!problem.empty()) {
                setError(error, readError(problem));
                return Value();
            }
            p = reinterpret_cast<const char*>(adjusted.data());
        }
        plist_from_bin(p, n, &root);
        if (!root) {
            setError(error, readError("Not a valid binary property list."));
            return Value();
        }
    } else {
        if (detected) *detected = Format::XML;
        if (std::string problem = XMLShape(p, bytes.size()).check(); !problem.empty()) {
            setError(error, readError(problem));
            return Value();
        }
        plist_from_xml(p, n, &root);
        if (!root) {
            setError(error, readError("Not a valid XML property list."));
            return Value();
        }
    }
    NodePtr owner(root);
    std::string problem;
    Value value = toValue(root, 0, problem, binary ? &binaryDates : nullptr);
    if (!problem.empty()) {
        setError(error, readError(problem));
        return Value();
    }
    return value;
}

bool isValidPropertyList(const Value& value) {
    std::string problem;
    return toNode(value, "", problem, 0) != nullptr;
}

Data serialize(const Value& value, Format format, ErrorRef* error) {
    setError(error, nullptr);
    std::string problem;
    NodePtr root = toNode(value, "", problem, 0);
    if (!root) {
        setError(error, writeError(problem));
        return {};
    }
    char* out = nullptr;
    uint32_t len = 0;
    if (format == Format::Binary) {
        plist_to_bin(root.get(), &out, &len);
    } else {
        plist_to_xml(root.get(), &out, &len);
    }
    if (!out || len == 0) {
        free(out);
        setError(error, writeError("The property list could not be encoded."));
        return {};
    }
    Data result(reinterpret_cast<const uint8_t*>(out), reinterpret_cast<const uint8_t*>(out) + len);
    free(out);
    return result;
}

Value readFile(const std::string& path, ErrorRef* error) {
    setError(error, nullptr);
    ErrorRef ioError;
    auto bytes = readWholeFile(path, &ioError);
    if (!bytes) {
        setError(error, ioError);
        return Value();
    }
    ErrorRef parseError;
    Value v = parse(*bytes, &parseError);
    if (parseError) {
        Dictionary info;
        std::string problem = parseError->localizedDescription();
        const std::string prefix = "The data couldn’t be read because it isn’t in the correct format. ";
        if (problem.rfind(prefix, 0) == 0) problem.erase(0, prefix.size());
        info[kLocalizedDescriptionKey] = "The file “" + path + "” couldn’t be read because it isn’t in the correct format. " + problem;
        info[kFilePathErrorKey] = path;
        info[kUnderlyingErrorKey] = Value(std::const_pointer_cast<Error>(parseError));
        setError(error, Error::make(kCocoaErrorDomain, kReadCorruptError, std::move(info)));
        return Value();
    }
    return v;
}

bool writeFile(const std::string& path, const Value& value, Format format, ErrorRef* error, int permissions) {
    setError(error, nullptr);
    ErrorRef encodeError;
    Data bytes = serialize(value, format, &encodeError);
    if (bytes.empty()) {
        Dictionary info;
        info[kLocalizedDescriptionKey] = "The file “" + path + "” couldn’t be saved. " +
                                         (encodeError ? encodeError->localizedDescription() : std::string());
        info[kFilePathErrorKey] = path;
        setError(error, Error::make(kCocoaErrorDomain, kWriteInvalidError, std::move(info)));
        return false;
    }
    return writeWholeFile(path, bytes, error, permissions);
}

}  // namespace ns::plist
