#pragma once
// The parts of the realtime database server (see rtdb_service.h for what it
// serves): namespaces with their tree, store, rules and members; connections,
// each one web socket speaking the wire protocol; and the server that owns
// them with the fault settings tests use.
//
// Locking: a namespace's mutex guards its tree and rules and, for every
// connection of that namespace, the connection's listens and auth binding;
// writes are applied and pushed under it, so every connection sees the
// writes of a namespace in one order. A connection's outgoing queue has a
// mutex of its own, taken after the namespace's (never the other way). The
// server's tables have their own mutexes, taken before neither.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "backend/accounts/accounts.h"
#include "backend/database/rtdb_rules.h"
#include "backend/database/rtdb_store.h"
#include "backend/core/service.h"
#include "backend/accounts/tokens.h"
#include "backend/core/websocket.h"
#include "database/model/FCompoundWrite.h"
#include "database/model/FNode.h"
#include "database/model/FPath.h"
#include "database/sync/FQueryParams.h"
#include "platform/json.h"
#include "platform/value.h"

namespace backend::rtdb {

using SteadyClock = std::chrono::steady_clock;

// Largest packet a client may send (after count frames are joined).
inline constexpr size_t kMaxPacketBytes = 16u * 1024u * 1024u;
// Client-reported stats kept per namespace.
inline constexpr size_t kMaxStatNames = 100;
inline constexpr size_t kMaxStatNameBytes = 256;
// Deepest a stored location may lie, counting its path and the nesting of
// its data: the deepest data a client may write under a path of up to 32
// keys. Every answer and push (a few levels of envelope) and the snapshot
// stay within what JSON texts of this system may nest.
inline constexpr size_t kMaxTreeDepth = 1032;
static_assert(kMaxTreeDepth + 8 <= ns::json::kMaxDepth);

// Runs callbacks at given times, on one thread of its own.
class Scheduler {
public:
    Scheduler();
    ~Scheduler();
    void at(SteadyClock::time_point when, std::function<void()> callback);
    // Drops what is pending and joins the thread.
    void stop();
    // Callbacks waiting to run.
    size_t pending() const;

private:
    void loop();
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<SteadyClock::time_point, std::function<void()>> pending_;
    bool stopping_ = false;
    std::thread thread_;
};

// A second port on loopback whose connections are relayed byte for byte to
// the web-socket port, so a client can be sent elsewhere (a reset) and still
// reach this server.
class TcpRelay {
public:
    explicit TcpRelay(std::function<int()> targetPort);
    ~TcpRelay();
    // Binds 127.0.0.1 on any free port and answers it. Throws
    // std::runtime_error.
    int start();
    // Closes the port and every relayed connection; returns when nothing of
    // the relay runs any more.
    void stop();
    int port() const { return port_; }

    struct Impl;

private:
    std::function<int()> targetPort_;
    std::shared_ptr<Impl> impl_;
    int port_ = 0;
};

// How one connection sends (settable per connection).
struct SendFaults {
    bool holdAnswers = false;  // answers (and what follows them) wait
    int answerDelayMs = 0;     // answers go out this much later
    int splitFrames = 0;       // > 0: packets longer than this go as count frames
};

// Ends the connection that sends the next request with this action.
struct KillOn {
    std::string action;
    bool apply = false;       // process the request first (its answer is lost)
    bool closeFrame = false;  // with a close frame rather than a dropped socket
};

class Server;
class Connection;

// One active listen of a connection.
struct Listen {
    std::optional<int64_t> tag;
    FQueryParamsPtr params;
    // What the client holds: the data last sent for it.
    FNodePtr window;
};

class Namespace {
public:
    // Opens the namespace's folder (throws std::runtime_error).
    Namespace(Server& server, std::string name, const std::filesystem::path& folder, const FNodePtr& seed);

    const std::string& name() const { return name_; }
    std::mutex& mutex() const { return mutex_; }
    RtdbStore& store() { return *store_; }

    // With mutex() held:
    const FNodePtr& rootLocked() const { return root_; }
    const RtdbRules& rulesLocked() const { return rules_; }
    // Stores the rules in the namespace's folder and cancels every listen
    // they no longer allow. Throws std::runtime_error when they cannot be
    // stored.
    void setRulesLocked(RtdbRules rules);

    struct Outcome {
        std::string status = "ok";
        std::string reason;
        uint64_t seq = 0;  // the journal record, when one was written
    };
    // Journals the write, applies it and pushes it to every listen it
    // touches. Placeholders must be resolved and permissions checked.
    Outcome setLocked(const FPath& path, const FNodePtr& node);
    Outcome mergeLocked(const FPath& path, const FCompoundWrite& write);

    void addMemberLocked(const std::shared_ptr<Connection>& connection);
    void removeMemberLocked(uint64_t id);
    std::vector<std::shared_ptr<Connection>> membersLocked() const;

    // Counters by group ("requests" by action, "listens" by outcome, ...).
    void count(const std::string& group, const std::string& name, int64_t by = 1);
    // A counter a client reports ("s"). Clients name these, so only so many
    // names (kMaxStatNames, each at most kMaxStatNameBytes) are kept per
    // namespace; the rest are dropped and counted as "limits"/"statsDropped".
    void countStat(const std::string& name, int64_t by);
    nlohmann::json counters() const;
    void resetCounters();

private:
    void pushLocked(const FPath& at, const FCompoundWrite* merge, uint64_t seq);
    void compactIfDueLocked();
    void recheckIfRulesReadDataLocked();

    Server& server_;
    std::string name_;
    std::filesystem::path folder_;
    mutable std::mutex mutex_;
    FNodePtr root_;
    std::unique_ptr<RtdbStore> store_;
    RtdbRules rules_;
    std::map<uint64_t, std::shared_ptr<Connection>> members_;

    mutable std::mutex countersMutex_;
    std::map<std::string, std::map<std::string, int64_t>> counters_;
};

class Connection : public std::enable_shared_from_this<Connection> {
public:
    struct Info {
        std::string host;         // the Host header of the upgrade
        bool tls = false;
        std::string lastSession;  // the "ls" parameter, "" when none
    };

    Connection(Server& server, std::shared_ptr<Namespace> ns, uint64_t id, std::shared_ptr<WebSocketOutlet> outlet,
               Info info, SendFaults faults);

    uint64_t id() const { return id_; }
    const std::shared_ptr<Namespace>& ns() const { return ns_; }
    const std::string& session() const { return session_; }

    // On the session's thread: the handshake; each frame; the end (runs
    // the on-disconnect writes, leaves the namespace).
    void start();
    void onFrame(WebSocketSession::Message&& message);
    // When every frame that arrived has been handled: makes the burst's
    // writes durable, so their answers go out without waiting for the
    // store's own thread.
    void onIdle();
    void finish();

    // Any thread. Packets wait behind what was queued before them; `seq`
    // is the journal record that must be durable before they go.
    void enqueuePacket(const ns::Value& packet, bool answer, uint64_t seq);
    void enqueueFrames(std::vector<std::string> frames);
    // A close frame after what is queued.
    void enqueueClose(uint16_t code, std::string reason);
    // Now: with a close frame, or the socket dropped.
    void kill(bool closeFrame, uint16_t code, const std::string& reason);
    void setSendFaults(const SendFaults& faults);
    SendFaults sendFaults() const;
    // Sends what may go now.
    void pump();
    // For the admin listing (takes the namespace's lock).
    nlohmann::json describe() const;

    // With the namespace's mutex held:
    std::unordered_map<FQuerySpec, Listen>& listensLocked() { return listens_; }
    const std::optional<IdTokenClaims>& authLocked() const { return auth_; }
    bool signedInLocked() const { return auth_.has_value(); }
    // Who asks and the stored data, as the rules see them.
    RuleContext ruleContextLocked() const;
    // Drops the listens the rules no longer allow, with "c" for each path
    // when `announce`.
    void recheckListensLocked(bool announce);
    // Unbinds the token with "ac" (status, reason).
    void revokeAuthLocked(const std::string& status, const std::string& reason);
    // The number of items waiting in the outgoing queue.
    size_t queuedItems() const;

private:
    struct Outgoing {
        enum class Kind { Packet, Frames, Close } kind = Kind::Packet;
        std::string text;                 // a packet's JSON
        std::vector<std::string> frames;  // raw frames
        bool answer = false;
        uint64_t seq = 0;
        SteadyClock::time_point notBefore{};
        uint16_t code = 0;
        std::string reason;
    };

    void enqueue(Outgoing item);
    // A packet already written as JSON.
    void enqueueText(std::string text, bool answer, uint64_t seq);
    void handlePacket(const std::string& text);
    // A request {"t": "d", "d": {"r", "a", "b"}} of the plain form (each
    // member once, nothing else, a request number below 2^63, valid UTF-8)
    // handled as handlePacket would, reading the envelope where it lies in
    // the text; false, with nothing done, for any other packet.
    bool handlePlainRequest(const std::string& text);
    void handleRequest(int64_t number, const std::string& action, const ns::Dictionary& body);
    void answer(int64_t number, const std::string& status, const ns::Value& data, uint64_t seq = 0);
    void protocolError(const std::string& why);

    void handleStats(int64_t r, const ns::Dictionary& body);
    void handleAuth(int64_t r, const ns::Dictionary& body);
    void handleUnauth(int64_t r);
    void handleListen(int64_t r, const ns::Dictionary& body);
    void handleUnlisten(int64_t r, const ns::Dictionary& body);
    void handlePut(int64_t r, const ns::Dictionary& body);
    void handleMerge(int64_t r, const ns::Dictionary& body);
    void handleOnDisconnect(int64_t r, const std::string& action, const ns::Dictionary& body);
    // `auth`: the token bound when the connection ended.
    void runOnDisconnect(const std::optional<IdTokenClaims>& auth);

    Server& server_;
    std::shared_ptr<Namespace> ns_;
    const uint64_t id_;
    std::shared_ptr<WebSocketOutlet> outlet_;
    const Info info_;
    const std::string session_;
    const SteadyClock::time_point openedAt_;

    // Used by one of the session's handlers at a time, on whichever of the
    // pool's threads runs it.
    ns::json::Document document_;
    std::optional<std::string> assembling_;
    int framesLeft_ = 0;
    struct OnDisconnectWrite {
        std::string action;  // "o" or "om"
        FPath path;
        FNodePtr node;       // "o"
        FCompoundWrite merge;  // "om"
    };
    std::vector<OnDisconnectWrite> onDisconnect_;
    bool closing_ = false;

    // The namespace's mutex.
    std::unordered_map<FQuerySpec, Listen> listens_;
    std::optional<IdTokenClaims> auth_;

    // queueMutex_.
    mutable std::mutex queueMutex_;
    std::deque<Outgoing> queue_;
    SendFaults faults_;
    bool ended_ = false;
    uint64_t waitingForSeq_ = 0;
    std::optional<SteadyClock::time_point> pumpScheduledAt_;
    std::map<std::string, int64_t> requests_;
    int onDisconnectCount_ = 0;
};

class Server : public std::enable_shared_from_this<Server> {
public:
    explicit Server(Context& context);
    ~Server();

    Context& context() { return context_; }
    void start();
    // Ends every connection (running their on-disconnect writes) and makes
    // every store durable.
    void stop();
    bool stopping() const;

    // The handler of "/.ws" (on the connection's strand; does not block).
    void serve(const SessionPtr& session);

    // Opens the namespace on first use. Throws std::runtime_error (bad
    // name, unreadable folder).
    std::shared_ptr<Namespace> namespaceNamed(const std::string& name);
    static bool validNamespaceName(const std::string& name);
    std::vector<std::shared_ptr<Namespace>> namespaces() const;
    std::vector<std::shared_ptr<Connection>> connections() const;
    std::shared_ptr<Connection> connection(uint64_t id) const;

    // The server's clock: the real one plus the offset set by tests.
    int64_t nowMs() const;
    int64_t clockOffsetMs() const;
    void setClockOffsetMs(int64_t offset);

    // Fault settings.
    struct Faults {
        SendFaults send;
        bool rangeMerges = true;
        int forceDatastale = 0;
        std::optional<ns::Value> handshakeHost;
        std::optional<KillOn> killOn;
    };
    Faults faults() const;
    // Changes the settings from a JSON object (see rtdb_service.h); with
    // "connection" only that connection's send settings. Answers an error
    // text, empty when fine.
    std::string applyFaults(const nlohmann::json& settings);
    void resetFaults();
    bool rangeMergesEnabled() const;
    bool takeForcedDatastale();
    std::optional<KillOn> takeKillOn(const std::string& action);

    // Tokens: accepted through the back end's token verifier (accounts.h)
    // for the namespace's app, against the server's clock, and not revoked
    // here either.
    TokenAcceptance acceptToken(const std::string& token, const Namespace& ns) const;
    // The same checks for a token accepted earlier.
    TokenRefusal recheckToken(const IdTokenClaims& claims, const Namespace& ns) const;
    // The token stays refused from now on (until it expires).
    void rememberRevoked(const IdTokenClaims& claims);

    // The app whose tokens a namespace accepts; nullopt when none is set
    // (then a token of any app of this back end is accepted). Kept in
    // <data dir>/rtdb/apps.json, first filled from a seeded data dir's
    // database-apps.json ({"<namespace>": "<app id>"}).
    std::optional<std::string> appOf(const std::string& ns) const;
    // Sets (or with nullopt clears) it and signs out the connections whose
    // token is not of that app. Throws std::runtime_error when it cannot be
    // stored.
    void setAppOf(const std::string& ns, const std::optional<std::string>& appId);

    // What the server holds for live connections, for leak checks: open
    // connections, namespace members, listens, bound tokens, queued
    // outgoing items, pending timed tasks, remembered revocations.
    nlohmann::json resources() const;
    // Revokes the tokens bound to the matching connections (every
    // connection with a token when both are empty) and, with a uid, every
    // token of that user issued until now. Answers how many connections
    // were told.
    int revoke(const std::optional<std::string>& uid, const std::optional<uint64_t>& connectionId,
               const std::string& status, const std::string& reason);
    // Sends "ac" to connections whose token has expired by the server's
    // clock.
    void checkExpiry();
    // Sends "ac" to connections whose token is no longer accepted (revoked,
    // account disabled or gone), when the accounts changed since the last
    // look.
    void checkRevocations();

    Scheduler& scheduler() { return scheduler_; }
    int alternatePort() const { return relay_.port(); }

    void installAdmin(HttpRouter& server);

private:
    void tick();

    Context& context_;
    std::filesystem::path folder_;
    std::atomic<bool> stopping_{false};
    std::atomic<int64_t> clockOffsetMs_{0};
    std::atomic<uint64_t> nextConnectionId_{1};

    mutable std::mutex namespacesMutex_;
    std::map<std::string, std::shared_ptr<Namespace>> namespaces_;

    mutable std::mutex connectionsMutex_;
    std::condition_variable connectionsIdle_;
    std::map<uint64_t, std::shared_ptr<Connection>> connections_;

    mutable std::mutex faultsMutex_;
    Faults faults_;

    std::shared_ptr<const TokenVerifier> verifier() const;
    void loadApps();

    mutable std::mutex revocationsMutex_;
    std::map<std::string, int64_t> revokedTokens_;  // token id -> its expiry (seconds)
    uint64_t revocationsSeen_ = 0;                  // the verifier's count at the last look

    mutable std::mutex appsMutex_;
    std::map<std::string, std::string> apps_;  // namespace -> app id

    mutable std::mutex verifierMutex_;
    mutable std::shared_ptr<const TokenVerifier> verifier_;

    Scheduler scheduler_;
    TcpRelay relay_;
};

// Helpers shared by the parts.
// The path of a wire path string, or nullopt (with why) when it is not one:
// keys non-empty, without "." "#" "$" "[" "]" or control characters, at most
// 768 bytes; ".priority" only as the last key and only where allowed.
std::optional<FPath> parseWirePath(const ns::Value& value, bool allowPriority, std::string* why);
// Data a client writes: keys of at most 768 bytes without control
// characters, UTF-8 throughout, and ".value" only beside ".priority".
// False with why otherwise.
bool checkWireData(const ns::Value& value, std::string* why);
// A query object of a listen: known parameters only, bounds that are
// leaves, an index of ".key", ".value", ".priority" or a child path.
bool checkWireQuery(const ns::Dictionary& query, std::string* why);
// The nesting depth of a value (a leaf is 0).
size_t valueDepth(const ns::Value& value);
ns::Value toValue(const nlohmann::json& json);
nlohmann::json toJson(const ns::Value& value);

}  // namespace backend::rtdb
