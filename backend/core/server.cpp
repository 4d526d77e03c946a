#include "backend/core/server.h"

#include <openssl/crypto.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "backend/core/http_server.h"
#include "backend/core/http_util.h"
#include "backend/core/sample_data.h"
#include "backend/core/websocket.h"

namespace backend {

namespace fs = std::filesystem;

namespace {

constexpr const char* kAdminPrefix = "/__admin/";
constexpr const char* kHealthPath = "/__admin/health";
constexpr const char* kRecorderPrefix = "/__recorder/";
constexpr const char* kStorageObjectsPrefix = "/v0/b/";
constexpr const char* kStorageAdminObjectsPath = "/__admin/storage/objects";
constexpr const char* kMeasurementUploadPath = "/a";

bool isLoopbackAddress(const std::string& address) {
    return address.rfind("127.", 0) == 0 || address == "::1" || address.rfind("::ffff:127.", 0) == 0;
}

bool startsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// A year at a time at most, so the clock's offset cannot overflow.
constexpr int64_t kMaxClockAdvanceMs = 366ll * 24 * 60 * 60 * 1000;
static_assert(kMaxClockAdvanceMs == 31'622'400'000, "the refusal below names the bound");

// POST /__admin/connections/clock {"advanceMs": n}: moves the clock the
// network core measures silence on (http_server.h) forward, then pings and
// closes what is now quiet or idle -> {"aheadMs": how far it is ahead of the
// steady clock}.
void advanceConnectionClock(NetworkCore& core, Response& res, const std::string& body) {
    nlohmann::json parsed;
    if (!parseJsonObject(body, res, parsed)) return;
    const auto advance = parsed.find("advanceMs");
    if (parsed.size() != 1 || advance == parsed.end() || !advance->is_number_integer() ||
        advance->get<int64_t>() < 0 || advance->get<int64_t>() > kMaxClockAdvanceMs) {
        return sendError(res, 400, "give {\"advanceMs\": n}, n from 0 to 31622400000 (366 days)");
    }
    sendJson(res, 200,
             nlohmann::json{{"aheadMs", core.advanceClock(std::chrono::milliseconds(advance->get<int64_t>()))}});
}

bool changesState(const std::string& method) {
    return method != "GET" && method != "HEAD" && method != "OPTIONS";
}

}  // namespace

bool hasAdminSecret(const Request& req, const std::string& secret) {
    const auto range = req.headers.equal_range(kAdminSecretHeader);
    if (range.first == range.second || std::next(range.first) != range.second) return false;
    const std::string& given = range.first->second;
    return given.size() == secret.size() && !secret.empty() &&
           CRYPTO_memcmp(given.data(), secret.data(), secret.size()) == 0;
}

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

std::size_t BackendServer::openConnections() const { return core_ ? core_->openConnections() : 0; }

void BackendServer::start() {
    if (started_) throw std::logic_error("the back end is already started");
    const Options& options = context_.options();
    const fs::path& dataDir = context_.dataDir();
    if (dataDir.empty()) throw StartError("--data-dir is required");

    // Everything the back end writes (SQLite files, journals, snapshots, the
    // ready file) is for the person who runs it only.
    ::umask(077);
    std::error_code ec;
    fs::create_directories(dataDir, ec);
    if (ec || !fs::is_directory(dataDir)) {
        throw StartError("cannot create the data dir " + dataDir.string() + (ec ? ": " + ec.message() : ""));
    }
    if (::chmod(dataDir.c_str(), 0700) != 0 || ::access(dataDir.c_str(), W_OK) != 0) {
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

    CoreLimits limits;
    limits.requestTimeout = std::chrono::milliseconds(options.requestTimeoutMs);
    limits.headTimeout = std::chrono::milliseconds(std::min(options.headTimeoutMs, options.requestTimeoutMs));
    limits.maxConnections = std::size_t(options.maxConnections);
    limits.webSocketOutputBytes = std::size_t(options.webSocketOutputLimit);
    limits.maxBodyBytes = kMaxBodyBytes;
    core_ = std::make_unique<NetworkCore>(limits, options.certPath, options.keyPath);

    for (HttpRouter* router : {&httpRouter_, &httpsRouter_}) {
        route(*router, "POST", "/__admin/connections/clock",
              [core = core_.get()](const Request&, Response& res, const std::string& body) {
                  advanceConnectionClock(*core, res, body);
              });
    }
    for (auto& service : services_) service->start(context_);
    for (auto& service : services_) service->install(httpRouter_, Listener{Listener::Kind::Http}, context_);
    for (auto& service : services_) service->install(httpsRouter_, Listener{Listener::Kind::Https}, context_);
    wsRouter_ = std::make_shared<WebSocketRouter>();
    for (auto& service : services_) service->installWebSockets(*wsRouter_, context_);

    started_ = true;
    try {
        core_->start(options.httpPort, options.httpsPort, options.wsPort, options.wssPort,
                     [this](Request& req, Response& res) { dispatch(req, res); }, wsRouter_);
    } catch (const std::exception& e) {
        throw StartError(e.what());
    }
    context_.setPorts(core_->httpPort(), core_->httpsPort());
    context_.setWebSocketPorts(core_->wsPort(), core_->wssPort());
}

void BackendServer::stop() {
    if (!started_ || stopped_) return;
    stopped_ = true;
    context_.setStopping();
    // Services end their long waits (held answers, database connections)
    // while the listeners still carry their last words.
    for (auto it = services_.rbegin(); it != services_.rend(); ++it) (*it)->stop();
    core_->stop();
}

bool BackendServer::admit(const Request& req, Response& res) const {
    for (std::size_t i = 0; i < req.get_header_value_count("Host"); ++i) {
        if (!isServedHost(req.get_header_value("Host", i))) {
            sendError(res, 403, "this server does not answer for that host name");
            return false;
        }
    }
    const bool admin = startsWith(req.path, kAdminPrefix);
    const std::string origin = req.get_header_value("Origin");
    if (!origin.empty() && (admin || (changesState(req.method) && !startsWith(req.path, kRecorderPrefix)))) {
        const int port = req.local_port;
        bool own = false;
        for (const char* host : {"127.0.0.1", "localhost"}) {
            if (origin == std::string(req.tls ? "https://" : "http://") + host + ":" + std::to_string(port)) own = true;
        }
        if (!own) {
            sendError(res, 403, "requests from another origin (" + origin + ") are refused here");
            return false;
        }
    }
    if (!admin) return true;
    if (!isLoopbackAddress(req.remote_addr)) {
        sendError(res, 403, "admin endpoints answer only on loopback");
        return false;
    }
    // The health check answers anyone on loopback (without the details).
    if (req.path == kHealthPath && (req.method == "GET" || req.method == "HEAD")) return true;
    if (!req.has_header(kAdminSecretHeader)) {
        sendError(res, 401, std::string("admin endpoints need this run's admin secret in ") + kAdminSecretHeader);
        return false;
    }
    if (!hasAdminSecret(req, context_.adminSecret())) {
        sendError(res, 403, "wrong admin secret");
        return false;
    }
    return true;
}

void BackendServer::dispatch(Request& req, Response& res) {
    if (!admit(req, res)) return;
    // The recorder keeps bodies as sent, storage uploads carry object bytes
    // and analytics uploads gzip data: none is JSON.
    const bool raw = startsWith(req.path, kRecorderPrefix) ||
                     (req.method == "PUT" && (startsWith(req.path, kStorageObjectsPrefix) ||
                                              startsWith(req.path, kStorageAdminObjectsPath))) ||
                     (req.method == "POST" && req.path == kMeasurementUploadPath);
    if (!raw && !req.body.empty() && !jsonDepthWithin(req.body)) {
        sendError(res, 400,
                  "the JSON in the request body nests deeper than " + std::to_string(kMaxJsonDepth) + " levels");
        return;
    }
    bool pathKnown = false;
    const HttpHandler* handler = (req.tls ? httpsRouter_ : httpRouter_).find(req, pathKnown);
    if (!handler) {
        sendError(res, 404, statusText(404) + ": " + req.method + " " + req.path);
        return;
    }
    try {
        (*handler)(req, res);
    } catch (const nlohmann::json::type_error& e) {
        res = Response{};
        sendError(res, 400, std::string("a field of the request has the wrong type: ") + e.what());
    } catch (const nlohmann::json::out_of_range& e) {
        res = Response{};
        sendError(res, 400, std::string("a field of the request is missing or out of range: ") + e.what());
    } catch (const std::exception& e) {
        res = Response{};
        sendError(res, 500, std::string("internal error: ") + e.what());
    }
    if (res.status == -1) res.status = 200;
    // Error answers without a body get the same JSON shape as the services'
    // own errors, unless a routed handler meant them to be empty.
    if (res.status >= 400 && res.body.empty() && !res.has_header(kRoutedMarkHeader)) {
        sendError(res, res.status, statusText(res.status));
    }
    res.erase_header(kRoutedMarkHeader);
}

void writeReadyFile(const std::string& path, int httpPort, int httpsPort, int wsPort, int wssPort, int mcsPort,
                    long pid, const std::string& adminSecret) {
    writeFileAtomic(path, nlohmann::json{{"http", httpPort},
                                         {"https", httpsPort},
                                         {"ws", wsPort},
                                         {"wss", wssPort},
                                         {"mcs", mcsPort},
                                         {"pid", pid},
                                         {"adminSecret", adminSecret}}
                                  .dump() +
                              "\n");
}

}  // namespace backend
