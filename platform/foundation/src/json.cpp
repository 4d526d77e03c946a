#include "platform/json.h"

#include <simdjson.h>

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <type_traits>

#include "platform/format.h"
#include "platform/thread_owned.h"
#include "platform/utf8.h"

namespace ns::json {

namespace {

constexpr const char* kCorruptDescription = "The data couldn’t be read because it isn’t in the correct format.";

ErrorRef readError(const std::string& problem) {
    Dictionary info;
    info[kLocalizedDescriptionKey] = std::string(kCorruptDescription) + " " + problem;
    info["NSDebugDescription"] = problem;
    return Error::make(kCocoaErrorDomain, kJSONErrorCode, std::move(info));
}

ErrorRef writeError(const std::string& problem) {
    Dictionary info;
    info[kLocalizedDescriptionKey] = "The data couldn’t be written because it isn’t in the correct format. " + problem;
    info["NSDebugDescription"] = problem;
    return Error::make(kCocoaErrorDomain, kJSONErrorCode, std::move(info));
}

// nlohmann's messages start with "[json.exception.parse_error.101] "; the
// bracketed tag means nothing to our callers.
std::string stripExceptionTag(std::string what) {
    if (!what.empty() && what[0] == '[') {
        auto close = what.find("] ");
        if (close != std::string::npos) what.erase(0, close + 2);
    }
    if (!what.empty()) what[0] = char(std::toupper(static_cast<unsigned char>(what[0])));
    // The text quotes the input around the problem, which may be the very
    // bytes that are not UTF-8; the message itself must be clean.
    return utf8::sanitized(what);
}

// Builds ns::Values straight from the parser's events: no intermediate
// document, and the nesting limit is enforced before anything deep is built.
class ValueBuilder : public nlohmann::json_sax<nlohmann::json> {
public:
    bool null() override { return put(Value()); }
    bool boolean(bool b) override { return put(Value(b)); }
    bool number_integer(number_integer_t i) override { return put(Value(int64_t(i))); }
    bool number_unsigned(number_unsigned_t u) override { return put(Value(static_cast<unsigned long long>(u))); }
    bool number_float(number_float_t d, const string_t&) override {
        if (!std::isfinite(d)) {
            problem_ = "Number is out of range.";
            return false;
        }
        return put(Value(double(d)));
    }
    bool string(string_t& s) override { return put(Value(std::move(s))); }
    bool binary(binary_t&) override {
        problem_ = "Binary values are not JSON.";
        return false;
    }
    bool start_object(std::size_t) override { return open(Frame{true, {}, {}, {}}); }
    bool key(string_t& k) override {
        stack_.back().pendingKey = std::move(k);
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(Frame{false, {}, {}, {}}); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) override {
        problem_ = stripExceptionTag(ex.what());
        return false;
    }

    std::optional<Value> result;
    std::string problem_;

private:
    struct Frame {
        bool isObject;
        Array array;
        Dictionary dict;
        std::string pendingKey;
    };

    bool put(Value v) {
        if (stack_.empty()) {
            result = std::move(v);
            return true;
        }
        Frame& f = stack_.back();
        if (f.isObject) {
            // Later duplicates win, as in most JSON readers.
            f.dict.insert_or_assign(std::move(f.pendingKey), std::move(v));
            f.pendingKey.clear();
        } else {
            f.array.push_back(std::move(v));
        }
        return true;
    }
    bool open(Frame f) {
        if (stack_.size() >= kMaxDepth) {
            problem_ = format("Too many nested arrays or dictionaries (more than %zu).", kMaxDepth);
            return false;
        }
        stack_.push_back(std::move(f));
        return true;
    }
    bool close() {
        Frame f = std::move(stack_.back());
        stack_.pop_back();
        return f.isObject ? put(Value(std::move(f.dict))) : put(Value(std::move(f.array)));
    }

    std::vector<Frame> stack_;
};

// The nesting the fast reader follows: one past kMaxDepth, so that what
// parse() refuses for its depth is refused in the slow reader's words.
constexpr size_t kFastReaderDepth = kMaxDepth + 1;

// Texts up to this size reuse the thread's buffers; a larger one gets
// buffers of its own that go with it, so no thread keeps megabytes.
constexpr size_t kKeptCapacity = 1 << 20;

// The thread's parser, lent to one reader at a time: a document kept while
// its parts are used may see another text read on the same thread. A
// document may be read again, or end, on another thread (a server's session
// moves between its pool's threads), so the flag is atomic and the document
// holds the parser it was lent even past its thread's end.
struct ThreadParser {
    simdjson::dom::parser parser;
    std::atomic<bool> lent{false};
};

const std::shared_ptr<ThreadParser>& threadParser() {
    thread_local std::shared_ptr<ThreadParser>* slot = nullptr;
    std::shared_ptr<ThreadParser>& kept = threadOwned(slot);
    if (!kept) kept = std::make_shared<ThreadParser>();
    return kept;
}

// ns::Values from simdjson's document (a Document's parts).
class FastReader {
public:
    static bool convert(simdjson::dom::element e, Value& out, size_t depth) {
        using Kind = simdjson::dom::element_type;
        switch (e.type()) {
        case Kind::OBJECT: return depth < kMaxDepth && convertObject(e.get_object().value_unsafe(), out, depth);
        case Kind::ARRAY: return depth < kMaxDepth && convertArray(e.get_array().value_unsafe(), out, depth);
        case Kind::INT64: out = Value(static_cast<long long>(e.get_int64().value_unsafe())); return true;
        case Kind::UINT64: out = Value(static_cast<unsigned long long>(e.get_uint64().value_unsafe())); return true;
        case Kind::DOUBLE: out = Value(e.get_double().value_unsafe()); return true;
        case Kind::STRING: out = Value(e.get_string().value_unsafe()); return true;
        case Kind::BOOL: out = Value(e.get_bool().value_unsafe()); return true;
        case Kind::NULL_VALUE: out = Value(); return true;
        }
        return false;
    }

private:
    static bool convertObject(simdjson::dom::object object, Value& out, size_t depth) {
        Dictionary dict;
        for (const simdjson::dom::key_value_pair field : object) {
            Value child;
            if (!convert(field.value, child, depth + 1)) return false;
            // Keys mostly come sorted: one past the last goes in without a
            // search. A repeated key keeps its last value, as in ValueBuilder.
            if (dict.empty() || dict.rbegin()->first < field.key) {
                dict.emplace_hint(dict.end(), field.key, std::move(child));
            } else {
                dict.insert_or_assign(std::string(field.key), std::move(child));
            }
        }
        out = Value(std::move(dict));
        return true;
    }

    static bool convertArray(simdjson::dom::array array, Value& out, size_t depth) {
        Array values;
        values.reserve(array.size());
        for (const simdjson::dom::element item : array) {
            if (!convert(item, values.emplace_back(), depth + 1)) return false;
        }
        out = Value(std::move(values));
        return true;
    }
};

// Converts to nlohmann's document for writing. Returns false with a problem
// text when something has no JSON form.
bool toJSON(const Value& v, nlohmann::json& out, std::string& problem, size_t depth) {
    if (depth > kMaxDepth) {
        problem = format("Too many nested arrays or dictionaries (more than %zu).", kMaxDepth);
        return false;
    }
    switch (v.type()) {
        case Value::Type::Null: out = nullptr; return true;
        case Value::Type::Bool: out = v.asBool(); return true;
        case Value::Type::Int: out = v.asInt(); return true;
        case Value::Type::UInt: out = v.asUInt(); return true;
        case Value::Type::Double: {
            double d = v.asDouble();
            if (std::isnan(d)) {
                problem = "Invalid number value (NaN) in JSON write.";
                return false;
            }
            if (std::isinf(d)) {
                problem = "Invalid number value (infinite) in JSON write.";
                return false;
            }
            out = d;
            return true;
        }
        case Value::Type::String: out = v.asString(); return true;
        case Value::Type::Array: {
            out = nlohmann::json::array();
            for (const Value& e : v.asArray()) {
                nlohmann::json child;
                if (!toJSON(e, child, problem, depth + 1)) return false;
                out.push_back(std::move(child));
            }
            return true;
        }
        case Value::Type::Dictionary: {
            out = nlohmann::json::object();
            for (const auto& [k, e] : v.asDictionary()) {
                nlohmann::json child;
                if (!toJSON(e, child, problem, depth + 1)) return false;
                out[k] = std::move(child);
            }
            return true;
        }
        case Value::Type::Data: problem = "Invalid type in JSON write (NSData)."; return false;
        case Value::Type::Date: problem = "Invalid type in JSON write (NSDate)."; return false;
        case Value::Type::Object:
            problem = "Invalid type in JSON write (" + v.asObject()->className() + ").";
            return false;
    }
    problem = "Invalid type in JSON write.";
    return false;
}

// Text the writer copies between its quotes as it is.
bool isPlainText(std::string_view text) {
    for (unsigned char c : text) {
        if (c < 0x20 || c > 0x7E || c == '"' || c == '\\') return false;
    }
    return true;
}

// One value through nlohmann's document, for what it words itself
// (strings to escape or mend, and the refusals).
bool writeThroughDocument(const Value& v, std::string& out, std::string& problem, size_t depth) {
    nlohmann::json doc;
    if (!toJSON(v, doc, problem, depth)) return false;
    out += doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return true;
}

// Compact text, the bytes nlohmann's dump gives, without building its
// document for the containers, integers and plain strings that make up
// most of what is written (a request's body, a record).
bool writeCompact(const Value& v, std::string& out, std::string& problem, size_t depth) {
    if (depth > kMaxDepth) {
        problem = format("Too many nested arrays or dictionaries (more than %zu).", kMaxDepth);
        return false;
    }
    auto writeString = [&](std::string_view text) {
        if (!isPlainText(text)) return writeThroughDocument(Value(text), out, problem, depth);
        out += '"';
        out += text;
        out += '"';
        return true;
    };
    auto writeInteger = [&](auto n) {
        char digits[24];
        out.append(digits, std::to_chars(digits, digits + sizeof digits, n).ptr);
        return true;
    };
    switch (v.type()) {
        case Value::Type::Null: out += "null"; return true;
        case Value::Type::Bool: out += v.asBool() ? "true" : "false"; return true;
        case Value::Type::Int: return writeInteger(v.asInt());
        case Value::Type::UInt: return writeInteger(v.asUInt());
        case Value::Type::Double: {
            const double d = v.asDouble();
            if (!std::isfinite(d)) return writeThroughDocument(v, out, problem, depth);  // words the refusal
            // The digits nlohmann's dump writes for a double, by the routine
            // it calls, without a document and a serializer (which reads the
            // locale) for each number.
            char digits[64];
            out.append(digits, nlohmann::detail::to_chars(digits, digits + sizeof digits, d));
            return true;
        }
        case Value::Type::String: return writeString(v.asString());
        case Value::Type::Array: {
            out += '[';
            bool first = true;
            for (const Value& e : v.asArray()) {
                if (!first) out += ',';
                first = false;
                if (!writeCompact(e, out, problem, depth + 1)) return false;
            }
            out += ']';
            return true;
        }
        case Value::Type::Dictionary: {
            out += '{';
            bool first = true;
            for (const auto& [k, e] : v.asDictionary()) {
                if (!first) out += ',';
                first = false;
                if (!writeString(k)) return false;
                out += ':';
                if (!writeCompact(e, out, problem, depth + 1)) return false;
            }
            out += '}';
            return true;
        }
        default: return writeThroughDocument(v, out, problem, depth);
    }
}

}  // namespace

static_assert(sizeof(simdjson::dom::element) == 16 && std::is_trivially_copyable_v<simdjson::dom::element>);

namespace {

simdjson::dom::element handleOf(const unsigned char* handle) {
    simdjson::dom::element e;
    std::memcpy(static_cast<void*>(&e), handle, sizeof e);
    return e;
}

}  // namespace

static Element::Kind kindOf(simdjson::dom::element e);

struct Document::State {
    simdjson::dom::parser own;
    std::shared_ptr<ThreadParser> lent;
    simdjson::dom::element root;
};

Document::Document() : state_(std::make_unique<State>()) {}

Document::~Document() {
    if (state_->lent) state_->lent->lent.store(false, std::memory_order_release);
}

bool Document::read(std::string_view text) {
    // No text is refused anyway, and simdjson would copy from its null data
    // pointer.
    if (text.empty()) return false;
    if (state_->lent) {
        state_->lent->lent.store(false, std::memory_order_release);
        state_->lent.reset();
    }
    simdjson::dom::parser* parser = &state_->own;
    if (text.size() <= kKeptCapacity) {
        const std::shared_ptr<ThreadParser>& kept = threadParser();
        if (!kept->lent.exchange(true, std::memory_order_acquire)) {
            state_->lent = kept;
            parser = &kept->parser;
        }
    }
    // simdjson's own bound (1024 by default) would leave texts this reader
    // takes to the slow one; past kMaxDepth the conversion refuses them.
    if (parser->max_depth() != kFastReaderDepth &&
        parser->allocate(text.size(), kFastReaderDepth) != simdjson::SUCCESS) {
        return false;
    }
    return parser->parse(text.data(), text.size()).get(state_->root) == simdjson::SUCCESS;
}

Element Document::root() const {
    Element e;
    std::memcpy(e.handle_, static_cast<const void*>(&state_->root), sizeof state_->root);
    e.kind_ = kindOf(state_->root);
    return e;
}

static Element::Kind kindOf(simdjson::dom::element e) {
    using T = simdjson::dom::element_type;
    using Kind = Element::Kind;
    switch (e.type()) {
        case T::OBJECT: return Kind::Object;
        case T::ARRAY: return Kind::Array;
        case T::INT64: return Kind::Int;
        case T::UINT64: return Kind::UInt;
        case T::DOUBLE: return Kind::Double;
        case T::STRING: return Kind::String;
        case T::BOOL: return Kind::Bool;
        case T::NULL_VALUE: return Kind::Null;
    }
    return Kind::Null;
}

bool Element::boolValue() const { return handleOf(handle_).get_bool().value_unsafe(); }
int64_t Element::intValue() const { return handleOf(handle_).get_int64().value_unsafe(); }
uint64_t Element::uintValue() const { return handleOf(handle_).get_uint64().value_unsafe(); }
double Element::doubleValue() const { return handleOf(handle_).get_double().value_unsafe(); }
std::string_view Element::stringValue() const { return handleOf(handle_).get_string().value_unsafe(); }

size_t Element::size() const {
    const simdjson::dom::element e = handleOf(handle_);
    simdjson::dom::object object;
    simdjson::dom::array array;
    if (e.get(object) == simdjson::SUCCESS) return object.size();
    if (e.get(array) == simdjson::SUCCESS) return array.size();
    return 0;
}

std::optional<Element> Element::member(std::string_view key) const {
    std::optional<Element> found;
    bool twice = false;
    forEach([&](std::string_view k, const Element& e) {
        if (k != key) return true;
        twice = found.has_value();
        found = e;
        return !twice;
    });
    if (twice || !isObject()) return std::nullopt;
    return found;
}

bool Element::forEachImpl(void* fn, Visit visit) const {
    const simdjson::dom::element e = handleOf(handle_);
    Element child;
    child.depth_ = depth_ + 1;
    simdjson::dom::object object;
    simdjson::dom::array array;
    if (e.get(object) == simdjson::SUCCESS) {
        for (const simdjson::dom::key_value_pair field : object) {
            std::memcpy(child.handle_, static_cast<const void*>(&field.value), sizeof field.value);
            child.kind_ = kindOf(field.value);
            if (!visit(fn, field.key, child)) return false;
        }
    } else if (e.get(array) == simdjson::SUCCESS) {
        for (const simdjson::dom::element item : array) {
            std::memcpy(child.handle_, static_cast<const void*>(&item), sizeof item);
            child.kind_ = kindOf(item);
            if (!visit(fn, std::string_view(), child)) return false;
        }
    }
    return true;
}

std::optional<Value> Element::value() const {
    Value out;
    if (!FastReader::convert(handleOf(handle_), out, depth_)) return std::nullopt;
    return out;
}

Value parse(std::string_view text, ErrorRef* error) {
    if (error) *error = nullptr;
    // The fast reader answers nothing for text simdjson refuses (or nesting
    // past kMaxDepth), which then goes through ValueBuilder: the few texts
    // JSON allows that simdjson refuses (a leading byte-order mark, integers
    // past 64 bits) keep their values, and every refusal keeps nlohmann's
    // wording.
    Document document;
    if (document.read(text)) {
        if (std::optional<Value> fast = document.root().value()) return std::move(*fast);
    }
    ValueBuilder builder;
    bool ok = false;
    try {
        ok = nlohmann::json::sax_parse(text.begin(), text.end(), &builder, nlohmann::json::input_format_t::json, true);
    } catch (const std::exception& e) {
        builder.problem_ = stripExceptionTag(e.what());
        ok = false;
    }
    if (!ok || !builder.result) {
        if (error) {
            *error = readError(builder.problem_.empty() ? std::string("No value.") : builder.problem_);
        }
        return Value();
    }
    return std::move(*builder.result);
}

Value parse(const Data& bytes, ErrorRef* error) {
    return parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), error);
}

bool isValidJSONObject(const Value& value) {
    nlohmann::json doc;
    std::string problem;
    return toJSON(value, doc, problem, 0);
}

std::string serialize(const Value& value, WriteOptions options, ErrorRef* error) {
    if (error) *error = nullptr;
    std::string problem;
    if (!options.pretty) {
        std::string out;
        try {
            if (writeCompact(value, out, problem, 0)) return out;
        } catch (const std::exception& e) {
            problem = stripExceptionTag(e.what());
        }
        if (error) *error = writeError(problem);
        return {};
    }
    nlohmann::json doc;
    if (!toJSON(value, doc, problem, 0)) {
        if (error) *error = writeError(problem);
        return {};
    }
    try {
        return doc.dump(options.pretty ? 2 : -1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const std::exception& e) {
        if (error) *error = writeError(stripExceptionTag(e.what()));
        return {};
    }
}

std::string serialize(const Value& value, ErrorRef* error) {
    return serialize(value, WriteOptions{}, error);
}

std::string serialize(const Value& value, bool pretty) {
    return serialize(value, WriteOptions{pretty}, nullptr);
}

}  // namespace ns::json
