// URL parts, the HTTP/1.1 message builder and parser, and the UTF-8 checks.

#include <gtest/gtest.h>

#include "platform/http_message.h"
#include "platform/url.h"
#include "platform/utf8.h"

namespace {

TEST(URLTest, SplitsSchemeHostPortPathAndQuery) {
    auto u = ns::URL::parse("WSS://Echo.Localhost:8080/.ws?v=5&ns=demo");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->scheme(), "WSS");
    EXPECT_EQ(u->port(), std::optional<uint16_t>(8080));
    EXPECT_EQ(u->path(), "/.ws");
    EXPECT_EQ(u->query(), std::optional<std::string>("v=5&ns=demo"));
    EXPECT_EQ(u->requestTarget(), "/.ws?v=5&ns=demo");

    auto bare = ns::URL::parse("ws://example.localhost");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->host(), "example.localhost");
    EXPECT_FALSE(bare->port());
    EXPECT_EQ(bare->path(), "");
    EXPECT_EQ(bare->requestTarget(), "/");

    auto v6 = ns::URL::parse("ws://[::1]:9/x");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->host(), "::1");

    EXPECT_FALSE(ns::URL::parse(""));
    EXPECT_FALSE(ns::URL::parse("not a url"));
    EXPECT_FALSE(ns::URL::parse("ws://host:99999/"));
}

TEST(HTTPMessageTest, BuildsARequestWithFieldsInOrderAndReplacesByName) {
    auto url = ns::URL::parse("ws://h.localhost:81/chat?x=1");
    ASSERT_TRUE(url);
    auto m = ns::HTTPMessage::makeRequest("GET", *url);
    m.setHeaderFieldValue("Host", std::string("h.localhost:81"));
    m.setHeaderFieldValue("Upgrade", std::string("websocket"));
    m.setHeaderFieldValue("upgrade", std::string("other"));
    m.setHeaderFieldValue("X-Gone", std::string("1"));
    m.setHeaderFieldValue("x-gone", std::nullopt);
    EXPECT_EQ(m.serialized(), "GET /chat?x=1 HTTP/1.1\r\nHost: h.localhost:81\r\nUpgrade: other\r\n\r\n");
}

TEST(HTTPMessageTest, ParsesAResponseHeadArrivingInPieces) {
    auto m = ns::HTTPMessage::makeEmpty(false);
    const std::string head =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nSec-WebSocket-Accept:  abc= \r\n\r\nrest";
    for (size_t i = 0; i < head.size(); i += 7) EXPECT_TRUE(m.appendBytes(head.substr(i, 7)));
    ASSERT_TRUE(m.isHeaderComplete());
    EXPECT_EQ(m.responseStatusCode(), 101);
    EXPECT_EQ(m.headerFieldValue("sec-websocket-accept"), std::optional<std::string>("abc="));
    EXPECT_EQ(m.headerFieldValue("Missing"), std::nullopt);
    EXPECT_EQ(m.body(), "rest");
}

TEST(HTTPMessageTest, RefusesMalformedHeads) {
    for (const std::string bad : {"HTTP/1.1 1x1 Nope\r\n\r\n", "SPDY/3 200 OK\r\n\r\n", "HTTP/1.1 200 OK\r\nNoColon\r\n\r\n",
                                  "HTTP/1.1 200 OK\r\nBad Name: x\r\n\r\n", "HTTP/1.1 200 OK\r\nX: a\x01\r\n\r\n"}) {
        auto m = ns::HTTPMessage::makeEmpty(false);
        EXPECT_FALSE(m.appendBytes(bad)) << bad;
        EXPECT_TRUE(m.isBroken());
        EXPECT_FALSE(m.isHeaderComplete());
    }
    // A head that never ends is refused instead of buffered without end.
    auto endless = ns::HTTPMessage::makeEmpty(false);
    const std::string line = "X-Filler: " + std::string(1000, 'a') + "\r\n";
    bool accepted = endless.appendBytes("HTTP/1.1 101 OK\r\n");
    for (int i = 0; i < 100 && accepted; ++i) accepted = endless.appendBytes(line);
    EXPECT_FALSE(accepted);
}

TEST(HTTPMessageTest, RequestHeadsAreOneTokenOneTargetAndAVersion) {
    auto request = ns::HTTPMessage::makeEmpty(true);
    ASSERT_TRUE(request.appendBytes("GET /.ws?v=5 HTTP/1.1\r\nHost: a.localhost\r\n\r\n"));
    EXPECT_EQ(request.requestMethod(), "GET");
    EXPECT_EQ(request.requestTarget(), "/.ws?v=5");
    EXPECT_EQ(request.version(), "HTTP/1.1");
    EXPECT_EQ(request.responseStatusCode(), 0);
    for (const std::string bad : {"GET /a b HTTP/1.1\r\n\r\n", "GET  HTTP/1.1\r\n\r\n", "G(T / HTTP/1.1\r\n\r\n",
                                  "GET / HTTP/2.0\r\n\r\n", "GET / HTTP/1.1x\r\n\r\n", "GET /\x01 HTTP/1.1\r\n\r\n",
                                  "GET / HTTP/1.1 \r\n\r\n"}) {
        auto m = ns::HTTPMessage::makeEmpty(true);
        EXPECT_FALSE(m.appendBytes(bad)) << bad;
    }
    for (const std::string bad : {"HTTP/1.1 -12 Minus\r\n\r\n", "HTTP/1.1 +20 Plus\r\n\r\n", "HTTP/1.x 200 OK\r\n\r\n",
                                  "HTTP/1.1 099 Low\r\n\r\n", "HTTP/1.1 200 O\x01K\r\n\r\n"}) {
        auto m = ns::HTTPMessage::makeEmpty(false);
        EXPECT_FALSE(m.appendBytes(bad)) << bad;
    }
}

TEST(HTTPMessageTest, ABrokenHeadShowsNothingOfWhatWasParsedBeforeTheFault) {
    auto m = ns::HTTPMessage::makeEmpty(false);
    EXPECT_FALSE(m.appendBytes("HTTP/1.1 101 Switching\r\nUpgrade: websocket\r\nBad Name: x\r\n\r\n"));
    EXPECT_TRUE(m.headerFields().empty());
    EXPECT_EQ(m.responseStatusCode(), 0);
    EXPECT_EQ(m.responseStatusLine(), "");
    EXPECT_FALSE(m.appendBytes("more"));
}

TEST(HTTPMessageTest, TheHeadSizeLimitIsTheSameForOnePieceAndMany) {
    // A head just under the limit reads, one just over does not, however
    // the bytes are cut.
    for (size_t filler : {size_t(65536 - 40), size_t(65536 - 20)}) {
        std::string head = "HTTP/1.1 101 OK\r\nX-Filler: " + std::string(filler, 'a');
        const bool fits = head.size() <= 65536;
        head += "\r\n\r\nbody";
        auto whole = ns::HTTPMessage::makeEmpty(false);
        EXPECT_EQ(whole.appendBytes(head), fits) << head.size();
        auto pieces = ns::HTTPMessage::makeEmpty(false);
        bool accepted = true;
        for (size_t i = 0; i < head.size() && accepted; i += 1000) accepted = pieces.appendBytes(head.substr(i, 1000));
        EXPECT_EQ(accepted, fits) << head.size();
        EXPECT_EQ(whole.isHeaderComplete(), pieces.isHeaderComplete());
        if (fits) {
            EXPECT_EQ(pieces.body(), "body");
        }
    }
}

// A head of `first`, copies of `field` and a last field "z:" whose value
// fills it to `size` bytes, as received or as written (each field line
// "\r\nname: value", the value trimmed).
std::string headOfSize(std::string_view first, std::string_view field, bool asWritten, size_t size) {
    const size_t colon = field.find(':');
    std::string_view value = field.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    const size_t line = asWritten ? 2 + colon + 2 + value.size() : 2 + field.size();
    const size_t last = asWritten ? 5 : 4;  // "\r\nz: " or "\r\nz:"
    const size_t count = (size - first.size() - last) / line;
    std::string head(first);
    for (size_t i = 0; i < count; ++i) head.append("\r\n").append(field);
    head += "\r\nz:";
    head += std::string(size - first.size() - last - count * line, 'x');
    return head + "\r\n\r\n";
}

// The bound counts what a head costs as written: a head is refused once
// writing it out would pass 64 KiB, although it arrived within them, and a
// head the writer shrinks is judged by what arrived. Whatever is accepted,
// written out, reads again the same.
TEST(HTTPMessageTest, AHeadIsJudgedByItsSizeAsWritten) {
    struct Case {
        bool request;
        const char* field;
        bool asWritten;
        size_t size;
        bool accepted;
    };
    const size_t most = 64 * 1024;
    const Case cases[] = {
        {false, "a:", true, most, true},
        {false, "a:", true, most + 1, false},
        {false, "Name:value", true, most, true},
        {false, "Name:value", true, most + 1, false},
        {true, "a:", true, most + 1, false},
        {false, "a:   spaced   ", false, most, true},
        {false, "a:   spaced   ", false, most + 1, false},
        {false, "a: written as it came", true, most, true},
        {false, "a: written as it came", true, most + 1, false},
    };
    for (const Case& c : cases) {
        const std::string head =
            headOfSize(c.request ? "GET /x HTTP/1.1" : "HTTP/1.1 101 Switching Protocols", c.field, c.asWritten, c.size);
        const std::string what = std::string(c.field) + (c.asWritten ? " written " : " received ") + std::to_string(c.size);
        auto m = ns::HTTPMessage::makeEmpty(c.request);
        EXPECT_EQ(m.appendBytes(head + "body"), c.accepted) << what;
        if (!c.accepted) continue;
        const std::string written = m.serialized();
        EXPECT_LE(written.size() - 4 - m.body().size(), most) << what;
        auto again = ns::HTTPMessage::makeEmpty(c.request);
        EXPECT_TRUE(again.appendBytes(written)) << what;
        EXPECT_EQ(again.headerFields(), m.headerFields()) << what;
        EXPECT_EQ(again.body(), "body") << what;
    }
}

TEST(UTF8Test, IncompleteTrailingSequencesWaitAndInvalidBytesDoNot) {
    auto prefix = [](std::string_view s) {
        return ns::utf8::validPrefixLength(reinterpret_cast<const uint8_t*>(s.data()), s.size());
    };
    EXPECT_EQ(prefix("plain ascii text that is long enough for the fast path"), 54u);
    EXPECT_EQ(prefix("a\xE2\x82"), 1u);              // first two bytes of the euro sign
    EXPECT_EQ(prefix("ab\xF0\x9F\x98"), 2u);         // three of four
    EXPECT_EQ(prefix("\xE2\x82\xAC"), 3u);           // complete
    EXPECT_EQ(prefix(std::string("a\0b", 3)), 3u);   // NUL is a character
    EXPECT_FALSE(prefix("ok \xFF"));                 // never valid
    EXPECT_FALSE(prefix("\xC0\xAF"));                // overlong
    EXPECT_FALSE(prefix("\xED\xA0\x80"));            // surrogate
    EXPECT_FALSE(prefix("\xF4\x90\x80\x80"));        // above U+10FFFF
    EXPECT_FALSE(prefix("\xE2\x41"));                // lead byte followed by ASCII
    EXPECT_FALSE(prefix("\x80"));                    // lone trail byte

    EXPECT_TRUE(ns::utf8::isValid("Jamón serrano, piña, € ✓ 😀"));
    EXPECT_FALSE(ns::utf8::isValid("a\xE2\x82"));
    const std::string text = "naïve";
    EXPECT_EQ(ns::utf8::decode(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
              std::optional<std::string>(text));
}

}  // namespace
