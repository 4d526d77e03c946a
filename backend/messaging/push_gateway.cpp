#include "backend/messaging/push_gateway.h"

#include <stdexcept>

#include "backend/core/http_util.h"
#include "backend/core/route_table.h"
#include "backend/messaging/push_gateway_store.h"
#include "platform/crypto.h"

namespace backend {

namespace {

namespace fs = std::filesystem;
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

// The devices of a push_gateway.json. A file written before the bounds held
// (or by hand) may hold anything: what a registration could not store now
// is left out.
std::vector<pushgw::SavedDevice> savedDevices(const json& saved) {
    std::vector<pushgw::SavedDevice> devices;
    if (!saved.is_object() || !saved.contains("devices") || !saved["devices"].is_object()) return devices;
    for (const auto& [token, d] : saved["devices"].items()) {
        if (!isToken(token) || !d.is_object() ||
            !boundedString(d, "bundleId", PushGatewayService::kMaxBundleIdBytes) ||
            !boundedString(d, "deviceId", PushGatewayService::kMaxDeviceIdBytes)) {
            continue;
        }
        std::string environment = "sandbox";
        if (boundedString(d, "environment", PushGatewayService::kMaxEnvironmentBytes)) environment = d["environment"];
        pushgw::SavedDevice device{{lower(token), d["bundleId"], d["deviceId"], environment}, {}};
        if (d.contains("queue") && d["queue"].is_array()) {
            for (const auto& payload : d["queue"]) {
                std::string text = payload.dump();
                if (payload.is_object() && text.size() <= PushGatewayService::kMaxPayloadBytes) {
                    device.queue.push_back(std::move(text));
                }
            }
            // The newest stay, as in a queue that overflowed.
            if (device.queue.size() > PushGatewayService::kMaxQueued) {
                device.queue.erase(device.queue.begin(), device.queue.end() - long(PushGatewayService::kMaxQueued));
            }
        }
        devices.push_back(std::move(device));
    }
    return devices;
}

}  // namespace

PushGatewayService* pushGateway(Context& context) { return context.published<PushGatewayService>(kPublishedAs); }

PushGatewayService::PushGatewayService() = default;
PushGatewayService::~PushGatewayService() = default;

void PushGatewayService::start(Context& context) {
    store_ = std::make_unique<pushgw::Store>(context.dataDir() / "messaging" / "push_gateway.sqlite");
    importOldFile(context.dataDir() / "push_gateway.json");
    context.publish(kPublishedAs, this);
}

void PushGatewayService::importOldFile(const fs::path& file) {
    std::error_code ec;
    if (!fs::exists(file, ec)) return;
    // The mark is committed with the devices, so a start that stopped
    // before the file was set aside does not bring its payloads in twice.
    if (!store_->importedOldFile()) {
        auto text = readFile(file);
        store_->importOldFile(savedDevices(text ? json::parse(*text, nullptr, false) : json()));
    }
    // Set aside, not removed: nothing it held is lost, even what the store
    // would not take.
    fs::rename(file, fs::path(file.string() + ".imported"), ec);
    if (ec) throw std::runtime_error("cannot set aside " + file.string() + ": " + ec.message());
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
    sendJson(res, 200, json{{"deviceToken", store_->registerDevice(bundleId, deviceId, environment)}});
}

void PushGatewayService::fetchMessages(const Request& req, Response& res, const std::string&) {
    // The route's pattern need not check the segment: this does.
    std::string token = req.matches.size() > 1 ? req.matches[1] : std::string();
    if (!isToken(token)) {
        sendError(res, 400, "a device token is " + std::to_string(kTokenHexDigits) + " hex digits");
        return;
    }
    const auto payloads = store_->takeMessages(lower(std::move(token)));
    if (!payloads) {
        sendError(res, 404, "unknown device token");
        return;
    }
    json messages = json::array();
    for (const auto& payload : *payloads) messages.push_back(json::parse(payload));
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
    const std::string text = payload.dump();
    if (text.size() > kMaxPayloadBytes) {
        problem = "payload larger than 4096 bytes";
        return 413;
    }
    const auto length = store_->enqueue(token, text, kMaxQueued);
    if (!length) {
        problem = "unknown device token";
        return 404;
    }
    if (queued) *queued = *length;
    return 200;
}

void PushGatewayService::listDevices(const Request&, Response& res, const std::string&) {
    json list = json::array();
    for (const auto& [d, queued] : store_->devices()) {
        list.push_back({{"deviceToken", d.token},
                        {"bundleId", d.bundleId},
                        {"deviceId", d.deviceId},
                        {"environment", d.environment},
                        {"queued", queued}});
    }
    sendJson(res, 200, json{{"devices", std::move(list)}});
}

}  // namespace backend
