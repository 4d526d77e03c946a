#pragma once
// One description per wire message, read by one generic implementation of
// the message families: records are walked by their flag tables, nanopb
// structures by a layout made from nanopb's own field lists, so the sixteen
// families differ only in their tables (QRVAPBMessages.cpp).

#include <cstddef>
#include <cstdint>

#include "core/nano/nano_pb.h"

namespace qrvapb {

// Where one field lies in nanopb's structure. The same facts nanopb's field
// iterator decodes from its packed descriptor at every step, read once at
// compile time, since the codec visits every field of every element several
// times per message.
struct FieldLayout {
    uint16_t data;      // offset of the value, or of the pb_callback_t
    int16_t presence;   // offset of the has_ flag of a static field, else -1
    uint16_t size;      // of the value
    bool callback;      // strings and repeated fields
};

struct Family {
    const char* name;                   // as the schema names the message; the record's name
    const pb_msgdesc_t* descriptor;     // nanopb's, fields in tag order
    const FieldLayout* layout;          // in the descriptor's order
    size_t structureSize;               // of nanopb's structure
    int32_t fieldCount;
    const uint32_t* typesByID;          // the record's flag table
    const char* const* namesByIndex;    // field names in descriptor order
    const Family* const* subsByIndex;   // the sub-message's family, or null, in descriptor order
    // Field ID of each descriptor position and back; null where they are the
    // same (every message but the bundle).
    const uint8_t* idOfIndex;
    const uint8_t* indexOfID;
    // Decoded in two passes: the message or a singular sub-message at any
    // depth has a repeated field, whose items are counted first.
    bool twoPass;
    // This message's element callbacks, installed on repeated fields of its
    // type.
    bool (*decodeRepeated)(pb_istream_t* stream, const pb_field_t* field, void** arg);
    bool (*encodeRepeated)(pb_ostream_t* stream, const pb_field_t* field, void* const* arg);

    int32_t idOf(pb_size_t index) const { return idOfIndex ? idOfIndex[index] : static_cast<int32_t>(index); }
    int32_t indexOf(int32_t id) const { return indexOfID ? indexOfID[id] : id; }
    const Family* subOf(int32_t id) const { return subsByIndex[indexOf(id)]; }
    const char* fieldName(int32_t id) const { return namesByIndex[indexOf(id)]; }
};

bool initRecord(const Family& family, MessageInfo* info);
bool allocArrays(const Family& family, MessageInfo* info);
bool setDecoders(const Family& family, MessageInfo* info, void* structure);
bool populate(const Family& family, const void* structure, MessageInfo* info);
bool decode(const Family& family, const uint8_t* bytes, size_t length, MessageInfo* info);
bool decodeRepeated(const Family& family, pb_istream_t* stream, void** arg);
bool setEncoders(const Family& family, const MessageInfo* info, void* structure);
uint32_t encode(const Family& family, const MessageInfo* info, uint8_t** buffer);
bool encodeRepeated(const Family& family, pb_ostream_t* stream, const pb_field_t* field, void* const* arg);
bool freeField(const Family& family, MessageInfo* info, int32_t fieldID);
bool freeRecord(const Family& family, MessageInfo* info);
bool copyRecord(const Family& family, MessageInfo** destination, const MessageInfo* source);
// Makes repeated message field `id` hold `records`' contents, moved: each
// record is left an empty message of its type.
bool moveIntoArray(const Family& family, MessageInfo* info, int32_t id, MessageInfo* const* records, size_t count);
// The family whose records carry `info`'s message name, or null.
const Family* familyOf(const MessageInfo* info);

}  // namespace qrvapb
