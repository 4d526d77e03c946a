#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "app/ScriptPlayer.h"
#include "app_test_support.h"
#include "platform/json.h"
#include "uikit/AVFoundation.h"
#include "uikit/UIImage.h"
#include "uikit/renderer.h"

namespace {

// The people the sample data names: card holders, and the staff's first
// and last names as their profiles show them.
std::vector<std::string> sampleNames() {
    const ns::Value data =
        ns::json::parse(apptest::readFile(std::string(ALMAVEL_SOURCE_DIR) + "/backend/sample-data/database.json"));
    std::vector<std::string> names;
    for (const char* table : {"cr3d", "us3r1nf0"}) {
        for (const auto& [key, record] : data.asDictionary().at(table).asDictionary()) {
            for (const char* field : {"Nombre", "Apellido"}) {
                auto it = record.asDictionary().find(field);
                if (it != record.asDictionary().end()) names.push_back(it->second.asString());
            }
        }
    }
    return names;
}

// The screen in front after each step the player printed (a controller
// presented over it, or an alert), each visit once, in order.
std::vector<std::string> screensShown(const std::string& printed) {
    std::vector<std::string> screens;
    std::string front;
    const auto visit = [&] {
        if (!front.empty() && (screens.empty() || screens.back() != front)) screens.push_back(front);
    };
    std::istringstream lines(printed);
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("== ")) visit();
        if (line.starts_with("screen: ")) front = line.substr(line.rfind('(') + 1, line.size() - line.rfind('(') - 2);
        if (line.starts_with("presented: ")) front = line.substr(std::string("presented: ").size());
        if (line.starts_with("alert: ")) front = "UIAlertController";
    }
    visit();
    return screens;
}

class ScriptPlayerTest : public apptest::AppTest {
protected:
    // Launches with the camera and plays the script file (a path under the
    // source tree); what it printed, or "" (and a failure) when it stopped.
    std::string playWithCamera(const std::string& file) {
        ns::AVCaptureDevice::installVirtualCamera();
        launch();
        std::ifstream script(std::string(ALMAVEL_SOURCE_DIR) + "/" + file);
        EXPECT_TRUE(script) << file;
        std::ostringstream out;
        const auto result = almavel::playScript(script, out, shots, driver);
        ns::AVCaptureDevice::removeVirtualCamera();
        EXPECT_TRUE(result.ok) << result.error << "\n" << out.str();
        return result.ok ? out.str() : std::string();
    }

    std::string shots = sandbox.root() + "/shots";
};

TEST_F(ScriptPlayerTest, TheSignInAndOutScriptPrintsEachScreenAndWritesItsPictures) {
    launch();
    std::ifstream script(std::string(ALMAVEL_SOURCE_DIR) + "/app/tests/sign_in_out.script");
    ASSERT_TRUE(script);
    std::ostringstream out;
    const auto result = almavel::playScript(script, out, shots, driver);
    ASSERT_TRUE(result.ok) << result.error << "\n" << out.str();
    EXPECT_EQ(result.steps, 8);
    const std::string text = out.str();
    EXPECT_NE(text.find("== 0: launch\nscreen: Iniciar sesión (ViewController)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("== 4: wait\nscreen: Almavel (MainViewController)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("button Cerrar sesión"), std::string::npos) << text;
    // The last screen is sign-in again, with the e-mail address kept.
    const std::string last = text.substr(text.find("== 8: tap CloseSession"));
    EXPECT_NE(last.find("(ViewController)"), std::string::npos) << last;
    EXPECT_NE(last.find("field txtUser: personal@almavel.com.pa"), std::string::npos) << last;
    for (const char* name : {"00-launch.png", "03-tap.png", "08-tap.png"}) {
        EXPECT_GT(std::filesystem::file_size(std::filesystem::path(shots) / name), 1000u) << name;
    }
}

TEST_F(ScriptPlayerTest, ARefusedStepStopsTheScriptAndSaysWhy) {
    launch();
    std::istringstream script("type txtUser personal@almavel.com.pa\ntap CloseSession\ntap logIn\n");
    std::ostringstream out;
    const auto result = almavel::playScript(script, out, shots, driver);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.steps, 1);
    EXPECT_NE(result.error.find("line 2 (tap CloseSession)"), std::string::npos) << result.error;
    EXPECT_EQ(out.str().find("== 2"), std::string::npos);
}

TEST_F(ScriptPlayerTest, TheProductRoadScriptScansShowsStockReceiptsSharesAndSearches) {
    const std::string text = playWithCamera("app/tests/product_road.script");
    ASSERT_FALSE(text.empty());
    const std::string scanned = text.substr(text.find("== 5: scan ean13 0741751003253"));
    EXPECT_NE(scanned.find("(ResultViewController)"), std::string::npos) << scanned;
    EXPECT_NE(scanned.find("Precio regular:  B/. 89.95"), std::string::npos) << scanned;
    EXPECT_NE(text.find("(ExistViewController)"), std::string::npos) << text;
    EXPECT_NE(text.find("(IngresoViewController)"), std::string::npos) << text;
    EXPECT_NE(text.find("(SearchViewController)"), std::string::npos) << text;
    // The last row chosen is the fourth part number beginning with PIN-20.
    const std::string last = text.substr(text.rfind("== "));
    EXPECT_NE(last.find("Bandeja para pintura"), std::string::npos) << last;
    EXPECT_EQ(ns::UIPhotoAlbum::savedPicturePaths().size(), 1u);
}

TEST_F(ScriptPlayerTest, ScanStepsNeedACameraAndAPictureWithACode) {
    launch();
    std::istringstream noCamera("scan ean13 0741751003253\n");
    std::ostringstream out;
    auto result = almavel::playScript(noCamera, out, shots, driver);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("the device has no camera"), std::string::npos) << result.error;

    ns::AVCaptureDevice::installVirtualCamera();
    const std::string blank = sandbox.root() + "/blank.png";
    const auto png = ns::UIImagePNGRepresentation(*ns::UIImage::filled({40, 40}, ns::UIColor::whiteColor()));
    std::ofstream(blank, std::ios::binary).write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
    std::istringstream noCode("picture " + blank + "\n");
    result = almavel::playScript(noCode, out, shots, driver);
    ns::AVCaptureDevice::removeVirtualCamera();
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("no code in the picture"), std::string::npos) << result.error;
}

TEST_F(ScriptPlayerTest, TheDemoScriptWalksEveryScreenAndTheUploadAfterABackgroundNamesThemInOrder) {
    const std::string text = playWithCamera("app/scripts/demo.script");
    ASSERT_FALSE(text.empty());
    for (const char* screen :
         {"(RegisterViewController)", "(ResetViewController)", "(MainViewController)", "(CapturaViewController)",
          "(ResultViewController)", "(ExistViewController)", "(IngresoViewController)", "presented: UIActivityViewController",
          "(CantViewController)", "(QuoteViewController)", "(SearchViewController)", "(TarjetaViewController)",
          "(DatosViewController)", "(SorryViewController)", "(ProfileViewController)", "UIImagePickerController",
          "(SalesTableViewController)", "(StoreTableViewController)", "Total:", "B/. 160.39",
          "¿Desea limpiar todos los productos?"}) {
        EXPECT_NE(text.find(screen), std::string::npos) << screen;
    }
    // The shift ends signed out, and the new photo went up with the profile.
    const std::string last = text.substr(text.rfind("== "));
    EXPECT_NE(last.find("(ViewController)"), std::string::npos) << last;
    int uploads = 0;
    for (const auto& request : backend->storageRequests()) uploads += request.kind == "uploadChunk" && request.status == 200;
    EXPECT_EQ(uploads, 1);

    // The person leaves the app (once: the second is refused) and comes back.
    using State = ns::Application::State;
    struct Step {
        const char* line;
        bool ok;
        State after;
    };
    for (const auto& step : std::vector<Step>{{"foreground", false, State::Active},
                                              {"background", true, State::Background},
                                              {"background", false, State::Background}}) {
        std::istringstream script(std::string(step.line) + "\n");
        std::ostringstream out;
        EXPECT_EQ(almavel::playScript(script, out, shots, driver).ok, step.ok) << step.line;
        EXPECT_EQ(ns::Application::shared()->applicationState(), step.after) << step.line;
    }
    const auto batches = analyticsBatches();
    EXPECT_EQ(batches["batches"].size(), 1u);
    const auto views = apptest::screenViews(apptest::storedEvents(batches));
    ASSERT_FALSE(views.empty());
    EXPECT_EQ(views, screensShown(text));
    std::istringstream back("foreground\n");
    std::ostringstream out;
    EXPECT_TRUE(almavel::playScript(back, out, shots, driver).ok);
    EXPECT_EQ(ns::Application::shared()->applicationState(), State::Active);
}

TEST_F(ScriptPlayerTest, TheDemoOnASpanishPhoneCutsNoAmountAndNoNameShort) {
    auto profile = sandbox.sandbox()->deviceProfile();
    profile.localeIdentifier = "es_PA";
    sandbox.setDeviceProfile(profile);
    ns::UITruncationRecorder recorder;
    ASSERT_FALSE(playWithCamera("app/scripts/demo.script").empty());
    const auto names = sampleNames();
    ASSERT_GE(names.size(), 4u);
    // An amount: the balboa's sign, a dollar sign or a number with decimals.
    const std::regex money(R"(B/\.|\$|\d[.,]\d)");
    std::set<std::pair<std::string, std::string>> reported;
    for (const auto& cut : recorder.texts()) {
        if (!reported.insert({cut.viewName, cut.text}).second) continue;
        const std::string seen = cut.viewName + " shows \"" + cut.text + "\" as \"" + cut.drawn + "\"";
        EXPECT_FALSE(std::regex_search(cut.text, money)) << seen;
        for (const auto& name : names) EXPECT_EQ(cut.text.find(name), std::string::npos) << seen;
    }
}

TEST_F(ScriptPlayerTest, APhotoStepGivesTheCameraAPictureFromAFileOrTheBundle) {
    launch();
    ns::UIImagePickerController::setCameraSource(nullptr);
    std::ostringstream out;
    std::istringstream missing("photo no-such-picture\n");
    auto result = almavel::playScript(missing, out, shots, driver);
    EXPECT_FALSE(result.ok);
    EXPECT_NE(result.error.find("cannot read the picture no-such-picture"), std::string::npos) << result.error;
    EXPECT_FALSE(ns::UIImagePickerController::isSourceTypeAvailable(ns::UIImagePickerControllerSourceType::Camera));

    const std::string file = sandbox.root() + "/photo.png";
    const auto png = ns::UIImagePNGRepresentation(*ns::UIImage::filled({30, 20}, ns::UIColor::whiteColor()));
    std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(png.data()), std::streamsize(png.size()));
    for (const std::string& name : {file, std::string("1")}) {
        std::istringstream script("photo " + name + "\n");
        result = almavel::playScript(script, out, shots, driver);
        ASSERT_TRUE(result.ok) << result.error;
        EXPECT_TRUE(ns::UIImagePickerController::isSourceTypeAvailable(ns::UIImagePickerControllerSourceType::Camera));
        ns::UIImagePickerController::setCameraSource(nullptr);
    }
}

}  // namespace
