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

// Stores the upload in `body`; "" once stored, else why it was refused.
std::string storeUpload(Store& store, const Request& req, const std::string& body) {
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
    qrvanalytics::MeasurementBatch batch;
    if (!batch.ParseFromString(*inflated)) return "the body is not an encoded MeasurementBatch";
    if (problem = checkBatch(batch); !problem.empty()) return problem;
    std::vector<Bundle> bundles;
    for (const auto& bundle : batch.bundles()) {
        Bundle stored{std::nullopt, std::nullopt, bundle.SerializeAsString()};
        // Only a bundle that names both is recognisable when delivered again.
        if (bundle.has_app_instance_id() && bundle.has_bundle_index()) {
            stored.appInstanceId = bundle.app_instance_id();
            stored.bundleIndex = bundle.bundle_index();
        }
        bundles.push_back(std::move(stored));
    }
    store.addBatch(bundles, nowMillis());
    return "";
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
    store_ = std::make_unique<Store>(context.dataDir() / "analytics" / "measurement.sqlite");
    seedConfigs(*store_, context.dataDir());
}

void MeasurementService::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    stopped_.notify_all();
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
    if (!faulted("/a", res, fault)) {
        if (auto problem = storeUpload(*store_, req, body); !problem.empty()) {
            refuse(res, 400, problem);
        } else {
            res.status = 204;
        }
    }
    log(req, res, fault);
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
