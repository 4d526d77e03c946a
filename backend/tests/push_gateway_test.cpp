// The push gateway of the almavel-backend program, started for real and
// spoken to over loopback.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "testing/backend.h"

namespace {

using json = nlohmann::json;
using ns::testing::Backend;

json parse(const std::string& text) { return json::parse(text, nullptr, false); }

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

}  // namespace
