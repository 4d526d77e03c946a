#include <gtest/gtest.h>

#include "platform/application.h"
#include "uikit/inspection.h"

namespace {

using ns::CGRectMake;

TEST(InspectionTest, ListsWhatAPersonCanReachAndDescribesTheScreen) {
    ns::Application::shared()->resetForTesting();
    auto window = ns::UIWindow::make();
    auto screen = ns::UIViewController::make();
    screen->setTitle("Login");
    window->setRootViewController(screen);
    window->makeKeyAndVisible();
    auto user = ns::UITextField::make(CGRectMake(20, 100, 335, 40));
    user->setAccessibilityIdentifier("txtUser");
    user->setText("ana@almavel.pa");
    auto pass = ns::UITextField::make(CGRectMake(20, 150, 335, 40));
    pass->setAccessibilityIdentifier("txtPass");
    pass->setSecureTextEntry(true);
    pass->setText("abc");
    auto button = ns::UIButton::make(CGRectMake(20, 200, 335, 44), "Entrar");
    auto label = ns::UILabel::make(CGRectMake(20, 40, 335, 30));
    label->setText("Almavel");
    for (const auto& v : {ns::UIViewPtr(label), ns::UIViewPtr(user), ns::UIViewPtr(pass), ns::UIViewPtr(button)}) {
        screen->view()->addSubview(v);
    }

    auto elements = ns::interactiveElements(*window);
    ASSERT_EQ(elements.size(), 3u);
    EXPECT_EQ(elements[0].name, "txtUser");
    EXPECT_EQ(elements[1].text, "\u2022\u2022\u2022");
    EXPECT_TRUE(elements[1].secure);
    EXPECT_EQ(elements[2].name, "Entrar");
    EXPECT_EQ(elements[2].frame, CGRectMake(20, 200, 335, 44));

    // A panel slid off the left edge shows nothing and offers nothing.
    auto panel = ns::UIView::make(CGRectMake(-230, 64, 230, 603));
    auto signOut = ns::UIButton::make(CGRectMake(16, 140, 198, 44), "Cerrar sesión");
    auto heading = ns::UILabel::make(CGRectMake(16, 16, 198, 28));
    heading->setText("Menú");
    panel->addSubview(signOut);
    panel->addSubview(heading);
    screen->view()->addSubview(panel);
    EXPECT_EQ(ns::interactiveElements(*window).size(), 3u);
    EXPECT_EQ(ns::describeScreen(*window).find("Cerrar sesión"), std::string::npos);
    EXPECT_EQ(ns::describeScreen(*window).find("Menú"), std::string::npos);

    auto alert = ns::UIAlertController::alertControllerWithTitle("Login Error", "Usuario o contraseña incorrectos",
                                                                 ns::UIAlertControllerStyle::Alert);
    alert->addAction(ns::UIAlertAction::actionWithTitle("Cerrar", ns::UIAlertActionStyle::Default));
    screen->presentViewController(alert, true);
    elements = ns::interactiveElements(*window);
    ASSERT_EQ(elements.size(), 1u) << "the alert covers the screen";
    EXPECT_EQ(elements[0].name, "Cerrar");
    EXPECT_EQ(ns::describeScreen(*window),
              "screen: Login (UIViewController)\n"
              "label: Almavel\n"
              "field txtUser: ana@almavel.pa\n"
              "field txtPass: \u2022\u2022\u2022\n"
              "button Entrar\n"
              "alert: Login Error / Usuario o contraseña incorrectos [Cerrar]\n");
    ns::Application::shared()->resetForTesting();
}

}  // namespace
