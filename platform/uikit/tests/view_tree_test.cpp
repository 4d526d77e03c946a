#include <gtest/gtest.h>

#include "platform/error.h"
#include "platform/runloop.h"
#include "uikit/UIControls.h"
#include "uikit/UIWindow.h"

namespace {

using ns::CGRectMake;

TEST(ViewTreeTest, SubviewsAndTheirLayersStayInTheSameOrder) {
    auto root = ns::UIView::make(CGRectMake(0, 0, 100, 100));
    auto a = ns::UIView::make();
    auto b = ns::UIView::make();
    auto c = ns::UIView::make();
    root->addSubview(a);
    root->addSubview(b);
    // A free layer between the views keeps its place relative to them.
    auto free = ns::CALayer::layer();
    root->layer()->addSublayer(free);
    root->addSubview(c);
    root->bringSubviewToFront(a);
    ASSERT_EQ(root->subviews(), (std::vector<ns::UIViewPtr>{b, c, a}));
    std::vector<ns::CALayer*> layers;
    for (const auto& l : root->layer()->sublayers()) layers.push_back(l.get());
    EXPECT_EQ(layers, (std::vector<ns::CALayer*>{b->layer().get(), free.get(), c->layer().get(), a->layer().get()}));

    // Moving a view to another parent takes it out of the first.
    auto other = ns::UIView::make();
    other->addSubview(b);
    EXPECT_EQ(root->subviews().size(), 2u);
    EXPECT_EQ(b->superview(), other);
    EXPECT_EQ(b->layer()->superlayer(), other->layer().get());
    b->removeFromSuperview();
    EXPECT_EQ(b->superview(), nullptr);
    EXPECT_EQ(b->layer()->superlayer(), nullptr);

    // Cycles are refused.
    EXPECT_THROW(a->addSubview(root), ns::Exception);
    EXPECT_THROW(a->addSubview(a), ns::Exception);
}

TEST(ViewTreeTest, AViewOutlivingItsParentCanBeAddedElsewhere) {
    // An outlet keeps a label after the screen that held it is gone.
    auto label = ns::UILabel::make();
    auto free = ns::CALayer::layer();
    {
        auto screen = ns::UIView::make();
        screen->addSubview(label);
        screen->layer()->addSublayer(free);
    }
    EXPECT_EQ(label->superview(), nullptr);
    EXPECT_EQ(label->layer()->superlayer(), nullptr);
    EXPECT_EQ(free->superlayer(), nullptr);
    auto other = ns::UIView::make();
    other->addSubview(label);
    other->layer()->addSublayer(free);
    EXPECT_EQ(label->layer()->superlayer(), other->layer().get());
    EXPECT_EQ(other->layer()->sublayers().size(), 2u);
}

TEST(ViewTreeTest, FrameBoundsAndCentreAgree) {
    auto v = ns::UIView::make(CGRectMake(10, 20, 80, 40));
    EXPECT_EQ(v->bounds(), CGRectMake(0, 0, 80, 40));
    EXPECT_EQ(v->center(), (ns::CGPoint{50, 40}));
    v->setCenter({100, 100});
    EXPECT_EQ(v->frame(), CGRectMake(60, 80, 80, 40));
    v->setBounds(CGRectMake(0, 0, 20, 20));
    EXPECT_EQ(v->frame(), CGRectMake(90, 90, 20, 20));

    auto parent = ns::UIView::make(CGRectMake(5, 5, 200, 200));
    parent->addSubview(v);
    auto window = ns::UIWindow::make();
    window->addSubview(parent);
    EXPECT_EQ(v->frameInWindow(), CGRectMake(95, 95, 20, 20));
    EXPECT_EQ(v->window(), window.get());
}

TEST(ViewTreeTest, HitTestingSkipsHiddenAndNonInteractiveViewsAndPrefersTheFrontmost) {
    auto root = ns::UIView::make(CGRectMake(0, 0, 100, 100));
    auto back = ns::UIView::make(CGRectMake(0, 0, 50, 50));
    auto front = ns::UIView::make(CGRectMake(25, 25, 50, 50));
    root->addSubview(back);
    root->addSubview(front);
    EXPECT_EQ(root->hitTest({30, 30}), front);
    EXPECT_EQ(root->hitTest({10, 10}), back);
    front->setHidden(true);
    EXPECT_EQ(root->hitTest({30, 30}), back);
    back->setUserInteractionEnabled(false);
    EXPECT_EQ(root->hitTest({30, 30}), root);
    EXPECT_EQ(root->hitTest({130, 30}), nullptr);
}

TEST(ViewTreeTest, LayoutConstraintConstantMovesTheViewAtTheNextLayout) {
    auto root = ns::UIView::make(CGRectMake(0, 0, 375, 667));
    auto panel = ns::UIView::make(CGRectMake(-230, 64, 230, 603));
    root->addSubview(panel);
    auto lead = ns::NSLayoutConstraint::constraintWithItem(panel, ns::NSLayoutAttribute::Leading, root,
                                                           ns::NSLayoutAttribute::Leading, 1, -230);
    lead->setActive(true);
    auto width = ns::NSLayoutConstraint::constraintWithItem(panel, ns::NSLayoutAttribute::Width, nullptr,
                                                            ns::NSLayoutAttribute::Width, 1, 230);
    width->setActive(true);
    root->layoutIfNeeded();
    EXPECT_EQ(panel->frame().origin.x, -230);

    lead->setConstant(0);
    EXPECT_EQ(panel->frame().origin.x, -230) << "a constant takes effect at layout";
    root->layoutIfNeeded();
    EXPECT_EQ(panel->frame(), CGRectMake(0, 64, 230, 603));

    // Relative to a sibling's trailing edge, with a constant.
    auto sibling = ns::UIView::make(CGRectMake(0, 0, 100, 20));
    auto label = ns::UIView::make(CGRectMake(0, 0, 50, 20));
    root->addSubview(sibling);
    root->addSubview(label);
    ns::NSLayoutConstraint::constraintWithItem(label, ns::NSLayoutAttribute::Leading, sibling,
                                               ns::NSLayoutAttribute::Trailing, 1, 8)
        ->setActive(true);
    root->layoutIfNeeded();
    EXPECT_EQ(label->frame().origin.x, 108);
}

TEST(ViewTreeTest, AnimationRunsItsBlockAtOnceAndRecordsTheDuration) {
    ns::UIView::clearRecordedAnimations();
    auto v = ns::UIView::make();
    bool finished = false;
    ns::UIView::animateWithDuration(
        0.3, [&] { v->setAlpha(0.5); }, [&](bool done) { finished = done; });
    EXPECT_EQ(v->alpha(), 0.5);
    EXPECT_EQ(ns::UIView::recordedAnimationDurations(), std::vector<double>{0.3});
    EXPECT_FALSE(finished) << "the completion comes after the animation, from the main queue";
    ASSERT_TRUE(ns::RunLoop::main().runUntil([&] { return finished; }, 10));
}

TEST(ViewTreeTest, EndEditingResignsOnlyAFirstResponderInsideTheSubtree) {
    auto root = ns::UIView::make(CGRectMake(0, 0, 100, 100));
    auto inside = ns::UITextField::make(CGRectMake(0, 0, 50, 30));
    auto elsewhere = ns::UITextField::make(CGRectMake(0, 0, 50, 30));
    root->addSubview(inside);
    ASSERT_TRUE(elsewhere->becomeFirstResponder());
    EXPECT_FALSE(root->endEditing(true));
    EXPECT_TRUE(elsewhere->isFirstResponder());
    ASSERT_TRUE(inside->becomeFirstResponder());
    EXPECT_FALSE(elsewhere->isFirstResponder());
    EXPECT_TRUE(root->endEditing(true));
    EXPECT_EQ(ns::UIView::currentFirstResponder(), nullptr);
}

TEST(ViewTreeTest, ImageViewPlacesItsImageByContentMode) {
    auto view = ns::UIImageView::make(CGRectMake(0, 0, 100, 50));
    view->setImage(ns::UIImage::filled({200, 200}, ns::UIColor::redColor()));
    const struct {
        ns::UIViewContentMode mode;
        ns::CGRect rect;
    } cases[] = {
        {ns::UIViewContentMode::ScaleToFill, CGRectMake(0, 0, 100, 50)},
        {ns::UIViewContentMode::ScaleAspectFit, CGRectMake(25, 0, 50, 50)},
        {ns::UIViewContentMode::ScaleAspectFill, CGRectMake(0, -25, 100, 100)},
        {ns::UIViewContentMode::Center, CGRectMake(-50, -75, 200, 200)},
    };
    for (const auto& c : cases) {
        view->setContentMode(c.mode);
        EXPECT_EQ(view->imageRect(), c.rect) << int(c.mode);
    }
}

}  // namespace
