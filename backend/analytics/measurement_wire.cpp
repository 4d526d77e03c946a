#include "backend/analytics/measurement_wire.h"

#include <google/protobuf/util/json_util.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/wire_format_lite.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iterator>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/crypto.h"
#include "platform/date_formatter.h"

namespace backend::measurement {

using json = nlohmann::json;
namespace pb = google::protobuf;

std::optional<std::string> gunzip(std::string_view body, std::size_t limit, std::string& problem) {
    z_stream stream{};
    // 16 + window bits: the gzip wrapper only, its header and CRC checked.
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) {
        problem = "cannot start inflating";
        return std::nullopt;
    }
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
    stream.avail_in = uInt(body.size());
    std::string out;
    char buffer[64 * 1024];
    int rc = Z_OK;
    while (rc == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        rc = inflate(&stream, Z_NO_FLUSH);
        const std::size_t produced = sizeof buffer - stream.avail_out;
        if (out.size() + produced > limit) {
            inflateEnd(&stream);
            problem = "the body inflates past " + std::to_string(limit) + " bytes";
            return std::nullopt;
        }
        out.append(buffer, produced);
    }
    const bool trailing = stream.avail_in != 0;
    inflateEnd(&stream);
    if (rc != Z_STREAM_END) {
        // Z_BUF_ERROR: no progress was possible, the input ended too soon.
        problem = rc == Z_BUF_ERROR ? "the gzip body is cut short" : "the body is not gzip (RFC 1952) data";
        return std::nullopt;
    }
    if (trailing) {
        problem = "the body has bytes after its gzip data";
        return std::nullopt;
    }
    return out;
}

namespace {

namespace io = pb::io;
using Wire = pb::internal::WireFormatLite;

constexpr const char* kNotABatch = "the body is not an encoded MeasurementBatch";

// What decoding a bundle would build so far, or why it must not be decoded.
struct Tally {
    int64_t values = 0;
    std::string problem;
};

// How often `field` (null: one the schema does not declare) may occur in one
// message, a packed element counting once.
int64_t fieldCap(const pb::FieldDescriptor* field) {
    using Cap = std::pair<std::string_view, int64_t>;
    static constexpr Cap kCaps[] = {
        {"qrvanalytics.MeasurementBundle.events", kMaxEventsPerBundle},
        {"qrvanalytics.MeasurementBundle.user_attributes", kMaxUserAttributesPerBundle},
        {"qrvanalytics.MeasurementBundle.audience_evaluation_results", kMaxAudienceResultsPerBundle},
        {"qrvanalytics.Event.params", kMaxParamsPerEvent},
        {"qrvanalytics.ResultData.status", kMaxResultWords},
        {"qrvanalytics.ResultData.results", kMaxResultWords},
    };
    if (!field) return kMaxOtherFields;
    const auto* it = std::ranges::find(kCaps, field->full_name(), &Cap::first);
    return it == std::end(kCaps) ? kMaxOtherFields : it->second;
}

// The elements of a packed run of `field`, or -1 when the run is cut short.
int64_t packedCount(const pb::FieldDescriptor* field, std::string_view run) {
    switch (Wire::WireTypeForFieldType(Wire::FieldType(field->type()))) {
    case Wire::WIRETYPE_FIXED32: return run.size() % 4 ? -1 : int64_t(run.size() / 4);
    case Wire::WIRETYPE_FIXED64: return run.size() % 8 ? -1 : int64_t(run.size() / 8);
    case Wire::WIRETYPE_VARINT: {
        if (!run.empty() && (uint8_t(run.back()) & 0x80)) return -1;
        int64_t n = 0;
        for (char c : run) n += (uint8_t(c) & 0x80) == 0;
        return n;
    }
    default: return -1;
    }
}

bool fail(Tally& tally, std::string problem) {
    tally.problem = std::move(problem);
    return false;
}

bool walk(std::string_view bytes, const pb::Descriptor* type, Tally& tally);

// Reads past the value of one field of `tag` in `in` (over `bytes`), walking
// into a message of the schema; `n` becomes the values a packed run adds.
bool walkField(io::CodedInputStream& in, std::string_view bytes, uint32_t tag, const pb::FieldDescriptor* field,
               int64_t& n, Tally& tally) {
    uint64_t skipped64 = 0;
    uint32_t skipped32 = 0, size = 0;
    switch (Wire::GetTagWireType(tag)) {
    case Wire::WIRETYPE_VARINT: return in.ReadVarint64(&skipped64) || fail(tally, kNotABatch);
    case Wire::WIRETYPE_FIXED64: return in.ReadLittleEndian64(&skipped64) || fail(tally, kNotABatch);
    case Wire::WIRETYPE_FIXED32: return in.ReadLittleEndian32(&skipped32) || fail(tally, kNotABatch);
    case Wire::WIRETYPE_LENGTH_DELIMITED: break;
    // Groups: the schema has none, and their contents would go uncounted.
    default: return fail(tally, kNotABatch);
    }
    if (!in.ReadVarint32(&size) || size > bytes.size() - std::size_t(in.CurrentPosition())) {
        return fail(tally, kNotABatch);
    }
    const std::string_view inner = bytes.substr(std::size_t(in.CurrentPosition()), size);
    in.Skip(int(size));
    if (field && field->type() == pb::FieldDescriptor::TYPE_MESSAGE) return walk(inner, field->message_type(), tally);
    if (field && field->is_packable()) {
        n = packedCount(field, inner);
        if (n < 0) return fail(tally, kNotABatch);
    }
    return true;
}

// Counts into `tally` what decoding `bytes` as `type` would build, without
// building it; false (with the problem) past a bound or where the bytes
// cannot decode. The schema's messages never contain their own kind, so
// the depth is the schema's.
bool walk(std::string_view bytes, const pb::Descriptor* type, Tally& tally) {
    io::CodedInputStream in(reinterpret_cast<const uint8_t*>(bytes.data()), int(bytes.size()));
    std::vector<int64_t> seen(std::size_t(type->field_count()) + 1, 0);
    while (std::size_t(in.CurrentPosition()) < bytes.size()) {
        const uint32_t tag = in.ReadTag();
        if (Wire::GetTagFieldNumber(tag) == 0) return fail(tally, kNotABatch);
        const pb::FieldDescriptor* field = type->FindFieldByNumber(Wire::GetTagFieldNumber(tag));
        int64_t n = 1;
        if (!walkField(in, bytes, tag, field, n, tally)) return false;
        const std::size_t slot = field ? std::size_t(field->index()) : seen.size() - 1;
        if ((seen[slot] += n) > fieldCap(field)) {
            return fail(tally, "a " + type->name() + " holds more than " + std::to_string(fieldCap(field)) + " " +
                                   (field ? field->name() : std::string("fields the schema does not declare")));
        }
        if ((tally.values += n) > kMaxValuesPerBundle) {
            return fail(tally, "a bundle holds more than " + std::to_string(kMaxValuesPerBundle) +
                                   " messages and values");
        }
    }
    return true;
}

}  // namespace

std::string splitBatch(std::string_view batch, std::vector<std::string_view>& bundles) {
    io::CodedInputStream in(reinterpret_cast<const uint8_t*>(batch.data()), int(batch.size()));
    int64_t count = 0;
    while (std::size_t(in.CurrentPosition()) < batch.size()) {
        const uint32_t tag = in.ReadTag();
        uint32_t size = 0;
        if (tag != Wire::MakeTag(1, Wire::WIRETYPE_LENGTH_DELIMITED)) {
            // Nothing else of the batch is kept, so nothing else is counted.
            if (tag == 0 || Wire::GetTagWireType(tag) == Wire::WIRETYPE_START_GROUP ||
                !Wire::SkipField(&in, tag)) {
                return kNotABatch;
            }
            continue;
        }
        if (!in.ReadVarint32(&size) || size > batch.size() - std::size_t(in.CurrentPosition())) return kNotABatch;
        if (++count <= kMaxBundles) bundles.push_back(batch.substr(std::size_t(in.CurrentPosition()), size));
        in.Skip(int(size));
    }
    if (count < 1 || count > kMaxBundles) {
        return "a batch holds 1 to " + std::to_string(kMaxBundles) + " bundles, not " + std::to_string(count);
    }
    return "";
}

std::string decodeBundle(std::string_view bytes, int index, qrvanalytics::MeasurementBundle& out) {
    Tally tally;
    if (!walk(bytes, qrvanalytics::MeasurementBundle::descriptor(), tally)) {
        return tally.problem == kNotABatch ? tally.problem : "bundle " + std::to_string(index) + ": " + tally.problem;
    }
    if (!out.ParseFromArray(bytes.data(), int(bytes.size()))) return kNotABatch;
    return "";
}

std::string checkBundle(const qrvanalytics::MeasurementBundle& bundle, int index, const std::string& appId) {
    const std::string which = "bundle " + std::to_string(index);
    if (!bundle.has_app_id() || bundle.app_id().empty()) return which + " has no app_id";
    if (bundle.app_id().size() > kMaxAppIdBytes) {
        return which + " has an app_id longer than " + std::to_string(kMaxAppIdBytes) + " bytes";
    }
    if (bundle.app_id() != appId) return which + " is of another app_id than bundle 0";
    if (!bundle.has_upload_timestamp_millis()) return which + " has no upload_timestamp_millis";
    if (!bundle.has_uploading_library_version()) return which + " has no uploading_library_version";
    return "";
}

std::string bundleDigest(qrvanalytics::MeasurementBundle bundle) {
    bundle.clear_upload_timestamp_millis();
    return ns::crypto::toString(ns::crypto::sha256(bundle.SerializeAsString()));
}

namespace {

json scalarJson(const pb::Message& message, const pb::FieldDescriptor* field, int index) {
    const pb::Reflection* r = message.GetReflection();
    const bool repeated = field->is_repeated();
    using F = pb::FieldDescriptor;
    switch (field->cpp_type()) {
    case F::CPPTYPE_INT32: return repeated ? r->GetRepeatedInt32(message, field, index) : r->GetInt32(message, field);
    case F::CPPTYPE_INT64: return repeated ? r->GetRepeatedInt64(message, field, index) : r->GetInt64(message, field);
    case F::CPPTYPE_UINT32:
        return repeated ? r->GetRepeatedUInt32(message, field, index) : r->GetUInt32(message, field);
    case F::CPPTYPE_UINT64:
        return repeated ? r->GetRepeatedUInt64(message, field, index) : r->GetUInt64(message, field);
    case F::CPPTYPE_FLOAT: return repeated ? r->GetRepeatedFloat(message, field, index) : r->GetFloat(message, field);
    case F::CPPTYPE_DOUBLE:
        return repeated ? r->GetRepeatedDouble(message, field, index) : r->GetDouble(message, field);
    case F::CPPTYPE_BOOL: return repeated ? r->GetRepeatedBool(message, field, index) : r->GetBool(message, field);
    case F::CPPTYPE_STRING:
        return repeated ? r->GetRepeatedString(message, field, index) : r->GetString(message, field);
    case F::CPPTYPE_ENUM:
        return repeated ? r->GetRepeatedEnumValue(message, field, index) : r->GetEnumValue(message, field);
    case F::CPPTYPE_MESSAGE:
        return messageJson(repeated ? r->GetRepeatedMessage(message, field, index) : r->GetMessage(message, field));
    }
    return nullptr;
}

}  // namespace

// The schema nests at most four messages deep and refers to none of its
// own ancestors, so the walk's depth is fixed by it.
json messageJson(const pb::Message& message) {
    json out = json::object();
    std::vector<const pb::FieldDescriptor*> fields;
    message.GetReflection()->ListFields(message, &fields);
    for (const auto* field : fields) {
        if (!field->is_repeated()) {
            out[field->name()] = scalarJson(message, field, 0);
            continue;
        }
        json list = json::array();
        const int size = message.GetReflection()->FieldSize(message, field);
        for (int i = 0; i < size; ++i) list.push_back(scalarJson(message, field, i));
        out[field->name()] = std::move(list);
    }
    return out;
}

std::string messageFromJson(const json& value, pb::Message& out) {
    if (!value.is_object()) return "a message must be a JSON object";
    pb::util::JsonParseOptions options;
    options.ignore_unknown_fields = false;
    const auto status = pb::util::JsonStringToMessage(value.dump(), &out, options);
    if (!status.ok()) return std::string(status.message());
    return "";
}

namespace {

const ns::DateFormatter& imfFixdate() {
    // Shared by every handler thread (the formatter locks itself), never
    // destroyed: pool work may still read it as the program ends.
    static const auto* formatter = new ns::DateFormatter("EEE, dd MMM yyyy HH:mm:ss 'GMT'", "en_US_POSIX", 0);
    return *formatter;
}

}  // namespace

std::string httpDate(int64_t secondsSince1970) {
    return imfFixdate().stringFromDate(ns::Date{double(secondsSince1970)});
}

std::optional<int64_t> parseHttpDate(std::string_view text) {
    auto date = imfFixdate().dateFromString(text);
    if (!date) return std::nullopt;
    return int64_t(std::floor(date->secondsSince1970));
}

int64_t nowMillis() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

}  // namespace backend::measurement
