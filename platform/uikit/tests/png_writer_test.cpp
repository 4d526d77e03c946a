#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "uikit/UIImage.h"

namespace {

// A picture with detail in every row, so no two bands compress alike.
std::vector<uint8_t> pattern(int width, int height, bool translucent) {
    std::vector<uint8_t> rgba(size_t(width) * size_t(height) * 4);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &rgba[(size_t(y) * size_t(width) + size_t(x)) * 4];
            p[0] = uint8_t(x * 7 + y);
            p[1] = uint8_t(y * 3);
            p[2] = uint8_t((x ^ y) * 5);
            p[3] = 255;
            // Fully clear pixels: what a straight RGBA decoder gives back
            // exactly, whatever the premultiplied path it takes.
            if (translucent && (x + y) % 5 == 0) p[0] = p[1] = p[2] = p[3] = 0;
        }
    }
    return rgba;
}

// One changed pixel in row `y` (y < 0 counts from the bottom).
std::vector<uint8_t> touched(std::vector<uint8_t> rgba, int width, int height, int y) {
    const int row = y < 0 ? height + y : y;
    uint8_t* p = &rgba[(size_t(row) * size_t(width) + size_t(width - 1)) * 4];
    p[1] = uint8_t(p[1] + 1);
    p[3] = 255;
    return rgba;
}

struct Frame {
    int width;
    int height;
    bool translucent;
    int touchedRow;  // 0: none
    uint8_t colourType;
};

// Frames encoded one after another by one frame encoder: each gives the
// bytes a fresh encoding does, and those decode to the frame's pixels.
// The rows touched are a band's last and first rows and the short last
// band, where a band kept from the frame before would hide the change.
TEST(PNGWriterTest, FramesEncodedAfterOthersMatchAFreshEncodingAndDecodeToTheirPixels) {
    const std::vector<Frame> frames = {
        {37, 50, false, 0, 2},  {37, 50, false, 15, 2}, {37, 50, false, 16, 2}, {37, 50, false, -1, 2},
        {37, 50, false, 0, 2},  {37, 50, true, 0, 6},   {37, 50, true, 31, 6},  {37, 51, true, 0, 6},
        {1, 1, false, 0, 2},    {1, 1, true, 0, 6},     {750, 16, false, 0, 2}, {750, 17, false, -1, 2},
        {3, 300, false, 0, 2},  {3, 300, false, 200, 2},
    };
    ns::PNGFrameEncoder encoder;
    for (size_t i = 0; i < frames.size(); ++i) {
        const Frame& f = frames[i];
        SCOPED_TRACE("frame " + std::to_string(i));
        auto rgba = pattern(f.width, f.height, f.translucent);
        if (f.touchedRow != 0) rgba = touched(std::move(rgba), f.width, f.height, f.touchedRow);
        const ns::UIImage image(f.width, f.height, rgba, 2);
        const ns::Data fresh = ns::UIImagePNGRepresentation(image);
        ASSERT_GT(fresh.size(), 33u);
        EXPECT_EQ(fresh[25], f.colourType) << "RGB only when every pixel is opaque";
        EXPECT_EQ(encoder.encode(image), fresh);
        auto decoded = ns::UIImage::initWithData(fresh);
        ASSERT_NE(decoded, nullptr);
        ASSERT_EQ(decoded->pixelWidth(), f.width);
        EXPECT_EQ(decoded->rgba(), rgba);
    }
}

}  // namespace
