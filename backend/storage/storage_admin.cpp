// The storage service's admin endpoints (storage_service.h): faults, the
// request log, buckets, objects put directly, upload sessions.

#include <set>

#include "backend/core/http_util.h"
#include "backend/core/route_table.h"
#include "backend/storage/storage_service.h"
#include "backend/storage/storage_store.h"
#include "platform/no_destructor.h"

namespace backend {

using json = nlohmann::json;
using namespace storage;

namespace {

const std::set<std::string>& faultKinds() {
    static const ns::NoDestructor<std::set<std::string>> kinds(std::set<std::string>{
        "download", "metadata", "update", "delete", "startUpload", "uploadChunk", "uploadQuery", "cancelUpload",
        "other"});
    return *kinds;
}

// The points of storing a chunk a fault may act at (Store::appendChunk).
const std::set<std::string>& stepNames() {
    static const ns::NoDestructor<std::set<std::string>> steps(
        std::set<std::string>{"chunkSynced", "journaled", "renamed", "committed"});
    return *steps;
}

json faultJson(const StorageService::Fault& f) {
    json out{{"kind", f.kind},    {"object", f.object},     {"count", f.count},
             {"status", f.status}, {"message", f.message}, {"delayMs", f.delayMs},
             {"cut", f.cut}};
    if (f.cutAfterBytes) out["cutAfterBytes"] = *f.cutAfterBytes;
    if (!f.step.empty()) {
        out["step"] = f.step;
        out["crash"] = f.crash;
    }
    return out;
}

// "" or what is wrong with the fault.
std::string parseFault(const json& body, StorageService::Fault& f) {
    for (const auto& [key, value] : body.items()) {
        if (key == "kind" || key == "object" || key == "message" || key == "step") {
            if (!value.is_string()) return "\"" + key + "\" must be a string";
            (key == "kind" ? f.kind : key == "object" ? f.object : key == "step" ? f.step : f.message) =
                value.get<std::string>();
        } else if (key == "count" || key == "status" || key == "delayMs" || key == "cutAfterBytes") {
            if (!value.is_number_integer()) return "\"" + key + "\" must be an integer";
            const int64_t n = value.get<int64_t>();
            if (key == "count") {
                if (n < 1 || n > 1000000) return "\"count\" must be from 1 to 1000000";
                f.count = int(n);
            } else if (key == "status") {
                if (n < 200 || n > 599) return "\"status\" must be from 200 to 599";
                f.status = int(n);
            } else if (key == "delayMs") {
                if (n < 0 || n > StorageService::kMaxDelayMs) {
                    return "\"delayMs\" must be from 0 to " + std::to_string(StorageService::kMaxDelayMs);
                }
                f.delayMs = int(n);
            } else {
                if (n < 0) return "\"cutAfterBytes\" must not be negative";
                f.cutAfterBytes = n;
            }
        } else if (key == "cut" || key == "crash") {
            if (!value.is_boolean()) return "\"" + key + "\" must be true or false";
            (key == "cut" ? f.cut : f.crash) = value.get<bool>();
        } else {
            return "unknown key \"" + key + "\"";
        }
    }
    if (!f.kind.empty() && f.kind != "any" && !faultKinds().count(f.kind)) return "unknown kind \"" + f.kind + "\"";
    if (f.kind == "any") f.kind.clear();
    if (f.status && f.cut) return "a fault either answers with a status or cuts, not both";
    if (!f.step.empty() || f.crash) {
        if (!stepNames().count(f.step)) return "unknown step \"" + f.step + "\"";
        if (f.kind != "uploadChunk" && f.kind != "uploadQuery") return "a step fault needs the kind uploadChunk or uploadQuery";
        if (f.status || f.cut) return "a step fault crashes or holds the step, nothing else";
        if (!f.crash && !f.delayMs) return "a step fault needs \"crash\" or a delay";
        return "";
    }
    if (!f.status && !f.cut && !f.delayMs) return "a fault needs a status, a cut or a delay";
    return "";
}

// A year at a time at most, so the offset cannot overflow.
constexpr int64_t kMaxClockAdvanceMs = 366ll * 24 * 60 * 60 * 1000;

json bucketsJson(const std::map<std::string, BucketSettings>& buckets) {
    json out = json::object();
    for (const auto& [name, b] : buckets) {
        out[name] = {{"appId", b.appId ? json(*b.appId) : json(nullptr)},
                     {"quotaBytes", b.quotaBytes ? json(*b.quotaBytes) : json(nullptr)}};
    }
    return out;
}

}  // namespace

struct StorageService::Admin {
    static void getFaults(StorageService& s, const Request&, Response& res, const std::string&) {
        json list = json::array();
        std::lock_guard lock(s.mutex_);
        for (const auto& f : s.faults_) list.push_back(faultJson(f));
        sendJson(res, 200, json{{"faults", list}});
    }

    static void addFault(StorageService& s, const Request&, Response& res, const std::string& body) {
        json parsed;
        if (!parseJsonObject(body, res, parsed)) return;
        Fault fault;
        if (auto problem = parseFault(parsed, fault); !problem.empty()) return sendError(res, 400, problem);
        std::lock_guard lock(s.mutex_);
        s.faults_.push_back(fault);
        sendJson(res, 200, faultJson(fault));
    }

    static void clearFaults(StorageService& s, const Request&, Response& res, const std::string&) {
        {
            std::lock_guard lock(s.mutex_);
            sendJson(res, 200, json{{"cleared", s.faults_.size()}});
            s.faults_.clear();
            ++s.faultsCleared_;  // releases steps held by a fault
        }
        s.stopped_.notify_all();
    }

    static void getRequests(StorageService& s, const Request& req, Response& res, const std::string&) {
        const auto page = readLogPage(req, res);
        if (!page) return;
        std::lock_guard lock(s.mutex_);
        sendLogPage(res, "requests", s.requests_, *page, [](const LoggedRequest& r, std::string& text) {
            json headers = json::array();
            r.headers.forEach([&](std::string_view name, std::string_view value) {
                headers.push_back({{"name", name}, {"value", value}});
            });
            json entry{{"id", r.id},         {"kind", r.kind},     {"method", r.method},
                       {"target", r.target}, {"path", r.path},     {"query", r.query},
                       {"headers", headers}, {"bodySize", r.bodySize}, {"status", r.status},
                       {"fault", r.fault}};
            if (r.truncated) entry["truncated"] = true;
            // Client bytes need not be UTF-8.
            text += entry.dump(-1, ' ', false, json::error_handler_t::replace);
        });
    }

    static void clearRequests(StorageService& s, const Request&, Response& res, const std::string&) {
        std::lock_guard lock(s.mutex_);
        sendJson(res, 200, json{{"cleared", s.requests_.clear()}});
    }

    static void getBuckets(StorageService& s, const Request&, Response& res, const std::string&) {
        sendJson(res, 200, json{{"buckets", bucketsJson(s.store_->buckets())}});
    }

    // Sets the fields the body names; the others keep their values.
    static void setBucket(StorageService& s, const Request&, Response& res, const std::string& body) {
        json parsed;
        if (!parseJsonObject(body, res, parsed)) return;
        if (!parsed.contains("bucket") || !parsed["bucket"].is_string() ||
            !isValidBucketName(parsed["bucket"].get<std::string>())) {
            return sendError(res, 400, "\"bucket\" must be a bucket name");
        }
        const std::string name = parsed["bucket"];
        BucketSettings settings = s.store_->bucket(name).value_or(BucketSettings{});
        if (parsed.contains("appId")) {
            if (!parsed["appId"].is_null() && !parsed["appId"].is_string()) {
                return sendError(res, 400, "\"appId\" must be a string or null");
            }
            settings.appId = parsed["appId"].is_null() ? std::nullopt : std::optional(parsed["appId"].get<std::string>());
        }
        if (parsed.contains("quotaBytes")) {
            const auto& q = parsed["quotaBytes"];
            if (!q.is_null() && (!q.is_number_integer() || q.get<int64_t>() < 0)) {
                return sendError(res, 400, "\"quotaBytes\" must be a number of bytes or null");
            }
            settings.quotaBytes = q.is_null() ? std::nullopt : std::optional(q.get<int64_t>());
        }
        s.store_->setBucket(name, settings);
        sendJson(res, 200, json{{"buckets", bucketsJson(s.store_->buckets())}});
    }

    static void getObjects(StorageService& s, const Request& req, Response& res, const std::string&) {
        json list = json::array();
        for (const auto& o : s.store_->list(req.get_param_value("bucket"))) list.push_back(toWireJson(o));
        sendJson(res, 200, json{{"objects", list}});
    }

    static void putObject(StorageService& s, const Request& req, Response& res, const std::string& body) {
        const std::string bucket = req.get_param_value("bucket"), name = req.get_param_value("name");
        if (!isValidBucketName(bucket) || !isValidObjectName(name)) {
            return sendError(res, 400, "give a valid \"bucket\" and \"name\"");
        }
        MetadataPatch metadata;
        if (req.has_param("contentType")) metadata.fields["contentType"] = req.get_param_value("contentType");
        const ChunkOutcome outcome = s.store_->put(bucket, name, metadata, body);
        if (!outcome.object) {
            return sendError(res, outcome.kind == ChunkOutcome::Kind::TooLarge ? 413 : 402, outcome.message);
        }
        sendJson(res, 200, toWireJson(*outcome.object));
    }

    static void getSessions(StorageService& s, const Request&, Response& res, const std::string&) {
        json list = json::array();
        for (const auto& session : s.store_->sessions()) {
            list.push_back({{"id", session.id},
                            {"bucket", session.bucket},
                            {"name", session.name},
                            {"received", session.received},
                            {"total", session.total ? json(*session.total) : json(nullptr)},
                            {"finished", bool(session.finishedGeneration)}});
        }
        sendJson(res, 200, json{{"sessions", list}});
    }

    static void dropSessions(StorageService& s, const Request& req, Response& res, const std::string&) {
        const std::string id = req.get_param_value("id");
        if (req.has_param("id") && id.empty()) return sendError(res, 400, "\"id\" must name an upload session");
        const std::size_t dropped = s.store_->dropSessions(id);
        if (!id.empty() && dropped == 0) return sendError(res, 404, "there is no upload session " + id);
        sendJson(res, 200, json{{"dropped", dropped}});
    }

    static void advanceClock(StorageService& s, const Request&, Response& res, const std::string& body) {
        json parsed;
        if (!parseJsonObject(body, res, parsed)) return;
        const auto advance = parsed.find("advanceMs");
        if (parsed.size() != 1 || advance == parsed.end() || !advance->is_number_integer() ||
            advance->get<int64_t>() < 0 || advance->get<int64_t>() > kMaxClockAdvanceMs) {
            return sendError(res, 400, "give {\"advanceMs\": n}, n from 0 to " + std::to_string(kMaxClockAdvanceMs));
        }
        sendJson(res, 200, json{{"offsetMs", s.store_->advanceSessionClock(advance->get<int64_t>())}});
    }
};

void StorageService::installAdmin(HttpRouter& server) {
    const RouteRow<StorageService> routes[] = {
        {"GET", "/__admin/storage/faults", &Admin::getFaults},
        {"POST", "/__admin/storage/faults", &Admin::addFault},
        {"DELETE", "/__admin/storage/faults", &Admin::clearFaults},
        {"GET", "/__admin/storage/requests", &Admin::getRequests},
        {"DELETE", "/__admin/storage/requests", &Admin::clearRequests},
        {"GET", "/__admin/storage/buckets", &Admin::getBuckets},
        {"POST", "/__admin/storage/buckets", &Admin::setBucket},
        {"GET", "/__admin/storage/objects", &Admin::getObjects},
        {"PUT", "/__admin/storage/objects", &Admin::putObject},
        {"GET", "/__admin/storage/sessions", &Admin::getSessions},
        {"DELETE", "/__admin/storage/sessions", &Admin::dropSessions},
        {"POST", "/__admin/storage/clock", &Admin::advanceClock},
    };
    installRoutes(server, *this, routes);
}

}  // namespace backend
