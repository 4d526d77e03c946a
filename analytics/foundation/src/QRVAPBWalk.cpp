// A walk over encoded bytes that builds no records: whether decoding them and
// encoding the result again would give the same bytes back, so that a caller
// can pass stored bytes on as they are instead of making records of them.

#include <pb_common.h>

#include "analytics/QRVAPBMessages.h"
#include "analytics/QRVAWire.h"

namespace {

using qrvawire::readShortestVarint;

// Deeper than any message of the schema nests.
constexpr int kMaxDepth = 16;

// A value the encoder writes for the field: a bool is 0 or 1, a 32-bit
// signed value is written sign-extended to 64 bits, a 32-bit unsigned one
// fits 32 bits. Repeated numbers are read as 64-bit unsigned values.
bool isWrittenValue(const pb_field_iter_t& field, uint64_t value) {
    const auto type = PB_LTYPE(field.type);
    if (PB_ATYPE(field.type) == PB_ATYPE_CALLBACK) return type == PB_LTYPE_UVARINT;
    if (type == PB_LTYPE_BOOL) return value <= 1;
    if (field.data_size == sizeof(uint64_t)) return type == PB_LTYPE_VARINT || type == PB_LTYPE_UVARINT;
    if (type == PB_LTYPE_UVARINT) return value <= UINT32_MAX;
    constexpr uint64_t kHalf = uint64_t(1) << 31;
    return type == PB_LTYPE_VARINT && (value < kHalf || value >= ~uint64_t(0) - (kHalf - 1));
}

bool walkMessage(const pb_msgdesc_t* descriptor, const uint8_t* p, const uint8_t* end,
                 std::vector<QRVAPBWireField>* fields, int depth);

// One value of `field`, of wire type `wire`, at `p`: moves `p` past it and
// `contents` past a length.
bool walkValue(const pb_field_iter_t& field, uint32_t wire, const uint8_t*& p, const uint8_t*& contents,
               const uint8_t* end, int depth) {
    const auto type = PB_LTYPE(field.type);
    uint64_t value = 0;
    switch (type) {
    case PB_LTYPE_BOOL:
    case PB_LTYPE_VARINT:
    case PB_LTYPE_UVARINT:
        return wire == PB_WT_VARINT && readShortestVarint(p, end, value) && isWrittenValue(field, value);
    case PB_LTYPE_FIXED32:
    case PB_LTYPE_FIXED64: {
        const size_t size = type == PB_LTYPE_FIXED32 ? 4 : 8;
        if (wire != (type == PB_LTYPE_FIXED32 ? PB_WT_32BIT : PB_WT_64BIT) || size_t(end - p) < size) return false;
        p += size;
        return true;
    }
    case PB_LTYPE_STRING:
    case PB_LTYPE_BYTES:
    case PB_LTYPE_SUBMESSAGE: {
        // Empty texts and messages are left to the decoder: whether they come
        // back depends on what the record makes of them.
        if (wire != PB_WT_STRING || !readShortestVarint(p, end, value) || value == 0 || value > uint64_t(end - p)) {
            return false;
        }
        contents = p;
        p += value;
        if (type != PB_LTYPE_SUBMESSAGE) return PB_ATYPE(field.type) == PB_ATYPE_CALLBACK;
        return walkMessage(field.submsg_desc, contents, p, nullptr, depth + 1);
    }
    default:
        return false;
    }
}

bool walkMessage(const pb_msgdesc_t* descriptor, const uint8_t* p, const uint8_t* end,
                 std::vector<QRVAPBWireField>* fields, int depth) {
    pb_field_iter_t field;
    if (depth > kMaxDepth || !pb_field_iter_begin(&field, descriptor, nullptr)) return false;
    const uint8_t* start = p;
    uint32_t last = 0;
    while (p < end) {
        const uint8_t* key = p;
        uint64_t word = 0;
        if (!readShortestVarint(p, end, word) || word > UINT32_MAX) return false;
        const auto tag = qrvawire::tagOf(word);
        // The encoder writes fields in tag order, a repeated field's elements
        // together and unpacked, and every other field once.
        if (tag == 0 || tag < last) return false;
        if (tag == last && PB_HTYPE(field.type) != PB_HTYPE_REPEATED) return false;
        while (field.tag < tag) {
            if (!pb_field_iter_next(&field)) return false;
        }
        const auto kind = PB_HTYPE(field.type);
        if (field.tag != tag || (kind != PB_HTYPE_OPTIONAL && kind != PB_HTYPE_REPEATED)) return false;
        last = tag;
        const uint8_t* contents = p;
        if (!walkValue(field, qrvawire::wireTypeOf(word), p, contents, end, depth)) return false;
        if (fields) fields->push_back({tag, size_t(key - start), size_t(contents - start), size_t(p - contents)});
    }
    return true;
}

}  // namespace

bool QRVAPBIsEncoderExact(const pb_msgdesc_t* descriptor, std::span<const uint8_t> bytes,
                          std::vector<QRVAPBWireField>* fields) {
    if (fields) fields->clear();
    return !bytes.empty() && walkMessage(descriptor, bytes.data(), bytes.data() + bytes.size(), fields, 0);
}
