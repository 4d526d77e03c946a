#pragma once
// A raw wire-protocol client for the realtime database server's tests: a
// Boost.Beast web socket that speaks the protocol's JSON by hand (count
// frames included), plus helpers for the back end's admin endpoints.
// The client's web socket lives in rtdb_test_support.cpp, so the test files
// that include this header do not each compile Beast's templates.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <deque>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "testing/backend.h"
#include "testing/websocket_close.h"

namespace rtdbtest {

using json = nlohmann::json;

// Reads fail after this long without a frame, so a missing answer fails the
// test instead of hanging it.
constexpr int kReadTimeoutSeconds = 20;

class WireClient {
public:
    // A server that closes while a request is being written must fail the
    // test, not end the process.
    static void ignoreBrokenPipes();

    // Connects to the ws port with the Host header a client of
    // "<ns>.almavel.localhost:<port>" sends; `query` is appended to "/.ws?".
    static std::unique_ptr<WireClient> connect(int port, const std::string& query = "v=5&ns=demo",
                                               const std::string& hostName = "demo.almavel.localhost");

    const std::string& host() const { return host_; }

    // One frame as text; nullopt once the connection ended (ending() then
    // tells how).
    std::optional<std::string> readFrame();

    // The next packet, count frames joined; nullopt at the end.
    std::optional<json> readPacket();

    // The handshake's data ({"ts","h","s","v"}).
    json readHandshake();

    void sendText(const std::string& text);
    void sendBinary(const std::string& bytes);

    // Sends {"t":"d","d":{"r","a","b"}} and answers the request number.
    int64_t send(const std::string& action, const json& body);

    // Reads up to the answer of request `r`; the pushes met on the way are
    // appended to `pushes` ({"a","b"}). Throws when the connection ends.
    json answerTo(int64_t r, std::vector<json>* pushes = nullptr);

    // Sends and waits for the answer.
    json call(const std::string& action, const json& body, std::vector<json>* pushes = nullptr) {
        return answerTo(send(action, body), pushes);
    }

    // The next packet must be a push; answers it.
    json nextPush();

    // Reads until the connection ends; answers how it ended.
    ns::testing::WebSocketClose readToEnd();
    // How the connection ended so far: the server's close frame, if one
    // arrived (answering it may still fail when the server is already gone).
    ns::testing::WebSocketClose ending() const;

    void close();

    // Ends TCP without a close frame.
    void drop();

    int lastFrameCount() const { return lastFrameCount_; }

    ~WireClient();

private:
    struct Socket;

    WireClient();

    std::unique_ptr<Socket> socket_;
    std::string host_;
    int64_t next_ = 1;
    std::deque<json> stash_;
    int lastFrameCount_ = 0;
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
