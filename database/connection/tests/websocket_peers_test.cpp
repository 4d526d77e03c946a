// The same client against two independent servers, each started by the test
// on loopback: Debian's python3-websockets and Node's ws.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "websocket_test_support.h"

using namespace wstest;

namespace {

// A peer program whose standard output is read line by line.
class Peer {
public:
    Peer(std::vector<std::string> argv) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(fds[1], STDOUT_FILENO);
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent) ::_exit(1);
            std::vector<char*> args;
            for (auto& a : argv) args.push_back(a.data());
            args.push_back(nullptr);
            ::execv(args[0], args.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out_ = fds[0];
    }
    ~Peer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        ::close(out_);
    }
    // The next line, or "" when none comes within `seconds`.
    std::string readLine(double seconds = Recorder::kWaitSeconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (true) {
            const auto nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                     std::chrono::steady_clock::now());
            if (left.count() <= 0) return "";
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, int(left.count())) <= 0) continue;
            char chunk[512];
            const ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0) return "";
            buffer_.append(chunk, size_t(n));
        }
    }
    int port() {
        const std::string line = readLine();
        return line.rfind("PORT ", 0) == 0 ? std::atoi(line.c_str() + 5) : 0;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

struct PeerKind {
    const char* name;
    std::vector<std::string> argv;
};

class WebSocketPeersTest : public ::testing::TestWithParam<PeerKind> {};

TEST_P(WebSocketPeersTest, OpenEchoFragmentsPingAndCloseFromBothSides) {
    Peer peer(GetParam().argv);
    const int port = peer.port();
    ASSERT_GT(port, 0) << GetParam().name << " did not start";
    const std::string url = "ws://peer.localhost:" + std::to_string(port) + "/";

    {
        Client c(url);
        c.socket->open();
        ASSERT_TRUE(c.recorder->waitOpen()) << c.recorder->describe();

        std::string big;
        while (big.size() < 200000) big += "ünïcödé text ✓ ";
        c.socket->send(ns::Value("plain text"));
        c.socket->send(ns::Value(ns::Data{0, 0xFE, 0xFF, 7}));
        c.socket->send(ns::Value(big));
        ASSERT_TRUE(c.recorder->waitMessages(3)) << c.recorder->describe();

        const std::string fragmented = "three € fragments 😀 from a peer ✓✓✓";
        c.socket->send(ns::Value("!fragments:peer-ping-7:" + fragmented));
        ASSERT_TRUE(c.recorder->waitMessages(4)) << c.recorder->describe();
        c.socket->send(ns::Value("!pongs"));
        ASSERT_TRUE(c.recorder->waitMessages(5)) << c.recorder->describe();
        c.recorder->locked([&] {
            EXPECT_EQ(c.recorder->messages[0], ns::Value("plain text"));
            EXPECT_EQ(c.recorder->messages[1], ns::Value(ns::Data{0, 0xFE, 0xFF, 7}));
            EXPECT_TRUE(c.recorder->messages[2] == ns::Value(big));
            EXPECT_EQ(c.recorder->messages[3], ns::Value(fragmented));
            EXPECT_EQ(c.recorder->messages[4], ns::Value("pongs:peer-ping-7"));
        });

        // Our close: the peer gets 1000 and ends the stream.
        c.socket->close();
        ASSERT_TRUE(c.recorder->waitClosedOrFailed());
        EXPECT_EQ(peer.readLine(), "CLOSED 1000");
        c.socket->drainWorkQueueForTesting();
        c.queue->sync([] {});
        c.recorder->locked([&] {
            EXPECT_TRUE(c.recorder->errors.empty());
            EXPECT_TRUE(endedOnceWith(c.recorder->closes, {0, "Stream end encountered", false}));
        });
    }
    {
        // The peer's close: code and reason reach the delegate, cleanly.
        Client c(url);
        c.socket->open();
        ASSERT_TRUE(c.recorder->waitOpen()) << c.recorder->describe();
        c.socket->send(ns::Value("!close:4002:peer says bye"));
        ASSERT_TRUE(c.recorder->waitClosedOrFailed());
        c.socket->drainWorkQueueForTesting();
        c.queue->sync([] {});
        c.recorder->locked([&] {
            EXPECT_TRUE(c.recorder->errors.empty());
            EXPECT_TRUE(endedOnceWith(c.recorder->closes, {4002, "peer says bye", true}));
        });
        // Our answer carried 1000.
        EXPECT_EQ(peer.readLine(), "CLOSED 1000");
    }
}

INSTANTIATE_TEST_SUITE_P(
    ThirdParty, WebSocketPeersTest,
    ::testing::Values(PeerKind{"python3-websockets", {"/usr/bin/python3", ALMAVEL_PEERS_DIR "/python_peer.py"}},
                      PeerKind{"node-ws", {"/usr/bin/node", ALMAVEL_PEERS_DIR "/node_peer.js"}}),
    [](const ::testing::TestParamInfo<PeerKind>& info) {
        return std::string(info.param.name[0] == 'p' ? "PythonWebsockets" : "NodeWs");
    });

}  // namespace
