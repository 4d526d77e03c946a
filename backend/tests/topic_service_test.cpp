// Topic subscriptions and downstream sends of the almavel-backend program,
// spoken to over loopback by checked-in, registered devices.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "messaging_test_support.h"
#include "testing/backend.h"

namespace {

using json = nlohmann::json;
using messaging_test::Device;
using messaging_test::kBundle;
using ns::testing::Backend;

class TopicServiceTest : public ::testing::Test {
protected:
    void SetUp() override { backend_ = Backend::start(); }

    // The body the topic client sends, values percent-encoded.
    static std::string form(const Device& device, const std::string& topic, bool remove = false) {
        using messaging_test::formValue;
        std::string body = "sender=" + formValue(device.token) + "&app=" + kBundle + "&device=" + device.id +
                           "&app_ver=1.0&X-kdx.topic=" + formValue(topic) + "&X-scope=" + formValue(topic);
        return remove ? body + "&delete=true" : body;
    }
    httplib::Result registerTopic(const std::string& authorization, const std::string& body,
                                  const std::string& app = kBundle) {
        // As the client sends it: no content type.
        return backend_->tlsClient()->Post("/iid/register", {{"Authorization", authorization}, {"app", app}}, body,
                                           "");
    }
    json subscribers(const std::string& topic) {
        auto topics = json::parse(backend_->get("/__admin/topics").body)["topics"];
        return topics.contains(topic) ? topics[topic] : json::array();
    }

    std::unique_ptr<Backend> backend_;
};

TEST_F(TopicServiceTest, SubscribesAndUnsubscribesTheDevicesToken) {
    const Device device = messaging_test::checkInAndRegister(*backend_);
    auto reply = registerTopic(device.authorization(), form(device, "/topics/ofertas"));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(reply->body, "token=" + device.token);
    ASSERT_EQ(subscribers("/topics/ofertas").size(), 1u);
    EXPECT_EQ(subscribers("/topics/ofertas")[0]["token"], device.token);

    // Subscribing again keeps one subscription; "%" is allowed in a name.
    EXPECT_EQ(registerTopic(device.authorization(), form(device, "/topics/ofertas"))->status, 200);
    EXPECT_EQ(registerTopic(device.authorization(), form(device, "/topics/50%off"))->status, 200);
    EXPECT_EQ(subscribers("/topics/ofertas").size(), 1u);
    EXPECT_EQ(subscribers("/topics/50%off").size(), 1u);

    reply = registerTopic(device.authorization(), form(device, "/topics/ofertas", true));
    EXPECT_EQ(reply->body, "token=" + device.token);
    EXPECT_TRUE(subscribers("/topics/ofertas").empty());

    // The subscriptions outlive the program.
    backend_->restart();
    EXPECT_EQ(subscribers("/topics/50%off").size(), 1u);
}

TEST_F(TopicServiceTest, RefusesRequestsThatDoNotProveTheDeviceOrTheTopic) {
    const Device device = messaging_test::checkInAndRegister(*backend_);
    const Device other = messaging_test::checkInAndRegister(*backend_);
    Device withOthersToken = device;
    withOthersToken.token = other.token;
    const std::string good = form(device, "/topics/a");
    const struct {
        std::string authorization;
        std::string body;
        std::string app;
        int status;
        const char* reply;
    } cases[] = {
        {"VdxLogin " + device.id + ":1", good, kBundle, 401, "Error=AUTHENTICATION_FAILED"},
        {"Bearer " + device.secret, good, kBundle, 401, "Error=AUTHENTICATION_FAILED"},
        {other.authorization(), good, kBundle, 401, "Error=AUTHENTICATION_FAILED"},
        {device.authorization(), form(withOthersToken, "/topics/a"), kBundle, 403, "Error=INVALID_SENDER"},
        {device.authorization(), good, "com.other.app", 400, "Error=INVALID_PARAMETERS"},
        {device.authorization(), form(device, "/topics/a b"), kBundle, 400, "Error=INVALID_PARAMETERS"},
        {device.authorization(), form(device, "/topics/"), kBundle, 400, "Error=INVALID_PARAMETERS"},
        {device.authorization(), form(device, "news"), kBundle, 400, "Error=INVALID_PARAMETERS"},
        {device.authorization(), good + "&delete=1", kBundle, 400, "Error=INVALID_PARAMETERS"},
        {device.authorization(), good + "&X-scope=/topics/b", kBundle, 400, "Error=INVALID_PARAMETERS"},
        {device.authorization(), good + "&extra=1", kBundle, 400, "Error=INVALID_PARAMETERS"},
        {device.authorization(), good.substr(0, good.find("&X-scope")), kBundle, 400, "Error=INVALID_PARAMETERS"},
        // An unencoded "%" that is no escape.
        {device.authorization(), form(device, "/topics/a") + "%zz", kBundle, 400, "Error=INVALID_PARAMETERS"},
    };
    for (const auto& c : cases) {
        auto reply = registerTopic(c.authorization, c.body, c.app);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->status, c.status) << c.body;
        EXPECT_EQ(reply->body, c.reply) << c.body;
    }
    EXPECT_TRUE(json::parse(backend_->get("/__admin/topics").body)["topics"].empty());
}

TEST_F(TopicServiceTest, QueuedFaultsDropOrRefuseTheNextRequests) {
    const Device device = messaging_test::checkInAndRegister(*backend_);
    ASSERT_EQ(backend_->post("/__admin/topics/faults", R"({"action":"drop"})").status, 200);
    ASSERT_EQ(backend_->post("/__admin/topics/faults", R"({"action":"unavailable"})").status, 200);
    EXPECT_FALSE(registerTopic(device.authorization(), form(device, "/topics/a")));
    auto refused = registerTopic(device.authorization(), form(device, "/topics/a"));
    EXPECT_EQ(refused->status, 503);
    EXPECT_EQ(refused->body, "Error=SERVICE_UNAVAILABLE");
    EXPECT_TRUE(subscribers("/topics/a").empty());
    EXPECT_EQ(registerTopic(device.authorization(), form(device, "/topics/a"))->status, 200);
    const auto log = json::parse(backend_->get("/__admin/topics/requests").body)["requests"];
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2]["form"]["X-kdx.topic"], "/topics/a");
}

TEST_F(TopicServiceTest, TopicAndTokenMessagesReachTheGatewayOfSubscribedDevices) {
    auto gateway = json::parse(
        backend_->post("/push/v1/devices", json{{"bundleId", kBundle}, {"deviceId", "vendor-1"}}.dump()).body);
    const std::string gatewayToken = gateway["deviceToken"];
    const Device device = messaging_test::checkInAndRegister(*backend_, "p_" + gatewayToken);
    const Device bystander = messaging_test::checkInAndRegister(*backend_);
    ASSERT_EQ(registerTopic(device.authorization(), form(device, "/topics/ofertas"))->status, 200);

    auto sent = backend_->post("/__admin/topics/send",
                               json{{"topic", "ofertas"}, {"data", {{"producto", "7501"}}}}.dump());
    ASSERT_EQ(sent.status, 200) << sent.body;
    const json deliveries = json::parse(sent.body)["deliveries"];
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0]["via"], "gateway");
    EXPECT_EQ(deliveries[0]["status"], 200);

    auto direct = backend_->post("/__admin/messaging/send",
                                 json{{"token", device.token}, {"notification", {{"title", "Hola"}}}}.dump());
    ASSERT_EQ(direct.status, 200) << direct.body;
    auto messages = json::parse(backend_->get("/push/v1/devices/" + gatewayToken + "/messages").body)["messages"];
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0]["from"], "/topics/ofertas");
    EXPECT_EQ(messages[0]["producto"], "7501");
    EXPECT_EQ(messages[0]["aps"]["content-available"], 1);
    EXPECT_EQ(messages[0]["kdx.message_id"], json::parse(sent.body)["messageId"]);
    EXPECT_EQ(messages[1]["aps"]["alert"]["title"], "Hola");

    // A registration without an APNs token cannot use the gateway.
    auto refused = backend_->post("/__admin/messaging/send",
                                  json{{"token", bystander.token}, {"via", "gateway"}}.dump());
    EXPECT_EQ(refused.status, 409);
    EXPECT_EQ(backend_->post("/__admin/messaging/send", json{{"token", "nobody"}}.dump()).status, 404);
}

}  // namespace
