#pragma once
// UIImage stand-in: a bitmap of 8-bit RGBA pixels (not premultiplied, rows
// top to bottom) with a scale (pixels per point). Images are immutable once
// made and may be shared between threads.
//
// Decoding: PNG through Cairo, JPEG through libjpeg-turbo; anything else is
// not a picture (nullptr). Encoding: UIImageJPEGRepresentation with a
// quality in 0...1 and UIImagePNGRepresentation (RGB when every pixel is
// opaque, else RGBA).
//
// imageNamed looks in the main bundle's resources for "<name>@2x.png",
// "<name>.png", "<name>.jpg" and "<name>.jpeg" (or the name as given when it
// has an extension); "@2x" files get scale 2.

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/value.h"
#include "uikit/UIColor.h"
#include "uikit/geometry.h"

namespace ns {

class UIImage : public Object {
public:
    // `rgba` holds pixelWidth * pixelHeight * 4 bytes; raises
    // NSInvalidArgumentException otherwise.
    UIImage(int pixelWidth, int pixelHeight, std::vector<uint8_t> rgba, double scale = 1);
    // A Cairo surface the UIKit stand-in owns a reference to (its
    // definition is internal to it).
    struct Surface;
    // A picture kept in a Cairo surface (a screen the renderer drew, a
    // decoded JPEG) and made RGBA on first use: a screen drawn only to be
    // encoded as PNG, or a photo only to be shown, is never copied whole.
    UIImage(std::shared_ptr<const Surface> drawn, double scale);
    UIImage(const UIImage&) = delete;
    UIImage& operator=(const UIImage&) = delete;

    static std::shared_ptr<UIImage> imageNamed(const std::string& name);
    // PNG or JPEG bytes; nullptr when they are no picture.
    static std::shared_ptr<UIImage> initWithData(const Data& data, double scale = 1);
    static std::shared_ptr<UIImage> imageWithContentsOfFile(const std::string& path);
    // One colour everywhere (test pictures, placeholders).
    static std::shared_ptr<UIImage> filled(CGSize sizeInPoints, UIColor color, double scale = 1);

    // In points.
    CGSize size() const { return {width_ / scale_, height_ / scale_}; }
    double scale() const { return scale_; }
    int pixelWidth() const { return width_; }
    int pixelHeight() const { return height_; }
    const std::vector<uint8_t>& rgba() const {
        if (drawn_) std::call_once(rgbaOnce_, [this] { rgba_ = rgbaFromDrawn(); });
        return rgba_;
    }
    // The surface the image was made in, else nullptr.
    const Surface* drawnSurface() const { return drawn_.get(); }
    // The pixels premultiplied for drawing, made once (images never change).
    const Surface& drawable() const;
    // {r, g, b, a} of one pixel; raises NSRangeException outside the bitmap.
    std::array<uint8_t, 4> pixelAt(int x, int y) const;
    // The PNG or JPEG bytes the image was decoded from, else nullptr.
    const Data* encodedBytes() const { return encoded_.get(); }

    std::string className() const override { return "UIImage"; }
    std::string description() const override;

private:
    std::vector<uint8_t> rgbaFromDrawn() const;

    int width_;
    int height_;
    mutable std::vector<uint8_t> rgba_;
    double scale_;
    std::shared_ptr<const Surface> drawn_;
    mutable std::once_flag rgbaOnce_;
    mutable std::once_flag drawableOnce_;
    mutable std::shared_ptr<const Surface> drawable_;
    std::shared_ptr<const Data> encoded_;
};

// Empty Data when the image cannot be encoded. `quality` is clamped to 0...1.
Data UIImageJPEGRepresentation(const UIImage& image, double quality);
Data UIImagePNGRepresentation(const UIImage& image);

// Encodes pictures one after another (the page's screen at each change) to
// the same bytes as UIImagePNGRepresentation, compressing again only the
// bands of rows that differ from the last picture it encoded. One thread at
// a time; it keeps a copy of the last picture's pixels.
class PNGFrameEncoder {
public:
    PNGFrameEncoder();
    ~PNGFrameEncoder();
    PNGFrameEncoder(const PNGFrameEncoder&) = delete;
    PNGFrameEncoder& operator=(const PNGFrameEncoder&) = delete;

    // Empty Data when the image cannot be encoded.
    Data encode(const UIImage& image);

private:
    friend Data UIImagePNGRepresentation(const UIImage& image);
    Data encode(const UIImage& image, bool keep);
    struct Kept;
    std::unique_ptr<Kept> kept_;
};

// The device's photo album: each picture is kept as a PNG file under the
// sandbox's Media/DCIM folder. Main thread or any: the album locks itself.
void UIImageWriteToSavedPhotosAlbum(const std::shared_ptr<UIImage>& image);
class UIPhotoAlbum {
public:
    // The paths of the saved pictures, oldest first.
    static std::vector<std::string> savedPicturePaths();
};

}  // namespace ns
