#pragma once
// NSURL stand-in: an absolute URL split into its parts. Parsing goes through
// libcurl's URL parser, which accepts any scheme (ws, wss, ...), so every
// network stack of the platform reads hosts and ports the same way.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ns {

class URL {
public:
    // nullopt for text that is not an absolute URL with a scheme and a host.
    static std::optional<URL> parse(std::string_view text);

    const std::string& absoluteString() const { return absolute_; }
    // As written (NSURL keeps the case; compare case-insensitively yourself).
    const std::string& scheme() const { return scheme_; }
    // Without the brackets of an IPv6 literal.
    const std::string& host() const { return host_; }
    // The port written in the URL, nullopt when none was written.
    std::optional<uint16_t> port() const { return port_; }
    // "" when the URL has no path ("ws://host"), else from the first slash.
    const std::string& path() const { return path_; }
    // Without the "?"; nullopt when there is none.
    const std::optional<std::string>& query() const { return query_; }
    // What goes on an HTTP request line: the path ("/" when empty) and the query.
    std::string requestTarget() const;

    friend bool operator==(const URL& a, const URL& b) { return a.absolute_ == b.absolute_; }

private:
    URL() = default;
    std::string absolute_;
    std::string scheme_;
    std::string host_;
    std::optional<uint16_t> port_;
    std::string path_;
    std::optional<std::string> query_;
};

// Percent-encoding (as UTF-8 bytes) of every byte that is not an ASCII
// letter, digit or one of `unreserved`; and the lenient reverse, which keeps
// a "%" that is not followed by two hex digits as it is.
std::string percentEncode(std::string_view text, std::string_view unreserved);
std::string percentDecode(std::string_view text);
// The strict reverse, for texts where a stray "%" means a malformed request.
std::optional<std::string> percentDecodeStrict(std::string_view text);

// File URLs (NSURL fileURLWithPath: and path): "file:///a%20b" <-> "/a b".
// filePathFromURL takes a plain path as it is.
std::string fileURLWithPath(std::string_view path);
std::string filePathFromURL(std::string_view fileURL);

}  // namespace ns
