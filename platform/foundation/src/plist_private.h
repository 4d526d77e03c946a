#pragma once
// Private to the property-list readers and writers (plist.cpp,
// plist_binary.cpp, keyed_archive.cpp): the bounds every reader keeps, the
// binary form's reader and writer, and which dates a list holds.
//
// Both forms are read and written here rather than by a format library:
// each reader builds values in one pass over its input, each writer in one
// pass over the value, with no structure that a chosen input can make
// quadratic (no hash tables, no look-up by position in a linked list). What
// is written stays the standard format other readers of our files expect.

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/value.h"

namespace ns::plist_codec {

// Values nest no deeper than this: a value's depth counts the arrays and
// dictionaries around it, and the readers count a UID as the dictionary of
// one member it reads as, so whatever they accept can be written back.
constexpr size_t kMaxDepth = 512;

// What a value costs in memory, in bytes: a slot at each place it is
// named from (an array's item, a dictionary's member, the top), and once,
// however many places name it, what its storage allocates (an array's or
// dictionary's shared block, a text's or data's buffer), each allocation
// as the C library's allocator rounds it (a header of 8 bytes, steps of
// 16, 32 at least). Measured from the types that keep values, so that a
// bound on this bounds the memory a value takes.
namespace cost {

constexpr uint64_t allocation(uint64_t bytes) {
    return bytes == 0 ? 0 : bytes + 8 <= 32 ? 32 : (bytes + 8 + 15) / 16 * 16;
}

// A shared block (std::make_shared) holds its counts and table pointer
// before the object; a dictionary's node its colour and three links before
// the member.
constexpr uint64_t kSharedCounts = 2 * sizeof(int) + sizeof(void*);
constexpr uint64_t kNodeLinks = 4 * sizeof(void*);

constexpr uint64_t kValue = sizeof(Value);
constexpr uint64_t kArrayBlock = allocation(kSharedCounts + sizeof(Array));
constexpr uint64_t kDictionaryBlock = allocation(kSharedCounts + sizeof(Dictionary));
// A member's node less the member's own slot, which the member counts.
constexpr uint64_t kEntry = allocation(kNodeLinks + sizeof(Dictionary::value_type)) - kValue;

// A text's bytes beyond its slot: none while it fits in the string itself.
inline uint64_t text(uint64_t size) {
    static const uint64_t kInline = std::string().capacity();
    return size <= kInline ? 0 : allocation(size + 1);
}
inline uint64_t data(uint64_t size) { return allocation(size); }
// The same kept in a buffer every place shares (Value::share).
inline uint64_t sharedText(uint64_t size) {
    return text(size) == 0 ? 0 : allocation(kSharedCounts + sizeof(std::string)) + text(size);
}
inline uint64_t sharedData(uint64_t size) {
    return size == 0 ? 0 : allocation(kSharedCounts + sizeof(Data)) + data(size);
}

// An array's storage for `count` items beyond the items' slots: its block,
// and what the allocation holding the slots adds to them.
constexpr uint64_t arrayStorage(uint64_t count) {
    return kArrayBlock + (count == 0 ? 0 : allocation(count * kValue) - count * kValue);
}
// A member's key is its dictionary's own copy, at every place.
inline uint64_t entry(uint64_t keySize) { return kEntry + text(keySize); }

// A leaf kept at one place only: its slot and its text's or data's bytes.
inline uint64_t leaf(const Value& v) {
    return kValue + (v.isString() ? text(v.asString().size()) : v.isData() ? data(v.asData().size()) : 0);
}

// A UID reads as {"CF$UID": n}: the dictionary, its one member and the number.
constexpr uint64_t kUIDStorage = kDictionaryBlock + kEntry + kValue;

}  // namespace cost

// A list may name one object from many places (other writers store equal
// values once; ours does too): the reader builds each object once and
// every place shares it, so what a list reads as is bounded by its size.
// Every object counts its storage once and every place a slot (see cost),
// and the whole may come to at most kExpansionPerByte bytes per byte of
// the list. A reference takes a byte at least, a slot 40 and a member's
// node with its key's copy 72 and up, so only keys longer than about a
// hundred bytes, each named from many dictionaries, come near the bound,
// and they do take that memory.
constexpr uint64_t kExpansionPerByte = 128;

std::string tooDeep();

// Text a list may hold: UTF-8, and no NUL, since other readers of our files
// (libplist) end a string at one.
bool validText(std::string_view s);

// The binary form's value, or null with `problem` set.
Value readBinary(const uint8_t* bytes, size_t size, std::string& problem);

// The problem that keeps a value from being written (empty when none): a
// null, an object, text that is not UTF-8 or holds a NUL, a date out of
// range, nesting past kMaxDepth; with `asXML`, text that XML 1.0 cannot
// hold too. Names where in the value it is.
std::string unwritable(const Value& value, bool asXML = false);

// The binary form of a value unwritable() accepts. With `uids`, each
// dictionary of the one key "CF$UID" holding a non-negative integer is
// written as a UID, as keyed archives refer to their objects. Equal texts,
// data, numbers, dates and UIDs are written once, and so is a container
// several places share, so a list read and written again is no larger.
Data writeBinary(const Value& value, bool uids);

}  // namespace ns::plist_codec

namespace ns::plist_date {

// Property lists count dates from 2001.
constexpr double kEpoch2001 = 978307200.0;

// The dates every list holds, seconds since 2001, both ends excluded: the
// format library's 32-bit seconds less one at either end, since its XML
// reader gives a date past its range as the least second. Other readers of
// our files use it, so our writers keep to its range. Writing the XML form
// floors a date to its second, and writes one inside the range's first
// second as the range's earliest whole second, which keeps it inside.
constexpr double kEarliest = double(INT32_MIN) + 1;  // 1932-12-13T20:45:53Z
constexpr double kLatest = double(INT32_MAX) - 1;    // 2069-01-19T03:14:06Z

struct LibraryDate {
    int32_t seconds;
    int32_t microseconds;
};

// Seconds since 2001 rounded to the microsecond (a fraction that rounds to a
// whole second carries over), as a writer stores them; none for a date that
// rounds outside the range above. Readers ask this of each date they would
// return, so that they refuse exactly what a writer could not write back.
inline std::optional<LibraryDate> libraryDate(double since2001) {
    if (!(since2001 > kEarliest - 1 && since2001 < kLatest + 1)) return std::nullopt;  // NaN too
    double whole = std::trunc(since2001);
    long long usec = std::llround((since2001 - whole) * 1e6);
    if (usec >= 1000000 || usec <= -1000000) {
        whole += usec > 0 ? 1 : -1;
        usec = 0;
    }
    const double rounded = whole + double(usec) / 1e6;
    if (!(rounded > kEarliest && rounded < kLatest)) return std::nullopt;
    return LibraryDate{int32_t(whole), int32_t(usec)};
}

// Whether a date, seconds since 1970, is one a list can hold.
inline bool holds(double secondsSince1970) { return libraryDate(secondsSince1970 - kEpoch2001).has_value(); }

// The seconds since 1970 a stored date (seconds since 2001) reads as: to the
// microsecond, as writing splits it, so that a date read and written again
// reads back the same. None unless a writer can write the date it reads as.
inline std::optional<double> readDate(double since2001) {
    const auto date = libraryDate(since2001);
    if (!date) return std::nullopt;
    const double since1970 = double(date->seconds) + double(date->microseconds) / 1e6 + kEpoch2001;
    if (!holds(since1970)) return std::nullopt;
    return since1970;
}

}  // namespace ns::plist_date
