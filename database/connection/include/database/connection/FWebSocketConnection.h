#pragma once
// One web socket of the realtime database: builds the connection URL and the
// user agent, turns each outgoing packet into compact JSON text cut into
// frames of at most 16384 characters (a frame count first when there are
// several), reassembles incoming multi-frame packets, sends the keep-alive
// frame "0" after 45 s without traffic, and closes a socket that has not
// opened within 30 s.
//
// Everything runs on the worker queue handed in, except the keep-alive timer,
// which lives on the main run loop (Debug builds raise when open, close,
// send or handleIncomingFrame come from elsewhere). One object serves one
// connection attempt and is never reopened.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "database/connection/FSRWebSocket.h"
#include "database/model/FRepoInfo.h"
#include "platform/dispatch.h"
#include "platform/runloop.h"
#include "platform/value.h"

class FWebSocketConnection;

// Implemented by the owning framed connection; called on the worker queue.
class FWebSocketDelegate {
public:
    virtual ~FWebSocketDelegate() = default;
    // onMessage:withMessage: the parsed packet, or nullopt when the text was
    // not JSON (or the packet was dropped as too large).
    virtual void onMessage(FWebSocketConnection& connection, const std::optional<ns::Value>& message) = 0;
    // A whole packet's text before it is parsed: a delegate that reads the
    // packet itself answers true, and onMessage is not called for it.
    virtual bool onMessageText(FWebSocketConnection& connection, std::string_view text) {
        (void)connection;
        (void)text;
        return false;
    }
    // onDisconnect:wasEverConnected: the socket ended by itself.
    virtual void onDisconnect(FWebSocketConnection& connection, bool wasEverConnected) = 0;
};

class FWebSocketConnection : public FSRWebSocketDelegate, public std::enable_shared_from_this<FWebSocketConnection> {
public:
    // A server may announce at most this many frames for one packet.
    static constexpr int32_t kMaxFrameCount = 9999;
    // Text gathered for one packet beyond this many bytes is dropped.
    static constexpr size_t kMaxPacketBytes = 64u * 1024 * 1024;

    // initWith:andQueue:lastSessionID: makes the socket; nothing is opened.
    static std::shared_ptr<FWebSocketConnection> make(std::shared_ptr<FRepoInfo> repoInfo,
                                                      ns::DispatchQueuePtr queue,
                                                      std::optional<std::string> lastSessionID);
    // The same with the socket pointed at `url` instead of the location's
    // database URL (for tests against the back end's test endpoints).
    static std::shared_ptr<FWebSocketConnection> makeWithURLForTesting(std::string url, ns::DispatchQueuePtr queue);
    ~FWebSocketConnection() override;

    void setDelegate(std::weak_ptr<FWebSocketDelegate> delegate) { delegate_ = std::move(delegate); }

    // "Quorvane/5/<build version>/<OS version>/<device model>_<bundle id>".
    static std::string userAgent();
    const std::string& url() const { return url_; }
    uint64_t connectionId() const { return connectionId_; }

    // YES while a multi-frame packet is being assembled.
    bool buffering() const { return frame_.has_value(); }

    void open();
    // The delegate is not told (the socket's own close report finds the
    // connection closed).
    void close();
    // Sends the packet's frames; resets the keep-alive.
    void send(const ns::Value& packet);
    // The same for a packet already written as JSON text.
    void sendText(std::string text);

    // FSRWebSocketDelegate, on the worker queue.
    void webSocket(const std::shared_ptr<FSRWebSocket>& webSocket, const ns::Value& message) override;
    void webSocketDidOpen(const std::shared_ptr<FSRWebSocket>& webSocket) override;
    void webSocket(const std::shared_ptr<FSRWebSocket>& webSocket, const ns::ErrorRef& error) override;
    void webSocket(const std::shared_ptr<FSRWebSocket>& webSocket, int64_t code,
                   const std::optional<std::string>& reason, bool wasClean) override;

    // The frame handling of a received text, as a frame from the socket
    // (for the fuzzer and tests; worker queue).
    void handleIncomingFrame(const std::string& message);

    // For tests: the keep-alive timer once it runs (main queue made), or
    // nullptr.
    std::shared_ptr<ns::Timer> keepAliveTimerForTesting() const;

    struct Passkey {};
    FWebSocketConnection(Passkey, std::string url, ns::DispatchQueuePtr queue);

private:
    static std::shared_ptr<FWebSocketConnection> makeWithURL(std::string url, ns::DispatchQueuePtr queue);
    void nop(ns::Timer& timer);
    std::optional<int32_t> extractFrameCount(const std::string& message) const;
    void handleNewFrameCount(int32_t numFrames);
    std::optional<ns::Value> appendFrame(const std::string& message, bool& taken);
    // The packet of a whole text, unless the delegate takes the text.
    std::optional<ns::Value> readPacket(const std::string& text, bool& taken);
    void closeIfNeverConnected();
    void onClosed();
    void shutdown();
    void resetKeepAlive();
    std::shared_ptr<FSRWebSocket> socket() const;
    std::string logId() const;

    // Worker-queue state.
    std::optional<std::string> frame_;
    bool frameOverflowed_ = false;
    bool everConnected_ = false;
    bool isClosed_ = false;
    bool opened_ = false;
    int32_t totalFrames_ = 0;
    std::weak_ptr<FWebSocketDelegate> delegate_;
    const uint64_t connectionId_;
    ns::DispatchQueuePtr dispatchQueue_;
    std::string url_;

    // Shared with the main thread (timer creation and firing).
    mutable std::mutex mutex_;
    std::shared_ptr<FSRWebSocket> webSocket_;
    std::shared_ptr<ns::Timer> keepAlive_;
    bool socketGone_ = false;
};
