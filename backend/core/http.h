#pragma once
// The back end's own HTTP request, response and router types. Their members
// follow the names the services have always used (req.method, req.path,
// req.get_param_value, res.set_content, ...), so handler bodies read the same
// whichever server runs them.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace backend {

// Case-insensitive ordering for header names.
struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

using Headers = std::multimap<std::string, std::string, CaseInsensitiveLess>;
using Params = std::multimap<std::string, std::string>;

// What a handler may learn about the connection a request came on while it
// runs. Thread-safe.
class ConnectionWatch {
public:
    // True once the peer has closed (or reset) the connection.
    bool peerHasClosed() const { return closed_.load(); }
    void markClosed() { closed_.store(true); }

private:
    std::atomic<bool> closed_{false};
};

struct Request {
    std::string method;
    std::string target;   // as sent, with the query
    std::string path;     // decoded, without the query
    std::string version;  // "HTTP/1.1"
    // Every header as sent, in order, duplicates kept.
    std::vector<std::pair<std::string, std::string>> headerList;
    Headers headers;
    // Decoded query parameters.
    Params params;
    // Captures of the matched route ([0] is the whole path; see HttpRouter).
    std::vector<std::string> matches;
    std::string body;  // raw bytes, exactly as sent (chunked framing removed)
    std::string remote_addr;
    int remote_port = 0;
    std::string local_addr;
    int local_port = 0;
    bool tls = false;
    std::shared_ptr<ConnectionWatch> connection;

    bool has_header(const std::string& name) const { return headers.find(name) != headers.end(); }
    std::string get_header_value(const std::string& name, std::size_t index = 0) const;
    std::size_t get_header_value_count(const std::string& name) const { return headers.count(name); }
    bool has_param(const std::string& name) const { return params.find(name) != params.end(); }
    std::string get_param_value(const std::string& name, std::size_t index = 0) const;
    // False when nobody can read an answer any more.
    bool peerHasClosed() const { return connection && connection->peerHasClosed(); }
};

// A body sent from an open file in bounded pieces, so a large object is never
// held in memory whole. The descriptor is taken when the handler answers: a
// rename or removal of the file afterwards does not change what is sent.
class FileBody {
public:
    // Null when the file cannot be opened or is shorter than offset + length.
    static std::shared_ptr<FileBody> open(const std::string& path, std::uint64_t offset, std::uint64_t length);
    ~FileBody();
    FileBody(const FileBody&) = delete;
    FileBody& operator=(const FileBody&) = delete;

    std::uint64_t length() const { return length_; }
    // Reads up to `size` bytes at `position` (from the body's start); the
    // count read, 0 at the end, -1 on an error.
    long read(std::uint64_t position, char* out, std::size_t size) const;

private:
    FileBody(int fd, std::uint64_t offset, std::uint64_t length) : fd_(fd), offset_(offset), length_(length) {}
    int fd_;
    std::uint64_t offset_;
    std::uint64_t length_;
};

struct Response {
    int status = -1;  // -1: no handler answered
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // When set, sent instead of `body` (HEAD answers announce its length).
    std::shared_ptr<const FileBody> file;

    void set_header(const std::string& name, const std::string& value);
    bool has_header(const std::string& name) const;
    std::string get_header_value(const std::string& name) const;
    void erase_header(const std::string& name);
    void set_content(std::string content, const std::string& contentType);
    void set_file(std::shared_ptr<const FileBody> content, const std::string& contentType);
    // The length of what will be sent: the file's or the body's.
    std::uint64_t contentLength() const { return file ? file->length() : body.size(); }
};

using HttpHandler = std::function<void(const Request&, Response&)>;

// Routes by method and a path pattern (the first route whose pattern
// matches wins, in the order added). A pattern is a path compared segment by
// segment: `*` stands for one non-empty segment, a last `**` for whatever
// remains (nothing included), anything else for itself. Matching is one pass
// over the path, so no path length can make it recurse or backtrack.
class HttpRouter {
public:
    // Throws std::invalid_argument for a pattern that does not start with
    // "/" or has "**" before its end.
    void add(std::string method, const std::string& pattern, HttpHandler handler);
    // The handler for the request, or null; fills `req.matches` ([0] the
    // whole path, then each `*` and `**` in order) and sets `pathKnown` when
    // another method has a route for the path.
    const HttpHandler* find(Request& req, bool& pathKnown) const;

private:
    struct Route {
        std::string method;
        std::vector<std::string> segments;  // without a final "**"
        bool rest = false;                  // ends in "**"
        HttpHandler handler;
    };
    static bool match(const Route& route, std::string_view path, std::vector<std::string>* captures);
    std::vector<Route> routes_;
};

// Whether a Host header names this back end: a loopback name or address
// ("localhost", "*.localhost", 127.0.0.0/8, "[::1]") or a host under the
// service domains the platform routes here, with or without a port. An
// absent Host is accepted (no browser sends one); any other name is refused
// so that a page on another site cannot read answers by rebinding its name
// to loopback.
bool isServedHost(std::string_view host);

// Percent-decoding; `plusIsSpace` for query strings.
std::string percentDecode(std::string_view text, bool plusIsSpace);
// Percent-decoding that refuses a "%" not followed by two hex digits.
std::optional<std::string> percentDecodeStrict(std::string_view text);
// Splits a query string into decoded parameters.
Params parseQuery(std::string_view query);

}  // namespace backend
