#include <gtest/gtest.h>

#include "app/ActivityInicator.h"
#include "app/ColorFromHex.h"
#include "app_test_support.h"
#include "uikit/UIImage.h"

namespace {

TEST(ColorFromHex, EachChannelIsDividedBy256) {
    struct Case {
        uint32_t hex;
        double alpha;
        ns::UIColor expected;
    };
    const std::vector<Case> cases{
        {0xFFFFFF, 1.0, {0.99609375, 0.99609375, 0.99609375, 1.0}},
        {0x000000, 0.4, {0, 0, 0, 0.4}},
        {0x08469A, 0.5, {8.0 / 256, 70.0 / 256, 154.0 / 256, 0.5}},
        // Only the low 24 bits count.
        {0xFF123456, 1.0, {0x12 / 256.0, 0x34 / 256.0, 0x56 / 256.0, 1.0}},
    };
    const almavel::ColorFromHex cfhex;
    for (const auto& c : cases) {
        EXPECT_EQ(cfhex.colorFromHex(c.hex, c.alpha), c.expected) << std::hex << c.hex;
    }
}

TEST(ActivityInicator, TheOverlayCoversTheViewWithTheSquareAndSpinnerInItsMiddle) {
    auto screen = ns::UIView::make(ns::CGRectMake(0, 0, 375, 667));
    almavel::ActivityInicator actInd;
    for (int time = 0; time < 2; ++time) {
        actInd.showActivityIndicator(screen);
        const auto& container = actInd.container();
        EXPECT_EQ(container->superview(), screen);
        EXPECT_EQ(container->frame(), ns::CGRectMake(0, 0, 375, 667));
        EXPECT_EQ(container->backgroundColor(), ns::UIColor(255.0 / 256, 255.0 / 256, 255.0 / 256, 0.3));

        const auto& square = actInd.loadingView();
        EXPECT_EQ(square->superview(), container);
        EXPECT_EQ(square->frame(), ns::CGRectMake(147.5, 293.5, 80, 80));
        EXPECT_EQ(square->backgroundColor(), ns::UIColor(68.0 / 256, 68.0 / 256, 68.0 / 256, 0.5));
        EXPECT_TRUE(square->clipsToBounds());
        EXPECT_EQ(square->layer()->cornerRadius(), 10);

        const auto& spinner = actInd.activityIndicator();
        EXPECT_EQ(spinner->superview(), square);
        EXPECT_EQ(spinner->frame(), ns::CGRectMake(20, 20, 40, 40));
        EXPECT_EQ(spinner->activityIndicatorViewStyle(), ns::UIActivityIndicatorViewStyle::WhiteLarge);
        EXPECT_TRUE(spinner->isAnimating());
        // Shown again, the same views lie over the screen once.
        EXPECT_EQ(std::count(screen->subviews().begin(), screen->subviews().end(), container), 1);

        actInd.hideActivityIndicator(screen);
        EXPECT_EQ(container->superview(), nullptr);
        EXPECT_FALSE(spinner->isAnimating());
    }
}

class SignInScreenshot : public apptest::AppTest {
protected:
    SignInScreenshot() : AppTest(false) {}
};

TEST_F(SignInScreenshot, ThePictureShowsTheFieldsAndTheButtonOnTheBrandBackground) {
    launch();
    const ns::Data png = driver.screenshotPNG();
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(std::vector<uint8_t>(png.begin(), png.begin() + 8),
              (std::vector<uint8_t>{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}));
    auto image = ns::UIImage::initWithData(png);
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(image->pixelWidth(), 750);
    ASSERT_EQ(image->pixelHeight(), 1334);

    auto near = [](std::array<uint8_t, 4> px, int r, int g, int b) {
        return std::abs(px[0] - r) <= 3 && std::abs(px[1] - g) <= 3 && std::abs(px[2] - b) <= 3 && px[3] == 255;
    };
    // Points (x2 for pixels): the background beside the fields, inside each
    // field away from its text, and inside the button away from its title.
    struct Probe {
        const char* what;
        double x, y;
        int r, g, b;
    };
    const std::vector<Probe> probes{
        {"background", 20, 272, 8, 70, 154},
        {"e-mail field", 325, 272, 255, 255, 255},
        {"password field", 325, 328, 255, 255, 255},
        {"between the fields", 187, 300, 8, 70, 154},
        {"sign-in button", 50, 380, 247, 168, 35},
        {"below the button", 20, 520, 8, 70, 154},
    };
    for (const auto& p : probes) {
        const auto px = image->pixelAt(int(p.x * 2), int(p.y * 2));
        EXPECT_TRUE(near(px, p.r, p.g, p.b)) << p.what << ": " << int(px[0]) << "," << int(px[1]) << "," << int(px[2])
                                             << "," << int(px[3]);
    }
}

}  // namespace
