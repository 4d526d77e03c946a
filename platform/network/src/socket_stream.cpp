#include "platform/socket_stream.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <deque>
#include <asio.hpp>
#include <asio/ssl.hpp>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/format.h"
#include "platform/host_routing.h"
#include "platform/runloop.h"
#include "platform/trust_store.h"

namespace ns {

namespace {

// Received bytes kept before the socket is no longer read: twice what a
// reader waiting for the rest of a large message asks to have before it is
// told (512 KiB), so the socket is still read while that reader catches up.
constexpr size_t kMaxInputBuffered = 1024 * 1024;
// Bytes a write stream takes before it reports no space.
constexpr size_t kMaxOutputBuffered = 4 * 1024 * 1024;
constexpr size_t kReadChunk = 256 * 1024;
// Once a lent target is full, the socket is read only this far ahead until
// the reader reads or lends again: enough for the next header, while the
// payload after it stays in the socket for the reader's next target.
constexpr size_t kReadAheadAfterTarget = 4 * 1024;
// A read at most this long is copied onto the last received chunk.
constexpr size_t kShortRead = 16 * 1024;
// Spare read chunks kept, so a steady transfer allocates nothing.
constexpr size_t kSpareChunks = 16;

// OSStatus codes of Secure Transport, which callers of CFStream know.
constexpr long kErrSSLProtocol = -9800;
constexpr long kErrSSLXCertChainInvalid = -9807;

class IOThread {
public:
    static asio::io_context& context() {
        // Never destroyed: connections may still hold handlers at exit.
        static IOThread* thread = new IOThread;
        return thread->context_;
    }

private:
    IOThread() : guard_(asio::make_work_guard(context_)) {
        std::thread([this] {
            pthread_setname_np(pthread_self(), "ns.socket-io");
            context_.run();
        }).detach();
    }
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
};

ErrorRef posixError(int code, const std::string& description) {
    return Error::make(kPOSIXErrorDomain, code, description);
}

ErrorRef systemError(const std::error_code& ec) {
    if (ec.category() == asio::error::get_ssl_category() || ec == asio::ssl::error::stream_truncated) {
        return Error::make(kOSStatusErrorDomain, kErrSSLProtocol, "An SSL error has occurred: " + ec.message());
    }
    const int code = ec.category() == asio::system_category() || ec.category() == std::generic_category()
                         ? ec.value()
                         : EIO;
    return posixError(code, ec.message());
}

// Whether the certificate is valid for `name` (RFC 6125 through OpenSSL).
// OpenSSL refuses wildcards directly under a one-label suffix, so
// "*.localhost" would never match; names under .localhost always stay on
// this machine (RFC 6761), so such a wildcard is accepted for exactly one
// label there.
bool nameMatches(X509* cert, const std::string& name) {
    asio::error_code ec;
    if (asio::ip::make_address(name, ec); !ec) return X509_check_ip_asc(cert, name.c_str(), 0) == 1;
    if (X509_check_host(cert, name.c_str(), name.size(), 0, nullptr) == 1) return true;
    if (!HostRouting::isLocalhostName(name)) return false;
    const std::string normalized = HostRouting::normalizeHost(name);
    const auto dot = normalized.find('.');
    if (dot == std::string::npos || normalized.substr(dot + 1) != "localhost") return false;
    auto* names = static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr));
    bool found = false;
    for (int i = 0; names && i < sk_GENERAL_NAME_num(names) && !found; ++i) {
        const GENERAL_NAME* entry = sk_GENERAL_NAME_value(names, i);
        if (entry->type != GEN_DNS) continue;
        const auto* text = reinterpret_cast<const char*>(ASN1_STRING_get0_data(entry->d.dNSName));
        const std::string dns(text, size_t(ASN1_STRING_length(entry->d.dNSName)));
        found = HostRouting::normalizeHost(dns) == "*.localhost";
    }
    GENERAL_NAMES_free(names);
    return found;
}

}  // namespace

struct Stream::Connection : std::enable_shared_from_this<Connection> {
    struct Side {
        StreamStatus status = StreamStatus::NotOpen;
        std::weak_ptr<Stream> stream;
        std::weak_ptr<StreamDelegate> delegate;
        std::vector<std::pair<std::weak_ptr<RunLoop>, std::string>> loops;
        DispatchQueuePtr queue;  // before the loops when set
        unsigned held = 0;    // events waiting for a run loop
        unsigned posted = 0;  // coalescable events on their way
        bool endPosted = false;
        // The user has read since the last bytes-available event.
        bool readSinceEvent = true;
        NetworkServiceType serviceType = NetworkServiceType::Default;
    };

    Connection(std::string h, uint16_t p) : host(std::move(h)), port(p), socket(IOThread::context()) {}

    const std::string host;
    const uint16_t port;

    mutable std::mutex mutex;
    Side sides[2];  // 0: input, 1: output
    bool tlsRequested = false;
    SSLSettings sslSettings;
    bool connectStarted = false;
    bool ready = false;
    ErrorRef error;
    int fd = -1;
    std::optional<std::vector<Data>> peerChain;
    // The chain OpenSSL built from the leaf to a trust anchor and verified;
    // set only when the chain was validated.
    std::optional<std::vector<Data>> verifiedChain;

    // Received bytes: whole chunks as the socket delivered them, the first
    // one read from `inputOffset` on.
    struct Chunk {
        std::unique_ptr<char[]> bytes;
        size_t length = 0;
    };
    std::deque<Chunk> input;
    size_t inputOffset = 0;
    size_t inputBytes = 0;
    // Bytes-available waits until this many are buffered (see
    // InputStream::setReadLowWater).
    size_t lowWater = 1;
    // A read is copying from the front chunks with the mutex released: the
    // chunks stay until it is done, and input dropped meanwhile is dropped
    // by it.
    bool readerCopying = false;
    bool dropInputAfterCopy = false;
    std::vector<Chunk> spareChunks;
    // The socket is not read while this much waits in `input`: lowered once
    // a lent target is full, until the reader comes back.
    size_t readAhead = kMaxInputBuffered;

    // A reader's own buffer that the next bytes go to (lendReadTarget):
    // `landed` of its `length` bytes are there, `counted` of them read.
    // While it is not full, no received byte waits in `input` but those a
    // read or the lend is copying out.
    struct Target {
        uint8_t* bytes = nullptr;
        size_t length = 0;
        size_t landed = 0;
        size_t counted = 0;
        bool full() const { return landed == length; }
        size_t unread() const { return landed - counted; }
    };
    Target target;
    // Something writes into the target with the mutex released (the I/O
    // thread receiving, or the lend copying what was buffered); taking the
    // target back waits for it.
    bool targetWriting = false;
    bool targetWithdrawn = false;
    std::condition_variable targetIdle;
    bool eof = false;
    bool readInFlight = false;
    bool readPaused = false;

    std::string output;
    std::string sending;
    bool writeInFlight = false;
    // A writer was told there is no room (a short write, or no space):
    // space-available comes again once the I/O thread has sent some.
    bool spaceOwed = false;
    bool sendShutdown = false;
    bool socketClosed = false;

    // I/O thread only.
    asio::ip::tcp::socket socket;
    std::unique_ptr<asio::ssl::context> sslContext;
    std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket&>> tls;
    Chunk scratch;  // the chunk being read into

    Side& side(bool isInput) { return sides[isInput ? 0 : 1]; }

    // ---- events (mutex held) ----

    // Buffered bytes that are announced: the user's low-water mark, never
    // past the point where the socket stops being read.
    size_t announcedAt() const { return std::min(lowWater, readAhead); }

    // Whether the reader is owed bytes-available: as many bytes as it waits
    // for, a full target, or all there will be.
    bool bytesDue() const {
        const size_t available = inputBytes + target.unread();
        if (available == 0) return false;
        return eof || available >= announcedAt() || (target.bytes && target.full());
    }

    // After bytes arrived: one event per arrival the user can act on, once
    // they are due; a user still busy with earlier bytes reads these in the
    // same go.
    void noteArrival(bool dueBefore) {
        if (bytesDue() && (!dueBefore || side(true).readSinceEvent)) announceBytes();
    }

    // The I/O thread may write the next bytes straight into the target.
    bool targetAwaitsBytes() const {
        return target.bytes && !target.full() && !targetWriting && !targetWithdrawn;
    }

    void landed(size_t n) {
        const bool dueBefore = bytesDue();
        target.landed += n;
        if (target.full()) readAhead = kReadAheadAfterTarget;
        noteArrival(dueBefore);
    }

    void resumeReading() {
        if (readPaused && inputBytes < readAhead) {
            readPaused = false;
            asio::post(IOThread::context(), [self = shared_from_this()] { self->startRead(); });
        }
    }

    // Takes the lent target back (mutex held by `lock`, released while
    // something still writes into it): the count of its bytes not read.
    size_t withdrawTarget(std::unique_lock<std::mutex>& lock) {
        if (!target.bytes) return 0;
        targetWithdrawn = true;
        targetIdle.wait(lock, [this] { return !targetWriting; });
        const size_t unread = target.unread();
        target = {};
        targetWithdrawn = false;
        readAhead = kMaxInputBuffered;
        resumeReading();
        noteInputEnd();
        return unread;
    }

    void announceBytes() {
        side(true).readSinceEvent = false;
        post(true, kStreamEventHasBytesAvailable);
    }

    void dropInput() {
        if (readerCopying) {
            dropInputAfterCopy = true;
            return;
        }
        input.clear();
        inputOffset = 0;
        inputBytes = 0;
    }

    void post(bool isInput, StreamEvent event) {
        Side& s = side(isInput);
        if (s.status == StreamStatus::NotOpen || s.status == StreamStatus::Closed) return;
        const bool coalesce = event == kStreamEventHasBytesAvailable || event == kStreamEventHasSpaceAvailable;
        if (coalesce && ((s.posted | s.held) & event)) return;
        if (s.queue) {
            if (coalesce) s.posted |= event;
            if (holdPosts || flushingPosts) {
                outbox.push_back({s.queue, isInput, event});
                return;
            }
            s.queue->async([self = shared_from_this(), isInput, event] { self->deliver(isInput, event); });
            return;
        }
        std::shared_ptr<RunLoop> loop;
        for (auto& [weak, mode] : s.loops) {
            if ((loop = weak.lock())) break;
        }
        if (!loop) {
            s.held |= event;
            return;
        }
        if (coalesce) s.posted |= event;
        loop->perform([self = shared_from_this(), isInput, event] { self->deliver(isInput, event); });
    }

    // Events the I/O thread raises while it holds the mutex wait in the
    // outbox until it lets go: a queue's thread woken for them would
    // otherwise find the mutex taken and sleep once more. Events raised
    // meanwhile on other threads join the outbox while it is emptied, so
    // every queue still gets them in the order they were raised.
    struct Posting {
        DispatchQueuePtr queue;
        bool isInput;
        StreamEvent event;
    };
    std::vector<Posting> outbox;
    bool holdPosts = false;
    bool flushingPosts = false;

    class HeldPosts {
    public:
        // Made before the lock is taken, so it ends after the lock is let go.
        explicit HeldPosts(Connection& c) : c_(c) {}
        // Mutex held.
        void start() {
            c_.holdPosts = true;
            started_ = true;
        }
        ~HeldPosts() {
            if (!started_) return;
            std::vector<Posting> batch;
            {
                std::lock_guard lock(c_.mutex);
                c_.holdPosts = false;
                if (c_.outbox.empty()) return;
                batch.swap(c_.outbox);
                c_.flushingPosts = true;
            }
            for (;;) {
                for (auto& p : batch) {
                    p.queue->async([self = c_.shared_from_this(), isInput = p.isInput, event = p.event] {
                        self->deliver(isInput, event);
                    });
                }
                batch.clear();
                std::lock_guard lock(c_.mutex);
                if (c_.outbox.empty()) {
                    c_.flushingPosts = false;
                    return;
                }
                batch.swap(c_.outbox);
            }
        }
        HeldPosts(const HeldPosts&) = delete;
        HeldPosts& operator=(const HeldPosts&) = delete;

    private:
        Connection& c_;
        bool started_ = false;
    };

    void deliver(bool isInput, StreamEvent event) {
        std::shared_ptr<Stream> stream;
        std::shared_ptr<StreamDelegate> delegate;
        {
            std::lock_guard lock(mutex);
            Side& s = side(isInput);
            s.posted &= ~unsigned(event);
            if (s.status == StreamStatus::Closed || s.status == StreamStatus::NotOpen) return;
            stream = s.stream.lock();
            delegate = s.delegate.lock();
        }
        if (stream && delegate) delegate->streamHandleEvent(*stream, event);
    }

    void releaseHeld(bool isInput) {
        Side& s = side(isInput);
        const unsigned held = std::exchange(s.held, 0u);
        for (unsigned bit = 1; bit <= kStreamEventEndEncountered; bit <<= 1) {
            if (held & bit) post(isInput, StreamEvent(bit));
        }
    }

    void fail(ErrorRef e) {
        if (error) return;
        error = std::move(e);
        for (bool isInput : {false, true}) {
            Side& s = side(isInput);
            if (s.status == StreamStatus::NotOpen || s.status == StreamStatus::Closed) continue;
            s.status = StreamStatus::Error;
            post(isInput, kStreamEventErrorOccurred);
        }
        asio::post(IOThread::context(), [self = shared_from_this()] { self->closeSocket(); });
    }

    void noteInputEnd() {
        Side& in = side(true);
        if (eof && inputBytes == 0 && !readerCopying && target.unread() == 0 && !targetWriting && !in.endPosted &&
            (in.status == StreamStatus::Open || in.status == StreamStatus::AtEnd)) {
            in.endPosted = true;
            in.status = StreamStatus::AtEnd;
            post(true, kStreamEventEndEncountered);
        }
    }

    // ---- opening ----

    void opened(bool isInput) {
        Side& s = side(isInput);
        if (s.status != StreamStatus::NotOpen) return;
        s.status = StreamStatus::Opening;
        if (error) {
            s.status = StreamStatus::Error;
            post(isInput, kStreamEventErrorOccurred);
            return;
        }
        if (ready) {
            becameReady(isInput);
            return;
        }
        if (!connectStarted) {
            connectStarted = true;
            asio::post(IOThread::context(), [self = shared_from_this()] { self->connect(); });
        }
    }

    void becameReady(bool isInput) {
        Side& s = side(isInput);
        if (s.status != StreamStatus::Opening) return;
        s.status = StreamStatus::Open;
        post(isInput, kStreamEventOpenCompleted);
        if (isInput) {
            if (inputBytes > 0) post(true, kStreamEventHasBytesAvailable);
            noteInputEnd();
        } else {
            post(false, kStreamEventHasSpaceAvailable);
        }
    }

    void connect() {
        std::unique_lock lock(mutex);
        if (error || socketClosed) return;
        if (HostRouting::isInvalidName(host)) {
            fail(posixError(EHOSTUNREACH, format("The host %@ does not exist.", host)));
            return;
        }
        std::string address;
        uint16_t destinationPort = port;
        if (auto routed = HostRouting::shared().resolve(host, port)) {
            address = routed->address;
            if (routed->port != 0) destinationPort = routed->port;
        } else if (HostRouting::isLoopbackAddress(host)) {
            address = host == "localhost" ? "127.0.0.1" : host;
        }
        asio::error_code ec;
        const auto ip = asio::ip::make_address(address, ec);
        if (address.empty() || ec || !ip.is_loopback()) {
            fail(posixError(ENETUNREACH,
                            format("Connections to %@:%u are refused: only loopback destinations are reachable.",
                                   host, unsigned(port))));
            return;
        }
        lock.unlock();
        socket.async_connect(asio::ip::tcp::endpoint(ip, destinationPort),
                             [self = shared_from_this()](const asio::error_code& e) { self->connected(e); });
    }

    void connected(const asio::error_code& ec) {
        std::unique_lock lock(mutex);
        if (error || socketClosed) return;
        if (ec) {
            fail(systemError(ec));
            return;
        }
        asio::error_code ignored;
        socket.set_option(asio::ip::tcp::no_delay(true), ignored);
        fd = socket.native_handle();
        if (!tlsRequested) {
            lock.unlock();
            startTransfer();
            return;
        }
        sslContext = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_client);
        sslContext->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                                asio::ssl::context::no_sslv3);
        SSL_CTX* ctx = sslContext->native_handle();
        TrustStore::shared().configure(ctx);
        tls = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket&>>(socket, *sslContext);
        SSL* ssl = tls->native_handle();
        const std::string peerName = sslSettings.peerName.value_or(host);
        asio::ip::make_address(peerName, ignored);
        if (ignored) SSL_set_tlsext_host_name(ssl, peerName.c_str());  // SNI takes names, not addresses
        if (sslSettings.validatesCertificateChain) {
            // The chain is verified here; the name once the handshake is done
            // (see nameMatches).
            tls->set_verify_mode(asio::ssl::verify_peer);
        } else {
            tls->set_verify_mode(asio::ssl::verify_none);
        }
        lock.unlock();
        tls->async_handshake(asio::ssl::stream_base::client,
                             [self = shared_from_this()](const asio::error_code& e) { self->handshaken(e); });
    }

    void handshaken(const asio::error_code& ec) {
        std::unique_lock lock(mutex);
        if (error || socketClosed) return;
        if (ec) {
            SSL* ssl = tls->native_handle();
            const long verify = SSL_get_verify_result(ssl);
            if (verify != X509_V_OK) {
                fail(Error::make(kOSStatusErrorDomain, kErrSSLXCertChainInvalid,
                                 format("The certificate for this server is invalid: %s",
                                        X509_verify_cert_error_string(verify))));
            } else {
                fail(systemError(ec));
            }
            return;
        }
        if (sslSettings.validatesCertificateChain) {
            const std::string peerName = sslSettings.peerName.value_or(host);
            X509* leaf = SSL_get1_peer_certificate(tls->native_handle());
            const bool matches = leaf && nameMatches(leaf, peerName);
            X509_free(leaf);
            if (!matches) {
                fail(Error::make(kOSStatusErrorDomain, kErrSSLXCertChainInvalid,
                                 format("The certificate for this server is invalid: it is not valid for %@", peerName)));
                return;
            }
        }
        peerChain = derChain(SSL_get_peer_cert_chain(tls->native_handle()));
        if (sslSettings.validatesCertificateChain && SSL_get_verify_result(tls->native_handle()) == X509_V_OK) {
            verifiedChain = derChain(SSL_get0_verified_chain(tls->native_handle()));
        }
        lock.unlock();
        startTransfer();
    }

    static std::vector<Data> derChain(STACK_OF(X509)* certs) {
        std::vector<Data> chain;
        if (!certs) return chain;
        for (int i = 0; i < sk_X509_num(certs); ++i) {
            X509* cert = sk_X509_value(certs, i);
            const int length = i2d_X509(cert, nullptr);
            if (length <= 0) continue;
            Data der(static_cast<size_t>(length));
            unsigned char* p = der.data();
            i2d_X509(cert, &p);
            chain.push_back(std::move(der));
        }
        return chain;
    }

    void startTransfer() {
        {
            std::lock_guard lock(mutex);
            if (error || socketClosed) return;
            ready = true;
            becameReady(false);
            becameReady(true);
        }
        startRead();
        startWrite();
    }

    // ---- transfer (I/O thread) ----

    template <class Handler>
    void readSome(size_t length, Handler&& handler) {
        if (tls) {
            tls->async_read_some(asio::buffer(scratch.bytes.get(), length), std::forward<Handler>(handler));
        } else {
            socket.async_read_some(asio::buffer(scratch.bytes.get(), length), std::forward<Handler>(handler));
        }
    }

    void startRead() {
        uint8_t* into = nullptr;
        size_t length = 0;
        {
            std::lock_guard lock(mutex);
            if (readInFlight || eof || error || socketClosed || !ready) return;
            if (side(true).status == StreamStatus::Closed) return;
            // TLS decrypts into a chunk first; its bytes are copied on.
            if (targetAwaitsBytes() && !tls) {
                into = target.bytes + target.landed;
                length = target.length - target.landed;
                targetWriting = true;
            } else if (inputBytes >= readAhead) {
                readPaused = true;
                return;
            } else {
                length = std::min(kReadChunk, readAhead - inputBytes);
                if (!scratch.bytes) {
                    if (!spareChunks.empty()) {
                        scratch = std::move(spareChunks.back());
                        spareChunks.pop_back();
                    } else {
                        scratch.bytes = std::make_unique_for_overwrite<char[]>(kReadChunk);
                    }
                }
            }
            readInFlight = true;
        }
        if (into) {
            receiveIntoTarget(into, length);
            return;
        }
        readSome(length, [self = shared_from_this()](const asio::error_code& ec, size_t n) { self->didRead(ec, n); });
    }

    // The socket is at its end (or was reset): whatever is buffered is all
    // there will be (mutex held).
    void reachedEnd() {
        const bool dueBefore = bytesDue();
        eof = true;
        noteArrival(dueBefore);
        noteInputEnd();
    }

    // Receives straight into the lent target for as long as bytes come and
    // it has room, then goes back to the usual reads; waits for the socket
    // to become readable when nothing has come yet.
    void receiveIntoTarget(uint8_t* into, size_t length) {
        const int handle = socket.native_handle();
        for (;;) {
            const ssize_t n = ::recv(handle, into, length, MSG_DONTWAIT);
            const int code = n < 0 ? errno : 0;
            HeldPosts held(*this);
            std::unique_lock lock(mutex);
            held.start();
            targetWriting = false;
            targetIdle.notify_all();
            readInFlight = false;
            if (socketClosed) return;
            if (n > 0) {
                landed(size_t(n));
            } else if (n == 0 || code == ECONNRESET) {
                reachedEnd();
                return;
            } else if (code == EAGAIN || code == EWOULDBLOCK) {
                readInFlight = true;
                lock.unlock();
                socket.async_wait(asio::socket_base::wait_read,
                                  [self = shared_from_this()](const asio::error_code& ec) { self->readable(ec); });
                return;
            } else if (code != EINTR) {
                fail(systemError(asio::error_code(code, asio::system_category())));
                return;
            }
            if (side(true).status == StreamStatus::Closed || !targetAwaitsBytes()) break;
            into = target.bytes + target.landed;
            length = target.length - target.landed;
            targetWriting = true;
            readInFlight = true;
        }
        startRead();
    }

    void readable(const asio::error_code& ec) {
        {
            std::lock_guard lock(mutex);
            readInFlight = false;
            if (socketClosed || ec == asio::error::operation_aborted) return;
            if (ec) {
                fail(systemError(ec));
                return;
            }
        }
        startRead();
    }

    void didRead(const asio::error_code& ec, size_t n) {
        {
            HeldPosts held(*this);
            std::unique_lock lock(mutex);
            held.start();
            readInFlight = false;
            if (socketClosed) return;
            size_t toTarget = 0;
            if (n > 0 && targetAwaitsBytes() && side(true).status != StreamStatus::Closed) {
                // Read into a chunk before the target was lent (or through
                // TLS): its first bytes belong in the target.
                toTarget = std::min(n, target.length - target.landed);
                uint8_t* into = target.bytes + target.landed;
                targetWriting = true;
                lock.unlock();
                std::memcpy(into, scratch.bytes.get(), toTarget);
                lock.lock();
                targetWriting = false;
                targetIdle.notify_all();
                landed(toTarget);
                if (socketClosed) return;
            }
            if (n > toTarget && side(true).status != StreamStatus::Closed) {
                const bool dueBefore = bytesDue();
                const size_t kept = n - toTarget;
                const char* from = scratch.bytes.get() + toTarget;
                // A short read joins the last chunk while that has room and
                // the chunk read into stays for the next read: while a
                // reader lags, reads of a few hundred bytes each would
                // otherwise each hold (and allocate) a whole chunk. A reader
                // copying from that chunk meanwhile reads only bytes before
                // these.
                if (kept <= kShortRead && !input.empty() && kReadChunk - input.back().length >= kept) {
                    Chunk& last = input.back();
                    std::memcpy(last.bytes.get() + last.length, from, kept);
                    last.length += kept;
                } else {
                    if (toTarget > 0) std::memmove(scratch.bytes.get(), from, kept);
                    scratch.length = kept;
                    input.push_back(std::move(scratch));
                    scratch = {};
                }
                inputBytes += kept;
                noteArrival(dueBefore);
            }
            if (ec) {
                if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated ||
                    ec == asio::error::connection_reset) {
                    reachedEnd();
                } else if (ec != asio::error::operation_aborted) {
                    fail(systemError(ec));
                }
                return;
            }
        }
        startRead();
    }

    void startWrite() {
        std::unique_lock lock(mutex);
        if (writeInFlight || error || socketClosed || !ready) return;
        if (output.empty()) {
            finishOutputIfClosed();
            return;
        }
        sending.swap(output);
        output.clear();
        writeInFlight = true;
        lock.unlock();
        auto done = [self = shared_from_this()](const asio::error_code& ec, size_t) { self->didWrite(ec); };
        if (tls) {
            asio::async_write(*tls, asio::buffer(sending), std::move(done));
        } else {
            asio::async_write(socket, asio::buffer(sending), std::move(done));
        }
    }

    void didWrite(const asio::error_code& ec) {
        {
            HeldPosts held(*this);
            std::lock_guard lock(mutex);
            held.start();
            writeInFlight = false;
            sending.clear();
            if (socketClosed) return;
            if (ec) {
                if (ec != asio::error::operation_aborted) fail(systemError(ec));
                return;
            }
            if (side(false).status == StreamStatus::Open && std::exchange(spaceOwed, false)) {
                post(false, kStreamEventHasSpaceAvailable);
            }
        }
        startWrite();
    }

    // Mutex held, nothing left to send.
    void finishOutputIfClosed() {
        const bool outClosed = side(false).status == StreamStatus::Closed;
        const bool inClosed = side(true).status == StreamStatus::Closed;
        if (outClosed && inClosed) {
            asio::post(IOThread::context(), [self = shared_from_this()] { self->closeSocket(); });
        } else if (outClosed && !sendShutdown && ready && !tls) {
            sendShutdown = true;
            asio::error_code ignored;
            socket.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
        }
    }

    void closeSocket() {
        std::lock_guard lock(mutex);
        if (socketClosed) return;
        socketClosed = true;
        asio::error_code ignored;
        socket.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        socket.close(ignored);
        dropInput();
    }

    // A stream was closed or destroyed (mutex held by `lock`; released
    // while a lent target is still written into).
    void sideClosed(bool isInput, std::unique_lock<std::mutex>& lock) {
        Side& s = side(isInput);
        if (s.status == StreamStatus::Closed) return;
        s.status = StreamStatus::Closed;
        s.held = 0;
        if (isInput) {
            dropInput();
            withdrawTarget(lock);
        }
        if (!connectStarted || error) {
            if (side(!isInput).status == StreamStatus::Closed || side(!isInput).status == StreamStatus::NotOpen) {
                asio::post(IOThread::context(), [self = shared_from_this()] { self->closeSocket(); });
            }
            return;
        }
        asio::post(IOThread::context(), [self = shared_from_this()] { self->startWrite(); });
    }
};

Stream::Stream(std::shared_ptr<Connection> connection, bool isInput)
    : connection_(std::move(connection)), isInput_(isInput) {}

Stream::~Stream() {
    std::unique_lock lock(connection_->mutex);
    auto& s = connection_->side(isInput_);
    if (s.status == StreamStatus::NotOpen) {
        s.status = StreamStatus::Closed;
        auto& other = connection_->side(!isInput_);
        if (other.status == StreamStatus::Closed && connection_->connectStarted) {
            asio::post(IOThread::context(), [c = connection_] { c->closeSocket(); });
        }
        return;
    }
    connection_->sideClosed(isInput_, lock);
}

void Stream::setDelegate(std::weak_ptr<StreamDelegate> delegate) {
    std::lock_guard lock(connection_->mutex);
    connection_->side(isInput_).delegate = std::move(delegate);
}

void Stream::open() {
    std::lock_guard lock(connection_->mutex);
    connection_->opened(isInput_);
}

void Stream::close() {
    std::unique_lock lock(connection_->mutex);
    connection_->sideClosed(isInput_, lock);
}

StreamStatus Stream::streamStatus() const {
    std::lock_guard lock(connection_->mutex);
    return connection_->side(isInput_).status;
}

ErrorRef Stream::streamError() const {
    std::lock_guard lock(connection_->mutex);
    return connection_->side(isInput_).status == StreamStatus::Error ? connection_->error : nullptr;
}

void Stream::scheduleInRunLoop(const std::shared_ptr<RunLoop>& loop, const std::string& mode) {
    if (!loop) return;
    std::lock_guard lock(connection_->mutex);
    auto& s = connection_->side(isInput_);
    for (auto& [weak, m] : s.loops) {
        if (m == mode && weak.lock() == loop) return;
    }
    s.loops.emplace_back(loop, mode);
    connection_->releaseHeld(isInput_);
}

void Stream::setDispatchQueue(DispatchQueuePtr queue) {
    std::lock_guard lock(connection_->mutex);
    connection_->side(isInput_).queue = std::move(queue);
    connection_->releaseHeld(isInput_);
}

DispatchQueuePtr Stream::dispatchQueue() const {
    std::lock_guard lock(connection_->mutex);
    return connection_->side(isInput_).queue;
}

void Stream::removeFromRunLoop(const std::shared_ptr<RunLoop>& loop, const std::string& mode) {
    std::lock_guard lock(connection_->mutex);
    auto& loops = connection_->side(isInput_).loops;
    std::erase_if(loops, [&](const auto& entry) {
        auto l = entry.first.lock();
        return !l || (l == loop && entry.second == mode);
    });
}

int Stream::nativeSocketHandle() const {
    std::lock_guard lock(connection_->mutex);
    return connection_->socketClosed ? -1 : connection_->fd;
}

void Stream::setNetworkServiceType(NetworkServiceType type) {
    std::lock_guard lock(connection_->mutex);
    connection_->side(isInput_).serviceType = type;
}

NetworkServiceType Stream::networkServiceType() const {
    std::lock_guard lock(connection_->mutex);
    return connection_->side(isInput_).serviceType;
}

void Stream::setSocketSecurityLevelNegotiatedSSL() {
    std::lock_guard lock(connection_->mutex);
    connection_->tlsRequested = true;
}

void Stream::setSSLSettings(SSLSettings settings) {
    std::lock_guard lock(connection_->mutex);
    connection_->sslSettings = std::move(settings);
}

std::optional<std::vector<Data>> Stream::peerCertificateChain() const {
    std::lock_guard lock(connection_->mutex);
    return connection_->peerChain;
}

std::optional<std::vector<Data>> Stream::verifiedCertificateChain() const {
    std::lock_guard lock(connection_->mutex);
    return connection_->verifiedChain;
}

namespace {

// Buffered bytes counted out to a reader, as they lie in the received
// chunks. They are taken (and counted out) at once; the copy runs with the
// mutex released, so the I/O thread goes on adding what arrives meanwhile,
// and the chunks are given back afterwards.
struct Pieces {
    struct Piece {
        const char* bytes;
        size_t length;
    };
    static constexpr size_t kMax = 16;
    Piece piece[kMax];
    size_t count = 0;
    size_t total = 0;

    // Mutex held; nothing is taken while another read is copying.
    void take(Stream::Connection& c, size_t maxLength) {
        if (c.readerCopying) return;
        size_t offset = c.inputOffset;
        for (const auto& chunk : c.input) {
            if (total == maxLength || count == kMax) break;
            const size_t length = std::min(maxLength - total, chunk.length - offset);
            piece[count++] = {chunk.bytes.get() + offset, length};
            total += length;
            offset = 0;
        }
        if (total == 0) return;
        c.inputBytes -= total;
        c.readerCopying = true;
        // A reader that has emptied what was read ahead after its target
        // is back to the usual reading.
        if (c.inputBytes == 0) c.readAhead = kMaxInputBuffered;
        c.resumeReading();
    }

    // Mutex held, the copy done.
    void giveBack(Stream::Connection& c) {
        if (total == 0) return;
        c.readerCopying = false;
        if (std::exchange(c.dropInputAfterCopy, false)) {
            c.dropInput();
            return;
        }
        for (size_t left = total; left > 0;) {
            auto& chunk = c.input.front();
            const size_t length = std::min(left, chunk.length - c.inputOffset);
            left -= length;
            c.inputOffset += length;
            if (c.inputOffset == chunk.length) {
                if (c.spareChunks.size() < kSpareChunks) c.spareChunks.push_back(std::move(chunk));
                c.input.pop_front();
                c.inputOffset = 0;
            }
        }
    }

    void copyTo(char* out) const {
        for (size_t i = 0; i < count; ++i) {
            std::memcpy(out, piece[i].bytes, piece[i].length);
            out += piece[i].length;
        }
    }
};

bool isReadable(const Stream::Connection& c) {
    const auto status = c.sides[0].status;
    return status == StreamStatus::Open || status == StreamStatus::AtEnd;
}

// Hands up to `maxLength` buffered bytes to `take` (with the mutex
// released).
template <class Take>
long readPieces(Stream::Connection& c, size_t maxLength, Take&& take) {
    Pieces pieces;
    {
        std::lock_guard lock(c.mutex);
        auto& s = c.side(true);
        if (s.status == StreamStatus::Opening) return 0;
        if (!isReadable(c)) return -1;
        s.readSinceEvent = true;
        pieces.take(c, maxLength);
        if (pieces.total == 0) {
            c.noteInputEnd();
            return 0;
        }
    }
    take(pieces);
    std::lock_guard lock(c.mutex);
    pieces.giveBack(c);
    c.noteInputEnd();
    return long(pieces.total);
}

}  // namespace

long InputStream::read(uint8_t* buffer, size_t maxLength) {
    return readPieces(*connection_, maxLength,
                      [buffer](const Pieces& pieces) { pieces.copyTo(reinterpret_cast<char*>(buffer)); });
}

long InputStream::readAppending(std::string& text, size_t maxLength) {
    // The room is made before the lock is taken, so the appends below
    // neither allocate nor throw.
    if (text.capacity() - text.size() < maxLength) text.reserve(text.size() + maxLength);
    return readPieces(*connection_, maxLength, [&text](const Pieces& pieces) {
        for (size_t i = 0; i < pieces.count; ++i) text.append(pieces.piece[i].bytes, pieces.piece[i].length);
    });
}

void InputStream::setReadLowWater(size_t bytes) {
    auto& c = *connection_;
    std::lock_guard lock(c.mutex);
    c.lowWater = std::max<size_t>(bytes, 1);
    // Bytes that waited for a higher mark, or all there will be.
    if (c.bytesDue() && c.side(true).readSinceEvent) c.announceBytes();
}

bool InputStream::lendReadTarget(uint8_t* target, size_t length) {
    auto& c = *connection_;
    std::unique_lock lock(c.mutex);
    if (!isReadable(c) || c.target.bytes || length == 0 || c.readerCopying) return false;
    c.side(true).readSinceEvent = true;
    c.target = {target, length, 0, 0};
    // What is buffered comes first; the I/O thread keeps adding to the
    // buffer until it has all been copied.
    c.targetWriting = true;
    while (c.inputBytes > 0 && !c.target.full() && !c.targetWithdrawn) {
        Pieces pieces;
        pieces.take(c, c.target.length - c.target.landed);
        if (pieces.total == 0) break;
        char* into = reinterpret_cast<char*>(c.target.bytes + c.target.landed);
        lock.unlock();
        pieces.copyTo(into);
        lock.lock();
        pieces.giveBack(c);
        c.target.landed += pieces.total;
    }
    c.targetWriting = false;
    c.targetIdle.notify_all();
    if (c.target.bytes && c.target.full()) {
        c.readAhead = kReadAheadAfterTarget;
    } else {
        c.readAhead = kMaxInputBuffered;
        c.resumeReading();
    }
    return c.target.bytes == target && isReadable(c);
}

long InputStream::readLent() {
    auto& c = *connection_;
    std::lock_guard lock(c.mutex);
    auto& s = c.side(true);
    if (s.status == StreamStatus::Opening) return 0;
    if (!isReadable(c)) return -1;
    s.readSinceEvent = true;
    const size_t n = c.target.unread();
    c.target.counted = c.target.landed;
    if (c.target.bytes && c.target.full()) c.target = {};
    c.noteInputEnd();
    return long(n);
}

size_t InputStream::withdrawReadTarget() {
    std::unique_lock lock(connection_->mutex);
    return connection_->withdrawTarget(lock);
}

bool InputStream::hasBytesAvailable() const {
    std::lock_guard lock(connection_->mutex);
    const auto& c = *connection_;
    return c.sides[0].status == StreamStatus::Open && (c.inputBytes > 0 || c.target.unread() > 0);
}

long OutputStream::write(const uint8_t* buffer, size_t length) {
    // The I/O thread sends every write: sending from the writer's thread
    // saved it a wake-up but, on two busy cores, made a round trip slower
    // (the loopback delivery and the peer's wake-up ran on the writer's
    // core, ahead of its answer's handling).
    auto& c = *connection_;
    bool startWriting = false;
    size_t n = 0;
    {
        std::lock_guard lock(c.mutex);
        auto& s = c.side(false);
        if (s.status == StreamStatus::Opening) return 0;
        if (s.status != StreamStatus::Open) return -1;
        const size_t room = c.output.size() < kMaxOutputBuffered ? kMaxOutputBuffered - c.output.size() : 0;
        n = std::min(room, length);
        if (n < length) c.spaceOwed = true;
        if (n == 0) return 0;
        startWriting = c.output.empty();
        c.output.append(reinterpret_cast<const char*>(buffer), n);
    }
    // Posted with the lock released, so the I/O thread does not wake only
    // to wait for it.
    if (startWriting) asio::post(IOThread::context(), [self = c.shared_from_this()] { self->startWrite(); });
    return long(n);
}

bool OutputStream::hasSpaceAvailable() const {
    auto& c = *connection_;
    std::lock_guard lock(c.mutex);
    if (c.sides[1].status != StreamStatus::Open) return false;
    if (c.output.size() < kMaxOutputBuffered) return true;
    c.spaceOwed = true;
    return false;
}

struct StreamAccess {
    static SocketStreamPair make(const std::string& host, uint16_t port) {
        auto connection = std::make_shared<Stream::Connection>(host, port);
        SocketStreamPair pair;
        pair.input = std::shared_ptr<InputStream>(new InputStream(connection, true));
        pair.output = std::shared_ptr<OutputStream>(new OutputStream(connection, false));
        connection->sides[0].stream = pair.input;
        connection->sides[1].stream = pair.output;
        return pair;
    }
};

SocketStreamPair createStreamPairWithSocketToHost(const std::string& host, uint16_t port) {
    return StreamAccess::make(host, port);
}

}  // namespace ns
