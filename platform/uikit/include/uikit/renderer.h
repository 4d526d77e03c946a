#pragma once
// Draws a layer tree into a bitmap with Cairo and Pango: backgrounds,
// rounded corners, borders, shadows, layer contents, images scaled by their
// view's content mode, label, field and button text in DejaVu Sans (as the
// view fits it: wrapped, shrunk, truncated last, and truncations reported
// to UITruncationRecorders), the spinner, table separators. One renderer
// serves the share action's screenshot, the script player's pictures and
// the browser page.
//
// The UIGraphics functions keep a stack of image contexts per thread, as
// UIKit does. Drawing reads the views, so call it on the main thread.

#include <memory>
#include <string>
#include <vector>

#include "uikit/UIImage.h"
#include "uikit/UIView.h"

namespace ns {

class UIWindow;

// A text drawn cut short ("…") because its view could not fit it.
struct UITruncatedText {
    std::weak_ptr<UIView> view;
    std::string viewName;  // the view's accessibilityIdentifier, else its class
    std::string text;      // the whole text
    std::string drawn;     // what was drawn, its lines joined by "\n"
};

// While it lives, hears of every text the renderer draws truncated on this
// thread (recorders nest: each hears everything).
class UITruncationRecorder {
public:
    UITruncationRecorder();
    ~UITruncationRecorder();
    UITruncationRecorder(const UITruncationRecorder&) = delete;
    UITruncationRecorder& operator=(const UITruncationRecorder&) = delete;
    const std::vector<UITruncatedText>& texts() const { return texts_; }
    void record(UITruncatedText text) { texts_.push_back(std::move(text)); }

private:
    std::vector<UITruncatedText> texts_;
};

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
