// The sixteen message families: each is a table read from nanopb's field
// lists, and its named functions hand that table to the one generic
// implementation (QRVAPBFamily.cpp).

#include "analytics/QRVAPBMessages.h"

#include <array>
#include <cstddef>

#include "QRVAPBFamily.h"

namespace qrvapb {

#define QRVAPB_DECLARE(lower, Message) extern const Family k##Message##Family;
QRVAPB_MESSAGES(QRVAPB_DECLARE)
#undef QRVAPB_DECLARE

namespace {

template <class Structure>
struct FamilyOf;
#define QRVAPB_FAMILY_OF(lower, Message)                                \
    template <>                                                         \
    struct FamilyOf<qrvanalytics_##Message> {                           \
        [[maybe_unused]] static constexpr const Family* family = &k##Message##Family; \
    };
QRVAPB_MESSAGES(QRVAPB_FAMILY_OF)
#undef QRVAPB_FAMILY_OF

// Read from nanopb's field lists: X(structure, allocation, label, type,
// name, tag), one per field in tag order.
#define QRVAPB_KIND_BOOL NANO_TYPE_BOOL
#define QRVAPB_KIND_UINT32 NANO_TYPE_UINT32
#define QRVAPB_KIND_INT32 NANO_TYPE_INT32
#define QRVAPB_KIND_INT64 NANO_TYPE_INT64
#define QRVAPB_KIND_UINT64 NANO_TYPE_UINT64
#define QRVAPB_KIND_FLOAT NANO_TYPE_FLOAT
#define QRVAPB_KIND_DOUBLE NANO_TYPE_DOUBLE
#define QRVAPB_KIND_STRING NANO_TYPE_STRING
#define QRVAPB_KIND_MESSAGE NANO_TYPE_MESSAGE
#define QRVAPB_LABEL_OPTIONAL NANO_LABEL_OPTIONAL
#define QRVAPB_LABEL_REPEATED NANO_LABEL_REPEATED
#define QRVAPB_TYPE(s, atype, htype, ltype, name, tag) uint32_t(QRVAPB_KIND_##ltype | QRVAPB_LABEL_##htype),
#define QRVAPB_NAME(s, atype, htype, ltype, name, tag) #name,
#define QRVAPB_SUB(s, atype, htype, ltype, name, tag) QRVAPB_SUB_##ltype(s, name),
#define QRVAPB_SUB_MESSAGE(s, name) FamilyOf<s##_##name##_MSGTYPE>::family
#define QRVAPB_SUB_BOOL(s, name) nullptr
#define QRVAPB_SUB_UINT32(s, name) nullptr
#define QRVAPB_SUB_INT32(s, name) nullptr
#define QRVAPB_SUB_INT64(s, name) nullptr
#define QRVAPB_SUB_UINT64(s, name) nullptr
#define QRVAPB_SUB_FLOAT(s, name) nullptr
#define QRVAPB_SUB_DOUBLE(s, name) nullptr
#define QRVAPB_SUB_STRING(s, name) nullptr
#define QRVAPB_LAYOUT(s, atype, htype, ltype, name, tag) QRVAPB_LAYOUT_##atype(s, name),
#define QRVAPB_LAYOUT_STATIC(s, name)                                                             \
    FieldLayout{uint16_t(offsetof(s, name)), int16_t(offsetof(s, has_##name)), uint16_t(sizeof(s::name)), false}
#define QRVAPB_LAYOUT_CALLBACK(s, name) FieldLayout{uint16_t(offsetof(s, name)), -1, uint16_t(sizeof(s::name)), true}

// The message name is one string per message: records and wrappers are
// matched by its address.
#define QRVAPB_TABLES(lower, Message)                                                                 \
    constexpr char k##Message##Name[] = #Message;                                                     \
    constexpr uint32_t k##Message##Types[] = {qrvanalytics_##Message##_FIELDLIST(QRVAPB_TYPE, _)};    \
    constexpr const char* k##Message##Names[] = {qrvanalytics_##Message##_FIELDLIST(QRVAPB_NAME, _)}; \
    constexpr const Family* k##Message##Subs[] = {                                                    \
        qrvanalytics_##Message##_FIELDLIST(QRVAPB_SUB, qrvanalytics_##Message)};                      \
    constexpr FieldLayout k##Message##Layout[] = {                                                    \
        qrvanalytics_##Message##_FIELDLIST(QRVAPB_LAYOUT, qrvanalytics_##Message)};
QRVAPB_MESSAGES(QRVAPB_TABLES)
#undef QRVAPB_TABLES

// The bundle declares two fields out of tag order: tag 26 is field 6 and tag
// 27 is field 20. Every tag from 1 to 35 is used, so descriptor position =
// tag - 1.
constexpr uint8_t kMeasurementBundleIDOfIndex[] = {
    0,  1,  2,  3,  4,  5,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18,  // tags 1-6, 7-18
    19, 21, 22, 23, 24, 25, 26, 6,  20, 27, 28, 29, 30, 31, 32, 33, 34,      // tags 19-25, 26, 27, 28-35
};
constexpr size_t kBundleFields = std::size(kMeasurementBundleTypes);
static_assert(std::size(kMeasurementBundleIDOfIndex) == kBundleFields);

constexpr std::array<uint8_t, kBundleFields> kMeasurementBundleIndexOfID = [] {
    std::array<uint8_t, kBundleFields> index{};
    for (size_t i = 0; i < kBundleFields; ++i) {
        index[kMeasurementBundleIDOfIndex[i]] = static_cast<uint8_t>(i);
    }
    return index;
}();
constexpr std::array<uint32_t, kBundleFields> kMeasurementBundleTypesByID = [] {
    std::array<uint32_t, kBundleFields> types{};
    for (size_t i = 0; i < kBundleFields; ++i) {
        types[kMeasurementBundleIDOfIndex[i]] = kMeasurementBundleTypes[i];
    }
    return types;
}();

// Messages whose field IDs follow their tags.
template <class Structure>
struct Order {
    static constexpr const uint8_t* idOfIndex = nullptr;
    static constexpr const uint8_t* indexOfID = nullptr;
};
template <>
struct Order<qrvanalytics_MeasurementBundle> {
    static constexpr const uint8_t* idOfIndex = kMeasurementBundleIDOfIndex;
    static constexpr const uint8_t* indexOfID = kMeasurementBundleIndexOfID.data();
};
template <class Structure>
constexpr const uint32_t* typesByID(const uint32_t* byIndex) {
    return byIndex;
}
template <>
constexpr const uint32_t* typesByID<qrvanalytics_MeasurementBundle>(const uint32_t*) {
    return kMeasurementBundleTypesByID.data();
}

}  // namespace

// Which messages decode in two passes: those with a repeated field of their
// own or in a singular sub-message at any depth.
#define QRVAPB_TWO_PASS_audience true
#define QRVAPB_TWO_PASS_audience_leaf_filter_result true
#define QRVAPB_TWO_PASS_event true
#define QRVAPB_TWO_PASS_event_config false
#define QRVAPB_TWO_PASS_event_filter true
#define QRVAPB_TWO_PASS_event_param false
#define QRVAPB_TWO_PASS_filter true
#define QRVAPB_TWO_PASS_measurement_batch true
#define QRVAPB_TWO_PASS_measurement_bundle true
#define QRVAPB_TWO_PASS_measurement_config true
#define QRVAPB_TWO_PASS_number_filter false
#define QRVAPB_TWO_PASS_property_filter true
#define QRVAPB_TWO_PASS_result_data true
#define QRVAPB_TWO_PASS_setting false
#define QRVAPB_TWO_PASS_string_filter true
#define QRVAPB_TWO_PASS_user_attribute false

#define QRVAPB_DEFINE(lower, Message)                                                        \
    extern const Family k##Message##Family = {                                               \
        k##Message##Name,                                                                    \
        qrvanalytics_##Message##_fields,                                                     \
        k##Message##Layout,                                                                  \
        sizeof(qrvanalytics_##Message),                                                      \
        static_cast<int32_t>(std::size(k##Message##Types)),                                  \
        typesByID<qrvanalytics_##Message>(k##Message##Types),                                \
        k##Message##Names,                                                                   \
        k##Message##Subs,                                                                    \
        Order<qrvanalytics_##Message>::idOfIndex,                                            \
        Order<qrvanalytics_##Message>::indexOfID,                                            \
        QRVAPB_TWO_PASS_##lower,                                                             \
        qrvapb_decode_repeated_##lower,                                                      \
        qrvapb_encode_repeated_##lower,                                                      \
    };
QRVAPB_MESSAGES(QRVAPB_DEFINE)
#undef QRVAPB_DEFINE

const Family* familyOf(const MessageInfo* info) {
    static constexpr const Family* kFamilies[] = {
#define QRVAPB_ENTRY(lower, Message) &k##Message##Family,
        QRVAPB_MESSAGES(QRVAPB_ENTRY)
#undef QRVAPB_ENTRY
    };
    for (const Family* family : kFamilies) {
        if (info != nullptr && info->messageName == family->name) {
            return family;
        }
    }
    return nullptr;
}

}  // namespace qrvapb

bool QRVAPBMoveRecords(NANOMessageRef message, int32_t fieldID, std::span<MessageInfo* const> records) {
    MessageInfo* info = message.info();
    const qrvapb::Family* family = qrvapb::familyOf(info);
    return family != nullptr && qrvapb::moveIntoArray(*family, info, fieldID, records.data(), records.size());
}

#define QRVAPB_FUNCTIONS(lower, Message)                                                                  \
    bool qrvapb_init_##lower(MessageInfo* info) {                                                         \
        return qrvapb::initRecord(qrvapb::k##Message##Family, info);                                      \
    }                                                                                                     \
    bool qrvapb_alloc_##lower##_arrays(MessageInfo* info) {                                               \
        return qrvapb::allocArrays(qrvapb::k##Message##Family, info);                                     \
    }                                                                                                     \
    bool qrvapb_set_##lower##_decoders(MessageInfo* info, qrvanalytics_##Message* structure) {            \
        return qrvapb::setDecoders(qrvapb::k##Message##Family, info, structure);                          \
    }                                                                                                     \
    bool qrvapb_populate_##lower##_info(const qrvanalytics_##Message* structure, MessageInfo* info) {     \
        return qrvapb::populate(qrvapb::k##Message##Family, structure, info);                             \
    }                                                                                                     \
    bool qrvapb_decode_##lower(const uint8_t* bytes, size_t length, MessageInfo* info) {                  \
        return qrvapb::decode(qrvapb::k##Message##Family, bytes, length, info);                           \
    }                                                                                                     \
    bool qrvapb_decode_repeated_##lower(pb_istream_t* stream, const pb_field_t* field, void** arg) {      \
        return qrvapb::decodeRepeated(qrvapb::k##Message##Family, stream, arg);                           \
    }                                                                                                     \
    bool qrvapb_set_##lower##_encoders(const MessageInfo* info, qrvanalytics_##Message* structure) {      \
        return qrvapb::setEncoders(qrvapb::k##Message##Family, info, structure);                          \
    }                                                                                                     \
    uint32_t qrvapb_encode_##lower(const MessageInfo* info, uint8_t** buffer) {                           \
        return qrvapb::encode(qrvapb::k##Message##Family, info, buffer);                                  \
    }                                                                                                     \
    bool qrvapb_encode_repeated_##lower(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) { \
        return qrvapb::encodeRepeated(qrvapb::k##Message##Family, stream, field, arg);                    \
    }                                                                                                     \
    bool qrvapb_free_##lower##_field(MessageInfo* info, int32_t fieldID) {                                \
        return qrvapb::freeField(qrvapb::k##Message##Family, info, fieldID);                              \
    }                                                                                                     \
    bool qrvapb_free_##lower(MessageInfo* info) {                                                         \
        return qrvapb::freeRecord(qrvapb::k##Message##Family, info);                                      \
    }                                                                                                     \
    bool qrvapb_copy_##lower(MessageInfo** destination, const MessageInfo* source) {                      \
        return qrvapb::copyRecord(qrvapb::k##Message##Family, destination, source);                       \
    }                                                                                                     \
    const NANOMessageFunctions QRVAPBTraits<qrvanalytics_##Message>::functions = {                        \
        "QRVAPB" #Message,          qrvapb::k##Message##Name,        qrvapb_init_##lower,                 \
        qrvapb_free_##lower##_field, qrvapb_copy_##lower,             qrvapb_free_##lower,                \
        qrvapb_decode_##lower,      qrvapb_encode_##lower,                                                \
    };
QRVAPB_MESSAGES(QRVAPB_FUNCTIONS)
#undef QRVAPB_FUNCTIONS
