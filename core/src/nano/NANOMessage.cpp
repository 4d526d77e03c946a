#include "core/nano/NANOMessage.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "nano_console.h"
#include "platform/utf8.h"

using nano_detail::console;
using nano_detail::consolef;

// ---------------------------------------------------------------------------
// Wrapper base

NANOMessageObject::~NANOMessageObject() {
    if (info_ != nullptr) {
        release(info_);
    }
}

MessageInfo* NANOMessageObject::newRecord() const {
    if (functions_.init == nullptr) {
        return nullptr;
    }
    auto* info = static_cast<MessageInfo*>(calloc(1, sizeof(MessageInfo)));
    if (info == nullptr) {
        return nullptr;
    }
    if (!functions_.init(info)) {
        free(info);
        return nullptr;
    }
    return info;
}

void NANOMessageObject::release(MessageInfo*& info) const {
    if (functions_.free != nullptr) {
        functions_.free(info);
    }
    info = nullptr;
}

bool NANOMessageObject::adopt(const MessageInfo* source) {
    if (info_ != nullptr) {
        release(info_);
    }
    if (source != nullptr && source->messageName != functions_.messageName) {
        return false;
    }
    MessageInfo* info = newRecord();
    if (info == nullptr) {
        return false;
    }
    if (source != nullptr) {
        if (functions_.copy == nullptr || !functions_.copy(&info, source)) {
            if (info != nullptr) {
                release(info);
            }
            return false;
        }
        if (info == nullptr) {
            return false;
        }
    }
    info_ = info;
    return true;
}

bool NANOMessageObject::adoptDecoded(std::span<const uint8_t> bytes) {
    if (functions_.decode == nullptr) {
        return false;
    }
    MessageInfo* decoded = newRecord();
    if (decoded == nullptr) {
        return false;
    }
    // Empty data still hands the decoder a valid address.
    static const uint8_t kNoBytes = 0;
    const uint8_t* data = bytes.empty() ? &kNoBytes : bytes.data();
    if (!functions_.decode(data, bytes.size(), decoded)) {
        release(decoded);
        return false;
    }
    // The decoded record is fresh and nobody else's: owning it is what a deep
    // copy followed by freeing it would leave, without copying every field.
    if (info_ != nullptr) {
        release(info_);
    }
    info_ = decoded;
    return true;
}

std::optional<ns::Data> NANOMessageObject::protoBuffer() const {
    if (info_ == nullptr || functions_.encode == nullptr) {
        return std::nullopt;
    }
    uint8_t* buffer = nullptr;
    uint32_t size = functions_.encode(info_, &buffer);
    if (size == NANO_ENCODE_FAILURE || buffer == nullptr) {
        free(buffer);
        return std::nullopt;
    }
    ns::Data data(buffer, buffer + size);
    free(buffer);
    return data;
}

const char* NANOMessageRef::name() const {
    const char* id = message_ ? message_->messageID() : nullptr;
    return id ? id : "(null)";
}

// ---------------------------------------------------------------------------
// Accessors

namespace {

// The record of a message, or null after printing why an operation cannot
// run on it.
MessageInfo* recordFor(NANOMessageRef message, const char* operation) {
    MessageInfo* info = message.info();
    if (info == nullptr || info->messageFields == nullptr || info->fieldTypes == nullptr) {
        consolef("ProtocolBuffer message hasn't been initialized. %s operation can't be performed. Message name %s",
                 operation, message.name());
        return nullptr;
    }
    return info;
}

void failure(const char* expected, const MessageInfo* info, int32_t fieldID) {
    consolef("<Nano/Failure> Field type isn't %s. Message: %s, field ID: %d", expected,
             info->messageName ? info->messageName : "(null)", fieldID);
}

bool validFieldID(const MessageInfo* info, int32_t fieldID) {
    if (fieldID < 0) {
        consolef("<Nano/Failure> Invalid field ID. Message: %s, field ID: %d",
                 info->messageName ? info->messageName : "(null)", fieldID);
        return false;
    }
    return true;
}

bool isSingular(uint32_t flags, uint32_t kinds) {
    return (flags & NANO_LABEL_OPTIONAL) != 0 && (flags & NANO_LABEL_REPEATED) == 0 && (flags & kinds) != 0;
}

bool isRepeated(uint32_t flags) {
    return (flags & NANO_LABEL_REPEATED) != 0;
}

// The record when the field is a singular field of one of `kinds`; else null
// after printing the matching line.
MessageInfo* singularField(NANOMessageRef message, int32_t fieldID, uint32_t kinds, const char* expected,
                           const char* operation) {
    MessageInfo* info = recordFor(message, operation);
    if (info == nullptr || !validFieldID(info, fieldID)) {
        return nullptr;
    }
    if (!isSingular(info->fieldTypes[fieldID], kinds)) {
        failure(expected, info, fieldID);
        return nullptr;
    }
    return info;
}

template <class T>
T readCell(const void* cell) {
    T value{};
    if (cell != nullptr) {
        memcpy(&value, cell, sizeof(T));
    }
    return value;
}

bool freeField(NANOMessageRef message, MessageInfo* info, int32_t fieldID) {
    NANODeallocMessageFieldFn dealloc = message.get()->deallocMessageFieldFn();
    if (dealloc == nullptr) {
        consolef("<ERROR> %s: no function to deallocate field %d", message.name(), fieldID);
        return false;
    }
    return dealloc(info, fieldID);
}

std::optional<std::string> stringFromRecord(const StringInfo* string) {
    if (string == nullptr || string->data == nullptr) {
        return std::nullopt;
    }
    if (!ns::utf8::isValid(reinterpret_cast<const uint8_t*>(string->data), string->length)) {
        return std::nullopt;
    }
    return std::string(string->data, string->length);
}

// Numbers as NSNumber converts them: booleans are 0/1, doubles truncate and
// saturate, negative integers wrap into unsigned kinds.
int64_t toInt64(const ns::Value& v) {
    switch (v.type()) {
    case ns::Value::Type::Bool: return v.asBool() ? 1 : 0;
    case ns::Value::Type::Int: return v.asInt();
    case ns::Value::Type::UInt: return static_cast<int64_t>(v.asUInt());
    case ns::Value::Type::Double: {
        double d = v.asDouble();
        if (std::isnan(d)) return 0;
        if (d >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
        if (d < -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
        return static_cast<int64_t>(d);
    }
    default: return 0;
    }
}

uint64_t toUInt64(const ns::Value& v) {
    if (v.type() == ns::Value::Type::UInt) {
        return v.asUInt();
    }
    if (v.type() == ns::Value::Type::Double) {
        double d = v.asDouble();
        if (std::isnan(d)) return 0;
        if (d < 0) return static_cast<uint64_t>(toInt64(v));
        if (d >= 18446744073709551616.0) return std::numeric_limits<uint64_t>::max();
        return static_cast<uint64_t>(d);
    }
    return static_cast<uint64_t>(toInt64(v));
}

double toDouble(const ns::Value& v) {
    return v.isBool() ? (v.asBool() ? 1.0 : 0.0) : v.asDouble();
}

uint32_t kindOf(uint32_t flags) {
    return flags & (NANO_TYPE_SCALAR_MASK | NANO_TYPE_STRING | NANO_TYPE_MESSAGE);
}

// Whether an array element can become an item of a field of `kind`.
bool fits(const ns::Value& v, uint32_t kind) {
    if (kind & NANO_TYPE_SCALAR_MASK) {
        return v.isNumber() || v.isBool();
    }
    if (kind == NANO_TYPE_STRING) {
        return v.isString() || v.isData();
    }
    if (kind == NANO_TYPE_MESSAGE) {
        auto wrapper = v.asObjectOf<NANOMessageBase>();
        return wrapper && wrapper->messageInfo() && wrapper->initMessageInfoFn() && wrapper->copyMessageInfoFn();
    }
    return false;
}

// A freshly allocated item for an element that `fits`; null on failure. A
// sub-message copy that fails half-way is still returned through `partial`
// so that the field's free function can release it.
void* makeItem(const ns::Value& v, uint32_t kind, void** partial) {
    void* item = nullptr;
    switch (kind) {
    case NANO_TYPE_BOOL: nano_set_bool(&item, v.boolValue()); break;
    case NANO_TYPE_UINT32:
    case NANO_TYPE_INT32: nano_set_uint32(&item, static_cast<uint32_t>(toInt64(v))); break;
    case NANO_TYPE_INT64: nano_set_uint64(&item, static_cast<uint64_t>(toInt64(v))); break;
    case NANO_TYPE_UINT64: nano_set_uint64(&item, toUInt64(v)); break;
    case NANO_TYPE_FLOAT: nano_set_float(&item, static_cast<float>(toDouble(v))); break;
    case NANO_TYPE_DOUBLE: nano_set_double(&item, toDouble(v)); break;
    case NANO_TYPE_STRING:
        if (v.isString()) {
            nano_set_string(&item, v.asString().data(), v.asString().size());
        } else {
            nano_set_string(&item, v.asData().data(), v.asData().size());
        }
        break;
    case NANO_TYPE_MESSAGE: {
        auto wrapper = v.asObjectOf<NANOMessageBase>();
        auto* record = static_cast<MessageInfo*>(calloc(1, sizeof(MessageInfo)));
        if (record == nullptr) {
            return nullptr;
        }
        if (!wrapper->initMessageInfoFn()(record)) {
            free(record);
            return nullptr;
        }
        if (!wrapper->copyMessageInfoFn()(&record, wrapper->messageInfo())) {
            *partial = record;
            return nullptr;
        }
        item = record;
        break;
    }
    default: break;
    }
    return item;
}

ns::Value elementValue(const void* item, uint32_t kind) {
    switch (kind) {
    case NANO_TYPE_BOOL: return readCell<bool>(item);
    case NANO_TYPE_UINT32: return readCell<uint32_t>(item);
    case NANO_TYPE_INT32: return readCell<int32_t>(item);
    case NANO_TYPE_INT64: return static_cast<long long>(readCell<int64_t>(item));
    case NANO_TYPE_UINT64: return static_cast<unsigned long long>(readCell<uint64_t>(item));
    case NANO_TYPE_FLOAT: return readCell<float>(item);
    case NANO_TYPE_DOUBLE: return readCell<double>(item);
    case NANO_TYPE_STRING: {
        const auto* string = static_cast<const StringInfo*>(item);
        if (auto text = stringFromRecord(string)) {
            return *text;
        }
        // Bytes that are not text stay bytes rather than being dropped.
        const auto* bytes = reinterpret_cast<const uint8_t*>(string->data);
        return ns::Data(bytes, bytes + string->length);
    }
    default: return ns::Value();
    }
}

}  // namespace

bool NANOHasField(NANOMessageRef message, int32_t fieldID) {
    MessageInfo* info = recordFor(message, "HasField");
    if (info == nullptr || !validFieldID(info, fieldID)) {
        return false;
    }
    if (isRepeated(info->fieldTypes[fieldID])) {
        return true;
    }
    return info->messageFields[fieldID] != nullptr;
}

void NANOClearField(NANOMessageRef message, int32_t fieldID) {
    MessageInfo* info = recordFor(message, "ClearField");
    if (info == nullptr || !validFieldID(info, fieldID)) {
        return;
    }
    freeField(message, info, fieldID);
}

bool NANOGetBool(NANOMessageRef message, int32_t fieldID) {
    MessageInfo* info = singularField(message, fieldID, NANO_TYPE_BOOL, "a scalar BOOL", "GetBool");
    return info ? readCell<bool>(info->messageFields[fieldID]) : false;
}

int32_t NANOGetInt32(NANOMessageRef message, int32_t fieldID) {
    MessageInfo* info =
        singularField(message, fieldID, NANO_TYPE_INT32 | NANO_TYPE_UINT32, "a scalar INT32", "GetInt32");
    return info ? readCell<int32_t>(info->messageFields[fieldID]) : 0;
}

int64_t NANOGetInt64(NANOMessageRef message, int32_t fieldID) {
    MessageInfo* info = singularField(message, fieldID, NANO_TYPE_INT64, "a scalar INT64", "GetInt64");
    return info ? readCell<int64_t>(info->messageFields[fieldID]) : 0;
}

double NANOGetDouble(NANOMessageRef message, int32_t fieldID) {
    MessageInfo* info = singularField(message, fieldID, NANO_TYPE_DOUBLE, "a scalar DOUBLE", "GetDouble");
    return info ? readCell<double>(info->messageFields[fieldID]) : 0.0;
}

void NANOSetBool(NANOMessageRef message, int32_t fieldID, bool value) {
    if (MessageInfo* info = singularField(message, fieldID, NANO_TYPE_BOOL, "a scalar BOOL", "SetBool")) {
        nano_set_bool(&info->messageFields[fieldID], value);
    }
}

void NANOSetInt32(NANOMessageRef message, int32_t fieldID, int32_t value) {
    if (MessageInfo* info =
            singularField(message, fieldID, NANO_TYPE_INT32 | NANO_TYPE_UINT32, "a scalar INT32", "SetInt32")) {
        nano_set_uint32(&info->messageFields[fieldID], static_cast<uint32_t>(value));
    }
}

void NANOSetInt64(NANOMessageRef message, int32_t fieldID, int64_t value) {
    if (MessageInfo* info = singularField(message, fieldID, NANO_TYPE_INT64, "a scalar INT64", "SetInt64")) {
        nano_set_uint64(&info->messageFields[fieldID], static_cast<uint64_t>(value));
    }
}

void NANOSetDouble(NANOMessageRef message, int32_t fieldID, double value) {
    if (MessageInfo* info = singularField(message, fieldID, NANO_TYPE_DOUBLE, "a scalar DOUBLE", "SetDouble")) {
        nano_set_double(&info->messageFields[fieldID], value);
    }
}

std::optional<std::string> NANOGetString(NANOMessageRef message, int32_t fieldID) {
    MessageInfo* info = singularField(message, fieldID, NANO_TYPE_STRING, "a scalar STRING", "GetString");
    if (info == nullptr) {
        return std::nullopt;
    }
    return stringFromRecord(static_cast<const StringInfo*>(info->messageFields[fieldID]));
}

void NANOSetString(NANOMessageRef message, int32_t fieldID, std::string_view string) {
    if (MessageInfo* info = singularField(message, fieldID, NANO_TYPE_STRING, "a scalar STRING", "SetString")) {
        nano_set_string(&info->messageFields[fieldID], string.data(), string.size());
    }
}

void NANOSetString(NANOMessageRef message, int32_t fieldID, const char* string) {
    if (string != nullptr) {
        NANOSetString(message, fieldID, std::string_view(string));
        return;
    }
    if (MessageInfo* info = singularField(message, fieldID, NANO_TYPE_STRING, "a scalar STRING", "SetString")) {
        freeField(message, info, fieldID);
    }
}

void NANOSetBytes(NANOMessageRef message, int32_t fieldID, std::span<const uint8_t> bytes) {
    if (MessageInfo* info = singularField(message, fieldID, NANO_TYPE_STRING, "a scalar STRING", "SetBytes")) {
        nano_set_string(&info->messageFields[fieldID], bytes.data(), bytes.size());
    }
}

NANOMessagePtr NANOGetMessage(NANOMessageRef message, int32_t fieldID, const NANOMessageClass& messageClass) {
    MessageInfo* info = singularField(message, fieldID, NANO_TYPE_MESSAGE, "a MESSAGE", "GetMessage");
    if (info == nullptr) {
        return nullptr;
    }
    if (!messageClass.initWithMessageInfo) {
        consolef("<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: %@", messageClass.name);
        return nullptr;
    }
    const auto* sub = static_cast<const MessageInfo*>(info->messageFields[fieldID]);
    if (sub == nullptr) {
        return nullptr;
    }
    return messageClass.initWithMessageInfo(sub);
}

void NANOSetMessage(NANOMessageRef message, int32_t fieldID, NANOMessageRef value) {
    MessageInfo* info = singularField(message, fieldID, NANO_TYPE_MESSAGE, "a MESSAGE", "SetMessage");
    if (info == nullptr) {
        return;
    }
    if (value.get() == nullptr) {
        freeField(message, info, fieldID);
        return;
    }
    const MessageInfo* source = recordFor(value, "SetMessage");
    if (source == nullptr) {
        return;
    }
    NANOInitMessageInfoFn init = value.get()->initMessageInfoFn();
    NANOCopyMessageInfoFn copy = value.get()->copyMessageInfoFn();
    if (init == nullptr || copy == nullptr) {
        consolef("<ERROR> %s: no function to initialize or copy the message", value.name());
        return;
    }
    if (!freeField(message, info, fieldID)) {
        return;
    }
    auto* fresh = static_cast<MessageInfo*>(calloc(1, sizeof(MessageInfo)));
    if (fresh == nullptr) {
        consolef("<ERROR> %s: Unable to allocate MessageInfo", value.name());
        return;
    }
    if (!init(fresh)) {
        free(fresh);
        consolef("<ERROR> %s: Unable to initialize MessageInfo", value.name());
        return;
    }
    // Built aside and stored last: the source may be this very message.
    bool copied = copy(&fresh, source);
    info->messageFields[fieldID] = fresh;
    if (!copied) {
        consolef("<ERROR> %s: Unable to copy MessageInfo", value.name());
        freeField(message, info, fieldID);
    }
}

std::optional<ns::Array> NANOGetArray(NANOMessageRef message, int32_t fieldID, const NANOMessageClass* elementClass) {
    MessageInfo* info = recordFor(message, "GetArray");
    if (info == nullptr || !validFieldID(info, fieldID)) {
        return std::nullopt;
    }
    uint32_t flags = info->fieldTypes[fieldID];
    if (!isRepeated(flags)) {
        failure("REPEATED", info, fieldID);
        return std::nullopt;
    }
    uint32_t kind = kindOf(flags);
    if (kind == NANO_TYPE_MESSAGE && (elementClass == nullptr || !elementClass->initWithMessageInfo)) {
        consolef("<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: %@",
                 elementClass ? elementClass->name : std::string("(null)"));
        return std::nullopt;
    }
    ns::Array result;
    const auto* array = static_cast<const ArrayInfo*>(info->messageFields[fieldID]);
    if (array == nullptr || array->items == nullptr) {
        return result;
    }
    result.reserve(array->count);
    for (uint32_t i = 0; i < array->count; ++i) {
        const void* item = array->items[i];
        if (item == nullptr) {
            continue;  // a slot a failed decode never filled
        }
        if (kind == NANO_TYPE_MESSAGE) {
            NANOMessagePtr element = elementClass->initWithMessageInfo(static_cast<const MessageInfo*>(item));
            if (!element) {
                consolef("<ERROR> Unable to make a %@ from element %u. Message: %s, field ID: %d",
                         elementClass->name, i, info->messageName ? info->messageName : "(null)", fieldID);
                return std::nullopt;
            }
            result.emplace_back(element);
        } else {
            result.push_back(elementValue(item, kind));
        }
    }
    return result;
}

void NANOSetArray(NANOMessageRef message, int32_t fieldID, const ns::Array& array) {
    MessageInfo* info = recordFor(message, "SetArray");
    if (info == nullptr || !validFieldID(info, fieldID)) {
        return;
    }
    uint32_t flags = info->fieldTypes[fieldID];
    if (!isRepeated(flags)) {
        failure("REPEATED", info, fieldID);
        return;
    }
    uint32_t kind = kindOf(flags);
    if (array.size() >= std::numeric_limits<uint32_t>::max()) {
        consolef("<Nano/Failure> Too many elements (%zu). Message: %s, field ID: %d", array.size(),
                 info->messageName ? info->messageName : "(null)", fieldID);
        return;
    }
    // Check everything before touching the field, so a bad element loses nothing.
    for (size_t i = 0; i < array.size(); ++i) {
        if (!fits(array[i], kind)) {
            consolef("<Nano/Failure> Array element %zu doesn't match the field type. Message: %s, field ID: %d", i,
                     info->messageName ? info->messageName : "(null)", fieldID);
            return;
        }
    }
    if (!freeField(message, info, fieldID)) {
        return;
    }
    auto*& slot = info->messageFields[fieldID];
    if (slot == nullptr) {
        slot = calloc(1, sizeof(ArrayInfo));
        if (slot == nullptr) {
            console("<ERROR> Unable to allocate the array. Out of memory");
            return;
        }
    }
    auto* record = static_cast<ArrayInfo*>(slot);
    nano_init_array_info(record);
    if (array.empty()) {
        return;
    }
    record->items = static_cast<void**>(calloc(array.size(), sizeof(void*)));
    if (record->items == nullptr) {
        console("<ERROR> Unable to allocate the array. Out of memory");
        return;
    }
    record->count = static_cast<uint32_t>(array.size());
    for (size_t i = 0; i < array.size(); ++i) {
        void* partial = nullptr;
        void* item = makeItem(array[i], kind, &partial);
        if (item == nullptr) {
            // Keep only what was stored, then let the message free it all.
            if (partial != nullptr) {
                record->items[record->filled++] = partial;
            }
            record->count = record->filled;
            consolef("<ERROR> Unable to store array element %zu. Message: %s, field ID: %d", i,
                     info->messageName ? info->messageName : "(null)", fieldID);
            freeField(message, info, fieldID);
            return;
        }
        record->items[record->filled++] = item;
    }
}
