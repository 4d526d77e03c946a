// Certificate pinning of the web-socket client against a real TLS peer on
// loopback: the peer's chain is always validated against the trust anchors,
// and a pin counts only when it is part of the chain that was verified.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

#include "database/connection/FSRUtilities.h"
#include "platform/trust_store.h"
#include "testing/loopback.h"
#include "websocket_test_support.h"

using namespace wstest;
namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The first certificate of a PEM file as DER.
ns::Data certificateDER(const fs::path& pemPath) {
    const std::string pem = readFile(pemPath);
    const auto begin = pem.find("-----BEGIN CERTIFICATE-----");
    const auto end = pem.find("-----END CERTIFICATE-----");
    if (begin == std::string::npos || end == std::string::npos) return {};
    const auto bodyStart = pem.find('\n', begin) + 1;
    return ns::crypto::base64Decode(pem.substr(bodyStart, end - bodyStart)).value_or(ns::Data{});
}

// Throw-away certificates made with the openssl tool in a temporary folder:
// a certificate authority nobody trusts with a leaf for *.localhost it
// signed, and an unrelated self-signed certificate to pin.
class Certificates {
public:
    Certificates() {
        char pattern[] = "/tmp/almavel-pinning-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        if (!made) throw std::runtime_error("cannot make a temporary folder");
        dir_ = made;
        const std::string d = dir_.string();
        const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 ";
        std::ofstream(dir_ / "leaf.ext") << "basicConstraints=CA:FALSE\n"
                                            "keyUsage=critical,digitalSignature\n"
                                            "extendedKeyUsage=serverAuth\n"
                                            "subjectAltName=DNS:localhost,DNS:*.localhost\n";
        run("openssl req -x509" + ec + "-subj '/CN=Rogue CA' -keyout " + d + "/rogue-ca-key.pem -out " + d +
            "/rogue-ca.pem -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign");
        run("openssl req" + ec + "-subj /CN=localhost -keyout " + d + "/rogue-key.pem -out " + d + "/rogue.csr");
        run("openssl x509 -req -in " + d + "/rogue.csr -CA " + d + "/rogue-ca.pem -CAkey " + d +
            "/rogue-ca-key.pem -set_serial 7 -days 2 -extfile " + d + "/leaf.ext -out " + d + "/rogue.pem");
        run("openssl req -x509" + ec + "-subj '/CN=Pinned Elsewhere' -keyout " + d + "/other-key.pem -out " + d +
            "/other.pem");
    }
    ~Certificates() {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    fs::path path(const std::string& name) const { return dir_ / name; }
    // A PEM file of the named files' certificates, in order.
    fs::path chain(const std::string& name, const std::vector<fs::path>& parts) const {
        std::ofstream out(dir_ / name);
        for (const auto& p : parts) out << readFile(p);
        return dir_ / name;
    }

private:
    static void run(const std::string& command) {
        if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
            throw std::runtime_error("failed: " + command);
        }
    }
    fs::path dir_;
};

// A TLS server on 127.0.0.1 that presents exactly the chain file it is
// given and answers a web-socket upgrade, so that a client that accepts the
// chain opens. It keeps every byte a client sent it after the TLS
// handshake, and counts the connections it is done with. Blocking calls
// carry time-outs and every loop is bounded.
class TlsPeer {
public:
    TlsPeer(const fs::path& chainPEM, const fs::path& keyPEM) {
        ctx_ = ns::testing::tlsServerContext(chainPEM.string(), keyPEM.string());
        listener_ = ns::testing::listenOnLoopback(port_);
        thread_ = std::thread([this] { serve(); });
    }
    ~TlsPeer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
        SSL_CTX_free(ctx_);
    }
    int port() const { return port_; }

    // The application bytes received since the last call, over all
    // connections.
    std::string takeReceived() {
        std::lock_guard lock(mutex_);
        return std::exchange(received_, std::string());
    }
    // Waits until `count` connections have ended on the peer's side.
    bool waitConnectionsEnded(int count) {
        std::unique_lock lock(mutex_);
        return endedChanged_.wait_for(lock, std::chrono::seconds(int(Recorder::kWaitSeconds)),
                                  [&] { return ended_ >= count; });
    }

private:
    void serve() {
        // About a minute at most, in steps of 50 ms.
        for (int step = 0; step < 1200 && !stop_; ++step) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 50) != 1) continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            timeval timeout{0, 100 * 1000};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
            SSL* ssl = SSL_new(ctx_);
            SSL_set_fd(ssl, fd);
            if (acceptTLS(ssl)) converse(ssl);
            SSL_free(ssl);
            ::close(fd);
            ERR_clear_error();
            {
                std::lock_guard lock(mutex_);
                ++ended_;
            }
            endedChanged_.notify_all();
        }
    }
    bool acceptTLS(SSL* ssl) {
        for (int attempt = 0; attempt < 100 && !stop_; ++attempt) {
            const int r = SSL_accept(ssl);
            if (r == 1) return true;
            const int e = SSL_get_error(ssl, r);
            if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE && errno != EAGAIN) return false;
        }
        return false;
    }
    // Answers the upgrade, then holds the connection until the client sends
    // its close frame or ends the connection (or ten seconds pass).
    void converse(SSL* ssl) {
        std::string request;
        char buffer[4096];
        bool answered = false;
        for (int step = 0; step < 100 && !stop_; ++step) {
            const int n = SSL_read(ssl, buffer, sizeof buffer);
            if (n <= 0) {
                const int e = SSL_get_error(ssl, n);
                if (e == SSL_ERROR_WANT_READ || (e == SSL_ERROR_SYSCALL && errno == EAGAIN)) continue;
                return;
            }
            {
                std::lock_guard lock(mutex_);
                received_.append(buffer, size_t(n));
            }
            // The client's close frame: the peer hangs up.
            if (answered && (uint8_t(buffer[0]) & 0x0F) == 0x8) return;
            if (answered) continue;
            request.append(buffer, size_t(n));
            if (request.find("\r\n\r\n") == std::string::npos) continue;
            const std::string field = "Sec-WebSocket-Key: ";
            const auto at = request.find(field);
            if (at == std::string::npos) return;
            const std::string key = request.substr(at + field.size(), request.find("\r\n", at) - at - field.size());
            const std::string answer = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
                                       "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
                                       stringBySHA1ThenBase64Encoding(key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11")
                                           .value_or("") +
                                       "\r\n\r\n";
            SSL_write(ssl, answer.data(), int(answer.size()));
            answered = true;
        }
    }

    SSL_CTX* ctx_ = nullptr;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable endedChanged_;
    std::string received_;
    int ended_ = 0;
    std::thread thread_;
};

class WebSocketPinningTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // The peer writes to clients that may already have hung up on it.
        ::signal(SIGPIPE, SIG_IGN);
        certificates_ = new Certificates();
        ASSERT_TRUE(ns::TrustStore::shared().addAnchorFile(ns::testing::Backend::caPath()));
    }
    static void TearDownTestSuite() {
        delete certificates_;
        certificates_ = nullptr;
    }
    static fs::path testCA() { return ns::testing::Backend::caPath(); }
    static fs::path trustedLeaf() { return fs::path(ALMAVEL_CERT_DIR) / "server.pem"; }
    static fs::path trustedKey() { return fs::path(ALMAVEL_CERT_DIR) / "server-key.pem"; }

    // Connects to the peer with these pins and waits for the outcome. The
    // streams deliver to the socket's work queue, or through the network
    // run loop when `onNetworkRunLoop`.
    static std::unique_ptr<Client> connect(const TlsPeer& peer, std::vector<fs::path> pins,
                                           bool onNetworkRunLoop = false) {
        ns::URLRequest request("wss://pinned.localhost:" + std::to_string(peer.port()) + "/");
        ns::Array pinned;
        for (const auto& p : pins) pinned.push_back(ns::Value(certificateDER(p)));
        setFSR_SSLPinnedCertificates(request, std::move(pinned));
        auto client = std::make_unique<Client>(request);
        if (onNetworkRunLoop) client->socket->scheduleInRunLoop(FSR_networkRunLoop(), ns::kDefaultRunLoopMode);
        client->socket->open();
        EXPECT_TRUE(client->recorder->waitFor([&] {
            return client->recorder->opens > 0 || !client->recorder->errors.empty() ||
                   !client->recorder->closes.empty();
        })) << client->recorder->describe();
        client->socket->drainWorkQueueForTesting();
        client->queue->sync([] {});
        return client;
    }
    static void expectRefused(Client& client, long code, const std::string& domain) {
        client.recorder->locked([&] {
            EXPECT_EQ(client.recorder->opens, 0);
            ASSERT_EQ(client.recorder->errors.size(), 1u);
            EXPECT_EQ(client.recorder->errors[0]->code(), code);
            EXPECT_EQ(client.recorder->errors[0]->domain(), domain);
        });
    }

    static Certificates* certificates_;
};
Certificates* WebSocketPinningTest::certificates_ = nullptr;

TEST_F(WebSocketPinningTest, PinnedCertificateAppendedToAnUntrustedChainIsRefused) {
    // The test CA is public; a peer without its key appends it to a chain
    // of its own.
    const auto chain = certificates_->chain(
        "appended-anchor.pem", {certificates_->path("rogue.pem"), certificates_->path("rogue-ca.pem"), testCA()});
    TlsPeer peer(chain, certificates_->path("rogue-key.pem"));
    auto client = connect(peer, {testCA()});
    // errSSLXCertChainInvalid
    expectRefused(*client, -9807, ns::kOSStatusErrorDomain);
    client->recorder->locked([&] {
        ASSERT_FALSE(client->recorder->errors.empty());
        EXPECT_NE(client->recorder->errors[0]->localizedDescription().find("certificate for this server is invalid"),
                  std::string::npos)
            << client->recorder->describe();
    });
}

TEST_F(WebSocketPinningTest, PinSentOutsideTheVerifiedChainIsRefused) {
    // A valid chain with the pinned certificate tacked on: the certificate
    // was sent but vouches for nothing, so it does not satisfy the pin.
    const auto chain = certificates_->chain("tacked-on.pem", {trustedLeaf(), certificates_->path("other.pem")});
    TlsPeer peer(chain, trustedKey());
    auto client = connect(peer, {certificates_->path("other.pem")});
    // The chain itself was fine: the pin is what refused it.
    expectRefused(*client, 23556, kFSRWavecraftErrorDomain);
}

TEST_F(WebSocketPinningTest, ValidChainWithoutAPinnedCertificateIsRefused) {
    TlsPeer peer(trustedLeaf(), trustedKey());
    auto client = connect(peer, {certificates_->path("other.pem"), certificates_->path("rogue-ca.pem")});
    expectRefused(*client, 23556, kFSRWavecraftErrorDomain);
    client->recorder->locked([&] {
        ASSERT_FALSE(client->recorder->errors.empty());
        EXPECT_EQ(client->recorder->errors[0]->localizedDescription(), "Invalid server cert");
    });
}

TEST_F(WebSocketPinningTest, NoByteCrossesAConnectionWhosePinDoesNotMatch) {
    // The trust store accepts the chain; no pin names any certificate of it.
    // The upgrade request (path, host, every header) must not reach such a
    // peer, nor may an answer it sends open the socket.
    TlsPeer peer(trustedLeaf(), trustedKey());
    const struct {
        const char* delivery;
        bool onNetworkRunLoop;
    } cases[] = {
        {"events on the work queue", false},
        {"events through the network run loop", true},
    };
    int connections = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.delivery);
        auto client = connect(peer, {certificates_->path("other.pem")}, c.onNetworkRunLoop);
        expectRefused(*client, 23556, kFSRWavecraftErrorDomain);
        // The client hangs up after its failure; the peer has then read all
        // it will ever get.
        ASSERT_TRUE(peer.waitConnectionsEnded(++connections));
        const std::string received = peer.takeReceived();
        EXPECT_EQ(received.size(), 0u) << received;
        client->socket->drainWorkQueueForTesting();
        client->queue->sync([] {});
        client->recorder->locked([&] {
            EXPECT_EQ(client->recorder->opens, 0);
            EXPECT_EQ(client->recorder->errors.size(), 1u);
        });
    }
}

TEST_F(WebSocketPinningTest, PinOnTheVerifiedChainIsAccepted) {
    // The anchor is not sent by the peer: it is part of the chain the client
    // built and verified. The leaf itself pins as well.
    TlsPeer peer(trustedLeaf(), trustedKey());
    for (const auto& pin : {testCA(), trustedLeaf()}) {
        SCOPED_TRACE(pin.filename().string());
        auto client = connect(peer, {certificates_->path("other.pem"), pin});
        client->recorder->locked([&] {
            EXPECT_EQ(client->recorder->opens, 1) << " ";
            EXPECT_TRUE(client->recorder->errors.empty());
        });
        client->socket->close();
        EXPECT_TRUE(client->recorder->waitClosedOrFailed()) << client->recorder->describe();
    }
}

}  // namespace
