// The uploads and configuration answers of the measurement service
// (measurement_service.h).

#include "backend/analytics/measurement_service.h"

#include <strings.h>

#include <chrono>
#include <initializer_list>
#include <stdexcept>

#include "backend/analytics/measurement_store.h"
#include "backend/analytics/measurement_wire.h"
#include "backend/core/route_table.h"

namespace backend {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace measurement;

namespace {

constexpr std::size_t kMaxTargetBytes = 4096;
constexpr std::size_t kMaxHeaderBytes = 256;
// What the request log keeps of a path or query.
constexpr std::size_t kLoggedTextBytes = 1024;
// The sample configurations of a seeded data dir, and the mark of their import.
constexpr const char* kSeedFile = "analytics.json";
constexpr const char* kSeedMarker = ".seed-imported";

void refuse(Response& res, int status, const std::string& why) {
    res.status = status;
    res.set_content(why + "\n", "text/plain; charset=utf-8");
}

std::string clipped(const std::string& text, std::size_t limit) { return text.substr(0, limit); }

// The first header of a kind longer than the header bound, or "".
std::string overlongHeader(const Request& req, std::initializer_list<const char*> names) {
    for (const char* name : names) {
        for (std::size_t i = 0; i < req.get_header_value_count(name); ++i) {
            if (req.get_header_value(name, i).size() > kMaxHeaderBytes) return name;
        }
    }
    return "";
}

// Imports <dataDir>/analytics.json once: every configuration in it, served
// for its own app_id, set now.
void seedConfigs(Store& store, const fs::path& dataDir) {
    const fs::path file = dataDir / kSeedFile, marker = dataDir / "analytics" / kSeedMarker;
    if (!fs::exists(file) || fs::exists(marker)) return;
    auto text = readFile(file);
    const json seed = text ? json::parse(*text, nullptr, false) : json();
    if (!seed.is_object() || !seed.contains("configs") || !seed["configs"].is_array()) {
        throw std::runtime_error("cannot read " + file.string() + ": it needs {\"configs\": [...]}");
    }
    for (const auto& value : seed["configs"]) {
        qrvanalytics::MeasurementConfig config;
        std::string problem = messageFromJson(value, config);
        if (problem.empty() && config.app_id().empty()) problem = "a configuration without app_id";
        if (!problem.empty()) throw std::runtime_error("cannot read " + file.string() + ": " + problem);
        store.setConfig(config.app_id(), config.SerializeAsString(), std::nullopt, nowMillis() / 1000);
    }
    writeFileAtomic(marker, "{}\n");
}

// The upload's bundles, checked, with their digests; "" or why they are
// refused. `bundles` point into `batch`.
std::string readBatch(std::string_view batch, std::string& appId, std::vector<Bundle>& bundles) {
    std::vector<std::string_view> encoded;
    if (auto problem = splitBatch(batch, encoded); !problem.empty()) return problem;
    // One decoded bundle at a time, so a batch never stands whole as objects.
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        qrvanalytics::MeasurementBundle bundle;
        if (auto problem = decodeBundle(encoded[i], int(i), bundle); !problem.empty()) return problem;
        if (i == 0) appId = bundle.app_id();
        if (auto problem = checkBundle(bundle, int(i), appId); !problem.empty()) return problem;
        bundles.push_back(Bundle{bundleDigest(std::move(bundle)), encoded[i]});
    }
    return "";
}

// Stores the upload in `body`; "" once stored, else why it was refused.
std::string storeUpload(Store& store, const Request& req, const std::string& body) {
    if (req.target.size() > kMaxTargetBytes) {
        return "the request target is longer than " + std::to_string(kMaxTargetBytes) + " bytes";
    }
    if (auto name = overlongHeader(req, {"Content-Encoding", "Content-Type"}); !name.empty()) {
        return name + " is longer than " + std::to_string(kMaxHeaderBytes) + " bytes";
    }
    if (body.empty()) return "the upload has no body";
    if (strcasecmp(req.get_header_value("Content-Encoding").c_str(), "gzip") != 0) {
        return "the upload must be gzip data with \"Content-Encoding: gzip\"";
    }
    std::string problem;
    const auto inflated = gunzip(body, kMaxInflatedBytes, problem);
    if (!inflated) return problem;
    std::string appId;
    std::vector<Bundle> bundles;
    if (problem = readBatch(*inflated, appId, bundles); !problem.empty()) return problem;
    store.addBatch(appId, bundles, nowMillis());
    return "";
}

void answerUpload(Store& store, const Request& req, const std::string& body, Response& res) {
    if (auto problem = storeUpload(store, req, body); !problem.empty()) return refuse(res, 400, problem);
    res.status = 204;
}

void answerConfig(Store& store, const Request& req, Response& res) {
    if (req.target.size() > kMaxTargetBytes) {
        return refuse(res, 400, "the request target is longer than " + std::to_string(kMaxTargetBytes) + " bytes");
    }
    if (auto name = overlongHeader(req, {"If-Modified-Since"}); !name.empty()) {
        return refuse(res, 400, name + " is longer than " + std::to_string(kMaxHeaderBytes) + " bytes");
    }
    // The server core has decoded the path, so "%3A" arrives as ":".
    const std::string& appId = req.matches.at(1);
    if (appId.size() > kMaxAppIdBytes) {
        return refuse(res, 400, "the app id is longer than " + std::to_string(kMaxAppIdBytes) + " bytes");
    }
    const auto config = store.config(appId);
    if (!config) return refuse(res, 404, "no configuration for the app " + appId);
    const std::string lastModified = httpDate(config->lastModified);
    res.set_header("Last-Modified", lastModified);
    if (req.has_header("If-Modified-Since")) {
        // A date of another form is not a condition (RFC 7232, 3.3).
        const std::string since = req.get_header_value("If-Modified-Since");
        const auto sinceTime = parseHttpDate(since);
        if (since == lastModified || (sinceTime && *sinceTime >= config->lastModified)) {
            res.status = 304;
            return;
        }
    }
    res.status = 200;
    res.set_content(config->bytes, "application/x-protobuf");
}

}  // namespace

MeasurementService::MeasurementService() = default;
MeasurementService::~MeasurementService() = default;

void MeasurementService::start(Context& context) {
    const long long limit = context.options().analyticsStoreLimit;
    store_ = std::make_unique<Store>(context.dataDir() / "analytics" / "measurement.sqlite",
                                     limit > 0 ? int64_t(limit) : kMaxStoredBytes);
    listingDir_ = context.dataDir() / "analytics";
    seedConfigs(*store_, context.dataDir());
}

void MeasurementService::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
    uploadTurn_.notify_all();
}

void MeasurementService::install(HttpRouter& server, const Listener&, Context&) {
    const RouteRow<MeasurementService> routes[] = {
        {"POST", "/a", &MeasurementService::upload},
        {"GET", "/config/app/*", &MeasurementService::serveConfig},
    };
    installRoutes(server, *this, routes);
    installAdmin(server);
}

void MeasurementService::upload(const Request& req, Response& res, const std::string& body) {
    bool fault = false;
    if (!takeUploadTurn()) {
        refuse(res, 503, "too many uploads at once; try again shortly");
        res.set_header("Retry-After", "1");
    } else {
        struct Turn {
            MeasurementService& service;
            ~Turn() { service.endUploadTurn(); }
        } turn{*this};
        if (!faulted("/a", res, fault)) answerUpload(*store_, req, body, res);
    }
    log(req, res, fault);
}

bool MeasurementService::takeUploadTurn() {
    std::unique_lock lock(mutex_);
    if (uploadsRunning_ >= kUploadsAtOnce) {
        if (uploadsWaiting_ >= kUploadsWaiting) return false;
        ++uploadsWaiting_;
        uploadTurn_.wait(lock, [&] { return stopping_ || uploadsRunning_ < kUploadsAtOnce; });
        --uploadsWaiting_;
        if (stopping_) return false;
    }
    ++uploadsRunning_;
    return true;
}

void MeasurementService::endUploadTurn() {
    {
        std::lock_guard lock(mutex_);
        --uploadsRunning_;
    }
    uploadTurn_.notify_one();
}

void MeasurementService::serveConfig(const Request& req, Response& res, const std::string&) {
    bool fault = false;
    if (!faulted("/config", res, fault)) answerConfig(*store_, req, res);
    log(req, res, fault);
}

bool MeasurementService::faulted(const std::string& path, Response& res, bool& met) {
    std::optional<Fault> fault;
    {
        std::lock_guard lock(mutex_);
        for (auto it = faults_.begin(); it != faults_.end(); ++it) {
            if (it->path != path) continue;
            fault = *it;
            if (--it->count <= 0) faults_.erase(it);
            break;
        }
    }
    met = bool(fault);
    if (!fault) return false;
    if (fault->delayMs > 0) pause(fault->delayMs);
    if (fault->cut) {
        res.status = 200;
        res.set_header(kCloseWithoutAnswerHeader, "1");
        return true;
    }
    if (fault->status == 0) return false;
    if (fault->status == 204 || fault->status == 304) {
        res.status = fault->status;
    } else {
        refuse(res, fault->status, statusText(fault->status) + " (a queued fault)");
    }
    return true;
}

void MeasurementService::pause(int ms) {
    std::unique_lock lock(mutex_);
    stopped_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping_; });
}

void MeasurementService::log(const Request& req, const Response& res, bool fault) {
    const auto q = req.target.find('?');
    json entry{{"method", req.method},
               {"path", clipped(req.path, kLoggedTextBytes)},
               {"query", q == std::string::npos ? "" : clipped(req.target.substr(q + 1), kLoggedTextBytes)},
               {"status", res.has_header(kCloseWithoutAnswerHeader) ? 0 : res.status},
               {"contentType", clipped(req.get_header_value("Content-Type"), kMaxHeaderBytes)},
               {"contentEncoding", clipped(req.get_header_value("Content-Encoding"), kMaxHeaderBytes)},
               {"ifModifiedSince", clipped(req.get_header_value("If-Modified-Since"), kMaxHeaderBytes)},
               {"bodySize", req.body.size()},
               {"fault", fault}};
    std::lock_guard lock(mutex_);
    requests_.push(std::move(entry));
}

}  // namespace backend
