#pragma once
// Message wrappers and the typed field accessors over them.
//
// Every message type has a wrapper class implementing `NANOMessageBase`: an
// object that owns one `MessageInfo` record (core/nano/nano_pb.h) and knows
// the message's init, free-field and copy functions. Callers read and write
// fields by field ID through the NANO* functions below; a wrong-kind access
// prints a "<Nano/Failure>" line to standard output and changes nothing.
//
// Values crossing this API: strings are std::string (UTF-8); arrays are
// ns::Array whose elements are ns::Value numbers (bool fields as booleans),
// strings, or objects holding the element wrapper (a NANOMessageBase).
//
// Threads: a message is not locked; use each message from one thread or
// queue at a time.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/nano/nano_pb.h"
#include "platform/value.h"

// Initialises a zeroed record: name, flag table, slot array, empty array
// records for the repeated fields.
using NANOInitMessageInfoFn = bool (*)(MessageInfo* info);
// Frees one field of a record so that it reads as absent (a repeated field is
// emptied, its array record stays).
using NANODeallocMessageFieldFn = bool (*)(MessageInfo* info, int32_t fieldID);
// Frees what *destination holds, makes a fresh record there and deep-copies
// `source` into it.
using NANOCopyMessageInfoFn = bool (*)(MessageInfo** destination, const MessageInfo* source);

// The operations every wrapper provides. Construction (from a record or from
// encoded bytes) is a static factory of the concrete class, reachable by
// name through `NANOMessageClass`.
class NANOMessageBase : public ns::Object {
public:
    // The message name, the same pointer the record carries.
    virtual const char* messageID() const = 0;
    // The encoded message; nullopt when there is no record or encoding fails.
    virtual std::optional<ns::Data> protoBuffer() const = 0;
    virtual NANOInitMessageInfoFn initMessageInfoFn() const = 0;
    virtual NANODeallocMessageFieldFn deallocMessageFieldFn() const = 0;
    virtual NANOCopyMessageInfoFn copyMessageInfoFn() const = 0;
    // The owned record, changed in place by the setters; null for a wrapper
    // whose initialisation failed.
    virtual MessageInfo* messageInfo() const = 0;
};
using NANOMessagePtr = std::shared_ptr<NANOMessageBase>;

// A wrapper class as the getters see it: its name and, when it has one, the
// factory that makes a wrapper over a deep copy of a record (null record ->
// new empty message; nullptr result = nil).
struct NANOMessageClass {
    using Factory = std::function<NANOMessagePtr(const MessageInfo* info)>;

    std::string name;
    Factory initWithMessageInfo;

    // The class of a wrapper type T with a static
    // `std::shared_ptr<T> initWithMessageInfo(const MessageInfo*)`.
    template <class T>
    static NANOMessageClass of(std::string name) {
        return {std::move(name), [](const MessageInfo* info) -> NANOMessagePtr { return T::initWithMessageInfo(info); }};
    }
};

// The per-message functions a generated or hand-written message family
// provides; one constant table per message type.
struct NANOMessageFunctions {
    const char* className;    // e.g. "QRVAPBEvent"
    const char* messageName;  // the pointer init stores in the record
    NANOInitMessageInfoFn init;
    NANODeallocMessageFieldFn freeField;
    NANOCopyMessageInfoFn copy;
    // Frees every field and the record itself.
    bool (*free)(MessageInfo* info);
    // Decodes a whole message into an initialised record.
    bool (*decode)(const uint8_t* bytes, size_t length, MessageInfo* info);
    // Encodes into a new malloc'ed buffer; the size or NANO_ENCODE_FAILURE.
    uint32_t (*encode)(const MessageInfo* info, uint8_t** buffer);
};

// The common wrapper behaviour over a function table; concrete wrappers derive
// from it, pass their table and add static factories:
//
//     class QRVAPBSetting : public NANOMessageObject {
//     public:
//         QRVAPBSetting() : NANOMessageObject(kSettingFunctions) {}
//         static std::shared_ptr<QRVAPBSetting> initWithMessageInfo(const MessageInfo* info) {
//             return create<QRVAPBSetting>(info);
//         }
//         static std::shared_ptr<QRVAPBSetting> initWithBuffer(std::span<const uint8_t> bytes) {
//             return createFromBuffer<QRVAPBSetting>(bytes);
//         }
//     };
class NANOMessageObject : public NANOMessageBase {
public:
    explicit NANOMessageObject(const NANOMessageFunctions& functions) : functions_(functions) {}
    ~NANOMessageObject() override;
    NANOMessageObject(const NANOMessageObject&) = delete;
    NANOMessageObject& operator=(const NANOMessageObject&) = delete;

    const char* messageID() const override { return functions_.messageName; }
    std::optional<ns::Data> protoBuffer() const override;
    NANOInitMessageInfoFn initMessageInfoFn() const override { return functions_.init; }
    NANODeallocMessageFieldFn deallocMessageFieldFn() const override { return functions_.freeField; }
    NANOCopyMessageInfoFn copyMessageInfoFn() const override { return functions_.copy; }
    MessageInfo* messageInfo() const override { return info_; }
    std::string className() const override { return functions_.className; }

    // A new wrapper: an empty message for a null record, else a deep copy of a
    // record of this message type; nullptr for a record of another message or
    // when initialisation or the copy fails.
    template <class T>
    static std::shared_ptr<T> create(const MessageInfo* info) {
        auto object = std::make_shared<T>();
        return object->adopt(info) ? object : nullptr;
    }
    // A new wrapper over the decoded bytes; nullptr when they do not decode.
    template <class T>
    static std::shared_ptr<T> createFromBuffer(std::span<const uint8_t> bytes) {
        auto object = std::make_shared<T>();
        return object->adoptDecoded(bytes) ? object : nullptr;
    }

protected:
    // -initWithMessageInfo: and -initWithBuffer: on this (fresh) object.
    bool adopt(const MessageInfo* info);
    bool adoptDecoded(std::span<const uint8_t> bytes);

private:
    // A zeroed, initialised record owned by the caller, or null.
    MessageInfo* newRecord() const;
    void release(MessageInfo*& info) const;

    const NANOMessageFunctions& functions_;
    MessageInfo* info_ = nullptr;
};

// Any form a message argument comes in: raw pointer, reference or shared
// pointer to a wrapper. Null is accepted and treated as a wrapper without a
// record.
class NANOMessageRef {
public:
    NANOMessageRef(std::nullptr_t) {}
    NANOMessageRef(const NANOMessageBase* message) : message_(message) {}
    NANOMessageRef(const NANOMessageBase& message) : message_(&message) {}
    template <class T, class = std::enable_if_t<std::is_base_of_v<NANOMessageBase, T>>>
    NANOMessageRef(const std::shared_ptr<T>& message) : message_(message.get()) {}

    const NANOMessageBase* get() const { return message_; }
    MessageInfo* info() const { return message_ ? message_->messageInfo() : nullptr; }
    // For printed lines: "(null)" without a wrapper or name.
    const char* name() const;

private:
    const NANOMessageBase* message_ = nullptr;
};

// YES for any repeated field, else whether the field is set. A wrapper
// without a record gives NO and prints a line.
bool NANOHasField(NANOMessageRef message, int32_t fieldID);
// Frees the field through the message's free-field function.
void NANOClearField(NANOMessageRef message, int32_t fieldID);

// Scalars: 0 / false when unset or on a kind mismatch (which prints a line).
// NANOGetInt32 and NANOSetInt32 accept both the int32 and uint32 kinds.
bool NANOGetBool(NANOMessageRef message, int32_t fieldID);
int32_t NANOGetInt32(NANOMessageRef message, int32_t fieldID);
int64_t NANOGetInt64(NANOMessageRef message, int32_t fieldID);
double NANOGetDouble(NANOMessageRef message, int32_t fieldID);
void NANOSetBool(NANOMessageRef message, int32_t fieldID, bool value);
void NANOSetInt32(NANOMessageRef message, int32_t fieldID, int32_t value);
void NANOSetInt64(NANOMessageRef message, int32_t fieldID, int64_t value);
void NANOSetDouble(NANOMessageRef message, int32_t fieldID, double value);

// The field's bytes as a string; nullopt when unset, on a kind mismatch, or
// when the bytes are not valid UTF-8.
std::optional<std::string> NANOGetString(NANOMessageRef message, int32_t fieldID);
// Stores the string's bytes; a null C string clears the field.
void NANOSetString(NANOMessageRef message, int32_t fieldID, std::string_view string);
void NANOSetString(NANOMessageRef message, int32_t fieldID, const char* string);
void NANOSetBytes(NANOMessageRef message, int32_t fieldID, std::span<const uint8_t> bytes);

// A new wrapper of `messageClass` over a deep copy of the sub-message;
// nullptr when unset, on a kind mismatch, or when the class has no factory.
NANOMessagePtr NANOGetMessage(NANOMessageRef message, int32_t fieldID, const NANOMessageClass& messageClass);
// Replaces the sub-message with a deep copy of `value`'s record; a null
// `value` clears the field.
void NANOSetMessage(NANOMessageRef message, int32_t fieldID, NANOMessageRef value);

// The elements of a repeated field (see the top of this file for their
// forms; sub-messages become wrappers of `elementClass`). Empty when the field
// has no items; nullopt for a singular field or when elements cannot be made.
std::optional<ns::Array> NANOGetArray(NANOMessageRef message, int32_t fieldID,
                                      const NANOMessageClass* elementClass = nullptr);
// Makes the repeated field hold copies of `array`'s elements in order. Every
// element must fit the field (numbers or booleans for scalars, strings or data
// for strings, wrapper objects for sub-messages); otherwise the field is left
// unchanged and a line is printed.
void NANOSetArray(NANOMessageRef message, int32_t fieldID, const ns::Array& array);
