// The events the engine reports by itself over a real store: the first open
// once per store, app and OS updates, campaigns from opened URLs and from the
// stored launch link, and the links of user activities.

#include "analytics/QRVAAEU.h"
#include "lifecycle_test_support.h"
#include "platform/file_manager.h"
#include "platform/user_activity.h"
#include "platform/user_defaults.h"

namespace {

class AutomaticEventsTest : public lifecycletest::EngineTest {
protected:
    static std::optional<std::string> counter() {
        return QRVAKeychainWrapper::keychainValueWithIdentifier("_pfo", "com.almavel.app");
    }
    static void setCounter(const char* value) {
        QRVAKeychainWrapper::deleteKeychainValueWithIdentifier("_pfo", "com.almavel.app");
        if (value) QRVAKeychainWrapper::upsertKeychainValue(value, "_pfo", "com.almavel.app");
    }
    std::optional<int64_t> firstOpenTime() {
        std::optional<QRVAUserAttribute> found;
        onWorker([&] { found = engine_->database()->userAttributeWithName("_fot", nullptr); });
        if (!found) return std::nullopt;
        EXPECT_EQ(found->lastSetTimestamp(), loadTime_);
        return found->value().int64Value();
    }
    // The events the listeners heard, as "name key=value ..." in order.
    std::vector<std::string> heard() {
        std::vector<std::string> texts;
        for (const auto& event : takeHeard()) {
            EXPECT_EQ(event.timestamp(), loadTime_);
            std::string text = event.name();
            for (const auto& [key, value] : event.parameters()) {
                if (key != "_o" && key != "_c") text += " " + key + "=" + value.description();
            }
            texts.push_back(text);
        }
        return texts;
    }
};

}  // namespace

TEST_F(AutomaticEventsTest, TheFirstOpenIsReportedOncePerStoreWithTheKeychainCountBeforeIt) {
    screen_ = QRVAObjectParameters{{"_sc", ns::Value("Cart")}, {"_si", ns::Value(int64_t(7))}};
    start();
    EXPECT_EQ(heard(), (std::vector<std::string>{"_f _pfo=0 _uwa=1 _sc=Cart _si=7", "_e _et=1 _sc=Cart _si=7"}));
    EXPECT_EQ(firstOpenTime(), 1'700'002'800'000);  // the next whole hour
    EXPECT_EQ(QRVAPersistedConfig::sharedInstance()->firstOpenTimestampMilliseconds(), 1'700'000'000'250);
    EXPECT_EQ(counter(), "1");

    // Later starts report nothing; a counter lost meanwhile becomes 1 again.
    for (const char* stored : {"1", "0", static_cast<const char*>(nullptr)}) {
        setCounter(stored);
        start();
        EXPECT_TRUE(heard().empty());
        EXPECT_EQ(counter(), "1");
    }
    // Another app's store is wiped: the first open comes again, with that app.
    QRVAPersistedConfig::sharedInstance()->setAppIDFromVLP(std::string("1:1:ios:0ld"));
    setCounter("3");
    start();
    EXPECT_EQ(heard().front(), "_f _pvlp=1:1:ios:0ld _pfo=3 _uwa=0 _sc=Cart _si=7");
    EXPECT_EQ(counter(), "4");
}

TEST_F(AutomaticEventsTest, TheFirstOpenTimeMovesUpToTheNextWholeHour) {
    const std::pair<int64_t, int64_t> cases[] = {
        {0, 3'600'000}, {3'599'999, 3'600'000}, {3'600'000, 7'200'000}, {3'600'001, 7'200'000}};
    for (const auto& [milliseconds, rounded] : cases) {
        EXPECT_EQ(QRVAMeasurement::timestampMillisRoundedUpToNextHour(milliseconds), rounded) << milliseconds;
    }
    loadTime_ = 3600;  // a start exactly one hour after 1970
    start();
    EXPECT_EQ(firstOpenTime(), 7'200'000);
}

TEST_F(AutomaticEventsTest, AnInstallOlderThanAFreshOneWithoutEarlierTracesIsAnUpdateWithAnalytics) {
    start();
    auto& files = ns::FileManager::defaultManager();
    const double created =
        files.attributesOfItem(files.pathForDirectory(ns::SearchPathDirectory::Library))->creationDate.secondsSince1970;
    const std::tuple<double, const char*, bool> cases[] = {
        {created + 60, nullptr, false}, {created + 31 * 86400.0, nullptr, true}, {created + 31 * 86400.0, "2", false}};
    for (const auto& [now, stored, update] : cases) {
        clock_.reset();
        clock_ = ns::VirtualClock::install(now);
        setCounter(stored);
        bool answer = !update;
        onWorker([&] { answer = engine_->isAppUpdateWithAnalytics(); });
        EXPECT_EQ(answer, update) << now - created << (stored ? stored : "");
    }
    EXPECT_FALSE(engine_->fileAttributesForPath(""));
}

TEST_F(AutomaticEventsTest, AChangedAppOrOSVersionIsReportedWithTheOneBefore) {
    const std::string os = QRVAAEU::systemVersion();
    const std::tuple<std::optional<std::string>, std::optional<std::string>, std::vector<std::string>> cases[] = {
        {std::nullopt, std::nullopt, {}},  // a first start only stores them
        {"1.0", os, {"_au _pv=1.0"}},
        {"1.0", "9.0", {"_au _pv=1.0", "_ou _po=9.0"}},
        {"1.1", os, {}},
    };
    for (const auto& [app, system, reported] : cases) {
        QRVAPersistedConfig::sharedInstance()->setAppVersion(app);
        QRVAPersistedConfig::sharedInstance()->setOSVersion(system);
        takeInternal();
        start();
        EXPECT_EQ(takeInternal(), reported) << app.value_or("none");
        EXPECT_EQ(QRVAPersistedConfig::sharedInstance()->appVersion(), "1.1");
        EXPECT_EQ(QRVAPersistedConfig::sharedInstance()->osVersion(), os);
    }
}

TEST_F(AutomaticEventsTest, AURLWithCampaignKeysBecomesACampaignEvent) {
    start();
    const std::tuple<const char*, std::optional<int64_t>, std::vector<std::string>, int> cases[] = {
        {"https://shop.example/p?utm_source=a&utm_term=", std::nullopt, {"_cmp source=a"}, 0},
        {"https://shop.example/p?utm_term=x", std::nullopt, {}, 23001},
        {"https://shop.example/p", std::nullopt, {}, 23000},
        {"https://shop.example/p?x=1&utm_term=t&utm_source=s&utm_medium=m&oclid=o&cp1=z&utm_content=k"
         "&utm_campaign=c&anid=2&aclid=1",
         42,
         {"_cmp aclid=1 anid=2 campaign=c content=k cp1=z oclid=o medium=m source=s term=t click_timestamp=42"},
         0},
        {"https://shop.example/p?utm_campaign=c&utm_campaign=d", std::nullopt, {"_cmp campaign=c"}, 0},
    };
    for (const auto& [url, click, events, code] : cases) {
        takeInternal();
        auto logged = codes([&, &url = url, &click = click] { engine_->handleOpenURL(*ns::URL::parse(url), click); });
        EXPECT_EQ(takeInternal(), events) << url;
        EXPECT_EQ(has(logged, code), code != 0) << url;
    }
}

TEST_F(AutomaticEventsTest, TheStoredLaunchLinkIsACampaignJustBeforeTheFirstOpenAndIsConsumed) {
    auto defaults = ns::UserDefaults::standard();
    defaults->setString("https://shop.example/l?oclid=c", kQRVAMeasurementDeepLinkKey);
    start();
    EXPECT_EQ(takeInternal(), std::vector<std::string>{"_cmp oclid=c click_timestamp=1700000000249"});
    EXPECT_FALSE(defaults->stringForKey(kQRVAMeasurementDeepLinkKey));
    // After a start that is not the first, a stored link stays.
    defaults->setString("https://shop.example/l?oclid=d", kQRVAMeasurementDeepLinkKey);
    start();
    EXPECT_TRUE(takeInternal().empty());
    EXPECT_TRUE(defaults->stringForKey(kQRVAMeasurementDeepLinkKey));
}

TEST_F(AutomaticEventsTest, OnlyABrowsingActivityWithAPageHasADeepLink) {
    start();
    const auto page = ns::URL::parse("https://shop.example/p?utm_source=a");
    const std::tuple<ns::ObjectPtr, bool, int> cases[] = {
        {nullptr, false, 23003},
        {ns::UserActivity::make(ns::kNSUserActivityTypeBrowsingWeb, page), true, 0},
        {ns::UserActivity::make("com.example.handoff", page), false, 23006},
        {ns::UserActivity::make(ns::kNSUserActivityTypeBrowsingWeb), false, 23006},
        {std::make_shared<ns::Object>(), false, 23006},
    };
    for (const auto& [activity, linked, code] : cases) {
        std::optional<ns::URL> link;
        auto logged = codes([&, &activity = activity] { link = QRVAMeasurement::deepLinkFromUserActivity(activity); });
        EXPECT_EQ(link, linked ? page : std::nullopt) << code;
        EXPECT_EQ(has(logged, code), code != 0) << code;
    }
}
