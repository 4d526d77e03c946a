#include "backend/http_util.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace backend {

namespace {

// Where keepRawBody parks the headers that would make cpp-httplib rewrite
// the body.
constexpr const char* kParkedPrefix = "X-Almavel-Parked-";
constexpr std::array kParkedHeaders{"Content-Encoding", "Content-Type"};

bool isMultipartFormData(const std::string& contentType) {
    return contentType.size() >= 19 && strncasecmp(contentType.c_str(), "multipart/form-data", 19) == 0;
}

std::string errorText(int status) {
    switch (status) {
    case 400: return "bad request";
    case 413: return "request body too large (limit " + std::to_string(kMaxBodyBytes) + " bytes)";
    case 415: return "unsupported content encoding";
    default: return "request failed";
    }
}

}  // namespace

void sendJson(httplib::Response& res, int status, const nlohmann::json& body) {
    res.status = status;
    // Replacement characters rather than an exception for stray bytes in
    // strings that came from a client.
    res.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace), "application/json");
}

void sendError(httplib::Response& res, int status, const std::string& message) {
    sendJson(res, status, nlohmann::json{{"error", message}});
}

bool readBody(const httplib::Request& req, httplib::Response& res, const httplib::ContentReader& reader,
              std::string& body, std::size_t limit) {
    if (req.is_multipart_form_data()) {
        // The streaming reader would hand out parts, not bytes.
        sendError(res, 415, "multipart/form-data bodies are not accepted here");
        return false;
    }
    body.clear();
    // Without either header a request has no body (RFC 9112, 6.3); asking
    // the reader would wait for the client to close the connection.
    if (!req.has_header("Content-Length") && !req.has_header("Transfer-Encoding")) return true;
    bool tooLarge = false;
    bool ok = reader([&](const char* data, size_t length) {
        if (body.size() + length > limit) {
            tooLarge = true;
            return false;
        }
        body.append(data, length);
        return true;
    });
    if (tooLarge) {
        sendError(res, 413, errorText(413));
        return false;
    }
    if (!ok) {
        int status = res.status >= 400 ? res.status : 400;
        sendError(res, status, status == 400 ? "could not read the request body" : errorText(status));
        return false;
    }
    return true;
}

bool parseJsonObject(const std::string& body, httplib::Response& res, nlohmann::json& out) {
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

void route(httplib::Server& server, std::string_view method, const std::string& pattern, BodyHandler handler) {
    auto withoutBody = [handler](const httplib::Request& req, httplib::Response& res) {
        res.set_header(kRoutedMarkHeader, "1");
        handler(req, res, req.body);
    };
    auto withBody = [handler](const httplib::Request& req, httplib::Response& res,
                              const httplib::ContentReader& reader) {
        res.set_header(kRoutedMarkHeader, "1");
        std::string body;
        if (!readBody(req, res, reader, body)) return;
        handler(req, res, body);
    };
    if (method == "GET" || method == "HEAD") {
        server.Get(pattern, withoutBody);
    } else if (method == "OPTIONS") {
        server.Options(pattern, withoutBody);
    } else if (method == "POST") {
        server.Post(pattern, withBody);
    } else if (method == "PUT") {
        server.Put(pattern, withBody);
    } else if (method == "PATCH") {
        server.Patch(pattern, withBody);
    } else if (method == "DELETE") {
        server.Delete(pattern, withBody);
    } else {
        throw std::invalid_argument("cpp-httplib cannot route method " + std::string(method));
    }
}

void routeAllMethods(httplib::Server& server, const std::string& pattern, const BodyHandler& handler) {
    for (const char* method : {"GET", "POST", "PUT", "PATCH", "DELETE", "OPTIONS"}) {
        route(server, method, pattern, handler);
    }
}

void keepRawBody(const httplib::Request& req) {
    // The request object cpp-httplib passes to the pre-routing hook is its
    // own mutable one; the hook's signature is merely const.
    auto& headers = const_cast<httplib::Headers&>(req.headers);
    for (const char* name : kParkedHeaders) {
        auto range = headers.equal_range(name);
        std::vector<std::string> values;
        for (auto it = range.first; it != range.second; ++it) values.push_back(it->second);
        if (values.empty()) continue;
        if (std::strcmp(name, "Content-Type") == 0 && !isMultipartFormData(values.front())) continue;
        headers.erase(name);
        for (auto& v : values) headers.emplace(std::string(kParkedPrefix) + name, std::move(v));
    }
}

std::vector<std::pair<std::string, std::string>> originalHeaders(const httplib::Request& req) {
    std::vector<std::pair<std::string, std::string>> out;
    const size_t prefixLength = std::strlen(kParkedPrefix);
    for (const auto& [name, value] : req.headers) {
        // cpp-httplib files the connection's addresses among the headers.
        if ((name == "REMOTE_ADDR" && value == req.remote_addr) ||
            (name == "REMOTE_PORT" && value == std::to_string(req.remote_port)) ||
            (name == "LOCAL_ADDR" && value == req.local_addr) ||
            (name == "LOCAL_PORT" && value == std::to_string(req.local_port))) {
            continue;
        }
        if (name.size() > prefixLength && strncasecmp(name.c_str(), kParkedPrefix, prefixLength) == 0) {
            out.emplace_back(name.substr(prefixLength), value);
        } else {
            out.emplace_back(name, value);
        }
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
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("cannot write " + tmp.string() + ": " + std::strerror(errno));
        out.write(contents.data(), std::streamsize(contents.size()));
        out.flush();
        if (!out) throw std::runtime_error("cannot write " + tmp.string() + ": " + std::strerror(errno));
    }
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

// --- connections --------------------------------------------------------------

namespace {

// Calls `visit(fd, local, peer)` for every connected IPv4 TCP socket of the
// process until it returns true; returns that fd or -1.
template <class Visit>
int findSocket(Visit visit) {
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return -1;
    int found = -1;
    while (dirent* entry = ::readdir(dir)) {
        char* end = nullptr;
        long fd = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd == ::dirfd(dir)) continue;
        sockaddr_in local{}, peer{};
        socklen_t localLength = sizeof local, peerLength = sizeof peer;
        if (::getsockname(int(fd), reinterpret_cast<sockaddr*>(&local), &localLength) != 0) continue;
        if (local.sin_family != AF_INET) continue;
        if (::getpeername(int(fd), reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0) continue;
        if (visit(int(fd), local, peer)) {
            found = int(fd);
            break;
        }
    }
    ::closedir(dir);
    return found;
}

std::string addressText(const sockaddr_in& address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    return text;
}

}  // namespace

int connectionSocket(const httplib::Request& req) {
    return findSocket([&](int, const sockaddr_in& local, const sockaddr_in& peer) {
        return ntohs(local.sin_port) == req.local_port && ntohs(peer.sin_port) == req.remote_port &&
               addressText(peer) == req.remote_addr;
    });
}

bool peerHasClosed(int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    int n = ::poll(&p, 1, 0);
    if (n < 0) return errno != EINTR;
    return n > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

void shutdownConnections(int localPort) {
    findSocket([&](int fd, const sockaddr_in& local, const sockaddr_in&) {
        if (ntohs(local.sin_port) == localPort) ::shutdown(fd, SHUT_RDWR);
        return false;
    });
}

}  // namespace backend
