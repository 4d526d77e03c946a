#include "database/connection/FConnection.h"

#include <cctype>

#include "FLog.h"
#include "database/connection/FConstants.h"
#include "platform/error.h"
#include "platform/json.h"

namespace {

ns::Value requestPacket(int64_t number, const std::string& action, const ns::Value& body) {
    const ns::Dictionary request{{kFWPRequestNumber, number}, {kFWPRequestAction, action},
                                 {kFWPRequestPayloadBody, body}};
    return ns::Value(ns::Dictionary{{kFWPRequestType, kFWPRequestTypeData}, {kFWPRequestDataPayload, request}});
}

// An action the writer writes as it is, between quotes.
bool plainAction(const std::string& action) {
    if (action.empty() || action.size() > 8) return false;
    for (char c : action) {
        if (c < 'a' || c > 'z') return false;
    }
    return true;
}

}  // namespace

FConnection::FConnection(Passkey, std::shared_ptr<FRepoInfo> repoInfo) : repoInfo_(std::move(repoInfo)) {}

std::shared_ptr<FConnection> FConnection::make(std::shared_ptr<FRepoInfo> repoInfo, ns::DispatchQueuePtr queue,
                                               std::optional<std::string> lastSessionID) {
    auto connection = std::make_shared<FConnection>(Passkey{}, repoInfo);
    connection->queue_ = queue;
    connection->conn_ = FWebSocketConnection::make(std::move(repoInfo), std::move(queue), std::move(lastSessionID));
    connection->conn_->setDelegate(std::static_pointer_cast<FWebSocketDelegate>(connection));
    return connection;
}

std::shared_ptr<FConnection> FConnection::makeWithURLForTesting(std::shared_ptr<FRepoInfo> repoInfo,
                                                                ns::DispatchQueuePtr queue, std::string url) {
    auto connection = std::make_shared<FConnection>(Passkey{}, std::move(repoInfo));
    connection->queue_ = queue;
    connection->conn_ = FWebSocketConnection::makeWithURLForTesting(std::move(url), std::move(queue));
    connection->conn_->setDelegate(std::static_pointer_cast<FWebSocketDelegate>(connection));
    return connection;
}

void FConnection::open() {
    ns::dispatchAssertQueue(queue_);
    FFLog("I-RDB082001", "Calling open in FConnection");
    if (conn_) conn_->open();
}

void FConnection::close() { closeWithReason(DISCONNECT_REASON_OTHER); }

void FConnection::closeWithReason(FDisconnectReason reason) {
    ns::dispatchAssertQueue(queue_);
    if (state_ == REALTIME_STATE_DISCONNECTED) return;
    // The delegate usually drops its reference to this object.
    auto self = shared_from_this();
    FFLog("I-RDB082002", "Closing realtime connection.");
    state_ = REALTIME_STATE_DISCONNECTED;
    if (conn_) {
        FFLog("I-RDB082003", "Calling close again.");
        conn_->close();
        conn_.reset();
    }
    if (auto delegate = delegate_.lock()) delegate->onDisconnect(*this, reason);
}

void FConnection::sendRequest(const ns::Dictionary& request, bool sensitive) {
    ns::Dictionary packet{{kFWPRequestType, kFWPRequestTypeData}, {kFWPRequestDataPayload, request}};
    sendData(packet, sensitive);
}

void FConnection::sendData(const ns::Dictionary& data, bool sensitive) {
    ns::dispatchAssertQueue(queue_);
    if (state_ != REALTIME_STATE_CONNECTED) {
        ns::Exception::raise("InvalidConnectionState", "Tried to send data on an unconnected FConnection");
    }
    if (sensitive) {
        FFLog("I-RDB082004", "Sending data (contents hidden)");
    } else {
        FFLog("I-RDB082005", "Sending: %@", ns::Value(data));
    }
    if (conn_) conn_->send(ns::Value(data));
}

std::optional<std::string> FConnection::requestText(int64_t number, const std::string& action,
                                                    const ns::Value& body) {
    ns::ErrorRef error;
    if (plainAction(action)) {
        // The envelope around the body's own text, as the writer lays it
        // out (members in key order: "d" then "t"; "a", "b", "r" inside),
        // without building its two dictionaries for every request.
        std::string bodyText = ns::json::serialize(body, &error);
        if (error) return std::nullopt;
        // The envelope nests the body two levels deeper; a text this short
        // cannot come near the writer's depth bound there.
        if (bodyText.size() < ns::json::kMaxDepth / 2) {
            std::string text;
            text.reserve(bodyText.size() + action.size() + 48);
            text += "{\"d\":{\"a\":\"";
            text += action;
            text += "\",\"b\":";
            text += bodyText;
            text += ",\"r\":";
            text += std::to_string(number);
            text += "},\"t\":\"d\"}";
            return text;
        }
    }
    std::string text = ns::json::serialize(requestPacket(number, action, body), &error);
    if (error) return std::nullopt;
    return text;
}

void FConnection::sendRequest(int64_t number, const std::string& action, const ns::Value& body, bool sensitive) {
    ns::dispatchAssertQueue(queue_);
    if (state_ != REALTIME_STATE_CONNECTED) {
        ns::Exception::raise("InvalidConnectionState", "Tried to send data on an unconnected FConnection");
    }
    auto packet = [&] { return requestPacket(number, action, body); };
    if (sensitive) {
        FFLog("I-RDB082004", "Sending data (contents hidden)");
    } else {
        FFLog("I-RDB082005", "Sending: %@", packet());
    }
    if (!conn_) return;
    std::optional<std::string> text = requestText(number, action, body);
    if (text) {
        conn_->sendText(std::move(*text));
    } else {
        // A packet without a JSON form: the web socket words the refusal.
        conn_->send(packet());
    }
}

// ---------------------------------------------------------------- incoming packets

void FConnection::onMessage(FWebSocketConnection&, const std::optional<ns::Value>& message) {
    const ns::Value& packet = message ? *message : ns::nullValue();
    const ns::Value& type = packet[kFWPAsyncServerEnvelopeType];
    if (type.isNull()) {
        FFLog("I-RDB082009", "Unrecognized raw server packet received: %@", packet);
        return;
    }
    const std::string* typeText = type.stringOrNull();
    if (typeText && *typeText == kFWPAsyncServerDataMessage) {
        onDataMessage(packet[kFWPAsyncServerEnvelopeData]);
    } else if (typeText && *typeText == kFWPAsyncServerControlMessage) {
        onControl(packet[kFWPAsyncServerEnvelopeData]);
    } else {
        FFLog("I-RDB082008", "Unrecognized server packet type: %@", type);
    }
}

std::optional<std::pair<std::string, ns::json::Element>> FConnection::dataPush(const ns::json::Element& packet) {
    using Kind = ns::json::Element::Kind;
    if (!packet.isObject() || packet.size() != 2) return std::nullopt;
    const std::optional<ns::json::Element> type = packet.member(kFWPAsyncServerEnvelopeType);
    const std::optional<ns::json::Element> data = packet.member(kFWPAsyncServerEnvelopeData);
    if (!type || !data || type->kind() != Kind::String || type->stringValue() != kFWPAsyncServerDataMessage ||
        !data->isObject() || data->size() != 2) {
        return std::nullopt;
    }
    const std::optional<ns::json::Element> action = data->member(kFWPAsyncServerAction);
    const std::optional<ns::json::Element> body = data->member(kFWPAsyncServerPayloadBody);
    if (!action || !body || action->kind() != Kind::String || !body->isObject()) return std::nullopt;
    const std::string_view name = action->stringValue();
    if (name != kFWPAsyncServerDataUpdate && name != kFWPAsyncServerDataMerge) return std::nullopt;
    const std::optional<ns::json::Element> path = body->member(kFWPAsyncServerDataUpdateBodyPath);
    const size_t members = 2 + (body->member(kFWPAsyncServerDataUpdateBodyTag) ? 1 : 0);
    if (!path || path->kind() != Kind::String || !body->member(kFWPAsyncServerDataUpdateBodyData) ||
        body->size() != members) {
        return std::nullopt;
    }
    return std::make_pair(std::string(name), *body);
}

std::optional<ns::json::Element> FConnection::dataMessage(const ns::json::Element& packet) {
    if (!packet.isObject() || packet.size() != 2) return std::nullopt;
    const std::optional<ns::json::Element> type = packet.member(kFWPAsyncServerEnvelopeType);
    std::optional<ns::json::Element> data = packet.member(kFWPAsyncServerEnvelopeData);
    if (!type || !data || type->kind() != ns::json::Element::Kind::String ||
        type->stringValue() != kFWPAsyncServerDataMessage) {
        return std::nullopt;
    }
    return data;
}

std::optional<std::pair<int64_t, ns::json::Element>> FConnection::answerOf(const ns::json::Element& data) {
    using Kind = ns::json::Element::Kind;
    if (!data.isObject() || data.size() != 2) return std::nullopt;
    const std::optional<ns::json::Element> number = data.member(kFWPRequestNumber);
    const std::optional<ns::json::Element> body = data.member(kFWPResponseForRNData);
    // The reader holds a whole number as Int whenever it fits 64 signed bits.
    if (!number || !body || !body->isObject() || number->kind() != Kind::Int) return std::nullopt;
    return std::make_pair(number->intValue(), *body);
}

bool FConnection::onMessageText(FWebSocketConnection& connection, std::string_view text) {
    // Debug logging words every packet whole, as values, in the order it
    // always has.
    if (FFIsLoggingEnabled(FLogLevelDebug)) return false;
    ns::json::Document document;
    if (!document.read(text)) return false;
    const ns::json::Element packet = document.root();
    if (auto push = dataPush(packet)) {
        if (auto delegate = delegate_.lock()) {
            auto self = shared_from_this();
            if (delegate->onDataPush(*this, push->first, push->second)) return true;
        }
    }
    if (auto data = dataMessage(packet)) {
        if (auto answer = answerOf(*data)) {
            if (auto delegate = delegate_.lock()) {
                auto self = shared_from_this();
                if (delegate->onAnswer(*this, answer->first, answer->second)) return true;
            }
        }
        // Only what lies inside the envelope becomes values.
        std::optional<ns::Value> payload = data->value();
        if (!payload) return false;
        onDataMessage(*payload);
        return true;
    }
    std::optional<ns::Value> message = packet.value();
    if (!message) return false;
    onMessage(connection, message);
    return true;
}

void FConnection::onDataMessage(const ns::Value& message) {
    FFLog("I-RDB082010", "Got data message: %@", message);
    // Everything the wire-protocol client reads is a member of a dictionary.
    const ns::Dictionary* payload = message.dictionaryOrNull();
    if (!payload) {
        FFWarn("I-RDB082016", "Dropping a data message that is not an object: %@", message);
        return;
    }
    if (auto delegate = delegate_.lock()) {
        auto self = shared_from_this();
        delegate->onDataMessage(*this, *payload);
    }
}

void FConnection::onControl(const ns::Value& control) {
    FFLog("I-RDB082011", "Got control message: %@", control);
    const std::string* type = control[kFWPAsyncServerControlMessageType].stringOrNull();
    const ns::Value& data = control[kFWPAsyncServerControlMessageData];
    if (type && *type == kFWPAsyncServerControlMessageShutdown) {
        const std::string* reason = data.stringOrNull();
        onConnectionShutdownWithReason(reason ? *reason : data.description());
    } else if (type && *type == kFWPAsyncServerControlMessageReset) {
        onReset(data);
    } else if (type && *type == kFWPAsyncServerHello) {
        onHandshake(data);
    } else {
        FFLog("I-RDB082012", "Unknown control message returned from server: %@", control);
    }
}

bool FConnection::isAcceptableHost(const ns::Value& host) {
    const std::string* text = host.stringOrNull();
    if (!text || text->empty()) return false;
    for (unsigned char c : *text) {
        if (!std::isalnum(c) && c != '.' && c != '-' && c != '_' && c != ':') return false;
    }
    try {
        FUtilities::parseUrl(*text);
    } catch (const ns::Exception&) {
        return false;
    }
    return true;
}

void FConnection::onHandshake(const ns::Value& handshake) {
    const ns::Value& timestamp = handshake[kFWPAsyncServerHelloTimestamp];
    const ns::Value& host = handshake[kFWPAsyncServerHelloConnectedHost];
    const ns::Value& session = handshake[kFWPAsyncServerHelloSession];
    if (isAcceptableHost(host)) {
        repoInfo_->setInternalHost(host.asString());
    } else if (!host.isNull()) {
        FFWarn("I-RDB082017", "Ignoring the host of a server handshake: %@", host);
    }
    if (state_ == REALTIME_STATE_CONNECTING) {
        std::optional<double> ts;
        if (timestamp.isNumber()) ts = timestamp.asDouble();
        std::optional<std::string> sessionID;
        if (session.isString()) sessionID = session.asString();
        onConnectionReady(ts, sessionID);
    }
}

void FConnection::onConnectionReady(std::optional<double> timestamp, const std::optional<std::string>& sessionID) {
    FFLog("I-RDB082014", "Realtime connection established");
    state_ = REALTIME_STATE_CONNECTED;
    if (auto delegate = delegate_.lock()) {
        auto self = shared_from_this();
        delegate->onReady(*this, timestamp, sessionID);
    }
}

void FConnection::onReset(const ns::Value& host) {
    FFLog("I-RDB082015", "Got a reset; killing connection to: %@; Updating internalHost to: %@",
          repoInfo_->internalHost(), host);
    if (isAcceptableHost(host)) {
        repoInfo_->setInternalHost(host.asString());
    } else {
        FFWarn("I-RDB082018", "Ignoring the host of a server reset: %@", host);
    }
    closeWithReason(DISCONNECT_REASON_SERVER_RESET);
}

void FConnection::onConnectionShutdownWithReason(const std::string& reason) {
    FFLog("I-RDB082013", "Connection shutdown command received. Shutting down...");
    auto self = shared_from_this();
    if (auto delegate = delegate_.lock()) delegate->onKill(*this, reason);
    close();
}

void FConnection::onDisconnect(FWebSocketConnection&, bool wasEverConnected) {
    auto self = shared_from_this();
    conn_.reset();
    if (!wasEverConnected && state_ == REALTIME_STATE_CONNECTING) {
        FFLog("I-RDB082006", "Realtime connection failed.");
        // The next attempt goes to the configured host.
        repoInfo_->clearInternalHostCache();
    } else if (state_ == REALTIME_STATE_CONNECTED) {
        FFLog("I-RDB082007", "Realtime connection lost.");
    }
    close();
}
