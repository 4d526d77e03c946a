#pragma once
// The analytics wrappers read and written through libprotobuf's reflection of
// the same schema: a second codec's view of a message, field by field. Field
// IDs are declaration positions, which is what a field descriptor's index is.

#include <gtest/gtest.h>
#include <google/protobuf/message.h>
#include <google/protobuf/util/message_differencer.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>

#include "analytics/QRVAPBMessages.h"
#include "analytics_proto/qrvanalytics.pb.h"

namespace wiretest {

namespace pb = google::protobuf;

struct WrapperClass {
    std::function<NANOMessagePtr()> make;
    std::function<NANOMessagePtr(const ns::Data&)> decode;
    const NANOMessageClass* messageClass;
};

template <class W>
WrapperClass wrapper() {
    return {[] { return W::message(); }, [](const ns::Data& d) -> NANOMessagePtr { return W::initWithBuffer(d); },
            &W::messageClass()};
}

inline const WrapperClass& wrapperFor(const pb::Descriptor* descriptor) {
    static const std::map<std::string, WrapperClass> classes = {
        {"Audience", wrapper<QRVAPBAudience>()},
        {"AudienceLeafFilterResult", wrapper<QRVAPBAudienceLeafFilterResult>()},
        {"Event", wrapper<QRVAPBEvent>()},
        {"EventConfig", wrapper<QRVAPBEventConfig>()},
        {"EventFilter", wrapper<QRVAPBEventFilter>()},
        {"EventParam", wrapper<QRVAPBEventParam>()},
        {"Filter", wrapper<QRVAPBFilter>()},
        {"MeasurementBatch", wrapper<QRVAPBMeasurementBatch>()},
        {"MeasurementBundle", wrapper<QRVAPBMeasurementBundle>()},
        {"MeasurementConfig", wrapper<QRVAPBMeasurementConfig>()},
        {"NumberFilter", wrapper<QRVAPBNumberFilter>()},
        {"PropertyFilter", wrapper<QRVAPBPropertyFilter>()},
        {"ResultData", wrapper<QRVAPBResultData>()},
        {"Setting", wrapper<QRVAPBSetting>()},
        {"StringFilter", wrapper<QRVAPBStringFilter>()},
        {"UserAttribute", wrapper<QRVAPBUserAttribute>()},
    };
    return classes.at(descriptor->name());
}

inline int32_t idOf(const pb::FieldDescriptor* field) {
    return field->index();
}

// libprotobuf's message -> a wrapper, through the NANO accessors only (float
// fields, which no accessor writes, through the record's cell).
inline NANOMessagePtr toWrapper(const pb::Message& m) {
    const pb::Descriptor* d = m.GetDescriptor();
    const pb::Reflection* r = m.GetReflection();
    NANOMessagePtr w = wrapperFor(d).make();
    for (int i = 0; i < d->field_count(); ++i) {
        const pb::FieldDescriptor* f = d->field(i);
        int32_t id = idOf(f);
        if (f->is_repeated()) {
            ns::Array array;
            for (int k = 0; k < r->FieldSize(m, f); ++k) {
                switch (f->cpp_type()) {
                case pb::FieldDescriptor::CPPTYPE_UINT64: array.emplace_back(r->GetRepeatedUInt64(m, f, k)); break;
                case pb::FieldDescriptor::CPPTYPE_STRING: array.emplace_back(r->GetRepeatedString(m, f, k)); break;
                default: array.emplace_back(ns::ObjectPtr(toWrapper(r->GetRepeatedMessage(m, f, k))));
                }
            }
            NANOSetArray(w, id, array);
            continue;
        }
        if (!r->HasField(m, f)) continue;
        switch (f->cpp_type()) {
        case pb::FieldDescriptor::CPPTYPE_INT32: NANOSetInt32(w, id, r->GetInt32(m, f)); break;
        case pb::FieldDescriptor::CPPTYPE_UINT32: NANOSetInt32(w, id, static_cast<int32_t>(r->GetUInt32(m, f))); break;
        case pb::FieldDescriptor::CPPTYPE_INT64: NANOSetInt64(w, id, r->GetInt64(m, f)); break;
        case pb::FieldDescriptor::CPPTYPE_BOOL: NANOSetBool(w, id, r->GetBool(m, f)); break;
        case pb::FieldDescriptor::CPPTYPE_FLOAT: nano_set_float(&w->messageInfo()->messageFields[id], r->GetFloat(m, f)); break;
        case pb::FieldDescriptor::CPPTYPE_DOUBLE: NANOSetDouble(w, id, r->GetDouble(m, f)); break;
        case pb::FieldDescriptor::CPPTYPE_STRING: NANOSetString(w, id, r->GetString(m, f)); break;
        default: NANOSetMessage(w, id, toWrapper(r->GetMessage(m, f)));
        }
    }
    return w;
}

// A wrapper -> libprotobuf's message of the same type, read through the
// accessors.
inline void fromWrapper(const NANOMessagePtr& w, pb::Message& m) {
    const pb::Descriptor* d = m.GetDescriptor();
    const pb::Reflection* r = m.GetReflection();
    for (int i = 0; i < d->field_count(); ++i) {
        const pb::FieldDescriptor* f = d->field(i);
        int32_t id = idOf(f);
        if (f->is_repeated()) {
            const NANOMessageClass* element =
                f->message_type() ? wrapperFor(f->message_type()).messageClass : nullptr;
            auto array = NANOGetArray(w, id, element);
            ASSERT_TRUE(array) << f->full_name();
            for (const auto& v : *array) {
                switch (f->cpp_type()) {
                case pb::FieldDescriptor::CPPTYPE_UINT64: r->AddUInt64(&m, f, v.asUInt()); break;
                case pb::FieldDescriptor::CPPTYPE_STRING: r->AddString(&m, f, v.asString()); break;
                default: fromWrapper(v.asObjectOf<NANOMessageBase>(), *r->AddMessage(&m, f));
                }
            }
            continue;
        }
        if (!NANOHasField(w, id)) continue;
        switch (f->cpp_type()) {
        case pb::FieldDescriptor::CPPTYPE_INT32: r->SetInt32(&m, f, NANOGetInt32(w, id)); break;
        case pb::FieldDescriptor::CPPTYPE_UINT32: r->SetUInt32(&m, f, static_cast<uint32_t>(NANOGetInt32(w, id))); break;
        case pb::FieldDescriptor::CPPTYPE_INT64: r->SetInt64(&m, f, NANOGetInt64(w, id)); break;
        case pb::FieldDescriptor::CPPTYPE_BOOL: r->SetBool(&m, f, NANOGetBool(w, id)); break;
        case pb::FieldDescriptor::CPPTYPE_FLOAT: {
            float value;
            memcpy(&value, w->messageInfo()->messageFields[id], sizeof value);
            r->SetFloat(&m, f, value);
            break;
        }
        case pb::FieldDescriptor::CPPTYPE_DOUBLE: r->SetDouble(&m, f, NANOGetDouble(w, id)); break;
        case pb::FieldDescriptor::CPPTYPE_STRING: r->SetString(&m, f, NANOGetString(w, id).value_or("<not UTF-8>")); break;
        default: {
            auto sub = NANOGetMessage(w, id, *wrapperFor(f->message_type()).messageClass);
            ASSERT_TRUE(sub) << f->full_name();
            fromWrapper(sub, *r->MutableMessage(&m, f));
        }
        }
    }
}

inline std::string differences(const pb::Message& a, const pb::Message& b) {
    std::string report;
    pb::util::MessageDifferencer differ;
    differ.ReportDifferencesToString(&report);
    return differ.Compare(a, b) ? "" : report;
}

}  // namespace wiretest
