#include <gtest/gtest.h>

#include <thread>

#include "platform/application.h"
#include "platform/error.h"
#include "platform/runtime.h"
#include "uikit/UIWindow.h"

namespace {

using ns::CGRectMake;
using Log = std::vector<std::string>;

class RecordingController : public ns::UIViewController {
public:
    RecordingController(std::string name, Log* log) : ns::UIViewController("RecordingController"), name_(std::move(name)), log_(log) {}
    void viewDidLoad() override { log_->push_back(name_ + " load"); }
    void viewWillAppear(bool) override { log_->push_back(name_ + " willAppear"); }
    void viewDidAppear(bool) override { log_->push_back(name_ + " didAppear"); }
    void viewWillDisappear(bool) override { log_->push_back(name_ + " willDisappear"); }
    void viewDidDisappear(bool) override { log_->push_back(name_ + " didDisappear"); }
    void prepareForSegue(ns::UIStoryboardSegue& segue, const ns::ObjectPtr&) override {
        log_->push_back(name_ + " prepare " + segue.identifier());
    }

private:
    std::string name_;
    Log* log_;
};

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override { ns::Application::shared()->resetForTesting(); }
    void TearDown() override { ns::Application::shared()->resetForTesting(); }

    std::shared_ptr<RecordingController> make(const std::string& name) {
        return std::make_shared<RecordingController>(name, &log);
    }
    Log take() { return std::exchange(log, {}); }

    Log log;
    std::shared_ptr<ns::UIWindow> window = ns::UIWindow::make();
};

TEST_F(ControllerTest, NavigationPushBackPresentAndDismissRunTheLifeCycleInOrder) {
    auto a = make("A");
    auto nav = ns::UINavigationController::initWithRootViewController(a);
    window->setRootViewController(nav);
    EXPECT_TRUE(take().empty()) << "nothing appears before the window is visible";
    window->makeKeyAndVisible();
    EXPECT_EQ(take(), (Log{"A load", "A willAppear", "A didAppear"}));
    EXPECT_EQ(ns::keyWindow(), window);

    auto b = make("B");
    a->showViewController(b, b);
    EXPECT_EQ(take(), (Log{"B load", "A willDisappear", "B willAppear", "A didDisappear", "B didAppear"}));
    EXPECT_EQ(nav->viewControllers().size(), 2u);
    EXPECT_EQ(b->navigationController(), nav);
    EXPECT_TRUE(nav->canGoBack());
    EXPECT_THROW(nav->pushViewController(b, true), ns::Exception);

    nav->goBack();
    EXPECT_EQ(take(), (Log{"B willDisappear", "A willAppear", "B didDisappear", "A didAppear"}));
    EXPECT_EQ(b->parentViewController(), nullptr);
    EXPECT_FALSE(nav->canGoBack());
    nav->goBack();
    EXPECT_TRUE(take().empty());

    // Presented from the navigation controller, whichever screen asks.
    auto c = make("C");
    a->presentViewController(c, true);
    // Unlike a push, a presented screen has appeared before the one it covers is gone.
    EXPECT_EQ(take(), (Log{"C load", "A willDisappear", "C willAppear", "C didAppear", "A didDisappear"}));
    EXPECT_EQ(c->presentingViewController(), nav);
    EXPECT_EQ(window->topmostViewController(), c);

    // One presentation at a time.
    auto d = make("D");
    a->presentViewController(d, true);
    EXPECT_EQ(d->presentingViewController(), nullptr);
    EXPECT_TRUE(take().empty());

    c->dismissViewControllerAnimated(true);
    EXPECT_EQ(take(), (Log{"C willDisappear", "A willAppear", "A didAppear", "C didDisappear"}));
    EXPECT_EQ(nav->presentedViewController(), nullptr);
    EXPECT_EQ(c->view()->superview(), nullptr);
}

TEST_F(ControllerTest, ShowPresentsOutsideANavigationControllerAndReplacingTheRootLeavesNoWayBack) {
    auto login = make("Login");
    window->setRootViewController(login);
    window->makeKeyAndVisible();
    auto menu = make("Menu");
    auto nav = ns::UINavigationController::initWithRootViewController(menu);
    login->showViewController(nav, nav);
    EXPECT_EQ(login->presentedViewController(), nav);
    take();

    // Replacing the window's root takes down what the old root presented.
    auto again = make("Login2");
    window->setRootViewController(again);
    EXPECT_EQ(take(), (Log{"Menu willDisappear", "Menu didDisappear", "Login2 load", "Login2 willAppear",
                           "Login2 didAppear"}));
    EXPECT_EQ(nav->presentingViewController(), nullptr);
    EXPECT_EQ(menu->appearance(), ns::UIViewController::Appearance::Disappeared);
    EXPECT_EQ(login->appearance(), ns::UIViewController::Appearance::Disappeared);
    EXPECT_EQ(window->topmostViewController(), again);
    EXPECT_EQ(window->subviews().size(), 1u);
    EXPECT_EQ(login->presentedViewController(), nullptr);
}

TEST_F(ControllerTest, LifeCycleGoesThroughTheRuntimeSoAnExchangedMethodSeesEveryScreen) {
    ns::Class* cls = ns::Runtime::lookUpClass("UIViewController");
    ASSERT_NE(cls, nullptr);
    std::vector<std::string> seen;
    ns::Method original;
    original = cls->replaceInstanceMethod("viewDidAppear:", [&](ns::Object* self, const std::vector<ns::Value>& args) {
        seen.push_back(self->className());
        return original(self, args);
    });
    auto a = make("A");
    window->setRootViewController(a);
    window->makeKeyAndVisible();
    cls->replaceInstanceMethod("viewDidAppear:", original);
    EXPECT_EQ(seen, std::vector<std::string>{"RecordingController"});
    EXPECT_EQ(take(), (Log{"A load", "A willAppear", "A didAppear"}));
}

TEST_F(ControllerTest, AnAlertCoversWithoutHidingAndItsButtonDismissesBeforeTheHandler) {
    auto screen = make("S");
    window->setRootViewController(screen);
    window->makeKeyAndVisible();
    take();
    auto alert = ns::UIAlertController::alertControllerWithTitle("Login Error", "Usuario o contraseña incorrectos",
                                                                 ns::UIAlertControllerStyle::Alert);
    bool presentedWhenHandled = true;
    alert->addAction(ns::UIAlertAction::actionWithTitle("Cancelar", ns::UIAlertActionStyle::Default));
    alert->addAction(ns::UIAlertAction::actionWithTitle("OK", ns::UIAlertActionStyle::Default, [&](const auto& action) {
        presentedWhenHandled = screen->presentedViewController() != nullptr;
        log.push_back("handler " + action->title());
    }));
    screen->presentViewController(alert, true);
    EXPECT_TRUE(take().empty()) << "the screen under an alert does not disappear";
    EXPECT_THROW(alert->addAction(ns::UIAlertAction::actionWithTitle("late", ns::UIAlertActionStyle::Default)),
                 ns::Exception);

    // A person taps "OK" on the screen.
    auto ok = alert->view()->viewWithIdentifier("OK");
    ASSERT_NE(ok, nullptr);
    ASSERT_TRUE(window->sendTapToView(*ok));
    EXPECT_EQ(take(), Log{"handler OK"});
    EXPECT_FALSE(presentedWhenHandled);
    EXPECT_EQ(screen->presentedViewController(), nullptr);
}

// A message taller than the screen (a typed code of thousands of
// characters) is cut, not the buttons pushed off the screen.
TEST_F(ControllerTest, AnAlertsButtonsStayOnScreenWhateverItsMessage) {
    struct Case {
        std::string title;
        std::string message;
        std::vector<std::string> buttons;
    };
    const std::string longCode(5000, '7');
    const std::vector<Case> cases = {
        {"No encontrado", "El código " + longCode + " no existe", {"Cerrar"}},
        {"Aviso", longCode, {"Cancelar", "Cerrar"}},
        {longCode, longCode, {"Uno", "Dos", "Cerrar"}},
        {"", std::string(3000, 'x') + " " + longCode, {"Cerrar"}},
    };
    const ns::CGRect screenBounds = ns::UIScreen::mainScreen()->bounds();
    for (const auto& c : cases) {
        auto screen = make("S");
        window->setRootViewController(screen);
        window->makeKeyAndVisible();
        auto alert = ns::UIAlertController::alertControllerWithTitle(c.title, c.message,
                                                                     ns::UIAlertControllerStyle::Alert);
        for (const auto& b : c.buttons) alert->addAction(ns::UIAlertAction::actionWithTitle(b, ns::UIAlertActionStyle::Default));
        screen->presentViewController(alert, false);
        for (const auto& button : alert->actionButtons()) {
            const ns::CGRect f = button->frameInWindow();
            EXPECT_TRUE(f.minY() >= screenBounds.minY() && f.maxY() <= screenBounds.maxY() &&
                        f.minX() >= screenBounds.minX() && f.maxX() <= screenBounds.maxX())
                << c.buttons.size() << " buttons: " << button->currentTitle() << " at y " << f.minY();
        }
        auto close = alert->view()->viewWithIdentifier("Cerrar");
        ASSERT_NE(close, nullptr);
        ASSERT_TRUE(window->sendTapToView(*close)) << c.buttons.size() << " buttons";
        EXPECT_EQ(screen->presentedViewController(), nullptr);
    }
}

TEST_F(ControllerTest, StoryboardMakesControllersByIdentifierAndPerformsSegues) {
    auto sb = ns::UIStoryboard::registerStoryboard("TestBoard");
    sb->registerViewController("First", [this](const auto&) { return make("First"); });
    sb->registerViewController("Second", [this](const auto&) { return make("Second"); });
    sb->setInitialViewControllerIdentifier("First");
    auto first = ns::UIStoryboard::storyboardWithName("TestBoard")->instantiateInitialViewController();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->storyboard(), sb);
    EXPECT_THROW(sb->instantiateViewControllerWithIdentifier("Nope"), ns::Exception);
    EXPECT_THROW(ns::UIStoryboard::storyboardWithName("NoSuchBoard"), ns::Exception);

    window->setRootViewController(ns::UINavigationController::initWithRootViewController(first));
    window->makeKeyAndVisible();
    first->addSegue("toSecond", "Second");
    take();
    auto button = ns::UIButton::make(ns::CGRectMake(10, 100, 100, 44), "Next");
    button->addTarget(first->segueAction("toSecond"), ns::UIControlEventTouchUpInside);
    first->view()->addSubview(button);
    ASSERT_TRUE(window->sendTapToView(*button));
    EXPECT_EQ(take(), (Log{"First prepare toSecond", "Second load", "First willDisappear", "Second willAppear",
                           "First didDisappear", "Second didAppear"}));
    EXPECT_THROW(first->performSegueWithIdentifier("missing", nullptr), ns::Exception);
    ns::UIStoryboard::unregisterStoryboard("TestBoard");
}

TEST_F(ControllerTest, NavigationBarShowsTitleBackAndLeftItem) {
    auto a = make("A");
    a->setTitle("Menú");
    auto nav = ns::UINavigationController::initWithRootViewController(a);
    window->setRootViewController(nav);
    window->makeKeyAndVisible();
    auto b = make("B");
    b->setTitle("Cotizacion");
    nav->pushViewController(b, true);
    window->layoutIfNeeded();
    EXPECT_EQ(nav->navigationBar()->titleLabel()->text(), "Cotizacion");
    EXPECT_FALSE(nav->navigationBar()->backButton()->isHidden());
    EXPECT_EQ(nav->navigationBar()->backButton()->currentTitle(), "\u2039 Menú");
    // The screen lies under the bar unless it asks not to.
    EXPECT_EQ(b->view()->frame(), window->bounds());
    EXPECT_EQ(b->topLayoutGuideLength(), 64);
    EXPECT_EQ(window->hitTest({300, 30}), nav->navigationBar()) << "the bar is over the screen";
    b->setEdgesForExtendedLayout(ns::UIRectEdgeNone);
    window->layoutIfNeeded();
    EXPECT_EQ(b->view()->frame(), CGRectMake(0, 64, 375, 603));
    EXPECT_EQ(b->topLayoutGuideLength(), 0);

    bool menuTapped = false;
    b->navigationItem()->setHidesBackButton(true);
    b->navigationItem()->setLeftBarButtonItem(ns::UIBarButtonItem::make(
        "Menu", ns::UIBarButtonItemStyle::Plain, ns::TargetAction::block("backtomenu", [&](const auto&) { menuTapped = true; })));
    window->layoutIfNeeded();
    EXPECT_TRUE(nav->navigationBar()->backButton()->isHidden());
    EXPECT_FALSE(nav->canGoBack());
    ASSERT_TRUE(window->sendTapToView(*nav->navigationBar()->leftButton()));
    EXPECT_TRUE(menuTapped);
    EXPECT_EQ(nav->topViewController(), b);
}

#ifndef NDEBUG
TEST_F(ControllerTest, UsingTheViewTreeOffTheMainThreadRaisesInDebugBuilds) {
    auto a = make("A");
    window->setRootViewController(a);
    window->makeKeyAndVisible();
    int raised = 0;
    std::thread([&] {
        for (const auto& call : std::vector<std::function<void()>>{
                 [&] { window->sendTap({10, 10}); },
                 [&] { a->presentViewController(make("B"), true); },
                 [&] { window->setRootViewController(make("C")); },
             }) {
            try {
                call();
            } catch (const ns::Exception& e) {
                ++raised;
                EXPECT_NE(std::string(e.what()).find("main thread"), std::string::npos) << e.what();
            }
        }
    }).join();
    EXPECT_EQ(raised, 3);
    EXPECT_EQ(window->rootViewController(), a);
    EXPECT_EQ(a->presentedViewController(), nullptr);
}
#endif

}  // namespace
