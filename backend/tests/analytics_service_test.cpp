// The measurement service of the almavel-backend program, started for real
// and spoken to over loopback HTTPS with bodies libprotobuf and zlib make.

#include <gtest/gtest.h>
#include <google/protobuf/util/json_util.h>
#include <google/protobuf/util/message_differencer.h>
#include <zlib.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "analytics_proto/qrvanalytics.pb.h"
#include "testing/backend.h"

namespace {

using json = nlohmann::json;
using google::protobuf::util::MessageDifferencer;
using ns::testing::AnalyticsFault;
using ns::testing::Backend;
using ns::testing::HttpReply;
using ns::testing::toReply;

constexpr const char* kSampleAppId = "1:480326711275:ios:7d1f6c2b9a0e4c3f";
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
    attribute->set_string_value("Casa Almavel Albrook");
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

template <class Message>
Message fromJson(const json& value) {
    Message message;
    EXPECT_TRUE(google::protobuf::util::JsonStringToMessage(value.dump(), &message).ok()) << value.dump();
    return message;
}

class AnalyticsServiceTest : public ::testing::Test {
protected:
    void SetUp() override { backend_ = Backend::start(); }

    HttpReply upload(const std::string& body, const std::string& encoding = "gzip") {
        httplib::Headers headers;
        if (!encoding.empty()) headers.emplace("Content-Encoding", encoding);
        return toReply(backend_->tlsClient()->Post("/a", headers, body, "application/x-www-form-urlencoded"));
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
    for (int i = 0; i < 101; ++i) tooMany.push_back(bundle(i));
    std::string cutShort = batchBody({bundle(1)});
    cutShort.resize(cutShort.size() - 6);
    std::string corrupt = batchBody({bundle(1)});
    corrupt[corrupt.size() / 2] ^= 0x55;
    // Each refused for its own reason, which the answer names.
    const struct Case {
        std::string body;
        const char* why;
        std::string encoding = "gzip";
    } cases[] = {
        {"", "has no body"},
        {"bundles=1&app_id=x", "not gzip"},
        {batchBody({bundle(1)}), "Content-Encoding", ""},
        {cutShort, "cut short"},
        {corrupt, "not gzip"},
        {gzip("\x0a\x7f cut short"), "not an encoded MeasurementBatch"},
        {gzip(""), "1 to 100 bundles, not 0"},
        {batchBody(tooMany), "1 to 100 bundles, not 101"},
        {batchBody({bundle(0), bundle(1, "1:480326711275:ios:0000000000000000")}), "another app_id"},
        {batchBody({bundle(0, "")}), "bundle 0 has no app_id"},
        {without([](auto& b) { b.clear_upload_timestamp_millis(); }), "no upload_timestamp_millis"},
        {without([](auto& b) { b.clear_uploading_library_version(); }), "no uploading_library_version"},
        {gzip(std::string(16 * 1024 * 1024 + 1, '\0')), "inflates past 16777216 bytes"},
    };
    for (const auto& c : cases) {
        const HttpReply reply = upload(c.body, c.encoding);
        EXPECT_EQ(reply.status, 400) << c.why;
        EXPECT_NE(reply.body.find(c.why), std::string::npos) << c.why << ": " << reply.body;
    }
    EXPECT_EQ(backend_->analyticsBatches()["batches"], json::array());
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
