// The database connection's reading of what a server sends: text frames (one
// per line of the input) go through the frame reassembly of the web-socket
// connection, the packet envelope of the framed connection (handshake,
// resets, shutdowns, data) and the wire-protocol client's responses and
// pushes, with a few listens, writes and an on-disconnect request waiting for
// answers. Whatever reaches the delegate must be data the database can take:
// the delegate converts it the way the repository does, and a refusal there
// ends the run.
//
// Input: frames separated by "\n". Each run starts with a handshake, so the
// frames that follow are read by a connected client.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "core/QRVLogger.h"
#include "database/connection/FConnection.h"
#include "database/connection/FPersistentConnection.h"
#include "database/connection/QRVDatabaseConfig.h"
#include "database/model/FSnapshotUtilities.h"
#include "database/sync/FCompoundHash.h"
#include "platform/no_destructor.h"
#include "platform/sandbox.h"

namespace {

class Sink : public FPersistentConnectionDelegate {
public:
    void onDataUpdate(FPersistentConnection&, const std::string& pathString, const ns::Value& message, bool isMerge,
                      std::optional<FQueryTag>) override {
        FPath path(pathString);
        if (isMerge) {
            FSnapshotUtilities::compoundWriteFromDictionary(message.asDictionary(), "fuzz");
        } else {
            FSnapshotUtilities::nodeFrom(message);
        }
        ++updates;
    }
    void onRangeMerge(const std::vector<FRangeMerge>& ranges, const std::string&, std::optional<FQueryTag>) override {
        FNodePtr node = FEmptyNode::emptyNode();
        for (const auto& range : ranges) node = range.applyToNode(node);
        ++updates;
    }
    void onConnect(FPersistentConnection&) override {}
    void onDisconnect(FPersistentConnection&) override {}
    void onServerInfoUpdate(FPersistentConnection&, const ns::Dictionary&) override {}
    size_t updates = 0;
};

class Hash : public FSyncTreeHash {
public:
    explicit Hash(FNodePtr node) : node_(std::move(node)) {}
    std::string simpleHash() const override { return node_->dataHash(); }
    FCompoundHash compoundHash() const override { return FCompoundHash::fromNode(node_); }
    bool includeCompoundHash() const override { return true; }

private:
    FNodePtr node_;
};

void setUpOnce() {
    // Handshakes and resets remember hosts in user defaults: keep them in a
    // sandbox of the fuzzer's own.
    static char dir[] = "/tmp/almavel-fuzz-XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    ns::Sandbox::setCurrent(ns::Sandbox::open(dir));
    // Gone when the run ends (a crash keeps it, beside its artifact).
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    });
    // The warnings about dropped input are built but not written.
    QRVSetLoggerLevel(QRVLoggerLevelError);
}

const char* kHandshake = R"({"t":"c","d":{"t":"h","d":{"ts":1700000000000,"v":"5","h":"fuzz.ns.localhost:1","s":"s1"}}})";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (setUpOnce(), true);
    static const ns::NoDestructor<ns::DispatchQueuePtr> worker(ns::DispatchQueue::serial("fuzz.worker"));
    const ns::DispatchQueuePtr& queue = *worker;
    (void)ready;

    auto sink = std::make_shared<Sink>();
    auto repoInfo = std::make_shared<FRepoInfo>("fuzz.ns.localhost:1", false, "fuzz");
    auto config = std::make_shared<QRVDatabaseConfig>("fuzz", std::make_shared<QRVNoopAuthTokenProvider>());
    std::shared_ptr<FPersistentConnection> client;
    std::shared_ptr<FConnection> framed;
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    queue->sync([&] {
        client = FPersistentConnection::make(repoInfo, queue, config);
        client->setDelegate(sink);
        // Never opened: the frames below are all it hears.
        framed = FConnection::makeWithURLForTesting(repoInfo, queue, "ws://fuzz.ns.localhost:1/.ws?v=5&ns=fuzz");
        framed->setDelegate(client);
        auto reader = framed->webSocketConnection();
        reader->handleIncomingFrame(kHandshake);

        // Requests 2 to 8 wait for answers.
        const FNodePtr cached = FSnapshotUtilities::nodeFrom(ns::Value(ns::Dictionary{{"a", 1}, {"b", "x"}}));
        client->listen(FQuerySpec::defaultQueryAtPath(FPath("/a")), std::nullopt, std::make_shared<Hash>(cached),
                       [](const std::string&) {});
        client->listen(FQuerySpec(FPath("/b"), FQueryParams::defaultInstance()->limitToFirst(2)), FQueryTag(1),
                       std::make_shared<Hash>(cached), [](const std::string&) {});
        client->putData(ns::Value(1), "/p", std::nullopt, [](const std::string&, const std::optional<std::string>&) {});
        client->putData(ns::Value(2), "/q", std::string("hash"),
                        [](const std::string&, const std::optional<std::string>&) {});
        client->mergeData(ns::Dictionary{{"x", 1}}, "/m", [](const std::string&, const std::optional<std::string>&) {});
        client->onDisconnectPutData(ns::Value(3), FPath("/o"),
                                    [](const std::string&, const std::optional<std::string>&) {});
        client->onDisconnectCancelPath(FPath("/o"), [](const std::string&, const std::optional<std::string>&) {});

        size_t at = 0;
        while (at <= input.size()) {
            size_t end = input.find('\n', at);
            if (end == std::string_view::npos) end = input.size();
            // The framed connection may be gone (a reset or shutdown closes it).
            if (auto current = framed->webSocketConnection()) {
                current->handleIncomingFrame(std::string(input.substr(at, end - at)));
            } else {
                break;
            }
            at = end + 1;
        }
    });
    // Blocks the run queued (the delegate's onConnect, closes) run before
    // everything goes.
    queue->sync([] {});
    queue->sync([&] {
        framed.reset();
        client.reset();
    });
    queue->sync([] {});
    return 0;
}
