#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/MainViewController.h"
#include "app/SalesTableViewController.h"
#include "app/StockPlaces.h"
#include "app/StoreDirectory.h"
#include "app/StoreTableViewController.h"
#include "app_test_support.h"
#include "uikit/UIImage.h"

namespace {

class OffersAndStoresTest : public apptest::SignedInAppTest {
protected:
    // Opens the screen through the menu panel, as a person does.
    template <class Screen>
    std::shared_ptr<Screen> open(const std::string& menuEntry) {
        if (!driver.tap("ShowHideMenu") || !driver.tap(menuEntry)) return nullptr;
        return std::dynamic_pointer_cast<Screen>(nav->topViewController());
    }

    // The visible cell of the row, scrolled into sight first.
    template <class Cell>
    std::shared_ptr<Cell> cellAt(ns::UITableView& table, int row) {
        table.scrollToRowAtIndexPath(ns::NSIndexPath::indexPathForRow(row, 0), ns::UITableViewScrollPosition::Top);
        table.layoutIfNeeded();
        return std::dynamic_pointer_cast<Cell>(table.cellForRowAtIndexPath(ns::NSIndexPath::indexPathForRow(row, 0)));
    }

    static bool samePicture(const std::shared_ptr<ns::UIImage>& shown, const std::string& name) {
        auto resource = ns::UIImage::imageNamed(name);
        return shown && resource && shown->pixelWidth() == resource->pixelWidth() && shown->rgba() == resource->rgba();
    }

};

TEST_F(OffersAndStoresTest, TheOffersShowTenFlyersInOrderAndAMissingPictureLeavesTheRowEmpty) {
    auto offers = open<almavel::SalesTableViewController>("menuSalesCon");
    ASSERT_NE(offers, nullptr) << driver.lastError() << driver.screenText();
    EXPECT_EQ(offers->title(), "Ofertas");
    auto table = offers->tableView();
    EXPECT_EQ(table->numberOfSections(), 1);
    ASSERT_EQ(table->numberOfRowsInSection(0), 10);
    // Every flyer is a distinct picture of the bundle, shown in its row.
    for (int row : {0, 4, 9}) {
        SCOPED_TRACE(row);
        auto cell = cellAt<almavel::SalesTableViewCell>(*table, row);
        ASSERT_NE(cell, nullptr);
        EXPECT_EQ(cell->reuseIdentifier(), "LabelCell");
        EXPECT_TRUE(samePicture(cell->imgOferta.lock()->image(), std::to_string(row + 1)));
    }
    EXPECT_FALSE(samePicture(ns::UIImage::imageNamed("1"), "10"));

    offers->salesPhotos[0] = "sin-imagen";
    table->reloadData();
    auto first = cellAt<almavel::SalesTableViewCell>(*table, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->imgOferta.lock()->image(), nullptr);

    ASSERT_TRUE(driver.back());
    EXPECT_NE(std::dynamic_pointer_cast<almavel::MainViewController>(nav->topViewController()), nullptr);
}

TEST_F(OffersAndStoresTest, TheStoreListShowsEightStoresWithEveryPartOfTheirRow) {
    auto list = open<almavel::StoreTableViewController>("menuStoreCon");
    ASSERT_NE(list, nullptr) << driver.lastError() << driver.screenText();
    EXPECT_EQ(list->title(), "Sucursales");
    auto table = list->tableView();
    EXPECT_EQ(table->numberOfSections(), 1);
    ASSERT_EQ(table->numberOfRowsInSection(0), almavel::kStoreCount);
    for (int row = 0; row < almavel::kStoreCount; ++row) {
        SCOPED_TRACE(row);
        const auto& store = almavel::kStoreDirectory[row];
        auto cell = cellAt<almavel::StoreTableViewCell>(*table, row);
        ASSERT_NE(cell, nullptr);
        EXPECT_EQ(cell->storeName.lock()->text(), store.name);
        EXPECT_EQ(cell->storeHours.lock()->text(), store.hours);
        EXPECT_EQ(cell->storePhone.lock()->text(), store.phone);
        EXPECT_EQ(cell->storeFax.lock()->text(), store.fax);
        EXPECT_TRUE(samePicture(cell->storePhoto.lock()->image(), store.photo));
    }
    // A person sees the rows too: the first store's texts are on screen.
    table->setContentOffset({0, 0});
    table->layoutIfNeeded();
    const std::string text = driver.screenText();
    EXPECT_NE(text.find(almavel::kStoreDirectory[0].name), std::string::npos) << text;
    EXPECT_NE(text.find(almavel::kStoreDirectory[0].phone), std::string::npos) << text;
}

TEST(BrandNamesTest, EveryStoreIsNamedAfterOneOfTheChainsTwoBrands) {
    // The brand word, a blank and the place: the second brand has one name.
    const std::vector<std::string> brands{"Almavel ", "Lumecasa "};
    std::map<std::string, int> seen;
    auto brandOf = [&](const std::string& name) {
        for (const auto& brand : brands) {
            if (name.rfind(brand, 0) == 0 && name.size() > brand.size()) return brand;
        }
        return std::string();
    };
    for (const auto& store : almavel::kStoreDirectory) {
        const std::string brand = brandOf(store.name);
        EXPECT_FALSE(brand.empty()) << store.name;
        ++seen[brand];
    }
    EXPECT_EQ(seen, (std::map<std::string, int>{{"Almavel ", 4}, {"Lumecasa ", 4}}));
    for (const auto& place : almavel::kStockPlaces) {
        if (std::string(place.code) == "BC") continue;  // the warehouse has a name of its own
        EXPECT_FALSE(brandOf(place.name).empty()) << place.name;
    }
}

}  // namespace
