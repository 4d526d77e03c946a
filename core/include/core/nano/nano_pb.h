#pragma once
// The in-memory form of a protocol buffer message and the nanopb callbacks
// that move strings, repeated strings and repeated uint64 values between that
// form and the wire.
//
// A message lives in a `MessageInfo` record: one slot per field, indexed by
// field ID (the field's position in the message's declaration order, from 0).
// A null slot is an absent field. What a non-null slot points to depends on
// the field's type flags:
//
//   scalar (bool, int32, uint32, int64, uint64, float, double)
//       an 8-byte cell holding the value at offset 0 in its own width
//   string or bytes
//       a `StringInfo`
//   singular sub-message
//       the sub-message's own `MessageInfo`
//   repeated field
//       an `ArrayInfo` whose items point to 8-byte cells, `StringInfo`s or
//       element `MessageInfo`s
//
// Ownership: every record, cell, string buffer and item array is allocated
// with malloc/calloc and released with free(), so the per-message functions
// (written in C or C++) and this layer can free what the other allocated.
//
// Everything in this header is plain C so that generated or hand-written C
// can use it; the callbacks have the signatures nanopb expects.

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include <pb.h>
#include <pb_decode.h>
#include <pb_encode.h>

#ifdef __cplusplus
extern "C" {
#endif

// Field type flags: one kind bit, plus the label bit.
enum {
    NANO_LABEL_OPTIONAL = 0x02,  // a singular field with its own presence
    NANO_LABEL_REPEATED = 0x08,

    NANO_TYPE_BOOL = 0x20,
    NANO_TYPE_UINT32 = 0x40,
    NANO_TYPE_INT32 = 0x80,
    NANO_TYPE_INT64 = 0x200,
    NANO_TYPE_UINT64 = 0x400,
    NANO_TYPE_FLOAT = 0x800,
    NANO_TYPE_DOUBLE = 0x1000,
    NANO_TYPE_STRING = 0x2000,  // strings and bytes alike
    NANO_TYPE_MESSAGE = 0x4000,

    NANO_TYPE_SCALAR_MASK = NANO_TYPE_BOOL | NANO_TYPE_UINT32 | NANO_TYPE_INT32 | NANO_TYPE_INT64 |
                            NANO_TYPE_UINT64 | NANO_TYPE_FLOAT | NANO_TYPE_DOUBLE,
};

// Longest string or bytes field a decode accepts.
#define NANO_MAX_STRING_LENGTH 1048576

// What the encoders return instead of a size when they fail.
#define NANO_ENCODE_FAILURE 0xFFFFFFFFu

typedef struct MessageInfo {
    void** messageFields;         // one slot per field, by field ID
    const uint32_t* fieldTypes;   // one flag word per field, fixed per message
    const char* messageName;      // fixed per message; compared by identity
} MessageInfo;

typedef struct StringInfo {
    uint32_t reserved;
    uint32_t length;   // number of bytes, without the terminating NUL
    char* data;        // NUL-terminated copy; null once freed
} StringInfo;

typedef struct ArrayInfo {
    uint32_t filled;   // elements stored so far during a decode; == count after it
    uint32_t count;    // number of elements
    void** items;      // count pointers; null while count is 0 or before allocation
} ArrayInfo;

// Frees the items array (not the elements it points to) and zeroes the
// record. A null record prints an error line.
void nano_init_array_info(ArrayInfo* array);

// Frees the bytes and zeroes the record; the record itself stays.
void nano_free_string(StringInfo* string);

// Store a scalar into the cell a slot points to, allocating the 8-byte cell
// when the slot is still null. A null slot address prints an error line.
void nano_set_bool(void** slot, bool value);
void nano_set_uint32(void** slot, uint32_t value);
void nano_set_uint64(void** slot, uint64_t value);
void nano_set_float(void** slot, float value);
void nano_set_double(void** slot, double value);

// Stores a NUL-terminated copy of `length` bytes into the slot's string
// record, allocating the record when the slot is null and freeing old bytes.
void nano_set_string(void** slot, const void* bytes, size_t length);

// Decode callback for a singular string or bytes field. The callback's arg
// holds the address of the field's slot (void**). First pass: allocates the
// string record and reads the bytes (at most NANO_MAX_STRING_LENGTH). A slot
// that already holds bytes (second pass of a two-pass decode) skips the field.
bool nano_decode_string(pb_istream_t* stream, const pb_field_t* field, void** arg);

// Decode callbacks for one element of a repeated string or uint64 field (packed
// uint64 arrays call back once per element). The callback's arg holds the
// `ArrayInfo`. While the record has no items (counting pass) an element is
// skipped and counted; afterwards it is stored at position `filled`.
bool nano_decode_repeated_string(pb_istream_t* stream, const pb_field_t* field, void** arg);
bool nano_decode_repeated_uint64(pb_istream_t* stream, const pb_field_t* field, void** arg);

// Encode callback for a string or bytes field; the callback's arg holds the
// `StringInfo`. Writes the tag and the bytes.
bool nano_encode_string(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);

// Encode callbacks for repeated string and uint64 fields; the callback's arg
// holds the `ArrayInfo`. One tag per element (uint64 unpacked); nothing for
// an empty array.
bool nano_encode_repeated_string(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool nano_encode_repeated_uint64(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);

// Encodes `structure` once to size it, allocates exactly that many bytes
// into *buffer (to be released with free()), and encodes again into them.
// Returns the size, or NANO_ENCODE_FAILURE with *buffer null.
uint32_t nano_two_pass_encoding(const pb_msgdesc_t* fields, const void* structure, uint8_t** buffer);

#ifdef __cplusplus
}  // extern "C"
#endif
