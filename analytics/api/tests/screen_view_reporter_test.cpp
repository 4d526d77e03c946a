// Screen tracking over the UIKit stand-in: controllers appearing in a key
// window give "_vs" with their class, id and the screen left; the app's own
// names; the Info.plist switches; replacing the appearance methods; the
// app-active flag. The event logger asks for the screen parameters of every
// event, as the facade does, so logging under the reporter's lock would hang.

#include "analytics/QRVAScreenViewReporter.h"

#include <gtest/gtest.h>

#include "analytics/QRVAAEU.h"
#include "analytics/QRVAEventUtilities.h"
#include "analytics/QRVAFacadeBridge.h"
#include "core/QRVLogger.h"
#include "monitor_lines.h"
#include "platform/application.h"
#include "platform/runtime.h"
#include "sandboxed_test.h"
#include "uikit/UIWindow.h"

namespace {

using Controller = std::shared_ptr<ns::UIViewController>;

std::string text(const QRVAObjectParameters& p, const char* key) {
    const ns::Value* value = p.find(key);
    if (!value) return "";
    auto held = value->asObjectOf<QRVAValue>();
    return held ? held->description() : value->description();
}

class ScreenViewReporterTest : public analyticstest::LoggingTest {
protected:
    void SetUp() override {
        QRVSetLoggerLevel(QRVLoggerLevelDebug);
        writeInfo({});
        ns::Application::shared()->finishLaunching();
        QRVASetFacadeHook(&QRVAFacadeHooks::logInternalEvent, [this](const std::string&, const std::string& name, const QRVAObjectParameters& p) {
            seenDuring_.push_back(QRVAScreenViewReporter::sharedInstance()->screenParameters());
            if (name == "_vs") views_.push_back(p);
        });
    }
    void TearDown() override {
        close();
        QRVASetFacadeHook(&QRVAFacadeHooks::logInternalEvent, {});
        QRVAScreenViewReporter::resetSharedForTesting();
    }
    void writeInfo(ns::Dictionary info) {
        info["CFBundleIdentifier"] = "com.almavel.app";
        sandbox_.writeBundlePlist("Info.plist", info);
        sandbox_.relaunch();
        QRVAScreenViewReporter::resetSharedForTesting();
        QRVAScreenViewReporter::sharedInstance();
    }
    void launch(const Controller& root, bool active = true) {
        window_ = ns::UIWindow::make();
        window_->setRootViewController(root);
        window_->makeKeyAndVisible();
        if (active) ns::Application::shared()->becomeActive();
    }
    void close() {
        if (window_) window_->setRootViewController(nullptr);
        window_.reset();
        ns::Application::shared()->resetForTesting();
        ns::Application::shared()->finishLaunching();
        views_.clear();
        seenDuring_.clear();
    }
    // "class id" (ids relative to the first "_vs"), then " from class id".
    std::vector<std::string> views() const {
        std::vector<std::string> made;
        const int64_t base = views_.empty() ? 0 : std::stoll(text(views_[0], "_si"));
        auto id = [&](const QRVAObjectParameters& p, const char* key) { return std::stoll(text(p, key)) - base; };
        for (const auto& p : views_) {
            std::string line = text(p, "_sc") + " " + std::to_string(id(p, "_si"));
            if (p.contains("_sn")) line += " '" + text(p, "_sn") + "'";
            if (p.contains("_pc")) line += " from " + text(p, "_pc") + " " + std::to_string(id(p, "_pi"));
            made.push_back(line);
        }
        return made;
    }

    std::shared_ptr<ns::UIWindow> window_;
    std::vector<QRVAObjectParameters> views_;
    std::vector<QRVAObjectParameters> seenDuring_;
};

Controller controller(const std::string& className) { return std::make_shared<ns::UIViewController>(className); }

}  // namespace

TEST_F(ScreenViewReporterTest, ControllersAppearingGiveScreenViewsThatKeepTheirIds) {
    auto navigation = ns::UINavigationController::initWithRootViewController(controller("QRVATestHome"));
    launch(navigation);
    const std::string longName(150, 'L');
    navigation->pushViewController(controller("QRVATestDetail"), false);
    navigation->popViewControllerAnimated(false);
    navigation->presentViewController(controller("QRVATestSheet"), false);
    navigation->dismissViewControllerAnimated(false);
    navigation->pushViewController(controller("_QRVAHiddenController"), false);
    navigation->pushViewController(controller(longName), false);
    EXPECT_EQ(views(), (std::vector<std::string>{
                           "QRVATestHome 0", "QRVATestDetail 1 from QRVATestHome 0", "QRVATestHome 0 from QRVATestDetail 1",
                           "QRVATestSheet 2 from QRVATestHome 0", "QRVATestHome 0 from QRVATestSheet 2",
                           std::string(100, 'L') + " 3 from QRVATestHome 0"}));
    // The facade's question from inside the logging is answered, with the new screen.
    ASSERT_EQ(seenDuring_.size(), views_.size());
    EXPECT_EQ(text(seenDuring_[1], "_sc"), "QRVATestDetail");

    // A new reporter (a new process) starts its ids elsewhere.
    const std::string firstID = text(views_[0], "_si");
    close();
    QRVAScreenViewReporter::resetSharedForTesting();
    launch(controller("QRVATestHome"));
    ASSERT_EQ(views_.size(), 1u);
    EXPECT_NE(text(views_[0], "_si"), firstID);
}

TEST_F(ScreenViewReporterTest, TheAppNamesTheScreenAndRepeatsAreIgnored) {
    auto reporter = QRVAScreenViewReporter::sharedInstance();
    auto early = analyticstest::logged([&] { reporter->setScreenName("Inicio", std::nullopt); });
    EXPECT_EQ(early, std::vector<std::string>{
                         "31003 setScreenName:screenClass: must be called after a view controller has appeared"});
    launch(controller("QRVATestHome"));
    const struct {
        std::optional<std::string> name;
        std::optional<std::string> screenClass;
        std::string view;  // "" for none
    } steps[] = {
        {"Inicio", std::nullopt, "QRVATestHome 1 'Inicio' from QRVATestHome 0"},
        {"Inicio", std::nullopt, ""},
        {"Carrito", "CartScreen", "CartScreen 2 'Carrito' from QRVATestHome 1"},
        {std::string(101, 'x'), std::nullopt, ""},
        {"Carrito", std::string(), ""},
    };
    for (const auto& step : steps) {
        const size_t before = views_.size();
        reporter->setScreenName(step.name, step.screenClass);
        auto all = views();
        EXPECT_EQ(all.size() > before ? all.back() : "", step.view);
    }
    const QRVAObjectParameters parameters = reporter->screenParameters();
    EXPECT_EQ(text(parameters, "_sc"), "CartScreen");
    EXPECT_EQ(text(parameters, "_sn"), "Carrito");
    ASSERT_TRUE(parameters.find("_si")->asObjectOf<QRVAValue>());
    EXPECT_TRUE(parameters.find("_si")->asObjectOf<QRVAValue>()->isInt64());
}

TEST_F(ScreenViewReporterTest, TheInfoPlistSwitchesTurnScreenReportingOff) {
    const struct {
        ns::Dictionary info;
        bool enabled;
    } cases[] = {
        {{}, true},
        {{{kQRVAScreenReportingEnabledPlistKey, false}}, false},
        {{{kQRVAAutomaticScreenReportingEnabledPlistKey, false}}, false},
        {{{kQRVAScreenReportingEnabledPlistKey, 0}}, false},
        {{{kQRVAScreenReportingEnabledPlistKey, "NO"}}, true},
        {{{kQRVAScreenReportingEnabledPlistKey, true}, {kQRVAAutomaticScreenReportingEnabledPlistKey, false}}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ns::Value(c.info).description());
        writeInfo(c.info);
        EXPECT_EQ(QRVAIsScreenReportingEnabled(), c.enabled);
        launch(controller("QRVATestHome"));
        EXPECT_EQ(views_.size(), c.enabled ? 1u : 0u);
        EXPECT_EQ(QRVAScreenViewReporter::sharedInstance()->screenParameters().empty(), !c.enabled);
        auto lines = analyticstest::logged([] { QRVAScreenViewReporter::sharedInstance()->setScreenName("A", "B"); });
        EXPECT_EQ(!lines.empty() && lines[0].starts_with("31000"), !c.enabled);
        close();
    }
}

TEST_F(ScreenViewReporterTest, TheAppearanceMethodsAreReplacedBothOrNeither) {
    const struct {
        bool switchOn;
        bool hasAppear;
        bool hasDisappear;
        bool replaced;
        std::string code;
    } cases[] = {
        {true, true, true, true, "36002"},
        {false, true, true, false, "36001"},
        {true, false, true, false, "36003"},
        {true, true, false, false, "36004"},
    };
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        const std::string base = "QRVAProbeBase" + std::to_string(++index);
        int originals = 0;
        ns::Class& cls = ns::Runtime::registerClass(base);
        std::vector<std::string> selectors{"viewDidLoad", "viewWillAppear:", "viewWillDisappear:"};
        if (c.hasAppear) selectors.push_back("viewDidAppear:");
        if (c.hasDisappear) selectors.push_back("viewDidDisappear:");
        for (const auto& selector : selectors) {
            cls.addInstanceMethod(selector, [&originals](ns::Object*, const std::vector<ns::Value>&) {
                ++originals;
                return ns::Value();
            });
        }
        writeInfo(c.switchOn ? ns::Dictionary{} : ns::Dictionary{{kQRVAScreenReportingEnabledPlistKey, false}});
        bool replaced = false;
        auto lines = analyticstest::logged([&] { replaced = QRVAReplaceViewControllerAppearanceMethods(base); });
        EXPECT_EQ(replaced, c.replaced);
        ASSERT_FALSE(lines.empty());
        EXPECT_TRUE(lines.back().starts_with(c.code)) << lines.back();
        if (!c.hasAppear) continue;
        writeInfo({});
        launch(std::make_shared<ns::UIViewController>(base + "Controller", base));
        EXPECT_EQ(originals, 3);  // load, will appear, did appear: the originals still run
        EXPECT_EQ(views().size(), c.replaced ? 1u : 0u);
        window_.reset();  // without a disappearance: not every probe answers it
        close();
    }
}

TEST_F(ScreenViewReporterTest, TheActiveFlagFollowsTheApplicationAndChangesWhileInactiveComeOnActivation) {
    auto navigation = ns::UINavigationController::initWithRootViewController(controller("QRVATestHome"));
    launch(navigation, false);
    auto app = ns::Application::shared();
    const struct {
        std::function<void()> transition;
        bool active;
        size_t views;
    } steps[] = {
        {[&] { navigation->pushViewController(controller("QRVATestDetail"), false); }, false, 0},
        {[&] { app->becomeActive(); }, true, 1},
        {[&] { app->resignActive(); }, false, 1},
        {[&] { navigation->popViewControllerAnimated(false); }, false, 1},
        {[&] { app->becomeActive(); }, true, 2},
        {[&] { app->enterBackground(); }, false, 2},
    };
    for (const auto& step : steps) {
        step.transition();
        EXPECT_EQ(QRVAIsAppActive(), step.active);
        EXPECT_EQ(views_.size(), step.views);
    }
    EXPECT_EQ(views(), (std::vector<std::string>{"QRVATestDetail 0", "QRVATestHome -1 from QRVATestDetail 0"}));
}
