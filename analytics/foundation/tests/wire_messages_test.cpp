#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "analytics/QRVAPBMessages.h"
#include "platform/system_log.h"

namespace F = QRVAPBField;

namespace {

// One top-level field of an encoding: its tag and the bytes of its value
// (a varint's own bytes, or a length-delimited payload).
struct WireField {
    uint32_t tag;
    ns::Data value;
};

bool readVarint(const ns::Data& bytes, size_t& at, uint64_t& value) {
    value = 0;
    for (int shift = 0; shift < 70 && at < bytes.size(); shift += 7) {
        uint8_t byte = bytes[at++];
        value |= uint64_t(byte & 0x7F) << shift;
        if (!(byte & 0x80)) return true;
    }
    return false;
}

std::vector<WireField> wireFields(const ns::Data& bytes) {
    std::vector<WireField> fields;
    size_t at = 0;
    while (at < bytes.size()) {
        uint64_t key = 0, value = 0;
        EXPECT_TRUE(readVarint(bytes, at, key));
        size_t start = at;
        if ((key & 7) == 0) {
            EXPECT_TRUE(readVarint(bytes, at, value));
        } else if ((key & 7) == 2) {
            EXPECT_TRUE(readVarint(bytes, at, value));
            start = at;
            at += value;
        } else {
            at += (key & 7) == 1 ? 8 : 4;
        }
        if (at > bytes.size()) break;
        fields.push_back({uint32_t(key >> 3), ns::Data(bytes.begin() + start, bytes.begin() + at)});
    }
    return fields;
}

std::vector<uint32_t> tagsOf(const ns::Data& bytes) {
    std::vector<uint32_t> tags;
    for (const auto& f : wireFields(bytes)) tags.push_back(f.tag);
    return tags;
}

void appendVarint(ns::Data& d, uint64_t v) {
    do {
        d.push_back(uint8_t((v & 0x7F) | (v >= 0x80 ? 0x80 : 0)));
        v >>= 7;
    } while (v);
}

void appendField(ns::Data& d, uint32_t tag, const ns::Data& payload) {
    appendVarint(d, uint64_t(tag) << 3 | 2);
    appendVarint(d, payload.size());
    d.insert(d.end(), payload.begin(), payload.end());
}

ns::Data bytesOf(std::initializer_list<int> bytes) {
    ns::Data d;
    for (int b : bytes) d.push_back(uint8_t(b));
    return d;
}

std::vector<uint64_t> uint64s(const std::optional<ns::Array>& array) {
    std::vector<uint64_t> values;
    for (const auto& v : array.value_or(ns::Array{})) values.push_back(v.asUInt());
    return values;
}

const ArrayInfo* arrayOf(const NANOMessagePtr& m, int32_t id) {
    return static_cast<const ArrayInfo*>(m->messageInfo()->messageFields[id]);
}

std::shared_ptr<QRVAPBEvent> event(const char* name, std::initializer_list<std::shared_ptr<QRVAPBEventParam>> params) {
    auto e = QRVAPBEvent::message();
    NANOSetString(e, F::Event::name, name);
    ns::Array array;
    for (const auto& p : params) array.emplace_back(ns::ObjectPtr(p));
    NANOSetArray(e, F::Event::params, array);
    return e;
}

std::shared_ptr<QRVAPBEventParam> intParam(const char* name, int64_t value) {
    auto p = QRVAPBEventParam::message();
    NANOSetString(p, F::EventParam::name, name);
    NANOSetInt64(p, F::EventParam::int_value, value);
    return p;
}

}  // namespace

TEST(WireMessages, EveryMessageHasItsNameFieldCountAndFlagTable) {
    struct Row {
        NANOMessagePtr message;
        const char* className;
        const char* name;
        int fields;
        std::vector<uint32_t> firstFlags;
    };
    const Row rows[] = {
        {QRVAPBAudience::message(), "QRVAPBAudience", "Audience", 3, {0x82, 0x4008, 0x4008}},
        {QRVAPBAudienceLeafFilterResult::message(), "QRVAPBAudienceLeafFilterResult", "AudienceLeafFilterResult", 4,
         {0x82, 0x4002, 0x4002, 0x22}},
        {QRVAPBEvent::message(), "QRVAPBEvent", "Event", 5, {0x4008, 0x2002, 0x202, 0x202, 0x82}},
        {QRVAPBEventConfig::message(), "QRVAPBEventConfig", "EventConfig", 3, {0x2002, 0x22, 0x22}},
        {QRVAPBEventFilter::message(), "QRVAPBEventFilter", "EventFilter", 5, {0x82, 0x2002, 0x4008, 0x22, 0x4002}},
        {QRVAPBEventParam::message(), "QRVAPBEventParam", "EventParam", 5, {0x2002, 0x2002, 0x202, 0x802, 0x1002}},
        {QRVAPBFilter::message(), "QRVAPBFilter", "Filter", 4, {0x4002, 0x4002, 0x22, 0x2002}},
        {QRVAPBMeasurementBatch::message(), "QRVAPBMeasurementBatch", "MeasurementBatch", 1, {0x4008}},
        {QRVAPBMeasurementBundle::message(), "QRVAPBMeasurementBundle", "MeasurementBundle", 35,
         {0x82, 0x4008, 0x4008, 0x202, 0x202, 0x202, 0x202, 0x202, 0x2002}},
        {QRVAPBMeasurementConfig::message(), "QRVAPBMeasurementConfig", "MeasurementConfig", 6,
         {0x202, 0x2002, 0x82, 0x4008, 0x4008, 0x4008}},
        {QRVAPBNumberFilter::message(), "QRVAPBNumberFilter", "NumberFilter", 5, {0x42, 0x22, 0x2002, 0x2002, 0x2002}},
        {QRVAPBPropertyFilter::message(), "QRVAPBPropertyFilter", "PropertyFilter", 3, {0x82, 0x2002, 0x4002}},
        {QRVAPBResultData::message(), "QRVAPBResultData", "ResultData", 2, {0x408, 0x408}},
        {QRVAPBSetting::message(), "QRVAPBSetting", "Setting", 2, {0x2002, 0x2002}},
        {QRVAPBStringFilter::message(), "QRVAPBStringFilter", "StringFilter", 4, {0x42, 0x2002, 0x22, 0x2008}},
        {QRVAPBUserAttribute::message(), "QRVAPBUserAttribute", "UserAttribute", 6,
         {0x202, 0x2002, 0x2002, 0x202, 0x802, 0x1002}},
    };
    auto capture = ns::Console::capture();
    for (const auto& row : rows) {
        ASSERT_TRUE(row.message) << row.name;
        MessageInfo* info = row.message->messageInfo();
        EXPECT_EQ(row.message->className(), row.className);
        EXPECT_STREQ(row.message->messageID(), row.name);
        EXPECT_EQ(info->messageName, row.message->messageID()) << "one name string per message";
        for (size_t id = 0; id < row.firstFlags.size(); ++id) {
            EXPECT_EQ(info->fieldTypes[id], row.firstFlags[id]) << row.name << " field " << id;
        }
        // The free-field function knows exactly `fields` fields.
        EXPECT_TRUE(row.message->deallocMessageFieldFn()(info, row.fields - 1)) << row.name;
        EXPECT_FALSE(row.message->deallocMessageFieldFn()(info, row.fields)) << row.name;
        EXPECT_EQ(row.message->protoBuffer(), ns::Data{}) << row.name << ": an empty message is empty data";
    }
    const auto lines = capture.lines();
    ASSERT_EQ(lines.size(), std::size(rows));
    EXPECT_EQ(lines[0], "<ERROR> Audience: Cannot deallocate field 3: Unknown field");
    auto bundleMessage = QRVAPBMeasurementBundle::message();
    auto bundle = bundleMessage->messageInfo();
    EXPECT_EQ(bundle->fieldTypes[F::MeasurementBundle::previous_bundle_start_timestamp_millis], 0x202u);
    EXPECT_EQ(bundle->fieldTypes[F::MeasurementBundle::vendor_device_id], 0x2002u);
    EXPECT_EQ(bundle->fieldTypes[F::MeasurementBundle::audience_evaluation_results], 0x4008u);
    EXPECT_EQ(bundle->fieldTypes[F::MeasurementBundle::config_version], 0x202u);
}

TEST(WireMessages, BundleFieldsOutOfTagOrderTravelUnderTheirTags) {
    auto bundle = QRVAPBMeasurementBundle::message();
    NANOSetInt64(bundle, F::MeasurementBundle::end_timestamp_millis, 6);
    NANOSetInt64(bundle, F::MeasurementBundle::previous_bundle_start_timestamp_millis, 26);
    NANOSetString(bundle, F::MeasurementBundle::vendor_device_id, "vendor-27");
    NANOSetString(bundle, F::MeasurementBundle::vlp_app_id, "app-25");
    NANOSetBool(bundle, F::MeasurementBundle::reserved_bool_28, true);
    NANOSetInt64(bundle, F::MeasurementBundle::config_version, 35);
    auto wire = bundle->protoBuffer();
    ASSERT_TRUE(wire);
    EXPECT_EQ(tagsOf(*wire), (std::vector<uint32_t>{6, 25, 26, 27, 28, 35}))
        << "ascending tags; no tags 2, 3 or 29 for an empty bundle's repeated fields";

    auto back = QRVAPBMeasurementBundle::initWithBuffer(*wire);
    ASSERT_TRUE(back);
    EXPECT_EQ(NANOGetInt64(back, F::MeasurementBundle::previous_bundle_start_timestamp_millis), 26);
    EXPECT_EQ(NANOGetString(back, F::MeasurementBundle::vendor_device_id), "vendor-27");
    EXPECT_EQ(NANOGetString(back, F::MeasurementBundle::vlp_app_id), "app-25");
    EXPECT_TRUE(NANOGetBool(back, F::MeasurementBundle::reserved_bool_28));
    EXPECT_FALSE(NANOHasField(back, F::MeasurementBundle::previous_bundle_end_timestamp_millis));
}

TEST(WireMessages, ScalarEncodings) {
    auto filter = QRVAPBPropertyFilter::message();
    NANOSetInt32(filter, F::PropertyFilter::filter_id, -1);
    auto wire = filter->protoBuffer();
    ASSERT_TRUE(wire);
    EXPECT_EQ(*wire, bytesOf({0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}))
        << "a negative int32 takes ten bytes";
    EXPECT_EQ(NANOGetInt32(QRVAPBPropertyFilter::initWithBuffer(*wire), F::PropertyFilter::filter_id), -1);

    // A present false and a present zero are written; absent fields are not.
    auto config = QRVAPBEventConfig::message();
    NANOSetBool(config, F::EventConfig::blacklisted, false);
    EXPECT_EQ(config->protoBuffer(), bytesOf({0x10, 0x00}));
}

TEST(WireMessages, ResultDataIsWrittenUnpackedAndReadEitherWay) {
    auto data = QRVAPBResultData::message();
    NANOSetArray(data, F::ResultData::status, ns::Array{uint64_t(5), uint64_t(1) << 63});
    NANOSetArray(data, F::ResultData::results, ns::Array{uint64_t(1), uint64_t(300)});
    auto wire = data->protoBuffer();
    ASSERT_TRUE(wire);
    EXPECT_EQ(tagsOf(*wire), (std::vector<uint32_t>{1, 1, 2, 2})) << "one tag and one varint per element";
    EXPECT_EQ(wire->size(), 2 + 11 + 2 + 3u);

    ns::Data packed;
    ns::Data statusPayload, resultsPayload;
    appendVarint(statusPayload, 5);
    appendVarint(statusPayload, uint64_t(1) << 63);
    appendVarint(resultsPayload, 1);
    appendVarint(resultsPayload, 300);
    appendField(packed, 1, statusPayload);
    appendField(packed, 2, resultsPayload);
    for (const ns::Data& form : {*wire, packed}) {
        auto back = QRVAPBResultData::initWithBuffer(form);
        ASSERT_TRUE(back);
        EXPECT_EQ(uint64s(NANOGetArray(back, F::ResultData::status)), (std::vector<uint64_t>{5, uint64_t(1) << 63}));
        EXPECT_EQ(uint64s(NANOGetArray(back, F::ResultData::results)), (std::vector<uint64_t>{1, 300}));
        EXPECT_EQ(arrayOf(back, F::ResultData::status)->filled, 2u);
        // Decoding into a record that holds values replaces them.
        ASSERT_TRUE(qrvapb_decode_result_data(form.data(), form.size(), back->messageInfo()));
        EXPECT_EQ(uint64s(NANOGetArray(back, F::ResultData::results)), (std::vector<uint64_t>{1, 300}));
    }
}

TEST(WireMessages, DecodingKeepsWhatTheRecordLayoutPromises) {
    // A batch of three bundles: an array record of count 3 and filled 3.
    auto batch = QRVAPBMeasurementBatch::message();
    ns::Array bundles;
    for (int i = 0; i < 3; ++i) {
        auto b = QRVAPBMeasurementBundle::message();
        NANOSetInt32(b, F::MeasurementBundle::bundle_index, i);
        NANOSetArray(b, F::MeasurementBundle::events, ns::Array{ns::ObjectPtr(event("_s", {intParam("_sid", i)}))});
        bundles.emplace_back(ns::ObjectPtr(b));
    }
    NANOSetArray(batch, F::MeasurementBatch::bundles, bundles);
    auto decoded = QRVAPBMeasurementBatch::initWithBuffer(*batch->protoBuffer());
    ASSERT_TRUE(decoded);
    const ArrayInfo* array = arrayOf(decoded, F::MeasurementBatch::bundles);
    EXPECT_EQ(array->count, 3u);
    EXPECT_EQ(array->filled, 3u);
    for (uint32_t i = 0; i < 3; ++i) {
        EXPECT_STREQ(static_cast<MessageInfo*>(array->items[i])->messageName, "MeasurementBundle");
    }
    auto second = NANOGetArray(decoded, F::MeasurementBatch::bundles, &QRVAPBMeasurementBundle::messageClass());
    ASSERT_TRUE(second && second->size() == 3);
    auto b2 = (*second)[2].asObjectOf<QRVAPBMeasurementBundle>();
    EXPECT_EQ(NANOGetInt32(b2, F::MeasurementBundle::bundle_index), 2);

    // Empty data: every field absent, every repeated field empty.
    auto empty = QRVAPBMeasurementBundle::initWithBuffer(ns::Data{});
    ASSERT_TRUE(empty);
    EXPECT_FALSE(NANOHasField(empty, F::MeasurementBundle::app_id));
    EXPECT_EQ(arrayOf(empty, F::MeasurementBundle::events)->count, 0u);

    // A property filter: absent filter is a null slot; a StringFilter with
    // two expressions keeps both.
    auto pf = QRVAPBPropertyFilter::message();
    NANOSetInt32(pf, F::PropertyFilter::filter_id, 4);
    auto bare = QRVAPBPropertyFilter::initWithBuffer(*pf->protoBuffer());
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->messageInfo()->messageFields[F::PropertyFilter::filter], nullptr);
    auto sf = QRVAPBStringFilter::message();
    NANOSetArray(sf, F::StringFilter::expression_list, ns::Array{"caja", "bodega"});
    auto filter = QRVAPBFilter::message();
    NANOSetMessage(filter, F::Filter::string_filter, sf);
    NANOSetMessage(pf, F::PropertyFilter::filter, filter);
    auto full = QRVAPBPropertyFilter::initWithBuffer(*pf->protoBuffer());
    ASSERT_TRUE(full);
    auto inner = NANOGetMessage(NANOGetMessage(full, F::PropertyFilter::filter, QRVAPBFilter::messageClass()),
                                F::Filter::string_filter, QRVAPBStringFilter::messageClass());
    EXPECT_EQ(NANOGetArray(inner, F::StringFilter::expression_list), (ns::Array{"caja", "bodega"}));
    EXPECT_EQ(NANOGetMessage(full, F::PropertyFilter::filter, QRVAPBFilter::messageClass())
                  ->messageInfo()
                  ->messageFields[F::Filter::number_filter],
              nullptr);
}

TEST(WireMessages, CopiesAreDeepAndKindsAreChecked) {
    auto source = event("purchase", {intParam("value", 10)});
    auto copy = QRVAPBEvent::initWithMessageInfo(source->messageInfo());
    ASSERT_TRUE(copy);
    NANOSetString(copy, F::Event::name, "refund");
    EXPECT_EQ(NANOGetString(source, F::Event::name), "purchase");
    EXPECT_NE(arrayOf(copy, F::Event::params)->items[0], arrayOf(source, F::Event::params)->items[0]);

    EXPECT_EQ(QRVAPBEvent::initWithMessageInfo(QRVAPBUserAttribute::message()->messageInfo()), nullptr);
    EXPECT_EQ(QRVAPBEvent::initWithBuffer(bytesOf({0x12, 0x05, 'a'})), nullptr) << "a length past the end";
}

TEST(WireMessages, MovedElementsEncodeAsCopiedOnesAndLeaveEmptyMessages) {
    auto copied = event("purchase", {intParam("a", 1), intParam("b", -2)});
    std::vector<std::shared_ptr<QRVAPBEventParam>> params{intParam("a", 1), intParam("b", -2)};
    auto moved = event("purchase", {intParam("old", 9)});
    ASSERT_TRUE(QRVAPBMoveMessages(moved, F::Event::params, params));
    EXPECT_EQ(moved->protoBuffer(), copied->protoBuffer());
    EXPECT_FALSE(NANOHasField(params[0], F::EventParam::name));
    NANOSetString(params[0], F::EventParam::name, "reused");  // an empty message still works
    EXPECT_EQ(moved->protoBuffer(), copied->protoBuffer());

    // Another message type, a singular field or a missing element changes nothing.
    std::vector<std::shared_ptr<QRVAPBUserAttribute>> attributes{QRVAPBUserAttribute::message()};
    EXPECT_FALSE(QRVAPBMoveMessages(moved, F::Event::params, attributes));
    EXPECT_FALSE(QRVAPBMoveMessages(moved, F::Event::name, params));
    EXPECT_FALSE(QRVAPBMoveMessages(moved, F::Event::params, std::vector<std::shared_ptr<QRVAPBEventParam>>{nullptr}));
    EXPECT_EQ(moved->protoBuffer(), copied->protoBuffer());
}

TEST(WireMessages, UndeclaredTagsAreDroppedAndLongStringsRefused) {
    auto config = QRVAPBMeasurementConfig::message();
    NANOSetString(config, F::MeasurementConfig::app_id, "1:2:ios:3");
    ns::Data wire = *config->protoBuffer();
    appendField(wire, 99, bytesOf({1, 2, 3}));
    wire.insert(wire.end(), {0xA0, 0x06, 0x07});  // tag 100, varint 7
    auto decoded = QRVAPBMeasurementConfig::initWithBuffer(wire);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(NANOGetString(decoded, F::MeasurementConfig::app_id), "1:2:ios:3");
    EXPECT_EQ(decoded->protoBuffer(), config->protoBuffer());

    for (size_t length : {size_t(1048576), size_t(1048577)}) {
        ns::Data setting, audience, withString;
        appendField(setting, 2, ns::Data(length, 'x'));
        appendField(withString, 4, setting);  // a Setting in the config
        auto capture = ns::Console::capture();
        auto result = QRVAPBMeasurementConfig::initWithBuffer(withString);
        EXPECT_EQ(result != nullptr, length == 1048576) << length;
        if (!result) {
            EXPECT_EQ(capture.lines().at(0), "Unable to process proto stream. Buffer is too big. 1048577 > 1048576");
        }
    }
}

TEST(WireMessages, AFaultyElementFailsEveryEnclosingMessage) {
    ns::Data badParam = bytesOf({0x0A, 0x03, 'a'});  // name announces 3 bytes, has 1
    ns::Data ev, bundle, batch;
    appendField(ev, 2, bytesOf({'x'}));
    appendField(ev, 1, badParam);
    appendField(bundle, 2, ev);
    appendField(batch, 1, bundle);
    auto capture = ns::Console::capture();
    EXPECT_EQ(QRVAPBEvent::initWithBuffer(ev), nullptr);
    EXPECT_EQ(QRVAPBMeasurementBundle::initWithBuffer(bundle), nullptr);
    EXPECT_EQ(QRVAPBMeasurementBatch::initWithBuffer(batch), nullptr);
    auto lines = capture.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "<ERROR> EventParam decoder failed: Unable to decode repeated EventParam"),
              lines.end());

    // Hostile shapes fail without reading past the end or allocating for
    // what is only announced.
    const ns::Data hostile[] = {
        bytesOf({0x08}),                                            // a tag without its varint
        bytesOf({0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}),  // 11-byte varint
        bytesOf({0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x00}),        // a 4 GiB bundle announced
        bytesOf({0x0A, 0x80, 0x94, 0xEB, 0xDC, 0x03}),              // a billion-byte element, no bytes
        bytesOf({0x0B}),                                            // a group start
        bytesOf({0x0A, 0x02, 0x12, 0x05}),                          // an event cut inside a bundle
    };
    for (const auto& bytes : hostile) {
        EXPECT_EQ(QRVAPBMeasurementBatch::initWithBuffer(bytes), nullptr) << ::testing::PrintToString(bytes);
    }
    ns::Data packedHuge = bytesOf({0x0A, 0x80, 0x94, 0xEB, 0xDC, 0x03, 0x01});  // packed status of 1e9 bytes
    EXPECT_EQ(QRVAPBResultData::initWithBuffer(packedHuge), nullptr);
}
