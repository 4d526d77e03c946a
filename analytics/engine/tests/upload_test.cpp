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
    // the chain has carried the new event out, however slowly it runs. Raw
    // events are counted first: bundling moves them into the queue between
    // the two counts, never the other way.
    for (int i = 0; i < 600 && (count("raw_events") > 0 || count("queue") > 0); ++i) {
        settle();
        ns::RunLoop::main().runUntil([] { return false; }, 0.05);
    }
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

namespace {

// A bundle as the bundling step makes one: events with parameters, a user
// property, ids, a negative int32 and a bool.
std::shared_ptr<QRVAPBMeasurementBundle> fullBundle(bool withProtocol) {
    namespace E = QRVAPBField::Event;
    namespace P = QRVAPBField::EventParam;
    auto made = bundle(kAppID, "r-1", "");
    if (withProtocol) NANOSetInt32(made, MB::protocol_version, 1);
    ns::Array events;
    for (int i = 0; i < 3; ++i) {
        auto event = QRVAPBEvent::message();
        auto param = QRVAPBEventParam::message();
        NANOSetString(param, P::name, "item");
        i == 1 ? NANOSetDouble(param, P::double_value, -0.5) : NANOSetInt64(param, P::int_value, -i);
        NANOSetString(event, E::name, "view_" + std::to_string(i));
        NANOSetInt64(event, E::timestamp_millis, 1'700'000'000'000 + i);
        NANOSetArray(event, E::params, {ns::ObjectPtr(param)});
        events.emplace_back(ns::ObjectPtr(event));
    }
    NANOSetArray(made, MB::events, events);
    auto attribute = QRVAPBUserAttribute::message();
    NANOSetString(attribute, QRVAPBField::UserAttribute::name, "tier");
    NANOSetArray(made, MB::user_attributes, {ns::ObjectPtr(attribute)});
    NANOSetInt32(made, MB::timezone_offset_minutes, -180);
    NANOSetBool(made, MB::limited_ad_tracking, true);
    NANOSetInt64(made, MB::previous_bundle_end_timestamp_millis, 1'699'999'000'000);
    return made;
}

// Today's way: decoded, stamped, moved into a batch, encoded.
ns::Data reencodedBody(const std::vector<ns::Data>& stored, int64_t millis) {
    std::vector<std::shared_ptr<QRVAPBMeasurementBundle>> records;
    for (const auto& bytes : stored) {
        records.push_back(QRVAPBMeasurementBundle::initWithBuffer(bytes));
        NANOSetInt64(records.back(), MB::uploading_library_version, QRVAIdentity::quorvaneAnalyticsLibraryVersion());
        NANOSetInt64(records.back(), MB::upload_timestamp_millis, millis);
    }
    auto batch = QRVAPBMeasurementBatch::message();
    EXPECT_TRUE(QRVAPBMoveMessages(batch, QRVAPBField::MeasurementBatch::bundles, records));
    return batch->protoBuffer().value_or(ns::Data{});
}

}  // namespace

TEST(UploadBody, StoredBytesGoOutAsTheReencodedBatchWouldWriteThem) {
    auto stamped = fullBundle(true);
    NANOSetInt64(stamped, MB::upload_timestamp_millis, 5);
    auto emptyText = fullBundle(true);
    NANOSetString(emptyText, MB::app_store, "");
    const struct {
        const char* name;
        std::shared_ptr<QRVAPBMeasurementBundle> bundle;
        ns::Data before, after;  // raw bytes around the encoding
        bool kept;               // as bytes, not decoded
    } cases[] = {
        {"as encoded", fullBundle(true), {}, {}, true},
        {"ids only", bundle(kAppID, "", "v-1"), {}, {}, true},
        {"ids that are not text", bundle("pa.\xc3x", "r-\xff", "v-1"), {}, {}, true},
        {"nothing past the stamps' tags", QRVAPBMeasurementBundle::message(), {0x08, 0x01}, {}, true},
        {"stamped before", stamped, {}, {}, false},
        {"unknown field", fullBundle(true), {}, {0xF8, 0x07, 0x01}, false},
        {"out of tag order", fullBundle(false), {}, {0x08, 0x01}, false},
        {"padded varint", fullBundle(false), {0x08, 0x81, 0x00}, {}, false},
        {"bool of 2", bundle(kAppID, "", ""), {}, {0xA0, 0x01, 0x02}, false},
        {"empty text", emptyText, {}, {}, false},
    };
    const int64_t millis = 1'700'000'123'456;
    std::vector<ns::Data> all;
    std::vector<QRVAQueuedBundle> queue;
    for (const auto& c : cases) {
        ns::Data bytes = c.before;
        const auto encoded = c.bundle->protoBuffer().value_or(ns::Data{});
        bytes.insert(bytes.end(), encoded.begin(), encoded.end());
        bytes.insert(bytes.end(), c.after.begin(), c.after.end());
        all.push_back(bytes);
        auto copy = bytes;
        QRVAQueuedBundle queued{nullptr, 1, QRVAWireBundle::of(std::move(copy))};
        EXPECT_EQ(queued.wire != nullptr, c.kept) << c.name;
        if (!queued.wire) queued.bundle = QRVAPBMeasurementBundle::initWithBuffer(bytes);
        EXPECT_EQ(queued.appID(), NANOGetString(queued.record(), MB::app_id).value_or("")) << c.name;
        EXPECT_EQ(queued.resettableDeviceID(), NANOGetString(queued.record(), MB::resettable_device_id).value_or(""));
        queue.push_back(queued);
        EXPECT_EQ(QRVAMeasurement::batchPayload({queued}, millis), reencodedBody({bytes}, millis)) << c.name;
    }
    EXPECT_EQ(QRVAMeasurement::batchPayload(queue, -millis), reencodedBody(all, -millis));
}

TEST(UploadBody, BytesTheWalkKeepsAfterAnyOneByteChangeStillDecodeToThemselves) {
    const auto encoded = fullBundle(true)->protoBuffer().value_or(ns::Data{});
    size_t kept = 0;
    for (size_t i = 0; i < encoded.size(); ++i) {
        for (const uint8_t flip : {0x01, 0x08, 0x80, 0xFF}) {
            auto bytes = encoded;
            bytes[i] ^= flip;
            auto copy = bytes;
            QRVAQueuedBundle queued{nullptr, 1, QRVAWireBundle::of(std::move(copy))};
            if (!queued.wire) continue;
            ++kept;
            ASSERT_TRUE(QRVAPBMeasurementBundle::initWithBuffer(bytes)) << i;
            EXPECT_EQ(QRVAMeasurement::batchPayload({queued}, 7), reencodedBody({bytes}, 7)) << i << " " << int(flip);
        }
    }
    EXPECT_GT(kept, encoded.size());  // changed texts and numbers are still the encoder's
}
