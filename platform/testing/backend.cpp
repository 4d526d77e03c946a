#include "testing/backend.h"

#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/crypto.h"
#include "platform/host_routing.h"
#include "platform/url.h"
#include "platform/trust_store.h"

namespace ns::testing {

namespace fs = std::filesystem;
using json = nlohmann::json;

struct Backend::SavedRoute {
    std::string pattern;
    uint16_t port = 0;
    // What the table said before we replaced it, to put back.
    std::optional<HostRouting::Route> previous;
};

namespace {

constexpr const char* kReadyFile = "ready.json";
constexpr const char* kLogFile = "backend.log";
constexpr double kStopGraceSeconds = 30;
// The messaging channel's port on every service host.
constexpr uint16_t kMcsPort = 5228;

std::string makeTempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/almavel-backend-XXXXXX";
    if (!::mkdtemp(pattern.data())) {
        throw std::runtime_error("cannot make a temporary folder: " + std::string(std::strerror(errno)));
    }
    return pattern;
}

std::optional<std::string> readWhole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Decodes the recorder's base64 bodies.
std::string fromBase64(const std::string& text) {
    auto bytes = crypto::base64Decode(text);
    if (!bytes) throw std::runtime_error("recorder sent a body that is not base64");
    return crypto::toString(*bytes);
}

json expectJson(const HttpReply& reply, const std::string& what) {
    if (reply.status != 200) {
        throw std::runtime_error(what + " failed: " +
                                 (reply.status ? "HTTP " + std::to_string(reply.status) + " " + reply.body
                                               : reply.error));
    }
    auto parsed = json::parse(reply.body, nullptr, false);
    if (parsed.is_discarded()) throw std::runtime_error(what + ": the back end sent malformed JSON");
    return parsed;
}

}  // namespace

HttpReply toReply(const httplib::Result& result) {
    HttpReply reply;
    if (!result) {
        reply.error = httplib::to_string(result.error());
        return reply;
    }
    reply.status = result->status;
    reply.body = result->body;
    reply.headers = result->headers;
    return reply;
}

std::string RecordedRequest::header(std::string_view name) const {
    for (const auto& [n, v] : headers) {
        if (n.size() == name.size() && strncasecmp(n.data(), name.data(), n.size()) == 0) return v;
    }
    return {};
}

bool RecordedRequest::hasHeader(std::string_view name) const {
    for (const auto& [n, v] : headers) {
        if (n.size() == name.size() && strncasecmp(n.data(), name.data(), n.size()) == 0) return true;
    }
    return false;
}

Backend::Backend(Options options) : options_(std::move(options)) {}

std::unique_ptr<Backend> Backend::start(Options options) {
    std::unique_ptr<Backend> backend(new Backend(std::move(options)));
    backend->runDir_ = makeTempDir();
    if (backend->options_.dataDir.empty()) {
        backend->dataDir_ = backend->runDir_ + "/data";
        backend->ownsDataDir_ = true;
    } else {
        backend->dataDir_ = fs::absolute(backend->options_.dataDir).string();
    }
    backend->launch(backend->options_.httpPort, backend->options_.httpsPort, backend->options_.wsPort,
                    backend->options_.wssPort);
    return backend;
}

Backend::~Backend() {
    stop();
    undoRoutes();
    std::error_code ignored;
    if (!runDir_.empty()) fs::remove_all(runDir_, ignored);
}

std::string Backend::caPath() { return ALMAVEL_CERT_DIR "/ca.pem"; }

std::string Backend::httpURL(std::string_view path) const {
    return "http://127.0.0.1:" + std::to_string(httpPort_) + std::string(path);
}

std::string Backend::httpsURL(std::string_view path) const {
    return "https://localhost:" + std::to_string(httpsPort_) + std::string(path);
}

std::string Backend::log() const { return readWhole(fs::path(runDir_) / kLogFile).value_or(""); }

void Backend::launch(int httpPort, int httpsPort, int wsPort, int wssPort, int mcsPort) {
    const fs::path ready = fs::path(runDir_) / kReadyFile;
    const std::string logPath = (fs::path(runDir_) / kLogFile).string();
    std::error_code ignored;
    fs::remove(ready, ignored);

    std::vector<std::string> args = {ALMAVEL_BACKEND_BIN,
                                     "--data-dir", dataDir_,
                                     "--ready-file", ready.string(),
                                     "--http-port", std::to_string(httpPort),
                                     "--https-port", std::to_string(httpsPort),
                                     "--ws-port", std::to_string(wsPort),
                                     "--wss-port", std::to_string(wssPort),
                                     "--mcs-port", std::to_string(mcsPort)};
    if (options_.seed) args.push_back("--seed");
    args.insert(args.end(), options_.extraArgs.begin(), options_.extraArgs.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) throw std::runtime_error("cannot start the back end: fork: " + std::string(std::strerror(errno)));
    if (child == 0) {
        // Only async-signal-safe calls between fork and exec.
        int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (log >= 0) {
            ::dup2(log, STDOUT_FILENO);
            ::dup2(log, STDERR_FILENO);
        }
        int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, STDIN_FILENO);
        ::close_range(3, ~0u, 0);
        // A test process that dies must not leave its back end behind.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(1);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        ::sigaction(SIGTERM, &dfl, nullptr);
        ::sigaction(SIGINT, &dfl, nullptr);
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    pid_ = child;

    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(options_.startTimeoutSeconds));
    while (true) {
        if (auto text = readWhole(ready)) {
            auto info = json::parse(*text, nullptr, false);
            if (!info.is_discarded() && info.contains("http") && info.contains("https")) {
                httpPort_ = info["http"].get<int>();
                httpsPort_ = info["https"].get<int>();
                wsPort_ = info.value("ws", 0);
                wssPort_ = info.value("wss", 0);
                mcsPort_ = info.value("mcs", 0);
                adminSecret_ = info.value("adminSecret", "");
                break;
            }
        }
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("the back end exited before it was ready (status " +
                                     std::to_string(WIFEXITED(status) ? WEXITSTATUS(status)
                                                                      : 128 + WTERMSIG(status)) +
                                     "); its output:\n" + log());
        }
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
            throw std::runtime_error("the back end was not ready in time; its output:\n" + log());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int Backend::waitForExit(double graceSeconds) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::duration<double>(graceSeconds));
    int status = 0;
    while (true) {
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno != EINTR)) break;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

int Backend::stop() {
    if (pid_ <= 0) return -1;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        // Nobody asked it to end: whatever the test saw next is explained here.
        pid_ = -1;
        const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        std::fprintf(stderr, "the back end had ended by itself (status %d); its output:\n%s\n", code, log().c_str());
        return code;
    }
    ::kill(pid_, SIGTERM);
    return waitForExit(kStopGraceSeconds);
}

void Backend::kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    waitForExit(kStopGraceSeconds);
}

void Backend::restart() {
    stop();
    const int oldHttp = httpPort_, oldHttps = httpsPort_, oldWs = wsPort_, oldWss = wssPort_, oldMcs = mcsPort_;
    try {
        launch(oldHttp, oldHttps, wsPort_, wssPort_, mcsPort_);
    } catch (const std::runtime_error&) {
        // The old ports were taken in the meantime.
        launch(options_.httpPort, options_.httpsPort, options_.wsPort, options_.wssPort);
    }
    if (routed_ && (httpPort_ != oldHttp || httpsPort_ != oldHttps || wsPort_ != oldWs || wssPort_ != oldWss ||
                    mcsPort_ != oldMcs)) {
        applyRoutes();
    }
}

std::unique_ptr<httplib::Client> Backend::client() const {
    auto c = std::make_unique<httplib::Client>("127.0.0.1", httpPort_);
    c->set_default_headers({{kAdminSecretHeader, adminSecret_}});
    c->set_connection_timeout(10);
    c->set_read_timeout(90);
    return c;
}

std::unique_ptr<httplib::SSLClient> Backend::tlsClient() const {
    auto c = std::make_unique<httplib::SSLClient>("localhost", httpsPort_);
    c->set_ca_cert_path(caPath().c_str());
    c->set_default_headers({{kAdminSecretHeader, adminSecret_}});
    c->enable_server_certificate_verification(true);
    // The handshake is timed by the connection's limit: a sanitized back end
    // on loaded cores, serving a thousand connections, can take past ten
    // seconds to answer it, and the wait is a bound, not a measure.
    c->set_connection_timeout(90);
    c->set_read_timeout(90);
    return c;
}

HttpReply Backend::get(const std::string& path) const { return toReply(client()->Get(path)); }

HttpReply Backend::post(const std::string& path, const std::string& body, const std::string& contentType) const {
    return toReply(client()->Post(path, body, contentType));
}

HttpReply Backend::del(const std::string& path) const { return toReply(client()->Delete(path)); }

namespace {

// The fields the recorder's and the storage service's request logs share.
void readLoggedRequest(const json& r, RecordedRequest& rec) {
    rec.id = r.at("id").get<uint64_t>();
    rec.method = r.at("method").get<std::string>();
    rec.path = r.at("path").get<std::string>();
    rec.target = r.at("target").get<std::string>();
    rec.query = r.at("query").get<std::string>();
    for (const auto& h : r.at("headers")) {
        rec.headers.emplace_back(h.at("name").get<std::string>(), h.at("value").get<std::string>());
    }
}

// Every request a log lists a page at a time, oldest first.
json wholeLog(const Backend& backend, const std::string& path, const std::string& what) {
    json all = json::array();
    for (std::size_t offset = 0;;) {
        json page = expectJson(backend.get(path + "?offset=" + std::to_string(offset)), what);
        for (auto& r : page.at("requests")) all.push_back(std::move(r));
        if (!page.contains("next")) return all;
        offset = page.at("next").get<std::size_t>();
    }
}

}  // namespace

std::vector<RecordedRequest> Backend::recordedRequests() const {
    const json listing = wholeLog(*this, "/__admin/recorder/requests", "listing recorded requests");
    std::vector<RecordedRequest> out;
    for (const auto& r : listing) {
        RecordedRequest rec;
        readLoggedRequest(r, rec);
        rec.body = fromBase64(r.at("body").get<std::string>());
        rec.listener = r.at("listener").get<std::string>();
        rec.tls = r.at("tls").get<bool>();
        rec.remotePort = r.at("remotePort").get<int>();
        rec.localPort = r.at("localPort").get<int>();
        rec.held = r.at("held").get<bool>();
        rec.clientClosed = r.at("clientClosed").get<bool>();
        out.push_back(std::move(rec));
    }
    return out;
}

void Backend::clearRecordedRequests() const {
    expectJson(del("/__admin/recorder/requests"), "clearing recorded requests");
}

void Backend::setRecorderResponse(const RecorderResponse& response) const {
    json headers = json::object();
    for (const auto& [name, value] : response.headers) headers[name] = value;
    // Base64 so binary bodies survive the JSON.
    json config{{"status", response.status},
                {"bodyBase64", crypto::base64Encode(response.body)},
                {"headers", headers},
                {"delayMs", response.delayMs},
                {"hold", response.hold}};
    expectJson(post("/__admin/recorder/response", config.dump()), "configuring the recorder");
}

void Backend::addStorageFault(const StorageFault& fault) const {
    json body{{"kind", fault.kind}, {"object", fault.object}, {"count", fault.count}, {"cut", fault.cut}};
    if (fault.status) body["status"] = fault.status;
    if (fault.delayMs) body["delayMs"] = fault.delayMs;
    if (fault.cutAfterBytes >= 0) body["cutAfterBytes"] = fault.cutAfterBytes;
    expectJson(post("/__admin/storage/faults", body.dump()), "adding a storage fault");
}

void Backend::clearStorageFaults() const { expectJson(del("/__admin/storage/faults"), "clearing storage faults"); }

std::vector<StorageRequest> Backend::storageRequests() const {
    const json listing = wholeLog(*this, "/__admin/storage/requests", "listing storage requests");
    std::vector<StorageRequest> out;
    for (const auto& r : listing) {
        StorageRequest rec;
        readLoggedRequest(r, rec);
        rec.kind = r.at("kind").get<std::string>();
        rec.bodySize = r.at("bodySize").get<std::size_t>();
        rec.status = r.at("status").get<int>();
        rec.fault = r.at("fault").get<bool>();
        out.push_back(std::move(rec));
    }
    return out;
}

void Backend::clearStorageRequests() const {
    expectJson(del("/__admin/storage/requests"), "clearing storage requests");
}

namespace {

std::string analyticsConfigPath(const std::string& appId) {
    return "/__admin/analytics/configs/" + ns::percentEncode(appId, "-._~");
}

}  // namespace

json Backend::analyticsBatches() const {
    // Every batch, a page at a time; the counts are the last page's.
    json all;
    json batches = json::array();
    for (std::string path = "/__admin/analytics/batches";;) {
        all = expectJson(get(path), "listing analytics batches");
        for (auto& batch : all.at("batches")) batches.push_back(std::move(batch));
        if (!all.contains("next")) break;
        path = "/__admin/analytics/batches?after=" + std::to_string(all.at("next").get<int64_t>());
    }
    all["batches"] = std::move(batches);
    return all;
}

void Backend::clearAnalyticsBatches() const {
    expectJson(del("/__admin/analytics/batches"), "clearing analytics batches");
}

std::string Backend::setAnalyticsConfig(const std::string& appId, const json& config,
                                        const std::string& lastModified) const {
    json body{{"config", config}};
    if (!lastModified.empty()) body["lastModified"] = lastModified;
    return expectJson(toReply(client()->Put(analyticsConfigPath(appId), body.dump(), "application/json")),
                      "setting an analytics configuration")
        .at("lastModified")
        .get<std::string>();
}

std::string Backend::setAnalyticsConfigRaw(const std::string& appId, const std::string& bytes) const {
    const json body{{"raw", crypto::base64Encode(bytes)}};
    return expectJson(toReply(client()->Put(analyticsConfigPath(appId), body.dump(), "application/json")),
                      "setting a raw analytics configuration")
        .at("lastModified")
        .get<std::string>();
}

void Backend::removeAnalyticsConfig(const std::string& appId) const {
    expectJson(del(analyticsConfigPath(appId)), "removing an analytics configuration");
}

void Backend::addAnalyticsFault(const AnalyticsFault& fault) const {
    json body{{"path", fault.path}, {"count", fault.count}, {"cut", fault.cut}};
    if (fault.status) body["status"] = fault.status;
    if (fault.delayMs) body["delayMs"] = fault.delayMs;
    expectJson(post("/__admin/analytics/faults", body.dump()), "adding an analytics fault");
}

void Backend::clearAnalyticsFaults() const {
    expectJson(del("/__admin/analytics/faults"), "clearing analytics faults");
}

json Backend::analyticsRequests() const {
    return expectJson(get("/__admin/analytics/requests"), "listing analytics requests").at("requests");
}

void Backend::clearAnalyticsRequests() const {
    expectJson(del("/__admin/analytics/requests"), "clearing analytics requests");
}

int Backend::releaseHeld() const {
    return expectJson(post("/__admin/recorder/release", "{}"), "releasing held requests").at("released").get<int>();
}

int Backend::heldCount() const {
    return expectJson(get("/__admin/recorder/held"), "counting held requests").at("held").get<int>();
}

std::string Backend::queueChannelMessage(const std::string& device, const json& message, const json& data,
                                         bool persistent) const {
    json body{{"device", device}, {"message", message}, {"data", data}, {"persistent", persistent}};
    return expectJson(post("/__admin/mcs/send", body.dump()), "queueing a channel message")
        .at("persistentId")
        .get<std::string>();
}

void Backend::channelFault(const std::string& action, const std::string& device, int count) const {
    json body{{"action", action}, {"count", count}};
    if (!device.empty()) body["device"] = device;
    expectJson(post("/__admin/mcs/faults", body.dump()), "a channel fault");
}

json Backend::channelUpstream() const {
    return expectJson(get("/__admin/mcs/upstream"), "reading the channel's upstream").at("messages");
}

json Backend::channelSessions() const {
    return expectJson(get("/__admin/mcs/sessions"), "reading the channel's sessions").at("devices");
}

json Backend::channelFrames() const {
    return expectJson(get("/__admin/mcs/frames"), "reading the channel's frames").at("frames");
}

json Backend::sendTopicMessage(const std::string& topic, const json& data, const json& notification,
                               const std::string& via) const {
    json body{{"topic", topic}, {"data", data}, {"via", via}};
    if (!notification.is_null()) body["notification"] = notification;
    return expectJson(post("/__admin/topics/send", body.dump()), "sending a topic message");
}

json Backend::sendToToken(const std::string& token, const json& data, const json& notification,
                          const std::string& via) const {
    json body{{"token", token}, {"data", data}, {"via", via}};
    if (!notification.is_null()) body["notification"] = notification;
    return expectJson(post("/__admin/messaging/send", body.dump()), "sending a message to a token");
}

json Backend::topicSubscriptions() const {
    return expectJson(get("/__admin/topics"), "listing topic subscriptions").at("topics");
}

const std::vector<std::string>& Backend::serviceHostPatterns() {
    // The last one is the platform's push gateway (platform/push_gateway.h).
    static const std::vector<std::string> patterns = {"*.quorvane.com",   "*.quorvaneapis.com", "*.quorvaneio.com",
                                                      "*.ondrix.com",     "*.ondrixapis.com",   "push-gateway.localhost"};
    return patterns;
}

void Backend::routeServiceHosts() {
    if (!routed_) {
        auto& table = HostRouting::shared();
        const auto existing = table.routes();
        for (const auto& pattern : serviceHostPatterns()) {
            for (uint16_t port : {uint16_t(443), uint16_t(80), kMcsPort}) {
                SavedRoute saved{HostRouting::normalizeHost(pattern), port, std::nullopt};
                for (const auto& r : existing) {
                    if (r.pattern == saved.pattern && r.originalPort == port) saved.previous = r;
                }
                savedRoutes_.push_back(std::move(saved));
            }
        }
        auto& trust = TrustStore::shared();
        const size_t anchorsBefore = trust.addedAnchorCount();
        ErrorRef error;
        if (!trust.addAnchorFile(caPath(), &error)) {
            throw std::runtime_error("cannot trust the back end's CA " + caPath() + ": " +
                                     (error ? error->localizedDescription() : std::string("unknown error")));
        }
        // The store can only drop every added anchor at once, so it is only
        // undone when ours was the only one.
        addedTrustAnchor_ = anchorsBefore == 0 && trust.addedAnchorCount() > 0;
        routed_ = true;
    }
    applyRoutes();
}

// Which listener a routed host and port reach: the realtime database's
// domain speaks web sockets only, so its hosts go to the ws and wss
// listeners; every domain's channel port goes to the channel server.
static uint16_t routedPort(const std::string& pattern, uint16_t port, const Backend& backend) {
    const bool ws = HostRouting::normalizeHost(pattern) == HostRouting::normalizeHost("*.quorvaneio.com");
    return uint16_t(port == kMcsPort ? backend.mcsPort()
                    : port == 443    ? (ws ? backend.wssPort() : backend.httpsPort())
                                     : (ws ? backend.wsPort() : backend.httpPort()));
}

std::string Backend::routesForEnvironment() const {
    std::string routes;
    for (const auto& pattern : serviceHostPatterns()) {
        for (uint16_t port : {uint16_t(443), uint16_t(80), kMcsPort}) {
            if (!routes.empty()) routes += ",";
            routes += pattern + ":" + std::to_string(port) + "=127.0.0.1:" +
                      std::to_string(routedPort(pattern, port, *this));
        }
    }
    return routes;
}

void Backend::applyRoutes() {
    auto& table = HostRouting::shared();
    for (const auto& saved : savedRoutes_) {
        ErrorRef error;
        const uint16_t to = routedPort(saved.pattern, saved.port, *this);
        if (!table.add(saved.pattern, saved.port, "127.0.0.1", to, &error)) {
            throw std::runtime_error("cannot route " + saved.pattern + ": " +
                                     (error ? error->localizedDescription() : std::string("unknown error")));
        }
    }
}

void Backend::undoRoutes() {
    if (!routed_) return;
    auto& table = HostRouting::shared();
    for (const auto& saved : savedRoutes_) {
        table.remove(saved.pattern, saved.port);
        if (saved.previous) {
            const auto& p = *saved.previous;
            table.add(p.pattern, p.originalPort, p.destination.address, p.destination.port);
        }
    }
    savedRoutes_.clear();
    if (addedTrustAnchor_) TrustStore::shared().removeAddedAnchors();
    addedTrustAnchor_ = false;
    routed_ = false;
}

}  // namespace ns::testing
