#pragma once
// Shared between the UIKit stand-in's sources; not a public header.

#include <cairo.h>

#include <memory>

#include "uikit/UIControls.h"
#include "uikit/UIImage.h"

namespace ns::uikit {

// Copies a Cairo image surface (ARGB32 premultiplied or RGB24) into an image.
std::shared_ptr<UIImage> imageFromSurface(cairo_surface_t* surface, double scale);
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
