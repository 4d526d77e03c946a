// The messaging channel's reading of what a server sends after the version
// byte: the secure socket's input buffer (growth, the 1 MiB limit, frames
// split over reads and joined in one) and the frame reader (tag, varint32
// length, message), with every delivered frame parsed as its tag's message
// kind the way the connection does. The first byte picks the size of the
// pieces the rest arrives in.
//
// Invariants, checked after every piece: the buffer never passes 1 MiB, the
// bytes it holds fit in it, and a delivered frame has a tag of 0 to 127.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "messaging/Parlo.h"
#include "messaging/QRVMessagingConstants.h"
#include "messaging/QRVMessagingSecureSocket.h"
#include "require.h"

namespace {

struct Reader : QRVMessagingSecureSocketDelegate {
    void secureSocketDidReceiveDataWithTag(QRVMessagingSecureSocket&, std::span<const uint8_t> data,
                                           int8_t tag) override {
        require(tag >= 0);  // a frame with a negative tag was delivered
        const auto* prototype = QRVMessagingGetClassForTag(tag);
        if (!prototype) return;
        std::unique_ptr<google::protobuf::Message> message(prototype->New());
        if (!message->ParsePartialFromArray(data.data(), static_cast<int>(data.size()))) return;
        require(QRVMessagingGetTagForProto(*message) == tag);  // the tag table does not round-trip
        QRVMessagingGetRmq2Id(*message);
        QRVMessagingSetLastStreamId(*message, QRVMessagingGetLastStreamId(*message) + 1);
        if (auto* iq = dynamic_cast<ParloIqStanza*>(message.get()); iq && iq->has_extension()) {
            ParloSelectiveAck ack;
            ack.ParsePartialFromString(iq->extension().data());
        }
        message->SerializePartialAsString();
    }
    void secureSocketDidSendProtoWithTagRmqId(QRVMessagingSecureSocket&, int8_t, const std::string&) override {}
    void secureSocketDidConnect(QRVMessagingSecureSocket&) override {}
    void didDisconnectWithSecureSocket(QRVMessagingSecureSocket&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t piece = 1 + size_t(data[0]) * 97;
    std::span<const uint8_t> rest(data + 1, size - 1);
    auto reader = std::make_shared<Reader>();
    auto socket = QRVMessagingSecureSocket::make();
    socket->setDelegate(reader);
    while (!rest.empty()) {
        const size_t n = std::min(piece, rest.size());
        const bool ok = socket->receiveBytes(rest.first(n));
        rest = rest.subspan(n);
        require(socket->inputBufferCapacity() <= kQRVMessagingMaxBufferSize);  // the input buffer passed 1 MiB
        require(socket->inputBufferLength() <= socket->inputBufferCapacity());  // more bytes held than the buffer has
        if (!ok) break;
    }
    return 0;
}
