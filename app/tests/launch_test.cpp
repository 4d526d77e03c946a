#include <gtest/gtest.h>

#include "app/AppDelegate.h"
#include "app/ViewController.h"
#include "app_test_support.h"
#include "platform/block_object.h"
#include "platform/format.h"
#include "platform/notification_center.h"
#include "uikit/UserNotifications.h"

namespace {

using apptest::AppTest;
using apptest::consoleHas;

std::shared_ptr<almavel::AppDelegate> appDelegate() {
    return std::dynamic_pointer_cast<almavel::AppDelegate>(ns::Application::shared()->delegate());
}

TEST_F(AppTest, LaunchConfiguresThenTakesTheNotificationCentreAsksWithMask7AndRegisters) {
    std::vector<std::string> steps;
    auto center = ns::UNUserNotificationCenter::currentNotificationCenter();
    const auto configured = ns::NotificationCenter::defaultCenter().addObserver(
        kQRVAppReadyToConfigureSDKNotification, nullptr, nullptr, [&](const ns::Notification&) {
            steps.push_back("configure");
        });
    center->addDelegateObserver([&](const ns::ObjectPtr&, const ns::ObjectPtr& now) {
        steps.push_back(ns::format("delegate (requests so far: %zu)", center->requestedOptions().size()));
    });

    launch();
    ns::NotificationCenter::defaultCenter().removeObserver(configured);
    EXPECT_EQ(steps, (std::vector<std::string>{"configure", "delegate (requests so far: 0)"}));
    EXPECT_EQ(center->requestedOptions(), (std::vector<ns::UNAuthorizationOptions>{7}));
    EXPECT_EQ(center->delegate(), ns::Application::shared()->delegate());
    EXPECT_EQ(ns::Application::shared()->currentUserNotificationSettings(), nullptr);

    ASSERT_TRUE(waitFor([] { return consoleHas("APNs token retrieved: 32 bytes"); }));
    EXPECT_TRUE(ns::Application::shared()->isRegisteredForRemoteNotifications());
    // Sign-in is the first screen.
    EXPECT_NE(std::dynamic_pointer_cast<almavel::ViewController>(driver.window()->rootViewController()), nullptr);
    EXPECT_EQ(appDelegate()->window, driver.window());
}

TEST_F(AppTest, BeforeVersion10TheSettingsAreRegisteredWithMask7InsteadOfAskingTheCentre) {
    ns::DeviceProfile old = sandbox.sandbox()->deviceProfile();
    old.systemVersion = "9.3";
    sandbox.setDeviceProfile(old);
    launch();
    auto settings =
        std::dynamic_pointer_cast<ns::UIUserNotificationSettings>(ns::Application::shared()->currentUserNotificationSettings());
    ASSERT_NE(settings, nullptr);
    EXPECT_EQ(settings->types(), 7u);
    auto center = ns::UNUserNotificationCenter::currentNotificationCenter();
    EXPECT_TRUE(center->requestedOptions().empty());
    EXPECT_EQ(center->delegate(), nullptr);
    ASSERT_TRUE(waitFor([] { return consoleHas("APNs token retrieved: 32 bytes"); }));
}

TEST_F(AppTest, PayloadsAreLoggedWithTheirMessageIdOnlyWhenTheyHaveOne) {
    launch();
    struct Case {
        ns::Dictionary payload;
        std::vector<std::string> expected;
    };
    const ns::Dictionary withId{{"kdx.message_id", "0:1500"}, {"oferta", "2x1"}};
    const ns::Dictionary withoutId{{"aps", ns::Dictionary{{"alert", "Hola"}}}};
    const std::vector<Case> cases{
        {withId, {"Message ID: 0:1500", ns::Value(withId).description()}},
        {withoutId, {ns::Value(withoutId).description()}},
    };
    for (const auto& c : cases) {
        almavel::AppConsole::clear();
        int64_t fetchResult = -1;
        ns::Application::shared()->deliverRemoteNotification(c.payload, [&](int64_t r) { fetchResult = r; });
        EXPECT_EQ(almavel::AppConsole::lines(), c.expected);
        // The background-fetch form answers "new data" whatever came.
        EXPECT_EQ(fetchResult, ns::Application::kBackgroundFetchNewData);

        // The plain form logs the same way.
        almavel::AppConsole::clear();
        appDelegate()->applicationDidReceiveRemoteNotification(c.payload);
        EXPECT_EQ(almavel::AppConsole::lines(), c.expected);
    }
}

TEST_F(AppTest, ANotificationArrivingInFrontIsLoggedAndNotPresentedAndAnOpenedOneIsLogged) {
    launch();
    auto center = ns::UNUserNotificationCenter::currentNotificationCenter();
    const ns::Dictionary payload{{"aps", ns::Dictionary{{"alert", "Nueva oferta"}}}, {"kdx.message_id", "m-9"}};
    auto request = ns::UNNotificationRequest::requestWithIdentifier("n1", ns::UNNotificationContent::fromPayload(payload));
    auto notification = std::make_shared<ns::UNNotification>(request, ns::Date{1});

    almavel::AppConsole::clear();
    center->deliver(notification);
    EXPECT_TRUE(center->presentedNotifications().empty());
    EXPECT_EQ(almavel::AppConsole::lines(),
              (std::vector<std::string>{"Message ID: m-9", ns::Value(payload).description()}));

    almavel::AppConsole::clear();
    bool completed = false;
    center->respond(std::make_shared<ns::UNNotificationResponse>(notification, ns::UNNotificationDefaultActionIdentifier),
                    [&] { completed = true; });
    EXPECT_TRUE(completed);
    EXPECT_EQ(almavel::AppConsole::lines(),
              (std::vector<std::string>{"Message ID: m-9", ns::Value(payload).description()}));
}

TEST_F(AppTest, TheMessagingDelegateWritesTheTokenAndTheDataMessage) {
    launch();
    std::shared_ptr<QRVMessagingDelegate> delegate = appDelegate();
    ASSERT_NE(delegate, nullptr);
    almavel::AppConsole::clear();
    delegate->messagingDidRefreshRegistrationToken(nullptr, "dXNlcjpwYXNz");
    auto message = std::make_shared<QRVMessagingRemoteMessage>();
    message->setAppData({{"tienda", "David"}, {"codigo", "7501"}});
    delegate->messagingDidReceiveMessage(nullptr, message);
    EXPECT_EQ(almavel::AppConsole::lines(),
              (std::vector<std::string>{"Quorvane registration token: dXNlcjpwYXNz",
                                        "Received data message: " + ns::Value(message->appData()).description()}));
}

class LaunchWithoutGateway : public AppTest {
protected:
    LaunchWithoutGateway() : AppTest(false) {}
};

TEST_F(LaunchWithoutGateway, AnUnreachablePushGatewayIsOnlyAConsoleLine) {
    launch();
    ASSERT_TRUE(waitFor([] {
        for (const auto& line : almavel::AppConsole::lines()) {
            if (line.rfind("Unable to register for remote notifications: ", 0) == 0) return true;
        }
        return false;
    }));
    EXPECT_FALSE(consoleHas("APNs token retrieved: 32 bytes"));
    // The app goes on: the sign-in screen is up and takes input.
    EXPECT_TRUE(driver.type("txtUser", apptest::kStaffEmail));
}

}  // namespace
