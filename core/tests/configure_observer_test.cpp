#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/QRVApp.h"
#include "platform/notification_center.h"
#include "platform/runtime.h"
#include "testing/app_backend.h"
#include "testing/temp_sandbox.h"

namespace {

class ConfigureObserverTest : public ::testing::Test {
protected:
    void SetUp() override {
        QRVApp::resetForTesting();
        token_ = QRVApp::observeReadyToConfigureSDK([this](const std::string& name) { names_.push_back(name); });
    }
    void TearDown() override {
        ns::NotificationCenter::defaultCenter().removeObserver(token_);
        QRVApp::resetForTesting();
    }

    ns::testing::TempSandbox sandbox_;
    ns::ObserverToken token_ = 0;
    std::vector<std::string> names_;
};

TEST_F(ConfigureObserverTest, EveryConfiguredAppIsAnnouncedByName) {
    auto options = std::make_shared<QRVOptions>(
        ns::Dictionary{{"ONDRIX_APP_ID", ns::testing::kTestAppID}, {"KDX_SENDER_ID", "480326711275"}});
    QRVApp::configure(options);
    QRVApp::configure("second", options);
    EXPECT_EQ(names_, (std::vector<std::string>{kQRVDefaultAppName, "second"}));
}

// Parts act only on announcements the app class makes, naming the app.
TEST_F(ConfigureObserverTest, OnlyTheAppClassAnnouncingANameCounts) {
    const ns::ObjectPtr appClass = ns::Runtime::classObject("QRVApp");
    const ns::ObjectPtr stranger = std::make_shared<ns::Object>();
    struct Case {
        const char* what;
        ns::ObjectPtr sender;
        ns::Dictionary userInfo;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"the app class with a name", appClass, {{kQRVAppNameKey, "shop"}}, {"shop"}},
        {"another sender", stranger, {{kQRVAppNameKey, "shop"}}, {}},
        {"no sender", nullptr, {{kQRVAppNameKey, "shop"}}, {}},
        {"no name", appClass, {{kQRVAppIsDefaultAppKey, true}}, {}},
        {"a name that is not text", appClass, {{kQRVAppNameKey, int64_t(7)}}, {}},
    };
    for (const auto& c : cases) {
        names_.clear();
        ns::NotificationCenter::defaultCenter().post(kQRVAppReadyToConfigureSDKNotification, c.sender, c.userInfo);
        EXPECT_EQ(names_, c.expected) << c.what;
    }
}

}  // namespace
