#pragma once
// A raw wire-protocol client for the realtime database server's tests: a
// Boost.Beast web socket that speaks the protocol's JSON by hand (count
// frames included), plus helpers for the back end's admin endpoints.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <deque>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "testing/backend.h"
#include "testing/websocket_close.h"

namespace rtdbtest {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using tcp = net::ip::tcp;
using json = nlohmann::json;

// Reads fail after this long without a frame, so a missing answer fails the
// test instead of hanging it.
constexpr int kReadTimeoutSeconds = 20;

class WireClient {
public:
    // A server that closes while a request is being written must fail the
    // test, not end the process.
    static void ignoreBrokenPipes() {
        static const bool ignored = [] {
            ::signal(SIGPIPE, SIG_IGN);
            return true;
        }();
        (void)ignored;
    }

    // Connects to the ws port with the Host header a client of
    // "<ns>.almavel.localhost:<port>" sends; `query` is appended to "/.ws?".
    static std::unique_ptr<WireClient> connect(int port, const std::string& query = "v=5&ns=demo",
                                               const std::string& hostName = "demo.almavel.localhost") {
        ignoreBrokenPipes();
        auto client = std::unique_ptr<WireClient>(new WireClient());
        tcp::resolver resolver(client->io_);
        net::connect(client->ws_.next_layer(), resolver.resolve("127.0.0.1", std::to_string(port)));
        client->fd_ = client->ws_.next_layer().native_handle();
        client->host_ = hostName + ":" + std::to_string(port);
        client->ws_.read_message_max(64u * 1024u * 1024u);
        client->ws_.handshake(client->host_, "/.ws?" + query);
        return client;
    }

    const std::string& host() const { return host_; }

    // One frame as text; nullopt once the connection ended (ending() then
    // tells how).
    std::optional<std::string> readFrame() {
        beast::flat_buffer buffer;
        beast::error_code ec;
        arm();
        ws_.read(buffer, ec);
        disarm();
        if (timedOut_.load()) ADD_FAILURE() << "no frame from the server in " << kReadTimeoutSeconds << " s";
        if (ec) {
            ended_ = ec;
            return std::nullopt;
        }
        return beast::buffers_to_string(buffer.data());
    }

    // The next packet, count frames joined; nullopt at the end.
    std::optional<json> readPacket() {
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

    // The handshake's data ({"ts","h","s","v"}).
    json readHandshake() {
        auto packet = readPacket();
        if (!packet) throw std::runtime_error("no handshake");
        EXPECT_EQ((*packet)["t"], "c");
        EXPECT_EQ((*packet)["d"]["t"], "h");
        return (*packet)["d"]["d"];
    }

    void sendText(const std::string& text) {
        ws_.text(true);
        ws_.write(net::buffer(text));
    }
    void sendBinary(const std::string& bytes) {
        ws_.binary(true);
        ws_.write(net::buffer(bytes));
    }

    // Sends {"t":"d","d":{"r","a","b"}} and answers the request number.
    int64_t send(const std::string& action, const json& body) {
        const int64_t r = next_++;
        sendText(json{{"t", "d"}, {"d", {{"r", r}, {"a", action}, {"b", body}}}}.dump());
        return r;
    }

    // Reads up to the answer of request `r`; the pushes met on the way are
    // appended to `pushes` ({"a","b"}). Throws when the connection ends.
    json answerTo(int64_t r, std::vector<json>* pushes = nullptr) {
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

    // Sends and waits for the answer.
    json call(const std::string& action, const json& body, std::vector<json>* pushes = nullptr) {
        return answerTo(send(action, body), pushes);
    }

    // The next packet must be a push; answers it.
    json nextPush() {
        auto packet = readPacket();
        if (!packet) throw std::runtime_error("the connection ended before a push");
        EXPECT_EQ((*packet)["t"], "d") << packet->dump();
        EXPECT_FALSE((*packet)["d"].contains("r")) << packet->dump();
        return (*packet)["d"];
    }

    // Reads until the connection ends; answers how it ended.
    ns::testing::WebSocketClose readToEnd() {
        while (readFrame()) {
        }
        return ending();
    }
    // How the connection ended so far: the server's close frame, if one
    // arrived (answering it may still fail when the server is already gone).
    ns::testing::WebSocketClose ending() const {
        const auto& reason = ws_.reason();
        ns::testing::WebSocketClose close{int64_t(reason.code)};
        if (!reason.reason.empty()) close.reason = std::string(reason.reason.data(), reason.reason.size());
        close.clean = ended_ == websocket::error::closed || reason.code != websocket::close_code::none;
        return close;
    }

    void close() {
        beast::error_code ec;
        ws_.close(websocket::close_code::normal, ec);
        // Drains up to the server's answer to the close frame.
        beast::flat_buffer buffer;
        while (!ec) ws_.read(buffer, ec);
    }

    // Ends TCP without a close frame.
    void drop() {
        beast::error_code ec;
        ws_.next_layer().shutdown(tcp::socket::shutdown_both, ec);
        ws_.next_layer().close(ec);
    }

    int lastFrameCount() const { return lastFrameCount_; }

    ~WireClient() {
        {
            std::lock_guard lock(watchMutex_);
            stopWatching_ = true;
        }
        watchWake_.notify_all();
        watchdog_.join();
    }

private:
    WireClient() : ws_(io_), watchdog_([this] { watch(); }) {}

    // Asio's blocking reads wait through socket time-outs, so a watchdog
    // ends a read that waits too long by shutting the socket down.
    void arm() {
        std::lock_guard lock(watchMutex_);
        deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(kReadTimeoutSeconds);
        watchWake_.notify_all();
    }
    void disarm() {
        std::lock_guard lock(watchMutex_);
        deadline_.reset();
    }
    void watch() {
        std::unique_lock lock(watchMutex_);
        while (!stopWatching_) {
            if (!deadline_) {
                watchWake_.wait(lock);
                continue;
            }
            const auto when = *deadline_;
            if (std::chrono::steady_clock::now() < when) {
                watchWake_.wait_until(lock, when);
                continue;
            }
            timedOut_ = true;
            deadline_.reset();
            ::shutdown(fd_, SHUT_RDWR);
        }
    }

    net::io_context io_;
    websocket::stream<tcp::socket> ws_;
    std::string host_;
    int64_t next_ = 1;
    std::deque<json> stash_;
    beast::error_code ended_;
    int lastFrameCount_ = 0;
    int fd_ = -1;
    std::mutex watchMutex_;
    std::condition_variable watchWake_;
    std::optional<std::chrono::steady_clock::time_point> deadline_;
    bool stopWatching_ = false;
    std::atomic<bool> timedOut_{false};
    std::thread watchdog_;
};

// Admin helpers over the back end's HTTP listener.
inline json adminGet(const ns::testing::Backend& backend, const std::string& path) {
    auto reply = backend.get(path);
    if (reply.status != 200) throw std::runtime_error("GET " + path + ": " + std::to_string(reply.status) + " " + reply.body);
    return json::parse(reply.body);
}

inline json adminPost(const ns::testing::Backend& backend, const std::string& path, const json& body) {
    auto reply = backend.post(path, body.dump());
    if (reply.status != 200) {
        throw std::runtime_error("POST " + path + ": " + std::to_string(reply.status) + " " + reply.body);
    }
    return json::parse(reply.body);
}

inline json counters(const ns::testing::Backend& backend, const std::string& ns = "demo") {
    return adminGet(backend, "/__admin/rtdb/counters?ns=" + ns);
}

inline int64_t counter(const json& all, const std::string& group, const std::string& name) {
    if (!all.contains(group) || !all[group].contains(name)) return 0;
    return all[group][name].get<int64_t>();
}

inline json data(const ns::testing::Backend& backend, const std::string& path, const std::string& ns = "demo") {
    return adminGet(backend, "/__admin/rtdb/data?ns=" + ns + "&path=" + path)["data"];
}

inline void setData(const ns::testing::Backend& backend, const std::string& path, const json& value,
                    const std::string& ns = "demo") {
    adminPost(backend, "/__admin/rtdb/data?ns=" + ns + "&path=" + path, json{{"data", value}});
}

// Waits (real time, generously) until `predicate` holds; for conditions the
// server reaches on its own threads.
template <class Predicate>
bool eventually(Predicate predicate, double seconds = 20) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (predicate()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return predicate();
}

}  // namespace rtdbtest
