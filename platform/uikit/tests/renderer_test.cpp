#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <vector>

#include "platform/application.h"
#include "screen_fixture.h"
#include "testing/temp_sandbox.h"
#include "uikit/UIWindow.h"
#include "uikit/renderer.h"
#include "platform/error.h"

namespace {

using ns::CGRectMake;
using Pixel = std::array<uint8_t, 4>;

// Colour channels agree within `tolerance` (antialiasing, rounding).
::testing::AssertionResult near(const Pixel& got, Pixel want, int tolerance = 3) {
    for (int i = 0; i < 4; ++i) {
        if (std::abs(int(got[size_t(i)]) - int(want[size_t(i)])) > tolerance) {
            return ::testing::AssertionFailure() << "pixel (" << int(got[0]) << ", " << int(got[1]) << ", "
                                                 << int(got[2]) << ", " << int(got[3]) << ") is not ("
                                                 << int(want[0]) << ", " << int(want[1]) << ", " << int(want[2])
                                                 << ", " << int(want[3]) << ")";
        }
    }
    return ::testing::AssertionSuccess();
}

// The pixel under a point of the screen (scale 2).
Pixel at(const ns::UIImage& image, double x, double y) { return image.pixelAt(int(x * 2), int(y * 2)); }

int inkInside(const ns::UIImage& image, ns::CGRect r, Pixel background) {
    int count = 0;
    for (int y = int(r.minY() * 2); y < int(r.maxY() * 2); ++y) {
        for (int x = int(r.minX() * 2); x < int(r.maxX() * 2); ++x) {
            if (!near(image.pixelAt(x, y), background, 24)) ++count;
        }
    }
    return count;
}

const ns::UIColor kBrandBlue = ns::UIColor(8 / 256.0, 70 / 256.0, 154 / 256.0, 1);

using RendererTest = ns::testing::ScreenTest<ns::UIViewController>;

TEST_F(RendererTest, ASignInLikeScreenDrawsItsFieldAndButtonAtScaleTwo) {
    auto field = ns::UITextField::make(CGRectMake(20, 100, 335, 40));
    field->setPlaceholder("Correo");
    auto button = ns::UIButton::make(CGRectMake(20, 160, 335, 44), "Entrar", ns::UIButtonType::Custom);
    button->setBackgroundColor(kBrandBlue);
    button->layer()->setCornerRadius(5);
    screen->view()->addSubview(field);
    screen->view()->addSubview(button);

    auto image = ns::snapshotWindow(*window);
    ASSERT_EQ(image->pixelWidth(), 750);
    ASSERT_EQ(image->pixelHeight(), 1334);
    EXPECT_TRUE(near(at(*image, 10, 50), {255, 255, 255, 255}));
    // The button's fill, away from its title, and its rounded corner.
    EXPECT_TRUE(near(at(*image, 30, 182), {8, 70, 154, 255}));
    EXPECT_TRUE(near(at(*image, 20.25, 160.25), {255, 255, 255, 255}, 40));
    // White title text inside the button.
    EXPECT_GT(inkInside(*image, CGRectMake(150, 165, 75, 34), {8, 70, 154, 255}), 50);
    // The field's grey hairline border and white inside.
    Pixel border = at(*image, 187, 100.1);
    EXPECT_LT(border[0], 240);
    EXPECT_TRUE(near(at(*image, 300, 120), {255, 255, 255, 255}));
    // The placeholder is drawn in light grey.
    EXPECT_GT(inkInside(*image, CGRectMake(27, 105, 100, 30), {255, 255, 255, 255}), 30);
}

TEST_F(RendererTest, LabelTextIsDrawnInsideTheLabelOnly) {
    auto label = ns::UILabel::make(CGRectMake(20, 300, 200, 30));
    label->setText("Capture un código de barras");
    screen->view()->addSubview(label);
    auto empty = ns::UILabel::make(CGRectMake(20, 400, 200, 30));
    screen->view()->addSubview(empty);
    auto image = ns::snapshotWindow(*window);
    EXPECT_GT(inkInside(*image, label->frame(), {255, 255, 255, 255}), 300);
    EXPECT_EQ(inkInside(*image, empty->frame(), {255, 255, 255, 255}), 0);
    EXPECT_EQ(inkInside(*image, CGRectMake(230, 300, 100, 30), {255, 255, 255, 255}), 0);
}

TEST_F(RendererTest, BordersShadowsTranslucencyAndTheSpinner) {
    screen->view()->setBackgroundColor(ns::UIColor::blackColor());
    auto bordered = ns::UIView::make(CGRectMake(20, 20, 100, 100));
    bordered->layer()->setBorderWidth(4);
    bordered->layer()->setBorderColor(ns::UIColor::redColor());
    auto sheet = ns::UIView::make(CGRectMake(150, 20, 100, 100));
    sheet->setBackgroundColor(ns::UIColor(255 / 256.0, 255 / 256.0, 255 / 256.0, 0.3));
    auto panel = ns::UIView::make(CGRectMake(20, 200, 100, 100));
    panel->setBackgroundColor(ns::UIColor::whiteColor());
    panel->layer()->setShadowOpacity(1);
    panel->layer()->setShadowRadius(6);
    panel->layer()->setShadowColor(ns::UIColor::whiteColor());
    auto spinner = ns::UIActivityIndicatorView::make(CGRectMake(200, 400, 40, 40));
    spinner->setActivityIndicatorViewStyle(ns::UIActivityIndicatorViewStyle::WhiteLarge);
    for (const auto& v : {bordered, sheet, panel, ns::UIViewPtr(spinner)}) screen->view()->addSubview(v);

    auto stopped = ns::snapshotWindow(*window);
    EXPECT_EQ(inkInside(*stopped, spinner->frame(), {0, 0, 0, 255}), 0) << "a stopped spinner hides";
    spinner->startAnimating();
    auto image = ns::snapshotWindow(*window);
    EXPECT_GT(inkInside(*image, spinner->frame(), {0, 0, 0, 255}), 50);

    EXPECT_TRUE(near(at(*image, 21, 70), {255, 0, 0, 255}));
    EXPECT_TRUE(near(at(*image, 70, 70), {0, 0, 0, 255}));
    // White at 0.3 over black.
    EXPECT_TRUE(near(at(*image, 200, 70), {76, 76, 76, 255}, 2));
    // The shadow lights the black just outside the panel (offset 3 up).
    EXPECT_GT(at(*image, 70, 196)[0], 40);
    EXPECT_TRUE(near(at(*image, 70, 330), {0, 0, 0, 255}));
}

// Frames are drawn into one kept bitmap once no picture holds it, and what
// an opaque full-screen view covers is not drawn: neither changes a pixel,
// the PNG bytes or the cut texts the recorders hear.
TEST_F(RendererTest, RedrawnAndCoveredScreensKeepTheirPicturesAndReports) {
    auto label = ns::UILabel::make(CGRectMake(20, 300, 60, 30));
    label->setText("Un texto demasiado largo para caber");
    screen->view()->addSubview(label);
    auto first = ns::snapshotWindow(*window);
    const std::vector<uint8_t> pixels = first->rgba();
    EXPECT_EQ(ns::snapshotWindow(*window)->rgba(), pixels) << "drawn while the first picture is held";
    first.reset();
    auto redrawn = ns::snapshotWindow(*window);
    EXPECT_EQ(redrawn->rgba(), pixels);
    EXPECT_EQ(ns::UIImagePNGRepresentation(*redrawn),
              ns::UIImagePNGRepresentation(ns::UIImage(750, 1334, pixels, 2)));

    auto cover = ns::UIView::make(screen->view()->bounds());
    cover->setBackgroundColor(ns::UIColor::blackColor());
    screen->view()->addSubview(cover);
    ns::UITruncationRecorder recorder;
    auto covered = ns::snapshotWindow(*window);
    EXPECT_TRUE(near(at(*covered, 30, 310), {0, 0, 0, 255}, 0));
    ASSERT_EQ(recorder.texts().size(), 1u);
    EXPECT_EQ(recorder.texts()[0].text, "Un texto demasiado largo para caber");
}

TEST(ImageCodingTest, JpegAndPngRoundTrip) {
    std::vector<uint8_t> rgba(64 * 32 * 4);
    for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 64; ++x) {
            uint8_t* p = &rgba[size_t(y * 64 + x) * 4];
            p[0] = x < 32 ? 200 : 20;
            p[1] = 60;
            p[2] = x < 32 ? 30 : 220;
            p[3] = 255;
        }
    }
    ns::UIImage image(64, 32, rgba, 2);
    ns::Data jpeg = ns::UIImageJPEGRepresentation(image, 0.9);
    ASSERT_GT(jpeg.size(), 100u);
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
    auto decoded = ns::UIImage::initWithData(jpeg);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(decoded->pixelWidth(), 64);
    EXPECT_EQ(decoded->pixelHeight(), 32);
    EXPECT_TRUE(near(decoded->pixelAt(8, 16), {200, 60, 30, 255}, 12));
    EXPECT_TRUE(near(decoded->pixelAt(56, 16), {20, 60, 220, 255}, 12));
    // A lower quality gives fewer bytes.
    EXPECT_LT(ns::UIImageJPEGRepresentation(image, 0.3).size(), jpeg.size());

    ns::Data png = ns::UIImagePNGRepresentation(image);
    auto fromPng = ns::UIImage::initWithData(png);
    ASSERT_NE(fromPng, nullptr);
    EXPECT_EQ(fromPng->rgba(), image.rgba());

    EXPECT_EQ(ns::UIImage::initWithData(ns::Data{'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'}), nullptr);
    ns::Data truncated(jpeg.begin(), jpeg.begin() + 20);
    EXPECT_EQ(ns::UIImage::initWithData(truncated), nullptr);
}

TEST(ImageCodingTest, SharingAScreenshotSavesOnePictureEachTime) {
    auto screenshot = ns::UIImage::filled({10, 10}, ns::UIColor::greenColor(), 2);
    const size_t before = ns::UIPhotoAlbum::savedPicturePaths().size();
    auto sheet = ns::UIActivityViewController::initWithActivityItems({ns::Value(std::static_pointer_cast<ns::Object>(screenshot))});
    sheet->setExcludedActivityTypes({ns::UIActivityTypeAirDrop, ns::UIActivityTypePostToFacebook});
    auto offered = sheet->availableActivityTypes();
    EXPECT_EQ(std::count(offered.begin(), offered.end(), std::string(ns::UIActivityTypeAirDrop)), 0);
    std::string done;
    sheet->setCompletionWithItemsHandler([&](const std::string& type, bool completed) { done = completed ? type : "cancel"; });
    sheet->performActivity(ns::UIActivityTypeSaveToCameraRoll);
    EXPECT_EQ(done, ns::UIActivityTypeSaveToCameraRoll);
    ns::UIImageWriteToSavedPhotosAlbum(screenshot);
    auto paths = ns::UIPhotoAlbum::savedPicturePaths();
    ASSERT_EQ(paths.size(), before + 2);
    auto saved = ns::UIImage::imageWithContentsOfFile(paths.back());
    ASSERT_NE(saved, nullptr);
    EXPECT_TRUE(near(saved->pixelAt(5, 5), {0, 255, 0, 255}, 12));
    EXPECT_THROW(sheet->performActivity(ns::UIActivityTypeAirDrop), ns::Exception);
}

TEST(GraphicsContextTest, RenderingALayerIntoAnImageContextGivesItsPicture) {
    auto view = ns::UIView::make(CGRectMake(0, 0, 20, 10));
    view->setBackgroundColor(ns::UIColor::blueColor());
    ns::UIGraphicsBeginImageContextWithOptions({20, 10}, false, 2);
    view->layer()->renderInContext(ns::UIGraphicsGetCurrentContext());
    auto image = ns::UIGraphicsGetImageFromCurrentImageContext();
    ns::UIGraphicsEndImageContext();
    EXPECT_EQ(ns::UIGraphicsGetCurrentContext(), nullptr);
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->size(), (ns::CGSize{20, 10}));
    EXPECT_TRUE(near(image->pixelAt(39, 19), {0, 0, 255, 255}));
}

TEST(ImageCodingTest, BundleImagesAreFoundByNameWithTheirScale) {
    ns::testing::TempSandbox sandbox;
    ns::UIImage red(4, 2, std::vector<uint8_t>(4 * 2 * 4, 255), 1);
    sandbox.writeBundleFile("1@2x.png", ns::UIImagePNGRepresentation(red));
    sandbox.writeBundleFile("tienda.jpg", ns::UIImageJPEGRepresentation(red, 0.8));
    sandbox.writeBundleFile("roto.png", std::string("not a png"));
    auto flyer = ns::UIImage::imageNamed("1");
    ASSERT_NE(flyer, nullptr);
    EXPECT_EQ(flyer->scale(), 2);
    EXPECT_EQ(flyer->size(), (ns::CGSize{2, 1}));
    auto store = ns::UIImage::imageNamed("tienda");
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->scale(), 1);
    EXPECT_EQ(ns::UIImage::imageNamed("roto"), nullptr);
    EXPECT_EQ(ns::UIImage::imageNamed("11"), nullptr);
    EXPECT_EQ(ns::UIImage::imageNamed(""), nullptr);
}

}  // namespace

// A frame drawn into the kept bitmap over a cover of the colour the last
// frame had paints back only what that frame painted over its cover: each
// change below must leave the picture a whole new drawing gives.
TEST_F(RendererTest, AFrameDrawnOverTheLastOneIsTheFrameDrawnAfresh) {
    using Views = std::vector<ns::UIViewPtr>;
    struct Case {
        const char* what;
        std::function<void(ns::UIView& root, Views& views)> build;
        std::function<void(ns::UIView& root, Views& views)> change;
    };
    auto label = [](ns::UIView& root, const char* text, ns::CGRect frame) {
        auto view = ns::UILabel::make(frame);
        view->setText(text);
        root.addSubview(view);
        return std::static_pointer_cast<ns::UIView>(view);
    };
    auto picture = [](ns::UIView& root, std::shared_ptr<ns::UIImage> image) {
        auto view = ns::UIImageView::make(CGRectMake(60, 150, 240, 180));
        view->setImage(std::move(image));
        root.addSubview(view);
        return std::static_pointer_cast<ns::UIView>(view);
    };
    auto show = [](const ns::UIViewPtr& view, std::shared_ptr<ns::UIImage> image) {
        std::static_pointer_cast<ns::UIImageView>(view)->setImage(std::move(image));
    };
    auto jpeg = [](ns::UIColor color) {
        return ns::UIImageJPEGRepresentation(*ns::UIImage::filled({240, 180}, color), 0.8);
    };
    const ns::Data blueJpeg = jpeg(kBrandBlue);
    const ns::Data redJpeg = jpeg(ns::UIColor::redColor());
    const std::vector<Case> cases = {
        {"a shorter text", [&](auto& root, auto& v) { v.push_back(label(root, "Precio regular: 89.95", CGRectMake(16, 200, 300, 30))); },
         [](auto&, auto& v) { std::static_pointer_cast<ns::UILabel>(v[0])->setText("89"); }},
        {"a view moved", [&](auto& root, auto& v) { v.push_back(label(root, "Cotizar", CGRectMake(16, 300, 100, 40))); },
         [](auto&, auto& v) { v[0]->setFrame(CGRectMake(200, 500, 100, 40)); }},
        {"a view hidden", [&](auto& root, auto& v) {
             v.push_back(ns::UIView::make(CGRectMake(40, 40, 80, 80)));
             v[0]->setBackgroundColor(kBrandBlue);
             root.addSubview(v[0]);
         },
         [](auto&, auto& v) { v[0]->setHidden(true); }},
        {"a shadow gone", [&](auto& root, auto& v) {
             v.push_back(ns::UIView::make(CGRectMake(100, 100, 60, 60)));
             v[0]->setBackgroundColor(ns::UIColor::whiteColor());
             v[0]->layer()->setShadowOpacity(0.8);
             v[0]->layer()->setShadowRadius(12);
             v[0]->layer()->setShadowOffset({6, 9});
             root.addSubview(v[0]);
         },
         [](auto&, auto& v) { v[0]->removeFromSuperview(); }},
        {"a button's image wider than the button gone", [&](auto& root, auto& v) {
             auto button = ns::UIButton::make(CGRectMake(150, 400, 20, 20), "");
             button->setImage(ns::UIImage::filled({90, 30}, ns::UIColor::redColor(), 2));
             root.addSubview(button);
             v.push_back(button);
         },
         [](auto&, auto& v) { v[0]->removeFromSuperview(); }},
        {"a translucent view gone", [&](auto& root, auto& v) {
             v.push_back(ns::UIView::make(CGRectMake(10, 600, 300, 50)));
             v[0]->setBackgroundColor(ns::UIColor::blackColor());
             v[0]->setAlpha(0.4);
             v[0]->layer()->setBorderWidth(3);
             root.addSubview(v[0]);
         },
         [](auto&, auto& v) { v[0]->removeFromSuperview(); }},
        {"nothing changed", [&](auto& root, auto& v) { v.push_back(label(root, "Existencia", CGRectMake(16, 250, 200, 30))); },
         [](auto&, auto&) {}},
        {"a picture replaced", [&](auto& root, auto& v) { v.push_back(picture(root, ns::UIImage::filled({240, 180}, kBrandBlue, 2))); },
         [&](auto&, auto& v) { show(v[0], ns::UIImage::filled({240, 180}, ns::UIColor::redColor(), 2)); }},
        {"a photo decoded again from the same bytes",
         [&](auto& root, auto& v) { v.push_back(picture(root, ns::UIImage::initWithData(blueJpeg))); },
         [&](auto&, auto& v) { show(v[0], ns::UIImage::initWithData(blueJpeg)); }},
        {"a photo replaced by another of its size",
         [&](auto& root, auto& v) { v.push_back(picture(root, ns::UIImage::initWithData(blueJpeg))); },
         [&](auto&, auto& v) { show(v[0], ns::UIImage::initWithData(redJpeg)); }},
        {"a faded parent's opacity changed", [&](auto& root, auto& v) {
             v.push_back(ns::UIView::make(CGRectMake(20, 520, 300, 60)));
             v[0]->setAlpha(0.5);
             root.addSubview(v[0]);
             label(*v[0], "Cantidad", CGRectMake(10, 10, 200, 30));
         },
         [](auto&, auto& v) { v[0]->setAlpha(0.9); }},
        {"a clipping parent narrowed", [&](auto& root, auto& v) {
             v.push_back(ns::UIView::make(CGRectMake(20, 590, 120, 40)));
             v[0]->setClipsToBounds(true);
             root.addSubview(v[0]);
             label(*v[0], "Una línea más larga que su recuadro", CGRectMake(0, 0, 400, 40));
         },
         [](auto&, auto& v) { v[0]->setFrame(CGRectMake(20, 590, 60, 40)); }},
        {"the cover's colour changed", [&](auto& root, auto& v) { v.push_back(label(root, "Margen", CGRectMake(16, 250, 200, 30))); },
         [](auto& root, auto&) { root.setBackgroundColor(kBrandBlue); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto root = ns::UIView::make(screen->view()->bounds());
        root->setBackgroundColor(ns::UIColor::whiteColor());
        screen->view()->addSubview(root);
        Views views;
        c.build(*root, views);
        ns::snapshotWindow(*window);  // dropped: the next frame reuses its bitmap
        c.change(*root, views);
        auto overLast = ns::snapshotWindow(*window);
        auto afresh = ns::snapshotWindow(*window);  // the first is held: a new bitmap
        EXPECT_EQ(overLast->rgba(), afresh->rgba());
        root->removeFromSuperview();
    }
}
