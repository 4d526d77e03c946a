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

#include "analytics_proto/qrvanalytics.pb.h"

namespace backend::measurement {

// Largest inflated upload body; past it the upload is refused, so a small
// body cannot make the server hold gigabytes.
inline constexpr std::size_t kMaxInflatedBytes = 16u * 1024u * 1024u;
// Bundles one batch may hold.
inline constexpr int kMaxBundles = 100;
// Longest app id a path may name (the client's are about 40 bytes).
inline constexpr std::size_t kMaxAppIdBytes = 256;

// The bytes of one gzip member (RFC 1952) with nothing after it, at most
// `limit` of them; nullopt with `problem` set for anything else.
std::optional<std::string> gunzip(std::string_view body, std::size_t limit, std::string& problem);

// "" when a server can accept the batch: 1 to kMaxBundles bundles, all of
// one non-empty app_id, each with upload_timestamp_millis and
// uploading_library_version; else what is wrong.
std::string checkBatch(const qrvanalytics::MeasurementBatch& batch);

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
