// The measurement service's admin endpoints (measurement_service.h): the
// stored batches, configurations, faults and the request log.

#include <atomic>
#include <climits>
#include <filesystem>
#include <fstream>
#include <set>

#include "backend/analytics/measurement_service.h"
#include "backend/analytics/measurement_store.h"
#include "backend/analytics/measurement_wire.h"
#include "backend/core/route_table.h"
#include "platform/crypto.h"
#include "platform/no_destructor.h"

namespace backend {

using json = nlohmann::json;
using namespace measurement;

namespace {

constexpr int kMaxFaultCount = 1000;

// The answers a fault may give instead of the service's own.
const std::set<int>& faultStatuses() {
    static const ns::NoDestructor<std::set<int>> statuses(std::set<int>{204, 304, 404, 429, 500, 503});
    return *statuses;
}

// "" or what is wrong with the fault.
std::string parseFault(const json& body, MeasurementService::Fault& f) {
    for (const auto& [key, value] : body.items()) {
        if (key == "path") {
            if (!value.is_string()) return "\"path\" must be \"/a\" or \"/config\"";
            f.path = value.get<std::string>();
        } else if (key == "count" || key == "status" || key == "delayMs") {
            if (!value.is_number_integer()) return "\"" + key + "\" must be an integer";
            const int64_t n = value.get<int64_t>();
            if (key == "count" && (n < 1 || n > kMaxFaultCount)) {
                return "\"count\" must be from 1 to " + std::to_string(kMaxFaultCount);
            }
            if (key == "status" && !faultStatuses().count(int(n))) {
                return "\"status\" must be one of 204, 304, 404, 429, 500, 503";
            }
            if (key == "delayMs" && (n < 0 || n > MeasurementService::kMaxDelayMs)) {
                return "\"delayMs\" must be from 0 to " + std::to_string(MeasurementService::kMaxDelayMs);
            }
            (key == "count" ? f.count : key == "status" ? f.status : f.delayMs) = int(n);
        } else if (key == "cut") {
            if (!value.is_boolean()) return "\"cut\" must be true or false";
            f.cut = value.get<bool>();
        } else {
            return "unknown key \"" + key + "\"";
        }
    }
    if (f.path != "/a" && f.path != "/config") return "\"path\" must be \"/a\" or \"/config\"";
    if (f.status && f.cut) return "a fault either answers with a status or cuts, not both";
    if (!f.status && !f.cut && !f.delayMs) return "a fault needs a status, a cut or a delay";
    return "";
}

// The encoded configuration a set-config body gives, or "" with `problem`.
std::string configBytes(const json& body, std::string& problem) {
    if (body.contains("config") == body.contains("raw")) {
        problem = "give either \"config\" or \"raw\"";
        return "";
    }
    qrvanalytics::MeasurementConfig config;
    if (body.contains("config")) {
        if (problem = messageFromJson(body["config"], config); !problem.empty()) return "";
        return config.SerializeAsString();
    }
    const auto& raw = body["raw"];
    auto bytes = raw.is_string() ? ns::crypto::base64DecodeStrict(raw.get<std::string>()) : std::nullopt;
    if (!bytes) {
        problem = "\"raw\" must be base64 text";
        return "";
    }
    std::string encoded = ns::crypto::toString(*bytes);
    if (!config.ParseFromString(encoded)) problem = "\"raw\" is not an encoded MeasurementConfig";
    return encoded;
}

// Batches a listing page holds unless asked for fewer, and at most; a page
// also ends after the batch that takes its text past kPageBytes.
constexpr int64_t kDefaultPage = 100;
constexpr int64_t kMaxPage = 1000;
constexpr std::streamoff kPageBytes = 64 * 1024 * 1024;

std::string dumped(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

// A listing written to a file of its own, sent from the file and gone from
// the folder as soon as it is opened, so a page of large batches never
// stands whole in memory.
struct Listing {
    explicit Listing(const std::filesystem::path& dir)
        : path(dir / ("listing-" + std::to_string(next++) + ".json")), out(path, std::ios::binary | std::ios::trunc) {
        if (!out) throw std::runtime_error("cannot write " + path.string());
    }
    ~Listing() {
        std::error_code ec;
        std::filesystem::remove(path, ec);
    }
    Listing(const Listing&) = delete;
    Listing& operator=(const Listing&) = delete;

    std::shared_ptr<const FileBody> finish() {
        out.close();
        std::error_code ec;
        const auto size = std::filesystem::file_size(path, ec);
        auto body = out && !ec ? FileBody::open(path.string(), 0, size) : nullptr;
        if (!body) throw std::runtime_error("cannot read back " + path.string());
        return body;
    }

    static inline std::atomic<uint64_t> next{1};
    const std::filesystem::path path;
    std::ofstream out;
};

json faultJson(const MeasurementService::Fault& f) {
    return json{{"path", f.path}, {"count", f.count}, {"status", f.status}, {"delayMs", f.delayMs}, {"cut", f.cut}};
}

}  // namespace

struct MeasurementService::Admin {
    static void getBatches(MeasurementService& s, const Request& req, Response& res, const std::string&) {
        int64_t after = 0, limit = kDefaultPage;
        if (!queryNumber(req, "after", int64_t(0), INT64_MAX, after) ||
            !queryNumber(req, "limit", int64_t(1), kMaxPage, limit)) {
            return sendError(res, 400, "\"after\" must be a batch id and \"limit\" from 1 to " +
                                           std::to_string(kMaxPage));
        }
        const auto heads = s.store_->batchPage(after, int(limit) + 1);
        std::optional<int64_t> next;
        Listing listing(s.listingDir_);
        listing.out << "{\"batches\":[";
        for (std::size_t i = 0; i < heads.size(); ++i) {
            if (i == std::size_t(limit) || (i > 0 && listing.out.tellp() > kPageBytes)) {
                next = heads[i - 1].id;
                break;
            }
            listing.out << (i ? "," : "") << "{\"id\":" << heads[i].id << ",\"receivedMs\":" << heads[i].receivedMs
                        << ",\"bundles\":[";
            bool first = true;
            s.store_->forEachBundle(heads[i].id, [&](const std::string& bytes) {
                qrvanalytics::MeasurementBundle bundle;
                // Stored only after it decoded, by this same class.
                if (!bundle.ParseFromString(bytes)) throw std::runtime_error("a stored bundle no longer decodes");
                listing.out << (first ? "" : ",") << dumped(messageJson(bundle));
                first = false;
            });
            listing.out << "]}";
        }
        listing.out << "],\"duplicates\":" << s.store_->duplicates()
                    << ",\"droppedBatches\":" << s.store_->droppedBatches();
        if (next) listing.out << ",\"next\":" << *next;
        listing.out << "}";
        res.status = 200;
        res.set_file(listing.finish(), "application/json");
    }

    static void clearBatches(MeasurementService& s, const Request&, Response& res, const std::string&) {
        s.store_->clearBatches();
        sendJson(res, 200, json::object());
    }

    static void setConfig(MeasurementService& s, const Request& req, Response& res, const std::string& body) {
        const std::string& appId = req.matches.at(1);
        if (appId.size() > kMaxAppIdBytes) return sendError(res, 400, "the app id is too long");
        json parsed;
        if (!parseJsonObject(body, res, parsed)) return;
        for (const auto& [key, value] : parsed.items()) {
            if (key != "config" && key != "raw" && key != "lastModified") {
                return sendError(res, 400, "unknown key \"" + key + "\"");
            }
        }
        std::optional<int64_t> lastModified;
        if (parsed.contains("lastModified")) {
            const auto& text = parsed["lastModified"];
            if (text.is_string()) lastModified = parseHttpDate(text.get<std::string>());
            // Kept as a time and written back, so only the canonical text is taken.
            if (!lastModified || httpDate(*lastModified) != text.get<std::string>()) {
                return sendError(res, 400, "\"lastModified\" must be an IMF-fixdate (Sun, 06 Nov 1994 08:49:37 GMT)");
            }
        }
        std::string problem;
        const std::string bytes = configBytes(parsed, problem);
        if (!problem.empty()) return sendError(res, 400, problem);
        const int64_t kept = s.store_->setConfig(appId, bytes, lastModified, nowMillis() / 1000);
        sendJson(res, 200, json{{"lastModified", httpDate(kept)}});
    }

    static void removeConfig(MeasurementService& s, const Request& req, Response& res, const std::string&) {
        if (!s.store_->removeConfig(req.matches.at(1))) return sendError(res, 404, "no configuration for that app");
        sendJson(res, 200, json::object());
    }

    static void addFault(MeasurementService& s, const Request&, Response& res, const std::string& body) {
        json parsed;
        if (!parseJsonObject(body, res, parsed)) return;
        Fault fault;
        if (auto problem = parseFault(parsed, fault); !problem.empty()) return sendError(res, 400, problem);
        std::lock_guard lock(s.mutex_);
        s.faults_.push_back(fault);
        sendJson(res, 200, faultJson(fault));
    }

    static void clearFaults(MeasurementService& s, const Request&, Response& res, const std::string&) {
        std::lock_guard lock(s.mutex_);
        sendJson(res, 200, json{{"cleared", s.faults_.size()}});
        s.faults_.clear();
    }

    static void getRequests(MeasurementService& s, const Request&, Response& res, const std::string&) {
        std::lock_guard lock(s.mutex_);
        sendJson(res, 200, json{{"requests", s.requests_.list()}});
    }

    static void clearRequests(MeasurementService& s, const Request&, Response& res, const std::string&) {
        std::lock_guard lock(s.mutex_);
        s.requests_.clear();
        sendJson(res, 200, json::object());
    }
};

void MeasurementService::installAdmin(HttpRouter& server) {
    const RouteRow<MeasurementService> routes[] = {
        {"GET", "/__admin/analytics/batches", &Admin::getBatches},
        {"DELETE", "/__admin/analytics/batches", &Admin::clearBatches},
        {"PUT", "/__admin/analytics/configs/*", &Admin::setConfig},
        {"DELETE", "/__admin/analytics/configs/*", &Admin::removeConfig},
        {"POST", "/__admin/analytics/faults", &Admin::addFault},
        {"DELETE", "/__admin/analytics/faults", &Admin::clearFaults},
        {"GET", "/__admin/analytics/requests", &Admin::getRequests},
        {"DELETE", "/__admin/analytics/requests", &Admin::clearRequests},
    };
    installRoutes(server, *this, routes);
}

}  // namespace backend
