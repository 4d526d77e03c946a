#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/ScriptPlayer.h"
#include "app_test_support.h"

namespace {

class ScriptPlayerTest : public apptest::AppTest {
protected:
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

}  // namespace
