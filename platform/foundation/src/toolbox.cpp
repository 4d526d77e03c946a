#include "platform/toolbox.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <string>

#include "platform/format.h"

namespace {

void setError(ns::ErrorRef* out, long code, const std::string& what, const z_stream& zs) {
    if (!out) return;
    std::string reason = zs.msg ? zs.msg : zError(int(code));
    *out = ns::Error::make(kHTKToolboxErrorDomain, code, what, reason);
}

// zlib counts in uInt; feed very large inputs in slices.
constexpr size_t kSlice = size_t(1) << 30;

}  // namespace

ns::Data htk_dataByGzippingData(const ns::Data& data, ns::ErrorRef* error) {
    z_stream zs{};
    // windowBits 15 + 16 selects the gzip wrapper.
    int rc = deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
    if (rc != Z_OK) {
        setError(error, rc, "could not start gzip compression", zs);
        return {};
    }
    ns::Data out;
    out.resize(deflateBound(&zs, uLong(std::min(data.size(), kSlice))) + 64);
    size_t inPos = 0;
    size_t outPos = 0;
    for (;;) {
        size_t inChunk = std::min(data.size() - inPos, kSlice);
        zs.next_in = const_cast<Bytef*>(data.data() + inPos);
        zs.avail_in = uInt(inChunk);
        bool last = inPos + inChunk == data.size();
        do {
            if (outPos == out.size()) out.resize(out.size() * 2);
            size_t room = std::min(out.size() - outPos, kSlice);
            zs.next_out = out.data() + outPos;
            zs.avail_out = uInt(room);
            rc = deflate(&zs, last ? Z_FINISH : Z_NO_FLUSH);
            outPos += room - zs.avail_out;
            if (rc == Z_STREAM_ERROR) {
                setError(error, rc, "gzip compression failed", zs);
                deflateEnd(&zs);
                return {};
            }
        } while (zs.avail_out == 0 || (last && rc != Z_STREAM_END));
        inPos += inChunk;
        if (last) break;
    }
    deflateEnd(&zs);
    out.resize(outPos);
    return out;
}

ns::Data htk_dataByInflatingData(const ns::Data& data, ns::ErrorRef* error) {
    if (data.empty()) return {};
    z_stream zs{};
    // windowBits 15 + 32: detect a zlib or gzip header automatically.
    int rc = inflateInit2(&zs, 15 + 32);
    if (rc != Z_OK) {
        setError(error, rc, "could not start decompression", zs);
        return {};
    }
    ns::Data out;
    out.resize(std::min(std::max(data.size() * 4, size_t(4096)), kHTKToolboxMaxInflatedSize));
    size_t inPos = 0;
    size_t outPos = 0;
    for (;;) {
        if (zs.avail_in == 0 && inPos < data.size()) {
            size_t chunk = std::min(data.size() - inPos, kSlice);
            zs.next_in = const_cast<Bytef*>(data.data() + inPos);
            zs.avail_in = uInt(chunk);
            inPos += chunk;
        }
        if (outPos == out.size()) {
            if (out.size() >= kHTKToolboxMaxInflatedSize) {
                if (error)
                    *error = ns::Error::make(kHTKToolboxErrorDomain, kHTKToolboxErrorOutputTooLarge,
                                             ns::format("inflated data exceeds %zu bytes", kHTKToolboxMaxInflatedSize));
                inflateEnd(&zs);
                return {};
            }
            out.resize(std::min(out.size() * 2, kHTKToolboxMaxInflatedSize));
        }
        size_t room = std::min(out.size() - outPos, kSlice);
        zs.next_out = out.data() + outPos;
        zs.avail_out = uInt(room);
        rc = inflate(&zs, Z_NO_FLUSH);
        outPos += room - zs.avail_out;
        if (rc == Z_STREAM_END) {
            // Another gzip member may follow (gzip allows concatenation).
            size_t rest = zs.avail_in + (data.size() - inPos);
            if (rest == 0) break;
            const uint8_t* next = zs.next_in;
            if (rest >= 2 && next[0] == 0x1f && next[1] == 0x8b) {
                inflateReset(&zs);
                continue;
            }
            rc = Z_DATA_ERROR;
            if (error)
                *error = ns::Error::make(kHTKToolboxErrorDomain, rc, "decompression failed",
                                         "trailing garbage after the compressed stream");
            inflateEnd(&zs);
            return {};
        }
        if (rc == Z_BUF_ERROR && zs.avail_in == 0 && inPos == data.size() && zs.avail_out != 0) {
            // All input consumed with room left but no stream end: truncated.
            if (error) *error = ns::Error::make(kHTKToolboxErrorDomain, rc, "decompression failed", "truncated input");
            inflateEnd(&zs);
            return {};
        }
        if (rc != Z_OK && rc != Z_BUF_ERROR) {
            setError(error, rc, "decompression failed", zs);
            inflateEnd(&zs);
            return {};
        }
    }
    inflateEnd(&zs);
    out.resize(outPos);
    return out;
}
