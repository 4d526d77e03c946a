#pragma once
// The analytics wire messages (schema qrvanalytics, analytics/foundation/
// proto) in memory: one wrapper class per message over a `MessageInfo`
// record, and per message the `qrvapb_*` family of plain functions that
// initialise, free and deep-copy records and move them to and from the wire
// through nanopb.
//
// Code outside this layer makes, reads and writes messages only through the
// wrappers and the NANO accessors (core/nano/NANOMessage.h), addressing a
// field by its field ID: its position in the schema's declaration order
// (`QRVAPBField::<Message>::<field>` below). The family functions exist for
// the store and the codec; they print their faults on standard output as
// "<ERROR> ..." lines and answer false, null or NANO_ENCODE_FAILURE.
//
//     auto event = QRVAPBEvent::message();
//     NANOSetString(event, QRVAPBField::Event::name, "_s");
//     NANOSetInt64(event, QRVAPBField::Event::timestamp_millis, 1700000000000);
//     std::optional<ns::Data> wire = event->protoBuffer();
//     auto back = QRVAPBEvent::initWithBuffer(*wire);   // nullptr: not an Event
//
// Threads: nothing here is locked; a message belongs to one thread or queue
// at a time. The only shared data are the fixed name strings and tables.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "core/nano/NANOMessage.h"
#include "core/nano/nano_pb.h"
#include "platform/no_destructor.h"
#include "qrvanalytics.pb.h"

// Every message: its lower-case name (for the family functions) and its
// nanopb structure's name.
#define QRVAPB_MESSAGES(X)                                             \
    X(audience, Audience)                                              \
    X(audience_leaf_filter_result, AudienceLeafFilterResult)           \
    X(event, Event)                                                    \
    X(event_config, EventConfig)                                       \
    X(event_filter, EventFilter)                                       \
    X(event_param, EventParam)                                         \
    X(filter, Filter)                                                  \
    X(measurement_batch, MeasurementBatch)                             \
    X(measurement_bundle, MeasurementBundle)                           \
    X(measurement_config, MeasurementConfig)                           \
    X(number_filter, NumberFilter)                                     \
    X(property_filter, PropertyFilter)                                 \
    X(result_data, ResultData)                                         \
    X(setting, Setting)                                                \
    X(string_filter, StringFilter)                                     \
    X(user_attribute, UserAttribute)

// The family of one message. `<message>` is the lower-case name:
//   qrvapb_init_<message>             names the record, sets its flag table, makes
//                                     the slots and an empty array record per
//                                     repeated field
//   qrvapb_alloc_<message>_arrays     after a counting pass: the item arrays at
//                                     their final size (also in singular
//                                     sub-messages)
//   qrvapb_set_<message>_decoders     installs the decode callbacks in a zeroed
//                                     structure; prepares a record per singular
//                                     sub-message
//   qrvapb_populate_<message>_info    after the last pass: the present singular
//                                     scalars into their slots; absent singular
//                                     sub-messages cleared
//   qrvapb_decode_<message>           a whole message, in one pass or two
//   qrvapb_decode_repeated_<message>  nanopb callback for one element of a
//                                     repeated field of this type (arg: the
//                                     array record)
//   qrvapb_set_<message>_encoders     fills a zeroed structure from the slots
//   qrvapb_encode_<message>           into a new malloc'ed buffer, sized first;
//                                     the size or NANO_ENCODE_FAILURE
//   qrvapb_encode_repeated_<message>  nanopb callback writing every element
//   qrvapb_free_<message>_field       one field, so that it reads as absent (a
//                                     repeated field is emptied)
//   qrvapb_free_<message>             every field and the record itself
//   qrvapb_copy_<message>             frees *destination, makes a fresh record
//                                     there and deep-copies source into it
#define QRVAPB_DECLARE_FAMILY(lower, Message)                                                          \
    bool qrvapb_init_##lower(MessageInfo* info);                                                       \
    bool qrvapb_alloc_##lower##_arrays(MessageInfo* info);                                             \
    bool qrvapb_set_##lower##_decoders(MessageInfo* info, qrvanalytics_##Message* structure);          \
    bool qrvapb_populate_##lower##_info(const qrvanalytics_##Message* structure, MessageInfo* info);    \
    bool qrvapb_decode_##lower(const uint8_t* bytes, size_t length, MessageInfo* info);                \
    bool qrvapb_decode_repeated_##lower(pb_istream_t* stream, const pb_field_t* field, void** arg);    \
    bool qrvapb_set_##lower##_encoders(const MessageInfo* info, qrvanalytics_##Message* structure);    \
    uint32_t qrvapb_encode_##lower(const MessageInfo* info, uint8_t** buffer);                         \
    bool qrvapb_encode_repeated_##lower(pb_ostream_t* stream, const pb_field_t* field,                 \
                                        void* const* arg);                                             \
    bool qrvapb_free_##lower##_field(MessageInfo* info, int32_t fieldID);                              \
    bool qrvapb_free_##lower(MessageInfo* info);                                                       \
    bool qrvapb_copy_##lower(MessageInfo** destination, const MessageInfo* source);
QRVAPB_MESSAGES(QRVAPB_DECLARE_FAMILY)
#undef QRVAPB_DECLARE_FAMILY

// The function table and class name of each message's wrapper.
template <class Structure>
struct QRVAPBTraits;
#define QRVAPB_DECLARE_TRAITS(lower, Message)                   \
    template <>                                                 \
    struct QRVAPBTraits<qrvanalytics_##Message> {               \
        static const NANOMessageFunctions functions;            \
    };
QRVAPB_MESSAGES(QRVAPB_DECLARE_TRAITS)
#undef QRVAPB_DECLARE_TRAITS

// The wrapper of one message: owns one record from creation to destruction.
// `initWithMessageInfo` copies the record it is given (null: a new message
// with every field absent and every repeated field empty; a record of another
// message: nullptr); `initWithBuffer` decodes (nullptr when the bytes are not
// such a message); `protoBuffer` encodes (empty data for an empty message).
template <class Structure>
class QRVAPBMessage final : public NANOMessageObject {
public:
    QRVAPBMessage() : NANOMessageObject(QRVAPBTraits<Structure>::functions) {}

    static std::shared_ptr<QRVAPBMessage> initWithMessageInfo(const MessageInfo* info) {
        return create<QRVAPBMessage>(info);
    }
    static std::shared_ptr<QRVAPBMessage> initWithBuffer(std::span<const uint8_t> bytes) {
        return createFromBuffer<QRVAPBMessage>(bytes);
    }
    // A new message with every field absent.
    static std::shared_ptr<QRVAPBMessage> message() { return initWithMessageInfo(nullptr); }
    // The class NANOGetMessage and NANOGetArray make elements of.
    static const NANOMessageClass& messageClass() {
        static const ns::NoDestructor<NANOMessageClass> kClass(
            NANOMessageClass::of<QRVAPBMessage>(QRVAPBTraits<Structure>::functions.className));
        return *kClass;
    }
};

// Makes the repeated message field `fieldID` of `message` hold the elements'
// records, in order, moved rather than deep-copied as NANOSetArray does: each
// element is left an empty message of its type. For messages just made to
// go into another one (an event's parameters, a bundle's events). False, with
// nothing changed, when the field is not a repeated field of the elements'
// message type.
bool QRVAPBMoveRecords(NANOMessageRef message, int32_t fieldID, std::span<MessageInfo* const> records);
template <class Elements>
bool QRVAPBMoveMessages(NANOMessageRef message, int32_t fieldID, const Elements& elements) {
    std::vector<MessageInfo*> records;
    records.reserve(std::size(elements));
    for (const auto& element : elements) records.push_back(element ? element->messageInfo() : nullptr);
    return QRVAPBMoveRecords(message, fieldID, records);
}

// One top-level field as it lies in a message's bytes: its tag, where its
// key starts, and where its value starts and how long it is (a text's or
// sub-message's contents, past the length).
struct QRVAPBWireField {
    uint32_t tag;
    size_t key;
    size_t value;
    size_t length;
};
// True when `bytes` are exactly what the encoder writes of the message they
// decode to (fields in tag order, each once or, if repeated, together and
// unpacked; shortest varints; values in their type's range; no unknown, empty
// or packed fields), so that decoding and encoding again gives them back.
// Builds no records; `fields`, when given, gets the top-level fields.
bool QRVAPBIsEncoderExact(const pb_msgdesc_t* descriptor, std::span<const uint8_t> bytes,
                          std::vector<QRVAPBWireField>* fields = nullptr);

using QRVAPBAudience = QRVAPBMessage<qrvanalytics_Audience>;
using QRVAPBAudienceLeafFilterResult = QRVAPBMessage<qrvanalytics_AudienceLeafFilterResult>;
using QRVAPBEvent = QRVAPBMessage<qrvanalytics_Event>;
using QRVAPBEventConfig = QRVAPBMessage<qrvanalytics_EventConfig>;
using QRVAPBEventFilter = QRVAPBMessage<qrvanalytics_EventFilter>;
using QRVAPBEventParam = QRVAPBMessage<qrvanalytics_EventParam>;
using QRVAPBFilter = QRVAPBMessage<qrvanalytics_Filter>;
using QRVAPBMeasurementBatch = QRVAPBMessage<qrvanalytics_MeasurementBatch>;
using QRVAPBMeasurementBundle = QRVAPBMessage<qrvanalytics_MeasurementBundle>;
using QRVAPBMeasurementConfig = QRVAPBMessage<qrvanalytics_MeasurementConfig>;
using QRVAPBNumberFilter = QRVAPBMessage<qrvanalytics_NumberFilter>;
using QRVAPBPropertyFilter = QRVAPBMessage<qrvanalytics_PropertyFilter>;
using QRVAPBResultData = QRVAPBMessage<qrvanalytics_ResultData>;
using QRVAPBSetting = QRVAPBMessage<qrvanalytics_Setting>;
using QRVAPBStringFilter = QRVAPBMessage<qrvanalytics_StringFilter>;
using QRVAPBUserAttribute = QRVAPBMessage<qrvanalytics_UserAttribute>;

// Field IDs, named as in the schema. Fields no caller writes or reads keep
// the schema's placeholder names.
namespace QRVAPBField {
namespace MeasurementBatch {
enum : int32_t { bundles };
}
namespace MeasurementBundle {
enum : int32_t {
    protocol_version,
    events,
    user_attributes,
    upload_timestamp_millis,
    start_timestamp_millis,
    end_timestamp_millis,
    previous_bundle_start_timestamp_millis,  // tag 26
    previous_bundle_end_timestamp_millis,
    platform,
    os_version,
    device_model,
    user_default_language,
    timezone_offset_minutes,
    app_store,
    app_id,
    reserved_int64_15,
    app_version,
    library_version,
    uploading_library_version,
    resettable_device_id,
    vendor_device_id,  // tag 27
    limited_ad_tracking,
    app_instance_id,
    reserved_int64_22,
    bundle_index,
    monitoring_data,
    vlp_app_id,
    reserved_bool_28,
    audience_evaluation_results,
    quorvane_instance_id,
    app_version_major,
    app_version_minor,
    app_version_release,
    reserved_string_34,
    config_version,
};
}
namespace Event {
enum : int32_t { params, name, timestamp_millis, previous_timestamp_millis, reserved_int32_5 };
}
namespace EventParam {
enum : int32_t { name, string_value, int_value, float_value, double_value };
}
namespace UserAttribute {
enum : int32_t { set_timestamp_millis, name, string_value, int_value, float_value, double_value };
}
namespace AudienceLeafFilterResult {
enum : int32_t { audience_id, current_results, previous_results, new_audience };
}
namespace ResultData {
enum : int32_t { status, results };
}
namespace MeasurementConfig {
enum : int32_t { version, app_id, reserved_int32_3, settings, event_config, audiences };
}
namespace Setting {
enum : int32_t { name, value };
}
namespace EventConfig {
enum : int32_t { name, blacklisted, custom_conversion };
}
namespace Audience {
enum : int32_t { audience_id, property_filters, event_filters };
}
namespace PropertyFilter {
enum : int32_t { filter_id, property_name, filter };
}
namespace EventFilter {
enum : int32_t { filter_id, event_name, filters, reserved_bool_4, event_count_filter };
}
namespace Filter {
enum : int32_t { string_filter, number_filter, complement, param_name };
}
namespace StringFilter {
enum : int32_t { match_type, expression, case_sensitive, expression_list };
}
namespace NumberFilter {
enum : int32_t { comparison_type, match_as_float, comparison_value, min_comparison_value, max_comparison_value };
}
}  // namespace QRVAPBField
