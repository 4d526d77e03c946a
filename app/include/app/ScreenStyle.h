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

// A custom button filled with `fill`, white bold title of `fontSize`
// points, corner radius 5, named `outlet` for input and inspection.
std::shared_ptr<ns::UIButton> filledButton(ns::CGRect frame, const std::string& title, const std::string& outlet,
                                           ns::UIColor fill, double fontSize);

}  // namespace almavel
