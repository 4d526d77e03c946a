#include <gtest/gtest.h>

#include "app/MainViewController.h"
#include "app/ViewController.h"
#include "app_test_support.h"

namespace {

using apptest::kStaffEmail;
using apptest::kStaffPassword;

class MainMenuTest : public apptest::SignedInAppTest {
protected:
    void SetUp() override {
        SignedInAppTest::SetUp();
        if (HasFatalFailure()) return;
        menu = std::dynamic_pointer_cast<almavel::MainViewController>(nav->topViewController());
        ASSERT_NE(menu, nullptr);
        ns::UIView::clearRecordedAnimations();
    }
    double panelX() { return driver.find("mView")->frameInWindow().origin.x; }

    std::shared_ptr<almavel::MainViewController> menu;
};

TEST_F(MainMenuTest, TheMenuButtonBringsThePanelInAndOutWithARecordedAnimation) {
    EXPECT_EQ(menu->MenuLeadConst.lock()->constant(), -230);
    EXPECT_EQ(panelX(), -230);
    EXPECT_FALSE(driver.element("CloseSession")) << "the hidden panel's buttons are out of reach";
    EXPECT_EQ(driver.find("mView")->layer()->shadowOpacity(), 1.0);
    EXPECT_EQ(driver.find("mView")->layer()->shadowRadius(), 6.0);
    EXPECT_EQ(driver.find("btCap")->layer()->cornerRadius(), 5.0);

    ASSERT_TRUE(driver.tap("ShowHideMenu"));
    EXPECT_TRUE(menu->menuShowig);
    EXPECT_EQ(menu->MenuLeadConst.lock()->constant(), 0);
    EXPECT_EQ(panelX(), 0);
    EXPECT_TRUE(driver.element("CloseSession"));

    ASSERT_TRUE(driver.tap("ShowHideMenu"));
    EXPECT_FALSE(menu->menuShowig);
    EXPECT_EQ(menu->MenuLeadConst.lock()->constant(), -230);
    EXPECT_EQ(panelX(), -230);
    EXPECT_EQ(ns::UIView::recordedAnimationDurations(), (std::vector<double>{0.3, 0.3}));
}

TEST_F(MainMenuTest, LeavingTheScreenWithThePanelOutPullsItIn) {
    ASSERT_TRUE(driver.tap("ShowHideMenu"));
    nav->pushViewController(ns::UIViewController::make(), false);
    EXPECT_FALSE(menu->menuShowig);
    EXPECT_EQ(menu->MenuLeadConst.lock()->constant(), -230);
    nav->popViewControllerAnimated(false);
    EXPECT_EQ(panelX(), -230);
    // Leaving with the panel in leaves it in.
    nav->pushViewController(ns::UIViewController::make(), false);
    EXPECT_FALSE(menu->menuShowig);
    EXPECT_EQ(ns::UIView::recordedAnimationDurations(), (std::vector<double>{0.3, 0.3}));
}

TEST_F(MainMenuTest, SignOutStoresZeroSignsOutAndLeavesNoWayBack) {
    std::weak_ptr<ns::UINavigationController> oldNav = nav;
    std::weak_ptr<almavel::MainViewController> oldMenu = menu;
    nav.reset();
    menu.reset();
    ASSERT_TRUE(driver.tap("ShowHideMenu"));
    ASSERT_TRUE(driver.tap("CloseSession"));
    ASSERT_TRUE(driver.waitUntilIdle());

    EXPECT_EQ(defaults()->stringForKey("logged"), std::optional<std::string>("0"));
    EXPECT_EQ(QRVAuth::auth()->currentUser(), nullptr);
    auto window = driver.window();
    auto login = std::dynamic_pointer_cast<almavel::ViewController>(window->rootViewController());
    ASSERT_NE(login, nullptr);
    EXPECT_EQ(window->topmostViewController(), login);
    // The signed-in screens are gone, not hidden under the new one.
    EXPECT_TRUE(oldNav.expired());
    EXPECT_TRUE(oldMenu.expired());
    for (const char* signedIn : {"back", "btCap", "ShowHideMenu", "CloseSession", "mView"}) {
        EXPECT_EQ(driver.find(signedIn), nullptr) << signedIn;
    }
    // The fields come back filled; nothing signs in by itself.
    EXPECT_EQ(driver.find<ns::UITextField>("txtUser")->text(), kStaffEmail);
    EXPECT_EQ(driver.find<ns::UITextField>("txtPass")->text(), kStaffPassword);
    EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());

    // And a relaunch stays signed out.
    relaunch();
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_NE(std::dynamic_pointer_cast<almavel::ViewController>(driver.window()->topmostViewController()), nullptr);
}

}  // namespace
