// The engine's configuration requests against the local back end: the
// conditional request and its Last-Modified, bundling held back until a
// configuration (or its absence) has been accepted, the shared back-off, a
// configuration for another app refused, and the request URL's escaping.

#include <gtest/gtest.h>

#include "analytics/QRVARemoteConfig.h"
#include "upload_test_support.h"

namespace {

using uploadtest::kAppID;
using uploadtest::kStart;

class ConfigFetchTest : public uploadtest::UploadTest {
protected:
    // The configuration expires; the next upload pass asks again.
    nlohmann::json nextFetch() {
        advance(3601);
        logEvents(1);
        advance(16);
        settle();
        return lastGet();
    }
    nlohmann::json lastGet() {
        nlohmann::json found;
        for (const auto& request : requests()) {
            if (request["method"] == "GET") found = request;
        }
        return found;
    }
};

}  // namespace

TEST_F(ConfigFetchTest, EveryAcceptedAnswerSetsTheNextIfModifiedSinceButA304WithoutTheHeaderKeepsIt) {
    const std::string lastModified = backend_->setAnalyticsConfig(kAppID, {{"version", 1}, {"app_id", kAppID}});
    start();
    logEvents(3);
    advance(15);
    settle();
    auto get = lastGet();
    EXPECT_EQ(get["status"], 200);
    EXPECT_EQ(get["ifModifiedSince"], "");
    EXPECT_EQ(persisted()->configServerLastModifiedString(), lastModified);

    // The back end's own answers carry the header; its queued faults do not.
    const std::optional<std::string> none;
    const struct {
        int fault;
        int status;
        std::string sent;
        std::optional<std::string> stored;
    } cases[] = {
        {0, 304, lastModified, lastModified}, {304, 304, lastModified, lastModified},
        {204, 204, lastModified, none},       {0, 200, "", lastModified},
        {404, 404, lastModified, none},       {0, 200, "", lastModified},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.fault) + " " + std::to_string(c.status));
        if (c.fault) backend_->addAnalyticsFault({.path = "/config", .status = c.fault});
        get = nextFetch();
        EXPECT_EQ(get["status"], c.status);
        EXPECT_EQ(get["ifModifiedSince"], c.sent);
        EXPECT_EQ(persisted()->configServerLastModifiedString(), c.stored);
    }
    EXPECT_EQ(count("queue") + count("raw_events"), 0);  // every pass also uploaded
}

TEST_F(ConfigFetchTest, NoBundleIsMadeBeforeAnAnswerIsAcceptedAndABackOffHoldsTheNextRequest) {
    backend_->removeAnalyticsConfig(kAppID);
    backend_->addAnalyticsFault({.path = "/config", .status = 503});
    start();
    logEvents(3);
    advance(15);
    settle();
    EXPECT_EQ(lastGet()["status"], 503);
    EXPECT_EQ(persisted()->lastBackoffTimestamp(), kStart + 15);
    EXPECT_GE(count("raw_events"), 3);  // with the first open's
    EXPECT_EQ(count("queue"), 0);

    const size_t sent = requests().size();
    advanceTo(kStart + 15 + 43200 - 1);
    settle();
    EXPECT_EQ(requests().size(), sent);
    advanceTo(kStart + 15 + 43200);
    settle();
    EXPECT_EQ(lastGet()["status"], 404);  // no configuration: the defaults, and bundling goes on
    EXPECT_EQ(persisted()->lastBackoffTimestamp(), 0);
    size_t uploaded = 0;
    for (const auto& b : bundles()) uploaded += eventsNamed(b, "upload_probe");
    EXPECT_EQ(uploaded, 3u);
    EXPECT_EQ(count("raw_events"), 0);
}

TEST_F(ConfigFetchTest, AConfigurationForAnotherAppIsRefusedAndTheUploadGoesOn) {
    backend_->setAnalyticsConfig(
        kAppID, {{"app_id", "1:999:ios:0000"}, {"settings", {{{"name", "measurement.upload.interval"}, {"value", "60000"}}}}});
    start();
    logEvents(2);
    advance(15);
    settle();
    double interval = 0;
    onWorker([&] { interval = engine_->currentRemoteConfig()->uploadingInterval(); });
    EXPECT_EQ(interval, 3600);
    EXPECT_EQ(bundles().size(), 1u);
}

TEST_F(ConfigFetchTest, TheAppIDAndTheArgumentsAreEscapedAsOnePathSegmentAndOneComponentEach) {
    start();
    const struct {
        std::string appID, instanceID, url;
    } cases[] = {
        {kAppID, "5F0C 2A9B",
         "/config/app/1%3A480326711275%3Aios%3A7d1f6c2b9a0e4c3f?app_instance_id=5F0C%202A9B&platform=ios&vlp_version=40002"},
        {"1:2:ios:a/b?c", "x&platform=web", "/config/app/1%3A2%3Aios%3Aa%2Fb%3Fc?app_instance_id=x%26platform%3Dweb&"
                                             "platform=ios&vlp_version=40002"},
        {"a+b=c", "~._-", "/config/app/a%2Bb%3Dc?app_instance_id=~._-&platform=ios&vlp_version=40002"},
    };
    for (const auto& c : cases) {
        std::optional<ns::URL> url;
        onWorker([&] {
            url = QRVARemoteConfig::initWithVLPAppID(c.appID, engine_->database())
                      ->remoteConfigURLWithAppInstanceID(c.instanceID, "ios", kQRVAAnalyticsLibraryVersion);
        });
        ASSERT_TRUE(url);
        EXPECT_EQ(url->requestTarget(), c.url);
    }
}
