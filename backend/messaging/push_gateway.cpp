#include "backend/messaging/push_gateway.h"

#include "backend/core/http_util.h"
#include "backend/core/route_table.h"
#include "platform/crypto.h"

namespace backend {

namespace {

using json = nlohmann::json;

std::string lower(std::string text) {
    for (auto& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool nonEmptyString(const json& object, const char* key) {
    auto it = object.find(key);
    return it != object.end() && it->is_string() && !it->get<std::string>().empty();
}

// A string of 1 to `limit` bytes under `key`.
bool boundedString(const json& object, const char* key, std::size_t limit) {
    return nonEmptyString(object, key) && object.at(key).get_ref<const std::string&>().size() <= limit;
}

bool isToken(const std::string& text) {
    return text.size() == PushGatewayService::kTokenHexDigits && ns::crypto::hexDecode(text).has_value();
}

// The device's request is a few short texts.
constexpr std::size_t kMaxRegistrationBytes = 4096;

constexpr const char* kPublishedAs = "push-gateway.service";

}  // namespace

PushGatewayService* pushGateway(Context& context) { return context.published<PushGatewayService>(kPublishedAs); }

void PushGatewayService::start(Context& context) {
    context.publish(kPublishedAs, this);
    std::lock_guard lock(mutex_);
    file_ = context.dataDir() / "push_gateway.json";
    auto text = readFile(file_);
    if (!text) return;
    json saved = json::parse(*text, nullptr, false);
    if (!saved.is_object() || !saved.contains("devices") || !saved["devices"].is_object()) return;
    // A file written before the bounds held (or by hand) may hold anything:
    // what a registration could not store now is left out.
    for (const auto& [token, d] : saved["devices"].items()) {
        if (!isToken(token) || !d.is_object() || !boundedString(d, "bundleId", kMaxBundleIdBytes) ||
            !boundedString(d, "deviceId", kMaxDeviceIdBytes)) {
            continue;
        }
        std::string environment = "sandbox";
        if (boundedString(d, "environment", kMaxEnvironmentBytes)) environment = d["environment"];
        Device device{d["bundleId"], d["deviceId"], environment, {}};
        if (d.contains("queue") && d["queue"].is_array()) {
            for (const auto& payload : d["queue"]) {
                if (payload.is_object() && payload.dump().size() <= kMaxPayloadBytes) device.queue.push_back(payload);
            }
            while (device.queue.size() > kMaxQueued) device.queue.pop_front();
        }
        devices_[lower(token)] = std::move(device);
    }
}

void PushGatewayService::saveLocked() {
    if (file_.empty()) return;
    json devices = json::object();
    for (const auto& [token, d] : devices_) {
        devices[token] = {{"bundleId", d.bundleId},
                          {"deviceId", d.deviceId},
                          {"environment", d.environment},
                          {"queue", json(std::vector<json>(d.queue.begin(), d.queue.end()))}};
    }
    writeFileAtomic(file_, json{{"devices", devices}}.dump());
}

void PushGatewayService::install(HttpRouter& server, const Listener&, Context&) {
    const RouteRow<PushGatewayService> routes[] = {
        {"POST", "/push/v1/devices", &PushGatewayService::registerDevice},
        {"GET", "/push/v1/devices/*/messages", &PushGatewayService::fetchMessages},
        {"POST", "/__admin/push/v1/send", &PushGatewayService::send},
        {"GET", "/__admin/push/v1/devices", &PushGatewayService::listDevices},
    };
    installRoutes(server, *this, routes);
}

void PushGatewayService::registerDevice(const Request&, Response& res, const std::string& body) {
    if (body.size() > kMaxRegistrationBytes) {
        sendError(res, 400, "a registration is at most " + std::to_string(kMaxRegistrationBytes) + " bytes");
        return;
    }
    json request;
    if (!parseJsonObject(body, res, request)) return;
    if (!nonEmptyString(request, "bundleId") || !nonEmptyString(request, "deviceId")) {
        sendError(res, 400, "bundleId and deviceId are required");
        return;
    }
    if (!boundedString(request, "bundleId", kMaxBundleIdBytes) ||
        !boundedString(request, "deviceId", kMaxDeviceIdBytes)) {
        sendError(res, 400, "bundleId is at most " + std::to_string(kMaxBundleIdBytes) + " bytes, deviceId at most " +
                                std::to_string(kMaxDeviceIdBytes));
        return;
    }
    const auto environmentItem = request.find("environment");
    if (environmentItem != request.end() &&
        (!environmentItem->is_string() ||
         environmentItem->get_ref<const std::string&>().size() > kMaxEnvironmentBytes)) {
        sendError(res, 400, "environment is a string of at most " + std::to_string(kMaxEnvironmentBytes) + " bytes");
        return;
    }
    const std::string bundleId = request["bundleId"];
    const std::string deviceId = request["deviceId"];
    const std::string environment = nonEmptyString(request, "environment") ? request["environment"].get<std::string>()
                                                                           : std::string("sandbox");
    std::lock_guard lock(mutex_);
    for (auto& [token, d] : devices_) {
        if (d.bundleId == bundleId && d.deviceId == deviceId) {
            d.environment = environment;
            saveLocked();
            sendJson(res, 200, json{{"deviceToken", token}});
            return;
        }
    }
    std::string token;
    do {
        token = ns::crypto::hex(ns::crypto::randomBytes(32));
    } while (devices_.count(token));
    devices_[token] = Device{bundleId, deviceId, environment, {}};
    saveLocked();
    sendJson(res, 200, json{{"deviceToken", token}});
}

void PushGatewayService::fetchMessages(const Request& req, Response& res, const std::string&) {
    // The route's pattern need not check the segment: this does.
    std::string token = req.matches.size() > 1 ? req.matches[1] : std::string();
    if (!isToken(token)) {
        sendError(res, 400, "a device token is " + std::to_string(kTokenHexDigits) + " hex digits");
        return;
    }
    token = lower(std::move(token));
    std::lock_guard lock(mutex_);
    auto it = devices_.find(token);
    if (it == devices_.end()) {
        sendError(res, 404, "unknown device token");
        return;
    }
    json messages(std::vector<json>(it->second.queue.begin(), it->second.queue.end()));
    it->second.queue.clear();
    saveLocked();
    sendJson(res, 200, json{{"messages", std::move(messages)}});
}

void PushGatewayService::send(const Request&, Response& res, const std::string& body) {
    // Past this the payload alone is over its limit: no need to parse it.
    if (body.size() > 4 * kMaxPayloadBytes) return sendError(res, 413, "payload larger than 4096 bytes");
    json request;
    if (!parseJsonObject(body, res, request)) return;
    if (!nonEmptyString(request, "deviceToken") || !request.contains("payload") || !request["payload"].is_object()) {
        sendError(res, 400, "deviceToken and a payload object are required");
        return;
    }
    std::string problem;
    std::size_t queued = 0;
    const int status = enqueue(request["deviceToken"], request["payload"], problem, &queued);
    if (status != 200) return sendError(res, status, problem);
    sendJson(res, 200, json{{"queued", queued}});
}

int PushGatewayService::enqueue(std::string token, const json& payload, std::string& problem, std::size_t* queued) {
    if (!isToken(token)) {
        problem = "a device token is " + std::to_string(kTokenHexDigits) + " hex digits";
        return 400;
    }
    token = lower(std::move(token));
    if (!payload.is_object()) {
        problem = "the payload must be an object";
        return 400;
    }
    if (payload.dump().size() > kMaxPayloadBytes) {
        problem = "payload larger than 4096 bytes";
        return 413;
    }
    std::lock_guard lock(mutex_);
    auto it = devices_.find(token);
    if (it == devices_.end()) {
        problem = "unknown device token";
        return 404;
    }
    auto& queue = it->second.queue;
    queue.push_back(payload);
    while (queue.size() > kMaxQueued) queue.pop_front();
    saveLocked();
    if (queued) *queued = queue.size();
    return 200;
}

void PushGatewayService::listDevices(const Request&, Response& res, const std::string&) {
    json list = json::array();
    std::lock_guard lock(mutex_);
    for (const auto& [token, d] : devices_) {
        list.push_back({{"deviceToken", token},
                        {"bundleId", d.bundleId},
                        {"deviceId", d.deviceId},
                        {"environment", d.environment},
                        {"queued", d.queue.size()}});
    }
    sendJson(res, 200, json{{"devices", std::move(list)}});
}

}  // namespace backend
