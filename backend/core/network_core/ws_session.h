#pragma once
// One web-socket connection after its upgrade: reads messages and hands them
// to the endpoint's session handler, and writes what its outlet queues,
// batching frames straight to the socket when nothing else is in flight.
// Private to backend/core/http_server.cpp, the one unit that includes it
// (Boost.Beast is parsed there only): its anonymous namespace keeps these
// classes to that unit.

#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include "backend/core/network_core/impl.h"
#include "backend/core/network_core/ws_outlet.h"

namespace backend {

namespace {

// The web-socket session whose callback this thread is running, if any.
thread_local const void* tCallbackSession = nullptr;

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

    void enroll() { slot_.enroll(this->shared_from_this(), true); }

    void shutdown() override { closeOnExecutor(ws_, this->shared_from_this(), &WsSession::finish); }

    void pingIdle() override {
        net::post(ws_.get_executor(), [self = this->shared_from_this()] {
            if (self->mode_ == Mode::WebSocket && !self->finished_) self->outlet_->ping({});
        });
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
        shutdownAndClose(ws_);
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

}  // namespace

}  // namespace backend
