#pragma once
// Small helpers every back-end service uses: JSON answers, routes that hand
// over the whole body, the JSON body parser with its depth limit, base64 and
// atomic files.

#include <charconv>
#include <cstddef>
#include <deque>
#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "backend/core/http.h"
#include "platform/json.h"

namespace backend {

// Largest request body any endpoint accepts; larger ones get 413.
inline constexpr std::size_t kMaxBodyBytes = 16u * 1024u * 1024u;
// Deepest nesting of arrays and objects a JSON body may have; deeper ones
// are refused (400) before anything parses them, so no parser or writer
// recurses without bound. As deep as the platform's JSON reads, which is
// deep enough for the database's deepest stored location
// (rtdb::kMaxTreeDepth) inside an admin write's body.
inline constexpr std::size_t kMaxJsonDepth = ns::json::kMaxDepth;
// The header that carries the per-run admin secret.
inline constexpr const char* kAdminSecretHeader = "X-Almavel-Admin-Secret";

void sendJson(Response& res, int status, const nlohmann::json& body);
// {"error": message}
void sendError(Response& res, int status, const std::string& message);
// The message of the JSON error body for a status the server answers itself.
std::string statusText(int status);

// True when `text`, read as JSON, nests arrays and objects at most
// `maxDepth` deep. Does not recurse and does not check the syntax.
bool jsonDepthWithin(std::string_view text, std::size_t maxDepth = kMaxJsonDepth);

// Parses `body` as a JSON object; answers 400 {"error": ...} and returns
// false when it is not one or nests too deep.
bool parseJsonObject(const std::string& body, Response& res, nlohmann::json& out);

// The query parameter `key` as a whole number from `low` to `high` into
// `out`, left alone when the request has none; false when it is anything
// else (a sign, blanks, other characters, out of range).
template <typename Number>
bool queryNumber(const Request& req, const char* key, Number low, Number high, Number& out) {
    if (!req.has_param(key)) return true;
    const std::string text = req.get_param_value(key);
    Number value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || text[0] == '-' || ec != std::errc() || end != text.data() + text.size() || value < low ||
        value > high) {
        return false;
    }
    out = value;
    return true;
}

// A percent-encoded form body (application/x-www-form-urlencoded) as name
// to value; empty with `problem` set when it is not a form of known,
// distinct, well-encoded items (a raw "&" inside a value shows up as an item
// without "=" or with an unknown name).
std::map<std::string, std::string> parseForm(const std::string& body, const std::set<std::string>& known,
                                             std::string& problem);

// A handler that receives the whole body, whatever the method.
using BodyHandler = std::function<void(const Request&, Response&, const std::string& body)>;

// Registers `handler` for `method` ("GET", "POST", "PUT", "PATCH", "DELETE"
// or "OPTIONS"; GET routes answer HEAD too) on `pattern`, a regular
// expression over the whole decoded path.
void route(HttpRouter& server, std::string_view method, const std::string& pattern, BodyHandler handler);
// Handlers registered with route() mark their responses so the server's
// JSON error page leaves their error answers (even empty ones) alone; the
// mark is removed before the response is written.
inline constexpr const char* kRoutedMarkHeader = "X-Almavel-Routed";
// Fault injection: a handler may have the server core end the connection in
// mid-answer, after the head and this many bytes of the body (the head still
// announces the whole body)...
inline constexpr const char* kCutAfterBytesHeader = "X-Almavel-Cut-After-Bytes";
// ...or at once, without answering. Both are removed before anything is sent.
inline constexpr const char* kCloseWithoutAnswerHeader = "X-Almavel-Close-Without-Answer";
// The same handler for every method.
void routeAllMethods(HttpRouter& server, const std::string& pattern, const BodyHandler& handler);

// The newest entries of a log the test interface reads, within a count and
// a byte budget of their JSON text; the newest always stays, so a test can
// read what it just sent. Not locked: its owner serialises the calls.
class JsonHistory {
public:
    JsonHistory(std::size_t maxEntries, std::size_t maxBytes) : maxEntries_(maxEntries), maxBytes_(maxBytes) {}
    void push(nlohmann::json entry);
    nlohmann::json list() const;
    void clear();

private:
    std::size_t maxEntries_, maxBytes_;
    std::size_t bytes_ = 0;
    std::deque<std::pair<nlohmann::json, std::size_t>> entries_;
};

// The request's headers as sent, in order, without the admin secret.
std::vector<std::pair<std::string, std::string>> originalHeaders(const Request& req);

// Replaces `path` whole (see platform/atomic_file.h), owner-only: the
// back end's files hold secrets and accounts. Throws std::runtime_error.
void writeFileAtomic(const std::filesystem::path& path, std::string_view contents);
std::optional<std::string> readFile(const std::filesystem::path& path);

}  // namespace backend
