#pragma once
// The controls and simple views the screens use: labels, text fields,
// buttons, bar button items, the search bar, image views and the activity
// indicator. Main thread only.
//
// Controls send their actions for control events (UIControlEvents) to
// TargetActions. Input arrives through the window (UIWindow::sendTap,
// sendText), which refuses it while the application ignores interaction
// events; programmatic changes (setText) send no events, as in UIKit.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "uikit/UIImage.h"
#include "uikit/UIView.h"

namespace ns {

using UIControlEvents = uint64_t;
inline constexpr UIControlEvents UIControlEventTouchDown = 1 << 0;
inline constexpr UIControlEvents UIControlEventTouchUpInside = 1 << 6;
inline constexpr UIControlEvents UIControlEventValueChanged = 1 << 12;
inline constexpr UIControlEvents UIControlEventPrimaryActionTriggered = 1 << 13;
inline constexpr UIControlEvents UIControlEventEditingDidBegin = 1 << 16;
inline constexpr UIControlEvents UIControlEventEditingChanged = 1 << 17;
inline constexpr UIControlEvents UIControlEventEditingDidEnd = 1 << 18;
inline constexpr UIControlEvents UIControlEventEditingDidEndOnExit = 1 << 19;
inline constexpr UIControlEvents UIControlEventAllEditingEvents = 0x000F0000;

enum class NSTextAlignment { Left = 0, Center = 1, Right = 2, Justified = 3, Natural = 4 };

// Fonts are DejaVu Sans at a size in points (the renderer's only face).
struct UIFont {
    double pointSize = 17;
    bool bold = false;
    static UIFont systemFontOfSize(double size) { return {size, false}; }
    static UIFont boldSystemFontOfSize(double size) { return {size, true}; }
    UIFont withSize(double size) const { return {size, bold}; }
    friend bool operator==(const UIFont&, const UIFont&) = default;
};

// How a text fills a box, as a label lays it out: the font it is drawn in
// (smaller than asked when it was shrunk to fit), its lines, and whether it
// had to be cut short with "…" (the last line then ends with it).
struct UITextFit {
    UIFont font;
    std::vector<std::string> lines;
    double lineHeight = 0;
    bool truncated = false;
    // What is drawn: the lines joined by "\n".
    std::string drawnText() const;
    // The lines' extent: the widest line by all the lines' height.
    CGSize size() const;
};

// The size of `text` set on one line in `font`.
CGSize UITextSize(const std::string& text, UIFont font);

// Lays `text` out in a box of `size` as UILabel does. One line
// (`numberOfLines` 1) never wraps; otherwise the text wraps by words (a word
// longer than a line breaks between characters) into at most
// `numberOfLines` lines (0: no limit) and at most as many as the box's
// height holds (at least one). A `minimumScaleFactor` below 1 lets the font
// shrink down to that share of its size before anything is cut; only a text
// that does not fit even then is truncated at the tail of its last line.
UITextFit UITextFitInSize(const std::string& text, UIFont font, CGSize size, int numberOfLines,
                          double minimumScaleFactor = 1);

// Texts the system itself puts on screen (the share sheet's and the image
// picker's buttons, the back button's short title, the search field's
// placeholder), in the device's language: Spanish when the sandbox's
// device profile names a Spanish locale ("es", "es_PA", "es-MX"), English
// otherwise. Screens never get these; their own texts are theirs.
enum class UISystemText {
    Back, Cancel, Search, AirDrop, Message, Mail, Facebook, Copy, SaveImage, Camera, PhotoLibrary, SavedPhotos,
    TakePhoto,
};
std::string UISystemString(UISystemText text);
std::string UISystemString(UISystemText text, const std::string& localeIdentifier);

// Font, colour and alignment of the text a label or a field shows.
class UITextAppearance {
public:
    UIFont font() const { return font_; }
    void setFont(UIFont f) { font_ = f; }
    UIColor textColor() const { return textColor_; }
    void setTextColor(UIColor c) { textColor_ = c; }
    NSTextAlignment textAlignment() const { return alignment_; }
    void setTextAlignment(NSTextAlignment a) { alignment_ = a; }

private:
    UIFont font_ = UIFont::systemFontOfSize(17);
    UIColor textColor_ = UIColor::blackColor();
    NSTextAlignment alignment_ = NSTextAlignment::Natural;
};

class UIControl : public UIView {
public:
    using UIView::UIView;

    bool isEnabled() const { return enabled_; }
    void setEnabled(bool e) { enabled_ = e; }
    bool isSelected() const { return selected_; }
    void setSelected(bool s) { selected_ = s; }
    bool isHighlighted() const { return highlighted_; }
    void setHighlighted(bool h) { highlighted_ = h; }

    void addTarget(TargetAction action, UIControlEvents events);
    // Removes the actions of that name (all names when empty) for the events.
    void removeTarget(const std::string& actionName, UIControlEvents events);
    // The names of the actions registered for any of `events`, in order.
    std::vector<std::string> actionNames(UIControlEvents events) const;
    // Runs every action registered for any of `events`, in order of
    // registration, with this control as sender.
    void sendActionsForControlEvents(UIControlEvents events);

    std::string className() const override { return "UIControl"; }

private:
    struct Registered {
        TargetAction action;
        UIControlEvents events;
    };
    std::vector<Registered> actions_;
    bool enabled_ = true;
    bool selected_ = false;
    bool highlighted_ = false;
};

// Draws its text as UITextFitInSize lays it out in its bounds, centred
// vertically.
class UILabel : public UIView, public UITextAppearance {
public:
    using UIView::UIView;
    static std::shared_ptr<UILabel> make(CGRect frame = {}) { return std::make_shared<UILabel>(frame); }

    const std::string& text() const { return text_; }
    void setText(std::string text) { text_ = std::move(text); }
    // 0: as many lines as the bounds' height holds.
    int numberOfLines() const { return lines_; }
    void setNumberOfLines(int n) { lines_ = n; }
    // Shrinking before truncating: down to minimumScaleFactor of the font's
    // size (0, the default, keeps the size).
    bool adjustsFontSizeToFitWidth() const { return adjusts_; }
    void setAdjustsFontSizeToFitWidth(bool a) { adjusts_ = a; }
    double minimumScaleFactor() const { return minimumScale_; }
    void setMinimumScaleFactor(double f) { minimumScale_ = f; }

    // How the label shows `text` in a box of `size` with its font and line
    // settings; textFit() is its own text in its bounds.
    UITextFit textFitInSize(const std::string& text, CGSize size) const;
    UITextFit textFit() const { return textFitInSize(text_, bounds().size); }
    // The size its text needs within `size`'s width, at its full font size
    // (the lines numberOfLines allows, whatever the height).
    CGSize sizeThatFits(CGSize size) const;

    std::string className() const override { return "UILabel"; }

private:
    std::string text_;
    int lines_ = 1;
    bool adjusts_ = false;
    double minimumScale_ = 0;
};

enum class UITextBorderStyle { None = 0, Line = 1, Bezel = 2, RoundedRect = 3 };
enum class UIKeyboardType { Default = 0, NumbersAndPunctuation = 2, NumberPad = 4, PhonePad = 5, EmailAddress = 7, DecimalPad = 8 };

class UITextField : public UIControl, public UITextAppearance {
public:
    using UIControl::UIControl;
    static std::shared_ptr<UITextField> make(CGRect frame = {}) { return std::make_shared<UITextField>(frame); }

    const std::string& text() const { return text_; }
    // Programmatic: no editing event; the selection collapses to the end.
    void setText(std::string text);
    const std::string& placeholder() const { return placeholder_; }
    void setPlaceholder(std::string p) { placeholder_ = std::move(p); }
    bool isSecureTextEntry() const { return secure_; }
    void setSecureTextEntry(bool s) { secure_ = s; }
    UITextBorderStyle borderStyle() const { return borderStyle_; }
    void setBorderStyle(UITextBorderStyle s) { borderStyle_ = s; }
    UIKeyboardType keyboardType() const { return keyboardType_; }
    void setKeyboardType(UIKeyboardType k) { keyboardType_ = k; }
    // What the field shows: the text, or one bullet per character when secure.
    std::string displayText() const;

    bool isEditing() const { return isFirstResponder(); }
    bool canBecomeFirstResponder() const override { return isEnabled(); }

    // The selection in characters (UTF-8 code points): [start, start + length).
    size_t selectionStart() const { return selStart_; }
    size_t selectionLength() const { return selLength_; }
    std::string selectedText() const;
    // Selects the whole text (`sender` is ignored).
    void selectAll(const ObjectPtr& sender = nullptr);

    // Typing, as the keyboard does it: replaces the selection and sends
    // UIControlEventEditingChanged. Called by the window's input.
    void insertText(const std::string& text);
    void deleteBackward();

    std::string className() const override { return "UITextField"; }

protected:
    void didBecomeFirstResponder() override;
    void didResignFirstResponder() override;

private:
    std::string text_;
    std::string placeholder_;
    bool secure_ = false;
    UITextBorderStyle borderStyle_ = UITextBorderStyle::RoundedRect;
    UIKeyboardType keyboardType_ = UIKeyboardType::Default;
    size_t selStart_ = 0;
    size_t selLength_ = 0;
};

enum class UIButtonType { Custom = 0, System = 1 };
using UIControlState = unsigned;
inline constexpr UIControlState UIControlStateNormal = 0;
inline constexpr UIControlState UIControlStateHighlighted = 1;
inline constexpr UIControlState UIControlStateDisabled = 2;

class UIButton : public UIControl {
public:
    explicit UIButton(CGRect frame = {}, UIButtonType type = UIButtonType::System);
    static std::shared_ptr<UIButton> buttonWithType(UIButtonType type) {
        return std::make_shared<UIButton>(CGRect{}, type);
    }
    static std::shared_ptr<UIButton> make(CGRect frame, const std::string& title,
                                          UIButtonType type = UIButtonType::System);

    UIButtonType buttonType() const { return type_; }
    // Titles per state fall back to the normal one.
    std::string titleForState(UIControlState state) const;
    void setTitle(std::string title, UIControlState state = UIControlStateNormal);
    std::string currentTitle() const;
    UIColor titleColorForState(UIControlState state) const;
    void setTitleColor(UIColor color, UIControlState state = UIControlStateNormal);
    UIFont titleFont() const { return titleLabel_->font(); }
    void setTitleFont(UIFont f) { titleLabel_->setFont(f); }
    // The title's font, lines and shrinking (one line at its size unless
    // changed). Not a sub-view: the button draws the title itself, centred.
    const std::shared_ptr<UILabel>& titleLabel() const { return titleLabel_; }
    // How the current title shows in the bounds.
    UITextFit titleFit() const { return titleLabel_->textFitInSize(currentTitle(), bounds().size); }
    std::shared_ptr<UIImage> imageForState(UIControlState) const { return image_; }
    void setImage(std::shared_ptr<UIImage> image, UIControlState = UIControlStateNormal) { image_ = std::move(image); }

    std::string className() const override { return "UIButton"; }

private:
    UIButtonType type_;
    std::string title_;
    std::string disabledTitle_;
    UIColor titleColor_;
    std::optional<UIColor> disabledTitleColor_;
    std::shared_ptr<UILabel> titleLabel_;
    std::shared_ptr<UIImage> image_;
};

enum class UIBarButtonItemStyle { Plain = 0, Bordered = 1, Done = 2 };

// Not a view: the navigation bar shows it through a button of its own.
class UIBarButtonItem : public Object {
public:
    UIBarButtonItem(std::string title, UIBarButtonItemStyle style, TargetAction action)
        : title_(std::move(title)), style_(style), action_(std::move(action)) {}
    static std::shared_ptr<UIBarButtonItem> make(std::string title, UIBarButtonItemStyle style, TargetAction action) {
        return std::make_shared<UIBarButtonItem>(std::move(title), style, std::move(action));
    }

    const std::string& title() const { return title_; }
    void setTitle(std::string t) { title_ = std::move(t); }
    UIBarButtonItemStyle style() const { return style_; }
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool e) { enabled_ = e; }
    const TargetAction& action() const { return action_; }
    void setAction(TargetAction a) { action_ = std::move(a); }
    const std::string& accessibilityIdentifier() const { return identifier_; }
    void setAccessibilityIdentifier(std::string id) { identifier_ = std::move(id); }

    // What a tap does: runs the action with the item as sender.
    void performAction();

    std::string className() const override { return "UIBarButtonItem"; }

private:
    std::string title_;
    UIBarButtonItemStyle style_;
    TargetAction action_;
    bool enabled_ = true;
    std::string identifier_;
};

class UISearchBar;
// Optional callbacks of the search bar (defaults do nothing).
class UISearchBarDelegate {
public:
    virtual ~UISearchBarDelegate() = default;
    virtual void searchBarTextDidChange(UISearchBar&, const std::string& text) {}
    virtual void searchBarSearchButtonClicked(UISearchBar&) {}
};

// A bar holding one text field (searchTextField), where typing goes.
class UISearchBar : public UIView {
public:
    explicit UISearchBar(CGRect frame = {});
    static std::shared_ptr<UISearchBar> make(CGRect frame = {});

    const std::string& text() const;
    void setText(std::string text);
    const std::string& placeholder() const;
    void setPlaceholder(std::string p);
    const std::shared_ptr<UITextField>& searchTextField() const { return field_; }
    void setDelegate(const std::shared_ptr<UISearchBarDelegate>& d) { delegate_ = d; }
    // The search key of the keyboard.
    void searchButtonClicked();

    void layoutSubviews() override;
    std::string className() const override { return "UISearchBar"; }

private:
    void wire();
    std::shared_ptr<UITextField> field_;
    std::weak_ptr<UISearchBarDelegate> delegate_;
    bool wired_ = false;
};

enum class UIViewContentMode {
    ScaleToFill = 0,
    ScaleAspectFit = 1,
    ScaleAspectFill = 2,
    Redraw = 3,
    Center = 4,
    Top = 5,
    Bottom = 6,
    Left = 7,
    Right = 8,
};

class UIImageView : public UIView {
public:
    explicit UIImageView(CGRect frame = {}) : UIView(frame) { setUserInteractionEnabled(false); }
    static std::shared_ptr<UIImageView> make(CGRect frame = {}) { return std::make_shared<UIImageView>(frame); }

    std::shared_ptr<UIImage> image() const { return image_; }
    void setImage(std::shared_ptr<UIImage> image) { image_ = std::move(image); }
    UIViewContentMode contentMode() const { return contentMode_; }
    void setContentMode(UIViewContentMode m) { contentMode_ = m; }
    // Where the image lands inside the bounds for the content mode (may
    // reach outside the bounds for aspect fill and centre).
    CGRect imageRect() const;

    std::string className() const override { return "UIImageView"; }

private:
    std::shared_ptr<UIImage> image_;
    UIViewContentMode contentMode_ = UIViewContentMode::ScaleToFill;
};

enum class UIActivityIndicatorViewStyle { WhiteLarge = 0, White = 1, Gray = 2 };

class UIActivityIndicatorView : public UIView {
public:
    explicit UIActivityIndicatorView(CGRect frame = {});
    static std::shared_ptr<UIActivityIndicatorView> make(CGRect frame = {}) {
        return std::make_shared<UIActivityIndicatorView>(frame);
    }

    UIActivityIndicatorViewStyle activityIndicatorViewStyle() const { return style_; }
    void setActivityIndicatorViewStyle(UIActivityIndicatorViewStyle s);
    UIColor color() const { return color_; }
    void setColor(UIColor c) { color_ = c; }
    bool hidesWhenStopped() const { return hidesWhenStopped_; }
    void setHidesWhenStopped(bool h);
    bool isAnimating() const { return animating_; }
    void startAnimating();
    void stopAnimating();

    std::string className() const override { return "UIActivityIndicatorView"; }

private:
    void updateHidden();
    UIActivityIndicatorViewStyle style_ = UIActivityIndicatorViewStyle::White;
    UIColor color_ = UIColor::whiteColor();
    bool hidesWhenStopped_ = true;
    bool animating_ = false;
};

}  // namespace ns
