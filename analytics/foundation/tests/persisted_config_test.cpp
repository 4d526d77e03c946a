#include <gtest/gtest.h>

#include <cmath>

#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVAUtilities.h"
#include "platform/clock.h"
#include "platform/dispatch.h"
#include "platform/file_manager.h"
#include "platform/user_defaults.h"
#include "sandboxed_test.h"

namespace {

class PersistedConfigTest : public analyticstest::SandboxedTest {
protected:
    void SetUp() override { QRVAPersistedConfig::resetSharedForTesting(); }
    void TearDown() override { QRVAPersistedConfig::resetSharedForTesting(); }
    // A new process on the same files.
    std::shared_ptr<QRVAPersistedConfig> relaunch() {
        QRVAPersistedConfig::resetSharedForTesting();
        QRVAMonitor::resetSharedForTesting();
        sandbox_.relaunch();
        return QRVAPersistedConfig::sharedInstance();
    }
};

TEST_F(PersistedConfigTest, ValuesSurviveARelaunch) {
    auto config = QRVAPersistedConfig::sharedInstance();
    ASSERT_TRUE(config);
    EXPECT_EQ(config->name(), "com.ondrix.vlp.measurement");
    config->setAppInstanceID("8f2a");
    config->setLastSuccessfulUploadTimestamp(1'700'000'123.5);
    config->setFirstOpenTimestampMilliseconds(1'700'000'000'123);
    config->setConfigServerLastModifiedString("Tue, 14 Nov 2023 22:13:20 GMT");
    config->setStartNewSession(true);
    config->setSearchAdCampaignValue(ns::Value(1));
    double offset = config->midnightOffset();

    config = relaunch();
    EXPECT_EQ(config->appInstanceID(), "8f2a");
    EXPECT_EQ(config->lastSuccessfulUploadTimestamp(), 1'700'000'123.5);
    EXPECT_EQ(config->firstOpenTimestampMilliseconds(), 1'700'000'000'123);
    EXPECT_EQ(config->configServerLastModifiedString(), "Tue, 14 Nov 2023 22:13:20 GMT");
    EXPECT_TRUE(config->startNewSession());
    EXPECT_EQ(config->searchAdCampaignValue(), ns::Value(1));
    EXPECT_EQ(config->midnightOffset(), offset);
    EXPECT_EQ(config->appVersion(), std::nullopt);
}

TEST_F(PersistedConfigTest, ABurstOfWritesFromAnyThreadIsSynchronisedOnceASecondAfterTheLast) {
    auto clock = ns::VirtualClock::install(1'700'000'000.0);
    auto config = QRVAPersistedConfig::sharedInstance();
    config->setLastBackoffTimestamp(1);
    config->setLastFailedUploadTimestamp(2);
    clock->advance(0.5);
    // A worker thread runs no run loop; its write is synchronised all the same.
    auto worker = ns::DispatchQueue::serial("writer");
    worker->async([config] { config->setLastDeleteStaleBundlesTimestamp(3); });
    worker->sync([] {});
    EXPECT_EQ(config->synchronizationCountForTesting(), 0);
    clock->advance(0.9);
    EXPECT_EQ(config->synchronizationCountForTesting(), 0);
    clock->advance(0.1);
    EXPECT_EQ(config->synchronizationCountForTesting(), 1);
    clock->advance(5);
    EXPECT_EQ(config->synchronizationCountForTesting(), 1);
    EXPECT_TRUE(ns::FileManager::defaultManager().isExcludedFromBackup(
        QRVAFilePathForPreferencesName(kQRVAPersistedConfigName)));

    // Neither the session flag nor the search-ad value schedules one; a
    // direct synchronisation runs at once and replaces a pending one.
    config->setStartNewSession(true);
    config->setSearchAdCampaignValue(ns::Value(0));
    clock->advance(2);
    EXPECT_EQ(config->synchronizationCountForTesting(), 1);
    config->setAppVersion("2.1");
    config->synchronizeToDisk();
    EXPECT_EQ(config->synchronizationCountForTesting(), 2);
    clock->advance(2);
    EXPECT_EQ(config->synchronizationCountForTesting(), 2);
}

TEST_F(PersistedConfigTest, ValuesOfTheWrongKindAndRemovals) {
    auto config = QRVAPersistedConfig::sharedInstance();
    auto suite = ns::UserDefaults::suite(kQRVAPersistedConfigName);
    suite->setObject(ns::Value("12"), kQRVAPersistedConfigSearchAdRetryCountKey);
    EXPECT_EQ(config->searchAdRetryCount(), 0);
    suite->setObject(ns::Value(7.9), kQRVAPersistedConfigSearchAdRetryCountKey);
    EXPECT_EQ(config->searchAdRetryCount(), 7);
    suite->setObject(ns::Value(42), kQRVAPersistedConfigConfigServerLastModifiedStringKey);
    EXPECT_EQ(config->configServerLastModifiedString(), std::nullopt);

    config->setSearchAdCampaignValue(ns::Value(true));
    config->setSearchAdCampaignValue(ns::Value("yes"));
    EXPECT_EQ(config->searchAdCampaignValue(), ns::Value(true));

    config->setHashedIDFA("c0ffee");
    config->setHashedIDFA(std::nullopt);
    EXPECT_EQ(config->hashedIDFA(), std::nullopt);
    EXPECT_FALSE(suite->persistentDomain().contains(kQRVAPersistedConfigHashedIDFAKey));

    EXPECT_EQ(QRVAPersistedConfig::initWithSuiteName(""), nullptr);
}

TEST_F(PersistedConfigTest, TheDayOffsetIsDrawnOnceInWholeMillisecondsAndClearingStartsAfresh) {
    auto config = QRVAPersistedConfig::sharedInstance();
    double offset = config->midnightOffset();
    EXPECT_GE(offset, 0);
    EXPECT_LT(offset, 86400);
    EXPECT_EQ(std::round(offset * 1000) / 1000, offset);
    EXPECT_EQ(config->midnightOffset(), offset);

    ns::UserDefaults::standard()->setInteger(2, kQRVAPersistedConfigMeasurementEnabledStateKey);
    config->setAppInstanceID("8f2a");
    config->setLastSuccessfulUploadTimestamp(5);
    config->clearValues();
    EXPECT_EQ(config->appInstanceID(), std::nullopt);
    EXPECT_EQ(config->lastSuccessfulUploadTimestamp(), 0);
    EXPECT_TRUE(ns::UserDefaults::suite(kQRVAPersistedConfigName)->persistentDomain().empty());
    EXPECT_EQ(config->measurementEnabledState(), 2);
    double drawnAgain = config->midnightOffset();
    EXPECT_GE(drawnAgain, 0);
    EXPECT_LT(drawnAgain, 86400);
}

}  // namespace
