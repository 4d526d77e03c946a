#include <gtest/gtest.h>

#include <stdexcept>

#include "analytics/QRVAAEU.h"
#include "analytics/QRVAFacadeBridge.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVAUtilities.h"
#include "monitor_lines.h"
#include "platform/application.h"
#include "platform/file_manager.h"
#include "platform/keychain.h"
#include "platform/runtime.h"
#include "platform/system_log.h"
#include "sandboxed_test.h"

namespace {

using UtilitiesTest = analyticstest::SandboxedTest;
using SchedulerTest = analyticstest::SandboxedTest;
using PlatformProbesTest = analyticstest::SandboxedTest;
using analyticstest::consoleLines;

TEST_F(UtilitiesTest, TextIsMeasuredInCodePoints) {
    const struct {
        std::string text;
        size_t length;
        std::u32string firstTwo;
    } cases[] = {
        {"", 0, U""},
        {"abc", 3, U"ab"},
        {"ñandú", 5, U"ña"},
        {"\xE2\x82\xAC", 1, U"€"},
        {"\xF0\x9F\x98\x80" "b", 2, U"😀b"},
        {"\xFF\xFE" "a", 3, U"\uFFFD\uFFFD"},  // bytes that start nothing read as U+FFFD, one each
        {std::string("a\0b", 3), 3, std::u32string(U"a\0", 2)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qrva_UTF32Length(c.text), c.length) << c.text;
        auto twoCodePoints = qrva_getUTF32Bytes(c.text, 8);
        EXPECT_EQ(twoCodePoints.value_or(U""), c.firstTwo) << c.text;
        EXPECT_EQ(twoCodePoints.has_value(), !c.text.empty());
    }
    EXPECT_EQ(qrva_getUTF32Bytes("abc", 3), std::nullopt);
}

TEST_F(UtilitiesTest, NumericStringsAreCheckedAndReadExactly) {
    const struct {
        const char* text;
        bool valid;
    } validity[] = {
        {"12", true},   {"12.", true},  {".5", true},   {"-0.5", true}, {"+3", true},  {"007", true},
        {"", false},    {".", false},   {"1e5", false}, {"1,5", false}, {" 1", false}, {"1 ", false},
        {"+-1", false}, {"1.2.3", false}, {"12\n", false}, {"٣", false},
    };
    for (const auto& c : validity) EXPECT_EQ(QRVAIsValidNumericString(c.text), c.valid) << c.text;

    auto capture = ns::SystemLog::capture();
    const struct {
        const char* text;
        std::optional<std::string> value;
    } parsing[] = {
        {"-.25", "-0.25"},
        {"12.", "12"},
        {"+3", "3"},
        {"0.50", "0.5"},
        {"12345678901234567890123456789012345678", "12345678901234567890123456789012345678"},
        {"123456789012345678901234567890123456789", std::nullopt},
        {"abc", std::nullopt},
    };
    for (const auto& c : parsing) {
        auto number = QRVAParseNumericValueFromString(c.text);
        EXPECT_EQ(number ? std::optional(number->description()) : std::nullopt, c.value) << c.text;
    }
    auto lines = consoleLines(capture);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0],
              "[Quorvane/Analytics][I-ACS026003] Unable to create a NSDecimalNumber from string value: loss of "
              "precision. Value: 123456789012345678901234567890123456789");
    EXPECT_EQ(lines[1], "[Quorvane/Analytics][I-ACS026001] String value does not represent a numeric value. Value: abc");
}

TEST_F(UtilitiesTest, DigestsAndRandomNumbers) {
    EXPECT_EQ(qrva_MD5String(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(qrva_MD5String("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(qrva_MD5String("\xC3"), std::nullopt);
    ns::Data abc{'a', 'b', 'c'};
    EXPECT_EQ(qrva_MD5Data(abc).size(), 16u);
    EXPECT_EQ(qrva_64LSBMD5(abc), static_cast<int64_t>(0xd6963f7d28e17f72ULL));
    EXPECT_EQ(qrva_64LeastSignificantBits(ns::Data{1, 2, 3}), 0x010203);
    EXPECT_EQ(qrva_64LeastSignificantBits(ns::Data{}), 0);
    EXPECT_EQ(qrva_64LeastSignificantBits(ns::Data{9, 1, 2, 3, 4, 5, 6, 7, 8}), 0x0102030405060708);

    std::set<int64_t> draws;
    for (int i = 0; i < 4; ++i) draws.insert(QRVANumericUtil::randomInt64());
    EXPECT_GT(draws.size(), 1u);
}

TEST_F(UtilitiesTest, QueryStringsKeepTheCallersOrderAndParseFirstOccurrenceFirst) {
    EXPECT_EQ(qrva_queryString({{"z", ns::Value("1")}, {"a b", ns::Value("c&d")}, {"n", ns::Value(5)},
                                {"p", ns::Value("100%ü")}}),
              "z=1&a%20b=c&d&n=5&p=100%25%C3%BC");
    EXPECT_EQ(qrva_queryString({}), "");

    const struct {
        const char* text;
        std::optional<std::string> unescaped;
    } unescaping[] = {
        {"a+b%20c", "a b c"}, {"%C3%B1", "ñ"}, {"plain", "plain"}, {"%4", std::nullopt}, {"%E9", std::nullopt},
    };
    for (const auto& c : unescaping) EXPECT_EQ(qrva_stringByUnescapingFromURLArgument(c.text), c.unescaped) << c.text;

    const struct {
        const char* text;
        ns::Dictionary arguments;
    } parsing[] = {
        {"a=1&a=2&b", {{"a", "1"}, {"b", ""}}},
        {"utm_source=mail+list&&x=%E9&%zz=1", {{"utm_source", "mail list"}, {"x", ""}, {"", "1"}}},
        {"k=v=w", {{"k", "v=w"}}},
        {"", {}},
    };
    for (const auto& c : parsing) {
        EXPECT_EQ(ns::Value(qrva_dictionaryWithHttpArgumentsString(c.text)), ns::Value(c.arguments)) << c.text;
    }
}

TEST_F(UtilitiesTest, FilesOfTheStoreAndOfSuitesLieInTheSandbox) {
    auto capture = ns::SystemLog::capture();
    EXPECT_EQ(QRVAFilePathForDatabaseName(""), "");
    EXPECT_TRUE(consoleLines(capture).empty());
    EXPECT_EQ(QRVAFilePathForPreferencesName("suite"), sandbox_.sandbox()->preferencesPath() + "/suite.plist");
    std::string path = QRVAFilePathForDatabaseName("store.sql");
    EXPECT_EQ(path, sandbox_.sandbox()->applicationSupportPath() + "/Ondrix/Measurement/store.sql");

    ns::ErrorRef error;
    EXPECT_FALSE(QRVADeleteDatabaseFile("", &error));
    EXPECT_EQ(error->code(), 1);
    ASSERT_TRUE(ns::FileManager::defaultManager().writeData(path, ns::Data{1}, nullptr,
                                                            {.createIntermediateDirectories = true}));
    EXPECT_TRUE(QRVAExcludeFilePathFromBackup(path, nullptr));
    EXPECT_TRUE(ns::FileManager::defaultManager().isExcludedFromBackup(path));
    ASSERT_TRUE(ns::FileManager::defaultManager().writeData(path + "-journal", ns::Data{2}, nullptr));
    EXPECT_TRUE(QRVADeleteDatabaseFile("store.sql", nullptr));
    EXPECT_FALSE(ns::FileManager::defaultManager().fileExists(path));
    EXPECT_FALSE(ns::FileManager::defaultManager().fileExists(path + "-journal")) << "a hot journal would outlive it";
}

TEST_F(SchedulerTest, WhateverAWorkerBlockThrowsIsLoggedWithItsIDAndTheQueueGoesOn) {
    auto scheduler = QRVAScheduler::initWithWorkerQueueLabel(kQRVASchedulerWorkerQueueLabel);
    auto capture = ns::SystemLog::capture();
    std::vector<int> ran;
    scheduler->scheduleOnWorkerQueueBlockID("QRVAMeasurement:496", [] {
        ns::Exception::raise(ns::kRangeException, "index 3 beyond bounds");
    });
    scheduler->scheduleOnWorkerQueueBlockID("QRVAMeasurement:500", [] { throw std::runtime_error("disk full"); });
    scheduler->scheduleOnWorkerQueueBlockID("QRVAMeasurement:504", [] { throw 42; });
    scheduler->scheduleOnWorkerQueueBlockID("QRVAMeasurement:508", [&ran] { ran.push_back(1); });
    scheduler->workerQueue()->sync([] {});
    EXPECT_EQ(ran, std::vector<int>{1});
    const std::vector<std::string> expected = {
        "[Quorvane/Analytics][I-ACS030000] Exception on worker queue. Block ID=QRVAMeasurement:496. Exception: "
        "NSRangeException: index 3 beyond bounds",
        "[Quorvane/Analytics][I-ACS030000] Exception on worker queue. Block ID=QRVAMeasurement:500. Exception: "
        "std::runtime_error: disk full",
        "[Quorvane/Analytics][I-ACS030000] Exception on worker queue. Block ID=QRVAMeasurement:504. Exception: int: ",
    };
    EXPECT_EQ(consoleLines(capture), expected);
    EXPECT_EQ(scheduler->workerQueue()->label(), "com.ondrix.qrva.worker");
    EXPECT_EQ(scheduler->workerQueue()->qos(), ns::DispatchQueue::QoS::Background);
}

TEST_F(SchedulerTest, TheBackgroundCheckReportsTheMainThreadOnly) {
    auto capture = ns::SystemLog::capture();
    EXPECT_FALSE(QRVAScheduler::checkOnBackgroundThreadWithMethodName(""));
    EXPECT_FALSE(QRVAScheduler::checkOnBackgroundThreadWithMethodName("uploadData"));
    bool onWorker = false;
    QRVAScheduler scheduler(kQRVASchedulerWorkerQueueLabel);
    scheduler.scheduleOnWorkerQueueBlockID(
        "test:1", [&] { onWorker = QRVAScheduler::checkOnBackgroundThreadWithMethodName("uploadData"); });
    scheduler.workerQueue()->sync([] {});
    EXPECT_TRUE(onWorker);
    const std::vector<std::string> expected = {
        "[Quorvane/Analytics][I-ACS030001] Method <empty method name> should execute on background thread",
        "[Quorvane/Analytics][I-ACS030001] Method uploadData should execute on background thread",
    };
    EXPECT_EQ(consoleLines(capture), expected);
}

TEST_F(PlatformProbesTest, AnAppStoreBuildIsTheSCInfoFolderOnADevice) {
    const struct {
        const char* machine;
        bool scInfo;
        bool sandboxReceipt;
        bool fas;
        bool asrs;
    } cases[] = {
        {"iPhone10,3", false, false, false, false},
        {"iPhone10,3", true, false, true, false},
        {"iPhone10,3", true, true, true, true},
        {"x86_64", true, false, false, false},
        {"i386", false, true, false, true},
    };
    for (const auto& c : cases) {
        ns::DeviceProfile profile;
        profile.machine = c.machine;
        ns::testing::TempSandbox sandbox(profile);
        if (c.scInfo) sandbox.writeBundleFile("SC_Info/Manifest.plist", "");
        if (c.sandboxReceipt) sandbox.writeBundleFile("StoreKit/sandboxReceipt", "receipt");
        EXPECT_EQ(QRVAAEU::isFAS(), c.fas) << c.machine << " " << c.scInfo;
        EXPECT_EQ(QRVAAEU::isASRS(), c.asrs) << c.machine;
        EXPECT_EQ(QRVAAEU::deviceModel(), c.machine);
        EXPECT_EQ(QRVAAEU::isNOD(), std::string(c.machine) == "x86_64" || std::string(c.machine) == "i386");
        EXPECT_EQ(QRVAAEU::systemVersion(), "16.4");
        EXPECT_FALSE(QRVAAEU::isAEX());
    }
}

TEST_F(PlatformProbesTest, TheApplicationAndItsActiveStateComeFromAbove) {
    // The application stand-in registers itself by class name at load.
    EXPECT_EQ(QRVAAEU::sharedApplication().asObject(), ns::Application::shared());

    EXPECT_FALSE(QRVAIsAppActive());
    QRVASetFacadeHook(&QRVAFacadeHooks::isAppActive, [] { return true; });
    EXPECT_TRUE(QRVAIsAppActive());
    QRVASetFacadeHook(&QRVAFacadeHooks::isAppActive, nullptr);
    EXPECT_FALSE(QRVAIsAppActive());
}

TEST_F(PlatformProbesTest, WithoutTheAdvertisingFrameworkTheWrapperHoldsNothingAndSaysSoOnce) {
    auto capture = ns::SystemLog::capture();
    auto wrapper = QRVAASIdentifierManager::sharedInstance();
    ASSERT_TRUE(wrapper);
    EXPECT_EQ(QRVAASIdentifierManager::sharedInstance(), wrapper);
    EXPECT_EQ(wrapper->advertisingIdentifierString(), std::nullopt);
    EXPECT_FALSE(wrapper->hasLimitedAdTracking());
    EXPECT_FALSE(wrapper->limitedAdTracking());
    auto lines = consoleLines(capture);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(lines[0].starts_with("[Quorvane/Analytics][I-ACS005000] The AdSupport Framework is not currently linked."));

    class Manager : public ns::Object {
        std::string className() const override { return "QRVATestIdentifierManager"; }
    };
    ns::Runtime::registerClass("QRVATestIdentifierManager");
    ns::Runtime::lookUpClass("QRVATestIdentifierManager")
        ->addInstanceMethod("advertisingIdentifier",
                            [](ns::Object*, const auto&) { return ns::Value("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"); });
    ns::Runtime::lookUpClass("QRVATestIdentifierManager")
        ->addInstanceMethod("isAdvertisingTrackingEnabled", [](ns::Object*, const auto&) { return ns::Value(false); });
    QRVAASIdentifierManager held(std::make_shared<Manager>());
    EXPECT_EQ(held.advertisingIdentifierString(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
    EXPECT_TRUE(held.hasLimitedAdTracking());
    EXPECT_TRUE(held.limitedAdTracking());
}

TEST_F(PlatformProbesTest, KeychainMarkersAreOneItemPerIdentifier) {
    EXPECT_FALSE(QRVAKeychainWrapper::upsertKeychainValue("1", "", "app"));
    EXPECT_FALSE(QRVAKeychainWrapper::upsertKeychainValue("1", "_pfo", ""));
    EXPECT_TRUE(QRVAKeychainWrapper::upsertKeychainValue("1", "_pfo", "app"));
    EXPECT_FALSE(QRVAKeychainWrapper::upsertKeychainValue("", "_pfo", "app"));
    EXPECT_TRUE(QRVAKeychainWrapper::upsertKeychainValue("2", "_pfo", "app"));
    EXPECT_EQ(QRVAKeychainWrapper::keychainValueWithIdentifier("_pfo", "app"), "2");
    EXPECT_EQ(QRVAKeychainWrapper::keychainValueWithIdentifier("_pfo", "other app"), std::nullopt);
    ns::Value all;
    ns::SecItemCopyMatching({{ns::kSecClass, ns::kSecClassGenericPassword},
                             {ns::kSecMatchLimit, ns::kSecMatchLimitAll},
                             {ns::kSecReturnAttributes, true}},
                            &all);
    ASSERT_EQ(all.asArray().size(), 1u);
    EXPECT_EQ(all.asArray()[0][ns::kSecAttrAccessible], ns::Value(ns::kSecAttrAccessibleAlwaysThisDeviceOnly));

    QRVAKeychainWrapper::deleteKeychainValueWithIdentifier("_pfo", "app");
    EXPECT_EQ(QRVAKeychainWrapper::keychainDataWithIdentifier("_pfo", "app"), std::nullopt);
}

}  // namespace
