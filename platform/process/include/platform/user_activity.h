#pragma once
// NSUserActivity stand-in: what the system hands an app it continues from
// elsewhere, for example a web page opened as a universal link (type
// kNSUserActivityTypeBrowsingWeb with the page's URL).
//
// The class is registered with the runtime as "NSUserActivity" (at load and
// again on first construction, so a program that makes one always finds it),
// and its instances answer "activityType" (string) and "webpageURL" (the
// page's absolute string, or a null Value when there is none); parts that
// must not link against the stand-in reach an activity only that way.
//
// Any thread may call every method; the web-page URL and user info may be
// changed after creation and are read under the object's lock.

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/url.h"
#include "platform/value.h"

namespace ns {

inline constexpr const char* kNSUserActivityTypeBrowsingWeb = "NSUserActivityTypeBrowsingWeb";

class UserActivity : public Object {
public:
    explicit UserActivity(std::string activityType);
    static std::shared_ptr<UserActivity> make(std::string activityType, std::optional<URL> webpageURL = std::nullopt);

    const std::string& activityType() const { return activityType_; }
    std::optional<URL> webpageURL() const;
    void setWebpageURL(std::optional<URL> url);
    Dictionary userInfo() const;
    void setUserInfo(Dictionary userInfo);

    std::string className() const override { return "NSUserActivity"; }
    std::string description() const override;

    // Registers "NSUserActivity" and its two accessors; later calls do nothing.
    static void registerClass();

private:
    const std::string activityType_;
    mutable std::mutex mutex_;
    std::optional<URL> webpageURL_;
    Dictionary userInfo_;
};

}  // namespace ns
