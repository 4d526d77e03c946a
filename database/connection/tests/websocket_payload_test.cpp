// Large messages from the back end's raw-frame endpoint arriving in pieces,
// and streams ending inside a payload: however much of a payload the reader
// waits for, every message arrives whole and the end is reported.

#include <gtest/gtest.h>

#include "websocket_test_support.h"

using namespace wstest;

namespace {

// `size` bytes of text with two-byte characters that pieces may cut.
std::string textOf(size_t size) {
    std::string out;
    for (size_t i = 0; out.size() + 2 <= size; ++i) out += i % 50 ? std::string(1, char('a' + i % 26)) : "é";
    return out.append(size - out.size(), 'z');
}

TEST(WebSocketPayloadTest, MessagesInPiecesArriveWholeAndAnEndInsideAPayloadIsReported) {
    struct Case {
        const char* name;
        std::vector<size_t> messages;  // text messages of these sizes
        std::vector<size_t> cuts;      // where the bytes are split into separate sends
        size_t withheld;               // bytes at the end never sent: the stream ends first
        bool halves = false;           // each message in two frames, cut inside a character
    };
    const std::vector<Case> cases = {
        {"a large message in pieces", {700000}, {10, 100, 300000, 650000}, 0},
        {"a large, a shorter large and a small message", {700000, 300000, 2}, {700010}, 0},
        {"a cut in the second frame's header", {5, 800000}, {10, 400000}, 0},
        {"the end after a little of a large payload", {700000}, {100, 5000}, 695010},
        {"the end just before a payload's last bytes", {5, 700000}, {9000}, 1000},
        {"a shorter large message, then a longer one", {300000, 900000, 70000}, {}, 0},
        {"large messages in two frames each", {700000, 200000}, {350003, 700100}, 0, true},
    };
    auto backend = ns::testing::Backend::start();
    int counter = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fault f(*backend, "payload-" + std::to_string(++counter));
        Client client(f.url());
        client.socket->open();
        ASSERT_TRUE(client.recorder->waitOpen()) << client.recorder->describe();
        std::string all;
        for (size_t size : c.messages) {
            const std::string text = textOf(size);
            // textOf puts a two-byte character at 50: the cut falls inside one.
            const size_t cut = c.halves ? text.find("\xC3\xA9", size / 2) + 1 : size;
            std::string hexFrames = c.halves ? frame(0x01, text.substr(0, cut)) + frame(0x80, text.substr(cut))
                                             : frame(0x81, text);
            const ns::Data bytes = ns::crypto::hexDecode(hexFrames).value_or(ns::Data{});
            all.append(bytes.begin(), bytes.end());
        }
        all.resize(all.size() - c.withheld);
        std::vector<size_t> ends = c.cuts;
        ends.push_back(all.size());
        size_t from = 0;
        for (size_t end : ends) {
            if (end > from) f.send(hex(all.substr(from, end - from)));
            from = end;
        }
        const size_t whole = c.messages.size() - (c.withheld ? 1 : 0);
        if (c.withheld) f.end();
        ASSERT_TRUE(c.withheld ? client.recorder->waitClosedOrFailed() : client.recorder->waitMessages(whole))
            << client.recorder->describe();
        client.socket->drainWorkQueueForTesting();
        client.queue->sync([] {});
        client.recorder->locked([&] {
            ASSERT_EQ(client.recorder->messages.size(), whole);
            for (size_t i = 0; i < whole; ++i) {
                EXPECT_TRUE(client.recorder->messages[i] == ns::Value(textOf(c.messages[i]))) << i;
            }
            if (c.withheld) {
                EXPECT_TRUE(endedOnceWith(client.recorder->closes, {0, "Stream end encountered", false}));
            }
        });
        client.socket->close();
    }
}

// A byte that is not UTF-8 anywhere in a large text payload, whether it
// arrives with the header or straight into the message: the client fails the
// connection with 1007 and delivers nothing after it.
TEST(WebSocketPayloadTest, InvalidTextAnywhereInALargePayloadClosesWith1007) {
    const std::vector<size_t> badAt = {100, 500000, 699999};
    auto backend = ns::testing::Backend::start();
    int counter = 0;
    for (size_t at : badAt) {
        SCOPED_TRACE(at);
        Fault f(*backend, "bad-text-" + std::to_string(++counter));
        Client client(f.url());
        client.socket->open();
        ASSERT_TRUE(client.recorder->waitOpen()) << client.recorder->describe();
        std::string text = textOf(700000);
        text[at] = char(0xFF);
        f.send(frame(0x81, textOf(1000)) + frame(0x81, text) + frame(0x81, "after"));
        auto state = f.waitState([](const nlohmann::json& s) {
            for (const auto& fr : s["frames"]) {
                if (fr["opcode"] == 8) return true;
            }
            return s["finished"].get<bool>();
        });
        std::pair<int, std::string> close{-1, ""};
        for (const auto& fr : state["frames"]) {
            if (fr["opcode"] == 8) close = closeOf(fr);
        }
        EXPECT_EQ(close, std::make_pair(1007, std::string("Text frames must be valid UTF-8")));
        ASSERT_TRUE(client.recorder->waitClosedOrFailed()) << client.recorder->describe();
        client.socket->drainWorkQueueForTesting();
        client.queue->sync([] {});
        client.recorder->locked([&] {
            ASSERT_EQ(client.recorder->messages.size(), 1u);
            EXPECT_TRUE(client.recorder->messages[0] == ns::Value(textOf(1000)));
        });
    }
}

}  // namespace
