#pragma once
// Reads the parts of one channel frame from the bytes received so far: the
// tag byte, the varint32 length and the message bytes. Each read either
// succeeds and advances or fails and leaves the position where it was, so a
// frame that has not fully arrived is simply tried again later.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/value.h"

class QRVMessagingCodedInputStream {
public:
    // Reads over a view; the bytes must outlive the stream.
    explicit QRVMessagingCodedInputStream(std::span<const uint8_t> buffer)
        : bytes_(buffer.data()), bufferSize_(buffer.size()) {}

    // The next raw byte as a signed tag; false when none is left.
    bool readTag(int8_t* tag);
    // A protobuf varint32 (the 10-byte form of a negative number too: its
    // five extra bytes are skipped); false when the bytes end first or after
    // ten bytes without an end.
    bool readLength(int32_t* length);
    // A copy of the next `length` bytes, or nothing (no advance) when fewer
    // remain.
    std::optional<ns::Data> readDataWithLength(uint32_t length);
    // The same without a copy: a view into the buffer.
    std::optional<std::span<const uint8_t>> readViewWithLength(uint32_t length);

    uint64_t offset() const { return bufferPos_; }

private:
    const uint8_t* bytes_;
    uint64_t bufferSize_;
    uint64_t bufferPos_ = 0;
};
