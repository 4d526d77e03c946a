// The push gateway of the almavel-backend program, started for real and
// spoken to over loopback.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "testing/backend.h"

namespace {

using json = nlohmann::json;
using ns::testing::Backend;

json parse(const std::string& text) { return json::parse(text, nullptr, false); }

std::string readAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class PushGatewayTest : public ::testing::Test {
protected:
    void SetUp() override { backend_ = Backend::start(); }

    std::string registerDevice(const std::string& bundle, const std::string& device) {
        auto reply = backend_->post("/push/v1/devices", json{{"bundleId", bundle}, {"deviceId", device}}.dump());
        EXPECT_EQ(reply.status, 200) << reply.body;
        return parse(reply.body).value("deviceToken", "");
    }
    int send(const std::string& token, const json& payload) {
        return backend_->post("/__admin/push/v1/send", json{{"deviceToken", token}, {"payload", payload}}.dump()).status;
    }
    json fetch(const std::string& token) {
        auto reply = backend_->get("/push/v1/devices/" + token + "/messages");
        EXPECT_EQ(reply.status, 200) << reply.body;
        return parse(reply.body)["messages"];
    }
    // deviceToken -> [bundleId, deviceId, environment, queued] of the admin listing.
    std::map<std::string, json> listing() {
        std::map<std::string, json> devices;
        const json listed = parse(backend_->get("/__admin/push/v1/devices").body);
        for (const auto& d : listed["devices"]) {
            devices[d["deviceToken"]] = json{d["bundleId"], d["deviceId"], d["environment"], d["queued"]};
        }
        return devices;
    }

    std::unique_ptr<Backend> backend_;
};

TEST_F(PushGatewayTest, RegistrationRefusesIncompleteRequests) {
    const struct {
        const char* body;
        int status;
    } cases[] = {
        {R"({"deviceId":"d"})", 400},
        {R"({"bundleId":"com.almavel.tienda"})", 400},
        {R"({"bundleId":"com.almavel.tienda","deviceId":""})", 400},
        {R"({"bundleId":7,"deviceId":"d"})", 400},
        {R"(["not","an","object"])", 400},
        {R"(not json)", 400},
        {R"({"bundleId":"com.almavel.tienda","deviceId":"d"})", 200},
    };
    for (const auto& c : cases) EXPECT_EQ(backend_->post("/push/v1/devices", c.body).status, c.status) << c.body;
}

TEST_F(PushGatewayTest, TokensAreStablePerInstallationAndSurviveARestart) {
    const std::string token = registerDevice("com.almavel.tienda", "device-1");
    ASSERT_EQ(token.size(), 64u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(registerDevice("com.almavel.tienda", "device-1"), token);
    EXPECT_NE(registerDevice("com.almavel.tienda", "device-2"), token);
    EXPECT_NE(registerDevice("com.other.app", "device-1"), token);

    ASSERT_EQ(send(token, {{"aps", {{"alert", "Hola"}}}}), 200);
    backend_->restart();
    EXPECT_EQ(registerDevice("com.almavel.tienda", "device-1"), token);
    json messages = fetch(token);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["aps"]["alert"], "Hola");
    EXPECT_TRUE(fetch(token).empty()) << "fetching takes the payloads";
}

TEST_F(PushGatewayTest, QueuesAreBoundedAndPayloadsChecked) {
    const std::string token = registerDevice("com.almavel.tienda", "device-1");
    for (int i = 0; i < 105; ++i) ASSERT_EQ(send(token, {{"n", i}}), 200);
    json messages = fetch(token);
    ASSERT_EQ(messages.size(), 100u);
    EXPECT_EQ(messages.front()["n"], 5) << "the oldest go first";
    EXPECT_EQ(messages.back()["n"], 104);

    EXPECT_EQ(send(std::string(64, '0'), {{"n", 1}}), 404);
    EXPECT_EQ(send(token, {{"big", std::string(5000, 'x')}}), 413);
    EXPECT_EQ(backend_->post("/__admin/push/v1/send", json{{"deviceToken", token}, {"payload", "text"}}.dump()).status,
              400);
    EXPECT_EQ(backend_->get("/push/v1/devices/" + std::string(64, '0') + "/messages").status, 404);

    auto listing = parse(backend_->get("/__admin/push/v1/devices").body);
    ASSERT_EQ(listing["devices"].size(), 1u);
    EXPECT_EQ(listing["devices"][0]["deviceToken"], token);
    EXPECT_EQ(listing["devices"][0]["queued"], 0);
}

TEST_F(PushGatewayTest, AdminEndpointsNeedTheRunsSecret) {
    const std::string token = registerDevice("com.almavel.tienda", "device-1");
    httplib::Client plain("127.0.0.1", backend_->httpPort());
    auto sent = plain.Post("/__admin/push/v1/send", json{{"deviceToken", token}, {"payload", json::object()}}.dump(),
                           "application/json");
    ASSERT_TRUE(sent);
    EXPECT_GE(sent->status, 400);
    auto listed = plain.Get("/__admin/push/v1/devices");
    ASSERT_TRUE(listed);
    EXPECT_GE(listed->status, 400);
    EXPECT_TRUE(fetch(token).empty());
}

TEST_F(PushGatewayTest, WhatWasAcknowledgedBeforeAKillIsKept) {
    std::vector<std::string> tokens;
    for (int i = 0; i < 20; ++i) tokens.push_back(registerDevice("com.almavel.tienda", "device-" + std::to_string(i)));
    ASSERT_EQ(send(tokens[3], {{"n", 3}}), 200);
    backend_->kill();
    backend_->restart();

    EXPECT_EQ(listing().size(), 20u);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(registerDevice("com.almavel.tienda", "device-" + std::to_string(i)), tokens[size_t(i)]) << i;
    }
    EXPECT_EQ(fetch(tokens[3]), json::array({{{"n", 3}}}));
}

TEST_F(PushGatewayTest, AnOldStateFilesDevicesAndPayloadsAreCarriedOverOnce) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("almavel-push-gateway-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const std::string a(64, 'a'), b(64, 'b'), c(64, 'c'), d(64, 'd');
    json many = json::array();
    for (int i = 0; i < 105; ++i) many.push_back({{"n", i}});
    many.push_back("not an object");
    const json saved{{"devices",
                      {{a, {{"bundleId", "com.almavel.tienda"}, {"deviceId", "d-a"}, {"environment", "production"},
                            {"queue", {{{"aps", {{"alert", "Hola"}}}}, {{"n", 2}}}}}},
                       // Written in upper case by hand; the environment missing.
                       {std::string(64, 'B'), {{"bundleId", "com.almavel.tienda"}, {"deviceId", "d-b"}}},
                       {c, {{"bundleId", "com.almavel.tienda"}, {"deviceId", "d-c"}, {"queue", many}}},
                       // Past what a registration may hold: left out.
                       {d, {{"bundleId", std::string(300, 'x')}, {"deviceId", "d-d"}}},
                       {"not-a-token", {{"bundleId", "com.almavel.tienda"}, {"deviceId", "d-e"}}}}}};
    std::ofstream(dir / "push_gateway.json") << saved.dump();
    const std::string oldFile = readAll(dir / "push_gateway.json");

    backend_ = Backend::start({.dataDir = dir.string()});
    const std::map<std::string, json> expected{
        {a, {"com.almavel.tienda", "d-a", "production", 2}},
        {b, {"com.almavel.tienda", "d-b", "sandbox", 0}},
        {c, {"com.almavel.tienda", "d-c", "sandbox", 100}},
    };
    EXPECT_EQ(listing(), expected);
    EXPECT_EQ(registerDevice("com.almavel.tienda", "d-b"), b);
    EXPECT_EQ(fetch(a), json::parse(R"([{"aps":{"alert":"Hola"}},{"n":2}])"));
    const json kept = fetch(c);
    ASSERT_EQ(kept.size(), 100u);
    EXPECT_EQ(kept.front()["n"], 5);

    // Brought in once: what was fetched does not come back, and the old
    // file is set aside as it was.
    backend_->restart();
    EXPECT_EQ(listing().size(), 3u);
    EXPECT_TRUE(fetch(a).empty());
    EXPECT_FALSE(fs::exists(dir / "push_gateway.json"));
    EXPECT_EQ(readAll(dir / "push_gateway.json.imported"), oldFile);
    backend_.reset();
    fs::remove_all(dir);
}

}  // namespace
