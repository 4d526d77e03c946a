#pragma once
// The push gateway: the stand-in for the phone maker's push service that
// the platform registers with (ns::PushGateway, platform/push_gateway.h).
//
// It hands out one 32-byte device token per (bundle identifier, device
// identifier), the same one on every registration, and keeps a queue of
// payloads per token that the device takes when it fetches. Payloads are
// posted through the admin endpoint (tests, the sensor panel, later the
// messaging server). Registrations and queued payloads are kept in the
// data dir (messaging/push_gateway.sqlite, push_gateway_store.h), each
// committed before it is answered, so they survive a restart and a kill.
// A data dir from before that store keeps them in push_gateway.json: its
// devices and payloads are brought into the store on the first start, and
// the file is set aside unchanged as push_gateway.json.imported.
//
//   POST /push/v1/devices                  {"bundleId","deviceId","environment"}
//                                          -> {"deviceToken": 64 hex digits}
//   GET  /push/v1/devices/<token>/messages -> {"messages": [payload, ...]},
//                                          oldest first; the queue is emptied
//   POST /__admin/push/v1/send             {"deviceToken","payload"} -> {"queued": n}
//   GET  /__admin/push/v1/devices          {"devices": [{"deviceToken","bundleId",
//                                          "deviceId","environment","queued"}]}
//
// A payload is a JSON object of at most kMaxPayloadBytes serialised bytes
// (the operating system's limit); each queue keeps at most kMaxQueued
// payloads, dropping the oldest, as a device that stays away loses old
// notifications. Every text a device sends is bounded (a bundle identifier
// kMaxBundleIdBytes, a device identifier kMaxDeviceIdBytes, an environment
// kMaxEnvironmentBytes, a token exactly kTokenHexDigits hex digits) and
// refused with 400 before anything is kept, so what the gateway holds in
// memory and in its file never grows with what a caller sends.

#include <cstddef>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "backend/core/service.h"

namespace backend {

namespace pushgw {
class Store;
}

class PushGatewayService : public Service {
public:
    static constexpr std::size_t kMaxPayloadBytes = 4096;
    static constexpr std::size_t kMaxQueued = 100;
    static constexpr std::size_t kMaxBundleIdBytes = 255;
    static constexpr std::size_t kMaxDeviceIdBytes = 128;
    static constexpr std::size_t kMaxEnvironmentBytes = 32;
    static constexpr std::size_t kTokenHexDigits = 64;

    PushGatewayService();
    ~PushGatewayService() override;
    std::string name() const override { return "push-gateway"; }
    void start(Context& context) override;
    void install(HttpRouter& server, const Listener& listener, Context& context) override;

    // Queues `payload` for the device token (hex, either case): the admin
    // send and the messaging server's deliveries both come here. Answers 200
    // (queued, the queue's length in `queued`), 400 (not an object, or a
    // token that is not kTokenHexDigits hex digits), 404 (unknown token) or 413 (payload too large), with the reason in
    // `problem`.
    int enqueue(std::string token, const nlohmann::json& payload, std::string& problem,
                std::size_t* queued = nullptr);

private:
    // The routes' handlers (install).
    void registerDevice(const Request& req, Response& res, const std::string& body);
    void fetchMessages(const Request& req, Response& res, const std::string& body);
    void send(const Request& req, Response& res, const std::string& body);
    void listDevices(const Request& req, Response& res, const std::string& body);
    // Brings the devices of a push_gateway.json into the store, once.
    void importOldFile(const std::filesystem::path& file);

    std::unique_ptr<pushgw::Store> store_;
};

// The gateway of this back end (the messaging services deliver through it),
// or null when it is not installed.
PushGatewayService* pushGateway(Context& context);

}  // namespace backend
