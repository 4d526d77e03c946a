#include "platform/http_message.h"

#include <strings.h>


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

// "HTTP/1.0" or "HTTP/1.1" (any single minor digit).
bool isVersion(std::string_view v) {
    return v.size() == 8 && v.substr(0, 7) == "HTTP/1." && v[7] >= '0' && v[7] <= '9';
}

// Visible characters, spaces and tabs; obsolete text above 0x7F is kept as is.
bool isFieldValueChar(char c) {
    return c == '\t' || (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
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

// The one writer of a head, for its text and for the size the parser
// bounds: a head is judged by what it costs as written (one space after
// each colon, values trimmed), so whatever the parser accepts, written
// out, reads again. The blank line ending the head is not part of it.
template <class Put>
void HTTPMessage::putHead(Put&& put) const {
    if (isRequest_) {
        put(method_);
        put(" ");
        put(target_);
        put(" ");
        put(version_);
    } else if (statusLine_.empty()) {
        put(version_);
        put(" ");
        put(std::to_string(status_));
    } else {
        put(statusLine_);
    }
    for (const auto& [name, value] : fields_) {
        put("\r\n");
        put(name);
        put(": ");
        put(value);
    }
}

size_t HTTPMessage::writtenHeadSize() const {
    size_t size = 0;
    putHead([&](std::string_view piece) { size += piece.size(); });
    return size;
}

std::string HTTPMessage::serialized() const {
    std::string out;
    out.reserve(writtenHeadSize() + 4 + body_.size());
    putHead([&](std::string_view piece) { out += piece; });
    out += "\r\n\r\n";
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
    // The limit is on the head itself, so that the same bytes are judged
    // alike whether they come at once or in pieces: without the blank line
    // in the first kMaxHeadBytes + 3 bytes the head is already too long.
    // The parser applies it again to the head as it would be written.
    if (end == std::string::npos ? pending_.size() > kMaxHeadBytes + 3 : end > kMaxHeadBytes) {
        return fail();
    }
    if (end == std::string::npos) return true;
    if (!parseHead(std::string_view(pending_).substr(0, end))) return fail();
    body_ = pending_.substr(end + 4);
    pending_.clear();
    pending_.shrink_to_fit();
    complete_ = true;
    return true;
}

bool HTTPMessage::fail() {
    // A broken message shows nothing of what was parsed before the fault.
    broken_ = true;
    method_.clear();
    target_.clear();
    version_ = "HTTP/1.1";
    statusLine_.clear();
    status_ = 0;
    fields_.clear();
    pending_.clear();
    pending_.shrink_to_fit();
    return false;
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
        // "GET /path?query HTTP/1.1": a token, a target without spaces or
        // control characters, and the version, one space apart.
        const auto sp1 = first.find(' ');
        if (sp1 == std::string_view::npos) return false;
        const auto sp2 = first.find(' ', sp1 + 1);
        if (sp2 == std::string_view::npos) return false;
        const std::string_view method = first.substr(0, sp1);
        const std::string_view target = first.substr(sp1 + 1, sp2 - sp1 - 1);
        const std::string_view version = first.substr(sp2 + 1);
        if (method.empty() || target.empty() || !isVersion(version)) return false;
        for (char c : method)
            if (!isTokenChar(c)) return false;
        for (char c : target)
            if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return false;
        method_ = std::string(method);
        target_ = std::string(target);
        version_ = std::string(version);
    } else {
        // "HTTP/1.1 101 Switching Protocols"; the reason phrase may be empty.
        if (first.size() < 12 || !isVersion(first.substr(0, 8)) || first[8] != ' ') return false;
        const std::string_view code = first.substr(9, 3);
        for (char c : code)
            if (c < '0' || c > '9') return false;
        const int value = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');
        if (value < 100) return false;
        if (first.size() > 12 && first[12] != ' ') return false;
        for (char c : first.substr(12))
            if (!isFieldValueChar(c)) return false;
        version_ = std::string(first.substr(0, 8));
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
            if (!isFieldValueChar(c)) return false;
        fields_.emplace_back(std::string(name), std::string(value));
    }
    return writtenHeadSize() <= kMaxHeadBytes;
}

}  // namespace ns
