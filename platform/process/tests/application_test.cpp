#include <gtest/gtest.h>

#include "platform/application.h"
#include "platform/error.h"
#include "platform/dispatch.h"
#include "platform/notification_center.h"
#include "platform/runloop.h"
#include "platform/runtime.h"

namespace {

class TestDelegate : public ns::Object {
public:
    std::string className() const override { return "TestAppDelegate"; }
    std::vector<std::string> calls;
};

void registerDelegateClass() {
    auto& cls = ns::Runtime::registerClass("TestAppDelegate");
    cls.addClassMethod("new", [](ns::Object*, const std::vector<ns::Value>&) {
        return ns::Value(std::make_shared<TestDelegate>());
    });
    auto record = [](const char* name) {
        return [name](ns::Object* self, const std::vector<ns::Value>& args) {
            EXPECT_EQ(args.at(0).asObjectOf<ns::Application>(), ns::Application::shared());
            static_cast<TestDelegate*>(self)->calls.push_back(name);
            return ns::Value();
        };
    };
    cls.addInstanceMethod("application:didFinishLaunchingWithOptions:", [](ns::Object* self, const std::vector<ns::Value>& args) {
        static_cast<TestDelegate*>(self)->calls.push_back("launch " + args.at(1)["source"].description());
        return ns::Value(true);
    });
    cls.addInstanceMethod("applicationDidBecomeActive:", record("active"));
    cls.addInstanceMethod("applicationWillResignActive:", record("resign"));
    cls.addInstanceMethod("applicationDidEnterBackground:", record("background"));
    cls.addInstanceMethod("applicationWillTerminate:", record("terminate"));
}

class ApplicationTest : public ::testing::Test {
protected:
    void SetUp() override {
        registerDelegateClass();
        ns::Application::shared()->resetForTesting();
    }
    void TearDown() override { ns::Application::shared()->resetForTesting(); }
};

TEST_F(ApplicationTest, LifeCycleCallsTheDelegateThroughTheRuntimeAndPosts) {
    auto app = ns::Application::shared();
    auto delegate = std::make_shared<TestDelegate>();
    app->setDelegate(delegate);
    std::vector<std::string> posted;
    auto token = ns::NotificationCenter::defaultCenter().addObserver(
        "", app, nullptr, [&](const ns::Notification& n) { posted.push_back(n.name); });

    EXPECT_TRUE(app->finishLaunching({{"source", "test"}}));
    EXPECT_FALSE(app->finishLaunching());
    app->becomeActive();
    app->becomeActive();  // no change, no call
    app->enterBackground();
    app->enterForeground();  // the delegate has no such method: only the notification
    ns::NotificationCenter::defaultCenter().removeObserver(token);

    EXPECT_EQ(delegate->calls, (std::vector<std::string>{"launch test", "active", "resign", "background"}));
    EXPECT_EQ(posted, (std::vector<std::string>{
                          "UIApplicationDidFinishLaunchingNotification", "UIApplicationDidBecomeActiveNotification",
                          "UIApplicationWillResignActiveNotification", "UIApplicationDidEnterBackgroundNotification",
                          "UIApplicationWillEnterForegroundNotification"}));
    EXPECT_EQ(app->applicationState(), ns::Application::State::Inactive);
}

TEST_F(ApplicationTest, ExchangedDelegateMethodsSeeEveryCall) {
    auto app = ns::Application::shared();
    auto delegate = std::make_shared<TestDelegate>();
    app->setDelegate(delegate);
    // What a proxy does: put its own implementation in front of the app's.
    auto& cls = *ns::Runtime::lookUpClass("TestAppDelegate");
    int proxied = 0;
    ns::Method original = cls.replaceInstanceMethod(
        "applicationDidBecomeActive:", [&](ns::Object* self, const std::vector<ns::Value>& args) {
            ++proxied;
            return original(self, args);
        });
    app->finishLaunching();
    app->becomeActive();
    cls.replaceInstanceMethod("applicationDidBecomeActive:", original);
    EXPECT_EQ(proxied, 1);
    EXPECT_EQ(delegate->calls.back(), "active");
}

TEST_F(ApplicationTest, MainMakesTheDelegateByNameAndRunsUntilTerminate) {
    ns::DispatchQueue::main()->async([] { ns::Application::shared()->terminate(); });
    EXPECT_EQ(ns::Application::main(0, nullptr, "TestAppDelegate"), 0);
    auto delegate = ns::Application::shared()->delegate();
    ASSERT_TRUE(delegate);
    EXPECT_EQ(static_cast<TestDelegate&>(*delegate).calls,
              (std::vector<std::string>{"launch <null>", "active", "terminate"}));
    EXPECT_THROW(ns::Application::main(0, nullptr, "NoSuchDelegate"), ns::Exception);
}

}  // namespace
