#include "platform/socket_stream.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <pthread.h>

#include <algorithm>
#include <deque>
#include <asio.hpp>
#include <asio/ssl.hpp>
#include <cerrno>
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
    bool eof = false;
    bool readInFlight = false;
    bool readPaused = false;

    std::string output;
    std::string sending;
    bool writeInFlight = false;
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
    size_t announcedAt() const { return std::min(lowWater, kMaxInputBuffered); }

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
        if (eof && inputBytes == 0 && !readerCopying && !in.endPosted &&
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
    void readSome(Handler&& handler) {
        if (tls) {
            tls->async_read_some(asio::buffer(scratch.bytes.get(), kReadChunk), std::forward<Handler>(handler));
        } else {
            socket.async_read_some(asio::buffer(scratch.bytes.get(), kReadChunk), std::forward<Handler>(handler));
        }
    }

    void startRead() {
        {
            std::lock_guard lock(mutex);
            if (readInFlight || eof || error || socketClosed || !ready) return;
            if (side(true).status == StreamStatus::Closed) return;
            if (inputBytes >= kMaxInputBuffered) {
                readPaused = true;
                return;
            }
            readInFlight = true;
            if (!scratch.bytes) {
                if (!spareChunks.empty()) {
                    scratch = std::move(spareChunks.back());
                    spareChunks.pop_back();
                } else {
                    scratch.bytes = std::make_unique_for_overwrite<char[]>(kReadChunk);
                }
            }
        }
        readSome([self = shared_from_this()](const asio::error_code& ec, size_t n) { self->didRead(ec, n); });
    }

    void didRead(const asio::error_code& ec, size_t n) {
        {
            std::lock_guard lock(mutex);
            readInFlight = false;
            if (socketClosed) return;
            if (n > 0 && side(true).status != StreamStatus::Closed) {
                scratch.length = n;
                input.push_back(std::move(scratch));
                scratch = {};
                const size_t before = inputBytes;
                inputBytes += n;
                // One event per arrival the user can act on, once as much
                // has come as the user waits for: a user still busy with
                // earlier bytes reads these in the same go.
                const size_t mark = announcedAt();
                if (inputBytes >= mark && (before < mark || side(true).readSinceEvent)) announceBytes();
            }
            if (ec) {
                if (ec == asio::error::eof || ec == asio::ssl::error::stream_truncated ||
                    ec == asio::error::connection_reset) {
                    eof = true;
                    // Whatever is left is all there will be.
                    if (inputBytes > 0 && inputBytes < announcedAt()) announceBytes();
                    noteInputEnd();
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
            std::lock_guard lock(mutex);
            writeInFlight = false;
            sending.clear();
            if (socketClosed) return;
            if (ec) {
                if (ec != asio::error::operation_aborted) fail(systemError(ec));
                return;
            }
            if (side(false).status == StreamStatus::Open) post(false, kStreamEventHasSpaceAvailable);
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

    // A stream was closed or destroyed (mutex held).
    void sideClosed(bool isInput) {
        Side& s = side(isInput);
        if (s.status == StreamStatus::Closed) return;
        s.status = StreamStatus::Closed;
        s.held = 0;
        if (isInput) dropInput();
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
    std::lock_guard lock(connection_->mutex);
    auto& s = connection_->side(isInput_);
    if (s.status == StreamStatus::NotOpen) {
        s.status = StreamStatus::Closed;
        auto& other = connection_->side(!isInput_);
        if (other.status == StreamStatus::Closed && connection_->connectStarted) {
            asio::post(IOThread::context(), [c = connection_] { c->closeSocket(); });
        }
        return;
    }
    connection_->sideClosed(isInput_);
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
    std::lock_guard lock(connection_->mutex);
    connection_->sideClosed(isInput_);
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

// Hands up to `maxLength` buffered bytes to `take` piece by piece, as they
// lie in the received chunks. The bytes are taken (and counted out) at once;
// the copy runs with the mutex released, so the I/O thread goes on adding
// what arrives meanwhile, and the chunks are given back afterwards.
template <class Take>
long readPieces(Stream::Connection& c, size_t maxLength, Take&& take) {
    struct Piece {
        const char* bytes;
        size_t length;
    };
    constexpr size_t kMaxPieces = 16;
    Piece pieces[kMaxPieces];
    size_t count = 0;
    size_t n = 0;
    bool resume = false;
    {
        std::lock_guard lock(c.mutex);
        auto& s = c.side(true);
        if (s.status == StreamStatus::Opening) return 0;
        if (s.status != StreamStatus::Open && s.status != StreamStatus::AtEnd) return -1;
        s.readSinceEvent = true;
        // One read at a time; another one meanwhile finds nothing.
        if (c.readerCopying) return 0;
        size_t offset = c.inputOffset;
        for (const auto& chunk : c.input) {
            if (n == maxLength || count == kMaxPieces) break;
            const size_t length = std::min(maxLength - n, chunk.length - offset);
            pieces[count++] = {chunk.bytes.get() + offset, length};
            n += length;
            offset = 0;
        }
        if (n == 0) {
            c.noteInputEnd();
            return 0;
        }
        c.inputBytes -= n;
        c.readerCopying = true;
        if (c.readPaused && c.inputBytes < kMaxInputBuffered) {
            c.readPaused = false;
            resume = true;
        }
    }
    if (resume) asio::post(IOThread::context(), [self = c.shared_from_this()] { self->startRead(); });
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        take(at, pieces[i].bytes, pieces[i].length);
        at += pieces[i].length;
    }
    std::lock_guard lock(c.mutex);
    c.readerCopying = false;
    if (std::exchange(c.dropInputAfterCopy, false)) {
        c.dropInput();
    } else {
        for (size_t left = n; left > 0;) {
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
    c.noteInputEnd();
    return long(n);
}

}  // namespace

long InputStream::read(uint8_t* buffer, size_t maxLength) {
    return readPieces(*connection_, maxLength, [buffer](size_t at, const char* piece, size_t length) {
        std::memcpy(buffer + at, piece, length);
    });
}

long InputStream::readAppending(std::string& text, size_t maxLength) {
    // The room is made before the lock is taken, so the appends below
    // neither allocate nor throw.
    if (text.capacity() - text.size() < maxLength) text.reserve(text.size() + maxLength);
    return readPieces(*connection_, maxLength,
                      [&text](size_t, const char* piece, size_t length) { text.append(piece, length); });
}

void InputStream::setReadLowWater(size_t bytes) {
    auto& c = *connection_;
    std::lock_guard lock(c.mutex);
    c.lowWater = std::max<size_t>(bytes, 1);
    // Bytes that waited for a higher mark, or all there will be.
    if (c.inputBytes > 0 && (c.eof || c.inputBytes >= c.announcedAt()) && c.side(true).readSinceEvent) {
        c.announceBytes();
    }
}

bool InputStream::hasBytesAvailable() const {
    std::lock_guard lock(connection_->mutex);
    const auto& c = *connection_;
    return c.sides[0].status == StreamStatus::Open && c.inputBytes > 0;
}

long OutputStream::write(const uint8_t* buffer, size_t length) {
    auto& c = *connection_;
    std::lock_guard lock(c.mutex);
    auto& s = c.side(false);
    if (s.status == StreamStatus::Opening) return 0;
    if (s.status != StreamStatus::Open) return -1;
    const size_t room = c.output.size() < kMaxOutputBuffered ? kMaxOutputBuffered - c.output.size() : 0;
    const size_t n = std::min(room, length);
    if (n == 0) return 0;
    const bool wasEmpty = c.output.empty();
    c.output.append(reinterpret_cast<const char*>(buffer), n);
    if (wasEmpty) asio::post(IOThread::context(), [self = c.shared_from_this()] { self->startWrite(); });
    return long(n);
}

bool OutputStream::hasSpaceAvailable() const {
    std::lock_guard lock(connection_->mutex);
    const auto& c = *connection_;
    return c.sides[1].status == StreamStatus::Open && c.output.size() < kMaxOutputBuffered;
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
