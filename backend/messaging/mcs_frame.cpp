// The channel's framing (mcs_server.h): tag, varint32 length, message.

#include "backend/messaging/mcs_server.h"

namespace backend::mcs {

std::string encodeFrame(uint8_t tag, std::string_view message) {
    std::string frame;
    frame.reserve(message.size() + 6);
    frame += char(tag);
    auto length = uint32_t(message.size());
    while (length >= 0x80) {
        frame += char((length & 0x7f) | 0x80);
        length >>= 7;
    }
    frame += char(length);
    frame.append(message);
    return frame;
}

FrameStatus readFrame(std::string_view bytes, uint8_t& tag, std::string& message, size_t& consumed) {
    if (bytes.empty()) return FrameStatus::Incomplete;
    tag = uint8_t(bytes[0]);
    if (tag >= 0x80) return FrameStatus::Corrupt;
    // A varint32: at most five groups of seven bits.
    uint64_t length = 0;
    size_t at = 1;
    for (int shift = 0;; shift += 7) {
        if (at >= bytes.size()) return FrameStatus::Incomplete;
        const auto byte = uint8_t(bytes[at++]);
        length |= uint64_t(byte & 0x7f) << shift;
        if (!(byte & 0x80)) break;
        if (shift == 28) return FrameStatus::Corrupt;
    }
    if (length > 0x7fffffffu) return FrameStatus::Corrupt;
    if (length > kMaxMessageBytes) return FrameStatus::TooLarge;
    if (bytes.size() - at < length) return FrameStatus::Incomplete;
    message.assign(bytes.substr(at, size_t(length)));
    consumed = at + size_t(length);
    return FrameStatus::Complete;
}

}  // namespace backend::mcs
