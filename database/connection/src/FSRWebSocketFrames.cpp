// The frame layer of FSRWebSocket: the output buffer and its write pump, the
// frame writer, the reader built from a queue of consumers over the read
// buffer (payloads go from the input stream straight into the message), frame
// headers, message assembly, control frames and the UTF-8 check of text
// messages. Everything here runs on the socket's work queue.

#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>

#include "database/connection/FSRWebSocket.h"
#include "platform/crypto.h"
#include "platform/format.h"
#include "platform/utf8.h"

namespace {

constexpr size_t kCompactionThreshold = 4096;
// Handshake, frame headers and control frames are read this much at a time.
constexpr size_t kReadChunk = 2048;
// A payload read straight into the message, at most this much at a time: the
// text check follows each read while the bytes are still in the cache.
constexpr size_t kPayloadReadChunk = 256 * 1024;
// While the rest of a payload is awaited, the stream announces bytes once
// this much of it (or all of it, if less) has come: each turn of the work
// queue then takes large reads, not each piece the network delivers.
constexpr size_t kPayloadLowWater = 512 * 1024;
// A rest of a payload at least this long is received by the stream straight
// into the message; a shorter one is read from the stream's buffer.
constexpr size_t kLentPayloadMin = 64 * 1024;
// Mask keys drawn from the system's generator at a time: a call per frame
// cost as much as the rest of a small frame's sending.
constexpr size_t kMaskKeyBytes = 4096;

// Delivered text buffers of these capacities are reused for the next large
// message: a fresh one of a megabyte or so costs a page fault per page
// whenever the allocator has handed the last one back to the system. They
// are kept for the whole process, so a new connection's first messages
// (each reconnection's) find them too.
constexpr size_t kRecycledBufferMin = 64 * 1024;
constexpr size_t kRecycledBufferMax = 2 * 1024 * 1024;
// Two, as the delegate may finish with two messages while the reader starts
// one.
constexpr size_t kRecycledBuffers = 2;

struct SpareMessageBuffers {
    std::mutex mutex;
    std::vector<std::string> buffers;
};

SpareMessageBuffers& spareMessageBuffers() {
    // Never destroyed: a delegate queue may hand a buffer back during exit.
    static SpareMessageBuffers* spares = new SpareMessageBuffers;
    return *spares;
}

bool isControlOpcode(uint8_t opcode) {
    return opcode == SROpCodeConnectionClose || opcode == SROpCodePing || opcode == SROpCodePong;
}

bool closeCodeIsValid(int code) {
    if (code < 1000) return false;
    if (code <= 1011) return code != 1004 && code != 1005 && code != 1006;
    return code >= 3000 && code <= 4999;
}

// XORs `length` bytes with the 4-byte key, starting at key position
// `offset`, sixteen bytes to a word.
void applyMask(uint8_t* bytes, size_t length, const uint8_t key[4], uint64_t offset) {
    using Wide = uint8_t __attribute__((vector_size(16)));
    uint8_t rotated[16];
    for (size_t i = 0; i < 16; ++i) rotated[i] = key[(offset + i) % 4];
    Wide mask;
    std::memcpy(&mask, rotated, 16);
    size_t i = 0;
    for (; i + 64 <= length; i += 64) {
        Wide words[4];
        std::memcpy(words, bytes + i, 64);
        for (Wide& word : words) word ^= mask;
        std::memcpy(bytes + i, words, 64);
    }
    for (; i + 16 <= length; i += 16) {
        Wide word;
        std::memcpy(&word, bytes + i, 16);
        word ^= mask;
        std::memcpy(bytes + i, &word, 16);
    }
    for (; i < length; ++i) bytes[i] ^= rotated[i % 16];
}

// Makes room for `needed` bytes in all. Growing to exactly what one more
// frame needs would copy the whole buffer again for every frame queued
// behind a slow peer (or every piece of a message sent in many frames):
// room grows at least twofold, and exactly only where twice would not fit.
// Throws as reserve does when even the exact room cannot be had.
template <typename Buffer>
void reserveGrowing(Buffer& buffer, size_t needed) {
    if (needed <= buffer.capacity()) return;
    const size_t doubled = buffer.capacity() * 2;
    if (doubled > needed && doubled <= buffer.max_size()) {
        try {
            buffer.reserve(doubled);
            return;
        } catch (const std::bad_alloc&) {
        }
    }
    buffer.reserve(needed);
}

}  // namespace

// ---------------------------------------------------------------- consumers

void FSRIOConsumer::setupWithScanner(Scanner scanner, Handler handler, uint64_t bytesNeeded, bool readToCurrentFrame,
                                     bool unmaskBytes) {
    _scanner = std::move(scanner);
    _handler = std::move(handler);
    _bytesNeeded = bytesNeeded;
    _readToCurrentFrame = readToCurrentFrame;
    _unmaskBytes = unmaskBytes;
}

std::shared_ptr<FSRIOConsumer> FSRIOConsumerPool::consumerWithScanner(FSRIOConsumer::Scanner scanner,
                                                                      FSRIOConsumer::Handler handler,
                                                                      uint64_t bytesNeeded, bool readToCurrentFrame,
                                                                      bool unmaskBytes) {
    std::shared_ptr<FSRIOConsumer> consumer;
    if (!_bufferedConsumers.empty()) {
        consumer = std::move(_bufferedConsumers.back());
        _bufferedConsumers.pop_back();
    } else {
        consumer = std::make_shared<FSRIOConsumer>();
    }
    consumer->setupWithScanner(std::move(scanner), std::move(handler), bytesNeeded, readToCurrentFrame, unmaskBytes);
    return consumer;
}

void FSRIOConsumerPool::returnConsumer(std::shared_ptr<FSRIOConsumer> consumer) {
    if (_bufferedConsumers.size() < _poolSize) {
        // Drops what the blocks hold before the consumer waits in the pool.
        consumer->setupWithScanner(nullptr, nullptr, 0, false, false);
        _bufferedConsumers.push_back(std::move(consumer));
    }
}

// ---------------------------------------------------------------- writing

void FSRWebSocket::_writeData(const uint8_t* bytes, size_t length) {
    if (_closeWhenFinishedWriting) return;
    _outputBuffer.insert(_outputBuffer.end(), bytes, bytes + length);
    _pumpWriting();
}

void FSRWebSocket::_pumpWriting() {
    const size_t dataLength = _outputBuffer.size();
    if (_outputStream && dataLength - _outputBufferOffset > 0 && _outputStream->hasSpaceAvailable()) {
        const long bytesWritten =
            _outputStream->write(_outputBuffer.data() + _outputBufferOffset, dataLength - _outputBufferOffset);
        if (bytesWritten == -1) {
            _failWithError(ns::Error::make(kFSRWavecraftErrorDomain, 2145, "Error writing to stream"));
            return;
        }
        _outputBufferOffset += size_t(bytesWritten);
        if (_outputBufferOffset > kCompactionThreshold && _outputBufferOffset > _outputBuffer.size() / 2) {
            _outputBuffer.erase(_outputBuffer.begin(), _outputBuffer.begin() + long(_outputBufferOffset));
            _outputBufferOffset = 0;
        }
    }

    if (_closeWhenFinishedWriting && _outputBuffer.size() - _outputBufferOffset == 0 && _inputStream &&
        _inputStream->streamStatus() != ns::StreamStatus::NotOpen &&
        _inputStream->streamStatus() != ns::StreamStatus::Closed && !_sentClose) {
        _sentClose = true;
        {
            std::lock_guard lock(_lock);
            _outputStream->close();
            _inputStream->close();
        }
        if (!_failed) {
            auto me = self();
            const int64_t code = _closeCode;
            const std::optional<std::string> reason = _closeReason;
            // A connection this side failed has no peer close to report
            // unless the peer's close frame was accepted before the failure.
            const bool abnormal = _failedConnection && !_receivedValidClose;
            _performDelegateBlock([me, code, reason, abnormal] {
                auto delegate = me->delegate();
                if (delegate && delegate->respondsTo(FSRWebSocketDelegateCall::DidClose)) {
                    if (abnormal) {
                        delegate->webSocket(me, SRStatusCodeAbnormalClosure, std::nullopt, false);
                    } else {
                        delegate->webSocket(me, code, reason, true);
                    }
                }
            });
        }
        _scheduleCleanup();
    }
}

void FSRWebSocket::send(const ns::Value& message) {
    if (!message.isString() && !message.isData() && !message.isNull()) return;
    auto sendFrame = [](FSRWebSocket& socket, const ns::Value& message) {
        const uint8_t opcode = message.isData() ? SROpCodeBinaryFrame : SROpCodeTextFrame;
        socket._sendFrameWithOpcode(opcode, message);
    };
    // An owner that shares the work queue sends from it: the frame goes to
    // the stream at once, not behind everything the queue holds by then.
    if (_workQueue->isCurrent()) {
        sendFrame(*this, message);
        return;
    }
    auto me = self();
    _workQueue->async([me, copy = message, sendFrame] { sendFrame(*me, copy); });
}

void FSRWebSocket::_sendFrameWithOpcode(uint8_t opcode, const ns::Value& data) {
    const uint8_t* payload = nullptr;
    size_t payloadLength = 0;
    if (const std::string* text = data.stringOrNull()) {
        payload = reinterpret_cast<const uint8_t*>(text->data());
        payloadLength = text->size();
    } else if (data.isData()) {
        payload = data.asData().data();
        payloadLength = data.asData().size();
    }
    if (_closeWhenFinishedWriting) return;

    // The frame is built straight into the output buffer: room for the
    // payload and 32 bytes of header is made first.
    try {
        reserveGrowing(_outputBuffer, _outputBuffer.size() + payloadLength + 32);
    } catch (const std::bad_alloc&) {
        closeWithCode(SRStatusCodeMessageTooBig, std::string("Message too big"));
        return;
    } catch (const std::length_error&) {
        closeWithCode(SRStatusCodeMessageTooBig, std::string("Message too big"));
        return;
    }
    uint8_t header[14];
    size_t headerSize = 2;
    header[0] = uint8_t(0x80 | opcode);
    if (payloadLength < 126) {
        header[1] = uint8_t(payloadLength);
    } else if (payloadLength <= 0xFFFF) {
        header[1] = 126;
        header[2] = uint8_t(payloadLength >> 8);
        header[3] = uint8_t(payloadLength);
        headerSize += 2;
    } else {
        header[1] = 127;
        for (int i = 0; i < 8; ++i) header[2 + size_t(i)] = uint8_t(uint64_t(payloadLength) >> (56 - 8 * i));
        headerSize += 8;
    }
    header[1] |= 0x80;
    uint8_t key[4];
    _nextMaskKey(key);
    std::memcpy(header + headerSize, key, 4);
    headerSize += 4;
    _outputBuffer.insert(_outputBuffer.end(), header, header + headerSize);

    // Masked in the buffer a cache-sized piece at a time, while the piece
    // just copied is still in the cache.
    constexpr size_t kPiece = 16384;
    for (size_t at = 0; at < payloadLength; at += kPiece) {
        const size_t n = std::min(kPiece, payloadLength - at);
        _outputBuffer.insert(_outputBuffer.end(), payload + at, payload + at + n);
        applyMask(_outputBuffer.data() + (_outputBuffer.size() - n), n, key, at);
    }
    _pumpWriting();
}

void FSRWebSocket::_nextMaskKey(uint8_t key[4]) {
    if (_maskKeysUsed + 4 > _maskKeys.size()) {
        _maskKeys = ns::crypto::randomBytes(kMaskKeyBytes);
        _maskKeysUsed = 0;
    }
    std::memcpy(key, _maskKeys.data() + _maskKeysUsed, 4);
    _maskKeysUsed += 4;
}

// ---------------------------------------------------------------- reading

void FSRWebSocket::_addConsumerWithDataLength(uint64_t dataLength, FSRIOConsumer::Handler callback,
                                              bool readToCurrentFrame, bool unmaskBytes) {
    _consumers.push_back(
        _consumerPool.consumerWithScanner(nullptr, std::move(callback), dataLength, readToCurrentFrame, unmaskBytes));
    _pumpScanner();
}

void FSRWebSocket::_addConsumerWithScanner(FSRIOConsumer::Scanner scanner, FSRIOConsumer::Handler callback,
                                           uint64_t dataLength) {
    _consumers.push_back(
        _consumerPool.consumerWithScanner(std::move(scanner), std::move(callback), dataLength, false, false));
    _pumpScanner();
}

void FSRWebSocket::_readUntilBytes(std::string bytes, FSRIOConsumer::Handler callback) {
    _addConsumerWithScanner(
        [bytes = std::move(bytes)](const uint8_t* data, size_t length) -> size_t {
            const auto* begin = reinterpret_cast<const char*>(data);
            const std::string_view haystack(begin, length);
            const auto at = haystack.find(bytes);
            return at == std::string_view::npos ? 0 : at + bytes.size();
        },
        std::move(callback));
}

void FSRWebSocket::_readUntilHeaderCompleteWithCallback(FSRIOConsumer::Handler callback) {
    _readUntilBytes("\r\n\r\n", std::move(callback));
}

void FSRWebSocket::_pumpScanner() {
    if (_isPumping) return;
    _isPumping = true;
    bool didWork = true;
    while (didWork) didWork = _innerPumpScanner() || _readFromStream();
    _isPumping = false;
}

bool FSRWebSocket::_readerIsActive() const {
    const int32_t state = _readyState.load();
    return !_readerStopped && state != SR_CLOSING && state != SR_CLOSED;
}

bool FSRWebSocket::_innerPumpScanner() {
    if (!_readerIsActive() || _consumers.empty()) return false;
    const size_t curSize = _readBuffer.size() - _readBufferOffset;
    if (curSize == 0) return false;

    std::shared_ptr<FSRIOConsumer> consumer = _consumers.front();
    const uint64_t bytesNeeded = consumer->bytesNeeded();
    size_t foundSize = 0;
    if (consumer->consumer()) {
        foundSize = consumer->consumer()(_readBuffer.data() + _readBufferOffset, curSize);
    } else if (curSize >= bytesNeeded) {
        foundSize = size_t(bytesNeeded);
    } else if (consumer->readToCurrentFrame()) {
        foundSize = curSize;
    }
    if (foundSize == 0 && !consumer->readToCurrentFrame()) return false;

    uint8_t* slice = _readBuffer.data() + _readBufferOffset;
    if (consumer->readToCurrentFrame()) {
        const size_t offset = _currentFrameDataLength;
        _putPayload(slice, foundSize);
        _consumeReadBuffer(foundSize);
        return _tookPayload(offset, foundSize);
    }
    if (consumer->unmaskBytes()) {
        applyMask(slice, foundSize, _currentReadMaskKey, _currentReadMaskOffset);
        _currentReadMaskOffset += foundSize;
    }
    ns::Data bytes(slice, slice + foundSize);
    _consumeReadBuffer(foundSize);
    _consumers.pop_front();
    auto handler = consumer->handler();
    _consumerPool.returnConsumer(std::move(consumer));
    handler(*this, &bytes);
    return true;
}

void FSRWebSocket::_putPayload(const uint8_t* bytes, size_t length) {
    const size_t at = _currentFrameDataLength;
    const size_t inPlace = std::min(length, _currentFrameData.size() - at);
    if (inPlace > 0) std::memcpy(_currentFrameData.data() + at, bytes, inPlace);
    _currentFrameData.append(reinterpret_cast<const char*>(bytes) + inPlace, length - inPlace);
    _currentFrameDataLength += length;
}

void FSRWebSocket::_consumeReadBuffer(size_t length) {
    _readBufferConsumed += length;
    _readBufferOffset += length;
    if (_readBufferOffset > kCompactionThreshold && _readBufferOffset > _readBuffer.size() / 2) {
        _readBuffer.erase(_readBuffer.begin(), _readBuffer.begin() + long(_readBufferOffset));
        _readBufferOffset = 0;
    }
}

bool FSRWebSocket::_tookPayload(size_t offset, size_t length) {
    std::shared_ptr<FSRIOConsumer> consumer = _consumers.front();
    auto* bytes = reinterpret_cast<uint8_t*>(_currentFrameData.data()) + offset;
    if (consumer->unmaskBytes()) {
        applyMask(bytes, length, _currentReadMaskKey, _currentReadMaskOffset);
        _currentReadMaskOffset += length;
    }
    if (_currentFrameOpcode == SROpCodeTextFrame && !_textValidator.append(bytes, length)) {
        _failConnectionWithCode(SRStatusCodeInvalidUTF8, "Text frames must be valid UTF-8");
        return false;
    }
    consumer->setBytesNeeded(consumer->bytesNeeded() - length);
    if (consumer->bytesNeeded() != 0) return false;
    _consumers.pop_front();
    auto handler = consumer->handler();
    _consumerPool.returnConsumer(std::move(consumer));
    handler(*this, nullptr);
    return true;
}

// Bytes are taken from the stream only when the reader waits for them, so a
// payload can go straight into the message: between frames the next header
// consumer is on its way through the work queue, and it pulls what it needs.
// Once the reader stops, everything is drained into the read buffer as it
// arrives, so that the end of the stream is still seen.
bool FSRWebSocket::_readFromStream() {
    if (!_inputStream) return false;
    if (!_readerIsActive()) {
        // Nothing more goes into the message: the stream gives its room back.
        _withdrawPayload();
        _setStreamLowWater(1);
        _drainInputStream();
        return false;
    }
    const bool intoMessage =
        !_consumers.empty() && _consumers.front()->readToCurrentFrame() && _readBuffer.size() == _readBufferOffset;
    if (intoMessage && !_payloadLent && _consumers.front()->bytesNeeded() >= kLentPayloadMin) {
        _lendPayload(_consumers.front()->bytesNeeded());
    }
    if (_consumers.empty() || !_inputStream->hasBytesAvailable()) {
        // Waits for bytes: for the payload, a large part of what is left.
        _setStreamLowWater(intoMessage ? size_t(std::min<uint64_t>(_consumers.front()->bytesNeeded(), kPayloadLowWater))
                                       : 1);
        return false;
    }
    const long bytesRead = _payloadLent  ? _readLentPayload()
                           : intoMessage ? _readPayloadFromStream()
                                         : _readChunkIntoReadBuffer();
    if (bytesRead < 0) {
        _failWithError(_inputStream->streamError());
        return false;
    }
    return bytesRead > 0;
}

void FSRWebSocket::_lendPayload(uint64_t length) {
    const size_t at = _currentFrameDataLength;
    // Within the room reserved for the frame; a reused buffer's old bytes
    // are overwritten rather than zero-filled first.
    if (_currentFrameData.size() < at + length) _currentFrameData.resize(at + size_t(length));
    _payloadLent =
        _inputStream->lendReadTarget(reinterpret_cast<uint8_t*>(_currentFrameData.data()) + at, size_t(length));
}

long FSRWebSocket::_readLentPayload() {
    const long bytesRead = _inputStream->readLent();
    if (bytesRead > 0) {
        const size_t offset = _currentFrameDataLength;
        _currentFrameDataLength += size_t(bytesRead);
        _readBufferConsumed += size_t(bytesRead);
        // The stream gives the room back with the payload's last bytes.
        if (uint64_t(bytesRead) == _consumers.front()->bytesNeeded()) _payloadLent = false;
        _tookPayload(offset, size_t(bytesRead));
    }
    return bytesRead;
}

void FSRWebSocket::_withdrawPayload() {
    if (!_payloadLent) return;
    _payloadLent = false;
    _inputStream->withdrawReadTarget();
}

long FSRWebSocket::_readPayloadFromStream() {
    const size_t want = size_t(std::min<uint64_t>(_consumers.front()->bytesNeeded(), kPayloadReadChunk));
    const size_t offset = _currentFrameDataLength;
    // Read in place: into the room reserved for the frame, zero-filled only
    // past what a reused buffer already holds.
    if (_currentFrameData.size() < offset + want) _currentFrameData.resize(offset + want);
    const long bytesRead = _inputStream->read(reinterpret_cast<uint8_t*>(_currentFrameData.data()) + offset, want);
    if (bytesRead > 0) {
        _currentFrameDataLength += size_t(bytesRead);
        _readBufferConsumed += size_t(bytesRead);
        _tookPayload(offset, size_t(bytesRead));
    }
    return bytesRead;
}

long FSRWebSocket::_readChunkIntoReadBuffer() {
    uint8_t chunk[kReadChunk];
    const long bytesRead = _inputStream->read(chunk, sizeof chunk);
    if (bytesRead > 0) _readBuffer.insert(_readBuffer.end(), chunk, chunk + bytesRead);
    return bytesRead;
}

void FSRWebSocket::_setStreamLowWater(size_t bytes) {
    if (bytes == _streamLowWater) return;
    _streamLowWater = bytes;
    _inputStream->setReadLowWater(bytes);
}

void FSRWebSocket::_drainInputStream() {
    while (_inputStream->hasBytesAvailable()) {
        const long bytesRead = _readChunkIntoReadBuffer();
        if (bytesRead < 0) {
            _failWithError(_inputStream->streamError());
            return;
        }
        if (size_t(bytesRead) != kReadChunk) return;
    }
}

// The next message is read in the same turn of the work queue: the pump goes
// on through every frame that has arrived, rather than one frame per trip
// through a queue its owner may share.
void FSRWebSocket::_readFrameNew() {
    ns::dispatchAssertQueue(_workQueue);
    // The buffer keeps its length: the next message overwrites it.
    _currentFrameDataLength = 0;
    _currentFrameOpcode = 0;
    _currentFrameCount = 0;
    _textValidator.reset();
    _readFrameContinue();
}

void FSRWebSocket::_readFrameContinue() {
    ns::dispatchAssertQueue(_workQueue);
    _addConsumerWithDataLength(
        2, [](FSRWebSocket& socket, const ns::Data* data) { socket._parseFrameHeader(*data); }, false, false);
}

void FSRWebSocket::_parseFrameHeader(const ns::Data& data) {
    const uint8_t b0 = data[0], b1 = data[1];
    if (b0 & 0x70) {
        _closeWithProtocolError("Server used RSV bits");
        return;
    }
    FrameHeader header;
    header.opcode = b0 & 0x0F;
    if (!isControlOpcode(header.opcode)) {
        if (header.opcode != 0 && _currentFrameCount > 0) {
            _closeWithProtocolError("all data frames after the initial data frame must have opcode 0");
            return;
        }
        if (header.opcode == 0) {
            if (_currentFrameCount == 0) {
                _closeWithProtocolError("cannot continue a message");
                return;
            }
            header.opcode = _currentFrameOpcode;
        }
    }
    header.fin = (b0 & 0x80) != 0;
    header.masked = (b1 & 0x80) != 0;
    header.payloadLength = b1 & 0x7F;
    if (header.masked) _closeWithProtocolError("Client must receive unmasked data");

    size_t extraBytesNeeded = header.masked ? 4 : 0;
    if (header.payloadLength == 126) {
        extraBytesNeeded += 2;
    } else if (header.payloadLength == 127) {
        extraBytesNeeded += 8;
    }
    if (extraBytesNeeded == 0) {
        _handleFrameHeader(header);
        return;
    }
    _addConsumerWithDataLength(
        extraBytesNeeded,
        [header](FSRWebSocket& socket, const ns::Data* extra) mutable {
            const uint8_t* p = extra->data();
            size_t at = 0;
            if (header.payloadLength == 126) {
                header.payloadLength = (uint64_t(p[0]) << 8) | p[1];
                at = 2;
            } else if (header.payloadLength == 127) {
                uint64_t length = 0;
                for (int i = 0; i < 8; ++i) length = (length << 8) | p[i];
                at = 8;
                // RFC 6455 5.2: the most significant bit must be 0.
                if (length >> 63) {
                    socket._closeWithProtocolError("Frame length must not have its most significant bit set");
                    return;
                }
                header.payloadLength = length;
            }
            if (header.masked) {
                std::memcpy(socket._currentReadMaskKey, p + at, 4);
            }
            socket._handleFrameHeader(header);
        },
        false, false);
}

void FSRWebSocket::_handleFrameHeader(const FrameHeader& header) {
    // A protocol error, invalid text or an oversized message ends reading:
    // nothing after it is delivered.
    if (_readerStopped || _readyState.load() != SR_OPEN) return;
    const bool isControlFrame = isControlOpcode(header.opcode);
    if (isControlFrame && !header.fin) {
        _closeWithProtocolError("Fragmented control frames not allowed");
        return;
    }
    if (isControlFrame && header.payloadLength >= 126) {
        _closeWithProtocolError("Control frames cannot have payloads larger than 126 bytes");
        return;
    }
    if (!isControlFrame) {
        if (header.payloadLength > _maximumMessageSize.load() ||
            _currentFrameDataLength > _maximumMessageSize.load() - header.payloadLength) {
            _failConnectionWithCode(SRStatusCodeMessageTooBig, "Message too big");
            return;
        }
        _currentFrameOpcode = header.opcode;
        _currentFrameCount += 1;
        _startMessageBuffer(header.payloadLength);
        try {
            reserveGrowing(_currentFrameData, _currentFrameDataLength + header.payloadLength);
        } catch (const std::exception&) {
            _failConnectionWithCode(SRStatusCodeMessageTooBig, "Message too big");
            return;
        }
    }
    _currentReadMaskOffset = 0;

    if (header.payloadLength > 0) {
        _addConsumerWithDataLength(
            header.payloadLength,
            [isControlFrame, header](FSRWebSocket& socket, const ns::Data* data) {
                if (isControlFrame) {
                    socket._handleFrameWithData(*data, header.opcode);
                } else if (header.fin) {
                    socket._handleCurrentMessage(header.opcode);
                } else {
                    socket._readFrameContinue();
                }
            },
            !isControlFrame, header.masked);
    } else if (isControlFrame) {
        _handleFrameWithData(ns::Data(), header.opcode);
    } else if (header.fin) {
        _handleCurrentMessage(header.opcode);
    } else {
        _readFrameContinue();
    }
}

void FSRWebSocket::_handleFrameWithData(const ns::Data& data, uint8_t opcode) {
    _handleOpcode(opcode, data.data(), data.size(), false);
}

void FSRWebSocket::_handleCurrentMessage(uint8_t opcode) {
    _handleOpcode(opcode, reinterpret_cast<const uint8_t*>(_currentFrameData.data()), _currentFrameDataLength, true);
}

void FSRWebSocket::_handleOpcode(uint8_t opcode, const uint8_t* data, size_t length, bool isCurrentMessage) {
    if (isControlOpcode(opcode)) {
        auto me = self();
        _workQueue->async([me] { me->_readFrameContinue(); });
    }
    switch (opcode) {
    case SROpCodeTextFrame: {
        // The incremental check has passed every byte; the message is whole
        // text when no sequence is left waiting for more.
        std::optional<std::string> text;
        if (isCurrentMessage && _textValidator.isComplete()) {
            _currentFrameData.resize(_currentFrameDataLength);
            text.emplace(std::move(_currentFrameData));
            _currentFrameData.clear();
        } else {
            text = ns::utf8::decode(data, length);
        }
        // The message is taken: the next one may be read into the buffer.
        _readFrameNew();
        if (!text) {
            _failConnectionWithCode(SRStatusCodeInvalidUTF8, "Text frames must be valid UTF-8");
            return;
        }
        _handleMessage(ns::Value(std::move(*text)));
        break;
    }
    case SROpCodeBinaryFrame: {
        ns::Value message(ns::Data(data, data + length));
        _readFrameNew();
        _handleMessage(std::move(message));
        break;
    }
    case SROpCodeConnectionClose:
        handleCloseWithData(ns::Data(data, data + length));
        break;
    case SROpCodePing:
        handlePing(ns::Data(data, data + length));
        break;
    case SROpCodePong:
        handlePong();
        break;
    default:
        _readFrameNew();
        _closeWithProtocolError(ns::format("Unknown opcode %u", unsigned(opcode)));
        break;
    }
}

void FSRWebSocket::_handleMessage(ns::Value message) {
    auto me = self();
    _performDelegateBlock([me, message = std::move(message)]() mutable {
        auto delegate = me->delegate();
        if (delegate && delegate->respondsTo(FSRWebSocketDelegateCall::DidReceiveMessage)) {
            delegate->webSocket(me, message);
        }
        // The delegate had the message for the call only; its text's buffer
        // goes back to the reader for the next large message. The block
        // owns this value (not const), so its string may be moved from.
        if (const std::string* text = message.stringOrNull()) {
            me->_recycleMessageBuffer(std::move(const_cast<std::string&>(*text)));
        }
    });
}

void FSRWebSocket::_recycleMessageBuffer(std::string buffer) {
    if (buffer.capacity() < kRecycledBufferMin || buffer.capacity() > kRecycledBufferMax) return;
    auto& spares = spareMessageBuffers();
    std::lock_guard lock(spares.mutex);
    if (spares.buffers.size() < kRecycledBuffers) spares.buffers.push_back(std::move(buffer));
}

void FSRWebSocket::_startMessageBuffer(uint64_t payloadLength) {
    if (_currentFrameDataLength != 0 || payloadLength < kRecycledBufferMin) return;
    auto& spares = spareMessageBuffers();
    std::lock_guard lock(spares.mutex);
    if (spares.buffers.empty() || spares.buffers.back().capacity() <= _currentFrameData.capacity()) return;
    // Its old length is kept, so the new message overwrites it in place.
    _currentFrameData.swap(spares.buffers.back());
    spares.buffers.pop_back();
}

void FSRWebSocket::handlePing(const ns::Data& data) {
    auto me = self();
    _performDelegateBlock([me, payload = data] {
        me->_workQueue->async([me, payload] { me->_sendFrameWithOpcode(SROpCodePong, ns::Value(payload)); });
    });
}

void FSRWebSocket::handlePong() {}

void FSRWebSocket::handleCloseWithData(const ns::Data& data) {
    const size_t dataSize = data.size();
    if (dataSize == 1) {
        _closeWithProtocolError("Payload for close must be larger than 2 bytes");
        return;
    }
    // Nothing of the frame is kept until all of it is accepted: a refused
    // code fails the connection and must not reach the delegate.
    int closeCode = SRStatusNoStatusReceived;
    std::optional<std::string> closeReason;
    if (dataSize >= 2) {
        closeCode = (int(data[0]) << 8) | int(data[1]);
        if (!closeCodeIsValid(closeCode)) {
            _closeWithProtocolError(ns::format("Cannot have close code of %d", closeCode));
            return;
        }
        if (dataSize > 2) {
            closeReason = ns::utf8::decode(data.data() + 2, dataSize - 2);
            if (!closeReason) {
                _closeWithProtocolError("Close reason MUST be valid UTF-8");
                return;
            }
        }
    }
    _closeCode = closeCode;
    _closeReason = std::move(closeReason);
    _receivedValidClose = true;
    if (_readyState.load() == SR_OPEN) closeWithCode(SRStatusCodeNormal, std::nullopt);
    auto me = self();
    _workQueue->async([me] { me->_disconnect(); });
}
