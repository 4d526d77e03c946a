#include <gtest/gtest.h>

#include "analytics/QRVAAudience.h"
#include "audience_test_support.h"
#include "platform/clock.h"
#include "store_test_support.h"

namespace {

using namespace audiencetest;

struct Masks {
    std::vector<uint64_t> status, results;
    friend bool operator==(const Masks&, const Masks&) = default;
};

std::vector<uint64_t> words(NANOMessageRef data, int32_t field) {
    std::vector<uint64_t> out;
    for (const auto& v : NANOGetArray(data, field).value_or(ns::Array{})) out.push_back(v.asUInt());
    return out;
}

Masks masksOf(const ns::Data& bytes) {
    auto data = QRVAPBResultData::initWithBuffer(bytes);
    return {words(data, F::ResultData::status), words(data, F::ResultData::results)};
}

std::shared_ptr<QRVAPBAudience> audience(int32_t id, const std::vector<std::shared_ptr<QRVAPBEventFilter>>& events,
                                         const std::vector<std::shared_ptr<QRVAPBPropertyFilter>>& properties = {}) {
    auto out = QRVAPBAudience::message();
    if (id != INT32_MIN) NANOSetInt32(out, F::Audience::audience_id, id);
    NANOSetArray(out, F::Audience::event_filters, ns::Array(events.begin(), events.end()));
    NANOSetArray(out, F::Audience::property_filters, ns::Array(properties.begin(), properties.end()));
    return out;
}

class AudienceTest : public storetest::OpenDatabaseTest {
protected:
    void SetUp() override {
        OpenDatabaseTest::SetUp();
        audience_ = QRVAAudience::initWithDatabase(database_);
    }
    QRVAEvent event(int64_t amount) {
        return *QRVAEvent::initWithOrigin("app", true, "level_done", 1.0, 0,
                                          QRVAObjectParameters{{"amount", amount}, {"sku", std::string(30, 'a') + "b"}});
    }
    bool evaluate(int64_t amount, int32_t lifetimeCount) {
        return audience_->evaluateFiltersForEvent(event(amount),
                                                  *QRVAEventAggregates::initWithName("level_done", lifetimeCount, 0, 0));
    }
    std::optional<QRVAFilterResult> stored(int32_t audienceID) {
        ns::ErrorRef error;
        return database_->filterResultForAudienceID(audienceID, &error);
    }
    std::vector<std::shared_ptr<QRVAPBAudienceLeafFilterResult>> bundle() {
        std::vector<std::shared_ptr<QRVAPBAudienceLeafFilterResult>> results;
        EXPECT_TRUE(audience_->resultsForBundling(results));
        return results;
    }

    std::shared_ptr<QRVAAudience> audience_;
};

TEST_F(AudienceTest, FilterIDsUpToNinetyNineOwnTheirBitsAcrossMaskWords) {
    audience_->setSettingsProvider([] { return QRVAAudienceSettings{.maxFiltersPerAudience = 100}; });
    auto amount = [](uint32_t type) { return filter(number(type, "5"), "amount"); };
    ASSERT_TRUE(audience_->updateAudiences({audience(
        1,
        {eventFilter(0, "level_done"), eventFilter(63, "level_done", {amount(kQRVAComparisonGreaterThan)}),
         eventFilter(64, "level_done", {amount(kQRVAComparisonLessThan)}),
         eventFilter(99, "level_done", {}, number(kQRVAComparisonGreaterThan, "1")),
         eventFilter(5, "level_done", {filter(string(kQRVAMatchRegexp, "(a+)+$"), "sku")})},
        {propertyFilter(7, "tier", filter(string(kQRVAMatchExact, "GOLD")))})}));
    const uint64_t b63 = uint64_t(1) << 63, b99 = uint64_t(1) << 35;
    auto tier = *QRVAUserAttribute::initWithOrigin("app", "tier", QRVAValue::string("gold"), 1.0);
    // By hand: 0 always true; 63 amount > 5 (kept once true); 64 amount < 5;
    // 99 count > 1; 5 never decided (the pattern runs out of time); 7 tier.
    const struct {
        std::function<bool()> step;
        Masks masks;
    } steps[] = {
        {[&] { return evaluate(10, 1); }, {{1 | b63, 1 | b99}, {1 | b63, 0}}},
        {[&] { return evaluate(1, 2); }, {{1 | b63, 1 | b99}, {1 | b63, 1 | b99}}},
        {[&] { return audience_->evaluateFiltersForUserProperty(tier); }, {{1 | b63 | 1 << 7, 1 | b99}, {1 | b63 | 1 << 7, 1 | b99}}},
    };
    for (size_t i = 0; i < std::size(steps); ++i) {
        ASSERT_TRUE(steps[i].step()) << i;
        auto result = stored(1);
        ASSERT_TRUE(result) << i;
        EXPECT_EQ(masksOf(result->currentResults), steps[i].masks) << i;
    }
    EXPECT_TRUE(logged(9006));
    auto result = stored(1);
    for (auto [id, expected] : {std::pair{63, true}, {64, true}, {99, true}, {5, false}, {100, false}, {128, false}}) {
        EXPECT_EQ(QRVAAudience::isFilterResultTrueForFilterID(&*result, id), expected) << id;
    }
}

TEST_F(AudienceTest, BundlingReportsNewThenUnchangedThenChangedAudiences) {
    ASSERT_TRUE(audience_->updateAudiences(
        {audience(2, {eventFilter(0, "level_done", {}, number(kQRVAComparisonGreaterThan, "1"))}),
         audience(3, {eventFilter(1, "level_done", {filter(number(kQRVAComparisonEqual, "1"), "absent")})})}));
    EXPECT_TRUE(bundle().empty());
    ASSERT_TRUE(evaluate(1, 1));
    const struct {
        int32_t lifetimeCount;  // 0: no event before this bundling
        bool newAudience;
        std::optional<Masks> previous;
    } rounds[] = {{0, true, {}}, {0, false, {}}, {2, false, Masks{{1}, {0}}}, {0, false, {}}};
    for (size_t i = 0; i < std::size(rounds); ++i) {
        if (rounds[i].lifetimeCount) {
            ASSERT_TRUE(evaluate(1, rounds[i].lifetimeCount));
        }
        auto leaves = bundle();
        ASSERT_EQ(leaves.size(), 1u) << i;  // audience 3 has never had an outcome
        EXPECT_EQ(NANOGetInt32(leaves[0], F::AudienceLeafFilterResult::audience_id), 2);
        EXPECT_EQ(NANOGetBool(leaves[0], F::AudienceLeafFilterResult::new_audience), rounds[i].newAudience) << i;
        ASSERT_EQ(NANOHasField(leaves[0], F::AudienceLeafFilterResult::previous_results),
                  rounds[i].previous.has_value()) << i;
        if (rounds[i].previous) {
            auto previous = NANOGetMessage(leaves[0], F::AudienceLeafFilterResult::previous_results,
                                           QRVAPBResultData::messageClass());
            EXPECT_EQ(masksOf(*previous->protoBuffer()), *rounds[i].previous);
        }
    }
}

TEST_F(AudienceTest, ConfigurationsKeepValidAudiencesUnderInternalNames) {
    auto isTier = propertyFilter(1, "tier", filter(string(kQRVAMatchExact, "gold")));
    auto clicks = eventFilter(0, "ad_click", {filter(string(kQRVAMatchContains, "x"), "ad_unit_id")});
    const struct {
        std::shared_ptr<QRVAPBAudience> audience;
        const char* error;
    } cases[] = {
        {audience(1, {clicks}, {isTier}), ""},
        {audience(INT32_MIN, {clicks}), "9 Missing audience ID"},
        {audience(-1, {clicks}), "9 Audience ID is negative"},
        {audience(9, {clicks}), "9 Duplicate audience ID"},
        {audience(4, {}), "9 Audience filter count out of range"},
        {audience(4, {eventFilter(0, "a")}, {propertyFilter(0, "tier", filter(string(kQRVAMatchExact, "g")))}),
         "11 Duplicate property filter ID"},
        {audience(4, {eventFilter(10, "a")}), "10 Event filter ID is out of range"},
        {audience(4, {eventFilter(0, "a", {}, number(kQRVAComparisonBetween, {}, "1", {}))}),
         "10 Event filter has invalid event count filter"},
        {audience(4, {eventFilter(0, "a", {filter(string(kQRVAMatchRegexp, "("), "p")})}),
         "10 Event filter has invalid string filter"},
        {audience(4, {}, {propertyFilter(0, "tier", filter(nullptr))}),
         "11 Property filter must have exactly one of number or string filter"},
    };
    for (const auto& c : cases) {
        ns::ErrorRef error;
        bool valid = audience_->isValidAudienceProto(*c.audience, {9}, &error);
        EXPECT_EQ(valid ? "" : storetest::describe(error), c.error) << c.audience->description();
    }

    ns::ErrorRef error;
    ASSERT_TRUE(database_->updateUserAttribute(
        *QRVAUserAttribute::initWithOrigin("app", "tier", QRVAValue::string("gold"), 1.0), &error));
    ASSERT_TRUE(audience_->updateAudiences({cases[0].audience, audience(1, {eventFilter(2, "b")}), cases[5].audience}));
    EXPECT_TRUE(logged(6009));
    EXPECT_EQ(database_->allAudienceIDs(&error), std::vector<int32_t>{1});
    auto rows = database_->eventFiltersForEventName("_ac", &error);
    ASSERT_TRUE(rows && rows->size() == 1);
    auto storedFilter = QRVAPBEventFilter::initWithBuffer((*rows)[0].data);
    auto params = NANOGetArray(storedFilter, F::EventFilter::filters, &QRVAPBFilter::messageClass());
    ASSERT_TRUE(params && params->size() == 1);
    EXPECT_EQ(NANOGetString((*params)[0].asObjectOf<QRVAPBFilter>(), F::Filter::param_name), "_ai");
    // The stored property met the new property filter before the update was done.
    EXPECT_EQ(masksOf(stored(1)->currentResults), (Masks{{2}, {2}}));

    std::vector<std::shared_ptr<QRVAPBAudience>> tooMany(51, audience(8, {eventFilter(0, "c")}));
    EXPECT_TRUE(audience_->updateAudiences(tooMany));
    EXPECT_TRUE(logged(6008));
    EXPECT_EQ(database_->allAudienceIDs(&error), std::vector<int32_t>{1});
}

TEST_F(AudienceTest, StaleResultsArePrunedOnlyAboveTheLimit) {
    ASSERT_TRUE(audience_->updateAudiences({audience(1, {eventFilter(0, "level_done")})}));
    auto store = [&](int32_t from, int32_t to) {
        std::vector<QRVAFilterResult> results;
        for (int32_t id = from; id <= to; ++id) results.push_back(QRVAAudience::updatedFilterResult(0, id, nullptr, true));
        ns::ErrorRef error;
        ASSERT_TRUE(database_->updateFilterResults(results, &error));
    };
    store(1, 200);
    ASSERT_TRUE(audience_->maybeDeleteStaleFilterResults({}));
    ns::ErrorRef error;
    EXPECT_EQ(database_->allFilterResults(&error).size(), 200u);
    store(201, 201);
    ASSERT_TRUE(audience_->maybeDeleteStaleFilterResults({5}));
    std::vector<int32_t> kept;
    for (const auto& entry : database_->allFilterResults(&error)) kept.push_back(entry.first);
    EXPECT_EQ(kept, (std::vector<int32_t>{1, 5}));
}

}  // namespace
