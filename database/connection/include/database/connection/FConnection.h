#pragma once
// The packet envelope over one web-socket connection: every request goes as
// {"t": "d", "d": request}; incoming packets are told apart into data and
// control packets; the server's handshake, reset (go to another host) and
// shutdown commands are obeyed. One object lives for one connection
// attempt, in three states: connecting, connected, disconnected. Everything
// runs on the worker queue handed in; Debug builds raise when open, close or
// a send comes from elsewhere.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "database/connection/FWebSocketConnection.h"
#include "database/model/FRepoInfo.h"
#include "platform/dispatch.h"
#include "platform/json.h"
#include "platform/value.h"

enum FConnectionState : int32_t {
    REALTIME_STATE_CONNECTING = 0,
    REALTIME_STATE_CONNECTED = 1,
    REALTIME_STATE_DISCONNECTED = 2,
};

enum FDisconnectReason : int32_t {
    DISCONNECT_REASON_SERVER_RESET = 0,
    DISCONNECT_REASON_OTHER = 1,
};

class FConnection;

// Implemented by the wire-protocol client; called on the worker queue.
class FConnectionDelegate {
public:
    virtual ~FConnectionDelegate() = default;
    // onReady:atTime:sessionID: the handshake's server time (milliseconds
    // since 1970, nullopt when the server sent none) and session id.
    virtual void onReady(FConnection& connection, std::optional<double> timestamp,
                         const std::optional<std::string>& sessionID) = 0;
    // onDataMessage:withMessage:
    virtual void onDataMessage(FConnection& connection, const ns::Dictionary& message) = 0;
    // A data push ({"a": action, "b": body}) read where it lies in the
    // packet's text: the action is "d" or "m", the body an object of a
    // string "p", a "d" and at most a "t" besides, each once. A delegate that
    // takes it answers true; otherwise the packet comes to onDataMessage as
    // values.
    virtual bool onDataPush(FConnection& connection, const std::string& action, const ns::json::Element& body) {
        (void)connection;
        (void)action;
        (void)body;
        return false;
    }
    // An answer ({"r": number, "b": body}, nothing else) read where it lies
    // in the packet's text: a request number below 2^63 and a body that is
    // an object. A delegate that takes it answers true; otherwise the packet
    // comes to onDataMessage as values.
    virtual bool onAnswer(FConnection& connection, int64_t number, const ns::json::Element& body) {
        (void)connection;
        (void)number;
        (void)body;
        return false;
    }
    // onDisconnect:withReason:
    virtual void onDisconnect(FConnection& connection, FDisconnectReason reason) = 0;
    // onKill:withReason: the server's shutdown command.
    virtual void onKill(FConnection& connection, const std::string& reason) = 0;
};

class FConnection : public FWebSocketDelegate, public std::enable_shared_from_this<FConnection> {
public:
    // initWith:andDispatchQueue:lastSessionID:
    static std::shared_ptr<FConnection> make(std::shared_ptr<FRepoInfo> repoInfo, ns::DispatchQueuePtr queue,
                                             std::optional<std::string> lastSessionID);

    // The same with the socket pointed at `url` (for tests against the back
    // end's test endpoints).
    static std::shared_ptr<FConnection> makeWithURLForTesting(std::shared_ptr<FRepoInfo> repoInfo,
                                                              ns::DispatchQueuePtr queue, std::string url);

    void setDelegate(std::weak_ptr<FConnectionDelegate> delegate) { delegate_ = std::move(delegate); }
    FConnectionState state() const { return state_; }
    const std::shared_ptr<FRepoInfo>& repoInfo() const { return repoInfo_; }
    // The web-socket connection, nullptr once the socket is gone.
    const std::shared_ptr<FWebSocketConnection>& webSocketConnection() const { return conn_; }

    void open();
    // closeWithReason: 1.
    void close();
    void closeWithReason(FDisconnectReason reason);
    // Wraps the request in the data envelope. Only in the connected state:
    // otherwise raises "InvalidConnectionState".
    void sendRequest(const ns::Dictionary& request, bool sensitive);
    void sendData(const ns::Dictionary& data, bool sensitive);
    // The request {"r": number, "a": action, "b": body} in the envelope,
    // written as text and handed to the web socket as it is.
    void sendRequest(int64_t number, const std::string& action, const ns::Value& body, bool sensitive);
    // That packet's text; nullopt when the body has no JSON form.
    static std::optional<std::string> requestText(int64_t number, const std::string& action, const ns::Value& body);

    // FWebSocketDelegate.
    void onMessage(FWebSocketConnection& connection, const std::optional<ns::Value>& message) override;
    // Reads the packet once; a data push's data stay in the text for the
    // delegate to read straight from it.
    bool onMessageText(FWebSocketConnection& connection, std::string_view text) override;
    void onDisconnect(FWebSocketConnection& connection, bool wasEverConnected) override;

    // A host a server may send us to: a string the URL parser takes as a
    // database host (three labels, host characters only).
    static bool isAcceptableHost(const ns::Value& host);

    struct Passkey {};
    FConnection(Passkey, std::shared_ptr<FRepoInfo> repoInfo);

private:
    void onDataMessage(const ns::Value& message);
    // The push's action and body when the packet is a data push of the form
    // onDataPush takes.
    static std::optional<std::pair<std::string, ns::json::Element>> dataPush(const ns::json::Element& packet);
    // A data packet's payload, when the packet is {"t": "d", "d": payload}
    // and nothing else.
    static std::optional<ns::json::Element> dataMessage(const ns::json::Element& packet);
    // The number and body of a data message that is an answer of the form
    // onAnswer takes.
    static std::optional<std::pair<int64_t, ns::json::Element>> answerOf(const ns::json::Element& data);
    void onControl(const ns::Value& control);
    void onHandshake(const ns::Value& handshake);
    void onConnectionReady(std::optional<double> timestamp, const std::optional<std::string>& sessionID);
    void onReset(const ns::Value& host);
    void onConnectionShutdownWithReason(const std::string& reason);

    FConnectionState state_ = REALTIME_STATE_CONNECTING;
    std::weak_ptr<FConnectionDelegate> delegate_;
    std::shared_ptr<FWebSocketConnection> conn_;
    std::shared_ptr<FRepoInfo> repoInfo_;
    // The worker queue every call must come from.
    ns::DispatchQueuePtr queue_;
};
