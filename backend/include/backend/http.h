#pragma once
// The back end's own HTTP request, response and router types. Their members
// follow the names the services have always used (req.method, req.path,
// req.get_param_value, res.set_content, ...), so handler bodies read the same
// whichever server runs them.

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
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
    // Regex captures of the matched route ([0] is the whole path).
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

struct Response {
    int status = -1;  // -1: no handler answered
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    void set_header(const std::string& name, const std::string& value);
    bool has_header(const std::string& name) const;
    std::string get_header_value(const std::string& name) const;
    void erase_header(const std::string& name);
    void set_content(std::string content, const std::string& contentType);
};

using HttpHandler = std::function<void(const Request&, Response&)>;

// Routes by method and a regular expression over the whole decoded path (the
// route with the first matching pattern wins, in the order added).
class HttpRouter {
public:
    void add(std::string method, const std::string& pattern, HttpHandler handler);
    // The handler for the request (its captures filled in), or null; sets
    // `pathKnown` when another method has a route for the path.
    const HttpHandler* find(Request& req, bool& pathKnown) const;

private:
    struct Route {
        std::string method;
        std::regex pattern;
        HttpHandler handler;
    };
    std::vector<Route> routes_;
};

// Percent-decoding; `plusIsSpace` for query strings.
std::string percentDecode(std::string_view text, bool plusIsSpace);
// Percent-decoding that refuses a "%" not followed by two hex digits.
std::optional<std::string> percentDecodeStrict(std::string_view text);
// Splits a query string into decoded parameters.
Params parseQuery(std::string_view query);

}  // namespace backend
