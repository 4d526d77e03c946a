#pragma once
// The back end: its services on the network core's four loopback listeners
// (HTTP, HTTPS, ws, wss; see http_server.h).
//
// Every request passes the same gate before a handler sees it: admin
// endpoints (every path under /__admin/ but the health check) answer only on
// loopback, only with the run's admin secret in X-Almavel-Admin-Secret (401
// without it, 403 with a wrong one) and never to a page of another origin
// (403 for a foreign Origin header, which also refuses state-changing
// requests to every other endpoint but the recorder's); a body nesting JSON
// deeper than kMaxJsonDepth is refused (400) before anything parses it; and a
// handler that trips over a wrong-typed JSON field answers 400, not 500.
//
// The back end answers one admin route of its own, on both listeners:
//   POST /__admin/connections/clock {"advanceMs": n}   moves the clock the
//        network core measures connections' silence on n ms forward (tests
//        of the idle limit, http_server.h) -> {"aheadMs": total}

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "backend/core/options.h"
#include "backend/core/service.h"

namespace backend {

class WebSocketRouter;
class NetworkCore;

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

    // Creates the data dir (mode 0700) with a process umask of 077, seeds it
    // when asked, loads the certificate, starts the services and binds the
    // four listeners on 127.0.0.1. Once it returns, they accept connections.
    // Throws StartError.
    void start();
    // Stops the services, the listeners and every connection; returns when
    // every thread has finished. Safe to call more than once.
    void stop();

    int httpPort() const { return context_.httpPort(); }
    int httpsPort() const { return context_.httpsPort(); }
    int wsPort() const { return context_.wsPort(); }
    int wssPort() const { return context_.wssPort(); }
    int mcsPort() const { return context_.mcsPort(); }
    Context& context() { return context_; }
    const std::string& adminSecret() const { return context_.adminSecret(); }
    std::vector<std::string> serviceNames() const;
    // Connections open right now, over all listeners.
    std::size_t openConnections() const;

private:
    void dispatch(Request& req, Response& res);
    // Fills `res` and answers false when the gate refuses the request.
    bool admit(const Request& req, Response& res) const;

    Context context_;
    std::vector<std::unique_ptr<Service>> services_;
    HttpRouter httpRouter_, httpsRouter_;
    std::shared_ptr<WebSocketRouter> wsRouter_;
    std::unique_ptr<NetworkCore> core_;
    bool started_ = false;
    bool stopped_ = false;
};

// True when the request carries this run's admin secret (compared in
// constant time).
bool hasAdminSecret(const Request& req, const std::string& secret);

// {"http","https","ws","wss","mcs","pid","adminSecret"}, written atomically
// with mode 0600 (the secret is for the one who started the program).
void writeReadyFile(const std::string& path, int httpPort, int httpsPort, int wsPort, int wssPort, int mcsPort,
                    long pid, const std::string& adminSecret);

}  // namespace backend
