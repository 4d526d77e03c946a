// The client side of FSRWebSocket: construction, streams, the opening
// handshake, the closing road, failures and clean-up. The frame layer is in
// FSRWebSocketFrames.cpp.

#include <sys/socket.h>

#include "database/connection/FSRUtilities.h"
#include "database/connection/FSRWebSocket.h"
#include "platform/crypto.h"
#include "platform/format.h"

namespace {

constexpr const char* kGUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

ns::URL parseRequestURL(const ns::URLRequest& request) {
    auto url = ns::URL::parse(request.URL());
    if (!url) {
        ns::Exception::raise(ns::kInvalidArgumentException,
                             ns::format("A web socket needs an absolute URL with a host, not \"%@\"", request.URL()));
    }
    return *url;
}

ns::ErrorRef wavecraftError(long code, const std::string& message) {
    return ns::Error::make(kFSRWavecraftErrorDomain, code, message);
}

}  // namespace

// ---------------------------------------------------------------- construction

FSRWebSocket::FSRWebSocket(Passkey, const ns::URLRequest& request, std::optional<std::vector<std::string>> protocols,
                           ns::DispatchQueuePtr queue, std::optional<std::string> userAgent)
    : _urlRequest(request), _url(parseRequestURL(request)) {
    _secure = _url.scheme() == "wss" || _url.scheme() == "https";
    _pinned = _secure && FSR_SSLPinnedCertificates(request).has_value();
    _requestedProtocols = std::move(protocols);
    _userAgent = std::move(userAgent);
    _delegateDispatchQueue = queue ? std::move(queue) : ns::DispatchQueue::main();
    _readyState.store(SR_CONNECTING);
    _webSocketVersion = 13;
    _workQueue = ns::DispatchQueue::serial("");
}

std::shared_ptr<FSRWebSocket> FSRWebSocket::make(const ns::URLRequest& request,
                                                 std::optional<std::vector<std::string>> protocols,
                                                 ns::DispatchQueuePtr queue, std::optional<std::string> userAgent) {
    auto socket =
        std::make_shared<FSRWebSocket>(Passkey{}, request, std::move(protocols), std::move(queue), std::move(userAgent));
    socket->_initializeStreams();
    return socket;
}

std::shared_ptr<FSRWebSocket> FSRWebSocket::make(const ns::URLRequest& request,
                                                 std::optional<std::vector<std::string>> protocols) {
    return make(request, std::move(protocols), nullptr, std::nullopt);
}

std::shared_ptr<FSRWebSocket> FSRWebSocket::make(const ns::URLRequest& request, ns::DispatchQueuePtr queue,
                                                 std::optional<std::string> userAgent) {
    return make(request, std::nullopt, std::move(queue), std::move(userAgent));
}

std::shared_ptr<FSRWebSocket> FSRWebSocket::make(const ns::URLRequest& request) {
    return make(request, std::nullopt, nullptr, std::nullopt);
}

std::shared_ptr<FSRWebSocket> FSRWebSocket::make(const ns::URL& url,
                                                 std::optional<std::vector<std::string>> protocols) {
    return make(ns::URLRequest(url.absoluteString()), std::move(protocols));
}

std::shared_ptr<FSRWebSocket> FSRWebSocket::make(const ns::URL& url) { return make(url, std::nullopt); }

std::shared_ptr<FSRWebSocket> FSRWebSocket::makeSharingQueue(const ns::URLRequest& request, ns::DispatchQueuePtr queue,
                                                             std::optional<std::string> userAgent) {
    if (!queue || queue->kind() != ns::DispatchQueue::Kind::Serial) {
        ns::Exception::raise(ns::kInvalidArgumentException, "A web socket can share only a serial queue");
    }
    auto socket = std::make_shared<FSRWebSocket>(Passkey{}, request, std::nullopt, queue, std::move(userAgent));
    socket->_workQueue = std::move(queue);
    socket->_initializeStreams();
    return socket;
}

void FSRWebSocket::_initializeStreams() {
    const uint16_t port = _url.port().value_or(0) != 0 ? *_url.port() : (_secure ? 443 : 80);
    auto pair = ns::createStreamPairWithSocketToHost(_url.host(), port);
    _inputStream = pair.input;
    _outputStream = pair.output;
    _inputStream->setNetworkServiceType(ns::NetworkServiceType::Background);
    _outputStream->setNetworkServiceType(ns::NetworkServiceType::Background);
    if (_secure) {
        _outputStream->setSocketSecurityLevelNegotiatedSSL();
        // Pinned certificates narrow what is trusted; they never stand in
        // for validation, so the chain is always checked against the trust
        // anchors and the pins are looked for in the verified chain.
        _outputStream->setSSLSettings(ns::SSLSettings{});
    }
    auto me = std::static_pointer_cast<ns::StreamDelegate>(self());
    _inputStream->setDelegate(me);
    _outputStream->setDelegate(me);
    _outputStream->open();
    _inputStream->open();
}

FSRWebSocket::~FSRWebSocket() {
    if (_inputStream) {
        _inputStream->setDelegate({});
        _inputStream->close();
    }
    if (_outputStream) {
        _outputStream->setDelegate({});
        _outputStream->close();
    }
}

// ---------------------------------------------------------------- accessors

std::shared_ptr<FSRWebSocketDelegate> FSRWebSocket::delegate() const {
    std::lock_guard lock(_propertiesMutex);
    return _delegate.lock();
}

void FSRWebSocket::setDelegate(std::weak_ptr<FSRWebSocketDelegate> delegate) {
    std::lock_guard lock(_propertiesMutex);
    _delegate = std::move(delegate);
}

std::optional<std::string> FSRWebSocket::protocol() const {
    std::lock_guard lock(_propertiesMutex);
    return _protocol;
}

ns::OperationQueuePtr FSRWebSocket::delegateOperationQueue() const {
    std::lock_guard lock(_propertiesMutex);
    return _delegateOperationQueue;
}

void FSRWebSocket::setDelegateOperationQueue(ns::OperationQueuePtr queue) {
    std::lock_guard lock(_propertiesMutex);
    _delegateOperationQueue = std::move(queue);
}

ns::DispatchQueuePtr FSRWebSocket::delegateDispatchQueue() const {
    std::lock_guard lock(_propertiesMutex);
    return _delegateDispatchQueue;
}

void FSRWebSocket::setDelegateDispatchQueue(ns::DispatchQueuePtr queue) {
    std::lock_guard lock(_propertiesMutex);
    _delegateDispatchQueue = std::move(queue);
}

// ---------------------------------------------------------------- opening

void FSRWebSocket::open() {
    _selfRetain = self();
    openConnection();
}

void FSRWebSocket::openConnection() {
    bool unscheduled;
    {
        std::lock_guard lock(_lock);
        unscheduled = _scheduledRunloops.empty();
    }
    // Nobody chose a run loop: rather than through the network thread, the
    // streams' events go straight to the work queue, one thread hand-off
    // less for every arrival.
    if (unscheduled) {
        _streamsOnWorkQueue.store(true);
        _outputStream->setDispatchQueue(_workQueue);
        _inputStream->setDispatchQueue(_workQueue);
    }
    _outputStream->open();
    _inputStream->open();
}

void FSRWebSocket::scheduleInRunLoop(const std::shared_ptr<ns::RunLoop>& loop, const std::string& mode) {
    if (_outputStream) _outputStream->scheduleInRunLoop(loop, mode);
    if (_inputStream) _inputStream->scheduleInRunLoop(loop, mode);
    std::lock_guard lock(_lock);
    for (const auto& [weak, m] : _scheduledRunloops) {
        if (m == mode && weak.lock() == loop) return;
    }
    _scheduledRunloops.emplace_back(loop, mode);
}

void FSRWebSocket::unscheduleFromRunLoop(const std::shared_ptr<ns::RunLoop>& loop, const std::string& mode) {
    if (_outputStream) _outputStream->removeFromRunLoop(loop, mode);
    if (_inputStream) _inputStream->removeFromRunLoop(loop, mode);
    std::lock_guard lock(_lock);
    std::erase_if(_scheduledRunloops, [&](const auto& entry) {
        auto l = entry.first.lock();
        return !l || (l == loop && entry.second == mode);
    });
}

// ---------------------------------------------------------------- stream events

void FSRWebSocket::streamHandleEvent(ns::Stream& stream, ns::StreamEvent event) {
#ifndef NDEBUG
    _assertOnStreamRunLoop();
#endif
    if (!_pinAdmitsEvent(stream, event)) return;
    if (event == ns::kStreamEventOpenCompleted && &stream == _outputStream.get()) {
        const int fd = stream.nativeSocketHandle();
        if (fd >= 0) {
            int keepAlive = 1;
            ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &keepAlive, sizeof keepAlive);
        }
    }
    const bool isInput = &stream == _inputStream.get();
    if (_streamsOnWorkQueue.load()) {
        safeHandleEvent(event, isInput);
        return;
    }
    std::weak_ptr<FSRWebSocket> weak = self();
    _workQueue->async([weak, event, isInput] {
        if (auto strong = weak.lock()) strong->safeHandleEvent(event, isInput);
    });
}

void FSRWebSocket::_assertOnStreamRunLoop() {
    if (_streamsOnWorkQueue.load()) {
        if (_workQueue->isCurrent()) return;
        ns::Exception::raise(ns::kInternalInconsistencyException,
                             "Stream events of a web socket must arrive on its work queue, where its streams deliver "
                             "them");
    }
    std::vector<std::shared_ptr<ns::RunLoop>> loops;
    {
        std::lock_guard lock(_lock);
        for (const auto& [weak, mode] : _scheduledRunloops) {
            if (auto loop = weak.lock()) loops.push_back(std::move(loop));
        }
    }
    if (loops.empty()) loops.push_back(FSR_networkRunLoop());
    for (const auto& loop : loops) {
        if (loop->isCurrent()) return;
    }
    ns::Exception::raise(ns::kInternalInconsistencyException,
                         "Stream events of a web socket must arrive on the run loop its streams are scheduled in "
                         "(the network thread)");
}

// Every event of a pinned connection waits here, before anything reads or
// writes: open-completed is where the upgrade request would go out (its path,
// host and headers) and where a waiting answer would be read and open the
// socket. The streams raise it only once the TLS handshake is done, so the
// verified chain is there to look at. A chain without a pin fails the socket
// once, and no later event of it is handled. Without a verified chain only
// an error passes (the handshake itself failed or never ran; the stream's
// error says why); anything else is refused as a mismatch.
bool FSRWebSocket::_pinAdmitsEvent(ns::Stream& stream, ns::StreamEvent event) {
    if (!_pinned || _pinnedCertFound.load()) return true;
    if (_pinRefused.load()) return false;
    if (event == ns::kStreamEventErrorOccurred && !stream.verifiedCertificateChain()) return true;
    _checkPinning(stream);
    if (_pinnedCertFound.load()) return true;
    _pinRefused.store(true);
    _failWithError(wavecraftError(23556, "Invalid server cert"));
    return false;
}

void FSRWebSocket::_checkPinning(ns::Stream& stream) {
    const auto pinned = FSR_SSLPinnedCertificates(_urlRequest);
    // Only certificates of the verified chain count: a peer can append any
    // public certificate to the list it sends.
    const auto chain = stream.verifiedCertificateChain();
    if (!pinned || pinned->empty() || !chain || chain->empty()) return;
    for (const ns::Data& certificate : *chain) {
        if (_pinnedCertFound.load()) break;
        for (const ns::Value& candidate : *pinned) {
            if (candidate.isData() && candidate.asData() == certificate) {
                _pinnedCertFound.store(true);
                break;
            }
        }
    }
}

void FSRWebSocket::safeHandleEvent(ns::StreamEvent event, bool isInput) {
    ns::Stream* stream = isInput ? static_cast<ns::Stream*>(_inputStream.get()) : _outputStream.get();
    switch (event) {
    case ns::kStreamEventOpenCompleted: {
        const int32_t state = _readyState.load();
        if (state >= SR_CLOSING) return;
        if (state == SR_CONNECTING && isInput) didConnect();
        _pumpWriting();
        _pumpScanner();
        break;
    }
    case ns::kStreamEventHasBytesAvailable:
        // The reader takes from the stream what it waits for (_readFromStream).
        _pumpScanner();
        break;
    case ns::kStreamEventHasSpaceAvailable:
        _pumpWriting();
        break;
    case ns::kStreamEventErrorOccurred:
        _failWithError(stream->streamError());
        _readBuffer.clear();
        _readBufferOffset = 0;
        break;
    case ns::kStreamEventEndEncountered: {
        _pumpScanner();
        if (ns::ErrorRef error = stream->streamError()) {
            _failWithError(error);
        } else {
            auto me = self();
            _afterPendingFrames([me] {
                if (me->_readyState.load() != SR_CLOSED) {
                    me->_readyState.store(SR_CLOSED);
                    me->_scheduleCleanup();
                }
                if (!me->_sentClose && !me->_failed) {
                    me->_sentClose = true;
                    me->_performDelegateBlock([me] {
                        auto delegate = me->delegate();
                        if (delegate && delegate->respondsTo(FSRWebSocketDelegateCall::DidClose)) {
                            delegate->webSocket(me, 0, std::string("Stream end encountered"), false);
                        }
                    });
                }
            });
        }
        break;
    }
    default:
        break;
    }
}

// Frames that arrived before the end of the stream may still be in the read
// buffer while the reader hops through the work queue after a control frame; the
// end is reported once the reader has taken all it can, so a server's last
// messages are not lost behind it.
void FSRWebSocket::_afterPendingFrames(ns::Block then) {
    auto me = self();
    const uint64_t consumed = _readBufferConsumed;
    _workQueue->async([me, consumed, then = std::move(then)]() mutable {
        const bool unread = me->_readBuffer.size() > me->_readBufferOffset;
        const bool reading = !me->_readerStopped && me->_readyState.load() == SR_OPEN;
        if (unread && reading && me->_readBufferConsumed != consumed) {
            me->_endCheckedOnce = false;
            me->_afterPendingFrames(std::move(then));
        } else if (unread && reading && consumed == me->_readBufferConsumed && !me->_endCheckedOnce) {
            // One more turn lets a posted read (the one after a control
            // frame) take the next frame.
            me->_endCheckedOnce = true;
            me->_afterPendingFrames(std::move(then));
        } else {
            then();
        }
    });
}

// ---------------------------------------------------------------- handshake

void FSRWebSocket::didConnect() {
    ns::HTTPMessage request = ns::HTTPMessage::makeRequest("GET", _url);
    if (_url.port()) {
        request.setHeaderFieldValue("Host", ns::format("%@:%@", _url.host(), std::to_string(*_url.port())));
    } else {
        request.setHeaderFieldValue("Host", _url.host());
    }
    const ns::Data keyBytes = ns::crypto::randomBytes(16);
    _secKey = FSRUtilities::base64EncodedStringFromData(keyBytes).value_or("");
    request.setHeaderFieldValue("Upgrade", std::string("websocket"));
    request.setHeaderFieldValue("Connection", std::string("Upgrade"));
    if (_userAgent) request.setHeaderFieldValue("User-Agent", *_userAgent);
    request.setHeaderFieldValue("Sec-WebSocket-Key", _secKey);
    request.setHeaderFieldValue("Sec-WebSocket-Version", std::to_string(_webSocketVersion));
    request.setHeaderFieldValue("Origin", SR_origin(_url));
    if (_requestedProtocols) {
        std::string joined;
        for (const auto& p : *_requestedProtocols) joined += (joined.empty() ? "" : ", ") + p;
        request.setHeaderFieldValue("Sec-WebSocket-Protocol", joined);
    }
    for (const auto& [name, value] : _urlRequest.allHTTPHeaderFields()) request.setHeaderFieldValue(name, value);

    const std::string serialized = request.serialized();
    _writeData(reinterpret_cast<const uint8_t*>(serialized.data()), serialized.size());
    _readHTTPHeader();
}

void FSRWebSocket::_readHTTPHeader() {
    if (!_receivedHTTPHeaders) _receivedHTTPHeaders = ns::HTTPMessage::makeEmpty(false);
    _readUntilHeaderCompleteWithCallback([](FSRWebSocket& socket, const ns::Data* data) {
        if (!socket._receivedHTTPHeaders) return;
        if (data) socket._receivedHTTPHeaders->appendBytes(*data);
        if (socket._receivedHTTPHeaders->isHeaderComplete()) {
            socket._HTTPHeadersDidFinish();
        } else if (socket._receivedHTTPHeaders->isBroken()) {
            // Waiting for more would wait for ever: the head can never complete.
            socket._failWithError(ns::Error::make(FSRWebSocketErrorDomain, 2133,
                                                  "Received an HTTP response that is not well formed"));
        } else {
            socket._readHTTPHeader();
        }
    });
}

void FSRWebSocket::_HTTPHeadersDidFinish() {
    const long responseCode = _receivedHTTPHeaders->responseStatusCode();
    // The upgrade is accepted only by 101 Switching Protocols.
    if (responseCode != 101) {
        _failWithError(
            wavecraftError(2132, ns::format("received bad response code from server %u", unsigned(responseCode))));
        return;
    }
    const auto accept = _receivedHTTPHeaders->headerFieldValue("Sec-WebSocket-Accept");
    const auto expected = stringBySHA1ThenBase64Encoding(_secKey + kGUID);
    if (!accept || !expected || *accept != *expected) {
        _failWithError(ns::Error::make(FSRWebSocketErrorDomain, 2133, "Invalid Sec-WebSocket-Accept response"));
        return;
    }
    if (auto negotiated = _receivedHTTPHeaders->headerFieldValue("Sec-WebSocket-Protocol")) {
        bool requested = false;
        if (_requestedProtocols) {
            for (const auto& p : *_requestedProtocols) requested = requested || p == *negotiated;
        }
        if (!requested) {
            _failWithError(ns::Error::make(FSRWebSocketErrorDomain, 2133,
                                           "Server specified Sec-WebSocket-Protocol that wasn't requested"));
            return;
        }
        std::lock_guard lock(_propertiesMutex);
        _protocol = *negotiated;
    }
    _readyState.store(SR_OPEN);
    _readFrameNew();
    auto me = self();
    _performDelegateBlock([me] {
        auto delegate = me->delegate();
        if (delegate && delegate->respondsTo(FSRWebSocketDelegateCall::DidOpen)) delegate->webSocketDidOpen(me);
    });
}

// ---------------------------------------------------------------- closing

void FSRWebSocket::close() {
    // A close without a code says "normal closure": a peer refuses the
    // status bytes FF FF that the code -1 would put on the wire.
    closeWithCode(SRStatusCodeNormal, std::nullopt);
}

void FSRWebSocket::closeWithCode(int64_t code, std::optional<std::string> reason) {
    auto me = self();
    _workQueue->async([me, code, reason = std::move(reason)] {
        const int32_t state = me->_readyState.load();
        if (state == SR_CLOSING || state == SR_CLOSED) return;
        const bool wasConnecting = state == SR_CONNECTING;
        me->_readyState.store(SR_CLOSING);
        if (wasConnecting) {
            me->_disconnect();
            return;
        }
        const std::string reasonBytes = reason.value_or("");
        ns::Data payload(2 + reasonBytes.size());
        payload[0] = uint8_t((uint64_t(code) >> 8) & 0xFF);
        payload[1] = uint8_t(uint64_t(code) & 0xFF);
        std::copy(reasonBytes.begin(), reasonBytes.end(), payload.begin() + 2);
        me->_sendFrameWithOpcode(SROpCodeConnectionClose, ns::Value(std::move(payload)));
    });
}

void FSRWebSocket::_closeWithProtocolError(const std::string& message) {
    _stopReading();
    _failedConnection = true;
    auto me = self();
    _performDelegateBlock([me, message] {
        me->closeWithCode(SRStatusCodeProtocolError, message);
        me->_workQueue->async([me] { me->_disconnect(); });
    });
}

void FSRWebSocket::_stopReading() { _readerStopped = true; }

void FSRWebSocket::_failConnectionWithCode(int64_t code, const std::string& reason) {
    _stopReading();
    _failedConnection = true;
    closeWithCode(code, reason);
    auto me = self();
    _workQueue->async([me] { me->_disconnect(); });
}

void FSRWebSocket::_failWithError(ns::ErrorRef error) {
    auto me = self();
    _workQueue->async([me, error] {
        if (me->_readyState.load() == SR_CLOSED) return;
        me->_failed = true;
        me->_performDelegateBlock([me, error] {
            auto delegate = me->delegate();
            if (delegate && delegate->respondsTo(FSRWebSocketDelegateCall::DidFailWithError)) {
                delegate->webSocket(me, error);
            }
        });
        me->_readyState.store(SR_CLOSED);
        me->_disconnect();
        me->_scheduleCleanup();
    });
}

void FSRWebSocket::_disconnect() {
    _closeWhenFinishedWriting = true;
    _pumpWriting();
}

void FSRWebSocket::_scheduleCleanup() {
    std::lock_guard lock(_lock);
    if (_cleanupScheduled) return;
    _cleanupScheduled = true;
    if (!_inputStream && !_outputStream) {
        auto me = self();
        _workQueue->async([me] { me->_selfRetain.reset(); });
        return;
    }
    auto me = self();
    auto loop = FSR_networkRunLoop();
    ns::Timer::scheduled(*loop, 0, false, [me](ns::Timer&) { me->_cleanupSelfReference(); });
}

void FSRWebSocket::_cleanupSelfReference() {
    {
        std::lock_guard lock(_lock);
        _inputStream->setDelegate({});
        _outputStream->setDelegate({});
        _inputStream->close();
        _outputStream->close();
    }
    auto me = self();
    _workQueue->async([me] { me->_selfRetain.reset(); });
}

void FSRWebSocket::_performDelegateBlock(ns::Block block) {
    ns::OperationQueuePtr operationQueue;
    ns::DispatchQueuePtr dispatchQueue;
    {
        std::lock_guard lock(_propertiesMutex);
        operationQueue = _delegateOperationQueue;
        dispatchQueue = _delegateDispatchQueue;
    }
    if (operationQueue) {
        operationQueue->addOperation(std::move(block));
    } else {
        dispatchQueue->async(std::move(block));
    }
}

// ---------------------------------------------------------------- testing

std::shared_ptr<FSRWebSocket> FSRWebSocket::makeFrameReaderForTesting(ns::DispatchQueuePtr delegateQueue) {
    auto socket = std::make_shared<FSRWebSocket>(Passkey{}, ns::URLRequest("ws://frame-reader.localhost/"),
                                                 std::nullopt, std::move(delegateQueue), std::nullopt);
    socket->_readyState.store(SR_OPEN);
    socket->_workQueue->async([socket] { socket->_readFrameNew(); });
    return socket;
}

void FSRWebSocket::feedBytesForTesting(ns::Data bytes) {
    auto me = self();
    _workQueue->async([me, bytes = std::move(bytes)] {
        me->_readBuffer.insert(me->_readBuffer.end(), bytes.begin(), bytes.end());
        me->_pumpScanner();
    });
}

void FSRWebSocket::drainWorkQueueForTesting() {
    _workQueue->sync([] {});
}

ns::Data FSRWebSocket::takeOutputForTesting() {
    ns::Data out;
    _workQueue->sync([&] {
        out.assign(_outputBuffer.begin() + long(_outputBufferOffset), _outputBuffer.end());
        _outputBuffer.clear();
        _outputBufferOffset = 0;
    });
    return out;
}
