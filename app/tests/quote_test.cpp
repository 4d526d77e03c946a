#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "app/CantViewController.h"
#include "app/MainViewController.h"
#include "app/Quotation.h"
#include "app/QuoteViewController.h"
#include "app/ScriptPlayer.h"
#include "app_test_support.h"
#include "testing/admin_json.h"
#include "uikit/AVFoundation.h"

namespace {

using almavel::CantViewController;
using almavel::QuoteViewController;
using nlohmann::json;

constexpr const char* kStaffUid = "almavelStaff0000000000000001";

TEST(QuoteMoney, QuantitiesAreWholeNumbersFromOneToTheBound) {
    EXPECT_EQ(almavel::parseQuantity("3"), 3);
    EXPECT_EQ(almavel::parseQuantity("+12"), 12);
    EXPECT_EQ(almavel::parseQuantity("9999"), 9999);
    for (const char* bad : {"", "0", "-1", "+", "abc", "2.5", "1e3", " 3", "10000", "99999999999999999999999"}) {
        EXPECT_EQ(almavel::parseQuantity(bad), std::nullopt) << bad;
    }
}

TEST(QuoteMoney, PricesAreReadInCents) {
    EXPECT_EQ(almavel::priceCents("10.00"), 1000);
    EXPECT_EQ(almavel::priceCents("74.95"), 7495);
    EXPECT_EQ(almavel::priceCents("5"), 500);
    EXPECT_EQ(almavel::priceCents("0.1"), 10);
    EXPECT_EQ(almavel::priceCents(".5"), 50);
    EXPECT_EQ(almavel::priceCents("1.005"), 101);
    for (const char* bad : {"", ".", "-1.00", "abc", "1,50", "1.2.3", "nan", "inf", "99999999999.00"}) {
        EXPECT_EQ(almavel::priceCents(bad), std::nullopt) << bad;
    }
}

TEST(QuoteMoney, TheTotalIsTheShownSubtotalPlusTheShownItbmsToTheCent) {
    struct Row {
        int64_t subtotal, itbms;
    };
    // Half up on the cent: 1.50 gives 0.105, which doubles print as 0.10;
    // 0.07 gives 0.0049; 7.50 gives 0.525.
    for (const Row& r : {Row{0, 0}, Row{3000, 210}, Row{150, 11}, Row{7, 0}, Row{750, 53}, Row{1005, 70},
                         Row{14990, 1049}, Row{50, 4}, Row{99999, 7000}, Row{1, 0}, Row{8, 1}}) {
        EXPECT_EQ(almavel::itbmsCents(r.subtotal), r.itbms) << r.subtotal;
    }
    EXPECT_EQ(almavel::formatCents(0), "0.00");
    EXPECT_EQ(almavel::formatCents(3210), "32.10");
    EXPECT_EQ(almavel::formatCents(5), "0.05");
    EXPECT_EQ(almavel::formatCents(123456789), "1234567.89");
    almavel::Quotes line{3, "1", "x", "10.00"};
    EXPECT_EQ(line.lineCents(), 3000);
    line.precio = "no es precio";
    EXPECT_EQ(line.lineCents(), 0);
}

class QuoteTest : public apptest::SignedInAppTest {
protected:
    // The quantity screen for a product handed over as the look-up does.
    std::shared_ptr<CantViewController> openQuantity(const std::string& code, const std::string& descrip,
                                                     double precio, double oferta) {
        defaults()->setString(code, "codigo");
        defaults()->setString(descrip, "descrip");
        defaults()->setObject(ns::Value(precio), "precio");
        defaults()->setObject(ns::Value(oferta), "oferta");
        auto screen = nav->storyboard()->instantiateViewControllerWithIdentifier("CantView");
        nav->pushViewController(screen, false);
        EXPECT_TRUE(driver.waitUntilIdle());
        return std::dynamic_pointer_cast<CantViewController>(screen);
    }
    json stored(const std::string& path) {
        return ns::testing::getJSON(*backend, "/__admin/rtdb/data?ns=almavel-pa&path=" + path)["data"];
    }
    bool waitStored(const std::string& path, const std::function<bool(const json&)>& done) {
        return waitFor([&] { return done(stored(path)); });
    }
    std::string text(const std::string& name) { return driver.find<ns::UILabel>(name)->text(); }
    std::shared_ptr<QuoteViewController> quoteOnTop() {
        return std::dynamic_pointer_cast<QuoteViewController>(nav->topViewController());
    }
    int count(const std::function<bool(const ns::UIViewControllerPtr&)>& is) {
        int n = 0;
        for (const auto& vc : nav->viewControllers()) n += is(vc) ? 1 : 0;
        return n;
    }
    std::shared_ptr<ns::UIAlertController> alert() {
        return std::dynamic_pointer_cast<ns::UIAlertController>(driver.window()->topmostViewController());
    }
    std::string linePath(const std::string& code) { return std::string("/qu0t3s/users/") + kStaffUid + "/quote/" + code; }
};

TEST_F(QuoteTest, AQuantityOfAProductIsWrittenAsAnEightKeyLineAndListedWithTotals) {
    auto cant = openQuantity("7452100009001", "Cinta métrica 5 m", 10.0, 0.0);
    ASSERT_NE(cant, nullptr);
    EXPECT_EQ(text("txtUprice"), "Precio unitario:  B/. 10.00");
    EXPECT_EQ(text("txtTprice"), "Total sin ITBMS:  B/. 10.00");
    ASSERT_TRUE(driver.type("txtCant", "3")) << driver.lastError();
    EXPECT_EQ(text("txtTprice"), "Total sin ITBMS:  B/. 30.00");
    ASSERT_TRUE(driver.tap("btAdd") && driver.waitUntilIdle()) << driver.lastError();

    auto quote = quoteOnTop();
    ASSERT_NE(quote, nullptr) << driver.screenText();
    ASSERT_TRUE(waitStored(linePath("7452100009001"), [](const json& j) { return j.is_object(); }));
    const json line = stored(linePath("7452100009001"));
    EXPECT_EQ(line.size(), 8u) << line.dump();
    EXPECT_EQ(line["cantidad"], 3);
    EXPECT_EQ(line["codigo"], "7452100009001");
    EXPECT_EQ(line["descrip"], "Cinta métrica 5 m");
    EXPECT_EQ(line["precio"], "10.00");
    EXPECT_EQ(line["oferta"], "0");
    EXPECT_EQ(line["fechaOferta"], "");
    EXPECT_EQ(line["userID"], kStaffUid);
    const std::string day = line["actualizado"];
    ASSERT_EQ(day.size(), 10u);
    EXPECT_EQ(day[4], '-');
    EXPECT_EQ(day[7], '-');

    ASSERT_TRUE(waitFor([&] { return quote->quotes.size() == 1; }));
    EXPECT_EQ(text("txtSub"), "B/. 30.00");
    EXPECT_EQ(text("txtItbms"), "B/. 2.10");
    EXPECT_EQ(text("txtTotal"), "B/. 32.10");
    auto cell = std::dynamic_pointer_cast<almavel::QuoteTableViewCell>(
        driver.find<ns::UITableView>("table")->cellForRowAtIndexPath(ns::NSIndexPath::indexPathForRow(0, 0)));
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(cell->txtCant.lock()->text(), "Cantidad: 3");
    EXPECT_EQ(cell->txtUprice.lock()->text(), "B/. 10.00");
    EXPECT_EQ(cell->txtLine.lock()->text(), "Total en linea: B/. 30.00");
    EXPECT_TRUE(apptest::consoleHas("7452100009001"));
}

TEST_F(QuoteTest, TheRoadFromTheResultQuotesTheOfferPrice) {
    ASSERT_TRUE(driver.tap("btCap") && driver.waitUntilIdle());
    ASSERT_TRUE(driver.type("txtCode", "741751003253") && driver.tap("btSend") && driver.waitUntilIdle())
        << driver.lastError() << driver.screenText();
    ASSERT_TRUE(driver.tap("btAdd") && driver.waitUntilIdle()) << driver.lastError();
    ASSERT_NE(std::dynamic_pointer_cast<CantViewController>(nav->topViewController()), nullptr);
    EXPECT_EQ(text("txtUprice"), "Precio unitario:  B/. 74.95");
    ASSERT_TRUE(driver.type("txtCant", "2") && driver.tap("btAdd") && driver.waitUntilIdle());
    auto quote = quoteOnTop();
    ASSERT_NE(quote, nullptr);
    ASSERT_TRUE(waitFor([&] { return quote->quotes.size() == 1; }));
    EXPECT_EQ(text("txtSub"), "B/. 149.90");
    EXPECT_EQ(text("txtItbms"), "B/. 10.49");
    EXPECT_EQ(text("txtTotal"), "B/. 160.39");
}

TEST_F(QuoteTest, AQuantityThatIsNotAWholeNumberInRangeIsRefusedAndNothingWritten) {
    auto cant = openQuantity("7452100009002", "Martillo", 10.0, 0.0);
    for (const char* bad : {"0", "-2", "abc", "10000", "1.5"}) {
        ASSERT_TRUE(driver.type("txtCant", bad));
        EXPECT_EQ(text("txtTprice"), "") << bad;
        ASSERT_TRUE(driver.tap("btAdd") && driver.waitUntilIdle());
        auto shown = alert();
        ASSERT_NE(shown, nullptr) << bad;
        EXPECT_EQ(shown->alertTitle(), "Cantidad no válida");
        ASSERT_TRUE(driver.answerAlert("Cerrar") && driver.waitUntilIdle());
        EXPECT_EQ(nav->topViewController(), cant);
    }
    ASSERT_TRUE(driver.type("txtCant", ""));
    EXPECT_EQ(text("txtTprice"), "");
    EXPECT_TRUE(stored(std::string("/qu0t3s/users/") + kStaffUid).is_null());
}

TEST_F(QuoteTest, ReAddingReplacesTheLineAndClearingLeavesLaterTotalsRight) {
    openQuantity("7452100009003", "Brocha 2\"", 10.0, 0.0);
    ASSERT_TRUE(driver.type("txtCant", "3") && driver.tap("btAdd") && driver.waitUntilIdle());
    auto quote = quoteOnTop();
    ASSERT_NE(quote, nullptr);
    ASSERT_TRUE(waitFor([&] { return quote->quotes.size() == 1; }));

    // The same code again, on top of the quotation: the line is replaced and
    // the user is taken back to the same quotation screen.
    openQuantity("7452100009003", "Brocha 2\"", 10.0, 0.0);
    ASSERT_TRUE(driver.type("txtCant", "5") && driver.tap("btAdd") && driver.waitUntilIdle());
    EXPECT_EQ(quoteOnTop(), quote);
    EXPECT_EQ(count([](const auto& vc) { return std::dynamic_pointer_cast<QuoteViewController>(vc) != nullptr; }), 1);
    ASSERT_TRUE(waitFor([&] { return quote->quotes.size() == 1 && quote->quotes[0].cantidad == 5; }));
    EXPECT_EQ(text("txtSub"), "B/. 50.00");

    ASSERT_TRUE(driver.tap("btClean") && driver.waitUntilIdle());
    auto confirm = alert();
    ASSERT_NE(confirm, nullptr);
    EXPECT_EQ(confirm->alertTitle(), "Limpiar cotización");
    EXPECT_EQ(confirm->message(), "¿Desea limpiar todos los productos?");
    ASSERT_EQ(confirm->actions().size(), 2u);
    ASSERT_TRUE(driver.answerAlert("Cancelar") && driver.waitUntilIdle());
    EXPECT_EQ(quote->quotes.size(), 1u);
    ASSERT_TRUE(driver.tap("btClean") && driver.waitUntilIdle());
    ASSERT_TRUE(driver.answerAlert("OK") && driver.waitUntilIdle());
    EXPECT_TRUE(quote->quotes.empty());
    EXPECT_EQ(text("txtTotal"), "B/. 0.00");
    ASSERT_TRUE(waitStored(std::string("/qu0t3s/users/") + kStaffUid, [](const json& j) { return j.is_null(); }));

    // A line added after clearing counts from zero.
    openQuantity("7452100009004", "Lija", 1.5, 0.0);
    ASSERT_TRUE(driver.type("txtCant", "1") && driver.tap("btAdd") && driver.waitUntilIdle());
    ASSERT_TRUE(waitFor([&] { return quote->quotes.size() == 1; }));
    EXPECT_EQ(text("txtSub"), "B/. 1.50");
    EXPECT_EQ(text("txtItbms"), "B/. 0.11");
    EXPECT_EQ(text("txtTotal"), "B/. 1.61");

    // "Menu" goes back to the main menu underneath, not a new copy of it.
    ASSERT_TRUE(driver.tap("Menu") && driver.waitUntilIdle()) << driver.lastError();
    EXPECT_NE(std::dynamic_pointer_cast<almavel::MainViewController>(nav->topViewController()), nullptr);
    EXPECT_EQ(nav->viewControllers().size(), 1u);
}

TEST_F(QuoteTest, TheQuotationScreenGoesAwayWithItsObserver) {
    openQuantity("7452100009005", "Clavos", 2.0, 0.0);
    ASSERT_TRUE(driver.tap("btAdd") && driver.waitUntilIdle());
    std::weak_ptr<QuoteViewController> weak = quoteOnTop();
    ASSERT_FALSE(weak.expired());
    EXPECT_TRUE(weak.lock()->isObserving());
    ASSERT_TRUE(driver.tap("Menu") && driver.waitUntilIdle());
    EXPECT_TRUE(weak.expired());
}

TEST_F(QuoteTest, ARefusedReadOfTheQuoteSaysSoAndLeavesTouchesOn) {
    auto reply = backend->post("/__admin/rtdb/rules?ns=almavel-pa", R"({"rules": {".read": false}})");
    ASSERT_EQ(reply.status, 200) << reply.body;
    auto quote = nav->storyboard()->instantiateViewControllerWithIdentifier("QuoteView");
    nav->pushViewController(quote, false);
    ASSERT_TRUE(waitFor([&] { return alert() != nullptr; }));
    EXPECT_EQ(alert()->alertTitle(), "Error de conexión");
    EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());
    ASSERT_TRUE(driver.answerAlert("Cerrar") && driver.waitUntilIdle());
    EXPECT_EQ(text("txtTotal"), "B/. 0.00");
}

TEST_F(QuoteTest, WithNobodySignedInBothScreensSaySoAndWriteNothing) {
    ASSERT_TRUE(QRVAuth::auth()->signOut());
    auto cant = openQuantity("7452100009006", "Tornillos", 3.0, 0.0);
    ASSERT_NE(alert(), nullptr);
    EXPECT_EQ(alert()->alertTitle(), "Sesión no iniciada");
    ASSERT_TRUE(driver.answerAlert("Cerrar") && driver.waitUntilIdle());
    EXPECT_FALSE(cant->btAdd.lock()->isEnabled());
    EXPECT_FALSE(driver.tap("btAdd") && nav->topViewController() != cant);

    auto quote = nav->storyboard()->instantiateViewControllerWithIdentifier("QuoteView");
    nav->pushViewController(quote, false);
    ASSERT_TRUE(driver.waitUntilIdle());
    ASSERT_NE(alert(), nullptr);
    EXPECT_EQ(alert()->alertTitle(), "Sesión no iniciada");
    ASSERT_TRUE(driver.answerAlert("Cerrar") && driver.waitUntilIdle());
    EXPECT_FALSE(std::static_pointer_cast<QuoteViewController>(quote)->isObserving());
    EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());
    EXPECT_FALSE(driver.find<ns::UIButton>("btClean")->isEnabled());
    EXPECT_TRUE(stored("/qu0t3s").is_null());
}

}  // namespace

namespace {

TEST_F(QuoteTest, TheScriptQuotesChecksTheCardAndClears) {
    // Start from the sign-in screen, as the program does.
    ASSERT_TRUE(driver.tap("ShowHideMenu") && driver.waitUntilIdle());
    ASSERT_TRUE(driver.tap("CloseSession") && driver.waitUntilIdle()) << driver.lastError();
    ns::AVCaptureDevice::installVirtualCamera();
    std::ifstream script(std::string(ALMAVEL_SOURCE_DIR) + "/app/tests/quote_card.script");
    ASSERT_TRUE(script);
    std::ostringstream out;
    const auto result = almavel::playScript(script, out, sandbox.root() + "/shots", driver);
    ns::AVCaptureDevice::removeVirtualCamera();
    ASSERT_TRUE(result.ok) << result.error << "\n" << out.str();
    const std::string text = out.str();
    const std::string quoted = text.substr(text.find("== 9: wait"));
    EXPECT_NE(quoted.find("(QuoteViewController)"), std::string::npos) << quoted;
    EXPECT_NE(quoted.find("B/. 160.39"), std::string::npos) << quoted;
    const std::string card = text.substr(text.find("== 16: wait"));
    EXPECT_NE(card.find("(DatosViewController)"), std::string::npos) << card;
    EXPECT_NE(card.find("B/. 1500.00"), std::string::npos) << card;
    const std::string last = text.substr(text.rfind("== "));
    EXPECT_NE(last.find("(QuoteViewController)"), std::string::npos) << last;
    EXPECT_NE(last.find("B/. 0.00"), std::string::npos) << last;
}

}  // namespace
