#pragma once
// The analytics wire's coding in one place: varints, field keys and the
// placing of fields into bytes the encoder already wrote. Code that writes
// or reads encoded messages itself (to skip building records on a hot path)
// calls these instead of spelling bytes out, so it writes exactly what
// nanopb writes and reads what nanopb reads.
//
// Keys are made from nanopb's generated tag constants; a key below 0x80 is
// one byte on the wire.
//
//     ns::Data out;
//     qrvawire::appendDelimited(out, qrvawire::kEventName, "_s");
//     qrvawire::appendVarintField(out, qrvawire::kEventTimestamp, uint64_t(millis));
//
// Threads: plain functions over the caller's bytes; any thread.

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "qrvanalytics.pb.h"

namespace qrvawire {

using Bytes = std::vector<uint8_t>;  // ns::Data

// A 64-bit varint takes at most ten bytes.
inline constexpr size_t kMaxVarintSize = 10;

constexpr uint32_t key(uint32_t tag, pb_wire_type_t type) {
    return tag << 3 | uint32_t(type);
}
constexpr uint32_t tagOf(uint64_t key) {
    return uint32_t(key >> 3);
}
constexpr uint32_t wireTypeOf(uint64_t key) {
    return uint32_t(key & 7);
}

// The keys the hand-written paths write and read.
inline constexpr uint32_t kBatchBundles = key(qrvanalytics_MeasurementBatch_bundles_tag, PB_WT_STRING);
inline constexpr uint32_t kBundleEvents = key(qrvanalytics_MeasurementBundle_events_tag, PB_WT_STRING);
inline constexpr uint32_t kBundleUploadTimestamp =
    key(qrvanalytics_MeasurementBundle_upload_timestamp_millis_tag, PB_WT_VARINT);
inline constexpr uint32_t kBundleUploadingLibraryVersion =
    key(qrvanalytics_MeasurementBundle_uploading_library_version_tag, PB_WT_VARINT);
inline constexpr uint32_t kEventParams = key(qrvanalytics_Event_params_tag, PB_WT_STRING);
inline constexpr uint32_t kEventName = key(qrvanalytics_Event_name_tag, PB_WT_STRING);
inline constexpr uint32_t kEventTimestamp = key(qrvanalytics_Event_timestamp_millis_tag, PB_WT_VARINT);
inline constexpr uint32_t kEventPreviousTimestamp =
    key(qrvanalytics_Event_previous_timestamp_millis_tag, PB_WT_VARINT);
inline constexpr uint32_t kParamName = key(qrvanalytics_EventParam_name_tag, PB_WT_STRING);
inline constexpr uint32_t kParamString = key(qrvanalytics_EventParam_string_value_tag, PB_WT_STRING);
inline constexpr uint32_t kParamInt = key(qrvanalytics_EventParam_int_value_tag, PB_WT_VARINT);
inline constexpr uint32_t kParamDouble = key(qrvanalytics_EventParam_double_value_tag, PB_WT_64BIT);

constexpr size_t varintSize(uint64_t value) {
    size_t size = 1;
    for (; value >= 0x80; value >>= 7) ++size;
    return size;
}

// A key, length and contents of `length` bytes.
constexpr size_t delimitedSize(uint32_t key, size_t length) {
    return varintSize(key) + varintSize(length) + length;
}

// Seven bits a byte, least significant first, the high bit set on all but
// the last: the encoder's shortest form.
inline void appendVarint(Bytes& out, uint64_t value) {
    for (; value >= 0x80; value >>= 7) out.push_back(uint8_t(value | 0x80));
    out.push_back(uint8_t(value));
}

// Reads a varint as the decoder accepts it: false when cut short or past 64
// bits. Padding with zero groups is accepted, as the decoder does.
inline bool readVarint(const uint8_t*& p, const uint8_t* end, uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 64 && p < end; shift += 7) {
        const uint8_t byte = *p++;
        if (shift == 63 && byte > 1) return false;
        value |= uint64_t(byte & 0x7F) << shift;
        if (!(byte & 0x80)) return true;
    }
    return false;
}

// Reads a varint only in the form the encoder writes: also false when padded
// with zero groups.
inline bool readShortestVarint(const uint8_t*& p, const uint8_t* end, uint64_t& value) {
    const uint8_t* start = p;
    return readVarint(p, end, value) && (p - start == 1 || p[-1] != 0);
}

// Eight bytes, least significant first (a double's or fixed64's bits).
inline void appendFixed64(Bytes& out, uint64_t bits) {
    for (int shift = 0; shift < 64; shift += 8) out.push_back(uint8_t(bits >> shift));
}
inline bool readFixed64(const uint8_t*& p, const uint8_t* end, uint64_t& bits) {
    if (end - p < 8) return false;
    bits = 0;
    for (int shift = 0; shift < 64; shift += 8) bits |= uint64_t(*p++) << shift;
    return true;
}

// An integer field: an int64's two's complement, so ten bytes when negative.
inline void appendVarintField(Bytes& out, uint32_t key, uint64_t value) {
    appendVarint(out, key);
    appendVarint(out, value);
}
inline void appendFixed64Field(Bytes& out, uint32_t key, uint64_t bits) {
    appendVarint(out, key);
    appendFixed64(out, bits);
}
// The key and length of a text, bytes or sub-message field, whose contents
// the caller appends next.
inline void appendDelimitedHead(Bytes& out, uint32_t key, size_t length) {
    appendVarint(out, key);
    appendVarint(out, length);
}
inline void appendDelimited(Bytes& out, uint32_t key, std::string_view contents) {
    appendDelimitedHead(out, key, contents.size());
    out.insert(out.end(), contents.begin(), contents.end());
}

// Where a field of `tag` goes in a message's bytes as the encoder writes
// them (tag order) when every field before it is a varint of a lower tag
// with a one-byte key: past those. nullopt when the bytes are not so.
inline std::optional<size_t> placeAfterVarintFields(std::span<const uint8_t> bytes, uint32_t tag) {
    const uint8_t* p = bytes.data();
    const uint8_t* end = p + bytes.size();
    while (p < end && *p < 0x80 && tagOf(*p) != 0 && tagOf(*p) < tag) {
        uint64_t value = 0;
        if (wireTypeOf(*p++) != PB_WT_VARINT || !readVarint(p, end, value)) return std::nullopt;
    }
    return size_t(p - bytes.data());
}

// Fields put into encoded bytes at an offset: the whole of `bytes`, at `at`.
struct Insertion {
    size_t at;
    std::span<const uint8_t> bytes;
};

// Appends `bytes` to `out` with each insertion in place, in the order given
// (offsets ascending): a message with fields added where the encoder would
// have written them. The caller reserves: reserving here, element by
// element, would defeat the vector's own growth.
inline void appendSpliced(Bytes& out, std::span<const uint8_t> bytes, std::initializer_list<Insertion> insertions) {
    size_t from = 0;
    for (const auto& insertion : insertions) {
        out.insert(out.end(), bytes.begin() + std::ptrdiff_t(from), bytes.begin() + std::ptrdiff_t(insertion.at));
        out.insert(out.end(), insertion.bytes.begin(), insertion.bytes.end());
        from = insertion.at;
    }
    out.insert(out.end(), bytes.begin() + std::ptrdiff_t(from), bytes.end());
}

}  // namespace qrvawire
