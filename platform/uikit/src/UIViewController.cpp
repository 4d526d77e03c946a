#include "uikit/UIViewController.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <mutex>
#include <tuple>
#include <utility>

#include "platform/error.h"
#include "platform/format.h"
#include "platform/no_destructor.h"
#include "platform/runtime.h"
#include "platform/system_log.h"
#include "uikit/UIWindow.h"
#include "uikit_internal.h"

namespace ns {

namespace {

// What an alert leaves free above and below it.
constexpr double kAlertMargin = 20;

UIViewController* asController(Object* self) { return dynamic_cast<UIViewController*>(self); }

bool argBool(const std::vector<Value>& args) { return !args.empty() && args[0].isBool() && args[0].asBool(); }

void sendLifecycle(UIViewController& vc, std::string_view selector, bool animated) {
    Runtime::send(vc, selector, {Value(animated)});
}

std::shared_ptr<UIViewController> outermost(std::shared_ptr<UIViewController> vc) {
    while (auto parent = vc->parentViewController()) vc = parent;
    return vc;
}

// The chain of controllers presented from `vc`, nearest first.
std::vector<UIViewControllerPtr> presentedChain(const UIViewControllerPtr& vc) {
    std::vector<UIViewControllerPtr> chain;
    for (auto p = vc->presentedViewController(); p; p = p->presentedViewController()) chain.push_back(p);
    return chain;
}

bool covers(const UIViewControllerPtr& vc) { return vc->modalPresentationStyle() == UIModalPresentationStyle::FullScreen; }

// The view of a navigation controller: lays out the bar and the top screen.
class NavigationContainerView : public UIView {
public:
    explicit NavigationContainerView(std::weak_ptr<UINavigationController> nav, CGRect frame)
        : UIView(frame), nav_(std::move(nav)) {}
    bool needsLayoutEveryPass() const override { return true; }
    void layoutSubviews() override {
        if (auto nav = nav_.lock()) nav->layoutContainer();
    }

private:
    std::weak_ptr<UINavigationController> nav_;
};

std::map<std::string, std::shared_ptr<UIStoryboard>>& storyboards() {
    static ns::NoDestructor<std::map<std::string, std::shared_ptr<UIStoryboard>>> registry;
    return *registry;
}
std::mutex& storyboardMutex() {
    static std::mutex m;
    return m;
}

}  // namespace

namespace uikit {

// The runtime classes every controller's class descends from. Lifecycle
// selectors are UIViewController's instance methods, which call the C++
// virtuals; exchanging them in the runtime wraps every screen.
void registerBaseClasses() {
    static std::once_flag once;
    std::call_once(once, [] {
        Runtime::registerClass("UIResponder", "NSObject");
        Class& vc = Runtime::registerClass("UIViewController", "UIResponder");
        vc.addInstanceMethod("viewDidLoad", [](Object* self, const std::vector<Value>&) {
            if (auto* c = asController(self)) c->viewDidLoad();
            return Value();
        });
        for (const auto& [selector, method] :
             std::initializer_list<std::pair<const char*, void (UIViewController::*)(bool)>>{
                 {"viewWillAppear:", &UIViewController::viewWillAppear},
                 {"viewDidAppear:", &UIViewController::viewDidAppear},
                 {"viewWillDisappear:", &UIViewController::viewWillDisappear},
                 {"viewDidDisappear:", &UIViewController::viewDidDisappear}}) {
            vc.addInstanceMethod(selector, [method = method](Object* self, const std::vector<Value>& args) {
                if (auto* c = asController(self)) (c->*method)(argBool(args));
                return Value();
            });
        }
        Runtime::registerClass("UINavigationController", "UIViewController");
        Runtime::registerClass("UITableViewController", "UIViewController");
        Runtime::registerClass("UIAlertController", "UIViewController");
        Runtime::registerClass("UIActivityViewController", "UIViewController");
        Runtime::registerClass("UIImagePickerController", "UINavigationController");
    });
}

}  // namespace uikit

// UIViewController

UIViewController::UIViewController(std::string className, std::string superclassName)
    : className_(std::move(className)) {
    uikit::registerBaseClasses();
    if (className_ != "UIViewController") Runtime::registerClass(className_, superclassName);
}

UIViewController::~UIViewController() = default;

const UIViewPtr& UIViewController::view() {
    uikit::assertMainThread("-[UIViewController view]");
    if (!view_ && !loadingView_) {
        loadingView_ = true;
        loadView();
        if (!view_) setView(UIView::make(UIScreen::mainScreen()->bounds()));
        loadingView_ = false;
        Runtime::send(*this, "viewDidLoad");
    }
    return view_;
}

void UIViewController::setView(UIViewPtr view) {
    if (view_) view_->viewController_.reset();
    view_ = std::move(view);
    if (view_) view_->viewController_ = std::static_pointer_cast<UIViewController>(shared_from_this());
}

void UIViewController::loadView() {
    auto v = UIView::make(UIScreen::mainScreen()->bounds());
    v->setBackgroundColor(UIColor::whiteColor());
    setView(v);
}

void UIViewController::setTitle(std::string title) {
    title_ = title;
    navigationItem_->setTitle(std::move(title));
}

double UIViewController::topLayoutGuideLength() const {
    auto nav = navigationController();
    if (nav && !nav->isNavigationBarHidden() && (edges_ & UIRectEdgeTop)) return UINavigationController::kBarBottom;
    if (nav && !nav->isNavigationBarHidden()) return 0;
    return kStatusBarHeight;
}

std::shared_ptr<UINavigationController> UIViewController::navigationController() const {
    for (auto p = parent_.lock(); p; p = p->parentViewController()) {
        if (auto nav = std::dynamic_pointer_cast<UINavigationController>(p)) return nav;
    }
    return nullptr;
}

void UIViewController::beginAppearanceTransition(bool appearing, bool animated) {
    if (appearing) {
        if (appearance_ == Appearance::Appeared || appearance_ == Appearance::Appearing) return;
        view();
        appearance_ = Appearance::Appearing;
        transitionAnimated_ = animated;
        sendLifecycle(*this, "viewWillAppear:", animated);
    } else {
        if (appearance_ == Appearance::Disappeared || appearance_ == Appearance::Disappearing) return;
        appearance_ = Appearance::Disappearing;
        transitionAnimated_ = animated;
        sendLifecycle(*this, "viewWillDisappear:", animated);
    }
    for (const auto& child : visibleChildViewControllers()) child->beginAppearanceTransition(appearing, animated);
}

void UIViewController::endAppearanceTransition() {
    if (appearance_ == Appearance::Appearing) {
        appearance_ = Appearance::Appeared;
        sendLifecycle(*this, "viewDidAppear:", transitionAnimated_);
    } else if (appearance_ == Appearance::Disappearing) {
        appearance_ = Appearance::Disappeared;
        sendLifecycle(*this, "viewDidDisappear:", transitionAnimated_);
    } else {
        return;
    }
    for (const auto& child : visibleChildViewControllers()) child->endAppearanceTransition();
}

bool UIViewController::isInVisibleWindow() const {
    if (!view_) return false;
    UIWindow* w = view_->window();
    return w && w->isVisible();
}

void UIViewController::presentViewController(const UIViewControllerPtr& vc, bool animated,
                                             std::function<void()> completion) {
    uikit::assertMainThread("-[UIViewController presentViewController:animated:completion:]");
    if (!vc) Exception::raise(kInvalidArgumentException, "Application tried to present a nil modal view controller");
    auto presenter = outermost(std::static_pointer_cast<UIViewController>(shared_from_this()));
    if (vc == presenter || vc->presentingViewController() || vc->parentViewController()) {
        Exception::raise(kInvalidArgumentException,
                         format("Application tried to present modally an active controller <%@>.", vc->className()));
    }
    if (auto current = presenter->presented_) {
        SystemLog::write(SystemLog::kWarning,
                         format("Attempt to present <%@> on <%@> which is already presenting <%@>", vc->className(),
                                presenter->className(), current->className()));
        return;
    }
    UIWindow* window = presenter->view_ ? presenter->view_->window() : nullptr;
    if (!window) {
        SystemLog::write(SystemLog::kWarning,
                         format("Attempt to present <%@> on <%@> whose view is not in the window hierarchy!",
                                vc->className(), presenter->className()));
        return;
    }
    presenter->presented_ = vc;
    vc->presenting_ = presenter;
    const bool full = covers(vc);
    vc->view()->setFrame(window->bounds());
    if (full) presenter->beginAppearanceTransition(false, animated);
    window->addPresentedView(vc->view());
    vc->beginAppearanceTransition(true, animated);
    // As UIKit does for a modal screen (unlike a push): the new screen has
    // appeared before the one it covers has gone, so at no moment is the
    // screen underneath taken for the one in front.
    vc->endAppearanceTransition();
    if (full) presenter->endAppearanceTransition();
    if (completion) completion();
}

void UIViewController::dismissViewControllerAnimated(bool animated, std::function<void()> completion) {
    uikit::assertMainThread("-[UIViewController dismissViewControllerAnimated:completion:]");
    auto self = std::static_pointer_cast<UIViewController>(shared_from_this());
    UIViewControllerPtr presenter;
    if (presented_) {
        presenter = self;
    } else {
        auto outer = outermost(self);
        presenter = outer->presenting_.lock();
    }
    if (!presenter || !presenter->presented_) return;
    // Everything presented from the presenter goes, the topmost first.
    auto chain = presentedChain(presenter);
    const bool full = std::any_of(chain.begin(), chain.end(), covers);
    UIWindow* window = presenter->view_ ? presenter->view_->window() : nullptr;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) (*it)->beginAppearanceTransition(false, animated);
    if (full) presenter->beginAppearanceTransition(true, animated);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        const auto& vc = *it;
        if (window && vc->view_) {
            window->removePresentedView(vc->view_);
        } else if (vc->view_) {
            vc->view_->removeFromSuperview();
        }
        if (auto above = vc->presented_) above->presenting_.reset();
        vc->presented_.reset();
    }
    chain.front()->presenting_.reset();
    presenter->presented_.reset();
    // The screen uncovered has appeared before the dismissed ones are gone,
    // as in a presentation.
    if (full) presenter->endAppearanceTransition();
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) (*it)->endAppearanceTransition();
    if (completion) completion();
}

void UIViewController::dismissPresentedForRemoval() {
    auto chain = presentedChain(std::static_pointer_cast<UIViewController>(shared_from_this()));
    if (chain.empty()) return;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) (*it)->beginAppearanceTransition(false, false);
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        const auto& vc = *it;
        if (vc->view_) vc->view_->removeFromSuperview();
        vc->presenting_.reset();
        vc->presented_.reset();
    }
    presented_.reset();
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) (*it)->endAppearanceTransition();
}

void UIViewController::showViewController(const UIViewControllerPtr& vc, const ObjectPtr&) {
    if (auto nav = navigationController()) {
        nav->pushViewController(vc, true);
    } else {
        presentViewController(vc, true);
    }
}

void UIViewController::addSegue(std::string identifier, std::string destinationIdentifier, SegueKind kind) {
    segues_[std::move(identifier)] = Segue{std::move(destinationIdentifier), kind};
}

void UIViewController::performSegueWithIdentifier(const std::string& identifier, const ObjectPtr& sender) {
    auto it = segues_.find(identifier);
    auto sb = storyboard();
    if (it == segues_.end() || !sb) {
        Exception::raise(kInvalidArgumentException,
                         format("Receiver (<%@>) has no segue with identifier '%@'", className_, identifier));
    }
    auto self = std::static_pointer_cast<UIViewController>(shared_from_this());
    auto destination = sb->instantiateViewControllerWithIdentifier(it->second.destination);
    UIStoryboardSegue segue(identifier, self, destination);
    prepareForSegue(segue, sender);
    if (it->second.kind == SegueKind::Show) {
        showViewController(destination, sender);
    } else {
        presentViewController(destination, true);
    }
}

TargetAction UIViewController::segueAction(const std::string& identifier) {
    std::weak_ptr<Object> weak = weak_from_this();
    return TargetAction::block(identifier, [weak, identifier](const ObjectPtr& sender) {
        if (auto self = std::dynamic_pointer_cast<UIViewController>(weak.lock())) {
            self->performSegueWithIdentifier(identifier, sender);
        }
    });
}

// UITableViewController

UITableViewController::UITableViewController(std::string className)
    : UIViewController(className, className == "UITableViewController" ? "UIViewController" : "UITableViewController") {}

std::shared_ptr<UITableView> UITableViewController::tableView() {
    return std::static_pointer_cast<UITableView>(view());
}

void UITableViewController::loadView() {
    auto table = UITableView::make(UIScreen::mainScreen()->bounds());
    auto self = std::static_pointer_cast<UITableViewController>(shared_from_this());
    table->setDataSource(self);
    table->setDelegate(self);
    setView(table);
}

// UINavigationBar

namespace {

constexpr const char* kBackChevron = "\u2039";

// A bar button as wide as its title with a little room around it, and never
// narrower than a finger.
double barButtonWidth(const UIButton& button) {
    return std::max(44.0, std::ceil(UITextSize(button.currentTitle(), button.titleFont()).width) + 10);
}

}  // namespace

UINavigationBar::UINavigationBar()
    : title_(UILabel::make()),
      back_(UIButton::make({}, kBackChevron)),
      left_(UIButton::make({}, "")),
      right_(UIButton::make({}, "")) {
    setBackgroundColor(UIColor(0.97, 0.97, 0.97, 1));
    title_->setFont(UIFont::boldSystemFontOfSize(17));
    title_->setTextAlignment(NSTextAlignment::Center);
    back_->setAccessibilityIdentifier("back");
}

void UINavigationBar::setBackTitle(std::string title) {
    if (title != backTitle_) setNeedsLayout();
    backTitle_ = std::move(title);
}

void UINavigationBar::layoutSubviews() {
    for (const auto& v : std::vector<UIViewPtr>{title_, back_, left_, right_}) {
        if (v->superview().get() != this) addSubview(v);
    }
    const double w = bounds().width();
    const double edge = 4;
    const double gap = 6;
    const double titleWidth = std::ceil(UITextSize(title_->text(), title_->font()).width) + 2;
    const double rightWidth = barButtonWidth(*right_);
    right_->setFrame(CGRectMake(w - edge - rightWidth, 20, rightWidth, 44));
    const double rightEnd = right_->isHidden() ? w - 2 * edge : w - edge - rightWidth - gap;
    // The back titles to try, longest first: the previous screen's, the
    // short one, the chevron alone (the last resort, whatever is left).
    std::vector<std::string> backTitles;
    if (!backTitle_.empty()) backTitles.push_back(std::string(kBackChevron) + " " + backTitle_);
    backTitles.push_back(std::string(kBackChevron) + " " + UISystemString(UISystemText::Back));
    backTitles.push_back(kBackChevron);
    double leftEnd = 2 * edge;
    for (const auto& title : backTitles) {
        back_->setTitle(title);
        const double backWidth = barButtonWidth(*back_);
        back_->setFrame(CGRectMake(edge, 20, backWidth, 44));
        leftEnd = back_->isHidden() ? 2 * edge : edge + backWidth + gap;
        if (back_->isHidden() || titleWidth <= rightEnd - leftEnd) break;
    }
    const double leftWidth = barButtonWidth(*left_);
    left_->setFrame(CGRectMake(edge, 20, leftWidth, 44));
    if (!left_->isHidden()) leftEnd = std::max(leftEnd, edge + leftWidth + gap);
    // Centred on the bar when the items leave room, else beside them; cut
    // short when even that is too narrow.
    const double room = std::max(0.0, rightEnd - leftEnd);
    const double width = std::min(titleWidth, room);
    const double x = std::clamp((w - width) / 2, leftEnd, std::max(leftEnd, rightEnd - width));
    title_->setFrame(CGRectMake(x, 20, width, 44));
}

// UINavigationController

UINavigationController::UINavigationController(std::string className, std::string superclassName)
    : UIViewController(std::move(className), std::move(superclassName)), bar_(std::make_shared<UINavigationBar>()) {}

std::shared_ptr<UINavigationController> UINavigationController::initWithRootViewController(
    const UIViewControllerPtr& root) {
    auto nav = std::make_shared<UINavigationController>();
    nav->setViewControllers({root});
    return nav;
}

void UINavigationController::loadView() {
    auto container = std::make_shared<NavigationContainerView>(
        std::static_pointer_cast<UINavigationController>(shared_from_this()), UIScreen::mainScreen()->bounds());
    container->setBackgroundColor(UIColor::whiteColor());
    setView(container);
    container->addSubview(bar_);
    std::weak_ptr<UINavigationController> weak = std::static_pointer_cast<UINavigationController>(shared_from_this());
    bar_->backButton()->addTarget(TargetAction::block("back", [weak](const ObjectPtr&) {
                                      if (auto nav = weak.lock()) nav->goBack();
                                  }),
                                  UIControlEventTouchUpInside);
    // The bar's item buttons act for the item the top screen shows now.
    using ItemOf = std::shared_ptr<UIBarButtonItem> (UINavigationItem::*)() const;
    for (const auto& [button, itemOf, name] :
         std::initializer_list<std::tuple<std::shared_ptr<UIButton>, ItemOf, const char*>>{
             {bar_->leftButton(), &UINavigationItem::leftBarButtonItem, "leftBarButtonItem"},
             {bar_->rightButton(), &UINavigationItem::rightBarButtonItem, "rightBarButtonItem"}}) {
        button->addTarget(TargetAction::block(name, [weak, itemOf = itemOf](const ObjectPtr&) {
                              auto nav = weak.lock();
                              auto top = nav ? nav->topViewController() : nullptr;
                              if (auto item = top ? (top->navigationItem().get()->*itemOf)() : nullptr) {
                                  item->performAction();
                              }
                          }),
                          UIControlEventTouchUpInside);
    }
    if (auto top = topViewController()) container->insertSubview(top->view(), 0);
    layoutContainer();
}

void UINavigationController::layoutContainer() {
    if (!isViewLoaded()) return;
    const CGRect b = view()->bounds();
    bar_->setHidden(barHidden_);
    bar_->setFrame(CGRectMake(0, 0, b.width(), kBarBottom));
    if (auto vc = topViewController(); vc && vc->isViewLoaded()) {
        const bool under = !barHidden_ && (vc->edgesForExtendedLayout() & UIRectEdgeTop);
        const double top = barHidden_ || under ? 0 : kBarBottom;
        vc->view()->setFrame(CGRectMake(0, top, b.width(), std::max(0.0, b.height() - top)));
        // A table under the bar starts its rows below it.
        if (auto table = std::dynamic_pointer_cast<UITableView>(vc->view())) table->setContentInsetTop(under ? kBarBottom : 0);
    }
    updateBar();
}

void UINavigationController::updateBar() {
    auto top = topViewController();
    if (!top) return;
    const auto& item = top->navigationItem();
    bar_->titleLabel()->setText(item->title().empty() ? top->title() : item->title());
    // The bar fits its texts each time they may have changed.
    bar_->setNeedsLayout();
    for (const auto& [button, shown] : {std::pair{bar_->leftButton(), item->leftBarButtonItem()},
                                        std::pair{bar_->rightButton(), item->rightBarButtonItem()}}) {
        button->setHidden(!shown);
        if (!shown) continue;
        button->setTitle(shown->title());
        button->setEnabled(shown->isEnabled());
        button->setAccessibilityIdentifier(shown->accessibilityIdentifier().empty() ? shown->title()
                                                                                    : shown->accessibilityIdentifier());
    }
    const bool back = canGoBack();
    bar_->backButton()->setHidden(!back);
    if (back) {
        const auto& previous = stack_[stack_.size() - 2];
        std::string title;
        if (auto backItem = previous->navigationItem()->backBarButtonItem()) {
            title = backItem->title();
        } else if (!previous->navigationItem()->title().empty()) {
            title = previous->navigationItem()->title();
        }
        bar_->setBackTitle(title);
    }
}

bool UINavigationController::canGoBack() const {
    if (stack_.size() < 2) return false;
    const auto& item = stack_.back()->navigationItem();
    return !item->hidesBackButton() && !item->leftBarButtonItem();
}

void UINavigationController::goBack() {
    if (canGoBack()) popViewControllerAnimated(true);
}

UIViewControllerPtr UINavigationController::visibleViewController() const {
    auto top = topViewController();
    if (!top) return nullptr;
    auto chain = presentedChain(top);
    return chain.empty() ? top : chain.back();
}

std::vector<UIViewControllerPtr> UINavigationController::visibleChildViewControllers() const {
    if (auto top = topViewController()) return {top};
    return {};
}

void UINavigationController::replaceTop(const UIViewControllerPtr& from, const UIViewControllerPtr& to,
                                        bool animated) {
    if (from == to) return;
    const bool onScreen = appearance() == Appearance::Appeared || appearance() == Appearance::Appearing;
    // The arriving screen loads before the leaving one hears anything.
    if (onScreen && to) to->loadViewIfNeeded();
    if (onScreen) {
        if (from) from->beginAppearanceTransition(false, animated);
        if (to) to->beginAppearanceTransition(true, animated);
    }
    if (isViewLoaded()) {
        if (from && from->isViewLoaded() && from->view()->superview() == view()) from->view()->removeFromSuperview();
        if (to) view()->insertSubview(to->view(), 0);
        layoutContainer();
    }
    if (onScreen) {
        if (from) from->endAppearanceTransition();
        if (to) to->endAppearanceTransition();
    }
}

void UINavigationController::pushViewController(const UIViewControllerPtr& vc, bool animated) {
    uikit::assertMainThread("-[UINavigationController pushViewController:animated:]");
    if (!vc) Exception::raise(kInvalidArgumentException, "Cannot push a nil view controller");
    if (std::find(stack_.begin(), stack_.end(), vc) != stack_.end()) {
        Exception::raise(kInvalidArgumentException,
                         "Pushing the same view controller instance more than once is not supported");
    }
    if (vc->parentViewController() || vc->presentingViewController() || std::dynamic_pointer_cast<UINavigationController>(vc)) {
        Exception::raise(kInvalidArgumentException,
                         format("Cannot push <%@>: it is already shown elsewhere or is a navigation controller",
                                vc->className()));
    }
    auto from = topViewController();
    vc->setParentViewController(std::static_pointer_cast<UIViewController>(shared_from_this()));
    stack_.push_back(vc);
    replaceTop(from, vc, animated);
}

UIViewControllerPtr UINavigationController::popViewControllerAnimated(bool animated) {
    uikit::assertMainThread("-[UINavigationController popViewControllerAnimated:]");
    if (stack_.size() < 2) return nullptr;
    auto popped = stack_.back();
    stack_.pop_back();
    replaceTop(popped, stack_.back(), animated);
    popped->setParentViewController(nullptr);
    return popped;
}

std::vector<UIViewControllerPtr> UINavigationController::popToRootViewControllerAnimated(bool animated) {
    if (stack_.size() < 2) return {};
    auto from = stack_.back();
    std::vector<UIViewControllerPtr> popped(stack_.begin() + 1, stack_.end());
    stack_.resize(1);
    replaceTop(from, stack_.front(), animated);
    for (const auto& vc : popped) vc->setParentViewController(nullptr);
    return popped;
}

void UINavigationController::setViewControllers(std::vector<UIViewControllerPtr> controllers, bool animated) {
    auto from = topViewController();
    auto self = std::static_pointer_cast<UIViewController>(shared_from_this());
    for (const auto& old : stack_) {
        if (std::find(controllers.begin(), controllers.end(), old) == controllers.end()) old->setParentViewController(nullptr);
    }
    for (const auto& vc : controllers) vc->setParentViewController(self);
    stack_ = std::move(controllers);
    replaceTop(from, topViewController(), animated);
}

void UINavigationController::setNavigationBarHidden(bool hidden, bool) {
    barHidden_ = hidden;
    layoutContainer();
}

void UINavigationController::showViewController(const UIViewControllerPtr& vc, const ObjectPtr&) {
    pushViewController(vc, true);
}

// UIAlertController

UIAlertController::UIAlertController(std::string title, std::string message, UIAlertControllerStyle style)
    : UIViewController("UIAlertController"), alertTitle_(std::move(title)), message_(std::move(message)), style_(style) {
    setModalPresentationStyle(UIModalPresentationStyle::OverFullScreen);
}

std::shared_ptr<UIAlertController> UIAlertController::alertControllerWithTitle(std::string title, std::string message,
                                                                               UIAlertControllerStyle style) {
    return std::make_shared<UIAlertController>(std::move(title), std::move(message), style);
}

void UIAlertController::addAction(const std::shared_ptr<UIAlertAction>& action) {
    if (!action) return;
    if (isViewLoaded()) {
        Exception::raise(kInternalInconsistencyException, "UIAlertController: actions must be added before it is shown");
    }
    actions_.push_back(action);
}

void UIAlertController::tapActionAtIndex(size_t index) {
    if (index >= actions_.size()) {
        Exception::raise("NSRangeException", format("UIAlertController: no action at index %zu", index));
    }
    auto action = actions_[index];
    if (!action->isEnabled()) return;
    auto keep = shared_from_this();
    if (auto presenter = presentingViewController()) presenter->dismissViewControllerAnimated(true);
    action->runHandler();
}

void UIAlertController::loadView() {
    const CGRect screen = UIScreen::mainScreen()->bounds();
    auto dim = UIView::make(screen);
    dim->setBackgroundColor(UIColor(0, 0, 0, 0.4));
    const double width = 270;
    auto box = UIView::make();
    box->setBackgroundColor(UIColor(0.97, 0.97, 0.97, 1));
    box->layer()->setCornerRadius(13);
    box->setClipsToBounds(true);
    box->setAccessibilityIdentifier("alert");
    double y = 20;
    buttons_.clear();
    const bool sideBySide = style_ == UIAlertControllerStyle::Alert && actions_.size() == 2;
    const double buttonsHeight = sideBySide ? 44 : 44 * double(actions_.size());
    // The buttons must stay where a finger reaches them: the texts get what
    // the screen leaves above the buttons (a margin all round), and a text
    // longer than its share is cut short with an ellipsis. The title keeps
    // at most half of that room when there is a message.
    double room = std::max(0.0, screen.height() - 2 * kAlertMargin - buttonsHeight - 40);
    const auto addText = [&](const std::string& text, UIFont font, const char* name, double spacing, double share) {
        if (text.empty()) return;
        auto label = UILabel::make();
        label->setText(text);
        label->setFont(font);
        label->setTextAlignment(NSTextAlignment::Center);
        label->setNumberOfLines(0);
        label->setAccessibilityIdentifier(name);
        const double needed = std::ceil(label->sizeThatFits({width - 32, 0}).height);
        const double height = std::min(needed, std::floor(room * share));
        label->setFrame(CGRectMake(16, y, width - 32, height));
        box->addSubview(label);
        y += height + spacing;
        room = std::max(0.0, room - height - spacing);
    };
    addText(alertTitle_, UIFont::boldSystemFontOfSize(17), "alertTitle", 4, message_.empty() ? 1.0 : 0.5);
    addText(message_, UIFont::systemFontOfSize(13), "alertMessage", 0, 1.0);
    y += 20;
    std::weak_ptr<UIAlertController> weak = std::static_pointer_cast<UIAlertController>(shared_from_this());
    for (size_t i = 0; i < actions_.size(); ++i) {
        const auto& action = actions_[i];
        CGRect frame = sideBySide ? CGRectMake(i == 0 ? 0 : width / 2, y, width / 2, 44)
                                  : CGRectMake(0, y + 44 * double(i), width, 44);
        auto separator = UIView::make(CGRectMake(frame.origin.x, frame.origin.y, frame.size.width, 0.5));
        separator->setBackgroundColor(UIColor(0.8, 0.8, 0.8, 1));
        box->addSubview(separator);
        auto button = UIButton::make(frame, action->title());
        if (action->style() == UIAlertActionStyle::Destructive) button->setTitleColor(UIColor::redColor());
        if (action->style() == UIAlertActionStyle::Cancel) button->setTitleFont(UIFont::boldSystemFontOfSize(17));
        button->setEnabled(action->isEnabled());
        button->setAccessibilityIdentifier(action->title());
        button->addTarget(TargetAction::block(action->title(), [weak, i](const ObjectPtr&) {
                              if (auto alert = weak.lock()) alert->tapActionAtIndex(i);
                          }),
                          UIControlEventTouchUpInside);
        box->addSubview(button);
        buttons_.push_back(button);
    }
    const double height = y + buttonsHeight;
    box->setFrame(CGRectMake((screen.width() - width) / 2, (screen.height() - height) / 2, width, height));
    dim->addSubview(box);
    setView(dim);
}

// UIActivityViewController

namespace {
struct ActivityInfo {
    const char* type;
    UISystemText title;
};
const ActivityInfo kActivities[] = {
    {UIActivityTypeAirDrop, UISystemText::AirDrop},         {UIActivityTypeMessage, UISystemText::Message},
    {UIActivityTypeMail, UISystemText::Mail},               {UIActivityTypePostToFacebook, UISystemText::Facebook},
    {UIActivityTypeCopyToPasteboard, UISystemText::Copy},   {UIActivityTypeSaveToCameraRoll, UISystemText::SaveImage},
};

// A system button: titled in the device's language, named by its English
// title so that scripts and tests find it on any device.
std::shared_ptr<UIButton> systemButton(CGRect frame, UISystemText text) {
    auto button = UIButton::make(frame, UISystemString(text));
    button->setAccessibilityIdentifier(UISystemString(text, "en"));
    return button;
}
}  // namespace

UIActivityViewController::UIActivityViewController(Array activityItems, Array applicationActivities)
    : UIViewController("UIActivityViewController"),
      items_(std::move(activityItems)),
      applicationActivities_(std::move(applicationActivities)) {
    setModalPresentationStyle(UIModalPresentationStyle::OverFullScreen);
}

std::shared_ptr<UIActivityViewController> UIActivityViewController::initWithActivityItems(Array items,
                                                                                          Array applicationActivities) {
    return std::make_shared<UIActivityViewController>(std::move(items), std::move(applicationActivities));
}

std::vector<std::string> UIActivityViewController::availableActivityTypes() const {
    std::vector<std::string> types;
    for (const auto& a : kActivities) {
        if (std::find(excluded_.begin(), excluded_.end(), a.type) == excluded_.end()) types.push_back(a.type);
    }
    return types;
}

void UIActivityViewController::performActivity(const std::string& type) {
    auto available = availableActivityTypes();
    if (std::find(available.begin(), available.end(), type) == available.end()) {
        Exception::raise(kInvalidArgumentException, format("Activity %@ is not offered", type));
    }
    if (type == UIActivityTypeSaveToCameraRoll) {
        for (const auto& item : items_) {
            if (auto image = item.asObjectOf<UIImage>()) UIImageWriteToSavedPhotosAlbum(image);
        }
    }
    finish(type, true);
}

void UIActivityViewController::cancel() { finish("", false); }

void UIActivityViewController::finish(const std::string& type, bool completed) {
    auto keep = shared_from_this();
    if (auto presenter = presentingViewController()) presenter->dismissViewControllerAnimated(true);
    if (completion_) completion_(type, completed);
}

void UIActivityViewController::loadView() {
    const CGRect screen = UIScreen::mainScreen()->bounds();
    auto dim = UIView::make(screen);
    dim->setBackgroundColor(UIColor(0, 0, 0, 0.4));
    const auto types = availableActivityTypes();
    const double sheetHeight = 16 + 120 + 8 + 50 * double(types.size() + 1) + 16;
    auto sheet = UIView::make(CGRectMake(8, screen.height() - sheetHeight, screen.width() - 16, sheetHeight - 8));
    sheet->setBackgroundColor(UIColor(0.97, 0.97, 0.97, 1));
    sheet->layer()->setCornerRadius(13);
    sheet->setAccessibilityIdentifier("activitySheet");
    auto preview = UIImageView::make(CGRectMake(16, 16, sheet->bounds().width() - 32, 120));
    preview->setContentMode(UIViewContentMode::ScaleAspectFit);
    for (const auto& item : items_) {
        if (auto image = item.asObjectOf<UIImage>()) {
            preview->setImage(image);
            break;
        }
    }
    sheet->addSubview(preview);
    std::weak_ptr<UIActivityViewController> weak =
        std::static_pointer_cast<UIActivityViewController>(shared_from_this());
    double y = 144;
    auto addButton = [&](UISystemText title, std::function<void(UIActivityViewController&)> act) {
        auto button = systemButton(CGRectMake(0, y, sheet->bounds().width(), 50), title);
        button->addTarget(TargetAction::block(button->accessibilityIdentifier(), [weak, act](const ObjectPtr&) {
                              if (auto self = weak.lock()) act(*self);
                          }),
                          UIControlEventTouchUpInside);
        sheet->addSubview(button);
        y += 50;
    };
    for (const auto& a : kActivities) {
        if (std::find(types.begin(), types.end(), a.type) == types.end()) continue;
        addButton(a.title, [type = std::string(a.type)](UIActivityViewController& self) { self.performActivity(type); });
    }
    addButton(UISystemText::Cancel, [](UIActivityViewController& self) { self.cancel(); });
    dim->addSubview(sheet);
    setView(dim);
}

// UIImagePickerController

namespace {
UIImagePickerController::CameraSource& cameraSource() {
    static ns::NoDestructor<UIImagePickerController::CameraSource> source;
    return *source;
}
}  // namespace

void UIImagePickerControllerDelegate::imagePickerControllerDidCancel(UIImagePickerController& picker) {
    picker.dismissViewControllerAnimated(true);
}

UIImagePickerController::UIImagePickerController() : UIViewController("UIImagePickerController", "UINavigationController") {}

void UIImagePickerController::setCameraSource(CameraSource source) { cameraSource() = std::move(source); }

bool UIImagePickerController::isSourceTypeAvailable(UIImagePickerControllerSourceType type) {
    return type != UIImagePickerControllerSourceType::Camera || bool(cameraSource());
}

void UIImagePickerController::setSourceType(UIImagePickerControllerSourceType t) {
    if (!isSourceTypeAvailable(t)) {
        Exception::raise(kInvalidArgumentException, "Source type 1 not available");
    }
    sourceType_ = t;
}

bool UIImagePickerController::takePicture() {
    auto source = cameraSource();
    auto image = source ? source() : nullptr;
    if (!image) return false;
    pickImage(image);
    return true;
}

void UIImagePickerController::pickImage(const std::shared_ptr<UIImage>& image) {
    auto keep = shared_from_this();
    Dictionary info{{UIImagePickerControllerOriginalImage, Value(std::static_pointer_cast<Object>(image))},
                    {"UIImagePickerControllerMediaType", "public.image"}};
    if (auto d = delegate()) {
        d->imagePickerControllerDidFinishPickingMediaWithInfo(*this, info);
    } else {
        dismissViewControllerAnimated(true);
    }
}

void UIImagePickerController::cancel() {
    auto keep = shared_from_this();
    if (auto d = delegate()) {
        d->imagePickerControllerDidCancel(*this);
    } else {
        dismissViewControllerAnimated(true);
    }
}

void UIImagePickerController::loadView() {
    const CGRect screen = UIScreen::mainScreen()->bounds();
    auto root = UIView::make(screen);
    root->setBackgroundColor(UIColor::blackColor());
    auto label = UILabel::make(CGRectMake(0, 40, screen.width(), 30));
    label->setTextAlignment(NSTextAlignment::Center);
    label->setTextColor(UIColor::whiteColor());
    label->setText(UISystemString(sourceType_ == UIImagePickerControllerSourceType::Camera ? UISystemText::Camera
                                  : sourceType_ == UIImagePickerControllerSourceType::PhotoLibrary
                                      ? UISystemText::PhotoLibrary
                                      : UISystemText::SavedPhotos));
    root->addSubview(label);
    std::weak_ptr<UIImagePickerController> weak = std::static_pointer_cast<UIImagePickerController>(shared_from_this());
    if (sourceType_ == UIImagePickerControllerSourceType::Camera) {
        auto shutter = systemButton(CGRectMake(screen.width() / 2 - 80, screen.height() - 110, 160, 44),
                                    UISystemText::TakePhoto);
        shutter->addTarget(TargetAction::block("takePicture", [weak](const ObjectPtr&) {
                               if (auto self = weak.lock()) self->takePicture();
                           }),
                           UIControlEventTouchUpInside);
        root->addSubview(shutter);
    }
    auto cancelButton = systemButton(CGRectMake(16, screen.height() - 60, 120, 44), UISystemText::Cancel);
    cancelButton->addTarget(TargetAction::block("cancel", [weak](const ObjectPtr&) {
                                if (auto self = weak.lock()) self->cancel();
                            }),
                            UIControlEventTouchUpInside);
    root->addSubview(cancelButton);
    setView(root);
}

// UIStoryboard

std::shared_ptr<UIStoryboard> UIStoryboard::registerStoryboard(const std::string& name) {
    auto sb = std::make_shared<UIStoryboard>(name);
    std::lock_guard lock(storyboardMutex());
    storyboards()[name] = sb;
    return sb;
}

std::shared_ptr<UIStoryboard> UIStoryboard::storyboardWithName(const std::string& name) {
    {
        std::lock_guard lock(storyboardMutex());
        auto it = storyboards().find(name);
        if (it != storyboards().end()) return it->second;
    }
    Exception::raise(kInvalidArgumentException, format("Could not find a storyboard named '%@' in bundle", name));
}

bool UIStoryboard::hasStoryboardNamed(const std::string& name) {
    std::lock_guard lock(storyboardMutex());
    return storyboards().count(name) > 0;
}

void UIStoryboard::unregisterStoryboard(const std::string& name) {
    std::lock_guard lock(storyboardMutex());
    storyboards().erase(name);
}

void UIStoryboard::registerViewController(const std::string& identifier, Factory factory) {
    factories_[identifier] = std::move(factory);
}

std::vector<std::string> UIStoryboard::identifiers() const {
    std::vector<std::string> ids;
    for (const auto& [id, _] : factories_) ids.push_back(id);
    return ids;
}

UIViewControllerPtr UIStoryboard::instantiateViewControllerWithIdentifier(const std::string& identifier) {
    auto it = factories_.find(identifier);
    if (it == factories_.end()) {
        Exception::raise(kInvalidArgumentException,
                         format("Storyboard (%@) doesn't contain a view controller with identifier '%@'", name_,
                                identifier));
    }
    auto self = std::static_pointer_cast<UIStoryboard>(shared_from_this());
    auto vc = it->second(self);
    if (!vc) {
        Exception::raise(kInternalInconsistencyException,
                         format("Storyboard (%@): the factory of '%@' made no view controller", name_, identifier));
    }
    if (!vc->storyboard()) vc->setStoryboard(self);
    return vc;
}

UIViewControllerPtr UIStoryboard::instantiateInitialViewController() {
    if (initial_.empty()) return nullptr;
    return instantiateViewControllerWithIdentifier(initial_);
}

}  // namespace ns
