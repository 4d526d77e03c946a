#include "platform/http_message.h"

#include <strings.h>

#include <charconv>

#include "platform/url.h"

namespace ns {

namespace {

// A head larger than this is refused rather than buffered without end.
constexpr size_t kMaxHeadBytes = 64 * 1024;

bool sameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool isTokenChar(char c) {
    if (c >= 'a' && c <= 'z') return true;
    if (c >= 'A' && c <= 'Z') return true;
    if (c >= '0' && c <= '9') return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

HTTPMessage HTTPMessage::makeRequest(std::string method, const URL& url, std::string version) {
    HTTPMessage m;
    m.isRequest_ = true;
    m.method_ = std::move(method);
    m.target_ = url.requestTarget();
    m.version_ = std::move(version);
    m.complete_ = true;
    return m;
}

HTTPMessage HTTPMessage::makeEmpty(bool isRequest) {
    HTTPMessage m;
    m.isRequest_ = isRequest;
    return m;
}

void HTTPMessage::setHeaderFieldValue(std::string_view name, std::optional<std::string> value) {
    auto it = fields_.begin();
    bool placed = false;
    while (it != fields_.end()) {
        if (!sameName(it->first, name)) {
            ++it;
        } else if (!placed && value) {
            it->second = *value;
            placed = true;
            ++it;
        } else {
            it = fields_.erase(it);
        }
    }
    if (!placed && value) fields_.emplace_back(std::string(name), std::move(*value));
}

std::optional<std::string> HTTPMessage::headerFieldValue(std::string_view name) const {
    for (const auto& [n, v] : fields_) {
        if (sameName(n, name)) return v;
    }
    return std::nullopt;
}

std::string HTTPMessage::serialized() const {
    std::string out;
    if (isRequest_) {
        out = method_ + " " + target_ + " " + version_ + "\r\n";
    } else {
        out = statusLine_.empty() ? version_ + " " + std::to_string(status_) + "\r\n" : statusLine_ + "\r\n";
    }
    for (const auto& [n, v] : fields_) out += n + ": " + v + "\r\n";
    out += "\r\n";
    out += body_;
    return out;
}

bool HTTPMessage::appendBytes(std::string_view bytes) {
    if (broken_) return false;
    if (complete_) {
        body_.append(bytes);
        return true;
    }
    const size_t searchFrom = pending_.size() >= 3 ? pending_.size() - 3 : 0;
    pending_.append(bytes);
    const auto end = pending_.find("\r\n\r\n", searchFrom);
    if (end == std::string::npos) {
        if (pending_.size() > kMaxHeadBytes) broken_ = true;
        return !broken_;
    }
    if (!parseHead(std::string_view(pending_).substr(0, end))) {
        broken_ = true;
        return false;
    }
    body_ = pending_.substr(end + 4);
    pending_.clear();
    complete_ = true;
    return true;
}

bool HTTPMessage::parseHead(std::string_view head) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start <= head.size()) {
        auto eol = head.find("\r\n", start);
        if (eol == std::string_view::npos) eol = head.size();
        lines.push_back(head.substr(start, eol - start));
        start = eol + 2;
    }
    if (lines.empty() || lines[0].empty()) return false;
    const std::string_view first = lines[0];
    if (isRequest_) {
        const auto sp1 = first.find(' ');
        const auto sp2 = first.rfind(' ');
        if (sp1 == std::string_view::npos || sp2 == sp1) return false;
        method_ = std::string(first.substr(0, sp1));
        target_ = std::string(first.substr(sp1 + 1, sp2 - sp1 - 1));
        version_ = std::string(first.substr(sp2 + 1));
        if (version_.rfind("HTTP/1.", 0) != 0 || method_.empty() || target_.empty()) return false;
    } else {
        // "HTTP/1.1 101 Switching Protocols"; the reason phrase may be empty.
        if (first.rfind("HTTP/1.", 0) != 0 || first.size() < 12 || first[8] != ' ') return false;
        version_ = std::string(first.substr(0, 8));
        const std::string_view code = first.substr(9, 3);
        int value = 0;
        auto [p, ec] = std::from_chars(code.data(), code.data() + 3, value);
        if (ec != std::errc() || p != code.data() + 3 || value < 100) return false;
        if (first.size() > 12 && first[12] != ' ') return false;
        status_ = value;
        statusLine_ = std::string(first);
    }
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return false;
        const std::string_view name = line.substr(0, colon);
        for (char c : name)
            if (!isTokenChar(c)) return false;
        const std::string_view value = trim(line.substr(colon + 1));
        for (char c : value)
            if ((c < 0x20 && c != '\t') || c == 0x7f) return false;
        fields_.emplace_back(std::string(name), std::string(value));
    }
    return true;
}

}  // namespace ns
