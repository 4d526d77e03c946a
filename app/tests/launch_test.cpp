#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>

#include "analytics/QRVAMeasurement.h"
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

// Until the facade has made the engine and the engine's worker queue has run
// what it was given (its start), the main thread waiting without turning its
// run loop; the bound only stops a hang.
bool engineStartedWithoutTurningTheMainThread() {
    auto ran = std::make_shared<std::promise<bool>>();
    auto done = ran->get_future();
    QRVAnalytics::dispatchAsyncOnSerialQueue([ran] {
        if (!QRVAMeasurement::hasSharedInstance()) return ran->set_value(false);
        QRVAMeasurement::sharedInstance()->scheduler()->scheduleOnWorkerQueueBlockID(
            "test", [ran] { ran->set_value(true); });
    });
    return done.wait_for(std::chrono::seconds(60)) == std::future_status::ready && done.get();
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

// The first launch as analytics reports it, read back from the back end in
// the upload that follows the resign (the configuration fetched first): the
// first open with its time, a screen view for each controller shown, the
// session once its minimum time (10 s) has passed, and the engagement of each
// screen left. The app names no screen itself, so no event has "_sn".
TEST_F(AppTest, TheFirstLaunchsLifeCycleReachesTheBackEndAfterTheResign) {
    launch();
    ASSERT_TRUE(waitForAnalytics());
    clock->advance(10);
    driver.waitUntilIdle();
    ASSERT_TRUE(signIn(apptest::kStaffEmail, apptest::kStaffPassword)) << driver.lastError();
    clock->advance(5);
    ns::Application::shared()->resignActive();
    EXPECT_EQ(ns::Application::shared()->backgroundTaskNames(),
              std::vector<std::string>{kQRVAMeasurementBackgroundTaskName});
    const auto batches = analyticsBatches();
    const auto events = apptest::storedEvents(batches);

    struct Expected {
        std::string name;
        std::string screen;
        std::string engagement;
        int64_t afterMillis;
    };
    const std::vector<Expected> expected{
        {"_f", "ViewController", "", 0},          {"_e", "ViewController", "1", 0},
        {"_vs", "ViewController", "", 0},         {"_s", "ViewController", "", 10000},
        {"_e", "ViewController", "10000", 10000}, {"_vs", "MainViewController", "", 10000},
        {"_e", "MainViewController", "5000", 15000},
    };
    ASSERT_EQ(events.size(), expected.size()) << batches.dump();
    const int64_t launched = events[0].millis;
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].name + " #" + std::to_string(i));
        EXPECT_EQ(events[i].name, expected[i].name);
        EXPECT_EQ(events[i]["_sc"], expected[i].screen);
        EXPECT_EQ(events[i]["_et"], expected[i].engagement);
        EXPECT_EQ(events[i].millis - launched, expected[i].afterMillis);
        EXPECT_EQ(events[i]["_o"], "auto");
        EXPECT_FALSE(events[i]["_si"].empty());
        EXPECT_EQ(events[i]["_sn"], "");
    }
    // The menu is a new screen, and its view names the one left.
    EXPECT_NE(events[5]["_si"], events[2]["_si"]);
    EXPECT_EQ(events[5]["_pc"], "ViewController");
    EXPECT_EQ(events[5]["_pi"], events[2]["_si"]);
    // The first open's time, rounded up to the next hour.
    constexpr int64_t kHour = 3'600'000;
    EXPECT_EQ(apptest::storedUserProperties(batches)["_fot"], std::to_string((launched / kHour + 1) * kHour));
    const auto requests = backend->analyticsRequests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0]["method"], "GET");
    EXPECT_EQ(requests[requests.size() - 1]["path"], "/a");

    // The next launch of the same install is no first open: the store and
    // the first-open count stay on disk.
    relaunch();
    ASSERT_TRUE(waitForAnalytics());
    ns::Application::shared()->resignActive();
    const auto later = apptest::storedEvents(analyticsBatches(2));
    ASSERT_GT(later.size(), events.size());
    EXPECT_EQ(later[events.size()].name, "_vs");
    EXPECT_EQ(std::count_if(later.begin(), later.end(), [](const auto& e) { return e.name == "_f"; }), 1);
}

// The engine's start may run on its worker queue before the launch shows
// the first controller and makes the app active: here the launch waits,
// right after the app delegate configured (so the start is queued), until
// the engine's start has run. The first open is still the first screen's.
TEST_F(AppTest, TheFirstOpenCarriesTheFirstScreenWhenTheEngineStartsBeforeItAppears) {
    // The device is asked on the main thread once (QRVAIdentity); asked
    // now, no write on the worker queue needs the waiting main thread.
    QRVAIdentity::sharedInstance()->identifierForVendor();
    bool started = false;
    const auto launching = ns::NotificationCenter::defaultCenter().addObserver(
        ns::kUIApplicationDidFinishLaunchingNotification, nullptr, nullptr, [&](const ns::Notification&) {
            started = engineStartedWithoutTurningTheMainThread();
            EXPECT_EQ(QRVAScreenViewReporter::sharedInstance()->currentScreen(), nullptr) << "a screen before the start";
        });
    launch();
    ns::NotificationCenter::defaultCenter().removeObserver(launching);
    ASSERT_TRUE(started);
    ASSERT_TRUE(waitForAnalytics());
    ns::Application::shared()->resignActive();
    const auto events = apptest::storedEvents(analyticsBatches());
    ASSERT_GE(events.size(), 3u);
    const std::string firstScreen = events[2]["_si"];
    EXPECT_FALSE(firstScreen.empty());
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(events[i].name + " #" + std::to_string(i));
        EXPECT_EQ(events[i].name, (std::vector<std::string>{"_f", "_e", "_vs"})[i]);
        EXPECT_EQ(events[i]["_sc"], "ViewController");
        EXPECT_EQ(events[i]["_si"], firstScreen);
    }
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
