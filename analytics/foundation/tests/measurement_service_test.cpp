// The wrappers against the local back end's measurement service: an upload
// batch made through the accessors goes out through the core's network front
// (gzip, as the engine sends it) and is read back from what the service
// decoded with libprotobuf; a configuration the service holds comes back
// through the wrappers, conditionally.

#include <gtest/gtest.h>
#include <google/protobuf/util/json_util.h>

#include "analytics/QRVAConstants.h"
#include "core/QRVNetwork.h"
#include "platform/runloop.h"
#include "testing/app_backend.h"
#include "testing/temp_sandbox.h"
#include "wire_reflection.h"

namespace F = QRVAPBField;
using namespace wiretest;

namespace {

constexpr const char* kAppID = ns::testing::kTestAppID;

struct Answer {
    bool done = false;
    ns::HTTPURLResponsePtr response;
    ns::Data data;
    ns::ErrorRef error;
};

class MeasurementServiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        backend_ = ns::testing::Backend::start();
        backend_->routeServiceHosts();
    }
    static void TearDownTestSuite() { backend_.reset(); }

    Answer exchange(const std::function<std::optional<std::string>(QRVNetworkCompletionHandler)>& send) {
        Answer answer;
        EXPECT_TRUE(send([&](ns::HTTPURLResponsePtr response, ns::Data data, ns::ErrorRef error) {
            answer = {true, std::move(response), std::move(data), std::move(error)};
        }));
        EXPECT_TRUE(ns::RunLoop::main().runUntil([&] { return answer.done; }, 60));
        return answer;
    }
    Answer post(const ns::Data& payload) {
        return exchange([&](auto handler) {
            return network_->postURL(std::string("https://") + kQRVAMeasurementHost + "/a", payload, nullptr, false,
                                     handler);
        });
    }
    Answer getConfig(const std::string& appID, const ns::HTTPHeaderFields& headers) {
        return exchange([&](auto handler) {
            return network_->getURL(std::string("https://") + kQRVAMeasurementHost + "/config/app/" + appID +
                                        "?app_instance_id=5F0C2A9B&platform=ios&vlp_version=100400",
                                    headers, nullptr, false, handler);
        });
    }

    static inline std::unique_ptr<ns::testing::Backend> backend_;
    ns::testing::TempSandbox sandbox_;
    std::shared_ptr<QRVNetwork> network_ = QRVNetwork::make(kQRVAMeasurementHost);
};

std::shared_ptr<QRVAPBEventParam> param(const char* name, const ns::Value& value) {
    auto p = QRVAPBEventParam::message();
    NANOSetString(p, F::EventParam::name, name);
    if (value.isString()) NANOSetString(p, F::EventParam::string_value, value.asString());
    if (value.isInteger()) NANOSetInt64(p, F::EventParam::int_value, value.asInt());
    if (value.isDouble()) NANOSetDouble(p, F::EventParam::double_value, value.asDouble());
    return p;
}

ns::ObjectPtr resultData(std::initializer_list<uint64_t> status, std::initializer_list<uint64_t> results) {
    auto data = QRVAPBResultData::message();
    ns::Array s, r;
    for (uint64_t v : status) s.emplace_back(v);
    for (uint64_t v : results) r.emplace_back(v);
    NANOSetArray(data, F::ResultData::status, s);
    NANOSetArray(data, F::ResultData::results, r);
    return data;
}

std::shared_ptr<QRVAPBMeasurementBundle> bundle(int index) {
    namespace B = F::MeasurementBundle;
    auto b = QRVAPBMeasurementBundle::message();
    NANOSetInt32(b, B::protocol_version, 1);
    NANOSetString(b, B::app_id, "pa.almavel.asistente");
    NANOSetString(b, B::app_instance_id, "5F0C2A9B1D3E4F60");
    NANOSetInt32(b, B::bundle_index, index);
    NANOSetInt64(b, B::upload_timestamp_millis, 1765180800000);
    NANOSetInt64(b, B::uploading_library_version, 100400);
    NANOSetInt64(b, B::previous_bundle_start_timestamp_millis, 1765180000000 + index);  // tag 26
    NANOSetString(b, B::vendor_device_id, "VENDOR-" + std::to_string(index));           // tag 27
    NANOSetString(b, B::vlp_app_id, kAppID);                                            // tag 25
    NANOSetBool(b, B::limited_ad_tracking, index % 2);
    NANOSetInt32(b, B::timezone_offset_minutes, -300);

    auto purchase = QRVAPBEvent::message();
    NANOSetString(purchase, F::Event::name, "purchase");
    NANOSetInt64(purchase, F::Event::timestamp_millis, 1765180700000 + index);
    NANOSetArray(purchase, F::Event::params,
                 ns::Array{ns::ObjectPtr(param("currency", "PAB")), ns::ObjectPtr(param("quantity", int64_t(3))),
                           ns::ObjectPtr(param("value", 19.95 + index))});
    auto session = QRVAPBEvent::message();
    NANOSetString(session, F::Event::name, "_s");
    NANOSetArray(b, B::events, ns::Array{ns::ObjectPtr(purchase), ns::ObjectPtr(session)});

    auto store = QRVAPBUserAttribute::message();
    NANOSetString(store, F::UserAttribute::name, "preferred_store");
    NANOSetString(store, F::UserAttribute::string_value, "Albrook Mall");
    NANOSetInt64(store, F::UserAttribute::set_timestamp_millis, 1765100000000);
    auto visits = QRVAPBUserAttribute::message();
    NANOSetString(visits, F::UserAttribute::name, "visits");
    NANOSetDouble(visits, F::UserAttribute::double_value, -2.5);
    NANOSetArray(b, B::user_attributes, ns::Array{ns::ObjectPtr(store), ns::ObjectPtr(visits)});

    auto result = QRVAPBAudienceLeafFilterResult::message();
    NANOSetInt32(result, F::AudienceLeafFilterResult::audience_id, 7);
    NANOSetMessage(result, F::AudienceLeafFilterResult::current_results,
                   std::static_pointer_cast<NANOMessageBase>(resultData({3, uint64_t(1) << 63}, {1})));
    NANOSetMessage(result, F::AudienceLeafFilterResult::previous_results,
                   std::static_pointer_cast<NANOMessageBase>(resultData({1}, {})));
    NANOSetArray(b, B::audience_evaluation_results, ns::Array{ns::ObjectPtr(result)});
    return b;
}

}  // namespace

TEST_F(MeasurementServiceTest, AnUploadedBatchReadsBackWithEveryValue) {
    backend_->clearAnalyticsBatches();
    auto batch = QRVAPBMeasurementBatch::message();
    NANOSetArray(batch, F::MeasurementBatch::bundles, ns::Array{ns::ObjectPtr(bundle(0)), ns::ObjectPtr(bundle(1)),
                                                                 ns::ObjectPtr(bundle(2))});
    auto answer = post(*batch->protoBuffer());
    ASSERT_TRUE(answer.response) << (answer.error ? answer.error->description() : "");
    EXPECT_EQ(answer.response->statusCode(), 204);

    qrvanalytics::MeasurementBatch sent;
    fromWrapper(batch, sent);
    auto stored = backend_->analyticsBatches();
    ASSERT_EQ(stored["batches"].size(), 1u);
    const auto& bundles = stored["batches"][0]["bundles"];
    ASSERT_EQ(bundles.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        qrvanalytics::MeasurementBundle read;
        ASSERT_TRUE(google::protobuf::util::JsonStringToMessage(bundles[i].dump(), &read).ok());
        EXPECT_EQ(differences(sent.bundles(i), read), "") << "bundle " << i;
    }
    // Fields 6 and 20 arrived under the tags the server reads them by.
    EXPECT_EQ(bundles[2]["previous_bundle_start_timestamp_millis"], 1765180000002);
    EXPECT_EQ(bundles[2]["vendor_device_id"], "VENDOR-2");
    EXPECT_EQ(bundles[0]["audience_evaluation_results"][0]["current_results"]["status"][1], uint64_t(1) << 63);
    EXPECT_EQ(bundles[1]["events"][0]["params"][2]["double_value"], 20.95);
}

TEST_F(MeasurementServiceTest, AConfigurationComesBackThroughTheWrappersAndThenAs304) {
    qrvanalytics::MeasurementConfig config;
    config.set_version(1765180800);
    config.set_app_id(kAppID);
    auto* setting = config.add_settings();
    setting->set_name("measurement.upload.interval");
    setting->set_value("3600000");
    auto* audience = config.add_audiences();
    audience->set_audience_id(7);
    auto* propertyFilter = audience->add_property_filters();
    propertyFilter->set_filter_id(1);
    propertyFilter->set_property_name("preferred_store");
    auto* stringFilter = propertyFilter->mutable_filter()->mutable_string_filter();
    stringFilter->set_match_type(6);
    stringFilter->add_expression_list("Albrook Mall");
    stringFilter->add_expression_list("Los Pueblos");
    auto* eventFilter = audience->add_event_filters();
    eventFilter->set_event_name("purchase");
    eventFilter->mutable_event_count_filter()->set_comparison_value("3");
    std::string raw = config.SerializeAsString();
    raw += std::string("\xF8\x07\x2A", 3);  // tag 127, varint 42: not in the schema
    std::string lastModified = backend_->setAnalyticsConfigRaw(kAppID, raw);

    auto answer = getConfig(kAppID, {});
    ASSERT_TRUE(answer.response);
    ASSERT_EQ(answer.response->statusCode(), 200);
    EXPECT_EQ(answer.response->valueForHTTPHeaderField("Last-Modified"), lastModified);
    auto received = QRVAPBMeasurementConfig::initWithBuffer(answer.data);
    ASSERT_TRUE(received);
    EXPECT_EQ(NANOGetInt64(received, F::MeasurementConfig::version), 1765180800);
    EXPECT_EQ(NANOGetString(received, F::MeasurementConfig::app_id), kAppID);
    auto audiences = NANOGetArray(received, F::MeasurementConfig::audiences, &QRVAPBAudience::messageClass());
    ASSERT_TRUE(audiences && audiences->size() == 1);
    auto got = (*audiences)[0].asObjectOf<QRVAPBAudience>();
    auto filters = NANOGetArray(got, F::Audience::property_filters, &QRVAPBPropertyFilter::messageClass());
    ASSERT_TRUE(filters && filters->size() == 1);
    auto filter = NANOGetMessage((*filters)[0].asObjectOf<QRVAPBPropertyFilter>(), F::PropertyFilter::filter,
                                 QRVAPBFilter::messageClass());
    auto strings = NANOGetMessage(filter, F::Filter::string_filter, QRVAPBStringFilter::messageClass());
    EXPECT_EQ(NANOGetInt32(strings, F::StringFilter::match_type), 6);
    EXPECT_EQ(NANOGetArray(strings, F::StringFilter::expression_list), (ns::Array{"Albrook Mall", "Los Pueblos"}));
    EXPECT_FALSE(NANOHasField(filter, F::Filter::number_filter));
    qrvanalytics::MeasurementConfig read;
    fromWrapper(received, read);
    EXPECT_EQ(differences(config, read), "") << "the undeclared tag is dropped, the rest kept";

    auto again = getConfig(kAppID, {{"If-Modified-Since", lastModified}});
    ASSERT_TRUE(again.response);
    EXPECT_EQ(again.response->statusCode(), 304);
    EXPECT_EQ(again.response->valueForHTTPHeaderField("Last-Modified"), lastModified);
    EXPECT_TRUE(again.data.empty());

    auto unknown = getConfig("1:999:ios:0000", {});
    ASSERT_TRUE(unknown.response);
    EXPECT_EQ(unknown.response->statusCode(), 404);
}
