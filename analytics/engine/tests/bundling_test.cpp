// Bundling over a real store: which raw events share a bundle (metadata,
// clock hour, event and size limits), what a bundle carries, the day's
// conversion and real-time limits, and runs that can never go out (rejected
// or unreadable) leaving the store instead of stalling every later pass.

#include <gtest/gtest.h>

#include "analytics/QRVAAudience.h"
#include "analytics/QRVAAudienceFilters.h"
#include <google/protobuf/util/json_util.h>

#include <nlohmann/json.hpp>

#include "analytics/QRVADatabase.h"
#include "analytics/QRVAEnvironmentInfo.h"
#include "analytics/QRVAIdentity.h"
#include "analytics/QRVAMeasurement.h"
#include "analytics/QRVAPersistedConfig.h"
#include "analytics/QRVARemoteConfig.h"
#include "analytics/QRVAScheduler.h"
#include "analytics/QRVASqliteStore.h"
#include "core/QRVLogger.h"
#include "core/QRVOptions.h"
#include "platform/clock.h"
#include "platform/runloop.h"
#include "platform/toolbox.h"
#include "engine_test_support.h"
#include "testing/temp_sandbox.h"
#include "monitor_lines.h"
#include "wire_reflection.h"

namespace {

using json = nlohmann::json;
using Strings = std::vector<std::string>;
constexpr double kHour = 1'699'999'200;     // the clock hour the virtual clock starts in
constexpr double kFarHour = 2'999'998'800;  // past 32-bit seconds
constexpr const char* kAppID = "1:48:ios:7d1f";

struct Step {
    std::string name;  // "+p" / "-p": set / remove a user property instead
    double offset;     // seconds after the hour
};

class BundlingTest : public ::testing::Test {
protected:
    void SetUp() override {
        QRVLoggerResetForTesting();
        sandbox_.writeBundlePlist("Info.plist", ns::Dictionary{{"CFBundleIdentifier", "com.almavel.app"}});
        const ns::Dictionary options{{kQRVOptionsKeyOndrixAppID, kAppID}, {kQRVOptionsKeyAPIKey, "AKtest"}};
        sandbox_.writeBundlePlist(kQRVOptionsFileName, options);
        resetProcess();
    }
    void TearDown() override {
        if (engine_) onWorker([] {});
        QRVAMeasurement::resetSharedForTesting();
        resetProcess();
    }
    static void resetProcess() { enginetest::resetProcess(); }
    void start(double hour = kHour) {
        hour_ = hour;
        clock_ = ns::VirtualClock::install(hour + 800);
        engine_ = QRVAMeasurement::initWithOptions(QRVOptions::defaultOptions());
        onWorker([] {});
        onWorker([] {});
        sql("DELETE FROM raw_events");  // the start's own events
    }
    void onWorker(const std::function<void()>& work) { enginetest::onWorker(*engine_, work); }
    void configure(const json& settings, const json& eventConfig = json::array()) {
        json config = enginetest::configWithSettings(kAppID, settings, 7);
        config["event_config"] = eventConfig;
        auto wrapper = enginetest::measurementConfig(config);
        onWorker([&] { ASSERT_TRUE(engine_->currentRemoteConfig()->updateMeasurementConfig(wrapper)); });
    }
    void write(const Step& step, const QRVAObjectParameters& parameters = {}) {
        onWorker([&] {
            auto property = QRVAUserAttribute::initWithOrigin("app", "p", QRVAValue::string("gold"), hour_);
            if (step.name == "+p") return engine_->setUserAttributeOnWorkerQueue(*property);
            if (step.name == "-p") return engine_->removeUserAttributeOnWorkerQueue(*property);
            engine_->writeEventOnWorkerQueue(*QRVAEvent::initWithOrigin("app", step.name[0] != '_', step.name,
                                                                        hour_ + step.offset, 0, parameters));
        });
    }
    bool bundle() {
        bool made = false;
        onWorker([&] { made = engine_->bundleRawEvents(); });
        return made;
    }
    int64_t number(const std::string& query) {
        int64_t answer = -1;
        onWorker([&] { answer = engine_->database()->sqliteStore()->numberForQuery(query, {}, nullptr).intValue(-1); });
        return answer;
    }
    void sql(const std::string& statement) {
        onWorker([&] { ASSERT_TRUE(engine_->database()->sqliteStore()->executeSQL(statement, nullptr)); });
    }
    // Passes until no raw event is left: what each answered.
    std::vector<bool> bundleAll() {
        std::vector<bool> answers;
        while (answers.size() < 10 && number("SELECT COUNT(*) FROM raw_events") > 0) answers.push_back(bundle());
        return answers;
    }
    // The queued bundles in the order they were made, taken off the queue.
    std::vector<qrvanalytics::MeasurementBundle> taken() {
        std::vector<qrvanalytics::MeasurementBundle> out;
        onWorker([&] {
            auto queue = engine_->database()->queryBundlesWithCountLimit(100, 1 << 30, nullptr);
            for (const auto& queued : queue.value_or(std::vector<QRVAQueuedBundle>{})) {
                EXPECT_TRUE(queued.wire);  // what the engine writes goes out as it is stored
                wiretest::fromWrapper(queued.record(), out.emplace_back());
            }
            engine_->database()->sqliteStore()->executeSQL("DELETE FROM queue", nullptr);
        });
        std::sort(out.begin(), out.end(), [](auto& a, auto& b) { return a.bundle_index() < b.bundle_index(); });
        return out;
    }
    // Each bundle's event names, or with `describe` its own text.
    Strings names(std::function<std::string(const qrvanalytics::MeasurementBundle&)> describe = nullptr) {
        Strings out;
        for (const auto& bundle : taken()) {
            std::string text;
            for (const auto& event : bundle.events()) text += (text.empty() ? "" : " ") + event.name();
            out.push_back(describe ? describe(bundle) : text);
        }
        return out;
    }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::VirtualClock> clock_;
    std::shared_ptr<QRVAMeasurement> engine_;
    double hour_ = kHour;
};

int count(const Strings& lines, int code) {
    return int(std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& line) { return line.starts_with(std::to_string(code) + " "); }));
}

// "<index> <start>-<end> <previous start>-<previous end>", in ms after kHour.
std::string span(const qrvanalytics::MeasurementBundle& b) {
    auto ms = [](bool has, int64_t millis) { return has ? std::to_string(millis - int64_t(kHour) * 1000) : "_"; };
    return std::to_string(b.bundle_index()) + " " + ms(true, b.start_timestamp_millis()) + "-" +
           ms(true, b.end_timestamp_millis()) + " " +
           ms(b.has_previous_bundle_start_timestamp_millis(), b.previous_bundle_start_timestamp_millis()) + "-" +
           ms(b.has_previous_bundle_end_timestamp_millis(), b.previous_bundle_end_timestamp_millis());
}

// The conversion, real-time and error parameters of each event.
std::string flags(const qrvanalytics::MeasurementBundle& bundle) {
    std::string out;
    for (const auto& event : bundle.events()) {
        out += out.empty() ? "" : " ";
        for (const char* name : {"_c", "_r", "_err"}) {
            const auto& params = event.params();
            auto at = std::find_if(params.begin(), params.end(), [&](auto& p) { return p.name() == name; });
            out += at == params.end() ? "-" : std::to_string(at->int_value());
        }
    }
    return out;
}

}  // namespace

TEST_F(BundlingTest, ABundleIsAConsecutiveRunOfOneMetadataRowInOneClockHourWithinTheLimits) {
    const struct {
        json settings;
        std::vector<Step> steps;
        Strings bundles;
    } cases[] = {
        {{}, {{"a", 10}, {"b", 3599}, {"c", 3600}}, {"a b", "c"}},
        {{}, {{"a", 1}, {"b", 2}, {"+p", 0}, {"c", 3}, {"-p", 0}, {"d", 4}}, {"a b", "c", "d"}},
        {{{"measurement.upload.max_events_per_bundle", "3"}}, {{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}, {"e", 5}},
         {"a b c", "d e"}},
        // A first event at or over the size limit goes out alone.
        {{{"measurement.upload.max_batch_size", "100"}}, {{"big", 1}, {"a", 2}, {"b", 3}, {"big", 4}},
         {"big", "a b", "big"}},
        {{{"measurement.upload.max_batch_size", "0"}}, {{"a", 1}, {"b", 2}}, {"a", "b"}},
    };
    const QRVAObjectParameters text{{"text", std::string(100, 'x')}};
    start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings.dump());
        configure(c.settings);
        for (const auto& step : c.steps) write(step, step.name == "big" ? text : QRVAObjectParameters{});
        EXPECT_EQ(bundleAll(), std::vector<bool>(c.bundles.size(), true));
        EXPECT_EQ(names(), c.bundles);
        EXPECT_EQ(number("SELECT COUNT(*) FROM raw_events_metadata"), 0);
    }
}

TEST_F(BundlingTest, FarFutureEventsAreGroupedByTheirOwnClockHour) {
    start(kFarHour);
    for (const Step& step : std::vector<Step>{{"a", 10}, {"b", 20}, {"c", 3610}}) write(step);
    bundleAll();
    EXPECT_EQ(names(), (Strings{"a b", "c"}));
}

TEST_F(BundlingTest, ABundleCarriesItsMetadataSpanIndexAndThePreviousBundleTimes) {
    start();
    configure({});
    EXPECT_FALSE(bundle());  // an empty store
    for (const Step& step : std::vector<Step>{{"a", 10}, {"a", 20.5}, {"b", 3700}}) write(step);
    bundleAll();
    const auto bundles = taken();
    ASSERT_EQ(bundles.size(), 2u);
    const auto& first = bundles[0];
    EXPECT_EQ(first.protocol_version(), 1);
    EXPECT_EQ(first.platform(), "ios");
    EXPECT_EQ(first.app_id(), "com.almavel.app");
    onWorker([&] { EXPECT_EQ(first.app_instance_id(), engine_->identity()->appInstanceID()); });
    EXPECT_EQ(first.config_version(), 7);
    EXPECT_EQ(first.events(1).previous_timestamp_millis(), first.events(0).timestamp_millis());
    EXPECT_EQ(span(first), "1 10000-20500 _-_");
    EXPECT_EQ(span(bundles[1]), "2 3700000-3700000 10000-20500");

    // App metadata that knows only an end gives it as both previous times.
    auto endOnly = QRVAAppMetadata::initWithLastBundleIndex(5, 0, kHour);
    onWorker([&] { engine_->database()->updateAppMetadata(*endOnly, nullptr); });
    write({"c", 30});
    bundleAll();
    EXPECT_EQ(names(span), Strings{"6 30000-30000 0-0"});
}

TEST_F(BundlingTest, EachEventOfAPassMeetsTheFiltersWithTheCountsBeforeIt) {
    start();
    configure({});
    // Audience 4 holds after the third "a" ever; "b" has no filter.
    auto count = QRVAPBNumberFilter::message();
    NANOSetInt32(count, QRVAPBField::NumberFilter::comparison_type, kQRVAComparisonGreaterThan);
    NANOSetString(count, QRVAPBField::NumberFilter::comparison_value, "2");
    auto filter = QRVAPBEventFilter::message();
    NANOSetInt32(filter, QRVAPBField::EventFilter::filter_id, 0);
    NANOSetString(filter, QRVAPBField::EventFilter::event_name, "a");
    NANOSetMessage(filter, QRVAPBField::EventFilter::event_count_filter, count);
    auto audience = QRVAPBAudience::message();
    NANOSetInt32(audience, QRVAPBField::Audience::audience_id, 4);
    NANOSetArray(audience, QRVAPBField::Audience::event_filters, {ns::Value(ns::ObjectPtr(filter))});
    onWorker([&] { ASSERT_TRUE(engine_->audience()->updateAudiences({audience})); });
    const std::vector<Step> steps{{"+p", 0}, {"a", 10}, {"b", 11}, {"a", 12}, {"a", 3700}, {"a", 3701}};
    for (const Step& step : steps) write(step);
    bundleAll();
    // Stored as the encoder writes the bundle it reads back, byte for byte.
    onWorker([&] {
        auto rows = engine_->database()->sqliteStore()->recordsForQuery("SELECT data FROM queue", {}, nullptr);
        ASSERT_EQ(rows->size(), 2u);
        for (const auto& row : *rows) {
            const ns::Data stored = htk_dataByInflatingData(QRVARowValue(row, "data").asData(), nullptr);
            EXPECT_EQ(QRVAPBMeasurementBundle::initWithBuffer(stored)->protoBuffer(), stored);
        }
    });
    const auto bundles = taken();
    ASSERT_EQ(bundles.size(), 2u);
    auto holds = [](const qrvanalytics::MeasurementBundle& bundle) {
        EXPECT_EQ(bundle.audience_evaluation_results_size(), 1);
        const auto& current = bundle.audience_evaluation_results(0).current_results();
        return current.results_size() > 0 && (current.results(0) & 1) != 0;
    };
    EXPECT_FALSE(holds(bundles[0]));  // two "a" so far
    EXPECT_TRUE(holds(bundles[1]));   // the third, then a fourth
    EXPECT_EQ(number("SELECT lifetime_count FROM events WHERE name = 'a'"), 4);
    EXPECT_EQ(number("SELECT current_bundle_count FROM events WHERE name = 'b'"), 1);
}

TEST_F(BundlingTest, TheDayLimitsUnmarkConversionsAndRealtimeEventsPastThemAndStartAgainOnANewDay) {
    start();
    configure({{"measurement.upload.max_conversions_per_day", "1"},
               {"measurement.upload.max_realtime_events_per_day", "2"}},
              {{{"name", "purchase"}, {"custom_conversion", true}}});
    for (const Step& step : std::vector<Step>{{"purchase", 1}, {"purchase", 2}, {"_f", 5}}) write(step);
    write({"_vs", 3}, {{"_r", int64_t(1)}});
    write({"_vs", 4}, {{"_r", int64_t(1)}});
    const auto lines = analyticstest::logged([&] { EXPECT_TRUE(bundle()); });
    EXPECT_EQ(count(lines, 23102) * 10 + count(lines, 23104), 11);
    EXPECT_EQ(number("SELECT is_realtime FROM queue"), 1);
    EXPECT_EQ(names(flags), Strings{"11- --10 11- -1- ---"});
    EXPECT_EQ(number("SELECT daily_conversions_count * 10 + daily_real_time_conversion_events_count FROM app_metadata"),
              12);

    // Counters stored on an earlier day are no limit for today's bundles.
    write({"purchase", 6});
    sql("UPDATE app_metadata SET day = day - 1");
    EXPECT_TRUE(bundle());
    EXPECT_EQ(names(flags), Strings{"11-"});
}

TEST_F(BundlingTest, RunsThatCanNeverGoOutAreDeletedAndTheNextPassGoesOn) {
    const json blacklist = {{{"name", "promo"}, {"blacklisted", true}}};
    const struct {
        json eventConfig;  // in force once the events are written
        std::string damage;
        std::vector<Step> steps;
        std::vector<bool> answers;
        Strings bundles;
        int code;  // logged once
    } cases[] = {
        {blacklist, "", {{"a", 1}, {"promo", 2}, {"b", 3}}, {true}, {"a b"}, 23099},
        {blacklist, "", {{"promo", 1}, {"promo", 2}, {"b", 3601}}, {false, true}, {"b"}, 23100},
        {{}, "UPDATE raw_events SET data = x'FF' WHERE name = 'a'", {{"a", 1}, {"b", 2}, {"c", 3}}, {true}, {"b c"},
         23096},
        {{}, "UPDATE raw_events SET data = x'' WHERE name = 'b'", {{"a", 1}, {"b", 2}, {"c", 3}}, {true}, {"a c"},
         23096},
        {{}, "UPDATE raw_events SET data = x'FF'", {{"a", 1}}, {false}, {}, 23096},
        {{}, "UPDATE raw_events_metadata SET metadata = x'FF'", {{"a", 1}, {"b", 2}}, {false}, {}, 23098},
        {{}, "", {{"a", -kHour}}, {false}, {}, 23115},  // a time no bundle can hold
    };
    start();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.damage + c.eventConfig.dump());
        configure({});
        for (const auto& step : c.steps) write(step);
        configure({}, c.eventConfig);
        if (!c.damage.empty()) sql(c.damage);
        std::vector<bool> answers;
        const auto lines = analyticstest::logged([&] { answers = bundleAll(); });
        EXPECT_EQ(answers, c.answers);
        EXPECT_EQ(names(), c.bundles);
        EXPECT_EQ(count(lines, c.code) * 10 + count(lines, 23097), 10);
        EXPECT_EQ(number("SELECT COUNT(*) FROM raw_events_metadata"), 0);
    }
}
