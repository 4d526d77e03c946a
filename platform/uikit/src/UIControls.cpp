#include "uikit/UIControls.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <bit>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>

#include "platform/format.h"
#include "platform/thread_owned.h"
#include "uikit_internal.h"

namespace ns {

namespace {

// UTF-8 code point boundaries: the byte offset of code point `index`.
size_t byteOffset(const std::string& s, size_t index) {
    size_t i = 0;
    size_t count = 0;
    while (i < s.size() && count < index) {
        ++i;
        while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
        ++count;
    }
    return i;
}

size_t codePoints(const std::string& s) {
    return size_t(std::count_if(s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// Text layout with Pango. Metrics are not hinted, so a text measures the
// same in points whatever the scale it is drawn at: what fits when measured
// fits when drawn.
void setUnhintedMetrics(PangoContext* context) {
    cairo_font_options_t* options = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(options, CAIRO_HINT_METRICS_OFF);
    pango_cairo_context_set_font_options(context, options);
    cairo_font_options_destroy(options);
}

PangoLayout* makeLayout(PangoContext* context, const std::string& text, UIFont font) {
    PangoLayout* layout = pango_layout_new(context);
    PangoFontDescription* desc = pango_font_description_new();
    pango_font_description_set_family(desc, "DejaVu Sans");
    // Pango sizes are in points of 1/72 inch against Cairo's user units;
    // absolute size keeps one point of text one point of the view.
    pango_font_description_set_absolute_size(desc, font.pointSize * PANGO_SCALE);
    pango_font_description_set_weight(desc, font.bold ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
    pango_layout_set_font_description(layout, desc);
    pango_font_description_free(desc);
    pango_layout_set_text(layout, text.c_str(), int(text.size()));
    return layout;
}

// One measuring context for a whole fitting.
class Measurer {
public:
    Measurer() : context_(pango_font_map_create_context(pango_cairo_font_map_get_default())) {
        setUnhintedMetrics(context_);
    }
    ~Measurer() { g_object_unref(context_); }
    Measurer(const Measurer&) = delete;
    Measurer& operator=(const Measurer&) = delete;

    CGSize size(const std::string& text, UIFont font) const {
        PangoLayout* layout = makeLayout(context_, text, font);
        PangoRectangle logical;
        pango_layout_get_extents(layout, nullptr, &logical);
        g_object_unref(layout);
        return {double(logical.width) / PANGO_SCALE, double(logical.height) / PANGO_SCALE};
    }
    double lineHeight(UIFont font) const { return size("Ag", font).height; }

    // The byte offsets where the lines of `text` wrapped at `width` start.
    std::vector<size_t> lineStarts(const std::string& text, UIFont font, double width) const {
        PangoLayout* layout = makeLayout(context_, text, font);
        pango_layout_set_width(layout, int(width * PANGO_SCALE));
        pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
        std::vector<size_t> starts;
        for (GSList* l = pango_layout_get_lines_readonly(layout); l; l = l->next) {
            starts.push_back(size_t(static_cast<PangoLayoutLine*>(l->data)->start_index));
        }
        g_object_unref(layout);
        return starts;
    }

private:
    PangoContext* context_;
};

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string trimmedRight(std::string s) {
    while (!s.empty() && isSpace(s.back())) s.pop_back();
    return s;
}

std::string oneLine(std::string s) {
    std::replace_if(s.begin(), s.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    return s;
}

// The longest head of `text` that fits `width` with "…" after it.
std::string truncatedTail(const Measurer& m, const std::string& text, UIFont font, double width) {
    size_t lo = 0;
    size_t hi = codePoints(text);
    const auto candidate = [&](size_t n) { return trimmedRight(text.substr(0, byteOffset(text, n))) + "\u2026"; };
    while (lo < hi) {
        const size_t mid = (lo + hi + 1) / 2;
        if (m.size(candidate(mid), font).width <= width) {
            lo = mid;
        } else {
            hi = mid - 1;
        }
    }
    return candidate(lo);
}

constexpr double kFitSlack = 0.01;

UITextFit fitAtSize(const Measurer& m, const std::string& text, UIFont font, CGSize box, int numberOfLines) {
    UITextFit fit;
    fit.font = font;
    fit.lineHeight = m.lineHeight(font);
    const double width = box.width + kFitSlack;
    if (numberOfLines == 1) {
        const std::string line = oneLine(text);
        fit.truncated = m.size(line, font).width > width;
        fit.lines.push_back(fit.truncated ? truncatedTail(m, line, font, box.width) : line);
        return fit;
    }
    // Lines the height holds, allowing a line a little taller than the rest
    // of the box, as labels sized to their text are.
    const int byHeight = std::max(1, int(std::floor((box.height + 2) / fit.lineHeight)));
    const int allowed = std::min(numberOfLines > 0 ? numberOfLines : INT_MAX, byHeight);
    const auto starts = m.lineStarts(text, font, box.width);
    for (size_t i = 0; i < starts.size(); ++i) {
        if (int(i) == allowed - 1 && starts.size() > size_t(allowed)) {
            fit.truncated = true;
            fit.lines.push_back(truncatedTail(m, oneLine(text.substr(starts[i])), font, box.width));
            break;
        }
        const size_t end = i + 1 < starts.size() ? starts[i + 1] : text.size();
        fit.lines.push_back(trimmedRight(text.substr(starts[i], end - starts[i])));
    }
    return fit;
}

// Fits and sizes already measured, by everything their result depends on
// (the font map is the process's own and never changes): a screen drawn
// again, or laid out again, measures nothing it measured before. Doubles
// are keyed by their bits so that any value, NaN included, orders.
class MeasuredTexts {
public:
    using FitKey = std::tuple<std::string, uint64_t, bool, uint64_t, uint64_t, int, uint64_t>;
    using SizeKey = std::tuple<std::string, uint64_t, bool>;

    static MeasuredTexts& shared() {
        static MeasuredTexts* texts = new MeasuredTexts;  // never destroyed: drawing may outlive statics
        return *texts;
    }
    static uint64_t bits(double d) { return std::bit_cast<uint64_t>(d); }

    template <typename Key, typename Value, typename Make>
    Value find(std::map<Key, Value>& cache, Key key, Make make) {
        {
            std::lock_guard lock(mutex_);
            if (auto it = cache.find(key); it != cache.end()) return it->second;
        }
        Value value = make();  // measured unlocked: Pango may take a while
        std::lock_guard lock(mutex_);
        // A bound on the memory the texts of a long session can take.
        if (cache.size() >= kLimit) cache.clear();
        cache.emplace(std::move(key), value);
        return value;
    }
    std::map<FitKey, UITextFit> fits;
    std::map<SizeKey, CGSize> sizes;

private:
    static constexpr size_t kLimit = 1024;
    std::mutex mutex_;
};

UITextFit measuredFit(const std::string& text, UIFont font, CGSize size, int numberOfLines,
                      double minimumScaleFactor) {
    const Measurer m;
    UITextFit full = fitAtSize(m, text, font, size, numberOfLines);
    if (!full.truncated || minimumScaleFactor <= 0 || minimumScaleFactor >= 1) return full;
    UITextFit smallest = fitAtSize(m, text, font.withSize(font.pointSize * minimumScaleFactor), size, numberOfLines);
    if (smallest.truncated) return smallest;
    // The largest size that fits, to a tenth of a point.
    double lo = smallest.font.pointSize;
    double hi = font.pointSize;
    while (hi - lo > 0.1) {
        const double mid = (lo + hi) / 2;
        UITextFit fit = fitAtSize(m, text, font.withSize(mid), size, numberOfLines);
        if (fit.truncated) {
            hi = mid;
        } else {
            lo = mid;
            smallest = std::move(fit);
        }
    }
    return smallest;
}

}  // namespace

std::string UITextFit::drawnText() const {
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) out += (i > 0 ? "\n" : "") + lines[i];
    return out;
}

CGSize UITextFit::size() const {
    double width = 0;
    for (const auto& line : lines) width = std::max(width, UITextSize(line, font).width);
    return {width, lineHeight * double(lines.size())};
}

CGSize UITextSize(const std::string& text, UIFont font) {
    auto& texts = MeasuredTexts::shared();
    return texts.find(texts.sizes, {text, MeasuredTexts::bits(font.pointSize), font.bold},
                      [&] { return Measurer().size(text, font); });
}

UITextFit UITextFitInSize(const std::string& text, UIFont font, CGSize size, int numberOfLines,
                          double minimumScaleFactor) {
    auto& texts = MeasuredTexts::shared();
    using T = MeasuredTexts;
    return texts.find(texts.fits,
                      {text, T::bits(font.pointSize), font.bold, T::bits(size.width), T::bits(size.height),
                       numberOfLines, T::bits(minimumScaleFactor)},
                      [&] { return measuredFit(text, font, size, numberOfLines, minimumScaleFactor); });
}

namespace uikit {

namespace {

// The lines drawn lately, laid out once in one context per thread that
// follows the cairo context drawn into: shaping a line costs about as much
// as drawing it, and a screen drawn again draws the same lines. A context
// that changed (another scale, other surface options) lays its layouts out
// again by itself.
class DrawnLines {
public:
    DrawnLines() = default;
    DrawnLines(const DrawnLines&) = delete;
    DrawnLines& operator=(const DrawnLines&) = delete;
    ~DrawnLines() {
        clear();
        if (context_) g_object_unref(context_);
        if (options_) cairo_font_options_destroy(options_);
    }

    static DrawnLines& current() {
        thread_local DrawnLines* lines = nullptr;
        return threadOwned(lines);
    }

    // Pango marks its context changed, and every layout out of date, at
    // each update, even one to the same state: it is updated only when what
    // it takes from `cr` (the transformation's linear part and the target
    // surface's font options) is not what it took last time.
    void follow(cairo_t* cr) {
        cairo_matrix_t matrix;
        cairo_get_matrix(cr, &matrix);
        matrix.x0 = matrix.y0 = 0;
        cairo_font_options_t* options = cairo_font_options_create();
        cairo_surface_get_font_options(cairo_get_target(cr), options);
        const bool same = context_ && std::memcmp(&matrix, &matrix_, sizeof matrix) == 0 &&
                          cairo_font_options_equal(options, options_);
        if (same) {
            cairo_font_options_destroy(options);
            return;
        }
        if (!context_) {
            context_ = pango_cairo_create_context(cr);
            setUnhintedMetrics(context_);
        } else {
            pango_cairo_update_context(cr, context_);
        }
        matrix_ = matrix;
        if (options_) cairo_font_options_destroy(options_);
        options_ = options;
    }

    PangoLayout* layout(const std::string& text, UIFont font) {
        Key key{text, std::bit_cast<uint64_t>(font.pointSize), font.bold};
        if (auto it = layouts_.find(key); it != layouts_.end()) return it->second;
        if (layouts_.size() >= kLimit) clear();
        PangoLayout* made = makeLayout(context_, text, font);
        layouts_.emplace(std::move(key), made);
        return made;
    }

private:
    using Key = std::tuple<std::string, uint64_t, bool>;
    static constexpr size_t kLimit = 512;

    void clear() {
        for (auto& [key, layout] : layouts_) g_object_unref(layout);
        layouts_.clear();
    }

    PangoContext* context_ = nullptr;
    cairo_matrix_t matrix_{};
    cairo_font_options_t* options_ = nullptr;
    std::map<Key, PangoLayout*> layouts_;
};

}  // namespace

void drawTextFit(cairo_t* cr, const UITextFit& fit, const UIColor& color, NSTextAlignment alignment, CGRect box) {
    if (fit.lines.empty() || box.width() <= 0) return;
    DrawnLines& drawn = DrawnLines::current();
    drawn.follow(cr);
    cairo_save(cr);
    cairo_rectangle(cr, box.minX(), box.minY(), box.width(), box.height());
    cairo_clip(cr);
    cairo_set_source_rgba(cr, color.red(), color.green(), color.blue(), color.alpha());
    double y = box.minY() + (box.height() - fit.lineHeight * double(fit.lines.size())) / 2;
    for (const auto& line : fit.lines) {
        PangoLayout* layout = drawn.layout(line, fit.font);
        PangoRectangle logical;
        pango_layout_get_extents(layout, nullptr, &logical);
        const double width = double(logical.width) / PANGO_SCALE;
        double x = box.minX();
        if (alignment == NSTextAlignment::Center) x += (box.width() - width) / 2;
        if (alignment == NSTextAlignment::Right) x += box.width() - width;
        cairo_move_to(cr, x, y);
        pango_cairo_show_layout(cr, layout);
        y += fit.lineHeight;
    }
    cairo_restore(cr);
}

}  // namespace uikit

std::string UIColor::description() const {
    return format("UIExtendedSRGBColorSpace %g %g %g %g", red_, green_, blue_, alpha_);
}

// UIControl

void UIControl::addTarget(TargetAction action, UIControlEvents events) {
    actions_.push_back({std::move(action), events});
}

void UIControl::removeTarget(const std::string& actionName, UIControlEvents events) {
    for (auto& r : actions_) {
        if (actionName.empty() || r.action.name() == actionName) r.events &= ~events;
    }
    actions_.erase(std::remove_if(actions_.begin(), actions_.end(), [](const Registered& r) { return r.events == 0; }),
                   actions_.end());
}

std::vector<std::string> UIControl::actionNames(UIControlEvents events) const {
    std::vector<std::string> names;
    for (const auto& r : actions_) {
        if (r.events & events) names.push_back(r.action.name());
    }
    return names;
}

void UIControl::sendActionsForControlEvents(UIControlEvents events) {
    auto self = shared_from_this();
    // A copy: an action may add or remove actions.
    for (const auto& r : std::vector<Registered>(actions_)) {
        if (r.events & events) r.action.perform(self);
    }
}

// UILabel

UITextFit UILabel::textFitInSize(const std::string& text, CGSize size) const {
    return UITextFitInSize(text, font(), size, lines_, adjusts_ ? minimumScale_ : 1);
}

CGSize UILabel::sizeThatFits(CGSize size) const {
    if (text_.empty()) return {0, 0};
    const double unbounded = 1e6;
    return UITextFitInSize(text_, font(), {lines_ == 1 ? unbounded : size.width, unbounded}, lines_).size();
}

// UITextField

void UITextField::setText(std::string text) {
    text_ = std::move(text);
    selStart_ = codePoints(text_);
    selLength_ = 0;
}

std::string UITextField::displayText() const {
    if (!secure_) return text_;
    std::string bullets;
    for (size_t i = 0, n = codePoints(text_); i < n; ++i) bullets += "\u2022";
    return bullets;
}

std::string UITextField::selectedText() const {
    const size_t from = byteOffset(text_, selStart_);
    const size_t to = byteOffset(text_, selStart_ + selLength_);
    return text_.substr(from, to - from);
}

void UITextField::selectAll(const ObjectPtr&) {
    selStart_ = 0;
    selLength_ = codePoints(text_);
}

void UITextField::insertText(const std::string& text) {
    const size_t from = byteOffset(text_, selStart_);
    const size_t to = byteOffset(text_, selStart_ + selLength_);
    text_.replace(from, to - from, text);
    selStart_ += codePoints(text);
    selLength_ = 0;
    sendActionsForControlEvents(UIControlEventEditingChanged);
}

void UITextField::deleteBackward() {
    if (selLength_ == 0) {
        if (selStart_ == 0) return;
        --selStart_;
        selLength_ = 1;
    }
    const size_t from = byteOffset(text_, selStart_);
    const size_t to = byteOffset(text_, selStart_ + selLength_);
    text_.erase(from, to - from);
    selLength_ = 0;
    sendActionsForControlEvents(UIControlEventEditingChanged);
}

void UITextField::didBecomeFirstResponder() {
    selStart_ = codePoints(text_);
    selLength_ = 0;
    sendActionsForControlEvents(UIControlEventEditingDidBegin);
}

void UITextField::didResignFirstResponder() {
    selLength_ = 0;
    sendActionsForControlEvents(UIControlEventEditingDidEnd);
}

// UIButton

UIButton::UIButton(CGRect frame, UIButtonType type)
    : UIControl(frame),
      type_(type),
      titleColor_(type == UIButtonType::System ? UIColor::systemBlueColor() : UIColor::whiteColor()),
      titleLabel_(std::make_shared<UILabel>()) {
    titleLabel_->setTextAlignment(NSTextAlignment::Center);
}

std::shared_ptr<UIButton> UIButton::make(CGRect frame, const std::string& title, UIButtonType type) {
    auto button = std::make_shared<UIButton>(frame, type);
    button->setTitle(title);
    return button;
}

std::string UIButton::titleForState(UIControlState state) const {
    if (state == UIControlStateDisabled && !disabledTitle_.empty()) return disabledTitle_;
    return title_;
}

void UIButton::setTitle(std::string title, UIControlState state) {
    if (state == UIControlStateDisabled) {
        disabledTitle_ = std::move(title);
    } else {
        title_ = std::move(title);
    }
}

std::string UIButton::currentTitle() const { return titleForState(isEnabled() ? UIControlStateNormal : UIControlStateDisabled); }

UIColor UIButton::titleColorForState(UIControlState state) const {
    if (state == UIControlStateDisabled) {
        return disabledTitleColor_ ? *disabledTitleColor_ : titleColor_.colorWithAlphaComponent(0.35);
    }
    return titleColor_;
}

void UIButton::setTitleColor(UIColor color, UIControlState state) {
    if (state == UIControlStateDisabled) {
        disabledTitleColor_ = color;
    } else {
        titleColor_ = color;
    }
}

// UIBarButtonItem

void UIBarButtonItem::performAction() {
    if (enabled_) action_.perform(shared_from_this());
}

// UISearchBar

UISearchBar::UISearchBar(CGRect frame) : UIView(frame), field_(std::make_shared<UITextField>()) {
    setBackgroundColor(UIColor(0.79, 0.79, 0.81, 1));
    field_->setPlaceholder(UISystemString(UISystemText::Search));
    field_->setBackgroundColor(UIColor::whiteColor());
    field_->layer()->setCornerRadius(10);
    field_->setBorderStyle(UITextBorderStyle::None);
}

std::shared_ptr<UISearchBar> UISearchBar::make(CGRect frame) {
    auto bar = std::make_shared<UISearchBar>(frame);
    bar->wire();
    return bar;
}

void UISearchBar::wire() {
    if (wired_) return;
    wired_ = true;
    addSubview(field_);
    // The delegate hears typing through the field's editing events.
    std::weak_ptr<UISearchBar> weak = std::static_pointer_cast<UISearchBar>(shared_from_this());
    field_->addTarget(TargetAction::block("searchBarTextDidChange",
                                          [weak](const ObjectPtr&) {
                                              auto self = weak.lock();
                                              if (!self) return;
                                              if (auto d = self->delegate_.lock()) {
                                                  d->searchBarTextDidChange(*self, self->text());
                                              }
                                          }),
                      UIControlEventEditingChanged);
    setNeedsLayout();
}

const std::string& UISearchBar::text() const { return field_->text(); }
void UISearchBar::setText(std::string text) { field_->setText(std::move(text)); }
const std::string& UISearchBar::placeholder() const { return field_->placeholder(); }
void UISearchBar::setPlaceholder(std::string p) { field_->setPlaceholder(std::move(p)); }

void UISearchBar::searchButtonClicked() {
    if (auto d = delegate_.lock()) d->searchBarSearchButtonClicked(*this);
}

void UISearchBar::layoutSubviews() {
    // Made with the plain constructor (not make): put the field in now.
    wire();
    CGRect b = bounds();
    field_->setFrame(CGRectMake(8, 8, std::max(0.0, b.width() - 16), std::max(0.0, b.height() - 16)));
}

// UIImageView

CGRect UIImageView::imageRect() const {
    CGRect b = bounds();
    if (!image_) return b;
    const CGSize s = image_->size();
    if (s.width <= 0 || s.height <= 0) return b;
    switch (contentMode_) {
        case UIViewContentMode::ScaleToFill:
        case UIViewContentMode::Redraw: return b;
        case UIViewContentMode::ScaleAspectFit:
        case UIViewContentMode::ScaleAspectFill: {
            const double sx = b.width() / s.width;
            const double sy = b.height() / s.height;
            const double k = contentMode_ == UIViewContentMode::ScaleAspectFit ? std::min(sx, sy) : std::max(sx, sy);
            const double w = s.width * k;
            const double h = s.height * k;
            return CGRectMake((b.width() - w) / 2, (b.height() - h) / 2, w, h);
        }
        case UIViewContentMode::Center: return CGRectMake((b.width() - s.width) / 2, (b.height() - s.height) / 2, s.width, s.height);
        case UIViewContentMode::Top: return CGRectMake((b.width() - s.width) / 2, 0, s.width, s.height);
        case UIViewContentMode::Bottom: return CGRectMake((b.width() - s.width) / 2, b.height() - s.height, s.width, s.height);
        case UIViewContentMode::Left: return CGRectMake(0, (b.height() - s.height) / 2, s.width, s.height);
        case UIViewContentMode::Right: return CGRectMake(b.width() - s.width, (b.height() - s.height) / 2, s.width, s.height);
    }
    return b;
}

// UIActivityIndicatorView

UIActivityIndicatorView::UIActivityIndicatorView(CGRect frame) : UIView(frame) {
    setUserInteractionEnabled(false);
    updateHidden();
}

void UIActivityIndicatorView::setActivityIndicatorViewStyle(UIActivityIndicatorViewStyle s) {
    style_ = s;
    color_ = s == UIActivityIndicatorViewStyle::Gray ? UIColor::grayColor() : UIColor::whiteColor();
}

void UIActivityIndicatorView::setHidesWhenStopped(bool h) {
    hidesWhenStopped_ = h;
    updateHidden();
}

void UIActivityIndicatorView::startAnimating() {
    animating_ = true;
    updateHidden();
}

void UIActivityIndicatorView::stopAnimating() {
    animating_ = false;
    updateHidden();
}

void UIActivityIndicatorView::updateHidden() {
    if (hidesWhenStopped_) setHidden(!animating_);
}

}  // namespace ns
