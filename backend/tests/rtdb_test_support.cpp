#include "rtdb_test_support.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cctype>

namespace rtdbtest {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using tcp = net::ip::tcp;

// The web socket and the watchdog that ends a read waiting too long: Asio's
// blocking reads wait through socket time-outs, so the watchdog shuts the
// socket down instead.
struct WireClient::Socket {
    Socket() : ws(io), watchdog([this] { watch(); }) {}

    ~Socket() {
        {
            std::lock_guard lock(watchMutex);
            stopWatching = true;
        }
        watchWake.notify_all();
        watchdog.join();
    }

    void arm() {
        std::lock_guard lock(watchMutex);
        deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kReadTimeoutSeconds);
        watchWake.notify_all();
    }
    void disarm() {
        std::lock_guard lock(watchMutex);
        deadline.reset();
    }
    void watch() {
        std::unique_lock lock(watchMutex);
        while (!stopWatching) {
            if (!deadline) {
                watchWake.wait(lock);
                continue;
            }
            const auto when = *deadline;
            if (std::chrono::steady_clock::now() < when) {
                watchWake.wait_until(lock, when);
                continue;
            }
            timedOut = true;
            deadline.reset();
            ::shutdown(fd, SHUT_RDWR);
        }
    }

    net::io_context io;
    websocket::stream<tcp::socket> ws;
    beast::error_code ended;
    int fd = -1;
    std::mutex watchMutex;
    std::condition_variable watchWake;
    std::optional<std::chrono::steady_clock::time_point> deadline;
    bool stopWatching = false;
    std::atomic<bool> timedOut{false};
    std::thread watchdog;
};

WireClient::WireClient() : socket_(std::make_unique<Socket>()) {}

WireClient::~WireClient() = default;

void WireClient::ignoreBrokenPipes() {
    static const bool ignored = [] {
        ::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)ignored;
}

std::unique_ptr<WireClient> WireClient::connect(int port, const std::string& query, const std::string& hostName) {
    ignoreBrokenPipes();
    auto client = std::unique_ptr<WireClient>(new WireClient());
    auto& ws = client->socket_->ws;
    tcp::resolver resolver(client->socket_->io);
    net::connect(ws.next_layer(), resolver.resolve("127.0.0.1", std::to_string(port)));
    client->socket_->fd = ws.next_layer().native_handle();
    client->host_ = hostName + ":" + std::to_string(port);
    ws.read_message_max(64u * 1024u * 1024u);
    ws.handshake(client->host_, "/.ws?" + query);
    return client;
}

std::optional<std::string> WireClient::readFrame() {
    beast::flat_buffer buffer;
    beast::error_code ec;
    socket_->arm();
    socket_->ws.read(buffer, ec);
    socket_->disarm();
    if (socket_->timedOut.load()) ADD_FAILURE() << "no frame from the server in " << kReadTimeoutSeconds << " s";
    if (ec) {
        socket_->ended = ec;
        return std::nullopt;
    }
    return beast::buffers_to_string(buffer.data());
}

std::optional<json> WireClient::readPacket() {
    if (!stash_.empty()) {
        json next = std::move(stash_.front());
        stash_.pop_front();
        return next;
    }
    auto frame = readFrame();
    if (!frame) return std::nullopt;
    if (frame->size() <= 4 && !frame->empty() && std::isdigit(uint8_t((*frame)[0]))) {
        int count = std::stoi(*frame);
        std::string text;
        for (int i = 0; i < count; ++i) {
            auto piece = readFrame();
            if (!piece) return std::nullopt;
            text += *piece;
        }
        lastFrameCount_ = count;
        return json::parse(text);
    }
    lastFrameCount_ = 0;
    return json::parse(*frame);
}

json WireClient::readHandshake() {
    auto packet = readPacket();
    if (!packet) throw std::runtime_error("no handshake");
    EXPECT_EQ((*packet)["t"], "c");
    EXPECT_EQ((*packet)["d"]["t"], "h");
    return (*packet)["d"]["d"];
}

void WireClient::sendText(const std::string& text) {
    socket_->ws.text(true);
    socket_->ws.write(net::buffer(text));
}

void WireClient::sendBinary(const std::string& bytes) {
    socket_->ws.binary(true);
    socket_->ws.write(net::buffer(bytes));
}

int64_t WireClient::send(const std::string& action, const json& body) {
    const int64_t r = next_++;
    sendText(json{{"t", "d"}, {"d", {{"r", r}, {"a", action}, {"b", body}}}}.dump());
    return r;
}

json WireClient::answerTo(int64_t r, std::vector<json>* pushes) {
    while (true) {
        auto packet = readPacket();
        if (!packet) throw std::runtime_error("the connection ended before the answer to " + std::to_string(r));
        const json& d = (*packet)["d"];
        if ((*packet)["t"] == "d" && d.contains("r")) {
            if (d["r"] == r) return d["b"];
            ADD_FAILURE() << "answer out of order: expected " << r << ", got " << d.dump();
            continue;
        }
        if (pushes) pushes->push_back(d);
    }
}

json WireClient::nextPush() {
    auto packet = readPacket();
    if (!packet) throw std::runtime_error("the connection ended before a push");
    EXPECT_EQ((*packet)["t"], "d") << packet->dump();
    EXPECT_FALSE((*packet)["d"].contains("r")) << packet->dump();
    return (*packet)["d"];
}

ns::testing::WebSocketClose WireClient::readToEnd() {
    while (readFrame()) {
    }
    return ending();
}

ns::testing::WebSocketClose WireClient::ending() const {
    const auto& reason = socket_->ws.reason();
    ns::testing::WebSocketClose close{int64_t(reason.code)};
    if (!reason.reason.empty()) close.reason = std::string(reason.reason.data(), reason.reason.size());
    close.clean = socket_->ended == websocket::error::closed || reason.code != websocket::close_code::none;
    return close;
}

void WireClient::close() {
    beast::error_code ec;
    socket_->ws.close(websocket::close_code::normal, ec);
    // Drains up to the server's answer to the close frame.
    beast::flat_buffer buffer;
    while (!ec) socket_->ws.read(buffer, ec);
}

void WireClient::drop() {
    beast::error_code ec;
    socket_->ws.next_layer().shutdown(tcp::socket::shutdown_both, ec);
    socket_->ws.next_layer().close(ec);
}

}  // namespace rtdbtest
