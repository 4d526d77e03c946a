#pragma once
// Starts the real local back end (the almavel-backend program of this build)
// for a test, and talks to its admin endpoints.
//
//   auto backend = ns::testing::Backend::start();
//   backend->setRecorderResponse({.status = 503});
//   ... point the code under test at backend->httpURL("/__recorder/x") ...
//   auto seen = backend->recordedRequests();
//
// Each Backend gets a fresh temporary data dir (removed with it) unless
// Options::dataDir names one, which is then kept. The child's standard
// output and error go to a log file (see log()), so tests that capture
// standard error see only their own process. The program is ended when the
// thread that started it exits (PR_SET_PDEATHSIG), so start it from the
// test's own thread, not from a short-lived helper thread.

#include <httplib.h>
#include <sys/types.h>

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace ns::testing {

// The header the back end's admin and fault endpoints read this run's
// secret from.
inline constexpr const char* kAdminSecretHeader = "X-Almavel-Admin-Secret";

// What the channel server's messages name (the same as backend/mcs_server.h,
// which this layer cannot include): the messaging service's own domain (its
// control messages) and the sender of instance-identity commands.
inline constexpr const char* kChannelServiceDomain = "mcs.ondrix.com";
inline constexpr const char* kChannelInstanceIDSender = "kdx@ondrix.com";

struct HttpReply {
    // 0 when no answer came (see error).
    int status = 0;
    std::string body;
    httplib::Headers headers;
    std::string error;

    // First value of a header (name case-insensitive), "" when absent.
    std::string header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
};

// What a cpp-httplib client call answered, as an HttpReply.
HttpReply toReply(const httplib::Result& result);

// One request the recorder kept.
struct RecordedRequest {
    uint64_t id = 0;
    std::string method;
    std::string path;    // decoded path
    std::string target;  // request target as sent, with the query
    std::string query;   // raw query string, without "?"
    std::vector<std::pair<std::string, std::string>> headers;  // as sent, duplicates kept
    std::string body;                                          // raw bytes
    std::string listener;                                      // "http" or "https"
    bool tls = false;
    int remotePort = 0;
    int localPort = 0;
    bool held = false;
    // The client hung up while its request was held.
    bool clientClosed = false;

    // First value of a header (name case-insensitive), "" when absent.
    std::string header(std::string_view name) const;
    bool hasHeader(std::string_view name) const;
};

// What the recorder answers with.
struct RecorderResponse {
    int status = 200;
    std::string body{};
    std::vector<std::pair<std::string, std::string>> headers{};
    int delayMs = 0;
    // Held answers wait for releaseHeld() (or the client hanging up).
    bool hold = false;
};

// One request the storage service saw (backend/storage_service.h): what it
// asked for ("download", "metadata", "startUpload", "uploadChunk",
// "uploadQuery", ...) and the status it got (0: cut without an answer). The
// body itself is not kept.
struct StorageRequest : RecordedRequest {
    std::string kind;
    int status = 0;
    std::size_t bodySize = 0;
    bool fault = false;  // a queued fault met it
};

// A fault of the storage service: the next `count` requests of `kind` (""
// any) on the object `object` ("" any) wait `delayMs`, then are answered
// with `status` without being acted on, or are cut: a download after its
// head and `cutAfterBytes` of the body, an upload chunk keeping its first
// `cutAfterBytes` bytes as received (-1: half), anything else unanswered.
struct StorageFault {
    std::string kind{};
    std::string object{};
    int count = 1;
    int status = 0;
    int delayMs = 0;
    bool cut = false;
    long long cutAfterBytes = -1;
};

// A fault of the measurement service (backend/analytics/measurement_service.h):
// the next `count` requests to `path` ("/a" the uploads, "/config" the
// configuration) wait `delayMs`, then are answered with `status` (204, 304,
// 404, 429, 500 or 503) instead of being handled, or are closed without an
// answer (`cut`); with a delay alone they are handled after it.
struct AnalyticsFault {
    std::string path{"/a"};
    int count = 1;
    int status = 0;
    int delayMs = 0;
    bool cut = false;
};

class Backend {
public:
    struct Options {
        // Empty: a fresh temporary folder, removed when the Backend goes.
        std::string dataDir{};
        bool seed = false;
        int httpPort = 0;  // 0 = any free port
        int httpsPort = 0;
        int wsPort = 0;  // the web-socket listeners
        int wssPort = 0;
        std::vector<std::string> extraArgs{};
        // Real time allowed for the program to come up.
        double startTimeoutSeconds = 60;
    };

    // Starts the program and waits until both listeners are up. Throws
    // std::runtime_error (with the program's output) when it does not come up.
    static std::unique_ptr<Backend> start(Options options);
    static std::unique_ptr<Backend> start() { return start(Options{}); }
    ~Backend();
    Backend(const Backend&) = delete;
    Backend& operator=(const Backend&) = delete;

    int httpPort() const { return httpPort_; }
    int httpsPort() const { return httpsPort_; }
    // The web-socket listeners (plain and TLS).
    int wsPort() const { return wsPort_; }
    int wssPort() const { return wssPort_; }
    // The messaging channel server (TLS; the client's "mtalk.ondrix.com:5228"
    // once routed).
    int mcsPort() const { return mcsPort_; }
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }
    const std::string& dataDir() const { return dataDir_; }
    // The test certificate authority that signed the server certificate.
    static std::string caPath();
    // "http://127.0.0.1:<port><path>" and "https://localhost:<port><path>".
    std::string httpURL(std::string_view path = "") const;
    std::string httpsURL(std::string_view path = "") const;
    // Everything the program printed so far (all runs of this Backend).
    std::string log() const;

    // SIGTERM, then waits (SIGKILL after a generous grace time). Returns the
    // exit status (128 + signal when killed), -1 when it was not running.
    int stop();
    // SIGKILL and wait: a crash, for recovery tests.
    void kill();
    // Stops it when running and starts it again on the same data dir, on
    // the same ports when they are still free (routes follow otherwise).
    void restart();

    // The per-run admin secret the program wrote into its ready file.
    const std::string& adminSecret() const { return adminSecret_; }

    // Clients for the two listeners; the HTTPS one trusts caPath(). Both
    // send the admin secret with every request.
    std::unique_ptr<httplib::Client> client() const;
    std::unique_ptr<httplib::SSLClient> tlsClient() const;
    // Plain requests to the HTTP listener (admin endpoints and the like).
    HttpReply get(const std::string& path) const;
    HttpReply post(const std::string& path, const std::string& body,
                   const std::string& contentType = "application/json") const;
    HttpReply del(const std::string& path) const;

    // Recorder admin; these throw std::runtime_error when the back end
    // refuses or does not answer.
    std::vector<RecordedRequest> recordedRequests() const;
    void clearRecordedRequests() const;
    void setRecorderResponse(const RecorderResponse& response) const;
    // Answers every held request; returns how many there were.
    int releaseHeld() const;
    // Requests currently held.
    int heldCount() const;

    // Storage service admin; these throw std::runtime_error when the back
    // end refuses or does not answer. Faults queue in order.
    void addStorageFault(const StorageFault& fault) const;
    void clearStorageFaults() const;
    std::vector<StorageRequest> storageRequests() const;
    void clearStorageRequests() const;

    // Measurement service admin; these throw std::runtime_error when the
    // back end refuses or does not answer.
    //
    // {"batches": [{"id", "receivedMs", "bundles": [<every field set, by its
    // proto field name>]}], "duplicates": N}, oldest first.
    nlohmann::json analyticsBatches() const;
    void clearAnalyticsBatches() const;
    // Sets the app's configuration from libprotobuf's JSON mapping of a
    // MeasurementConfig, or as encoded bytes served unchanged (they must
    // decode). Returns its Last-Modified text: `lastModified` (an
    // IMF-fixdate) when given, else now, always later than the one before.
    std::string setAnalyticsConfig(const std::string& appId, const nlohmann::json& config,
                                   const std::string& lastModified = "") const;
    std::string setAnalyticsConfigRaw(const std::string& appId, const std::string& bytes) const;
    void removeAnalyticsConfig(const std::string& appId) const;
    void addAnalyticsFault(const AnalyticsFault& fault) const;
    void clearAnalyticsFaults() const;
    // [{"method", "path", "query", "status" (0: cut), "contentType",
    // "contentEncoding", "ifModifiedSince", "bodySize", "fault"}], oldest
    // first, the last 200.
    nlohmann::json analyticsRequests() const;
    void clearAnalyticsRequests() const;

    // The messaging channel server's test interface (backend/mcs_server.h).
    // These throw std::runtime_error when the back end refuses. A device is
    // its check-in id (decimal text).
    //
    // Queues a downstream data message: `message` holds data-message fields
    // by name ("from" and "category" are required; e.g. "category"
    // "com.ondrix.kdx" for a control message, "from" kChannelInstanceIDSender
    // for an instance-identity command), `data` its app data ({"message_type":
    // "deleted_messages"} for that notice). Without `persistent` the message
    // gets no persistent id and is not sent again. Returns the persistent id.
    std::string queueChannelMessage(const std::string& device, const nlohmann::json& message,
                                    const nlohmann::json& data = nlohmann::json::object(), bool persistent = true) const;
    // "holdAcks", "releaseAcks", "cut", "close", "ping", "garbledFrame",
    // "oversizedFrame", "unknownTag" on the device's connection;
    // "badVersion" for the next `count` connections. (The clock that ages
    // remembered upstream ids moves on through a post of {"action":
    // "advanceClock", "ms": N} to /__admin/mcs/faults.)
    void channelFault(const std::string& action, const std::string& device = "", int count = 1) const;
    // Upstream data messages as they arrived: [{"device", "streamId",
    // "duplicate", "message"}].
    nlohmann::json channelUpstream() const;
    // Per device: "connected", "inStreamId", "outStreamId", "pending"
    // (persistent ids), "holdingAcks", "logins" (the login requests),
    // "upstreamIds" (how many upstream ids it remembers).
    nlohmann::json channelSessions() const;
    // Every frame both ways: [{"device", "direction", "tag", "message"}].
    nlohmann::json channelFrames() const;

    // Messages to subscribers of a topic ("name" or "/topics/name") or to one
    // messaging token, over "auto", "channel", "gateway" or "both" (see
    // backend/topic_service.h). Return the back end's answer.
    nlohmann::json sendTopicMessage(const std::string& topic, const nlohmann::json& data,
                                    const nlohmann::json& notification = nullptr,
                                    const std::string& via = "auto") const;
    nlohmann::json sendToToken(const std::string& token, const nlohmann::json& data,
                               const nlohmann::json& notification = nullptr, const std::string& via = "auto") const;
    // {"/topics/name": [{"token","device","bundle"}]}
    nlohmann::json topicSubscriptions() const;

    // Sends the SDK's service domains ("*.quorvane.com", "*.quorvaneapis.com",
    // "*.quorvaneio.com", "*.ondrix.com", "*.ondrixapis.com"; port 443 to the
    // HTTPS listener, port 80 to the HTTP one, except the database's
    // "*.quorvaneio.com", whose 443 goes to the wss and 80 to the ws
    // listener) and the platform's push gateway host ("push-gateway.localhost")
    // to this back end through the platform's host routing, and
    // trusts its CA. Undone when the Backend is destroyed; follows restarts.
    void routeServiceHosts();
    static const std::vector<std::string>& serviceHostPatterns();
    // The same routes as ALMAVEL_ROUTES text ("pattern:port=127.0.0.1:port,
    // ..."), for a program of this build started as a child process.
    std::string routesForEnvironment() const;

private:
    explicit Backend(Options options);
    void launch(int httpPort, int httpsPort, int wsPort = 0, int wssPort = 0, int mcsPort = 0);
    int waitForExit(double graceSeconds);
    void applyRoutes();
    void undoRoutes();

    Options options_;
    std::string runDir_;
    std::string dataDir_;
    bool ownsDataDir_ = false;
    pid_t pid_ = -1;
    int httpPort_ = 0;
    int httpsPort_ = 0;
    int wsPort_ = 0;
    int wssPort_ = 0;
    int mcsPort_ = 0;
    std::string adminSecret_;

    bool routed_ = false;
    struct SavedRoute;
    std::vector<SavedRoute> savedRoutes_;
    bool addedTrustAnchor_ = false;
};

}  // namespace ns::testing
