#pragma once
// Property lists (NSPropertyListSerialization stand-in), XML and binary.
//
// Booleans, integers (negative int64 and uint64 above INT64_MAX included),
// reals, strings, data, dates, arrays and dictionaries round-trip with their
// kinds; a real that happens to be integral stays a real. Dates keep
// microseconds in binary form and whole seconds in XML form, and must lie
// within about 68 years of 2001 (the range libplist, which other readers of
// our files use, handles). A binary UID reads as {"CF$UID": n}.
//
// Reading and writing take time and memory linear in the list's size. An
// object a binary list names from many places is read once and every place
// shares it (see Value::share); the binary writer stores equal values, and
// a container several places share, once. A list is refused when it nests
// deeper than 512 (a UID counting as the dictionary it reads as), or when it
// truly reads into more than 128 bytes of memory per byte of it (each object
// counted once, each place a slot), so whatever reads can be written back.
// XML refuses text XML 1.0 cannot hold (a control character other than tab,
// line feed and carriage return; U+FFFE, U+FFFF), which binary keeps, and a
// value that would write out as more than 2^28 values, since XML names
// nothing from two places.
//
// Errors are NSCocoaErrorDomain: 3840 for unreadable content, 3851 for values
// with no property-list form, and the file codes of platform/file_manager.h
// for I/O problems. File errors carry the path in kFilePathErrorKey and in
// the description.

#include <string>

#include "platform/error.h"
#include "platform/value.h"

namespace ns::plist {

enum class Format { XML, Binary };

inline constexpr long kReadCorruptError = 3840;   // NSPropertyListReadCorruptError
inline constexpr long kWriteInvalidError = 3851;  // NSPropertyListWriteInvalidError

// Detects XML vs binary from the content. Returns a null Value and sets
// *error on bad input. `detected`, when given, receives the format found.
Value parse(const Data& bytes, ErrorRef* error = nullptr, Format* detected = nullptr);

// True when the value can be written (in binary at least): no nulls, no
// objects anywhere inside, text that is UTF-8 without NUL, dates in range.
bool isValidPropertyList(const Value& value);

// Empty Data (and *error) when the value has no property-list form, or, for
// XML, holds text XML 1.0 cannot hold.
Data serialize(const Value& value, Format format, ErrorRef* error = nullptr);

// Reads and parses a file. A missing file is NSFileReadNoSuchFileError (260).
Value readFile(const std::string& path, ErrorRef* error = nullptr);

// Whether readFile's error says the file could not be read (an I/O error, a
// permission, a folder in its way), which is no damage to what it holds,
// rather than that its bytes do not parse.
inline bool readFailedBeforeParsing(const ErrorRef& error) {
    return error && !(error->domain() == kCocoaErrorDomain && error->code() == kReadCorruptError);
}

// Writes atomically (temporary file in the same directory, then rename), so
// readers see either the old or the new content. `permissions` is the mode
// of the new file.
bool writeFile(const std::string& path, const Value& value, Format format, ErrorRef* error = nullptr,
               int permissions = 0644);

}  // namespace ns::plist
