#pragma once
// The back end's two loopback listeners (HTTP and HTTPS) and the services
// installed on both.

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "backend/options.h"
#include "backend/service.h"

namespace httplib {
class Server;
class SSLServer;
}  // namespace httplib

namespace backend {

class WebSocketRouter;
class WebSocketServer;

// A start-up failure with a message meant for the person running the program.
class StartError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class BackendServer {
public:
    explicit BackendServer(Options options);
    ~BackendServer();
    BackendServer(const BackendServer&) = delete;
    BackendServer& operator=(const BackendServer&) = delete;

    // Services are installed in the order added; add them before start().
    void add(std::unique_ptr<Service> service);

    // Creates the data dir, seeds it when asked, loads the certificate,
    // starts the services and binds both listeners on 127.0.0.1. Once it
    // returns, both listeners accept connections. Throws StartError.
    void start();
    // Stops the services and both listeners; returns when every worker has
    // finished. Safe to call more than once.
    void stop();

    int httpPort() const { return context_.httpPort(); }
    int httpsPort() const { return context_.httpsPort(); }
    int wsPort() const { return context_.wsPort(); }
    int wssPort() const { return context_.wssPort(); }
    Context& context() { return context_; }
    std::vector<std::string> serviceNames() const;

private:
    void configure(httplib::Server& server, const Listener& listener);

    Context context_;
    std::vector<std::unique_ptr<Service>> services_;
    std::unique_ptr<httplib::Server> http_;
    std::unique_ptr<httplib::SSLServer> https_;
    std::thread httpThread_;
    std::thread httpsThread_;
    std::shared_ptr<WebSocketRouter> wsRouter_;
    std::unique_ptr<WebSocketServer> ws_;
    bool started_ = false;
    bool stopped_ = false;
};

// Adds every service this back end offers, in a fixed order.
void addBuiltinServices(BackendServer& server);

// {"http":port,"https":port,"pid":pid}, written atomically.
void writeReadyFile(const std::string& path, int httpPort, int httpsPort, long pid);
// The same with the web-socket ports: {"http","https","ws","wss","pid"}.
void writeReadyFile(const std::string& path, int httpPort, int httpsPort, int wsPort, int wssPort, long pid);

}  // namespace backend
