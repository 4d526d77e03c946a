#pragma once
// A client of the WebSocket protocol (RFC 6455, version 13) over a socket
// stream pair: the opening handshake as an HTTP/1.1 upgrade, the frame layer
// (masked frames out, unmasked frames in, fragments assembled into messages,
// close, ping and pong), the closing road, and one delegate.
//
// Threads: all state lives on the socket's serial work queue (its own, or the
// queue it was made to share); stream events of a socket opened without a run
// loop of its caller's choosing are delivered straight to that queue, those
// of one scheduled in run loops arrive there (FSR_networkRunLoop, say) and are
// passed on to it; delegate calls run on the delegate operation queue when
// one is set, else on the delegate dispatch queue (the main queue by default).
//
// A secure request that carries pinned certificates (FSR_SSLPinnedCertificates)
// writes and reads nothing until one of them is in the chain the TLS
// handshake verified; otherwise the socket fails with 23556 in the Wavecraft
// domain and never opens.
//
// The socket keeps itself alive from open() until its clean-up has run; keep
// your own reference as long as you want to send.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch.h"
#include "platform/error.h"
#include "platform/http.h"
#include "platform/http_message.h"
#include "platform/operation_queue.h"
#include "platform/runloop.h"
#include "platform/socket_stream.h"
#include "platform/url.h"
#include "platform/utf8.h"
#include "platform/value.h"

class FSRWebSocket;

// readyState values.
enum FSRReadyState : int32_t {
    SR_CONNECTING = 0,
    SR_OPEN = 1,
    SR_CLOSING = 2,
    SR_CLOSED = 3,
};

// Status codes of close frames (RFC 6455 section 7.4).
enum FSRStatusCode : int64_t {
    SRStatusCodeNormal = 1000,
    SRStatusCodeGoingAway = 1001,
    SRStatusCodeProtocolError = 1002,
    SRStatusCodeUnhandledType = 1003,
    SRStatusNoStatusReceived = 1005,
    // Reported, never sent: the connection closed without a valid close
    // frame from the peer (RFC 6455 7.1.5).
    SRStatusCodeAbnormalClosure = 1006,
    SRStatusCodeInvalidUTF8 = 1007,
    SRStatusCodePolicyViolated = 1008,
    SRStatusCodeMessageTooBig = 1009,
};

// Frame opcodes.
enum FSROpCode : uint8_t {
    SROpCodeTextFrame = 0x1,
    SROpCodeBinaryFrame = 0x2,
    SROpCodeConnectionClose = 0x8,
    SROpCodePing = 0x9,
    SROpCodePong = 0xA,
};

inline constexpr const char* FSRWebSocketErrorDomain = "FSRWebSocketErrorDomain";
inline constexpr const char* kFSRWavecraftErrorDomain = "org.brindle.Wavecraft";

// The calls a delegate may answer to (respondsToSelector:).
enum class FSRWebSocketDelegateCall {
    DidReceiveMessage,  // webSocket:didReceiveMessage:
    DidOpen,            // webSocketDidOpen:
    DidFailWithError,   // webSocket:didFailWithError:
    DidClose,           // webSocket:didCloseWithCode:reason:wasClean:
};

class FSRWebSocketDelegate {
public:
    virtual ~FSRWebSocketDelegate() = default;
    // Which calls this delegate answers to; calls it does not answer to are
    // never made. All of them by default.
    virtual bool respondsTo(FSRWebSocketDelegateCall call) const { return true; }

    // webSocket:didReceiveMessage: a string for a text message, bytes for a
    // binary one.
    virtual void webSocket(const std::shared_ptr<FSRWebSocket>& webSocket, const ns::Value& message) = 0;
    virtual void webSocketDidOpen(const std::shared_ptr<FSRWebSocket>& webSocket) {}
    // webSocket:didFailWithError:
    virtual void webSocket(const std::shared_ptr<FSRWebSocket>& webSocket, const ns::ErrorRef& error) {}
    // webSocket:didCloseWithCode:reason:wasClean:
    virtual void webSocket(const std::shared_ptr<FSRWebSocket>& webSocket, int64_t code,
                           const std::optional<std::string>& reason, bool wasClean) {}
};

class FSRWebSocket;

// One pending read of the frame reader.
class FSRIOConsumer {
public:
    // Decides how many of the unread bytes a read takes (0: not yet).
    using Scanner = std::function<size_t(const uint8_t* bytes, size_t length)>;
    // Gets the bytes taken, or nullptr when they went into the message.
    using Handler = std::function<void(FSRWebSocket& socket, const ns::Data* data)>;

    void setupWithScanner(Scanner scanner, Handler handler, uint64_t bytesNeeded, bool readToCurrentFrame,
                          bool unmaskBytes);

    const Scanner& consumer() const { return _scanner; }
    const Handler& handler() const { return _handler; }
    uint64_t bytesNeeded() const { return _bytesNeeded; }
    void setBytesNeeded(uint64_t n) { _bytesNeeded = n; }
    bool readToCurrentFrame() const { return _readToCurrentFrame; }
    bool unmaskBytes() const { return _unmaskBytes; }

private:
    Scanner _scanner;
    Handler _handler;
    uint64_t _bytesNeeded = 0;
    bool _readToCurrentFrame = false;
    bool _unmaskBytes = false;
};

class FSRIOConsumerPool {
public:
    FSRIOConsumerPool() : FSRIOConsumerPool(8) {}
    explicit FSRIOConsumerPool(uint64_t bufferCapacity) : _poolSize(bufferCapacity) {}

    std::shared_ptr<FSRIOConsumer> consumerWithScanner(FSRIOConsumer::Scanner scanner,
                                                       FSRIOConsumer::Handler handler, uint64_t bytesNeeded,
                                                       bool readToCurrentFrame, bool unmaskBytes);
    void returnConsumer(std::shared_ptr<FSRIOConsumer> consumer);

private:
    uint64_t _poolSize;
    std::vector<std::shared_ptr<FSRIOConsumer>> _bufferedConsumers;
};

class FSRWebSocket : public ns::Object, public ns::StreamDelegate {
public:
    // The largest message accepted from a server unless set otherwise.
    static constexpr uint64_t kDefaultMaximumMessageSize = 64ull * 1024 * 1024;

    // initWithURLRequest:protocols:queue:andUserAgent: (designated). `queue`
    // nullptr means the main queue; `protocols` nullopt means none.
    static std::shared_ptr<FSRWebSocket> make(const ns::URLRequest& request,
                                              std::optional<std::vector<std::string>> protocols,
                                              ns::DispatchQueuePtr queue, std::optional<std::string> userAgent);
    // initWithURLRequest:protocols:
    static std::shared_ptr<FSRWebSocket> make(const ns::URLRequest& request,
                                              std::optional<std::vector<std::string>> protocols);
    // initWithURLRequest:queue:andUserAgent:
    static std::shared_ptr<FSRWebSocket> make(const ns::URLRequest& request, ns::DispatchQueuePtr queue,
                                              std::optional<std::string> userAgent);
    // initWithURLRequest:
    static std::shared_ptr<FSRWebSocket> make(const ns::URLRequest& request);
    // initWithURL:protocols: and initWithURL:
    static std::shared_ptr<FSRWebSocket> make(const ns::URL& url, std::optional<std::vector<std::string>> protocols);
    static std::shared_ptr<FSRWebSocket> make(const ns::URL& url);
    // As make(request, queue, userAgent), with `queue` (serial) as the work
    // queue too: for an owner whose state lives on that queue, so a message
    // reaches it and its sends reach the stream without a thread hand-off.
    static std::shared_ptr<FSRWebSocket> makeSharingQueue(const ns::URLRequest& request, ns::DispatchQueuePtr queue,
                                                          std::optional<std::string> userAgent);

    ~FSRWebSocket() override;

    // Keeps the socket alive and connects.
    void open();
    void scheduleInRunLoop(const std::shared_ptr<ns::RunLoop>& loop, const std::string& mode);
    void unscheduleFromRunLoop(const std::shared_ptr<ns::RunLoop>& loop, const std::string& mode);
    // Starts the closing road with the normal-closure code 1000 and no reason.
    void close();
    void closeWithCode(int64_t code, std::optional<std::string> reason);
    // A string goes out as a text frame, bytes as a binary frame, null as an
    // empty text frame; anything else is ignored. Send after webSocketDidOpen.
    void send(const ns::Value& message);

    std::shared_ptr<FSRWebSocketDelegate> delegate() const;
    void setDelegate(std::weak_ptr<FSRWebSocketDelegate> delegate);
    const ns::URL& url() const { return _url; }
    FSRReadyState readyState() const { return FSRReadyState(_readyState.load()); }
    // The sub-protocol the server chose, or nullopt.
    std::optional<std::string> protocol() const;
    ns::OperationQueuePtr delegateOperationQueue() const;
    void setDelegateOperationQueue(ns::OperationQueuePtr queue);
    ns::DispatchQueuePtr delegateDispatchQueue() const;
    void setDelegateDispatchQueue(ns::DispatchQueuePtr queue);

    // Messages from the server larger than this close the connection with
    // 1009 "Message too big".
    uint64_t maximumMessageSize() const { return _maximumMessageSize.load(); }
    void setMaximumMessageSize(uint64_t bytes) { _maximumMessageSize.store(bytes); }

    std::string className() const override { return "FSRWebSocket"; }

    // NSStreamDelegate, on the work queue when the streams deliver there,
    // else on the run loop they are scheduled in (Debug builds raise elsewhere).
    void streamHandleEvent(ns::Stream& stream, ns::StreamEvent event) override;

    // ---- for tests and the fuzzer ----
    // A socket without streams whose frame reader runs as after an accepted
    // handshake: bytes fed to it are read as a server's frames, and what it
    // would send is kept in its output buffer.
    static std::shared_ptr<FSRWebSocket> makeFrameReaderForTesting(ns::DispatchQueuePtr delegateQueue);
    // On the work queue: appends the bytes to the read buffer and reads.
    void feedBytesForTesting(ns::Data bytes);
    // Waits until the work queue has run everything posted before the call.
    void drainWorkQueueForTesting();
    // The bytes queued for sending and not written (takes them).
    ns::Data takeOutputForTesting();

    // Frame layer entry points (work queue; Debug builds raise elsewhere).
    void _readFrameNew();
    void _readFrameContinue();

    struct Passkey {};
    FSRWebSocket(Passkey, const ns::URLRequest& request, std::optional<std::vector<std::string>> protocols,
                 ns::DispatchQueuePtr queue, std::optional<std::string> userAgent);

private:
    std::shared_ptr<FSRWebSocket> self() {
        return std::static_pointer_cast<FSRWebSocket>(shared_from_this());
    }
    void _initializeStreams();
    void openConnection();

    // Client (work queue).
    void safeHandleEvent(ns::StreamEvent event, bool isInput);
    void didConnect();
    void _readHTTPHeader();
    void _HTTPHeadersDidFinish();
    void _closeWithProtocolError(const std::string& message);
    // Fails the connection: stops reading, sends a close frame with `code`
    // and drops the connection without waiting for the peer's close.
    void _failConnectionWithCode(int64_t code, const std::string& reason);
    void _failWithError(ns::ErrorRef error);
    void _disconnect();
    void _scheduleCleanup();
    void _cleanupSelfReference();
    void _performDelegateBlock(ns::Block block);
    void _afterPendingFrames(ns::Block then);
    // Where the streams deliver: whether `event` may be handled, false
    // (once failing the socket) on a pinned connection whose verified chain
    // holds no pin.
    bool _pinAdmitsEvent(ns::Stream& stream, ns::StreamEvent event);
    void _checkPinning(ns::Stream& stream);
    // Debug builds: raises unless called where the streams deliver (see
    // streamHandleEvent).
    void _assertOnStreamRunLoop();

    // Frames (work queue).
    void _writeData(const uint8_t* bytes, size_t length);
    void _pumpWriting();
    void _sendFrameWithOpcode(uint8_t opcode, const ns::Value& data);
    void _addConsumerWithDataLength(uint64_t dataLength, FSRIOConsumer::Handler callback, bool readToCurrentFrame,
                                    bool unmaskBytes);
    void _addConsumerWithScanner(FSRIOConsumer::Scanner scanner, FSRIOConsumer::Handler callback,
                                 uint64_t dataLength = 0);
    void _readUntilBytes(std::string bytes, FSRIOConsumer::Handler callback);
    void _readUntilHeaderCompleteWithCallback(FSRIOConsumer::Handler callback);
    void _pumpScanner();
    bool _innerPumpScanner();
    // The reader is not stopped and the socket not closing or closed.
    bool _readerIsActive() const;
    // When the reader waits for bytes the read buffer does not hold: takes
    // them from the input stream (a payload straight into the message).
    // True when it took some.
    bool _readFromStream();
    long _readPayloadFromStream();
    long _readChunkIntoReadBuffer();
    // A large rest of a payload: the stream receives it straight into the
    // message (lendReadTarget), and what has landed is taken from there.
    void _lendPayload(uint64_t length);
    long _readLentPayload();
    // Takes the message's room back from the stream, if it has it.
    void _withdrawPayload();
    // Adds payload bytes to the message at _currentFrameDataLength.
    void _putPayload(const uint8_t* bytes, size_t length);
    // The next key of the frames this side masks.
    void _nextMaskKey(uint8_t key[4]);
    void _drainInputStream();
    // The stream's low-water mark, set only when it changes.
    void _setStreamLowWater(size_t bytes);
    void _consumeReadBuffer(size_t length);
    // `length` bytes of the current frame's payload have been added to the
    // message at `offset`: unmasked, checked as text, and the frame finished
    // once complete. True when a handler ran.
    bool _tookPayload(size_t offset, size_t length);
    struct FrameHeader {
        bool fin = false;
        uint8_t opcode = 0;
        bool masked = false;
        uint64_t payloadLength = 0;
    };
    void _parseFrameHeader(const ns::Data& data);
    void _handleFrameHeader(const FrameHeader& header);
    void _handleFrameWithData(const ns::Data& data, uint8_t opcode);
    // _handleFrameWithData for the assembled message (_currentFrameData).
    void _handleCurrentMessage(uint8_t opcode);
    void _handleOpcode(uint8_t opcode, const uint8_t* data, size_t length, bool isCurrentMessage);
    void handleCloseWithData(const ns::Data& data);
    void handlePing(const ns::Data& data);
    void handlePong();
    void _handleMessage(ns::Value message);
    // Keeps a delivered message's text buffer for the next large message of
    // any socket in the process (any thread), and gives such a buffer to the
    // message being started (work queue).
    void _recycleMessageBuffer(std::string buffer);
    void _startMessageBuffer(uint64_t payloadLength);
    void _stopReading();

    int64_t _webSocketVersion = 13;
    ns::OperationQueuePtr _delegateOperationQueue;
    ns::DispatchQueuePtr _delegateDispatchQueue;
    ns::DispatchQueuePtr _workQueue;
    std::deque<std::shared_ptr<FSRIOConsumer>> _consumers;
    std::shared_ptr<ns::InputStream> _inputStream;
    std::shared_ptr<ns::OutputStream> _outputStream;
    ns::Data _readBuffer;
    size_t _readBufferOffset = 0;
    ns::Data _outputBuffer;
    size_t _outputBufferOffset = 0;
    uint8_t _currentFrameOpcode = 0;
    uint64_t _currentFrameCount = 0;
    // Checks the current text message as its bytes arrive.
    ns::utf8::StreamValidator _textValidator;
    // Text is moved out of it into the delivered string, so it is kept as
    // characters. Its first _currentFrameDataLength bytes are the message
    // so far; past them it may be longer (a reused buffer keeps its old
    // length, so growing into it writes no zeros first, and the stream may
    // hold the room of the payload being received).
    std::string _currentFrameData;
    size_t _currentFrameDataLength = 0;
    // The stream holds the room after _currentFrameDataLength for the rest
    // of the current payload.
    bool _payloadLent = false;
    // Mask keys are drawn from the system's generator in bulk and used up
    // four bytes a frame, on the work queue.
    ns::Data _maskKeys;
    size_t _maskKeysUsed = 0;
    std::optional<std::string> _closeReason;
    std::string _secKey;
    std::atomic<bool> _pinnedCertFound{false};
    // The pin check failed the socket: its events are dropped.
    std::atomic<bool> _pinRefused{false};
    uint8_t _currentReadMaskKey[4] = {0, 0, 0, 0};
    uint64_t _currentReadMaskOffset = 0;
    bool _closeWhenFinishedWriting = false;
    bool _failed = false;
    bool _secure = false;
    // Secure with pinned certificates: nothing crosses the connection
    // before a pin is found in the verified chain.
    bool _pinned = false;
    ns::URLRequest _urlRequest;
    std::optional<std::string> _userAgent;
    std::optional<ns::HTTPMessage> _receivedHTTPHeaders;
    bool _sentClose = false;
    bool _cleanupScheduled = false;
    // The code and reason of the peer's close frame, set only once that frame
    // has been accepted; a code the client refused is never kept.
    int32_t _closeCode = 0;
    bool _receivedValidClose = false;
    // This side failed the connection (sent 1002, 1007 or 1009 and stopped
    // reading): unless the peer's close frame had already been accepted,
    // the close is reported as 1006, not clean.
    bool _failedConnection = false;
    bool _isPumping = false;
    std::vector<std::pair<std::weak_ptr<ns::RunLoop>, std::string>> _scheduledRunloops;
    // Set by an open without scheduled run loops: the streams deliver to the work queue.
    std::atomic<bool> _streamsOnWorkQueue{false};
    std::shared_ptr<FSRWebSocket> _selfRetain;
    std::optional<std::vector<std::string>> _requestedProtocols;
    FSRIOConsumerPool _consumerPool;
    // Set once a protocol error, invalid text or an oversized message has
    // been found: nothing more is read or delivered.
    bool _readerStopped = false;
    // Bytes the reader has taken (from the read buffer or straight from the
    // stream), for the end of stream.
    uint64_t _readBufferConsumed = 0;
    size_t _streamLowWater = 1;
    bool _endCheckedOnce = false;
    std::atomic<uint64_t> _maximumMessageSize{kDefaultMaximumMessageSize};

    std::atomic<int32_t> _readyState{SR_CONNECTING};
    std::weak_ptr<FSRWebSocketDelegate> _delegate;
    ns::URL _url;
    std::optional<std::string> _protocol;

    // Guards the delegate, the delegate queues and the protocol for readers on
    // other threads.
    mutable std::mutex _propertiesMutex;
    // The socket's own lock: closing the streams and scheduling clean-up.
    std::recursive_mutex _lock;
};
