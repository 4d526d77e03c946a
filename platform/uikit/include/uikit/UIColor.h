#pragma once
// UIColor stand-in: red, green, blue and alpha as doubles in 0...1, kept
// exactly as given (0x44 / 256 stays 0.265625; nothing is rounded to 8
// bits until the renderer draws). A plain value: copy it freely, any
// thread. CGColor() gives the same value, since layers take colours as
// CGColorRef.

#include <cstdint>
#include <string>

namespace ns {

class UIColor {
public:
    constexpr UIColor() = default;
    constexpr UIColor(double red, double green, double blue, double alpha)
        : red_(red), green_(green), blue_(blue), alpha_(alpha) {}

    static constexpr UIColor colorWithRed(double red, double green, double blue, double alpha) {
        return UIColor(red, green, blue, alpha);
    }
    static constexpr UIColor colorWithWhite(double white, double alpha) { return UIColor(white, white, white, alpha); }

    static constexpr UIColor clearColor() { return UIColor(0, 0, 0, 0); }
    static constexpr UIColor blackColor() { return UIColor(0, 0, 0, 1); }
    static constexpr UIColor whiteColor() { return UIColor(1, 1, 1, 1); }
    static constexpr UIColor grayColor() { return UIColor(0.5, 0.5, 0.5, 1); }
    static constexpr UIColor lightGrayColor() { return UIColor(2.0 / 3, 2.0 / 3, 2.0 / 3, 1); }
    static constexpr UIColor darkGrayColor() { return UIColor(1.0 / 3, 1.0 / 3, 1.0 / 3, 1); }
    static constexpr UIColor redColor() { return UIColor(1, 0, 0, 1); }
    static constexpr UIColor greenColor() { return UIColor(0, 1, 0, 1); }
    static constexpr UIColor blueColor() { return UIColor(0, 0, 1, 1); }
    static constexpr UIColor orangeColor() { return UIColor(1, 0.5, 0, 1); }
    // The system tint of buttons and bar items.
    static constexpr UIColor systemBlueColor() { return UIColor(0, 122.0 / 255, 1, 1); }

    constexpr double red() const { return red_; }
    constexpr double green() const { return green_; }
    constexpr double blue() const { return blue_; }
    constexpr double alpha() const { return alpha_; }
    constexpr UIColor colorWithAlphaComponent(double alpha) const { return UIColor(red_, green_, blue_, alpha); }
    constexpr UIColor CGColor() const { return *this; }
    constexpr bool isClear() const { return alpha_ <= 0; }

    // "UIExtendedSRGBColorSpace r g b a", as UIKit describes a colour.
    std::string description() const;

    friend constexpr bool operator==(const UIColor&, const UIColor&) = default;

private:
    double red_ = 0;
    double green_ = 0;
    double blue_ = 0;
    double alpha_ = 0;
};

}  // namespace ns
