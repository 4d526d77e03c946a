#include <gtest/gtest.h>

#include "platform/application.h"
#include "platform/error.h"
#include "platform/runtime.h"
#include "testing/temp_sandbox.h"
#include "uikit/UIWindow.h"

namespace {

using Log = std::vector<std::string>;
Log launchLog;

class LaunchDelegate : public ns::Object {
public:
    std::string className() const override { return "LaunchTestDelegate"; }
    std::shared_ptr<ns::UIWindow> window;
};

class FirstScreen : public ns::UIViewController {
public:
    FirstScreen() : ns::UIViewController("LaunchFirstScreen") {}
    void viewDidLoad() override { launchLog.push_back("viewDidLoad"); }
    void viewDidAppear(bool) override { launchLog.push_back("viewDidAppear"); }
};

void registerLaunchDelegate() {
    auto& cls = ns::Runtime::registerClass("LaunchTestDelegate");
    cls.addClassMethod("new", [](ns::Object*, const auto&) { return ns::Value(std::make_shared<LaunchDelegate>()); });
    cls.addInstanceMethod("setWindow:", [](ns::Object* self, const std::vector<ns::Value>& args) {
        static_cast<LaunchDelegate*>(self)->window = args.at(0).asObjectOf<ns::UIWindow>();
        launchLog.push_back("setWindow");
        return ns::Value();
    });
    cls.addInstanceMethod("window", [](ns::Object* self, const auto&) {
        return ns::Value(std::static_pointer_cast<ns::Object>(static_cast<LaunchDelegate*>(self)->window));
    });
    cls.addInstanceMethod("application:didFinishLaunchingWithOptions:", [](ns::Object* self, const auto&) {
        auto* d = static_cast<LaunchDelegate*>(self);
        launchLog.push_back(d->window && d->window->rootViewController() ? "launch with window" : "launch");
        return ns::Value(true);
    });
    cls.addInstanceMethod("applicationDidBecomeActive:", [](ns::Object*, const auto&) {
        launchLog.push_back("active");
        return ns::Value();
    });
}

class LaunchTest : public ::testing::Test {
protected:
    void SetUp() override {
        launchLog.clear();
        registerLaunchDelegate();
        ns::Application::shared()->resetForTesting();
    }
    void TearDown() override {
        ns::UIStoryboard::unregisterStoryboard("Main");
        ns::UIStoryboard::unregisterStoryboard("Tienda");
        ns::Application::shared()->resetForTesting();
    }
    ns::testing::TempSandbox sandbox;
};

TEST_F(LaunchTest, TheMainStoryboardFillsTheWindowBeforeLaunchAndItsFirstScreenAppearsAfter) {
    auto sb = ns::UIStoryboard::registerStoryboard("Main");
    sb->registerViewController("LoginV", [](const auto&) { return std::make_shared<FirstScreen>(); });
    sb->setInitialViewControllerIdentifier("LoginV");

    auto delegate = ns::UIApplicationLaunch("LaunchTestDelegate");
    EXPECT_EQ(launchLog, (Log{"setWindow", "launch with window", "viewDidLoad", "viewDidAppear", "active"}));
    auto app = ns::Application::shared();
    EXPECT_EQ(app->delegate(), delegate);
    EXPECT_EQ(app->applicationState(), ns::Application::State::Active);
    auto window = ns::keyWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window, static_cast<LaunchDelegate*>(delegate.get())->window);
    EXPECT_TRUE(window->isKeyWindow());
    EXPECT_NE(std::dynamic_pointer_cast<FirstScreen>(window->rootViewController()), nullptr);
    // The class is reachable by name, as other parts look it up.
    EXPECT_EQ(ns::Runtime::sendClass("UIApplication", "sharedApplication").asObject(), app);
}

TEST_F(LaunchTest, TheInfoPlistNamesTheMainStoryboardAndAMissingDelegateClassIsRefused) {
    sandbox.writeBundlePlist("Info.plist", ns::Dictionary{{"UIMainStoryboardFile", "Tienda"}});
    auto sb = ns::UIStoryboard::registerStoryboard("Tienda");
    sb->registerViewController("Inicio", [](const auto&) { return std::make_shared<FirstScreen>(); });
    sb->setInitialViewControllerIdentifier("Inicio");
    ns::UIApplicationLaunch("LaunchTestDelegate");
    ASSERT_NE(ns::keyWindow(), nullptr);
    EXPECT_NE(std::dynamic_pointer_cast<FirstScreen>(ns::keyWindow()->rootViewController()), nullptr);

    EXPECT_THROW(ns::UIApplicationLaunch("NoSuchDelegateClass"), ns::Exception);
}

}  // namespace
