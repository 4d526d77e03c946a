#pragma once
// A TLS peer on loopback for the channel's tests: accepts connections one
// after the other with the build's test server certificate, records every
// byte a client sends and writes whatever the test hands it. Frames are
// built and read with libprotobuf's own coded streams, not the channel's.
//
// Test support only (included by the channel test files).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "messaging/Parlo.h"
#include "testing/loopback.h"
#include "platform/trust_store.h"

namespace channel_test {

// One frame as the peer read it.
struct Frame {
    int tag = -1;
    std::string bytes;
};

inline std::string frameBytes(int tag, const std::string& message) {
    std::string out;
    {
        google::protobuf::io::StringOutputStream stream(&out);
        google::protobuf::io::CodedOutputStream coded(&stream);
        coded.WriteVarint32(uint32_t(tag));
        coded.WriteVarint32(uint32_t(message.size()));
        coded.WriteString(message);
    }
    return out;
}

inline std::string frameBytes(int tag, const google::protobuf::Message& message) {
    return frameBytes(tag, message.SerializePartialAsString());
}

// The frames after the version byte of `bytes`; `complete` says whether the
// bytes end on a frame boundary.
inline std::vector<Frame> parseFrames(const std::string& bytes, bool* complete = nullptr) {
    std::vector<Frame> frames;
    if (complete) *complete = true;
    if (bytes.empty()) return frames;
    google::protobuf::io::CodedInputStream in(reinterpret_cast<const uint8_t*>(bytes.data()) + 1,
                                              int(bytes.size()) - 1);
    while (!in.ExpectAtEnd()) {
        uint32_t tag = 0, length = 0;
        std::string message;
        if (!in.ReadVarint32(&tag) || !in.ReadVarint32(&length) || !in.ReadString(&message, int(length))) {
            if (complete) *complete = false;
            break;
        }
        frames.push_back({int(tag), std::move(message)});
    }
    return frames;
}

class ChannelPeer {
public:
    explicit ChannelPeer(bool sendVersion = true, uint8_t version = 40) : sendVersion_(sendVersion), version_(version) {
        ::signal(SIGPIPE, SIG_IGN);
        const std::string dir = ALMAVEL_CERT_DIR;
        ns::TrustStore::shared().addAnchorFile(dir + "/ca.pem");
        ctx_ = ns::testing::tlsServerContext(dir + "/server.pem", dir + "/server-key.pem");
        listener_ = ns::testing::listenOnLoopback(port_);
        thread_ = std::thread([this] { serve(); });
    }
    ~ChannelPeer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
        SSL_CTX_free(ctx_);
    }
    uint16_t port() const { return port_; }

    // Bytes for the current (or next) connection.
    void send(const std::string& bytes) {
        std::lock_guard lock(mutex_);
        outgoing_ += bytes;
    }
    void sendFrame(int tag, const google::protobuf::Message& message) { send(frameBytes(tag, message)); }
    // Ends the current connection, or the next one when none is up (TLS
    // close, then the socket).
    void hangUp() { hangUp_ = true; }

    // Everything the current or last connection received.
    std::string received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }
    std::vector<Frame> frames() const { return parseFrames(received()); }
    int connections() const { return connections_; }
    bool connected() const { return connected_; }

private:
    void serve() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 20) != 1) continue;
            const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            timeval handshake{10, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &handshake, sizeof handshake);
            SSL* ssl = SSL_new(ctx_);
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) == 1) {
                {
                    std::lock_guard lock(mutex_);
                    received_.clear();
                    if (sendVersion_) outgoing_.insert(outgoing_.begin(), char(version_));
                }
                ++connections_;
                connected_ = true;
                talk(ssl, fd);
                connected_ = false;
            }
            SSL_free(ssl);
            ::close(fd);
            ERR_clear_error();
        }
    }

    void talk(SSL* ssl, int fd) {
        char buffer[65536];
        while (!stop_ && !hangUp_.exchange(false)) {
            std::string out;
            {
                std::lock_guard lock(mutex_);
                out.swap(outgoing_);
            }
            if (!out.empty() && SSL_write(ssl, out.data(), int(out.size())) <= 0) return;
            if (SSL_pending(ssl) == 0) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 5) != 1) continue;
            }
            const int n = SSL_read(ssl, buffer, sizeof buffer);
            if (n <= 0) {
                const int error = SSL_get_error(ssl, n);
                if (error == SSL_ERROR_WANT_READ) continue;
                return;  // the client closed
            }
            std::lock_guard lock(mutex_);
            received_.append(buffer, size_t(n));
        }
        SSL_shutdown(ssl);
    }

    const bool sendVersion_;
    const uint8_t version_;
    SSL_CTX* ctx_ = nullptr;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<bool> hangUp_{false};
    std::atomic<bool> connected_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    std::string outgoing_;
    std::string received_;
    std::thread thread_;
};

}  // namespace channel_test
