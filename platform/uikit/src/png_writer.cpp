// PNG written in bands of rows, each compressed on its own (a raw deflate
// stream ended by a sync flush, so the bands' bytes follow one another in
// one zlib stream), on several threads at once. A band's bytes depend on its
// own pixels only (its first row is filtered against its left neighbours,
// the others against the row above), so a frame encoder keeps each band of
// the last picture and compresses again only the bands whose pixels
// changed: a screen drawn again after a tap mostly differs in a few bands.
// The bytes are the same whichever way a band was had.

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "platform/parallel.h"
#include "uikit/UIImage.h"
#include "uikit_internal.h"

namespace ns {

namespace {

// 16 rows of a 750-pixel screen are 36 KB of RGB: large enough for deflate
// to find its matches, small enough that a change to one control leaves
// most bands as they were.
constexpr int kBandRows = 16;

// Where the pixels come from: a surface the renderer drew (premultiplied
// ARGB32 or RGB24 words) or an image's straight RGBA bytes.
struct Source {
    const unsigned char* base = nullptr;
    size_t stride = 0;
    cairo_format_t format = CAIRO_FORMAT_ARGB32;
    bool surface = false;
    int width = 0;
    int height = 0;

    const unsigned char* row(int y) const { return base + size_t(y) * stride; }
    size_t rowBytes() const { return size_t(width) * 4; }
};

bool everyPixelOpaque(const Source& src) {
    if (src.surface && src.format == CAIRO_FORMAT_RGB24) return true;
    for (int y = 0; y < src.height; ++y) {
        const unsigned char* row = src.row(y);
        uint32_t all = 0xFFFFFFFFu;
        if (src.surface) {
            for (int x = 0; x < src.width; ++x) {
                uint32_t px;
                std::memcpy(&px, row + size_t(x) * 4, 4);
                all &= px;
            }
            if ((all >> 24) != 0xFF) return false;
        } else {
            for (int x = 0; x < src.width; ++x) all &= row[size_t(x) * 4 + 3];
            if ((all & 0xFF) != 0xFF) return false;
        }
    }
    return true;
}

// One row as the PNG's pixels: RGB when the whole picture is opaque, else
// straight RGBA. (Plain pointers marked unaliased, so the loops run on
// whole vector registers.)
void pngRow(const Source& src, int y, bool rgb, uint8_t* __restrict out) {
    const unsigned char* __restrict row = src.row(y);
    const int width = src.width;
    if (!src.surface) {
        if (!rgb) {
            std::memcpy(out, row, size_t(width) * 4);
            return;
        }
        for (int x = 0; x < width; ++x) {
            out[3 * x] = row[4 * x];
            out[3 * x + 1] = row[4 * x + 1];
            out[3 * x + 2] = row[4 * x + 2];
        }
        return;
    }
    if (!rgb) {
        uikit::unpremultiplyRow(row, out, width, src.format);
        return;
    }
    // Opaque pixels are their own straight colour; Cairo's words are
    // 0xAARRGGBB, so B, G, R in memory on a little-endian machine.
    const auto* __restrict words = reinterpret_cast<const uint32_t*>(row);
    for (int x = 0; x < width; ++x) {
        const uint32_t px = words[x];
        out[3 * x] = uint8_t(px >> 16);
        out[3 * x + 1] = uint8_t(px >> 8);
        out[3 * x + 2] = uint8_t(px);
    }
}

void subFilter(uint8_t* __restrict out, const uint8_t* __restrict row, size_t bytes, size_t bpp) {
    for (size_t i = 0; i < bpp; ++i) out[i] = row[i];
    for (size_t i = bpp; i < bytes; ++i) out[i] = uint8_t(row[i] - row[i - bpp]);
}

void upFilter(uint8_t* __restrict out, const uint8_t* __restrict row, const uint8_t* __restrict above, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) out[i] = uint8_t(row[i] - above[i]);
}

struct Band {
    std::vector<uint8_t> pixels;      // the source rows it was made from
    std::vector<uint8_t> compressed;  // raw deflate, ends byte-aligned
    uLong adler = 1;                  // of the filtered rows
    size_t filteredBytes = 0;
};

// Per thread: the rows filtered and a deflate stream reset for each band.
class BandWorker {
public:
    explicit BandWorker(size_t rowBytes) : row_(rowBytes), previous_(rowBytes) {
        // Raw deflate at the fastest level: a picture for the page is made
        // again at every change, and a screen's flat runs compress well
        // even so.
        ok_ = deflateInit2(&stream_, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
    }
    ~BandWorker() {
        if (ok_) deflateEnd(&stream_);
    }
    BandWorker(const BandWorker&) = delete;
    BandWorker& operator=(const BandWorker&) = delete;

    bool make(const Source& src, bool rgb, int first, int rows, Band& band) {
        if (!ok_) return false;
        const size_t bpp = rgb ? 3 : 4;
        const size_t rowBytes = size_t(src.width) * bpp;
        filtered_.resize(size_t(rows) * (rowBytes + 1));
        uint8_t* out = filtered_.data();
        for (int r = 0; r < rows; ++r, out += rowBytes + 1) {
            pngRow(src, first + r, rgb, row_.data());
            if (r == 0) {
                out[0] = 1;  // Sub: the band's first row needs no row above it
                subFilter(out + 1, row_.data(), rowBytes, bpp);
            } else {
                out[0] = 2;  // Up
                upFilter(out + 1, row_.data(), previous_.data(), rowBytes);
            }
            row_.swap(previous_);
        }
        band.filteredBytes = filtered_.size();
        band.adler = adler32(1, filtered_.data(), uInt(filtered_.size()));
        if (deflateReset(&stream_) != Z_OK) return false;
        band.compressed.resize(deflateBound(&stream_, uLong(filtered_.size())) + 16);
        stream_.next_in = filtered_.data();
        stream_.avail_in = uInt(filtered_.size());
        size_t written = 0;
        for (;;) {
            stream_.next_out = band.compressed.data() + written;
            stream_.avail_out = uInt(band.compressed.size() - written);
            if (deflate(&stream_, Z_SYNC_FLUSH) == Z_STREAM_ERROR) return false;
            written = band.compressed.size() - stream_.avail_out;
            if (stream_.avail_out != 0 && stream_.avail_in == 0) break;
            band.compressed.resize(band.compressed.size() * 2);
        }
        band.compressed.resize(written);
        return true;
    }

private:
    z_stream stream_{};
    bool ok_ = false;
    std::vector<uint8_t> row_;
    std::vector<uint8_t> previous_;
    std::vector<uint8_t> filtered_;
};

void putBig32(Data& out, uint32_t v) {
    const uint8_t b[4] = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
    out.insert(out.end(), b, b + 4);
}

void putChunk(Data& out, const char type[4], const uint8_t* data, size_t length) {
    putBig32(out, uint32_t(length));
    const size_t start = out.size();
    out.insert(out.end(), type, type + 4);
    if (length) out.insert(out.end(), data, data + length);
    putBig32(out, uint32_t(crc32(0, out.data() + start, uInt(out.size() - start))));
}

Source sourceOf(const UIImage& image) {
    Source src;
    src.width = image.pixelWidth();
    src.height = image.pixelHeight();
    if (const UIImage::Surface* drawn = image.drawnSurface()) {
        src.surface = true;
        src.base = cairo_image_surface_get_data(drawn->surface);
        src.stride = size_t(cairo_image_surface_get_stride(drawn->surface));
        src.format = cairo_image_surface_get_format(drawn->surface);
    } else if (image.rgba().size() >= size_t(src.width) * size_t(src.height) * 4) {
        src.base = image.rgba().data();
        src.stride = src.rowBytes();
    }
    return src;
}

// The bands whose source rows differ from the kept ones; with `keep`, the
// kept rows become this picture's.
std::vector<size_t> changedBands(const Source& src, std::vector<Band>& bands, bool keep) {
    const size_t sourceRowBytes = src.rowBytes();
    std::vector<size_t> changed;
    for (size_t b = 0; b < bands.size(); ++b) {
        const int first = int(b) * kBandRows;
        const int rows = std::min(kBandRows, src.height - first);
        Band& band = bands[b];
        bool same = band.pixels.size() == size_t(rows) * sourceRowBytes;
        for (int r = 0; same && r < rows; ++r) {
            same = std::memcmp(band.pixels.data() + size_t(r) * sourceRowBytes, src.row(first + r), sourceRowBytes) == 0;
        }
        if (same) continue;
        changed.push_back(b);
        if (!keep) continue;
        band.pixels.resize(size_t(rows) * sourceRowBytes);
        for (int r = 0; r < rows; ++r) {
            std::memcpy(band.pixels.data() + size_t(r) * sourceRowBytes, src.row(first + r), sourceRowBytes);
        }
    }
    return changed;
}

// Filters and compresses the changed bands again; false when one failed.
bool compressBands(const Source& src, bool rgb, const std::vector<size_t>& changed, std::vector<Band>& bands) {
    std::atomic<bool> failed{false};
    // At most four threads, and about four bands a thread at least: a
    // thread costs more to start than a band or two costs to compress.
    const auto threads = unsigned(std::clamp<size_t>((changed.size() + 3) / 4, 1, std::min(parallel::threadCount(), 4u)));
    parallel::runPerThread(threads, changed.size(), 1, [&] {
        auto worker = std::make_shared<BandWorker>(size_t(src.width) * 4);
        return std::function<void(size_t)>([&, worker](size_t i) {
            const size_t b = changed[i];
            const int first = int(b) * kBandRows;
            if (!worker->make(src, rgb, first, std::min(kBandRows, src.height - first), bands[b])) failed = true;
        });
    });
    return !failed;
}

// The PNG file around the compressed bands.
Data assemble(const std::vector<Band>& bands, int width, int height, bool rgb) {
    Data out;
    size_t compressedBytes = 0;
    for (const Band& band : bands) compressedBytes += band.compressed.size();
    out.reserve(compressedBytes + 128);
    static const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    out.insert(out.end(), kSignature, kSignature + 8);
    const uint32_t w = uint32_t(width);
    const uint32_t h = uint32_t(height);
    // 8 bits a channel, RGB or RGBA, deflate, adaptive filters, no interlace.
    const uint8_t header[13] = {uint8_t(w >> 24), uint8_t(w >> 16), uint8_t(w >> 8), uint8_t(w),
                                uint8_t(h >> 24), uint8_t(h >> 16), uint8_t(h >> 8), uint8_t(h),
                                8, uint8_t(rgb ? 2 : 6), 0, 0, 0};
    putChunk(out, "IHDR", header, sizeof header);

    // The zlib stream: its header (deflate, 32 KB window, fastest), the
    // bands, an empty final block, the Adler-32 of every filtered row.
    std::vector<uint8_t> stream;
    stream.reserve(compressedBytes + 8);
    stream.push_back(0x78);
    stream.push_back(0x01);
    uLong adler = 1;
    for (const Band& band : bands) {
        stream.insert(stream.end(), band.compressed.begin(), band.compressed.end());
        adler = adler32_combine(adler, band.adler, z_off_t(band.filteredBytes));
    }
    stream.push_back(0x03);
    stream.push_back(0x00);
    const uint32_t a = uint32_t(adler);
    const uint8_t trailer[4] = {uint8_t(a >> 24), uint8_t(a >> 16), uint8_t(a >> 8), uint8_t(a)};
    stream.insert(stream.end(), trailer, trailer + 4);
    putChunk(out, "IDAT", stream.data(), stream.size());
    putChunk(out, "IEND", nullptr, 0);
    return out;
}

}  // namespace

struct PNGFrameEncoder::Kept {
    int width = 0;
    int height = 0;
    bool rgb = false;
    bool surface = false;
    cairo_format_t format = CAIRO_FORMAT_ARGB32;
    std::vector<Band> bands;
};

PNGFrameEncoder::PNGFrameEncoder() : kept_(std::make_unique<Kept>()) {}
PNGFrameEncoder::~PNGFrameEncoder() = default;

Data PNGFrameEncoder::encode(const UIImage& image) { return encode(image, true); }

Data PNGFrameEncoder::encode(const UIImage& image, bool keep) {
    const Source src = sourceOf(image);
    if (src.width <= 0 || src.height <= 0 || !src.base) return {};
    if (src.surface && src.format != CAIRO_FORMAT_ARGB32 && src.format != CAIRO_FORMAT_RGB24) return {};
    const bool rgb = everyPixelOpaque(src);
    Kept& kept = *kept_;
    const size_t bandCount = (size_t(src.height) + kBandRows - 1) / kBandRows;
    // Kept bands are compared by their source bytes, so only a picture of
    // the same size, kind and pixel layout can reuse them.
    if (kept.width != src.width || kept.height != src.height || kept.rgb != rgb || kept.surface != src.surface ||
        kept.format != src.format || kept.bands.size() != bandCount) {
        kept = Kept{src.width, src.height, rgb, src.surface, src.format, std::vector<Band>(bandCount)};
    }
    const std::vector<size_t> changed = changedBands(src, kept.bands, keep);
    if (!compressBands(src, rgb, changed, kept.bands)) {
        kept = Kept{};
        return {};
    }
    return assemble(kept.bands, src.width, src.height, rgb);
}

Data UIImagePNGRepresentation(const UIImage& image) { return PNGFrameEncoder().encode(image, false); }

}  // namespace ns
