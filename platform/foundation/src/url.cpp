#include "platform/url.h"

#include <curl/curl.h>

#include <cctype>
#include <charconv>

namespace ns {

std::optional<URL> URL::parse(std::string_view text) {
    if (text.empty()) return std::nullopt;
    CURLU* u = curl_url();
    if (!u) return std::nullopt;
    std::optional<URL> result;
    auto get = [&](CURLUPart which, std::string& out) {
        char* v = nullptr;
        const CURLUcode rc = curl_url_get(u, which, &v, 0);
        if (rc == CURLUE_OK && v) out = v;
        curl_free(v);
        return rc == CURLUE_OK;
    };
    const std::string owned(text);
    if (curl_url_set(u, CURLUPART_URL, owned.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
        URL url;
        url.absolute_ = owned;
        std::string port, query, path;
        if (get(CURLUPART_SCHEME, url.scheme_) && get(CURLUPART_HOST, url.host_) && !url.host_.empty()) {
            // libcurl lowers the scheme; NSURL keeps it as written.
            if (const auto colon = owned.find(':'); colon == url.scheme_.size()) url.scheme_ = owned.substr(0, colon);
            if (url.host_.size() > 2 && url.host_.front() == '[' && url.host_.back() == ']') {
                url.host_ = url.host_.substr(1, url.host_.size() - 2);
            }
            bool ok = true;
            if (get(CURLUPART_PORT, port)) {
                unsigned value = 0;
                auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
                ok = ec == std::errc() && end == port.data() + port.size() && value <= 65535;
                url.port_ = uint16_t(value);
            }
            // libcurl reports "/" for a URL without a path; NSURL reports "".
            const auto afterScheme = owned.find("://");
            const auto pathStart =
                afterScheme == std::string::npos ? std::string::npos : owned.find_first_of("/?#", afterScheme + 3);
            const bool hasPath = pathStart != std::string::npos && owned[pathStart] == '/';
            if (hasPath && get(CURLUPART_PATH, path)) url.path_ = path;
            if (get(CURLUPART_QUERY, query)) url.query_ = query;
            if (ok) result = std::move(url);
        }
    }
    curl_url_cleanup(u);
    return result;
}

std::string URL::requestTarget() const {
    std::string target = path_.empty() ? std::string("/") : path_;
    if (query_) target += "?" + *query_;
    return target;
}

std::string percentEncode(std::string_view text, std::string_view unreserved) {
    static const char* kHex = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if ((c < 128 && std::isalnum(c)) || (c != 0 && unreserved.find(char(c)) != std::string_view::npos)) {
            out += char(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isEscapeAt(std::string_view text, size_t i) {
    return text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0;
}

}  // namespace

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (isEscapeAt(text, i)) {
            out += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::optional<std::string> percentDecodeStrict(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && !isEscapeAt(text, i)) return std::nullopt;
    }
    return percentDecode(text);
}

std::string fileURLWithPath(std::string_view path) {
    return "file://" + percentEncode(path, "/-._~!$&'()*+,;=:@");
}

std::string filePathFromURL(std::string_view fileURL) {
    if (!fileURL.starts_with("file://")) return std::string(fileURL);
    fileURL.remove_prefix(7);
    // "file://localhost/path" names the same file as "file:///path".
    if (fileURL.starts_with("localhost/")) fileURL.remove_prefix(9);
    return percentDecode(fileURL);
}

}  // namespace ns
