// When the network core tells a web-socket handler that the connection has
// gone idle: once after a burst of messages, however many of them Beast read
// in one go, and never left out after the last message.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "backend/core/http_server.h"
#include "backend/core/options.h"
#include "rtdb_test_support.h"
#include "socket_test_support.h"

namespace {

// What the handler saw, in order: 'm' for a message, 'i' for an idle call.
struct Seen {
    std::mutex mutex;
    std::string events;

    void add(char event) {
        std::lock_guard lock(mutex);
        events += event;
    }
    std::string get() {
        std::lock_guard lock(mutex);
        return events;
    }
};

// A masked text frame of the client's, with a zero mask (the payload as is).
std::string clientFrame(const std::string& payload) {
    std::string frame{char(0x81), char(0x80 | payload.size()), 0, 0, 0, 0};
    return frame + payload;
}

// Sends the upgrade request and reads the answer's head; true on a 101.
bool upgrade(int fd) {
    if (!sockettest::sendAll(fd, "GET /count HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\n"
                                 "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                 "Sec-WebSocket-Version: 13\r\n\r\n")) {
        return false;
    }
    std::string head;
    char c;
    while (head.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1) head += c;
    return head.rfind("HTTP/1.1 101", 0) == 0;
}

struct IdleCase {
    const char* name;
    int bursts;
    int perBurst;
    // Idle calls at most per burst.
    int maxIdles;
};

TEST(WebSocketIdleTest, RunsOnceABurstHasBeenHandledAndAfterTheLastMessage) {
    const IdleCase cases[] = {
        {"one message", 1, 1, 1},
        // Beast takes a burst from the socket in pieces of about 1.5 KB and
        // holds what it read: the messages it holds are not an idle socket.
        {"a burst in one write", 1, 300, 30},
        {"bursts one after the other's idle", 3, 100, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto seen = std::make_shared<Seen>();
        auto router = std::make_shared<backend::WebSocketRouter>();
        router->add("/count", [seen](const backend::SessionPtr& session) {
            backend::WebSocketSession::Callbacks callbacks;
            callbacks.onMessage = [seen](backend::WebSocketSession::Message&&) { seen->add('m'); };
            callbacks.onIdle = [seen] { seen->add('i'); };
            session->open(std::move(callbacks), 1 << 20);
        });
        backend::NetworkCore core({}, backend::defaultCertPath(), backend::defaultKeyPath());
        core.start(0, 0, 0, 0, [](backend::Request&, backend::Response& res) { res.status = -1; }, router);
        const int fd = sockettest::connectTo(core.wsPort());
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(upgrade(fd));
        std::string expected;
        for (int burst = 0; burst < c.bursts; ++burst) {
            std::string bytes;
            for (int i = 0; i < c.perBurst; ++i) bytes += clientFrame("m" + std::to_string(i));
            ASSERT_TRUE(sockettest::sendAll(fd, bytes));
            expected += std::string(size_t(c.perBurst), 'm');
            // The burst's last message is followed by an idle call.
            ASSERT_TRUE(rtdbtest::eventually([&] {
                std::string events = seen->get();
                std::erase(events, 'i');
                return events == expected && seen->get().back() == 'i';
            }));
        }
        const std::string events = seen->get();
        const auto idles = std::count(events.begin(), events.end(), 'i');
        EXPECT_GE(idles, c.bursts);
        EXPECT_LE(idles, c.bursts * c.maxIdles) << events;
        ::close(fd);
        core.stop();
    }
}

}  // namespace
