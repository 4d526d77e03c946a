// The pieces under the web socket: origin text, base64, the handshake
// digest, the pinned-certificate property, the shared network thread and
// the masking of sent frames.

#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "database/connection/FSRUtilities.h"
#include "database/connection/FSRWebSocket.h"

namespace {

TEST(FSRUtilitiesTest, OriginIsSchemeHostPortAndASlash) {
    EXPECT_EQ(SR_origin(*ns::URL::parse("WSS://db.example.com:8080/.ws?v=5")), "https://db.example.com:8080/");
    EXPECT_EQ(SR_origin(*ns::URL::parse("ws://db.example.com/.ws")), "http://db.example.com/");
    EXPECT_EQ(SR_origin(*ns::URL::parse("wss://db.example.com")), "https://db.example.com/");
    EXPECT_EQ(SR_origin(*ns::URL::parse("HTTPS://h:1/")), "https://h:1/");
    EXPECT_EQ(SR_origin(*ns::URL::parse("ftp://h/")), "ftp://h/");
}

TEST(FSRUtilitiesTest, Base64OfShortAndLongInputs) {
    EXPECT_EQ(FSRUtilities::base64EncodedStringFromData(ns::Data{'a', 'b', 'c'}), std::optional<std::string>("YWJj"));
    EXPECT_EQ(FSRUtilities::base64EncodedStringFromData(ns::Data{0}), std::optional<std::string>("AA=="));
    EXPECT_EQ(FSRUtilities::base64EncodedStringFromData(ns::Data{0xFF, 0xEE}), std::optional<std::string>("/+4="));
    EXPECT_EQ(FSRUtilities::base64EncodedStringFromData(ns::Data{}), std::optional<std::string>(""));

    // Room for every group of four and the closing NUL, or -1.
    const uint8_t abc[] = {'a', 'b', 'c', 'd'};
    char target[9];
    EXPECT_EQ(f_b64_ntop(abc, 4, target, 9), 8);
    EXPECT_STREQ(target, "YWJjZA==");
    EXPECT_EQ(f_b64_ntop(abc, 4, target, 8), -1);
    EXPECT_EQ(f_b64_ntop(abc, 4, target, 7), -1);
    EXPECT_EQ(f_b64_ntop(abc, 3, target, 4), -1);
}

TEST(FSRUtilitiesTest, AcceptValueOfTheRFCExample) {
    EXPECT_EQ(stringBySHA1ThenBase64Encoding(std::string_view("dGhlIHNhbXBsZSBub25jZQ==258EAFA5-E914-47DA-95CA-C5AB0DC85B11")),
              std::optional<std::string>("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="));
    const std::string text = "abc";
    EXPECT_EQ(stringBySHA1ThenBase64Encoding(ns::Data(text.begin(), text.end())),
              std::optional<std::string>("qZk+NkcGgWq6PiVxeFDCbJzQ2J0="));
}

TEST(FSRUtilitiesTest, PinnedCertificatesTravelInTheRequest) {
    ns::URLRequest request("wss://pinned.localhost/");
    EXPECT_FALSE(FSR_SSLPinnedCertificates(request));
    setFSR_SSLPinnedCertificates(request, ns::Array{ns::Value(ns::Data{1, 2, 3})});
    ns::URLRequest copy = request;
    auto pinned = FSR_SSLPinnedCertificates(copy);
    ASSERT_TRUE(pinned);
    ASSERT_EQ(pinned->size(), 1u);
    EXPECT_EQ((*pinned)[0], ns::Value(ns::Data{1, 2, 3}));
    // Never sent as a header.
    EXPECT_TRUE(copy.allHTTPHeaderFields().empty());
}

TEST(FSRUtilitiesTest, OneNetworkRunLoopForEveryThread) {
    std::vector<std::thread> threads;
    std::mutex mutex;
    std::set<ns::RunLoop*> loops;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&] {
            auto loop = FSR_networkRunLoop();
            std::lock_guard lock(mutex);
            loops.insert(loop.get());
        });
    }
    for (auto& t : threads) t.join();
    ASSERT_EQ(loops.size(), 1u);
    auto loop = FSR_networkRunLoop();
    EXPECT_EQ(loop.get(), *loops.begin());
    EXPECT_FALSE(loop->isCurrent());
    // Work posted there runs on the network thread.
    std::atomic<bool> ran{false};
    std::string name;
    loop->perform([&] {
        name = ns::Thread::current() ? ns::Thread::current()->name() : "";
        ran = true;
    });
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return ran.load(); }, 30));
    EXPECT_EQ(name, "com.kestrel.Wavecraft.NetworkThread");
}

TEST(FSRWebSocketTest, ConstructionReadsTheURL) {
    auto secure = FSRWebSocket::make(*ns::URL::parse("wss://a.localhost/x"));
    EXPECT_EQ(secure->url().host(), "a.localhost");
    EXPECT_EQ(secure->readyState(), SR_CONNECTING);
    EXPECT_EQ(secure->delegateDispatchQueue(), ns::DispatchQueue::main());
    EXPECT_EQ(secure->maximumMessageSize(), 64u * 1024 * 1024);
    EXPECT_THROW(FSRWebSocket::make(ns::URLRequest("no url at all")), ns::Exception);
}

// Frames as the socket writes them: each payload unmasks to its message
// whatever its length, and no frame reuses the key of the one before, over
// more frames than one draw of keys serves.
TEST(FSRWebSocketTest, SentFramesUnmaskToTheirMessagesUnderChangingKeys) {
    const std::vector<size_t> sizes = {0, 1, 5, 15, 16, 17, 63, 64, 65, 125, 126, 1000, 16383, 16385, 65536, 70001};
    auto socket = FSRWebSocket::makeFrameReaderForTesting(ns::DispatchQueue::serial("test.mask.delegate"));
    std::vector<std::string> sent;
    for (size_t round = 0; round < 70; ++round) {
        for (size_t size : sizes) {
            std::string text(size, 'a');
            for (size_t i = 0; i < size; ++i) text[i] = char('a' + (i * 7 + round) % 26);
            socket->send(ns::Value(text));
            sent.push_back(std::move(text));
        }
    }
    const ns::Data out = socket->takeOutputForTesting();
    size_t at = 0;
    uint32_t lastKey = 0;
    for (size_t n = 0; n < sent.size(); ++n) {
        SCOPED_TRACE(n);
        ASSERT_LE(at + 2, out.size());
        EXPECT_EQ(out[at], 0x81);
        ASSERT_TRUE(out[at + 1] & 0x80);
        uint64_t length = out[at + 1] & 0x7F;
        at += 2;
        const size_t extra = length == 126 ? 2 : length == 127 ? 8 : 0;
        if (extra) {
            length = 0;
            for (size_t i = 0; i < extra; ++i) length = (length << 8) | out[at + i];
            at += extra;
        }
        ASSERT_EQ(length, sent[n].size());
        ASSERT_LE(at + 4 + length, out.size());
        const uint8_t* key = out.data() + at;
        const uint32_t keyWord = uint32_t(key[0]) << 24 | uint32_t(key[1]) << 16 | uint32_t(key[2]) << 8 | key[3];
        if (n > 0) {
            EXPECT_NE(keyWord, lastKey);
        }
        lastKey = keyWord;
        at += 4;
        std::string payload(length, '\0');
        for (size_t i = 0; i < length; ++i) payload[i] = char(out[at + i] ^ key[i % 4]);
        EXPECT_TRUE(payload == sent[n]) << sent[n].size();
        at += length;
    }
    EXPECT_EQ(at, out.size());
}

TEST(FSRIOConsumerPoolTest, KeepsUpToItsCapacity) {
    FSRIOConsumerPool pool(2);
    auto a = pool.consumerWithScanner(nullptr, nullptr, 5, true, false);
    auto b = pool.consumerWithScanner(nullptr, nullptr, 6, false, true);
    auto c = pool.consumerWithScanner(nullptr, nullptr, 7, false, false);
    EXPECT_EQ(a->bytesNeeded(), 5u);
    EXPECT_TRUE(a->readToCurrentFrame());
    EXPECT_TRUE(b->unmaskBytes());
    FSRIOConsumer* rawB = b.get();
    pool.returnConsumer(a);
    pool.returnConsumer(b);
    pool.returnConsumer(c);  // beyond capacity: dropped
    auto reused = pool.consumerWithScanner(nullptr, nullptr, 9, false, false);
    EXPECT_EQ(reused.get(), rawB);  // the last one kept comes back first
    EXPECT_EQ(reused->bytesNeeded(), 9u);
    EXPECT_FALSE(reused->unmaskBytes());
}

}  // namespace
