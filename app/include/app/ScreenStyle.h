#pragma once
// What the screens' layouts share: the brand colours and the filled,
// rounded button of the main actions. Main thread only, like the views.

#include <cstdint>
#include <memory>
#include <string>

#include "uikit/UIControls.h"

namespace almavel {

// 0xRRGGBB, taken through ColorFromHex.
inline constexpr uint32_t kBrandBlue = 0x08469A;
inline constexpr uint32_t kActionOrange = 0xF7A823;
inline constexpr uint32_t kMenuPanelNavy = 0x1F2A44;

// A label named `outlet` added to `root`, black, in the system font of
// `size` points (bold when asked).
std::shared_ptr<ns::UILabel> screenLabel(ns::UIView& root, ns::CGRect frame, const std::string& outlet, double size,
                                         bool bold = false);

// A system button with a brand-blue title, named `outlet`, added to `root`.
std::shared_ptr<ns::UIButton> outlinedButton(ns::UIView& root, ns::CGRect frame, const std::string& title,
                                             const std::string& outlet);

// The outlined buttons' border (width 1, radius 5, brand blue at half
// alpha), which their screens give them once loaded.
void outlineBorder(ns::UIButton& button);

// A custom button filled with `fill`, white bold title of `fontSize`
// points, corner radius 5, named `outlet` for input and inspection.
std::shared_ptr<ns::UIButton> filledButton(ns::CGRect frame, const std::string& title, const std::string& outlet,
                                           ns::UIColor fill, double fontSize);

// A white view filling the screen, the root of the card screens.
std::shared_ptr<ns::UIView> whiteRoot();

// A label named `outlet` showing `text` in the system font of 16 points
// (bold when asked), added to `root`.
std::shared_ptr<ns::UILabel> addLabel(ns::UIView& root, ns::CGRect frame, const std::string& outlet,
                                      const std::string& text, bool bold = false);

// A white rounded-rect text field named `outlet`, with a placeholder.
std::shared_ptr<ns::UITextField> formField(ns::CGRect frame, const std::string& outlet, const std::string& placeholder);

}  // namespace almavel
