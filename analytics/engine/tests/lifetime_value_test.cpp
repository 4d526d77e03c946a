#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "analytics/QRVADatabase.h"
#include "analytics/QRVALifetimeValueRecorder.h"
#include "platform/clock.h"
#include "store_test_support.h"

namespace {

using storetest::kNow;

class LifetimeValueTest : public storetest::OpenDatabaseTest {
protected:
    bool record(const std::string& name, QRVAParameters parameters) {
        auto event = QRVAEvent::initWithOrigin("auto", false, name, kNow, 0, parameters);
        EXPECT_TRUE(event) << name;
        return QRVALifetimeValueRecorder::recordLifetimeValueToDatabase(*database_, *event);
    }
    // "name=value" of every lifetime value, most recently set first.
    std::vector<std::string> stored() {
        ns::ErrorRef error;
        std::vector<std::string> out;
        for (const auto& a : database_->allLifetimeValueUserAttributes(&error).value_or(std::vector<QRVAUserAttribute>{})) {
            out.push_back(a.name() + "=" + a.value().description());
        }
        return out;
    }
    static QRVAParameters purchase(const char* currency, QRVAValue value) {
        QRVAParameters parameters;
        if (currency) parameters.set("currency", QRVAValue::string(currency));
        parameters.set("value", value);
        return parameters;
    }
};

TEST_F(LifetimeValueTest, PurchasesAddUpPerCurrencyAndValuesThatCannotCountAreSkippedWithoutLosingTheEvent) {
    const double inf = std::numeric_limits<double>::infinity();
    const struct {
        const char* what;
        const char* event;
        QRVAParameters parameters;
        int logged;
        std::vector<std::string> after;
    } cases[] = {
        {"iap in millionths", "_iap", purchase("EUR", QRVAValue(int64_t(1980000))), 0, {"_ltv_EUR=1980000"}},
        {"public in units, rounded, code upper-cased", "ecommerce_purchase", purchase("usd", QRVAValue(12.3456789)),
         0, {"_ltv_USD=12345679", "_ltv_EUR=1980000"}},
        {"an int64 in units", "ecommerce_purchase", purchase("USD", QRVAValue(int64_t(2))), 0,
         {"_ltv_USD=14345679", "_ltv_EUR=1980000"}},
        {"iap double truncated", "_iap", purchase("EUR", QRVAValue(20.9)), 0,
         {"_ltv_EUR=1980020", "_ltv_USD=14345679"}},
        {"four letters", "ecommerce_purchase", purchase("EURO", QRVAValue(1.0)), 22000, {}},
        {"no currency", "_iap", purchase(nullptr, QRVAValue(int64_t(1))), 22000, {}},
        {"not a name", "ecommerce_purchase", purchase("U$D", QRVAValue(1.0)), 22000, {}},
        {"text value", "_iap", QRVAParameters{{"currency", QRVAValue::string("EUR")}, {"value", QRVAValue::string("1")}},
         22001, {}},
        {"huge units", "ecommerce_purchase", purchase("EUR", QRVAValue(1e300)), 22002, {}},
        {"NaN", "ecommerce_purchase", purchase("EUR", QRVAValue(std::nan(""))), 22002, {}},
        {"infinity", "_iap", purchase("EUR", QRVAValue(-inf)), 22002, {}},
        {"huge millionths", "_iap", purchase("EUR", QRVAValue(1e19)), 22002, {}},
        {"sum past int64", "_iap", purchase("EUR", QRVAValue(std::numeric_limits<int64_t>::max())), 22002, {}},
        {"not a purchase", "_vs", purchase("EUR", QRVAValue(int64_t(5))), 0, {}},
    };
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        capture_.clear();
        EXPECT_TRUE(record(c.event, c.parameters)) << c.what;
        if (c.logged) {
            EXPECT_TRUE(logged(c.logged)) << c.what;
        }
        if (!c.after.empty()) expected = c.after;
        EXPECT_EQ(stored(), expected) << c.what;
        clock_->advance(60);
    }
}

TEST_F(LifetimeValueTest, ANewCurrencyLeavesOnlyTheLimitsNumberOfCurrencies) {
    // More than the limit (4) stored, as after the limit was lowered: the
    // least recently set go until the new currency fits.
    ns::ErrorRef error;
    int64_t time = kNow - 100;
    for (const char* name : {"_ltv_AAA", "_ltv_BBB", "_ltv_CCC", "_ltv_DDD", "_ltv_EEE", "_ltv_FFF"}) {
        auto attribute = QRVAUserAttribute::initWithOrigin("auto", name, QRVAValue(int64_t(1)), double(++time));
        ASSERT_TRUE(database_->updateUserAttribute(*attribute, &error));
    }
    ASSERT_TRUE(record("_iap", purchase("EUR", QRVAValue(int64_t(5)))));
    EXPECT_EQ(stored(), (std::vector<std::string>{"_ltv_EUR=5", "_ltv_FFF=1", "_ltv_EEE=1", "_ltv_DDD=1"}));
}

TEST_F(LifetimeValueTest, AStoreThatCannotBeReadAnswersNoSoTheWriteRollsBack) {
    storetest::RawDatabase(database_->sqliteStore()->databasePath()).exec("DROP TABLE user_attributes");
    EXPECT_FALSE(record("_iap", purchase("EUR", QRVAValue(int64_t(1)))));
    EXPECT_TRUE(logged(22003));
}

}  // namespace
