#pragma once
// A test fixture holding one screen in a visible key window, with the
// application reset around each test.

#include <gtest/gtest.h>

#include <memory>

#include "platform/application.h"
#include "uikit/UIWindow.h"

namespace ns::testing {

template <class Controller>
class ScreenTest : public ::testing::Test {
protected:
    void SetUp() override {
        Application::shared()->resetForTesting();
        window->setRootViewController(screen);
        window->makeKeyAndVisible();
    }
    void TearDown() override { Application::shared()->resetForTesting(); }

    std::shared_ptr<UIWindow> window = UIWindow::make();
    std::shared_ptr<Controller> screen = std::make_shared<Controller>();
};

}  // namespace ns::testing
