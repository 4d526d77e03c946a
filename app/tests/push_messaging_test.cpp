// Push messaging in the launched app, against the local back end: the
// gateway's device token becomes the messaging token on the console, a
// notification delivered twice is logged twice and handled once, a local
// time in the payload schedules a local notification on the clock, and a
// data message of the direct channel reaches the console.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "app_test_support.h"
#include "instanceid/QRVInstanceID.h"
#include "messaging/QRVMessaging.h"
#include "messaging/QRVMessagingClient.h"
#include "messaging/QRVMessagingRegistrar.h"
#include "platform/crypto.h"
#include "platform/date_formatter.h"
#include "platform/json.h"
#include "platform/reachability.h"
#include "uikit/UserNotifications.h"

namespace {

using apptest::AppTest;
using apptest::consoleHas;
using json = nlohmann::json;

constexpr const char* kTokenLine = "Quorvane registration token: ";

class PushMessagingTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        ns::Reachability::setOverride(ns::Reachability::Status::ReachableViaWiFi);
        ns::cancelAllLocalNotifications();
    }
    void TearDown() override {
        ns::cancelAllLocalNotifications();
        AppTest::TearDown();
        ns::Reachability::setOverride(std::nullopt);
    }
    // Launched, with the messaging token on the console.
    std::string launchUntilToken() {
        launch();
        std::string token;
        EXPECT_TRUE(waitFor([&] {
            for (const auto& line : almavel::AppConsole::lines()) {
                if (line.starts_with(kTokenLine)) token = line.substr(std::string(kTokenLine).size());
            }
            return !token.empty();
        })) << backend->log();
        return token;
    }
    void push(const ns::Dictionary& payload) {
        const std::string hex = ns::crypto::hex(ns::Application::shared()->deviceToken());
        const auto reply = backend->post("/__admin/push/v1/send",
                                         R"({"deviceToken":")" + hex + R"(","payload":)" + ns::json::serialize(ns::Value(payload)) + "}");
        ASSERT_EQ(reply.status, 200) << reply.body;
    }
    size_t fetch() {
        size_t count = 0;
        bool done = false;
        ns::fetchRemoteNotifications([&](size_t n, ns::ErrorRef error) {
            EXPECT_EQ(error, nullptr);
            count = n;
            done = true;
        });
        EXPECT_TRUE(waitFor([&] { return done; }));
        return count;
    }
    size_t consoleCount(const std::string& line) {
        size_t n = 0;
        for (const auto& l : almavel::AppConsole::lines()) n += l == line;
        return n;
    }
    std::string deviceTime(double secondsSince1970) {
        ns::DateFormatter formatter("yyyy-MM-dd HH:mm:ss");
        formatter.setTimeZoneNamed(sandbox.sandbox()->deviceProfile().timeZone);
        return formatter.stringFromDate(ns::Date{secondsSince1970});
    }
};

TEST_F(PushMessagingTest, TheGatewaysTokenBecomesTheRegistrationTokenOnTheConsole) {
    const std::string token = launchUntilToken();
    auto messaging = QRVMessaging::messaging();
    // The proxy handed the gateway's token to messaging, which handed it on.
    EXPECT_EQ(messaging->APNSToken(), ns::Application::shared()->deviceToken());
    EXPECT_EQ(messaging->QDXToken(), token);
    EXPECT_EQ(QRVInstanceID::instanceID()->defaultQDXToken(), token);
    EXPECT_EQ(messaging->delegate(), std::dynamic_pointer_cast<QRVMessagingDelegate>(ns::Application::shared()->delegate()));
}

TEST_F(PushMessagingTest, ANotificationDeliveredTwiceIsLoggedTwiceAndHandledOnce) {
    launchUntilToken();
    const double start = ns::Clock::nowSeconds() + 3600;
    const ns::Dictionary payload{{"kdx.message_id", "m1"},
                                 {"oferta", "2x1"},
                                 {"ondrix.c.cm.lt_start", deviceTime(start)},
                                 {"kdx.notification.body", "Hoy 2x1 en toda la tienda"}};
    push(payload);
    push(payload);
    ASSERT_EQ(fetch(), 2u);
    EXPECT_EQ(consoleCount("Message ID: m1"), 2u);
    EXPECT_EQ(consoleCount(ns::Value(payload).description()), 2u);

    // Handled once: one local notification, for the payload's start time.
    const auto scheduled = ns::scheduledLocalNotifications();
    ASSERT_EQ(scheduled.size(), 1u);
    EXPECT_DOUBLE_EQ(scheduled[0]->fireDate.secondsSince1970, start);
    EXPECT_EQ(scheduled[0]->alertBody, "Hoy 2x1 en toda la tienda");
    clock->advance(3599);
    ns::RunLoop::main().runFor(0.1);
    EXPECT_TRUE(ns::firedLocalNotifications().empty());
    clock->advance(1);
    EXPECT_TRUE(waitFor([] { return ns::firedLocalNotifications().size() == 1; }));
}

TEST_F(PushMessagingTest, ADataMessageOfTheDirectChannelReachesTheConsole) {
    launchUntilToken();
    auto messaging = QRVMessaging::messaging();
    messaging->setShouldEstablishDirectChannel(true);
    ASSERT_TRUE(waitFor([&] { return messaging->isDirectChannelEstablished(); })) << backend->log();
    const auto reply = backend->post(
        "/__admin/mcs/send", json{{"device", messaging->client()->registrar()->deviceAuthID()},
                                  {"message", {{"from", "480326711275"}, {"category", "com.almavel.app"}}},
                                  {"data", {{"pedido", "42"}, {"kdx.message_id", "c1"}}},
                                  {"persistent", true}}
                                 .dump());
    ASSERT_EQ(reply.status, 200) << reply.body;
    const std::string line =
        "Received data message: " + ns::Value(ns::Dictionary{{"from", "480326711275"}, {"pedido", "42"}}).description();
    EXPECT_TRUE(waitFor([&] { return consoleHas(line); }));
}

// A notification shown in front, one opened while the app is not active and
// a campaign link the app is opened with reach the back end as analytics
// events, each in the upload after the next resign.
TEST_F(PushMessagingTest, NotificationsAndACampaignLinkReachTheBackEndAsAnalyticsEvents) {
    launchUntilToken();
    ASSERT_TRUE(waitForAnalytics());
    auto app = ns::Application::shared();
    const auto notification = [](const char* composer) {
        return ns::Dictionary{{"aps", ns::Dictionary{{"alert", "Hoy 2x1"}}}, {"kdx.message_id", composer},
                              {"ondrix.c.a.c_id", composer}, {"ondrix.c.a.c_l", "Ofertas"}};
    };
    push(notification("c-front"));
    ASSERT_EQ(fetch(), 1u);
    app->resignActive();
    analyticsBatches(1);
    push(notification("c-opened"));
    ASSERT_EQ(fetch(), 1u);
    app->becomeActive();
    // Through the delegate the proxy wraps.
    app->openURL("almavel://oferta?utm_source=correo&utm_medium=email&utm_campaign=verano");
    app->enterBackground();

    std::multimap<std::string, apptest::StoredEvent> byName;
    for (const auto& e : apptest::storedEvents(analyticsBatches(2))) byName.emplace(e.name, e);
    struct Expected {
        const char* name;
        const char* origin;
        const char* key;
        const char* value;
    };
    for (const auto& c : std::vector<Expected>{{"_nf", "qdx", "_nmid", "c-front"},
                                               {"_nf", "qdx", "_nmn", "Ofertas"},
                                               {"_no", "qdx", "_nmid", "c-opened"},
                                               {"_cmp", "auto", "campaign", "verano"},
                                               {"_cmp", "auto", "source", "correo"},
                                               {"_cmp", "auto", "medium", "email"}}) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(byName.count(c.name), 1u);
        EXPECT_EQ(byName.find(c.name)->second["_o"], c.origin);
        EXPECT_EQ(byName.find(c.name)->second[c.key], c.value);
    }
}

}  // namespace
