// How storage operations end: the error table against the local storage
// service, size limits, cancelling, answers that are not JSON, retries on
// the virtual clock, observers of a status already reached, completions
// that run exactly once, callback queues, and storage object identity.

#include <httplib.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/clock.h"
#include "platform/host_routing.h"
#include "platform/reachability.h"
#include "storage/QRVStorageErrors.h"
#include "storage_test_support.h"
#include "testing/retry_waits.h"

using namespace storagetest;

namespace {

const std::string kCertDir = ALMAVEL_CERT_DIR;

class StorageOutcomesTest : public StorageBackendTest {
protected:
    void TearDown() override {
        ns::Reachability::setOverride(std::nullopt);
        StorageBackendTest::TearDown();
    }
};

// A storage peer on loopback whose answers are not the JSON the client
// expects: the resumable upload ends with an HTML page, metadata reads
// answer plain text. The storage host is routed to it while it lives.
class NonJSONPeer {
public:
    NonJSONPeer() : server_((kCertDir + "/server.pem").c_str(), (kCertDir + "/server-key.pem").c_str()) {
        // One answer per connection, so stopping does not wait on idle ones.
        server_.set_keep_alive_max_count(1);
        server_.Post(".*", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("Location", std::string("https://") + kQRVStorageHost + "/upload/session-1");
        });
        server_.Put(".*", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("<html>gateway says hi</html>", "text/html");
        });
        server_.Get(".*", [](const httplib::Request&, httplib::Response& res) {
            res.set_content("not json at all", "text/plain");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        // Bound already: connections wait in the backlog until it listens.
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        ns::HostRouting::shared().add(kQRVStorageHost, 443, "127.0.0.1", uint16_t(port_));
    }
    ~NonJSONPeer() {
        ns::HostRouting::shared().remove(kQRVStorageHost, 443);
        server_.stop();
        thread_.join();
    }

private:
    httplib::SSLServer server_;
    int port_ = 0;
    std::thread thread_;
};

using ns::testing::RetryWaits;

TEST_F(StorageOutcomesTest, RefusalsMapOntoTheErrorTable) {
    putObject("products/555.jpg", bytesOf(100));
    auto product = storage_->referenceWithPath("products/555.jpg");

    // Nobody signed in.
    auto anonymous = get(product, 1 << 20);
    ASSERT_TRUE(anonymous.error);
    EXPECT_EQ(anonymous.error->code(), QRVStorageErrorCodeUnauthenticated);
    EXPECT_EQ(anonymous.error->userInfo().at("ResponseErrorCode").intValue(), 401);
    // The authorizer stamped the request but had no token to add.
    json sent = storageRequests().back();
    bool authorization = false, version = false;
    for (const auto& h : sent["headers"]) {
        authorization |= h["name"] == "Authorization";
        version |= h["name"] == "x-quorvane-storage-version";
    }
    EXPECT_FALSE(authorization);
    EXPECT_TRUE(version);

    std::string uid = signIn("staff-gil");
    auto missing = get(storage_->referenceWithPath("products/none.jpg"), 1 << 20);
    ASSERT_TRUE(missing.error);
    EXPECT_EQ(missing.error->code(), QRVStorageErrorCodeObjectNotFound);
    EXPECT_EQ(missing.error->localizedDescription(), "Object products/none.jpg does not exist.");
    EXPECT_EQ(missing.calls, 1);

    // Someone else's profile photo cannot be written.
    auto other = storage_->referenceWithPath("profiles/someone-else.jpg");
    auto task = other->putData(bytesOf(10));
    QRVStorageTaskSnapshotPtr failure;
    task->observeStatus(QRVStorageTaskStatusFailure, [&](QRVStorageTaskSnapshotPtr s) { failure = s; });
    ASSERT_TRUE(pumpUntil([&] { return failure != nullptr; }));
    EXPECT_EQ(failure->error()->code(), QRVStorageErrorCodeUnauthorized);
    EXPECT_EQ(failure->error()->localizedDescription(),
              "User does not have permission to access vbk://almavel-pa.quorvanestorage.com/profiles/someone-else.jpg.");
    ASSERT_TRUE(failure->metadata());
    EXPECT_EQ(failure->metadata()->path(), "profiles/someone-else.jpg");
    EXPECT_EQ(failure->metadata()->contentType(), "application/octet-stream");

    // A token the service does not accept.
    app_->setGetTokenImplementation([](bool, QRVApp::TokenCallback callback) {
        ns::DispatchQueue::main()->async([callback] { callback(std::string("not.a.token"), nullptr); });
    });
    auto badToken = get(product, 1 << 20);
    ASSERT_TRUE(badToken.error);
    EXPECT_EQ(badToken.error->code(), QRVStorageErrorCodeUnauthenticated);

    // A token hook that fails never reaches the service.
    clearStorageRequests();
    app_->setGetTokenImplementation([](bool, QRVApp::TokenCallback callback) {
        ns::DispatchQueue::main()->async([callback] { callback(std::nullopt, ns::Error::make("auth", 17, "no")); });
    });
    auto hookFailed = readMetadata(product);
    ASSERT_TRUE(hookFailed.error);
    EXPECT_EQ(hookFailed.error->code(), QRVStorageErrorCodeUnauthenticated);
    EXPECT_EQ(hookFailed.error->userInfo().at("ResponseErrorDomain").asString(), "auth");
    EXPECT_EQ(hookFailed.error->userInfo().at("ResponseErrorCode").intValue(), 17);
    EXPECT_TRUE(storageRequests().empty());
}

TEST_F(StorageOutcomesTest, AnObjectOverTheLimitFailsOnceNamingBothSizes) {
    signIn("staff-hugo");
    putObject("products/big.jpg", bytesOf(2000000));
    putObject("products/small.jpg", bytesOf(1000));

    auto big = storage_->referenceWithPath("products/big.jpg");
    auto tooBig = get(big, 1048576);
    ASSERT_TRUE(tooBig.error);
    EXPECT_EQ(tooBig.error->code(), QRVStorageErrorCodeDownloadSizeExceeded);
    EXPECT_NE(tooBig.error->localizedDescription().find("size of 2000000 bytes"), std::string::npos)
        << tooBig.error->localizedDescription();
    EXPECT_NE(tooBig.error->localizedDescription().find("maximum size of 1048576 bytes"), std::string::npos);
    // However many progress reports passed the limit.
    EXPECT_EQ(tooBig.calls, 1);
    EXPECT_FALSE(tooBig.value);

    auto small = get(storage_->referenceWithPath("products/small.jpg"), 1048576);
    ASSERT_FALSE(small.error);
    EXPECT_EQ(*small.value, bytesOf(1000));
}

// The order a fast download can take: the body is whole before any of its
// progress reaches the callback queue. The queue is held from the moment
// the request goes out (queued behind the authorizer's hand-off) until the
// fetch has ended, so its progress and its completion then run back to back.
TEST_F(StorageOutcomesTest, AnObjectOverTheLimitThatArrivesWholeIsStillRefused) {
    signIn("staff-iris");
    putObject("products/whole.jpg", bytesOf(1100000));
    std::optional<std::string> token;
    bool tokenCame = false;
    app_->getTokenForcingRefresh(false, [&](std::optional<std::string> t, ns::ErrorRef) {
        token = std::move(t);
        tokenCame = true;
    });
    ASSERT_TRUE(pumpUntil([&] { return tokenCame; }) && token);

    auto queue = ns::DispatchQueue::serial("com.almavel.test.storage-held");
    storage_->setCallbackQueue(queue);
    std::promise<std::shared_ptr<HTKSessionFetcher>> started;
    std::shared_future<std::shared_ptr<HTKSessionFetcher>> fetcher = started.get_future().share();
    std::atomic<bool> heldUntilWhole{false};
    app_->setGetTokenImplementation([&, token](bool, QRVApp::TokenCallback callback) {
        callback(token, nullptr);
        queue->async([fetcher, &heldUntilWhole] { heldUntilWhole = fetcher.get()->waitForCompletionWithTimeout(60); });
    });
    std::atomic<int> calls{0};
    std::shared_ptr<const ns::Data> data;
    ns::ErrorRef error;
    auto task = storage_->referenceWithPath("products/whole.jpg")
                    ->dataWithMaxSize(1048576, [&](std::shared_ptr<const ns::Data> d, ns::ErrorRef e) {
                        data = std::move(d);
                        error = std::move(e);
                        ++calls;
                    });
    started.set_value(task->fetcher());
    ASSERT_TRUE(pumpUntil([&] { return calls > 0; }));
    settle();
    ASSERT_TRUE(heldUntilWhole);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(data, nullptr) << data->size() << " bytes handed over";
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), QRVStorageErrorCodeDownloadSizeExceeded);
    EXPECT_EQ(error->userInfo().at("totalSize").intValue(), 1100000);
    EXPECT_EQ(error->userInfo().at("maxAllowedSize").intValue(), 1048576);
}

TEST_F(StorageOutcomesTest, CancellingEndsATaskOnceAndDropsItsObservers) {
    std::string uid = signIn("staff-ines");
    // The upload's first answer is held back long enough to cancel.
    addFault({{"kind", "startUpload"}, {"delayMs", 3000}});
    int completions = 0;
    ns::ErrorRef error;
    auto task = storage_->referenceWithPath("profiles/" + uid + ".jpg")
                    ->putData(bytesOf(1000), nullptr, [&](QRVStorageMetadataPtr, ns::ErrorRef e) {
                        ++completions;
                        error = e;
                    });
    auto sentinel = std::make_shared<int>(0);
    std::weak_ptr<int> watch = sentinel;
    int failures = 0;
    task->observeStatus(QRVStorageTaskStatusFailure, [&failures, sentinel](QRVStorageTaskSnapshotPtr) { ++failures; });
    task->observeStatus(QRVStorageTaskStatusProgress, [sentinel](QRVStorageTaskSnapshotPtr) {});
    sentinel.reset();

    task->cancel();
    task->cancel();
    task->resume();
    ASSERT_TRUE(pumpUntil([&] { return completions > 0; }));
    settle();
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(failures, 1);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), QRVStorageErrorCodeCancelled);
    EXPECT_EQ(task->state(), QRVStorageTaskStateCancelled);
    EXPECT_EQ(task->snapshot()->status(), QRVStorageTaskStatusFailure);
    EXPECT_EQ(task->snapshot()->error()->code(), QRVStorageErrorCodeCancelled);
    // Every observer went with the cancel.
    EXPECT_TRUE(watch.expired());

    // A late failure observer still learns how it ended, once.
    int late = 0;
    task->observeStatus(QRVStorageTaskStatusFailure, [&](QRVStorageTaskSnapshotPtr) { ++late; });
    ASSERT_TRUE(pumpUntil([&] { return late > 0; }));
    settle();
    EXPECT_EQ(late, 1);
    EXPECT_EQ(failures, 1);
}

TEST_F(StorageOutcomesTest, ObservingAReachedStatusFiresOnlyTheNewHandler) {
    signIn("staff-jose");
    putObject("products/9.jpg", bytesOf(500));
    int completions = 0;
    auto task = storage_->referenceWithPath("products/9.jpg")
                    ->dataWithMaxSize(1 << 20, [&](std::shared_ptr<const ns::Data>, ns::ErrorRef) { ++completions; });
    int first = 0;
    task->observeStatus(QRVStorageTaskStatusSuccess, [&](QRVStorageTaskSnapshotPtr) { ++first; });
    ASSERT_TRUE(pumpUntil([&] { return completions > 0 && first > 0; }));

    int second = 0;
    QRVStorageTaskSnapshotPtr snapshot;
    task->observeStatus(QRVStorageTaskStatusSuccess, [&](QRVStorageTaskSnapshotPtr s) {
        ++second;
        snapshot = s;
    });
    ASSERT_TRUE(pumpUntil([&] { return second > 0; }));
    settle();
    EXPECT_EQ(second, 1);
    EXPECT_EQ(first, 1);
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(snapshot->status(), QRVStorageTaskStatusSuccess);
    EXPECT_EQ(snapshot->description(), "<State: Success>");
    // A finished task cannot be cancelled any more.
    task->cancel();
    settle();
    EXPECT_EQ(task->state(), QRVStorageTaskStateSuccess);
}

TEST_F(StorageOutcomesTest, AnswersThatAreNotJSONFailWithTheUnknownCode) {
    NonJSONPeer peer;
    auto ref = storage_->referenceWithPath("profiles/x.jpg");

    auto uploaded = put(ref, bytesOf(100));
    ASSERT_TRUE(uploaded.error);
    EXPECT_EQ(uploaded.error->code(), QRVStorageErrorCodeUnknown);
    EXPECT_EQ(uploaded.error->localizedFailureReason(),
              "Invalid data returned from the server: <html>gateway says hi</html>");
    EXPECT_FALSE(uploaded.value);
    EXPECT_EQ(uploaded.calls, 1);

    auto read = readMetadata(ref);
    ASSERT_TRUE(read.error);
    EXPECT_EQ(read.error->code(), QRVStorageErrorCodeUnknown);
    EXPECT_EQ(read.error->localizedFailureReason(), "Invalid data returned from the server: not json at all");
}

TEST_F(StorageOutcomesTest, ServerFailuresAreRetriedUntilTheOperationTimeRunsOut) {
    signIn("staff-kim");
    putObject("products/77.jpg", bytesOf(100));
    addFault({{"kind", "metadata"}, {"status", 503}, {"count", 100}});
    auto clock = ns::VirtualClock::install(ns::Clock::nowSeconds());
    RetryWaits waits;
    double started = clock->now();
    Completion<QRVStorageMetadataPtr> read;
    storage_->referenceWithPath("products/77.jpg")->metadataWithCompletion([&](QRVStorageMetadataPtr m, ns::ErrorRef e) {
        read.value = m;
        read.error = e;
        ++read.calls;
    });
    waits.drive(*clock, [&] { return read.done(); });
    // 1 + 2 + ... + 32 = 63 s fit in the 120 s of an operation; 64 more would not.
    EXPECT_EQ(waits.waits(), (std::vector<double>{1, 2, 4, 8, 16, 32}));
    EXPECT_LE(clock->now() - started, 120);
    ASSERT_TRUE(read.error);
    EXPECT_EQ(read.error->code(), QRVStorageErrorCodeUnknown);
    EXPECT_EQ(read.error->userInfo().at("ResponseErrorCode").intValue(), 503);
    EXPECT_EQ(storageRequests().size(), 7u);
}

TEST_F(StorageOutcomesTest, AnUploadPausedDuringARetryWaitResumesOnce) {
    std::string uid = signIn("staff-noa");
    addFault({{"kind", "uploadChunk"}, {"status", 503}});
    // The resumed upload's question is answered late, so the task is still
    // running when the old wait would have ended.
    addFault({{"kind", "uploadQuery"}, {"delayMs", 1500}});
    auto clock = ns::VirtualClock::install(ns::Clock::nowSeconds());
    RetryWaits waits;
    auto task = storage_->referenceWithPath("profiles/" + uid + ".jpg")->putData(bytesOf(1000));
    int successes = 0;
    task->observeStatus(QRVStorageTaskStatusSuccess, [&](QRVStorageTaskSnapshotPtr) { ++successes; });
    ASSERT_TRUE(pumpUntil([&] { return !waits.waits().empty(); }));
    task->pause();
    task->resume();
    // The wait that was under way when the task paused sends nothing more.
    clock->advance(waits.waits()[0]);
    ASSERT_TRUE(pumpUntil([&] { return successes == 1; }));
    // Long enough for a late question, had there been one, to be answered and logged.
    ns::RunLoop::main().runFor(2.0);
    std::vector<std::string> kinds = requestKinds();
    EXPECT_EQ(kinds, (std::vector<std::string>{"startUpload", "uploadChunk", "uploadQuery", "uploadChunk"}))
        << json(kinds).dump();
    EXPECT_EQ(successes, 1);
}

TEST_F(StorageOutcomesTest, AnOfflineDeviceRetriesUntilTheDownloadTimeRunsOut) {
    signIn("staff-lia");
    putObject("products/88.jpg", bytesOf(100));
    clearStorageRequests();
    ns::Reachability::setOverride(ns::Reachability::Status::NotReachable);
    auto clock = ns::VirtualClock::install(ns::Clock::nowSeconds());
    RetryWaits waits;
    Completion<std::shared_ptr<const ns::Data>> got;
    storage_->referenceWithPath("products/88.jpg")
        ->dataWithMaxSize(1 << 20, [&](std::shared_ptr<const ns::Data> data, ns::ErrorRef error) {
            got.value = data;
            got.error = error;
            ++got.calls;
        });
    waits.drive(*clock, [&] { return got.done(); });
    // Waits up to 256 s (511 in all) fit in the 600 s of a download.
    EXPECT_EQ(waits.waits(), (std::vector<double>{1, 2, 4, 8, 16, 32, 64, 128, 256}));
    ASSERT_TRUE(got.error);
    EXPECT_EQ(got.error->code(), QRVStorageErrorCodeUnknown);
    EXPECT_EQ(got.error->userInfo().at("ResponseErrorCode").intValue(), -1009);
    EXPECT_TRUE(storageRequests().empty());

    // Back online, the next try goes through.
    ns::Reachability::setOverride(std::nullopt);
    EXPECT_FALSE(get(storage_->referenceWithPath("products/88.jpg"), 1 << 20).error);
}

TEST_F(StorageOutcomesTest, CompletionsRunOnTheStoragesCallbackQueue) {
    signIn("staff-mar");
    putObject("products/31.jpg", bytesOf(10));
    auto queue = ns::DispatchQueue::serial("com.almavel.test.storage-callbacks");
    // Set through one storage object, seen by every one of the same bucket.
    QRVStorage::storage()->setCallbackQueue(queue);
    EXPECT_EQ(storage_->callbackQueue(), queue);
    std::atomic<int> onQueue{0};
    std::atomic<int> calls{0};
    auto ref = storage_->referenceWithPath("products/31.jpg");
    ref->dataWithMaxSize(100, [&](std::shared_ptr<const ns::Data>, ns::ErrorRef) {
        onQueue += queue->isCurrent();
        ++calls;
    });
    ref->metadataWithCompletion([&](QRVStorageMetadataPtr, ns::ErrorRef) {
        onQueue += queue->isCurrent();
        ++calls;
    });
    ASSERT_TRUE(pumpUntil([&] { return calls == 2; }));
    EXPECT_EQ(onQueue, 2);
    EXPECT_EQ(storage_->copy()->callbackQueue(), queue);
}

TEST_F(StorageOutcomesTest, StorageObjectsAreEqualByAppAndBucket) {
    auto a = QRVStorage::storage();
    auto b = QRVStorage::storage();
    EXPECT_NE(a, b);
    EXPECT_EQ(a->fetcherServiceForApp(), b->fetcherServiceForApp());
    EXPECT_TRUE(a->isEqual(*b));
    EXPECT_EQ(a->hash(), b->hash());
    a->setCallbackQueue(ns::DispatchQueue::serial("com.almavel.test.other"));
    EXPECT_EQ(a->hash(), b->hash());

    auto other = QRVStorage::storageWithURL(std::string("vbk://another-bucket"));
    EXPECT_FALSE(a->isEqual(*other));
    EXPECT_NE(a->fetcherServiceForApp(), other->fetcherServiceForApp());
    auto copy = other->copy();
    EXPECT_TRUE(copy->isEqual(*other));
    EXPECT_EQ(copy->hash(), other->hash());

    auto ref = a->referenceWithPath("products/1.jpg");
    EXPECT_TRUE(ref->isEqual(*b->referenceWithPath("products//1.jpg")));
    EXPECT_EQ(ref->hash(), b->referenceWithPath("products/1.jpg")->hash());
    EXPECT_FALSE(ref->isEqual(*other->referenceWithPath("products/1.jpg")));
    EXPECT_EQ(ref->stringValue(), "vbk://almavel-pa.quorvanestorage.com/products/1.jpg");
    EXPECT_EQ(ref->root()->fullPath(), "");
    EXPECT_EQ(ref->root()->name(), "");
    EXPECT_FALSE(ref->root()->parent());
    EXPECT_EQ(ref->parent()->fullPath(), "products");
    EXPECT_EQ(ref->name(), "1.jpg");
}

TEST_F(StorageOutcomesTest, StorageObjectsRefuseBadLocations) {
    auto reason = [](const std::function<void()>& call) {
        try {
            call();
        } catch (const ns::Exception& e) {
            return e.name() + ": " + e.reason();
        }
        return std::string("(nothing raised)");
    };
    EXPECT_EQ(reason([] { QRVStorage::storageWithURL(std::string("vbk://bucket/with/path")); }),
              "NSInternalInconsistencyException: Storage bucket cannot be initialized with a path");
    EXPECT_EQ(reason([] { QRVStorage::storageWithURL(std::string("gs://bucket")); }),
              "NSInternalInconsistencyException: URI must be in the form of vbk://<bucket>/");
    EXPECT_EQ(reason([] { QRVStorage::storageWithURL(std::nullopt); }),
              "NSInvalidArgumentException: No default Storage bucket found. Did you configure Quorvane Storage "
              "properly?");
    EXPECT_EQ(reason([&] { storage_->referenceForURL("vbk://another-bucket/x"); }),
              "NSInvalidArgumentException: Provided bucket: another-bucket does not match the Storage bucket of the "
              "current instance: almavel-pa.quorvanestorage.com");
    auto anyBucket = QRVStorage::storageWithURL(std::string());
    EXPECT_EQ(anyBucket->referenceForURL("vbk://another-bucket/x")->bucket(), "another-bucket");
    EXPECT_EQ(reason([] { QRVStorage::enableBackgroundTasks(true); }),
              "NSGenericException: enableBackgroundTasks not implemented");
    EXPECT_EQ(reason([&] {
                  storage_->reference()->dataWithMaxSize(1, nullptr)->observeStatus(QRVStorageTaskStatusUnknown,
                                                                                    nullptr);
              }),
              std::string("NSInternalInconsistencyException: ") + kQRVStorageInvalidObserverStatus);

    QRVApp::configure("no-bucket", std::make_shared<QRVOptions>(ns::Dictionary{{"ONDRIX_APP_ID", kAppID},
                                                                              {"API_KEY", kAPIKey}}));
    EXPECT_EQ(reason([] { QRVStorage::storageForApp(QRVApp::appNamed("no-bucket")); }),
              "NSInvalidArgumentException: No default Storage bucket found. Did you configure Quorvane Storage "
              "properly?");
}

}  // namespace
