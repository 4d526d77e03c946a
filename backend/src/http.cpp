#include "backend/http.h"

#include <strings.h>

#include <algorithm>

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
    erase_header("Content-Type");
    headers.emplace_back("Content-Type", contentType);
}

void HttpRouter::add(std::string method, const std::string& pattern, HttpHandler handler) {
    routes_.push_back(Route{std::move(method), std::regex(pattern), std::move(handler)});
}

const HttpHandler* HttpRouter::find(Request& req, bool& pathKnown) const {
    pathKnown = false;
    // A HEAD request is answered by the GET route, without the body.
    const std::string& method = req.method == "HEAD" ? std::string("GET") : req.method;
    for (const auto& route : routes_) {
        std::smatch match;
        if (!std::regex_match(req.path, match, route.pattern)) continue;
        if (route.method != method) {
            pathKnown = true;
            continue;
        }
        req.matches.clear();
        for (const auto& piece : match) req.matches.push_back(piece.str());
        return &route.handler;
    }
    return nullptr;
}

namespace {

int hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<std::string> percentDecodeStrict(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '%') {
            out += s[i];
            continue;
        }
        if (i + 2 >= s.size() || hex(s[i + 1]) < 0 || hex(s[i + 2]) < 0) return std::nullopt;
        out += char(hex(s[i + 1]) * 16 + hex(s[i + 2]));
        i += 2;
    }
    return out;
}

std::string percentDecode(std::string_view s, bool plusIsSpace) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            const int hi = hex(s[i + 1]), lo = hex(s[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += char(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += (plusIsSpace && s[i] == '+') ? ' ' : s[i];
    }
    return out;
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
