#pragma once
// What every connection of the network core shares: the stream types, the
// limits each connection reads under, the listener kinds, and the core's own
// state (NetworkCore::Impl: I/O contexts, acceptors, handler pool, and the
// registry of open connections it ends when stopping).
// Private to backend/core/http_server.cpp, the one unit that includes it
// (Boost.Beast is parsed there only): its anonymous namespace keeps these
// classes to that unit.

#include <openssl/ssl.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include "backend/core/http_server.h"

namespace backend {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = net::ip::tcp;

// Completion handlers are passed as one of these two types: each
// asynchronous operation is then compiled once per stream type rather than
// once per call site (every lambda is a type of its own). Those copies were
// most of the network core's build time.
using Transferred = std::function<void(beast::error_code, std::size_t)>;
using Completed = std::function<void(beast::error_code)>;

// The listeners, in the order they are bound.
enum class Kind { Http, Https, Ws, Wss };

// The clock a connection's silence is measured on: the steady clock, which
// tests move forward (NetworkCore::advanceClock) instead of waiting out an
// idle limit. Any thread may read it.
class CoreClock {
public:
    int64_t nowMs() const {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        return std::chrono::duration_cast<std::chrono::milliseconds>(now).count() + aheadMs_.load();
    }
    // How far it now is ahead of the steady clock.
    int64_t advance(int64_t ms) { return aheadMs_ += ms; }

private:
    std::atomic<int64_t> aheadMs_{0};
};

namespace {

// No limit on either direction, like Beast's own tcp_stream; it counts the
// reads the stream starts on its socket, so a web socket can tell whether
// Beast took its next message from bytes it already held, and stamps when
// the peer was last heard from: any bytes at all, a frame only begun or a
// TLS record included.
class ReadCounter {
public:
    uint64_t socketReads() const { return reads_; }
    // `heard` takes the clock's time of every read that brought bytes; it
    // must outlive the stream.
    void stampReadsOn(const CoreClock& clock, std::atomic<int64_t>& heard) {
        clock_ = &clock;
        heard_ = &heard;
    }

private:
    friend class boost::beast::rate_policy_access;
    static constexpr std::size_t kAll = std::numeric_limits<std::size_t>::max();
    std::size_t available_read_bytes() noexcept {
        ++reads_;
        return kAll;
    }
    std::size_t available_write_bytes() const noexcept { return kAll; }
    void transfer_read_bytes(std::size_t n) noexcept {
        if (n > 0 && heard_) heard_->store(clock_->nowMs(), std::memory_order_relaxed);
    }
    void transfer_write_bytes(std::size_t) const noexcept {}
    void on_timer() const noexcept {}

    uint64_t reads_ = 0;
    const CoreClock* clock_ = nullptr;
    std::atomic<int64_t>* heard_ = nullptr;
};

using PlainStream = beast::basic_stream<tcp, beast::tcp_stream::executor_type, ReadCounter>;
using TlsStream = beast::ssl_stream<PlainStream>;

// Request heads (and upgrade requests) larger than this are refused.
constexpr std::size_t kMaxHeadBytes = 64 * 1024;
// While a handler runs the connection keeps reading, to notice the peer
// hanging up; pipelined bytes are kept up to this much.
constexpr std::size_t kMaxBufferedWhileHandling = 64 * 1024;
// File bodies go out in pieces of this size.
constexpr std::size_t kFilePieceBytes = 64 * 1024;
// Beast reads no more than its buffer's free room at a time, and a buffer
// sized by a request head took a large body a few KB per read (each with a
// timer reset and a wake-up): bodies are read this much at a time.
constexpr std::size_t kBodyReadBytes = 64 * 1024;
// How long a web socket waits for the peer's answer to its close frame.
constexpr auto kCloseWait = std::chrono::seconds(5);
// Queued messages a web socket writes to its socket in one call, framed by
// itself, at most this much at a time.
constexpr std::size_t kBatchBytes = 16 * 1024;

const char* kindName(Kind kind) {
    switch (kind) {
    case Kind::Http: return "http";
    case Kind::Https: return "https";
    case Kind::Ws: return "ws";
    case Kind::Wss: return "wss";
    }
    return "?";
}

std::string jsonError(const std::string& message) { return nlohmann::json{{"error", message}}.dump(); }

}  // namespace

// Something the core can end when stopping; the calls may come from any
// thread.
class Closable {
public:
    virtual ~Closable() = default;
    virtual void shutdown() = 0;
    // The peer has been quiet for a while: a web socket asks it for a pong
    // (a live client answers; a gone one stays quiet until it is closed).
    virtual void pingIdle() {}
};

struct NetworkCore::Impl {
    // One connection, listed from its accept until it ends.
    struct Entry {
        std::weak_ptr<Closable> closable;  // set once the connection starts
        Kind kind = Kind::Http;
        // When the peer last sent bytes (the core clock's ms); an HTTP
        // connection also counts from when its last answer went out.
        std::atomic<int64_t> heard{0};
        // An HTTP request is being answered: the peer waits for the server
        // and is not the silent one.
        std::atomic<bool> busy{false};
        // The rest under registryMutex.
        bool webSocket = false;
        // Holds a place under its listener's share; no longer once it has
        // been closed as idle or to make room (it stays listed until it
        // ends, so that stop() still reaches it).
        bool placed = true;
        // The `heard` after which the peer was pinged.
        int64_t pingedAfter = -1;
    };

    // Declared before the io_context, so they outlive every handler it
    // destroys.
    CoreLimits limits;
    std::string certPath, keyPath;
    CoreClock clock;
    // Connections not yet ended, placed or not.
    std::atomic<std::size_t> open{0};
    std::atomic<bool> stopping{false};
    std::mutex registryMutex;
    std::condition_variable registryEmpty;
    std::map<uint64_t, Entry> registry;
    uint64_t nextId = 1;
    // Places taken per listener (Kind), under registryMutex.
    std::size_t placed[4] = {0, 0, 0, 0};
    // No placed connection can have been silent past the idle limit before
    // this (the core clock's ms): refusals under a flood skip the search.
    int64_t noneIdleBefore = 0;
    HttpDispatch dispatch;
    std::shared_ptr<WebSocketRouter> webSockets;
    std::atomic<int> ports[4] = {0, 0, 0, 0};
    std::chrono::steady_clock::time_point lastDescriptorWarning{};
    std::chrono::steady_clock::time_point lastCapWarning{};
    std::mutex warningMutex;

    // One context per I/O thread, each connection on one of them: with
    // several threads on one context, every completion woke the idle ones
    // in turn to look for more work, a handful of context switches per
    // message where one does. The listeners live on the first.
    std::vector<std::unique_ptr<net::io_context>> ios;
    std::atomic<std::size_t> nextIo{0};
    net::ssl::context ssl{net::ssl::context::tls_server};
    std::vector<net::executor_work_guard<net::io_context::executor_type>> work;
    std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
    // Each acceptor's pause after running out of descriptors (on its strand).
    std::vector<std::unique_ptr<net::steady_timer>> pauses;
    // Runs the idle sweep every second (on a strand of the first context).
    std::unique_ptr<net::steady_timer> sweeper;
    std::vector<std::thread> threads;
    // Handlers run here, never on an I/O thread.
    std::optional<net::thread_pool> handlers;
    bool started = false;
    bool stopped = false;

    // Holds one connection's entry, and its place until it is given up.
    class Slot {
    public:
        Slot() = default;
        Slot(Impl* core, uint64_t id, Entry* entry) : core_(core), id_(id), entry_(entry) {}
        Slot(Slot&& other) noexcept
            : core_(std::exchange(other.core_, nullptr)), id_(other.id_), entry_(other.entry_) {}
        Slot& operator=(Slot&&) = delete;
        ~Slot() {
            if (!core_) return;
            std::lock_guard lock(core_->registryMutex);
            core_->unplace(*entry_);
            core_->registry.erase(id_);
            if (--core_->open == 0) core_->registryEmpty.notify_all();
        }
        void enroll(const std::shared_ptr<Closable>& closable, bool webSocket = false) {
            std::lock_guard lock(core_->registryMutex);
            entry_->closable = closable;
            entry_->webSocket = webSocket;
        }
        // Stamps the entry with every read of the connection's stream that
        // brings bytes; the slot must outlive the stream (a connection
        // declares it first).
        void watch(ReadCounter& reads) { reads.stampReadsOn(core_->clock, entry_->heard); }
        // While busy, the connection is not taken for a silent one; once
        // not, its silence counts from now.
        void setBusy(bool busy) {
            if (!busy) entry_->heard.store(core_->clock.nowMs());
            entry_->busy.store(busy);
        }
        Impl* core() const { return core_; }

    private:
        Impl* core_ = nullptr;
        uint64_t id_ = 0;
        Entry* entry_ = nullptr;
    };

    // Each listener keeps an eighth of the cap for itself and the other
    // half is shared: a flood on one listener takes five eighths at most,
    // and every other listener still takes its own.
    std::size_t ownShare() const { return limits.maxConnections / 8; }
    int64_t idleLimitMs() const { return limits.webSocketIdleLimit.count(); }

    // registryMutex held, here and in quietest.
    bool roomFor(Kind kind) const {
        const std::size_t own = ownShare();
        if (placed[int(kind)] < own) return true;
        std::size_t shared = 0;
        for (std::size_t n : placed) shared += n > own ? n - own : 0;
        return shared < limits.maxConnections - 4 * own;
    }

    void unplace(Entry& entry) {
        if (!entry.placed) return;
        entry.placed = false;
        --placed[int(entry.kind)];
    }

    // The connection silent longest, once past the idle limit, whose place
    // would let one of `kind` in; null when there is none.
    Entry* quietest(Kind kind, int64_t now);
    // A place on `kind`'s listener: its share or the shared half, or else
    // the place of the connection silent longest past the idle limit,
    // which is closed. Nothing when there is none. Takes registryMutex.
    std::optional<Slot> admit(Kind kind);
    // Web sockets quiet for half the idle limit are pinged, those quiet past
    // it closed. Any thread: every second, and whenever the clock moves.
    // Takes registryMutex.
    void sweep();

    void warnDescriptors(const beast::error_code& ec) {
        std::lock_guard lock(warningMutex);
        const auto now = std::chrono::steady_clock::now();
        if (now - lastDescriptorWarning < std::chrono::seconds(5)) return;
        lastDescriptorWarning = now;
        std::cerr << "almavel-backend: cannot accept a connection (" << ec.message()
                  << "); pausing briefly and serving on" << std::endl;
    }

    // No room on its listener: closed before anything is read. A plain
    // listener first says why (a 503 that fits in any socket buffer,
    // written without waiting); a TLS one cannot without a handshake, so it
    // just closes.
    void refuseOverCap(Kind kind, tcp::socket& socket) {
        beast::error_code ignored;
        if (kind == Kind::Http || kind == Kind::Ws) {
            static constexpr std::string_view kAnswer =
                "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nConnection: close\r\n"
                "Content-Length: 37\r\n\r\n{\"error\":\"too many open connections\"}";
            socket.non_blocking(true, ignored);
            socket.write_some(net::buffer(kAnswer), ignored);
            socket.shutdown(tcp::socket::shutdown_send, ignored);
        }
        socket.close(ignored);
        std::lock_guard lock(warningMutex);
        const auto now = std::chrono::steady_clock::now();
        if (now - lastCapWarning < std::chrono::seconds(5)) return;
        lastCapWarning = now;
        std::cerr << "almavel-backend: refusing " << kindName(kind) << " connections over its share of the cap of "
                  << limits.maxConnections << std::endl;
    }

    void bind(Kind kind, int port);
    void accept(std::size_t index, Kind kind);
    void scheduleSweep();
    void onAccepted(std::size_t index, Kind kind, tcp::socket socket);
};

namespace {

template <class Stream>
PlainStream& lowest(Stream& stream) {
    return beast::get_lowest_layer(stream);
}

// A connection's first step: on a TLS stream the handshake, under the head
// time-out, then `next`, or `fail` when the handshake fails; on a plain
// stream `next` at once.
template <class Stream, class Connection>
void handshakeThen(Stream& stream, std::shared_ptr<Connection> self, std::chrono::milliseconds timeout,
                   void (Connection::*next)(), void (Connection::*fail)()) {
    if constexpr (std::is_same_v<Stream, TlsStream>) {
        lowest(stream).expires_after(timeout);
        stream.async_handshake(net::ssl::stream_base::server,
                               Completed([self = std::move(self), next, fail](beast::error_code ec) {
                                   ((*self).*(ec ? fail : next))();
                               }));
    } else {
        ((*self).*next)();
    }
}

// Ends a connection's socket both ways and closes it; errors are moot, the
// connection is going either way.
template <class Stream>
void shutdownAndClose(Stream& stream) {
    beast::error_code ignored;
    lowest(stream).socket().shutdown(tcp::socket::shutdown_both, ignored);
    lowest(stream).close();
}

// Runs `close` on the connection's own executor, whichever thread asks: a
// shutdown comes from the core's stop, off the connection's strand.
template <class Stream, class Connection>
void closeOnExecutor(Stream& stream, std::shared_ptr<Connection> self, void (Connection::*close)()) {
    net::post(stream.get_executor(), [self = std::move(self), close] { ((*self).*close)(); });
}

}  // namespace

}  // namespace backend
