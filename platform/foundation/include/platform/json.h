#pragma once
// JSON reading and writing (NSJSONSerialization stand-in) over ns::Value.
//
// Kinds survive a round trip: booleans stay booleans, integers stay integers
// (int64, or uint64 above INT64_MAX) and doubles stay doubles, so 1.0 is
// written "1.0" and reads back as a double. Dictionary keys come out sorted
// because ns::Dictionary is ordered.
//
// Errors are NSCocoaErrorDomain code 3840 with a description that names the
// problem and where it is.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "platform/error.h"
#include "platform/value.h"

namespace ns::json {

// NSPropertyListReadCorruptError, the code Foundation uses for bad JSON too.
inline constexpr long kJSONErrorCode = 3840;

// Nesting deeper than this is refused rather than risking the stack. It
// holds the deepest data a database write may carry (1000 levels) inside
// the levels its wrapping adds (a stored write record, the wire envelope, a
// server's path and snapshot), with room to spare; the reader and the
// writer recurse at most this deep, which a pool thread's stack bears.
inline constexpr size_t kMaxDepth = 1100;

// Any JSON value is accepted at the top level, not just arrays and objects.
// On bad input (syntax error, invalid UTF-8, nesting too deep) returns a null
// Value and sets *error when error is not null.
Value parse(std::string_view text, ErrorRef* error = nullptr);
Value parse(const Data& bytes, ErrorRef* error = nullptr);

struct WriteOptions {
    bool pretty = false;  // two-space indentation, one member per line
};

// True when the value (and everything inside it) can be written as JSON:
// null, booleans, finite numbers, strings, arrays and dictionaries.
bool isValidJSONObject(const Value& value);

// Writes the value. Data, dates, objects, NaN and infinities have no JSON
// form: the result is empty and *error names the offending value. Invalid
// UTF-8 inside strings is written as U+FFFD.
std::string serialize(const Value& value, ErrorRef* error);
std::string serialize(const Value& value, WriteOptions options, ErrorRef* error);
// Convenience for values known to be valid; returns "" when they are not.
std::string serialize(const Value& value, bool pretty = false);

// A part of a Document: a value as the fast reader holds it, which may be
// taken as a Value or walked by the caller, who builds its own structures
// from it without values in between. Valid while its document lives.
class Element {
public:
    enum class Kind : uint8_t { Null, Bool, Int, UInt, Double, String, Array, Object };

    Kind kind() const { return kind_; }
    bool isObject() const { return kind() == Kind::Object; }
    bool isArray() const { return kind() == Kind::Array; }
    // Each for its own kind only.
    bool boolValue() const;
    int64_t intValue() const;
    uint64_t uintValue() const;
    double doubleValue() const;
    std::string_view stringValue() const;
    // An object's members or an array's items.
    size_t size() const;
    // How many containers hold it (the root: 0); parse() refuses a
    // container held by kMaxDepth of them.
    size_t depth() const { return depth_; }

    // The object's member of the key when the key is there exactly once.
    std::optional<Element> member(std::string_view key) const;
    // Calls f(key, member) for an object's members in text order, or
    // f("", item) for an array's items, until f answers false; answers
    // whether every call answered true.
    template <class F>
    bool forEach(F&& f) const {
        return forEachImpl(&f, [](void* fn, std::string_view key, const Element& e) {
            return (*static_cast<std::remove_reference_t<F>*>(fn))(key, e);
        });
    }
    // The Value parse() gives for this part; nullopt when it nests too deep
    // for parse(), counting from the root.
    std::optional<Value> value() const;

private:
    friend class Document;
    using Visit = bool (*)(void*, std::string_view, const Element&);
    bool forEachImpl(void* fn, Visit visit) const;

    // The reader's own handle of the part.
    alignas(8) unsigned char handle_[16] = {};
    uint32_t depth_ = 0;
    Kind kind_ = Kind::Null;
};

// A JSON text read once by the fast reader and kept, so that its parts may
// be taken in different forms. read() refuses what that reader refuses
// (parse() then gives its result and its wording), so a part's value() is
// what parse() of the whole text holds there, as long as nothing in the text
// nests too deep for parse(). The text must outlive the document.
class Document {
public:
    Document();
    ~Document();
    Document(const Document&) = delete;
    Document& operator=(const Document&) = delete;

    bool read(std::string_view text);
    // Only after read() answered true.
    Element root() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace ns::json
