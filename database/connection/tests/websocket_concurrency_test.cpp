// Fifty sockets opened, used and closed at the same time: every one reaches
// its close, and every one is released afterwards (run under the
// sanitizers, this is the leak and race check).

#include <gtest/gtest.h>

#include <thread>

#include "platform/trust_store.h"
#include "websocket_test_support.h"

using namespace wstest;
using ns::testing::Backend;

namespace {

TEST(WebSocketConcurrencyTest, FiftySocketsOpenEchoAndCloseConcurrently) {
    auto backend = Backend::start();
    ASSERT_TRUE(ns::TrustStore::shared().addAnchorFile(Backend::caPath()));
    constexpr int kSockets = 50;

    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < kSockets; ++i) {
        const bool tls = i % 2 == 1;
        const std::string url = std::string(tls ? "wss" : "ws") + "://c" + std::to_string(i) + ".localhost:" +
                                std::to_string(tls ? backend->wssPort() : backend->wsPort()) + "/echo";
        clients.push_back(std::make_unique<Client>(url));
    }
    // Opened and closed from several threads at once.
    std::vector<std::thread> threads;
    for (int t = 0; t < 5; ++t) {
        threads.emplace_back([&, t] {
            for (int i = t; i < kSockets; i += 5) clients[size_t(i)]->socket->open();
        });
    }
    for (auto& th : threads) th.join();
    threads.clear();

    for (int i = 0; i < kSockets; ++i) {
        auto& c = *clients[size_t(i)];
        ASSERT_TRUE(c.recorder->waitOpen()) << i << ": " << c.recorder->describe();
        c.socket->send(ns::Value("message " + std::to_string(i)));
    }
    for (int i = 0; i < kSockets; ++i) {
        auto& c = *clients[size_t(i)];
        ASSERT_TRUE(c.recorder->waitMessages(1)) << i << ": " << c.recorder->describe();
        c.recorder->locked([&] { EXPECT_EQ(c.recorder->messages[0], ns::Value("message " + std::to_string(i))); });
    }

    for (int t = 0; t < 5; ++t) {
        threads.emplace_back([&, t] {
            for (int i = t; i < kSockets; i += 5) {
                // Half close themselves, half are closed by the server.
                if (i % 4 < 2) {
                    clients[size_t(i)]->socket->close();
                } else {
                    clients[size_t(i)]->socket->send(ns::Value("!close:1000:"));
                }
            }
        });
    }
    for (auto& th : threads) th.join();

    std::vector<std::weak_ptr<FSRWebSocket>> weak;
    for (auto& c : clients) {
        ASSERT_TRUE(c->recorder->waitClosedOrFailed()) << c->recorder->describe();
        weak.push_back(c->socket);
        c->socket.reset();
    }
    for (size_t i = 0; i < weak.size(); ++i) {
        auto& c = *clients[i];
        ASSERT_TRUE(c.recorder->waitFor([&] { return weak[i].expired(); })) << "socket " << i << " was not released";
        c.queue->sync([] {});
        c.recorder->locked([&] {
            EXPECT_TRUE(c.recorder->errors.empty()) << c.recorder->describe();
            EXPECT_EQ(c.recorder->closes.size(), 1u) << c.recorder->describe();
        });
    }
}

}  // namespace
