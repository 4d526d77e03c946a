#include "QRVAPBFamily.h"

#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>


#include "analytics/QRVAPBMessages.h"
#include "platform/format.h"
#include "platform/system_log.h"

namespace qrvapb {
namespace {

// Room for nanopb's structure of any message, on the stack.
union AnyStructure {
#define QRVAPB_MEMBER(lower, Message) qrvanalytics_##Message lower;
    QRVAPB_MESSAGES(QRVAPB_MEMBER)
#undef QRVAPB_MEMBER
};

template <class... A>
void print(std::string_view format, const A&... args) {
    ns::console(ns::format(format, args...));
}

bool isRepeated(uint32_t type) {
    return (type & NANO_LABEL_REPEATED) != 0;
}

MessageInfo* newRecord(const Family& family) {
    auto* info = static_cast<MessageInfo*>(calloc(1, sizeof(MessageInfo)));
    if (info != nullptr && !initRecord(family, info)) {
        freeRecord(family, info);
        return nullptr;
    }
    return info;
}

void freeItem(const Family& family, int32_t id, void* item) {
    uint32_t type = family.typesByID[id];
    if (type & NANO_TYPE_STRING) {
        nano_free_string(static_cast<StringInfo*>(item));
        free(item);
    } else if (type & NANO_TYPE_MESSAGE) {
        freeRecord(*family.subOf(id), static_cast<MessageInfo*>(item));
    } else {
        free(item);
    }
}

// A copy of one value of field `id` (a cell, a string record or a
// sub-record), or null.
void* copyItem(const Family& family, int32_t id, const void* item) {
    uint32_t type = family.typesByID[id];
    if (type & NANO_TYPE_STRING) {
        const auto* string = static_cast<const StringInfo*>(item);
        if (string->data == nullptr) {
            return nullptr;
        }
        void* copy = nullptr;
        nano_set_string(&copy, string->data, string->length);
        return copy;
    }
    if (type & NANO_TYPE_MESSAGE) {
        MessageInfo* copy = nullptr;
        return copyRecord(*family.subOf(id), &copy, static_cast<const MessageInfo*>(item)) ? copy : nullptr;
    }
    void* cell = malloc(8);
    if (cell != nullptr) {
        memcpy(cell, item, 8);
    }
    return cell;
}

bool copyArray(const Family& family, int32_t id, const ArrayInfo* from, ArrayInfo* to) {
    if (from->count == 0) {
        return true;
    }
    if (from->items == nullptr) {
        return false;
    }
    to->items = static_cast<void**>(calloc(from->count, sizeof(void*)));
    if (to->items == nullptr) {
        return false;
    }
    to->count = from->count;
    for (uint32_t i = 0; i < from->count; ++i) {
        to->items[i] = from->items[i] ? copyItem(family, id, from->items[i]) : nullptr;
        if (to->items[i] == nullptr) {
            return false;
        }
        to->filled = i + 1;
    }
    return true;
}

// The element's bytes where they lie when the stream reads a buffer (the
// decoder's own streams always do), so that an element is not copied before
// its record is decoded; otherwise read into `copy`.
const uint8_t* elementBytes(pb_istream_t* stream, std::vector<uint8_t>& copy) {
    static const auto kBufferRead = pb_istream_from_buffer(nullptr, 0).callback;
    size_t length = stream->bytes_left;
    if (stream->callback == kBufferRead) {
        const auto* bytes = static_cast<const uint8_t*>(stream->state);
        return pb_read(stream, nullptr, length) ? bytes : nullptr;
    }
    copy.resize(length);
    return pb_read(stream, copy.data(), length) ? copy.data() : nullptr;
}

// One field of a nanopb structure, named as nanopb's iterator names them.
struct Field {
    void* pData;
    bool* pSize;  // the has_ flag of a static field
    size_t data_size;
    bool callback;
};

// Visits every field of a nanopb structure as (field, field ID, flags);
// stops at the first visit that answers false.
template <class Visit>
bool forEachField(const Family& family, const void* structure, Visit visit) {
    auto* base = static_cast<char*>(const_cast<void*>(structure));
    for (int32_t index = 0; index < family.fieldCount; ++index) {
        const FieldLayout& layout = family.layout[index];
        Field field{base + layout.data,
                    layout.presence >= 0 ? reinterpret_cast<bool*>(base + layout.presence) : nullptr, layout.size,
                    layout.callback};
        int32_t id = family.idOf(static_cast<pb_size_t>(index));
        if (!visit(field, id, family.typesByID[id])) {
            return false;
        }
    }
    return true;
}

// Sizes of repeated elements, in the order the encoder meets them. nanopb
// writes a sub-message by encoding it once to learn its length and once more
// to write it, at every level, so an element three levels down would be
// encoded eight times in a two-pass encoding. The sizing pass logs each
// element's size before its children's (its slot is taken first) and the
// writing pass, meeting the elements in the same order, takes them back: every
// element is encoded once per pass.
struct SizeLog {
    std::vector<uint32_t> sizes;
    size_t next = 0;
    bool writing = false;
};
thread_local SizeLog* tSizeLog = nullptr;

bool encodeElement(const Family& family, pb_ostream_t* stream, const pb_field_t* field, const void* structure) {
    SizeLog* log = tSizeLog;
    if (log != nullptr && stream->callback != nullptr) {
        log->writing = true;
    }
    if (log == nullptr || (log->writing && stream->callback == nullptr)) {
        // Not inside our own encoding, or nanopb sizing a singular
        // sub-message while writing: the plain way.
        return pb_encode_tag_for_field(stream, field) && pb_encode_submessage(stream, family.descriptor, structure);
    }
    if (stream->callback == nullptr) {
        size_t slot = log->sizes.size();
        log->sizes.push_back(0);
        pb_ostream_t sizing = PB_OSTREAM_SIZING;
        if (!pb_encode(&sizing, family.descriptor, structure) || sizing.bytes_written > UINT32_MAX) {
            return false;
        }
        log->sizes[slot] = static_cast<uint32_t>(sizing.bytes_written);
        return pb_encode_tag_for_field(stream, field) && pb_encode_varint(stream, sizing.bytes_written) &&
               pb_write(stream, nullptr, sizing.bytes_written);
    }
    if (log->next >= log->sizes.size()) {
        return false;
    }
    uint32_t size = log->sizes[log->next++];
    if (!pb_encode_tag_for_field(stream, field) || !pb_encode_varint(stream, size)) {
        return false;
    }
    size_t before = stream->bytes_written;
    return pb_encode(stream, family.descriptor, structure) && stream->bytes_written - before == size;
}

}  // namespace

bool initRecord(const Family& family, MessageInfo* info) {
    if (info == nullptr) {
        return false;
    }
    info->messageName = family.name;
    info->fieldTypes = family.typesByID;
    info->messageFields = static_cast<void**>(calloc(family.fieldCount, sizeof(void*)));
    if (info->messageFields == nullptr) {
        return false;
    }
    for (int32_t id = 0; id < family.fieldCount; ++id) {
        if (isRepeated(family.typesByID[id])) {
            info->messageFields[id] = calloc(1, sizeof(ArrayInfo));
            if (info->messageFields[id] == nullptr) {
                return false;
            }
        }
    }
    return true;
}

bool freeField(const Family& family, MessageInfo* info, int32_t id) {
    if (info == nullptr) {
        return false;
    }
    if (id < 0 || id >= family.fieldCount || info->messageFields == nullptr) {
        print("<ERROR> %s: Cannot deallocate field %d: Unknown field", family.name, id);
        return false;
    }
    void*& slot = info->messageFields[id];
    if (isRepeated(family.typesByID[id])) {
        auto* array = static_cast<ArrayInfo*>(slot);
        if (array != nullptr) {
            for (uint32_t i = 0; array->items != nullptr && i < array->count; ++i) {
                if (array->items[i] != nullptr) {
                    freeItem(family, id, array->items[i]);
                }
            }
            nano_init_array_info(array);
        }
    } else if (slot != nullptr) {
        freeItem(family, id, slot);
        slot = nullptr;
    }
    return true;
}

bool freeRecord(const Family& family, MessageInfo* info) {
    if (info == nullptr) {
        return false;
    }
    if (info->messageFields != nullptr) {
        for (int32_t id = 0; id < family.fieldCount; ++id) {
            if (!freeField(family, info, id)) {
                return false;
            }
        }
        for (int32_t id = 0; id < family.fieldCount; ++id) {
            if (isRepeated(family.typesByID[id])) {
                free(info->messageFields[id]);
            }
        }
        free(info->messageFields);
    }
    free(info);
    return true;
}

bool copyRecord(const Family& family, MessageInfo** destination, const MessageInfo* source) {
    if (destination == nullptr || source == nullptr || source->messageFields == nullptr) {
        return false;
    }
    if (*destination != nullptr) {
        freeRecord(family, *destination);
    }
    *destination = newRecord(family);
    if (*destination == nullptr) {
        return false;
    }
    void** to = (*destination)->messageFields;
    for (int32_t id = 0; id < family.fieldCount; ++id) {
        const void* from = source->messageFields[id];
        if (from == nullptr) {
            continue;
        }
        if (isRepeated(family.typesByID[id])) {
            if (!copyArray(family, id, static_cast<const ArrayInfo*>(from), static_cast<ArrayInfo*>(to[id]))) {
                return false;
            }
        } else if ((to[id] = copyItem(family, id, from)) == nullptr) {
            return false;
        }
    }
    return true;
}

bool allocArrays(const Family& family, MessageInfo* info) {
    if (info == nullptr) {
        return false;
    }
    for (int32_t id = 0; id < family.fieldCount; ++id) {
        uint32_t type = family.typesByID[id];
        void* slot = info->messageFields[id];
        if (isRepeated(type)) {
            auto* array = static_cast<ArrayInfo*>(slot);
            if (array == nullptr) {
                print("<ERROR> Cannot allocate %s arrays. Missing params field (%s)", family.name,
                      family.fieldName(id));
                return false;
            }
            free(array->items);
            array->items = nullptr;
            if (array->count > 0) {
                array->items = static_cast<void**>(calloc(array->count, sizeof(void*)));
                if (array->items == nullptr) {
                    return false;
                }
            }
            array->filled = 0;
        } else if ((type & NANO_TYPE_MESSAGE) && slot != nullptr && family.subOf(id)->twoPass) {
            if (!allocArrays(*family.subOf(id), static_cast<MessageInfo*>(slot))) {
                return false;
            }
        }
    }
    return true;
}

bool setDecoders(const Family& family, MessageInfo* info, void* structure) {
    if (info == nullptr || structure == nullptr) {
        return false;
    }
    return forEachField(family, structure, [&](const Field& it, int32_t id, uint32_t type) {
        void** slot = &info->messageFields[id];
        if (it.callback) {
            // A decode replaces what the record held; an array record must
            // also start empty for the counting pass to count.
            freeField(family, info, id);
            auto* callback = static_cast<pb_callback_t*>(it.pData);
            if (!isRepeated(type)) {
                callback->funcs.decode = nano_decode_string;
                callback->arg = slot;
            } else if (*slot == nullptr) {
                return false;
            } else {
                callback->funcs.decode = (type & NANO_TYPE_MESSAGE)  ? family.subOf(id)->decodeRepeated
                                         : (type & NANO_TYPE_STRING) ? nano_decode_repeated_string
                                                                     : nano_decode_repeated_uint64;
                callback->arg = *slot;
            }
        } else if (type & NANO_TYPE_MESSAGE) {
            // A singular sub-message lies inside the structure: its record is
            // made now so that its own fields can be decoded into it.
            const Family& sub = *family.subOf(id);
            freeField(family, info, id);
            auto* record = newRecord(sub);
            if (record == nullptr) {
                return false;
            }
            *slot = record;
            return setDecoders(sub, record, it.pData);
        }
        return true;
    });
}

bool populate(const Family& family, const void* structure, MessageInfo* info) {
    if (info == nullptr || structure == nullptr) {
        return false;
    }
    return forEachField(family, structure, [&](const Field& it, int32_t id, uint32_t type) {
        if (it.callback) {
            return true;
        }
        void** slot = &info->messageFields[id];
        bool present = *static_cast<const bool*>(it.pSize);
        if (type & NANO_TYPE_MESSAGE) {
            if (!present) {
                return freeField(family, info, id);
            }
            return populate(*family.subOf(id), it.pData, static_cast<MessageInfo*>(*slot));
        }
        if (present) {
            // The cell holds the value in its own width at offset 0, as the
            // structure does.
            if (*slot == nullptr && (*slot = calloc(1, 8)) == nullptr) {
                return false;
            }
            memcpy(*slot, it.pData, it.data_size);
        }
        return true;
    });
}

bool decode(const Family& family, const uint8_t* bytes, size_t length, MessageInfo* info) {
    if (info == nullptr) {
        print("<ERROR> %s decoder failed: message_info is NULL", family.name);
        return false;
    }
    AnyStructure structure;
    memset(&structure, 0, family.structureSize);
    if (!setDecoders(family, info, &structure)) {
        print("<ERROR> %s decoder failed: Unable to set decoders", family.name);
        return false;
    }
    pb_istream_t first = pb_istream_from_buffer(bytes, length);
    if (!pb_decode(&first, family.descriptor, &structure)) {
        print("<ERROR> %s decoder failed: %s", family.name, PB_GET_ERROR(&first));
        return false;
    }
    if (family.twoPass) {
        if (!allocArrays(family, info)) {
            print("<ERROR> %s decoder failed: Unable to allocate arrays", family.name);
            return false;
        }
        pb_istream_t second = pb_istream_from_buffer(bytes, length);
        if (!pb_decode(&second, family.descriptor, &structure)) {
            print("<ERROR> %s decoder failed: %s", family.name, PB_GET_ERROR(&second));
            return false;
        }
    }
    return populate(family, &structure, info);
}

bool decodeRepeated(const Family& family, pb_istream_t* stream, void** arg) {
    auto* array = arg ? static_cast<ArrayInfo*>(*arg) : nullptr;
    if (array == nullptr) {
        print("<ERROR> %s decoder failed: Invalid arg parameter", family.name);
        return false;
    }
    if (array->items == nullptr) {
        // Counting pass: an element costs at least its tag and length on the
        // wire, so the count never runs ahead of the bytes.
        if (array->count == UINT32_MAX || !pb_read(stream, nullptr, stream->bytes_left)) {
            print("<ERROR> %s decoder failed: %s", family.name, PB_GET_ERROR(stream));
            return false;
        }
        array->count++;
        return true;
    }
    if (array->filled >= array->count) {
        print("<ERROR> %s decoder failed: Invalid arg parameter", family.name);
        return false;
    }
    std::vector<uint8_t> copy;
    size_t length = stream->bytes_left;
    const uint8_t* bytes = elementBytes(stream, copy);
    if (bytes == nullptr) {
        print("<ERROR> %s decoder failed: Unable to extract buffer from stream", family.name);
        return false;
    }
    MessageInfo* element = newRecord(family);
    if (element == nullptr) {
        print("<ERROR> %s decoder failed: Unable to initialize MessageInfo", family.name);
        return false;
    }
    if (!decode(family, bytes, length, element)) {
        freeRecord(family, element);
        print("<ERROR> %s decoder failed: Unable to decode repeated %s", family.name, family.name);
        return false;
    }
    array->items[array->filled++] = element;
    return true;
}

bool setEncoders(const Family& family, const MessageInfo* info, void* structure) {
    if (info == nullptr || structure == nullptr || info->messageFields == nullptr) {
        return false;
    }
    return forEachField(family, structure, [&](const Field& it, int32_t id, uint32_t type) {
        void* slot = info->messageFields[id];
        if (isRepeated(type)) {
            auto* array = static_cast<ArrayInfo*>(slot);
            if (array == nullptr) {
                print("<ERROR> %s Encoder: '%s' should have been allocated", family.name, family.fieldName(id));
                return false;
            }
            if (array->count > 0) {
                auto* callback = static_cast<pb_callback_t*>(it.pData);
                callback->funcs.encode = (type & NANO_TYPE_MESSAGE) ? family.subOf(id)->encodeRepeated
                                         : (type & NANO_TYPE_STRING) ? nano_encode_repeated_string
                                                                     : nano_encode_repeated_uint64;
                callback->arg = array;
            }
            return true;
        }
        if (slot == nullptr) {
            return true;
        }
        if (type & NANO_TYPE_STRING) {
            auto* callback = static_cast<pb_callback_t*>(it.pData);
            callback->funcs.encode = nano_encode_string;
            callback->arg = slot;
            return true;
        }
        *static_cast<bool*>(it.pSize) = true;
        if (type & NANO_TYPE_MESSAGE) {
            return setEncoders(*family.subOf(id), static_cast<const MessageInfo*>(slot), it.pData);
        }
        memcpy(it.pData, slot, it.data_size);
        return true;
    });
}

uint32_t encode(const Family& family, const MessageInfo* info, uint8_t** buffer) {
    if (buffer == nullptr) {
        return NANO_ENCODE_FAILURE;
    }
    *buffer = nullptr;
    AnyStructure structure;
    memset(&structure, 0, family.structureSize);
    if (!setEncoders(family, info, &structure)) {
        return NANO_ENCODE_FAILURE;
    }
    SizeLog log;
    SizeLog* outer = std::exchange(tSizeLog, &log);
    uint32_t size = nano_two_pass_encoding(family.descriptor, &structure, buffer);
    tSizeLog = outer;
    return size;
}

bool encodeRepeated(const Family& family, pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* array = arg ? static_cast<const ArrayInfo*>(*arg) : nullptr;
    if (array == nullptr) {
        return false;
    }
    if (array->count > 0 && array->items == nullptr) {
        return false;
    }
    AnyStructure structure;
    for (uint32_t i = 0; i < array->count; ++i) {
        memset(&structure, 0, family.structureSize);
        if (!setEncoders(family, static_cast<const MessageInfo*>(array->items[i]), &structure) ||
            !encodeElement(family, stream, field, &structure)) {
            return false;
        }
    }
    return true;
}

// Every record is checked before any is touched, and the empty records that
// take their places are made first, so a refusal changes nothing.
bool moveIntoArray(const Family& family, MessageInfo* info, int32_t id, MessageInfo* const* records, size_t count) {
    if (info == nullptr || info->messageFields == nullptr || id < 0 || id >= family.fieldCount ||
        !isRepeated(family.typesByID[id]) || !(family.typesByID[id] & NANO_TYPE_MESSAGE) ||
        info->messageFields[id] == nullptr || count > UINT32_MAX) {
        return false;
    }
    const Family& sub = *family.subOf(id);
    for (size_t i = 0; i < count; ++i) {
        if (records[i] == nullptr || records[i] == info || records[i]->messageFields == nullptr ||
            records[i]->messageName != sub.name) {
            return false;
        }
    }
    std::vector<MessageInfo*> moved(count, nullptr);
    auto* items = count > 0 ? static_cast<void**>(calloc(count, sizeof(void*))) : nullptr;
    bool made = count == 0 || items != nullptr;
    for (size_t i = 0; made && i < count; ++i) {
        made = (moved[i] = newRecord(sub)) != nullptr;
    }
    if (!made) {
        for (MessageInfo* record : moved) {
            if (record != nullptr) {
                freeRecord(sub, record);
            }
        }
        free(items);
        return false;
    }
    freeField(family, info, id);
    for (size_t i = 0; i < count; ++i) {
        std::swap(*moved[i], *records[i]);
        items[i] = moved[i];
    }
    auto* array = static_cast<ArrayInfo*>(info->messageFields[id]);
    array->items = items;
    array->count = array->filled = static_cast<uint32_t>(count);
    return true;
}

}  // namespace qrvapb
