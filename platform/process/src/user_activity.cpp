#include "platform/user_activity.h"

#include "platform/format.h"
#include "platform/runtime.h"

namespace ns {

UserActivity::UserActivity(std::string activityType) : activityType_(std::move(activityType)) { registerClass(); }

std::shared_ptr<UserActivity> UserActivity::make(std::string activityType, std::optional<URL> webpageURL) {
    auto activity = std::make_shared<UserActivity>(std::move(activityType));
    activity->setWebpageURL(std::move(webpageURL));
    return activity;
}

std::optional<URL> UserActivity::webpageURL() const {
    std::lock_guard lock(mutex_);
    return webpageURL_;
}

void UserActivity::setWebpageURL(std::optional<URL> url) {
    std::lock_guard lock(mutex_);
    webpageURL_ = std::move(url);
}

Dictionary UserActivity::userInfo() const {
    std::lock_guard lock(mutex_);
    return userInfo_;
}

void UserActivity::setUserInfo(Dictionary userInfo) {
    std::lock_guard lock(mutex_);
    userInfo_ = std::move(userInfo);
}

std::string UserActivity::description() const {
    auto url = webpageURL();
    return format("<NSUserActivity type: %@ webpageURL: %@>", activityType_,
                  url ? url->absoluteString() : std::string("(null)"));
}

void UserActivity::registerClass() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto& cls = Runtime::registerClass("NSUserActivity", "NSObject");
        cls.addInstanceMethod("activityType", [](Object* self, const std::vector<Value>&) {
            return Value(static_cast<UserActivity*>(self)->activityType());
        });
        cls.addInstanceMethod("webpageURL", [](Object* self, const std::vector<Value>&) {
            auto url = static_cast<UserActivity*>(self)->webpageURL();
            return url ? Value(url->absoluteString()) : Value();
        });
    });
}

NS_REGISTER_LOAD_HOOK(0, "NSUserActivity", [] { UserActivity::registerClass(); });

}  // namespace ns
