// 10,000 downstream data messages over the messaging channel on loopback
// TLS: through the secure socket (version byte, input buffer, frame reader)
// and the connection (login, stream ids, acknowledgements, parsing) to the
// connection's delegate, against the same server bytes read through a plain
// blocking OpenSSL client and parsed with libprotobuf ("ratio" = channel
// time / plain time, both from connect to the last message parsed,
// handshake included).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

#include "core/QRVLogger.h"
#include "messaging/Parlo.h"
#include "messaging/QRVMessagingConnection.h"
#include "platform/runloop.h"
#include "platform/trust_store.h"

namespace {

constexpr int kMessages = 10000;

std::string frame(int tag, const google::protobuf::Message& message) {
    std::string out;
    google::protobuf::io::StringOutputStream stream(&out);
    google::protobuf::io::CodedOutputStream coded(&stream);
    coded.WriteVarint32(uint32_t(tag));
    const std::string bytes = message.SerializeAsString();
    coded.WriteVarint32(uint32_t(bytes.size()));
    coded.WriteString(bytes);
    coded.Trim();
    return out;
}

// What a server sends one device: the version byte, the login response, then
// the data messages, each with a persistent id and a few app data pairs.
std::string serverBytes() {
    std::string all(1, char(40));
    ParloLoginResponse response;
    response.set_id("login");
    all += frame(3, response);
    for (int i = 0; i < kMessages; ++i) {
        ParloDataMessageStanza m;
        m.set_from("mcs.ondrix.com");
        m.set_category("com.almavel.store");
        m.set_persistent_id("0:" + std::to_string(1700000000000 + i) + "%7f3a9c");
        m.set_sent(1700000000000 + i);
        m.set_ttl(2419200);
        for (const char* key : {"producto", "tienda", "precio", "kdx.message_id"}) {
            auto* pair = m.add_app_data();
            pair->set_key(key);
            pair->set_value(std::string(key) + "-" + std::to_string(i));
        }
        all += frame(8, m);
    }
    return all;
}

// One TLS connection at a time: reads the client's first bytes (version and
// login), sends the prepared bytes, then reads and drops whatever the client
// sends until it hangs up.
class Server {
public:
    explicit Server(std::string bytes) : bytes_(std::move(bytes)) {
        ::signal(SIGPIPE, SIG_IGN);
        const std::string dir = ALMAVEL_CERT_DIR;
        ns::TrustStore::shared().addAnchorFile(dir + "/ca.pem");
        ctx_ = SSL_CTX_new(TLS_server_method());
        if (SSL_CTX_use_certificate_chain_file(ctx_, (dir + "/server.pem").c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(ctx_, (dir + "/server-key.pem").c_str(), SSL_FILETYPE_PEM) != 1) {
            throw std::runtime_error("test certificate missing");
        }
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listener_, 4);
        socklen_t len = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] {
            while (true) {
                const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) return;
                const int one = 1;
                ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                SSL* ssl = SSL_new(ctx_);
                SSL_set_fd(ssl, fd);
                if (SSL_accept(ssl) == 1) {
                    char buffer[16384];
                    if (SSL_read(ssl, buffer, sizeof buffer) > 0) {
                        size_t off = 0;
                        while (off < bytes_.size()) {
                            const int n = SSL_write(ssl, bytes_.data() + off, int(std::min<size_t>(bytes_.size() - off, 1 << 20)));
                            if (n <= 0) break;
                            off += size_t(n);
                        }
                        while (SSL_read(ssl, buffer, sizeof buffer) > 0) {
                        }
                    }
                }
                SSL_free(ssl);
                ::close(fd);
                ERR_clear_error();
            }
        });
    }
    uint16_t port() const { return port_; }

private:
    std::string bytes_;
    SSL_CTX* ctx_ = nullptr;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

struct Counter : QRVMessagingConnectionDelegate {
    void connectionDidCloseForReason(QRVMessagingConnection&, uint64_t) override { closed = true; }
    void didLoginWithConnection(QRVMessagingConnection&) override {}
    void connectionDidRecieveMessage(const ParloDataMessageStanza& message) override {
        ++messages;
        appData += size_t(message.app_data_size());
    }
    int32_t connectionDidReceiveAckForRmqIds(const std::vector<std::string>&) override { return 0; }
    int messages = 0;
    size_t appData = 0;
    bool closed = false;
};

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

struct Fixture {
    Server server{serverBytes()};

    double channel() {
        auto counter = std::make_shared<Counter>();
        const auto start = std::chrono::steady_clock::now();
        auto connection = QRVMessagingConnection::initWithAuthID("4557512345678", "secret", "mtalk.localhost",
                                                                 server.port(), ns::RunLoop::mainShared(), {}, {});
        connection->setDelegate(counter);
        connection->setNetworkTypeProvider([] { return int8_t(1); });
        connection->signIn();
        ns::RunLoop::main().runUntil([&] { return counter->messages == kMessages || counter->closed; }, 60);
        const double t = seconds(start);
        connection->teardown();
        if (counter->messages != kMessages || counter->appData != size_t(kMessages) * 4) {
            throw std::runtime_error("the channel lost messages");
        }
        return t;
    }

    double plain() {
        const auto start = std::chrono::steady_clock::now();
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        SSL_CTX_load_verify_locations(ctx, (std::string(ALMAVEL_CERT_DIR) + "/ca.pem").c_str(), nullptr);
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(server.port());
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) throw std::runtime_error("connect");
        SSL* ssl = SSL_new(ctx);
        SSL_set_tlsext_host_name(ssl, "localhost");
        SSL_set1_host(ssl, "localhost");  // OpenSSL matches no wildcard right under a top-level name
        SSL_set_fd(ssl, fd);
        if (SSL_connect(ssl) != 1) {
            char reason[256];
            ERR_error_string_n(ERR_get_error(), reason, sizeof reason);
            throw std::runtime_error(std::string("plain handshake: ") + reason);
        }
        const char hello[] = {40, 2, 0};
        SSL_write(ssl, hello, sizeof hello);

        std::string buffer;
        size_t pos = 1;  // after the version byte
        int messages = 0;
        size_t appData = 0;
        char chunk[65536];
        ParloDataMessageStanza m;
        while (messages < kMessages) {
            const int n = SSL_read(ssl, chunk, sizeof chunk);
            if (n <= 0) break;
            buffer.append(chunk, size_t(n));
            while (true) {
                google::protobuf::io::CodedInputStream in(reinterpret_cast<const uint8_t*>(buffer.data()) + pos,
                                                          int(buffer.size() - pos));
                uint32_t tag = 0, length = 0;
                if (!in.ReadVarint32(&tag) || !in.ReadVarint32(&length) || in.BytesUntilLimit() < 0) break;
                const int head = in.CurrentPosition();
                if (buffer.size() - pos - size_t(head) < length) break;
                if (tag == 8) {
                    m.ParseFromArray(buffer.data() + pos + size_t(head), int(length));
                    ++messages;
                    appData += size_t(m.app_data_size());
                }
                pos += size_t(head) + length;
            }
            buffer.erase(0, pos);
            pos = 0;
        }
        const double t = seconds(start);
        SSL_shutdown(ssl);
        SSL_free(ssl);
        ::close(fd);
        SSL_CTX_free(ctx);
        if (messages != kMessages || appData != size_t(kMessages) * 4) throw std::runtime_error("short plain read");
        return t;
    }
};

void ChannelDownstream10000(benchmark::State& state) {
    static Fixture* f = new Fixture;
    double subject = 0, baseline = 0;
    for (auto _ : state) {
        const double s = f->channel();
        const double b = f->plain();
        subject += s;
        baseline += b;
        state.SetIterationTime(s);
    }
    state.counters["ratio"] = subject / baseline;
    state.counters["msgs/s"] = double(kMessages) * double(state.iterations()) / subject;
    state.counters["plain msgs/s"] = double(kMessages) * double(state.iterations()) / baseline;
}

BENCHMARK(ChannelDownstream10000)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2);

}  // namespace
