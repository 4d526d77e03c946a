#pragma once
// What the web-socket tests share: a delegate that records every call, waits
// on real time for asynchronous results, and the back end's raw-frame
// endpoint.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "database/connection/FSRWebSocket.h"
#include "platform/crypto.h"
#include "testing/backend.h"
#include "testing/websocket_close.h"

namespace wstest {

using CloseRecord = ns::testing::WebSocketClose;
using ns::testing::closePayload;
using ns::testing::endedOnceWith;

class Recorder : public FSRWebSocketDelegate {
public:
    // Real time allowed for anything asynchronous to happen.
    static constexpr double kWaitSeconds = 30;

    bool respondsTo(FSRWebSocketDelegateCall call) const override {
        return !onlyMessages || call == FSRWebSocketDelegateCall::DidReceiveMessage;
    }
    void webSocket(const std::shared_ptr<FSRWebSocket>&, const ns::Value& message) override {
        record([&] { messages.push_back(message); });
    }
    void webSocketDidOpen(const std::shared_ptr<FSRWebSocket>&) override {
        record([&] { ++opens; });
    }
    void webSocket(const std::shared_ptr<FSRWebSocket>&, const ns::ErrorRef& error) override {
        record([&] { errors.push_back(error); });
    }
    void webSocket(const std::shared_ptr<FSRWebSocket>&, int64_t code, const std::optional<std::string>& reason,
                   bool wasClean) override {
        record([&] { closes.push_back({code, reason, wasClean}); });
    }

    // Waits until `done` (called under the lock) holds.
    // The condition may watch state that changes without a delegate call
    // (a socket going away), so it is also looked at every few milliseconds.
    template <class Pred>
    bool waitFor(Pred done, double seconds = kWaitSeconds) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        std::unique_lock lock(mutex);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            cv.wait_for(lock, std::chrono::milliseconds(5));
        }
        return true;
    }
    bool waitOpen() {
        return waitFor([&] { return opens > 0 || !errors.empty() || !closes.empty(); }) && opens > 0;
    }
    bool waitClosedOrFailed() {
        return waitFor([&] { return !closes.empty() || !errors.empty(); });
    }
    bool waitMessages(size_t n) {
        return waitFor([&] { return messages.size() >= n || !closes.empty() || !errors.empty(); }) &&
               messages.size() >= n;
    }

    // What happened so far, for failure messages.
    std::string describe() {
        std::lock_guard lock(mutex);
        std::string out = "opens=" + std::to_string(opens) + " messages=" + std::to_string(messages.size());
        for (const auto& e : errors) out += " error=" + e->description();
        for (const auto& c : closes) {
            out += " close=" + std::to_string(c.code) + "/" + c.reason.value_or("(nil)") + (c.clean ? "/clean" : "");
        }
        return out;
    }

    template <class F>
    auto locked(F f) {
        std::lock_guard lock(mutex);
        return f();
    }

    bool onlyMessages = false;
    std::mutex mutex;
    std::condition_variable cv;
    int opens = 0;
    std::vector<ns::Value> messages;
    std::vector<ns::ErrorRef> errors;
    std::vector<CloseRecord> closes;

private:
    template <class F>
    void record(F f) {
        {
            std::lock_guard lock(mutex);
            f();
        }
        cv.notify_all();
    }
};

// A socket to `url` whose delegate calls run on a queue of their own.
struct Client {
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    ns::DispatchQueuePtr queue = ns::DispatchQueue::serial("test.websocket.delegate");
    std::shared_ptr<FSRWebSocket> socket;

    explicit Client(const std::string& url, std::optional<std::vector<std::string>> protocols = std::nullopt) {
        socket = FSRWebSocket::make(ns::URLRequest(url), std::move(protocols), queue, std::string("AlmavelTest/1.0"));
        socket->setDelegate(recorder);
    }
    Client(const ns::URLRequest& request) {
        socket = FSRWebSocket::make(request, std::nullopt, queue, std::nullopt);
        socket->setDelegate(recorder);
    }
};

inline std::string hex(std::string_view bytes) {
    return ns::crypto::hex(ns::Data(bytes.begin(), bytes.end()));
}

// A server frame (never masked) as hex.
inline std::string frame(uint8_t b0, std::string_view payload) {
    std::string out;
    out += char(b0);
    if (payload.size() < 126) {
        out += char(payload.size());
    } else if (payload.size() <= 0xFFFF) {
        out += char(126);
        out += char(payload.size() >> 8);
        out += char(payload.size() & 0xFF);
    } else {
        out += char(127);
        for (int i = 7; i >= 0; --i) out += char((uint64_t(payload.size()) >> (8 * i)) & 0xFF);
    }
    out += payload;
    return hex(out);
}

// The back end's raw-frame endpoint for one connection.
class Fault {
public:
    Fault(ns::testing::Backend& backend, std::string id) : backend_(backend), id_(std::move(id)) {}

    std::string url(const std::string& query = "", bool tls = false) const {
        const int port = tls ? backend_.wssPort() : backend_.wsPort();
        return std::string(tls ? "wss" : "ws") + "://fault.localhost:" + std::to_string(port) + "/fault/" + id_ +
               (query.empty() ? "" : "?" + query);
    }
    std::string path() const { return "/fault/" + id_; }
    nlohmann::json state() const {
        auto reply = backend_.get("/__admin/ws/fault/" + id_);
        EXPECT_EQ(reply.status, 200) << reply.error;
        return nlohmann::json::parse(reply.body);
    }
    void send(const std::string& hexBytes) const {
        auto reply = backend_.post("/__admin/ws/fault/" + id_ + "/send", hexBytes, "text/plain");
        EXPECT_EQ(reply.status, 200) << reply.body;
    }
    void end() const {
        auto reply = backend_.post("/__admin/ws/fault/" + id_ + "/end", "", "text/plain");
        EXPECT_EQ(reply.status, 200) << reply.body;
    }
    // Polls the back end until `done(state)` holds.
    template <class Pred>
    nlohmann::json waitState(Pred done, double seconds = Recorder::kWaitSeconds) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        nlohmann::json s = state();
        while (!done(s) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            s = state();
        }
        return s;
    }
    nlohmann::json waitFrames(size_t n) const {
        return waitState([n](const nlohmann::json& s) { return s["frames"].size() >= n || s["finished"].get<bool>(); });
    }
    nlohmann::json waitFinished() const {
        return waitState([](const nlohmann::json& s) { return s["finished"].get<bool>(); });
    }

private:
    ns::testing::Backend& backend_;
    std::string id_;
};

// The close frame a client sent: code and reason from a frame record.
inline std::pair<int, std::string> closeOf(const nlohmann::json& frameRecord) {
    auto bytes = ns::crypto::hexDecode(frameRecord["payload"].get<std::string>()).value_or(ns::Data{});
    return ns::testing::parseClosePayload(std::string(bytes.begin(), bytes.end()));
}

}  // namespace wstest
