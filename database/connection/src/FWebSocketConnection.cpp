#include "database/connection/FWebSocketConnection.h"

#include <cctype>

#include "FLog.h"
#include "database/connection/FConstants.h"
#include "database/connection/FWorkerQueue.h"
#include "database/model/FStringUtilities.h"
#include "database/model/FUtilities.h"
#include "platform/bundle.h"
#include "platform/clock.h"
#include "platform/format.h"
#include "platform/json.h"
#include "platform/sandbox.h"

namespace {

// -[NSString integerValue]: optional leading blanks and sign, then digits up
// to the first other character; 0 when there are none.
int64_t leadingIntegerValue(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > 1'000'000'000) break;
    }
    return negative ? -value : value;
}

// A whole packet's text; nothing when it is not JSON.
std::optional<ns::Value> parsePacket(const std::string& text) {
    ns::ErrorRef error;
    ns::Value parsed = ns::json::parse(text, &error);
    if (error) return std::nullopt;
    return parsed;
}

}  // namespace

FWebSocketConnection::FWebSocketConnection(Passkey, std::string url, ns::DispatchQueuePtr queue)
    : connectionId_(FUtilities::LUIDGenerator()), dispatchQueue_(std::move(queue)), url_(std::move(url)) {}

std::shared_ptr<FWebSocketConnection> FWebSocketConnection::make(std::shared_ptr<FRepoInfo> repoInfo,
                                                                 ns::DispatchQueuePtr queue,
                                                                 std::optional<std::string> lastSessionID) {
    return makeWithURL(repoInfo->connectionURLWithLastSessionID(lastSessionID), std::move(queue));
}

std::shared_ptr<FWebSocketConnection> FWebSocketConnection::makeWithURLForTesting(std::string url,
                                                                                  ns::DispatchQueuePtr queue) {
    return makeWithURL(std::move(url), std::move(queue));
}

std::shared_ptr<FWebSocketConnection> FWebSocketConnection::makeWithURL(std::string url, ns::DispatchQueuePtr queue) {
    auto connection = std::make_shared<FWebSocketConnection>(Passkey{}, std::move(url), queue);
    const std::string ua = userAgent();
    FFLog("I-RDB083001", "(wsc:%@) Connecting to: %@ as %@", connection->logId(), connection->url_, ua);
    // The socket works on the worker queue itself: packets in and out cross
    // no other thread between the stream and this object.
    auto socket = FSRWebSocket::makeSharingQueue(ns::URLRequest(connection->url_), queue, ua);
    socket->setDelegateDispatchQueue(queue);
    socket->setDelegate(std::static_pointer_cast<FSRWebSocketDelegate>(connection));
    connection->webSocket_ = std::move(socket);
    return connection;
}

FWebSocketConnection::~FWebSocketConnection() {
    std::shared_ptr<ns::Timer> timer;
    std::shared_ptr<FSRWebSocket> socket;
    {
        std::lock_guard lock(mutex_);
        timer = std::move(keepAlive_);
        socket = std::move(webSocket_);
        socketGone_ = true;
    }
    // A repeating timer lives on its run loop until invalidated.
    if (timer) timer->invalidate();
    // Dropped without a close (the owner went away): do not leave the socket open.
    if (socket && opened_ && !isClosed_) {
        socket->setDelegate({});
        socket->close();
    }
}

std::string FWebSocketConnection::userAgent() {
    const ns::DeviceProfile profile = ns::Sandbox::current()->deviceProfile();
    const std::string bundleIdentifier = ns::Bundle::mainBundle()->bundleIdentifier();
    return ns::format("Quorvane/%@/%@/%@/%@_%@", kWebsocketProtocolVersion, FDatabaseVersion::buildVersion(),
                      profile.systemVersion, FStringUtilities::sanitizedForUserAgent(profile.model),
                      FStringUtilities::sanitizedForUserAgent(bundleIdentifier));
}

std::string FWebSocketConnection::logId() const { return std::to_string(connectionId_); }

std::shared_ptr<FSRWebSocket> FWebSocketConnection::socket() const {
    std::lock_guard lock(mutex_);
    return webSocket_;
}

std::shared_ptr<ns::Timer> FWebSocketConnection::keepAliveTimerForTesting() const {
    std::lock_guard lock(mutex_);
    return keepAlive_;
}

// ---------------------------------------------------------------- open / close / send

void FWebSocketConnection::open() {
    ns::dispatchAssertQueue(dispatchQueue_);
    FFLog("I-RDB083002", "(wsc:%@) FWebSocketConnection open.", logId());
    everConnected_ = false;
    opened_ = true;
    if (auto s = socket()) s->open();
    // The block keeps this object alive until it has run.
    auto self = shared_from_this();
    dispatchQueue_->after(double(kWebsocketConnectTimeout), [self] { self->closeIfNeverConnected(); });
}

void FWebSocketConnection::close() {
    ns::dispatchAssertQueue(dispatchQueue_);
    FFLog("I-RDB083003", "(wsc:%@) FWebSocketConnection is being closed.", logId());
    isClosed_ = true;
    if (!opened_) {
        // Nothing went on the wire: the socket is simply dropped.
        std::lock_guard lock(mutex_);
        webSocket_.reset();
        socketGone_ = true;
        return;
    }
    if (auto s = socket()) s->close();
}

void FWebSocketConnection::send(const ns::Value& packet) {
    ns::dispatchAssertQueue(dispatchQueue_);
    ns::ErrorRef error;
    std::string text = ns::json::serialize(packet, &error);
    if (error) {
        resetKeepAlive();
        FFWarn("I-RDB083015", "(wsc:%@) Cannot send a packet that has no JSON form: %@", logId(),
               error->localizedDescription());
        return;
    }
    sendText(std::move(text));
}

void FWebSocketConnection::sendText(std::string text) {
    ns::dispatchAssertQueue(dispatchQueue_);
    resetKeepAlive();
    auto s = socket();
    if (!s) return;
    // A text of no more bytes than a frame holds UTF-16 units goes out as
    // it is, without being split or copied again.
    if (text.size() <= kWebsocketMaxFrameSize) {
        s->send(ns::Value(std::move(text)));
        return;
    }
    std::vector<std::string> pieces = FUtilities::splitString(text, unsigned(kWebsocketMaxFrameSize));
    if (pieces.size() > 1) s->send(ns::Value(ns::format("%u", unsigned(pieces.size()))));
    for (auto& piece : pieces) s->send(ns::Value(std::move(piece)));
}

// ---------------------------------------------------------------- incoming frames

void FWebSocketConnection::webSocket(const std::shared_ptr<FSRWebSocket>&, const ns::Value& message) {
    if (message.isString()) {
        handleIncomingFrame(message.asString());
    } else if (message.isData()) {
        const auto& bytes = message.asData();
        handleIncomingFrame(std::string(bytes.begin(), bytes.end()));
    }
}

std::optional<int32_t> FWebSocketConnection::extractFrameCount(const std::string& message) const {
    // No UTF-8 sequence takes more than four bytes for a UTF-16 unit: a
    // longer text is never a count, and a large packet is not walked to
    // learn so.
    if (message.size() > 16 || FStringUtilities::utf16Length(message) > 4) return std::nullopt;
    const int64_t count = leadingIntegerValue(message);
    // Four characters cannot announce more than 9999 frames; the cap keeps
    // it so whatever the text looks like.
    if (count < 1 || count > kMaxFrameCount) return std::nullopt;
    return int32_t(count);
}

void FWebSocketConnection::handleNewFrameCount(int32_t numFrames) {
    totalFrames_ = numFrames;
    frame_ = std::string();
    frameOverflowed_ = false;
    FFLog("I-RDB083006", "(wsc:%@) handleNewFrameCount: %d", logId(), totalFrames_);
}

void FWebSocketConnection::handleIncomingFrame(const std::string& message) {
    ns::dispatchAssertQueue(dispatchQueue_);
    resetKeepAlive();
    std::optional<ns::Value> packet;
    bool taken = false;
    if (frame_) {
        packet = appendFrame(message, taken);
        if (totalFrames_ != 0) return;
    } else if (auto count = extractFrameCount(message)) {
        handleNewFrameCount(*count);
        return;
    } else {
        // A packet in a single frame is read where it lies, not gathered
        // into a copy first.
        FFLog("I-RDB083006", "(wsc:%@) handleNewFrameCount: %d", logId(), 1);
        totalFrames_ = 0;
        frameOverflowed_ = message.size() > kMaxPacketBytes;
        if (!frameOverflowed_) packet = readPacket(message, taken);
    }
    if (taken) return;
    if (frameOverflowed_) {
        FFWarn("I-RDB083016", "(wsc:%@) Dropping a packet larger than %u bytes", logId(), unsigned(kMaxPacketBytes));
        frameOverflowed_ = false;
        return;
    }
    FFLog("I-RDB083007", "(wsc:%@) handleIncomingFrame sending complete frame: %d", logId(), totalFrames_);
    auto delegate = delegate_.lock();
    if (!delegate) return;
    // The delegate may drop its last reference to this object.
    auto self = shared_from_this();
    delegate->onMessage(*this, packet);
}

std::optional<ns::Value> FWebSocketConnection::readPacket(const std::string& text, bool& taken) {
    if (auto delegate = delegate_.lock()) {
        // The delegate may drop its last reference to this object.
        auto self = shared_from_this();
        taken = delegate->onMessageText(*this, text);
        if (taken) return std::nullopt;
    }
    return parsePacket(text);
}

std::optional<ns::Value> FWebSocketConnection::appendFrame(const std::string& message, bool& taken) {
    if (!frameOverflowed_ && frame_->size() + message.size() > kMaxPacketBytes) {
        frameOverflowed_ = true;
        frame_->clear();
        frame_->shrink_to_fit();
    }
    if (!frameOverflowed_) frame_->append(message);
    totalFrames_ -= 1;
    if (totalFrames_ != 0) return std::nullopt;

    std::string text = std::move(*frame_);
    frame_.reset();
    if (frameOverflowed_) return std::nullopt;
    return readPacket(text, taken);
}

// ---------------------------------------------------------------- keep-alive

void FWebSocketConnection::webSocketDidOpen(const std::shared_ptr<FSRWebSocket>&) {
    FFLog("I-RDB083008", "(wsc:%@) webSocketDidOpen", logId());
    everConnected_ = true;
    std::weak_ptr<FWebSocketConnection> weakSelf = weak_from_this();
    ns::DispatchQueue::main()->async([weakSelf] {
        auto self = weakSelf.lock();
        if (!self) return;
        {
            std::lock_guard lock(self->mutex_);
            // Closed before the main queue got here: no timer to run.
            if (self->socketGone_ || self->keepAlive_) return;
            self->keepAlive_ = ns::Timer::scheduled(ns::RunLoop::main(), double(kWebsocketKeepaliveInterval), true,
                                                    [weakSelf](ns::Timer& timer) {
                                                        if (auto me = weakSelf.lock()) {
                                                            me->nop(timer);
                                                        } else {
                                                            timer.invalidate();
                                                        }
                                                    });
        }
        FFLog("I-RDB083009", "(wsc:%@) nop timer kicked off", self->logId());
    });
}

void FWebSocketConnection::nop(ns::Timer& timer) {
    if (auto s = socket()) {
        FFLog("I-RDB083004", "(wsc:%@) nop", logId());
        s->send(ns::Value("0"));
    } else {
        FFLog("I-RDB083005", "(wsc:%@) No more websocket; invalidating nop timer.", logId());
        timer.invalidate();
    }
}

void FWebSocketConnection::resetKeepAlive() {
    std::shared_ptr<ns::Timer> timer;
    {
        std::lock_guard lock(mutex_);
        timer = keepAlive_;
    }
    if (!timer) return;
    const double newTime = ns::Clock::nowSeconds() + double(kWebsocketKeepaliveInterval);
    const double oldTime = timer->fireDate();
    // Moved only when it matters, so steady traffic leaves the timer alone.
    if (newTime - oldTime > 5.0) {
        timer->setFireDate(newTime);
        FFLog("I-RDB083014", "(wsc:%@) resetting keepalive, to %@ ; old: %@", logId(),
              ns::Value(ns::Date{newTime}), ns::Value(ns::Date{oldTime}));
    }
}

// ---------------------------------------------------------------- the end

void FWebSocketConnection::closeIfNeverConnected() {
    if (everConnected_) return;
    FFLog("I-RDB083012", "(wsc:%@) Websocket timed out on connect", logId());
    // isClosed stays unset: the socket's close report ends the connection.
    if (auto s = socket()) s->close();
}

void FWebSocketConnection::webSocket(const std::shared_ptr<FSRWebSocket>&, const ns::ErrorRef& error) {
    FFLog("I-RDB083010", "(wsc:%@) didFailWithError didFailWithError: %@", logId(),
          error ? error->description() : std::string("(null)"));
    onClosed();
}

void FWebSocketConnection::webSocket(const std::shared_ptr<FSRWebSocket>&, int64_t code,
                                     const std::optional<std::string>& reason, bool) {
    FFLog("I-RDB083011", "(wsc:%@) didCloseWithCode: %ld %@", logId(), long(code),
          reason ? *reason : std::string("(null)"));
    onClosed();
}

void FWebSocketConnection::onClosed() {
    auto self = shared_from_this();
    if (!isClosed_) {
        FFLog("I-RDB083013", "Websocket is closing itself");
        shutdown();
    }
    std::shared_ptr<ns::Timer> timer;
    {
        std::lock_guard lock(mutex_);
        webSocket_.reset();
        socketGone_ = true;
        timer = keepAlive_;
    }
    if (timer && timer->isValid()) timer->invalidate();
}

void FWebSocketConnection::shutdown() {
    isClosed_ = true;
    if (auto delegate = delegate_.lock()) delegate->onDisconnect(*this, everConnected_);
}
