#pragma once
// The back end's web-socket listeners (ws and wss on loopback, Boost.Beast).
// An upgrade request is routed by its path to a handler, which runs on a
// thread of its own for the life of the connection and decides what the
// connection is: a web socket (accept() and then messages) or raw bytes
// (for tests that write frames by hand, handshake included).

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

    // Completes the upgrade (101 with the accept value). False when it failed.
    virtual bool accept() = 0;
    // The next message; nullopt once the connection is closed (closeCode()
    // then tells the code the peer sent, 0 when none).
    virtual std::optional<Message> read() = 0;
    virtual bool send(const Message& message) = 0;
    // One frame of a message sent in pieces; the first piece's `text` counts.
    virtual bool sendFragment(bool text, std::string_view data, bool fin) = 0;
    virtual bool ping(std::string_view payload) = 0;
    virtual bool close(uint16_t code, std::string_view reason) = 0;
    virtual uint16_t closeCode() const = 0;
    // Payloads of the pongs received so far.
    virtual std::vector<std::string> pongs() const = 0;
    // Called whenever a pong arrives (on the session's thread).
    virtual void setPongHandler(std::function<void(const std::string&)> handler) = 0;

    // Raw mode (instead of accept()): bytes straight on the connection.
    virtual bool writeRaw(std::string_view bytes) = 0;
    // Up to `max` bytes; 0 at the end of the stream or on error.
    virtual size_t readRaw(char* buffer, size_t max) = 0;
    // Ends the sending direction (TCP FIN) without a close frame.
    virtual void endRaw() = 0;
    // True when readRaw would not block (bytes or the end are there),
    // waiting at most `timeoutMs`.
    virtual bool waitReadable(int timeoutMs) = 0;

    // Full duplex (instead of read() and send()), after accept(): runs the
    // connection on this thread until it ends, calling `onMessage` here for
    // each message in order, while outlet() writes from any thread. Each
    // time everything that arrived has been handled and the thread would
    // wait, `onIdle` (when given) runs here first, so work can be batched
    // over a burst of messages. A message longer than `maxMessageBytes` ends
    // the connection with close code 1009. Returns once the connection has
    // ended (the peer's close, an error, the outlet's close or abort, the
    // server stopping).
    virtual void runDuplex(const std::function<void(Message&& message)>& onMessage,
                           const std::function<void()>& onIdle, size_t maxMessageBytes) = 0;
    // The writer of duplex mode; the same object on every call. It outlives
    // the session safely (it drops what it is given once the connection
    // has ended).
    virtual std::shared_ptr<WebSocketOutlet> outlet() = 0;

protected:
    std::string target_, path_;
    std::vector<std::pair<std::string, std::string>> headers_;
    std::map<std::string, std::string> query_;
    bool tls_ = false;
};

// Writes to a session in duplex mode from any thread; thread-safe.
class WebSocketOutlet {
public:
    virtual ~WebSocketOutlet() = default;
    // Queues a message; queued messages go out in the order queued. False
    // once the connection has ended or a close was asked for.
    virtual bool send(WebSocketSession::Message message) = 0;
    // After everything queued: a close frame with the code and reason; the
    // connection ends when the peer answers (or after a few seconds).
    virtual void close(uint16_t code, std::string reason) = 0;
    // Ends the TCP connection now, without a close frame; what is queued is
    // dropped.
    virtual void abort() = 0;
    virtual bool ended() const = 0;
};

using WebSocketHandler = std::function<void(WebSocketSession&)>;

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

class WebSocketServer {
public:
    WebSocketServer(std::shared_ptr<WebSocketRouter> router, std::string certPath, std::string keyPath);
    ~WebSocketServer();
    WebSocketServer(const WebSocketServer&) = delete;
    WebSocketServer& operator=(const WebSocketServer&) = delete;

    // Binds both listeners on 127.0.0.1 (port 0: any free port) and starts
    // accepting. Throws std::runtime_error when a port cannot be bound or
    // the certificate cannot be used.
    void start(int wsPort, int wssPort);
    // Closes the listeners and every connection; returns when every
    // connection thread has finished.
    void stop();
    int wsPort() const;
    int wssPort() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace backend
