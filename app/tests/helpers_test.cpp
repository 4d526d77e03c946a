#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <sstream>

#include "app/ActivityInicator.h"
#include "app/ColorFromHex.h"
#include "app/MainStoryboard.h"
#include "app/ScriptPlayer.h"
#include "app/UserDefaultsKeys.h"
#include "app/WaitDeadline.h"
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

// The give-up reads as the phone's own time-out, in the phone's language.
TEST(WaitDeadline, TheGiveUpIsTheURLTimeOutInThePhonesLanguage) {
    for (const auto& [locale, text] : {std::pair{"en_US", "The request timed out."},
                                       std::pair{"es_PA", "Se ha agotado el tiempo de espera de la solicitud."}}) {
        ns::DeviceProfile profile;
        profile.localeIdentifier = locale;
        ns::testing::TempSandbox phone(profile);
        const auto error = almavel::WaitDeadline::timedOutError();
        EXPECT_EQ(error->domain(), ns::kURLErrorDomain);
        EXPECT_EQ(error->code(), ns::kURLErrorTimedOut);
        EXPECT_EQ(error->localizedDescription(), text);
    }
}

TEST(ActivityInicator, TheOverlayCoversTheViewWithTheSpinnerInTheMiddleAndLeavesNoTrace) {
    // Screen roots of two sizes: whatever the view, the sheet covers it
    // exactly, the square sits in its middle, the spinner in the square's.
    for (const ns::CGRect bounds : {ns::CGRectMake(0, 0, 375, 667), ns::CGRectMake(0, 0, 320, 480)}) {
        auto screen = ns::UIView::make(bounds);
        almavel::ActivityInicator actInd;
        for (int time = 0; time < 2; ++time) {
            actInd.showActivityIndicator(screen);
            const auto& container = actInd.container();
            EXPECT_EQ(container->superview(), screen);
            EXPECT_EQ(container->frame(), screen->bounds());
            // A sheet one sees through: the screen stays visible under it.
            EXPECT_GT(container->backgroundColor().alpha(), 0);
            EXPECT_LT(container->backgroundColor().alpha(), 1);

            const auto& square = actInd.loadingView();
            EXPECT_EQ(square->superview(), container);
            EXPECT_EQ(square->center(), screen->center());
            EXPECT_TRUE(container->bounds().contains(square->frame().origin));
            EXPECT_TRUE(square->clipsToBounds());

            const auto& spinner = actInd.activityIndicator();
            EXPECT_EQ(spinner->superview(), square);
            EXPECT_EQ(spinner->center(), ns::CGPointMake(square->bounds().width() / 2, square->bounds().height() / 2));
            EXPECT_TRUE(square->bounds().contains(spinner->frame().origin));
            EXPECT_TRUE(spinner->isAnimating());
            // Shown again, the same views lie over the screen once.
            EXPECT_EQ(std::count(screen->subviews().begin(), screen->subviews().end(), container), 1);

            actInd.hideActivityIndicator(screen);
            EXPECT_EQ(container->superview(), nullptr);
            EXPECT_FALSE(spinner->isAnimating());
        }
    }
}

class SignInScreenshot : public apptest::AppTest {
protected:
    SignInScreenshot() : AppTest(false) {}
};

TEST_F(SignInScreenshot, TheControlsLieApartAndThePictureShowsEachInItsOwnColour) {
    launch();
    const ns::Data png = driver.screenshotPNG();
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(std::vector<uint8_t>(png.begin(), png.begin() + 8),
              (std::vector<uint8_t>{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}));
    auto image = ns::UIImage::initWithData(png);
    ASSERT_NE(image, nullptr);
    const auto screen = ns::UIScreen::mainScreen();
    const double scale = screen->scale();
    ASSERT_EQ(image->pixelWidth(), int(screen->bounds().width() * scale));
    ASSERT_EQ(image->pixelHeight(), int(screen->bounds().height() * scale));

    // The picture shows `color` at the point (x, y) of the screen.
    auto shows = [&](double x, double y, ns::UIColor color) {
        const auto px = image->pixelAt(int(x * scale), int(y * scale));
        const double want[] = {color.red(), color.green(), color.blue()};
        for (int c = 0; c < 3; ++c) {
            if (std::abs(px[size_t(c)] - want[c] * 255) > 3) return false;
        }
        return px[3] == 255;
    };
    const ns::UIColor background = driver.window()->rootViewController()->view()->backgroundColor();
    const char* const names[] = {"txtUser", "txtPass", "logIn"};
    std::vector<ns::UIViewPtr> controls;
    for (const char* name : names) {
        auto view = driver.find(name);
        ASSERT_NE(view, nullptr) << name;
        controls.push_back(view);
    }
    for (size_t i = 0; i < controls.size(); ++i) {
        const ns::CGRect frame = controls[i]->frameInWindow();
        EXPECT_TRUE(screen->bounds().contains(frame.origin) &&
                    screen->bounds().contains(ns::CGPointMake(frame.maxX() - 1, frame.maxY() - 1)))
            << names[i];
        for (size_t j = i + 1; j < controls.size(); ++j) {
            EXPECT_FALSE(frame.intersects(controls[j]->frameInWindow())) << names[i] << " and " << names[j];
        }
        // Inside, near the right end where no text reaches: the control's
        // own fill, which differs from the screen's.
        EXPECT_NE(controls[i]->backgroundColor(), background) << names[i];
        EXPECT_TRUE(shows(frame.maxX() - 8, frame.midY(), controls[i]->backgroundColor())) << names[i];
        // Just to its left: the screen behind it.
        EXPECT_TRUE(shows(frame.minX() - 4, frame.midY(), background)) << names[i];
    }
}

}  // namespace

namespace {

// A wait the back end never answers: reached with the back end up (a
// script), begun with it stopped by one tap, or by opening the result
// screen (SIGSTOP: its connections stay open and nothing answers, as over a
// dead network path).
struct UnansweredWait {
    const char* name;
    std::string reach, begin;
    // The alert the time-out shows ("<title>: <message>"), if any; a script
    // that must work then, and one that must work again once the back end
    // is back.
    std::string alert, next, again;
    // Where the account a late sign-up made must still get its record.
    std::string lateRecord{};
};

void PrintTo(const UnansweredWait& wait, std::ostream* out) { *out << wait.name; }

class UnansweredWaitTest : public apptest::AppTest, public ::testing::WithParamInterface<UnansweredWait> {
protected:
    void SetUp() override {
        AppTest::SetUp();
        launch();
    }
    void TearDown() override {
        ::kill(backend->pid(), SIGCONT);
        AppTest::TearDown();
    }
    bool play(const std::string& script) {
        std::istringstream in(script);
        std::ostringstream out;
        return almavel::playScript(in, out, sandbox.root() + "/shots", driver).ok;
    }
    // Every answer the back end still owed reaches the app: the auth
    // service's queue is serial and the database connection answers in
    // order; storage answers have nothing to wait on but an idle app.
    void letLateAnswersIn() {
        bool token = false, read = false;
        QRVAuth::auth()->getTokenForcingRefresh(false, [&](auto, auto) { token = true; });
        ASSERT_TRUE(waitFor([&] { return token; }));
        QRVDatabase::database()->reference()->child("Productos/0")->observeSingleEventOfType(
            QRVDataEventTypeValue, [&](auto) { read = true; }, [&](auto) { read = true; });
        ASSERT_TRUE(waitFor([&] { return read; }) && driver.waitUntilIdle());
    }
};

TEST_P(UnansweredWaitTest, EndsAtTheDeadlineAsAFailedRequestAndDropsTheLateAnswer) {
    const UnansweredWait& wait = GetParam();
    ASSERT_TRUE(play(wait.reach)) << driver.screenText();
    int status = 0;
    ASSERT_EQ(::kill(backend->pid(), SIGSTOP), 0);
    ASSERT_EQ(::waitpid(backend->pid(), &status, WUNTRACED), backend->pid());
    auto nav = std::dynamic_pointer_cast<ns::UINavigationController>(driver.window()->topmostViewController());
    if (wait.begin == almavel::kResConID) {
        nav->pushViewController(nav->storyboard()->instantiateViewControllerWithIdentifier(wait.begin), false);
    } else {
        ASSERT_TRUE(driver.tap(wait.begin)) << driver.lastError();
    }
    auto app = ns::Application::shared();
    clock->advance(almavel::kWaitDeadlineSeconds - 1);
    ASSERT_TRUE(app->isIgnoringInteractionEvents()) << driver.screenText();

    clock->advance(1);
    EXPECT_FALSE(app->isIgnoringInteractionEvents());
    EXPECT_EQ(driver.find("actInd"), nullptr) << "the overlay is gone";
    auto alert = std::dynamic_pointer_cast<ns::UIAlertController>(driver.window()->topmostViewController());
    EXPECT_EQ(alert ? alert->alertTitle() + ": " + alert->message() : "", wait.alert) << driver.screenText();
    auto photo = driver.find<ns::UIImageView>("prodPhoto");
    auto shown = photo ? photo->image() : nullptr;
    ASSERT_TRUE(play(wait.next)) << driver.screenText();

    // The late answer pushes no screen, shows no alert and changes nothing.
    auto state = [&] { return driver.screenText() + defaults()->objectForKey(almavel::kCodigoKey).description(); };
    const std::string before = state();
    ASSERT_EQ(::kill(backend->pid(), SIGCONT), 0);
    letLateAnswersIn();
    EXPECT_EQ(state(), before);
    EXPECT_EQ(photo ? photo->image() : nullptr, shown);
    if (!wait.lateRecord.empty()) {
        EXPECT_TRUE(readNode(wait.lateRecord + QRVAuth::auth()->currentUser()->uid()).isDictionary());
    }
    EXPECT_TRUE(play(wait.again)) << driver.screenText();
}

const std::string kSignIn = "type txtUser personal@almavel.com.pa\ntype txtPass Almavel2024\n";
const std::string kDrill = "tap logIn\ntap btCap\ntype txtCode 741751003253\n";
const std::string kReadFailed = "Error de conexión: No se pudo consultar la información: The request timed out.";
const std::string kSignUp = "tap signUp\ntype txtNombre Ana\ntype txtApellido Pérez\ntype txtTele 6612-3344\n"
                            "type txtCorreo ana.perez@almavel.com.pa\ntype txtPass Cajera2024";

INSTANTIATE_TEST_SUITE_P(
    EveryCoveredWait, UnansweredWaitTest,
    ::testing::Values(
        UnansweredWait{"LookUpByCode", kSignIn + kDrill, "btSend", kReadFailed, "alert Cerrar", "tap btSend\ntap btCons"},
        UnansweredWait{"Search", kSignIn + "tap logIn\ntap search\ntype searchBar HER-10", "btParte", kReadFailed,
                       "alert Cerrar", "tap btParte\nrow 0"},
        UnansweredWait{"Stock", kSignIn + kDrill + "tap btSend", "btCons", kReadFailed, "alert Cerrar", "back\ntap btCons"},
        UnansweredWait{"LastReceipt", kSignIn + kDrill + "tap btSend\ntap btCons", "UltimoIngreso", kReadFailed,
                       "alert Cerrar", "back\ntap UltimoIngreso"},
        UnansweredWait{"Profile", kSignIn + "tap logIn\ntap ShowHideMenu", "menuProfileCon", kReadFailed,
                       "alert Cerrar", "back"},
        UnansweredWait{"ProductPhoto", kSignIn + kDrill + "tap btSend", almavel::kResConID, "", "tap btAdd", "back"},
        UnansweredWait{"SignIn", kSignIn, "logIn", "Login Error: Usuario o contraseña incorrectos, vuelva a intentar",
                       "alert Cerrar", "tap logIn\ntap btCap"},
        UnansweredWait{"SignUp", kSignUp, "Registrar", "Error: The request timed out.", "alert Cerrar", "tap Cancelar",
                       "us3r1nf0/"},
        UnansweredWait{"PasswordReset", "tap forgotPass\ntype txtEmail personal@almavel.com.pa", "SendMail",
                       "Error: Vuelva a intentarlo", "alert Cerrar", "tap SendMail\nalert Cerrar"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
