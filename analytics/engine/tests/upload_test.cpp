// The engine's uploads against the local back end's measurement service,
// on the virtual clock: the due-time rules, the batch of one app and device,
// a fresh install's first configuration and upload, failures answered with
// retries and back-off, a batch that cannot be encoded, and the suspension
// after a delete that fails.

#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "core/nano/nano_pb.h"
#include "upload_test_support.h"

namespace {

namespace MB = QRVAPBField::MeasurementBundle;

std::shared_ptr<QRVAPBMeasurementBundle> bundle(const std::string& appID, const std::string& resettable,
                                                const std::string& vendor) {
    auto bundle = QRVAPBMeasurementBundle::message();
    NANOSetString(bundle, MB::app_id, appID);
    if (!resettable.empty()) NANOSetString(bundle, MB::resettable_device_id, resettable);
    if (!vendor.empty()) NANOSetString(bundle, MB::vendor_device_id, vendor);
    return bundle;
}

}  // namespace

using uploadtest::kAppID;
using uploadtest::kStart;
using uploadtest::UploadTest;

TEST_F(UploadTest, TheNextUploadFollowsTheIntervalsRetriesAndDebugMode) {
    start();
    ns::Reachability::setOverride(ns::Reachability::Status::NotReachable);  // nothing fires by itself
    const double now = ns::Clock::nowSeconds();
    const struct {
        double data, lastSuccess, lastFailed;
        bool realtime, debug;
        double expected;  // relative to now; NAN: never
    } cases[] = {
        {-20, 0, 0, false, false, -5},             // data time + initial delay
        {20, 0, 0, false, false, -5},              // future data mirrored into the past
        {-20, -600, 0, false, false, 3000},        // interval after the last success
        {-20, -5, 0, true, false, 5},              // real-time interval
        {-20, -600, 0, false, true, -19},          // debug interval when earlier
        {-20, 0, -10, false, false, 1795},         // first retry after a failed attempt
        {-20, 0, 4000, false, false, 5395},        // 1, 3, 7 ... retry intervals
        {-20, 0, 63 * 1800, false, false, NAN},    // retries used up
        {NAN, 0, 0, false, false, NAN},            // no data
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "data " << c.data << " failed " << c.lastFailed);
        persisted()->setLastSuccessfulUploadTimestamp(c.lastSuccess ? now + c.lastSuccess : 0);
        persisted()->setLastFailedUploadTimestamp(c.lastFailed ? now + c.lastFailed : 0);
        QRVAMeasurementMonitor()->setDebugModeEnabled(c.debug);
        sql("DELETE FROM raw_events");
        if (!std::isnan(c.data)) {
            logEvents(1);
            sql(ns::format("UPDATE raw_events SET timestamp = %f, is_realtime = %d", now + c.data, int(c.realtime)));
        }
        double next = -1;
        onWorker([&] { next = engine_->nextUploadingTime(); });
        EXPECT_EQ(next, std::isnan(c.expected) ? 0 : now + c.expected);
    }
}

TEST_F(UploadTest, ABatchTakesTheLeadingBundlesOfOneAppAndOneDevice) {
    start();
    const struct {
        std::string resettable, vendor;
        std::vector<std::array<std::string, 3>> queue;  // app id, resettable id, vendor id
        size_t taken;
    } cases[] = {
        {"", "", {{"a", "", ""}, {"a", "r", ""}, {"b", "", ""}, {"a", "", ""}}, 2},
        {"r1", "", {{"a", "r1", ""}, {"a", "", "v"}, {"a", "r2", ""}, {"a", "r1", ""}}, 2},
        {"", "v1", {{"a", "", "v1"}, {"a", "", "v2"}}, 1},
        {"r1", "v1", {{"a", "r1", ""}}, 0},
    };
    for (const auto& c : cases) {
        std::vector<QRVAQueuedBundle> queue;
        for (const auto& [app, resettable, vendor] : c.queue) queue.push_back({bundle(app, resettable, vendor), 1});
        EXPECT_EQ(engine_->filteredBundlesWithCompatibleAppID("a", c.resettable, c.vendor, queue).size(), c.taken);
    }
}

TEST_F(UploadTest, AFreshInstallFetchesItsConfigurationThenUploadsEveryEventInBundles) {
    start();
    logEvents(10);
    engine_->setUserAttribute(QRVAUserAttribute::initWithOrigin("app", "tier", QRVAValue::string("gold"), kStart));
    logEvents(15);
    advance(11);  // into the next clock hour
    logEvents(25);
    EXPECT_EQ(requests().size(), 0u);
    advance(4);  // the alarm armed by the first events
    settle();

    const auto sent = requests();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0]["status"], 200);
    EXPECT_EQ(sent[0]["ifModifiedSince"], "");
    EXPECT_EQ(sent[1]["path"], "/a");
    EXPECT_EQ(sent[1]["contentEncoding"], "gzip");
    std::string instanceID;
    onWorker([&] { instanceID = engine_->identity()->appInstanceID(); });
    std::vector<size_t> runs;
    nlohmann::json previous;
    for (const auto& b : bundles()) {
        EXPECT_EQ(b["protocol_version"], 1);
        EXPECT_EQ(b["platform"], "ios");
        EXPECT_EQ(b["app_instance_id"], instanceID);
        EXPECT_EQ(b["upload_timestamp_millis"], int64_t(kStart + 15) * 1000);
        EXPECT_EQ(b["uploading_library_version"], kQRVAAnalyticsLibraryVersion);
        EXPECT_EQ(b["start_timestamp_millis"].get<int64_t>() / 3600000, b["end_timestamp_millis"].get<int64_t>() / 3600000);
        if (!previous.is_null()) {
            EXPECT_EQ(b["bundle_index"], previous["bundle_index"].get<int>() + 1);
            EXPECT_EQ(b["previous_bundle_end_timestamp_millis"], previous["end_timestamp_millis"]);
            EXPECT_EQ(b["previous_bundle_start_timestamp_millis"], previous["start_timestamp_millis"]);
        }
        previous = b;
        runs.push_back(eventsNamed(b, "upload_probe"));
    }
    std::erase(runs, 0);
    EXPECT_EQ(runs, (std::vector<size_t>{10, 15, 25}));  // one metadata, one clock hour
    EXPECT_EQ(count("queue"), 0);
    EXPECT_EQ(count("raw_events"), 0);
}

TEST_F(UploadTest, FailuresAreRetriedOnTheDoublingScheduleAndBackOffWithNothingLost) {
    start();
    logEvents(5);
    const double base = kStart + 15;
    const struct {
        ns::testing::AnalyticsFault fault;
        double at;  // the attempt answered with the fault, from base
        bool backedOff;
    } attempts[] = {
        {{.count = 2, .cut = true}, 0, false},  // a dropped connection is tried once more
        {{.status = 500, .delayMs = 60000}, 1800, false},  // the client gives up first
        {{.status = 500}, 5400, false},
        {{.status = 503}, 12600, true},
        {{.status = 429}, 12600 + 43200, true},  // held back from 27000 to the 503's back-off
        {{.status = 500}, 113400, true},
    };
    for (const auto& attempt : attempts) {
        SCOPED_TRACE(attempt.at);
        backend_->clearAnalyticsFaults();
        backend_->addAnalyticsFault(attempt.fault);
        const double failedBefore = persisted()->lastFailedUploadTimestamp();
        advanceTo(base + attempt.at - 1);
        settle();
        EXPECT_EQ(persisted()->lastFailedUploadTimestamp(), failedBefore);  // no attempt yet
        advanceTo(base + attempt.at);
        if (attempt.fault.delayMs) timeOut();
        settle();
        EXPECT_GE(persisted()->lastFailedUploadTimestamp(), base + attempt.at);
        EXPECT_EQ(persisted()->lastSuccessfulUploadTimestamp(), 0);
        EXPECT_EQ(persisted()->lastBackoffTimestamp() != 0, attempt.backedOff);
        EXPECT_GT(count("queue"), 0);
    }
    const double lastFailed = persisted()->lastFailedUploadTimestamp();
    advanceTo(base + 63 * 1800 + 3600);  // retries used up: nothing more is sent
    settle();
    EXPECT_EQ(persisted()->lastFailedUploadTimestamp(), lastFailed);
    logEvents(1);  // new data starts over
    advance(16);
    // The expired configuration is fetched between two posts: settle until
    // the chain has carried the new event out.
    for (int i = 0; i < 50 && (count("queue") > 0 || count("raw_events") > 0); ++i) settle();
    EXPECT_EQ(persisted()->lastBackoffTimestamp(), 0);
    size_t stored = 0;
    for (const auto& b : bundles()) stored += eventsNamed(b, "upload_probe");
    EXPECT_EQ(stored, 6u);
    EXPECT_EQ(count("queue"), 0);
}

TEST_F(UploadTest, AcceptedBundlesThatCannotBeDeletedSuspendUploadsForAnHourAndGoAgain) {
    start();
    logEvents(4);
    sql("CREATE TEMP TRIGGER keep_queue BEFORE DELETE ON queue BEGIN SELECT RAISE(ABORT, 'held'); END");
    advance(16);
    EXPECT_TRUE(settleUntil([&] { return engine_->suspendedUploadTimestamp() != 0; }));
    EXPECT_GT(count("queue"), 0);
    sql("DROP TRIGGER keep_queue");
    const size_t sent = requests().size();
    logEvents(1);
    advance(1800);
    EXPECT_EQ(requests().size(), sent);
    advance(1801);
    logEvents(1);
    advance(16);
    EXPECT_TRUE(settleUntil([&] {
        return engine_->suspendedUploadTimestamp() == 0 && rowsIn("queue") == 0 && rowsIn("raw_events") == 0;
    }));
    const auto batches = backend_->analyticsBatches();
    EXPECT_GT(batches["duplicates"].get<int>(), 0);
    size_t stored = 0;
    for (const auto& b : bundles()) stored += eventsNamed(b, "upload_probe");
    EXPECT_EQ(stored, 6u);
    EXPECT_EQ(count("queue"), 0);
}

TEST_F(UploadTest, ABatchThatCannotBeEncodedOrIsEmptyIsNeverPosted) {
    start();
    auto broken = bundle(kAppID, "", "");
    nano_free_string(static_cast<StringInfo*>(broken->messageInfo()->messageFields[MB::app_id]));
    for (const auto& queue : {std::vector<QRVAQueuedBundle>{}, std::vector<QRVAQueuedBundle>{{broken, 7}}}) {
        persisted()->setLastFailedUploadTimestamp(0);
        onWorker([&] { engine_->uploadBundles(queue); });
        settle();
        EXPECT_EQ(persisted()->lastFailedUploadTimestamp() != 0, !queue.empty());  // a failed attempt
        EXPECT_TRUE(engine_->uploadingBundleIDs().empty());
    }
    EXPECT_EQ(requests().size(), 0u);
}
