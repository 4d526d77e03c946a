#include <gtest/gtest.h>

#include <functional>

#include "screen_fixture.h"
#include "testing/temp_sandbox.h"
#include "uikit/UIViewController.h"
#include "uikit/inspection.h"

namespace {

using ns::CGRectMake;

const std::string kText = "Total en linea: B/. 149.90 por dos taladros";

TEST(TextFitTest, LabelsWrapThenShrinkAndTruncateOnlyAsALastResort) {
    const ns::UIFont font = ns::UIFont::systemFontOfSize(15);
    const double width = ns::UITextSize(kText, font).width;
    const double line = ns::UITextFitInSize("Ag", font, {100, 100}, 1).lineHeight;
    struct Case {
        const char* what;
        ns::CGSize box;
        int lines;
        double minimumScale;
        size_t linesDrawn;
        bool truncated;
        bool shrunk;
    } cases[] = {
        {"fits on its line", {width + 1, line}, 1, 1, 1, false, false},
        {"one line, cut", {width * 0.7, line}, 1, 1, 1, true, false},
        {"one line, shrunk to fit", {width * 0.7, line}, 1, 0.6, 1, false, true},
        {"not shrunk enough, cut", {width * 0.7, line}, 1, 0.8, 1, true, true},
        {"wraps as the height allows", {width * 0.45, line * 4}, 0, 1, 3, false, false},
        {"wraps, cut by the height", {width * 0.4, line * 2}, 0, 1, 2, true, false},
        {"wraps, cut by the lines", {width * 0.4, line * 4}, 2, 1, 2, true, false},
        {"shrinks to fit its two lines", {width * 0.4, line * 2}, 2, 0.5, 2, false, true},
    };
    for (const auto& c : cases) {
        const auto fit = ns::UITextFitInSize(kText, font, c.box, c.lines, c.minimumScale);
        EXPECT_EQ(fit.lines.size(), c.linesDrawn) << c.what;
        EXPECT_EQ(fit.truncated, c.truncated) << c.what;
        EXPECT_EQ(fit.font.pointSize < 15, c.shrunk) << c.what;
        EXPECT_GE(fit.font.pointSize, 15 * c.minimumScale - 0.01) << c.what;
        EXPECT_EQ(fit.drawnText().ends_with("\u2026"), c.truncated) << c.what;
        for (const auto& l : fit.lines) EXPECT_LE(ns::UITextSize(l, fit.font).width, c.box.width + 0.01) << c.what;
    }
    // A word longer than a line breaks between characters rather than being cut.
    EXPECT_FALSE(ns::UITextFitInSize("7452100001259", font, {40, line * 5}, 0).truncated);
}

// Fits are kept between draws: each change a label goes through gives the
// fit of its new state, and going back gives the first fit again.
TEST(TextFitTest, ALabelsFitFollowsEachOfItsSettings) {
    const ns::UIFont font = ns::UIFont::systemFontOfSize(15);
    const double width = ns::UITextSize(kText, font).width;
    const double line = ns::UITextFitInSize("Ag", font, {100, 100}, 1).lineHeight;
    auto label = ns::UILabel::make(CGRectMake(0, 0, width * 0.7, line * 2));
    label->setText(kText);
    label->setFont(font);
    const auto first = label->textFit();
    struct Step {
        const char* what;
        std::function<void()> change;
        size_t lines;
        bool truncated;
        double pointSize;
    } steps[] = {
        {"two lines", [&] { label->setNumberOfLines(2); }, 2, false, 15},
        {"a font twice as large", [&] { label->setFont(ns::UIFont::systemFontOfSize(30)); }, 1, true, 30},
        {"shrinking allowed", [&] { label->setAdjustsFontSizeToFitWidth(true); label->setMinimumScaleFactor(0.4); },
         2, false, -1},
        {"a short text", [&] { label->setText("Total"); }, 1, false, 30},
        {"a narrow box", [&] { label->setFrame(CGRectMake(0, 0, 10, line * 2)); }, 2, true, 12},
        {"the first state", [&] {
             label->setFrame(CGRectMake(0, 0, width * 0.7, line * 2));
             label->setText(kText);
             label->setFont(font);
             label->setNumberOfLines(1);
             label->setAdjustsFontSizeToFitWidth(false);
         }, 1, true, 15},
    };
    for (const auto& step : steps) {
        step.change();
        const auto fit = label->textFit();
        EXPECT_EQ(fit.lines.size(), step.lines) << step.what;
        EXPECT_EQ(fit.truncated, step.truncated) << step.what;
        if (step.pointSize > 0) {
            EXPECT_DOUBLE_EQ(fit.font.pointSize, step.pointSize) << step.what;
        } else {
            EXPECT_LT(fit.font.pointSize, 30) << step.what;
        }
    }
    EXPECT_EQ(label->textFit().lines, first.lines);
}

// The back button says the previous title, else the short "Back" of the
// device's language, else only the chevron; then the title is cut.
TEST(TextFitTest, TheBackButtonGivesWayToTheTitle) {
    struct Case {
        const char* locale;
        std::string previous;
        std::string title;
        std::string back;
    } cases[] = {
        {"es_PA", "Menú", "Cotizacion", "\u2039 Menú"},
        {"es_PA", "Búsqueda avanzada de productos", "Estado de cuenta", "\u2039 Atrás"},
        {"en_US", "Búsqueda avanzada de productos", "Estado de cuenta", "\u2039 Back"},
        {"es_PA", "Tarjeta", "Estado de cuenta de la tarjeta de crédito", "\u2039"},
    };
    for (const auto& c : cases) {
        ns::DeviceProfile profile;
        profile.localeIdentifier = c.locale;
        ns::testing::TempSandbox sandbox(profile);
        auto first = ns::UIViewController::make();
        first->setTitle(c.previous);
        auto second = ns::UIViewController::make();
        second->setTitle(c.title);
        auto nav = ns::UINavigationController::initWithRootViewController(first);
        auto window = ns::UIWindow::make();
        window->setRootViewController(nav);
        window->makeKeyAndVisible();
        nav->pushViewController(second, false);
        const auto cut = ns::truncatedTexts(*window);
        const auto& bar = *nav->navigationBar();
        EXPECT_EQ(bar.backButton()->currentTitle(), c.back) << c.title;
        EXPECT_GE(bar.titleLabel()->frame().minX(), bar.backButton()->frame().maxX()) << c.title;
        EXPECT_EQ(bar.titleLabel()->textFit().truncated, c.back == "\u2039") << c.title;
        EXPECT_EQ(cut.size(), c.back == "\u2039" ? 1u : 0u) << c.title;
        ns::Application::shared()->resetForTesting();
    }
}

TEST(TextFitTest, SystemTextsFollowTheDevicesLanguage) {
    for (const char* spanish : {"es", "es_PA", "ES-mx"}) {
        EXPECT_EQ(ns::UISystemString(ns::UISystemText::SaveImage, spanish), "Guardar imagen") << spanish;
    }
    for (const char* other : {"en_US", "et_EE", "", "pt_BR"}) {
        EXPECT_EQ(ns::UISystemString(ns::UISystemText::SaveImage, other), "Save Image") << other;
    }
}

using SheetTest = ns::testing::ScreenTest<ns::UIViewController>;

TEST_F(SheetTest, TheShareSheetAndThePickerSpeakSpanishOnASpanishPhoneUnderEnglishNames) {
    ns::DeviceProfile profile;
    profile.localeIdentifier = "es_PA";
    ns::testing::TempSandbox sandbox(profile);
    auto sheet = ns::UIActivityViewController::initWithActivityItems({});
    sheet->setExcludedActivityTypes({ns::UIActivityTypeAirDrop, ns::UIActivityTypePostToFacebook});
    screen->presentViewController(sheet, false);
    std::vector<std::string> titles;
    for (const char* name : {"Message", "Mail", "Copy", "Save Image", "Cancel"}) {
        auto button = std::dynamic_pointer_cast<ns::UIButton>(sheet->view()->viewWithIdentifier(name));
        titles.push_back(button ? button->currentTitle() : "");
    }
    EXPECT_EQ(titles, (std::vector<std::string>{"Mensaje", "Correo", "Copiar", "Guardar imagen", "Cancelar"}));
    sheet->cancel();
    ns::UIImagePickerController::setCameraSource([] { return ns::UIImage::filled({4, 4}, ns::UIColor::whiteColor()); });
    auto picker = ns::UIImagePickerController::make();
    picker->setSourceType(ns::UIImagePickerControllerSourceType::Camera);
    screen->presentViewController(picker, false);
    EXPECT_NE(ns::describeScreen(*window).find("label: Cámara\nbutton Tomar foto\nbutton Cancelar"), std::string::npos)
        << ns::describeScreen(*window);
    ns::UIImagePickerController::setCameraSource(nullptr);
}

}  // namespace
