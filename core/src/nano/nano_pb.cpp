#include "core/nano/nano_pb.h"

#include <cstdlib>
#include <cstring>

#include "nano_console.h"

using nano_detail::console;
using nano_detail::consolef;

namespace {

// Allocates the 8-byte cell on first use; null when the slot address is
// missing or memory is exhausted (both reported).
void* scalarCell(void** slot, const char* kind) {
    if (slot == nullptr) {
        consolef("<ERROR> Unable to set %s value. Field pointer is NULL", kind);
        return nullptr;
    }
    if (*slot == nullptr) {
        *slot = calloc(1, 8);
        if (*slot == nullptr) {
            consolef("<ERROR> Unable to set %s value. Out of memory", kind);
        }
    }
    return *slot;
}

template <class T>
void setScalar(void** slot, T value, const char* kind) {
    static_assert(sizeof(T) <= 8);
    if (void* cell = scalarCell(slot, kind)) {
        memcpy(cell, &value, sizeof(T));
    }
}

// A fresh NUL-terminated copy of the stream's remaining bytes, or null. The
// caller owns the buffer.
char* readStringBytes(pb_istream_t* stream, const char* who) {
    size_t length = stream->bytes_left;
    if (length > NANO_MAX_STRING_LENGTH) {
        consolef("Unable to process proto stream. Buffer is too big. %zu > %d", length, NANO_MAX_STRING_LENGTH);
        return nullptr;
    }
    char* data = static_cast<char*>(malloc(length + 1));
    if (data == nullptr) {
        consolef("<ERROR> %s failed: out of memory", who);
        return nullptr;
    }
    if (!pb_read(stream, reinterpret_cast<pb_byte_t*>(data), length)) {
        consolef("<ERROR> %s failed: %s", who, PB_GET_ERROR(stream));
        free(data);
        return nullptr;
    }
    data[length] = '\0';
    return data;
}

bool skipRemaining(pb_istream_t* stream) {
    return pb_read(stream, nullptr, stream->bytes_left);
}

ArrayInfo* arrayArg(void* arg, const char* who) {
    auto* array = static_cast<ArrayInfo*>(arg);
    if (array == nullptr) {
        consolef("<ERROR> %s failed: Invalid arg parameter", who);
    }
    return array;
}

// Position for the next element of the filling pass; false when the counting
// pass saw fewer elements than the stream now holds.
bool nextItemIndex(ArrayInfo* array, const char* who) {
    if (array->filled >= array->count) {
        consolef("<ERROR> %s failed: more elements than counted (%u)", who, array->count);
        return false;
    }
    return true;
}

}  // namespace

namespace {

// One string element: its tag, then its bytes. A missing record or missing
// bytes fail the encoding.
bool encodeStringElement(pb_ostream_t* stream, const pb_field_t* field, const StringInfo* string) {
    if (string == nullptr || string->data == nullptr) {
        return false;
    }
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(string->data), string->length);
}

// Encodes each of an array record's `count` items with `encodeItem`. An
// empty array writes nothing; a missing record or item list fails.
template <class EncodeItem>
bool encodeEachItem(void* const* arg, EncodeItem encodeItem) {
    const auto* array = arg ? static_cast<const ArrayInfo*>(*arg) : nullptr;
    if (array == nullptr) {
        return false;
    }
    if (array->count == 0) {
        return true;
    }
    if (array->items == nullptr) {
        return false;
    }
    for (uint32_t i = 0; i < array->count; ++i) {
        if (!encodeItem(array->items[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" {

void nano_init_array_info(ArrayInfo* array) {
    if (array == nullptr) {
        console("<ERROR> Unable to initialize the array. Array pointer is NULL");
        return;
    }
    free(array->items);
    array->items = nullptr;
    array->filled = 0;
    array->count = 0;
}

void nano_free_string(StringInfo* string) {
    if (string == nullptr) {
        return;
    }
    free(string->data);
    string->data = nullptr;
    string->length = 0;
    string->reserved = 0;
}

void nano_set_bool(void** slot, bool value) {
    setScalar(slot, value, "bool");
}

void nano_set_uint32(void** slot, uint32_t value) {
    setScalar(slot, value, "uint32");
}

void nano_set_uint64(void** slot, uint64_t value) {
    setScalar(slot, value, "uint64");
}

void nano_set_float(void** slot, float value) {
    setScalar(slot, value, "float");
}

void nano_set_double(void** slot, double value) {
    setScalar(slot, value, "double");
}

void nano_set_string(void** slot, const void* bytes, size_t length) {
    if (slot == nullptr) {
        console("<ERROR> Unable to set string value. Field pointer is NULL");
        return;
    }
    if (bytes == nullptr && length > 0) {
        console("<ERROR> Unable to set string value. Data pointer is NULL");
        return;
    }
    if (length > UINT32_MAX - 1) {
        consolef("<ERROR> Unable to set string value. Length %zu is too big", length);
        return;
    }
    // Copy first: the source may be the record's own bytes.
    char* copy = static_cast<char*>(malloc(length + 1));
    if (copy == nullptr) {
        console("<ERROR> Unable to set string value. Out of memory");
        return;
    }
    if (length > 0) {
        memcpy(copy, bytes, length);
    }
    copy[length] = '\0';

    if (*slot == nullptr) {
        *slot = calloc(1, sizeof(StringInfo));
        if (*slot == nullptr) {
            console("<ERROR> Unable to set string value. Out of memory");
            free(copy);
            return;
        }
    }
    auto* string = static_cast<StringInfo*>(*slot);
    nano_free_string(string);
    string->data = copy;
    string->length = static_cast<uint32_t>(length);
}

bool nano_decode_string(pb_istream_t* stream, const pb_field_t* field, void** arg) {
    void** slot = arg ? static_cast<void**>(*arg) : nullptr;
    if (slot == nullptr) {
        console("<ERROR> String decoder failed: Invalid arg parameter");
        return false;
    }
    if (*slot != nullptr) {
        // The record exists: either the first pass already stored the bytes
        // (a two-pass decode reads the stream again) or it was emptied.
        if (static_cast<StringInfo*>(*slot)->data == nullptr) {
            console("<ERROR> String decoder failed: string data is NULL");
            return false;
        }
        return skipRemaining(stream);
    }
    size_t length = stream->bytes_left;
    char* data = readStringBytes(stream, "String decoder");
    if (data == nullptr) {
        return false;
    }
    auto* string = static_cast<StringInfo*>(calloc(1, sizeof(StringInfo)));
    if (string == nullptr) {
        console("<ERROR> String decoder failed: out of memory");
        free(data);
        return false;
    }
    string->data = data;
    string->length = static_cast<uint32_t>(length);
    *slot = string;
    return true;
}

bool nano_decode_repeated_string(pb_istream_t* stream, const pb_field_t* field, void** arg) {
    static const char* const kWho = "Repeated string decoder";
    ArrayInfo* array = arrayArg(arg ? *arg : nullptr, kWho);
    if (array == nullptr) {
        return false;
    }
    if (array->items == nullptr) {
        if (array->count == UINT32_MAX || !skipRemaining(stream)) {
            consolef("<ERROR> %s failed: %s", kWho, PB_GET_ERROR(stream));
            return false;
        }
        array->count++;
        return true;
    }
    if (!nextItemIndex(array, kWho)) {
        return false;
    }
    size_t length = stream->bytes_left;
    char* data = readStringBytes(stream, kWho);
    if (data == nullptr) {
        return false;
    }
    auto* string = static_cast<StringInfo*>(calloc(1, sizeof(StringInfo)));
    if (string == nullptr) {
        consolef("<ERROR> %s failed: out of memory", kWho);
        free(data);
        return false;
    }
    string->data = data;
    string->length = static_cast<uint32_t>(length);
    array->items[array->filled++] = string;
    return true;
}

bool nano_decode_repeated_uint64(pb_istream_t* stream, const pb_field_t* field, void** arg) {
    static const char* const kWho = "Repeated uint64 decoder";
    ArrayInfo* array = arrayArg(arg ? *arg : nullptr, kWho);
    if (array == nullptr) {
        return false;
    }
    uint64_t value = 0;
    if (!pb_decode_varint(stream, &value)) {
        consolef("<ERROR> %s failed: %s", kWho, PB_GET_ERROR(stream));
        return false;
    }
    if (array->items == nullptr) {
        if (array->count == UINT32_MAX) {
            consolef("<ERROR> %s failed: too many elements", kWho);
            return false;
        }
        array->count++;
        return true;
    }
    if (!nextItemIndex(array, kWho)) {
        return false;
    }
    void* cell = nullptr;
    nano_set_uint64(&cell, value);
    if (cell == nullptr) {
        return false;
    }
    array->items[array->filled++] = cell;
    return true;
}

bool nano_encode_string(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    return encodeStringElement(stream, field, arg ? static_cast<const StringInfo*>(*arg) : nullptr);
}

bool nano_encode_repeated_string(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    return encodeEachItem(arg, [&](const void* item) {
        return encodeStringElement(stream, field, static_cast<const StringInfo*>(item));
    });
}

bool nano_encode_repeated_uint64(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    return encodeEachItem(arg, [&](const void* cell) {
        if (cell == nullptr) {
            return false;
        }
        uint64_t value = 0;
        memcpy(&value, cell, sizeof value);
        // Unpacked on purpose: one tag per element, whatever the field's label.
        return pb_encode_tag(stream, PB_WT_VARINT, field->tag) && pb_encode_varint(stream, value);
    });
}

uint32_t nano_two_pass_encoding(const pb_msgdesc_t* fields, const void* structure, uint8_t** buffer) {
    if (buffer == nullptr) {
        return NANO_ENCODE_FAILURE;
    }
    *buffer = nullptr;
    if (fields == nullptr || structure == nullptr) {
        return NANO_ENCODE_FAILURE;
    }
    pb_ostream_t sizing = PB_OSTREAM_SIZING;
    if (!pb_encode(&sizing, fields, structure)) {
        consolef("<ERROR> Unable to size the message: %s", PB_GET_ERROR(&sizing));
        return NANO_ENCODE_FAILURE;
    }
    size_t size = sizing.bytes_written;
    if (size >= NANO_ENCODE_FAILURE) {
        consolef("<ERROR> Unable to encode the message: %zu bytes is too big", size);
        return NANO_ENCODE_FAILURE;
    }
    // An empty message still gets a buffer of its own, so that "no buffer"
    // always means failure.
    auto* bytes = static_cast<uint8_t*>(malloc(size > 0 ? size : 1));
    if (bytes == nullptr) {
        return NANO_ENCODE_FAILURE;
    }
    pb_ostream_t output = pb_ostream_from_buffer(bytes, size);
    if (!pb_encode(&output, fields, structure) || output.bytes_written != size) {
        consolef("<ERROR> Unable to encode the message: %s", PB_GET_ERROR(&output));
        free(bytes);
        return NANO_ENCODE_FAILURE;
    }
    *buffer = bytes;
    return static_cast<uint32_t>(size);
}

}  // extern "C"
