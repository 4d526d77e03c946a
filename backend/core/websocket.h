#pragma once
// Web sockets on the back end's ws and wss listeners (see http_server.h for
// the listeners themselves). An upgrade request is routed by its path to a
// handler, which runs on the connection's strand and must not block: it
// decides what the connection is, a web socket (open()) or raw bytes
// (openRaw(), for tests that write frames by hand, handshake included), or
// answers it with an HTTP error (reject()). Everything after that is
// asynchronous: callbacks run on the connection's strand, one at a time and
// in order, and the outlet writes from any thread.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace backend {

class WebSocketOutlet;

class WebSocketSession {
public:
    struct Message {
        bool text = true;
        std::string data;
    };

    struct Callbacks {
        // Each message, in order.
        std::function<void(Message&& message)> onMessage;
        // Each time everything that arrived has been handled and the
        // connection would wait for more; work can be batched over a burst
        // of messages. Optional.
        std::function<void()> onIdle;
        // Once, when the connection has ended (after the last message; also
        // when the upgrade failed). Optional.
        std::function<void()> onEnd;
    };

    struct RawCallbacks {
        // Bytes as they arrive (those sent right after the upgrade request
        // included).
        std::function<void(std::string_view bytes)> onBytes;
        // The peer ended its sending direction or the connection failed.
        std::function<void()> onEnd;
    };

    virtual ~WebSocketSession() = default;

    // The upgrade request as received.
    const std::string& target() const { return target_; }
    // The target without its query.
    const std::string& path() const { return path_; }
    // A decoded query parameter, nullopt when absent.
    std::optional<std::string> query(const std::string& name) const;
    // First value of a request header (case-insensitive), "" when absent.
    std::string header(std::string_view name) const;
    const std::vector<std::pair<std::string, std::string>>& headers() const { return headers_; }
    bool tls() const { return tls_; }
    std::string remoteAddress() const { return remoteAddress_; }

    // Completes the upgrade (101) and starts reading. A message longer than
    // `maxMessageBytes` ends the connection with close code 1009.
    virtual void open(Callbacks callbacks, std::size_t maxMessageBytes) = 0;
    // Raw mode: no answer is sent; the outlet's sendRaw() writes bytes.
    virtual void openRaw(RawCallbacks callbacks) = 0;
    // Answers the upgrade request with an HTTP error and a JSON body, then
    // closes.
    virtual void reject(int status, const std::string& jsonBody) = 0;

    // The writer; the same object on every call. It outlives the session
    // safely (it drops what it is given once the connection has ended).
    virtual std::shared_ptr<WebSocketOutlet> outlet() = 0;
    // The close code the peer sent, 0 when none (yet).
    virtual uint16_t closeCode() const = 0;
    // Payloads of the pongs received so far.
    virtual std::vector<std::string> pongs() const = 0;

protected:
    std::string target_, path_, remoteAddress_;
    std::vector<std::pair<std::string, std::string>> headers_;
    std::map<std::string, std::string> query_;
    bool tls_ = false;
};

// Writes to a session from any thread; thread-safe. What is queued goes out
// in the order queued. A connection whose queued output passes the server's
// bound (the peer stopped reading) is ended.
class WebSocketOutlet {
public:
    virtual ~WebSocketOutlet() = default;
    // Queues a message. False once the connection has ended, a close was
    // asked for, or the output bound was passed (the connection then ends).
    virtual bool send(WebSocketSession::Message message) = 0;
    // One frame of a message sent in pieces; the first piece's `text` counts.
    virtual bool sendFragment(bool text, std::string data, bool fin) = 0;
    virtual bool ping(std::string payload) = 0;
    // After everything queued: a close frame with the code and reason; the
    // connection ends when the peer answers (or after a few seconds).
    virtual void close(uint16_t code, std::string reason) = 0;
    // Ends the TCP connection now, without a close frame; what is queued is
    // dropped.
    virtual void abort() = 0;
    // Raw mode and tests: bytes straight on the connection, and the end of
    // the sending direction (TCP FIN) without a close frame.
    virtual bool sendRaw(std::string bytes) = 0;
    virtual void endSend() = 0;
    virtual bool ended() const = 0;
};

using SessionPtr = std::shared_ptr<WebSocketSession>;
// Runs on the connection's strand; must not block.
using WebSocketHandler = std::function<void(const SessionPtr& session)>;

// Handlers by path: an exact path, or a prefix when the route ends in "*"
// ("/.ws" or "/fault/*"). The longest matching route wins.
class WebSocketRouter {
public:
    void add(std::string route, WebSocketHandler handler);
    std::optional<WebSocketHandler> find(const std::string& path) const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, WebSocketHandler> routes_;
};

}  // namespace backend
