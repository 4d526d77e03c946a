// Remote measurement settings over a real store: server texts read within
// their bounds or as the default (never the nearer bound), expiry on the
// virtual clock, a corrupt stored configuration, and one served by the local
// back end, fetched from the URL the class builds and read again (settings
// and event configurations) after a relaunch.

#include "analytics/QRVARemoteConfig.h"

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <functional>
#include <future>
#include <string>
#include <tuple>
#include <vector>

#include "analytics/QRVAConstants.h"
#include "analytics/QRVADatabase.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVAUtilities.h"
#include "analytics_proto/qrvanalytics.pb.h"
#include "core/QRVLogger.h"
#include "core/QRVNetwork.h"
#include "platform/clock.h"
#include "platform/runloop.h"
#include "platform/system_log.h"
#include "testing/app_backend.h"
#include "engine_test_support.h"
#include "monitor_lines.h"
#include "sandboxed_test.h"

namespace {

using RC = QRVARemoteConfig;
using json = nlohmann::json;

constexpr const char* kAppID = ns::testing::kTestAppID;

// libprotobuf's JSON mapping of a MeasurementConfig (what the back end is
// given), made into the client's wrapper through the wire by
// measurementConfig.
json configJSON(const std::string& appID, const std::vector<std::pair<std::string, std::string>>& settings) {
    json config = {{"version", 7}, {"app_id", appID}, {"settings", json::array()}};
    for (const auto& [name, value] : settings) config["settings"].push_back({{"name", name}, {"value", value}});
    return config;
}
using enginetest::measurementConfig;

// A getter's answer as a double, so that one table holds every kind.
template <auto getter>
double read(RC& config) {
    return static_cast<double>((config.*getter)());
}

class RemoteConfigTest : public analyticstest::LoggingTest {
protected:
    void SetUp() override { QRVSetLoggerLevel(QRVLoggerLevelDebug); }
    void TearDown() override { QRVAPersistedConfig::resetSharedForTesting(); }

    // As the engine does: store work off the main thread (a sync block
    // would run on the caller's thread).
    void onWorker(const std::function<void()>& work) {
        std::promise<void> done;
        worker_->async([&] {
            work();
            done.set_value();
        });
        done.get_future().wait();
    }
    bool update(RC& config, const std::shared_ptr<QRVAPBMeasurementConfig>& message) {
        bool accepted = false;
        onWorker([&] { accepted = config.updateMeasurementConfig(message); });
        return accepted;
    }
    // A new remote configuration over a new database; `relaunch` first
    // stands for a new process (same files, every shared object made again).
    std::shared_ptr<RC> open(bool relaunch = false) {
        config_.reset();
        database_.reset();
        if (relaunch) {
            sandbox_.relaunch();
            QRVAPersistedConfig::resetSharedForTesting();
            QRVAMonitor::resetSharedForTesting();
        }
        database_ = QRVADatabase::initWithDatabaseName(kQRVADatabaseFileName, QRVAPersistedConfig::sharedInstance());
        onWorker([&] { config_ = RC::initWithVLPAppID(kAppID, database_); });
        return config_;
    }
    static std::vector<std::string> logged(const std::function<void()>& work) { return analyticstest::logged(work); }

    ns::DispatchQueuePtr worker_ = ns::DispatchQueue::serial("remote-config-test");
    std::shared_ptr<QRVADatabase> database_;
    std::shared_ptr<RC> config_;
};

}  // namespace

TEST_F(RemoteConfigTest, ServerTextsReadWithinTheirBoundsAndAsTheDefaultOtherwise) {
    const char* retries = "measurement.upload.retry_count";
    const char* interval = "measurement.upload.interval";
    const struct {
        const char* key;
        const char* text;
        double (*getter)(RC&);
        double expected;
    } cases[] = {
        {retries, "30", read<&RC::uploadingRetryCount>, 6},
        {retries, "0", read<&RC::uploadingRetryCount>, 6},
        {retries, "24.5", read<&RC::uploadingRetryCount>, 6},  // compared before it is cut to an integer
        {retries, "10.5", read<&RC::uploadingRetryCount>, 10},
        {retries, "", read<&RC::uploadingRetryCount>, 6},
        {interval, "10000", read<&RC::uploadingInterval>, 3600},
        {interval, "86400000", read<&RC::uploadingInterval>, 86400},
        {interval, "1e30", read<&RC::uploadingInterval>, 3600},
        {interval, "9223372036854775808", read<&RC::uploadingInterval>, 3600},
        {"measurement.upload.max_bundles_created_per_iteration", "500", read<&RC::maxBundlesCreatedPerIteration>, 500},
        {"measurement.search_ad_enabled", "0", read<&RC::isSearchAdReporterEnabled>, 0},
        {"measurement.search_ad_enabled", "2", read<&RC::isSearchAdReporterEnabled>, 1},
        {"measurement.upload.max_batch_size", "10485761", read<&RC::uploadMaxSizeLimitBytes>, 65536},
    };
    auto config = open();
    for (const auto& c : cases) {
        ASSERT_TRUE(update(*config, measurementConfig(configJSON(kAppID, {{c.key, c.text}}))));
        EXPECT_EQ(c.getter(*config), c.expected) << c.key << " = \"" << c.text << "\"";
        EXPECT_EQ(c.getter(*config), c.expected) << "from the cache";
    }
    // Without bounds, a number that 64 bits cannot hold is the default too.
    for (const auto& [text, expected] : std::vector<std::pair<const char*, int64_t>>{
             {"9223372036854775807", INT64_MAX}, {"-9223372036854775808", INT64_MIN}, {"1e30", 5}, {"-1e19", 5}}) {
        ASSERT_TRUE(update(*config, measurementConfig(configJSON(kAppID, {{"unbounded", text}}))));
        EXPECT_EQ(config->int64ValueFromCacheWithKey("unbounded", 5), expected) << text;
    }
}

TEST_F(RemoteConfigTest, AStoredConfigurationExpiresAfterItsCacheTimeAndACorruptOneLeavesTheDefaults) {
    auto clock = ns::VirtualClock::install(1'700'000'000);
    auto config = open();
    EXPECT_EQ(config->version(), -1);
    EXPECT_TRUE(config->isExpired()) << "never fetched";
    ASSERT_TRUE(update(*config, measurementConfig(configJSON(kAppID, {{"measurement.config.cache_time", "120000"},
                                                                      {"measurement.upload.retry_count", "12"}}))));
    clock->advance(119);
    EXPECT_FALSE(config->isExpired());
    clock->advance(1);
    EXPECT_TRUE(config->isExpired());

    config_.reset();
    database_.reset();
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(QRVAFilePathForDatabaseName(kQRVADatabaseFileName).c_str(), &handle), SQLITE_OK);
    // A varint that never ends: nothing decodes from it.
    EXPECT_EQ(sqlite3_exec(handle, "UPDATE app_metadata SET remote_config_data = x'08ffffff'", nullptr, nullptr,
                           nullptr), SQLITE_OK);
    sqlite3_close(handle);

    auto lines = logged([&] { config = open(true); });
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("29016 Cannot retrieve configuration data from database. Error: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find("Remote config data is corrupted"), std::string::npos) << lines[0];
    EXPECT_EQ(config->version(), -1);
    EXPECT_EQ(config->uploadingRetryCount(), kQRVAConfigUploadingRetryCount);
}

TEST_F(RemoteConfigTest, AConfigurationFromTheBackEndIsStoredAndReadAgainAfterARelaunch) {
    auto backend = ns::testing::Backend::start();
    backend->routeServiceHosts();
    json served = configJSON(kAppID, {{"measurement.upload.retry_count", "30"},
                                      {"measurement.upload.interval", "10000"},
                                      {"measurement.upload.max_bundles_created_per_iteration", "500"},
                                      {"measurement.upload.blacklist_internal", "1"}});
    served["event_config"] = {{{"name", "session_start"}, {"blacklisted", true}},
                              {{"name", "purchase"}, {"blacklisted", false}, {"custom_conversion", true}},
                              {{"name", "_x"}, {"blacklisted", false}}};
    backend->setAnalyticsConfig(kAppID, served);

    auto config = open();
    auto url = config->remoteConfigURLWithAppInstanceID("5F0C 2A9B", "ios", kQRVAAnalyticsLibraryVersion);
    ASSERT_TRUE(url);
    std::optional<std::pair<ns::HTTPURLResponsePtr, ns::Data>> answer;
    ASSERT_TRUE(QRVNetwork::make(kQRVAMeasurementHost)
                    ->getURL(url->absoluteString(), {}, nullptr, false,
                             [&](ns::HTTPURLResponsePtr response, ns::Data data, ns::ErrorRef) {
                                 answer.emplace(std::move(response), std::move(data));
                             }));
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return answer.has_value(); }, 60));
    ASSERT_TRUE(answer->first && answer->first->statusCode() == 200);
    const auto request = backend->analyticsRequests().back();
    EXPECT_EQ(request["path"], std::string("/config/app/") + kAppID);
    EXPECT_EQ(request["query"], "app_instance_id=5F0C%202A9B&platform=ios&vlp_version=40002");

    ASSERT_TRUE(update(*config, QRVAPBMeasurementConfig::initWithBuffer(answer->second)));
    EXPECT_EQ(logged([&] { EXPECT_FALSE(update(*config, measurementConfig(configJSON("1:999:ios:0000", {})))); }),
              std::vector<std::string>{"29004 Cannot set measurement config when VLP App ID does not match"});

    config = open(true);
    EXPECT_EQ(config->version(), 7);
    EXPECT_FALSE(config->isExpired());
    EXPECT_EQ(config->uploadingRetryCount(), kQRVAConfigUploadingRetryCount);
    EXPECT_EQ(config->uploadingInterval(), kQRVAConfigUploadingInterval);
    EXPECT_EQ(config->maxBundlesCreatedPerIteration(), 500);
    using Case = std::tuple<const char*, bool, bool, bool>;  // name, has a configuration, blacklisted, conversion
    for (const auto& [name, hasConfig, blacklisted, conversion] : std::vector<Case>{
             {"_s", true, true, false},  // "session_start" is kept under its internal name
             {"session_start", false, false, false},
             {"purchase", true, false, true},  // not blacklisted by it: blacklist_public decides
             {"_x", true, true, false},        // not blacklisted by it: blacklist_internal decides
             {"_other", false, true, false},
         }) {
        EXPECT_EQ(config->eventConfigWithName(name) != nullptr, hasConfig) << name;
        EXPECT_EQ(config->isEventBlacklisted(name), blacklisted) << name;
        EXPECT_EQ(config->isEventCustomConversion(name), conversion) << name;
    }
}
