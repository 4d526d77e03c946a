#pragma once
// A ws or wss connection before its upgrade: the TLS handshake, the upgrade
// request under the head limit, and the hand-over to a web-socket session
// (or an HTTP answer saying why not).
// Private to backend/core/http_server.cpp, the one unit that includes it
// (Boost.Beast is parsed there only): its anonymous namespace keeps these
// classes to that unit.

#include "backend/core/network_core/impl.h"
#include "backend/core/network_core/ws_session.h"

namespace backend {

namespace {

// Reads the upgrade request of a ws/wss connection and hands it on.
template <class Stream>
class UpgradeReader final : public Closable, public std::enable_shared_from_this<UpgradeReader<Stream>> {
public:
    UpgradeReader(NetworkCore::Impl::Slot slot, Stream stream, bool tls, std::string remote)
        : slot_(std::move(slot)), core_(*slot_.core()), stream_(std::move(stream)), tls_(tls), remote_(std::move(remote)) {
        slot_.watch(lowest(stream_).rate_policy());
    }

    void start() {
        slot_.enroll(this->shared_from_this());
        // One head time-out covers the handshake and the upgrade request.
        lowest(stream_).expires_after(core_.limits.headTimeout);
        handshakeThen(stream_, this->shared_from_this(), core_.limits.headTimeout, &UpgradeReader::read,
                      &UpgradeReader::close);
    }

    void shutdown() override { closeOnExecutor(stream_, this->shared_from_this(), &UpgradeReader::close); }

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
        shutdownAndClose(stream_);
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

}  // namespace backend
