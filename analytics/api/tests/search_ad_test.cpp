// Search-ad attribution end to end: the attribution client's answers, read
// back from the campaign events the local back end stored and from the
// persisted look-up state, across relaunches and days.

#include "analytics/QRVASearchAdReporter.h"

#include <gmock/gmock.h>

#include "api_test_support.h"
#include "platform_doubles.h"

namespace {

using analyticstest::attribution;
using enum analyticstest::AttributionAnswer;

// The client is looked up once per process: the double is there from the
// start, absent until a test makes it present.
[[maybe_unused]] const bool kAttributionClientInstalled = (analyticstest::useAttributionClient({}), true);

constexpr double kDay = 86400;

class SearchAdTest : public apitest::ReportingTest {
protected:
    void SetUp() override {
        ReportingTest::SetUp();
        QRVSetLoggerLevel(QRVLoggerLevelDebug);
        analyticstest::useAttributionClient({});
        serveSettings({{"measurement.search_ad_enabled", "1"}});
    }
    static std::shared_ptr<QRVAPersistedConfig> persisted() { return QRVAPersistedConfig::sharedInstance(); }
    // The reporter's codes on the console while `work` ran: "32006 32005".
    std::string searchAdCodes(const std::function<void()>& work) {
        std::string codes;
        for (auto& line : monitorLines(work)) {
            if (line.rfind("320", 0) == 0) codes += (codes.empty() ? "" : " ") + line.substr(0, 5);
        }
        return codes;
    }
    // The monitor's sample of what `work` logged at the monitored levels
    // (the only trace of levels 2 and 5): "<count>:<key>", or "none".
    std::string sampled(const std::function<void()>& work) {
        drain();
        QRVAMeasurementMonitor()->clearMonitoringData();
        work();
        drain();
        QRVAMeasurementMonitor()->flushForTesting();
        clock().advance(1);
        return QRVAMeasurementMonitor()->monitoringDataForDispatchWithSamplePeriod(0.5, 0).value_or("none");
    }
};

struct Attributed {
    size_t operation;
    std::string campaign, term;
    bool answersOnAnotherThread = false;
    friend void PrintTo(const Attributed& row, std::ostream* os) { *os << row.operation << row.answersOnAnotherThread; }
};
class AttributedInstall : public SearchAdTest, public ::testing::WithParamInterface<Attributed> {};

TEST_P(AttributedInstall, IsReportedOnceAsASearchCampaignClickedJustBeforeTheFirstOpen) {
    analyticstest::useAttributionClient({.present = true,
                                         .operation = GetParam().operation,
                                         .answersOnAnotherThread = GetParam().answersOnAnotherThread});
    start();
    std::vector<analyticstest::StoredEvent> campaigns;
    int64_t firstOpen = 0;
    for (const auto& event : uploadedEvents()) {
        if (event.name == "_cmp") campaigns.push_back(event);
        if (event.name == "_f") firstOpen = event.millis;
    }
    ASSERT_EQ(campaigns.size(), 1u);
    EXPECT_GT(firstOpen, 0);
    std::map<std::string, std::string> expected{{"_o", "auto"}, {"source", "Apple"}, {"medium", "search"},
                                                {"click_timestamp", std::to_string(firstOpen - 1)}};
    if (!GetParam().campaign.empty()) expected.insert({{"campaign", GetParam().campaign}, {"term", GetParam().term}});
    EXPECT_EQ(campaigns[0].parameters, expected);

    relaunch();
    EXPECT_EQ(searchAdCodes([&] { start(); }), "32002");
    EXPECT_EQ(engine()->searchAdReporter(), nullptr);
    EXPECT_EQ(uploadedNames("_cmp").size(), 1u);
    EXPECT_EQ(persisted()->searchAdCampaignValue(), ns::Value(true));
    EXPECT_EQ(persisted()->searchAdRetryCount(), 1);
    EXPECT_EQ(attribution.calls, 1);
}

// The details name the campaign and keyword; the two older operations only
// tell whether the install was attributed. An answer from another thread
// is carried to the worker queue, where the alarm lives.
INSTANTIATE_TEST_SUITE_P(ByOperation, AttributedInstall,
                         ::testing::Values(Attributed{0, "Garden chairs", "teak bench"},
                                           Attributed{0, "Garden chairs", "teak bench", true},
                                           Attributed{1, "", ""}, Attributed{2, "", ""}));

TEST_F(SearchAdTest, WithoutAClientItOnlySaysSoAndNeverCounts) {
    EXPECT_EQ(searchAdCodes([&] { start(); }), "32003");
    EXPECT_TRUE(uploadedNames("_cmp").empty());
    advance(apitest::kStart + kDay - clock().now());
    EXPECT_EQ(persisted()->searchAdRetryCount(), 0);
    EXPECT_TRUE(persisted()->searchAdCampaignValue().isNull());
}

struct Unreported {
    const char* name;
    analyticstest::AttributionAnswer answer;
    int64_t retriesBefore;
    std::string codesAtStart;  // "" also when no reporter is made
    ns::Value recorded;
    int64_t retries;
    int calls, callsADayLater;
    std::string failureADayLater;  // the level-1/2 message sampled beside 32005; "" for none
    friend void PrintTo(const Unreported& row, std::ostream* os) { *os << row.name; }
};
class UnreportedInstall : public SearchAdTest, public ::testing::WithParamInterface<Unreported> {};

TEST_P(UnreportedInstall, RecordsRetriesOrStaysSilentWithoutAnEvent) {
    const Unreported& row = GetParam();
    analyticstest::useAttributionClient({.present = true, .answer = row.answer});
    persisted()->setSearchAdRetryCount(row.retriesBefore);
    EXPECT_EQ(searchAdCodes([&] { start(); }), row.codesAtStart);
    EXPECT_EQ(engine()->searchAdReporter() != nullptr, row.calls > 0);
    EXPECT_EQ(persisted()->searchAdCampaignValue(), row.recorded);
    EXPECT_EQ(persisted()->searchAdRetryCount(), row.retries);
    EXPECT_EQ(attribution.calls, row.calls);
    EXPECT_TRUE(uploadedNames("_cmp").empty());

    advance(apitest::kStart + kDay - 1 - clock().now());
    EXPECT_EQ(attribution.calls, row.calls) << "not before a day has passed";
    // Two messages a day later when the look-up fails; the sample keeps one.
    const std::string sample = sampled([&] { advance(1); });
    if (row.failureADayLater.empty()) {
        EXPECT_EQ(sample, "none");
    } else {
        EXPECT_THAT(sample, ::testing::AnyOf("2:1E_40002:" + row.failureADayLater,
                                             "2:1W_40002:Search Ad Campaign attribution alarm is already scheduled"));
    }
    EXPECT_EQ(attribution.calls, row.callsADayLater);
}

INSTANTIATE_TEST_SUITE_P(
    ByAnswer, UnreportedInstall,
    ::testing::Values(
        Unreported{"Placeholder", kPlaceholder, 0, "32006 32006 32005", {}, 1, 1, 2,
                   "Search Ad Reporter returns dummy data. Will retry next time."},
        Unreported{"Error", kError, 0, "32006 32006 32010 32005", {}, 1, 1, 2,
                   "Cannot send request for Search Ad campaign attribution. Error:ADClientError"},
        Unreported{"NoDetails", kNoDetails, 0, "32006 32006 32011 32005", {}, 1, 1, 2,
                   "Cannot get Search Ad campaign attribution. Search Ad details are empty"},
        Unreported{"NotAttributed", kNotAttributed, 0, "32006 32006", false, 1, 1, 1, ""},
        Unreported{"OutOfRetries", kAttributed, 10, "", {}, 10, 0, 0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
