#pragma once
// CFHTTPMessage stand-in: an HTTP/1.1 request built field by field and
// serialised, or a message (request or response) parsed from bytes appended
// as they arrive. Only the head is parsed; bytes after the blank line are
// kept as the body. Used where a protocol speaks HTTP over its own socket
// (the web-socket upgrade).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/value.h"

namespace ns {

class URL;

class HTTPMessage {
public:
    // CFHTTPMessageCreateRequest: method, the URL's path and query as the
    // target, version "HTTP/1.1".
    static HTTPMessage makeRequest(std::string method, const URL& url, std::string version = "HTTP/1.1");
    // CFHTTPMessageCreateEmpty: an empty message to append received bytes to.
    static HTTPMessage makeEmpty(bool isRequest);

    bool isRequest() const { return isRequest_; }

    // Replaces every field of that name (case-insensitive), keeping the
    // first one's position; an empty optional removes the field.
    void setHeaderFieldValue(std::string_view name, std::optional<std::string> value);
    // First value of the field (case-insensitive), nullopt when absent.
    std::optional<std::string> headerFieldValue(std::string_view name) const;
    // Every field in order, as sent or received.
    const std::vector<std::pair<std::string, std::string>>& headerFields() const { return fields_; }

    // The request line, the fields and a blank line, then the body.
    std::string serialized() const;

    // Appends received bytes. False once the bytes are not a well-formed
    // HTTP/1.x head or the head passes 64 KiB, as received or as
    // serialized() would write it (the message then stays broken and shows
    // no fields, status or request line): a head accepted, written out,
    // is accepted again.
    bool appendBytes(std::string_view bytes);
    bool appendBytes(const Data& bytes) {
        return appendBytes(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    }
    // True once the blank line ending the head has been received and parsed.
    bool isHeaderComplete() const { return complete_; }
    bool isBroken() const { return broken_; }

    // Response: the status code (0 until the head is complete).
    long responseStatusCode() const { return status_; }
    const std::string& responseStatusLine() const { return statusLine_; }
    // Request: method and target.
    const std::string& requestMethod() const { return method_; }
    const std::string& requestTarget() const { return target_; }
    const std::string& version() const { return version_; }
    const std::string& body() const { return body_; }

private:
    HTTPMessage() = default;
    bool parseHead(std::string_view head);
    bool fail();
    // Calls put(piece) with each piece of the head as written, up to the
    // blank line.
    template <class Put>
    void putHead(Put&& put) const;
    size_t writtenHeadSize() const;

    bool isRequest_ = false;
    std::string method_, target_, version_ = "HTTP/1.1", statusLine_;
    long status_ = 0;
    std::vector<std::pair<std::string, std::string>> fields_;
    std::string pending_;  // bytes of an incomplete head
    std::string body_;
    bool complete_ = false;
    bool broken_ = false;
};

}  // namespace ns
