// Conditional user properties over the shared engine's store, offline so the
// events stay in it: the bounds of the intervals, the query's LIKE filters,
// the table limit, and a query that gives up waiting.

#include "analytics/QRVAConditionalUserPropertyController.h"

#include <atomic>
#include <cmath>
#include <thread>

#include "analytics/QRVADatabase.h"
#include "core/QRVLogger.h"
#include "engine_test_support.h"
#include "monitor_lines.h"
#include "platform/clock.h"
#include "platform/reachability.h"
#include "testing/temp_sandbox.h"

namespace {

using Strings = std::vector<std::string>;
using Records = std::optional<std::vector<QRVAConditionalUserProperty>>;

QRVAConditionalUserProperty record(double timeout = 60, double timeToLive = 600, const char* triggered = nullptr,
                                   const std::string& name = "tier", const std::string& origin = "app") {
    QRVAConditionalUserProperty r;
    r.name = name;
    r.origin = origin;
    r.value = QRVAValue::string("gold");
    r.triggerTimeout = timeout;
    r.timeToLive = timeToLive;
    if (triggered) r.triggeredEvent = QRVAEvent::initWithOrigin("app", false, triggered, 0, 0, QRVAParameters{});
    return r;
}

// This controller's codes (10000-11999) among the monitor's lines.
Strings codes(const Strings& lines) {
    Strings found;
    for (const auto& line : lines) {
        if (const int code = std::stoi(line); code / 1000 == 10 || code / 1000 == 11) found.push_back(line.substr(0, 5));
    }
    return found;
}

class ConditionalUserPropertyTest : public ::testing::Test {
protected:
    void SetUp() override {
        QRVSetLoggerLevel(QRVLoggerLevelDebug);  // the monitor's level 7 lines
        sandbox_.writeBundlePlist(kQRVOptionsFileName, ns::Dictionary{{kQRVOptionsKeyOndrixAppID, "1:4803:ios:7d1f"},
                                                                      {kQRVOptionsKeyAPIKey, "AKtest-cup-01"}});
        enginetest::resetProcess();
        ns::Reachability::setOverride(ns::Reachability::Status::NotReachable);
        QRVAMeasurement::initializeSharedInstanceWithOptions(QRVOptions::defaultOptions());
        engine_ = QRVAMeasurement::sharedInstance();
        enginetest::drain(*engine_);
    }
    void TearDown() override {
        enginetest::drain(*engine_);
        ns::Reachability::setOverride(std::nullopt);
        QRVAMeasurement::resetSharedForTesting();
        enginetest::resetProcess();
        QRVLoggerResetForTesting();
    }
    static std::shared_ptr<QRVAConditionalUserPropertyController> cup() {
        return QRVAConditionalUserPropertyController::sharedInstance();
    }
    int64_t count(const std::string& query) {
        int64_t n = -1;
        enginetest::onWorker(*engine_, [&] {
            n = engine_->database()->sqliteStore()->numberForQuery(query, {}, nullptr).intValue();
        });
        return n;
    }
    void store(const std::vector<std::pair<std::string, std::string>>& namesAndOrigins) {
        enginetest::onWorker(*engine_, [&] {
            engine_->database()->performTransaction([&] {
                for (const auto& [name, origin] : namesAndOrigins) {
                    EXPECT_TRUE(engine_->database()->updateConditionalUserProperty(record(1, 1, nullptr, name, origin),
                                                                                   nullptr));
                }
                return true;
            });
        });
    }

    std::unique_ptr<ns::VirtualClock> clock_ = ns::VirtualClock::install(1'700'000'000.0);
    ns::testing::TempSandbox sandbox_;
    std::shared_ptr<QRVAMeasurement> engine_;
};

}  // namespace

TEST_F(ConditionalUserPropertyTest, IntervalsMustBeFiniteAndWithinBoundsBothEndsIncluded) {
    const double nan = std::nan(""), inf = INFINITY;
    const struct {
        double timeout, timeToLive;
        Strings codes;  // empty: valid
    } cases[] = {
        {0.001, 0.001, {}}, {15552000, 15552000, {}}, {0.0009, 1, {"11000"}}, {15552000.5, 1, {"11000"}},
        {1, 0.0009, {"11001"}}, {1, 15552000.5, {"11001"}}, {nan, 1, {"11000"}}, {1, nan, {"11001"}},
        {inf, 1, {"11000"}}, {1, -inf, {"11001"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.timeout << " " << c.timeToLive);
        bool valid = false;
        auto r = record(c.timeout, c.timeToLive);
        EXPECT_EQ(codes(analyticstest::logged([&] { valid = QRVAIsValidConditionalUserProperty(r); })), c.codes);
        EXPECT_EQ(valid, c.codes.empty());
    }
}

TEST_F(ConditionalUserPropertyTest, TheQueryFiltersByNamePrefixAndOriginWithLike) {
    store({{"ab_x", "app"}, {"Abc", "app"}, {"axb", "auto"}, {"b", "app"}});
    const struct {
        ns::Value prefix, origin;
        std::optional<Strings> names;  // nullopt: refused with the code
        Strings codes;
    } cases[] = {
        {nullptr, nullptr, {{"ab_x", "Abc", "axb", "b"}}, {}}, {"ab", nullptr, {{"ab_x", "Abc"}}, {}},
        {"a_", "", {{"ab_x", "Abc", "axb"}}, {}},            {"%b", "app", {{"ab_x", "Abc", "b"}}, {}},
        {nullptr, "AUTO", {{"axb"}}, {}},                      {"zz", nullptr, {{}}, {}},
        {int64_t(5), nullptr, std::nullopt, {"11003"}},        {"a", ns::Data{1}, std::nullopt, {"11004"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.prefix.description() + " " + c.origin.description());
        std::optional<Strings> names;
        EXPECT_EQ(codes(analyticstest::logged([&] {
                      auto found = cup()->conditionalUserPropertiesWithNamePrefix(c.prefix, c.origin);
                      if (found) names.emplace();
                      for (const auto& p : found.value_or(Records::value_type())) names->push_back(p.name);
                  })),
                  c.codes);
        EXPECT_EQ(names, c.names);
    }
}

TEST_F(ConditionalUserPropertyTest, PastAThousandRecordsANewNameIsRolledBackWhileStoredNamesStillUpdate) {
    std::vector<std::pair<std::string, std::string>> full;
    for (int i = 0; i < 1000; ++i) full.emplace_back("n" + std::to_string(i), "app");
    store(full);
    auto set = [&](const std::string& name) {
        return codes(analyticstest::logged([&] {
            cup()->setConditionalUserProperty(record(60, 600, "cup_on"), name);
            enginetest::drain(*engine_);
        }));
    };
    // The value was applied before the insert failed: the roll back takes it away again.
    EXPECT_EQ(set("over"), (Strings{"11012", "11014"}));
    EXPECT_EQ(count("SELECT COUNT(*) FROM user_attributes WHERE name = 'over'"), 0);
    EXPECT_EQ(count("SELECT COUNT(*) FROM raw_events WHERE name = 'cup_on'"), 0);
    EXPECT_EQ(set("n7"), (Strings{"11012", "11013"}));
    EXPECT_EQ(count("SELECT COUNT(*) FROM conditional_properties"), 1000);
    EXPECT_EQ(count("SELECT COUNT(*) FROM raw_events WHERE name = 'cup_on'"), 1);
}

TEST_F(ConditionalUserPropertyTest, AQueryThatGaveUpWaitingSharesNothingWithTheLateRead) {
    Records fromWorker = Records::value_type();
    enginetest::onWorker(*engine_, [&] { fromWorker = cup()->conditionalUserPropertiesWithNamePrefix("a", nullptr); });
    EXPECT_FALSE(fromWorker);  // at once: the read could only come after the wait
    ns::DispatchSemaphore release;
    engine_->scheduler()->scheduleOnWorkerQueueBlockID("test", [&release] { release.wait(); });
    std::atomic<bool> answered = false;
    Records answer = Records::value_type();
    std::thread caller([&] {
        answer = cup()->conditionalUserPropertiesWithNamePrefix("a", nullptr);
        answered = true;
    });
    for (int i = 0; i < 600 && !answered; ++i) {
        clock_->advance(kQRVAConditionalUserPropertyQueryTimeout);
        ns::RunLoop::main().runUntil([&] { return answered.load(); }, 0.05);
    }
    caller.join();
    EXPECT_FALSE(answer);
    release.signal();
    enginetest::drain(*engine_);  // the late read writes only what it shares with the query
}
