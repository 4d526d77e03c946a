#include <gtest/gtest.h>

#include "app/DispoViewController.h"
#include "app/ExistViewController.h"
#include "app/IngresoViewController.h"
#include "app/ResultViewController.h"
#include "app_test_support.h"

namespace {

using Rows = std::vector<std::pair<std::string, std::string>>;

class StockTest : public apptest::SignedInAppTest {
protected:
    // Opens a screen of the storyboard for the product `code`, as the road
    // would after the look-up.
    template <class T>
    std::shared_ptr<T> open(const std::string& identifier, const std::string& code) {
        defaults()->setString(code, "codigo");
        auto screen = nav->storyboard()->instantiateViewControllerWithIdentifier(identifier);
        nav->pushViewController(screen, false);
        EXPECT_TRUE(driver.waitUntilIdle());
        return std::dynamic_pointer_cast<T>(screen);
    }
    static Rows rows(const std::vector<almavel::Exist>& exists) {
        Rows out;
        for (const auto& e : exists) out.emplace_back(e.sucursal, std::to_string(e.exist));
        return out;
    }
    static Rows rows(const std::vector<almavel::Ingreso>& ingreso) {
        Rows out;
        for (const auto& i : ingreso) out.emplace_back(i.sucursal, i.fecha);
        return out;
    }
    void expectNotFound(const std::string& code) {
        auto alert = std::dynamic_pointer_cast<ns::UIAlertController>(driver.window()->topmostViewController());
        ASSERT_NE(alert, nullptr) << driver.screenText();
        EXPECT_EQ(alert->alertTitle(), "Producto no existe");
        EXPECT_EQ(alert->message(), "Este producto no se encuentra en nuestro catalogo: " + code);
        ASSERT_EQ(alert->actions().size(), 1u);
        EXPECT_EQ(alert->actions()[0]->title(), "Cerrar");
        EXPECT_FALSE(alert->actions()[0]->hasHandler());
        EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());
    }
    bool hidden(const std::string& name) { return driver.find(name)->isHidden(); }
};

TEST_F(StockTest, TheRoadFromTheResultShowsStockThenReceiptsInTheirTablesOrders) {
    ASSERT_TRUE(driver.tap("btCap") && driver.waitUntilIdle());
    ASSERT_TRUE(driver.type("txtCode", "741751003253") && driver.tap("btSend") && driver.waitUntilIdle());
    ASSERT_TRUE(driver.tap("btCons") && driver.waitUntilIdle()) << driver.lastError();
    auto stock = std::dynamic_pointer_cast<almavel::ExistViewController>(nav->topViewController());
    ASSERT_NE(stock, nullptr) << driver.screenText();
    EXPECT_EQ(rows(stock->exists),
              (Rows{{"Almavel Los Pueblos", "10"}, {"Almavel Colón", "3"}, {"Almavel David", "16"},
                    {"Almavel Santiago", "6"}, {"Almavel Chitré", "19"}, {"Almavel Penonomé", "9"},
                    {"Almavel La Chorrera", "12"}, {"Almavel Boquete", "2"}, {"Lumecasa San Miguelito", "15"},
                    {"Lumecasa Tumba Muerto", "5"}, {"Lumecasa Las Tablas", "18"}, {"Lumecasa Aguadulce", "8"},
                    {"Lumecasa Changuinola", "11"}, {"Lumecasa Costa del Este", "1"}, {"Lumecasa El Dorado", "14"}}));
    EXPECT_TRUE(hidden("txtSorry"));
    EXPECT_FALSE(hidden("table"));
    auto cell = std::dynamic_pointer_cast<almavel::ExistTableViewCell>(
        driver.find<ns::UITableView>("table")->cellForRowAtIndexPath(ns::NSIndexPath::indexPathForRow(0, 0)));
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(cell->txtSuc.lock()->text(), "Almavel Los Pueblos");
    EXPECT_EQ(cell->txtExist.lock()->text(), "10");

    ASSERT_TRUE(driver.tap("UltimoIngreso") && driver.waitUntilIdle()) << driver.lastError();
    auto receipts = std::dynamic_pointer_cast<almavel::IngresoViewController>(nav->topViewController());
    ASSERT_NE(receipts, nullptr) << driver.screenText();
    // The stores of entries 8 and 9 come first; the warehouse never shows.
    EXPECT_EQ(rows(receipts->ingreso),
              (Rows{{"Almavel Penonomé", "02/03/2024"}, {"Almavel Vía España", "03/05/2024"},
                    {"Almavel Albrook", "05/09/2024"}, {"Almavel Colón", "06/11/2024"},
                    {"Almavel Santiago", "08/03/2024"}, {"Almavel Arraiján", "09/05/2024"},
                    {"Almavel Boquete", "11/09/2024"}, {"Lumecasa San Miguelito", "12/11/2024"},
                    {"Lumecasa Las Tablas", "14/03/2024"}, {"Lumecasa Aguadulce", "15/05/2024"},
                    {"Lumecasa Changuinola", "17/09/2024"}, {"Lumecasa Costa del Este", "18/11/2024"}}));
    EXPECT_FALSE(hidden("table"));
}

TEST_F(StockTest, TheSorryLabelShowsOnlyWhenNoRowWasBuilt) {
    // All zero.
    auto none = open<almavel::ExistViewController>("ExistCont", "741751004120");
    ASSERT_NE(none, nullptr);
    EXPECT_TRUE(none->exists.empty());
    EXPECT_TRUE(hidden("table"));
    EXPECT_FALSE(hidden("txtSorry"));
    EXPECT_EQ(none->topSrry.lock()->constant(), 80.0);
    ASSERT_TRUE(driver.back() && driver.waitUntilIdle());

    // 5 and -5 add up to nothing, but they are two rows to show.
    auto even = open<almavel::ExistViewController>("ExistCont", "7452100001013");
    EXPECT_EQ(rows(even->exists), (Rows{{"Almavel Albrook", "5"}, {"Almavel David", "-5"}}));
    EXPECT_FALSE(hidden("table"));
    EXPECT_TRUE(hidden("txtSorry"));
    ASSERT_TRUE(driver.back() && driver.waitUntilIdle());

    // Only the warehouse; a negative value has its row; four digits ungrouped.
    auto warehouse = open<almavel::ExistViewController>("ExistCont", "037288123459");
    EXPECT_EQ(rows(warehouse->exists), (Rows{{"Bodega Central", "120"}}));
    ASSERT_TRUE(driver.back() && driver.waitUntilIdle());
    auto negative = open<almavel::ExistViewController>("ExistCont", "7452100001006");
    ASSERT_GE(negative->exists.size(), 2u);
    EXPECT_EQ(negative->exists[1].sucursal, "Almavel Los Pueblos");
    EXPECT_EQ(negative->exists[1].exist, -3);
    ASSERT_TRUE(driver.back() && driver.waitUntilIdle());
    auto many = open<almavel::ExistViewController>("ExistCont", "7452100001037");
    EXPECT_EQ(many->exists.at(0).sucursal, "Almavel Vía España");
    EXPECT_EQ(many->exists.at(0).exist, 1500);
}

TEST_F(StockTest, MissingRecordsAndOddFieldsNeverEndTheApp) {
    // No record.
    auto missing = open<almavel::ExistViewController>("ExistCont", "7452100001945");
    expectNotFound("7452100001945");
    EXPECT_TRUE(missing->exists.empty());
    ASSERT_TRUE(driver.answerAlert("Cerrar") && driver.waitUntilIdle());
    ASSERT_TRUE(driver.back() && driver.waitUntilIdle());
    // The first field holds text.
    open<almavel::ExistViewController>("ExistCont", "7452100001020");
    expectNotFound("7452100001020");
    ASSERT_TRUE(driver.answerAlert("Cerrar") && driver.waitUntilIdle());
    ASSERT_TRUE(driver.back() && driver.waitUntilIdle());
    auto receiptsMissing = open<almavel::IngresoViewController>("UltIng", "7452100001945");
    expectNotFound("7452100001945");
    EXPECT_TRUE(receiptsMissing->ingreso.empty());
    ASSERT_TRUE(driver.answerAlert("Cerrar") && driver.waitUntilIdle());
    ASSERT_TRUE(driver.back() && driver.waitUntilIdle());

    // Other fields missing or of another type count as nothing.
    auto reply = backend->post("/__admin/rtdb/data?ns=almavel-pa&path=/d1sp01/555",
                               R"({"data": {"ExVE": 4, "ExLP": "x", "ExAL": 2.5, "ExBC": true, "ExCO": 7,
                                            "ExME": 9223372036854775807, "ExMD": 9,
                                            "FecUltEntCH": "01/01/2024", "FecUltEntPE": 5}})");
    ASSERT_EQ(reply.status, 200) << reply.body;
    auto odd = open<almavel::ExistViewController>("ExistCont", "555");
    EXPECT_EQ(rows(odd->exists), (Rows{{"Almavel Vía España", "4"}, {"Almavel Colón", "7"},
                                       {"Lumecasa Costa del Este", "9"},
                                       {"Lumecasa El Dorado", "9223372036854775807"}}));
    ASSERT_TRUE(driver.back() && driver.waitUntilIdle());
    auto oddReceipts = open<almavel::IngresoViewController>("UltIng", "555");
    EXPECT_EQ(rows(oddReceipts->ingreso), (Rows{{"Almavel Chitré", "01/01/2024"}}));
    ASSERT_TRUE(driver.back() && driver.waitUntilIdle());

    // Every date empty: no row, the table hidden.
    auto empty = open<almavel::IngresoViewController>("UltIng", "741751004120");
    EXPECT_TRUE(empty->ingreso.empty());
    EXPECT_TRUE(hidden("table"));
    EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());
}

TEST_F(StockTest, TheOlderScreenShowsThePlacesWithUnitsFromItsOwnRecord) {
    auto older = open<almavel::DispoViewController>("DispoCon", "741751003253");
    ASSERT_NE(older, nullptr);
    const std::vector<std::string> codes = {"VE", "LP", "AL", "BC", "CO", "DA", "SA"};
    const std::vector<std::string> units = {"", "10", "", "", "3", "16", "6"};
    for (size_t i = 0; i < codes.size(); ++i) {
        EXPECT_EQ(hidden("txt" + codes[i] + "h"), units[i].empty()) << codes[i];
        EXPECT_EQ(hidden("txt" + codes[i] + "q"), units[i].empty()) << codes[i];
        if (!units[i].empty()) {
            EXPECT_EQ(driver.find<ns::UILabel>("txt" + codes[i] + "q")->text(), units[i]);
        }
    }
    EXPECT_TRUE(hidden("txtSrry"));
    EXPECT_TRUE(apptest::consoleHas("741751003253"));
    ASSERT_TRUE(driver.back() && driver.waitUntilIdle());

    // 5 and -5: two places shown, no sorry label.
    open<almavel::DispoViewController>("DispoCon", "7452100001013");
    EXPECT_FALSE(hidden("txtALq"));
    EXPECT_EQ(driver.find<ns::UILabel>("txtDAq")->text(), "-5");
    EXPECT_TRUE(hidden("txtSrry"));
    ASSERT_TRUE(driver.back() && driver.waitUntilIdle());

    // Without a code it stays blank and asks for nothing.
    defaults()->removeObjectForKey("codigo");
    auto blank = nav->storyboard()->instantiateViewControllerWithIdentifier("DispoCon");
    nav->pushViewController(blank, false);
    ASSERT_TRUE(driver.waitUntilIdle());
    EXPECT_TRUE(hidden("txtVEh"));
    EXPECT_TRUE(hidden("txtSrry"));
    EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents());
}

TEST_F(StockTest, ARefusedReadEndsTheWaitWithAnAlert) {
    auto reply = backend->post("/__admin/rtdb/rules?ns=almavel-pa", R"({"rules": {".read": false}})");
    ASSERT_EQ(reply.status, 200) << reply.body;
    for (const char* identifier : {"ExistCont", "UltIng"}) {
        open<ns::UIViewController>(identifier, "741751003253");
        auto alert = std::dynamic_pointer_cast<ns::UIAlertController>(driver.window()->topmostViewController());
        ASSERT_NE(alert, nullptr) << identifier << driver.screenText();
        EXPECT_EQ(alert->alertTitle(), "Error de conexión");
        EXPECT_FALSE(ns::Application::shared()->isIgnoringInteractionEvents()) << identifier;
        ASSERT_TRUE(driver.answerAlert("Cerrar") && driver.back() && driver.waitUntilIdle());
    }
}

}  // namespace
