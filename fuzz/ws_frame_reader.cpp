// The web socket's frame reader over whatever a server could send after the
// handshake: frame headers, lengths, masks, fragments, control frames,
// close payloads and text of any shape, fed in pieces of varying size.
//
// Input: the first byte picks the piece size, the rest is the byte stream.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "database/connection/FSRWebSocket.h"
#include "platform/no_destructor.h"

namespace {

class Sink : public FSRWebSocketDelegate {
public:
    void webSocket(const std::shared_ptr<FSRWebSocket>&, const ns::Value& message) override {
        // Text must reach the delegate as valid UTF-8 only.
        if (message.isString()) bytes += message.asString().size();
        if (message.isData()) bytes += message.asData().size();
    }
    void webSocket(const std::shared_ptr<FSRWebSocket>&, int64_t, const std::optional<std::string>&, bool) override {
        ++closes;
    }
    size_t bytes = 0;
    int closes = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const ns::NoDestructor<ns::DispatchQueuePtr> delegates(ns::DispatchQueue::serial("fuzz.delegate"));
    const ns::DispatchQueuePtr& delegateQueue = *delegates;
    if (size == 0) return 0;
    auto sink = std::make_shared<Sink>();
    auto socket = FSRWebSocket::makeFrameReaderForTesting(delegateQueue);
    socket->setDelegate(sink);
    // Small enough that the size limit is reached, large enough for real messages.
    socket->setMaximumMessageSize(1 << 20);

    const size_t piece = size_t(data[0] % 64) + 1;
    for (size_t at = 1; at < size; at += piece) {
        const size_t n = std::min(piece, size - at);
        socket->feedBytesForTesting(ns::Data(data + at, data + at + n));
    }
    // Work posts delegate blocks, which post work again (pongs, closes).
    for (int round = 0; round < 4; ++round) {
        socket->drainWorkQueueForTesting();
        delegateQueue->sync([] {});
    }
    socket->takeOutputForTesting();
    return 0;
}
