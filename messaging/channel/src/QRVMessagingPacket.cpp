#include "messaging/QRVMessagingPacket.h"

#include "messaging/QRVMessagingCodedInputStream.h"
#include "platform/format.h"

std::string QRVMessagingPacket::description() const {
    if (!rmqId_.empty()) {
        return ns::format("<Packet: Tag - %d, Length - %lu>, RmqId - %@", int(tag_), data_.size(), rmqId_);
    }
    return ns::format("<Packet: Tag - %d, Length - %lu>", int(tag_), data_.size());
}

std::shared_ptr<QRVMessagingPacket> QRVMessagingPacketQueue::pop() {
    if (packetsContainer_.empty()) return nullptr;
    auto packet = std::move(packetsContainer_.front());
    packetsContainer_.pop_front();
    return packet;
}

bool QRVMessagingCodedInputStream::readTag(int8_t* tag) {
    if (bufferPos_ >= bufferSize_) return false;
    *tag = static_cast<int8_t>(bytes_[bufferPos_++]);
    return true;
}

bool QRVMessagingCodedInputStream::readLength(int32_t* length) {
    uint64_t pos = bufferPos_;
    uint32_t value = 0;
    for (int i = 0; i < 10; ++i) {
        if (pos >= bufferSize_) return false;
        const uint8_t byte = bytes_[pos++];
        // Only the first five bytes carry bits of a 32-bit value; the rest
        // of a negative number's 10-byte form is sign extension.
        if (i < 5) value |= uint32_t(byte & 0x7f) << (7 * i);
        if (!(byte & 0x80)) {
            bufferPos_ = pos;
            *length = static_cast<int32_t>(value);
            return true;
        }
    }
    return false;
}

std::optional<std::span<const uint8_t>> QRVMessagingCodedInputStream::readViewWithLength(uint32_t length) {
    if (bufferSize_ - bufferPos_ < length) return std::nullopt;
    std::span<const uint8_t> view(bytes_ + bufferPos_, length);
    bufferPos_ += length;
    return view;
}

std::optional<ns::Data> QRVMessagingCodedInputStream::readDataWithLength(uint32_t length) {
    auto view = readViewWithLength(length);
    if (!view) return std::nullopt;
    return ns::Data(view->begin(), view->end());
}
