#include "platform/user_activity.h"

#include <gtest/gtest.h>

#include "platform/runtime.h"

TEST(UserActivity, AnswersItsTypeAndPageThroughTheRuntimeByClassName) {
    struct Case {
        const char* type;
        const char* page;
        ns::Value expectedPage;
    };
    const Case cases[] = {
        {ns::kNSUserActivityTypeBrowsingWeb, "https://shop.example/p?utm_source=a", "https://shop.example/p?utm_source=a"},
        {"com.example.handoff", nullptr, ns::Value()},
    };
    for (const auto& c : cases) {
        auto url = c.page ? ns::URL::parse(c.page) : std::nullopt;
        auto activity = ns::UserActivity::make(c.type, url);
        auto* cls = ns::Runtime::lookUpClass("NSUserActivity");
        ASSERT_NE(cls, nullptr);
        EXPECT_TRUE(cls->instanceRespondsTo("activityType") && cls->instanceRespondsTo("webpageURL"));
        EXPECT_EQ(ns::Runtime::send(*activity, "activityType"), ns::Value(c.type)) << c.type;
        EXPECT_EQ(ns::Runtime::send(*activity, "webpageURL"), c.expectedPage) << c.type;
    }
}

TEST(UserActivity, ThePageCanBeSetAfterCreation) {
    auto activity = ns::UserActivity::make(ns::kNSUserActivityTypeBrowsingWeb);
    activity->setWebpageURL(ns::URL::parse("https://shop.example/a"));
    EXPECT_EQ(ns::Runtime::send(*activity, "webpageURL"), ns::Value("https://shop.example/a"));
    activity->setWebpageURL(std::nullopt);
    EXPECT_TRUE(ns::Runtime::send(*activity, "webpageURL").isNull());
}
