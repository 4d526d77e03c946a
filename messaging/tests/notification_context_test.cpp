#include <gtest/gtest.h>

#include "core/QRVLogger.h"
#include "messaging/QRVMessagingContextManagerService.h"
#include "messaging_log_lines.h"
#include "messaging/QRVMessagingLog.h"
#include "messaging/QRVMessagingReceiver.h"
#include "platform/application.h"
#include "platform/clock.h"
#include "platform/date_formatter.h"
#include "platform/notification_center.h"
#include "platform/runloop.h"
#include "platform/runtime.h"
#include "platform/system_log.h"
#include "testing/temp_sandbox.h"
#include "uikit/UserNotifications.h"

namespace {

// "yyyy-MM-dd HH:mm:ss" in the zone named.
std::string localTime(double secondsSince1970, const std::string& zone) {
    ns::DateFormatter formatter("yyyy-MM-dd HH:mm:ss");
    formatter.setTimeZoneNamed(zone);
    return formatter.stringFromDate(ns::Date{secondsSince1970});
}

class ContextManager : public ::testing::Test {
protected:
    void SetUp() override {
        ns::DeviceProfile profile;
        profile.timeZone = "America/Panama";  // five hours behind UTC, no daylight saving
        sandbox_ = std::make_unique<ns::testing::TempSandbox>(profile);
        clock_ = ns::VirtualClock::install(1'780'000'000.0);  // a whole minute
        ns::cancelAllLocalNotifications();
    }
    void TearDown() override { ns::cancelAllLocalNotifications(); }
    std::string inDeviceTime(double offset) const { return localTime(clock_->now() + offset, "America/Panama"); }
    void pump() { ns::RunLoop::main().runUntil([] { return false; }, 0.05); }

    std::unique_ptr<ns::testing::TempSandbox> sandbox_;
    std::unique_ptr<ns::VirtualClock> clock_;
    MessagingLogLines log_;
};

TEST_F(ContextManager, SchedulesFromTheLocalStartAndEndTimes) {
    struct Case {
        const char* name;
        double startOffset;
        std::optional<double> endOffset;
        bool scheduled;
        double fireOffset;  // from now, when scheduled
        const char* logLine;
    };
    const Case cases[] = {
        {"start ahead", 60, std::nullopt, true, 60, nullptr},
        {"start passed, end ahead", -60, 3600, true, 10, nullptr},
        {"start passed, no end", -60, std::nullopt, false, 0, "I-QDX006003"},
        {"both passed", -3600, -60, false, 0, "I-QDX006005"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ns::cancelAllLocalNotifications();
        ns::Dictionary message{{"ondrix.c.cm.lt_start", inDeviceTime(c.startOffset)},
                               {"kdx.notification.body", "Oferta de hoy"}};
        if (c.endOffset) message["ondrix.c.cm.lt_end"] = inDeviceTime(*c.endOffset);
        ASSERT_TRUE(QRVMessagingContextManagerService::isContextManagerMessage(message));
        EXPECT_TRUE(QRVMessagingContextManagerService::handleContextManagerMessage(message));
        auto scheduled = ns::scheduledLocalNotifications();
        if (!c.scheduled) {
            EXPECT_TRUE(scheduled.empty());
            EXPECT_TRUE(log_.contains(c.logLine));
            continue;
        }
        ASSERT_EQ(scheduled.size(), 1u);
        EXPECT_DOUBLE_EQ(scheduled[0]->fireDate.secondsSince1970, clock_->now() + c.fireOffset);
        EXPECT_EQ(scheduled[0]->alertBody, "Oferta de hoy");
        // It fires at that time on the clock, not before.
        clock_->advance(c.fireOffset - 1);
        pump();
        EXPECT_TRUE(ns::firedLocalNotifications().empty());
        clock_->advance(1);
        pump();
        EXPECT_EQ(ns::firedLocalNotifications().size(), 1u);
        EXPECT_TRUE(ns::scheduledLocalNotifications().empty());
    }
}

TEST_F(ContextManager, DropsUnreadableStartsAndTreatsAnUnreadableEndAsStillAhead) {
    ns::Dictionary badStart{{"ondrix.c.cm.lt_start", "mañana a las diez"}};
    EXPECT_FALSE(QRVMessagingContextManagerService::handleContextManagerMessage(badStart));
    EXPECT_TRUE(ns::scheduledLocalNotifications().empty());
    EXPECT_TRUE(log_.contains("I-QDX006002"));

    ns::Dictionary badEnd{{"ondrix.c.cm.lt_start", inDeviceTime(-60)}, {"ondrix.c.cm.lt_end", "pronto"}};
    EXPECT_TRUE(QRVMessagingContextManagerService::handleContextManagerMessage(badEnd));
    ASSERT_EQ(ns::scheduledLocalNotifications().size(), 1u);
    EXPECT_DOUBLE_EQ(ns::scheduledLocalNotifications()[0]->fireDate.secondsSince1970, clock_->now() + 10);

    // An ordinary notification is no local-time message.
    EXPECT_FALSE(QRVMessagingContextManagerService::isContextManagerMessage({{"kdx.message_id", "m1"}}));
    EXPECT_TRUE(log_.contains("I-QDX006000"));
}

TEST_F(ContextManager, TheScheduledNotificationKeepsTheAppKeysOnly) {
    ns::Dictionary message{{"ondrix.c.cm.lt_start", inDeviceTime(120)},
                           {"ondrix.c.cm.lt_end", inDeviceTime(600)},
                           {"ondrix.c.cm.other", "x"},
                           {"kdx.notification.content-available", 1},
                           {"kdx.notification.title", "Almavel"},
                           {"kdx.notification.sound", "default"},
                           {"kdx.notification.badge", "3"},
                           {"kdx.notification.click_action", "OFERTA"},
                           {"kdx.message_id", "m9"},
                           {"producto", "7501234"}};
    ASSERT_TRUE(QRVMessagingContextManagerService::handleContextManagerMessage(message));
    auto scheduled = ns::scheduledLocalNotifications();
    ASSERT_EQ(scheduled.size(), 1u);
    const auto& n = *scheduled[0];
    EXPECT_EQ(n.alertTitle, "Almavel");
    EXPECT_EQ(n.soundName, "default");
    EXPECT_EQ(n.applicationIconBadgeNumber, 3);
    EXPECT_EQ(n.category, "OFERTA");
    EXPECT_EQ(n.timeZone, "America/Panama");
    EXPECT_EQ(n.userInfo.at("kdx.message_id"), ns::Value("m9"));
    EXPECT_EQ(n.userInfo.at("producto"), ns::Value("7501234"));
    for (const char* gone : {"ondrix.c.cm.lt_start", "ondrix.c.cm.lt_end", "ondrix.c.cm.other",
                             "kdx.notification.content-available"}) {
        EXPECT_FALSE(n.userInfo.contains(gone)) << gone;
    }
}

class RecordingReceiverDelegate : public QRVMessagingReceiverDelegate {
public:
    void receiverReceivedRemoteMessage(QRVMessagingReceiver&,
                                       const std::shared_ptr<QRVMessagingRemoteMessage>& message) override {
        messages.push_back(message);
    }
    std::vector<std::shared_ptr<QRVMessagingRemoteMessage>> messages;
};

TEST(MessagingReceiver, HandsMessagesOnAndReportsSendsAfterTheCurrentPass) {
    EXPECT_EQ(QRVMessagingReceiver::nextMessageID(), "kdx-1");
    EXPECT_EQ(QRVMessagingReceiver::nextMessageID(), "kdx-2");

    auto receiver = std::make_shared<QRVMessagingReceiver>();
    auto delegate = std::make_shared<RecordingReceiverDelegate>();
    receiver->setDelegate(delegate);
    receiver->didReceiveMessage({{"oferta", "2x1"}}, "");
    ASSERT_EQ(delegate->messages.size(), 1u);
    EXPECT_EQ(delegate->messages[0]->appData(), (ns::Dictionary{{"oferta", "2x1"}}));
    // The message without an id used the next one.
    EXPECT_EQ(QRVMessagingReceiver::nextMessageID(), "kdx-4");

    std::vector<ns::Notification> posted;
    auto& center = ns::NotificationCenter::defaultCenter();
    std::vector<ns::ObserverToken> tokens;
    for (const char* name : {QRVMessagingSendErrorNotification, QRVMessagingSendSuccessNotification,
                             QRVMessagingMessagesDeletedNotification}) {
        tokens.push_back(center.addObserver(name, nullptr, nullptr, [&](const ns::Notification& n) { posted.push_back(n); }));
    }
    auto error = ns::Error::make("com.ondrix.qdx", 1005);
    receiver->willSendDataMessageWithID("up-1", error);
    receiver->willSendDataMessageWithID("up-2", nullptr);
    receiver->didSendDataMessageWithID("up-3");
    receiver->didDeleteMessagesOnServer();
    EXPECT_TRUE(posted.empty());
    ns::RunLoop::main().runUntil([&] { return posted.size() >= 3; }, 5);
    ASSERT_EQ(posted.size(), 3u);
    EXPECT_EQ(posted[0].name, QRVMessagingSendErrorNotification);
    EXPECT_EQ(posted[0].userInfo.at("messageID"), ns::Value("up-1"));
    EXPECT_EQ(posted[0].userInfo.at("error").asObjectOf<ns::Error>()->code(), 1005);
    EXPECT_EQ(posted[1].name, QRVMessagingSendSuccessNotification);
    EXPECT_EQ(posted[1].userInfo.at("messageID"), ns::Value("up-3"));
    EXPECT_EQ(posted[2].name, QRVMessagingMessagesDeletedNotification);
    for (auto token : tokens) center.removeObserver(token);
}

// Analytics as a runtime class that records what it is sent.
std::vector<std::string>& analyticsCalls() {
    static std::vector<std::string> calls;
    return calls;
}

void installAnalytics() {
    auto& cls = ns::Runtime::registerClass("QRVAnalytics");
    cls.addClassMethod("logInternalEventWithOrigin:name:parameters:", [](ns::Object*, const std::vector<ns::Value>& a) {
        analyticsCalls().push_back(a.at(0).asString() + " " + a.at(1).asString() + " " + a.at(2).description());
        return ns::Value();
    });
    cls.addClassMethod("setInternalUserProperty:forName:", [](ns::Object*, const std::vector<ns::Value>& a) {
        analyticsCalls().push_back("property " + a.at(1).asString() + "=" + a.at(0).asString());
        return ns::Value();
    });
}

ns::Dictionary campaignNotification() {
    return {{"aps", ns::Dictionary{{"alert", "Hoy 2x1"}}},
            {"ondrix.c.a.c_id", "camp-7"},
            {"ondrix.c.a.c_l", "Verano"},
            {"from", "/topics/ofertas"},
            {"ondrix.c.a.ts", int64_t(1780000000)},
            {"kdx.message_id", "m1"}};
}

// Runs first in the binary: analytics is not registered yet.
TEST(NotificationAnalytics, WithoutAnalyticsTheEventsAreDroppedWithTheirLines) {
    if (ns::Runtime::lookUpClass("QRVAnalytics")) GTEST_SKIP() << "analytics already registered in this process";
    ns::testing::TempSandbox sandbox;
    MessagingLogLines log;
    ns::Application::shared()->resetForTesting();  // inactive: an opened notification
    ns::Dictionary notification = campaignNotification();
    notification["ondrix.c.a.tc"] = 1;
    QRVMessagingLog::logMessage(notification);
    EXPECT_TRUE(log.contains("I-IID017004"));
    EXPECT_TRUE(log.contains("I-IID017008"));
    EXPECT_TRUE(log.contains("[Quorvane/InstanceID]"));
}

TEST(NotificationAnalytics, ReportsByApplicationStateAndConversion) {
    installAnalytics();
    ns::testing::TempSandbox sandbox;
    auto application = ns::Application::shared();
    struct Case {
        const char* name;
        bool active;
        bool background;
        bool trackConversion;
        ns::Dictionary notification;
        std::vector<std::string> expected;
    };
    const std::string params =
        ns::Value(ns::Dictionary{{"_nmid", "camp-7"}, {"_nmn", "Verano"}, {"_nt", "/topics/ofertas"},
                                 {"_nmt", int64_t(1780000000)}})
            .description();
    const std::string campaign =
        ns::Value(ns::Dictionary{{"campaign", "camp-7"}, {"medium", "notification"}, {"source", "Quorvane"}})
            .description();
    const Case cases[] = {
        {"foreground", true, false, false, campaignNotification(), {"qdx _nf " + params}},
        {"opened", false, false, false, campaignNotification(), {"qdx _no " + params}},
        {"opened with conversion", false, false, true, campaignNotification(),
         {"property _ln=camp-7", "qdx _cmp " + campaign, "qdx _no " + params}},
        {"background", false, true, false, campaignNotification(), {}},
        {"content-available only", true, false, false,
         {{"aps", ns::Dictionary{{"content-available", 1}}}, {"ondrix.c.a.c_id", "camp-7"}}, {}},
        {"no composer id", true, false, false, {{"aps", ns::Dictionary{{"alert", "x"}}}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        application->resetForTesting();
        application->finishLaunching();
        if (c.active) application->becomeActive();
        if (c.background) application->enterBackground();
        analyticsCalls().clear();
        ns::Dictionary notification = c.notification;
        if (c.trackConversion) notification["ondrix.c.a.tc"] = 1;
        QRVMessagingLog::logMessage(notification);
        EXPECT_EQ(analyticsCalls(), c.expected);
    }
    application->resetForTesting();
}

}  // namespace
