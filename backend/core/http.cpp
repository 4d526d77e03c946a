#include "backend/core/http.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <stdexcept>

#include "platform/url.h"

namespace backend {

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
    return strcasecmp(a.c_str(), b.c_str()) < 0;
}

std::string Request::get_header_value(const std::string& name, std::size_t index) const {
    auto range = headers.equal_range(name);
    for (auto it = range.first; it != range.second; ++it, --index) {
        if (index == 0) return it->second;
    }
    return {};
}

std::string Request::get_param_value(const std::string& name, std::size_t index) const {
    auto range = params.equal_range(name);
    for (auto it = range.first; it != range.second; ++it, --index) {
        if (index == 0) return it->second;
    }
    return {};
}

void Response::set_header(const std::string& name, const std::string& value) {
    // A line break would let a value start a header of its own.
    if (name.find_first_of("\r\n:") != std::string::npos || value.find_first_of("\r\n") != std::string::npos) return;
    headers.emplace_back(name, value);
}

bool Response::has_header(const std::string& name) const {
    return std::any_of(headers.begin(), headers.end(),
                       [&](const auto& h) { return strcasecmp(h.first.c_str(), name.c_str()) == 0; });
}

std::string Response::get_header_value(const std::string& name) const {
    for (const auto& [n, v] : headers) {
        if (strcasecmp(n.c_str(), name.c_str()) == 0) return v;
    }
    return {};
}

void Response::erase_header(const std::string& name) {
    std::erase_if(headers, [&](const auto& h) { return strcasecmp(h.first.c_str(), name.c_str()) == 0; });
}

void Response::set_content(std::string content, const std::string& contentType) {
    body = std::move(content);
    file.reset();
    erase_header("Content-Type");
    headers.emplace_back("Content-Type", contentType);
}

std::shared_ptr<FileBody> FileBody::open(const std::string& path, std::uint64_t offset, std::uint64_t length) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || offset > std::uint64_t(st.st_size) ||
        length > std::uint64_t(st.st_size) - offset) {
        ::close(fd);
        return nullptr;
    }
    return std::shared_ptr<FileBody>(new FileBody(fd, offset, length));
}

FileBody::~FileBody() { ::close(fd_); }

long FileBody::read(std::uint64_t position, char* out, std::size_t size) const {
    if (position >= length_) return 0;
    size = std::size_t(std::min<std::uint64_t>(size, length_ - position));
    while (true) {
        const ssize_t n = ::pread(fd_, out, size, off_t(offset_ + position));
        if (n >= 0 || errno != EINTR) return long(n);
    }
}

void Response::set_file(std::shared_ptr<const FileBody> content, const std::string& contentType) {
    body.clear();
    file = std::move(content);
    erase_header("Content-Type");
    headers.emplace_back("Content-Type", contentType);
}

void HttpRouter::add(std::string method, const std::string& pattern, HttpHandler handler) {
    if (pattern.empty() || pattern.front() != '/') {
        throw std::invalid_argument("a route pattern starts with /: " + pattern);
    }
    Route route{std::move(method), {}, false, std::move(handler)};
    std::string_view rest(pattern);
    rest.remove_prefix(1);
    while (true) {
        const auto slash = rest.find('/');
        std::string_view segment = rest.substr(0, slash);
        if (route.rest) throw std::invalid_argument("\"**\" ends a route pattern: " + pattern);
        if (segment == "**") {
            route.rest = true;
        } else {
            route.segments.emplace_back(segment);
        }
        if (slash == std::string_view::npos) break;
        rest.remove_prefix(slash + 1);
    }
    routes_.push_back(std::move(route));
}

bool HttpRouter::match(const Route& route, std::string_view path, std::vector<std::string>* captures) {
    if (path.empty() || path.front() != '/') return false;
    path.remove_prefix(1);
    bool exhausted = false;  // every segment of the path has been compared
    for (const std::string& wanted : route.segments) {
        if (exhausted) return false;
        const auto slash = path.find('/');
        const std::string_view segment = path.substr(0, slash);
        if (wanted == "*") {
            if (segment.empty()) return false;
            if (captures) captures->emplace_back(segment);
        } else if (segment != wanted) {
            return false;
        }
        if (slash == std::string_view::npos) {
            exhausted = true;
            path = {};
        } else {
            path.remove_prefix(slash + 1);
        }
    }
    if (route.rest) {
        if (captures) captures->emplace_back(path);
        return true;
    }
    return exhausted;
}

const HttpHandler* HttpRouter::find(Request& req, bool& pathKnown) const {
    pathKnown = false;
    // A HEAD request is answered by the GET route, without the body.
    const std::string& method = req.method == "HEAD" ? std::string("GET") : req.method;
    for (const auto& route : routes_) {
        if (!match(route, req.path, nullptr)) continue;
        if (route.method != method) {
            pathKnown = true;
            continue;
        }
        req.matches.assign(1, req.path);
        match(route, req.path, &req.matches);
        return &route.handler;
    }
    return nullptr;
}

namespace {

bool isDecimalOctet(std::string_view text) {
    if (text.empty() || text.size() > 3) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return value <= 255;
}

bool isLoopbackIPv4(std::string_view host) {
    int octets = 0;
    while (true) {
        const auto dot = host.find('.');
        if (!isDecimalOctet(host.substr(0, dot))) return false;
        if (octets == 0 && host.substr(0, dot) != "127") return false;
        ++octets;
        if (dot == std::string_view::npos) break;
        host.remove_prefix(dot + 1);
    }
    return octets == 4;
}

// `host` is `domain` or a name under it.
bool isUnder(std::string_view host, std::string_view domain) {
    if (host == domain) return true;
    return host.size() > domain.size() && host.ends_with(domain) && host[host.size() - domain.size() - 1] == '.';
}

}  // namespace

bool isServedHost(std::string_view host) {
    static constexpr std::string_view kServiceDomains[] = {"localhost",       "quorvane.com", "quorvaneapis.com",
                                                           "quorvaneio.com",  "ondrix.com",   "ondrixapis.com"};
    if (host.empty()) return true;
    if (host.size() > 255) return false;
    // The port, when there is one, is digits after the last colon outside brackets.
    const auto colon = host.rfind(':');
    if (colon != std::string_view::npos && host.find(']', colon) == std::string_view::npos) {
        const std::string_view port = host.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return false;
        }
        host = host.substr(0, colon);
    }
    if (host == "[::1]") return true;
    std::string name(host);
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (isLoopbackIPv4(name)) return true;
    for (const auto domain : kServiceDomains) {
        if (isUnder(name, domain)) return true;
    }
    return false;
}

std::optional<std::string> percentDecodeStrict(std::string_view s) {
    return ns::percentDecodeStrict(s);
}

std::string percentDecode(std::string_view s, bool plusIsSpace) {
    // Only a literal '+' is a space; an escaped one ("%2B") stays a plus.
    std::string text(s);
    if (plusIsSpace) std::replace(text.begin(), text.end(), '+', ' ');
    return ns::percentDecode(text);
}

Params parseQuery(std::string_view rest) {
    Params params;
    while (!rest.empty()) {
        const auto amp = rest.find('&');
        std::string_view pair = rest.substr(0, amp);
        if (!pair.empty()) {
            const auto eq = pair.find('=');
            params.emplace(percentDecode(pair.substr(0, eq), true),
                           eq == std::string_view::npos ? std::string() : percentDecode(pair.substr(eq + 1), true));
        }
        if (amp == std::string_view::npos) break;
        rest.remove_prefix(amp + 1);
    }
    return params;
}

}  // namespace backend
