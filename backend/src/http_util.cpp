#include "backend/http_util.h"

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

// --- base64 -----------------------------------------------------------------

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string base64Encode(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        uint32_t n = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 | uint8_t(bytes[i + 2]);
        out += kAlphabet[n >> 18];
        out += kAlphabet[(n >> 12) & 63];
        out += kAlphabet[(n >> 6) & 63];
        out += kAlphabet[n & 63];
    }
    if (size_t rest = bytes.size() - i; rest > 0) {
        uint32_t n = uint32_t(uint8_t(bytes[i])) << 16;
        if (rest == 2) n |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        out += kAlphabet[n >> 18];
        out += kAlphabet[(n >> 12) & 63];
        out += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
    while (!text.empty() && text.back() == '=') text.remove_suffix(1);
    if (text.size() % 4 == 1) return std::nullopt;
    std::string out;
    out.reserve(text.size() * 3 / 4);
    uint32_t accumulator = 0;
    int bits = 0;
    for (char c : text) {
        const char* at = c ? std::strchr(kAlphabet, c) : nullptr;
        if (!at) return std::nullopt;
        accumulator = (accumulator << 6) | uint32_t(at - kAlphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += char((accumulator >> bits) & 0xff);
        }
    }
    return out;
}

// --- files ------------------------------------------------------------------

void writeFileAtomic(const std::filesystem::path& path, std::string_view contents) {
    auto tmp = path;
    tmp += ".tmp." + std::to_string(::getpid());
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) throw std::runtime_error("cannot write " + tmp.string() + ": " + std::strerror(errno));
    std::size_t done = 0;
    while (done < contents.size()) {
        const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const std::string error = std::strerror(errno);
            ::close(fd);
            std::error_code ignored;
            std::filesystem::remove(tmp, ignored);
            throw std::runtime_error("cannot write " + tmp.string() + ": " + error);
        }
        done += std::size_t(n);
    }
    ::fchmod(fd, 0600);
    ::close(fd);
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::filesystem::remove(tmp, ec);
        throw std::runtime_error("cannot replace " + path.string() + ": " + ec.message());
    }
}

std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

}  // namespace backend
