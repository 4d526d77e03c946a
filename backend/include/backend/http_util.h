#pragma once
// Small helpers every back-end service uses: JSON answers, whole-body reads
// through the streaming reader, base64, atomic files, and a look at the
// connection behind a request.

#include <httplib.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace backend {

// Largest request body any endpoint accepts; larger ones get 413.
inline constexpr std::size_t kMaxBodyBytes = 16u * 1024u * 1024u;

void sendJson(httplib::Response& res, int status, const nlohmann::json& body);
// {"error": message}
void sendError(httplib::Response& res, int status, const std::string& message);

// Reads the whole request body through the streaming reader. cpp-httplib's
// plain handlers refuse form-encoded bodies over 8 KB; this path has no such
// limit besides `limit`. On failure the response is filled in (413, 415 or
// 400) and false is returned.
bool readBody(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader,
              std::string& body, std::size_t limit = kMaxBodyBytes);

// Parses `body` as a JSON object; answers 400 {"error": ...} and returns
// false when it is not one.
bool parseJsonObject(const std::string& body, httplib::Response& res, nlohmann::json& out);

// A handler that receives the whole body, whatever the method.
using BodyHandler = std::function<void(const httplib::Request&, httplib::Response&, const std::string& body)>;

// Registers `handler` for `method` ("GET", "HEAD", "POST", "PUT", "PATCH",
// "DELETE" or "OPTIONS") on `pattern`. Methods that carry a body read it
// through the streaming reader; GET, HEAD and OPTIONS get an empty body.
void route(httplib::Server& server, std::string_view method, const std::string& pattern, BodyHandler handler);
// Handlers registered with route() mark their responses so the server's
// JSON error page leaves their error answers (even empty ones) alone; the
// mark is removed before the response is written.
inline constexpr const char* kRoutedMarkHeader = "X-Almavel-Routed";
// The same handler for every method cpp-httplib can route.
void routeAllMethods(httplib::Server& server, const std::string& pattern, const BodyHandler& handler);

// Call from a pre-routing hook: makes the body reach the handler exactly as
// sent. cpp-httplib would otherwise inflate a Content-Encoding body and split
// a multipart/form-data body into parts; the headers that trigger that are
// set aside and `originalHeaders` gives them back.
void keepRawBody(const httplib::Request& req);
std::vector<std::pair<std::string, std::string>> originalHeaders(const httplib::Request& req);

std::string base64Encode(std::string_view bytes);
// nullopt for text that is not base64 (padding optional, whitespace not allowed).
std::optional<std::string> base64Decode(std::string_view text);

// Writes through a temporary file in the same folder and renames it over
// `path`, so readers never see half a file. Throws std::runtime_error.
void writeFileAtomic(const std::filesystem::path& path, std::string_view contents);
std::optional<std::string> readFile(const std::filesystem::path& path);

// The socket descriptor of the connection a request came on, or -1. Found by
// its addresses among the process's open sockets; valid while the handler
// runs, since cpp-httplib closes it only afterwards.
int connectionSocket(const httplib::Request& req);
// True once the peer has closed (or reset) the connection.
bool peerHasClosed(int fd);
// Shuts down every accepted connection on the given local port, so worker
// threads idling on keep-alive connections finish at once when stopping.
void shutdownConnections(int localPort);

}  // namespace backend
