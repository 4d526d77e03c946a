#include "app/ColorFromHex.h"

namespace almavel {

ns::UIColor ColorFromHex::colorFromHex(uint32_t rgbValue, double alpha) const {
    return ns::UIColor(double((rgbValue >> 16) & 0xFF) / 256, double((rgbValue >> 8) & 0xFF) / 256,
                       double(rgbValue & 0xFF) / 256, alpha);
}

}  // namespace almavel
