#pragma once
// Draws a layer tree into a bitmap with Cairo and Pango: backgrounds,
// rounded corners, borders, shadows, layer contents, images scaled by their
// view's content mode, label, field and button text in DejaVu Sans, the
// spinner, table separators. One renderer serves the share action's
// screenshot, the script player's pictures and the browser page.
//
// The UIGraphics functions keep a stack of image contexts per thread, as
// UIKit does. Drawing reads the views, so call it on the main thread.

#include <memory>

#include "uikit/UIImage.h"
#include "uikit/UIView.h"

namespace ns {

class UIWindow;

// The layer and everything under it, in the layer's own coordinates, at
// `scale` pixels per point. Transparent where nothing is drawn unless
// `opaque` (then white).
std::shared_ptr<UIImage> renderLayer(const CALayer& layer, double scale, bool opaque = false);
// The window after a layout pass, at the screen's scale (750 x 1334 pixels).
std::shared_ptr<UIImage> snapshotWindow(UIWindow& window);

using CGContextRef = CGContext*;

void UIGraphicsBeginImageContextWithOptions(CGSize size, bool opaque, double scale);
// nullptr when no image context is open on this thread.
CGContextRef UIGraphicsGetCurrentContext();
// nullptr when no image context is open.
std::shared_ptr<UIImage> UIGraphicsGetImageFromCurrentImageContext();
void UIGraphicsEndImageContext();

}  // namespace ns
