#include <gtest/gtest.h>

#include "platform/application.h"
#include "platform/block_object.h"
#include "platform/clock.h"
#include "platform/runtime.h"

namespace {

class BackgroundTaskTest : public ::testing::Test {
protected:
    void SetUp() override { app_->resetForTesting(); }
    void TearDown() override { app_->resetForTesting(); }
    std::shared_ptr<ns::Application> app_ = ns::Application::shared();
    std::unique_ptr<ns::VirtualClock> clock_ = ns::VirtualClock::install();
};

}  // namespace

TEST_F(BackgroundTaskTest, ATaskExpiresOnTheClockUnlessEndedFirst) {
    struct Case {
        double endAfter;  // < 0: never ended by the app
        double advance;
        int expirations;
    };
    const Case cases[] = {{-1, ns::kUIBackgroundTaskTimeAllowance - 1, 0},
                          {-1, ns::kUIBackgroundTaskTimeAllowance, 1},
                          {10, ns::kUIBackgroundTaskTimeAllowance * 2, 0}};
    for (const auto& c : cases) {
        int expirations = 0;
        const uint64_t id = app_->beginBackgroundTaskWithName("upload", [&] { ++expirations; });
        ASSERT_NE(id, ns::kUIBackgroundTaskInvalid);
        if (c.endAfter >= 0) {
            clock_->advance(c.endAfter);
            app_->endBackgroundTask(id);
        }
        clock_->advance(c.advance);
        EXPECT_EQ(expirations, c.expirations) << c.advance;
        // An expired task is over, a running one still listed.
        EXPECT_EQ(app_->backgroundTaskNames().size(), c.endAfter < 0 && c.expirations == 0 ? 1u : 0u);
        app_->resetForTesting();
    }
}

TEST_F(BackgroundTaskTest, TheRuntimeBeginsAndEndsTasksOnTheApplicationClass) {
    auto app = ns::Runtime::sendClass("UIApplication", "sharedApplication").asObject();
    ASSERT_EQ(app, std::static_pointer_cast<ns::Object>(app_));
    bool expired = false;
    auto handler = ns::BlockObject::makeVoid([&](const auto&) { expired = true; });
    auto first = ns::Runtime::send(*app, "beginBackgroundTaskWithName:expirationHandler:", {"a", ns::Value(handler)});
    auto second = ns::Runtime::send(*app, "beginBackgroundTaskWithName:expirationHandler:", {"b", ns::Value(handler)});
    EXPECT_NE(first.intValue(), second.intValue());
    EXPECT_EQ(app_->backgroundTaskNames(), (std::vector<std::string>{"a", "b"}));
    ns::Runtime::send(*app, "endBackgroundTask:", {first});
    ns::Runtime::send(*app, "endBackgroundTask:", {first});  // twice: ignored
    EXPECT_EQ(app_->backgroundTaskNames(), std::vector<std::string>{"b"});
    clock_->advance(ns::kUIBackgroundTaskTimeAllowance);
    EXPECT_TRUE(expired);
    EXPECT_TRUE(app_->backgroundTaskNames().empty());
}
