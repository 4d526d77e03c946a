#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/nano/NANOMessage.h"
#include "core/nano/nano_pb.h"
#include "nano_test_message.pb.h"
#include "platform/format.h"
#include "platform/system_log.h"

namespace ns {
// Readable gtest failure output for values and arrays of them.
void PrintTo(const Value& value, std::ostream* os) {
    *os << value.description();
}
}  // namespace ns

// A message family for the test schema, written the way the SDK's message
// families are: init / free-field / free / copy over MessageInfo records,
// decode in two passes with the layer's callbacks, encode through the
// two-pass encoder. Records are kept generic (driven by the flag tables);
// only the nanopb structures differ per message.
namespace {

struct Family {
    const char* name;
    const uint32_t* types;
    int32_t count;
    const Family* const* subs;  // per field: the sub-message family, or null
};

const char kLeafName[] = "Leaf";
const uint32_t kLeafTypes[] = {NANO_TYPE_STRING | NANO_LABEL_OPTIONAL, NANO_TYPE_UINT64 | NANO_LABEL_REPEATED};
const Family* const kLeafSubs[] = {nullptr, nullptr};
const Family kLeaf{kLeafName, kLeafTypes, 2, kLeafSubs};

const char kSampleName[] = "Sample";
enum SampleField : int32_t { kFlag, kSmall, kUnsignedSmall, kBig, kRatio, kApprox, kName, kBlob, kLeafID, kTags, kCounters, kLeaves };
const uint32_t kSampleTypes[] = {
    NANO_TYPE_BOOL | NANO_LABEL_OPTIONAL,    NANO_TYPE_INT32 | NANO_LABEL_OPTIONAL,
    NANO_TYPE_UINT32 | NANO_LABEL_OPTIONAL,  NANO_TYPE_INT64 | NANO_LABEL_OPTIONAL,
    NANO_TYPE_DOUBLE | NANO_LABEL_OPTIONAL,  NANO_TYPE_FLOAT | NANO_LABEL_OPTIONAL,
    NANO_TYPE_STRING | NANO_LABEL_OPTIONAL,  NANO_TYPE_STRING | NANO_LABEL_OPTIONAL,
    NANO_TYPE_MESSAGE | NANO_LABEL_OPTIONAL, NANO_TYPE_STRING | NANO_LABEL_REPEATED,
    NANO_TYPE_UINT64 | NANO_LABEL_REPEATED,  NANO_TYPE_MESSAGE | NANO_LABEL_REPEATED,
};
const Family* const kSampleSubs[] = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, &kLeaf,  nullptr, nullptr, &kLeaf};
const Family kSample{kSampleName, kSampleTypes, 12, kSampleSubs};

bool initRecord(const Family& f, MessageInfo* info) {
    if (info == nullptr) return false;
    info->messageName = f.name;
    info->fieldTypes = f.types;
    info->messageFields = static_cast<void**>(calloc(f.count, sizeof(void*)));
    if (info->messageFields == nullptr) return false;
    for (int32_t i = 0; i < f.count; ++i) {
        if (f.types[i] & NANO_LABEL_REPEATED) {
            info->messageFields[i] = calloc(1, sizeof(ArrayInfo));
        }
    }
    return true;
}

bool freeRecord(const Family& f, MessageInfo* info);

void freeItem(const Family& f, int32_t id, void* item) {
    if (f.types[id] & NANO_TYPE_STRING) {
        nano_free_string(static_cast<StringInfo*>(item));
        free(item);
    } else if (f.types[id] & NANO_TYPE_MESSAGE) {
        freeRecord(*f.subs[id], static_cast<MessageInfo*>(item));
    } else {
        free(item);
    }
}

bool freeField(const Family& f, MessageInfo* info, int32_t id) {
    if (info == nullptr || id < 0 || id >= f.count) {
        ns::console(ns::format("<ERROR> %s: Cannot deallocate field %d: Unknown field", f.name, id));
        return false;
    }
    void*& slot = info->messageFields[id];
    if (f.types[id] & NANO_LABEL_REPEATED) {
        auto* array = static_cast<ArrayInfo*>(slot);
        if (array != nullptr) {
            for (uint32_t i = 0; i < array->count && array->items; ++i) {
                if (array->items[i]) freeItem(f, id, array->items[i]);
            }
            nano_init_array_info(array);
        }
    } else if (slot != nullptr) {
        freeItem(f, id, slot);
        slot = nullptr;
    }
    return true;
}

bool freeRecord(const Family& f, MessageInfo* info) {
    if (info == nullptr) return false;
    if (info->messageFields != nullptr) {
        for (int32_t i = 0; i < f.count; ++i) {
            freeField(f, info, i);
            if (f.types[i] & NANO_LABEL_REPEATED) free(info->messageFields[i]);
        }
        free(info->messageFields);
    }
    free(info);
    return true;
}

MessageInfo* newRecord(const Family& f) {
    auto* info = static_cast<MessageInfo*>(calloc(1, sizeof(MessageInfo)));
    if (!initRecord(f, info)) {
        free(info);
        return nullptr;
    }
    return info;
}

bool copyRecord(const Family& f, MessageInfo** destination, const MessageInfo* source);

void* copyItem(const Family& f, int32_t id, const void* item) {
    if (f.types[id] & NANO_TYPE_STRING) {
        const auto* s = static_cast<const StringInfo*>(item);
        void* copy = nullptr;
        nano_set_string(&copy, s->data, s->length);
        return copy;
    }
    if (f.types[id] & NANO_TYPE_MESSAGE) {
        MessageInfo* copy = nullptr;
        return copyRecord(*f.subs[id], &copy, static_cast<const MessageInfo*>(item)) ? copy : nullptr;
    }
    void* cell = malloc(8);
    memcpy(cell, item, 8);
    return cell;
}

bool copyRecord(const Family& f, MessageInfo** destination, const MessageInfo* source) {
    if (destination == nullptr || source == nullptr) return false;
    if (*destination) freeRecord(f, *destination);
    *destination = newRecord(f);
    if (*destination == nullptr) return false;
    for (int32_t i = 0; i < f.count; ++i) {
        const void* from = source->messageFields[i];
        if (from == nullptr) continue;
        if (f.types[i] & NANO_LABEL_REPEATED) {
            const auto* a = static_cast<const ArrayInfo*>(from);
            auto* b = static_cast<ArrayInfo*>((*destination)->messageFields[i]);
            if (a->count == 0) continue;
            b->items = static_cast<void**>(calloc(a->count, sizeof(void*)));
            for (uint32_t k = 0; k < a->count; ++k) {
                b->items[k] = copyItem(f, i, a->items[k]);
                if (b->items[k] == nullptr) return false;
                b->count = b->filled = k + 1;
            }
        } else {
            (*destination)->messageFields[i] = copyItem(f, i, from);
            if ((*destination)->messageFields[i] == nullptr) return false;
        }
    }
    return true;
}

template <const Family& F>
bool initFn(MessageInfo* info) { return initRecord(F, info); }
template <const Family& F>
bool freeFieldFn(MessageInfo* info, int32_t id) { return freeField(F, info, id); }
template <const Family& F>
bool freeFn(MessageInfo* info) { return freeRecord(F, info); }
template <const Family& F>
bool copyFn(MessageInfo** destination, const MessageInfo* source) { return copyRecord(F, destination, source); }

// -- nanopb side

void* slotValue(const MessageInfo* info, int32_t id) { return info->messageFields[id]; }

void allocItems(void* slot) {
    auto* a = static_cast<ArrayInfo*>(slot);
    if (a->count > 0) a->items = static_cast<void**>(calloc(a->count, sizeof(void*)));
    a->filled = 0;
}

void setLeafDecoders(MessageInfo* info, nanotest_Leaf* s) {
    s->label.funcs.decode = nano_decode_string;
    s->label.arg = &info->messageFields[0];
    s->marks.funcs.decode = nano_decode_repeated_uint64;
    s->marks.arg = slotValue(info, 1);
}

bool leafDecode(const uint8_t* bytes, size_t length, MessageInfo* info) {
    if (info == nullptr) return false;
    nanotest_Leaf s = nanotest_Leaf_init_zero;
    nano_init_array_info(static_cast<ArrayInfo*>(slotValue(info, 1)));
    setLeafDecoders(info, &s);
    pb_istream_t first = pb_istream_from_buffer(bytes, length);
    if (!pb_decode(&first, nanotest_Leaf_fields, &s)) return false;
    allocItems(slotValue(info, 1));
    pb_istream_t second = pb_istream_from_buffer(bytes, length);
    return pb_decode(&second, nanotest_Leaf_fields, &s);
}

bool leafDecodeRepeated(pb_istream_t* stream, const pb_field_t* field, void** arg) {
    auto* a = arg ? static_cast<ArrayInfo*>(*arg) : nullptr;
    if (a == nullptr) return false;
    if (a->items == nullptr) {
        a->count++;
        return pb_read(stream, nullptr, stream->bytes_left);
    }
    if (a->filled >= a->count) return false;
    std::vector<uint8_t> buffer(stream->bytes_left);
    if (!pb_read(stream, buffer.data(), buffer.size())) return false;
    MessageInfo* element = newRecord(kLeaf);
    if (element == nullptr || !leafDecode(buffer.data(), buffer.size(), element)) {
        freeRecord(kLeaf, element);
        return false;
    }
    a->items[a->filled++] = element;
    return true;
}

void leafSetEncoders(const MessageInfo* info, nanotest_Leaf* s) {
    if (void* label = slotValue(info, 0)) {
        s->label.funcs.encode = nano_encode_string;
        s->label.arg = label;
    }
    auto* marks = static_cast<ArrayInfo*>(slotValue(info, 1));
    if (marks->count > 0) {
        s->marks.funcs.encode = nano_encode_repeated_uint64;
        s->marks.arg = marks;
    }
}

uint32_t leafEncode(const MessageInfo* info, uint8_t** buffer) {
    if (info == nullptr || buffer == nullptr) return NANO_ENCODE_FAILURE;
    nanotest_Leaf s = nanotest_Leaf_init_zero;
    leafSetEncoders(info, &s);
    return nano_two_pass_encoding(nanotest_Leaf_fields, &s, buffer);
}

bool leafEncodeRepeated(pb_ostream_t* stream, const pb_field_t* field, void* const* arg) {
    const auto* a = static_cast<const ArrayInfo*>(*arg);
    for (uint32_t i = 0; i < a->count; ++i) {
        nanotest_Leaf s = nanotest_Leaf_init_zero;
        leafSetEncoders(static_cast<const MessageInfo*>(a->items[i]), &s);
        if (!pb_encode_tag_for_field(stream, field) || !pb_encode_submessage(stream, nanotest_Leaf_fields, &s)) {
            return false;
        }
    }
    return true;
}

template <class T>
T cell(const MessageInfo* info, int32_t id) {
    T v;
    memcpy(&v, slotValue(info, id), sizeof v);
    return v;
}

bool sampleDecode(const uint8_t* bytes, size_t length, MessageInfo* info) {
    if (info == nullptr) return false;
    nanotest_Sample s = nanotest_Sample_init_zero;
    s.name.funcs.decode = nano_decode_string;
    s.name.arg = &info->messageFields[kName];
    s.blob.funcs.decode = nano_decode_string;
    s.blob.arg = &info->messageFields[kBlob];
    s.tags.funcs.decode = nano_decode_repeated_string;
    s.tags.arg = slotValue(info, kTags);
    s.counters.funcs.decode = nano_decode_repeated_uint64;
    s.counters.arg = slotValue(info, kCounters);
    nano_init_array_info(static_cast<ArrayInfo*>(slotValue(info, kLeaves)));
    s.leaves.funcs.decode = leafDecodeRepeated;
    s.leaves.arg = slotValue(info, kLeaves);
    freeField(kSample, info, kLeafID);
    MessageInfo* leaf = newRecord(kLeaf);
    info->messageFields[kLeafID] = leaf;
    setLeafDecoders(leaf, &s.leaf);

    pb_istream_t first = pb_istream_from_buffer(bytes, length);
    if (!pb_decode(&first, nanotest_Sample_fields, &s)) {
        ns::console(ns::format("<ERROR> Sample decoder failed: %s", PB_GET_ERROR(&first)));
        return false;
    }
    for (int32_t id : {kTags, kCounters, kLeaves}) allocItems(slotValue(info, id));
    allocItems(slotValue(leaf, 1));
    pb_istream_t second = pb_istream_from_buffer(bytes, length);
    if (!pb_decode(&second, nanotest_Sample_fields, &s)) {
        ns::console(ns::format("<ERROR> Sample decoder failed: %s", PB_GET_ERROR(&second)));
        return false;
    }
    if (s.has_flag) nano_set_bool(&info->messageFields[kFlag], s.flag);
    if (s.has_small) nano_set_uint32(&info->messageFields[kSmall], static_cast<uint32_t>(s.small));
    if (s.has_unsigned_small) nano_set_uint32(&info->messageFields[kUnsignedSmall], s.unsigned_small);
    if (s.has_big) nano_set_uint64(&info->messageFields[kBig], static_cast<uint64_t>(s.big));
    if (s.has_ratio) nano_set_double(&info->messageFields[kRatio], s.ratio);
    if (s.has_approx) nano_set_float(&info->messageFields[kApprox], s.approx);
    if (!s.has_leaf) freeField(kSample, info, kLeafID);
    return true;
}

uint32_t sampleEncode(const MessageInfo* info, uint8_t** buffer) {
    if (info == nullptr || buffer == nullptr) return NANO_ENCODE_FAILURE;
    nanotest_Sample s = nanotest_Sample_init_zero;
    if (slotValue(info, kFlag)) { s.has_flag = true; s.flag = cell<bool>(info, kFlag); }
    if (slotValue(info, kSmall)) { s.has_small = true; s.small = cell<int32_t>(info, kSmall); }
    if (slotValue(info, kUnsignedSmall)) { s.has_unsigned_small = true; s.unsigned_small = cell<uint32_t>(info, kUnsignedSmall); }
    if (slotValue(info, kBig)) { s.has_big = true; s.big = cell<int64_t>(info, kBig); }
    if (slotValue(info, kRatio)) { s.has_ratio = true; s.ratio = cell<double>(info, kRatio); }
    if (slotValue(info, kApprox)) { s.has_approx = true; s.approx = cell<float>(info, kApprox); }
    for (auto [id, callback] : {std::pair{kName, &s.name}, std::pair{kBlob, &s.blob}}) {
        if (void* string = slotValue(info, id)) {
            callback->funcs.encode = nano_encode_string;
            callback->arg = string;
        }
    }
    if (auto* leaf = static_cast<const MessageInfo*>(slotValue(info, kLeafID))) {
        s.has_leaf = true;
        leafSetEncoders(leaf, &s.leaf);
    }
    auto setArray = [&](int32_t id, pb_callback_t& callback, auto encoder) {
        auto* a = static_cast<ArrayInfo*>(slotValue(info, id));
        if (a->count > 0) {
            callback.funcs.encode = encoder;
            callback.arg = a;
        }
    };
    setArray(kTags, s.tags, nano_encode_repeated_string);
    setArray(kCounters, s.counters, nano_encode_repeated_uint64);
    setArray(kLeaves, s.leaves, leafEncodeRepeated);
    return nano_two_pass_encoding(nanotest_Sample_fields, &s, buffer);
}

const NANOMessageFunctions kLeafFunctions{"TestLeaf", kLeafName, initFn<kLeaf>, freeFieldFn<kLeaf>,
                                          copyFn<kLeaf>, freeFn<kLeaf>, leafDecode, leafEncode};
const NANOMessageFunctions kSampleFunctions{"TestSample", kSampleName, initFn<kSample>, freeFieldFn<kSample>,
                                            copyFn<kSample>, freeFn<kSample>, sampleDecode, sampleEncode};

class TestLeaf : public NANOMessageObject {
public:
    TestLeaf() : NANOMessageObject(kLeafFunctions) {}
    static std::shared_ptr<TestLeaf> initWithMessageInfo(const MessageInfo* info) { return create<TestLeaf>(info); }
    static std::shared_ptr<TestLeaf> make() { return initWithMessageInfo(nullptr); }
};

class TestSample : public NANOMessageObject {
public:
    TestSample() : NANOMessageObject(kSampleFunctions) {}
    static std::shared_ptr<TestSample> initWithMessageInfo(const MessageInfo* info) { return create<TestSample>(info); }
    static std::shared_ptr<TestSample> initWithBuffer(std::span<const uint8_t> bytes) {
        return createFromBuffer<TestSample>(bytes);
    }
    static std::shared_ptr<TestSample> make() { return initWithMessageInfo(nullptr); }
};

const NANOMessageClass kLeafClass = NANOMessageClass::of<TestLeaf>("TestLeaf");

// A wrapper whose initialisation never produced a record.
class Hollow : public NANOMessageBase {
public:
    const char* messageID() const override { return "Hollow"; }
    std::optional<ns::Data> protoBuffer() const override { return std::nullopt; }
    NANOInitMessageInfoFn initMessageInfoFn() const override { return nullptr; }
    NANODeallocMessageFieldFn deallocMessageFieldFn() const override { return nullptr; }
    NANOCopyMessageInfoFn copyMessageInfoFn() const override { return nullptr; }
    MessageInfo* messageInfo() const override { return nullptr; }
};

std::shared_ptr<TestLeaf> leaf(const char* label, std::vector<uint64_t> marks) {
    auto l = TestLeaf::make();
    NANOSetString(l, 0, label);
    ns::Array values;
    for (uint64_t m : marks) values.emplace_back(m);
    NANOSetArray(l, 1, values);
    return l;
}

std::string leafLabel(const ns::Value& v) {
    auto l = v.asObjectOf<TestLeaf>();
    return l ? NANOGetString(l, 0).value_or("<unset>") : "<not a leaf>";
}

ns::Data bytesOf(std::initializer_list<int> bytes) {
    ns::Data d;
    for (int b : bytes) d.push_back(static_cast<uint8_t>(b));
    return d;
}

// A Sample on the wire holding one length-delimited field `tag` of `size` bytes.
ns::Data withLongField(int tag, size_t size) {
    ns::Data d{static_cast<uint8_t>(tag << 3 | 2)};
    for (size_t n = size; ; n >>= 7) {
        d.push_back(static_cast<uint8_t>((n & 0x7F) | (n >= 0x80 ? 0x80 : 0)));
        if (n < 0x80) break;
    }
    d.insert(d.end(), size, 'x');
    return d;
}

}  // namespace

TEST(NanoAccessors, ScalarsOfEveryKindReadBackAndClear) {
    auto m = TestSample::make();
    ASSERT_TRUE(m);
    for (int32_t id : {kFlag, kSmall, kUnsignedSmall, kBig, kRatio, kName, kLeafID}) {
        EXPECT_FALSE(NANOHasField(m, id)) << id;
    }
    EXPECT_FALSE(NANOGetBool(m, kFlag));
    EXPECT_EQ(NANOGetInt32(m, kSmall), 0);
    EXPECT_EQ(NANOGetInt64(m, kBig), 0);
    EXPECT_EQ(NANOGetDouble(m, kRatio), 0.0);

    NANOSetBool(m, kFlag, true);
    NANOSetInt32(m, kSmall, -7);
    NANOSetInt32(m, kUnsignedSmall, -1);  // uint32 fields go through the Int32 accessors
    NANOSetInt64(m, kBig, -9000000000LL);
    NANOSetDouble(m, kRatio, 0.1);
    EXPECT_TRUE(NANOGetBool(m, kFlag));
    EXPECT_EQ(NANOGetInt32(m, kSmall), -7);
    EXPECT_EQ(NANOGetInt32(m, kUnsignedSmall), -1);
    EXPECT_EQ(cell<uint32_t>(m->messageInfo(), kUnsignedSmall), 0xFFFFFFFFu);
    EXPECT_EQ(NANOGetInt64(m, kBig), -9000000000LL);
    EXPECT_EQ(NANOGetDouble(m, kRatio), 0.1);

    // A second set reuses the cell.
    void* before = m->messageInfo()->messageFields[kSmall];
    NANOSetInt32(m, kSmall, 42);
    EXPECT_EQ(m->messageInfo()->messageFields[kSmall], before);
    EXPECT_EQ(NANOGetInt32(m, kSmall), 42);

    NANOSetBool(m, kFlag, false);
    EXPECT_TRUE(NANOHasField(m, kFlag)) << "false is a present value";
    NANOClearField(m, kFlag);
    NANOClearField(m, kBig);
    EXPECT_FALSE(NANOHasField(m, kFlag));
    EXPECT_FALSE(NANOHasField(m, kBig));
    EXPECT_EQ(NANOGetInt64(m, kBig), 0);
    EXPECT_TRUE(NANOHasField(m, kTags)) << "repeated fields always count as present";
}

TEST(NanoAccessors, WrongKindPrintsTheFailureLineAndChangesNothing) {
    auto m = TestSample::make();
    NANOSetInt32(m, kSmall, 5);
    NANOSetString(m, kName, "keep");
    auto capture = ns::Console::capture();

    EXPECT_FALSE(NANOGetBool(m, kSmall));
    EXPECT_EQ(NANOGetInt64(m, kSmall), 0);
    EXPECT_EQ(NANOGetDouble(m, kApprox), 0.0);  // float is not double
    EXPECT_EQ(NANOGetString(m, kSmall), std::nullopt);
    NANOSetInt64(m, kName, 9);
    NANOSetBool(m, kTags, true);  // a repeated field is never a scalar
    NANOSetString(m, kSmall, "x");
    EXPECT_EQ(NANOGetArray(m, kName), std::nullopt);
    NANOSetArray(m, kSmall, ns::Array{1, 2});
    EXPECT_EQ(NANOGetMessage(m, kName, kLeafClass), nullptr);
    NANOSetMessage(m, kSmall, TestLeaf::make());

    EXPECT_EQ(capture.lines(), (std::vector<std::string>{
                                   "<Nano/Failure> Field type isn't a scalar BOOL. Message: Sample, field ID: 1",
                                   "<Nano/Failure> Field type isn't a scalar INT64. Message: Sample, field ID: 1",
                                   "<Nano/Failure> Field type isn't a scalar DOUBLE. Message: Sample, field ID: 5",
                                   "<Nano/Failure> Field type isn't a scalar STRING. Message: Sample, field ID: 1",
                                   "<Nano/Failure> Field type isn't a scalar INT64. Message: Sample, field ID: 6",
                                   "<Nano/Failure> Field type isn't a scalar BOOL. Message: Sample, field ID: 9",
                                   "<Nano/Failure> Field type isn't a scalar STRING. Message: Sample, field ID: 1",
                                   "<Nano/Failure> Field type isn't REPEATED. Message: Sample, field ID: 6",
                                   "<Nano/Failure> Field type isn't REPEATED. Message: Sample, field ID: 1",
                                   "<Nano/Failure> Field type isn't a MESSAGE. Message: Sample, field ID: 6",
                                   "<Nano/Failure> Field type isn't a MESSAGE. Message: Sample, field ID: 1",
                               }));
    EXPECT_EQ(NANOGetInt32(m, kSmall), 5);
    EXPECT_EQ(NANOGetString(m, kName), "keep");
    EXPECT_EQ(NANOGetArray(m, kTags)->size(), 0u);
}

TEST(NanoAccessors, MessageWithoutRecord) {
    Hollow hollow;
    auto capture = ns::Console::capture();
    EXPECT_FALSE(NANOHasField(hollow, 0));
    EXPECT_FALSE(NANOHasField(nullptr, 0));
    EXPECT_EQ(NANOGetString(hollow, 0), std::nullopt);
    NANOSetInt64(hollow, 0, 1);
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "ProtocolBuffer message hasn't been initialized. HasField operation can't be performed. "
                        "Message name Hollow");
    EXPECT_EQ(lines[1], "ProtocolBuffer message hasn't been initialized. HasField operation can't be performed. "
                        "Message name (null)");

    // Setting a wrapper without a record into a field leaves the field alone.
    auto m = TestSample::make();
    auto l = leaf("kept", {});
    NANOSetMessage(m, kLeafID, l);
    NANOSetMessage(m, kLeafID, hollow);
    EXPECT_EQ(leafLabel(NANOGetMessage(m, kLeafID, kLeafClass)), "kept");
}

TEST(NanoAccessors, StringsAndBytes) {
    auto m = TestSample::make();
    EXPECT_EQ(NANOGetString(m, kName), std::nullopt);
    NANOSetString(m, kName, "señal");
    EXPECT_EQ(NANOGetString(m, kName), "señal");
    NANOSetString(m, kName, std::string("longer text than before"));
    EXPECT_EQ(NANOGetString(m, kName), "longer text than before");
    NANOSetString(m, kName, "");
    EXPECT_TRUE(NANOHasField(m, kName));
    EXPECT_EQ(NANOGetString(m, kName), "");

    // The record keeps the length and a terminating NUL after the bytes.
    const uint8_t raw[] = {'a', 0, 0xFF, 'b'};
    NANOSetBytes(m, kBlob, raw);
    const auto* record = static_cast<const StringInfo*>(m->messageInfo()->messageFields[kBlob]);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->length, 4u);
    EXPECT_EQ(0, memcmp(record->data, raw, 4));
    EXPECT_EQ(record->data[4], '\0');
    EXPECT_EQ(NANOGetString(m, kBlob), std::nullopt) << "0xFF is not UTF-8";
    const uint8_t text[] = {'o', 0, 'k'};
    NANOSetBytes(m, kBlob, text);
    EXPECT_EQ(NANOGetString(m, kBlob), std::string("o\0k", 3));

    NANOSetString(m, kName, static_cast<const char*>(nullptr));
    EXPECT_FALSE(NANOHasField(m, kName));
    EXPECT_EQ(NANOGetString(m, kName), std::nullopt);
}

TEST(NanoAccessors, SubMessagesAreDeepCopiesBothWays) {
    auto m = TestSample::make();
    EXPECT_EQ(NANOGetMessage(m, kLeafID, kLeafClass), nullptr);

    auto l = leaf("first", {1, 2});
    NANOSetMessage(m, kLeafID, l);
    NANOSetString(l, 0, "changed after set");
    auto got = NANOGetMessage(m, kLeafID, kLeafClass);
    ASSERT_TRUE(got);
    EXPECT_EQ(leafLabel(got), "first");
    EXPECT_EQ(*NANOGetArray(got, 1), (ns::Array{1, 2}));
    EXPECT_NE(got->messageInfo(), m->messageInfo()->messageFields[kLeafID]);

    NANOSetString(got, 0, "edited copy");
    EXPECT_EQ(leafLabel(NANOGetMessage(m, kLeafID, kLeafClass)), "first");
    NANOSetMessage(m, kLeafID, got);
    EXPECT_EQ(leafLabel(NANOGetMessage(m, kLeafID, kLeafClass)), "edited copy");

    auto capture = ns::Console::capture();
    EXPECT_EQ(NANOGetMessage(m, kLeafID, NANOMessageClass{"QRVAPBPlain", nullptr}), nullptr);
    EXPECT_EQ(capture.lines(), std::vector<std::string>{
                                   "<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: "
                                   "QRVAPBPlain"});
    // A record of another message type does not make a wrapper.
    EXPECT_EQ(NANOGetMessage(m, kLeafID, NANOMessageClass::of<TestSample>("TestSample")), nullptr);
    EXPECT_EQ(TestLeaf::initWithMessageInfo(m->messageInfo()), nullptr);

    NANOSetMessage(m, kLeafID, nullptr);
    EXPECT_FALSE(NANOHasField(m, kLeafID));
}

TEST(NanoAccessors, ArraysOfNumbersStringsAndMessages) {
    auto m = TestSample::make();
    EXPECT_EQ(NANOGetArray(m, kCounters), ns::Array{});
    EXPECT_EQ(NANOGetArray(m, kLeaves, &kLeafClass), ns::Array{});

    ns::Array counters{0, 7, uint64_t(18446744073709551615ULL), -1};
    NANOSetArray(m, kCounters, counters);
    auto readCounters = NANOGetArray(m, kCounters);
    ASSERT_TRUE(readCounters);
    ASSERT_EQ(readCounters->size(), 4u);
    EXPECT_EQ((*readCounters)[2].asUInt(), 18446744073709551615ULL);
    EXPECT_EQ((*readCounters)[3].asUInt(), 18446744073709551615ULL) << "negative numbers wrap like NSNumber";
    EXPECT_EQ((*readCounters)[1], ns::Value(7));

    NANOSetArray(m, kTags, ns::Array{"a", "", "ünïcode", ns::Data{'r', 'a', 'w'}});
    EXPECT_EQ(NANOGetArray(m, kTags), (ns::Array{"a", "", "ünïcode", "raw"}));
    const auto* tags = static_cast<const ArrayInfo*>(m->messageInfo()->messageFields[kTags]);
    EXPECT_EQ(tags->count, 4u);
    EXPECT_EQ(tags->filled, 4u);

    auto a = leaf("a", {1});
    NANOSetArray(m, kLeaves, ns::Array{a, leaf("b", {})});
    NANOSetString(a, 0, "not in the parent");
    auto leaves = NANOGetArray(m, kLeaves, &kLeafClass);
    ASSERT_TRUE(leaves);
    ASSERT_EQ(leaves->size(), 2u);
    EXPECT_EQ(leafLabel((*leaves)[0]), "a");
    EXPECT_EQ(leafLabel((*leaves)[1]), "b");

    // Replacing an array frees the old elements (LeakSanitizer checks) and
    // an empty array empties the field.
    NANOSetArray(m, kLeaves, ns::Array{leaf("c", {3})});
    EXPECT_EQ(NANOGetArray(m, kLeaves, &kLeafClass)->size(), 1u);
    NANOSetArray(m, kTags, ns::Array{});
    EXPECT_EQ(NANOGetArray(m, kTags), ns::Array{});

    auto capture = ns::Console::capture();
    EXPECT_EQ(NANOGetArray(m, kLeaves), std::nullopt) << "sub-messages need an element class";
    NANOSetArray(m, kCounters, ns::Array{1, "two"});
    NANOSetArray(m, kLeaves, ns::Array{leaf("d", {}), 5});
    EXPECT_EQ(capture.lines(),
              (std::vector<std::string>{
                  "<ERROR> Provided class doesn't implement initWithMessageInfo: method. Class: (null)",
                  "<Nano/Failure> Array element 1 doesn't match the field type. Message: Sample, field ID: 10",
                  "<Nano/Failure> Array element 1 doesn't match the field type. Message: Sample, field ID: 11"}));
    EXPECT_EQ(NANOGetArray(m, kCounters)->size(), 4u) << "a rejected array leaves the field as it was";
    EXPECT_EQ(leafLabel(NANOGetArray(m, kLeaves, &kLeafClass)->at(0)), "c");

    NANOClearField(m, kCounters);
    EXPECT_EQ(NANOGetArray(m, kCounters), ns::Array{});
}

TEST(NanoCoding, TwoPassEncodingDecodesBackToTheSameValues) {
    auto m = TestSample::make();
    NANOSetBool(m, kFlag, true);
    NANOSetInt32(m, kSmall, -3);
    NANOSetInt32(m, kUnsignedSmall, 4000000000u);
    NANOSetInt64(m, kBig, INT64_MIN);
    NANOSetDouble(m, kRatio, -2.5);
    nano_set_float(&m->messageInfo()->messageFields[kApprox], 1.5f);
    NANOSetString(m, kName, "name");
    const uint8_t blob[] = {0, 1, 2, 0xFE};
    NANOSetBytes(m, kBlob, blob);
    NANOSetMessage(m, kLeafID, leaf("single", {5, 6, 7}));
    NANOSetArray(m, kTags, ns::Array{"x", "yy"});
    NANOSetArray(m, kCounters, ns::Array{1, uint64_t(1) << 63});
    NANOSetArray(m, kLeaves, ns::Array{leaf("l0", {}), leaf("l1", {9}), leaf("l2", {10, 11})});

    auto bytes = m->protoBuffer();
    ASSERT_TRUE(bytes);
    auto back = TestSample::initWithBuffer(*bytes);
    ASSERT_TRUE(back);
    EXPECT_TRUE(NANOGetBool(back, kFlag));
    EXPECT_EQ(NANOGetInt32(back, kSmall), -3);
    EXPECT_EQ(static_cast<uint32_t>(NANOGetInt32(back, kUnsignedSmall)), 4000000000u);
    EXPECT_EQ(NANOGetInt64(back, kBig), INT64_MIN);
    EXPECT_EQ(NANOGetDouble(back, kRatio), -2.5);
    EXPECT_EQ(cell<float>(back->messageInfo(), kApprox), 1.5f);
    EXPECT_EQ(NANOGetString(back, kName), "name");
    const auto* backBlob = static_cast<const StringInfo*>(back->messageInfo()->messageFields[kBlob]);
    ASSERT_EQ(backBlob->length, 4u);
    EXPECT_EQ(0, memcmp(backBlob->data, blob, 4));
    auto single = NANOGetMessage(back, kLeafID, kLeafClass);
    EXPECT_EQ(leafLabel(single), "single");
    EXPECT_EQ(NANOGetArray(single, 1), (ns::Array{5, 6, 7}));
    EXPECT_EQ(NANOGetArray(back, kTags), (ns::Array{"x", "yy"}));
    EXPECT_EQ(NANOGetArray(back, kCounters), (ns::Array{1, uint64_t(1) << 63}));
    auto leaves = NANOGetArray(back, kLeaves, &kLeafClass);
    ASSERT_TRUE(leaves);
    ASSERT_EQ(leaves->size(), 3u);
    EXPECT_EQ(leafLabel((*leaves)[2]), "l2");
    EXPECT_EQ(NANOGetArray((*leaves)[2].asObjectOf<TestLeaf>(), 1), (ns::Array{10, 11}));
    EXPECT_EQ(NANOGetArray((*leaves)[0].asObjectOf<TestLeaf>(), 1), ns::Array{});
    const auto* leavesRecord = static_cast<const ArrayInfo*>(back->messageInfo()->messageFields[kLeaves]);
    EXPECT_EQ(leavesRecord->count, 3u);
    EXPECT_EQ(leavesRecord->filled, 3u);

    // Re-encoding the decoded message gives the same bytes.
    EXPECT_EQ(back->protoBuffer(), bytes);
}

TEST(NanoCoding, WireFormOfStringsAndRepeatedFields) {
    auto m = TestSample::make();
    EXPECT_EQ(m->protoBuffer(), ns::Data{}) << "empty repeated fields encode to nothing";

    NANOSetString(m, kName, "hi");
    NANOSetArray(m, kTags, ns::Array{"a", "b"});
    NANOSetArray(m, kCounters, ns::Array{1, 300});
    EXPECT_EQ(m->protoBuffer(), bytesOf({0x3A, 2, 'h', 'i',            // name, tag 7
                                         0x52, 1, 'a', 0x52, 1, 'b',    // tags, tag 10, one per element
                                         0x58, 1, 0x58, 0xAC, 0x02}));  // counters unpacked, tag 11

    // Reading accepts packed uint64 arrays too, and skips unknown fields.
    auto packed = TestSample::initWithBuffer(bytesOf({0x5A, 3, 1, 0xAC, 0x02, 0xF8, 0x07, 9}));
    ASSERT_TRUE(packed);
    EXPECT_EQ(NANOGetArray(packed, kCounters), (ns::Array{1, 300}));

    auto empty = TestSample::initWithBuffer(ns::Data{});
    ASSERT_TRUE(empty);
    EXPECT_FALSE(NANOHasField(empty, kLeafID));
    EXPECT_EQ(NANOGetArray(empty, kLeaves, &kLeafClass), ns::Array{});
}

TEST(NanoCoding, StringLimitAndBrokenInput) {
    auto atLimit = TestSample::initWithBuffer(withLongField(7, NANO_MAX_STRING_LENGTH));
    ASSERT_TRUE(atLimit);
    EXPECT_EQ(NANOGetString(atLimit, kName)->size(), size_t(NANO_MAX_STRING_LENGTH));

    auto capture = ns::Console::capture();
    EXPECT_EQ(TestSample::initWithBuffer(withLongField(7, NANO_MAX_STRING_LENGTH + 1)), nullptr);
    EXPECT_EQ(TestSample::initWithBuffer(withLongField(10, NANO_MAX_STRING_LENGTH + 1)), nullptr)
        << "repeated strings have the same limit";
    EXPECT_TRUE(capture.contains("Unable to process proto stream. Buffer is too big. 1048577 > 1048576"));
    EXPECT_EQ(capture.lines().front(), "Unable to process proto stream. Buffer is too big. 1048577 > 1048576");

    // Truncated input, and a bad element inside a repeated sub-message,
    // fail the whole decode without leaking what was built.
    auto full = leaf("x", {1});
    auto m = TestSample::make();
    NANOSetArray(m, kLeaves, ns::Array{full, full});
    ns::Data bytes = *m->protoBuffer();
    ns::Data truncated(bytes.begin(), bytes.end() - 1);
    EXPECT_EQ(TestSample::initWithBuffer(truncated), nullptr);
    ns::Data badElement = bytesOf({0x62, 2, 0x0A, 5});  // leaves: a Leaf whose label overruns it
    EXPECT_EQ(TestSample::initWithBuffer(badElement), nullptr);
}

TEST(NanoCoding, LowLevelHelpers) {
    auto capture = ns::Console::capture();
    nano_init_array_info(nullptr);
    nano_set_bool(nullptr, true);
    EXPECT_EQ(capture.lines().at(0), "<ERROR> Unable to initialize the array. Array pointer is NULL");
    EXPECT_EQ(capture.lines().size(), 2u);

    // Array records: freeing the items array keeps the elements and zeroes the record.
    int element = 0;
    ArrayInfo array{2, 2, static_cast<void**>(calloc(2, sizeof(void*)))};
    array.items[0] = &element;
    nano_init_array_info(&array);
    EXPECT_EQ(array.items, nullptr);
    EXPECT_EQ(array.count, 0u);
    EXPECT_EQ(array.filled, 0u);

    void* slot = nullptr;
    nano_set_string(&slot, "abc", 3);
    auto* string = static_cast<StringInfo*>(slot);
    nano_free_string(string);
    EXPECT_EQ(string->data, nullptr);
    EXPECT_EQ(string->length, 0u);

    // A string record that lost its bytes cannot take a decode.
    capture.clear();
    pb_istream_t in = pb_istream_from_buffer(reinterpret_cast<const pb_byte_t*>("zz"), 2);
    void* arg = &slot;
    EXPECT_FALSE(nano_decode_string(&in, nullptr, &arg));
    EXPECT_EQ(capture.lines(), std::vector<std::string>{"<ERROR> String decoder failed: string data is NULL"});
    // One that holds bytes (second pass) skips the field and keeps them.
    nano_set_string(&slot, "kept", 4);
    EXPECT_TRUE(nano_decode_string(&in, nullptr, &arg));
    EXPECT_EQ(in.bytes_left, 0u);
    EXPECT_STREQ(string->data, "kept");
    nano_free_string(string);
    free(string);

    // Encoders refuse missing records; empty arrays write nothing.
    pb_ostream_t sizing = PB_OSTREAM_SIZING;
    void* none = nullptr;
    ArrayInfo empty{};
    void* emptyArg = &empty;
    EXPECT_FALSE(nano_encode_string(&sizing, nullptr, &none));
    EXPECT_FALSE(nano_encode_repeated_string(&sizing, nullptr, &none));
    EXPECT_TRUE(nano_encode_repeated_string(&sizing, nullptr, &emptyArg));
    EXPECT_TRUE(nano_encode_repeated_uint64(&sizing, nullptr, &emptyArg));
    EXPECT_EQ(sizing.bytes_written, 0u);

    // A failing encode reports 0xFFFFFFFF and hands out no buffer.
    nanotest_Sample s = nanotest_Sample_init_zero;
    s.name.funcs.encode = nano_encode_string;  // with no string record behind it
    uint8_t* buffer = reinterpret_cast<uint8_t*>(&s);
    EXPECT_EQ(nano_two_pass_encoding(nanotest_Sample_fields, &s, &buffer), 0xFFFFFFFFu);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(nano_two_pass_encoding(nanotest_Sample_fields, &s, nullptr), 0xFFFFFFFFu);
}
