#include "backend/websocket.h"

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <condition_variable>
#include <deque>
#include <list>
#include <set>
#include <stdexcept>
#include <thread>

namespace backend {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;
using tcp = net::ip::tcp;

namespace {

std::string percentDecode(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            auto hex = [](char c) -> int {
                if (c >= '0' && c <= '9') return c - '0';
                if (c >= 'a' && c <= 'f') return c - 'a' + 10;
                if (c >= 'A' && c <= 'F') return c - 'A' + 10;
                return -1;
            };
            const int hi = hex(s[i + 1]), lo = hex(s[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += char(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += s[i] == '+' ? ' ' : s[i];
    }
    return out;
}

// The writer of duplex mode: a queue any thread may fill, drained on the
// session's thread while its io_context runs.
class DuplexOutlet final : public WebSocketOutlet {
public:
    struct Item {
        bool close = false;
        WebSocketSession::Message message;
        uint16_t code = 0;
        std::string reason;
    };

    bool send(WebSocketSession::Message message) override {
        std::lock_guard lock(mutex_);
        if (ended_ || closing_) return false;
        queue_.push_back(Item{false, std::move(message), 0, {}});
        wakeLocked();
        return true;
    }

    void close(uint16_t code, std::string reason) override {
        std::lock_guard lock(mutex_);
        if (ended_ || closing_) return;
        closing_ = true;
        queue_.push_back(Item{true, {}, code, std::move(reason)});
        wakeLocked();
    }

    void abort() override {
        std::lock_guard lock(mutex_);
        if (ended_) return;
        abort_ = true;
        wakeLocked();
    }

    bool ended() const override {
        std::lock_guard lock(mutex_);
        return ended_;
    }

    // The session side. `wake` posts a drain onto the session's thread; it
    // is called with the lock held, so it must only post.
    void attach(std::function<void()> wake) {
        std::lock_guard lock(mutex_);
        if (ended_) return;
        wake_ = std::move(wake);
        if (!queue_.empty() || abort_) wakeLocked();
    }
    // After this nothing is posted any more.
    void detach() {
        std::lock_guard lock(mutex_);
        ended_ = true;
        wake_ = nullptr;
        queue_.clear();
    }
    // Called at the start of each drain.
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

private:
    void wakeLocked() {
        if (wake_ && !wakePending_) {
            wakePending_ = true;
            wake_();
        }
    }

    mutable std::mutex mutex_;
    std::deque<Item> queue_;
    std::function<void()> wake_;
    bool wakePending_ = false;
    bool ended_ = false;
    bool closing_ = false;
    bool abort_ = false;
};

// The parts of a session that do not depend on the transport.
template <class NextLayer>
class Session final : public WebSocketSession {
public:
    Session(NextLayer&& next, bool tls, const http::request<http::string_body>& request)
        : ws_(std::move(next)), request_(request) {
        tls_ = tls;
        target_ = std::string(request.target());
        const auto q = target_.find('?');
        path_ = target_.substr(0, q);
        if (q != std::string::npos) {
            std::string_view rest = std::string_view(target_).substr(q + 1);
            while (!rest.empty()) {
                const auto amp = rest.find('&');
                std::string_view pair = rest.substr(0, amp);
                const auto eq = pair.find('=');
                query_[percentDecode(pair.substr(0, eq))] =
                    eq == std::string_view::npos ? std::string() : percentDecode(pair.substr(eq + 1));
                if (amp == std::string_view::npos) break;
                rest.remove_prefix(amp + 1);
            }
        }
        for (const auto& field : request) {
            headers_.emplace_back(std::string(field.name_string()), std::string(field.value()));
        }
        ws_.control_callback([this](websocket::frame_type kind, beast::string_view payload) {
            if (kind != websocket::frame_type::pong) return;
            std::function<void(const std::string&)> handler;
            {
                std::lock_guard lock(mutex_);
                pongs_.emplace_back(payload);
                handler = pongHandler_;
            }
            if (handler) handler(std::string(payload));
        });
    }

    bool accept() override {
        beast::error_code ec;
        ws_.read_message_max(64ull * 1024 * 1024 + 1024);
        ws_.accept(request_, ec);
        return !ec;
    }

    std::optional<Message> read() override {
        beast::flat_buffer buffer;
        beast::error_code ec;
        ws_.read(buffer, ec);
        if (ec) {
            closeCode_ = uint16_t(ws_.reason().code);
            return std::nullopt;
        }
        return Message{ws_.got_text(), beast::buffers_to_string(buffer.data())};
    }

    bool send(const Message& message) override {
        beast::error_code ec;
        ws_.text(message.text);
        ws_.write(net::buffer(message.data), ec);
        return !ec;
    }

    bool sendFragment(bool text, std::string_view data, bool fin) override {
        beast::error_code ec;
        if (!midMessage_) ws_.text(text);
        ws_.write_some(fin, net::buffer(data.data(), data.size()), ec);
        midMessage_ = !fin;
        return !ec;
    }

    bool ping(std::string_view payload) override {
        beast::error_code ec;
        ws_.ping(websocket::ping_data(payload.data(), payload.size()), ec);
        return !ec;
    }

    bool close(uint16_t code, std::string_view reason) override {
        beast::error_code ec;
        ws_.close(websocket::close_reason(websocket::close_code(code), beast::string_view(reason.data(), reason.size())), ec);
        return !ec;
    }

    uint16_t closeCode() const override { return closeCode_; }

    std::vector<std::string> pongs() const override {
        std::lock_guard lock(mutex_);
        return pongs_;
    }

    void setPongHandler(std::function<void(const std::string&)> handler) override {
        std::lock_guard lock(mutex_);
        pongHandler_ = std::move(handler);
    }

    bool writeRaw(std::string_view bytes) override {
        beast::error_code ec;
        net::write(ws_.next_layer(), net::buffer(bytes.data(), bytes.size()), ec);
        return !ec;
    }

    size_t readRaw(char* buffer, size_t max) override {
        beast::error_code ec;
        const size_t n = ws_.next_layer().read_some(net::buffer(buffer, max), ec);
        return ec ? 0 : n;
    }

    void endRaw() override {
        beast::error_code ec;
        beast::get_lowest_layer(ws_).shutdown(tcp::socket::shutdown_send, ec);
    }

    std::shared_ptr<WebSocketOutlet> outlet() override { return outlet_; }

    void runDuplex(const std::function<void(Message&& message)>& onMessage, const std::function<void()>& onIdle,
                   size_t maxMessageBytes) override {
        // Every connection has an io_context of its own (see serve()), run
        // here and nowhere else, so the handlers below never race.
        auto& io = static_cast<net::io_context&>(net::query(ws_.get_executor(), net::execution::context));
        onMessage_ = &onMessage;
        ws_.read_message_max(maxMessageBytes);
        // Bounds the wait for the peer's answer to our close frame.
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = std::chrono::seconds(5);
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws_.set_option(timeouts);
        outlet_->attach([this, &io] { net::post(io, [this] { drain(); }); });
        readNext();
        while (!io.stopped()) {
            // Whatever is ready (the reactor is checked without blocking)...
            if (io.poll() > 0) continue;
            // ...and then, before the thread waits, the idle hook.
            if (onIdle) onIdle();
            if (io.stopped()) break;
            io.run_one();
        }
        outlet_->detach();
        onMessage_ = nullptr;
    }

    bool waitReadable(int timeoutMs) override {
        if constexpr (std::is_same_v<NextLayer, beast::ssl_stream<tcp::socket>>) {
            if (SSL_pending(ws_.next_layer().native_handle()) > 0) return true;
        }
        pollfd p{};
        p.fd = beast::get_lowest_layer(ws_).native_handle();
        p.events = POLLIN;
        return ::poll(&p, 1, timeoutMs) > 0;
    }

private:
    void readNext() {
        ws_.async_read(readBuffer_, [this](beast::error_code ec, size_t) {
            if (ec) {
                finish();
                return;
            }
            Message message{ws_.got_text(), beast::buffers_to_string(readBuffer_.data())};
            readBuffer_.consume(readBuffer_.size());
            (*onMessage_)(std::move(message));
            if (!finished_) readNext();
        });
    }

    void drain() {
        outlet_->drained();
        if (finished_) return;
        if (outlet_->abortRequested()) {
            finish();
            return;
        }
        if (writing_ || closeSent_) return;
        auto item = outlet_->pop();
        if (!item) return;
        writing_ = true;
        if (item->close) {
            closeSent_ = true;
            ws_.async_close(websocket::close_reason(websocket::close_code(item->code),
                                                    beast::string_view(item->reason.data(), item->reason.size())),
                            [this](beast::error_code ec) {
                                writing_ = false;
                                // The pending read ends with the peer's answer.
                                if (ec) finish();
                            });
            return;
        }
        current_ = std::move(item->message);
        ws_.text(current_.text);
        ws_.async_write(net::buffer(current_.data), [this](beast::error_code ec, size_t) {
            writing_ = false;
            if (ec) {
                finish();
                return;
            }
            drain();
        });
    }

    // The connection is over: nothing more is read or written, and run()
    // returns (pending operations are dropped with the io_context).
    void finish() {
        if (finished_) return;
        finished_ = true;
        closeCode_ = uint16_t(ws_.reason().code);
        outlet_->detach();
        beast::error_code ec;
        beast::get_lowest_layer(ws_).shutdown(tcp::socket::shutdown_both, ec);
        beast::get_lowest_layer(ws_).close(ec);
        static_cast<net::io_context&>(net::query(ws_.get_executor(), net::execution::context)).stop();
    }

    websocket::stream<NextLayer> ws_;
    http::request<http::string_body> request_;
    std::shared_ptr<DuplexOutlet> outlet_ = std::make_shared<DuplexOutlet>();
    const std::function<void(Message&& message)>* onMessage_ = nullptr;
    beast::flat_buffer readBuffer_;
    Message current_;
    bool writing_ = false;
    bool closeSent_ = false;
    bool finished_ = false;
    uint16_t closeCode_ = 0;
    bool midMessage_ = false;
    mutable std::mutex mutex_;
    std::vector<std::string> pongs_;
    std::function<void(const std::string&)> pongHandler_;
};

}  // namespace

std::optional<std::string> WebSocketSession::query(const std::string& name) const {
    auto it = query_.find(name);
    if (it == query_.end()) return std::nullopt;
    return it->second;
}

std::string WebSocketSession::header(std::string_view name) const {
    for (const auto& [n, v] : headers_) {
        if (n.size() == name.size() && strncasecmp(n.data(), name.data(), n.size()) == 0) return v;
    }
    return {};
}

void WebSocketRouter::add(std::string route, WebSocketHandler handler) {
    std::lock_guard lock(mutex_);
    routes_[std::move(route)] = std::move(handler);
}

std::optional<WebSocketHandler> WebSocketRouter::find(const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::optional<WebSocketHandler> best;
    size_t bestLength = 0;
    for (const auto& [route, handler] : routes_) {
        const bool prefix = !route.empty() && route.back() == '*';
        const std::string stem = prefix ? route.substr(0, route.size() - 1) : route;
        const bool match = prefix ? path.rfind(stem, 0) == 0 : path == stem;
        if (match && (!best || route.size() > bestLength)) {
            best = handler;
            bestLength = route.size();
        }
    }
    return best;
}

struct WebSocketServer::Impl {
    std::shared_ptr<WebSocketRouter> router;
    std::string certPath, keyPath;
    net::io_context io;
    net::ssl::context ssl{net::ssl::context::tls_server};
    std::unique_ptr<tcp::acceptor> plainAcceptor, tlsAcceptor;
    std::thread plainThread, tlsThread;
    std::atomic<int> wsPort{0}, wssPort{0};
    std::atomic<bool> stopping{false};

    std::mutex mutex;
    std::condition_variable idle;
    int activeConnections = 0;
    // Every open connection, so stop() can end them.
    std::set<std::shared_ptr<tcp::socket>> sockets;

    Impl(std::shared_ptr<WebSocketRouter> r, std::string cert, std::string key)
        : router(std::move(r)), certPath(std::move(cert)), keyPath(std::move(key)) {}

    std::unique_ptr<tcp::acceptor> bind(int port, const char* what) {
        auto acceptor = std::make_unique<tcp::acceptor>(io);
        beast::error_code ec;
        const tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), uint16_t(port));
        acceptor->open(endpoint.protocol(), ec);
        if (!ec) acceptor->set_option(net::socket_base::reuse_address(true), ec);
        if (!ec) acceptor->bind(endpoint, ec);
        if (!ec) acceptor->listen(net::socket_base::max_listen_connections, ec);
        if (ec) {
            throw std::runtime_error(std::string("cannot listen on 127.0.0.1:") + std::to_string(port) + " for " +
                                     what + ": " + ec.message());
        }
        return acceptor;
    }

    void acceptLoop(tcp::acceptor& acceptor, bool tls) {
        while (!stopping.load()) {
            auto socket = std::make_shared<tcp::socket>(io);
            beast::error_code ec;
            acceptor.accept(*socket, ec);
            if (ec) {
                if (stopping.load()) return;
                continue;
            }
            {
                std::lock_guard lock(mutex);
                if (stopping.load()) return;
                ++activeConnections;
                sockets.insert(socket);
            }
            std::thread([this, socket, tls] {
                serve(socket, tls);
                std::lock_guard lock(mutex);
                sockets.erase(socket);
                if (--activeConnections == 0) idle.notify_all();
            }).detach();
        }
    }

    template <class Stream>
    void route(Stream&& stream, bool tls) {
        beast::flat_buffer buffer;
        http::request<http::string_body> request;
        beast::error_code ec;
        http::read(stream, buffer, request, ec);
        if (ec) return;
        const std::string target(request.target());
        const auto handler = router->find(target.substr(0, target.find('?')));
        if (!handler || !websocket::is_upgrade(request)) {
            http::response<http::string_body> response{handler ? http::status::bad_request : http::status::not_found,
                                                       request.version()};
            response.set(http::field::content_type, "application/json");
            response.body() = handler ? R"({"error":"this endpoint speaks only web socket"})"
                                      : R"({"error":"no web-socket endpoint at this path"})";
            response.prepare_payload();
            response.keep_alive(false);
            http::write(stream, response, ec);
            return;
        }
        Session<std::decay_t<Stream>> session(std::move(stream), tls, request);
        (*handler)(session);
    }

    void serve(const std::shared_ptr<tcp::socket>& socket, bool tls) {
        beast::error_code ec;
        socket->set_option(tcp::no_delay(true), ec);
        // The connection's own socket object is moved into the session; the
        // registry keeps a duplicate descriptor's owner only for shutdown.
        // Each connection has an io_context of its own, which a session in
        // duplex mode runs on this thread.
        net::io_context connectionIo(1);
        tcp::socket own(connectionIo);
        own.assign(tcp::v4(), ::dup(socket->native_handle()), ec);
        if (ec) return;
        if (tls) {
            beast::ssl_stream<tcp::socket> stream(std::move(own), ssl);
            stream.handshake(net::ssl::stream_base::server, ec);
            if (ec) return;
            route(std::move(stream), true);
        } else {
            route(std::move(own), false);
        }
    }
};

WebSocketServer::WebSocketServer(std::shared_ptr<WebSocketRouter> router, std::string certPath, std::string keyPath)
    : impl_(std::make_unique<Impl>(std::move(router), std::move(certPath), std::move(keyPath))) {}

WebSocketServer::~WebSocketServer() { stop(); }

void WebSocketServer::start(int wsPort, int wssPort) {
    beast::error_code ec;
    impl_->ssl.use_certificate_chain_file(impl_->certPath, ec);
    if (!ec) impl_->ssl.use_private_key_file(impl_->keyPath, net::ssl::context::pem, ec);
    if (ec) throw std::runtime_error("cannot use the certificate " + impl_->certPath + " for wss: " + ec.message());
    impl_->plainAcceptor = impl_->bind(wsPort, "ws");
    impl_->tlsAcceptor = impl_->bind(wssPort, "wss");
    impl_->wsPort = impl_->plainAcceptor->local_endpoint().port();
    impl_->wssPort = impl_->tlsAcceptor->local_endpoint().port();
    impl_->plainThread = std::thread([this] { impl_->acceptLoop(*impl_->plainAcceptor, false); });
    impl_->tlsThread = std::thread([this] { impl_->acceptLoop(*impl_->tlsAcceptor, true); });
}

void WebSocketServer::stop() {
    if (!impl_ || impl_->stopping.exchange(true)) return;
    beast::error_code ec;
    for (auto* acceptor : {impl_->plainAcceptor.get(), impl_->tlsAcceptor.get()}) {
        if (!acceptor) continue;
        // Wakes the blocked accept.
        ::shutdown(acceptor->native_handle(), SHUT_RDWR);
    }
    if (impl_->plainThread.joinable()) impl_->plainThread.join();
    if (impl_->tlsThread.joinable()) impl_->tlsThread.join();
    // Closed only once the accept loops are gone: they read the acceptors.
    for (auto* acceptor : {impl_->plainAcceptor.get(), impl_->tlsAcceptor.get()}) {
        if (acceptor) acceptor->close(ec);
    }
    std::unique_lock lock(impl_->mutex);
    for (const auto& socket : impl_->sockets) ::shutdown(socket->native_handle(), SHUT_RDWR);
    impl_->idle.wait(lock, [&] { return impl_->activeConnections == 0; });
}

int WebSocketServer::wsPort() const { return impl_->wsPort.load(); }
int WebSocketServer::wssPort() const { return impl_->wssPort.load(); }

}  // namespace backend
