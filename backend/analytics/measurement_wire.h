#pragma once
// What the measurement service reads and writes besides HTTP: gzip bodies,
// the upload batch's checks, messages as the test interface's JSON, and
// HTTP dates. Messages are protoc's classes of the analytics schema
// (libprotobuf), never the client's own codec. Any thread.

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "analytics_proto/qrvanalytics.pb.h"

namespace backend::measurement {

// Largest inflated upload body; past it the upload is refused, so a small
// body cannot make the server hold gigabytes.
inline constexpr std::size_t kMaxInflatedBytes = 16u * 1024u * 1024u;
// What one upload may hold, counted on the wire before anything is built,
// so that a small body cannot make the server build millions of objects.
// Each is well past what the client sends.
// Bundles in a batch: the client's own ceiling for its bundle count setting.
inline constexpr int kMaxBundles = 10000;
// Events in a bundle: the client puts at most 1000.
inline constexpr int64_t kMaxEventsPerBundle = 10000;
// User properties in a bundle: the client keeps at most 1000.
inline constexpr int64_t kMaxUserAttributesPerBundle = 10000;
// Audience results in a bundle: the client keeps at most 500 audiences.
inline constexpr int64_t kMaxAudienceResultsPerBundle = 10000;
// Parameters of an event: 25 public ones and a few of the client's own.
inline constexpr int64_t kMaxParamsPerEvent = 1000;
// Words of a result bit set: the client writes one.
inline constexpr int64_t kMaxResultWords = 1000;
// Any other field given again in one message, or fields the schema does
// not declare.
inline constexpr int64_t kMaxOtherFields = 1000;
// Messages, repeated values and undeclared fields that decoding one bundle
// builds; the client's largest bundle builds about 40,000.
inline constexpr int64_t kMaxValuesPerBundle = 250000;
// Longest app id a path may name (the client's are about 40 bytes).
inline constexpr std::size_t kMaxAppIdBytes = 256;

// The bytes of one gzip member (RFC 1952) with nothing after it, at most
// `limit` of them; nullopt with `problem` set for anything else.
std::optional<std::string> gunzip(std::string_view body, std::size_t limit, std::string& problem);

// The encoded bundles of an encoded MeasurementBatch, found without
// building anything; "" or what is wrong (more than kMaxBundles included).
std::string splitBatch(std::string_view batch, std::vector<std::string_view>& bundles);

// Decodes bundle `index` of a batch into `out` once the wire shows it
// within the bounds above; "" or what is wrong.
std::string decodeBundle(std::string_view bytes, int index, qrvanalytics::MeasurementBundle& out);

// "" when a server can accept bundle `index` of a batch whose first bundle
// names `appId`: a non-empty app_id of at most kMaxAppIdBytes, the same as
// the first bundle's, upload_timestamp_millis and uploading_library_version;
// else what is wrong.
std::string checkBundle(const qrvanalytics::MeasurementBundle& bundle, int index, const std::string& appId);

// What tells a bundle from any other: the SHA-256 of its encoding without
// its upload time, which a client sets anew each time it sends the bundle.
std::string bundleDigest(qrvanalytics::MeasurementBundle bundle);

// Every field the message has set, by its proto field name; 64-bit integers
// as JSON numbers (libprotobuf's own mapping writes them as strings).
nlohmann::json messageJson(const google::protobuf::Message& message);

// Reads `value` (libprotobuf's JSON mapping, proto field names or their
// camel-case forms) into `out`; "" or what is wrong.
std::string messageFromJson(const nlohmann::json& value, google::protobuf::Message& out);

// An IMF-fixdate (RFC 7231: "Sun, 06 Nov 1994 08:49:37 GMT") and back;
// nullopt for text of another form.
std::string httpDate(int64_t secondsSince1970);
std::optional<int64_t> parseHttpDate(std::string_view text);
// Wall-clock milliseconds since 1970.
int64_t nowMillis();

}  // namespace backend::measurement
