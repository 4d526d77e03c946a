#pragma once
// The lowest layer of the direct channel: one TLS stream pair to the
// messaging server, the version byte 40 sent and expected once each way, and
// frames of (tag, varint32 length, message bytes) in both directions.
//
// Received bytes collect in an input buffer that starts at 16 KiB and grows
// in 16 KiB steps; a frame that would need more than 1 MiB, a wrong version
// byte or a malformed frame closes the socket. Outgoing frames queue and are
// written in order as the stream takes them; the delegate hears when each
// has gone whole.
//
// TLS always verifies the chain against the platform's trust anchors and the
// host name. One socket serves one connection: connect acts only on a new
// socket. Everything runs on the run loop given to connect (the main run
// loop); delegate calls are synchronous from the stream events, so the
// delegate may send further frames from them.

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "messaging/QRVMessagingPacket.h"
#include "platform/socket_stream.h"
#include "platform/value.h"

namespace ns {
class RunLoop;
}

class QRVMessagingSecureSocket;

inline constexpr uint8_t kQRVMessagingVersion = 40;
inline constexpr size_t kQRVMessagingBufferSizeStep = 16384;
inline constexpr size_t kQRVMessagingMaxBufferSize = 1048576;

class QRVMessagingSecureSocketDelegate {
public:
    virtual ~QRVMessagingSecureSocketDelegate() = default;
    // secureSocket:didReceiveData:withTag: one complete incoming frame; the
    // bytes are valid during the call only.
    virtual void secureSocketDidReceiveDataWithTag(QRVMessagingSecureSocket& socket, std::span<const uint8_t> data,
                                                   int8_t tag) = 0;
    // secureSocket:didSendProtoWithTag:rmqId: a frame has been written whole.
    virtual void secureSocketDidSendProtoWithTagRmqId(QRVMessagingSecureSocket& socket, int8_t tag,
                                                      const std::string& rmqId) = 0;
    // Both streams are open.
    virtual void secureSocketDidConnect(QRVMessagingSecureSocket& socket) = 0;
    // The socket has closed.
    virtual void didDisconnectWithSecureSocket(QRVMessagingSecureSocket& socket) = 0;
};

enum QRVMessagingSecureSocketState : uint64_t {
    kQRVMessagingSecureSocketStateInitial = 0,
    kQRVMessagingSecureSocketStateOpening = 1,
    kQRVMessagingSecureSocketStateOpen = 2,
    kQRVMessagingSecureSocketStateClosing = 3,
    kQRVMessagingSecureSocketStateClosed = 4,
};

class QRVMessagingSecureSocket : public ns::StreamDelegate,
                                 public std::enable_shared_from_this<QRVMessagingSecureSocket> {
public:
    static std::shared_ptr<QRVMessagingSecureSocket> make();
    // Releasing a socket disconnects it (without telling the delegate, which
    // is going away with it or has moved on).
    ~QRVMessagingSecureSocket() override;
    QRVMessagingSecureSocket(const QRVMessagingSecureSocket&) = delete;
    QRVMessagingSecureSocket& operator=(const QRVMessagingSecureSocket&) = delete;

    void setDelegate(std::weak_ptr<QRVMessagingSecureSocketDelegate> delegate) { delegate_ = std::move(delegate); }
    std::shared_ptr<QRVMessagingSecureSocketDelegate> delegate() const { return delegate_.lock(); }

    // Acts only with a host and in the initial state.
    void connectToHost(const std::string& host, uint32_t port, const std::shared_ptr<ns::RunLoop>& runLoop);
    // Queues one frame and writes at once when the stream has room.
    void sendData(ns::Data data, int8_t tag, const std::string& rmqId);
    void disconnect();

    uint64_t state() const { return state_; }
    bool isVersionSent() const { return isVersionSent_; }
    bool isVersionReceived() const { return isVersionReceived_; }
    size_t inputBufferCapacity() const { return inputBuffer_.size(); }
    uint64_t inputBufferLength() const { return inputBufferLength_; }
    size_t queuedPacketCount() const { return packetQueue_.count(); }

    // ns::StreamDelegate.
    void streamHandleEvent(ns::Stream& stream, ns::StreamEvent event) override;

    // Parses one frame from the front of `bytes`, handing a whole one to the
    // delegate: the consumed count, 0 when the frame is incomplete, -1 when
    // it is corrupted.
    long processCurrentInputBuffer(std::span<const uint8_t> bytes);
    // Takes bytes as if read from the input stream after the version byte,
    // in pieces of at most the buffer's free space, and delivers the frames
    // they complete; false when the input would close the socket. The frame
    // reader's fuzz target drives the reader through this.
    bool receiveBytes(std::span<const uint8_t> bytes);

private:
    QRVMessagingSecureSocket();
    void openStream(ns::Stream& stream);
    bool performRead();
    // `count` bytes were read into the buffer's free tail: grow the buffer
    // when full, deliver the whole frames, keep the rest at the front.
    bool didReadBytes(size_t count);
    void performWrite();
    const char* streamName(const ns::Stream& stream) const;

    std::weak_ptr<QRVMessagingSecureSocketDelegate> delegate_;
    uint64_t state_ = kQRVMessagingSecureSocketStateInitial;
    std::shared_ptr<ns::InputStream> inStream_;
    std::shared_ptr<ns::OutputStream> outStream_;
    ns::Data inputBuffer_;
    uint64_t inputBufferLength_ = 0;
    ns::Data outputBuffer_;
    bool hasOutputBuffer_ = false;
    uint64_t outputBufferLength_ = 0;
    QRVMessagingPacketQueue packetQueue_;
    bool isVersionSent_ = false;
    bool isVersionReceived_ = false;
    bool isInStreamOpen_ = false;
    bool isOutStreamOpen_ = false;
    std::shared_ptr<ns::RunLoop> runLoop_;
    std::string currentRmqIdBeingSent_;
    int8_t currentProtoTypeBeingSent_ = -1;
};
