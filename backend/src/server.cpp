#include "backend/server.h"

#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "backend/http_util.h"
#include "backend/sample_data.h"
#include "backend/websocket.h"

namespace backend {

namespace fs = std::filesystem;

namespace {

// Every open connection occupies a worker for its whole life (keep-alive
// included), and held recorder requests keep theirs, so the pool is far
// larger than cpp-httplib's default of about one per core.
constexpr size_t kWorkersPerListener = 48;

constexpr const char* kLoopback = "127.0.0.1";

bool isLoopbackAddress(const std::string& address) {
    return address.rfind("127.", 0) == 0 || address == "::1" || address.rfind("::ffff:127.", 0) == 0;
}

std::string statusText(int status) {
    switch (status) {
    case 400: return "bad request";
    case 403: return "forbidden";
    case 404: return "not found";
    case 405: return "method not allowed";
    case 408: return "request timed out";
    case 413: return "request body too large (limit " + std::to_string(kMaxBodyBytes) + " bytes)";
    case 414: return "request target too long";
    case 415: return "unsupported media type";
    case 416: return "range not satisfiable";
    case 500: return "internal error";
    default: return "HTTP error " + std::to_string(status);
    }
}

int bindListener(httplib::Server& server, int port, const char* what) {
    errno = 0;
    int bound = port == 0 ? server.bind_to_any_port(kLoopback) : (server.bind_to_port(kLoopback, port) ? port : -1);
    if (bound <= 0) {
        int error = errno;
        throw StartError(std::string("cannot listen on ") + kLoopback + ":" + std::to_string(port) + " for " + what +
                         (error ? std::string(": ") + std::strerror(error) : std::string()));
    }
    return bound;
}

}  // namespace

BackendServer::BackendServer(Options options) : context_(std::move(options)) {}

BackendServer::~BackendServer() { stop(); }

void BackendServer::add(std::unique_ptr<Service> service) {
    if (started_) throw std::logic_error("services must be added before the back end starts");
    services_.push_back(std::move(service));
}

std::vector<std::string> BackendServer::serviceNames() const {
    std::vector<std::string> names;
    for (const auto& s : services_) names.push_back(s->name());
    return names;
}

void BackendServer::start() {
    if (started_) throw std::logic_error("the back end is already started");
    const Options& options = context_.options();
    const fs::path& dataDir = context_.dataDir();
    if (dataDir.empty()) throw StartError("--data-dir is required");

    std::error_code ec;
    fs::create_directories(dataDir, ec);
    if (ec || !fs::is_directory(dataDir)) {
        throw StartError("cannot create the data dir " + dataDir.string() + (ec ? ": " + ec.message() : ""));
    }
    if (::access(dataDir.c_str(), W_OK) != 0) {
        throw StartError("the data dir " + dataDir.string() + " is not writable");
    }
    if (options.seed) {
        try {
            seedDataDir(dataDir, options.sampleDataDir);
        } catch (const std::exception& e) {
            throw StartError(std::string("cannot seed the data dir: ") + e.what());
        }
    }

    for (const auto& [path, what] : {std::pair{options.certPath, "certificate"}, {options.keyPath, "private key"}}) {
        if (::access(path.c_str(), R_OK) != 0) {
            throw StartError(std::string("cannot read the ") + what + " " + path + ": " + std::strerror(errno));
        }
    }
    auto https = std::make_unique<httplib::SSLServer>(options.certPath.c_str(), options.keyPath.c_str());
    if (!https->is_valid()) {
        throw StartError("cannot use the certificate " + options.certPath + " with the key " + options.keyPath);
    }
    auto http = std::make_unique<httplib::Server>();

    for (auto& service : services_) service->start(context_);
    http_ = std::move(http);
    https_ = std::move(https);
    configure(*http_, Listener{Listener::Kind::Http});
    configure(*https_, Listener{Listener::Kind::Https});

    const int httpPort = bindListener(*http_, options.httpPort, "http");
    const int httpsPort = bindListener(*https_, options.httpsPort, "https");
    context_.setPorts(httpPort, httpsPort);

    // Web sockets have listeners of their own (Boost.Beast); services route
    // upgrade requests by path.
    wsRouter_ = std::make_shared<WebSocketRouter>();
    for (auto& service : services_) service->installWebSockets(*wsRouter_, context_);
    ws_ = std::make_unique<WebSocketServer>(wsRouter_, options.certPath, options.keyPath);
    try {
        ws_->start(options.wsPort, options.wssPort);
    } catch (const std::exception& e) {
        throw StartError(e.what());
    }
    context_.setWebSocketPorts(ws_->wsPort(), ws_->wssPort());

    started_ = true;
    httpThread_ = std::thread([this] { http_->listen_after_bind(); });
    httpsThread_ = std::thread([this] { https_->listen_after_bind(); });
    // stop() only takes effect on a running server; the sockets already
    // accept connections (they are listening since the bind).
    while (!http_->is_running() || !https_->is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void BackendServer::stop() {
    if (!started_ || stopped_) return;
    stopped_ = true;
    context_.setStopping();
    for (auto it = services_.rbegin(); it != services_.rend(); ++it) (*it)->stop();
    if (ws_) ws_->stop();
    http_->stop();
    https_->stop();
    // Workers idling on keep-alive connections would otherwise wait out
    // their keep-alive time-out.
    shutdownConnections(context_.httpPort());
    shutdownConnections(context_.httpsPort());
    httpThread_.join();
    httpsThread_.join();
}

void BackendServer::configure(httplib::Server& server, const Listener& listener) {
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkersPerListener); };
    server.set_payload_max_length(kMaxBodyBytes);
    // cpp-httplib's default is SO_REUSEPORT, which lets a second back end
    // bind the same port and take half of the connections. SO_REUSEADDR
    // alone still allows a quick restart on the ports of a stopped one.
    server.set_socket_options([](socket_t sock) {
        int yes = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });

    server.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
        std::string what = "unknown exception";
        try {
            if (ep) std::rethrow_exception(ep);
        } catch (const std::exception& e) {
            what = e.what();
        } catch (...) {
        }
        sendError(res, 500, "internal error: " + what);
        res.set_header(kRoutedMarkHeader, "1");
    });

    // Failures cpp-httplib answers itself (no route, body too large, bad
    // request line) get the same JSON shape as the services' own errors.
    server.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request& req,
                                                                     httplib::Response& res) {
        if (res.has_header(kRoutedMarkHeader)) return httplib::Server::HandlerResponse::Unhandled;
        std::string message = statusText(res.status);
        if (res.status == 404) message += ": " + req.method + " " + req.path;
        sendError(res, res.status, message);
        return httplib::Server::HandlerResponse::Handled;
    }));
    server.set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
        res.headers.erase(kRoutedMarkHeader);
    });

    server.set_pre_routing_handler([this, listener](const httplib::Request& req, httplib::Response& res) {
        if (req.path.rfind("/__admin/", 0) == 0 && !isLoopbackAddress(req.remote_addr)) {
            sendError(res, 403, "admin endpoints answer only on loopback");
            res.set_header(kRoutedMarkHeader, "1");
            return httplib::Server::HandlerResponse::Handled;
        }
        for (auto& service : services_) {
            if (service->preRoute(req, res, listener)) {
                res.set_header(kRoutedMarkHeader, "1");
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    for (auto& service : services_) service->install(server, listener, context_);
}

void writeReadyFile(const std::string& path, int httpPort, int httpsPort, int wsPort, int wssPort, long pid) {
    writeFileAtomic(path, nlohmann::json{{"http", httpPort},
                                         {"https", httpsPort},
                                         {"ws", wsPort},
                                         {"wss", wssPort},
                                         {"pid", pid}}
                                  .dump() +
                              "\n");
}

void writeReadyFile(const std::string& path, int httpPort, int httpsPort, long pid) {
    writeFileAtomic(path, nlohmann::json{{"http", httpPort}, {"https", httpsPort}, {"pid", pid}}.dump() + "\n");
}

}  // namespace backend
