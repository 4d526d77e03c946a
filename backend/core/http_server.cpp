#include "backend/core/http_server.h"

#include <linux/sockios.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
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
#include <future>
#include <iostream>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include "backend/core/http_util.h"

namespace backend {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace bhttp = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = net::ip::tcp;

// Completion handlers are passed as one of these two types: each
// asynchronous operation is then compiled once per stream type rather than
// once per call site (every lambda is a type of its own). Those copies were
// most of this file's build time.
using Transferred = std::function<void(beast::error_code, std::size_t)>;
using Completed = std::function<void(beast::error_code)>;

namespace {

// No limit on either direction, like Beast's own tcp_stream; it counts the
// reads the stream starts on its socket, so a web socket can tell whether
// Beast took its next message from bytes it already held.
class ReadCounter {
public:
    uint64_t socketReads() const { return reads_; }

private:
    friend class boost::beast::rate_policy_access;
    static constexpr std::size_t kAll = std::numeric_limits<std::size_t>::max();
    std::size_t available_read_bytes() noexcept {
        ++reads_;
        return kAll;
    }
    std::size_t available_write_bytes() const noexcept { return kAll; }
    void transfer_read_bytes(std::size_t) const noexcept {}
    void transfer_write_bytes(std::size_t) const noexcept {}
    void on_timer() const noexcept {}

    uint64_t reads_ = 0;
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

enum class Kind { Http, Https, Ws, Wss };

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

// Something the core can end when stopping; the call may come from any
// thread.
class Closable {
public:
    virtual ~Closable() = default;
    virtual void shutdown() = 0;
};

struct NetworkCore::Impl {
    // Declared before the io_context, so they outlive every handler it
    // destroys.
    CoreLimits limits;
    std::string certPath, keyPath;
    std::atomic<std::size_t> open{0};
    std::atomic<bool> stopping{false};
    std::mutex registryMutex;
    std::condition_variable registryEmpty;
    std::map<uint64_t, std::weak_ptr<Closable>> registry;
    uint64_t nextId = 1;
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
    std::vector<std::thread> threads;
    // Handlers run here, never on an I/O thread.
    std::optional<net::thread_pool> handlers;
    bool started = false;
    bool stopped = false;

    // Holds one connection's place under the cap and in the registry.
    class Slot {
    public:
        Slot() = default;
        explicit Slot(Impl* core) : core_(core) {}
        Slot(Slot&& other) noexcept : core_(std::exchange(other.core_, nullptr)), id_(other.id_) {}
        Slot& operator=(Slot&&) = delete;
        ~Slot() {
            if (!core_) return;
            std::lock_guard lock(core_->registryMutex);
            if (id_) core_->registry.erase(id_);
            if (--core_->open == 0) core_->registryEmpty.notify_all();
        }
        void enroll(const std::shared_ptr<Closable>& closable) {
            std::lock_guard lock(core_->registryMutex);
            if (id_) core_->registry.erase(id_);
            id_ = core_->nextId++;
            core_->registry.emplace(id_, closable);
        }
        Impl* core() const { return core_; }

    private:
        Impl* core_ = nullptr;
        uint64_t id_ = 0;
    };

    void warnDescriptors(const beast::error_code& ec) {
        std::lock_guard lock(warningMutex);
        const auto now = std::chrono::steady_clock::now();
        if (now - lastDescriptorWarning < std::chrono::seconds(5)) return;
        lastDescriptorWarning = now;
        std::cerr << "almavel-backend: cannot accept a connection (" << ec.message()
                  << "); pausing briefly and serving on" << std::endl;
    }

    // Over the cap: closed before anything is read. A plain listener first
    // says why (a 503 that fits in any socket buffer, written without
    // waiting); a TLS one cannot without a handshake, so it just closes.
    void refuseOverCap(Kind kind, tcp::socket& socket) {
        beast::error_code ignored;
        if (kind == Kind::Http || kind == Kind::Ws) {
            static const std::string answer =
                "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nConnection: close\r\n"
                "Content-Length: 37\r\n\r\n{\"error\":\"too many open connections\"}";
            socket.non_blocking(true, ignored);
            socket.write_some(net::buffer(answer), ignored);
            socket.shutdown(tcp::socket::shutdown_send, ignored);
        }
        socket.close(ignored);
        std::lock_guard lock(warningMutex);
        const auto now = std::chrono::steady_clock::now();
        if (now - lastCapWarning < std::chrono::seconds(5)) return;
        lastCapWarning = now;
        std::cerr << "almavel-backend: refusing connections over the cap of " << limits.maxConnections << std::endl;
    }

    void bind(Kind kind, int port);
    void accept(std::size_t index, Kind kind);
    void onAccepted(std::size_t index, Kind kind, tcp::socket socket);
};

namespace {

template <class Stream>
PlainStream& lowest(Stream& stream) {
    return beast::get_lowest_layer(stream);
}

// --- HTTP -----------------------------------------------------------------

template <class Stream>
class HttpSession final : public Closable, public std::enable_shared_from_this<HttpSession<Stream>> {
public:
    HttpSession(NetworkCore::Impl::Slot slot, Stream stream, bool tls, tcp::endpoint local, tcp::endpoint remote)
        : slot_(std::move(slot)),
          core_(*slot_.core()),
          stream_(std::move(stream)),
          tls_(tls),
          local_(std::move(local)),
          remote_(std::move(remote)) {}

    void start() {
        slot_.enroll(this->shared_from_this());
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            lowest(stream_).expires_after(core_.limits.headTimeout);
            stream_.async_handshake(net::ssl::stream_base::server,
                                    Completed([self = this->shared_from_this()](beast::error_code ec) {
                                        if (ec) return self->closeNow();
                                        self->readHead();
                                    }));
        } else {
            readHead();
        }
    }

    void shutdown() override {
        net::post(stream_.get_executor(), [self = this->shared_from_this()] { self->closeNow(); });
    }

private:
    void readHead() {
        if (closed_ || core_.stopping) return closeNow();
        // An idle keep-alive connection keeps no body-sized buffer.
        if (buffer_.size() == 0 && buffer_.capacity() > 16 * 1024) buffer_.shrink_to_fit();
        parser_.emplace();
        parser_->header_limit(std::uint32_t(kMaxHeadBytes));
        parser_->body_limit(core_.limits.maxBodyBytes);
        lowest(stream_).expires_after(core_.limits.headTimeout);
        bhttp::async_read_header(stream_, buffer_, *parser_,
                                 Transferred([self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                                     self->onHead(ec);
                                 }));
    }

    void onHead(beast::error_code ec) {
        if (ec) return failRead(ec);
        if (auto length = parser_->content_length(); length && *length > core_.limits.maxBodyBytes) {
            return answerAndClose(413, true);
        }
        if (parser_->is_done()) return onRequest();
        const auto& head = parser_->get();
        if (beast::iequals(head[bhttp::field::expect], "100-continue")) {
            static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            net::async_write(stream_, net::buffer(kContinue),
                             Transferred([self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                                 if (ec) return self->closeNow();
                                 self->readBody();
                             }));
            return;
        }
        readBody();
    }

    void readBody() {
        lowest(stream_).expires_after(core_.limits.requestTimeout);
        if (auto length = parser_->content_length(); !length || *length > buffer_.capacity()) {
            buffer_.reserve(kBodyReadBytes);
        }
        bhttp::async_read(stream_, buffer_, *parser_,
                          Transferred([self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                              if (ec) return self->failRead(ec);
                              self->onRequest();
                          }));
    }

    void failRead(beast::error_code ec) {
        if (ec == bhttp::error::body_limit) return answerAndClose(413, true);
        if (ec == bhttp::error::header_limit) return answerAndClose(431, false);
        // A request line or header the parser refuses; anything else (the
        // peer gone, a time-out, the server stopping) just ends.
        if (ec.category() == bhttp::make_error_code(bhttp::error::bad_target).category() &&
            ec != bhttp::error::end_of_stream && ec != bhttp::error::partial_message) {
            return answerAndClose(400, false);
        }
        closeNow();
    }

    void onRequest() {
        auto message = parser_->release();
        parser_.reset();
        auto req = std::make_shared<Request>();
        req->method = std::string(message.method_string());
        req->target = std::string(message.target());
        const auto q = req->target.find('?');
        req->path = percentDecode(std::string_view(req->target).substr(0, q), false);
        if (q != std::string::npos) req->params = parseQuery(std::string_view(req->target).substr(q + 1));
        req->version = message.version() == 10 ? "HTTP/1.0" : "HTTP/1.1";
        for (const auto& field : message) {
            std::string name(field.name_string()), value(field.value());
            req->headers.emplace(name, value);
            req->headerList.emplace_back(std::move(name), std::move(value));
        }
        req->body = std::move(message.body());
        req->remote_addr = remote_.address().to_string();
        req->remote_port = remote_.port();
        req->local_addr = local_.address().to_string();
        req->local_port = local_.port();
        req->tls = tls_;
        watch_ = std::make_shared<ConnectionWatch>();
        req->connection = watch_;
        keepAlive_ = message.keep_alive();
        head_ = req->method == "HEAD";
        version_ = message.version();

        lowest(stream_).expires_never();
        handling_ = true;
        startWatch();
        net::post(*core_.handlers, [self = this->shared_from_this(), req] {
            auto res = std::make_shared<Response>();
            try {
                self->core_.dispatch(*req, *res);
            } catch (const std::exception& e) {
                *res = Response{};
                sendError(*res, 500, std::string("internal error: ") + e.what());
            } catch (...) {
                *res = Response{};
                sendError(*res, 500, "internal error");
            }
            net::post(self->stream_.get_executor(), [self, res] { self->onHandled(*res); });
        });
    }

    // Reads on while the handler runs: the bytes are kept for the next
    // request, and the end of the stream tells the handler nobody waits.
    void startWatch() {
        if (closed_ || watching_ || buffer_.size() >= kMaxBufferedWhileHandling) return;
        watching_ = true;
        stream_.async_read_some(buffer_.prepare(16 * 1024),
                                Transferred([self = this->shared_from_this()](beast::error_code ec, std::size_t n) {
                                    self->onWatch(ec, n);
                                }));
    }

    void onWatch(beast::error_code ec, std::size_t n) {
        watching_ = false;
        buffer_.commit(n);
        if (ec && ec != net::error::operation_aborted) {
            peerGone_ = true;
            if (watch_) watch_->markClosed();
        }
        if (closed_) return;
        if (handling_) {
            if (!ec) startWatch();
            return;
        }
        // The answer is still going out: its completion reads on. Reading
        // here as well would put two reads on the stream, and the second
        // would take the next request's body for a request head.
        if (writing_) return;
        // The answer is out and the watch was cancelled to go on.
        if (peerGone_) return closeNow();
        readHead();
    }

    void onHandled(Response& res) {
        handling_ = false;
        if (closed_) return;
        if (peerGone_) return closeNow();
        // Fault injection (http_util.h): no answer, or one cut short.
        if (res.has_header(kCloseWithoutAnswerHeader)) return closeNow();
        const std::uint64_t whole = res.contentLength();
        std::optional<std::uint64_t> cutAfter;
        if (res.has_header(kCutAfterBytesHeader)) {
            cutAfter = std::min<std::uint64_t>(std::strtoull(res.get_header_value(kCutAfterBytesHeader).c_str(), nullptr, 10),
                                               whole);
            res.erase_header(kCutAfterBytesHeader);
        }
        if (res.status < 100 || res.status > 999) res.status = 500;
        auto out = std::make_shared<bhttp::response<bhttp::string_body>>();
        out->version(version_);
        out->result(unsigned(res.status));
        for (const auto& [name, value] : res.headers) {
            if (beast::iequals(name, "Content-Length") || beast::iequals(name, "Transfer-Encoding") ||
                beast::iequals(name, "Connection")) {
                continue;
            }
            out->insert(name, value);
        }
        out->keep_alive(keepAlive_ && !core_.stopping && !cutAfter);
        if (head_) {
            out->content_length(whole);
        } else if (res.file) {
            // The head announces the whole body; the file follows in pieces.
            out->content_length(whole);
            return writeFile(out, res.file, cutAfter.value_or(whole));
        } else if (cutAfter) {
            // The head announces the whole body; the connection closes after the part.
            res.body.resize(std::size_t(*cutAfter));
            out->body() = std::move(res.body);
            out->content_length(whole);
        } else {
            out->body() = std::move(res.body);
            out->prepare_payload();
        }
        write(out);
    }

    void write(const std::shared_ptr<bhttp::response<bhttp::string_body>>& out) {
        lowest(stream_).expires_after(core_.limits.requestTimeout);
        writing_ = true;
        bhttp::async_write(stream_, *out,
                           Transferred([self = this->shared_from_this(), out](beast::error_code ec, std::size_t) {
                               self->written(ec, out->keep_alive());
                           }));
    }

    // Sends the head, then `limit` bytes of the file a piece at a time, each
    // read only once the previous one is out: a slow reader holds one piece.
    void writeFile(const std::shared_ptr<bhttp::response<bhttp::string_body>>& head,
                   std::shared_ptr<const FileBody> file, std::uint64_t limit) {
        lowest(stream_).expires_after(core_.limits.requestTimeout);
        writing_ = true;
        auto serializer = std::make_shared<bhttp::response_serializer<bhttp::string_body>>(*head);
        bhttp::async_write_header(stream_, *serializer,
                                  Transferred([self = this->shared_from_this(), head, serializer, file = std::move(file),
                                   limit](beast::error_code ec, std::size_t) mutable {
                                      if (ec) return self->written(ec, false);
                                      self->writePiece(std::move(file), 0, limit, head->keep_alive());
                                  }));
    }

    void writePiece(std::shared_ptr<const FileBody> file, std::uint64_t sent, std::uint64_t limit, bool keepAlive) {
        if (sent >= limit) return written({}, keepAlive);
        if (!piece_) piece_ = std::make_unique<std::array<char, kFilePieceBytes>>();
        const long n = file->read(sent, piece_->data(), std::size_t(std::min<std::uint64_t>(piece_->size(), limit - sent)));
        // A file that shrank or failed under us cannot give the announced
        // length: the connection ends so the client sees a short body.
        if (n <= 0) return written(net::error::broken_pipe, false);
        lowest(stream_).expires_after(core_.limits.requestTimeout);
        net::async_write(stream_, net::buffer(piece_->data(), std::size_t(n)),
                         Transferred([self = this->shared_from_this(), file = std::move(file), sent, limit, keepAlive](
                             beast::error_code ec, std::size_t n) mutable {
                             if (ec) return self->written(ec, false);
                             self->writePiece(std::move(file), sent + n, limit, keepAlive);
                         }));
    }

    void written(beast::error_code ec, bool keepAlive) {
        writing_ = false;
        piece_.reset();
        if (ec || closed_) return closeNow();
        if (!keepAlive) return closeGracefully();
        if (watching_) {
            // The pending read is the start of the next request; stop
            // it so the parser reads on from the buffer.
            beast::error_code ignored;
            lowest(stream_).socket().cancel(ignored);
            return;
        }
        if (peerGone_) return closeNow();
        readHead();
    }

    // An error the core answers itself; the connection closes after it.
    // With `linger` the rest of the request is read and dropped first, so
    // the client sees the answer rather than a reset.
    void answerAndClose(int status, bool linger) {
        auto out = std::make_shared<bhttp::response<bhttp::string_body>>();
        out->version(11);
        out->result(unsigned(status));
        out->set(bhttp::field::content_type, "application/json");
        out->body() = jsonError(statusText(status));
        out->keep_alive(false);
        out->prepare_payload();
        lowest(stream_).expires_after(core_.limits.requestTimeout);
        bhttp::async_write(stream_, *out,
                           Transferred([self = this->shared_from_this(), out, linger](beast::error_code ec, std::size_t) {
                               if (ec || !linger) return self->closeGracefully();
                               beast::error_code ignored;
                               lowest(self->stream_).socket().shutdown(tcp::socket::shutdown_send, ignored);
                               self->drain();
                           }));
    }

    void drain() {
        lowest(stream_).expires_after(core_.limits.requestTimeout);
        buffer_.consume(buffer_.size());
        lowest(stream_).async_read_some(buffer_.prepare(64 * 1024),
                                        Transferred([self = this->shared_from_this()](beast::error_code ec, std::size_t n) {
                                            if (ec || self->closed_) return self->closeNow();
                                            self->buffer_.commit(n);
                                            self->drain();
                                        }));
    }

    void closeGracefully() {
        beast::error_code ignored;
        lowest(stream_).socket().shutdown(tcp::socket::shutdown_send, ignored);
        closeNow();
    }

    void closeNow() {
        if (closed_) return;
        closed_ = true;
        if (watch_) watch_->markClosed();
        beast::error_code ignored;
        lowest(stream_).socket().shutdown(tcp::socket::shutdown_both, ignored);
        lowest(stream_).close();
    }

    NetworkCore::Impl::Slot slot_;
    NetworkCore::Impl& core_;
    Stream stream_;
    const bool tls_;
    const tcp::endpoint local_, remote_;
    beast::flat_buffer buffer_;
    std::optional<bhttp::request_parser<bhttp::string_body>> parser_;
    std::shared_ptr<ConnectionWatch> watch_;
    std::unique_ptr<std::array<char, kFilePieceBytes>> piece_;
    bool keepAlive_ = true;
    bool head_ = false;
    unsigned version_ = 11;
    bool handling_ = false;
    bool watching_ = false;
    bool writing_ = false;
    bool peerGone_ = false;
    bool closed_ = false;
};

// --- Web sockets -------------------------------------------------------------

// The web-socket session whose callback this thread is running, if any.
thread_local const void* tCallbackSession = nullptr;

class Outlet final : public WebSocketOutlet {
public:
    enum class What { Message, Fragment, Ping, Close, Raw, EndSend };
    struct Item {
        What what = What::Message;
        bool text = true;
        bool fin = true;
        std::string data;
        uint16_t code = 0;
    };

    explicit Outlet(std::size_t limit) : limit_(limit) {}

    bool send(WebSocketSession::Message message) override {
        const bool text = message.text;
        return push(Item{What::Message, text, true, std::move(message.data), 0});
    }
    bool sendFragment(bool text, std::string data, bool fin) override {
        return push(Item{What::Fragment, text, fin, std::move(data), 0});
    }
    bool ping(std::string payload) override { return push(Item{What::Ping, true, true, std::move(payload), 0}); }
    void close(uint16_t code, std::string reason) override {
        std::lock_guard lock(mutex_);
        if (ended_ || closing_) return;
        closing_ = true;
        queue_.push_back(Item{What::Close, true, true, std::move(reason), code});
        wakeLocked();
    }
    void abort() override {
        std::lock_guard lock(mutex_);
        if (ended_) return;
        abort_ = true;
        wakeLocked();
    }
    bool sendRaw(std::string bytes) override { return push(Item{What::Raw, false, true, std::move(bytes), 0}); }
    void endSend() override { push(Item{What::EndSend, false, true, {}, 0}); }
    bool ended() const override {
        std::lock_guard lock(mutex_);
        return ended_;
    }

    // The session's side. `wake` only posts onto the session's strand (it
    // runs with the lock held).
    void attach(std::function<void()> wake) {
        std::lock_guard lock(mutex_);
        if (ended_) return;
        wake_ = std::move(wake);
        wakePending_ = false;
        if (!queue_.empty() || abort_) wakeLocked();
    }
    void detach() {
        std::lock_guard lock(mutex_);
        ended_ = true;
        wake_ = nullptr;
        queue_.clear();
        queued_ = 0;
    }
    void drained() {
        std::lock_guard lock(mutex_);
        wakePending_ = false;
    }
    bool abortRequested() const {
        std::lock_guard lock(mutex_);
        return abort_;
    }
    std::optional<Item> pop() {
        std::lock_guard lock(mutex_);
        if (queue_.empty()) return std::nullopt;
        Item item = std::move(queue_.front());
        queue_.pop_front();
        return item;
    }
    // The whole messages at the front, up to `maxBytes` of them, when two
    // or more wait there.
    std::vector<Item> popMessages(std::size_t maxBytes) {
        std::lock_guard lock(mutex_);
        std::size_t count = 0, bytes = 0;
        for (const Item& item : queue_) {
            if (item.what != What::Message || bytes + item.data.size() > maxBytes) break;
            bytes += item.data.size();
            ++count;
        }
        if (count < 2) return {};
        std::vector<Item> items(std::make_move_iterator(queue_.begin()),
                                std::make_move_iterator(queue_.begin() + std::ptrdiff_t(count)));
        queue_.erase(queue_.begin(), queue_.begin() + std::ptrdiff_t(count));
        return items;
    }
    // Gives back what popMessages took, in its place.
    void unpop(std::vector<Item>& items) {
        std::lock_guard lock(mutex_);
        queue_.insert(queue_.begin(), std::make_move_iterator(items.begin()), std::make_move_iterator(items.end()));
    }
    // Bytes leave the count once written.
    void written(std::size_t bytes) {
        std::lock_guard lock(mutex_);
        queued_ -= std::min(queued_, bytes);
    }

private:
    bool push(Item item) {
        std::lock_guard lock(mutex_);
        if (ended_ || closing_ || abort_) return false;
        if (queued_ + item.data.size() > limit_) {
            // The peer does not read what it is sent; holding more would
            // only grow the queue.
            std::cerr << "almavel-backend: a web socket's unread output passed " << limit_
                      << " bytes; ending the connection" << std::endl;
            abort_ = true;
            wakeLocked();
            return false;
        }
        queued_ += item.data.size();
        queue_.push_back(std::move(item));
        wakeLocked();
        return true;
    }
    void wakeLocked() {
        if (wake_ && !wakePending_) {
            wakePending_ = true;
            wake_();
        }
    }

    const std::size_t limit_;
    mutable std::mutex mutex_;
    std::deque<Item> queue_;
    std::size_t queued_ = 0;
    std::function<void()> wake_;
    bool wakePending_ = false;
    bool ended_ = false;
    bool closing_ = false;
    bool abort_ = false;
};

template <class Stream>
class WsSession final : public WebSocketSession, public Closable, public std::enable_shared_from_this<WsSession<Stream>> {
public:
    WsSession(NetworkCore::Impl::Slot slot, Stream stream, bool tls, const bhttp::request<bhttp::string_body>& request,
              std::string leftover, std::string remote)
        : slot_(std::move(slot)),
          core_(*slot_.core()),
          ws_(std::move(stream)),
          request_(request),
          leftover_(std::move(leftover)),
          outlet_(std::make_shared<Outlet>(core_.limits.webSocketOutputBytes)) {
        tls_ = tls;
        remoteAddress_ = std::move(remote);
        target_ = std::string(request.target());
        const auto q = target_.find('?');
        path_ = target_.substr(0, q);
        if (q != std::string::npos) {
            for (auto& [name, value] : parseQuery(std::string_view(target_).substr(q + 1))) query_[name] = value;
        }
        for (const auto& field : request) {
            headers_.emplace_back(std::string(field.name_string()), std::string(field.value()));
        }
    }

    void enroll() { slot_.enroll(this->shared_from_this()); }

    void shutdown() override {
        net::post(ws_.get_executor(), [self = this->shared_from_this()] { self->finish(); });
    }

    void open(Callbacks callbacks, std::size_t maxMessageBytes) override {
        if (mode_ != Mode::None) return;
        mode_ = Mode::WebSocket;
        callbacks_ = std::move(callbacks);
        lowest(ws_).expires_never();
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = std::chrono::duration_cast<std::chrono::seconds>(
            std::max<std::chrono::milliseconds>(core_.limits.requestTimeout, kCloseWait));
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws_.set_option(timeouts);
        ws_.read_message_max(maxMessageBytes);
        ws_.control_callback([this](websocket::frame_type kind, beast::string_view payload) {
            // Beast answers a ping or a close from its read, which ends only
            // once that answer is written: until then a batch might meet it
            // on the socket.
            if (kind != websocket::frame_type::pong) {
                beastMayBeWriting_ = true;
                return;
            }
            std::lock_guard lock(mutex_);
            pongs_.emplace_back(payload);
        });
        ws_.async_accept(request_, Completed([self = this->shared_from_this()](beast::error_code ec) {
            if (ec) return self->finish();
            // The close handshake waits only a few seconds for the peer.
            websocket::stream_base::timeout timeouts{};
            timeouts.handshake_timeout = kCloseWait;
            timeouts.idle_timeout = websocket::stream_base::none();
            timeouts.keep_alive_pings = false;
            self->ws_.set_option(timeouts);
            self->attachOutlet();
            self->readNext();
        }));
    }

    void openRaw(RawCallbacks callbacks) override {
        if (mode_ != Mode::None) return;
        mode_ = Mode::Raw;
        raw_ = std::move(callbacks);
        lowest(ws_).expires_never();
        attachOutlet();
        if (!leftover_.empty()) {
            net::post(ws_.get_executor(), [self = this->shared_from_this()] {
                if (self->finished_) return;
                std::string bytes = std::exchange(self->leftover_, {});
                self->guard([&] {
                    if (self->raw_.onBytes) self->raw_.onBytes(bytes);
                });
                self->readRaw();
            });
        } else {
            readRaw();
        }
    }

    void reject(int status, const std::string& jsonBody) override {
        if (mode_ != Mode::None) return;
        mode_ = Mode::Rejected;
        auto out = std::make_shared<bhttp::response<bhttp::string_body>>();
        out->version(request_.version());
        out->result(unsigned(status));
        out->set(bhttp::field::content_type, "application/json");
        out->body() = jsonBody;
        out->keep_alive(false);
        out->prepare_payload();
        lowest(ws_).expires_after(core_.limits.requestTimeout);
        bhttp::async_write(ws_.next_layer(), *out,
                           Transferred([self = this->shared_from_this(), out](beast::error_code, std::size_t) {
                               beast::error_code ignored;
                               lowest(self->ws_).socket().shutdown(tcp::socket::shutdown_send, ignored);
                               self->finish();
                           }));
    }

    std::shared_ptr<WebSocketOutlet> outlet() override { return outlet_; }
    uint16_t closeCode() const override { return closeCode_.load(); }
    std::vector<std::string> pongs() const override {
        std::lock_guard lock(mutex_);
        return pongs_;
    }

private:
    enum class Mode { None, WebSocket, Raw, Rejected };

    // Runs a callback. What it queues on the outlet is written when it
    // returns, on this thread, rather than after a post.
    template <class F>
    void guard(F&& f) {
        const void* outer = std::exchange(tCallbackSession, this);
        try {
            f();
        } catch (const std::exception& e) {
            tCallbackSession = outer;
            std::cerr << "almavel-backend: a web-socket handler failed: " << e.what() << std::endl;
            return finish();
        }
        tCallbackSession = outer;
        if (drainDue_) {
            drainDue_ = false;
            drain();
        }
    }

    void attachOutlet() {
        std::weak_ptr<WsSession> weak = this->shared_from_this();
        auto executor = ws_.get_executor();
        outlet_->attach([weak, executor, session = static_cast<const void*>(this)] {
            // From this session's own callback: guard() drains on return.
            if (tCallbackSession == session) {
                if (auto self = weak.lock()) return void(self->drainDue_ = true);
            }
            net::post(executor, [weak] {
                if (auto self = weak.lock()) self->drain();
            });
        });
    }

    void readNext() {
        ws_.async_read(readBuffer_, Transferred([self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) {
                self->closeCode_ = uint16_t(self->ws_.reason().code);
                return self->finish();
            }
            if (self->finished_) return;
            // A read ends after any answer it wrote.
            self->beastMayBeWriting_ = false;
            Message message{self->ws_.got_text(), beast::buffers_to_string(self->readBuffer_.data())};
            self->readBuffer_.consume(self->readBuffer_.size());
            ++self->handled_;
            self->guard([&] {
                if (self->callbacks_.onMessage) self->callbacks_.onMessage(std::move(message));
            });
            if (self->finished_) return;
            self->readOn();
        }));
    }

    // Reads the next message, and runs the idle callback once nothing more
    // has arrived: at once when the socket held no unread bytes and Beast
    // had to go to it for the next message, else after whatever is ready
    // now (Beast holds the messages of a burst it read in one go; a message
    // handled first makes this check moot, and it repeats the check).
    void readOn() {
        if (!callbacks_.onIdle) return readNext();
        bool pending = false;
        beast::error_code ec;
        if (lowest(ws_).socket().available(ec) > 0) pending = true;
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            if (SSL_pending(ws_.next_layer().native_handle()) > 0) pending = true;
        }
        const uint64_t socketReads = lowest(ws_).rate_policy().socketReads();
        readNext();
        if (!pending && lowest(ws_).rate_policy().socketReads() != socketReads) {
            guard([&] { callbacks_.onIdle(); });
            return;
        }
        net::post(ws_.get_executor(), [self = this->shared_from_this(), at = handled_] {
            if (self->finished_ || self->handled_ != at) return;
            self->guard([&] { self->callbacks_.onIdle(); });
        });
    }

    void readRaw() {
        ws_.next_layer().async_read_some(
            net::buffer(rawBuffer_), Transferred([self = this->shared_from_this()](beast::error_code ec, std::size_t n) {
                if (self->finished_) return;
                if (n > 0) {
                    self->guard([&] {
                        if (self->raw_.onBytes) self->raw_.onBytes(std::string_view(self->rawBuffer_.data(), n));
                    });
                }
                if (ec) return self->finish();
                self->readRaw();
            }));
    }

    void drain() {
        outlet_->drained();
        if (finished_) return;
        if (outlet_->abortRequested()) return finish();
        if (writing_ || closeSent_) return;
        if constexpr (std::is_same_v<Stream, PlainStream>) {
            while (writeBatch()) {
                if (finished_) return;
            }
        }
        auto item = outlet_->pop();
        if (!item) return;
        writing_ = true;
        current_ = std::move(*item);
        const Transferred done = [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
            self->writing_ = false;
            self->outlet_->written(self->current_.data.size());
            if (ec) return self->finish();
            self->drain();
        };
        switch (current_.what) {
        case Outlet::What::Message:
            ws_.text(current_.text);
            ws_.async_write(net::buffer(current_.data), done);
            break;
        case Outlet::What::Fragment:
            if (!midMessage_) ws_.text(current_.text);
            midMessage_ = !current_.fin;
            ws_.async_write_some(current_.fin, net::buffer(current_.data), done);
            break;
        case Outlet::What::Ping: {
            const std::string payload = current_.data.substr(0, 125);
            ws_.async_ping(websocket::ping_data(payload.data(), payload.size()),
                           Completed([done](beast::error_code ec) { done(ec, 0); }));
            break;
        }
        case Outlet::What::Close:
            closeSent_ = true;
            if (mode_ != Mode::WebSocket) return finish();
            ws_.async_close(websocket::close_reason(websocket::close_code(current_.code),
                                                    beast::string_view(current_.data.data(), current_.data.size())),
                            Completed([self = this->shared_from_this()](beast::error_code ec) {
                                self->writing_ = false;
                                // The pending read ends with the peer's answer.
                                if (ec) self->finish();
                            }));
            break;
        case Outlet::What::Raw:
            net::async_write(ws_.next_layer(), net::buffer(current_.data), done);
            break;
        case Outlet::What::EndSend: {
            beast::error_code ignored;
            lowest(ws_).socket().shutdown(tcp::socket::shutdown_send, ignored);
            writing_ = false;
            net::post(ws_.get_executor(), [self = this->shared_from_this()] { self->drain(); });
            break;
        }
        }
    }

    // Several queued messages go to the socket in one call, framed here (a
    // server's frames are unmasked and no extension is offered), instead of
    // one Beast write and its completion each: the peer reads the same
    // frames. Only between Beast's own writes: none of this session's is
    // under way when drain() runs, and Beast answers pings and closes from
    // its read, which must have ended since. With no unsent bytes in the
    // socket the kernel takes a batch this small whole, or refuses all of it
    // when the send room is full (the messages then go through Beast); one
    // taken in part, short of memory for sockets, is finished here, waiting
    // on the socket, so that nothing comes between its frames. False when
    // nothing was written.
    bool writeBatch() {
        if (mode_ != Mode::WebSocket || midMessage_ || beastMayBeWriting_ || !ws_.is_open()) return false;
        const int fd = lowest(ws_).socket().native_handle();
        int unsent = 0;
        if (::ioctl(fd, SIOCOUTQNSD, &unsent) != 0 || unsent != 0) return false;
        std::vector<Outlet::Item> items = outlet_->popMessages(kBatchBytes);
        if (items.empty()) return false;
        std::size_t payload = 0;
        for (const Outlet::Item& item : items) payload += item.data.size();
        std::string frames;
        frames.reserve(payload + 4 * items.size());
        for (const Outlet::Item& item : items) appendFrame(frames, item.text, item.data);
        std::size_t sent = 0;
        while (sent < frames.size()) {
            const ssize_t n = ::send(fd, frames.data() + sent, frames.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                sent += std::size_t(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (sent == 0) {
                    outlet_->unpop(items);
                    return false;
                }
                pollfd out{fd, POLLOUT, 0};
                if (::poll(&out, 1, int(std::chrono::milliseconds(kCloseWait).count())) > 0) continue;
            }
            finish();
            return true;
        }
        outlet_->written(payload);
        return true;
    }

    // One final frame of a message, unmasked; a batch holds no payload
    // longer than a 16-bit length.
    static void appendFrame(std::string& out, bool text, const std::string& data) {
        static_assert(kBatchBytes <= 0xffff);
        out += char(0x80 | (text ? 0x1 : 0x2));
        const std::size_t size = data.size();
        if (size < 126) {
            out += char(size);
        } else {
            out += char(126);
            out += char(size >> 8);
            out += char(size & 0xff);
        }
        out += data;
    }

    // The connection is over: nothing more is read or written.
    void finish() {
        if (finished_) return;
        finished_ = true;
        if (!closeCode_) closeCode_ = uint16_t(ws_.reason().code);
        outlet_->detach();
        beast::error_code ignored;
        lowest(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
        lowest(ws_).close();
        auto onEnd = mode_ == Mode::Raw ? std::move(raw_.onEnd) : std::move(callbacks_.onEnd);
        // Dropped here: the callbacks may hold what holds the outlet.
        callbacks_ = {};
        raw_ = {};
        if (onEnd) {
            try {
                onEnd();
            } catch (const std::exception& e) {
                std::cerr << "almavel-backend: a web-socket end handler failed: " << e.what() << std::endl;
            }
        }
    }

    NetworkCore::Impl::Slot slot_;
    NetworkCore::Impl& core_;
    websocket::stream<Stream> ws_;
    bhttp::request<bhttp::string_body> request_;
    std::string leftover_;
    std::shared_ptr<Outlet> outlet_;
    Mode mode_ = Mode::None;
    Callbacks callbacks_;
    RawCallbacks raw_;
    beast::flat_buffer readBuffer_;
    std::array<char, 16 * 1024> rawBuffer_{};
    Outlet::Item current_;
    uint64_t handled_ = 0;
    bool drainDue_ = false;
    bool writing_ = false;
    bool closeSent_ = false;
    bool finished_ = false;
    bool midMessage_ = false;
    bool beastMayBeWriting_ = false;
    std::atomic<uint16_t> closeCode_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> pongs_;
};

// Reads the upgrade request of a ws/wss connection and hands it on.
template <class Stream>
class UpgradeReader final : public Closable, public std::enable_shared_from_this<UpgradeReader<Stream>> {
public:
    UpgradeReader(NetworkCore::Impl::Slot slot, Stream stream, bool tls, std::string remote)
        : slot_(std::move(slot)), core_(*slot_.core()), stream_(std::move(stream)), tls_(tls), remote_(std::move(remote)) {}

    void start() {
        slot_.enroll(this->shared_from_this());
        lowest(stream_).expires_after(core_.limits.headTimeout);
        if constexpr (std::is_same_v<Stream, TlsStream>) {
            stream_.async_handshake(net::ssl::stream_base::server,
                                    Completed([self = this->shared_from_this()](beast::error_code ec) {
                                        if (ec) return self->close();
                                        self->read();
                                    }));
        } else {
            read();
        }
    }

    void shutdown() override {
        net::post(stream_.get_executor(), [self = this->shared_from_this()] { self->close(); });
    }

private:
    void read() {
        parser_.header_limit(std::uint32_t(kMaxHeadBytes));
        parser_.body_limit(kMaxHeadBytes);
        bhttp::async_read(stream_, buffer_, parser_,
                          Transferred([self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                              if (ec || self->closed_) return self->close();
                              self->route();
                          }));
    }

    void route() {
        auto request = parser_.release();
        const std::string target(request.target());
        const auto handler = core_.webSockets ? core_.webSockets->find(target.substr(0, target.find('?')))
                                              : std::optional<WebSocketHandler>();
        const auto host = request[bhttp::field::host];
        const bool foreignHost =
            !isServedHost(std::string_view(host.data(), host.size())) || request.count(bhttp::field::host) > 1;
        if (!handler || !websocket::is_upgrade(request) || core_.stopping || foreignHost) {
            auto out = std::make_shared<bhttp::response<bhttp::string_body>>();
            out->version(request.version());
            out->result(core_.stopping ? bhttp::status::service_unavailable
                        : foreignHost  ? bhttp::status::forbidden
                        : handler      ? bhttp::status::bad_request
                                       : bhttp::status::not_found);
            out->set(bhttp::field::content_type, "application/json");
            out->body() = core_.stopping ? jsonError("the server is stopping")
                          : foreignHost  ? jsonError("this server does not answer for that host name")
                          : handler      ? jsonError("this endpoint speaks only web socket")
                                         : jsonError("no web-socket endpoint at this path");
            out->keep_alive(false);
            out->prepare_payload();
            bhttp::async_write(stream_, *out,
                               Transferred([self = this->shared_from_this(), out](beast::error_code, std::size_t) {
                                   beast::error_code ignored;
                                   lowest(self->stream_).socket().shutdown(tcp::socket::shutdown_send, ignored);
                                   self->close();
                               }));
            return;
        }
        std::string leftover = beast::buffers_to_string(buffer_.data());
        // The session takes over the connection (and its place under the
        // cap); this reader ends here.
        auto session = std::make_shared<WsSession<Stream>>(std::move(slot_), std::move(stream_), tls_, request,
                                                           std::move(leftover), remote_);
        handedOver_ = true;
        session->enroll();
        try {
            (*handler)(session);
        } catch (const std::exception& e) {
            std::cerr << "almavel-backend: a web-socket route failed: " << e.what() << std::endl;
            session->reject(500, jsonError(std::string("internal error: ") + e.what()));
        }
    }

    void close() {
        if (closed_ || handedOver_) return;
        closed_ = true;
        beast::error_code ignored;
        lowest(stream_).socket().shutdown(tcp::socket::shutdown_both, ignored);
        lowest(stream_).close();
    }

    NetworkCore::Impl::Slot slot_;
    NetworkCore::Impl& core_;
    Stream stream_;
    const bool tls_;
    const std::string remote_;
    beast::flat_buffer buffer_;
    bhttp::request_parser<bhttp::string_body> parser_;
    bool closed_ = false;
    bool handedOver_ = false;
};

}  // namespace

// --- listeners ---------------------------------------------------------------

void NetworkCore::Impl::bind(Kind kind, int port) {
    auto acceptor = std::make_unique<tcp::acceptor>(net::make_strand(*ios.front()));
    beast::error_code ec;
    const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), uint16_t(port));
    acceptor->open(endpoint.protocol(), ec);
    // SO_REUSEADDR (not SO_REUSEPORT): a quick restart on the ports of a
    // stopped back end, but never two back ends on one port.
    if (!ec) acceptor->set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) acceptor->bind(endpoint, ec);
    if (!ec) acceptor->listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        throw std::runtime_error(std::string("cannot listen on 127.0.0.1:") + std::to_string(port) + " for " +
                                 kindName(kind) + ": " + ec.message());
    }
    ports[int(kind)] = acceptor->local_endpoint().port();
    pauses.push_back(std::make_unique<net::steady_timer>(acceptor->get_executor()));
    acceptors.push_back(std::move(acceptor));
}

void NetworkCore::Impl::accept(std::size_t index, Kind kind) {
    if (stopping) return;
    net::io_context& io = *ios[nextIo++ % ios.size()];
    acceptors[index]->async_accept(net::make_strand(io), [this, index, kind](beast::error_code ec, tcp::socket socket) {
        if (stopping || ec == net::error::operation_aborted) return;
        if (ec) {
            if (ec == net::error::no_descriptors || ec == std::errc::too_many_files_open_in_system ||
                ec == net::error::no_buffer_space || ec == net::error::no_memory) {
                warnDescriptors(ec);
                auto& timer = *pauses[index];
                timer.expires_after(std::chrono::milliseconds(100));
                timer.async_wait([this, index, kind](beast::error_code ec) {
                    if (!ec) accept(index, kind);
                });
                return;
            }
            return accept(index, kind);
        }
        onAccepted(index, kind, std::move(socket));
        accept(index, kind);
    });
}

void NetworkCore::Impl::onAccepted(std::size_t, Kind kind, tcp::socket socket) {
    {
        std::lock_guard lock(registryMutex);
        if (open >= limits.maxConnections) {
            refuseOverCap(kind, socket);
            return;
        }
        ++open;
    }
    Slot slot(this);
    beast::error_code ec;
    socket.set_option(tcp::no_delay(true), ec);
    const auto local = socket.local_endpoint(ec);
    const auto remote = socket.remote_endpoint(ec);
    if (ec) return;  // the peer is already gone
    switch (kind) {
    case Kind::Http:
        std::make_shared<HttpSession<PlainStream>>(std::move(slot), PlainStream(std::move(socket)), false, local, remote)
            ->start();
        break;
    case Kind::Https:
        std::make_shared<HttpSession<TlsStream>>(std::move(slot), TlsStream(std::move(socket), ssl), true, local, remote)
            ->start();
        break;
    case Kind::Ws:
        std::make_shared<UpgradeReader<PlainStream>>(std::move(slot), PlainStream(std::move(socket)), false,
                                                     remote.address().to_string())
            ->start();
        break;
    case Kind::Wss:
        std::make_shared<UpgradeReader<TlsStream>>(std::move(slot), TlsStream(std::move(socket), ssl), true,
                                                   remote.address().to_string())
            ->start();
        break;
    }
}

NetworkCore::NetworkCore(CoreLimits limits, std::string certPath, std::string keyPath)
    : impl_(std::make_shared<Impl>()) {
    impl_->limits = limits;
    impl_->certPath = std::move(certPath);
    impl_->keyPath = std::move(keyPath);
}

NetworkCore::~NetworkCore() { stop(); }

void NetworkCore::start(int httpPort, int httpsPort, int wsPort, int wssPort, HttpDispatch dispatch,
                        std::shared_ptr<WebSocketRouter> webSockets) {
    Impl& core = *impl_;
    if (core.started) throw std::logic_error("the network core is already started");
    beast::error_code ec;
    core.ssl.set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                         net::ssl::context::no_sslv3);
    core.ssl.use_certificate_chain_file(core.certPath, ec);
    if (!ec) core.ssl.use_private_key_file(core.keyPath, net::ssl::context::pem, ec);
    if (ec) throw std::runtime_error("cannot use the certificate " + core.certPath + " with the key " + core.keyPath);
    core.dispatch = std::move(dispatch);
    core.webSockets = std::move(webSockets);
    unsigned threads = core.limits.ioThreads;
    if (threads == 0) threads = std::clamp(std::thread::hardware_concurrency(), 1u, 4u);
    for (unsigned i = 0; i < threads; ++i) core.ios.push_back(std::make_unique<net::io_context>(1));
    core.bind(Kind::Http, httpPort);
    core.bind(Kind::Https, httpsPort);
    core.bind(Kind::Ws, wsPort);
    core.bind(Kind::Wss, wssPort);
    core.started = true;
    core.handlers.emplace(std::max(1u, core.limits.handlerThreads));
    for (auto& io : core.ios) core.work.push_back(net::make_work_guard(*io));
    for (std::size_t i = 0; i < core.acceptors.size(); ++i) core.accept(i, Kind(i));
    for (auto& context : core.ios) {
        core.threads.emplace_back([io = context.get()] {
            for (;;) {
                try {
                    io->run();
                    return;
                } catch (const std::exception& e) {
                    // A handler's failure must not end the server.
                    std::cerr << "almavel-backend: an I/O handler failed: " << e.what() << std::endl;
                }
            }
        });
    }
}

void NetworkCore::stop() {
    Impl& core = *impl_;
    if (!core.started || core.stopped) return;
    core.stopped = true;
    core.stopping = true;
    // Acceptors are closed on their own strands, where their accepts run.
    for (std::size_t i = 0; i < core.acceptors.size(); ++i) {
        auto* a = core.acceptors[i].get();
        auto* pause = core.pauses[i].get();
        std::promise<void> closed;
        auto done = closed.get_future();
        net::post(a->get_executor(), [a, pause, &closed] {
            beast::error_code ignored;
            a->close(ignored);
            pause->cancel();
            closed.set_value();
        });
        done.wait();
    }
    std::vector<std::shared_ptr<Closable>> open;
    {
        std::lock_guard lock(core.registryMutex);
        for (auto& [id, weak] : core.registry) {
            if (auto closable = weak.lock()) open.push_back(std::move(closable));
        }
    }
    for (auto& closable : open) closable->shutdown();
    open.clear();
    // Handlers still running finish (services have ended their long waits);
    // their answers find closed connections.
    core.handlers->join();
    core.work.clear();
    {
        std::unique_lock lock(core.registryMutex);
        core.registryEmpty.wait_for(lock, std::chrono::seconds(10), [&] { return core.open == 0; });
    }
    for (auto& io : core.ios) io->stop();
    for (auto& thread : core.threads) thread.join();
    core.threads.clear();
}

int NetworkCore::httpPort() const { return impl_->ports[int(Kind::Http)]; }
int NetworkCore::httpsPort() const { return impl_->ports[int(Kind::Https)]; }
int NetworkCore::wsPort() const { return impl_->ports[int(Kind::Ws)]; }
int NetworkCore::wssPort() const { return impl_->ports[int(Kind::Wss)]; }
std::size_t NetworkCore::openConnections() const { return impl_->open.load(); }

}  // namespace backend
