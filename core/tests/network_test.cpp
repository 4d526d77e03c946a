#include <gtest/gtest.h>

#include <atomic>

#include "core/QRVLogger.h"
#include "core/QRVNetwork.h"
#include "platform/clock.h"
#include "platform/reachability.h"
#include "platform/runloop.h"
#include "platform/system_log.h"
#include "platform/toolbox.h"
#include "testing/backend.h"
#include "testing/temp_sandbox.h"

namespace {

constexpr const char* kHost = "app-measurement.quorvaneapis.com";

struct Result {
    bool done = false;
    bool onMainThread = false;
    std::string queueLabel;
    ns::HTTPURLResponsePtr response;
    ns::Data data;
    ns::ErrorRef error;
};

QRVNetworkCompletionHandler recordInto(Result& result) {
    return [&result](ns::HTTPURLResponsePtr response, ns::Data data, ns::ErrorRef error) {
        result.onMainThread = ns::RunLoop::isMainThread();
        result.queueLabel = ns::DispatchQueue::currentLabel();
        result.response = std::move(response);
        result.data = std::move(data);
        result.error = std::move(error);
        result.done = true;
    };
}

bool pumpUntil(const std::function<bool()>& done) { return ns::RunLoop::main().runUntil(done, 60); }

class QRVNetworkTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        backend_ = ns::testing::Backend::start();
        backend_->routeServiceHosts();
    }
    static void TearDownTestSuite() { backend_.reset(); }
    void SetUp() override {
        backend_->clearRecordedRequests();
        backend_->setRecorderResponse({});
        network_ = QRVNetwork::make(kHost);
    }
    void TearDown() override {
        backend_->releaseHeld();
        ns::Reachability::setOverride(std::nullopt);
        network_.reset();
    }

    static inline std::unique_ptr<ns::testing::Backend> backend_;
    ns::testing::TempSandbox sandbox_;
    std::shared_ptr<QRVNetwork> network_;
};

TEST_F(QRVNetworkTest, PostSendsTheGzippedPayloadWithItsThreeHeaders) {
    std::string text(20000, 'x');
    for (size_t i = 0; i < text.size(); i += 7) text[i] = char('a' + i % 26);
    ns::Data payload(text.begin(), text.end());

    Result result;
    auto sessionID = network_->postURL(std::string("https://") + kHost + "/__recorder/a", payload, nullptr, false,
                                       recordInto(result));
    ASSERT_TRUE(sessionID.has_value());
    EXPECT_TRUE(network_->hasUploadInProgress());
    ASSERT_TRUE(pumpUntil([&] { return result.done; }));

    EXPECT_TRUE(result.onMainThread);
    EXPECT_EQ(result.error, nullptr);
    ASSERT_TRUE(result.response);
    EXPECT_EQ(result.response->statusCode(), 200);
    EXPECT_FALSE(network_->hasUploadInProgress());

    auto requests = backend_->recordedRequests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_TRUE(r.tls);
    EXPECT_EQ(r.header("Content-Encoding"), "gzip");
    EXPECT_EQ(r.header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));
    EXPECT_LT(r.body.size(), payload.size());
    ns::ErrorRef error;
    auto inflated = htk_dataByInflatingData(ns::Data(r.body.begin(), r.body.end()), &error);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(inflated, payload);
}

TEST_F(QRVNetworkTest, EmptyPayloadGivesAnEmptyBody) {
    Result result;
    ASSERT_TRUE(network_->postURL(std::string("https://") + kHost + "/__recorder/empty", {}, nullptr, false,
                                  recordInto(result)));
    ASSERT_TRUE(pumpUntil([&] { return result.done; }));
    auto requests = backend_->recordedRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].body.empty());
    EXPECT_EQ(requests[0].header("Content-Length"), "0");
}

TEST_F(QRVNetworkTest, GetCarriesItsHeadersAndAnswersOnTheGivenQueue) {
    backend_->setRecorderResponse({.status = 304});
    auto queue = ns::DispatchQueue::serial("network-test-queue");
    Result result;
    std::atomic<bool> done{false};
    auto handler = recordInto(result);
    ASSERT_TRUE(network_->getURL(std::string("https://") + kHost + "/__recorder/config/app/1:2?platform=ios",
                                 {{"If-Modified-Since", "Mon, 07 Dec 2026 07:00:00 GMT"}, {"X-Almavel", "1"}}, queue,
                                 false, [&](auto response, auto data, auto error) {
                                     handler(response, data, error);
                                     done = true;
                                 }));
    ASSERT_TRUE(pumpUntil([&] { return done.load(); }));
    EXPECT_EQ(result.queueLabel, "network-test-queue");
    ASSERT_TRUE(result.response);
    EXPECT_EQ(result.response->statusCode(), 304);

    auto requests = backend_->recordedRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].query, "platform=ios");
    EXPECT_EQ(requests[0].header("If-Modified-Since"), "Mon, 07 Dec 2026 07:00:00 GMT");
    EXPECT_EQ(requests[0].header("X-Almavel"), "1");
    EXPECT_TRUE(requests[0].body.empty());
}

TEST_F(QRVNetworkTest, RequestsThatCannotBeMadeAnswerNilAndCallBackLater) {
    auto capture = ns::SystemLog::capture();
    struct Case {
        std::function<std::optional<std::string>(QRVNetworkCompletionHandler)> call;
        long code;
    };
    std::vector<Case> cases = {
        {[&](auto h) { return network_->postURL("", {1, 2, 3}, nullptr, false, h); }, 1},
        {[&](auto h) { return network_->getURL("", {}, nullptr, false, h); }, 1},
        {[&](auto h) { return network_->getURL("not a url", {}, nullptr, false, h); }, 4},
    };
    for (auto& c : cases) {
        Result result;
        EXPECT_FALSE(c.call(recordInto(result)).has_value());
        EXPECT_FALSE(result.done) << "the handler must be called asynchronously";
        ASSERT_TRUE(pumpUntil([&] { return result.done; }));
        EXPECT_EQ(result.response, nullptr);
        EXPECT_TRUE(result.data.empty());
        ASSERT_TRUE(result.error);
        EXPECT_EQ(result.error->code(), c.code);
        EXPECT_EQ(result.error->localizedDescription(), "Failed to create network request");
    }
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("[I-NET900002] Failed to create network request. Code, error"));
    EXPECT_TRUE(backend_->recordedRequests().empty());
}

TEST_F(QRVNetworkTest, TimeOutGivesAURLError) {
    auto clock = ns::VirtualClock::install();
    backend_->setRecorderResponse({.hold = true});
    network_->setTimeoutInterval(5);
    Result result;
    ASSERT_TRUE(network_->postURL(std::string("https://") + kHost + "/__recorder/slow", {1}, nullptr, false,
                                  recordInto(result)));
    ASSERT_TRUE(pumpUntil([&] { return backend_->heldCount() == 1; }));
    // The transfer's last upload callback may still come after the server
    // holds the request, and it counts as activity that restarts the idle
    // time: move on by more than the time-out until the request ends.
    for (int i = 0; i < 20 && !result.done; ++i) {
        clock->advance(6);
        ns::RunLoop::main().runUntil([&] { return result.done; }, 3);
    }
    ASSERT_TRUE(result.done);
    ASSERT_TRUE(result.error);
    EXPECT_EQ(result.error->domain(), ns::kURLErrorDomain);
    EXPECT_EQ(result.error->code(), ns::kURLErrorTimedOut);
    EXPECT_FALSE(network_->hasUploadInProgress());
}

class RecordingReachabilityDelegate : public QRVNetworkReachabilityDelegate {
public:
    explicit RecordingReachabilityDelegate(std::shared_ptr<QRVNetwork> network) : network_(std::move(network)) {}
    void reachabilityDidChange() override { connectedAtCall.push_back(network_->isNetworkConnected()); }
    std::vector<bool> connectedAtCall;

private:
    std::shared_ptr<QRVNetwork> network_;
};

TEST_F(QRVNetworkTest, ReachabilityReachesTheDelegateAfterTheConnectedFlag) {
    ns::Reachability::setOverride(ns::Reachability::Status::NotReachable);
    auto network = QRVNetwork::make("www.quorvane.com");
    auto delegate = std::make_shared<RecordingReachabilityDelegate>(network);
    network->setReachabilityDelegate(delegate);
    ASSERT_TRUE(pumpUntil([&] { return delegate->connectedAtCall.size() == 1; }));
    EXPECT_FALSE(network->isNetworkConnected());

    ns::Reachability::setOverride(ns::Reachability::Status::ReachableViaWWAN);
    ASSERT_TRUE(pumpUntil([&] { return delegate->connectedAtCall.size() == 2; }));
    EXPECT_EQ(delegate->connectedAtCall, (std::vector<bool>{false, true}));
    EXPECT_TRUE(network->isNetworkConnected());

    ns::Reachability::setOverride(ns::Reachability::Status::ConnectionRequired);
    ASSERT_TRUE(pumpUntil([&] { return delegate->connectedAtCall.size() == 3; }));
    EXPECT_FALSE(delegate->connectedAtCall.back());
    network->setReachabilityDelegate({});
}

class RecordingLogger : public ns::Object, public QRVNetworkLoggerDelegate {
public:
    void qrvNetwork_logWithLevel(int level, int code, const std::string& message) override {
        lines.push_back(std::to_string(level) + " " + std::to_string(code) + " " + message);
    }
    void qrvNetwork_logWithLevel(int level, int code, const std::string& message, const ns::Value& context) override {
        lines.push_back(std::to_string(level) + " " + std::to_string(code) + " " + message + " | " + context.description());
    }
    void qrvNetwork_logWithLevel(int level, int code, const std::string& message, const ns::Array& contexts) override {
        lines.push_back(std::to_string(level) + " " + std::to_string(code) + " " + message + " | " +
                        std::to_string(contexts.size()));
    }
    std::vector<std::string> lines;
};

TEST_F(QRVNetworkTest, LoggerDelegateReceivesTheNetworkLines) {
    auto capture = ns::SystemLog::capture();
    network_->setLoggerDelegate(std::make_shared<ns::Object>());
    QRVLoggerFlush();
    EXPECT_TRUE(capture.contains("[I-NET900002] Cannot set the network logger delegate: delegate does not conform "
                                 "to the network logger protocol."));

    auto logger = std::make_shared<RecordingLogger>();
    network_->setLoggerDelegate(logger);
    Result quiet;
    std::string url = std::string("https://") + kHost + "/__recorder/log";
    network_->postURL(url, {1}, nullptr, false, recordInto(quiet));
    ASSERT_TRUE(pumpUntil([&] { return quiet.done; }));
    EXPECT_TRUE(logger->lines.empty()) << "debug lines need the network's debug mode";

    network_->setIsDebugModeEnabled(true);
    Result loud;
    network_->postURL(url, {1}, nullptr, false, recordInto(loud));
    ASSERT_TRUE(pumpUntil([&] { return loud.done; }));
    ASSERT_FALSE(logger->lines.empty());
    EXPECT_EQ(logger->lines[0], "7 900000 Uploading data. Host | " + url);

    Result failed;
    network_->getURL("", {}, nullptr, false, recordInto(failed));
    ASSERT_TRUE(pumpUntil([&] { return failed.done; }));
    EXPECT_EQ(logger->lines.back(), "4 900002 Failed to create network request. Code, error | 2");
}

TEST_F(QRVNetworkTest, BackgroundSessionRelaunchCompletesWhenTheRequestEnds) {
    backend_->setRecorderResponse({.hold = true});
    Result result;
    auto sessionID = network_->postURL(std::string("https://") + kHost + "/__recorder/bg", {1, 2}, nullptr, true,
                                       recordInto(result));
    ASSERT_TRUE(sessionID);
    bool relaunchDone = false;
    QRVNetwork::handleEventsForBackgroundURLSessionID(*sessionID, [&] { relaunchDone = true; });
    bool foreignCalled = false;
    QRVNetwork::handleEventsForBackgroundURLSessionID("com.example.other", [&] { foreignCalled = true; });

    ASSERT_TRUE(pumpUntil([&] { return backend_->heldCount() == 1; }));
    ns::RunLoop::main().runFor(0.05);
    EXPECT_FALSE(relaunchDone);
    backend_->releaseHeld();
    ASSERT_TRUE(pumpUntil([&] { return result.done && relaunchDone; }));
    EXPECT_FALSE(foreignCalled);
}

}  // namespace
