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

#include <string>
#include <string_view>

#include "platform/error.h"
#include "platform/value.h"

namespace ns::json {

// NSPropertyListReadCorruptError, the code Foundation uses for bad JSON too.
inline constexpr long kJSONErrorCode = 3840;

// Nesting deeper than this is refused rather than risking the stack.
inline constexpr size_t kMaxDepth = 512;

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

}  // namespace ns::json
