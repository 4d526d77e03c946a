// The messaging channel server (mcs_server.h): the listener, one session per
// connection and the per-device mailboxes, all on one I/O thread.

#include "backend/messaging/mcs_server.h"

#include <google/protobuf/util/json_util.h>

#include <algorithm>
#include <array>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <charconv>
#include <deque>
#include <future>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <thread>

#include "backend/core/http_util.h"
#include "backend/instanceid/iid_store.h"
#include "backend/core/loopback_listener.h"
#include "backend/messaging/topic_service.h"
#include "messaging/parlo_core.pb.h"
#include "messaging/parlo_extensions.pb.h"
#include "platform/crypto.h"

namespace backend {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using json = nlohmann::json;
namespace pb = mobileparlo;

namespace {

// Connections at once; more are closed on accept.
constexpr size_t kMaxConnections = 1024;
// How long a stopping server waits for its close messages to go out.
constexpr auto kCloseGrace = std::chrono::seconds(2);
constexpr size_t kMaxLoggedFrames = 2000;
constexpr size_t kMaxLoggedFrameBytes = 4 * 1024 * 1024;
// Unsent output a connection may have.
constexpr size_t kMaxOutputBytes = 16 * 1024 * 1024;
// Queued messages go out while the unsent output is below this, so a long
// queue never meets the bound above.
constexpr size_t kOutputLowWater = 2 * 1024 * 1024;
constexpr size_t kMaxUpstream = 2000;
constexpr size_t kMaxUpstreamLogBytes = 4 * 1024 * 1024;
constexpr size_t kMaxLogins = 20;
constexpr size_t kMaxLoginLogBytes = 64 * 1024;
// Unconfirmed downstream messages a device may have.
constexpr size_t kMaxPending = 1000;
// Incoming messages the server lets go unreported before it acknowledges.
constexpr int kStreamAckInterval = 10;

// A large message in a log: its size and the short plain-text fields that
// tell it apart (ids, sender, category).
json summary(const google::protobuf::Message& message, size_t size) {
    json out{{"bytes", size}};
    const auto* reflection = message.GetReflection();
    std::vector<const google::protobuf::FieldDescriptor*> fields;
    reflection->ListFields(message, &fields);
    for (const auto* field : fields) {
        if (field->is_repeated() || field->type() != google::protobuf::FieldDescriptor::TYPE_STRING) continue;
        const std::string value = reflection->GetString(message, field);
        if (value.size() <= 256 && std::all_of(value.begin(), value.end(), [](char c) { return c >= 0x20 && c < 0x7f; }))
            out[field->name()] = value;
    }
    return out;
}

// The logs keep messages as JSON; a large one (the server takes up to
// 1 MiB) only as a summary, so the bounded logs stay small. Bytes fields grow
// in JSON, so its text is measured too.
json toJson(const google::protobuf::Message& message) {
    const size_t size = message.ByteSizeLong();
    if (size > mcs::kMaxLoggedMessageBytes) return summary(message, size);
    std::string text;
    google::protobuf::util::JsonPrintOptions options;
    options.preserve_proto_field_names = true;
    if (!google::protobuf::util::MessageToJsonString(message, &text, options).ok()) return json();
    if (text.size() > mcs::kMaxLoggedMessageBytes) return summary(message, size);
    return json::parse(text, nullptr, false);
}

// The persistent ids of a device's upstream messages, to tell a copy sent
// again: the newest few thousand, none past their lifetime.
class RememberedIds {
public:
    using Time = std::chrono::steady_clock::time_point;
    // Whether `id` was seen; remembers it when not.
    bool seen(const std::string& id, Time now) {
        forgetBefore(now - mcs::kUpstreamIdLifetime);
        auto [it, added] = ids_.insert(id);
        if (!added) return true;
        order_.push_back({it, now});
        while (order_.size() > mcs::kMaxRememberedUpstreamIds) forgetOldest();
        return false;
    }
    void clear() {
        order_.clear();
        ids_.clear();
    }
    size_t size() const { return ids_.size(); }

private:
    void forgetBefore(Time cutoff) {
        while (!order_.empty() && order_.front().second < cutoff) forgetOldest();
    }
    void forgetOldest() {
        ids_.erase(order_.front().first);
        order_.pop_front();
    }
    std::set<std::string> ids_;
    std::deque<std::pair<std::set<std::string>::iterator, Time>> order_;
};

// The device a request names: a number or its decimal text.
std::optional<uint64_t> deviceOf(const json& request) {
    auto it = request.find("device");
    if (it == request.end()) return std::nullopt;
    if (it->is_number_unsigned()) return it->get<uint64_t>();
    if (it->is_string()) return iid::decimalId(it->get<std::string>());
    return std::nullopt;
}

// The message kinds whose `last_stream_id_received` the device reads.
template <class Message>
constexpr bool kCarriesStreamReport =
    std::is_same_v<Message, pb::HeartbeatPing> || std::is_same_v<Message, pb::HeartbeatAck> ||
    std::is_same_v<Message, pb::IqStanza> || std::is_same_v<Message, pb::DataMessageStanza>;

}  // namespace

struct McsServer::Impl : std::enable_shared_from_this<McsServer::Impl> {
    struct Session;

    // A downstream data message waiting for the device's confirmation.
    struct Pending {
        std::string persistentId;
        pb::DataMessageStanza stanza;
        // The stream id it went out with on the current connection (0: not
        // sent on it yet).
        int32_t sentStreamId = 0;
    };

    struct Mailbox {
        std::deque<Pending> pending;
        std::weak_ptr<Session> session;
        bool holdAcks = false;
        std::vector<std::string> heldAcks;
        RememberedIds upstreamIds;
        JsonHistory logins{kMaxLogins, kMaxLoginLogBytes};
    };

    struct Session : std::enable_shared_from_this<Session> {
        Session(Impl& server, tcp::socket socket) : server(server), stream(std::move(socket), server.ssl), timer(server.io) {}

        Impl& server;
        net::ssl::stream<tcp::socket> stream;
        net::steady_timer timer;
        std::array<char, 64 * 1024> chunk{};
        std::string input;
        std::deque<std::string> output;
        size_t outputBytes = 0;
        bool writing = false;
        bool closed = false;
        bool closeAfterWrites = false;
        bool versionReceived = false;
        uint64_t device = 0;  // 0 until signed in
        int32_t inStreamId = 0;
        int32_t outStreamId = 0;
        int32_t lastReported = 0;
        uint8_t versionByte = mcs::kVersion;
        uint64_t serial = 0;  // accept order

        // The handshake, the version byte and the login must all come within
        // the login time-out, or the connection ends.
        void start() {
            timer.expires_after(server.loginTimeout);
            timer.async_wait([self = shared_from_this()](boost::system::error_code ec) {
                if (!ec && !self->device) self->cut();
            });
            stream.async_handshake(net::ssl::stream_base::server, [self = shared_from_this()](boost::system::error_code ec) {
                if (ec) return self->cut();
                self->writeRaw(std::string(1, char(self->versionByte)));
                self->read();
            });
        }

        void read() {
            if (closed) return;
            stream.async_read_some(net::buffer(chunk), [self = shared_from_this()](boost::system::error_code ec, size_t n) {
                if (ec || self->closed) return self->cut();
                self->input.append(self->chunk.data(), n);
                self->consume();
                if (!self->closed) self->read();
            });
        }

        // Takes every complete frame from the input.
        void consume() {
            if (!versionReceived) {
                if (input.empty()) return;
                versionReceived = true;
                if (uint8_t(input[0]) != mcs::kVersion) return cut();
                input.erase(0, 1);
            }
            size_t offset = 0;
            while (!closed) {
                uint8_t tag = 0;
                std::string message;
                size_t consumed = 0;
                const auto status = mcs::readFrame(std::string_view(input).substr(offset), tag, message, consumed);
                if (status == mcs::FrameStatus::Incomplete) break;
                if (status != mcs::FrameStatus::Complete) return cut();
                offset += consumed;
                server.receive(*this, tag, message);
            }
            input.erase(0, offset);
        }

        // A peer that stops reading is let go once its unsent output passes
        // the bound, rather than growing without end.
        void writeRaw(std::string bytes) {
            if (closed) return;
            outputBytes += bytes.size();
            if (outputBytes > kMaxOutputBytes) return cut();
            output.push_back(std::move(bytes));
            flush();
        }

        void flush() {
            if (writing || closed) return;
            if (output.empty()) {
                if (closeAfterWrites) cut();
                return;
            }
            writing = true;
            net::async_write(stream, net::buffer(output.front()),
                             [self = shared_from_this()](boost::system::error_code ec, size_t) {
                                 self->writing = false;
                                 if (ec) return self->cut();
                                 self->outputBytes -= self->output.front().size();
                                 self->output.pop_front();
                                 self->server.sendQueued(*self);
                                 self->flush();
                             });
        }

        // Ends the connection once what is queued has gone.
        void closeSoon() {
            closeAfterWrites = true;
            if (!writing) flush();
        }

        // Ends the connection now, without a TLS close.
        void cut() {
            if (closed) return;
            closed = true;
            boost::system::error_code ignored;
            timer.cancel();
            stream.lowest_layer().shutdown(tcp::socket::shutdown_both, ignored);
            stream.lowest_layer().close(ignored);
            server.sessionEnded(*this);
        }
    };

    // A connection that has not logged in holds a place that devices need,
    // so it gets less time than the back end's other connections.
    explicit Impl(Context& context)
        : context(context),
          loginTimeout(std::chrono::milliseconds(
              std::min(context.options().headTimeoutMs, context.options().requestTimeoutMs))) {}

    Context& context;
    std::chrono::milliseconds loginTimeout;
    net::io_context io{1};
    // Keeps the thread running when nothing is pending, so that the work
    // the other threads hand it (onIo) always runs, until stop.
    net::executor_work_guard<net::io_context::executor_type> keepRunning{io.get_executor()};
    net::ssl::context ssl{net::ssl::context::tls_server};
    std::optional<tcp::acceptor> acceptor;
    std::thread thread;
    bool stopped = false;
    std::map<uint64_t, Mailbox> mailboxes;
    std::set<std::shared_ptr<Session>> sessions;
    JsonHistory upstreamLog{kMaxUpstream, kMaxUpstreamLogBytes};
    JsonHistory frameLog{kMaxLoggedFrames, kMaxLoggedFrameBytes};
    // How far the "advanceClock" fault moved the clock that ages upstream ids.
    std::chrono::milliseconds clockAhead{0};
    int badVersions = 0;
    uint64_t accepted = 0;

    void accept() {
        acceptor->async_accept([this](boost::system::error_code ec, tcp::socket socket) {
            if (ec == net::error::operation_aborted || !acceptor->is_open()) return;
            if (!ec && !stopped && sessions.size() >= kMaxConnections) makeRoom();
            if (!ec && (stopped || sessions.size() >= kMaxConnections)) {
                boost::system::error_code ignored;
                socket.close(ignored);
            } else if (!ec) {
                boost::system::error_code ignored;
                socket.set_option(tcp::no_delay(true), ignored);
                auto session = std::make_shared<Session>(*this, std::move(socket));
                session->serial = ++accepted;
                if (badVersions > 0) {
                    --badVersions;
                    session->versionByte = mcs::kVersion + 1;
                }
                sessions.insert(session);
                session->start();
            } else {
                std::cerr << "mcs: cannot accept (" << ec.message() << ")" << std::endl;
            }
            accept();
        });
    }

    // A full listener lets the oldest connection that has not logged in go:
    // idle connections then cannot keep devices out, whoever holds them.
    void makeRoom() {
        std::shared_ptr<Session> oldest;
        for (const auto& session : sessions) {
            if (!session->device && !session->closed && (!oldest || session->serial < oldest->serial)) oldest = session;
        }
        if (oldest) oldest->cut();
    }

    void sessionEnded(Session& session) {
        for (auto it = sessions.begin(); it != sessions.end(); ++it) {
            if (it->get() == &session) {
                // The session may be running one of its own handlers: keep it
                // alive until they return.
                net::post(io, [keep = *it] {});
                sessions.erase(it);
                break;
            }
        }
    }

    std::shared_ptr<Session> live(uint64_t device) {
        auto it = mailboxes.find(device);
        if (it == mailboxes.end()) return nullptr;
        auto session = it->second.session.lock();
        return session && !session->closed ? session : nullptr;
    }

    void logFrame(const Session& session, const char* direction, uint8_t tag, json message) {
        frameLog.push(json{{"device", std::to_string(session.device)},
                           {"direction", direction},
                           {"tag", tag},
                           {"message", std::move(message)}});
    }

    bool holding(const Session& session) {
        return session.device && mailboxes[session.device].holdAcks;
    }

    // Sends one message: counts it and reports what came in when the kind
    // carries the field and acknowledgements are not held.
    template <class Message>
    void sendMessage(Session& session, uint8_t tag, Message& message) {
        session.outStreamId++;
        if constexpr (kCarriesStreamReport<Message>) {
            if (session.inStreamId > session.lastReported && !holding(session)) {
                message.set_last_stream_id_received(session.inStreamId);
                session.lastReported = session.inStreamId;
            }
        }
        logFrame(session, "out", tag, toJson(message));
        session.writeRaw(mcs::encodeFrame(tag, message.SerializeAsString()));
    }

    void sendStreamAck(Session& session) {
        pb::IqStanza iq;
        iq.set_type(pb::IqStanza::SET);
        iq.set_id("");
        iq.mutable_extension()->set_id(mcs::kStreamAckExtension);
        iq.mutable_extension()->set_data("");
        sendMessage(session, mcs::kIqStanzaTag, iq);
    }

    void sendSelectiveAck(Session& session, const std::vector<std::string>& ids) {
        pb::SelectiveAck ack;
        for (const auto& id : ids) ack.add_id(id);
        pb::IqStanza iq;
        iq.set_type(pb::IqStanza::SET);
        iq.set_id("");
        iq.mutable_extension()->set_id(mcs::kSelectiveAckExtension);
        iq.mutable_extension()->set_data(ack.SerializeAsString());
        sendMessage(session, mcs::kIqStanzaTag, iq);
    }

    void deliver(Session& session, Pending& pending) {
        pb::DataMessageStanza stanza = pending.stanza;
        sendMessage(session, mcs::kDataMessageStanzaTag, stanza);
        pending.sentStreamId = session.outStreamId;
    }

    // Sends the device's messages not yet sent on this connection, in order,
    // while its output is short; the rest follow as it drains.
    void sendQueued(Session& session) {
        if (!session.device || session.closed || session.closeAfterWrites) return;
        auto& pending = mailboxes[session.device].pending;
        // What went out on this connection is a prefix of the queue.
        auto next = std::find_if(pending.begin(), pending.end(), [](const Pending& p) { return p.sentStreamId == 0; });
        while (next != pending.end() && !session.closed && session.outputBytes < kOutputLowWater) {
            deliver(session, *next);
            // Nothing confirms a message without a persistent id: it goes once.
            next = next->persistentId.empty() ? pending.erase(next) : next + 1;
        }
    }

    // The device has everything sent up to `streamId` on this connection.
    void confirm(Session& session, int32_t streamId) {
        auto& pending = mailboxes[session.device].pending;
        std::erase_if(pending, [&](const Pending& p) { return p.sentStreamId > 0 && p.sentStreamId <= streamId; });
    }

    template <class Message>
    bool parse(Session& session, uint8_t tag, const std::string& bytes, Message& message) {
        if (message.ParseFromString(bytes)) return true;
        logFrame(session, "in", tag, json{{"undecodable", bytes.size()}});
        session.cut();
        return false;
    }

    void receive(Session& session, uint8_t tag, const std::string& bytes) {
        if (!session.device) return login(session, tag, bytes);
        session.inStreamId++;
        switch (tag) {
        case mcs::kHeartbeatPingTag: {
            pb::HeartbeatPing ping;
            if (!parse(session, tag, bytes, ping)) return;
            logFrame(session, "in", tag, toJson(ping));
            if (ping.has_last_stream_id_received()) confirm(session, ping.last_stream_id_received());
            pb::HeartbeatAck ack;
            sendMessage(session, mcs::kHeartbeatAckTag, ack);
            break;
        }
        case mcs::kHeartbeatAckTag: {
            pb::HeartbeatAck ack;
            if (!parse(session, tag, bytes, ack)) return;
            logFrame(session, "in", tag, toJson(ack));
            if (ack.has_last_stream_id_received()) confirm(session, ack.last_stream_id_received());
            break;
        }
        case mcs::kCloseTag: {
            logFrame(session, "in", tag, json::object());
            session.closeSoon();
            return;
        }
        case mcs::kIqStanzaTag: {
            pb::IqStanza iq;
            if (!parse(session, tag, bytes, iq)) return;
            logFrame(session, "in", tag, toJson(iq));
            if (iq.has_last_stream_id_received()) confirm(session, iq.last_stream_id_received());
            if (iq.has_extension() && iq.extension().id() == mcs::kStreamAckExtension && !holding(session)) {
                sendStreamAck(session);
            }
            break;
        }
        case mcs::kDataMessageStanzaTag: {
            pb::DataMessageStanza stanza;
            if (!parse(session, tag, bytes, stanza)) return;
            if (stanza.persistent_id().size() > mcs::kMaxPersistentIdBytes) {
                logFrame(session, "in", tag, json{{"persistentIdTooLong", stanza.persistent_id().size()}});
                return session.cut();
            }
            logFrame(session, "in", tag, toJson(stanza));
            if (stanza.has_last_stream_id_received()) confirm(session, stanza.last_stream_id_received());
            upstreamArrived(session, stanza);
            break;
        }
        default:
            // Kinds the server has no use for (a second login, tags 3, 5, 6
            // and beyond) are dropped; the stream id still counts them.
            logFrame(session, "in", tag, json{{"dropped", bytes.size()}});
            break;
        }
        if (!session.closed && !holding(session) && session.inStreamId - session.lastReported >= kStreamAckInterval) {
            sendStreamAck(session);
        }
    }

    void upstreamArrived(Session& session, const pb::DataMessageStanza& stanza) {
        auto& mailbox = mailboxes[session.device];
        const std::string& id = stanza.persistent_id();
        const bool duplicate =
            !id.empty() && mailbox.upstreamIds.seen(id, std::chrono::steady_clock::now() + clockAhead);
        upstreamLog.push(json{{"device", std::to_string(session.device)},
                              {"streamId", session.inStreamId},
                              {"duplicate", duplicate},
                              {"message", toJson(stanza)}});
        if (id.empty()) return;
        if (mailbox.holdAcks) {
            // The client sends again what stays unconfirmed, so the oldest
            // held ids can go.
            if (mailbox.heldAcks.size() >= mcs::kMaxRememberedUpstreamIds) {
                mailbox.heldAcks.erase(mailbox.heldAcks.begin());
            }
            mailbox.heldAcks.push_back(id);
        } else {
            sendSelectiveAck(session, {id});
        }
    }

    void login(Session& session, uint8_t tag, const std::string& bytes) {
        pb::LoginRequest request;
        if (tag != mcs::kLoginRequestTag || !request.ParseFromString(bytes)) {
            logFrame(session, "in", tag, json{{"notALogin", bytes.size()}});
            return session.cut();
        }
        logFrame(session, "in", tag, toJson(request));
        session.inStreamId = 1;
        const auto id = iid::decimalId(request.user());
        const auto secret = iid::decimalId(request.auth_token());
        std::optional<iid::Device> device;
        if (id) device = iid::store(context)->device(*id);
        std::string problem;
        if (!device || !secret || device->secret != *secret) {
            problem = "unknown device or wrong secret";
        } else if (request.resource() != request.user() || request.domain() != mcs::kServiceDomain ||
                   request.auth_service() != pb::LoginRequest::VERDOS_ID) {
            problem = "the login names another user, resource, domain or service";
        } else {
            char hex[32];
            std::snprintf(hex, sizeof hex, "verdos-%llx", static_cast<unsigned long long>(device->id));
            if (request.device_id() != hex) problem = "the device id is not the device's";
        }
        pb::LoginResponse response;
        response.set_id(request.id());
        if (!problem.empty()) {
            auto* error = response.mutable_error();
            error->set_code(401);
            error->set_type("AUTHENTICATION_FAILED");
            error->set_message(problem);
            sendMessage(session, mcs::kLoginResponseTag, response);
            session.closeSoon();
            return;
        }

        session.device = device->id;
        session.timer.cancel();
        auto& mailbox = mailboxes[device->id];
        if (auto older = mailbox.session.lock(); older && older.get() != &session) older->cut();
        mailbox.session = session.shared_from_this();
        mailbox.logins.push(toJson(request));
        // What the device says it has needs no second delivery.
        const std::set<std::string> received(request.received_persistent_id().begin(),
                                             request.received_persistent_id().end());
        std::erase_if(mailbox.pending, [&](const Pending& p) { return received.count(p.persistentId) > 0; });
        for (auto& p : mailbox.pending) p.sentStreamId = 0;

        response.set_jid(request.user() + "@" + mcs::kServiceDomain + "/" + request.resource());
        response.set_server_timestamp(iid::nowMillis());
        sendMessage(session, mcs::kLoginResponseTag, response);
        sendQueued(session);
    }

    // Runs `work` on the I/O thread and waits for it; throws
    // std::runtime_error once the server has stopped. Never called on the
    // I/O thread itself.
    template <class Work>
    auto onIo(Work work) -> decltype(work()) {
        std::packaged_task<decltype(work())()> task(std::move(work));
        auto result = task.get_future();
        {
            std::lock_guard lock(postMutex);
            if (!accepting) throw std::runtime_error("the channel server has stopped");
            net::post(io, [&task] { task(); });
        }
        return result.get();
    }

    // Whatever was handed over before the stop still runs, so nobody waits
    // for ever.
    void finish() {
        {
            std::lock_guard lock(postMutex);
            accepting = false;
        }
        io.stop();
        thread.join();
        io.restart();
        io.poll();
    }

    std::mutex postMutex;
    bool accepting = true;
};

McsServer::McsServer(Context& context, std::string certPath, std::string keyPath)
    : context_(context), certPath_(std::move(certPath)), keyPath_(std::move(keyPath)) {}

McsServer::~McsServer() { stop(); }

int McsServer::start(int port) {
    auto impl = std::make_shared<Impl>(context_);
    boost::system::error_code ec;
    impl->ssl.set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                          net::ssl::context::no_sslv3);
    impl->ssl.use_certificate_chain_file(certPath_, ec);
    if (!ec) impl->ssl.use_private_key_file(keyPath_, net::ssl::context::pem, ec);
    if (ec) throw std::runtime_error("the channel server cannot use its certificate: " + ec.message());
    impl->acceptor.emplace(impl->io);
    port_ = listenOnLoopback(*impl->acceptor, port, "the channel server");
    impl->accept();
    impl->thread = runIoThread(impl->io, "mcs: the channel server's thread");
    impl_ = std::move(impl);
    return port_;
}

void McsServer::stop() {
    if (!impl_ || stopped_) return;
    stopped_ = true;
    auto& impl = impl_;
    // Signed-in devices hear a close message; the rest are cut.
    impl->onIo([&impl] {
        impl->stopped = true;
        boost::system::error_code ignored;
        impl->acceptor->close(ignored);
        auto open = impl->sessions;
        for (const auto& session : open) {
            if (session->device) {
                pb::Close close;
                impl->sendMessage(*session, mcs::kCloseTag, close);
                session->closeSoon();
            } else {
                session->cut();
            }
        }
        return 0;
    });
    const auto deadline = std::chrono::steady_clock::now() + kCloseGrace;
    while (std::chrono::steady_clock::now() < deadline && !impl->onIo([&impl] { return impl->sessions.empty(); })) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    impl->onIo([&impl] {
        auto open = impl->sessions;
        for (const auto& session : open) session->cut();
        return 0;
    });
    impl->finish();
}

bool McsServer::signedIn(uint64_t device) {
    try {
        return impl_->onIo([this, device] { return impl_->live(device) != nullptr; });
    } catch (const std::runtime_error&) {
        return false;
    }
}

McsServer::Answer McsServer::send(const json& request) {
    const auto device = deviceOf(request);
    if (!device) return {400, json{{"error", "\"device\" must name a device"}}};
    pb::DataMessageStanza stanza;
    const json message = request.value("message", json::object());
    if (!message.is_object()) return {400, json{{"error", "\"message\" must be an object"}}};
    google::protobuf::util::JsonParseOptions options;
    if (!google::protobuf::util::JsonStringToMessage(message.dump(), &stanza, options).ok()) {
        return {400, json{{"error", "\"message\" is not a data message"}}};
    }
    const json data = request.value("data", json::object());
    if (!data.is_object()) return {400, json{{"error", "\"data\" must be an object"}}};
    for (const auto& [key, value] : data.items()) {
        if (!value.is_string()) return {400, json{{"error", "\"data\" values must be strings"}}};
        auto* entry = stanza.add_app_data();
        entry->set_key(key);
        entry->set_value(value.get<std::string>());
    }
    if (!stanza.IsInitialized()) {
        return {400, json{{"error", "the message lacks " + stanza.InitializationErrorString()}}};
    }
    if (stanza.persistent_id().size() > mcs::kMaxPersistentIdBytes) {
        return {400, json{{"error", "the persistent id is too long"}}};
    }
    // With room for the stream report added on the way out.
    if (stanza.ByteSizeLong() + 16 > mcs::kMaxMessageBytes) {
        return {413, json{{"error", "the message is larger than the client reads"}}};
    }
    if (!iid::store(context_)->device(*device)) return {404, json{{"error", "no such device"}}};
    if (stanza.persistent_id().empty() && request.value("persistent", true)) {
        stanza.set_persistent_id(topics::newMessageId());
    }
    return impl_->onIo([&]() -> Answer {
        auto& mailbox = impl_->mailboxes[*device];
        if (mailbox.pending.size() >= kMaxPending) {
            return {429, json{{"error", "the device has too many unconfirmed messages"}}};
        }
        auto session = impl_->live(*device);
        const bool signedIn = session && session->device;
        mailbox.pending.push_back(Impl::Pending{stanza.persistent_id(), stanza, 0});
        if (signedIn) impl_->sendQueued(*session);
        return {200, json{{"persistentId", stanza.persistent_id()}, {"online", signedIn}}};
    });
}

McsServer::Answer McsServer::fault(const json& request) {
    const std::string action = request.value("action", std::string());
    if (action == "badVersion") {
        const int count = request.value("count", 1);
        if (count < 1 || count > 1000) return {400, json{{"error", "\"count\" must be from 1 to 1000"}}};
        impl_->onIo([&] { return impl_->badVersions += count; });
        return {200, json{{"action", action}, {"count", count}}};
    }
    if (action == "advanceClock") {
        const auto ms = request.find("ms");
        if (ms == request.end() || !ms->is_number_integer() || ms->get<int64_t>() < 0) {
            return {400, json{{"error", "\"ms\" must be a count of milliseconds"}}};
        }
        const auto by = std::chrono::milliseconds(ms->get<int64_t>());
        impl_->onIo([&] { return impl_->clockAhead += by; });
        return {200, json{{"action", action}}};
    }
    static constexpr std::string_view kOnDevice[] = {"holdAcks",       "releaseAcks", "cut",
                                                     "close",          "ping",        "garbledFrame",
                                                     "oversizedFrame", "unknownTag",  "rawBytes"};
    if (std::ranges::find(kOnDevice, action) == std::end(kOnDevice)) {
        return {400, json{{"error", "\"action\" must name a fault"}}};
    }
    const auto device = deviceOf(request);
    if (!device) return {400, json{{"error", "\"device\" must name a device"}}};
    if (!iid::store(context_)->device(*device)) return {404, json{{"error", "no such device"}}};
    std::string raw;
    if (action == "rawBytes") {
        auto bytes = ns::crypto::base64Decode(request.value("bytesBase64", std::string()));
        if (!bytes || bytes->empty()) return {400, json{{"error", "\"bytesBase64\" must hold bytes"}}};
        raw.assign(bytes->begin(), bytes->end());
    }
    return impl_->onIo([&]() -> Answer {
        auto& mailbox = impl_->mailboxes[*device];
        if (action == "holdAcks") {
            mailbox.holdAcks = true;
            return {200, json{{"action", action}}};
        }
        auto session = impl_->live(*device);
        if (action == "releaseAcks") {
            mailbox.holdAcks = false;
            if (session && session->device) {
                if (!mailbox.heldAcks.empty()) impl_->sendSelectiveAck(*session, mailbox.heldAcks);
                else impl_->sendStreamAck(*session);
            }
            mailbox.heldAcks.clear();
            return {200, json{{"action", action}}};
        }
        if (!session) return {409, json{{"error", "the device is not connected"}}};
        if (action == "cut") {
            session->cut();
        } else if (action == "close") {
            pb::Close close;
            impl_->sendMessage(*session, mcs::kCloseTag, close);
            session->closeSoon();
        } else if (action == "ping") {
            pb::HeartbeatPing ping;
            impl_->sendMessage(*session, mcs::kHeartbeatPingTag, ping);
        } else if (action == "garbledFrame") {
            // A data message frame whose bytes are no message: a field
            // header announcing more than there is.
            session->writeRaw(mcs::encodeFrame(mcs::kDataMessageStanzaTag, std::string("\x0a\x7f\xff\xff", 4)));
        } else if (action == "oversizedFrame") {
            session->writeRaw(mcs::encodeFrame(mcs::kDataMessageStanzaTag,
                                               std::string(mcs::kMaxMessageBytes + 16 * 1024, '\0')));
        } else if (action == "unknownTag") {
            session->writeRaw(mcs::encodeFrame(5, ""));
        } else {
            session->writeRaw(raw);
        }
        return {200, json{{"action", action}}};
    });
}

json McsServer::upstream() {
    return impl_->onIo([this] { return json{{"messages", impl_->upstreamLog.list()}}; });
}

void McsServer::clearUpstream() {
    impl_->onIo([this] {
        impl_->upstreamLog.clear();
        for (auto& [device, mailbox] : impl_->mailboxes) mailbox.upstreamIds.clear();
        return 0;
    });
}

json McsServer::sessions() {
    return impl_->onIo([this] {
        json list = json::array();
        for (auto& [device, mailbox] : impl_->mailboxes) {
            auto session = impl_->live(device);
            json pending = json::array();
            for (const auto& p : mailbox.pending) pending.push_back(p.persistentId);
            list.push_back(json{{"device", std::to_string(device)},
                                {"connected", session != nullptr},
                                {"inStreamId", session ? session->inStreamId : 0},
                                {"outStreamId", session ? session->outStreamId : 0},
                                {"pending", pending},
                                {"holdingAcks", mailbox.holdAcks},
                                {"logins", mailbox.logins.list()},
                                {"upstreamIds", mailbox.upstreamIds.size()}});
        }
        return json{{"devices", list}};
    });
}

json McsServer::frames() {
    return impl_->onIo([this] { return json{{"frames", impl_->frameLog.list()}}; });
}

void McsServer::clearFrames() {
    impl_->onIo([this] {
        impl_->frameLog.clear();
        return 0;
    });
}

}  // namespace backend
