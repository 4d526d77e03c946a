#include "app/WebServer.h"

#include <array>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "platform/no_destructor.h"
#include "platform/text.h"

namespace almavel {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

// Request heads larger than this are refused.
constexpr std::uint32_t kMaxHeadBytes = 64 * 1024;
// After running out of descriptors the listener waits this long before
// accepting again, rather than spinning on the error.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);
constexpr auto kWarningInterval = std::chrono::seconds(5);

// In Spanish, as the page that shows it speaks the phone's language.
std::string errorBody(std::string_view message) {
    return nlohmann::json{{"ok", false}, {"error", message}}.dump();
}

// Compared by value and category only: this runs when no descriptor is
// left, where nothing should need one (nor a virtual call that a
// sanitizer checks through a pipe).
bool outOfDescriptors(const beast::error_code& ec) {
    if (ec.category() != net::error::get_system_category()) return false;
    const int value = ec.value();
    return value == EMFILE || value == ENFILE || value == ENOBUFS || value == ENOMEM;
}

class Connection;

}  // namespace

bool WebServer::isLoopbackHost(std::string_view host, int port) {
    std::string_view name = host;
    std::string_view rest;
    if (!host.empty() && host.front() == '[') {
        const auto close = host.find(']');
        if (close == std::string_view::npos) return false;
        name = host.substr(0, close + 1);
        rest = host.substr(close + 1);
    } else if (const auto colon = host.find(':'); colon != std::string_view::npos) {
        name = host.substr(0, colon);
        rest = host.substr(colon);
    }
    if (!rest.empty() && rest != ":" + std::to_string(port)) return false;
    return name == "127.0.0.1" || ns::equalsIgnoringASCIICase(name, "localhost") || name == "[::1]";
}

struct WebServer::Core : std::enable_shared_from_this<WebServer::Core> {
    Core(WebServerLimits l, Handler h, std::string path, EventFeed f)
        : limits(l), handler(std::move(h)), eventsPath(std::move(path)), feed(std::move(f)) {}

    // Declared before the io_context: connections it destroys with their
    // pending handlers still give their places back here.
    const WebServerLimits limits;
    const Handler handler;
    const std::string eventsPath;
    const EventFeed feed;
    std::atomic<bool> stopping{false};
    std::atomic<int> port{0};
    mutable std::mutex registryMutex;
    std::condition_variable registryEmpty;
    std::map<uint64_t, std::weak_ptr<Connection>> registry;
    std::size_t open = 0;
    uint64_t nextId = 1;
    std::mutex warningMutex;
    std::chrono::steady_clock::time_point lastWarning{};

    // One I/O thread runs every handler, so a connection's handlers never
    // run at the same time and need no strand.
    net::io_context io{1};
    std::optional<net::executor_work_guard<net::io_context::executor_type>> work;
    std::unique_ptr<tcp::acceptor> acceptor;
    std::unique_ptr<net::steady_timer> pause;
    std::thread thread;
    bool started = false;
    bool stopped = false;

    void warn(const std::string& what) {
        std::lock_guard lock(warningMutex);
        const auto now = std::chrono::steady_clock::now();
        if (now - lastWarning < kWarningInterval) return;
        lastWarning = now;
        std::fprintf(stderr, "almavel: %s\n", what.c_str());
    }

    void release(uint64_t id) {
        std::lock_guard lock(registryMutex);
        registry.erase(id);
        if (--open == 0) registryEmpty.notify_all();
    }

    std::vector<std::shared_ptr<Connection>> connections();
    void accept();
    void onAccepted(tcp::socket socket);
    void refuse(tcp::socket& socket);
};

namespace {

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(WebServer::Core& core, uint64_t id, tcp::socket socket)
        : core_(core), id_(id), stream_(std::move(socket)), answerTimer_(core.io), keepAliveTimer_(core.io) {}
    ~Connection() { core_.release(id_); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void start() { readHead(); }
    // I/O thread.
    void close() { closeNow(); }
    bool listening() const { return listening_; }
    // Any thread: looks at the event feed soon, once however often woken.
    void wake() {
        if (wakePending_.exchange(true)) return;
        net::post(core_.io, [self = shared_from_this()] {
            self->wakePending_ = false;
            self->pushEvent(false);
        });
    }

private:
    void readHead() {
        if (closed_) return;
        if (core_.stopping) return closeNow();
        // An idle keep-alive connection keeps no body-sized buffer.
        if (buffer_.size() == 0 && buffer_.capacity() > 16 * 1024) buffer_.shrink_to_fit();
        parser_.emplace();
        parser_->header_limit(kMaxHeadBytes);
        parser_->body_limit(core_.limits.maxBodyBytes);
        stream_.expires_after(core_.limits.ioTimeout);
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onHead(ec); });
    }

    void onHead(beast::error_code ec) {
        if (ec) return failRead(ec);
        const auto& head = parser_->get();
        version_ = head.version();
        keepAlive_ = head.keep_alive();
        // A name other than the loopback's is a page of another site that
        // had its name resolve here: it gets nothing, whatever the route.
        const auto host = head.find(http::field::host);
        bool allowed = head.version() < 11;
        if (host != head.end()) {
            const auto name = host->value();
            allowed = head.count(http::field::host) == 1 &&
                      WebServer::isLoopbackHost(std::string_view(name.data(), name.size()), core_.port);
        }
        if (!allowed) return answerAndClose(403, "esta página solo responde en 127.0.0.1 o localhost");
        if (auto length = parser_->content_length(); length && *length > core_.limits.maxBodyBytes) {
            return answerAndClose(413, "el cuerpo de la petición es demasiado grande");
        }
        if (parser_->is_done()) return onRequest();
        const auto expect = head[http::field::expect];
        if (ns::equalsIgnoringASCIICase({expect.data(), expect.size()}, "100-continue")) {
            static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            stream_.expires_after(core_.limits.ioTimeout);
            net::async_write(stream_, net::buffer(kContinue),
                             [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                 if (ec) return self->closeNow();
                                 self->readBody();
                             });
            return;
        }
        readBody();
    }

    void readBody() {
        stream_.expires_after(core_.limits.ioTimeout);
        // Beast reads no more than the buffer's free room at a time: a buffer
        // sized by the head would take a picture a few KB per read.
        if (auto length = parser_->content_length(); !length || *length > buffer_.capacity()) {
            buffer_.reserve(64 * 1024);
        }
        http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) return self->failRead(ec);
            self->onRequest();
        });
    }

    void failRead(beast::error_code ec) {
        if (ec == http::error::body_limit) return answerAndClose(413, "el cuerpo de la petición es demasiado grande");
        if (ec == http::error::header_limit) return answerAndClose(431, "la cabecera de la petición es demasiado grande");
        // A request the parser refuses is told so; anything else (the peer
        // gone, a time-out, the server stopping) just ends.
        if (ec.category() == http::make_error_code(http::error::bad_target).category() &&
            ec != http::error::end_of_stream && ec != http::error::partial_message) {
            return answerAndClose(400, "petición incorrecta");
        }
        closeNow();
    }

    void onRequest() {
        auto message = parser_->release();
        parser_.reset();
        stream_.expires_never();
        WebServer::Request request;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        request.path = request.target.substr(0, request.target.find('?'));
        request.origin = std::string(message[http::field::origin]);
        request.body = std::move(message.body());
        if (message.method() == http::verb::get && request.path == core_.eventsPath) return startEvents();

        const uint64_t seq = ++request_;
        awaiting_ = true;
        answerTimer_.expires_after(core_.limits.answerTimeout);
        answerTimer_.async_wait([self = shared_from_this(), seq](beast::error_code ec) {
            if (ec) return;
            WebServer::Response late{503, "application/json", {}, errorBody("la aplicación no respondió a tiempo")};
            self->onAnswer(seq, std::move(late));
        });
        // The answer may come from any thread; it comes back to the I/O
        // thread, and only while this connection still waits for it.
        WebServer::Respond respond = [core = core_.shared_from_this(), weak = weak_from_this(),
                                      seq](WebServer::Response response) {
            auto self = weak.lock();
            if (!self) return;
            net::post(core->io, [self = std::move(self), seq, response = std::move(response)]() mutable {
                self->onAnswer(seq, std::move(response));
            });
        };
        try {
            core_.handler(std::move(request), std::move(respond));
        } catch (const std::exception& e) {
            onAnswer(seq, {500, "application/json", {}, errorBody(std::string("error interno: ") + e.what())});
        }
    }

    void onAnswer(uint64_t seq, WebServer::Response response) {
        if (closed_ || !awaiting_ || seq != request_) return;
        awaiting_ = false;
        answerTimer_.cancel();
        auto out = std::make_shared<http::response<http::string_body>>();
        out->version(version_);
        out->result(response.status >= 100 && response.status <= 999 ? unsigned(response.status) : 500u);
        out->set(http::field::content_type, response.contentType);
        // Every answer is the app's state at this moment.
        out->set(http::field::cache_control, "no-store");
        for (const auto& [name, value] : response.headers) out->set(name, value);
        out->body() = std::move(response.body);
        out->keep_alive(keepAlive_ && !core_.stopping);
        out->prepare_payload();
        stream_.expires_after(core_.limits.ioTimeout);
        http::async_write(stream_, *out, [self = shared_from_this(), out](beast::error_code ec, std::size_t) {
            if (ec || self->closed_) return self->closeNow();
            self->stream_.expires_never();
            if (!out->keep_alive()) return self->closeGracefully();
            self->readHead();
        });
    }

    // An error the server answers itself before any route. The rest of the
    // request is read and dropped (for a bounded time) before closing, so
    // the client sees the answer rather than a reset.
    void answerAndClose(int status, std::string_view message) {
        auto out = std::make_shared<http::response<http::string_body>>();
        out->version(11);
        out->result(unsigned(status));
        out->set(http::field::content_type, "application/json");
        out->body() = errorBody(message);
        out->keep_alive(false);
        out->prepare_payload();
        stream_.expires_after(core_.limits.ioTimeout);
        http::async_write(stream_, *out, [self = shared_from_this(), out](beast::error_code ec, std::size_t) {
            if (ec) return self->closeNow();
            beast::error_code ignored;
            self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
            self->stream_.expires_after(self->core_.limits.ioTimeout);
            self->drain();
        });
    }

    void drain() {
        stream_.async_read_some(net::buffer(sink_), [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec || self->closed_) return self->closeNow();
            self->drain();
        });
    }

    // --- the event stream: one write at a time, whatever wakes it --------

    void startEvents() {
        listening_ = true;
        // Nothing more is read but the end of the stream, which ends the
        // listener at once rather than at its next write.
        watchHangUp();
        pushEvent(false,
                  "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\n"
                  "Connection: close\r\n\r\n");
    }

    void watchHangUp() {
        stream_.async_read_some(net::buffer(sink_), [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec || self->closed_) return self->closeNow();
            self->watchHangUp();
        });
    }

    void pushEvent(bool keepAliveDue, std::string prefix = {}) {
        if (closed_ || !listening_) return;
        if (writing_) {
            // What is going out already says the stream is alive.
            if (!keepAliveDue) dirty_ = true;
            return;
        }
        dirty_ = false;
        std::string message = std::move(prefix);
        const auto event = core_.feed ? core_.feed() : WebServer::Event{};
        if (!sentAny_ || event.stamp != sentStamp_) {
            message += event.message;
            sentAny_ = true;
            sentStamp_ = event.stamp;
        } else if (keepAliveDue) {
            message += ": alive\n\n";
        }
        if (message.empty()) return;
        outgoing_ = std::move(message);
        writing_ = true;
        stream_.expires_after(core_.limits.ioTimeout);
        net::async_write(stream_, net::buffer(outgoing_),
                         [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onEventWritten(ec); });
    }

    void onEventWritten(beast::error_code ec) {
        writing_ = false;
        if (ec || closed_) return closeNow();
        stream_.expires_never();
        keepAliveTimer_.expires_after(core_.limits.keepAlive);
        keepAliveTimer_.async_wait([weak = weak_from_this()](beast::error_code ec) {
            if (ec) return;
            if (auto self = weak.lock()) self->pushEvent(true);
        });
        if (dirty_) pushEvent(false);
    }

    void closeGracefully() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        closeNow();
    }

    void closeNow() {
        if (closed_) return;
        closed_ = true;
        listening_ = false;
        answerTimer_.cancel();
        keepAliveTimer_.cancel();
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

    WebServer::Core& core_;
    const uint64_t id_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    net::steady_timer answerTimer_;
    net::steady_timer keepAliveTimer_;
    std::array<char, 4096> sink_{};
    unsigned version_ = 11;
    bool keepAlive_ = true;
    uint64_t request_ = 0;
    bool awaiting_ = false;
    bool closed_ = false;
    std::atomic<bool> listening_{false};
    std::atomic<bool> wakePending_{false};
    bool writing_ = false;
    bool dirty_ = false;
    bool sentAny_ = false;
    uint64_t sentStamp_ = 0;
    std::string outgoing_;
};

}  // namespace

std::vector<std::shared_ptr<Connection>> WebServer::Core::connections() {
    std::vector<std::shared_ptr<Connection>> out;
    std::lock_guard lock(registryMutex);
    for (auto& [id, weak] : registry) {
        if (auto connection = weak.lock()) out.push_back(std::move(connection));
    }
    return out;
}

void WebServer::Core::accept() {
    if (stopping) return;
    acceptor->async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (stopping || ec == net::error::operation_aborted) return;
        if (ec) {
            if (outOfDescriptors(ec)) {
                warn(std::string("cannot accept a connection (") + std::strerror(ec.value()) +
                     "); pausing briefly and serving on");
                pause->expires_after(kAcceptPause);
                pause->async_wait([this](beast::error_code ec) {
                    if (!ec) accept();
                });
                return;
            }
            return accept();
        }
        onAccepted(std::move(socket));
        accept();
    });
}

void WebServer::Core::onAccepted(tcp::socket socket) {
    uint64_t id = 0;
    {
        std::lock_guard lock(registryMutex);
        if (open < limits.maxConnections) {
            ++open;
            id = nextId++;
        }
    }
    if (id == 0) return refuse(socket);
    // A page waits on every answer: its last segment must not wait for the
    // acknowledgement of the one before (Nagle's rule), as on any web server.
    beast::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    auto connection = std::make_shared<Connection>(*this, id, std::move(socket));
    {
        std::lock_guard lock(registryMutex);
        registry.emplace(id, connection);
    }
    connection->start();
}

// Over the cap: a 503 that fits in any socket buffer, written without
// waiting, and the descriptor goes back at once.
void WebServer::Core::refuse(tcp::socket& socket) {
    static const ns::NoDestructor<std::string> answer([] {
        const std::string body = errorBody("demasiadas conexiones abiertas");
        return "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nConnection: close\r\n"
               "Content-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    }());
    beast::error_code ignored;
    socket.non_blocking(true, ignored);
    socket.write_some(net::buffer(*answer), ignored);
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    socket.close(ignored);
    warn("refusing connections over the cap of " + std::to_string(limits.maxConnections));
}

WebServer::WebServer(WebServerLimits limits, Handler handler, std::string eventsPath, EventFeed feed)
    : core_(std::make_shared<Core>(limits, std::move(handler), std::move(eventsPath), std::move(feed))) {}

WebServer::~WebServer() { stop(); }

int WebServer::start(int port) {
    Core& core = *core_;
    if (core.started) throw std::logic_error("the page's server is already started");
    core.acceptor = std::make_unique<tcp::acceptor>(core.io);
    beast::error_code ec;
    const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port));
    core.acceptor->open(endpoint.protocol(), ec);
    if (!ec) core.acceptor->set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) core.acceptor->bind(endpoint, ec);
    if (!ec) core.acceptor->listen(net::socket_base::max_listen_connections, ec);
    if (ec) throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + ec.message());
    core.port = core.acceptor->local_endpoint().port();
    core.pause = std::make_unique<net::steady_timer>(core.io);
    core.work.emplace(core.io.get_executor());
    core.started = true;
    core.accept();
    core.thread = std::thread([&core] {
        for (;;) {
            try {
                core.io.run();
                return;
            } catch (const std::exception& e) {
                // One failed handler must not end the page for everybody.
                std::fprintf(stderr, "almavel: a page connection failed: %s\n", e.what());
            }
        }
    });
    return core.port;
}

void WebServer::stop() {
    Core& core = *core_;
    if (!core.started || core.stopped) return;
    core.stopped = true;
    core.stopping = true;
    // The acceptor is closed on the I/O thread, where its accept runs.
    std::promise<void> closed;
    auto done = closed.get_future();
    net::post(core.io, [&core, &closed] {
        beast::error_code ignored;
        core.acceptor->close(ignored);
        core.pause->cancel();
        closed.set_value();
    });
    done.wait();
    for (auto& connection : core.connections()) {
        net::post(core.io, [connection] { connection->close(); });
    }
    core.work.reset();
    {
        std::unique_lock lock(core.registryMutex);
        core.registryEmpty.wait_for(lock, std::chrono::seconds(10), [&] { return core.open == 0; });
    }
    core.io.stop();
    if (core.thread.joinable()) core.thread.join();
}

void WebServer::eventsChanged() {
    for (auto& connection : core_->connections()) {
        if (connection->listening()) connection->wake();
    }
}

std::size_t WebServer::openConnections() const {
    std::lock_guard lock(core_->registryMutex);
    return core_->open;
}

}  // namespace almavel
