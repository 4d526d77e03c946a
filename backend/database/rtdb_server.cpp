#include "backend/database/rtdb_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string_view>

#include "backend/core/http_util.h"
#include "database/model/FSnapshotUtilities.h"
#include "database/sync/FQueryEvaluator.h"
#include "platform/json.h"
#include "platform/utf8.h"

namespace backend::rtdb {

namespace fs = std::filesystem;

namespace {

// The namespace the sample data (database.json of a seeded data dir) fills.
constexpr const char* kSampleNamespace = "almavel-pa";
constexpr const char* kSampleFile = "database.json";
constexpr const char* kRulesFile = "rules.json";
// Which app's tokens each namespace accepts: kept under rtdb/, seeded from
// the sample data.
constexpr const char* kAppsFile = "apps.json";
constexpr const char* kSampleAppsFile = "database-apps.json";
constexpr size_t kMaxKeyBytes = 768;

bool isControl(char c) { return uint8_t(c) < 0x20 || c == 0x7f; }

// Whether a write of `written` over `stored` leaves the same data, kinds of
// numbers and signs of zero included: leaves without priorities holding one
// value, or the very same node.
bool sameData(const FNode& stored, const FNode& written) {
    if (&stored == &written) return true;
    if (!stored.isLeafNode() || !written.isLeafNode()) return false;
    if (!stored.priorityNode().isEmpty() || !written.priorityNode().isEmpty()) return false;
    const auto& a = static_cast<const FLeafNode&>(stored);
    const auto& b = static_cast<const FLeafNode&>(written);
    if (a.isBool() || b.isBool()) return a.isBool() && b.isBool() && a.boolValue() == b.boolValue();
    return a.holds(b.value());
}

// The tree with `node` at `path`; a write of the data already there keeps
// the tree as it is, copying no level nor freeing the old ones.
FNodePtr withNodeAt(const FNodePtr& root, const FPath& path, const FNodePtr& node) {
    if (!path.isEmpty() && sameData(*root->getChild(path), *node)) return root;
    return root->updateChild(path, node);
}

ns::Value pushPacket(const char* action, ns::Dictionary body) {
    return ns::Value(ns::Dictionary{
        {"t", ns::Value("d")},
        {"d", ns::Value(ns::Dictionary{{"a", ns::Value(action)}, {"b", ns::Value(std::move(body))}})}});
}

}  // namespace

// Helpers.

namespace {

// Keys the tree can hold and every read can address again.
bool checkKey(const std::string& key, std::string* why) {
    if (key.empty()) {
        *why = "a key cannot be empty";
        return false;
    }
    if (key.size() > kMaxKeyBytes) {
        *why = "a key is longer than 768 bytes";
        return false;
    }
    for (char c : key) {
        if (isControl(c)) {
            *why = "a key cannot contain control characters";
            return false;
        }
    }
    if (!ns::utf8::isValid(key)) {
        *why = "a key is not valid UTF-8";
        return false;
    }
    return true;
}

}  // namespace

bool checkWireData(const ns::Value& value, std::string* why) {
    // Walked with a stack of its own: the caller bounds the depth, but the
    // walk must not trust that.
    std::vector<const ns::Value*> pending{&value};
    while (!pending.empty()) {
        const ns::Value* next = pending.back();
        pending.pop_back();
        if (const std::string* text = next->stringOrNull()) {
            if (!ns::utf8::isValid(*text)) {
                *why = "a string is not valid UTF-8";
                return false;
            }
        } else if (const ns::Dictionary* d = next->dictionaryOrNull()) {
            if (d->count(".value")) {
                for (const auto& [key, child] : *d) {
                    if (key != ".value" && key != ".priority") {
                        *why = "a \".value\" cannot have siblings other than \".priority\" (found \"" + key + "\")";
                        return false;
                    }
                }
            }
            for (const auto& [key, child] : *d) {
                if (!checkKey(key, why)) return false;
                pending.push_back(&child);
            }
        } else if (const ns::Array* a = next->arrayOrNull()) {
            for (const auto& child : *a) pending.push_back(&child);
        }
    }
    return true;
}

bool checkWireQuery(const ns::Dictionary& query, std::string* why) {
    static constexpr std::string_view kKnown[] = {"sp", "sn", "ep", "en", "l", "vf", "i"};
    for (const auto& [key, value] : query) {
        if (std::ranges::find(kKnown, key) == std::end(kKnown)) {
            *why = "unknown query parameter \"" + key + "\"";
            return false;
        }
        if (key == "sp" || key == "ep") {
            // Bounds are leaves: what an index orders by.
            if (!(value.isNull() || value.isBool() || value.isNumber() || value.isString())) {
                *why = "a query bound must be null, a boolean, a number or a string";
                return false;
            }
            if (value.isString() && !ns::utf8::isValid(value.asString())) {
                *why = "a query bound is not valid UTF-8";
                return false;
            }
        } else if (key == "sn" || key == "en") {
            if (!value.isString() || !checkKey(value.asString(), why)) {
                if (value.isString()) *why = "a query bound's name: " + *why;
                else *why = "a query bound's name must be a string";
                return false;
            }
        } else if (key == "i") {
            const std::string* index = value.stringOrNull();
            if (!index) {
                *why = "the index must be a string";
                return false;
            }
            if (*index == ".key" || *index == ".value" || *index == ".priority") continue;
            // A child path: every key a key the tree can hold.
            std::string pathWhy;
            auto path = parseWirePath(value, false, &pathWhy);
            if (!path || path->isEmpty() || !ns::utf8::isValid(*index)) {
                *why = "the index \"" + *index + "\" names no child";
                return false;
            }
            for (const std::string& part : *path) {
                if (part == "." || part == ".." || !checkKey(part, why)) {
                    *why = "the index \"" + *index + "\" names no child";
                    return false;
                }
            }
        }
    }
    return true;
}

std::optional<FPath> parseWirePath(const ns::Value& value, bool allowPriority, std::string* why) {
    const std::string* text = value.stringOrNull();
    if (!text) {
        *why = "the path must be a string";
        return std::nullopt;
    }
    if (!ns::utf8::isValid(*text)) {
        *why = "Invalid path: not valid UTF-8";
        return std::nullopt;
    }
    FPath path(*text);
    size_t index = 0;
    for (const std::string& key : path) {
        const bool last = index++ + 1 == path.length();
        if (key == ".priority" && allowPriority && last) continue;
        if (key.size() > kMaxKeyBytes) {
            *why = "a key of the path is longer than 768 bytes";
            return std::nullopt;
        }
        for (char c : key) {
            if (c == '.' || c == '#' || c == '$' || c == '[' || c == ']' || isControl(c)) {
                *why = "Invalid path " + *text + ": keys cannot contain '.' '#' '$' '[' ']' or control characters";
                return std::nullopt;
            }
        }
    }
    if (path.length() > kMaxTreeDepth) {
        *why = "the path is too deep";
        return std::nullopt;
    }
    return path;
}

size_t valueDepth(const ns::Value& value) {
    size_t deepest = 0;
    if (const ns::Dictionary* d = value.dictionaryOrNull()) {
        for (const auto& [key, child] : *d) deepest = std::max(deepest, valueDepth(child) + 1);
    } else if (const ns::Array* a = value.arrayOrNull()) {
        for (const auto& child : *a) deepest = std::max(deepest, valueDepth(child) + 1);
    }
    return deepest;
}

ns::Value toValue(const nlohmann::json& json) {
    return ns::json::parse(json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

nlohmann::json toJson(const ns::Value& value) {
    return nlohmann::json::parse(ns::json::serialize(value), nullptr, false);
}

// Scheduler.

Scheduler::Scheduler() : thread_([this] { loop(); }) {}

Scheduler::~Scheduler() { stop(); }

void Scheduler::at(SteadyClock::time_point when, std::function<void()> callback) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        pending_.emplace(when, std::move(callback));
    }
    wake_.notify_all();
}

size_t Scheduler::pending() const {
    std::lock_guard lock(mutex_);
    return pending_.size();
}

void Scheduler::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        pending_.clear();
    }
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void Scheduler::loop() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (pending_.empty()) {
            wake_.wait(lock);
            continue;
        }
        auto first = pending_.begin();
        // A copy: the entry may go while this thread waits.
        const SteadyClock::time_point when = first->first;
        if (when > SteadyClock::now()) {
            wake_.wait_until(lock, when);
            continue;
        }
        auto callback = std::move(first->second);
        pending_.erase(first);
        lock.unlock();
        try {
            callback();
        } catch (const std::exception& e) {
            std::cerr << "rtdb: a timed task failed: " << e.what() << std::endl;
        }
        lock.lock();
    }
}

// Namespace.

Namespace::Namespace(Server& server, std::string name, const fs::path& folder, const FNodePtr& seed)
    : server_(server), name_(std::move(name)), folder_(folder), rules_(RtdbRules::open()) {
    store_ = std::make_unique<RtdbStore>(folder_, seed);
    root_ = store_->recoveredRoot();
    if (store_->recovery().droppedTornTail) count("store", "droppedTornTail");
    if (auto text = readFile(folder_ / kRulesFile)) {
        auto document = nlohmann::json::parse(*text, nullptr, false);
        std::string error = "not JSON";
        std::optional<RtdbRules> rules;
        if (!document.is_discarded()) rules = RtdbRules::parse(document, &error);
        if (rules) {
            rules_ = std::move(*rules);
        } else {
            // Refusing everything is the safe reading of rules nobody can read.
            std::cerr << "rtdb: " << (folder_ / kRulesFile).string() << ": " << error << "; refusing all access"
                      << std::endl;
            rules_ = *RtdbRules::parse(nlohmann::json{{"rules", nlohmann::json::object()}}, &error);
        }
    }
}

void Namespace::setRulesLocked(RtdbRules rules) {
    writeFileAtomic(folder_ / kRulesFile, rules.document().dump(2) + "\n");
    rules_ = std::move(rules);
    for (auto& [id, member] : members_) member->recheckListensLocked(true);
}

Namespace::Outcome Namespace::setLocked(const FPath& path, const FNodePtr& node) {
    Outcome outcome;
    try {
        outcome.seq = store_->appendSet(path, node);
    } catch (const std::exception& e) {
        return Outcome{"write_failed", e.what(), 0};
    }
    root_ = withNodeAt(root_, path, node);
    recheckIfRulesReadDataLocked();
    pushLocked(path, nullptr, outcome.seq);
    compactIfDueLocked();
    return outcome;
}

Namespace::Outcome Namespace::mergeLocked(const FPath& path, const FCompoundWrite& write) {
    Outcome outcome;
    try {
        outcome.seq = store_->appendMerge(path, write);
    } catch (const std::exception& e) {
        return Outcome{"write_failed", e.what(), 0};
    }
    root_ = root_->updateChild(path, write.applyToNode(root_->getChild(path)));
    recheckIfRulesReadDataLocked();
    pushLocked(path, &write, outcome.seq);
    compactIfDueLocked();
    return outcome;
}

void Namespace::recheckIfRulesReadDataLocked() {
    // A record's owner may have changed: what may no longer be read is
    // cancelled before the new data goes out.
    if (!rules_.readsData()) return;
    for (auto& [id, member] : members_) member->recheckListensLocked(true);
}

void Namespace::compactIfDueLocked() {
    if (!store_->wantsCompaction()) return;
    try {
        store_->compact(root_);
        count("store", "compactions");
    } catch (const std::exception& e) {
        std::cerr << "rtdb: " << name_ << ": compaction failed: " << e.what() << std::endl;
    }
}

void Namespace::pushLocked(const FPath& at, const FCompoundWrite* merge, uint64_t seq) {
    std::vector<FPath> written;
    if (merge) {
        merge->enumerateWrites([&](const FPath& relative, const FNodePtr&, bool&) { written.push_back(at.child(relative)); });
    } else {
        written.push_back(at);
    }
    for (auto& [id, member] : members_) {
        for (auto& [query, listen] : member->listensLocked()) {
            const FPath& location = query.path();
            bool touched = false;
            for (const FPath& p : written) {
                if (location.contains(p) || p.contains(location)) {
                    touched = true;
                    break;
                }
            }
            if (!touched) continue;
            FNodePtr data = root_->getChild(location);
            if (!listen.tag) {
                if (location.contains(at)) {
                    // A write at or below the listen goes as it was made.
                    if (merge) {
                        ns::Dictionary children;
                        merge->enumerateWrites([&](const FPath& relative, const FNodePtr&, bool&) {
                            children[relative.wireFormat()] = root_->getChild(at.child(relative))->valForExport(true);
                        });
                        member->enqueuePacket(
                            pushPacket("m", {{"p", ns::Value(at.toString())}, {"d", ns::Value(std::move(children))}}),
                            false, seq);
                        count("pushes", "m");
                    } else {
                        member->enqueuePacket(pushPacket("d", {{"p", ns::Value(at.toString())},
                                                               {"d", root_->getChild(at)->valForExport(true)}}),
                                              false, seq);
                        count("pushes", "d");
                    }
                } else if (!data->isEqual(*listen.window)) {
                    // A write above the listen: the location's new data.
                    member->enqueuePacket(
                        pushPacket("d", {{"p", ns::Value(location.toString())}, {"d", data->valForExport(true)}}), false,
                        seq);
                    count("pushes", "d");
                }
                listen.window = data;
                continue;
            }
            FNodePtr window = FQueryEvaluator::queryWindow(data, *listen.params);
            FCompoundWrite changes = FQueryEvaluator::windowChanges(listen.window, window);
            listen.window = window;
            if (changes.isEmpty()) continue;
            size_t changedChildren = 0;
            changes.enumerateWrites([&](const FPath&, const FNodePtr& node, bool&) {
                if (!node->isEmpty()) ++changedChildren;
            });
            const ns::Value tag(*listen.tag);
            if (changedChildren == size_t(window->numChildren())) {
                // Everything the client holds changed: the whole window.
                member->enqueuePacket(pushPacket("d", {{"p", ns::Value(location.toString())},
                                                       {"d", window->valForExport(true)},
                                                       {"t", tag}}),
                                      false, seq);
                count("pushes", "d");
            } else {
                member->enqueuePacket(pushPacket("m", {{"p", ns::Value(location.toString())},
                                                       {"d", changes.valForExport(true)},
                                                       {"t", tag}}),
                                      false, seq);
                count("pushes", "m");
            }
        }
    }
}

void Namespace::addMemberLocked(const std::shared_ptr<Connection>& connection) {
    members_[connection->id()] = connection;
}

void Namespace::removeMemberLocked(uint64_t id) { members_.erase(id); }

std::vector<std::shared_ptr<Connection>> Namespace::membersLocked() const {
    std::vector<std::shared_ptr<Connection>> out;
    for (const auto& [id, member] : members_) out.push_back(member);
    return out;
}

void Namespace::count(const std::string& group, const std::string& name, int64_t by) {
    std::lock_guard lock(countersMutex_);
    counters_[group][name] += by;
}

nlohmann::json Namespace::counters() const {
    std::lock_guard lock(countersMutex_);
    nlohmann::json out = nlohmann::json::object();
    for (const auto& [group, names] : counters_) {
        for (const auto& [name, value] : names) out[group][name] = value;
    }
    return out;
}

void Namespace::countStat(const std::string& name, int64_t by) {
    std::lock_guard lock(countersMutex_);
    auto& stats = counters_["stats"];
    auto it = stats.find(name);
    if (it == stats.end()) {
        if (name.size() > kMaxStatNameBytes || stats.size() >= kMaxStatNames || !ns::utf8::isValid(name)) {
            ++counters_["limits"]["statsDropped"];
            return;
        }
        it = stats.emplace(name, 0).first;
    }
    it->second += by;
}

void Namespace::resetCounters() {
    std::lock_guard lock(countersMutex_);
    counters_.clear();
}

// Server.

Server::Server(Context& context)
    : context_(context), relay_([&context] { return context.wsPort(); }) {}

Server::~Server() { stop(); }

void Server::start() {
    folder_ = context_.dataDir() / "rtdb";
    std::error_code ec;
    fs::create_directories(folder_, ec);
    if (ec) throw std::runtime_error("cannot create " + folder_.string() + ": " + ec.message());
    loadApps();
    relay_.start();
    scheduler_.at(SteadyClock::now() + std::chrono::seconds(1), [this] { tick(); });
}

void Server::tick() {
    if (stopping()) return;
    checkExpiry();
    try {
        checkRevocations();
    } catch (const std::exception& e) {
        std::cerr << "rtdb: revocations cannot be checked: " << e.what() << std::endl;
    }
    {
        // A token past its expiry is refused anyway; remembering it longer
        // only costs memory. The real clock decides, so a test's clock offset
        // cannot bring one back.
        const int64_t now = std::min(nowSeconds(), nowMs() / 1000);
        std::lock_guard lock(revocationsMutex_);
        std::erase_if(revokedTokens_, [&](const auto& entry) { return entry.second < now; });
    }
    scheduler_.at(SteadyClock::now() + std::chrono::seconds(1), [this] { tick(); });
}

bool Server::stopping() const { return stopping_.load(); }

void Server::stop() {
    if (stopping_.exchange(true)) return;
    for (auto& connection : connections()) connection->kill(true, 1001, "the server is shutting down");
    {
        std::unique_lock lock(connectionsMutex_);
        connectionsIdle_.wait_for(lock, std::chrono::seconds(10), [&] { return connections_.empty(); });
    }
    scheduler_.stop();
    relay_.stop();
    for (auto& ns : namespaces()) ns->store().flush();
}

bool Server::validNamespaceName(const std::string& name) {
    if (name.empty() || name.size() > 63 || name.front() == '-') return false;
    for (char c : name) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) return false;
    }
    return true;
}

std::shared_ptr<Namespace> Server::namespaceNamed(const std::string& name) {
    if (!validNamespaceName(name)) throw std::runtime_error("\"" + name + "\" is not a namespace name");
    std::lock_guard lock(namespacesMutex_);
    auto it = namespaces_.find(name);
    if (it != namespaces_.end()) return it->second;
    FNodePtr seed;
    if (name == kSampleNamespace) {
        if (auto text = readFile(context_.dataDir() / kSampleFile)) {
            ns::ErrorRef error;
            ns::Value sample = ns::json::parse(*text, &error);
            try {
                if (!error) seed = FSnapshotUtilities::nodeFrom(sample);
            } catch (const std::exception& e) {
                std::cerr << "rtdb: the sample data cannot be stored: " << e.what() << std::endl;
            }
        }
    }
    auto ns = std::make_shared<Namespace>(*this, name, folder_ / name, seed);
    namespaces_.emplace(name, ns);
    return ns;
}

std::vector<std::shared_ptr<Namespace>> Server::namespaces() const {
    std::lock_guard lock(namespacesMutex_);
    std::vector<std::shared_ptr<Namespace>> out;
    for (const auto& [name, ns] : namespaces_) out.push_back(ns);
    return out;
}

std::vector<std::shared_ptr<Connection>> Server::connections() const {
    std::lock_guard lock(connectionsMutex_);
    std::vector<std::shared_ptr<Connection>> out;
    for (const auto& [id, connection] : connections_) out.push_back(connection);
    return out;
}

std::shared_ptr<Connection> Server::connection(uint64_t id) const {
    std::lock_guard lock(connectionsMutex_);
    auto it = connections_.find(id);
    return it == connections_.end() ? nullptr : it->second;
}

int64_t Server::nowMs() const {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::milliseconds>(now).count() + clockOffsetMs_.load();
}

int64_t Server::clockOffsetMs() const { return clockOffsetMs_.load(); }

void Server::setClockOffsetMs(int64_t offset) {
    clockOffsetMs_.store(offset);
    checkExpiry();
}

void Server::serve(const SessionPtr& session) {
    auto reject = [&](int status, const std::string& message) {
        session->reject(status, nlohmann::json{{"error", message}}.dump());
    };
    if (stopping()) return reject(503, "the server is stopping");
    const auto version = session->query("v");
    if (!version || *version != "5") return reject(400, "this server speaks protocol version 5 only (v=5)");
    const auto name = session->query("ns");
    if (!name || !validNamespaceName(*name)) {
        return reject(400, "the ns parameter must name a namespace (a-z, 0-9 and '-', at most 63 characters)");
    }
    std::shared_ptr<Namespace> ns;
    try {
        ns = namespaceNamed(*name);
    } catch (const std::exception& e) {
        return reject(500, std::string("the namespace cannot be opened: ") + e.what());
    }

    Connection::Info info{session->header("Host"), session->tls(), session->query("ls").value_or("")};
    if (info.host.empty()) info.host = "localhost";
    auto connection = std::make_shared<Connection>(*this, ns, nextConnectionId_.fetch_add(1), session->outlet(),
                                                   std::move(info), faults().send);
    {
        std::lock_guard lock(connectionsMutex_);
        connections_[connection->id()] = connection;
    }
    if (stopping()) connection->kill(true, 1001, "the server is shutting down");
    {
        std::lock_guard lock(ns->mutex());
        ns->addMemberLocked(connection);
    }
    ns->count("connections", "opened");
    // Every callback runs on the connection's strand, one at a time.
    std::weak_ptr<Server> weak = weak_from_this();
    WebSocketSession::Callbacks callbacks;
    callbacks.onMessage = [connection](WebSocketSession::Message&& message) { connection->onFrame(std::move(message)); };
    callbacks.onIdle = [connection] { connection->onIdle(); };
    callbacks.onEnd = [weak, connection, ns] {
        connection->finish();
        ns->count("connections", "closed");
        auto self = weak.lock();
        if (!self) return;
        std::lock_guard lock(self->connectionsMutex_);
        self->connections_.erase(connection->id());
        if (self->connections_.empty()) self->connectionsIdle_.notify_all();
    };
    session->open(std::move(callbacks), kMaxPacketBytes + 1024);
    connection->start();
}

Server::Faults Server::faults() const {
    std::lock_guard lock(faultsMutex_);
    return faults_;
}

void Server::resetFaults() {
    {
        std::lock_guard lock(faultsMutex_);
        faults_ = Faults{};
    }
    setClockOffsetMs(0);
    for (auto& connection : connections()) connection->setSendFaults(SendFaults{});
}

bool Server::rangeMergesEnabled() const {
    std::lock_guard lock(faultsMutex_);
    return faults_.rangeMerges;
}

bool Server::takeForcedDatastale() {
    std::lock_guard lock(faultsMutex_);
    if (faults_.forceDatastale <= 0) return false;
    --faults_.forceDatastale;
    return true;
}

std::optional<KillOn> Server::takeKillOn(const std::string& action) {
    std::lock_guard lock(faultsMutex_);
    if (!faults_.killOn || faults_.killOn->action != action) return std::nullopt;
    auto killOn = faults_.killOn;
    faults_.killOn.reset();
    return killOn;
}

std::string Server::applyFaults(const nlohmann::json& settings) {
    if (!settings.is_object()) return "the settings must be a JSON object";
    static constexpr std::string_view kKnown[] = {"connection",    "holdAnswers",   "answerDelayMs",
                                                  "splitFrames",   "rangeMerges",   "forceDatastale",
                                                  "clockOffsetMs", "handshakeHost", "killOn"};
    for (const auto& [key, value] : settings.items()) {
        if (std::ranges::find(kKnown, key) == std::end(kKnown)) return "unknown setting \"" + key + "\"";
    }
    auto integer = [&](const char* key, int64_t low, int64_t high) -> std::optional<std::string> {
        if (!settings.contains(key)) return std::nullopt;
        const auto& v = settings[key];
        if (!v.is_number_integer() || v.get<int64_t>() < low || v.get<int64_t>() > high) {
            return std::string(key) + " must be an integer from " + std::to_string(low) + " to " + std::to_string(high);
        }
        return std::nullopt;
    };
    for (auto check : {integer("answerDelayMs", 0, 600000), integer("splitFrames", 0, 1 << 24),
                       integer("forceDatastale", 0, 1 << 30),
                       integer("clockOffsetMs", -(int64_t(1) << 50), int64_t(1) << 50)}) {
        if (check) return *check;
    }
    for (const char* key : {"holdAnswers", "rangeMerges"}) {
        if (settings.contains(key) && !settings[key].is_boolean()) return std::string(key) + " must be true or false";
    }
    std::optional<KillOn> killOn;
    if (settings.contains("killOn") && !settings["killOn"].is_null()) {
        const auto& k = settings["killOn"];
        if (!k.is_object() || !k.contains("action") || !k["action"].is_string()) {
            return "killOn must be {\"action\", \"apply\", \"closeFrame\"} or null";
        }
        killOn = KillOn{k["action"].get<std::string>(), k.value("apply", false), k.value("closeFrame", false)};
    }

    auto applySend = [&](SendFaults faults) {
        if (settings.contains("holdAnswers")) faults.holdAnswers = settings["holdAnswers"].get<bool>();
        if (settings.contains("answerDelayMs")) faults.answerDelayMs = settings["answerDelayMs"].get<int>();
        if (settings.contains("splitFrames")) faults.splitFrames = settings["splitFrames"].get<int>();
        return faults;
    };
    if (settings.contains("connection")) {
        if (!settings["connection"].is_number_unsigned()) return "connection must be a connection id";
        auto connection = this->connection(settings["connection"].get<uint64_t>());
        if (!connection) return "no connection " + settings["connection"].dump();
        for (const char* key : {"rangeMerges", "forceDatastale", "clockOffsetMs", "handshakeHost", "killOn"}) {
            if (settings.contains(key)) return std::string(key) + " applies to the whole server, not to one connection";
        }
        connection->setSendFaults(applySend(connection->sendFaults()));
        return {};
    }
    {
        std::lock_guard lock(faultsMutex_);
        faults_.send = applySend(faults_.send);
        if (settings.contains("rangeMerges")) faults_.rangeMerges = settings["rangeMerges"].get<bool>();
        if (settings.contains("forceDatastale")) faults_.forceDatastale = settings["forceDatastale"].get<int>();
        if (settings.contains("handshakeHost")) {
            if (settings["handshakeHost"].is_null()) faults_.handshakeHost.reset();
            else faults_.handshakeHost = toValue(settings["handshakeHost"]);
        }
        if (settings.contains("killOn")) faults_.killOn = killOn;
    }
    for (auto& connection : connections()) connection->setSendFaults(applySend(connection->sendFaults()));
    if (settings.contains("clockOffsetMs")) setClockOffsetMs(settings["clockOffsetMs"].get<int64_t>());
    return {};
}

std::shared_ptr<const TokenVerifier> Server::verifier() const {
    std::lock_guard lock(verifierMutex_);
    if (!verifier_) verifier_ = tokenVerifier(context_);
    return verifier_;
}

TokenAcceptance Server::acceptToken(const std::string& token, const Namespace& ns) const {
    TokenAcceptance result = verifier()->accept(token, appOf(ns.name()), nowMs() / 1000);
    if (result) {
        std::lock_guard lock(revocationsMutex_);
        if (revokedTokens_.count(result.claims.tokenId)) result.refusal = TokenRefusal::Revoked;
    }
    return result;
}

TokenRefusal Server::recheckToken(const IdTokenClaims& claims, const Namespace& ns) const {
    {
        std::lock_guard lock(revocationsMutex_);
        if (revokedTokens_.count(claims.tokenId)) return TokenRefusal::Revoked;
    }
    return verifier()->recheck(claims, appOf(ns.name()), nowMs() / 1000);
}

void Server::rememberRevoked(const IdTokenClaims& claims) {
    std::lock_guard lock(revocationsMutex_);
    revokedTokens_[claims.tokenId] = claims.expiresAt;
}

int Server::revoke(const std::optional<std::string>& uid, const std::optional<uint64_t>& connectionId,
                   const std::string& status, const std::string& reason) {
    // Kept with the account, so the revocation outlives a restart and every
    // service sees it.
    if (uid) verifier()->store().revokeIdTokens(*uid);
    int told = 0;
    for (auto& ns : namespaces()) {
        std::lock_guard lock(ns->mutex());
        for (auto& member : ns->membersLocked()) {
            const auto& auth = member->authLocked();
            if (!auth) continue;
            if (uid && auth->uid != *uid) continue;
            if (connectionId && member->id() != *connectionId) continue;
            member->revokeAuthLocked(status, reason);
            ++told;
        }
    }
    return told;
}

void Server::checkRevocations() {
    auto verifier = this->verifier();
    const uint64_t revocations = verifier->revocations();
    {
        std::lock_guard lock(revocationsMutex_);
        if (revocations == revocationsSeen_) return;
        revocationsSeen_ = revocations;
    }
    for (auto& ns : namespaces()) {
        const auto app = appOf(ns->name());
        std::lock_guard lock(ns->mutex());
        for (auto& member : ns->membersLocked()) {
            const auto& auth = member->authLocked();
            if (!auth) continue;
            const TokenRefusal refusal = verifier->recheck(*auth, app, nowMs() / 1000);
            // Expiry has its own check and its own status.
            if (refusal == TokenRefusal::None || refusal == TokenRefusal::Expired) continue;
            member->revokeAuthLocked("invalid_token", std::string("Auth token is ") + backend::describe(refusal) + ".");
            ns->count("auth", "revoked");
        }
    }
}

void Server::loadApps() {
    std::map<std::string, std::string> apps;
    std::optional<std::string> text = readFile(folder_ / kAppsFile);
    const bool seeded = !text;
    if (!text) text = readFile(context_.dataDir() / kSampleAppsFile);
    if (text) {
        auto document = nlohmann::json::parse(*text, nullptr, false);
        if (!document.is_object()) {
            throw std::runtime_error("the namespace apps file is not a JSON object of namespace: app id");
        }
        for (const auto& [name, appId] : document.items()) {
            if (!validNamespaceName(name) || !appId.is_string() || appId.get<std::string>().empty()) {
                throw std::runtime_error("the namespace apps file maps \"" + name + "\" to " + appId.dump() +
                                         "; expected a namespace name and an app id");
            }
            apps[name] = appId.get<std::string>();
        }
        if (seeded) writeFileAtomic(folder_ / kAppsFile, nlohmann::json(apps).dump(2) + "\n");
    }
    std::lock_guard lock(appsMutex_);
    apps_ = std::move(apps);
}

std::optional<std::string> Server::appOf(const std::string& ns) const {
    std::lock_guard lock(appsMutex_);
    auto it = apps_.find(ns);
    if (it == apps_.end()) return std::nullopt;
    return it->second;
}

void Server::setAppOf(const std::string& name, const std::optional<std::string>& appId) {
    {
        std::lock_guard lock(appsMutex_);
        auto apps = apps_;
        if (appId) apps[name] = *appId;
        else apps.erase(name);
        writeFileAtomic(folder_ / kAppsFile, nlohmann::json(apps).dump(2) + "\n");
        apps_ = std::move(apps);
    }
    if (!appId) return;
    for (auto& ns : namespaces()) {
        if (ns->name() != name) continue;
        std::lock_guard lock(ns->mutex());
        for (auto& member : ns->membersLocked()) {
            const auto& auth = member->authLocked();
            if (auth && auth->appId != *appId) {
                member->revokeAuthLocked("invalid_token", "Auth token is issued for another app.");
            }
        }
    }
}

nlohmann::json Server::resources() const {
    size_t members = 0, listens = 0, bound = 0, queued = 0;
    for (auto& ns : namespaces()) {
        std::lock_guard lock(ns->mutex());
        for (auto& member : ns->membersLocked()) {
            ++members;
            listens += member->listensLocked().size();
            if (member->authLocked()) ++bound;
            queued += member->queuedItems();
        }
    }
    size_t open = 0;
    {
        std::lock_guard lock(connectionsMutex_);
        open = connections_.size();
    }
    size_t revoked = 0;
    {
        std::lock_guard lock(revocationsMutex_);
        revoked = revokedTokens_.size();
    }
    return nlohmann::json{{"connections", open},
                          {"members", members},
                          {"listens", listens},
                          {"boundTokens", bound},
                          {"queued", queued},
                          {"scheduled", scheduler_.pending()},
                          {"revokedTokens", revoked},
                          {"namespaces", namespaces().size()}};
}

void Server::checkExpiry() {
    const int64_t now = nowMs();
    for (auto& ns : namespaces()) {
        std::lock_guard lock(ns->mutex());
        for (auto& member : ns->membersLocked()) {
            const auto& auth = member->authLocked();
            if (auth && auth->expiresAt * 1000 <= now) {
                member->revokeAuthLocked("expired_token", "Auth token is expired.");
                ns->count("auth", "expired");
            }
        }
    }
}

}  // namespace backend::rtdb
