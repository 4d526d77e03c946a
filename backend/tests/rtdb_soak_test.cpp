// Rounds of identical load on the realtime database server: many clients
// that sign in, listen, write, leave on-disconnect writes and report stats,
// then go (half with a close frame, half by dropping the socket). After each
// round everything the server holds for connections must be back at its
// idle figures.
//
// Scaled down by default. For a measurement of the server's memory, run it
// against a separately started back end (a Release build, say):
//   ALMAVEL_SOAK_WS_PORT=<ws port> ALMAVEL_SOAK_PID=<pid>
//   ALMAVEL_SOAK_ROUNDS=10 ALMAVEL_SOAK_CLIENTS=200 ALMAVEL_SOAK_PUTS=200
// which prints the server's resident memory after every round and checks
// nothing (the admin endpoints are then not used); ALMAVEL_SOAK_SAME_PATHS=1
// makes every round write the same paths, so the tree does not grow.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "rtdb_test_support.h"

namespace {

using namespace rtdbtest;
using ns::testing::Backend;

int setting(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::atoi(value) : fallback;
}

// VmRSS of a process in kB, -1 when unknown.
long residentKb(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
}

// One client's share of a round; failures are counted, not thrown.
void runClient(int wsPort, int index, int puts, const std::string& token, bool samePaths, int round,
               std::atomic<int>& failures) {
    try {
        auto client = WireClient::connect(wsPort, "v=5&ns=soak", "soak.almavel.localhost");
        client->readHandshake();
        if (!token.empty() && client->call("auth", {{"cred", token}})["s"] != "ok") ++failures;
        const std::string base =
            "/soak/" + std::to_string(index) + (samePaths ? std::string() : "/r" + std::to_string(round));
        client->call("q", {{"p", base}, {"h", ""}});
        client->call("q", {{"p", base}, {"q", {{"i", ".key"}, {"l", 5}}}, {"t", index + 1}});
        client->call("s", {{"c", {{"soak.client", 1}}}});
        client->call("o", {{"p", base + "/left"}, {"d", {{".sv", "timestamp"}}}});
        // Pipelined, then every answer read.
        std::vector<int64_t> sent;
        for (int i = 0; i < puts; ++i) sent.push_back(client->send("p", {{"p", base + "/k" + std::to_string(i)}, {"d", i}}));
        for (int64_t r : sent) {
            if (client->answerTo(r)["s"] != "ok") ++failures;
        }
        if (index % 2 == 0) {
            client->close();
        } else {
            client->drop();
        }
    } catch (const std::exception& e) {
        ADD_FAILURE() << "client " << index << ": " << e.what();
        ++failures;
    }
}

TEST(RtdbSoak, RoundsOfClientsLeaveNothingBehindOnTheServer) {
    const int rounds = setting("ALMAVEL_SOAK_ROUNDS", 4);
    const int clients = setting("ALMAVEL_SOAK_CLIENTS", 50);
    const int puts = setting("ALMAVEL_SOAK_PUTS", 20);
    const int externalPort = setting("ALMAVEL_SOAK_WS_PORT", 0);
    const int externalPid = setting("ALMAVEL_SOAK_PID", 0);
    // 1: every client writes the same paths in every round (no new data).
    const bool allSamePaths = setting("ALMAVEL_SOAK_SAME_PATHS", 0) == 1;

    std::unique_ptr<Backend> backend;
    int wsPort = externalPort;
    int pid = externalPid;
    std::string token;
    if (!externalPort) {
        backend = Backend::start();
        wsPort = backend->wsPort();
        pid = backend->pid();
        adminPost(*backend, "/__admin/auth/apiKeys", json{{"apiKey", "soak-key"}, {"appId", "1:2:ios:3"}});
        auto reply = backend->post("/account/v1/signUp?key=soak-key",
                                   json{{"email", "soak@almavel.com.pa"}, {"password", "secreto1"}}.dump());
        ASSERT_EQ(reply.status, 200) << reply.body;
        token = json::parse(reply.body)["idToken"];
    }
    auto resources = [&] { return adminGet(*backend, "/__admin/rtdb/resources"); };
    json idle;
    if (backend) {
        // The namespace is opened by the first client; its figures start there.
        WireClient::connect(wsPort, "v=5&ns=soak", "soak.almavel.localhost")->readHandshake();
        ASSERT_TRUE(eventually([&] { return resources()["connections"] == 0; }));
        idle = resources();
    }

    for (int round = 0; round < rounds; ++round) {
        std::atomic<int> failures{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < clients; ++i) {
            threads.emplace_back([&, i] {
                runClient(wsPort, i, puts, i % 2 ? token : std::string(), allSamePaths || i % 4 < 2, round, failures);
            });
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(failures.load(), 0) << "round " << round;
        if (backend) {
            // Every figure back where it was before the round.
            const bool settled = eventually([&] {
                json now = resources();
                for (const char* key : {"connections", "members", "listens", "boundTokens", "queued", "scheduled",
                                        "revokedTokens", "namespaces"}) {
                    if (now[key] != idle[key]) return false;
                }
                return true;
            });
            EXPECT_TRUE(settled) << "round " << round << ": " << resources().dump() << " vs idle " << idle.dump();
        }
        std::cout << "round " << round + 1 << ": server RSS " << residentKb(pid) << " kB" << std::endl;
    }
    if (backend) {
        const json all = counters(*backend, "soak");
        EXPECT_EQ(counter(all, "stats", "soak.client"), int64_t(rounds) * clients);
        EXPECT_EQ(counter(all, "onDisconnect", "run"), int64_t(rounds) * clients);
        EXPECT_EQ(backend->stop(), 0) << backend->log();
    }
}

}  // namespace
