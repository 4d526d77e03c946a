#include <gtest/gtest.h>

#include "app/ResultViewController.h"
#include "app/SearchViewController.h"
#include "app_test_support.h"

namespace {

using apptest::kStaffEmail;
using apptest::kStaffPassword;

class SearchTest : public apptest::AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        launch();
        ASSERT_TRUE(signIn(kStaffEmail, kStaffPassword)) << driver.lastError();
        ASSERT_TRUE(driver.tap("search") && driver.waitUntilIdle()) << driver.lastError();
        screen = std::dynamic_pointer_cast<almavel::SearchViewController>(top());
        ASSERT_NE(screen, nullptr) << driver.screenText();
    }
    std::shared_ptr<ns::UIViewController> top() {
        auto shown = driver.window()->topmostViewController();
        if (auto nav = std::dynamic_pointer_cast<ns::UINavigationController>(shown)) return nav->topViewController();
        return shown;
    }
    std::shared_ptr<ns::UIAlertController> alert() {
        return std::dynamic_pointer_cast<ns::UIAlertController>(driver.window()->topmostViewController());
    }
    // The wait ends at the first row and the rest arrive one event each, so
    // a search that lists rows waits for as many as it expects.
    bool search(const std::string& button, const std::string& text, size_t rows = 0) {
        return driver.type("searchBar", text) && driver.tap(button) && driver.waitUntilIdle() &&
               waitFor([&] { return screen->prods.size() >= rows; }) && driver.waitUntilIdle();
    }
    std::vector<std::string> parts() const {
        std::vector<std::string> out;
        for (const auto& p : screen->prods) out.push_back(p.qParte);
        return out;
    }
    std::vector<std::string> descriptions() const {
        std::vector<std::string> out;
        for (const auto& p : screen->prods) out.push_back(p.Descrip);
        return out;
    }
    void expectAlert(const std::string& title, const std::string& message) {
        auto shown = alert();
        ASSERT_NE(shown, nullptr) << driver.screenText();
        EXPECT_EQ(shown->alertTitle(), title);
        EXPECT_EQ(shown->message(), message);
        ASSERT_EQ(shown->actions().size(), 1u);
        EXPECT_EQ(shown->actions()[0]->title(), "OK");
        EXPECT_FALSE(shown->actions()[0]->hasHandler());
        EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());
    }

    std::shared_ptr<almavel::SearchViewController> screen;
};

TEST_F(SearchTest, TheScreenIsTitledAndAnEmptyTextAsksForACriterion) {
    EXPECT_EQ(screen->title(), "Búsqueda avanzada");
    EXPECT_EQ(driver.find("btParte")->layer()->borderWidth(), 1);
    EXPECT_EQ(driver.find("btDesc")->layer()->cornerRadius(), 5);
    ASSERT_TRUE(search("btParte", ""));
    expectAlert("Atención", "Debe colocar algún criterio de búsqueda");
    EXPECT_TRUE(screen->prods.empty());
}

TEST_F(SearchTest, APartNumberPrefixListsAtMost25InOrderWithLowerCaseContinuations) {
    ASSERT_TRUE(search("btParte", "HER-10", 25));
    ASSERT_EQ(screen->prods.size(), 25u) << "26 part numbers begin with HER-10";
    const auto found = parts();
    EXPECT_EQ(found.front(), "HER-10");
    EXPECT_EQ(found[1], "HER-1001");
    EXPECT_TRUE(std::is_sorted(found.begin(), found.end()));
    for (const auto& part : found) EXPECT_EQ(part.rfind("HER-10", 0), 0u) << part;
    EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());

    // Digits, capitals and small letters after the text all belong.
    ASSERT_TRUE(search("btParte", "PIN-20", 5));
    EXPECT_EQ(parts(), (std::vector<std::string>{"PIN-2001", "PIN-2002", "PIN-2003", "PIN-20ba", "PIN-20ro"}));
    ASSERT_TRUE(search("btParte", "HER-10B", 1));
    EXPECT_EQ(parts(), (std::vector<std::string>{"HER-10B2"}));

    // The row shows the record: description, part, key and price.
    auto table = driver.find<ns::UITableView>("table");
    auto cell = std::dynamic_pointer_cast<almavel::SearchTableViewCell>(
        table->cellForRowAtIndexPath(ns::NSIndexPath::indexPathForRow(0, 0)));
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(cell->txtDesc.lock()->text(), "Brocha de 4\"");
    EXPECT_EQ(cell->txtParte.lock()->text(), "HER-10B2");
    EXPECT_EQ(cell->txtCodigo.lock()->text(), screen->prods[0].Codigo);
    EXPECT_EQ(cell->txtPrecio.lock()->text(), "B/. 3.95");
}

TEST_F(SearchTest, ADescriptionSearchListsOnlyDescriptionsThatBeginWithTheText) {
    ASSERT_TRUE(search("btDesc", "Martillo", 3));
    EXPECT_EQ(descriptions(), (std::vector<std::string>{"Martillo de bola 24 oz", "Martillo de goma 16 oz",
                                                        "Martillo de uña 16 oz"}));
    ASSERT_TRUE(search("btDesc", "Zapatos"));
    expectAlert("Búsqueda sin exito", "No se encontró productos con este criterio");
    EXPECT_TRUE(screen->prods.empty());
}

TEST_F(SearchTest, ANewSearchShowsOnlyItsOwnRowsAndEarlierSearchesStopFollowing) {
    ASSERT_TRUE(search("btDesc", "Martillo", 3));
    ASSERT_TRUE(search("btParte", "PIN-20", 5));
    EXPECT_EQ(parts(), (std::vector<std::string>{"PIN-2001", "PIN-2002", "PIN-2003", "PIN-20ba", "PIN-20ro"}));
    // A product entering the first search's range later is not appended.
    auto reply = backend->post("/__admin/rtdb/data?ns=almavel-pa&path=/Productos/7452100009999",
                               R"({"data": {"Descrip": "Martillo demoledor", "Precio": 45, "qParte": "HER-9999"}})");
    ASSERT_EQ(reply.status, 200) << reply.body;
    // One the current search covers still is.
    reply = backend->post("/__admin/rtdb/data?ns=almavel-pa&path=/Productos/7452100009998",
                          R"({"data": {"Descrip": "Rodillo de espuma", "qParte": "PIN-20zz"}})");
    ASSERT_EQ(reply.status, 200) << reply.body;
    ASSERT_TRUE(waitFor([&] { return screen->prods.size() == 6; })) << screen->prods.size();
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_EQ(parts().back(), "PIN-20zz");
    EXPECT_EQ(screen->prods.back().Precio, 0) << "a record without a price";
    EXPECT_EQ(screen->prods.size(), 6u);

    // Leaving the screen stops following too.
    ASSERT_TRUE(driver.back() && driver.waitUntilIdle());
    reply = backend->post("/__admin/rtdb/data?ns=almavel-pa&path=/Productos/7452100009997",
                          R"({"data": {"Descrip": "Bandeja honda", "qParte": "PIN-20zy"}})");
    ASSERT_EQ(reply.status, 200) << reply.body;
    // A fresh search that sees the new record: the write has reached the
    // app on the one connection, after any event the old screen would get.
    auto left = screen;
    ASSERT_TRUE(driver.tap("search") && driver.waitUntilIdle());
    screen = std::dynamic_pointer_cast<almavel::SearchViewController>(top());
    ASSERT_NE(screen, left);
    ASSERT_TRUE(search("btParte", "PIN-20", 7));
    EXPECT_EQ(parts().back(), "PIN-20zz");
    EXPECT_EQ(screen->prods.size(), 7u);
    EXPECT_EQ(left->prods.size(), 6u);
}

TEST_F(SearchTest, ChoosingARowLooksTheProductUpByItsKey) {
    ASSERT_TRUE(search("btParte", "SEG-800", 2));
    ASSERT_EQ(screen->prods.size(), 2u);
    EXPECT_EQ(screen->prods[1].Descrip, "") << "the record without a description still has a row";
    ASSERT_TRUE(driver.selectRow(0) && driver.waitUntilIdle()) << driver.lastError();
    ASSERT_NE(std::dynamic_pointer_cast<almavel::ResultViewController>(top()), nullptr) << driver.screenText();
    EXPECT_EQ(defaults()->stringForKey("codigo"), std::optional<std::string>(screen->prods[0].Codigo));
    EXPECT_EQ(defaults()->stringForKey("descrip"), std::optional<std::string>("Guantes de trabajo de cuero"));
    ASSERT_TRUE(driver.back() && driver.waitUntilIdle());

    ASSERT_TRUE(driver.selectRow(1) && driver.waitUntilIdle()) << driver.lastError();
    expectAlert("Producto no existe", "Este producto no se encuentra en nuestro catalogo: " + screen->prods[1].Codigo);
}

TEST_F(SearchTest, ARefusedSearchEndsTheWaitWithAnAlert) {
    auto reply = backend->post("/__admin/rtdb/rules?ns=almavel-pa", R"({"rules": {".read": false}})");
    ASSERT_EQ(reply.status, 200) << reply.body;
    ASSERT_TRUE(search("btParte", "HER-10"));
    auto shown = alert();
    ASSERT_NE(shown, nullptr) << driver.screenText();
    EXPECT_EQ(shown->alertTitle(), "Error de conexión");
    EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());
    EXPECT_TRUE(screen->prods.empty());
    // The screen takes a new search once the alert is closed.
    ASSERT_TRUE(driver.answerAlert("Cerrar") && driver.waitUntilIdle());
    ASSERT_TRUE(search("btParte", ""));
    EXPECT_EQ(alert()->alertTitle(), "Atención");
}

}  // namespace
