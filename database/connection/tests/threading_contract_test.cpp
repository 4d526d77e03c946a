// The connection classes state which queue their operations run on; Debug
// builds check it at entry and raise naming the queue, so a caller on the
// wrong thread is caught where it calls rather than as a data race later.

#include <gtest/gtest.h>

#include <future>
#include <functional>
#include <thread>

#include "database/connection/FConnection.h"
#include "database/connection/FConstants.h"
#include "database/connection/FPersistentConnection.h"
#include "database/connection/FSRUtilities.h"
#include "database/connection/FSRWebSocket.h"
#include "database/connection/FWebSocketConnection.h"
#include "database/connection/QRVRetryHelper.h"
#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/runloop.h"
#include "platform/socket_stream.h"

namespace {

#ifdef NDEBUG
constexpr bool kChecked = false;
#else
constexpr bool kChecked = true;
#endif

// Runs `f` and returns the reason of the ns::Exception it raised ("" when
// none).
template <class F>
std::string raisedReason(F&& f) {
    try {
        f();
    } catch (const ns::Exception& e) {
        EXPECT_EQ(e.name(), ns::kInternalInconsistencyException);
        return e.reason();
    }
    return "";
}

class ThreadingContractTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!kChecked) GTEST_SKIP() << "queue contracts are checked in Debug builds only";
    }
    ns::DispatchQueuePtr worker_ = ns::DispatchQueue::serial("test.contract.worker");
    ns::DispatchQueuePtr other_ = ns::DispatchQueue::serial("test.contract.other");
    std::shared_ptr<FRepoInfo> repoInfo_ = std::make_shared<FRepoInfo>("contract.ns.localhost:1", false, "contract");
};

TEST_F(ThreadingContractTest, AssertionNamesTheQueueAndTheCaller) {
    EXPECT_EQ(raisedReason([&] { worker_->sync([&] { ns::dispatchAssertQueue(worker_); }); }), "");
    // Nested: the inner queue is current, the outer one still counts.
    EXPECT_EQ(raisedReason([&] {
                  worker_->sync([&] { other_->sync([&] { ns::dispatchAssertQueue(worker_); }); });
              }),
              "");
    const std::string fromOther = raisedReason([&] { other_->sync([&] { ns::dispatchAssertQueue(worker_); }); });
    EXPECT_EQ(fromOther, "Must be called on the queue \"test.contract.worker\", not on \"test.contract.other\"");
    std::string fromThread;
    std::thread([&] { fromThread = raisedReason([&] { ns::dispatchAssertQueue(*worker_); }); }).join();
    EXPECT_EQ(fromThread, "Must be called on the queue \"test.contract.worker\", not off every queue");
}

TEST_F(ThreadingContractTest, WireProtocolOperationsOffTheWorkerQueueRaise) {
    auto config = std::make_shared<QRVDatabaseConfig>("contract", std::make_shared<QRVNoopAuthTokenProvider>());
    // Making one is allowed anywhere.
    auto connection = FPersistentConnection::make(repoInfo_, worker_, config);
    const auto noStatus = [](const std::string&, const std::optional<std::string>&) {};
    const std::vector<std::pair<std::string, std::function<void()>>> calls = {
        {"open", [&] { connection->open(); }},
        {"putData", [&] { connection->putData(ns::Value(1), "/a", std::nullopt, noStatus); }},
        {"mergeData", [&] { connection->mergeData(ns::Dictionary{{"b", 2}}, "/a", noStatus); }},
        {"listen",
         [&] {
             connection->listen(FQuerySpec::defaultQueryAtPath(FPath("/a")), std::nullopt, nullptr,
                                [](const std::string&) {});
         }},
        {"unlisten", [&] { connection->unlisten(FQuerySpec::defaultQueryAtPath(FPath("/a")), std::nullopt); }},
        {"onDisconnectPutData", [&] { connection->onDisconnectPutData(ns::Value(1), FPath("/a"), noStatus); }},
        {"onDisconnectCancelPath", [&] { connection->onDisconnectCancelPath(FPath("/a"), noStatus); }},
        {"refreshAuthToken", [&] { connection->refreshAuthToken(std::string("token")); }},
        {"interruptForReason", [&] { connection->interruptForReason("test"); }},
        {"resumeForReason", [&] { connection->resumeForReason("test"); }},
        {"purgeOutstandingWrites", [&] { connection->purgeOutstandingWrites(); }},
    };
    for (const auto& [name, call] : calls) {
        SCOPED_TRACE(name);
        EXPECT_EQ(raisedReason(call), "Must be called on the queue \"test.contract.worker\", not on \"" +
                                          ns::DispatchQueue::main()->label() + "\"");
    }
    // Nothing was done: still waiting for open, nothing outstanding.
    worker_->sync([&] {
        EXPECT_TRUE(connection->isInterruptedForReason(kFInterruptReasonWaitingForOpen));
        EXPECT_FALSE(connection->isInterruptedForReason("test"));
        EXPECT_EQ(connection->outstandingPutCountForTesting(), 0u);
        // On the queue the same call goes through.
        EXPECT_EQ(raisedReason([&] { connection->interruptForReason("test"); }), "");
        EXPECT_TRUE(connection->isInterruptedForReason("test"));
    });
}

TEST_F(ThreadingContractTest, FramedAndWebSocketConnectionsCheckTheirQueue) {
    auto framed = FConnection::makeWithURLForTesting(repoInfo_, worker_, "ws://contract.localhost:1/.ws?v=5");
    auto socket = framed->webSocketConnection();
    ASSERT_TRUE(socket);
    for (auto call : std::vector<std::function<void()>>{
             [&] { framed->open(); },
             [&] { framed->close(); },
             [&] { framed->sendData(ns::Dictionary{{"t", "d"}}, false); },
             [&] { socket->open(); },
             [&] { socket->send(ns::Value(ns::Dictionary{{"t", "d"}})); },
             [&] { socket->handleIncomingFrame("{\"t\":\"d\"}"); },
             [&] { socket->close(); },
         }) {
        std::string reason;
        other_->sync([&] { reason = raisedReason(call); });
        EXPECT_EQ(reason, "Must be called on the queue \"test.contract.worker\", not on \"test.contract.other\"");
    }
    // Still connecting and untouched; closing on the worker queue is fine.
    worker_->sync([&] {
        EXPECT_EQ(framed->state(), REALTIME_STATE_CONNECTING);
        EXPECT_EQ(raisedReason([&] { framed->close(); }), "");
        EXPECT_EQ(framed->state(), REALTIME_STATE_DISCONNECTED);
    });
}

TEST_F(ThreadingContractTest, RetryHelperIsUsedOnItsQueueOnly) {
    auto helper = std::make_shared<QRVRetryHelper>(worker_, 1.0, 30.0, 1.3, 0.5);
    for (auto call : std::vector<std::function<void()>>{[&] { helper->retry([] {}); },
                                                        [&] { helper->signalSuccess(); },
                                                        [&] { helper->cancel(); }}) {
        EXPECT_NE(raisedReason(call).find("\"test.contract.worker\""), std::string::npos);
    }
    worker_->sync([&] {
        // The refused retry changed nothing: this one is still the first,
        // with no delay, and only the next one backs off.
        EXPECT_EQ(raisedReason([&] { helper->retry([] {}); }), "");
        EXPECT_EQ(helper->currentRetryDelay(), 0.0);
        EXPECT_EQ(raisedReason([&] { helper->retry([] {}); }), "");
        EXPECT_EQ(helper->currentRetryDelay(), 1.0);
        EXPECT_EQ(raisedReason([&] { helper->cancel(); }), "");
    });
}

TEST_F(ThreadingContractTest, WebSocketFrameReaderAndStreamEventsCheckTheirThread) {
    auto reader = FSRWebSocket::makeFrameReaderForTesting(worker_);
    reader->drainWorkQueueForTesting();
    EXPECT_EQ(raisedReason([&] { reader->_readFrameContinue(); }).rfind("Must be called on the queue \"", 0), 0u);
    EXPECT_EQ(raisedReason([&] { reader->_readFrameNew(); }).rfind("Must be called on the queue \"", 0), 0u);
    // The refused calls queued no reads: a frame fed afterwards is read once.
    auto recorder = std::make_shared<std::vector<ns::Value>>();
    struct Delegate : FSRWebSocketDelegate {
        std::shared_ptr<std::vector<ns::Value>> messages;
        void webSocket(const std::shared_ptr<FSRWebSocket>&, const ns::Value& message) override {
            messages->push_back(message);
        }
    };
    auto delegate = std::make_shared<Delegate>();
    delegate->messages = recorder;
    reader->setDelegate(delegate);
    reader->feedBytesForTesting(ns::Data{0x81, 0x02, 'o', 'k'});
    reader->drainWorkQueueForTesting();
    worker_->sync([] {});
    worker_->sync([&] { EXPECT_EQ(*recorder, std::vector<ns::Value>{ns::Value("ok")}); });

    // Stream events come on the network thread; anywhere else they raise.
    auto socket = FSRWebSocket::make(ns::URLRequest("ws://contract.localhost:1/"), worker_, std::nullopt);
    auto pair = ns::createStreamPairWithSocketToHost("contract.localhost", 1);
    EXPECT_EQ(raisedReason([&] { socket->streamHandleEvent(*pair.input, ns::kStreamEventNone); }),
              "Stream events of a web socket must arrive on the run loop its streams are scheduled in "
              "(the network thread)");
    std::promise<std::string> onNetworkThread;
    FSR_networkRunLoop()->perform([&] {
        onNetworkThread.set_value(raisedReason([&] { socket->streamHandleEvent(*pair.input, ns::kStreamEventNone); }));
    });
    auto result = onNetworkThread.get_future();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_EQ(result.get(), "");
    socket->drainWorkQueueForTesting();

    // Opened without a run loop, its streams deliver to the work queue instead.
    auto opened = FSRWebSocket::make(ns::URLRequest("ws://contract.localhost:1/"), worker_, std::nullopt);
    opened->open();
    EXPECT_EQ(raisedReason([&] { opened->streamHandleEvent(*pair.input, ns::kStreamEventNone); }),
              "Stream events of a web socket must arrive on its work queue, where its streams deliver them");
    opened->close();
    opened->drainWorkQueueForTesting();
}

}  // namespace
