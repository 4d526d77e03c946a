// Store purchases end to end: transactions from the StoreKit stand-in,
// priced from its catalogue, read back as the "_iap" events and lifetime
// values the local back end stored.

#include <algorithm>

#include "analytics/QRVAInAppPurchaseTransactionReporter.h"
#include "api_test_support.h"
#include "platform/storekit.h"

namespace {

using State = ns::SKPaymentTransactionState;

class PurchaseTest : public apitest::ReportingTest {
protected:
    void TearDown() override {
        ns::SKProductsRequest::removeAllProducts();
        ReportingTest::TearDown();
    }
    static void sell(const std::string& product, const char* price, const char* locale) {
        ns::SKProductsRequest::registerProduct(
            ns::SKProduct::make(product, *ns::DecimalNumber::fromString(price), locale, "Title of " + product));
    }
    static ns::SKPaymentTransactionPtr transaction(const std::string& product, State state,
                                                   std::optional<std::string> id = std::nullopt, int64_t quantity = 1) {
        return ns::SKPaymentTransaction::make(ns::SKPayment(product, quantity), state, std::move(id));
    }
    static void deliver(ns::SKPaymentTransactions transactions) {
        ns::SKPaymentQueue::defaultQueue()->deliverTransactions(std::move(transactions));
    }
    // Starts the client and counts the "_iap" events that reach the facade.
    void startCounting() {
        start();
        QRVAnalytics::addLogEventListener([this](const QRVAEvent& event) {
            if (event.name() == "_iap") ++purchases_;
        });
        drain();
    }
    // The store answers on the main queue and the reporter on the global
    // one: until `count` purchases in all have been logged, then drained.
    void waitForPurchases(int count) {
        ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return purchases_.load() >= count; }, 30));
        drain();
    }
    std::vector<analyticstest::StoredEvent> uploadedPurchases() {
        auto events = uploadedEvents();
        std::erase_if(events, [](const auto& e) { return e.name != "_iap"; });
        return events;
    }
    static bool hasCode(const std::vector<std::string>& lines, const std::string& code, size_t times = 1) {
        return size_t(std::count_if(lines.begin(), lines.end(),
                                    [&](const auto& l) { return l.rfind(code + " ", 0) == 0; })) == times;
    }

    std::atomic<int> purchases_{0};
};

TEST_F(PurchaseTest, TwoUnitsAreReportedInMillionthsAndAddedToTheLifetimeValueOfTheirCurrency) {
    sell("coffee", "0.99", "de_DE");
    startCounting();
    ASSERT_TRUE(QRVAInAppPurchaseTransactionReporter::sharedInstance()->isReportingEnabled());
    ns::SKPaymentQueue::defaultQueue()->addPayment(ns::SKPayment("coffee", 2));
    waitForPurchases(1);
    const auto purchases = uploadedPurchases();
    ASSERT_EQ(purchases.size(), 1u);
    const std::map<std::string, std::string> expected = {
        {"product_id", "coffee"}, {"quantity", "2"},   {"price", "990000"},
        {"value", "1980000"},     {"currency", "EUR"}, {"product_name", "Title of coffee"},
    };
    for (const auto& [key, value] : expected) EXPECT_EQ(purchases[0][key], value) << key;
    EXPECT_EQ(uploadedUserProperties()["_ltv_EUR"], "1980000");
}

TEST_F(PurchaseTest, OnlyPurchasesNotSeenBeforeOfProductsTheStoreKnowsAreReported) {
    sell("coffee", "0.99", "de_DE");
    sell("tea", "1.5", "en_US");
    startCounting();
    auto bought = transaction("coffee", State::Purchased, "1000000000000001");
    const auto lines = monitorLines([&] {
        deliver({bought});
        // One update, reported in order: the repeat and what was not
        // purchased are dropped, the unknown product is skipped once the
        // store calls it invalid, and a purchase without a usable identifier
        // passes unchecked.
        deliver({bought, transaction("coffee", State::Restored, "1000000000000002"),
                 transaction("coffee", State::Failed), transaction("coffee", State::Deferred),
                 transaction("unlisted", State::Purchased, "1000000000000003"),
                 transaction("tea", State::Purchased, "1000000000000004", 3),
                 transaction("coffee", State::Purchased, "000-000")});
        waitForPurchases(3);
    });
    EXPECT_TRUE(hasCode(lines, "23141"));
    EXPECT_TRUE(hasCode(lines, "23139"));
    std::vector<std::string> reported;
    for (const auto& p : uploadedPurchases()) reported.push_back(p["product_id"] + " " + p["value"]);
    std::sort(reported.begin(), reported.end());
    EXPECT_EQ(reported, (std::vector<std::string>{"coffee 990000", "coffee 990000", "tea 4500000"}));
}

TEST_F(PurchaseTest, WithDeduplicationSwitchedOffARepeatIsReportedAgain) {
    serveSettings({{"measurement.upload.dedupe_purchases_enabled", "0"}});
    sell("coffee", "0.99", "de_DE");
    startCounting();
    uploadedEvents();  // the configuration comes with the first upload
    auto bought = transaction("coffee", State::Purchased, "1000000000000001");
    deliver({bought});
    deliver({bought});
    waitForPurchases(2);
    EXPECT_EQ(uploadedPurchases().size(), 2u);
}

TEST_F(PurchaseTest, AFifthCurrencyEvictsTheLeastRecentlySetLifetimeValueAndNoLookAlike) {
    const std::pair<const char*, const char*> shop[] = {
        {"usd", "en_US"}, {"eur", "de_DE"}, {"pab", "es_PA"}, {"gbp", "en_GB"}, {"jpy", "ja_JP"}};
    for (const auto& [product, locale] : shop) sell(product, "2", locale);
    startCounting();
    QRVAnalytics::setUserPropertyString(ns::Value("1"), "altv_x");
    int count = 0;
    for (const auto& [product, locale] : shop) {
        advance(60);
        deliver({transaction(product, State::Purchased, "20000000000000" + std::to_string(count))});
        waitForPurchases(++count);
    }
    std::vector<std::string> names;
    bool lookAlikeKept = false;
    onWorker([&] {
        ns::ErrorRef error;
        auto stored = engine()->database()->allLifetimeValueUserAttributes(&error);
        for (const auto& a : stored.value_or(std::vector<QRVAUserAttribute>{})) names.push_back(a.name());
        lookAlikeKept = engine()->database()->containsUserAttributeWithName("altv_x", &error).value_or(false);
    });
    EXPECT_EQ(names, (std::vector<std::string>{"_ltv_JPY", "_ltv_GBP", "_ltv_PAB", "_ltv_EUR"}));
    EXPECT_TRUE(lookAlikeKept);
}

TEST_F(PurchaseTest, ValuesOutOfBoundsAreNotCountedButThePublicPurchaseIsStillStored) {
    sell("gold", "1e20", "de_DE");
    sell("coffee", "0.99", "de_DE");
    startCounting();
    const auto lines = monitorLines([&] {
        QRVAnalytics::logEventWithName("ecommerce_purchase", {{"currency", "EUR"}, {"value", 1e300}});
        deliver({transaction("gold", State::Purchased, "1000000000000005"),
                 transaction("coffee", State::Purchased, "1000000000000006")});
        waitForPurchases(1);
    });
    EXPECT_TRUE(hasCode(lines, "22002", 2));
    EXPECT_EQ(uploadedNames("ecommerce_purchase").size(), 1u);
    const auto purchases = uploadedPurchases();
    ASSERT_EQ(purchases.size(), 1u);
    EXPECT_EQ(purchases[0]["product_id"], "coffee");
    EXPECT_EQ(uploadedUserProperties()["_ltv_EUR"], "990000");
}

}  // namespace
