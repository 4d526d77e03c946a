// The installation's identity (the app instance ID across launches and
// advertising identifiers, version numbers, app IDs, instance identity's ID
// from the local check-in and registration services), the device's
// description and the identifiers handed out as text.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <filesystem>
#include <regex>

#include "analytics/QRVAEnvironmentInfo.h"
#include "analytics/QRVAEngineBridge.h"
#include "analytics/QRVAIdentifiers.h"
#include "analytics/QRVAIdentity.h"
#include "analytics/QRVAMonitor.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVAUtilities.h"
#include "core/QRVLogger.h"
#include "instanceid/QRVInstanceID.h"
#include "platform/clock.h"
#include "platform/file_manager.h"
#include "platform/sandbox.h"
#include "platform/runloop.h"
#include "platform/runtime.h"
#include "platform/system_log.h"
#include "platform_doubles.h"
#include "testing/app_backend.h"
#include "testing/temp_sandbox.h"

namespace {

// This platform has no advertising-identifier manager: the tests install
// the double (answering what the test sets, counting the reads).
using analyticstest::advertising;
using analyticstest::installAdvertisingManager;

// The wrapper looks the manager up once per process, at the first identity
// any test of this program makes: register it before any test runs.
[[maybe_unused]] const bool kAdvertisingManagerInstalled = (installAdvertisingManager(), true);

constexpr const char* kAdA = "E621E1F8-C36C-495A-93FC-0C247A3E6E5F";
constexpr const char* kAdB = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
constexpr const char* kAdZero = "00000000-0000-0000-0000-000000000000";

// How many console lines logged so far hold the text.
size_t logged(const ns::SystemLog::Capture& capture, const std::string& text) {
    QRVAMeasurementMonitor()->flushForTesting();
    QRVLoggerFlush();
    size_t count = 0;
    for (const auto& line : capture.lines()) count += line.find(text) != std::string::npos;
    return count;
}

class IdentityTest : public ::testing::Test {
protected:
    void SetUp() override {
        installAdvertisingManager();
        advertising = {};
        QRVAEnvironmentInfo::resetSharedForTesting();
        sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "com.almavel.app"},
                                                               {"CFBundleShortVersionString", "2.4"},
                                                               {"CFBundleVersion", "2.4.17"}});
        writeOptions(ns::testing::kTestAppID);
        clock_ = ns::VirtualClock::install();
        resetProcess();
    }
    void TearDown() override {
        QRVASetEngineHooks({});
        resetProcess();
    }
    void writeOptions(const std::optional<std::string>& appID) {
        ns::Dictionary options{{kQRVOptionsKeyAPIKey, kApp.apiKey}};
        if (appID) options[kQRVOptionsKeyOndrixAppID] = *appID;
        sandbox_.writeBundlePlist(kQRVOptionsFileName, options);
        QRVOptions::resetForTesting();
    }
    static void resetProcess() {
        QRVAIdentity::resetSharedForTesting();
        QRVAPersistedConfig::resetSharedForTesting();
        QRVAMonitor::resetSharedForTesting();
        QRVOptions::resetForTesting();
    }
    // Another run of the program on the same files.
    std::shared_ptr<QRVAIdentity> relaunch() {
        resetProcess();
        sandbox_.relaunch();
        return QRVAIdentity::sharedInstance();
    }

    const ns::testing::TestApp kApp{.apiKey = "AKtest-analytics-identity-000000001",
                                    .senderID = ns::testing::kTestSenderID};
    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::VirtualClock> clock_;
};

TEST_F(IdentityTest, TheAppInstanceIDIsKeptAcrossLaunchesAndRenewedOnlyByAnotherAdvertisingIdentifier) {
    const struct {
        std::string advertisingID;
        bool relaunch, renewed;
        std::optional<std::string> resettableDeviceID;
    } steps[] = {
        {"", false, false, std::nullopt},    {"", true, false, std::nullopt},
        {kAdA, false, false, kAdA},          // the first one seen keeps the ID
        {kAdZero, false, false, kAdA},       // limited tracking
        {kAdZero, true, false, std::nullopt}, {kAdA, false, false, kAdA},
        {kAdB, false, true, kAdB},           {kAdB, true, false, kAdB},
        {kAdA, false, true, kAdA},
    };
    auto identity = QRVAIdentity::sharedInstance();
    std::string previous = identity->appInstanceID();
    for (size_t i = 0; i < std::size(steps); ++i) {
        advertising.identifier = steps[i].advertisingID;
        if (steps[i].relaunch) identity = relaunch();
        clock_->advance(1);  // past the advertising fields' cache time
        const std::string current = identity->appInstanceID();
        EXPECT_TRUE(std::regex_match(current, std::regex("[0-9A-F]{32}"))) << current;
        EXPECT_EQ(current != previous, steps[i].renewed) << "step " << i;
        EXPECT_EQ(identity->resettableDeviceID(), steps[i].resettableDeviceID) << "step " << i;
        EXPECT_EQ(QRVAPersistedConfig::sharedInstance()->appInstanceID(), current);
        previous = current;
    }
    EXPECT_EQ(identity->hashedIDFA(), qrva_MD5String(kAdA));
}

// A stored state that cannot be read now may hold the installation's ID:
// the launch works with one of its own and stores nothing over that state,
// even when the advertising identifier changes meanwhile.
TEST_F(IdentityTest, AStateThatCannotBeReadKeepsItsAppInstanceIDForTheNextLaunch) {
    const std::string stored = QRVAIdentity::sharedInstance()->appInstanceID();
    QRVAPersistedConfig::sharedInstance()->synchronizeToDisk();
    const std::string list =
        ns::Sandbox::current()->preferencesPath() + "/" + kQRVAPersistedConfigName + ".plist";
    const ns::Data bytes = *ns::FileManager().readData(list);
    std::filesystem::remove(list);
    std::filesystem::create_directory(list);

    auto identity = relaunch();
    const std::string ownID = identity->appInstanceID();
    EXPECT_NE(ownID, stored);
    advertising.identifier = kAdB;
    clock_->advance(1);
    EXPECT_EQ(identity->appInstanceID(), ownID);
    QRVAPersistedConfig::sharedInstance()->synchronizeToDisk();
    resetProcess();
    EXPECT_TRUE(std::filesystem::is_directory(list)) << "nothing is stored over the state";

    std::filesystem::remove(list);
    ASSERT_TRUE(ns::FileManager().writeData(list, bytes));
    EXPECT_EQ(relaunch()->appInstanceID(), stored);
}

TEST_F(IdentityTest, ThePlatformIsReadOncePerCacheTimeAndTheVendorIDOnlyWithoutAnAdvertisingID) {
    QRVASetEngineHooks({.adIDCacheTime = [] { return 60.0; }});
    auto identity = QRVAIdentity::sharedInstance();
    EXPECT_EQ(identity->identifierForVendor(), sandbox_.sandbox()->deviceProfile().identifierForVendor);
    EXPECT_EQ(advertising.reads, 1);
    advertising = {kAdA, false, advertising.reads};
    const struct {
        double advance;
        int reads;
    } steps[] = {{59.5, 1}, {0.5, 2}, {59.5, 2}, {0.5, 3}};
    for (const auto& step : steps) {
        clock_->advance(step.advance);
        EXPECT_EQ(identity->limitedAdTracking(), step.reads > 1);
        EXPECT_EQ(advertising.reads, step.reads);
    }
    EXPECT_TRUE(identity->hasLimitedAdTracking());
    EXPECT_EQ(identity->identifierForVendor(), std::nullopt);
    // A clock set back reads again.
    clock_.reset();
    clock_ = ns::VirtualClock::install(1'600'000'000.0);
    identity->appInstanceID();
    EXPECT_EQ(advertising.reads, 4);
}

TEST_F(IdentityTest, VersionNumbersAndAppIDs) {
    auto identity = QRVAIdentity::sharedInstance();
    EXPECT_EQ(identity->appID(), "com.almavel.app");
    EXPECT_EQ(identity->appVersion(), "2.4");
    EXPECT_EQ(std::vector({identity->appVersionMajor(), identity->appVersionMinor(), identity->appVersionRelease()}),
              std::vector<std::optional<int32_t>>({2, 4, 17}));
    EXPECT_EQ(QRVAIdentity::quorvaneAnalyticsLibraryVersion(), 40002);
    const struct {
        std::string text;
        std::vector<int32_t> fields;
    } cases[] = {
        {"7", {7}}, {"2.10b.3", {2, 10, 3}}, {"1..4", {1, 4}}, {".x.", {0}}, {"1.99999999999", {1, 2147483647}},
    };
    for (const auto& c : cases) EXPECT_EQ(QRVAIdentity::numericFieldsFromAppVersionNumeric(c.text), c.fields) << c.text;

    // Options without an app ID; the first non-empty app ID set is kept.
    writeOptions(std::nullopt);
    auto capture = ns::SystemLog::capture();
    identity = relaunch();
    EXPECT_EQ(logged(capture, "[I-ACS020006]"), 1u);
    identity->setAppIDFromVLP("");
    identity->setAppIDFromVLP("1:1:ios:a");
    identity->setAppIDFromVLP("1:1:ios:b");
    EXPECT_EQ(identity->appIDFromVLP(), "1:1:ios:a");
    EXPECT_EQ(logged(capture, "[I-ACS020005]"), 1u);

    // The stored data's app ID against the options'.
    const struct {
        std::optional<std::string> stored, configured, previous;
    } changes[] = {
        {"1:1:ios:a", "1:1:ios:b", "1:1:ios:a"}, {"1:1:ios:a", "1:1:ios:a", std::nullopt},
        {std::nullopt, "1:1:ios:b", std::nullopt}, {"", "1:1:ios:b", std::nullopt},
        {"1:1:ios:a", std::nullopt, std::nullopt},
    };
    auto persisted = QRVAPersistedConfig::sharedInstance();
    for (const auto& c : changes) {
        persisted->setAppIDFromVLP(c.stored);
        ns::Dictionary options;
        if (c.configured) options[kQRVOptionsKeyOndrixAppID] = *c.configured;
        EXPECT_EQ(QRVAIdentity::changedAppIDFromVLP(*persisted, QRVOptions(options)), c.previous)
            << c.stored.value_or("-") << " -> " << c.configured.value_or("-");
    }
}

TEST_F(IdentityTest, TheInstanceIdentityIDIsTheOneTheBackEndRegistered) {
    auto backend = ns::testing::startBackendFor(kApp);
    QRVApp::resetForTesting();
    QRVInstanceID::resetForTesting();
    QRVApp::configure(std::make_shared<QRVOptions>(kApp.options()));
    auto iid = QRVInstanceID::instanceID();
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return iid->defaultQDXToken().has_value(); }, 60)) << backend->log();

    const auto instanceID = QRVAIdentity::sharedInstance()->quorvaneInstanceID();
    auto registered = nlohmann::json::parse(backend->get("/__admin/iid/registrations").body)["registrations"];
    ASSERT_EQ(registered.size(), 1u);
    ASSERT_TRUE(instanceID);
    EXPECT_EQ(registered[0]["appid"], *instanceID);

    // Instance identity's failure is logged with its error.
    auto& instanceIDClass = *ns::Runtime::lookUpClass("QRVInstanceID");
    ns::Method original =
        instanceIDClass.replaceInstanceMethod("appInstanceID:", [](ns::Object*, const std::vector<ns::Value>&) {
            auto error = ns::Error::make("com.quorvane.iid", 8, ns::Dictionary{});
            return ns::Value(std::const_pointer_cast<ns::Error>(error));
        });
    auto capture = ns::SystemLog::capture();
    EXPECT_EQ(QRVAIdentity::sharedInstance()->quorvaneInstanceID(), std::nullopt);
    EXPECT_EQ(logged(capture, "[I-ACS020001] Failed to get InstanceID: Error Domain=com.quorvane.iid Code=8"), 1u);
    instanceIDClass.replaceInstanceMethod("appInstanceID:", original);

    // A relaunch keeps the key pair, and with it the identifier.
    ns::RunLoop::main().runFor(0.2);
    QRVInstanceID::resetForTesting();
    QRVApp::resetForTesting();
    EXPECT_EQ(relaunch()->quorvaneInstanceID(), instanceID);
}

TEST_F(IdentityTest, TheDeviceIsDescribedFromItsProfile) {
    const struct {
        std::string machine, locale, timeZone;
        std::optional<std::string> language;
        int32_t offsetMinutes;
    } cases[] = {
        {"iPhone10,3", "es_PA", "America/Panama", "es-pa", -300},
        {"iPhone14,2", "en_US", "GMT-03:30", "en-us", -210},
        {"x86_64", "fr", "GMT+05:45", "fr", 345},
        {"iPhone12,1", "pt_BR", "GMT-03:30:30", "pt-br", -210},  // truncated toward zero
        {"iPhone9,1", "de_DE@calendar=buddhist", "UTC", "de-de", 0},
        {"", "", "No/SuchZone", std::nullopt, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.locale + " " + c.timeZone);
        ns::DeviceProfile profile;
        profile.machine = c.machine;
        profile.systemVersion = "17." + std::to_string(c.machine.size());
        profile.localeIdentifier = c.locale;
        profile.timeZone = c.timeZone;
        sandbox_.setDeviceProfile(profile);
        relaunch();
        QRVAEnvironmentInfo::resetSharedForTesting();
        auto capture = ns::SystemLog::capture();
        auto environment = QRVAEnvironmentInfo::sharedInstance();
        EXPECT_EQ(environment->deviceModel() + environment->deviceModel(), c.machine + c.machine);
        EXPECT_EQ(environment->deviceOSVersion(), profile.systemVersion);
        EXPECT_EQ(environment->userDefaultLanguage(), c.language);
        EXPECT_EQ(environment->timeZoneOffsetMinutes(), c.offsetMinutes);
        EXPECT_EQ(logged(capture, "[I-ACS014000]"), c.machine.empty() ? 1u : 0u);  // once, however often asked
        EXPECT_EQ(logged(capture, "[I-ACS014001]"), c.language ? 0u : 1u);
    }
}

TEST_F(IdentityTest, IdentifiersComeFromTheEnginesIdentityElseFromTheOptionsAndTheSharedIdentity) {
    auto identifiers = QRVAIdentifiers::sharedInstance();
    EXPECT_EQ(identifiers->libraryVersion(), "40002");
    const uint64_t first = std::stoll(identifiers->adEventID());
    EXPECT_EQ(uint64_t(std::stoll(identifiers->adEventID())), first + 1);
    const struct {
        std::optional<std::string> optionsAppID;
        bool engine;
        const char* missing;  // logged without an app ID
    } cases[] = {{"1:1:ios:a", false, nullptr},
                 {std::nullopt, false, "[I-ACS037001]"},
                 {"1:1:ios:a", true, nullptr},
                 {std::nullopt, true, "[I-ACS037000]"}};
    for (const auto& c : cases) {
        writeOptions(c.optionsAppID);
        std::shared_ptr<QRVAIdentity> engineIdentity;
        if (c.engine) {
            engineIdentity = QRVAIdentity::initWithPersistedConfig(QRVAPersistedConfig::initWithSuiteName("engine"),
                                                                   QRVOptions::defaultOptions());
        }
        QRVASetEngineHooks({.engineIdentity = [engineIdentity] { return engineIdentity; }});
        auto capture = ns::SystemLog::capture();
        EXPECT_EQ(identifiers->ondrixAppID(), c.optionsAppID);
        EXPECT_EQ(logged(capture, c.missing ? c.missing : "[I-ACS0370"), c.missing ? 1u : 0u);
        // The engine's identity keeps its own app instance ID, apart from the shared one's.
        const auto answering = engineIdentity ? engineIdentity : QRVAIdentity::sharedInstance();
        EXPECT_EQ(identifiers->appInstanceID(), answering->appInstanceID());
    }
}

}  // namespace
