#pragma once
// A device as the messaging tests need it: checked in at /checkin and
// holding a registration token from /kdx/register4, made through the real
// protocols (a fresh 2048-bit key pair, the signature block by block).

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "platform/crypto.h"
#include "platform/url.h"
#include "testing/backend.h"

namespace messaging_test {

inline constexpr const char* kBundle = "com.almavel.tienda";

struct Device {
    std::string id;
    std::string secret;
    std::string token;
    std::string authorization() const { return "VdxLogin " + id + ":" + secret; }
};

inline std::string formValue(const std::string& text) {
    return ns::percentEncode(text, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~");
}

using Form = std::vector<std::pair<std::string, std::string>>;

inline std::string encode(const Form& form) {
    std::string body;
    for (const auto& [name, value] : form) body += (body.empty() ? "" : "&") + name + "=" + formValue(value);
    return body;
}

// A registration form /kdx/register4 accepts for the device `deviceId`:
// key items from one 2048-bit key pair, signed block by block.
inline Form registrationForm(const std::string& deviceId) {
    namespace crypto = ns::crypto;
    static const crypto::RSAKeyPtr key = crypto::RSAKey::generate(2048);
    const ns::Data publicKey = key->exportPublicKey();
    const std::string flat = crypto::base64Encode(publicKey);
    std::string pub2;
    for (size_t i = 0; i < flat.size(); i += 64) pub2 += (i ? "\r\n" : "") + flat.substr(i, 64);
    ns::Data digest = crypto::sha1(publicKey);
    digest[0] = uint8_t(0x70 | (digest[0] & 0x0F));
    digest.resize(8);
    const std::string text = std::string(kBundle) + "\n" + pub2;
    ns::Data signature;
    for (size_t offset = 0; offset < text.size(); offset += key->blockSize()) {
        const std::string piece = text.substr(offset, key->blockSize());
        ns::Data part = key->rawPrivateOperation(ns::Data(piece.begin(), piece.end()));
        signature.insert(signature.end(), part.begin(), part.end());
    }
    return {{"X-osv", "17.0"},     {"device", deviceId},  {"plat", "2"},     {"app", kBundle},
            {"app_ver", "1.0"},    {"X-kid", "1"},        {"X-scope", "*"},  {"sender", "4242"},
            {"X-subtype", "4242"}, {"appid", crypto::base64UrlEncode(digest)}, {"pub2", pub2},
            {"sig", crypto::base64UrlEncode(signature)}};
}

// Checks a new device in; with `apnsToken` ("p_<hex>") the token is
// registered for it.
inline Device checkInAndRegister(const ns::testing::Backend& backend, const std::string& apnsToken = "") {
    using nlohmann::json;
    Device device;
    auto checkin = backend.post("/checkin", json{{"id", 0}, {"security_token", 0}, {"checkin", json::object()},
                                                 {"version", 2}}.dump());
    EXPECT_EQ(checkin.status, 200) << checkin.body;
    auto answer = json::parse(checkin.body);
    device.id = std::to_string(answer.at("verdos_id").get<uint64_t>());
    device.secret = std::to_string(answer.at("security_token").get<uint64_t>());

    Form form = registrationForm(device.id);
    if (!apnsToken.empty()) form.emplace_back("apns_token", apnsToken);
    auto client = backend.client();
    auto reply = client->Post("/kdx/register4", {{"Authorization", device.authorization()}, {"app", kBundle}},
                              encode(form), "application/x-www-form-urlencoded");
    EXPECT_TRUE(reply && reply->status == 200) << (reply ? reply->body : "no answer");
    if (reply) {
        const std::string body = reply->body;
        device.token = body.substr(body.find(':') + 1);
    }
    return device;
}

}  // namespace messaging_test
