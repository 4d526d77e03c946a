#include "backend/analytics/measurement_wire.h"

#include <google/protobuf/util/json_util.h>
#include <zlib.h>

#include <chrono>
#include <cmath>
#include <vector>

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

std::string checkBatch(const qrvanalytics::MeasurementBatch& batch) {
    if (batch.bundles_size() < 1 || batch.bundles_size() > kMaxBundles) {
        return "a batch holds 1 to " + std::to_string(kMaxBundles) + " bundles, not " +
               std::to_string(batch.bundles_size());
    }
    const std::string& appId = batch.bundles(0).app_id();
    for (int i = 0; i < batch.bundles_size(); ++i) {
        const auto& bundle = batch.bundles(i);
        const std::string which = "bundle " + std::to_string(i);
        if (!bundle.has_app_id() || bundle.app_id().empty()) return which + " has no app_id";
        if (bundle.app_id() != appId) return which + " is of another app_id than bundle 0";
        if (!bundle.has_upload_timestamp_millis()) return which + " has no upload_timestamp_millis";
        if (!bundle.has_uploading_library_version()) return which + " has no uploading_library_version";
    }
    return "";
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
