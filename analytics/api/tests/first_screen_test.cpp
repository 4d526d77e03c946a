// The first screen the screen-view reporter hands the engine's first open:
// decided by the app's own steps (its launch, its activation, analytics'
// start), whenever the engine asks.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "analytics/QRVAFacadeBridge.h"
#include "analytics/QRVAScreenViewReporter.h"
#include "analytics/QRVAnalytics.h"
#include "platform/application.h"
#include "sandboxed_test.h"
#include "uikit/UIWindow.h"

namespace {

std::string text(const QRVAObjectParameters& p, const char* key) {
    const ns::Value* value = p.find(key);
    if (!value) return "";
    auto held = value->asObjectOf<QRVAValue>();
    return held ? held->description() : value->description();
}

class FirstScreenTest : public analyticstest::LoggingTest {
protected:
    void SetUp() override {
        sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "com.almavel.app"}});
        sandbox_.relaunch();
        QRVASetFacadeHook(&QRVAFacadeHooks::logInternalEvent,
                          [this](const std::string&, const std::string& name, const QRVAObjectParameters& p) {
                              if (name == "_vs") views_.push_back(p);
                          });
    }
    void TearDown() override {
        QRVASetFacadeHook(&QRVAFacadeHooks::logInternalEvent, {});
        newProcess();
    }
    void newProcess() {
        if (window_) window_->setRootViewController(nullptr);
        window_.reset();
        ns::Application::shared()->resetForTesting();
        QRVAScreenViewReporter::resetSharedForTesting();
        QRVAScreenViewReporter::sharedInstance();
        delivered_.clear();
        views_.clear();
    }

    // The app's steps.
    void launching() {
        ns::Application::shared()->setDelegate(std::make_shared<ns::Object>());
        ns::Application::shared()->finishLaunching();
    }
    void show(const char* className) {
        home_ = ns::UINavigationController::initWithRootViewController(std::make_shared<ns::UIViewController>(className));
        window_ = ns::UIWindow::make();
        window_->setRootViewController(home_);
        window_->makeKeyAndVisible();
    }
    void push(const char* className) { home_->pushViewController(std::make_shared<ns::UIViewController>(className), false); }
    static void activate() { ns::Application::shared()->becomeActive(); }
    static void analyticsStarts() { ns::NotificationCenter::defaultCenter().post(kQRVAnalyticsWillStartNotification); }
    void engineAsks() {
        QRVAScreenViewReporter::sharedInstance()->whenFirstScreenKnown(
            [this](QRVAObjectParameters screen) { delivered_.push_back(std::move(screen)); });
    }

    // The classes handed over so far, "none" for no screen.
    std::vector<std::string> delivered() const {
        std::vector<std::string> classes;
        for (const auto& screen : delivered_) classes.push_back(screen.empty() ? "none" : text(screen, "_sc"));
        return classes;
    }

    std::shared_ptr<ns::UIWindow> window_;
    std::shared_ptr<ns::UINavigationController> home_;
    std::vector<QRVAObjectParameters> delivered_;
    std::vector<QRVAObjectParameters> views_;
};

}  // namespace

TEST_F(FirstScreenTest, TheFirstScreenFollowsTheAppsStepsNotWhenTheEngineAsks) {
    struct Step {
        const char* what;
        std::function<void()> act;
        std::vector<std::string> delivered;  // so far
    };
    const std::vector<std::pair<const char*, std::vector<Step>>> cases{
        {"a launch shows its first controller after the engine asked",
         {{"launching", [&] { launching(); }, {}},
          {"analytics starts", analyticsStarts, {}},
          {"the engine asks", [&] { engineAsks(); }, {}},
          {"the controller appears", [&] { show("Inicio"); }, {}},
          {"the app becomes active", activate, {"Inicio"}},
          {"the user moves on", [&] { push("Carrito"); }, {"Inicio"}}}},
        {"a launch shows no controller",
         {{"launching", [&] { launching(); }, {}},
          {"analytics starts", analyticsStarts, {}},
          {"the engine asks", [&] { engineAsks(); }, {}},
          {"the app becomes active", activate, {"none"}}}},
        {"the engine asks after the user moved on",
         {{"launching", [&] { launching(); }, {}},
          {"analytics starts", analyticsStarts, {}},
          {"the controller appears", [&] { show("Inicio"); }, {}},
          {"the app becomes active", activate, {}},
          {"the user moves on", [&] { push("Carrito"); }, {}},
          {"the engine asks", [&] { engineAsks(); }, {"Inicio"}}}},
        {"analytics starts in an active app",
         {{"launching", [&] { launching(); }, {}},
          {"the controller appears", [&] { show("Inicio"); }, {}},
          {"the app becomes active", activate, {}},
          {"the user moves on", [&] { push("Carrito"); }, {}},
          {"analytics starts", analyticsStarts, {}},
          {"the engine asks", [&] { engineAsks(); }, {"Carrito"}}}},
        {"no application launches", {{"analytics starts", analyticsStarts, {}}, {"the engine asks", [&] { engineAsks(); }, {"none"}}}},
        // An engine made without the facade's start decides when it asks.
        {"the engine asks during a launch",
         {{"launching", [&] { launching(); }, {}},
          {"the engine asks", [&] { engineAsks(); }, {}},
          {"the controller appears", [&] { show("Inicio"); }, {}},
          {"the app becomes active", activate, {"Inicio"}}}},
    };
    for (const auto& [what, steps] : cases) {
        SCOPED_TRACE(what);
        newProcess();
        for (const auto& step : steps) {
            step.act();
            EXPECT_EQ(delivered(), step.delivered) << "after: " << step.what;
        }
        // The same screen, by its id, as the screen view of it.
        for (const auto& screen : delivered_) {
            if (screen.empty()) continue;
            auto view = std::find_if(views_.begin(), views_.end(),
                                     [&](const auto& v) { return text(v, "_sc") == text(screen, "_sc"); });
            ASSERT_NE(view, views_.end());
            EXPECT_EQ(text(screen, "_si"), text(*view, "_si"));
        }
    }
}
