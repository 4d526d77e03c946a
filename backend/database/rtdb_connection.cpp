// One client connection of the realtime database server: count frames in,
// requests answered in order, pushes and answers out through one queue that
// waits for the journal where an answer or push carries written data.

#include <algorithm>
#include <iostream>
#include <iterator>
#include <random>
#include <string_view>

#include "backend/database/rtdb_server.h"
#include "database/model/FSnapshotUtilities.h"
#include "database/model/FStringUtilities.h"
#include "database/sync/FCompoundHash.h"
#include "database/sync/FQueryEvaluator.h"
#include "database/sync/FServerValues.h"
#include "platform/json.h"
#include "platform/no_destructor.h"
#include "platform/utf8.h"

namespace backend::rtdb {

namespace {

const ns::Value& member(const ns::Dictionary& body, const char* key) {
    auto it = body.find(key);
    return it == body.end() ? ns::nullValue() : it->second;
}

ns::Value dataPacket(ns::Dictionary payload) {
    return ns::Value(ns::Dictionary{{"t", ns::Value("d")}, {"d", ns::Value(std::move(payload))}});
}

ns::Value pushPacket(const char* action, ns::Dictionary body) {
    return dataPacket({{"a", ns::Value(action)}, {"b", ns::Value(std::move(body))}});
}

ns::Value controlPacket(const char* type, ns::Value data) {
    return ns::Value(ns::Dictionary{
        {"t", ns::Value("c")},
        {"d", ns::Value(ns::Dictionary{{"t", ns::Value(type)}, {"d", std::move(data)}})}});
}

std::string newSessionId() {
    static const char digits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::string id;
    for (int i = 0; i < 20; ++i) id += digits[random() % 36];
    return id;
}

// A frame of at most 4 characters whose leading integer is 1 or more
// announces that many frames (at most 9999, by its length).
int announcedFrames(const std::string& frame) {
    if (frame.empty() || frame.size() > 4) return 0;
    int value = 0;
    for (char c : frame) {
        if (c < '0' || c > '9') break;
        value = value * 10 + (c - '0');
    }
    return value;
}

// A placeholder left after resolution names a server value this server
// does not know.
bool hasPlaceholder(const FNode& node) {
    if (node.isLeafNode()) return false;
    if (node.numChildren() == 1 && node.hasChild(".sv")) return true;
    if (!node.priorityNode().isLeafNode() && !node.priorityNode().isEmpty()) return true;
    bool found = false;
    node.enumerateChildren([&](const std::string&, const FNodePtr& child, bool& stop) {
        if (hasPlaceholder(*child)) {
            found = true;
            stop = true;
        }
    });
    return found;
}

// A merge's children: relative paths the tree can hold, data it can store,
// within the depth bound. The refusal's status and reason, or nullopt.
std::optional<std::pair<std::string, std::string>> checkMergeChildren(const FPath& at, const ns::Dictionary& children) {
    std::string why;
    for (const auto& [key, value] : children) {
        auto relative = parseWirePath(ns::Value(key), true, &why);
        if (!relative || relative->isEmpty()) {
            return std::make_pair(std::string("invalid_data"), relative ? std::string("a merge key cannot be empty") : why);
        }
        if (at.length() + relative->length() + valueDepth(value) > kMaxTreeDepth) {
            return std::make_pair(std::string("invalid_data"), std::string("the data nests too deeply"));
        }
        if (!checkWireData(value, &why)) return std::make_pair(std::string("invalid_data"), why);
    }
    return std::nullopt;
}

// Writes to ".../.priority" are checked as writes to the location itself.
FPath accessPath(const FPath& path) {
    if (path.getBack() == ".priority") return *path.parent();
    return path;
}

using WireRefusal = std::optional<std::pair<std::string, std::string>>;

WireRefusal refuse(const char* status, std::string message) {
    return std::make_pair(std::string(status), std::move(message));
}

// A tagged listen's tag and query; an untagged one keeps the defaults.
WireRefusal readListenQuery(const ns::Dictionary& body, std::optional<int64_t>& tag, FQueryParamsPtr& params) {
    const ns::Value& tagValue = member(body, "t");
    const ns::Value& query = member(body, "q");
    if (tagValue.isNull() && query.isNull()) return std::nullopt;
    if (!tagValue.isInteger() || !query.isDictionary()) {
        return refuse("invalid_request",
                      "a tagged listen carries its tag \"t\" (a number) and its query \"q\" (an object)");
    }
    tag = tagValue.intValue();
    if (std::string queryWhy; !checkWireQuery(query.asDictionary(), &queryWhy)) {
        return refuse("invalid_query", queryWhy);
    }
    try {
        params = FQueryParams::fromQueryObject(query.asDictionary());
    } catch (const std::exception& e) {
        return refuse("invalid_query", e.what());
    }
    if (!params->isValid()) return refuse("invalid_query", "a limit with both bounds needs an anchor");
    return std::nullopt;
}

// The compound hash "ch" a listen may carry for the client's cached view.
WireRefusal readCompoundHash(const ns::Dictionary& body, std::optional<FCompoundHash>& compound) {
    const ns::Value& ch = member(body, "ch");
    if (ch.isNull()) return std::nullopt;
    const ns::Array* ps = ch["ps"].arrayOrNull();
    const ns::Array* hs = ch["hs"].arrayOrNull();
    if (!ps || !hs) return refuse("invalid_request", "a compound hash carries \"ps\" and \"hs\"");
    std::vector<FPath> posts;
    std::vector<std::string> hashes;
    for (const auto& p : *ps) {
        if (!p.isString()) return refuse("invalid_request", "compound-hash posts are path strings");
        posts.emplace_back(p.asString());
    }
    for (const auto& h : *hs) {
        if (!h.isString()) return refuse("invalid_request", "compound hashes are strings");
        hashes.push_back(h.asString());
    }
    try {
        compound.emplace(std::move(posts), std::move(hashes));
    } catch (const std::exception& e) {
        return refuse("invalid_request", e.what());
    }
    return std::nullopt;
}

// A client with nothing cached sends the empty hash, which only an empty
// window has: its answer needs no hash of the data it is about to receive.
FQueryEvaluator::ListenAnswer answerListen(const FNodePtr& data, const FQueryParams& params, const std::string& hash,
                                           const std::optional<FCompoundHash>& compound) {
    if (!hash.empty() || compound) return FQueryEvaluator::answerListen(data, params, hash, compound);
    FQueryEvaluator::ListenAnswer result;
    result.window = FQueryEvaluator::queryWindow(data, params);
    result.kind = result.window->isEmpty() ? FQueryEvaluator::ListenAnswer::Kind::UpToDate
                                           : FQueryEvaluator::ListenAnswer::Kind::Overwrite;
    return result;
}

}  // namespace

Connection::Connection(Server& server, std::shared_ptr<Namespace> ns, uint64_t id,
                       std::shared_ptr<WebSocketOutlet> outlet, Info info, SendFaults faults)
    : server_(server),
      ns_(std::move(ns)),
      id_(id),
      outlet_(std::move(outlet)),
      info_(std::move(info)),
      session_(newSessionId()),
      openedAt_(SteadyClock::now()),
      faults_(faults) {}

// Sending.

void Connection::start() {
    const auto faults = server_.faults();
    ns::Dictionary hello{{"ts", ns::Value(server_.nowMs())},
                         {"v", ns::Value("5")},
                         {"h", faults.handshakeHost ? *faults.handshakeHost : ns::Value(info_.host)},
                         {"s", ns::Value(session_)}};
    enqueuePacket(controlPacket("h", ns::Value(std::move(hello))), false, 0);
}

void Connection::enqueuePacket(const ns::Value& packet, bool answer, uint64_t seq) {
    ns::ErrorRef error;
    std::string text = ns::json::serialize(packet, &error);
    if (error) {
        std::cerr << "rtdb: connection " << id_ << ": a packet cannot be written as JSON: "
                  << error->localizedDescription() << std::endl;
        return;
    }
    enqueueText(std::move(text), answer, seq);
}

void Connection::enqueueText(std::string text, bool answer, uint64_t seq) {
    Outgoing item;
    item.kind = Outgoing::Kind::Packet;
    item.text = std::move(text);
    item.answer = answer;
    item.seq = seq;
    enqueue(std::move(item));
}

void Connection::enqueueFrames(std::vector<std::string> frames) {
    Outgoing item;
    item.kind = Outgoing::Kind::Frames;
    item.frames = std::move(frames);
    enqueue(std::move(item));
}

void Connection::enqueueClose(uint16_t code, std::string reason) {
    Outgoing item;
    item.kind = Outgoing::Kind::Close;
    item.code = code;
    item.reason = std::move(reason);
    enqueue(std::move(item));
}

void Connection::enqueue(Outgoing item) {
    {
        std::lock_guard lock(queueMutex_);
        if (ended_) return;
        if (item.answer && faults_.answerDelayMs > 0) {
            item.notBefore = SteadyClock::now() + std::chrono::milliseconds(faults_.answerDelayMs);
        }
        queue_.push_back(std::move(item));
    }
    pump();
}

void Connection::kill(bool closeFrame, uint16_t code, const std::string& reason) {
    if (closeFrame) {
        outlet_->close(code, reason);
    } else {
        outlet_->abort();
    }
}

void Connection::setSendFaults(const SendFaults& faults) {
    {
        std::lock_guard lock(queueMutex_);
        faults_ = faults;
    }
    pump();
}

SendFaults Connection::sendFaults() const {
    std::lock_guard lock(queueMutex_);
    return faults_;
}

void Connection::pump() {
    std::weak_ptr<Connection> weak = weak_from_this();
    std::unique_lock lock(queueMutex_);
    while (!ended_ && !queue_.empty()) {
        Outgoing& front = queue_.front();
        if (front.seq > 0 && ns_->store().durableSeq() < front.seq) {
            // One wake-up per record is enough.
            if (waitingForSeq_ >= front.seq) return;
            const uint64_t seq = front.seq;
            waitingForSeq_ = seq;
            lock.unlock();
            const bool durable = ns_->store().whenDurable(seq, [weak, seq] {
                if (auto self = weak.lock()) {
                    {
                        std::lock_guard lock(self->queueMutex_);
                        if (self->waitingForSeq_ <= seq) self->waitingForSeq_ = 0;
                    }
                    self->pump();
                }
            });
            lock.lock();
            if (!durable) return;
            if (waitingForSeq_ <= seq) waitingForSeq_ = 0;
            continue;
        }
        if (front.answer && faults_.holdAnswers) return;
        if (front.notBefore > SteadyClock::now()) {
            if (!pumpScheduledAt_ || *pumpScheduledAt_ > front.notBefore) {
                pumpScheduledAt_ = front.notBefore;
                server_.scheduler().at(front.notBefore, [weak] {
                    if (auto self = weak.lock()) {
                        {
                            std::lock_guard lock(self->queueMutex_);
                            self->pumpScheduledAt_.reset();
                        }
                        self->pump();
                    }
                });
            }
            return;
        }
        Outgoing item = std::move(front);
        queue_.pop_front();
        // Handed over under the lock, so the outlet gets them in order.
        switch (item.kind) {
        case Outgoing::Kind::Packet:
            if (faults_.splitFrames > 0 && FStringUtilities::utf16Length(item.text) > size_t(faults_.splitFrames)) {
                auto pieces = FUtilities::splitString(item.text, unsigned(faults_.splitFrames));
                outlet_->send({true, std::to_string(pieces.size())});
                for (auto& piece : pieces) outlet_->send({true, std::move(piece)});
            } else {
                outlet_->send({true, std::move(item.text)});
            }
            break;
        case Outgoing::Kind::Frames:
            for (auto& frame : item.frames) outlet_->send({true, std::move(frame)});
            break;
        case Outgoing::Kind::Close:
            outlet_->close(item.code, item.reason);
            break;
        }
    }
}

void Connection::answer(int64_t number, const std::string& status, const ns::Value& data, uint64_t seq) {
    if (status == "ok" && (data.isNull() || (data.isString() && data.asString().empty()))) {
        // Most answers: written as the JSON writer writes the packet, without
        // building it first.
        return enqueueText("{\"d\":{\"b\":{\"s\":\"ok\"},\"r\":" + std::to_string(number) + "},\"t\":\"d\"}", true,
                           seq);
    }
    ns::Dictionary body{{"s", ns::Value(status)}};
    if (!data.isNull() && !(data.isString() && data.asString().empty())) body["d"] = data;
    enqueuePacket(dataPacket({{"r", ns::Value(number)}, {"b", ns::Value(std::move(body))}}), true, seq);
    if (status != "ok") ns_->count("refusals", status);
}

void Connection::protocolError(const std::string& why) {
    if (closing_) return;
    closing_ = true;
    ns_->count("errors", "protocol");
    std::cerr << "rtdb: connection " << id_ << ": " << why << "; closing" << std::endl;
    // The requests before this packet are answered first (see handleRequest).
    ns_->store().syncNow();
    // 1009 for size, 1008 (policy) for everything else a client got wrong.
    outlet_->close(why.rfind("packet too large", 0) == 0 ? 1009 : 1008, why);
}

// Receiving.

void Connection::onFrame(WebSocketSession::Message&& message) {
    if (closing_) return;
    try {
        if (!message.text) return protocolError("binary frames are not part of this protocol");
        // The keep-alive; it may also fall between the frames of a packet,
        // where no piece of a JSON object can be "0".
        if (message.data == "0") return;
        if (assembling_) {
            if (assembling_->size() + message.data.size() > kMaxPacketBytes) {
                return protocolError("packet too large (more than 16 MB)");
            }
            *assembling_ += message.data;
            if (--framesLeft_ > 0) return;
            std::string text = std::move(*assembling_);
            assembling_.reset();
            return handlePacket(text);
        }
        if (int frames = announcedFrames(message.data); frames >= 1) {
            assembling_.emplace();
            framesLeft_ = frames;
            return;
        }
        handlePacket(message.data);
    } catch (const std::exception& e) {
        if (closing_) return;
        closing_ = true;
        std::cerr << "rtdb: connection " << id_ << ": internal error: " << e.what() << std::endl;
        ns_->store().syncNow();
        outlet_->close(1011, "internal error");
    }
}

bool Connection::handlePlainRequest(const std::string& text) {
    using Kind = ns::json::Element::Kind;
    if (!document_.read(text)) return false;
    const ns::json::Element packet = document_.root();
    if (!packet.isObject() || packet.size() != 2) return false;
    const auto type = packet.member("t");
    const auto request = packet.member("d");
    if (!type || !request || type->kind() != Kind::String || type->stringValue() != "d" || !request->isObject()) {
        return false;
    }
    const auto number = request->member("r");
    const auto action = request->member("a");
    const auto body = request->member("b");
    // The reader holds a whole number as Int whenever it fits 64 signed bits.
    if (!number || !action || request->size() != (body ? 3u : 2u) || action->kind() != Kind::String ||
        number->kind() != Kind::Int) {
        return false;
    }
    const int64_t r = number->intValue();
    if (body && !body->isObject() && body->kind() != Kind::Null) return false;
    static const ns::NoDestructor<ns::Dictionary> kEmpty;
    if (body && body->isObject()) {
        std::optional<ns::Value> members = body->value();
        if (!members) return false;
        handleRequest(r, std::string(action->stringValue()), members->asDictionary());
    } else {
        handleRequest(r, std::string(action->stringValue()), *kEmpty);
    }
    return true;
}

void Connection::handlePacket(const std::string& text) {
    // Most packets are well-formed requests: only their bodies become values.
    if (handlePlainRequest(text)) return;
    ns::ErrorRef error;
    ns::Value packet = ns::json::parse(text, &error);
    if (error || !packet.isDictionary()) return protocolError("malformed packet: not a JSON object");
    const std::string* type = packet["t"].stringOrNull();
    if (!type || *type != "d") return protocolError("unknown packet type");
    const ns::Value& request = packet["d"];
    if (!request.isDictionary()) return protocolError("a data packet must carry an object");
    const ns::Value& number = request["r"];
    if (!number.isInteger()) return protocolError("a request must carry its number \"r\"");
    // Answers carry the number back as a signed 64-bit integer; a number
    // beyond that would come back as another request's.
    if (number.type() == ns::Value::Type::UInt && number.asUInt() > uint64_t(INT64_MAX)) {
        return protocolError("a request number must be below 2^63");
    }
    const int64_t r = number.intValue();
    const std::string* action = request["a"].stringOrNull();
    if (!action) return answer(r, "invalid_request", ns::Value("the request names no action \"a\""));
    const ns::Value& body = request["b"];
    if (!body.isNull() && !body.isDictionary()) {
        return answer(r, "invalid_request", ns::Value("the body \"b\" must be an object"));
    }
    // Whatever the JSON reader made of bytes that are not UTF-8 is not what
    // the client meant; nothing of such a request is stored.
    if (!ns::utf8::isValid(text)) {
        const bool inPath = body.isDictionary() && body["p"].isString();
        return answer(r, inPath ? "invalid_path" : "invalid_data", ns::Value("the request is not valid UTF-8"));
    }
    static const ns::NoDestructor<ns::Dictionary> kEmpty;
    handleRequest(r, *action, body.isDictionary() ? body.asDictionary() : *kEmpty);
}

void Connection::handleRequest(int64_t r, const std::string& action, const ns::Dictionary& body) {
    static constexpr std::string_view kActions[] = {"s", "auth", "unauth", "q", "n", "p", "m", "o", "om", "oc"};
    const bool known = std::ranges::find(kActions, action) != std::end(kActions);
    ns_->count("requests", known ? action : "unknown");
    {
        std::lock_guard lock(queueMutex_);
        ++requests_[known ? action : "unknown"];
    }
    if (!known) return answer(r, "unknown_action", ns::Value("Unknown action: " + action));

    const auto killOn = server_.takeKillOn(action);
    // Answers wait for the journal, which is synced once a burst has been
    // handled: a connection about to end answers the requests before this
    // one first, as it would have had they come in bursts of their own.
    if (killOn) ns_->store().syncNow();
    if (killOn && !killOn->apply) {
        closing_ = true;
        return kill(killOn->closeFrame, 1000, "killed by the test");
    }
    if (action == "s") handleStats(r, body);
    else if (action == "auth") handleAuth(r, body);
    else if (action == "unauth") handleUnauth(r);
    else if (action == "q") handleListen(r, body);
    else if (action == "n") handleUnlisten(r, body);
    else if (action == "p") handlePut(r, body);
    else if (action == "m") handleMerge(r, body);
    else handleOnDisconnect(r, action, body);
    if (killOn) {
        closing_ = true;
        kill(killOn->closeFrame, 1000, "killed by the test");
    }
}

void Connection::handleStats(int64_t r, const ns::Dictionary& body) {
    if (const ns::Dictionary* counters = member(body, "c").dictionaryOrNull()) {
        for (const auto& [name, value] : *counters) {
            if (!value.isInteger()) continue;
            ns_->countStat(name, value.intValue());
        }
    }
    answer(r, "ok", ns::Value());
}

void Connection::handleAuth(int64_t r, const ns::Dictionary& body) {
    const std::string* credential = member(body, "cred").stringOrNull();
    std::string status = "ok";
    std::string reason;
    TokenAcceptance check;
    if (!credential) {
        status = "invalid_token";
        reason = "The request carries no token (\"cred\").";
    } else {
        check = server_.acceptToken(*credential, *ns_);
        if (check.refusal == TokenRefusal::Expired) {
            status = "expired_token";
            reason = "Auth token is expired.";
        } else if (check.refusal == TokenRefusal::Revoked) {
            status = "invalid_token";
            reason = "Auth token was revoked.";
        } else if (!check) {
            status = "invalid_token";
            reason = std::string("Invalid token: ") + backend::describe(check.refusal) + ".";
        }
    }
    std::lock_guard lock(ns_->mutex());
    ns_->count("auth", status);
    if (status != "ok") {
        // A failed attempt leaves the connection signed out.
        auth_.reset();
        recheckListensLocked(true);
        return answer(r, status, ns::Value(reason));
    }
    auth_ = check.claims;
    const IdTokenClaims& c = check.claims;
    ns::Dictionary token{{"sub", ns::Value(c.uid)}, {"iat", ns::Value(c.issuedAt)}, {"exp", ns::Value(c.expiresAt)}};
    if (!c.email.empty()) token["email"] = ns::Value(c.email);
    ns::Dictionary auth{{"uid", ns::Value(c.uid)}, {"provider", ns::Value("password")}, {"token", ns::Value(token)}};
    answer(r, "ok", ns::Value(ns::Dictionary{{"auth", ns::Value(auth)}, {"expires", ns::Value(c.expiresAt)}}));
}

void Connection::handleUnauth(int64_t r) {
    std::lock_guard lock(ns_->mutex());
    auth_.reset();
    recheckListensLocked(true);
    answer(r, "ok", ns::Value());
}

void Connection::handleListen(int64_t r, const ns::Dictionary& body) {
    std::string why;
    const auto path = parseWirePath(member(body, "p"), false, &why);
    if (!path) return answer(r, "invalid_path", ns::Value(why));
    const ns::Value& hashValue = member(body, "h");
    if (!hashValue.isNull() && !hashValue.isString()) {
        return answer(r, "invalid_request", ns::Value("the hash \"h\" must be a string"));
    }
    const std::string hash = hashValue.isString() ? hashValue.asString() : std::string();

    std::optional<int64_t> tag;
    FQueryParamsPtr params = FQueryParams::defaultInstance();
    if (auto refusal = readListenQuery(body, tag, params)) {
        return answer(r, refusal->first, ns::Value(refusal->second));
    }
    std::optional<FCompoundHash> compound;
    if (auto refusal = readCompoundHash(body, compound)) {
        return answer(r, refusal->first, ns::Value(refusal->second));
    }

    std::lock_guard lock(ns_->mutex());
    if (!ns_->rulesLocked().canRead(*path, ruleContextLocked())) {
        ns_->count("listens", "denied");
        return answer(r, "permission_denied", ns::Value("Permission denied"));
    }
    FQueryEvaluator::ListenAnswer result;
    try {
        result = answerListen(ns_->rootLocked()->getChild(*path), *params, hash,
                              server_.rangeMergesEnabled() ? compound : std::nullopt);
    } catch (const std::exception& e) {
        return answer(r, "invalid_query", ns::Value(e.what()));
    }
    // What is sent may hold writes not yet durable.
    const uint64_t seq = ns_->store().appendedSeq();
    ns::Dictionary push{{"p", ns::Value(path->toString())}};
    if (tag) push["t"] = ns::Value(*tag);
    switch (result.kind) {
    case FQueryEvaluator::ListenAnswer::Kind::UpToDate:
        ns_->count("listens", "upToDate");
        break;
    case FQueryEvaluator::ListenAnswer::Kind::Overwrite:
        ns_->count("listens", "overwrite");
        push["d"] = result.window->valForExport(true);
        enqueuePacket(pushPacket("d", std::move(push)), false, seq);
        break;
    case FQueryEvaluator::ListenAnswer::Kind::RangeMerges: {
        ns_->count("listens", "rangeMerges");
        ns::Array ranges;
        for (const FRangeMerge& merge : result.rangeMerges) {
            ns::Dictionary range{{"m", merge.updates()->valForExport(true)}};
            if (merge.optExclusiveStart()) range["s"] = ns::Value(merge.optExclusiveStart()->toString());
            if (merge.optInclusiveEnd()) range["e"] = ns::Value(merge.optInclusiveEnd()->toString());
            ranges.emplace_back(std::move(range));
        }
        push["d"] = ns::Value(std::move(ranges));
        enqueuePacket(pushPacket("rm", std::move(push)), false, seq);
        break;
    }
    }
    listens_.insert_or_assign(FQuerySpec(*path, params), Listen{tag, params, result.window});

    ns::Dictionary data;
    if (tag) {
        const std::string definition = params->index()->queryDefinition();
        if (definition != ".key" && definition != ".priority" && !ns_->rulesLocked().hasIndex(*path, definition)) {
            data["w"] = ns::Value(ns::Array{ns::Value("no_index")});
            ns_->count("listens", "noIndex");
        }
    }
    answer(r, "ok", data.empty() ? ns::Value() : ns::Value(std::move(data)), seq);
}

void Connection::handleUnlisten(int64_t r, const ns::Dictionary& body) {
    std::string why;
    const auto path = parseWirePath(member(body, "p"), false, &why);
    if (!path) return answer(r, "invalid_path", ns::Value(why));
    FQueryParamsPtr params = FQueryParams::defaultInstance();
    const ns::Value& query = member(body, "q");
    if (!query.isNull()) {
        if (!query.isDictionary() || !checkWireQuery(query.asDictionary(), &why)) {
            return answer(r, "invalid_query", ns::Value(query.isDictionary() ? why : "the query must be an object"));
        }
        try {
            params = FQueryParams::fromQueryObject(query);
        } catch (const std::exception& e) {
            return answer(r, "invalid_query", ns::Value(e.what()));
        }
    }
    std::lock_guard lock(ns_->mutex());
    // An unknown listen is no error: it may have been cancelled meanwhile.
    listens_.erase(FQuerySpec(*path, params));
    answer(r, "ok", ns::Value());
}

void Connection::handlePut(int64_t r, const ns::Dictionary& body) {
    std::string why;
    const auto path = parseWirePath(member(body, "p"), true, &why);
    if (!path) return answer(r, "invalid_path", ns::Value(why));
    if (!body.count("d")) return answer(r, "invalid_request", ns::Value("a put carries its data \"d\""));
    const ns::Value& data = member(body, "d");
    if (path->length() + valueDepth(data) > kMaxTreeDepth) {
        return answer(r, "invalid_data", ns::Value("the data nests too deeply"));
    }
    if (!checkWireData(data, &why)) return answer(r, "invalid_data", ns::Value(why));
    FNodePtr node;
    try {
        node = FSnapshotUtilities::nodeFromWithValidation(data, "put");
    } catch (const std::exception& e) {
        return answer(r, "invalid_data", ns::Value(e.what()));
    }
    const bool priority = path->getBack() == ".priority";
    if (priority && !node->isEmpty() && !(node->isLeafNode() && !static_cast<const FLeafNode&>(*node).isBool())) {
        return answer(r, "invalid_data", ns::Value("a priority is a string, a number or null"));
    }
    const ns::Value& hashValue = member(body, "h");
    if (!hashValue.isNull() && !hashValue.isString()) {
        return answer(r, "invalid_request", ns::Value("the hash \"h\" must be a string"));
    }

    std::lock_guard lock(ns_->mutex());
    if (!ns_->rulesLocked().canWrite(accessPath(*path), ruleContextLocked())) {
        return answer(r, "permission_denied", ns::Value("Permission denied"));
    }
    if (hashValue.isString()) {
        const bool forced = server_.takeForcedDatastale();
        if (forced || ns_->rootLocked()->getChild(*path)->dataHash() != hashValue.asString()) {
            return answer(r, "datastale", ns::Value("The data changed since it was read."));
        }
    }
    const ns::Dictionary serverValues{{"timestamp", ns::Value(server_.nowMs())}};
    FNodePtr resolved = FServerValues::resolveDeferredValueSnapshot(node, serverValues);
    if (hasPlaceholder(*resolved)) return answer(r, "invalid_data", ns::Value("unknown server value"));
    auto outcome = ns_->setLocked(*path, resolved);
    answer(r, outcome.status, ns::Value(outcome.reason), outcome.seq);
}

void Connection::handleMerge(int64_t r, const ns::Dictionary& body) {
    std::string why;
    const auto path = parseWirePath(member(body, "p"), false, &why);
    if (!path) return answer(r, "invalid_path", ns::Value(why));
    const ns::Dictionary* children = member(body, "d").dictionaryOrNull();
    if (!children) return answer(r, "invalid_data", ns::Value("a merge carries an object of children \"d\""));
    if (auto refusal = checkMergeChildren(*path, *children)) return answer(r, refusal->first, ns::Value(refusal->second));
    FCompoundWrite write;
    try {
        write = FSnapshotUtilities::compoundWriteFromDictionary(*children, "merge");
    } catch (const std::exception& e) {
        return answer(r, "invalid_data", ns::Value(e.what()));
    }

    std::lock_guard lock(ns_->mutex());
    bool allowed = true;
    write.enumerateWrites([&](const FPath& relative, const FNodePtr&, bool& stop) {
        if (!ns_->rulesLocked().canWrite(accessPath(path->child(relative)), ruleContextLocked())) {
            allowed = false;
            stop = true;
        }
    });
    if (!allowed) return answer(r, "permission_denied", ns::Value("Permission denied"));
    const ns::Dictionary serverValues{{"timestamp", ns::Value(server_.nowMs())}};
    FCompoundWrite resolved = FServerValues::resolveDeferredValueCompoundWrite(write, serverValues);
    bool unknown = false;
    resolved.enumerateWrites([&](const FPath&, const FNodePtr& node, bool& stop) {
        if (hasPlaceholder(*node)) unknown = stop = true;
    });
    if (unknown) return answer(r, "invalid_data", ns::Value("unknown server value"));
    if (resolved.isEmpty()) return answer(r, "ok", ns::Value());
    auto outcome = ns_->mergeLocked(*path, resolved);
    answer(r, outcome.status, ns::Value(outcome.reason), outcome.seq);
}

void Connection::handleOnDisconnect(int64_t r, const std::string& action, const ns::Dictionary& body) {
    std::string why;
    const auto path = parseWirePath(member(body, "p"), action == "o", &why);
    if (!path) return answer(r, "invalid_path", ns::Value(why));
    if (action == "oc") {
        std::erase_if(onDisconnect_, [&](const OnDisconnectWrite& w) { return path->contains(w.path); });
        {
            std::lock_guard lock(queueMutex_);
            onDisconnectCount_ = int(onDisconnect_.size());
        }
        return answer(r, "ok", ns::Value());
    }

    OnDisconnectWrite write{action, *path, nullptr, FCompoundWrite()};
    const ns::Value& data = member(body, "d");
    std::vector<FPath> touched;
    const ns::Dictionary serverValues{{"timestamp", ns::Value(server_.nowMs())}};
    try {
        if (action == "o") {
            if (path->length() + valueDepth(data) > kMaxTreeDepth) {
                return answer(r, "invalid_data", ns::Value("the data nests too deeply"));
            }
            if (!checkWireData(data, &why)) return answer(r, "invalid_data", ns::Value(why));
            write.node = FSnapshotUtilities::nodeFromWithValidation(data, "onDisconnect");
            if (hasPlaceholder(*FServerValues::resolveDeferredValueSnapshot(write.node, serverValues))) {
                return answer(r, "invalid_data", ns::Value("unknown server value"));
            }
            touched.push_back(accessPath(*path));
        } else {
            const ns::Dictionary* children = data.dictionaryOrNull();
            if (!children) return answer(r, "invalid_data", ns::Value("an update carries an object of children \"d\""));
            if (auto refusal = checkMergeChildren(*path, *children)) {
                return answer(r, refusal->first, ns::Value(refusal->second));
            }
            write.merge = FSnapshotUtilities::compoundWriteFromDictionary(*children, "onDisconnect");
            bool unknown = false;
            FServerValues::resolveDeferredValueCompoundWrite(write.merge, serverValues)
                .enumerateWrites([&](const FPath&, const FNodePtr& node, bool& stop) {
                    if (hasPlaceholder(*node)) unknown = stop = true;
                });
            if (unknown) return answer(r, "invalid_data", ns::Value("unknown server value"));
            write.merge.enumerateWrites(
                [&](const FPath& relative, const FNodePtr&, bool&) { touched.push_back(accessPath(path->child(relative))); });
        }
    } catch (const std::exception& e) {
        return answer(r, "invalid_data", ns::Value(e.what()));
    }
    {
        std::lock_guard lock(ns_->mutex());
        for (const FPath& p : touched) {
            if (!ns_->rulesLocked().canWrite(p, ruleContextLocked())) {
                return answer(r, "permission_denied", ns::Value("Permission denied"));
            }
        }
    }
    onDisconnect_.push_back(std::move(write));
    {
        std::lock_guard lock(queueMutex_);
        onDisconnectCount_ = int(onDisconnect_.size());
    }
    answer(r, "ok", ns::Value());
}

void Connection::onIdle() { ns_->store().syncNow(); }

// The end.

void Connection::finish() {
    {
        std::lock_guard lock(queueMutex_);
        ended_ = true;
        queue_.clear();
    }
    std::optional<IdTokenClaims> auth;
    {
        std::lock_guard lock(ns_->mutex());
        listens_.clear();
        auth = std::move(auth_);
        auth_.reset();
        ns_->removeMemberLocked(id_);
    }
    runOnDisconnect(auth);
}

void Connection::runOnDisconnect(const std::optional<IdTokenClaims>& auth) {
    if (onDisconnect_.empty()) return;
    // The writes act for the connection as it is now, not as it was when
    // they were queued: a token that was revoked, expired or belongs to an
    // account disabled meanwhile no longer counts.
    std::optional<RuleAuth> ruleAuth;
    if (auth) {
        const TokenRefusal refusal = server_.recheckToken(*auth, *ns_);
        if (refusal == TokenRefusal::None) ruleAuth = RuleAuth{auth->uid, auth->email};
        if (!ruleAuth) {
            std::cerr << "rtdb: connection " << id_ << ": on-disconnect writes run signed out: the token of "
                      << auth->uid << " is " << backend::describe(refusal) << std::endl;
        }
    }
    // In the order they were made; the later of two at one path wins.
    for (const OnDisconnectWrite& write : onDisconnect_) {
        std::lock_guard lock(ns_->mutex());
        std::vector<FPath> touched;
        if (write.action == "o") {
            touched.push_back(accessPath(write.path));
        } else {
            write.merge.enumerateWrites([&](const FPath& relative, const FNodePtr&, bool&) {
                touched.push_back(accessPath(write.path.child(relative)));
            });
        }
        bool allowed = true;
        const RuleContext context{ruleAuth, ns_->rootLocked()};
        for (const FPath& p : touched) allowed = allowed && ns_->rulesLocked().canWrite(p, context);
        if (!allowed) {
            std::cerr << "rtdb: connection " << id_ << ": on-disconnect " << write.action << " at "
                      << write.path.toString() << " dropped: the rules no longer allow it" << std::endl;
            ns_->count("onDisconnect", "denied");
            continue;
        }
        const ns::Dictionary serverValues{{"timestamp", ns::Value(server_.nowMs())}};
        Namespace::Outcome outcome;
        if (write.action == "o") {
            outcome = ns_->setLocked(write.path, FServerValues::resolveDeferredValueSnapshot(write.node, serverValues));
        } else {
            outcome =
                ns_->mergeLocked(write.path, FServerValues::resolveDeferredValueCompoundWrite(write.merge, serverValues));
        }
        ns_->count("onDisconnect", outcome.status == "ok" ? "run" : "failed");
    }
    onDisconnect_.clear();
}

// Listens and auth, with the namespace's lock held.

RuleContext Connection::ruleContextLocked() const {
    RuleContext context{std::nullopt, ns_->rootLocked()};
    if (auth_) context.auth = RuleAuth{auth_->uid, auth_->email};
    return context;
}

void Connection::recheckListensLocked(bool announce) {
    std::set<FPath> refused;
    for (const auto& [query, listen] : listens_) {
        if (!ns_->rulesLocked().canRead(query.path(), ruleContextLocked())) refused.insert(query.path());
    }
    for (const FPath& path : refused) {
        std::erase_if(listens_, [&](const auto& entry) { return entry.first.path() == path; });
        ns_->count("listens", "cancelled");
        if (announce) enqueuePacket(pushPacket("c", {{"p", ns::Value(path.toString())}}), false, 0);
    }
}

void Connection::revokeAuthLocked(const std::string& status, const std::string& reason) {
    if (!auth_) return;
    server_.rememberRevoked(*auth_);
    auth_.reset();
    enqueuePacket(pushPacket("ac", {{"s", ns::Value(status)}, {"d", ns::Value(reason)}}), false, 0);
    // The client drops the connection on "ac" and listens again once signed
    // in, so what it may no longer read stops quietly.
    recheckListensLocked(false);
}

size_t Connection::queuedItems() const {
    std::lock_guard lock(queueMutex_);
    return queue_.size();
}

nlohmann::json Connection::describe() const {
    nlohmann::json out{{"id", id_},
                       {"ns", ns_->name()},
                       {"session", session_},
                       {"lastSession", info_.lastSession},
                       {"host", info_.host},
                       {"tls", info_.tls}};
    {
        std::lock_guard lock(ns_->mutex());
        out["auth"] = auth_ ? nlohmann::json{{"uid", auth_->uid}, {"expires", auth_->expiresAt}} : nlohmann::json();
        nlohmann::json listens = nlohmann::json::array();
        for (const auto& [query, listen] : listens_) {
            nlohmann::json entry{{"path", query.path().toString()}};
            if (listen.tag) {
                entry["tag"] = *listen.tag;
                entry["query"] = toJson(ns::Value(query.params()->wireProtocolParams()));
            }
            listens.push_back(std::move(entry));
        }
        out["listens"] = std::move(listens);
    }
    std::lock_guard lock(queueMutex_);
    out["requests"] = requests_;
    out["queued"] = queue_.size();
    out["onDisconnect"] = onDisconnectCount_;
    out["faults"] = {{"holdAnswers", faults_.holdAnswers},
                     {"answerDelayMs", faults_.answerDelayMs},
                     {"splitFrames", faults_.splitFrames}};
    return out;
}

}  // namespace backend::rtdb
