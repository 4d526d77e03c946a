// The wrappers against a second, independent codec: random messages of every
// type go from libprotobuf through our decoder, and from our encoder through
// libprotobuf, and must come back equal field by field. Our encoding must
// also be byte for byte what libprotobuf writes (ascending tags, unpacked
// repeated numbers), so an encoder fault cannot hide behind our own decoder.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>

#include "wire_reflection.h"

namespace pb = google::protobuf;
using namespace wiretest;

namespace {

class Generator {
public:
    explicit Generator(uint32_t seed) : random_(seed) {}

    void fill(pb::Message& message, int depth) {
        const pb::Descriptor* d = message.GetDescriptor();
        const pb::Reflection* r = message.GetReflection();
        for (int i = 0; i < d->field_count(); ++i) {
            const pb::FieldDescriptor* f = d->field(i);
            if (f->is_repeated()) {
                int count = depth > 3 ? 0 : pick(0, f->type() == pb::FieldDescriptor::TYPE_MESSAGE ? 3 : 4);
                for (int k = 0; k < count; ++k) add(message, r, f, depth);
            } else if (pick(0, 2) > 0) {
                set(message, r, f, depth);
            }
        }
    }

private:
    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

    int64_t integer() {
        switch (pick(0, 4)) {
        case 0: return 0;
        case 1: return -pick(1, 1000);
        case 2: return static_cast<int64_t>(random_());
        case 3: return std::numeric_limits<int64_t>::min() + pick(0, 2);
        default: return pick(1, 300);
        }
    }

    double real() {
        switch (pick(0, 3)) {
        case 0: return 0.0;
        case 1: return -0.0;
        case 2: return std::uniform_real_distribution<double>(-1e12, 1e12)(random_);
        default: return pick(-5, 5) / 8.0;
        }
    }

    std::string text() {
        static const char* const pieces[] = {"a", "Z", "_", "9", " ", "ñ", "€", "𝄞", "\x7f", "caja", "", "%"};
        std::string s;
        for (int n = pick(0, 6); n > 0; --n) s += pieces[pick(0, std::size(pieces) - 1)];
        return s;
    }

    void set(pb::Message& m, const pb::Reflection* r, const pb::FieldDescriptor* f, int depth) {
        switch (f->cpp_type()) {
        case pb::FieldDescriptor::CPPTYPE_INT32: r->SetInt32(&m, f, static_cast<int32_t>(integer())); break;
        case pb::FieldDescriptor::CPPTYPE_UINT32: r->SetUInt32(&m, f, static_cast<uint32_t>(integer())); break;
        case pb::FieldDescriptor::CPPTYPE_INT64: r->SetInt64(&m, f, integer()); break;
        case pb::FieldDescriptor::CPPTYPE_BOOL: r->SetBool(&m, f, pick(0, 1)); break;
        case pb::FieldDescriptor::CPPTYPE_FLOAT: r->SetFloat(&m, f, static_cast<float>(real())); break;
        case pb::FieldDescriptor::CPPTYPE_DOUBLE: r->SetDouble(&m, f, real()); break;
        case pb::FieldDescriptor::CPPTYPE_STRING: r->SetString(&m, f, text()); break;
        case pb::FieldDescriptor::CPPTYPE_MESSAGE: fill(*r->MutableMessage(&m, f), depth + 1); break;
        default: FAIL() << "no such field type in the schema: " << f->full_name();
        }
    }

    void add(pb::Message& m, const pb::Reflection* r, const pb::FieldDescriptor* f, int depth) {
        switch (f->cpp_type()) {
        case pb::FieldDescriptor::CPPTYPE_UINT64: r->AddUInt64(&m, f, static_cast<uint64_t>(integer())); break;
        case pb::FieldDescriptor::CPPTYPE_STRING: r->AddString(&m, f, text()); break;
        case pb::FieldDescriptor::CPPTYPE_MESSAGE: fill(*r->AddMessage(&m, f), depth + 1); break;
        default: FAIL() << "no such repeated field type in the schema: " << f->full_name();
        }
    }

    std::mt19937 random_;
};

}  // namespace

TEST(CrossCodec, RandomMessagesOfEveryTypeAgreeBothWays) {
    const pb::FileDescriptor* file = qrvanalytics::MeasurementBatch::descriptor()->file();
    ASSERT_EQ(file->message_type_count(), 16);
    constexpr int kPerType = 640;  // 10,240 messages in all
    Generator generator(20261208);
    int checked = 0;
    for (int t = 0; t < file->message_type_count(); ++t) {
        const pb::Descriptor* type = file->message_type(t);
        const pb::Message* prototype = pb::MessageFactory::generated_factory()->GetPrototype(type);
        for (int n = 0; n < kPerType; ++n) {
            std::unique_ptr<pb::Message> original(prototype->New());
            generator.fill(*original, 0);
            std::string theirs = original->SerializeAsString();

            // libprotobuf's encoder -> our decoder.
            auto decoded = wrapperFor(type).decode(ns::Data(theirs.begin(), theirs.end()));
            ASSERT_TRUE(decoded) << type->name() << ": " << original->ShortDebugString();
            std::unique_ptr<pb::Message> read(prototype->New());
            fromWrapper(decoded, *read);
            ASSERT_EQ(differences(*original, *read), "") << type->name();

            // Our encoder -> libprotobuf's decoder, and the same bytes.
            auto ours = toWrapper(*original)->protoBuffer();
            ASSERT_TRUE(ours) << type->name();
            std::unique_ptr<pb::Message> parsed(prototype->New());
            ASSERT_TRUE(parsed->ParseFromArray(ours->data(), static_cast<int>(ours->size()))) << type->name();
            ASSERT_EQ(differences(*original, *parsed), "") << type->name();
            ASSERT_EQ(std::string(ours->begin(), ours->end()), theirs) << type->name();
            ++checked;
        }
    }
    EXPECT_EQ(checked, 16 * kPerType);
}
