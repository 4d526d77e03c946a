// The back end's network core under load and abuse: idle connections by the
// thousand, slow readers, connection caps and time-outs, the admin secret,
// deep JSON, file modes, and a stop with connections open.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "backend/core/http_util.h"
#include "backend/core/server.h"
#include "backend/services.h"
#include "rtdb_test_support.h"
#include "socket_test_support.h"
#include "testing/backend.h"
#include "testing/temp_sandbox.h"

namespace {

using json = nlohmann::json;
using ns::testing::Backend;
using rtdbtest::WireClient;
using sockettest::connectTo;
using sockettest::sendAll;

constexpr const char* kSampleKey = "AKlocal-almavel-0000000000000000000000";

// Enough descriptors for thousands of client sockets in this process.
void raiseDescriptorLimit() {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
}

// True once the server has closed the connection (reads end or fail),
// polling for at most `seconds`.
bool closedByServer(int fd, int seconds) {
    std::vector<char> buffer(256 * 1024);
    int quietPolls = 0;
    // What the server sent before closing is read and dropped on the way.
    for (int i = 0; i < 100000 && quietPolls < seconds * 20; ++i) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0) return true;
        } else {
            ++quietPolls;
        }
    }
    return false;
}

template <class Pred>
bool eventually(Pred pred, int seconds = 30) {
    for (int i = 0; i < seconds * 20; ++i) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// A masked client frame, final, of the opcode.
std::string maskedFrame(int opcode, const std::string& payload) {
    std::string frame;
    frame += char(0x80 | opcode);
    if (payload.size() < 126) {
        frame += char(0x80 | payload.size());
    } else if (payload.size() <= 0xffff) {
        frame += char(0x80 | 126);
        frame += char((payload.size() >> 8) & 0xff);
        frame += char(payload.size() & 0xff);
    } else {
        frame += char(0x80 | 127);
        for (int shift = 56; shift >= 0; shift -= 8) frame += char((uint64_t(payload.size()) >> shift) & 0xff);
    }
    const char mask[4] = {1, 2, 3, 4};
    frame.append(mask, 4);
    for (size_t i = 0; i < payload.size(); ++i) frame += char(payload[i] ^ mask[i % 4]);
    return frame;
}

std::string clientFrame(const std::string& text) { return maskedFrame(0x1, text); }

// What a server sent on a raw web socket: its text messages (continuations
// joined), pong and ping payloads, or what was wrong with a frame.
struct ServerFrames {
    std::vector<std::string> messages;
    std::vector<std::string> pongs;
    std::vector<std::string> pings;
    std::string fault;
};

// Reads frames, `bytes` first, until `messages` messages, `pongs` pongs and
// `pings` pings came, a frame was one no server may send, or nothing came
// for 10 s.
ServerFrames readServerFrames(int fd, std::string bytes, size_t messages, size_t pongs, size_t pings = 0) {
    ServerFrames out;
    std::string partial;
    size_t at = 0;
    for (int quiet = 0;
         (out.messages.size() < messages || out.pongs.size() < pongs || out.pings.size() < pings) && quiet < 200;) {
        const size_t left = bytes.size() - at;
        const auto byte = [&](size_t i) { return uint64_t(uint8_t(bytes[at + i])); };
        size_t header = 2;
        uint64_t length = left >= 2 ? byte(1) & 0x7f : 0;
        if (length == 126) header = 4;
        if (length == 127) header = 10;
        if (left >= header && header > 2) {
            length = 0;
            for (size_t i = 2; i < header; ++i) length = (length << 8) | byte(i);
        }
        if (left >= 2 && left >= header && left - header >= length) {
            if ((byte(1) & 0x80) || (byte(0) & 0x70)) {
                out.fault = "a masked frame or reserved bits set";
                return out;
            }
            const std::string payload = bytes.substr(at + header, length);
            const uint64_t opcode = byte(0) & 0x0f;
            if (opcode == 0xA) {
                out.pongs.push_back(payload);
            } else if (opcode == 0x9) {
                out.pings.push_back(payload);
            } else if (opcode == 0x1 || opcode == 0x0) {
                partial += payload;
                if (byte(0) & 0x80) out.messages.push_back(std::exchange(partial, {}));
            } else {
                out.fault = "a frame of opcode " + std::to_string(opcode);
                return out;
            }
            at += header + length;
            continue;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) {
            ++quiet;
            continue;
        }
        char chunk[65536];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            out.fault = "the connection ended";
            return out;
        }
        bytes.append(chunk, size_t(n));
        quiet = 0;
    }
    return out;
}

// Reads from `fd` onto `answer` until `done(answer)`, the peer ends, or about
// thirty seconds pass.
template <class Done>
void readUntil(int fd, std::string& answer, Done done) {
    for (int i = 0; i < 600 && !done(answer); ++i) {
        pollfd p{fd, POLLIN, 0};
        char buffer[4096];
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        answer.append(buffer, size_t(n));
    }
}

// Opens a web socket with raw frames; -1 unless the server answered 101.
// What the server sent after its answer's head goes to `rest`.
int openRawWebSocket(int port, const std::string& target, const std::string& host, std::string& rest) {
    const int fd = connectTo(port);
    if (fd < 0) return -1;
    sendAll(fd, "GET " + target + " HTTP/1.1\r\nHost: " + host +
                    "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    std::string answer;
    readUntil(fd, answer, [](const std::string& a) { return a.find("\r\n\r\n") != std::string::npos; });
    if (answer.rfind("HTTP/1.1 101", 0) != 0) {
        ::close(fd);
        return -1;
    }
    rest = answer.substr(answer.find("\r\n\r\n") + 4);
    return fd;
}

// Asks for the health check on a kept-alive connection; the answer's status
// line, "" when the connection ended without one.
std::string healthStatus(int fd) {
    sendAll(fd, "GET /__admin/health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    std::string answer;
    readUntil(fd, answer, [](const std::string& a) {
        const auto end = a.find("\r\n\r\n");
        const auto length = a.find("Content-Length: ");
        return end != std::string::npos && length < end && a.size() >= end + 4 + std::stoul(a.substr(length + 16));
    });
    return answer.substr(0, answer.find("\r\n"));
}

class CoreTest : public ::testing::Test {
protected:
    static std::unique_ptr<Backend> launch(std::vector<std::string> extra = {}) {
        Backend::Options options;
        options.seed = true;
        options.extraArgs = std::move(extra);
        return Backend::start(options);
    }
    static bool alive(const Backend& backend) {
        return backend.running() && ::kill(backend.pid(), 0) == 0 && backend.get("/__admin/health").status == 200;
    }
};

TEST_F(CoreTest, AThousandIdleConnectionsOnEachListenerLeaveEveryServiceServing) {
    raiseDescriptorLimit();
    auto backend = launch();
    std::vector<int> idle;
    for (int port : {backend->httpPort(), backend->httpsPort(), backend->wsPort(), backend->wssPort()}) {
        for (int i = 0; i < 1000; ++i) {
            const int fd = connectTo(port);
            ASSERT_GE(fd, 0) << "connection " << i << " to " << port << ": " << std::strerror(errno);
            // Every other one starts a request and stops halfway.
            if (i % 2 == 1 && (port == backend->httpPort() || port == backend->wsPort())) {
                sendAll(fd, "GET /.ws?v=5&ns=demo HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgr");
            }
            idle.push_back(fd);
        }
    }

    // A normal client signs in over HTTPS...
    auto tls = backend->tlsClient();
    auto signIn = tls->Post(std::string("/account/v1/signIn?key=") + kSampleKey,
                            json{{"email", "personal@almavel.com.pa"}, {"password", "Almavel2024"}}.dump(),
                            "application/json");
    ASSERT_TRUE(signIn) << httplib::to_string(signIn.error());
    EXPECT_EQ(signIn->status, 200) << signIn->body;
    EXPECT_TRUE(json::parse(signIn->body).contains("idToken"));
    // ...writes and reads through the database's web socket...
    auto client = WireClient::connect(backend->wsPort());
    client->readHandshake();
    EXPECT_EQ(client->call("p", {{"p", "/idle/check"}, {"d", "sigue"}})["s"], "ok");
    EXPECT_EQ(rtdbtest::data(*backend, "/idle/check"), "sigue");
    // ...and plain HTTP is answered.
    EXPECT_EQ(backend->get("/__admin/health").status, 200);
    EXPECT_EQ(backend->client()->Get("/__recorder/after-the-crowd")->status, 200);

    for (int fd : idle) ::close(fd);
    EXPECT_TRUE(alive(*backend));
}

TEST_F(CoreTest, AWebSocketThatStopsReadingIsEndedWhileOthersAreServed) {
    auto backend = launch({"--ws-output-limit", "1000000"});
    // The slow reader: a tiny receive buffer, a listen, and then it never
    // reads again.
    const int slow = connectTo(backend->wsPort(), 4096);
    ASSERT_GE(slow, 0);
    ASSERT_TRUE(sendAll(slow, "GET /.ws?v=5&ns=demo HTTP/1.1\r\nHost: demo.almavel.localhost\r\nUpgrade: websocket\r\n"
                              "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                              "Sec-WebSocket-Version: 13\r\n\r\n"));
    // Frames go only after the server's answer, as a client's would.
    std::string answer;
    for (int i = 0; i < 600 && answer.find("\r\n\r\n") == std::string::npos; ++i) {
        pollfd p{slow, POLLIN, 0};
        char buffer[256];
        if (::poll(&p, 1, 50) > 0) {
            const ssize_t n = ::recv(slow, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            answer.append(buffer, size_t(n));
        }
    }
    ASSERT_EQ(answer.rfind("HTTP/1.1 101", 0), 0u) << answer;
    ASSERT_TRUE(sendAll(slow, clientFrame(R"({"t":"d","d":{"r":1,"a":"q","b":{"p":"/big","h":""}}})")));
    ASSERT_TRUE(eventually([&] {
        auto connections = rtdbtest::adminGet(*backend, "/__admin/rtdb/connections?ns=demo")["connections"];
        return connections.size() == 1 && !connections[0]["listens"].empty();
    }));

    auto writer = WireClient::connect(backend->wsPort());
    writer->readHandshake();
    const std::string large(256 * 1024, 'x');
    bool slowEnded = false;
    for (int i = 0; i < 200 && !slowEnded; ++i) {
        ASSERT_EQ(writer->call("p", {{"p", "/big/v" + std::to_string(i % 4)}, {"d", large + std::to_string(i)}})["s"],
                  "ok");
        slowEnded = rtdbtest::adminGet(*backend, "/__admin/rtdb/connections?ns=demo")["connections"].size() == 1;
    }
    EXPECT_TRUE(slowEnded) << "the slow reader is still connected";
    // The writer is still served.
    EXPECT_EQ(writer->call("p", {{"p", "/after"}, {"d", 1}})["s"], "ok");
    EXPECT_TRUE(closedByServer(slow, 30));
    ::close(slow);
}

TEST_F(CoreTest, ConnectionsOverTheCapAreClosedAtOnceAndSlowRequestsTimeOut) {
    auto backend = launch({"--max-connections", "40", "--request-timeout-ms", "500"});
    // A request that never completes is closed once the time-out passes.
    const int partial = connectTo(backend->httpPort());
    ASSERT_TRUE(sendAll(partial, "POST /__recorder/x HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 10\r\n\r\nabc"));
    EXPECT_TRUE(closedByServer(partial, 30));
    ::close(partial);
    const int handshake = connectTo(backend->wssPort());
    EXPECT_TRUE(closedByServer(handshake, 30));
    ::close(handshake);

    std::vector<int> held;
    std::vector<bool> refused;
    ASSERT_TRUE(eventually([&] {
        // Fill the cap; the server answers what is over it with a 503 and
        // closes it right away.
        while (held.size() < 60) {
            held.push_back(connectTo(backend->httpPort()));
            refused.push_back(false);
        }
        int count = 0;
        for (size_t i = 0; i < held.size(); ++i) {
            pollfd p{held[i], POLLIN, 0};
            char answer[256];
            if (!refused[i] && ::poll(&p, 1, 0) > 0) {
                const ssize_t n = ::recv(held[i], answer, sizeof answer, MSG_DONTWAIT);
                refused[i] = n > 0 && std::string_view(answer, size_t(n)).rfind("HTTP/1.1 503 ", 0) == 0;
            }
            count += refused[i];
        }
        return count >= 20;
    }));
    for (int fd : held) ::close(fd);
    // Room again once they are gone (the idle ones time out or were closed).
    EXPECT_TRUE(eventually([&] { return backend->get("/__admin/health").status == 200; }));
}

TEST_F(CoreTest, ConnectionsWithoutAWholeHeadLeaveWithinTheHeadTimeOut) {
    // The request time-out is far beyond the test's patience: only the head
    // time-out can close these.
    auto backend = launch({"--head-timeout-ms", "300", "--request-timeout-ms", "3600000"});
    const int silent = connectTo(backend->httpPort());
    const int halfHead = connectTo(backend->httpPort());
    ASSERT_TRUE(sendAll(halfHead, "GET /__admin/health HTTP/1.1\r\nHo"));
    const int noHandshake = connectTo(backend->httpsPort());
    const int noUpgrade = connectTo(backend->wsPort());
    // Between requests a keep-alive connection waits for a head too.
    const int kept = connectTo(backend->httpPort());
    ASSERT_TRUE(sendAll(kept, "GET /__admin/health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    for (int fd : {silent, halfHead, noHandshake, noUpgrade, kept}) {
        EXPECT_TRUE(closedByServer(fd, 30)) << fd;
        ::close(fd);
    }
    EXPECT_EQ(backend->get("/__admin/health").status, 200);
}

// Sixteen places: each listener keeps two for itself and all four share
// eight. The time-outs are out of the way, so silence is left to the idle
// limit.
const std::vector<std::string> kSmallCapWithoutTimeOuts = {"--max-connections", "16", "--head-timeout-ms", "3600000",
                                                          "--request-timeout-ms", "3600000"};

// A flood of silent connections on one listener gets that listener's own
// share and the shared half of the cap, no more: the others keep theirs.
TEST_F(CoreTest, AFloodOnOneListenerLeavesEveryOtherListenerItsShare) {
    auto backend = launch(kSmallCapWithoutTimeOuts);
    std::vector<int> flood;
    for (int i = 0; i < 16; ++i) flood.push_back(connectTo(backend->wsPort()));
    std::vector<bool> refused(flood.size(), false);
    auto countRefused = [&] {
        for (size_t i = 0; i < flood.size(); ++i) {
            pollfd p{flood[i], POLLIN, 0};
            char answer[256];
            if (!refused[i] && ::poll(&p, 1, 0) > 0) {
                const ssize_t n = ::recv(flood[i], answer, sizeof answer, MSG_DONTWAIT);
                refused[i] = n > 0 && std::string_view(answer, size_t(n)).rfind("HTTP/1.1 503 ", 0) == 0;
            }
        }
        return std::count(refused.begin(), refused.end(), true);
    };
    EXPECT_TRUE(eventually([&] { return countRefused() >= 6; }));

    EXPECT_EQ(backend->get("/__admin/health").status, 200);
    auto tls = backend->tlsClient();
    auto health = tls->Get("/__admin/health");
    ASSERT_TRUE(health) << httplib::to_string(health.error());
    EXPECT_EQ(health->status, 200);
    // The TLS web-socket listener shakes hands and answers a plain request.
    httplib::SSLClient wss("localhost", backend->wssPort());
    wss.set_ca_cert_path(Backend::caPath().c_str());
    wss.enable_server_certificate_verification(true);
    auto notAnUpgrade = wss.Get("/");
    ASSERT_TRUE(notAnUpgrade) << httplib::to_string(notAnUpgrade.error());
    EXPECT_EQ(notAnUpgrade->status, 404);
    // The ten in the flood that got places keep them.
    EXPECT_EQ(countRefused(), 6);
    for (int fd : flood) ::close(fd);
}

// At its listener's room, a new connection takes the place of the one
// silent longest, once that one has sent nothing for the idle limit; one
// heard from within the limit keeps its place, and the newcomer is refused.
TEST_F(CoreTest, ANewConnectionAtTheCapTakesThePlaceOfTheOneSilentLongestPastTheIdleLimit) {
    auto backend = launch(kSmallCapWithoutTimeOuts);
    // The clock moves over one HTTPS connection, which keeps its own place.
    auto admin = backend->tlsClient();
    admin->set_keep_alive(true);
    auto advance = [&](int seconds) {
        auto reply = admin->Post("/__admin/connections/clock", json{{"advanceMs", seconds * 1000}}.dump(),
                                 "application/json");
        return reply && reply->status == 200;
    };
    // Ten HTTP connections fill the listener's room, each answered once and
    // silent since, opened eight seconds apart on the back end's clock.
    std::vector<int> held;
    for (int i = 0; i < 10; ++i) {
        if (i > 0) {
            ASSERT_TRUE(advance(8));
        }
        held.push_back(connectTo(backend->httpPort()));
        ASSERT_EQ(healthStatus(held.back()), "HTTP/1.1 200 OK") << i;
    }
    struct Step {
        const char* name;
        int advance;
        bool admitted;
        int closed;  // the held connection that gave up its place, -1 none
    };
    const Step steps[] = {
        {"the oldest silent 72 s", 0, false, -1},
        {"the oldest silent 94 s, the next 86 s", 22, true, 0},
        {"the next still within the limit", 0, false, -1},
        {"the next silent 91 s", 5, true, 1},
    };
    std::vector<int> newcomers;
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        if (step.advance) {
            ASSERT_TRUE(advance(step.advance));
        }
        newcomers.push_back(connectTo(backend->httpPort()));
        EXPECT_EQ(healthStatus(newcomers.back()) == "HTTP/1.1 200 OK", step.admitted);
        if (step.closed >= 0) {
            EXPECT_TRUE(closedByServer(held[size_t(step.closed)], 30));
        }
    }
    // Everyone else kept a place.
    for (size_t i = 2; i < held.size(); ++i) EXPECT_EQ(healthStatus(held[i]), "HTTP/1.1 200 OK") << i;
    for (int fd : held) ::close(fd);
    for (int fd : newcomers) ::close(fd);
}

// A web socket that has sent nothing for half the idle limit (twice the
// database client's keep-alive interval) is pinged; one that answers keeps
// its place, one that stays silent is closed once the limit has passed. All
// on the back end's clock.
TEST_F(CoreTest, AWebSocketSilentForHalfTheIdleLimitIsPingedAndClosedPastIt) {
    auto backend = launch();
    auto advance = [&](int seconds) {
        return backend->post("/__admin/connections/clock", json{{"advanceMs", seconds * 1000}}.dump()).status == 200;
    };
    std::string rest[3];
    int sockets[3];
    for (int i = 0; i < 3; ++i) {
        sockets[i] = openRawWebSocket(backend->wsPort(), "/.ws?v=5&ns=demo", "demo.almavel.localhost", rest[i]);
        ASSERT_GE(sockets[i], 0);
        ASSERT_EQ(readServerFrames(sockets[i], rest[i], 1, 0).messages.size(), 1u) << "the handshake";
    }
    const int quiet = sockets[0], answering = sockets[1], talking = sockets[2];
    int request = 0;
    // Writes on the connection and waits for the answer, so the server has
    // read whatever was sent before.
    auto put = [&](int fd, const std::string& before = "") {
        ++request;
        const std::string text = json{{"t", "d"},
                                      {"d", {{"r", request}, {"a", "p"}, {"b", {{"p", "/idle/talk"}, {"d", request}}}}}}
                                     .dump();
        if (!sendAll(fd, before + clientFrame(text))) return false;
        const ServerFrames answer = readServerFrames(fd, "", 1, 0);
        return answer.fault.empty() && answer.messages.size() == 1 &&
               json::parse(answer.messages[0])["d"]["b"]["s"] == "ok";
    };
    auto stillOpen = [](int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 0) == 0;
    };

    ASSERT_TRUE(advance(40));
    ASSERT_TRUE(put(talking));
    ASSERT_TRUE(advance(6));
    // 46 s: the two silent ones are pinged; one answers.
    EXPECT_EQ(readServerFrames(quiet, "", 0, 0, 1).pings.size(), 1u);
    const ServerFrames ping = readServerFrames(answering, "", 0, 0, 1);
    ASSERT_EQ(ping.pings.size(), 1u) << ping.fault;
    ASSERT_TRUE(put(answering, maskedFrame(0xA, ping.pings[0])));
    ASSERT_TRUE(put(talking));
    ASSERT_TRUE(advance(40));
    // 86 s: no one is past the limit.
    ASSERT_TRUE(put(talking));
    EXPECT_TRUE(stillOpen(quiet));
    EXPECT_TRUE(stillOpen(answering));
    ASSERT_TRUE(advance(5));
    // 91 s: the silent one is closed; the one that answered 45 s ago is
    // pinged again.
    EXPECT_TRUE(closedByServer(quiet, 30));
    EXPECT_EQ(readServerFrames(answering, "", 0, 0, 1).pings.size(), 1u);
    EXPECT_TRUE(put(talking));
    for (int fd : sockets) ::close(fd);

    for (const char* bad : {R"({"advanceMs": -1})", R"({"advanceMs": "1000"})", "{}", R"({"advanceMs": 1, "x": 2})"}) {
        EXPECT_EQ(backend->post("/__admin/connections/clock", bad).status, 400) << bad;
    }
}

TEST_F(CoreTest, RunningOutOfDescriptorsOnAcceptPausesAndServesOn) {
    auto backend = launch();
    ASSERT_EQ(backend->get("/__admin/health").status, 200);
    int used = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/" + std::to_string(backend->pid()) + "/fd")) {
        ++used;
    }
    rlimit files{};
    ASSERT_EQ(::prlimit(backend->pid(), RLIMIT_NOFILE, nullptr, &files), 0);
    files.rlim_cur = rlim_t(used + 10);
    ASSERT_EQ(::prlimit(backend->pid(), RLIMIT_NOFILE, &files, nullptr), 0);

    // More connections than the program has descriptors left: they wait in
    // the listen queue while accepting fails.
    std::vector<int> crowd;
    for (int i = 0; i < 60; ++i) crowd.push_back(connectTo(backend->httpPort()));
    EXPECT_TRUE(eventually([&] { return backend->log().find("cannot accept a connection") != std::string::npos; }))
        << backend->log();
    EXPECT_EQ(::kill(backend->pid(), 0), 0);
    for (int fd : crowd) ::close(fd);
    // Once the crowd is gone, it serves again within the same limit.
    EXPECT_TRUE(eventually([&] { return backend->get("/__admin/health").status == 200; })) << backend->log();
    EXPECT_TRUE(alive(*backend));
}

TEST_F(CoreTest, PipelinedRequestsChunkedBodiesAndHeadAreAnsweredInOrder) {
    auto backend = launch();
    const int fd = connectTo(backend->httpPort());
    ASSERT_GE(fd, 0);
    // Three requests in one write: a chunked POST, a HEAD and an unknown path.
    ASSERT_TRUE(sendAll(fd,
                        "POST /__recorder/chunks HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n"
                        "Content-Encoding: gzip\r\n\r\n4\r\nuno-\r\n3\r\ndos\r\n0\r\n\r\n"
                        "HEAD /__admin/health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                        "GET /nowhere HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"));
    std::string answers;
    char buffer[4096];
    for (int i = 0; i < 600; ++i) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        answers.append(buffer, size_t(n));
    }
    ::close(fd);
    const auto first = answers.find("HTTP/1.1 200");
    const auto second = answers.find("HTTP/1.1 200", first + 1);
    const auto third = answers.find("HTTP/1.1 404");
    ASSERT_NE(first, std::string::npos) << answers;
    ASSERT_NE(second, std::string::npos) << answers;
    ASSERT_NE(third, std::string::npos) << answers;
    EXPECT_LT(second, third);
    // The HEAD answer names a length but carries no body: the next answer
    // follows its head directly.
    const std::string head = answers.substr(second, third - second);
    EXPECT_NE(head.find("Content-Length: "), std::string::npos) << head;
    EXPECT_EQ(head.substr(head.find("\r\n\r\n") + 4), "");
    EXPECT_NE(answers.find(R"({"error":"not found: GET /nowhere"})"), std::string::npos) << answers;

    auto seen = backend->recordedRequests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].body, "uno-dos");
    EXPECT_EQ(seen[0].header("Content-Encoding"), "gzip");
}

// Messages echoed in a burst come back framed whole and in order, whatever
// their lengths, with a pong for each ping sent among them.
TEST_F(CoreTest, WebSocketBurstsComeBackWholeAndInOrderWithAPongForEachPing) {
    struct Case {
        const char* name;
        std::vector<size_t> sizes;
        std::vector<size_t> pingsAfter;
    };
    const std::vector<Case> cases = {
        {"many small messages", std::vector<size_t>(300, 20), {0, 150, 299}},
        {"each length field's edges", {0, 1, 125, 126, 127, 1000, 16383, 16384, 16385, 65535, 65536, 70000, 3, 4}, {2, 9}},
        {"more than one write's worth", std::vector<size_t>(60, 1000), {30}},
    };
    auto backend = launch();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string rest;
        const int fd = openRawWebSocket(backend->wsPort(), "/echo", "echo.localhost", rest);
        ASSERT_GE(fd, 0);
        std::string burst;
        std::vector<std::string> sent, pings;
        for (size_t i = 0; i < c.sizes.size(); ++i) {
            std::string text = std::to_string(i) + ":";
            text.resize(c.sizes[i], char('a' + i % 26));
            sent.push_back(text);
            burst += maskedFrame(0x1, text);
            if (std::count(c.pingsAfter.begin(), c.pingsAfter.end(), i)) {
                pings.push_back("ping " + std::to_string(i));
                burst += maskedFrame(0x9, pings.back());
            }
        }
        ASSERT_TRUE(sendAll(fd, burst));
        const ServerFrames frames =
            readServerFrames(fd, rest, sent.size(), pings.size());
        ::close(fd);
        EXPECT_EQ(frames.fault, "");
        EXPECT_EQ(frames.pongs, pings);
        ASSERT_EQ(frames.messages.size(), sent.size());
        for (size_t i = 0; i < sent.size(); ++i) EXPECT_TRUE(frames.messages[i] == sent[i]) << "message " << i;
    }
}

// A client that sends its next request the moment an answer arrives (head
// and body apart, as HTTP clients often do) can beat the server's own note
// that the answer is out: every request must still be read as sent.
TEST_F(CoreTest, RequestsSentAsSoonAsTheAnswerArrivesAreReadWhole) {
    auto backend = launch();
    const int fd = connectTo(backend->httpPort());
    ASSERT_GE(fd, 0);
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::string pending;
    char buffer[4096];
    // One whole answer from the stream; its status line and body.
    auto answer = [&]() -> std::pair<std::string, std::string> {
        while (true) {
            const auto end = pending.find("\r\n\r\n");
            if (end != std::string::npos) {
                const auto lengthAt = pending.find("Content-Length: ");
                if (lengthAt != std::string::npos && lengthAt < end) {
                    const size_t length = std::stoul(pending.substr(lengthAt + 16));
                    if (pending.size() >= end + 4 + length) {
                        std::pair<std::string, std::string> whole{pending.substr(0, pending.find("\r\n")),
                                                                  pending.substr(end + 4, length)};
                        pending.erase(0, end + 4 + length);
                        return whole;
                    }
                }
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 30000) <= 0) return {};
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) return {};
            pending.append(buffer, size_t(n));
        }
    };
    constexpr int kRequests = 400;
    for (int i = 0; i < kRequests; ++i) {
        const std::string body = R"({"n":)" + std::to_string(i) + "}";
        ASSERT_TRUE(sendAll(fd, "POST /__recorder/seq HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                                "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n"));
        ASSERT_TRUE(sendAll(fd, body));
        const auto [status, text] = answer();
        ASSERT_EQ(status, "HTTP/1.1 200 OK") << "request " << i << ": " << text;
    }
    ::close(fd);
    auto seen = backend->recordedRequests();
    ASSERT_EQ(seen.size(), size_t(kRequests));
    for (int i = 0; i < kRequests; ++i) EXPECT_EQ(seen[size_t(i)].body, R"({"n":)" + std::to_string(i) + "}");
}

TEST_F(CoreTest, AdminEndpointsNeedTheSecretAndRefuseOtherOrigins) {
    auto backend = launch();
    httplib::Client bare("127.0.0.1", backend->httpPort());
    const std::string config = json{{"status", 201}}.dump();
    const std::string origin = "http://127.0.0.1:" + std::to_string(backend->httpPort());
    const std::string& secret = backend->adminSecret();
    ASSERT_EQ(secret.size(), 64u);

    auto none = bare.Post("/__admin/recorder/response", config, "application/json");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->status, 401);
    EXPECT_TRUE(json::parse(none->body).contains("error"));
    auto wrong = bare.Post("/__admin/recorder/response", {{ns::testing::kAdminSecretHeader, std::string(64, '0')}},
                           config, "application/json");
    EXPECT_EQ(wrong->status, 403);
    auto shortOne = bare.Post("/__admin/recorder/response", {{ns::testing::kAdminSecretHeader, secret.substr(1)}},
                              config, "application/json");
    EXPECT_EQ(shortOne->status, 403);
    auto foreign = bare.Post("/__admin/recorder/response",
                             {{ns::testing::kAdminSecretHeader, secret}, {"Origin", "http://evil.example"}}, config,
                             "application/json");
    EXPECT_EQ(foreign->status, 403);
    EXPECT_EQ(bare.Get("/__admin/recorder/requests")->status, 401);
    // A page elsewhere cannot sign up accounts with a simple POST either.
    auto crossSignUp = bare.Post(std::string("/account/v1/signUp?key=") + kSampleKey,
                                 {{"Origin", "http://evil.example"}},
                                 json{{"email", "x@almavel.com.pa"}, {"password", "secreto1"}}.dump(), "text/plain");
    EXPECT_EQ(crossSignUp->status, 403);
    // Nothing changed.
    EXPECT_EQ(bare.Get("/__recorder/probe")->status, 200);
    EXPECT_TRUE(backend->get("/__admin/auth/users?email=x@almavel.com.pa").status != 200);

    // With the secret (and the back end's own origin) it works.
    auto right = bare.Post("/__admin/recorder/response",
                           {{ns::testing::kAdminSecretHeader, secret}, {"Origin", origin}}, config, "application/json");
    EXPECT_EQ(right->status, 200) << right->body;
    EXPECT_EQ(bare.Get("/__recorder/probe")->status, 201);
    // The recorder does not keep the secret.
    for (const auto& request : backend->recordedRequests()) EXPECT_FALSE(request.hasHeader(ns::testing::kAdminSecretHeader));
    // The health check answers without it, but tells nothing more.
    auto health = json::parse(bare.Get("/__admin/health")->body);
    EXPECT_EQ(health["status"], "ok");
    EXPECT_FALSE(health.contains("dataDir"));
}

TEST_F(CoreTest, DeepJsonAndWrongTypesAreBadRequestsAndTheProcessLives) {
    auto backend = launch();
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');
    const std::string deepObject = "{\"rules\":" + deep + "}";
    EXPECT_EQ(backend->post("/__admin/rtdb/rules?ns=demo", deepObject).status, 400);
    EXPECT_EQ(backend->post("/__admin/recorder/response", deepObject).status, 400);
    EXPECT_EQ(backend->post(std::string("/account/v1/signIn?key=") + kSampleKey, deep).status, 400);
    EXPECT_TRUE(alive(*backend));
    // Still parsed when within the limit.
    EXPECT_EQ(backend->post("/__admin/recorder/response", R"({"status": 200})").status, 200);

    // An optional field of the wrong type.
    auto typed = backend->post("/__admin/auth/users",
                               json{{"email", "tipo@almavel.com.pa"}, {"password", "secreto1"}, {"disabled", "yes"}}.dump());
    EXPECT_EQ(typed.status, 400) << typed.body;
    EXPECT_NE(backend->get("/__admin/auth/users?email=tipo@almavel.com.pa").status, 200);
    EXPECT_TRUE(alive(*backend));
}

TEST_F(CoreTest, TheDataDirIsPrivateAndEveryFileInItTheOwnersOnly) {
    auto backend = launch();
    // Something in every store.
    auto client = WireClient::connect(backend->wsPort());
    client->readHandshake();
    ASSERT_EQ(client->call("p", {{"p", "/modes"}, {"d", 1}})["s"], "ok");
    ASSERT_EQ(backend->post(std::string("/account/v1/signUp?key=") + kSampleKey,
                            json{{"email", "modos@almavel.com.pa"}, {"password", "secreto1"}}.dump())
                  .status,
              200);
    ASSERT_EQ(backend->stop(), 0);

    struct stat info {};
    ASSERT_EQ(::stat(backend->dataDir().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    int files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(backend->dataDir())) {
        ASSERT_EQ(::stat(entry.path().c_str(), &info), 0);
        if (entry.is_directory()) {
            EXPECT_EQ(info.st_mode & 077, 0u) << entry.path();
        } else {
            EXPECT_EQ(info.st_mode & 0777, 0600u) << entry.path();
            ++files;
        }
    }
    EXPECT_GT(files, 0);
}

TEST(CoreReadyFileTest, IsWrittenForTheOwnerOnlyWithTheSecret) {
    ns::testing::TempSandbox sandbox;
    const auto path = std::filesystem::temp_directory_path() / ("ready-" + std::to_string(::getpid()) + ".json");
    const mode_t before = ::umask(022);
    backend::writeReadyFile(path.string(), 1, 2, 3, 4, 6, 5, "secreto");
    ::umask(before);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    auto ready = json::parse(*backend::readFile(path));
    EXPECT_EQ(ready["adminSecret"], "secreto");
    EXPECT_EQ(ready["wss"], 4);
    EXPECT_EQ(ready["mcs"], 6);
    std::filesystem::remove(path);
}

TEST(CoreStopTest, StopWithConnectionsOpenReturnsAndLeavesNothingRunning) {
    raiseDescriptorLimit();
    ns::testing::TempSandbox sandbox;
    const auto dataDir = std::filesystem::temp_directory_path() / ("core-stop-" + std::to_string(::getpid()));
    backend::Options options;
    options.dataDir = dataDir.string();
    options.seed = true;
    options.certPath = backend::defaultCertPath();
    options.keyPath = backend::defaultKeyPath();
    options.sampleDataDir = backend::defaultSampleDataDir();
    auto server = std::make_unique<backend::BackendServer>(options);
    backend::addBuiltinServices(*server);
    server->start();
    const std::string secret = server->adminSecret();

    std::vector<int> open;
    for (int port : {server->httpPort(), server->httpsPort(), server->wsPort(), server->wssPort()}) {
        for (int i = 0; i < 20; ++i) open.push_back(connectTo(port));
    }
    // A held answer, a database connection and an echo web socket.
    httplib::Client admin("127.0.0.1", server->httpPort());
    admin.set_default_headers({{backend::kAdminSecretHeader, secret}});
    ASSERT_EQ(admin.Post("/__admin/recorder/response", R"({"hold": true})", "application/json")->status, 200);
    auto held = std::async(std::launch::async, [port = server->httpPort()] {
        httplib::Client c("127.0.0.1", port);
        return c.Get("/__recorder/held");
    });
    ASSERT_TRUE(eventually([&] { return json::parse(admin.Get("/__admin/recorder/held")->body)["held"] == 1; }));
    auto client = WireClient::connect(server->wsPort());
    client->readHandshake();
    ASSERT_EQ(client->call("p", {{"p", "/x"}, {"d", 1}})["s"], "ok");
    // The TLS listeners count a connection once its handshake has begun,
    // which a loaded machine may take a moment to reach.
    EXPECT_TRUE(eventually([&] { return server->openConnections() > 80u; }));

    server->stop();
    EXPECT_EQ(server->openConnections(), 0u);
    server.reset();
    held.wait();
    for (int fd : open) {
        EXPECT_TRUE(closedByServer(fd, 5));
        ::close(fd);
    }
    std::filesystem::remove_all(dataDir);
}

}  // namespace
