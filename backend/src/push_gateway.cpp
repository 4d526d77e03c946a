#include "backend/push_gateway.h"

#include "backend/http_util.h"
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
    for (const auto& [token, d] : saved["devices"].items()) {
        if (!d.is_object() || !nonEmptyString(d, "bundleId") || !nonEmptyString(d, "deviceId")) continue;
        Device device{d["bundleId"], d["deviceId"], d.value("environment", std::string("sandbox")), {}};
        if (d.contains("queue") && d["queue"].is_array()) {
            for (const auto& payload : d["queue"]) device.queue.push_back(payload);
        }
        devices_[token] = std::move(device);
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
    route(server, "POST", "/push/v1/devices",
          [this](const Request& req, Response& res, const std::string& body) { registerDevice(req, res, body); });
    route(server, "GET", "/push/v1/devices/([0-9a-fA-F]+)/messages",
          [this](const Request& req, Response& res, const std::string&) { fetchMessages(req, res); });
    route(server, "POST", "/__admin/push/v1/send",
          [this](const Request&, Response& res, const std::string& body) { send(res, body); });
    route(server, "GET", "/__admin/push/v1/devices",
          [this](const Request&, Response& res, const std::string&) { listDevices(res); });
}

void PushGatewayService::registerDevice(const Request&, Response& res, const std::string& body) {
    json request;
    if (!parseJsonObject(body, res, request)) return;
    if (!nonEmptyString(request, "bundleId") || !nonEmptyString(request, "deviceId")) {
        sendError(res, 400, "bundleId and deviceId are required");
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

void PushGatewayService::fetchMessages(const Request& req, Response& res) {
    std::string token = req.matches.size() > 1 ? req.matches[1] : std::string();
    for (auto& c : token) c = char(std::tolower(static_cast<unsigned char>(c)));
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

void PushGatewayService::send(Response& res, const std::string& body) {
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

void PushGatewayService::listDevices(Response& res) {
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
