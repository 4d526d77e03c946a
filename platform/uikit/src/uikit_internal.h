#pragma once
// Shared between the UIKit stand-in's sources; not a public header.

#include <cairo.h>

#include <memory>

#include "uikit/UIControls.h"
#include "uikit/UIImage.h"

namespace ns {

// Holds one reference to an image surface. An opaque one has alpha 255 in
// every pixel, so its premultiplied pixels are the straight ones and it is
// drawn as it is.
struct UIImage::Surface {
    Surface(cairo_surface_t* held, bool opaque) : surface(held), opaque(opaque) {}
    ~Surface() { cairo_surface_destroy(surface); }
    Surface(const Surface&) = delete;
    Surface& operator=(const Surface&) = delete;
    cairo_surface_t* surface;
    bool opaque;
};

}  // namespace ns

namespace ns::uikit {

// Copies a Cairo image surface (ARGB32 premultiplied or RGB24) into an image.
std::shared_ptr<UIImage> imageFromSurface(cairo_surface_t* surface, double scale);
// An image keeping a reference to a surface nothing draws into any more; its
// RGBA is made on first use.
std::shared_ptr<UIImage> imageDrawnIn(cairo_surface_t* surface, double scale, bool opaque);
// One row of a surface as straight (not premultiplied) RGBA.
void unpremultiplyRow(const unsigned char* row, uint8_t* out, int width, cairo_format_t format);
// A new ARGB32 surface holding the image's pixels (the caller destroys it).
cairo_surface_t* surfaceFromImage(const UIImage& image);
// Draws the lines of a fitted text in `box`, centred vertically.
void drawTextFit(cairo_t* cr, const UITextFit& fit, const UIColor& color, NSTextAlignment alignment, CGRect box);

// UIKit is main-thread only; Debug builds raise
// NSInternalInconsistencyException naming `what` when called elsewhere.
void assertMainThreadChecked(const char* what);
inline void assertMainThread([[maybe_unused]] const char* what) {
#ifndef NDEBUG
    assertMainThreadChecked(what);
#endif
}

}  // namespace ns::uikit
