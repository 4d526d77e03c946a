#include <gtest/gtest.h>

#include <set>

#include "core/QRVLogger.h"
#include "messaging/QRVMessagingCheckinService.h"
#include "messaging/QRVMessagingInstanceIDProxy.h"
#include "messaging/QRVMessagingLogger.h"
#include "messaging/QRVMessagingUtilities.h"
#include "platform/clock.h"
#include "platform/runtime.h"
#include "platform/system_log.h"
#include "testing/temp_sandbox.h"

namespace {

TEST(MessagingLogger, LinesCarryTheServiceTagAndASixDigitCode) {
    EXPECT_EQ(QRVMessagingLogger::formatMessageCode(2000), "I-QDX002000");
    EXPECT_EQ(QRVMessagingLogger::formatMessageCode(15013), "I-QDX015013");

    QRVLoggerResetForTesting();
    auto capture = ns::SystemLog::capture();
    QRVMessagingLoggerError(13003, "Failed to bind rmqID %@", "r1");
    QRVMessagingLoggerDebug(13004, "below the logger level");
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("[Quorvane/Messaging][I-QDX013003] Failed to bind rmqID r1"));
    EXPECT_FALSE(capture.contains("below the logger level"));

    // The logger's own route: nothing without a function name or format.
    QRVMessagingLogStandardFormatter formatter;
    std::array<ns::FormatArg, 1> args{ns::FormatArg("x")};
    EXPECT_TRUE(formatter.stringForFunc(nullptr, "%@", args, QRVMessagingLogLevelInfo).empty());
    const std::string line = formatter.stringForFunc("f", "got %@", args, QRVMessagingLogLevelWarning);
    EXPECT_NE(line.find(": <QRVMessaging/WARNING> got x"), std::string::npos) << line;
    EXPECT_STREQ(QRVMessagingLogStandardFormatter::levelWord(9), "INFO");
}

TEST(MessagingUtilities, TimeVersionAndIdentifier) {
    auto clock = ns::VirtualClock::install(1'700'000'123.789);
    EXPECT_EQ(QRVMessagingCurrentTimestampInSeconds(), 1'700'000'123);
    EXPECT_EQ(QRVMessagingCurrentTimestampInMilliseconds(), 1'700'000'123'000);
    EXPECT_EQ(QRVMessagingSDKVersion(), "qdx-2.0.0");

    ns::testing::TempSandbox sandbox;
    QRVLoggerResetForTesting();
    auto capture = ns::SystemLog::capture();
    sandbox.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "com.ondrix.almavel"}});
    EXPECT_EQ(QRVMessagingCurrentAppVersion(), "");
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("I-QDX018000"));
    EXPECT_EQ(QRVMessagingAppIdentifier(), "com.ondrix.almavel");
    sandbox.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleShortVersionString", "3.1"}});
    sandbox.relaunch();
    EXPECT_EQ(QRVMessagingCurrentAppVersion(), "3.1");
    EXPECT_GT(QRVMessagingGetFreeDiskSpaceInMB(), 0u);
}

TEST(MessagingUtilities, TheLocaleComesFromTheTableOrIsEnglish) {
    const auto& locales = QRVMessagingLocales();
    EXPECT_EQ(QRVMessagingLocalesMap().size(), 48u);
    EXPECT_EQ(std::set<std::string>(locales.begin(), locales.end()).size(), 188u);

    struct Case {
        const char* deviceLocale;
        const char* expected;
    };
    const Case cases[] = {
        {"es_PA", "es_PA"}, {"es_AR", "es_AR"}, {"pt_BR", "pt_BR"}, {"de_DE", "de_DE"},
        {"fr_SN", "fr"},    {"ko_KR", "ko_KR"}, {"sw_KE", "en"},    {"zh_TW", "zh_TW"},
    };
    for (const auto& c : cases) {
        ns::DeviceProfile profile;
        profile.localeIdentifier = c.deviceLocale;
        ns::testing::TempSandbox sandbox(profile);
        EXPECT_EQ(QRVMessagingSDKCurrentLocale(), c.expected) << c.deviceLocale;
    }

    // Instance identity asks for both by name.
    auto& cls = ns::Runtime::registerClass("MessagingLocaleProbe");
    QRVMessagingAddInstanceIDClassMethods(cls);
    EXPECT_EQ(ns::Runtime::sendClass("MessagingLocaleProbe", "QRVMessagingSDKVersion"), ns::Value("qdx-2.0.0"));
    EXPECT_TRUE(ns::Runtime::sendClass("MessagingLocaleProbe", "QRVMessagingSDKCurrentLocale").isString());
}

TEST(MessagingUtilities, DictionaryHelpersKeepOnlyStringPairs) {
    const ns::Dictionary mixed{{"a", "1"}, {"b", 2}, {"c", "3"}};
    EXPECT_TRUE(qdx_hasNonStringKeysOrValues(mixed));
    const ns::Dictionary trimmed = qdx_trimNonStringValues(mixed);
    EXPECT_EQ(trimmed, (ns::Dictionary{{"a", "1"}, {"c", "3"}}));
    EXPECT_FALSE(qdx_hasNonStringKeysOrValues(trimmed));
    EXPECT_EQ(qdx_string(mixed), "a:1|c:3");
    EXPECT_EQ(qdx_string({}), "");

    auto error = qdx_errorWithCode(1004, {{"error", "x"}});
    EXPECT_EQ(error->domain(), "com.ondrix.qdx");
    EXPECT_EQ(qdxErrorCode(error), 1004);
    EXPECT_EQ(errorWithQDXErrorCode(501)->code(), 501);
}

TEST(MessagingBridges, WithoutACheckinOrInstanceIdentityNothingAnswersAndNoHandlerRuns) {
    ns::testing::TempSandbox sandbox;
    QRVMessagingCheckinService checkin;
    EXPECT_FALSE(checkin.tryToLoadPrefetchedCheckinPreferences());
    EXPECT_EQ(checkin.deviceAuthID(), std::nullopt);
    EXPECT_FALSE(checkin.hasValidCheckinInfo());

    QRVMessagingInstanceIDProxy proxy(nullptr);
    bool called = false;
    proxy.tokenWithAuthorizedEntity("123", "*", {}, [&](auto, auto) { called = true; });
    proxy.deleteTokenWithAuthorizedEntity("123", "*", [&](auto) { called = true; });
    EXPECT_EQ(proxy.token(), std::nullopt);
    EXPECT_FALSE(called);
}

}  // namespace
