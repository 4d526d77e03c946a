#include <gtest/gtest.h>

#include <cmath>

#include "analytics/QRVADatabase.h"
#include "platform/clock.h"
#include "store_test_support.h"

namespace {

using storetest::kNow;

class DatabaseTablesTest : public storetest::OpenDatabaseTest {
protected:
    static QRVAUserAttribute attribute(const std::string& name, const QRVAValue& value, double time = kNow) {
        return *QRVAUserAttribute::initWithOrigin("app", name, value, time);
    }
    std::vector<std::string> names(const std::optional<std::vector<QRVAUserAttribute>>& attributes) {
        std::vector<std::string> out;
        for (const auto& a : attributes.value_or(std::vector<QRVAUserAttribute>{})) out.push_back(a.name());
        return out;
    }
    storetest::RawDatabase raw() { return storetest::RawDatabase(database_->sqliteStore()->databasePath()); }
};

TEST_F(DatabaseTablesTest, DailyCountsReadAsTodayUntilStoredThenAsStored) {
    ns::ErrorRef error;
    int32_t today = int32_t(std::floor((kNow - QRVAPersistedConfig::sharedInstance()->midnightOffset()) / 86400));
    auto fresh = database_->dailyCounts(&error);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(fresh->day(), today);
    EXPECT_EQ(fresh->allEventsCount() + fresh->conversionsCount() + fresh->realtimeCount(), 0);

    ASSERT_TRUE(database_->updateDailyCounts(QRVADailyCounts(today - 3, 1, 2, 3, 4, 5), &error));
    auto stored = database_->dailyCounts(&error);
    EXPECT_EQ(stored->day(), today - 3);
    EXPECT_EQ(stored->conversionsCount(), 1);
    EXPECT_EQ(stored->publicEventsCount(), 3);
    EXPECT_EQ(stored->realtimeCount(), 5);

    ASSERT_TRUE(database_->updateAppMetadata(*QRVAAppMetadata::initWithLastBundleIndex(9, kNow - 60, kNow), &error));
    EXPECT_EQ(database_->queryAppMetadata(&error)->lastBundleStartTimestamp(), kNow - 60);
}

TEST_F(DatabaseTablesTest, UserPropertiesKeepTheirValueTypes) {
    ns::ErrorRef error;
    const struct {
        const char* name;
        QRVAValue value;
        const char* storedAs;
    } cases[] = {
        {"int", QRVAValue(int64_t(5)), "integer"},
        {"double", QRVAValue(5.0), "real"},
        {"text", QRVAValue::string("PA01"), "text"},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(database_->updateUserAttribute(attribute(c.name, c.value), &error)) << c.name;
        EXPECT_EQ(raw().value(std::string("SELECT typeof(value) FROM user_attributes WHERE name='") + c.name + "'"),
                  c.storedAs);
        EXPECT_EQ(database_->userAttributeWithName(c.name, &error)->value(), c.value) << c.name;
    }
    EXPECT_EQ(database_->userAttributeCountForOrigin("app", &error), 3);
    EXPECT_TRUE(database_->deleteUserAttributeWithName("never set", &error));
}

TEST_F(DatabaseTablesTest, InternalAndLifetimeValuePropertiesAreToldApartByExactPrefixes) {
    ns::ErrorRef error;
    for (const char* name : {"store", "_ltv_USD", "_ltv_PAB", "altv_x", "_ltvx", "quorvane_a", "_fot"}) {
        static double time = kNow;
        ASSERT_TRUE(database_->updateUserAttribute(attribute(name, QRVAValue(int64_t(1)), time += 1), &error)) << name;
    }
    EXPECT_EQ(names(database_->userAttributesIncludingInternal(false, &error)),
              (std::vector<std::string>{"store", "altv_x"}));
    EXPECT_EQ(names(database_->userAttributesIncludingInternal(true, &error)).size(), 7u);
    // Newest first, and only names that really begin with "_ltv_".
    EXPECT_EQ(names(database_->allLifetimeValueUserAttributes(&error)), (std::vector<std::string>{"_ltv_PAB", "_ltv_USD"}));
    // Public means no "_" first; the reserved prefix still counts.
    EXPECT_EQ(database_->publicUserAttributeCount(&error), 3);
}

TEST_F(DatabaseTablesTest, FullTablesRefuseNewNamesButKeepUpdatingStoredOnes) {
    ns::ErrorRef error;
    ASSERT_TRUE(database_->performTransaction([&] {
        for (int i = 0; i < kQRVADatabaseAllUserAttributeMaxCount; ++i) {
            if (!database_->updateUserAttribute(attribute("p" + std::to_string(i), QRVAValue(int64_t(i))), &error)) {
                return false;
            }
        }
        return true;
    }));
    EXPECT_FALSE(database_->updateUserAttribute(attribute("new", QRVAValue(int64_t(1))), &error));
    EXPECT_STORE_ERROR(error, 2, "Failed to insert data type. Table is full");
    EXPECT_TRUE(database_->updateUserAttribute(attribute("p7", QRVAValue(int64_t(70))), &error));
    EXPECT_EQ(database_->userAttributeWithName("p7", &error)->value(), QRVAValue(int64_t(70)));

    ASSERT_TRUE(database_->updateEventAggregates(*QRVAEventAggregates::initWithName("_s", 3, 1, kNow), &error));
    ASSERT_TRUE(database_->updateEventAggregates(*QRVAEventAggregates::initWithName("view_item", 1, 1, kNow), &error));
    EXPECT_EQ(database_->eventAggregatesWithName("_s", &error)->lifetimeCount(), 3);
    EXPECT_EQ(database_->publicEventCount(&error), 1);
}

TEST_F(DatabaseTablesTest, PurchaseFingerprintsAreRecordedOnceAndTheNewestThousandKept) {
    ns::ErrorRef error;
    EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("t-0", &error), true);
    EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("t-0", &error), false);
    EXPECT_EQ(database_->insertIfNotDuplicatePurchaseFingerprint("", &error), false);
    ASSERT_TRUE(database_->performTransaction([&] {
        for (int i = 1; i <= kQRVADatabasePurchaseTransactionsMaxCount; ++i) {
            if (!database_->insertIfNotDuplicatePurchaseFingerprint("t-" + std::to_string(i), &error)) return false;
        }
        return true;
    }));
    EXPECT_EQ(raw().value("SELECT count(*) FROM purchase_transactions"), "1000");
    EXPECT_EQ(raw().value("SELECT count(*) FROM purchase_transactions WHERE fingerprint = 't-0'"), "0");
}

TEST_F(DatabaseTablesTest, FiltersAndResultsAreReplacedAndDeletedByTheirKeys) {
    ns::ErrorRef error;
    ASSERT_TRUE(database_->updateEventFilters({{3, 1, "purchase", {1}}, {3, 2, "purchase", {2}}, {4, 1, "_s", {3}}},
                                              &error));
    ASSERT_TRUE(database_->updatePropertyFilters({{5, 1, "store", {4}}}, &error));
    ASSERT_TRUE(database_->updateFilterResults({{3, {7}, std::nullopt}, {4, {8}, ns::Data{9}}}, &error));
    EXPECT_EQ(database_->eventFiltersForEventName("purchase", &error)->size(), 2u);
    EXPECT_EQ(database_->propertyFiltersForPropertyName("store", &error)->front(), (QRVAPropertyFilter{5, 1, "store", {4}}));
    EXPECT_EQ(database_->allAudienceIDs(&error), (std::vector<int32_t>{3, 4, 5}));
    EXPECT_EQ(database_->filterResultForAudienceID(4, &error), (QRVAFilterResult{4, {8}, ns::Data{9}}));
    EXPECT_EQ(database_->allFilterResults(&error).at(3).previousResults, std::nullopt);

    EXPECT_FALSE(database_->updateEventFilters({{6, 1, "x", {1}}, {6, 2, "", {1}}}, &error));
    EXPECT_TRUE(logged(12027));
    // The same audience twice deletes its one row.
    EXPECT_TRUE(database_->deleteFilterResults({{3, {7}, {}}, {3, {1}, {}}}, &error));
    EXPECT_EQ(database_->allFilterResults(&error).size(), 1u);
    EXPECT_TRUE(database_->deleteEventFilters({{3, 2, "purchase", {}}}, &error));
    EXPECT_EQ(database_->eventFiltersForEventName("purchase", &error)->size(), 1u);
}

TEST_F(DatabaseTablesTest, ConditionalPropertiesAreFoundByStateTimeAndName) {
    ns::ErrorRef error;
    auto property = [](const std::string& name, const std::string& trigger, double created, bool active) {
        QRVAConditionalUserProperty p;
        p.name = name;
        p.origin = "app";
        p.value = QRVAValue::string("v");
        p.triggerEventName = trigger;
        p.triggerTimeout = 10;
        p.timeToLive = 100;
        p.creationTimestamp = created;
        p.active = active;
        p.triggeredTimestamp = active ? created : 0;
        p.triggeredEvent = *QRVAEvent::initWithOrigin("app", false, "_cup_t", 0, 0, QRVAObjectParameters{{"k", 1}});
        return p;
    };
    for (const auto& p : {property("within", "purchase", kNow - 10, false), property("late", "purchase", kNow - 11, false),
                          property("live", "", kNow - 50, true), property("expired", "", kNow - 101, true)}) {
        ASSERT_TRUE(database_->updateConditionalUserProperty(p, &error)) << p.name;
    }
    auto namesOf = [](const std::optional<std::vector<QRVAConditionalUserProperty>>& properties) {
        std::vector<std::string> out;
        for (const auto& p : properties.value_or(std::vector<QRVAConditionalUserProperty>{})) out.push_back(p.name);
        return out;
    };
    EXPECT_EQ(namesOf(database_->triggeredConditionalUserPropertiesWithEventName("purchase", &error)),
              (std::vector<std::string>{"within"}));
    EXPECT_EQ(namesOf(database_->timedOutConditionalUserPropertiesWithError(&error)), (std::vector<std::string>{"late"}));
    EXPECT_EQ(namesOf(database_->expiredConditionalUserPropertiesWithError(&error)), (std::vector<std::string>{"expired"}));
    EXPECT_EQ(namesOf(database_->conditionalUserPropertiesWithPrefix("", "", &error)).size(), 4u);
    EXPECT_EQ(namesOf(database_->conditionalUserPropertiesWithPrefix("LI", "APP", &error)),
              (std::vector<std::string>{"live"}));
    auto stored = database_->conditionalUserPropertyWithName("within", &error);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->triggeredEvent, property("within", "", 0, false).triggeredEvent);
    EXPECT_EQ(stored->triggerEventName, "purchase");

    // A stored event that does not decode makes its row unreadable.
    raw().exec("UPDATE conditional_properties SET triggered_event = x'ffff' WHERE name = 'late'");
    EXPECT_EQ(namesOf(database_->conditionalUserPropertiesWithPrefix("", "", &error)).size(), 3u);
    EXPECT_TRUE(logged(12036));
}

}  // namespace
