// The device check-in (iid_service.h).

#include "backend/core/http_util.h"
#include "backend/core/route_table.h"
#include "backend/instanceid/iid_service.h"

namespace backend {

using json = nlohmann::json;

namespace {

// The client's check-in is a few hundred bytes of short texts (the digest
// comes back as the server wrote it, 22 characters); a longer body is
// refused before it is parsed, a longer text before anything is checked.
constexpr size_t kMaxCheckinBytes = 16 * 1024;
constexpr size_t kMaxTextBytes = 256;

// True when every string in `value` (keys too) has at most `limit` bytes.
// Walks with its own stack: the nesting is bounded, but not by much.
bool textsWithin(const json& value, size_t limit) {
    std::vector<const json*> pending{&value};
    while (!pending.empty()) {
        const json* item = pending.back();
        pending.pop_back();
        if (item->is_string() && item->get_ref<const std::string&>().size() > limit) return false;
        if (item->is_object()) {
            for (const auto& [key, child] : item->items()) {
                if (key.size() > limit) return false;
                pending.push_back(&child);
            }
        } else if (item->is_array()) {
            for (const auto& child : *item) pending.push_back(&child);
        }
    }
    return true;
}

// A non-negative JSON integer below 2^63, read exactly (never through a
// double); nullopt for anything else.
std::optional<uint64_t> idField(const json& body, const char* key) {
    auto it = body.find(key);
    if (it == body.end()) return std::nullopt;
    if (it->is_number_unsigned()) {
        const uint64_t v = it->get<uint64_t>();
        if (v > uint64_t(INT64_MAX)) return std::nullopt;
        return v;
    }
    if (it->is_number_integer() && it->get<int64_t>() >= 0) return uint64_t(it->get<int64_t>());
    return std::nullopt;
}

void refuse(Response& res, int status, const std::string& message) {
    sendJson(res, status, json{{"error", message}});
}

}  // namespace

void CheckinService::start(Context& context) {
    store_ = iid::store(context);
    activity_ = iid::activity(context);
}

void CheckinService::install(HttpRouter& server, const Listener&, Context&) {
    const RouteRow<CheckinService> routes[] = {
        {"POST", "/checkin", &CheckinService::handleCheckin},
    };
    installRoutes(server, *this, routes);
}

void CheckinService::handleCheckin(const Request&, Response& res, const std::string& body) {
    if (auto fault = activity_->takeFault({"checkinRefuse", "checkinDrop"})) {
        activity_->count("faults");
        if (*fault == "checkinDrop") {
            res.set_header(kCloseWithoutAnswerHeader, "1");
            res.status = 200;
            return;
        }
        return refuse(res, 503, "the check-in service is unavailable");
    }
    if (body.size() > kMaxCheckinBytes) {
        activity_->count("checkinsRefused");
        return refuse(res, 400, "the check-in is longer than " + std::to_string(kMaxCheckinBytes) + " bytes");
    }
    json request;
    if (!parseJsonObject(body, res, request)) {
        activity_->count("checkinsRefused");
        return;
    }
    if (!textsWithin(request, kMaxTextBytes)) {
        activity_->count("checkinsRefused");
        return refuse(res, 400, "texts in a check-in are at most " + std::to_string(kMaxTextBytes) + " bytes");
    }
    const auto id = idField(request, "id");
    const auto secret = idField(request, "security_token");
    const auto checkin = request.find("checkin");
    const auto version = request.find("version");
    const auto digest = request.find("digest");
    std::string problem;
    if (!id) {
        problem = "\"id\" must be an integer from 0 to 2^63-1";
    } else if (!secret) {
        problem = "\"security_token\" must be an integer from 0 to 2^63-1";
    } else if (checkin == request.end() || !checkin->is_object()) {
        problem = "\"checkin\" must be an object";
    } else if (version == request.end() || !version->is_number_integer()) {
        problem = "\"version\" must be an integer";
    } else if (digest != request.end() && !digest->is_string()) {
        problem = "\"digest\" must be a string";
    } else if (*id == 0 && *secret != 0) {
        problem = "a new device has no secret";
    }
    if (!problem.empty()) {
        activity_->count("checkinsRefused");
        return refuse(res, 400, problem);
    }
    iid::Device device;
    if (*id == 0) {
        device = store_->createDevice(iid::nowMillis());
    } else {
        auto known = store_->device(*id);
        if (!known || known->secret != *secret) {
            activity_->count("checkinsRefused");
            return refuse(res, 401, "unknown device or wrong secret");
        }
        device = store_->renewDevice(*known, iid::nowMillis());
    }
    activity_->count("checkins");
    sendJson(res, 200,
             json{{"stats_ok", true},
                  {"verdos_id", device.id},
                  {"security_token", device.secret},
                  {"time_msec", device.checkinMs},
                  {"digest", device.digest},
                  {"version_info", "almavel-iid-1"},
                  {"device_data_version_info", "DEVICE_DATA_VERSION_INFO_DEFAULT"},
                  {"setting",
                   json::array({json{{"name", "checkin_interval"}, {"value", "86400"}},
                                json{{"name", "iid_registration_host"}, {"value", "iid.ondrixapis.com"}}})}});
}

}  // namespace backend
