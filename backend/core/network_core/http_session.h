#pragma once
// One HTTP or HTTPS connection: reads request heads and bodies under the
// core's limits, hands each request to a handler thread, watches for the
// peer hanging up while the handler runs, and writes the answer (files in
// pieces), keeping the connection alive between requests.
// Private to backend/core/http_server.cpp, the one unit that includes it
// (Boost.Beast is parsed there only): its anonymous namespace keeps these
// classes to that unit.

#include "backend/core/http_util.h"
#include "backend/core/network_core/impl.h"
#include "platform/text.h"

namespace backend {

namespace {

template <class Stream>
class HttpSession final : public Closable, public std::enable_shared_from_this<HttpSession<Stream>> {
public:
    HttpSession(NetworkCore::Impl::Slot slot, Stream stream, bool tls, tcp::endpoint local, tcp::endpoint remote)
        : slot_(std::move(slot)),
          core_(*slot_.core()),
          stream_(std::move(stream)),
          tls_(tls),
          local_(std::move(local)),
          remote_(std::move(remote)) {
        slot_.watch(lowest(stream_).rate_policy());
    }

    void start() {
        slot_.enroll(this->shared_from_this());
        handshakeThen(stream_, this->shared_from_this(), core_.limits.headTimeout, &HttpSession::readHead,
                      &HttpSession::closeNow);
    }

    void shutdown() override { closeOnExecutor(stream_, this->shared_from_this(), &HttpSession::closeNow); }

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
        const auto expect = head[bhttp::field::expect];
        if (ns::equalsIgnoringASCIICase({expect.data(), expect.size()}, "100-continue")) {
            static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
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
        slot_.setBusy(true);
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
            if (ns::equalsIgnoringASCIICase(name, "Content-Length") ||
                ns::equalsIgnoringASCIICase(name, "Transfer-Encoding") || ns::equalsIgnoringASCIICase(name, "Connection")) {
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
        slot_.setBusy(false);
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
        shutdownAndClose(stream_);
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

}  // namespace

}  // namespace backend
