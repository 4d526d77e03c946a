// The measurement service of the almavel-backend program, started for real
// and spoken to over loopback HTTPS with bodies libprotobuf and zlib make.

#include <gtest/gtest.h>
#include <google/protobuf/util/json_util.h>
#include <google/protobuf/util/message_differencer.h>
#include <sqlite3.h>
#include <unistd.h>
#include <zlib.h>

#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "analytics_proto/qrvanalytics.pb.h"
#include "testing/app_backend.h"

namespace {

using json = nlohmann::json;
using google::protobuf::util::MessageDifferencer;
using ns::testing::AnalyticsFault;
using ns::testing::Backend;
using ns::testing::HttpReply;
using ns::testing::toReply;

constexpr const char* kSampleAppId = ns::testing::kTestAppID;
constexpr const char* kEscapedSampleAppId = "1%3A480326711275%3Aios%3A7d1f6c2b9a0e4c3f";

std::string gzip(const std::string& bytes) {
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&stream, uLong(bytes.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = uInt(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

// A bundle with something in every kind of field; `index` tells bundles apart.
qrvanalytics::MeasurementBundle bundle(int index, const std::string& appId = kSampleAppId) {
    qrvanalytics::MeasurementBundle b;
    b.set_protocol_version(1);
    b.set_app_id(appId);
    b.set_app_instance_id("f3a9c1d27b4e4f0a9d3c2b1a0e9f8d7c");
    b.set_bundle_index(index);
    b.set_upload_timestamp_millis(1765170000123 + index);
    b.set_uploading_library_version(110300);
    // Above 2^53: read back through a double, it would change.
    b.set_start_timestamp_millis(9007199254740993LL);
    b.set_platform("ios");
    auto* event = b.add_events();
    event->set_name("purchase");
    event->set_timestamp_millis(1765169990000 + index);
    event->add_params()->set_name("item");
    event->mutable_params(0)->set_string_value("7452100001938");
    event->add_params()->set_name("value");
    event->mutable_params(1)->set_double_value(149.95);
    event->add_params()->set_name("quantity");
    event->mutable_params(2)->set_int_value(-3);
    auto* attribute = b.add_user_attributes();
    attribute->set_name("preferred_store");
    attribute->set_string_value("Lumecasa Albrook");
    attribute->set_set_timestamp_millis(1765160000000);
    auto* audience = b.add_audience_evaluation_results();
    audience->set_audience_id(1);
    audience->set_new_audience(true);
    audience->mutable_current_results()->add_status(0x3);
    audience->mutable_current_results()->add_results(0xFFFFFFFFFFFFFFFFULL);
    return b;
}

std::string batchBody(const std::vector<qrvanalytics::MeasurementBundle>& bundles) {
    qrvanalytics::MeasurementBatch batch;
    for (const auto& b : bundles) *batch.add_bundles() = b;
    return gzip(batch.SerializeAsString());
}

// A field of `number` holding `bytes`, encoded by hand: the bodies below are
// larger than a test should build as messages.
std::string lengthDelimited(int number, const std::string& bytes) {
    std::string out;
    for (uint64_t v : {uint64_t(number) << 3 | 2, uint64_t(bytes.size())}) {
        for (; v >= 0x80; v >>= 7) out += char(v | 0x80);
        out += char(v);
    }
    return out + bytes;
}

std::string repeated(const std::string& piece, std::size_t times) {
    std::string out;
    out.reserve(piece.size() * times);
    for (std::size_t i = 0; i < times; ++i) out += piece;
    return out;
}

// An encoded batch of one valid bundle followed by `extra`, fields of the bundle.
std::string batchWithBundleExtra(const std::string& extra) {
    return gzip(lengthDelimited(1, bundle(1).SerializeAsString() + extra));
}

template <class Message>
Message fromJson(const json& value) {
    Message message;
    EXPECT_TRUE(google::protobuf::util::JsonStringToMessage(value.dump(), &message).ok()) << value.dump();
    return message;
}

class AnalyticsServiceTest : public ::testing::Test {
protected:
    void SetUp() override { backend_ = Backend::start(); }

    HttpReply upload(const std::string& body, const std::string& encoding = "gzip", const std::string& target = "/a") {
        httplib::Headers headers;
        if (!encoding.empty()) headers.emplace("Content-Encoding", encoding);
        return toReply(backend_->tlsClient()->Post(target, headers, body, "application/x-www-form-urlencoded"));
    }

    // The bundles stored, batch by batch, in arrival order.
    std::vector<std::size_t> storedBundleCounts() {
        std::vector<std::size_t> counts;
        const json stored = backend_->analyticsBatches();
        for (const auto& batch : stored["batches"]) counts.push_back(batch["bundles"].size());
        return counts;
    }

    HttpReply fetchConfig(const std::string& target, const std::string& ifModifiedSince = "") {
        auto client = backend_->tlsClient();
        client->set_url_encode(false);
        httplib::Headers headers;
        if (!ifModifiedSince.empty()) headers.emplace("If-Modified-Since", ifModifiedSince);
        return toReply(client->Get(target, headers));
    }

    std::unique_ptr<Backend> backend_;
};

TEST_F(AnalyticsServiceTest, AnUploadIsStoredOnceAndReadBackFieldForField) {
    const std::vector sent{bundle(1), bundle(2), bundle(3)};
    EXPECT_EQ(upload(batchBody(sent)).status, 204);

    json stored = backend_->analyticsBatches();
    ASSERT_EQ(stored["batches"].size(), 1u) << stored.dump();
    const json bundles = stored["batches"][0]["bundles"];
    ASSERT_EQ(bundles.size(), 3u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_TRUE(MessageDifferencer::Equals(fromJson<qrvanalytics::MeasurementBundle>(bundles[i]), sent[i]))
            << bundles[i].dump();
    }
    EXPECT_EQ(bundles[0]["start_timestamp_millis"], json(9007199254740993LL));
    EXPECT_EQ(bundles[0]["audience_evaluation_results"][0]["current_results"]["results"][0],
              json(0xFFFFFFFFFFFFFFFFULL));
    EXPECT_EQ(stored["duplicates"], 0);

    // Delivered again: answered as a success, kept once.
    EXPECT_EQ(upload(batchBody(sent)).status, 204);
    stored = backend_->analyticsBatches();
    EXPECT_EQ(stored["batches"].size(), 1u);
    EXPECT_EQ(stored["duplicates"], 3);

    // The read-out is behind the admin gate.
    httplib::Client anonymous("127.0.0.1", backend_->httpPort());
    EXPECT_EQ(toReply(anonymous.Get("/__admin/analytics/batches")).status, 401);
}

TEST_F(AnalyticsServiceTest, BadUploadsAreRefusedAndStoreNothing) {
    auto without = [](auto change) {
        auto b = bundle(1);
        change(b);
        return batchBody({bundle(0), b});
    };
    std::vector<qrvanalytics::MeasurementBundle> tooMany;
    for (int i = 0; i < 10001; ++i) tooMany.push_back(bundle(i));
    auto eventWithParams = [](int params) { return lengthDelimited(2, repeated(lengthDelimited(1, ""), params)); };
    qrvanalytics::MeasurementBundle longAppId = bundle(1, std::string(257, 'a'));
    std::string cutShort = batchBody({bundle(1)});
    cutShort.resize(cutShort.size() - 6);
    std::string corrupt = batchBody({bundle(1)});
    corrupt[corrupt.size() / 2] ^= 0x55;
    // Each refused for its own reason, which the answer names.
    const struct Case {
        std::string body;
        const char* why;
        std::string encoding = "gzip";
        std::string target = "/a";
    } cases[] = {
        {"", "has no body"},
        {"bundles=1&app_id=x", "not gzip"},
        {batchBody({bundle(1)}), "Content-Encoding", ""},
        {cutShort, "cut short"},
        {corrupt, "not gzip"},
        {gzip("\x0a\x7f cut short"), "not an encoded MeasurementBatch"},
        {gzip(""), "1 to 10000 bundles, not 0"},
        {batchBody(tooMany), "1 to 10000 bundles, not 10001"},
        // Counted on the wire, before a single message is built.
        {gzip(repeated(lengthDelimited(1, ""), 8000000)), "1 to 10000 bundles, not 8000000"},
        {batchWithBundleExtra(repeated(lengthDelimited(2, ""), 7800000)), "more than 10000 events"},
        {batchWithBundleExtra(repeated(lengthDelimited(3, ""), 5000000)), "more than 10000 user_attributes"},
        {batchWithBundleExtra(eventWithParams(1001)), "more than 1000 params"},
        {batchWithBundleExtra(lengthDelimited(29, lengthDelimited(2, repeated(std::string("\x08\x01", 2), 1001)))),
         "more than 1000 status"},
        {batchWithBundleExtra(repeated(std::string("\x98\x06\x00", 3), 1001)), "fields the schema does not declare"},
        {batchWithBundleExtra(repeated(eventWithParams(28), 9000)), "more than 250000 messages and values"},
        {batchBody({longAppId}), "bundle 0 has an app_id longer than 256 bytes"},
        {batchBody({bundle(1)}), "target is longer than 4096 bytes", "gzip", "/a?" + std::string(5000, 'q')},
        {batchBody({bundle(0), bundle(1, "1:480326711275:ios:0000000000000000")}), "another app_id"},
        {batchBody({bundle(0, "")}), "bundle 0 has no app_id"},
        {without([](auto& b) { b.clear_upload_timestamp_millis(); }), "no upload_timestamp_millis"},
        {without([](auto& b) { b.clear_uploading_library_version(); }), "no uploading_library_version"},
        {gzip(std::string(16 * 1024 * 1024 + 1, '\0')), "inflates past 16777216 bytes"},
    };
    for (const auto& c : cases) {
        const HttpReply reply = upload(c.body, c.encoding, c.target);
        EXPECT_EQ(reply.status, 400) << c.why;
        EXPECT_NE(reply.body.find(c.why), std::string::npos) << c.why << ": " << reply.body;
    }
    EXPECT_EQ(backend_->analyticsBatches()["batches"], json::array());
}

TEST_F(AnalyticsServiceTest, ABundleIsADuplicateOnlyWhenItsContentIs) {
    auto resent = [](qrvanalytics::MeasurementBundle b) {
        b.set_upload_timestamp_millis(b.upload_timestamp_millis() + 60000);
        return b;
    };
    // A client whose store was rebuilt: the same instance and indexes, new events.
    auto rebuilt = [](qrvanalytics::MeasurementBundle b) {
        b.mutable_events(0)->set_name("view_item");
        return b;
    };
    const struct Step {
        std::vector<qrvanalytics::MeasurementBundle> bundles;
        std::vector<std::size_t> stored;
        int duplicates;
    } steps[] = {
        {{bundle(1), bundle(2)}, {2}, 0},
        {{resent(bundle(1)), resent(bundle(2))}, {2}, 2},
        {{rebuilt(bundle(1)), rebuilt(bundle(2))}, {2, 2}, 2},
        {{bundle(3), resent(bundle(3))}, {2, 2, 1}, 3},
    };
    for (const auto& step : steps) {
        ASSERT_EQ(upload(batchBody(step.bundles)).status, 204);
        EXPECT_EQ(storedBundleCounts(), step.stored);
        EXPECT_EQ(backend_->analyticsBatches()["duplicates"], step.duplicates);
    }
}

TEST_F(AnalyticsServiceTest, BatchesAsLargeAsTheClientSendsAreStoredAndListedAPageAtATime) {
    std::vector<qrvanalytics::MeasurementBundle> most;
    for (int i = 0; i < 10000; ++i) {
        auto b = bundle(i);
        b.clear_user_attributes();
        b.clear_audience_evaluation_results();
        most.push_back(std::move(b));
    }
    // The client's fullest bundle: 1000 events of 25 parameters, 1000 user
    // properties, 500 audiences.
    auto fullest = bundle(0);
    for (int i = 1; i < 1000; ++i) *fullest.add_events() = fullest.events(0);
    for (auto& event : *fullest.mutable_events()) {
        while (event.params_size() < 25) *event.add_params() = event.params(0);
    }
    for (int i = 1; i < 1000; ++i) *fullest.add_user_attributes() = fullest.user_attributes(0);
    for (int i = 1; i < 500; ++i) *fullest.add_audience_evaluation_results() = fullest.audience_evaluation_results(0);
    ASSERT_EQ(upload(batchBody(most)).status, 204);
    ASSERT_EQ(upload(batchBody({fullest})).status, 204);
    ASSERT_EQ(upload(batchBody({bundle(1)})).status, 204);

    // The two large batches are listed once: turning them into text is most
    // of this test's time, which on a loaded machine ran past its limit when
    // they were listed three times.
    json first = json::parse(backend_->get("/__admin/analytics/batches?limit=2").body);
    ASSERT_EQ(first["batches"].size(), 2u);
    EXPECT_EQ(first["batches"][0]["bundles"].size(), 10000u);
    ASSERT_EQ(first["batches"][1]["bundles"].size(), 1u);
    const json& stored = first["batches"][1]["bundles"][0];
    EXPECT_EQ(stored["events"].size(), 1000u);
    EXPECT_EQ(stored["events"][999]["params"].size(), 25u);
    EXPECT_EQ(stored["user_attributes"].size(), 1000u);
    EXPECT_EQ(stored["audience_evaluation_results"].size(), 500u);
    json rest =
        json::parse(backend_->get("/__admin/analytics/batches?after=" + first["next"].dump() + "&limit=2").body);
    ASSERT_EQ(rest["batches"].size(), 1u);
    EXPECT_EQ(rest["batches"][0]["bundles"].size(), 1u);
    EXPECT_EQ(rest["batches"][0]["id"], first["batches"][1]["id"].get<int64_t>() + 1);
    EXPECT_FALSE(rest.contains("next"));
    for (const char* query : {"limit=0", "limit=1001", "after=-1", "after=x"}) {
        EXPECT_EQ(backend_->get(std::string("/__admin/analytics/batches?") + query).status, 400) << query;
    }
    // The tests' reader follows the pages past the first hundred; the large
    // batches have been seen and need not be listed again.
    backend_->clearAnalyticsBatches();
    for (int i = 2; i < 103; ++i) {
        auto b = bundle(i);
        b.set_monitoring_data("paged");
        ASSERT_EQ(upload(batchBody({b})).status, 204) << i;
    }
    const json all = backend_->analyticsBatches();
    ASSERT_EQ(all["batches"].size(), 101u);
    EXPECT_EQ(all["batches"][100]["bundles"][0]["bundle_index"], 102);
}

TEST_F(AnalyticsServiceTest, AnAppKeepsABoundedStoreAndItsOldestBatchesGo) {
    const std::string otherApp = "1:480326711275:ios:0000000000000000";
    ASSERT_EQ(upload(batchBody({bundle(0, otherApp)})).status, 204);
    // Five batches of 13 MiB for one app: past its 64 MiB, the oldest goes.
    for (int i = 1; i <= 5; ++i) {
        auto b = bundle(i);
        b.set_monitoring_data(std::string(13 * 1024 * 1024, char('a' + i)));
        ASSERT_EQ(upload(batchBody({b})).status, 204) << i;
    }
    json stored = backend_->analyticsBatches();
    std::vector<int64_t> indexes;
    for (const auto& batch : stored["batches"]) indexes.push_back(batch["bundles"][0]["bundle_index"].get<int64_t>());
    EXPECT_EQ(indexes, (std::vector<int64_t>{0, 2, 3, 4, 5}));
    EXPECT_EQ(stored["droppedBatches"], 1);
    backend_->clearAnalyticsBatches();
    EXPECT_EQ(backend_->analyticsBatches()["droppedBatches"], 0);
}

TEST(AnalyticsServiceBound, TheWholeStoreIsBoundedAndTheOldestBatchOfAnyAppGoesFirst) {
    // Room for three batches of 200 kB, whichever apps sent them.
    auto backend = Backend::start({.extraArgs = {"--analytics-store-limit", "700000"}});
    auto upload = [&](const qrvanalytics::MeasurementBundle& b) {
        httplib::Headers headers{{"Content-Encoding", "gzip"}};
        return toReply(backend->tlsClient()->Post("/a", headers, batchBody({b}), "application/x-protobuf")).status;
    };
    auto large = [](int index, char app) {
        auto b = bundle(index, std::string("1:480326711275:ios:000000000000000") + app);
        b.set_monitoring_data(std::string(200000, char('a' + index)));
        return b;
    };
    auto kept = [&] {
        const json stored = backend->analyticsBatches();
        std::vector<int64_t> indexes;
        for (const auto& batch : stored["batches"]) indexes.push_back(batch["bundles"][0]["bundle_index"].get<int64_t>());
        return indexes;
    };
    const struct Step {
        qrvanalytics::MeasurementBundle bundle;
        std::vector<int64_t> kept;
        int dropped;
        bool restartFirst = false;
    } steps[] = {
        {large(0, 'a'), {0}, 0},
        {large(1, 'b'), {0, 1}, 0},
        {large(2, 'a'), {0, 1, 2}, 0},
        {large(3, 'c'), {1, 2, 3}, 1},
        {large(4, 'd'), {2, 3, 4}, 2},
        {large(5, 'e'), {3, 4, 5}, 3},
        // A duplicate brings nothing new, so nothing makes room for it.
        {large(5, 'e'), {3, 4, 5}, 3},
        // The count of what is held survives a restart.
        {large(6, 'f'), {4, 5, 6}, 4, true},
    };
    for (const auto& step : steps) {
        if (step.restartFirst) backend->restart();
        ASSERT_EQ(upload(step.bundle), 204);
        EXPECT_EQ(kept(), step.kept) << step.bundle.bundle_index();
        EXPECT_EQ(backend->analyticsBatches()["droppedBatches"], step.dropped) << step.bundle.bundle_index();
    }
}

TEST_F(AnalyticsServiceTest, UploadsPastTheirTurnsAreTurnedAwayWhileOtherRoutesAnswer) {
    // The first two uploads to get a turn hold it for the fault's delay;
    // six more wait for a turn; the ninth is turned away at once.
    backend_->addAnalyticsFault({.path = "/a", .count = 2, .delayMs = 60000});
    std::mutex mutex;
    std::condition_variable answered;
    std::vector<HttpReply> replies;
    std::vector<std::thread> uploaders;
    for (int i = 0; i < 9; ++i) {
        uploaders.emplace_back([&, i] {
            HttpReply reply = upload(batchBody({bundle(i)}));
            std::lock_guard lock(mutex);
            replies.push_back(std::move(reply));
            answered.notify_all();
        });
    }
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(answered.wait_for(lock, std::chrono::seconds(50), [&] { return !replies.empty(); }));
        EXPECT_EQ(replies.size(), 1u);
        EXPECT_EQ(replies[0].status, 503) << replies[0].body;
        EXPECT_EQ(replies[0].header("Retry-After"), "1");
    }
    EXPECT_EQ(backend_->get("/__admin/health").status, 200);
    EXPECT_EQ(fetchConfig(std::string("/config/app/") + kSampleAppId).status, 404);
    // Stopping ends the held uploads.
    backend_->stop();
    for (auto& t : uploaders) t.join();
    EXPECT_EQ(replies.size(), 9u);
}

TEST(AnalyticsServiceStore, AStoreThatToldBundlesApartByIndexIsBroughtToDigests) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("almavel-analytics-" + std::to_string(::getpid()));
    fs::create_directories(dir / "analytics");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir / "analytics" / "measurement.sqlite").c_str(), &db), SQLITE_OK);
    // The tables as the service made them when an instance id and an index told bundles apart.
    ASSERT_EQ(sqlite3_exec(db, R"(
        CREATE TABLE batches(id INTEGER PRIMARY KEY AUTOINCREMENT, received_ms INTEGER NOT NULL);
        CREATE TABLE bundles(id INTEGER PRIMARY KEY AUTOINCREMENT, batch_id INTEGER NOT NULL,
                             app_instance_id TEXT, bundle_index INTEGER, bytes BLOB NOT NULL,
                             UNIQUE(app_instance_id, bundle_index));
        CREATE TABLE counters(name TEXT PRIMARY KEY, value INTEGER NOT NULL);
        CREATE TABLE configs(app_id TEXT PRIMARY KEY, bytes BLOB NOT NULL, last_modified INTEGER NOT NULL);
        INSERT INTO batches VALUES(1, 1765170000000);
        INSERT INTO counters VALUES('duplicates', 4);)",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    for (int i : {1, 2}) {
        sqlite3_stmt* insert = nullptr;
        const std::string bytes = bundle(i).SerializeAsString();
        ASSERT_EQ(sqlite3_prepare_v2(db, "INSERT INTO bundles(batch_id, app_instance_id, bundle_index, bytes) "
                                         "VALUES(1, ?3, ?1, ?2)", -1, &insert, nullptr),
                  SQLITE_OK);
        sqlite3_bind_int(insert, 1, i);
        sqlite3_bind_text(insert, 3, bundle(i).app_instance_id().c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_blob(insert, 2, bytes.data(), int(bytes.size()), SQLITE_TRANSIENT);
        EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE);
        sqlite3_finalize(insert);
    }
    sqlite3_close(db);

    {
        auto backend = Backend::start({.dataDir = dir.string()});
        json stored = backend->analyticsBatches();
        ASSERT_EQ(stored["batches"].size(), 1u) << stored.dump();
        EXPECT_EQ(stored["batches"][0]["bundles"][1]["bundle_index"], 2);
        EXPECT_EQ(stored["duplicates"], 4);
        auto rebuilt = bundle(2);
        rebuilt.mutable_events(0)->set_name("view_item");
        httplib::Headers headers{{"Content-Encoding", "gzip"}};
        for (const auto& b : {bundle(2), rebuilt}) {
            EXPECT_EQ(toReply(backend->tlsClient()->Post("/a", headers, batchBody({b}), "application/x-protobuf")).status,
                      204);
        }
        stored = backend->analyticsBatches();
        EXPECT_EQ(stored["batches"].size(), 2u);
        EXPECT_EQ(stored["duplicates"], 5);
    }
    fs::remove_all(dir);
}

TEST_F(AnalyticsServiceTest, AConfigIsServedWithItsLastModifiedAndConditionally) {
    const json config{{"version", "7"},
                      {"app_id", kSampleAppId},
                      {"settings", {{{"name", "measurement.upload.interval"}, {"value", "900000"}}}},
                      {"event_config", {{{"name", "purchase"}, {"custom_conversion", true}}}}};
    const std::string lastModified = backend_->setAnalyticsConfig(kSampleAppId, config);
    const std::string path = std::string("/config/app/") + kEscapedSampleAppId;

    HttpReply reply = fetchConfig(path + "?app_instance_id=f3a9&platform=ios&vlp_version=110300");
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(reply.header("Last-Modified"), lastModified);
    EXPECT_EQ(reply.header("Content-Type"), "application/x-protobuf");
    qrvanalytics::MeasurementConfig served;
    ASSERT_TRUE(served.ParseFromString(reply.body));
    EXPECT_TRUE(MessageDifferencer::Equals(served, fromJson<qrvanalytics::MeasurementConfig>(config)));

    // Unchanged since: 304 with the same date; keys in another order, the app id unescaped.
    reply = fetchConfig(std::string("/config/app/") + kSampleAppId + "?vlp_version=1&platform=ios&app_instance_id=x",
                        lastModified);
    EXPECT_EQ(reply.status, 304);
    EXPECT_EQ(reply.header("Last-Modified"), lastModified);
    EXPECT_EQ(reply.body, "");
    EXPECT_EQ(fetchConfig(path, "Sat, 01 Jan 2000 00:00:00 GMT").status, 200);

    // Set again: a later date, so the old one no longer matches.
    const std::string changed = backend_->setAnalyticsConfig(kSampleAppId, config);
    EXPECT_NE(changed, lastModified);
    EXPECT_EQ(fetchConfig(path, lastModified).status, 200);
    EXPECT_EQ(fetchConfig(path, changed).status, 304);

    // Served byte for byte, with a field the schema does not declare (tag 99).
    const std::string raw = served.SerializeAsString() + std::string("\x98\x06\x2a", 3);
    backend_->setAnalyticsConfigRaw(kSampleAppId, raw);
    EXPECT_EQ(fetchConfig(path).body, raw);

    backend_->removeAnalyticsConfig(kSampleAppId);
    EXPECT_EQ(fetchConfig(path).status, 404);
    EXPECT_EQ(fetchConfig("/config/app/1:1:ios:unknown?platform=ios").status, 404);
}

TEST_F(AnalyticsServiceTest, ASeededDataDirServesTheSampleAppsConfig) {
    auto seeded = Backend::start({.seed = true});
    const HttpReply reply =
        toReply(seeded->tlsClient()->Get(std::string("/config/app/") + kSampleAppId + "?platform=ios"));
    ASSERT_EQ(reply.status, 200) << reply.body;
    qrvanalytics::MeasurementConfig config;
    ASSERT_TRUE(config.ParseFromString(reply.body));
    EXPECT_EQ(config.app_id(), kSampleAppId);
    EXPECT_GT(config.settings_size(), 5);
    EXPECT_GT(config.event_config_size(), 0);
    ASSERT_EQ(config.audiences_size(), 1);
    EXPECT_TRUE(config.audiences(0).event_filters(0).filters(0).has_number_filter());
    EXPECT_TRUE(config.audiences(0).property_filters(0).filter().has_string_filter());
}

TEST_F(AnalyticsServiceTest, QueuedFaultsAnswerInOrderAndACutStoresNothing) {
    backend_->setAnalyticsConfig(kSampleAppId, json{{"app_id", kSampleAppId}});
    backend_->addAnalyticsFault({.path = "/config", .status = 503});
    backend_->addAnalyticsFault({.path = "/a", .cut = true});
    const std::string path = std::string("/config/app/") + kSampleAppId;
    EXPECT_EQ(fetchConfig(path).status, 503);
    EXPECT_EQ(fetchConfig(path).status, 200);

    EXPECT_EQ(upload(batchBody({bundle(1)})).status, 0) << "a cut upload gets no answer";
    EXPECT_EQ(backend_->analyticsBatches()["batches"], json::array());
    EXPECT_EQ(upload(batchBody({bundle(1)})).status, 204);
    EXPECT_EQ(backend_->analyticsBatches()["batches"].size(), 1u);

    std::vector<std::pair<int, bool>> seen;
    const json requests = backend_->analyticsRequests();
    for (const auto& r : requests) seen.emplace_back(r["status"].get<int>(), r["fault"].get<bool>());
    EXPECT_EQ(seen, (std::vector<std::pair<int, bool>>{{503, true}, {200, false}, {0, true}, {204, false}}));
    EXPECT_EQ(requests.back()["contentEncoding"], "gzip");
}

TEST_F(AnalyticsServiceTest, BatchesAndConfigsSurviveARestart) {
    ASSERT_EQ(upload(batchBody({bundle(1), bundle(2)})).status, 204);
    const std::string lastModified = backend_->setAnalyticsConfig(kSampleAppId, json{{"app_id", kSampleAppId}});
    const json before = backend_->analyticsBatches();

    backend_->restart();

    EXPECT_EQ(backend_->analyticsBatches(), before);
    const HttpReply reply = fetchConfig(std::string("/config/app/") + kSampleAppId);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.header("Last-Modified"), lastModified);
    // What was stored before the restart is still known as delivered.
    EXPECT_EQ(upload(batchBody({bundle(2)})).status, 204);
    EXPECT_EQ(backend_->analyticsBatches()["duplicates"], 1);
}

}  // namespace
