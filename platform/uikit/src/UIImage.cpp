#include "uikit/UIImage.h"

#include <cairo.h>
#include <turbojpeg.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>

#include "platform/atomic_file.h"
#include "platform/bundle.h"
#include "platform/error.h"
#include "platform/format.h"
#include "platform/sandbox.h"
#include "uikit_internal.h"

namespace ns {

namespace {

struct ReadCursor {
    const Data* data;
    size_t at = 0;
};

cairo_status_t readPng(void* closure, unsigned char* out, unsigned int length) {
    auto* cursor = static_cast<ReadCursor*>(closure);
    if (cursor->data->size() - cursor->at < length) return CAIRO_STATUS_READ_ERROR;
    std::memcpy(out, cursor->data->data() + cursor->at, length);
    cursor->at += length;
    return CAIRO_STATUS_SUCCESS;
}

bool isPng(const Data& d) {
    static const uint8_t magic[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    return d.size() >= 8 && std::equal(magic, magic + 8, d.begin());
}

bool isJpeg(const Data& d) { return d.size() >= 3 && d[0] == 0xFF && d[1] == 0xD8 && d[2] == 0xFF; }

std::shared_ptr<UIImage> decodePng(const Data& data, double scale) {
    ReadCursor cursor{&data};
    cairo_surface_t* surface = cairo_image_surface_create_from_png_stream(readPng, &cursor);
    std::shared_ptr<UIImage> image;
    if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS) {
        image = uikit::imageFromSurface(surface, scale);
    }
    cairo_surface_destroy(surface);
    return image;
}

// An ARGB32 surface whose pixels are not cleared first, for a decoder that
// writes every one of them: Cairo's own zero-fills a buffer that is then
// overwritten whole. An error surface when there is no memory for it.
cairo_surface_t* uninitializedSurface(int width, int height) {
    static cairo_user_data_key_t pixelsKey;
    const int stride = cairo_format_stride_for_width(CAIRO_FORMAT_ARGB32, width);
    auto* pixels = static_cast<unsigned char*>(std::malloc(size_t(stride) * size_t(height)));
    if (!pixels) return cairo_image_surface_create(CAIRO_FORMAT_INVALID, 0, 0);
    cairo_surface_t* surface = cairo_image_surface_create_for_data(pixels, CAIRO_FORMAT_ARGB32, width, height, stride);
    if (cairo_surface_set_user_data(surface, &pixelsKey, pixels, std::free) != CAIRO_STATUS_SUCCESS) {
        // An error surface keeps no user data: the pixels are ours to free.
        std::free(pixels);
    }
    return surface;
}

// A JPEG has no transparency: decoded straight into a surface in Cairo's
// layout (bytes B, G, R, 255 on a little-endian machine), it is drawn as it
// is and made RGBA only if asked for.
std::shared_ptr<UIImage> decodeJpeg(const Data& data, double scale) {
    tjhandle handle = tjInitDecompress();
    if (!handle) return nullptr;
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colorspace = 0;
    std::shared_ptr<UIImage> image;
    if (tjDecompressHeader3(handle, data.data(), static_cast<unsigned long>(data.size()), &width, &height,
                            &subsampling, &colorspace) == 0 &&
        width > 0 && height > 0 && width <= 16384 && height <= 16384) {
        if constexpr (std::endian::native == std::endian::little) {
            cairo_surface_t* surface = uninitializedSurface(width, height);
            auto held = std::make_shared<const UIImage::Surface>(surface, true);
            if (cairo_surface_status(surface) == CAIRO_STATUS_SUCCESS &&
                tjDecompress2(handle, data.data(), static_cast<unsigned long>(data.size()),
                              cairo_image_surface_get_data(surface), width, cairo_image_surface_get_stride(surface),
                              height, TJPF_BGRA, TJFLAG_ACCURATEDCT) == 0) {
                cairo_surface_mark_dirty(surface);
                image = std::make_shared<UIImage>(std::move(held), scale);
            }
        } else {
            std::vector<uint8_t> rgba(size_t(width) * size_t(height) * 4);
            if (tjDecompress2(handle, data.data(), static_cast<unsigned long>(data.size()), rgba.data(), width, 0,
                              height, TJPF_RGBA, TJFLAG_ACCURATEDCT) == 0) {
                image = std::make_shared<UIImage>(width, height, std::move(rgba), scale);
            }
        }
    }
    tjDestroy(handle);
    return image;
}

std::optional<Data> readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    return Data(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

namespace uikit {

void unpremultiplyRow(const unsigned char* src, uint8_t* out, int width, cairo_format_t format) {
    const auto* row = reinterpret_cast<const uint32_t*>(src);
    const bool opaque = format == CAIRO_FORMAT_RGB24;
    for (int x = 0; x < width; ++x, out += 4) {
        const uint32_t px = row[x];
        const uint8_t a = opaque ? 255 : uint8_t(px >> 24);
        uint8_t r = uint8_t(px >> 16);
        uint8_t g = uint8_t(px >> 8);
        uint8_t b = uint8_t(px);
        // Cairo keeps colour premultiplied by alpha.
        if (a != 0 && a != 255) {
            r = uint8_t(std::min(255, (r * 255 + a / 2) / a));
            g = uint8_t(std::min(255, (g * 255 + a / 2) / a));
            b = uint8_t(std::min(255, (b * 255 + a / 2) / a));
        }
        out[0] = r;
        out[1] = g;
        out[2] = b;
        out[3] = a;
    }
}

std::shared_ptr<UIImage> imageFromSurface(cairo_surface_t* surface, double scale) {
    cairo_surface_flush(surface);
    const int width = cairo_image_surface_get_width(surface);
    const int height = cairo_image_surface_get_height(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    const unsigned char* src = cairo_image_surface_get_data(surface);
    if (!src || width <= 0 || height <= 0) return nullptr;
    std::vector<uint8_t> rgba(size_t(width) * size_t(height) * 4);
    for (int y = 0; y < height; ++y) {
        unpremultiplyRow(src + size_t(y) * size_t(stride), &rgba[size_t(y) * size_t(width) * 4], width,
                         cairo_image_surface_get_format(surface));
    }
    return std::make_shared<UIImage>(width, height, std::move(rgba), scale);
}

std::shared_ptr<UIImage> imageDrawnIn(cairo_surface_t* surface, double scale, bool opaque) {
    cairo_surface_flush(surface);
    if (!cairo_image_surface_get_data(surface) || cairo_image_surface_get_width(surface) <= 0 ||
        cairo_image_surface_get_height(surface) <= 0) {
        return nullptr;
    }
    return std::make_shared<UIImage>(
        std::make_shared<const UIImage::Surface>(cairo_surface_reference(surface), opaque), scale);
}

cairo_surface_t* surfaceFromImage(const UIImage& image) {
    cairo_surface_t* surface =
        cairo_image_surface_create(CAIRO_FORMAT_ARGB32, image.pixelWidth(), image.pixelHeight());
    const int stride = cairo_image_surface_get_stride(surface);
    unsigned char* dst = cairo_image_surface_get_data(surface);
    const auto& rgba = image.rgba();
    for (int y = 0; y < image.pixelHeight(); ++y) {
        auto* row = reinterpret_cast<uint32_t*>(dst + size_t(y) * size_t(stride));
        for (int x = 0; x < image.pixelWidth(); ++x) {
            const uint8_t* p = &rgba[(size_t(y) * size_t(image.pixelWidth()) + size_t(x)) * 4];
            const uint32_t a = p[3];
            if (a == 255) {  // a photo's every pixel: the colour as it is
                row[x] = 0xFF000000u | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
                continue;
            }
            const uint32_t r = (p[0] * a + 127) / 255;
            const uint32_t g = (p[1] * a + 127) / 255;
            const uint32_t b = (p[2] * a + 127) / 255;
            row[x] = (a << 24) | (r << 16) | (g << 8) | b;
        }
    }
    cairo_surface_mark_dirty(surface);
    return surface;
}

}  // namespace uikit

UIImage::UIImage(int pixelWidth, int pixelHeight, std::vector<uint8_t> rgba, double scale)
    : width_(pixelWidth), height_(pixelHeight), rgba_(std::move(rgba)), scale_(scale > 0 ? scale : 1) {
    if (width_ <= 0 || height_ <= 0 || rgba_.size() != size_t(width_) * size_t(height_) * 4) {
        Exception::raise(kInvalidArgumentException,
                         format("UIImage: %d x %d pixels need %zu bytes of RGBA, got %zu", width_, height_,
                                size_t(std::max(width_, 0)) * size_t(std::max(height_, 0)) * 4, rgba_.size()));
    }
}

UIImage::UIImage(std::shared_ptr<const Surface> drawn, double scale)
    : width_(cairo_image_surface_get_width(drawn->surface)),
      height_(cairo_image_surface_get_height(drawn->surface)),
      scale_(scale > 0 ? scale : 1),
      drawn_(std::move(drawn)) {}

std::vector<uint8_t> UIImage::rgbaFromDrawn() const {
    // Every byte is written below: no zero-filled buffer first.
    std::vector<uint8_t> rgba;
    rgba.reserve(size_t(width_) * size_t(height_) * 4);
    std::vector<uint8_t> row(size_t(width_) * 4);
    cairo_surface_t* surface = drawn_->surface;
    const unsigned char* src = cairo_image_surface_get_data(surface);
    const size_t stride = size_t(cairo_image_surface_get_stride(surface));
    for (int y = 0; y < height_; ++y) {
        uikit::unpremultiplyRow(src + size_t(y) * stride, row.data(), width_, cairo_image_surface_get_format(surface));
        rgba.insert(rgba.end(), row.begin(), row.end());
    }
    return rgba;
}

const UIImage::Surface& UIImage::drawable() const {
    if (drawn_ && drawn_->opaque) return *drawn_;
    std::call_once(drawableOnce_,
                   [this] { drawable_ = std::make_shared<const Surface>(uikit::surfaceFromImage(*this), false); });
    return *drawable_;
}

std::shared_ptr<UIImage> UIImage::initWithData(const Data& data, double scale) {
    std::shared_ptr<UIImage> image = isPng(data)    ? decodePng(data, scale)
                                     : isJpeg(data) ? decodeJpeg(data, scale)
                                                    : nullptr;
    if (image) image->encoded_ = std::make_shared<const Data>(data);
    return image;
}

std::shared_ptr<UIImage> UIImage::imageWithContentsOfFile(const std::string& path) {
    auto bytes = readWholeFile(path);
    if (!bytes) return nullptr;
    const std::string stem = std::filesystem::path(path).stem().string();
    const double scale = stem.size() > 3 && stem.compare(stem.size() - 3, 3, "@3x") == 0   ? 3
                         : stem.size() > 3 && stem.compare(stem.size() - 3, 3, "@2x") == 0 ? 2
                                                                                           : 1;
    return initWithData(*bytes, scale);
}

std::shared_ptr<UIImage> UIImage::imageNamed(const std::string& name) {
    if (name.empty()) return nullptr;
    const std::string root = Bundle::mainBundle()->resourcePath();
    std::vector<std::string> candidates;
    if (std::filesystem::path(name).has_extension()) {
        candidates.push_back(name);
    }
    for (const char* suffix : {"@2x.png", ".png", "@2x.jpg", ".jpg", ".jpeg"}) candidates.push_back(name + suffix);
    for (const auto& candidate : candidates) {
        const std::string path = root + "/" + candidate;
        std::error_code ec;
        if (std::filesystem::is_regular_file(path, ec)) {
            if (auto image = imageWithContentsOfFile(path)) return image;
        }
    }
    return nullptr;
}

std::shared_ptr<UIImage> UIImage::filled(CGSize size, UIColor color, double scale) {
    const int w = std::max(1, int(std::lround(size.width * scale)));
    const int h = std::max(1, int(std::lround(size.height * scale)));
    auto channel = [](double v) { return uint8_t(std::clamp(std::lround(v * 255), 0L, 255L)); };
    const uint8_t px[4] = {channel(color.red()), channel(color.green()), channel(color.blue()), channel(color.alpha())};
    std::vector<uint8_t> rgba(size_t(w) * size_t(h) * 4);
    for (size_t i = 0; i < rgba.size(); i += 4) std::memcpy(&rgba[i], px, 4);
    return std::make_shared<UIImage>(w, h, std::move(rgba), scale);
}

std::array<uint8_t, 4> UIImage::pixelAt(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) {
        Exception::raise("NSRangeException", format("pixel (%d, %d) outside %d x %d", x, y, width_, height_));
    }
    const uint8_t* p = &rgba()[(size_t(y) * size_t(width_) + size_t(x)) * 4];
    return {p[0], p[1], p[2], p[3]};
}

std::string UIImage::description() const {
    return format("<UIImage: size {%g, %g}, scale %g>", size().width, size().height, scale_);
}

Data UIImageJPEGRepresentation(const UIImage& image, double quality) {
    tjhandle handle = tjInitCompress();
    if (!handle) return {};
    const int q = int(std::lround(std::clamp(quality, 0.0, 1.0) * 100));
    unsigned char* out = nullptr;
    unsigned long size = 0;
    Data result;
    // JPEG has no alpha: transparent pixels are flattened onto white, as a
    // phone's JPEG encoder does for a picture with transparency.
    std::vector<uint8_t> flat(image.rgba());
    for (size_t i = 0; i < flat.size(); i += 4) {
        const unsigned a = flat[i + 3];
        for (int c = 0; c < 3; ++c) flat[i + size_t(c)] = uint8_t((flat[i + size_t(c)] * a + 255 * (255 - a) + 127) / 255);
        flat[i + 3] = 255;
    }
    if (tjCompress2(handle, flat.data(), image.pixelWidth(), 0, image.pixelHeight(), TJPF_RGBA, &out, &size,
                    TJSAMP_420, std::max(1, q), TJFLAG_ACCURATEDCT) == 0) {
        result.assign(out, out + size);
    }
    if (out) tjFree(out);
    tjDestroy(handle);
    return result;
}

namespace {
std::mutex& albumMutex() {
    static std::mutex m;
    return m;
}
std::string albumPath() { return Sandbox::current()->rootPath() + "/Media/DCIM"; }
}  // namespace

void UIImageWriteToSavedPhotosAlbum(const std::shared_ptr<UIImage>& image) {
    if (!image) return;
    // Kept losslessly as PNG, as the phone keeps a picture drawn by the app
    // (a screenshot's text stays sharp).
    Data png = UIImagePNGRepresentation(*image);
    if (png.empty()) return;
    std::lock_guard lock(albumMutex());
    const std::string dir = albumPath();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    // Names continue after the highest one present, like the camera roll.
    size_t next = 1;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string stem = entry.path().stem().string();
        if (stem.rfind("IMG_", 0) == 0) next = std::max(next, size_t(std::strtoul(stem.c_str() + 4, nullptr, 10)) + 1);
    }
    ErrorRef error;
    writeFileAtomically(format("%s/IMG_%04zu.PNG", dir.c_str(), next), png, 0600, &error);
}

std::vector<std::string> UIPhotoAlbum::savedPicturePaths() {
    std::lock_guard lock(albumMutex());
    std::vector<std::string> paths;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(albumPath(), ec)) {
        const auto ext = entry.path().extension();
        if (ext == ".PNG" || ext == ".JPG") paths.push_back(entry.path().string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

}  // namespace ns
