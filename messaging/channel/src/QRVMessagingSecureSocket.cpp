#include "messaging/QRVMessagingLogger.h"
#include "messaging/QRVMessagingSecureSocket.h"

#include <google/protobuf/io/coded_stream.h>

#include <algorithm>
#include <cstring>

#include "messaging/Parlo.h"
#include "messaging/QRVMessagingCodedInputStream.h"
#include "platform/runloop.h"


std::shared_ptr<QRVMessagingSecureSocket> QRVMessagingSecureSocket::make() {
    return std::shared_ptr<QRVMessagingSecureSocket>(new QRVMessagingSecureSocket());
}

QRVMessagingSecureSocket::QRVMessagingSecureSocket() : inputBuffer_(kQRVMessagingBufferSizeStep) {
    ParloVerifyRuntimeVersion();
}

QRVMessagingSecureSocket::~QRVMessagingSecureSocket() {
    // Nobody can be told any more: the delegate's weak reference to us is
    // already gone, so close the streams quietly.
    delegate_.reset();
    if (inStream_ || outStream_) disconnect();
}

void QRVMessagingSecureSocket::connectToHost(const std::string& host, uint32_t port,
                                             const std::shared_ptr<ns::RunLoop>& runLoop) {
    if (host.empty() || state_ != kQRVMessagingSecureSocketStateInitial) return;
    QRVMessagingLoggerDebug(15000, "Opening secure socket to QRVMessaging service");
    state_ = kQRVMessagingSecureSocketStateOpening;
    runLoop_ = runLoop ? runLoop : ns::RunLoop::mainShared();
    auto pair = ns::createStreamPairWithSocketToHost(host, static_cast<uint16_t>(port));
    inStream_ = pair.input;
    outStream_ = pair.output;
    if (!inStream_ || !outStream_) {
        QRVMessagingLoggerDebug(15001, "Failed to initialize socket.");
        return;
    }
    isInStreamOpen_ = false;
    isOutStreamOpen_ = false;
    openStream(*outStream_);
    openStream(*inStream_);
}

void QRVMessagingSecureSocket::openStream(ns::Stream& stream) {
    if (stream.streamStatus() != ns::StreamStatus::NotOpen) {
        QRVMessagingLoggerDebug(15009, "stream should not be open.");
        return;
    }
    // TLS with the default settings: the chain and the host name are always
    // verified against the platform's trust anchors.
    stream.setSocketSecurityLevelNegotiatedSSL();
    stream.setDelegate(weak_from_this());
    stream.scheduleInRunLoop(runLoop_, ns::kDefaultRunLoopMode);
    stream.open();
}

void QRVMessagingSecureSocket::disconnect() {
    if (state_ == kQRVMessagingSecureSocketStateClosing) return;
    if (!inStream_ && !outStream_) {
        QRVMessagingLoggerDebug(15002, "The socket is not open or already closed.");
        return;
    }
    state_ = kQRVMessagingSecureSocketStateClosing;
    for (ns::Stream* stream : {static_cast<ns::Stream*>(inStream_.get()), static_cast<ns::Stream*>(outStream_.get())}) {
        if (!stream) continue;
        stream->close();
        if (runLoop_) stream->removeFromRunLoop(runLoop_, ns::kDefaultRunLoopMode);
        stream->setDelegate({});
    }
    inStream_.reset();
    outStream_.reset();
    state_ = kQRVMessagingSecureSocketStateClosed;
    if (auto delegate = delegate_.lock()) delegate->didDisconnectWithSecureSocket(*this);
}

const char* QRVMessagingSecureSocket::streamName(const ns::Stream& stream) const {
    if (&stream == inStream_.get()) return "Input stream";
    if (&stream == outStream_.get()) return "Output stream";
    return "Unknown stream";
}

void QRVMessagingSecureSocket::streamHandleEvent(ns::Stream& stream, ns::StreamEvent event) {
    // A delegate call below may release the last other reference to us.
    auto self = shared_from_this();
    switch (event) {
        case ns::kStreamEventOpenCompleted:
            if (&stream == inStream_.get()) isInStreamOpen_ = true;
            if (&stream == outStream_.get()) isOutStreamOpen_ = true;
            if (isInStreamOpen_ && isOutStreamOpen_ && state_ == kQRVMessagingSecureSocketStateOpening) {
                QRVMessagingLoggerDebug(15006, "Secure socket to QRVMessaging service opened");
                state_ = kQRVMessagingSecureSocketStateOpen;
                if (auto delegate = delegate_.lock()) delegate->secureSocketDidConnect(*this);
                // Bytes that came before both streams were open were not
                // read then, and the stream announces bytes only after a
                // read: read them now or the channel would stall.
                if (state_ == kQRVMessagingSecureSocketStateOpen && inStream_ && inStream_->hasBytesAvailable()) {
                    streamHandleEvent(*inStream_, ns::kStreamEventHasBytesAvailable);
                }
            }
            break;
        case ns::kStreamEventHasBytesAvailable:
            if (state_ != kQRVMessagingSecureSocketStateOpen) {
                QRVMessagingLoggerDebug(15003, "Try to read from socket that is not opened");
                break;
            }
            if (!performRead()) {
                QRVMessagingLoggerDebug(15004, "Error occured when reading incoming stream");
                disconnect();
            }
            break;
        case ns::kStreamEventHasSpaceAvailable:
            if (state_ != kQRVMessagingSecureSocketStateOpen) {
                QRVMessagingLoggerDebug(15008, "Try to write to socket that is not opened");
                break;
            }
            performWrite();
            break;
        case ns::kStreamEventErrorOccurred:
            QRVMessagingLoggerDebug(15007, "%@ error occurred", streamName(stream));
            disconnect();
            break;
        case ns::kStreamEventEndEncountered:
            QRVMessagingLoggerDebug(15005, "%@ end encountered", streamName(stream));
            disconnect();
            break;
        default:
            break;
    }
}

bool QRVMessagingSecureSocket::performRead() {
    if (!isVersionReceived_) {
        isVersionReceived_ = true;
        uint8_t version = 0;
        const long read = inStream_->read(&version, 1);
        if (read != 1 || version != kQRVMessagingVersion) {
            QRVMessagingLoggerDebug(15010, "Version do not match. Received %d, Expecting %d",
                                    int(read == 1 ? version : 0), int(kQRVMessagingVersion));
            return false;
        }
    }
    // A delegate call may disconnect us (a Close, a time-out): stop reading
    // from streams that are gone.
    while (inStream_ && state_ == kQRVMessagingSecureSocketStateOpen) {
        if (inputBuffer_.empty()) {
            QRVMessagingLoggerDebug(15011, "Input buffer is not valid.");
            return false;
        }
        if (!inStream_->hasBytesAvailable()) return true;
        const size_t unused = inputBuffer_.size() - inputBufferLength_;
        const long read = inStream_->read(inputBuffer_.data() + inputBufferLength_, unused);
        if (read <= 0) {
            QRVMessagingLoggerDebug(15012,
                                    "Failed to read input stream. Bytes read %ld, Used buffer size %lu, Unused "
                                    "buffer size %lu",
                                    read, static_cast<unsigned long>(inputBufferLength_),
                                    static_cast<unsigned long>(unused));
            return true;
        }
        if (!didReadBytes(static_cast<size_t>(read))) return false;
    }
    return true;
}

bool QRVMessagingSecureSocket::didReadBytes(size_t count) {
    inputBufferLength_ += count;
    if (inputBuffer_.size() <= inputBufferLength_) {
        if (inputBuffer_.size() + kQRVMessagingBufferSizeStep > kQRVMessagingMaxBufferSize) {
            QRVMessagingLoggerDebug(15013, "Input buffer exceed 1M, disconnect socket");
            return false;
        }
        QRVMessagingLoggerDebug(15014,
                                "Input buffer limit exceeded. Used input buffer size %lu, Total input buffer "
                                "size %lu. No unused buffer left. Increase buffer size.",
                                static_cast<unsigned long>(inputBufferLength_),
                                static_cast<unsigned long>(inputBuffer_.size()));
        inputBuffer_.resize(inputBuffer_.size() + kQRVMessagingBufferSizeStep);
    }
    // Frames are parsed in place; the consumed ones are dropped once, by
    // moving what is left to the front, rather than after every frame. A
    // delegate that disconnects us stops the loop.
    uint64_t consumed = 0;
    while (consumed < inputBufferLength_ && state_ < kQRVMessagingSecureSocketStateClosing) {
        const long n = processCurrentInputBuffer(
            std::span<const uint8_t>(inputBuffer_.data() + consumed, inputBufferLength_ - consumed));
        if (n < 0) return false;
        if (n == 0) break;
        consumed += static_cast<uint64_t>(n);
    }
    if (consumed == inputBufferLength_) {
        inputBufferLength_ = 0;
    } else if (consumed > 0) {
        std::memmove(inputBuffer_.data(), inputBuffer_.data() + consumed, inputBufferLength_ - consumed);
        inputBufferLength_ -= consumed;
    }
    return true;
}

bool QRVMessagingSecureSocket::receiveBytes(std::span<const uint8_t> bytes) {
    while (!bytes.empty() && state_ < kQRVMessagingSecureSocketStateClosing) {
        const size_t count = std::min(bytes.size(), inputBuffer_.size() - inputBufferLength_);
        std::memcpy(inputBuffer_.data() + inputBufferLength_, bytes.data(), count);
        bytes = bytes.subspan(count);
        if (!didReadBytes(count)) return false;
    }
    return true;
}

long QRVMessagingSecureSocket::processCurrentInputBuffer(std::span<const uint8_t> bytes) {
    QRVMessagingCodedInputStream input(bytes);
    int8_t tag = 0;
    int32_t length = 0;
    if (!input.readTag(&tag) || !input.readLength(&length)) return 0;
    if (tag < 0 || length < 0) {
        QRVMessagingLoggerDebug(15015, "Buffer data corrupted.");
        return -1;
    }
    auto data = input.readViewWithLength(static_cast<uint32_t>(length));
    if (!data) {
        QRVMessagingLoggerDebug(15016, "Incomplete data, buffered data length %ld, expected length %d",
                                static_cast<long>(bytes.size()), length);
        return 0;
    }
    if (auto delegate = delegate_.lock()) delegate->secureSocketDidReceiveDataWithTag(*this, *data, tag);
    return static_cast<long>(input.offset());
}

void QRVMessagingSecureSocket::sendData(ns::Data data, int8_t tag, const std::string& rmqId) {
    packetQueue_.push(QRVMessagingPacket::packetWithTag(tag, rmqId, std::move(data)));
    if (state_ == kQRVMessagingSecureSocketStateOpen && outStream_ && outStream_->hasSpaceAvailable()) {
        performWrite();
    }
}

void QRVMessagingSecureSocket::performWrite() {
    if (!isVersionSent_) {
        isVersionSent_ = true;
        const uint8_t version = kQRVMessagingVersion;
        outStream_->write(&version, 1);
    }
    auto self = shared_from_this();
    while (outStream_ && (hasOutputBuffer_ || !packetQueue_.isEmpty())) {
        if (!outStream_->hasSpaceAvailable()) return;
        if (!hasOutputBuffer_) {
            auto packet = packetQueue_.pop();
            currentRmqIdBeingSent_ = packet->rmqId();
            currentProtoTypeBeingSent_ = packet->tag();
            using google::protobuf::io::CodedOutputStream;
            const auto& data = packet->data();
            const size_t size = CodedOutputStream::VarintSize32(static_cast<uint32_t>(packet->tag())) +
                                CodedOutputStream::VarintSize32(static_cast<uint32_t>(data.size())) + data.size();
            outputBuffer_.resize(size);
            uint8_t* p = outputBuffer_.data();
            p = CodedOutputStream::WriteVarint32ToArray(static_cast<uint32_t>(packet->tag()), p);
            p = CodedOutputStream::WriteVarint32ToArray(static_cast<uint32_t>(data.size()), p);
            if (!data.empty()) std::memcpy(p, data.data(), data.size());
            hasOutputBuffer_ = true;
            outputBufferLength_ = 0;
        }
        const long written =
            outStream_->write(outputBuffer_.data() + outputBufferLength_, outputBuffer_.size() - outputBufferLength_);
        if (written <= 0) return;
        outputBufferLength_ += static_cast<uint64_t>(written);
        if (outputBufferLength_ == outputBuffer_.size()) {
            hasOutputBuffer_ = false;
            outputBuffer_.clear();
            const int8_t tag = currentProtoTypeBeingSent_;
            const std::string rmqId = std::move(currentRmqIdBeingSent_);
            currentRmqIdBeingSent_.clear();
            currentProtoTypeBeingSent_ = -1;
            if (auto delegate = delegate_.lock()) delegate->secureSocketDidSendProtoWithTagRmqId(*this, tag, rmqId);
        }
    }
}
