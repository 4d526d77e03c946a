#include <gtest/gtest.h>

#include <map>

#include "screen_fixture.h"
#include "uikit/renderer.h"

namespace {

using ns::CGPoint;
using P = ns::UITableViewScrollPosition;

// 100 rows of 44 points, counting what the table asks for; row 5 is red.
struct Rows : ns::UITableViewDataSource, ns::UITableViewDelegate {
    int tableViewNumberOfRowsInSection(ns::UITableView&, int) override { return count; }
    std::shared_ptr<ns::UITableViewCell> tableViewCellForRowAtIndexPath(ns::UITableView& table,
                                                                       ns::NSIndexPath path) override {
        asked.push_back(path.row);
        auto cell = table.dequeueReusableCellWithIdentifier("LabelCell", path);
        cell->setBackgroundColor(path.row == 5 ? ns::UIColor::redColor() : ns::UIColor::whiteColor());
        return cell;
    }
    void tableViewDidSelectRowAtIndexPath(ns::UITableView&, ns::NSIndexPath path) override { selected = path.row; }
    int count = 100;
    std::vector<int> asked;
    int selected = -1;
};

// A button over the list, which shows ten rows from y = 227 of the window.
class ScrollingTest : public ns::testing::ScreenTest<ns::UIViewController> {
protected:
    void SetUp() override {
        table->registerCellFactory("LabelCell", [] { return std::make_shared<ns::UITableViewCell>("LabelCell"); });
        table->setDataSource(rows);
        table->setDelegate(rows);
        screen->view()->addSubview(ns::UIButton::make(ns::CGRectMake(20, 160, 335, 44), "Entrar"));
        screen->view()->addSubview(table);
        ScreenTest::SetUp();
    }
    void scrollTo(double y) {
        table->setContentOffset({0, y});
        window->layoutIfNeeded();
    }
    std::shared_ptr<ns::UIScrollView> drag(CGPoint at, CGPoint by) {
        return ns::UIScrollView::scrollAtPoint(*window, at, by);
    }
    std::shared_ptr<ns::UITableView> table = ns::UITableView::make(ns::CGRectMake(0, 227, 375, 440));
    std::shared_ptr<Rows> rows = std::make_shared<Rows>();
};

std::vector<int> range(int first, int last) {
    std::vector<int> out;
    for (int r = first; r <= last; ++r) out.push_back(r);
    return out;
}

TEST_F(ScrollingTest, TheOffsetStaysWithinTheContentWithoutBounce) {
    struct Case { int rows; double inset; double asked; double kept; };
    // 100 rows: 4400 points of content in 440, so at most 3960.
    for (auto c : {Case{100, 0, -50, 0}, Case{100, 0, 130, 130}, Case{100, 0, 9000, 3960}, Case{100, 64, 9000, 4024},
                   Case{10, 0, 30, 0}, Case{5, 64, 100, 0}, Case{9, 64, 100, 20}}) {
        SCOPED_TRACE(testing::Message() << c.rows << " rows, inset " << c.inset << ", asked " << c.asked);
        rows->count = c.rows;
        table->setContentInsetTop(c.inset);
        table->reloadData();
        scrollTo(c.asked);
        EXPECT_EQ(table->contentOffset(), (CGPoint{0, c.kept}));
    }
    // Any scroll view, on both axes; a smaller content brings the offset back.
    auto plain = ns::UIScrollView::make(ns::CGRectMake(0, 0, 375, 200));
    plain->setContentSize({800, 300});
    plain->setContentOffset({1000, -3});
    EXPECT_EQ(plain->contentOffset(), (CGPoint{425, 0}));
    plain->setContentSize({500, 100});
    EXPECT_EQ(plain->contentOffset(), (CGPoint{125, 0}));
}

TEST_F(ScrollingTest, ScrollingAsksOnlyForRowsThatCameIntoSightAndReusesTheCellsThatLeft) {
    struct Case { double offset; std::vector<int> visible; std::vector<int> asked; };
    for (const auto& c : {Case{22, range(0, 10), {10}}, Case{440, range(10, 19), range(11, 19)},
                          Case{2200, range(50, 59), range(50, 59)}, Case{0, range(0, 9), range(0, 9)}}) {
        SCOPED_TRACE(c.offset);
        rows->asked.clear();
        scrollTo(c.offset);
        std::vector<int> visible;
        for (auto path : table->indexPathsForVisibleRows()) visible.push_back(path.row);
        EXPECT_EQ(visible, c.visible);
        EXPECT_EQ(rows->asked, c.asked);
        EXPECT_EQ(table->cellsMade("LabelCell"), 11) << "never more than eleven rows show at once";
    }
}

TEST_F(ScrollingTest, TapsAndPicturesFollowTheScrolledRows) {
    // Row 5 spans 220..264 of the content: at offset 242 its lower half shows
    // at the table's top (window y 227..249) and its upper half is cut.
    scrollTo(242);
    for (auto [y, row] : std::vector<std::pair<double, int>>{{230, 5}, {250, 6}, {660, 15}}) {
        ASSERT_TRUE(window->sendTap({100, y}));
        EXPECT_EQ(rows->selected, row) << "a tap at y " << y;
    }
    EXPECT_EQ(table->cellForRowAtIndexPath({0, 5})->visibleFrameInWindow(), ns::CGRectMake(0, 227, 375, 22));
    auto picture = ns::snapshotWindow(*window);
    auto red = [&](double y) { return picture->pixelAt(200, int(y * 2)) == std::array<uint8_t, 4>{255, 0, 0, 255}; };
    EXPECT_TRUE(red(240)) << "the row's shown half";
    EXPECT_FALSE(red(215)) << "the half scrolled above the table is not drawn over the screen";
}

TEST_F(ScrollingTest, APersonsDragMovesTheListUnderItUnlessSomethingCoversIt) {
    EXPECT_EQ(drag({100, 400}, {0, 300}), table);
    EXPECT_EQ(drag({100, 180}, {0, 300}), nullptr) << "over the button";
    auto overlay = ns::UIView::make(window->bounds());
    screen->view()->addSubview(overlay);
    EXPECT_EQ(drag({100, 400}, {0, 300}), nullptr);
    overlay->removeFromSuperview();
    ns::Application::shared()->beginIgnoringInteractionEvents();
    EXPECT_EQ(drag({100, 400}, {0, 300}), nullptr) << "while the app ignores input";
    ns::Application::shared()->endIgnoringInteractionEvents();
    EXPECT_EQ(table->contentOffset().y, 300);

    // A list that cannot move that way (a strip over the table's top rows)
    // hands the drag to the one around it.
    auto strip = ns::UIScrollView::make(ns::CGRectMake(0, 300, 375, 60));
    table->addSubview(strip);
    EXPECT_EQ(drag({100, 237}, {0, -100}), table);
    EXPECT_EQ(table->contentOffset().y, 200);
}

TEST_F(ScrollingTest, ScrollingToARowPlacesItBelowTheTopInset) {
    table->setContentInsetTop(64);
    struct Case { int row; P position; double from; double offset; };
    // Row 20 spans 944..988 of the content; the bar covers 64 points.
    for (auto c : {Case{20, P::Top, 0, 880}, Case{20, P::Middle, 0, 714}, Case{20, P::None, 0, 548},
                   Case{20, P::None, 1000, 880}, Case{20, P::None, 700, 700}, Case{99, P::Top, 0, 4024}}) {
        SCOPED_TRACE(testing::Message() << "row " << c.row << " from " << c.from);
        scrollTo(c.from);
        table->scrollToRowAtIndexPath({0, c.row}, c.position);
        EXPECT_EQ(table->contentOffset().y, c.offset);
    }
}

}  // namespace
