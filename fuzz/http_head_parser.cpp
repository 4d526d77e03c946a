// The platform's HTTP head parser (the one the web-socket upgrade reads the
// server's answer with), over any bytes: request and response heads, status
// lines, fields, the blank line and whatever body follows, fed at once and
// in pieces.
//
// Input: the first byte picks a request (odd) or a response (even) and seeds
// the piece sizes; the rest is the byte stream.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/http_message.h"
#include "require.h"

namespace {

bool isTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// Everything a reader of the message can observe.
bool sameOutcome(const ns::HTTPMessage& a, const ns::HTTPMessage& b) {
    return a.isBroken() == b.isBroken() && a.isHeaderComplete() == b.isHeaderComplete() &&
           a.responseStatusCode() == b.responseStatusCode() && a.responseStatusLine() == b.responseStatusLine() &&
           a.requestMethod() == b.requestMethod() && a.requestTarget() == b.requestTarget() &&
           a.version() == b.version() && a.headerFields() == b.headerFields() && a.body() == b.body();
}

void checkHead(const ns::HTTPMessage& m, std::string_view input) {
    if (!m.isHeaderComplete()) {
        require(m.headerFields().empty() && m.body().empty() && m.responseStatusCode() == 0);
        return;
    }
    require(!m.isBroken());
    // Every field takes at least "n:" and a line break of the head.
    require(m.headerFields().size() * 3 <= input.size());
    for (const auto& [name, value] : m.headerFields()) {
        require(!name.empty());
        for (char c : name) require(isTokenChar(c));
        for (char c : value) require(c == '\t' || (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f));
        require(value.empty() || (value.front() != ' ' && value.front() != '\t' && value.back() != ' ' &&
                                  value.back() != '\t'));
    }
    // Each look-up reads the fields in order, so only a few names are
    // looked up: a head may hold thousands of fields.
    const auto& fields = m.headerFields();
    for (size_t i = 0; i < fields.size(); i += 1 + fields.size() / 8) {
        require(m.headerFieldValue(fields[i].first).has_value());
    }
    require(m.version().rfind("HTTP/1.", 0) == 0);
    if (m.isRequest()) {
        require(m.responseStatusCode() == 0);
        require(!m.requestMethod().empty() && !m.requestTarget().empty());
    } else {
        require(m.responseStatusCode() >= 100 && m.responseStatusCode() <= 999);
    }
    // What the parser accepted, written out again, reads the same: the
    // bound counts the head as written.
    const std::string written = m.serialized();
    require(written.size() - m.body().size() - 4 <= 64 * 1024);
    ns::HTTPMessage again = ns::HTTPMessage::makeEmpty(m.isRequest());
    require(again.appendBytes(written));
    require(sameOutcome(m, again));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool isRequest = (data[0] & 1) != 0;
    const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);

    ns::HTTPMessage whole = ns::HTTPMessage::makeEmpty(isRequest);
    const bool accepted = whole.appendBytes(input);
    require(accepted == !whole.isBroken());
    checkHead(whole, input);

    // The same bytes in pieces of pseudo-random sizes (one byte included).
    ns::HTTPMessage pieces = ns::HTTPMessage::makeEmpty(isRequest);
    uint32_t state = data[0] * 2654435761u + 1;
    for (size_t at = 0; at < input.size();) {
        state = state * 1103515245u + 12345u;
        const size_t n = std::min<size_t>(input.size() - at, (state >> 16) % 17 + 1);
        pieces.appendBytes(input.substr(at, n));
        at += n;
    }
    require(sameOutcome(whole, pieces));
    return 0;
}
