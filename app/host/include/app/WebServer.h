#pragma once
// The browser page's own small HTTP server (Boost.Beast, asynchronous): it
// listens on 127.0.0.1 and answers only requests whose Host names the loopback
// (127.0.0.1, localhost or [::1], with this server's port or none), so a page
// of another site cannot read it through DNS rebinding. One I/O thread carries
// every connection, including the event-stream listeners: an idle connection
// costs no thread. Reading a request and writing an answer or event each have
// a time-out, open connections are capped (over the cap a connection gets a
// 503 and is closed at once), a connection's socket is closed as soon as it
// ends, and stop() closes every connection and joins the thread.
//
// Any thread may call eventsChanged(); start() and stop() come from one
// owning thread.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace almavel {

struct WebServerLimits {
    // For reading a request's head and body, and for writing an answer or an
    // event; a peer slower than this is cut off.
    std::chrono::milliseconds ioTimeout{10'000};
    // How long a route may take to answer before the server answers 503.
    std::chrono::milliseconds answerTimeout{30'000};
    // An event-stream listener hears at least this often that it is alive.
    std::chrono::milliseconds keepAlive{15'000};
    std::size_t maxConnections = 256;
    // Larger bodies are refused; the largest the page sends is a camera
    // picture.
    std::size_t maxBodyBytes = 16 * 1024 * 1024;
};

class WebServer {
public:
    struct Request {
        std::string method;
        std::string target;
        std::string path;  // the target without its query
        std::string origin;  // the Origin header, "" when there is none
        std::string body;
    };
    struct Response {
        int status = 200;
        std::string contentType = "text/plain";
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;
    };
    // Hands the answer back from any thread, at most once; an answer for a
    // connection that has ended is dropped.
    using Respond = std::function<void(Response)>;
    // Runs on the I/O thread, so it must not block: slow work answers later
    // through `respond`.
    using Handler = std::function<void(Request request, Respond respond)>;
    // The event stream's message for the present state, with a stamp that
    // changes whenever the message would; a listener is sent the message
    // when the stamp differs from the one it was last sent. I/O thread.
    struct Event {
        uint64_t stamp = 0;
        std::string message;
    };
    using EventFeed = std::function<Event()>;

    // GET `eventsPath` opens an event stream fed by `feed`; every other
    // request goes to `handler`.
    WebServer(WebServerLimits limits, Handler handler, std::string eventsPath, EventFeed feed);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Listens on 127.0.0.1:`port` (0: any free port) and returns the port.
    // Throws std::runtime_error when the port cannot be had.
    int start(int port);
    void stop();

    // Wakes every event-stream listener to look at the feed.
    void eventsChanged();

    std::size_t openConnections() const;

    // Whether a request's Host value names this server on the loopback:
    // 127.0.0.1, localhost or [::1], with `port` or no port.
    static bool isLoopbackHost(std::string_view host, int port);

    struct Core;

private:
    std::shared_ptr<Core> core_;
};

}  // namespace almavel
