#pragma once
// The colour helper the screens share: 0xRRGGBB and an alpha to a UIColor.
// Each channel is divided by 256, not 255, so 0xFF gives 0.99609375 and
// never 1.0; the screens' colours were chosen that way and keep it. A plain
// value without state; any thread.

#include <cstdint>

#include "uikit/UIColor.h"

namespace almavel {

class ColorFromHex {
public:
    ns::UIColor colorFromHex(uint32_t rgbValue, double alpha) const;
};

}  // namespace almavel
