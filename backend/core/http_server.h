#pragma once
// The back end's one network core: the four loopback listeners (http, https,
// ws, wss) on a small fixed pool of I/O threads (Boost.Asio/Beast). Every
// connection is asynchronous, so an idle one costs a socket and a little
// memory, never a thread. HTTP handlers run on a separate bounded worker
// pool, so a handler that waits (the recorder's held answers) never holds
// up an I/O thread.
//
// Limits (see CoreLimits): reading a request head, a body or an upgrade
// request and the TLS handshake each have a time-out; open connections are
// capped, each listener keeping an eighth of the cap for itself and sharing
// the other half, so a flood on one listener leaves the others theirs; a
// connection accepted past its listener's room takes the place of the one
// silent longest, once that one has sent nothing for the web-socket idle
// limit (an HTTP connection waiting for its answer is not silent), or else
// is closed at once, before anything is read. A web socket that has sent
// nothing for half the idle limit is pinged, and one that has sent nothing,
// not even the pong, for the whole limit is closed. Silence is measured on
// the core's clock, the steady clock that advanceClock moves forward for
// tests. A web socket whose queued output passes a bound (its peer stopped
// reading) is ended; running out of descriptors on accept is logged and
// retried after a short pause.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "backend/core/http.h"
#include "backend/core/websocket.h"
#include "database/connection/FConstants.h"

namespace backend {

struct CoreLimits {
    std::chrono::milliseconds requestTimeout{std::chrono::seconds(30)};
    // For the TLS handshake and each request head (an idle keep-alive
    // connection included).
    std::chrono::milliseconds headTimeout{std::chrono::seconds(10)};
    std::size_t maxConnections = 8192;
    // Twice the database client's keep-alive interval: a live client sends
    // within one, or answers the ping sent after half the limit (its
    // keep-alive follows what it sends and receives, so one that only
    // listens may send nothing of its own).
    std::chrono::milliseconds webSocketIdleLimit{std::chrono::seconds(2 * kWebsocketKeepaliveInterval)};
    std::size_t webSocketOutputBytes = 16u * 1024u * 1024u;
    std::size_t maxBodyBytes = 16u * 1024u * 1024u;
    // 0: min(4, hardware threads).
    unsigned ioThreads = 0;
    unsigned handlerThreads = 32;
};

class NetworkCore {
public:
    // Answers one HTTP request (on a handler thread). `tls` tells the
    // listener. The response's status is -1 when no route matched.
    using HttpDispatch = std::function<void(Request& req, Response& res)>;

    NetworkCore(CoreLimits limits, std::string certPath, std::string keyPath);
    ~NetworkCore();
    NetworkCore(const NetworkCore&) = delete;
    NetworkCore& operator=(const NetworkCore&) = delete;

    // Binds the four listeners on 127.0.0.1 (port 0: any free one) and
    // starts serving. Throws std::runtime_error when a port cannot be bound
    // or the certificate cannot be used.
    void start(int httpPort, int httpsPort, int wsPort, int wssPort, HttpDispatch dispatch,
               std::shared_ptr<WebSocketRouter> webSockets);
    // Closes the listeners and every connection, waits for the handlers
    // still running and joins the I/O threads. Safe to call more than once.
    void stop();

    int httpPort() const;
    int httpsPort() const;
    int wsPort() const;
    int wssPort() const;
    // Connections open right now, over all listeners.
    std::size_t openConnections() const;
    // Moves the core's clock forward by `by` (tests of the idle limit), then
    // pings and closes what is now quiet or idle; answers how far the clock
    // is ahead of the steady one. Any thread.
    int64_t advanceClock(std::chrono::milliseconds by);

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace backend
