#include "backend/core/http_util.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "platform/atomic_file.h"

namespace backend {

std::string statusText(int status) {
    switch (status) {
    case 400: return "bad request";
    case 401: return "unauthorized";
    case 403: return "forbidden";
    case 404: return "not found";
    case 405: return "method not allowed";
    case 408: return "request timed out";
    case 413: return "request body too large (limit " + std::to_string(kMaxBodyBytes) + " bytes)";
    case 414: return "request target too long";
    case 415: return "unsupported media type";
    case 416: return "range not satisfiable";
    case 431: return "request header fields too large";
    case 500: return "internal error";
    case 503: return "service unavailable";
    default: return "HTTP error " + std::to_string(status);
    }
}

std::map<std::string, std::string> parseForm(const std::string& body, const std::set<std::string>& known,
                                             std::string& problem) {
    std::map<std::string, std::string> form;
    size_t start = 0;
    while (start <= body.size()) {
        size_t end = body.find('&', start);
        if (end == std::string::npos) end = body.size();
        const std::string_view piece(body.data() + start, end - start);
        const size_t eq = piece.find('=');
        if (eq == std::string_view::npos) {
            problem = "a form item without \"=\"";
            return {};
        }
        auto name = percentDecodeStrict(piece.substr(0, eq));
        auto value = percentDecodeStrict(piece.substr(eq + 1));
        if (!name || !value) {
            problem = "a form item with a bad percent escape";
            return {};
        }
        if (!known.count(*name)) {
            problem = "unknown form item \"" + *name + "\"";
            return {};
        }
        if (!form.emplace(*name, *value).second) {
            problem = "form item \"" + *name + "\" given twice";
            return {};
        }
        start = end + 1;
    }
    return form;
}

void sendJson(Response& res, int status, const nlohmann::json& body) {
    res.status = status;
    // Replacement characters rather than an exception for stray bytes in
    // strings that came from a client.
    res.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), "application/json");
}

void sendError(Response& res, int status, const std::string& message) {
    sendJson(res, status, nlohmann::json{{"error", message}});
}

bool jsonDepthWithin(std::string_view text, std::size_t maxDepth) {
    std::size_t depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\') ++i;
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maxDepth) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

bool parseJsonObject(const std::string& body, Response& res, nlohmann::json& out) {
    if (!jsonDepthWithin(body)) {
        sendError(res, 400, "the JSON in the request body nests deeper than " + std::to_string(kMaxJsonDepth) +
                                " levels");
        return false;
    }
    out = nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (out.is_discarded()) {
        sendError(res, 400, "malformed JSON in the request body");
        return false;
    }
    if (!out.is_object()) {
        sendError(res, 400, "the request body must be a JSON object");
        return false;
    }
    return true;
}

void route(HttpRouter& server, std::string_view method, const std::string& pattern, BodyHandler handler) {
    if (method != "GET" && method != "HEAD" && method != "POST" && method != "PUT" && method != "PATCH" &&
        method != "DELETE" && method != "OPTIONS") {
        throw std::invalid_argument("cannot route method " + std::string(method));
    }
    server.add(method == "HEAD" ? "GET" : std::string(method), pattern,
               [handler = std::move(handler)](const Request& req, Response& res) {
                   res.set_header(kRoutedMarkHeader, "1");
                   handler(req, res, req.body);
               });
}

void routeAllMethods(HttpRouter& server, const std::string& pattern, const BodyHandler& handler) {
    for (const char* method : {"GET", "POST", "PUT", "PATCH", "DELETE", "OPTIONS"}) {
        route(server, method, pattern, handler);
    }
}

std::vector<std::pair<std::string, std::string>> originalHeaders(const Request& req) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& [name, value] : req.headerList) {
        if (strcasecmp(name.c_str(), kAdminSecretHeader) == 0) continue;
        out.emplace_back(name, value);
    }
    return out;
}

void JsonHistory::push(nlohmann::json entry) {
    // Client bytes need not be UTF-8: measure as the admin answer will write them.
    const std::size_t size = entry.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).size();
    entries_.emplace_back(std::move(entry), size);
    bytes_ += size;
    while (entries_.size() > 1 && (entries_.size() > maxEntries_ || bytes_ > maxBytes_)) {
        bytes_ -= entries_.front().second;
        entries_.pop_front();
    }
}

nlohmann::json JsonHistory::list() const {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& [entry, size] : entries_) list.push_back(entry);
    return list;
}

void JsonHistory::clear() {
    entries_.clear();
    bytes_ = 0;
}

// --- files ------------------------------------------------------------------

void writeFileAtomic(const std::filesystem::path& path, std::string_view contents) {
    ns::writeFileAtomicallyOrThrow(path.string(), contents, 0600);
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

}  // namespace backend
