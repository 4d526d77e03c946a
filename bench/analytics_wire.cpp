// A measurement bundle of 1,000 events (three parameters each: text, integer,
// floating point) and five user properties, encoded and decoded through the
// message wrappers against plain nanopb over the same schema: pb_encode into
// a buffer of known size and pb_decode with static callbacks that fill plain
// structures. The difference is what the wrappers' records, generic field
// walk, sizing pass and counting pass cost.
#include <benchmark/benchmark.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "analytics/QRVAPBMessages.h"

namespace F = QRVAPBField;

namespace {

struct PlainParam {
    std::string name;
    std::string text;
    int64_t integer = 0;
    double real = 0;
    int kind = 0;  // 1 text, 2 integer, 3 real
};
struct PlainEvent {
    std::string name;
    int64_t timestamp = 0;
    int64_t previous = 0;
    std::vector<PlainParam> params;
};
struct PlainAttribute {
    std::string name;
    std::string text;
    int64_t timestamp = 0;
};
struct PlainBundle {
    std::vector<PlainEvent> events;
    std::vector<PlainAttribute> attributes;
    std::string appID, appInstanceID, osVersion;
    int64_t start = 0, end = 0, upload = 0;
    int32_t index = 0;
};

PlainBundle sampleBundle() {
    PlainBundle b;
    b.appID = "pa.almavel.asistente";
    b.appInstanceID = "5F0C2A9B1D3E4F60718293A4B5C6D7E8";
    b.osVersion = "17.4.1";
    b.start = 1700000000000;
    b.end = 1700000999000;
    b.upload = 1700001000000;
    b.index = 42;
    for (int i = 0; i < 1000; ++i) {
        PlainEvent e{i % 3 ? "view_item" : "_s", 1700000000000 + i * 999, 1700000000000 + i * 990, {}};
        e.params.push_back({"item_id", "7450001" + std::to_string(100000 + i), 0, 0, 1});
        e.params.push_back({"quantity", "", 1 + i % 7, 0, 2});
        e.params.push_back({"value", "", 0, 12.5 + i, 3});
        b.events.push_back(std::move(e));
    }
    for (int i = 0; i < 5; ++i) {
        b.attributes.push_back({"store_" + std::to_string(i), "PA0" + std::to_string(i), 1699999000000 + i});
    }
    return b;
}

// -- the wrappers

std::shared_ptr<QRVAPBMeasurementBundle> wrap(const PlainBundle& plain) {
    auto bundle = QRVAPBMeasurementBundle::message();
    NANOSetInt32(bundle, F::MeasurementBundle::protocol_version, 1);
    NANOSetString(bundle, F::MeasurementBundle::app_id, plain.appID);
    NANOSetString(bundle, F::MeasurementBundle::app_instance_id, plain.appInstanceID);
    NANOSetString(bundle, F::MeasurementBundle::os_version, plain.osVersion);
    NANOSetInt64(bundle, F::MeasurementBundle::start_timestamp_millis, plain.start);
    NANOSetInt64(bundle, F::MeasurementBundle::end_timestamp_millis, plain.end);
    NANOSetInt64(bundle, F::MeasurementBundle::upload_timestamp_millis, plain.upload);
    NANOSetInt32(bundle, F::MeasurementBundle::bundle_index, plain.index);
    ns::Array events;
    for (const auto& e : plain.events) {
        auto event = QRVAPBEvent::message();
        NANOSetString(event, F::Event::name, e.name);
        NANOSetInt64(event, F::Event::timestamp_millis, e.timestamp);
        NANOSetInt64(event, F::Event::previous_timestamp_millis, e.previous);
        ns::Array params;
        for (const auto& p : e.params) {
            auto param = QRVAPBEventParam::message();
            NANOSetString(param, F::EventParam::name, p.name);
            if (p.kind == 1) NANOSetString(param, F::EventParam::string_value, p.text);
            if (p.kind == 2) NANOSetInt64(param, F::EventParam::int_value, p.integer);
            if (p.kind == 3) NANOSetDouble(param, F::EventParam::double_value, p.real);
            params.emplace_back(ns::ObjectPtr(param));
        }
        NANOSetArray(event, F::Event::params, params);
        events.emplace_back(ns::ObjectPtr(event));
    }
    NANOSetArray(bundle, F::MeasurementBundle::events, events);
    ns::Array attributes;
    for (const auto& a : plain.attributes) {
        auto attribute = QRVAPBUserAttribute::message();
        NANOSetString(attribute, F::UserAttribute::name, a.name);
        NANOSetString(attribute, F::UserAttribute::string_value, a.text);
        NANOSetInt64(attribute, F::UserAttribute::set_timestamp_millis, a.timestamp);
        attributes.emplace_back(ns::ObjectPtr(attribute));
    }
    NANOSetArray(bundle, F::MeasurementBundle::user_attributes, attributes);
    return bundle;
}

// -- plain nanopb: static callbacks over the plain structures

bool writeString(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* s = static_cast<const std::string*>(*arg);
    return pb_encode_tag_for_field(stream, field) &&
           pb_encode_string(stream, reinterpret_cast<const pb_byte_t*>(s->data()), s->size());
}

void setString(pb_callback_t& callback, const std::string& s) {
    callback.funcs.encode = writeString;
    callback.arg = const_cast<std::string*>(&s);
}

bool writeParams(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    for (const auto& p : *static_cast<const std::vector<PlainParam>*>(*arg)) {
        qrvanalytics_EventParam s = qrvanalytics_EventParam_init_zero;
        setString(s.name, p.name);
        if (p.kind == 1) setString(s.string_value, p.text);
        s.has_int_value = p.kind == 2;
        s.int_value = p.integer;
        s.has_double_value = p.kind == 3;
        s.double_value = p.real;
        if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, qrvanalytics_EventParam_fields, &s))
            return false;
    }
    return true;
}

bool writeEvents(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    for (const auto& e : *static_cast<const std::vector<PlainEvent>*>(*arg)) {
        qrvanalytics_Event s = qrvanalytics_Event_init_zero;
        setString(s.name, e.name);
        s.has_timestamp_millis = s.has_previous_timestamp_millis = true;
        s.timestamp_millis = e.timestamp;
        s.previous_timestamp_millis = e.previous;
        s.params.funcs.encode = writeParams;
        s.params.arg = const_cast<std::vector<PlainParam>*>(&e.params);
        if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, qrvanalytics_Event_fields, &s))
            return false;
    }
    return true;
}

bool writeAttributes(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    for (const auto& a : *static_cast<const std::vector<PlainAttribute>*>(*arg)) {
        qrvanalytics_UserAttribute s = qrvanalytics_UserAttribute_init_zero;
        setString(s.name, a.name);
        setString(s.string_value, a.text);
        s.has_set_timestamp_millis = true;
        s.set_timestamp_millis = a.timestamp;
        if (!pb_encode_tag_for_field(stream, field) ||
            !pb_encode_submessage(stream, qrvanalytics_UserAttribute_fields, &s))
            return false;
    }
    return true;
}

size_t plainEncode(const PlainBundle& b, std::vector<uint8_t>& out) {
    qrvanalytics_MeasurementBundle s = qrvanalytics_MeasurementBundle_init_zero;
    s.has_protocol_version = true;
    s.protocol_version = 1;
    setString(s.app_id, b.appID);
    setString(s.app_instance_id, b.appInstanceID);
    setString(s.os_version, b.osVersion);
    s.has_start_timestamp_millis = s.has_end_timestamp_millis = s.has_upload_timestamp_millis = true;
    s.start_timestamp_millis = b.start;
    s.end_timestamp_millis = b.end;
    s.upload_timestamp_millis = b.upload;
    s.has_bundle_index = true;
    s.bundle_index = b.index;
    s.events.funcs.encode = writeEvents;
    s.events.arg = const_cast<std::vector<PlainEvent>*>(&b.events);
    s.user_attributes.funcs.encode = writeAttributes;
    s.user_attributes.arg = const_cast<std::vector<PlainAttribute>*>(&b.attributes);
    pb_ostream_t stream = pb_ostream_from_buffer(out.data(), out.size());
    return pb_encode(&stream, qrvanalytics_MeasurementBundle_fields, &s) ? stream.bytes_written : 0;
}

bool readString(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto* s = static_cast<std::string*>(*arg);
    s->resize(stream->bytes_left);
    return pb_read(stream, reinterpret_cast<pb_byte_t*>(s->data()), s->size());
}

void getString(pb_callback_t& callback, std::string& s) {
    callback.funcs.decode = readString;
    callback.arg = &s;
}

bool readParam(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto& p = static_cast<std::vector<PlainParam>*>(*arg)->emplace_back();
    qrvanalytics_EventParam s = qrvanalytics_EventParam_init_zero;
    getString(s.name, p.name);
    getString(s.string_value, p.text);
    if (!pb_decode(stream, qrvanalytics_EventParam_fields, &s)) return false;
    p.kind = s.has_int_value ? 2 : s.has_double_value ? 3 : 1;
    p.integer = s.int_value;
    p.real = s.double_value;
    return true;
}

bool readEvent(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto& e = static_cast<std::vector<PlainEvent>*>(*arg)->emplace_back();
    qrvanalytics_Event s = qrvanalytics_Event_init_zero;
    getString(s.name, e.name);
    s.params.funcs.decode = readParam;
    s.params.arg = &e.params;
    if (!pb_decode(stream, qrvanalytics_Event_fields, &s)) return false;
    e.timestamp = s.timestamp_millis;
    e.previous = s.previous_timestamp_millis;
    return true;
}

bool readAttribute(pb_istream_t* stream, const pb_field_t*, void** arg) {
    auto& a = static_cast<std::vector<PlainAttribute>*>(*arg)->emplace_back();
    qrvanalytics_UserAttribute s = qrvanalytics_UserAttribute_init_zero;
    getString(s.name, a.name);
    getString(s.string_value, a.text);
    if (!pb_decode(stream, qrvanalytics_UserAttribute_fields, &s)) return false;
    a.timestamp = s.set_timestamp_millis;
    return true;
}

bool plainDecode(const ns::Data& bytes, PlainBundle& b) {
    qrvanalytics_MeasurementBundle s = qrvanalytics_MeasurementBundle_init_zero;
    getString(s.app_id, b.appID);
    getString(s.app_instance_id, b.appInstanceID);
    getString(s.os_version, b.osVersion);
    s.events.funcs.decode = readEvent;
    s.events.arg = &b.events;
    s.user_attributes.funcs.decode = readAttribute;
    s.user_attributes.arg = &b.attributes;
    pb_istream_t stream = pb_istream_from_buffer(bytes.data(), bytes.size());
    if (!pb_decode(&stream, qrvanalytics_MeasurementBundle_fields, &s)) return false;
    b.start = s.start_timestamp_millis;
    b.end = s.end_timestamp_millis;
    b.upload = s.upload_timestamp_millis;
    b.index = s.bundle_index;
    return true;
}

double secondsOf(const std::function<void()>& fn) {
    auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void AnalyticsBundleEncode1000Events(benchmark::State& state) {
    PlainBundle plain = sampleBundle();
    auto bundle = wrap(plain);
    ns::Data wire = bundle->protoBuffer().value();
    std::vector<uint8_t> out(wire.size());
    if (plainEncode(plain, out) != wire.size() || out != wire) {
        state.SkipWithError("the two encoders disagree");
        return;
    }
    double subject = 0, baseline = 0;
    for (auto _ : state) {
        subject += secondsOf([&] { benchmark::DoNotOptimize(bundle->protoBuffer()); });
        baseline += secondsOf([&] { benchmark::DoNotOptimize(plainEncode(plain, out)); });
    }
    state.counters["ratio"] = subject / baseline;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(wire.size()));
}
BENCHMARK(AnalyticsBundleEncode1000Events)->Unit(benchmark::kMillisecond);

void AnalyticsBundleDecode1000Events(benchmark::State& state) {
    ns::Data wire = wrap(sampleBundle()).get()->protoBuffer().value();
    PlainBundle check;
    auto decoded = QRVAPBMeasurementBundle::initWithBuffer(wire);
    if (!plainDecode(wire, check) || check.events.size() != 1000 || !decoded ||
        decoded->protoBuffer() != wire) {
        state.SkipWithError("a decoder lost data");
        return;
    }
    double subject = 0, baseline = 0;
    for (auto _ : state) {
        subject += secondsOf([&] { benchmark::DoNotOptimize(QRVAPBMeasurementBundle::initWithBuffer(wire)); });
        baseline += secondsOf([&] {
            PlainBundle b;
            benchmark::DoNotOptimize(plainDecode(wire, b));
        });
    }
    state.counters["ratio"] = subject / baseline;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(wire.size()));
}
BENCHMARK(AnalyticsBundleDecode1000Events)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
