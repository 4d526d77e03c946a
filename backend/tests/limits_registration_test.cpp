// What the registration, topic and push-gateway services of the
// almavel-backend program take from anyone: over-long fields are refused
// with a 4xx before anything is checked, stored or kept, and the process
// goes on serving.

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "messaging_test_support.h"
#include "testing/backend.h"

namespace {

using json = nlohmann::json;
using messaging_test::Device;
using messaging_test::formValue;
using messaging_test::kBundle;
using ns::testing::Backend;
using messaging_test::encode;
using messaging_test::Form;
using messaging_test::registrationForm;

Form with(Form form, const std::string& name, const std::string& value) {
    for (auto& item : form) {
        if (item.first == name) {
            item.second = value;
            return form;
        }
    }
    form.emplace_back(name, value);
    return form;
}

using Send = std::function<httplib::Result(const std::string& text)>;

class LimitsTest : public ::testing::Test {
protected:
    void SetUp() override { backend_ = Backend::start(); }

    // A registered device and a gateway device, so that every route has
    // something it would otherwise accept.
    void registerDevices() {
        device_ = messaging_test::checkInAndRegister(*backend_);
        gatewayToken_ =
            json::parse(
                backend_->post("/push/v1/devices", json{{"bundleId", kBundle}, {"deviceId", "vendor-1"}}.dump()).body)
                .value("deviceToken", "");
        ASSERT_EQ(gatewayToken_.size(), 64u);
    }

    Send form(const char* path, const Form& base, const std::string& item) {
        return [this, path, base, item](const std::string& text) {
            return backend_->tlsClient()->Post(path, {{"Authorization", device_.authorization()}, {"app", kBundle}},
                                               encode(with(base, item, text)), "application/x-www-form-urlencoded");
        };
    }
    Send post(const char* path, std::function<json(const std::string&)> body) {
        return [this, path, body](const std::string& text) {
            return backend_->client()->Post(path, {{"X-Almavel-Admin-Secret", backend_->adminSecret()}},
                                            body(text).dump(), "application/json");
        };
    }

    // Every field of the registration and topic forms, as `text`.
    std::vector<std::pair<std::string, Send>> formCases() {
        const Form registration = registrationForm(device_.id);
        const Form topic{{"sender", device_.token},        {"app", kBundle},
                         {"device", device_.id},           {"app_ver", "1.0"},
                         {"X-kdx.topic", "/topics/ofertas"}, {"X-scope", "/topics/ofertas"}};
        std::vector<std::pair<std::string, Send>> cases;
        for (const char* item : {"X-osv", "device", "app", "app_ver", "X-kid", "X-scope", "sender", "X-subtype",
                                 "appid", "pub2", "sig", "apns_token", "vlp_app_id"}) {
            cases.emplace_back(std::string("register ") + item, form("/kdx/register4", registration, item));
        }
        for (const char* item : {"sender", "app", "device", "app_ver", "X-kdx.topic", "X-scope"}) {
            cases.emplace_back(std::string("topic ") + item, form("/iid/register", topic, item));
        }
        cases.emplace_back("topic name", [this, topic](const std::string& text) {
            return form("/iid/register", with(topic, "X-scope", "/topics/" + text), "X-kdx.topic")("/topics/" + text);
        });
        return cases;
    }

    // Every field of the JSON bodies: check-in, gateway and the send routes.
    std::vector<std::pair<std::string, Send>> jsonCases() {
        std::vector<std::pair<std::string, Send>> cases;
        for (const char* key : {"digest", "model"}) {
            cases.emplace_back(std::string("checkin ") + key, post("/checkin", [key](const std::string& text) {
                                   json body{{"id", 0}, {"security_token", 0}, {"checkin", json::object()},
                                             {"version", 2}};
                                   if (std::string(key) == "model") body["checkin"]["iosbuild"]["model"] = text;
                                   else body[key] = text;
                                   return body;
                               }));
        }
        for (const char* key : {"bundleId", "deviceId", "environment"}) {
            cases.emplace_back(std::string("gateway ") + key, post("/push/v1/devices", [key](const std::string& text) {
                                   json body{{"bundleId", kBundle}, {"deviceId", "vendor-2"}};
                                   body[key] = text;
                                   return body;
                               }));
        }
        cases.emplace_back("gateway fetch", [this](const std::string& text) {
            return backend_->client()->Get("/push/v1/devices/" + std::string(text.size(), 'a') + "/messages");
        });
        cases.emplace_back("gateway send token", post("/__admin/push/v1/send", [](const std::string& text) {
                               return json{{"deviceToken", text}, {"payload", json::object()}};
                           }));
        // Five copies: a payload of 10^3 characters is within the gateway's limit.
        cases.emplace_back("gateway send payload", post("/__admin/push/v1/send", [this](const std::string& text) {
                               json payload;
                               for (const char* key : {"a", "b", "c", "d", "e"}) payload[key] = text;
                               return json{{"deviceToken", gatewayToken_}, {"payload", payload}};
                           }));
        cases.emplace_back("topic send", post("/__admin/topics/send", [](const std::string& text) {
                               return json{{"topic", text}};
                           }));
        for (const char* key : {"token", "from", "messageId", "via"}) {
            cases.emplace_back(std::string("token send ") + key,
                               post("/__admin/messaging/send", [this, key](const std::string& text) {
                                   json body{{"token", device_.token}, {"via", "channel"}};
                                   body[key] = text;
                                   return body;
                               }));
        }
        return cases;
    }

    std::unique_ptr<Backend> backend_;
    Device device_;
    std::string gatewayToken_;
};

// Every field of every route, at 10^3 to 10^6 characters, from a device
// that is otherwise allowed to ask: refused with a 4xx, nothing stored, and
// the process still answers its health check after each one.
TEST_F(LimitsTest, LongFieldsAreRefusedWithoutHarmOnEveryRoute) {
    ASSERT_NO_FATAL_FAILURE(registerDevices());
    auto cases = formCases();
    for (auto& c : jsonCases()) cases.push_back(std::move(c));

    for (size_t length : {1000u, 10000u, 100000u, 1000000u}) {
        const std::string text(length, 'a');
        for (const auto& [name, send] : cases) {
            auto reply = send(text);
            ASSERT_TRUE(reply) << name << " at " << length << ": no answer\n" << backend_->log();
            EXPECT_GE(reply->status, 400) << name << " at " << length << ": " << reply->body.substr(0, 200);
            EXPECT_LT(reply->status, 500) << name << " at " << length << ": " << reply->body.substr(0, 200);
            ASSERT_EQ(backend_->get("/__admin/health").status, 200) << name << " at " << length;
        }
    }

    EXPECT_EQ(json::parse(backend_->get("/__admin/iid/registrations").body)["registrations"].size(), 1u);
    EXPECT_TRUE(json::parse(backend_->get("/__admin/topics").body)["topics"].empty());
    EXPECT_EQ(json::parse(backend_->get("/__admin/iid/devices").body)["devices"].size(), 1u);
    EXPECT_EQ(json::parse(backend_->get("/__admin/push/v1/devices").body)["devices"].size(), 1u);
    // What was refused shows in the logs as summaries: the body's size, and
    // the body itself cut to its first few KiB.
    for (const char* log : {"/__admin/iid/requests", "/__admin/topics/requests"}) {
        const auto reply = backend_->get(log);
        EXPECT_LT(reply.body.size(), 4u * 1024u * 1024u) << log;
        const json requests = json::parse(reply.body)["requests"];
        ASSERT_FALSE(requests.empty()) << log;
        const json& last = requests.back();
        EXPECT_GT(last["bodySize"].get<size_t>(), 1000000u) << log;
        EXPECT_LE(last["body"].get<std::string>().size(), 4096u) << log;
        EXPECT_EQ(last["bodyTruncated"], true) << log;
    }
}

// Fields at the limits the protocol needs still go through: the longest
// topic name, the longest bundle and device identifiers.
TEST_F(LimitsTest, FieldsAtTheirLimitsAreAccepted) {
    const Device device = messaging_test::checkInAndRegister(*backend_);
    const std::string topic = "/topics/" + std::string(900, 'x');
    const Form form{{"sender", device.token}, {"app", kBundle},   {"device", device.id},
                    {"app_ver", "1.0"},       {"X-kdx.topic", topic}, {"X-scope", topic}};
    auto reply = backend_->tlsClient()->Post(
        "/iid/register", {{"Authorization", device.authorization()}, {"app", kBundle}}, encode(form), "");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200) << reply->body;
    EXPECT_EQ(json::parse(backend_->get("/__admin/topics").body)["topics"][topic].size(), 1u);
    reply = backend_->tlsClient()->Post("/iid/register",
                                        {{"Authorization", device.authorization()}, {"app", kBundle}},
                                        encode(with(with(form, "X-kdx.topic", topic + "x"), "X-scope", topic + "x")),
                                        "");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 400) << reply->body;

    auto gateway = backend_->post(
        "/push/v1/devices",
        json{{"bundleId", std::string(255, 'b')}, {"deviceId", std::string(128, 'd')}, {"environment", "production"}}
            .dump());
    EXPECT_EQ(gateway.status, 200) << gateway.body;
}

// The request recorder keeps the latest requests only, within its bounds.
TEST_F(LimitsTest, TheRecorderKeepsABoundedLog) {
    const std::string body(1024 * 1024, 'r');
    for (int i = 0; i < 36; ++i) {
        auto reply = backend_->client()->Post("/__recorder/upload/" + std::to_string(i), body, "text/plain");
        ASSERT_TRUE(reply);
        ASSERT_EQ(reply->status, 200);
    }
    const auto recorded = backend_->recordedRequests();
    ASSERT_FALSE(recorded.empty());
    EXPECT_LE(recorded.size(), 32u);
    EXPECT_EQ(recorded.back().path, "/__recorder/upload/35");
    EXPECT_EQ(recorded.back().body, body);
}

}  // namespace
