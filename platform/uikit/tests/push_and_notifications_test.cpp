#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>

#include "platform/application.h"
#include "platform/block_object.h"
#include "platform/crypto.h"
#include "platform/host_routing.h"
#include "platform/push_gateway.h"
#include "platform/runloop.h"
#include "platform/runtime.h"
#include "testing/backend.h"
#include "testing/temp_sandbox.h"
#include "uikit/UIWindow.h"
#include "uikit/UserNotifications.h"

namespace {

// The application delegate of these tests: records what the platform tells it.
class PushDelegate : public ns::Object {
public:
    std::string className() const override { return "PushTestAppDelegate"; }
    ns::Data token;
    ns::ErrorRef error;
    int answers = 0;
    std::vector<std::string> calls;
};

void registerPushDelegate() {
    auto& cls = ns::Runtime::registerClass("PushTestAppDelegate");
    cls.addInstanceMethod("application:didRegisterForRemoteNotificationsWithDeviceToken:",
                          [](ns::Object* self, const std::vector<ns::Value>& args) {
                              auto* d = static_cast<PushDelegate*>(self);
                              d->token = args.at(1).asData();
                              ++d->answers;
                              return ns::Value();
                          });
    cls.addInstanceMethod("application:didFailToRegisterForRemoteNotificationsWithError:",
                          [](ns::Object* self, const std::vector<ns::Value>& args) {
                              auto* d = static_cast<PushDelegate*>(self);
                              d->error = args.at(1).asObjectOf<ns::Error>();
                              ++d->answers;
                              return ns::Value();
                          });
    cls.addInstanceMethod("application:didReceiveRemoteNotification:fetchCompletionHandler:",
                          [](ns::Object* self, const std::vector<ns::Value>& args) {
                              const auto& payload = args.at(1).asDictionary();
                              auto id = payload.find("kdx.message_id");
                              static_cast<PushDelegate*>(self)->calls.push_back(
                                  "remote " + (id == payload.end() ? std::string("-") : id->second.asString()));
                              ns::BlockObject::call(args.at(2), {ns::Value(ns::Application::kBackgroundFetchNewData)});
                              ns::BlockObject::call(args.at(2), {ns::Value(ns::Application::kBackgroundFetchFailed)});
                              return ns::Value();
                          });
    cls.addInstanceMethod("application:didRegisterUserNotificationSettings:",
                          [](ns::Object* self, const std::vector<ns::Value>& args) {
                              auto settings = args.at(1).asObjectOf<ns::UIUserNotificationSettings>();
                              static_cast<PushDelegate*>(self)->calls.push_back(
                                  "settings " + std::to_string(settings ? settings->types() : 99));
                              return ns::Value();
                          });
    cls.addInstanceMethod("userNotificationCenter:willPresentNotification:withCompletionHandler:",
                          [](ns::Object* self, const std::vector<ns::Value>& args) {
                              auto n = args.at(1).asObjectOf<ns::UNNotification>();
                              static_cast<PushDelegate*>(self)->calls.push_back("willPresent " +
                                                                                n->request()->content()->body);
                              // In front: shown only when the payload asks for a banner.
                              const bool banner = n->request()->content()->userInfo.count("banner") > 0;
                              ns::BlockObject::call(args.at(2), {ns::Value(banner ? 4 : 0)});
                              return ns::Value();
                          });
    cls.addInstanceMethod("userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:",
                          [](ns::Object* self, const std::vector<ns::Value>& args) {
                              auto r = args.at(1).asObjectOf<ns::UNNotificationResponse>();
                              static_cast<PushDelegate*>(self)->calls.push_back("response " + r->actionIdentifier());
                              ns::BlockObject::call(args.at(2));
                              return ns::Value();
                          });
}

class PushTest : public ::testing::Test {
protected:
    void SetUp() override {
        registerPushDelegate();
        sandbox.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "com.almavel.tienda"}});
        ns::Application::shared()->resetForTesting();
        ns::Application::shared()->setDelegate(delegate);
        ns::UNUserNotificationCenter::currentNotificationCenter()->resetForTesting();
    }
    void TearDown() override {
        ns::Application::shared()->resetForTesting();
        ns::UNUserNotificationCenter::currentNotificationCenter()->resetForTesting();
    }

    bool waitForAnswers(int n) {
        return ns::RunLoop::main().runUntil([&] { return delegate->answers >= n; }, 30);
    }

    ns::testing::TempSandbox sandbox;
    std::shared_ptr<PushDelegate> delegate = std::make_shared<PushDelegate>();
};

TEST_F(PushTest, RegistrationGetsAStable32ByteTokenAndQueuedPayloadsArrive) {
    auto backend = ns::testing::Backend::start();
    backend->routeServiceHosts();
    auto app = ns::Application::shared();
    app->registerForRemoteNotifications();
    ASSERT_TRUE(waitForAnswers(1));
    ASSERT_EQ(delegate->error, nullptr) << delegate->error->localizedDescription();
    ASSERT_EQ(delegate->token.size(), 32u);
    EXPECT_TRUE(app->isRegisteredForRemoteNotifications());
    const ns::Data first = delegate->token;

    // The same installation gets the same token again.
    app->registerForRemoteNotifications();
    ASSERT_TRUE(waitForAnswers(2));
    EXPECT_EQ(delegate->token, first);

    // Another device, another token.
    ns::DeviceProfile other = sandbox.sandbox()->deviceProfile();
    other.identifierForVendor = "00000000-0000-0000-0000-000000000001";
    sandbox.setDeviceProfile(other);
    app->registerForRemoteNotifications();
    ASSERT_TRUE(waitForAnswers(3));
    EXPECT_NE(delegate->token, first);

    // Payloads posted for the first token wait until the device fetches them.
    const std::string hex = ns::crypto::hex(first);
    auto posted = backend->post("/__admin/push/v1/send",
                                R"({"deviceToken":")" + hex + R"(","payload":{"aps":{"alert":"Hola"},"kdx.message_id":"m1"}})");
    ASSERT_EQ(posted.status, 200) << posted.body;
    EXPECT_EQ(backend->post("/__admin/push/v1/send", R"({"deviceToken":")" + std::string(64, 'a') + R"(","payload":{}})").status,
              404);
    EXPECT_EQ(backend->post("/__admin/push/v1/send",
                            R"({"deviceToken":")" + hex + R"(","payload":{"x":")" + std::string(5000, 'x') + R"("}})")
                  .status,
              413);

    std::vector<ns::Dictionary> fetched;
    bool done = false;
    ns::PushGateway::fetchMessages(first, nullptr, [&](std::vector<ns::Dictionary> payloads, ns::ErrorRef error) {
        EXPECT_EQ(error, nullptr);
        fetched = std::move(payloads);
        done = true;
    });
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return done; }, 30));
    ASSERT_EQ(fetched.size(), 1u);
    EXPECT_EQ(fetched[0].at("kdx.message_id").asString(), "m1");
    EXPECT_EQ(ns::UNNotificationContent::fromPayload(fetched[0])->body, "Hola");

    // Taken once: the queue is empty afterwards.
    done = false;
    ns::PushGateway::fetchMessages(first, nullptr, [&](std::vector<ns::Dictionary> payloads, ns::ErrorRef) {
        fetched = std::move(payloads);
        done = true;
    });
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return done; }, 30));
    EXPECT_TRUE(fetched.empty());
}

TEST_F(PushTest, PostedPayloadsReachTheRunningApplicationInOrder) {
    auto backend = ns::testing::Backend::start();
    backend->routeServiceHosts();
    auto app = ns::Application::shared();
    auto center = ns::UNUserNotificationCenter::currentNotificationCenter();
    center->setDelegate(delegate);

    // Not registered yet: nothing to fetch for.
    ns::ErrorRef fetchError;
    bool done = false;
    ns::fetchRemoteNotifications([&](size_t, ns::ErrorRef error) {
        fetchError = error;
        done = true;
    });
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return done; }, 10));
    ASSERT_NE(fetchError, nullptr);

    app->finishLaunching();
    app->becomeActive();
    app->registerForRemoteNotifications();
    ASSERT_TRUE(waitForAnswers(1));
    const std::string hex = ns::crypto::hex(delegate->token);
    for (const char* payload : {R"({"aps":{"alert":{"title":"Oferta","body":"Hoy"}},"kdx.message_id":"m1"})",
                                R"({"dato":"sin alerta"})"}) {
        ASSERT_EQ(backend->post("/__admin/push/v1/send", std::string(R"({"deviceToken":")") + hex + R"(","payload":)" +
                                                             payload + "}")
                      .status,
                  200);
    }
    size_t count = 0;
    done = false;
    ns::fetchRemoteNotifications([&](size_t n, ns::ErrorRef error) {
        EXPECT_EQ(error, nullptr);
        count = n;
        done = true;
    });
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return done; }, 30));
    EXPECT_EQ(count, 2u);
    // The alert is offered to the notification centre's delegate first;
    // both reach the application delegate.
    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"willPresent Hoy", "remote m1", "remote -"}));

    // The fetch handler reports the first result only.
    std::vector<int64_t> results;
    app->deliverRemoteNotification({{"x", 1}}, [&](int64_t r) { results.push_back(r); });
    EXPECT_EQ(results, std::vector<int64_t>{ns::Application::kBackgroundFetchNewData});
}

TEST_F(PushTest, AnUnreachableGatewayReachesTheFailureCallbackWithAClearError) {
    // A loopback port nobody listens on.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    const uint16_t closedPort = ntohs(addr.sin_port);
    ::close(fd);
    ASSERT_TRUE(ns::HostRouting::shared().add(ns::kPushGatewayHost, 443, "127.0.0.1", closedPort));

    ns::Application::shared()->registerForRemoteNotifications();
    const bool answered = waitForAnswers(1);
    ns::HostRouting::shared().remove(ns::kPushGatewayHost, 443);
    ASSERT_TRUE(answered);
    EXPECT_TRUE(delegate->token.empty());
    ASSERT_NE(delegate->error, nullptr);
    EXPECT_EQ(delegate->error->domain(), ns::kCocoaErrorDomain);
    EXPECT_EQ(delegate->error->code(), ns::kRemoteNotificationRegistrationError);
    EXPECT_NE(delegate->error->localizedDescription().find("Unable to reach the push gateway"), std::string::npos)
        << delegate->error->localizedDescription();
    EXPECT_NE(delegate->error->underlyingError(), nullptr);
    EXPECT_FALSE(ns::Application::shared()->isRegisteredForRemoteNotifications());
}

TEST_F(PushTest, TheOlderRoadRegistersSettingsWithTheDelegateTold) {
    auto settings = ns::UIUserNotificationSettings::settingsForTypes(
        ns::UIUserNotificationTypeBadge | ns::UIUserNotificationTypeSound | ns::UIUserNotificationTypeAlert);
    ns::Application::shared()->registerUserNotificationSettings(settings);
    EXPECT_EQ(ns::Application::shared()->currentUserNotificationSettings(), settings);
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return !delegate->calls.empty(); }, 10));
    EXPECT_EQ(delegate->calls, std::vector<std::string>{"settings 7"});
}

TEST_F(PushTest, AuthorisationIsAnsweredOnAnotherQueue) {
    auto center = ns::UNUserNotificationCenter::currentNotificationCenter();
    struct Answer {
        bool granted;
        bool onMain;
    };
    // The answer comes without the main loop running: the test thread only
    // waits for it.
    // Shared with the completion, which outlives the test if it never comes.
    auto first = std::make_shared<std::promise<Answer>>();
    center->requestAuthorizationWithOptions(7, [first](bool granted, ns::ErrorRef error) {
        first->set_value({granted && !error, ns::RunLoop::isMainThread()});
    });
    auto answer = first->get_future();
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    const Answer got = answer.get();
    EXPECT_FALSE(got.onMain);
    EXPECT_TRUE(got.granted);
    EXPECT_EQ(center->notificationSettings()->authorizationStatus, ns::UNAuthorizationStatus::Authorized);
    EXPECT_EQ(center->requestedOptions(), std::vector<ns::UNAuthorizationOptions>{7});

    // A person who refused stays refused for later requests.
    center->resetForTesting();
    center->setUserAnswer(false);
    auto refused = std::make_shared<std::promise<bool>>();
    auto again = std::make_shared<std::promise<bool>>();
    center->requestAuthorizationWithOptions(7, [refused](bool granted, ns::ErrorRef) { refused->set_value(granted); });
    center->setUserAnswer(true);
    center->requestAuthorizationWithOptions(7, [again](bool granted, ns::ErrorRef) { again->set_value(granted); });
    auto refusedAnswer = refused->get_future();
    auto againAnswer = again->get_future();
    ASSERT_EQ(refusedAnswer.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    ASSERT_EQ(againAnswer.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_FALSE(refusedAnswer.get());
    EXPECT_FALSE(againAnswer.get());
    EXPECT_EQ(center->notificationSettings()->authorizationStatus, ns::UNAuthorizationStatus::Denied);
}

TEST_F(PushTest, TheCentreTalksToItsDelegateThroughTheRuntimeAndReportsDelegateChanges) {
    auto center = ns::UNUserNotificationCenter::currentNotificationCenter();
    std::vector<std::pair<ns::ObjectPtr, ns::ObjectPtr>> changes;
    auto token = center->addDelegateObserver([&](const ns::ObjectPtr& o, const ns::ObjectPtr& n) { changes.emplace_back(o, n); });
    auto centreDelegate = std::make_shared<PushDelegate>();
    center->setDelegate(centreDelegate);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].second, centreDelegate);

    auto make = [](const std::string& body, bool banner) {
        ns::Dictionary payload{{"aps", ns::Dictionary{{"alert", body}}}};
        if (banner) payload["banner"] = true;
        auto request = ns::UNNotificationRequest::requestWithIdentifier("id", ns::UNNotificationContent::fromPayload(payload));
        return std::make_shared<ns::UNNotification>(request, ns::Date{0});
    };
    center->deliver(make("quiet", false));
    center->deliver(make("loud", true));
    EXPECT_EQ(center->presentedNotifications().size(), 1u);
    bool completed = false;
    center->respond(std::make_shared<ns::UNNotificationResponse>(make("tap", false), ns::UNNotificationDefaultActionIdentifier),
                    [&] { completed = true; });
    EXPECT_TRUE(completed);
    EXPECT_EQ(centreDelegate->calls, (std::vector<std::string>{"willPresent quiet", "willPresent loud",
                                                         std::string("response ") + ns::UNNotificationDefaultActionIdentifier}));

    // Held weakly: a delegate that goes away reads back as none.
    center->removeDelegateObserver(token);
    changes.clear();
    centreDelegate.reset();
    EXPECT_EQ(center->delegate(), nullptr);
    center->setDelegate(delegate);
    EXPECT_TRUE(changes.empty()) << "a removed observer hears nothing";
}

TEST_F(PushTest, DeviceVersionFollowsTheSandboxProfile) {
    auto device = ns::UIDevice::currentDevice();
    ns::DeviceProfile profile = sandbox.sandbox()->deviceProfile();
    profile.systemVersion = "9.3.5";
    sandbox.setDeviceProfile(profile);
    EXPECT_EQ(device->systemVersion(), "9.3.5");
    EXPECT_EQ(device->systemMajorVersion(), 9);
    profile.systemVersion = "16.4";
    sandbox.setDeviceProfile(profile);
    EXPECT_EQ(device->systemMajorVersion(), 16);
    EXPECT_EQ(ns::UIScreen::mainScreen()->bounds().size, (ns::CGSize{375, 667}));
    EXPECT_EQ(ns::UIScreen::mainScreen()->scale(), 2);
}

}  // namespace
