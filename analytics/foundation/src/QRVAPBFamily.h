#pragma once
// One description per wire message, read by one generic implementation of
// the message families: records are walked by their flag tables, nanopb
// structures by nanopb's own field iterator, so the sixteen families differ
// only in their tables (QRVAPBMessages.cpp).

#include <cstddef>
#include <cstdint>

#include "core/nano/nano_pb.h"

namespace qrvapb {

struct Family {
    const char* name;                   // as the schema names the message; the record's name
    const pb_msgdesc_t* descriptor;     // nanopb's, fields in tag order
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

}  // namespace qrvapb
