#pragma once
// What the connection tests share: waiting on the main run loop, running
// code on the worker queue, the back end with the test app's API key and a
// signed-in user, the back end's raw web-socket endpoint, and a delegate of
// the wire-protocol client that records every call.

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "auth/QRVAuth.h"
#include "core/QRVApp.h"
#include "core/QRVOptions.h"
#include "database/connection/FPersistentConnection.h"
#include "database/connection/FWorkerQueue.h"
#include "platform/runloop.h"
#include "testing/app_backend.h"
#include "testing/backend.h"

namespace conntest {

using json = nlohmann::json;

inline constexpr const char* kAPIKey = "AKtest-wire-0000000000000000000000001";
inline constexpr const char* kAppID = ns::testing::kTestAppID;
// Real time allowed for anything asynchronous.
inline constexpr double kWaitSeconds = 30;

inline bool pumpUntil(const std::function<bool()>& done, double seconds = kWaitSeconds) {
    return ns::RunLoop::main().runUntil(done, seconds);
}

// Runs `f` on the worker queue and waits for it.
template <class F>
void onWorker(F&& f) {
    FWorkerQueue::sharedQueue()->sync(std::forward<F>(f));
}

// Lets everything already queued on the worker queue run.
inline void drainWorker() {
    onWorker([] {});
}

inline ns::testing::TestApp testApp(const std::string& databaseURL = "") {
    return {.apiKey = kAPIKey, .databaseURL = databaseURL, .storageBucket = ns::testing::kTestStorageBucket};
}
inline ns::Dictionary appOptions(const std::string& databaseURL) { return testApp(databaseURL).options(); }

// The back end with the SDK's hosts routed to it and the test app's key.
inline std::unique_ptr<ns::testing::Backend> startBackend() { return ns::testing::startBackendFor(testApp()); }

struct SignInResult {
    std::shared_ptr<QRVUser> user;
    ns::ErrorRef error;
};

inline SignInResult signUp(const std::shared_ptr<QRVAuth>& auth, const std::string& email,
                           const std::string& password) {
    auto result = std::make_shared<std::optional<SignInResult>>();
    auth->createUserWithEmail(email, password, [result](std::shared_ptr<QRVUser> user, ns::ErrorRef error) {
        *result = SignInResult{std::move(user), std::move(error)};
    });
    EXPECT_TRUE(pumpUntil([&] { return result->has_value(); }));
    return result->value_or(SignInResult{});
}

// Waits (pumping the main loop) until a condition read under a mutex holds.
template <class Pred>
bool waitLocked(std::mutex& mutex, Pred pred, double seconds = kWaitSeconds) {
    return pumpUntil(
        [&] {
            std::lock_guard lock(mutex);
            return pred();
        },
        seconds);
}

// Records every call of the wire-protocol client's delegate.
class RecordingDelegate : public FPersistentConnectionDelegate {
public:
    struct Update {
        std::string path;
        ns::Value data;
        bool isMerge = false;
        std::optional<FQueryTag> tag;
        // The connection's conversion of the data, read back (a merge's
        // applied to the empty node).
        ns::Value checked;
        FNodePtr checkedNode;
    };
    struct Ranges {
        std::vector<FRangeMerge> ranges;
        std::string path;
        std::optional<FQueryTag> tag;
    };

    void onDataUpdate(FPersistentConnection&, const std::string& pathString, const ns::Value& message, bool isMerge,
                      std::optional<FQueryTag> tagId) override {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(FWorkerQueue::sharedQueue()->isCurrent());
        updates.push_back({pathString, message, isMerge, tagId, {}, nullptr});
        events.push_back("update " + pathString);
    }
    void onCheckedDataUpdate(FPersistentConnection& connection, const std::string& pathString, bool isMerge,
                             std::optional<FQueryTag> tagId, const FCheckedServerData& checked) override {
        onDataUpdate(connection, pathString, checked.message(), isMerge, tagId);
        std::lock_guard lock(mutex);
        updates.back().checkedNode = isMerge ? checked.merge.applyToNode(FEmptyNode::emptyNode()) : checked.node;
        updates.back().checked = updates.back().checkedNode->val();
    }
    void onRangeMerge(const std::vector<FRangeMerge>& merges, const std::string& pathString,
                      std::optional<FQueryTag> tagId) override {
        std::lock_guard lock(mutex);
        ranges.push_back({merges, pathString, tagId});
        events.push_back("ranges " + pathString);
    }
    void onConnect(FPersistentConnection&) override {
        std::lock_guard lock(mutex);
        EXPECT_TRUE(FWorkerQueue::sharedQueue()->isCurrent());
        ++connects;
        events.push_back("connect");
    }
    void onDisconnect(FPersistentConnection&) override {
        std::lock_guard lock(mutex);
        ++disconnects;
        events.push_back("disconnect");
    }
    void onServerInfoUpdate(FPersistentConnection&, const ns::Dictionary& info) override {
        std::lock_guard lock(mutex);
        infoUpdates.push_back(info);
    }

    // Completion blocks that record "<name> <status>" in `events`.
    FCallbackStatusBlock completion(const std::string& name) {
        return [this, name](const std::string& status, const std::optional<std::string>& reason) {
            std::lock_guard lock(mutex);
            events.push_back(name + " " + status);
            reasons[name] = reason;
        };
    }
    FListenOnComplete listenCompletion(const std::string& name) {
        return [this, name](const std::string& status) {
            std::lock_guard lock(mutex);
            events.push_back(name + " " + status);
        };
    }

    bool waitFor(const std::function<bool()>& pred, double seconds = kWaitSeconds) {
        return waitLocked(mutex, pred, seconds);
    }
    bool waitEvent(const std::string& event, double seconds = kWaitSeconds) {
        return waitFor([&] { return hasEventLocked(event); }, seconds);
    }
    bool hasEvent(const std::string& event) {
        std::lock_guard lock(mutex);
        return hasEventLocked(event);
    }
    // Position of the first occurrence, or -1.
    long indexOf(const std::string& event) {
        std::lock_guard lock(mutex);
        for (size_t i = 0; i < events.size(); ++i) {
            if (events[i] == event) return long(i);
        }
        return -1;
    }
    std::string describe() {
        std::lock_guard lock(mutex);
        std::string out;
        for (const auto& e : events) out += "[" + e + "] ";
        return out;
    }

    std::mutex mutex;
    std::vector<std::string> events;
    std::vector<Update> updates;
    std::vector<Ranges> ranges;
    std::vector<ns::Dictionary> infoUpdates;
    std::map<std::string, std::optional<std::string>> reasons;
    int connects = 0;
    int disconnects = 0;

private:
    bool hasEventLocked(const std::string& event) const {
        for (const auto& e : events) {
            if (e == event) return true;
        }
        return false;
    }
};

// A server-to-client text frame (unmasked, final) as hex, for the back
// end's raw web-socket endpoint.
inline std::string serverTextFrameHex(const std::string& text) {
    std::string bytes;
    bytes += char(0x81);
    if (text.size() < 126) {
        bytes += char(text.size());
    } else if (text.size() < 65536) {
        bytes += char(126);
        bytes += char((text.size() >> 8) & 0xFF);
        bytes += char(text.size() & 0xFF);
    } else {
        bytes += char(127);
        for (int i = 7; i >= 0; --i) bytes += char((uint64_t(text.size()) >> (8 * i)) & 0xFF);
    }
    bytes += text;
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

inline std::string fromHex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// One connection of the back end's raw endpoint "/fault/<id>": what the
// client sent, and frames written to it by hand.
class RawPeer {
public:
    RawPeer(const ns::testing::Backend& backend, std::string id) : backend_(backend), id_(std::move(id)) {}

    std::string url() const {
        return "ws://fault.localhost:" + std::to_string(backend_.wsPort()) + "/fault/" + id_;
    }
    json state() const {
        auto reply = backend_.get("/__admin/ws/fault/" + id_);
        if (reply.status != 200) return json::object();
        return json::parse(reply.body);
    }
    bool connected() const { return state().value("connected", false); }
    // Text payloads of the client's data frames, in order.
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& frame : state().value("frames", json::array())) {
            if (frame.at("opcode") == 1) out.push_back(fromHex(frame.at("payload").get<std::string>()));
        }
        return out;
    }
    // Opcodes of every client frame, in order.
    std::vector<int> opcodes() const {
        std::vector<int> out;
        for (const auto& frame : state().value("frames", json::array())) out.push_back(frame.at("opcode").get<int>());
        return out;
    }
    void sendText(const std::string& text) const {
        auto reply = backend_.post("/__admin/ws/fault/" + id_ + "/send", serverTextFrameHex(text), "text/plain");
        EXPECT_EQ(reply.status, 200) << reply.body;
    }
    void sendTexts(const std::vector<std::string>& texts) const {
        std::string hex;
        for (const auto& t : texts) hex += serverTextFrameHex(t);
        auto reply = backend_.post("/__admin/ws/fault/" + id_ + "/send", hex, "text/plain");
        EXPECT_EQ(reply.status, 200) << reply.body;
    }
    void end() const {
        auto reply = backend_.post("/__admin/ws/fault/" + id_ + "/end", "", "text/plain");
        EXPECT_EQ(reply.status, 200) << reply.body;
    }

private:
    const ns::testing::Backend& backend_;
    std::string id_;
};

}  // namespace conntest
