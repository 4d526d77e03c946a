#include "app/ActivityInicator.h"

#include "app/ColorFromHex.h"
#include "platform/dispatch.h"

namespace almavel {

ActivityInicator::ActivityInicator()
    : container_(ns::UIView::make()),
      loadingView_(ns::UIView::make()),
      activityIndicator_(ns::UIActivityIndicatorView::make()) {
    container_->setAccessibilityIdentifier("actInd");
}

void ActivityInicator::showActivityIndicator(const ns::UIViewPtr& view) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    const ColorFromHex hex;
    container_->setFrame(view->frame());
    container_->setCenter(view->center());
    container_->setBackgroundColor(hex.colorFromHex(0xffffff, 0.3));

    loadingView_->setFrame(ns::CGRectMake(0, 0, 80, 80));
    loadingView_->setCenter(view->center());
    loadingView_->setBackgroundColor(hex.colorFromHex(0x444444, 0.5));
    loadingView_->setClipsToBounds(true);
    loadingView_->layer()->setCornerRadius(10);

    activityIndicator_->setFrame(ns::CGRectMake(0, 0, 40, 40));
    activityIndicator_->setActivityIndicatorViewStyle(ns::UIActivityIndicatorViewStyle::WhiteLarge);
    const ns::CGRect square = loadingView_->frame();
    activityIndicator_->setCenter({square.size.width / 2, square.size.height / 2});

    loadingView_->addSubview(activityIndicator_);
    container_->addSubview(loadingView_);
    view->addSubview(container_);
    activityIndicator_->startAnimating();
}

void ActivityInicator::hideActivityIndicator(const ns::UIViewPtr&) {
    ns::dispatchAssertQueue(ns::DispatchQueue::main());
    activityIndicator_->stopAnimating();
    container_->removeFromSuperview();
}

}  // namespace almavel
