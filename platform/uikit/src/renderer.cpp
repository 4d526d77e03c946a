#include "uikit/renderer.h"

#include <cairo.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "platform/thread_owned.h"
#include "uikit/UIControls.h"
#include "uikit/UITableView.h"
#include "uikit/UIWindow.h"
#include "uikit_internal.h"

namespace ns {

struct CGContext {
    cairo_surface_t* surface = nullptr;
    cairo_t* cr = nullptr;
    double scale = 1;
};

namespace {

std::vector<UITruncationRecorder*>& truncationRecorders() {
    thread_local std::vector<UITruncationRecorder*>* recorders = nullptr;
    return threadOwned(recorders);
}

// A frame drawn over a cover, as what each drawn layer paints: a key made
// of everything its drawing reads, and the whole pixels it may touch. A
// frame drawn into the bitmap of the last one over a cover of the same
// colour is not drawn at all when the two lists agree; otherwise only the
// last frame's pixels are painted back to the cover's colour (not the whole
// bitmap) before the frame is drawn over them. (Drawing only the pixels
// that differ, under a clip, would be cheaper still, but Cairo does not
// always draw a glyph the same under a clip of many rectangles.)
struct PixelRect {
    int x0, y0, x1, y1;
};

struct FrameEntry {
    std::string key;
    std::vector<PixelRect> boxes;
};

struct FrameList {
    std::vector<FrameEntry> entries;
    // The pictures the keys name by address, held so that no other picture
    // takes an address while a kept list names it.
    std::vector<std::shared_ptr<const UIImage>> pictures;
};

// The cover whose background the bitmap already holds where nothing else
// was painted; nullptr while a frame is drawn whole.
const CALayer*& keptCover() {
    thread_local const CALayer* cover = nullptr;
    return cover;
}

// Whether two pictures have the same pixels (a photo downloaded again).
bool samePixels(const UIImage& a, const UIImage& b) {
    if (a.pixelWidth() != b.pixelWidth() || a.pixelHeight() != b.pixelHeight() || a.scale() != b.scale()) return false;
    // Decoded from the same bytes, they have the same pixels: a photo's file
    // is a small part of its pixels' size.
    const Data* bytesA = a.encodedBytes();
    const Data* bytesB = b.encodedBytes();
    if (bytesA && bytesB && *bytesA == *bytesB) return true;
    cairo_surface_t* sa = a.drawable().surface;
    cairo_surface_t* sb = b.drawable().surface;
    const size_t row = size_t(a.pixelWidth()) * 4;
    for (int y = 0; y < a.pixelHeight(); ++y) {
        if (std::memcmp(cairo_image_surface_get_data(sa) + size_t(y) * size_t(cairo_image_surface_get_stride(sa)),
                        cairo_image_surface_get_data(sb) + size_t(y) * size_t(cairo_image_surface_get_stride(sb)),
                        row) != 0) {
            return false;
        }
    }
    return true;
}

class KeyWriter {
public:
    // A picture with the same pixels as one `before` names is written as
    // that one, so a screen showing a photo downloaded again is unchanged.
    KeyWriter(std::string& out, FrameList& frame, const FrameList* before = nullptr)
        : out_(out), frame_(frame), before_(before) {}
    KeyWriter& operator<<(double v) { return raw(&v, sizeof v); }
    KeyWriter& operator<<(bool v) { return raw(&v, sizeof v); }
    KeyWriter& operator<<(int v) { return raw(&v, sizeof v); }
    KeyWriter& operator<<(const std::string& v) {
        *this << int(v.size());
        out_.append(v);
        return *this;
    }
    KeyWriter& operator<<(const UIColor& c) { return *this << c.red() << c.green() << c.blue() << c.alpha(); }
    KeyWriter& operator<<(CGRect r) { return *this << r.minX() << r.minY() << r.width() << r.height(); }
    KeyWriter& operator<<(const UIFont& f) { return *this << f.pointSize << f.bold; }
    KeyWriter& operator<<(const std::shared_ptr<UIImage>& image) {
        std::shared_ptr<const UIImage> named = image;
        if (image && before_) {
            for (const auto& earlier : before_->pictures) {
                if (earlier == image || samePixels(*earlier, *image)) {
                    named = earlier;
                    break;
                }
            }
        }
        const void* address = named.get();
        if (named) frame_.pictures.push_back(named);
        return raw(&address, sizeof address);
    }

private:
    KeyWriter& raw(const void* p, size_t n) {
        out_.append(static_cast<const char*>(p), n);
        return *this;
    }
    std::string& out_;
    FrameList& frame_;
    const FrameList* before_;
};

// Everything drawViewContent reads of a view of a known kind (the text
// fits follow from what is written here); false for other views.
bool writeViewContent(KeyWriter& key, const UIView& view) {
    if (auto* label = dynamic_cast<const UILabel*>(&view)) {
        key << 1 << label->text() << label->font() << label->numberOfLines() << label->adjustsFontSizeToFitWidth()
            << label->minimumScaleFactor() << label->textColor() << int(label->textAlignment());
    } else if (auto* field = dynamic_cast<const UITextField*>(&view)) {
        key << 2 << int(field->borderStyle()) << field->backgroundColor() << field->text() << field->displayText()
            << field->placeholder() << field->font() << field->textColor() << int(field->textAlignment())
            << field->isFirstResponder();
    } else if (auto* button = dynamic_cast<const UIButton*>(&view)) {
        const UILabel& title = *button->titleLabel();
        key << 3 << button->imageForState(UIControlStateNormal) << button->isEnabled() << button->currentTitle()
            << button->titleColorForState(button->isEnabled() ? UIControlStateNormal : UIControlStateDisabled)
            << title.font() << title.numberOfLines() << title.adjustsFontSizeToFitWidth()
            << title.minimumScaleFactor() << int(title.textAlignment());
    } else if (auto* imageView = dynamic_cast<const UIImageView*>(&view)) {
        key << 4 << imageView->image() << imageView->imageRect();
    } else if (auto* spinner = dynamic_cast<const UIActivityIndicatorView*>(&view)) {
        key << 5 << spinner->isAnimating() << spinner->hidesWhenStopped() << int(spinner->activityIndicatorViewStyle())
            << spinner->color();
    } else {
        return false;
    }
    return true;
}

// The rectangles (the layer's own space) a layer paints itself, not its
// sublayers, with a margin for antialiasing and the spinner's round line
// caps. A layer on the way down to the cover paints only its border and a
// row's separator (after its sublayers, so over the cover); the cover's
// background is not counted.
void paintedRects(const CALayer& layer, bool shadow, bool aboveCover, bool isCover, bool drawsContent,
                  std::vector<CGRect>& out) {
    const CGRect b = layer.bounds();
    const UIView* view = layer.view();
    const bool row = dynamic_cast<const UITableViewCell*>(view) != nullptr;
    if (aboveCover) {
        if (layer.borderWidth() > 0 || row) out.push_back(b);
    } else {
        if ((!isCover && !layer.backgroundColor().isClear()) || layer.contents() || layer.borderWidth() > 0 ||
            drawsContent || row) {
            out.push_back(b);
        }
        if (auto* button = dynamic_cast<const UIButton*>(view)) {
            if (auto image = button->imageForState(UIControlStateNormal)) {
                const CGSize size = image->size();
                out.push_back(CGRectMake(b.midX() - size.width / 2, b.midY() - size.height / 2, size.width, size.height));
            }
        }
        if (shadow && layer.shadowOpacity() * layer.shadowColor().alpha() > 0) {
            const double grow = std::max(0.0, layer.shadowRadius());
            out.push_back(b.offsetBy(layer.shadowOffset().width, layer.shadowOffset().height).insetBy(-grow, -grow));
        }
    }
    for (CGRect& r : out) r = r.insetBy(-2, -2);
}

// Mirrors drawLayer: `origin` is where the layer's bounds space starts, in
// points of the surface; `context` is what the layers above it that clip
// or fade it read.
void collectFrame(const CALayer& layer, CGPoint origin, double scale, std::span<const CALayer* const> coverPath,
                  const std::string& context, FrameList& frame, const FrameList* before) {
    if (layer.isHidden() || layer.opacity() <= 0) return;
    const bool aboveCover = coverPath.size() > 1;
    const bool isCover = coverPath.size() == 1;
    const CGRect f = layer.frame();
    const CGRect b = layer.bounds();
    const CGPoint o{origin.x + f.minX() - b.minX(), origin.y + f.minY() - b.minY()};
    FrameEntry entry;
    entry.key = context;
    KeyWriter key(entry.key, frame, before);
    key << aboveCover << isCover << coverPath.empty() << o.x << o.y << b << layer.opacity() << layer.masksToBounds()
        << layer.cornerRadius() << layer.backgroundColor() << layer.borderWidth() << layer.borderColor()
        << layer.shadowOpacity() << layer.shadowColor() << layer.shadowRadius() << layer.shadowOffset().width
        << layer.shadowOffset().height << std::const_pointer_cast<UIImage>(layer.contents());
    const UIView* view = layer.view();
    const bool content = view && writeViewContent(key, *view);
    key << (view && dynamic_cast<const UITableViewCell*>(view));
    std::vector<CGRect> rects;
    paintedRects(layer, coverPath.empty(), aboveCover, isCover, content, rects);
    for (const CGRect& r : rects) {
        entry.boxes.push_back({int(std::floor((o.x + r.minX()) * scale)) - 1, int(std::floor((o.y + r.minY()) * scale)) - 1,
                               int(std::ceil((o.x + r.maxX()) * scale)) + 1, int(std::ceil((o.y + r.maxY()) * scale)) + 1});
    }
    frame.entries.push_back(std::move(entry));
    std::string inner = context;
    if (layer.opacity() < 1 || layer.masksToBounds()) {
        std::string clip;
        KeyWriter(clip, frame) << layer.opacity() << layer.masksToBounds() << o.x << o.y << b << layer.cornerRadius();
        inner += clip;
    }
    bool covered = aboveCover;
    const auto below = aboveCover ? coverPath.subspan(1) : std::span<const CALayer* const>();
    for (const auto& sub : layer.sublayers()) {
        if (covered && sub.get() == below.front()) {
            collectFrame(*sub, o, scale, below, inner, frame, before);
            covered = false;
        } else if (!covered) {
            collectFrame(*sub, o, scale, {}, inner, frame, before);
        }
    }
}

// Whether two frames' lists agree entry for entry.
bool sameFrame(const FrameList& before, const FrameList& now) {
    if (before.entries.size() != now.entries.size()) return false;
    for (size_t i = 0; i < now.entries.size(); ++i) {
        if (before.entries[i].key != now.entries[i].key) return false;
    }
    return true;
}

void setColor(cairo_t* cr, const UIColor& c, double alpha = 1) {
    cairo_set_source_rgba(cr, c.red(), c.green(), c.blue(), c.alpha() * alpha);
}

void roundedRect(cairo_t* cr, CGRect r, double radius) {
    radius = std::max(0.0, std::min(radius, std::min(r.width(), r.height()) / 2));
    const double x = r.minX();
    const double y = r.minY();
    const double w = r.width();
    const double h = r.height();
    if (radius <= 0) {
        cairo_rectangle(cr, x, y, w, h);
        return;
    }
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - radius, y + radius, radius, -M_PI / 2, 0);
    cairo_arc(cr, x + w - radius, y + h - radius, radius, 0, M_PI / 2);
    cairo_arc(cr, x + radius, y + h - radius, radius, M_PI / 2, M_PI);
    cairo_arc(cr, x + radius, y + radius, radius, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

void drawImage(cairo_t* cr, const UIImage& image, CGRect dest) {
    if (dest.width() <= 0 || dest.height() <= 0) return;
    // Premultiplied once per image, which never changes.
    cairo_surface_t* surface = image.drawable().surface;
    cairo_save(cr);
    cairo_rectangle(cr, dest.minX(), dest.minY(), dest.width(), dest.height());
    cairo_clip(cr);
    cairo_translate(cr, dest.minX(), dest.minY());
    cairo_scale(cr, dest.width() / image.pixelWidth(), dest.height() / image.pixelHeight());
    cairo_set_source_surface(cr, surface, 0, 0);
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
    cairo_paint(cr);
    cairo_restore(cr);
}

void reportIfCut(const UIView& view, const std::string& text, const UITextFit& fit) {
    if (!fit.truncated) return;
    const std::string name = view.accessibilityIdentifier().empty() ? view.className() : view.accessibilityIdentifier();
    auto owner = std::static_pointer_cast<UIView>(std::const_pointer_cast<Object>(view.weak_from_this().lock()));
    for (auto* recorder : truncationRecorders()) recorder->record({owner, name, text, fit.drawnText()});
}

// Text in DejaVu Sans as its view fits it in `box`; a text cut short is
// reported to the recorders.
void drawText(cairo_t* cr, const UIView& view, const std::string& text, const UITextFit& fit, const UIColor& color,
              NSTextAlignment alignment, CGRect box) {
    if (text.empty() || box.width() <= 0) return;
    uikit::drawTextFit(cr, fit, color, alignment, box);
    reportIfCut(view, text, fit);
}

// What drawing a view's text would report, for views painted over before
// they show: the recorders hear of the same texts whether or not drawing
// them could be skipped.
void reportCutText(UIView& view) {
    if (truncationRecorders().empty()) return;  // fitting a text costs as much as drawing it
    const CGRect b = view.bounds();
    if (auto* label = dynamic_cast<UILabel*>(&view)) {
        if (!label->text().empty() && b.width() > 0) reportIfCut(view, label->text(), label->textFit());
    } else if (auto* field = dynamic_cast<UITextField*>(&view)) {
        const CGRect inner = b.insetBy(7, 0);
        const std::string& shown = field->text().empty() ? field->placeholder() : field->displayText();
        if (!shown.empty() && inner.width() > 0) {
            reportIfCut(view, shown, UITextFitInSize(shown, field->font(), inner.size, 1));
        }
    } else if (auto* button = dynamic_cast<UIButton*>(&view)) {
        if (!button->currentTitle().empty() && b.width() > 0) reportIfCut(view, button->currentTitle(), button->titleFit());
    }
}

void reportCutTexts(const CALayer& layer) {
    if (layer.isHidden() || layer.opacity() <= 0 || truncationRecorders().empty()) return;
    if (UIView* view = layer.view()) reportCutText(*view);
    for (const auto& sub : layer.sublayers()) reportCutTexts(*sub);
}

void drawSpinner(cairo_t* cr, const UIActivityIndicatorView& spinner) {
    if (!spinner.isAnimating() && spinner.hidesWhenStopped()) return;
    const CGRect b = spinner.bounds();
    const bool large = spinner.activityIndicatorViewStyle() == UIActivityIndicatorViewStyle::WhiteLarge;
    const double radius = std::min(b.width(), b.height()) / 2 * (large ? 0.9 : 0.8);
    const double cx = b.midX();
    const double cy = b.midY();
    cairo_save(cr);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_width(cr, std::max(1.5, radius * 0.22));
    for (int i = 0; i < 12; ++i) {
        const double angle = i * M_PI / 6 - M_PI / 2;
        setColor(cr, spinner.color(), 0.25 + 0.75 * (i / 11.0));
        cairo_move_to(cr, cx + std::cos(angle) * radius * 0.5, cy + std::sin(angle) * radius * 0.5);
        cairo_line_to(cr, cx + std::cos(angle) * radius, cy + std::sin(angle) * radius);
        cairo_stroke(cr);
    }
    cairo_restore(cr);
}

// What a view of a known kind draws over its background.
void drawViewContent(cairo_t* cr, UIView& view) {
    const CGRect b = view.bounds();
    if (auto* label = dynamic_cast<UILabel*>(&view)) {
        drawText(cr, view, label->text(), label->textFit(), label->textColor(), label->textAlignment(), b);
    } else if (auto* field = dynamic_cast<UITextField*>(&view)) {
        if (field->borderStyle() == UITextBorderStyle::RoundedRect) {
            if (field->backgroundColor().isClear()) {
                roundedRect(cr, b, 5);
                setColor(cr, UIColor::whiteColor());
                cairo_fill(cr);
            }
            roundedRect(cr, b.insetBy(0.25, 0.25), 5);
            setColor(cr, UIColor(0.8, 0.8, 0.8, 1));
            cairo_set_line_width(cr, 0.5);
            cairo_stroke(cr);
        } else if (field->borderStyle() == UITextBorderStyle::Line || field->borderStyle() == UITextBorderStyle::Bezel) {
            cairo_rectangle(cr, b.minX() + 0.5, b.minY() + 0.5, b.width() - 1, b.height() - 1);
            setColor(cr, UIColor::blackColor());
            cairo_set_line_width(cr, 1);
            cairo_stroke(cr);
        }
        const CGRect inner = b.insetBy(7, 0);
        const bool empty = field->text().empty();
        const std::string& shown = empty ? field->placeholder() : field->displayText();
        drawText(cr, view, shown, UITextFitInSize(shown, field->font(), inner.size, 1),
                 empty ? UIColor(0.78, 0.78, 0.8, 1) : field->textColor(), field->textAlignment(), inner);
        if (field->isFirstResponder()) {
            // The caret at the end of the text's box, enough to show focus.
            setColor(cr, UIColor::systemBlueColor());
            cairo_rectangle(cr, inner.minX(), b.minY() + 6, 2, b.height() - 12);
            cairo_fill(cr);
        }
    } else if (auto* button = dynamic_cast<UIButton*>(&view)) {
        if (auto image = button->imageForState(UIControlStateNormal)) {
            const CGSize s = image->size();
            drawImage(cr, *image, CGRectMake(b.midX() - s.width / 2, b.midY() - s.height / 2, s.width, s.height));
        }
        const UIControlState state = button->isEnabled() ? UIControlStateNormal : UIControlStateDisabled;
        drawText(cr, view, button->currentTitle(), button->titleFit(), button->titleColorForState(state),
                 button->titleLabel()->textAlignment(), b);
    } else if (auto* imageView = dynamic_cast<UIImageView*>(&view)) {
        if (auto image = imageView->image()) {
            cairo_save(cr);
            cairo_rectangle(cr, b.minX(), b.minY(), b.width(), b.height());
            cairo_clip(cr);
            drawImage(cr, *image, imageView->imageRect());
            cairo_restore(cr);
        }
    } else if (auto* spinner = dynamic_cast<UIActivityIndicatorView*>(&view)) {
        drawSpinner(cr, *spinner);
    }
}

void drawShadow(cairo_t* cr, const CALayer& layer) {
    const double opacity = layer.shadowOpacity() * layer.shadowColor().alpha();
    if (opacity <= 0) return;
    const CGRect shape = layer.bounds().offsetBy(layer.shadowOffset().width, layer.shadowOffset().height);
    const double radius = std::max(0.0, layer.shadowRadius());
    // A blur by layering: rings that grow by one step each and add up to
    // the shadow's opacity at the shape's edge.
    const int steps = std::max(1, int(std::ceil(radius)));
    for (int i = steps; i >= 1; --i) {
        const double grow = radius * i / steps;
        roundedRect(cr, shape.insetBy(-grow, -grow), layer.cornerRadius() + grow);
        setColor(cr, layer.shadowColor(), opacity / steps);
        cairo_fill(cr);
    }
    roundedRect(cr, shape, layer.cornerRadius());
    setColor(cr, layer.shadowColor(), opacity / steps);
    cairo_fill(cr);
}

void drawSublayers(cairo_t* cr, const CALayer& layer, std::span<const CALayer* const> coverPath);

// `coverPath` (when not empty) runs from this layer down to a layer whose
// background paints over the whole picture (see lastCover): what this
// layer and the path's layers draw before that background cannot show and
// is skipped, its texts only reported.
void drawLayer(cairo_t* cr, const CALayer& layer, std::span<const CALayer* const> coverPath = {}) {
    if (layer.isHidden() || layer.opacity() <= 0) return;
    const bool aboveCover = coverPath.size() > 1;
    const CGRect frame = layer.frame();
    const CGRect b = layer.bounds();
    cairo_save(cr);
    // The bounds origin (a scroll view's offset) lands on the frame's corner.
    cairo_translate(cr, frame.origin.x - b.origin.x, frame.origin.y - b.origin.y);
    const bool group = layer.opacity() < 1;
    if (group) cairo_push_group(cr);
    if (coverPath.empty()) drawShadow(cr, layer);
    if (!aboveCover && &layer != keptCover() && !layer.backgroundColor().isClear()) {
        roundedRect(cr, b, layer.cornerRadius());
        setColor(cr, layer.backgroundColor());
        cairo_fill(cr);
    }
    cairo_save(cr);
    if (layer.masksToBounds()) {
        roundedRect(cr, b, layer.cornerRadius());
        cairo_clip(cr);
    }
    if (aboveCover) {
        if (UIView* view = layer.view()) reportCutText(*view);
    } else {
        if (auto contents = layer.contents()) drawImage(cr, *contents, b);
        if (UIView* view = layer.view()) drawViewContent(cr, *view);
    }
    drawSublayers(cr, layer, aboveCover ? coverPath.subspan(1) : std::span<const CALayer* const>());
    if (UIView* view = layer.view(); view && dynamic_cast<UITableViewCell*>(view)) {
        // The row separator, inset like the system's.
        setColor(cr, UIColor(0.78, 0.78, 0.8, 1));
        cairo_rectangle(cr, 15, b.height() - 0.5, std::max(0.0, b.width() - 15), 0.5);
        cairo_fill(cr);
    }
    cairo_restore(cr);
    if (layer.borderWidth() > 0) {
        const double w = layer.borderWidth();
        roundedRect(cr, b.insetBy(w / 2, w / 2), std::max(0.0, layer.cornerRadius() - w / 2));
        setColor(cr, layer.borderColor());
        cairo_set_line_width(cr, w);
        cairo_stroke(cr);
    }
    if (group) {
        cairo_pop_group_to_source(cr);
        cairo_paint_with_alpha(cr, layer.opacity());
    }
    cairo_restore(cr);
}

// Sublayers in order; with a cover path, those before the path's next layer
// are painted over and only report their texts.
void drawSublayers(cairo_t* cr, const CALayer& layer, std::span<const CALayer* const> coverPath) {
    bool covered = !coverPath.empty();
    for (const auto& sub : layer.sublayers()) {
        if (covered && sub.get() == coverPath.front()) {
            drawLayer(cr, *sub, coverPath);
            covered = false;
        } else if (covered) {
            reportCutTexts(*sub);
        } else {
            drawLayer(cr, *sub);
        }
    }
}

std::vector<std::unique_ptr<CGContext>>& contextStack() {
    thread_local std::vector<std::unique_ptr<CGContext>>* stack = nullptr;
    return threadOwned(stack);
}

std::unique_ptr<CGContext> makeContext(CGSize size, bool opaque, double scale) {
    auto ctx = std::make_unique<CGContext>();
    ctx->scale = scale > 0 ? scale : 1;
    const int w = std::max(1, int(std::lround(size.width * ctx->scale)));
    const int h = std::max(1, int(std::lround(size.height * ctx->scale)));
    ctx->surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    ctx->cr = cairo_create(ctx->surface);
    if (opaque) {
        cairo_set_source_rgb(ctx->cr, 1, 1, 1);
        cairo_paint(ctx->cr);
    }
    cairo_scale(ctx->cr, ctx->scale, ctx->scale);
    return ctx;
}

void destroyContext(CGContext& ctx) {
    cairo_destroy(ctx.cr);
    cairo_surface_destroy(ctx.surface);
}

// The last surface renderLayer drew into on this thread, drawn into again
// at the same size once no image holds it: a screen drawn frame after frame
// reuses one bitmap instead of mapping and clearing a new one each time.
struct KeptSurface {
    cairo_surface_t* surface = nullptr;
    // Known when the last frame drawn into it had a cover: every pixel is
    // the cover's colour but those the frame painted over it.
    bool known = false;
    UIColor coverColor;
    FrameList frame;
    ~KeptSurface() {
        if (surface) cairo_surface_destroy(surface);
    }
};

// Whether `rect` (points, in the surface's space) covers every pixel of a
// surface of `size` pixels at `scale`.
bool coversSurface(CGRect rect, CGSize size, double scale) {
    return rect.minX() * scale <= 0 && rect.minY() * scale <= 0 && rect.maxX() * scale >= size.width &&
           rect.maxY() * scale >= size.height;
}

// The last layer, in drawing order, whose opaque background fills every
// pixel of the surface (a screen's root view does), as the path from the
// root down to it in `cover` (left empty when there is none). Drawing OVER
// with an opaque colour ignores what was there, so whatever is painted
// before that background, the surface's first clearing included, cannot
// show. `origin` is where the layer's frame origin lands, in points of the
// surface's space.
void lastCover(const CALayer& layer, CGPoint origin, CGSize size, double scale, std::vector<const CALayer*>& path,
               std::vector<const CALayer*>& cover) {
    if (layer.isHidden() || layer.opacity() < 1) return;  // not drawn, or drawn through a group
    path.push_back(&layer);
    const CGRect own = CGRectMake(origin.x, origin.y, layer.bounds().width(), layer.bounds().height());
    const bool covers = layer.cornerRadius() <= 0 && coversSurface(own, size, scale);
    if (covers && layer.backgroundColor().alpha() >= 1) cover = path;
    if (!layer.masksToBounds() || covers) {  // else its sublayers are clipped
        const CGPoint inner{origin.x - layer.bounds().minX(), origin.y - layer.bounds().minY()};
        for (const auto& sub : layer.sublayers()) {
            lastCover(*sub, CGPointMake(inner.x + sub->frame().minX(), inner.y + sub->frame().minY()), size, scale,
                      path, cover);
        }
    }
    path.pop_back();
}

KeptSurface& surfaceToDrawInto(int width, int height) {
    thread_local KeptSurface* keptSlot = nullptr;
    KeptSurface& kept = threadOwned(keptSlot);
    if (kept.surface && cairo_surface_get_reference_count(kept.surface) == 1 &&
        cairo_image_surface_get_width(kept.surface) == width && cairo_image_surface_get_height(kept.surface) == height) {
        return kept;
    }
    if (kept.surface) cairo_surface_destroy(kept.surface);
    kept.surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
    kept.known = false;
    return kept;
}

// Sets keptCover for one frame and clears it however the frame ends.
class KeptCoverScope {
public:
    explicit KeptCoverScope(const CALayer* cover) { keptCover() = cover; }
    ~KeptCoverScope() { keptCover() = nullptr; }
    KeptCoverScope(const KeptCoverScope&) = delete;
    KeptCoverScope& operator=(const KeptCoverScope&) = delete;
};

}  // namespace

UITruncationRecorder::UITruncationRecorder() { truncationRecorders().push_back(this); }

UITruncationRecorder::~UITruncationRecorder() { std::erase(truncationRecorders(), this); }

std::shared_ptr<UIImage> renderLayer(const CALayer& layer, double scale, bool opaque) {
    if (scale <= 0) scale = 1;
    const CGSize size = layer.bounds().size;
    KeptSurface& kept = surfaceToDrawInto(std::max(1, int(std::lround(size.width * scale))),
                                          std::max(1, int(std::lround(size.height * scale))));
    cairo_surface_t* surface = kept.surface;
    cairo_t* cr = cairo_create(surface);
    const CGSize pixels{double(cairo_image_surface_get_width(surface)), double(cairo_image_surface_get_height(surface))};
    std::vector<const CALayer*> path;
    std::vector<const CALayer*> cover;
    lastCover(layer, CGPointMake(0, 0), pixels, scale, path, cover);
    const bool covered = !cover.empty();
    FrameList frame;
    const CALayer* keep = nullptr;
    bool unchanged = false;
    if (!covered) {
        // What a new surface would hold: white when opaque, else nothing.
        cairo_set_operator(cr, opaque ? CAIRO_OPERATOR_SOURCE : CAIRO_OPERATOR_CLEAR);
        cairo_set_source_rgb(cr, 1, 1, 1);
        cairo_paint(cr);
        cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
    } else {
        const std::string atScale(reinterpret_cast<const char*>(&scale), sizeof scale);
        const bool overLast =
            kept.known && kept.coverColor == cover.back()->backgroundColor() && truncationRecorders().empty();
        collectFrame(layer, CGPointMake(-layer.frame().minX(), -layer.frame().minY()), scale, cover, atScale, frame,
                     overLast ? &kept.frame : nullptr);
        // Recorders want every text drawn, so their frames are drawn whole.
        if (overLast) {
            keep = cover.back();
            unchanged = sameFrame(kept.frame, frame);
            if (!unchanged) {
                for (const FrameEntry& entry : kept.frame.entries) {
                    for (const PixelRect& r : entry.boxes) cairo_rectangle(cr, r.x0, r.y0, r.x1 - r.x0, r.y1 - r.y0);
                }
                cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
                setColor(cr, kept.coverColor);
                cairo_fill(cr);
                cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
            }
        }
    }
    kept.known = false;
    if (!unchanged) {
        cairo_scale(cr, scale, scale);
        // The layer draws at its own origin, whatever its frame in its parent.
        cairo_translate(cr, -layer.frame().origin.x, -layer.frame().origin.y);
        KeptCoverScope scope(keep);
        drawLayer(cr, layer, cover);
    }
    cairo_destroy(cr);
    if (covered) {
        kept.known = true;
        kept.coverColor = cover.back()->backgroundColor();
        kept.frame = std::move(frame);
    }
    return uikit::imageDrawnIn(surface, scale, opaque || covered);
}

std::shared_ptr<UIImage> snapshotWindow(UIWindow& window) {
    uikit::assertMainThread("snapshotWindow");
    window.layoutIfNeeded();
    return renderLayer(*window.layer(), UIScreen::mainScreen()->scale(), true);
}

void UIGraphicsBeginImageContextWithOptions(CGSize size, bool opaque, double scale) {
    if (scale <= 0) scale = UIScreen::mainScreen()->scale();
    contextStack().push_back(makeContext(size, opaque, scale));
}

CGContextRef UIGraphicsGetCurrentContext() {
    auto& stack = contextStack();
    return stack.empty() ? nullptr : stack.back().get();
}

void CALayer::renderInContext(CGContext* context) const {
    if (!context) return;
    if (view_) view_->layoutIfNeeded();
    cairo_save(context->cr);
    cairo_translate(context->cr, -frame_.origin.x, -frame_.origin.y);
    drawLayer(context->cr, *this);
    cairo_restore(context->cr);
}

std::shared_ptr<UIImage> UIGraphicsGetImageFromCurrentImageContext() {
    CGContextRef ctx = UIGraphicsGetCurrentContext();
    if (!ctx) return nullptr;
    return uikit::imageFromSurface(ctx->surface, ctx->scale);
}

void UIGraphicsEndImageContext() {
    auto& stack = contextStack();
    if (stack.empty()) return;
    destroyContext(*stack.back());
    stack.pop_back();
}

}  // namespace ns

// Fontconfig keeps its configuration and font caches for the life of the
// process by design (they are never freed), which LeakSanitizer would report
// at the exit of every program that draws text. Only those are suppressed.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

// Pango loads the font configuration on a thread of its own and hands it
// over with GLib's locks, which sit on futexes that ThreadSanitizer does not
// see (those libraries are not instrumented); the hand-over then looks like
// a race inside Fontconfig, GLib and Pango. Races with a frame in our code
// alone are still reported.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libfontconfig.so\nrace:libglib-2.0.so\nrace:libpangoft2-1.0.so\nrace:libpango-1.0.so\n";
}
