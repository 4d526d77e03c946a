// The session fetcher against the local back end's recorder: retries on the
// virtual clock, the offline failure, authorizers, failure bodies, downloads
// to memory and to a file with progress, and resume data.

#include "platform/session_fetcher.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "platform/clock.h"
#include "platform/plist.h"
#include "platform/reachability.h"
#include "platform/runloop.h"
#include "platform/url.h"
#include "testing/backend.h"
#include "testing/retry_waits.h"
#include "testing/temp_sandbox.h"

namespace {

struct Outcome {
    bool done = false;
    int calls = 0;
    std::optional<ns::Data> data;
    ns::ErrorRef error;
};

std::string text(const ns::Data& data) { return std::string(data.begin(), data.end()); }

using ns::testing::RetryWaits;

// Adds a header, or fails, like a token authorizer would.
class TestAuthorizer : public HTKFetcherAuthorizationProtocol {
public:
    explicit TestAuthorizer(ns::ErrorRef failure = nullptr) : failure_(std::move(failure)) {}
    void authorizeRequest(const std::shared_ptr<ns::URLRequest>& request, FinishHandler finish) override {
        ++calls;
        request->setValue("Test " + std::to_string(calls), "Authorization");
        ns::DispatchQueue::main()->async([this, request, finish] { finish(*this, request, failure_); });
    }
    bool isAuthorizedRequest(const ns::URLRequest& request) const override {
        return request.valueForHTTPHeaderField("Authorization").has_value();
    }
    bool isAuthorizingRequest(const ns::URLRequest&) const override { return false; }
    void stopAuthorization() override {}
    void stopAuthorizationForRequest(const ns::URLRequest&) override {}
    std::optional<std::string> userEmail() const override { return std::nullopt; }
    int calls = 0;

private:
    ns::ErrorRef failure_;
};

class SessionFetcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        backend_ = ns::testing::Backend::start();
        // Trusts the back end's test authority.
        backend_->routeServiceHosts();
        service_ = HTKSessionFetcherService::make();
    }
    void TearDown() override {
        ns::Reachability::setOverride(std::nullopt);
        ns::RunLoop::main().runOnce();
    }

    std::shared_ptr<Outcome> begin(const std::shared_ptr<HTKSessionFetcher>& fetcher) {
        auto outcome = std::make_shared<Outcome>();
        fetcher->beginFetchWithCompletionHandler([outcome](std::optional<ns::Data> data, ns::ErrorRef error) {
            EXPECT_TRUE(ns::RunLoop::isMainThread());
            ++outcome->calls;
            outcome->data = std::move(data);
            outcome->error = std::move(error);
            outcome->done = true;
        });
        return outcome;
    }
    bool wait(const std::function<bool()>& done) { return ns::RunLoop::main().runUntil(done, 60); }

    ns::testing::TempSandbox sandbox_;
    std::unique_ptr<ns::testing::Backend> backend_;
    std::shared_ptr<HTKSessionFetcherService> service_;
};

TEST_F(SessionFetcherTest, FailureStatusesCarryTheCodeAndBody) {
    backend_->setRecorderResponse({.status = 404, .body = R"({"error":{"code":404}})"});
    auto outcome = begin(service_->fetcherWithRequest(ns::URLRequest(backend_->httpsURL("/__recorder/missing"))));
    ASSERT_TRUE(wait([&] { return outcome->done; }));
    ASSERT_TRUE(outcome->error);
    EXPECT_EQ(outcome->error->domain(), kHTKSessionFetcherStatusDomain);
    EXPECT_EQ(outcome->error->code(), 404);
    EXPECT_EQ(text(outcome->error->userInfo().at(kHTKSessionFetcherStatusDataKey).asData()),
              R"({"error":{"code":404}})");
    EXPECT_FALSE(outcome->data);
    EXPECT_EQ(outcome->calls, 1);
}

TEST_F(SessionFetcherTest, RetriesDoubleTheirWaitAndStopAtTheMaximumInterval) {
    auto clock = ns::VirtualClock::install(ns::Clock::nowSeconds());
    backend_->setRecorderResponse({.status = 503, .body = "busy"});
    service_->setRetryEnabled(true);
    service_->setMaxRetryInterval(10);
    std::vector<bool> suggestions;
    service_->setRetryBlock([&](bool suggested, ns::ErrorRef error, HTKRetryResponse response) {
        EXPECT_TRUE(ns::RunLoop::isMainThread());
        EXPECT_EQ(error->code(), 503);
        suggestions.push_back(suggested);
        response(suggested);
    });
    RetryWaits waits;
    auto fetcher = service_->fetcherWithRequest(ns::URLRequest(backend_->httpsURL("/__recorder/busy")));
    double started = clock->now();
    auto outcome = begin(fetcher);
    waits.drive(*clock, [&] { return outcome->done; });
    // 1 + 2 + 4 seconds fit in 10; the next wait of 8 would not.
    EXPECT_EQ(waits.waits(), (std::vector<double>{1, 2, 4}));
    EXPECT_EQ(suggestions, (std::vector<bool>{true, true, true, true}));
    EXPECT_EQ(fetcher->retryCount(), 3);
    EXPECT_LE(clock->now() - started, 10);
    ASSERT_TRUE(outcome->error);
    EXPECT_EQ(outcome->error->code(), 503);
    EXPECT_EQ(backend_->recordedRequests().size(), 4u);
    EXPECT_EQ(outcome->calls, 1);
}

TEST_F(SessionFetcherTest, ARetryThatSucceedsDeliversTheBody) {
    auto clock = ns::VirtualClock::install(ns::Clock::nowSeconds());
    backend_->setRecorderResponse({.status = 500});
    service_->setRetryEnabled(true);
    RetryWaits waits;
    auto fetcher = service_->fetcherWithRequest(ns::URLRequest(backend_->httpsURL("/__recorder/flaky")));
    auto outcome = begin(fetcher);
    ASSERT_TRUE(wait([&] { return !waits.waits().empty(); }));
    backend_->setRecorderResponse({.status = 200, .body = "fine now"});
    clock->advance(waits.waits()[0]);
    ASSERT_TRUE(wait([&] { return outcome->done; }));
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(text(*outcome->data), "fine now");
}

TEST_F(SessionFetcherTest, OfflineFailsWithNotConnectedAndRetriesOnlyWhenTheBlockSays) {
    ns::Reachability::setOverride(ns::Reachability::Status::NotReachable);
    ns::URLRequest request(backend_->httpsURL("/__recorder/offline"));

    // No retry block: the library does not retry an offline device.
    service_->setRetryEnabled(true);
    auto plain = begin(service_->fetcherWithRequest(request));
    ASSERT_TRUE(wait([&] { return plain->done; }));
    EXPECT_EQ(plain->error->domain(), ns::kURLErrorDomain);
    EXPECT_EQ(plain->error->code(), ns::kURLErrorNotConnectedToInternet);

    // A block that retries -1009 keeps trying until the network comes back.
    auto clock = ns::VirtualClock::install(ns::Clock::nowSeconds());
    service_->setRetryBlock([](bool suggested, ns::ErrorRef error, HTKRetryResponse response) {
        response(suggested || error->code() == ns::kURLErrorNotConnectedToInternet);
    });
    backend_->setRecorderResponse({.status = 200, .body = "online"});
    RetryWaits waits;
    auto outcome = begin(service_->fetcherWithRequest(request));
    for (size_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(wait([&] { return waits.waits().size() > i; }));
        if (i == 2) ns::Reachability::setOverride(std::nullopt);
        clock->advance(waits.waits()[i]);
    }
    ASSERT_TRUE(wait([&] { return outcome->done; }));
    EXPECT_FALSE(outcome->error);
    EXPECT_EQ(text(*outcome->data), "online");
    // Nothing reached the server while the device was offline.
    EXPECT_EQ(backend_->recordedRequests().size(), 1u);
}

TEST_F(SessionFetcherTest, TheAuthorizerStampsEachAttemptOrStopsTheFetch) {
    auto authorizer = std::make_shared<TestAuthorizer>();
    service_->setAuthorizer(authorizer);
    backend_->setRecorderResponse({.status = 200, .body = "ok"});
    auto outcome = begin(service_->fetcherWithRequest(ns::URLRequest(backend_->httpsURL("/__recorder/auth"))));
    ASSERT_TRUE(wait([&] { return outcome->done; }));
    auto seen = backend_->recordedRequests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].header("Authorization"), "Test 1");

    auto refusal = ns::Error::make("test", 7, "no credentials");
    service_->setAuthorizer(std::make_shared<TestAuthorizer>(refusal));
    auto refused = begin(service_->fetcherWithRequest(ns::URLRequest(backend_->httpsURL("/__recorder/auth"))));
    ASSERT_TRUE(wait([&] { return refused->done; }));
    EXPECT_EQ(refused->error, refusal);
    EXPECT_EQ(backend_->recordedRequests().size(), 1u);
}

TEST_F(SessionFetcherTest, DownloadsToMemoryAndToAFileReportProgress) {
    // Time stands still: the first piece is reported at once, the rest are
    // held for the interval and reported together before the completion.
    auto clock = ns::VirtualClock::install(ns::Clock::nowSeconds());
    std::string body(3000000, 'x');
    for (size_t i = 0; i < body.size(); ++i) body[i] = char('a' + i % 26);
    backend_->setRecorderResponse({.status = 200, .body = body});

    auto memory = service_->fetcherWithRequest(ns::URLRequest(backend_->httpsURL("/__recorder/memory")));
    int64_t lastTotal = 0;
    int64_t sum = 0;
    int reports = 0;
    std::shared_ptr<Outcome> inMemory;
    memory->setReceivedProgressBlock([&](int64_t received, int64_t total) {
        EXPECT_TRUE(ns::RunLoop::isMainThread());
        EXPECT_GT(total, lastTotal);
        EXPECT_FALSE(inMemory->done);
        sum += received;
        lastTotal = total;
        ++reports;
    });
    inMemory = begin(memory);
    ASSERT_TRUE(wait([&] { return inMemory->done; }));
    EXPECT_EQ(text(*inMemory->data), body);
    EXPECT_EQ(lastTotal, int64_t(body.size()));
    EXPECT_EQ(sum, int64_t(body.size()));
    EXPECT_LE(reports, 2);
    EXPECT_EQ(memory->response()->expectedContentLength(), int64_t(body.size()));

    std::string path = sandbox_.root() + "/download.bin";
    auto file = service_->fetcherWithRequest(ns::URLRequest(backend_->httpsURL("/__recorder/file")));
    file->setDestinationFileURL(ns::fileURLWithPath(path));
    int64_t written = 0, expected = 0;
    file->setDownloadProgressBlock([&](int64_t, int64_t total, int64_t totalExpected) {
        written = total;
        expected = totalExpected;
    });
    auto toFile = begin(file);
    ASSERT_TRUE(wait([&] { return toFile->done; }));
    EXPECT_FALSE(toFile->error);
    EXPECT_FALSE(toFile->data);
    EXPECT_EQ(written, int64_t(body.size()));
    EXPECT_EQ(expected, int64_t(body.size()));
    std::ifstream in(path, std::ios::binary);
    std::stringstream read;
    read << in.rdbuf();
    EXPECT_EQ(read.str(), body);
}

TEST_F(SessionFetcherTest, AStoppedFetchEndsSilentlyAndItsResumeDataFetchesTheSameURL) {
    backend_->setRecorderResponse({.status = 200, .body = "", .hold = true});
    auto fetcher = service_->fetcherWithRequest(ns::URLRequest(backend_->httpsURL("/__recorder/held")));
    std::optional<ns::Data> resumeData;
    fetcher->setResumeDataBlock([&](const ns::Data& data) { resumeData = data; });
    auto outcome = begin(fetcher);
    ASSERT_TRUE(wait([&] { return backend_->heldCount() == 1; }));
    fetcher->stopFetching();
    EXPECT_TRUE(fetcher->waitForCompletionWithTimeout(0.001));
    ASSERT_TRUE(resumeData);
    backend_->releaseHeld();

    // Resume data that claims bytes the server does not continue from
    // (it answers 200 to the Range) starts the body over.
    backend_->setRecorderResponse({.status = 200, .body = "whole body"});
    auto resumed = HTKSessionFetcher::fetcherWithDownloadResumeData(*resumeData);
    auto again = begin(resumed);
    ASSERT_TRUE(wait([&] { return again->done; }));
    EXPECT_FALSE(again->error);
    EXPECT_EQ(text(*again->data), "whole body");
    EXPECT_EQ(backend_->recordedRequests().back().path, "/__recorder/held");
    EXPECT_EQ(outcome->calls, 0);

    auto broken = begin(HTKSessionFetcher::fetcherWithDownloadResumeData(ns::Data{1, 2, 3}));
    ASSERT_TRUE(wait([&] { return broken->done; }));
    EXPECT_EQ(broken->error->domain(), kHTKSessionFetcherErrorDomain);
}

// Resume data comes back from the caller's own store and may be damaged:
// discarding it removes the fetcher's partial file and no other file it names.
TEST_F(SessionFetcherTest, DiscardedResumeDataRemovesOnlyAPartialFile) {
    const std::string kept = sandbox_.root() + "/photo.jpg";
    const std::string partial = kept + ".htkdownload";
    for (const std::string& path : {kept, partial}) std::ofstream(path) << "bytes";
    for (const std::string& named : {kept, partial}) {
        ns::Dictionary resume{{"url", "https://127.0.0.1/x"}, {"partialPath", named}};
        HTKSessionFetcher::discardDownloadResumeData(ns::plist::serialize(ns::Value(resume), ns::plist::Format::Binary));
    }
    EXPECT_TRUE(std::ifstream(kept).good());
    EXPECT_FALSE(std::ifstream(partial).good());
}

}  // namespace
