// The socket stream pair against a real TCP peer on loopback: events in
// order on the scheduled run loop, reads and writes, targets lent to the
// stream, the end of the stream, destinations that may not be reached, and
// the certificate chains of a TLS peer.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/host_routing.h"
#include "platform/trust_store.h"
#include "platform/runloop.h"
#include "platform/socket_stream.h"
#include "testing/loopback.h"
#include "platform/thread.h"

namespace {

// Accepts one connection, answers each received chunk with "<n>:" + chunk,
// and closes once it has read "bye".
class EchoPeer {
public:
    EchoPeer() {
        listener_ = ns::testing::listenOnLoopback(port_, 1);
        thread_ = std::thread([this] {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) return;
            std::string seen;
            char buffer[4096];
            while (seen.find("bye") == std::string::npos) {
                const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                seen.append(buffer, size_t(n));
                const std::string answer = std::to_string(n) + ":" + std::string(buffer, size_t(n));
                ::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
            }
            ::close(fd);
        });
    }
    ~EchoPeer() {
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        thread_.join();
    }
    uint16_t port() const { return port_; }

private:
    int listener_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

struct Recorder : ns::StreamDelegate {
    void streamHandleEvent(ns::Stream& stream, ns::StreamEvent event) override {
        EXPECT_TRUE(queue ? queue->isCurrent() : ns::RunLoop::isMainThread());
        std::lock_guard lock(mutex);
        events.emplace_back(stream.isInput(), event);
        if (event == ns::kStreamEventHasBytesAvailable && input) {
            uint8_t buffer[64];
            long n;
            while ((n = input->read(buffer, sizeof buffer)) > 0) received.append(reinterpret_cast<char*>(buffer), size_t(n));
        }
        if (event == ns::kStreamEventErrorOccurred) error = stream.streamError();
    }
    bool saw(bool isInput, ns::StreamEvent event) {
        std::lock_guard lock(mutex);
        for (auto& e : events)
            if (e.first == isInput && e.second == event) return true;
        return false;
    }
    std::mutex mutex;
    std::vector<std::pair<bool, ns::StreamEvent>> events;
    std::string received;
    ns::ErrorRef error;
    ns::InputStream* input = nullptr;
    ns::DispatchQueuePtr queue;  // where events must arrive; the main thread when null
};

TEST(SocketStreamTest, ConnectsWritesReadsAndSeesTheEnd) {
    EchoPeer peer;
    auto pair = ns::createStreamPairWithSocketToHost("streams.localhost", peer.port());
    auto recorder = std::make_shared<Recorder>();
    recorder->input = pair.input.get();
    for (ns::Stream* s : {static_cast<ns::Stream*>(pair.output.get()), static_cast<ns::Stream*>(pair.input.get())}) {
        s->setDelegate(recorder);
        s->scheduleInRunLoop(ns::RunLoop::mainShared());
    }
    EXPECT_EQ(pair.input->streamStatus(), ns::StreamStatus::NotOpen);
    EXPECT_EQ(pair.output->nativeSocketHandle(), -1);
    pair.output->open();
    pair.input->open();
    ASSERT_TRUE(ns::RunLoop::main().runUntil(
        [&] {
            return recorder->saw(false, ns::kStreamEventHasSpaceAvailable) &&
                   recorder->saw(true, ns::kStreamEventOpenCompleted);
        },
        30));
    EXPECT_GE(pair.output->nativeSocketHandle(), 0);
    EXPECT_FALSE(pair.output->peerCertificateChain());
    EXPECT_FALSE(pair.output->verifiedCertificateChain());

    const std::string hello = "hello";
    ASSERT_EQ(pair.output->write(reinterpret_cast<const uint8_t*>(hello.data()), hello.size()), 5);
    ASSERT_TRUE(ns::RunLoop::main().runUntil(
        [&] {
            std::lock_guard lock(recorder->mutex);
            return recorder->received == "5:hello";
        },
        30))
        << recorder->received << " events " << recorder->events.size();
    const std::string bye = "bye";
    pair.output->write(reinterpret_cast<const uint8_t*>(bye.data()), bye.size());
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return recorder->saw(true, ns::kStreamEventEndEncountered); }, 30));
    EXPECT_EQ(recorder->received, "5:hello3:bye");
    EXPECT_EQ(pair.input->streamStatus(), ns::StreamStatus::AtEnd);
    uint8_t b;
    EXPECT_EQ(pair.input->read(&b, 1), 0);
    pair.input->close();
    pair.output->close();
    EXPECT_EQ(pair.input->read(&b, 1), -1);
    EXPECT_EQ(pair.output->write(&b, 1), -1);
}

TEST(SocketStreamTest, EventsGoToTheDispatchQueueBeforeAnyRunLoop) {
    EchoPeer peer;
    auto pair = ns::createStreamPairWithSocketToHost("streams.localhost", peer.port());
    auto recorder = std::make_shared<Recorder>();
    recorder->input = pair.input.get();
    recorder->queue = ns::DispatchQueue::serial("test.streams");
    for (ns::Stream* s : {static_cast<ns::Stream*>(pair.output.get()), static_cast<ns::Stream*>(pair.input.get())}) {
        s->setDelegate(recorder);
        s->open();
    }
    for (ns::Stream* s : {static_cast<ns::Stream*>(pair.output.get()), static_cast<ns::Stream*>(pair.input.get())}) {
        s->setDispatchQueue(recorder->queue);
        s->scheduleInRunLoop(ns::RunLoop::mainShared());
    }
    EXPECT_EQ(pair.input->dispatchQueue(), recorder->queue);
    const std::string hello = "hello";
    ASSERT_TRUE(
        ns::RunLoop::main().runUntil([&] { return recorder->saw(false, ns::kStreamEventHasSpaceAvailable); }, 30));
    ASSERT_EQ(pair.output->write(reinterpret_cast<const uint8_t*>(hello.data()), hello.size()), 5);
    ASSERT_TRUE(ns::RunLoop::main().runUntil(
        [&] {
            std::lock_guard lock(recorder->mutex);
            return recorder->received == "5:hello";
        },
        30));
    std::lock_guard lock(recorder->mutex);
    EXPECT_EQ(recorder->events.front().second, ns::kStreamEventOpenCompleted);
}

TEST(SocketStreamTest, DestinationsOffTheMachineAreRefused) {
    for (const char* host : {"example.com", "192.0.2.1", "nothing.invalid"}) {
        auto pair = ns::createStreamPairWithSocketToHost(host, 80);
        auto recorder = std::make_shared<Recorder>();
        pair.input->setDelegate(recorder);
        pair.input->scheduleInRunLoop(ns::RunLoop::mainShared());
        pair.input->open();
        ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return recorder->saw(true, ns::kStreamEventErrorOccurred); }, 30))
            << host;
        EXPECT_EQ(pair.input->streamStatus(), ns::StreamStatus::Error);
        ASSERT_TRUE(recorder->error);
        EXPECT_EQ(recorder->error->domain(), ns::kPOSIXErrorDomain);
        EXPECT_FALSE(recorder->saw(true, ns::kStreamEventOpenCompleted));
    }
}

TEST(SocketStreamTest, EventsWaitForARunLoop) {
    EchoPeer peer;
    auto pair = ns::createStreamPairWithSocketToHost("127.0.0.1", peer.port());
    auto recorder = std::make_shared<Recorder>();
    pair.output->setDelegate(recorder);
    pair.output->open();
    // Connected meanwhile, but nothing is delivered without a run loop.
    ns::RunLoop::main().runFor(0.05);
    {
        std::lock_guard lock(recorder->mutex);
        EXPECT_TRUE(recorder->events.empty());
    }
    pair.output->scheduleInRunLoop(ns::RunLoop::mainShared());
    ASSERT_TRUE(
        ns::RunLoop::main().runUntil([&] { return recorder->saw(false, ns::kStreamEventHasSpaceAvailable); }, 30));
    std::lock_guard lock(recorder->mutex);
    EXPECT_EQ(recorder->events.front(), std::make_pair(false, ns::kStreamEventOpenCompleted));
    const std::string bye = "bye";
    pair.output->write(reinterpret_cast<const uint8_t*>(bye.data()), bye.size());
}

// Accepts one connection and sends it what the test hands over, each
// batch on a thread of its own so that a reader not yet reading cannot
// block the test.
class SendingPeer {
public:
    SendingPeer() { listener_ = ns::testing::listenOnLoopback(port_, 1); }
    ~SendingPeer() {
        join();
        if (fd_ >= 0) ::close(fd_);
        ::close(listener_);
    }
    uint16_t port() const { return port_; }
    void accept() { fd_ = ::accept(listener_, nullptr, nullptr); }
    // Sends `bytes` in sends of at most `piece` bytes each.
    void send(std::string bytes, size_t piece = SIZE_MAX) {
        join();
        sender_ = std::thread([this, piece, bytes = std::move(bytes)] {
            for (size_t at = 0; at < bytes.size();) {
                const ssize_t n = ::send(fd_, bytes.data() + at, std::min(piece, bytes.size() - at), MSG_NOSIGNAL);
                if (n <= 0) return;
                at += size_t(n);
            }
        });
    }
    void end() {
        join();
        ::shutdown(fd_, SHUT_WR);
    }
    void join() {
        if (sender_.joinable()) sender_.join();
    }

private:
    int listener_ = -1;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::thread sender_;
};

// Bytes that tell their place: a misplaced or repeated piece shows.
std::string patternOf(size_t size) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) out[i] = char((i * 7 + i / 251) & 0xFF);
    return out;
}

// Takes what lands in a lent target as it is announced, and reads on with
// read() once the target is full or withdrawn.
struct TargetReader : ns::StreamDelegate {
    void streamHandleEvent(ns::Stream&, ns::StreamEvent event) override {
        if (event == ns::kStreamEventHasBytesAvailable) {
            ++announced;
            if (started) take();
        }
        if (event == ns::kStreamEventEndEncountered) ended = true;
    }
    void take() {
        while (lent) {
            const long n = input->readLent();
            ASSERT_GE(n, 0);
            if (n == 0) break;
            counted += size_t(n);
            if (counted == target.size()) {
                lent = false;
            } else if (withdrawAt && counted >= withdrawAt) {
                unreadAtWithdrawal = input->withdrawReadTarget();
                lent = false;
            }
        }
        uint8_t buffer[65536];
        if (lent) {
            // Nothing goes past a target that is not full.
            EXPECT_EQ(input->read(buffer, sizeof buffer), 0);
            return;
        }
        for (long n; (n = input->read(buffer, sizeof buffer)) > 0;) after.append(reinterpret_cast<char*>(buffer), size_t(n));
    }
    // The stream's bytes in order, as the reader holds them.
    std::string received() const {
        return std::string(target.begin(), target.begin() + long(counted + unreadAtWithdrawal)) + after;
    }

    ns::InputStream* input = nullptr;
    std::vector<uint8_t> target;
    bool started = false;
    bool lent = false;
    size_t withdrawAt = 0;
    size_t counted = 0;
    size_t unreadAtWithdrawal = 0;
    std::string after;
    int announced = 0;
    bool ended = false;
};

struct SpaceCounter : ns::StreamDelegate {
    void streamHandleEvent(ns::Stream&, ns::StreamEvent event) override {
        if (event != ns::kStreamEventHasSpaceAvailable) return;
        ++count;
        space.signal();
    }
    std::atomic<int> count{0};
    ns::DispatchSemaphore space{0};
};

// Records written from several threads at once reach the peer whole and in
// each writer's order; a writer refused room hears when there is some again, and
// writers never refused hear nothing after the open.
TEST(SocketStreamTest, WritesArriveWholeAndInOrderFromAnyThread) {
    struct Case {
        int writers, writes;
        size_t size;
    };
    // Several writers write less in all than a stream buffers, so none is
    // refused and no record is split.
    for (const Case& c : {Case{1, 3, 5}, Case{1, 2, 6 << 20}, Case{4, 300, 1000}, Case{2, 3, 512 << 10}}) {
        SCOPED_TRACE(::testing::Message() << c.writers << " writers x " << c.writes << " x " << c.size);
        uint16_t port = 0;
        const int listener = ns::testing::listenOnLoopback(port, 1);
        std::string all;
        std::thread sink([&] {
            const int fd = ::accept(listener, nullptr, nullptr);
            std::vector<char> buffer(1 << 16);
            for (ssize_t n; (n = ::recv(fd, buffer.data(), buffer.size(), 0)) > 0;) all.append(buffer.data(), size_t(n));
            ::close(fd);
        });
        auto pair = ns::createStreamPairWithSocketToHost("127.0.0.1", port);
        auto spaces = std::make_shared<SpaceCounter>();
        pair.output->setDelegate(spaces);
        pair.output->setDispatchQueue(ns::DispatchQueue::serial("test.writes"));
        pair.output->open();
        ASSERT_TRUE(spaces->space.wait(30));
        auto record = [&](int writer, int seq) {
            std::string r = std::to_string(writer) + ":" + std::to_string(seq) + ":";
            r.resize(c.size, char('a' + writer));
            return r;
        };
        std::vector<std::thread> writers;
        for (int w = 0; w < c.writers; ++w) {
            writers.emplace_back([&, w] {
                for (int i = 0; i < c.writes; ++i) {
                    const std::string r = record(w, i);
                    for (size_t at = 0; at < r.size();) {
                        const long n = pair.output->write(reinterpret_cast<const uint8_t*>(r.data()) + at, r.size() - at);
                        ASSERT_GE(n, 0);
                        at += size_t(n);
                        if (at < r.size()) {
                            ASSERT_TRUE(spaces->space.wait(30));
                        }
                    }
                }
            });
        }
        for (auto& t : writers) t.join();
        if (size_t(c.writers * c.writes) * c.size < (size_t(4) << 20)) {
            EXPECT_EQ(spaces->count, 1);
        }
        pair.output->close();
        sink.join();
        ::close(listener);
        ASSERT_EQ(all.size(), size_t(c.writers * c.writes) * c.size);
        std::vector<int> next(size_t(c.writers), 0);
        for (size_t at = 0; at < all.size(); at += c.size) {
            const int writer = all[at] - '0';
            ASSERT_TRUE(writer >= 0 && writer < c.writers) << "at " << at;
            ASSERT_EQ(all.compare(at, c.size, record(writer, next[size_t(writer)]++)), 0) << "at " << at;
        }
    }
}

TEST(SocketStreamTest, LentTargetsTakeTheNextBytesInOrder) {
    struct Case {
        const char* name;
        size_t before;     // sent and buffered before the target is lent
        size_t target;     // bytes lent
        size_t after;      // sent once it is lent
        size_t lowWater;   // the reader's mark while the target is lent
        size_t withdrawAt; // withdrawn once this much is read from it (0: never)
        bool end;          // the peer ends the stream after sending
    };
    const std::vector<Case> cases = {
        {"lent before anything arrives", 0, 300000, 200000, 1, 0, true},
        {"part of it already buffered", 50000, 300000, 400000, 1, 0, true},
        {"more than it already buffered", 500000, 300000, 0, 1, 0, true},
        {"a full target announced below the mark", 0, 3000, 100000, 1 << 20, 0, false},
        {"the end inside the target", 1000, 300000, 200000, 1, 0, true},
        {"withdrawn on the way", 0, 600000, 900000, 1, 200000, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SendingPeer peer;
        auto pair = ns::createStreamPairWithSocketToHost("127.0.0.1", peer.port());
        auto reader = std::make_shared<TargetReader>();
        reader->input = pair.input.get();
        reader->target.assign(c.target, 0xEE);
        reader->withdrawAt = c.withdrawAt;
        pair.input->setDelegate(reader);
        pair.input->scheduleInRunLoop(ns::RunLoop::mainShared());
        pair.input->open();
        peer.accept();
        // The peer's accept can return before the I/O thread has seen the
        // connection, and a target is lent only to an open stream.
        ASSERT_TRUE(ns::RunLoop::main().runUntil(
            [&] { return pair.input->streamStatus() == ns::StreamStatus::Open; }, 30));
        const std::string bytes = patternOf(c.before + c.after);
        if (c.before > 0) {
            pair.input->setReadLowWater(c.before);
            peer.send(bytes.substr(0, c.before));
            ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return reader->announced > 0; }, 30));
        }
        ASSERT_TRUE(pair.input->lendReadTarget(reader->target.data(), reader->target.size()));
        EXPECT_FALSE(pair.input->lendReadTarget(reader->target.data(), reader->target.size()));
        reader->lent = true;
        reader->started = true;
        pair.input->setReadLowWater(c.lowWater);
        reader->take();
        peer.send(bytes.substr(c.before));
        if (c.end) peer.end();
        const size_t whole = std::min(bytes.size(), c.end ? bytes.size() : c.target);
        ASSERT_TRUE(ns::RunLoop::main().runUntil(
            [&] { return c.end ? reader->ended : reader->received().size() >= whole; }, 30))
            << reader->received().size() << " of " << whole;
        const std::string got = reader->received();
        EXPECT_GE(got.size(), whole);
        EXPECT_TRUE(got == bytes.substr(0, got.size()));
        if (c.end) {
            EXPECT_EQ(pair.input->streamStatus(), ns::StreamStatus::AtEnd);
        }
        pair.input->close();
        EXPECT_EQ(pair.input->readLent(), -1);
    }
}

// Many short sends while the reader takes 64 bytes at a time: the reads
// that land while it lags are kept together, and none is lost or reordered.
TEST(SocketStreamTest, ShortReadsWhileTheReaderLagsArriveInOrder) {
    for (size_t piece : {size_t(1), size_t(37), size_t(1500), size_t(20000)}) {
        SCOPED_TRACE(piece);
        SendingPeer peer;
        auto pair = ns::createStreamPairWithSocketToHost("127.0.0.1", peer.port());
        auto recorder = std::make_shared<Recorder>();
        recorder->input = pair.input.get();
        recorder->queue = ns::DispatchQueue::serial("test.short-reads");
        pair.input->setDelegate(recorder);
        pair.input->setDispatchQueue(recorder->queue);
        pair.input->open();
        peer.accept();
        const std::string bytes = patternOf(piece == 1 ? 20000 : 600000);
        peer.send(bytes, piece);
        peer.end();
        ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return recorder->saw(true, ns::kStreamEventEndEncountered); }, 30));
        std::lock_guard lock(recorder->mutex);
        EXPECT_EQ(recorder->received.size(), bytes.size());
        EXPECT_TRUE(recorder->received == bytes);
        pair.input->close();
    }
}

// Closing waits for a receive into the target that is under way, so the
// reader may free it at once.
TEST(SocketStreamTest, ClosingTakesBackATargetBeingFilled) {
    for (size_t length : {size_t(1) << 20, size_t(4) << 20, size_t(8) << 20, size_t(8) << 20}) {
        SCOPED_TRACE(length);
        SendingPeer peer;
        auto pair = ns::createStreamPairWithSocketToHost("127.0.0.1", peer.port());
        auto reader = std::make_shared<TargetReader>();
        reader->input = pair.input.get();
        pair.input->setDelegate(reader);
        pair.input->scheduleInRunLoop(ns::RunLoop::mainShared());
        pair.input->open();
        pair.output->open();
        peer.accept();
        ASSERT_TRUE(ns::RunLoop::main().runUntil(
            [&] { return pair.input->streamStatus() == ns::StreamStatus::Open; }, 30));
        auto target = std::make_unique<uint8_t[]>(length);
        ASSERT_TRUE(pair.input->lendReadTarget(target.get(), length));
        peer.send(patternOf(2 * length));
        ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return reader->announced > 0; }, 30));
        pair.input->close();
        target.reset();
        pair.output->close();
        peer.join();
    }
}

// Accepts TLS connections presenting the chain file as it is, and holds
// each until the client hangs up (bounded).
class TlsPeer {
public:
    explicit TlsPeer(const std::string& chainPEM, const std::string& keyPEM) {
        ctx_ = ns::testing::tlsServerContext(chainPEM, keyPEM);
        listener_ = ns::testing::listenOnLoopback(port_);
        thread_ = std::thread([this] {
            for (int step = 0; step < 600 && !stop_; ++step) {
                pollfd p{listener_, POLLIN, 0};
                if (::poll(&p, 1, 50) != 1) continue;
                const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) continue;
                // The handshake gets time enough for a slow (sanitized)
                // client; afterwards short reads let the loop see stop_.
                timeval handshake{10, 0};
                ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &handshake, sizeof handshake);
                ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &handshake, sizeof handshake);
                SSL* ssl = SSL_new(ctx_);
                SSL_set_fd(ssl, fd);
                if (SSL_accept(ssl) == 1) {
                    timeval timeout{0, 100 * 1000};
                    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
                    char byte;
                    for (int wait = 0; wait < 100 && !stop_; ++wait) {
                        const int n = SSL_read(ssl, &byte, 1);
                        if (n <= 0 && SSL_get_error(ssl, n) != SSL_ERROR_WANT_READ && errno != EAGAIN) break;
                    }
                }
                SSL_free(ssl);
                ::close(fd);
                ERR_clear_error();
            }
        });
    }
    ~TlsPeer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
        SSL_CTX_free(ctx_);
    }
    uint16_t port() const { return port_; }

private:
    SSL_CTX* ctx_ = nullptr;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

ns::Data certificateDER(const std::string& pemPath) {
    ns::Data der;
    if (FILE* f = std::fopen(pemPath.c_str(), "r")) {
        if (X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr)) {
            const int length = i2d_X509(cert, nullptr);
            der.resize(size_t(std::max(length, 0)));
            unsigned char* p = der.data();
            i2d_X509(cert, &p);
            X509_free(cert);
        }
        std::fclose(f);
    }
    return der;
}

// The peer sends its leaf twice: what it sent is not what was verified,
// which runs from the leaf to the trust anchor the peer never sent.
TEST(SocketStreamTest, TlsKeepsThePeersListApartFromTheVerifiedChain) {
    ::signal(SIGPIPE, SIG_IGN);
    const std::string dir = ALMAVEL_CERT_DIR;
    ASSERT_TRUE(ns::TrustStore::shared().addAnchorFile(dir + "/ca.pem"));
    const std::string doubled = ::testing::TempDir() + "almavel-doubled-leaf.pem";
    {
        std::ifstream leaf(dir + "/server.pem");
        std::stringstream text;
        text << leaf.rdbuf();
        std::ofstream(doubled) << text.str() << text.str();
    }
    const ns::Data leaf = certificateDER(dir + "/server.pem");
    const ns::Data anchor = certificateDER(dir + "/ca.pem");
    ASSERT_FALSE(leaf.empty());
    ASSERT_FALSE(anchor.empty());
    TlsPeer peer(doubled, dir + "/server-key.pem");

    for (bool validate : {true, false}) {
        SCOPED_TRACE(validate ? "validating" : "not validating");
        auto pair = ns::createStreamPairWithSocketToHost("chains.localhost", peer.port());
        auto recorder = std::make_shared<Recorder>();
        pair.output->setDelegate(recorder);
        pair.output->scheduleInRunLoop(ns::RunLoop::mainShared());
        pair.output->setSocketSecurityLevelNegotiatedSSL();
        ns::SSLSettings settings;
        settings.validatesCertificateChain = validate;
        pair.output->setSSLSettings(settings);
        pair.output->open();
        ASSERT_TRUE(ns::RunLoop::main().runUntil(
            [&] {
                return recorder->saw(false, ns::kStreamEventOpenCompleted) ||
                       recorder->saw(false, ns::kStreamEventErrorOccurred);
            },
            30));
        ASSERT_FALSE(recorder->error) << recorder->error->description();
        EXPECT_EQ(pair.output->peerCertificateChain(), (std::vector<ns::Data>{leaf, leaf}));
        if (validate) {
            EXPECT_EQ(pair.output->verifiedCertificateChain(), (std::vector<ns::Data>{leaf, anchor}));
        } else {
            EXPECT_FALSE(pair.output->verifiedCertificateChain());
        }
        pair.output->close();
    }
    std::remove(doubled.c_str());
}

TEST(ThreadTest, RunsMainWithItsNameAndKnowsItself) {
    struct Named : ns::Thread {
        void main() override {
            std::lock_guard lock(mutex);
            seenName = ns::Thread::current() ? ns::Thread::current()->name() : "";
            done = true;
        }
        std::mutex mutex;
        std::string seenName;
        bool done = false;
    };
    auto t = std::make_shared<Named>();
    t->setName("com.example.worker");
    t->start();
    EXPECT_THROW(t->start(), ns::Exception);
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return t->isFinished(); }, 30));
    EXPECT_EQ(t->seenName, "com.example.worker");
    EXPECT_EQ(ns::Thread::current(), nullptr);
}

}  // namespace
